#pragma once

#include "glsurfacewidget.h"
#include "planeuploader.h"
#include "videoplanes.h"

#include <QHash>
#include <QMutex>
#include <QOpenGLFunctions>
#include <QSize>
#include <QVideoFrame>

#include <memory>

class QOpenGLShaderProgram;

// Shows the raw decoded frames of the player. The common YUV formats go to the GPU plane by
// plane, straight from the decoder's memory, and a shader turns them into RGB; other formats
// are converted on the CPU first.
class VideoGLWidget : public GLSurfaceWidget, protected QOpenGLFunctions {
    Q_OBJECT
public:
    explicit VideoGLWidget(QWidget *parent = nullptr);
    ~VideoGLWidget() override;

    // Pictures pooled by layout and size; each holds one texture per plane.
    int texturePoolSize() const { return m_texturePool.size() + (m_uploader ? m_uploader->pictureKinds() : 0); }
    // Size of the picture drawn at the moment, as shown (turned); invalid before the first upload.
    QSize currentTextureSize() const { return m_currentShownSize; }

public slots:
    void setVideoFrame(QVideoFrame frame);
    // Pixels of the frames are shown this many times as wide as high (VideoPlayer::shownPixelAspect).
    void setPixelAspect(double aspect);
    void clear();

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

private:
    struct Picture {
        VideoPlanes::Layout layout = VideoPlanes::Layout::Converted;
        QSize size;
        GLuint textures[3] = {0, 0, 0};
    };

    // Whether the shader can draw the frame from its planes: a known layout, within the texture limit.
    bool planesFit(const QVideoFrame &frame) const;
    void uploadFrame(QVideoFrame frame);
    void takeUploaded();
    void logPath(QVideoFrameFormat::PixelFormat format, bool fromPlanes);
    bool uploadPlanes(QVideoFrame &frame, VideoPlanes::Layout layout);
    void uploadConverted(const QVideoFrame &frame);
    Picture *pooledPicture(VideoPlanes::Layout layout, const QSize &size);
    bool ensureProgram();
    void warmUpProgram();
    void drawPicture(const QRect &target);
    void releaseGLResources();
    QRect targetRect();

    QVideoFrame m_currentFrame;
    Picture *m_current = nullptr;
    QSize m_currentShownSize;
    // How the current picture is turned and coloured when drawn.
    int m_currentRotation = 0;
    bool m_currentMirrored = false;
    VideoPlanes::ColourTransform m_currentColours;
    QSize m_viewportSize{-1, -1};
    double m_pixelAspect = 1.0;
    QMutex m_mutex;
    bool m_hasNewFrame = false;
    QHash<quint64, Picture *> m_texturePool;
    // Planes copied on a thread of their own; without it (no shared context) here, in paintGL.
    std::unique_ptr<PlaneUploader> m_uploader;
    Picture m_uploaded;
    QOpenGLShaderProgram *m_program = nullptr;
    // No shader program could be built: pictures are converted on the CPU and drawn fixed-function.
    bool m_programFailed = false;
    int m_maxTextureSize = 0;
    // The path the last frame took, told once per change.
    QVideoFrameFormat::PixelFormat m_loggedFormat = QVideoFrameFormat::Format_Invalid;
    bool m_loggedFromPlanes = false;
};
