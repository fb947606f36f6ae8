#include "mediaindex.h"
#include "avinput.h"
#include "nalunits.h"

#include <QFileInfo>
#include <QHash>

#include <mutex>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace Media {

namespace {

Rational rationalOf(AVRational value)
{
    return Rational{value.num, value.den};
}

using Av::canceled;
using Av::pickAudioStream;
using Av::pickVideoStream;
using Av::rotationOf;

void describeVideo(const AVStream *stream, VideoStream &video)
{
    const AVCodecParameters *par = stream->codecpar;
    video.index = stream->index;
    video.codecId = par->codec_id;
    video.codecName = QString::fromLatin1(avcodec_get_name(par->codec_id));
    video.profile = par->profile;
    video.level = par->level;
    video.width = par->width;
    video.height = par->height;
    if (const char *name = av_get_pix_fmt_name(AVPixelFormat(par->format)))
        video.pixelFormat = QString::fromLatin1(name);
    video.sampleAspectRatio = rationalOf(par->sample_aspect_ratio);
    video.colorRange = par->color_range;
    video.colorPrimaries = par->color_primaries;
    video.colorTransfer = par->color_trc;
    video.colorSpace = par->color_space;
    video.chromaLocation = par->chroma_location;
    video.fieldOrder = par->field_order;
    video.timeBase = rationalOf(stream->time_base);
    video.frameRate = rationalOf(stream->r_frame_rate);
    video.averageFrameRate = rationalOf(stream->avg_frame_rate);
    video.rotation = rotationOf(stream);
    video.bitRate = par->bit_rate;
    if (par->extradata && par->extradata_size > 0)
        video.extradata = QByteArray(reinterpret_cast<const char *>(par->extradata), par->extradata_size);
}

void describeAudio(const AVStream *stream, AudioStream &audio)
{
    const AVCodecParameters *par = stream->codecpar;
    audio.index = stream->index;
    audio.codecId = par->codec_id;
    audio.codecName = QString::fromLatin1(avcodec_get_name(par->codec_id));
    audio.profile = par->profile;
    audio.sampleRate = par->sample_rate;
    audio.channels = par->ch_layout.nb_channels;
    audio.bitRate = par->bit_rate;
    audio.frameSize = par->frame_size;
    audio.initialPadding = par->initial_padding;
    audio.timeBase = rationalOf(stream->time_base);
}

NalCodec nalCodecOf(AVCodecID id)
{
    switch (id) {
    case AV_CODEC_ID_H264:
        return NalCodec::H264;
    case AV_CODEC_ID_HEVC:
        return NalCodec::Hevc;
    default:
        return NalCodec::None;
    }
}

// Calls progress only when the percentage moves, so at most about a hundred times.
class ProgressReporter {
public:
    ProgressReporter(const std::function<void(int)> &progress, qint64 total)
        : m_progress(progress), m_total(total) {}
    void report(qint64 position)
    {
        if (!m_progress || m_total <= 0 || position < 0)
            return;
        const int percent = int(qBound(qint64(0), position * 100 / m_total, qint64(100)));
        if (percent > m_last) {
            m_last = percent;
            m_progress(percent);
        }
    }
    void finish() { report(m_total); }

private:
    const std::function<void(int)> &m_progress;
    qint64 m_total;
    int m_last = -1;
};

QString scanInto(MediaIndex &index, const std::atomic<bool> *cancel,
                 const std::function<void(int)> &progress)
{
    const QFileInfo info(index.path);
    if (!info.exists())
        return QStringLiteral("File not found");
    if (!info.isFile())
        return QStringLiteral("Not a file");
    index.fileSize = info.size();
    index.modified = info.lastModified();
    if (canceled(cancel))
        return QStringLiteral("Canceled");

    Av::FormatContext format;
    if (!Av::openInput(format, info.absoluteFilePath(), cancel))
        return canceled(cancel) ? QStringLiteral("Canceled") : QStringLiteral("Cannot open file");
    AVFormatContext *context = format.context;
    if (avformat_find_stream_info(context, nullptr) < 0)
        return canceled(cancel) ? QStringLiteral("Canceled") : QStringLiteral("Cannot read the streams");

    index.formatName = QString::fromLatin1(context->iformat->name);
    if (context->duration != AV_NOPTS_VALUE && context->duration >= 0)
        index.durationMs = av_rescale(context->duration, 1000, AV_TIME_BASE);
    index.durationGuessed = context->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE;
    if (context->start_time != AV_NOPTS_VALUE)
        index.startTimeUs = context->start_time;

    const int videoIndex = pickVideoStream(context);
    if (videoIndex < 0)
        return QStringLiteral("No video stream");
    const int audioIndex = pickAudioStream(context);
    VideoStream &video = index.video;
    AudioStream &audio = index.audio;
    describeVideo(context->streams[videoIndex], video);
    if (audioIndex >= 0)
        describeAudio(context->streams[audioIndex], audio);
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        if (int(i) != videoIndex && int(i) != audioIndex)
            context->streams[i]->discard = AVDISCARD_ALL;
    }

    const NalCodec nalCodec = nalCodecOf(context->streams[videoIndex]->codecpar->codec_id);
    ParameterSetScanner scanner(nalCodec, video.extradata);
    video.nalLengthSize = scanner.nalLengthSize();

    if (const int64_t frames = context->streams[videoIndex]->nb_frames; frames > 0 && frames < (1 << 26))
        video.packets.reserve(int(frames));
    if (audioIndex >= 0) {
        if (const int64_t frames = context->streams[audioIndex]->nb_frames; frames > 0 && frames < (1 << 26))
            audio.packets.reserve(int(frames));
    }

    ProgressReporter reporter(progress, index.fileSize);
    reporter.report(0);
    Av::Packet packet;
    if (!packet.packet)
        return QStringLiteral("Out of memory");
    AVPacket *pkt = packet.packet;
    for (;;) {
        if (canceled(cancel))
            return QStringLiteral("Canceled");
        const int result = av_read_frame(context, pkt);
        if (result == AVERROR_EOF)
            break;
        if (result < 0) {
            if (canceled(cancel))
                return QStringLiteral("Canceled");
            // A damaged tail still leaves a usable index of what came before it.
            if (context->pb && avio_feof(context->pb))
                break;
            return QStringLiteral("Read error");
        }
        if (pkt->stream_index == videoIndex) {
            VideoPacket entry;
            entry.pts = pkt->pts;
            entry.dts = pkt->dts;
            entry.duration = pkt->duration;
            entry.keyframe = pkt->flags & AV_PKT_FLAG_KEY;
            if (nalCodec != NalCodec::None) {
                const NalScan nals = scanner.scanPacket(pkt->data, pkt->size);
                entry.idr = nals.idr;
                entry.changedParameterSets = nals.changedParameterSets;
                size_t sideSize = 0;
                if (const uint8_t *fresh = av_packet_get_side_data(pkt, AV_PKT_DATA_NEW_EXTRADATA, &sideSize))
                    entry.changedParameterSets |= scanner.differsFromExtradata(fresh, int(sideSize));
            }
            if (entry.pts != NoTimestamp && (video.startPts == NoTimestamp || entry.pts < video.startPts))
                video.startPts = entry.pts;
            video.packets.append(entry);
        } else if (pkt->stream_index == audioIndex) {
            AudioPacket entry;
            entry.pts = pkt->pts;
            entry.duration = pkt->duration;
            if (entry.pts != NoTimestamp && (audio.startPts == NoTimestamp || entry.pts < audio.startPts))
                audio.startPts = entry.pts;
            audio.packets.append(entry);
        }
        av_packet_unref(pkt);
        if (context->pb)
            reporter.report(avio_tell(context->pb));
    }
    reporter.finish();
    return {};
}

} // namespace

MediaIndex scanMedia(const QString &path, const std::atomic<bool> *cancel,
                     const std::function<void(int)> &progress)
{
    MediaIndex index;
    index.path = path;
    index.error = scanInto(index, cancel, progress);
    return index;
}

int readDisplayRotation(const QString &path, const std::atomic<bool> *cancel)
{
    return readDisplayShape(path, cancel).rotation;
}

DisplayShape readDisplayShape(const QString &path, const std::atomic<bool> *cancel)
{
    DisplayShape shape;
    const QFileInfo info(path);
    if (!info.isFile() || canceled(cancel))
        return shape;
    Av::FormatContext format;
    if (!Av::openInput(format, info.absoluteFilePath(), cancel))
        return shape;
    // The display matrix and the container's aspect come with the header; reading packets for
    // stream details is not needed.
    const int videoIndex = pickVideoStream(format.context);
    if (videoIndex < 0)
        return shape;
    AVStream *stream = format.context->streams[videoIndex];
    shape.rotation = rotationOf(stream);
    shape.sampleAspect = rationalOf(av_guess_sample_aspect_ratio(format.context, stream, nullptr));
    if (!shape.sampleAspect.valid())
        shape.sampleAspect = Rational{};
    return shape;
}

struct MediaIndexCache::Impl {
    mutable std::mutex mutex;
    QHash<QString, std::shared_ptr<const MediaIndex>> entries;
};

MediaIndexCache &MediaIndexCache::instance()
{
    static MediaIndexCache cache;
    return cache;
}

std::shared_ptr<MediaIndexCache::Impl> MediaIndexCache::impl() const
{
    static const std::shared_ptr<Impl> shared = std::make_shared<Impl>();
    return shared;
}

namespace {

QString cacheKey(const QString &path)
{
    return QFileInfo(path).absoluteFilePath();
}

bool stillCurrent(const MediaIndex &index, const QFileInfo &info)
{
    return info.exists() && info.size() == index.fileSize && info.lastModified() == index.modified;
}

} // namespace

std::shared_ptr<const MediaIndex> MediaIndexCache::get(const QString &path, const std::atomic<bool> *cancel,
                                                       const std::function<void(int)> &progress)
{
    if (auto current = cached(path))
        return current;
    // The scan runs unlocked: two threads asking for the same new file may both scan it.
    auto scanned = std::make_shared<const MediaIndex>(scanMedia(path, cancel, progress));
    if (scanned->ok()) {
        const std::shared_ptr<Impl> state = impl();
        std::lock_guard<std::mutex> lock(state->mutex);
        state->entries[cacheKey(path)] = scanned;
    }
    return scanned;
}

std::shared_ptr<const MediaIndex> MediaIndexCache::cached(const QString &path) const
{
    const QString key = cacheKey(path);
    const QFileInfo info(key);
    const std::shared_ptr<Impl> state = impl();
    std::lock_guard<std::mutex> lock(state->mutex);
    const auto found = state->entries.find(key);
    if (found == state->entries.end())
        return {};
    if (!stillCurrent(**found, info)) {
        state->entries.erase(found);
        return {};
    }
    return *found;
}

void MediaIndexCache::clear()
{
    const std::shared_ptr<Impl> state = impl();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->entries.clear();
}

bool isBareVideoStream(const MediaIndex &index)
{
    static const QStringList bare{"h264", "hevc", "vvc", "evc", "m4v", "mpegvideo", "h261", "h263",
                                  "cavsvideo", "avs2", "avs3", "dirac", "obu", "vc1"};
    return index.ok() && index.video.index >= 0 && bare.contains(index.formatName);
}

namespace {

// Just past the last packet, in microseconds of the file's time; NoTimestamp without any.
template <typename Packet>
qint64 endOfPackets(const QVector<Packet> &packets, const Rational &timeBase, qint64 fileStartUs)
{
    qint64 end = NoTimestamp;
    for (const Packet &packet : packets) {
        if (packet.pts != NoTimestamp)
            end = qMax(end, packet.pts + qMax<qint64>(0, packet.duration));
    }
    if (end == NoTimestamp || !timeBase.valid())
        return NoTimestamp;
    return av_rescale_q(end, AVRational{timeBase.num, timeBase.den}, AVRational{1, 1000000}) - fileStartUs;
}

} // namespace

qint64 picturesEndEarlyMs(const MediaIndex &index)
{
    if (!index.ok() || index.video.index < 0 || index.durationMs <= 0 || index.durationGuessed)
        return -1;
    const qint64 pictures = endOfPackets(index.video.packets, index.video.timeBase, index.startTimeUs);
    if (pictures == NoTimestamp)
        return -1;
    const Rational rate = index.video.averageFrameRate.valid() ? index.video.averageFrameRate : index.video.frameRate;
    const double frameUs = rate.valid() ? 1e6 / rate.value() : 40000.0;
    const double stated = double(index.durationMs) * 1000.0;
    const auto endsShort = [&](qint64 endUs) { return double(endUs) < stated - 2 * frameUs; };
    if (!endsShort(pictures))
        return -1;
    if (index.audio.index >= 0) {
        const qint64 sound = endOfPackets(index.audio.packets, index.audio.timeBase, index.startTimeUs);
        if (sound != NoTimestamp && !endsShort(sound))
            return -1;
    }
    return qMax<qint64>(0, pictures / 1000);
}

bool holdsStillPicture(const MediaIndex &index)
{
    if (!index.ok() || index.video.index < 0 || index.video.packets.size() > 1)
        return false;
    const QString &format = index.formatName;
    return format.endsWith(QLatin1String("_pipe")) || format == QLatin1String("image2")
        || format == QLatin1String("gif");
}

} // namespace Media
