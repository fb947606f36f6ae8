#include "cliplist.h"
#include "effectsdialog.h"
#include "framecounter.h"
#include "mainwindow.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "testmedia.h"
#include "timeformat.h"
#include "timelinegeometry.h"
#include "timelinewidget.h"
#include "videoplayer.h"
#include "windowsteps.h"

#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

// The edit does what the screen shows: edits at the playhead take the frame on screen, trims
// and deletes act on what is highlighted, the keyboard alone can choose parts and step frames,
// and the paused preview shows the look of the part on screen.
class TestShownEdit : public QObject {
    Q_OBJECT
private:
    static constexpr int kFps = 25;
    static constexpr qint64 kFrameMs = 1000 / kFps;

    QTemporaryDir dir;
    QString counted; // 10 s, every picture carrying its frame number
    QString colours; // red, lime, blue, yellow: a second each
    std::unique_ptr<MainWindow> window;
    RecordingPrompts prompts;

    TimelineWidget *timeline() const { return window->timeline(); }
    QListWidget *list() const { return window->clipListWidget(); }
    VideoPlayer *player() const { return window->player(); }

    QString marks() const
    {
        QString seen;
        for (const Clip &c : window->clips())
            seen += c.isMarked ? QLatin1Char('M') : QLatin1Char('-');
        return seen;
    }
    QStringList listTexts() const
    {
        QStringList texts;
        for (int i = 0; i < list()->count(); ++i)
            texts << list()->item(i)->text();
        return texts;
    }
    QString selectedRows() const
    {
        QString seen;
        for (int i = 0; i < list()->count(); ++i)
            seen += list()->item(i)->isSelected() ? QLatin1Char('M') : QLatin1Char('-');
        return seen;
    }
    int shownNumber() const { return FrameCounter::read(player()->lastFrame()); }
    // The frame on screen once a paused seek has shown one.
    bool frameShown() const
    {
        return !player()->isPlaying() && !player()->isSeekPending() && player()->shownFrameStartUs() >= 0;
    }

    int xOn(qint64 edited) const
    {
        return int(timeToX(edited, timeline()->width(), timeline()->duration(), timeline()->zoomLevel(),
                           timeline()->scrollOffset()));
    }
    void clickTrack(qint64 edited, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::mouseClick(timeline(), Qt::LeftButton, modifiers, QPoint(xOn(edited), timeline()->height() / 2));
    }
    void clickRuler(qint64 edited)
    {
        QTest::mouseClick(timeline(), Qt::LeftButton, Qt::NoModifier, QPoint(xOn(edited), timeline()->height() - 12));
    }
    void clickRow(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, modifiers,
                          list()->visualItemRect(list()->item(row)).center());
    }
    // Through the window system's way in, as a real key comes: the window first, then the focus.
    void key(int k, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(window->windowHandle(), Qt::Key(k), modifiers);
    }
    // Until the frame starting at ms is on screen: a loaded back end now and then shows the one
    // after it, and the edits here take whatever frame is shown.
    void seekAndWait(qint64 ms)
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            WindowSteps::seekAndWait(*window, ms);
            QTRY_VERIFY_WITH_TIMEOUT(frameShown(), 30000);
            if (player()->shownFrameStartUs() / 1000 == ms)
                return;
        }
        QCOMPARE(player()->shownFrameStartUs() / 1000, ms);
    }
    void cutAt(const QList<qint64> &points)
    {
        for (qint64 p : points) {
            seekAndWait(p);
            window->splitAtPlayhead();
            QCOMPARE(prompts.last().title, QStringLiteral("Video Cut"));
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        counted = dir.filePath("counted.mp4");
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", FrameCounter::pictureSource(320, 240, kFps, 10), "-c:v",
                                      "libx264", "-preset", "ultrafast", "-g", "50", "-pix_fmt", "yuv420p", counted}));
        colours = dir.filePath("colours.mp4");
        QVERIFY(TestMedia::makeColourSecondsVideo(colours));
    }

    void init()
    {
        WindowSteps::openWindow(window, prompts);
    }

    void cleanup()
    {
        window.reset();
    }

    // Paused after playing, the player's reported position lags the picture by a frame or more;
    // the cut goes before the frame on screen, so that frame is the next part's first.
    void cutAfterPauseStartsWithTheFrameOnScreen()
    {
        WindowSteps::loadAndPause(*window, counted);
        window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(player()->isPlaying() && player()->position() > 2000, 30000);
        window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(frameShown(), 30000);
        const int number = shownNumber();
        QVERIFY(number > 0);
        QCOMPARE(player()->shownFrameStartUs() / 1000, number * kFrameMs);

        key(Qt::Key_K, Qt::ControlModifier);
        QCOMPARE(window->clips().size(), 2);
        // A frame decoded before the pause may still reach the screen while the key is handled:
        // the cut takes the frame on screen at that moment, the one before the key or after it.
        const qint64 cut = window->clips()[1].originalStart;
        const qint64 after = FrameCounter::read(player()->lastFrame()) * kFrameMs;
        QVERIFY2(cut == number * kFrameMs || cut == after,
                 qPrintable(QStringLiteral("cut at %1, frames on screen at %2 and %3").arg(cut).arg(number * kFrameMs).arg(after)));
        QCOMPARE(prompts.last().text, QStringLiteral("Video cut into 2 parts at %1").arg(formatPreciseTime(cut)));
    }

    // "," and "." step one frame each; pressed faster than frames come, every press counts
    // once and the steps end on the frame they add up to.
    void frameKeysStepExactlyOneFrame()
    {
        WindowSteps::loadAndPause(*window, counted);
        seekAndWait(2000);
        QTRY_COMPARE_WITH_TIMEOUT(shownNumber(), 50, 30000);
        for (int i = 0; i < 12; ++i)
            key(Qt::Key_Period);
        QTRY_COMPARE_WITH_TIMEOUT(shownNumber(), 62, 30000);
        for (int i = 0; i < 5; ++i)
            key(Qt::Key_Comma);
        QTRY_COMPARE_WITH_TIMEOUT(shownNumber(), 57, 30000);
        // Nothing sought late moves it on, and the time display agrees with the picture.
        QTRY_COMPARE_WITH_TIMEOUT(timeline()->position(), 57 * kFrameMs, 30000);
        QVERIFY(frameShown());
        QCOMPARE(shownNumber(), 57);
        // The Prev and Next buttons say which keys they answer to.
        QStringList tips;
        for (QPushButton *button : window->findChildren<QPushButton *>()) {
            if (button->text().contains(QStringLiteral("Prev")) || button->text().contains(QStringLiteral("Next")))
                tips << button->toolTip();
        }
        tips.sort();
        QCOMPARE(tips, QStringList({"Next frame (.)", "Previous frame (,)"}));
    }

    // A trim moves the selected part's edge only into time no other part holds: the edit can
    // never grow longer than its source.
    void trimIsRefusedOverAnotherPart()
    {
        WindowSteps::loadAndPause(*window, counted);
        cutAt({3000, 6000});
        clickTrack(8000);
        QCOMPARE(marks(), QStringLiteral("--M"));
        QCOMPARE(timeline()->currentPart(), 2);
        QCOMPARE(selectedRows(), QStringLiteral("--M"));
        clickRuler(1000);
        QTRY_VERIFY_WITH_TIMEOUT(frameShown() && qAbs(player()->position() - 1000) < 100, 30000);
        QCOMPARE(marks(), QStringLiteral("--M"));
        const ClipList before = window->clips();
        key(Qt::Key_Q);
        QCOMPARE(prompts.last().title, QStringLiteral("Trim Would Overlap"));
        QCOMPARE(prompts.last().text, QStringLiteral("Part 2 already holds 00:03\u201300:06."));
        QCOMPARE(window->clips(), before);
        QCOMPARE(window->history().undoCount(), 2);

        // Inside the part itself the trim goes ahead, said in the edit's time.
        seekAndWait(7000);
        key(Qt::Key_Q);
        QCOMPARE(prompts.last().title, QStringLiteral("Trim Complete"));
        QCOMPARE(window->clips()[2].originalStart, player()->shownFrameStartUs() / 1000);
        QCOMPARE(prompts.last().text, QStringLiteral("Clip start trimmed to %1").arg(formatPreciseTime(6000)));
        QVERIFY(window->currentEditedDuration() <= window->currentVideoDuration());
    }

    // What is highlighted in the list or on the timeline is what Delete takes, and the two
    // always highlight the same parts; a range, once set, replaces the parts' selection.
    void deleteTakesWhatIsHighlighted()
    {
        WindowSteps::loadAndPause(*window, counted);
        cutAt({3000, 6000});
        clickRow(0);
        QCOMPARE(marks(), QStringLiteral("M--"));
        QCOMPARE(window->currentSelectedClipIndex(), 0);
        QCOMPARE(timeline()->currentPart(), 0);
        clickRow(2, Qt::ControlModifier);
        QCOMPARE(marks(), QStringLiteral("M-M"));
        clickTrack(4500, Qt::ControlModifier);
        QCOMPARE(marks(), QStringLiteral("MMM"));
        QTRY_COMPARE_WITH_TIMEOUT(selectedRows(), QStringLiteral("MMM"), 5000);
        clickTrack(4500);
        QTRY_COMPARE_WITH_TIMEOUT(selectedRows(), QStringLiteral("-M-"), 5000);

        clickRow(0);
        key(Qt::Key_Delete);
        QCOMPARE(prompts.last().title, QStringLiteral("Parts Deleted"));
        QCOMPARE(window->clips().size(), 2);
        QCOMPARE(window->clips()[0].originalStart, 3000);
        QCOMPARE(listTexts(), QStringList({"Part 1 (00:00 - 00:03)", "Part 2 (00:03 - 00:07)"}));

        // A range from 1 s to 2 s of the edit: the parts lose their highlight, Delete takes the range.
        clickRow(1);
        seekAndWait(4000);
        key(Qt::Key_BracketLeft, Qt::ControlModifier);
        seekAndWait(5000);
        key(Qt::Key_BracketRight, Qt::ControlModifier);
        QCOMPARE(marks(), QStringLiteral("--"));
        QCOMPARE(selectedRows(), QStringLiteral("--"));
        QCOMPARE(timeline()->selectionStart(), 1000);
        QCOMPARE(timeline()->selectionEnd(), 2000);
        key(Qt::Key_Delete);
        QCOMPARE(prompts.last().title, QStringLiteral("Range Deleted"));
        QCOMPARE(window->currentEditedDuration(), 6000);
        QCOMPARE(window->clips().size(), 3);
        QCOMPARE(window->clips()[0].originalEnd, 4000);
        QCOMPARE(window->clips()[1].originalStart, 5000);
        QCOMPARE(timeline()->selectionStart(), -1);
        QCOMPARE(listTexts(), QStringList({"Part 1 (00:00 - 00:01)", "Part 2 (00:01 - 00:02)",
                                           "Part 3 (00:02 - 00:06)"}));
        window->undoLastAction();
        QCOMPARE(window->currentEditedDuration(), 7000);
    }

    // Without a mouse: Tab reaches the timeline and the parts list, both show they have the
    // focus, and their keys choose parts that Delete then takes.
    void keyboardAloneChoosesParts()
    {
        WindowSteps::loadAndPause(*window, counted);
        cutAt({3000, 6000});
        QVERIFY(timeline()->focusPolicy() & Qt::TabFocus);
        QVERIFY(list()->focusPolicy() & Qt::TabFocus);

        window->setFocus();
        QSet<QWidget *> reached;
        for (int i = 0; i < 40 && !(reached.contains(timeline()) && reached.contains(list())); ++i) {
            key(Qt::Key_Tab);
            reached.insert(QApplication::focusWidget());
        }
        QVERIFY(reached.contains(timeline()));
        QVERIFY(reached.contains(list()));

        timeline()->setFocus();
        QTRY_VERIFY(timeline()->hasFocus());
        const QImage ring = timeline()->grab().toImage();
        QCOMPARE(ring.pixelColor(1, timeline()->height() / 2), QColor(0x5a, 0xa0, 0xf2));
        key(Qt::Key_Home);
        QCOMPARE(marks(), QStringLiteral("M--"));
        key(Qt::Key_Right);
        key(Qt::Key_Right);
        QCOMPARE(marks(), QStringLiteral("--M"));
        key(Qt::Key_Left, Qt::ControlModifier);
        QCOMPARE(marks(), QStringLiteral("-MM"));
        QVERIFY(!player()->isPlaying());
        QCOMPARE(selectedRows(), QStringLiteral("-MM"));

        list()->setFocus();
        QTRY_VERIFY(list()->hasFocus());
        key(Qt::Key_Up);
        QCOMPARE(marks(), QStringLiteral("M--"));
        key(Qt::Key_Down);
        QCOMPARE(marks(), QStringLiteral("-M-"));
        key(Qt::Key_Space);
        QVERIFY(!player()->isPlaying());
        QCOMPARE(marks(), QStringLiteral("-M-"));
        key(Qt::Key_Delete);
        QCOMPARE(prompts.last().title, QStringLiteral("Parts Deleted"));
        QCOMPARE(window->clips().size(), 2);
        QCOMPARE(window->clips()[1].originalStart, 6000);
    }

    // Paused, the preview shows the effects of the part whose frame is on screen, and takes
    // up an undo at once.
    void pausedPreviewFollowsThePartOnScreen()
    {
        WindowSteps::loadAndPause(*window, colours);
        cutAt({1000, 2000});
        window->handleClipClicked(0);
        prompts.dialogHandler = [](QDialog &dialog) {
            for (QCheckBox *box : dialog.findChildren<QCheckBox *>()) {
                if (box->text().startsWith(QStringLiteral("Grayscale")))
                    box->setChecked(true);
            }
            for (QPushButton *button : dialog.findChildren<QPushButton *>()) {
                if (button->text() == QStringLiteral("Apply Effects"))
                    button->click();
            }
            return dialog.result();
        };
        window->setClipEffects();
        QVERIFY(window->clips()[0].grayscale);

        seekAndWait(480);
        QTRY_VERIFY_WITH_TIMEOUT(player()->isFrameProcessingEnabled(), 10000);
        seekAndWait(1480);
        QTRY_VERIFY_WITH_TIMEOUT(!player()->isFrameProcessingEnabled(), 10000);
        QVERIFY(!player()->clipForEffects().grayscale);
        // The frame at 2 s is the third part's first, not the second part's end.
        seekAndWait(2000);
        QVERIFY(!player()->isFrameProcessingEnabled());
        seekAndWait(480);
        QTRY_VERIFY_WITH_TIMEOUT(player()->isFrameProcessingEnabled(), 10000);
        QVERIFY(player()->clipForEffects().grayscale);

        window->undoLastAction();
        QVERIFY(!window->clips()[0].grayscale);
        QTRY_VERIFY_WITH_TIMEOUT(!player()->isFrameProcessingEnabled(), 10000);
        window->redoLastAction();
        QTRY_VERIFY_WITH_TIMEOUT(player()->isFrameProcessingEnabled() && player()->clipForEffects().grayscale, 10000);
    }
};

TRIMLET_TEST_MAIN(TestShownEdit)
#include "tst_shownedit.moc"
