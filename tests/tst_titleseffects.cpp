#include "cliplist.h"
#include "effectsdialog.h"
#include "findwidgets.h"
#include "mainwindow.h"
#include "recordingprompts.h"
#include "stillframepreview.h"
#include "testmain.h"
#include "testmedia.h"
#include "timelinewidget.h"
#include "titledialog.h"
#include "videoplayer.h"
#include "windowsteps.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGraphicsBlurEffect>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

using Kind = UserPrompts::Kind;

namespace {

using FindWidgets::buddyOf;
using FindWidgets::byText;

// Mean difference between horizontal neighbours: high for the sharp test pattern, low once blurred.
double sharpness(const QImage &image)
{
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    double sum = 0;
    qint64 count = 0;
    for (int y = 0; y < grey.height(); y += 2) {
        const uchar *line = grey.constScanLine(y);
        for (int x = 0; x + 1 < grey.width(); ++x) {
            sum += std::abs(int(line[x + 1]) - int(line[x]));
            ++count;
        }
    }
    return count ? sum / count : 0;
}

const QString NoPartText = QStringLiteral(
    "Please select a video part first by clicking on it.\n\nThe selected part will have a blue border.");

} // namespace

// Titles and effects through the window: the dialogs' effect on the edit, the undo
// history and the preview, and the title window while the edit plays.
class TestTitlesEffects : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;
    QString video;      // 12 s
    QString twoColours; // 3 s red, then 3 s blue

    std::unique_ptr<MainWindow> window;
    RecordingPrompts prompts;

    QPushButton *windowButton(const QString &text) const { return byText<QPushButton>(*window, text); }
    QLabel *overlay() const { return window->titleOverlayWindow(); }
    QWidget *shownDisplay() const
    {
        return window->findChild<QStackedWidget *>(QStringLiteral("videoStack"))->currentWidget();
    }

    // The colour on screen in the middle of the video area.
    QColor shownColour() const
    {
        auto *stack = window->findChild<QStackedWidget *>(QStringLiteral("videoStack"));
        const QPoint centre = stack->mapTo(window.get(), stack->rect().center());
        const QImage shot =
            window->screen()->grabWindow(window->winId(), centre.x() - 2, centre.y() - 2, 4, 4).toImage();
        return shot.isNull() ? QColor() : shot.pixelColor(2, 2);
    }

    void loadAndWait(const QString &path = QString())
    {
        window->loadVideo(path.isEmpty() ? video : path);
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->isPlaying(), 60000);
        window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(!window->player()->isPlaying(), 30000);
    }
    void seekAndWait(qint64 ms)
    {
        // On a loaded machine the back end may drop a seek that meets a frame still in
        // flight: asked again, as a user would click again.
        auto arrived = [this, ms] { return qAbs(window->player()->position() - ms) < 50; };
        for (int attempt = 0; attempt < 4 && !arrived(); ++attempt) {
            window->player()->setPosition(ms);
            if (QTest::qWaitFor(arrived, 3000))
                break;
        }
        QVERIFY(arrived());
    }
    // Cuts the loaded video at the given source positions.
    void cutAt(std::initializer_list<qint64> positions)
    {
        for (qint64 at : positions) {
            seekAndWait(at);
            window->splitAtPlayhead();
        }
        prompts.clear();
    }

    // Opens the title dialog on the marked part and sets a title through its controls.
    void setTitle(const QString &text, const QString &durationOption, int seconds = 0)
    {
        prompts.dialogHandler = [&](QDialog &dialog) {
            dialog.findChild<QTextEdit *>()->setPlainText(text);
            byText<QRadioButton>(dialog, durationOption)->setChecked(true);
            if (seconds > 0) {
                auto *titleDialog = qobject_cast<TitleDialog *>(&dialog);
                while (titleDialog->customSeconds() > seconds)
                    byText<QPushButton>(dialog, "-")->click();
                while (titleDialog->customSeconds() < seconds)
                    byText<QPushButton>(dialog, "+")->click();
            }
            byText<QPushButton>(dialog, "OK")->click();
            return dialog.result();
        };
        windowButton("Title")->click();
        prompts.dialogHandler = nullptr;
    }
    void setBlur(int blur)
    {
        prompts.dialogHandler = [&](QDialog &dialog) {
            buddyOf<QSlider>(dialog, "Blur Intensity (for hiding content):")->setValue(blur);
            byText<QPushButton>(dialog, "Apply Effects")->click();
            return dialog.result();
        };
        windowButton("Add Effects")->click();
        prompts.dialogHandler = nullptr;
    }
    void playFrom(qint64 ms)
    {
        seekAndWait(ms);
        window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->isPlaying(), 60000);
    }
    int clipUnderPlayhead() const { return clipIndexAtSource(window->clips(), window->player()->position()); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        video = dir.filePath("twelve.mp4");
        QVERIFY(TestMedia::makeVideo(video, {12, 320, 240, 25, true, {}}));
        twoColours = dir.filePath("red then blue.mp4");
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "color=c=red:s=320x240:r=25:d=3", "-f", "lavfi",
                                      "-i", "color=c=blue:s=320x240:r=25:d=3", "-filter_complex",
                                      "[0:v][1:v]concat=n=2:v=1[v]", "-map", "[v]", "-c:v", "libx264",
                                      "-preset", "ultrafast", "-pix_fmt", "yuv420p", twoColours}));
    }

    void init()
    {
        WindowSteps::openWindow(window, prompts);
        // Modifier keys of an earlier test's clicks must not turn clicks here into Control-clicks.
        QTest::keyRelease(window.get(), Qt::Key_Control);
    }

    void cleanup()
    {
        window.reset();
    }

    void dialogsNeedAMarkedPart_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("withVideo");
        QTest::newRow("title, no video") << "Title" << false;
        QTest::newRow("effects, no video") << "Add Effects" << false;
        QTest::newRow("title, nothing marked") << "Title" << true;
        QTest::newRow("effects, nothing marked") << "Add Effects" << true;
    }
    void dialogsNeedAMarkedPart()
    {
        QFETCH(QString, button);
        QFETCH(bool, withVideo);
        if (withVideo)
            loadAndWait();
        prompts.clear();
        windowButton(button)->click();
        QCOMPARE(prompts.dialogsRun, 0);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Information);
        QCOMPARE(prompts.last().title, QStringLiteral("No Part Selected"));
        QCOMPARE(prompts.last().text, NoPartText);
        QCOMPARE(window->history().undoCount(), 0);
    }

    void titleIsSetOnThePartUnderThePlayhead()
    {
        loadAndWait();
        window->handleClipClicked(0);
        const int undoBefore = window->history().undoCount();
        setTitle(QStringLiteral("  Welcome  "), QStringLiteral("Custom duration:"), 5);

        const Clip clip = window->clips().first();
        QCOMPARE(clip.titleText, QStringLiteral("Welcome"));
        QVERIFY(clip.showTitle);
        QCOMPARE(clip.titleDurationMode, 1);
        QCOMPARE(clip.customDuration, 5000);
        QVERIFY(clip.hasEffects);
        QCOMPARE(window->history().undoCount(), undoBefore + 1);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Information);
        QCOMPARE(prompts.last().title, QStringLiteral("Title Set"));
        QCOMPARE(prompts.last().text, QStringLiteral("Title 'Welcome' added to Part 1\n\nThe title will "
                                                     "appear when you PLAY this part of the video."));
        // The playhead stands in the part: the preview draws the title from now on.
        QCOMPARE(window->playingClipIndex(), 0);
        QVERIFY(window->player()->isFrameProcessingEnabled());
        QCOMPARE(window->player()->clipForEffects().titleText, QStringLiteral("Welcome"));

        window->undoLastAction();
        QVERIFY(!window->clips().first().showTitle);
        QVERIFY(window->clips().first().titleText.isEmpty());
    }

    void titleEditsTheFirstMarkedPart()
    {
        loadAndWait();
        cutAt({3000, 6000});
        QCOMPARE(window->clips().size(), 3);
        window->handleClipClicked(1);
        TimelineWidget *timeline = window->timeline();
        const int x = 10 + int(window->clips()[2].startTime * 1.0 * (timeline->width() - 20) / timeline->duration()) + 20;
        QTest::mouseClick(timeline, Qt::LeftButton, Qt::ControlModifier, QPoint(x, timeline->height() / 2));
        QVERIFY(window->clips()[1].isMarked && window->clips()[2].isMarked);
        seekAndWait(1000);
        // The load's first frames may have entered the first part already.
        const int entered = window->playingClipIndex();

        setTitle(QStringLiteral("Middle"), QStringLiteral("3 seconds (quick title)"));
        QCOMPARE(window->clips()[1].titleText, QStringLiteral("Middle"));
        QVERIFY(window->clips()[2].titleText.isEmpty());
        QCOMPARE(prompts.last().text.left(27), QStringLiteral("Title 'Middle' added to Par"));
        QVERIFY(prompts.last().text.contains(window->clips()[1].name));
        // The playhead is in another part: the preview is left alone.
        QCOMPARE(window->playingClipIndex(), entered);
        QVERIFY(!window->player()->isFrameProcessingEnabled());
    }

    void cancelChangesNothing_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("title") << "Title";
        QTest::newRow("effects") << "Add Effects";
    }
    void cancelChangesNothing()
    {
        QFETCH(QString, button);
        loadAndWait();
        window->handleClipClicked(0);
        const ClipList before = window->clips();
        prompts.dialogHandler = [](QDialog &dialog) {
            if (auto *text = dialog.findChild<QTextEdit *>())
                text->setPlainText(QStringLiteral("Never saved"));
            if (QPushButton *clear = byText<QPushButton>(dialog, "Clear All Effects")) {
                buddyOf<QSlider>(dialog, "Brightness:")->setValue(50);
                clear->click();
            }
            byText<QPushButton>(dialog, "Cancel")->click();
            return dialog.result();
        };
        windowButton(button)->click();
        QCOMPARE(prompts.dialogsRun, 1);
        QCOMPARE(window->clips(), before);
        QCOMPARE(window->history().undoCount(), 0);
        QVERIFY(prompts.messages.isEmpty());
        QVERIFY(!window->player()->isFrameProcessingEnabled());
    }

    void effectsArePushedToThePreviewOfThePlayingPart()
    {
        loadAndWait();
        cutAt({6000});
        seekAndWait(2000);
        window->handleClipClicked(0);
        setBlur(40);
        const Clip first = window->clips()[0];
        QCOMPARE(first.blurIntensity, 40);
        QVERIFY(first.hasEffects);
        QCOMPARE(window->history().undoCount(), 2); // the cut and the effects
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().title, QStringLiteral("Effects Applied"));
        QCOMPARE(prompts.last().text, QStringLiteral("Effects applied to Part 1\n\nYou see them as the video plays, "
                                                     "and the saved video will have them too."));
        QVERIFY(window->player()->isFrameProcessingEnabled());
        QCOMPARE(window->player()->clipForEffects().blurIntensity, 40);
        QCOMPARE(shownDisplay()->metaObject()->className(), "ProcessedVideoDisplay");

        // Another part's effects leave the preview as it is.
        window->handleClipClicked(1);
        setBlur(90);
        QCOMPARE(window->clips()[1].blurIntensity, 90);
        QCOMPARE(window->player()->clipForEffects().blurIntensity, 40);
    }

    // Applied while paused, the new look shows at once rather than at the next frame.
    void effectsShowWhilePaused()
    {
        loadAndWait(twoColours);
        seekAndWait(1000);
        QTRY_VERIFY_WITH_TIMEOUT(shownColour().red() > 180 && shownColour().green() < 80, 30000);
        window->handleClipClicked(0);
        prompts.dialogHandler = [](QDialog &dialog) {
            byText<QCheckBox>(dialog, "Grayscale (Black && White)")->setChecked(true);
            byText<QPushButton>(dialog, "Apply Effects")->click();
            return dialog.result();
        };
        windowButton("Add Effects")->click();
        QVERIFY(!window->player()->isPlaying());
        // Pure red in grey is (11 x 255) / 32 = 87.
        QTRY_VERIFY_WITH_TIMEOUT(qAbs(shownColour().red() - 87) < 25 && qAbs(shownColour().green() - 87) < 25
                                     && qAbs(shownColour().blue() - 87) < 25,
                                 5000);
    }

    // The wrapper blur of a playing part must not freeze the picture after a paused seek.
    void seekWhilePausedUnderTheWrapperBlur()
    {
        loadAndWait(twoColours);
        window->handleClipClicked(0);
        // Entered before it gets its blur: resuming does not enter it again.
        playFrom(200);
        QTRY_COMPARE_WITH_TIMEOUT(window->playingClipIndex(), 0, 60000);
        window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(!window->player()->isPlaying(), 30000);
        setBlur(20);
        playFrom(200);
        QTRY_VERIFY_WITH_TIMEOUT(window->videoWrapperWidget()->graphicsEffect() != nullptr, 60000);
        window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(!window->player()->isPlaying(), 30000);
        seekAndWait(1000);
        QTRY_VERIFY_WITH_TIMEOUT(shownColour().red() > 180 && shownColour().blue() < 80, 30000);
        seekAndWait(4500);
        QTRY_VERIFY_WITH_TIMEOUT(shownColour().blue() > 180 && shownColour().red() < 80, 30000);
        QVERIFY(window->videoWrapperWidget()->graphicsEffect());
    }

    void unchangedEffectsStillTakeAnUndoStep()
    {
        loadAndWait();
        window->handleClipClicked(0);
        const ClipList before = window->clips();
        prompts.dialogHandler = [](QDialog &dialog) {
            byText<QPushButton>(dialog, "Apply Effects")->click();
            return dialog.result();
        };
        windowButton("Add Effects")->click();
        QCOMPARE(window->clips(), before);
        QCOMPARE(window->history().undoCount(), 1);
        QCOMPARE(prompts.last().title, QStringLiteral("Effects Applied"));
        window->undoLastAction();
        QCOMPARE(window->clips(), before);
    }

    void clearAllThenApplyKeepsTheTitle()
    {
        loadAndWait();
        window->handleClipClicked(0);
        setTitle(QStringLiteral("Stays"), QStringLiteral("3 seconds (quick title)"));
        setBlur(60);
        QCOMPARE(window->player()->clipForEffects().blurIntensity, 60);
        prompts.dialogHandler = [](QDialog &dialog) {
            byText<QPushButton>(dialog, "Clear All Effects")->click();
            byText<QPushButton>(dialog, "Apply Effects")->click();
            return dialog.result();
        };
        windowButton("Add Effects")->click();
        const Clip clip = window->clips().first();
        QCOMPARE(clip.blurIntensity, 0);
        QVERIFY(!hasVisualEffects(clip));
        QVERIFY(clip.hasEffects); // the title still needs the processed preview
        QVERIFY(window->player()->isFrameProcessingEnabled());
        QCOMPARE(window->player()->clipForEffects().blurIntensity, 0);
    }

    void effectsPreviewShowsTheCurrentFrame()
    {
        loadAndWait();
        playFrom(1000);
        const int framesBefore = window->player()->framesReceived();
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->framesReceived() > framesBefore + 3, 60000);
        window->playPause();
        QVERIFY(!window->player()->currentFrame().isNull());
        window->handleClipClicked(0);
        QImage previewed;
        QWidget *previewParent = nullptr;
        QDialog *effectsDialog = nullptr;
        bool effectsOpenDuringPreview = false;
        prompts.dialogHandler = [&](QDialog &dialog) {
            if (auto *preview = qobject_cast<StillFramePreview *>(&dialog)) {
                previewed = preview->image();
                previewParent = preview->parentWidget();
                effectsOpenDuringPreview = effectsDialog && effectsDialog->result() == 0;
                return int(QDialog::Accepted);
            }
            effectsDialog = &dialog;
            byText<QCheckBox>(dialog, "Grayscale (Black && White)")->setChecked(true);
            byText<QPushButton>(dialog, QString::fromUtf8("👁️ Preview Effects"))->click();
            byText<QPushButton>(dialog, "Cancel")->click();
            return dialog.result();
        };
        windowButton("Add Effects")->click();
        QCOMPARE(prompts.dialogsRun, 2);
        QVERIFY(!previewed.isNull());
        QCOMPARE(previewed.size(), QSize(320, 240));
        QCOMPARE(previewParent, effectsDialog);
        QVERIFY(effectsOpenDuringPreview);
        // Grayscale went into the still frame only.
        const QRgb sample = previewed.pixel(100, 100);
        QCOMPARE(qRed(sample), qGreen(sample));
        QCOMPARE(qGreen(sample), qBlue(sample));
        QVERIFY(!window->clips().first().grayscale);
        QVERIFY(prompts.messages.isEmpty());
    }

    // Two parts, blur on the first and a 2 s title on the second, played through.
    void playingFollowsEachPart()
    {
        loadAndWait();
        cutAt({4000});
        seekAndWait(1000);
        window->handleClipClicked(1);
        setTitle(QStringLiteral("Second part"), QStringLiteral("Custom duration:"), 2);
        window->handleClipClicked(0);
        setBlur(40);

        // What the processed display is given, with where playback stood when it came.
        struct Shown {
            QImage image;
            qint64 position;
            int part;
            bool processedDisplayShown;
        };
        QList<Shown> shown;
        connect(window->player(), &VideoPlayer::frameProcessed, this, [&](const QImage &image) {
            const qint64 position = window->player()->position();
            shown.append({image, position, window->playingClipIndex(),
                          QByteArray(shownDisplay()->metaObject()->className()) == "ProcessedVideoDisplay"});
        });

        playFrom(0);
        QTRY_COMPARE_WITH_TIMEOUT(window->playingClipIndex(), 0, 60000);
        QVERIFY(window->player()->isFrameProcessingEnabled());
        QCOMPARE(window->player()->clipForEffects().blurIntensity, 40);
        auto *wrapperBlur = qobject_cast<QGraphicsBlurEffect *>(window->videoWrapperWidget()->graphicsEffect());
        QVERIFY(wrapperBlur);
        QCOMPARE(wrapperBlur->blurRadius(), 20.0);
        QVERIFY(!overlay()->isVisible());

        QTRY_COMPARE_WITH_TIMEOUT(window->playingClipIndex(), 1, 60000);
        QVERIFY(overlay()->isVisible());
        QCOMPARE(overlay()->text(), QStringLiteral("Second part"));
        QCOMPARE(window->titleOverlayTimer()->interval(), 2000);
        // The second part has only a title: processing stays on, without the blur.
        QVERIFY(window->player()->isFrameProcessingEnabled());
        QCOMPARE(window->player()->clipForEffects().blurIntensity, 0);
        QCOMPARE(window->player()->clipForEffects().titleText, QStringLiteral("Second part"));
        QVERIFY(!window->videoWrapperWidget()->graphicsEffect());
        // Over the display on screen, centred, near its top.
        QWidget *display = shownDisplay();
        const QRect area(display->mapToGlobal(QPoint(0, 0)), display->size());
        QVERIFY(qAbs(overlay()->geometry().center().x() - area.center().x()) <= 1);
        QCOMPARE(overlay()->geometry().top(), area.top() + 50);

        // The timer hides it while the part still plays.
        QTRY_VERIFY_WITH_TIMEOUT(!overlay()->isVisible(), 60000);
        QVERIFY(window->player()->isPlaying());
        QCOMPARE(clipUnderPlayhead(), 1);
        QCOMPARE(window->playingClipIndex(), 1);
        window->playPause();
        disconnect(window->player(), &VideoPlayer::frameProcessed, this, nullptr);

        // Frames well inside each part: blurred in the first, sharp in the second.
        double firstSum = 0, secondSum = 0;
        int firstCount = 0, secondCount = 0;
        for (const Shown &frame : std::as_const(shown)) {
            // A frame the worker could not finish comes back null and is never shown.
            if (frame.image.isNull())
                continue;
            QVERIFY(frame.processedDisplayShown);
            if (frame.part == 0 && frame.position > 1000 && frame.position < 3000) {
                firstSum += sharpness(frame.image);
                ++firstCount;
            } else if (frame.part == 1 && frame.position > 5000) {
                secondSum += sharpness(frame.image);
                ++secondCount;
            }
        }
        QVERIFY2(firstCount >= 3 && secondCount >= 3,
                 qPrintable(QStringLiteral("%1 and %2 frames").arg(firstCount).arg(secondCount)));
        const double firstSharpness = firstSum / firstCount;
        const double secondSharpness = secondSum / secondCount;
        QVERIFY2(firstSharpness * 2 < secondSharpness,
                 qPrintable(QStringLiteral("first %1, second %2").arg(firstSharpness).arg(secondSharpness)));
    }

    void overlayFollowsTheWindowAndGoesWithItsTitle()
    {
        loadAndWait();
        cutAt({2000});
        seekAndWait(500);
        window->handleClipClicked(1);
        setTitle(QStringLiteral("Whole part"), QStringLiteral("Entire clip duration"));
        playFrom(0);
        QTRY_VERIFY_WITH_TIMEOUT(overlay()->isVisible(), 60000);
        // The title comes with the part's first frame; the pause below must land inside the part.
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->position() > window->clips()[1].originalStart + 100, 30000);
        window->playPause();
        QCOMPARE(window->titleOverlayTimer()->interval(), 10000);

        const QPoint before = overlay()->pos();
        window->move(window->pos() + QPoint(40, 30));
        QTRY_COMPARE_WITH_TIMEOUT(overlay()->pos(), before + QPoint(40, 30), 30000);

        window->resize(window->width() - 100, window->height() - 40);
        QTRY_VERIFY_WITH_TIMEOUT(qAbs(overlay()->geometry().center().x()
                                      - shownDisplay()->mapToGlobal(shownDisplay()->rect().center()).x()) <= 1,
                                 5000);

        window->showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!overlay()->isVisible(), 30000);
        window->showNormal();
        QTRY_VERIFY_WITH_TIMEOUT(overlay()->isVisible(), 30000);

        prompts.clear();
        const int undoBefore = window->history().undoCount();
        prompts.dialogHandler = [](QDialog &dialog) {
            byText<QPushButton>(dialog, "Remove Title")->click();
            return dialog.result();
        };
        windowButton("Title")->click();
        QVERIFY(!overlay()->isVisible());
        QCOMPARE(window->history().undoCount(), undoBefore + 1);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().title, QStringLiteral("Title Removed"));
        QCOMPARE(prompts.last().text, QStringLiteral("Title removed from %1").arg(window->clips()[1].name));
        QVERIFY(!window->clips()[1].showTitle);
        // The playhead is in that part: the preview drops the title too.
        QVERIFY(!window->player()->clipForEffects().showTitle);
        QVERIFY(!window->player()->isFrameProcessingEnabled());
    }

    void loadingAnotherVideoClearsTheTitleAndPreview()
    {
        loadAndWait();
        cutAt({2000});
        seekAndWait(500);
        window->handleClipClicked(1);
        setTitle(QStringLiteral("Old video"), QStringLiteral("Entire clip duration"));
        window->handleClipClicked(0);
        setBlur(30);
        playFrom(0);
        QTRY_VERIFY_WITH_TIMEOUT(overlay()->isVisible(), 60000);

        window->loadVideo(video);
        QVERIFY(!overlay()->isVisible());
        QCOMPARE(window->playingClipIndex(), -1);
        QVERIFY(!window->player()->isFrameProcessingEnabled());
        QVERIFY(!window->videoWrapperWidget()->graphicsEffect());
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 60000);
    }
};

TRIMLET_TEST_MAIN(TestTitlesEffects)
#include "tst_titleseffects.moc"
