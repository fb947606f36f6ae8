#include "edithistory.h"

void EditHistory::pushLimited(QList<ClipList> &stack, const ClipList &list)
{
    stack.append(list);
    while (stack.size() > Limit)
        stack.removeFirst();
}

void EditHistory::saveUndoState(const ClipList &current)
{
    pushLimited(undoStack, current);
    redoStack.clear();
}

std::optional<ClipList> EditHistory::undo(const ClipList &current)
{
    if (undoStack.isEmpty())
        return std::nullopt;
    pushLimited(redoStack, current);
    return undoStack.takeLast();
}

std::optional<ClipList> EditHistory::redo(const ClipList &current)
{
    if (redoStack.isEmpty())
        return std::nullopt;
    pushLimited(undoStack, current);
    return redoStack.takeLast();
}

void EditHistory::clear()
{
    undoStack.clear();
    redoStack.clear();
}
