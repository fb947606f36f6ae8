#pragma once

#include "clip.h"

#include <QLabel>
#include <QPointer>

#include <QGraphicsDropShadowEffect> // QPointer needs the whole type where moc code copies it

// The floating title window above the video: a frameless top-level label that
// never takes the focus.
class TitleOverlay : public QLabel {
    Q_OBJECT
public:
    TitleOverlay();

    // Sets font, style, text and geometry for clip over videoArea (screen coordinates).
    // Returns false, changing nothing visible, when the geometry comes out invalid.
    bool layOut(const Clip &clip, const QRect &videoArea);

    QGraphicsDropShadowEffect *shadow() const { return titleShadow; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void setShadowEnabled(bool enabled);

    // Removing a graphics effect deletes it, so the shadow is made again when needed.
    QPointer<QGraphicsDropShadowEffect> titleShadow;
};
