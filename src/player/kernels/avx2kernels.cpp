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

// flat[l] = whether the 2r + 1 samples from p + l on are alike, for 16 lanes.
void flatWindows(const int16_t *p, int r, uint8_t *flat)
{
    const int count = 16 + 2 * r;
    auto *changes = static_cast<int *>(Shared::scratch(2, size_t(count) * sizeof(int)));
    int seen = 0;
    changes[0] = 0;
    for (int i = 1; i < count; ++i) {
        seen += p[i] != p[i - 1];
        changes[i] = seen;
    }
    for (int l = 0; l < 16; ++l)
        flat[l] = changes[l + 2 * r] == changes[l];
}

void fixUniformLanes(int16_t *values, const int16_t *flags, int count, const BlurWeights &k)
{
    for (int l = 0; l < count; ++l) {
        if (flags[l])
            values[l] = k.uniformResult[values[l]];
    }
}

void convolveAvx2(const int16_t *const *taps, int begin, int end, const BlurWeights &k,
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
        convolveAvx2(taps, end - 16, end, k, out);
}

// Levels, and lanes too close to a whole level to tell, from first-pass sums split into high
// (weights' high halves) and rest (their low halves): sum = high * 2^15 + rest.
inline void splitFineSums(__m256i high, __m256i rest, const BlurWeights &k,
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
bool allAlikeAvx2(const int16_t *p, int count)
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

void convolvePreciseAvx2(const int16_t *const *taps, int begin, int end,
                                                           const BlurWeights &k, int16_t *out)
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
                flatWindows(taps[0] + i, r, flat);
                for (int l = 0; l < 16; ++l) {
                    if (unsureFlags[l])
                        values[l] = flat[l] ? k.uniformResult[taps[r][i + l]] : Shared::exactLevelOfTaps(k, taps, i + l);
                }
                result = _mm256_load_si256(reinterpret_cast<const __m256i *>(values));
            }
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), result);
    }
    if (i < end)
        convolvePreciseAvx2(taps, end - 16, end, k, out);
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

void scaleSaturationAvx2(uint32_t *pixels, int count, const int32_t *scaledSaturation)
{
    const __m256i byteMask = _mm256_set1_epi32(0xff);
    const __m256i k257 = _mm256_set1_epi32(257);
    const __m256 k65535 = _mm256_set1_ps(65535.0f);
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

void blurRows(const uint8_t *pixels, ptrdiff_t bytesPerLine, int width, int height, int planes,
              const BlurWeights &k, int16_t *out, size_t planeSize)
{
    if (width < 16) {
        referenceKernels().blurRows(pixels, bytesPerLine, width, height, planes, k, out, planeSize);
        return;
    }
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
            const auto first = int16_t((line[0] >> shift) & 0xff);
            const auto last = int16_t((line[width - 1] >> shift) & 0xff);
            for (int x = 0; x < pad; ++x)
                padded[x] = first;
            for (int x = 0; x < width; ++x)
                padded[pad + x] = int16_t((line[x] >> shift) & 0xff);
            for (int x = pad + width; x < width + 2 * pad; ++x)
                padded[x] = last;
            convolvePreciseAvx2(taps, 0, width, k, out + p * planeSize + size_t(y) * width);
        }
    }
}

void blurColumns(const int16_t *in, int width, int height, const BlurWeights &k, int16_t *out)
{
    if (width < 16) {
        referenceKernels().blurColumns(in, width, height, k, out);
        return;
    }
    constexpr int kStrip = 64;
    const int r = k.radius;
    auto *taps = static_cast<const int16_t **>(
        Shared::scratch(1, (size_t(height) + 2 * size_t(r)) * sizeof(int16_t *)));
    for (int t = 0; t < height + 2 * r; ++t) {
        const int row = t - r < 0 ? 0 : t - r >= height ? height - 1 : t - r;
        taps[t] = in + size_t(row) * width;
    }
    for (int x0 = 0; x0 < width; x0 += kStrip) {
        int x1 = x0 + kStrip < width ? x0 + kStrip : width;
        for (int y = 0; y < height; ++y)
            convolveAvx2(taps + y, x0, x1, k, out + size_t(y) * width);
    }
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
    const KernelTable &reference = referenceKernels();
    static const KernelTable table = {
        blurRows, blurColumns, reference.packPixels, boxStripAvx2, boxRowsToStrip, boxStripToRows,
        scaleSaturationAvx2, sepiaAvx2, reference.graySepia, reference.mapColor, reference.mapAlpha,
    };
    return table;
}

} // namespace ImageKernels
