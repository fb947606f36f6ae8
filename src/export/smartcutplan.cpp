#include "smartcutplan.h"

#include "timeformat.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace SmartCut {

namespace {

// pts - zero as milliseconds times den, exactly: compared with ms * den.
__int128 ticksTimesThousand(qint64 ticks, const Media::Rational &timeBase)
{
    return __int128(ticks) * timeBase.num * 1000;
}

// First frame whose time is at or after ms.
int firstFrameAtOrAfter(const FrameTable &table, qint64 ms)
{
    const __int128 limit = __int128(ms) * table.timeBase.den;
    const auto it = std::lower_bound(table.pts.cbegin(), table.pts.cend(), limit,
                                     [&](qint64 pts, __int128 value) {
                                         return ticksTimesThousand(pts - table.zeroPts, table.timeBase) < value;
                                     });
    return int(it - table.pts.cbegin());
}

const char *const codecsWeCut[] = {"h264", "hevc"};

} // namespace

int FrameTable::typicalGop() const
{
    QVector<int> starts;
    for (int i = 0; i < cleanStart.size(); ++i) {
        if (cleanStart[i])
            starts.append(i);
    }
    if (starts.size() < 2)
        return qMax(1, frameCount());
    QVector<int> gaps;
    for (int i = 1; i < starts.size(); ++i)
        gaps.append(starts[i] - starts[i - 1]);
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    return qMax(1, gaps[gaps.size() / 2]);
}

qint64 fileZeroPts(const Media::MediaIndex &index)
{
    const Media::Rational tb = index.video.timeBase;
    if (!tb.valid())
        return 0;
    // Rounded down so that no frame falls before time 0.
    const __int128 scaled = __int128(index.startTimeUs) * tb.den;
    const __int128 divisor = __int128(1000000) * tb.num;
    __int128 quotient = scaled / divisor;
    if (scaled % divisor != 0 && scaled < 0)
        --quotient;
    return qint64(quotient);
}

bool buildFrameTable(const Media::MediaIndex &index, FrameTable &table, QString *error)
{
    const Media::VideoStream &video = index.video;
    table = FrameTable();
    table.timeBase = video.timeBase;
    table.packetCount = int(video.packets.size());
    if (!video.timeBase.valid() || video.packets.isEmpty()) {
        *error = QStringLiteral("the video's pictures carry no times");
        return false;
    }
    const int n = table.packetCount;
    QVector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    for (const Media::VideoPacket &p : video.packets) {
        if (p.pts == Media::NoTimestamp) {
            *error = QStringLiteral("some of the video's pictures carry no time");
            return false;
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return video.packets[a].pts < video.packets[b].pts; });
    table.pts.resize(n);
    table.decodeIndex.resize(n);
    for (int i = 0; i < n; ++i) {
        table.decodeIndex[i] = order[i];
        table.pts[i] = video.packets[order[i]].pts;
        if (i > 0 && table.pts[i] == table.pts[i - 1]) {
            *error = QStringLiteral("two of the video's pictures carry the same time");
            return false;
        }
    }
    const Media::VideoPacket &last = video.packets[order[n - 1]];
    qint64 lastDuration = last.duration;
    if (lastDuration <= 0)
        lastDuration = n > 1 ? table.pts[n - 1] - table.pts[n - 2] : 1;
    table.endPts = table.pts[n - 1] + qMax<qint64>(1, lastDuration);
    table.zeroPts = fileZeroPts(index);

    // Largest pts before each packet and smallest after it, in decode order.
    QVector<qint64> maxBefore(n), minAfter(n);
    qint64 running = std::numeric_limits<qint64>::min();
    for (int d = 0; d < n; ++d) {
        maxBefore[d] = running;
        running = qMax(running, video.packets[d].pts);
    }
    running = std::numeric_limits<qint64>::max();
    for (int d = n - 1; d >= 0; --d) {
        minAfter[d] = running;
        running = qMin(running, video.packets[d].pts);
    }
    table.cleanStart.resize(n);
    for (int i = 0; i < n; ++i) {
        const int d = table.decodeIndex[i];
        const Media::VideoPacket &p = video.packets[d];
        table.cleanStart[i] = p.idr && maxBefore[d] < p.pts && minAfter[d] > p.pts;
    }
    return true;
}

FrameRange framesInRange(const FrameTable &table, qint64 startMs, qint64 endMs)
{
    FrameRange range;
    range.first = firstFrameAtOrAfter(table, startMs);
    range.end = qMax(range.first, firstFrameAtOrAfter(table, endMs));
    return range;
}

Plan planSmartCut(const FrameTable &table, const QVector<FrameRange> &clipFrames,
                  const QVector<bool> &wholeEncode)
{
    Plan plan;
    const int gop = table.typicalGop();
    for (int clip = 0; clip < clipFrames.size(); ++clip) {
        const FrameRange range = clipFrames[clip];
        if (range.count() <= 0)
            continue;
        const int part = int(plan.parts.size());
        plan.parts.append(range);
        plan.clipOfPart.append(clip);

        int copyStart = -1;
        int copyEnd = -1;
        if (!wholeEncode.value(clip) && range.count() >= 2 * gop) {
            for (int f = range.first; f < range.end; ++f) {
                if (table.cleanStart[f]) {
                    copyStart = f;
                    break;
                }
            }
            if (copyStart >= 0) {
                for (int f = range.end; f > copyStart; --f) {
                    if (table.cleanEnd(f)) {
                        copyEnd = f;
                        break;
                    }
                }
            }
        }
        const bool copies = copyStart >= 0 && copyEnd > copyStart
            && 2 * (range.count() - (copyEnd - copyStart)) <= range.count();
        if (!copies) {
            plan.segments.append({Segment::Encode, range, part});
            plan.encodedFrames += range.count();
            continue;
        }
        if (copyStart > range.first)
            plan.segments.append({Segment::Encode, {range.first, copyStart}, part});
        plan.segments.append({Segment::Copy, {copyStart, copyEnd}, part});
        if (copyEnd < range.end)
            plan.segments.append({Segment::Encode, {copyEnd, range.end}, part});
        plan.copiedFrames += copyEnd - copyStart;
        plan.encodedFrames += range.count() - (copyEnd - copyStart);
    }
    return plan;
}

bool clipNeedsFilters(const Clip &clip)
{
    return clip.hasEffects || (clip.showTitle && !clip.titleText.isEmpty()) || clip.rotation != 0;
}

QString smartCutBlocker(const Media::MediaIndex &index, const FrameTable *table)
{
    if (!index.ok())
        return QStringLiteral("the file could not be read");
    const Media::VideoStream &video = index.video;
    if (video.index < 0)
        return QStringLiteral("the file has no video");
    if (std::none_of(std::begin(codecsWeCut), std::end(codecsWeCut),
                     [&](const char *name) { return video.codecName == QLatin1String(name); }))
        return QStringLiteral("this video's format (%1) cannot be copied in parts").arg(formatShownName(video.codecName));
    const bool knownContainer = index.formatName.contains(QLatin1String("mp4"))
        || index.formatName.contains(QLatin1String("mov")) || index.formatName.contains(QLatin1String("matroska"));
    if (!knownContainer)
        return QStringLiteral("only MP4, MOV and MKV files can be copied in parts, and this file is another kind");
    if (video.nalLengthSize <= 0)
        return QStringLiteral("this file stores its pictures in an unusual way");
    if (video.fieldOrder > 1)
        return QStringLiteral("the video is interlaced (each picture is woven from two half-pictures)");
    if (std::any_of(video.packets.cbegin(), video.packets.cend(),
                    [](const Media::VideoPacket &p) { return p.changedParameterSets; }))
        return QStringLiteral("the video's picture settings change partway through");
    if (video.width <= 0 || video.height <= 0 || video.pixelFormat.isEmpty())
        return QStringLiteral("the video's picture size or colours could not be read");
    if (table && table->frameCount() < 2)
        return QStringLiteral("the video is a single picture, so there is nothing to copy");
    if (table) {
        const int clean = int(std::count(table->cleanStart.cbegin(), table->cleanStart.cend(), true));
        if (clean < 2)
            return QStringLiteral("the way this video was recorded leaves no picture that a copied part can start from");
    }
    return QString();
}

QString damagedFileNote(const Media::MediaIndex &index)
{
    const qint64 end = Media::picturesEndEarlyMs(index);
    if (end < 0)
        return QString();
    return QStringLiteral("This file is damaged: its pictures end at %1 of %2")
        .arg(formatHundredths(end, index.durationMs), formatHundredths(index.durationMs));
}

QString soundEncodedAs(const Media::AudioStream &audio)
{
    if (audio.index < 0 || audio.codecName == QLatin1String("aac"))
        return QString();
    return audio.codecName == QLatin1String("mp3") ? QStringLiteral("mp3") : QStringLiteral("aac");
}

QString formatShownName(const QString &codecName)
{
    static const QHash<QString, QString> names{
        {QStringLiteral("opus"), QStringLiteral("Opus")},       {QStringLiteral("vorbis"), QStringLiteral("Vorbis")},
        {QStringLiteral("ac3"), QStringLiteral("Dolby Digital")}, {QStringLiteral("eac3"), QStringLiteral("Dolby Digital Plus")},
        {QStringLiteral("mpeg2video"), QStringLiteral("MPEG-2")}, {QStringLiteral("mpeg4"), QStringLiteral("MPEG-4")},
        {QStringLiteral("mjpeg"), QStringLiteral("Motion JPEG")}, {QStringLiteral("prores"), QStringLiteral("ProRes")},
        {QStringLiteral("h264"), QStringLiteral("H.264")},      {QStringLiteral("hevc"), QStringLiteral("HEVC")}};
    if (codecName.startsWith(QLatin1String("pcm_")))
        return QStringLiteral("uncompressed");
    return names.value(codecName, codecName.toUpper());
}

QString originalQualitySummary(const Media::MediaIndex *index, const ClipList &clips, bool withSound)
{
    if (!index)
        return QStringLiteral("Original Quality: checking the video...");
    FrameTable table;
    QString reason;
    if (index->ok() && !buildFrameTable(*index, table, &reason))
        reason = reason.isEmpty() ? QStringLiteral("the video's pictures carry no usable times") : reason;
    else
        reason = smartCutBlocker(*index, index->ok() ? &table : nullptr);
    if (reason.isEmpty() && index->video.rotation != 0
        && std::any_of(clips.cbegin(), clips.cend(), clipNeedsFilters))
        reason = rotatedWithFiltersReason();
    if (!reason.isEmpty())
        return QStringLiteral("Original Quality: This video's format needs the whole video encoded again; "
                              "this takes longer, because %1.")
            .arg(reason);
    const QString sound = withSound ? soundEncodedAs(index->audio) : QString();
    if (sound.isEmpty())
        return QStringLiteral("Original Quality: only the frames next to each cut are encoded again; "
                              "the rest is copied unchanged.");
    return QStringLiteral("Original Quality: only the frames next to each cut are encoded again and the rest of "
                          "the picture is copied unchanged; the sound (%1) is encoded again as %2.")
        .arg(formatShownName(index->audio.codecName), formatShownName(sound));
}

QString rotatedWithFiltersReason()
{
    return QStringLiteral("the video is stored on its side and turned when shown, and a part has effects or a title");
}

} // namespace SmartCut
