#pragma once

#include "clip.h"
#include "stillframeeffects.h"

#include <QDialog>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QSlider;
class QVBoxLayout;
class SliderScrollFilter;

// Edits the visual effects of one clip: seven sliders, grayscale, sepia and rotation.
class EffectsDialog : public QDialog {
    Q_OBJECT
public:
    explicit EffectsDialog(const Clip &clip, QWidget *parent = nullptr);
    ~EffectsDialog() override;

    // Sets every control to its neutral value; the clip changes only on Apply.
    void clearAllEffects();
    // Writes the controls into clip as Apply does, hasEffects included.
    void applyTo(Clip &clip) const;
    // The values the still-frame preview uses.
    StillFrameEffects previewEffects() const;

    // Index of the rotation choice for a clip's rotation; the first when none matches.
    static int rotationIndexFor(int degrees);

signals:
    void previewRequested(const StillFrameEffects &effects);

private:
    QSlider *addSlider(QVBoxLayout *layout, const QString &heading, const QString &objectName,
                       int minimum, int maximum, int value, const QString &suffix);
    void addSeparator(QVBoxLayout *layout);

    QSlider *blurSlider = nullptr;
    QSlider *brightnessSlider = nullptr;
    QSlider *contrastSlider = nullptr;
    QSlider *saturationSlider = nullptr;
    QSlider *opacitySlider = nullptr;
    QSlider *fadeInSlider = nullptr;
    QSlider *fadeOutSlider = nullptr;
    QCheckBox *grayscaleBox = nullptr;
    QCheckBox *sepiaBox = nullptr;
    QComboBox *rotationBox = nullptr;
    // Parentless by design; lives exactly as long as the dialog.
    std::unique_ptr<SliderScrollFilter> scrollFilter;
};
