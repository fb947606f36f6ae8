#pragma once

#include "mediaalias.h"

#include <QMediaPlayer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class PlaybackCopy;
class QAudioOutput;
class QMediaDevices;

// Qt's media player set up the way Qt 6.4's FFmpeg back end needs: made on first use (it loads
// FFmpeg and opens the sound server), a play asked while loading is queued, a play that does
// not start is retried and a watchdog finishes one that stalls (never undoing a pause), the
// audio output is attached only while a device exists, a failed load is reported once, and a
// Matroska or WebM file is played from its PlaybackCopy.
class MediaBackend : public QObject {
    Q_OBJECT
public:
    explicit MediaBackend(QObject *parent = nullptr);

    void prepare();
    // The player, made on first use.
    QMediaPlayer *backend();
    // The player if made; null before.
    QMediaPlayer *existing() const { return player; }
    QAudioOutput *audioOutput();
    bool checkBackend();

    // Plays path (through a copy when it needs one); load numbers the load, whose late answers
    // a later load makes stale.
    void load(const QString &path, int load);
    void play();
    void pause();
    // Another file: a play asked for the one before is not carried over.
    void dropPlayRequest();
    bool isPendingPlay() const { return pendingPlay; }

    // The video output set again once a file is loaded.
    void setVideoOutput(QObject *output);
    QObject *videoOutput() const { return output.data(); }
    // A frame came from the back end; the watchdog counts them.
    void countFrame() { ++frameCounter; }
    int framesReceived() const { return frameCounter; }

    qint64 position() const;
    bool isPlaying() const;
    bool isPaused() const;
    bool hasVideoStream() const;
    bool hasAudioOutput() const;
    void setVolume(int percent);
    void setSoundMuted(bool muted);

public slots:
    void onMediaStatusChanged(QMediaPlayer::MediaStatus status);
    void onTracksChanged();

signals:
    // The player was made; what follows its position and picture is connected now.
    void made(QMediaPlayer *player);
    // The file the player is given (empty while a playback copy is made).
    void sourceSet(const QUrl &url);
    // The player stopped the file before for a new one.
    void sourceStopped();
    // Play is about to start, past every reason to wait.
    void aboutToPlay();
    void mediaReady();
    void loadFailed(QString errorText);
    void endOfMedia();

private:
    void setSource(const QString &path);
    void startPlaybackCopy(const QString &path);
    void onPlayerError(QMediaPlayer::Error error, const QString &errorString);
    void onPlaybackStateChanged(QMediaPlayer::PlaybackState state);
    void updateAudioOutputAttachment();
    void startPlaybackWatchdog();
    void reportLoadFailure(const QString &errorText);
    bool playRequestOutstanding() const { return playRequested || pendingPlay; }

    PlaybackCopy *copy = nullptr;
    QMediaPlayer *player = nullptr;
    QPointer<QObject> output;
    // Until the back end exists.
    float pendingVolume = 0.8f;
    QAudioOutput *audioOut = nullptr;
    // Follows the system's audio devices so the output is attached only while one exists.
    QMediaDevices *mediaDevices = nullptr;
    bool pendingPlay = false;
    // The user asked to play and playback has not started; retries and the watchdog act only then.
    bool playRequested = false;
    int frameCounter = 0;
    QUrl loadedUrl;
    MediaAlias mediaAlias;
    int loadCount = 0;
    bool loadFailureReported = false;
};
