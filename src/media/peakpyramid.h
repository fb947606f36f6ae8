#pragma once

#include <QtGlobal>

#include <vector>

namespace Media {

// The sound of one small block of a mono mix: lowest and highest sample (-127..127 for
// -1..1) and RMS (0..255 for 0..1). Three bytes, so three hours at 200 blocks a second
// with every level above stay under 14 MB.
struct Peak {
    qint8 min = 0;
    qint8 max = 0;
    quint8 rms = 0;

    bool operator==(const Peak &other) const
    {
        return min == other.min && max == other.max && rms == other.rms;
    }
};

constexpr int kPeakBlocksPerSecond = 200;

// Source time (ms) <-> block index at kPeakBlocksPerSecond.
constexpr qint64 peakBlockAt(qint64 ms)
{
    return ms * kPeakBlocksPerSecond / 1000;
}

// Peaks per block (level 0) and levels above it, each entry of level k summing two of
// level k-1, so any range of blocks is answered from a few entries. Blocks can be
// appended while the levels stay complete for what is there.
class PeakPyramid {
public:
    void clear();
    void reserve(qint64 blocks);
    void append(const Peak *peaks, qint64 count);

    qint64 blockCount() const { return m_levels.empty() ? 0 : qint64(m_levels.front().size()); }
    int levelCount() const { return int(m_levels.size()); }
    const std::vector<Peak> &level(int index) const { return m_levels.at(size_t(index)); }
    qint64 memoryBytes() const;

    // The blocks [first, last) that exist taken together; false when none of them does.
    bool range(qint64 first, qint64 last, Peak &out) const;

    // Two neighbours as one entry of the level above.
    static Peak merge(const Peak &a, const Peak &b);

private:
    void rebuildAbove(qint64 firstChanged);

    std::vector<std::vector<Peak>> m_levels;
};

// Turns a run of mono samples into blocks. A sample's block follows from its index at
// the given rate, so block edges never drift whatever the rate.
class PeakAccumulator {
public:
    explicit PeakAccumulator(int sampleRate) : m_sampleRate(qMax(1, sampleRate)) {}

    // Samples starting at the given sample index; earlier samples than any already taken are
    // dropped, a gap is filled with silence.
    void add(const float *samples, qint64 count, qint64 firstIndex);
    // Blocks complete so far, taken out.
    std::vector<Peak> takeBlocks();
    // Closes the last, partial block.
    void finish();
    qint64 nextSample() const { return m_next; }

private:
    void closeBlock();
    qint64 blockOf(qint64 sample) const { return qint64(__int128(sample) * kPeakBlocksPerSecond / m_sampleRate); }

    int m_sampleRate;
    qint64 m_next = 0;
    qint64 m_block = 0;
    qint64 m_emitted = 0;
    qint64 m_count = 0;
    float m_min = 0;
    float m_max = 0;
    double m_squares = 0;
    std::vector<Peak> m_done;
};

} // namespace Media
