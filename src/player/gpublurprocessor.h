#pragma once

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QObject>
#include <QOpenGLFunctions>
#include <QPair>
#include <QVector>

class QOpenGLBuffer;
class QOpenGLFramebufferObject;
class QOpenGLShaderProgram;
class QOpenGLTexture;
class QOpenGLVertexArrayObject;
class QVector2D;

// Two-pass Gaussian blur in a fragment shader, in whatever OpenGL 3.0+ context
// is current on the calling thread; it never creates a context of its own.
class GPUBlurProcessor : public QObject {
    Q_OBJECT
public:
    explicit GPUBlurProcessor(QObject *parent = nullptr);
    ~GPUBlurProcessor() override;

    // A current context of major version 3 or more on this thread.
    static bool isAvailable();
    bool initialize();
    // The blurred image; a copy of the input when there is nothing to do; a null
    // image on failure (the caller then blurs on the CPU).
    QImage blur(const QImage &image, double sigma);
    // Releases every OpenGL object; needs the context they were made in.
    void cleanup();

    qint64 lastBlurMs() const;
    int texturePoolSize() const;
    int fboPoolSize() const;

private:
    using SizeKey = QPair<int, int>;

    QOpenGLShaderProgram *shaderProgram(int kernelSize);
    QOpenGLTexture *pooledTexture(int width, int height);
    QOpenGLFramebufferObject *pooledFbo(int width, int height);
    void renderPass(QOpenGLTexture *input, QOpenGLFramebufferObject *target, const QVector<float> &kernel,
                    const QVector2D &direction);
    bool ensureGeometry();

    QOpenGLFunctions gl;
    bool initialized = false;
    mutable QMutex mutex;
    QHash<int, QOpenGLShaderProgram *> shaderPrograms;
    QHash<SizeKey, QOpenGLTexture *> texturePool;
    QHash<SizeKey, QOpenGLFramebufferObject *> fboPool;
    qint64 lastBlurMsValue = 0;
    int texturePoolSizeValue = 0;
    int fboPoolSizeValue = 0;
    // The quad, kept in buffers so the draw also works in core-profile contexts.
    QOpenGLBuffer *vertexBuffer = nullptr;
    QOpenGLBuffer *indexBuffer = nullptr;
    QOpenGLVertexArrayObject *vertexArray = nullptr;
};
