#include "playbackrules.h"

#include <QtTest>

#include <limits>

using Playback::BoundaryAction;
Q_DECLARE_METATYPE(BoundaryAction::Kind)

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
    void boundary_data()
    {
        QTest::addColumn<qint64>("position");
        QTest::addColumn<BoundaryAction::Kind>("kind");
        QTest::addColumn<qint64>("target");
        // Clips 0..5000 and 8000..9000.
        QTest::newRow("well inside") << qint64(4000) << BoundaryAction::None << qint64(0);
        QTest::newRow("500 before the end") << qint64(4500) << BoundaryAction::None << qint64(0);
        QTest::newRow("499 before the end jumps") << qint64(4501) << BoundaryAction::Seek << qint64(8000);
        QTest::newRow("in the gap jumps to the next clip") << qint64(6000) << BoundaryAction::Seek << qint64(8000);
        QTest::newRow("near the end of the last clip stops")
            << qint64(8600) << BoundaryAction::PauseAndSeek << qint64(0);
        QTest::newRow("past the last clip stops") << qint64(9500) << BoundaryAction::PauseAndSeek << qint64(0);
    }
    void boundary()
    {
        QFETCH(qint64, position);
        QFETCH(BoundaryAction::Kind, kind);
        QFETCH(qint64, target);
        const BoundaryAction action = Playback::boundaryAction(clipsFrom({{0, 5000}, {8000, 9000}}), position);
        QCOMPARE(action.kind, kind);
        if (kind != BoundaryAction::None)
            QCOMPARE(action.target, target);
    }

    void boundaryBeforeFirstClip()
    {
        const ClipList clips = clipsFrom({{2000, 5000}, {8000, 9000}});
        const BoundaryAction a = Playback::boundaryAction(clips, 1000);
        QCOMPARE(a.kind, BoundaryAction::Seek);
        QCOMPARE(a.target, 2000);
        QCOMPARE(Playback::boundaryAction({}, 1000).kind, BoundaryAction::None);
    }

    void playStartsInsideAClip()
    {
        const ClipList clips = clipsFrom({{2000, 5000}, {8000, 9000}});
        QCOMPARE(Playback::playStartPosition(clips, 3000), 3000);
        // From inside a removed part play starts at the first clip, not the next one.
        QCOMPARE(Playback::playStartPosition(clips, 6000), 2000);
        QCOMPARE(Playback::playStartPosition({}, 6000), 6000);
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
        const BoundaryAction action = Playback::boundaryAction(clips, position);
        if (action.kind != BoundaryAction::None)
            QVERIFY(action.target >= low && action.target <= high);
        const qint64 start = Playback::playStartPosition(clips, position);
        QVERIFY(start == position || (start >= low && start <= high));
    }

    void frameStepAtTheEnds()
    {
        const qint64 max = std::numeric_limits<qint64>::max();
        QCOMPARE(Playback::frameStepTarget(max, max, true), max);
        QCOMPARE(Playback::frameStepTarget(std::numeric_limits<qint64>::min(), 5000, false), 0);
        QCOMPARE(Playback::frameStepTarget(100, -5, true), 0);
    }

    void frameStep()
    {
        QCOMPARE(Playback::frameStepTarget(1000, 5000, true), 1033);
        QCOMPARE(Playback::frameStepTarget(1000, 5000, false), 967);
        QCOMPARE(Playback::frameStepTarget(10, 5000, false), 0);
        QCOMPARE(Playback::frameStepTarget(4990, 5000, true), 5000);
    }
};

QTEST_GUILESS_MAIN(TestPlaybackRules)
#include "tst_playbackrules.moc"
