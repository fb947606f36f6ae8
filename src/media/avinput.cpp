#include "avinput.h"

#include <cmath>
#include <cstdlib>

extern "C" {
#include <libavutil/display.h>
}

namespace Media::Av {

namespace {

int interruptWhenCanceled(void *opaque)
{
    return canceled(static_cast<const std::atomic<bool> *>(opaque)) ? 1 : 0;
}

// The same rounding the export's ffprobe reading applies, so both tell the same angle.
int normalisedRotation(double degrees)
{
    const int quarter = int(std::lround(degrees / 90.0));
    return ((quarter % 4) + 4) % 4 * 90;
}

} // namespace

bool canceled(const std::atomic<bool> *cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

bool openInput(FormatContext &format, const QString &absolutePath, const std::atomic<bool> *cancel)
{
    format.context = avformat_alloc_context();
    if (!format.context)
        return false;
    format.context->interrupt_callback.callback = interruptWhenCanceled;
    format.context->interrupt_callback.opaque = const_cast<std::atomic<bool> *>(cancel);
    const QByteArray encodedPath = absolutePath.toUtf8();
    // avformat_open_input frees the context when it fails.
    return avformat_open_input(&format.context, encodedPath.constData(), nullptr, nullptr) >= 0;
}

int pickVideoStream(AVFormatContext *context)
{
    const int best = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (best >= 0 && !(context->streams[best]->disposition & AV_DISPOSITION_ATTACHED_PIC))
        return best;
    // Cover art counts as a video stream to libavformat; the picture we cut is another one.
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream *stream = context->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO
            && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return int(i);
    }
    return -1;
}

int pickAudioStream(AVFormatContext *context)
{
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        if (context->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            return int(i);
    }
    return -1;
}

int rotationOf(const AVStream *stream)
{
    size_t size = 0;
    const uint8_t *matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (matrix && size >= 9 * sizeof(int32_t)) {
        const double degrees = av_display_rotation_get(reinterpret_cast<const int32_t *>(matrix));
        if (!std::isnan(degrees))
            return normalisedRotation(degrees);
    }
    if (const AVDictionaryEntry *tag = av_dict_get(stream->metadata, "rotate", nullptr, 0)) {
        char *end = nullptr;
        const double degrees = std::strtod(tag->value, &end);
        if (end != tag->value)
            return normalisedRotation(degrees);
    }
    return 0;
}

bool openDecoder(CodecContext &codec, const AVStream *stream)
{
    const AVCodec *decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder)
        return false;
    codec.context = avcodec_alloc_context3(decoder);
    if (!codec.context || avcodec_parameters_to_context(codec.context, stream->codecpar) < 0)
        return false;
    codec.context->thread_count = 1;
    codec.context->pkt_timebase = stream->time_base;
    return avcodec_open2(codec.context, decoder, nullptr) >= 0;
}

} // namespace Media::Av
