// The portable reference of every kernel: plain C++ for any CPU, written so
// compilers vectorise it (with SSE2 on any x86-64, NEON on ARM64).
#include "kerneltable.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

namespace ImageKernels {

namespace Shared {

void *scratch(int slot, size_t bytes)
{
    constexpr int kSlots = 8;
    constexpr size_t kLine = 64;
    thread_local std::vector<unsigned char> buffers[kSlots];
    std::vector<unsigned char> &buffer = buffers[slot];
    if (buffer.size() < bytes + kLine)
        buffer.resize(bytes + kLine);
    const auto address = reinterpret_cast<uintptr_t>(buffer.data());
    return buffer.data() + (kLine - address % kLine) % kLine;
}

int16_t exactLevel(const BlurWeights &k, const char *first, ptrdiff_t stride)
{
    double acc = 0.0;
    for (int t = 0; t <= 2 * k.radius; ++t) {
        uint16_t sample;
        std::memcpy(&sample, first + t * stride, sizeof sample);
        acc += int(sample) * k.exact[t];
    }
    return int16_t(std::clamp(int(acc), 0, 255));
}

int16_t exactLevelOfTaps(const BlurWeights &k, const int16_t *const *taps, int lane)
{
    double acc = 0.0;
    for (int t = 0; t <= 2 * k.radius; ++t)
        acc += taps[t][lane] * k.exact[t];
    return int16_t(std::clamp(int(acc), 0, 255));
}

namespace {

// The same float operations, in the same order, as QColor's RGB -> HSV -> RGB
// round trip through getHsv/setHsv, so the results match it exactly.
inline int roundPositive(float value) { return int(value + 0.5f); }
inline int divide257(int value)
{
    value += 128;
    return (value - (value >> 8)) >> 8;
}
inline uint32_t rgb(int r, int g, int b) { return 0xff000000u | (uint32_t(r) << 16) | (uint32_t(g) << 8) | uint32_t(b); }

} // namespace

uint32_t saturatePixel(uint32_t pixel, const int32_t *scaledSaturation)
{
    const float r = float(int((pixel >> 16) & 0xff) * 257) / float(USHRT_MAX);
    const float g = float(int((pixel >> 8) & 0xff) * 257) / float(USHRT_MAX);
    const float b = float(int(pixel & 0xff) * 257) / float(USHRT_MAX);
    const float maximum = std::max(std::max(r, g), b);
    const float minimum = std::min(std::min(r, g), b);
    const float delta = maximum - minimum;
    const int value = divide257(roundPositive(maximum * USHRT_MAX));
    if (delta <= 0.00001f)
        return rgb(value, value, value);
    const int saturation16 = roundPositive((delta / maximum) * USHRT_MAX);
    float hue;
    if (r == maximum)
        hue = (g - b) / delta;
    else if (g == maximum)
        hue = 2.0f + (b - r) / delta;
    else
        hue = 4.0f + (r - g) / delta;
    hue *= 60.0f;
    if (hue < 0.0f)
        hue += 360.0f;
    const int hueDegrees = (roundPositive(hue * 100.0f) / 100) % 360;
    const int newSaturation = scaledSaturation[divide257(saturation16)];
    if (newSaturation == 0)
        return rgb(value, value, value);

    const float h = float(hueDegrees * 100) / 6000.0f;
    const float s = float(newSaturation * 257) / float(USHRT_MAX);
    const float v = float(value * 257) / float(USHRT_MAX);
    const int sector = int(h);
    const float f = h - float(sector);
    const float p = v * (1.0f - s);
    const float w = (sector & 1) ? v * (1.0f - (s * f)) : v * (1.0f - (s * (1.0f - f)));
    const int v8 = divide257(roundPositive(v * USHRT_MAX));
    const int w8 = divide257(roundPositive(w * USHRT_MAX));
    const int p8 = divide257(roundPositive(p * USHRT_MAX));
    switch (sector) {
    case 0: return rgb(v8, w8, p8);
    case 1: return rgb(w8, v8, p8);
    case 2: return rgb(p8, v8, w8);
    case 3: return rgb(p8, w8, v8);
    case 4: return rgb(w8, p8, v8);
    default: return rgb(v8, p8, w8);
    }
}

uint32_t sepiaPixel(uint32_t p)
{
    const int r = int((p >> 16) & 0xff), g = int((p >> 8) & 0xff), b = int(p & 0xff);
    const uint32_t red = uint32_t(std::min(int(0.393 * r + 0.769 * g + 0.189 * b), 255));
    const uint32_t green = uint32_t(std::min(int(0.349 * r + 0.686 * g + 0.168 * b), 255));
    const uint32_t blue = uint32_t(std::min(int(0.272 * r + 0.534 * g + 0.131 * b), 255));
    return (p & 0xff000000u) | (red << 16) | (green << 8) | blue;
}

} // namespace Shared

BoxDivisor boxDivisor(int radius)
{
    const uint64_t size = 2 * uint64_t(radius) + 1;
    auto reciprocal = [&](int shift) { return ((uint64_t(1) << (16 + shift)) + size - 1) / size; };
    BoxDivisor divisor;
    while (reciprocal(divisor.shift + 1) <= 0xffff)
        ++divisor.shift;
    divisor.reciprocal = uint16_t(reciprocal(divisor.shift));
    return divisor;
}

namespace {

// acc[i] = the sum over lane i0 + i's window, weights[d] at distance d (the
// two sides added first), for m lanes.
template <typename Sum, typename Weight>
void foldedSums(const int16_t *const *taps, int r, int i0, int m, const Weight *weights, Sum *acc)
{
    const int16_t *c = taps[r] + i0;
    for (int i = 0; i < m; ++i)
        acc[i] = c[i] * Sum(weights[0]);
    for (int d = 1; d <= r; ++d) {
        const int16_t *a = taps[r - d] + i0;
        const int16_t *b = taps[r + d] + i0;
        const Sum w = Sum(weights[d]);
        for (int i = 0; i < m; ++i)
            acc[i] += (a[i] + b[i]) * w;
    }
}

// The second pass, in 2^15 fixed point. A window whose sum is exactly its
// centre sample (every flat window, since the weights sum to one) takes the
// flat window's double-precision result: equal to the double sum where the
// window is flat, within one level elsewhere.
// out[i] = sum over t of weight(t) * taps[t][i], for lanes [begin, end).
void convolve(const int16_t *const *taps, int begin, int end, const BlurWeights &k, int16_t *out)
{
    constexpr int Block = 64;
    const int r = k.radius;
    int32_t acc[Block];
    for (int i0 = begin; i0 < end; i0 += Block) {
        const int m = std::min(Block, end - i0);
        const int16_t *c = taps[r] + i0;
        foldedSums(taps, r, i0, m, k.weights, acc);
        for (int i = 0; i < m; ++i) {
            int value = acc[i] >> kFixedShift;
            if (acc[i] == c[i] * kFixedOne)
                value = k.uniformResult[value];
            out[i0 + i] = int16_t(value);
        }
    }
}

// The level of a first-pass sum in units of 2^-30, or -1 where it is too close
// to a whole level to tell (flat windows among them: their sums are whole).
inline int preciseLevel(int64_t sum, const BlurWeights &k)
{
    const uint32_t fraction = uint32_t(sum) & kFineMask;
    if (fraction < k.slack || fraction > kFineMask - k.slack)
        return -1;
    return std::min(int(sum >> kFineShift), 255);
}

// flat[l] = whether the 2r + 1 samples from p + l on are alike, for l in [0, lanes).
void flatWindows(const int16_t *p, int lanes, int r, uint8_t *flat)
{
    thread_local std::vector<int> changes;
    const int count = lanes + 2 * r;
    changes.resize(count);
    int seen = 0;
    changes[0] = 0;
    for (int i = 1; i < count; ++i) {
        seen += p[i] != p[i - 1];
        changes[i] = seen;
    }
    for (int l = 0; l < lanes; ++l)
        flat[l] = changes[l + 2 * r] == changes[l];
}

// The first pass: lanes [begin, end) of out, exactly as the double sums
// truncate. A lane too close to a whole level: a flat window takes the flat
// result; any other, a straight ramp too (it sums to its centre exactly), is
// summed in double, which rounds its own way. The taps are those of one padded
// row, so lane i's window is the 2r + 1 samples from taps[0] + i on.
void convolvePrecise(const int16_t *const *taps, int begin, int end, const BlurWeights &k, int16_t *out)
{
    constexpr int Block = 64;
    const int r = k.radius;
    int64_t acc[Block];
    for (int i0 = begin; i0 < end; i0 += Block) {
        const int m = std::min(Block, end - i0);
        foldedSums(taps, r, i0, m, k.fine, acc);
        uint8_t flat[Block];
        bool flatKnown = false;
        for (int i = 0; i < m; ++i) {
            const int level = preciseLevel(acc[i], k);
            if (level >= 0) {
                out[i0 + i] = int16_t(level);
                continue;
            }
            if (!flatKnown) {
                flatWindows(taps[0] + i0, m, r, flat);
                flatKnown = true;
            }
            out[i0 + i] = flat[i] ? k.uniformResult[taps[r][i0 + i]] : Shared::exactLevelOfTaps(k, taps, i0 + i);
        }
    }
}

void blurRows(const uint8_t *pixels, ptrdiff_t bytesPerLine, int width, int height, int planes,
              const BlurWeights &k, int16_t *out, size_t planeSize)
{
    static constexpr int shifts[4] = {16, 8, 0, 24};
    const int r = k.radius;
    const int pad = r + 1;
    auto *padded = static_cast<int16_t *>(Shared::scratch(0, (size_t(width) + 2 * pad) * sizeof(int16_t)));
    auto *taps = static_cast<const int16_t **>(Shared::scratch(1, (2 * size_t(r) + 1) * sizeof(int16_t *)));
    for (int t = 0; t <= 2 * r; ++t)
        taps[t] = padded + 1 + t;
    for (int y = 0; y < height; ++y) {
        const auto *line = reinterpret_cast<const uint32_t *>(pixels + y * bytesPerLine);
        for (int p = 0; p < planes; ++p) {
            const int shift = shifts[p];
            std::fill(padded, padded + pad, int16_t((line[0] >> shift) & 0xff));
            for (int x = 0; x < width; ++x)
                padded[pad + x] = int16_t((line[x] >> shift) & 0xff);
            std::fill(padded + pad + width, padded + width + 2 * pad, int16_t((line[width - 1] >> shift) & 0xff));
            convolvePrecise(taps, 0, width, k, out + p * planeSize + size_t(y) * width);
        }
    }
}

// In column strips narrow enough that the window's rows stay in the
// first-level cache from one output row to the next.
void blurColumns(const int16_t *in, int width, int height, const BlurWeights &k, int16_t *out)
{
    constexpr int kStrip = 64;
    const int r = k.radius;
    auto *taps = static_cast<const int16_t **>(
        Shared::scratch(1, (size_t(height) + 2 * size_t(r)) * sizeof(int16_t *)));
    // taps + y is then the window of output row y, edge rows repeated.
    for (int t = 0; t < height + 2 * r; ++t)
        taps[t] = in + size_t(std::clamp(t - r, 0, height - 1)) * width;
    for (int x0 = 0; x0 < width; x0 += kStrip) {
        const int x1 = std::min(width, x0 + kStrip);
        for (int y = 0; y < height; ++y)
            convolve(taps + y, x0, x1, k, out + size_t(y) * width);
    }
}

void packPixels(const int16_t *red, const int16_t *green, const int16_t *blue, const int16_t *alpha,
                uint32_t constantAlpha, int count, uint32_t *line)
{
    for (int x = 0; x < count; ++x) {
        const uint32_t a = alpha ? uint32_t(alpha[x]) : constantAlpha;
        line[x] = (a << 24) | (uint32_t(red[x]) << 16) | (uint32_t(green[x]) << 8) | uint32_t(blue[x]);
    }
}

void boxStrip(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst, ptrdiff_t dstStride, int rows, int radius)
{
    const BoxDivisor divisor = boxDivisor(radius);
    auto row = [&](int y) { return src + std::clamp(y, 0, rows - 1) * srcStride; };
    uint16_t sum[kBoxStrip] = {};
    for (int y = -radius; y <= radius; ++y) {
        const uint8_t *p = row(y);
        for (int i = 0; i < kBoxStrip; ++i)
            sum[i] = uint16_t(sum[i] + p[i]);
    }
    for (int y = 0; y < rows; ++y) {
        uint8_t *out = dst + y * dstStride;
        // Apart, the multiply-high and the shift each vectorise.
        uint16_t high[kBoxStrip];
        for (int i = 0; i < kBoxStrip; ++i)
            high[i] = uint16_t((uint32_t(sum[i]) * divisor.reciprocal) >> 16);
        for (int i = 0; i < kBoxStrip; ++i)
            out[i] = uint8_t(high[i] >> divisor.shift);
        const uint8_t *add = row(y + radius + 1);
        const uint8_t *drop = row(y - radius);
        for (int i = 0; i < kBoxStrip; ++i)
            sum[i] = uint16_t(sum[i] + add[i] - drop[i]);
    }
}

void boxRowsToStrip(const uint32_t *const *rows, int width, uint32_t *columns)
{
    for (int x = 0; x < width; ++x) {
        for (int j = 0; j < kBoxBlockRows; ++j)
            columns[x * kBoxBlockRows + j] = rows[j][x];
    }
}

void boxStripToRows(const uint32_t *columns, int width, uint32_t *const *rows)
{
    for (int j = 0; j < kBoxBlockRows; ++j) {
        for (int x = 0; x < width; ++x)
            rows[j][x] = columns[x * kBoxBlockRows + j];
    }
}

void saturate(uint32_t *line, int count, const int32_t *scaledSaturation)
{
    for (int x = 0; x < count; ++x)
        line[x] = Shared::saturatePixel(line[x], scaledSaturation);
}

void sepia(uint32_t *line, int count)
{
    for (int x = 0; x < count; ++x)
        line[x] = Shared::sepiaPixel(line[x]);
}

void graySepia(uint32_t *line, int count, const uint32_t *sepiaOfGray)
{
    for (int x = 0; x < count; ++x) {
        const uint32_t p = line[x];
        const uint32_t gray = (11 * ((p >> 16) & 0xff) + 16 * ((p >> 8) & 0xff) + 5 * (p & 0xff)) >> 5;
        line[x] = (p & 0xff000000u) | sepiaOfGray[gray];
    }
}

void mapColor(uint32_t *line, int count, const uint8_t *table)
{
    for (int x = 0; x < count; ++x) {
        const uint32_t p = line[x];
        line[x] = (p & 0xff000000u) | (uint32_t(table[(p >> 16) & 0xff]) << 16)
            | (uint32_t(table[(p >> 8) & 0xff]) << 8) | table[p & 0xff];
    }
}

void mapAlpha(uint32_t *line, int count, const uint8_t *table)
{
    for (int x = 0; x < count; ++x)
        line[x] = (line[x] & 0x00ffffffu) | (uint32_t(table[line[x] >> 24]) << 24);
}

} // namespace

const KernelTable &referenceKernels()
{
    static const KernelTable table = {
        blurRows, blurColumns, packPixels, boxStrip, boxRowsToStrip, boxStripToRows,
        saturate, sepia, graySepia, mapColor, mapAlpha,
    };
    return table;
}

} // namespace ImageKernels
