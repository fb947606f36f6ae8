// Thumbnails of a ten-minute 1080p30 recording with a key frame every 250 frames (8.3 s), on
// the timeline at zooms 1, 4 and 10: for several places along the file, the wall time from the
// scroll to a screenful of pictures, the process's CPU time meanwhile, the longest stretch the
// GUI thread worked between two ticks of the event loop, and how many pictures show a frame
// shown during their own tile's span of time, and how many the frame at its left edge (a frame
// counter, modulo 1024, drawn in the picture's upper half).
// Usage: bench_thumbnails [video with the counter] [zoom]; without a video one is made with
// ffmpeg (minutes) and kept in the temp folder; without a zoom, zooms 1, 4 and 10 in turn.
#include "cliplist.h"
#include "framecounter.h"
#include "testmedia.h"
#include "thumbnailprovider.h"
#include "timelinegeometry.h"
#include "timelinewidget.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>

namespace {

constexpr int kFps = 30;
constexpr int kSeconds = 600;

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double processCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

QString counterSource(int argc, char **argv)
{
    if (argc > 1)
        return QString::fromLocal8Bit(argv[1]);
    const QString path = QDir::temp().filePath(QStringLiteral("trimlet-bench-longgop-1080p.mp4"));
    if (QFileInfo::exists(path))
        return path;
    std::printf("making %s (ten minutes of 1080p, takes minutes)\n", qPrintable(path));
    std::fflush(stdout);
    // The counter drawn small and enlarged: drawing it at full size costs more than encoding.
    const QString graph = FrameCounter::pictureSource(160, 45, kFps, kSeconds)
        + QStringLiteral(",scale=1920:540:flags=neighbor[counter];testsrc2=s=1920x540:r=%1:d=%2[moving];"
                         "[counter][moving]vstack,format=yuv420p")
              .arg(kFps)
              .arg(kSeconds);
    QString errors;
    if (!TestMedia::runFFmpeg({"-f", "lavfi", "-i", graph, "-c:v", "libx264", "-preset", "veryfast",
                               "-x264-params", "keyint=250:min-keyint=250:scenecut=0", path},
                              &errors)) {
        std::printf("ffmpeg failed: %s\n", qPrintable(errors));
        return {};
    }
    return path;
}

struct Figures {
    double wall = 0;
    double cpu = 0;
    double worstWork = 0;
    int inSpan = 0;
    int exact = 0;
    int tiles = 0;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// A fresh provider and timeline, so no zoom profits from another's pictures.
Figures timeZoom(const QString &source, int zoom)
{
    Media::ThumbnailProvider provider;
    TimelineWidget timeline;
    timeline.resize(1400, 120);
    timeline.setThumbnailProvider(&provider);
    Clip whole;
    whole.originalEnd = kSeconds * 1000;
    ClipList clips{whole};
    const qint64 duration = recalculateTimeline(clips);
    timeline.setDuration(duration);
    timeline.setClips(clips);
    timeline.setZoomLevel(zoom);
    timeline.show();

    double cpuAtTick = threadCpuMs();
    double longestWork = 0;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double cpu = threadCpuMs();
        longestWork = std::max(longestWork, cpu - cpuAtTick);
        cpuAtTick = cpu;
    });

    const int top = timeline.height() / 3;
    const QColor placeholder(40, 70, 100);
    const int width = timeline.width();
    QImage image(timeline.size(), QImage::Format_ARGB32_Premultiplied);
    const auto filled = [&] {
        if (provider.pendingCount() > 0)
            return false;
        timeline.render(&image);
        for (int x = 0; x < width; ++x) {
            if (QColor(image.pixel(x, top + 5)) == placeholder)
                return false;
        }
        return true;
    };

    provider.setSource(source);
    std::vector<double> walls;
    std::vector<double> cpus;
    Figures figures;
    // Places spread along the file, never two in the same screenful (at low zooms fewer).
    std::vector<qint64> scrolls;
    for (int place = 0; place < 8; ++place) {
        const qint64 from = duration * (2 * place + 1) / 17;
        const qint64 wantedScroll = clampTimelineScrollOffset(timeToX(from, width, duration, zoom) - kTimelineMargin,
                                                              width, zoom);
        if (std::find(scrolls.begin(), scrolls.end(), wantedScroll) != scrolls.end())
            continue;
        scrolls.push_back(wantedScroll);
        QElapsedTimer wall;
        wall.start();
        const double cpuBefore = processCpuMs();
        longestWork = 0;
        cpuAtTick = threadCpuMs();
        ticker.start();
        timeline.setScrollOffset(wantedScroll);
        while (!filled() && wall.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ticker.stop();
        walls.push_back(double(wall.nsecsElapsed()) / 1e6);
        cpus.push_back(processCpuMs() - cpuBefore);
        figures.worstWork = std::max(figures.worstWork, longestWork);

        const qint64 scroll = timeline.scrollOffset();
        const int tileWidth = int(std::lround((top - 6) * provider.aspectRatio()));
        const qint64 left = timeToX(0, width, duration, zoom, scroll);
        // Only whole pictures: the last one of the part may be cut short by its end.
        const qint64 end = std::min<qint64>(width, timeToX(duration, width, duration, zoom, scroll) - 3);
        int inSpan = 0;
        int exact = 0;
        int tiles = 0;
        for (qint64 x = left + 3 + std::max<qint64>(0, -(left + 3) / tileWidth) * tileWidth;
             x + tileWidth <= end; x += tileWidth) {
            if (x < 0)
                continue;
            const qint64 time = xToTime(x, width, duration, zoom, scroll);
            const qint64 spanEnd = xToTime(x + tileWidth, width, duration, zoom, scroll);
            // The frames on screen from the tile's left edge's time to the last ms of its span.
            const qint64 firstFrame = time * kFps / 1000;
            const qint64 lastFrame = std::max(firstFrame, (spanEnd - 1) * kFps / 1000);
            ++tiles;
            const int seen = FrameCounter::read(image, QRect(int(x), top + 3, tileWidth, 4));
            const bool within = seen >= 0 && (seen - firstFrame % 1024 + 1024) % 1024 <= lastFrame - firstFrame;
            inSpan += within;
            exact += seen == int(firstFrame % 1024);
            if (!within)
                std::printf("  at %.3f s (x %lld): frame %d, not within %lld-%lld\n", time / 1000.0, x, seen,
                            firstFrame % 1024, lastFrame % 1024);
        }
        figures.inSpan += inSpan;
        figures.exact += exact;
        figures.tiles += tiles;
        std::printf("zoom %2d at %7.1f s: screenful in %6.0f ms wall, %6.0f ms CPU; of %d pictures %d within "
                    "their span, %d at their left edge's time\n",
                    zoom, from / 1000.0, walls.back(), cpus.back(), tiles, inSpan, exact);
        std::fflush(stdout);
    }
    figures.wall = median(walls);
    figures.cpu = median(cpus);
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString source = counterSource(argc, argv);
    if (source.isEmpty())
        return 1;
    std::vector<int> zooms{1, 4, 10};
    if (argc > 2)
        zooms = {qBound(kTimelineMinZoom, atoi(argv[2]), kTimelineMaxZoom)};
    std::vector<Figures> all;
    for (const int zoom : zooms)
        all.push_back(timeZoom(source, zoom));
    std::printf("\nzoom | screenful wall (median) | CPU (median) | within span | at left edge | longest GUI work\n");
    for (size_t i = 0; i < zooms.size(); ++i) {
        const Figures &f = all[i];
        std::printf("%4d | %20.0f ms | %9.0f ms | %5d of %-4d | %5d of %-4d | %.1f ms CPU\n", zooms[i], f.wall, f.cpu,
                    f.inSpan, f.tiles, f.exact, f.tiles, f.worstWork);
    }
    return 0;
}
