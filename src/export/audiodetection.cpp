#include "audiodetection.h"

#include "ffmpeglocator.h"

#include <QDebug>
#include <QProcess>

namespace {

const int startTimeoutMs = 1500;
const int runTimeoutMs = 7000;
const int killTimeoutMs = 30000;

} // namespace

bool detectAudioStream(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QString ffmpeg = findFFmpeg();
    if (ffmpeg.isEmpty())
        return false;

    // One packet of the first audio stream answers the question; copying the whole
    // track takes seconds on long files.
    QProcess process;
    process.start(ffmpeg,
                  {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-hide_banner"),
                   QStringLiteral("-i"), path, QStringLiteral("-map"), QStringLiteral("0:a:0"),
                   QStringLiteral("-c"), QStringLiteral("copy"), QStringLiteral("-frames:a"),
                   QStringLiteral("1"), QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")},
                  QIODevice::ReadWrite);
    if (!process.waitForStarted(startTimeoutMs))
        return false;
    if (!process.waitForFinished(runTimeoutMs)) {
        process.kill();
        process.waitForFinished(killTimeoutMs);
        return false;
    }
    const bool hasAudio = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    qDebug() << "Audio detection for" << path << ":" << (hasAudio ? "HAS audio" : "NO audio");
    return hasAudio;
}
