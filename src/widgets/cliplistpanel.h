#pragma once

#include "clip.h"

class QListWidget;
class QListWidgetItem;

// Keeps the "YOUR VIDEO PARTS" list showing one row per part, "name (start - end)", marked
// parts highlighted. Each show() rewrites only the rows whose part changed and inserts or
// removes rows in one block where the lists differ, so an edit of one part among thousands
// touches a row or two; the list lays out rows of one height. Afterwards no row is current or
// selected, as with a list built anew.
class ClipListPanel {
public:
    explicit ClipListPanel(QListWidget *list);

    void show(const ClipList &clips);
    QListWidget *list() const { return m_list; }

private:
    static bool sameRow(const Clip &a, const Clip &b);
    static void writeRow(QListWidgetItem *item, const Clip &clip);

    QListWidget *m_list;
    ClipList m_shown;
};
