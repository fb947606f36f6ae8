#pragma once

#include <QImage>
#include <QSize>
#include <QSurfaceFormat>
#include <QWidget>

class QOpenGLContext;
class QWindow;

// A widget drawn by OpenGL in a native window of its own. Video frames then go from the
// display's context straight to the screen; an OpenGL widget instead makes Qt compose the whole
// top-level window through OpenGL on every frame, which on a software renderer costs several
// times the drawing of the picture itself. The window lets input through to this widget.
class GLSurfaceWidget : public QWidget {
    Q_OBJECT
public:
    explicit GLSurfaceWidget(QWidget *parent = nullptr);
    ~GLSurfaceWidget() override;

    void setFormat(const QSurfaceFormat &format);
    QSurfaceFormat format() const { return m_format; }

    // Makes the context and runs initializeGL now, hidden or not, so that the first showing
    // does not wait for them.
    void prepare() { ensureContext(); }
    QOpenGLContext *context() const { return m_context; }
    bool isValid() const;
    void makeCurrent();
    void doneCurrent();
    // Paints the picture again soon (hides QWidget::update, which would paint this widget).
    void update();
    // Paints into an image of the surface's size, as the next paint will show it.
    QImage grabFramebuffer();
    // The native window the picture is drawn in.
    QWindow *surface() const { return m_surface; }

signals:
    // After each picture put on screen.
    void frameSwapped();

protected:
    virtual void initializeGL() {}
    virtual void resizeGL(int w, int h) { Q_UNUSED(w) Q_UNUSED(h) }
    virtual void paintGL() {}

private:
    class Surface;
    friend class Surface;

    bool ensureContext();
    void render();
    void matchSize(const QSize &pixels);

    QSurfaceFormat m_format;
    QWindow *m_surface = nullptr;
    QOpenGLContext *m_context = nullptr;
    bool m_initialized = false;
    bool m_contextFailed = false;
    bool m_updatePosted = false;
    QSize m_glSize;
};
