#include "cliplist.h"
#include "edithistory.h"
#include "editoperations.h"
#include "timeformat.h"

#include <QtTest>

using Kind = MessageKind;
Q_DECLARE_METATYPE(MessageKind)

namespace {

Clip sourceClip(qint64 start, qint64 end, const QString &name, bool marked = false)
{
    Clip c;
    c.originalStart = start;
    c.originalEnd = end;
    c.name = name;
    c.isMarked = marked;
    c.color = firstClipColor();
    return c;
}

EditState stateWith(ClipList clips, qint64 videoDuration = 100000)
{
    EditState s;
    s.videoDuration = videoDuration;
    s.editedDuration = Edit::recalculateOrReset(clips, videoDuration);
    s.clips = clips;
    return s;
}

QString ranges(const ClipList &clips)
{
    QStringList parts;
    for (const Clip &c : clips)
        parts << QStringLiteral("%1:%2-%3@%4-%5")
                     .arg(c.name)
                     .arg(c.originalStart)
                     .arg(c.originalEnd)
                     .arg(c.startTime)
                     .arg(c.endTime);
    return parts.join(QStringLiteral(", "));
}

} // namespace

class TestEditing : public QObject {
    Q_OBJECT
private slots:
    void formatTime_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << "00:00";
        QTest::newRow("just under a minute") << qint64(59999) << "00:59";
        QTest::newRow("a minute") << qint64(60000) << "01:00";
        QTest::newRow("no hours") << qint64(3725000) << "62:05";
        QTest::newRow("seconds only") << qint64(5400) << "00:05";
    }
    void formatTime()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        QCOMPARE(::formatTime(ms), text);
    }

    // Seconds to the hundredth, as "This file is damaged: its pictures end at 04.93 of 10.00" says them.
    void formatHundredths_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<qint64>("scale");
        QTest::addColumn<QString>("text");
        QTest::newRow("under a minute") << qint64(4933) << qint64(0) << "04.93";
        QTest::newRow("truncated, not rounded") << qint64(9999) << qint64(0) << "09.99";
        QTest::newRow("zero") << qint64(0) << qint64(0) << "00.00";
        QTest::newRow("a minute") << qint64(62500) << qint64(0) << "01:02.50";
        QTest::newRow("beside a longer time") << qint64(4930) << qint64(70000) << "00:04.93";
        QTest::newRow("negative") << qint64(-5) << qint64(0) << "00.00";
    }
    void formatHundredths()
    {
        QFETCH(qint64, ms);
        QFETCH(qint64, scale);
        QFETCH(QString, text);
        QCOMPARE(::formatHundredths(ms, scale), text);
    }

    // Refusals name the exact box and never change anything.
    void refusals_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("setup");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        // setup: 0 = one clip 0..60000 unmarked, playhead 0; 1 = empty list;
        // 2 = three clips all marked; 3 = one clip, selection start only;
        // 4 = one clip, playhead at its end, clip selected; 5 = playhead at clip start, selected
        QTest::newRow("cut at clip start") << "split" << 0 << Kind::Information << "Cannot Cut"
                                           << "The playhead is at the start of Part 1: there is nothing to cut off there.";
        QTest::newRow("cut at clip end") << "split" << 4 << Kind::Information << "Cannot Cut"
                                         << "The playhead is at the end of Part 1: there is nothing to cut off there.";
        QTest::newRow("cut in a deleted stretch") << "split" << 6 << Kind::Information << "Cannot Cut"
                                                  << "Playhead is not inside any clip";
        QTest::newRow("cut where two parts meet")
            << "split" << 7 << Kind::Information << "Cannot Cut"
            << "The playhead is at the start of Part 2: there is nothing to cut off there.";
        QTest::newRow("cut with no clips") << "split" << 1 << Kind::Information << "Cannot Cut"
                                           << "Playhead is not inside any clip";
        QTest::newRow("mark with only a start") << "mark" << 3 << Kind::Warning << "Warning"
                                                << "Please set both start and end points first.";
        QTest::newRow("delete selected, none marked")
            << "deleteSelected" << 0 << Kind::Information << "No Part Selected"
            << "Please click on a video part to select it first.\n\nSelected parts have a blue border.";
        QTest::newRow("delete selected, empty list")
            << "deleteSelected" << 1 << Kind::Information << "No Part Selected"
            << "Please click on a video part to select it first.\n\nSelected parts have a blue border.";
        QTest::newRow("delete selected, all marked")
            << "deleteSelected" << 2 << Kind::Warning << "Can't Delete Everything"
            << "You can't delete all parts.\n\nAt least one part must remain.";
        QTest::newRow("delete unmarked, empty") << "deleteUnmarked" << 1 << Kind::Information << "No Clips"
                                                << "No clips exist. Create clips first by marking sections.";
        QTest::newRow("delete unmarked, none marked")
            << "deleteUnmarked" << 0 << Kind::Warning << "No Marked Clips"
            << "No marked clips to keep.\n\nMark the sections you want to KEEP first,\nthen delete unmarked sections.";
        QTest::newRow("delete marked, empty") << "deleteMarked" << 1 << Kind::Information << "No Clips"
                                              << "No clips exist. Create clips first.";
        QTest::newRow("delete marked, none marked") << "deleteMarked" << 0 << Kind::Information
                                                    << "No Marked Clips" << "No marked clips to delete.";
        QTest::newRow("trim start, nothing selected")
            << "trimStart" << 0 << Kind::Warning << "No Clip Selected"
            << "Please select a clip from the list to trim its start.";
        QTest::newRow("trim end, nothing selected")
            << "trimEnd" << 0 << Kind::Warning << "No Clip Selected"
            << "Please select a clip from the list to trim its end.";
        QTest::newRow("trim start at clip end") << "trimStart" << 4 << Kind::Warning << "Invalid Trim"
                                                << "Trim position must be before the clip end.";
        QTest::newRow("trim end at clip start") << "trimEnd" << 5 << Kind::Warning << "Invalid Trim"
                                                << "Trim position must be after the clip start.";
    }
    void refusals()
    {
        QFETCH(QString, operation);
        QFETCH(int, setup);
        QFETCH(Kind, kind);
        QFETCH(QString, title);
        QFETCH(QString, text);

        EditState s;
        switch (setup) {
        case 0: s = stateWith({sourceClip(0, 60000, "Part 1")}); break;
        case 1: s = stateWith({}); break;
        case 2: s = stateWith({sourceClip(0, 10, "A", true), sourceClip(10, 20, "B", true),
                               sourceClip(20, 30, "C", true)}); break;
        case 3: s = stateWith({sourceClip(0, 60000, "Part 1")}); s.selectionStart = 100; break;
        case 4: s = stateWith({sourceClip(0, 60000, "Part 1", true)}); s.playerPosition = 60000;
                s.selectedClipIndex = 0; break;
        case 5: s = stateWith({sourceClip(1000, 60000, "Part 1", true)}); s.playerPosition = 1000;
                s.selectedClipIndex = 0; break;
        case 6: s = stateWith({sourceClip(0, 10000, "Part 1"), sourceClip(20000, 30000, "Part 2")});
                s.playerPosition = 15000; break;
        case 7: s = stateWith({sourceClip(0, 10000, "Part 1"), sourceClip(10000, 30000, "Part 2")});
                s.playerPosition = 10000; break;
        }
        EditOutcome o;
        if (operation == "split") o = Edit::splitAtPlayhead(s);
        else if (operation == "mark") o = Edit::markClip(s);
        else if (operation == "deleteSelected") o = Edit::deleteSelectedClips(s);
        else if (operation == "deleteUnmarked") o = Edit::deleteUnmarkedClips(s);
        else if (operation == "deleteMarked") o = Edit::deleteMarkedClips(s);
        else if (operation == "trimStart") o = Edit::trimClipStart(s);
        else if (operation == "trimEnd") o = Edit::trimClipEnd(s);
        QVERIFY(!o.changed);
        QVERIFY(o.message.has_value());
        QCOMPARE(o.message->kind, kind);
        QCOMPARE(o.message->title, title);
        QCOMPARE(o.message->text, text);
    }

    void cutOneMillisecondInside()
    {
        EditState s = stateWith({sourceClip(0, 60000, "Part 1")});
        s.playerPosition = 1;
        QVERIFY(Edit::splitAtPlayhead(s).changed);
        s.playerPosition = 59999;
        QVERIFY(Edit::splitAtPlayhead(s).changed);
    }

    void cutCopiesEverythingOfTheClip()
    {
        Clip part1 = sourceClip(0, 60000, "Part 1");
        part1.titleText = "Hello";
        part1.showTitle = true;
        part1.brightness = 30;
        part1.hasEffects = true;
        part1.color = QColor(1, 2, 3);
        EditState s = stateWith({part1});
        s.playerPosition = 20000;
        s.selectionStart = 5;
        s.selectedClipIndex = 0;
        const EditOutcome o = Edit::splitAtPlayhead(s);
        QVERIFY(o.changed);
        QCOMPARE(ranges(o.clips), QStringLiteral("Part 1:0-20000@0-20000, Part 2:20000-60000@20000-60000"));
        QCOMPARE(o.editedDuration, 60000);
        for (const Clip &c : o.clips) {
            QCOMPARE(c.titleText, QStringLiteral("Hello"));
            QVERIFY(c.showTitle && c.hasEffects);
            QCOMPARE(c.brightness, 30);
            QCOMPARE(c.color, QColor(1, 2, 3));
        }
        QVERIFY(!o.clearSelection);
        QCOMPARE(o.message->title, QStringLiteral("Video Cut"));
        QCOMPARE(o.message->text, QStringLiteral("Video cut into 2 parts at 00:20.000"));
    }

    // The notice names the cut where the time display shows it: in the edit, to the millisecond.
    void cutIsReportedInEditedTime()
    {
        EditState s = stateWith({sourceClip(0, 10000, "Part 1"), sourceClip(30000, 60000, "Part 2")});
        s.playerPosition = 40033;
        const EditOutcome o = Edit::splitAtPlayhead(s);
        QVERIFY(o.changed);
        QCOMPARE(o.message->text, QStringLiteral("Video cut into 2 parts at 00:20.033"));
    }

    // Neither half of a cut is selected, whatever was selected before; another selected
    // part keeps its mark and is followed to its new place in the list.
    void cutLeavesBothHalvesUnselected_data()
    {
        QTest::addColumn<ClipList>("clips");
        QTest::addColumn<int>("selected");
        QTest::addColumn<qint64>("at");
        QTest::addColumn<QString>("marks");
        QTest::addColumn<int>("selectedAfter");

        QTest::newRow("the cut part was selected")
            << ClipList{sourceClip(0, 10000, "Part 1", true)} << 0 << qint64(4000) << "--" << -1;
        QTest::newRow("marked but another clicked last")
            << ClipList{sourceClip(0, 10000, "Part 1", true), sourceClip(20000, 30000, "Part 2")} << 1
            << qint64(4000) << "---" << 2;
        QTest::newRow("nothing selected")
            << ClipList{sourceClip(0, 10000, "Part 1")} << -1 << qint64(4000) << "--" << -1;
        QTest::newRow("a later part selected")
            << ClipList{sourceClip(0, 10000, "Part 1"), sourceClip(20000, 30000, "Part 2", true)} << 1
            << qint64(4000) << "--M" << 2;
        QTest::newRow("an earlier part selected")
            << ClipList{sourceClip(0, 10000, "Part 1", true), sourceClip(20000, 30000, "Part 2")} << 0
            << qint64(25000) << "M--" << 0;
        // A marked range is appended unsorted; the cut lays the list out again.
        QTest::newRow("unsorted list")
            << ClipList{sourceClip(20000, 30000, "Part 1"), sourceClip(0, 10000, "Part 2", true)} << 1
            << qint64(25000) << "M--" << 0;
        QTest::newRow("stale index") << ClipList{sourceClip(0, 10000, "Part 1", true)} << 5 << qint64(4000)
                                     << "--" << -1;
    }

    void cutLeavesBothHalvesUnselected()
    {
        QFETCH(ClipList, clips);
        QFETCH(int, selected);
        QFETCH(qint64, at);
        QFETCH(QString, marks);
        QFETCH(int, selectedAfter);

        EditState s;
        s.clips = clips;
        s.videoDuration = 100000;
        s.editedDuration = 20000;
        s.playerPosition = at;
        s.selectedClipIndex = selected;
        const EditOutcome o = Edit::splitAtPlayhead(s);
        QVERIFY(o.changed);
        QString seen;
        for (const Clip &c : o.clips)
            seen += c.isMarked ? QLatin1Char('M') : QLatin1Char('-');
        QCOMPARE(seen, marks);
        QVERIFY(o.selectedClipIndex.has_value());
        QCOMPARE(*o.selectedClipIndex, selectedAfter);
    }

    // Parts the program named are numbered by their place, as the timeline numbers them: after
    // deletions and cuts no two parts share a name and no number is skipped. Names of the user's
    // own, and names merely starting like ours, are kept.
    void partsAreNumberedByPlace()
    {
        EditState s = stateWith({sourceClip(0, 10000, "Part 1"), sourceClip(20000, 30000, "Part 3"),
                                 sourceClip(40000, 50000, "Part 7"), sourceClip(60000, 70000, "Intro"),
                                 sourceClip(80000, 90000, "Part 2b"), sourceClip(90000, 95000, "Kept Region 1")});
        s.playerPosition = 25000;
        const EditOutcome cut = Edit::splitAtPlayhead(s);
        QStringList names;
        for (const Clip &c : cut.clips)
            names << c.name;
        QCOMPARE(names, QStringList({"Part 1", "Part 2", "Part 3", "Part 4", "Intro", "Part 2b", "Kept Region 7"}));

        EditState afterDelete = stateWith(cut.clips);
        afterDelete.clips[0].isMarked = true;
        const EditOutcome deleted = Edit::deleteSelectedClips(afterDelete);
        QCOMPARE(deleted.clips[0].name, QStringLiteral("Part 1"));
        QCOMPARE(deleted.clips[2].name, QStringLiteral("Part 3"));
        QCOMPARE(deleted.clips[5].name, QStringLiteral("Kept Region 6"));
        QCOMPARE(deleted.selectedClipIndex, std::optional<int>(-1));
    }

    void markClip_data()
    {
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("end");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<qint64>("sourceStart");
        QTest::addColumn<qint64>("sourceEnd");
        // One clip at source 10000..70000 (timeline 0..60000).
        QTest::newRow("in order") << qint64(1000) << qint64(5000) << true << qint64(11000) << qint64(15000);
        QTest::newRow("reversed points give the same clip")
            << qint64(5000) << qint64(1000) << true << qint64(11000) << qint64(15000);
        QTest::newRow("equal points refused") << qint64(3000) << qint64(3000) << false << qint64(0) << qint64(0);
    }
    void markClip()
    {
        QFETCH(qint64, start);
        QFETCH(qint64, end);
        QFETCH(bool, accepted);
        QFETCH(qint64, sourceStart);
        QFETCH(qint64, sourceEnd);
        EditState s = stateWith({sourceClip(10000, 70000, "Part 1")});
        s.selectionStart = start;
        s.selectionEnd = end;
        const EditOutcome o = Edit::markClip(s);
        QCOMPARE(o.changed, accepted);
        if (!accepted) {
            QCOMPARE(o.message->kind, Kind::Warning);
            QCOMPARE(o.message->title, QStringLiteral("Warning"));
            QCOMPARE(o.message->text, QStringLiteral("Start and end points must differ."));
            return;
        }
        QVERIFY(!o.message.has_value());
        QVERIFY(o.clearSelection);
        QVERIFY(!o.recalculated);
        QCOMPARE(o.clips.size(), 2);
        const Clip &added = o.clips.last(); // appended, not sorted
        QCOMPARE(added.name, QStringLiteral("Part 2"));
        QCOMPARE(added.originalStart, sourceStart);
        QCOMPARE(added.originalEnd, sourceEnd);
        QCOMPARE(added.startTime, qMin(start, end));
        QCOMPARE(added.endTime, qMax(start, end));
        QCOMPARE(added.color, QColor(70, 130, 180));
        QVERIFY(!added.isMarked);
    }

    void deleteSelectedReportsSingularAndLength()
    {
        EditState s = stateWith({sourceClip(0, 10000, "Part 1"), sourceClip(10000, 20000, "Part 2", true),
                                 sourceClip(20000, 45000, "Part 3")});
        const EditOutcome o = Edit::deleteSelectedClips(s);
        QVERIFY(o.changed);
        QCOMPARE(ranges(o.clips), QStringLiteral("Part 1:0-10000@0-10000, Part 2:20000-45000@10000-35000"));
        QCOMPARE(o.message->title, QStringLiteral("Parts Deleted"));
        QCOMPARE(o.message->text, QStringLiteral("1 part deleted.\n\nYour video is now 00:35 long."));

        s.clips[0].isMarked = true;
        const EditOutcome two = Edit::deleteSelectedClips(s);
        QCOMPARE(two.message->text, QStringLiteral("2 parts deleted.\n\nYour video is now 00:25 long."));
    }

    void deleteUnmarkedKeepsMarks()
    {
        EditState s = stateWith({sourceClip(0, 10000, "Part 1", true), sourceClip(10000, 20000, "Part 2"),
                                 sourceClip(30000, 32000, "Part 3", true)});
        const EditOutcome o = Edit::deleteUnmarkedClips(s);
        QCOMPARE(ranges(o.clips), QStringLiteral("Part 1:0-10000@0-10000, Part 2:30000-32000@10000-12000"));
        QVERIFY(o.clips[0].isMarked && o.clips[1].isMarked);
        QCOMPARE(o.message->title, QStringLiteral("Unmarked Sections Deleted"));
        QCOMPARE(o.message->text,
                 QStringLiteral("Kept 2 marked clip(s).\n\nNew timeline duration: 00:12\nAll unmarked sections have been permanently removed!"));
    }

    void deleteMarkedKeepsTheRestOfTheVideo()
    {
        Clip b = sourceClip(50000, 70000, "B");
        b.color = QColor(9, 9, 9);
        EditState s = stateWith({sourceClip(10000, 30000, "A", true), b}, 100000);
        const EditOutcome o = Edit::deleteMarkedClips(s);
        QVERIFY(o.changed);
        QCOMPARE(ranges(o.clips), QStringLiteral(
            "Kept Region 1:0-10000@0-10000, Kept Region 2:30000-50000@10000-30000, "
            "Kept Region 3:50000-70000@30000-50000, Kept Region 4:70000-100000@50000-80000"));
        QCOMPARE(o.clips[0].color, QColor(40, 167, 69));
        QCOMPARE(o.clips[1].color, QColor(40, 167, 69));
        QCOMPARE(o.clips[2].color, QColor(9, 9, 9));
        QCOMPARE(o.message->title, QStringLiteral("Marked Clips Deleted"));
        QCOMPARE(o.message->text,
                 QStringLiteral("Deleted 1 marked clip(s).\n\nKept 4 unmarked region(s).\nNew timeline duration: 01:20"));
    }

    void deleteMarkedWholeVideoLeavesNothing()
    {
        EditState s = stateWith({sourceClip(0, 100000, "Part 1", true)}, 100000);
        const EditOutcome o = Edit::deleteMarkedClips(s);
        QVERIFY(o.changed);
        QVERIFY(o.clips.isEmpty());
        QCOMPARE(o.editedDuration, 100000);
        QCOMPARE(o.message->text,
                 QStringLiteral("Deleted 1 marked clip(s).\n\nKept 0 unmarked region(s).\nNew timeline duration: 01:40"));
    }

    void trims()
    {
        EditState s = stateWith({sourceClip(0, 10000, "Part 1"), sourceClip(20000, 30000, "Part 2", true)});
        s.selectedClipIndex = 1;
        s.playerPosition = 25000;
        EditOutcome o = Edit::trimClipStart(s);
        QCOMPARE(ranges(o.clips), QStringLiteral("Part 1:0-10000@0-10000, Part 2:25000-30000@10000-15000"));
        QCOMPARE(o.message->title, QStringLiteral("Trim Complete"));
        // Said in the edit's time, where the display shows the new edge.
        QCOMPARE(o.message->text, QStringLiteral("Clip start trimmed to 00:10.000"));
        QCOMPARE(o.selectedClipIndex, std::optional<int>(1));
        o = Edit::trimClipEnd(s);
        QCOMPARE(ranges(o.clips), QStringLiteral("Part 1:0-10000@0-10000, Part 2:20000-25000@10000-15000"));
        QCOMPARE(o.message->text, QStringLiteral("Clip end trimmed to 00:15.000"));
    }

    // A trim moves an edge within its part or into source time no part holds; taking time
    // another part holds would keep it twice (an edit longer than its source), so it is refused
    // and names the part in the way, nearest to the moving edge first.
    void trimsNeverTakeAnotherPartsTime_data()
    {
        QTest::addColumn<QString>("edge");
        QTest::addColumn<int>("selected");
        QTest::addColumn<qint64>("at");
        QTest::addColumn<QString>("result");
        // Parts at 0-20, 20-40 and 50-60 s of a 60 s video: 20 s of the edit is the join.
        QTest::newRow("start back over both earlier parts")
            << "start" << 2 << qint64(6000) << "refused: Part 2 already holds 00:20\u201300:40.";
        QTest::newRow("start back into the free gap")
            << "start" << 2 << qint64(45000) << "Part 3:45000-60000@40000-55000";
        QTest::newRow("start back to the neighbour's end")
            << "start" << 2 << qint64(40000) << "Part 3:40000-60000@40000-60000";
        QTest::newRow("start back one millisecond into the neighbour")
            << "start" << 2 << qint64(39999) << "refused: Part 2 already holds 00:39\u201300:40.";
        QTest::newRow("end out over the later parts")
            << "end" << 0 << qint64(55000) << "refused: Part 2 already holds 00:20\u201300:40.";
        QTest::newRow("end inwards") << "end" << 1 << qint64(30000) << "Part 2:20000-30000@20000-30000";
        QTest::newRow("end out into the gap") << "end" << 1 << qint64(50000) << "Part 2:20000-50000@20000-50000";
        QTest::newRow("end out past the gap")
            << "end" << 1 << qint64(50001) << "refused: Part 3 already holds 00:40\u201300:40.";
    }
    void trimsNeverTakeAnotherPartsTime()
    {
        QFETCH(QString, edge);
        QFETCH(int, selected);
        QFETCH(qint64, at);
        QFETCH(QString, result);
        EditState s = stateWith({sourceClip(0, 20000, "Part 1"), sourceClip(20000, 40000, "Part 2"),
                                 sourceClip(50000, 60000, "Part 3")}, 60000);
        s.clips[selected].isMarked = true;
        s.selectedClipIndex = selected;
        s.playerPosition = at;
        const EditOutcome o = edge == "start" ? Edit::trimClipStart(s) : Edit::trimClipEnd(s);
        if (result.startsWith("refused: ")) {
            QVERIFY(!o.changed);
            QCOMPARE(o.message->kind, Kind::Warning);
            QCOMPARE(o.message->title, QStringLiteral("Trim Would Overlap"));
            QCOMPARE(o.message->text, result.mid(9));
            return;
        }
        QVERIFY(o.changed);
        QVERIFY(ranges(o.clips).contains(result));
        qint64 kept = 0;
        for (const Clip &c : o.clips)
            kept += c.length();
        QVERIFY(kept <= 60000);
    }

    // Trims change only a part that shows as selected: the one clicked last while it is still
    // marked, or else the only marked one. An index left over from an earlier click does not count.
    void trimActsOnThePartShownSelected_data()
    {
        QTest::addColumn<QString>("marks");
        QTest::addColumn<int>("selected");
        QTest::addColumn<int>("trimmed");
        QTest::newRow("clicked and marked") << "-M-" << 1 << 1;
        QTest::newRow("index left over, another marked") << "M--" << 2 << 0;
        QTest::newRow("index left over, nothing marked") << "---" << 1 << -1;
        QTest::newRow("several marked, the clicked one") << "MM-" << 1 << 1;
        QTest::newRow("several marked, index left over") << "M-M" << 1 << -1;
        QTest::newRow("index past the end") << "--M" << 7 << 2;
    }
    void trimActsOnThePartShownSelected()
    {
        QFETCH(QString, marks);
        QFETCH(int, selected);
        QFETCH(int, trimmed);
        EditState s = stateWith({sourceClip(0, 10000, "Part 1"), sourceClip(10000, 20000, "Part 2"),
                                 sourceClip(20000, 30000, "Part 3")}, 30000);
        for (int i = 0; i < marks.size(); ++i)
            s.clips[i].isMarked = marks[i] == QLatin1Char('M');
        s.selectedClipIndex = selected;
        s.playerPosition = 10000 * qMax(trimmed, 0) + 5000;
        const EditOutcome o = Edit::trimClipEnd(s);
        if (trimmed < 0) {
            QVERIFY(!o.changed);
            QCOMPARE(o.message->title, QStringLiteral("No Clip Selected"));
            return;
        }
        QVERIFY(o.changed);
        QCOMPARE(o.clips[trimmed].originalEnd, s.playerPosition);
        QCOMPARE(o.selectedClipIndex, std::optional<int>(trimmed));
    }

    // Delete with a range set takes that stretch of the edit out of every part it covers.
    void deleteTakesTheRange_data()
    {
        QTest::addColumn<qint64>("from");
        QTest::addColumn<qint64>("to");
        QTest::addColumn<QString>("result");
        // Parts at source 0-10 s and 20-40 s: the edit's 10 s is the join.
        QTest::newRow("inside one part")
            << qint64(2000) << qint64(4000)
            << "Part 1:0-2000@0-2000, Part 2:4000-10000@2000-8000, Part 3:20000-40000@8000-28000";
        QTest::newRow("across the join, points reversed")
            << qint64(15000) << qint64(5000) << "Part 1:0-5000@0-5000, Part 2:25000-40000@5000-20000";
        QTest::newRow("a whole part") << qint64(0) << qint64(10000) << "Part 1:20000-40000@0-20000";
        QTest::newRow("everything") << qint64(0) << qint64(30000) << "refused";
    }
    void deleteTakesTheRange()
    {
        QFETCH(qint64, from);
        QFETCH(qint64, to);
        QFETCH(QString, result);
        EditState s = stateWith({sourceClip(0, 10000, "Part 1"), sourceClip(20000, 40000, "Part 2", true)});
        s.selectionStart = from;
        s.selectionEnd = to;
        const EditOutcome o = Edit::deleteSelection(s);
        if (result == "refused") {
            QVERIFY(!o.changed);
            QCOMPARE(o.message->title, QStringLiteral("Can't Delete Everything"));
            return;
        }
        QVERIFY(o.changed);
        QCOMPARE(ranges(o.clips), result);
        QVERIFY(o.clearSelection);
        QCOMPARE(o.message->title, QStringLiteral("Range Deleted"));
        QVERIFY(o.message->text.endsWith(QStringLiteral("Your video is now %1 long.").arg(::formatTime(o.editedDuration))));

        // Without a whole range, Delete takes the marked parts as before.
        s.selectionEnd = -1;
        QCOMPARE(Edit::deleteSelection(s).message->title, QStringLiteral("Parts Deleted"));
    }

    void historyLimitsAndOrder()
    {
        EditHistory history;
        ClipList current{sourceClip(0, 60000, "Part 1")};
        const ClipList afterFirstCutBase = current;
        QList<ClipList> states{current};
        for (int i = 1; i <= 51; ++i) {
            history.saveUndoState(current);
            current.append(sourceClip(i, i + 1, QStringLiteral("Cut %1").arg(i)));
            states.append(current);
        }
        QCOMPARE(history.undoCount(), 50);
        for (int i = 0; i < 50; ++i) {
            const auto restored = history.undo(current);
            QVERIFY(restored.has_value());
            current = *restored;
            QCOMPARE(current, states[50 - i]);
        }
        QVERIFY(!history.undo(current).has_value());
        QCOMPARE(current, states[1]); // the state after the first cut
        QCOMPARE(history.redoCount(), 50);
        QVERIFY(current != afterFirstCutBase);
    }

    void redoDroppedByNewChange()
    {
        EditHistory history;
        const ClipList a{sourceClip(0, 10, "A")};
        const ClipList b{sourceClip(0, 5, "A"), sourceClip(5, 10, "B")};
        history.saveUndoState(a);
        ClipList current = *history.undo(b);
        QCOMPARE(current, a);
        history.saveUndoState(current);
        QVERIFY(!history.redo(current).has_value());
    }

    void alternatingUndoRedoStaysBounded()
    {
        EditHistory history;
        const ClipList a{sourceClip(0, 10, "A")};
        const ClipList b{sourceClip(0, 5, "A"), sourceClip(5, 10, "B")};
        history.saveUndoState(a);
        ClipList current = b;
        for (int i = 0; i < 200; ++i) {
            current = *history.undo(current);
            QCOMPARE(current, a);
            current = *history.redo(current);
            QCOMPARE(current, b);
            QVERIFY(history.undoCount() <= EditHistory::Limit);
            QVERIFY(history.redoCount() <= EditHistory::Limit);
        }
        QCOMPARE(history.undoCount(), 1);
        QCOMPARE(history.redoCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestEditing)
#include "tst_editing.moc"
