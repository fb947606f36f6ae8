// Export cost. By default: paired runs, order alternating, of the export as built (many
// parts encoded a batch at a time) against one ffmpeg run over the whole edit, each export in
// a fresh process of its own, with wall time, CPU time of the ffmpeg children and peak memory
// (the largest child's peak resident size, as only one ffmpeg runs at a time, plus the
// exporting process's own). With --plain, the older comparison with plain ffmpeg for a 20 s
// two-clip 720p edit. The export logs as the program does, on standard error: run with
// 2>/dev/null.
//   bench_export [pairs=3] [parts=2] [height=1080] [output seconds=10] [--fast] [--per-run=N] [--plain]
// --fast uses the encoder without hardware detection (x264 ultrafast) instead of the
// window's choice; --per-run sets the parts per ffmpeg run instead of the program's choice.
#include "batchedexport.h"
#include "exportcommand.h"
#include "exportcontroller.h"
#include "exportrunner.h"
#include "ffmpeglocator.h"
#include "hardwareencoderdetector.h"
#include "userprompts.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QFileInfo>
#include <algorithm>
#include <memory>
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

int plainComparison(int pairs)
{

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

namespace {

struct Run {
    double wall = -1;
    double cpu = 0;
    long childKiB = 0;
    long selfKiB = 0;
    int steps = 0;
};

QString sourceFor(int height)
{
    const QString path = QDir::temp().filePath(QStringLiteral("trimlet-bench-export-%1p.mp4").arg(height));
    if (QFileInfo::exists(path))
        return path;
    out << "Making a 60 s " << height << "p 30 fps source with sound (kept as " << path << ")..." << Qt::endl;
    const int width = (height * 16 / 9 + 1) / 2 * 2;
    const QString partial = path + QStringLiteral(".part.mp4");
    if (!runQuiet({"-f", "lavfi", "-i", QStringLiteral("testsrc2=s=%1x%2:r=30:d=60").arg(width).arg(height), "-f",
                   "lavfi", "-i", "sine=frequency=440:d=60", "-c:v", "libx264", "-preset", "veryfast", "-g", "60",
                   "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", partial})
        || !QFile::rename(partial, path))
        return QString();
    return path;
}

// Parts spread over the source's first 58 s, `outputSeconds` in all.
ClipList partsOf(int count, double outputSeconds)
{
    ClipList clips;
    const qint64 length = qMax<qint64>(34, qint64(outputSeconds * 1000 / count));
    for (int i = 0; i < count; ++i) {
        const qint64 start = qint64(58000.0 * i / count);
        clips << clipOf(start, start + length);
    }
    return clips;
}

// The child's side: one export, its figures on standard output.
int exportOnce(const QStringList &args)
{
    const bool batched = args.value(0) == QLatin1String("batched");
    const QString source = args.value(1);
    const int parts = args.value(2).toInt();
    const double seconds = args.value(3).toDouble();
    const QString output = args.value(4);
    const bool fast = args.value(5) == QLatin1String("fast");
    BatchedExport::setPartsPerBatch(batched ? args.value(6).toInt() : -1);

    std::unique_ptr<HardwareEncoderDetector> detector;
    if (!fast) {
        detector = std::make_unique<HardwareEncoderDetector>(findFFmpeg());
        detector->detectEncoders();
    }
    PrintingPrompts prompts;
    ExportController controller([&prompts]() -> UserPrompts & { return prompts; }, nullptr);
    ExportSource edit;
    edit.videoPath = source;
    edit.clips = partsOf(parts, seconds);
    edit.encoderDetector = detector.get();
    QEventLoop loop;
    QObject::connect(controller.runner(), &ExportRunner::exportFinished, &loop, &QEventLoop::quit);
    const double cpuBefore = childCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    bool hasAudio = true;
    if (!controller.exportWithFFmpeg(edit, output, -1, -1, 23, 0, hasAudio))
        return 1;
    const int steps = controller.runner()->stepCount();
    loop.exec();
    if (prompts.last != QLatin1String("Export Complete"))
        return 1;
    const double wall = timer.elapsed() / 1000.0;
    rusage children{}, self{};
    getrusage(RUSAGE_CHILDREN, &children);
    getrusage(RUSAGE_SELF, &self);
    QTextStream(stdout) << "RESULT " << wall << ' ' << childCpuSeconds() - cpuBefore << ' ' << children.ru_maxrss << ' '
                        << self.ru_maxrss << ' ' << steps << Qt::endl;
    return 0;
}

Run runChild(const QString &mode, const QString &source, int parts, double seconds, const QString &output, bool fast,
             int perRun)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.setStandardErrorFile(QProcess::nullDevice());
    child.start(QCoreApplication::applicationFilePath(),
                {"--one", mode, source, QString::number(parts), QString::number(seconds), output,
                 fast ? "fast" : "detect", QString::number(perRun)});
    Run run;
    if (!child.waitForFinished(-1) || child.exitCode() != 0)
        return run;
    const QStringList fields = QString::fromLocal8Bit(child.readAllStandardOutput())
                                   .section(QStringLiteral("RESULT "), 1)
                                   .trimmed()
                                   .split(' ');
    if (fields.size() < 5)
        return run;
    run.wall = fields[0].toDouble();
    run.cpu = fields[1].toDouble();
    run.childKiB = fields[2].toLong();
    run.selfKiB = fields[3].toLong();
    run.steps = fields[4].toInt();
    return run;
}

int batchedAgainstOneRun(int pairs, int parts, int height, double seconds, bool fast, int perRun)
{
    const QString source = sourceFor(height);
    if (source.isEmpty()) {
        out << "could not make the source" << Qt::endl;
        return 1;
    }
    QTemporaryDir dir;
    out << QStringLiteral("%1 parts of a %2p source, %3 s of output, encoder: %4; %5 pairs, order alternating")
               .arg(parts)
               .arg(height)
               .arg(seconds)
               .arg(fast ? "x264 ultrafast" : "the window's choice")
               .arg(pairs)
        << Qt::endl;
    std::vector<double> wallRatios, cpuRatios, walls[2], cpus[2];
    long peakMiB[2] = {0, 0};
    int steps[2] = {0, 0};
    const QString modes[2] = {QStringLiteral("batched"), QStringLiteral("single")};
    for (int i = 0; i < pairs; ++i) {
        Run runs[2];
        for (int k = 0; k < 2; ++k) {
            const int m = i % 2 == 0 ? k : 1 - k;
            runs[m] = runChild(modes[m], source, parts, seconds, dir.filePath(modes[m] + ".mp4"), fast, perRun);
        }
        if (runs[0].wall < 0 || runs[1].wall < 0) {
            out << "  pair " << i + 1 << ": an export failed" << Qt::endl;
            return 1;
        }
        for (int m = 0; m < 2; ++m) {
            walls[m].push_back(runs[m].wall);
            cpus[m].push_back(runs[m].cpu);
            peakMiB[m] = qMax(peakMiB[m], (runs[m].childKiB + runs[m].selfKiB) / 1024);
            steps[m] = runs[m].steps;
        }
        wallRatios.push_back(runs[0].wall / runs[1].wall);
        cpuRatios.push_back(runs[0].cpu / runs[1].cpu);
        out << QStringLiteral("  pair %1: as built %2 s (%3 ffmpeg runs, peak %4 + %5 MB), one run %6 s (peak %7 + %8 MB), "
                              "wall ratio %9, child CPU ratio %10")
                   .arg(i + 1)
                   .arg(runs[0].wall, 0, 'f', 2)
                   .arg(runs[0].steps)
                   .arg(runs[0].childKiB / 1024)
                   .arg(runs[0].selfKiB / 1024)
                   .arg(runs[1].wall, 0, 'f', 2)
                   .arg(runs[1].childKiB / 1024)
                   .arg(runs[1].selfKiB / 1024)
                   .arg(runs[0].wall / runs[1].wall, 0, 'f', 3)
                   .arg(runs[0].cpu / runs[1].cpu, 0, 'f', 3)
            << Qt::endl;
    }
    out << QStringLiteral("  median wall: as built %1 s, one run %2 s; median of pair ratios %3 (child CPU %4)")
               .arg(median(walls[0]), 0, 'f', 2)
               .arg(median(walls[1]), 0, 'f', 2)
               .arg(median(wallRatios), 0, 'f', 3)
               .arg(median(cpuRatios), 0, 'f', 3)
        << Qt::endl;
    out << QStringLiteral("  peak memory (largest ffmpeg + the exporting process): as built %1 MB in %2 runs, "
                          "one run %3 MB")
               .arg(peakMiB[0])
               .arg(steps[0])
               .arg(peakMiB[1])
        << Qt::endl;
    out << QStringLiteral("  video length: as built %1 s, one run %2 s")
               .arg(probeVideoSeconds(dir.filePath("batched.mp4")), 0, 'f', 3)
               .arg(probeVideoSeconds(dir.filePath("single.mp4")), 0, 'f', 3)
        << Qt::endl;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("--one"))
        return exportOnce(args.mid(1));
    const bool plain = args.removeAll(QStringLiteral("--plain")) > 0;
    const bool fast = args.removeAll(QStringLiteral("--fast")) > 0;
    int perRun = 0;
    for (const QString &arg : args.filter(QStringLiteral("--per-run=")))
        perRun = arg.section(QLatin1Char('='), 1).toInt();
    args.removeIf([](const QString &arg) { return arg.startsWith(QLatin1String("--per-run=")); });
    const int pairs = qMax(1, args.value(0, QStringLiteral("3")).toInt());
    if (plain)
        return plainComparison(pairs);
    const int parts = qMax(1, args.value(1, QStringLiteral("2")).toInt());
    const int height = qMax(16, args.value(2, QStringLiteral("1080")).toInt());
    const double seconds = qMax(0.1, args.value(3, QStringLiteral("10")).toDouble());
    return batchedAgainstOneRun(pairs, parts, height, seconds, fast, perRun);
}
