#pragma once

#include "clip.h"
#include "playbackrules.h"

#include <QObject>
#include <QUrl>
#include <QVideoFrame>

#include <functional>

class QTimer;
class StandbyPlayer;
class VideoPlayer;

// Plays the edit as the export keeps it. Every decoded frame passes the EditFollower before
// anything shows it; the player seeks on its word (to the next part, back to the first at the
// end), the sound is muted around each jump, and a standby player bridges the jump. The
// user's seeks pass here as well: they change where the edit stands, and those asked while
// one is on its way are coalesced.
class EditPlayer : public QObject {
    Q_OBJECT
public:
    EditPlayer(VideoPlayer &player, QObject *parent = nullptr);

    void followEdit(std::function<ClipList()> parts);
    int part() const { return follower.part(); }
    bool isJumping() const { return follower.jumping(); }

    void setPosition(qint64 ms);
    void seekCoalesced(qint64 ms);
    qint64 targetPosition() const;
    bool isSeekPending() const { return seekInFlightMs >= 0 || waitingSeekMs >= 0; }
    qint64 shownFrameStartUs() const { return lastShownStartUs; }
    // Another file: seeks asked for the one before are dropped.
    void dropSeeks();

    // The file the back end plays, which the standby opens when it first waits.
    void setSource(const QUrl &url) { source = url; }
    // The back end lets go of its file: the standby lets go too.
    void closeStandby();
    void forgetStandby();
    // Playing starts: the jump mute holds only while the sound before a jump is still due.
    void releaseJumpMute();
    bool isJumpMuted() const { return jumpMuted; }

    // A frame from the back end's own video output.
    void takeFrame(const QVideoFrame &frame);

public slots:
    void followPosition(qint64 ms);

signals:
    // A frame to put on screen.
    void showFrame(const QVideoFrame &frame);
    void jumpMuteChanged(bool muted);
    void partEntered(int index);
    void editJumped(qint64 target);
    void editFinished();

private:
    void present(const QVideoFrame &frame);
    bool passesEdit(const QVideoFrame &frame);
    ClipList currentParts();
    void actOnEdit(const Playback::EditFollower::Step &step);
    void seekFollowingEdit(qint64 ms);
    void makeWaitingSeek();
    void armJumpMute();
    qint64 jumpMuteStart() const;
    void setJumpMuted(bool muted);
    void onStandbyFrame(const QVideoFrame &frame);
    bool takesOverFromStandby(const QVideoFrame &frame);
    void prerollNextPart();
    void startBridgeIfDue();
    void endBridging();

    VideoPlayer &player;
    StandbyPlayer *standby = nullptr;
    QUrl source;

    std::function<ClipList()> editParts;
    ClipList followedParts;
    Playback::EditFollower follower;
    qint64 lastShownEndUs = 0;
    bool jumpMuted = false;
    QTimer *jumpMuteTimer = nullptr;
    int seekCount = 0;
    qint64 lastShownStartUs = -1;
    // Coalesced seeks: the one made whose frame has not shown yet, and the latest one waiting.
    QTimer *seekSettleTimer = nullptr;
    qint64 seekInFlightMs = -1;
    qint64 waitingSeekMs = -1;
};
