#pragma once

#include "clip.h"
#include "mediaindex.h"

#include <QString>
#include <QVector>

// Deciding, from a packet scan alone, which frames of an edit can be copied as
// they are and which must be encoded again.
namespace SmartCut {

// The video's frames in display order.
struct FrameTable {
    QVector<qint64> pts;            // display order, strictly increasing
    QVector<int> decodeIndex;       // display index -> packet index in decode order
    // A copy may start at this frame: an IDR picture that no earlier packet is shown
    // after and no later packet is shown before (a closed GOP starts here).
    QVector<bool> cleanStart;
    qint64 endPts = 0;              // just past the last frame
    qint64 zeroPts = 0;             // the pts at which the edit's time 0 lies
    Media::Rational timeBase;
    int packetCount = 0;

    int frameCount() const { return int(pts.size()); }
    // Where a copy of whole GOPs may end: a clean start, or the end of the stream.
    bool cleanEnd(int frame) const { return frame == frameCount() || (frame >= 0 && frame < frameCount() && cleanStart[frame]); }
    int packetAt(int frame) const { return frame == frameCount() ? packetCount : decodeIndex[frame]; }
    qint64 ptsAt(int frame) const { return frame == frameCount() ? endPts : pts[frame]; }
    // Typical distance between clean starts, in frames.
    int typicalGop() const;
};

// False when timestamps are missing or repeated (error says which).
bool buildFrameTable(const Media::MediaIndex &index, FrameTable &table, QString *error);

// The pts of the file's time 0 in the video's time base: the earliest start of
// its video and audio, as the ffmpeg program and the player count time.
qint64 fileZeroPts(const Media::MediaIndex &index);

// Frames [first, end) in display order.
struct FrameRange {
    int first = 0;
    int end = 0;
    int count() const { return end - first; }
    bool operator==(const FrameRange &o) const { return first == o.first && end == o.end; }
};

// The frames whose time lies in [startMs, endMs).
FrameRange framesInRange(const FrameTable &table, qint64 startMs, qint64 endMs);

struct Segment {
    enum Kind { Encode, Copy };
    Kind kind = Encode;
    FrameRange frames;
    int part = 0;                   // index into the plan's parts
    bool operator==(const Segment &o) const { return kind == o.kind && frames == o.frames && part == o.part; }
};

struct Plan {
    QVector<FrameRange> parts;      // non-empty parts, in edit order
    QVector<int> clipOfPart;        // the clip each part comes from
    QVector<Segment> segments;      // in output order
    int copiedFrames = 0;
    int encodedFrames = 0;
};

// wholeEncode[i]: clip i must be encoded whole (effects, a title, its own rotation).
Plan planSmartCut(const FrameTable &table, const QVector<FrameRange> &clipFrames,
                  const QVector<bool> &wholeEncode);

// Why this source cannot be cut without encoding it all again, in plain words that follow
// "because"; empty when it can.
QString smartCutBlocker(const Media::MediaIndex &index, const FrameTable *table);

// "This file is damaged: its pictures end at 04.93 of 10.00" when the file was cut short
// (Media::picturesEndEarlyMs); empty for a whole file. Said when it is opened and when an
// export of it ends.
QString damagedFileNote(const Media::MediaIndex &index);

// What the original-quality export will do with this source, for the export dialog;
// index is null while the scan runs. withSound: the sound is exported too.
QString originalQualitySummary(const Media::MediaIndex *index, const ClipList &clips, bool withSound = true);

// The format the original-quality export encodes this sound in again ("aac", "mp3"); empty
// when there is none or it is copied as it is.
QString soundEncodedAs(const Media::AudioStream &audio);
// Why a part cannot be copied: its filters would have to turn the stored picture.
QString rotatedWithFiltersReason();
// A format's name as people know it: "VP9", "Opus", "MPEG-2".
QString formatShownName(const QString &codecName);

// Whether a clip needs its own filter chain (effects, title, rotation).
bool clipNeedsFilters(const Clip &clip);

} // namespace SmartCut
