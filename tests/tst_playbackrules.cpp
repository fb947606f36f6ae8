#include "playbackrules.h"

#include <QtTest>

#include <limits>


namespace {

ClipList clipsFrom(std::initializer_list<std::pair<qint64, qint64>> ranges)
{
    ClipList clips;
    for (const auto &r : ranges) {
        Clip c;
        c.originalStart = r.first;
        c.originalEnd = r.second;
        clips.append(c);
    }
    return clips;
}

} // namespace

class TestPlaybackRules : public QObject {
    Q_OBJECT
private slots:
    // Frame times (µs) fed in order; each answer written as: "+t" a shown frame that enters a
    // part, "t" a shown frame, "-t" a skipped one, "t>x" a jump to x, "t|x" the end, sent to x
    // (t in ms, rounded down).
    void followsTheFrames_data()
    {
        QTest::addColumn<ClipList>("clips");
        QTest::addColumn<QList<qint64>>("frames");
        QTest::addColumn<QString>("steps");
        QTest::newRow("across a removed middle")
            << clipsFrom({{0, 4000}, {8000, 12000}})
            << QList<qint64>{3933333, 3966667, 4000000, 4033333, 8000000, 8033333}
            << "+3933 3966 4000>8000 -4033 +8000 8033";
        QTest::newRow("touching parts run on without a seek")
            << clipsFrom({{0, 4000}, {4000, 6000}}) << QList<qint64>{3966667, 4000000, 4033333}
            << "+3966 +4000 4033";
        QTest::newRow("a part of three frames")
            << clipsFrom({{0, 1000}, {2500, 2600}, {4000, 5000}})
            << QList<qint64>{966667, 1000000, 1033333, 2500000, 2533333, 2566667, 2600000, 2633333, 4000000}
            << "+966 1000>2500 -1033 +2500 2533 2566 2600>4000 -2633 +4000";
        QTest::newRow("past the last part back to the first")
            << clipsFrom({{1000, 2000}, {3000, 4000}}) << QList<qint64>{3966667, 4000000, 4033333, 1000000}
            << "+3966 4000|1000 -4033 +1000";
        QTest::newRow("a part too short for a frame is passed")
            << clipsFrom({{0, 1000}, {2000, 2010}, {3000, 4000}}) << QList<qint64>{966667, 1000000, 2033333, 3000000}
            << "+966 1000>2000 2033>3000 +3000";
        QTest::newRow("from a removed span to the next part")
            << clipsFrom({{0, 1000}, {2000, 3000}}) << QList<qint64>{1500000, 2000000} << "1500>2000 +2000";
        QTest::newRow("from past the last part to the first")
            << clipsFrom({{0, 1000}, {2000, 3000}}) << QList<qint64>{3500000, 3533333, 0} << "3500|0 -3533 +0";
        QTest::newRow("the list's order, not the source's")
            << clipsFrom({{5000, 6000}, {0, 1000}}) << QList<qint64>{5966667, 6000000, 6033333, 0, 1000000}
            << "+5966 6000>0 -6033 +0 1000|5000";
    }
    void followsTheFrames()
    {
        QFETCH(ClipList, clips);
        QFETCH(QList<qint64>, frames);
        QFETCH(QString, steps);
        using Step = Playback::EditFollower::Step;
        Playback::EditFollower follower;
        QStringList seen;
        for (qint64 us : frames) {
            const Step step = follower.frame(clips, us);
            const QString t = QString::number(us / 1000);
            switch (step.kind) {
            case Step::Show:
                seen << (step.entered ? "+" + t : t);
                break;
            case Step::Skip:
                seen << "-" + t;
                break;
            case Step::Jump:
                seen << t + ">" + QString::number(step.target);
                break;
            case Step::Finish:
                seen << t + "|" + QString::number(step.target);
                break;
            }
        }
        QCOMPARE(seen.join(' '), steps);
    }

    void partsAndSoundAroundAJump()
    {
        const ClipList clips = clipsFrom({{0, 4000}, {8000, 12000}, {12000, 15000}});
        Playback::EditFollower follower;
        QCOMPARE(follower.muteFrom(clips, 200), -1);
        follower.frame(clips, 3000000);
        QCOMPARE(follower.part(), 0);
        QCOMPARE(follower.muteFrom(clips, 200), 3800);
        // On the way to the next part, its own end counts; it runs on into the third.
        follower.frame(clips, 4000000);
        QVERIFY(follower.jumping());
        QCOMPARE(follower.part(), -1);
        QCOMPARE(follower.playingPart(), 1);
        QCOMPARE(follower.muteFrom(clips, 200), -1);
        follower.frame(clips, 12000000);
        QCOMPARE(follower.part(), 2);
        QCOMPARE(follower.muteFrom(clips, 200), 14800);
        follower.reset();
        QCOMPARE(follower.part(), -1);
        QVERIFY(!follower.jumping());
        // A shorter list drops a part number that no longer exists.
        follower.frame(clips, 13000000);
        QCOMPARE(follower.frame(clipsFrom({{0, 4000}}), 3000000).entered, true);
        QCOMPARE(follower.part(), 0);
    }

    void playStartsInsideAClip()
    {
        const ClipList clips = clipsFrom({{2000, 5000}, {8000, 9000}});
        QCOMPARE(Playback::playStartPosition(clips, 3000), 3000);
        // From inside a removed part play starts at the first clip, not the next one.
        QCOMPARE(Playback::playStartPosition(clips, 6000), 2000);
        QCOMPARE(Playback::playStartPosition({}, 6000), 6000);
    }

    // After an edit: kept where a part still holds it, else at the join or the edit's end.
    void positionAfterAnEdit()
    {
        const ClipList clips = clipsFrom({{0, 4000}, {8000, 12000}, {15000, 20000}});
        QCOMPARE(Playback::positionInEdit(clips, 9000), 9000);
        QCOMPARE(Playback::positionInEdit(clips, 6000), 8000);
        QCOMPARE(Playback::positionInEdit(clips, 12001), 15000);
        QCOMPARE(Playback::positionInEdit(clips, 25000), 20000);
        QCOMPARE(Playback::positionInEdit({}, 25000), 25000);
    }

    void skip_data()
    {
        QTest::addColumn<qint64>("position");
        QTest::addColumn<bool>("playing");
        QTest::addColumn<bool>("forward");
        QTest::addColumn<qint64>("target");
        // Clips 10000..40000 and 60000..70000, video 100000.
        QTest::newRow("forward paused 1 s") << qint64(12000) << false << true << qint64(13000);
        QTest::newRow("forward playing 10 s") << qint64(12000) << true << true << qint64(22000);
        QTest::newRow("forward reaching the end goes to next clip")
            << qint64(35000) << true << true << qint64(60000);
        QTest::newRow("forward in last clip stops at its end") << qint64(65000) << true << true << qint64(70000);
        QTest::newRow("forward outside clips goes to first") << qint64(50000) << false << true << qint64(10000);
        QTest::newRow("backward paused 1 s") << qint64(20000) << false << false << qint64(19000);
        QTest::newRow("backward from clip start to previous end minus s")
            << qint64(60000) << true << false << qint64(30000);
        QTest::newRow("backward limited to previous clip start")
            << qint64(60000) << false << false << qint64(39000);
        QTest::newRow("backward in first clip stops at its start") << qint64(10500) << false << false << qint64(10000);
        QTest::newRow("backward outside, before the end") << qint64(50000) << false << false << qint64(10000);
        QTest::newRow("backward after the last clip") << qint64(90000) << false << false << qint64(69000);
        QTest::newRow("backward after the last clip, playing") << qint64(90000) << true << false << qint64(60000);
    }
    void skip()
    {
        QFETCH(qint64, position);
        QFETCH(bool, playing);
        QFETCH(bool, forward);
        QFETCH(qint64, target);
        const ClipList clips = clipsFrom({{10000, 40000}, {60000, 70000}});
        QCOMPARE(Playback::skipTarget(clips, position, 100000, playing, forward), target);
    }

    // A paused player sent to a cut reports it or a millisecond before it.
    void rightArrowOnACutMoves_data()
    {
        QTest::addColumn<qint64>("position");
        QTest::addColumn<qint64>("target");
        QTest::newRow("on the cut") << qint64(5000) << qint64(6000);
        QTest::newRow("reported a millisecond early") << qint64(4999) << qint64(5999);
        QTest::newRow("well before the cut") << qint64(4500) << qint64(5000);
    }
    void rightArrowOnACutMoves()
    {
        QFETCH(qint64, position);
        QFETCH(qint64, target);
        const ClipList touching = clipsFrom({{0, 5000}, {5000, 12000}});
        QCOMPARE(Playback::skipTarget(touching, position, 12000, false, true), target);
        // Parts apart: the end of one still leads to the start of the next.
        QCOMPARE(Playback::skipTarget(clipsFrom({{0, 5000}, {8000, 12000}}), 4999, 12000, false, true), 8000);
    }

    void skipWithoutClipsClamps()
    {
        QCOMPARE(Playback::skipTarget({}, 500, 5000, false, false), 0);
        QCOMPARE(Playback::skipTarget({}, 4500, 5000, true, true), 5000);
        QCOMPARE(Playback::skipTarget({}, 2000, 5000, false, true), 3000);
    }

    // Loaded projects can hold any ranges; every target stays inside the clips' own values.
    void extremeRanges_data()
    {
        QTest::addColumn<ClipList>("clips");
        QTest::addColumn<qint64>("position");
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("whole range") << clipsFrom({{min, max}}) << qint64(0);
        QTest::newRow("whole range at the top") << clipsFrom({{min, max}}) << max;
        QTest::newRow("whole range at the bottom") << clipsFrom({{min, max}}) << min;
        QTest::newRow("previous clip ends at the bottom") << clipsFrom({{min, min}, {0, 5000}}) << qint64(0);
        QTest::newRow("last clip ends at the bottom") << clipsFrom({{0, 10}, {min, min}}) << qint64(50);
        QTest::newRow("reversed clips") << clipsFrom({{9000, 3000}, {5000, 1000}}) << qint64(4000);
        QTest::newRow("negative clips") << clipsFrom({{-9000, -3000}, {-2000, -1000}}) << qint64(0);
        QTest::newRow("huge clips") << clipsFrom({{max - 100, max}, {max - 50, max}}) << qint64(100);
    }
    void extremeRanges()
    {
        QFETCH(ClipList, clips);
        QFETCH(qint64, position);
        qint64 low = std::numeric_limits<qint64>::max();
        qint64 high = std::numeric_limits<qint64>::min();
        for (const Clip &c : clips) {
            low = std::min({low, c.originalStart, c.originalEnd});
            high = std::max({high, c.originalStart, c.originalEnd});
        }
        for (bool playing : {false, true}) {
            for (bool forward : {false, true}) {
                const qint64 target = Playback::skipTarget(clips, position, 100000, playing, forward);
                QVERIFY2(target >= low && target <= high, qPrintable(QString::number(target)));
            }
        }
        Playback::EditFollower follower;
        for (qint64 us : {position, position / 2, qint64(0)}) {
            const Playback::EditFollower::Step step = follower.frame(clips, us);
            if (step.kind == Playback::EditFollower::Step::Jump || step.kind == Playback::EditFollower::Step::Finish)
                QVERIFY(step.target >= low && step.target <= high);
        }
        const qint64 start = Playback::playStartPosition(clips, position);
        QVERIFY(start == position || (start >= low && start <= high));
    }

    void frameStepAtTheEnds()
    {
        const qint64 max = std::numeric_limits<qint64>::max();
        QCOMPARE(Playback::frameStepTarget(max, max, max, true), max / 1000);
        QCOMPARE(Playback::frameStepTarget(std::numeric_limits<qint64>::min(), 40000, 5000, false), 0);
        QCOMPARE(Playback::frameStepTarget(100000, 40000, -5, true), 0);
        QCOMPARE(Playback::frameStepTarget(10000, 40000, 5000, false), 0);
        QCOMPARE(Playback::frameStepTarget(4980000, 40000, 5000, true), 4999);
    }

    // The target is the neighbour's start rounded down to a whole ms: sought, it shows that
    // frame (the first starting at or after it), also where frames start between milliseconds;
    // an unknown frame length steps 33.333 ms.
    void frameStep_data()
    {
        QTest::addColumn<qint64>("startUs");
        QTest::addColumn<qint64>("frameUs");
        QTest::addColumn<bool>("forward");
        QTest::addColumn<qint64>("target");
        QTest::newRow("25 fps on") << qint64(1000000) << qint64(40000) << true << qint64(1040);
        QTest::newRow("25 fps back") << qint64(1000000) << qint64(40000) << false << qint64(960);
        QTest::newRow("30 fps on, between ms") << qint64(1033333) << qint64(33333) << true << qint64(1066);
        QTest::newRow("30 fps back, between ms") << qint64(1066667) << qint64(33333) << false << qint64(1033);
        QTest::newRow("29.97 fps on") << qint64(1001000) << qint64(33367) << true << qint64(1034);
        QTest::newRow("length unknown") << qint64(1000000) << qint64(0) << true << qint64(1033);
    }
    void frameStep()
    {
        QFETCH(qint64, startUs);
        QFETCH(qint64, frameUs);
        QFETCH(bool, forward);
        QFETCH(qint64, target);
        QCOMPARE(Playback::frameStepTarget(startUs, frameUs, 5000, forward), target);
    }
};

QTEST_GUILESS_MAIN(TestPlaybackRules)
#include "tst_playbackrules.moc"
