#pragma once

#include "clip.h"

class QListWidget;
class QListWidgetItem;

// Keeps the "YOUR VIDEO PARTS" list showing one row per part, "name (start - end)", marked
// parts highlighted. Each show() rewrites only the rows whose part changed and inserts or
// removes rows in one block where the lists differ, so an edit of one part among thousands
// touches a row or two; the list lays out rows of one height. The list's selection is the
// marked parts and its current row the part the trims act on (none: no current row), so the
// list and the timeline highlight the same parts.
class ClipListPanel {
public:
    explicit ClipListPanel(QListWidget *list);

    void show(const ClipList &clips, int currentPart = -1);
    QListWidget *list() const { return m_list; }
    // True while show() writes the list's selection: a change then is not the user's.
    bool isShowing() const { return m_showing; }

private:
    static bool samePart(const Clip &a, const Clip &b);
    static bool sameRow(const Clip &a, const Clip &b);
    static void writeRow(QListWidgetItem *item, const Clip &clip);
    void showSelection(const ClipList &clips, int currentPart);

    QListWidget *m_list;
    ClipList m_shown;
    bool m_showing = false;
};
