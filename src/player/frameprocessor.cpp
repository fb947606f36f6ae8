#include "frameprocessor.h"

#include "gpublurprocessor.h"
#include "imagekernels.h"
#include "playerlog.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTransform>

#include <cmath>

namespace {

QImage ensure32Bit(const QImage &image)
{
    if (image.format() == QImage::Format_ARGB32 || image.format() == QImage::Format_RGB32)
        return image;
    return image.convertToFormat(QImage::Format_ARGB32);
}

uint8_t clampByte(int value)
{
    return uint8_t(qBound(0, value, 255));
}

void brightnessTable(int brightness, uint8_t table[256])
{
    const int delta = brightness * 255 / 100;
    for (int v = 0; v < 256; ++v)
        table[v] = clampByte(v + delta);
}

void contrastTable(int contrast, uint8_t table[256])
{
    const double factor = (contrast + 100.0) / 100;
    for (int v = 0; v < 256; ++v)
        table[v] = clampByte(int((v - 127) * factor + 127));
}

void opacityTable(int level, uint8_t table[256])
{
    for (int a = 0; a < 256; ++a)
        table[a] = clampByte(int(level / 100.0 * a));
}

// The opacity level a fade step applies, or 100 for none.
int fadeLevel(double x, bool fadingIn, double duration)
{
    if (duration <= 0)
        return 100;
    double p = x / duration;
    if (!fadingIn)
        p = 1.0 - p;
    if (p >= 0.99)
        return 100;
    return p > 0 ? int(p * 100) : 0;
}

// applyOpacity on an image this code owns, without a copy.
void applyOpacityInPlace(QImage &image, int level)
{
    if (level > 99)
        return;
    if (level < 1) {
        image = QImage(image.size(), QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        return;
    }
    if (image.format() != QImage::Format_ARGB32)
        image.convertTo(QImage::Format_ARGB32);
    uint8_t table[256];
    opacityTable(level, table);
    ImageKernels::mapAlpha(image, table);
}

} // namespace

FrameProcessor::FrameProcessor(QObject *parent)
    : QObject(parent)
{
    qCDebug(playerLog) << "FrameProcessor initialized - Professional WYSIWYG rendering engine";
    gpuBlur = new GPUBlurProcessor(this);
}

FrameProcessor::~FrameProcessor() = default;

bool FrameProcessor::mayLog(LogLine line)
{
    QElapsedTimer &timer = logTimers[line];
    if (timer.isValid() && timer.elapsed() < 1000)
        return false;
    timer.start();
    return true;
}

QImage FrameProcessor::processFrame(const QImage &input, const Clip &clip, double positionSeconds,
                                    ProcessingQuality quality, bool scrubbing)
{
    if (input.isNull()) {
        qCWarning(playerLog) << "FrameProcessor: Input frame is null!";
        return {};
    }
    QElapsedTimer timer;
    timer.start();
    emit processingStarted();

    QImage image = ensure32Bit(input);
    if (clip.rotation != 0)
        image = rotate(image, clip.rotation);
    if (clip.blurIntensity > 0 && !scrubbing)
        image = applyBlur(image, clip.blurIntensity, quality);
    // The per-pixel steps run as one scan-line pass; fades, and the opacity
    // when no title is drawn in between, become one alpha table.
    ImageKernels::PixelSteps steps;
    uint8_t channels[256];
    if (clip.brightness != 0 || clip.contrast != 0) {
        uint8_t brightness[256];
        uint8_t contrast[256];
        brightnessTable(clip.brightness, brightness);
        contrastTable(clip.contrast, contrast);
        for (int v = 0; v < 256; ++v)
            channels[v] = clip.brightness == 0 ? contrast[v]
                : clip.contrast == 0           ? brightness[v]
                                               : contrast[brightness[v]];
        steps.channelTable = channels;
    }
    steps.saturation = clip.saturation != 0;
    steps.saturationFactor = (clip.saturation + 100.0) / 100;
    steps.grayscale = clip.grayscale;
    steps.sepia = clip.sepia;

    const double positionMs = positionSeconds * 1000;
    int levels[3];
    int levelCount = 0;
    if (clip.fadeInDuration > 0) {
        const double elapsed = positionMs - clip.originalStart;
        if (elapsed >= 0 && elapsed < clip.fadeInDuration)
            levels[levelCount++] = fadeLevel(elapsed, true, clip.fadeInDuration);
    }
    if (clip.fadeOutDuration > 0) {
        const double remaining = clip.originalEnd - positionMs;
        if (remaining >= 0 && remaining < clip.fadeOutDuration)
            levels[levelCount++] = fadeLevel(clip.fadeOutDuration - remaining, false, clip.fadeOutDuration);
    }
    const bool titleShown = titleVisibleAt(clip, positionSeconds);
    const bool opacityAfterTitle = clip.opacity <= 99 && titleShown;
    if (clip.opacity <= 99 && !titleShown)
        levels[levelCount++] = clip.opacity;

    uint8_t alpha[256];
    bool alphaChanges = false;
    bool transparent = false;
    for (int v = 0; v < 256; ++v)
        alpha[v] = uint8_t(v);
    for (int i = 0; i < levelCount; ++i) {
        if (levels[i] > 99)
            continue;
        if (levels[i] < 1) {
            transparent = true;
            break;
        }
        uint8_t table[256];
        opacityTable(levels[i], table);
        for (int v = 0; v < 256; ++v)
            alpha[v] = table[alpha[v]];
        alphaChanges = true;
    }

    if (transparent) {
        // A zero level clears the frame; what the colour steps did is lost anyway.
        image = QImage(image.size(), QImage::Format_ARGB32);
        image.fill(Qt::transparent);
    } else if (steps.channelTable || steps.saturation || steps.grayscale || steps.sepia || alphaChanges) {
        if (alphaChanges) {
            steps.alphaTable = alpha;
            steps.opaqueAlpha = image.format() != QImage::Format_ARGB32;
        }
        ImageKernels::applyPixelSteps(image, steps);
        if (alphaChanges && image.format() != QImage::Format_ARGB32)
            image.reinterpretAsFormat(QImage::Format_ARGB32);
    }
    if (titleShown) {
        const QColor color = clip.titleColor.isValid() ? clip.titleColor : QColor(Qt::white);
        drawTitle(image, clip.titleText, titleFont(clip), color, !clip.titleAtTop);
    }
    if (opacityAfterTitle)
        applyOpacityInPlace(image, clip.opacity);

    const qint64 elapsedMs = timer.elapsed();
    emit processingFinished(elapsedMs);
    if (mayLog(FrameLine)) {
        qCDebug(playerLog).noquote() << QStringLiteral("Frame processed in %1ms - Size: %2x%3, Quality: %4")
                                  .arg(elapsedMs)
                                  .arg(image.width())
                                  .arg(image.height())
                                  .arg(qualityName(quality));
    }
    return image;
}

QImage FrameProcessor::applyBlur(const QImage &image, int intensity, ProcessingQuality quality)
{
    if (intensity < 1)
        return image;
    const double sigma = intensity * 0.2;
    const bool logThisFrame = mayLog(BlurLine);
    if (logThisFrame) {
        qCDebug(playerLog).noquote() << QStringLiteral("Applying blur - Intensity: %1, Sigma: %2, Quality: %3")
                                  .arg(intensity)
                                  .arg(sigma)
                                  .arg(quality == ProcessingQuality::Draft ? QStringLiteral("Draft")
                                                                           : QStringLiteral("High"));
    }
    if (quality == ProcessingQuality::Draft)
        return fastBlur(image, sigma);

    if (gpuBlur && GPUBlurProcessor::isAvailable()) {
        if (logThisFrame)
            qCDebug(playerLog) << "FrameProcessor: Using GPU-accelerated blur";
        const QImage blurred = gpuBlur->blur(image, sigma);
        if (!blurred.isNull())
            return blurred;
        qCWarning(playerLog) << "FrameProcessor: GPU blur failed, falling back to CPU";
    }
    if (mayLog(BlurPathLine))
        qCDebug(playerLog) << "FrameProcessor: Using CPU exact Gaussian blur";
    return exactGaussianBlur(image, sigma);
}

QVector<double> FrameProcessor::gaussianKernel(double sigma)
{
    const int radius = int(std::ceil(3.0 * sigma));
    const int size = 2 * radius + 1;
    QVector<double> kernel(size);
    double sum = 0.0;
    for (int k = 0; k < size; ++k) {
        const double offset = k - radius;
        kernel[k] = std::exp(-(offset * offset) / (2.0 * sigma * sigma)) / (sigma * std::sqrt(2.0 * M_PI));
        sum += kernel[k];
    }
    for (double &weight : kernel)
        weight /= sum;
    return kernel;
}

QImage FrameProcessor::exactGaussianBlur(const QImage &image, double sigma)
{
    if (sigma < 0.1 || image.isNull())
        return image;
    const QVector<double> kernel = gaussianKernel(sigma);
    if (mayLog(KernelLine)) {
        qCDebug(playerLog).noquote()
            << QStringLiteral("Exact Gaussian blur - Sigma: %1, Kernel size: %2").arg(sigma).arg(kernel.size());
    }
    return ImageKernels::gaussianBlur(ensure32Bit(image), kernel);
}

QImage FrameProcessor::fastBlur(const QImage &image, double sigma)
{
    if (image.isNull())
        return image;
    // The graphics-effect blur of radius 2.5 sigma spreads like a Gaussian of
    // about 0.45 times that radius (measured); pixmaps and graphics scenes are not
    // safe off the GUI thread, so it is approximated on the image itself.
    return ImageKernels::boxBlur(ensure32Bit(image), 0.45 * 2.5 * sigma);
}

QImage FrameProcessor::toProcessingFormat(const QImage &image)
{
    return ensure32Bit(image);
}

QImage FrameProcessor::rotate(const QImage &image, int degrees)
{
    if (degrees == 0)
        return image;
    QTransform transform;
    transform.rotate(degrees);
    return ensure32Bit(image.transformed(transform, Qt::SmoothTransformation));
}

QImage FrameProcessor::adjustBrightness(const QImage &image, int brightness)
{
    if (brightness == 0)
        return image;
    QImage result = ensure32Bit(image);
    uint8_t table[256];
    brightnessTable(brightness, table);
    ImageKernels::mapColorChannels(result, table);
    return result;
}

QImage FrameProcessor::adjustContrast(const QImage &image, int contrast)
{
    if (contrast == 0)
        return image;
    QImage result = ensure32Bit(image);
    uint8_t table[256];
    contrastTable(contrast, table);
    ImageKernels::mapColorChannels(result, table);
    return result;
}

QImage FrameProcessor::adjustSaturation(const QImage &image, int saturation)
{
    if (saturation == 0)
        return image;
    QImage result = ensure32Bit(image);
    ImageKernels::scaleSaturation(result, (saturation + 100.0) / 100);
    return result;
}

QImage FrameProcessor::applyGrayscale(const QImage &image)
{
    QImage result = ensure32Bit(image);
    ImageKernels::grayscale(result);
    return result;
}

QImage FrameProcessor::applySepia(const QImage &image)
{
    QImage result = ensure32Bit(image);
    ImageKernels::sepia(result);
    return result;
}

QImage FrameProcessor::applyFade(const QImage &image, double x, bool fadingIn, double duration)
{
    return applyOpacity(image, fadeLevel(x, fadingIn, duration));
}

QImage FrameProcessor::applyOpacity(const QImage &image, int level)
{
    if (level > 99)
        return image;
    if (level < 1) {
        QImage transparent(image.size(), QImage::Format_ARGB32);
        transparent.fill(Qt::transparent);
        return transparent;
    }
    // An RGB32 image has no alpha to scale: it becomes ARGB32 (alpha 255) first.
    QImage result = image.format() == QImage::Format_ARGB32 ? image : image.convertToFormat(QImage::Format_ARGB32);
    uint8_t table[256];
    opacityTable(level, table);
    ImageKernels::mapAlpha(result, table);
    return result;
}

bool FrameProcessor::titleVisibleAt(const Clip &clip, double positionSeconds)
{
    if (!clip.showTitle || clip.titleText.trimmed().isEmpty())
        return false;
    const double t = positionSeconds - clip.originalStart / 1000.0;
    if (t < 0)
        return false;
    switch (clip.titleDurationMode) {
    case 0:
        return t < 3.0;
    case 1:
        return t < clip.customDuration / 1000.0;
    case 2:
        return t < saturatingSub(clip.endTime, clip.startTime) / 1000.0;
    default:
        return false;
    }
}

QFont FrameProcessor::titleFont(const Clip &clip)
{
    QFont font;
    font.setPixelSize(clip.titleFontSize < 1 ? 38 : qBound(16, clip.titleFontSize, 120));
    return font;
}

QStringList FrameProcessor::wrapTitleLines(const QString &text, const QFontMetrics &metrics, int maxWidth)
{
    QStringList lines;
    const QStringList paragraphs = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &paragraph : paragraphs) {
        const QStringList words = paragraph.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QString current;
        for (const QString &word : words) {
            const QString candidate = current.isEmpty() ? word : current + QLatin1Char(' ') + word;
            if (metrics.horizontalAdvance(candidate) <= maxWidth) {
                current = candidate;
            } else {
                if (!current.isEmpty())
                    lines << current;
                current = word;
            }
        }
        if (!current.isEmpty())
            lines << current;
    }
    return lines;
}

QImage FrameProcessor::renderTitle(const QImage &image, const QString &text, const QFont &font, const QColor &color,
                                   bool centered)
{
    QImage result = image.copy();
    drawTitle(result, text, font, color, centered);
    return result;
}

void FrameProcessor::drawTitle(QImage &result, const QString &text, const QFont &font, const QColor &color,
                               bool centered)
{
    const QFontMetrics metrics(font);
    const int width = result.width();
    const int height = result.height();
    const QStringList lines = wrapTitleLines(text, metrics, width - 160);
    if (lines.isEmpty())
        return;

    const int lineHeight = metrics.height();
    const int count = int(lines.size());
    int maxWidth = 0;
    for (const QString &line : lines)
        maxWidth = qMax(maxWidth, metrics.horizontalAdvance(line));
    const int boxWidth = maxWidth + 60;
    const int boxHeight = count * lineHeight + 60;
    const int x = (width - boxWidth) / 2;
    const int y = centered ? (height - count * lineHeight - 60) / 2 : 50;

    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRect box(x, y, boxWidth, boxHeight);
    painter.fillRect(box, QColor(0, 0, 0, 200));
    painter.setPen(QPen(Qt::white, 6.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(box);
    painter.setFont(font);
    painter.setPen(color);
    int top = y + 30;
    for (const QString &line : lines) {
        const int advance = metrics.horizontalAdvance(line);
        painter.drawText(QPoint(x + (boxWidth - advance) / 2, top + metrics.ascent()), line);
        top += lineHeight;
    }
    painter.end();

    if (mayLog(TitleLine)) {
        qCDebug(playerLog).noquote() << QStringLiteral("Title rendered - Lines: %1, Box: %2x%3 at (%4, %5)")
                                  .arg(count)
                                  .arg(boxWidth)
                                  .arg(boxHeight)
                                  .arg(x)
                                  .arg(y);
    }
}

QString FrameProcessor::qualityName(ProcessingQuality quality)
{
    switch (quality) {
    case ProcessingQuality::Draft:
        return QStringLiteral("Draft");
    case ProcessingQuality::High:
        return QStringLiteral("High");
    case ProcessingQuality::Export:
        return QStringLiteral("Export");
    }
    return QStringLiteral("High");
}
