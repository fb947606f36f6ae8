#include "exportcontroller.h"

#include "batchedexport.h"
#include "childprocess.h"
#include "damagecheck.h"
#include "exportleftovers.h"
#include "exportlog.h"
#include "exportrunner.h"
#include "ffmpeglocator.h"
#include "hardwareencoderdetector.h"
#include "outputfiles.h"
#include "smartexportjob.h"
#include "titleimagerenderer.h"
#include "userprompts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

using namespace ExportCommandBuilder;

namespace {

// An original-quality export that must encode everything keeps close to the source.
const int originalFallbackCrf = 18;

} // namespace

ExportController::ExportController(std::function<UserPrompts &()> prompts, QWidget *window,
                                   QObject *parent)
    : QObject(parent)
    , promptsProvider(prompts)
    , window(window)
    , exportRunner(new ExportRunner(prompts, window, this))
    , smartExport(new SmartExportJob(prompts, window, this))
{
    connect(exportRunner, &ExportRunner::progressChanged, this, &ExportController::progressChanged);
    // However an export ends, its title images go with their folder.
    connect(exportRunner, &ExportRunner::exportFinished, this, [this](ExportRunner::Result result) {
        titleDir.reset();
        emit exportFinished(int(result));
    });
    connect(smartExport, &SmartExportJob::progressChanged, this, &ExportController::progressChanged);
    connect(smartExport, &SmartExportJob::exportFinished, this, [this](ExportRunner::Result result) {
        titleDir.reset();
        emit exportFinished(int(result));
    });
}

ExportController::~ExportController() = default;

QString ExportController::titleImagePath(int clipIndex) const
{
    return titleDir ? titleDir->filePath(QStringLiteral("title_%1.png").arg(clipIndex)) : QString();
}

QString ExportController::titleFolder() const
{
    return titleDir ? titleDir->path() : QString();
}

// A folder of this export's own, readable by the user alone: nobody can plant a link
// where a title is written, and two running programs never share an image.
QString ExportController::newTitleImagePath(int clipIndex)
{
    if (!titleDir) {
        titleDir = std::make_unique<QTemporaryDir>(QDir::temp().filePath(QStringLiteral("trimlet-titles-XXXXXX")));
        if (!titleDir->isValid()) {
            qCWarning(exportLog) << "Cannot create a folder for the title images:" << titleDir->errorString();
            titleDir.reset();
            return QString();
        }
        ExportLeftovers::track(titleDir->path());
    }
    return titleImagePath(clipIndex);
}

bool ExportController::refuseOutput(const ExportSource &source, const QString &outputPath)
{
    // Found before the encode, not by the rename after it.
    if (QFileInfo(outputPath).isDir()) {
        prompts().message(UserPrompts::Kind::Critical, window, QStringLiteral("Invalid Filename"),
                          QStringLiteral("The output is a folder:\n%1\n\nPlease choose a file name.")
                              .arg(QDir::toNativeSeparators(outputPath)));
        return true;
    }
    QString problem = notAFileReason(outputPath);
    if (refersToSameFile(outputPath, source.videoPath))
        problem = QStringLiteral("The output file is the video being edited.\n\nPlease choose a different filename.");
    else if (refersToSameFile(outputPath, source.projectPath))
        problem = QStringLiteral("The output file is the project file of this edit.\n\n"
                                 "Please choose a different filename.");
    if (problem.isEmpty())
        return false;
    prompts().message(UserPrompts::Kind::Critical, window, QStringLiteral("Invalid Filename"), problem);
    return true;
}

bool ExportController::fitClips(const ExportSource &source, const SourceFacts &facts, ClipList &clips)
{
    clips = fitClipsToSource(source.clips, facts);
    if (!clips.isEmpty())
        return true;
    prompts().message(UserPrompts::Kind::Warning, window, QStringLiteral("Nothing to Export"),
                      QStringLiteral("The kept parts of this video are empty."));
    return false;
}

QString ExportController::reserveTemporaryOutput(const QString &outputPath)
{
    const QString path = createTemporaryOutput(outputPath);
    if (path.isEmpty()) {
        prompts().message(UserPrompts::Kind::Critical, window, QStringLiteral("Export Failed"),
                          QStringLiteral("Cannot create a file in the folder of:\n%1").arg(outputPath));
    }
    return path;
}

bool ExportController::exportWithFFmpeg(const ExportSource &source, const QString &outputPath,
                                        int targetWidth, int targetHeight, int crf, int audioMode,
                                        bool &sourceHasAudio)
{
    if (refuseOutput(source, outputPath))
        return false;

    // The damage check scans the packets beside the ffmpeg search and the header read.
    DamageCheck damage(source.videoPath);

    if (!checkFFmpegAvailable(prompts(), window))
        return false;
    exportRunner->clearTemporaryFiles();
    titleDir.reset();

    VideoExportInput input;
    input.sourcePath = source.videoPath;
    input.targetWidth = targetWidth;
    input.targetHeight = targetHeight;
    input.source = probeSource(source.videoPath);
    if (input.source.noVideo) {
        prompts().message(UserPrompts::Kind::Warning, window, QStringLiteral("No Video Track"),
                          QStringLiteral("This file has no video, only sound.\n\n"
                                         "To save its sound, choose \"Audio Only\" when you export."));
        return false;
    }
    if (!fitClips(source, input.source, input.clips))
        return false;

    if (audioMode == 1) {
        qCDebug(exportLog) << "Audio disabled by user (No Audio mode)";
        input.withAudio = false;
    } else if (sourceHasAudio) {
        input.withAudio = input.source.hasAudio;
        if (!input.withAudio)
            sourceHasAudio = false;
    } else {
        input.withAudio = false;
    }
    qCDebug(exportLog) << "Audio stream in export:" << input.withAudio << "(mode:" << audioMode << ")";

    QStringList titleFiles;
    const TitleImageRenderer renderer(source.titleFont);
    for (int i = 0; i < input.clips.size(); ++i) {
        const Clip &clip = input.clips.at(i);
        if (!wantsTitle(clip))
            continue;
        // Drawn at the size of the frame it is laid on, so it sits where the user
        // placed it whatever the output size.
        const QSize frame = clipFrameSize(clip, input.source);
        const QString path = newTitleImagePath(i);
        // Pixels that are not square: laid out in the shape shown and squeezed into the frame,
        // so the stretch on screen gives the letters back their shape.
        const QSize shown = clipShownSize(clip, input.source);
        const QImage image = shown == frame
            ? renderer.render(clip, frame)
            : renderer.render(clip, shown).scaled(frame, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (path.isEmpty() || !image.save(path, "PNG")) {
            qCWarning(exportLog) << "Failed to save title PNG:" << path;
            continue;
        }
        const QRect box = renderer.boxRect(clip, frame);
        qCDebug(exportLog) << "Saved title PNG:" << path
                 << "Lines:" << renderer.wrapLines(clip.titleText, renderer.titleFont(clip), frame.width()).size()
                 << "Size:" << box.width() << "x" << box.height();
        titleFiles << path;
        input.titles.append({i, path, titleDurationSeconds(clip)});
    }

    for (const Clip &clip : std::as_const(input.clips)) {
        if (clip.hasEffects && clip.blurIntensity > 0) {
            const double factor = (input.source.width / 1280.0) * (input.source.width / 1280.0) * 1.2;
            qCDebug(exportLog) << "Blur scaling - Intensity:" << clip.blurIntensity
                     << "BaseSigma:" << clip.blurIntensity * 0.2 << "OriginalRes:" << input.source.width
                     << "x" << input.source.height << "PreviewRes:" << 1280 << "ScaleFactor:" << factor
                     << "FinalSigma:" << blurSigma(clip.blurIntensity, input.source.width);
        }
    }

    const QString temporaryOutput = reserveTemporaryOutput(outputPath);
    if (temporaryOutput.isEmpty()) {
        titleDir.reset();
        return false;
    }
    input.outputPath = temporaryOutput;
    input.outputFormat = videoContainerFor(outputPath);
    input.decoderThreadsPerInput = decoderThreadsForInputs(int(input.clips.size()));
    input.encoder = chooseEncoder(source.encoderDetector, crf);
    if (input.encoder.fromDetector) {
        qCDebug(exportLog) << "PHASE 5 Export: Encoder =" << input.encoder.encoder << "(" << input.encoder.description << ")";
        qCDebug(exportLog) << "  Quality mode:" << input.encoder.qualityMode << "| Preset:"
                 << (input.encoder.preset.isEmpty() ? QStringLiteral("none") : input.encoder.preset);
        qCDebug(exportLog) << "  Parameters:" << input.encoder.parameters;
    } else {
        qCWarning(exportLog) << "HardwareEncoderDetector unavailable - using CPU fallback";
    }
    qCDebug(exportLog) << "Encoder selected:" << input.encoder.description;

    command = buildVideoExportCommand(input);
    qCDebug(exportLog).noquote() << "Filter complex:" << command.filterGraph;

    ExportRunner::Job job;
    job.kind = ExportRunner::Kind::Video;
    job.arguments = command.arguments;
    job.outputPath = outputPath;
    job.temporaryOutputPath = temporaryOutput;
    job.totalDurationMs = command.totalDurationMs;
    job.temporaryFiles = titleFiles;
    const QString damageNote = damage.note();
    job.completionNote = completionNote.isEmpty() || damageNote.isEmpty()
        ? completionNote + damageNote
        : completionNote + QStringLiteral("\n\n") + damageNote;
    completionNote.clear();
    BatchedExport::splitJob(input, job);
    const bool started = exportRunner->start(job);
    if (!started)
        titleDir.reset();
    return started;
}

bool ExportController::exportAudioOnly(const ExportSource &source, const QString &outputPath,
                                       const QString &format, const QString &bitrate, bool sourceHasAudio)
{
    if (refuseOutput(source, outputPath))
        return false;
    if (!checkFFmpegAvailable(prompts(), window))
        return false;
    if (!sourceHasAudio) {
        prompts().message(UserPrompts::Kind::Warning, window, QStringLiteral("No Audio Track"),
                          QStringLiteral("The source video does not contain an audio track.\n\n"
                                         "Cannot extract audio from a video without audio."));
        return false;
    }

    AudioExportInput input;
    input.sourcePath = source.videoPath;
    input.format = format;
    input.bitrate = bitrate;
    input.source = probeSource(source.videoPath);
    if (!fitClips(source, input.source, input.clips))
        return false;
    const QString temporaryOutput = reserveTemporaryOutput(outputPath);
    if (temporaryOutput.isEmpty())
        return false;
    input.outputPath = temporaryOutput;
    input.outputFormat = audioContainerFor(outputPath, format);
    command = buildAudioExportCommand(input);

    ExportRunner::Job job;
    job.kind = ExportRunner::Kind::Audio;
    job.arguments = command.arguments;
    job.outputPath = outputPath;
    job.temporaryOutputPath = temporaryOutput;
    job.totalDurationMs = command.totalDurationMs;
    return exportRunner->start(job);
}

bool ExportController::exportOriginalQuality(const ExportSource &source, const QString &outputPath, int audioMode,
                                             bool &sourceHasAudio)
{
    if (refuseOutput(source, outputPath))
        return false;
    if (!checkFFmpegAvailable(prompts(), window))
        return false;
    exportRunner->clearTemporaryFiles();
    titleDir.reset();
    const QString ffmpeg = findFFmpeg();
    const QString temporaryOutput = reserveTemporaryOutput(outputPath);
    if (temporaryOutput.isEmpty())
        return false;

    SmartExportJob::Setup setup;
    setup.sourcePath = source.videoPath;
    setup.clips = source.clips;
    setup.outputPath = outputPath;
    setup.temporaryOutputPath = temporaryOutput;
    setup.outputFormat = videoContainerFor(outputPath);
    // The packet scan tells whether there is sound; no probe here on the GUI thread.
    setup.withAudio = audioMode != 1 && sourceHasAudio;
    setup.ffmpegPath = ffmpeg;
    const QFont font = source.titleFont;
    setup.renderTitle = [this, font](int clipIndex, const QSize &frame) -> QString {
        const Clip &clip = smartSource.clips.at(clipIndex);
        const QString path = newTitleImagePath(clipIndex);
        if (path.isEmpty() || !TitleImageRenderer(font).render(clip, frame).save(path, "PNG"))
            return QString();
        exportRunner->addTemporaryFile(path);
        return path;
    };
    smartSource = source;

    disconnect(smartExport, &SmartExportJob::fallbackNeeded, this, nullptr);
    connect(smartExport, &SmartExportJob::fallbackNeeded, this,
            [this, source, outputPath, audioMode, temporaryOutput](const QString &reason) {
                QFile::remove(temporaryOutput);
                completionNote = SmartExportJob::fallbackNote(reason);
                bool hasAudio = audioMode != 1;
                if (!exportWithFFmpeg(source, outputPath, -1, -1, originalFallbackCrf, audioMode, hasAudio)) {
                    completionNote.clear();
                    titleDir.reset();
                    emit exportFinished(int(ExportRunner::Result::Failed));
                }
            });
    smartExport->start(setup);
    return true;
}
