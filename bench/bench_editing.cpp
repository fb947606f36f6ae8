// Editing cost with long edits in the real window: a three-hour video opened as a project of
// 2000 and of 10 000 parts, then split, undone, redone, clicked, zoomed and repainted. Each
// figure is the slot or event plus the event processing it causes (list layout, repaints), so
// it is what the user waits for. Run under xvfb-run.
#include "audiowaveform.h"
#include "editautosave.h"
#include "benchsupport.h"
#include "mainwindow.h"
#include "peakloader.h"
#include "projectfile.h"
#include "timelinewidget.h"
#include "userprompts.h"
#include "videoplayer.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

class SilentPrompts : public UserPrompts {
public:
    void message(Kind, QWidget *, const QString &, const QString &) override {}
    QString openFileName(QWidget *, const QString &, const QString &, const QString &) override { return {}; }
    QString saveFileName(QWidget *, const QString &, const QString &, const QString &) override { return {}; }
    int runDialog(QDialog &) override { return QDialog::Rejected; }
    int ask(QWidget *, const QString &, const QString &, const QStringList &) override { return -1; }
    void notice(const QString &, const QString &) override {}
};

double medianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

double maxOf(const std::vector<double> &values)
{
    return values.empty() ? -1 : *std::max_element(values.begin(), values.end());
}

double processCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Wall time, and the GUI thread's CPU time beside it: on a shared machine the wall time
// also counts other processes' turns. The whole program's CPU time adds the threads that
// compose the window through OpenGL (llvmpipe under Xvfb) and the media threads.
struct Figures {
    std::vector<double> ms;
    std::vector<double> cpuMs;
    std::vector<double> processMs;
    void add(const std::function<void()> &work);
};

// The work and what it leaves for the event loop: posted events, layouts, repaints.
void Figures::add(const std::function<void()> &work)
{
    QElapsedTimer timer;
    const double cpuStart = Bench::threadCpuMs();
    const double processStart = processCpuMs();
    timer.start();
    work();
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
    ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    cpuMs.push_back(Bench::threadCpuMs() - cpuStart);
    processMs.push_back(processCpuMs() - processStart);
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!condition() && waited.elapsed() < timeoutMs)
        QTest::qWait(5);
    return condition();
}

bool seek(VideoPlayer *player, qint64 ms)
{
    player->setPosition(ms);
    // Within a frame at 5 frames a second.
    return waitFor([&] { return qAbs(player->position() - ms) <= 200; }, 60000);
}

ClipList evenParts(qint64 duration, int count)
{
    ClipList clips;
    for (int i = 0; i < count; ++i) {
        Clip clip;
        clip.originalStart = clip.startTime = duration * i / count;
        clip.originalEnd = clip.endTime = duration * (i + 1) / count;
        clip.name = QStringLiteral("Part %1").arg(i + 1);
        clip.color = firstClipColor();
        clips.append(clip);
    }
    return clips;
}

void print(const char *what, int parts, const Figures &figures)
{
    std::printf("%-34s %6d parts: median %8.2f ms  max %8.2f ms  (GUI CPU median %7.2f  max %7.2f; "
                "all threads median %7.2f; n=%zu)\n",
                what, parts, medianOf(figures.ms), maxOf(figures.ms), medianOf(figures.cpuMs),
                maxOf(figures.cpuMs), medianOf(figures.processMs), figures.ms.size());
    std::fflush(stdout);
}

bool runWithParts(MainWindow &window, const QString &video, qint64 duration, int parts, const QString &folder)
{
    const QString project = folder + QStringLiteral("/edit-%1.tlp").arg(parts);
    {
        QFile file(project);
        if (!file.open(QIODevice::WriteOnly) || file.write(ProjectFile::write(video, duration, evenParts(duration, parts))) < 0)
            return false;
    }
    Figures open;
    open.add([&] { window.loadProjectFile(project); });
    if (window.clips().size() != parts) {
        std::fprintf(stderr, "project did not open\n");
        return false;
    }
    print("open project (call + first paint)", parts, open);
    if (!waitFor([&] { return window.player()->isPlaying(); }, 15000)) {
        std::fprintf(stderr, "no playback after load\n");
        return false;
    }
    window.playPause();
    waitFor([&] { return window.waveform()->peakLoader()->state() != Media::PeakLoader::State::Reading; }, 120000);
    QTest::qWait(300);

    const int rounds = 15;
    Figures splits, undos, redos, clicks, zooms, repaints, repaintsZoomed, listRows;
    for (int r = 0; r < rounds; ++r) {
        const Clip &part = window.clips().at(int(qint64(window.clips().size()) * (2 * r + 1) / (2 * rounds)));
        const qint64 at = part.originalStart + part.length() / 2;
        if (!seek(window.player(), at)) {
            std::fprintf(stderr, "seek to %lld failed; no cut there\n", static_cast<long long>(at));
            continue;
        }
        // The frame the seek decodes is shown before the cut is timed.
        QTest::qWait(300);
        splits.add([&] { window.splitAtPlayhead(); });
    }
    print("split", parts, splits);
    const int cuts = int(splits.ms.size());
    for (int r = 0; r < cuts; ++r)
        undos.add([&] { window.undoLastAction(); });
    print("undo", parts, undos);
    for (int r = 0; r < cuts; ++r)
        redos.add([&] { window.redoLastAction(); });
    print("redo", parts, redos);

    TimelineWidget *timeline = window.timeline();
    for (int r = 0; r < rounds; ++r) {
        const QPoint point(12 + (timeline->width() - 24) * (2 * r + 1) / (2 * rounds), timeline->height() / 2);
        clicks.add([&] { QTest::mouseClick(timeline, Qt::LeftButton, Qt::NoModifier, point); });
    }
    print("click a part in the timeline", parts, clicks);

    for (int r = 0; r < 9; ++r)
        zooms.add([&] { window.zoomTimelineIn(); });
    for (int r = 0; r < 20; ++r)
        repaintsZoomed.add([&] { timeline->repaint(); });
    for (int r = 0; r < 9; ++r)
        zooms.add([&] { window.zoomTimelineOut(); });
    print("zoom in or out", parts, zooms);
    for (int r = 0; r < 20; ++r)
        repaints.add([&] { timeline->repaint(); });
    print("timeline repaint, zoom 1", parts, repaints);
    print("timeline repaint, zoom 10", parts, repaintsZoomed);

    for (int r = 0; r < 5; ++r)
        listRows.add([&] { window.clipListWidget()->repaint(); });
    print("parts list repaint", parts, listRows);
    // The synchronous write (a restored edit), then the one that follows an edit: the GUI
    // thread's CPU time and its longest pause over the 3 s after an undo and a redo.
    Figures autosaves;
    for (int r = 0; r < 5; ++r)
        autosaves.add([&] { window.editAutosave()->writeNow(); });
    print("autosave write at once", parts, autosaves);
    std::vector<double> idleCpu, longestGap;
    for (int r = 0; r < 3; ++r) {
        window.undoLastAction();
        window.redoLastAction();
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0, gap = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            gap = qMax(gap, clock.nsecsElapsed() - last);
            last = clock.nsecsElapsed();
        });
        ticker.start(1);
        const double cpuStart = Bench::threadCpuMs();
        while (clock.elapsed() < 3000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        idleCpu.push_back(Bench::threadCpuMs() - cpuStart);
        longestGap.push_back(double(gap) / 1e6);
    }
    std::printf("%-34s %6d parts: GUI CPU in 3 s median %8.2f ms; longest pause median %8.2f ms, max %8.2f ms\n",
                "autosave after an edit", parts, medianOf(idleCpu), medianOf(longestGap), maxOf(longestGap));
    std::printf("list rows %d for %lld parts\n", window.clipListWidget()->count(),
                static_cast<long long>(window.clips().size()));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    QApplication app(argc, argv);

    QTemporaryDir dir;
    // A video made by an earlier run may be named to save its making.
    const QString given = qEnvironmentVariable("TRIMLET_BENCH_VIDEO");
    const QString video = given.isEmpty() ? dir.filePath("three-hours.mp4") : given;
    const qint64 duration = 3 * 3600 * 1000;
    if (!QFile::exists(video)) {
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=160x120:r=5:d=10800", "-f",
                                "lavfi", "-i", "sine=f=440:r=8000:d=10800", "-c:v", "libx264", "-preset", "ultrafast",
                                "-g", "50", "-c:a", "aac", "-b:a", "16k", video});
        if (!ffmpeg.waitForFinished(900000) || ffmpeg.exitCode() != 0) {
            std::fprintf(stderr, "could not make the benchmark video\n");
            return 1;
        }
    }

    SilentPrompts prompts;
    MainWindow window;
    window.setUserPrompts(&prompts);
    window.resize(1600, 1000);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;

    std::vector<int> counts{2000, 10000};
    if (argc > 1)
        counts = {QString::fromLocal8Bit(argv[1]).toInt()};
    for (int parts : counts) {
        if (!runWithParts(window, video, duration, parts, dir.path()))
            return 1;
    }
    return 0;
}
