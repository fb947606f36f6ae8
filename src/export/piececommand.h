#pragma once

#include "mediaindex.h"

#include <QSize>
#include <QString>
#include <QStringList>

// One stretch of source frames encoded again so that it can sit between copied
// packets of the same stream: same codec, profile, level, pixel format, size,
// aspect ratio and colour description, written as a raw stream that carries its
// own parameter sets.
struct PieceRequest {
    QString sourcePath;
    QString outputPath;
    Media::VideoStream stream;      // the source's parameters to match (packets unused)
    qint64 zeroPts = 0;             // pts of the file's time 0
    qint64 firstPts = 0;            // frames with firstPts <= pts < endPts
    qint64 endPts = 0;
    int frameCount = 0;             // the frames in [firstPts, endPts)
    int parameterSetId = 0;         // H.264: ids the source does not use
    int crf = 16;
    QStringList filters;            // the part's own chain, applied from its start
    QString titleImage;             // laid over the part's first titleSeconds
    double titleSeconds = 0.0;
    double partSeconds = 0.0;
    bool fitToSourceSize = false;   // the chain changes the frame size (rotation)
};

namespace PieceCommand {

// "-ss" value: far enough before the first frame that decoding starts at a keyframe
// ahead of it whatever the demuxer seeks by.
double seekSeconds(const PieceRequest &request);
QStringList encoderArguments(const Media::VideoStream &stream, int parameterSetId, int crf);
QStringList arguments(const PieceRequest &request);
// The H.264 SPS ids found in avcC extradata (empty for other codecs).
QList<int> h264ParameterSetIds(const QByteArray &extradata);
// A parameter-set id that the source does not use.
int unusedParameterSetId(const QByteArray &extradata);

} // namespace PieceCommand
