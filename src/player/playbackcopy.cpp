#include "playbackcopy.h"

#include "playerlog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

PlaybackCopy::PlaybackCopy(QObject *parent)
    : QObject(parent)
{
}

PlaybackCopy::~PlaybackCopy()
{
    cancel();
}

bool PlaybackCopy::isNeeded(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(4) == QByteArray::fromHex("1a45dfa3");
}

void PlaybackCopy::cancel()
{
    if (!process)
        return;
    // Waiting would otherwise deliver its finished signal here.
    process->disconnect(this);
    process->kill();
    process->waitForFinished();
    process->deleteLater();
    process = nullptr;
}

void PlaybackCopy::start(const QString &path, int load)
{
    cancel();
    if (!folder || !folder->isValid())
        folder = std::make_unique<QTemporaryDir>();
    for (const QString &old : QDir(folder->path()).entryList(QDir::Files))
        QFile::remove(folder->filePath(old));
    source = path;
    target = folder->filePath(QStringLiteral("playback-%1.mp4").arg(load));
    run(false);
}

void PlaybackCopy::run(bool encodeAudio)
{
    encodesAudio = encodeAudio;
    process = new QProcess(this);
    connect(process, &QProcess::finished, this, &PlaybackCopy::onFinished);
    // A program that does not start reports no finish: without this the file would never open.
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onFinished(-1, QProcess::CrashExit);
    });
    // Opus and most other sound go into MP4 as they are; what does not (PCM, for one) is encoded.
    process->start(ffmpeg,
                   {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"),
                    QStringLiteral("-i"), source, QStringLiteral("-map"), QStringLiteral("0:v:0"),
                    QStringLiteral("-map"), QStringLiteral("0:a:0?"), QStringLiteral("-c:v"), QStringLiteral("copy"),
                    QStringLiteral("-c:a"), encodeAudio ? QStringLiteral("aac") : QStringLiteral("copy"),
                    QStringLiteral("-f"), QStringLiteral("mp4"), target});
}

void PlaybackCopy::onFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!process)
        return;
    process->deleteLater();
    process = nullptr;
    if (status == QProcess::NormalExit && exitCode == 0 && QFileInfo(target).size() > 0) {
        qCDebug(playerLog) << "Playing through a stream copy:" << target;
        emit ready(target);
        return;
    }
    if (!encodesAudio) {
        run(true);
        return;
    }
    qCWarning(playerLog) << "Could not make a playback copy of" << source << "- playing the file itself";
    emit ready(source);
}
