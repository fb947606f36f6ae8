#pragma once

#include "clip.h"

#include <QFont>
#include <QImage>
#include <QSize>
#include <QStringList>

// Draws a clip's title as a transparent full-frame image for the export, the
// boxed, outlined text the preview shows.
class TitleImageRenderer {
public:
    explicit TitleImageRenderer(const QFont &baseFont = QFont());

    QFont titleFont(const Clip &clip) const;
    // The title's lines, word-wrapped to 800/960 of the frame width.
    QStringList wrapLines(const QString &text, const QFont &font, int frameWidth) const;
    // The box around the text, in frame coordinates.
    QRect boxRect(const Clip &clip, const QSize &frameSize) const;
    QImage render(const Clip &clip, const QSize &frameSize) const;

private:
    QFont baseFont;
};
