#include "timelinepartlayout.h"

#include "timelinegeometry.h"

#include <algorithm>
#include <vector>

namespace TimelinePartLayout {

namespace {

// A part this far off screen still shows its border's edge.
constexpr qint64 kReach = 4;
// Far beyond any screen, small enough for the raster engine (as the strip clamps its boxes).
constexpr qint64 kPaintLimit = qint64(1) << 20;

qreal paintX(qint64 x)
{
    return qreal(qBound(-kPaintLimit, x, kPaintLimit));
}

enum ColumnFlag : unsigned char { Covered = 1, Marked = 2, Boundary = 4 };

void appendRuns(const std::vector<unsigned char> &columns, unsigned char flag, QVector<Span> &spans)
{
    const int width = int(columns.size());
    for (int x = 0; x < width;) {
        if (!(columns[size_t(x)] & flag)) {
            ++x;
            continue;
        }
        const int left = x;
        while (x < width && (columns[size_t(x)] & flag))
            ++x;
        spans.append({left, x - 1});
    }
}

} // namespace

bool isLaidOut(const ClipList &clips)
{
    for (qsizetype i = 1; i < clips.size(); ++i) {
        if (clips.at(i).startTime < clips.at(i - 1).startTime || clips.at(i).endTime < clips.at(i - 1).endTime)
            return false;
    }
    return true;
}

Plan plan(const ClipList &clips, bool laidOut, const View &view, const std::function<int(int)> &textWidth,
          int textHeight)
{
    Plan result;
    const qint64 width = view.width;
    if (clips.isEmpty() || width <= 0 || view.duration <= 0)
        return result;
    auto xOf = [&view](qint64 time) {
        return timeToX(time, view.width, view.duration, view.zoom, view.scrollOffset);
    };
    // Both ends rise along a laid-out list, so these do too.
    auto rightmost = [&](const Clip &clip) { return qMax(xOf(clip.startTime), xOf(clip.endTime) - 1); };

    qsizetype first = 0;
    if (laidOut) {
        first = std::partition_point(clips.cbegin(), clips.cend(),
                                     [&](const Clip &clip) { return rightmost(clip) + kReach < 0; })
            - clips.cbegin();
    }

    std::vector<unsigned char> columns(size_t(width), 0);
    bool anyNarrow = false;
    for (qsizetype i = first; i < clips.size(); ++i) {
        const Clip &clip = clips.at(i);
        const qint64 left = xOf(clip.startTime);
        const qint64 right = xOf(clip.endTime) - 1;
        if (qMin(left, right) - kReach > width) {
            if (laidOut)
                break;
            continue;
        }
        if (qMax(left, right) + kReach < 0)
            continue;
        if (right - left >= kNarrowPart) {
            result.boxes.append({int(i), left, right});
            continue;
        }
        anyNarrow = true;
        const qint64 from = qBound<qint64>(0, qMin(left, right), width - 1);
        const qint64 to = qBound<qint64>(0, qMax(left, right), width - 1);
        const unsigned char flags = Covered | (clip.isMarked ? Marked : 0);
        for (qint64 x = from; x <= to; ++x)
            columns[size_t(x)] |= flags;
        for (const qint64 edge : {left, right}) {
            if (edge >= 0 && edge < width)
                columns[size_t(edge)] |= Boundary;
        }
    }
    if (anyNarrow) {
        appendRuns(columns, Covered, result.narrowSpans);
        appendRuns(columns, Marked, result.markedSpans);
        for (int x = 0; x < int(width); ++x) {
            if (columns[size_t(x)] & Boundary)
                result.boundaries.append(x);
        }
    }

    // Numbers: only on boxes wide enough for the smallest plate, then measured; a plate must lie
    // on screen, inside its box and clear of the plates placed before it.
    const qreal boxHeight = view.trackTop;
    if (textHeight > boxHeight - 2 * kLabelInset)
        return result;
    const qreal smallestPlate = kPlatePadding + 2 * kLabelInset + 1;
    std::fill(columns.begin(), columns.end(), 0);
    for (qsizetype b = 0; b < result.boxes.size(); ++b) {
        const Box &box = result.boxes.at(b);
        const qreal left = paintX(box.left);
        const qreal boxWidth = paintX(box.right) - left;
        if (boxWidth < smallestPlate)
            continue;
        const qreal plateWidth = textWidth(box.index + 1) + kPlatePadding;
        if (plateWidth > boxWidth - 2 * kLabelInset)
            continue;
        const QRectF plate(left + (boxWidth - plateWidth) / 2, view.trackTop + (boxHeight - textHeight) / 2.0,
                           plateWidth, textHeight);
        if (plate.left() < 0 || plate.right() > width)
            continue;
        // One column of space between neighbouring plates.
        const int from = qMax(0, int(plate.left()) - 1);
        const int to = qMin(int(width) - 1, int(plate.right()) + 1);
        if (std::any_of(columns.begin() + from, columns.begin() + to + 1, [](unsigned char c) { return c != 0; }))
            continue;
        std::fill(columns.begin() + from, columns.begin() + to + 1, 1);
        result.labels.append({box.index, int(b), plate});
    }
    return result;
}

} // namespace TimelinePartLayout
