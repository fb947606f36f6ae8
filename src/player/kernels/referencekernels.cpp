// The portable reference of every kernel, for any CPU: plain C++, and GCC's
// generic four-lane vectors (SSE2 on any x86-64, NEON on ARM64) where the
// compiler would not vectorise the loops on its own.
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

uint32_t yuvPixel(int y, int u, int v, const YuvToRgbCoefficients &c)
{
    const int l = c.luma * y;
    const int r = std::clamp((l + c.redFromV * v + c.redConstant) >> 8, 0, 255);
    const int g = std::clamp((l - c.greenFromU * u - c.greenFromV * v + c.greenConstant) >> 8, 0, 255);
    const int b = std::clamp((l + c.blueFromU * u + c.blueConstant) >> 8, 0, 255);
    return 0xff000000u | (uint32_t(r) << 16) | (uint32_t(g) << 8) | uint32_t(b);
}

} // namespace Shared

// floor(s * R / 2^k) equals floor(s / size) when s * (R * size - 2^k) < 2^k,
// which holds for R = 2^k / size rounded up (the excess is below size) and
// 2^k = 2^(16 + shift) above 2^15 * size, the sums staying below 2^15.
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

// The exact blur in single-precision vectors: the second pass's 2^15
// fixed-point sums stay below 255 * 2^15 < 2^24 and are exact; the first pass
// rounds, within a bound that decides which sums are too close to a whole
// level to tell.
typedef float Floats __attribute__((vector_size(16)));
constexpr int kFloatLanes = 4;

inline Floats loadFloats(const float *p)
{
    Floats v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void storeFloats(float *p, Floats v) { std::memcpy(p, &v, sizeof v); }

typedef int32_t Ints __attribute__((vector_size(16)));
typedef int16_t Shorts __attribute__((vector_size(8)));

inline Ints truncated(Floats v) { return __builtin_convertvector(v, Ints); }
inline Floats floats(Ints v) { return __builtin_convertvector(v, Floats); }
// Whether every lane or any lane of a comparison's result is set, in two
// 64-bit halves rather than four lane extractions.
inline bool allOf(Ints mask)
{
    uint64_t halves[2];
    std::memcpy(halves, &mask, sizeof halves);
    return (halves[0] & halves[1]) == ~uint64_t(0);
}
inline bool anyOf(Ints mask)
{
    uint64_t halves[2];
    std::memcpy(halves, &mask, sizeof halves);
    return (halves[0] | halves[1]) != 0;
}

// The first pass in single precision with the kernel's own weights rounded to
// floats: one product per folded pair of taps. Its sum is within `bound` of the
// double sum it stands for, so a lane whose fraction keeps that far from a whole
// level truncates as the double sum does; only the others are looked at again.
struct FirstPassWeights {
    std::vector<float> weights; // [r + 1]: the kernel at distance d, as a float
    float lowest = 0.0f;        // a lane is sure when its fraction lies in (lowest, highest)
    float highest = 1.0f;
};

FirstPassWeights firstPassWeights(const BlurWeights &k)
{
    FirstPassWeights f;
    const int r = k.radius;
    f.weights.resize(r + 1);
    for (int d = 0; d <= r; ++d)
        f.weights[d] = float(k.exact[r + d]);
    // The weights' rounding (and any asymmetry the folding drops) over samples of
    // at most 255; each product and each of the r additions rounds by at most half
    // an ulp of a sum below 255 * total; the double sum's own rounding.
    double weightError = 0.0;
    double total = 0.0;
    for (int t = 0; t <= 2 * r; ++t) {
        const double w = double(f.weights[std::abs(t - r)]);
        weightError += std::fabs(k.exact[t] - w);
        total += w;
    }
    const double bound = 255.0 * weightError + 255.0 * total * std::ldexp(1.0, -24) * (r + 3) * 1.01
        + 4.0 * (2 * r + 1) * 255.0 * std::ldexp(1.0, -52) + std::ldexp(1.0, -40);
    if (bound >= 0.25) {
        f.lowest = 1.0f;
        f.highest = 0.0f;
        return f;
    }
    // Rounded outwards, so the float band holds the whole double one.
    f.lowest = std::nextafter(float(bound), 1.0f);
    f.highest = std::nextafter(float(1.0 - bound), 0.0f);
    return f;
}

// Both passes sum eight independent four-lane vectors, so the adds need not
// wait on each other; the first pass stores its levels in strips of that many
// columns, which the second pass walks down (rows of a whole plane lie a page
// or more apart, and a window of them missed the address translation cache).
constexpr int kBlock = 8;
constexpr int kLanes = kBlock * kFloatLanes;

// The first pass over one padded row of samples: the level of x in [0, width),
// the window of x being s[x .. x + 2r], goes to out[x % kLanes] of strip
// x / kLanes, strips stripStride apart; lanes past width are set to zero. A
// lane too close to a whole level: a flat window takes the flat result; any
// other, a straight ramp too (it sums to its centre), is summed in double,
// which rounds its own way.
void firstPassRow(const float *s, int width, const BlurWeights &k, const FirstPassWeights &f, const Floats *splat,
                  float *out, size_t stripStride)
{
    const int r = k.radius;
    const float *weights = f.weights.data();
    auto at = [&](int x) -> float & { return out[size_t(x / kLanes) * stripStride + x % kLanes]; };
    // changes[c]: minus the number of samples in s[1 .. c] that differ from
    // their left neighbour; a window is flat when its ends have the same count.
    bool changesKnown = false;
    auto *changes = static_cast<int32_t *>(Shared::scratch(2, (size_t(width) + 2 * r + 1) * sizeof(int32_t)));
    auto knowChanges = [&] {
        if (changesKnown)
            return;
        const int n = width + 2 * r;
        changes[0] = 0;
        Ints carry = {};
        int c = 1;
        for (; c + kFloatLanes <= n; c += kFloatLanes) {
            Ints v = loadFloats(s + c) != loadFloats(s + c - 1);
            v += __builtin_shufflevector(v, Ints{}, 4, 0, 1, 2);
            v += __builtin_shufflevector(v, Ints{}, 4, 5, 0, 1);
            v += carry;
            std::memcpy(changes + c, &v, sizeof v);
            carry = __builtin_shufflevector(v, v, 3, 3, 3, 3);
        }
        for (; c < n; ++c)
            changes[c] = changes[c - 1] - (s[c] != s[c - 1]);
        changesKnown = true;
    };
    auto exactSum = [&](int x) {
        double acc = 0.0;
        for (int t = 0; t <= 2 * r; ++t)
            acc += double(s[x + t]) * k.exact[t];
        return float(std::clamp(int(acc), 0, 255));
    };
    auto settle = [&](int x, float sum) {
        const int whole = int(sum);
        const float fraction = sum - float(whole);
        if (fraction > f.lowest && fraction < f.highest) {
            at(x) = float(std::min(whole, 255));
            return;
        }
        knowChanges();
        at(x) = changes[x + 2 * r] == changes[x] ? float(k.uniformResult[int(s[x + r])]) : exactSum(x);
    };
    int x0 = 0;
    for (; x0 + kLanes <= width; x0 += kLanes) {
        const float *c = s + x0 + r;
        float *strip = out + size_t(x0 / kLanes) * stripStride;
        Floats acc[kBlock];
#pragma GCC unroll 8
        for (int b = 0; b < kBlock; ++b)
            acc[b] = loadFloats(c + kFloatLanes * b) * splat[0];
        for (int d = 1; d <= r; ++d) {
            const Floats w = splat[d];
#pragma GCC unroll 8
            for (int b = 0; b < kBlock; ++b)
                acc[b] += (loadFloats(c + kFloatLanes * b - d) + loadFloats(c + kFloatLanes * b + d)) * w;
        }
        for (int b = 0; b < kBlock; ++b) {
            const Ints whole = truncated(acc[b]);
            const Floats fraction = acc[b] - floats(whole);
            const Ints unsure = (fraction <= f.lowest) | (fraction >= f.highest);
            Floats level = floats(whole > 255 ? Ints{} + 255 : whole);
            if (anyOf(unsure)) {
                // Flat windows (most unsure ones) are settled without a branch each.
                knowChanges();
                const int x = x0 + kFloatLanes * b;
                Ints ends, starts;
                std::memcpy(&ends, changes + x + 2 * r, sizeof ends);
                std::memcpy(&starts, changes + x, sizeof starts);
                const Ints flat = ends == starts;
                const Ints centre = truncated(loadFloats(c + kFloatLanes * b));
                const Floats uniform = {float(k.uniformResult[centre[0]]), float(k.uniformResult[centre[1]]),
                                        float(k.uniformResult[centre[2]]), float(k.uniformResult[centre[3]])};
                level = (unsure & flat) != 0 ? uniform : level;
                const Ints summed = unsure & ~flat;
                if (anyOf(summed)) {
                    for (int i = 0; i < kFloatLanes; ++i) {
                        if (summed[i])
                            level[i] = exactSum(x + i);
                    }
                }
            }
            storeFloats(strip + kFloatLanes * b, level);
        }
    }
    for (int x = x0; x < width; ++x) {
        const float *c = s + x + r;
        float acc = c[0] * weights[0];
        for (int d = 1; d <= r; ++d)
            acc += (c[-d] + c[d]) * weights[d];
        settle(x, acc);
    }
    if (x0 < width) {
        for (int x = width; x < x0 + kLanes; ++x)
            at(x) = 0.0f;
    }
}

// The second pass down one strip of kLanes columns (`lanes` of them wanted) and
// `height` rows, its row y at strip[(y + r) * kLanes], r copies of the edge rows
// before and after (a window then needs no row table). Its sums are
// whole numbers below 2^24, exact in any order. A window whose sum is exactly
// its centre (every flat one, since the weights sum to one) takes the flat
// window's double-precision result: equal to the double sum where the window is
// flat, within one level elsewhere.
void secondPass(const float *strip, int lanes, int height, const BlurWeights &k, const Floats *splat,
                int16_t *out, size_t outStride)
{
    const int r = k.radius;
    int16_t partial[kLanes];
    for (int y = 0; y < height; ++y) {
        const float *c = strip + size_t(y + r) * kLanes;
        Floats acc[kBlock];
#pragma GCC unroll 8
        for (int b = 0; b < kBlock; ++b)
            acc[b] = loadFloats(c + kFloatLanes * b) * splat[0];
        for (int d = 1; d <= r; ++d) {
            const float *above = c - d * kLanes;
            const float *below = c + d * kLanes;
            const Floats w = splat[d];
#pragma GCC unroll 8
            for (int b = 0; b < kBlock; ++b)
                acc[b] += (loadFloats(above + kFloatLanes * b) + loadFloats(below + kFloatLanes * b)) * w;
        }
        int16_t *line = lanes == kLanes ? out + size_t(y) * outStride : partial;
        for (int b = 0; b < kBlock; ++b) {
            Ints values = truncated(acc[b] * (1.0f / kFixedOne));
            const Ints flat = acc[b] == loadFloats(c + kFloatLanes * b) * float(kFixedOne);
            if (anyOf(flat)) {
                const Ints uniform = {k.uniformResult[values[0]], k.uniformResult[values[1]],
                                      k.uniformResult[values[2]], k.uniformResult[values[3]]};
                values = flat ? uniform : values;
            }
            const Shorts levels = __builtin_convertvector(values, Shorts);
            std::memcpy(line + kFloatLanes * b, &levels, sizeof levels);
        }
        if (lanes < kLanes)
            std::memcpy(out + size_t(y) * outStride, partial, size_t(lanes) * sizeof(int16_t));
    }
}

void exactBlur(const uint8_t *pixels, ptrdiff_t bytesPerLine, int width, int height, int planes,
               const BlurWeights &k, int16_t *out, size_t planeSize)
{
    static constexpr int shifts[4] = {16, 8, 0, 24};
    const int r = k.radius;
    const FirstPassWeights first = firstPassWeights(k);
    // Weights spread over all lanes beforehand: the taps' products then read them directly.
    std::vector<Floats> firstSplat(r + 1);
    for (int d = 0; d <= r; ++d)
        firstSplat[d] = Floats{} + first.weights[d];
    const int strips = (width + kLanes - 1) / kLanes;
    const size_t stripStride = (size_t(height) + 2 * r) * kLanes;
    const size_t levelsPlane = size_t(strips) * stripStride;
    auto *levels = static_cast<float *>(Shared::scratch(0, size_t(planes) * levelsPlane * sizeof(float)));
    auto *padded = static_cast<float *>(Shared::scratch(1, (size_t(width) + 2 * r) * sizeof(float)));
    for (int y = 0; y < height; ++y) {
        const auto *line = reinterpret_cast<const uint32_t *>(pixels + y * bytesPerLine);
        for (int p = 0; p < planes; ++p) {
            const int shift = shifts[p];
            for (int x = 0; x < width; ++x)
                padded[r + x] = float((line[x] >> shift) & 0xff);
            std::fill(padded, padded + r, padded[r]);
            std::fill(padded + r + width, padded + width + 2 * r, padded[r + width - 1]);
            firstPassRow(padded, width, k, first, firstSplat.data(), levels + p * levelsPlane + size_t(y + r) * kLanes,
                         stripStride);
        }
    }
    std::vector<Floats> secondSplat(r + 1);
    for (int d = 0; d <= r; ++d)
        secondSplat[d] = Floats{} + float(k.weights[d]);
    for (int p = 0; p < planes; ++p) {
        for (int j = 0; j < strips; ++j) {
            float *strip = levels + p * levelsPlane + size_t(j) * stripStride;
            const float *top = strip + size_t(r) * kLanes;
            const float *bottom = strip + size_t(r + height - 1) * kLanes;
            for (int t = 0; t < r; ++t) {
                std::memcpy(strip + size_t(t) * kLanes, top, kLanes * sizeof(float));
                std::memcpy(strip + size_t(r + height + t) * kLanes, bottom, kLanes * sizeof(float));
            }
            secondPass(strip, std::min(kLanes, width - j * kLanes), height, k, secondSplat.data(),
                       out + p * planeSize + size_t(j) * kLanes, size_t(width));
        }
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

inline Ints divide257(Ints v)
{
    v += 128;
    return (v - (v >> 8)) >> 8;
}
inline Ints roundPositive(Floats v) { return truncated(v + 0.5f); }
// Without 32-bit integer products, which SSE2 lacks: v * 257 as a shift and an
// add, whole degrees times 100 and hundredths over 100 in floats, all exact for
// the values met here.
inline Floats unitOf(Ints v) { return floats((v << 8) + v) / 65535.0f; }

// Two groups of four pixels with the very operations of Shared::saturatePixel,
// its branches turned into selections; the value QColor rounds back from the
// largest unit channel is that channel's byte, and its unit value that channel's.
// The groups go in step: one group's chain of divides and conversions is long,
// and the processor's scheduler holds too little of the next to overlap them.
constexpr int kWays = 2;
inline void saturateGroups(const Ints *px, Ints *result, const int32_t *scaledSaturation)
{
    Ints red8[kWays], green8[kWays], blue8[kWays], redIsMax[kWays], greenIsMax[kWays], value[kWays], grey[kWays];
    Floats r[kWays], g[kWays], b[kWays], maximum[kWays], delta[kWays], hue[kWays];
    Ints saturation8[kWays], hueDegrees[kWays], newSaturation[kWays];
#pragma GCC unroll 2
    for (int j = 0; j < kWays; ++j) {
        red8[j] = (px[j] >> 16) & 0xff;
        green8[j] = (px[j] >> 8) & 0xff;
        blue8[j] = px[j] & 0xff;
    }
#pragma GCC unroll 2
    for (int j = 0; j < kWays; ++j) {
        r[j] = unitOf(red8[j]);
        g[j] = unitOf(green8[j]);
        b[j] = unitOf(blue8[j]);
    }
#pragma GCC unroll 2
    for (int j = 0; j < kWays; ++j) {
        redIsMax[j] = r[j] >= g[j] && r[j] >= b[j];
        greenIsMax[j] = !redIsMax[j] && g[j] >= b[j];
        maximum[j] = redIsMax[j] ? r[j] : greenIsMax[j] ? g[j] : b[j];
        value[j] = redIsMax[j] ? red8[j] : greenIsMax[j] ? green8[j] : blue8[j];
        const Floats minimum = r[j] <= g[j] && r[j] <= b[j] ? r[j] : g[j] <= b[j] ? g[j] : b[j];
        delta[j] = maximum[j] - minimum;
        grey[j] = delta[j] <= 0.00001f;
    }
#pragma GCC unroll 2
    for (int j = 0; j < kWays; ++j) {
        // Grey lanes divide by zero here; their results are replaced below.
        saturation8[j] = grey[j] ? Ints{} : divide257(roundPositive(delta[j] / maximum[j] * 65535.0f));
        const Floats numerator = redIsMax[j] ? g[j] - b[j] : greenIsMax[j] ? b[j] - r[j] : r[j] - g[j];
        const Floats offset = redIsMax[j] ? Floats{} : greenIsMax[j] ? Floats{} + 2.0f : Floats{} + 4.0f;
        hue[j] = (offset + numerator / delta[j]) * 60.0f;
    }
#pragma GCC unroll 2
    for (int j = 0; j < kWays; ++j) {
        hue[j] = hue[j] < 0.0f ? hue[j] + 360.0f : hue[j];
        // Hundredths to whole degrees without a division: n * 0.01f is within 3e-5 of
        // n / 100 for n <= 36000, so the added half hundredth keeps every quotient whole.
        hueDegrees[j] = grey[j] ? Ints{} : truncated(floats(roundPositive(hue[j] * 100.0f)) * 0.01f + 0.005f);
        hueDegrees[j] = hueDegrees[j] == 360 ? Ints{} : hueDegrees[j];
    }
#pragma GCC unroll 2
    for (int j = 0; j < kWays; ++j) {
        for (int i = 0; i < 4; ++i)
            newSaturation[j][i] = scaledSaturation[saturation8[j][i]];
    }
    Floats h[kWays], s[kWays], f[kWays], p[kWays], w[kWays];
    Ints sector[kWays];
#pragma GCC unroll 2
    for (int j = 0; j < kWays; ++j) {
        h[j] = floats(hueDegrees[j]) * 100.0f / 6000.0f;
        s[j] = unitOf(newSaturation[j]);
    }
#pragma GCC unroll 2
    for (int j = 0; j < kWays; ++j) {
        sector[j] = truncated(h[j]);
        f[j] = h[j] - floats(sector[j]);
        p[j] = maximum[j] * (1.0f - s[j]);
        w[j] = (sector[j] & 1) != 0 ? maximum[j] * (1.0f - (s[j] * f[j]))
                                    : maximum[j] * (1.0f - (s[j] * (1.0f - f[j])));
    }
#pragma GCC unroll 2
    for (int j = 0; j < kWays; ++j) {
        const Ints w8 = divide257(roundPositive(w[j] * 65535.0f));
        const Ints p8 = divide257(roundPositive(p[j] * 65535.0f));
        const Ints v8 = value[j];
        const Ints achromatic = grey[j] || newSaturation[j] == 0;
        const Ints sec = sector[j];
        Ints red = sec == 0 || sec == 5 ? v8 : sec == 1 || sec == 4 ? w8 : p8;
        Ints green = sec == 1 || sec == 2 ? v8 : sec == 0 || sec == 3 ? w8 : p8;
        Ints blue = sec == 3 || sec == 4 ? v8 : sec == 2 || sec == 5 ? w8 : p8;
        red = achromatic ? v8 : red;
        green = achromatic ? v8 : green;
        blue = achromatic ? v8 : blue;
        result[j] = int32_t(0xff000000u) | (red << 16) | (green << 8) | blue;
    }
}

void saturate(uint32_t *line, int count, const int32_t *scaledSaturation)
{
    static_assert(kWays == 2, "the repeat test below compares two groups");
    constexpr int kPixels = kWays * kFloatLanes;
    // A blurred picture often repeats itself: pixels like the last ones take their result.
    Ints last[kWays] = {}, lastResult[kWays] = {};
    bool known = false;
    int x = 0;
    for (; x + kPixels <= count; x += kPixels) {
        Ints px[kWays];
        std::memcpy(px, line + x, sizeof px);
        if (known && allOf((px[0] == last[0]) & (px[1] == last[1]))) {
            std::memcpy(line + x, lastResult, sizeof lastResult);
            continue;
        }
        saturateGroups(px, lastResult, scaledSaturation);
        std::memcpy(line + x, lastResult, sizeof lastResult);
        std::memcpy(last, px, sizeof last);
        known = true;
    }
    for (; x < count; ++x)
        line[x] = Shared::saturatePixel(line[x], scaledSaturation);
}

void sepia(uint32_t *line, int count)
{
    for (int x = 0; x < count; ++x)
        line[x] = Shared::sepiaPixel(line[x]);
}

void graySepia(uint32_t *line, int count, const uint32_t *sepiaOfGray)
{
    int x = 0;
    for (; x + kFloatLanes <= count; x += kFloatLanes) {
        Ints px;
        std::memcpy(&px, line + x, sizeof px);
        const Ints red = (px >> 16) & 0xff, green = (px >> 8) & 0xff, blue = px & 0xff;
        // 11 R + 16 G + 5 B in shifts and adds: SSE2 has no 32-bit products.
        const Ints gray = ((red << 3) + (red << 1) + red + (green << 4) + (blue << 2) + blue) >> 5;
        const Ints colour = {int32_t(sepiaOfGray[gray[0]]), int32_t(sepiaOfGray[gray[1]]),
                             int32_t(sepiaOfGray[gray[2]]), int32_t(sepiaOfGray[gray[3]])};
        px = (px & int32_t(0xff000000u)) | colour;
        std::memcpy(line + x, &px, sizeof px);
    }
    for (; x < count; ++x) {
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

// Alpha seldom changes along a line: four pixels of the alpha met last take
// its result in one step, any others are looked up one by one.
void mapAlpha(uint32_t *line, int count, const uint8_t *table)
{
    auto one = [&](int x) { line[x] = (line[x] & 0x00ffffffu) | (uint32_t(table[line[x] >> 24]) << 24); };
    int x = 0;
    if (count >= kFloatLanes) {
        uint32_t alpha = line[0] & 0xff000000u;
        Ints from = Ints{} + int32_t(alpha);
        Ints to = Ints{} + int32_t(uint32_t(table[alpha >> 24]) << 24);
        for (; x + kFloatLanes <= count; x += kFloatLanes) {
            Ints px;
            std::memcpy(&px, line + x, sizeof px);
            if (allOf((px & int32_t(0xff000000u)) == from)) {
                px = (px & 0x00ffffff) | to;
                std::memcpy(line + x, &px, sizeof px);
                continue;
            }
            for (int i = 0; i < kFloatLanes; ++i)
                one(x + i);
            alpha = uint32_t(px[kFloatLanes - 1]) & 0xff000000u;
            from = Ints{} + int32_t(alpha);
            to = Ints{} + int32_t(uint32_t(table[alpha >> 24]) << 24);
        }
    }
    for (; x < count; ++x)
        one(x);
}

typedef uint8_t Bytes8 __attribute__((vector_size(8)));
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
typedef uint16_t Words __attribute__((vector_size(16)));

// Eight bytes, p[0], p[step], ..., as two vectors of floats; with step 2, p[15]
// is read too (the caller keeps it within the row). Widened through 16-bit
// lanes: GCC turns that into unpacks, a direct conversion into scalar steps.
inline void floatsOfBytes(const uint8_t *p, int step, Floats &low, Floats &high)
{
    Bytes8 bytes;
    if (step == 1) {
        std::memcpy(&bytes, p, sizeof bytes);
    } else {
        Bytes16 pairs;
        std::memcpy(&pairs, p, sizeof pairs);
        bytes = __builtin_shufflevector(pairs, pairs, 0, 2, 4, 6, 8, 10, 12, 14);
    }
    const Words words = __builtin_convertvector(bytes, Words);
    low = floats(__builtin_convertvector(__builtin_shufflevector(words, words, 0, 1, 2, 3), Ints));
    high = floats(__builtin_convertvector(__builtin_shufflevector(words, words, 4, 5, 6, 7), Ints));
}

// The largest magnitude any partial sum of a channel can reach.
inline int64_t sumBound(int32_t a, int32_t b, int32_t e, int32_t constant)
{
    return 255 * (std::abs(int64_t(a)) + std::abs(int64_t(b)) + std::abs(int64_t(e))) + std::abs(int64_t(constant));
}

// In floats, eight pixels at a time (SSE2 has no 32-bit products): the sums are
// whole numbers, exact in any order while below 2^24, and scaled by 1/256 and
// truncated they are the shift except below zero, where both clamp to 0.
void yuvToRgb(const uint8_t *luma, int lumaStep, const uint8_t *u, const uint8_t *v, int count,
              const YuvToRgbCoefficients &c, uint32_t *line)
{
    const int64_t bound = std::max({sumBound(c.luma, c.redFromV, 0, c.redConstant),
                                    sumBound(c.luma, c.greenFromU, c.greenFromV, c.greenConstant),
                                    sumBound(c.luma, c.blueFromU, 0, c.blueConstant)});
    int x = 0;
    if (bound < (int64_t(1) << 24)) {
        // Copied, or every store to the line would have them read again.
        const float lumaScale = float(c.luma), redFromV = float(c.redFromV), greenFromU = float(c.greenFromU),
                    greenFromV = float(c.greenFromV), blueFromU = float(c.blueFromU),
                    redConstant = float(c.redConstant), greenConstant = float(c.greenConstant),
                    blueConstant = float(c.blueConstant);
        auto level = [](Floats sum) {
            Ints value = truncated(sum * (1.0f / 256.0f));
            value &= ~(value >> 31);
            return (value | ((255 - value) >> 31)) & 255;
        };
        auto pixels = [&](Floats y, Floats cb, Floats cr) {
            const Floats l = y * lumaScale;
            const Ints red = level(l + cr * redFromV + redConstant);
            const Ints green = level(l - cb * greenFromU - cr * greenFromV + greenConstant);
            const Ints blue = level(l + cb * blueFromU + blueConstant);
            return int32_t(0xff000000u) | (red << 16) | (green << 8) | blue;
        };
        constexpr int kPixels = 2 * kFloatLanes;
        const int vectorEnd = lumaStep == 1 ? count : count - 1;
        for (; x + kPixels <= vectorEnd; x += kPixels) {
            Floats y[2], cb[2], cr[2];
            floatsOfBytes(luma + x * lumaStep, lumaStep, y[0], y[1]);
            floatsOfBytes(u + x, 1, cb[0], cb[1]);
            floatsOfBytes(v + x, 1, cr[0], cr[1]);
            const Ints result[2] = {pixels(y[0], cb[0], cr[0]), pixels(y[1], cb[1], cr[1])};
            std::memcpy(line + x, result, sizeof result);
        }
    }
    for (; x < count; ++x)
        line[x] = Shared::yuvPixel(luma[x * lumaStep], u[x], v[x], c);
}

} // namespace

const KernelTable &referenceKernels()
{
    static const KernelTable table = {
        exactBlur, packPixels, boxStrip, boxRowsToStrip, boxStripToRows,
        saturate, sepia, graySepia, mapColor, mapAlpha, yuvToRgb,
    };
    return table;
}

} // namespace ImageKernels
