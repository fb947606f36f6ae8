#include "videoglwidget.h"

#include "displaygeometry.h"
#include "frameprocessingworker.h"

#include <QDebug>
#include <QMutexLocker>
#include <QOpenGLContext>
#include <QOpenGLTexture>
#include <QSurfaceFormat>

VideoGLWidget::VideoGLWidget(QWidget *parent)
    : QOpenGLWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);

    // The quad is drawn with fixed-function calls.
    QSurfaceFormat surfaceFormat;
    surfaceFormat.setSwapInterval(1);
    surfaceFormat.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
    surfaceFormat.setProfile(QSurfaceFormat::CompatibilityProfile);
    setFormat(surfaceFormat);
}

VideoGLWidget::~VideoGLWidget()
{
    makeCurrent();
    destroyDisplayTextures(m_texturePool);
    m_currentTexture = nullptr;
    qDebug() << "VideoGLWidget: Texture pool cleaned up";
    doneCurrent();
}

QSize VideoGLWidget::currentTextureSize() const
{
    if (!m_currentTexture)
        return QSize();
    return QSize(m_currentTexture->width(), m_currentTexture->height());
}

void VideoGLWidget::setVideoFrame(QVideoFrame frame)
{
    {
        QMutexLocker locker(&m_mutex);
        m_currentFrame = frame;
        m_hasNewFrame = true;
    }
    update();
}

void VideoGLWidget::clear()
{
    {
        QMutexLocker locker(&m_mutex);
        m_currentFrame = QVideoFrame();
        m_hasNewFrame = false;
    }
    update();
}

void VideoGLWidget::initializeGL()
{
    initializeOpenGLFunctions();
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glEnable(GL_TEXTURE_2D);
    qDebug() << "VideoGLWidget: OpenGL initialized for GPU-accelerated raw video display";
}

void VideoGLWidget::resizeGL(int w, int h)
{
    glViewport(0, 0, w, h);
    m_viewportSize = QSize(w, h);
}

void VideoGLWidget::paintGL()
{
    glClear(GL_COLOR_BUFFER_BIT);

    QVideoFrame pending;
    {
        QMutexLocker locker(&m_mutex);
        if (m_currentFrame.isValid() && m_hasNewFrame) {
            pending = m_currentFrame;
            m_hasNewFrame = false;
        }
    }
    if (pending.isValid())
        uploadFrame(pending);

    if (!m_currentTexture || !m_currentTexture->isCreated())
        return;

    m_currentTexture->bind();
    drawTexturedQuad(quadCorners(targetRect(), m_viewportSize));
    m_currentTexture->release();
}

void VideoGLWidget::uploadFrame(QVideoFrame frame)
{
    const QImage converted = FrameProcessingWorker::convertWhole(frame);
    // The conversion may run on a context of its own; draw on ours again.
    if (QOpenGLContext::currentContext() != context())
        makeCurrent();
    if (converted.isNull())
        return;

    const QImage image = converted.convertToFormat(QImage::Format_RGBA8888);
    if (!m_currentTexture || m_currentTexture->width() != image.width()
        || m_currentTexture->height() != image.height()) {
        m_currentTexture = pooledTexture(image.width(), image.height());
    }
    m_currentTexture->setData(QOpenGLTexture::RGBA, QOpenGLTexture::UInt8, image.constBits());
}

QOpenGLTexture *VideoGLWidget::pooledTexture(int width, int height)
{
    const QPair<int, int> key(width, height);
    if (QOpenGLTexture *texture = m_texturePool.value(key))
        return texture;

    QOpenGLTexture *texture = createDisplayTexture(width, height);
    m_texturePool.insert(key, texture);
    qDebug().noquote() << QStringLiteral("VideoGLWidget: Created pooled texture %1x%2 (pool size: %3)")
                              .arg(width)
                              .arg(height)
                              .arg(m_texturePool.size());
    return texture;
}

QRect VideoGLWidget::targetRect()
{
    QMutexLocker locker(&m_mutex);
    // The conversion has turned the picture by the frame's angle already.
    const QSize frameSize = m_currentFrame.isValid()
        ? rotatedSize(QSize(m_currentFrame.width(), m_currentFrame.height()), m_currentFrame.rotationAngle())
        : QSize();
    return fitTargetRect(frameSize, m_viewportSize);
}
