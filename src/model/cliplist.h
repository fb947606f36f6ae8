#pragma once

#include "clip.h"

// Sorts by originalStart and lays the clips end to end from 0 on the edited
// timeline. Returns the edited duration (0 for an empty list).
qint64 recalculateTimeline(ClipList &clips);

// Source position -> edited timeline; 0 when no clip contains the position.
qint64 sourceToTimeline(const ClipList &clips, qint64 position);
// Edited timeline -> source position; past the end maps to the last clip's end.
qint64 timelineToSource(const ClipList &clips, qint64 position, qint64 editedDuration);
// As above, but the position unchanged when the list is empty.
qint64 sourceToTimelineOrSame(const ClipList &clips, qint64 position);
qint64 timelineToSourceOrSame(const ClipList &clips, qint64 position, qint64 editedDuration);

// Index of the first clip (list order) whose source range holds position, or -1.
int clipIndexAtSource(const ClipList &clips, qint64 position);

// Index of the part whose frames include one starting at this source time: the first whose
// [originalStart, originalEnd) holds it, or -1.
int clipIndexHoldingFrame(const ClipList &clips, qint64 position);

// Index of the first marked clip in list order, or -1: the clip the title and effects dialogs edit.
int firstMarkedClipIndex(const ClipList &clips);

// The rule that decides whether a clip's frames need processing.
bool computeHasEffects(const Clip &clip);
// True when both show the same on screen: effects and title alike.
bool sameLook(const Clip &a, const Clip &b);
// True when any visual effect (not the title) is set.
bool hasVisualEffects(const Clip &clip);

// A new clip "Part 1" covering a whole video of the given duration.
Clip makeFirstClip(qint64 duration);

// Parts named by the program ("Part 3", "Kept Region 2") take their place in the list as their
// number, so the list, the timeline and every message count the same way.
void numberPartsByPosition(ClipList &clips);

// Click on a clip of the timeline: a plain click leaves only that clip marked, a
// Control-click toggles it. Returns false (and changes nothing) for a bad index.
bool applyClipClick(ClipList &clips, int index, bool controlHeld);
