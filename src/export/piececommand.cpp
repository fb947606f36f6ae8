#include "piececommand.h"

#include "libav.h"
#include "nalunits.h"

#include <QLocale>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

#include <cmath>

namespace PieceCommand {

TRIMLET_USE_LIBAV

namespace {

QString number(double value)
{
    return QString::number(value, 'f', 6);
}

QString x264Profile(int profile)
{
    switch (profile & ~FF_PROFILE_H264_CONSTRAINED) {
    case FF_PROFILE_H264_BASELINE:
        return QStringLiteral("baseline");
    case FF_PROFILE_H264_MAIN:
    case FF_PROFILE_H264_EXTENDED:
        return QStringLiteral("main");
    case FF_PROFILE_H264_HIGH:
        return QStringLiteral("high");
    case FF_PROFILE_H264_HIGH_10:
        return QStringLiteral("high10");
    case FF_PROFILE_H264_HIGH_422:
        return QStringLiteral("high422");
    case FF_PROFILE_H264_HIGH_444_PREDICTIVE:
        return QStringLiteral("high444");
    default:
        return QString();
    }
}

QString x265Profile(int profile, const QString &pixelFormat)
{
    if (profile == FF_PROFILE_HEVC_MAIN_10 || pixelFormat.contains(QLatin1String("10")))
        return QStringLiteral("main10");
    if (profile == FF_PROFILE_HEVC_MAIN || profile == FF_PROFILE_HEVC_MAIN_STILL_PICTURE)
        return QStringLiteral("main");
    return QString();
}

QStringList colourArguments(const Media::VideoStream &stream)
{
    QStringList args;
    if (stream.colorRange > AVCOL_RANGE_UNSPECIFIED && stream.colorRange < AVCOL_RANGE_NB)
        args << QStringLiteral("-color_range") << QString::fromLatin1(av_color_range_name(AVColorRange(stream.colorRange)));
    if (stream.colorPrimaries != AVCOL_PRI_UNSPECIFIED) {
        if (const char *name = av_color_primaries_name(AVColorPrimaries(stream.colorPrimaries)))
            args << QStringLiteral("-color_primaries") << QString::fromLatin1(name);
    }
    if (stream.colorTransfer != AVCOL_TRC_UNSPECIFIED) {
        if (const char *name = av_color_transfer_name(AVColorTransferCharacteristic(stream.colorTransfer)))
            args << QStringLiteral("-color_trc") << QString::fromLatin1(name);
    }
    if (stream.colorSpace != AVCOL_SPC_UNSPECIFIED) {
        if (const char *name = av_color_space_name(AVColorSpace(stream.colorSpace)))
            args << QStringLiteral("-colorspace") << QString::fromLatin1(name);
    }
    return args;
}

// Exp-Golomb reader over a NAL unit's payload (emulation bytes are rare this early
// in a parameter set and are skipped).
class BitReader {
public:
    explicit BitReader(const QByteArray &bytes) : data(bytes) {}
    int bit()
    {
        if (position >= data.size() * 8)
            return -1;
        const int byteIndex = int(position / 8);
        if (byteIndex >= 2 && position % 8 == 0 && uchar(data[byteIndex]) == 3 && data[byteIndex - 1] == 0
            && data[byteIndex - 2] == 0)
            position += 8;
        if (position >= data.size() * 8)
            return -1;
        const int value = (uchar(data[int(position / 8)]) >> (7 - position % 8)) & 1;
        ++position;
        return value;
    }
    void skip(int bits) { position += bits; }
    int unsignedGolomb()
    {
        int zeros = 0;
        int b;
        while ((b = bit()) == 0 && zeros < 31)
            ++zeros;
        if (b < 0)
            return -1;
        int value = 0;
        for (int i = 0; i < zeros; ++i) {
            const int next = bit();
            if (next < 0)
                return -1;
            value = (value << 1) | next;
        }
        return (1 << zeros) - 1 + value;
    }

private:
    QByteArray data;
    qint64 position = 0;
};

} // namespace

double seekSeconds(const PieceRequest &request)
{
    const Media::Rational tb = request.stream.timeBase;
    const double first = double(request.firstPts - request.zeroPts) * tb.num / tb.den;
    return qMax(0.0, first - 1.0);
}

QList<int> h264ParameterSetIds(const QByteArray &extradata)
{
    QList<int> ids;
    if (extradata.isEmpty() || extradata[0] != 1)
        return ids;
    const Media::ParameterSetScanner scanner(Media::NalCodec::H264, extradata);
    for (const QByteArray &set : scanner.parameterSets()) {
        const int type = uchar(set[0]) & 0x1f;
        if (set.size() < 2 || (type != 7 && type != 8))
            continue;
        BitReader reader(set.mid(1));
        if (type == 7)
            reader.skip(24); // profile, constraint flags, level
        // A PPS names its own id, then the SPS it refers to.
        for (int field = 0; field < (type == 8 ? 2 : 1); ++field) {
            const int id = reader.unsignedGolomb();
            if (id >= 0 && !ids.contains(id))
                ids.append(id);
        }
    }
    return ids;
}

int unusedParameterSetId(const QByteArray &extradata)
{
    const QList<int> used = h264ParameterSetIds(extradata);
    for (int id = 1; id < 32; ++id) {
        if (!used.contains(id))
            return id;
    }
    return 0;
}

QStringList encoderArguments(const Media::VideoStream &stream, int parameterSetId, int crf)
{
    QStringList args;
    const bool hevc = stream.codecName == QLatin1String("hevc");
    if (hevc) {
        args << QStringLiteral("-c:v") << QStringLiteral("libx265") << QStringLiteral("-preset")
             << QStringLiteral("fast") << QStringLiteral("-crf") << QString::number(crf);
        const QString profile = x265Profile(stream.profile, stream.pixelFormat);
        if (!profile.isEmpty())
            args << QStringLiteral("-profile:v") << profile;
        QStringList params{QStringLiteral("log-level=error"), QStringLiteral("bframes=0"),
                           QStringLiteral("repeat-headers=1"), QStringLiteral("open-gop=0")};
        if (stream.level > 0)
            params << QStringLiteral("level-idc=%1").arg(QString::number(stream.level / 30.0, 'f', 1));
        args << QStringLiteral("-x265-params") << params.join(QLatin1Char(':'));
    } else {
        args << QStringLiteral("-c:v") << QStringLiteral("libx264") << QStringLiteral("-preset")
             << QStringLiteral("veryfast") << QStringLiteral("-crf") << QString::number(crf)
             << QStringLiteral("-bf") << QStringLiteral("0");
        const QString profile = x264Profile(stream.profile);
        if (!profile.isEmpty())
            args << QStringLiteral("-profile:v") << profile;
        QStringList params{QStringLiteral("sps-id=%1").arg(parameterSetId)};
        if (stream.level > 0)
            params << QStringLiteral("level=%1").arg(QString::number(stream.level / 10.0, 'f', 1));
        args << QStringLiteral("-x264-params") << params.join(QLatin1Char(':'));
    }
    if (!stream.pixelFormat.isEmpty())
        args << QStringLiteral("-pix_fmt") << stream.pixelFormat;
    args << colourArguments(stream);
    return args;
}

QStringList arguments(const PieceRequest &request)
{
    const Media::VideoStream &stream = request.stream;
    QStringList args{QStringLiteral("-nostdin"), QStringLiteral("-y"), QStringLiteral("-v"),
                     QStringLiteral("error"), QStringLiteral("-stats"), QStringLiteral("-noautorotate"),
                     QStringLiteral("-copyts"), QStringLiteral("-noaccurate_seek"), QStringLiteral("-ss"),
                     number(seekSeconds(request)), QStringLiteral("-i"), request.sourcePath};
    const bool withTitle = !request.titleImage.isEmpty();
    if (withTitle) {
        args << QStringLiteral("-loop") << QStringLiteral("1") << QStringLiteral("-t")
             << number(request.partSeconds + 1.0) << QStringLiteral("-f") << QStringLiteral("image2")
             << QStringLiteral("-pattern_type") << QStringLiteral("none") << QStringLiteral("-i")
             << request.titleImage;
    }

    // Frames are picked by their own timestamps, so the piece holds exactly them.
    QStringList chain{QStringLiteral("select='gte(pts,%1)*lt(pts,%2)'").arg(request.firstPts).arg(request.endPts),
                      QStringLiteral("setpts=PTS-STARTPTS")};
    chain << request.filters;
    QStringList tail;
    if (request.fitToSourceSize) {
        const QString w = QString::number(stream.width);
        const QString h = QString::number(stream.height);
        tail << QStringLiteral("scale=%1:%2:force_original_aspect_ratio=decrease,pad=%1:%2:(%1-iw)/2:(%2-ih)/2")
                    .arg(w, h);
    }
    if (stream.sampleAspectRatio.valid())
        tail << QStringLiteral("setsar=%1/%2").arg(stream.sampleAspectRatio.num).arg(stream.sampleAspectRatio.den);
    else if (request.fitToSourceSize)
        tail << QStringLiteral("setsar=1");

    QString graph;
    if (withTitle) {
        graph = QStringLiteral("[0:v]%1[base];[1:v]setpts=N/(FR*TB)[ovr];[base][ovr]overlay=0:0:enable='lte(t,%2)':shortest=1")
                    .arg(chain.join(QLatin1Char(',')), QString::number(request.titleSeconds, 'f', 3));
        if (!tail.isEmpty())
            graph += QLatin1Char(',') + tail.join(QLatin1Char(','));
    } else {
        graph = QStringLiteral("[0:v]") + (chain + tail).join(QLatin1Char(','));
    }
    graph += QStringLiteral("[out]");
    args << QStringLiteral("-filter_complex") << graph << QStringLiteral("-map") << QStringLiteral("[out]")
         << QStringLiteral("-an") << QStringLiteral("-sn") << QStringLiteral("-dn")
         << QStringLiteral("-fps_mode") << QStringLiteral("passthrough");
    // Without a count ffmpeg would read on to the end of the file after the last frame.
    if (request.frameCount > 0)
        args << QStringLiteral("-frames:v") << QString::number(request.frameCount);
    args << encoderArguments(stream, request.parameterSetId, request.crf);
    args << QStringLiteral("-f") << (stream.codecName == QLatin1String("hevc") ? QStringLiteral("hevc")
                                                                               : QStringLiteral("h264"))
         << request.outputPath;
    return args;
}

} // namespace PieceCommand
