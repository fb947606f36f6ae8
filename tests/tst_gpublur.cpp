#include "frameprocessor.h"
#include "gpublurprocessor.h"
#include "messagecapture.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

QImage randomImage(int width, int height, quint32 seed)
{
    QRandomGenerator random(seed);
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, random.generate() | 0xff000000u);
    return image;
}

int maxChannelDifference(const QImage &a, const QImage &b)
{
    int worst = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            worst = std::max({worst, qAbs(qRed(p) - qRed(q)), qAbs(qGreen(p) - qGreen(q)), qAbs(qBlue(p) - qBlue(q)),
                          qAbs(qAlpha(p) - qAlpha(q))});
        }
    }
    return worst;
}

} // namespace

class TestGpuBlur : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QSurfaceFormat format;
        format.setVersion(3, 0);
        // Without this a 3.0+ request gives a core profile.
        format.setOption(QSurfaceFormat::DeprecatedFunctions);
        context = std::make_unique<QOpenGLContext>();
        context->setFormat(format);
        surface = std::make_unique<QOffscreenSurface>();
        surface->setFormat(format);
        surface->create();
        if (!context->create())
            QSKIP("No OpenGL context on this display");
        if (context->format().majorVersion() < 3)
            QSKIP("OpenGL 3.0 is not available on this display");
    }

    void cleanupTestCase()
    {
        if (context)
            context->doneCurrent();
    }

    void tinySigmaNeedsNoContext()
    {
        GPUBlurProcessor gpu;
        const QImage source = randomImage(16, 8, 1);
        MessageCapture capture;
        const QImage result = gpu.blur(source, 0.05);
        QCOMPARE(result, source);
        QVERIFY(capture.lines().filter("GPUBlurProcessor").filter("blur").isEmpty());
    }

    void noContextFailsWithWarnings()
    {
        context->doneCurrent();
        QVERIFY(!GPUBlurProcessor::isAvailable());
        GPUBlurProcessor gpu;
        QTest::ignoreMessage(QtWarningMsg, "GPUBlurProcessor: No valid OpenGL context available");
        QTest::ignoreMessage(QtWarningMsg, "GPUBlurProcessor: Failed to initialize, falling back to CPU");
        QVERIFY(gpu.blur(randomImage(16, 8, 2), 2.0).isNull());
    }

    void matchesCpuExactBlur_data()
    {
        QTest::addColumn<double>("sigma");
        QTest::addColumn<QSize>("size");
        QTest::newRow("sigma 1") << 1.0 << QSize(64, 48);
        QTest::newRow("sigma 5, odd size") << 5.0 << QSize(75, 41);
        QTest::newRow("sigma 20, 121 weights") << 20.0 << QSize(160, 90);
    }

    void matchesCpuExactBlur()
    {
        QFETCH(double, sigma);
        QFETCH(QSize, size);
        QVERIFY(context->makeCurrent(surface.get()));
        QVERIFY(GPUBlurProcessor::isAvailable());
        GPUBlurProcessor gpu;
        FrameProcessor cpu;
        const QImage source = randomImage(size.width(), size.height(), quint32(sigma * 10));
        const QImage blurred = gpu.blur(source, sigma);
        QVERIFY(!blurred.isNull());
        QCOMPARE(blurred.size(), source.size());
        QCOMPARE(blurred.format(), source.format());
        QVERIFY(maxChannelDifference(blurred, cpu.exactGaussianBlur(source, sigma)) <= 2);
        gpu.cleanup();
    }

    void keepsRowOrder()
    {
        QVERIFY(context->makeCurrent(surface.get()));
        GPUBlurProcessor gpu;
        QImage source(64, 64, QImage::Format_ARGB32);
        source.fill(Qt::black);
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 64; ++x)
                source.setPixel(x, y, 0xffffffffu);
        const QImage blurred = gpu.blur(source, 2.0);
        QVERIFY(!blurred.isNull());
        QCOMPARE(qRed(blurred.pixel(32, 2)), 255);
        QCOMPARE(qRed(blurred.pixel(32, 61)), 0);
        gpu.cleanup();
    }

    void poolsCreateOncePerSize()
    {
        QVERIFY(context->makeCurrent(surface.get()));
        GPUBlurProcessor gpu;
        MessageCapture capture;
        QVERIFY(!gpu.blur(randomImage(40, 30, 3), 1.5).isNull());
        QVERIFY(!gpu.blur(randomImage(40, 30, 4), 1.5).isNull());
        QCOMPARE(gpu.fboPoolSize(), 1);
        QCOMPARE(gpu.texturePoolSize(), 1);
        QStringList created = capture.lines().filter("GPUBlurProcessor: Created FBO");
        QCOMPARE(created, QStringList{"GPUBlurProcessor: Created FBO 40x30 (pool size: 1)"});
        QCOMPARE(capture.lines().filter("GPUBlurProcessor: Compiled shader for kernel size 11").size(), 1);
        QVERIFY(!gpu.blur(randomImage(20, 10, 5), 1.5).isNull());
        QCOMPARE(gpu.fboPoolSize(), 2);
        QCOMPARE(gpu.texturePoolSize(), 2);
        gpu.cleanup();
        QVERIFY(capture.lines().contains("GPUBlurProcessor: Cleaned up all OpenGL resources"));
    }

    void processorUsesGpuWhenContextIsCurrent()
    {
        QVERIFY(context->makeCurrent(surface.get()));
        FrameProcessor processor;
        const QImage source = randomImage(48, 32, 6);
        MessageCapture capture;
        const QImage blurred = processor.applyBlur(source, 10, ProcessingQuality::High);
        QVERIFY(capture.lines().contains("FrameProcessor: Using GPU-accelerated blur"));
        QVERIFY(!capture.lines().contains("FrameProcessor: Using CPU exact Gaussian blur"));
        QVERIFY(maxChannelDifference(blurred, processor.exactGaussianBlur(source, 2.0)) <= 2);
        processor.gpuBlurProcessor()->cleanup();
    }

private:
    std::unique_ptr<QOpenGLContext> context;
    std::unique_ptr<QOffscreenSurface> surface;
};

QTEST_MAIN(TestGpuBlur)
#include "tst_gpublur.moc"
