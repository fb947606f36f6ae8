#include "sourcefacts.h"

#include "avinput.h"

#include <QFileInfo>

#include <cmath>
#include <numeric>

QSize SourceFacts::displaySize() const
{
    return rotation == 90 || rotation == 270 ? QSize(height, width) : QSize(width, height);
}

QSize SourceFacts::shownSize() const
{
    const QSize size = displaySize();
    if (pixelAspect == 1.0)
        return size;
    const auto even = [](double length) { return qMax(2, qRound(length / 2) * 2); };
    // The stored width is stretched; turned a quarter, that is the height.
    return rotation == 90 || rotation == 270 ? QSize(size.width(), even(size.height() * pixelAspect))
                                             : QSize(even(size.width() * pixelAspect), size.height());
}

double SourceFacts::frameDurationMs() const
{
    return 1000.0 / (frameRate > 0.0 ? frameRate : 25.0);
}

namespace Media {

namespace {

struct Fraction {
    qint64 numerator = 0;
    qint64 denominator = 0;
};

// In lowest terms; zero when not a positive fraction.
Fraction reduced(qint64 num, qint64 den)
{
    if (num <= 0 || den <= 0)
        return {};
    const qint64 common = std::gcd(num, den);
    return {num / common, den / common};
}

double rateOf(int num, int den)
{
    return num > 0 && den > 0 ? double(num) / den : 0.0;
}

std::optional<qint64> microseconds(int64_t value, AVRational base)
{
    if (value == AV_NOPTS_VALUE)
        return std::nullopt;
    return av_rescale_q(value, base, AVRational{1, 1000000});
}

} // namespace

SourceFacts factsFromHeader(const StreamHeader &header)
{
    SourceFacts facts;
    facts.hasAudio = header.hasAudio;
    facts.noVideo = header.readable && !header.hasVideo;
    if (header.fileDurationUs >= 0)
        facts.durationMs = (header.fileDurationUs + 500) / 1000;
    if (!header.hasVideo)
        return facts;

    if (header.width > 0 && header.height > 0) {
        facts.width = header.width;
        facts.height = header.height;
        facts.sizeKnown = true;
    }
    facts.rotation = header.rotation;
    if (header.sampleAspectNum > 0 && header.sampleAspectDen > 0) {
        const double aspect = double(header.sampleAspectNum) / header.sampleAspectDen;
        // Beyond 1:100 either way is damage, not a picture: shown as stored.
        if (aspect >= 0.01 && aspect <= 100)
            facts.pixelAspect = aspect;
    }

    const double average = rateOf(header.averageRateNum, header.averageRateDen);
    facts.frameRate = average > 0.0 ? average : rateOf(header.baseRateNum, header.baseRateDen);
    const Fraction averageFraction = reduced(header.averageRateNum, header.averageRateDen);
    const Fraction baseFraction = reduced(header.baseRateNum, header.baseRateDen);
    if (averageFraction.numerator > 0 && averageFraction.numerator == baseFraction.numerator
        && averageFraction.denominator == baseFraction.denominator) {
        facts.rateNumerator = averageFraction.numerator;
        facts.rateDenominator = averageFraction.denominator;
    }

    // ffmpeg counts times from the file's start; the video may begin later than that.
    if (header.streamStartUs && header.fileStartUs)
        facts.firstFrameUs = qMax<qint64>(0, *header.streamStartUs - *header.fileStartUs);

    if (header.statedFrames > 0) {
        facts.frameCount = header.statedFrames;
    } else if (facts.constantRate() && header.streamDurationUs && *header.streamDurationUs > 0) {
        facts.frameCount = std::llround(double(*header.streamDurationUs) / 1e6 * double(facts.rateNumerator)
                                        / double(facts.rateDenominator));
    }
    return facts;
}

StreamHeader readStreamHeader(const QString &path, const std::atomic<bool> *cancel)
{
    StreamHeader header;
    const QFileInfo info(path);
    if (!info.isFile() || Av::canceled(cancel))
        return header;
    Av::FormatContext format;
    if (!Av::openInput(format, info.absoluteFilePath(), cancel))
        return header;
    // Rates and, for streams without a global header (MPEG-TS), the size come from reading.
    if (avformat_find_stream_info(format.context, nullptr) < 0 || Av::canceled(cancel))
        return header;
    AVFormatContext *context = format.context;
    header.readable = true;
    if (context->duration != AV_NOPTS_VALUE && context->duration >= 0)
        header.fileDurationUs = context->duration;
    if (context->start_time != AV_NOPTS_VALUE)
        header.fileStartUs = context->start_time;

    const int audioIndex = Av::pickAudioStream(context);
    header.hasAudio = audioIndex >= 0 && context->streams[audioIndex]->codecpar->codec_id != AV_CODEC_ID_NONE;

    const int videoIndex = Av::pickVideoStream(context);
    if (videoIndex < 0)
        return header;
    AVStream *stream = context->streams[videoIndex];
    header.hasVideo = true;
    header.width = stream->codecpar->width;
    header.height = stream->codecpar->height;
    const AVRational aspect = av_guess_sample_aspect_ratio(context, stream, nullptr);
    header.sampleAspectNum = aspect.num;
    header.sampleAspectDen = aspect.den;
    header.averageRateNum = stream->avg_frame_rate.num;
    header.averageRateDen = stream->avg_frame_rate.den;
    header.baseRateNum = stream->r_frame_rate.num;
    header.baseRateDen = stream->r_frame_rate.den;
    header.rotation = Av::rotationOf(stream);
    header.streamStartUs = microseconds(stream->start_time, stream->time_base);
    header.statedFrames = qMax<int64_t>(0, stream->nb_frames);
    header.streamDurationUs = microseconds(stream->duration, stream->time_base);
    return header;
}

} // namespace Media
