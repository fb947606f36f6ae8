// Export cost against plain ffmpeg: wall time of a 20 s two-clip 720p edit (paired
// runs, ratio), and the peak memory of the ffmpeg child for a 50-clip export.
// The export logs as the program does, on standard error: run with 2>/dev/null.
#include "exportcommand.h"
#include "exportcontroller.h"
#include "exportrunner.h"
#include "ffmpeglocator.h"
#include "hardwareencoderdetector.h"
#include "userprompts.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <algorithm>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QTextStream out(stdout);

class PrintingPrompts : public UserPrompts {
public:
    void message(Kind, QWidget *, const QString &title, const QString &text) override
    {
        last = title;
        if (title != QLatin1String("Export Complete"))
            out << "  message: " << title << " / " << text << Qt::endl;
    }
    QString openFileName(QWidget *, const QString &, const QString &, const QString &) override { return {}; }
    QString saveFileName(QWidget *, const QString &, const QString &, const QString &) override { return {}; }
    int runDialog(QDialog &) override { return 0; }
    int ask(QWidget *, const QString &, const QString &, const QStringList &) override { return -1; }
    void notice(const QString &title, const QString &text) override { message(Kind::Information, nullptr, title, text); }
    QString last;
};

bool runQuiet(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("ffmpeg"), QStringList{"-y", "-v", "error"} + args);
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

double probeVideoSeconds(const QString &path)
{
    QProcess p;
    p.start(QStringLiteral("ffprobe"), {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=duration",
                                       "-of", "default=nw=1:nk=1", path});
    p.waitForFinished(-1);
    return p.readAllStandardOutput().trimmed().toDouble();
}

QByteArray hashOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex()
                                       : QByteArray();
}

// Runs ffmpeg as a direct child and returns its peak resident memory in KiB.
long runAndMeasure(const QStringList &args, double *seconds)
{
    std::vector<QByteArray> storage;
    storage.push_back("ffmpeg");
    storage.push_back("-v");
    storage.push_back("error");
    for (const QString &a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        execvp("ffmpeg", argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    *seconds = timer.elapsed() / 1000.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

// CPU seconds of all children reaped so far (ffmpeg, ffprobe and the probes).
double childCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

Clip clipOf(qint64 start, qint64 end)
{
    Clip c;
    c.originalStart = start;
    c.originalEnd = end;
    return c;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int pairs = argc > 1 ? qMax(1, QString::fromLocal8Bit(argv[1]).toInt()) : 5;

    QTemporaryDir dir;
    const QString source = dir.filePath("source720.mp4");
    out << "Making a 30 s 1280x720 30 fps source with audio..." << Qt::endl;
    if (!runQuiet({"-f", "lavfi", "-i", "testsrc2=s=1280x720:r=30:d=30", "-f", "lavfi", "-i",
                   "sine=frequency=440:d=30", "-c:v", "libx264", "-preset", "veryfast", "-g", "60", "-pix_fmt",
                   "yuv420p", "-c:a", "aac", "-shortest", source})) {
        out << "could not make the source" << Qt::endl;
        return 1;
    }

    HardwareEncoderDetector detector(findFFmpeg());
    detector.detectEncoders();
    const EncoderChoice encoder = ExportCommandBuilder::chooseEncoder(&detector, 23);
    out << "Encoder: " << ExportCommandBuilder::encoderArguments(encoder).join(' ') << Qt::endl;

    PrintingPrompts prompts;
    ExportController controller([&prompts]() -> UserPrompts & { return prompts; }, nullptr);
    ExportSource edit;
    edit.videoPath = source;
    edit.clips = {clipOf(2000, 12000), clipOf(15000, 25000)};
    edit.encoderDetector = &detector;

    const QString ours = dir.filePath("ours.mp4");
    const QString plain = dir.filePath("plain.mp4");
    QStringList plainArgs{"-ss", "2.000", "-t", "10.000", "-i", source, "-ss", "15.000", "-t", "10.000", "-i", source,
                          "-filter_complex", "[0:v][0:a][1:v][1:a]concat=n=2:v=1:a=1[v][a]", "-map", "[v]", "-map",
                          "[a]"};
    plainArgs << ExportCommandBuilder::encoderArguments(encoder) << "-c:a" << "aac" << "-b:a" << "192k" << "-movflags"
              << "+faststart" << "-y" << plain;

    std::vector<double> setupTimes;
    auto timeOurs = [&]() {
        QEventLoop loop;
        QObject::connect(controller.runner(), &ExportRunner::exportFinished, &loop, &QEventLoop::quit);
        QElapsedTimer timer;
        timer.start();
        bool hasAudio = true;
        if (!controller.exportWithFFmpeg(edit, ours, 1280, 720, 23, 0, hasAudio))
            return -1.0;
        // Probes, title images and the ffmpeg searches before the encode starts.
        setupTimes.push_back(timer.elapsed() / 1000.0);
        loop.exec();
        return prompts.last == QLatin1String("Export Complete") ? timer.elapsed() / 1000.0 : -1.0;
    };
    auto timePlain = [&]() {
        QElapsedTimer timer;
        timer.start();
        QProcess p;
        p.start(QStringLiteral("ffmpeg"), plainArgs);
        if (!p.waitForFinished(-1) || p.exitCode() != 0)
            return -1.0;
        return timer.elapsed() / 1000.0;
    };

    out << "\nWall time, 20 s two-clip 720p edit (" << pairs << " pairs, order alternating)" << Qt::endl;
    std::vector<double> ratios, oursTimes, plainTimes, cpuRatios;
    for (int i = 0; i < pairs; ++i) {
        double a = 0, b = 0, cpuA = 0, cpuB = 0;
        auto runOurs = [&] {
            const double before = childCpuSeconds();
            a = timeOurs();
            cpuA = childCpuSeconds() - before;
        };
        auto runPlain = [&] {
            const double before = childCpuSeconds();
            b = timePlain();
            cpuB = childCpuSeconds() - before;
        };
        if (i % 2 == 0) {
            runOurs();
            runPlain();
        } else {
            runPlain();
            runOurs();
        }
        if (a < 0 || b < 0) {
            out << "  pair " << i + 1 << ": an export failed" << Qt::endl;
            return 1;
        }
        oursTimes.push_back(a);
        plainTimes.push_back(b);
        ratios.push_back(a / b);
        cpuRatios.push_back(cpuA / cpuB);
        out << QStringLiteral("  pair %1: Trimlet %2 s, plain ffmpeg %3 s, ratio %4 | child CPU %5 s vs %6 s, ratio %7")
                   .arg(i + 1)
                   .arg(a, 0, 'f', 2)
                   .arg(b, 0, 'f', 2)
                   .arg(a / b, 0, 'f', 3)
                   .arg(cpuA, 0, 'f', 2)
                   .arg(cpuB, 0, 'f', 2)
                   .arg(cpuA / cpuB, 0, 'f', 3)
            << Qt::endl;
    }
    out << QStringLiteral("  median set-up before ffmpeg starts: %1 s").arg(median(setupTimes), 0, 'f', 3) << Qt::endl;
    out << QStringLiteral("  median child CPU ratio (insensitive to other load on the machine): %1")
               .arg(median(cpuRatios), 0, 'f', 3)
        << Qt::endl;
    out << QStringLiteral("  median: Trimlet %1 s, plain %2 s, ratio %3 (output %4 s vs %5 s)")
               .arg(median(oursTimes), 0, 'f', 2)
               .arg(median(plainTimes), 0, 'f', 2)
               .arg(median(ratios), 0, 'f', 3)
               .arg(probeVideoSeconds(ours), 0, 'f', 3)
               .arg(probeVideoSeconds(plain), 0, 'f', 3)
        << Qt::endl;

    out << "\nPeak memory of the ffmpeg child, 50-clip export (0.3 s clips, 1280x720 target)" << Qt::endl;
    VideoExportInput many;
    many.sourcePath = source;
    for (int i = 0; i < 50; ++i)
        many.clips << clipOf(i * 550, i * 550 + 300);
    many.source = probeSource(source);
    many.targetWidth = 1280;
    many.targetHeight = 720;
    many.withAudio = true;
    many.encoder = encoder;
    many.outputFormat = QStringLiteral("mp4");
    QByteArray hashes[2];
    const int threadChoices[2] = {0, ExportCommandBuilder::decoderThreadsForInputs(50)};
    for (int k = 0; k < 2; ++k) {
        many.decoderThreadsPerInput = threadChoices[k];
        many.outputPath = dir.filePath(QStringLiteral("many%1.mp4").arg(k));
        double seconds = 0;
        const long kib = runAndMeasure(ExportCommandBuilder::buildVideoExportCommand(many).arguments, &seconds);
        hashes[k] = hashOf(many.outputPath);
        out << QStringLiteral("  decoder threads per input %1: peak %2 MB, %3 s")
                   .arg(threadChoices[k] == 0 ? QStringLiteral("ffmpeg default") : QString::number(threadChoices[k]))
                   .arg(kib / 1024.0, 0, 'f', 0)
                   .arg(seconds, 0, 'f', 2)
            << (k == 1 ? QStringLiteral("   <- what Trimlet runs") : QString()) << Qt::endl;
    }
    out << "  outputs byte-identical: " << (hashes[0] == hashes[1] && !hashes[0].isEmpty() ? "yes" : "no")
        << Qt::endl;
    return 0;
}
