#include "peakpyramid.h"

#include <algorithm>
#include <cmath>

namespace Media {

namespace {

int rmsSquare(const Peak &peak)
{
    return int(peak.rms) * int(peak.rms);
}

quint8 rmsOf(double meanSquare)
{
    return quint8(std::min<long>(255, std::lround(std::sqrt(meanSquare))));
}

qint8 level127(float value)
{
    return qint8(std::lround(std::clamp(value, -1.0f, 1.0f) * 127.0f));
}

} // namespace

Peak PeakPyramid::merge(const Peak &a, const Peak &b)
{
    return Peak{std::min(a.min, b.min), std::max(a.max, b.max),
                rmsOf((rmsSquare(a) + rmsSquare(b)) / 2.0)};
}

void PeakPyramid::clear()
{
    m_levels.clear();
}

void PeakPyramid::reserve(qint64 blocks)
{
    if (m_levels.empty())
        m_levels.emplace_back();
    for (size_t level = 0; blocks > 0; ++level, blocks = (blocks + 1) / 2) {
        if (level >= m_levels.size())
            m_levels.emplace_back();
        m_levels[level].reserve(size_t(blocks));
        if (blocks == 1)
            break;
    }
}

void PeakPyramid::append(const Peak *peaks, qint64 count)
{
    if (count <= 0)
        return;
    if (m_levels.empty())
        m_levels.emplace_back();
    const qint64 first = blockCount();
    m_levels.front().insert(m_levels.front().end(), peaks, peaks + count);
    rebuildAbove(first);
}

void PeakPyramid::rebuildAbove(qint64 firstChanged)
{
    for (size_t level = 1;; ++level) {
        if (m_levels[level - 1].size() <= 1) {
            m_levels.resize(level);
            return;
        }
        if (level >= m_levels.size())
            m_levels.emplace_back();
        const std::vector<Peak> &below = m_levels[level - 1];
        std::vector<Peak> &above = m_levels[level];
        const size_t size = (below.size() + 1) / 2;
        above.resize(size);
        // The last entry of each level may have been partial: it is redone too.
        for (size_t i = size_t(firstChanged >> level); i < size; ++i) {
            const size_t child = 2 * i;
            above[i] = child + 1 < below.size() ? merge(below[child], below[child + 1]) : below[child];
        }
    }
}

qint64 PeakPyramid::memoryBytes() const
{
    qint64 bytes = 0;
    for (const std::vector<Peak> &level : m_levels)
        bytes += qint64(level.capacity() * sizeof(Peak));
    return bytes;
}

bool PeakPyramid::range(qint64 first, qint64 last, Peak &out) const
{
    first = std::max<qint64>(first, 0);
    last = std::min(last, blockCount());
    if (first >= last)
        return false;
    int low = 127;
    int high = -127;
    double squares = 0;
    const qint64 blocks = last - first;
    const int topLevel = levelCount() - 1;
    while (first < last) {
        // The largest aligned entry that starts here and ends within the range.
        int level = first == 0 ? 62 : __builtin_ctzll(quint64(first));
        level = std::min({level, 63 - __builtin_clzll(quint64(last - first)), topLevel});
        const Peak &entry = m_levels[size_t(level)][size_t(first >> level)];
        low = std::min<int>(low, entry.min);
        high = std::max<int>(high, entry.max);
        squares += double(rmsSquare(entry)) * double(qint64(1) << level);
        first += qint64(1) << level;
    }
    out = Peak{qint8(low), qint8(high), rmsOf(squares / double(blocks))};
    return true;
}

void PeakAccumulator::add(const float *samples, qint64 count, qint64 firstIndex)
{
    if (firstIndex < m_next) {
        const qint64 skip = m_next - firstIndex;
        if (skip >= count)
            return;
        samples += skip;
        count -= skip;
        firstIndex = m_next;
    }
    static const float silence[1024] = {};
    while (m_next < firstIndex) {
        const qint64 gap = std::min<qint64>(firstIndex - m_next, 1024);
        add(silence, gap, m_next);
    }
    while (count > 0) {
        // First sample of the next block: ceil((block + 1) * rate / blocksPerSecond).
        const qint64 edge = qint64((__int128(m_block + 1) * m_sampleRate + kPeakBlocksPerSecond - 1)
                                   / kPeakBlocksPerSecond);
        if (m_next >= edge) {
            if (m_count > 0)
                closeBlock();
            m_block = blockOf(m_next);
            continue;
        }
        const qint64 take = std::min(count, edge - m_next);
        float low = m_count ? m_min : samples[0];
        float high = m_count ? m_max : samples[0];
        double squares = 0;
        for (qint64 i = 0; i < take; ++i) {
            const float value = samples[i];
            low = std::min(low, value);
            high = std::max(high, value);
            squares += double(value) * value;
        }
        m_min = low;
        m_max = high;
        m_squares += squares;
        m_count += take;
        m_next += take;
        samples += take;
        count -= take;
    }
}

void PeakAccumulator::closeBlock()
{
    // Blocks no sample reached (a rate below the block rate) are silent.
    while (m_emitted < m_block) {
        m_done.push_back(Peak{});
        ++m_emitted;
    }
    m_done.push_back(Peak{level127(m_min), level127(m_max),
                          quint8(std::lround(std::min(1.0, std::sqrt(m_squares / double(m_count))) * 255.0))});
    ++m_emitted;
    m_count = 0;
    m_squares = 0;
}

std::vector<Peak> PeakAccumulator::takeBlocks()
{
    std::vector<Peak> blocks;
    blocks.swap(m_done);
    return blocks;
}

void PeakAccumulator::finish()
{
    if (m_count > 0)
        closeBlock();
}

} // namespace Media
