#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <memory>

// What one packet scan of a file tells (libavformat, no decoding of pictures).
// Timestamps are in the stream's own time base, exactly as libavformat's demuxer
// hands them out (the same numbers the ffmpeg program sees for that file).
namespace Media {

constexpr qint64 NoTimestamp = std::numeric_limits<qint64>::min();

struct Rational {
    int num = 0;
    int den = 1;
    bool valid() const { return num > 0 && den > 0; }
    double value() const { return valid() ? double(num) / den : 0.0; }
};

// One video packet, in decode (file) order.
struct VideoPacket {
    qint64 pts = NoTimestamp;
    qint64 dts = NoTimestamp;
    qint64 duration = 0;
    bool keyframe = false;       // the container's sync-sample flag
    // Decoding may start here with nothing before it: an IDR picture (H.264 NAL
    // type 5; HEVC IDR_W_RADL/IDR_N_LP), told from the packet's own NAL units.
    bool idr = false;
    // The packet carries a parameter set (SPS/PPS, and VPS for HEVC) in band that
    // differs from those in the stream's extradata.
    bool changedParameterSets = false;
};

struct VideoStream {
    int index = -1;                // stream index in the file; -1: no video
    QString codecName;             // "h264", "hevc", "vp9", ...
    int codecId = 0;               // AVCodecID
    int profile = -99;             // FF_PROFILE_UNKNOWN when unknown
    int level = -99;
    int width = 0;
    int height = 0;
    QString pixelFormat;           // av_get_pix_fmt_name, e.g. "yuv420p"
    Rational sampleAspectRatio;    // 0/1 when unknown
    int colorRange = 0;            // AVColorRange
    int colorPrimaries = 2;        // AVColorPrimaries (2 = unspecified)
    int colorTransfer = 2;         // AVColorTransferCharacteristic
    int colorSpace = 2;            // AVColorSpace
    int chromaLocation = 0;
    int fieldOrder = 0;            // AVFieldOrder: 0 unknown, 1 progressive, else interlaced
    Rational timeBase;
    Rational frameRate;            // r_frame_rate
    Rational averageFrameRate;     // avg_frame_rate
    int rotation = 0;              // display rotation 0/90/180/270 (display matrix)
    qint64 bitRate = 0;
    QByteArray extradata;          // avcC / hvcC (or Annex B) as stored
    int nalLengthSize = 0;         // 1, 2 or 4 for length-prefixed packets; 0 for Annex B
    qint64 startPts = NoTimestamp; // smallest pts of the stream
    QVector<VideoPacket> packets;  // decode order
};

struct AudioPacket {
    qint64 pts = NoTimestamp;
    qint64 duration = 0;
};

struct AudioStream {
    int index = -1;                // -1: no audio
    QString codecName;             // "aac", "opus", "mp3", ...
    int codecId = 0;
    int profile = -99;
    int sampleRate = 0;
    int channels = 0;
    qint64 bitRate = 0;
    int frameSize = 0;             // samples per packet when constant
    int initialPadding = 0;        // encoder delay in samples
    Rational timeBase;
    qint64 startPts = NoTimestamp;
    QVector<AudioPacket> packets;  // file order
};

struct MediaIndex {
    QString path;
    qint64 fileSize = 0;
    QDateTime modified;
    QString formatName;            // libavformat's name, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
    qint64 durationMs = -1;        // the container's duration; -1 when unknown
    bool durationGuessed = false;  // estimated from the bitrate, not stated by the file
    // Where the file's time 0 lies (libavformat's start time, in microseconds): the
    // ffmpeg program and the player count positions from here.
    qint64 startTimeUs = 0;
    VideoStream video;
    AudioStream audio;
    QString error;                 // empty when the scan succeeded

    bool ok() const { return error.isEmpty(); }
};

// A picture file (PNG, JPEG, a one-frame GIF...), whatever its name says: the player would
// show it as a garbled still of no length.
bool holdsStillPicture(const MediaIndex &index);

// True for a bare video elementary stream (H.264, HEVC, MPEG video... with no container): its
// frames carry no times, the media back end finds no length in it, and seeks in it are guesses.
bool isBareVideoStream(const MediaIndex &index);

// Where the pictures of a file cut short (a copy or download that stopped) end: the end of the
// last picture read, in ms of the file's time, when it lies more than two frames before the
// length the file states and its sound, if any, stops short too (a video that merely ends
// before its sound is whole). -1 otherwise.
qint64 picturesEndEarlyMs(const MediaIndex &index);

// Reads every packet of the first video stream and the first audio stream.
// cancel (may be null) is polled between packets; a cancelled scan returns with
// error "Canceled". progress (may be empty) gets 0..100 by file position.
MediaIndex scanMedia(const QString &path, const std::atomic<bool> *cancel = nullptr,
                     const std::function<void(int)> &progress = {});

// The display rotation of the video stream scanMedia would pick (0, 90, 180 or 270, as
// MediaIndex::video.rotation), read from the file's header alone: quick enough to ask on
// every load. 0 when the file has no video or cannot be read.
int readDisplayRotation(const QString &path, const std::atomic<bool> *cancel = nullptr);

// How that stream's pictures are shown, from the header alone: turned by its rotation, and
// each stored pixel sampleAspect wide for one high (the container's aspect winning over the
// bitstream's, as ffmpeg's tools read it; 0/1 when neither says).
struct DisplayShape {
    int rotation = 0;
    Rational sampleAspect;
};
DisplayShape readDisplayShape(const QString &path, const std::atomic<bool> *cancel = nullptr);

// Scans made while the program runs, one per file, kept while the file's size and
// modification time stay the same. Thread-safe.
class MediaIndexCache {
public:
    static MediaIndexCache &instance();
    // The cached index for the file as it is now, or a new scan (kept only when it succeeded).
    std::shared_ptr<const MediaIndex> get(const QString &path, const std::atomic<bool> *cancel = nullptr,
                                          const std::function<void(int)> &progress = {});
    std::shared_ptr<const MediaIndex> cached(const QString &path) const;
    void clear();

private:
    MediaIndexCache() = default;
    struct Impl;
    std::shared_ptr<Impl> impl() const;
};

} // namespace Media
