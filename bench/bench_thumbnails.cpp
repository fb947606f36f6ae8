// Thumbnails of a ten-minute 1080p30 recording with a key frame every 250 frames (8.3 s), on
// the timeline at its highest zoom: for several places along the file, the wall time from the
// scroll to a screenful of pictures, the process's CPU time meanwhile, the longest stretch the
// GUI thread worked between two ticks of the event loop, and how many pictures show the frame
// at their own time (a frame counter, modulo 1024, drawn in the picture's upper half).
// Usage: bench_thumbnails [video with the counter] [zoom]; without a video one is made with
// ffmpeg (minutes) and kept in the temp folder; the zoom is the highest unless given.
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

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString source = counterSource(argc, argv);
    if (source.isEmpty())
        return 1;

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
    const int zoom = argc > 2 ? qBound(kTimelineMinZoom, atoi(argv[2]), kTimelineMaxZoom) : kTimelineMaxZoom;
    timeline.setZoomLevel(zoom);
    timeline.show();

    QElapsedTimer sinceTick;
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
    double worstWork = 0;
    int rightTiles = 0;
    int allTiles = 0;
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
        worstWork = std::max(worstWork, longestWork);

        const qint64 scroll = timeline.scrollOffset();
        const int tileWidth = int(std::lround((top - 6) * provider.aspectRatio()));
        const qint64 left = timeToX(0, width, duration, zoom, scroll);
        // Only whole pictures: the last one of the part may be cut short by its end.
        const qint64 end = std::min<qint64>(width, timeToX(duration, width, duration, zoom, scroll) - 3);
        int right = 0;
        int tiles = 0;
        for (qint64 x = left + 3 + std::max<qint64>(0, -(left + 3) / tileWidth) * tileWidth;
             x + tileWidth <= end; x += tileWidth) {
            if (x < 0)
                continue;
            const qint64 time = xToTime(x, width, duration, zoom, scroll);
            const int expected = int(time * kFps / 1000 % 1024);
            ++tiles;
            const int seen = FrameCounter::read(image, QRect(int(x), top + 3, tileWidth, 4));
            right += seen == expected;
            if (seen != expected)
                std::printf("  at %.3f s (x %lld): frame %d, not %d\n", time / 1000.0, x, seen, expected);
        }
        rightTiles += right;
        allTiles += tiles;
        std::printf("at %7.1f s: screenful in %6.0f ms wall, %6.0f ms CPU; %d of %d pictures show their own frame\n",
                    from / 1000.0, walls.back(), cpus.back(), right, tiles);
    }
    std::sort(walls.begin(), walls.end());
    std::sort(cpus.begin(), cpus.end());
    std::printf("screenful at zoom %d: median %.0f ms wall (max %.0f), median %.0f ms CPU; "
                "%d of %d pictures right; longest GUI-thread work %.1f ms CPU\n",
                zoom, walls[walls.size() / 2], walls.back(), cpus[cpus.size() / 2], rightTiles, allTiles, worstWork);
    return 0;
}
