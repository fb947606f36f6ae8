#include "sourceprobe.h"

#include "childprocess.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <cmath>
#include <numeric>

namespace {

const int probeTimeoutMs = 5000;

double parseRate(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    bool okNum = false;
    const double num = parts.value(0).toDouble(&okNum);
    if (!okNum)
        return 0.0;
    if (parts.size() < 2)
        return num;
    bool okDen = false;
    const double den = parts.at(1).toDouble(&okDen);
    return okDen && den > 0 ? num / den : 0.0;
}

struct Fraction {
    qint64 numerator = 0;
    qint64 denominator = 0;
};

// "30000/1001" in lowest terms; zero when not a positive fraction.
Fraction parseFraction(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    bool okNum = false;
    bool okDen = parts.size() == 2;
    const qint64 num = parts.value(0).toLongLong(&okNum);
    const qint64 den = parts.value(1).toLongLong(&okDen);
    if (!okNum || !okDen || num <= 0 || den <= 0)
        return {};
    const qint64 common = std::gcd(num, den);
    return {num / common, den / common};
}

qint64 secondsToUs(const QJsonValue &value, bool *ok)
{
    const double seconds = value.toString().toDouble(ok);
    return *ok ? qint64(std::llround(seconds * 1e6)) : 0;
}

int normalisedRotation(double degrees)
{
    const int quarter = int(std::lround(degrees / 90.0));
    return ((quarter % 4) + 4) % 4 * 90;
}

// ffprobe writes numbers in JSON for some fields and strings for others.
double numberOf(const QJsonValue &value, bool *ok)
{
    if (value.isDouble()) {
        *ok = true;
        return value.toDouble();
    }
    return value.toString().toDouble(ok);
}

} // namespace

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

QStringList sourceProbeArguments(const QString &path)
{
    return {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
            QStringLiteral("v:0"), QStringLiteral("-show_entries"),
            QStringLiteral("stream=width,height,sample_aspect_ratio,avg_frame_rate,r_frame_rate,start_time,nb_frames,"
                           "duration:"
                           "stream_tags=rotate:"
                           "stream_side_data=rotation:format=duration,start_time"),
            QStringLiteral("-of"), QStringLiteral("json"), path};
}

SourceFacts parseSourceProbe(const QByteArray &json)
{
    SourceFacts facts;
    const QJsonObject root = QJsonDocument::fromJson(json).object();
    const QJsonObject stream = root.value(QStringLiteral("streams")).toArray().at(0).toObject();
    facts.noVideo = root.contains(QStringLiteral("format")) && stream.isEmpty();

    if (stream.contains(QStringLiteral("width")) && stream.contains(QStringLiteral("height"))) {
        facts.width = stream.value(QStringLiteral("width")).toInt();
        facts.height = stream.value(QStringLiteral("height")).toInt();
        facts.sizeKnown = true;
    }
    const QStringList aspect = stream.value(QStringLiteral("sample_aspect_ratio")).toString().split(QLatin1Char(':'));
    if (aspect.size() == 2) {
        const double across = aspect.at(0).toDouble();
        const double down = aspect.at(1).toDouble();
        // Beyond 1:100 either way is damage, not a picture: shown as stored.
        if (across > 0 && down > 0 && across / down >= 0.01 && across / down <= 100)
            facts.pixelAspect = across / down;
    }

    double rate = parseRate(stream.value(QStringLiteral("avg_frame_rate")).toString());
    if (rate <= 0.0)
        rate = parseRate(stream.value(QStringLiteral("r_frame_rate")).toString());
    facts.frameRate = rate;

    const Fraction average = parseFraction(stream.value(QStringLiteral("avg_frame_rate")).toString());
    const Fraction base = parseFraction(stream.value(QStringLiteral("r_frame_rate")).toString());
    if (average.numerator > 0 && average.numerator == base.numerator
        && average.denominator == base.denominator) {
        facts.rateNumerator = average.numerator;
        facts.rateDenominator = average.denominator;
    }

    bool ok = false;
    const QJsonArray sideData = stream.value(QStringLiteral("side_data_list")).toArray();
    for (const QJsonValue &entry : sideData) {
        const QJsonObject object = entry.toObject();
        if (!object.contains(QStringLiteral("rotation")))
            continue;
        const double degrees = numberOf(object.value(QStringLiteral("rotation")), &ok);
        if (ok) {
            facts.rotation = normalisedRotation(degrees);
            break;
        }
    }
    if (!ok) {
        const QJsonValue tag =
            stream.value(QStringLiteral("tags")).toObject().value(QStringLiteral("rotate"));
        const double degrees = numberOf(tag, &ok);
        if (ok)
            facts.rotation = normalisedRotation(degrees);
    }

    const QJsonObject format = root.value(QStringLiteral("format")).toObject();
    const double seconds = numberOf(format.value(QStringLiteral("duration")), &ok);
    if (ok && seconds >= 0.0)
        facts.durationMs = qint64(std::llround(seconds * 1000.0));

    // ffmpeg counts times from the file's start; the video may begin later than that.
    bool streamStartKnown = false;
    bool fileStartKnown = false;
    const qint64 streamStart = secondsToUs(stream.value(QStringLiteral("start_time")), &streamStartKnown);
    const qint64 fileStart = secondsToUs(format.value(QStringLiteral("start_time")), &fileStartKnown);
    if (streamStartKnown && fileStartKnown)
        facts.firstFrameUs = qMax<qint64>(0, streamStart - fileStart);

    const qint64 frames = stream.value(QStringLiteral("nb_frames")).toString().toLongLong(&ok);
    if (ok && frames > 0) {
        facts.frameCount = frames;
    } else if (facts.constantRate()) {
        const double streamSeconds = stream.value(QStringLiteral("duration")).toString().toDouble(&ok);
        if (ok && streamSeconds > 0.0)
            facts.frameCount = std::llround(streamSeconds * double(facts.rateNumerator) / double(facts.rateDenominator));
    }
    return facts;
}

SourceFacts probeSource(const QString &path)
{
    QProcess process;
    startSourceProbe(process, path);
    return finishSourceProbe(process);
}

void startSourceProbe(QProcess &process, const QString &path)
{
    process.start(QStringLiteral("ffprobe"), sourceProbeArguments(path), QIODevice::ReadWrite);
}

SourceFacts finishSourceProbe(QProcess &process)
{
    // The window keeps painting while ffprobe reads the file.
    if (!waitWithoutFreezing([&process] { return process.state() == QProcess::NotRunning; }, probeTimeoutMs)) {
        qWarning() << "Failed to detect video resolution, using default 1920x1080";
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
        return SourceFacts();
    }
    const SourceFacts facts = parseSourceProbe(process.readAllStandardOutput().trimmed());
    if (facts.sizeKnown)
        qDebug() << "Original video resolution:" << facts.width << "x" << facts.height;
    return facts;
}
