#include "planeuploader.h"

#include "playerlog.h"

#include <QMutexLocker>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QThread>

namespace {

struct TextureFormat {
    GLint internalFormat;
    GLenum format;
    GLenum type;
};

TextureFormat glFormatOf(const VideoPlanes::Plane &plane)
{
    if (plane.channels == 4)
        return {GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE};
    if (plane.sixteenBit)
        return plane.channels == 2 ? TextureFormat{GL_RG16, GL_RG, GL_UNSIGNED_SHORT}
                                   : TextureFormat{GL_R16, GL_RED, GL_UNSIGNED_SHORT};
    return plane.channels == 2 ? TextureFormat{GL_RG8, GL_RG, GL_UNSIGNED_BYTE}
                               : TextureFormat{GL_R8, GL_RED, GL_UNSIGNED_BYTE};
}

} // namespace

void PlaneTextures::create(QOpenGLFunctions &gl, VideoPlanes::Layout layout, const QSize &size, GLuint *textures)
{
    const int planes = VideoPlanes::planeCount(layout);
    gl.glGenTextures(planes, textures);
    for (int i = 0; i < planes; ++i) {
        const VideoPlanes::Plane plane = VideoPlanes::plane(layout, i, size);
        const TextureFormat format = glFormatOf(plane);
        gl.glBindTexture(GL_TEXTURE_2D, textures[i]);
        gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        gl.glTexImage2D(GL_TEXTURE_2D, 0, format.internalFormat, plane.size.width(), plane.size.height(), 0,
                        format.format, format.type, nullptr);
    }
    gl.glBindTexture(GL_TEXTURE_2D, 0);
}

void PlaneTextures::upload(QOpenGLFunctions &gl, const QOpenGLContext &context, GLuint texture,
                           const VideoPlanes::Plane &plane, const uchar *bits, int bytesPerLine)
{
    const TextureFormat format = glFormatOf(plane);
    const int width = plane.size.width();
    const int height = plane.size.height();
    gl.glBindTexture(GL_TEXTURE_2D, texture);
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    const bool rowLengthSettable = !context.isOpenGLES() || context.format().majorVersion() >= 3;
    if (bytesPerLine == width * plane.bytesPerTexel) {
        gl.glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, format.format, format.type, bits);
    } else if (rowLengthSettable && bytesPerLine % plane.bytesPerTexel == 0) {
        // Decoders pad their rows: the texture reads the plane where it lies.
        gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, bytesPerLine / plane.bytesPerTexel);
        gl.glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, format.format, format.type, bits);
        gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    } else {
        for (int y = 0; y < height; ++y)
            gl.glTexSubImage2D(GL_TEXTURE_2D, 0, 0, y, width, 1, format.format, format.type,
                               bits + qsizetype(y) * bytesPerLine);
    }
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    gl.glBindTexture(GL_TEXTURE_2D, 0);
}

bool PlaneTextures::readable(const QVideoFrame &mapped, VideoPlanes::Layout layout, const QSize &size)
{
    const int planes = VideoPlanes::planeCount(layout);
    if (size.isEmpty() || mapped.planeCount() < planes)
        return false;
    for (int i = 0; i < planes; ++i) {
        const VideoPlanes::Plane plane = VideoPlanes::plane(layout, i, size);
        if (!mapped.bits(i) || mapped.bytesPerLine(i) < plane.size.width() * plane.bytesPerTexel)
            return false;
    }
    return true;
}

void PlaneTextures::uploadAll(QOpenGLFunctions &gl, const QOpenGLContext &context, const QVideoFrame &mapped,
                              VideoPlanes::Layout layout, const QSize &size, const GLuint *textures)
{
    for (int i = 0; i < VideoPlanes::planeCount(layout); ++i)
        upload(gl, context, textures[i], VideoPlanes::plane(layout, i, size), mapped.bits(i), mapped.bytesPerLine(i));
}

std::unique_ptr<PlaneUploader> PlaneUploader::create(QOpenGLContext *display, std::function<void()> ready)
{
    if (!display || qEnvironmentVariableIsSet("TRIMLET_UPLOAD_ON_GUI_THREAD"))
        return nullptr;
    std::unique_ptr<PlaneUploader> uploader(new PlaneUploader);
    uploader->m_ready = std::move(ready);
    auto context = std::make_unique<QOpenGLContext>();
    context->setFormat(display->format());
    context->setShareContext(display);
    context->setScreen(display->screen());
    if (!context->create() || !QOpenGLContext::areSharing(context.get(), display))
        return nullptr;
    auto surface = std::make_unique<QOffscreenSurface>(display->screen());
    surface->setFormat(context->format());
    surface->create();
    if (!surface->isValid())
        return nullptr;
    uploader->m_context = context.release();
    uploader->m_surface = surface.release();
    uploader->m_thread = QThread::create([raw = uploader.get()] { raw->run(); });
    uploader->m_thread->setObjectName(QStringLiteral("Frame upload"));
    uploader->m_context->moveToThread(uploader->m_thread);
    uploader->m_thread->start();
    QMutexLocker locker(&uploader->m_mutex);
    while (uploader->m_started == 0)
        uploader->m_done.wait(&uploader->m_mutex);
    if (uploader->m_started < 0) {
        locker.unlock();
        return nullptr; // the destructor joins the thread, which has ended
    }
    return uploader;
}

PlaneUploader::~PlaneUploader()
{
    if (m_thread) {
        {
            QMutexLocker locker(&m_mutex);
            m_stop = true;
            m_wake.wakeAll();
        }
        m_thread->wait();
        delete m_thread;
    }
    delete m_context;
    delete m_surface;
}

void PlaneUploader::run()
{
    QThread *const home = m_surface->thread();
    const bool current = m_context->makeCurrent(m_surface);
    {
        QMutexLocker locker(&m_mutex);
        m_started = current ? 1 : -1;
        m_done.wakeAll();
    }
    if (current) {
        QOpenGLFunctions gl(m_context);
        QMutexLocker locker(&m_mutex);
        while (!m_stop) {
            if (m_pendingSerial == 0) {
                m_wake.wait(&m_mutex);
                continue;
            }
            const QVideoFrame frame = std::exchange(m_pending, QVideoFrame());
            const quint64 serial = std::exchange(m_pendingSerial, 0);
            const VideoPlanes::Layout layout = VideoPlanes::layoutOf(frame.pixelFormat());
            const SetRef target = setFor(gl, layout, QSize(frame.width(), frame.height()));
            target.state() = SetState::Writing;
            m_writing = true;
            locker.unlock();
            const bool uploaded = upload(gl, frame, target.picture());
            // Another context draws from these textures next.
            gl.glFinish();
            locker.relock();
            m_writing = false;
            if (uploaded) {
                if (m_readySet.kind)
                    m_readySet.state() = SetState::Free;
                target.state() = SetState::Ready;
                Picture &picture = target.picture();
                picture.format = frame.pixelFormat();
                picture.rotation = frame.rotationAngle();
                picture.mirrored = frame.mirrored();
                picture.colours = VideoPlanes::colourTransform(frame.surfaceFormat(), layout);
                m_readySet = target;
                m_readySerial = serial;
            } else {
                target.state() = SetState::Free;
                m_unreadable = frame;
                m_unreadableSerial = serial;
            }
            m_done.wakeAll();
            locker.unlock();
            m_ready();
            locker.relock();
        }
        for (const auto &kind : m_kinds) {
            for (Picture &picture : kind->sets)
                gl.glDeleteTextures(VideoPlanes::planeCount(picture.layout), picture.textures);
        }
        m_kinds.clear();
        m_context->doneCurrent();
    }
    m_context->moveToThread(home);
}

PlaneUploader::SetRef PlaneUploader::setFor(QOpenGLFunctions &gl, VideoPlanes::Layout layout, const QSize &size)
{
    const auto busy = [](const Kind &kind) {
        return kind.states[0] != SetState::Free || kind.states[1] != SetState::Free;
    };
    for (const auto &kind : m_kinds) {
        if (kind->sets[0].layout != layout || kind->sets[0].size != size)
            continue;
        // A set that is ready but not yet taken is stale once a newer frame comes.
        for (int set : {0, 1}) {
            if (kind->states[set] == SetState::Free)
                return {kind.get(), set};
        }
        for (int set : {0, 1}) {
            if (kind->states[set] == SetState::Ready) {
                m_readySet = {};
                return {kind.get(), set};
            }
        }
    }
    // A new size (another video): the textures of sizes no longer drawn go.
    for (auto it = m_kinds.begin(); it != m_kinds.end();) {
        if (busy(**it)) {
            ++it;
            continue;
        }
        for (Picture &picture : (*it)->sets)
            gl.glDeleteTextures(VideoPlanes::planeCount(picture.layout), picture.textures);
        it = m_kinds.erase(it);
    }
    auto kind = std::make_unique<Kind>();
    for (Picture &picture : kind->sets) {
        picture.layout = layout;
        picture.size = size;
        PlaneTextures::create(gl, layout, size, picture.textures);
    }
    m_kinds.push_back(std::move(kind));
    qCDebug(playerLog).noquote() << QStringLiteral("VideoGLWidget: Created pooled texture %1x%2 (pool size: %3)")
                              .arg(size.width())
                              .arg(size.height())
                              .arg(m_kinds.size());
    return {m_kinds.back().get(), 0};
}

bool PlaneUploader::upload(QOpenGLFunctions &gl, QVideoFrame frame, Picture &into)
{
    if (into.size.isEmpty() || !frame.map(QVideoFrame::ReadOnly))
        return false;
    const bool readable = PlaneTextures::readable(frame, into.layout, into.size);
    if (readable)
        PlaneTextures::uploadAll(gl, *m_context, frame, into.layout, into.size, into.textures);
    frame.unmap();
    return readable;
}

void PlaneUploader::submit(const QVideoFrame &frame)
{
    QMutexLocker locker(&m_mutex);
    m_pending = frame;
    m_pendingSerial = ++m_submitted;
    m_wake.wakeAll();
}

void PlaneUploader::discard()
{
    QMutexLocker locker(&m_mutex);
    m_pending = QVideoFrame();
    m_pendingSerial = 0;
    m_forgottenBelow = m_submitted + 1;
}

PlaneUploader::Taken PlaneUploader::take(Picture &picture, QVideoFrame &unreadable)
{
    QMutexLocker locker(&m_mutex);
    while (m_pendingSerial != 0 || m_writing)
        m_done.wait(&m_mutex);
    const quint64 oldest = qMax(m_forgottenBelow, m_shownSerial + 1);
    const bool ready = m_readySet.kind && m_readySerial >= oldest;
    const bool failed = m_unreadable.isValid() && m_unreadableSerial >= oldest;
    if (failed && (!ready || m_unreadableSerial > m_readySerial)) {
        unreadable = std::exchange(m_unreadable, QVideoFrame());
        m_shownSerial = m_unreadableSerial;
        return Taken::Unreadable;
    }
    if (!ready)
        return Taken::Nothing;
    if (m_shownSet.kind)
        m_shownSet.state() = SetState::Free;
    m_shownSet = std::exchange(m_readySet, SetRef());
    m_shownSet.state() = SetState::Shown;
    m_shownSerial = m_readySerial;
    picture = m_shownSet.picture();
    return Taken::Picture;
}

int PlaneUploader::pictureKinds() const
{
    QMutexLocker locker(&m_mutex);
    return int(m_kinds.size());
}
