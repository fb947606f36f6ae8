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

#include <algorithm>
#include <ctime>
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

    // Loading with empty caches while the event loop runs: the longest gap between ticks of a
    // 1 ms timer, the widgets repainting as the peaks and the pictures arrive.
    const qint64 hourMs = blocks * 1000 / Media::kPeakBlocksPerSecond;
    QTemporaryDir freshCache;
    Media::PeakLoader loader;
    loader.setCacheDirectory(freshCache.path());
    Media::ThumbnailProvider thumbnails;
    TimelineWidget timeline;
    AudioWaveform strip;
    timeline.resize(1400, 120);
    strip.resize(1400, 60);
    strip.setPeakLoader(&loader);
    strip.followTimeline(&timeline);
    timeline.setThumbnailProvider(&thumbnails);
    ClipList clips = manyParts(100, hourMs);
    timeline.setDuration(clips.last().endTime);
    timeline.setClips(clips);
    timeline.setZoomLevel(4);
    QImage timelineImage(timeline.size(), QImage::Format_ARGB32_Premultiplied);
    QImage stripImage(strip.size(), QImage::Format_ARGB32_Premultiplied);

    QElapsedTimer sinceTick;
    QElapsedTimer loading;
    double longestGap = 0;
    double firstPaintWithPeaks = -1;
    double firstPaintWithPreview = -1;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, sinceTick.nsecsElapsed() / 1e6);
        sinceTick.restart();
    });
    QTimer painter;
    painter.setInterval(16);
    QObject::connect(&painter, &QTimer::timeout, [&] {
        timeline.render(&timelineImage);
        strip.render(&stripImage);
        if (firstPaintWithPeaks < 0 && loader.peaks().blockCount() > 0)
            firstPaintWithPeaks = loading.nsecsElapsed() / 1e6;
        if (firstPaintWithPreview < 0 && !loader.preview().empty())
            firstPaintWithPreview = loading.nsecsElapsed() / 1e6;
    });
    // The same loop with nothing loading: what the machine itself adds.
    loading.start();
    sinceTick.start();
    ticker.start();
    painter.start();
    while (loading.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    out << QStringLiteral("longest gap between event-loop ticks with nothing loading: %1 ms")
               .arg(longestGap, 0, 'f', 1) << Qt::endl;
    longestGap = 0;
    loading.restart();
    loader.load(source);
    thumbnails.setSource(source);
    while (loader.state() == Media::PeakLoader::State::Reading || thumbnails.pendingCount() > 0
           || loading.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    const double loadMs = loading.nsecsElapsed() / 1e6;
    ticker.stop();
    painter.stop();
    out << QStringLiteral("loading in the event loop: whole-hour preview painted after %1 ms, first exact peaks "
                          "painted after %2 ms, complete after %3 ms")
               .arg(firstPaintWithPreview, 0, 'f', 0).arg(firstPaintWithPeaks, 0, 'f', 0).arg(loadMs, 0, 'f', 0)
        << Qt::endl;
    out << QStringLiteral("longest gap between event-loop ticks meanwhile: %1 ms (target 16 ms)")
               .arg(longestGap, 0, 'f', 1) << Qt::endl;

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
            out << QStringLiteral("repaint, %1 parts at zoom %2: timeline with thumbnails %3 ms, strip redrawn %4 ms, "
                                  "together %5 ms (target 16 ms)")
                       .arg(parts).arg(zoom).arg(median(timelineTimes), 0, 'f', 2)
                       .arg(median(stripTimes), 0, 'f', 2)
                       .arg(median(timelineTimes) + median(stripTimes), 0, 'f', 2) << Qt::endl;
        }
    }
    return 0;
}
