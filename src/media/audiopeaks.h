#pragma once

#include "peakpyramid.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace Media {

// What the peaks were made from; block 0 starts at the file's time 0 (libavformat's
// start time, where the player counts from).
struct PeakSource {
    bool hasAudio = false;
    int sampleRate = 0;
    int channels = 0;
    qint64 expectedBlocks = 0; // from the stream's or file's duration; 0 when unknown
};

enum class PeakDecodeStatus { Complete, NoAudio, Canceled, Failed };

// The sound of a few tens of milliseconds at one source time (ms).
struct TimedPeak {
    qint64 ms = 0;
    Peak peak;
};

// Decodes the first audio stream of the file (libavcodec), mixes it to mono (libswresample)
// and hands the blocks on in order from block 0, a run at a time, as they are made.
// source (may be null) is filled as soon as the stream is known. cancel (may be null) is
// polled between packets and also ends a blocking read.
// With a preview, first previewCount short snippets spread evenly over the whole sound
// (each found by a seek) are handed to it in time order, so a long file can be shown
// roughly at once; the full pass follows. Sound too short to space them 300 ms apart gets
// no preview: its full pass is quick.
PeakDecodeStatus decodeAudioPeaks(const QString &path, const std::atomic<bool> *cancel,
                                  const std::function<void(std::vector<Peak> &&)> &deliver,
                                  PeakSource *source = nullptr,
                                  const std::function<void(std::vector<TimedPeak> &&)> &preview = {},
                                  int previewCount = 0);

// Peaks of whole files kept on disk, one file per source path, valid while the source's
// size and modification time are those stored with them. Anything unexpected in a cache
// file (its header, its length, its checksum) makes it count as absent.
struct CachedPeaks {
    PeakSource source;
    std::vector<Peak> blocks;
};

QString defaultPeakCacheDirectory();
QString peakCacheFilePath(const QString &cacheDirectory, const QString &sourcePath);
std::optional<CachedPeaks> readPeakCache(const QString &cacheDirectory, const QString &sourcePath);
bool writePeakCache(const QString &cacheDirectory, const QString &sourcePath, const CachedPeaks &peaks);

// Removes the least recently written cache files until the folder holds at most maxBytes.
void prunePeakCache(const QString &cacheDirectory, qint64 maxBytes);

// Writes a cache file while the peaks are being made, so no second copy of them is held;
// the file appears (renamed into place) only when commit succeeds.
class PeakCacheWriter {
public:
    PeakCacheWriter(const QString &cacheDirectory, const QString &sourcePath);
    ~PeakCacheWriter();
    PeakCacheWriter(const PeakCacheWriter &) = delete;
    PeakCacheWriter &operator=(const PeakCacheWriter &) = delete;

    void append(const std::vector<Peak> &blocks);
    bool commit(const PeakSource &source);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace Media
