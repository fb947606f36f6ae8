#include "audiowaveform.h"
#include "dropshadow.h"
#include "modernbutton.h"
#include "modernslider.h"
#include "quietstyle.h"

#include <QEnterEvent>
#include <QGraphicsDropShadowEffect>
#include <QPointer>
#include <QtTest>

namespace {

QGraphicsDropShadowEffect *shadowOf(QWidget &widget)
{
    return qobject_cast<QGraphicsDropShadowEffect *>(widget.graphicsEffect());
}

void sendEnter(QWidget &widget)
{
    const QPointF inside(5, 5);
    QEnterEvent enter(inside, inside, widget.mapToGlobal(inside));
    QApplication::sendEvent(&widget, &enter);
}

void sendLeave(QWidget &widget)
{
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&widget, &leave);
}

// Renders only what the widget paints itself, over a known colour.
QImage renderOver(QWidget &widget, const QColor &background)
{
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(background);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

const QRgb kWaveBackground = qRgb(0x1a, 0x1a, 0x1a);
const QRgb kBar = qRgb(106, 155, 209);

class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

class TestStyledControls : public QObject {
    Q_OBJECT
private slots:
    void buttonGlowFollowsHover();
    void buttonPressAndReleaseReturnToStart();
    void quickClicksNeverGrowTheButton_data();
    void quickClicksNeverGrowTheButton();
    void sliderGlowEffect();
    void sliderFocusRing_data();
    void sliderFocusRing();
    void waveformWithoutPeaksShowsNoSound();
    void waveformSettersRepaint();
    void waveformPressAndDragSeek();
    void dropShadowFollowsItsTargetFromOneImage();
    void quietStyleDrawsTheSameIcons();
};

void TestStyledControls::buttonGlowFollowsHover()
{
    ModernButton button(QStringLiteral("Cut"));
    QCOMPARE(button.text(), QStringLiteral("Cut"));
    QCOMPARE(button.minimumHeight(), 45);
    QCOMPARE(button.cursor().shape(), Qt::PointingHandCursor);
    QVERIFY(!button.graphicsEffect());

    sendEnter(button);
    QPointer<QGraphicsDropShadowEffect> first = shadowOf(button);
    QVERIFY(first);
    QCOMPARE(first->blurRadius(), 15.0);
    QCOMPARE(first->color(), QColor(100, 150, 255, 100));
    QCOMPARE(first->offset(), QPointF(0, 0));

    sendLeave(button);
    QVERIFY(!button.graphicsEffect());
    QVERIFY(first.isNull());

    sendEnter(button);
    QPointer<QGraphicsDropShadowEffect> second = shadowOf(button);
    QVERIFY(second);
    QCOMPARE(second->color(), QColor(100, 150, 255, 100));

    // A second enter without a leave replaces the glow rather than stacking one.
    sendEnter(button);
    QVERIFY(second.isNull());
    QVERIFY(shadowOf(button));
}

void TestStyledControls::buttonPressAndReleaseReturnToStart()
{
    QWidget window;
    window.resize(300, 200);
    ModernButton button(QStringLiteral("Play"), &window);
    // Taller than the 45 px minimum, so the 1 px shrink is not clamped.
    const QRect start(20, 30, 120, 50);
    button.setGeometry(start);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTest::mousePress(&button, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(button.geometry(), start.adjusted(1, 1, -1, -1), 5000);
    QTest::mouseRelease(&button, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(button.geometry(), start, 5000);
}

void TestStyledControls::quickClicksNeverGrowTheButton_data()
{
    QTest::addColumn<int>("height");
    QTest::newRow("taller than the minimum") << 50;
    QTest::newRow("at the 45 px minimum") << 45;
}

void TestStyledControls::quickClicksNeverGrowTheButton()
{
    QFETCH(int, height);
    QWidget window;
    window.resize(300, 200);
    ModernButton button(QStringLiteral("Play"), &window);
    const QRect start(20, 30, 120, height);
    button.setGeometry(start);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Releases that come before the press animation ends, as in any quick click.
    for (int i = 0; i < 5; ++i)
        QTest::mouseClick(&button, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(button.geometry(), start, 5000);
    QTest::qWait(300);
    QCOMPARE(button.geometry(), start);
}

void TestStyledControls::sliderGlowEffect()
{
    ModernSlider slider(Qt::Horizontal);
    QCOMPARE(slider.orientation(), Qt::Horizontal);
    QCOMPARE(slider.minimumHeight(), 40);
    QVERIFY(slider.glowEnabled());
    QVERIFY(!slider.graphicsEffect());

    slider.setGlow(true);
    QGraphicsDropShadowEffect *glow = shadowOf(slider);
    QVERIFY(glow);
    QCOMPARE(glow->blurRadius(), 10.0);
    QCOMPARE(glow->color(), QColor(106, 155, 209, 150));
    QCOMPARE(glow->offset(), QPointF(0, 0));

    slider.setGlow(false);
    QVERIFY(!slider.glowEnabled());
    QVERIFY(!slider.graphicsEffect());

    // A press switches the glow back on for good.
    slider.resize(200, 40);
    slider.show();
    QVERIFY(QTest::qWaitForWindowExposed(&slider));
    QTest::mousePress(&slider, Qt::LeftButton, {}, QPoint(100, 20));
    QTest::mouseRelease(&slider, Qt::LeftButton, {}, QPoint(100, 20));
    QVERIFY(slider.glowEnabled());
    QVERIFY(shadowOf(slider));
}

void TestStyledControls::sliderFocusRing_data()
{
    QTest::addColumn<bool>("focused");
    QTest::addColumn<bool>("glow");
    QTest::addColumn<bool>("ringExpected");

    QTest::newRow("focused with glow") << true << true << true;
    QTest::newRow("focused, glow off") << true << false << false;
    QTest::newRow("unfocused with glow") << false << true << false;
}

void TestStyledControls::sliderFocusRing()
{
    QFETCH(bool, focused);
    QFETCH(bool, glow);
    QFETCH(bool, ringExpected);

    QWidget window;
    window.resize(240, 80);
    ModernSlider slider(Qt::Horizontal, &window);
    slider.setGeometry(10, 10, 200, 40);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    if (focused)
        slider.setFocus();
    else
        slider.clearFocus();
    QTRY_COMPARE(slider.hasFocus(), focused);
    slider.setGlow(glow);
    // The drop shadow is not what is under test; keep only the painting of the slider itself.
    slider.setGraphicsEffect(nullptr);

    const QImage image = renderOver(slider, Qt::black);
    // The ring's top and bottom edges run across the middle through the slider's margins
    // (y = 2 and y = 37), where the slider itself paints nothing.
    auto colour = [&image](int x, int y) { return image.pixel(x, y) & 0xffffff; };
    QCOMPARE(colour(100, 6), 0u);
    QCOMPARE(colour(100, 33), 0u);
    for (const int y : {2, 37}) {
        const QRgb ring = colour(100, y);
        if (ringExpected) {
            QVERIFY2(qBlue(ring) > 60 && qBlue(ring) > qGreen(ring) && qGreen(ring) > qRed(ring),
                     qPrintable(QColor(ring).name()));
        } else {
            QCOMPARE(ring, 0u);
        }
    }
}

// Before any peaks are known the strip shows nothing that could pass for sound: the
// background, and the centre line across the track once there is a duration.
void TestStyledControls::waveformWithoutPeaksShowsNoSound()
{
    AudioWaveform waveform;
    // Low enough for the window to fit a 1024x600 screen.
    QCOMPARE(waveform.minimumHeight(), 40);
    waveform.resize(200, 60);
    waveform.setPosition(-1000);
    for (const qint64 duration : {qint64(0), qint64(8000)}) {
        waveform.setDuration(duration);
        const QImage first = renderOver(waveform, Qt::magenta);
        QCOMPARE(renderOver(waveform, Qt::magenta), first);
        for (int y = 0; y < first.height(); ++y) {
            for (int x = 0; x < first.width(); ++x) {
                const QRgb pixel = first.pixel(x, y) & 0xffffff;
                if (pixel != (kWaveBackground & 0xffffff)) {
                    QVERIFY2(duration > 0 && y == 30 && x >= 10 && x <= 190,
                             qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
                    QVERIFY(pixel != (kBar & 0xffffff));
                }
            }
        }
    }
}

// The playhead moves the picture only when it moves a pixel.
void TestStyledControls::waveformSettersRepaint()
{
    AudioWaveform waveform;
    waveform.resize(200, 60);
    waveform.setDuration(18000);
    PaintCounter counter;
    waveform.installEventFilter(&counter);
    waveform.show();
    QVERIFY(QTest::qWaitForWindowExposed(&waveform));
    QTRY_VERIFY(counter.paints > 0);

    counter.paints = 0;
    waveform.setPosition(4200);
    QTRY_VERIFY(counter.paints > 0);
    QCOMPARE(waveform.position(), qint64(4200));

    // 18 s over 180 px: 4200 and 4250 ms fall in the same column.
    QCoreApplication::processEvents();
    counter.paints = 0;
    waveform.setPosition(4250);
    QCoreApplication::processEvents();
    QCOMPARE(counter.paints, 0);
}

// The strip maps x as the timeline does at zoom 1: a 10 px margin each side, clamped.
void TestStyledControls::waveformPressAndDragSeek()
{
    AudioWaveform waveform;
    waveform.resize(820, 60);
    QSignalSpy spy(&waveform, &AudioWaveform::positionClicked);

    // Nothing to seek in before a duration is known.
    QTest::mouseClick(&waveform, Qt::LeftButton, {}, QPoint(400, 30));
    QCOMPARE(spy.count(), 0);

    waveform.setDuration(8000);
    QCOMPARE(waveform.duration(), qint64(8000));
    QTest::mouseClick(&waveform, Qt::RightButton, {}, QPoint(400, 30));
    QCOMPARE(spy.count(), 0);

    QTest::mousePress(&waveform, Qt::LeftButton, {}, QPoint(210, 30));
    QTest::mouseMove(&waveform, QPoint(615, 10));
    QTest::mouseMove(&waveform, QPoint(900, 30));
    QTest::mouseMove(&waveform, QPoint(2, 30));
    QTest::mouseRelease(&waveform, Qt::LeftButton, {}, QPoint(2, 30));
    const QList<qint64> expected{2000, 6050, 8000, 0};
    QCOMPARE(spy.count(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(spy.at(i).at(0).toLongLong(), expected.at(i));
}

void TestStyledControls::dropShadowFollowsItsTargetFromOneImage()
{
    QWidget parent;
    parent.resize(400, 300);
    auto *target = new QWidget(&parent);
    target->setGeometry(50, 40, 200, 100);
    auto *shadow = new DropShadow(target, 20, QPoint(0, 5), QColor(0, 0, 0, 80), 15);
    QCOMPARE(shadow->geometry(), QRect(30, 25, 240, 140));
    // Only the ring the target leaves uncovered (its rounded corners included) is painted.
    QVERIFY(!shadow->mask().contains(QPoint(120, 70)));
    QVERIFY(shadow->mask().contains(QPoint(20 + 3, 15 + 3)));
    QVERIFY(shadow->mask().contains(QPoint(120, 20 + 100 + 8)));

    const QImage &image = shadow->image();
    const qint64 made = image.cacheKey();
    // Dark under the target's middle, clear at the shadow's far corner, soft at the edge.
    QCOMPARE(qAlpha(image.pixel(120, 70)), 80);
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    const int edge = qAlpha(image.pixel(120, 20 + 100 + 8));
    QVERIFY2(edge > 0 && edge < 80, qPrintable(QString::number(edge)));

    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    shadow->repaint();
    target->update();
    QCOMPARE(shadow->image().cacheKey(), made);
    // Painted from its corners, which a new size does not blur again.
    const QImage tile = shadow->cornerTile();
    QVERIFY(!tile.isNull());
    QVERIFY(tile.width() < shadow->width() && tile.height() < shadow->height());

    target->setGeometry(60, 50, 300, 120);
    QCOMPARE(shadow->geometry(), QRect(40, 35, 340, 160));
    shadow->repaint();
    QCOMPARE(shadow->cornerTile().cacheKey(), tile.cacheKey());
    QCOMPARE(shadow->image().size(), QSize(340, 160));
    QCOMPARE(qAlpha(shadow->image().pixel(170, 80)), 80);
    target->hide();
    QVERIFY(!shadow->isVisible());
}

// The extension buttons' icons are read when first drawn; every icon looks as the plain style's.
void TestStyledControls::quietStyleDrawsTheSameIcons()
{
    QuietStyle quiet;
    QProxyStyle plain;
    for (const QStyle::StandardPixmap which :
         {QStyle::SP_ToolBarHorizontalExtensionButton, QStyle::SP_ToolBarVerticalExtensionButton,
          QStyle::SP_DialogOkButton}) {
        const QImage expected = plain.standardIcon(which).pixmap(16, 16).toImage();
        QVERIFY(!expected.isNull());
        const QIcon icon = quiet.standardIcon(which);
        QCOMPARE(icon.pixmap(16, 16).toImage(), expected);
        // A copy (the menu bar's button keeps one) draws the same.
        const QIcon copy = icon;
        QCOMPARE(copy.pixmap(16, 16).toImage(), expected);
    }
}

QTEST_MAIN(TestStyledControls)
#include "tst_styledcontrols.moc"
