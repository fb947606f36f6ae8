#pragma once

#include "clip.h"
#include "sourceprobe.h"

#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

class HardwareEncoderDetector;

// The H.264 encoder and its arguments for one export.
struct EncoderChoice {
    QString encoder;
    QString description;
    QString qualityMode;
    QString preset;            // "-preset" is left out when empty
    QStringList parameters;    // rate control
    QString pixelFormat;
    bool threadsZero = false;  // "-threads 0"
    bool fromDetector = false;
};

// A title image laid over clip `clipIndex` (its position in the export) for
// `durationSeconds` from the clip's start.
struct ExportTitleImage {
    int clipIndex = 0;
    QString imagePath;
    double durationSeconds = 0.0;
};

struct VideoExportInput {
    QString sourcePath;
    ClipList clips;                 // as exported: ranges already fitted to the source
    SourceFacts source;
    // The quality's size, a limit: the output is the edit's shape made no larger than this
    // (turned upright for an upright picture), never larger than the source. Negative: no scaling.
    int targetWidth = -1;
    int targetHeight = -1;
    bool withAudio = true;
    QList<ExportTitleImage> titles;     // in clip order
    EncoderChoice encoder;
    QString outputPath;             // the file ffmpeg writes
    QString outputFormat;           // forced container; none when empty
    int decoderThreadsPerInput = 0; // 0 leaves ffmpeg's choice
    // A piece of a longer export: the file at outputPath holds the pictures alone and the
    // sound goes here, as 32-bit float WAV, so that the pieces' sound joins without a seam.
    QString audioPiecePath;
    bool forceCommonSize = false;   // the whole edit's parts differ in size, though these may not
    bool piecesFollow = false;      // a piece that is not the edit's last
};

struct AudioExportInput {
    QString sourcePath;
    ClipList clips;
    SourceFacts source;             // the video's rate puts the cuts where the video export's are
    QString format;                 // "mp3", "aac", "wav", "flac"
    QString bitrate;                // e.g. "192k"
    QString outputPath;
    QString outputFormat;
};

struct ExportCommand {
    QStringList arguments;
    QString filterGraph;            // empty when the command has none
    QString videoLabel;
    qint64 totalDurationMs = 0;
};

// The source frames a part keeps.
struct FrameSpan {
    qint64 first = 0;   // index of the first frame, counted from 0
    qint64 count = 0;
};

namespace ExportCommandBuilder {

// "draft" above crf 27, "high" below 19, else "good".
QString qualityModeForCrf(int crf);
EncoderChoice chooseEncoder(const HardwareEncoderDetector *detector, int crf);
QStringList encoderArguments(const EncoderChoice &choice);

// Every range limited to [0, source duration]; clips holding no frame of a constant-rate
// source, or (without an exact rate) shorter than one frame, left out.
ClipList fitClipsToSource(const ClipList &clips, const SourceFacts &source);

// The frames whose times lie in [originalStart, originalEnd) of a constant-rate source, frame k
// lying at firstFrameUs + k / rate; none past the stream's last frame. Empty when the rate is
// not known exactly: such a part is cut at its own times.
std::optional<FrameSpan> clipFrames(const Clip &clip, const SourceFacts &source);
// Time of frame `index` from the file's start, in whole microseconds (rounded).
qint64 frameTimeUs(qint64 index, const SourceFacts &source);
// The length a part has in the export: its whole frames where they are known.
double exportedSeconds(const Clip &clip, const SourceFacts &source);

bool wantsTitle(const Clip &clip);
double clipSeconds(const Clip &clip);
double titleDurationSeconds(const Clip &clip);
// The size of the clip's frames once the source and the clip's own rotation are applied.
QSize clipFrameSize(const Clip &clip, const SourceFacts &source);
// The shape those frames are shown in, in square pixels (differs where stored pixels are not square).
QSize clipShownSize(const Clip &clip, const SourceFacts &source);
// True when the clips' frame sizes differ and must be brought to one size to be joined.
bool needsCommonSize(const ClipList &clips, const SourceFacts &source);
// The largest size of even sides, in square pixels, with the shape's proportions that fits the
// limit turned the shape's way and is no larger than the shape itself.
QSize limitedFrameSize(const QSize &shape, const QSize &limit);
// The export's frame: the shape shown (the source's when parts must be brought to one size,
// else the parts' own), limited to the target when one is given.
QSize outputFrameSize(const VideoExportInput &input);

double blurSigma(int blurIntensity, double sourceWidth);
// The filters of one clip's chain (empty unless hasEffects).
QStringList clipFilters(const Clip &clip, const SourceFacts &source);
// Decoder threads per clip input: many open decoders each keep a thread pool and
// frame buffers, so they are limited to one when there are many inputs.
int decoderThreadsForInputs(int inputs);

// Container to force for a file ffmpeg writes under another name.
QString videoContainerFor(const QString &outputPath);
QString audioContainerFor(const QString &outputPath, const QString &format);
QStringList audioCodecArguments(const QString &format, const QString &bitrate);

ExportCommand buildVideoExportCommand(const VideoExportInput &input);
ExportCommand buildAudioExportCommand(const AudioExportInput &input);

} // namespace ExportCommandBuilder
