#include "processedvideodisplay.h"

#include "displaygeometry.h"
#include "playerlog.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QOpenGLTexture>

ProcessedVideoDisplay::ProcessedVideoDisplay(QWidget *parent)
    : GLSurfaceWidget(parent)
{
    setMinimumSize(320, 240);
    qCDebug(playerLog) << "ProcessedVideoDisplay: GPU-accelerated rendering enabled (OpenGL)";
}

ProcessedVideoDisplay::~ProcessedVideoDisplay()
{
    makeCurrent();
    destroyDisplayTextures(m_texturePool);
    m_currentTexture = nullptr;
    qCDebug(playerLog) << "ProcessedVideoDisplay: Texture pool cleaned up";
    doneCurrent();
}

QSize ProcessedVideoDisplay::currentTextureSize() const
{
    if (!m_currentTexture)
        return QSize();
    return QSize(m_currentTexture->width(), m_currentTexture->height());
}

void ProcessedVideoDisplay::setProcessedFrame(QImage frame)
{
    // Frames the worker skipped arrive as null images.
    if (frame.isNull())
        return;

    {
        QMutexLocker locker(&m_mutex);
        m_currentFrame = frame;
        m_hasNewFrame = true;
    }

    ++m_framesReceived;
    if (frame.size() != m_lastFrameSize) {
        m_lastFrameSize = frame.size();
        qCDebug(playerLog) << "ProcessedVideoDisplay (GPU): Frame size:" << m_lastFrameSize;
    }
    if (m_framesReceived % 60 == 0)
        qCDebug(playerLog) << "ProcessedVideoDisplay (GPU): Frames received:" << m_framesReceived;
    if (m_framesReceived % 120 == 0) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (m_lastFpsMs > 0 && now - m_lastFpsMs > 0)
            qCDebug(playerLog) << "ProcessedVideoDisplay (GPU): Preview FPS:" << 120000.0 / double(now - m_lastFpsMs);
        m_lastFpsMs = now;
    }
    update();
}

void ProcessedVideoDisplay::clearDisplay()
{
    {
        QMutexLocker locker(&m_mutex);
        m_currentFrame = QImage();
        m_hasNewFrame = false;
        m_lastFrameSize = QSize(-1, -1);
    }
    update();
}

void ProcessedVideoDisplay::initializeGL()
{
    initializeOpenGLFunctions();
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glEnable(GL_TEXTURE_2D);
    qCDebug(playerLog) << "ProcessedVideoDisplay: OpenGL initialized";
    qCDebug(playerLog) << "  OpenGL version:" << reinterpret_cast<const char *>(glGetString(GL_VERSION));
    qCDebug(playerLog) << "  GPU vendor:" << reinterpret_cast<const char *>(glGetString(GL_VENDOR));
    qCDebug(playerLog) << "  GPU renderer:" << reinterpret_cast<const char *>(glGetString(GL_RENDERER));
}

void ProcessedVideoDisplay::resizeGL(int w, int h)
{
    glViewport(0, 0, w, h);
    m_viewportSize = QSize(w, h);
}

void ProcessedVideoDisplay::paintGL()
{
    glClear(GL_COLOR_BUFFER_BIT);

    QImage pending;
    {
        QMutexLocker locker(&m_mutex);
        if (!m_currentFrame.isNull() && m_hasNewFrame) {
            pending = m_currentFrame;
            m_hasNewFrame = false;
        }
    }
    if (!pending.isNull())
        uploadFrame(pending);

    if (!m_currentTexture || !m_currentTexture->isCreated())
        return;

    m_currentTexture->bind();
    drawTexturedQuad(quadCorners(targetRect(), m_viewportSize));
    m_currentTexture->release();

    ++m_framesRendered;
    if (m_framesRendered % 60 == 0)
        qCDebug(playerLog) << "ProcessedVideoDisplay (GPU): Frames rendered:" << m_framesRendered;
}

void ProcessedVideoDisplay::uploadFrame(const QImage &frame)
{
    const QImage image = frame.convertToFormat(QImage::Format_RGBA8888);
    if (!m_currentTexture || m_currentTexture->width() != image.width()
        || m_currentTexture->height() != image.height()) {
        m_currentTexture = pooledTexture(image.width(), image.height());
    }
    m_currentTexture->setData(QOpenGLTexture::RGBA, QOpenGLTexture::UInt8, image.constBits());
}

QOpenGLTexture *ProcessedVideoDisplay::pooledTexture(int width, int height)
{
    const QPair<int, int> key(width, height);
    if (QOpenGLTexture *texture = m_texturePool.value(key)) {
        qCDebug(playerLog).noquote()
            << QStringLiteral("ProcessedVideoDisplay: Reusing pooled texture %1x%2").arg(width).arg(height);
        return texture;
    }

    QOpenGLTexture *texture = createDisplayTexture(width, height);
    m_texturePool.insert(key, texture);
    qCDebug(playerLog).noquote() << QStringLiteral("ProcessedVideoDisplay: Created pooled texture %1x%2 (pool size: %3)")
                    .arg(width)
                    .arg(height)
                    .arg(m_texturePool.size());
    return texture;
}

QRect ProcessedVideoDisplay::targetRect()
{
    QMutexLocker locker(&m_mutex);
    const QSize frameSize = m_currentFrame.isNull() ? QSize() : m_currentFrame.size();
    return fitTargetRect(withPixelAspect(frameSize, m_pixelAspect), m_viewportSize);
}

void ProcessedVideoDisplay::setPixelAspect(double aspect)
{
    {
        QMutexLocker locker(&m_mutex);
        if (aspect == m_pixelAspect)
            return;
        m_pixelAspect = aspect;
    }
    update();
}
