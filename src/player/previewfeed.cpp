#include "previewfeed.h"

#include <QThread>
#include <QTimer>

PreviewFeed::PreviewFeed(Player player, QObject *parent)
    : QObject(parent)
    , player(std::move(player))
    , processingThread(new QThread(this))
    , frameWorker(new FrameProcessingWorker)
{
    retryTimer = new QTimer(this);
    retryTimer->setSingleShot(true);
    retryTimer->setInterval(40);
    connect(retryTimer, &QTimer::timeout, this, [this] {
        const QVideoFrame shown = this->player.shownFrame();
        if (!this->player.playing() && shown.isValid() && pendingRequests.load() == 0)
            send(shown);
    });

    frameWorker->setDownscaleEnabled(true);
    frameWorker->setTargetFps(30);
    frameWorker->setQuality(0);
    frameWorker->moveToThread(processingThread);
    connect(processingThread, &QThread::finished, frameWorker, &QObject::deleteLater);
    processingThread->start(QThread::HighPriority);
}

PreviewFeed::~PreviewFeed()
{
    // Stop the worker first, then end its thread; the worker is deleted as the
    // thread finishes (finished -> deleteLater).
    QMetaObject::invokeMethod(frameWorker, "stop", Qt::QueuedConnection);
    processingThread->quit();
    processingThread->wait();
}

void PreviewFeed::setScrubbing(bool on)
{
    scrubbing = on;
    // Settings change on the worker's own thread, never by a direct call.
    FrameProcessingWorker *target = frameWorker;
    QMetaObject::invokeMethod(
        frameWorker,
        [target, on] {
            target->setTargetFps(on ? 12 : 30);
            target->setDownscaleEnabled(true);
            target->setQuality(on ? 1 : 0);
        },
        Qt::QueuedConnection);
}

void PreviewFeed::stopRetrying()
{
    retries = 0;
    retryTimer->stop();
}

void PreviewFeed::dropWaiting()
{
    skippedFrame = QVideoFrame();
    retryTimer->stop();
}

void PreviewFeed::send(const QVideoFrame &frame)
{
    // At most two requests in flight; frames over the limit are skipped, not queued,
    // but the newest of them is kept for when there is room.
    if (!processingEnabled)
        return;
    if (pendingRequests.load() > 1) {
        skippedFrame = frame;
        return;
    }
    skippedFrame = QVideoFrame();
    FrameProcessingWorker::Request request;
    request.frame = frame;
    request.clip = currentClip;
    request.positionSeconds = player.positionMs() / 1000.0;
    request.scrubbing = scrubbing;
    request.applyEffects = true;
    request.previewQuality = scrubbing ? 1 : 0;
    ++pendingRequests;
    emit requested(request);
}

void PreviewFeed::onFrameProcessed(const QImage &frame)
{
    if (!frame.isNull())
        lastProcessedImage = frame;
    int inFlight = pendingRequests.load();
    while (inFlight > 0 && !pendingRequests.compare_exchange_weak(inFlight, inFlight - 1)) {
    }
    if (skippedFrame.isValid()) {
        const QVideoFrame newest = skippedFrame;
        send(newest);
    } else if (frame.isNull() && !player.playing() && retries < 3) {
        // The worker leaves out a frame that comes too soon after the one before (its rate
        // cap, or while scrubbing); with none after it, as after a paused seek, the picture
        // would stay on an older frame. The frame shown last is sent again once the cap allows.
        ++retries;
        retryTimer->start();
    }
}
