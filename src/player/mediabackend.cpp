#include "mediabackend.h"

#include "playbackcopy.h"
#include "playerlog.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QMediaDevices>
#include <QMediaFormat>
#include <QMediaMetaData>
#include <QTimer>

MediaBackend::MediaBackend(QObject *parent)
    : QObject(parent)
    , copy(new PlaybackCopy(this))
{
    connect(copy, &PlaybackCopy::ready, this, &MediaBackend::setSource);
}

void MediaBackend::prepare()
{
    if (player)
        return;
    player = new QMediaPlayer(this);
    audioOut = new QAudioOutput(this);
    audioOut->setVolume(pendingVolume);
    mediaDevices = new QMediaDevices(this);
    connect(mediaDevices, &QMediaDevices::audioOutputsChanged, this,
            &MediaBackend::updateAudioOutputAttachment);
    updateAudioOutputAttachment();
    if (!hasAudioOutput())
        qCDebug(playerLog) << "VideoPlayer: No audio output device - playing without sound";
    player->setPlaybackRate(1.0);

    connect(player, &QMediaPlayer::mediaStatusChanged, this, &MediaBackend::onMediaStatusChanged);
    connect(player, &QMediaPlayer::tracksChanged, this, &MediaBackend::onTracksChanged);
    connect(player, &QMediaPlayer::errorOccurred, this, &MediaBackend::onPlayerError);
    connect(player, &QMediaPlayer::playbackStateChanged, this, &MediaBackend::onPlaybackStateChanged);
    emit made(player);
    qCDebug(playerLog) << "QMediaPlayer backend:" << player->metaObject()->className();
}

QMediaPlayer *MediaBackend::backend()
{
    prepare();
    return player;
}

QAudioOutput *MediaBackend::audioOutput()
{
    prepare();
    return audioOut;
}

bool MediaBackend::checkBackend()
{
    QMediaFormat format;
    qCDebug(playerLog) << "Supported video codecs:" << format.supportedVideoCodecs(QMediaFormat::Decode);
    qCDebug(playerLog) << "Supported file formats:" << format.supportedFileFormats(QMediaFormat::Decode);
    qCDebug(playerLog) << "QMediaPlayer available:" << (player != nullptr);
    qCDebug(playerLog) << "AudioOutput available:" << hasAudioOutput();
    if (player) {
        qCDebug(playerLog) << "Backend check - Player state:" << player->playbackState();
        qCDebug(playerLog) << "Backend check - Media status:" << player->mediaStatus();
    }
    return true;
}

void MediaBackend::load(const QString &path, int load)
{
    loadCount = load;
    copy->cancel();
    if (PlaybackCopy::isNeeded(path)) {
        startPlaybackCopy(path);
        return;
    }
    setSource(path);
}

void MediaBackend::dropPlayRequest()
{
    pendingPlay = false;
    playRequested = false;
}

void MediaBackend::pause()
{
    playRequested = false;
    pendingPlay = false;
    backend()->pause();
}

void MediaBackend::setVideoOutput(QObject *videoOutput)
{
    output = videoOutput;
    if (player && videoOutput)
        player->setVideoOutput(videoOutput);
}

void MediaBackend::setSoundMuted(bool muted)
{
    if (audioOut)
        audioOut->setMuted(muted);
}

void MediaBackend::startPlaybackCopy(const QString &path)
{
    backend()->stop();
    backend()->setSource(QUrl());
    loadedUrl = QUrl();
    emit sourceSet(loadedUrl);
    copy->start(path, loadCount);
}

void MediaBackend::setSource(const QString &path)
{
    const int load = loadCount;
    const QUrl url = QUrl::fromLocalFile(mediaAlias.pathFor(path));
    qCDebug(playerLog) << "Media URL:" << url << "Valid:" << url.isValid();
    loadedUrl = url;
    emit sourceSet(url);
    loadFailureReported = false;

    backend()->stop();
    emit sourceStopped();
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
            qCDebug(playerLog) << "Media frame rate:" << frameRate;
        else
            qCDebug(playerLog) << "Media frame rate: unavailable";
    }

    QTimer::singleShot(100, Qt::PreciseTimer, this, [this, load] {
        if (load != loadCount)
            return;
        const QMediaPlayer::MediaStatus status = backend()->mediaStatus();
        qCDebug(playerLog) << "After load - State:" << backend()->playbackState() << "Status:" << status
                 << "Duration:" << backend()->duration() << "Error:" << backend()->error();
        if (status != QMediaPlayer::LoadedMedia && status != QMediaPlayer::BufferedMedia) {
            qCDebug(playerLog) << "Media not fully loaded yet, but continuing...";
            emit mediaReady();
        }
    });
}

void MediaBackend::play()
{
    const QMediaPlayer::MediaStatus status = backend()->mediaStatus();
    const bool hasSource = !backend()->source().isEmpty();
    qCDebug(playerLog) << "Play requested - current state:" << backend()->playbackState()
             << "media status:" << status << "duration:" << backend()->duration()
             << "error:" << backend()->error() << "hasSource:" << hasSource;

    if (!hasSource && copy->isRunning()) {
        // Played as soon as the playback copy is loaded.
        pendingPlay = true;
        playRequested = true;
        return;
    }
    if (!hasSource) {
        qCDebug(playerLog) << "Play ignored - no media source set on player";
        return;
    }

    // The back end may report a failed file as loaded; trust the error.
    if (loadFailureReported) {
        qCDebug(playerLog) << "Cannot play - media reported as invalid";
        return;
    }

    switch (status) {
    case QMediaPlayer::NoMedia:
        qCDebug(playerLog) << "Media source set but still initializing, scheduling play after load";
        pendingPlay = true;
        playRequested = true;
        return;
    case QMediaPlayer::InvalidMedia:
        qCDebug(playerLog) << "Cannot play - media reported as invalid";
        return;
    case QMediaPlayer::LoadingMedia:
    case QMediaPlayer::StalledMedia:
        qCDebug(playerLog) << "Media still loading, scheduling play for when ready...";
        pendingPlay = true;
        playRequested = true;
        return;
    default:
        break;
    }

    playRequested = true;
    updateAudioOutputAttachment();
    emit aboutToPlay();
    backend()->play();

    QTimer::singleShot(100, Qt::PreciseTimer, this, [this] {
        if (backend()->playbackState() == QMediaPlayer::PlayingState) {
            pendingPlay = false;
            return;
        }
        // A pause in the meantime wins over the retry.
        if (!playRequestOutstanding())
            return;
        qCDebug(playerLog) << "Retrying play - Status:" << backend()->mediaStatus()
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

qint64 MediaBackend::position() const
{
    return player ? player->position() : 0;
}

bool MediaBackend::isPlaying() const
{
    return player && player->playbackState() == QMediaPlayer::PlayingState;
}

bool MediaBackend::isPaused() const
{
    return player && player->playbackState() == QMediaPlayer::PausedState;
}

void MediaBackend::setVolume(int percent)
{
    pendingVolume = static_cast<float>(percent / 100.0);
    if (audioOut)
        audioOut->setVolume(pendingVolume);
}

bool MediaBackend::hasVideoStream() const
{
    return player && (player->hasVideo() || !player->videoTracks().isEmpty());
}

bool MediaBackend::hasAudioOutput() const
{
    return player && player->audioOutput() != nullptr;
}

void MediaBackend::onMediaStatusChanged(QMediaPlayer::MediaStatus status)
{
    qCDebug(playerLog) << "Media status changed:" << status;
    // Stopping the previous file while a new one loads reports that file's status; it
    // must not pass for the new file's.
    if (backend()->source() != loadedUrl)
        return;
    switch (status) {
    case QMediaPlayer::LoadingMedia:
        qCDebug(playerLog) << "Media is loading...";
        break;
    case QMediaPlayer::LoadedMedia:
    case QMediaPlayer::BufferedMedia:
        if (output)
            backend()->setVideoOutput(output.data());
        // Queued before what mediaReady sets off, so the back end decodes the first frame
        // while the window does its own work; not from inside the back end's own signal.
        if (pendingPlay) {
            qCDebug(playerLog) << "Executing pending play request";
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
            qCDebug(playerLog) << "Media buffered but not playing - forcing play";
            backend()->play();
        }
        startPlaybackWatchdog();
        break;
    case QMediaPlayer::BufferingMedia:
        qCDebug(playerLog) << "Media is buffering...";
        break;
    case QMediaPlayer::EndOfMedia:
        qCDebug(playerLog) << "Reached end of media";
        // Qt 6.4's FFmpeg back end keeps its demuxer stopped after the end, so a pause and a seek
        // from here report the end again at once, for ever. Stopped first, the next pause or play
        // reads anew.
        backend()->stop();
        emit endOfMedia();
        break;
    case QMediaPlayer::InvalidMedia: {
        const QString errorText = backend()->errorString();
        qCWarning(playerLog) << "INVALID MEDIA - Error:" << backend()->error() << errorText;
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

void MediaBackend::startPlaybackWatchdog()
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
        qCDebug(playerLog) << "Playback watchdog triggered - retrying play" << "buffered:" << buffered
                 << "playing:" << backend()->playbackState() << "frameCounter:" << frameCounter;
        backend()->play();
    });
}

void MediaBackend::onTracksChanged()
{
    if (!backend()->subtitleTracks().isEmpty())
        backend()->setActiveSubtitleTrack(-1);
    if (!backend()->audioTracks().isEmpty() && backend()->activeAudioTrack() < 0)
        backend()->setActiveAudioTrack(0);
}

void MediaBackend::onPlayerError(QMediaPlayer::Error error, const QString &errorString)
{
    if (error == QMediaPlayer::NoError)
        return;
    qCWarning(playerLog) << "QMediaPlayer error:" << error << errorString;
    qCWarning(playerLog) << "Error type:" << static_cast<int>(error);
    pendingPlay = false;
    playRequested = false;
    if (!backend()->source().isEmpty() && backend()->source() == loadedUrl)
        reportLoadFailure(errorString.isEmpty() ? backend()->errorString() : errorString);
    emit mediaReady();
}

void MediaBackend::onPlaybackStateChanged(QMediaPlayer::PlaybackState state)
{
    if (state == QMediaPlayer::PlayingState)
        playRequested = false;
}

void MediaBackend::reportLoadFailure(const QString &errorText)
{
    // An error and an invalid status often arrive together for one load; report it once.
    if (loadFailureReported)
        return;
    loadFailureReported = true;
    emit loadFailed(errorText);
}

void MediaBackend::updateAudioOutputAttachment()
{
    const QList<QAudioDevice> outputs = QMediaDevices::audioOutputs();
    const bool attached = backend()->audioOutput() == audioOut;

    if (outputs.isEmpty()) {
        // Attached without a device, the FFmpeg back end's audio thread crashes.
        if (attached) {
            backend()->setAudioOutput(nullptr);
            qCDebug(playerLog) << "VideoPlayer: Audio output device gone - playing without sound";
        }
        return;
    }

    if (!outputs.contains(audioOut->device())) {
        const QAudioDevice defaultOutput = QMediaDevices::defaultAudioOutput();
        audioOut->setDevice(defaultOutput.isNull() ? outputs.first() : defaultOutput);
    }
    if (!attached) {
        backend()->setAudioOutput(audioOut);
        qCDebug(playerLog) << "VideoPlayer: Audio output attached:" << audioOut->device().description();
    }
}
