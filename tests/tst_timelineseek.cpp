#include "audiowaveform.h"
#include "cliplist.h"
#include "findwidgets.h"
#include "mainwindow.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "testmedia.h"
#include "windowsteps.h"
#include "timeformat.h"
#include "timelinegeometry.h"
#include "timelinewidget.h"
#include "videoplayer.h"

#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

// Seeking by mouse on the timeline and the waveform strip, through the real window.
class TestTimelineSeek : public QObject {
    Q_OBJECT
private:
    // Two frames at 25 fps: where a paused seek may land.
    static constexpr qint64 kTolerance = 80;

    QTemporaryDir dir;
    QString video; // 10 s
    std::unique_ptr<MainWindow> window;
    RecordingPrompts prompts;

    TimelineWidget *timeline() const { return window->timeline(); }
    AudioWaveform *waveform() const { return window->findChild<AudioWaveform *>(); }
    QPushButton *button(const QString &text) const { return FindWidgets::byText<QPushButton>(*window, text); }
    QString marks() const
    {
        QString seen;
        for (const Clip &c : window->clips())
            seen += c.isMarked ? QLatin1Char('M') : QLatin1Char('-');
        return seen;
    }

    void loadAndWait()
    {
        WindowSteps::loadAndPause(*window, video);
    }
    void seekAndWait(qint64 ms)
    {
        WindowSteps::seekAndWait(*window, ms);
        // The playhead is drawn where the window last heard the player was.
        const qint64 edited = sourceToTimelineOrSame(window->clips(), ms);
        QTRY_VERIFY_WITH_TIMEOUT(qAbs(timeline()->position() - edited) < 50, 5000);
    }

    // Where a widget draws an edited time, and the source time a press there must reach.
    int xOn(QWidget *target, qint64 edited) const
    {
        if (target == timeline())
            return int(timeToX(edited, target->width(), timeline()->duration(), timeline()->zoomLevel(),
                               timeline()->scrollOffset()));
        return int(timeToX(edited, target->width(), waveform()->duration(), 1));
    }
    qint64 sourceUnder(QWidget *target, int x) const
    {
        const qint64 edited = target == timeline()
            ? xToTime(x, target->width(), timeline()->duration(), timeline()->zoomLevel(), timeline()->scrollOffset())
            : xToTime(x, target->width(), waveform()->duration(), 1);
        return timelineToSource(window->clips(), edited, window->currentEditedDuration());
    }
    bool playerNear(qint64 source) const { return qAbs(window->player()->position() - source) <= kTolerance; }
    QByteArray playerReport(qint64 source) const
    {
        return QStringLiteral("player at %1, expected %2").arg(window->player()->position()).arg(source).toUtf8();
    }

    // Keeps 0..3 s and 6..10 s of the source: the edit is 7 s long and its second part
    // starts at 3 s of the edit, 6 s of the file.
    void cutOutTheMiddle()
    {
        seekAndWait(3000);
        window->splitAtPlayhead();
        seekAndWait(6000);
        window->splitAtPlayhead();
        window->handleClipClicked(1);
        window->deleteSelectedClips();
        QCOMPARE(prompts.last().title, QStringLiteral("Parts Deleted"));
        QCOMPARE(window->clips().size(), 2);
        QVERIFY(qAbs(window->clips()[1].originalStart - 6000) < 50);
        QCOMPARE(marks(), QStringLiteral("--"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        video = dir.filePath("ten seconds.mp4");
        QVERIFY(TestMedia::makeVideo(video, {10, 320, 240, 25, true, {}}));
    }

    void init()
    {
        WindowSteps::openWindow(window, prompts);
    }

    void cleanup()
    {
        window.reset();
    }

    // A press seeks to the edited time under the pointer and a drag scrubs; only a
    // press on a part in the track selects that part.
    void pressAndDragSeek_data()
    {
        QTest::addColumn<QString>("area");
        QTest::addColumn<QString>("selected");
        QTest::newRow("track") << "track" << "-M";
        QTest::newRow("ruler") << "ruler" << "--";
        QTest::newRow("waveform") << "waveform" << "--";
    }

    void pressAndDragSeek()
    {
        QFETCH(QString, area);
        QFETCH(QString, selected);

        loadAndWait();
        cutOutTheMiddle();
        QWidget *target = area == "waveform" ? static_cast<QWidget *>(waveform()) : timeline();
        QVERIFY(target);
        QCOMPARE(waveform()->duration(), window->currentEditedDuration());
        const int y = area == "track" ? target->height() / 2
            : area == "ruler"         ? target->height() - 12
                                      : target->height() / 2;

        // 4.5 s of the edit is 7.5 s of the file, inside the second part.
        const int pressX = xOn(target, 4500);
        const qint64 pressSource = sourceUnder(target, pressX);
        QVERIFY(qAbs(pressSource - 7500) < 100);
        QTest::mousePress(target, Qt::LeftButton, Qt::NoModifier, QPoint(pressX, y));
        QTRY_VERIFY2_WITH_TIMEOUT(playerNear(pressSource), playerReport(pressSource), 5000);
        QCOMPARE(marks(), selected);
        QVERIFY(!timeline()->isDraggingPlayhead());

        for (qint64 edited : {1500, 5500, 2900}) {
            const int x = xOn(target, edited);
            const qint64 source = sourceUnder(target, x);
            QTest::mouseMove(target, QPoint(x, y));
            QTRY_VERIFY2_WITH_TIMEOUT(playerNear(source), playerReport(source), 5000);
        }
        QTest::mouseRelease(target, Qt::LeftButton, Qt::NoModifier, QPoint(xOn(target, 2900), y));
        QCOMPARE(marks(), selected);
        QCOMPARE(window->clipListWidget()->currentRow(), selected == "-M" ? 1 : -1);
    }

    void draggingTheHandleSelectsNothing()
    {
        loadAndWait();
        seekAndWait(2000);
        const int y = timeline()->height() / 6;
        QTest::mousePress(timeline(), Qt::LeftButton, Qt::NoModifier, QPoint(xOn(timeline(), 2000), y));
        QVERIFY(timeline()->isDraggingPlayhead());
        for (qint64 edited : {5000, 8000, 1000}) {
            const int x = xOn(timeline(), edited);
            const qint64 source = sourceUnder(timeline(), x);
            QTest::mouseMove(timeline(), QPoint(x, y));
            QTRY_VERIFY2_WITH_TIMEOUT(playerNear(source), playerReport(source), 5000);
            QCOMPARE(marks(), QStringLiteral("-"));
        }
        QTest::mouseRelease(timeline(), Qt::LeftButton, Qt::NoModifier, QPoint(xOn(timeline(), 1000), y));
        QVERIFY(!timeline()->isDraggingPlayhead());
        QCOMPARE(marks(), QStringLiteral("-"));
        QCOMPARE(window->currentSelectedClipIndex(), -1);
        QCOMPARE(window->clipListWidget()->currentRow(), -1);
    }

    // The part was selected, the playhead dragged and the part cut there: neither half
    // is selected, so deleting needs a choice, and the chosen half goes.
    void cutAfterDraggingDeletesTheChosenHalf()
    {
        loadAndWait();
        const qint64 total = window->currentEditedDuration();
        const int trackY = timeline()->height() / 2;
        QTest::mouseClick(timeline(), Qt::LeftButton, Qt::NoModifier, QPoint(xOn(timeline(), 1000), trackY));
        QCOMPARE(marks(), QStringLiteral("M"));
        QCOMPARE(window->currentSelectedClipIndex(), 0);
        const qint64 clicked = sourceUnder(timeline(), xOn(timeline(), 1000));
        QTRY_VERIFY2_WITH_TIMEOUT(playerNear(clicked), playerReport(clicked), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(qAbs(timeline()->position() - clicked) < 50, 5000);

        const int handleY = timeline()->height() / 6;
        QTest::mousePress(timeline(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(xOn(timeline(), timeline()->position()), handleY));
        QVERIFY(timeline()->isDraggingPlayhead());
        const int dropX = xOn(timeline(), 4000);
        const qint64 drop = sourceUnder(timeline(), dropX);
        QTest::mouseMove(timeline(), QPoint(dropX, handleY));
        QTest::mouseRelease(timeline(), Qt::LeftButton, Qt::NoModifier, QPoint(dropX, handleY));
        QTRY_VERIFY2_WITH_TIMEOUT(playerNear(drop), playerReport(drop), 5000);

        // The cut goes before the frame on screen.
        QTRY_VERIFY_WITH_TIMEOUT(!window->player()->isSeekPending() && window->player()->shownFrameStartUs() >= 0, 5000);
        const qint64 cut = window->player()->shownFrameStartUs() / 1000;
        QVERIFY(qAbs(cut - drop) <= kTolerance);
        QTest::mouseClick(button("Cut Here"), Qt::LeftButton);
        QCOMPARE(prompts.last().title, QStringLiteral("Video Cut"));
        QCOMPARE(prompts.last().text, QStringLiteral("Video cut into 2 parts at %1").arg(formatPreciseTime(cut)));
        QCOMPARE(window->clips().size(), 2);
        QCOMPARE(window->clips()[0].originalEnd, cut);
        QCOMPARE(marks(), QStringLiteral("--"));
        QCOMPARE(window->currentSelectedClipIndex(), -1);
        QCOMPARE(window->clipListWidget()->currentRow(), -1);

        QTest::mouseClick(button("Delete Selected"), Qt::LeftButton);
        QCOMPARE(prompts.last().title, QStringLiteral("No Part Selected"));
        QCOMPARE(window->clips().size(), 2);

        // The second half, where the timeline draws it.
        QTest::mouseClick(timeline(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(xOn(timeline(), (cut + total) / 2), trackY));
        QCOMPARE(marks(), QStringLiteral("-M"));
        QTest::mouseClick(button("Delete Selected"), Qt::LeftButton);
        QCOMPARE(prompts.last().title, QStringLiteral("Parts Deleted"));
        QCOMPARE(prompts.last().text,
                 QStringLiteral("1 part deleted.\n\nYour video is now %1 long.").arg(formatTime(cut)));
        QCOMPARE(window->clips().size(), 1);
        QCOMPARE(window->clips()[0].originalStart, 0);
        QCOMPARE(window->clips()[0].originalEnd, cut);
        QCOMPARE(window->currentEditedDuration(), cut);
        // The strip under the video maps the shorter edit, and the longer one after undo.
        QCOMPARE(waveform()->duration(), cut);
        window->undoLastAction();
        QCOMPARE(waveform()->duration(), total);
    }
};

TRIMLET_TEST_MAIN(TestTimelineSeek)
#include "tst_timelineseek.moc"
