#include "ffmpeglocator.h"

#include "childprocess.h"
#include "exportlog.h"
#include "userprompts.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QThread>

namespace {

const int startTimeoutMs = 1000;
const int finishTimeoutMs = 2000;

// Asked before every export: on the GUI thread the window keeps painting while ffmpeg answers.
// Other threads (the encoder probe, the audio check) may have no event loop, and wait plainly.
bool onGuiThread()
{
    const QCoreApplication *application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread();
}

bool waitUntilStarted(QProcess &process)
{
    if (!onGuiThread())
        return process.waitForStarted(startTimeoutMs);
    waitWithoutFreezing([&process] { return process.state() != QProcess::Starting; }, startTimeoutMs);
    return process.state() == QProcess::Running
        || (process.state() == QProcess::NotRunning && process.error() != QProcess::FailedToStart);
}

void waitUntilFinished(QProcess &process)
{
    if (!onGuiThread())
        process.waitForFinished(finishTimeoutMs);
    else
        waitWithoutFreezing([&process] { return process.state() == QProcess::NotRunning; }, finishTimeoutMs);
}

} // namespace

QStringList ffmpegCandidates()
{
    const QString appDir =
        QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
    return {QStringLiteral("ffmpeg"),
            appDir + QStringLiteral("/ffmpeg/bin/ffmpeg.exe"),
            appDir + QStringLiteral("/ffmpeg.exe"),
            QStringLiteral("C:/ffmpeg/bin/ffmpeg.exe"),
            QStringLiteral("C:/Program Files/ffmpeg/bin/ffmpeg.exe"),
            QDir::homePath() + QStringLiteral("/ffmpeg/bin/ffmpeg.exe")};
}

QString findFFmpeg()
{
    return findFFmpegAmong(ffmpegCandidates());
}

QString findFFmpegAmong(const QStringList &candidates)
{
    for (const QString &candidate : candidates) {
        QProcess process;
        process.start(candidate, {QStringLiteral("-version")}, QIODevice::ReadWrite);
        if (!waitUntilStarted(process)) {
            process.kill();
            continue;
        }
        // A candidate still running after the wait is accepted: its exit code reads 0.
        waitUntilFinished(process);
        if (process.exitCode() == 0) {
            qCDebug(exportLog) << "Found FFmpeg at:" << candidate;
            if (process.state() != QProcess::NotRunning) {
                process.kill();
                process.waitForFinished();
            }
            return candidate;
        }
    }
    return QString();
}

QString ffmpegNotFoundText()
{
    return QStringLiteral(
               "FFmpeg is required for video export but was not found.\n\n"
               "Please install FFmpeg:\n\n"
               "Option 1 - Using Chocolatey (recommended):\n"
               "  • Open PowerShell as Administrator\n"
               "  • Run: choco install ffmpeg\n\n"
               "Option 2 - Manual installation:\n"
               "  • Download from: %1\n"
               "  • Download 'ffmpeg-release-essentials.zip'\n"
               "  • Extract to C:\\ffmpeg\n"
               "  • Add C:\\ffmpeg\\bin to System PATH\n\n"
               "After installation, restart this application.")
        .arg(QStringLiteral("https://ffmpeg.org/download.html"));
}

bool checkFFmpegAvailable(UserPrompts &prompts, QWidget *parent)
{
    return checkFFmpegAvailable(prompts, parent, ffmpegCandidates());
}

bool checkFFmpegAvailable(UserPrompts &prompts, QWidget *parent, const QStringList &candidates)
{
    if (!findFFmpegAmong(candidates).isEmpty())
        return true;
    prompts.message(UserPrompts::Kind::Critical, parent, QStringLiteral("FFmpeg Not Found"),
                    ffmpegNotFoundText());
    return false;
}
