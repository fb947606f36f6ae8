#include "audiowaveform.h"
#include "findwidgets.h"
#include "mainwindow.h"
#include "noticebanner.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "testmedia.h"
#include "windowsteps.h"
#include "timeformat.h"
#include "timelinewidget.h"
#include "videoglwidget.h"
#include "videoplayer.h"

#include <QAudioOutput>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>

using Kind = UserPrompts::Kind;

namespace {

// Whether the screen shows the widget as it draws itself: nothing covers it.
bool shownOnScreen(QWidget *widget)
{
    const QImage drawn = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect area(widget->mapToGlobal(QPoint(0, 0)), widget->size());
    const QImage seen = widget->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                            .toImage()
                            .convertToFormat(QImage::Format_RGB32);
    if (seen.size() != drawn.size())
        return false;
    qsizetype alike = 0;
    for (int y = 0; y < seen.height(); ++y) {
        for (int x = 0; x < seen.width(); ++x) {
            const QRgb a = seen.pixel(x, y);
            const QRgb b = drawn.pixel(x, y);
            alike += qAbs(qRed(a) - qRed(b)) <= 8 && qAbs(qGreen(a) - qGreen(b)) <= 8 && qAbs(qBlue(a) - qBlue(b)) <= 8;
        }
    }
    return alike >= seen.width() * seen.height() * 9 / 10;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;
    QString video;          // 6 s with audio
    QString longVideo;      // 20 s for the editing scenario

    std::unique_ptr<MainWindow> window;
    RecordingPrompts prompts;

    QLabel *label(const char *name) const { return window->findChild<QLabel *>(QLatin1String(name)); }
    QPushButton *button(const QString &text) const { return FindWidgets::byText<QPushButton>(*window, text); }
    QStringList listTexts() const
    {
        QStringList texts;
        for (int i = 0; i < window->clipListWidget()->count(); ++i)
            texts << window->clipListWidget()->item(i)->text();
        return texts;
    }
    void loadAndWait(const QString &path)
    {
        WindowSteps::loadAndPause(*window, path);
    }
    void seekAndWait(qint64 ms)
    {
        WindowSteps::seekAndWait(*window, ms);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        video = dir.filePath("sample clip.mp4");
        QVERIFY(TestMedia::makeVideo(video, {6, 320, 240, 25, true, {}}));
        longVideo = dir.filePath("long.mp4");
        QVERIFY(TestMedia::makeVideo(longVideo, {20, 320, 240, 25, true, {}}));
    }

    void init()
    {
        WindowSteps::openWindow(window, prompts);
        // The status line says "Checking encoders…" until the probe ends, which takes longer
        // than the welcome's second on a busy machine.
        QTRY_VERIFY_WITH_TIMEOUT(window->encoders(), 60000);
    }

    void cleanup()
    {
        window.reset();
        prompts.messageBoxHandler = nullptr;
    }

    void startsWithoutVideo()
    {
        QCOMPARE(window->windowTitle(), QStringLiteral("Trimlet - Simple Video Editor"));
        QVERIFY(!window->windowIcon().isNull());
        QVERIFY(label("dropHintLabel")->isVisible());
        QCOMPARE(label("dropHintLabel")->text(), QStringLiteral("Drop your video here or click to browse"));
        QVERIFY(!label("statusLabel")->isVisible());
        QCOMPARE(label("timeLabel")->text(), QStringLiteral("00:00 / 00:00"));
        QVERIFY(window->clips().isEmpty());

        window->playPause();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Information);
        QCOMPARE(prompts.last().title, QStringLiteral("No Video"));
        QCOMPARE(prompts.last().text, QStringLiteral("Please load a video first."));
    }

    void openVideoUsesTheFileDialog()
    {
        window->openVideo(); // cancelled: nothing happens
        QCOMPARE(prompts.fileRequests.size(), 1);
        QCOMPARE(prompts.fileRequests[0].caption, QStringLiteral("Open Video File"));
        const QString filter = prompts.fileRequests[0].filter;
        QVERIFY2(filter.startsWith(QStringLiteral("Video Files (*.mp4 *.mov *.mkv *.avi *.webm *.m4v ")), qPrintable(filter));
        QVERIFY2(filter.endsWith(QStringLiteral(");;All files (*)")), qPrintable(filter));
        for (const char *pattern : {"*.ts", "*.mts", "*.m2ts", "*.3gp", "*.mpg", "*.flv", "*.wmv"})
            QVERIFY2(filter.section(QStringLiteral(";;"), 0, 0).split(QRegularExpression("[ ()]")).contains(pattern),
                     pattern);
        QVERIFY(window->currentVideo().isEmpty());

        prompts.openAnswers << video;
        window->openVideo();
        QCOMPARE(window->currentVideo(), video);
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 15000);
    }

    void loadingShowsTheVideoAndItsFirstClip()
    {
        window->loadVideo(video);
        QCOMPARE(window->windowTitle(), QStringLiteral("Trimlet - sample clip.mp4"));
        QVERIFY(!label("dropHintLabel")->isVisible());
        QVERIFY(label("statusLabel")->isVisible());
        QCOMPARE(label("statusLabel")->text(), QStringLiteral("Ready | CPU"));
        // Play was asked for while the media loads: queued, and the button says so.
        QCOMPARE(button("Pause") != nullptr, true);

        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 15000);
        const Clip first = window->clips().first();
        QCOMPARE(first.name, QStringLiteral("Part 1"));
        QCOMPARE(first.originalStart, 0);
        QVERIFY(qAbs(first.originalEnd - 6000) < 200);
        QCOMPARE(first.endTime, first.originalEnd);
        QCOMPARE(window->currentEditedDuration(), first.endTime);
        QCOMPARE(window->timeline()->duration(), first.endTime);
        QCOMPARE(window->clipListWidget()->count(), 1);
        QVERIFY(window->clipListWidget()->item(0)->text().startsWith("Part 1 (00:00 - 00:0"));
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->isPlaying(), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->framesReceived() > 0, 15000);
        QVERIFY(prompts.messages.isEmpty() || prompts.last().kind != Kind::Critical);
    }

    void badFilesSayWhyAndReturnToNoVideo_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing file") << "missing";
        QTest::newRow("random bytes named mp4") << "garbage";
        QTest::newRow("audio only") << "audio";
    }
    void badFilesSayWhyAndReturnToNoVideo()
    {
        QFETCH(QString, kind);
        QString path = dir.filePath(kind + ".mp4");
        if (kind == "garbage") {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QByteArray bytes(64 * 1024, '\0');
            for (int i = 0; i < bytes.size(); ++i)
                bytes[i] = char((i * 7919 + 13) % 251);
            f.write(bytes);
        } else if (kind == "audio") {
            path = dir.filePath("tone.m4a");
            QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "sine=d=2", "-c:a", "aac", path}));
        }
        window->loadVideo(path);
        QTRY_VERIFY_WITH_TIMEOUT(!prompts.messages.isEmpty() && prompts.last().kind == Kind::Critical, 15000);
        QCOMPARE(prompts.last().title, QStringLiteral("Cannot Open Video"));
        QVERIFY2(prompts.last().text.contains(QFileInfo(path).fileName()), qPrintable(prompts.last().text));
        QVERIFY(window->currentVideo().isEmpty());
        QVERIFY(label("dropHintLabel")->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("Trimlet - Simple Video Editor"));
        QVERIFY(window->clips().isEmpty());
        QVERIFY(button("Play"));
        // A good video still loads afterwards.
        window->loadVideo(video);
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 15000);
    }

    void dropLoadsOnlyTheFirstLocalFile()
    {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(video), QUrl::fromLocalFile(longVideo)});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &drop);
        QTRY_COMPARE(window->currentVideo(), video); // opened once the drop has ended

        QMimeData remote;
        remote.setUrls({QUrl("https://example.org/video.mp4")});
        QDropEvent remoteDrop(QPointF(10, 10), Qt::CopyAction, &remote, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &remoteDrop);
        QCOMPARE(window->currentVideo(), video);
    }

    void arrowKeysSkipAndRepeatWhileHeld()
    {
        loadAndWait(video);
        seekAndWait(0);
        window->activateWindow();
        QTest::keyPress(window.get(), Qt::Key_Right);
        // Paused: one second at once, shown on the timeline and as a bare time.
        QCOMPARE(window->timeline()->position(), 1000);
        QCOMPARE(label("timeLabel")->text(), QStringLiteral("00:01"));
        // Held: the repeat timer keeps skipping.
        QTRY_VERIFY_WITH_TIMEOUT(window->timeline()->position() >= 3000, 5000);
        QTest::keyRelease(window.get(), Qt::Key_Right);
        const qint64 stopped = window->timeline()->position();
        QTest::qWait(700);
        QCOMPARE(window->timeline()->position(), stopped);

        // Left arrows in another widget still skip the video and never reach that widget.
        QLineEdit edit;
        edit.show();
        QSignalSpy cursor(&edit, &QLineEdit::cursorPositionChanged);
        edit.setText("abc");
        cursor.clear();
        QTest::keyPress(&edit, Qt::Key_Left);
        QTest::keyRelease(&edit, Qt::Key_Left);
        QCOMPARE(cursor.count(), 0);
        QCOMPARE(window->timeline()->position(), stopped - 1000);
    }

    // What the user sees after seeking while paused is the frame at the new position.
    void seekWhilePausedShowsTheNewFrame()
    {
        const QString twoColours = dir.filePath("red then blue.mp4");
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "color=c=red:s=320x240:r=25:d=3", "-f", "lavfi",
                                      "-i", "color=c=blue:s=320x240:r=25:d=3", "-filter_complex",
                                      "[0:v][1:v]concat=n=2:v=1[v]", "-map", "[v]", "-c:v", "libx264",
                                      "-preset", "ultrafast", "-pix_fmt", "yuv420p", twoColours}));
        loadAndWait(twoColours);
        seekAndWait(1000);
        auto *stack = window->findChild<QStackedWidget *>("videoStack");
        const auto shownColour = [&]() {
            const QPoint centre = stack->mapTo(window.get(), stack->rect().center());
            const QImage shot = window->screen()->grabWindow(window->winId(), centre.x() - 2, centre.y() - 2, 4, 4)
                                    .toImage();
            return shot.isNull() ? QColor() : shot.pixelColor(2, 2);
        };
        QTRY_VERIFY_WITH_TIMEOUT(shownColour().red() > 180 && shownColour().blue() < 80, 5000);
        seekAndWait(4500);
        QTRY_VERIFY_WITH_TIMEOUT(shownColour().blue() > 180 && shownColour().red() < 80, 5000);
        QVERIFY(!window->player()->isPlaying());
    }

    void volumeAndMute()
    {
        QPushButton *mute = button("Volume");
        QVERIFY(mute);
        window->toggleMute();
        QCOMPARE(mute->text(), QStringLiteral("Mute"));
        QVERIFY(window->player()->isMuted());
        window->toggleMute();
        QCOMPARE(mute->text(), QStringLiteral("Vol"));
        QVERIFY(!window->player()->isMuted());
        window->adjustVolume(50);
        QCOMPARE(window->player()->audioOutput()->volume(), 0.5f);
    }

    void zoomIsClamped()
    {
        for (int i = 0; i < 11; ++i)
            window->zoomTimelineIn();
        QCOMPARE(window->timeline()->zoomLevel(), 10);
        for (int i = 0; i < 15; ++i)
            window->zoomTimelineOut();
        QCOMPARE(window->timeline()->zoomLevel(), 1);
    }

    // At the first start the welcome comes before a video opened at once plays, never over it;
    // later starts go without it.
    void welcomeOnceAndNeverOverAPlayingVideo()
    {
        window.reset();
        QSettings().remove(QStringLiteral("welcome/show"));
        prompts.clear();
        int shown = 0;
        bool playingBehind = true;
        prompts.messageBoxHandler = [&](QDialog &) {
            ++shown;
            playingBehind = window->player()->isPlaying();
            return int(QDialog::Accepted);
        };
        window = std::make_unique<MainWindow>();
        window->setUserPrompts(&prompts);
        window->show();
        window->loadVideo(video);
        QCOMPARE(shown, 1);
        QVERIFY(!playingBehind);
        const RecordingPrompts::Message welcome = prompts.messages.first();
        QCOMPARE(welcome.kind, Kind::Information);
        QCOMPARE(welcome.title, QStringLiteral("Welcome to Trimlet!"));
        QVERIFY(welcome.text.startsWith("Simple Video Editor for Everyone\n\nHOW TO USE:\n\n1. Drag your video here"));
        QVERIFY(welcome.text.endsWith("That's it! No manual needed."));
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->isPlaying(), 30000);
        QVERIFY(window->hasGreeted());

        // Asked for while the video plays, it holds the video until it is closed.
        window->showWelcome();
        QCOMPARE(shown, 2);
        QVERIFY(!playingBehind);
        QVERIFY(window->player()->isPlaying());

        window.reset();
        window = std::make_unique<MainWindow>();
        window->setUserPrompts(&prompts);
        window->show();
        QTRY_VERIFY_WITH_TIMEOUT(window->hasGreeted(), 5000);
        QCOMPARE(shown, 2);
    }

    void fullScreenSwitchesPages()
    {
        auto *pages = window->findChild<QStackedWidget *>("pageStack");
        window->toggleFullScreen();
        QVERIFY(window->isFullScreenMode());
        QCOMPARE(pages->currentIndex(), 1);
        window->toggleFullScreen();
        QVERIFY(!window->isFullScreenMode());
        QCOMPARE(pages->currentIndex(), 0);
    }

    void processingModeSwitchesBothStacks()
    {
        auto *stack = window->findChild<QStackedWidget *>("videoStack");
        auto *fullStack = window->findChild<QStackedWidget *>("fullScreenVideoStack");
        QCOMPARE(stack->currentIndex(), 0);
        window->player()->setFrameProcessingEnabled(true);
        QCOMPARE(stack->currentIndex(), 1);
        // The full-screen displays, made when first needed, start in the mode in force.
        window->toggleFullScreen();
        QCOMPARE(fullStack->currentIndex(), 1);
        QVERIFY(fullStack->currentWidget()->inherits("ProcessedVideoDisplay"));
        window->player()->setFrameProcessingEnabled(false);
        QCOMPARE(stack->currentIndex(), 0);
        QCOMPARE(fullStack->currentIndex(), 0);
        QVERIFY(fullStack->currentWidget()->inherits("VideoGLWidget"));
        window->toggleFullScreen();
        window->player()->setFrameProcessingEnabled(true);
        QCOMPARE(fullStack->currentIndex(), 1);
    }

    // The last part runs to the end of the file: however the end is met, the
    // playhead goes back to the first part's start and the button reads Play.
    void playingToTheEndOfTheFileReturnsToTheStart()
    {
        loadAndWait(video);
        seekAndWait(4800);
        window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->isPlaying(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!window->player()->isPlaying(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->position() < 1000, 5000);
        QVERIFY(button("Play"));
        // Still there once the back end has settled.
        QTest::qWait(500);
        QVERIFY(window->player()->position() < 1000);
    }

    void confirmationsAreNoticesAndRefusalsBoxes()
    {
        loadAndWait(video);
        seekAndWait(2000);
        window->splitAtPlayhead();
        QCOMPARE(prompts.last().title, QStringLiteral("Video Cut"));
        QVERIFY(prompts.last().notice);
        // A refusal is a box even when it only informs: nothing was done.
        window->deleteSelectedClips();
        QCOMPARE(prompts.last().title, QStringLiteral("No Part Selected"));
        QVERIFY(!prompts.last().notice);

        // The window's own notice: shown over the window, never focused, gone by itself.
        window->setUserPrompts(nullptr);
        window->show();
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        seekAndWait(3000);
        window->splitAtPlayhead();
        NoticeBanner *banner = window->noticeBanner();
        QVERIFY(banner->isVisible());
        QCOMPARE(banner->title(), QStringLiteral("Video Cut"));
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        QVERIFY(window->isActiveWindow());
        QVERIFY(!banner->hasFocus());
        // On screen over the video, which has a native window of its own, and with the window
        // when it moves. A slow machine may outlast the notice: it is shown again then.
        const auto keptUp = [banner, title = banner->title(), text = banner->message()] {
            if (!banner->isVisible())
                banner->showNotice(title, text);
            return banner;
        };
        QTRY_VERIFY(shownOnScreen(keptUp()));
        const QPoint placed = banner->pos();
        window->move(window->pos() + QPoint(30, 20));
        QTRY_COMPARE(keptUp()->pos(), placed + QPoint(30, 20));
        QTRY_VERIFY_WITH_TIMEOUT(!banner->isVisible(), 3 * NoticeBanner::shownMs);
        window->setUserPrompts(&prompts);
    }

    void everyControlReachableOnASmallScreen()
    {
        window->show();
        QVERIFY2(window->minimumSizeHint().width() <= 1024 && window->minimumSizeHint().height() <= 600,
                 qPrintable(QStringLiteral("%1x%2").arg(window->minimumSizeHint().width())
                                .arg(window->minimumSizeHint().height())));
        window->resize(1024, 600);
        QTRY_COMPARE(window->size(), QSize(1024, 600));
        for (const char *text : {"Open Video", "◄ Prev", "Play", "Next ►", "Volume", "Fullscreen", "Cut Here",
                                 "Delete Selected", "Title", "Add Effects", "Save Video"}) {
            QPushButton *b = button(QString::fromUtf8(text));
            QVERIFY2(b, text);
            const QRect place(b->mapTo(window.get(), QPoint()), b->size());
            QVERIFY2(window->rect().contains(place), text);
            // Its words are not cut.
            QVERIFY2(b->width() > b->fontMetrics().horizontalAdvance(b->text()), text);
        }
        QVERIFY(window->rect().contains(QRect(window->timeline()->mapTo(window.get(), QPoint()),
                                              window->timeline()->size())));
        QVERIFY(window->clipListWidget()->height() >= 60);
    }

    void emptyVideoAreaOpensTheFileDialog()
    {
        window->show();
        // Out of the hint's way until a video loads, the display has its context all the same:
        // making it with the first video would hold that up.
        QTRY_VERIFY(window->findChild<VideoGLWidget *>() && window->findChild<VideoGLWidget *>()->isValid());
        QVERIFY(!window->findChild<VideoGLWidget *>()->isVisible());
        QVERIFY(window->findChild<QLabel *>(QStringLiteral("dropHintLabel"))->isVisible());
        QWidget *area = window->videoWrapperWidget();
        QTest::mouseClick(area, Qt::LeftButton, {}, area->rect().center());
        QTRY_COMPARE(prompts.fileRequests.size(), 1);
        QCOMPARE(prompts.fileRequests.first().caption, QStringLiteral("Open Video File"));
        // Once a video is loaded a click there does not ask again.
        loadAndWait(video);
        QTest::mouseClick(area, Qt::LeftButton, {}, area->rect().center());
        // The dialog would be opened from the next turn of the event loop.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(prompts.fileRequests.size(), 1);
    }

    void shortcutsReachTheEditingSlots()
    {
        loadAndWait(video);
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        // W trims the end of the selected clip; Ctrl+O opens a video.
        window->handleClipClicked(0);
        seekAndWait(4000);
        QTest::keyClick(window.get(), Qt::Key_W);
        QCOMPARE(prompts.last().title, QStringLiteral("Trim Complete"));
        QCOMPARE(window->clips().first().originalEnd, 4000);
        QVERIFY(prompts.fileRequests.isEmpty());
        // The trim is unsaved: opening asks first; Discard lets the dialog come.
        prompts.askAnswers = {1};
        QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(prompts.questions.size(), 1);
        QCOMPARE(prompts.fileRequests.size(), 1);
        QCOMPARE(prompts.fileRequests.first().caption, QStringLiteral("Open Video File"));
        QCOMPARE(window->clips().first().originalEnd, 4000);
        // Ctrl+Z undoes it; Ctrl+Y redoes it.
        QTest::keyClick(window.get(), Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(window->clips().first().originalEnd > 5000);
        QTest::keyClick(window.get(), Qt::Key_Y, Qt::ControlModifier);
        QCOMPARE(window->clips().first().originalEnd, 4000);
        QCOMPARE(window->currentEditedDuration(), 4000);
        // Ctrl+K cuts.
        seekAndWait(2000);
        QTest::keyClick(window.get(), Qt::Key_K, Qt::ControlModifier);
        QCOMPARE(prompts.last().title, QStringLiteral("Video Cut"));
        QCOMPARE(window->clips().size(), 2);
    }

    // Ctrl+Shift+Z redoes as Ctrl+Y does; Escape leaves full screen and is harmless otherwise.
    void redoAndEscapeKeys()
    {
        loadAndWait(video);
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        seekAndWait(2000);
        window->splitAtPlayhead();
        QCOMPARE(window->clips().size(), 2);
        QTest::keyClick(window.get(), Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(window->clips().size(), 1);
        QTest::keyClick(window.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(window->clips().size(), 2);

        QTest::keyClick(window.get(), Qt::Key_Escape);
        QVERIFY(!window->isFullScreenMode());
        window->toggleFullScreen();
        QVERIFY(window->isFullScreenMode());
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        QTest::keyClick(window.get(), Qt::Key_Escape);
        QVERIFY(!window->isFullScreenMode());
        QCOMPARE(window->findChild<QStackedWidget *>("pageStack")->currentIndex(), 0);
    }

    // How the preview keeps up with the effects, in words for anyone: no frame rates.
    void effectsPlaybackInPlainWords()
    {
        loadAndWait(video);
        window->updatePerformanceDisplay(331.8, false);
        QCOMPARE(label("statusLabel")->text(), QStringLiteral("Effects are shown as the video plays"));
        window->updatePerformanceDisplay(12.5, true);
        QVERIFY(label("statusLabel")->text().contains(QStringLiteral("the saved video is not affected")));
        QVERIFY(!label("statusLabel")->text().contains(QStringLiteral("FPS")));
    }

    void selectionPointsAndMark()
    {
        loadAndWait(video);
        window->markClip();
        QCOMPARE(prompts.last().text, QStringLiteral("Please set both start and end points first."));
        seekAndWait(3000);
        window->setSelectionStart();
        seekAndWait(1000);
        window->setSelectionEnd();
        QCOMPARE(window->timeline()->selectionStart(), 3000);
        QCOMPARE(window->timeline()->selectionEnd(), 1000);
        const int undoBefore = window->history().undoCount();
        window->markClip();
        QCOMPARE(window->clips().size(), 2);
        const Clip added = window->clips().last();
        QCOMPARE(added.originalStart, 1000);
        QCOMPARE(added.originalEnd, 3000);
        QCOMPARE(window->currentSelectionStart(), -1);
        QCOMPARE(window->timeline()->selectionEnd(), -1);
        QCOMPARE(window->history().undoCount(), undoBefore + 1);
    }

    void listPanelMirrorsTheClipsAndMarks()
    {
        loadAndWait(video);
        seekAndWait(2000);
        window->splitAtPlayhead();
        seekAndWait(4000);
        window->splitAtPlayhead();
        QCOMPARE(listTexts(), QStringList({"Part 1 (00:00 - 00:02)", "Part 2 (00:02 - 00:04)",
                                           QStringLiteral("Part 3 (00:04 - %1)")
                                               .arg(formatTime(window->currentEditedDuration()))}));

        window->handleClipClicked(0);
        // A Control-click on the third part's drawn box.
        TimelineWidget *timeline = window->timeline();
        const int x = 10 + int(window->clips()[2].startTime * 1.0 * (timeline->width() - 20) / timeline->duration()) + 20;
        QTest::mouseClick(timeline, Qt::LeftButton, Qt::ControlModifier, QPoint(x, timeline->height() / 2));
        QVERIFY(window->clips()[0].isMarked);
        QVERIFY(!window->clips()[1].isMarked);
        QVERIFY(window->clips()[2].isMarked);

        QListWidget *list = window->clipListWidget();
        QCOMPARE(list->currentRow(), 2);
        for (int row : {0, 2}) {
            QCOMPARE(list->item(row)->background().color(), QColor(100, 150, 255, 100));
            QCOMPARE(list->item(row)->foreground().color(), QColor(Qt::white));
            QVERIFY(list->item(row)->font().bold());
        }
        QCOMPARE(list->item(1)->foreground().color(), QColor(200, 200, 200));
        QVERIFY(!list->item(1)->font().bold());

        // A click on a row selects that part, as a click on the timeline does.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                          list->visualItemRect(list->item(1)).center());
        QVERIFY(!window->clips()[0].isMarked);
        QVERIFY(window->clips()[1].isMarked);
        QVERIFY(!window->clips()[2].isMarked);
        QCOMPARE(window->currentSelectedClipIndex(), 1);
    }

    void loadingAnotherVideoClearsHistory()
    {
        loadAndWait(video);
        seekAndWait(2000);
        window->splitAtPlayhead();
        QCOMPARE(window->history().undoCount(), 1);
        window->loadVideo(longVideo);
        QCOMPARE(window->history().undoCount(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 15000);
        window->undoLastAction();
        QCOMPARE(prompts.last().title, QStringLiteral("Undo"));
        QCOMPARE(prompts.last().text, QStringLiteral("Nothing to undo."));
    }

    // The whole editing flow through the real window, a real video and real mouse clicks.
    void cutDeletePlayUndoRedo()
    {
        loadAndWait(longVideo);
        const qint64 total = window->clips().first().originalEnd;
        QVERIFY(qAbs(total - 20000) < 200);

        seekAndWait(5000);
        window->splitAtPlayhead();
        QCOMPARE(prompts.last().text, QStringLiteral("Video cut into 2 parts at 00:05.000"));
        seekAndWait(12000);
        window->splitAtPlayhead();
        QCOMPARE(window->clips().size(), 3);
        QCOMPARE(listTexts(), QStringList({"Part 1 (00:00 - 00:05)", "Part 2 (00:05 - 00:12)",
                                           QStringLiteral("Part 3 (00:12 - %1)").arg(formatTime(total))}));

        // Click the middle part where the timeline draws it.
        TimelineWidget *timeline = window->timeline();
        const int trackWidth = timeline->width() - 20;
        const int x = 10 + int(8500LL * trackWidth / timeline->duration());
        QTest::mouseClick(timeline, Qt::LeftButton, Qt::NoModifier, QPoint(x, timeline->height() / 2));
        QVERIFY(window->clips()[1].isMarked);
        QVERIFY(!window->clips()[0].isMarked && !window->clips()[2].isMarked);
        QCOMPARE(window->clipListWidget()->currentRow(), 1);

        QTest::mouseClick(button("Delete Selected"), Qt::LeftButton);
        QCOMPARE(prompts.last().title, QStringLiteral("Parts Deleted"));
        QCOMPARE(prompts.last().text,
                 QStringLiteral("1 part deleted.\n\nYour video is now %1 long.").arg(formatTime(total - 7000)));
        // Numbered as the timeline numbers them.
        QCOMPARE(listTexts(), QStringList({"Part 1 (00:00 - 00:05)",
                                           QStringLiteral("Part 2 (00:05 - %1)").arg(formatTime(total - 7000))}));
        QCOMPARE(window->currentEditedDuration(), total - 7000);
        QVERIFY2(label("timeLabel")->text().endsWith(" / " + formatTime(total - 7000)),
                 qPrintable(label("timeLabel")->text()));
        // The click left the playhead in the removed part: it goes to the join, where the label
        // and the timeline say it is.
        const Clip &joined = window->clips()[1];
        QTRY_VERIFY_WITH_TIMEOUT(qAbs(window->player()->position() - joined.originalStart) < 50, 5000);
        QCOMPARE(window->timeline()->position(), joined.startTime);
        QVERIFY2(label("timeLabel")->text().startsWith(formatTime(joined.startTime) + " / "),
                 qPrintable(label("timeLabel")->text()));

        // Playing jumps the removed stretch and stops after the last clip.
        seekAndWait(4000);
        window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->position() >= 12000, 8000);
        QVERIFY(window->player()->isPlaying());
        QTRY_VERIFY_WITH_TIMEOUT(!window->player()->isPlaying(), 20000);
        QVERIFY(button("Play"));
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->position() < 1000, 5000);

        window->undoLastAction();
        QCOMPARE(window->clips().size(), 3);
        QCOMPARE(window->currentEditedDuration(), total);
        QCOMPARE(window->timeline()->duration(), total);
        window->redoLastAction();
        QCOMPARE(window->clips().size(), 2);
        QCOMPARE(window->currentEditedDuration(), total - 7000);
        window->redoLastAction();
        QCOMPARE(prompts.last().text, QStringLiteral("Nothing to redo."));
    }

    void aboutAndSupportRunThroughThePrompts()
    {
        QStringList texts;
        prompts.dialogHandler = [&texts](QDialog &dialog) {
            for (QLabel *l : dialog.findChildren<QLabel *>())
                texts << l->text();
            return int(QDialog::Accepted);
        };
        window->showAbout();
        QVERIFY(texts.contains("Trimlet"));
        QVERIFY(texts.contains("Version 1.0.0"));
        window->showDonate();
        QCOMPARE(prompts.dialogsRun, 2);
        prompts.dialogHandler = nullptr;
    }

    void commandLineVersion()
    {
        const QString binary = QCoreApplication::applicationDirPath() + "/../trimlet";
        if (!QFileInfo::exists(binary))
            QSKIP("program not built beside the tests");
        QProcess process;
        process.start(binary, {"--version"});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed(), QStringLiteral("Trimlet 1.0"));
        QCOMPARE(process.exitCode(), 0);
    }
};

TRIMLET_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
