#include "glsurfacewidget.h"

#include "playerlog.h"

#include <QCoreApplication>
#include <QEvent>
#include <QExposeEvent>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QVBoxLayout>
#include <QWindow>

class GLSurfaceWidget::Surface : public QWindow {
public:
    explicit Surface(GLSurfaceWidget *owner)
        : owner(owner)
    {
        setSurfaceType(QSurface::OpenGLSurface);
        // Clicks, wheels and drops reach the widgets under it, as if it were not there.
        setFlags(flags() | Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus);
    }

protected:
    bool event(QEvent *event) override
    {
        if (event->type() == QEvent::UpdateRequest) {
            owner->render();
            return true;
        }
        return QWindow::event(event);
    }
    void exposeEvent(QExposeEvent *) override
    {
        if (isExposed())
            owner->render();
    }

private:
    GLSurfaceWidget *const owner;
};

GLSurfaceWidget::GLSurfaceWidget(QWidget *parent)
    : QWidget(parent)
    , m_format(QSurfaceFormat::defaultFormat())
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    auto *surface = new Surface(this);
    surface->setFormat(m_format);
    m_surface = surface;
    QWidget *container = QWidget::createWindowContainer(surface, this);
    container->setAttribute(Qt::WA_TransparentForMouseEvents);
    container->setFocusPolicy(Qt::NoFocus);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(container);
}

GLSurfaceWidget::~GLSurfaceWidget()
{
    delete m_context;
}

void GLSurfaceWidget::setFormat(const QSurfaceFormat &format)
{
    m_format = format;
    m_surface->setFormat(format);
}

bool GLSurfaceWidget::isValid() const
{
    return m_initialized && m_context && m_context->isValid();
}

bool GLSurfaceWidget::ensureContext()
{
    if (m_initialized)
        return m_context->isValid();
    if (m_contextFailed)
        return false;
    if (!m_surface->handle())
        m_surface->create();
    if (!m_context) {
        m_context = new QOpenGLContext(this);
        m_context->setFormat(m_surface->requestedFormat());
        if (QOpenGLContext *shared = QOpenGLContext::globalShareContext())
            m_context->setShareContext(shared);
        if (!m_context->create()) {
            qCWarning(playerLog) << "GLSurfaceWidget: no OpenGL context for" << metaObject()->className();
            m_contextFailed = true;
            return false;
        }
    }
    if (!m_surface->handle() || !m_context->makeCurrent(m_surface))
        return false;
    m_initialized = true;
    initializeGL();
    return true;
}

// As an OpenGL widget's: nothing before the first paint, so nothing is made only to be freed.
void GLSurfaceWidget::makeCurrent()
{
    if (m_initialized)
        m_context->makeCurrent(m_surface);
}

void GLSurfaceWidget::doneCurrent()
{
    if (m_context)
        m_context->doneCurrent();
}

void GLSurfaceWidget::update()
{
    // Posted, as widgets post theirs: QWindow::requestUpdate waits for a timer first, and a
    // frame would reach the screen later than the rest of the window.
    if (m_updatePosted)
        return;
    m_updatePosted = true;
    QCoreApplication::postEvent(m_surface, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
}

void GLSurfaceWidget::matchSize(const QSize &pixels)
{
    if (pixels == m_glSize)
        return;
    m_glSize = pixels;
    resizeGL(pixels.width(), pixels.height());
}

void GLSurfaceWidget::render()
{
    m_updatePosted = false;
    if (!m_surface->isExposed() || !ensureContext() || !m_context->makeCurrent(m_surface))
        return;
    matchSize(m_surface->size() * m_surface->devicePixelRatio());
    paintGL();
    m_context->swapBuffers(m_surface);
    emit frameSwapped();
}

QImage GLSurfaceWidget::grabFramebuffer()
{
    if (!ensureContext() || !m_context->makeCurrent(m_surface))
        return QImage();
    QSize pixels = m_surface->size() * m_surface->devicePixelRatio();
    if (pixels.isEmpty())
        pixels = size() * devicePixelRatioF();
    if (pixels.isEmpty())
        return QImage();
    QOpenGLFramebufferObject target(pixels);
    target.bind();
    matchSize(pixels);
    paintGL();
    target.release();
    const QImage image = target.toImage();
    // The screen shows what the image does.
    update();
    return image;
}
