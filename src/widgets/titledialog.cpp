#include "titledialog.h"

#include "cliplist.h"
#include "dialogfit.h"
#include "widgetslog.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QSpinBox>
#include <QTextEdit>
#include <QVBoxLayout>

#include <algorithm>

namespace {

struct ColorChoice {
    const char *text;
    const char *value;
};

constexpr ColorChoice ColorChoices[] = {
    {"White", "#ffffff"}, {"Sunflower", "#f1c40f"}, {"Sky Blue", "#5ac8fa"},
    {"Mint", "#2ecc71"},  {"Coral", "#ff6b6b"},     {"Lavender", "#9b59b6"},
};

// Labels are styled as direct children of the body only: the live preview sits in a
// holder of its own, so the size chosen for it is not overridden by the label rule.
const char *const DialogStyle = R"(
QDialog { background: #2a2a2a; }
QWidget#titleBody > QLabel { color: white; font-size: 14px; }
QLabel#enterHint { color: #aaaaaa; font-size: 12px; }
QLineEdit, QSpinBox {
    background: #3a3a3a; color: white; border: 2px solid #4a4a4a; border-radius: 5px; font-size: 14px;
}
QLineEdit:focus, QSpinBox:focus { border: 2px solid #5a9fd4; }
QRadioButton { color: white; font-size: 14px; spacing: 10px; }
QRadioButton::indicator { width: 20px; height: 20px; border-radius: 12px; border: 2px solid #4a4a4a; background: #3a3a3a; }
QRadioButton::indicator:checked { background: #5a9fd4; border: 2px solid white; }
QPushButton {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #5a9fd4, stop:1 #4a8fc4);
    color: white; font-weight: bold; font-size: 14px; border: none; border-radius: 5px; padding: 10px 20px;
}
QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #6aafe4, stop:1 #5a9fd4); }
QPushButton#removeButton { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #E74C3C, stop:1 #C73C2C); }
QPushButton#removeButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #F75C4C, stop:1 #D74C3C); }
QTextEdit {
    background: #3a3a3a; color: white; border: 2px solid #4a4a4a; border-radius: 8px; padding: 10px; font-size: 16px;
}
QTextEdit:focus { border: 2px solid #5a9fd4; }
QComboBox {
    background: #3a3a3a; color: white; border: 2px solid #4a4a4a; border-radius: 5px; padding: 6px 10px; font-size: 14px;
}
QComboBox QAbstractItemView { background: #2a2a2a; color: white; selection-background-color: #5a9fd4; }
QPushButton#minusButton, QPushButton#plusButton {
    min-width: 60px; min-height: 50px; color: white; font-weight: bold; font-size: 32px;
    border: 2px solid white; border-radius: 8px; padding: 0px;
}
QPushButton#minusButton { background: #E74C3C; }
QPushButton#minusButton:hover { background: #F75C4C; }
QPushButton#plusButton { background: #27AE60; }
QPushButton#plusButton:hover { background: #37BE70; }
QPushButton#minusButton:disabled, QPushButton#plusButton:disabled { background: #555; color: #888; }
QLabel#secondsLabel {
    color: white; font-weight: bold; font-size: 20px; background: #3a3a3a;
    border: 2px solid #5a9fd4; border-radius: 8px; padding: 10px;
}
)";

QLabel *addLabel(const QString &text, QWidget *parent, QLayout *layout)
{
    auto *label = new QLabel(text, parent);
    layout->addWidget(label);
    return label;
}

} // namespace

int TitleDialog::initialFontSize(int titleFontSize)
{
    if (titleFontSize < 1)
        return 38;
    return std::clamp(titleFontSize, 16, 96);
}

int TitleDialog::colorIndexFor(const QColor &color)
{
    if (!color.isValid())
        return 0;
    const QString name = color.name(QColor::HexRgb);
    for (int i = 0; i < int(std::size(ColorChoices)); ++i) {
        if (name == QLatin1String(ColorChoices[i].value))
            return i;
    }
    return 0;
}

TitleDialog::TitleDialog(const Clip &clip, QWidget *parent)
    : QDialog(parent)
    , seconds(clip.customDuration / 1000)
{
    setWindowTitle(QStringLiteral("Add Video Title"));
    setModal(true);
    setMinimumWidth(500);
    setStyleSheet(QString::fromUtf8(DialogStyle));

    auto *dialogLayout = new QVBoxLayout(this);
    auto *body = new QWidget(this);
    body->setObjectName(QStringLiteral("titleBody"));
    auto *layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(15);

    addLabel(QStringLiteral("When this part plays, show:"), body, layout);
    textEdit = new QTextEdit(body);
    textEdit->setAcceptRichText(false);
    textEdit->setFixedHeight(110);
    textEdit->setPlaceholderText(QStringLiteral("Enter title text (e.g., Introduction, Chapter 1)"));
    textEdit->setPlainText(clip.titleText);
    layout->addWidget(textEdit);
    auto *enterHint = new QLabel(QStringLiteral("Enter starts a new line; Ctrl+Enter is the same as OK."), body);
    enterHint->setObjectName(QStringLiteral("enterHint"));
    layout->addWidget(enterHint);

    addLabel(QStringLiteral("Title appearance:"), body, layout);
    auto *appearance = new QHBoxLayout;
    appearance->setSpacing(15);
    QLabel *sizeLabel = addLabel(QStringLiteral("Size:"), body, appearance);
    sizeBox = new QSpinBox(body);
    sizeBox->setRange(16, 96);
    sizeBox->setValue(initialFontSize(clip.titleFontSize));
    sizeLabel->setBuddy(sizeBox);
    appearance->addWidget(sizeBox);
    QLabel *colorLabel = addLabel(QStringLiteral("Color:"), body, appearance);
    colorBox = new QComboBox(body);
    for (const ColorChoice &choice : ColorChoices)
        colorBox->addItem(QString::fromUtf8(choice.text), QString::fromLatin1(choice.value));
    colorBox->setCurrentIndex(colorIndexFor(clip.titleColor));
    colorLabel->setBuddy(colorBox);
    appearance->addWidget(colorBox);
    appearance->addStretch();
    layout->addLayout(appearance);

    addLabel(QStringLiteral("Live preview:"), body, layout);
    auto *previewHolder = new QWidget(body);
    auto *previewLayout = new QVBoxLayout(previewHolder);
    previewLayout->setContentsMargins(0, 0, 0, 0);
    previewLabel = new QLabel(previewHolder);
    previewLabel->setObjectName(QStringLiteral("previewLabel"));
    previewLabel->setAlignment(Qt::AlignCenter);
    previewLabel->setWordWrap(true);
    previewLabel->setMinimumHeight(120);
    previewLabel->setStyleSheet(QStringLiteral(
        "QLabel { background: rgba(0,0,0,200); color: white; padding: 15px; border-radius: 10px;"
        " border: 4px solid white; }"));
    previewLayout->addWidget(previewLabel);
    layout->addWidget(previewHolder);

    addLabel(QStringLiteral("How long to display:"), body, layout);
    quickOption = new QRadioButton(QStringLiteral("3 seconds (quick title)"), body);
    layout->addWidget(quickOption);
    auto *customRow = new QHBoxLayout;
    customOption = new QRadioButton(QStringLiteral("Custom duration:"), body);
    customRow->addWidget(customOption);
    customRow->addStretch();
    layout->addLayout(customRow);
    auto *stepRow = new QHBoxLayout;
    stepRow->addSpacing(30);
    minusButton = new QPushButton(QStringLiteral("-"), body);
    minusButton->setObjectName(QStringLiteral("minusButton"));
    minusButton->setAutoDefault(false);
    stepRow->addWidget(minusButton);
    secondsLabel = new QLabel(body);
    secondsLabel->setObjectName(QStringLiteral("secondsLabel"));
    secondsLabel->setAlignment(Qt::AlignCenter);
    secondsLabel->setMinimumWidth(150);
    stepRow->addWidget(secondsLabel);
    plusButton = new QPushButton(QStringLiteral("+"), body);
    plusButton->setObjectName(QStringLiteral("plusButton"));
    plusButton->setAutoDefault(false);
    stepRow->addWidget(plusButton);
    stepRow->addStretch();
    layout->addLayout(stepRow);
    entireOption = new QRadioButton(QStringLiteral("Entire clip duration"), body);
    layout->addWidget(entireOption);

    addLabel(QStringLiteral("Position:"), body, layout);
    auto *positionRow = new QHBoxLayout;
    topOption = new QRadioButton(QStringLiteral("Top"), body);
    centerOption = new QRadioButton(QStringLiteral("Center"), body);
    positionRow->addWidget(topOption);
    positionRow->addWidget(centerOption);
    positionRow->addStretch();
    layout->addLayout(positionRow);
    dialogLayout->addWidget(new DialogFit::BodyScrollArea(body, this), 1);

    // Every radio button has the body as parent; groups keep duration and position apart.
    auto *durationGroup = new QButtonGroup(body);
    durationGroup->addButton(quickOption);
    durationGroup->addButton(customOption);
    durationGroup->addButton(entireOption);
    auto *positionGroup = new QButtonGroup(body);
    positionGroup->addButton(topOption);
    positionGroup->addButton(centerOption);

    auto *buttons = new QHBoxLayout;
    auto *removeButton = new QPushButton(QStringLiteral("Remove Title"), this);
    removeButton->setObjectName(QStringLiteral("removeButton"));
    removeButton->setAutoDefault(false);
    auto *cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton->setAutoDefault(false);
    auto *okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setDefault(true);
    buttons->addWidget(removeButton);
    buttons->addStretch();
    buttons->addWidget(cancelButton);
    buttons->addWidget(okButton);
    dialogLayout->addLayout(buttons);
    DialogFit::keepOnScreen(this);

    if (clip.titleDurationMode == 0)
        quickOption->setChecked(true);
    else if (clip.titleDurationMode == 1)
        customOption->setChecked(true);
    else
        entireOption->setChecked(true);
    (clip.titleAtTop ? topOption : centerOption)->setChecked(true);
    updateSecondsLabel();
    updateStepButtons();
    updatePreview();

    connect(textEdit, &QTextEdit::textChanged, this, &TitleDialog::updatePreview);
    connect(sizeBox, &QSpinBox::valueChanged, this, &TitleDialog::updatePreview);
    connect(colorBox, &QComboBox::currentIndexChanged, this, &TitleDialog::updatePreview);
    connect(customOption, &QRadioButton::toggled, this, &TitleDialog::updateStepButtons);
    connect(minusButton, &QPushButton::clicked, this, &TitleDialog::decreaseSeconds);
    connect(plusButton, &QPushButton::clicked, this, &TitleDialog::increaseSeconds);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    // Enter belongs to the text, which may have several lines.
    for (const QKeyCombination keys : {Qt::CTRL | Qt::Key_Return, Qt::CTRL | Qt::Key_Enter})
        connect(new QShortcut(QKeySequence(keys), this), &QShortcut::activated, this, &QDialog::accept);
    connect(removeButton, &QPushButton::clicked, this, [this]() {
        removeFlag = true;
        accept();
    });
}

QColor TitleDialog::selectedColor() const
{
    const QColor color(colorBox->currentData().toString());
    return color.isValid() ? color : QColor(Qt::white);
}

void TitleDialog::updatePreview()
{
    QFont font = previewLabel->font();
    font.setPixelSize(sizeBox->value());
    font.setWeight(QFont::Bold);
    previewLabel->setFont(font);
    previewLabel->setStyleSheet(
        QStringLiteral("QLabel { background: rgba(0, 0, 0, 200); color: %1; padding: 15px;"
                       " border-radius: 10px; border: 4px solid white;}")
            .arg(selectedColor().name(QColor::HexRgb)));
    const QString text = textEdit->toPlainText().trimmed();
    previewLabel->setText(text.isEmpty() ? QStringLiteral("Title preview") : text);
}

void TitleDialog::updateSecondsLabel()
{
    secondsLabel->setText(QStringLiteral("%1 seconds").arg(seconds));
}

void TitleDialog::updateStepButtons()
{
    const bool custom = customOption->isChecked();
    plusButton->setEnabled(custom);
    minusButton->setEnabled(custom && seconds > MinimumSeconds);
}

void TitleDialog::decreaseSeconds()
{
    if (seconds < MinimumSeconds + 1)
        return;
    --seconds;
    updateSecondsLabel();
    if (seconds <= MinimumSeconds)
        minusButton->setEnabled(false);
}

void TitleDialog::increaseSeconds()
{
    if (seconds > MaximumSeconds - 1)
        return;
    ++seconds;
    updateSecondsLabel();
    if (seconds > MinimumSeconds)
        minusButton->setEnabled(true);
}

TitleDialog::Outcome TitleDialog::applyTo(Clip &clip) const
{
    Outcome outcome = Outcome::TitleSwitchedOff;
    if (removeFlag) {
        clip.showTitle = false;
        clip.titleText.clear();
        qCDebug(widgetsLog) << "Title removed from clip:" << clip.name;
        outcome = Outcome::TitleRemoved;
    } else {
        const QString text = textEdit->toPlainText().trimmed();
        qCDebug(widgetsLog) << "OK button clicked - titleText:" << text;
        if (!text.isEmpty()) {
            clip.titleText = text;
            clip.showTitle = true;
            clip.titleFontSize = sizeBox->value();
            clip.titleColor = selectedColor();
            if (quickOption->isChecked()) {
                clip.titleDurationMode = 0;
            } else if (customOption->isChecked()) {
                clip.titleDurationMode = 1;
                clip.customDuration = seconds * 1000;
            } else {
                clip.titleDurationMode = 2;
            }
            clip.titleAtTop = topOption->isChecked();
            qCDebug(widgetsLog) << "Title saved to clip reference:" << clip.name << "showTitle:" << clip.showTitle;
            outcome = Outcome::TitleSet;
        } else {
            clip.showTitle = false;
            clip.titleText.clear();
        }
    }
    clip.hasEffects = computeHasEffects(clip);
    return outcome;
}
