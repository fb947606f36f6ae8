#include "frameprocessingworker.h"
#include "imagekernels.h"
#include "messagecapture.h"
#include "testmedia.h"

#include <QMediaPlayer>
#include <QThread>
#include <QVideoSink>
#include "testmain.h"

#include <QtTest>

#include <atomic>

Q_DECLARE_METATYPE(QVideoFrameFormat::PixelFormat)
Q_DECLARE_METATYPE(QVideoFrameFormat::ColorSpace)
Q_DECLARE_METATYPE(QVideoFrameFormat::ColorRange)

namespace {

// Quadrants of an 8 x 4 frame (each 4 x 2, so every 2 x 2 chroma block is
// inside one): white, black / red, blue, as (Y, U, V) with their exact RGB.
struct Quadrant {
    int y, u, v;
    QRgb rgb;
};
const Quadrant kQuadrants[4] = {
    {235, 128, 128, 0xffffffffu},
    {16, 128, 128, 0xff000000u},
    {81, 90, 240, 0xffff0000u},
    {41, 240, 110, 0xff0000ffu},
};

const Quadrant &quadrantAt(int x, int y)
{
    return kQuadrants[(y >= 2 ? 2 : 0) + (x >= 4 ? 1 : 0)];
}

// Writes the pattern. P010 keeps its samples in the top bits: the value goes in the
// high byte with noise in the low byte. Planar 10-bit keeps them in the low 10 bits,
// as decoders deliver it: the value times 4 plus noise in the two lowest bits.
QVideoFrame patternFrame(QVideoFrameFormat::PixelFormat format)
{
    QVideoFrame frame(QVideoFrameFormat(QSize(8, 4), format));
    if (!frame.map(QVideoFrame::WriteOnly))
        return {};
    const bool wide = format == QVideoFrameFormat::Format_YUV420P10 || format == QVideoFrameFormat::Format_P010;
    const bool semiPlanar = format == QVideoFrameFormat::Format_NV12 || format == QVideoFrameFormat::Format_P010;
    auto put = [&](int plane, int row, int index, int value) {
        uchar *line = frame.bits(plane) + row * frame.bytesPerLine(plane);
        if (format == QVideoFrameFormat::Format_YUV420P10) {
            const int sample = (value << 2) | (index & 3);
            line[2 * index] = uchar(sample & 0xff);
            line[2 * index + 1] = uchar(sample >> 8);
        } else if (wide) {
            line[2 * index] = uchar(0x5a + index);
            line[2 * index + 1] = uchar(value);
        } else {
            line[index] = uchar(value);
        }
    };
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            put(0, y, x, quadrantAt(x, y).y);
    for (int cy = 0; cy < 2; ++cy) {
        for (int cx = 0; cx < 4; ++cx) {
            const Quadrant &q = quadrantAt(2 * cx, 2 * cy);
            if (semiPlanar) {
                put(1, cy, 2 * cx, q.u);
                put(1, cy, 2 * cx + 1, q.v);
            } else {
                put(1, cy, cx, q.u);
                put(2, cy, cx, q.v);
            }
        }
    }
    frame.unmap();
    return frame;
}

QVideoFrame grayFrame(int width, int height,
                      QVideoFrameFormat::PixelFormat format = QVideoFrameFormat::Format_YUV420P)
{
    QVideoFrame frame(QVideoFrameFormat(QSize(width, height), format));
    frame.map(QVideoFrame::WriteOnly);
    for (int p = 0; p < frame.planeCount(); ++p) {
        const bool rgb = format == QVideoFrameFormat::Format_ARGB8888;
        memset(frame.bits(p), p == 0 || rgb ? 126 : 128, frame.mappedBytes(p));
    }
    frame.unmap();
    return frame;
}

FrameProcessingWorker::Request request(const QVideoFrame &frame, bool scrubbing = false, bool applyEffects = true)
{
    FrameProcessingWorker::Request r;
    r.frame = frame;
    r.positionSeconds = 1.0;
    r.scrubbing = scrubbing;
    r.applyEffects = applyEffects;
    r.previewQuality = scrubbing ? 1 : 0;
    r.clip.originalEnd = 10000;
    r.clip.endTime = 10000;
    return r;
}

// A turned copy the way Qt's own conversion turns frames (clockwise by the angle).
QImage turned(const QImage &image, int angle)
{
    return image.transformed(QTransform().rotate(angle));
}

// Two colours side by side, split at an even column so no chroma sample mixes them.
const QColor kOrange(255, 72, 0);
const QColor kSteel(64, 160, 200);

// One frame written by ffmpeg's own RGB to Y'CbCr conversion with the given matrix and
// range, read back raw and wrapped in a frame of the given pixel format and colour tags.
QVideoFrame ffmpegFrame(const QString &directory, const QSize &size, const QString &matrix, const QString &range,
                        QVideoFrameFormat::PixelFormat format, QVideoFrameFormat::ColorSpace space,
                        QVideoFrameFormat::ColorRange taggedRange)
{
    const QString pixFmt = format == QVideoFrameFormat::Format_NV12     ? QStringLiteral("nv12")
        : format == QVideoFrameFormat::Format_P010                      ? QStringLiteral("p010le")
        : format == QVideoFrameFormat::Format_YUV420P10                 ? QStringLiteral("yuv420p10le")
                                                                        : QStringLiteral("yuv420p");
    const QString raw = QDir(directory).filePath(QStringLiteral("%1-%2-%3-%4.yuv")
                                                     .arg(matrix, range, pixFmt)
                                                     .arg(size.height()));
    const QString source = QStringLiteral("color=c=0x%1:s=%2x%3:d=0.04,drawbox=x=%4:y=0:w=%4:h=%3:c=0x%5:t=fill")
                               .arg(kOrange.name().mid(1))
                               .arg(size.width())
                               .arg(size.height())
                               .arg(size.width() / 2)
                               .arg(kSteel.name().mid(1));
    const QString scale = QStringLiteral("scale=out_color_matrix=%1:out_range=%2,format=%3").arg(matrix, range, pixFmt);
    if (!TestMedia::runFFmpeg({"-f", "lavfi", "-i", source, "-vf", scale, "-frames:v", "1", "-f", "rawvideo", raw}))
        return {};
    QFile file(raw);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();

    QVideoFrameFormat frameFormat(size, format);
    frameFormat.setColorSpace(space);
    frameFormat.setColorRange(taggedRange);
    QVideoFrame frame(frameFormat);
    if (!frame.map(QVideoFrame::WriteOnly))
        return {};
    const bool wide = format == QVideoFrameFormat::Format_P010 || format == QVideoFrameFormat::Format_YUV420P10;
    const int sampleBytes = wide ? 2 : 1;
    const bool semiPlanar = format == QVideoFrameFormat::Format_NV12 || format == QVideoFrameFormat::Format_P010;
    // Tightly packed planes in ffmpeg's order: Y, then UV interleaved or U and V.
    QList<QPair<int, int>> planes{{size.width() * sampleBytes, size.height()}};
    if (semiPlanar)
        planes.append({size.width() * sampleBytes, size.height() / 2});
    else
        planes << QPair<int, int>(size.width() / 2 * sampleBytes, size.height() / 2)
               << QPair<int, int>(size.width() / 2 * sampleBytes, size.height() / 2);
    qsizetype offset = 0;
    for (int p = 0; p < planes.size(); ++p) {
        const auto [rowBytes, rows] = planes[p];
        for (int row = 0; row < rows; ++row) {
            if (offset + rowBytes > bytes.size())
                return {};
            memcpy(frame.bits(p) + row * frame.bytesPerLine(p), bytes.constData() + offset, size_t(rowBytes));
            offset += rowBytes;
        }
    }
    frame.unmap();
    return frame;
}

bool near(QRgb actual, const QColor &expected, int tolerance)
{
    return qAbs(qRed(actual) - expected.red()) <= tolerance && qAbs(qGreen(actual) - expected.green()) <= tolerance
        && qAbs(qBlue(actual) - expected.blue()) <= tolerance;
}

QByteArray describe(QRgb pixel)
{
    return QStringLiteral("rgb(%1,%2,%3)").arg(qRed(pixel)).arg(qGreen(pixel)).arg(qBlue(pixel)).toLatin1();
}
} // namespace

class TestFrameWorker : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<FrameProcessingWorker::Request>("FrameProcessingWorker::Request"); }

    void previewSize_data()
    {
        QTest::addColumn<QSize>("input");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("1080p halves") << QSize(1920, 1080) << QSize(960, 540);
        QTest::newRow("5:4 keeps height, width even") << QSize(1280, 1024) << QSize(674, 540);
        QTest::newRow("640x360 unchanged") << QSize(640, 360) << QSize(640, 360);
        QTest::newRow("960x540 unchanged") << QSize(960, 540) << QSize(960, 540);
        QTest::newRow("odd small size unchanged") << QSize(321, 241) << QSize(321, 241);
        QTest::newRow("4K") << QSize(3840, 2160) << QSize(960, 540);
        QTest::newRow("just too wide, odd width lowered") << QSize(961, 541) << QSize(958, 540);
        QTest::newRow("very flat: height raised to 2") << QSize(5000, 10) << QSize(960, 2);
        QTest::newRow("very tall: width raised to 2") << QSize(10, 5000) << QSize(2, 540);
    }

    void previewSize()
    {
        QFETCH(QSize, input);
        QFETCH(QSize, expected);
        QCOMPARE(FrameProcessingWorker::previewSize(input), expected);
    }

    void limitSize_data()
    {
        QTest::addColumn<QSize>("input");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("4K fits 1280x720") << QSize(3840, 2160) << true << QSize(1280, 720);
        QTest::newRow("tall fits 720 high") << QSize(800, 1600) << true << QSize(360, 720);
        QTest::newRow("small passes") << QSize(960, 540) << true << QSize(960, 540);
        QTest::newRow("disabled passes") << QSize(3840, 2160) << false << QSize(3840, 2160);
    }

    void limitSize()
    {
        QFETCH(QSize, input);
        QFETCH(bool, enabled);
        QFETCH(QSize, expected);
        QImage image(input, QImage::Format_RGB32);
        image.fill(Qt::gray);
        QCOMPARE(FrameProcessingWorker::limitSize(image, enabled).size(), expected);
    }

    void handConversion_data()
    {
        QTest::addColumn<QVideoFrameFormat::PixelFormat>("format");
        QTest::addColumn<QSize>("target");
        for (auto format : {QVideoFrameFormat::Format_YUV420P, QVideoFrameFormat::Format_YUV420P10,
                            QVideoFrameFormat::Format_NV12, QVideoFrameFormat::Format_P010}) {
            const QByteArray name = QVideoFrameFormat::pixelFormatToString(format).toLatin1();
            QTest::addRow("%s full size", name.constData()) << format << QSize(8, 4);
            QTest::addRow("%s halved", name.constData()) << format << QSize(4, 2);
            QTest::addRow("%s stretched", name.constData()) << format << QSize(16, 6);
        }
    }

    void handConversion()
    {
        QFETCH(QVideoFrameFormat::PixelFormat, format);
        QFETCH(QSize, target);
        QVideoFrame frame = patternFrame(format);
        QVERIFY(frame.isValid());
        QVERIFY(frame.map(QVideoFrame::ReadOnly));
        const QImage image = FrameProcessingWorker::convertMapped(frame, target);
        frame.unmap();
        QCOMPARE(image.size(), target);
        QCOMPARE(image.format(), QImage::Format_RGB32);
        for (int i = 0; i < target.height(); ++i) {
            for (int j = 0; j < target.width(); ++j) {
                // Nearest sampling with integer arithmetic.
                const QRgb expected = quadrantAt(8 * j / target.width(), 4 * i / target.height()).rgb;
                QCOMPARE(QString::number(image.pixel(j, i), 16), QString::number(expected, 16));
            }
        }
    }

    // Each turn of each layout gives what converting upright and turning the image gives.
    void handConversionTurns_data()
    {
        QTest::addColumn<QVideoFrameFormat::PixelFormat>("format");
        QTest::addColumn<int>("angle");
        for (auto format : {QVideoFrameFormat::Format_YUV420P, QVideoFrameFormat::Format_YUV420P10,
                            QVideoFrameFormat::Format_NV12, QVideoFrameFormat::Format_P010}) {
            const QByteArray name = QVideoFrameFormat::pixelFormatToString(format).toLatin1();
            for (int angle : {0, 90, 180, 270})
                QTest::addRow("%s %d", name.constData(), angle) << format << angle;
        }
    }

    void handConversionTurns()
    {
        QFETCH(QVideoFrameFormat::PixelFormat, format);
        QFETCH(int, angle);
        QVideoFrame frame = patternFrame(format);
        QVERIFY(frame.map(QVideoFrame::ReadOnly));
        const QImage upright = FrameProcessingWorker::convertMapped(frame, QSize(8, 4));
        frame.unmap();

        frame.setRotationAngle(QVideoFrame::RotationAngle(angle));
        const QSize shown = FrameProcessingWorker::shownPreviewSize(frame);
        QCOMPARE(shown, angle % 180 ? QSize(4, 8) : QSize(8, 4));
        QVERIFY(frame.map(QVideoFrame::ReadOnly));
        const QImage image = FrameProcessingWorker::convertMapped(frame, shown);
        frame.unmap();
        QCOMPARE(image, turned(upright, angle));
    }

    // Every kernel level converts alike, read in place (half size) or from gathered
    // rows, for each matrix and range, with samples of every value (clamping included).
    void handConversionSameOnEveryLevel_data()
    {
        QTest::addColumn<QVideoFrameFormat::PixelFormat>("format");
        QTest::addColumn<QVideoFrameFormat::ColorSpace>("space");
        QTest::addColumn<QVideoFrameFormat::ColorRange>("range");
        QTest::addColumn<QSize>("target");
        const auto yuv = QVideoFrameFormat::Format_YUV420P;
        for (auto space : {QVideoFrameFormat::ColorSpace_BT601, QVideoFrameFormat::ColorSpace_BT709,
                           QVideoFrameFormat::ColorSpace_BT2020}) {
            for (auto range : {QVideoFrameFormat::ColorRange_Video, QVideoFrameFormat::ColorRange_Full}) {
                QTest::addRow("space %d range %d halved", int(space), int(range)) << yuv << space << range << QSize(100, 50);
                QTest::addRow("space %d range %d full size", int(space), int(range)) << yuv << space << range << QSize(200, 100);
            }
        }
        QTest::newRow("NV12 halved") << QVideoFrameFormat::Format_NV12 << QVideoFrameFormat::ColorSpace_BT709
                                     << QVideoFrameFormat::ColorRange_Video << QSize(100, 50);
    }

    void handConversionSameOnEveryLevel()
    {
        QFETCH(QVideoFrameFormat::PixelFormat, format);
        QFETCH(QVideoFrameFormat::ColorSpace, space);
        QFETCH(QVideoFrameFormat::ColorRange, range);
        QFETCH(QSize, target);
        QVideoFrameFormat frameFormat(QSize(200, 100), format);
        frameFormat.setColorSpace(space);
        frameFormat.setColorRange(range);
        QVideoFrame frame(frameFormat);
        QVERIFY(frame.map(QVideoFrame::WriteOnly));
        uint32_t state = 12345;
        for (int p = 0; p < frame.planeCount(); ++p) {
            for (int i = 0; i < frame.mappedBytes(p); ++i) {
                state = state * 1664525u + 1013904223u;
                frame.bits(p)[i] = uchar(state >> 24);
            }
        }
        frame.unmap();
        QVERIFY(frame.map(QVideoFrame::ReadOnly));
        QImage portable;
        for (auto level : {ImageKernels::SimdLevel::Portable, ImageKernels::SimdLevel::Avx2, ImageKernels::SimdLevel::Avx512}) {
            if (ImageKernels::setSimdLevel(level) != level)
                continue;
            const QImage image = FrameProcessingWorker::convertMapped(frame, target);
            QCOMPARE(image.size(), target);
            if (level == ImageKernels::SimdLevel::Portable)
                portable = image;
            else
                QVERIFY2(image == portable, QByteArray::number(int(level)).constData());
        }
        frame.unmap();
        ImageKernels::setSimdLevel(ImageKernels::supportedSimdLevel());
    }

    void shownPreviewSizeOfTurnedFrames_data()
    {
        QTest::addColumn<QSize>("coded");
        QTest::addColumn<int>("angle");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("1080p upright") << QSize(1920, 1080) << 0 << QSize(960, 540);
        QTest::newRow("1080p phone portrait") << QSize(1920, 1080) << 90 << QSize(304, 540);
        QTest::newRow("1080p upside down") << QSize(1920, 1080) << 180 << QSize(960, 540);
        QTest::newRow("small turned") << QSize(320, 240) << 270 << QSize(240, 320);
    }

    void shownPreviewSizeOfTurnedFrames()
    {
        QFETCH(QSize, coded);
        QFETCH(int, angle);
        QFETCH(QSize, expected);
        QVideoFrame frame(QVideoFrameFormat(coded, QVideoFrameFormat::Format_YUV420P));
        frame.setRotationAngle(QVideoFrame::RotationAngle(angle));
        QCOMPARE(FrameProcessingWorker::shownPreviewSize(frame), expected);
    }

    // Pictures ffmpeg wrote with each matrix and range come back as the colours they were
    // made from, when the frame says which, and by the HD/SD rule when it does not.
    void colourMatrixAndRange_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("matrix");
        QTest::addColumn<QString>("range");
        QTest::addColumn<QVideoFrameFormat::PixelFormat>("format");
        QTest::addColumn<QVideoFrameFormat::ColorSpace>("space");
        QTest::addColumn<QVideoFrameFormat::ColorRange>("taggedRange");
        const QSize hd(1280, 720);
        const QSize sd(640, 480);
        const auto yuv = QVideoFrameFormat::Format_YUV420P;
        const auto video = QVideoFrameFormat::ColorRange_Video;
        const auto full = QVideoFrameFormat::ColorRange_Full;
        const auto unknown = QVideoFrameFormat::ColorRange_Unknown;
        const auto bt709 = QVideoFrameFormat::ColorSpace_BT709;
        const auto bt601 = QVideoFrameFormat::ColorSpace_BT601;
        const auto unsaid = QVideoFrameFormat::ColorSpace_Undefined;
        QTest::newRow("BT.709 HD") << hd << "bt709" << "tv" << yuv << bt709 << video;
        QTest::newRow("BT.601 SD") << sd << "bt601" << "tv" << yuv << bt601 << video;
        QTest::newRow("BT.709 full range") << hd << "bt709" << "pc" << yuv << bt709 << full;
        QTest::newRow("BT.601 full range") << sd << "bt601" << "pc" << yuv << bt601 << full;
        QTest::newRow("BT.2020") << hd << "bt2020" << "tv" << yuv << QVideoFrameFormat::ColorSpace_BT2020 << video;
        QTest::newRow("unsaid HD is BT.709") << hd << "bt709" << "tv" << yuv << unsaid << unknown;
        QTest::newRow("unsaid SD is BT.601") << sd << "bt601" << "tv" << yuv << unsaid << unknown;
        QTest::newRow("576 lines is SD") << QSize(720, 576) << "bt601" << "tv" << yuv << unsaid << unknown;
        QTest::newRow("BT.709 NV12") << hd << "bt709" << "tv" << QVideoFrameFormat::Format_NV12 << bt709 << video;
        QTest::newRow("BT.709 P010") << hd << "bt709" << "tv" << QVideoFrameFormat::Format_P010 << bt709 << video;
        // No 10-bit planar row: Qt 6.4 gives such frames made in memory one byte per sample.
    }

    void colourMatrixAndRange()
    {
        QFETCH(QSize, size);
        QFETCH(QString, matrix);
        QFETCH(QString, range);
        QFETCH(QVideoFrameFormat::PixelFormat, format);
        QFETCH(QVideoFrameFormat::ColorSpace, space);
        QFETCH(QVideoFrameFormat::ColorRange, taggedRange);
        QTemporaryDir dir;
        QVideoFrame frame = ffmpegFrame(dir.path(), size, matrix, range, format, space, taggedRange);
        QVERIFY(frame.isValid());
        QVERIFY(frame.map(QVideoFrame::ReadOnly));
        const QImage image = FrameProcessingWorker::convertMapped(frame, size);
        frame.unmap();
        QCOMPARE(image.size(), size);
        const QRgb left = image.pixel(size.width() / 4, size.height() / 2);
        const QRgb right = image.pixel(3 * size.width() / 4, size.height() / 2);
        QVERIFY2(near(left, kOrange, 3), describe(left).constData());
        QVERIFY2(near(right, kSteel, 3), describe(right).constData());
    }

    void handConversionRefusesOtherFormats()
    {
        QVideoFrame frame(QVideoFrameFormat(QSize(8, 4), QVideoFrameFormat::Format_ARGB8888));
        QVERIFY(frame.map(QVideoFrame::ReadOnly));
        QVERIFY(FrameProcessingWorker::convertMapped(frame, QSize(8, 4)).isNull());
        frame.unmap();
    }

    void rateCap_data()
    {
        QTest::addColumn<int>("targetFps");
        QTest::addColumn<QList<int>>("times");
        QTest::addColumn<QList<bool>>("processed");
        QTest::newRow("30 fps: 10 ms apart is dropped") << 30 << QList<int>{1000, 1010} << QList<bool>{true, false};
        QTest::newRow("30 fps: 33 ms apart passes") << 30 << QList<int>{1000, 1033} << QList<bool>{true, true};
        QTest::newRow("30 fps: measured from the last processed")
            << 30 << QList<int>{1000, 1020, 1040} << QList<bool>{true, false, true};
        QTest::newRow("12 fps: 83 ms") << 12 << QList<int>{1000, 1082, 1083} << QList<bool>{true, false, true};
        QTest::newRow("no cap") << 0 << QList<int>{1000, 1000, 1001} << QList<bool>{true, true, true};
    }

    void rateCap()
    {
        QFETCH(int, targetFps);
        QFETCH(QList<int>, times);
        QFETCH(QList<bool>, processed);
        FrameProcessingWorker worker;
        qint64 clock = 0;
        worker.setClock([&clock] { return clock; });
        worker.setTargetFps(targetFps);
        QSignalSpy spy(&worker, &FrameProcessingWorker::frameProcessed);
        const QVideoFrame frame = grayFrame(64, 36);
        for (int i = 0; i < times.size(); ++i) {
            clock = times[i];
            worker.enqueueFrame(request(frame));
            QCOMPARE(spy.count(), i + 1);
            QCOMPARE(!spy.at(i).at(0).value<QImage>().isNull(), processed[i]);
        }
    }

    void scrubThinning()
    {
        FrameProcessingWorker worker;
        worker.setTargetFps(0);
        QSignalSpy spy(&worker, &FrameProcessingWorker::frameProcessed);
        const QVideoFrame frame = grayFrame(64, 36);
        // S = scrubbing, N = not; every third scrubbing frame in a row is processed.
        const QString pattern = "SSSSSSNSSSNSS";
        const QString expected = "--X--XX--XX--";
        for (int i = 0; i < pattern.size(); ++i)
            worker.enqueueFrame(request(frame, pattern[i] == 'S'));
        QString seen;
        for (const QList<QVariant> &emission : spy)
            seen += emission.at(0).value<QImage>().isNull() ? '-' : 'X';
        QCOMPARE(seen, expected);
    }

    void processesAndForwards_data()
    {
        QTest::addColumn<bool>("applyEffects");
        QTest::addColumn<QVideoFrameFormat::PixelFormat>("format");
        QTest::addColumn<QSize>("frameSize");
        QTest::addColumn<QSize>("resultSize");
        const auto yuv = QVideoFrameFormat::Format_YUV420P;
        const auto argb = QVideoFrameFormat::Format_ARGB8888;
        QTest::newRow("effects, small") << true << yuv << QSize(64, 36) << QSize(64, 36);
        QTest::newRow("forwarded, small") << false << yuv << QSize(64, 36) << QSize(64, 36);
        QTest::newRow("effects, 4K reduced") << true << yuv << QSize(3840, 2160) << QSize(960, 540);
        QTest::newRow("forwarded, 1280x1024 reduced") << false << yuv << QSize(1280, 1024) << QSize(674, 540);
        // Other formats go through Qt's conversion, then a scale that keeps the
        // aspect ratio inside 674 x 540 (one row less).
        QTest::newRow("Qt conversion, effects") << true << argb << QSize(64, 36) << QSize(64, 36);
        QTest::newRow("Qt conversion, reduced") << false << argb << QSize(1280, 1024) << QSize(674, 539);
    }

    void processesAndForwards()
    {
        QFETCH(bool, applyEffects);
        QFETCH(QVideoFrameFormat::PixelFormat, format);
        QFETCH(QSize, frameSize);
        QFETCH(QSize, resultSize);
        FrameProcessingWorker worker;
        worker.setTargetFps(0);
        QSignalSpy spy(&worker, &FrameProcessingWorker::frameProcessed);
        FrameProcessingWorker::Request r =
            request(grayFrame(frameSize.width(), frameSize.height(), format), false, applyEffects);
        r.clip.brightness = 100;
        worker.enqueueFrame(r);
        QCOMPARE(spy.count(), 1);
        const QImage image = spy.at(0).at(0).value<QImage>();
        QCOMPARE(image.size(), resultSize);
        const QRgb centre = image.pixel(image.width() / 2, image.height() / 2);
        // Brightness 100 whitens only when effects are applied.
        QCOMPARE(qRed(centre) == 255 && qBlue(centre) == 255, applyEffects);
    }

    void invalidFrameAnswersNull()
    {
        FrameProcessingWorker worker;
        QSignalSpy spy(&worker, &FrameProcessingWorker::frameProcessed);
        worker.enqueueFrame(request(QVideoFrame()));
        QCOMPARE(spy.count(), 1);
        QVERIFY(spy.at(0).at(0).value<QImage>().isNull());
    }

    void stopEndsAllWork()
    {
        FrameProcessingWorker worker;
        QSignalSpy spy(&worker, &FrameProcessingWorker::frameProcessed);
        worker.stop();
        worker.enqueueFrame(request(grayFrame(64, 36)));
        worker.enqueueFrame(request(QVideoFrame()));
        QCOMPARE(spy.count(), 0);
    }

    void statistics_data()
    {
        QTest::addColumn<int>("targetFps");
        QTest::addColumn<bool>("lagging");
        // A fresh worker has measured nothing: 0 fps.
        QTest::newRow("no cap never lags") << 0 << false;
        QTest::newRow("30 fps target lags at 0 fps") << 30 << true;
    }

    void statistics()
    {
        QFETCH(int, targetFps);
        QFETCH(bool, lagging);
        FrameProcessingWorker worker;
        worker.setTargetFps(targetFps);
        PerformanceStats stats = worker.performanceStats();
        QCOMPARE(stats.fps, 0.0);
        QCOMPARE(stats.isLagging, lagging);
        QCOMPARE(stats.queueSize, qsizetype(0));
        worker.setTargetFps(0);
        for (int i = 0; i < 3; ++i)
            worker.enqueueFrame(request(grayFrame(64, 36)));
        stats = worker.performanceStats();
        QVERIFY(stats.averageMs > 0);
        QVERIFY(stats.fps > 0);
        QVERIFY(!stats.isLagging);
        QCOMPARE(stats.droppedFrames, 0);
    }

    void performanceSignalEveryHundred()
    {
        FrameProcessingWorker worker;
        worker.setTargetFps(0);
        QSignalSpy spy(&worker, &FrameProcessingWorker::performanceChanged);
        const QVideoFrame frame = grayFrame(16, 16);
        for (int i = 0; i < 99; ++i)
            worker.enqueueFrame(request(frame));
        QCOMPARE(spy.count(), 0);
        worker.enqueueFrame(request(frame));
        QCOMPARE(spy.count(), 1);
        // Rate-capped and thinned requests do not count.
        worker.setTargetFps(30);
        for (int i = 0; i < 150; ++i)
            worker.enqueueFrame(request(frame, true));
        QCOMPARE(spy.count(), 1);
    }

    void unsupportedFormatWarningsStopAfterFive()
    {
        FrameProcessingWorker worker;
        worker.setTargetFps(0);
        QSignalSpy spy(&worker, &FrameProcessingWorker::frameProcessed);
        // Neither Qt's conversion nor the hand conversion reads this one.
        QVideoFrame frame(QVideoFrameFormat(QSize(16, 16), QVideoFrameFormat::Format_Jpeg));
        if (!frame.isValid() || !frame.toImage().isNull())
            QSKIP("No frame of an unconvertible format can be built here");
        MessageCapture capture;
        for (int i = 0; i < 6; ++i)
            worker.enqueueFrame(request(frame));
        const QStringList lines = capture.lines();
        QCOMPARE(spy.count(), 6);
        for (const QList<QVariant> &emission : spy)
            QVERIFY(emission.at(0).value<QImage>().isNull());
        QCOMPARE(lines.filter("Unsupported pixel format for conversion").size(), 5);
        QCOMPARE(lines.filter("Suppressing further unsupported format warnings").size(), 1);
        QVERIFY(lines.last().contains("Suppressing"));
    }

    // Real decoded frames through a worker on its own thread, two at most in flight,
    // then a shutdown while requests are still travelling.
    void decodedFramesOnWorkerThread()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("clip.mp4");
        TestMedia::VideoOptions options;
        options.width = 1280;
        options.height = 720;
        options.seconds = 4;
        options.withAudio = false;
        QVERIFY(TestMedia::makeVideo(path, options));

        auto *thread = new QThread;
        auto *worker = new FrameProcessingWorker;
        worker->moveToThread(thread);
        connect(thread, &QThread::finished, worker, &QObject::deleteLater);
        QPointer<FrameProcessingWorker> watched(worker);
        thread->start(QThread::HighPriority);

        std::atomic<int> inFlight{0};
        int maxInFlight = 0;
        int sent = 0;
        int results = 0;
        int pictures = 0;
        QSize largest;
        connect(worker, &FrameProcessingWorker::frameProcessed, this, [&](const QImage &image) {
            ++results;
            if (!image.isNull()) {
                ++pictures;
                largest = largest.expandedTo(image.size());
            }
            --inFlight;
        });

        QMediaPlayer player;
        QVideoSink sink;
        player.setVideoSink(&sink);
        Clip clip;
        clip.originalEnd = 4000;
        clip.endTime = 4000;
        clip.blurIntensity = 10;
        clip.saturation = 40;
        clip.showTitle = true;
        clip.titleText = "Title";
        connect(&sink, &QVideoSink::videoFrameChanged, this, [&](const QVideoFrame &frame) {
            if (!frame.isValid() || inFlight.load() > 1)
                return;
            FrameProcessingWorker::Request r;
            r.frame = frame;
            r.clip = clip;
            r.positionSeconds = player.position() / 1000.0;
            r.applyEffects = true;
            maxInFlight = qMax(maxInFlight, ++inFlight);
            ++sent;
            QMetaObject::invokeMethod(worker, "enqueueFrame", Qt::QueuedConnection,
                                      Q_ARG(FrameProcessingWorker::Request, r));
        });
        player.setSource(QUrl::fromLocalFile(path));
        player.play();
        QTRY_VERIFY_WITH_TIMEOUT(pictures >= 5, 30000);
        player.stop();
        QTRY_COMPARE_WITH_TIMEOUT(inFlight.load(), 0, 10000);
        QCOMPARE(results, sent);
        QVERIFY(maxInFlight <= 2);
        QVERIFY(largest.width() <= 960 && largest.height() <= 540);
        QCOMPARE(largest, QSize(960, 540));

        // Shut down with work queued: stop first, then end the thread.
        for (int i = 0; i < 4; ++i) {
            FrameProcessingWorker::Request r;
            r.frame = grayFrame(1920, 1080);
            r.clip = clip;
            r.applyEffects = true;
            QMetaObject::invokeMethod(worker, "enqueueFrame", Qt::QueuedConnection,
                                      Q_ARG(FrameProcessingWorker::Request, r));
        }
        QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
        thread->quit();
        QVERIFY(thread->wait(30000));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(watched.isNull());
        delete thread;
    }
};

TRIMLET_TEST_MAIN(TestFrameWorker)
#include "tst_frameworker.moc"
