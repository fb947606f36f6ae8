#pragma once

#include "kernels/kerneltable.h"

#include <QImage>
#include <QVector>

#include <cstdint>

// Pixel loops of the preview effects. The loops themselves live in
// kernels/: a portable reference, and AVX2 and AVX-512 variants in sources of
// their own, one table of function pointers each, the best the CPU runs chosen
// on first use. All give bit-identical results (integer arithmetic, or the same
// IEEE operations in the same order).
namespace ImageKernels {

// Ordered: each level includes the ones before it.
enum class SimdLevel { Portable, Avx2, Avx512 };

// The best level this CPU supports.
SimdLevel supportedSimdLevel();
// The level in use (starts at the supported one).
SimdLevel simdLevel();
// The one way tests and benchmarks force a level; a level the CPU lacks is
// lowered to the supported one. Returns the level now in use.
SimdLevel setSimdLevel(SimdLevel level);
// Whether the AVX-512 blur may use VNNI's dot products where the CPU has them
// (on by default); tests turn it off to cover the plain AVX-512 form too.
void setVnniAllowed(bool allowed);

// Separable Gaussian blur of a Format_ARGB32 or Format_RGB32 image with the
// given normalised odd-sized kernel; edge pixels repeat. Results are within
// one level of a double-precision convolution that truncates after each pass:
// the first pass truncates exactly as it does, the second is within one level
// of it and equal wherever it sees a flat window.
QImage gaussianBlur(const QImage &image, const QVector<double> &kernel);

// Saturation through Qt's HSV form (QColor::getHsv / setHsv): s becomes
// trunc(s * factor) clamped to 0..255; the pixels become opaque. In place on a
// 32-bit image.
void scaleSaturation(QImage &image, double factor);

// Maps R, G and B of every pixel through one table; alpha untouched.
void mapColorChannels(QImage &image, const uint8_t table[256]);
// Maps the alpha of every pixel through a table; colour untouched.
void mapAlpha(QImage &image, const uint8_t table[256]);
// gray = (11 R + 16 G + 5 B) >> 5 into R, G and B.
void grayscale(QImage &image);
// The sepia matrix in double precision, truncated and clamped.
void sepia(QImage &image);

// The per-pixel steps of a frame, in this order, done scan line by scan line so
// each line is read and written once; the results equal those of the single
// functions above applied one after another.
struct PixelSteps {
    const uint8_t *channelTable = nullptr; // as mapColorChannels
    bool saturation = false;               // as scaleSaturation with saturationFactor
    double saturationFactor = 1.0;
    bool grayscale = false;
    bool sepia = false;
    bool opaqueAlpha = false;             // alpha set to 255 (RGB32 becoming ARGB32) before alphaTable
    const uint8_t *alphaTable = nullptr;   // as mapAlpha
};
void applyPixelSteps(QImage &image, const PixelSteps &steps);

// One row of 8-bit Y'CbCr to opaque RGB32: line[x] from luma[x * lumaStep]
// (lumaStep 1 or 2), u[x] and v[x].
void yuvToRgbRow(const uint8_t *luma, int lumaStep, const uint8_t *u, const uint8_t *v, int count,
                 const YuvToRgbCoefficients &c, QRgb *line);

// Three running-box passes per axis approximating a Gaussian of the given
// sigma, all channels; a cheap preview blur that stays on QImage.
QImage boxBlur(const QImage &image, double sigma);

} // namespace ImageKernels
