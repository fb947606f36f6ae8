#include "frameprocessingworker.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QOpenGLContext>

#include <atomic>
#include <cmath>
#include <vector>

namespace {

// Process-wide, never reset: the warnings stop after five for the whole run.
std::atomic<int> mapFailures{0};
std::atomic<int> unsupportedFormats{0};
std::atomic<int> framesWithEffects{0};
std::atomic<int> framesWithoutEffects{0};

inline uint32_t yuvToRgb(int y, int u, int v)
{
    const int r = qBound(0, (298 * y + 409 * v - 56992) >> 8, 255);
    const int g = qBound(0, (298 * y - 100 * u - 208 * v + 34784) >> 8, 255);
    const int b = qBound(0, (298 * y + 516 * u - 70688) >> 8, 255);
    return 0xff000000u | (uint32_t(r) << 16) | (uint32_t(g) << 8) | uint32_t(b);
}

enum class Layout { Planar8, Planar16, SemiPlanar8, SemiPlanar16 };

// Sample columns are the same for every row: work them out once.
QImage convertPlanes(Layout layout, const uchar *const planes[3], const int strides[3], int width, int height,
                     const QSize &target)
{
    const int outWidth = target.width();
    const int outHeight = target.height();
    QImage image(outWidth, outHeight, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    const bool wide = layout == Layout::Planar16 || layout == Layout::SemiPlanar16;
    // Offsets of the byte to read: the high byte of a little-endian 16-bit sample for
    // P010, whose samples sit in the top bits; for planar 10-bit, whose samples sit in
    // the low 10 bits, the start of the sample (the high byte alone would be 0..3).
    std::vector<int> lumaOffset(outWidth);
    std::vector<int> chromaOffset(outWidth);
    for (int j = 0; j < outWidth; ++j) {
        const int sx = int(qint64(width) * j / outWidth);
        const int cx = sx / 2;
        switch (layout) {
        case Layout::Planar8:
            lumaOffset[j] = sx;
            chromaOffset[j] = cx;
            break;
        case Layout::Planar16:
            lumaOffset[j] = 2 * sx;
            chromaOffset[j] = 2 * cx;
            break;
        case Layout::SemiPlanar8:
            lumaOffset[j] = sx;
            chromaOffset[j] = 2 * cx;
            break;
        case Layout::SemiPlanar16:
            lumaOffset[j] = 2 * sx + 1;
            chromaOffset[j] = 2 * (2 * cx) + 1;
            break;
        }
    }
    const bool semiPlanar = layout == Layout::SemiPlanar8 || layout == Layout::SemiPlanar16;
    const int nextChroma = wide ? 2 : 1; // V follows U in the interleaved plane
    for (int i = 0; i < outHeight; ++i) {
        const int sy = int(qint64(height) * i / outHeight);
        const uchar *yRow = planes[0] + qsizetype(sy) * strides[0];
        const uchar *uRow = planes[1] + qsizetype(sy / 2) * strides[1];
        const uchar *vRow = semiPlanar ? uRow + nextChroma : planes[2] + qsizetype(sy / 2) * strides[2];
        QRgb *out = reinterpret_cast<QRgb *>(image.scanLine(i));
        if (layout == Layout::Planar16) {
            const auto tenBit = [](const uchar *sample) {
                return qMin(255, (sample[0] | (sample[1] << 8)) >> 2);
            };
            for (int j = 0; j < outWidth; ++j) {
                const int c = chromaOffset[j];
                out[j] = yuvToRgb(tenBit(yRow + lumaOffset[j]), tenBit(uRow + c), tenBit(vRow + c));
            }
            continue;
        }
        for (int j = 0; j < outWidth; ++j) {
            const int c = chromaOffset[j];
            out[j] = yuvToRgb(yRow[lumaOffset[j]], uRow[c], vRow[c]);
        }
    }
    return image;
}

void logLimited(std::atomic<int> &counter, const char *message, const char *suppression,
                QVideoFrameFormat::PixelFormat format = QVideoFrameFormat::Format_Invalid, bool withFormat = false)
{
    const int count = ++counter;
    if (count > 5)
        return;
    if (withFormat)
        qDebug() << message << format << "- dropping frame";
    else
        qDebug() << message;
    if (count == 5)
        qDebug() << suppression;
}

} // namespace

FrameProcessingWorker::FrameProcessingWorker(QObject *parent)
    : QObject(parent)
    , processor(new FrameProcessor(this))
{
    qDebug() << "FrameProcessingWorker created - High-performance mode with frame dropping enabled";
}

void FrameProcessingWorker::setDownscaleEnabled(bool enabled)
{
    downscaleEnabled = enabled;
}

void FrameProcessingWorker::setTargetFps(int fps)
{
    targetFps = fps;
}

void FrameProcessingWorker::setQuality(int value)
{
    quality = value;
}

void FrameProcessingWorker::setClock(std::function<qint64()> newClock)
{
    clock = std::move(newClock);
}

qint64 FrameProcessingWorker::now() const
{
    return clock ? clock() : QDateTime::currentMSecsSinceEpoch();
}

void FrameProcessingWorker::stop()
{
    stopped = true;
}

PerformanceStats FrameProcessingWorker::performanceStats() const
{
    QMutexLocker locker(&mutex);
    PerformanceStats stats;
    stats.averageMs = averageProcessingMs;
    if (!processingTimes.isEmpty()) {
        double sum = 0.0;
        for (double t : processingTimes)
            sum += t;
        const double mean = sum / processingTimes.size();
        if (mean > 0)
            stats.fps = 1000.0 / mean;
    }
    stats.droppedFrames = droppedFrames;
    stats.queueSize = queue.size();
    stats.isLagging = targetFps > 0 && stats.fps < 0.8 * targetFps;
    return stats;
}

void FrameProcessingWorker::enqueueFrame(const FrameProcessingWorker::Request &request)
{
    if (stopped)
        return;

    Request current;
    {
        QMutexLocker locker(&mutex);
        while (queue.size() > 1) {
            queue.removeFirst();
            ++droppedFrames;
            if (droppedFrames % 100 == 0)
                qDebug().noquote()
                    << QStringLiteral("Performance: Dropped %1 frames (queue full - system lagging)").arg(droppedFrames);
        }
        Request queued = request;
        queued.enqueuedAtMs = now();
        queue.append(queued);
        if (queue.isEmpty())
            return;
        current = queue.takeFirst();
    }

    if (current.scrubbing) {
        skipCounter = (skipCounter + 1) % 3;
        if (skipCounter != 0) {
            emit frameProcessed(QImage());
            return;
        }
    } else {
        skipCounter = 0;
    }

    const qint64 start = now();
    if (targetFps > 0) {
        if (start - lastProcessedMs < 1000 / targetFps) {
            emit frameProcessed(QImage());
            return;
        }
        lastProcessedMs = start;
    }

    QElapsedTimer timer;
    timer.start();
    const QImage result = processRequest(current);
    recordProcessingTime(timer.nsecsElapsed() / 1e6);
    emit frameProcessed(result);

    ++processedFrames;
    if (processedFrames % 100 == 0) {
        const PerformanceStats stats = performanceStats();
        qDebug().noquote() << QStringLiteral("Performance: %1 FPS, %2ms avg, %3ms latency, %4 dropped, queue: %5")
                                  .arg(stats.fps, 0, 'f', 1)
                                  .arg(stats.averageMs, 0, 'f', 1)
                                  .arg(now() - current.enqueuedAtMs)
                                  .arg(stats.droppedFrames)
                                  .arg(stats.queueSize);
        emit performanceChanged(stats.fps, stats.isLagging);
    }
}

void FrameProcessingWorker::recordProcessingTime(double ms)
{
    QMutexLocker locker(&mutex);
    processingTimes.append(ms);
    if (processingTimes.size() > 30)
        processingTimes.removeFirst();
    averageProcessingMs = averageProcessingMs == 0.0 ? ms : 0.1 * ms + 0.9 * averageProcessingMs;
}

QImage FrameProcessingWorker::processRequest(const Request &request)
{
    if (!request.frame.isValid())
        return {};
    QImage image = convertFrame(request.frame);
    if (image.isNull())
        return {};
    image = limitSize(image, downscaleEnabled);
    if (request.applyEffects) {
        const int count = ++framesWithEffects;
        if (count % 60 == 0)
            qDebug() << "FrameProcessingWorker: frames processed with effects" << count;
        return processor->processFrame(image, request.clip, request.positionSeconds,
                                      quality == 1 ? ProcessingQuality::Draft : ProcessingQuality::High,
                                      request.scrubbing);
    }
    const int count = ++framesWithoutEffects;
    if (count % 60 == 0)
        qDebug() << "FrameProcessingWorker: frames forwarded without effects" << count;
    return image;
}

bool FrameProcessingWorker::convertsByHand(QVideoFrameFormat::PixelFormat format)
{
    return format == QVideoFrameFormat::Format_YUV420P || format == QVideoFrameFormat::Format_YUV420P10
        || format == QVideoFrameFormat::Format_NV12 || format == QVideoFrameFormat::Format_P010;
}

QImage FrameProcessingWorker::convertFrame(const QVideoFrame &frame)
{
    // Frames in memory of the four common formats are converted here first:
    // sampling straight to preview size costs about 2 ms for 1080p, where
    // toImage() costs 8 ms on the CPU and over 60 ms through a software OpenGL.
    if (convertsByHand(frame.pixelFormat())) {
        QVideoFrame mapped = frame;
        if (mapped.map(QVideoFrame::ReadOnly)) {
            const QImage image = convertMapped(mapped, previewSize(QSize(mapped.width(), mapped.height())));
            mapped.unmap();
            if (!image.isNull())
                return image;
        }
    }

    // Qt's conversion may leave its own OpenGL context current on this thread;
    // the blur must not mistake it for one it may draw in.
    const QOpenGLContext *contextBefore = QOpenGLContext::currentContext();
    const QImage converted = frame.toImage();
    if (!contextBefore && QOpenGLContext::currentContext())
        QOpenGLContext::currentContext()->doneCurrent();
    if (!converted.isNull()) {
        const QSize target = previewSize(converted.size());
        if (target == converted.size())
            return converted;
        return converted.scaled(target, Qt::KeepAspectRatio, Qt::FastTransformation);
    }

    QVideoFrame mapped = frame;
    if (!mapped.map(QVideoFrame::ReadOnly)) {
        logLimited(mapFailures, "FrameProcessingWorker: Failed to map GPU-backed frame. Dropping.",
                   "FrameProcessingWorker: Suppressing further map failure warnings");
        return {};
    }
    const QVideoFrameFormat::PixelFormat format = mapped.pixelFormat();
    QImage image;
    if (convertsByHand(format)) {
        image = convertMapped(mapped, previewSize(QSize(mapped.width(), mapped.height())));
    } else {
        logLimited(unsupportedFormats, "FrameProcessingWorker: Unsupported pixel format for conversion:",
                   "FrameProcessingWorker: Suppressing further unsupported format warnings", format, true);
    }
    mapped.unmap();
    return image;
}

QImage FrameProcessingWorker::convertMapped(const QVideoFrame &mapped, const QSize &target)
{
    Layout layout;
    int planeCount;
    switch (mapped.pixelFormat()) {
    case QVideoFrameFormat::Format_YUV420P:
        layout = Layout::Planar8;
        planeCount = 3;
        break;
    case QVideoFrameFormat::Format_YUV420P10:
        layout = Layout::Planar16;
        planeCount = 3;
        break;
    case QVideoFrameFormat::Format_NV12:
        layout = Layout::SemiPlanar8;
        planeCount = 2;
        break;
    case QVideoFrameFormat::Format_P010:
        layout = Layout::SemiPlanar16;
        planeCount = 2;
        break;
    default:
        return {};
    }
    const uchar *planes[3] = {nullptr, nullptr, nullptr};
    int strides[3] = {0, 0, 0};
    for (int p = 0; p < planeCount; ++p) {
        planes[p] = mapped.bits(p);
        strides[p] = mapped.bytesPerLine(p);
        if (!planes[p])
            return {};
    }
    if (target.isEmpty() || mapped.width() <= 0 || mapped.height() <= 0)
        return {};
    return convertPlanes(layout, planes, strides, mapped.width(), mapped.height(), target);
}

QSize FrameProcessingWorker::previewSize(const QSize &size)
{
    const int w = size.width();
    const int h = size.height();
    if (w <= 960 && h <= 540)
        return size;
    const double scale = qMin(960.0 / w, 540.0 / h);
    int width = int(std::lround(w * scale));
    int height = int(std::lround(h * scale));
    width = qMax(width, 2);
    if (width % 2 != 0)
        width -= 1;
    if (height % 2 != 0)
        height -= 1;
    if (height <= 2)
        height = 2;
    return QSize(width, height);
}

QImage FrameProcessingWorker::limitSize(const QImage &image, bool downscaleEnabled)
{
    if (downscaleEnabled && (image.width() > 1280 || image.height() > 720))
        return image.scaled(1280, 720, Qt::KeepAspectRatio, Qt::FastTransformation);
    return image;
}
