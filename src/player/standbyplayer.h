#pragma once

#include <QObject>
#include <QUrl>
#include <QVideoFrame>

class QMediaPlayer;
class QVideoSink;

// A second player, without sound, paused at the start of the part that follows a jump: its
// first frame is shown the moment the jump is decided, and it plays on until the seeking
// player's own frames catch up (seeking decodes from the key frame before the target).
// It bridges; what the edit shows of its frames is decided by EditPlayer.
class StandbyPlayer : public QObject {
    Q_OBJECT
public:
    explicit StandbyPlayer(QObject *parent = nullptr);
    ~StandbyPlayer() override;

    // Waits paused at startMs of source, keeping the first frame decoded there (up to endMs).
    void preroll(const QUrl &source, qint64 startMs, qint64 endMs);
    // Where it waits (ms); -1 when it waits nowhere.
    qint64 prerollTarget() const { return prerollTargetMs; }
    // A jump to targetMs was decided: the bridge starts with the frame decoded there, if any.
    // True when it will.
    bool armBridge(qint64 targetMs);
    bool isBridgeDue() const { return bridgeDue; }
    // Starts the armed bridge: returns the frame to show first; frames after it come as bridgeFrame
    // once playOn() is called.
    QVideoFrame beginBridge();
    void playOn();
    bool isBridging() const { return bridging; }
    // The start of the part bridged to (µs): frames of the seeking player before it are stale.
    qint64 bridgeTargetUs() const { return targetUs; }
    // Pauses a bridge under way; false when there was none.
    bool endBridge();
    // Drops what it waited for and any bridge.
    void forget();
    // The file is gone: the player lets go of it.
    void clearSource();

signals:
    // A frame while bridging, on the GUI thread.
    void bridgeFrame(const QVideoFrame &frame);

private:
    void onFrame(const QVideoFrame &frame);

    QMediaPlayer *player = nullptr;
    QVideoSink *sink = nullptr;
    qint64 prerollTargetMs = -1;
    qint64 prerollEndMs = 0;
    QVideoFrame prerolledFrame;
    bool bridgeDue = false;
    bool bridging = false;
    qint64 targetUs = 0;
};
