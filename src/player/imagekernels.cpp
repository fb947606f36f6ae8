#include "imagekernels.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
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
        return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") ? SimdLevel::Avx512
                                                                                         : SimdLevel::Avx2;
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
    std::vector<int32_t> uniformResult32; // the same, for gathers
    std::vector<double> exact;             // the kernel itself
    // The first pass truncates exactly as the double sums do: the second pass's
    // flat windows would otherwise turn a one-level slip into two. Its weights
    // are scaled to 2^30 (summing to exactly 2^30) and used as two 15-bit
    // halves; a sum closer than `slack` to a whole level is summed again in double.
    std::vector<int64_t> fine;             // fine[d]: weight at distance d
    int fineCenterLow = 0;                 // high half of the centre weight, split so each part fits 16 bits
    int fineCenterHigh = 0;
    int fineCenterRest = 0;                // low half of the centre weight
    std::vector<int32_t> finePairsHigh;    // high halves of (fine[j], fine[j + 1]), packed like pairWeights
    std::vector<int32_t> finePairsRest;    // their low halves
    uint32_t slack = 0;                    // in units of 2^-30
    bool fineFitsLanes = false;            // the halves' sums fit 32-bit lanes
};

constexpr int kFineShift = 30;
constexpr int64_t kFineOne = int64_t(1) << kFineShift;
constexpr uint32_t kFineMask = uint32_t(kFineOne - 1);

// The first cache-line aligned element of a buffer of at least `count` elements.
template <typename T>
T *alignedBuffer(std::vector<T> &buffer, size_t count)
{
    constexpr size_t line = 64;
    buffer.resize(count + line / sizeof(T));
    const auto address = reinterpret_cast<uintptr_t>(buffer.data());
    return buffer.data() + ((line - address % line) % line) / sizeof(T);
}

FixedKernel makeFixedKernel(const QVector<double> &kernel)
{
    FixedKernel fixed;
    const int r = int(kernel.size()) / 2;
    fixed.radius = r;
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
    fixed.fine.resize(r + 1);
    int64_t fineSum = 0;
    for (int d = 0; d <= r; ++d) {
        fixed.fine[d] = std::llround(kernel[r + d] * double(kFineOne));
        fineSum += d == 0 ? fixed.fine[d] : 2 * fixed.fine[d];
    }
    fixed.fine[0] += kFineOne - fineSum;
    const auto high = [](int64_t w) { return int(w >> 15); };
    const auto rest = [](int64_t w) { return int(w & 0x7fff); };
    fixed.fineCenterLow = high(fixed.fine[0]) - high(fixed.fine[0]) / 2;
    fixed.fineCenterHigh = high(fixed.fine[0]) / 2;
    fixed.fineCenterRest = rest(fixed.fine[0]);
    for (int j = 1; j <= r; j += 2) {
        const int64_t a = fixed.fine[j];
        const int64_t b = j + 1 <= r ? fixed.fine[j + 1] : 0;
        fixed.finePairsHigh.push_back(int32_t(uint32_t(high(a) & 0xffff) | (uint32_t(high(b) & 0xffff) << 16)));
        fixed.finePairsRest.push_back(int32_t(uint32_t(rest(a)) | (uint32_t(rest(b)) << 16)));
    }
    // How far the sum of the scaled weights can be from the double sum: the
    // weights' rounding over samples of at most 255, and the double sum's own
    // rounding (a few ulps of 255 per term).
    double weightError = 0.0;
    for (int t = 0; t < int(kernel.size()); ++t)
        weightError += std::fabs(kernel[t] - double(fixed.fine[std::abs(t - r)]) / double(kFineOne));
    const double bound = 255.0 * weightError + 4.0 * kernel.size() * 255.0 * std::ldexp(1.0, -52);
    int64_t restTotal = 0;
    for (int t = 0; t < int(kernel.size()); ++t)
        restTotal += rest(fixed.fine[std::abs(t - r)]);
    fixed.fineFitsLanes = 255 * restTotal + kFineOne < (int64_t(1) << 32);
    fixed.slack = uint32_t(std::min(std::ceil(bound * double(kFineOne)) + 2.0, double(kFineOne / 4)));
    for (int v = 0; v < 256; ++v) {
        double acc = 0.0;
        for (double w : kernel)
            acc += v * w;
        fixed.uniformResult[v] = uint8_t(qBound(0, int(acc), 255));
    }
    fixed.uniformResult32.assign(fixed.uniformResult, fixed.uniformResult + 256);
    return fixed;
}


// acc[i] = the sum over lane i0 + i's window, weights[d] at distance d (the
// two sides added first), for m lanes.
template <typename Sum, typename Weight>
void foldedSums(const int16_t *const *taps, int r, int i0, int m, const std::vector<Weight> &weights, Sum *acc)
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
void convolvePortable(const int16_t *const *taps, int begin, int end, const FixedKernel &k, int16_t *out)
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

// One output of the double-precision convolution, summed in the kernel's order.
// Never inlined into the AVX-512 code: there the compiler would fuse the
// multiply-adds, which round differently.
template <typename Sample>
__attribute__((noinline)) int16_t exactLevel(const FixedKernel &k, Sample sample)
{
    double acc = 0.0;
    for (int t = 0; t < int(k.exact.size()); ++t)
        acc += sample(t - k.radius) * k.exact[t];
    return int16_t(qBound(0, int(acc), 255));
}

// The level of a first-pass sum in units of 2^-30, or -1 where it is too close
// to a whole level to tell (flat windows among them: their sums are whole).
inline int preciseLevel(int64_t sum, const FixedKernel &k)
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

// A lane too close to a whole level: a flat window takes the flat result; any
// other, a straight ramp too (it sums to its centre exactly), is summed in
// double, which rounds its own way. The taps are those of one padded row, so
// lane i's window is the 2r + 1 samples from taps[0] + i on.
int16_t unsureLevel(const int16_t *const *taps, int lane, bool flat, const FixedKernel &k)
{
    const int r = k.radius;
    if (flat)
        return k.uniformResult[taps[r][lane]];
    return exactLevel(k, [&](int t) { return taps[r + t][lane]; });
}

// The first pass: lanes [begin, end) of out, exactly as the double sums truncate.
void convolvePrecisePortable(const int16_t *const *taps, int begin, int end, const FixedKernel &k, int16_t *out)
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
            out[i0 + i] = unsureLevel(taps, i0 + i, flat[i], k);
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
                                                    int16_t *out)
{
    const int r = k.radius;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i centerWeights =
        _mm256_set1_epi32(int32_t(uint32_t(k.centerLow) | (uint32_t(k.centerHigh) << 16)));
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
        const __m256i fix = _mm256_packs_epi32(
            _mm256_cmpeq_epi32(accLow, _mm256_slli_epi32(_mm256_unpacklo_epi16(c, zero), kFixedShift)),
            _mm256_cmpeq_epi32(accHigh, _mm256_slli_epi32(_mm256_unpackhi_epi16(c, zero), kFixedShift)));
        if (_mm256_movemask_epi8(fix)) {
            alignas(32) int16_t values[16];
            alignas(32) int16_t flags[16];
            _mm256_store_si256(reinterpret_cast<__m256i *>(values), result);
            _mm256_store_si256(reinterpret_cast<__m256i *>(flags), fix);
            fixUniformLanes(values, flags, 16, k);
            result = _mm256_load_si256(reinterpret_cast<const __m256i *>(values));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), result);
    }
    if (i < end)
        convolvePortable(taps, i, end, k, out);
}

// Levels, and lanes too close to a whole level to tell, from first-pass sums split into high
// (weights' high halves) and rest (their low halves): sum = high * 2^15 + rest.
__attribute__((target("avx2"))) inline void splitFineSums(__m256i high, __m256i rest, const FixedKernel &k,
                                                          __m256i &level, __m256i &unsure)
{
    const __m256i remainder =
        _mm256_add_epi32(_mm256_slli_epi32(_mm256_and_si256(high, _mm256_set1_epi32(0x7fff)), 15), rest);
    level = _mm256_add_epi32(_mm256_srli_epi32(high, 15), _mm256_srli_epi32(remainder, kFineShift));
    const __m256i fraction = _mm256_and_si256(remainder, _mm256_set1_epi32(int(kFineMask)));
    unsure = _mm256_or_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(int(k.slack)), fraction),
                             _mm256_cmpgt_epi32(fraction, _mm256_set1_epi32(int(kFineMask - k.slack))));
}

// Whether the `count` samples from p on are all alike.
__attribute__((target("avx2"))) bool allAlikeAvx2(const int16_t *p, int count)
{
    const __m256i first = _mm256_set1_epi16(p[0]);
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi16(v, first)) != -1)
            return false;
    }
    for (; i < count; ++i) {
        if (p[i] != p[0])
            return false;
    }
    return true;
}

__attribute__((target("avx2"))) void convolvePreciseAvx2(const int16_t *const *taps, int begin, int end,
                                                           const FixedKernel &k, int16_t *out)
{
    const int r = k.radius;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i centerHigh =
        _mm256_set1_epi32(int32_t(uint32_t(k.fineCenterLow) | (uint32_t(k.fineCenterHigh) << 16)));
    const __m256i centerRest = _mm256_set1_epi32(k.fineCenterRest);
    int i = begin;
    for (; i + 16 <= end; i += 16) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(taps[r] + i));
        __m256i highLow = _mm256_madd_epi16(_mm256_unpacklo_epi16(c, c), centerHigh);
        __m256i highHigh = _mm256_madd_epi16(_mm256_unpackhi_epi16(c, c), centerHigh);
        __m256i restLow = _mm256_madd_epi16(_mm256_unpacklo_epi16(c, zero), centerRest);
        __m256i restHigh = _mm256_madd_epi16(_mm256_unpackhi_epi16(c, zero), centerRest);
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
            const __m256i low = _mm256_unpacklo_epi16(a, b);
            const __m256i high = _mm256_unpackhi_epi16(a, b);
            const __m256i weightsHigh = _mm256_set1_epi32(k.finePairsHigh[pair]);
            const __m256i weightsRest = _mm256_set1_epi32(k.finePairsRest[pair]);
            highLow = _mm256_add_epi32(highLow, _mm256_madd_epi16(low, weightsHigh));
            highHigh = _mm256_add_epi32(highHigh, _mm256_madd_epi16(high, weightsHigh));
            restLow = _mm256_add_epi32(restLow, _mm256_madd_epi16(low, weightsRest));
            restHigh = _mm256_add_epi32(restHigh, _mm256_madd_epi16(high, weightsRest));
        }
        __m256i levelLow, unsureLow, levelHigh, unsureHigh;
        splitFineSums(highLow, restLow, k, levelLow, unsureLow);
        splitFineSums(highHigh, restHigh, k, levelHigh, unsureHigh);
        // The packs undo the unpacks' lane order. A flat window's sum is a
        // whole level, so it is among the unsure ones.
        __m256i result = _mm256_packs_epi32(levelLow, levelHigh);
        const __m256i unsure = _mm256_packs_epi32(unsureLow, unsureHigh);
        if (_mm256_movemask_epi8(unsure)) {
            if (allAlikeAvx2(taps[0] + i, 16 + 2 * r)) {
                result = _mm256_set1_epi16(k.uniformResult[taps[r][i]]);
            } else {
                alignas(32) int16_t values[16];
                alignas(32) int16_t unsureFlags[16];
                uint8_t flat[16];
                _mm256_store_si256(reinterpret_cast<__m256i *>(values), result);
                _mm256_store_si256(reinterpret_cast<__m256i *>(unsureFlags), unsure);
                flatWindows(taps[0] + i, 16, r, flat);
                for (int l = 0; l < 16; ++l) {
                    if (unsureFlags[l])
                        values[l] = unsureLevel(taps, i + l, flat[l], k);
                }
                result = _mm256_load_si256(reinterpret_cast<const __m256i *>(values));
            }
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), result);
    }
    if (i < end)
        convolvePrecisePortable(taps, i, end, k, out);
}

#endif

#ifdef TRIMLET_X86
std::atomic<bool> vnniAllowed{true};

bool hasVnni()
{
    static const bool vnni = __builtin_cpu_supports("avx512vnni");
    return vnni && vnniAllowed.load(std::memory_order_relaxed);
}

__attribute__((target("avx512bw"))) inline __m512i dotAddMadd(__m512i acc, __m512i pairs, __m512i weights)
{
    return _mm512_add_epi32(acc, _mm512_madd_epi16(pairs, weights));
}

__attribute__((target("avx512bw,avx512vnni"))) inline __m512i dotAddVnni(__m512i acc, __m512i pairs, __m512i weights)
{
    // In place: with the intrinsic GCC copies accumulators on every round.
    asm("vpdpwssd %2, %1, %0" : "+v"(acc) : "v"(pairs), "v"(weights));
    return acc;
}

// The centre samples of forward pairs, and each twice over for the split centre weight.
__attribute__((target("avx512bw"))) inline __m512i centreSamples(const char *forward)
{
    return _mm512_and_si512(_mm512_loadu_si512(forward), _mm512_set1_epi32(0xffff));
}
__attribute__((target("avx512bw"))) inline __m512i centreTwice(__m512i centre)
{
    return _mm512_or_si512(centre, _mm512_maskz_slli_epi32(0xffff, centre, 16));
}

// Truncates a window's fixed-point sum; a uniform window takes the double-precision result.
__attribute__((target("avx512bw"))) inline __m512i finishFolded(__m512i sum, __m512i centre, const FixedKernel &k)
{
    const __m512i result = _mm512_maskz_srli_epi32(0xffff, sum, kFixedShift);
    const __mmask16 fix = _mm512_cmpeq_epi32_mask(sum, _mm512_maskz_slli_epi32(0xffff, centre, kFixedShift));
    return fix ? _mm512_mask_i32gather_epi32(result, fix, result, k.uniformResult32.data(), 4) : result;
}

// Levels from first-pass sums split into high and rest halves (sum = high *
// 2^15 + rest). Flat windows take the flat result; other lanes too close to a
// whole level are summed again in double from their samples, 16 bits each at
// forward + 4 * lane + t * stride.
__attribute__((target("avx512bw"))) __m512i finishPrecise(__m512i high, __m512i rest, __m512i centre,
                                                         __mmask16 flat, const char *forward, ptrdiff_t stride,
                                                         const FixedKernel &k)
{
    const __m512i remainder = _mm512_add_epi32(
        _mm512_maskz_slli_epi32(0xffff, _mm512_and_si512(high, _mm512_set1_epi32(0x7fff)), 15), rest);
    __m512i level = _mm512_add_epi32(_mm512_maskz_srli_epi32(0xffff, high, 15),
                                     _mm512_maskz_srli_epi32(0xffff, remainder, kFineShift));
    const __m512i fraction = _mm512_and_si512(remainder, _mm512_set1_epi32(int(kFineMask)));
    const __mmask16 unsure = (_mm512_cmplt_epu32_mask(fraction, _mm512_set1_epi32(int(k.slack)))
                              | _mm512_cmpgt_epu32_mask(fraction, _mm512_set1_epi32(int(kFineMask - k.slack))))
        & __mmask16(~flat);
    if (flat)
        level = _mm512_mask_i32gather_epi32(level, flat, centre, k.uniformResult32.data(), 4);
    if (unsure) {
        alignas(64) int32_t values[16];
        _mm512_store_si512(values, level);
        for (int l = 0; l < 16; ++l) {
            if (!(unsure & (1u << l)))
                continue;
            const char *lane = forward + 4 * l;
            values[l] = exactLevel(k, [&](int t) {
                uint16_t sample;
                std::memcpy(&sample, lane + t * stride, sizeof sample);
                return int(sample);
            });
        }
        level = _mm512_load_si512(values);
    }
    return level;
}

// Lanes whose window holds one value: as many changes of sample up to its
// last tap as up to its first.
__attribute__((target("avx512bw"))) inline __mmask16 flatLanes(const int32_t *changes, int radius)
{
    return _mm512_cmpeq_epi32_mask(_mm512_load_si512(changes + 16 * radius), _mm512_load_si512(changes - 16 * radius));
}

// Sums over 32-bit lanes that each hold two neighbouring samples of a window:
// `forward` lanes hold (s[c + j], s[c + j + 1]) stride * j bytes on and
// `backward` lanes (s[c - j], s[c - j - 1]) stride * j bytes back. Adding the
// two folds the symmetric kernel, so one multiply-add covers four taps. Blocks
// of 16 lanes share the weights loaded for a tap pair; several accumulators
// keep the multiply-adds independent.
#define TRIMLET_PAIR_KERNELS(PREFIX, TARGET, DOT_ADD)                                                                  \
    template <int Blocks, int Acc>                                                                                     \
    __attribute__((target(TARGET))) inline void PREFIX##Blocks(const char *const *forward,                             \
                                                               const char *const *backward, ptrdiff_t stride,          \
                                                               const FixedKernel &k, __m512i *results)                 \
    {                                                                                                                  \
        const int r = k.radius;                                                                                        \
        const __m512i centerWeights =                                                                                  \
            _mm512_set1_epi32(int32_t(uint32_t(k.centerLow) | (uint32_t(k.centerHigh) << 16)));                        \
        __m512i centre[Blocks], acc[Acc][Blocks];                                                                      \
        _Pragma("GCC unroll 4") for (int b = 0; b < Blocks; ++b) {                                                     \
            centre[b] = centreSamples(forward[b]);                                                                     \
            acc[0][b] = _mm512_madd_epi16(centreTwice(centre[b]), centerWeights);                                      \
            _Pragma("GCC unroll 4") for (int a = 1; a < Acc; ++a) acc[a][b] = _mm512_setzero_si512();                  \
        }                                                                                                              \
        int pair = 0;                                                                                                  \
        int j = 1;                                                                                                     \
        for (; j + 2 * (Acc - 1) <= r; j += 2 * Acc, pair += Acc) {                                                    \
            _Pragma("GCC unroll 4") for (int a = 0; a < Acc; ++a) {                                                    \
                const __m512i w = _mm512_set1_epi32(k.pairWeights[pair + a]);                                          \
                const ptrdiff_t offset = stride * (j + 2 * a);                                                         \
                _Pragma("GCC unroll 4") for (int b = 0; b < Blocks; ++b) acc[a][b] =                                   \
                    DOT_ADD(acc[a][b],                                                                                 \
                            _mm512_add_epi16(_mm512_loadu_si512(forward[b] + offset),                                  \
                                             _mm512_loadu_si512(backward[b] - offset)),                                \
                            w);                                                                                        \
            }                                                                                                          \
        }                                                                                                              \
        for (; j <= r; j += 2, ++pair) {                                                                               \
            const __m512i w = _mm512_set1_epi32(k.pairWeights[pair]);                                                  \
            _Pragma("GCC unroll 4") for (int b = 0; b < Blocks; ++b) acc[0][b] =                                       \
                DOT_ADD(acc[0][b],                                                                                     \
                        _mm512_add_epi16(_mm512_loadu_si512(forward[b] + stride * j),                                  \
                                         _mm512_loadu_si512(backward[b] - stride * j)),                                \
                        w);                                                                                            \
        }                                                                                                              \
        _Pragma("GCC unroll 4") for (int b = 0; b < Blocks; ++b) {                                                     \
            __m512i sum = acc[0][b];                                                                                   \
            _Pragma("GCC unroll 4") for (int a = 1; a < Acc; ++a) sum = _mm512_add_epi32(sum, acc[a][b]);              \
            results[b] = finishFolded(sum, centre[b], k);                                                              \
        }                                                                                                              \
    }                                                                                                                  \
                                                                                                                       \
    /* Four blocks side by side, written out so the compiler keeps every accumulator in a register. */                 \
    __attribute__((target(TARGET))) inline void PREFIX##Block64(const char *forward, const char *backward,             \
                                                                ptrdiff_t stride, const FixedKernel &k,                \
                                                                __m512i *results)                                      \
    {                                                                                                                  \
        const __m512i centerWeights =                                                                                  \
            _mm512_set1_epi32(int32_t(uint32_t(k.centerLow) | (uint32_t(k.centerHigh) << 16)));                        \
        const __m512i c0 = centreSamples(forward);                                                                     \
        const __m512i c1 = centreSamples(forward + 64);                                                                \
        const __m512i c2 = centreSamples(forward + 128);                                                               \
        const __m512i c3 = centreSamples(forward + 192);                                                               \
        __m512i a0 = _mm512_madd_epi16(centreTwice(c0), centerWeights);                                                \
        __m512i a1 = _mm512_madd_epi16(centreTwice(c1), centerWeights);                                                \
        __m512i a2 = _mm512_madd_epi16(centreTwice(c2), centerWeights);                                                \
        __m512i a3 = _mm512_madd_epi16(centreTwice(c3), centerWeights);                                                \
        __m512i b0 = _mm512_setzero_si512(), b1 = b0, b2 = b0, b3 = b0;                                                \
        const int32_t *weights = k.pairWeights.data();                                                                 \
        const int pairs = int(k.pairWeights.size());                                                                   \
        const ptrdiff_t step = 4 * stride, next = 2 * stride;                                                          \
        const char *f = forward + stride;                                                                              \
        const char *g = backward - stride;                                                                             \
        int p = 0;                                                                                                     \
        for (; p + 2 <= pairs; p += 2, f += step, g -= step) {                                                         \
            const __m512i w0 = _mm512_set1_epi32(weights[p]);                                                          \
            const __m512i w1 = _mm512_set1_epi32(weights[p + 1]);                                                      \
            a0 = DOT_ADD(a0, _mm512_add_epi16(_mm512_loadu_si512(f), _mm512_loadu_si512(g)), w0);                      \
            a1 = DOT_ADD(a1, _mm512_add_epi16(_mm512_loadu_si512(f + 64), _mm512_loadu_si512(g + 64)), w0);            \
            a2 = DOT_ADD(a2, _mm512_add_epi16(_mm512_loadu_si512(f + 128), _mm512_loadu_si512(g + 128)), w0);          \
            a3 = DOT_ADD(a3, _mm512_add_epi16(_mm512_loadu_si512(f + 192), _mm512_loadu_si512(g + 192)), w0);          \
            const char *f1 = f + next;                                                                                 \
            const char *g1 = g - next;                                                                                 \
            b0 = DOT_ADD(b0, _mm512_add_epi16(_mm512_loadu_si512(f1), _mm512_loadu_si512(g1)), w1);                    \
            b1 = DOT_ADD(b1, _mm512_add_epi16(_mm512_loadu_si512(f1 + 64), _mm512_loadu_si512(g1 + 64)), w1);          \
            b2 = DOT_ADD(b2, _mm512_add_epi16(_mm512_loadu_si512(f1 + 128), _mm512_loadu_si512(g1 + 128)), w1);        \
            b3 = DOT_ADD(b3, _mm512_add_epi16(_mm512_loadu_si512(f1 + 192), _mm512_loadu_si512(g1 + 192)), w1);        \
        }                                                                                                              \
        if (p < pairs) {                                                                                               \
            const __m512i w0 = _mm512_set1_epi32(weights[p]);                                                          \
            a0 = DOT_ADD(a0, _mm512_add_epi16(_mm512_loadu_si512(f), _mm512_loadu_si512(g)), w0);                      \
            a1 = DOT_ADD(a1, _mm512_add_epi16(_mm512_loadu_si512(f + 64), _mm512_loadu_si512(g + 64)), w0);            \
            a2 = DOT_ADD(a2, _mm512_add_epi16(_mm512_loadu_si512(f + 128), _mm512_loadu_si512(g + 128)), w0);          \
            a3 = DOT_ADD(a3, _mm512_add_epi16(_mm512_loadu_si512(f + 192), _mm512_loadu_si512(g + 192)), w0);          \
        }                                                                                                              \
        results[0] = finishFolded(_mm512_add_epi32(a0, b0), c0, k);                                                    \
        results[1] = finishFolded(_mm512_add_epi32(a1, b1), c1, k);                                                    \
        results[2] = finishFolded(_mm512_add_epi32(a2, b2), c2, k);                                                    \
        results[3] = finishFolded(_mm512_add_epi32(a3, b3), c3, k);                                                    \
    }                                                                                                                  \
                                                                                                                       \
    /* The first pass's four blocks, with the fine weights' two halves; `changes` counts   */                          \
    /* changes of sample along each lane's taps (see horizontalByColumns).                   */                        \
    __attribute__((target(TARGET))) void PREFIX##Block64Precise(const char *forward, const char *backward,             \
                                                                ptrdiff_t stride, const int32_t *changes,              \
                                                                const FixedKernel &k, __m512i *results)                \
    {                                                                                                                  \
        const __m512i centerHigh =                                                                                     \
            _mm512_set1_epi32(int32_t(uint32_t(k.fineCenterLow) | (uint32_t(k.fineCenterHigh) << 16)));                \
        const __m512i centerRest = _mm512_set1_epi32(k.fineCenterRest);                                                \
        const __m512i c0 = centreSamples(forward);                                                                     \
        const __m512i c1 = centreSamples(forward + 64);                                                                \
        const __m512i c2 = centreSamples(forward + 128);                                                               \
        const __m512i c3 = centreSamples(forward + 192);                                                               \
        __m512i h0 = _mm512_madd_epi16(centreTwice(c0), centerHigh);                                                   \
        __m512i h1 = _mm512_madd_epi16(centreTwice(c1), centerHigh);                                                   \
        __m512i h2 = _mm512_madd_epi16(centreTwice(c2), centerHigh);                                                   \
        __m512i h3 = _mm512_madd_epi16(centreTwice(c3), centerHigh);                                                   \
        __m512i r0 = _mm512_madd_epi16(c0, centerRest);                                                                \
        __m512i r1 = _mm512_madd_epi16(c1, centerRest);                                                                \
        __m512i r2 = _mm512_madd_epi16(c2, centerRest);                                                                \
        __m512i r3 = _mm512_madd_epi16(c3, centerRest);                                                                \
        const int32_t *highs = k.finePairsHigh.data();                                                                 \
        const int32_t *rests = k.finePairsRest.data();                                                                 \
        const int pairs = int(k.finePairsHigh.size());                                                                 \
        const ptrdiff_t step = 2 * stride;                                                                             \
        const char *f = forward + stride;                                                                              \
        const char *g = backward - stride;                                                                             \
        for (int p = 0; p < pairs; ++p, f += step, g -= step) {                                                        \
            const __m512i wh = _mm512_set1_epi32(highs[p]);                                                            \
            const __m512i wr = _mm512_set1_epi32(rests[p]);                                                            \
            const __m512i v0 = _mm512_add_epi16(_mm512_loadu_si512(f), _mm512_loadu_si512(g));                         \
            const __m512i v1 = _mm512_add_epi16(_mm512_loadu_si512(f + 64), _mm512_loadu_si512(g + 64));               \
            const __m512i v2 = _mm512_add_epi16(_mm512_loadu_si512(f + 128), _mm512_loadu_si512(g + 128));             \
            const __m512i v3 = _mm512_add_epi16(_mm512_loadu_si512(f + 192), _mm512_loadu_si512(g + 192));             \
            h0 = DOT_ADD(h0, v0, wh);                                                                                  \
            h1 = DOT_ADD(h1, v1, wh);                                                                                  \
            h2 = DOT_ADD(h2, v2, wh);                                                                                  \
            h3 = DOT_ADD(h3, v3, wh);                                                                                  \
            r0 = DOT_ADD(r0, v0, wr);                                                                                  \
            r1 = DOT_ADD(r1, v1, wr);                                                                                  \
            r2 = DOT_ADD(r2, v2, wr);                                                                                  \
            r3 = DOT_ADD(r3, v3, wr);                                                                                  \
        }                                                                                                              \
        results[0] = finishPrecise(h0, r0, c0, flatLanes(changes + 0, k.radius), forward, stride, k);                                                    \
        results[1] = finishPrecise(h1, r1, c1, flatLanes(changes + 16, k.radius), forward + 64, stride, k);                                               \
        results[2] = finishPrecise(h2, r2, c2, flatLanes(changes + 32, k.radius), forward + 128, stride, k);                                              \
        results[3] = finishPrecise(h3, r3, c3, flatLanes(changes + 48, k.radius), forward + 192, stride, k);                                              \
    }                                                                                                                  \
                                                                                                                       \
    /* forward[x]: pairs (s[x], s[x + 1]) of output x; backward[x]: (s[x], s[x - 1]). */                               \
    __attribute__((target(TARGET))) void PREFIX##Lanes(const uint32_t *forward, const uint32_t *backward,              \
                                                       ptrdiff_t stride, int count, const FixedKernel &k,              \
                                                       int16_t *out)                                                   \
    {                                                                                                                  \
        const char *f = reinterpret_cast<const char *>(forward);                                                       \
        const char *b = reinterpret_cast<const char *>(backward);                                                      \
        __m512i results[4];                                                                                            \
        int x = 0;                                                                                                     \
        for (; x + 64 <= count; x += 64) {                                                                             \
            PREFIX##Block64(f + 4 * x, b + 4 * x, stride, k, results);                                                 \
            for (int i = 0; i < 4; ++i)                                                                                \
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + x + 16 * i),                                     \
                                    _mm512_maskz_cvtepi32_epi16(0xffff, results[i]));                                  \
        }                                                                                                              \
        for (; x + 32 <= count; x += 32) {                                                                             \
            const char *fb[2] = {f + 4 * x, f + 4 * x + 64};                                                           \
            const char *bb[2] = {b + 4 * x, b + 4 * x + 64};                                                           \
            PREFIX##Blocks<2, 4>(fb, bb, stride, k, results);                                                          \
            for (int i = 0; i < 2; ++i)                                                                                \
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + x + 16 * i),                                     \
                                    _mm512_maskz_cvtepi32_epi16(0xffff, results[i]));                                  \
        }                                                                                                              \
        for (; x + 16 <= count; x += 16) {                                                                             \
            const char *fb[1] = {f + 4 * x};                                                                           \
            const char *bb[1] = {b + 4 * x};                                                                           \
            PREFIX##Blocks<1, 4>(fb, bb, stride, k, results);                                                          \
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + x), _mm512_maskz_cvtepi32_epi16(0xffff, results[0])); \
        }                                                                                                              \
        const ptrdiff_t step = stride / 4;                                                                             \
        for (; x < count; ++x)                                                                                         \
            out[x] = foldedSample(forward + x, backward + x, step, k);                                                 \
    }

// One output from the folded pair layout, lanes `step` apart.
inline int16_t foldedSample(const uint32_t *forward, const uint32_t *backward, ptrdiff_t step, const FixedKernel &k)
{
    const int c = int(forward[0] & 0xffff);
    int acc = c * k.weights[0];
    for (int d = 1; d <= k.radius; ++d) {
        // Pair j holds distances j and j + 1.
        const int j = d % 2 ? d : d - 1;
        const int half = d - j;
        const int ahead = int((forward[j * step] >> (16 * half)) & 0xffff);
        const int behind = int((backward[-j * step] >> (16 * half)) & 0xffff);
        acc += (ahead + behind) * k.weights[d];
    }
    return int16_t(acc == c * kFixedOne ? k.uniformResult[acc >> kFixedShift] : acc >> kFixedShift);
}

// forward[x] = (a[x], b[x]) and backward[x] = (b[x], a[x]) as the low and high 16 bits.
__attribute__((target("avx512bw"))) void interleaveRows(const int16_t *a, const int16_t *b, int count,
                                                        uint32_t *forward, uint32_t *backward)
{
    int x = 0;
    for (; x + 16 <= count; x += 16) {
        const __m512i low = _mm512_maskz_cvtepu16_epi32(0xffff, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + x)));
        const __m512i high = _mm512_maskz_cvtepu16_epi32(0xffff, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + x)));
        _mm512_storeu_si512(forward + x, _mm512_or_si512(low, _mm512_maskz_slli_epi32(0xffff, high, 16)));
        _mm512_storeu_si512(backward + x, _mm512_or_si512(high, _mm512_maskz_slli_epi32(0xffff, low, 16)));
    }
    for (; x < count; ++x) {
        forward[x] = uint32_t(uint16_t(a[x])) | (uint32_t(uint16_t(b[x])) << 16);
        backward[x] = uint32_t(uint16_t(b[x])) | (uint32_t(uint16_t(a[x])) << 16);
    }
}

__attribute__((target("avx512bw"))) inline __m512i widen(const int16_t *p)
{
    return _mm512_maskz_cvtepu16_epi32(0xffff, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
}

// line[x] = (alpha, red, green, blue) from 16-bit planes; alpha may be null for constantAlpha.
__attribute__((target("avx512bw"))) void packPixels(const int16_t *red, const int16_t *green, const int16_t *blue,
                                                    const int16_t *alpha, uint32_t constantAlpha, int count,
                                                    QRgb *line)
{
    int x = 0;
    for (; x + 16 <= count; x += 16) {
        const __m512i a = alpha ? widen(alpha + x) : _mm512_set1_epi32(int(constantAlpha));
        const __m512i rg = _mm512_or_si512(_mm512_maskz_slli_epi32(0xffff, a, 24),
                                           _mm512_maskz_slli_epi32(0xffff, widen(red + x), 16));
        const __m512i gb = _mm512_or_si512(_mm512_maskz_slli_epi32(0xffff, widen(green + x), 8), widen(blue + x));
        _mm512_storeu_si512(line + x, _mm512_or_si512(rg, gb));
    }
    for (; x < count; ++x) {
        const uint32_t a = alpha ? uint32_t(alpha[x]) : constantAlpha;
        line[x] = (a << 24) | (uint32_t(red[x]) << 16) | (uint32_t(green[x]) << 8) | uint32_t(blue[x]);
    }
}

TRIMLET_PAIR_KERNELS(pairsAvx512, "avx512bw", dotAddMadd)
TRIMLET_PAIR_KERNELS(pairsVnni, "avx512bw,avx512vnni", dotAddVnni)
#undef TRIMLET_PAIR_KERNELS

using Block64Fn = void (*)(const char *, const char *, ptrdiff_t, const int32_t *, const FixedKernel &, __m512i *);

// Transposes the 16 x 16 block of 32-bit lanes in r.
__attribute__((target("avx512bw"))) inline void transposePixels16x16Avx512(__m512i r[16])
{
    __m512i u[16];
    for (int g = 0; g < 16; g += 4) {
        const __m512i t0 = _mm512_maskz_unpacklo_epi32(0xffff, r[g], r[g + 1]);
        const __m512i t1 = _mm512_maskz_unpackhi_epi32(0xffff, r[g], r[g + 1]);
        const __m512i t2 = _mm512_maskz_unpacklo_epi32(0xffff, r[g + 2], r[g + 3]);
        const __m512i t3 = _mm512_maskz_unpackhi_epi32(0xffff, r[g + 2], r[g + 3]);
        u[g] = _mm512_maskz_unpacklo_epi64(0xff, t0, t2);
        u[g + 1] = _mm512_maskz_unpackhi_epi64(0xff, t0, t2);
        u[g + 2] = _mm512_maskz_unpacklo_epi64(0xff, t1, t3);
        u[g + 3] = _mm512_maskz_unpackhi_epi64(0xff, t1, t3);
    }
    // u[g + c] holds columns c, c + 4, c + 8, c + 12 of rows g .. g + 3, one per 128-bit lane.
    for (int c = 0; c < 4; ++c) {
        const __m512i v0 = _mm512_maskz_shuffle_i32x4(0xffff, u[c], u[c + 4], 0x88);
        const __m512i v1 = _mm512_maskz_shuffle_i32x4(0xffff, u[c], u[c + 4], 0xdd);
        const __m512i v2 = _mm512_maskz_shuffle_i32x4(0xffff, u[c + 8], u[c + 12], 0x88);
        const __m512i v3 = _mm512_maskz_shuffle_i32x4(0xffff, u[c + 8], u[c + 12], 0xdd);
        r[c] = _mm512_maskz_shuffle_i32x4(0xffff, v0, v2, 0x88);
        r[c + 8] = _mm512_maskz_shuffle_i32x4(0xffff, v0, v2, 0xdd);
        r[c + 4] = _mm512_maskz_shuffle_i32x4(0xffff, v1, v3, 0x88);
        r[c + 12] = _mm512_maskz_shuffle_i32x4(0xffff, v1, v3, 0xdd);
    }
}

// The horizontal pass 16 rows at a time: the rows' pixels are turned into
// columns whose lanes are the rows, so every tap is an aligned read of one
// column, and the sums are turned back into rows. out holds `planes` planes
// of planeSize samples.
__attribute__((target("avx512bw,avx512vl"))) void horizontalByColumns(const QImage &image, int planes, const FixedKernel &k,
                                                             Block64Fn block, int16_t *out, size_t planeSize)
{
    static constexpr int shifts[4] = {16, 8, 0, 24};
    const int width = image.width();
    const int height = image.height();
    const int pad = k.radius + 1;
    const int columns = (width + 15) / 16 * 16;
    const int span = columns + 2 * pad;
    thread_local std::vector<uint32_t> pixelStore, pairStore, swappedStore;
    thread_local std::vector<int32_t> changeStore;
    uint32_t *pixels = alignedBuffer(pixelStore, size_t(width) * 16);
    uint32_t *pairs = alignedBuffer(pairStore, size_t(span) * 16);
    uint32_t *swapped = alignedBuffer(swappedStore, size_t(span) * 16);
    int32_t *changes = alignedBuffer(changeStore, size_t(span) * 16);
    const __m512i byteMask = _mm512_set1_epi32(0xff);
    for (int y0 = 0; y0 < height; y0 += 16) {
        const int rows = std::min(16, height - y0);
        const QRgb *lines[16];
        for (int l = 0; l < 16; ++l)
            lines[l] = reinterpret_cast<const QRgb *>(image.constScanLine(std::min(y0 + l, height - 1)));
        for (int x0 = 0; x0 < width; x0 += 16) {
            const int n = std::min(16, width - x0);
            const __mmask16 mask = __mmask16((1u << n) - 1);
            __m512i block16[16];
            for (int l = 0; l < 16; ++l)
                block16[l] = _mm512_maskz_loadu_epi32(mask, lines[l] + x0);
            transposePixels16x16Avx512(block16);
            for (int i = 0; i < n; ++i)
                _mm512_store_si512(pixels + size_t(x0 + i) * 16, block16[i]);
        }
        for (int p = 0; p < planes; ++p) {
            const __m128i shift = _mm_cvtsi32_si128(shifts[p]);
            // Padded column i is image column i - pad, edges repeated.
            __m512i current = _mm512_and_si512(_mm512_maskz_srl_epi32(0xffff, _mm512_load_si512(pixels), shift), byteMask);
            __m512i changed = _mm512_setzero_si512();
            _mm512_store_si512(changes, changed);
            for (int i = 0; i + 1 < span; ++i) {
                const int column = std::clamp(i + 1 - pad, 0, width - 1);
                const __m512i following = _mm512_and_si512(
                    _mm512_maskz_srl_epi32(0xffff, _mm512_load_si512(pixels + size_t(column) * 16), shift), byteMask);
                _mm512_store_si512(pairs + size_t(i) * 16, _mm512_or_si512(current, _mm512_maskz_slli_epi32(0xffff, following, 16)));
                _mm512_store_si512(swapped + size_t(i) * 16, _mm512_or_si512(following, _mm512_maskz_slli_epi32(0xffff, current, 16)));
                changed = _mm512_mask_add_epi32(changed, _mm512_cmpneq_epi32_mask(current, following), changed,
                                                _mm512_set1_epi32(1));
                _mm512_store_si512(changes + size_t(i + 1) * 16, changed);
                current = following;
            }
            int16_t *plane = out + p * planeSize;
            for (int x0 = 0; x0 < width; x0 += 16) {
                __m512i results[16];
                for (int q = 0; q < 4; ++q) {
                    const size_t x = size_t(pad + x0 + 4 * q);
                    block(reinterpret_cast<const char *>(pairs + x * 16),
                          reinterpret_cast<const char *>(swapped + (x - 1) * 16), 64, changes + x * 16, k,
                          results + 4 * q);
                }
                transposePixels16x16Avx512(results);
                const int n = std::min(16, width - x0);
                const __mmask16 mask = __mmask16((1u << n) - 1);
                for (int l = 0; l < rows; ++l)
                    _mm256_mask_storeu_epi16(plane + size_t(y0 + l) * size_t(width) + x0, mask,
                                             _mm512_maskz_cvtepi32_epi16(0xffff, results[l]));
            }
        }
    }
}
#endif

// Lanes [begin, end) of out, lane i reading taps[t][i].
// The first pass, exactly as the double sums truncate.
void convolvePrecise(const int16_t *const *taps, int begin, int end, const FixedKernel &k, int16_t *out)
{
#ifdef TRIMLET_X86
    if (k.fineFitsLanes && currentLevel().load(std::memory_order_relaxed) >= SimdLevel::Avx2) {
        convolvePreciseAvx2(taps, begin, end, k, out);
        return;
    }
#endif
    convolvePrecisePortable(taps, begin, end, k, out);
}


void convolve(const int16_t *const *taps, int begin, int end, const FixedKernel &k, int16_t *out)
{
#ifdef TRIMLET_X86
    const SimdLevel level = currentLevel().load(std::memory_order_relaxed);
    // AVX-512 sums fixed-point kernels in the pair layouts instead.
    if (level >= SimdLevel::Avx2) {
        convolveAvx2(taps, begin, end, k, out);
        return;
    }
#endif
    convolvePortable(taps, begin, end, k, out);
}

bool allOpaque(const QImage &image)
{
    if (image.format() == QImage::Format_RGB32)
        return true;
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        QRgb all = 0xff000000u;
        for (int x = 0; x < width; ++x)
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

__attribute__((target("avx512bw"), optimize("fp-contract=off"))) inline __m512i divide257Avx512(__m512i value)
{
    value = _mm512_add_epi32(value, _mm512_set1_epi32(128));
    return _mm512_maskz_srli_epi32(
        0xffff, _mm512_sub_epi32(value, _mm512_maskz_srli_epi32(0xffff, value, 8)), 8);
}

__attribute__((target("avx512bw"), optimize("fp-contract=off"))) inline __m512i roundPositiveAvx512(__m512 value)
{
    return _mm512_maskz_cvttps_epi32(0xffff, _mm512_add_ps(value, _mm512_set1_ps(0.5f)));
}

__attribute__((target("avx512bw"), optimize("fp-contract=off"))) inline __m512 unitOf8Bit(__m512i value)
{
    return _mm512_div_ps(_mm512_maskz_cvtepi32_ps(0xffff, _mm512_mullo_epi32(value, _mm512_set1_epi32(257))),
                         _mm512_set1_ps(float(USHRT_MAX)));
}

// The AVX2 version's operations on 16 lanes. AVX-512 brings FMA, and a fused
// multiply-add rounds differently from QColor's separate steps: no contraction.
__attribute__((target("avx512bw"), optimize("fp-contract=off"))) void scaleSaturationAvx512(QRgb *pixels, int count,
                                                               const int32_t *scaledSaturation)
{
    const __m512i byteMask = _mm512_set1_epi32(0xff);
    const __m512 k65535 = _mm512_set1_ps(float(USHRT_MAX));
    const __m512 one = _mm512_set1_ps(1.0f);
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m512i px = _mm512_loadu_si512(pixels + i);
        const __m512 r = unitOf8Bit(_mm512_and_si512(_mm512_maskz_srli_epi32(0xffff, px, 16), byteMask));
        const __m512 g = unitOf8Bit(_mm512_and_si512(_mm512_maskz_srli_epi32(0xffff, px, 8), byteMask));
        const __m512 b = unitOf8Bit(_mm512_and_si512(px, byteMask));
        const __m512 maximum = _mm512_maskz_max_ps(0xffff, _mm512_maskz_max_ps(0xffff, r, g), b);
        const __m512 minimum = _mm512_maskz_min_ps(0xffff, _mm512_maskz_min_ps(0xffff, r, g), b);
        const __m512 delta = _mm512_sub_ps(maximum, minimum);
        const __m512i value = divide257Avx512(roundPositiveAvx512(_mm512_mul_ps(maximum, k65535)));
        const __mmask16 grey = _mm512_cmp_ps_mask(delta, _mm512_set1_ps(0.00001f), _CMP_LE_OQ);
        // Grey lanes divide by zero here; their results are replaced below.
        const __m512i saturation8 =
            divide257Avx512(roundPositiveAvx512(_mm512_mul_ps(_mm512_div_ps(delta, maximum), k65535)));

        const __mmask16 redIsMax = _mm512_cmp_ps_mask(r, maximum, _CMP_EQ_OQ);
        const __mmask16 greenIsMax = _kandn_mask16(redIsMax, _mm512_cmp_ps_mask(g, maximum, _CMP_EQ_OQ));
        __m512 numerator = _mm512_mask_blend_ps(greenIsMax, _mm512_sub_ps(r, g), _mm512_sub_ps(b, r));
        numerator = _mm512_mask_blend_ps(redIsMax, numerator, _mm512_sub_ps(g, b));
        __m512 offset = _mm512_mask_blend_ps(greenIsMax, _mm512_set1_ps(4.0f), _mm512_set1_ps(2.0f));
        offset = _mm512_mask_blend_ps(redIsMax, offset, _mm512_setzero_ps());
        __m512 hue = _mm512_add_ps(offset, _mm512_div_ps(numerator, delta));
        hue = _mm512_mul_ps(hue, _mm512_set1_ps(60.0f));
        hue = _mm512_mask_add_ps(hue, _mm512_cmp_ps_mask(hue, _mm512_setzero_ps(), _CMP_LT_OQ), hue,
                                 _mm512_set1_ps(360.0f));
        const __m512i hue100 = roundPositiveAvx512(_mm512_mul_ps(hue, _mm512_set1_ps(100.0f)));
        __m512i hueDegrees =
            _mm512_maskz_srli_epi32(0xffff, _mm512_mullo_epi32(hue100, _mm512_set1_epi32(5243)), 19);
        hueDegrees = _mm512_mask_mov_epi32(hueDegrees, _mm512_cmpeq_epi32_mask(hueDegrees, _mm512_set1_epi32(360)),
                                           _mm512_setzero_si512());

        const __m512i safeSaturation = _mm512_mask_mov_epi32(saturation8, grey, _mm512_setzero_si512());
        const __m512i newSaturation = _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xffff, safeSaturation, scaledSaturation, 4);
        const __mmask16 achromatic = grey | _mm512_cmpeq_epi32_mask(newSaturation, _mm512_setzero_si512());

        const __m512 h = _mm512_div_ps(_mm512_maskz_cvtepi32_ps(0xffff, _mm512_mullo_epi32(hueDegrees, _mm512_set1_epi32(100))),
                                       _mm512_set1_ps(6000.0f));
        const __m512 s = unitOf8Bit(newSaturation);
        const __m512 v = unitOf8Bit(value);
        const __m512i sector = _mm512_maskz_cvttps_epi32(0xffff, h);
        const __m512 f = _mm512_sub_ps(h, _mm512_maskz_cvtepi32_ps(0xffff, sector));
        const __m512 p = _mm512_mul_ps(v, _mm512_sub_ps(one, s));
        const __m512 q = _mm512_mul_ps(v, _mm512_sub_ps(one, _mm512_mul_ps(s, f)));
        const __m512 t = _mm512_mul_ps(v, _mm512_sub_ps(one, _mm512_mul_ps(s, _mm512_sub_ps(one, f))));
        const __mmask16 odd = _mm512_test_epi32_mask(sector, _mm512_set1_epi32(1));
        const __m512 w = _mm512_mask_blend_ps(odd, t, q);
        const __m512i v8 = divide257Avx512(roundPositiveAvx512(_mm512_mul_ps(v, k65535)));
        const __m512i w8 = divide257Avx512(roundPositiveAvx512(_mm512_mul_ps(w, k65535)));
        const __m512i p8 = divide257Avx512(roundPositiveAvx512(_mm512_mul_ps(p, k65535)));

        const __mmask16 s0 = _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(0));
        const __mmask16 s1 = _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(1));
        const __mmask16 s2 = _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(2));
        const __mmask16 s3 = _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(3));
        const __mmask16 s4 = _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(4));
        const __mmask16 s5 = _mm512_cmpeq_epi32_mask(sector, _mm512_set1_epi32(5));
        __m512i red = _mm512_mask_blend_epi32(s0 | s5, _mm512_mask_blend_epi32(s1 | s4, p8, w8), v8);
        __m512i green = _mm512_mask_blend_epi32(s1 | s2, _mm512_mask_blend_epi32(s0 | s3, p8, w8), v8);
        __m512i blue = _mm512_mask_blend_epi32(s3 | s4, _mm512_mask_blend_epi32(s2 | s5, p8, w8), v8);
        red = _mm512_mask_blend_epi32(achromatic, red, value);
        green = _mm512_mask_blend_epi32(achromatic, green, value);
        blue = _mm512_mask_blend_epi32(achromatic, blue, value);
        const __m512i result = _mm512_or_si512(
            _mm512_or_si512(_mm512_set1_epi32(int(0xff000000u)), _mm512_maskz_slli_epi32(0xffff, red, 16)),
            _mm512_or_si512(_mm512_maskz_slli_epi32(0xffff, green, 8), blue));
        _mm512_storeu_si512(pixels + i, result);
    }
    if (i < count)
        scaleSaturationAvx2(pixels + i, count - i, scaledSaturation);
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

// Every pass gives the mean of its window rounded down, sum / (2r + 1), so a
// uniform window keeps its value. Up to this radius the sums stay below 2^15 and
// the division is a multiply-high and a shift: floor(s * R / 2^k) equals
// floor(s / size) when s * (R * size - 2^k) < 2^k, which holds for R = 2^k / size
// rounded up (the excess is below size) and 2^k = 2^(16 + shift) above 2^15 * size.
constexpr int kMaxShortBoxRadius = 63;

struct BoxDivisor {
    uint16_t reciprocal = 0;
    int shift = 0;
};

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

// The passes run down strips of this many bytes (16 pixels), with the running
// sums of a strip in registers. Horizontally, blocks of 16 rows are turned into
// one strip whose row x holds the 16 pixels of column x.
constexpr int kBoxStrip = 64;
constexpr int kBoxBlockRows = kBoxStrip / 4;

// One running-box pass down the byte columns of a strip: dst row y gets the
// mean, rounded down, of src rows y - radius .. y + radius, the edge rows repeating
// beyond the ends. 1 <= radius <= kMaxShortBoxRadius; dst does not overlap src.
void boxStripPortable(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst, ptrdiff_t dstStride, int rows, int radius)
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

// Radii beyond kMaxShortBoxRadius: 32-bit sums and a plain division.
void boxStripWide(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst, ptrdiff_t dstStride, int rows, int radius)
{
    const uint32_t size = 2 * uint32_t(radius) + 1;
    auto row = [&](int y) { return src + std::clamp(y, 0, rows - 1) * srcStride; };
    uint32_t sum[kBoxStrip] = {};
    for (int y = -radius; y <= radius; ++y) {
        const uint8_t *p = row(y);
        for (int i = 0; i < kBoxStrip; ++i)
            sum[i] += p[i];
    }
    for (int y = 0; y < rows; ++y) {
        uint8_t *out = dst + y * dstStride;
        for (int i = 0; i < kBoxStrip; ++i)
            out[i] = uint8_t(sum[i] / size);
        const uint8_t *add = row(y + radius + 1);
        const uint8_t *drop = row(y - radius);
        for (int i = 0; i < kBoxStrip; ++i)
            sum[i] += uint32_t(add[i]) - drop[i];
    }
}

// columns[x * 16 + j] = rows[j][x] for x in [begin, end).
void boxRowsToStripPortable(const QRgb *const *rows, int begin, int end, QRgb *columns)
{
    for (int x = begin; x < end; ++x) {
        for (int j = 0; j < kBoxBlockRows; ++j)
            columns[x * kBoxBlockRows + j] = rows[j][x];
    }
}

// rows[j][x] = columns[x * 16 + j] for x in [begin, end).
void boxStripToRowsPortable(const QRgb *columns, int begin, int end, QRgb *const *rows)
{
    for (int j = 0; j < kBoxBlockRows; ++j) {
        for (int x = begin; x < end; ++x)
            rows[j][x] = columns[x * kBoxBlockRows + j];
    }
}

#ifdef TRIMLET_X86
__attribute__((target("avx2"))) inline __m256i boxLoadAvx2(const uint8_t *p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

// The sums hold the even and the odd bytes of their lanes as 16-bit words, so
// no byte needs shuffling in or out.
__attribute__((target("avx2"))) inline void boxStepAvx2(__m256i &even, __m256i &odd, __m256i add, __m256i drop)
{
    const __m256i lowBytes = _mm256_set1_epi16(0x00ff);
    even = _mm256_add_epi16(even, _mm256_sub_epi16(_mm256_and_si256(add, lowBytes), _mm256_and_si256(drop, lowBytes)));
    odd = _mm256_add_epi16(odd, _mm256_sub_epi16(_mm256_srli_epi16(add, 8), _mm256_srli_epi16(drop, 8)));
}

__attribute__((target("avx2"))) inline void boxStoreAvx2(__m256i even, __m256i odd, __m256i reciprocal,
                                                        __m128i shift, uint8_t *out)
{
    even = _mm256_srl_epi16(_mm256_mulhi_epu16(even, reciprocal), shift);
    odd = _mm256_srl_epi16(_mm256_mulhi_epu16(odd, reciprocal), shift);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), _mm256_or_si256(even, _mm256_slli_epi16(odd, 8)));
}

__attribute__((target("avx2"))) void boxStripAvx2(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst,
                                                    ptrdiff_t dstStride, int rows, int radius)
{
    const BoxDivisor divisor = boxDivisor(radius);
    const __m256i reciprocal = _mm256_set1_epi16(short(divisor.reciprocal));
    const __m128i shift = _mm_cvtsi32_si128(divisor.shift);
    const __m256i zero = _mm256_setzero_si256();
    auto row = [&](int y) { return src + std::clamp(y, 0, rows - 1) * srcStride; };
    // Two halves of 32 bytes.
    __m256i even0 = zero, odd0 = zero, even1 = zero, odd1 = zero;
    for (int y = -radius; y <= radius; ++y) {
        boxStepAvx2(even0, odd0, boxLoadAvx2(row(y)), zero);
        boxStepAvx2(even1, odd1, boxLoadAvx2(row(y) + 32), zero);
    }
    for (int y = 0; y < rows; ++y) {
        uint8_t *out = dst + y * dstStride;
        boxStoreAvx2(even0, odd0, reciprocal, shift, out);
        boxStoreAvx2(even1, odd1, reciprocal, shift, out + 32);
        const uint8_t *add = row(y + radius + 1);
        const uint8_t *drop = row(y - radius);
        boxStepAvx2(even0, odd0, boxLoadAvx2(add), boxLoadAvx2(drop));
        boxStepAvx2(even1, odd1, boxLoadAvx2(add + 32), boxLoadAvx2(drop + 32));
    }
}

__attribute__((target("avx512bw"))) void boxStripAvx512(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst,
                                                          ptrdiff_t dstStride, int rows, int radius)
{
    const BoxDivisor divisor = boxDivisor(radius);
    const __m512i lowBytes = _mm512_set1_epi16(0x00ff);
    const __m512i reciprocal = _mm512_set1_epi16(short(divisor.reciprocal));
    const __m128i shift = _mm_cvtsi32_si128(divisor.shift);
    auto row = [&](int y) { return src + std::clamp(y, 0, rows - 1) * srcStride; };
    __m512i even = _mm512_setzero_si512();
    __m512i odd = even;
    for (int y = -radius; y <= radius; ++y) {
        const __m512i v = _mm512_loadu_si512(row(y));
        even = _mm512_add_epi16(even, _mm512_and_si512(v, lowBytes));
        odd = _mm512_add_epi16(odd, _mm512_srli_epi16(v, 8));
    }
    for (int y = 0; y < rows; ++y) {
        const __m512i evenMean = _mm512_srl_epi16(_mm512_mulhi_epu16(even, reciprocal), shift);
        const __m512i oddMean = _mm512_srl_epi16(_mm512_mulhi_epu16(odd, reciprocal), shift);
        _mm512_storeu_si512(dst + y * dstStride, _mm512_or_si512(evenMean, _mm512_slli_epi16(oddMean, 8)));
        const __m512i a = _mm512_loadu_si512(row(y + radius + 1));
        const __m512i d = _mm512_loadu_si512(row(y - radius));
        even = _mm512_add_epi16(even, _mm512_sub_epi16(_mm512_and_si512(a, lowBytes), _mm512_and_si512(d, lowBytes)));
        odd = _mm512_add_epi16(odd, _mm512_sub_epi16(_mm512_srli_epi16(a, 8), _mm512_srli_epi16(d, 8)));
    }
}

// Transposes the 8 x 8 block of 32-bit lanes in r.
__attribute__((target("avx2"))) inline void transposePixels8x8Avx2(__m256i r[8])
{
    __m256i u[8];
    for (int g = 0; g < 8; g += 4) {
        const __m256i t0 = _mm256_unpacklo_epi32(r[g], r[g + 1]);
        const __m256i t1 = _mm256_unpackhi_epi32(r[g], r[g + 1]);
        const __m256i t2 = _mm256_unpacklo_epi32(r[g + 2], r[g + 3]);
        const __m256i t3 = _mm256_unpackhi_epi32(r[g + 2], r[g + 3]);
        u[g] = _mm256_unpacklo_epi64(t0, t2);
        u[g + 1] = _mm256_unpackhi_epi64(t0, t2);
        u[g + 2] = _mm256_unpacklo_epi64(t1, t3);
        u[g + 3] = _mm256_unpackhi_epi64(t1, t3);
    }
    for (int c = 0; c < 4; ++c) {
        r[c] = _mm256_permute2x128_si256(u[c], u[c + 4], 0x20);
        r[c + 4] = _mm256_permute2x128_si256(u[c], u[c + 4], 0x31);
    }
}

__attribute__((target("avx2"))) void boxRowsToStripAvx2(const QRgb *const *rows, int begin, int end, QRgb *columns)
{
    int x = begin;
    for (; x + 8 <= end; x += 8) {
        for (int half = 0; half < kBoxBlockRows; half += 8) {
            __m256i r[8];
            for (int j = 0; j < 8; ++j)
                r[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows[half + j] + x));
            transposePixels8x8Avx2(r);
            for (int c = 0; c < 8; ++c)
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(columns + (x + c) * kBoxBlockRows + half), r[c]);
        }
    }
    boxRowsToStripPortable(rows, x, end, columns);
}

__attribute__((target("avx2"))) void boxStripToRowsAvx2(const QRgb *columns, int begin, int end, QRgb *const *rows)
{
    int x = begin;
    for (; x + 8 <= end; x += 8) {
        for (int half = 0; half < kBoxBlockRows; half += 8) {
            __m256i r[8];
            for (int c = 0; c < 8; ++c)
                r[c] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(columns + (x + c) * kBoxBlockRows + half));
            transposePixels8x8Avx2(r);
            for (int j = 0; j < 8; ++j)
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(rows[half + j] + x), r[j]);
        }
    }
    boxStripToRowsPortable(columns, x, end, rows);
}

__attribute__((target("avx512bw"))) void boxRowsToStripAvx512(const QRgb *const *rows, int end, QRgb *columns)
{
    int x = 0;
    for (; x + 16 <= end; x += 16) {
        __m512i r[16];
        for (int j = 0; j < 16; ++j)
            r[j] = _mm512_loadu_si512(rows[j] + x);
        transposePixels16x16Avx512(r);
        for (int c = 0; c < 16; ++c)
            _mm512_storeu_si512(columns + (x + c) * kBoxBlockRows, r[c]);
    }
    boxRowsToStripAvx2(rows, x, end, columns);
}

__attribute__((target("avx512bw"))) void boxStripToRowsAvx512(const QRgb *columns, int end, QRgb *const *rows)
{
    int x = 0;
    for (; x + 16 <= end; x += 16) {
        __m512i r[16];
        for (int c = 0; c < 16; ++c)
            r[c] = _mm512_loadu_si512(columns + (x + c) * kBoxBlockRows);
        transposePixels16x16Avx512(r);
        for (int j = 0; j < 16; ++j)
            _mm512_storeu_si512(rows[j] + x, r[j]);
    }
    boxStripToRowsAvx2(columns, x, end, rows);
}
#endif

void boxStrip(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst, ptrdiff_t dstStride, int rows, int radius)
{
    if (radius <= 0) {
        for (int y = 0; y < rows; ++y)
            std::copy(src + y * srcStride, src + y * srcStride + kBoxStrip, dst + y * dstStride);
        return;
    }
    if (radius > kMaxShortBoxRadius) {
        boxStripWide(src, srcStride, dst, dstStride, rows, radius);
        return;
    }
#ifdef TRIMLET_X86
    const SimdLevel level = currentLevel().load(std::memory_order_relaxed);
    if (level == SimdLevel::Avx512) {
        boxStripAvx512(src, srcStride, dst, dstStride, rows, radius);
        return;
    }
    if (level == SimdLevel::Avx2) {
        boxStripAvx2(src, srcStride, dst, dstStride, rows, radius);
        return;
    }
#endif
    boxStripPortable(src, srcStride, dst, dstStride, rows, radius);
}

// The three passes down a strip, through two scratch strips; dst may be src.
void boxStripThreePasses(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst, ptrdiff_t dstStride, int rows,
                         const int radii[3], uint8_t *first, uint8_t *second)
{
    boxStrip(src, srcStride, first, kBoxStrip, rows, radii[0]);
    boxStrip(first, kBoxStrip, second, kBoxStrip, rows, radii[1]);
    boxStrip(second, kBoxStrip, dst, dstStride, rows, radii[2]);
}

void boxRowsToStrip(const QRgb *const *rows, int width, QRgb *columns)
{
#ifdef TRIMLET_X86
    const SimdLevel level = currentLevel().load(std::memory_order_relaxed);
    if (level == SimdLevel::Avx512) {
        boxRowsToStripAvx512(rows, width, columns);
        return;
    }
    if (level == SimdLevel::Avx2) {
        boxRowsToStripAvx2(rows, 0, width, columns);
        return;
    }
#endif
    boxRowsToStripPortable(rows, 0, width, columns);
}

void boxStripToRows(const QRgb *columns, int width, QRgb *const *rows)
{
#ifdef TRIMLET_X86
    const SimdLevel level = currentLevel().load(std::memory_order_relaxed);
    if (level == SimdLevel::Avx512) {
        boxStripToRowsAvx512(columns, width, rows);
        return;
    }
    if (level == SimdLevel::Avx2) {
        boxStripToRowsAvx2(columns, 0, width, rows);
        return;
    }
#endif
    boxStripToRowsPortable(columns, 0, width, rows);
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

void setVnniAllowed(bool allowed)
{
#ifdef TRIMLET_X86
    vnniAllowed.store(allowed);
#else
    Q_UNUSED(allowed);
#endif
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

    // Reused from frame to frame: fresh multi-megabyte buffers cost page faults.
    thread_local std::vector<int16_t> horizontal;
    thread_local std::vector<int16_t> vertical;
    thread_local std::vector<int16_t> padded;
    thread_local std::vector<uint32_t> rowPairs;
    thread_local std::vector<uint32_t> swappedPairs;
    thread_local std::vector<const int16_t *> taps;
    const size_t planeSize = size_t(width) * height;
    horizontal.resize(planes * planeSize);
    vertical.resize(planes * planeSize);
    const int pad = r + 1;
    padded.resize(size_t(width) + 2 * pad);
    taps.resize(std::max<size_t>(2 * r + 1, size_t(height) + 2 * r));
#ifdef TRIMLET_X86
    const bool pairLayout = fixed.fineFitsLanes
        && currentLevel().load(std::memory_order_relaxed) == SimdLevel::Avx512;
#else
    const bool pairLayout = false;
#endif

#ifdef TRIMLET_X86
    if (pairLayout)
        horizontalByColumns(image, planes, fixed, hasVnni() ? &pairsVnniBlock64Precise : &pairsAvx512Block64Precise,
                            horizontal.data(), planeSize);
#endif
    for (int k = 0; k <= 2 * r; ++k)
        taps[k] = padded.data() + 1 + k;
    for (int y = 0; y < height && !pairLayout; ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int p = 0; p < planes; ++p) {
            const int shift = shifts[p];
            const int16_t first = int16_t((line[0] >> shift) & 0xff);
            const int16_t last = int16_t((line[width - 1] >> shift) & 0xff);
            std::fill(padded.begin(), padded.begin() + pad, first);
            for (int x = 0; x < width; ++x)
                padded[pad + x] = int16_t((line[x] >> shift) & 0xff);
            std::fill(padded.begin() + pad + width, padded.end(), last);
            int16_t *out = horizontal.data() + p * planeSize + size_t(y) * width;
            convolvePrecise(taps.data(), 0, width, fixed, out);
        }
    }

    // Vertical pass in column strips narrow enough that the window's rows stay
    // in the first-level cache from one output row to the next.
    constexpr int kStrip = 64;
    for (int p = 0; p < planes; ++p) {
        const int16_t *plane = horizontal.data() + p * planeSize;
        int16_t *out = vertical.data() + p * planeSize;
        auto row = [&](int k) { return plane + size_t(std::clamp(k, 0, height - 1)) * width; };
#ifdef TRIMLET_X86
        if (pairLayout) {
            // Row k of the strip's pairs holds (row k - 1 - r, row k - r), of the
            // swapped pairs (row k - r, row k - 1 - r).
            const int pairRows = height + 2 * r + 2;
            const ptrdiff_t stride = kStrip * 4;
            uint32_t *pairs = alignedBuffer(rowPairs, size_t(pairRows) * kStrip);
            uint32_t *swapped = alignedBuffer(swappedPairs, size_t(pairRows) * kStrip);
            for (int x0 = 0; x0 < width; x0 += kStrip) {
                const int count = std::min(width - x0, kStrip);
                for (int k = 0; k < pairRows; ++k)
                    interleaveRows(row(k - 1 - r) + x0, row(k - r) + x0, count, pairs + size_t(k) * kStrip,
                                   swapped + size_t(k) * kStrip);
                for (int y = 0; y < height; ++y) {
                    const uint32_t *forward = pairs + size_t(y + r + 1) * kStrip;
                    int16_t *line = out + size_t(y) * width + x0;
                    const uint32_t *backward = swapped + size_t(y + r) * kStrip;
                    if (hasVnni())
                        pairsVnniLanes(forward, backward, stride, count, fixed, line);
                    else
                        pairsAvx512Lanes(forward, backward, stride, count, fixed, line);
                }
            }
            continue;
        }
#endif
        // taps + y is then the window of output row y, edge rows repeated.
        for (int k = 0; k < height + 2 * r; ++k)
            taps[k] = row(k - r);
        for (int x0 = 0; x0 < width; x0 += kStrip) {
            const int x1 = std::min(width, x0 + kStrip);
            for (int y = 0; y < height; ++y)
                convolve(taps.data() + y, x0, x1, fixed, out + size_t(y) * width);
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
    for (int y = 0; y < height; ++y) {
        QRgb *out = reinterpret_cast<QRgb *>(result.scanLine(y));
        const int16_t *red = vertical.data() + size_t(y) * width;
        const int16_t *green = red + planeSize;
        const int16_t *blue = green + planeSize;
        const int16_t *alpha = opaque ? nullptr : blue + planeSize;
#ifdef TRIMLET_X86
        if (pairLayout) {
            packPixels(red, green, blue, alpha, constantAlpha, width, out);
            continue;
        }
#endif
        for (int x = 0; x < width; ++x) {
            const uint32_t a = alpha ? uint32_t(alpha[x]) : constantAlpha;
            out[x] = (a << 24) | (uint32_t(red[x]) << 16) | (uint32_t(green[x]) << 8) | uint32_t(blue[x]);
        }
    }
    return result;
}

namespace {

void saturationTable(double factor, int32_t scaled[256])
{
    for (int s = 0; s < 256; ++s)
        scaled[s] = qBound(0, int(s * factor), 255);
}

void saturateLine(QRgb *line, int width, const int32_t *scaled)
{
#ifdef TRIMLET_X86
    if (currentLevel().load(std::memory_order_relaxed) == SimdLevel::Avx512) {
        scaleSaturationAvx512(line, width, scaled);
        return;
    }
    if (useAvx2()) {
        scaleSaturationAvx2(line, width, scaled);
        return;
    }
#endif
    for (int x = 0; x < width; ++x)
        line[x] = saturatePixel(line[x], scaled);
}

#ifdef TRIMLET_X86
bool hasVbmi()
{
    static const bool vbmi = __builtin_cpu_supports("avx512vbmi");
    return vbmi;
}

// Maps the bytes of line through a 256-entry table with two 128-entry byte
// permutes; bytes set in `keep` (per pixel pattern over 64 bytes) stay as they are.
__attribute__((target("avx512bw,avx512vbmi"))) void mapBytesVbmi(QRgb *line, int count, const uint8_t *table,
                                                                  uint64_t keep)
{
    const __m512i t0 = _mm512_loadu_si512(table);
    const __m512i t1 = _mm512_loadu_si512(table + 64);
    const __m512i t2 = _mm512_loadu_si512(table + 128);
    const __m512i t3 = _mm512_loadu_si512(table + 192);
    int x = 0;
    for (; x + 16 <= count; x += 16) {
        const __m512i v = _mm512_loadu_si512(line + x);
        const __m512i low = _mm512_permutex2var_epi8(t0, v, t1);
        const __m512i high = _mm512_permutex2var_epi8(t2, v, t3);
        const __m512i mapped = _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), low, high);
        _mm512_storeu_si512(line + x, _mm512_mask_blend_epi8(keep, mapped, v));
    }
    uint8_t *bytes = reinterpret_cast<uint8_t *>(line + x);
    for (int b = 0; b < 4 * (count - x); ++b) {
        if (!((keep >> (b % 64)) & 1))
            bytes[b] = table[bytes[b]];
    }
}

// line[x] = its alpha with sepiaOfGray[gray of line[x]].
__attribute__((target("avx512bw"))) void graySepiaAvx512(QRgb *line, int count, const uint32_t *sepiaOfGray)
{
    // Bytes are B, G, R, A: weights 5, 16, 11, 0.
    const __m512i weights = _mm512_set1_epi32(0x000b1005);
    const __m512i ones = _mm512_set1_epi16(1);
    const __m512i alphaMask = _mm512_set1_epi32(int(0xff000000u));
    int x = 0;
    for (; x + 16 <= count; x += 16) {
        const __m512i px = _mm512_loadu_si512(line + x);
        const __m512i sums = _mm512_madd_epi16(_mm512_maddubs_epi16(px, weights), ones);
        const __m512i gray = _mm512_maskz_srli_epi32(0xffff, sums, 5);
        const __m512i sepia =
            _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xffff, gray, sepiaOfGray, 4);
        _mm512_storeu_si512(line + x, _mm512_or_si512(_mm512_and_si512(px, alphaMask), sepia));
    }
    for (; x < count; ++x) {
        const QRgb p = line[x];
        const uint32_t g = (11 * ((p >> 16) & 0xff) + 16 * ((p >> 8) & 0xff) + 5 * (p & 0xff)) >> 5;
        line[x] = (p & 0xff000000u) | sepiaOfGray[g];
    }
}
#endif

bool useVbmi()
{
#ifdef TRIMLET_X86
    return currentLevel().load(std::memory_order_relaxed) == SimdLevel::Avx512 && hasVbmi();
#else
    return false;
#endif
}

void mapColorLine(QRgb *line, int width, const uint8_t *table)
{
#ifdef TRIMLET_X86
    if (useVbmi()) {
        mapBytesVbmi(line, width, table, 0x8888888888888888ull);
        return;
    }
#endif
    for (int x = 0; x < width; ++x) {
        const QRgb p = line[x];
        line[x] = (p & 0xff000000u) | (uint32_t(table[(p >> 16) & 0xff]) << 16)
            | (uint32_t(table[(p >> 8) & 0xff]) << 8) | table[p & 0xff];
    }
}

void mapAlphaLine(QRgb *line, int width, const uint8_t *table)
{
#ifdef TRIMLET_X86
    if (useVbmi()) {
        mapBytesVbmi(line, width, table, 0x7777777777777777ull);
        return;
    }
#endif
    for (int x = 0; x < width; ++x)
        line[x] = (line[x] & 0x00ffffffu) | (uint32_t(table[line[x] >> 24]) << 24);
}

inline uint32_t grayOf(QRgb p)
{
    return (11 * ((p >> 16) & 0xff) + 16 * ((p >> 8) & 0xff) + 5 * (p & 0xff)) >> 5;
}

void grayscaleLine(QRgb *line, int width)
{
    for (int x = 0; x < width; ++x) {
        const QRgb p = line[x];
        const uint32_t gray = grayOf(p);
        line[x] = (p & 0xff000000u) | (gray << 16) | (gray << 8) | gray;
    }
}

void sepiaLine(QRgb *line, int width)
{
#ifdef TRIMLET_X86
    if (useAvx2()) {
        sepiaAvx2(line, width);
        return;
    }
#endif
    for (int x = 0; x < width; ++x)
        line[x] = sepiaPixel(line[x]);
}

} // namespace

void scaleSaturation(QImage &image, double factor)
{
    int32_t scaled[256];
    saturationTable(factor, scaled);
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y)
        saturateLine(reinterpret_cast<QRgb *>(image.scanLine(y)), width, scaled);
}

void mapColorChannels(QImage &image, const uint8_t table[256])
{
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y)
        mapColorLine(reinterpret_cast<QRgb *>(image.scanLine(y)), width, table);
}

void mapAlpha(QImage &image, const uint8_t table[256])
{
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y)
        mapAlphaLine(reinterpret_cast<QRgb *>(image.scanLine(y)), width, table);
}

void grayscale(QImage &image)
{
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y)
        grayscaleLine(reinterpret_cast<QRgb *>(image.scanLine(y)), width);
}

void sepia(QImage &image)
{
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y)
        sepiaLine(reinterpret_cast<QRgb *>(image.scanLine(y)), width);
}

void applyPixelSteps(QImage &image, const PixelSteps &steps)
{
    int32_t scaled[256];
    if (steps.saturation)
        saturationTable(steps.saturationFactor, scaled);
    // Sepia of a grey pixel depends on the grey level alone.
    const bool graySepia = steps.grayscale && steps.sepia;
    uint32_t sepiaOfGray[256];
    if (graySepia) {
        for (int g = 0; g < 256; ++g)
            sepiaOfGray[g] = sepiaPixel(qRgba(g, g, g, 0));
    }
    uint8_t alphaTable[256];
    if (steps.alphaTable) {
        for (int a = 0; a < 256; ++a)
            alphaTable[a] = steps.alphaTable[steps.opaqueAlpha ? 255 : a];
    }
    const int width = image.width();
    const int height = image.height();
    for (int y = 0; y < height; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        if (steps.channelTable)
            mapColorLine(line, width, steps.channelTable);
        if (steps.saturation)
            saturateLine(line, width, scaled);
        if (graySepia) {
#ifdef TRIMLET_X86
            if (currentLevel().load(std::memory_order_relaxed) == SimdLevel::Avx512)
                graySepiaAvx512(line, width, sepiaOfGray);
            else
#endif
            for (int x = 0; x < width; ++x)
                line[x] = (line[x] & 0xff000000u) | sepiaOfGray[grayOf(line[x])];
        } else if (steps.grayscale) {
            grayscaleLine(line, width);
        } else if (steps.sepia) {
            sepiaLine(line, width);
        }
        if (steps.alphaTable)
            mapAlphaLine(line, width, alphaTable);
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
    QImage result(width, height, image.format());
    if (result.isNull())
        return {};
    // Reused from frame to frame: fresh buffers cost page faults.
    thread_local std::vector<uint8_t> strip;
    thread_local std::vector<uint8_t> first;
    thread_local std::vector<uint8_t> second;
    thread_local std::vector<QRgb> spareRow;
    const size_t stripSize = size_t(std::max(width, height)) * kBoxStrip;
    strip.resize(stripSize);
    first.resize(stripSize);
    second.resize(stripSize);
    spareRow.resize(width);
    uint8_t *bits = result.bits();
    const ptrdiff_t stride = result.bytesPerLine();

    // Horizontal passes on blocks of 16 rows turned into strips; a short last
    // block repeats its last row and writes the extra rows nowhere.
    QRgb *columns = reinterpret_cast<QRgb *>(strip.data());
    for (int y0 = 0; y0 < height; y0 += kBoxBlockRows) {
        const QRgb *in[kBoxBlockRows];
        QRgb *out[kBoxBlockRows];
        for (int j = 0; j < kBoxBlockRows; ++j) {
            in[j] = reinterpret_cast<const QRgb *>(image.constScanLine(std::min(y0 + j, height - 1)));
            out[j] = y0 + j < height ? reinterpret_cast<QRgb *>(bits + (y0 + j) * stride) : spareRow.data();
        }
        boxRowsToStrip(in, width, columns);
        boxStripThreePasses(strip.data(), kBoxStrip, strip.data(), kBoxStrip, width, radii, first.data(),
                            second.data());
        boxStripToRows(columns, width, out);
    }

    // Vertical passes in place, down strips of 16 pixels; a narrower last strip
    // goes through a copy.
    const int bytes = 4 * width;
    int x0 = 0;
    for (; x0 + kBoxStrip <= bytes; x0 += kBoxStrip)
        boxStripThreePasses(bits + x0, stride, bits + x0, stride, height, radii, first.data(), second.data());
    if (x0 < bytes) {
        for (int y = 0; y < height; ++y)
            std::copy(bits + y * stride + x0, bits + y * stride + bytes, strip.data() + y * kBoxStrip);
        boxStripThreePasses(strip.data(), kBoxStrip, strip.data(), kBoxStrip, height, radii, first.data(),
                            second.data());
        for (int y = 0; y < height; ++y)
            std::copy(strip.data() + y * kBoxStrip, strip.data() + y * kBoxStrip + (bytes - x0), bits + y * stride + x0);
    }
    return result;
}

} // namespace ImageKernels
