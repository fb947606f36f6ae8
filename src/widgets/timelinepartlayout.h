#pragma once

#include "clip.h"

#include <QRectF>
#include <QVector>
#include <functional>

// What the timeline strip draws of its parts in one view, worked out without a widget so the
// cost of a paint follows the pixels on screen rather than the length of the edit: parts off
// screen are skipped (found by binary search when the list is laid out), parts too narrow to
// show a box of their own are gathered into columns, and a part's number is placed only where
// it fits inside its box and clear of every other number.
namespace TimelinePartLayout {

// Narrower than this a box would be all border (a 2 px pen on either side).
constexpr qint64 kNarrowPart = 4;
// A number's plate: its text width plus this, and clear of the box's borders.
constexpr int kPlatePadding = 8;
constexpr int kLabelInset = 2;

struct View {
    int width = 0;            // of the widget
    qint64 duration = 0;
    int zoom = 1;
    qint64 scrollOffset = 0;
    int trackTop = 0;         // the boxes span trackTop..2*trackTop, as the strip draws them
};

struct Box {
    int index = 0;            // in the clip list
    qint64 left = 0;          // x of its start
    qint64 right = 0;         // x of its end, less one
};

// Screen columns [left, right], both inclusive.
struct Span {
    int left = 0;
    int right = 0;
};

struct Label {
    int index = 0;            // the part; its number is index + 1
    int box = 0;              // in Plan::boxes
    QRectF plate;
};

struct Plan {
    QVector<Box> boxes;           // parts drawn whole, in list order
    QVector<Span> narrowSpans;    // columns covered by narrow parts
    QVector<Span> markedSpans;    // columns covered by narrow marked parts
    QVector<int> boundaries;      // columns where a narrow part starts or ends, ascending
    QVector<Label> labels;        // never overlapping, each inside its box
};

// True when start and end times never fall along the list (as after recalculateTimeline):
// visible parts are then one run found by binary search.
bool isLaidOut(const ClipList &clips);

// textWidth(n) is the drawn width of the number n; textHeight the plate's height.
Plan plan(const ClipList &clips, bool laidOut, const View &view, const std::function<int(int)> &textWidth,
          int textHeight);

} // namespace TimelinePartLayout
