#include "exportrunner.h"

#include "childprocess.h"
#include "exportlog.h"
#include "ffmpeglocator.h"
#include "ffmpegerrors.h"
#include "iconlocator.h"
#include "outputfiles.h"
#include "progresstext.h"
#include "userprompts.h"

#include <QDir>
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
        stopProcess();
        if (!temporaryOutputPath.isEmpty())
            QFile::remove(temporaryOutputPath);
    }
    delete exportProgressDialog.data();
    removeTemporaryFiles();
    removeWorkFolder();
}

void ExportRunner::stopProcess()
{
    ffmpegProcess->disconnect(this);
    if (ffmpegProcess->state() != QProcess::NotRunning) {
        ffmpegProcess->kill();
        ffmpegProcess->waitForFinished();
    }
}

void ExportRunner::removeWorkFolder()
{
    if (!jobWorkFolder.isEmpty())
        QDir(jobWorkFolder).removeRecursively();
    jobWorkFolder.clear();
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
        if (ffmpegProcess->state() != QProcess::NotRunning && !temporaryOutputPath.isEmpty())
            QFile::remove(temporaryOutputPath);
        stopProcess();
        ffmpegProcess->deleteLater();
        ffmpegProcess = nullptr;
    }
    closeProgressDialog();
    removeWorkFolder();

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
    steps = job.steps.isEmpty() ? QList<Step>{Step{job.arguments, job.totalDurationMs, 1}} : job.steps;
    currentStep = 0;
    finishedWeight = 0;
    totalWeight = 0;
    for (const Step &step : std::as_const(steps))
        totalWeight += qMax<qint64>(1, step.weight);
    jobWorkFolder = job.workFolder;

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
        if (ffmpegProcess) {
            ffmpegProcess->disconnect(this);
            ffmpegProcess->deleteLater();
            ffmpegProcess = nullptr;
        }
        if (!temporaryOutputPath.isEmpty())
            QFile::remove(temporaryOutputPath);
        removeTemporaryFiles();
        removeWorkFolder();
    };

    ffmpegPath = ffmpegFinder();
    if (ffmpegPath.isEmpty()) {
        abandon();
        prompts().message(UserPrompts::Kind::Critical, window, QStringLiteral("Error"),
                          QStringLiteral("FFmpeg not found."));
        return false;
    }

    qCDebug(exportLog) << (video ? "Starting FFmpeg export with path:" : "Starting audio-only export with path:")
             << ffmpegPath;
    QString error;
    if (!launchStep(&error)) {
        abandon();
        prompts().message(UserPrompts::Kind::Critical, window, QStringLiteral("Error"), error);
        return false;
    }
    return true;
}

bool ExportRunner::launchStep(QString *error)
{
    const Step &step = steps.at(currentStep);
    ffmpegProcess = new QProcess(this);
    connect(ffmpegProcess, &QProcess::readyReadStandardError, this, &ExportRunner::onFFmpegReadyRead);
    connect(ffmpegProcess, &QProcess::finished, this, &ExportRunner::onFFmpegFinished);
    if (steps.size() > 1)
        qCDebug(exportLog) << "FFmpeg step" << currentStep + 1 << "of" << steps.size();
    qCDebug(exportLog) << "FFmpeg args:" << step.arguments;
    endWithThisProgram(*ffmpegProcess);
    ffmpegProcess->start(ffmpegPath, step.arguments, QIODevice::ReadWrite);
    if (ffmpegProcess->waitForStarted(startTimeoutMs))
        return true;
    *error = QStringLiteral("Failed to start FFmpeg process.\n\nCommand: ") + ffmpegPath + QStringLiteral("\nError: ")
        + ffmpegProcess->errorString();
    return false;
}

void ExportRunner::onFFmpegReadyRead()
{
    if (!ffmpegProcess)
        return;
    const QByteArray chunk = ffmpegProcess->readAllStandardError();
    qCDebug(exportLog).noquote() << QString::fromUtf8(chunk);
    const Step &step = steps.at(currentStep);
    const int stepPercent = progressParser.progress(chunk, step.durationMs);
    if (stepPercent < 0 || !exportProgressDialog)
        return;
    const int percent =
        int((finishedWeight * 100 + qMax<qint64>(1, step.weight) * stepPercent) / qMax<qint64>(1, totalWeight));
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

    // Every line ffmpeg wrote counts, the last one even without its end.
    progressParser.feed(ffmpegProcess->readAllStandardError() + '\n');
    const QString messages = progressParser.messageTail(errorTailLength);
    const bool unfinished = outputLeftUnfinished(progressParser.messageText());
    progressParser.reset();

    const bool stepDone = !canceled && exitStatus == QProcess::NormalExit && exitCode == 0 && !unfinished;
    QString startError;
    if (stepDone && currentStep + 1 < steps.size()) {
        ffmpegProcess->disconnect(this);
        ffmpegProcess->deleteLater();
        ffmpegProcess = nullptr;
        finishedWeight += qMax<qint64>(1, steps.at(currentStep).weight);
        ++currentStep;
        if (launchStep(&startError))
            return;
    }
    closeProgressDialog();

    Result result = Result::Succeeded;
    QString title;
    QString text;
    UserPrompts::Kind messageKind = UserPrompts::Kind::Critical;
    if (canceled) {
        result = Result::Canceled;
    } else if (!startError.isEmpty()) {
        result = Result::Failed;
        title = QStringLiteral("Error");
        text = startError;
    } else if (exitStatus == QProcess::CrashExit) {
        result = Result::Crashed;
        title = QStringLiteral("Export Failed");
        text = QStringLiteral("FFmpeg process crashed during export.");
    } else if (exitCode != 0) {
        result = Result::Failed;
        title = QStringLiteral("Export Failed");
        text = QStringLiteral("FFmpeg exited with error code %1\n\nError details:\n%2").arg(exitCode).arg(messages);
    } else if (unfinished) {
        result = Result::Failed;
        title = QStringLiteral("Export Failed");
        text = QStringLiteral("FFmpeg could not finish writing the file.\n\nError details:\n%1").arg(messages);
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
    removeWorkFolder();
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
