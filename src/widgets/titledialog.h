#pragma once

#include "clip.h"

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTextEdit;

// Edits the title of one clip: text, size, colour, how long it shows and where.
class TitleDialog : public QDialog {
    Q_OBJECT
public:
    // What accepting the dialog did to the clip's title.
    enum class Outcome { TitleSet, TitleRemoved, TitleSwitchedOff };

    explicit TitleDialog(const Clip &clip, QWidget *parent = nullptr);

    // Writes the accepted choices into clip, hasEffects included.
    Outcome applyTo(Clip &clip) const;

    bool removeRequested() const { return removeFlag; }
    int customSeconds() const { return seconds; }

    // Value of the size box for a clip's font size.
    static int initialFontSize(int titleFontSize);
    // Index of the colour choice for a clip's title colour; the first when none matches.
    static int colorIndexFor(const QColor &color);
    static constexpr int MinimumSeconds = 1;
    static constexpr int MaximumSeconds = 300;

private:
    void updatePreview();
    void updateSecondsLabel();
    void updateStepButtons();
    void decreaseSeconds();
    void increaseSeconds();
    QColor selectedColor() const;

    QTextEdit *textEdit = nullptr;
    QSpinBox *sizeBox = nullptr;
    QComboBox *colorBox = nullptr;
    QLabel *previewLabel = nullptr;
    QRadioButton *quickOption = nullptr;
    QRadioButton *customOption = nullptr;
    QRadioButton *entireOption = nullptr;
    QPushButton *minusButton = nullptr;
    QPushButton *plusButton = nullptr;
    QLabel *secondsLabel = nullptr;
    QRadioButton *topOption = nullptr;
    QRadioButton *centerOption = nullptr;
    int seconds = 3;
    bool removeFlag = false;
};
