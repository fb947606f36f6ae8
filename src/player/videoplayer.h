#pragma once

#include <QTemporaryDir>
#include <memory>

#include "clip.h"
#include "frameprocessingworker.h"
#include "mediaalias.h"
#include "playbackrules.h"

#include <QImage>
#include <QMediaPlayer>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QUrl>
#include <QVideoFrame>

#include <atomic>
#include <functional>
#include <memory>

class QAudioOutput;
class QMediaDevices;
class QThread;
class QTimer;
class QVideoSink;
class QVideoWidget;

// The one object through which the program plays the source video. Lives on the GUI thread.
class VideoPlayer : public QObject {
    Q_OBJECT
public:
    explicit VideoPlayer(QObject *parent = nullptr);
    ~VideoPlayer() override;

    void setVideoOutput(QVideoWidget *widget);
    bool checkBackend();
    // Makes the media back end now rather than at its first use.
    void prepareBackend();

    void loadMedia(const QString &path);
    void play();
    void pause();
    void setPosition(qint64 ms);
    // A seek made once the one before it has shown its frame; of those asked meanwhile only the
    // latest is made, so fast or held keys never leave a queue of seeks behind them.
    void seekCoalesced(qint64 ms);
    // Where the player is going: the latest seek asked for until its frame shows, else the position.
    qint64 targetPosition() const;
    // A seek was asked for and no frame at or after its target has shown yet (frames decoded
    // before it may still come and show for a moment).
    bool isSeekPending() const { return seekInFlightMs >= 0 || waitingSeekMs >= 0; }
    qint64 position() const;
    // The start of the frame on screen in the source's time (µs); -1 until a seek's frame shows.
    // A paused seek to t shows the first frame starting at or after t.
    qint64 shownFrameStartUs() const { return lastShownStartUs; }
    // How long the frame shown last lasts (µs); 0 when unknown.
    qint64 shownFrameDurationUs() const;
    // The back end's duration; the file's own (setFileDuration) when the back end has none,
    // as for Matroska and WebM files.
    qint64 duration() const;
    // The duration read from the file itself; announced through lengthChanged while the back
    // end reports none. Cleared by the next load.
    void setFileDuration(qint64 ms);
    bool isPlaying() const;
    bool isPaused() const;
    bool isMuted() const;
    void setMuted(bool muted);
    void setVolume(int percent);

    // While playing, frames are shown as the export keeps them: only those inside the parts the
    // source gives (asked at every frame, so they are always the current edit), the jumps between
    // parts made on the first frame past a part, the sound muted before the jump.
    void followEdit(std::function<ClipList()> parts);
    // The part whose frames are being shown while the edit plays; -1 when none is known.
    int editPart() const { return follower.part(); }
    // Between the last frame of a part and the first of the next.
    bool isJumpingInEdit() const { return follower.jumping(); }

    void updateClipEffects(const Clip &clip);
    void setFrameProcessingEnabled(bool on);
    void setScrubbing(bool on);
    QImage currentFrame() const;
    // The frame shown last, as frameReady gave it; null before the first.
    QVideoFrame lastFrame() const { return lastVideoFrame; }

    // The loaded file's display rotation (0, 90, 180 or 270, as the export reads it); 0 until
    // the header has been read in the background. Frames are handed on turned by it.
    int displayRotation() const { return rotation; }
    // How much wider than high a pixel of the frames handed on is shown (the file's sample aspect,
    // turned with the picture); 1 until the header has been read.
    double shownPixelAspect() const { return pixelAspect; }

    // True once the loaded media is known to carry a video stream.
    bool hasVideoStream() const;
    // True while the audio output is attached to the player (only when the system has an output device).
    bool hasAudioOutput() const;

    bool isPendingPlay() const { return pendingPlay; }
    bool isFrameProcessingEnabled() const { return processingEnabled; }
    bool isScrubbing() const { return scrubbing; }
    int framesReceived() const { return frameCounter; }
    int pendingRequestCount() const { return pendingRequests.load(); }
    const Clip &clipForEffects() const { return currentClip; }
    QMediaPlayer *mediaPlayer() const { return player; }
    FrameProcessingWorker *frameWorker() const { return worker; }
    QThread *frameWorkerThread() const { return workerThread; }
    QAudioOutput *audioOutput();

signals:
    void timeChanged(qint64 time);
    void lengthChanged(qint64 length);
    void mediaReady();
    void frameProcessed(QImage frame);
    void processFrameRequested(FrameProcessingWorker::Request request);
    void frameReady(QVideoFrame frame);
    void processingModeChanged(bool enabled);
    void performanceMetricsChanged(double fps, bool isLagging);
    // Loading the current file failed; errorText says why.
    void loadFailed(QString errorText);
    // Playback ran to the end of the file.
    void endOfMedia();
    // Playing the edit, the first frame of a part was shown.
    void partEntered(int index);
    // Playing the edit, the player sought from the end of a part to the start of the next.
    void editJumped(qint64 target);
    // Playing the edit went past its last part: paused and sent back to the first part's start.
    void editFinished();
    // shownPixelAspect() changed; frames from now on are to be shown so.
    void pixelAspectChanged(double aspect);

public slots:
    void onVideoFrameChanged(const QVideoFrame &frame);
    void onMediaStatusChanged(QMediaPlayer::MediaStatus status);
    void onTracksChanged();

    // Qt 6.4's FFmpeg back end finds no duration in a Matroska or WebM file and then ignores
    // every seek: such a file is played from a stream copy in MP4 made when it loads.
    static bool needsPlaybackCopy(const QString &path);

private:
    QMediaPlayer *backend();
    void setBackEndSource(const QString &path);
    void startPlaybackCopy(const QString &path);
    void runPlaybackCopy(bool encodeAudio);
    void onPlaybackCopyFinished(int exitCode, QProcess::ExitStatus status);
    qint64 fileDuration = 0;
    QProcess *copyProcess = nullptr;
    QString copySource;
    QString copyTarget;
    bool copyEncodesAudio = false;
    std::unique_ptr<QTemporaryDir> copyFolder;
    void onPlayerError(QMediaPlayer::Error error, const QString &errorString);
    void onPlaybackStateChanged(QMediaPlayer::PlaybackState state);
    void onFrameProcessed(const QImage &frame);
    void sendFrameToEffectsPath(const QVideoFrame &frame);
    void readShape(const QString &path, int load);
    void applyShape(int load, int degrees, double aspect);
    void markRotation(QVideoFrame &frame) const;
    void updateAudioOutputAttachment();
    void startPlaybackWatchdog();
    void reportLoadFailure(const QString &errorText);
    bool playRequestOutstanding() const { return playRequested || pendingPlay; }
    bool passesEdit(const QVideoFrame &frame);
    ClipList currentParts();
    void actOnEdit(const Playback::EditFollower::Step &step);
    void followPosition(qint64 ms);
    void seekFollowingEdit(qint64 ms);
    void armJumpMute();
    qint64 jumpMuteStart() const;
    void releaseJumpMute();
    void setJumpMuted(bool muted);
    void show(const QVideoFrame &frame);
    void onStandbyFrame(const QVideoFrame &frame);
    bool takesOverFromStandby(const QVideoFrame &frame);
    void prerollNextPart();
    void startBridgeIfDue();
    void endBridging();
    void forgetStandby();

    std::function<ClipList()> editParts;
    ClipList followedParts;
    Playback::EditFollower follower;
    qint64 lastShownEndUs = 0;
    bool userMuted = false;
    bool jumpMuted = false;
    QTimer *jumpMuteTimer = nullptr;
    int seekCount = 0;
    qint64 lastShownStartUs = -1;
    // Coalesced seeks: the one made whose frame has not shown yet, and the latest one waiting.
    QTimer *seekSettleTimer = nullptr;
    qint64 seekInFlightMs = -1;
    qint64 waitingSeekMs = -1;
    void makeWaitingSeek();

    // A second player, without sound, paused at the start of the part that follows a jump: its
    // first frame is shown the moment the jump is decided, and it plays on until the seeking
    // player's own frames catch up (seeking decodes from the key frame before the target).
    QMediaPlayer *standby = nullptr;
    QVideoSink *standbySink = nullptr;
    qint64 prerollTargetMs = -1;
    qint64 prerollEndMs = 0;
    QVideoFrame prerolledFrame;
    bool bridgeDue = false;
    bool bridging = false;
    qint64 bridgeTargetUs = 0;

    QMediaPlayer *player = nullptr;
    QPointer<QObject> videoOutput;
    // Until the back end exists.
    float pendingVolume = 0.8f;
    QAudioOutput *audioOut = nullptr;
    QImage lastProcessedImage;
    QVideoFrame lastVideoFrame;
    bool pendingPlay = false;
    QThread *workerThread = nullptr;
    FrameProcessingWorker *worker = nullptr;
    Clip currentClip;
    bool processingEnabled = false;
    bool scrubbing = false;
    int frameCounter = 0;
    std::atomic<int> pendingRequests{0};
    // The newest frame skipped while the worker was full: sent once it has room, or a
    // paused picture would stay on the frame before it.
    QVideoFrame skippedFrame;
    // Resending the frame shown last when the worker left it out (see onFrameProcessed).
    QTimer *effectsRetryTimer = nullptr;
    int effectsRetries = 0;

    // Follows the system's audio devices so the output is attached only while one exists.
    QMediaDevices *mediaDevices = nullptr;
    QPointer<QVideoSink> connectedSink;
    // The user asked to play and playback has not started; retries and the watchdog act only then.
    bool playRequested = false;
    QUrl loadedUrl;
    MediaAlias mediaAlias;
    int loadCount = 0;
    int rotation = 0;
    double pixelAspect = 1.0;
    int lastFrameLoad = 0;
    std::shared_ptr<std::atomic<bool>> rotationReadCancel;
    bool loadFailureReported = false;
};
