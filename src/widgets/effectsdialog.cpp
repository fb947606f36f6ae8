#include "effectsdialog.h"

#include "cliplist.h"
#include "dialogfit.h"
#include "sliderscrollfilter.h"
#include "widgetslog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

namespace {

struct RotationChoice {
    const char *text;
    int degrees;
};

constexpr RotationChoice RotationChoices[] = {
    {"No Rotation", 0},
    {"Rotate 90° Clockwise", 90},
    {"Rotate 180°", 180},
    {"Rotate 270° (90° Counter-clockwise)", 270},
};

const char *const DialogStyle = R"(
QDialog { background: #2a2a2a; }
QLabel { color: white; font-size: 14px; }
QLabel[role="heading"] { color: #5a9fd4; font-size: 16px; font-weight: bold; padding: 5px 0px; }
QLabel[role="value"] { font-size: 18px; font-weight: bold; }
QSlider { margin: 10px 0px; }
QSlider::groove:horizontal { height: 8px; background: #3a3a3a; border: 1px solid #4a4a4a; border-radius: 4px; }
QSlider::handle:horizontal {
    background: #5a9fd4; border: 2px solid white; width: 24px; height: 24px; margin: -8px 0px; border-radius: 12px;
}
QSlider::handle:horizontal:hover { background: #6aafe4; }
QCheckBox { color: white; font-size: 16px; spacing: 10px; }
QCheckBox::indicator { width: 28px; height: 28px; border: 2px solid #4a4a4a; border-radius: 5px; background: #3a3a3a; }
QCheckBox::indicator:checked { background: #5a9fd4; border: 2px solid white; }
QComboBox {
    background: #3a3a3a; color: white; border: 2px solid #4a4a4a; border-radius: 5px; padding: 8px; font-size: 14px;
}
QPushButton {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #5a9fd4, stop:1 #4a8fc4);
    color: white; font-weight: bold; font-size: 14px; border: none; border-radius: 5px; padding: 12px 24px;
}
QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #6aafe4, stop:1 #5a9fd4); }
QPushButton#clearButton { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #E74C3C, stop:1 #C73C2C); }
QPushButton#clearButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #F75C4C, stop:1 #D74C3C); }
)";

const char *const PreviewButtonStyle =
    "QPushButton { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #9B59B6, stop:1 #8E44AD);"
    " color: white; font-weight: bold; font-size: 14px; border: none; border-radius: 5px; padding: 12px 24px; }"
    "QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #AB69C6, stop:1 #9E54BD); }";

QLabel *addHeading(QVBoxLayout *layout, const QString &text, QWidget *parent)
{
    auto *heading = new QLabel(text, parent);
    heading->setProperty("role", QStringLiteral("heading"));
    layout->addWidget(heading);
    return heading;
}

} // namespace

int EffectsDialog::rotationIndexFor(int degrees)
{
    for (int i = 0; i < int(std::size(RotationChoices)); ++i) {
        if (RotationChoices[i].degrees == degrees)
            return i;
    }
    return 0;
}

EffectsDialog::EffectsDialog(const Clip &clip, QWidget *parent)
    : QDialog(parent)
    , scrollFilter(std::make_unique<SliderScrollFilter>())
{
    setWindowTitle(QStringLiteral("Add Video Effects - Live Preview"));
    setModal(true);
    setStyleSheet(QString::fromUtf8(DialogStyle));

    auto *mainLayout = new QVBoxLayout(this);
    mainLayout->setSpacing(15);
    auto *content = new QWidget(this);
    content->setObjectName(QStringLiteral("effectsContent"));
    auto *layout = new QVBoxLayout(content);
    layout->setSpacing(12);
    layout->setContentsMargins(15, 15, 15, 15);

    blurSlider = addSlider(layout, QStringLiteral("Blur Intensity (for hiding content):"),
                           QStringLiteral("blurSlider"), 0, 100, clip.blurIntensity, QStringLiteral("%"));
    brightnessSlider = addSlider(layout, QStringLiteral("Brightness:"), QStringLiteral("brightnessSlider"),
                                 -100, 100, clip.brightness, QString());
    contrastSlider = addSlider(layout, QStringLiteral("Contrast:"), QStringLiteral("contrastSlider"), -100,
                               100, clip.contrast, QString());
    saturationSlider = addSlider(layout, QStringLiteral("Color Saturation:"),
                                 QStringLiteral("saturationSlider"), -100, 100, clip.saturation, QString());
    opacitySlider = addSlider(layout, QStringLiteral("Opacity (Visibility):"), QStringLiteral("opacitySlider"),
                              0, 100, clip.opacity, QStringLiteral("%"));
    addSeparator(layout);
    fadeInSlider = addSlider(layout, QStringLiteral("Fade In Duration (seconds):"),
                             QStringLiteral("fadeInSlider"), 0, 10, clip.fadeInDuration / 1000,
                             QStringLiteral("s"));
    fadeOutSlider = addSlider(layout, QStringLiteral("Fade Out Duration (seconds):"),
                              QStringLiteral("fadeOutSlider"), 0, 10, clip.fadeOutDuration / 1000,
                              QStringLiteral("s"));
    addSeparator(layout);

    addHeading(layout, QStringLiteral("Special Effects:"), content);
    grayscaleBox = new QCheckBox(QStringLiteral("Grayscale (Black && White)"), content);
    grayscaleBox->setChecked(clip.grayscale);
    layout->addWidget(grayscaleBox);
    sepiaBox = new QCheckBox(QStringLiteral("Sepia (Old Photo Look)"), content);
    sepiaBox->setChecked(clip.sepia);
    layout->addWidget(sepiaBox);
    addSeparator(layout);

    QLabel *rotationHeading = addHeading(layout, QStringLiteral("Rotation:"), content);
    rotationBox = new QComboBox(content);
    rotationBox->setObjectName(QStringLiteral("rotationBox"));
    for (const RotationChoice &choice : RotationChoices)
        rotationBox->addItem(QString::fromUtf8(choice.text), choice.degrees);
    rotationBox->setCurrentIndex(rotationIndexFor(clip.rotation));
    rotationHeading->setBuddy(rotationBox);
    layout->addWidget(rotationBox);

    mainLayout->addWidget(new DialogFit::BodyScrollArea(content, this), 1);

    // Two rows keep the dialog narrow enough to stand beside the video.
    auto *buttons = new QGridLayout;
    auto *clearButton = new QPushButton(QStringLiteral("Clear All Effects"), this);
    clearButton->setObjectName(QStringLiteral("clearButton"));
    auto *previewButton = new QPushButton(QString::fromUtf8("👁️ Preview Effects"), this);
    previewButton->setStyleSheet(QString::fromUtf8(PreviewButtonStyle));
    auto *cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    auto *applyButton = new QPushButton(QStringLiteral("Apply Effects"), this);
    for (QPushButton *button : {clearButton, previewButton, cancelButton, applyButton}) {
        button->setMinimumHeight(45);
        button->setAutoDefault(false);
    }
    applyButton->setDefault(true);
    buttons->addWidget(clearButton, 0, 0);
    buttons->addWidget(previewButton, 0, 1);
    buttons->addWidget(cancelButton, 1, 0);
    buttons->addWidget(applyButton, 1, 1);
    mainLayout->addLayout(buttons);
    DialogFit::keepOnScreen(this, DialogFit::Placement::RightOfParent);

    connect(clearButton, &QPushButton::clicked, this, &EffectsDialog::clearAllEffects);
    connect(previewButton, &QPushButton::clicked, this,
            [this]() { emit previewRequested(previewEffects()); });
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(applyButton, &QPushButton::clicked, this, &QDialog::accept);
}

EffectsDialog::~EffectsDialog() = default;

QSlider *EffectsDialog::addSlider(QVBoxLayout *layout, const QString &heading, const QString &objectName,
                                  int minimum, int maximum, int value, const QString &suffix)
{
    QWidget *parent = layout->parentWidget();
    QLabel *headingLabel = addHeading(layout, heading, parent);
    auto *slider = new QSlider(Qt::Horizontal, parent);
    slider->setObjectName(objectName);
    slider->setRange(minimum, maximum);
    slider->setValue(value);
    slider->setMinimumHeight(40);
    slider->installEventFilter(scrollFilter.get());
    headingLabel->setBuddy(slider);
    layout->addWidget(slider);

    auto *valueLabel = new QLabel(QString::number(slider->value()) + suffix, parent);
    valueLabel->setProperty("role", QStringLiteral("value"));
    valueLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(valueLabel);
    connect(slider, &QSlider::valueChanged, valueLabel,
            [valueLabel, suffix](int v) { valueLabel->setText(QString::number(v) + suffix); });
    return slider;
}

void EffectsDialog::addSeparator(QVBoxLayout *layout)
{
    auto *line = new QFrame(layout->parentWidget());
    line->setFrameShape(QFrame::HLine);
    line->setFixedHeight(2);
    line->setStyleSheet(QStringLiteral("background: #4a4a4a;"));
    layout->addWidget(line);
}

void EffectsDialog::clearAllEffects()
{
    blurSlider->setValue(0);
    brightnessSlider->setValue(0);
    contrastSlider->setValue(0);
    saturationSlider->setValue(0);
    opacitySlider->setValue(100);
    fadeInSlider->setValue(0);
    fadeOutSlider->setValue(0);
    grayscaleBox->setChecked(false);
    sepiaBox->setChecked(false);
    rotationBox->setCurrentIndex(0);
}

void EffectsDialog::applyTo(Clip &clip) const
{
    clip.blurIntensity = blurSlider->value();
    clip.brightness = brightnessSlider->value();
    clip.contrast = contrastSlider->value();
    clip.saturation = saturationSlider->value();
    clip.opacity = opacitySlider->value();
    clip.fadeInDuration = fadeInSlider->value() * 1000;
    clip.fadeOutDuration = fadeOutSlider->value() * 1000;
    clip.grayscale = grayscaleBox->isChecked();
    clip.sepia = sepiaBox->isChecked();
    clip.rotation = rotationBox->currentData().toInt();
    clip.hasEffects = computeHasEffects(clip);
    qCDebug(widgetsLog) << "Effects applied to clip:" << clip.name << "hasEffects:"
             << (clip.hasEffects ? "true" : "false");
}

StillFrameEffects EffectsDialog::previewEffects() const
{
    StillFrameEffects effects;
    effects.blurIntensity = blurSlider->value();
    effects.brightness = brightnessSlider->value();
    effects.contrast = contrastSlider->value();
    effects.saturation = saturationSlider->value();
    effects.opacity = opacitySlider->value();
    effects.grayscale = grayscaleBox->isChecked();
    effects.sepia = sepiaBox->isChecked();
    return effects;
}
