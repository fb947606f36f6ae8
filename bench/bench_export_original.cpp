// The original-quality export of a 10-minute 1080p30 H.264/AAC source (2 s GOP), keeping
// 00:30-04:00 and 04:10-09:30, set side by side with ffmpeg doing the same edit two ways:
// encoding it again at the source size with libx264 at the preset our pieces use, and a
// plain stream copy of the same ranges (cut at keyframes, so not exact). Wall and CPU time
// (children's), paired runs, medians. The source is made once in /tmp/trimlet-bench-cache.
// Usage: bench_export_original [PAIRS]   (default 3)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTextStream>

#include <algorithm>
#include <vector>

#include <sys/resource.h>

namespace {

QTextStream out(stdout);

struct Timing {
    double wall = 0;
    double cpu = 0;
};

double childCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec
        + usage.ru_stime.tv_usec / 1e6;
}

bool run(const QString &program, const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, args);
    if (!process.waitForFinished(-1) || process.exitCode() != 0) {
        out << "failed: " << program << ' ' << args.join(' ') << Qt::endl;
        return false;
    }
    return true;
}

Timing timed(const std::function<bool()> &work)
{
    const double cpu = childCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    if (!work())
        return {-1, -1};
    return {timer.nsecsElapsed() / 1e9, childCpuSeconds() - cpu};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int pairs = argc > 1 ? qMax(1, QString::fromLocal8Bit(argv[1]).toInt()) : 3;
    const QString cache = QStringLiteral("/tmp/trimlet-bench-cache");
    QDir().mkpath(cache);
    const QString minute = cache + "/minute1080-video.mp4";
    const QString source = cache + "/ten-minutes1080-v2.mp4";
    if (!QFile::exists(source)) {
        // One minute of picture looped ten times (exact: 1800 frames a loop) under ten
        // minutes of sound made in one piece, so no joint of the loop shows in the timestamps.
        out << "Making the 10-minute source (once)..." << Qt::endl;
        if (!run("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30", "-t", "60",
                            "-c:v", "libx264", "-preset", "veryfast", "-g", "60", "-keyint_min", "60",
                            "-sc_threshold", "0", "-b:v", "6M", "-pix_fmt", "yuv420p", minute})
            || !run("ffmpeg", {"-v", "error", "-y", "-stream_loop", "9", "-i", minute, "-f", "lavfi", "-i",
                               "sine=frequency=440:sample_rate=48000:duration=600", "-map", "0:v", "-map", "1:a",
                               "-c:v", "copy", "-c:a", "aac", "-b:a", "128k", source}))
            return 1;
    }

    QDir work(cache + "/work");
    work.removeRecursively();
    QDir().mkpath(work.path());
    const QString project = work.filePath("edit.tlp");
    QFile file(project);
    file.open(QIODevice::WriteOnly);
    file.write(QStringLiteral("{\"version\":\"1.0\",\"videoPath\":\"%1\",\"clips\":["
                              "{\"name\":\"Part 1\",\"startTime\":0,\"endTime\":210000,\"originalStart\":30000,"
                              "\"originalEnd\":240000},"
                              "{\"name\":\"Part 2\",\"startTime\":210000,\"endTime\":530000,\"originalStart\":250000,"
                              "\"originalEnd\":570000}]}")
                   .arg(source)
                   .toUtf8());
    file.close();

    // The same edit with every cut between keyframes, so four pieces are encoded.
    const QString offGrid = work.filePath("between-keyframes.tlp");
    QFile offGridFile(offGrid);
    offGridFile.open(QIODevice::WriteOnly);
    offGridFile.write(QStringLiteral("{\"version\":\"1.0\",\"videoPath\":\"%1\",\"clips\":["
                                     "{\"name\":\"Part 1\",\"originalStart\":30517,\"originalEnd\":240283},"
                                     "{\"name\":\"Part 2\",\"originalStart\":250750,\"originalEnd\":570100}]}")
                          .arg(source)
                          .toUtf8());
    offGridFile.close();

    const QString trimlet = QStringLiteral(TRIMLET_BINARY);
    auto original = [&] {
        return run(trimlet, {"--export", work.filePath("original.mp4"), "--quality", "original", project});
    };
    auto reencode = [&] {
        return run("ffmpeg", {"-v", "error", "-y", "-ss", "30", "-t", "210", "-i", source, "-ss", "250", "-t", "320",
                              "-i", source, "-filter_complex", "[0:v][0:a][1:v][1:a]concat=n=2:v=1:a=1[v][a]", "-map",
                              "[v]", "-map", "[a]", "-c:v", "libx264", "-preset", "veryfast", "-crf", "16", "-c:a",
                              "aac", "-b:a", "128k", work.filePath("reencoded.mp4")});
    };
    auto copy = [&] {
        QFile list(work.filePath("list.txt"));
        list.open(QIODevice::WriteOnly);
        list.write(QStringLiteral("file '%1'\nfile '%2'\n").arg(work.filePath("a.mp4"), work.filePath("b.mp4")).toUtf8());
        list.close();
        return run("ffmpeg", {"-v", "error", "-y", "-ss", "30", "-to", "240", "-i", source, "-c", "copy",
                              work.filePath("a.mp4")})
            && run("ffmpeg", {"-v", "error", "-y", "-ss", "250", "-to", "570", "-i", source, "-c", "copy",
                              work.filePath("b.mp4")})
            && run("ffmpeg", {"-v", "error", "-y", "-f", "concat", "-safe", "0", "-i", list.fileName(), "-c", "copy",
                              work.filePath("copied.mp4")});
    };

    std::vector<double> originalWall, originalCpu, reencodeWall, reencodeCpu, copyWall, copyCpu;
    std::vector<double> ratioWall, ratioCpu;
    for (int pair = 0; pair < pairs; ++pair) {
        const Timing o = timed(original);
        const Timing r = timed(reencode);
        const Timing c = timed(copy);
        if (o.wall < 0 || r.wall < 0 || c.wall < 0)
            return 1;
        out << QStringLiteral("pair %1: original %2 s (cpu %3), re-encode %4 s (cpu %5), copy %6 s (cpu %7)")
                   .arg(pair + 1)
                   .arg(o.wall, 0, 'f', 2)
                   .arg(o.cpu, 0, 'f', 2)
                   .arg(r.wall, 0, 'f', 1)
                   .arg(r.cpu, 0, 'f', 1)
                   .arg(c.wall, 0, 'f', 2)
                   .arg(c.cpu, 0, 'f', 2)
            << Qt::endl;
        originalWall.push_back(o.wall);
        originalCpu.push_back(o.cpu);
        reencodeWall.push_back(r.wall);
        reencodeCpu.push_back(r.cpu);
        copyWall.push_back(c.wall);
        copyCpu.push_back(c.cpu);
        ratioWall.push_back(o.wall / r.wall);
        ratioCpu.push_back(o.cpu / r.cpu);
    }
    std::vector<double> offGridWall;
    for (int i = 0; i < pairs; ++i) {
        const Timing t = timed([&] {
            return run(trimlet, {"--export", work.filePath("between.mp4"), "--quality", "original", offGrid});
        });
        if (t.wall < 0)
            return 1;
        offGridWall.push_back(t.wall);
    }
    out << QStringLiteral("original with every cut between keyframes: median wall %1 s")
               .arg(median(offGridWall), 0, 'f', 2)
        << Qt::endl;
    out << QStringLiteral("median wall: original %1 s, re-encode %2 s, stream copy %3 s")
               .arg(median(originalWall), 0, 'f', 2)
               .arg(median(reencodeWall), 0, 'f', 1)
               .arg(median(copyWall), 0, 'f', 2)
        << Qt::endl;
    out << QStringLiteral("original / re-encode: wall %1 (median of pair ratios), cpu %2   [target <= 0.10]")
               .arg(median(ratioWall), 0, 'f', 4)
               .arg(median(ratioCpu), 0, 'f', 4)
        << Qt::endl;
    out << QStringLiteral("original / stream copy: wall %1, cpu %2   [target <= 3]")
               .arg(median(originalWall) / median(copyWall), 0, 'f', 2)
               .arg(median(originalCpu) / median(copyCpu), 0, 'f', 2)
        << Qt::endl;
    return 0;
}
