#pragma once

#include <QRect>
#include <QSize>
#include <QVideoFrame>

// Where a frame is drawn in a viewport: scaled to fit with its aspect ratio kept and
// centred. An empty frame size (no frame) gives the whole viewport.
QRect fitTargetRect(const QSize &frame, const QSize &viewport);

// A file's display rotation (the display matrix's angle in quarter turns, counter-clockwise,
// as the export reads it and ffmpeg turns the picture) as the clockwise angle a QVideoFrame
// carries. Other values count as no rotation.
QVideoFrame::RotationAngle frameRotationFor(int displayRotation);

// A frame's size as shown after turning it by the angle: a quarter turn swaps the sides.
QSize rotatedSize(const QSize &size, int degrees);

// A picture of `size` pixels, each shown `pixelAspect` times as wide as high, with the shape
// it is shown in (the width changed; 1 or a nonsensical aspect leaves it as it is).
QSize withPixelAspect(const QSize &size, double pixelAspect);

// A target rectangle in normalised device coordinates (y up), as the display quad
// uses it: the right and bottom edges sit on the rectangle's last pixel.
struct QuadCorners {
    float left = 0.0f;
    float top = 0.0f;
    float right = 0.0f;
    float bottom = 0.0f;
};

QuadCorners quadCorners(const QRect &target, const QSize &viewport);

// Draws the bound 2D texture, row 0 at the top, as one immediate-mode quad. Needs a
// current compatibility-profile context.
void drawTexturedQuad(const QuadCorners &corners);

#include <QHash>
#include <QPair>

class QOpenGLTexture;

// A pooled display texture: 2D, RGBA8, linear filtering, storage allocated at once.
// Needs a current context.
QOpenGLTexture *createDisplayTexture(int width, int height);

// Destroys and deletes every pooled texture once and empties the pool. Needs the
// pool's context current.
void destroyDisplayTextures(QHash<QPair<int, int>, QOpenGLTexture *> &pool);
