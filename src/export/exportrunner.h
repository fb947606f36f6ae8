#pragma once

#include "exportprogressparser.h"

#include <QProgressDialog>

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <functional>

class QWidget;
class UserPrompts;

// Runs one ffmpeg export at a time under a progress dialog and reports its end.
// ffmpeg writes to a temporary file beside the output, which replaces the output
// only after a successful run, so a failed, crashed or cancelled export never
// touches a file the user has.
class ExportRunner : public QObject {
    Q_OBJECT
public:
    enum class Kind { Video, Audio };
    enum class Result { Succeeded, Failed, Crashed, Canceled };
    Q_ENUM(Result)

    // One ffmpeg run of a job made of several.
    struct Step {
        QStringList arguments;
        qint64 durationMs = 0;          // of what it writes: its "time=" is read against this
        qint64 weight = 1;              // its share of the progress bar, against the other steps'
    };

    struct Job {
        Kind kind = Kind::Video;
        QStringList arguments;          // ending in the path ffmpeg writes
        QString outputPath;             // the file the user chose
        QString temporaryOutputPath;    // what ffmpeg writes; empty: outputPath itself
        qint64 totalDurationMs = 0;
        QStringList temporaryFiles;     // removed when the export ends
        QString completionNote;         // a last paragraph for the success message
        // When given, run in turn instead of `arguments`, each after the last succeeded; the
        // last one writes the output.
        QList<Step> steps;
        QString workFolder;             // removed with all it holds when the export ends
    };

    ExportRunner(std::function<UserPrompts &()> prompts, QWidget *window, QObject *parent = nullptr);
    ~ExportRunner() override;

    // Defaults to findFFmpeg(); tests put a stand-in program here.
    void setFFmpegFinder(std::function<QString()> finder);

    // Starts the job; false (after its message) when ffmpeg cannot be started.
    bool start(const Job &job);

    bool isRunning() const;
    QProcess *process() const { return ffmpegProcess; }
    QProgressDialog *progressDialog() const { return exportProgressDialog.data(); }
    QString outputPath() const { return exportOutputPath; }
    const QStringList &temporaryFiles() const { return tempExportFiles; }
    // The running job's folder for its intermediate files; empty when it has none.
    QString workFolder() const { return jobWorkFolder; }
    // Steps of the running job that have finished.
    int finishedSteps() const { return currentStep; }
    int stepCount() const { return int(steps.size()); }

    // Removes title images left from an earlier export; none while one runs.
    void clearTemporaryFiles();
    // A file to remove when the current or next export ends.
    void addTemporaryFile(const QString &path) { tempExportFiles.append(path); }

    static QString progressLabel(int percent);

public slots:
    void onFFmpegReadyRead();
    void onFFmpegFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void cancelExport();

signals:
    void progressChanged(int percent);
    void exportFinished(ExportRunner::Result result);

private:
    UserPrompts &prompts() const { return promptsProvider(); }
    void closeProgressDialog();
    QString finishSuccessfulRun(bool *ok);
    void removeTemporaryFiles();
    bool launchStep(QString *error);
    void stopProcess();
    void removeWorkFolder();

    std::function<UserPrompts &()> promptsProvider;
    std::function<QString()> ffmpegFinder;
    QPointer<QWidget> window;

    QProcess *ffmpegProcess = nullptr;
    QPointer<QProgressDialog> exportProgressDialog;
    QString exportOutputPath;
    QString temporaryOutputPath;
    qint64 exportTotalDuration = 0;
    QElapsedTimer exportClock;
    QStringList tempExportFiles;
    Kind kind = Kind::Video;
    QString completionNote;
    bool canceled = false;
    ExportProgressParser progressParser;
    QString ffmpegPath;
    QList<Step> steps;
    int currentStep = 0;
    qint64 finishedWeight = 0;
    qint64 totalWeight = 1;
    QString jobWorkFolder;
};
