#pragma once

#include "clip.h"
#include "messagekind.h"

#include <optional>

// What an edit reads: the list and its companions as the window holds them.
struct EditState {
    ClipList clips;
    qint64 playerPosition = 0;
    qint64 selectionStart = -1;
    qint64 selectionEnd = -1;
    int selectedClipIndex = -1;
    qint64 videoDuration = 0;
    qint64 editedDuration = 0;
};

struct EditMessage {
    MessageKind kind = MessageKind::Information;
    QString title;
    QString text;
};

// Either a refusal (changed false, a message) or a new list with an optional
// confirmation. The window takes an undo snapshot only when changed is true.
struct EditOutcome {
    bool changed = false;
    ClipList clips;
    qint64 editedDuration = 0;   // of clips, or the video's duration for an empty list
    bool recalculated = true;    // clips are sorted and laid out (false only for a mark)
    bool clearSelection = false;
    // The window's selected clip index afterwards (-1 for none); unset leaves it as it is.
    std::optional<int> selectedClipIndex;
    std::optional<EditMessage> message;

    static EditOutcome refusal(MessageKind kind, const QString &title, const QString &text);
};

namespace Edit {

EditOutcome splitAtPlayhead(const EditState &state);
EditOutcome markClip(const EditState &state);
EditOutcome deleteSelectedClips(const EditState &state);
EditOutcome deleteUnmarkedClips(const EditState &state);
EditOutcome deleteMarkedClips(const EditState &state);
// Trims act on the selected part and never take source time another part holds.
EditOutcome trimClipStart(const EditState &state);
EditOutcome trimClipEnd(const EditState &state);
// Removes the edited-time range between the two selection points from every part it covers.
EditOutcome deleteRange(const EditState &state);
// What the Delete key does: the range when one is set, else the selected parts.
EditOutcome deleteSelection(const EditState &state);
bool hasRange(const EditState &state);

// Sorts and lays out the list; the edited duration falls back to the video's
// duration when the list is empty.
qint64 recalculateOrReset(ClipList &clips, qint64 videoDuration);

} // namespace Edit
