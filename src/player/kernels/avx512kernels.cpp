// The AVX-512 variants, compiled with -mavx512f -mavx512bw -mavx512vl (see
// kerneltable.h for what this file may include); VNNI and VBMI forms carry
// their own target attributes and are chosen only where the CPU has them.
// Fused multiply-adds round differently from the reference's separate steps:
// the file is compiled without contraction.
#include "kerneltable.h"

#include <immintrin.h>

namespace ImageKernels {

namespace {

inline int minInt(int a, int b) { return a < b ? a : b; }
inline int clampInt(int v, int low, int high) { return v < low ? low : v > high ? high : v; }

// acc + the multiply-add of pairs and weights: two instructions, or VNNI's one.
struct MaddDot {
    static inline __m512i add(__m512i acc, __m512i pairs, __m512i weights)
    {
        return _mm512_add_epi32(acc, _mm512_madd_epi16(pairs, weights));
    }
};

struct VnniDot {
    static inline __m512i add(__m512i acc, __m512i pairs, __m512i weights)
    {
        // In place: with the intrinsic GCC copies accumulators on every round.
        asm("vpdpwssd %2, %1, %0" : "+v"(acc) : "v"(pairs), "v"(weights));
        return acc;
    }
};

// (low, high) as the 16-bit halves of every lane: the centre weight split in two.
inline __m512i weightPair(int low, int high)
{
    return _mm512_set1_epi32(int32_t(uint32_t(low) | (uint32_t(high) << 16)));
}

// The centre samples of forward pairs, and each twice over for the split centre weight.
inline __m512i centreSamples(const char *forward)
{
    return _mm512_and_si512(_mm512_loadu_si512(forward), _mm512_set1_epi32(0xffff));
}
inline __m512i centreTwice(__m512i centre)
{
    return _mm512_or_si512(centre, _mm512_maskz_slli_epi32(0xffff, centre, 16));
}

// Truncates a window's fixed-point sum; a uniform window takes the double-precision result.
inline __m512i finishFolded(__m512i sum, __m512i centre, const BlurWeights &k)
{
    const __m512i result = _mm512_maskz_srli_epi32(0xffff, sum, kFixedShift);
    const __mmask16 fix = _mm512_cmpeq_epi32_mask(sum, _mm512_maskz_slli_epi32(0xffff, centre, kFixedShift));
    return fix ? _mm512_mask_i32gather_epi32(result, fix, result, k.uniformResult32, 4) : result;
}

// Levels from first-pass sums split into high and rest halves (sum = high *
// 2^15 + rest). Flat windows take the flat result; other lanes too close to a
// whole level are summed again in double from their samples, 16 bits each at
// forward + 4 * lane + t * stride.
__m512i finishPrecise(__m512i high, __m512i rest, __m512i centre,
                                                         __mmask16 flat, const char *forward, ptrdiff_t stride,
                                                         const BlurWeights &k)
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
        level = _mm512_mask_i32gather_epi32(level, flat, centre, k.uniformResult32, 4);
    if (unsure) {
        alignas(64) int32_t values[16];
        _mm512_store_si512(values, level);
        for (int l = 0; l < 16; ++l) {
            if (!(unsure & (1u << l)))
                continue;
            values[l] = Shared::exactLevel(k, forward + 4 * l - k.radius * stride, stride);
        }
        level = _mm512_load_si512(values);
    }
    return level;
}

// Lanes whose window holds one value: as many changes of sample up to its
// last tap as up to its first.
inline __mmask16 flatLanes(const int32_t *changes, int radius)
{
    return _mm512_cmpeq_epi32_mask(_mm512_load_si512(changes + 16 * radius), _mm512_load_si512(changes - 16 * radius));
}

// One output from the folded pair layout, lanes `step` apart.
inline int16_t foldedSample(const uint32_t *forward, const uint32_t *backward, ptrdiff_t step, const BlurWeights &k)
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

// Sums over 32-bit lanes that each hold two neighbouring samples of a window:
// `forward` lanes hold (s[c + j], s[c + j + 1]) stride * j bytes on and
// `backward` lanes (s[c - j], s[c - j - 1]) stride * j bytes back. Adding the
// two folds the symmetric kernel, so one multiply-add covers four taps. Blocks
// of 16 lanes share the weights loaded for a tap pair; several accumulators
// keep the multiply-adds independent.
template <typename Dot, int Blocks, int Acc>
inline void pairBlocks(
    const char *const *forward, const char *const *backward, ptrdiff_t stride, const BlurWeights &k, __m512i *results)
{
    const int r = k.radius;
    const __m512i centerWeights = weightPair(k.centerLow, k.centerHigh);
    __m512i centre[Blocks], acc[Acc][Blocks];
#pragma GCC unroll 4
    for (int b = 0; b < Blocks; ++b) {
        centre[b] = centreSamples(forward[b]);
        acc[0][b] = _mm512_madd_epi16(centreTwice(centre[b]), centerWeights);
#pragma GCC unroll 4
        for (int a = 1; a < Acc; ++a)
            acc[a][b] = _mm512_setzero_si512();
    }
    int pair = 0;
    int j = 1;
    for (; j + 2 * (Acc - 1) <= r; j += 2 * Acc, pair += Acc) {
#pragma GCC unroll 4
        for (int a = 0; a < Acc; ++a) {
            const __m512i w = _mm512_set1_epi32(k.pairWeights[pair + a]);
            const ptrdiff_t offset = stride * (j + 2 * a);
#pragma GCC unroll 4
            for (int b = 0; b < Blocks; ++b)
                acc[a][b] = Dot::add(acc[a][b],
                    _mm512_add_epi16(_mm512_loadu_si512(forward[b] + offset), _mm512_loadu_si512(backward[b] - offset)),
                    w);
        }
    }
    for (; j <= r; j += 2, ++pair) {
        const __m512i w = _mm512_set1_epi32(k.pairWeights[pair]);
#pragma GCC unroll 4
        for (int b = 0; b < Blocks; ++b)
            acc[0][b] = Dot::add(acc[0][b],
                _mm512_add_epi16(
                    _mm512_loadu_si512(forward[b] + stride * j), _mm512_loadu_si512(backward[b] - stride * j)),
                w);
    }
#pragma GCC unroll 4
    for (int b = 0; b < Blocks; ++b) {
        __m512i sum = acc[0][b];
#pragma GCC unroll 4
        for (int a = 1; a < Acc; ++a)
            sum = _mm512_add_epi32(sum, acc[a][b]);
        results[b] = finishFolded(sum, centre[b], k);
    }
}

// Four blocks side by side, written out so the compiler keeps every accumulator in a register.
template <typename Dot>
inline void pairBlock64(
    const char *forward, const char *backward, ptrdiff_t stride, const BlurWeights &k, __m512i *results)
{
    const __m512i centerWeights = weightPair(k.centerLow, k.centerHigh);
    const __m512i c0 = centreSamples(forward);
    const __m512i c1 = centreSamples(forward + 64);
    const __m512i c2 = centreSamples(forward + 128);
    const __m512i c3 = centreSamples(forward + 192);
    __m512i a0 = _mm512_madd_epi16(centreTwice(c0), centerWeights);
    __m512i a1 = _mm512_madd_epi16(centreTwice(c1), centerWeights);
    __m512i a2 = _mm512_madd_epi16(centreTwice(c2), centerWeights);
    __m512i a3 = _mm512_madd_epi16(centreTwice(c3), centerWeights);
    __m512i b0 = _mm512_setzero_si512(), b1 = b0, b2 = b0, b3 = b0;
    const int32_t *weights = k.pairWeights;
    const int pairs = k.pairCount;
    const ptrdiff_t step = 4 * stride, next = 2 * stride;
    const char *f = forward + stride;
    const char *g = backward - stride;
    int p = 0;
    for (; p + 2 <= pairs; p += 2, f += step, g -= step) {
        const __m512i w0 = _mm512_set1_epi32(weights[p]);
        const __m512i w1 = _mm512_set1_epi32(weights[p + 1]);
        a0 = Dot::add(a0, _mm512_add_epi16(_mm512_loadu_si512(f), _mm512_loadu_si512(g)), w0);
        a1 = Dot::add(a1, _mm512_add_epi16(_mm512_loadu_si512(f + 64), _mm512_loadu_si512(g + 64)), w0);
        a2 = Dot::add(a2, _mm512_add_epi16(_mm512_loadu_si512(f + 128), _mm512_loadu_si512(g + 128)), w0);
        a3 = Dot::add(a3, _mm512_add_epi16(_mm512_loadu_si512(f + 192), _mm512_loadu_si512(g + 192)), w0);
        const char *f1 = f + next;
        const char *g1 = g - next;
        b0 = Dot::add(b0, _mm512_add_epi16(_mm512_loadu_si512(f1), _mm512_loadu_si512(g1)), w1);
        b1 = Dot::add(b1, _mm512_add_epi16(_mm512_loadu_si512(f1 + 64), _mm512_loadu_si512(g1 + 64)), w1);
        b2 = Dot::add(b2, _mm512_add_epi16(_mm512_loadu_si512(f1 + 128), _mm512_loadu_si512(g1 + 128)), w1);
        b3 = Dot::add(b3, _mm512_add_epi16(_mm512_loadu_si512(f1 + 192), _mm512_loadu_si512(g1 + 192)), w1);
    }
    if (p < pairs) {
        const __m512i w0 = _mm512_set1_epi32(weights[p]);
        a0 = Dot::add(a0, _mm512_add_epi16(_mm512_loadu_si512(f), _mm512_loadu_si512(g)), w0);
        a1 = Dot::add(a1, _mm512_add_epi16(_mm512_loadu_si512(f + 64), _mm512_loadu_si512(g + 64)), w0);
        a2 = Dot::add(a2, _mm512_add_epi16(_mm512_loadu_si512(f + 128), _mm512_loadu_si512(g + 128)), w0);
        a3 = Dot::add(a3, _mm512_add_epi16(_mm512_loadu_si512(f + 192), _mm512_loadu_si512(g + 192)), w0);
    }
    results[0] = finishFolded(_mm512_add_epi32(a0, b0), c0, k);
    results[1] = finishFolded(_mm512_add_epi32(a1, b1), c1, k);
    results[2] = finishFolded(_mm512_add_epi32(a2, b2), c2, k);
    results[3] = finishFolded(_mm512_add_epi32(a3, b3), c3, k);
}

// The first pass's four blocks, with the fine weights' two halves; `changes` counts
// changes of sample along each lane's taps (see horizontalByColumns).
template <typename Dot>
void pairBlock64Precise(const char *forward, const char *backward, ptrdiff_t stride, const int32_t *changes,
    const BlurWeights &k, __m512i *results)
{
    const __m512i centerHigh = weightPair(k.fineCenterLow, k.fineCenterHigh);
    const __m512i centerRest = _mm512_set1_epi32(k.fineCenterRest);
    const __m512i c0 = centreSamples(forward);
    const __m512i c1 = centreSamples(forward + 64);
    const __m512i c2 = centreSamples(forward + 128);
    const __m512i c3 = centreSamples(forward + 192);
    __m512i h0 = _mm512_madd_epi16(centreTwice(c0), centerHigh);
    __m512i h1 = _mm512_madd_epi16(centreTwice(c1), centerHigh);
    __m512i h2 = _mm512_madd_epi16(centreTwice(c2), centerHigh);
    __m512i h3 = _mm512_madd_epi16(centreTwice(c3), centerHigh);
    __m512i r0 = _mm512_madd_epi16(c0, centerRest);
    __m512i r1 = _mm512_madd_epi16(c1, centerRest);
    __m512i r2 = _mm512_madd_epi16(c2, centerRest);
    __m512i r3 = _mm512_madd_epi16(c3, centerRest);
    const int32_t *highs = k.finePairsHigh;
    const int32_t *rests = k.finePairsRest;
    const int pairs = k.pairCount;
    const ptrdiff_t step = 2 * stride;
    const char *f = forward + stride;
    const char *g = backward - stride;
    for (int p = 0; p < pairs; ++p, f += step, g -= step) {
        const __m512i wh = _mm512_set1_epi32(highs[p]);
        const __m512i wr = _mm512_set1_epi32(rests[p]);
        const __m512i v0 = _mm512_add_epi16(_mm512_loadu_si512(f), _mm512_loadu_si512(g));
        const __m512i v1 = _mm512_add_epi16(_mm512_loadu_si512(f + 64), _mm512_loadu_si512(g + 64));
        const __m512i v2 = _mm512_add_epi16(_mm512_loadu_si512(f + 128), _mm512_loadu_si512(g + 128));
        const __m512i v3 = _mm512_add_epi16(_mm512_loadu_si512(f + 192), _mm512_loadu_si512(g + 192));
        h0 = Dot::add(h0, v0, wh);
        h1 = Dot::add(h1, v1, wh);
        h2 = Dot::add(h2, v2, wh);
        h3 = Dot::add(h3, v3, wh);
        r0 = Dot::add(r0, v0, wr);
        r1 = Dot::add(r1, v1, wr);
        r2 = Dot::add(r2, v2, wr);
        r3 = Dot::add(r3, v3, wr);
    }
    results[0] = finishPrecise(h0, r0, c0, flatLanes(changes + 0, k.radius), forward, stride, k);
    results[1] = finishPrecise(h1, r1, c1, flatLanes(changes + 16, k.radius), forward + 64, stride, k);
    results[2] = finishPrecise(h2, r2, c2, flatLanes(changes + 32, k.radius), forward + 128, stride, k);
    results[3] = finishPrecise(h3, r3, c3, flatLanes(changes + 48, k.radius), forward + 192, stride, k);
}

// forward[x]: pairs (s[x], s[x + 1]) of output x; backward[x]: (s[x], s[x - 1]).
template <typename Dot>
void pairLanes(
    const uint32_t *forward, const uint32_t *backward, ptrdiff_t stride, int count, const BlurWeights &k, int16_t *out)
{
    const char *f = reinterpret_cast<const char *>(forward);
    const char *b = reinterpret_cast<const char *>(backward);
    __m512i results[4];
    int x = 0;
    for (; x + 64 <= count; x += 64) {
        pairBlock64<Dot>(f + 4 * x, b + 4 * x, stride, k, results);
        for (int i = 0; i < 4; ++i)
            _mm256_storeu_si256(
                reinterpret_cast<__m256i *>(out + x + 16 * i), _mm512_maskz_cvtepi32_epi16(0xffff, results[i]));
    }
    for (; x + 32 <= count; x += 32) {
        const char *fb[2] = { f + 4 * x, f + 4 * x + 64 };
        const char *bb[2] = { b + 4 * x, b + 4 * x + 64 };
        pairBlocks<Dot, 2, 4>(fb, bb, stride, k, results);
        for (int i = 0; i < 2; ++i)
            _mm256_storeu_si256(
                reinterpret_cast<__m256i *>(out + x + 16 * i), _mm512_maskz_cvtepi32_epi16(0xffff, results[i]));
    }
    for (; x + 16 <= count; x += 16) {
        const char *fb[1] = { f + 4 * x };
        const char *bb[1] = { b + 4 * x };
        pairBlocks<Dot, 1, 4>(fb, bb, stride, k, results);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + x), _mm512_maskz_cvtepi32_epi16(0xffff, results[0]));
    }
    const ptrdiff_t step = stride / 4;
    for (; x < count; ++x)
        out[x] = foldedSample(forward + x, backward + x, step, k);
}

// forward[x] = (a[x], b[x]) and backward[x] = (b[x], a[x]) as the low and high 16 bits.
void interleaveRows(const int16_t *a, const int16_t *b, int count, uint32_t *forward, uint32_t *backward)
{
    int x = 0;
    for (; x + 16 <= count; x += 16) {
        const __m512i low
            = _mm512_maskz_cvtepu16_epi32(0xffff, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + x)));
        const __m512i high
            = _mm512_maskz_cvtepu16_epi32(0xffff, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + x)));
        _mm512_storeu_si512(forward + x, _mm512_or_si512(low, _mm512_maskz_slli_epi32(0xffff, high, 16)));
        _mm512_storeu_si512(backward + x, _mm512_or_si512(high, _mm512_maskz_slli_epi32(0xffff, low, 16)));
    }
    for (; x < count; ++x) {
        forward[x] = uint32_t(uint16_t(a[x])) | (uint32_t(uint16_t(b[x])) << 16);
        backward[x] = uint32_t(uint16_t(b[x])) | (uint32_t(uint16_t(a[x])) << 16);
    }
}

inline __m512i widen(const int16_t *p)
{
return _mm512_maskz_cvtepu16_epi32(0xffff, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
}

// line[x] = (alpha, red, green, blue) from 16-bit planes; alpha may be null for constantAlpha.
void packPixels(const int16_t *red, const int16_t *green, const int16_t *blue,
                                                const int16_t *alpha, uint32_t constantAlpha, int count,
                                                uint32_t *line)
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


using Block64Fn = void (*)(const char *, const char *, ptrdiff_t, const int32_t *, const BlurWeights &, __m512i *);

// Transposes the 16 x 16 block of 32-bit lanes in r.
inline void transposePixels16x16Avx512(__m512i r[16])
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
void horizontalByColumns(const uint8_t *image, ptrdiff_t bytesPerLine, int width, int height, int planes,
                         const BlurWeights &k, Block64Fn block, int16_t *out, size_t planeSize)
{
    static constexpr int shifts[4] = {16, 8, 0, 24};
    const int pad = k.radius + 1;
    const int columns = (width + 15) / 16 * 16;
    const int span = columns + 2 * pad;
    auto *pixels = static_cast<uint32_t *>(Shared::scratch(0, size_t(width) * 16 * sizeof(uint32_t)));
    auto *pairs = static_cast<uint32_t *>(Shared::scratch(1, size_t(span) * 16 * sizeof(uint32_t)));
    auto *swapped = static_cast<uint32_t *>(Shared::scratch(2, size_t(span) * 16 * sizeof(uint32_t)));
    auto *changes = static_cast<int32_t *>(Shared::scratch(3, size_t(span) * 16 * sizeof(int32_t)));
    const __m512i byteMask = _mm512_set1_epi32(0xff);
    for (int y0 = 0; y0 < height; y0 += 16) {
        const int rows = minInt(16, height - y0);
        const uint32_t *lines[16];
        for (int l = 0; l < 16; ++l)
            lines[l] = reinterpret_cast<const uint32_t *>(image + minInt(y0 + l, height - 1) * bytesPerLine);
        for (int x0 = 0; x0 < width; x0 += 16) {
            const int n = minInt(16, width - x0);
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
                const int column = clampInt(i + 1 - pad, 0, width - 1);
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
                const int n = minInt(16, width - x0);
                const __mmask16 mask = __mmask16((1u << n) - 1);
                for (int l = 0; l < rows; ++l)
                    _mm256_mask_storeu_epi16(plane + size_t(y0 + l) * size_t(width) + x0, mask,
                                             _mm512_maskz_cvtepi32_epi16(0xffff, results[l]));
            }
        }
    }
}

inline __m512i divide257Avx512(__m512i value)
{
    value = _mm512_add_epi32(value, _mm512_set1_epi32(128));
    return _mm512_maskz_srli_epi32(
        0xffff, _mm512_sub_epi32(value, _mm512_maskz_srli_epi32(0xffff, value, 8)), 8);
}

inline __m512i roundPositiveAvx512(__m512 value)
{
    return _mm512_maskz_cvttps_epi32(0xffff, _mm512_add_ps(value, _mm512_set1_ps(0.5f)));
}

inline __m512 unitOf8Bit(__m512i value)
{
    return _mm512_div_ps(_mm512_maskz_cvtepi32_ps(0xffff, _mm512_mullo_epi32(value, _mm512_set1_epi32(257))),
                         _mm512_set1_ps(65535.0f));
}

// The AVX2 version's operations on 16 lanes. AVX-512 brings FMA, and a fused
// multiply-add rounds differently from QColor's separate steps: no contraction.
void scaleSaturationAvx512(uint32_t *pixels, int count,
                                                               const int32_t *scaledSaturation)
{
    const __m512i byteMask = _mm512_set1_epi32(0xff);
    const __m512 k65535 = _mm512_set1_ps(65535.0f);
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
        avx2Kernels().saturate(pixels + i, count - i, scaledSaturation);
}

void boxStripAvx512(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst,
                                                          ptrdiff_t dstStride, int rows, int radius)
{
    const BoxDivisor divisor = boxDivisor(radius);
    const __m512i lowBytes = _mm512_set1_epi16(0x00ff);
    const __m512i reciprocal = _mm512_set1_epi16(short(divisor.reciprocal));
    const __m128i shift = _mm_cvtsi32_si128(divisor.shift);
    auto row = [&](int y) { return src + clampInt(y, 0, rows - 1) * srcStride; };
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

void boxRowsToStripAvx512(const uint32_t *const *rows, int end, uint32_t *columns)
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
    for (; x < end; ++x) {
        for (int j = 0; j < kBoxBlockRows; ++j)
            columns[x * kBoxBlockRows + j] = rows[j][x];
    }
}

void boxStripToRowsAvx512(const uint32_t *columns, int end, uint32_t *const *rows)
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
    for (; x < end; ++x) {
        for (int j = 0; j < kBoxBlockRows; ++j)
            rows[j][x] = columns[x * kBoxBlockRows + j];
    }
}

// Maps the bytes of line through a 256-entry table with two 128-entry byte
// permutes; bytes set in `keep` (per pixel pattern over 64 bytes) stay as they are.
__attribute__((target("avx512vbmi"))) void mapBytesVbmi(uint32_t *line, int count, const uint8_t *table,
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
void graySepiaAvx512(uint32_t *line, int count, const uint32_t *sepiaOfGray)
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
    referenceKernels().graySepia(line + x, count - x, sepiaOfGray);
}

// Rows k of the strip's pairs hold (row k - 1 - r, row k - r), of the swapped
// pairs (row k - r, row k - 1 - r): a multiply-add then takes two taps from
// each side of the folded window.
template <typename Dot>
void blurColumns(const int16_t *in, int width, int height, const BlurWeights &k, int16_t *out)
{
    constexpr int kStrip = 64;
    const int r = k.radius;
    auto row = [&](int t) { return in + size_t(clampInt(t, 0, height - 1)) * width; };
    const int pairRows = height + 2 * r + 2;
    const ptrdiff_t stride = kStrip * 4;
    auto *pairs = static_cast<uint32_t *>(Shared::scratch(4, size_t(pairRows) * kStrip * sizeof(uint32_t)));
    auto *swapped = static_cast<uint32_t *>(Shared::scratch(5, size_t(pairRows) * kStrip * sizeof(uint32_t)));
    for (int x0 = 0; x0 < width; x0 += kStrip) {
        const int count = minInt(width - x0, kStrip);
        for (int t = 0; t < pairRows; ++t)
            interleaveRows(row(t - 1 - r) + x0, row(t - r) + x0, count, pairs + size_t(t) * kStrip,
                           swapped + size_t(t) * kStrip);
        for (int y = 0; y < height; ++y) {
            const uint32_t *forward = pairs + size_t(y + r + 1) * kStrip;
            const uint32_t *backward = swapped + size_t(y + r) * kStrip;
            int16_t *line = out + size_t(y) * width + x0;
            pairLanes<Dot>(forward, backward, stride, count, k, line);
        }
    }
}

template <typename Dot>
void blurRows(const uint8_t *pixels, ptrdiff_t bytesPerLine, int width, int height, int planes,
              const BlurWeights &k, int16_t *out, size_t planeSize)
{
    horizontalByColumns(pixels, bytesPerLine, width, height, planes, k,
                        &pairBlock64Precise<Dot>, out, planeSize);
}

// Both passes through 16-bit planes.
template <typename Dot>
void exactBlur(const uint8_t *pixels, ptrdiff_t bytesPerLine, int width, int height, int planes,
               const BlurWeights &k, int16_t *out, size_t planeSize)
{
    auto *horizontal = static_cast<int16_t *>(Shared::scratch(6, size_t(planes) * planeSize * sizeof(int16_t)));
    blurRows<Dot>(pixels, bytesPerLine, width, height, planes, k, horizontal, planeSize);
    for (int p = 0; p < planes; ++p)
        blurColumns<Dot>(horizontal + p * planeSize, width, height, k, out + p * planeSize);
}

void boxRowsToStrip(const uint32_t *const *rows, int width, uint32_t *columns)
{
    boxRowsToStripAvx512(rows, width, columns);
}

void boxStripToRows(const uint32_t *columns, int width, uint32_t *const *rows)
{
    boxStripToRowsAvx512(columns, width, rows);
}

void mapColorVbmi(uint32_t *line, int count, const uint8_t *table)
{
    mapBytesVbmi(line, count, table, 0x8888888888888888ull);
}

void mapAlphaVbmi(uint32_t *line, int count, const uint8_t *table)
{
    mapBytesVbmi(line, count, table, 0x7777777777777777ull);
}

KernelTable makeTable(bool vnni, bool vbmi)
{
    const KernelTable &reference = referenceKernels();
    return {
        vnni ? exactBlur<VnniDot> : exactBlur<MaddDot>,
        packPixels,
        boxStripAvx512,
        boxRowsToStrip,
        boxStripToRows,
        scaleSaturationAvx512,
        avx2Kernels().sepia,
        graySepiaAvx512,
        vbmi ? mapColorVbmi : reference.mapColor,
        vbmi ? mapAlphaVbmi : reference.mapAlpha,
        avx2Kernels().yuvToRgb,
    };
}

} // namespace

const KernelTable &avx512Kernels(bool vnni, bool vbmi)
{
    static const KernelTable tables[2][2] = {{makeTable(false, false), makeTable(false, true)},
                                             {makeTable(true, false), makeTable(true, true)}};
    return tables[vnni][vbmi];
}

} // namespace ImageKernels
