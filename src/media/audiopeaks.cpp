#include "audiopeaks.h"
#include "avinput.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <cstring>

extern "C" {
#include <libswresample/swresample.h>
}

namespace Media {

namespace {

// A run is handed on when this many blocks (5 s of sound) are ready, so the strip fills
// in steadily without a signal per packet.
constexpr size_t kDeliveryBlocks = 1000;

struct Resampler {
    SwrContext *context = nullptr;
    int format = -1;
    int rate = 0;
    AVChannelLayout layout{};
    Resampler() = default;
    Resampler(const Resampler &) = delete;
    Resampler &operator=(const Resampler &) = delete;
    ~Resampler()
    {
        swr_free(&context);
        av_channel_layout_uninit(&layout);
    }

    // Mono floats at outRate from whatever the frame holds; rebuilt when the input changes.
    bool prepare(const AVFrame *frame, int outRate)
    {
        if (context && frame->format == format && frame->sample_rate == rate
            && av_channel_layout_compare(&frame->ch_layout, &layout) == 0)
            return true;
        swr_free(&context);
        av_channel_layout_uninit(&layout);
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&layout, frame->ch_layout.nb_channels);
        else if (av_channel_layout_copy(&layout, &frame->ch_layout) < 0)
            return false;
        format = frame->format;
        rate = frame->sample_rate;
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        if (swr_alloc_set_opts2(&context, &mono, AV_SAMPLE_FMT_FLT, outRate, &layout,
                                AVSampleFormat(format), rate, 0, nullptr) < 0)
            return false;
        return swr_init(context) >= 0;
    }
};

class PeakDecoder {
public:
    PeakDecoder(const std::atomic<bool> *cancel, const std::function<void(std::vector<Peak> &&)> &deliver)
        : m_cancel(cancel), m_deliver(deliver) {}

    PeakDecodeStatus open(const QString &path, PeakSource *source);
    PeakDecodeStatus run();
    std::vector<TimedPeak> sample(int count);
    qint64 durationMs() const { return m_durationMs; }

private:
    bool decodeFrames();
    // The frame as mono samples in m_mono; how many, or -1 when it cannot be converted.
    int mix(AVFrame *frame);
    void handOn(bool all);

    const std::atomic<bool> *m_cancel;
    const std::function<void(std::vector<Peak> &&)> &m_deliver;
    Av::FormatContext m_format;
    Av::CodecContext m_codec;
    Av::Packet m_packet;
    Av::Frame m_frame;
    Resampler m_resampler;
    std::vector<float> m_mono;
    std::optional<PeakAccumulator> m_peaks;
    std::vector<Peak> m_pending;
    int m_audioIndex = -1;
    AVRational m_timeBase{1, 1};
    qint64 m_startUs = 0;
    qint64 m_durationMs = -1;
    int m_rate = 0;
};

PeakDecodeStatus PeakDecoder::open(const QString &path, PeakSource *source)
{
    const QFileInfo info(path);
    if (!info.isFile() || !Av::openInput(m_format, info.absoluteFilePath(), m_cancel))
        return Av::canceled(m_cancel) ? PeakDecodeStatus::Canceled : PeakDecodeStatus::Failed;
    AVFormatContext *context = m_format.context;
    if (avformat_find_stream_info(context, nullptr) < 0)
        return Av::canceled(m_cancel) ? PeakDecodeStatus::Canceled : PeakDecodeStatus::Failed;
    m_audioIndex = Av::pickAudioStream(context);
    if (m_audioIndex < 0)
        return PeakDecodeStatus::NoAudio;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        if (int(i) != m_audioIndex)
            context->streams[i]->discard = AVDISCARD_ALL;
    }
    const AVStream *stream = context->streams[m_audioIndex];
    if (!Av::openDecoder(m_codec, stream) || m_codec.context->sample_rate <= 0 || !m_packet.packet
        || !m_frame.frame)
        return PeakDecodeStatus::Failed;
    m_rate = m_codec.context->sample_rate;
    m_timeBase = stream->time_base;
    m_startUs = context->start_time == AV_NOPTS_VALUE ? 0 : context->start_time;
    m_peaks.emplace(m_rate);
    if (stream->duration != AV_NOPTS_VALUE)
        m_durationMs = av_rescale_q(stream->duration, stream->time_base, AVRational{1, 1000});
    else if (context->duration != AV_NOPTS_VALUE)
        m_durationMs = av_rescale(context->duration, 1000, AV_TIME_BASE);
    if (source) {
        *source = PeakSource{true, m_rate, m_codec.context->ch_layout.nb_channels,
                             m_durationMs > 0 ? peakBlockAt(m_durationMs) + 1 : 0};
    }
    return PeakDecodeStatus::Complete;
}

PeakDecodeStatus PeakDecoder::run()
{
    AVPacket *packet = m_packet.packet;
    for (;;) {
        if (Av::canceled(m_cancel))
            return PeakDecodeStatus::Canceled;
        const int result = av_read_frame(m_format.context, packet);
        if (result < 0) {
            if (Av::canceled(m_cancel))
                return PeakDecodeStatus::Canceled;
            break; // the end, or a damaged tail: what came before still counts
        }
        if (packet->stream_index == m_audioIndex && avcodec_send_packet(m_codec.context, packet) >= 0
            && !decodeFrames()) {
            av_packet_unref(packet);
            return PeakDecodeStatus::Failed;
        }
        av_packet_unref(packet);
    }
    avcodec_send_packet(m_codec.context, nullptr);
    if (!decodeFrames())
        return PeakDecodeStatus::Failed;
    m_peaks->finish();
    handOn(true);
    return PeakDecodeStatus::Complete;
}

int PeakDecoder::mix(AVFrame *frame)
{
    if (frame->sample_rate <= 0 || !m_resampler.prepare(frame, m_rate))
        return -1;
    const int capacity = swr_get_out_samples(m_resampler.context, frame->nb_samples);
    m_mono.resize(size_t(qMax(capacity, 1)));
    uint8_t *out = reinterpret_cast<uint8_t *>(m_mono.data());
    return swr_convert(m_resampler.context, &out, capacity, const_cast<const uint8_t **>(frame->extended_data),
                       frame->nb_samples);
}

bool PeakDecoder::decodeFrames()
{
    AVFrame *frame = m_frame.frame;
    while (avcodec_receive_frame(m_codec.context, frame) >= 0) {
        if (frame->nb_samples <= 0) {
            av_frame_unref(frame);
            continue;
        }
        const int produced = mix(frame);
        if (produced < 0) {
            av_frame_unref(frame);
            return false;
        }
        qint64 at = m_peaks->nextSample();
        const qint64 pts = frame->best_effort_timestamp;
        if (pts != AV_NOPTS_VALUE) {
            const qint64 stamped = av_rescale_q(pts, m_timeBase, AVRational{1, m_rate})
                - av_rescale(m_startUs, m_rate, AV_TIME_BASE);
            // Timestamps jitter by a few samples; only a real gap or overlap moves the sound.
            if (qAbs(stamped - at) > m_rate / 20)
                at = stamped;
        }
        av_frame_unref(frame);
        if (produced > 0)
            m_peaks->add(m_mono.data(), produced, at);
        handOn(false);
    }
    return true;
}

std::vector<TimedPeak> PeakDecoder::sample(int count)
{
    std::vector<TimedPeak> samples;
    if (m_durationMs <= 0 || count <= 0)
        return samples;
    AVPacket *packet = m_packet.packet;
    AVFrame *frame = m_frame.frame;
    for (int k = 0; k < count && !Av::canceled(m_cancel); ++k) {
        const qint64 targetMs = (2 * k + 1) * m_durationMs / (2 * qint64(count));
        const qint64 target = av_rescale_q(m_startUs + targetMs * 1000, AV_TIME_BASE_Q, m_timeBase);
        if (av_seek_frame(m_format.context, m_audioIndex, target, AVSEEK_FLAG_BACKWARD) < 0)
            continue;
        avcodec_flush_buffers(m_codec.context);
        // The first frame after a jump lacks its predecessor's overlap: it primes the decoder only.
        int frames = 0;
        PeakAccumulator snippet(m_rate);
        qint64 firstMs = -1;
        for (int packets = 0; packets < 8 && frames < 3 && av_read_frame(m_format.context, packet) >= 0;) {
            if (packet->stream_index == m_audioIndex && avcodec_send_packet(m_codec.context, packet) >= 0) {
                ++packets;
                while (avcodec_receive_frame(m_codec.context, frame) >= 0) {
                    const qint64 pts = frame->best_effort_timestamp;
                    const int produced = frame->nb_samples > 0 ? mix(frame) : 0;
                    if (frames++ > 0 && produced > 0) {
                        if (firstMs < 0 && pts != AV_NOPTS_VALUE)
                            firstMs = av_rescale_q(pts, m_timeBase, AVRational{1, 1000}) - m_startUs / 1000;
                        snippet.add(m_mono.data(), produced, snippet.nextSample());
                    }
                    av_frame_unref(frame);
                }
            }
            av_packet_unref(packet);
        }
        // One block for the whole snippet: its loudest and quietest sample and its RMS.
        snippet.finish();
        const std::vector<Peak> blocks = snippet.takeBlocks();
        if (blocks.empty())
            continue;
        Peak whole = blocks.front();
        for (size_t i = 1; i < blocks.size(); ++i)
            whole = PeakPyramid::merge(whole, blocks[i]);
        samples.push_back(TimedPeak{firstMs >= 0 ? firstMs : targetMs, whole});
    }
    std::sort(samples.begin(), samples.end(),
              [](const TimedPeak &a, const TimedPeak &b) { return a.ms < b.ms; });
    return samples;
}

void PeakDecoder::handOn(bool all)
{
    std::vector<Peak> fresh = m_peaks->takeBlocks();
    m_pending.insert(m_pending.end(), fresh.begin(), fresh.end());
    if (m_pending.empty() || (!all && m_pending.size() < kDeliveryBlocks))
        return;
    if (m_deliver)
        m_deliver(std::move(m_pending));
    m_pending = {};
}

#pragma pack(push, 1)
struct CacheHeader {
    char magic[8];
    quint32 version;
    quint32 blocksPerSecond;
    qint64 sourceSize;
    qint64 sourceModifiedMs;
    qint32 hasAudio;
    qint32 sampleRate;
    qint32 channels;
    quint32 pathBytes;
    quint64 blockCount;
    quint64 checksum;
};
#pragma pack(pop)

constexpr char kCacheMagic[8] = {'T', 'R', 'I', 'M', 'P', 'E', 'A', 'K'};
constexpr quint32 kCacheVersion = 1;
// About a hundred hours of sound; a new file pushes the least recently made ones out.
constexpr qint64 kCacheBudgetBytes = qint64(256) << 20;

constexpr quint64 kChecksumStart = 14695981039346656037ull;

quint64 checksumOf(const char *data, qint64 size, quint64 hash = kChecksumStart)
{
    for (qint64 i = 0; i < size; ++i) {
        hash ^= quint8(data[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

struct SourceStamp {
    QString path;
    qint64 size = -1;
    qint64 modifiedMs = 0;
};

std::optional<SourceStamp> stampOf(const QString &sourcePath)
{
    const QFileInfo info(sourcePath);
    if (!info.isFile())
        return std::nullopt;
    return SourceStamp{info.absoluteFilePath(), info.size(), info.lastModified().toMSecsSinceEpoch()};
}

} // namespace

PeakDecodeStatus decodeAudioPeaks(const QString &path, const std::atomic<bool> *cancel,
                                  const std::function<void(std::vector<Peak> &&)> &deliver, PeakSource *source,
                                  const std::function<void(std::vector<TimedPeak> &&)> &preview, int previewCount)
{
    PeakDecoder decoder(cancel, deliver);
    const PeakDecodeStatus opened = decoder.open(path, source);
    if (opened != PeakDecodeStatus::Complete)
        return opened;
    // Snippets closer than this would take about as long as the full pass.
    constexpr qint64 kPreviewSpacingMs = 300;
    if (preview && previewCount > 0 && decoder.durationMs() >= previewCount * kPreviewSpacingMs) {
        std::vector<TimedPeak> samples = decoder.sample(previewCount);
        if (Av::canceled(cancel))
            return PeakDecodeStatus::Canceled;
        preview(std::move(samples));
        // Back to the start for the full pass, from a fresh opening (seeking back to the
        // priming packet is not alike in every container).
        PeakDecoder full(cancel, deliver);
        const PeakDecodeStatus reopened = full.open(path, nullptr);
        return reopened == PeakDecodeStatus::Complete ? full.run() : reopened;
    }
    return decoder.run();
}

QString defaultPeakCacheDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/peaks");
}

QString peakCacheFilePath(const QString &cacheDirectory, const QString &sourcePath)
{
    const QByteArray key = QFileInfo(sourcePath).absoluteFilePath().toUtf8();
    return cacheDirectory + QLatin1Char('/')
        + QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex())
        + QStringLiteral(".peaks");
}

std::optional<CachedPeaks> readPeakCache(const QString &cacheDirectory, const QString &sourcePath)
{
    const std::optional<SourceStamp> stamp = stampOf(sourcePath);
    if (!stamp)
        return std::nullopt;
    QFile file(peakCacheFilePath(cacheDirectory, sourcePath));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    CacheHeader header;
    if (file.read(reinterpret_cast<char *>(&header), sizeof header) != qint64(sizeof header))
        return std::nullopt;
    const QByteArray path = stamp->path.toUtf8();
    if (std::memcmp(header.magic, kCacheMagic, sizeof kCacheMagic) != 0 || header.version != kCacheVersion
        || header.blocksPerSecond != quint32(kPeakBlocksPerSecond) || header.sourceSize != stamp->size
        || header.sourceModifiedMs != stamp->modifiedMs || header.pathBytes != quint32(path.size())
        || header.blockCount > quint64(1) << 40)
        return std::nullopt;
    // The length must be exactly what the header promises: a cut-off write is rejected here.
    const qint64 bodyBytes = qint64(header.blockCount) * qint64(sizeof(Peak));
    if (file.size() != qint64(sizeof header) + path.size() + bodyBytes || file.read(path.size()) != path)
        return std::nullopt;
    CachedPeaks cached;
    cached.source = PeakSource{header.hasAudio != 0, header.sampleRate, header.channels};
    cached.blocks.resize(size_t(header.blockCount));
    char *body = reinterpret_cast<char *>(cached.blocks.data());
    if (file.read(body, bodyBytes) != bodyBytes || checksumOf(body, bodyBytes) != header.checksum)
        return std::nullopt;
    return cached;
}

bool writePeakCache(const QString &cacheDirectory, const QString &sourcePath, const CachedPeaks &peaks)
{
    PeakCacheWriter writer(cacheDirectory, sourcePath);
    writer.append(peaks.blocks);
    return writer.commit(peaks.source);
}

struct PeakCacheWriter::Impl {
    QString directory;
    std::optional<SourceStamp> stamp;
    std::unique_ptr<QSaveFile> file;
    QByteArray path;
    quint64 checksum = kChecksumStart;
    quint64 blockCount = 0;
};

PeakCacheWriter::PeakCacheWriter(const QString &cacheDirectory, const QString &sourcePath)
    : d(std::make_unique<Impl>())
{
    static_assert(sizeof(Peak) == 3, "the cache stores three bytes a block");
    d->directory = cacheDirectory;
    d->stamp = stampOf(sourcePath);
    if (!d->stamp || !QDir().mkpath(cacheDirectory))
        return;
    d->path = d->stamp->path.toUtf8();
    // Written beside and renamed over, so a reader never sees half a file.
    d->file = std::make_unique<QSaveFile>(peakCacheFilePath(cacheDirectory, sourcePath));
    if (!d->file->open(QIODevice::WriteOnly)) {
        d->file.reset();
        return;
    }
    const CacheHeader placeholder{};
    d->file->write(reinterpret_cast<const char *>(&placeholder), sizeof placeholder);
    d->file->write(d->path);
}

PeakCacheWriter::~PeakCacheWriter() = default;

void PeakCacheWriter::append(const std::vector<Peak> &blocks)
{
    if (!d->file)
        return;
    const char *bytes = reinterpret_cast<const char *>(blocks.data());
    const qint64 size = qint64(blocks.size() * sizeof(Peak));
    d->checksum = checksumOf(bytes, size, d->checksum);
    d->blockCount += blocks.size();
    d->file->write(bytes, size);
}

bool PeakCacheWriter::commit(const PeakSource &source)
{
    if (!d->file)
        return false;
    CacheHeader header{};
    std::memcpy(header.magic, kCacheMagic, sizeof kCacheMagic);
    header.version = kCacheVersion;
    header.blocksPerSecond = kPeakBlocksPerSecond;
    header.sourceSize = d->stamp->size;
    header.sourceModifiedMs = d->stamp->modifiedMs;
    header.hasAudio = source.hasAudio ? 1 : 0;
    header.sampleRate = source.sampleRate;
    header.channels = source.channels;
    header.pathBytes = quint32(d->path.size());
    header.blockCount = d->blockCount;
    header.checksum = d->checksum;
    const bool written = d->file->seek(0)
        && d->file->write(reinterpret_cast<const char *>(&header), sizeof header) == qint64(sizeof header);
    const bool committed = written && d->file->commit();
    d->file.reset();
    if (committed)
        prunePeakCache(d->directory, kCacheBudgetBytes);
    return committed;
}

void prunePeakCache(const QString &cacheDirectory, qint64 maxBytes)
{
    QFileInfoList files = QDir(cacheDirectory).entryInfoList({QStringLiteral("*.peaks")}, QDir::Files, QDir::Time);
    qint64 total = 0;
    for (const QFileInfo &file : std::as_const(files))
        total += file.size();
    // Newest first: the oldest go from the end.
    while (total > maxBytes && !files.isEmpty()) {
        const QFileInfo oldest = files.takeLast();
        if (QFile::remove(oldest.absoluteFilePath()))
            total -= oldest.size();
    }
}

} // namespace Media
