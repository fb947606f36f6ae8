#pragma once

#include <QString>
#include <QStringList>

// Texts of the status line, from the encoders the installed ffmpeg can use.
namespace StatusText {

// "Ready | GPU: NVIDIA" ... "Ready | CPU".
QString ready(const QStringList &encoders);
// Whether the preview keeps up with the effects, in words for anyone.
QString performance(bool isLagging);
QString performanceStyle(bool isLagging);

} // namespace StatusText
