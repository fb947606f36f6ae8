#include "thumbnaildecoder.h"
#include "avinput.h"

#include <QFileInfo>
#include <QTransform>

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

    ~Impl() { sws_freeContext(scaler); }
    bool open(const QString &path);
    qint64 msOf(qint64 pts) const;
    bool seekTo(qint64 sourceMs);
    bool readKeyPacket();
    QImage decodeKeyPacket(int height);
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
    const AVStream *stream = format.context->streams[videoIndex];
    if (!Av::openDecoder(codec, stream) || !packet.packet || !frame.frame)
        return false;
    codec.context->skip_frame = AVDISCARD_NONKEY;
    timeBase = stream->time_base;
    startUs = format.context->start_time == AV_NOPTS_VALUE ? 0 : format.context->start_time;
    rotation = Av::rotationOf(stream);
    const AVCodecParameters *par = stream->codecpar;
    if (par->width > 0 && par->height > 0) {
        const AVRational sar = par->sample_aspect_ratio;
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

bool ThumbnailDecoder::Impl::seekTo(qint64 sourceMs)
{
    const qint64 target = av_rescale_q(startUs + sourceMs * 1000, AV_TIME_BASE_Q, timeBase);
    if (av_seek_frame(format.context, videoIndex, target, AVSEEK_FLAG_BACKWARD) >= 0)
        return true;
    // Before the first key frame: that one, then.
    return avformat_seek_file(format.context, videoIndex, INT64_MIN, target, INT64_MAX, 0) >= 0;
}

bool ThumbnailDecoder::Impl::readKeyPacket()
{
    for (;;) {
        if (Av::canceled(cancel) || av_read_frame(format.context, packet.packet) < 0)
            return false;
        if (packet.packet->stream_index == videoIndex && (packet.packet->flags & AV_PKT_FLAG_KEY)
            && packet.packet->pts != AV_NOPTS_VALUE)
            return true;
        av_packet_unref(packet.packet);
    }
}

QImage ThumbnailDecoder::Impl::decodeKeyPacket(int height)
{
    // The packet alone, then drained: a decoder with reordering delay gives its picture
    // only at the end of the stream.
    avcodec_flush_buffers(codec.context);
    const bool sent = avcodec_send_packet(codec.context, packet.packet) >= 0;
    av_packet_unref(packet.packet);
    if (!sent || avcodec_send_packet(codec.context, nullptr) < 0)
        return {};
    const bool decoded = avcodec_receive_frame(codec.context, frame.frame) >= 0;
    if (!decoded)
        return {};
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

ThumbnailDecoder::Picture ThumbnailDecoder::pictureAt(qint64 sourceMs, int height)
{
    if (!isOpen() || height <= 0 || !d->seekTo(qMax<qint64>(0, sourceMs)) || !d->readKeyPacket())
        return {};
    if (height != d->pictureHeight) {
        d->pictures.clear();
        d->pictureHeight = height;
    }
    Picture picture;
    picture.keyframeMs = d->msOf(d->packet.packet->pts);
    if (const auto known = d->pictures.constFind(picture.keyframeMs); known != d->pictures.constEnd()) {
        av_packet_unref(d->packet.packet);
        picture.image = *known;
        return picture;
    }
    picture.image = d->decodeKeyPacket(height);
    if (d->pictures.size() >= kKeptPictures)
        d->pictures.clear();
    if (!picture.image.isNull())
        d->pictures.insert(picture.keyframeMs, picture.image);
    return picture;
}

} // namespace Media
