// How long the real window's event loop goes without a turn while a one-hour video's waveform
// and thumbnails are made (peaks decoded, pictures decoded as the timeline asks, zoomed in after
// a second to ask for more), beside the same window with nothing loading: empty, and with the
// same video loaded and paused once the work is done. The machine is shared, so the reference
// runs show what its load alone costs. Gaps between ticks of a 1 ms timer, wall time; and the
// longest stretch of the GUI thread's own CPU time between two ticks, which others' load does
// not lengthen.
//
// bench_windowstalls [one-hour video] (run under xvfb-run; default: the hour bench_waveform
// makes in the temp folder)
#include "audiowaveform.h"
#include "mainwindow.h"
#include "peakloader.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "thumbnailprovider.h"
#include "timelinewidget.h"
#include "videoplayer.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

struct Gaps {
    std::vector<double> wall; // ms between ticks
    double longestWorkMs = 0; // GUI thread CPU between two ticks
    double seconds = 0;
};

// Runs the event loop with a 1 ms timer until `done` (checked each turn) or the time limit.
Gaps measure(const std::function<bool()> &done, double limitMs, const std::function<void(double)> &atMs = {})
{
    Gaps gaps;
    QElapsedTimer total;
    QElapsedTimer sinceTick;
    double cpuAtTick = threadCpuMs();
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        gaps.wall.push_back(double(sinceTick.nsecsElapsed()) / 1e6);
        sinceTick.restart();
        const double cpu = threadCpuMs();
        gaps.longestWorkMs = std::max(gaps.longestWorkMs, cpu - cpuAtTick);
        cpuAtTick = cpu;
    });
    total.start();
    sinceTick.start();
    ticker.start();
    while (!done() && double(total.elapsed()) < limitMs) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        if (atMs)
            atMs(double(total.elapsed()));
    }
    ticker.stop();
    gaps.seconds = double(total.nsecsElapsed()) / 1e9;
    return gaps;
}

double quantile(std::vector<double> sorted, double q)
{
    if (sorted.empty())
        return -1;
    return sorted[std::min(sorted.size() - 1, size_t(q * double(sorted.size())))];
}

void report(const char *name, const Gaps &gaps)
{
    std::vector<double> sorted = gaps.wall;
    std::sort(sorted.begin(), sorted.end());
    const auto over = [&](double ms) { return long(std::count_if(sorted.begin(), sorted.end(), [ms](double g) { return g > ms; })); };
    std::printf("%-34s %6.1f s %7zu ticks  p50 %5.2f  p90 %5.2f  p99 %6.2f  p99.9 %6.2f  max %6.1f ms;"
                "  >8 ms %4ld  >16 ms %3ld  >33 ms %3ld;  longest GUI work %5.1f ms CPU\n",
                name, gaps.seconds, sorted.size(), quantile(sorted, 0.5), quantile(sorted, 0.9),
                quantile(sorted, 0.99), quantile(sorted, 0.999), sorted.empty() ? -1.0 : sorted.back(), over(8),
                over(16), over(33), gaps.longestWorkMs);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    useProgramMediaEnvironment();
    QTemporaryDir userFolders;
    useOwnUserFolders(userFolders.path());
    QApplication app(argc, argv);
    const QString source = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                    : QDir::temp().filePath(QStringLiteral("trimlet-bench-hour.mp4"));
    if (!QFileInfo::exists(source)) {
        std::printf("no %s: run bench_waveform once to make it, or name a one-hour video\n", qPrintable(source));
        return 1;
    }

    RecordingPrompts prompts;
    MainWindow window;
    window.setUserPrompts(&prompts);
    window.resize(1400, 900);
    window.show();
    // The welcome box comes a second after the window shows.
    measure([&] { return !prompts.messages.isEmpty(); }, 10000);

    std::printf("%s\n", qPrintable(source));
    const Gaps idle = measure([] { return false; }, 5000);

    AudioWaveform *strip = window.findChild<AudioWaveform *>();
    Media::PeakLoader *loader = strip ? strip->peakLoader() : nullptr;
    Media::ThumbnailProvider *thumbnails = window.timeline()->thumbnailProvider();
    if (!loader || !thumbnails) {
        std::printf("the window has no waveform or thumbnails\n");
        return 1;
    }
    bool paused = false;
    bool zoomed = false;
    window.loadVideo(source);
    const Gaps loading = measure(
        [&] {
            return zoomed && loader->state() != Media::PeakLoader::State::Reading && thumbnails->pendingCount() == 0;
        },
        600000,
        [&](double ms) {
            // Loading starts playback; the measurement is of the making, so it is paused at once.
            if (!paused && window.player()->isPlaying()) {
                window.playPause();
                paused = true;
            }
            if (!zoomed && ms > 1000) {
                window.timeline()->setZoomLevel(10);
                window.timeline()->setScrollOffset(window.timeline()->width() * 5);
                zoomed = true;
            }
        });
    const Gaps loaded = measure([] { return false; }, 5000);

    std::printf("event-loop gaps of the window (target: none over 16 ms)\n");
    report("empty window, nothing loading", idle);
    report("making peaks and thumbnails", loading);
    report("same video loaded, nothing loading", loaded);
    return 0;
}
