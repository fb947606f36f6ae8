#include "hardwareencoderdetector.h"

#include "exportlog.h"

#include <QProcess>
#include <QRegularExpression>

namespace {

const int probeTimeoutMs = 5000;
const int testEncodeTimeoutMs = 4000;

enum class Family { Nvenc, Qsv, Amf, X26x, None };

Family familyOf(const QString &encoder)
{
    if (encoder.contains(QLatin1String("nvenc")))
        return Family::Nvenc;
    if (encoder.contains(QLatin1String("qsv")))
        return Family::Qsv;
    if (encoder.contains(QLatin1String("amf")))
        return Family::Amf;
    if (encoder.contains(QLatin1String("libx264")) || encoder.contains(QLatin1String("libx265")))
        return Family::X26x;
    return Family::None;
}

} // namespace

HardwareEncoderDetector::HardwareEncoderDetector(const QString &ffmpegPath)
    : ffmpegPath(ffmpegPath)
{
}

std::unique_ptr<HardwareEncoderDetector> HardwareEncoderDetector::probeAtStartup(const QString &ffmpegPath)
{
    qCDebug(exportLog) << "=== Phase 5: Initializing Hardware Encoder Detection ===";
    auto detector = std::make_unique<HardwareEncoderDetector>(ffmpegPath);
    if (detector->detectEncoders()) {
        qCDebug(exportLog) << "✓ Hardware acceleration:" << detector->getHardwareDescription();
        qCDebug(exportLog) << "✓ Best H.264 encoder:" << detector->getBestH264Encoder();
        if (detector->hasEncoder(QStringLiteral("h264_nvenc")))
            qCDebug(exportLog) << "  → NVIDIA NVENC available (2-5x faster exports)";
        if (detector->hasEncoder(QStringLiteral("h264_qsv")))
            qCDebug(exportLog) << "  → Intel Quick Sync available (2-4x faster exports)";
        if (detector->hasEncoder(QStringLiteral("h264_amf")))
            qCDebug(exportLog) << "  → AMD AMF available (2-4x faster exports)";
        if (detector->getBestH264Encoder() == QLatin1String("libx264"))
            qCDebug(exportLog) << "  → Using CPU encoding (libx264"
                     << getEncoderPreset(QStringLiteral("libx264"), QStringLiteral("balanced")) << "preset)";
    } else {
        qCWarning(exportLog) << "✗ Failed to detect hardware encoders - will use CPU fallback";
    }
    qCDebug(exportLog) << "========================================================";
    return detector;
}

bool HardwareEncoderDetector::detectEncoders()
{
    if (detected)
        return true;

    qCDebug(exportLog) << "HardwareEncoderDetector: Probing FFmpeg for available encoders...";
    qCDebug(exportLog) << "FFmpeg path:" << ffmpegPath;

    QProcess process;
    process.start(ffmpegPath, {QStringLiteral("-hide_banner"), QStringLiteral("-encoders")},
                  QIODevice::ReadWrite);
    if (!process.waitForFinished(probeTimeoutMs)) {
        qCWarning(exportLog) << "HardwareEncoderDetector: FFmpeg timeout or not found";
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
        return false;
    }
    if (process.exitCode() != 0) {
        qCWarning(exportLog) << "HardwareEncoderDetector: FFmpeg error:" << process.readAllStandardError();
        return false;
    }

    parseEncoderList(QString::fromUtf8(process.readAllStandardOutput()));
    const QString path = ffmpegPath;
    keepUsableEncoders([&path](const QString &encoder) { return testEncoder(path, encoder); });
    detected = true;

    qCDebug(exportLog) << "=== Hardware Encoder Detection Results ===";
    qCDebug(exportLog) << "NVENC (NVIDIA):" << hasEncoder(QStringLiteral("h264_nvenc"));
    qCDebug(exportLog) << "QSV (Intel):" << hasEncoder(QStringLiteral("h264_qsv"));
    qCDebug(exportLog) << "AMF (AMD):" << hasEncoder(QStringLiteral("h264_amf"));
    qCDebug(exportLog) << "Hardware description:" << getHardwareDescription();
    qCDebug(exportLog) << "Best H.264 encoder:" << getBestH264Encoder();
    qCDebug(exportLog) << "=========================================";
    return true;
}

void HardwareEncoderDetector::parseEncoderList(const QString &listing)
{
    encoders.clear();
    static const QRegularExpression row(QStringLiteral("V[\\w.]{5}\\s+(\\w+)\\s+"));
    auto matches = row.globalMatch(listing);
    while (matches.hasNext()) {
        const QString name = matches.next().captured(1);
        if (name.contains(QLatin1String("h264")) || name.contains(QLatin1String("hevc"))
            || name.contains(QLatin1String("264")) || name.contains(QLatin1String("265"))) {
            encoders.append(name);
            qCDebug(exportLog) << "Found encoder:" << name;
        }
    }
}

QString HardwareEncoderDetector::getBestH264Encoder() const
{
    for (const QString &name : hardwareH264Encoders()) {
        if (hasEncoder(name))
            return name;
    }
    return QStringLiteral("libx264");
}

QString HardwareEncoderDetector::getHardwareDescription() const
{
    if (hasEncoder(QStringLiteral("h264_nvenc")))
        return QStringLiteral("NVIDIA GPU (NVENC) - Hardware Accelerated");
    if (hasEncoder(QStringLiteral("h264_qsv")))
        return QStringLiteral("Intel GPU (Quick Sync Video) - Hardware Accelerated");
    if (hasEncoder(QStringLiteral("h264_amf")))
        return QStringLiteral("AMD GPU (VCE/AMF) - Hardware Accelerated");
    return QStringLiteral("CPU only (no hardware acceleration detected)");
}

QString HardwareEncoderDetector::getEncoderPreset(const QString &encoder, const QString &speedMode)
{
    struct Presets {
        const char *fast;
        const char *balanced;
        const char *quality;
        const char *other;
    };
    Presets presets{nullptr, nullptr, nullptr, nullptr};
    switch (familyOf(encoder)) {
    case Family::Nvenc:
        presets = {"p1", "p4", "p7", "p4"};
        break;
    case Family::Qsv:
        presets = {"veryfast", "balanced", "veryslow", "balanced"};
        break;
    case Family::Amf:
        presets = {"speed", "balanced", "quality", "balanced"};
        break;
    case Family::X26x:
        presets = {"ultrafast", "medium", "slow", "ultrafast"};
        break;
    case Family::None:
        return QString();
    }
    if (speedMode == QLatin1String("fast"))
        return QString::fromLatin1(presets.fast);
    if (speedMode == QLatin1String("balanced"))
        return QString::fromLatin1(presets.balanced);
    if (speedMode == QLatin1String("quality"))
        return QString::fromLatin1(presets.quality);
    return QString::fromLatin1(presets.other);
}

QStringList HardwareEncoderDetector::getQualityParameters(const QString &encoder,
                                                          const QString &qualityMode)
{
    int q = 23;
    if (qualityMode == QLatin1String("draft"))
        q = 28;
    else if (qualityMode == QLatin1String("high"))
        q = 18;
    const QString value = QString::number(q);

    if (encoder.contains(QLatin1String("nvenc")))
        return {QStringLiteral("-cq"), value, QStringLiteral("-rc"), QStringLiteral("vbr"),
                QStringLiteral("-b:v"), QStringLiteral("0")};
    if (encoder.contains(QLatin1String("qsv")))
        return {QStringLiteral("-global_quality"), value};
    if (encoder.contains(QLatin1String("amf")))
        return {QStringLiteral("-rc"), QStringLiteral("cqp"), QStringLiteral("-qp_i"), value,
                QStringLiteral("-qp_p"), value};
    return {QStringLiteral("-crf"), value};
}

void HardwareEncoderDetector::keepUsableEncoders(const std::function<bool(const QString &)> &works)
{
    for (const QString &name : hardwareH264Encoders()) {
        if (!encoders.contains(name) || works(name))
            continue;
        qCDebug(exportLog).noquote() << "HardwareEncoderDetector:" << name
                           << "is listed but a test encode failed - not used";
        encoders.removeAll(name);
    }
}

QStringList HardwareEncoderDetector::hardwareH264Encoders()
{
    return {QStringLiteral("h264_nvenc"), QStringLiteral("h264_qsv"), QStringLiteral("h264_amf")};
}

QStringList HardwareEncoderDetector::testEncodeArguments(const QString &encoder)
{
    return {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-hide_banner"),
            QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
            QStringLiteral("testsrc2=s=320x240:d=0.2"), QStringLiteral("-c:v"), encoder,
            QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")};
}

bool HardwareEncoderDetector::testEncoder(const QString &ffmpegPath, const QString &encoder)
{
    QProcess process;
    process.start(ffmpegPath, testEncodeArguments(encoder), QIODevice::ReadWrite);
    if (!process.waitForFinished(testEncodeTimeoutMs)) {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
