#include "frameprocessor.h"
#include "imagekernels.h"

#include <QGraphicsBlurEffect>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>

#include <cmath>

Q_DECLARE_METATYPE(ImageKernels::SimdLevel)

namespace {

QImage solid(QRgb pixel, int width = 8, int height = 6)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(pixel);
    return image;
}

QImage randomImage(int width, int height, quint32 seed, bool randomAlpha)
{
    QRandomGenerator random(seed);
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const quint32 value = random.generate();
            line[x] = randomAlpha ? value : (value | 0xff000000u);
        }
    }
    return image;
}

// The blur as the plain description has it: per pixel, clamped reads, weights in
// double, each pass truncated.
QImage referenceBlur(const QImage &source, double sigma)
{
    const QVector<double> kernel = FrameProcessor::gaussianKernel(sigma);
    const int r = int(kernel.size()) / 2;
    auto pass = [&](const QImage &in, bool horizontal) {
        QImage out = in.copy();
        for (int y = 0; y < in.height(); ++y) {
            for (int x = 0; x < in.width(); ++x) {
                double a = 0, red = 0, green = 0, blue = 0;
                for (int k = 0; k < kernel.size(); ++k) {
                    const int sx = horizontal ? qBound(0, x + k - r, in.width() - 1) : x;
                    const int sy = horizontal ? y : qBound(0, y + k - r, in.height() - 1);
                    const QRgb p = in.pixel(sx, sy);
                    a += qAlpha(p) * kernel[k];
                    red += qRed(p) * kernel[k];
                    green += qGreen(p) * kernel[k];
                    blue += qBlue(p) * kernel[k];
                }
                auto byte = [](double v) { return qBound(0, int(v), 255); };
                out.setPixel(x, y, qRgba(byte(red), byte(green), byte(blue), byte(a)));
            }
        }
        return out;
    };
    return pass(pass(source, true), false);
}

int maxChannelDifference(const QImage &a, const QImage &b)
{
    int worst = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            worst = qMax(worst, qAbs(qRed(p) - qRed(q)));
            worst = qMax(worst, qAbs(qGreen(p) - qGreen(q)));
            worst = qMax(worst, qAbs(qBlue(p) - qBlue(q)));
            worst = qMax(worst, qAbs(qAlpha(p) - qAlpha(q)));
        }
    }
    return worst;
}

double meanChannelDifference(const QImage &a, const QImage &b)
{
    double total = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            total += qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q));
        }
    }
    return total / (3.0 * a.width() * a.height());
}

QRgb qtSaturated(QRgb pixel, int saturation)
{
    QColor color(pixel);
    int h, s, v;
    color.getHsv(&h, &s, &v);
    color.setHsv(h, qBound(0, int(s * ((saturation + 100.0) / 100)), 255), v);
    return color.rgb();
}

// Three box passes per axis done the plain way: each output is the mean of its
// window of 2r + 1 samples rounded down, edges repeating.
QImage referenceBoxBlur(const QImage &source, const QVector<int> &radii)
{
    auto pass = [](const QImage &in, int r, bool horizontal) {
        QImage out = in.copy();
        for (int y = 0; y < in.height(); ++y) {
            for (int x = 0; x < in.width(); ++x) {
                int a = 0, red = 0, green = 0, blue = 0;
                for (int k = -r; k <= r; ++k) {
                    const QRgb p = horizontal ? in.pixel(qBound(0, x + k, in.width() - 1), y)
                                              : in.pixel(x, qBound(0, y + k, in.height() - 1));
                    a += qAlpha(p);
                    red += qRed(p);
                    green += qGreen(p);
                    blue += qBlue(p);
                }
                const int size = 2 * r + 1;
                out.setPixel(x, y, qRgba(red / size, green / size, blue / size, a / size));
            }
        }
        return out;
    };
    QImage image = source;
    for (int r : radii)
        image = pass(image, r, true);
    for (int r : radii)
        image = pass(image, r, false);
    return image;
}

// The graphics-effect blur the draft blur stands in for, drawn on the GUI thread.
QImage graphicsEffectBlur(const QImage &image, double radius)
{
    QGraphicsScene scene;
    auto *item = scene.addPixmap(QPixmap::fromImage(image));
    auto *effect = new QGraphicsBlurEffect;
    effect->setBlurRadius(radius);
    effect->setBlurHints(QGraphicsBlurEffect::QualityHint);
    item->setGraphicsEffect(effect);
    QImage out(image.size(), QImage::Format_ARGB32);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    scene.render(&painter, QRectF(), QRectF(0, 0, image.width(), image.height()));
    painter.end();
    return out;
}

Clip clipWithEffects()
{
    Clip clip;
    clip.originalStart = 10000;
    clip.originalEnd = 20000;
    clip.startTime = 0;
    clip.endTime = 10000;
    return clip;
}

QList<ImageKernels::SimdLevel> levelsToTest()
{
    QList<ImageKernels::SimdLevel> levels;
    for (auto level : {ImageKernels::SimdLevel::Portable, ImageKernels::SimdLevel::Avx2, ImageKernels::SimdLevel::Avx512}) {
        if (level <= ImageKernels::supportedSimdLevel())
            levels << level;
    }
    return levels;
}

QString levelName(ImageKernels::SimdLevel level)
{
    switch (level) {
    case ImageKernels::SimdLevel::Avx512:
        return QStringLiteral("avx512");
    case ImageKernels::SimdLevel::Avx2:
        return QStringLiteral("avx2");
    case ImageKernels::SimdLevel::Portable:
        break;
    }
    return QStringLiteral("portable");
}

} // namespace

class TestFrameProcessor : public QObject {
    Q_OBJECT
private slots:
    void cleanup()
    {
        ImageKernels::setSimdLevel(ImageKernels::supportedSimdLevel());
        ImageKernels::setVnniAllowed(true);
    }

    void singleEffects_data()
    {
        QTest::addColumn<QString>("effect");
        QTest::addColumn<int>("amount");
        QTest::addColumn<uint>("input");
        QTest::addColumn<uint>("expected");
        QTest::newRow("brightness 100 gives white") << "brightness" << 100 << 0x80102030u << 0x80ffffffu;
        QTest::newRow("brightness -100 gives black") << "brightness" << -100 << 0xffc0d0e0u << 0xff000000u;
        QTest::newRow("brightness 50 adds 127") << "brightness" << 50 << 0xff0a1400u << 0xff89937fu;
        QTest::newRow("brightness -50 takes 127") << "brightness" << -50 << 0xffc8640au << 0xff490000u;
        QTest::newRow("contrast -100 gives 127") << "contrast" << -100 << 0xff00ff40u << 0xff7f7f7fu;
        QTest::newRow("contrast 50 truncates toward zero") << "contrast" << 50 << 0xffc80000u << 0xffec0000u;
        QTest::newRow("contrast 50 truncates toward zero below 0") << "contrast" << 50 << 0xff7e2a80u << 0xff7d0080u;
        QTest::newRow("saturation -100 keeps value") << "saturation" << -100 << 0xffc86432u << 0xffc8c8c8u;
        QTest::newRow("saturation makes opaque") << "saturation" << 100 << 0x40808080u << 0xff808080u;
        QTest::newRow("grayscale weights") << "grayscale" << 1 << 0x7fc86432u << 0x7f7e7e7eu;
        QTest::newRow("sepia") << "sepia" << 1 << 0xff6496c8u << 0xffc0ab85u;
        QTest::newRow("sepia clamps white") << "sepia" << 1 << 0xffffffffu << 0xffffffeeu;
        QTest::newRow("opacity 50 halves alpha") << "opacity" << 50 << 0xff102030u << 0x7f102030u;
        QTest::newRow("opacity 100 leaves alpha") << "opacity" << 100 << 0x33102030u << 0x33102030u;
        QTest::newRow("opacity 0 is transparent") << "opacity" << 0 << 0xff102030u << 0x00000000u;
    }

    void singleEffects()
    {
        QFETCH(QString, effect);
        QFETCH(int, amount);
        QFETCH(uint, input);
        QFETCH(uint, expected);
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            ImageKernels::setSimdLevel(level);
            // Wide enough for the vector loops and their scalar tails.
            const QImage source = solid(input, 21, 3);
            QImage result;
            if (effect == "brightness")
                result = FrameProcessor::adjustBrightness(source, amount);
            else if (effect == "contrast")
                result = FrameProcessor::adjustContrast(source, amount);
            else if (effect == "saturation")
                result = FrameProcessor::adjustSaturation(source, amount);
            else if (effect == "grayscale")
                result = FrameProcessor::applyGrayscale(source);
            else if (effect == "sepia")
                result = FrameProcessor::applySepia(source);
            else
                result = FrameProcessor::applyOpacity(source, amount);
            QCOMPARE(result.size(), source.size());
            for (int x = 0; x < result.width(); ++x)
                QCOMPARE(QString::number(result.pixel(x, 1), 16), QString::number(expected, 16));
        }
    }

    void saturationMatchesQColor_data()
    {
        QTest::addColumn<int>("saturation");
        QTest::addColumn<ImageKernels::SimdLevel>("level");
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            for (int saturation : {-100, -50, -1, 37, 100}) {
                QTest::addRow("%d %s", saturation, qPrintable(levelName(level))) << saturation << level;
            }
        }
    }

    void saturationMatchesQColor()
    {
        QFETCH(int, saturation);
        QFETCH(ImageKernels::SimdLevel, level);
        ImageKernels::setSimdLevel(level);
        // Every 7th colour of the RGB cube: all hue sectors, greys and extremes.
        constexpr int width = 4096;
        const int count = (1 << 24) / 7 + 1;
        QImage image(width, (count + width - 1) / width, QImage::Format_RGB32);
        for (int i = 0; i < image.width() * image.height(); ++i)
            reinterpret_cast<QRgb *>(image.bits())[i] = 0xff000000u | ((quint32(i) * 7) & 0xffffff);
        const QImage result = FrameProcessor::adjustSaturation(image, saturation);
        int mismatches = 0;
        QString first;
        for (int i = 0; i < image.width() * image.height(); ++i) {
            const QRgb in = reinterpret_cast<const QRgb *>(image.constBits())[i];
            const QRgb out = reinterpret_cast<const QRgb *>(result.constBits())[i];
            const QRgb expected = qtSaturated(in, saturation);
            if (out != expected && mismatches++ == 0)
                first = QString::number(in, 16) + " -> " + QString::number(out, 16) + " instead of "
                    + QString::number(expected, 16);
        }
        QVERIFY2(mismatches == 0, qPrintable(QString::number(mismatches) + " mismatches, first " + first));
    }

    void gaussianKernel_data()
    {
        QTest::addColumn<double>("sigma");
        QTest::addColumn<int>("size");
        QTest::newRow("intensity 1") << 0.2 << 3;
        QTest::newRow("sigma 1") << 1.0 << 7;
        QTest::newRow("intensity 100") << 20.0 << 121;
    }

    void gaussianKernel()
    {
        QFETCH(double, sigma);
        QFETCH(int, size);
        const QVector<double> kernel = FrameProcessor::gaussianKernel(sigma);
        QCOMPARE(kernel.size(), size);
        double sum = 0;
        for (int k = 0; k < size; ++k) {
            sum += kernel[k];
            QCOMPARE(kernel[k], kernel[size - 1 - k]);
            if (k > 0 && k <= size / 2)
                QVERIFY(kernel[k] > kernel[k - 1]);
        }
        QVERIFY(qAbs(sum - 1.0) < 1e-12);
    }

    void exactBlurMatchesReference_data()
    {
        QTest::addColumn<double>("sigma");
        QTest::addColumn<bool>("randomAlpha");
        QTest::addColumn<ImageKernels::SimdLevel>("level");
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            for (double sigma : {0.2, 1.0, 5.0, 20.0}) {
                QTest::addRow("sigma %g opaque %s", sigma, qPrintable(levelName(level))) << sigma << false << level;
                QTest::addRow("sigma %g alpha %s", sigma, qPrintable(levelName(level))) << sigma << true << level;
            }
        }
    }

    void exactBlurMatchesReference()
    {
        QFETCH(double, sigma);
        QFETCH(bool, randomAlpha);
        QFETCH(ImageKernels::SimdLevel, level);
        ImageKernels::setSimdLevel(level);
        FrameProcessor processor;
        // Odd sizes exercise the vector tails; 37 rows is less than the radius at sigma 20.
        const QImage source = randomImage(83, 37, quint32(sigma * 100) + (randomAlpha ? 1 : 0), randomAlpha);
        const QImage blurred = processor.exactGaussianBlur(source, sigma);
        QCOMPARE(blurred.size(), source.size());
        QCOMPARE(blurred.format(), source.format());
        QVERIFY(maxChannelDifference(blurred, referenceBlur(source, sigma)) <= 1);
    }

    void exactBlurUniformAreasMatchReferenceExactly_data()
    {
        QTest::addColumn<double>("sigma");
        QTest::addColumn<uint>("color");
        QTest::newRow("sigma 20") << 20.0 << 0xffc8641eu;
        QTest::newRow("sigma 2") << 2.0 << 0xc0ff0180u;
        QTest::newRow("sigma 0.2") << 0.2 << 0xfe7f3f1fu;
    }

    void exactBlurUniformAreasMatchReferenceExactly()
    {
        QFETCH(double, sigma);
        QFETCH(uint, color);
        FrameProcessor processor;
        // A flat area around a spot: where the windows are flat the result must
        // round exactly as the double sums do (often one below), or two passes
        // would drift apart by 2.
        QImage source = solid(color, 150, 140);
        source.setPixel(20, 30, 0xff000000u);
        source.setPixel(21, 30, 0xffffffffu);
        const QImage expected = referenceBlur(source, sigma);
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            ImageKernels::setSimdLevel(level);
            const QImage blurred = processor.exactGaussianBlur(source, sigma);
            QVERIFY(maxChannelDifference(blurred, expected) <= 1);
            QCOMPARE(blurred.pixel(149, 139), expected.pixel(149, 139));
            QCOMPARE(blurred.pixel(0, 139), expected.pixel(0, 139));
        }
    }

    void simdPathsAgreeBitForBit_data()
    {
        QTest::addColumn<bool>("everyStep");
        QTest::newRow("blur, saturation, sepia") << false;
        QTest::newRow("every pixel step") << true;
    }

    void simdPathsAgreeBitForBit()
    {
        QFETCH(bool, everyStep);
        if (ImageKernels::supportedSimdLevel() == ImageKernels::SimdLevel::Portable)
            QSKIP("This CPU has only the portable path");
        FrameProcessor processor;
        Clip clip = clipWithEffects();
        clip.blurIntensity = 35;
        clip.saturation = 45;
        clip.sepia = true;
        if (everyStep) {
            clip.brightness = 15;
            clip.contrast = -20;
            clip.grayscale = true;
            clip.opacity = 60;
            clip.fadeInDuration = 9000;
        }
        // A flat band makes the uniform-window rounding part of the comparison.
        QImage source = randomImage(131, 171, 7, true);
        for (int y = 80; y < 171; ++y)
            for (int x = 0; x < 131; ++x)
                source.setPixel(x, y, 0xffc8641eu);
        ImageKernels::setSimdLevel(ImageKernels::SimdLevel::Portable);
        const QImage portable = processor.processFrame(source, clip, 15.0, ProcessingQuality::High, false);
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            ImageKernels::setSimdLevel(level);
            QCOMPARE(processor.processFrame(source, clip, 15.0, ProcessingQuality::High, false), portable);
        }
    }

    // Every byte of every channel through arbitrary tables: the variants look bytes
    // up without the scalar code's indexing, each value range its own way.
    void tableLookupsAgreeOnEveryLevel()
    {
        QImage source(256, 64, QImage::Format_ARGB32);
        for (int y = 0; y < source.height(); ++y)
            for (int x = 0; x < source.width(); ++x)
                source.setPixel(x, y, qRgba(x, 255 - x, (x * 7 + y * 5) & 255, (x + y * 4) & 255));
        uint8_t table[256];
        uint32_t state = 99;
        for (uint8_t &entry : table) {
            state = state * 1664525u + 1013904223u;
            entry = uint8_t(state >> 24);
        }
        QImage portable;
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            ImageKernels::setSimdLevel(level);
            QImage image = source.copy();
            ImageKernels::mapColorChannels(image, table);
            ImageKernels::mapAlpha(image, table);
            if (level == ImageKernels::SimdLevel::Portable)
                portable = image;
            else
                QVERIFY2(image == portable, qPrintable(levelName(level)));
        }
        ImageKernels::setSimdLevel(ImageKernels::supportedSimdLevel());
    }

    // The one-pass colour path must give what the single steps give one after another.
    void combinedStepsEqualSingleSteps_data()
    {
        QTest::addColumn<int>("brightness");
        QTest::addColumn<int>("contrast");
        QTest::addColumn<int>("saturation");
        QTest::addColumn<bool>("grayscale");
        QTest::addColumn<bool>("sepia");
        QTest::addColumn<int>("opacity");
        QTest::addColumn<double>("position");
        QTest::addColumn<bool>("title");
        QTest::addColumn<bool>("rgb32");
        // Clip from 10 s to 13 s in the source, fade-in and fade-out of 2 s each.
        QTest::newRow("everything, title, argb") << 20 << 30 << 50 << true << true << 70 << 11.4 << true << false;
        QTest::newRow("everything, title, rgb32") << 20 << 30 << 50 << true << true << 70 << 11.4 << true << true;
        QTest::newRow("everything, no title, rgb32") << -20 << 30 << -40 << true << true << 70 << 11.4 << false << true;
        QTest::newRow("both fades, opacity, argb") << 0 << -35 << 0 << false << true << 45 << 11.5 << false << false;
        QTest::newRow("brightness and grayscale") << 35 << 0 << 0 << true << false << 100 << 12.5 << false << false;
        QTest::newRow("saturation and sepia, fade-out") << 0 << 0 << 80 << false << true << 100 << 12.6 << false << true;
        QTest::newRow("fade-in transparent, title") << 10 << 10 << 10 << false << false << 60 << 10.0 << true << false;
        QTest::newRow("opacity 0, no title") << 10 << 0 << 0 << true << false << 0 << 12.5 << false << true;
        QTest::newRow("opacity only, rgb32") << 0 << 0 << 0 << false << false << 33 << 12.5 << false << true;
    }

    void combinedStepsEqualSingleSteps()
    {
        QFETCH(int, brightness);
        QFETCH(int, contrast);
        QFETCH(int, saturation);
        QFETCH(bool, grayscale);
        QFETCH(bool, sepia);
        QFETCH(int, opacity);
        QFETCH(double, position);
        QFETCH(bool, title);
        QFETCH(bool, rgb32);
        Clip clip = clipWithEffects();
        clip.originalEnd = 13000;
        clip.endTime = 3000;
        clip.brightness = brightness;
        clip.contrast = contrast;
        clip.saturation = saturation;
        clip.grayscale = grayscale;
        clip.sepia = sepia;
        clip.opacity = opacity;
        clip.fadeInDuration = 2000;
        clip.fadeOutDuration = 2000;
        clip.showTitle = title;
        clip.titleText = QStringLiteral("Over the top");
        QImage source = randomImage(203, 97, 11, !rgb32);
        if (rgb32)
            source = source.convertToFormat(QImage::Format_RGB32);

        QImage expected = source;
        expected = FrameProcessor::adjustContrast(FrameProcessor::adjustBrightness(expected, brightness), contrast);
        expected = FrameProcessor::adjustSaturation(expected, saturation);
        if (grayscale)
            expected = FrameProcessor::applyGrayscale(expected);
        if (sepia)
            expected = FrameProcessor::applySepia(expected);
        const double ms = position * 1000;
        if (ms - clip.originalStart < clip.fadeInDuration)
            expected = FrameProcessor::applyFade(expected, ms - clip.originalStart, true, clip.fadeInDuration);
        if (clip.originalEnd - ms < clip.fadeOutDuration)
            expected = FrameProcessor::applyFade(expected, clip.fadeOutDuration - (clip.originalEnd - ms), false,
                                                 clip.fadeOutDuration);
        FrameProcessor processor;
        if (title) {
            expected = processor.renderTitle(expected, clip.titleText, FrameProcessor::titleFont(clip),
                                             clip.titleColor, !clip.titleAtTop);
        }
        expected = FrameProcessor::applyOpacity(expected, opacity);

        for (ImageKernels::SimdLevel level : levelsToTest()) {
            ImageKernels::setSimdLevel(level);
            const QImage result = processor.processFrame(source, clip, position, ProcessingQuality::High, false);
            QCOMPARE(result.format(), expected.format());
            QCOMPARE(result, expected);
        }
        // The source frame is never written to.
        QCOMPARE(source, rgb32 ? randomImage(203, 97, 11, false).convertToFormat(QImage::Format_RGB32)
                               : randomImage(203, 97, 11, true));
    }

    // Images smaller than a vector, a 16-row block or the kernel, in every shape.
    void exactBlurSmallSizesAgreeAcrossLevels_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<double>("sigma");
        for (const QSize &size : {QSize(1, 1), QSize(5, 3), QSize(1, 40), QSize(40, 1), QSize(16, 16), QSize(17, 33),
                                  QSize(65, 15)}) {
            for (double sigma : {1.0, 4.0, 20.0})
                QTest::addRow("%dx%d sigma %g", size.width(), size.height(), sigma) << size << sigma;
        }
    }

    void exactBlurSmallSizesAgreeAcrossLevels()
    {
        QFETCH(QSize, size);
        QFETCH(double, sigma);
        FrameProcessor processor;
        const QImage source = randomImage(size.width(), size.height(), quint32(size.width() * 31 + size.height()), true);
        ImageKernels::setSimdLevel(ImageKernels::SimdLevel::Portable);
        const QImage portable = processor.exactGaussianBlur(source, sigma);
        QVERIFY(maxChannelDifference(portable, referenceBlur(source, sigma)) <= 1);
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            ImageKernels::setSimdLevel(level);
            for (bool vnni : {true, false}) {
                ImageKernels::setVnniAllowed(vnni);
                QCOMPARE(processor.exactGaussianBlur(source, sigma), portable);
            }
        }
    }

    // Every row (or every column) alike: the second pass then sees windows of
    // one first-pass value, whose rounding must not turn a slip of one level
    // in the first pass into two. Straight ramps sum exactly to their centre,
    // as flat windows do, yet their double sums round their own way.
    void exactBlurOfStripesStaysWithinOneLevel_data()
    {
        QTest::addColumn<double>("sigma");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<ImageKernels::SimdLevel>("level");
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            for (double sigma : {0.2, 1.7, 5.0, 20.0}) {
                for (const char *pattern : {"rows alike", "columns alike", "ramps"}) {
                    QTest::addRow("sigma %g %s %s", sigma, pattern, qPrintable(levelName(level)))
                        << sigma << QString(pattern) << level;
                }
            }
        }
    }

    void exactBlurOfStripesStaysWithinOneLevel()
    {
        QFETCH(double, sigma);
        QFETCH(QString, pattern);
        QFETCH(ImageKernels::SimdLevel, level);
        ImageKernels::setSimdLevel(level);
        const bool columnsAlike = pattern == "columns alike";
        const QImage line = randomImage(columnsAlike ? 1 : 300, columnsAlike ? 300 : 1, quint32(sigma * 10), true);
        QImage source(columnsAlike ? 40 : 300, columnsAlike ? 300 : 40, QImage::Format_ARGB32);
        for (int y = 0; y < source.height(); ++y) {
            for (int x = 0; x < source.width(); ++x) {
                if (pattern == "ramps")
                    source.setPixel(x, y, qRgba(x & 255, (2 * x) & 255, (255 - x) & 255, (128 + x) & 255));
                else
                    source.setPixel(x, y, line.pixel(columnsAlike ? 0 : x, columnsAlike ? y : 0));
            }
        }
        FrameProcessor processor;
        QVERIFY(maxChannelDifference(processor.exactGaussianBlur(source, sigma), referenceBlur(source, sigma)) <= 1);
    }

    // A window whose double sum lands a hair from a whole level, closer than
    // any fixed-point sum can tell: found by search, then blurred on one row so
    // the second pass passes the first pass's levels through unchanged.
    void exactBlurOfNearWholeSums_data()
    {
        QTest::addColumn<double>("sigma");
        QTest::addColumn<ImageKernels::SimdLevel>("level");
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            for (double sigma : {5.0, 20.0})
                QTest::addRow("sigma %g %s", sigma, qPrintable(levelName(level))) << sigma << level;
        }
    }

    void exactBlurOfNearWholeSums()
    {
        QFETCH(double, sigma);
        QFETCH(ImageKernels::SimdLevel, level);
        ImageKernels::setSimdLevel(level);
        const QVector<double> kernel = FrameProcessor::gaussianKernel(sigma);
        const int r = int(kernel.size()) / 2;
        const int centre = 120;
        // All samples `centre` except c +- d raised by `up` and c +- e lowered by `down`.
        auto window = [&](int d, int up, int e, int down) {
            QVector<int> samples(kernel.size(), centre);
            samples[r - d] = samples[r + d] = centre + up;
            samples[r - e] = samples[r + e] = centre - down;
            return samples;
        };
        auto orderedSum = [&](const QVector<int> &samples) {
            double acc = 0;
            for (int t = 0; t < kernel.size(); ++t)
                acc += samples[t] * kernel[t];
            return acc;
        };
        double bestGap = 1;
        QVector<int> best;
        for (int d = 1; d <= r; ++d)
            for (int e = 1; e <= r; ++e)
                for (int up = 1; up <= 135 && d != e; ++up)
                    for (int down = 1; down <= 120; ++down) {
                        const double change = 2 * (up * kernel[r + d] - down * kernel[r + e]);
                        const double gap = std::abs(change - std::round(change));
                        if (gap > 0 && gap < bestGap) {
                            bestGap = gap;
                            best = window(d, up, e, down);
                        }
                    }
        const double sum = orderedSum(best);
        QVERIFY2(std::abs(sum - std::round(sum)) < 1e-6, qPrintable(QString::number(sum, 'g', 17)));
        QImage source(kernel.size() + 40, 1, QImage::Format_ARGB32);
        source.fill(qRgb(centre, centre, centre));
        for (int t = 0; t < kernel.size(); ++t)
            source.setPixel(20 + t, 0, qRgb(best[t], best[t], best[t]));
        FrameProcessor processor;
        QCOMPARE(processor.exactGaussianBlur(source, sigma), referenceBlur(source, sigma));
    }

    void exactBlurSameWithAndWithoutVnni_data()
    {
        QTest::addColumn<double>("sigma");
        QTest::addColumn<bool>("randomAlpha");
        QTest::newRow("sigma 5 opaque") << 5.0 << false;
        QTest::newRow("sigma 20 alpha") << 20.0 << true;
    }

    void exactBlurSameWithAndWithoutVnni()
    {
        QFETCH(double, sigma);
        QFETCH(bool, randomAlpha);
        if (ImageKernels::supportedSimdLevel() != ImageKernels::SimdLevel::Avx512)
            QSKIP("This CPU has no AVX-512");
        FrameProcessor processor;
        // Wide enough for the 64-lane row blocks, with every kind of tail.
        QImage source = randomImage(157, 61, 3, randomAlpha);
        for (int y = 30; y < 61; ++y)
            for (int x = 0; x < 157; ++x)
                source.setPixel(x, y, 0xff3c78b4u);
        ImageKernels::setSimdLevel(ImageKernels::SimdLevel::Portable);
        const QImage portable = processor.exactGaussianBlur(source, sigma);
        ImageKernels::setSimdLevel(ImageKernels::SimdLevel::Avx512);
        for (bool vnni : {true, false}) {
            ImageKernels::setVnniAllowed(vnni);
            QCOMPARE(processor.exactGaussianBlur(source, sigma), portable);
        }
    }

    void blurPaths_data()
    {
        QTest::addColumn<int>("quality");
        QTest::addColumn<bool>("scrubbing");
        QTest::addColumn<bool>("expectChange");
        QTest::newRow("high") << int(ProcessingQuality::High) << false << true;
        QTest::newRow("draft") << int(ProcessingQuality::Draft) << false << true;
        QTest::newRow("scrubbing skips blur") << int(ProcessingQuality::High) << true << false;
        QTest::newRow("scrubbing skips draft blur") << int(ProcessingQuality::Draft) << true << false;
    }

    void blurPaths()
    {
        QFETCH(int, quality);
        QFETCH(bool, scrubbing);
        QFETCH(bool, expectChange);
        FrameProcessor processor;
        Clip clip = clipWithEffects();
        clip.blurIntensity = 5;
        const QImage source = randomImage(40, 30, 3, false);
        const QImage result =
            processor.processFrame(source, clip, 12.0, ProcessingQuality(quality), scrubbing);
        QCOMPARE(result != source, expectChange);
        if (quality == int(ProcessingQuality::High) && !scrubbing)
            QCOMPARE(result, processor.exactGaussianBlur(source, 1.0));
    }

    void draftBlurLooksLikeGraphicsEffect_data()
    {
        QTest::addColumn<int>("intensity");
        QTest::newRow("intensity 10") << 10;
        QTest::newRow("intensity 20") << 20;
        QTest::newRow("intensity 40") << 40;
    }

    void draftBlurLooksLikeGraphicsEffect()
    {
        QFETCH(int, intensity);
        const double sigma = intensity * 0.2;
        // Shapes with edges in both directions and some texture.
        QImage source(160, 120, QImage::Format_ARGB32);
        source.fill(0xff203040u);
        QPainter painter(&source);
        painter.fillRect(40, 30, 50, 40, QColor(240, 200, 40));
        painter.fillRect(100, 60, 30, 50, QColor(20, 220, 250));
        painter.end();
        FrameProcessor processor;
        const QImage draft = processor.fastBlur(source, sigma);
        const QImage effect = graphicsEffectBlur(source, 2.5 * sigma);
        QCOMPARE(draft.size(), source.size());
        // The effect fades into transparency at the borders; compare the inside.
        const int margin = int(5 * sigma) + 2;
        const QRect inside = source.rect().adjusted(margin, margin, -margin, -margin);
        const double difference = meanChannelDifference(draft.copy(inside), effect.copy(inside));
        const double blurAmount = meanChannelDifference(source.copy(inside), effect.copy(inside));
        qInfo() << "draft vs graphics effect:" << difference << "source vs graphics effect:" << blurAmount;
        QVERIFY(difference < 0.3 * blurAmount);
    }

    void draftBlurSameAtEveryLevel_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<double>("sigma");
        const QList<QSize> sizes = {{1, 1}, {3, 200}, {200, 3}, {37, 23}, {130, 67}};
        // 64 mixes the 16-bit sums (radius 63) with the 32-bit ones (radius 64).
        for (const QSize &size : sizes) {
            for (double sigma : {0.7, 4.0, 22.5, 64.0}) {
                QTest::addRow("%dx%d sigma %g", size.width(), size.height(), sigma)
                    << size.width() << size.height() << sigma;
            }
        }
    }

    void draftBlurSameAtEveryLevel()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(double, sigma);
        if (ImageKernels::supportedSimdLevel() == ImageKernels::SimdLevel::Portable)
            QSKIP("This CPU has only the portable path");
        const QImage source = randomImage(width, height, quint32(width * 1000 + height), true);
        ImageKernels::setSimdLevel(ImageKernels::SimdLevel::Portable);
        const QImage portable = ImageKernels::boxBlur(source, sigma);
        QCOMPARE(portable.size(), source.size());
        QVERIFY(portable != source || width * height == 1);
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            ImageKernels::setSimdLevel(level);
            QCOMPARE(ImageKernels::boxBlur(source, sigma), portable);
        }
    }

    void draftBlurMatchesPlainBoxPasses_data()
    {
        QTest::addColumn<double>("sigma");
        QTest::addColumn<QVector<int>>("radii");
        QTest::addColumn<ImageKernels::SimdLevel>("level");
        // Sigmas whose variance is exactly that of three boxes of the given radii.
        const auto boxesSigma = [](const QVector<int> &radii) {
            double variance = 0;
            for (int r : radii)
                variance += ((2.0 * r + 1) * (2.0 * r + 1) - 1) / 12.0;
            return std::sqrt(variance);
        };
        const QList<QVector<int>> boxes = {{0, 0, 1}, {1, 1, 2}, {22, 22, 22}, {63, 63, 64}};
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            for (const QVector<int> &radii : boxes) {
                QTest::addRow("radii %d %d %d %s", radii[0], radii[1], radii[2], qPrintable(levelName(level)))
                    << boxesSigma(radii) << radii << level;
            }
        }
    }

    void draftBlurMatchesPlainBoxPasses()
    {
        QFETCH(double, sigma);
        QFETCH(QVector<int>, radii);
        QFETCH(ImageKernels::SimdLevel, level);
        ImageKernels::setSimdLevel(level);
        // Wider than a strip with a tail, fewer rows than the largest radius.
        const QImage source = randomImage(71, 37, 5, true);
        QCOMPARE(ImageKernels::boxBlur(source, sigma), referenceBoxBlur(source, radii));
    }

    void draftBlurKeepsUniformImages_data()
    {
        QTest::addColumn<double>("sigma");
        QTest::addColumn<bool>("rgb32");
        // 63.8: the largest radius on 16-bit sums next to the first on 32-bit ones;
        // 150: sums that would overflow 16 bits.
        for (double sigma : {1.0, 4.0, 22.5, 63.8, 150.0}) {
            QTest::addRow("sigma %g argb", sigma) << sigma << false;
            QTest::addRow("sigma %g rgb32", sigma) << sigma << true;
        }
    }

    void draftBlurKeepsUniformImages()
    {
        QFETCH(double, sigma);
        QFETCH(bool, rgb32);
        // Every level in every channel, so each possible sum of a uniform window is divided.
        for (ImageKernels::SimdLevel level : levelsToTest()) {
            ImageKernels::setSimdLevel(level);
            for (int v = 0; v < 256; ++v) {
                const QRgb color = qRgba(v, 255 - v, (v * 7) & 0xff, rgb32 ? 255 : (v * 13) & 0xff);
                QImage source(21, 5, rgb32 ? QImage::Format_RGB32 : QImage::Format_ARGB32);
                source.fill(color);
                const QImage blurred = ImageKernels::boxBlur(source, sigma);
                QCOMPARE(blurred.format(), source.format());
                QCOMPARE(blurred, source);
            }
        }
    }

    void defaultClipLeavesFrameUnchanged()
    {
        FrameProcessor processor;
        QImage source(10, 6, QImage::Format_RGB888);
        source.fill(QColor(10, 200, 30));
        QSignalSpy started(&processor, &FrameProcessor::processingStarted);
        QSignalSpy finished(&processor, &FrameProcessor::processingFinished);
        const QImage result = processor.processFrame(source, Clip(), 1.0, ProcessingQuality::High, false);
        QCOMPARE(result.format(), QImage::Format_ARGB32);
        QCOMPARE(result, source.convertToFormat(QImage::Format_ARGB32));
        QCOMPARE(started.count(), 1);
        QCOMPARE(finished.count(), 1);
    }

    void nullInputGivesNullWithoutSignals()
    {
        FrameProcessor processor;
        QSignalSpy started(&processor, &FrameProcessor::processingStarted);
        QTest::ignoreMessage(QtWarningMsg, "FrameProcessor: Input frame is null!");
        QVERIFY(processor.processFrame(QImage(), Clip(), 0.0, ProcessingQuality::High, false).isNull());
        QCOMPARE(started.count(), 0);
    }

    void fades_data()
    {
        QTest::addColumn<int>("fadeIn");
        QTest::addColumn<int>("fadeOut");
        QTest::addColumn<double>("position");
        QTest::addColumn<int>("alpha");
        // Clip from 10 s to 20 s in the source.
        QTest::newRow("fade-in halfway") << 2000 << 0 << 11.0 << 127;
        QTest::newRow("fade-in at its start is transparent") << 2000 << 0 << 10.0 << 0;
        QTest::newRow("fade-in over") << 2000 << 0 << 12.0 << 255;
        QTest::newRow("before the clip") << 2000 << 0 << 9.5 << 255;
        QTest::newRow("fade-in at 99 percent is skipped") << 2000 << 0 << 11.99 << 255;
        QTest::newRow("fade-out halfway") << 0 << 2000 << 19.0 << 127;
        QTest::newRow("fade-out a quarter in") << 0 << 2000 << 18.5 << 191;
        QTest::newRow("fade-out at the end is transparent") << 0 << 2000 << 20.0 << 0;
        QTest::newRow("fade-out not yet") << 0 << 2000 << 17.9 << 255;
    }

    void fades()
    {
        QFETCH(int, fadeIn);
        QFETCH(int, fadeOut);
        QFETCH(double, position);
        QFETCH(int, alpha);
        FrameProcessor processor;
        Clip clip = clipWithEffects();
        clip.fadeInDuration = fadeIn;
        clip.fadeOutDuration = fadeOut;
        const QImage result = processor.processFrame(solid(0xff405060u), clip, position, ProcessingQuality::High, false);
        QCOMPARE(result.size(), QSize(8, 6));
        QCOMPARE(qAlpha(result.pixel(3, 3)), alpha);
        if (alpha > 0)
            QCOMPARE(result.pixel(3, 3) & 0xffffffu, 0x405060u);
    }

    void rotation_data()
    {
        QTest::addColumn<int>("degrees");
        QTest::addColumn<QSize>("size");
        QTest::newRow("90 swaps") << 90 << QSize(30, 40);
        QTest::newRow("180 keeps") << 180 << QSize(40, 30);
        QTest::newRow("270 swaps") << 270 << QSize(30, 40);
    }

    void rotation()
    {
        QFETCH(int, degrees);
        QFETCH(QSize, size);
        QImage source = solid(0xff000000u, 40, 30);
        source.setPixel(0, 0, 0xffffffffu);
        const QImage rotated = FrameProcessor::rotate(source, degrees);
        QCOMPARE(rotated.size(), size);
        QVERIFY(rotated.format() == QImage::Format_ARGB32 || rotated.format() == QImage::Format_RGB32);
        // The white corner pixel moves clockwise by the angle.
        const QPoint corner = degrees == 90 ? QPoint(size.width() - 1, 0)
            : degrees == 180                ? QPoint(size.width() - 1, size.height() - 1)
                                            : QPoint(0, size.height() - 1);
        QCOMPARE(qRed(rotated.pixel(corner)), 255);
    }

    void titleWindow_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<double>("position");
        QTest::addColumn<bool>("visible");
        // originalStart 10 s; on the edited timeline the clip starts at 0 and is 10 s long.
        QTest::newRow("mode 0 at start") << 0 << 10.0 << true;
        QTest::newRow("mode 0 just before 3 s") << 0 << 12.999 << true;
        QTest::newRow("mode 0 at 3 s") << 0 << 13.0 << false;
        QTest::newRow("mode 0 before the clip") << 0 << 9.9 << false;
        QTest::newRow("mode 0 at timeline position") << 0 << 1.0 << false;
        QTest::newRow("mode 1 within custom 5 s") << 1 << 14.9 << true;
        QTest::newRow("mode 1 after custom 5 s") << 1 << 15.0 << false;
        QTest::newRow("mode 2 near the clip end") << 2 << 19.9 << true;
        QTest::newRow("mode 2 at the clip end") << 2 << 20.0 << false;
        QTest::newRow("mode 3 never") << 3 << 10.5 << false;
    }

    void titleWindow()
    {
        QFETCH(int, mode);
        QFETCH(double, position);
        QFETCH(bool, visible);
        Clip clip = clipWithEffects();
        clip.showTitle = true;
        clip.titleText = "Hello";
        clip.titleDurationMode = mode;
        clip.customDuration = 5000;
        QCOMPARE(FrameProcessor::titleVisibleAt(clip, position), visible);
        clip.showTitle = false;
        QVERIFY(!FrameProcessor::titleVisibleAt(clip, position));
    }

    void titleNeedsText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("visible");
        QTest::newRow("text") << "Hi" << true;
        QTest::newRow("spaces only") << "   " << false;
        QTest::newRow("newlines and tabs") << "\n\t \n" << false;
    }

    void titleNeedsText()
    {
        QFETCH(QString, text);
        QFETCH(bool, visible);
        Clip clip = clipWithEffects();
        clip.showTitle = true;
        clip.titleText = text;
        QCOMPARE(FrameProcessor::titleVisibleAt(clip, 10.5), visible);
        FrameProcessor processor;
        const QImage source = solid(0xff808080u, 400, 300);
        const QImage result = processor.processFrame(source, clip, 10.5, ProcessingQuality::High, false);
        QCOMPARE(result != source, visible);
    }

    void titleFont_data()
    {
        QTest::addColumn<int>("requested");
        QTest::addColumn<int>("pixelSize");
        QTest::newRow("200 clamps to 120") << 200 << 120;
        QTest::newRow("0 means 38") << 0 << 38;
        QTest::newRow("10 raises to 16") << 10 << 16;
        QTest::newRow("38 stays") << 38 << 38;
    }

    void titleFont()
    {
        QFETCH(int, requested);
        QFETCH(int, pixelSize);
        Clip clip;
        clip.titleFontSize = requested;
        QCOMPARE(FrameProcessor::titleFont(clip).pixelSize(), pixelSize);
    }

    void wrapping_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("maxWords");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("empty paragraph dropped") << "one two\n\nthree" << 5 << QStringList{"one two", "three"};
        QTest::newRow("double spaces dropped") << "a  b   c" << 5 << QStringList{"a b c"};
        QTest::newRow("wraps greedily") << "aa aa aa aa aa" << 2 << QStringList{"aa aa", "aa aa", "aa"};
        QTest::newRow("long word stands alone") << "x wwwwwwwwwwwwwwwwwwww y" << 2
                                                << QStringList{"x", "wwwwwwwwwwwwwwwwwwww", "y"};
        QTest::newRow("spaces only") << "   " << 5 << QStringList{};
    }

    void wrapping()
    {
        QFETCH(QString, text);
        QFETCH(int, maxWords);
        QFETCH(QStringList, lines);
        QFont font;
        font.setPixelSize(20);
        const QFontMetrics metrics(font);
        // Room for maxWords two-letter words and their spaces, not one more.
        const int maxWidth = metrics.horizontalAdvance(QStringList(maxWords, "aa").join(' ')) + 1;
        QCOMPARE(FrameProcessor::wrapTitleLines(text, metrics, maxWidth), lines);
    }

    void titleBox_data()
    {
        QTest::addColumn<bool>("centered");
        QTest::newRow("top") << false;
        QTest::newRow("centred") << true;
    }

    void titleBox()
    {
        QFETCH(bool, centered);
        FrameProcessor processor;
        QFont font;
        font.setPixelSize(38);
        const QFontMetrics metrics(font);
        const QImage source = solid(0xff808080u, 960, 540);
        const QString text = "First line\nSecond";
        const int lineHeight = metrics.height();
        const int boxWidth = qMax(metrics.horizontalAdvance("First line"), metrics.horizontalAdvance("Second")) + 60;
        const int boxHeight = 2 * lineHeight + 60;
        const int x = (960 - boxWidth) / 2;
        const int y = centered ? (540 - 2 * lineHeight - 60) / 2 : 50;
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("Title rendered - Lines: 2, Box: %1x%2 at (%3, %4)")
                                                        .arg(boxWidth)
                                                        .arg(boxHeight)
                                                        .arg(x)
                                                        .arg(y)));
        const QImage result = processor.renderTitle(source, text, font, QColor(255, 0, 0), centered);
        // Inside the box, away from text: grey under black at alpha 200.
        const QRgb inside = result.pixel(x + 10, y + 10);
        QVERIFY(qRed(inside) < 40 && qAbs(qRed(inside) - qBlue(inside)) <= 1);
        // The outline is white; outside the box the frame is untouched.
        QCOMPARE(result.pixel(x, y + boxHeight / 2) & 0xffffffu, 0xffffffu);
        QCOMPARE(result.pixel(x - 10, y + boxHeight / 2), 0xff808080u);
        QCOMPARE(result.pixel(x + boxWidth / 2, y + boxHeight + 10), 0xff808080u);
        // Some text pixels are red.
        bool red = false;
        for (int py = y + 30; py < y + 30 + lineHeight && !red; ++py) {
            for (int px = x; px < x + boxWidth && !red; ++px) {
                const QRgb p = result.pixel(px, py);
                red = qRed(p) > 200 && qGreen(p) < 60;
            }
        }
        QVERIFY(red);
    }
};

QTEST_MAIN(TestFrameProcessor)
#include "tst_frameprocessor.moc"
