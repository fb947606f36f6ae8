#pragma once

#include "clip.h"

#include <QFont>
#include <QRect>
#include <QString>

// Layout of the floating title window: pure functions of the text, the font's metrics
// and the video area, so they run without any window.

// Horizontal and vertical padding plus border of the title box: 2 x 40 + 2 x 6 and 2 x 20 + 2 x 6.
constexpr int TitleBoxHorizontalChrome = 92;
constexpr int TitleBoxVerticalChrome = 52;

// Title font sizes outside 16..120 are clamped; 0 or less means the default 38.
int titlePixelSize(int titleFontSize);
QFont titleFont(const Clip &clip, const QFont &baseFont);
QString titleStyleSheet(const Clip &clip);

// How long the title stays up once shown, by the clip's duration mode.
int titleDisplayDurationMs(const Clip &clip);

// Greedy word wrap; line breaks become blank lines between paragraphs, words wider
// than maxWidth are cut by characters. Never empty: " " when nothing is left.
QString wrapTitleText(const QString &text, int maxWidth, const QFont &font);

// The title box in screen coordinates for a video area given in screen coordinates;
// an invalid rectangle when the area is empty. wrapped receives the text to show.
QRect computeTitleOverlayGeometry(const Clip &clip, const QFont &font, const QRect &videoArea,
                                  QString *wrapped);

// Large boxes go without the drop shadow.
bool titleOverlayWantsShadow(const QRect &geometry);
