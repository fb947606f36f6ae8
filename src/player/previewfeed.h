#pragma once

#include "clip.h"
#include "frameprocessingworker.h"

#include <QImage>
#include <QObject>
#include <QVideoFrame>

#include <atomic>
#include <functional>

class QThread;
class QTimer;

// Hands the frames shown to the effects worker on its own thread and keeps what comes back.
// The worker must never fall behind the picture: at most two requests are in flight, frames
// over that are skipped (the newest kept for when there is room), and a frame the worker left
// out is sent again while paused, so the processed picture always ends on the frame shown.
class PreviewFeed : public QObject {
    Q_OBJECT
public:
    // What the feed asks of the player it feeds.
    struct Player {
        std::function<bool()> playing;
        std::function<qint64()> positionMs;
        std::function<QVideoFrame()> shownFrame;
    };

    explicit PreviewFeed(Player player, QObject *parent = nullptr);
    // Stops the worker and ends its thread.
    ~PreviewFeed() override;

    FrameProcessingWorker *worker() const { return frameWorker; }
    QThread *workerThread() const { return processingThread; }

    void setClip(const Clip &clip) { currentClip = clip; }
    const Clip &clip() const { return currentClip; }
    bool isEnabled() const { return processingEnabled; }
    void setEnabled(bool on) { processingEnabled = on; }
    bool isScrubbing() const { return scrubbing; }
    void setScrubbing(bool on);
    int pendingRequestCount() const { return pendingRequests.load(); }
    // The last picture the worker gave; null before the first.
    QImage processedImage() const { return lastProcessedImage; }

    // A new frame is going on screen: resending the one before stops.
    void stopRetrying();
    // The frame now on screen, for processing when enabled.
    void send(const QVideoFrame &frame);
    // Another file: frames waiting for room or a resend belong to the one before.
    void dropWaiting();

public slots:
    void onFrameProcessed(const QImage &frame);

signals:
    void requested(FrameProcessingWorker::Request request);

private:
    Player player;
    QThread *processingThread = nullptr;
    FrameProcessingWorker *frameWorker = nullptr;
    Clip currentClip;
    bool processingEnabled = false;
    bool scrubbing = false;
    std::atomic<int> pendingRequests{0};
    // The newest frame skipped while the worker was full: sent once it has room, or a
    // paused picture would stay on the frame before it.
    QVideoFrame skippedFrame;
    // Resending the frame shown last when the worker left it out (see onFrameProcessed).
    QTimer *retryTimer = nullptr;
    int retries = 0;
    QImage lastProcessedImage;
};
