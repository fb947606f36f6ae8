#pragma once

#include "glsurfacewidget.h"

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QOpenGLFunctions>
#include <QPair>
#include <QSize>

class QOpenGLTexture;

// Shows the finished preview images that come back from the frame worker.
class ProcessedVideoDisplay : public GLSurfaceWidget, protected QOpenGLFunctions {
    Q_OBJECT
public:
    explicit ProcessedVideoDisplay(QWidget *parent = nullptr);
    ~ProcessedVideoDisplay() override;

    int framesReceived() const { return m_framesReceived; }
    int framesRendered() const { return m_framesRendered; }
    int texturePoolSize() const { return m_texturePool.size(); }
    // Size of the texture drawn at the moment; invalid before the first upload.
    QSize currentTextureSize() const;

public slots:
    void setProcessedFrame(QImage frame);
    // Pixels of the frames are shown this many times as wide as high (VideoPlayer::shownPixelAspect).
    void setPixelAspect(double aspect);
    void clearDisplay();

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

private:
    void uploadFrame(const QImage &frame);
    QOpenGLTexture *pooledTexture(int width, int height);
    QRect targetRect();

    QMutex m_mutex;
    QImage m_currentFrame;
    QOpenGLTexture *m_currentTexture = nullptr;
    bool m_hasNewFrame = false;
    QHash<QPair<int, int>, QOpenGLTexture *> m_texturePool;
    QSize m_viewportSize{-1, -1};
    double m_pixelAspect = 1.0;
    int m_framesReceived = 0;
    qint64 m_lastFpsMs = 0;
    QSize m_lastFrameSize{-1, -1};
    int m_framesRendered = 0;
};
