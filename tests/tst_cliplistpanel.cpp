#include "cliplist.h"
#include "cliplistpanel.h"
#include "edithistory.h"
#include "editoperations.h"
#include "timeformat.h"

#include <QListWidget>
#include <QtTest>

namespace {

constexpr qint64 kDuration = 3 * 3600 * 1000;

ClipList evenParts(int count)
{
    ClipList clips;
    for (int i = 0; i < count; ++i) {
        Clip clip;
        clip.originalStart = kDuration * i / count;
        clip.originalEnd = kDuration * (i + 1) / count;
        clip.name = QStringLiteral("Part %1").arg(i + 1);
        clips.append(clip);
    }
    recalculateTimeline(clips);
    return clips;
}

QList<QListWidgetItem *> items(const QListWidget &list)
{
    QList<QListWidgetItem *> all;
    for (int row = 0; row < list.count(); ++row)
        all.append(list.item(row));
    return all;
}

} // namespace

class TestClipListPanel : public QObject {
    Q_OBJECT

    // Each row as a list built anew would show it.
    static void verifyRows(const QListWidget &list, const ClipList &clips)
    {
        QCOMPARE(list.count(), clips.size());
        for (int row = 0; row < clips.size(); ++row) {
            const Clip &clip = clips[row];
            const QListWidgetItem *item = list.item(row);
            QCOMPARE(item->text(), QStringLiteral("%1 (%2 - %3)")
                                       .arg(clip.name, formatTime(clip.startTime), formatTime(clip.endTime)));
            QCOMPARE(item->font().bold(), clip.isMarked);
            QCOMPARE(item->foreground().color(), clip.isMarked ? QColor(Qt::white) : QColor(200, 200, 200));
            QCOMPARE(item->background().style() != Qt::NoBrush, clip.isMarked);
        }
        // The selection shows the marked parts, so the list highlights what the timeline does.
        QCOMPARE(list.currentRow(), -1);
        for (int row = 0; row < clips.size(); ++row)
            QCOMPARE(list.item(row)->isSelected(), clips[row].isMarked);
    }

private slots:
    void followsEditsUndoAndRedoOfManyParts()
    {
        QListWidget list;
        ClipListPanel panel(&list);
        EditState state;
        state.clips = evenParts(2000);
        state.videoDuration = state.editedDuration = kDuration;
        panel.show(state.clips);
        verifyRows(list, state.clips);

        EditHistory history;
        auto apply = [&](const EditOutcome &outcome) {
            QVERIFY(outcome.changed);
            history.saveUndoState(state.clips);
            state.clips = outcome.clips;
            panel.show(state.clips);
        };

        // A cut rewrites its part's row and adds one; every other row keeps its item, those after
        // the cut only taking their new numbers.
        const QList<QListWidgetItem *> before = items(list);
        state.playerPosition = state.clips[1000].originalStart + 100;
        apply(Edit::splitAtPlayhead(state));
        verifyRows(list, state.clips);
        const QList<QListWidgetItem *> after = items(list);
        QCOMPARE(after.mid(0, 1001), before.mid(0, 1001));
        QCOMPARE(after.mid(1002), before.mid(1001));

        list.setCurrentRow(7);
        QVERIFY(applyClipClick(state.clips, 5, false));
        QVERIFY(applyClipClick(state.clips, 1500, true));
        panel.show(state.clips);
        verifyRows(list, state.clips);
        apply(Edit::deleteSelectedClips(state));
        verifyRows(list, state.clips);
        QVERIFY(applyClipClick(state.clips, 1998, false));
        panel.show(state.clips);
        apply(Edit::deleteUnmarkedClips(state));
        verifyRows(list, state.clips);
        QCOMPARE(list.count(), 1);

        const ClipList newest = state.clips;
        while (const std::optional<ClipList> restored = history.undo(state.clips)) {
            state.clips = *restored;
            panel.show(state.clips);
            verifyRows(list, state.clips);
        }
        QCOMPARE(list.count(), 2000);
        while (const std::optional<ClipList> restored = history.redo(state.clips)) {
            state.clips = *restored;
            panel.show(state.clips);
            verifyRows(list, state.clips);
        }
        QCOMPARE(state.clips, newest);
    }
};

QTEST_MAIN(TestClipListPanel)
#include "tst_cliplistpanel.moc"
