#include "exportrunner.h"

#include "childprocess.h"
#include "ffmpeglocator.h"
#include "iconlocator.h"
#include "outputfiles.h"
#include "progresstext.h"
#include "userprompts.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProgressDialog>

namespace {

const int startTimeoutMs = 3000;
const int errorTailLength = 500;

} // namespace

ExportRunner::ExportRunner(std::function<UserPrompts &()> prompts, QWidget *window, QObject *parent)
    : QObject(parent)
    , promptsProvider(std::move(prompts))
    , ffmpegFinder([] { return findFFmpeg(); })
    , window(window)
{
}

ExportRunner::~ExportRunner()
{
    if (ffmpegProcess) {
        ffmpegProcess->disconnect(this);
        if (ffmpegProcess->state() != QProcess::NotRunning) {
            ffmpegProcess->kill();
            ffmpegProcess->waitForFinished();
        }
        if (!temporaryOutputPath.isEmpty())
            QFile::remove(temporaryOutputPath);
    }
    delete exportProgressDialog.data();
    removeTemporaryFiles();
}

void ExportRunner::setFFmpegFinder(std::function<QString()> finder)
{
    ffmpegFinder = std::move(finder);
}

bool ExportRunner::isRunning() const
{
    return ffmpegProcess && ffmpegProcess->state() != QProcess::NotRunning;
}

QString ExportRunner::progressLabel(int percent)
{
    return QStringLiteral("Exporting video... %1%").arg(percent);
}

bool ExportRunner::start(const Job &job)
{
    if (ffmpegProcess) {
        // Only one export runs; an earlier one still going is abandoned with its files.
        ffmpegProcess->disconnect(this);
        if (ffmpegProcess->state() != QProcess::NotRunning) {
            ffmpegProcess->kill();
            ffmpegProcess->waitForFinished();
            if (!temporaryOutputPath.isEmpty())
                QFile::remove(temporaryOutputPath);
        }
        ffmpegProcess->deleteLater();
        ffmpegProcess = nullptr;
    }
    closeProgressDialog();

    kind = job.kind;
    canceled = false;
    progressParser.reset();
    exportOutputPath = job.outputPath;
    temporaryOutputPath = job.temporaryOutputPath;
    exportTotalDuration = job.totalDurationMs;
    exportClock.start();
    progressParser.reset();
    tempExportFiles += job.temporaryFiles;
    completionNote = job.completionNote;

    ffmpegProcess = new QProcess(this);
    connect(ffmpegProcess, &QProcess::readyReadStandardError, this, &ExportRunner::onFFmpegReadyRead);
    connect(ffmpegProcess, &QProcess::finished, this, &ExportRunner::onFFmpegFinished);

    const bool video = kind == Kind::Video;
    exportProgressDialog = new QProgressDialog(
        video ? QStringLiteral("Exporting video...") : QStringLiteral("Extracting audio..."),
        QStringLiteral("Cancel"), 0, 100, window);
    exportProgressDialog->setWindowTitle(video ? QStringLiteral("Export Progress")
                                               : QStringLiteral("Audio Export Progress"));
    exportProgressDialog->setWindowIcon(loadAppIcon());
    // Wide enough for its own title.
    exportProgressDialog->setMinimumWidth(380);
    exportProgressDialog->setWindowModality(Qt::WindowModal);
    exportProgressDialog->setMinimumDuration(0);
    exportProgressDialog->setValue(0);
    connect(exportProgressDialog, &QProgressDialog::canceled, this, &ExportRunner::cancelExport);

    auto abandon = [this] {
        closeProgressDialog();
        ffmpegProcess->disconnect(this);
        ffmpegProcess->deleteLater();
        ffmpegProcess = nullptr;
        if (!temporaryOutputPath.isEmpty())
            QFile::remove(temporaryOutputPath);
        removeTemporaryFiles();
    };

    const QString ffmpeg = ffmpegFinder();
    if (ffmpeg.isEmpty()) {
        abandon();
        prompts().message(UserPrompts::Kind::Critical, window, QStringLiteral("Error"),
                          QStringLiteral("FFmpeg not found."));
        return false;
    }

    qDebug() << (video ? "Starting FFmpeg export with path:" : "Starting audio-only export with path:")
             << ffmpeg;
    qDebug() << "FFmpeg args:" << job.arguments;

    endWithThisProgram(*ffmpegProcess);
    ffmpegProcess->start(ffmpeg, job.arguments, QIODevice::ReadWrite);
    if (!ffmpegProcess->waitForStarted(startTimeoutMs)) {
        const QString error = ffmpegProcess->errorString();
        abandon();
        prompts().message(UserPrompts::Kind::Critical, window, QStringLiteral("Error"),
                          QStringLiteral("Failed to start FFmpeg process.\n\nCommand: ") + ffmpeg
                              + QStringLiteral("\nError: ") + error);
        return false;
    }
    return true;
}

void ExportRunner::onFFmpegReadyRead()
{
    if (!ffmpegProcess)
        return;
    const QByteArray chunk = ffmpegProcess->readAllStandardError();
    qDebug().noquote() << QString::fromUtf8(chunk);
    const int percent = progressParser.progress(chunk, exportTotalDuration);
    if (percent < 0 || !exportProgressDialog)
        return;
    QPointer<QProgressDialog> dialog = exportProgressDialog;
    dialog->setLabelText(ProgressText::describe(percent, exportClock.elapsed(), exportTotalDuration));
    // A modal progress dialog processes events in setValue(); the export may end there.
    dialog->setValue(percent);
    emit progressChanged(percent);
}

void ExportRunner::onFFmpegFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    // finished() comes only once the process has stopped; a stray call while it runs is ignored.
    if (!ffmpegProcess || ffmpegProcess->state() != QProcess::NotRunning)
        return;
    closeProgressDialog();

    // Every line ffmpeg wrote counts, the last one even without its end.
    progressParser.feed(ffmpegProcess->readAllStandardError() + '\n');
    const QString messages = progressParser.messageTail(errorTailLength);
    progressParser.reset();

    Result result = Result::Succeeded;
    QString title;
    QString text;
    UserPrompts::Kind messageKind = UserPrompts::Kind::Critical;
    if (canceled) {
        result = Result::Canceled;
    } else if (exitStatus == QProcess::CrashExit) {
        result = Result::Crashed;
        title = QStringLiteral("Export Failed");
        text = QStringLiteral("FFmpeg process crashed during export.");
    } else if (exitCode != 0) {
        result = Result::Failed;
        title = QStringLiteral("Export Failed");
        text = QStringLiteral("FFmpeg exited with error code %1\n\nError details:\n%2").arg(exitCode).arg(messages);
    } else {
        bool ok = false;
        const QString problem = finishSuccessfulRun(&ok);
        if (ok) {
            messageKind = UserPrompts::Kind::Information;
            title = QStringLiteral("Export Complete");
            text = (kind == Kind::Video ? QStringLiteral("Video exported successfully!\n\nSaved to:\n%1")
                                        : QStringLiteral("Audio exported successfully!\n\nSaved to:\n%1"))
                       .arg(exportOutputPath);
            if (!completionNote.isEmpty())
                text += QStringLiteral("\n\n") + completionNote;
        } else {
            result = Result::Failed;
            title = QStringLiteral("Export Failed");
            text = problem;
        }
    }

    if (result != Result::Succeeded && !temporaryOutputPath.isEmpty())
        QFile::remove(temporaryOutputPath);
    temporaryOutputPath.clear();
    ffmpegProcess->disconnect(this);
    ffmpegProcess->deleteLater();
    ffmpegProcess = nullptr;
    removeTemporaryFiles();
    canceled = false;

    if (result == Result::Succeeded)
        prompts().notice(title, text);
    else if (!title.isEmpty())
        prompts().message(messageKind, window, title, text);
    emit exportFinished(result);
}

QString ExportRunner::finishSuccessfulRun(bool *ok)
{
    *ok = false;
    const QString written = temporaryOutputPath.isEmpty() ? exportOutputPath : temporaryOutputPath;
    const QFileInfo info(written);
    if (!info.exists() || info.size() == 0) {
        return QStringLiteral("FFmpeg reported success but wrote no output.\n\n"
                              "The file is missing or empty:\n%1")
            .arg(exportOutputPath);
    }
    if (!temporaryOutputPath.isEmpty()) {
        QString error;
        if (!replaceWithTemporary(temporaryOutputPath, exportOutputPath, &error)) {
            return QStringLiteral("The exported file could not be saved to:\n%1\n\nError: %2")
                .arg(exportOutputPath, error);
        }
    }
    *ok = true;
    return QString();
}

void ExportRunner::cancelExport()
{
    if (!ffmpegProcess || ffmpegProcess->state() != QProcess::Running)
        return;
    canceled = true;
    ffmpegProcess->kill();
    prompts().notice(QStringLiteral("Export Canceled"), kind == Kind::Video ? QStringLiteral("Video export was canceled.")
                                                                           : QStringLiteral("Audio export was canceled."));
}

void ExportRunner::closeProgressDialog()
{
    if (!exportProgressDialog)
        return;
    QProgressDialog *dialog = exportProgressDialog.data();
    exportProgressDialog.clear();
    // Closing a progress dialog emits canceled(); the export has already ended.
    dialog->disconnect(this);
    dialog->setValue(100);
    dialog->close();
    dialog->deleteLater();
}

void ExportRunner::clearTemporaryFiles()
{
    if (!isRunning())
        removeTemporaryFiles();
}

void ExportRunner::removeTemporaryFiles()
{
    for (const QString &file : std::as_const(tempExportFiles))
        QFile::remove(file);
    tempExportFiles.clear();
}
