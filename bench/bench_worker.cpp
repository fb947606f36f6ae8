// The worker's share of a preview frame, in CPU time: converting a decoded
// 1080p frame to 960x540, and the whole path from a decoded frame to a processed
// picture, beside FFmpeg scaling the same frame and running the nearest chain.
#include "benchsupport.h"
#include "frameprocessingworker.h"

#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

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
    const int pairs = argc > 2 ? std::max(1, atoi(argv[2])) : 7;
    const QSize target = FrameProcessingWorker::previewSize(QSize(1920, 1080));

    std::printf("Worker conversion, 1920x1080 -> %dx%d, median of %d runs, one thread (CPU ms)\n", target.width(),
                target.height(), runs);
    for (auto format : {QVideoFrameFormat::Format_YUV420P, QVideoFrameFormat::Format_NV12,
                        QVideoFrameFormat::Format_YUV420P10, QVideoFrameFormat::Format_P010}) {
        QVideoFrame frame = decodedFrame(format);
        frame.map(QVideoFrame::ReadOnly);
        const double hand = Bench::medianCpuMs(runs, [&] { FrameProcessingWorker::convertMapped(frame, target); });
        frame.unmap();
        std::printf("  hand conversion %-12s %8.2f\n",
                    qPrintable(QVideoFrameFormat::pixelFormatToString(format)), hand);
    }

    // The worker on its own thread, as in the program, its thread's CPU time
    // from the request to the picture.
    QThread thread;
    FrameProcessingWorker worker;
    worker.setTargetFps(0);
    worker.moveToThread(&thread);
    thread.start(QThread::HighPriority);
    // A fresh frame each time: a frame keeps the image it was converted to.
    auto onWorker = [&](const Clip &clip, bool applyEffects, int count) {
        std::vector<double> times;
        for (int i = 0; i <= count; ++i) {
            FrameProcessingWorker::Request request;
            request.frame = decodedFrame(QVideoFrameFormat::Format_YUV420P);
            request.clip = clip;
            request.positionSeconds = 1.0;
            request.applyEffects = applyEffects;
            double ms = 0;
            QMetaObject::invokeMethod(
                &worker,
                [&] {
                    const double start = Bench::threadCpuMs();
                    worker.enqueueFrame(request);
                    ms = Bench::threadCpuMs() - start;
                },
                Qt::BlockingQueuedConnection);
            if (i > 0)
                times.push_back(ms);
        }
        return Bench::median(times);
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
    std::printf("Worker thread, decoded 1080p YUV420P frame -> picture (CPU ms)\n");
    std::printf("  conversion only (forwarded)        %8.2f\n", onWorker(Clip(), false, std::max(5, runs / 2)));

    // FFmpeg reads the same frame, scales it to the preview size by nearest
    // samples into 32-bit BGRA as our conversion does, and runs the chain.
    QTemporaryDir dir;
    QFile raw(dir.filePath("frame.yuv"));
    QVideoFrame source = decodedFrame(QVideoFrameFormat::Format_YUV420P);
    source.map(QVideoFrame::ReadOnly);
    bool written = dir.isValid() && raw.open(QIODevice::WriteOnly);
    for (int p = 0; p < 3 && written; ++p) {
        const int width = p == 0 ? 1920 : 960;
        const int height = p == 0 ? 1080 : 540;
        for (int y = 0; y < height && written; ++y)
            written = raw.write(reinterpret_cast<const char *>(source.bits(p)) + y * source.bytesPerLine(p), width)
                == width;
    }
    source.unmap();
    raw.close();
    if (!written) {
        std::printf("No temporary file for FFmpeg's input\n");
        return 1;
    }
    const QString scaleAndChain = QStringLiteral("scale=%1:%2:flags=neighbor,format=bgra,")
                                      .arg(target.width())
                                      .arg(target.height())
        + Bench::allEffectsChain();
    std::printf("All effects, blur 100 High, against FFmpeg's scale + chain (CPU time):\n");
    Bench::pairedWithFfmpeg(
        pairs,
        [&](ImageKernels::SimdLevel level) {
            return onWorker(all, true, level == ImageKernels::SimdLevel::Portable ? 5 : 15);
        },
        [&] {
            return Bench::ffmpegChainMs({"-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "1920x1080", "-framerate",
                                         "30", "-stream_loop", "-1", "-i", raw.fileName()},
                                        scaleAndChain, 150);
        });
    thread.quit();
    thread.wait();
    return 0;
}
