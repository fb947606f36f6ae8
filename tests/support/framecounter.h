#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <QVideoFrame>
#include <QVideoFrameFormat>

// Videos whose every picture carries its own frame number, readable from the decoded frame:
// ten vertical stripes, bit i in stripe i from the left, white for 1 and black for 0. Stripes a
// tenth of the width wide survive any encoder, so the number reads back exactly.
namespace FrameCounter {

constexpr int Bits = 10;

// A lavfi picture source drawing the counter (at most 1024 frames).
inline QString pictureSource(int width, int height, int fps, double seconds)
{
    return QStringLiteral("color=black:s=%1x%2:r=%3:d=%4,"
                          "geq=lum='if(mod(floor(N/pow(2\\,floor(X*%5/W)))\\,2)\\,235\\,16)':cb=128:cr=128")
        .arg(width)
        .arg(height)
        .arg(fps)
        .arg(seconds)
        .arg(Bits);
}

// The number drawn in a frame, or -1 when the frame cannot be read.
inline int read(const QVideoFrame &source)
{
    QVideoFrame frame(source);
    const QVideoFrameFormat::PixelFormat format = frame.pixelFormat();
    const bool lumaFirst = format == QVideoFrameFormat::Format_YUV420P || format == QVideoFrameFormat::Format_NV12
        || format == QVideoFrameFormat::Format_YUV422P || format == QVideoFrameFormat::Format_YV12
        || format == QVideoFrameFormat::Format_NV21;
    if (!lumaFirst || !frame.map(QVideoFrame::ReadOnly))
        return -1;
    const int width = frame.width();
    const int row = frame.height() / 2;
    const uchar *line = frame.bits(0) + qsizetype(row) * frame.bytesPerLine(0);
    int number = 0;
    for (int bit = 0; bit < Bits; ++bit) {
        const int x = (2 * bit + 1) * width / (2 * Bits);
        if (line[x] > 128)
            number |= 1 << bit;
    }
    frame.unmap();
    return number;
}

// The number drawn in an area of a picture that shows one whole frame (a thumbnail as painted),
// read along the area's middle row; -1 when a stripe is neither light nor dark.
inline int read(const QImage &image, const QRect &area)
{
    const int y = area.top() + area.height() / 2;
    int number = 0;
    for (int bit = 0; bit < Bits; ++bit) {
        const int grey = qGray(image.pixel(area.left() + (2 * bit + 1) * area.width() / (2 * Bits), y));
        if (grey > 160)
            number |= 1 << bit;
        else if (grey > 96)
            return -1;
    }
    return number;
}

} // namespace FrameCounter
