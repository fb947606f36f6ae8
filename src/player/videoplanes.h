#pragma once

#include <QSize>
#include <QVideoFrame>
#include <QVideoFrameFormat>

// How the raw display reads a decoded frame's planes as textures, and turns them into RGB.
namespace VideoPlanes {

// The layouts drawn straight from the frame's planes; anything else is converted on the CPU
// and drawn as one RGBA picture.
enum class Layout { Converted, Planar8, Planar10, SemiPlanar8, SemiPlanar10 };

Layout layoutOf(QVideoFrameFormat::PixelFormat format);
int planeCount(Layout layout);

// One plane as a texture: its size in texels for a picture of the given (luma) size, and the
// bytes one texel takes in memory.
struct Plane {
    QSize size;
    int bytesPerTexel = 1;
    int channels = 1; // 1: one sample per texel, 2: interleaved U and V
    bool sixteenBit = false;
};
Plane plane(Layout layout, int index, const QSize &pictureSize);

// Y'CbCr code values (in 8-bit units, as the worker's conversion reads them) to R'G'B' in
// 0..1: rgb = matrix * (y, u, v) + offset. Row-major.
struct ColourTransform {
    float matrix[9] = {};
    float offset[3] = {};
    // Multiplies a normalised texel value into 8-bit code units.
    float sampleScale = 255.0f;
};
// The frame format's matrix and range; unsaid, BT.709 above 576 lines and BT.601 below,
// video range: the same as the effects preview's conversion.
ColourTransform colourTransform(const QVideoFrameFormat &format, Layout layout);

// Texture coordinates (s, t; t = 0 at the first row in memory) for the target's corners in the
// order top left, top right, bottom right, bottom left, so that the frame shows turned clockwise
// by `rotation` and, when mirrored, flipped left to right as toImage() shows it.
struct CornerCoordinates {
    float st[4][2] = {};
};
CornerCoordinates cornerCoordinates(int rotation, bool mirrored);

} // namespace VideoPlanes
