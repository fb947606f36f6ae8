#include "timelinegeometry.h"
#include "timelinepartlayout.h"

#include <QtTest>

#include <algorithm>

using namespace TimelinePartLayout;

namespace {

constexpr int kWidth = 1400;
constexpr int kTop = 40;

// Lengths from 1 ms to about 40 s in a fixed irregular order, laid end to end.
ClipList uneven(int count)
{
    ClipList clips;
    qint64 at = 0;
    for (int i = 0; i < count; ++i) {
        Clip clip;
        const qint64 length = 1 + (qint64(i) * 7919) % 40000;
        clip.startTime = clip.originalStart = at;
        clip.endTime = clip.originalEnd = at + length;
        clip.isMarked = i % 5 == 0;
        clips.append(clip);
        at += length;
    }
    return clips;
}

// Seven pixels per digit, without any font.
int digitsWidth(int number)
{
    return 7 * int(QString::number(number).size());
}

} // namespace

class TestTimelineLayout : public QObject {
    Q_OBJECT

private slots:
    void drawsEveryVisiblePartOnceAndNumbersApart_data()
    {
        QTest::addColumn<ClipList>("clips");
        QTest::addColumn<int>("zoom");
        QTest::addColumn<int>("scrollTenths");

        QTest::newRow("200 parts") << uneven(200) << 1 << 0;
        QTest::newRow("200 parts at zoom 4, scrolled") << uneven(200) << 4 << 5;
        QTest::newRow("2000 parts") << uneven(2000) << 1 << 0;
        QTest::newRow("2000 parts at zoom 10, the end") << uneven(2000) << 10 << 10;
        QTest::newRow("10000 parts at zoom 7") << uneven(10000) << 7 << 3;
        // A marked range appended over the laid-out parts, and a list kept as a file stored it.
        ClipList overlapping = uneven(300);
        overlapping.append(overlapping.at(20));
        overlapping.last().endTime = overlapping.at(200).endTime;
        QTest::newRow("appended over others") << overlapping << 2 << 0;
        ClipList twice = uneven(30);
        twice.append(twice.at(10));
        QTest::newRow("one range twice") << twice << 1 << 0;
        ClipList shuffled = uneven(500);
        std::reverse(shuffled.begin() + 100, shuffled.end());
        QTest::newRow("out of order") << shuffled << 3 << 2;
    }

    void drawsEveryVisiblePartOnceAndNumbersApart()
    {
        QFETCH(ClipList, clips);
        QFETCH(int, zoom);
        QFETCH(int, scrollTenths);
        qint64 duration = 0;
        for (const Clip &clip : clips)
            duration = qMax(duration, clip.endTime);
        const qint64 scroll = maxTimelineScrollOffset(kWidth, zoom) * scrollTenths / 10;
        const View view{kWidth, duration, zoom, scroll, kTop};
        const bool laidOut = isLaidOut(clips);
        const Plan plan = TimelinePartLayout::plan(clips, laidOut, view, digitsWidth, 14);

        std::vector<bool> narrow(kWidth, false), marked(kWidth, false);
        for (const Span &span : plan.narrowSpans)
            std::fill(narrow.begin() + span.left, narrow.begin() + span.right + 1, true);
        for (const Span &span : plan.markedSpans)
            std::fill(marked.begin() + span.left, marked.begin() + span.right + 1, true);
        QSet<int> boxed;
        for (const Box &box : plan.boxes)
            QVERIFY2(!boxed.contains(box.index), "a part drawn twice");
        for (const Box &box : plan.boxes)
            boxed.insert(box.index);

        for (int i = 0; i < clips.size(); ++i) {
            const qint64 left = timeToX(clips[i].startTime, kWidth, duration, zoom, scroll);
            const qint64 right = timeToX(clips[i].endTime, kWidth, duration, zoom, scroll) - 1;
            const qint64 from = qMax<qint64>(0, qMin(left, right));
            const qint64 to = qMin<qint64>(kWidth - 1, qMax(left, right));
            if (qMax(left, right) + 4 < 0 || qMin(left, right) - 4 > kWidth)
                QVERIFY2(!boxed.contains(i), qPrintable(QStringLiteral("part %1 off screen has a box").arg(i)));
            else if (right - left >= kNarrowPart)
                QVERIFY2(boxed.contains(i), qPrintable(QStringLiteral("part %1 has no box").arg(i)));
            else
                for (qint64 x = from; x <= to; ++x)
                    QVERIFY(narrow[size_t(x)] && (!clips[i].isMarked || marked[size_t(x)]));
        }
        // Never more drawn than the pixels allow, whatever the number of parts.
        if (laidOut)
            QVERIFY(plan.boxes.size() <= kWidth * zoom / kNarrowPart + 2);

        QVector<Label> labels = plan.labels;
        std::sort(labels.begin(), labels.end(),
                  [](const Label &a, const Label &b) { return a.plate.left() < b.plate.left(); });
        for (int l = 0; l < labels.size(); ++l) {
            const Label &label = labels[l];
            const Box &box = plan.boxes.at(label.box);
            QCOMPARE(box.index, label.index);
            QCOMPARE(label.plate.width(), qreal(digitsWidth(label.index + 1) + kPlatePadding));
            QVERIFY(label.plate.left() >= box.left + kLabelInset && label.plate.right() <= box.right - kLabelInset);
            QVERIFY(label.plate.left() >= 0 && label.plate.right() <= kWidth);
            if (l > 0)
                QVERIFY2(labels[l - 1].plate.right() < label.plate.left(), "numbers overlap");
        }
    }

    void numbersOnlyWhereTheyFit()
    {
        // 200 even parts of 7 px: no number fits; at zoom 10 (69 px each) every visible one does.
        ClipList clips;
        for (int i = 0; i < 200; ++i) {
            Clip clip;
            clip.startTime = clip.originalStart = i * 1000;
            clip.endTime = clip.originalEnd = (i + 1) * 1000;
            clips.append(clip);
        }
        View view{kWidth, 200000, 1, 0, kTop};
        QVERIFY(plan(clips, true, view, digitsWidth, 14).labels.isEmpty());
        view.zoom = 10;
        view.scrollOffset = 5000;
        const Plan zoomed = plan(clips, true, view, digitsWidth, 14);
        QSet<int> labelled;
        for (const Label &label : zoomed.labels)
            labelled.insert(label.index);
        int whole = 0;
        for (const Box &box : zoomed.boxes) {
            if (box.left >= 0 && box.right <= kWidth) {
                QVERIFY(labelled.contains(box.index));
                ++whole;
            }
        }
        QVERIFY(whole >= 15);
    }

    void searchMatchesFullScanForLaidOutParts()
    {
        const ClipList clips = uneven(3000);
        QVERIFY(isLaidOut(clips));
        qint64 duration = clips.last().endTime;
        for (int zoom : {1, 3, 10}) {
            for (int tenth : {0, 4, 10}) {
                const View view{kWidth, duration, zoom, maxTimelineScrollOffset(kWidth, zoom) * tenth / 10, kTop};
                const Plan fast = plan(clips, true, view, digitsWidth, 14);
                const Plan full = plan(clips, false, view, digitsWidth, 14);
                QCOMPARE(fast.boxes.size(), full.boxes.size());
                for (int b = 0; b < fast.boxes.size(); ++b)
                    QCOMPARE(fast.boxes[b].index, full.boxes[b].index);
                QCOMPARE(fast.narrowSpans.size(), full.narrowSpans.size());
                QCOMPARE(fast.boundaries, full.boundaries);
                QCOMPARE(fast.labels.size(), full.labels.size());
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestTimelineLayout)
#include "tst_timelinelayout.moc"
