#include "streamjoiner.h"

#include "libav.h"
#include "nalunits.h"

#include <QFile>

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

namespace StreamJoiner {

TRIMLET_USE_LIBAV

namespace {

struct InputCloser {
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

struct PacketFree {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
using Packet = std::unique_ptr<AVPacket, PacketFree>;

QString averror(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromLocal8Bit(text);
}

Input openInput(const QString &path, const char *forcedFormat, QString *error)
{
    AVFormatContext *context = nullptr;
    const AVInputFormat *format = forcedFormat ? av_find_input_format(forcedFormat) : nullptr;
    const QByteArray name = QFile::encodeName(path);
    int result = avformat_open_input(&context, name.constData(), format, nullptr);
    if (result < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, averror(result));
        return nullptr;
    }
    Input input(context);
    result = avformat_find_stream_info(context, nullptr);
    if (result < 0) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, averror(result));
        return nullptr;
    }
    return input;
}

void appendLength(QByteArray &out, qsizetype length, int lengthSize)
{
    for (int i = lengthSize - 1; i >= 0; --i)
        out.append(char((length >> (8 * i)) & 0xff));
}

// Holds the output and writes its packets.
class Writer {
public:
    AVFormatContext *context = nullptr;
    AVStream *video = nullptr;
    AVStream *audio = nullptr;
    AVRational videoSourceBase{1, 1};
    AVRational audioSourceBase{1, 1};
    bool opened = false;

    ~Writer()
    {
        if (!context)
            return;
        if (opened)
            avio_closep(&context->pb);
        avformat_free_context(context);
    }

    QString writeVideo(AVPacket *packet, qint64 pts, qint64 dts)
    {
        packet->pts = pts;
        packet->dts = dts;
        packet->stream_index = video->index;
        packet->pos = -1;
        av_packet_rescale_ts(packet, videoSourceBase, video->time_base);
        const int result = av_interleaved_write_frame(context, packet);
        return result < 0 ? QStringLiteral("cannot write the output: %1").arg(averror(result)) : QString();
    }

    QString writeAudio(AVPacket *packet)
    {
        packet->stream_index = audio->index;
        packet->pos = -1;
        av_packet_rescale_ts(packet, audioSourceBase, audio->time_base);
        const int result = av_interleaved_write_frame(context, packet);
        return result < 0 ? QStringLiteral("cannot write the output: %1").arg(averror(result)) : QString();
    }
};

// Audio packets are fed up to the time of the video written so far.
class AudioFeed {
public:
    virtual ~AudioFeed() = default;
    virtual QString feedUntil(Writer &writer, double seconds) = 0;
};

// Another file's audio, written as it is.
class FileAudioFeed : public AudioFeed {
public:
    Input input;
    int stream = -1;
    bool finished = false;
    Packet packet{av_packet_alloc()};
    bool havePending = false;

    QString feedUntil(Writer &writer, double seconds) override
    {
        while (!finished) {
            if (!havePending) {
                const int result = av_read_frame(input.get(), packet.get());
                if (result == AVERROR_EOF) {
                    finished = true;
                    break;
                }
                if (result < 0)
                    return QStringLiteral("cannot read the audio: %1").arg(averror(result));
                if (packet->stream_index != stream) {
                    av_packet_unref(packet.get());
                    continue;
                }
                havePending = true;
            }
            const qint64 ts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
            if (ts != AV_NOPTS_VALUE && ts * av_q2d(writer.audioSourceBase) > seconds)
                break;
            havePending = false;
            const QString error = writer.writeAudio(packet.get());
            av_packet_unref(packet.get());
            if (!error.isEmpty())
                return error;
        }
        return QString();
    }
};

// The source's audio packets part by part, laid end to end: each part starts with the
// packet nearest its first frame and takes packets while the output's sound stays
// within half a packet of its picture, so no error adds up across the joints.
class SourceAudioFeed : public AudioFeed {
public:
    Input input;
    int stream = -1;
    AVRational videoBase{1, 1};
    QVector<AudioPart> parts;
    int part = -1;
    qint64 written = 0;             // output position, audio time base
    Packet packet{av_packet_alloc()};
    bool havePending = false;
    bool partStarted = false;

    QString feedUntil(Writer &writer, double seconds) override
    {
        const AVRational audioBase = writer.audioSourceBase;
        while (true) {
            if (part < 0 || !partStarted) {
                if (part < 0)
                    part = 0;
                if (part >= parts.size())
                    return QString();
                const QString error = startPart(audioBase);
                if (!error.isEmpty())
                    return error;
            }
            if (!havePending) {
                const int result = readAudio();
                if (result == AVERROR_EOF) {
                    nextPart();
                    continue;
                }
                if (result < 0)
                    return QStringLiteral("cannot read the audio: %1").arg(averror(result));
            }
            const qint64 duration = qMax<qint64>(1, packet->duration);
            const qint64 end = av_rescale_q(parts[part].outputEnd, videoBase, audioBase);
            if (2 * written + duration > 2 * end) {
                havePending = false;
                av_packet_unref(packet.get());
                nextPart();
                continue;
            }
            if (written * av_q2d(audioBase) > seconds)
                return QString();
            havePending = false;
            packet->pts = packet->dts = written;
            packet->duration = duration;
            written += duration;
            // Priming and padding notes of the source's first and last packets do not
            // belong in the middle of the output.
            av_packet_free_side_data(packet.get());
            const QString error = writer.writeAudio(packet.get());
            av_packet_unref(packet.get());
            if (!error.isEmpty())
                return error;
        }
    }

private:
    int readAudio()
    {
        while (true) {
            const int result = av_read_frame(input.get(), packet.get());
            if (result < 0)
                return result;
            if (packet->stream_index == stream && packet->pts != AV_NOPTS_VALUE) {
                havePending = true;
                return 0;
            }
            av_packet_unref(packet.get());
        }
    }

    void nextPart()
    {
        ++part;
        partStarted = false;
    }

    QString startPart(const AVRational &audioBase)
    {
        partStarted = true;
        havePending = false;
        av_packet_unref(packet.get());
        const qint64 start = av_rescale_q(parts[part].sourceStart, videoBase, audioBase);
        const qint64 lead = av_rescale_q(1, AVRational{1, 1}, audioBase);
        av_seek_frame(input.get(), stream, start - lead, AVSEEK_FLAG_BACKWARD);
        // The first packet whose middle is not before the part's start.
        while (true) {
            const int result = readAudio();
            if (result < 0)
                return QString(); // no sound here: the part stays silent
            if (2 * packet->pts + packet->duration >= 2 * start)
                return QString();
            havePending = false;
            av_packet_unref(packet.get());
        }
    }
};

} // namespace

QByteArray annexBToLengthPrefixed(const QByteArray &annexB, int lengthSize)
{
    QByteArray out;
    const qsizetype n = annexB.size();
    const uchar *data = reinterpret_cast<const uchar *>(annexB.constData());
    auto nextStart = [&](qsizetype from) {
        for (qsizetype i = from; i + 2 < n; ++i) {
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)
                return i;
        }
        return n;
    };
    qsizetype start = nextStart(0);
    while (start < n) {
        const qsizetype unitStart = start + 3;
        qsizetype next = nextStart(unitStart);
        qsizetype unitEnd = next;
        // A four-byte start code and trailing zeros belong to no unit.
        while (unitEnd > unitStart && data[unitEnd - 1] == 0)
            --unitEnd;
        const qsizetype length = unitEnd - unitStart;
        if (length > 0) {
            if (lengthSize < 4 && length >= (qsizetype(1) << (8 * lengthSize)))
                return QByteArray();
            appendLength(out, length, lengthSize);
            out.append(annexB.constData() + unitStart, length);
        }
        start = next;
    }
    return out;
}

QByteArray parameterSetsFromExtradata(const QByteArray &extradata, bool hevc, int lengthSize)
{
    QByteArray out;
    if (extradata.isEmpty() || extradata[0] != 1)
        return out;
    const Media::ParameterSetScanner scanner(hevc ? Media::NalCodec::Hevc : Media::NalCodec::H264, extradata);
    for (const QByteArray &set : scanner.parameterSets()) {
        // Only the sets themselves: SEI arrays of hvcC stay in the sample description.
        const int type = hevc ? (uchar(set[0]) >> 1) & 0x3f : uchar(set[0]) & 0x1f;
        if (hevc ? (type < 32 || type > 34) : (type != 7 && type != 8))
            continue;
        appendLength(out, set.size(), lengthSize);
        out.append(set);
    }
    return out;
}

QVector<qint64> decodeTimestamps(const QVector<qint64> &ptsInDecodeOrder)
{
    QVector<qint64> shown = ptsInDecodeOrder;
    std::sort(shown.begin(), shown.end());
    if (std::adjacent_find(shown.cbegin(), shown.cend()) != shown.cend())
        return {};
    // The n-th decoded picture takes the n-th time in display order, moved back by the
    // largest distance any picture is shown after that time.
    qint64 delay = 0;
    for (int i = 0; i < shown.size(); ++i)
        delay = qMax(delay, shown[i] - ptsInDecodeOrder[i]);
    for (qint64 &time : shown)
        time -= delay;
    return shown;
}

Outcome join(const Request &request, const std::atomic<bool> *cancel, const std::function<void(int)> &progress)
{
    const Media::MediaIndex &index = *request.index;
    const Media::VideoStream &videoInfo = index.video;
    const bool hevc = videoInfo.codecName == QLatin1String("hevc");
    const int lengthSize = videoInfo.nalLengthSize;
    auto canceled = [cancel] { return cancel && cancel->load(); };

    QString error;
    auto unjoinable = [](const QString &why) { return Outcome{why, true}; };

    QVector<qint64> outputPts;
    for (const Segment &segment : request.segments) {
        if (segment.kind == Segment::Piece) {
            for (qint64 pts : segment.framePts)
                outputPts.append(pts + segment.offset);
            continue;
        }
        if (segment.firstPacket < 0 || segment.endPacket > videoInfo.packets.size()
            || segment.firstPacket >= segment.endPacket)
            return {QStringLiteral("a copied stretch lies outside the video")};
        for (int d = segment.firstPacket; d < segment.endPacket; ++d)
            outputPts.append(videoInfo.packets[d].pts + segment.offset);
    }
    const QVector<qint64> outputDts = decodeTimestamps(outputPts);
    if (outputDts.isEmpty() && !outputPts.isEmpty())
        return unjoinable(QStringLiteral("two of the video's pictures would be shown at the same moment"));

    Input source = openInput(request.sourcePath, nullptr, &error);
    if (!source)
        return {error};
    if (videoInfo.index < 0 || videoInfo.index >= int(source->nb_streams))
        return {QStringLiteral("the source's video stream is missing")};
    for (unsigned i = 0; i < source->nb_streams; ++i) {
        if (int(i) != videoInfo.index)
            source->streams[i]->discard = AVDISCARD_ALL;
    }
    AVStream *sourceVideo = source->streams[videoInfo.index];

    std::unique_ptr<AudioFeed> audio;
    AVStream *audioIn = nullptr;
    if (!request.audioPath.isEmpty()) {
        auto feed = std::make_unique<FileAudioFeed>();
        feed->input = openInput(request.audioPath, nullptr, &error);
        if (!feed->input)
            return {error};
        feed->stream = av_find_best_stream(feed->input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (feed->stream < 0)
            return {QStringLiteral("the encoded audio has no audio stream")};
        audioIn = feed->input->streams[feed->stream];
        audio = std::move(feed);
    } else if (!request.audioParts.isEmpty() && index.audio.index >= 0) {
        auto feed = std::make_unique<SourceAudioFeed>();
        feed->input = openInput(request.sourcePath, nullptr, &error);
        if (!feed->input)
            return {error};
        feed->stream = index.audio.index;
        if (feed->stream >= int(feed->input->nb_streams))
            return {QStringLiteral("the source's audio stream is missing")};
        for (unsigned i = 0; i < feed->input->nb_streams; ++i) {
            if (int(i) != feed->stream)
                feed->input->streams[i]->discard = AVDISCARD_ALL;
        }
        feed->videoBase = sourceVideo->time_base;
        feed->parts = request.audioParts;
        audioIn = feed->input->streams[feed->stream];
        audio = std::move(feed);
    }

    Writer writer;
    const QByteArray outputName = QFile::encodeName(request.outputPath);
    int result = avformat_alloc_output_context2(&writer.context, nullptr, request.outputFormat.toLatin1().constData(),
                                                outputName.constData());
    if (result < 0 || !writer.context)
        return {QStringLiteral("cannot create the output: %1").arg(averror(result))};
    writer.video = avformat_new_stream(writer.context, nullptr);
    if (!writer.video || avcodec_parameters_copy(writer.video->codecpar, sourceVideo->codecpar) < 0)
        return {QStringLiteral("cannot set up the output's video")};
    writer.video->codecpar->codec_tag = 0;
    writer.video->time_base = sourceVideo->time_base;
    writer.video->avg_frame_rate = sourceVideo->avg_frame_rate;
    writer.videoSourceBase = sourceVideo->time_base;
    size_t matrixSize = 0;
    if (const uint8_t *matrix = av_stream_get_side_data(sourceVideo, AV_PKT_DATA_DISPLAYMATRIX, &matrixSize)) {
        if (uint8_t *copy = av_stream_new_side_data(writer.video, AV_PKT_DATA_DISPLAYMATRIX, matrixSize))
            memcpy(copy, matrix, matrixSize);
    }
    if (AVDictionaryEntry *language = av_dict_get(sourceVideo->metadata, "language", nullptr, 0))
        av_dict_set(&writer.video->metadata, "language", language->value, 0);
    if (audioIn) {
        AVStream *in = audioIn;
        writer.audio = avformat_new_stream(writer.context, nullptr);
        if (!writer.audio || avcodec_parameters_copy(writer.audio->codecpar, in->codecpar) < 0)
            return {QStringLiteral("cannot set up the output's audio")};
        writer.audio->codecpar->codec_tag = 0;
        writer.audio->time_base = in->time_base;
        writer.audioSourceBase = in->time_base;
    }

    result = avio_open(&writer.context->pb, outputName.constData(), AVIO_FLAG_WRITE);
    if (result < 0)
        return {QStringLiteral("cannot write %1: %2").arg(request.outputPath, averror(result))};
    writer.opened = true;
    AVDictionary *options = nullptr;
    if (request.outputFormat == QLatin1String("mp4") || request.outputFormat == QLatin1String("mov"))
        av_dict_set(&options, "movflags", "+faststart", 0);
    result = avformat_write_header(writer.context, &options);
    av_dict_free(&options);
    if (result < 0)
        return {QStringLiteral("cannot start the output: %1").arg(averror(result))};

    const QByteArray parameterSets = parameterSetsFromExtradata(videoInfo.extradata, hevc, lengthSize);

    const qint64 totalPackets = outputPts.size();
    qint64 donePackets = 0;
    int lastPercent = -1;
    auto advance = [&] {
        ++donePackets;
        const int percent = totalPackets > 0 ? int(donePackets * 100 / totalPackets) : 100;
        if (progress && percent != lastPercent) {
            lastPercent = percent;
            progress(percent);
        }
    };
    const double videoSeconds = av_q2d(sourceVideo->time_base);
    Packet packet(av_packet_alloc());

    for (const Segment &segment : request.segments) {
        if (segment.kind == Segment::Copy) {
            const Media::VideoPacket &first = videoInfo.packets[segment.firstPacket];
            const qint64 target = first.dts != Media::NoTimestamp ? first.dts : first.pts;
            bool found = false;
            for (int attempt = 0; attempt < 2 && !found; ++attempt) {
                // A seek that lands past the run's first packet is retried from the start.
                if (attempt == 0)
                    result = av_seek_frame(source.get(), videoInfo.index, target, AVSEEK_FLAG_BACKWARD);
                else
                    result = av_seek_frame(source.get(), videoInfo.index, std::numeric_limits<qint64>::min(),
                                           AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
                if (result < 0 && attempt == 1)
                    avformat_seek_file(source.get(), -1, std::numeric_limits<qint64>::min(), 0, 0, 0);
                while ((result = av_read_frame(source.get(), packet.get())) >= 0) {
                    if (canceled())
                        return {QStringLiteral("Canceled")};
                    if (packet->stream_index != videoInfo.index) {
                        av_packet_unref(packet.get());
                        continue;
                    }
                    if (packet->pts == first.pts) {
                        found = true;
                        break;
                    }
                    const bool past = packet->dts != AV_NOPTS_VALUE && packet->dts > target;
                    av_packet_unref(packet.get());
                    if (past)
                        break;
                }
            }
            if (!found)
                return unjoinable(QStringLiteral("a stretch to copy could not be found again in the video"));
            for (int d = segment.firstPacket; d < segment.endPacket; ++d) {
                if (d > segment.firstPacket) {
                    do {
                        av_packet_unref(packet.get());
                        result = av_read_frame(source.get(), packet.get());
                        if (result < 0)
                            return unjoinable(QStringLiteral("the video ended sooner than when it was first read"));
                    } while (packet->stream_index != videoInfo.index);
                }
                if (canceled())
                    return {QStringLiteral("Canceled")};
                const Media::VideoPacket &expected = videoInfo.packets[d];
                if (packet->pts != expected.pts)
                    return unjoinable(QStringLiteral("the video's pictures differ from when it was first read"));
                if (d == segment.firstPacket && !parameterSets.isEmpty()) {
                    // The run brings its own parameter sets: a piece before it may have
                    // replaced sets of the same id.
                    QByteArray data = parameterSets;
                    data.append(reinterpret_cast<const char *>(packet->data), packet->size);
                    Packet copy(av_packet_alloc());
                    if (av_new_packet(copy.get(), int(data.size())) < 0)
                        return {QStringLiteral("out of memory")};
                    memcpy(copy->data, data.constData(), size_t(data.size()));
                    copy->flags = packet->flags;
                    copy->duration = packet->duration;
                    av_packet_unref(packet.get());
                    av_packet_move_ref(packet.get(), copy.get());
                    packet->pts = expected.pts;
                    packet->dts = expected.dts;
                }
                const qint64 pts = expected.pts + segment.offset;
                const qint64 dts = outputDts[int(donePackets)];
                error = !audio ? QString() : audio->feedUntil(writer, dts * videoSeconds);
                if (!error.isEmpty())
                    return {error};
                error = writer.writeVideo(packet.get(), pts, dts);
                av_packet_unref(packet.get());
                if (!error.isEmpty())
                    return {error};
                advance();
            }
            continue;
        }

        Input piece = openInput(segment.piecePath, hevc ? "hevc" : "h264", &error);
        if (!piece)
            return {error};
        int written = 0;
        const int frames = int(segment.framePts.size());
        while ((result = av_read_frame(piece.get(), packet.get())) >= 0) {
            if (canceled())
                return {QStringLiteral("Canceled")};
            if (written >= frames)
                return unjoinable(QStringLiteral("a stretch encoded again came out longer than the pictures it replaces"));
            const QByteArray converted = annexBToLengthPrefixed(
                QByteArray::fromRawData(reinterpret_cast<const char *>(packet->data), packet->size), lengthSize);
            if (converted.isEmpty())
                return unjoinable(QStringLiteral("a stretch encoded again cannot be stored beside the copied pictures"));
            const bool key = packet->flags & AV_PKT_FLAG_KEY;
            av_packet_unref(packet.get());
            if (av_new_packet(packet.get(), int(converted.size())) < 0)
                return {QStringLiteral("out of memory")};
            memcpy(packet->data, converted.constData(), size_t(converted.size()));
            packet->flags = key ? AV_PKT_FLAG_KEY : 0;
            const qint64 pts = segment.framePts[written] + segment.offset;
            packet->duration = (written + 1 < frames ? segment.framePts[written + 1] : segment.endPts) - segment.framePts[written];
            const qint64 dts = outputDts[int(donePackets)];
            error = !audio ? QString() : audio->feedUntil(writer, dts * videoSeconds);
            if (!error.isEmpty())
                return {error};
            error = writer.writeVideo(packet.get(), pts, dts);
            av_packet_unref(packet.get());
            if (!error.isEmpty())
                return {error};
            ++written;
            advance();
        }
        if (written != frames)
            return unjoinable(QStringLiteral("a stretch encoded again has %1 pictures instead of %2").arg(written).arg(frames));
    }

    error = !audio ? QString() : audio->feedUntil(writer, std::numeric_limits<double>::infinity());
    if (!error.isEmpty())
        return {error};
    result = av_write_trailer(writer.context);
    if (result < 0)
        return {QStringLiteral("cannot finish the output: %1").arg(averror(result))};
    return {};
}

} // namespace StreamJoiner
