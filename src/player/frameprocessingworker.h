#pragma once

#include "clip.h"
#include "frameprocessor.h"

#include <QImage>
#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QSize>
#include <QVideoFrame>

#include <functional>

struct PerformanceStats {
    double averageMs = 0.0;
    double fps = 0.0;
    int droppedFrames = 0;
    bool isLagging = false;
    qsizetype queueSize = 0;
};

// The background half of the live preview: converts decoded frames to preview
// size, runs the frame processor on them and sends the pictures back. It keeps
// at most one frame waiting, thins frames while scrubbing and caps its rate.
class FrameProcessingWorker : public QObject {
    Q_OBJECT
public:
    struct Request {
        QVideoFrame frame;
        Clip clip;
        double positionSeconds = 0.0;
        bool scrubbing = false;
        bool applyEffects = false;
        int previewQuality = 0;
        qint64 enqueuedAtMs = 0;
    };

    explicit FrameProcessingWorker(QObject *parent = nullptr);

    // Settings; the player calls them only through queued invocations.
    Q_INVOKABLE void setDownscaleEnabled(bool enabled);
    Q_INVOKABLE void setTargetFps(int fps);
    Q_INVOKABLE void setQuality(int value);

    PerformanceStats performanceStats() const;

    // At most 960 x 540, aspect kept, even width and height.
    static QSize previewSize(const QSize &size);
    // Scales to fit 1280 x 720 when enabled and the image is larger.
    static QImage limitSize(const QImage &image, bool downscaleEnabled);
    // The preview size of a frame as shown, turned by its rotation angle.
    static QSize shownPreviewSize(const QVideoFrame &frame);
    // Nearest-sampled conversion of a mapped YUV420P, YUV420P10, NV12 or P010 frame to
    // Format_RGB32 of the target size (the size as shown), turned clockwise by the
    // frame's rotation angle as toImage() would. The colour matrix and range are the
    // frame format's; unsaid, BT.709 above 576 lines and BT.601 below, video range.
    // Null for other formats.
    static QImage convertMapped(const QVideoFrame &mapped, const QSize &target);
    static bool convertsByHand(QVideoFrameFormat::PixelFormat format);
    // A whole frame as shown (turned; at most 1920 px a side, aspect kept) for the plain
    // display and the still frame: the hand conversion where it applies, so every preview
    // shows the same colours (Qt 6.4's own BT.709 and full-range matrices are off), Qt's
    // conversion otherwise. Null when neither can read the frame.
    static QImage convertWhole(const QVideoFrame &frame);

    // Milliseconds since the epoch; tests replace it to control the rate cap.
    void setClock(std::function<qint64()> clock);

public slots:
    void enqueueFrame(const FrameProcessingWorker::Request &request);
    void stop();

signals:
    void frameProcessed(QImage frame);
    void performanceChanged(double fps, bool isLagging);

private:
    QImage processRequest(const Request &request);
    QImage convertFrame(const QVideoFrame &frame);
    void recordProcessingTime(double ms);
    qint64 now() const;

    // A child rather than a plain member, so it moves to the worker's thread with it.
    FrameProcessor *processor = nullptr;
    bool stopped = false;
    bool downscaleEnabled = true;
    int targetFps = 30;
    qint64 lastProcessedMs = 0;
    int quality = 0;
    int skipCounter = 0;
    mutable QMutex mutex;
    QList<Request> queue;
    int droppedFrames = 0;
    QList<double> processingTimes;
    double averageProcessingMs = 0.0;
    int processedFrames = 0;
    std::function<qint64()> clock;
};

Q_DECLARE_METATYPE(FrameProcessingWorker::Request)
