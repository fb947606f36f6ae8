#pragma once

#include <QDialog>
#include <QImage>

class QLabel;
class UserPrompts;
struct StillFrameEffects;

// Shows one processed still frame, scaled to fit, before the effects are applied.
class StillFramePreview : public QDialog {
    Q_OBJECT
public:
    explicit StillFramePreview(const QImage &image, QWidget *parent = nullptr);

    QImage image() const { return shownImage; }
    QLabel *imageLabel() const { return imageView; }

    // The whole preview: a warning when there is no frame, otherwise the processed
    // frame in a modal preview run through prompts. effectsDialog is the parent of
    // every window it opens.
    static void run(UserPrompts &prompts, QWidget *effectsDialog, const QImage &frame,
                    const StillFrameEffects &effects);

private:
    QImage shownImage;
    QLabel *imageView = nullptr;
};
