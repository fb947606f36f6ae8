#include "imagekernels.h"

#include "kernels/kerneltable.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

namespace ImageKernels {

namespace {

SimdLevel detectSimdLevel()
{
#ifdef TRIMLET_X86_KERNELS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") ? SimdLevel::Avx512
                                                                                         : SimdLevel::Avx2;
#endif
    return SimdLevel::Portable;
}

std::atomic<SimdLevel> currentLevel{supportedSimdLevel()};
std::atomic<bool> vnniAllowed{true};
std::atomic<const KernelTable *> currentTable{nullptr};

const KernelTable &tableFor(SimdLevel level, bool vnni)
{
#ifdef TRIMLET_X86_KERNELS
    static const bool hasVnni = __builtin_cpu_supports("avx512vnni");
    static const bool hasVbmi = __builtin_cpu_supports("avx512vbmi");
    if (level == SimdLevel::Avx512)
        return avx512Kernels(hasVnni && vnni, hasVbmi);
    if (level == SimdLevel::Avx2)
        return avx2Kernels();
#else
    Q_UNUSED(level);
    Q_UNUSED(vnni);
#endif
    return referenceKernels();
}

// Chosen once, again only when a test or benchmark forces another level.
const KernelTable &kernels()
{
    const KernelTable *table = currentTable.load(std::memory_order_acquire);
    if (!table) {
        table = &tableFor(currentLevel.load(), vnniAllowed.load());
        currentTable.store(table, std::memory_order_release);
    }
    return *table;
}

// Owns the arrays a BlurWeights points into.
struct BlurKernel {
    std::vector<int32_t> weights;
    std::vector<int32_t> pairWeights;
    uint8_t uniformResult[256] = {};
    std::vector<int32_t> uniformResult32;
    std::vector<double> exact;
    std::vector<int64_t> fine;
    std::vector<int32_t> finePairsHigh;
    std::vector<int32_t> finePairsRest;
    std::vector<int32_t> coarsePairs;
    BlurWeights view;
};

// Fixed-point forms of a symmetric kernel: weights scaled to 2^15 with their
// sum exactly 2^15, so a uniform window reproduces its value exactly and the
// table of flat results can then give what the double sum would have given;
// and the first pass's 2^30 weights.
void makeBlurKernel(const QVector<double> &kernel, BlurKernel &fixed)
{
    BlurWeights &view = fixed.view;
    const int r = int(kernel.size()) / 2;
    view.radius = r;
    fixed.exact.assign(kernel.begin(), kernel.end());
    fixed.weights.resize(r + 1);
    int sum = 0;
    for (int d = 0; d <= r; ++d) {
        fixed.weights[d] = int(std::lround(kernel[r + d] * kFixedOne));
        sum += d == 0 ? fixed.weights[d] : 2 * fixed.weights[d];
    }
    fixed.weights[0] += kFixedOne - sum;
    view.centerLow = fixed.weights[0] - fixed.weights[0] / 2;
    view.centerHigh = fixed.weights[0] / 2;
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
    view.fineCenterLow = high(fixed.fine[0]) - high(fixed.fine[0]) / 2;
    view.fineCenterHigh = high(fixed.fine[0]) / 2;
    view.fineCenterRest = rest(fixed.fine[0]);
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
    view.fineFitsLanes = 255 * restTotal + kFineOne < (int64_t(1) << 32);
    view.slack = uint32_t(std::min(std::ceil(bound * double(kFineOne)) + 2.0, double(kFineOne / 4)));
    // The coarse form: the largest scale whose weights fit the multiply-add's
    // 16-bit halves (the centre split in two) and whose sums fit 32 bits.
    for (int shift = 24; shift >= 8 && view.coarseShift == 0; --shift) {
        const double scale = std::ldexp(1.0, shift);
        std::vector<int64_t> coarse(r + 1);
        int64_t total = 0;
        bool fits = true;
        for (int d = 0; d <= r; ++d) {
            coarse[d] = std::llround(kernel[r + d] * scale);
            total += d == 0 ? coarse[d] : 2 * coarse[d];
            fits = fits && coarse[d] <= (d == 0 ? 65534 : 32767);
        }
        if (!fits || 255 * total >= (int64_t(1) << 31))
            continue;
        // The coarse sum less the double one is the samples (0..255) times
        // the weights' errors: at most 255 times the errors above, at least
        // 255 times those below; and the double sum's own rounding.
        double over = 0.0;
        double under = 0.0;
        for (int t = 0; t < int(kernel.size()); ++t) {
            const double error = double(coarse[std::abs(t - r)]) / scale - kernel[t];
            (error > 0 ? over : under) += std::fabs(error);
        }
        const double rounding = 4.0 * kernel.size() * 255.0 * std::ldexp(1.0, -52);
        const double below = std::ceil((255.0 * over + rounding) * scale) + 2.0;
        const double above = std::ceil((255.0 * under + rounding) * scale) + 2.0;
        if (below >= scale / 16 || above >= scale / 16)
            continue;
        view.coarseShift = shift;
        view.coarseSlackBelow = uint32_t(below);
        view.coarseSlackAbove = uint32_t(above);
        view.coarseCenterLow = int(coarse[0] - coarse[0] / 2);
        view.coarseCenterHigh = int(coarse[0] / 2);
        for (int j = 1; j <= r; j += 2) {
            const int64_t a = coarse[j];
            const int64_t b = j + 1 <= r ? coarse[j + 1] : 0;
            fixed.coarsePairs.push_back(int32_t(uint32_t(a & 0xffff) | (uint32_t(b & 0xffff) << 16)));
        }
    }
    for (int v = 0; v < 256; ++v) {
        double acc = 0.0;
        for (double w : kernel)
            acc += v * w;
        fixed.uniformResult[v] = uint8_t(qBound(0, int(acc), 255));
    }
    fixed.uniformResult32.assign(fixed.uniformResult, fixed.uniformResult + 256);

    view.weights = fixed.weights.data();
    view.pairWeights = fixed.pairWeights.data();
    view.pairCount = int(fixed.pairWeights.size());
    view.uniformResult = fixed.uniformResult;
    view.uniformResult32 = fixed.uniformResult32.data();
    view.exact = fixed.exact.data();
    view.fine = fixed.fine.data();
    view.finePairsHigh = fixed.finePairsHigh.data();
    view.finePairsRest = fixed.finePairsRest.data();
    view.coarsePairs = fixed.coarsePairs.data();
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

// Every box pass gives the mean of its window rounded down, sum / (2r + 1), so
// a uniform window keeps its value.
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
    kernels().boxStrip(src, srcStride, dst, dstStride, rows, radius);
}

// The three passes down a strip, through two scratch strips; dst may be src.
void boxStripThreePasses(const uint8_t *src, ptrdiff_t srcStride, uint8_t *dst, ptrdiff_t dstStride, int rows,
                         const int radii[3], uint8_t *first, uint8_t *second)
{
    boxStrip(src, srcStride, first, kBoxStrip, rows, radii[0]);
    boxStrip(first, kBoxStrip, second, kBoxStrip, rows, radii[1]);
    boxStrip(second, kBoxStrip, dst, dstStride, rows, radii[2]);
}

} // namespace

SimdLevel supportedSimdLevel()
{
    static const SimdLevel level = detectSimdLevel();
    return level;
}

SimdLevel simdLevel()
{
    return currentLevel.load();
}

void setVnniAllowed(bool allowed)
{
    vnniAllowed.store(allowed);
    currentTable.store(nullptr);
}

SimdLevel setSimdLevel(SimdLevel level)
{
    level = std::min(level, supportedSimdLevel());
    currentLevel.store(level);
    currentTable.store(nullptr);
    return level;
}

QImage gaussianBlur(const QImage &image, const QVector<double> &kernel)
{
    if (image.isNull() || kernel.size() < 1 || kernel.size() % 2 == 0)
        return image;
    BlurKernel fixed;
    makeBlurKernel(kernel, fixed);
    const BlurWeights &weights = fixed.view;
    const int width = image.width();
    const int height = image.height();
    const bool opaque = allOpaque(image);
    const int planes = opaque ? 3 : 4;
    const KernelTable &table = kernels();

    // Reused from frame to frame: fresh multi-megabyte buffers cost page faults.
    thread_local std::vector<int16_t> blurred;
    const size_t planeSize = size_t(width) * height;
    blurred.resize(planes * planeSize);
    // The variants need the first pass's sums to fit 32-bit lanes; the reference takes any kernel.
    const KernelTable &blurTable = weights.fineFitsLanes ? table : referenceKernels();
    blurTable.exactBlur(image.constBits(), image.bytesPerLine(), width, height, planes, weights, blurred.data(),
                        planeSize);

    QImage result(width, height, image.format());
    if (result.isNull())
        return {};
    // An opaque input keeps a constant alpha: what a uniform 255 becomes after
    // two passes (RGB32 must stay 0xff).
    const uint32_t constantAlpha = image.format() == QImage::Format_RGB32
        ? 0xffu
        : fixed.uniformResult[fixed.uniformResult[255]];
    for (int y = 0; y < height; ++y) {
        const int16_t *red = blurred.data() + size_t(y) * width;
        const int16_t *green = red + planeSize;
        const int16_t *blue = green + planeSize;
        const int16_t *alpha = opaque ? nullptr : blue + planeSize;
        table.packPixels(red, green, blue, alpha, constantAlpha, width, reinterpret_cast<QRgb *>(result.scanLine(y)));
    }
    return result;
}

namespace {

void saturationTable(double factor, int32_t scaled[256])
{
    for (int s = 0; s < 256; ++s)
        scaled[s] = qBound(0, int(s * factor), 255);
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

} // namespace

void scaleSaturation(QImage &image, double factor)
{
    int32_t scaled[256];
    saturationTable(factor, scaled);
    const int width = image.width();
    const KernelTable &table = kernels();
    for (int y = 0; y < image.height(); ++y)
        table.saturate(reinterpret_cast<QRgb *>(image.scanLine(y)), width, scaled);
}

void mapColorChannels(QImage &image, const uint8_t table[256])
{
    const int width = image.width();
    const KernelTable &kernelTable = kernels();
    for (int y = 0; y < image.height(); ++y)
        kernelTable.mapColor(reinterpret_cast<QRgb *>(image.scanLine(y)), width, table);
}

void mapAlpha(QImage &image, const uint8_t table[256])
{
    const int width = image.width();
    const KernelTable &kernelTable = kernels();
    for (int y = 0; y < image.height(); ++y)
        kernelTable.mapAlpha(reinterpret_cast<QRgb *>(image.scanLine(y)), width, table);
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
    const KernelTable &table = kernels();
    for (int y = 0; y < image.height(); ++y)
        table.sepia(reinterpret_cast<QRgb *>(image.scanLine(y)), width);
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
            sepiaOfGray[g] = Shared::sepiaPixel(qRgba(g, g, g, 0));
    }
    uint8_t alphaTable[256];
    if (steps.alphaTable) {
        for (int a = 0; a < 256; ++a)
            alphaTable[a] = steps.alphaTable[steps.opaqueAlpha ? 255 : a];
    }
    const KernelTable &table = kernels();
    const int width = image.width();
    const int height = image.height();
    for (int y = 0; y < height; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        if (steps.channelTable)
            table.mapColor(line, width, steps.channelTable);
        if (steps.saturation)
            table.saturate(line, width, scaled);
        if (graySepia)
            table.graySepia(line, width, sepiaOfGray);
        else if (steps.grayscale)
            grayscaleLine(line, width);
        else if (steps.sepia)
            table.sepia(line, width);
        if (steps.alphaTable)
            table.mapAlpha(line, width, alphaTable);
    }
}

void yuvToRgbRow(const uint8_t *luma, int lumaStep, const uint8_t *u, const uint8_t *v, int count,
                 const YuvToRgbCoefficients &c, QRgb *line)
{
    kernels().yuvToRgb(luma, lumaStep, u, v, count, c, line);
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
    const KernelTable &table = kernels();
    for (int y0 = 0; y0 < height; y0 += kBoxBlockRows) {
        const QRgb *in[kBoxBlockRows];
        QRgb *out[kBoxBlockRows];
        for (int j = 0; j < kBoxBlockRows; ++j) {
            in[j] = reinterpret_cast<const QRgb *>(image.constScanLine(std::min(y0 + j, height - 1)));
            out[j] = y0 + j < height ? reinterpret_cast<QRgb *>(bits + (y0 + j) * stride) : spareRow.data();
        }
        table.boxRowsToStrip(in, width, columns);
        boxStripThreePasses(strip.data(), kBoxStrip, strip.data(), kBoxStrip, width, radii, first.data(),
                            second.data());
        table.boxStripToRows(columns, width, out);
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
