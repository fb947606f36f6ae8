#include "videoglwidget.h"

#include "displaygeometry.h"
#include "frameprocessingworker.h"
#include "playerlog.h"

#include <QGenericMatrix>
#include <QMutexLocker>
#include <QOpenGLContext>
#include <QOpenGLShaderProgram>
#include <QTimer>
#include <QSurfaceFormat>
#include <QVector2D>
#include <QVector3D>

namespace {

const char *const VertexShader = R"(
attribute highp vec2 position;
attribute highp vec2 textureCoordinate;
uniform highp vec2 chromaShift;
varying highp vec2 lumaCoordinate;
varying highp vec2 chromaCoordinate;
void main()
{
    lumaCoordinate = textureCoordinate;
    chromaCoordinate = textureCoordinate + chromaShift;
    gl_Position = vec4(position, 0.0, 1.0);
}
)";

// planeMode 0: one RGBA picture; 1: Y, U and V planes; 2: Y and interleaved UV.
const char *const FragmentShader = R"(
#ifdef GL_ES
precision highp float;
#endif
uniform sampler2D plane0;
uniform sampler2D plane1;
uniform sampler2D plane2;
uniform int planeMode;
uniform highp float sampleScale;
uniform highp mat3 toRgb;
uniform highp vec3 rgbOffset;
varying highp vec2 lumaCoordinate;
varying highp vec2 chromaCoordinate;
void main()
{
    if (planeMode == 0) {
        gl_FragColor = vec4(texture2D(plane0, lumaCoordinate).rgb, 1.0);
        return;
    }
    highp vec2 chroma;
    if (planeMode == 1)
        chroma = vec2(texture2D(plane1, chromaCoordinate).r, texture2D(plane2, chromaCoordinate).r);
    else
        chroma = texture2D(plane1, chromaCoordinate).rg;
    highp vec3 codes = vec3(texture2D(plane0, lumaCoordinate).r, chroma) * sampleScale;
    gl_FragColor = vec4(clamp(toRgb * codes + rgbOffset, 0.0, 1.0), 1.0);
}
)";

quint64 poolKey(VideoPlanes::Layout layout, const QSize &size)
{
    return (quint64(layout) << 48) | (quint64(quint32(size.width())) << 24) | quint64(quint32(size.height()));
}

} // namespace

VideoGLWidget::VideoGLWidget(QWidget *parent)
    : GLSurfaceWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);

    // Without a shader program the quad is drawn with fixed-function calls.
    QSurfaceFormat surfaceFormat;
    surfaceFormat.setSwapInterval(1);
    surfaceFormat.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
    surfaceFormat.setProfile(QSurfaceFormat::CompatibilityProfile);
    setFormat(surfaceFormat);
}

VideoGLWidget::~VideoGLWidget()
{
    m_uploader.reset();
    makeCurrent();
    releaseGLResources();
    qCDebug(playerLog) << "VideoGLWidget: Texture pool cleaned up";
    doneCurrent();
}

void VideoGLWidget::setVideoFrame(QVideoFrame frame)
{
    // Hidden (the effects display is up), nothing is copied until a paint needs the frame.
    const bool viaUploader = m_uploader && isVisible() && !m_programFailed && frame.isValid() && planesFit(frame);
    {
        QMutexLocker locker(&m_mutex);
        m_currentFrame = frame;
        m_hasNewFrame = !viaUploader;
    }
    if (viaUploader) {
        m_uploader->submit(frame); // it asks for the paint once the planes are in
        return;
    }
    if (m_uploader)
        m_uploader->discard();
    update();
}

void VideoGLWidget::clear()
{
    {
        QMutexLocker locker(&m_mutex);
        m_currentFrame = QVideoFrame();
        m_hasNewFrame = false;
    }
    if (m_uploader)
        m_uploader->discard();
    update();
}

void VideoGLWidget::initializeGL()
{
    initializeOpenGLFunctions();
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &m_maxTextureSize);
    m_uploader = PlaneUploader::create(context(), [this] {
        QMetaObject::invokeMethod(this, [this] { update(); }, Qt::QueuedConnection);
    });
    // The shader program is built in a turn of its own: nothing here delays a paint.
    QTimer::singleShot(0, this, &VideoGLWidget::warmUpProgram);
    qCDebug(playerLog) << "VideoGLWidget: OpenGL initialized for GPU-accelerated raw video display";
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
    else if (m_uploader)
        takeUploaded();

    if (m_current)
        drawPicture(targetRect());
}

// A software renderer compiles a program for the textures it reads the first time it draws
// with them: 100 ms and more of the GUI thread. Done while the display is still empty, with the
// textures of the common 8-bit planar frames, it does not hold up a video's first frame.
void VideoGLWidget::warmUpProgram()
{
    if (m_current || !isValid())
        return;
    makeCurrent();
    if (ensureProgram()) {
        // Sizes other than powers of two, as frames have: the renderer compiles those apart.
        const QSize size(18, 10);
        m_current = pooledPicture(VideoPlanes::Layout::Planar8, size);
        drawPicture(QRect(0, 0, 1, 1));
        glClear(GL_COLOR_BUFFER_BIT);
        glDeleteTextures(VideoPlanes::planeCount(m_current->layout), m_current->textures);
        delete m_texturePool.take(poolKey(VideoPlanes::Layout::Planar8, size));
        m_current = nullptr;
    }
    doneCurrent();
}

bool VideoGLWidget::planesFit(const QVideoFrame &frame) const
{
    return VideoPlanes::layoutOf(frame.pixelFormat()) != VideoPlanes::Layout::Converted
        && frame.width() <= m_maxTextureSize && frame.height() <= m_maxTextureSize;
}

void VideoGLWidget::uploadFrame(QVideoFrame frame)
{
    const QVideoFrameFormat::PixelFormat format = frame.pixelFormat();
    const bool fromPlanes = planesFit(frame) && ensureProgram() && uploadPlanes(frame, VideoPlanes::layoutOf(format));
    if (!fromPlanes)
        uploadConverted(frame);
    logPath(format, fromPlanes);
}

void VideoGLWidget::takeUploaded()
{
    PlaneUploader::Picture picture;
    QVideoFrame unreadable;
    switch (m_uploader->take(picture, unreadable)) {
    case PlaneUploader::Taken::Nothing:
        return;
    case PlaneUploader::Taken::Unreadable:
        uploadConverted(unreadable);
        logPath(unreadable.pixelFormat(), false);
        return;
    case PlaneUploader::Taken::Picture:
        break;
    }
    if (!ensureProgram()) {
        // Planes need the shader: the frame is converted here instead, and from now on.
        m_uploader.reset();
        if (m_current == &m_uploaded)
            m_current = nullptr;
        QVideoFrame frame;
        {
            QMutexLocker locker(&m_mutex);
            frame = m_currentFrame;
        }
        if (frame.isValid())
            uploadFrame(frame);
        return;
    }
    m_uploaded.layout = picture.layout;
    m_uploaded.size = picture.size;
    std::copy(std::begin(picture.textures), std::end(picture.textures), std::begin(m_uploaded.textures));
    m_current = &m_uploaded;
    m_currentShownSize = rotatedSize(picture.size, picture.rotation);
    m_currentRotation = picture.rotation;
    m_currentMirrored = picture.mirrored;
    m_currentColours = picture.colours;
    logPath(picture.format, true);
}

void VideoGLWidget::logPath(QVideoFrameFormat::PixelFormat format, bool fromPlanes)
{
    if (format != m_loggedFormat || fromPlanes != m_loggedFromPlanes) {
        m_loggedFormat = format;
        m_loggedFromPlanes = fromPlanes;
        qCDebug(playerLog).noquote() << QStringLiteral("VideoGLWidget: Showing %1 frames %2")
                                  .arg(QVideoFrameFormat::pixelFormatToString(format),
                                       fromPlanes ? QStringLiteral("from their planes")
                                                  : QStringLiteral("converted on the CPU"));
    }
}

bool VideoGLWidget::uploadPlanes(QVideoFrame &frame, VideoPlanes::Layout layout)
{
    const QSize size(frame.width(), frame.height());
    if (size.isEmpty() || !frame.map(QVideoFrame::ReadOnly))
        return false;
    if (!PlaneTextures::readable(frame, layout, size)) {
        frame.unmap();
        return false;
    }
    Picture *picture = pooledPicture(layout, size);
    PlaneTextures::uploadAll(*this, *context(), frame, layout, size, picture->textures);
    frame.unmap();

    m_current = picture;
    m_currentShownSize = rotatedSize(size, frame.rotationAngle());
    m_currentRotation = frame.rotationAngle();
    m_currentMirrored = frame.mirrored();
    m_currentColours = VideoPlanes::colourTransform(frame.surfaceFormat(), layout);
    return true;
}

void VideoGLWidget::uploadConverted(const QVideoFrame &frame)
{
    const QImage converted = FrameProcessingWorker::convertWhole(frame);
    // The conversion may run on a context of its own; draw on ours again.
    if (QOpenGLContext::currentContext() != context())
        makeCurrent();
    if (converted.isNull())
        return;

    const QImage image = converted.convertToFormat(QImage::Format_RGBA8888);
    Picture *picture = pooledPicture(VideoPlanes::Layout::Converted, image.size());
    PlaneTextures::upload(*this, *context(), picture->textures[0],
                          VideoPlanes::plane(VideoPlanes::Layout::Converted, 0, image.size()), image.constBits(),
                          int(image.bytesPerLine()));
    m_current = picture;
    // The conversion has turned the picture already.
    m_currentShownSize = image.size();
    m_currentRotation = 0;
    m_currentMirrored = false;
}

VideoGLWidget::Picture *VideoGLWidget::pooledPicture(VideoPlanes::Layout layout, const QSize &size)
{
    const quint64 key = poolKey(layout, size);
    if (Picture *picture = m_texturePool.value(key))
        return picture;

    auto *picture = new Picture;
    picture->layout = layout;
    picture->size = size;
    PlaneTextures::create(*this, layout, size, picture->textures);
    m_texturePool.insert(key, picture);
    qCDebug(playerLog).noquote() << QStringLiteral("VideoGLWidget: Created pooled texture %1x%2 (pool size: %3)")
                              .arg(size.width())
                              .arg(size.height())
                              .arg(m_texturePool.size());
    return picture;
}

bool VideoGLWidget::ensureProgram()
{
    if (m_program)
        return true;
    if (m_programFailed)
        return false;
    auto *program = new QOpenGLShaderProgram;
    program->bindAttributeLocation("position", 0);
    program->bindAttributeLocation("textureCoordinate", 1);
    if (!program->addShaderFromSourceCode(QOpenGLShader::Vertex, VertexShader)
        || !program->addShaderFromSourceCode(QOpenGLShader::Fragment, FragmentShader) || !program->link()) {
        qCWarning(playerLog).noquote() << "VideoGLWidget: No shader program, frames are converted on the CPU:"
                             << program->log();
        delete program;
        m_programFailed = true;
        return false;
    }
    program->bind();
    program->setUniformValue("plane0", 0);
    program->setUniformValue("plane1", 1);
    program->setUniformValue("plane2", 2);
    program->release();
    m_program = program;
    return true;
}

void VideoGLWidget::drawPicture(const QRect &target)
{
    const QuadCorners corners = quadCorners(target, m_viewportSize);
    if (!ensureProgram()) {
        glEnable(GL_TEXTURE_2D);
        glBindTexture(GL_TEXTURE_2D, m_current->textures[0]);
        drawTexturedQuad(corners);
        glBindTexture(GL_TEXTURE_2D, 0);
        glDisable(GL_TEXTURE_2D);
        return;
    }

    const VideoPlanes::Layout layout = m_current->layout;
    const VideoPlanes::CornerCoordinates st = VideoPlanes::cornerCoordinates(m_currentRotation, m_currentMirrored);
    const GLfloat vertices[4][4] = {
        {corners.left, corners.top, st.st[0][0], st.st[0][1]},
        {corners.right, corners.top, st.st[1][0], st.st[1][1]},
        {corners.right, corners.bottom, st.st[2][0], st.st[2][1]},
        {corners.left, corners.bottom, st.st[3][0], st.st[3][1]},
    };
    const int planes = VideoPlanes::planeCount(layout);
    for (int i = planes - 1; i >= 0; --i) {
        glActiveTexture(GL_TEXTURE0 + GLenum(i));
        glBindTexture(GL_TEXTURE_2D, m_current->textures[i]);
    }

    m_program->bind();
    const int mode = layout == VideoPlanes::Layout::Converted ? 0 : planes == 3 ? 1 : 2;
    m_program->setUniformValue("planeMode", mode);
    if (mode != 0) {
        m_program->setUniformValue("toRgb", QMatrix3x3(m_currentColours.matrix));
        m_program->setUniformValue("rgbOffset", QVector3D(m_currentColours.offset[0], m_currentColours.offset[1],
                                                          m_currentColours.offset[2]));
        m_program->setUniformValue("sampleScale", m_currentColours.sampleScale);
    }
    // Chroma samples sit on every other luma column (left-sited, as H.264 and MPEG-2 place
    // them), not between two: a quarter of a chroma texel to the right of where the shared
    // coordinate would read.
    const int chromaWidth = VideoPlanes::plane(layout, planes > 1 ? 1 : 0, m_current->size).size.width();
    m_program->setUniformValue("chromaShift", QVector2D(mode == 0 ? 0.0f : 0.25f / float(chromaWidth), 0.0f));
    m_program->enableAttributeArray(0);
    m_program->enableAttributeArray(1);
    m_program->setAttributeArray(0, GL_FLOAT, &vertices[0][0], 2, 4 * sizeof(GLfloat));
    m_program->setAttributeArray(1, GL_FLOAT, &vertices[0][2], 2, 4 * sizeof(GLfloat));
    glDrawArrays(GL_TRIANGLE_FAN, 0, 4);
    m_program->disableAttributeArray(0);
    m_program->disableAttributeArray(1);
    m_program->release();
    for (int i = planes - 1; i >= 0; --i) {
        glActiveTexture(GL_TEXTURE0 + GLenum(i));
        glBindTexture(GL_TEXTURE_2D, 0);
    }
}

void VideoGLWidget::releaseGLResources()
{
    for (Picture *picture : std::as_const(m_texturePool)) {
        glDeleteTextures(VideoPlanes::planeCount(picture->layout), picture->textures);
        delete picture;
    }
    m_texturePool.clear();
    m_current = nullptr;
    delete m_program;
    m_program = nullptr;
}

QRect VideoGLWidget::targetRect()
{
    QMutexLocker locker(&m_mutex);
    const QSize frameSize = m_currentFrame.isValid()
        ? rotatedSize(QSize(m_currentFrame.width(), m_currentFrame.height()), m_currentFrame.rotationAngle())
        : QSize();
    return fitTargetRect(withPixelAspect(frameSize, m_pixelAspect), m_viewportSize);
}

void VideoGLWidget::setPixelAspect(double aspect)
{
    {
        QMutexLocker locker(&m_mutex);
        if (aspect == m_pixelAspect)
            return;
        m_pixelAspect = aspect;
    }
    update();
}
