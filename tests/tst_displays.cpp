#include "displaygeometry.h"
#include "processedvideodisplay.h"
#include "testmedia.h"
#include "videoglwidget.h"
#include "videoplayer.h"
#include "testmain.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <QVideoWidget>
#include <QtTest>

#include <cstring>
#include <memory>

namespace {

// Collects every log line while alive; the test runner's handler is restored afterwards.
class LogCapture {
public:
    LogCapture()
    {
        s_lines.clear();
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }

    QStringList lines() const { return s_lines; }
    QStringList linesStartingWith(const QString &prefix) const
    {
        QStringList found;
        for (const QString &line : s_lines) {
            if (line.startsWith(prefix))
                found << line;
        }
        return found;
    }
    void clear() { s_lines.clear(); }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        s_lines << message;
    }

    static QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};

QStringList LogCapture::s_lines;

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
                     const QString &rotate = QString())
{
    const QString source = QStringLiteral("color=c=0x%1:s=%2x%3:r=25:d=4,drawbox=x=%4:y=0:w=%4:h=%3:c=0x%5:t=fill")
                               .arg(kOrange.name().mid(1))
                               .arg(size.width())
                               .arg(size.height())
                               .arg(size.width() / 2)
                               .arg(kSteel.name().mid(1));
    const QString tag = matrix == QLatin1String("bt601") ? QStringLiteral("smpte170m") : matrix;
    QStringList args{"-f", "lavfi", "-i", source, "-vf",
                     QStringLiteral("scale=out_color_matrix=%1:out_range=%2,format=yuv420p").arg(matrix, range),
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

void TestDisplays::bothDisplaysShowTheSamePicture_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("matrix");
    QTest::addColumn<QString>("range");
    QTest::addColumn<QString>("rotate");
    QTest::newRow("BT.709 HD") << QSize(1280, 720) << "bt709" << "tv" << QString();
    QTest::newRow("BT.601 SD") << QSize(640, 360) << "bt601" << "tv" << QString();
    QTest::newRow("BT.709 full range") << QSize(1280, 720) << "bt709" << "pc" << QString();
    QTest::newRow("turned 90") << QSize(640, 360) << "bt601" << "tv" << "90";
    QTest::newRow("turned 270") << QSize(640, 360) << "bt601" << "tv" << "270";
}

// The real player path: the plain display (Qt's conversion) and the effects display (the
// worker's conversion) show the same colours the same way round, as ffmpeg made them.
void TestDisplays::bothDisplaysShowTheSamePicture()
{
    QFETCH(QSize, size);
    QFETCH(QString, matrix);
    QFETCH(QString, range);
    QFETCH(QString, rotate);
    QTemporaryDir dir;
    const QString path = dir.filePath("colours.mp4");
    QVERIFY(makeColourVideo(path, size, matrix, range, rotate));

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
    Clip clip;
    clip.originalEnd = 4000;
    clip.endTime = 4000;
    clip.hasEffects = true; // on, but changing nothing
    player.updateClipEffects(clip);

    const int rotation = rotate.toInt();
    player.loadMedia(path);
    QTRY_COMPARE_WITH_TIMEOUT(player.displayRotation(), rotation, 10000);
    player.play();
    QTRY_VERIFY_WITH_TIMEOUT(processed.framesReceived() >= 3, 30000);
    player.pause();
    QTRY_COMPARE_WITH_TIMEOUT(player.pendingRequestCount(), 0, 10000);

    const QSize shown = rotatedSize(size, rotation);
    const QImage plainShot = plain.grabFramebuffer();
    const QImage processedShot = processed.grabFramebuffer();
    QCOMPARE(plain.currentTextureSize(), shown);
    QCOMPARE(processed.currentTextureSize(), FrameProcessingWorker::previewSize(shown));
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

    LogCapture log;
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

    LogCapture log;
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

    std::unique_ptr<QOpenGLWidget> widget;
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

    LogCapture log;
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
    LogCapture log;
    {
        ProcessedVideoDisplay display;
        QVERIFY(log.lines().contains(
            QStringLiteral("ProcessedVideoDisplay: GPU-accelerated rendering enabled (OpenGL)")));
        QCOMPARE(display.minimumSize(), QSize(320, 240));
        QCOMPARE(display.updateBehavior(), QOpenGLWidget::PartialUpdate);
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
