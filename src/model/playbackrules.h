#pragma once

#include "clip.h"

// Rules that make playback follow the edited video rather than the source.
namespace Playback {

// Follows the edit frame by frame while it plays, as the export cuts it: a frame is kept when its
// start time lies in a part's [originalStart, originalEnd); parts play in the list's order, and
// a part that ends where the next one starts runs on into it without a seek.
class EditFollower {
public:
    struct Step {
        enum Kind {
            Show,   // a kept frame
            Skip,   // removed, or decoded before the last jump landed: the last kept frame stays
            Jump,   // the first frame past the part: seek to target, the next part's start
            Finish, // past the last part: pause and seek to target, the first part's start
        };
        Kind kind = Show;
        qint64 target = 0;
        bool entered = false; // Show: this frame opens the part part()
    };

    // startUs is the frame's source time in microseconds (QVideoFrame::startTime()).
    Step frame(const ClipList &clips, qint64 startUs);
    // Forgets where it was: a seek it did not ask for, or another list.
    void reset();
    int part() const { return current; }
    bool jumping() const { return pendingPart >= 0; }
    // The part a jump is on its way to, or the current one; -1 when none.
    int playingPart() const { return jumping() ? pendingPart : current; }
    // The source time (ms) from which the sound must be muted because a jump ends the playing
    // part (leadMs before its end), or -1 when it runs on into the next part or there is none.
    qint64 muteFrom(const ClipList &clips, qint64 leadMs) const;

private:
    Step jumpTo(const ClipList &clips, int part, qint64 fromUs, Step::Kind kind);
    Step enter(int part);

    int current = -1;
    int pendingPart = -1;
    qint64 pendingTargetUs = 0;
    qint64 jumpedFromUs = 0;
};

// Where the playhead stands after an edit: where it was while a part holds that place, else
// at the join that replaced the removed stretch (the start of the next part in the file), or
// at the end of the last part.
qint64 positionInEdit(const ClipList &clips, qint64 position);

// Where play starts from: the first clip's start when no clip holds the position.
qint64 playStartPosition(const ClipList &clips, qint64 position);

// Target of one arrow-key skip; step is 10 s while playing, 1 s otherwise.
qint64 skipTarget(const ClipList &clips, qint64 position, qint64 duration, bool playing,
                  bool forward);

// The seek that shows the frame next to the one starting at frameStartUs and lasting frameUs
// (33.333 ms when unknown): a paused seek to t shows the first frame starting at or after t, so
// the next frame's start in whole ms rounded down, kept inside the video.
qint64 frameStepTarget(qint64 frameStartUs, qint64 frameUs, qint64 videoDuration, bool forward);

// How long before a jump the sound is muted: the media back end writes about 100 ms of sound
// (plus one audio frame) ahead of what is heard, and muting acts on what it writes next.
constexpr qint64 MuteLeadMs = 200;
// A paused player may report a position up to this much before the one it was sent to.
constexpr qint64 SeekReportSlackMs = 2;

} // namespace Playback
