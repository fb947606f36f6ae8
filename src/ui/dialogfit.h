#pragma once

#include <QRect>
#include <QScrollArea>

class QWidget;

// Keeps dialogs within the free area of the screen they open on (a 1024x600 netbook as much
// as a large monitor): a dialog taller than that area scrolls its body while its buttons stay
// in view.
namespace DialogFit {

// Where a fitted window goes when it is shown.
enum class Placement {
    // Centred over its parent, as dialogs are.
    OverParent,
    // At the right edge of its parent's window, leaving the video on the left in view.
    RightOfParent,
};

// A scroll area holding a dialog's body. It asks for room for the whole body, so the dialog
// scrolls only when the screen is too small for it.
class BodyScrollArea : public QScrollArea {
public:
    explicit BodyScrollArea(QWidget *body, QWidget *parent);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
};

// The part of the screen a window may cover, its frame included.
QRect availableArea(const QWidget *window);

// From now on, each time the window is shown it is sized to its hint within the available area
// and placed there.
void keepOnScreen(QWidget *window, Placement placement = Placement::OverParent);

} // namespace DialogFit
