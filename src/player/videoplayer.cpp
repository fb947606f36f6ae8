#include "videoplayer.h"

#include "displaygeometry.h"
#include "playbackcopy.h"
#include "playerlog.h"
#include "shapereader.h"

#include <QFileInfo>
#include <QMetaType>
#include <QTransform>
#include <QVideoFrameFormat>
#include <QVideoSink>
#include <QVideoWidget>

VideoPlayer::VideoPlayer(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<Clip>("Clip");
    qRegisterMetaType<FrameProcessingWorker::Request>("FrameProcessingWorker::Request");
    qRegisterMetaType<QVideoFrame>("QVideoFrame");

    // Made before the back end so that it goes first: the back end's player, deleted with it,
    // must not reach a follower whose player is gone.
    edit = new EditPlayer(*this, this);
    media = new MediaBackend(this);
    connect(media, &MediaBackend::made, this, &VideoPlayer::wireBackend);
    connect(media, &MediaBackend::mediaReady, this, &VideoPlayer::mediaReady);
    connect(media, &MediaBackend::loadFailed, this, &VideoPlayer::loadFailed);
    connect(media, &MediaBackend::endOfMedia, this, &VideoPlayer::endOfMedia);
    connect(media, &MediaBackend::sourceSet, edit, &EditPlayer::setSource);
    connect(media, &MediaBackend::sourceStopped, edit, &EditPlayer::closeStandby);
    connect(media, &MediaBackend::aboutToPlay, edit, &EditPlayer::releaseJumpMute);
    connect(edit, &EditPlayer::showFrame, this, &VideoPlayer::show);
    connect(edit, &EditPlayer::jumpMuteChanged, this, &VideoPlayer::applyMute);
    connect(edit, &EditPlayer::partEntered, this, &VideoPlayer::partEntered);
    connect(edit, &EditPlayer::editJumped, this, &VideoPlayer::editJumped);
    connect(edit, &EditPlayer::editFinished, this, &VideoPlayer::editFinished);

    preview = new PreviewFeed({[this] { return isPlaying(); }, [this] { return backend()->position(); },
                               [this] { return lastVideoFrame; }},
                              this);
    FrameProcessingWorker *worker = preview->worker();
    connect(preview, &PreviewFeed::requested, this, &VideoPlayer::processFrameRequested);
    connect(this, &VideoPlayer::processFrameRequested, worker, &FrameProcessingWorker::enqueueFrame,
            Qt::QueuedConnection);
    connect(worker, &FrameProcessingWorker::frameProcessed, this, &VideoPlayer::frameProcessed,
            Qt::QueuedConnection);
    connect(worker, &FrameProcessingWorker::performanceChanged, this, &VideoPlayer::performanceMetricsChanged,
            Qt::QueuedConnection);
    connect(this, &VideoPlayer::frameProcessed, preview, &PreviewFeed::onFrameProcessed, Qt::QueuedConnection);

    shapes = new ShapeReader(this);
    connect(shapes, &ShapeReader::shapeRead, this, &VideoPlayer::applyShape);

    qCDebug(playerLog) << "VideoPlayer initialized with threaded frame processing";
}

VideoPlayer::~VideoPlayer()
{
    if (connectedSink)
        disconnect(connectedSink, nullptr, this, nullptr);
    // The worker and its thread end before the back end goes.
    delete preview;
    preview = nullptr;
    lastVideoFrame = QVideoFrame();
}

// The media back end loads FFmpeg and a hundred codec libraries and opens the sound
// server: made on first use, which the window puts after its first paint.
void VideoPlayer::prepareBackend()
{
    media->prepare();
}

void VideoPlayer::wireBackend(QMediaPlayer *player)
{
    connect(player, &QMediaPlayer::positionChanged, this, &VideoPlayer::timeChanged);
    connect(player, &QMediaPlayer::positionChanged, edit, &EditPlayer::followPosition);
    connect(player, &QMediaPlayer::durationChanged, this, &VideoPlayer::lengthChanged);
    if (auto *widget = qobject_cast<QVideoWidget *>(media->videoOutput()))
        setVideoOutput(widget);
}

QAudioOutput *VideoPlayer::audioOutput()
{
    return media->audioOutput();
}

void VideoPlayer::setVideoOutput(QVideoWidget *widget)
{
    media->setVideoOutput(widget);
    if (!widget) {
        qCWarning(playerLog) << "Error: videoWidget is null";
        return;
    }
    if (!media->existing())
        return;

    QVideoSink *sink = widget->videoSink();
    if (connectedSink && connectedSink != sink)
        disconnect(connectedSink, nullptr, this, nullptr);
    if (!sink) {
        connectedSink = nullptr;
        qCWarning(playerLog) << "Warning: Video sink not available";
        return;
    }
    if (connectedSink != sink) {
        // The FFmpeg back end emits from its render thread; with this object as the
        // receiver the slot runs on the GUI thread.
        connect(sink, &QVideoSink::videoFrameChanged, this, &VideoPlayer::onVideoFrameChanged);
        connectedSink = sink;
    }
    qCDebug(playerLog) << "Video sink connected for frame capture";
}

bool VideoPlayer::checkBackend()
{
    return media->checkBackend();
}

void VideoPlayer::loadMedia(const QString &path)
{
    qCDebug(playerLog) << "Opening media:" << path;
    fileDuration = 0;
    media->dropPlayRequest();
    preview->dropWaiting();
    edit->dropSeeks();

    if (!QFileInfo::exists(path)) {
        qCWarning(playerLog) << "ERROR: File does not exist:" << path;
        emit loadFailed(QStringLiteral("File does not exist"));
        emit mediaReady();
        return;
    }

    // A later load makes answers for this one stale: they must not speak for the new file.
    ++loadCount;
    rotation = 0;
    if (pixelAspect != 1.0) {
        pixelAspect = 1.0;
        emit pixelAspectChanged(pixelAspect);
    }
    shapes->read(path, loadCount);
    media->load(path, loadCount);
}

bool VideoPlayer::needsPlaybackCopy(const QString &path)
{
    return PlaybackCopy::isNeeded(path);
}

void VideoPlayer::play()
{
    media->play();
}

void VideoPlayer::pause()
{
    edit->forgetStandby();
    media->pause();
}

void VideoPlayer::setPosition(qint64 ms)
{
    edit->setPosition(ms);
}

void VideoPlayer::seekCoalesced(qint64 ms)
{
    edit->seekCoalesced(ms);
}

qint64 VideoPlayer::targetPosition() const
{
    return edit->targetPosition();
}

void VideoPlayer::followEdit(std::function<ClipList()> parts)
{
    edit->followEdit(std::move(parts));
}

qint64 VideoPlayer::shownFrameDurationUs() const
{
    if (!lastVideoFrame.isValid())
        return 0;
    return std::max<qint64>(lastVideoFrame.endTime() - lastVideoFrame.startTime(), 0);
}

qint64 VideoPlayer::position() const
{
    return media->position();
}

qint64 VideoPlayer::duration() const
{
    const qint64 reported = media->existing() ? media->existing()->duration() : 0;
    return reported > 0 ? reported : fileDuration;
}

void VideoPlayer::setFileDuration(qint64 ms)
{
    fileDuration = qMax<qint64>(0, ms);
    if ((!media->existing() || media->existing()->duration() <= 0) && fileDuration > 0)
        emit lengthChanged(fileDuration);
}

bool VideoPlayer::isPlaying() const
{
    return media->isPlaying();
}

bool VideoPlayer::isPaused() const
{
    return media->isPaused();
}

bool VideoPlayer::isMuted() const
{
    return userMuted;
}

void VideoPlayer::setMuted(bool muted)
{
    userMuted = muted;
    applyMute();
}

void VideoPlayer::applyMute()
{
    media->setSoundMuted(userMuted || edit->isJumpMuted());
}

void VideoPlayer::setVolume(int percent)
{
    media->setVolume(percent);
}

bool VideoPlayer::hasVideoStream() const
{
    return media->hasVideoStream();
}

bool VideoPlayer::hasAudioOutput() const
{
    return media->hasAudioOutput();
}

void VideoPlayer::updateClipEffects(const Clip &clip)
{
    preview->setClip(clip);
    qCDebug(playerLog) << "VideoPlayer: Clip effects updated" << "hasEffects:" << clip.hasEffects
             << "blur:" << clip.blurIntensity;
    setFrameProcessingEnabled(clip.hasEffects);
}

void VideoPlayer::setFrameProcessingEnabled(bool on)
{
    if (on == preview->isEnabled())
        return;
    preview->setEnabled(on);
    qCDebug(playerLog) << "VideoPlayer: Frame processing" << (on ? "ENABLED" : "DISABLED");
    emit processingModeChanged(on);
}

void VideoPlayer::setScrubbing(bool on)
{
    preview->setScrubbing(on);
}

QImage VideoPlayer::currentFrame() const
{
    const QImage processed = preview->processedImage();
    if (!processed.isNull())
        return processed;
    if (!lastVideoFrame.isValid())
        return {};

    QVideoFrame frame(lastVideoFrame);
    QImage image = FrameProcessingWorker::convertWhole(frame);
    if (!image.isNull())
        return image;

    if (!frame.map(QVideoFrame::ReadOnly))
        return {};
    const QImage::Format format = QVideoFrameFormat::imageFormatFromPixelFormat(frame.pixelFormat());
    if (format != QImage::Format_Invalid) {
        image = QImage(frame.bits(0), frame.width(), frame.height(), frame.bytesPerLine(0), format)
                    .copy();
    }
    frame.unmap();
    if (frame.rotationAngle() != QVideoFrame::Rotation0)
        image = image.transformed(QTransform().rotate(frame.rotationAngle()));
    return image;
}

void VideoPlayer::onVideoFrameChanged(const QVideoFrame &frame)
{
    if (!frame.isValid())
        return;
    media->countFrame();
    edit->takeFrame(frame);
}

void VideoPlayer::show(const QVideoFrame &frame)
{
    preview->stopRetrying();
    QVideoFrame shown = frame;
    markRotation(shown);
    lastVideoFrame = shown;
    lastFrameLoad = loadCount;
    emit frameReady(shown);
    preview->send(shown);
}

void VideoPlayer::markRotation(QVideoFrame &frame) const
{
    // Qt 6.4's FFmpeg back end hands frames over as stored. Marked with the file's turn, every
    // consumer (toImage(), the displays, the worker) shows them as the export writes them.
    if (rotation == 0)
        return;
    const QVideoFrame::RotationAngle angle = frameRotationFor(rotation);
    // Frames are shared with the sink: write only when it changes anything.
    if (frame.rotationAngle() != angle)
        frame.setRotationAngle(angle);
}

void VideoPlayer::applyShape(int load, int degrees, double aspect)
{
    if (load != loadCount || (degrees == rotation && aspect == pixelAspect))
        return;
    rotation = degrees;
    qCDebug(playerLog) << "VideoPlayer: Display rotation" << degrees << "pixel aspect" << aspect;
    if (aspect != pixelAspect) {
        pixelAspect = aspect;
        emit pixelAspectChanged(aspect);
    }
    // A frame shown before the header was read is shown again, turned.
    if (lastVideoFrame.isValid() && lastFrameLoad == load) {
        QVideoFrame shown = lastVideoFrame;
        markRotation(shown);
        lastVideoFrame = shown;
        emit frameReady(shown);
        preview->send(shown);
    }
}

void VideoPlayer::onMediaStatusChanged(QMediaPlayer::MediaStatus status)
{
    media->onMediaStatusChanged(status);
}

void VideoPlayer::onTracksChanged()
{
    media->onTracksChanged();
}
