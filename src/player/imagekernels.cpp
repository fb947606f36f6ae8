#include "imagekernels.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TRIMLET_X86 1
#endif

namespace ImageKernels {

namespace {

SimdLevel detectSimdLevel()
{
#ifdef TRIMLET_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return __builtin_cpu_supports("avx512bw") ? SimdLevel::Avx512 : SimdLevel::Avx2;
#endif
    return SimdLevel::Portable;
}

std::atomic<SimdLevel> &currentLevel()
{
    static std::atomic<SimdLevel> level{detectSimdLevel()};
    return level;
}

bool useAvx2()
{
    return currentLevel().load(std::memory_order_relaxed) >= SimdLevel::Avx2;
}

// Fixed-point form of a symmetric kernel: weights scaled to 2^15 with their
// sum exactly 2^15, so a uniform window reproduces its value exactly and the
// table below can then give what the double-precision sum would have given.
constexpr int kFixedShift = 15;
constexpr int kFixedOne = 1 << kFixedShift;

struct FixedKernel {
    int radius = 0;
    std::vector<int> weights;         // weights[d]: weight at distance d from the centre
    int centerLow = 0;                // the centre weight split in two so each half fits 16 bits
    int centerHigh = 0;
    std::vector<int32_t> pairWeights; // (weights[j], weights[j + 1]) packed for j = 1, 3, 5, ...
    uint8_t uniformResult[256] = {};
    // Small kernels are summed in double exactly as the plain convolution does:
    // their weights are too uneven for 16-bit fixed point.
    bool exactSums = false;
    std::vector<double> exact;
};

constexpr int kMaxExactRadius = 4;

FixedKernel makeFixedKernel(const QVector<double> &kernel)
{
    FixedKernel fixed;
    const int r = int(kernel.size()) / 2;
    fixed.radius = r;
    fixed.exactSums = r <= kMaxExactRadius;
    fixed.exact.assign(kernel.begin(), kernel.end());
    fixed.weights.resize(r + 1);
    int sum = 0;
    for (int d = 0; d <= r; ++d) {
        fixed.weights[d] = int(std::lround(kernel[r + d] * kFixedOne));
        sum += d == 0 ? fixed.weights[d] : 2 * fixed.weights[d];
    }
    fixed.weights[0] += kFixedOne - sum;
    fixed.centerLow = fixed.weights[0] - fixed.weights[0] / 2;
    fixed.centerHigh = fixed.weights[0] / 2;
    for (int j = 1; j <= r; j += 2) {
        const int a = fixed.weights[j];
        const int b = j + 1 <= r ? fixed.weights[j + 1] : 0;
        fixed.pairWeights.push_back(int32_t(uint32_t(a & 0xffff) | (uint32_t(b & 0xffff) << 16)));
    }
    for (int v = 0; v < 256; ++v) {
        double acc = 0.0;
        for (double w : kernel)
            acc += v * w;
        fixed.uniformResult[v] = uint8_t(qBound(0, int(acc), 255));
    }
    return fixed;
}

// A lane's window is uniform when the run of equal samples starting at its
// first tap covers all taps: runs[i] >= needed.
struct UniformRuns {
    const int16_t *runs = nullptr;
    int needed = 0;
};

void convolveExactPortable(const int16_t *const *taps, int begin, int end, const FixedKernel &k, int16_t *out)
{
    const int count = int(k.exact.size());
    for (int i = begin; i < end; ++i) {
        double acc = 0.0;
        for (int t = 0; t < count; ++t)
            acc += taps[t][i] * k.exact[t];
        out[i] = int16_t(qBound(0, int(acc), 255));
    }
}

// out[i] = sum over t of weight(t) * taps[t][i], for lanes [begin, end).
void convolvePortable(const int16_t *const *taps, int begin, int end, const FixedKernel &k, const UniformRuns &uniform,
                      int16_t *out)
{
    constexpr int Block = 64;
    const int r = k.radius;
    int32_t acc[Block];
    for (int i0 = begin; i0 < end; i0 += Block) {
        const int m = std::min(Block, end - i0);
        const int16_t *c = taps[r] + i0;
        for (int i = 0; i < m; ++i)
            acc[i] = c[i] * k.weights[0];
        for (int d = 1; d <= r; ++d) {
            const int16_t *a = taps[r - d] + i0;
            const int16_t *b = taps[r + d] + i0;
            const int w = k.weights[d];
            for (int i = 0; i < m; ++i)
                acc[i] += (a[i] + b[i]) * w;
        }
        for (int i = 0; i < m; ++i) {
            int value = acc[i] >> kFixedShift;
            if ((acc[i] & (kFixedOne - 1)) == 0 && uniform.runs[i0 + i] >= uniform.needed)
                value = k.uniformResult[value];
            out[i0 + i] = int16_t(value);
        }
    }
}

void fixUniformLanes(int16_t *values, const int16_t *flags, int count, const FixedKernel &k)
{
    for (int l = 0; l < count; ++l) {
        if (flags[l])
            values[l] = k.uniformResult[values[l]];
    }
}

#ifdef TRIMLET_X86
__attribute__((target("avx2"))) void convolveAvx2(const int16_t *const *taps, int begin, int end, const FixedKernel &k,
                                                    const UniformRuns &uniform, int16_t *out)
{
    const int r = k.radius;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i fractionMask = _mm256_set1_epi32(kFixedOne - 1);
    const __m256i centerWeights =
        _mm256_set1_epi32(int32_t(uint32_t(k.centerLow) | (uint32_t(k.centerHigh) << 16)));
    const __m256i neededMinusOne = _mm256_set1_epi16(int16_t(uniform.needed - 1));
    int i = begin;
    for (; i + 16 <= end; i += 16) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(taps[r] + i));
        // madd multiplies neighbouring 16-bit lanes by a weight pair and adds them:
        // interleave two operands so each 32-bit lane sums two taps of one sample.
        __m256i accLow = _mm256_madd_epi16(_mm256_unpacklo_epi16(c, c), centerWeights);
        __m256i accHigh = _mm256_madd_epi16(_mm256_unpackhi_epi16(c, c), centerWeights);
        int pair = 0;
        for (int j = 1; j <= r; j += 2, ++pair) {
            const __m256i a = _mm256_add_epi16(
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(taps[r - j] + i)),
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(taps[r + j] + i)));
            __m256i b = zero;
            if (j + 1 <= r) {
                b = _mm256_add_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(taps[r - j - 1] + i)),
                                     _mm256_loadu_si256(reinterpret_cast<const __m256i *>(taps[r + j + 1] + i)));
            }
            const __m256i w = _mm256_set1_epi32(k.pairWeights[pair]);
            accLow = _mm256_add_epi32(accLow, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), w));
            accHigh = _mm256_add_epi32(accHigh, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), w));
        }
        // The pack undoes the unpack's lane order.
        __m256i result = _mm256_packs_epi32(_mm256_srai_epi32(accLow, kFixedShift),
                                            _mm256_srai_epi32(accHigh, kFixedShift));
        const __m256i exact = _mm256_packs_epi32(_mm256_cmpeq_epi32(_mm256_and_si256(accLow, fractionMask), zero),
                                                 _mm256_cmpeq_epi32(_mm256_and_si256(accHigh, fractionMask), zero));
        if (_mm256_movemask_epi8(exact)) {
            const __m256i runs = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(uniform.runs + i));
            const __m256i fix = _mm256_and_si256(exact, _mm256_cmpgt_epi16(runs, neededMinusOne));
            if (_mm256_movemask_epi8(fix)) {
                alignas(32) int16_t values[16];
                alignas(32) int16_t flags[16];
                _mm256_store_si256(reinterpret_cast<__m256i *>(values), result);
                _mm256_store_si256(reinterpret_cast<__m256i *>(flags), fix);
                fixUniformLanes(values, flags, 16, k);
                result = _mm256_load_si256(reinterpret_cast<const __m256i *>(values));
            }
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), result);
    }
    if (i < end)
        convolvePortable(taps, i, end, k, uniform, out);
}

__attribute__((target("avx512bw"))) void convolveAvx512(const int16_t *const *taps, int lanes, const FixedKernel &k,
                                                          const UniformRuns &uniform, int16_t *out)
{
    const int r = k.radius;
    const __m512i zero = _mm512_setzero_si512();
    const __m512i fractionMask = _mm512_set1_epi32(kFixedOne - 1);
    const __m512i centerWeights =
        _mm512_set1_epi32(int32_t(uint32_t(k.centerLow) | (uint32_t(k.centerHigh) << 16)));
    const __m512i neededMinusOne = _mm512_set1_epi16(int16_t(uniform.needed - 1));
    int i = 0;
    for (; i + 32 <= lanes; i += 32) {
        const __m512i c = _mm512_loadu_si512(taps[r] + i);
        __m512i accLow = _mm512_madd_epi16(_mm512_unpacklo_epi16(c, c), centerWeights);
        __m512i accHigh = _mm512_madd_epi16(_mm512_unpackhi_epi16(c, c), centerWeights);
        int pair = 0;
        for (int j = 1; j <= r; j += 2, ++pair) {
            const __m512i a = _mm512_add_epi16(_mm512_loadu_si512(taps[r - j] + i), _mm512_loadu_si512(taps[r + j] + i));
            __m512i b = zero;
            if (j + 1 <= r)
                b = _mm512_add_epi16(_mm512_loadu_si512(taps[r - j - 1] + i), _mm512_loadu_si512(taps[r + j + 1] + i));
            const __m512i w = _mm512_set1_epi32(k.pairWeights[pair]);
            accLow = _mm512_add_epi32(accLow, _mm512_madd_epi16(_mm512_unpacklo_epi16(a, b), w));
            accHigh = _mm512_add_epi32(accHigh, _mm512_madd_epi16(_mm512_unpackhi_epi16(a, b), w));
        }
        // The sums are never negative: a logical shift is the truncation.
        __m512i result = _mm512_packs_epi32(_mm512_maskz_srli_epi32(0xffff, accLow, kFixedShift),
                                            _mm512_maskz_srli_epi32(0xffff, accHigh, kFixedShift));
        const __mmask16 exactLow = _mm512_cmpeq_epi32_mask(_mm512_and_si512(accLow, fractionMask), zero);
        const __mmask16 exactHigh = _mm512_cmpeq_epi32_mask(_mm512_and_si512(accHigh, fractionMask), zero);
        if (exactLow | exactHigh) {
            // Same lane order as the pack: expand the two masks to words and pack them.
            const __m512i exact = _mm512_packs_epi32(_mm512_maskz_mov_epi32(exactLow, _mm512_set1_epi32(-1)), _mm512_maskz_mov_epi32(exactHigh, _mm512_set1_epi32(-1)));
            const __m512i runs = _mm512_loadu_si512(uniform.runs + i);
            const __mmask32 fix =
                _mm512_test_epi16_mask(exact, exact) & _mm512_cmpgt_epi16_mask(runs, neededMinusOne);
            if (fix) {
                alignas(64) int16_t values[32];
                alignas(64) int16_t flags[32];
                _mm512_store_si512(values, result);
                _mm512_store_si512(flags, _mm512_maskz_mov_epi16(fix, _mm512_set1_epi16(-1)));
                fixUniformLanes(values, flags, 32, k);
                result = _mm512_load_si512(values);
            }
        }
        _mm512_storeu_si512(out + i, result);
    }
    if (i < lanes)
        convolveAvx2(taps, i, lanes, k, uniform, out);
}
__attribute__((target("avx2"))) void convolveExactAvx2(const int16_t *const *taps, int lanes, const FixedKernel &k,
                                                         int16_t *out)
{
    const int count = int(k.exact.size());
    const __m128i maxByte = _mm_set1_epi32(255);
    int i = 0;
    for (; i + 4 <= lanes; i += 4) {
        __m256d acc = _mm256_setzero_pd();
        for (int t = 0; t < count; ++t) {
            const __m128i samples = _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(taps[t] + i)));
            acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_cvtepi32_pd(samples), _mm256_set1_pd(k.exact[t])));
        }
        const __m128i values = _mm_max_epi32(_mm_min_epi32(_mm256_cvttpd_epi32(acc), maxByte), _mm_setzero_si128());
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + i), _mm_packs_epi32(values, values));
    }
    if (i < lanes)
        convolveExactPortable(taps, i, lanes, k, out);
}
#endif

void convolve(const int16_t *const *taps, int lanes, const FixedKernel &k, const UniformRuns &uniform, int16_t *out)
{
    const SimdLevel level = currentLevel().load(std::memory_order_relaxed);
    if (k.exactSums) {
#ifdef TRIMLET_X86
        if (level >= SimdLevel::Avx2) {
            convolveExactAvx2(taps, lanes, k, out);
            return;
        }
#endif
        convolveExactPortable(taps, 0, lanes, k, out);
        return;
    }
#ifdef TRIMLET_X86
    if (level == SimdLevel::Avx512) {
        convolveAvx512(taps, lanes, k, uniform, out);
        return;
    }
    if (level == SimdLevel::Avx2) {
        convolveAvx2(taps, 0, lanes, k, uniform, out);
        return;
    }
#endif
    convolvePortable(taps, 0, lanes, k, uniform, out);
}

// runs[i]: how many samples from i on equal samples[i] (capped to 16 bits).
void runLengths(const int16_t *samples, int count, int16_t *runs)
{
    int16_t run = 0;
    for (int i = count - 1; i >= 0; --i) {
        run = (i + 1 < count && samples[i] == samples[i + 1] && run < INT16_MAX) ? int16_t(run + 1) : int16_t(1);
        runs[i] = run;
    }
}

bool allOpaque(const QImage &image)
{
    if (image.format() == QImage::Format_RGB32)
        return true;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        QRgb all = 0xff000000u;
        for (int x = 0; x < image.width(); ++x)
            all &= line[x];
        if ((all & 0xff000000u) != 0xff000000u)
            return false;
    }
    return true;
}

// Same float operations, in the same order, as QColor's RGB -> HSV -> RGB round
// trip through getHsv/setHsv, so the results match it exactly.
inline int roundPositive(float value) { return int(value + 0.5f); }
inline int divide257(int value)
{
    value += 128;
    return (value - (value >> 8)) >> 8;
}

QRgb saturatePixel(QRgb pixel, const int32_t *scaledSaturation)
{
    const float r = float(qRed(pixel) * 257) / float(USHRT_MAX);
    const float g = float(qGreen(pixel) * 257) / float(USHRT_MAX);
    const float b = float(qBlue(pixel) * 257) / float(USHRT_MAX);
    const float maximum = std::max(std::max(r, g), b);
    const float minimum = std::min(std::min(r, g), b);
    const float delta = maximum - minimum;
    const int value = divide257(roundPositive(maximum * USHRT_MAX));
    if (delta <= 0.00001f)
        return qRgb(value, value, value);
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
        return qRgb(value, value, value);

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
    case 0: return qRgb(v8, w8, p8);
    case 1: return qRgb(w8, v8, p8);
    case 2: return qRgb(p8, v8, w8);
    case 3: return qRgb(p8, w8, v8);
    case 4: return qRgb(w8, p8, v8);
    default: return qRgb(v8, p8, w8);
    }
}

#ifdef TRIMLET_X86
__attribute__((target("avx2"))) inline __m256i divide257Avx2(__m256i value)
{
    value = _mm256_add_epi32(value, _mm256_set1_epi32(128));
    return _mm256_srli_epi32(_mm256_sub_epi32(value, _mm256_srli_epi32(value, 8)), 8);
}

__attribute__((target("avx2"))) inline __m256i roundPositiveAvx2(__m256 value)
{
    return _mm256_cvttps_epi32(_mm256_add_ps(value, _mm256_set1_ps(0.5f)));
}

__attribute__((target("avx2"))) inline __m256i selectInt(__m256i mask, __m256i ifTrue, __m256i ifFalse)
{
    return _mm256_blendv_epi8(ifFalse, ifTrue, mask);
}

__attribute__((target("avx2"))) void scaleSaturationAvx2(QRgb *pixels, int count, const int32_t *scaledSaturation)
{
    const __m256i byteMask = _mm256_set1_epi32(0xff);
    const __m256i k257 = _mm256_set1_epi32(257);
    const __m256 k65535 = _mm256_set1_ps(float(USHRT_MAX));
    const __m256 one = _mm256_set1_ps(1.0f);
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(pixels + i));
        const __m256 r = _mm256_div_ps(
            _mm256_cvtepi32_ps(_mm256_mullo_epi32(_mm256_and_si256(_mm256_srli_epi32(px, 16), byteMask), k257)),
            k65535);
        const __m256 g = _mm256_div_ps(
            _mm256_cvtepi32_ps(_mm256_mullo_epi32(_mm256_and_si256(_mm256_srli_epi32(px, 8), byteMask), k257)),
            k65535);
        const __m256 b =
            _mm256_div_ps(_mm256_cvtepi32_ps(_mm256_mullo_epi32(_mm256_and_si256(px, byteMask), k257)), k65535);
        const __m256 maximum = _mm256_max_ps(_mm256_max_ps(r, g), b);
        const __m256 minimum = _mm256_min_ps(_mm256_min_ps(r, g), b);
        const __m256 delta = _mm256_sub_ps(maximum, minimum);
        const __m256i value = divide257Avx2(roundPositiveAvx2(_mm256_mul_ps(maximum, k65535)));
        const __m256i grey =
            _mm256_castps_si256(_mm256_cmp_ps(delta, _mm256_set1_ps(0.00001f), _CMP_LE_OQ));
        // Grey lanes divide by zero here; their results are replaced below.
        const __m256i saturation8 =
            divide257Avx2(roundPositiveAvx2(_mm256_mul_ps(_mm256_div_ps(delta, maximum), k65535)));

        const __m256 redIsMax = _mm256_cmp_ps(r, maximum, _CMP_EQ_OQ);
        const __m256 greenIsMax = _mm256_andnot_ps(redIsMax, _mm256_cmp_ps(g, maximum, _CMP_EQ_OQ));
        __m256 numerator = _mm256_blendv_ps(_mm256_sub_ps(r, g), _mm256_sub_ps(b, r), greenIsMax);
        numerator = _mm256_blendv_ps(numerator, _mm256_sub_ps(g, b), redIsMax);
        __m256 offset = _mm256_blendv_ps(_mm256_set1_ps(4.0f), _mm256_set1_ps(2.0f), greenIsMax);
        offset = _mm256_blendv_ps(offset, _mm256_setzero_ps(), redIsMax);
        __m256 hue = _mm256_add_ps(offset, _mm256_div_ps(numerator, delta));
        hue = _mm256_mul_ps(hue, _mm256_set1_ps(60.0f));
        hue = _mm256_add_ps(hue, _mm256_and_ps(_mm256_cmp_ps(hue, _mm256_setzero_ps(), _CMP_LT_OQ),
                                               _mm256_set1_ps(360.0f)));
        const __m256i hue100 = roundPositiveAvx2(_mm256_mul_ps(hue, _mm256_set1_ps(100.0f)));
        // hue100 / 100 for 0..36000, then 360 -> 0.
        __m256i hueDegrees = _mm256_srli_epi32(_mm256_mullo_epi32(hue100, _mm256_set1_epi32(5243)), 19);
        hueDegrees = _mm256_andnot_si256(_mm256_cmpeq_epi32(hueDegrees, _mm256_set1_epi32(360)), hueDegrees);

        const __m256i safeSaturation = _mm256_andnot_si256(grey, saturation8);
        const __m256i newSaturation = _mm256_i32gather_epi32(scaledSaturation, safeSaturation, 4);
        const __m256i achromatic =
            _mm256_or_si256(grey, _mm256_cmpeq_epi32(newSaturation, _mm256_setzero_si256()));

        const __m256 h = _mm256_div_ps(_mm256_cvtepi32_ps(_mm256_mullo_epi32(hueDegrees, _mm256_set1_epi32(100))),
                                       _mm256_set1_ps(6000.0f));
        const __m256 s = _mm256_div_ps(_mm256_cvtepi32_ps(_mm256_mullo_epi32(newSaturation, k257)), k65535);
        const __m256 v = _mm256_div_ps(_mm256_cvtepi32_ps(_mm256_mullo_epi32(value, k257)), k65535);
        const __m256i sector = _mm256_cvttps_epi32(h);
        const __m256 f = _mm256_sub_ps(h, _mm256_cvtepi32_ps(sector));
        const __m256 p = _mm256_mul_ps(v, _mm256_sub_ps(one, s));
        const __m256 q = _mm256_mul_ps(v, _mm256_sub_ps(one, _mm256_mul_ps(s, f)));
        const __m256 t = _mm256_mul_ps(v, _mm256_sub_ps(one, _mm256_mul_ps(s, _mm256_sub_ps(one, f))));
        const __m256i odd = _mm256_cmpeq_epi32(_mm256_and_si256(sector, _mm256_set1_epi32(1)), _mm256_set1_epi32(1));
        const __m256 w = _mm256_blendv_ps(t, q, _mm256_castsi256_ps(odd));
        const __m256i v8 = divide257Avx2(roundPositiveAvx2(_mm256_mul_ps(v, k65535)));
        const __m256i w8 = divide257Avx2(roundPositiveAvx2(_mm256_mul_ps(w, k65535)));
        const __m256i p8 = divide257Avx2(roundPositiveAvx2(_mm256_mul_ps(p, k65535)));

        const __m256i s0 = _mm256_cmpeq_epi32(sector, _mm256_set1_epi32(0));
        const __m256i s1 = _mm256_cmpeq_epi32(sector, _mm256_set1_epi32(1));
        const __m256i s2 = _mm256_cmpeq_epi32(sector, _mm256_set1_epi32(2));
        const __m256i s3 = _mm256_cmpeq_epi32(sector, _mm256_set1_epi32(3));
        const __m256i s4 = _mm256_cmpeq_epi32(sector, _mm256_set1_epi32(4));
        const __m256i s5 = _mm256_cmpeq_epi32(sector, _mm256_set1_epi32(5));
        __m256i red = selectInt(_mm256_or_si256(s0, s5), v8, selectInt(_mm256_or_si256(s1, s4), w8, p8));
        __m256i green = selectInt(_mm256_or_si256(s1, s2), v8, selectInt(_mm256_or_si256(s0, s3), w8, p8));
        __m256i blue = selectInt(_mm256_or_si256(s3, s4), v8, selectInt(_mm256_or_si256(s2, s5), w8, p8));
        red = selectInt(achromatic, value, red);
        green = selectInt(achromatic, value, green);
        blue = selectInt(achromatic, value, blue);
        const __m256i result = _mm256_or_si256(
            _mm256_or_si256(_mm256_set1_epi32(int(0xff000000u)), _mm256_slli_epi32(red, 16)),
            _mm256_or_si256(_mm256_slli_epi32(green, 8), blue));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pixels + i), result);
    }
    for (; i < count; ++i)
        pixels[i] = saturatePixel(pixels[i], scaledSaturation);
}

// The same products and sums, in the same order, as the scalar formula.
__attribute__((target("avx2"))) inline __m128i sepiaChannelAvx2(__m256d r, __m256d g, __m256d b, double kr, double kg,
                                                                double kb, __m128i maxByte)
{
    const __m256d sum =
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(kr), r), _mm256_mul_pd(_mm256_set1_pd(kg), g)),
                      _mm256_mul_pd(_mm256_set1_pd(kb), b));
    return _mm_min_epi32(_mm256_cvttpd_epi32(sum), maxByte);
}

__attribute__((target("avx2"))) void sepiaAvx2(QRgb *pixels, int count)
{
    const __m128i byteMask = _mm_set1_epi32(0xff);
    const __m128i maxByte = _mm_set1_epi32(255);
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pixels + i));
        const __m256d r = _mm256_cvtepi32_pd(_mm_and_si128(_mm_srli_epi32(px, 16), byteMask));
        const __m256d g = _mm256_cvtepi32_pd(_mm_and_si128(_mm_srli_epi32(px, 8), byteMask));
        const __m256d b = _mm256_cvtepi32_pd(_mm_and_si128(px, byteMask));
        const __m128i red = sepiaChannelAvx2(r, g, b, 0.393, 0.769, 0.189, maxByte);
        const __m128i green = sepiaChannelAvx2(r, g, b, 0.349, 0.686, 0.168, maxByte);
        const __m128i blue = sepiaChannelAvx2(r, g, b, 0.272, 0.534, 0.131, maxByte);
        const __m128i alpha = _mm_andnot_si128(_mm_set1_epi32(0x00ffffff), px);
        const __m128i result = _mm_or_si128(_mm_or_si128(alpha, _mm_slli_epi32(red, 16)),
                                            _mm_or_si128(_mm_slli_epi32(green, 8), blue));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(pixels + i), result);
    }
    for (; i < count; ++i) {
        const QRgb p = pixels[i];
        const int r = qRed(p), g = qGreen(p), b = qBlue(p);
        pixels[i] = qRgba(qMin(int(0.393 * r + 0.769 * g + 0.189 * b), 255),
                          qMin(int(0.349 * r + 0.686 * g + 0.168 * b), 255),
                          qMin(int(0.272 * r + 0.534 * g + 0.131 * b), 255), qAlpha(p));
    }
}
#endif

QRgb sepiaPixel(QRgb p)
{
    const int r = qRed(p), g = qGreen(p), b = qBlue(p);
    return qRgba(qMin(int(0.393 * r + 0.769 * g + 0.189 * b), 255), qMin(int(0.349 * r + 0.686 * g + 0.168 * b), 255),
                 qMin(int(0.272 * r + 0.534 * g + 0.131 * b), 255), qAlpha(p));
}

// Box sizes whose three-fold repetition has about the variance of the Gaussian.
void boxRadiiForSigma(double sigma, int radii[3])
{
    const double ideal = std::sqrt(12.0 * sigma * sigma / 3.0 + 1.0);
    int lower = int(std::floor(ideal));
    if (lower % 2 == 0)
        --lower;
    const int upper = lower + 2;
    const double m = std::round((12.0 * sigma * sigma - 3.0 * lower * lower - 12.0 * lower - 9.0) / (-4.0 * lower - 4.0));
    for (int i = 0; i < 3; ++i)
        radii[i] = ((i < m ? lower : upper) - 1) / 2;
}

// One running-box pass over `count` 4-channel samples spaced `stride` apart;
// edges repeat.
void boxPass(const uint8_t *src, uint8_t *dst, int count, int stride, int radius)
{
    if (radius <= 0) {
        for (int i = 0; i < count; ++i)
            std::copy(src + i * stride, src + i * stride + 4, dst + i * stride);
        return;
    }
    const int width = 2 * radius + 1;
    const uint32_t reciprocal = uint32_t((1u << 24) / width + 1);
    uint32_t sum[4] = {0, 0, 0, 0};
    auto at = [&](int i) { return src + std::clamp(i, 0, count - 1) * stride; };
    for (int i = -radius; i <= radius; ++i) {
        const uint8_t *p = at(i);
        for (int c = 0; c < 4; ++c)
            sum[c] += p[c];
    }
    for (int i = 0; i < count; ++i) {
        uint8_t *out = dst + i * stride;
        for (int c = 0; c < 4; ++c)
            out[c] = uint8_t((uint64_t(sum[c]) * reciprocal) >> 24);
        const uint8_t *add = at(i + radius + 1);
        const uint8_t *drop = at(i - radius);
        for (int c = 0; c < 4; ++c)
            sum[c] += add[c] - drop[c];
    }
}

// Vertical running-box pass done row by row (column sums) to stay cache friendly.
void boxPassVertical(const QImage &src, QImage &dst, int radius)
{
    const int width = src.width();
    const int height = src.height();
    const int lanes = 4 * width;
    if (radius <= 0) {
        for (int y = 0; y < height; ++y)
            std::copy(src.constScanLine(y), src.constScanLine(y) + lanes, dst.scanLine(y));
        return;
    }
    const uint32_t reciprocal = uint32_t((1u << 24) / (2 * radius + 1) + 1);
    std::vector<uint32_t> sum(lanes, 0);
    auto row = [&](int y) { return src.constScanLine(std::clamp(y, 0, height - 1)); };
    for (int y = -radius; y <= radius; ++y) {
        const uint8_t *p = row(y);
        for (int i = 0; i < lanes; ++i)
            sum[i] += p[i];
    }
    for (int y = 0; y < height; ++y) {
        uint8_t *out = dst.scanLine(y);
        for (int i = 0; i < lanes; ++i)
            out[i] = uint8_t((uint64_t(sum[i]) * reciprocal) >> 24);
        const uint8_t *add = row(y + radius + 1);
        const uint8_t *drop = row(y - radius);
        for (int i = 0; i < lanes; ++i)
            sum[i] += add[i] - drop[i];
    }
}

} // namespace

SimdLevel supportedSimdLevel()
{
    static const SimdLevel level = detectSimdLevel();
    return level;
}

SimdLevel simdLevel()
{
    return currentLevel().load();
}

SimdLevel setSimdLevel(SimdLevel level)
{
    level = std::min(level, supportedSimdLevel());
    currentLevel().store(level);
    return level;
}

QImage gaussianBlur(const QImage &image, const QVector<double> &kernel)
{
    if (image.isNull() || kernel.size() < 1 || kernel.size() % 2 == 0)
        return image;
    const FixedKernel fixed = makeFixedKernel(kernel);
    const int r = fixed.radius;
    const int width = image.width();
    const int height = image.height();
    const bool opaque = allOpaque(image);
    const int planes = opaque ? 3 : 4;
    static constexpr int shifts[4] = {16, 8, 0, 24};

    std::vector<int16_t> horizontal(size_t(planes) * width * height);
    std::vector<int16_t> padded(size_t(width) + 2 * r);
    std::vector<int16_t> paddedRuns(padded.size());
    std::vector<const int16_t *> taps(2 * r + 1);
    UniformRuns uniform;
    for (int y = 0; y < height; ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int p = 0; p < planes; ++p) {
            const int shift = shifts[p];
            const int16_t first = int16_t((line[0] >> shift) & 0xff);
            const int16_t last = int16_t((line[width - 1] >> shift) & 0xff);
            std::fill(padded.begin(), padded.begin() + r, first);
            for (int x = 0; x < width; ++x)
                padded[r + x] = int16_t((line[x] >> shift) & 0xff);
            std::fill(padded.begin() + r + width, padded.end(), last);
            for (int k = 0; k <= 2 * r; ++k)
                taps[k] = padded.data() + k;
            if (!fixed.exactSums)
                runLengths(padded.data(), int(padded.size()), paddedRuns.data());
            uniform.runs = paddedRuns.data();
            uniform.needed = 2 * r + 1;
            convolve(taps.data(), width, fixed, uniform, horizontal.data() + (size_t(p) * height + y) * width);
        }
    }

    QImage result(width, height, image.format());
    if (result.isNull())
        return {};
    // An opaque input keeps a constant alpha: what a uniform 255 becomes after
    // two passes (RGB32 must stay 0xff).
    const uint32_t constantAlpha = image.format() == QImage::Format_RGB32
        ? 0xffu
        : fixed.uniformResult[fixed.uniformResult[255]];
    // Vertical runs of equal samples: runsDown[y][i] counts rows from y on.
    std::vector<int16_t> runsDown;
    if (!fixed.exactSums) {
        runsDown.resize(horizontal.size());
        for (int p = 0; p < planes; ++p) {
            const int16_t *plane = horizontal.data() + size_t(p) * height * width;
            int16_t *runs = runsDown.data() + size_t(p) * height * width;
            std::fill(runs + size_t(height - 1) * width, runs + size_t(height) * width, int16_t(1));
            for (int y = height - 2; y >= 0; --y) {
                const int16_t *row = plane + size_t(y) * width;
                const int16_t *below = row + width;
                const int16_t *belowRuns = runs + size_t(y + 1) * width;
                int16_t *rowRuns = runs + size_t(y) * width;
                for (int x = 0; x < width; ++x)
                    rowRuns[x] = row[x] == below[x] ? int16_t(std::min(belowRuns[x] + 1, int(INT16_MAX))) : int16_t(1);
            }
        }
    }
    std::vector<int16_t> rows(size_t(planes) * width);
    for (int y = 0; y < height; ++y) {
        const int top = std::max(0, y - r);
        uniform.needed = std::min(height - 1, y + r) - top + 1;
        for (int p = 0; p < planes; ++p) {
            const int16_t *plane = horizontal.data() + size_t(p) * height * width;
            for (int k = 0; k <= 2 * r; ++k)
                taps[k] = plane + size_t(std::clamp(y + k - r, 0, height - 1)) * width;
            uniform.runs = fixed.exactSums ? nullptr : runsDown.data() + (size_t(p) * height + top) * width;
            convolve(taps.data(), width, fixed, uniform, rows.data() + size_t(p) * width);
        }
        QRgb *out = reinterpret_cast<QRgb *>(result.scanLine(y));
        const int16_t *red = rows.data();
        const int16_t *green = red + width;
        const int16_t *blue = green + width;
        const int16_t *alpha = opaque ? nullptr : blue + width;
        for (int x = 0; x < width; ++x) {
            const uint32_t a = alpha ? uint32_t(alpha[x]) : constantAlpha;
            out[x] = (a << 24) | (uint32_t(red[x]) << 16) | (uint32_t(green[x]) << 8) | uint32_t(blue[x]);
        }
    }
    return result;
}

void scaleSaturation(QImage &image, double factor)
{
    int32_t scaled[256];
    for (int s = 0; s < 256; ++s)
        scaled[s] = qBound(0, int(s * factor), 255);
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
#ifdef TRIMLET_X86
        if (useAvx2()) {
            scaleSaturationAvx2(line, width, scaled);
            continue;
        }
#endif
        for (int x = 0; x < width; ++x)
            line[x] = saturatePixel(line[x], scaled);
    }
}

void mapColorChannels(QImage &image, const uint8_t table[256])
{
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const QRgb p = line[x];
            line[x] = (p & 0xff000000u) | (uint32_t(table[(p >> 16) & 0xff]) << 16)
                | (uint32_t(table[(p >> 8) & 0xff]) << 8) | table[p & 0xff];
        }
    }
}

void mapAlpha(QImage &image, const uint8_t table[256])
{
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = (line[x] & 0x00ffffffu) | (uint32_t(table[line[x] >> 24]) << 24);
    }
}

void grayscale(QImage &image)
{
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const QRgb p = line[x];
            const uint32_t gray = (11 * ((p >> 16) & 0xff) + 16 * ((p >> 8) & 0xff) + 5 * (p & 0xff)) >> 5;
            line[x] = (p & 0xff000000u) | (gray << 16) | (gray << 8) | gray;
        }
    }
}

void sepia(QImage &image)
{
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
#ifdef TRIMLET_X86
        if (useAvx2()) {
            sepiaAvx2(line, width);
            continue;
        }
#endif
        for (int x = 0; x < width; ++x)
            line[x] = sepiaPixel(line[x]);
    }
}

QImage boxBlur(const QImage &image, double sigma)
{
    if (image.isNull() || sigma <= 0.0)
        return image;
    int radii[3];
    boxRadiiForSigma(sigma, radii);
    const int width = image.width();
    const int height = image.height();
    QImage a = image.copy();
    QImage b(width, height, image.format());
    if (a.isNull() || b.isNull())
        return {};
    for (int pass = 0; pass < 3; ++pass) {
        for (int y = 0; y < height; ++y)
            boxPass(a.constScanLine(y), b.scanLine(y), width, 4, radii[pass]);
        std::swap(a, b);
    }
    for (int pass = 0; pass < 3; ++pass) {
        boxPassVertical(a, b, radii[pass]);
        std::swap(a, b);
    }
    return a;
}

} // namespace ImageKernels
