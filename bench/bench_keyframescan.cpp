// The packet scan of a one-hour 1080p30 H.264/AAC MP4 against ffprobe listing the same
// packets (pts and flags of the video stream), side by side: wall and CPU time, medians of
// three alternating runs after one unmeasured warm-up each, so all measured runs read the
// file from the page cache. The file is made once and kept in /tmp/trimlet-bench-cache.
#include "mediaindex.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>

#include <algorithm>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QTextStream out(stdout);

struct Timing {
    double wall = 0;
    double cpu = 0;
};

double seconds(const timeval &t)
{
    return t.tv_sec + t.tv_usec / 1e6;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool runFFmpeg(const QStringList &args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("ffmpeg"), QStringList{"-y", "-v", "error"} + args);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString makeHourFile()
{
    const QString folder = QStringLiteral("/tmp/trimlet-bench-cache/keyframescan");
    QDir().mkpath(folder);
    const QString hour = folder + QStringLiteral("/hour.mp4");
    if (QFileInfo(hour).size() > 0)
        return hour;
    const QString minute = folder + QStringLiteral("/one.mp4");
    out << "Making the one-hour source (once)..." << Qt::endl;
    if (!runFFmpeg({"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30:duration=60", "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=48000:duration=60", "-c:v", "libx264", "-preset", "ultrafast",
                    "-g", "60", "-b:v", "2M", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k", minute}))
        return {};
    const QString partial = hour + QStringLiteral(".part.mp4");
    if (!runFFmpeg({"-stream_loop", "59", "-i", minute, "-c", "copy", partial}) || !QFile::rename(partial, hour))
        return {};
    return hour;
}

Timing timeScan(const QString &path, int *videoPackets, int *keyframes)
{
    QElapsedTimer wall;
    const double cpuBefore = processCpuSeconds();
    wall.start();
    const Media::MediaIndex index = Media::scanMedia(path);
    Timing timing{wall.nsecsElapsed() / 1e9, processCpuSeconds() - cpuBefore};
    if (!index.ok())
        out << "scan failed: " << index.error << Qt::endl;
    *videoPackets = int(index.video.packets.size());
    *keyframes = int(std::count_if(index.video.packets.begin(), index.video.packets.end(),
                                   [](const Media::VideoPacket &p) { return p.keyframe; }));
    return timing;
}

// ffprobe as a direct child with its listing thrown away; its CPU time from wait4.
Timing timeFFprobe(const QString &path)
{
    const QByteArray file = path.toLocal8Bit();
    const char *argv[] = {"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "packet=pts,flags", "-of", "csv", file.constData(), nullptr};
    QElapsedTimer wall;
    wall.start();
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execvp("ffprobe", const_cast<char *const *>(argv));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    Timing timing{wall.nsecsElapsed() / 1e9, seconds(usage.ru_utime) + seconds(usage.ru_stime)};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        out << "ffprobe failed" << Qt::endl;
    return timing;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString path = makeHourFile();
    if (path.isEmpty()) {
        out << "Could not make the source file." << Qt::endl;
        return 1;
    }
    out << "Source: " << path << " (" << QFileInfo(path).size() / (1024 * 1024) << " MiB)" << Qt::endl;

    int packets = 0;
    int keyframes = 0;
    timeScan(path, &packets, &keyframes);
    timeFFprobe(path);
    out << "Video packets: " << packets << ", keyframes: " << keyframes << Qt::endl;

    constexpr int Rounds = 3;
    std::vector<double> scanWall, scanCpu, probeWall, probeCpu;
    for (int round = 0; round < Rounds; ++round) {
        const Timing scan = timeScan(path, &packets, &keyframes);
        const Timing probe = timeFFprobe(path);
        scanWall.push_back(scan.wall);
        scanCpu.push_back(scan.cpu);
        probeWall.push_back(probe.wall);
        probeCpu.push_back(probe.cpu);
        out << QStringLiteral("  run %1: scanMedia %2 s wall, %3 s CPU | ffprobe %4 s wall, %5 s CPU")
                   .arg(round + 1)
                   .arg(scan.wall, 0, 'f', 3)
                   .arg(scan.cpu, 0, 'f', 3)
                   .arg(probe.wall, 0, 'f', 3)
                   .arg(probe.cpu, 0, 'f', 3)
            << Qt::endl;
    }
    out << QStringLiteral("Median of %1 (page cache warm): scanMedia %2 s wall / %3 s CPU; "
                          "ffprobe %4 s wall / %5 s CPU; scanMedia/ffprobe wall %6, CPU %7")
               .arg(Rounds)
               .arg(median(scanWall), 0, 'f', 3)
               .arg(median(scanCpu), 0, 'f', 3)
               .arg(median(probeWall), 0, 'f', 3)
               .arg(median(probeCpu), 0, 'f', 3)
               .arg(median(scanWall) / median(probeWall), 0, 'f', 3)
               .arg(median(scanCpu) / median(probeCpu), 0, 'f', 3)
        << Qt::endl;
    return 0;
}
