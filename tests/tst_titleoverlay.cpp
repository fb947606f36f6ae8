#include "clip.h"
#include "testmain.h"
#include "titleoverlay.h"
#include "titleoverlaylayout.h"

#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QtTest>

#include <limits>

// The floating title: wrapping, box geometry, font and duration rules, and the window itself.
class TestTitleOverlay : public QObject {
    Q_OBJECT
private:
    QFont font;

    int advance(const QString &text) const { return QFontMetrics(font).horizontalAdvance(text); }
    static Clip titled(const QString &text, bool atTop = true)
    {
        Clip clip;
        clip.titleText = text;
        clip.showTitle = true;
        clip.titleAtTop = atTop;
        return clip;
    }
    QStringList wrapLines(const QString &text, int maxWidth) const
    {
        return wrapTitleText(text, maxWidth, font).split(QLatin1Char('\n'));
    }

private slots:
    void initTestCase()
    {
        font = QFont(QStringLiteral("DejaVu Sans"));
        font.setBold(true);
        font.setPixelSize(38);
    }

    void wrapsParagraphsAndWords_data()
    {
        QTest::addColumn<QString>("text");
        // The width is the advance of this sample; empty means room for everything.
        QTest::addColumn<QString>("widthOf");
        QTest::addColumn<QString>("expected");
        QTest::newRow("one line break becomes a blank line") << "Hello\nWorld" << "" << "Hello\n\nWorld";
        QTest::newRow("a run of breaks is one break") << "A\r\n\r\n\nB" << "" << "A\n\nB";
        QTest::newRow("blank paragraphs collapse") << "A\n   \nB" << "" << "A\n\nB";
        QTest::newRow("leading and trailing breaks dropped") << "\n\nHello\n" << "" << "Hello";
        QTest::newRow("runs of spaces become one") << "  one    two\tthree " << "" << "one two three";
        QTest::newRow("greedy fill") << "one two three" << "one two" << "one two\nthree";
        QTest::newRow("word that just fits stays whole") << "alpha beta" << "alpha" << "alpha\nbeta";
        QTest::newRow("only white space") << " \n\t " << "" << " ";
        QTest::newRow("empty") << "" << "" << " ";
    }
    void wrapsParagraphsAndWords()
    {
        QFETCH(QString, text);
        QFETCH(QString, widthOf);
        QFETCH(QString, expected);
        const int width = widthOf.isEmpty() ? 100000 : advance(widthOf);
        QCOMPARE(wrapTitleText(text, width, font), expected);
    }

    void zeroOrNegativeWidthLeavesTextAlone()
    {
        QCOMPARE(wrapTitleText(QStringLiteral("a  b\nc"), 0, font), QStringLiteral("a  b\nc"));
        QCOMPARE(wrapTitleText(QString(), -5, font), QStringLiteral(" "));
    }

    void longWordsAreCutByCharacters_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("widthOf");
        QTest::newRow("one long word") << "Supercalifragilisticexpialidocious" << "Super";
        QTest::newRow("long word after a short one") << "go Supercalifragilisticexpialidocious now" << "Superca";
        QTest::newRow("accents and emoji stay whole") << "ÉtéÀÔÜñçødéjà😀😀😀😀" << "Été";
    }
    void longWordsAreCutByCharacters()
    {
        QFETCH(QString, text);
        QFETCH(QString, widthOf);
        const int width = advance(widthOf);
        const QStringList lines = wrapLines(text, width);
        QVERIFY2(lines.size() > 2, qPrintable(lines.join('|')));
        for (const QString &line : lines)
            QVERIFY2(advance(line) <= width, qPrintable(line));
        // Nothing lost or added but the spaces between words.
        QString joined = lines.join(QString());
        QCOMPARE(joined.remove(' '), QString(text).remove(' '));
        for (const QString &line : lines)
            QVERIFY2(!line.isEmpty() && !line.back().isHighSurrogate(), qPrintable(line));
    }

    void fontSizeIsClamped_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("pixels");
        QTest::newRow("zero is the default") << 0 << 38;
        QTest::newRow("negative is the default") << -4 << 38;
        QTest::newRow("below the range") << 10 << 16;
        QTest::newRow("lowest") << 16 << 16;
        QTest::newRow("inside") << 57 << 57;
        QTest::newRow("highest") << 120 << 120;
        QTest::newRow("above the range") << 200 << 120;
    }
    void fontSizeIsClamped()
    {
        QFETCH(int, size);
        QFETCH(int, pixels);
        Clip clip;
        clip.titleFontSize = size;
        const QFont result = titleFont(clip, font);
        QCOMPARE(result.pixelSize(), pixels);
        QCOMPARE(result.bold(), true);
        QCOMPARE(result.family(), font.family());
    }

    void styleSheetCarriesTheTitleColour_data()
    {
        QTest::addColumn<QColor>("color");
        QTest::addColumn<QString>("name");
        QTest::newRow("sunflower") << QColor(QStringLiteral("#f1c40f")) << "#f1c40f";
        QTest::newRow("translucent keeps its rgb") << QColor(10, 20, 30, 40) << "#0a141e";
        QTest::newRow("invalid is white") << QColor() << "#ffffff";
    }
    void styleSheetCarriesTheTitleColour()
    {
        QFETCH(QColor, color);
        QFETCH(QString, name);
        Clip clip;
        clip.titleColor = color;
        QCOMPARE(titleStyleSheet(clip),
                 QStringLiteral("QLabel { background: rgba(0, 0, 0, 200); color: %1; padding: 20px 40px;"
                                " border-radius: 12px; border: 6px solid white;}")
                     .arg(name));
    }

    void hideTimeFollowsTheDurationMode_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("custom");
        QTest::addColumn<int>("expected");
        QTest::newRow("quick title") << 0 << 5000 << 3000;
        QTest::newRow("custom") << 1 << 5000 << 5000;
        QTest::newRow("whole clip") << 2 << 5000 << 8000;
        QTest::newRow("unknown mode is the whole clip") << 9 << 5000 << 8000;
    }
    void hideTimeFollowsTheDurationMode()
    {
        QFETCH(int, mode);
        QFETCH(int, custom);
        QFETCH(int, expected);
        Clip clip;
        clip.startTime = 12000;
        clip.endTime = 20000;
        clip.originalStart = 30000;
        clip.originalEnd = 38000;
        clip.titleDurationMode = mode;
        clip.customDuration = custom;
        QCOMPARE(titleDisplayDurationMs(clip), expected);
    }

    // Project files can carry any times: the hide interval never goes negative or wraps.
    void hideTimeOfUncheckedClips_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("custom");
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("end");
        QTest::addColumn<int>("expected");
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("negative custom") << 1 << -5000 << qint64(0) << qint64(1000) << 0;
        QTest::newRow("reversed clip") << 2 << 0 << qint64(9000) << qint64(1000) << 0;
        QTest::newRow("one millisecond") << 2 << 0 << qint64(0) << qint64(1) << 1;
        QTest::newRow("whole 64-bit range") << 2 << 0 << min << max << std::numeric_limits<int>::max();
        QTest::newRow("beyond an int") << 2 << 0 << qint64(0) << qint64(5000000000) << std::numeric_limits<int>::max();
        QTest::newRow("backwards across the range") << 2 << 0 << max << min << 0;
    }
    void hideTimeOfUncheckedClips()
    {
        QFETCH(int, mode);
        QFETCH(int, custom);
        QFETCH(qint64, start);
        QFETCH(qint64, end);
        Clip clip;
        clip.titleDurationMode = mode;
        clip.customDuration = custom;
        clip.startTime = start;
        clip.endTime = end;
        QTEST(titleDisplayDurationMs(clip), "expected");
    }

    void shortTitleGetsTheMinimumBoxCentred()
    {
        const QRect area(100, 200, 1280, 720);
        QString wrapped;
        const QRect box = computeTitleOverlayGeometry(titled(QStringLiteral("Hi")), font, area, &wrapped);
        QCOMPARE(wrapped, QStringLiteral("Hi"));
        QCOMPARE(box.width(), 320);
        QCOMPARE(box.x(), 100 + (1280 - 320) / 2);
        QCOMPARE(box.y(), 200 + 50);
        const QFontMetrics metrics(font);
        QCOMPARE(box.height(), std::max(metrics.lineSpacing(), metrics.height()) + 52);
    }

    void longTitleWrapsInsideTheWidestBox()
    {
        const QRect area(0, 0, 1280, 720);
        const QString text = QStringLiteral("This is a rather long title that cannot possibly fit on one "
                                            "line of the overlay at this size");
        QString wrapped;
        const QRect box = computeTitleOverlayGeometry(titled(text), font, area, &wrapped);
        const QStringList lines = wrapped.split('\n');
        QVERIFY(lines.size() >= 2);
        int widest = 0;
        for (const QString &line : lines) {
            QVERIFY2(advance(line) <= 1120 - 92, qPrintable(line));
            widest = std::max(widest, advance(line));
        }
        QCOMPARE(box.width(), widest + 92);
        QVERIFY(box.width() <= 1120);
        QCOMPARE(box.x(), (1280 - box.width()) / 2);
        QCOMPARE(box.height(), QFontMetrics(font).lineSpacing() * lines.size() + 52);
    }

    void boxWidthBetweenMinimumAndMaximum_data()
    {
        QTest::addColumn<int>("areaWidth");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expectedWidth"); // -1: text width + 92
        QTest::newRow("wide area, short text") << 1280 << "Hi" << 320;
        QTest::newRow("wide area, medium text") << 1280 << "Chapter One Begins" << -1;
        QTest::newRow("narrow area uses its whole width") << 400 << "Hi" << 240;
        QTest::newRow("tiny area keeps the chrome") << 150 << "Hi" << 92;
    }
    void boxWidthBetweenMinimumAndMaximum()
    {
        QFETCH(int, areaWidth);
        QFETCH(QString, text);
        QFETCH(int, expectedWidth);
        if (expectedWidth < 0) {
            expectedWidth = advance(text) + 92;
            QVERIFY2(expectedWidth > 320 && expectedWidth < 1120, "sample text must sit between the limits");
        }
        QString wrapped;
        const QRect box = computeTitleOverlayGeometry(titled(text), font, QRect(0, 0, areaWidth, 720), &wrapped);
        QCOMPARE(box.width(), expectedWidth);
        if (advance(text) <= expectedWidth - 92)
            QCOMPARE(wrapped, text); // a title that fits stays on one line
    }

    void tallTitleIsClampedAndStaysInside()
    {
        const QRect area(50, 60, 1280, 300);
        QStringList paragraphs;
        for (int i = 0; i < 8; ++i)
            paragraphs << QStringLiteral("Line %1").arg(i);
        const Clip clip = titled(paragraphs.join('\n'), false);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Warning: Title overlay height clamped from"));
        const QRect box = computeTitleOverlayGeometry(clip, font, area, nullptr);
        QCOMPARE(box.height(), 300 - 100);
        // Centred in what is left: never above the video.
        QCOMPARE(box.y(), 60 + 50);
        QVERIFY(box.top() >= area.top() && box.bottom() <= area.bottom());
    }

    void centredTitleSitsInTheMiddle()
    {
        const QRect area(0, 100, 1280, 720);
        const QRect box = computeTitleOverlayGeometry(titled(QStringLiteral("Middle"), false), font, area, nullptr);
        QCOMPARE(box.y(), 100 + (720 - box.height()) / 2);
    }

    void lineBreakGivesThreeLineBox()
    {
        QString wrapped;
        const QRect box = computeTitleOverlayGeometry(titled(QStringLiteral("First\nSecond")), font,
                                                      QRect(0, 0, 1280, 720), &wrapped);
        QCOMPARE(wrapped, QStringLiteral("First\n\nSecond"));
        QCOMPARE(box.height(), QFontMetrics(font).lineSpacing() * 3 + 52);
    }

    void emptyAreaGivesNoBox_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::newRow("no width") << QRect(0, 0, 0, 720);
        QTest::newRow("no height") << QRect(0, 0, 1280, 0);
        QTest::newRow("null") << QRect();
    }
    void emptyAreaGivesNoBox()
    {
        QFETCH(QRect, area);
        QString wrapped = QStringLiteral("untouched");
        QVERIFY(!computeTitleOverlayGeometry(titled(QStringLiteral("Hi")), font, area, &wrapped).isValid());
        QCOMPARE(wrapped, QStringLiteral("untouched"));
    }

    void lowAreaGivesAnInvalidBox()
    {
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Warning: Title overlay height clamped"));
        const QRect box = computeTitleOverlayGeometry(titled(QStringLiteral("Hi")), font, QRect(0, 0, 800, 80), nullptr);
        QVERIFY(box.bottom() < box.top());
    }

    void largeBoxesHaveNoShadow_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("shadow");
        QTest::newRow("at both limits") << QSize(1000, 280) << true;
        QTest::newRow("too wide") << QSize(1001, 100) << false;
        QTest::newRow("too tall") << QSize(500, 281) << false;
        QTest::newRow("small") << QSize(320, 90) << true;
    }
    void largeBoxesHaveNoShadow()
    {
        QFETCH(QSize, size);
        QFETCH(bool, shadow);
        QCOMPARE(titleOverlayWantsShadow(QRect(QPoint(10, 10), size)), shadow);
    }

    // The translucent window must still draw its box: a white border around a dark inside.
    void overlayDrawsItsBox()
    {
        TitleOverlay overlay;
        Clip clip = titled(QStringLiteral("Boxed"));
        clip.titleColor = QColor(QStringLiteral("#f1c40f"));
        QVERIFY(overlay.layOut(clip, QRect(0, 0, 1280, 720)));
        overlay.setGraphicsEffect(nullptr); // the shadow would only blur the edge being checked
        const QImage image = overlay.grab().toImage();
        const int middle = image.height() / 2;
        const QColor border = image.pixelColor(3, middle);
        QVERIFY2(border.red() > 240 && border.green() > 240 && border.blue() > 240 && border.alpha() > 240,
                 qPrintable(border.name(QColor::HexArgb)));
        const QColor inside = image.pixelColor(20, middle);
        QVERIFY2(inside.alpha() > 150 && inside.red() < 40, qPrintable(inside.name(QColor::HexArgb)));
        QCOMPARE(overlay.styleSheet(), titleStyleSheet(clip));
    }

    // Whatever the overlay shows must fit in the box computed for it.
    void overlayTextFitsItsBox_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("fontSize");
        QTest::newRow("one line") << "Welcome to part two" << 38;
        QTest::newRow("one long line") << "Chapter One Begins Here With Some Words" << 38;
        QTest::newRow("wrapped") << "This title is long enough that it has to wrap over several lines of the box" << 38;
        QTest::newRow("two paragraphs") << "First\nSecond part" << 60;
        QTest::newRow("small") << "Small print on a title" << 16;
    }
    void overlayTextFitsItsBox()
    {
        QFETCH(QString, text);
        QFETCH(int, fontSize);
        TitleOverlay overlay;
        Clip clip = titled(text);
        clip.titleFontSize = fontSize;
        QVERIFY(overlay.layOut(clip, QRect(0, 0, 1280, 720)));
        const QRect contents = overlay.contentsRect();
        QCOMPARE(contents.width(), overlay.width() - TitleBoxHorizontalChrome);
        // Laid out in the box, the text takes exactly its own lines: none pushed out of sight.
        const QFontMetrics metrics(overlay.font());
        const int flags = int(overlay.alignment()) | (overlay.wordWrap() ? Qt::TextWordWrap : 0);
        const QRect needed = metrics.boundingRect(contents, flags, overlay.text());
        const int linesShown = (needed.height() + metrics.lineSpacing() / 2) / metrics.lineSpacing();
        QCOMPARE(linesShown, int(overlay.text().count('\n')) + 1);
        // Advances are whole pixels, the laid-out width rounds up: a pixel or two of slack.
        QVERIFY2(needed.width() <= contents.width() + 2,
                 qPrintable(QStringLiteral("%1 > %2").arg(needed.width()).arg(contents.width())));
        QCOMPARE(overlay.font().pixelSize(), fontSize);
    }

    void bigBoxesLoseTheShadowAndGetItBack()
    {
        TitleOverlay overlay;
        Clip big = titled(QStringLiteral("A very long title that fills the whole width of the overlay box"));
        big.titleFontSize = 120;
        QVERIFY(overlay.layOut(big, QRect(0, 0, 1920, 1080)));
        QVERIFY(!titleOverlayWantsShadow(overlay.geometry()));
        QVERIFY(!overlay.graphicsEffect());
        QVERIFY(overlay.layOut(titled(QStringLiteral("Small")), QRect(0, 0, 1920, 1080)));
        auto *shadow = qobject_cast<QGraphicsDropShadowEffect *>(overlay.graphicsEffect());
        QVERIFY(shadow);
        QCOMPARE(shadow->blurRadius(), 20.0);
    }

    void invalidGeometryLeavesTheOverlayAlone()
    {
        TitleOverlay overlay;
        QVERIFY(overlay.layOut(titled(QStringLiteral("Before")), QRect(0, 0, 1280, 720)));
        const QRect before = overlay.geometry();
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Warning: Title overlay height clamped"));
        QTest::ignoreMessage(QtDebugMsg, "Skipping title overlay - invalid geometry");
        QVERIFY(!overlay.layOut(titled(QStringLiteral("After")), QRect(0, 0, 1280, 60)));
        QCOMPARE(overlay.geometry(), before);
        QCOMPARE(overlay.text(), QStringLiteral("Before"));
    }
};

TRIMLET_TEST_MAIN(TestTitleOverlay)
#include "tst_titleoverlay.moc"
