#pragma once

#include <QHash>
#include <QMutex>
#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QPair>
#include <QSize>
#include <QVideoFrame>

class QOpenGLTexture;

// Shows the raw decoded frames of the player.
class VideoGLWidget : public QOpenGLWidget, protected QOpenGLFunctions {
    Q_OBJECT
public:
    explicit VideoGLWidget(QWidget *parent = nullptr);
    ~VideoGLWidget() override;

    int texturePoolSize() const { return m_texturePool.size(); }
    // Size of the texture drawn at the moment; invalid before the first upload.
    QSize currentTextureSize() const;

public slots:
    void setVideoFrame(QVideoFrame frame);
    void clear();

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

private:
    void uploadFrame(QVideoFrame frame);
    QOpenGLTexture *pooledTexture(int width, int height);
    QRect targetRect();

    QVideoFrame m_currentFrame;
    QOpenGLTexture *m_currentTexture = nullptr;
    QSize m_viewportSize{-1, -1};
    QMutex m_mutex;
    bool m_hasNewFrame = false;
    QHash<QPair<int, int>, QOpenGLTexture *> m_texturePool;
};
