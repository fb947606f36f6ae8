#include "thumbnaildecoder.h"
#include "avinput.h"

#include <QFileInfo>
#include <QTransform>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

extern "C" {
#include <libswscale/swscale.h>
}

namespace Media {

namespace {

// Pictures kept per decoder before all are forgotten (about 10 kB each, shared with the
// provider's copies).
constexpr int kKeptPictures = 500;

} // namespace

struct ThumbnailDecoder::Impl {
    const std::atomic<bool> *cancel = nullptr;
    Av::FormatContext format;
    Av::CodecContext codec;
    Av::Packet packet;
    Av::Frame frame;
    SwsContext *scaler = nullptr;
    int videoIndex = -1;
    AVRational timeBase{1, 1};
    qint64 startUs = 0;
    int rotation = 0;
    double aspect = 16.0 / 9.0;
    QHash<qint64, QImage> pictures; // by key frame time, at pictureHeight
    int pictureHeight = 0;
    qint64 keySeek = 0; // where the seek to the last key packet found went

    ~Impl() { sws_freeContext(scaler); }
    bool open(const QString &path);
    qint64 msOf(qint64 pts) const;
    qint64 ptsOf(qint64 sourceMs) const;
    bool seekAt(qint64 pts);
    bool readVideoPacket();
    bool readKeyPacket();
    bool returnToKey(qint64 keyPts);
    bool findKeyPacket(qint64 sourceMs);
    bool ensureDecoder();
    bool decodeAlone();
    bool decodeOnwards(qint64 keyPts);
    QImage scaled(int height);
};

bool ThumbnailDecoder::Impl::open(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile() || !Av::openInput(format, info.absoluteFilePath(), cancel)
        || avformat_find_stream_info(format.context, nullptr) < 0)
        return false;
    videoIndex = Av::pickVideoStream(format.context);
    if (videoIndex < 0)
        return false;
    for (unsigned i = 0; i < format.context->nb_streams; ++i) {
        if (int(i) != videoIndex)
            format.context->streams[i]->discard = AVDISCARD_ALL;
    }
    AVStream *stream = format.context->streams[videoIndex];
    if (!ensureDecoder() || !packet.packet || !frame.frame)
        return false;
    timeBase = stream->time_base;
    startUs = format.context->start_time == AV_NOPTS_VALUE ? 0 : format.context->start_time;
    rotation = Av::rotationOf(stream);
    const AVCodecParameters *par = stream->codecpar;
    if (par->width > 0 && par->height > 0) {
        // The container's aspect (Matroska's display size, MP4's pasp) wins over the
        // bitstream's, as ffmpeg's own tools read it.
        const AVRational sar = av_guess_sample_aspect_ratio(format.context, stream, nullptr);
        aspect = double(par->width) / par->height * (sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0);
        if (rotation == 90 || rotation == 270)
            aspect = 1.0 / aspect;
    }
    return true;
}

qint64 ThumbnailDecoder::Impl::msOf(qint64 pts) const
{
    return av_rescale_q(pts, timeBase, AVRational{1, 1000}) - startUs / 1000;
}

qint64 ThumbnailDecoder::Impl::ptsOf(qint64 sourceMs) const
{
    return av_rescale_q(startUs + sourceMs * 1000, AV_TIME_BASE_Q, timeBase);
}

bool ThumbnailDecoder::Impl::seekAt(qint64 pts)
{
    if (av_seek_frame(format.context, videoIndex, pts, AVSEEK_FLAG_BACKWARD) >= 0)
        return true;
    // Before the first key frame: that one, then.
    return avformat_seek_file(format.context, videoIndex, INT64_MIN, pts, INT64_MAX, 0) >= 0;
}

bool ThumbnailDecoder::Impl::readVideoPacket()
{
    for (;;) {
        if (Av::canceled(cancel) || av_read_frame(format.context, packet.packet) < 0)
            return false;
        if (packet.packet->stream_index == videoIndex)
            return true;
        av_packet_unref(packet.packet);
    }
}

bool ThumbnailDecoder::Impl::readKeyPacket()
{
    while (readVideoPacket()) {
        if ((packet.packet->flags & AV_PKT_FLAG_KEY) && packet.packet->pts != AV_NOPTS_VALUE)
            return true;
        av_packet_unref(packet.packet);
    }
    return false;
}

bool ThumbnailDecoder::Impl::returnToKey(qint64 keyPts)
{
    if (!seekAt(keySeek))
        return false;
    while (readKeyPacket()) {
        if (packet.packet->pts == keyPts)
            return true;
        const bool passed = packet.packet->pts > keyPts;
        av_packet_unref(packet.packet);
        if (passed)
            return false;
    }
    return false;
}

// Leaves the key packet at or before sourceMs in `packet`. Files without an index (MPEG-TS,
// program streams) land anywhere near the time, and the next key frame may lie past it (or
// none follow): then
// the key frames a little earlier are read through, with the distance doubled until one is
// found. A seek to the same time lands in the same place again (returnToKey).
bool ThumbnailDecoder::Impl::findKeyPacket(qint64 sourceMs)
{
    const qint64 target = ptsOf(sourceMs);
    keySeek = target;
    qint64 firstFound = AV_NOPTS_VALUE;
    if (seekAt(target) && readKeyPacket()) {
        if (packet.packet->pts <= target)
            return true;
        firstFound = packet.packet->pts;
        av_packet_unref(packet.packet);
    }
    const qint64 origin = ptsOf(-1000);
    for (qint64 backMs = 1000;; backMs *= 2) {
        const qint64 from = ptsOf(sourceMs - backMs);
        if (!seekAt(from))
            break;
        qint64 best = AV_NOPTS_VALUE;
        while (readKeyPacket()) {
            const qint64 pts = packet.packet->pts;
            av_packet_unref(packet.packet);
            if (pts > target)
                break;
            best = pts;
        }
        if (best != AV_NOPTS_VALUE) {
            keySeek = from;
            return returnToKey(best);
        }
        if (Av::canceled(cancel) || from <= origin)
            break;
    }
    // Nothing at or before the time: the first key frame after it.
    keySeek = target;
    return firstFound != AV_NOPTS_VALUE && returnToKey(firstFound);
}

bool ThumbnailDecoder::Impl::ensureDecoder()
{
    if (codec.context)
        return true;
    if (Av::openDecoder(codec, format.context->streams[videoIndex]))
        return true;
    avcodec_free_context(&codec.context);
    return false;
}

// The key packet alone, then drained: one decode, enough for most key frames (a decoder
// with reordering delay gives its picture only at the end of the stream).
bool ThumbnailDecoder::Impl::decodeAlone()
{
    if (!ensureDecoder())
        return false;
    avcodec_flush_buffers(codec.context);
    codec.context->skip_frame = AVDISCARD_NONKEY;
    const bool sent = avcodec_send_packet(codec.context, packet.packet) >= 0;
    return sent && avcodec_send_packet(codec.context, nullptr) >= 0
        && avcodec_receive_frame(codec.context, frame.frame) >= 0;
}

// A key frame whose picture needs the packets after it (a field pair in two packets, a
// recovery point of a stream refreshed by intra slices): fed on until its first picture comes.
bool ThumbnailDecoder::Impl::decodeOnwards(qint64 keyPts)
{
    if (!ensureDecoder())
        return false;
    constexpr int kMostPackets = 300;
    avcodec_flush_buffers(codec.context);
    codec.context->skip_frame = AVDISCARD_DEFAULT;
    bool more = true;
    for (int sent = 0; more && sent < kMostPackets; ++sent) {
        if (avcodec_send_packet(codec.context, packet.packet) < 0 && sent == 0)
            break;
        av_packet_unref(packet.packet);
        while (avcodec_receive_frame(codec.context, frame.frame) >= 0) {
            // Leading pictures of an open group come out first and belong to the one before.
            if (frame.frame->best_effort_timestamp == AV_NOPTS_VALUE || frame.frame->best_effort_timestamp >= keyPts)
                return true;
            av_frame_unref(frame.frame);
        }
        more = readVideoPacket();
    }
    av_packet_unref(packet.packet);
    if (avcodec_send_packet(codec.context, nullptr) < 0)
        return false;
    while (avcodec_receive_frame(codec.context, frame.frame) >= 0) {
        if (frame.frame->best_effort_timestamp == AV_NOPTS_VALUE || frame.frame->best_effort_timestamp >= keyPts)
            return true;
        av_frame_unref(frame.frame);
    }
    return false;
}

QImage ThumbnailDecoder::Impl::scaled(int height)
{
    AVFrame *picture = frame.frame;
    const bool turned = rotation == 90 || rotation == 270;
    const int outHeight = qMax(1, turned ? int(std::lround(height * aspect)) : height);
    const int outWidth = qMax(1, turned ? height : int(std::lround(height * aspect)));
    scaler = sws_getCachedContext(scaler, picture->width, picture->height, AVPixelFormat(picture->format),
                                  outWidth, outHeight, AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
    QImage image(outWidth, outHeight, QImage::Format_RGB32);
    if (!scaler || image.isNull()) {
        av_frame_unref(picture);
        return {};
    }
    // Unspecified: BT.709 above 576 lines, BT.601 below, as the player's conversion does.
    const bool bt709 = picture->colorspace == AVCOL_SPC_BT709
        || (picture->colorspace == AVCOL_SPC_UNSPECIFIED && picture->height > 576);
    const int *coefficients = sws_getCoefficients(bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
    sws_setColorspaceDetails(scaler, coefficients, picture->color_range == AVCOL_RANGE_JPEG ? 1 : 0,
                             coefficients, 1, 0, 1 << 16, 1 << 16);
    uint8_t *planes[4] = {image.bits(), nullptr, nullptr, nullptr};
    const int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
    sws_scale(scaler, picture->data, picture->linesize, 0, picture->height, planes, strides);
    av_frame_unref(picture);
    if (rotation != 0)
        image = image.transformed(QTransform().rotate(360 - rotation));
    return image;
}

ThumbnailDecoder::ThumbnailDecoder(const QString &path, const std::atomic<bool> *cancel)
    : d(std::make_unique<Impl>())
{
    d->cancel = cancel;
    if (!d->open(path))
        d->videoIndex = -1;
}

ThumbnailDecoder::~ThumbnailDecoder() = default;

bool ThumbnailDecoder::isOpen() const
{
    return d->videoIndex >= 0;
}

double ThumbnailDecoder::displayAspectRatio() const
{
    return d->aspect;
}

void ThumbnailDecoder::releaseDecoder()
{
    if (!d->codec.context)
        return;
    avcodec_free_context(&d->codec.context);
#if defined(__GLIBC__)
    // Its buffers may lie inside the heap, where freeing alone returns nothing.
    malloc_trim(0);
#endif
}

ThumbnailDecoder::Picture ThumbnailDecoder::pictureAt(qint64 sourceMs, int height)
{
    if (!isOpen() || height <= 0)
        return {};
    if (height != d->pictureHeight) {
        d->pictures.clear();
        d->pictureHeight = height;
    }
    // A recovery point too near the end never recovers: the key frame before it, then.
    Picture picture;
    for (int tries = 0; tries < 2 && picture.image.isNull(); ++tries) {
        if (!d->findKeyPacket(qMax<qint64>(0, tries == 0 ? sourceMs : picture.keyframeMs - 1)))
            break;
        const qint64 keyPts = d->packet.packet->pts;
        const qint64 keyframeMs = d->msOf(keyPts);
        if (tries > 0 && keyframeMs >= picture.keyframeMs) {
            av_packet_unref(d->packet.packet);
            break;
        }
        picture.keyframeMs = keyframeMs;
        if (const auto known = d->pictures.constFind(keyframeMs); known != d->pictures.constEnd()) {
            av_packet_unref(d->packet.packet);
            picture.image = *known;
            break;
        }
        bool decoded = d->decodeAlone();
        av_packet_unref(d->packet.packet);
        // Back to the key packet, then on from there.
        if (!decoded && d->returnToKey(keyPts))
            decoded = d->decodeOnwards(keyPts);
        av_packet_unref(d->packet.packet);
        if (decoded)
            picture.image = d->scaled(height);
        if (d->pictures.size() >= kKeptPictures)
            d->pictures.clear();
        if (!picture.image.isNull())
            d->pictures.insert(keyframeMs, picture.image);
    }
    return picture;
}

} // namespace Media
