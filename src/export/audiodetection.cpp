#include "audiodetection.h"

// Stand-in until the ffmpeg probe lands: assume the source has audio.
bool detectAudioStream(const QString &path)
{
    return !path.isEmpty();
}
