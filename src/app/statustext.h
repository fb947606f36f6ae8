#pragma once

#include <QString>
#include <QStringList>

// Texts of the status line, from the encoders the installed ffmpeg can use.
namespace StatusText {

// "Ready | GPU: NVIDIA" ... "Ready | CPU".
QString ready(const QStringList &encoders);
// "NVIDIA", "Intel QSV", "AMD" or "CPU".
QString hardwareWord(const QStringList &encoders);
// "✓ CPU | 29.9 FPS" or "⚠ ..." when lagging.
QString performance(const QStringList &encoders, double fps, bool isLagging);
QString performanceStyle(bool isLagging);

} // namespace StatusText
