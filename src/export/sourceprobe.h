#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>

class QProcess;

// What the export needs to know about the source video, from ffprobe.
struct SourceFacts {
    int width = 1920;          // coded size, before any display rotation
    int height = 1080;
    int rotation = 0;          // display rotation in degrees: 0, 90, 180 or 270
    qint64 durationMs = -1;    // unknown when negative
    double frameRate = 0.0;    // unknown when not positive
    bool sizeKnown = false;
    // The rate as an exact fraction, only for a constant-rate stream (ffprobe's average and
    // base rates agree); zero otherwise, and the export then cuts at the parts' own times.
    qint64 rateNumerator = 0;
    qint64 rateDenominator = 0;
    qint64 firstFrameUs = 0;   // the video's first timestamp after the file's start time
    qint64 frameCount = -1;    // frames in the video stream; unknown when negative
    double pixelAspect = 1.0;  // how much wider than high a stored pixel is shown; 1 when unknown
    bool noVideo = false;      // ffprobe read the file and found no video stream in it

    bool constantRate() const { return rateNumerator > 0 && rateDenominator > 0; }

    // The frame size ffmpeg decodes to: it applies the display rotation.
    QSize displaySize() const;
    // The shape the picture is shown in, in square pixels (even sides): displaySize() with the
    // stored pixels' aspect applied.
    QSize shownSize() const;
    // Length of one frame; 25 fps is assumed when the rate is unknown.
    double frameDurationMs() const;
};

QStringList sourceProbeArguments(const QString &path);
// Reads ffprobe's JSON answer; fields it lacks keep their defaults.
SourceFacts parseSourceProbe(const QByteArray &json);
// Runs "ffprobe" (bare name) for up to 5 s; the defaults when it fails.
SourceFacts probeSource(const QString &path);
// The same in two steps, so other work can run while ffprobe does.
void startSourceProbe(QProcess &process, const QString &path);
SourceFacts finishSourceProbe(QProcess &process);
