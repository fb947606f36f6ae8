// The worker's share of a preview frame: converting a decoded 1080p frame to
// 960x540, and the whole path from a decoded frame to a processed picture.
#include "frameprocessingworker.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

double medianMs(int runs, const std::function<void()> &work)
{
    std::vector<double> times;
    work();
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// A decoded-looking 1080p YUV420P frame: gradients in all three planes.
QVideoFrame decodedFrame(QVideoFrameFormat::PixelFormat format)
{
    QVideoFrame frame(QVideoFrameFormat(QSize(1920, 1080), format));
    frame.map(QVideoFrame::WriteOnly);
    for (int p = 0; p < frame.planeCount(); ++p) {
        uchar *bits = frame.bits(p);
        const int rows = frame.mappedBytes(p) / frame.bytesPerLine(p);
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < frame.bytesPerLine(p); ++x)
                bits[y * frame.bytesPerLine(p) + x] = uchar((x / (p + 1) + y * (p + 2)) & 0xff);
    }
    frame.unmap();
    return frame;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_LOGGING_RULES", "default.debug=false");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(5, atoi(argv[1])) : 41;
    const QSize target = FrameProcessingWorker::previewSize(QSize(1920, 1080));

    std::printf("Worker conversion, 1920x1080 -> %dx%d, median of %d runs, one thread (ms)\n", target.width(),
                target.height(), runs);
    for (auto format : {QVideoFrameFormat::Format_YUV420P, QVideoFrameFormat::Format_NV12,
                        QVideoFrameFormat::Format_YUV420P10, QVideoFrameFormat::Format_P010}) {
        QVideoFrame frame = decodedFrame(format);
        frame.map(QVideoFrame::ReadOnly);
        const double hand = medianMs(runs, [&] { FrameProcessingWorker::convertMapped(frame, target); });
        frame.unmap();
        std::printf("  hand conversion %-12s %8.2f\n",
                    qPrintable(QVideoFrameFormat::pixelFormatToString(format)), hand);
    }

    // The worker on its own thread, as in the program: Qt's conversion (toImage)
    // and then the effects, timed from the request to the picture.
    QThread thread;
    FrameProcessingWorker worker;
    worker.setTargetFps(0);
    worker.moveToThread(&thread);
    thread.start(QThread::HighPriority);
    // A fresh frame each time: a frame keeps the image it was converted to.
    auto onWorker = [&](const Clip &clip, bool applyEffects) {
        const int count = std::max(5, runs / 2);
        std::vector<double> times;
        for (int i = 0; i <= count; ++i) {
            FrameProcessingWorker::Request request;
            request.frame = decodedFrame(QVideoFrameFormat::Format_YUV420P);
            request.clip = clip;
            request.positionSeconds = 1.0;
            request.applyEffects = applyEffects;
            QElapsedTimer timer;
            timer.start();
            QMetaObject::invokeMethod(&worker, "enqueueFrame", Qt::BlockingQueuedConnection,
                                      Q_ARG(FrameProcessingWorker::Request, request));
            if (i > 0)
                times.push_back(timer.nsecsElapsed() / 1e6);
        }
        std::sort(times.begin(), times.end());
        return times[times.size() / 2];
    };
    Clip all;
    all.originalEnd = 10000;
    all.endTime = 10000;
    all.blurIntensity = 100;
    all.brightness = 20;
    all.contrast = 30;
    all.saturation = 50;
    all.grayscale = true;
    all.sepia = true;
    all.fadeInDuration = 2000;
    all.opacity = 70;
    all.showTitle = true;
    all.titleText = "A title over the picture";
    std::printf("Worker thread, decoded 1080p YUV420P frame -> picture (ms)\n");
    std::printf("  conversion only (forwarded)        %8.2f\n", onWorker(Clip(), false));
    std::printf("  all effects, blur 100 High         %8.2f\n", onWorker(all, true));
    thread.quit();
    thread.wait();
    return 0;
}
