#pragma once

#include <QHash>
#include <QImage>
#include <QString>

#include <atomic>
#include <memory>

namespace Media {

// Small pictures of a video's key frames, turned and shaped as shown: seeks to the key frame
// at or before a time, decodes that one packet alone (or, when it gives no picture by
// itself, the packets after it until one comes) and scales it down (libswscale). Pictures
// already made for a key frame are reused. One decoder belongs to one thread.
class ThumbnailDecoder {
public:
    explicit ThumbnailDecoder(const QString &path, const std::atomic<bool> *cancel = nullptr);
    ~ThumbnailDecoder();
    ThumbnailDecoder(const ThumbnailDecoder &) = delete;
    ThumbnailDecoder &operator=(const ThumbnailDecoder &) = delete;

    bool isOpen() const;
    // Width over height of the picture as shown (sample aspect and rotation applied).
    double displayAspectRatio() const;

    struct Picture {
        qint64 keyframeMs = -1; // from the file's time 0, as the player counts
        QImage image;           // null when nothing could be decoded
    };
    // The key frame at or before sourceMs (the first one when there is none before),
    // height pixels high.
    Picture pictureAt(qint64 sourceMs, int height);
    // Lets the decoder go while nothing is asked: it keeps the last picture and its frame
    // pool, a full-size frame or more (12 MB at 4K). The next picture opens it again.
    void releaseDecoder();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace Media
