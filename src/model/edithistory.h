#pragma once

#include "clip.h"

#include <optional>

// Undo and redo stacks of whole clip-list copies, newest last.
class EditHistory {
public:
    static constexpr int Limit = 50;

    // The list as it stands before a change; drops the redo stack.
    void saveUndoState(const ClipList &current);
    // Returns the list to restore, or nothing when there is nothing to undo/redo.
    std::optional<ClipList> undo(const ClipList &current);
    std::optional<ClipList> redo(const ClipList &current);
    void clear();

    int undoCount() const { return int(undoStack.size()); }
    int redoCount() const { return int(redoStack.size()); }

private:
    static void pushLimited(QList<ClipList> &stack, const ClipList &list);

    QList<ClipList> undoStack;
    QList<ClipList> redoStack;
};
