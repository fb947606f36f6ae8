#pragma once

#include "mediaindex.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>

// Writes the output of a cut that copies most packets: copied runs of the source's
// video packets and encoded pieces, one after another in one video stream, with
// an audio track from another file. Runs in the calling thread.
namespace StreamJoiner {

struct Segment {
    enum Kind { Copy, Piece };
    Kind kind = Copy;
    int firstPacket = 0;            // Copy: source video packets [first, end) in decode order
    int endPacket = 0;
    QString piecePath;              // Piece: a raw stream of framePts.size() pictures, none reordered
    QVector<qint64> framePts;       // Piece: the source pts of its pictures, in order
    qint64 endPts = 0;              // Piece: the pts just after its last picture
    qint64 offset = 0;              // source pts + offset = output pts (video time base)
};

// The source's own audio packets for one part: whole packets from the one nearest the
// part's start, as many as keep the output's sound within half a packet of its picture.
struct AudioPart {
    qint64 sourceStart = 0;         // video time base: the part's first frame
    qint64 outputEnd = 0;           // video time base: where the part ends in the output
};

struct Request {
    QString sourcePath;
    std::shared_ptr<const Media::MediaIndex> index;
    QVector<Segment> segments;
    QString audioPath;              // audio from this file; empty: see audioParts
    QVector<AudioPart> audioParts;  // copied from the source when audioPath is empty
    QString outputPath;
    QString outputFormat;           // libavformat muxer name: "mp4", "mov", "matroska"
};

struct Outcome {
    QString error;                  // empty on success; "Canceled" when cancel was set
    // The source's own pictures could not be joined (not a failure to read or write a
    // file): encoding it whole instead will do. error then says why, in plain words that
    // follow "because".
    bool unjoinable = false;
};

Outcome join(const Request &request, const std::atomic<bool> *cancel = nullptr,
             const std::function<void(int)> &progress = {});

// Decode timestamps for pictures with these presentation times, in decode order: strictly
// rising and never after their picture's own time. A source's dts cannot simply be kept:
// Matroska stores none, and those libavformat guesses are missing for the first pictures and
// uneven where times are rounded to the millisecond. Empty when two pictures share a time.
QVector<qint64> decodeTimestamps(const QVector<qint64> &ptsInDecodeOrder);

// Annex B NAL units (start codes) to NAL units each prefixed by its length in
// lengthSize bytes; empty when a unit does not fit the length field.
QByteArray annexBToLengthPrefixed(const QByteArray &annexB, int lengthSize);
// The parameter sets of avcC/hvcC extradata as length-prefixed NAL units.
QByteArray parameterSetsFromExtradata(const QByteArray &extradata, bool hevc, int lengthSize);

} // namespace StreamJoiner
