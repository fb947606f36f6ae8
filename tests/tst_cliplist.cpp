#include "cliplist.h"

#include <QtTest>

#include <limits>

namespace {

Clip sourceClip(qint64 start, qint64 end, const QString &name = QStringLiteral("Part 1"))
{
    Clip c;
    c.originalStart = start;
    c.originalEnd = end;
    c.name = name;
    return c;
}

ClipList laidOut(std::initializer_list<std::pair<qint64, qint64>> ranges)
{
    ClipList clips;
    for (const auto &r : ranges)
        clips.append(sourceClip(r.first, r.second));
    recalculateTimeline(clips);
    return clips;
}

} // namespace

class TestClipList : public QObject {
    Q_OBJECT
private slots:
    void newClipDefaults()
    {
        const Clip c;
        QCOMPARE(c.name, QStringLiteral("Part 1"));
        QCOMPARE(c.color, QColor(0, 0, 255));
        QCOMPARE(c.titleColor, QColor(255, 255, 255));
        QCOMPARE(c.customDuration, 3000);
        QCOMPARE(c.titleFontSize, 38);
        QVERIFY(c.titleAtTop);
        QCOMPARE(c.opacity, 100);
        QVERIFY(!c.hasEffects);
        QVERIFY(!computeHasEffects(c));
    }

    void clipIsRegisteredMetaType()
    {
        qRegisterMetaType<Clip>("Clip");
        QVERIFY(QMetaType::fromName("Clip").isValid());
        Clip c = makeFirstClip(1234);
        c.titleText = QStringLiteral("hello");
        const QVariant v = QVariant::fromValue(c);
        QCOMPARE(v.value<Clip>(), c);
    }

    void recalculateSortsAndLaysOut()
    {
        ClipList clips{sourceClip(20000, 30000, "B"), sourceClip(0, 10000, "A"),
                       sourceClip(40000, 45000, "C")};
        QCOMPARE(recalculateTimeline(clips), 25000);
        QCOMPARE(clips[0].name, QStringLiteral("A"));
        QCOMPARE(clips[1].name, QStringLiteral("B"));
        QCOMPARE(clips[2].name, QStringLiteral("C"));
        const qint64 expected[3][2] = {{0, 10000}, {10000, 20000}, {20000, 25000}};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(clips[i].startTime, expected[i][0]);
            QCOMPARE(clips[i].endTime, expected[i][1]);
        }
        ClipList empty;
        QCOMPARE(recalculateTimeline(empty), 0);
    }

    void sourceToTimeline_data()
    {
        QTest::addColumn<qint64>("source");
        QTest::addColumn<qint64>("timeline");
        // Clips [0,5000] and [5000,9000] adjacent, then a gap, then [20000,30000].
        QTest::newRow("inside first") << qint64(1000) << qint64(1000);
        QTest::newRow("shared boundary maps through the first") << qint64(5000) << qint64(5000);
        QTest::newRow("inside second") << qint64(6000) << qint64(6000);
        QTest::newRow("in a gap is zero") << qint64(15000) << qint64(0);
        QTest::newRow("start of third") << qint64(20000) << qint64(9000);
        QTest::newRow("end of third") << qint64(30000) << qint64(19000);
        QTest::newRow("after every clip") << qint64(30001) << qint64(0);
    }
    void sourceToTimeline()
    {
        QFETCH(qint64, source);
        QFETCH(qint64, timeline);
        const ClipList clips = laidOut({{0, 5000}, {5000, 9000}, {20000, 30000}});
        QCOMPARE(::sourceToTimeline(clips, source), timeline);
    }

    void timelineToSource_data()
    {
        QTest::addColumn<qint64>("timeline");
        QTest::addColumn<qint64>("source");
        // Clips [10000,20000] and [50000,60000]: edited 0..10000 and 10000..20000.
        QTest::newRow("start") << qint64(0) << qint64(10000);
        QTest::newRow("boundary maps through the first") << qint64(10000) << qint64(20000);
        QTest::newRow("inside second") << qint64(15000) << qint64(55000);
        QTest::newRow("exactly the edited end") << qint64(20000) << qint64(60000);
        QTest::newRow("one past the end") << qint64(20001) << qint64(60000);
        QTest::newRow("far past the end") << qint64(999999) << qint64(60000);
        QTest::newRow("negative") << qint64(-5) << qint64(0);
    }
    void timelineToSource()
    {
        QFETCH(qint64, timeline);
        QFETCH(qint64, source);
        ClipList clips{sourceClip(10000, 20000), sourceClip(50000, 60000)};
        const qint64 edited = recalculateTimeline(clips);
        QCOMPARE(::timelineToSource(clips, timeline, edited), source);
    }

    // Ranges read from a project file are not checked: the arithmetic sticks at the
    // ends of the 64-bit range instead of wrapping to the other sign.
    void extremeRangesDoNotWrap()
    {
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();

        ClipList clips{sourceClip(min, max), sourceClip(max - 1, max)};
        QCOMPARE(recalculateTimeline(clips), max);
        QCOMPARE(clips[0].endTime, max);
        QCOMPARE(clips[1].startTime, max);
        QCOMPARE(clips[1].endTime, max);

        ClipList backwards{sourceClip(max, min), sourceClip(max, 0)};
        QCOMPARE(recalculateTimeline(backwards), min);
        QCOMPARE(backwards[0].endTime, min);

        ClipList reversed{sourceClip(9000, 3000), sourceClip(10000, 12000)};
        QCOMPARE(recalculateTimeline(reversed), -4000);
        QCOMPARE(reversed[0].endTime, -6000);

        Clip far = sourceClip(min, 0);
        far.startTime = max;
        far.endTime = max;
        QCOMPARE(::sourceToTimeline({far}, 0), max);
        QCOMPARE(::sourceToTimeline({far}, min), max);
        Clip early = sourceClip(max - 10, max);
        early.startTime = min;
        early.endTime = max;
        QCOMPARE(::timelineToSource({early}, max, 0), max);
        QCOMPARE(::timelineToSource({early}, min, 0), max - 10);
    }

    void orSameFormsPassThroughWithoutClips()
    {
        const ClipList none;
        QCOMPARE(sourceToTimelineOrSame(none, 4321), 4321);
        QCOMPARE(timelineToSourceOrSame(none, 4321, 0), 4321);
        QCOMPARE(::timelineToSource(none, 4321, 0), 0);
        const ClipList clips = laidOut({{1000, 2000}});
        QCOMPARE(sourceToTimelineOrSame(clips, 1500), 500);
        QCOMPARE(timelineToSourceOrSame(clips, 500, 1000), 1500);
    }

    void hasEffectsRule_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("value");
        QTest::addColumn<bool>("expected");
        QTest::newRow("blur 1") << "blurIntensity" << 1 << true;
        QTest::newRow("brightness -1") << "brightness" << -1 << true;
        QTest::newRow("contrast 5") << "contrast" << 5 << true;
        QTest::newRow("saturation -100") << "saturation" << -100 << true;
        QTest::newRow("opacity 99") << "opacity" << 99 << true;
        QTest::newRow("opacity 100") << "opacity" << 100 << false;
        QTest::newRow("fade in 1 ms") << "fadeInDuration" << 1 << true;
        QTest::newRow("fade out 1000") << "fadeOutDuration" << 1000 << true;
        QTest::newRow("grayscale") << "grayscale" << 1 << true;
        QTest::newRow("sepia") << "sepia" << 1 << true;
        QTest::newRow("rotation 90") << "rotation" << 90 << true;
        QTest::newRow("title shown") << "title" << 1 << true;
        QTest::newRow("title text but hidden") << "hiddenTitle" << 1 << false;
        QTest::newRow("title shown but empty") << "emptyTitle" << 1 << false;
    }
    void hasEffectsRule()
    {
        QFETCH(QString, field);
        QFETCH(int, value);
        QFETCH(bool, expected);
        Clip c;
        if (field == "blurIntensity") c.blurIntensity = value;
        else if (field == "brightness") c.brightness = value;
        else if (field == "contrast") c.contrast = value;
        else if (field == "saturation") c.saturation = value;
        else if (field == "opacity") c.opacity = value;
        else if (field == "fadeInDuration") c.fadeInDuration = value;
        else if (field == "fadeOutDuration") c.fadeOutDuration = value;
        else if (field == "grayscale") c.grayscale = true;
        else if (field == "sepia") c.sepia = true;
        else if (field == "rotation") c.rotation = value;
        else if (field == "title") { c.showTitle = true; c.titleText = "Hi"; }
        else if (field == "hiddenTitle") { c.showTitle = false; c.titleText = "Hi"; }
        else if (field == "emptyTitle") { c.showTitle = true; }
        QCOMPARE(computeHasEffects(c), expected);
    }

    void firstClipCoversVideo()
    {
        const Clip c = makeFirstClip(60000);
        QCOMPARE(c.startTime, 0);
        QCOMPARE(c.endTime, 60000);
        QCOMPARE(c.originalStart, 0);
        QCOMPARE(c.originalEnd, 60000);
        QCOMPARE(c.name, QStringLiteral("Part 1"));
        QCOMPARE(c.color, QColor(0x46, 0x82, 0xB4));
        QVERIFY(!c.isMarked);
    }

    void clickMarksClips()
    {
        ClipList clips = laidOut({{0, 10}, {10, 20}, {20, 30}});
        QVERIFY(applyClipClick(clips, 1, false));
        QCOMPARE(QList<bool>({clips[0].isMarked, clips[1].isMarked, clips[2].isMarked}),
                 QList<bool>({false, true, false}));
        // A plain click on the marked clip keeps it marked (others cleared first).
        QVERIFY(applyClipClick(clips, 1, false));
        QVERIFY(clips[1].isMarked);
        QVERIFY(applyClipClick(clips, 2, true));
        QVERIFY(clips[1].isMarked && clips[2].isMarked);
        // Control-click on a marked clip unmarks only it.
        QVERIFY(applyClipClick(clips, 1, true));
        QCOMPARE(QList<bool>({clips[0].isMarked, clips[1].isMarked, clips[2].isMarked}),
                 QList<bool>({false, false, true}));
        QVERIFY(!applyClipClick(clips, 3, false));
        QVERIFY(!applyClipClick(clips, -1, false));
        QVERIFY(clips[2].isMarked);
    }
};

QTEST_GUILESS_MAIN(TestClipList)
#include "tst_cliplist.moc"
