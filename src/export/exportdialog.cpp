#include "exportdialog.h"

#include "dialogfit.h"
#include "outputfiles.h"
#include "timeformat.h"
#include "userprompts.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

struct Quality {
    const char *key;    // as remembered between runs
    const char *text;
    int width;
    int height;
    int crf;
    bool original;
};

const Quality qualities[] = {
    {"original", "Original Quality (no re-encode)", -1, -1, 18, true},
    {"480p", "Low Quality (480p)", 854, 480, 28, false},
    {"720p", "Medium Quality (720p)", 1280, 720, 23, false},
    {"1080p", "High Quality (1080p)", 1920, 1080, 20, false},
};
const int initialQuality = 3;

const char *const audioModes[] = {"Include Audio", "No Audio (Mute)", "Audio Only"};

QString choiceStyle(const QString &padding, int fontSize)
{
    return QStringLiteral("QPushButton { padding: %1; font-size: %2px; color: white; background-color: #3a3a3a; "
                          "border-radius: 6px; border: 1px solid #4a4a4a; }"
                          "QPushButton:checked { background-color: #4A90E2; border-color: #5AA2F4; }")
        .arg(padding)
        .arg(fontSize);
}

QString comboStyle(int minWidth)
{
    return QStringLiteral("QComboBox { padding: 8px 12px; font-size: 13px; background-color: #3a3a3a; "
                          "border: 1px solid #4a4a4a; border-radius: 5px; min-width: %1px; }"
                          "QComboBox::drop-down { border: none; }"
                          "QComboBox QAbstractItemView { background-color: #2a2a2a; color: white; "
                          "selection-background-color: #4A90E2; }")
        .arg(minWidth);
}

QLabel *styledLabel(const QString &text, const QString &style, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(style);
    return label;
}

} // namespace

ExportDialog::ExportDialog(UserPrompts &prompts, const QString &sourcePath, int clipCount,
                           qint64 editedDuration, QWidget *parent)
    : QDialog(parent)
    , prompts(prompts)
    , sourcePath(sourcePath)
{
    current.outputPath = ExportSettings::defaultOutputPath(sourcePath);

    setWindowTitle(QStringLiteral("Save Your Video"));
    setMinimumWidth(550);
    // Each button sets its own white words: a rule for every button here would reach the light
    // buttons of a question box opened over the dialog.
    setStyleSheet(QStringLiteral("QDialog { background-color: #2a2a2a; color: white; } QLabel { color: white; }"));

    auto *dialogLayout = new QVBoxLayout(this);
    auto *body = new QWidget(this);
    auto *layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(20);

    layout->addWidget(styledLabel(QStringLiteral("Save Your Edited Video"),
                                  QStringLiteral("font-size: 18px; font-weight: bold; padding: 10px;"), body));

    layout->addWidget(styledLabel(QStringLiteral("Where to save:"), QStringLiteral("font-size: 14px;"), body));
    auto *pathRow = new QHBoxLayout;
    pathEdit = new QLineEdit(current.outputPath, body);
    pathEdit->setStyleSheet(QStringLiteral("padding: 10px; font-size: 13px; background-color: #3a3a3a; "
                                           "border: 1px solid #4a4a4a; border-radius: 5px; color: white;"));
    auto *browseButton = new QPushButton(QStringLiteral("Browse..."), body);
    browseButton->setStyleSheet(QStringLiteral("padding: 10px 20px; font-size: 13px; color: white; "
                                               "background-color: #4A90E2; border-radius: 5px;"));
    connect(browseButton, &QPushButton::clicked, this, &ExportDialog::browse);
    pathRow->addWidget(pathEdit);
    pathRow->addWidget(browseButton);
    layout->addLayout(pathRow);

    layout->addWidget(styledLabel(QStringLiteral("Export quality:"),
                                  QStringLiteral("font-size: 14px; font-weight: bold;"), body));
    auto *qualityRow = new QHBoxLayout;
    qualityRow->setSpacing(12);
    qualityGroup = new QButtonGroup(body);
    qualityGroup->setExclusive(true);
    for (int i = 0; i < int(std::size(qualities)); ++i) {
        auto *button = new QPushButton(QString::fromLatin1(qualities[i].text), body);
        button->setCheckable(true);
        button->setStyleSheet(choiceStyle(QStringLiteral("12px 18px"), 13));
        qualityGroup->addButton(button, i);
        qualityRow->addWidget(button);
    }
    qualityGroup->button(initialQuality)->setChecked(true);
    connect(qualityGroup, &QButtonGroup::idToggled, this, &ExportDialog::onQualityChosen);
    layout->addLayout(qualityRow);

    layout->addWidget(styledLabel(QStringLiteral("Audio options:"),
                                  QStringLiteral("font-size: 14px; font-weight: bold; margin-top: 10px;"), body));
    auto *audioRow = new QHBoxLayout;
    audioRow->setSpacing(12);
    audioGroup = new QButtonGroup(body);
    audioGroup->setExclusive(true);
    for (int i = 0; i < int(std::size(audioModes)); ++i) {
        auto *button = new QPushButton(QString::fromLatin1(audioModes[i]), body);
        button->setCheckable(true);
        button->setStyleSheet(choiceStyle(QStringLiteral("10px 14px"), 12));
        audioGroup->addButton(button, i);
        audioRow->addWidget(button);
    }
    audioGroup->button(ExportSettings::IncludeAudio)->setChecked(true);
    connect(audioGroup, &QButtonGroup::idToggled, this, &ExportDialog::onAudioModeChosen);
    layout->addLayout(audioRow);

    audioPanel = new QWidget(body);
    auto *panelRow = new QHBoxLayout(audioPanel);
    panelRow->setContentsMargins(0, 0, 0, 0);
    panelRow->setSpacing(15);
    panelRow->addWidget(styledLabel(QStringLiteral("Format:"), QStringLiteral("font-size: 13px;"), audioPanel));
    formatCombo = new QComboBox(audioPanel);
    formatCombo->addItems({QStringLiteral("MP3"), QStringLiteral("WAV"), QStringLiteral("AAC"), QStringLiteral("FLAC")});
    formatCombo->setStyleSheet(comboStyle(80));
    panelRow->addWidget(formatCombo);
    bitrateLabel = styledLabel(QStringLiteral("Quality:"), QStringLiteral("font-size: 13px;"), audioPanel);
    panelRow->addWidget(bitrateLabel);
    bitrateCombo = new QComboBox(audioPanel);
    bitrateCombo->addItems({QStringLiteral("128 kbps"), QStringLiteral("192 kbps"), QStringLiteral("256 kbps"),
                            QStringLiteral("320 kbps")});
    bitrateCombo->setCurrentIndex(1);
    bitrateCombo->setStyleSheet(comboStyle(100));
    panelRow->addWidget(bitrateCombo);
    panelRow->addStretch();
    audioPanel->setVisible(false);
    connect(formatCombo, &QComboBox::currentTextChanged, this, &ExportDialog::onFormatChanged);
    layout->addWidget(audioPanel);

    auto *summary = new QLabel(QStringLiteral("Your video will be saved as: %1 %2, %3 long")
                                   .arg(clipCount)
                                   .arg(clipCount == 1 ? QStringLiteral("part") : QStringLiteral("parts"))
                                   .arg(formatTime(editedDuration)),
                               body);
    summary->setWordWrap(true);
    summary->setStyleSheet(QStringLiteral("color: #888; font-size: 12px; padding: 10px; margin-top: 10px;"));
    layout->addWidget(summary);
    originalNote = new QLabel(body);
    originalNote->setWordWrap(true);
    originalNote->setStyleSheet(QStringLiteral("color: #888; font-size: 12px; padding: 0 10px;"));
    originalNote->setVisible(false);
    layout->addWidget(originalNote);

    dialogLayout->addWidget(new DialogFit::BodyScrollArea(body, this), 1);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    auto *cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    cancelButton->setStyleSheet(QStringLiteral("padding: 12px 30px; font-size: 14px; color: white; "
                                               "background-color: #666; border-radius: 5px;"));
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    auto *saveButton = new QPushButton(QStringLiteral("Save Video"), this);
    saveButton->setStyleSheet(QStringLiteral("padding: 12px 30px; font-size: 14px; font-weight: bold; color: white; "
                                             "background-color: #27AE60; border-radius: 5px;"));
    saveButton->setDefault(true);
    connect(saveButton, &QPushButton::clicked, this, &QDialog::accept);
    buttonRow->addWidget(cancelButton);
    buttonRow->addWidget(saveButton);
    dialogLayout->addLayout(buttonRow);
    DialogFit::keepOnScreen(this);
}

ExportSettings ExportDialog::settings() const
{
    ExportSettings result = current;
    result.outputPath = pathEdit->text();
    result.audioFormat = formatCombo->currentText().toLower();
    result.audioBitrate = bitrateCombo->currentText().split(QLatin1Char(' ')).first() + QLatin1Char('k');
    return result;
}

void ExportDialog::onQualityChosen(int id, bool checked)
{
    if (!checked || id < 0 || id >= int(std::size(qualities)))
        return;
    current.originalQuality = qualities[id].original;
    if (!current.originalQuality) {
        current.targetWidth = qualities[id].width;
        current.targetHeight = qualities[id].height;
    }
    current.crf = qualities[id].crf;
    refreshOriginalNote();
}

QString ExportDialog::qualityKey() const
{
    const int id = qualityGroup->checkedId();
    return id >= 0 ? QString::fromLatin1(qualities[id].key) : QString();
}

void ExportDialog::chooseQuality(const QString &key)
{
    for (int i = 0; i < int(std::size(qualities)); ++i) {
        if (key == QLatin1String(qualities[i].key))
            qualityGroup->button(i)->setChecked(true);
    }
}

void ExportDialog::suggestFolder(const QString &folder)
{
    if (!folder.isEmpty() && QFileInfo(folder).isDir())
        pathEdit->setText(QDir(folder).filePath(QFileInfo(pathEdit->text()).fileName()));
}

void ExportDialog::setOriginalQualityNote(std::function<QString(bool withSound)> note)
{
    originalNoteSource = std::move(note);
    refreshOriginalNote();
}

QString ExportDialog::originalQualityNote() const
{
    return originalNote->isVisible() || current.originalQuality ? originalNote->text() : QString();
}

void ExportDialog::refreshOriginalNote()
{
    const bool show = current.originalQuality && current.audioMode != ExportSettings::AudioOnly;
    const bool withSound = current.audioMode != ExportSettings::NoAudio;
    originalNote->setText(show && originalNoteSource ? originalNoteSource(withSound) : QString());
    originalNote->setVisible(show && !originalNote->text().isEmpty());
    // Until the source is read the answer may change: look again shortly.
    if (show && originalNoteSource && originalNote->text().endsWith(QLatin1String("...")))
        QTimer::singleShot(250, this, &ExportDialog::refreshOriginalNote);
}

void ExportDialog::onAudioModeChosen(int id, bool checked)
{
    if (!checked)
        return;
    current.audioMode = id;
    audioPanel->setVisible(id == ExportSettings::AudioOnly);
    applyExtension();
    refreshOriginalNote();
}

void ExportDialog::onFormatChanged(const QString &text)
{
    const bool lossless = text == QLatin1String("WAV") || text == QLatin1String("FLAC");
    bitrateLabel->setVisible(!lossless);
    bitrateCombo->setVisible(!lossless);
    if (current.audioMode == ExportSettings::AudioOnly)
        applyExtension();
}

QString ExportDialog::formatExtension() const
{
    return QLatin1Char('.') + formatCombo->currentText().toLower();
}

void ExportDialog::applyExtension()
{
    const QString extension =
        current.audioMode == ExportSettings::AudioOnly ? formatExtension() : QStringLiteral(".mp4");
    pathEdit->setText(ExportSettings::withExtension(pathEdit->text(), extension));
}

void ExportDialog::browse()
{
    const bool audioOnly = current.audioMode == ExportSettings::AudioOnly;
    QString filter = QStringLiteral("MP4 Video (*.mp4)");
    QString extension = QStringLiteral(".mp4");
    if (audioOnly) {
        const QString format = formatCombo->currentText().toLower();
        filter = QStringLiteral("%1 Audio (*.%2)").arg(format.toUpper(), format);
        extension = QLatin1Char('.') + format;
    }
    QString chosen = prompts.saveFileName(this, audioOnly ? QStringLiteral("Save Audio")
                                                          : QStringLiteral("Save Your Video"),
                                          pathEdit->text(), filter);
    if (chosen.isEmpty())
        return;
    // The file dialog asked about replacing the name it returned, not one with an ending added.
    confirmedPath = chosen;
    if (!chosen.endsWith(extension, Qt::CaseInsensitive))
        chosen += extension;
    pathEdit->setText(chosen);
}

void ExportDialog::accept()
{
    const QString path = pathEdit->text();
    const QFileInfo info(path);
    if (info.isDir()) {
        prompts.message(UserPrompts::Kind::Warning, this, QStringLiteral("Invalid Filename"),
                        QStringLiteral("\"%1\" is a folder.\n\nPlease enter a file name to save to.")
                            .arg(QDir::toNativeSeparators(path)));
        return;
    }
    // A device or a pipe would be replaced by the file, not written to.
    const QString notFile = notAFileReason(path);
    if (!notFile.isEmpty()) {
        prompts.message(UserPrompts::Kind::Warning, this, QStringLiteral("Invalid Filename"), notFile);
        return;
    }
    // The source itself is refused once the dialog closes, not offered for replacing.
    if (info.exists() && path != confirmedPath && !refersToSameFile(path, sourcePath)
        && !refersToSameFile(path, projectPath)
        && prompts.ask(this, QStringLiteral("Replace File"), QStringLiteral("Replace %1?").arg(info.fileName()),
                       {QStringLiteral("Replace"), QStringLiteral("Cancel")})
            != 0)
        return;
    QDialog::accept();
}
