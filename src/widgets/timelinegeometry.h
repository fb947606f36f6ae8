#pragma once

#include <QString>
#include <QtGlobal>

// Time <-> pixel mapping of the timeline strip. The track leaves a margin on both
// sides; at zoom z the whole duration spans z track widths, of which the part
// starting scrollOffset px from the track's left end is visible.

constexpr int kTimelineMargin = 10;
constexpr int kTimelineMinZoom = 1;
constexpr int kTimelineMaxZoom = 10;

// Visible track width W for a widget of the given width (never negative).
qint64 timelineTrackWidth(int widgetWidth);
// Width S = W x zoom over which the whole duration is laid out.
qint64 timelineScaledWidth(int widgetWidth, int zoom);
// Largest scroll offset, S - W (0 at zoom 1).
qint64 maxTimelineScrollOffset(int widgetWidth, int zoom);
qint64 clampTimelineScrollOffset(qint64 offset, int widgetWidth, int zoom);

// x of time t; the left margin when duration is 0 or less.
qint64 timeToX(qint64 time, int widgetWidth, qint64 duration, int zoom, qint64 scrollOffset = 0);
// Time under x, clamped to 0..duration.
qint64 xToTime(qint64 x, int widgetWidth, qint64 duration, int zoom, qint64 scrollOffset = 0);

// x of ruler tick i (0..10): the ticks divide the scaled width in ten.
qint64 timelineTickX(int index, int widgetWidth, int zoom, qint64 scrollOffset = 0);
qint64 timelineTickTime(int index, qint64 duration);

// Offset that brings time into view: unchanged when already visible, else the time
// lands a tenth of the view from the left edge (paging), or, when minimal is set,
// just at the edge it left by (smooth following while dragging).
qint64 timelineOffsetShowing(qint64 time, int widgetWidth, qint64 duration, int zoom,
                             qint64 scrollOffset, bool minimal = false);

// Offset after a zoom change that keeps the anchor time at the same screen x when
// it was visible, and otherwise pages it into view.
qint64 timelineOffsetAfterZoom(qint64 anchorTime, int widgetWidth, qint64 duration, int oldZoom,
                               qint64 oldOffset, int newZoom);

