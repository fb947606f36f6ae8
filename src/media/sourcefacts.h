#pragma once

#include <QSize>
#include <QString>

#include <atomic>
#include <optional>

// What the export needs to know about the source video, read from the file's header.
struct SourceFacts {
    int width = 1920;          // coded size, before any display rotation
    int height = 1080;
    int rotation = 0;          // display rotation in degrees: 0, 90, 180 or 270
    qint64 durationMs = -1;    // unknown when negative
    double frameRate = 0.0;    // unknown when not positive
    bool sizeKnown = false;
    // The rate as an exact fraction, only for a constant-rate stream (the container's average
    // and base rates agree); zero otherwise, and the export then cuts at the parts' own times.
    qint64 rateNumerator = 0;
    qint64 rateDenominator = 0;
    qint64 firstFrameUs = 0;   // the video's first timestamp after the file's start time
    qint64 frameCount = -1;    // frames in the video stream; unknown when negative
    double pixelAspect = 1.0;  // how much wider than high a stored pixel is shown; 1 when unknown
    bool hasAudio = false;     // an audio stream with a known codec
    bool noVideo = false;      // the file was read and holds no video stream

    bool constantRate() const { return rateNumerator > 0 && rateDenominator > 0; }

    // The frame size ffmpeg decodes to: it applies the display rotation.
    QSize displaySize() const;
    // The shape the picture is shown in, in square pixels (even sides): displaySize() with the
    // stored pixels' aspect applied.
    QSize shownSize() const;
    // Length of one frame; 25 fps is assumed when the rate is unknown.
    double frameDurationMs() const;
};

namespace Media {

// The header's own words, as libavformat gives them after reading the stream info.
struct StreamHeader {
    bool readable = false;       // libavformat opened the file and read its stream info
    bool hasVideo = false;
    int width = 0;
    int height = 0;
    int sampleAspectNum = 0;     // 0 when unknown
    int sampleAspectDen = 0;
    int averageRateNum = 0;      // 0 when unknown
    int averageRateDen = 0;
    int baseRateNum = 0;
    int baseRateDen = 0;
    int rotation = 0;            // 0, 90, 180 or 270
    qint64 fileDurationUs = -1;  // unknown when negative
    std::optional<qint64> streamStartUs;
    std::optional<qint64> fileStartUs;
    qint64 statedFrames = 0;     // the container's frame count; 0 when it states none
    std::optional<qint64> streamDurationUs;
    bool hasAudio = false;
};

// The export's facts from the header: the rate grid only for a constant rate, the frame count
// from the duration when the container states none, damage (a pixel aspect beyond 1:100) ignored.
SourceFacts factsFromHeader(const StreamHeader &header);

// Reads the header (and the stream info libavformat needs to fill it) on the calling thread;
// the defaults when the file cannot be read or the read is cancelled.
StreamHeader readStreamHeader(const QString &path, const std::atomic<bool> *cancel = nullptr);
inline SourceFacts readSourceFacts(const QString &path, const std::atomic<bool> *cancel = nullptr)
{
    return factsFromHeader(readStreamHeader(path, cancel));
}

} // namespace Media
