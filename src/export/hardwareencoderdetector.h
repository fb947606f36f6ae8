#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

// Asks ffmpeg which H.264/HEVC encoders it offers and answers, from that list,
// which one the export uses and with which preset and rate-control arguments.
class HardwareEncoderDetector {
public:
    explicit HardwareEncoderDetector(const QString &ffmpegPath);

    // Creates the program's detector, probes and logs what it found.
    static std::unique_ptr<HardwareEncoderDetector> probeAtStartup(const QString &ffmpegPath);

    bool detectEncoders();
    void parseEncoderList(const QString &listing);

    QString getBestH264Encoder() const;
    QString getHardwareDescription() const;
    static QString getEncoderPreset(const QString &encoder, const QString &speedMode);
    static QStringList getQualityParameters(const QString &encoder, const QString &qualityMode);

    const QStringList &availableEncoders() const { return encoders; }
    bool isDetected() const { return detected; }
    bool hasEncoder(const QString &name) const { return encoders.contains(name); }

    // Distributions list hardware encoders whether or not the machine has the
    // hardware; only those for which `works` answers true stay in the list.
    void keepUsableEncoders(const std::function<bool(const QString &)> &works);
    static QStringList hardwareH264Encoders();
    static QStringList testEncodeArguments(const QString &encoder);
    // A tiny encode with the encoder, bounded to a few seconds.
    static bool testEncoder(const QString &ffmpegPath, const QString &encoder);

private:
    QString ffmpegPath;
    QStringList encoders;
    bool detected = false;
};
