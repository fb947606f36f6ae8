#include "batchedexport.h"

#include "atomicfile.h"
#include "exportleftovers.h"
#include "exportlog.h"
#include "outputfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

namespace BatchedExport {

namespace {

// One decoder thread keeps about eight frames; this many bytes of them per run.
const qint64 decoderBudgetBytes = 100ll * 1024 * 1024;
// Below this many bytes of decoders one run is kept: at 1080p (24 parts), pieces of four parts
// cost about 12% more CPU time than one run over 20 parts, pieces of ten 5%.
const qint64 oneRunBudgetBytes = 600ll * 1024 * 1024;
const qint64 framesPerDecoder = 8;
// The join copies the pictures and encodes only the sound: a small share of the bar.
const qint64 joinShareDivisor = 20;

int overrideParts = 0;

// With `endsUs`, each piece's place: the demuxer would otherwise take each piece's length from
// its container, which MP4 gives in whole milliseconds, and the joins would drift off the grid.
QString concatList(const QStringList &names, const QList<qint64> &endsUs = {})
{
    QString text = QStringLiteral("ffconcat version 1.0\n");
    qint64 startUs = 0;
    for (int i = 0; i < names.size(); ++i) {
        text += QStringLiteral("file %1\n").arg(names.at(i));
        if (i < endsUs.size()) {
            const qint64 lengthUs = endsUs.at(i) - startUs;
            text += QStringLiteral("duration %1.%2\n")
                        .arg(lengthUs / 1000000)
                        .arg(lengthUs % 1000000, 6, 10, QLatin1Char('0'));
            startUs = endsUs.at(i);
        }
    }
    return text;
}

// Where each piece ends in the joined video, rounded from exact frame times so that the
// roundings do not add up; empty when the source has no exact frame grid.
QList<qint64> pieceEndsUs(const VideoExportInput &input, int parts)
{
    QList<qint64> ends;
    if (!input.source.constantRate())
        return ends;
    qint64 frames = 0;
    for (int i = 0; i < input.clips.size(); ++i) {
        frames += ExportCommandBuilder::clipFrames(input.clips.at(i), input.source).value_or(FrameSpan()).count;
        if ((i + 1) % parts == 0 || i + 1 == input.clips.size()) {
            const __int128 us = __int128(frames) * 1000000 * input.source.rateDenominator;
            ends << qint64((us + input.source.rateNumerator / 2) / input.source.rateNumerator);
        }
    }
    return ends;
}

qint64 decoderBytes(const SourceFacts &source)
{
    const QSize size = source.displaySize();
    return qMax<qint64>(1, qint64(size.width()) * size.height() * 3 / 2 * framesPerDecoder);
}

} // namespace

int partsPerBatch(const SourceFacts &source)
{
    return int(qBound(qint64(1), decoderBudgetBytes / decoderBytes(source), qint64(64)));
}

int partsInOneRun(const SourceFacts &source)
{
    return int(qBound(qint64(partsPerBatch(source)), oneRunBudgetBytes / decoderBytes(source), qint64(256)));
}

void setPartsPerBatch(int parts)
{
    overrideParts = parts;
}

int batchFor(const SourceFacts &source, int parts)
{
    if (overrideParts != 0)
        return overrideParts > 0 && parts > overrideParts ? overrideParts : 0;
    return parts > partsInOneRun(source) ? partsPerBatch(source) : 0;
}

Plan plan(const VideoExportInput &input, int parts, const QString &folder)
{
    Plan result;
    const QDir dir(folder);
    const int clipCount = int(input.clips.size());
    const bool commonSize = clipCount > 0 && ExportCommandBuilder::needsCommonSize(input.clips, input.source);
    QStringList videoNames;
    QStringList audioNames;
    qint64 totalMs = 0;
    for (int first = 0; first < clipCount; first += parts) {
        const QString name = QStringLiteral("piece%1").arg(first / parts, 4, 10, QLatin1Char('0'));
        VideoExportInput piece = input;
        piece.clips = input.clips.mid(first, parts);
        piece.titles.clear();
        for (ExportTitleImage title : input.titles) {
            if (title.clipIndex >= first && title.clipIndex < first + piece.clips.size()) {
                title.clipIndex -= first;
                piece.titles.append(title);
            }
        }
        piece.forceCommonSize = commonSize;
        piece.piecesFollow = first + parts < clipCount;
        piece.decoderThreadsPerInput = 1;
        piece.outputPath = dir.filePath(name + QStringLiteral(".mp4"));
        piece.outputFormat = QStringLiteral("mp4");
        piece.audioPiecePath = dir.filePath(name + QStringLiteral(".wav"));
        const ExportCommand command = ExportCommandBuilder::buildVideoExportCommand(piece);
        result.steps.append({command.arguments, command.totalDurationMs, qMax<qint64>(1, command.totalDurationMs)});
        totalMs += command.totalDurationMs;
        videoNames << name + QStringLiteral(".mp4");
        audioNames << name + QStringLiteral(".wav");
    }

    result.videoList = concatList(videoNames, pieceEndsUs(input, parts));
    QStringList join{QStringLiteral("-f"), QStringLiteral("concat"), QStringLiteral("-i"),
                     dir.filePath(QStringLiteral("pictures.ffconcat"))};
    if (input.withAudio) {
        result.audioList = concatList(audioNames);
        join << QStringLiteral("-f") << QStringLiteral("concat") << QStringLiteral("-i")
             << dir.filePath(QStringLiteral("sound.ffconcat"));
    }
    join << QStringLiteral("-map") << QStringLiteral("0:v") << QStringLiteral("-c:v") << QStringLiteral("copy");
    if (input.withAudio) {
        join << QStringLiteral("-map") << QStringLiteral("1:a") << QStringLiteral("-c:a") << QStringLiteral("aac")
             << QStringLiteral("-b:a") << QStringLiteral("192k");
    } else {
        join << QStringLiteral("-an");
    }
    join << QStringLiteral("-movflags") << QStringLiteral("+faststart");
    if (!input.outputFormat.isEmpty())
        join << QStringLiteral("-f") << input.outputFormat;
    join << QStringLiteral("-y") << input.outputPath;
    result.steps.append({join, totalMs, qMax<qint64>(1, totalMs / joinShareDivisor)});
    return result;
}

bool splitJob(const VideoExportInput &input, ExportRunner::Job &job)
{
    const int parts = batchFor(input.source, int(input.clips.size()));
    if (parts <= 0)
        return false;
    QTemporaryDir folder(hiddenTemplateBeside(job.outputPath, QStringLiteral(".pieces")));
    if (!folder.isValid()) {
        qCWarning(exportLog) << "Cannot create a folder for the export's pieces, exporting in one run:" << folder.errorString();
        return false;
    }
    const Plan batches = plan(input, parts, folder.path());
    QString failure = writeFileAtomically(QDir(folder.path()).filePath(QStringLiteral("pictures.ffconcat")),
                                          batches.videoList.toUtf8());
    if (failure.isEmpty() && !batches.audioList.isEmpty())
        failure = writeFileAtomically(QDir(folder.path()).filePath(QStringLiteral("sound.ffconcat")),
                                      batches.audioList.toUtf8());
    if (!failure.isEmpty()) {
        qCWarning(exportLog) << "Cannot write the list of the export's pieces, exporting in one run:" << failure;
        return false;
    }
    folder.setAutoRemove(false);
    ExportLeftovers::track(folder.path());
    qCDebug(exportLog) << "Exporting" << input.clips.size() << "parts in" << batches.steps.size() - 1 << "pieces of up to"
             << parts;
    job.steps = batches.steps;
    job.workFolder = folder.path();
    return true;
}

} // namespace BatchedExport
