#include "editoperations.h"

#include "cliplist.h"
#include "timeformat.h"

#include <algorithm>

using Kind = MessageKind;

EditOutcome EditOutcome::refusal(Kind kind, const QString &title, const QString &text)
{
    EditOutcome outcome;
    outcome.message = EditMessage{kind, title, text};
    return outcome;
}

namespace Edit {

namespace {

EditOutcome changedList(ClipList clips, qint64 videoDuration)
{
    EditOutcome outcome;
    outcome.changed = true;
    outcome.editedDuration = recalculateOrReset(clips, videoDuration);
    numberPartsByPosition(clips);
    outcome.clips = std::move(clips);
    return outcome;
}

int markedCount(const ClipList &clips)
{
    return int(std::count_if(clips.cbegin(), clips.cend(), [](const Clip &c) { return c.isMarked; }));
}

Clip regionClip(qint64 start, qint64 end)
{
    Clip clip;
    clip.originalStart = start;
    clip.originalEnd = end;
    clip.isMarked = false;
    clip.color = keptRegionColor();
    return clip;
}

// Laying out sorts the list and moves parts along the edit, so a part is found
// again by its source range (names follow the position).
int indexOfPart(const ClipList &clips, const Clip &part)
{
    const auto it = std::find_if(clips.cbegin(), clips.cend(), [&part](const Clip &c) {
        return c.originalStart == part.originalStart && c.originalEnd == part.originalEnd;
    });
    return it == clips.cend() ? -1 : int(it - clips.cbegin());
}

// The part a trim acts on: the one last clicked while it still shows as selected, or else the
// only part that does. A part the user cannot see as selected is never changed.
int trimTarget(const EditState &state)
{
    const ClipList &clips = state.clips;
    const int i = state.selectedClipIndex;
    if (i >= 0 && i < clips.size() && clips[i].isMarked)
        return i;
    return markedCount(clips) == 1 ? firstMarkedClipIndex(clips) : -1;
}

// The first other part holding source time in [from, to), nearest to the edge that moves
// (at "from" when trimming an end outwards, at "to" for a start); -1 when the time is free.
int holderOf(const ClipList &clips, int self, qint64 from, qint64 to, bool nearestToStart)
{
    int found = -1;
    for (int j = 0; j < clips.size(); ++j) {
        const Clip &c = clips[j];
        if (j == self || !(c.originalStart < to && from < c.originalEnd))
            continue;
        if (found < 0 || (nearestToStart ? c.originalStart < clips[found].originalStart
                                         : c.originalEnd > clips[found].originalEnd))
            found = j;
    }
    return found;
}

EditOutcome overlapRefusal(const ClipList &clips, int holder, qint64 from, qint64 to)
{
    const Clip &c = clips[holder];
    const qint64 first = std::max(from, c.originalStart);
    const qint64 last = std::min(to, c.originalEnd);
    // Said in the holder's edited time, as the timeline and the time display show it.
    const qint64 shownFirst = saturatingAdd(c.startTime, saturatingSub(first, c.originalStart));
    const qint64 shownLast = saturatingAdd(c.startTime, saturatingSub(last, c.originalStart));
    return EditOutcome::refusal(Kind::Warning, QStringLiteral("Trim Would Overlap"),
                                QStringLiteral("%1 already holds %2\u2013%3.")
                                    .arg(c.name, formatTime(shownFirst), formatTime(shownLast)));
}

} // namespace

qint64 recalculateOrReset(ClipList &clips, qint64 videoDuration)
{
    if (clips.isEmpty())
        return videoDuration;
    return recalculateTimeline(clips);
}

EditOutcome splitAtPlayhead(const EditState &state)
{
    const qint64 p = state.playerPosition;
    int found = -1;
    for (int i = 0; i < state.clips.size(); ++i) {
        const Clip &c = state.clips[i];
        if (c.originalStart < p && p < c.originalEnd) {
            found = i;
            break;
        }
    }
    if (found < 0) {
        // On a part's edge the playhead is in the edit, so "not inside" would be untrue there.
        // Where two parts meet, the part that begins there is the one shown.
        for (const bool atStart : {true, false}) {
            for (const Clip &c : state.clips) {
                if (c.originalStart < c.originalEnd && p == (atStart ? c.originalStart : c.originalEnd))
                    return EditOutcome::refusal(
                        Kind::Information, QStringLiteral("Cannot Cut"),
                        QStringLiteral("The playhead is at the %1 of %2: there is nothing to cut off there.")
                            .arg(atStart ? QStringLiteral("start") : QStringLiteral("end"), c.name));
            }
        }
        return EditOutcome::refusal(Kind::Information, QStringLiteral("Cannot Cut"),
                                    QStringLiteral("Playhead is not inside any clip"));
    }

    const int selected = state.selectedClipIndex;
    const bool otherSelected = selected >= 0 && selected < state.clips.size() && selected != found;
    const Clip selectedClip = otherSelected ? state.clips[selected] : Clip();

    // A selection carried into both halves would make "Delete Selected" take the whole part.
    ClipList clips = state.clips;
    clips[found].isMarked = false;
    Clip second = clips[found];
    second.originalStart = p;
    second.name = QStringLiteral("Part %1").arg(clips.size() + 1);
    clips[found].originalEnd = p;
    clips.insert(found + 1, second);

    EditOutcome outcome = changedList(std::move(clips), state.videoDuration);
    outcome.selectedClipIndex = otherSelected ? indexOfPart(outcome.clips, selectedClip) : -1;
    outcome.message = EditMessage{
        Kind::Information, QStringLiteral("Video Cut"),
        QStringLiteral("Video cut into 2 parts at %1").arg(formatPreciseTime(sourceToTimeline(outcome.clips, p)))};
    return outcome;
}

EditOutcome markClip(const EditState &state)
{
    if (state.selectionStart == -1 || state.selectionEnd == -1)
        return EditOutcome::refusal(Kind::Warning, QStringLiteral("Warning"),
                                    QStringLiteral("Please set both start and end points first."));

    // Points set in either order make the same clip; a reversed range could not be exported.
    const qint64 first = std::min(state.selectionStart, state.selectionEnd);
    const qint64 last = std::max(state.selectionStart, state.selectionEnd);
    qint64 sourceStart = timelineToSourceOrSame(state.clips, first, state.editedDuration);
    qint64 sourceEnd = timelineToSourceOrSame(state.clips, last, state.editedDuration);
    if (sourceStart > sourceEnd)
        std::swap(sourceStart, sourceEnd);
    if (first == last || sourceStart == sourceEnd)
        return EditOutcome::refusal(Kind::Warning, QStringLiteral("Warning"),
                                    QStringLiteral("Start and end points must differ."));

    Clip clip;
    clip.startTime = first;
    clip.endTime = last;
    clip.originalStart = sourceStart;
    clip.originalEnd = sourceEnd;
    clip.isMarked = false;
    clip.name = QStringLiteral("Part %1").arg(state.clips.size() + 1);
    clip.color = firstClipColor();

    EditOutcome outcome;
    outcome.changed = true;
    outcome.recalculated = false;
    outcome.clearSelection = true;
    outcome.clips = state.clips;
    outcome.clips.append(clip);
    outcome.editedDuration = state.editedDuration;
    return outcome;
}

EditOutcome deleteSelectedClips(const EditState &state)
{
    const int m = markedCount(state.clips);
    if (m == 0)
        return EditOutcome::refusal(
            Kind::Information, QStringLiteral("No Part Selected"),
            QStringLiteral("Please click on a video part to select it first.\n\nSelected parts have a blue border."));
    if (m == state.clips.size())
        return EditOutcome::refusal(
            Kind::Warning, QStringLiteral("Can't Delete Everything"),
            QStringLiteral("You can't delete all parts.\n\nAt least one part must remain."));

    ClipList clips = state.clips;
    clips.removeIf([](const Clip &c) { return c.isMarked; });
    EditOutcome outcome = changedList(std::move(clips), state.videoDuration);
    // The selected part is gone; its index would name another.
    outcome.selectedClipIndex = -1;
    outcome.message = EditMessage{
        Kind::Information, QStringLiteral("Parts Deleted"),
        QStringLiteral("%1 %2 deleted.\n\nYour video is now %3 long.")
            .arg(m)
            .arg(m == 1 ? QStringLiteral("part") : QStringLiteral("parts"))
            .arg(formatTime(outcome.editedDuration))};
    return outcome;
}

EditOutcome deleteUnmarkedClips(const EditState &state)
{
    if (state.clips.isEmpty())
        return EditOutcome::refusal(Kind::Information, QStringLiteral("No Clips"),
                                    QStringLiteral("No clips exist. Create clips first by marking sections."));
    const int m = markedCount(state.clips);
    if (m == 0)
        return EditOutcome::refusal(
            Kind::Warning, QStringLiteral("No Marked Clips"),
            QStringLiteral("No marked clips to keep.\n\nMark the sections you want to KEEP first,\nthen delete unmarked sections."));

    ClipList clips = state.clips;
    clips.removeIf([](const Clip &c) { return !c.isMarked; });
    EditOutcome outcome = changedList(std::move(clips), state.videoDuration);
    outcome.message = EditMessage{
        Kind::Information, QStringLiteral("Unmarked Sections Deleted"),
        QStringLiteral("Kept %1 marked clip(s).\n\nNew timeline duration: %2\nAll unmarked sections have been permanently removed!")
            .arg(m)
            .arg(formatTime(outcome.editedDuration))};
    return outcome;
}

EditOutcome deleteMarkedClips(const EditState &state)
{
    if (state.clips.isEmpty())
        return EditOutcome::refusal(Kind::Information, QStringLiteral("No Clips"),
                                    QStringLiteral("No clips exist. Create clips first."));
    const int m = markedCount(state.clips);
    if (m == 0)
        return EditOutcome::refusal(Kind::Information, QStringLiteral("No Marked Clips"),
                                    QStringLiteral("No marked clips to delete."));

    ClipList sorted = state.clips;
    recalculateTimeline(sorted);

    ClipList kept;
    auto append = [&kept](Clip clip) {
        clip.name = QStringLiteral("Kept Region %1").arg(kept.size() + 1);
        kept.append(clip);
    };
    if (sorted.first().originalStart > 0)
        append(regionClip(0, sorted.first().originalStart));
    for (int i = 0; i < sorted.size(); ++i) {
        const Clip &clip = sorted[i];
        if (!clip.isMarked)
            append(clip);
        if (i + 1 < sorted.size() && clip.originalEnd < sorted[i + 1].originalStart)
            append(regionClip(clip.originalEnd, sorted[i + 1].originalStart));
    }
    if (sorted.last().originalEnd < state.videoDuration)
        append(regionClip(sorted.last().originalEnd, state.videoDuration));

    const int keptCount = kept.size();
    EditOutcome outcome = changedList(std::move(kept), state.videoDuration);
    outcome.message = EditMessage{
        Kind::Information, QStringLiteral("Marked Clips Deleted"),
        QStringLiteral("Deleted %1 marked clip(s).\n\nKept %2 unmarked region(s).\nNew timeline duration: %3")
            .arg(m)
            .arg(keptCount)
            .arg(formatTime(outcome.editedDuration))};
    return outcome;
}

EditOutcome trimClipStart(const EditState &state)
{
    const int i = trimTarget(state);
    if (i < 0)
        return EditOutcome::refusal(Kind::Warning, QStringLiteral("No Clip Selected"),
                                    QStringLiteral("Please select a clip from the list to trim its start."));
    const qint64 p = state.playerPosition;
    const Clip &part = state.clips[i];
    if (p >= part.originalEnd)
        return EditOutcome::refusal(Kind::Warning, QStringLiteral("Invalid Trim"),
                                    QStringLiteral("Trim position must be before the clip end."));
    if (p < part.originalStart) {
        const int holder = holderOf(state.clips, i, p, part.originalStart, false);
        if (holder >= 0)
            return overlapRefusal(state.clips, holder, p, part.originalStart);
    }

    ClipList clips = state.clips;
    clips[i].originalStart = p;
    const Clip trimmed = clips[i];
    EditOutcome outcome = changedList(std::move(clips), state.videoDuration);
    const int after = indexOfPart(outcome.clips, trimmed);
    outcome.selectedClipIndex = after;
    outcome.message = EditMessage{Kind::Information, QStringLiteral("Trim Complete"),
                                  QStringLiteral("Clip start trimmed to %1")
                                      .arg(formatPreciseTime(outcome.clips[after].startTime))};
    return outcome;
}

EditOutcome trimClipEnd(const EditState &state)
{
    const int i = trimTarget(state);
    if (i < 0)
        return EditOutcome::refusal(Kind::Warning, QStringLiteral("No Clip Selected"),
                                    QStringLiteral("Please select a clip from the list to trim its end."));
    const qint64 p = state.playerPosition;
    const Clip &part = state.clips[i];
    if (p <= part.originalStart)
        return EditOutcome::refusal(Kind::Warning, QStringLiteral("Invalid Trim"),
                                    QStringLiteral("Trim position must be after the clip start."));
    if (p > part.originalEnd) {
        const int holder = holderOf(state.clips, i, part.originalEnd, p, true);
        if (holder >= 0)
            return overlapRefusal(state.clips, holder, part.originalEnd, p);
    }

    ClipList clips = state.clips;
    clips[i].originalEnd = p;
    const Clip trimmed = clips[i];
    EditOutcome outcome = changedList(std::move(clips), state.videoDuration);
    const int after = indexOfPart(outcome.clips, trimmed);
    outcome.selectedClipIndex = after;
    outcome.message = EditMessage{Kind::Information, QStringLiteral("Trim Complete"),
                                  QStringLiteral("Clip end trimmed to %1")
                                      .arg(formatPreciseTime(outcome.clips[after].endTime))};
    return outcome;
}

bool hasRange(const EditState &state)
{
    return state.selectionStart >= 0 && state.selectionEnd >= 0 && state.selectionStart != state.selectionEnd;
}

EditOutcome deleteRange(const EditState &state)
{
    const qint64 first = std::min(state.selectionStart, state.selectionEnd);
    const qint64 last = std::max(state.selectionStart, state.selectionEnd);
    if (state.clips.isEmpty())
        return EditOutcome::refusal(Kind::Information, QStringLiteral("No Clips"),
                                    QStringLiteral("No clips exist. Create clips first."));

    // The range is edited time: each part keeps what lies outside it, split in two where the
    // range falls inside it.
    ClipList sorted = state.clips;
    recalculateTimeline(sorted);
    ClipList kept;
    for (const Clip &clip : std::as_const(sorted)) {
        if (clip.endTime <= first || clip.startTime >= last) {
            kept.append(clip);
            continue;
        }
        if (clip.startTime < first) {
            Clip head = clip;
            head.originalEnd = saturatingAdd(clip.originalStart, first - clip.startTime);
            head.isMarked = false;
            kept.append(head);
        }
        if (clip.endTime > last) {
            Clip tail = clip;
            tail.originalStart = saturatingAdd(clip.originalStart, last - clip.startTime);
            tail.isMarked = false;
            if (clip.startTime < first)
                tail.name = QStringLiteral("Part %1").arg(kept.size() + 1);
            kept.append(tail);
        }
    }
    if (kept.isEmpty())
        return EditOutcome::refusal(
            Kind::Warning, QStringLiteral("Can't Delete Everything"),
            QStringLiteral("You can't delete all parts.\n\nAt least one part must remain."));

    const qint64 removed = std::min(last, sorted.last().endTime) - first;
    EditOutcome outcome = changedList(std::move(kept), state.videoDuration);
    outcome.clearSelection = true;
    outcome.selectedClipIndex = -1;
    outcome.message = EditMessage{
        Kind::Information, QStringLiteral("Range Deleted"),
        QStringLiteral("%1 to %2 deleted (%3).\n\nYour video is now %4 long.")
            .arg(formatPreciseTime(first), formatPreciseTime(first + removed), formatPreciseTime(removed),
                 formatTime(outcome.editedDuration))};
    return outcome;
}

EditOutcome deleteSelection(const EditState &state)
{
    return hasRange(state) ? deleteRange(state) : deleteSelectedClips(state);
}

} // namespace Edit
