#include "editplayer.h"

#include "playerlog.h"
#include "standbyplayer.h"
#include "videoplayer.h"

#include <QTimer>

#include <limits>

EditPlayer::EditPlayer(VideoPlayer &player, QObject *parent)
    : QObject(parent)
    , player(player)
    , standby(new StandbyPlayer(this))
{
    connect(standby, &StandbyPlayer::bridgeFrame, this, &EditPlayer::onStandbyFrame);

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
    connect(jumpMuteTimer, &QTimer::timeout, this, &EditPlayer::armJumpMute);
}

void EditPlayer::followEdit(std::function<ClipList()> parts)
{
    editParts = std::move(parts);
    followedParts.clear();
    follower.reset();
}

void EditPlayer::setPosition(qint64 ms)
{
    follower.reset();
    forgetStandby();
    lastShownStartUs = -1;
    waitingSeekMs = -1;
    seekInFlightMs = ms;
    seekSettleTimer->start();
    seekFollowingEdit(ms);
}

void EditPlayer::seekCoalesced(qint64 ms)
{
    if (seekInFlightMs >= 0) {
        waitingSeekMs = ms;
        return;
    }
    setPosition(ms);
}

void EditPlayer::makeWaitingSeek()
{
    if (waitingSeekMs < 0)
        return;
    setPosition(waitingSeekMs);
}

qint64 EditPlayer::targetPosition() const
{
    if (waitingSeekMs >= 0)
        return waitingSeekMs;
    if (seekInFlightMs >= 0)
        return seekInFlightMs;
    return player.position();
}

void EditPlayer::dropSeeks()
{
    seekSettleTimer->stop();
    seekInFlightMs = -1;
    waitingSeekMs = -1;
}

void EditPlayer::seekFollowingEdit(qint64 ms)
{
    jumpMuteTimer->stop();
    const int seek = ++seekCount;
    player.prepareBackend();
    player.mediaPlayer()->setPosition(ms);
    if (!jumpMuted)
        return;
    // Sound the back end wrote before the seek was muted as written; what it writes now comes
    // from the target. A moment later no write from the old place can still be under way.
    QTimer::singleShot(30, Qt::PreciseTimer, this, [this, seek] {
        if (seek == seekCount)
            releaseJumpMute();
    });
}

void EditPlayer::takeFrame(const QVideoFrame &frame)
{
    if (standby->isBridging() && !takesOverFromStandby(frame))
        return;
    if (passesEdit(frame))
        present(frame);
    startBridgeIfDue();
}

void EditPlayer::present(const QVideoFrame &frame)
{
    lastShownStartUs = frame.startTime();
    if (seekInFlightMs >= 0 && frame.startTime() >= seekInFlightMs * 1000) {
        seekInFlightMs = -1;
        seekSettleTimer->stop();
        if (waitingSeekMs >= 0)
            QTimer::singleShot(0, this, &EditPlayer::makeWaitingSeek);
    }
    emit showFrame(frame);
}

bool EditPlayer::passesEdit(const QVideoFrame &frame)
{
    if (!editParts || frame.startTime() < 0 || (!player.isPlaying() && !follower.jumping()))
        return true;
    const ClipList parts = currentParts();
    if (parts.isEmpty())
        return true;
    const Playback::EditFollower::Step step = follower.frame(parts, frame.startTime());
    if (!player.isPlaying() && (step.kind == Playback::EditFollower::Step::Jump
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

ClipList EditPlayer::currentParts()
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

void EditPlayer::actOnEdit(const Playback::EditFollower::Step &step)
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
    case Step::Jump: {
        endBridging();
        setJumpMuted(true);
        seekFollowingEdit(step.target);
        emit editJumped(step.target);
        // The standby player has the next part's first frame decoded: it goes on screen now and
        // the standby plays on until the back end's own frames from its seek catch up.
        const bool bridged = standby->armBridge(step.target);
        qCDebug(playerLog) << "VideoPlayer: Jump to" << step.target << (bridged ? "from the standby's frame" : "by seeking");
        break;
    }
    case Step::Finish:
        forgetStandby();
        setJumpMuted(true);
        player.pause();
        seekFollowingEdit(step.target);
        emit editFinished();
        break;
    }
}

void EditPlayer::followPosition(qint64 ms)
{
    if (!editParts || !player.isPlaying() || follower.jumping())
        return;
    const ClipList parts = currentParts();
    if (parts.isEmpty())
        return;
    if (player.hasVideoStream()) {
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

void EditPlayer::armJumpMute()
{
    if (!player.isPlaying())
        return;
    const qint64 from = jumpMuteStart();
    if (from < 0) {
        jumpMuteTimer->stop();
        return;
    }
    const qint64 wait = from - player.position();
    if (wait <= 0) {
        jumpMuteTimer->stop();
        setJumpMuted(true);
        return;
    }
    jumpMuteTimer->start(int(std::min<qint64>(wait, 1 << 30)));
}

qint64 EditPlayer::jumpMuteStart() const
{
    const int part = follower.playingPart();
    if (part < 0 || part >= followedParts.size())
        return -1;
    // A part that ends with the file is followed by no sound.
    if (followedParts[part].originalEnd >= player.duration())
        return -1;
    return follower.muteFrom(followedParts, Playback::MuteLeadMs);
}

void EditPlayer::releaseJumpMute()
{
    if (!jumpMuted)
        return;
    const qint64 from = jumpMuteStart();
    if (from >= 0 && player.position() >= from)
        return;
    setJumpMuted(false);
    armJumpMute();
}

void EditPlayer::setJumpMuted(bool muted)
{
    jumpMuted = muted;
    emit jumpMuteChanged(muted);
}

void EditPlayer::onStandbyFrame(const QVideoFrame &frame)
{
    if (frame.startTime() <= lastShownStartUs)
        return;
    if (passesEdit(frame))
        present(frame);
    startBridgeIfDue();
}

bool EditPlayer::takesOverFromStandby(const QVideoFrame &frame)
{
    const qint64 us = frame.startTime();
    // Decoded before the seek, or still behind what the standby has shown.
    if (us < standby->bridgeTargetUs() || us + std::max<qint64>(frame.endTime() - us, 0) < lastShownStartUs)
        return false;
    endBridging();
    return us > lastShownStartUs;
}

void EditPlayer::prerollNextPart()
{
    const int part = follower.part();
    if (standby->isBridging() || part < 0 || part + 1 >= followedParts.size()
        || follower.muteFrom(followedParts, 0) < 0 || !player.hasVideoStream())
        return;
    const Clip &next = followedParts[part + 1];
    if (next.originalStart == standby->prerollTarget() || next.originalStart < 0
        || next.originalStart >= player.duration() || next.originalEnd > std::numeric_limits<qint64>::max() / 1000
        || source.isEmpty())
        return;
    standby->preroll(source, next.originalStart, next.originalEnd);
}

void EditPlayer::startBridgeIfDue()
{
    if (!standby->isBridgeDue())
        return;
    const QVideoFrame first = standby->beginBridge();
    if (!passesEdit(first)) {
        endBridging();
        return;
    }
    present(first);
    standby->playOn();
}

void EditPlayer::endBridging()
{
    if (standby->endBridge())
        prerollNextPart();
}

void EditPlayer::forgetStandby()
{
    standby->forget();
}

void EditPlayer::closeStandby()
{
    forgetStandby();
    standby->clearSource();
}
