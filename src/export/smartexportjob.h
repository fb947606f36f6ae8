#pragma once

#include "clip.h"
#include "exportrunner.h"
#include "mediaindex.h"
#include "smartcutplan.h"
#include "streamjoiner.h"
#include "userprompts.h"

#include <QObject>
#include <QElapsedTimer>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <memory>

class QProcess;
class QProgressDialog;
class QThread;
class QWidget;

// The original-quality export: reads the source's packet index, encodes again only
// the frames between each cut and the next keyframe (or whole parts that need
// their own filters), and joins them with the copied packets and the edit's audio.
// Progress, cancel and the temporary output follow the other exports' rules.
class SmartExportJob : public QObject {
    Q_OBJECT
public:
    struct Setup {
        QString sourcePath;
        ClipList clips;                     // fitted to the source
        QString outputPath;                 // the file the user chose
        QString temporaryOutputPath;        // written, then moved over outputPath
        QString outputFormat;               // muxer name
        bool withAudio = true;
        std::function<QString(int clip, const QSize &frame)> renderTitle; // image path, or empty
        QString ffmpegPath;
    };

    SmartExportJob(std::function<UserPrompts &()> prompts, QWidget *window, QObject *parent = nullptr);
    ~SmartExportJob() override;

    void start(const Setup &setup);
    bool isRunning() const { return running; }
    QProgressDialog *progressDialog() const { return dialog.data(); }
    // The plan of the last export that got that far.
    const SmartCut::Plan &plan() const { return currentPlan; }

    // The completion note of a smart export; the sound's formats when it was encoded again.
    static QString smartNote(const QString &soundFrom = QString(), const QString &soundTo = QString());
    // The note of an export that had to encode everything again.
    static QString fallbackNote(const QString &reason);

public slots:
    void cancel();

signals:
    void progressChanged(int percent);
    // The source cannot be cut this way (found before or while joining): the caller encodes
    // it whole instead.
    void fallbackNeeded(const QString &reason);
    void exportFinished(ExportRunner::Result result);

private:
    struct Task {
        QStringList arguments;
        double weight = 1.0;
    };
    UserPrompts &prompts() const { return promptsProvider(); }
    void onAnalysed(std::shared_ptr<const Media::MediaIndex> index);
    void prepareAndRun();
    void runNextTask();
    void onTaskFinished(int exitCode, int exitStatus);
    void startJoin();
    // Runs work(cancel, progress) on the worker thread; its progress fills [from, to] of the
    // bar, and done(result) runs back on this object's thread.
    template <typename Work, typename Done>
    void runOnWorker(double from, double to, Work work, Done done);
    void onJoined(const StreamJoiner::Outcome &outcome);
    // Hands the export back to be encoded whole, for this reason.
    void fallBack(const QString &reason);
    void finish(ExportRunner::Result result, const QString &title, const QString &text,
                UserPrompts::Kind failureKind = UserPrompts::Kind::Critical);
    void endWorker();
    void setProgress(double fraction);
    void stopWork();

    std::function<UserPrompts &()> promptsProvider;
    QPointer<QWidget> window;
    Setup setup;
    bool running = false;
    int generation = 0;
    std::shared_ptr<std::atomic<bool>> canceled;
    QPointer<QProgressDialog> dialog;
    std::unique_ptr<QTemporaryDir> workDir;
    std::shared_ptr<const Media::MediaIndex> index;
    SmartCut::FrameTable table;
    SmartCut::Plan currentPlan;
    QList<Task> tasks;
    int nextTask = 0;
    QProcess *process = nullptr;
    QThread *worker = nullptr;
    double doneWeight = 0.0;
    double totalWeight = 1.0;
    double currentWeight = 0.0;
    int lastPercent = -1;
    QElapsedTimer exportClock;
    QElapsedTimer labelClock;           // since the label last changed
    QString audioPath;
    bool copyAudio = false;
    QString soundEncodedAs;             // the format the sound is encoded again in; empty: copied or none
    QStringList pieceFiles;             // per segment; empty for copied ones
    QString lastError;
};
