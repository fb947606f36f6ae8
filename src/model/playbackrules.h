#pragma once

#include "clip.h"

// Rules that make playback follow the edited video rather than the source.
namespace Playback {

struct BoundaryAction {
    enum Kind { None, Seek, PauseAndSeek };
    Kind kind = None;
    qint64 target = 0;
};

// What the periodic clip-boundary check does at a source position while playing.
BoundaryAction boundaryAction(const ClipList &clips, qint64 position);

// Where play starts from: the first clip's start when no clip holds the position.
qint64 playStartPosition(const ClipList &clips, qint64 position);

// Target of one arrow-key skip; step is 10 s while playing, 1 s otherwise.
qint64 skipTarget(const ClipList &clips, qint64 position, qint64 duration, bool playing,
                  bool forward);

// One fixed 33 ms frame step, kept inside 0..videoDuration.
qint64 frameStepTarget(qint64 position, qint64 videoDuration, bool forward);

constexpr qint64 BoundaryCheckIntervalMs = 500;
constexpr qint64 NearEndMs = 499;

} // namespace Playback
