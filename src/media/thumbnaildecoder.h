#pragma once

#include <QHash>
#include <QImage>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

namespace Media {

// Small pictures of a video, turned and shaped as shown: the frame on screen at a time,
// decoded onwards from the key frame at or before it (or, when that gives no picture, as at
// a recovery point of intra-refreshed H.264 decoded from too near, the key frame before),
// and scaled down (libswscale). A later time in the same group of pictures carries on from
// where the last one stopped, so times asked in rising order cost one decode of each group.
// Pictures already made are reused for any time their frame covers. One decoder belongs to
// one thread.
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
        qint64 frameMs = -1; // the frame's own time, from the file's time 0 as the player counts
        QImage image;        // null when nothing could be decoded, or when no longer wanted
        bool atTime = false; // the frame shown at the time asked, not a later one of its span
    };
    // The frame shown at sourceMs: the last whose time, in whole ms, is at or before it (the
    // first frame when none is), height pixels high. `wanted` is asked before each packet read;
    // when it says no, the work stops with a null picture and the place reached is kept.
    Picture pictureAt(qint64 sourceMs, int height, const std::function<bool()> &wanted = {});
    // A frame on screen during [sourceMs, sourceMs + spanMs): a key frame inside the span
    // decoded alone where one is found, else the frame shown at sourceMs (pictureAt). frameMs
    // counts whole ms as the span does, so it lies in the span or the picture is atTime.
    Picture pictureDuring(qint64 sourceMs, qint64 spanMs, int height, const std::function<bool()> &wanted = {});
    // Whether a picture at sourceMs would carry on decoding from the place reached, with no seek.
    bool continuesTo(qint64 sourceMs) const;
    // Lets the decoder go while nothing is asked: it keeps the last pictures and its frame
    // pool, a full-size frame or more (12 MB at 4K). The next picture opens it again.
    void releaseDecoder();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace Media
