#include "displaygeometry.h"

#include <QOpenGLTexture>

#include <GL/gl.h>

QVideoFrame::RotationAngle frameRotationFor(int displayRotation)
{
    switch (displayRotation) {
    case 90:
        return QVideoFrame::Rotation270;
    case 180:
        return QVideoFrame::Rotation180;
    case 270:
        return QVideoFrame::Rotation90;
    default:
        return QVideoFrame::Rotation0;
    }
}

QSize rotatedSize(const QSize &size, int degrees)
{
    return degrees % 180 != 0 ? size.transposed() : size;
}

QSize withPixelAspect(const QSize &size, double pixelAspect)
{
    if (size.isEmpty() || !(pixelAspect > 0.0) || pixelAspect == 1.0 || pixelAspect > 100.0 || pixelAspect < 0.01)
        return size;
    return QSize(qMax(1, qRound(size.width() * pixelAspect)), size.height());
}

QRect fitTargetRect(const QSize &frame, const QSize &viewport)
{
    if (frame.isEmpty())
        return QRect(QPoint(0, 0), viewport);
    const QSize scaled = frame.scaled(viewport, Qt::KeepAspectRatio);
    const int left = (viewport.width() - scaled.width()) / 2;
    const int top = (viewport.height() - scaled.height()) / 2;
    return QRect(left, top, scaled.width(), scaled.height());
}

QuadCorners quadCorners(const QRect &target, const QSize &viewport)
{
    const float width = float(viewport.width());
    const float height = float(viewport.height());
    const int right = target.left() + target.width() - 1;
    const int bottom = target.top() + target.height() - 1;
    QuadCorners corners;
    corners.left = 2.0f * float(target.left()) / width - 1.0f;
    corners.top = 1.0f - 2.0f * float(target.top()) / height;
    corners.right = 2.0f * float(right) / width - 1.0f;
    corners.bottom = 1.0f - 2.0f * float(bottom) / height;
    return corners;
}

void drawTexturedQuad(const QuadCorners &corners)
{
    // Fixed-function calls are not part of QOpenGLFunctions: use the GL 1.x entry points.
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 0.0f);
    glVertex2f(corners.left, corners.top);
    glTexCoord2f(1.0f, 0.0f);
    glVertex2f(corners.right, corners.top);
    glTexCoord2f(1.0f, 1.0f);
    glVertex2f(corners.right, corners.bottom);
    glTexCoord2f(0.0f, 1.0f);
    glVertex2f(corners.left, corners.bottom);
    glEnd();
}

QOpenGLTexture *createDisplayTexture(int width, int height)
{
    auto *texture = new QOpenGLTexture(QOpenGLTexture::Target2D);
    texture->setFormat(QOpenGLTexture::RGBA8_UNorm);
    texture->setSize(width, height);
    texture->allocateStorage();
    texture->setMinificationFilter(QOpenGLTexture::Linear);
    texture->setMagnificationFilter(QOpenGLTexture::Linear);
    return texture;
}

void destroyDisplayTextures(QHash<QPair<int, int>, QOpenGLTexture *> &pool)
{
    for (QOpenGLTexture *texture : std::as_const(pool)) {
        texture->destroy();
        delete texture;
    }
    pool.clear();
}
