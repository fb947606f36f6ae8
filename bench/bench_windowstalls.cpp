// How long the real window's event loop goes without a turn while a one-hour video's waveform
// and thumbnails are made (peaks decoded, pictures decoded as the timeline asks, zoomed in after
// a second to ask for more), beside the same window with nothing loading: empty, and with the
// same video loaded and paused once the work is done. The machine is shared, so the reference
// runs show what its load alone costs. For each: the distribution of the gaps between ticks of a
// 1 ms timer (wall time), and of the GUI thread's own CPU time in the same gaps, which others'
// load does not lengthen; the events that took over 8 ms of it, by receiver and event type; and
// how often the window was repainted (under Xvfb each repaint is composed through llvmpipe on
// other threads, and the GUI thread waits for it).
//
// bench_windowstalls [one-hour video] (under xvfb-run; default: the hour bench_waveform makes in
// the temp folder). BENCH_STALLS_LOAD_ONLY=1 ends it 1.5 s into the load, for a profiler;
// BENCH_STALLS_UNPACED=1 repaints every arrival at once, for comparison.
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
#include <QMediaPlayer>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <algorithm>
#include <cstdlib>
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
    std::vector<double> work; // GUI thread CPU ms between the same ticks
    std::vector<double> at;   // ms from the start, at the tick
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
        gaps.work.push_back(cpu - cpuAtTick);
        gaps.at.push_back(double(total.nsecsElapsed()) / 1e6);
        cpuAtTick = cpu;
    });
    total.start();
    sinceTick.start();
    ticker.start();
    // Waits for events (the ticker wakes it): processEvents with a time limit never waits, and
    // its spinning would take a core from the work measured.
    while (!done() && double(total.elapsed()) < limitMs) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
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

// The gaps that began after `fromMs`.
Gaps after(const Gaps &gaps, double fromMs)
{
    Gaps kept;
    kept.seconds = gaps.seconds;
    for (size_t i = 0; i < gaps.at.size(); ++i) {
        if (gaps.at[i] - gaps.wall[i] >= fromMs) {
            kept.wall.push_back(gaps.wall[i]);
            kept.work.push_back(gaps.work[i]);
            kept.at.push_back(gaps.at[i]);
        }
    }
    if (!kept.at.empty())
        kept.seconds = (kept.at.back() - kept.at.front() + kept.wall.front()) / 1e3;
    return kept;
}

void report(const char *name, const Gaps &gaps)
{
    for (const auto &[what, values] : {std::pair{"wall", &gaps.wall}, std::pair{"GUI CPU", &gaps.work}}) {
        std::vector<double> sorted = *values;
        std::sort(sorted.begin(), sorted.end());
        const auto over = [&](double ms) {
            return long(std::count_if(sorted.begin(), sorted.end(), [ms](double g) { return g > ms; }));
        };
        std::printf("%-36s %-7s %5.1f s %6zu gaps  p50 %5.2f  p90 %5.2f  p99 %6.2f  p99.9 %6.2f  max %6.1f ms;"
                    "  >8 ms %4ld  >16 ms %3ld  >33 ms %3ld\n",
                    name, what, gaps.seconds, sorted.size(), quantile(sorted, 0.5), quantile(sorted, 0.9),
                    quantile(sorted, 0.99), quantile(sorted, 0.999), sorted.empty() ? -1.0 : sorted.back(),
                    over(8), over(16), over(33));
        name = "";
    }
    // Where the GUI thread's own longest stretches fell, to find them again under a profiler.
    std::vector<size_t> order(gaps.work.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return gaps.work[a] > gaps.work[b]; });
    std::printf("%-36s longest GUI work:", "");
    for (size_t i = 0; i < std::min<size_t>(5, order.size()); ++i)
        std::printf(" %.1f ms CPU (%.1f wall) at %.0f ms;", gaps.work[order[i]], gaps.wall[order[i]], gaps.at[order[i]]);
    std::printf("\n");
    std::fflush(stdout);
}

// Times every event the GUI thread delivers from its loop, by its own CPU time, and keeps
// those over 8 ms with what received them: a stall named, not just seen.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;
    QElapsedTimer clock;
    struct Slow {
        double atMs;
        double cpuMs;
        double wallMs;
        QByteArray what;
    };
    std::vector<Slow> slow;
    int windowPaints = 0; // update requests of top-level windows: each a paint and a flush

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (depth > 0 || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        ++depth;
        // The receiver may be gone afterwards (a deferred delete).
        const char *className = receiver->metaObject()->className();
        const int type = int(event->type());
        if (type == QEvent::UpdateRequest && receiver->isWidgetType() && static_cast<QWidget *>(receiver)->isWindow())
            ++windowPaints;
        const double cpu = threadCpuMs();
        QElapsedTimer wall;
        wall.start();
        const bool result = QApplication::notify(receiver, event);
        const double spent = threadCpuMs() - cpu;
        if (spent > 8) {
            QByteArray what = className;
            what += ' ' + QByteArray::number(type);
            if (type == QEvent::MetaCall)
                what += " (queued call)";
            slow.push_back({double(clock.elapsed()), spent, double(wall.nsecsElapsed()) / 1e6, what});
        }
        --depth;
        return result;
    }

private:
    int depth = 0;
};

} // namespace

int main(int argc, char **argv)
{
    useProgramMediaEnvironment();
    QTemporaryDir userFolders;
    useOwnUserFolders(userFolders.path());
    TimedApplication app(argc, argv);
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
    // The greeting comes a second after the window shows.
    measure([&] { return window.hasGreeted(); }, 10000);

    std::printf("%s\n", qPrintable(source));
    const Gaps idle = measure([] { return false; }, 5000);

    AudioWaveform *strip = window.findChild<AudioWaveform *>();
    Media::PeakLoader *loader = strip ? strip->peakLoader() : nullptr;
    Media::ThumbnailProvider *thumbnails = window.timeline()->thumbnailProvider();
    if (!loader || !thumbnails) {
        std::printf("the window has no waveform or thumbnails\n");
        return 1;
    }
    // As before arrivals were paced: every batch of peaks and every picture repaints at once
    // (the strip from its kept picture, which changes the paint's cost, not the composition's).
    if (qEnvironmentVariableIsSet("BENCH_STALLS_UNPACED")) {
        QObject::connect(loader, &Media::PeakLoader::peaksChanged, strip, qOverload<>(&QWidget::update));
        QObject::connect(thumbnails, &Media::ThumbnailProvider::thumbnailsReady, window.timeline(),
                         qOverload<>(&QWidget::update));
        std::printf("unpaced: every arrival repainted at once\n");
    }
    // Qt's own player opening the same file, alone: the GUI-thread CPU any program pays that
    // opens it with QMediaPlayer (Qt 6.4 reads the file's header on the calling thread).
    std::vector<double> bareOpens;
    for (int i = 0; i < 3; ++i) {
        QMediaPlayer bare;
        const double before = threadCpuMs();
        bare.setSource(QUrl::fromLocalFile(source));
        bareOpens.push_back(threadCpuMs() - before);
        bare.setSource(QUrl());
    }
    std::sort(bareOpens.begin(), bareOpens.end());

    bool paused = false;
    bool zoomed = false;
    double loadCpuMs = -1;
    double loadEndMs = -1;
    app.slow.clear();
    app.windowPaints = 0;
    app.clock.start();
    QElapsedTimer sinceLoad;
    sinceLoad.start();
    QTimer::singleShot(0, &window, [&] {
        const double before = threadCpuMs();
        window.loadVideo(source);
        loadCpuMs = threadCpuMs() - before;
        loadEndMs = double(sinceLoad.nsecsElapsed()) / 1e6;
    });
    const Gaps loading = measure(
        [&] {
            return zoomed && loader->state() != Media::PeakLoader::State::Empty && loader->state() != Media::PeakLoader::State::Reading && thumbnails->pendingCount() == 0;
        },
        600000,
        [&](double ms) {
            // Loading starts playback; the measurement is of the making, so it is paused at once.
            if (!paused && window.player()->isPlaying()) {
                window.playPause();
                paused = true;
            }
            // For a profiler started with a delay: the load's first second and a half only.
            if (ms > 1500 && qEnvironmentVariableIsSet("BENCH_STALLS_LOAD_ONLY"))
                std::_Exit(0);
            if (!zoomed && ms > 1000) {
                window.timeline()->setZoomLevel(10);
                window.timeline()->setScrollOffset(window.timeline()->width() * 5);
                zoomed = true;
            }
        });
    const std::vector<TimedApplication::Slow> slowWhileLoading = app.slow;
    const int paintsWhileLoading = app.windowPaints;
    std::printf("peaks: %.0f s of sound, loader state %d; thumbnails shown %d\n",
                double(loader->peaks().blockCount()) / Media::kPeakBlocksPerSecond, int(loader->state()),
                thumbnails->isWorking() ? 1 : 0);
    const Gaps loaded = measure([] { return false; }, 5000);

    std::printf("event-loop gaps of the window (target: none over 16 ms)\n");
    report("empty window, nothing loading", idle);
    report("making peaks and thumbnails", loading);
    report("  the same, after the load call", after(loading, loadEndMs));
    report("same video loaded, nothing loading", loaded);
    std::printf("the load call: %.1f ms GUI CPU; Qt's QMediaPlayer::setSource of the same file alone: %.1f ms "
                "(median of 3)\n",
                loadCpuMs, bareOpens[1]);
    std::printf("window repaints while loading: %d (%.1f per second)\n", paintsWhileLoading,
                paintsWhileLoading / loading.seconds);
    std::printf("events over 8 ms of GUI CPU while loading (receiver, event type):\n");
    for (const TimedApplication::Slow &event : slowWhileLoading)
        std::printf("  at %6.0f ms: %6.1f ms CPU (%6.1f wall)  %s\n", event.atMs, event.cpuMs, event.wallMs,
                    event.what.constData());
    return 0;
}
