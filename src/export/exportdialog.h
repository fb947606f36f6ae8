#pragma once

#include "exportsettings.h"

#include <QDialog>
#include <functional>

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class UserPrompts;

// "Save Your Video": output file, quality and what to do with the audio.
class ExportDialog : public QDialog {
    Q_OBJECT
public:
    ExportDialog(UserPrompts &prompts, const QString &sourcePath, int clipCount, qint64 editedDuration,
                 QWidget *parent = nullptr);

    // The choices, with the format and bitrate read from their combo boxes.
    ExportSettings settings() const;

    // The line that says what the original-quality export will do, asked with whether the
    // sound is included; asked again while the answer may still change (the source is being read).
    void setOriginalQualityNote(std::function<QString(bool withSound)> note);
    QString originalQualityNote() const;

    // The quality chosen, as a word kept between runs: "original", "480p", "720p" or "1080p".
    QString qualityKey() const;
    // Chooses the quality a key names; an unknown key leaves the choice as it is.
    void chooseQuality(const QString &key);
    // Suggests the output file in that folder, under the name it would have had; an empty or
    // missing folder changes nothing.
    void suggestFolder(const QString &folder);

    // The edit's project file: like the video, refused once the dialog closes, never offered for replacing.
    void setProjectPath(const QString &path) { projectPath = path; }

    QLineEdit *pathField() const { return pathEdit; }
    QWidget *audioOptionsPanel() const { return audioPanel; }

public slots:
    void browse();
    // Refuses a folder and asks before an existing file is replaced, unless the file
    // dialog has just asked about that very name.
    void accept() override;

private:
    void onQualityChosen(int id, bool checked);
    void onAudioModeChosen(int id, bool checked);
    void onFormatChanged(const QString &text);
    void applyExtension();
    QString formatExtension() const;

    UserPrompts &prompts;
    ExportSettings current;
    QLineEdit *pathEdit = nullptr;
    QString confirmedPath;    // replacing it was agreed to in the file dialog
    QString sourcePath;
    QString projectPath;
    QButtonGroup *qualityGroup = nullptr;
    QButtonGroup *audioGroup = nullptr;
    QWidget *audioPanel = nullptr;
    QComboBox *formatCombo = nullptr;
    QLabel *bitrateLabel = nullptr;
    QComboBox *bitrateCombo = nullptr;
    QLabel *originalNote = nullptr;
    std::function<QString(bool withSound)> originalNoteSource;
    void refreshOriginalNote();
};
