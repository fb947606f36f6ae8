#include "videoplayer.h"

#include "displaygeometry.h"
#include "mediaindex.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
#include <QMediaFormat>
#include <QMediaMetaData>
#include <QMetaType>
#include <QThread>
#include <QTimer>
#include <QTransform>
#include <QVideoFrameFormat>
#include <QVideoSink>
#include <QVideoWidget>

#include <limits>

VideoPlayer::VideoPlayer(QObject *parent)
    : QObject(parent)
    , workerThread(new QThread(this))
    , worker(new FrameProcessingWorker)
{
    qRegisterMetaType<Clip>("Clip");
    qRegisterMetaType<FrameProcessingWorker::Request>("FrameProcessingWorker::Request");
    qRegisterMetaType<QVideoFrame>("QVideoFrame");

    effectsRetryTimer = new QTimer(this);
    effectsRetryTimer->setSingleShot(true);
    effectsRetryTimer->setInterval(40);
    connect(effectsRetryTimer, &QTimer::timeout, this, [this] {
        if (!isPlaying() && lastVideoFrame.isValid() && pendingRequests.load() == 0)
            sendFrameToEffectsPath(lastVideoFrame);
    });

    seekSettleTimer = new QTimer(this);
    seekSettleTimer->setSingleShot(true);
    // A seek whose frame never comes (no picture, past the end) must not hold back the next.
    seekSettleTimer->setInterval(300);
    connect(seekSettleTimer, &QTimer::timeout, this, [this] {
        seekInFlightMs = -1;
        makeWaitingSeek();
    });
    jumpMuteTimer = new QTimer(this);
    jumpMuteTimer->setSingleShot(true);
    jumpMuteTimer->setTimerType(Qt::PreciseTimer);
    connect(jumpMuteTimer, &QTimer::timeout, this, &VideoPlayer::armJumpMute);

    worker->setDownscaleEnabled(true);
    worker->setTargetFps(30);
    worker->setQuality(0);
    worker->moveToThread(workerThread);
    connect(workerThread, &QThread::finished, worker, &QObject::deleteLater);
    connect(this, &VideoPlayer::processFrameRequested, worker, &FrameProcessingWorker::enqueueFrame,
            Qt::QueuedConnection);
    connect(worker, &FrameProcessingWorker::frameProcessed, this, &VideoPlayer::frameProcessed,
            Qt::QueuedConnection);
    connect(worker, &FrameProcessingWorker::performanceChanged, this, &VideoPlayer::performanceMetricsChanged,
            Qt::QueuedConnection);
    workerThread->start(QThread::HighPriority);

    connect(this, &VideoPlayer::frameProcessed, this, &VideoPlayer::onFrameProcessed,
            Qt::QueuedConnection);

    qDebug() << "VideoPlayer initialized with threaded frame processing";
}

// The media back end loads FFmpeg and a hundred codec libraries and opens the sound
// server: made on first use, which the window puts after its first paint.
void VideoPlayer::prepareBackend()
{
    if (player)
        return;
    player = new QMediaPlayer(this);
    audioOut = new QAudioOutput(this);
    audioOut->setVolume(pendingVolume);
    mediaDevices = new QMediaDevices(this);
    connect(mediaDevices, &QMediaDevices::audioOutputsChanged, this,
            &VideoPlayer::updateAudioOutputAttachment);
    updateAudioOutputAttachment();
    if (!hasAudioOutput())
        qDebug() << "VideoPlayer: No audio output device - playing without sound";
    player->setPlaybackRate(1.0);

    connect(player, &QMediaPlayer::positionChanged, this, &VideoPlayer::timeChanged);
    connect(player, &QMediaPlayer::positionChanged, this, &VideoPlayer::followPosition);
    connect(player, &QMediaPlayer::durationChanged, this, &VideoPlayer::lengthChanged);
    connect(player, &QMediaPlayer::mediaStatusChanged, this, &VideoPlayer::onMediaStatusChanged);
    connect(player, &QMediaPlayer::tracksChanged, this, &VideoPlayer::onTracksChanged);
    connect(player, &QMediaPlayer::errorOccurred, this, &VideoPlayer::onPlayerError);
    connect(player, &QMediaPlayer::playbackStateChanged, this, &VideoPlayer::onPlaybackStateChanged);
    if (auto *widget = qobject_cast<QVideoWidget *>(videoOutput.data()))
        setVideoOutput(widget);
    qDebug() << "QMediaPlayer backend:" << player->metaObject()->className();
}

QMediaPlayer *VideoPlayer::backend()
{
    prepareBackend();
    return player;
}

QAudioOutput *VideoPlayer::audioOutput()
{
    prepareBackend();
    return audioOut;
}

VideoPlayer::~VideoPlayer()
{
    if (copyProcess) {
        copyProcess->disconnect(this);
        copyProcess->kill();
        copyProcess->waitForFinished();
    }
    if (connectedSink)
        disconnect(connectedSink, nullptr, this, nullptr);
    if (standbySink)
        disconnect(standbySink, nullptr, this, nullptr);
    // Stop the worker first, then end its thread; the worker is deleted as the
    // thread finishes (finished -> deleteLater).
    if (worker)
        QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
    if (workerThread) {
        workerThread->quit();
        workerThread->wait();
        workerThread = nullptr;
    }
    worker = nullptr;
    if (rotationReadCancel)
        rotationReadCancel->store(true);
    currentClip = Clip();
    lastVideoFrame = QVideoFrame();
    lastProcessedImage = QImage();
}

void VideoPlayer::setVideoOutput(QVideoWidget *widget)
{
    videoOutput = widget;
    if (!widget) {
        qWarning() << "Error: videoWidget is null";
        return;
    }
    if (!player)
        return;
    player->setVideoOutput(widget);

    QVideoSink *sink = widget->videoSink();
    if (connectedSink && connectedSink != sink)
        disconnect(connectedSink, nullptr, this, nullptr);
    if (!sink) {
        connectedSink = nullptr;
        qWarning() << "Warning: Video sink not available";
        return;
    }
    if (connectedSink != sink) {
        // The FFmpeg back end emits from its render thread; with this object as the
        // receiver the slot runs on the GUI thread.
        connect(sink, &QVideoSink::videoFrameChanged, this, &VideoPlayer::onVideoFrameChanged);
        connectedSink = sink;
    }
    qDebug() << "Video sink connected for frame capture";
}

bool VideoPlayer::checkBackend()
{
    QMediaFormat format;
    qDebug() << "Supported video codecs:" << format.supportedVideoCodecs(QMediaFormat::Decode);
    qDebug() << "Supported file formats:" << format.supportedFileFormats(QMediaFormat::Decode);
    qDebug() << "QMediaPlayer available:" << (player != nullptr);
    qDebug() << "AudioOutput available:" << hasAudioOutput();
    if (player) {
        qDebug() << "Backend check - Player state:" << player->playbackState();
        qDebug() << "Backend check - Media status:" << player->mediaStatus();
    }
    return true;
}

void VideoPlayer::loadMedia(const QString &path)
{
    qDebug() << "Opening media:" << path;
    fileDuration = 0;
    pendingPlay = false;
    playRequested = false;
    skippedFrame = QVideoFrame();
    effectsRetryTimer->stop();
    seekSettleTimer->stop();
    seekInFlightMs = -1;
    waitingSeekMs = -1;

    if (!QFileInfo::exists(path)) {
        qWarning() << "ERROR: File does not exist:" << path;
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
    readShape(path, loadCount);

    if (copyProcess) {
        copyProcess->disconnect(this);
        copyProcess->kill();
        copyProcess->waitForFinished();
        copyProcess->deleteLater();
        copyProcess = nullptr;
    }
    if (needsPlaybackCopy(path)) {
        startPlaybackCopy(path);
        return;
    }
    setBackEndSource(path);
}

bool VideoPlayer::needsPlaybackCopy(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // The EBML magic that starts every Matroska and WebM file.
    return file.read(4) == QByteArray::fromHex("1a45dfa3");
}

void VideoPlayer::startPlaybackCopy(const QString &path)
{
    backend()->stop();
    backend()->setSource(QUrl());
    loadedUrl = QUrl();
    if (!copyFolder || !copyFolder->isValid())
        copyFolder = std::make_unique<QTemporaryDir>();
    for (const QString &old : QDir(copyFolder->path()).entryList(QDir::Files))
        QFile::remove(copyFolder->filePath(old));
    copySource = path;
    copyTarget = copyFolder->filePath(QStringLiteral("playback-%1.mp4").arg(loadCount));
    runPlaybackCopy(false);
}

void VideoPlayer::runPlaybackCopy(bool encodeAudio)
{
    copyEncodesAudio = encodeAudio;
    copyProcess = new QProcess(this);
    connect(copyProcess, &QProcess::finished, this, &VideoPlayer::onPlaybackCopyFinished);
    // Opus and most other sound go into MP4 as they are; Vorbis does not and is encoded.
    copyProcess->start(QStringLiteral("ffmpeg"),
                       {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"),
                        QStringLiteral("-i"), copySource, QStringLiteral("-map"), QStringLiteral("0:v:0"),
                        QStringLiteral("-map"), QStringLiteral("0:a:0?"), QStringLiteral("-c:v"), QStringLiteral("copy"),
                        QStringLiteral("-c:a"), encodeAudio ? QStringLiteral("aac") : QStringLiteral("copy"),
                        QStringLiteral("-f"), QStringLiteral("mp4"), copyTarget});
}

void VideoPlayer::onPlaybackCopyFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!copyProcess)
        return;
    copyProcess->deleteLater();
    copyProcess = nullptr;
    if (status == QProcess::NormalExit && exitCode == 0 && QFileInfo(copyTarget).size() > 0) {
        qDebug() << "Playing through a stream copy:" << copyTarget;
        setBackEndSource(copyTarget);
        return;
    }
    if (!copyEncodesAudio) {
        runPlaybackCopy(true);
        return;
    }
    qWarning() << "Could not make a playback copy of" << copySource << "- playing the file itself";
    setBackEndSource(copySource);
}

void VideoPlayer::setBackEndSource(const QString &path)
{
    const int load = loadCount;
    const QUrl url = QUrl::fromLocalFile(mediaAlias.pathFor(path));
    qDebug() << "Media URL:" << url << "Valid:" << url.isValid();
    loadedUrl = url;
    loadFailureReported = false;

    backend()->stop();
    forgetStandby();
    if (standby)
        standby->setSource(QUrl());
    // Qt 6.4's PulseAudio layer does not always report a device that appears later.
    updateAudioOutputAttachment();
    // The player ignores the same source set again: no new status or duration would follow.
    if (backend()->source() == url)
        backend()->setSource(QUrl());
    backend()->setSource(url);

    const QList<QMediaMetaData> videoTracks = backend()->videoTracks();
    if (!videoTracks.isEmpty()) {
        bool ok = false;
        const double frameRate = videoTracks.first().value(QMediaMetaData::VideoFrameRate).toDouble(&ok);
        if (ok && frameRate > 0)
            qDebug() << "Media frame rate:" << frameRate;
        else
            qDebug() << "Media frame rate: unavailable";
    }

    QTimer::singleShot(100, Qt::PreciseTimer, this, [this, load] {
        if (load != loadCount)
            return;
        const QMediaPlayer::MediaStatus status = backend()->mediaStatus();
        qDebug() << "After load - State:" << backend()->playbackState() << "Status:" << status
                 << "Duration:" << backend()->duration() << "Error:" << backend()->error();
        if (status != QMediaPlayer::LoadedMedia && status != QMediaPlayer::BufferedMedia) {
            qDebug() << "Media not fully loaded yet, but continuing...";
            emit mediaReady();
        }
    });
}

void VideoPlayer::play()
{
    const QMediaPlayer::MediaStatus status = backend()->mediaStatus();
    const bool hasSource = !backend()->source().isEmpty();
    qDebug() << "Play requested - current state:" << backend()->playbackState()
             << "media status:" << status << "duration:" << backend()->duration()
             << "error:" << backend()->error() << "hasSource:" << hasSource;

    if (!hasSource && copyProcess) {
        // Played as soon as the playback copy is loaded.
        pendingPlay = true;
        playRequested = true;
        return;
    }
    if (!hasSource) {
        qDebug() << "Play ignored - no media source set on player";
        return;
    }

    // The back end may report a failed file as loaded; trust the error.
    if (loadFailureReported) {
        qDebug() << "Cannot play - media reported as invalid";
        return;
    }

    switch (status) {
    case QMediaPlayer::NoMedia:
        qDebug() << "Media source set but still initializing, scheduling play after load";
        pendingPlay = true;
        playRequested = true;
        return;
    case QMediaPlayer::InvalidMedia:
        qDebug() << "Cannot play - media reported as invalid";
        return;
    case QMediaPlayer::LoadingMedia:
    case QMediaPlayer::StalledMedia:
        qDebug() << "Media still loading, scheduling play for when ready...";
        pendingPlay = true;
        playRequested = true;
        return;
    default:
        break;
    }

    playRequested = true;
    updateAudioOutputAttachment();
    releaseJumpMute();
    backend()->play();

    QTimer::singleShot(100, Qt::PreciseTimer, this, [this] {
        if (backend()->playbackState() == QMediaPlayer::PlayingState) {
            pendingPlay = false;
            return;
        }
        // A pause in the meantime wins over the retry.
        if (!playRequestOutstanding())
            return;
        qDebug() << "Retrying play - Status:" << backend()->mediaStatus()
                 << "Duration:" << backend()->duration();
        if (backend()->duration() > 0) {
            backend()->play();
            return;
        }
        pendingPlay = true;
        QTimer::singleShot(100, Qt::PreciseTimer, this, [this] {
            if (pendingPlay && backend()->playbackState() != QMediaPlayer::PlayingState) {
                backend()->play();
                pendingPlay = false;
            }
        });
    });
}

void VideoPlayer::pause()
{
    playRequested = false;
    pendingPlay = false;
    forgetStandby();
    backend()->pause();
}

void VideoPlayer::setPosition(qint64 ms)
{
    follower.reset();
    forgetStandby();
    lastShownStartUs = -1;
    waitingSeekMs = -1;
    seekInFlightMs = ms;
    seekSettleTimer->start();
    seekFollowingEdit(ms);
}

void VideoPlayer::seekCoalesced(qint64 ms)
{
    if (seekInFlightMs >= 0) {
        waitingSeekMs = ms;
        return;
    }
    setPosition(ms);
}

void VideoPlayer::makeWaitingSeek()
{
    if (waitingSeekMs < 0)
        return;
    setPosition(waitingSeekMs);
}

qint64 VideoPlayer::targetPosition() const
{
    if (waitingSeekMs >= 0)
        return waitingSeekMs;
    if (seekInFlightMs >= 0)
        return seekInFlightMs;
    return position();
}

qint64 VideoPlayer::shownFrameDurationUs() const
{
    if (!lastVideoFrame.isValid())
        return 0;
    return std::max<qint64>(lastVideoFrame.endTime() - lastVideoFrame.startTime(), 0);
}

void VideoPlayer::seekFollowingEdit(qint64 ms)
{
    jumpMuteTimer->stop();
    const int seek = ++seekCount;
    backend()->setPosition(ms);
    if (!jumpMuted)
        return;
    // Sound the back end wrote before the seek was muted as written; what it writes now comes
    // from the target. A moment later no write from the old place can still be under way.
    QTimer::singleShot(30, Qt::PreciseTimer, this, [this, seek] {
        if (seek == seekCount)
            releaseJumpMute();
    });
}

void VideoPlayer::followEdit(std::function<ClipList()> parts)
{
    editParts = std::move(parts);
    followedParts.clear();
    follower.reset();
}

bool VideoPlayer::passesEdit(const QVideoFrame &frame)
{
    if (!editParts || frame.startTime() < 0 || (!isPlaying() && !follower.jumping()))
        return true;
    const ClipList parts = currentParts();
    if (parts.isEmpty())
        return true;
    const Playback::EditFollower::Step step = follower.frame(parts, frame.startTime());
    if (!isPlaying() && (step.kind == Playback::EditFollower::Step::Jump
                         || step.kind == Playback::EditFollower::Step::Finish)) {
        // Paused, the frame is where the user stopped.
        follower.reset();
        return true;
    }
    actOnEdit(step);
    if (step.kind != Playback::EditFollower::Step::Show)
        return false;
    lastShownEndUs = frame.endTime();
    return true;
}

ClipList VideoPlayer::currentParts()
{
    ClipList parts = editParts ? editParts() : ClipList();
    // Another edit: the part numbers known so far may mean other parts.
    if (parts != followedParts) {
        followedParts = parts;
        if (!follower.jumping())
            follower.reset();
    }
    return parts;
}

void VideoPlayer::actOnEdit(const Playback::EditFollower::Step &step)
{
    using Step = Playback::EditFollower::Step;
    switch (step.kind) {
    case Step::Show:
        if (step.entered)
            emit partEntered(follower.part());
        // Also after a pause, which lets the standby go.
        prerollNextPart();
        armJumpMute();
        break;
    case Step::Skip:
        break;
    case Step::Jump:
        endBridging();
        setJumpMuted(true);
        seekFollowingEdit(step.target);
        emit editJumped(step.target);
        // The standby player has the next part's first frame decoded: it goes on screen now and
        // the standby plays on until the back end's own frames from its seek catch up.
        bridgeDue = prerollTargetMs == step.target && prerolledFrame.isValid();
        qDebug() << "VideoPlayer: Jump to" << step.target << (bridgeDue ? "from the standby's frame" : "by seeking");
        break;
    case Step::Finish:
        forgetStandby();
        setJumpMuted(true);
        pause();
        seekFollowingEdit(step.target);
        emit editFinished();
        break;
    }
}

void VideoPlayer::followPosition(qint64 ms)
{
    if (!editParts || !isPlaying() || follower.jumping())
        return;
    const ClipList parts = currentParts();
    if (parts.isEmpty())
        return;
    if (hasVideoStream()) {
        // Frames decide. This only catches a picture that stopped after the part's last frame
        // (a video stream shorter than its sound), so it never cuts a part short.
        const int part = follower.part();
        if (part < 0)
            return;
        const qint64 end = parts[part].originalEnd;
        if (end > std::numeric_limits<qint64>::max() / 1000 - 1 || lastShownEndUs < end * 1000 || ms < end + 500)
            return;
    }
    actOnEdit(follower.frame(parts, ms * 1000));
}

void VideoPlayer::armJumpMute()
{
    if (!isPlaying())
        return;
    const qint64 from = jumpMuteStart();
    if (from < 0) {
        jumpMuteTimer->stop();
        return;
    }
    const qint64 wait = from - backend()->position();
    if (wait <= 0) {
        jumpMuteTimer->stop();
        setJumpMuted(true);
        return;
    }
    jumpMuteTimer->start(int(std::min<qint64>(wait, 1 << 30)));
}

qint64 VideoPlayer::jumpMuteStart() const
{
    const int part = follower.playingPart();
    if (part < 0 || part >= followedParts.size())
        return -1;
    // A part that ends with the file is followed by no sound.
    if (followedParts[part].originalEnd >= duration())
        return -1;
    return follower.muteFrom(followedParts, Playback::MuteLeadMs);
}

void VideoPlayer::releaseJumpMute()
{
    if (!jumpMuted)
        return;
    const qint64 from = jumpMuteStart();
    if (from >= 0 && backend()->position() >= from)
        return;
    setJumpMuted(false);
    armJumpMute();
}

void VideoPlayer::setJumpMuted(bool muted)
{
    jumpMuted = muted;
    if (audioOut)
        audioOut->setMuted(userMuted || jumpMuted);
}

qint64 VideoPlayer::position() const
{
    return player ? player->position() : 0;
}

qint64 VideoPlayer::duration() const
{
    const qint64 reported = player ? player->duration() : 0;
    return reported > 0 ? reported : fileDuration;
}

void VideoPlayer::setFileDuration(qint64 ms)
{
    fileDuration = qMax<qint64>(0, ms);
    if ((!player || player->duration() <= 0) && fileDuration > 0)
        emit lengthChanged(fileDuration);
}

bool VideoPlayer::isPlaying() const
{
    return player && player->playbackState() == QMediaPlayer::PlayingState;
}

bool VideoPlayer::isPaused() const
{
    return player && player->playbackState() == QMediaPlayer::PausedState;
}

bool VideoPlayer::isMuted() const
{
    return userMuted;
}

void VideoPlayer::setMuted(bool muted)
{
    userMuted = muted;
    if (audioOut)
        audioOut->setMuted(userMuted || jumpMuted);
}

void VideoPlayer::setVolume(int percent)
{
    pendingVolume = static_cast<float>(percent / 100.0);
    if (audioOut)
        audioOut->setVolume(pendingVolume);
}

bool VideoPlayer::hasVideoStream() const
{
    return player && (player->hasVideo() || !player->videoTracks().isEmpty());
}

bool VideoPlayer::hasAudioOutput() const
{
    return player && player->audioOutput() != nullptr;
}

void VideoPlayer::updateClipEffects(const Clip &clip)
{
    currentClip = clip;
    qDebug() << "VideoPlayer: Clip effects updated" << "hasEffects:" << clip.hasEffects
             << "blur:" << clip.blurIntensity;
    setFrameProcessingEnabled(clip.hasEffects);
}

void VideoPlayer::setFrameProcessingEnabled(bool on)
{
    if (on == processingEnabled)
        return;
    processingEnabled = on;
    qDebug() << "VideoPlayer: Frame processing" << (on ? "ENABLED" : "DISABLED");
    emit processingModeChanged(on);
}

void VideoPlayer::setScrubbing(bool on)
{
    scrubbing = on;
    if (!worker)
        return;
    // Settings change on the worker's own thread, never by a direct call.
    FrameProcessingWorker *target = worker;
    QMetaObject::invokeMethod(
        worker,
        [target, on] {
            target->setTargetFps(on ? 12 : 30);
            target->setDownscaleEnabled(true);
            target->setQuality(on ? 1 : 0);
        },
        Qt::QueuedConnection);
}

QImage VideoPlayer::currentFrame() const
{
    if (!lastProcessedImage.isNull())
        return lastProcessedImage;
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
    ++frameCounter;
    if (bridging && !takesOverFromStandby(frame))
        return;
    if (passesEdit(frame))
        show(frame);
    startBridgeIfDue();
}

void VideoPlayer::show(const QVideoFrame &frame)
{
    effectsRetries = 0;
    effectsRetryTimer->stop();
    lastShownStartUs = frame.startTime();
    QVideoFrame shown = frame;
    markRotation(shown);
    lastVideoFrame = shown;
    lastFrameLoad = loadCount;
    if (seekInFlightMs >= 0 && frame.startTime() >= seekInFlightMs * 1000) {
        seekInFlightMs = -1;
        seekSettleTimer->stop();
        if (waitingSeekMs >= 0)
            QTimer::singleShot(0, this, &VideoPlayer::makeWaitingSeek);
    }
    emit frameReady(shown);
    sendFrameToEffectsPath(shown);
}

void VideoPlayer::onStandbyFrame(const QVideoFrame &frame)
{
    if (!frame.isValid())
        return;
    if (!bridging) {
        const qint64 us = frame.startTime();
        if (prerollTargetMs >= 0 && !prerolledFrame.isValid() && us >= prerollTargetMs * 1000
            && us < prerollEndMs * 1000)
            prerolledFrame = frame;
        return;
    }
    if (frame.startTime() <= lastShownStartUs)
        return;
    if (passesEdit(frame))
        show(frame);
    startBridgeIfDue();
}

bool VideoPlayer::takesOverFromStandby(const QVideoFrame &frame)
{
    const qint64 us = frame.startTime();
    // Decoded before the seek, or still behind what the standby has shown.
    if (us < bridgeTargetUs || us + std::max<qint64>(frame.endTime() - us, 0) < lastShownStartUs)
        return false;
    endBridging();
    return us > lastShownStartUs;
}

void VideoPlayer::prerollNextPart()
{
    const int part = follower.part();
    if (bridging || part < 0 || part + 1 >= followedParts.size() || follower.muteFrom(followedParts, 0) < 0
        || !hasVideoStream())
        return;
    const Clip &next = followedParts[part + 1];
    if (next.originalStart == prerollTargetMs || next.originalStart < 0 || next.originalStart >= duration()
        || next.originalEnd > std::numeric_limits<qint64>::max() / 1000 || loadedUrl.isEmpty())
        return;
    if (!standby) {
        standby = new QMediaPlayer(this);
        standbySink = new QVideoSink(this);
        standby->setVideoOutput(standbySink);
        connect(standbySink, &QVideoSink::videoFrameChanged, this, &VideoPlayer::onStandbyFrame);
    }
    if (standby->source() != loadedUrl)
        standby->setSource(loadedUrl);
    prerollTargetMs = next.originalStart;
    prerollEndMs = next.originalEnd;
    prerolledFrame = QVideoFrame();
    if (standby->playbackState() != QMediaPlayer::PausedState)
        standby->pause();
    standby->setPosition(prerollTargetMs);
}

void VideoPlayer::startBridgeIfDue()
{
    if (!bridgeDue)
        return;
    bridgeDue = false;
    const QVideoFrame first = prerolledFrame;
    bridgeTargetUs = prerollTargetMs * 1000;
    prerolledFrame = QVideoFrame();
    prerollTargetMs = -1;
    bridging = true;
    if (!passesEdit(first)) {
        endBridging();
        return;
    }
    show(first);
    standby->play();
}

void VideoPlayer::endBridging()
{
    if (!bridging)
        return;
    bridging = false;
    standby->pause();
    prerollNextPart();
}

void VideoPlayer::forgetStandby()
{
    bridging = false;
    bridgeDue = false;
    prerollTargetMs = -1;
    prerolledFrame = QVideoFrame();
    if (standby)
        standby->pause();
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

void VideoPlayer::readShape(const QString &path, int load)
{
    if (rotationReadCancel)
        rotationReadCancel->store(true);
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    rotationReadCancel = cancel;
    auto result = std::make_shared<Media::DisplayShape>();
    QThread *reader = QThread::create([path, cancel, result] { *result = Media::readDisplayShape(path, cancel.get()); });
    // Queued to this object, so a player already gone hears nothing. The thread has finished
    // writing the result before finished is sent.
    connect(reader, &QThread::finished, this, [this, load, result] {
        const double sampleAspect = result->sampleAspect.valid() ? result->sampleAspect.value() : 1.0;
        const bool quarterTurn = result->rotation == 90 || result->rotation == 270;
        applyShape(load, result->rotation, quarterTurn ? 1.0 / sampleAspect : sampleAspect);
    });
    connect(reader, &QThread::finished, reader, &QObject::deleteLater);
    reader->start(QThread::LowPriority);
}

void VideoPlayer::applyShape(int load, int degrees, double aspect)
{
    if (load != loadCount || (degrees == rotation && aspect == pixelAspect))
        return;
    rotation = degrees;
    qDebug() << "VideoPlayer: Display rotation" << degrees << "pixel aspect" << aspect;
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
        sendFrameToEffectsPath(shown);
    }
}

void VideoPlayer::sendFrameToEffectsPath(const QVideoFrame &frame)
{
    // At most two requests in flight; frames over the limit are skipped, not queued,
    // but the newest of them is kept for when there is room.
    if (!processingEnabled || !worker)
        return;
    if (pendingRequests.load() > 1) {
        skippedFrame = frame;
        return;
    }
    skippedFrame = QVideoFrame();
    FrameProcessingWorker::Request request;
    request.frame = frame;
    request.clip = currentClip;
    request.positionSeconds = backend()->position() / 1000.0;
    request.scrubbing = scrubbing;
    request.applyEffects = true;
    request.previewQuality = scrubbing ? 1 : 0;
    ++pendingRequests;
    emit processFrameRequested(request);
}

void VideoPlayer::onFrameProcessed(const QImage &frame)
{
    if (!frame.isNull())
        lastProcessedImage = frame;
    int inFlight = pendingRequests.load();
    while (inFlight > 0 && !pendingRequests.compare_exchange_weak(inFlight, inFlight - 1)) {
    }
    if (skippedFrame.isValid()) {
        const QVideoFrame newest = skippedFrame;
        sendFrameToEffectsPath(newest);
    } else if (frame.isNull() && !isPlaying() && effectsRetries < 3) {
        // The worker leaves out a frame that comes too soon after the one before (its rate
        // cap, or while scrubbing); with none after it, as after a paused seek, the picture
        // would stay on an older frame. The frame shown last is sent again once the cap allows.
        ++effectsRetries;
        effectsRetryTimer->start();
    }
}

void VideoPlayer::onMediaStatusChanged(QMediaPlayer::MediaStatus status)
{
    qDebug() << "Media status changed:" << status;
    // Stopping the previous file while a new one loads reports that file's status; it
    // must not pass for the new file's.
    if (backend()->source() != loadedUrl)
        return;
    switch (status) {
    case QMediaPlayer::LoadingMedia:
        qDebug() << "Media is loading...";
        break;
    case QMediaPlayer::LoadedMedia:
    case QMediaPlayer::BufferedMedia:
        if (videoOutput)
            backend()->setVideoOutput(videoOutput.data());
        // Queued before what mediaReady sets off, so the back end decodes the first frame
        // while the window does its own work; not from inside the back end's own signal.
        if (pendingPlay) {
            qDebug() << "Executing pending play request";
            pendingPlay = false;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (playRequested)
                        backend()->play();
                },
                Qt::QueuedConnection);
        }
        emit mediaReady();
        if (status == QMediaPlayer::BufferedMedia && !isPlaying() && playRequestOutstanding()) {
            qDebug() << "Media buffered but not playing - forcing play";
            backend()->play();
        }
        startPlaybackWatchdog();
        break;
    case QMediaPlayer::BufferingMedia:
        qDebug() << "Media is buffering...";
        break;
    case QMediaPlayer::EndOfMedia:
        qDebug() << "Reached end of media";
        // Qt 6.4's FFmpeg back end keeps its demuxer stopped after the end, so a pause and a seek
        // from here report the end again at once, for ever. Stopped first, the next pause or play
        // reads anew.
        backend()->stop();
        emit endOfMedia();
        break;
    case QMediaPlayer::InvalidMedia: {
        const QString errorText = backend()->errorString();
        qWarning() << "INVALID MEDIA - Error:" << backend()->error() << errorText;
        pendingPlay = false;
        playRequested = false;
        reportLoadFailure(errorText.isEmpty() ? QStringLiteral("Invalid media") : errorText);
        emit mediaReady();
        break;
    }
    case QMediaPlayer::NoMedia:
    case QMediaPlayer::StalledMedia:
        break;
    }
}

void VideoPlayer::startPlaybackWatchdog()
{
    const int framesAtStart = frameCounter;
    QTimer::singleShot(3000, Qt::CoarseTimer, this, [this, framesAtStart] {
        if (!player)
            return;
        const bool buffered = backend()->mediaStatus() == QMediaPlayer::BufferedMedia;
        const bool stalled = frameCounter == framesAtStart || (buffered && !isPlaying());
        // Only finish what the user asked for; never undo a pause.
        if (!stalled || !playRequestOutstanding())
            return;
        qDebug() << "Playback watchdog triggered - retrying play" << "buffered:" << buffered
                 << "playing:" << backend()->playbackState() << "frameCounter:" << frameCounter;
        backend()->play();
    });
}

void VideoPlayer::onTracksChanged()
{
    if (!backend()->subtitleTracks().isEmpty())
        backend()->setActiveSubtitleTrack(-1);
    if (!backend()->audioTracks().isEmpty() && backend()->activeAudioTrack() < 0)
        backend()->setActiveAudioTrack(0);
}

void VideoPlayer::onPlayerError(QMediaPlayer::Error error, const QString &errorString)
{
    if (error == QMediaPlayer::NoError)
        return;
    qWarning() << "QMediaPlayer error:" << error << errorString;
    qWarning() << "Error type:" << static_cast<int>(error);
    pendingPlay = false;
    playRequested = false;
    if (!backend()->source().isEmpty() && backend()->source() == loadedUrl)
        reportLoadFailure(errorString.isEmpty() ? backend()->errorString() : errorString);
    emit mediaReady();
}

void VideoPlayer::onPlaybackStateChanged(QMediaPlayer::PlaybackState state)
{
    if (state == QMediaPlayer::PlayingState)
        playRequested = false;
}

void VideoPlayer::reportLoadFailure(const QString &errorText)
{
    // An error and an invalid status often arrive together for one load; report it once.
    if (loadFailureReported)
        return;
    loadFailureReported = true;
    emit loadFailed(errorText);
}

void VideoPlayer::updateAudioOutputAttachment()
{
    const QList<QAudioDevice> outputs = QMediaDevices::audioOutputs();
    const bool attached = backend()->audioOutput() == audioOut;

    if (outputs.isEmpty()) {
        // Attached without a device, the FFmpeg back end's audio thread crashes.
        if (attached) {
            backend()->setAudioOutput(nullptr);
            qDebug() << "VideoPlayer: Audio output device gone - playing without sound";
        }
        return;
    }

    if (!outputs.contains(audioOut->device())) {
        const QAudioDevice defaultOutput = QMediaDevices::defaultAudioOutput();
        audioOut->setDevice(defaultOutput.isNull() ? outputs.first() : defaultOutput);
    }
    if (!attached) {
        backend()->setAudioOutput(audioOut);
        qDebug() << "VideoPlayer: Audio output attached:" << audioOut->device().description();
    }
}
