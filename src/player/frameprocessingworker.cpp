#include "frameprocessingworker.h"

#include "displaygeometry.h"
#include "imagekernels.h"
#include "playerlog.h"

#include <QDateTime>
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

// Y'CbCr to R'G'B' in 8.8 fixed point, rounded to nearest. The BT.601 video-range
// numbers are the classic 298/409/100/208/516.
using YuvToRgb = ImageKernels::YuvToRgbCoefficients;

YuvToRgb yuvToRgbFor(double kr, double kb, bool fullRange)
{
    const double kg = 1.0 - kr - kb;
    const double lumaScale = fullRange ? 1.0 : 255.0 / 219.0;
    const double chromaScale = fullRange ? 1.0 : 255.0 / 224.0;
    const int lumaOffset = fullRange ? 0 : 16;
    const auto fixed = [](double value) { return int(std::lround(value * 256.0)); };
    YuvToRgb c;
    c.luma = fixed(lumaScale);
    c.redFromV = fixed(chromaScale * 2.0 * (1.0 - kr));
    c.greenFromU = fixed(chromaScale * 2.0 * (1.0 - kb) * kb / kg);
    c.greenFromV = fixed(chromaScale * 2.0 * (1.0 - kr) * kr / kg);
    c.blueFromU = fixed(chromaScale * 2.0 * (1.0 - kb));
    const int lumaBase = c.luma * lumaOffset;
    c.redConstant = -lumaBase - c.redFromV * 128 + 128;
    c.greenConstant = -lumaBase + (c.greenFromU + c.greenFromV) * 128 + 128;
    c.blueConstant = -lumaBase - c.blueFromU * 128 + 128;
    return c;
}

// The matrix and range the frame says; unsaid, what Qt's own display assumes (BT.709
// above 576 lines, BT.601 below, video range), so both previews agree.
YuvToRgb yuvToRgbFor(const QVideoFrameFormat &format)
{
    QVideoFrameFormat::ColorSpace space = format.colorSpace();
    if (space == QVideoFrameFormat::ColorSpace_Undefined)
        space = format.frameHeight() > 576 ? QVideoFrameFormat::ColorSpace_BT709 : QVideoFrameFormat::ColorSpace_BT601;
    bool fullRange = format.colorRange() == QVideoFrameFormat::ColorRange_Full;
    switch (space) {
    case QVideoFrameFormat::ColorSpace_BT709:
        return yuvToRgbFor(0.2126, 0.0722, fullRange);
    case QVideoFrameFormat::ColorSpace_BT2020:
        return yuvToRgbFor(0.2627, 0.0593, fullRange);
    case QVideoFrameFormat::ColorSpace_AdobeRgb:
        // Qt's name for a file marked RGB; its display takes that as full-range BT.601.
        fullRange = true;
        [[fallthrough]];
    default:
        return yuvToRgbFor(0.299, 0.114, fullRange);
    }
}

enum class Layout { Planar8, Planar16, SemiPlanar8, SemiPlanar16 };

// Byte offsets of the samples to read, one table per output row and one per output
// column: a pixel's sample sits at plane + row[i] + column[j]. Which source axis an
// output axis walks, and in which direction, depends on the turn (clockwise degrees).
struct SampleOffsets {
    std::vector<qsizetype> lumaRow, lumaColumn;
    std::vector<qsizetype> uRow, vRow, chromaColumn;
    std::vector<qsizetype> vColumn; // differs from chromaColumn only through the planes' strides
};

SampleOffsets sampleOffsets(Layout layout, const int strides[3], bool semiPlanar, int width, int height,
                            const QSize &target, int rotation)
{
    // Offsets of the byte to read: the high byte of a little-endian 16-bit sample for
    // P010, whose samples sit in the top bits; for planar 10-bit, whose samples sit in
    // the low 10 bits, the start of the sample (the high byte alone would be 0..3).
    const auto lumaByte = [layout](int x) -> qsizetype {
        switch (layout) {
        case Layout::Planar8:
        case Layout::SemiPlanar8:
            return x;
        case Layout::Planar16:
            return 2 * x;
        case Layout::SemiPlanar16:
            return 2 * x + 1;
        }
        return x;
    };
    const auto chromaByte = [layout](int cx) -> qsizetype {
        switch (layout) {
        case Layout::Planar8:
            return cx;
        case Layout::Planar16:
        case Layout::SemiPlanar8:
            return 2 * cx;
        case Layout::SemiPlanar16:
            return 4 * cx + 1;
        }
        return cx;
    };
    const int vStride = semiPlanar ? strides[1] : strides[2];
    // Nearest sample of index k of count outputs along a source side of length n.
    const auto forward = [](int n, int k, int count) { return int(qint64(n) * k / count); };
    const auto backward = [](int n, int k, int count) { return n - 1 - int(qint64(n) * k / count); };

    SampleOffsets o;
    const int outWidth = target.width();
    const int outHeight = target.height();
    const bool quarter = rotation == 90 || rotation == 270;
    const auto fill = [&](std::vector<qsizetype> &luma, std::vector<qsizetype> &u, std::vector<qsizetype> &v,
                          int count, bool walksX, bool reversed) {
        luma.resize(count);
        u.resize(count);
        v.resize(count);
        const int n = walksX ? width : height;
        for (int k = 0; k < count; ++k) {
            const int s = reversed ? backward(n, k, count) : forward(n, k, count);
            if (walksX) {
                luma[k] = lumaByte(s);
                u[k] = v[k] = chromaByte(s / 2);
            } else {
                luma[k] = qsizetype(s) * strides[0];
                u[k] = qsizetype(s / 2) * strides[1];
                v[k] = qsizetype(s / 2) * vStride;
            }
        }
    };
    // Clockwise 90: output columns run up the source, rows along it; 270 the other way.
    const bool columnsReversed = rotation == 180 || rotation == 90;
    const bool rowsReversed = rotation == 180 || rotation == 270;
    fill(o.lumaColumn, o.chromaColumn, o.vColumn, outWidth, !quarter, columnsReversed);
    fill(o.lumaRow, o.uRow, o.vRow, outHeight, quarter, rowsReversed);
    return o;
}

QImage convertPlanes(Layout layout, const uchar *const planes[3], const int strides[3], int width, int height,
                     const QSize &target, int rotation, const YuvToRgb &toRgb)
{
    const int outWidth = target.width();
    const int outHeight = target.height();
    QImage image(outWidth, outHeight, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    const bool semiPlanar = layout == Layout::SemiPlanar8 || layout == Layout::SemiPlanar16;
    const int nextChroma = layout == Layout::SemiPlanar16 ? 2 : 1; // V follows U in the interleaved plane
    const SampleOffsets o = sampleOffsets(layout, strides, semiPlanar, width, height, target, rotation);
    const uchar *vPlane = semiPlanar ? planes[1] + nextChroma : planes[2];
    const auto steps = [](const std::vector<qsizetype> &offsets, qsizetype step) {
        for (size_t j = 0; j < offsets.size(); ++j) {
            if (offsets[j] != qsizetype(j) * step)
                return false;
        }
        return true;
    };
    // Unturned 8-bit planes at half size (the usual 1080p preview) are read in
    // place; any other layout gathers each row's samples first.
    const bool inPlace = layout == Layout::Planar8 && steps(o.lumaColumn, 2) && steps(o.chromaColumn, 1)
        && steps(o.vColumn, 1);
    std::vector<uchar> gathered(inPlace ? 0 : 3 * size_t(outWidth));
    uchar *ys = gathered.data();
    uchar *us = ys + outWidth;
    uchar *vs = us + outWidth;
    for (int i = 0; i < outHeight; ++i) {
        const uchar *yRow = planes[0] + o.lumaRow[i];
        const uchar *uRow = planes[1] + o.uRow[i];
        const uchar *vRow = vPlane + o.vRow[i];
        QRgb *out = reinterpret_cast<QRgb *>(image.scanLine(i));
        if (inPlace) {
            ImageKernels::yuvToRgbRow(yRow, 2, uRow, vRow, outWidth, toRgb, out);
            continue;
        }
        if (layout == Layout::Planar16) {
            const auto tenBit = [](const uchar *sample) {
                return uchar(qMin(255, (sample[0] | (sample[1] << 8)) >> 2));
            };
            for (int j = 0; j < outWidth; ++j) {
                ys[j] = tenBit(yRow + o.lumaColumn[j]);
                us[j] = tenBit(uRow + o.chromaColumn[j]);
                vs[j] = tenBit(vRow + o.vColumn[j]);
            }
        } else {
            for (int j = 0; j < outWidth; ++j) {
                ys[j] = yRow[o.lumaColumn[j]];
                us[j] = uRow[o.chromaColumn[j]];
                vs[j] = vRow[o.vColumn[j]];
            }
        }
        ImageKernels::yuvToRgbRow(ys, 1, us, vs, outWidth, toRgb, out);
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
        qCDebug(playerLog) << message << format << "- dropping frame";
    else
        qCDebug(playerLog) << message;
    if (count == 5)
        qCDebug(playerLog) << suppression;
}

} // namespace

FrameProcessingWorker::FrameProcessingWorker(QObject *parent)
    : QObject(parent)
    , processor(new FrameProcessor(this))
{
    qCDebug(playerLog) << "FrameProcessingWorker created - High-performance mode with frame dropping enabled";
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
                qCDebug(playerLog).noquote()
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
        qCDebug(playerLog).noquote() << QStringLiteral("Performance: %1 FPS, %2ms avg, %3ms latency, %4 dropped, queue: %5")
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
            qCDebug(playerLog) << "FrameProcessingWorker: frames processed with effects" << count;
        return processor->processFrame(image, request.clip, request.positionSeconds,
                                      quality == 1 ? ProcessingQuality::Draft : ProcessingQuality::High,
                                      request.scrubbing);
    }
    const int count = ++framesWithoutEffects;
    if (count % 60 == 0)
        qCDebug(playerLog) << "FrameProcessingWorker: frames forwarded without effects" << count;
    return image;
}

bool FrameProcessingWorker::convertsByHand(QVideoFrameFormat::PixelFormat format)
{
    return format == QVideoFrameFormat::Format_YUV420P || format == QVideoFrameFormat::Format_YUV420P10
        || format == QVideoFrameFormat::Format_NV12 || format == QVideoFrameFormat::Format_P010;
}

QImage FrameProcessingWorker::convertWhole(const QVideoFrame &frame)
{
    if (convertsByHand(frame.pixelFormat())) {
        QSize target = rotatedSize(frame.size(), frame.rotationAngle());
        if (target.width() > 1920 || target.height() > 1920)
            target = target.scaled(1920, 1920, Qt::KeepAspectRatio);
        QVideoFrame mapped = frame;
        if (mapped.map(QVideoFrame::ReadOnly)) {
            const QImage image = convertMapped(mapped, target);
            mapped.unmap();
            if (!image.isNull())
                return image;
        }
    }
    return frame.toImage();
}

QImage FrameProcessingWorker::convertFrame(const QVideoFrame &frame)
{
    // Frames in memory of the four common formats are converted here first:
    // sampling straight to preview size costs about 0.25 ms for 1080p with AVX2
    // (2 ms portable), where toImage() costs 8 ms on the CPU and over 60 ms
    // through a software OpenGL.
    if (convertsByHand(frame.pixelFormat())) {
        QVideoFrame mapped = frame;
        if (mapped.map(QVideoFrame::ReadOnly)) {
            const QImage image = convertMapped(mapped, shownPreviewSize(mapped));
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
        image = convertMapped(mapped, shownPreviewSize(mapped));
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
    return convertPlanes(layout, planes, strides, mapped.width(), mapped.height(), target, mapped.rotationAngle(),
                         yuvToRgbFor(mapped.surfaceFormat()));
}

QSize FrameProcessingWorker::shownPreviewSize(const QVideoFrame &frame)
{
    return previewSize(rotatedSize(frame.size(), frame.rotationAngle()));
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
