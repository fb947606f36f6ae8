// Per-frame CPU time of the preview effects at 960x540 on one thread, beside
// FFmpeg's CPU time for the nearest equivalent filter chain on one thread.
#include "benchsupport.h"
#include "frameprocessor.h"
#include "imagekernels.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kWidth = 960;
constexpr int kHeight = 540;

// One frame of FFmpeg's moving test pattern, so both sides see the same picture.
QImage testFrame()
{
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", QStringLiteral("testsrc2=s=%1x%2:d=1").arg(kWidth).arg(kHeight),
                            "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "bgra", "-"});
    ffmpeg.waitForFinished(60000);
    const QByteArray data = ffmpeg.readAllStandardOutput();
    QImage image(kWidth, kHeight, QImage::Format_ARGB32);
    if (data.size() != kWidth * kHeight * 4) {
        std::fprintf(stderr, "ffmpeg test frame unavailable; using a gradient\n");
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                image.setPixel(x, y, qRgb(x * 255 / kWidth, y * 255 / kHeight, (x + y) & 255));
        return image;
    }
    memcpy(image.bits(), data.constData(), data.size());
    return image;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "default.debug=false");
    QGuiApplication app(argc, argv); // fonts for the title
    const int runs = argc > 1 ? std::max(5, atoi(argv[1])) : 41;
    // An optional second argument keeps only the cases whose name contains it;
    // "pairs" runs only the paired comparison with FFmpeg.
    const QByteArray only = argc > 2 ? QByteArray(argv[2]) : QByteArray();
    const int pairs = argc > 3 ? std::max(1, atoi(argv[3])) : 7;

    const QImage frame = testFrame();
    FrameProcessor processor;

    struct Case {
        const char *name;
        std::function<void(Clip &)> setup;
        ProcessingQuality quality;
    };
    const std::vector<Case> cases = {
        {"no effects (32-bit copy only)", [](Clip &) {}, ProcessingQuality::High},
        {"blur 100, High (exact)", [](Clip &c) { c.blurIntensity = 100; }, ProcessingQuality::High},
        {"blur 25, High (exact)", [](Clip &c) { c.blurIntensity = 25; }, ProcessingQuality::High},
        {"blur 5, High (exact)", [](Clip &c) { c.blurIntensity = 5; }, ProcessingQuality::High},
        {"blur 100, Draft", [](Clip &c) { c.blurIntensity = 100; }, ProcessingQuality::Draft},
        {"brightness 20", [](Clip &c) { c.brightness = 20; }, ProcessingQuality::High},
        {"contrast 30", [](Clip &c) { c.contrast = 30; }, ProcessingQuality::High},
        {"saturation 50", [](Clip &c) { c.saturation = 50; }, ProcessingQuality::High},
        {"grayscale", [](Clip &c) { c.grayscale = true; }, ProcessingQuality::High},
        {"sepia", [](Clip &c) { c.sepia = true; }, ProcessingQuality::High},
        {"fade-in at half", [](Clip &c) { c.fadeInDuration = 2000; }, ProcessingQuality::High},
        {"opacity 70", [](Clip &c) { c.opacity = 70; }, ProcessingQuality::High},
        {"rotation 90", [](Clip &c) { c.rotation = 90; }, ProcessingQuality::High},
        {"title", [](Clip &c) { c.showTitle = true; c.titleText = "A title over the picture"; }, ProcessingQuality::High},
        {"ALL, blur 100 High", [](Clip &c) {
             c.blurIntensity = 100; c.brightness = 20; c.contrast = 30; c.saturation = 50;
             c.grayscale = true; c.sepia = true; c.fadeInDuration = 2000; c.opacity = 70;
             c.showTitle = true; c.titleText = "A title over the picture"; }, ProcessingQuality::High},
        {"ALL, Draft", [](Clip &c) {
             c.blurIntensity = 100; c.brightness = 20; c.contrast = 30; c.saturation = 50;
             c.grayscale = true; c.sepia = true; c.fadeInDuration = 2000; c.opacity = 70;
             c.showTitle = true; c.titleText = "A title over the picture"; }, ProcessingQuality::Draft},
    };

    using ImageKernels::SimdLevel;
    const SimdLevel best = ImageKernels::supportedSimdLevel();
    std::printf("CPU time per frame at %dx%d, median of %d runs, one thread (ms; -1: not on this CPU)\n", kWidth,
                kHeight, runs);
    std::printf("%-32s %10s %10s %10s\n", "case", "avx512", "avx2", "portable");
    Clip allEffects;
    for (const Case &c : cases) {
        if (QByteArray(c.name) == "ALL, blur 100 High") {
            allEffects.originalStart = 0;
            allEffects.originalEnd = 10000;
            allEffects.endTime = 10000;
            c.setup(allEffects);
        }
        if (only == "pairs" || (!only.isEmpty() && !QByteArray(c.name).contains(only)))
            continue;
        Clip clip;
        clip.originalStart = 0;
        clip.originalEnd = 10000;
        clip.endTime = 10000;
        c.setup(clip);
        double times[3] = {-1, -1, -1};
        for (SimdLevel level : {SimdLevel::Avx512, SimdLevel::Avx2, SimdLevel::Portable}) {
            if (level > best)
                continue;
            ImageKernels::setSimdLevel(level);
            times[int(level)] = Bench::medianCpuMs(level == SimdLevel::Portable ? std::max(5, runs / 4) : runs,
                                         [&] { processor.processFrame(frame, clip, 1.0, c.quality, false); });
        }
        ImageKernels::setSimdLevel(best);
        std::printf("%-32s %10.2f %10.2f %10.2f\n", c.name, times[2], times[1], times[0]);
    }

    if (!only.isEmpty() && only != "pairs")
        return 0;
    // The literal per-pixel double blur the fast one stands in for.
    if (only.isEmpty()) {
        const QVector<double> kernel = FrameProcessor::gaussianKernel(20.0);
        const int r = int(kernel.size()) / 2;
        auto reference = [&] {
            auto pass = [&](const QImage &in, bool horizontal) {
                QImage out = in.copy();
                for (int y = 0; y < in.height(); ++y)
                    for (int x = 0; x < in.width(); ++x) {
                        double a = 0, red = 0, green = 0, blue = 0;
                        for (int k = 0; k < kernel.size(); ++k) {
                            const QRgb p = horizontal ? in.pixel(qBound(0, x + k - r, in.width() - 1), y)
                                                      : in.pixel(x, qBound(0, y + k - r, in.height() - 1));
                            a += qAlpha(p) * kernel[k];
                            red += qRed(p) * kernel[k];
                            green += qGreen(p) * kernel[k];
                            blue += qBlue(p) * kernel[k];
                        }
                        out.setPixel(x, y, qRgba(qMin(int(red), 255), qMin(int(green), 255), qMin(int(blue), 255),
                                                 qMin(int(a), 255)));
                    }
                return out;
            };
            pass(pass(frame, true), false);
        };
        const double referenceMs = Bench::medianCpuMs(3, reference);
        const double fastMs = Bench::medianCpuMs(runs, [&] { processor.exactGaussianBlur(frame, 20.0); });
        std::printf("\nExact blur sigma 20: per-pixel double reference %.1f ms, fast %.2f ms (%.0fx)\n", referenceMs,
                    fastMs, referenceMs / fastMs);
    }

    // FFmpeg's nearest chain, in turns with ours, on the very picture measured
    // above (32-bit BGRA, which FFmpeg turns into yuva444p for gblur, eq and hue
    // and into argb for colorchannelmixer); then once on 4:2:0 video frames,
    // which carry fewer samples per pixel than the preview's images.
    const int frames = 150;
    const QString chain = Bench::allEffectsChain();
    const QString size = QStringLiteral("%1x%2").arg(kWidth).arg(kHeight);
    QTemporaryDir dir;
    QFile raw(dir.filePath("frame.bgra"));
    if (!dir.isValid() || !raw.open(QIODevice::WriteOnly)
        || raw.write(reinterpret_cast<const char *>(frame.constBits()), frame.sizeInBytes()) != frame.sizeInBytes()) {
        std::printf("\nNo temporary file for FFmpeg's input\n");
        return 1;
    }
    raw.close();
    std::printf("\nAll effects, blur 100 High, against FFmpeg's chain on the same 32-bit frames (CPU time):\n");
    Bench::pairedWithFfmpeg(
        pairs,
        [&](SimdLevel level) {
            return Bench::medianCpuMs(level == SimdLevel::Portable ? 5 : 15,
                                      [&] { processor.processFrame(frame, allEffects, 1.0, ProcessingQuality::High, false); });
        },
        [&] {
            return Bench::ffmpegChainMs({"-f", "rawvideo", "-pix_fmt", "bgra", "-s", size, "-framerate", "30",
                                         "-stream_loop", "-1", "-i", raw.fileName()},
                                        chain, frames);
        });
    const double yuvMs =
        Bench::ffmpegChainMs({"-f", "lavfi", "-i", QStringLiteral("testsrc2=s=%1:r=30").arg(size)}, chain, frames);
    std::printf("FFmpeg's chain on 4:2:0 video frames: %.2f ms/frame\n", yuvMs);
    return 0;
}
