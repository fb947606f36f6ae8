#pragma once

#include "clip.h"
#include "editplayer.h"
#include "frameprocessingworker.h"
#include "mediabackend.h"
#include "previewfeed.h"

#include <QImage>
#include <QMediaPlayer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVideoFrame>

#include <functional>

class QAudioOutput;
class QThread;
class QVideoSink;
class QVideoWidget;
class ShapeReader;

// The one object through which the program plays the source video. Lives on the GUI thread.
// It is the front the window and tests talk to: it hands frames on (turned, as the export turns
// them) and leaves the rest to its parts: MediaBackend (Qt's player, its retries and sound; Matroska
// and WebM through a PlaybackCopy), EditPlayer (following the edit, seeks, the StandbyPlayer
// that bridges jumps), PreviewFeed (the effects worker) and ShapeReader (rotation and aspect).
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
    bool isSeekPending() const { return edit->isSeekPending(); }
    qint64 position() const;
    // The start of the frame on screen in the source's time (µs); -1 until a seek's frame shows.
    // A paused seek to t shows the first frame starting at or after t.
    qint64 shownFrameStartUs() const { return edit->shownFrameStartUs(); }
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
    int editPart() const { return edit->part(); }
    // Between the last frame of a part and the first of the next.
    bool isJumpingInEdit() const { return edit->isJumping(); }

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

    bool isPendingPlay() const { return media->isPendingPlay(); }
    bool isFrameProcessingEnabled() const { return preview->isEnabled(); }
    bool isScrubbing() const { return preview->isScrubbing(); }
    int framesReceived() const { return media->framesReceived(); }
    int pendingRequestCount() const { return preview->pendingRequestCount(); }
    const Clip &clipForEffects() const { return preview->clip(); }
    QMediaPlayer *mediaPlayer() const { return media->existing(); }
    FrameProcessingWorker *frameWorker() const { return preview->worker(); }
    QThread *frameWorkerThread() const { return preview->workerThread(); }
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
    QMediaPlayer *backend() { return media->backend(); }
    void wireBackend(QMediaPlayer *player);
    void show(const QVideoFrame &frame);
    void applyShape(int load, int degrees, double aspect);
    void markRotation(QVideoFrame &frame) const;
    void applyMute();

    MediaBackend *media = nullptr;
    EditPlayer *edit = nullptr;
    PreviewFeed *preview = nullptr;
    ShapeReader *shapes = nullptr;

    QPointer<QVideoSink> connectedSink;
    bool userMuted = false;
    qint64 fileDuration = 0;
    QVideoFrame lastVideoFrame;
    // Answers about an earlier file must not speak for the one loaded now.
    int loadCount = 0;
    int rotation = 0;
    double pixelAspect = 1.0;
    int lastFrameLoad = 0;
};
