#include "cliplist.h"
#include "effectsdialog.h"
#include "findwidgets.h"
#include "recordingprompts.h"
#include "stillframeeffects.h"
#include "stillframepreview.h"
#include "testmain.h"
#include "titledialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTextEdit>
#include <QtTest>

namespace {

using FindWidgets::buddyOf;
using FindWidgets::byText;

QLabel *valueLabelAfter(QSlider *slider)
{
    // The value label is the next item of the slider's column.
    QWidget *parent = slider->parentWidget();
    QLayout *layout = parent->layout();
    const int at = layout->indexOf(slider);
    return qobject_cast<QLabel *>(layout->itemAt(at + 1)->widget());
}

QImage solid(const QColor &color, QSize size = QSize(8, 6))
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(color);
    return image;
}

// Notes every message box that gets shown, to see which windows a flow opened.
class ShownBoxes : public QObject {
public:
    QStringList titles;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(watched))
                titles << box->windowTitle();
        }
        return false;
    }
};

} // namespace

class TestClipDialogs : public QObject {
    Q_OBJECT
private slots:
    // ---- title dialog

    void titleDialogOpensWithTheClipsValues_data()
    {
        QTest::addColumn<int>("fontSize");
        QTest::addColumn<QColor>("color");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("customDuration");
        QTest::addColumn<bool>("atTop");
        QTest::addColumn<int>("expectedSize");
        QTest::addColumn<QString>("expectedColor");
        QTest::addColumn<QString>("expectedOption");
        QTest::addColumn<QString>("expectedSeconds");
        QTest::newRow("font 120 opens at 96") << 120 << QColor("#f1c40f") << 0 << 3000 << true << 96
                                              << "Sunflower" << "3 seconds (quick title)" << "3 seconds";
        QTest::newRow("font 0 opens at 38") << 0 << QColor("#9b59b6") << 1 << 2500 << false << 38
                                            << "Lavender" << "Custom duration:" << "2 seconds";
        QTest::newRow("font 10 opens at 16, unknown colour is white")
            << 10 << QColor("#123456") << 2 << 3000 << true << 16 << "White" << "Entire clip duration" << "3 seconds";
        QTest::newRow("invalid colour is white, odd mode is whole clip")
            << 50 << QColor() << 7 << 61000 << false << 50 << "White" << "Entire clip duration" << "61 seconds";
    }
    void titleDialogOpensWithTheClipsValues()
    {
        QFETCH(int, fontSize);
        QFETCH(QColor, color);
        QFETCH(int, mode);
        QFETCH(int, customDuration);
        QFETCH(bool, atTop);
        Clip clip;
        clip.titleText = QStringLiteral("Intro");
        clip.titleFontSize = fontSize;
        clip.titleColor = color;
        clip.titleDurationMode = mode;
        clip.customDuration = customDuration;
        clip.titleAtTop = atTop;
        TitleDialog dialog(clip);

        QCOMPARE(dialog.windowTitle(), QStringLiteral("Add Video Title"));
        QCOMPARE(dialog.findChild<QTextEdit *>()->toPlainText(), QStringLiteral("Intro"));
        QCOMPARE(dialog.findChild<QTextEdit *>()->placeholderText(),
                 QStringLiteral("Enter title text (e.g., Introduction, Chapter 1)"));
        QFETCH(int, expectedSize);
        QFETCH(QString, expectedColor);
        QFETCH(QString, expectedOption);
        QFETCH(QString, expectedSeconds);
        QCOMPARE(buddyOf<QSpinBox>(dialog, "Size:")->value(), expectedSize);
        QCOMPARE(buddyOf<QComboBox>(dialog, "Color:")->currentText(), expectedColor);
        QVERIFY(byText<QRadioButton>(dialog, expectedOption)->isChecked());
        QVERIFY(byText<QRadioButton>(dialog, atTop ? "Top" : "Center")->isChecked());
        QVERIFY(!byText<QRadioButton>(dialog, atTop ? "Center" : "Top")->isChecked());
        QVERIFY(byText<QLabel>(dialog, expectedSeconds));
        const bool custom = expectedOption == "Custom duration:";
        QCOMPARE(byText<QPushButton>(dialog, "+")->isEnabled(), custom);
        QCOMPARE(byText<QPushButton>(dialog, "-")->isEnabled(), custom);
    }

    void titleDialogSavesWhatItShows()
    {
        Clip clip;
        clip.titleFontSize = 120;
        clip.customDuration = 2500;
        clip.titleDurationMode = 1;
        TitleDialog dialog(clip);
        dialog.findChild<QTextEdit *>()->setPlainText(QStringLiteral("  Chapter 1 \n"));
        buddyOf<QComboBox>(dialog, "Color:")->setCurrentIndex(4);
        byText<QRadioButton>(dialog, "Center")->setChecked(true);
        byText<QPushButton>(dialog, "OK")->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));

        QCOMPARE(dialog.applyTo(clip), TitleDialog::Outcome::TitleSet);
        QCOMPARE(clip.titleText, QStringLiteral("Chapter 1"));
        QVERIFY(clip.showTitle);
        QCOMPARE(clip.titleFontSize, 96);
        QCOMPARE(clip.titleColor, QColor("#ff6b6b"));
        QCOMPARE(clip.titleDurationMode, 1);
        QCOMPARE(clip.customDuration, 2000);
        QVERIFY(!clip.titleAtTop);
        QVERIFY(clip.hasEffects);
    }

    void titleDialogDurationOptions_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("customDuration");
        QTest::newRow("quick keeps the custom time") << "3 seconds (quick title)" << 0 << 7000;
        QTest::newRow("custom stores whole seconds") << "Custom duration:" << 1 << 7000;
        QTest::newRow("entire clip") << "Entire clip duration" << 2 << 7000;
    }
    void titleDialogDurationOptions()
    {
        QFETCH(QString, option);
        QFETCH(int, mode);
        QFETCH(int, customDuration);
        Clip clip;
        clip.customDuration = 7400;
        TitleDialog dialog(clip);
        dialog.findChild<QTextEdit *>()->setPlainText(QStringLiteral("T"));
        byText<QRadioButton>(dialog, option)->setChecked(true);
        dialog.applyTo(clip);
        QCOMPARE(clip.titleDurationMode, mode);
        QCOMPARE(clip.customDuration, mode == 1 ? customDuration : 7400);
    }

    void titleDialogSecondsStepWithinLimits()
    {
        Clip clip;
        clip.customDuration = 2000;
        clip.titleDurationMode = 0;
        TitleDialog dialog(clip);
        QPushButton *minus = byText<QPushButton>(dialog, "-");
        QPushButton *plus = byText<QPushButton>(dialog, "+");
        QRadioButton *custom = byText<QRadioButton>(dialog, "Custom duration:");

        custom->setChecked(true);
        QVERIFY(plus->isEnabled());
        QVERIFY(minus->isEnabled());
        minus->click();
        QCOMPARE(dialog.customSeconds(), 1);
        QVERIFY(byText<QLabel>(dialog, "1 seconds"));
        QVERIFY(!minus->isEnabled());
        plus->click();
        QCOMPARE(dialog.customSeconds(), 2);
        QVERIFY(minus->isEnabled());

        byText<QRadioButton>(dialog, "Entire clip duration")->setChecked(true);
        QVERIFY(!plus->isEnabled());
        QVERIFY(!minus->isEnabled());
        custom->setChecked(true);
        for (int i = 0; i < 400; ++i)
            plus->click();
        QCOMPARE(dialog.customSeconds(), 300);
        QVERIFY(byText<QLabel>(dialog, "300 seconds"));
        for (int i = 0; i < 400; ++i)
            minus->click();
        QCOMPARE(dialog.customSeconds(), 1);
    }

    void titleDialogWhiteSpaceSwitchesTheTitleOff()
    {
        Clip clip;
        clip.titleText = QStringLiteral("Old");
        clip.showTitle = true;
        clip.titleFontSize = 60;
        clip.titleColor = QColor("#2ecc71");
        clip.titleAtTop = false;
        clip.hasEffects = true;
        TitleDialog dialog(clip);
        dialog.findChild<QTextEdit *>()->setPlainText(QStringLiteral(" \n\t "));
        buddyOf<QSpinBox>(dialog, "Size:")->setValue(20);
        QCOMPARE(dialog.applyTo(clip), TitleDialog::Outcome::TitleSwitchedOff);
        QVERIFY(!clip.showTitle);
        QVERIFY(clip.titleText.isEmpty());
        QCOMPARE(clip.titleFontSize, 60);
        QCOMPARE(clip.titleColor, QColor("#2ecc71"));
        QVERIFY(!clip.titleAtTop);
        QVERIFY(!clip.hasEffects);
    }

    void titleDialogRemoveKeepsOtherEffects_data()
    {
        QTest::addColumn<int>("blur");
        QTest::addColumn<bool>("hasEffects");
        QTest::newRow("title only") << 0 << false;
        QTest::newRow("title and blur") << 30 << true;
    }
    void titleDialogRemoveKeepsOtherEffects()
    {
        QFETCH(int, blur);
        QFETCH(bool, hasEffects);
        Clip clip;
        clip.titleText = QStringLiteral("Gone soon");
        clip.showTitle = true;
        clip.blurIntensity = blur;
        clip.hasEffects = true;
        TitleDialog dialog(clip);
        QPushButton *remove = byText<QPushButton>(dialog, "Remove Title");
        QCOMPARE(remove->objectName(), QStringLiteral("removeButton"));
        remove->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(dialog.removeRequested());
        QCOMPARE(dialog.applyTo(clip), TitleDialog::Outcome::TitleRemoved);
        QVERIFY(!clip.showTitle);
        QVERIFY(clip.titleText.isEmpty());
        QCOMPARE(clip.hasEffects, hasEffects);
    }

    void titleDialogPreviewFollowsTheControls()
    {
        TitleDialog dialog{Clip()};
        QLabel *preview = dialog.findChild<QLabel *>(QStringLiteral("previewLabel"));
        QCOMPARE(preview->text(), QStringLiteral("Title preview"));
        dialog.findChild<QTextEdit *>()->setPlainText(QStringLiteral("  Hello  "));
        buddyOf<QSpinBox>(dialog, "Size:")->setValue(72);
        buddyOf<QComboBox>(dialog, "Color:")->setCurrentIndex(2);
        QCOMPARE(preview->text(), QStringLiteral("Hello"));
        QCOMPARE(preview->styleSheet(),
                 QStringLiteral("QLabel { background: rgba(0, 0, 0, 200); color: #5ac8fa; padding: 15px;"
                                " border-radius: 10px; border: 4px solid white;}"));
        dialog.ensurePolished();
        preview->ensurePolished();
        QCOMPARE(preview->font().pixelSize(), 72);
        QCOMPARE(preview->font().weight(), QFont::Bold);
    }

    // ---- effects dialog

    void effectsDialogOpensWithTheClipsValues()
    {
        Clip clip;
        clip.blurIntensity = 35;
        clip.brightness = -20;
        clip.contrast = 15;
        clip.saturation = -100;
        clip.opacity = 80;
        clip.fadeInDuration = 2500;
        clip.fadeOutDuration = 3000;
        clip.grayscale = true;
        clip.rotation = 180;
        EffectsDialog dialog(clip);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Add Video Effects - Live Preview"));

        struct Row {
            const char *heading;
            int value;
            const char *label;
        };
        const Row rows[] = {
            {"Blur Intensity (for hiding content):", 35, "35%"},
            {"Brightness:", -20, "-20"},
            {"Contrast:", 15, "15"},
            {"Color Saturation:", -100, "-100"},
            {"Opacity (Visibility):", 80, "80%"},
            {"Fade In Duration (seconds):", 2, "2s"},
            {"Fade Out Duration (seconds):", 3, "3s"},
        };
        for (const Row &row : rows) {
            QSlider *slider = buddyOf<QSlider>(dialog, QString::fromUtf8(row.heading));
            QVERIFY2(slider, row.heading);
            QCOMPARE(slider->value(), row.value);
            QCOMPARE(valueLabelAfter(slider)->text(), QString::fromUtf8(row.label));
        }
        QVERIFY(byText<QCheckBox>(dialog, "Grayscale (Black && White)")->isChecked());
        QVERIFY(!byText<QCheckBox>(dialog, "Sepia (Old Photo Look)")->isChecked());
        QCOMPARE(buddyOf<QComboBox>(dialog, "Rotation:")->currentText(), QString::fromUtf8("Rotate 180°"));

        // Value labels follow the sliders.
        QSlider *fadeIn = buddyOf<QSlider>(dialog, "Fade In Duration (seconds):");
        fadeIn->setValue(7);
        QCOMPARE(valueLabelAfter(fadeIn)->text(), QStringLiteral("7s"));
    }

    void effectsDialogWritesTheClip_data()
    {
        QTest::addColumn<int>("fadeIn");
        QTest::addColumn<int>("rotation");
        QTest::addColumn<int>("storedFadeIn");
        QTest::addColumn<int>("storedRotation");
        QTest::newRow("fade 2500 stores 2000") << 2500 << 0 << 2000 << 0;
        QTest::newRow("rotation 45 stores 0") << 0 << 45 << 0 << 0;
        QTest::newRow("rotation 270 kept") << 10000 << 270 << 10000 << 270;
    }
    void effectsDialogWritesTheClip()
    {
        QFETCH(int, fadeIn);
        QFETCH(int, rotation);
        Clip clip;
        clip.fadeInDuration = fadeIn;
        clip.rotation = rotation;
        EffectsDialog dialog(clip);
        if (rotation == 45)
            QCOMPARE(buddyOf<QComboBox>(dialog, "Rotation:")->currentText(), QStringLiteral("No Rotation"));
        byText<QPushButton>(dialog, "Apply Effects")->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        dialog.applyTo(clip);
        QFETCH(int, storedFadeIn);
        QFETCH(int, storedRotation);
        QCOMPARE(clip.fadeInDuration, storedFadeIn);
        QCOMPARE(clip.rotation, storedRotation);
    }

    void effectsDialogClearAllThenApply_data()
    {
        QTest::addColumn<bool>("withTitle");
        QTest::newRow("with a title effects stay on") << true;
        QTest::newRow("without a title nothing is left") << false;
    }
    void effectsDialogClearAllThenApply()
    {
        QFETCH(bool, withTitle);
        Clip clip;
        clip.blurIntensity = 50;
        clip.brightness = 10;
        clip.contrast = -10;
        clip.saturation = 30;
        clip.opacity = 20;
        clip.fadeInDuration = 1000;
        clip.fadeOutDuration = 4000;
        clip.grayscale = true;
        clip.sepia = true;
        clip.rotation = 90;
        clip.showTitle = withTitle;
        clip.titleText = withTitle ? QStringLiteral("Kept") : QString();
        clip.hasEffects = true;
        EffectsDialog dialog(clip);
        QPushButton *clear = byText<QPushButton>(dialog, "Clear All Effects");
        QCOMPARE(clear->objectName(), QStringLiteral("clearButton"));
        const Clip before = clip;
        clear->click();
        QCOMPARE(clip, before); // only Apply writes the clip
        QCOMPARE(buddyOf<QSlider>(dialog, "Opacity (Visibility):")->value(), 100);
        QCOMPARE(buddyOf<QComboBox>(dialog, "Rotation:")->currentText(), QStringLiteral("No Rotation"));
        dialog.applyTo(clip);
        QCOMPARE(hasVisualEffects(clip), false);
        QCOMPARE(clip.opacity, 100);
        QCOMPARE(clip.rotation, 0);
        QCOMPARE(clip.hasEffects, withTitle);
    }

    void effectsDialogPreviewCarriesTheControls()
    {
        EffectsDialog dialog{Clip()};
        buddyOf<QSlider>(dialog, "Blur Intensity (for hiding content):")->setValue(12);
        buddyOf<QSlider>(dialog, "Brightness:")->setValue(-30);
        buddyOf<QSlider>(dialog, "Contrast:")->setValue(40);
        buddyOf<QSlider>(dialog, "Color Saturation:")->setValue(-50);
        buddyOf<QSlider>(dialog, "Opacity (Visibility):")->setValue(70);
        byText<QCheckBox>(dialog, "Sepia (Old Photo Look)")->setChecked(true);
        QSignalSpy spy(&dialog, &EffectsDialog::previewRequested);
        byText<QPushButton>(dialog, QString::fromUtf8("👁️ Preview Effects"))->click();
        QCOMPARE(spy.size(), 1);
        const auto effects = spy.first().first().value<StillFrameEffects>();
        QCOMPARE(effects.blurIntensity, 12);
        QCOMPARE(effects.brightness, -30);
        QCOMPARE(effects.contrast, 40);
        QCOMPARE(effects.saturation, -50);
        QCOMPARE(effects.opacity, 70);
        QVERIFY(!effects.grayscale);
        QVERIFY(effects.sepia);
        QCOMPARE(dialog.result(), 0);
    }

    void wheelOverSlidersChangesNothing()
    {
        Clip clip;
        clip.brightness = 10;
        EffectsDialog dialog(clip);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QList<QSlider *> sliders = dialog.findChildren<QSlider *>();
        QCOMPARE(sliders.size(), 7);
        for (QSlider *slider : sliders) {
            const int before = slider->value();
            const QPointF centre = QRectF(slider->rect()).center();
            for (int delta : {120, -120}) {
                QWheelEvent wheel(centre, slider->mapToGlobal(centre), QPoint(), QPoint(0, delta),
                                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(slider, &wheel);
                QCOMPARE(slider->value(), before);
            }
            // Other input still reaches the slider.
            QTest::keyClick(slider, before == slider->maximum() ? Qt::Key_PageDown : Qt::Key_PageUp);
            QVERIFY2(slider->value() != before, qPrintable(slider->objectName()));
        }
    }

    // ---- still-frame effects

    void stillFramePixels_data()
    {
        QTest::addColumn<QColor>("input");
        QTest::addColumn<int>("brightness");
        QTest::addColumn<int>("contrast");
        QTest::addColumn<int>("saturation");
        QTest::addColumn<int>("opacity");
        QTest::addColumn<bool>("grayscale");
        QTest::addColumn<bool>("sepia");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("neutral") << QColor(200, 100, 50) << 0 << 0 << 0 << 100 << false << false << QColor(200, 100, 50);
        QTest::newRow("opacity 0 is transparent")
            << QColor(200, 100, 50) << 0 << 0 << 0 << 0 << false << false << QColor(200, 100, 50, 0);
        QTest::newRow("opacity 50") << QColor(10, 20, 30) << 0 << 0 << 0 << 50 << false << false << QColor(10, 20, 30, 127);
        QTest::newRow("grayscale") << QColor(200, 100, 50) << 0 << 0 << 0 << 100 << true << false << QColor(126, 126, 126);
        QTest::newRow("sepia on the grey image")
            << QColor(200, 100, 50) << 0 << 0 << 0 << 100 << true << true << QColor(170, 151, 118);
        QTest::newRow("sepia alone clamps") << QColor(200, 200, 200) << 0 << 0 << 0 << 100 << false << true
                                            << QColor(255, 240, 187);
        QTest::newRow("brightness 100 keeps white") << QColor(255, 255, 255) << 100 << 0 << 0 << 100 << false << false
                                                    << QColor(255, 255, 255);
        QTest::newRow("brightness -100 on 50 gives 0") << QColor(50, 50, 50) << -100 << 0 << 0 << 100 << false << false
                                                       << QColor(0, 0, 0);
        QTest::newRow("contrast -100 is mid grey") << QColor(10, 200, 90) << 0 << -100 << 0 << 100 << false << false
                                                   << QColor(128, 128, 128);
        QTest::newRow("brightness then contrast") << QColor(100, 150, 200) << 20 << 100 << 0 << 100 << false << false
                                                  << QColor(112, 212, 255);
        QTest::newRow("saturation -100 keeps value") << QColor(200, 100, 50) << 0 << 0 << -100 << 100 << false << false
                                                     << QColor(200, 200, 200);
    }
    void stillFramePixels()
    {
        QFETCH(QColor, input);
        QFETCH(QColor, expected);
        StillFrameEffects effects;
        QFETCH(int, brightness);
        QFETCH(int, contrast);
        QFETCH(int, saturation);
        QFETCH(int, opacity);
        QFETCH(bool, grayscale);
        QFETCH(bool, sepia);
        effects.brightness = brightness;
        effects.contrast = contrast;
        effects.saturation = saturation;
        effects.opacity = opacity;
        effects.grayscale = grayscale;
        effects.sepia = sepia;
        const QImage result = effects.apply(solid(input));
        QCOMPARE(result.size(), QSize(8, 6));
        for (const QPoint at : {QPoint(0, 0), QPoint(7, 5), QPoint(3, 2)}) {
            const QColor got = result.pixelColor(at);
            QCOMPARE(got.rgba(), expected.rgba());
        }
    }

    void neutralEffectsGiveTheSameImage()
    {
        QImage image(64, 48, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, qRgb(x * 4, y * 5, (x * y) % 256));
        const QImage result = StillFrameEffects().apply(image);
        QCOMPARE(result, image.convertToFormat(QImage::Format_ARGB32));
        QVERIFY(StillFrameEffects().apply(QImage()).isNull());
    }

    void blurSoftensEdgesAndKeepsTheSize()
    {
        QImage image(80, 60, QImage::Format_RGB32);
        image.fill(Qt::black);
        for (int y = 0; y < 60; ++y)
            for (int x = 40; x < 80; ++x)
                image.setPixel(x, y, qRgb(255, 255, 255));
        StillFrameEffects effects;
        effects.blurIntensity = 5;
        const QImage result = effects.apply(image);
        QCOMPARE(result.size(), image.size());
        // Next to the edge the two sides have mixed; far from it they have not.
        const int nearLeft = qRed(result.pixel(38, 30));
        const int nearRight = qRed(result.pixel(41, 30));
        QVERIFY2(nearLeft > 20 && nearLeft < 235, qPrintable(QString::number(nearLeft)));
        QVERIFY2(nearRight > 20 && nearRight < 235, qPrintable(QString::number(nearRight)));
        QVERIFY(nearLeft < nearRight);
        QVERIFY(qRed(result.pixel(10, 30)) < 10);
    }

    void previewWithoutFrameOnlyWarns()
    {
        RecordingPrompts prompts;
        ShownBoxes boxes;
        qApp->installEventFilter(&boxes);
        QWidget parent;
        StillFramePreview::run(prompts, &parent, QImage(), StillFrameEffects());
        qApp->removeEventFilter(&boxes);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, UserPrompts::Kind::Warning);
        QCOMPARE(prompts.last().title, QStringLiteral("Preview Error"));
        QCOMPARE(prompts.last().text,
                 QStringLiteral("Cannot capture video frame. Please make sure the video is loaded and playing."
                                "\n\nTip: Play the video for a few seconds first, then pause it, then open "
                                "effects and click preview."));
        QCOMPARE(prompts.dialogsRun, 0);
        QVERIFY(boxes.titles.isEmpty());
    }

    void previewShowsTheProcessedFrame()
    {
        RecordingPrompts prompts;
        ShownBoxes boxes;
        QWidget parent;
        QImage shown;
        QString title;
        QSize pixmapSize;
        bool processingGone = false;
        bool parentIsEffectsDialog = false;
        prompts.dialogHandler = [&](QDialog &dialog) {
            auto *preview = qobject_cast<StillFramePreview *>(&dialog);
            if (!preview)
                return int(QDialog::Rejected);
            shown = preview->image();
            title = preview->windowTitle();
            pixmapSize = preview->imageLabel()->pixmap().size();
            processingGone = parent.findChildren<QMessageBox *>().isEmpty();
            parentIsEffectsDialog = dialog.parentWidget() == &parent;
            byText<QPushButton>(dialog, "Close Preview")->click();
            return dialog.result();
        };
        const QImage frame = solid(QColor(200, 100, 50), QSize(1600, 900));
        StillFrameEffects effects;
        effects.grayscale = true;
        effects.opacity = 0;
        qApp->installEventFilter(&boxes);
        StillFramePreview::run(prompts, &parent, frame, effects);
        qApp->removeEventFilter(&boxes);

        QCOMPARE(prompts.dialogsRun, 1);
        QVERIFY(prompts.messages.isEmpty());
        QCOMPARE(boxes.titles, QStringList{QStringLiteral("Processing...")});
        QVERIFY(processingGone);
        QVERIFY(parentIsEffectsDialog);
        QCOMPARE(title, QStringLiteral("Effects Preview - Still Frame"));
        QCOMPARE(shown, effects.apply(frame));
        QCOMPARE(qAlpha(shown.pixel(5, 5)), 0);
        QCOMPARE(pixmapSize.width(), 750);
        QVERIFY(qAbs(pixmapSize.height() - 422) <= 1);
    }
};

TRIMLET_TEST_MAIN(TestClipDialogs)
#include "tst_clipdialogs.moc"
