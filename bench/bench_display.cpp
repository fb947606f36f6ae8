// Plain playback of a 1080p30 and a 4K30 file in the real window against ffplay playing the same
// file under the same X server, side by side: resident memory (median of one-second samples while
// playing), the GUI thread's CPU time per frame shown (all of it, and the raw display's own paints:
// upload and drawing), the whole process's CPU time, and frames shown against frames in the file. Each of our runs is a fresh process (this program with
// --play), so one run's heap does not carry into the next. Needs a display:
//
// xvfb-run -a -s "-screen 0 1920x1080x24" ./bench_display [pairs] [seconds] [media folder]
//
// A media folder keeps the generated files between runs (they take a while to encode).
#include "benchsupport.h"
#include "mainwindow.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "testmedia.h"
#include "videoglwidget.h"
#include "videoplayer.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr int Fps = 30;

double processCpuMsSelf()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval &t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Counts the frames that reached the screen: a frame handed to the displays counts once a
// display puts a picture on screen before the next frame arrives; frames replaced before that
// were dropped.
class ShownCounter : public QObject {
public:
    int shown = 0;
    int delivered = 0;
    bool pending = false;

    void swapped()
    {
        if (pending) {
            pending = false;
            ++shown;
        }
    }
};

// Times the raw display's own paints (frame upload and drawing) on the GUI thread.
class TimingApplication : public QApplication {
public:
    using QApplication::QApplication;
    double displayPaintMs = 0;
    // The raw displays' native windows, which draw on their update requests.
    QSet<QObject *> surfaces;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (event->type() != QEvent::UpdateRequest || !surfaces.contains(receiver))
            return QApplication::notify(receiver, event);
        const double start = Bench::threadCpuMs();
        const bool result = QApplication::notify(receiver, event);
        displayPaintMs += Bench::threadCpuMs() - start;
        return result;
    }
};

// The child: plays the file once in the real window from its load to its end and prints
// "playing" when the load starts, then one line of figures.
int play(const QString &file, int timeoutSeconds)
{
    useProgramMediaEnvironment();
    QTemporaryDir userFolders;
    useOwnUserFolders(userFolders.path());
    int argc = 1;
    char name[] = "bench_display";
    char *argv[] = {name, nullptr};
    TimingApplication app(argc, argv);
    RecordingPrompts prompts;
    MainWindow window;
    window.setUserPrompts(&prompts);
    window.show();
    QTest::qWait(1500);

    ShownCounter counter;
    for (VideoGLWidget *display : window.findChildren<VideoGLWidget *>()) {
        QObject::connect(display, &GLSurfaceWidget::frameSwapped, &counter, &ShownCounter::swapped);
        app.surfaces.insert(display->surface());
    }
    QObject::connect(window.player(), &VideoPlayer::frameReady, &counter, [&counter] {
        ++counter.delivered;
        counter.pending = true;
    });

    std::printf("playing\n");
    std::fflush(stdout);
    const double guiStart = Bench::threadCpuMs();
    const double processStart = processCpuMsSelf();
    app.displayPaintMs = 0;
    QElapsedTimer wall;
    wall.start();
    window.loadVideo(file);
    bool started = false;
    while (wall.elapsed() < timeoutSeconds * 1000) {
        QTest::qWait(20);
        if (window.player()->isPlaying())
            started = true;
        else if (started && counter.delivered > 0)
            break;
    }
    QTest::qWait(200);
    const double guiMs = Bench::threadCpuMs() - guiStart;
    const double processMs = processCpuMsSelf() - processStart;
    QSize displaySize;
    for (VideoGLWidget *display : window.findChildren<VideoGLWidget *>()) {
        if (display->isVisible())
            displaySize = display->size();
    }
    std::printf("figures %d %d %.1f %.1f %.1f %d %d %.1f\n", counter.shown, counter.delivered, guiMs, processMs,
                double(wall.elapsed()), displaySize.width(), displaySize.height(), app.displayPaintMs);
    std::fflush(stdout);
    return started ? 0 : 1;
}

qint64 rssKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// User and system CPU milliseconds of a process, or of one of its threads.
double cpuMs(qint64 pid, qint64 thread = -1)
{
    const QString path = thread < 0 ? QStringLiteral("/proc/%1/stat").arg(pid)
                                    : QStringLiteral("/proc/%1/task/%2/stat").arg(pid).arg(thread);
    QFile stat(path);
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold spaces: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double tick = 1000.0 / double(sysconf(_SC_CLK_TCK));
    return (fields[11].toDouble() + fields[12].toDouble()) * tick;
}

struct Run {
    double rssMedianMb = -1;
    double rssPeakMb = -1;
    int shown = -1;
    double guiMsPerFrame = -1;
    double displayMsPerFrame = -1; // the raw display's own paints
    int delivered = -1;
    double processCpuMs = -1;
    QSize display;
};

// Samples a child's memory each second from `start` until it ends; true when it ended by itself.
bool sampleUntilEnd(QProcess &process, std::vector<double> &rssMb, const std::function<void()> &onSample,
                    int timeoutSeconds)
{
    QElapsedTimer wall;
    wall.start();
    while (!process.waitForFinished(1000)) {
        const qint64 kb = rssKb(process.processId());
        if (kb > 0)
            rssMb.push_back(double(kb) / 1024.0);
        onSample();
        if (wall.elapsed() > timeoutSeconds * 1000) {
            process.kill();
            process.waitForFinished();
            return false;
        }
    }
    return true;
}

Run runOurs(const QString &self, const QString &file, int seconds)
{
    Run run;
    QProcess child;
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.setStandardErrorFile(QProcess::nullDevice());
    child.start(self, {QStringLiteral("--play"), file, QString::number(seconds + 60)});
    if (!child.waitForStarted())
        return run;
    QByteArray output;
    while (!output.contains("playing\n") && child.waitForReadyRead(60000))
        output += child.readAllStandardOutput();
    std::vector<double> rss;
    sampleUntilEnd(child, rss, [] {}, seconds + 90);
    output += child.readAllStandardOutput();
    const int at = output.indexOf("figures ");
    if (at < 0)
        return run;
    const QList<QByteArray> f = output.mid(at + 8).split('\n').value(0).split(' ');
    if (f.size() < 8)
        return run;
    // Sampled from the load on: the idle window before it is not counted.
    run.rssMedianMb = Bench::median(rss);
    run.rssPeakMb = rss.empty() ? -1 : *std::max_element(rss.begin(), rss.end());
    run.shown = f[0].toInt();
    run.guiMsPerFrame = run.shown > 0 ? f[2].toDouble() / run.shown : -1;
    run.processCpuMs = f[3].toDouble();
    run.delivered = f[1].toInt();
    run.displayMsPerFrame = run.shown > 0 ? f[7].toDouble() / run.shown : -1;
    run.display = QSize(f[5].toInt(), f[6].toInt());
    return run;
}

Run runFfplay(const QString &file, const QSize &window, int seconds, int &framesDropped)
{
    Run run;
    QProcess ffplay;
    ffplay.setProcessChannelMode(QProcess::MergedChannels);
    QStringList args{"-hide_banner", "-autoexit", "-an"};
    if (window.isValid())
        args << "-x" << QString::number(window.width()) << "-y" << QString::number(window.height());
    ffplay.start(QStringLiteral("ffplay"), args << file);
    if (!ffplay.waitForStarted())
        return run;
    const qint64 pid = ffplay.processId();
    std::vector<double> rss;
    double guiMs = -1;
    double processMs = -1;
    QByteArray output;
    sampleUntilEnd(
        ffplay, rss,
        [&] {
            const double g = cpuMs(pid, pid);
            const double p = cpuMs(pid);
            if (g >= 0)
                guiMs = g;
            if (p >= 0)
                processMs = p;
            output += ffplay.readAll();
        },
        seconds + 60);
    output += ffplay.readAll();
    // Its status line says how many frames it dropped: "fd=   3".
    const int at = output.lastIndexOf("fd=");
    framesDropped = at < 0 ? -1 : output.mid(at + 3, 8).trimmed().split(' ').value(0).toInt();
    run.rssMedianMb = Bench::median(rss);
    run.rssPeakMb = rss.empty() ? -1 : *std::max_element(rss.begin(), rss.end());
    run.processCpuMs = processMs;
    run.guiMsPerFrame = guiMs; // the total here; divided by the frames once they are known
    return run;
}

bool makeFile(const QString &path, const QSize &size, int seconds)
{
    if (QFileInfo::exists(path))
        return true;
    std::fprintf(stderr, "encoding %s...\n", qPrintable(QFileInfo(path).fileName()));
    const QString source = QStringLiteral("testsrc2=s=%1x%2:r=%3:d=%4")
                               .arg(size.width())
                               .arg(size.height())
                               .arg(Fps)
                               .arg(seconds);
    const QString partial = path + QStringLiteral(".part.mp4");
    return TestMedia::runFFmpeg({"-f", "lavfi", "-i", source, "-vf",
                                 "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p", "-c:v", "libx264",
                                 "-preset", "ultrafast", "-g", "60", "-colorspace", "bt709", "-color_primaries",
                                 "bt709", "-color_trc", "bt709", "-color_range", "tv", "-an", partial})
        && QFile::rename(partial, path);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 3 && QByteArray(argv[1]) == "--play")
        return play(QString::fromLocal8Bit(argv[2]), atoi(argv[3]));

    QCoreApplication app(argc, argv);
    const int pairs = argc > 1 ? std::max(1, atoi(argv[1])) : 1;
    const int seconds = argc > 2 ? std::max(2, atoi(argv[2])) : 20;
    QTemporaryDir temporary;
    const QString folder = argc > 3 ? QString::fromLocal8Bit(argv[3]) : temporary.path();
    QDir().mkpath(folder);
    const QString self = QCoreApplication::applicationFilePath();
    QProcess probe;
    probe.start(QStringLiteral("ffplay"), {"-version"});
    const bool haveFfplay = probe.waitForFinished() && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
    if (!haveFfplay)
        std::printf("ffplay is not installed: only our figures are given\n");

    for (const QSize &size : {QSize(1920, 1080), QSize(3840, 2160)}) {
        const QString file =
            QDir(folder).filePath(QStringLiteral("display-%1x%2-%3s.mp4").arg(size.width()).arg(size.height()).arg(seconds));
        if (!makeFile(file, size, seconds)) {
            std::fprintf(stderr, "could not make %s\n", qPrintable(file));
            return 1;
        }
        const int frames = seconds * Fps;
        std::vector<double> ourRss, theirRss, rssRatios, ourGui, theirGui, ourCpu, theirCpu, ourShown, theirShown;
        std::vector<double> ourDisplay, ourDelivered;
        for (int p = 0; p < pairs; ++p) {
            const Run ours = runOurs(self, file, seconds);
            if (ours.shown < 0) {
                std::fprintf(stderr, "our run failed\n");
                return 1;
            }
            ourRss.push_back(ours.rssMedianMb);
            ourGui.push_back(ours.guiMsPerFrame);
            ourCpu.push_back(ours.processCpuMs / frames);
            ourShown.push_back(ours.shown);
            ourDisplay.push_back(ours.displayMsPerFrame);
            ourDelivered.push_back(ours.delivered);
            std::printf("  %dx%d run %d: Trimlet RSS median %.0f MB (peak %.0f), shown %d/%d (%d reached the display), "
                        "GUI thread %.2f ms/frame of which the display's paints %.2f, process %.2f ms/frame, "
                        "display %dx%d\n",
                        size.width(), size.height(), p + 1, ours.rssMedianMb, ours.rssPeakMb, ours.shown, frames,
                        ours.delivered, ours.guiMsPerFrame, ours.displayMsPerFrame, ours.processCpuMs / frames,
                        ours.display.width(), ours.display.height());
            if (!haveFfplay)
                continue;
            int dropped = -1;
            const Run theirs = runFfplay(file, ours.display, seconds, dropped);
            if (theirs.rssMedianMb < 0)
                continue;
            const int shown = dropped >= 0 ? frames - dropped : -1;
            theirRss.push_back(theirs.rssMedianMb);
            rssRatios.push_back(ours.rssMedianMb / theirs.rssMedianMb);
            theirGui.push_back(shown > 0 ? theirs.guiMsPerFrame / shown : -1);
            theirCpu.push_back(theirs.processCpuMs / frames);
            theirShown.push_back(shown);
            std::printf("  %dx%d run %d: ffplay  RSS median %.0f MB (peak %.0f), shown %d/%d, main thread %.2f ms/frame, "
                        "process %.2f ms/frame\n",
                        size.width(), size.height(), p + 1, theirs.rssMedianMb, theirs.rssPeakMb, shown, frames,
                        theirGui.back(), theirCpu.back());
        }
        std::printf("%dx%d %d fps, %d s (%d frames), medians of %d run(s):\n", size.width(), size.height(), Fps,
                    seconds, frames, pairs);
        std::printf("  %-34s %10s %10s %8s\n", "", "Trimlet", "ffplay", "ratio");
        std::printf("  %-34s %9.0fM %9.0fM %8.2f  [target <= %s]\n", "RSS while playing", Bench::median(ourRss),
                    Bench::median(theirRss), Bench::median(rssRatios), size.height() > 1080 ? "1.3" : "1.2");
        std::printf("  %-34s %10.0f %10.0f %8s  [target %d]\n", "frames shown", Bench::median(ourShown),
                    Bench::median(theirShown), "", frames);
        std::printf("  %-34s %10.0f %10s\n", "frames the player handed over", Bench::median(ourDelivered), "");
        std::printf("  %-34s %8.2fms %8.2fms %8s  [target <= 2 ms at 1080p]\n", "GUI/main thread CPU per frame",
                    Bench::median(ourGui), Bench::median(theirGui), "");
        std::printf("  %-34s %8.2fms %10s\n", "  of which the display's own paints", Bench::median(ourDisplay), "");
        std::printf("  %-34s %8.2fms %8.2fms %8s\n", "process CPU per file frame", Bench::median(ourCpu),
                    Bench::median(theirCpu), "");
        std::fflush(stdout);
    }
    return 0;
}
