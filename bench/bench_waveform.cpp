// The waveform and the thumbnails of a one-hour source: decode time on one thread, time to
// the first peaks, reading the cache, memory for three hours, repaint times at 1000 parts,
// and the longest gap between event-loop ticks while both are made.
// Usage: bench_waveform [one-hour video]; without one, an hour of talking-like AAC 48 kHz
// stereo sound over a small picture is made with ffmpeg (minutes) and kept in the temp folder.
#include "audiopeaks.h"
#include "audiowaveform.h"
#include "cliplist.h"
#include "peakloader.h"
#include "thumbnailprovider.h"
#include "timelinewidget.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QWidget>

#include <functional>

#include <algorithm>
#include <ctime>
#include <sys/resource.h>
#include <vector>

namespace {

QTextStream out(stdout);

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

QString hourSource(int argc, char **argv)
{
    if (argc > 1)
        return QString::fromLocal8Bit(argv[1]);
    const QString path = QDir::temp().filePath(QStringLiteral("trimlet-bench-hour.mp4"));
    if (QFileInfo::exists(path))
        return path;
    out << "making " << path << " (one hour, takes minutes)" << Qt::endl;
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-f"),
                  QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("testsrc2=size=320x180:rate=10"),
                  QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                  QStringLiteral("sine=f=440:sample_rate=48000,volume='if(lt(mod(t,2),1),0.8,0)':eval=frame"),
                  QStringLiteral("-t"), QStringLiteral("3600"), QStringLiteral("-c:v"), QStringLiteral("libx264"),
                  QStringLiteral("-preset"), QStringLiteral("ultrafast"), QStringLiteral("-g"), QStringLiteral("50"),
                  QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"), QStringLiteral("-c:a"), QStringLiteral("aac"),
                  QStringLiteral("-ac"), QStringLiteral("2"), QStringLiteral("-b:a"), QStringLiteral("128k"), path});
    ffmpeg.waitForFinished(-1);
    return path;
}

ClipList manyParts(int count, qint64 sourceDuration)
{
    // Every other slice of the source kept, so each part is a jump in the source.
    ClipList clips;
    for (int i = 0; i < count; ++i) {
        Clip clip;
        clip.originalStart = sourceDuration * (2 * i) / (2 * count);
        clip.originalEnd = sourceDuration * (2 * i + 1) / (2 * count);
        clips.append(clip);
    }
    recalculateTimeline(clips);
    return clips;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString source = hourSource(argc, argv);

    // Decode alone, on this one thread.
    QElapsedTimer wall;
    wall.start();
    const double cpuStart = threadCpuMs();
    double firstRunMs = -1;
    double tenthMs = -1;
    double previewMs = -1;
    int previewCount = 0;
    qint64 blocks = 0;
    Media::PeakSource facts;
    const Media::PeakDecodeStatus status = Media::decodeAudioPeaks(source, nullptr, [&](std::vector<Media::Peak> &&run) {
        if (firstRunMs < 0)
            firstRunMs = wall.nsecsElapsed() / 1e6;
        blocks += qint64(run.size());
        if (tenthMs < 0 && blocks >= Media::peakBlockAt(360000))
            tenthMs = wall.nsecsElapsed() / 1e6;
    }, &facts, [&](std::vector<Media::TimedPeak> &&snippets) {
        previewMs = wall.nsecsElapsed() / 1e6;
        previewCount = int(snippets.size());
    }, 1024);
    const double decodeWall = wall.nsecsElapsed() / 1e6;
    const double decodeCpu = threadCpuMs() - cpuStart;
    out << QStringLiteral("source: %1 blocks (%2 s of sound, %3 Hz, %4 channels), status %5")
               .arg(blocks).arg(blocks / double(Media::kPeakBlocksPerSecond), 0, 'f', 1)
               .arg(facts.sampleRate).arg(facts.channels).arg(int(status)) << Qt::endl;
    out << QStringLiteral("waveform complete: %1 ms CPU on one thread, %2 ms wall (target 6000 ms)")
               .arg(decodeCpu, 0, 'f', 0).arg(decodeWall, 0, 'f', 0) << Qt::endl;
    out << QStringLiteral("preview of the whole hour (%1 snippets): %2 ms; first exact peaks: %3 ms; "
                          "exact first screenful at zoom 10 (6 min): %4 ms (target 500 ms)")
               .arg(previewCount).arg(previewMs, 0, 'f', 0).arg(firstRunMs, 0, 'f', 0).arg(tenthMs, 0, 'f', 0)
        << Qt::endl;

    // The cache, as the loader reads it on reopening, plus building the levels.
    QTemporaryDir cache;
    {
        Media::PeakLoader loader;
        loader.setCacheDirectory(cache.path());
        loader.load(source);
        while (loader.state() == Media::PeakLoader::State::Reading)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    {
        std::vector<double> times;
        for (int run = 0; run < 5; ++run) {
            QElapsedTimer timer;
            timer.start();
            const auto cached = Media::readPeakCache(cache.path(), source);
            Media::PeakPyramid pyramid;
            pyramid.reserve(qint64(cached->blocks.size()));
            pyramid.append(cached->blocks.data(), qint64(cached->blocks.size()));
            times.push_back(timer.nsecsElapsed() / 1e6);
        }
        out << QStringLiteral("from the cache (read, check, levels): median %1 ms (target 50 ms)")
                   .arg(median(times), 0, 'f', 1) << Qt::endl;
    }

    // Three hours of blocks held as the loader holds them.
    {
        const qint64 threeHours = Media::peakBlockAt(3 * 3600 * 1000) + 1;
        Media::PeakPyramid pyramid;
        pyramid.reserve(threeHours);
        std::vector<Media::Peak> run(1000, Media::Peak{-50, 60, 40});
        for (qint64 at = 0; at < threeHours; at += qint64(run.size()))
            pyramid.append(run.data(), std::min<qint64>(qint64(run.size()), threeHours - at));
        out << QStringLiteral("waveform memory for 3 hours: %1 MB in %2 levels (target 16 MB)")
                   .arg(pyramid.memoryBytes() / 1048576.0, 0, 'f', 2).arg(pyramid.levelCount()) << Qt::endl;
    }

    // Loading with empty caches while the event loop runs, as in the window: the strip and the
    // timeline shown, one part, painting when they ask to; after a second the view zooms in to
    // the middle, asking for more thumbnails. Measured: the longest gap between ticks of a
    // 1 ms timer (wall time), and the longest stretch the GUI thread itself worked between two
    // ticks (its CPU time, which the machine's other load does not lengthen).
    const qint64 hourMs = blocks * 1000 / Media::kPeakBlocksPerSecond;
    QTemporaryDir freshCache;
    Media::PeakLoader loader;
    loader.setCacheDirectory(freshCache.path());
    Media::ThumbnailProvider thumbnails;
    QWidget window;
    window.resize(1400, 200);
    TimelineWidget timeline(&window);
    AudioWaveform strip(&window);
    timeline.setGeometry(0, 70, 1400, 120);
    strip.setGeometry(0, 0, 1400, 60);
    strip.setPeakLoader(&loader);
    strip.followTimeline(&timeline);
    timeline.setThumbnailProvider(&thumbnails);
    Clip whole;
    whole.originalEnd = hourMs;
    ClipList clips{whole};
    timeline.setDuration(recalculateTimeline(clips));
    timeline.setClips(clips);
    window.show();

    int paints = 0;
    double firstPaintWithPeaks = -1;
    double firstPaintWithPreview = -1;
    QElapsedTimer loading;
    struct PaintWatch : QObject {
        std::function<void()> onPaint;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Paint)
                onPaint();
            return false;
        }
    } watch;
    watch.onPaint = [&] {
        ++paints;
        if (firstPaintWithPeaks < 0 && loader.peaks().blockCount() > 0)
            firstPaintWithPeaks = loading.nsecsElapsed() / 1e6;
        if (firstPaintWithPreview < 0 && !loader.preview().empty())
            firstPaintWithPreview = loading.nsecsElapsed() / 1e6;
    };
    strip.installEventFilter(&watch);

    QElapsedTimer sinceTick;
    double cpuAtTick = threadCpuMs();
    double longestGap = 0;
    double longestWork = 0;
    QTimer ticker;
    ticker.setInterval(1);
    // Whether the GUI thread waited for something (voluntary switches) or was pushed off the
    // CPU by other work (forced) during the longest gap.
    long longestVoluntary = 0;
    long longestForced = 0;
    rusage atTick{};
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double gap = sinceTick.nsecsElapsed() / 1e6;
        sinceTick.restart();
        rusage now{};
        getrusage(RUSAGE_THREAD, &now);
        if (gap > longestGap) {
            longestGap = gap;
            longestVoluntary = now.ru_nvcsw - atTick.ru_nvcsw;
            longestForced = now.ru_nivcsw - atTick.ru_nivcsw;
        }
        atTick = now;
        const double cpu = threadCpuMs();
        longestWork = std::max(longestWork, cpu - cpuAtTick);
        cpuAtTick = cpu;
    });
    auto runFor = [&](auto until) {
        longestGap = 0;
        longestWork = 0;
        sinceTick.start();
        cpuAtTick = threadCpuMs();
        getrusage(RUSAGE_THREAD, &atTick);
        ticker.start();
        // With a time limit processEvents never waits: its spinning took a core from the work
        // measured. The ticker wakes the wait.
        while (!until())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ticker.stop();
    };
    loading.start();
    runFor([&] { return loading.elapsed() > 2000; });
    out << QStringLiteral("event loop with nothing loading: longest gap %1 ms (GUI thread waited %2 times, was "
                          "preempted %3 times in it), longest GUI-thread work %4 ms CPU")
               .arg(longestGap, 0, 'f', 1).arg(longestVoluntary).arg(longestForced).arg(longestWork, 0, 'f', 1)
        << Qt::endl;

    paints = 0;
    bool zoomed = false;
    loading.restart();
    loader.load(source);
    thumbnails.setSource(source);
    runFor([&] {
        if (!zoomed && loading.elapsed() > 1000) {
            timeline.setZoomLevel(10);
            timeline.setScrollOffset(timeline.width() * 5);
            zoomed = true;
        }
        return zoomed && loader.state() != Media::PeakLoader::State::Reading && thumbnails.pendingCount() == 0;
    });
    const double loadMs = loading.nsecsElapsed() / 1e6;
    out << QStringLiteral("loading in the event loop: whole-hour preview painted after %1 ms, first exact peaks "
                          "painted after %2 ms, peaks and thumbnails complete after %3 ms (%4 strip paints)")
               .arg(firstPaintWithPreview, 0, 'f', 0).arg(firstPaintWithPeaks, 0, 'f', 0).arg(loadMs, 0, 'f', 0)
               .arg(paints) << Qt::endl;
    out << QStringLiteral("meanwhile: longest gap between event-loop ticks %1 ms (target 16 ms; GUI thread waited %2 "
                          "times, was preempted %3 times in it), longest GUI-thread work %4 ms CPU")
               .arg(longestGap, 0, 'f', 1).arg(longestVoluntary).arg(longestForced).arg(longestWork, 0, 'f', 1)
        << Qt::endl;
    window.hide();
    QImage timelineImage(timeline.size(), QImage::Format_ARGB32_Premultiplied);
    QImage stripImage(strip.size(), QImage::Format_ARGB32_Premultiplied);

    // Repaints with everything in place: the timeline with its pictures, the strip redrawn.
    for (const int parts : {100, 1000}) {
        clips = manyParts(parts, hourMs);
        timeline.setClips(clips);
        timeline.setDuration(clips.last().endTime);
        for (const int zoom : {1, 10}) {
            timeline.setZoomLevel(zoom);
            timeline.setScrollOffset(timeline.width() * zoom / 3);
            // Until the visible pictures are all there.
            for (int wait = 0; wait < 400; ++wait) {
                timeline.render(&timelineImage);
                if (thumbnails.pendingCount() == 0 && wait > 2)
                    break;
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
            }
            // The same timeline without pictures, in the same run: the machine's load cancels out.
            std::vector<double> bareTimes;
            timeline.setThumbnailProvider(nullptr);
            for (int run = 0; run < 30; ++run) {
                QElapsedTimer timer;
                timer.start();
                timeline.render(&timelineImage);
                bareTimes.push_back(timer.nsecsElapsed() / 1e6);
            }
            timeline.setThumbnailProvider(&thumbnails);
            std::vector<double> timelineTimes;
            std::vector<double> stripTimes;
            for (int run = 0; run < 30; ++run) {
                QElapsedTimer timer;
                timer.start();
                timeline.render(&timelineImage);
                timelineTimes.push_back(timer.nsecsElapsed() / 1e6);
                // A changed part list makes the strip draw its picture anew.
                clips[0].isMarked = !clips[0].isMarked;
                strip.setClips(clips);
                timer.restart();
                strip.render(&stripImage);
                stripTimes.push_back(timer.nsecsElapsed() / 1e6);
            }
            out << QStringLiteral("repaint, %1 parts at zoom %2: timeline with thumbnails %3 ms (without %4 ms), "
                                  "strip redrawn %5 ms, together %6 ms (target 16 ms)")
                       .arg(parts).arg(zoom).arg(median(timelineTimes), 0, 'f', 2)
                       .arg(median(bareTimes), 0, 'f', 2).arg(median(stripTimes), 0, 'f', 2)
                       .arg(median(timelineTimes) + median(stripTimes), 0, 'f', 2) << Qt::endl;
        }
    }
    return 0;
}
