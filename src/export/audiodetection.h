#pragma once

#include <QString>

// Whether the media file has an audio stream.
bool detectAudioStream(const QString &path);
