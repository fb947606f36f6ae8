#include "standbyplayer.h"

#include <QMediaPlayer>
#include <QVideoSink>

StandbyPlayer::StandbyPlayer(QObject *parent)
    : QObject(parent)
{
}

StandbyPlayer::~StandbyPlayer()
{
    if (sink)
        disconnect(sink, nullptr, this, nullptr);
}

void StandbyPlayer::preroll(const QUrl &source, qint64 startMs, qint64 endMs)
{
    if (!player) {
        player = new QMediaPlayer(this);
        sink = new QVideoSink(this);
        player->setVideoOutput(sink);
        // The back end emits from its render thread; with this object as the receiver the
        // slot runs on the GUI thread.
        connect(sink, &QVideoSink::videoFrameChanged, this, &StandbyPlayer::onFrame);
    }
    if (player->source() != source)
        player->setSource(source);
    prerollTargetMs = startMs;
    prerollEndMs = endMs;
    prerolledFrame = QVideoFrame();
    if (player->playbackState() != QMediaPlayer::PausedState)
        player->pause();
    player->setPosition(prerollTargetMs);
}

bool StandbyPlayer::armBridge(qint64 targetMs)
{
    bridgeDue = prerollTargetMs == targetMs && prerolledFrame.isValid();
    return bridgeDue;
}

QVideoFrame StandbyPlayer::beginBridge()
{
    bridgeDue = false;
    const QVideoFrame first = prerolledFrame;
    targetUs = prerollTargetMs * 1000;
    prerolledFrame = QVideoFrame();
    prerollTargetMs = -1;
    bridging = true;
    return first;
}

void StandbyPlayer::playOn()
{
    player->play();
}

bool StandbyPlayer::endBridge()
{
    if (!bridging)
        return false;
    bridging = false;
    player->pause();
    return true;
}

void StandbyPlayer::forget()
{
    bridging = false;
    bridgeDue = false;
    prerollTargetMs = -1;
    prerolledFrame = QVideoFrame();
    if (player)
        player->pause();
}

void StandbyPlayer::clearSource()
{
    if (player)
        player->setSource(QUrl());
}

void StandbyPlayer::onFrame(const QVideoFrame &frame)
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
    emit bridgeFrame(frame);
}
