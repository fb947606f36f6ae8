// The AVX2 variants, compiled with -mavx2 (see kerneltable.h for what this
// file may include). Loops without an AVX2 form here use the reference's.
#include "kerneltable.h"

#include <immintrin.h>

namespace ImageKernels {

namespace {

inline const uint8_t *clampRow(int y, int rows, const uint8_t *src, ptrdiff_t stride)
{
    return src + (y < 0 ? 0 : y >= rows ? rows - 1 : y) * stride;
}

// The exact blur runs both passes on pair layouts: a 32-bit lane of `forward`
// holds (s[c + j], s[c + j + 1]) of one output's window, the matching lane of
// `backward` (s[c - j], s[c - j - 1]), and stepping `stride` bytes moves j on
// by one. Their 16-bit sum folds the symmetric kernel, and one multiply-add
// then takes four taps. Blocks of 32 outputs (four registers) share each
// weight broadcast and keep the multiply-adds independent.

// (a, b) as the 16-bit halves of every lane, for multiply-adds.
inline __m256i weightPair(int32_t a, int32_t b)
{
    return _mm256_set1_epi32(int32_t(uint32_t(uint16_t(a)) | (uint32_t(uint16_t(b)) << 16)));
}

inline __m256i loadAt(const char *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

// The centre samples of forward pairs, and each twice over for the split centre weight.
inline __m256i centreSamples(const char *forward) { return _mm256_and_si256(loadAt(forward), _mm256_set1_epi32(0xffff)); }
inline __m256i centreTwice(__m256i centre) { return _mm256_or_si256(centre, _mm256_slli_epi32(centre, 16)); }

inline __m256i foldedPairs(const char *forward, const char *backward, ptrdiff_t offset)
{
    return _mm256_add_epi16(loadAt(forward + offset), loadAt(backward - offset));
}

// acc += the multiply-add of a folded pair with w, in place: written as
// intrinsics, GCC copies every sum to another register (or the stack) each round.
inline void addFolded(__m256i &acc, const char *ahead, const char *behind, __m256i w)
{
    const __m256i product = _mm256_madd_epi16(_mm256_add_epi16(loadAt(ahead), loadAt(behind)), w);
    asm("vpaddd %1, %0, %0" : "+x"(acc) : "x"(product));
}

// The sums of a block of 32 outputs: the centre weight split in two halves
// (packed as a pair) and then the multiply-adds of the folded pairs with
// `weights`, pair p at stride * (2p + 1) bytes on and back. Two pairs a round
// into two sets of sums (integer sums in any order are the same) halve the
// loop's overhead.
inline void blockSums(const char *forward, const char *backward, ptrdiff_t stride, int centerLow, int centerHigh,
                      const int32_t *weights, int pairs, __m256i centre[4], __m256i acc[4])
{
    const __m256i centerWeights = weightPair(centerLow, centerHigh);
    __m256i a0 = _mm256_madd_epi16(centreTwice(centreSamples(forward)), centerWeights);
    __m256i a1 = _mm256_madd_epi16(centreTwice(centreSamples(forward + 32)), centerWeights);
    __m256i a2 = _mm256_madd_epi16(centreTwice(centreSamples(forward + 64)), centerWeights);
    __m256i a3 = _mm256_madd_epi16(centreTwice(centreSamples(forward + 96)), centerWeights);
    __m256i b0 = _mm256_setzero_si256(), b1 = b0, b2 = b0, b3 = b0;
    const char *f = forward + stride;
    const char *g = backward - stride;
    const ptrdiff_t next = 2 * stride;
    int p = 0;
    for (; p + 2 <= pairs; p += 2, f += 2 * next, g -= 2 * next) {
        const __m256i w0 = _mm256_set1_epi32(weights[p]);
        const __m256i w1 = _mm256_set1_epi32(weights[p + 1]);
        addFolded(a0, f, g, w0);
        addFolded(a1, f + 32, g + 32, w0);
        addFolded(a2, f + 64, g + 64, w0);
        addFolded(a3, f + 96, g + 96, w0);
        addFolded(b0, f + next, g - next, w1);
        addFolded(b1, f + next + 32, g - next + 32, w1);
        addFolded(b2, f + next + 64, g - next + 64, w1);
        addFolded(b3, f + next + 96, g - next + 96, w1);
    }
    if (p < pairs) {
        const __m256i w0 = _mm256_set1_epi32(weights[p]);
        addFolded(a0, f, g, w0);
        addFolded(a1, f + 32, g + 32, w0);
        addFolded(a2, f + 64, g + 64, w0);
        addFolded(a3, f + 96, g + 96, w0);
    }
    acc[0] = _mm256_add_epi32(a0, b0);
    acc[1] = _mm256_add_epi32(a1, b1);
    acc[2] = _mm256_add_epi32(a2, b2);
    acc[3] = _mm256_add_epi32(a3, b3);
    // Loaded again rather than held: all sixteen registers serve the loop.
#pragma GCC unroll 4
    for (int b = 0; b < 4; ++b)
        centre[b] = centreSamples(forward + 32 * b);
}

// level with the masked lanes replaced by table[index]; a flat area gives
// every lane one index, and then one load does instead of a gather.
inline __m256i lookUpMasked(__m256i level, const int32_t *table, __m256i index, __m256i mask)
{
    const __m256i first = _mm256_broadcastd_epi32(_mm256_castsi256_si128(index));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(index, first)) == -1)
        return _mm256_blendv_epi8(level, _mm256_set1_epi32(table[_mm256_cvtsi256_si32(index)]), mask);
    return _mm256_mask_i32gather_epi32(level, table, index, mask, 4);
}

// The second pass's sums of 32 outputs in 2^15 fixed point, truncated; a
// window whose sum is exactly its centre (every flat one) takes the flat
// window's double-precision result.
void foldedBlock(const char *forward, const char *backward, ptrdiff_t stride, const BlurWeights &k,
                 __m256i results[4])
{
    __m256i centre[4], acc[4];
    blockSums(forward, backward, stride, k.centerLow, k.centerHigh, k.pairWeights, k.pairCount, centre, acc);
#pragma GCC unroll 4
    for (int b = 0; b < 4; ++b) {
        const __m256i level = _mm256_srli_epi32(acc[b], kFixedShift);
        const __m256i flat = _mm256_cmpeq_epi32(acc[b], _mm256_slli_epi32(centre[b], kFixedShift));
        results[b] = _mm256_testz_si256(flat, flat)
            ? level
            : lookUpMasked(level, k.uniformResult32, level, flat);
    }
}

// The first pass's outputs, eight a block, exactly as the double sums
// truncate: sums with the fine weights' high and rest halves, sum = high *
// 2^15 + rest. A lane too close to a whole level to tell: a flat window (as
// many changes of sample counted up to its last tap, `lastTap` counts on, as
// up to its first, at `changes`) takes the flat result; any other, a straight
// ramp too (it sums to its centre exactly), is summed in double from its
// samples, which rounds its own way.
template <int Blocks>
void preciseBlock(const char *forward, const char *backward, ptrdiff_t stride, const int32_t *changes,
                  ptrdiff_t lastTap, const BlurWeights &k, __m256i *results)
{
    const __m256i centerHigh = weightPair(k.fineCenterLow, k.fineCenterHigh);
    const __m256i centerRest = _mm256_set1_epi32(k.fineCenterRest);
    __m256i centre[Blocks], high[Blocks], rest[Blocks];
#pragma GCC unroll 4
    for (int b = 0; b < Blocks; ++b) {
        centre[b] = centreSamples(forward + 32 * b);
        high[b] = _mm256_madd_epi16(centreTwice(centre[b]), centerHigh);
        rest[b] = _mm256_madd_epi16(centre[b], centerRest);
    }
    ptrdiff_t offset = stride;
    for (int p = 0; p < k.pairCount; ++p, offset += 2 * stride) {
        const __m256i wh = _mm256_set1_epi32(k.finePairsHigh[p]);
        const __m256i wr = _mm256_set1_epi32(k.finePairsRest[p]);
    #pragma GCC unroll 4
    for (int b = 0; b < Blocks; ++b) {
            const __m256i v = foldedPairs(forward + 32 * b, backward + 32 * b, offset);
            high[b] = _mm256_add_epi32(high[b], _mm256_madd_epi16(v, wh));
            rest[b] = _mm256_add_epi32(rest[b], _mm256_madd_epi16(v, wr));
        }
    }
    const __m256i lowMask = _mm256_set1_epi32(0x7fff);
    const __m256i fineMask = _mm256_set1_epi32(int(kFineMask));
    const __m256i slackLow = _mm256_set1_epi32(int(k.slack));
    const __m256i slackHigh = _mm256_set1_epi32(int(kFineMask - k.slack));
#pragma GCC unroll 4
    for (int b = 0; b < Blocks; ++b) {
        const __m256i remainder = _mm256_add_epi32(_mm256_slli_epi32(_mm256_and_si256(high[b], lowMask), 15), rest[b]);
        __m256i level = _mm256_add_epi32(_mm256_srli_epi32(high[b], 15), _mm256_srli_epi32(remainder, kFineShift));
        const __m256i fraction = _mm256_and_si256(remainder, fineMask);
        const __m256i unsure = _mm256_or_si256(_mm256_cmpgt_epi32(slackLow, fraction), _mm256_cmpgt_epi32(fraction, slackHigh));
        if (!_mm256_testz_si256(unsure, unsure)) {
            const int32_t *first = changes + 8 * b;
            const __m256i flat = _mm256_and_si256(
                unsure, _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(first)),
                                           _mm256_loadu_si256(reinterpret_cast<const __m256i *>(first + lastTap))));
            level = lookUpMasked(level, k.uniformResult32, centre[b], flat);
            int others = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_andnot_si256(flat, unsure)));
            if (others) {
                alignas(32) int32_t values[8];
                _mm256_store_si256(reinterpret_cast<__m256i *>(values), level);
                for (; others; others &= others - 1) {
                    const int l = __builtin_ctz(unsigned(others));
                    const char *lane = forward + 32 * b + 4 * l;
                    values[l] = Shared::exactLevel(k, lane - k.radius * stride, stride);
                }
                level = _mm256_load_si256(reinterpret_cast<const __m256i *>(values));
            }
        }
        results[b] = level;
    }
}

// The first pass's 32 outputs from the coarse weights, one multiply-add per
// pair: lanes far enough from a whole level are done, flat windows take the
// flat result, and a register with any other lane is summed again with the
// fine weights.
void coarseBlock(const char *forward, const char *backward, ptrdiff_t stride, const int32_t *changes,
                 ptrdiff_t lastTap, const BlurWeights &k, __m256i results[4])
{
    __m256i centre[4], acc[4];
    blockSums(forward, backward, stride, k.coarseCenterLow, k.coarseCenterHigh, k.coarsePairs, k.pairCount, centre,
              acc);
    const uint32_t fractionMask = (uint32_t(1) << k.coarseShift) - 1;
    const __m128i shift = _mm_cvtsi32_si128(k.coarseShift);
    const __m256i fractions = _mm256_set1_epi32(int(fractionMask));
    const __m256i slackLow = _mm256_set1_epi32(int(k.coarseSlackBelow));
    const __m256i slackHigh = _mm256_set1_epi32(int(fractionMask - k.coarseSlackAbove));
    for (int b = 0; b < 4; ++b) {
        __m256i level = _mm256_srl_epi32(acc[b], shift);
        const __m256i fraction = _mm256_and_si256(acc[b], fractions);
        const __m256i unsure = _mm256_or_si256(_mm256_cmpgt_epi32(slackLow, fraction), _mm256_cmpgt_epi32(fraction, slackHigh));
        if (!_mm256_testz_si256(unsure, unsure)) {
            const int32_t *first = changes + 8 * b;
            const __m256i flat = _mm256_and_si256(
                unsure, _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(first)),
                                           _mm256_loadu_si256(reinterpret_cast<const __m256i *>(first + lastTap))));
            level = lookUpMasked(level, k.uniformResult32, centre[b], flat);
            const __m256i others = _mm256_andnot_si256(flat, unsure);
            if (!_mm256_testz_si256(others, others)) {
                __m256i fine;
                preciseBlock<1>(forward + 32 * b, backward + 32 * b, stride, first, lastTap, k, &fine);
                level = _mm256_blendv_epi8(level, fine, others);
            }
        }
        results[b] = level;
    }
}

// 32 levels in 32-bit lanes to 16-bit samples. The lanes hold the strip's
// columns in the order unpacking leaves them (0-3 and 8-11, then 4-7 and 12-15
// of each 16), which packing puts back in order.
inline void storeLevels(const __m256i results[4], int16_t *out)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), _mm256_packs_epi32(results[0], results[1]));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 16), _mm256_packs_epi32(results[2], results[3]));
}

// Transposes the 8 x 8 block of 32-bit lanes in r.
inline void transposePixels8x8Avx2(__m256i r[8])
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

// The first pass eight rows at a time: their pixels turned into columns whose
// lanes are the rows, so every tap is an aligned read of one column (along a
// row the reads fall every four bytes and half of them straddle two cache
// lines), and the levels turned back into rows. Padded column i is image
// column i - pad, edges repeated; pairs[i] holds (s[i], s[i + 1]) of each
// lane, swapped[i] (s[i + 1], s[i]), changes[i] how many of s[1 .. i] differ
// from the sample before.
void blurRows(const uint8_t *image, ptrdiff_t bytesPerLine, int width, int height, int planes,
              const BlurWeights &k, int16_t *out, size_t planeSize)
{
    static constexpr int shifts[4] = {16, 8, 0, 24};
    constexpr ptrdiff_t stride = 8 * sizeof(uint32_t);
    const int r = k.radius;
    const int pad = r + 1;
    const int columns = (width + 7) / 8 * 8;
    const int span = columns + 2 * pad;
    auto *pixels = static_cast<uint32_t *>(Shared::scratch(0, size_t(width) * 8 * sizeof(uint32_t)));
    auto *pairs = static_cast<uint32_t *>(Shared::scratch(1, size_t(span) * 8 * sizeof(uint32_t)));
    auto *swapped = static_cast<uint32_t *>(Shared::scratch(2, size_t(span) * 8 * sizeof(uint32_t)));
    auto *changes = static_cast<int32_t *>(Shared::scratch(3, size_t(span) * 8 * sizeof(int32_t)));
    const __m256i byteMask = _mm256_set1_epi32(0xff);
    const __m256i one = _mm256_set1_epi32(1);
    for (int y0 = 0; y0 < height; y0 += 8) {
        const int rows = height - y0 < 8 ? height - y0 : 8;
        const uint32_t *lines[8];
        for (int l = 0; l < 8; ++l)
            lines[l] = reinterpret_cast<const uint32_t *>(image + (y0 + l < height ? y0 + l : height - 1) * bytesPerLine);
        int x = 0;
        for (; x + 8 <= width; x += 8) {
            __m256i block[8];
            for (int l = 0; l < 8; ++l)
                block[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(lines[l] + x));
            transposePixels8x8Avx2(block);
            for (int i = 0; i < 8; ++i)
                _mm256_store_si256(reinterpret_cast<__m256i *>(pixels + size_t(x + i) * 8), block[i]);
        }
        for (; x < width; ++x) {
            for (int l = 0; l < 8; ++l)
                pixels[size_t(x) * 8 + l] = lines[l][x];
        }
        for (int p = 0; p < planes; ++p) {
            const __m128i shift = _mm_cvtsi32_si128(shifts[p]);
            auto samplesAt = [&](int column) {
                const int clamped = column < 0 ? 0 : column >= width ? width - 1 : column;
                return _mm256_and_si256(
                    _mm256_srl_epi32(_mm256_load_si256(reinterpret_cast<const __m256i *>(pixels + size_t(clamped) * 8)), shift),
                    byteMask);
            };
            __m256i current = samplesAt(-pad);
            __m256i changed = _mm256_setzero_si256();
            _mm256_store_si256(reinterpret_cast<__m256i *>(changes), changed);
            for (int i = 0; i + 1 < span; ++i) {
                const __m256i following = samplesAt(i + 1 - pad);
                _mm256_store_si256(reinterpret_cast<__m256i *>(pairs + size_t(i) * 8),
                                   _mm256_or_si256(current, _mm256_slli_epi32(following, 16)));
                _mm256_store_si256(reinterpret_cast<__m256i *>(swapped + size_t(i) * 8),
                                   _mm256_or_si256(following, _mm256_slli_epi32(current, 16)));
                changed = _mm256_add_epi32(changed, _mm256_andnot_si256(_mm256_cmpeq_epi32(current, following), one));
                _mm256_store_si256(reinterpret_cast<__m256i *>(changes + size_t(i + 1) * 8), changed);
                current = following;
            }
            int16_t *plane = out + p * planeSize;
            for (int x0 = 0; x0 < width; x0 += 8) {
                __m256i results[8];
                for (int half = 0; half < 8; half += 4) {
                    const size_t c = size_t(pad + x0 + half);
                    const auto *f = reinterpret_cast<const char *>(pairs + c * 8);
                    const auto *g = reinterpret_cast<const char *>(swapped + (c - 1) * 8);
                    const int32_t *first = changes + (c - r) * 8;
                    if (k.coarseShift)
                        coarseBlock(f, g, stride, first, 16 * r, k, results + half);
                    else
                        preciseBlock<4>(f, g, stride, first, 16 * r, k, results + half);
                }
                transposePixels8x8Avx2(results);
                const int n = width - x0 < 8 ? width - x0 : 8;
                for (int l = 0; l < rows; ++l) {
                    const __m128i levels = _mm256_castsi256_si128(
                        _mm256_permute4x64_epi64(_mm256_packs_epi32(results[l], results[l]), 0xd8));
                    int16_t *line = plane + size_t(y0 + l) * size_t(width) + x0;
                    if (n == 8) {
                        _mm_storeu_si128(reinterpret_cast<__m128i *>(line), levels);
                    } else {
                        alignas(16) int16_t values[8];
                        _mm_store_si128(reinterpret_cast<__m128i *>(values), levels);
                        for (int i = 0; i < n; ++i)
                            line[i] = values[i];
                    }
                }
            }
        }
    }
}

// Down strips of 32 columns: row t of the strip's forward pairs holds (row
// t - 1 - r, row t - r), of its backward pairs (row t - r, row t - 1 - r).
void blurColumns(const int16_t *in, int width, int height, const BlurWeights &k, int16_t *out)
{
    constexpr int kStrip = 32;
    const int r = k.radius;
    const int pairRows = height + 2 * r + 2;
    constexpr ptrdiff_t stride = kStrip * sizeof(uint32_t);
    auto *forward = static_cast<uint32_t *>(Shared::scratch(4, size_t(pairRows) * kStrip * sizeof(uint32_t)));
    auto *backward = static_cast<uint32_t *>(Shared::scratch(5, size_t(pairRows) * kStrip * sizeof(uint32_t)));
    auto row = [&](int t) { return in + size_t(t < 0 ? 0 : t >= height ? height - 1 : t) * width; };
    // A last partial strip is computed again over the 64 columns that end the
    // row, whose values do not change.
    for (int x0 = 0; x0 < width; x0 += kStrip) {
        if (x0 + kStrip > width)
            x0 = width - kStrip;
        for (int t = 0; t < pairRows; ++t) {
            const int16_t *a = row(t - 1 - r) + x0;
            const int16_t *b = row(t - r) + x0;
            // The next strip's lines, while this one is summed.
            _mm_prefetch(reinterpret_cast<const char *>(b + kStrip), _MM_HINT_T0);
            for (int quarter = 0; quarter < kStrip; quarter += 16) {
                const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + quarter));
                const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + quarter));
                // Unpacking works within 128-bit halves; the columns stay in its
                // order (see storeLevels), as every sum is its own column's.
                uint32_t *f = forward + size_t(t) * kStrip + quarter;
                uint32_t *g = backward + size_t(t) * kStrip + quarter;
                _mm256_store_si256(reinterpret_cast<__m256i *>(f), _mm256_unpacklo_epi16(low, high));
                _mm256_store_si256(reinterpret_cast<__m256i *>(f + 8), _mm256_unpackhi_epi16(low, high));
                _mm256_store_si256(reinterpret_cast<__m256i *>(g), _mm256_unpacklo_epi16(high, low));
                _mm256_store_si256(reinterpret_cast<__m256i *>(g + 8), _mm256_unpackhi_epi16(high, low));
            }
        }
        for (int y = 0; y < height; ++y) {
            const auto *f = reinterpret_cast<const char *>(forward + size_t(y + r + 1) * kStrip);
            const auto *g = reinterpret_cast<const char *>(backward + size_t(y + r) * kStrip);
            __m256i results[4];
            foldedBlock(f, g, stride, k, results);
            storeLevels(results, out + size_t(y) * width + x0);
        }
    }
}

// Both passes through 16-bit planes; images narrower than a block take the reference.
void exactBlur(const uint8_t *pixels, ptrdiff_t bytesPerLine, int width, int height, int planes,
               const BlurWeights &k, int16_t *out, size_t planeSize)
{
    if (width < 64) {
        referenceKernels().exactBlur(pixels, bytesPerLine, width, height, planes, k, out, planeSize);
        return;
    }
    auto *horizontal = static_cast<int16_t *>(Shared::scratch(6, size_t(planes) * planeSize * sizeof(int16_t)));
    blurRows(pixels, bytesPerLine, width, height, planes, k, horizontal, planeSize);
    for (int p = 0; p < planes; ++p)
        blurColumns(horizontal + p * planeSize, width, height, k, out + p * planeSize);
}

// line[x] = (alpha, red, green, blue) from 16-bit planes; alpha null means constantAlpha.
void packPixels(const int16_t *red, const int16_t *green, const int16_t *blue, const int16_t *alpha,
                uint32_t constantAlpha, int count, uint32_t *line)
{
    auto widen = [](const int16_t *p) {
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
    };
    int x = 0;
    for (; x + 8 <= count; x += 8) {
        const __m256i a = alpha ? widen(alpha + x) : _mm256_set1_epi32(int(constantAlpha));
        const __m256i argb = _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(a, 24), _mm256_slli_epi32(widen(red + x), 16)),
                                             _mm256_or_si256(_mm256_slli_epi32(widen(green + x), 8), widen(blue + x)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(line + x), argb);
    }
    for (; x < count; ++x) {
        const uint32_t a = alpha ? uint32_t(alpha[x]) : constantAlpha;
        line[x] = (a << 24) | (uint32_t(red[x]) << 16) | (uint32_t(green[x]) << 8) | uint32_t(blue[x]);
    }
}


inline __m256i divide257Avx2(__m256i value)
{
    value = _mm256_add_epi32(value, _mm256_set1_epi32(128));
    return _mm256_srli_epi32(_mm256_sub_epi32(value, _mm256_srli_epi32(value, 8)), 8);
}

inline __m256i roundPositiveAvx2(__m256 value)
{
    return _mm256_cvttps_epi32(_mm256_add_ps(value, _mm256_set1_ps(0.5f)));
}

inline __m256i selectInt(__m256i mask, __m256i ifTrue, __m256i ifFalse)
{
    return _mm256_blendv_epi8(ifFalse, ifTrue, mask);
}

// QColor's unit value of an 8-bit x: float(x * 257) / 65535 (float(x) * 257 is
// the same exact product, one step shorter).
inline __m256 unitOf(__m256i value)
{
    return _mm256_div_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(value), _mm256_set1_ps(257.0f)), _mm256_set1_ps(65535.0f));
}

// Eight pixels of Shared::saturatePixel, operation for operation.
inline __m256i saturateEight(__m256i px, const int32_t *scaledSaturation)
{
    const __m256i byteMask = _mm256_set1_epi32(0xff);
    const __m256 k65535 = _mm256_set1_ps(65535.0f);
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256i red8 = _mm256_and_si256(_mm256_srli_epi32(px, 16), byteMask);
    const __m256i green8 = _mm256_and_si256(_mm256_srli_epi32(px, 8), byteMask);
    const __m256i blue8 = _mm256_and_si256(px, byteMask);
    const __m256 r = unitOf(red8);
    const __m256 g = unitOf(green8);
    const __m256 b = unitOf(blue8);
    const __m256 maximum = _mm256_max_ps(_mm256_max_ps(r, g), b);
    const __m256 minimum = _mm256_min_ps(_mm256_min_ps(r, g), b);
    const __m256 delta = _mm256_sub_ps(maximum, minimum);
    // The value QColor rounds back from the largest unit channel is that channel's byte.
    const __m256i value = _mm256_max_epi32(_mm256_max_epi32(red8, green8), blue8);
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
    // hue100 / 100 for 0..36000, then 360 -> 0: (x * 41944) >> 22 is x / 100 for every
    // x below 2^16, and a 16-bit multiply-high is one short step where a 32-bit
    // multiply takes two long ones.
    __m256i hueDegrees = _mm256_srli_epi32(_mm256_mulhi_epu16(hue100, _mm256_set1_epi16(int16_t(41944))), 6);
    hueDegrees = _mm256_andnot_si256(_mm256_cmpeq_epi32(hueDegrees, _mm256_set1_epi32(360)), hueDegrees);

    const __m256i safeSaturation = _mm256_andnot_si256(grey, saturation8);
    const __m256i newSaturation = _mm256_i32gather_epi32(scaledSaturation, safeSaturation, 4);
    const __m256i achromatic =
        _mm256_or_si256(grey, _mm256_cmpeq_epi32(newSaturation, _mm256_setzero_si256()));

    const __m256 h = _mm256_div_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(hueDegrees), _mm256_set1_ps(100.0f)),
                                   _mm256_set1_ps(6000.0f));
    const __m256 s = unitOf(newSaturation);
    // unit(value) is the largest unit channel again.
    const __m256 v = maximum;
    const __m256i sector = _mm256_cvttps_epi32(h);
    const __m256 f = _mm256_sub_ps(h, _mm256_cvtepi32_ps(sector));
    const __m256 p = _mm256_mul_ps(v, _mm256_sub_ps(one, s));
    const __m256 q = _mm256_mul_ps(v, _mm256_sub_ps(one, _mm256_mul_ps(s, f)));
    const __m256 t = _mm256_mul_ps(v, _mm256_sub_ps(one, _mm256_mul_ps(s, _mm256_sub_ps(one, f))));
    const __m256i odd = _mm256_cmpeq_epi32(_mm256_and_si256(sector, _mm256_set1_epi32(1)), _mm256_set1_epi32(1));
    const __m256 w = _mm256_blendv_ps(t, q, _mm256_castsi256_ps(odd));
    // Achromatic lanes take value in every channel.
    const __m256i w8 = selectInt(achromatic, value, divide257Avx2(roundPositiveAvx2(_mm256_mul_ps(w, k65535))));
    const __m256i p8 = selectInt(achromatic, value, divide257Avx2(roundPositiveAvx2(_mm256_mul_ps(p, k65535))));
    // Where each sector puts v, w and p (red at 16, green at 8, blue at 0),
    // looked up by sector within registers; 6 and 7 occur only in grey lanes.
    const __m256i vShift = _mm256_permutevar8x32_epi32(_mm256_setr_epi32(16, 8, 8, 0, 0, 16, 16, 16), sector);
    const __m256i wShift = _mm256_permutevar8x32_epi32(_mm256_setr_epi32(8, 16, 0, 8, 16, 0, 0, 0), sector);
    const __m256i pShift = _mm256_permutevar8x32_epi32(_mm256_setr_epi32(0, 0, 16, 16, 8, 8, 8, 8), sector);
    return _mm256_or_si256(
        _mm256_or_si256(_mm256_set1_epi32(int(0xff000000u)), _mm256_sllv_epi32(value, vShift)),
        _mm256_or_si256(_mm256_sllv_epi32(w8, wShift), _mm256_sllv_epi32(p8, pShift)));
}

void scaleSaturationAvx2(uint32_t *pixels, int count, const int32_t *scaledSaturation)
{
    // A blurred picture often repeats itself: eight pixels like the last eight take their result.
    __m256i last = _mm256_setzero_si256();
    __m256i lastResult = saturateEight(last, scaledSaturation);
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(pixels + i));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(px, last)) != -1) {
            lastResult = saturateEight(px, scaledSaturation);
            last = px;
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pixels + i), lastResult);
    }
    for (; i < count; ++i)
        pixels[i] = Shared::saturatePixel(pixels[i], scaledSaturation);
}


// The same products and sums, in the same order, as the scalar formula.
inline __m128i sepiaChannelAvx2(__m256d r, __m256d g, __m256d b, double kr, double kg,
                                                                double kb, __m128i maxByte)
{
    const __m256d sum =
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(kr), r), _mm256_mul_pd(_mm256_set1_pd(kg), g)),
                      _mm256_mul_pd(_mm256_set1_pd(kb), b));
    return _mm_min_epi32(_mm256_cvttpd_epi32(sum), maxByte);
}

void sepiaAvx2(uint32_t *pixels, int count)
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
    for (; i < count; ++i)
        pixels[i] = Shared::sepiaPixel(pixels[i]);
}

inline __m256i boxLoadAvx2(const uint8_t *p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

// The sums hold the even and the odd bytes of their lanes as 16-bit words, so
// no byte needs shuffling in or out.
inline void boxStepAvx2(__m256i &even, __m256i &odd, __m256i add, __m256i drop)
{
    const __m256i lowBytes = _mm256_set1_epi16(0x00ff);
    even = _mm256_add_epi16(even, _mm256_sub_epi16(_mm256_and_si256(add, lowBytes), _mm256_and_si256(drop, lowBytes)));
    odd = _mm256_add_epi16(odd, _mm256_sub_epi16(_mm256_srli_epi16(add, 8), _mm256_srli_epi16(drop, 8)));
}

inline void boxStoreAvx2(__m256i even, __m256i odd, __m256i reciprocal,
                                                        __m128i shift, uint8_t *out)
{
    even = _mm256_srl_epi16(_mm256_mulhi_epu16(even, reciprocal), shift);
    odd = _mm256_srl_epi16(_mm256_mulhi_epu16(odd, reciprocal), shift);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), _mm256_or_si256(even, _mm256_slli_epi16(odd, 8)));
}

void boxStripAvx2(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst,
                                                    ptrdiff_t dstStride, int rows, int radius)
{
    const BoxDivisor divisor = boxDivisor(radius);
    const __m256i reciprocal = _mm256_set1_epi16(short(divisor.reciprocal));
    const __m128i shift = _mm_cvtsi32_si128(divisor.shift);
    const __m256i zero = _mm256_setzero_si256();
    auto row = [&](int y) { return clampRow(y, rows, src, srcStride); };
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


void boxRowsToStripAvx2(const uint32_t *const *rows, int begin, int end, uint32_t *columns)
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
    for (; x < end; ++x) {
        for (int j = 0; j < kBoxBlockRows; ++j)
            columns[x * kBoxBlockRows + j] = rows[j][x];
    }
}

void boxStripToRowsAvx2(const uint32_t *columns, int begin, int end, uint32_t *const *rows)
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
    for (; x < end; ++x) {
        for (int j = 0; j < kBoxBlockRows; ++j)
            rows[j][x] = columns[x * kBoxBlockRows + j];
    }
}


// line[x] = its alpha with sepiaOfGray[gray of line[x]], eight pixels at a time.
void graySepiaAvx2(uint32_t *line, int count, const uint32_t *sepiaOfGray)
{
    // Bytes are B, G, R, A: weights 5, 16, 11, 0.
    const __m256i weights = _mm256_set1_epi32(0x000b1005);
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i alphaMask = _mm256_set1_epi32(int(0xff000000u));
    const auto *table = reinterpret_cast<const int *>(sepiaOfGray);
    auto sepiaOf = [&](__m256i px) {
        const __m256i gray = _mm256_srli_epi32(_mm256_madd_epi16(_mm256_maddubs_epi16(px, weights), ones), 5);
        return _mm256_or_si256(_mm256_and_si256(px, alphaMask), _mm256_i32gather_epi32(table, gray, 4));
    };
    // Eight pixels like the last eight take their result, as in saturation.
    __m256i last = _mm256_setzero_si256();
    __m256i lastResult = sepiaOf(last);
    int x = 0;
    for (; x + 8 <= count; x += 8) {
        const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(line + x));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(px, last)) != -1) {
            lastResult = sepiaOf(px);
            last = px;
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(line + x), lastResult);
    }
    referenceKernels().graySepia(line + x, count - x, sepiaOfGray);
}

// Table lookups by gathering 32-bit words from a copy of the table padded so
// the last entry's word stays inside it.
struct PaddedTable {
    alignas(32) uint8_t bytes[256 + 32];
    explicit PaddedTable(const uint8_t *table)
    {
        for (int i = 0; i < 256; i += 32)
            _mm256_store_si256(reinterpret_cast<__m256i *>(bytes + i),
                               _mm256_loadu_si256(reinterpret_cast<const __m256i *>(table + i)));
        _mm256_store_si256(reinterpret_cast<__m256i *>(bytes + 256), _mm256_setzero_si256());
    }
    inline __m256i look(__m256i indices) const
    {
        return _mm256_and_si256(_mm256_i32gather_epi32(reinterpret_cast<const int *>(bytes), indices, 1),
                                _mm256_set1_epi32(0xff));
    }
};

// Byte lookups in a 256-entry table by 16-entry shuffles, no gathers. With T_k
// the table's k-th 16 bytes, E_k = T_k ^ T_(k+1) and E_7 = T_7, T_h is the XOR
// of E_h .. E_7: a byte x below 128 is the XOR of the shuffles of the E_k whose
// index keeps bit 7 clear exactly when x < 16 (k + 1), as x + 112 - 16 k,
// saturated, does (its low four bits stay x's). Bytes from 128 look up the
// reversed table at 255 - x the same way; each half gives 0 for the other's.
struct ShuffleTable {
    __m256i low[8];
    __m256i high[8];
    explicit ShuffleTable(const uint8_t *table)
    {
        const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        auto part = [&](int k, bool reversed) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(table + (reversed ? 240 - 16 * k : 16 * k)));
            return reversed ? _mm_shuffle_epi8(bytes, reverse) : bytes;
        };
        for (int k = 0; k < 8; ++k) {
            const __m128i l = k < 7 ? _mm_xor_si128(part(k, false), part(k + 1, false)) : part(k, false);
            const __m128i h = k < 7 ? _mm_xor_si128(part(k, true), part(k + 1, true)) : part(k, true);
            low[k] = _mm256_broadcastsi128_si256(l);
            high[k] = _mm256_broadcastsi128_si256(h);
        }
    }
    inline __m256i look(__m256i x) const
    {
        const __m256i flipped = _mm256_xor_si256(x, _mm256_set1_epi8(-1));
        __m256i result = _mm256_setzero_si256();
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
            const __m256i bias = _mm256_set1_epi8(char(112 - 16 * k));
            result = _mm256_xor_si256(result, _mm256_shuffle_epi8(low[k], _mm256_adds_epu8(x, bias)));
            result = _mm256_xor_si256(result, _mm256_shuffle_epi8(high[k], _mm256_adds_epu8(flipped, bias)));
        }
        return result;
    }
};

// Alpha kept; red, green and blue through the table.
void mapColorAvx2(uint32_t *line, int count, const uint8_t *table)
{
    const ShuffleTable shuffles(table);
    const __m256i alphaMask = _mm256_set1_epi32(int(0xff000000u));
    // Eight pixels like the last eight take their result, as in saturation.
    __m256i last = _mm256_setzero_si256();
    __m256i lastResult = _mm256_blendv_epi8(shuffles.look(last), last, alphaMask);
    int x = 0;
    for (; x + 8 <= count; x += 8) {
        const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(line + x));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(px, last)) != -1) {
            lastResult = _mm256_blendv_epi8(shuffles.look(px), px, alphaMask);
            last = px;
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(line + x), lastResult);
    }
    referenceKernels().mapColor(line + x, count - x, table);
}

void mapAlphaAvx2(uint32_t *line, int count, const uint8_t *table)
{
    const PaddedTable padded(table);
    const __m256i colourMask = _mm256_set1_epi32(0x00ffffff);
    // Alpha is mostly one value for long runs: no gather while it stays.
    __m256i runIndex = _mm256_set1_epi32(-1);
    __m256i runValue = _mm256_setzero_si256();
    int x = 0;
    for (; x + 8 <= count; x += 8) {
        const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(line + x));
        const __m256i indices = _mm256_srli_epi32(px, 24);
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(indices, runIndex)) != -1) {
            const uint32_t first = line[x] >> 24;
            runIndex = _mm256_set1_epi32(int(first));
            runValue = _mm256_set1_epi32(table[first]);
        }
        const __m256i same = _mm256_cmpeq_epi32(indices, runIndex);
        const __m256i alpha = _mm256_movemask_epi8(same) == -1 ? runValue : padded.look(indices);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(line + x),
                            _mm256_or_si256(_mm256_and_si256(px, colourMask), _mm256_slli_epi32(alpha, 24)));
    }
    referenceKernels().mapAlpha(line + x, count - x, table);
}

// Sixteen channel values, (a * wa + b * wb + more) >> 8 clamped to 0..255,
// from 16-bit samples; `more` holds 32-bit terms of the unpacked halves. The
// multiply-adds keep the products in 32 bits (luma times y alone passes 16),
// and packing back undoes the unpacking's order within 128-bit halves.
inline __m256i yuvChannel(__m256i a, __m256i b, __m256i weights, __m256i moreLow, __m256i moreHigh)
{
    const __m256i low = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), weights), moreLow);
    const __m256i high = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), weights), moreHigh);
    const __m256i sums = _mm256_packs_epi32(_mm256_srai_epi32(low, 8), _mm256_srai_epi32(high, 8));
    return _mm256_min_epi16(_mm256_max_epi16(sums, _mm256_setzero_si256()), _mm256_set1_epi16(255));
}

// Green has three terms: y with u in one multiply-add, v in another.
template <int LumaStep>
void yuvToRgbRows(const uint8_t *luma, const uint8_t *u, const uint8_t *v, int count, const YuvToRgbCoefficients &c,
                  uint32_t *line)
{
    const __m256i redWeights = weightPair(c.luma, c.redFromV);
    const __m256i blueWeights = weightPair(c.luma, c.blueFromU);
    const __m256i greenWeights = weightPair(c.luma, -c.greenFromU);
    const __m256i greenFromV = weightPair(-c.greenFromV, 0);
    const __m256i redConstant = _mm256_set1_epi32(c.redConstant);
    const __m256i greenConstant = _mm256_set1_epi32(c.greenConstant);
    const __m256i blueConstant = _mm256_set1_epi32(c.blueConstant);
    const __m256i zero = _mm256_setzero_si256();
    // Every second luma byte is read as a 16-bit word: the last one's high byte may lie past the row.
    const int end = LumaStep == 2 ? count - 1 : count;
    int x = 0;
    for (; x + 16 <= end; x += 16) {
        const __m256i y = LumaStep == 2
            ? _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(luma + 2 * x)), _mm256_set1_epi16(0xff))
            : _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(luma + x)));
        const __m256i cb = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(u + x)));
        const __m256i cr = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(v + x)));
        const __m256i red = yuvChannel(y, cr, redWeights, redConstant, redConstant);
        const __m256i blue = yuvChannel(y, cb, blueWeights, blueConstant, blueConstant);
        const __m256i fromVLow = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(cr, zero), greenFromV), greenConstant);
        const __m256i fromVHigh = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(cr, zero), greenFromV), greenConstant);
        const __m256i green = yuvChannel(y, cb, greenWeights, fromVLow, fromVHigh);
        const __m256i blueGreen = _mm256_or_si256(blue, _mm256_slli_epi16(green, 8));
        const __m256i redAlpha = _mm256_or_si256(red, _mm256_set1_epi16(int16_t(0xff00)));
        const __m256i low = _mm256_unpacklo_epi16(blueGreen, redAlpha);
        const __m256i high = _mm256_unpackhi_epi16(blueGreen, redAlpha);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(line + x), _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(line + x + 8), _mm256_permute2x128_si256(low, high, 0x31));
    }
    for (; x < count; ++x)
        line[x] = Shared::yuvPixel(luma[x * LumaStep], u[x], v[x], c);
}

void yuvToRgbAvx2(const uint8_t *luma, int lumaStep, const uint8_t *u, const uint8_t *v, int count,
                  const YuvToRgbCoefficients &c, uint32_t *line)
{
    // The multiply-adds take 16-bit weights.
    auto fits = [](int32_t w) { return w >= -32767 && w <= 32767; };
    if (!fits(c.luma) || !fits(c.redFromV) || !fits(c.greenFromU) || !fits(c.greenFromV) || !fits(c.blueFromU))
        referenceKernels().yuvToRgb(luma, lumaStep, u, v, count, c, line);
    else if (lumaStep == 2)
        yuvToRgbRows<2>(luma, u, v, count, c, line);
    else if (lumaStep == 1)
        yuvToRgbRows<1>(luma, u, v, count, c, line);
    else
        referenceKernels().yuvToRgb(luma, lumaStep, u, v, count, c, line);
}

void boxRowsToStrip(const uint32_t *const *rows, int width, uint32_t *columns)
{
    boxRowsToStripAvx2(rows, 0, width, columns);
}

void boxStripToRows(const uint32_t *columns, int width, uint32_t *const *rows)
{
    boxStripToRowsAvx2(columns, 0, width, rows);
}

} // namespace

const KernelTable &avx2Kernels()
{
    static const KernelTable table = {
        exactBlur, packPixels, boxStripAvx2, boxRowsToStrip, boxStripToRows,
        scaleSaturationAvx2, sepiaAvx2, graySepiaAvx2, mapColorAvx2, mapAlphaAvx2, yuvToRgbAvx2,
    };
    return table;
}

} // namespace ImageKernels
