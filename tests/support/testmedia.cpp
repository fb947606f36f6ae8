#include "testmedia.h"

#include <QDebug>
#include <QFile>
#include <QProcess>
#include <limits>

namespace TestMedia {

bool runFFmpeg(const QStringList &args, QString *errorOutput)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"), QStringList{"-y", "-v", "error"} + args);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        if (errorOutput)
            *errorOutput = QStringLiteral("ffmpeg timed out");
        return false;
    }
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    if (errorOutput)
        *errorOutput = err;
    const bool ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok)
        qWarning().noquote() << "ffmpeg failed:" << args.join(' ') << err;
    return ok;
}

bool makeVideo(const QString &path, const VideoOptions &options)
{
    const QString size = QStringLiteral("%1x%2").arg(options.width).arg(options.height);
    QStringList args{"-f", "lavfi", "-i",
                     QStringLiteral("testsrc2=s=%1:r=%2:d=%3").arg(size).arg(options.fps).arg(options.seconds)};
    if (options.withAudio) {
        args << "-f" << "lavfi" << "-i"
             << QStringLiteral("sine=frequency=440:sample_rate=44100:d=%1").arg(options.seconds);
    }
    args << "-c:v" << "libx264" << "-preset" << "ultrafast" << "-pix_fmt" << "yuv420p";
    if (options.withAudio)
        args << "-c:a" << "aac" << "-b:a" << "64k";
    args << "-shortest" << options.extraOutputArgs << path;
    return runFFmpeg(args);
}

bool makeSoundVideo(const QString &path, const QString &picture, const QString &sound,
                    const QStringList &extraOutputArgs)
{
    return runFFmpeg(QStringList{"-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", sound, "-c:v", "libx264",
                                 "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac"}
                     + extraOutputArgs + QStringList{path});
}

bool makeColourSecondsVideo(const QString &path)
{
    return runFFmpeg({"-f", "lavfi", "-i",
                      "color=red:s=320x180:r=25:d=1[a];color=lime:s=320x180:r=25:d=1[b];"
                      "color=blue:s=320x180:r=25:d=1[c];color=yellow:s=320x180:r=25:d=1[d];"
                      "[a][b][c][d]concat=n=4",
                      "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-keyint_min", "25",
                      "-sc_threshold", "0", "-pix_fmt", "yuv420p", path});
}

QString runFFprobe(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral("ffprobe"), QStringList{"-v", "error"} + args);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

double probeDuration(const QString &path)
{
    const QString out = runFFprobe({"-show_entries", "format=duration", "-of",
                                    "default=noprint_wrappers=1:nokey=1", path});
    bool ok = false;
    const double value = out.trimmed().toDouble(&ok);
    return ok ? value : -1.0;
}

QVector<double> framePsnr(const QString &output, const QString &source, const QList<QPair<int, int>> &frames,
                          const QString &workDir)
{
    QStringList terms;
    for (const auto &range : frames)
        terms << QStringLiteral("between(n,%1,%2)").arg(range.first).arg(range.second - 1);
    const QString stats = workDir + QStringLiteral("/psnr.log");
    QFile::remove(stats);
    // Both renumbered at one rate: the comparison pairs frames by their order alone.
    const QString graph = QStringLiteral("[1:v]select='%1',setpts=N/TB/25[ref];[0:v]setpts=N/TB/25[out];"
                                         "[out][ref]psnr=stats_file=%2")
                              .arg(terms.join('+'), stats);
    QString error;
    if (!runFFmpeg({"-i", output, "-i", source, "-filter_complex", graph, "-f", "null", "-"}, &error))
        return {};
    QVector<double> values;
    QFile file(stats);
    if (!file.open(QIODevice::ReadOnly))
        return values;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const int at = line.indexOf("psnr_avg:");
        if (at < 0)
            continue;
        const QByteArray value = line.mid(at + 9).split(' ').first();
        values.append(value == "inf" ? std::numeric_limits<double>::infinity() : value.toDouble());
    }
    return values;
}

} // namespace TestMedia
