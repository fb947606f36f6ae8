#pragma once

class QFont;
class QString;

// Opening a font's files and rasterising its glyphs costs milliseconds the first time they are
// drawn. Drawing the text once off screen, while the window is idle, spares the paint that
// first shows it (the first paint with a video, which is busy enough).
void warmUpText(const QFont &font, const QString &text);
