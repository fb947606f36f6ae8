#include "thumbnaildecoder.h"
#include "avinput.h"

#include <QFileInfo>
#include <QTransform>

#include <iterator>
#include <map>
#include <set>
#include <utility>

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
// Key frames tried, from the one at or before a time back, before it is given up.
constexpr int kMostKeysBack = 4;

} // namespace

struct ThumbnailDecoder::Impl {
    const std::atomic<bool> *cancel = nullptr;
    Av::FormatContext format;
    Av::CodecContext codec;
    Av::Packet packet;
    SwsContext *scaler = nullptr;
    int videoIndex = -1;
    AVRational timeBase{1, 1};
    qint64 startUs = 0;
    int rotation = 0;
    double aspect = 16.0 / 9.0;
    struct Made {
        qint64 endPts; // the next frame's time: the picture stands for every time before it
        QImage image;
    };
    std::map<qint64, Made> pictures; // by frame time, at pictureHeight
    int pictureHeight = 0;
    qint64 keySeek = 0; // where the seek to the last key packet found went
    qint64 lastKeyRead = AV_NOPTS_VALUE;
    qint64 longestKeyGap = 0; // between key packets read one after the other

    // The decode under way, from the key packet at keyPts on.
    bool running = false;
    bool inputEnded = false;
    bool outputEnded = false;
    qint64 keyPts = AV_NOPTS_VALUE;
    qint64 sentLimit = INT64_MIN; // the latest time packets were sent for
    std::set<qint64> sentPts;
    Av::Frame shown; // the last frame out at or before the time asked
    Av::Frame next;  // a frame out after it, kept for the next time
    qint64 shownPts = AV_NOPTS_VALUE;
    qint64 nextPts = AV_NOPTS_VALUE;

    enum class Outcome { Found, Stopped, Failed };

    ~Impl() { sws_freeContext(scaler); }
    bool open(const QString &path);
    qint64 msOf(qint64 pts) const;
    qint64 shownFrom(qint64 pts) const;
    qint64 ptsOf(qint64 sourceMs) const;
    qint64 limitOf(qint64 sourceMs) const;
    bool seekAt(qint64 pts);
    bool readVideoPacket();
    bool readKeyPacket();
    void noteKey(qint64 pts);
    bool returnToKey(qint64 keyPts);
    bool findKeyPacket(qint64 sourceMs);
    bool ensureDecoder();
    bool continuesTo(qint64 limit) const;
    void stopDecoding();
    void startAtKey();
    void sendPacket(qint64 limit);
    Outcome decodeUpTo(qint64 limit, const std::function<bool()> &wanted);
    const std::pair<const qint64, Made> *made(qint64 limit) const;
    const std::pair<const qint64, Made> *madeWithin(qint64 after, qint64 last) const;
    bool keyIndexedBefore(qint64 last) const;
    bool findKeyWithin(qint64 after, qint64 last);
    bool decodeKeyAlone();
    void setHeight(int height);
    void keep(qint64 pts, qint64 endPts, const QImage &image);
    QImage scaled(const AVFrame *picture, int height);
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
    if (!ensureDecoder() || !packet.packet || !shown.frame || !next.frame)
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

// The first whole ms at which the frame is on screen, as limitOf counts.
qint64 ThumbnailDecoder::Impl::shownFrom(qint64 pts) const
{
    qint64 ms = msOf(pts);
    while (limitOf(ms) < pts)
        ++ms;
    while (limitOf(ms - 1) >= pts)
        --ms;
    return ms;
}

qint64 ThumbnailDecoder::Impl::ptsOf(qint64 sourceMs) const
{
    return av_rescale_q(startUs + sourceMs * 1000, AV_TIME_BASE_Q, timeBase);
}

// The latest frame time shown at sourceMs: the player counts a frame from its time cut to
// whole ms, so a frame at 4037.03 ms is the one at 4037.
qint64 ThumbnailDecoder::Impl::limitOf(qint64 sourceMs) const
{
    return ptsOf(sourceMs + 1) - 1;
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
        if ((packet.packet->flags & AV_PKT_FLAG_KEY) && packet.packet->pts != AV_NOPTS_VALUE) {
            noteKey(packet.packet->pts);
            return true;
        }
        av_packet_unref(packet.packet);
    }
    return false;
}

// Files without an index tell how far apart their key frames lie only as they are read.
void ThumbnailDecoder::Impl::noteKey(qint64 pts)
{
    if (lastKeyRead != AV_NOPTS_VALUE && pts > lastKeyRead)
        longestKeyGap = qMax(longestKeyGap, pts - lastKeyRead);
    lastKeyRead = pts;
}

bool ThumbnailDecoder::Impl::returnToKey(qint64 keyPts)
{
    if (!seekAt(keySeek))
        return false;
    lastKeyRead = AV_NOPTS_VALUE;
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
// none follow): then the key frames a little earlier are read through, with the distance
// doubled until one is found. A seek to the same time lands in the same place again
// (returnToKey).
bool ThumbnailDecoder::Impl::findKeyPacket(qint64 sourceMs)
{
    const qint64 target = ptsOf(sourceMs);
    keySeek = target;
    qint64 firstFound = AV_NOPTS_VALUE;
    lastKeyRead = AV_NOPTS_VALUE;
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
        lastKeyRead = AV_NOPTS_VALUE;
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

// Carrying on is worth it while no key frame lies between the place reached and the time
// (the index tells; without one, while the time is nearer than the longest group seen).
bool ThumbnailDecoder::Impl::continuesTo(qint64 limit) const
{
    // Packets sent for a later time skipped frames this one may need.
    if (!running || !codec.context || limit < sentLimit)
        return false;
    if (outputEnded || (nextPts != AV_NOPTS_VALUE && limit < nextPts))
        return true;
    AVStream *stream = format.context->streams[videoIndex];
    if (avformat_index_get_entries_count(stream) > 0) {
        const AVIndexEntry *key = avformat_index_get_entry_from_timestamp(stream, limit, AVSEEK_FLAG_BACKWARD);
        return !key || key->timestamp <= lastKeyRead;
    }
    const qint64 reached = shownPts != AV_NOPTS_VALUE ? shownPts : keyPts;
    return limit - reached <= longestKeyGap;
}

void ThumbnailDecoder::Impl::stopDecoding()
{
    running = false;
    av_frame_unref(shown.frame);
    av_frame_unref(next.frame);
    shownPts = AV_NOPTS_VALUE;
    nextPts = AV_NOPTS_VALUE;
    sentPts.clear();
}

// Starts a decode at the key packet findKeyPacket left.
void ThumbnailDecoder::Impl::startAtKey()
{
    stopDecoding();
    avcodec_flush_buffers(codec.context);
    running = true;
    inputEnded = false;
    outputEnded = false;
    keyPts = packet.packet->pts;
    sentLimit = INT64_MIN;
    sendPacket(keyPts);
}

// A frame nothing refers to is decoded only when it may be the one shown: at or before the
// time and after every other frame sent that is, or after the time (the next time may want it).
void ThumbnailDecoder::Impl::sendPacket(qint64 limit)
{
    AVPacket *sent = packet.packet;
    bool needed = sent->pts == AV_NOPTS_VALUE || sent->pts > limit;
    if (!needed) {
        const auto after = sentPts.upper_bound(limit);
        needed = after == sentPts.begin() || sent->pts > *std::prev(after);
    }
    codec.context->skip_frame = needed ? AVDISCARD_DEFAULT : AVDISCARD_NONREF;
    if (sent->pts != AV_NOPTS_VALUE)
        sentPts.insert(sent->pts);
    // A damaged packet is left out; the decoder carries on with the next.
    avcodec_send_packet(codec.context, sent);
    av_packet_unref(sent);
}

// Feeds packets until the frame shown at `limit` is known: the last one out at or before it,
// once one after it has come out or the stream has ended.
ThumbnailDecoder::Impl::Outcome ThumbnailDecoder::Impl::decodeUpTo(qint64 limit, const std::function<bool()> &wanted)
{
    sentLimit = qMax(sentLimit, limit);
    for (;;) {
        if (nextPts != AV_NOPTS_VALUE) {
            // Before the first frame of a file: that frame.
            const bool first = shownPts == AV_NOPTS_VALUE && keyPts > limit;
            if (nextPts > limit && !first)
                return shownPts != AV_NOPTS_VALUE ? Outcome::Found : Outcome::Failed;
            std::swap(shown.frame, next.frame);
            av_frame_unref(next.frame);
            shownPts = nextPts;
            nextPts = AV_NOPTS_VALUE;
            if (first)
                return Outcome::Found;
            continue;
        }
        if (outputEnded)
            return shownPts != AV_NOPTS_VALUE ? Outcome::Found : Outcome::Failed;
        const int received = avcodec_receive_frame(codec.context, next.frame);
        if (received >= 0) {
            const qint64 pts = next.frame->best_effort_timestamp;
            // Leading pictures of an open group come out first and belong to the one before.
            if (pts != AV_NOPTS_VALUE && pts < keyPts) {
                av_frame_unref(next.frame);
                continue;
            }
            nextPts = pts != AV_NOPTS_VALUE ? pts : (shownPts != AV_NOPTS_VALUE ? shownPts + 1 : keyPts);
            continue;
        }
        if (received == AVERROR_EOF || inputEnded) {
            outputEnded = true;
            continue;
        }
        if (received != AVERROR(EAGAIN))
            return Outcome::Failed;
        if (Av::canceled(cancel) || (wanted && !wanted()))
            return Outcome::Stopped;
        if (!readVideoPacket()) {
            if (Av::canceled(cancel))
                return Outcome::Stopped;
            avcodec_send_packet(codec.context, nullptr);
            inputEnded = true;
            continue;
        }
        if ((packet.packet->flags & AV_PKT_FLAG_KEY) && packet.packet->pts != AV_NOPTS_VALUE)
            noteKey(packet.packet->pts);
        sendPacket(limit);
    }
}

const std::pair<const qint64, ThumbnailDecoder::Impl::Made> *ThumbnailDecoder::Impl::made(qint64 limit) const
{
    auto after = pictures.upper_bound(limit);
    if (after == pictures.begin())
        return nullptr;
    const auto &known = *std::prev(after);
    return limit < known.second.endPts ? &known : nullptr;
}

// A picture whose frame lies in (after, last].
const std::pair<const qint64, ThumbnailDecoder::Impl::Made> *ThumbnailDecoder::Impl::madeWithin(qint64 after, qint64 last) const
{
    const auto found = pictures.upper_bound(after);
    return found != pictures.end() && found->first <= last ? &*found : nullptr;
}

// Whether the index knows a key frame after the last one the decode under way read, up to
// `last` (false without an index).
bool ThumbnailDecoder::Impl::keyIndexedBefore(qint64 last) const
{
    AVStream *stream = format.context->streams[videoIndex];
    if (avformat_index_get_entries_count(stream) <= 0)
        return false;
    const AVIndexEntry *key = avformat_index_get_entry_from_timestamp(stream, last, AVSEEK_FLAG_BACKWARD);
    return key && key->timestamp > lastKeyRead;
}

// Leaves in `packet` a key packet whose time lies in (after, last], when one is found where a
// seek lands (a seek without an index may land past one: not found then).
bool ThumbnailDecoder::Impl::findKeyWithin(qint64 after, qint64 last)
{
    AVStream *stream = format.context->streams[videoIndex];
    qint64 from = after + 1;
    int flags = 0;
    if (avformat_index_get_entries_count(stream) > 0) {
        // The last key frame decoded by the span's end; its time is no earlier (an index may
        // count decoding time).
        const AVIndexEntry *key = avformat_index_get_entry_from_timestamp(stream, last, AVSEEK_FLAG_BACKWARD);
        if (!key)
            return false;
        from = key->timestamp;
        flags = AVSEEK_FLAG_BACKWARD;
    }
    if (av_seek_frame(format.context, videoIndex, from, flags) < 0)
        return false;
    lastKeyRead = AV_NOPTS_VALUE;
    while (readVideoPacket()) {
        const AVPacket *read = packet.packet;
        const bool key = (read->flags & AV_PKT_FLAG_KEY) && read->pts != AV_NOPTS_VALUE;
        if (key && read->pts > after && read->pts <= last)
            return true;
        // Packets come in decoding order: past `last`, or past the key frame aimed at, no
        // later key packet lies inside.
        const bool passed = (key && flags != 0 && read->pts >= from)
            || (read->dts != AV_NOPTS_VALUE ? read->dts : read->pts) > last;
        av_packet_unref(packet.packet);
        if (passed)
            return false;
    }
    return false;
}

// The key packet findKeyWithin left, decoded by itself into `shown`; false when it gives no
// picture alone (a recovery point of intra-refreshed H.264).
bool ThumbnailDecoder::Impl::decodeKeyAlone()
{
    stopDecoding();
    avcodec_flush_buffers(codec.context);
    codec.context->skip_frame = AVDISCARD_DEFAULT;
    const qint64 pts = packet.packet->pts;
    avcodec_send_packet(codec.context, packet.packet);
    av_packet_unref(packet.packet);
    avcodec_send_packet(codec.context, nullptr);
    bool found = false;
    while (avcodec_receive_frame(codec.context, next.frame) >= 0) {
        if (!found && next.frame->best_effort_timestamp == pts) {
            std::swap(shown.frame, next.frame);
            shownPts = pts;
            found = true;
        }
        av_frame_unref(next.frame);
    }
    // Drained: only a flush lets it decode again.
    avcodec_flush_buffers(codec.context);
    return found;
}

void ThumbnailDecoder::Impl::setHeight(int height)
{
    if (height != pictureHeight) {
        pictures.clear();
        pictureHeight = height;
    }
}

void ThumbnailDecoder::Impl::keep(qint64 pts, qint64 endPts, const QImage &image)
{
    if (image.isNull())
        return;
    // A key frame decoded alone knows less of the times it stands for than a decode onwards.
    if (const auto found = pictures.find(pts); found != pictures.end() && found->second.endPts >= endPts)
        return;
    if (pictures.size() >= size_t(kKeptPictures))
        pictures.clear();
    pictures[pts] = Made{endPts, image};
}

QImage ThumbnailDecoder::Impl::scaled(const AVFrame *picture, int height)
{
    const bool turned = rotation == 90 || rotation == 270;
    const int outHeight = qMax(1, turned ? int(std::lround(height * aspect)) : height);
    const int outWidth = qMax(1, turned ? height : int(std::lround(height * aspect)));
    scaler = sws_getCachedContext(scaler, picture->width, picture->height, AVPixelFormat(picture->format),
                                  outWidth, outHeight, AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
    QImage image(outWidth, outHeight, QImage::Format_RGB32);
    if (!scaler || image.isNull())
        return {};
    // Unspecified: BT.709 above 576 lines, BT.601 below, as the player's conversion does.
    const bool bt709 = picture->colorspace == AVCOL_SPC_BT709
        || (picture->colorspace == AVCOL_SPC_UNSPECIFIED && picture->height > 576);
    const int *coefficients = sws_getCoefficients(bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
    sws_setColorspaceDetails(scaler, coefficients, picture->color_range == AVCOL_RANGE_JPEG ? 1 : 0,
                             coefficients, 1, 0, 1 << 16, 1 << 16);
    uint8_t *planes[4] = {image.bits(), nullptr, nullptr, nullptr};
    const int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
    sws_scale(scaler, picture->data, picture->linesize, 0, picture->height, planes, strides);
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

bool ThumbnailDecoder::continuesTo(qint64 sourceMs) const
{
    return isOpen() && d->continuesTo(d->limitOf(qMax<qint64>(0, sourceMs)));
}

void ThumbnailDecoder::releaseDecoder()
{
    if (!d->codec.context)
        return;
    d->stopDecoding();
    avcodec_free_context(&d->codec.context);
#if defined(__GLIBC__)
    // Its buffers may lie inside the heap, where freeing alone returns nothing.
    malloc_trim(0);
#endif
}

ThumbnailDecoder::Picture ThumbnailDecoder::pictureAt(qint64 sourceMs, int height, const std::function<bool()> &wanted)
{
    if (!isOpen() || height <= 0)
        return {};
    d->setHeight(height);
    const qint64 time = qMax<qint64>(0, sourceMs);
    const qint64 limit = d->limitOf(time);
    if (const auto *known = d->made(limit))
        return {d->shownFrom(known->first), known->second.image, true};
    if (!d->ensureDecoder())
        return {};
    // A recovery point decoded from too near gives nothing yet: the key frames before it, then
    // (an intra refresh may take longer than the distance between two).
    qint64 from = time;
    for (int tries = 0; tries < kMostKeysBack; ++tries) {
        if (tries > 0 || !d->continuesTo(limit)) {
            if (!d->findKeyPacket(from))
                break;
            if (tries > 0 && d->packet.packet->pts >= d->keyPts) {
                av_packet_unref(d->packet.packet);
                break;
            }
            d->startAtKey();
        }
        const Impl::Outcome outcome = d->decodeUpTo(limit, wanted);
        if (outcome == Impl::Outcome::Stopped)
            return {};
        if (outcome == Impl::Outcome::Found) {
            const qint64 endPts = d->nextPts != AV_NOPTS_VALUE ? d->nextPts
                : d->outputEnded                               ? INT64_MAX
                                                               : d->shownPts + 1;
            Picture picture{d->shownFrom(d->shownPts), d->scaled(d->shown.frame, height), true};
            d->keep(d->shownPts, endPts, picture.image);
            // Times sent before the frame shown no longer decide what is decoded.
            d->sentPts.erase(d->sentPts.begin(), d->sentPts.lower_bound(d->shownPts));
            return picture;
        }
        d->stopDecoding();
        from = d->msOf(d->keyPts) - 1;
        if (from < 0)
            break;
    }
    d->stopDecoding();
    return {};
}

ThumbnailDecoder::Picture ThumbnailDecoder::pictureDuring(qint64 sourceMs, qint64 spanMs, int height,
                                                           const std::function<bool()> &wanted)
{
    if (!isOpen() || height <= 0)
        return {};
    if (spanMs <= 1)
        return pictureAt(sourceMs, height, wanted);
    d->setHeight(height);
    const qint64 time = qMax<qint64>(0, sourceMs);
    const qint64 limit = d->limitOf(time);
    if (const auto *known = d->made(limit))
        return {d->shownFrom(known->first), known->second.image, true};
    const qint64 before = d->limitOf(time - 1);
    const qint64 last = d->limitOf(time + spanMs - 1);
    if (const auto *known = d->madeWithin(before, last))
        return {d->shownFrom(known->first), known->second.image, known->first <= limit};
    if (!d->ensureDecoder())
        return {};
    // Without an index, a decode that may carry on to the time does (one pass per group);
    // otherwise one packet instead of up to a group of pictures.
    if (!d->continuesTo(limit) || d->keyIndexedBefore(last)) {
        if (d->findKeyWithin(before, last) && d->decodeKeyAlone()) {
            const qint64 pts = d->shownPts;
            Picture picture{d->shownFrom(pts), d->scaled(d->shown.frame, height), pts <= limit};
            d->stopDecoding();
            // Only its own time is known to show it: the frame after it is unknown.
            d->keep(pts, pts + 1, picture.image);
            return picture;
        }
        // The reader has moved: a decode under way cannot carry on.
        d->stopDecoding();
    }
    return pictureAt(time, height, wanted);
}

} // namespace Media
