#include "smartexportjob.h"

#include "childprocess.h"
#include "exportcommand.h"
#include "exportleftovers.h"
#include "exportlog.h"
#include "ffmpegerrors.h"
#include "iconlocator.h"
#include "outputfiles.h"
#include "piececommand.h"
#include "progresstext.h"
#include "streamjoiner.h"
#include "userprompts.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QThread>

#include <cmath>

namespace {

// Shares of the progress bar: the scan, the encoded pieces and audio, the join.
const double analysisShare = 0.05;
const double encodeShare = 0.70;
const int pieceCrf = 16;
// A run's standard error is kept up to this many characters from its end; its reason is told
// within errorDetailsLength, as the runner tells its own.
const int errorTextKept = 64 * 1024;
const int errorDetailsLength = 500;

double secondsOf(qint64 ticks, const Media::Rational &timeBase)
{
    return double(ticks) * timeBase.num / timeBase.den;
}

qint64 millisecondsFloor(qint64 ticks, const Media::Rational &timeBase)
{
    const __int128 scaled = __int128(ticks) * timeBase.num * 1000;
    __int128 quotient = scaled / timeBase.den;
    if (scaled % timeBase.den != 0 && scaled < 0)
        --quotient;
    return qint64(quotient);
}

} // namespace

SmartExportJob::SmartExportJob(std::function<UserPrompts &()> prompts, QWidget *window, QObject *parent)
    : QObject(parent)
    , promptsProvider(std::move(prompts))
    , window(window)
{
}

SmartExportJob::~SmartExportJob()
{
    stopWork();
    if (!setup.temporaryOutputPath.isEmpty() && running)
        QFile::remove(setup.temporaryOutputPath);
    delete dialog.data();
}

QString SmartExportJob::smartNote(const QString &soundFrom, const QString &soundTo)
{
    if (soundTo.isEmpty())
        return QStringLiteral("Original quality: only the frames next to the cuts were encoded again; "
                              "everything else was copied unchanged.");
    return QStringLiteral("Original quality: only the frames next to the cuts were encoded again and everything "
                          "else in the picture was copied unchanged; the sound (%1) was encoded again as %2.")
        .arg(SmartCut::formatShownName(soundFrom), SmartCut::formatShownName(soundTo));
}

QString SmartExportJob::fallbackNote(const QString &reason)
{
    return QStringLiteral("Original quality: the whole video was encoded again at its original size, "
                          "because %1.").arg(reason);
}

void SmartExportJob::start(const Setup &newSetup)
{
    stopWork();
    ++generation;
    setup = newSetup;
    running = true;
    canceled = std::make_shared<std::atomic<bool>>(false);
    tasks.clear();
    nextTask = 0;
    doneWeight = 0.0;
    currentWeight = 0.0;
    lastPercent = -1;
    exportClock.start();
    labelClock.invalidate();
    pieceFiles.clear();
    audioPath.clear();
    soundEncodedAs.clear();
    lastError.clear();
    currentPlan = SmartCut::Plan();

    delete dialog.data();
    dialog = new QProgressDialog(QStringLiteral("Exporting video..."), QStringLiteral("Cancel"), 0, 100, window);
    dialog->setWindowTitle(QStringLiteral("Export Progress"));
    dialog->setWindowIcon(loadAppIcon());
    dialog->setMinimumWidth(380);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setMinimumDuration(0);
    dialog->setValue(0);
    connect(dialog, &QProgressDialog::canceled, this, &SmartExportJob::cancel);

    workDir = std::make_unique<QTemporaryDir>(QDir::temp().filePath(QStringLiteral("trimlet-export-XXXXXX")));
    if (!workDir->isValid()) {
        finish(ExportRunner::Result::Failed, QStringLiteral("Export Failed"),
               QStringLiteral("Cannot create a temporary folder for the export."));
        return;
    }
    ExportLeftovers::track(workDir->path());

    if (auto cached = Media::MediaIndexCache::instance().cached(setup.sourcePath)) {
        onAnalysed(cached);
        return;
    }
    // The scan reads the whole file: off the GUI thread, its progress on the bar.
    const QString path = setup.sourcePath;
    runOnWorker(
        0.0, analysisShare,
        [path](const std::atomic<bool> *cancel, const std::function<void(int)> &progress) {
            return Media::MediaIndexCache::instance().get(path, cancel, progress);
        },
        [this](std::shared_ptr<const Media::MediaIndex> result) { onAnalysed(result); });
}

template <typename Work, typename Done>
void SmartExportJob::runOnWorker(double from, double to, Work work, Done done)
{
    const auto flag = canceled;
    QPointer<SmartExportJob> self(this);
    // Answers still queued from an export that has ended are dropped.
    const int run = generation;
    worker = QThread::create([self, flag, from, to, work, done, run] {
        auto result = work(flag.get(), [self, from, to, run](int percent) {
            QMetaObject::invokeMethod(self, [self, from, to, percent, run] {
                if (self && self->running && self->generation == run)
                    self->setProgress(from + (to - from) * percent / 100.0);
            }, Qt::QueuedConnection);
        });
        QMetaObject::invokeMethod(self, [self, result, done, run] {
            if (self && self->generation == run)
                done(result);
        }, Qt::QueuedConnection);
    });
    worker->start();
}

void SmartExportJob::onAnalysed(std::shared_ptr<const Media::MediaIndex> scanned)
{
    endWorker();
    if (!running || canceled->load())
        return;
    index = scanned;
    QString reason;
    if (!index || !index->ok()) {
        qCDebug(exportLog) << "Original quality export cannot read the source:" << (index ? index->error : QString());
        reason = QStringLiteral("the file could not be read");
    } else {
        QString tableError;
        if (!SmartCut::buildFrameTable(*index, table, &tableError))
            reason = tableError;
        else
            reason = SmartCut::smartCutBlocker(*index, &table);
    }
    const QString format = setup.outputFormat;
    if (reason.isEmpty() && format != QLatin1String("mp4") && format != QLatin1String("mov")
        && format != QLatin1String("matroska"))
        reason = QStringLiteral("a .%1 file cannot hold this video's pictures as they are")
                     .arg(QFileInfo(setup.outputPath).suffix().toLower());
    if (reason.isEmpty() && index->video.rotation != 0) {
        for (const Clip &clip : std::as_const(setup.clips)) {
            if (SmartCut::clipNeedsFilters(clip)) {
                reason = SmartCut::rotatedWithFiltersReason();
                break;
            }
        }
    }
    if (!reason.isEmpty()) {
        fallBack(reason);
        return;
    }
    setProgress(analysisShare);
    prepareAndRun();
}

void SmartExportJob::fallBack(const QString &reason)
{
    qCDebug(exportLog) << "Original quality export falls back to encoding:" << reason;
    stopWork();
    ++generation;
    running = false;
    delete dialog.data();
    workDir.reset();
    emit fallbackNeeded(reason);
}

void SmartExportJob::prepareAndRun()
{
    QVector<SmartCut::FrameRange> ranges;
    QVector<bool> whole;
    for (const Clip &clip : std::as_const(setup.clips)) {
        ranges.append(SmartCut::framesInRange(table, clip.originalStart, clip.originalEnd));
        whole.append(SmartCut::clipNeedsFilters(clip));
    }
    currentPlan = SmartCut::planSmartCut(table, ranges, whole);
    if (currentPlan.parts.isEmpty()) {
        finish(ExportRunner::Result::Failed, QStringLiteral("Nothing to Export"),
               QStringLiteral("The kept parts of this video are empty."), UserPrompts::Kind::Warning);
        return;
    }
    qCDebug(exportLog) << "Original quality plan:" << currentPlan.segments.size() << "segments," << currentPlan.copiedFrames
             << "frames copied," << currentPlan.encodedFrames << "encoded";

    const Media::VideoStream &video = index->video;
    SourceFacts facts;
    facts.width = video.width;
    facts.height = video.height;
    facts.sizeKnown = true;
    facts.frameRate = video.averageFrameRate.valid() ? video.averageFrameRate.value() : video.frameRate.value();
    facts.durationMs = index->durationMs;
    if (video.averageFrameRate.valid() && video.averageFrameRate.num == video.frameRate.num
        && video.averageFrameRate.den == video.frameRate.den) {
        facts.rateNumerator = video.averageFrameRate.num;
        facts.rateDenominator = video.averageFrameRate.den;
    }
    facts.firstFrameUs = qMax<qint64>(0, std::llround(secondsOf(table.pts.value(0) - table.zeroPts, table.timeBase) * 1e6));
    facts.frameCount = table.frameCount();
    const int parameterSetId = PieceCommand::unusedParameterSetId(video.extradata);

    double weightSum = 0.0;
    // AAC is copied packet by packet; other sound is encoded again for the MP4 family.
    soundEncodedAs = setup.withAudio ? SmartCut::soundEncodedAs(index->audio) : QString();
    copyAudio = setup.withAudio && index->audio.index >= 0 && soundEncodedAs.isEmpty();
    if (!soundEncodedAs.isEmpty()) {
        ClipList audioClips;
        for (int part = 0; part < currentPlan.parts.size(); ++part) {
            // The audio of exactly the part's frames: whole milliseconds that pick the
            // same frames, so the audio export's own snapping lands on them too.
            const SmartCut::FrameRange range = currentPlan.parts[part];
            Clip clip = setup.clips[currentPlan.clipOfPart[part]];
            clip.originalStart = millisecondsFloor(table.ptsAt(range.first) - table.zeroPts, table.timeBase);
            clip.originalEnd = millisecondsFloor(table.ptsAt(range.end) - table.zeroPts, table.timeBase);
            audioClips.append(clip);
        }
        AudioExportInput audio;
        audio.sourcePath = setup.sourcePath;
        audio.source = facts;
        audio.clips = audioClips;
        const bool mp3 = soundEncodedAs == QLatin1String("mp3");
        audio.format = soundEncodedAs;
        const qint64 bitrate = qBound(qint64(128000), qint64(index->audio.bitRate), qint64(512000));
        audio.bitrate = QString::number(bitrate / 1000) + QLatin1Char('k');
        audioPath = workDir->filePath(mp3 ? QStringLiteral("audio.mp3") : QStringLiteral("audio.m4a"));
        audio.outputPath = audioPath;
        audio.outputFormat = mp3 ? QStringLiteral("mp3") : QStringLiteral("ipod");
        const ExportCommand command = ExportCommandBuilder::buildAudioExportCommand(audio);
        Task task;
        task.arguments = QStringList{QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error")}
            + command.arguments;
        task.weight = 1.0 + double(command.totalDurationMs) / 1000.0 * 0.3;
        tasks.append(task);
        weightSum += task.weight;
    }

    pieceFiles.resize(currentPlan.segments.size());
    for (int s = 0; s < currentPlan.segments.size(); ++s) {
        const SmartCut::Segment &segment = currentPlan.segments[s];
        if (segment.kind != SmartCut::Segment::Encode)
            continue;
        const Clip &clip = setup.clips[currentPlan.clipOfPart[segment.part]];
        PieceRequest request;
        request.sourcePath = setup.sourcePath;
        request.outputPath = workDir->filePath(QStringLiteral("piece%1.%2")
                                                   .arg(s)
                                                   .arg(video.codecName == QLatin1String("hevc") ? "hevc" : "h264"));
        request.stream = video;
        request.stream.packets.clear();
        request.zeroPts = table.zeroPts;
        request.firstPts = table.ptsAt(segment.frames.first);
        request.endPts = table.ptsAt(segment.frames.end);
        request.frameCount = segment.frames.count();
        request.parameterSetId = parameterSetId;
        request.crf = pieceCrf;
        if (SmartCut::clipNeedsFilters(clip)) {
            const SmartCut::FrameRange part = currentPlan.parts[segment.part];
            request.partSeconds = secondsOf(table.ptsAt(part.end) - table.ptsAt(part.first), table.timeBase);
            Clip timed = clip;
            timed.originalStart = qint64(secondsOf(table.ptsAt(part.first) - table.zeroPts, table.timeBase) * 1000.0);
            timed.originalEnd = timed.originalStart + qint64(request.partSeconds * 1000.0);
            request.filters = ExportCommandBuilder::clipFilters(timed, facts);
            const QSize frame = ExportCommandBuilder::clipFrameSize(clip, facts);
            request.fitToSourceSize = frame != QSize(video.width, video.height);
            if (ExportCommandBuilder::wantsTitle(clip) && setup.renderTitle) {
                const QString image = setup.renderTitle(currentPlan.clipOfPart[segment.part], frame);
                if (!image.isEmpty()) {
                    request.titleImage = image;
                    request.titleSeconds = ExportCommandBuilder::titleDurationSeconds(timed);
                }
            }
        }
        Task task;
        task.arguments = PieceCommand::arguments(request);
        task.weight = 5.0 + segment.frames.count();
        tasks.append(task);
        weightSum += task.weight;
        pieceFiles[s] = request.outputPath;
    }
    totalWeight = qMax(1.0, weightSum);
    runNextTask();
}

void SmartExportJob::runNextTask()
{
    if (!running)
        return;
    if (nextTask >= tasks.size()) {
        startJoin();
        return;
    }
    const Task &task = tasks[nextTask];
    currentWeight = task.weight;
    lastError.clear();
    process = new QProcess(this);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    connect(process, &QProcess::finished, this,
            [this](int code, QProcess::ExitStatus status) { onTaskFinished(code, int(status)); });
    connect(process, &QProcess::readyReadStandardError, this, [this] {
        if (!process)
            return;
        lastError = (lastError + QString::fromUtf8(process->readAllStandardError())).right(errorTextKept);
    });
    qCDebug(exportLog) << "Original quality step:" << setup.ffmpegPath << task.arguments;
    endWithThisProgram(*process);
    process->start(setup.ffmpegPath, task.arguments);
}

void SmartExportJob::onTaskFinished(int exitCode, int exitStatus)
{
    if (!process)
        return;
    QProcess *finished = process;
    process = nullptr;
    lastError += QString::fromUtf8(finished->readAllStandardError());
    finished->deleteLater();
    if (!running || canceled->load())
        return;
    if (exitStatus != QProcess::NormalExit || exitCode != 0) {
        finish(ExportRunner::Result::Failed, QStringLiteral("Export Failed"),
               QStringLiteral("FFmpeg exited with error code %1\n\nError details:\n%2")
                   .arg(exitCode)
                   .arg(errorDetails(lastError, errorDetailsLength)));
        return;
    }
    if (outputLeftUnfinished(lastError)) {
        finish(ExportRunner::Result::Failed, QStringLiteral("Export Failed"),
               QStringLiteral("FFmpeg could not finish writing the file.\n\nError details:\n%1")
                   .arg(errorDetails(lastError, errorDetailsLength)));
        return;
    }
    doneWeight += currentWeight;
    currentWeight = 0.0;
    setProgress(analysisShare + encodeShare * doneWeight / totalWeight);
    ++nextTask;
    runNextTask();
}

void SmartExportJob::startJoin()
{
    StreamJoiner::Request request;
    request.sourcePath = setup.sourcePath;
    request.index = index;
    request.audioPath = audioPath;
    request.outputPath = setup.temporaryOutputPath;
    request.outputFormat = setup.outputFormat;

    QVector<qint64> offsets;
    qint64 outputStart = 0;
    for (const SmartCut::FrameRange &part : std::as_const(currentPlan.parts)) {
        offsets.append(outputStart - table.ptsAt(part.first));
        outputStart += table.ptsAt(part.end) - table.ptsAt(part.first);
        if (copyAudio)
            request.audioParts.append({table.ptsAt(part.first), outputStart});
    }
    for (int s = 0; s < currentPlan.segments.size(); ++s) {
        const SmartCut::Segment &segment = currentPlan.segments[s];
        StreamJoiner::Segment out;
        out.offset = offsets[segment.part];
        if (segment.kind == SmartCut::Segment::Copy) {
            out.kind = StreamJoiner::Segment::Copy;
            out.firstPacket = table.packetAt(segment.frames.first);
            out.endPacket = table.packetAt(segment.frames.end);
        } else {
            out.kind = StreamJoiner::Segment::Piece;
            out.piecePath = pieceFiles[s];
            out.framePts = table.pts.mid(segment.frames.first, segment.frames.count());
            out.endPts = table.ptsAt(segment.frames.end);
        }
        request.segments.append(out);
    }

    runOnWorker(
        analysisShare + encodeShare, 1.0,
        [request](const std::atomic<bool> *cancel, const std::function<void(int)> &progress) {
            return StreamJoiner::join(request, cancel, progress);
        },
        [this](const StreamJoiner::Outcome &outcome) { onJoined(outcome); });
}

void SmartExportJob::onJoined(const StreamJoiner::Outcome &outcome)
{
    endWorker();
    if (!running || canceled->load())
        return;
    if (outcome.unjoinable) {
        fallBack(outcome.error);
        return;
    }
    if (!outcome.error.isEmpty()) {
        finish(ExportRunner::Result::Failed, QStringLiteral("Export Failed"),
               QStringLiteral("The video could not be saved:\n%1").arg(outcome.error));
        return;
    }
    const QFileInfo written(setup.temporaryOutputPath);
    if (!written.exists() || written.size() == 0) {
        finish(ExportRunner::Result::Failed, QStringLiteral("Export Failed"),
               QStringLiteral("FFmpeg reported success but wrote no output.\n\nThe file is missing or empty:\n%1")
                   .arg(setup.outputPath));
        return;
    }
    QString moveError;
    if (!replaceWithTemporary(setup.temporaryOutputPath, setup.outputPath, &moveError)) {
        finish(ExportRunner::Result::Failed, QStringLiteral("Export Failed"),
               QStringLiteral("The exported file could not be saved to:\n%1\n\nError: %2")
                   .arg(setup.outputPath, moveError));
        return;
    }
    setProgress(1.0);
    QString note = smartNote(index->audio.codecName, soundEncodedAs);
    if (const QString damage = SmartCut::damagedFileNote(*index); !damage.isEmpty())
        note += QStringLiteral("\n\n") + damage;
    finish(ExportRunner::Result::Succeeded, QStringLiteral("Export Complete"),
           QStringLiteral("Video exported successfully!\n\nSaved to:\n%1\n\n%2").arg(setup.outputPath, note));
}

void SmartExportJob::cancel()
{
    if (!running)
        return;
    finish(ExportRunner::Result::Canceled, QStringLiteral("Export Canceled"),
           QStringLiteral("Video export was canceled."));
}

void SmartExportJob::stopWork()
{
    if (canceled)
        canceled->store(true);
    if (process) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished();
        process->deleteLater();
        process = nullptr;
    }
    endWorker();
}

void SmartExportJob::endWorker()
{
    if (!worker)
        return;
    worker->wait();
    delete worker;
    worker = nullptr;
}

void SmartExportJob::finish(ExportRunner::Result result, const QString &title, const QString &text,
                            UserPrompts::Kind failureKind)
{
    stopWork();
    ++generation;
    running = false;
    if (result != ExportRunner::Result::Succeeded)
        QFile::remove(setup.temporaryOutputPath);
    workDir.reset();
    if (dialog) {
        QProgressDialog *closing = dialog.data();
        dialog.clear();
        closing->disconnect(this);
        closing->close();
        closing->deleteLater();
    }
    if (result == ExportRunner::Result::Succeeded || result == ExportRunner::Result::Canceled)
        prompts().notice(title, text);
    else
        prompts().message(failureKind, window, title, text);
    emit exportFinished(result);
}

void SmartExportJob::setProgress(double fraction)
{
    const int percent = qBound(0, int(fraction * 100.0), 100);
    // The times in the label move on even while the percentage stays.
    const bool labelDue = labelClock.isValid() && labelClock.elapsed() >= 1000;
    if (percent == lastPercent && !labelDue)
        return;
    if (dialog) {
        QPointer<QProgressDialog> guard = dialog;
        qint64 outputMs = 0;
        for (const Clip &clip : std::as_const(setup.clips))
            outputMs += clip.originalEnd - clip.originalStart;
        labelClock.start();
        guard->setLabelText(ProgressText::describe(percent, exportClock.elapsed(), outputMs));
        if (guard)
            guard->setValue(percent);
    }
    if (percent != lastPercent) {
        lastPercent = percent;
        emit progressChanged(percent);
    }
}
