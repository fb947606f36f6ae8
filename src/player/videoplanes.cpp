#include "videoplanes.h"

#include <utility>

namespace VideoPlanes {

Layout layoutOf(QVideoFrameFormat::PixelFormat format)
{
    switch (format) {
    case QVideoFrameFormat::Format_YUV420P:
        return Layout::Planar8;
    case QVideoFrameFormat::Format_YUV420P10:
        return Layout::Planar10;
    case QVideoFrameFormat::Format_NV12:
        return Layout::SemiPlanar8;
    case QVideoFrameFormat::Format_P010:
        return Layout::SemiPlanar10;
    default:
        return Layout::Converted;
    }
}

int planeCount(Layout layout)
{
    switch (layout) {
    case Layout::Planar8:
    case Layout::Planar10:
        return 3;
    case Layout::SemiPlanar8:
    case Layout::SemiPlanar10:
        return 2;
    case Layout::Converted:
        break;
    }
    return 1;
}

Plane plane(Layout layout, int index, const QSize &pictureSize)
{
    Plane p;
    const bool chroma = index > 0;
    p.size = chroma ? QSize((pictureSize.width() + 1) / 2, (pictureSize.height() + 1) / 2) : pictureSize;
    switch (layout) {
    case Layout::Converted:
        p.channels = 4;
        p.bytesPerTexel = 4;
        break;
    case Layout::Planar8:
        break;
    case Layout::Planar10:
        p.sixteenBit = true;
        p.bytesPerTexel = 2;
        break;
    case Layout::SemiPlanar8:
        p.channels = chroma ? 2 : 1;
        p.bytesPerTexel = p.channels;
        break;
    case Layout::SemiPlanar10:
        p.sixteenBit = true;
        p.channels = chroma ? 2 : 1;
        p.bytesPerTexel = 2 * p.channels;
        break;
    }
    return p;
}

namespace {

// These must stay the numbers of yuvToRgbFor in frameprocessingworker.cpp (the effects
// preview's conversion), so both displays show the same colours.
ColourTransform transformFor(double kr, double kb, bool fullRange)
{
    const double kg = 1.0 - kr - kb;
    const double lumaScale = fullRange ? 1.0 : 255.0 / 219.0;
    const double chromaScale = fullRange ? 1.0 : 255.0 / 224.0;
    const double lumaOffset = fullRange ? 0.0 : 16.0;
    const double redFromV = chromaScale * 2.0 * (1.0 - kr);
    const double greenFromU = chromaScale * 2.0 * (1.0 - kb) * kb / kg;
    const double greenFromV = chromaScale * 2.0 * (1.0 - kr) * kr / kg;
    const double blueFromU = chromaScale * 2.0 * (1.0 - kb);
    const double rows[3][3] = {{lumaScale, 0.0, redFromV},
                               {lumaScale, -greenFromU, -greenFromV},
                               {lumaScale, blueFromU, 0.0}};
    ColourTransform t;
    for (int r = 0; r < 3; ++r) {
        const double offset = -rows[r][0] * lumaOffset - (rows[r][1] + rows[r][2]) * 128.0;
        for (int c = 0; c < 3; ++c)
            t.matrix[3 * r + c] = float(rows[r][c] / 255.0);
        t.offset[r] = float(offset / 255.0);
    }
    return t;
}

} // namespace

ColourTransform colourTransform(const QVideoFrameFormat &format, Layout layout)
{
    QVideoFrameFormat::ColorSpace space = format.colorSpace();
    if (space == QVideoFrameFormat::ColorSpace_Undefined)
        space = format.frameHeight() > 576 ? QVideoFrameFormat::ColorSpace_BT709 : QVideoFrameFormat::ColorSpace_BT601;
    bool fullRange = format.colorRange() == QVideoFrameFormat::ColorRange_Full;
    ColourTransform t;
    switch (space) {
    case QVideoFrameFormat::ColorSpace_BT709:
        t = transformFor(0.2126, 0.0722, fullRange);
        break;
    case QVideoFrameFormat::ColorSpace_BT2020:
        t = transformFor(0.2627, 0.0593, fullRange);
        break;
    case QVideoFrameFormat::ColorSpace_AdobeRgb:
        // Qt's name for a file marked RGB; its own display takes that as full-range BT.601.
        fullRange = true;
        [[fallthrough]];
    default:
        t = transformFor(0.299, 0.114, fullRange);
        break;
    }
    // 16-bit texels read as value / 65535. YUV420P10 keeps its 10 bits low, P010 high: either
    // way the worker's 8-bit code value is the sample shifted down to 8 bits.
    switch (layout) {
    case Layout::Planar10:
        t.sampleScale = 65535.0f / 4.0f;
        break;
    case Layout::SemiPlanar10:
        t.sampleScale = 65535.0f / 256.0f;
        break;
    default:
        t.sampleScale = 255.0f;
        break;
    }
    return t;
}

CornerCoordinates cornerCoordinates(int rotation, bool mirrored)
{
    // The frame's own corners in the same order as the target's.
    static const float frame[4][2] = {{0.0f, 0.0f}, {1.0f, 0.0f}, {1.0f, 1.0f}, {0.0f, 1.0f}};
    // Turned clockwise by quarter turns, the corner shown at target corner i is the frame's
    // corner i - turns.
    const int turns = ((rotation / 90) % 4 + 4) % 4;
    CornerCoordinates c;
    for (int i = 0; i < 4; ++i) {
        const int source = (i - turns + 4) % 4;
        c.st[i][0] = frame[source][0];
        c.st[i][1] = frame[source][1];
    }
    if (mirrored) {
        // Left and right of the picture as shown trade places.
        std::swap(c.st[0], c.st[1]);
        std::swap(c.st[2], c.st[3]);
    }
    return c;
}

} // namespace VideoPlanes
