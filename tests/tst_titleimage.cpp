#include "titleimagerenderer.h"

#include <QFontMetrics>
#include <QtTest>

namespace {

Clip titled(const QString &text, bool atTop = true)
{
    Clip c;
    c.originalStart = 0;
    c.originalEnd = 5000;
    c.showTitle = true;
    c.titleText = text;
    c.titleAtTop = atTop;
    return c;
}

} // namespace

class TestTitleImage : public QObject {
    Q_OBJECT
private slots:
    void fontPixelSize_data()
    {
        QTest::addColumn<int>("fontSize");
        QTest::addColumn<int>("pixelSize");
        QTest::newRow("zero gives default") << 0 << 38;
        QTest::newRow("negative gives default") << -4 << 38;
        QTest::newRow("small is raised") << 5 << 16;
        QTest::newRow("large is limited") << 200 << 120;
        QTest::newRow("in range") << 64 << 64;
    }
    void fontPixelSize()
    {
        QFETCH(int, fontSize);
        QFETCH(int, pixelSize);
        Clip c = titled("x");
        c.titleFontSize = fontSize;
        QCOMPARE(TitleImageRenderer().titleFont(c).pixelSize(), pixelSize);
    }

    void wrapping()
    {
        const TitleImageRenderer renderer;
        QFont font = renderer.titleFont(titled("x"));
        const int width = 640;
        const QStringList lines = renderer.wrapLines(
            "the quick brown fox jumps over the lazy dog and keeps running far away\n\nsecond   paragraph",
            font, width);
        QVERIFY(lines.size() >= 3);
        QCOMPARE(lines.last(), QStringLiteral("second paragraph"));
        const QFontMetrics metrics(font);
        for (const QString &line : lines) {
            QVERIFY(!line.isEmpty());
            // Only a single word wider than the limit may exceed it.
            if (line.contains(' '))
                QVERIFY2(metrics.horizontalAdvance(line) <= width * 800 / 960, qPrintable(line));
        }
        QCOMPARE(lines.join(' ').split(' ').size(), 16);
    }

    void boxPlacement_data()
    {
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<bool>("atTop");
        QTest::newRow("1080p top") << QSize(1920, 1080) << true;
        QTest::newRow("1080p centre") << QSize(1920, 1080) << false;
        QTest::newRow("portrait top") << QSize(720, 1280) << true;
        QTest::newRow("odd size centre") << QSize(321, 241) << false;
    }
    void boxPlacement()
    {
        QFETCH(QSize, frame);
        QFETCH(bool, atTop);
        const TitleImageRenderer renderer;
        const Clip clip = titled("Hello", atTop);
        const QRect box = renderer.boxRect(clip, frame);
        QCOMPARE(box.x(), (frame.width() - box.width()) / 2);
        if (atTop)
            QCOMPARE(box.y(), frame.height() * 50 / 540);
        else
            QCOMPARE(box.y(), (frame.height() - box.height()) / 2);
        const QFontMetrics metrics(renderer.titleFont(clip));
        const int padding = frame.width() * 30 / 960;
        QCOMPARE(box.height(), metrics.height() + 2 * padding);
        QCOMPARE(box.width(), metrics.horizontalAdvance("Hello") + 2 * padding);
    }

    // The image is the frame's size: transparent outside the box, the box dark
    // and translucent, the text in its colour with a black outline.
    void renderedImage()
    {
        const QSize frame(1280, 720);
        Clip clip = titled("HHHH", false);
        clip.titleColor = QColor(255, 0, 0);
        clip.titleFontSize = 100;
        const TitleImageRenderer renderer;
        const QImage image = renderer.render(clip, frame);
        QCOMPARE(image.size(), frame);
        QVERIFY(image.hasAlphaChannel());

        const QRect box = renderer.boxRect(clip, frame);
        QCOMPARE(qAlpha(image.pixel(5, 5)), 0);
        QCOMPARE(qAlpha(image.pixel(frame.width() - 5, frame.height() - 5)), 0);
        QCOMPARE(qAlpha(image.pixel(box.left() - 10, box.center().y())), 0);

        // Inside the box, off the text: black at alpha 200.
        const QRgb inside = image.pixel(box.left() + 8, box.top() + 8);
        QCOMPARE(qAlpha(inside), 200);
        QVERIFY(qRed(inside) < 10 && qGreen(inside) < 10 && qBlue(inside) < 10);
        // The white border.
        const QRgb border = image.pixel(box.left(), box.center().y());
        QVERIFY(qRed(border) > 200 && qGreen(border) > 200 && qAlpha(border) > 200);

        int redPixels = 0;
        for (int y = box.top(); y <= box.bottom(); ++y) {
            for (int x = box.left(); x <= box.right(); ++x) {
                const QRgb p = image.pixel(x, y);
                if (qAlpha(p) == 255 && qRed(p) > 200 && qGreen(p) < 60 && qBlue(p) < 60)
                    ++redPixels;
            }
        }
        QVERIFY2(redPixels > 500, qPrintable(QString::number(redPixels)));
    }

    void invalidColourIsWhite()
    {
        Clip clip = titled("IIII", false);
        clip.titleColor = QColor();
        clip.titleFontSize = 120;
        const QImage image = TitleImageRenderer().render(clip, QSize(960, 540));
        int white = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QRgb p = image.pixel(x, y);
                if (qAlpha(p) == 255 && qRed(p) > 240 && qGreen(p) > 240 && qBlue(p) > 240)
                    ++white;
            }
        const QRect box = TitleImageRenderer().boxRect(clip, QSize(960, 540));
        // Far more than the border alone.
        QVERIFY(white > 2 * (box.width() + box.height()) * 6);
    }
};

QTEST_MAIN(TestTitleImage)
#include "tst_titleimage.moc"
