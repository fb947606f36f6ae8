#include "audiodetection.h"

#include "sourcefacts.h"

bool detectAudioStream(const QString &path)
{
    return !path.isEmpty() && Media::readStreamHeader(path).hasAudio;
}
