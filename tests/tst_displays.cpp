#include "displaygeometry.h"
#include "frameprocessingworker.h"
#include "messagecapture.h"
#include "processedvideodisplay.h"
#include "testmedia.h"
#include "videoglwidget.h"
#include "videoplayer.h"
#include "testmain.h"

#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWindow>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <QVideoWidget>
#include <QtTest>

#include <cstring>
#include <memory>

namespace {

const QColor kTop(255, 0, 0);
const QColor kBottom(0, 0, 255);

// Top half red, bottom half blue: shows at once whether a picture is upside down.
QImage twoToneImage(const QSize &size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(kBottom);
    QPainter painter(&image);
    painter.fillRect(0, 0, size.width(), size.height() / 2, kTop);
    return image;
}

// ARGB32 is B, G, R, A in memory on little-endian machines.
QVideoFrame videoFrameFrom(const QImage &source)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    QVideoFrame frame(QVideoFrameFormat(image.size(), QVideoFrameFormat::Format_BGRA8888));
    if (!frame.map(QVideoFrame::WriteOnly))
        return QVideoFrame();
    const int rowBytes = image.width() * 4;
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(frame.bits(0) + y * frame.bytesPerLine(0), image.constScanLine(y), size_t(rowBytes));
    frame.unmap();
    return frame;
}

bool colourNear(QRgb actual, const QColor &expected, int tolerance = 40)
{
    return qAbs(qRed(actual) - expected.red()) <= tolerance
        && qAbs(qGreen(actual) - expected.green()) <= tolerance
        && qAbs(qBlue(actual) - expected.blue()) <= tolerance;
}

QByteArray describe(QRgb pixel)
{
    return QStringLiteral("rgb(%1,%2,%3)").arg(qRed(pixel)).arg(qGreen(pixel)).arg(qBlue(pixel)).toLatin1();
}

bool allBlack(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if ((image.pixel(x, y) & 0xffffff) != 0)
                return false;
        }
    }
    return true;
}

const QSize kViewport(320, 240);
// A 2:1 picture in a 320 x 240 viewport sits in the rectangle (0, 40, 320, 160).
const QSize kWide(64, 32);
const QSize kTall(32, 64);

// Orange on the left, steel blue on the right, split at an even column.
const QColor kOrange(255, 72, 0);
const QColor kSteel(64, 160, 200);

// A still two-colour H.264 video whose samples ffmpeg computed with the given matrix and
// range and whose stream says so; turned by rotate when that is not empty.
bool makeColourVideo(const QString &path, const QSize &size, const QString &matrix, const QString &range,
                     const QString &rotate = QString(), const QString &pixelFormat = QStringLiteral("yuv420p"),
                     const QString &sampleAspect = QStringLiteral("1"))
{
    const QString source = QStringLiteral("color=c=0x%1:s=%2x%3:r=25:d=4,drawbox=x=%4:y=0:w=%4:h=%3:c=0x%5:t=fill")
                               .arg(kOrange.name().mid(1))
                               .arg(size.width())
                               .arg(size.height())
                               .arg(size.width() / 2)
                               .arg(kSteel.name().mid(1));
    const QString tag = matrix == QLatin1String("bt601") ? QStringLiteral("smpte170m") : matrix;
    QStringList args{"-f", "lavfi", "-i", source, "-vf",
                     QStringLiteral("scale=out_color_matrix=%1:out_range=%2,format=%3,setsar=%4")
                         .arg(matrix, range, pixelFormat, sampleAspect),
                     "-c:v", "libx264", "-preset", "ultrafast", "-crf", "10", "-colorspace", tag,
                     "-color_primaries", tag, "-color_trc", tag, "-color_range", range};
    if (rotate.isEmpty())
        return TestMedia::runFFmpeg(args << path);
    // An encode drops the tag; a stream copy turns it into a display matrix.
    const QString upright = path + QStringLiteral(".upright.mp4");
    return TestMedia::runFFmpeg(args << upright)
        && TestMedia::runFFmpeg({"-i", upright, "-c", "copy", "-metadata:s:v:0",
                                 QStringLiteral("rotate=%1").arg(rotate), path});
}

// The smallest rectangle holding every pixel that is not black.
QRect pictureBounds(const QImage &shot)
{
    QRect bounds;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            if ((shot.pixel(x, y) & 0xffffff) != 0)
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

// The colour at a fraction of the picture fitted into the viewport.
QRgb pictureColour(const QImage &shot, const QSize &picture, double x, double y)
{
    const QRect target = fitTargetRect(picture, shot.size());
    return shot.pixel(target.left() + int(x * target.width()), target.top() + int(y * target.height()));
}

bool near(QRgb a, QRgb b, int tolerance)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance
        && qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}

// Samples per row in bytes and rows of plane i of a 4:2:0 frame of the format.
QSize planeBytes(QVideoFrameFormat::PixelFormat format, int plane, const QSize &size)
{
    const bool wide = format == QVideoFrameFormat::Format_YUV420P10 || format == QVideoFrameFormat::Format_P010;
    const bool interleaved = format == QVideoFrameFormat::Format_NV12 || format == QVideoFrameFormat::Format_P010;
    const int sampleBytes = wide ? 2 : 1;
    if (plane == 0)
        return QSize(size.width() * sampleBytes, size.height());
    return QSize(size.width() / 2 * sampleBytes * (interleaved ? 2 : 1), size.height() / 2);
}

// An orange picture with a steel-blue bottom-right quarter (or other colours), as ffmpeg computes
// its samples in the pixel format with BT.709 video range, in a frame whose format says so.
QVideoFrame quarterFrame(QVideoFrameFormat::PixelFormat format, const QString &ffmpegFormat, const QSize &size,
                         const QColor &base = kOrange, const QColor &quarter = kSteel)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("frame.raw"));
    const QString source = QStringLiteral("color=c=0x%1:s=%2x%3:d=1,drawbox=x=%4:y=%5:w=%4:h=%5:c=0x%6:t=fill")
                               .arg(base.name().mid(1))
                               .arg(size.width())
                               .arg(size.height())
                               .arg(size.width() / 2)
                               .arg(size.height() / 2)
                               .arg(quarter.name().mid(1));
    if (!TestMedia::runFFmpeg({"-f", "lavfi", "-i", source, "-frames:v", "1", "-vf",
                               "scale=out_color_matrix=bt709:out_range=tv,format=" + ffmpegFormat, "-f", "rawvideo",
                               path}))
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    QVideoFrameFormat frameFormat(size, format);
    frameFormat.setColorSpace(QVideoFrameFormat::ColorSpace_BT709);
    frameFormat.setColorRange(QVideoFrameFormat::ColorRange_Video);
    QVideoFrame frame(frameFormat);
    if (!frame.map(QVideoFrame::WriteOnly))
        return {};
    qsizetype offset = 0;
    for (int p = 0; p < frame.planeCount(); ++p) {
        const QSize plane = planeBytes(format, p, size);
        if (frame.bytesPerLine(p) < plane.width())
            return {};
        for (int y = 0; y < plane.height(); ++y, offset += plane.width()) {
            if (offset + plane.width() > bytes.size())
                return {};
            std::memcpy(frame.bits(p) + y * frame.bytesPerLine(p), bytes.constData() + offset, size_t(plane.width()));
        }
    }
    frame.unmap();
    return offset == bytes.size() ? frame : QVideoFrame();
}

// Displays made while it lives copy frames in their paint, as they do without a second context.
class GuiThreadUploads {
public:
    explicit GuiThreadUploads(bool on)
        : m_on(on)
    {
        if (m_on)
            qputenv("TRIMLET_UPLOAD_ON_GUI_THREAD", "1");
    }
    ~GuiThreadUploads()
    {
        if (m_on)
            qunsetenv("TRIMLET_UPLOAD_ON_GUI_THREAD");
    }

private:
    const bool m_on;
};

} // namespace

#define VERIFY_COLOUR(image, x, y, colour)                                                         \
    QVERIFY2(colourNear((image).pixel((x), (y)), (colour)), describe((image).pixel((x), (y))).constData())

class TestDisplays : public QObject {
    Q_OBJECT
private slots:
    void fitTargetRect_data();
    void fitTargetRect();

    void processedDisplayShowsImageUpright();
    void videoWidgetShowsFrameUpright();
    void videoWidgetTurnsMarkedFrames_data();
    void videoWidgetTurnsMarkedFrames();
    void videoWidgetDrawsYuvPlanes_data();
    void videoWidgetDrawsYuvPlanes();
    void videoWidgetShowsTheNewestFrame_data();
    void videoWidgetShowsTheNewestFrame();
    void clicksGoThroughToTheWidget();
    void bothDisplaysShowTheSamePicture_data();
    void bothDisplaysShowTheSamePicture();
    void repaintWithoutFrameIsBlack();
    void processedPoolReusesTexturesPerSize();
    void videoWidgetPoolReusesTexturesPerSize();
    void nullImagesAreIgnored();
    void clearedDisplayStretchesLastPicture_data();
    void clearedDisplayStretchesLastPicture();
    void frameCountersAndPreviewRateLines();
    void lifecycleLines();
};

void TestDisplays::fitTargetRect_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QSize>("viewport");
    QTest::addColumn<QRect>("expected");

    QTest::newRow("wider frame letterboxed") << QSize(1920, 800) << QSize(1280, 720) << QRect(0, 93, 1280, 533);
    QTest::newRow("equal aspect fills") << QSize(640, 360) << QSize(1280, 720) << QRect(0, 0, 1280, 720);
    QTest::newRow("taller frame pillarboxed") << QSize(480, 640) << QSize(1280, 720) << QRect(370, 0, 540, 720);
    QTest::newRow("odd margin rounds down") << QSize(100, 100) << QSize(301, 200) << QRect(50, 0, 200, 200);
    QTest::newRow("small frame scaled up") << QSize(16, 9) << QSize(320, 240) << QRect(0, 30, 320, 180);
    QTest::newRow("no frame") << QSize() << QSize(800, 600) << QRect(0, 0, 800, 600);
    QTest::newRow("zero-size frame") << QSize(0, 0) << QSize(800, 600) << QRect(0, 0, 800, 600);
}

void TestDisplays::fitTargetRect()
{
    QFETCH(QSize, frame);
    QFETCH(QSize, viewport);
    QFETCH(QRect, expected);
    QCOMPARE(::fitTargetRect(frame, viewport), expected);
}

void TestDisplays::processedDisplayShowsImageUpright()
{
    ProcessedVideoDisplay display;
    display.resize(kViewport);
    display.show();
    QVERIFY(QTest::qWaitForWindowExposed(&display));

    display.setProcessedFrame(twoToneImage(kWide));
    const QImage shot = display.grabFramebuffer();
    QCOMPARE(shot.size(), kViewport);
    VERIFY_COLOUR(shot, 160, 60, kTop);
    VERIFY_COLOUR(shot, 160, 180, kBottom);
    VERIFY_COLOUR(shot, 160, 10, Qt::black);
    VERIFY_COLOUR(shot, 160, 230, Qt::black);
    QCOMPARE(display.currentTextureSize(), kWide);
    QVERIFY(display.framesRendered() >= 1);
}

void TestDisplays::videoWidgetShowsFrameUpright()
{
    VideoGLWidget widget;
    widget.resize(kViewport);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));

    const QVideoFrame frame = videoFrameFrom(twoToneImage(kWide));
    QVERIFY(frame.isValid());
    widget.setVideoFrame(frame);
    const QImage shot = widget.grabFramebuffer();
    QCOMPARE(shot.size(), kViewport);
    VERIFY_COLOUR(shot, 160, 60, kTop);
    VERIFY_COLOUR(shot, 160, 180, kBottom);
    VERIFY_COLOUR(shot, 160, 10, Qt::black);
    VERIFY_COLOUR(shot, 160, 230, Qt::black);
    QCOMPARE(widget.currentTextureSize(), kWide);
}

void TestDisplays::videoWidgetTurnsMarkedFrames_data()
{
    QTest::addColumn<int>("angle");
    QTest::addColumn<QSize>("shown");
    // Where the top (red) half of the picture ends up, in viewport points, and where the
    // bottom (blue) half does; then a point of the bars beside or above the picture.
    QTest::addColumn<QPoint>("topAt");
    QTest::addColumn<QPoint>("bottomAt");
    QTest::addColumn<QPoint>("barAt");
    // Turned a quarter, the 32 x 64 picture is pillarboxed into (100, 0, 120, 240).
    QTest::newRow("clockwise 90: top to the right") << 90 << kTall << QPoint(190, 120) << QPoint(130, 120)
                                                    << QPoint(50, 120);
    QTest::newRow("180: top to the bottom") << 180 << kWide << QPoint(160, 180) << QPoint(160, 60)
                                            << QPoint(160, 10);
    QTest::newRow("clockwise 270: top to the left") << 270 << kTall << QPoint(130, 120) << QPoint(190, 120)
                                                    << QPoint(270, 120);
}

void TestDisplays::videoWidgetTurnsMarkedFrames()
{
    QFETCH(int, angle);
    QFETCH(QSize, shown);
    QFETCH(QPoint, topAt);
    QFETCH(QPoint, bottomAt);
    QFETCH(QPoint, barAt);
    VideoGLWidget widget;
    widget.resize(kViewport);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));

    QVideoFrame frame = videoFrameFrom(twoToneImage(kWide));
    frame.setRotationAngle(QVideoFrame::RotationAngle(angle));
    widget.setVideoFrame(frame);
    const QImage shot = widget.grabFramebuffer();
    QCOMPARE(widget.currentTextureSize(), shown);
    VERIFY_COLOUR(shot, topAt.x(), topAt.y(), kTop);
    VERIFY_COLOUR(shot, bottomAt.x(), bottomAt.y(), kBottom);
    VERIFY_COLOUR(shot, barAt.x(), barAt.y(), Qt::black);
}

void TestDisplays::videoWidgetDrawsYuvPlanes_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("ffmpegFormat");
    QTest::addColumn<int>("angle");
    QTest::addColumn<bool>("mirrored");
    // Where the steel quarter shows, as a fraction of the picture; the rest is orange.
    QTest::addColumn<QPointF>("steelAt");
    QTest::addColumn<bool>("onGuiThread");
    const int yuv420p = QVideoFrameFormat::Format_YUV420P;
    const int nv12 = QVideoFrameFormat::Format_NV12;
    const int p010 = QVideoFrameFormat::Format_P010;
    QTest::newRow("YUV420P") << yuv420p << "yuv420p" << 0 << false << QPointF(0.75, 0.75) << false;
    QTest::newRow("NV12") << nv12 << "nv12" << 0 << false << QPointF(0.75, 0.75) << false;
    QTest::newRow("P010") << p010 << "p010le" << 0 << false << QPointF(0.75, 0.75) << false;
    QTest::newRow("YUV420P turned 90") << yuv420p << "yuv420p" << 90 << false << QPointF(0.25, 0.75) << false;
    QTest::newRow("NV12 turned 270") << nv12 << "nv12" << 270 << false << QPointF(0.75, 0.25) << false;
    QTest::newRow("YUV420P mirrored") << yuv420p << "yuv420p" << 0 << true << QPointF(0.25, 0.75) << false;
    QTest::newRow("P010 turned 90, mirrored") << p010 << "p010le" << 90 << true << QPointF(0.75, 0.75) << false;
    // Without a second context the planes are copied in the paint, as they were before.
    QTest::newRow("YUV420P, copied in the paint") << yuv420p << "yuv420p" << 0 << false << QPointF(0.75, 0.75) << true;
    QTest::newRow("NV12 turned 270, copied in the paint") << nv12 << "nv12" << 270 << false << QPointF(0.75, 0.25)
                                                            << true;
    QTest::newRow("P010, copied in the paint") << p010 << "p010le" << 0 << false << QPointF(0.75, 0.75) << true;
}

// Frames made in memory (10-bit planar comes from a decoder only: see below). The planes go
// to the GPU as they are; the shader's colours are ffmpeg's within a few levels
// and the effects preview's conversion's within a few more, the right way round.
void TestDisplays::videoWidgetDrawsYuvPlanes()
{
    QFETCH(int, format);
    QFETCH(QString, ffmpegFormat);
    QFETCH(int, angle);
    QFETCH(bool, mirrored);
    QFETCH(QPointF, steelAt);
    QFETCH(bool, onGuiThread);
    const GuiThreadUploads uploads(onGuiThread);
    // Rows of 1000 bytes leave the planes padded in memory.
    const QSize size(1000, 562);
    QVideoFrame frame = quarterFrame(QVideoFrameFormat::PixelFormat(format), ffmpegFormat, size);
    QVERIFY(frame.isValid());
    frame.setRotationAngle(QVideoFrame::RotationAngle(angle));
    frame.setMirrored(mirrored);

    VideoGLWidget widget;
    widget.resize(kViewport);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    MessageCapture log;
    widget.setVideoFrame(frame);
    const QImage shot = widget.grabFramebuffer();
    const QSize shown = rotatedSize(size, angle);
    QCOMPARE(widget.currentTextureSize(), shown);
    const QImage cpu = mirrored ? QImage() : FrameProcessingWorker::convertWhole(frame);
    for (const QPointF &at : {QPointF(0.25, 0.25), QPointF(0.75, 0.25), QPointF(0.25, 0.75), QPointF(0.75, 0.75)}) {
        const QColor expected = at == steelAt ? kSteel : kOrange;
        const QRgb seen = pictureColour(shot, shown, at.x(), at.y());
        QByteArray what = describe(seen) + " at " + QByteArray::number(at.x()) + "," + QByteArray::number(at.y());
        QVERIFY2(colourNear(seen, expected, 3), what.constData());
        if (!cpu.isNull()) {
            const QRgb fromCpu = cpu.pixel(int(at.x() * cpu.width()), int(at.y() * cpu.height()));
            what += " vs " + describe(fromCpu) + " on the CPU";
            QVERIFY2(near(seen, fromCpu, 3), what.constData());
        }
    }
    // Straight from the planes, not through the CPU conversion.
    const QStringList paths = log.linesStartingWith(QStringLiteral("VideoGLWidget: Showing"));
    QCOMPARE(paths.size(), 1);
    QVERIFY2(paths.constFirst().endsWith(QLatin1String("from their planes")), qPrintable(paths.constFirst()));
    QCOMPARE(widget.texturePoolSize(), 1);
}

void TestDisplays::videoWidgetShowsTheNewestFrame_data()
{
    QTest::addColumn<bool>("onGuiThread");
    QTest::newRow("planes copied on a thread of their own") << false;
    QTest::newRow("planes copied in the paint") << true;
}

// Frames come faster than the display paints, in two sizes and both paths: each paint shows the
// newest frame given, never one it replaced, and a frame converted on the CPU in between counts.
void TestDisplays::videoWidgetShowsTheNewestFrame()
{
    QFETCH(bool, onGuiThread);
    const GuiThreadUploads uploads(onGuiThread);
    const QSize size(320, 180);
    const QSize other(160, 120);
    const auto yuv420p = QVideoFrameFormat::Format_YUV420P;
    const QVideoFrame orange = quarterFrame(yuv420p, "yuv420p", size);
    const QVideoFrame steel = quarterFrame(yuv420p, "yuv420p", size, kSteel, kOrange);
    const QVideoFrame small = quarterFrame(QVideoFrameFormat::Format_NV12, "nv12", other, kSteel, kOrange);
    const QVideoFrame converted = videoFrameFrom(twoToneImage(kWide));
    for (const QVideoFrame &frame : {orange, steel, small, converted})
        QVERIFY(frame.isValid());

    VideoGLWidget widget;
    widget.resize(kViewport);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    // The picture's main colour tells which frame is shown.
    const auto shows = [&widget](const QColor &base, const QSize &picture) {
        const QImage shot = widget.grabFramebuffer();
        const QRgb seen = pictureColour(shot, picture, 0.25, 0.25);
        return widget.currentTextureSize() == picture && colourNear(seen, base, 6);
    };

    widget.setVideoFrame(orange);
    QVERIFY(shows(kOrange, size));
    widget.setVideoFrame(steel);
    widget.setVideoFrame(orange);
    widget.setVideoFrame(steel);
    QVERIFY(shows(kSteel, size));
    for (int i = 0; i < 5; ++i) {
        const bool even = i % 2 == 0;
        widget.setVideoFrame(even ? orange : steel);
        QVERIFY2(shows(even ? kOrange : kSteel, size), qPrintable(QStringLiteral("frame %1").arg(i)));
    }
    widget.setVideoFrame(small);
    QVERIFY(shows(kSteel, other));
    widget.setVideoFrame(orange);
    QVERIFY(shows(kOrange, size));

    widget.setVideoFrame(steel);
    widget.setVideoFrame(converted);
    // Painted twice: the frame replaced must not come back.
    for (int paint = 0; paint < 2; ++paint) {
        const QImage shot = widget.grabFramebuffer();
        QCOMPARE(widget.currentTextureSize(), kWide);
        VERIFY_COLOUR(shot, 160, 60, kTop);
        VERIFY_COLOUR(shot, 160, 180, kBottom);
    }
    widget.setVideoFrame(converted);
    widget.setVideoFrame(steel);
    QVERIFY(shows(kSteel, size));
}

// The picture has a native window of its own; the window's handlers (a click on the empty
// video area, focus, drops) watch the widget, which must still get the real pointer's events.
void TestDisplays::clicksGoThroughToTheWidget()
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("xdotool is not installed (scripts/setup-deps installs it)");
    VideoGLWidget widget;
    widget.resize(kViewport);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    QTRY_VERIFY(widget.surface()->isExposed());
    int pressed = 0;
    struct Counter : QObject {
        int *count;
        explicit Counter(int *count)
            : count(count)
        {
        }
        bool eventFilter(QObject *, QEvent *event) override
        {
            *count += event->type() == QEvent::MouseButtonPress;
            return false;
        }
    } counter(&pressed);
    widget.installEventFilter(&counter);
    const QPoint centre = widget.mapToGlobal(widget.rect().center());
    QProcess::execute(QStringLiteral("xdotool"), {"mousemove", "--sync", QString::number(centre.x()),
                                                  QString::number(centre.y()), "click", "1"});
    QTRY_VERIFY(pressed >= 1);
}

void TestDisplays::bothDisplaysShowTheSamePicture_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("matrix");
    QTest::addColumn<QString>("range");
    QTest::addColumn<QString>("rotate");
    QTest::addColumn<QString>("pixelFormat");
    QTest::addColumn<QString>("sampleAspect");
    QTest::addColumn<QSize>("shape"); // as shown: turned, pixels stretched
    QTest::newRow("BT.709 HD") << QSize(1280, 720) << "bt709" << "tv" << QString() << "yuv420p" << "1"
                               << QSize(1280, 720);
    // Qt 6.4 allocates YUV420P10 frames of its own with 8-bit rows: only a decoder makes them.
    QTest::newRow("BT.709 HD 10-bit") << QSize(1280, 720) << "bt709" << "tv" << QString() << "yuv420p10le" << "1"
                                      << QSize(1280, 720);
    QTest::newRow("BT.601 SD") << QSize(640, 360) << "bt601" << "tv" << QString() << "yuv420p" << "1"
                               << QSize(640, 360);
    QTest::newRow("BT.709 full range") << QSize(1280, 720) << "bt709" << "pc" << QString() << "yuv420p" << "1"
                                       << QSize(1280, 720);
    QTest::newRow("turned 90") << QSize(640, 360) << "bt601" << "tv" << "90" << "yuv420p" << "1" << QSize(360, 640);
    QTest::newRow("turned 270") << QSize(640, 360) << "bt601" << "tv" << "270" << "yuv420p" << "1"
                                << QSize(360, 640);
    // Stored 3:4, shown 4:3, as players and the export show it.
    QTest::newRow("wide pixels") << QSize(360, 480) << "bt601" << "tv" << QString() << "yuv420p" << "16/9"
                                 << QSize(640, 480);
    QTest::newRow("wide pixels turned 90") << QSize(360, 480) << "bt601" << "tv" << "90" << "yuv420p" << "16/9"
                                           << QSize(480, 640);
}

// The real player path: the plain display (the shader's conversion) and the effects display (the
// worker's conversion) show the same colours the same way round, as ffmpeg made them.
void TestDisplays::bothDisplaysShowTheSamePicture()
{
    QFETCH(QSize, size);
    QFETCH(QString, matrix);
    QFETCH(QString, range);
    QFETCH(QString, rotate);
    QFETCH(QString, pixelFormat);
    QFETCH(QString, sampleAspect);
    QFETCH(QSize, shape);
    QTemporaryDir dir;
    const QString path = dir.filePath("colours.mp4");
    QVERIFY(makeColourVideo(path, size, matrix, range, rotate, pixelFormat, sampleAspect));
    MessageCapture log;

    QVideoWidget hiddenOutput;
    VideoGLWidget plain;
    ProcessedVideoDisplay processed;
    for (QWidget *widget : {static_cast<QWidget *>(&plain), static_cast<QWidget *>(&processed)}) {
        widget->resize(kViewport);
        widget->show();
        QVERIFY(QTest::qWaitForWindowExposed(widget));
    }
    VideoPlayer player;
    player.setVideoOutput(&hiddenOutput);
    connect(&player, &VideoPlayer::frameReady, &plain, &VideoGLWidget::setVideoFrame);
    connect(&player, &VideoPlayer::frameProcessed, &processed, &ProcessedVideoDisplay::setProcessedFrame);
    connect(&player, &VideoPlayer::pixelAspectChanged, &plain, &VideoGLWidget::setPixelAspect);
    connect(&player, &VideoPlayer::pixelAspectChanged, &processed, &ProcessedVideoDisplay::setPixelAspect);
    Clip clip;
    clip.originalEnd = 4000;
    clip.endTime = 4000;
    clip.hasEffects = true; // on, but changing nothing
    player.updateClipEffects(clip);

    const int rotation = rotate.toInt();
    player.loadMedia(path);
    QTRY_COMPARE_WITH_TIMEOUT(player.displayRotation(), rotation, 10000);
    const QSize turned = rotatedSize(size, rotation);
    const double pixelAspect = double(shape.width()) / shape.height() * turned.height() / turned.width();
    QTRY_VERIFY_WITH_TIMEOUT(qAbs(player.shownPixelAspect() - pixelAspect) < 1e-9, 10000);
    player.play();
    // Once seen waiting out its time on a loaded machine: what the player had done is kept.
    const auto playerState = [&] {
        QStringList tail = log.lines();
        tail = tail.mid(qMax(0, int(tail.size()) - 12));
        return QStringLiteral("frames from the back end %1, playing %2, requests in flight %3; last lines: %4")
            .arg(player.framesReceived())
            .arg(player.isPlaying())
            .arg(player.pendingRequestCount())
            .arg(tail.join(QStringLiteral(" | ")));
    };
    QTRY_VERIFY2_WITH_TIMEOUT(processed.framesReceived() >= 3, qPrintable(playerState()), 30000);
    player.pause();
    QTRY_COMPARE_WITH_TIMEOUT(player.pendingRequestCount(), 0, 10000);

    const QImage plainShot = plain.grabFramebuffer();
    const QImage processedShot = processed.grabFramebuffer();
    QCOMPARE(plain.currentTextureSize(), turned);
    QCOMPARE(processed.currentTextureSize(), FrameProcessingWorker::previewSize(turned));
    // Both fill the shape's rectangle in the viewport, to a pixel of filtering at its edges.
    const QRect expected = ::fitTargetRect(shape, kViewport);
    for (const QImage &shot : {plainShot, processedShot}) {
        const QRect bounds = pictureBounds(shot);
        const QByteArray seen = QStringLiteral("picture at (%1, %2) %3 x %4")
                                    .arg(bounds.x()).arg(bounds.y()).arg(bounds.width()).arg(bounds.height()).toUtf8();
        QVERIFY2(qAbs(bounds.left() - expected.left()) <= 1 && qAbs(bounds.right() - expected.right()) <= 1
                     && qAbs(bounds.top() - expected.top()) <= 1 && qAbs(bounds.bottom() - expected.bottom()) <= 1,
                 seen.constData());
    }
    const QSize shown = shape;
    // ffmpeg turns the display matrix's angle counter-clockwise: the left half goes down
    // for 90, up for 270.
    const QPointF orange = rotation == 90 ? QPointF(0.5, 0.75)
        : rotation == 270                 ? QPointF(0.5, 0.25)
                                          : QPointF(0.25, 0.5);
    const QPointF steel = rotation == 90 ? QPointF(0.5, 0.25)
        : rotation == 270                ? QPointF(0.5, 0.75)
                                         : QPointF(0.75, 0.5);
    for (const auto &[where, colour] : {std::pair{orange, kOrange}, std::pair{steel, kSteel}}) {
        const QRgb fromQt = pictureColour(plainShot, shown, where.x(), where.y());
        const QRgb fromWorker = pictureColour(processedShot, shown, where.x(), where.y());
        const QByteArray seen = describe(fromQt) + " plain, " + describe(fromWorker) + " processed";
        QVERIFY2(near(fromQt, fromWorker, 4), seen.constData());
        QVERIFY2(colourNear(fromWorker, colour, 4), seen.constData());
    }
    const QString decoded = pixelFormat == QLatin1String("yuv420p") ? "YUV420P" : "YUV420P10";
    QVERIFY(log.lines().contains(QStringLiteral("VideoGLWidget: Showing %1 frames from their planes").arg(decoded)));
}

void TestDisplays::repaintWithoutFrameIsBlack()
{
    ProcessedVideoDisplay display;
    display.resize(kViewport);
    display.show();
    VideoGLWidget widget;
    widget.resize(kViewport);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&display));
    QVERIFY(QTest::qWaitForWindowExposed(&widget));

    QVERIFY(allBlack(display.grabFramebuffer()));
    QVERIFY(allBlack(widget.grabFramebuffer()));
    QCOMPARE(display.framesRendered(), 0);
    QCOMPARE(display.texturePoolSize(), 0);
    QCOMPARE(widget.texturePoolSize(), 0);
}

void TestDisplays::processedPoolReusesTexturesPerSize()
{
    ProcessedVideoDisplay display;
    display.resize(kViewport);
    display.show();
    QVERIFY(QTest::qWaitForWindowExposed(&display));

    MessageCapture log;
    const QList<QSize> sizes{kWide, kWide, kTall, kWide};
    for (const QSize &size : sizes) {
        display.setProcessedFrame(twoToneImage(size));
        display.grabFramebuffer();
        QCOMPARE(display.currentTextureSize(), size);
    }
    QCOMPARE(display.texturePoolSize(), 2);

    const QString prefix = QStringLiteral("ProcessedVideoDisplay: ");
    QStringList poolLines;
    for (const QString &line : log.linesStartingWith(prefix)) {
        if (line.contains(QLatin1String("pooled texture")))
            poolLines << line;
    }
    // The repeated size keeps the current texture and touches the pool not at all.
    const QStringList expected{
        QStringLiteral("ProcessedVideoDisplay: Created pooled texture 64x32 (pool size: 1)"),
        QStringLiteral("ProcessedVideoDisplay: Created pooled texture 32x64 (pool size: 2)"),
        QStringLiteral("ProcessedVideoDisplay: Reusing pooled texture 64x32"),
    };
    QCOMPARE(poolLines, expected);

    // The reused texture holds the new picture, not a stale one.
    display.setProcessedFrame(twoToneImage(kTall).mirrored(false, true));
    const QImage shot = display.grabFramebuffer();
    VERIFY_COLOUR(shot, 160, 10, kBottom);
    VERIFY_COLOUR(shot, 160, 230, kTop);
    QCOMPARE(display.texturePoolSize(), 2);
}

void TestDisplays::videoWidgetPoolReusesTexturesPerSize()
{
    VideoGLWidget widget;
    widget.resize(kViewport);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));

    MessageCapture log;
    const QList<QSize> sizes{kWide, kTall, kWide, kTall};
    for (const QSize &size : sizes) {
        widget.setVideoFrame(videoFrameFrom(twoToneImage(size)));
        widget.grabFramebuffer();
        QCOMPARE(widget.currentTextureSize(), size);
    }
    QCOMPARE(widget.texturePoolSize(), 2);
    const QStringList expected{
        QStringLiteral("VideoGLWidget: Created pooled texture 64x32 (pool size: 1)"),
        QStringLiteral("VideoGLWidget: Created pooled texture 32x64 (pool size: 2)"),
    };
    QCOMPARE(log.linesStartingWith(QStringLiteral("VideoGLWidget: Created pooled texture")), expected);
}

void TestDisplays::nullImagesAreIgnored()
{
    ProcessedVideoDisplay display;
    display.resize(kViewport);
    display.show();
    QVERIFY(QTest::qWaitForWindowExposed(&display));

    display.setProcessedFrame(twoToneImage(kWide));
    display.grabFramebuffer();
    QCOMPARE(display.framesReceived(), 1);

    display.setProcessedFrame(QImage());
    QCOMPARE(display.framesReceived(), 1);
    // The letterboxed picture stays as it was.
    const QImage shot = display.grabFramebuffer();
    VERIFY_COLOUR(shot, 160, 60, kTop);
    VERIFY_COLOUR(shot, 160, 180, kBottom);
    VERIFY_COLOUR(shot, 160, 10, Qt::black);
}

void TestDisplays::clearedDisplayStretchesLastPicture_data()
{
    QTest::addColumn<QString>("widgetKind");
    QTest::addColumn<QString>("howCleared");

    QTest::newRow("processed, clearDisplay") << QStringLiteral("processed") << QStringLiteral("clear");
    QTest::newRow("raw, clear") << QStringLiteral("raw") << QStringLiteral("clear");
    QTest::newRow("raw, invalid frame") << QStringLiteral("raw") << QStringLiteral("invalid frame");
}

void TestDisplays::clearedDisplayStretchesLastPicture()
{
    QFETCH(QString, widgetKind);
    QFETCH(QString, howCleared);

    std::unique_ptr<GLSurfaceWidget> widget;
    ProcessedVideoDisplay *processed = nullptr;
    VideoGLWidget *raw = nullptr;
    if (widgetKind == QLatin1String("processed"))
        widget.reset(processed = new ProcessedVideoDisplay);
    else
        widget.reset(raw = new VideoGLWidget);
    widget->resize(kViewport);
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));

    if (processed)
        processed->setProcessedFrame(twoToneImage(kWide));
    else
        raw->setVideoFrame(videoFrameFrom(twoToneImage(kWide)));
    QImage shot = widget->grabFramebuffer();
    VERIFY_COLOUR(shot, 160, 10, Qt::black);

    if (processed)
        processed->clearDisplay();
    else if (howCleared == QLatin1String("clear"))
        raw->clear();
    else
        raw->setVideoFrame(QVideoFrame());

    shot = widget->grabFramebuffer();
    VERIFY_COLOUR(shot, 160, 10, kTop);
    VERIFY_COLOUR(shot, 160, 100, kTop);
    VERIFY_COLOUR(shot, 160, 140, kBottom);
    VERIFY_COLOUR(shot, 160, 230, kBottom);
    VERIFY_COLOUR(shot, 20, 20, kTop);
    VERIFY_COLOUR(shot, 300, 220, kBottom);

    // The next real frame is fitted again.
    if (processed)
        processed->setProcessedFrame(twoToneImage(kWide));
    else
        raw->setVideoFrame(videoFrameFrom(twoToneImage(kWide)));
    shot = widget->grabFramebuffer();
    VERIFY_COLOUR(shot, 160, 10, Qt::black);
    VERIFY_COLOUR(shot, 160, 60, kTop);
}

void TestDisplays::frameCountersAndPreviewRateLines()
{
    // No window needed: the setter only stores the image and asks for a repaint.
    ProcessedVideoDisplay display;
    const QImage image = twoToneImage(QSize(8, 4));
    const QString fpsPrefix = QStringLiteral("ProcessedVideoDisplay (GPU): Preview FPS:");

    MessageCapture log;
    for (int i = 1; i <= 120; ++i)
        display.setProcessedFrame(image);
    QVERIFY(log.linesStartingWith(fpsPrefix).isEmpty());
    // Make sure the clock has moved on since the reference time was taken.
    QTest::qWait(20);
    for (int i = 121; i <= 239; ++i)
        display.setProcessedFrame(image);
    QVERIFY(log.linesStartingWith(fpsPrefix).isEmpty());
    display.setProcessedFrame(image);
    QCOMPARE(log.linesStartingWith(fpsPrefix).size(), 1);
    QCOMPARE(display.framesReceived(), 240);

    const QStringList received{
        QStringLiteral("ProcessedVideoDisplay (GPU): Frames received: 60"),
        QStringLiteral("ProcessedVideoDisplay (GPU): Frames received: 120"),
        QStringLiteral("ProcessedVideoDisplay (GPU): Frames received: 180"),
        QStringLiteral("ProcessedVideoDisplay (GPU): Frames received: 240"),
    };
    QCOMPARE(log.linesStartingWith(QStringLiteral("ProcessedVideoDisplay (GPU): Frames received:")), received);

    // The size is reported once, and again after a clear forgets it.
    const QString sizePrefix = QStringLiteral("ProcessedVideoDisplay (GPU): Frame size:");
    QCOMPARE(log.linesStartingWith(sizePrefix).size(), 1);
    QVERIFY(log.linesStartingWith(sizePrefix).constFirst().contains(QLatin1String("8, 4")));
    display.clearDisplay();
    display.setProcessedFrame(image);
    QCOMPARE(log.linesStartingWith(sizePrefix).size(), 2);
}

void TestDisplays::lifecycleLines()
{
    MessageCapture log;
    {
        ProcessedVideoDisplay display;
        QVERIFY(log.lines().contains(
            QStringLiteral("ProcessedVideoDisplay: GPU-accelerated rendering enabled (OpenGL)")));
        QCOMPARE(display.minimumSize(), QSize(320, 240));
        display.resize(kViewport);
        display.show();
        QVERIFY(QTest::qWaitForWindowExposed(&display));
        display.grabFramebuffer();

        const QStringList lines = log.lines();
        const int initialized = lines.indexOf(QStringLiteral("ProcessedVideoDisplay: OpenGL initialized"));
        QVERIFY(initialized >= 0);
        QVERIFY(lines.size() >= initialized + 4);
        QVERIFY(lines.at(initialized + 1).startsWith(QLatin1String("  OpenGL version: ")));
        QVERIFY(lines.at(initialized + 2).startsWith(QLatin1String("  GPU vendor: ")));
        QVERIFY(lines.at(initialized + 3).startsWith(QLatin1String("  GPU renderer: ")));

        display.setProcessedFrame(twoToneImage(kWide));
        display.grabFramebuffer();
        display.setProcessedFrame(twoToneImage(kTall));
        display.grabFramebuffer();
    }
    QCOMPARE(log.lines().count(QStringLiteral("ProcessedVideoDisplay: Texture pool cleaned up")), 1);

    log.clear();
    {
        VideoGLWidget widget;
        QVERIFY(widget.testAttribute(Qt::WA_OpaquePaintEvent));
        QVERIFY(widget.testAttribute(Qt::WA_NoSystemBackground));
        QCOMPARE(widget.format().profile(), QSurfaceFormat::CompatibilityProfile);
        QCOMPARE(widget.format().swapInterval(), 1);
        widget.resize(kViewport);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        widget.setVideoFrame(videoFrameFrom(twoToneImage(kWide)));
        widget.grabFramebuffer();
        QVERIFY(log.lines().contains(
            QStringLiteral("VideoGLWidget: OpenGL initialized for GPU-accelerated raw video display")));
    }
    QCOMPARE(log.lines().count(QStringLiteral("VideoGLWidget: Texture pool cleaned up")), 1);
}

TRIMLET_TEST_MAIN(TestDisplays)
#include "tst_displays.moc"
