#pragma once

#include "videoplanes.h"

#include <QMutex>
#include <QOpenGLFunctions>
#include <QSize>
#include <QVideoFrame>
#include <QWaitCondition>

#include <functional>
#include <memory>
#include <vector>

class QOffscreenSurface;
class QOpenGLContext;
class QThread;

namespace PlaneTextures {
// Textures for the planes of one picture, filtered linearly and clamped, without contents.
void create(QOpenGLFunctions &gl, VideoPlanes::Layout layout, const QSize &size, GLuint *textures);
// Copies one plane, read where it lies in memory (rows may be padded), into its texture.
void upload(QOpenGLFunctions &gl, const QOpenGLContext &context, GLuint texture, const VideoPlanes::Plane &plane,
            const uchar *bits, int bytesPerLine);
// Whether a mapped frame's planes hold a picture of the layout and size, in rows long enough.
bool readable(const QVideoFrame &mapped, VideoPlanes::Layout layout, const QSize &size);
// Copies every plane of a mapped frame into its texture.
void uploadAll(QOpenGLFunctions &gl, const QOpenGLContext &context, const QVideoFrame &mapped,
               VideoPlanes::Layout layout, const QSize &size, const GLuint *textures);
} // namespace PlaneTextures

// Copies frames' planes into textures on a thread of its own, with a context that shares the
// display's textures: the copy of a 1080p frame is half a millisecond the GUI thread would
// otherwise spend in every frame it shows, and four times that at 4K. Each layout and size has
// two sets of textures, one shown and one written, so a frame is never written while drawn.
class PlaneUploader {
public:
    struct Picture {
        VideoPlanes::Layout layout = VideoPlanes::Layout::Converted;
        QSize size;
        GLuint textures[3] = {0, 0, 0};
        // The frame they hold: its format, and how it is turned and coloured.
        QVideoFrameFormat::PixelFormat format = QVideoFrameFormat::Format_Invalid;
        int rotation = 0;
        bool mirrored = false;
        VideoPlanes::ColourTransform colours;
    };

    // Made on the GUI thread while `display` is current; empty when no second context can share
    // its textures. `ready` runs on the upload thread after each upload.
    static std::unique_ptr<PlaneUploader> create(QOpenGLContext *display, std::function<void()> ready);
    ~PlaneUploader();

    // Frames whose planes it can read (VideoPlanes::layoutOf not Converted); the newest
    // replaces one not yet started.
    void submit(const QVideoFrame &frame);
    // Forgets frames submitted so far that take() has not handed over.
    void discard();

    enum class Taken { Nothing, Picture, Unreadable };
    // Waits until the frames submitted are dealt with, then hands over the newest one's textures
    // unless it was handed over already; their set is not written again until the next is taken.
    // Unreadable: the newest frame's memory could not be read; it is handed back.
    Taken take(Picture &picture, QVideoFrame &unreadable);

    // Layouts and sizes with textures.
    int pictureKinds() const;

private:
    enum class SetState { Free, Writing, Ready, Shown };
    struct Kind {
        Picture sets[2];
        SetState states[2] = {SetState::Free, SetState::Free};
    };
    struct SetRef {
        Kind *kind = nullptr;
        int set = 0;
        SetState &state() const { return kind->states[set]; }
        Picture &picture() const { return kind->sets[set]; }
    };

    PlaneUploader() = default;
    void run();
    SetRef setFor(QOpenGLFunctions &gl, VideoPlanes::Layout layout, const QSize &size);
    bool upload(QOpenGLFunctions &gl, QVideoFrame frame, Picture &into);

    QOpenGLContext *m_context = nullptr;
    QOffscreenSurface *m_surface = nullptr;
    QThread *m_thread = nullptr;
    std::function<void()> m_ready;

    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    QWaitCondition m_done;
    int m_started = 0; // 1 when the thread's context is current, -1 when it could not be
    bool m_stop = false;
    bool m_writing = false;
    QVideoFrame m_pending;
    quint64 m_submitted = 0; // serial of the newest frame submitted
    quint64 m_pendingSerial = 0;
    quint64 m_forgottenBelow = 0;
    std::vector<std::unique_ptr<Kind>> m_kinds;
    SetRef m_readySet;
    quint64 m_readySerial = 0;
    QVideoFrame m_unreadable;
    quint64 m_unreadableSerial = 0;
    SetRef m_shownSet;
    quint64 m_shownSerial = 0;
};
