#pragma once

#include "clip.h"
#include "exportcommand.h"

#include <QFont>
#include <QObject>
#include <functional>
#include <memory>

class ExportRunner;
class SmartExportJob;
class HardwareEncoderDetector;
class QTemporaryDir;
class QWidget;
class UserPrompts;

// What an export reads from the edit.
struct ExportSource {
    QString videoPath;
    QString projectPath; // the edit's project file, if it has one: never an output
    ClipList clips;
    const HardwareEncoderDetector *encoderDetector = nullptr;
    QFont titleFont;
};

// Turns the edit into an ffmpeg run: probes the source, renders the titles,
// builds the command and hands it to the runner.
class ExportController : public QObject {
    Q_OBJECT
public:
    ExportController(std::function<UserPrompts &()> prompts, QWidget *window, QObject *parent = nullptr);
    ~ExportController() override;

    ExportRunner *runner() const { return exportRunner; }
    SmartExportJob *smartJob() const { return smartExport; }

    // True when ffmpeg was started. sourceHasAudio is cleared when a new check
    // finds no audio.
    bool exportWithFFmpeg(const ExportSource &source, const QString &outputPath, int targetWidth,
                          int targetHeight, int crf, int audioMode, bool &sourceHasAudio);
    bool exportAudioOnly(const ExportSource &source, const QString &outputPath, const QString &format,
                         const QString &bitrate, bool sourceHasAudio);
    // Keeps the source's frames, size and codec: copies what it can and encodes the
    // rest to match, or encodes everything at the original size when the source
    // cannot be cut that way. The outcome arrives through exportFinished.
    bool exportOriginalQuality(const ExportSource &source, const QString &outputPath, int audioMode,
                               bool &sourceHasAudio);

    // Where the running export's title image for a part is; empty when it has no titles.
    QString titleImagePath(int clipIndex) const;
    // The running export's private folder for title images; empty when it has none.
    QString titleFolder() const;

signals:
    // Every kind of export reports through these.
    void progressChanged(int percent);
    void exportFinished(int result);

private:
    UserPrompts &prompts() const { return promptsProvider(); }
    bool refuseOutput(const ExportSource &source, const QString &outputPath);
    bool fitClips(const ExportSource &source, const SourceFacts &facts, ClipList &clips);
    QString reserveTemporaryOutput(const QString &outputPath);
    QString newTitleImagePath(int clipIndex);

    std::function<UserPrompts &()> promptsProvider;
    QWidget *window = nullptr;
    ExportRunner *exportRunner = nullptr;
    SmartExportJob *smartExport = nullptr;
    QString completionNote;             // added to the next video export's success message
    ExportSource smartSource;           // the edit of the running original-quality export
    ExportCommand command;
    std::unique_ptr<QTemporaryDir> titleDir;
};
