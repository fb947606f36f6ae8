#include "exportcommand.h"

#include "hardwareencoderdetector.h"

#include <QFileInfo>
#include <QHash>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <limits>

namespace ExportCommandBuilder {

namespace {

const double previewWidth = 1280.0;
// Above this many clip inputs each decoder is held to one thread.
const int inputsBeforeDecoderLimit = 4;

QString seconds3(double seconds)
{
    return QString::number(seconds, 'f', 3);
}

QString msAsSeconds3(qint64 ms)
{
    return seconds3(double(ms) / 1000.0);
}

// Shortest text that reads back as the same double (0.5, 12, 26.999999999999996).
QString shortest(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

QString fitFilters(const QSize &size, const SourceFacts &source)
{
    const QString w = QString::number(size.width());
    const QString h = QString::number(size.height());
    const QString pad = QStringLiteral("pad=%1:%2:(%1-iw)/2:(%2-ih)/2").arg(w, h);
    if (source.pixelAspect == 1.0)
        return QStringLiteral("scale=%1:%2:force_original_aspect_ratio=decrease,").arg(w, h) + pad;
    // scale's own fit keeps the stored shape, which pixels that are not square do not show:
    // the shown shape is fitted (rounded as that fit rounds), in square pixels. `sar` follows
    // a part's own turn.
    return QStringLiteral("scale=w='min(%1,round(%2*iw*sar/ih))':h='min(%2,round(%1*ih/(iw*sar)))',setsar=1,")
               .arg(w, h)
        + pad;
}

bool targetGiven(int width, int height)
{
    return width >= 0 && height >= 0;
}

// Frame times are exact fractions; products of them with clip times from a project file
// overflow 64 bits.
using Wide = __int128;
const Wide usPerSecond = 1000000;
const qint64 seekPrerollUs = 1000000;

Wide ceilDiv(Wide a, Wide b)
{
    return a >= 0 ? (a + b - 1) / b : -((-a) / b);
}

Wide roundDiv(Wide a, Wide b)
{
    return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b);
}

qint64 clamped(Wide value)
{
    const Wide low = std::numeric_limits<qint64>::min();
    const Wide high = std::numeric_limits<qint64>::max();
    return qint64(value < low ? low : value > high ? high : value);
}

// The first frame at or after `ms`.
qint64 frameAtOrAfter(qint64 ms, const SourceFacts &source)
{
    const Wide fromFirstFrame = Wide(ms) * 1000 - source.firstFrameUs;
    return clamped(ceilDiv(fromFirstFrame * source.rateNumerator, usPerSecond * source.rateDenominator));
}

QString usAsSeconds(qint64 us)
{
    return QStringLiteral("%1.%2").arg(us / 1000000).arg(us % 1000000, 6, 10, QLatin1Char('0'));
}

// Where one part is read from the source and how its streams are trimmed.
struct ClipCut {
    QString seek;            // -ss
    QString inputLength;     // -t
    QString titleLength;     // -t of a title image laid over the part
    QString videoTrim;       // first filters of the video chain; none when empty
    QString audioTrim;       // filters of the audio chain; none when empty
    qint64 lengthMs = 0;
};

// A constant-rate part is read from a little before its first frame, so that a container
// whose seek lands late (MPEG-TS lands on any packet and decoding waits for the next
// keyframe) still yields that frame. The video then keeps the frames within half a frame of
// their nominal times and the audio exactly the same span, both starting at 0, so the join
// leaves no gap to fill.
ClipCut cutOf(const Clip &clip, const SourceFacts &source)
{
    ClipCut cut;
    const std::optional<FrameSpan> frames = clipFrames(clip, source);
    if (!frames) {
        const qint64 length = clip.originalEnd - clip.originalStart;
        cut.seek = msAsSeconds3(clip.originalStart);
        cut.inputLength = msAsSeconds3(length);
        cut.titleLength = cut.inputLength;
        cut.lengthMs = length;
        return cut;
    }
    const qint64 startUs = frameTimeUs(frames->first, source);
    const qint64 endUs = frameTimeUs(frames->first + frames->count, source);
    const qint64 halfFrameUs =
        clamped(roundDiv(usPerSecond * source.rateDenominator, Wide(2) * source.rateNumerator));
    const qint64 seekUs = qMax<qint64>(0, startUs - halfFrameUs - seekPrerollUs);
    cut.seek = usAsSeconds(seekUs);
    cut.inputLength = usAsSeconds(endUs - seekUs + 2 * halfFrameUs);
    cut.titleLength = usAsSeconds(endUs - startUs + 2 * halfFrameUs);
    cut.videoTrim = QStringLiteral("trim=start=%1:end=%2,setpts=PTS-STARTPTS")
                        .arg(usAsSeconds(qMax<qint64>(0, startUs - seekUs - halfFrameUs)),
                             usAsSeconds(endUs - seekUs - halfFrameUs));
    cut.audioTrim = QStringLiteral("atrim=start=%1:end=%2,asetpts=PTS-STARTPTS")
                        .arg(usAsSeconds(startUs - seekUs), usAsSeconds(endUs - seekUs));
    cut.lengthMs = clamped(roundDiv(endUs - startUs, 1000));
    return cut;
}

QStringList inputArguments(const ClipCut &cut, const QString &sourcePath)
{
    return {QStringLiteral("-ss"), cut.seek, QStringLiteral("-t"), cut.inputLength, QStringLiteral("-i"),
            sourcePath};
}

QString rateText(const SourceFacts &source)
{
    return QStringLiteral("%1/%2").arg(source.rateNumerator).arg(source.rateDenominator);
}

} // namespace

QString qualityModeForCrf(int crf)
{
    if (crf > 27)
        return QStringLiteral("draft");
    if (crf < 19)
        return QStringLiteral("high");
    return QStringLiteral("good");
}

EncoderChoice chooseEncoder(const HardwareEncoderDetector *detector, int crf)
{
    EncoderChoice choice;
    choice.qualityMode = qualityModeForCrf(crf);
    if (!detector) {
        choice.encoder = QStringLiteral("libx264");
        choice.description = QStringLiteral("libx264 (CPU fallback)");
        choice.preset = QStringLiteral("ultrafast");
        choice.parameters = {QStringLiteral("-crf"), QString::number(crf)};
        choice.pixelFormat = QStringLiteral("yuv420p");
        choice.threadsZero = true;
        return choice;
    }
    choice.fromDetector = true;
    choice.encoder = detector->getBestH264Encoder();
    choice.description = detector->getHardwareDescription();
    choice.parameters = HardwareEncoderDetector::getQualityParameters(choice.encoder, choice.qualityMode);
    choice.preset = HardwareEncoderDetector::getEncoderPreset(choice.encoder, QStringLiteral("balanced"));
    choice.pixelFormat = choice.encoder.contains(QLatin1String("qsv")) ? QStringLiteral("nv12")
                                                                       : QStringLiteral("yuv420p");
    choice.threadsZero = choice.encoder == QLatin1String("libx264");
    return choice;
}

QStringList encoderArguments(const EncoderChoice &choice)
{
    QStringList args{QStringLiteral("-c:v"), choice.encoder};
    if (!choice.preset.isEmpty())
        args << QStringLiteral("-preset") << choice.preset;
    args << choice.parameters;
    args << QStringLiteral("-pix_fmt") << choice.pixelFormat;
    if (choice.threadsZero)
        args << QStringLiteral("-threads") << QStringLiteral("0");
    return args;
}

ClipList fitClipsToSource(const ClipList &clips, const SourceFacts &source)
{
    ClipList fitted;
    for (Clip clip : clips) {
        clip.originalStart = qMax<qint64>(0, clip.originalStart);
        if (source.durationMs >= 0) {
            clip.originalStart = qMin(clip.originalStart, source.durationMs);
            clip.originalEnd = qMin(clip.originalEnd, source.durationMs);
        }
        // On the frame grid a part is what frames it holds, however short: one of 30 ms can
        // hold a frame of a 30 fps video. Without the grid it is cut at its own times, and one
        // shorter than a frame may hold none.
        const std::optional<FrameSpan> frames = clipFrames(clip, source);
        if (frames ? frames->count == 0
                   // Ranges from a project file can be anything; the difference must not wrap.
                   : double(saturatingSub(clip.originalEnd, clip.originalStart)) < source.frameDurationMs())
            continue;
        fitted.append(clip);
    }
    return fitted;
}

std::optional<FrameSpan> clipFrames(const Clip &clip, const SourceFacts &source)
{
    if (!source.constantRate())
        return std::nullopt;
    qint64 first = qMax<qint64>(0, frameAtOrAfter(clip.originalStart, source));
    qint64 end = qMax<qint64>(0, frameAtOrAfter(clip.originalEnd, source));
    if (source.frameCount >= 0) {
        first = qMin(first, source.frameCount);
        end = qMin(end, source.frameCount);
    }
    return FrameSpan{first, qMax<qint64>(0, end - first)};
}

qint64 frameTimeUs(qint64 index, const SourceFacts &source)
{
    if (!source.constantRate())
        return qint64(std::llround(double(index) * source.frameDurationMs() * 1000.0)) + source.firstFrameUs;
    return clamped(roundDiv(Wide(index) * usPerSecond * source.rateDenominator, source.rateNumerator)
                   + source.firstFrameUs);
}

double exportedSeconds(const Clip &clip, const SourceFacts &source)
{
    const std::optional<FrameSpan> frames = clipFrames(clip, source);
    if (!frames)
        return clipSeconds(clip);
    return double(frames->count) * double(source.rateDenominator) / double(source.rateNumerator);
}

bool wantsTitle(const Clip &clip)
{
    return clip.showTitle && !clip.titleText.isEmpty();
}

double clipSeconds(const Clip &clip)
{
    return double(clip.originalEnd - clip.originalStart) / 1000.0;
}

double titleDurationSeconds(const Clip &clip)
{
    const double length = clipSeconds(clip);
    switch (clip.titleDurationMode) {
    case 0:
        return qMin(3.0, length);
    case 1:
        return qMin(clip.customDuration / 1000.0, length);
    default:
        return length;
    }
}

QSize clipFrameSize(const Clip &clip, const SourceFacts &source)
{
    const QSize size = source.displaySize();
    return clip.rotation == 90 || clip.rotation == 270 ? size.transposed() : size;
}

QSize clipShownSize(const Clip &clip, const SourceFacts &source)
{
    const QSize size = source.shownSize();
    return clip.rotation == 90 || clip.rotation == 270 ? size.transposed() : size;
}

bool needsCommonSize(const ClipList &clips, const SourceFacts &source)
{
    for (const Clip &clip : clips) {
        if (clipFrameSize(clip, source) != clipFrameSize(clips.first(), source))
            return true;
    }
    return false;
}

QSize limitedFrameSize(const QSize &shape, const QSize &limit)
{
    if (shape.isEmpty())
        return limit;
    QSize box = limit;
    if ((shape.height() > shape.width()) != (box.height() > box.width()))
        box.transpose();
    const double scale =
        std::min({1.0, double(box.width()) / shape.width(), double(box.height()) / shape.height()});
    // Rounded to even sides for the encoder, but never past the box or the shape.
    const auto even = [](double length, int most) { return qMax(2, qMin(most / 2 * 2, qRound(length / 2) * 2)); };
    return QSize(even(shape.width() * scale, qMin(box.width(), shape.width())),
                 even(shape.height() * scale, qMin(box.height(), shape.height())));
}

QSize outputFrameSize(const VideoExportInput &input)
{
    const bool common =
        input.clips.isEmpty() || input.forceCommonSize || needsCommonSize(input.clips, input.source);
    const QSize shape = common ? input.source.shownSize() : clipShownSize(input.clips.first(), input.source);
    return targetGiven(input.targetWidth, input.targetHeight)
        ? limitedFrameSize(shape, QSize(input.targetWidth, input.targetHeight))
        : shape;
}

double blurSigma(int blurIntensity, double sourceWidth)
{
    const double baseSigma = blurIntensity * 0.2;
    const double scaleFactor = (sourceWidth / previewWidth) * (sourceWidth / previewWidth) * 1.2;
    return baseSigma * scaleFactor;
}

QStringList clipFilters(const Clip &clip, const SourceFacts &source)
{
    QStringList filters;
    if (!clip.hasEffects)
        return filters;

    if (clip.blurIntensity > 0)
        filters << QStringLiteral("gblur=sigma=%1").arg(shortest(blurSigma(clip.blurIntensity, source.width)));
    if (clip.brightness != 0 || clip.contrast != 0 || clip.saturation != 0) {
        filters << QStringLiteral("eq=brightness=%1:contrast=%2:saturation=%3")
                       .arg(shortest(clip.brightness / 100.0), shortest(clip.contrast / 100.0 + 1),
                            shortest(clip.saturation / 100.0 + 1));
    }
    if (clip.grayscale)
        filters << QStringLiteral("hue=s=0");
    if (clip.sepia)
        filters << QStringLiteral("colorchannelmixer=.393:.769:.189:0:.349:.686:.168:0:.272:.534:.131");
    // The encoder drops an alpha plane, so the picture is darkened as if laid over
    // black, which is how the preview shows it.
    if (clip.opacity < 100) {
        const QString factor = shortest(clip.opacity / 100.0);
        filters << QStringLiteral("colorchannelmixer=rr=%1:gg=%1:bb=%1").arg(factor);
    }
    if (clip.rotation == 90)
        filters << QStringLiteral("transpose=1");
    else if (clip.rotation == 180)
        filters << QStringLiteral("transpose=2,transpose=2");
    else if (clip.rotation == 270)
        filters << QStringLiteral("transpose=2");

    const double length = exportedSeconds(clip, source);
    if (clip.fadeInDuration > 0) {
        const double duration = qMin(clip.fadeInDuration / 1000.0, length);
        filters << QStringLiteral("fade=t=in:st=0:d=%1").arg(shortest(duration));
    }
    if (clip.fadeOutDuration > 0) {
        const double duration = qMin(clip.fadeOutDuration / 1000.0, length);
        const double start = qMax(0.0, length - duration);
        filters << QStringLiteral("fade=t=out:st=%1:d=%2").arg(shortest(start), shortest(duration));
    }
    return filters;
}

int decoderThreadsForInputs(int inputs)
{
    return inputs > inputsBeforeDecoderLimit ? 1 : 0;
}

QString videoContainerFor(const QString &outputPath)
{
    static const QHash<QString, QString> containers{
        {QStringLiteral("mp4"), QStringLiteral("mp4")},     {QStringLiteral("m4v"), QStringLiteral("mp4")},
        {QStringLiteral("mov"), QStringLiteral("mov")},     {QStringLiteral("mkv"), QStringLiteral("matroska")},
        {QStringLiteral("avi"), QStringLiteral("avi")},     {QStringLiteral("webm"), QStringLiteral("webm")},
        {QStringLiteral("ts"), QStringLiteral("mpegts")}};
    return containers.value(QFileInfo(outputPath).suffix().toLower(), QStringLiteral("mp4"));
}

QString audioContainerFor(const QString &outputPath, const QString &format)
{
    static const QHash<QString, QString> containers{
        {QStringLiteral("mp3"), QStringLiteral("mp3")},   {QStringLiteral("aac"), QStringLiteral("adts")},
        {QStringLiteral("wav"), QStringLiteral("wav")},   {QStringLiteral("flac"), QStringLiteral("flac")},
        {QStringLiteral("m4a"), QStringLiteral("ipod")},  {QStringLiteral("mka"), QStringLiteral("matroska")},
        {QStringLiteral("ogg"), QStringLiteral("ogg")},   {QStringLiteral("opus"), QStringLiteral("ogg")}};
    const QString suffix = QFileInfo(outputPath).suffix().toLower();
    // AAC sound alone under a video's name: an MP4, not raw ADTS.
    if (format == QLatin1String("aac") && suffix == QLatin1String("mp4"))
        return QStringLiteral("mp4");
    const QString bySuffix = containers.value(suffix);
    return bySuffix.isEmpty() ? containers.value(format) : bySuffix;
}

QStringList audioCodecArguments(const QString &format, const QString &bitrate)
{
    if (format == QLatin1String("mp3"))
        return {QStringLiteral("-c:a"), QStringLiteral("libmp3lame"), QStringLiteral("-b:a"), bitrate};
    if (format == QLatin1String("aac"))
        return {QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-b:a"), bitrate};
    if (format == QLatin1String("wav"))
        return {QStringLiteral("-c:a"), QStringLiteral("pcm_s16le")};
    if (format == QLatin1String("flac"))
        return {QStringLiteral("-c:a"), QStringLiteral("flac")};
    return {};
}

ExportCommand buildVideoExportCommand(const VideoExportInput &input)
{
    ExportCommand command;
    QStringList &args = command.arguments;
    const ClipList &clips = input.clips;
    const int clipCount = int(clips.size());
    const bool onFrameGrid = input.source.constantRate();

    QList<ClipCut> cuts;
    for (const Clip &clip : clips) {
        cuts.append(cutOf(clip, input.source));
        command.totalDurationMs += cuts.last().lengthMs;
        if (input.decoderThreadsPerInput > 0)
            args << QStringLiteral("-threads") << QString::number(input.decoderThreadsPerInput);
        args << inputArguments(cuts.last(), input.sourcePath);
    }

    // A looped image never ends by itself: bounded to its clip, so the overlay
    // ends even when the clip yields no frames. "-pattern_type none" keeps a '%'
    // in the path from being read as a sequence pattern.
    QHash<int, int> imageInputOfClip;
    int nextInput = clipCount;
    for (const ExportTitleImage &title : input.titles) {
        const QString length = title.clipIndex >= 0 && title.clipIndex < clipCount
            ? cuts.at(title.clipIndex).titleLength
            : msAsSeconds3(0);
        args << QStringLiteral("-loop") << QStringLiteral("1") << QStringLiteral("-t") << length
             << QStringLiteral("-f") << QStringLiteral("image2") << QStringLiteral("-pattern_type")
             << QStringLiteral("none") << QStringLiteral("-i") << title.imagePath;
        imageInputOfClip.insert(title.clipIndex, nextInput++);
    }

    const bool commonSize = clipCount > 0 && (input.forceCommonSize || needsCommonSize(clips, input.source));
    const QSize outputSize = outputFrameSize(input);
    const QString clipEnd = commonSize ? QLatin1Char(',') + fitFilters(outputSize, input.source) + QStringLiteral(",setsar=1")
                                       : QString();

    QString graph;
    for (int i = 0; i < clipCount; ++i) {
        QStringList filters = clipFilters(clips.at(i), input.source);
        if (!cuts.at(i).videoTrim.isEmpty())
            filters.prepend(cuts.at(i).videoTrim);
        if (filters.isEmpty())
            graph += QStringLiteral("[%1:v]null[temp%1];").arg(i);
        else
            graph += QStringLiteral("[%1:v]%2[temp%1];").arg(QString::number(i), filters.join(QLatin1Char(',')));
    }
    for (const ExportTitleImage &title : input.titles) {
        const int n = imageInputOfClip.value(title.clipIndex);
        graph += QStringLiteral("[%1:v]setpts=N/(FR*TB)[ovr%2];").arg(n).arg(title.clipIndex);
        graph += QStringLiteral("[temp%1][ovr%1]overlay=0:0:enable='lte(t,%2)':shortest=1%3[v%1];")
                     .arg(QString::number(title.clipIndex), seconds3(title.durationSeconds), clipEnd);
    }
    for (int i = 0; i < clipCount; ++i) {
        if (!imageInputOfClip.contains(i))
            graph += QStringLiteral("[temp%1]copy%2[v%1];").arg(QString::number(i), clipEnd);
    }
    QStringList audioLabels;
    for (int i = 0; i < clipCount; ++i) {
        if (!input.withAudio)
            audioLabels << QString();
        else if (cuts.at(i).audioTrim.isEmpty())
            audioLabels << QStringLiteral("[%1:a]").arg(i);
        else {
            graph += QStringLiteral("[%1:a]%2[a%1];").arg(QString::number(i), cuts.at(i).audioTrim);
            audioLabels << QStringLiteral("[a%1]").arg(i);
        }
    }
    QStringList segments;
    for (int i = 0; i < clipCount; ++i)
        segments << QStringLiteral("[v%1]").arg(i) + audioLabels.at(i);
    // ffmpeg's concat pads each part's sound to its pictures' length, but not the last part's.
    // An empty part after a piece's last keeps the pad that part has in a run over the edit.
    if (input.piecesFollow && input.withAudio && clipCount > 0) {
        const int last = clipCount - 1;
        graph += QStringLiteral("[v%1]split[vlast][vnone];[vnone]trim=end_frame=0[vempty];").arg(last);
        graph += audioLabels.at(last) + QStringLiteral("asplit[alast][anone];[anone]atrim=end_sample=0[aempty];");
        segments.last() = QStringLiteral("[vlast][alast]");
        segments << QStringLiteral("[vempty][aempty]");
    }
    graph += segments.join(QString());
    // On the frame grid every frame gets its own slot: the join alone gives a part of one
    // frame no length when no audio follows it.
    const QString joined = onFrameGrid ? QStringLiteral("[joined]") : QStringLiteral("[outv]");
    graph += input.withAudio ? QStringLiteral("concat=n=%1:v=1:a=1%2[outa]").arg(segments.size()).arg(joined)
                             : QStringLiteral("concat=n=%1:v=1%2").arg(segments.size()).arg(joined);
    if (onFrameGrid) {
        graph += QStringLiteral(";[joined]settb=%1/%2,setpts=N[outv]")
                     .arg(input.source.rateDenominator)
                     .arg(input.source.rateNumerator);
    }

    command.videoLabel = QStringLiteral("[outv]");
    if (targetGiven(input.targetWidth, input.targetHeight) && clipCount > 0) {
        // The output has the shape shown, so nothing is padded; only where its even sides
        // are not exactly that shape, or pixels are not square, is the picture stretched to it.
        const QSize shown = commonSize ? outputSize : clipShownSize(clips.first(), input.source);
        const bool exact = (commonSize || input.source.pixelAspect == 1.0)
            && qint64(shown.width()) * outputSize.height() == qint64(shown.height()) * outputSize.width();
        graph += QStringLiteral(";[outv]")
            + (exact ? fitFilters(outputSize, input.source)
                     : QStringLiteral("scale=%1:%2,setsar=1").arg(outputSize.width()).arg(outputSize.height()))
            + QStringLiteral("[outvscaled]");
        command.videoLabel = QStringLiteral("[outvscaled]");
    }
    command.filterGraph = graph;

    const bool piece = !input.audioPiecePath.isEmpty();
    const bool audioHere = input.withAudio && !piece;
    args << QStringLiteral("-filter_complex") << graph << QStringLiteral("-map") << command.videoLabel;
    if (audioHere)
        args << QStringLiteral("-map") << QStringLiteral("[outa]");
    args << encoderArguments(input.encoder);
    if (onFrameGrid)
        args << QStringLiteral("-r") << rateText(input.source);
    if (audioHere)
        args << QStringLiteral("-c:a") << QStringLiteral("aac") << QStringLiteral("-b:a") << QStringLiteral("192k");
    else
        args << QStringLiteral("-an");
    if (!piece)
        args << QStringLiteral("-movflags") << QStringLiteral("+faststart");
    if (!input.outputFormat.isEmpty())
        args << QStringLiteral("-f") << input.outputFormat;
    args << QStringLiteral("-y") << input.outputPath;
    if (piece && input.withAudio) {
        args << QStringLiteral("-map") << QStringLiteral("[outa]") << QStringLiteral("-c:a") << QStringLiteral("pcm_f32le")
             << QStringLiteral("-f") << QStringLiteral("wav") << QStringLiteral("-y") << input.audioPiecePath;
    }
    return command;
}

ExportCommand buildAudioExportCommand(const AudioExportInput &input)
{
    ExportCommand command;
    QStringList &args = command.arguments;
    QList<ClipCut> cuts;
    for (const Clip &clip : input.clips) {
        cuts.append(cutOf(clip, input.source));
        command.totalDurationMs += cuts.last().lengthMs;
        args << inputArguments(cuts.last(), input.sourcePath);
    }
    const int clipCount = int(input.clips.size());
    const bool trimmed = input.source.constantRate();
    if (clipCount != 1 || trimmed) {
        QString graph;
        QString labels;
        for (int i = 0; i < clipCount; ++i) {
            if (!trimmed) {
                labels += QStringLiteral("[%1:a]").arg(i);
                continue;
            }
            const QString label = clipCount == 1 ? QStringLiteral("[outa]") : QStringLiteral("[a%1]").arg(i);
            graph += QStringLiteral("[%1:a]%2%3;").arg(QString::number(i), cuts.at(i).audioTrim, label);
            labels += label;
        }
        if (clipCount == 1)
            graph.chop(1);
        else
            graph += labels + QStringLiteral("concat=n=%1:v=0:a=1[outa]").arg(clipCount);
        command.filterGraph = graph;
        args << QStringLiteral("-filter_complex") << graph << QStringLiteral("-map") << QStringLiteral("[outa]");
    }
    args << QStringLiteral("-vn") << audioCodecArguments(input.format, input.bitrate);
    if (!input.outputFormat.isEmpty())
        args << QStringLiteral("-f") << input.outputFormat;
    args << QStringLiteral("-y") << input.outputPath;
    return command;
}

} // namespace ExportCommandBuilder
