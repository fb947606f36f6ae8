#pragma once

// The pixel loops of ImageKernels, one table of function pointers per
// instruction set. The portable reference (referencekernels.cpp) defines what
// every loop computes; avx2kernels.cpp and avx512kernels.cpp are compiled with
// their own target flags and must give bit-identical results.
//
// A variant source includes only this header and the compiler's
// intrinsics: an inline library function emitted there would carry the
// variant's instructions, and the linker may pick that copy for the whole
// program, CPUs without them included.
#include <cstddef>
#include <cstdint>

namespace ImageKernels {

// The exact blur's second pass sums in 2^15 fixed point.
constexpr int kFixedShift = 15;
constexpr int kFixedOne = 1 << kFixedShift;
// The first pass truncates exactly as the double sums do: its weights are
// scaled to 2^30 and used as two 15-bit halves, high and rest.
constexpr int kFineShift = 30;
constexpr int64_t kFineOne = int64_t(1) << kFineShift;
constexpr uint32_t kFineMask = uint32_t(kFineOne - 1);

// A normalised symmetric kernel of radius r in the forms the passes use; the
// arrays belong to whoever built it (BlurKernel in imagekernels.cpp).
struct BlurWeights {
    int radius = 0;
    const int32_t *weights = nullptr;      // [r + 1], at distance d from the centre, summing to 2^15
    int centerLow = 0;                     // weights[0] split in two so each half fits 16 bits
    int centerHigh = 0;
    const int32_t *pairWeights = nullptr;  // (weights[j], weights[j + 1]) packed as 16-bit halves, j = 1, 3, ...
    int pairCount = 0;
    const uint8_t *uniformResult = nullptr;    // [256]: the double sum of a flat window of each value
    const int32_t *uniformResult32 = nullptr;  // the same, for gathers
    const double *exact = nullptr;             // [2r + 1]: the kernel itself
    const int64_t *fine = nullptr;             // [r + 1]: weights scaled to 2^30, summing to 2^30
    int fineCenterLow = 0;                     // high half of fine[0], split so each part fits 16 bits
    int fineCenterHigh = 0;
    int fineCenterRest = 0;                    // low half of fine[0]
    const int32_t *finePairsHigh = nullptr;    // high halves of (fine[j], fine[j + 1]), packed like pairWeights
    const int32_t *finePairsRest = nullptr;    // their low halves
    uint32_t slack = 0;     // a first-pass sum closer than this (units of 2^-30) to a whole level is summed in double
    bool fineFitsLanes = false; // the halves' sums fit 32-bit lanes; the variants need it, the reference does not
    // The first pass in one multiply-add per pair: the kernel scaled to
    // 2^coarseShift (0: no such form) in 16-bit weights. A sum whose fraction
    // is at least coarseSlackBelow above a whole level and coarseSlackAbove
    // below the next truncates as the double sum does; the others are settled
    // by the fine weights. The coarse sum less the double one lies between 255
    // times the weights' negative errors and 255 times their positive ones, so
    // each side has its own margin (together, what each side had when every
    // error was counted on both).
    int coarseShift = 0;
    int coarseCenterLow = 0;
    int coarseCenterHigh = 0;
    const int32_t *coarsePairs = nullptr;  // packed like pairWeights
    uint32_t coarseSlackBelow = 0; // the double sum may lie this far below the coarse one
    uint32_t coarseSlackAbove = 0; // and this far above it
};

// Y'CbCr to R'G'B' in 8.8 fixed point: each channel is its sum shifted right
// by 8 and clamped to 0..255, e.g. red = (luma * y + redFromV * v + redConstant) >> 8.
struct YuvToRgbCoefficients {
    int32_t luma = 0;
    int32_t redFromV = 0;
    int32_t greenFromU = 0; // subtracted, as greenFromV
    int32_t greenFromV = 0;
    int32_t blueFromU = 0;
    int32_t redConstant = 0;
    int32_t greenConstant = 0;
    int32_t blueConstant = 0;
};

struct KernelTable {
    // The exact blur of the channels (B, G, R, A in memory; `planes` of R, G, B
    // and A, in that order) of `height` rows of 32-bit pixels into 16-bit planes
    // of width * height samples, planeSize apart. Edge pixels repeat. The first
    // pass (along rows) truncates exactly as the double sums do; the second is
    // within one level of its double sum, and equal to it where the window is flat.
    void (*exactBlur)(const uint8_t *pixels, ptrdiff_t bytesPerLine, int width, int height, int planes,
                      const BlurWeights &k, int16_t *out, size_t planeSize);
    // line[x] = (alpha, red, green, blue) from 16-bit planes; alpha null means constantAlpha.
    void (*packPixels)(const int16_t *red, const int16_t *green, const int16_t *blue, const int16_t *alpha,
                       uint32_t constantAlpha, int count, uint32_t *line);

    // One running-box pass down the 64 byte columns of a strip: dst row y is the
    // mean, rounded down, of src rows y - radius .. y + radius, the edge rows
    // repeating; 1 <= radius <= kMaxShortBoxRadius, dst apart from src.
    void (*boxStrip)(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst, ptrdiff_t dstStride, int rows,
                     int radius);
    // columns[x * 16 + j] = rows[j][x], and back.
    void (*boxRowsToStrip)(const uint32_t *const *rows, int width, uint32_t *columns);
    void (*boxStripToRows)(const uint32_t *columns, int width, uint32_t *const *rows);

    // Saturation through QColor's HSV round trip, s replaced by scaledSaturation[s]; opaque results.
    void (*saturate)(uint32_t *line, int count, const int32_t *scaledSaturation);
    // The sepia matrix in double precision, truncated and clamped; alpha kept.
    void (*sepia)(uint32_t *line, int count);
    // Alpha kept, colour replaced by sepiaOfGray[(11 R + 16 G + 5 B) >> 5].
    void (*graySepia)(uint32_t *line, int count, const uint32_t *sepiaOfGray);
    void (*mapColor)(uint32_t *line, int count, const uint8_t *table);
    void (*mapAlpha)(uint32_t *line, int count, const uint8_t *table);
    // line[x] = the opaque colour of (luma[x * lumaStep], u[x], v[x]); lumaStep is 1 or 2.
    void (*yuvToRgb)(const uint8_t *luma, int lumaStep, const uint8_t *u, const uint8_t *v, int count,
                     const YuvToRgbCoefficients &c, uint32_t *line);
};

// Up to this radius a box pass's sums fit 16 bits and its division is a
// multiply-high and a shift.
constexpr int kMaxShortBoxRadius = 63;
constexpr int kBoxStrip = 64;
constexpr int kBoxBlockRows = kBoxStrip / 4;

struct BoxDivisor {
    uint16_t reciprocal = 0;
    int shift = 0;
};
BoxDivisor boxDivisor(int radius);

const KernelTable &referenceKernels();
#ifdef TRIMLET_X86_KERNELS
const KernelTable &avx2Kernels();
// With VNNI's dot products and VBMI's byte permutes where asked for.
const KernelTable &avx512Kernels(bool vnni, bool vbmi);
#endif

// Compiled for any CPU, shared by the variants.
namespace Shared {
// A per-thread buffer of at least `bytes`, 64-byte aligned, kept from call to
// call (fresh multi-megabyte buffers cost page faults); slots are independent.
void *scratch(int slot, size_t bytes);
// The double-precision sum of one window, in the kernel's order, truncated and
// clamped: sample t - r sits at first + t * stride bytes (16-bit). Out of line so
// no caller's compiler flags fuse its multiply-adds, which round differently.
int16_t exactLevel(const BlurWeights &k, const char *first, ptrdiff_t stride);
// One pixel of saturate, sepia and the other colour steps, for tails.
uint32_t saturatePixel(uint32_t pixel, const int32_t *scaledSaturation);
uint32_t sepiaPixel(uint32_t pixel);
uint32_t yuvPixel(int y, int u, int v, const YuvToRgbCoefficients &c);
} // namespace Shared

} // namespace ImageKernels
