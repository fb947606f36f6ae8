#include "timelinegeometry.h"

#include <QtMath>

namespace {

// Clip times from a project file can be anywhere in the 64-bit range: the product is
// taken in 128 bits and the result held far beyond any screen but well inside qint64.
constexpr qint64 kFarAway = qint64(1) << 48;

qint64 scaledProduct(qint64 value, qint64 factor, qint64 divisor)
{
    const __int128 result = __int128(value) * factor / divisor;
    return qint64(qBound<__int128>(-kFarAway, result, kFarAway));
}

} // namespace

qint64 timelineTrackWidth(int widgetWidth)
{
    return qMax<qint64>(0, qint64(widgetWidth) - 2 * kTimelineMargin);
}

qint64 timelineScaledWidth(int widgetWidth, int zoom)
{
    return timelineTrackWidth(widgetWidth) * zoom;
}

qint64 maxTimelineScrollOffset(int widgetWidth, int zoom)
{
    return qMax<qint64>(0, timelineScaledWidth(widgetWidth, zoom) - timelineTrackWidth(widgetWidth));
}

qint64 clampTimelineScrollOffset(qint64 offset, int widgetWidth, int zoom)
{
    return qBound<qint64>(0, offset, maxTimelineScrollOffset(widgetWidth, zoom));
}

qint64 timeToX(qint64 time, int widgetWidth, qint64 duration, int zoom, qint64 scrollOffset)
{
    if (duration <= 0)
        return kTimelineMargin - scrollOffset;
    return kTimelineMargin + scaledProduct(time, timelineScaledWidth(widgetWidth, zoom), duration) - scrollOffset;
}

qint64 xToTime(qint64 x, int widgetWidth, qint64 duration, int zoom, qint64 scrollOffset)
{
    const qint64 scaled = timelineScaledWidth(widgetWidth, zoom);
    if (duration <= 0 || scaled <= 0)
        return 0;
    const double time = double(x + scrollOffset - kTimelineMargin) * double(duration) / double(scaled);
    // Bound in floating point first: far-off x must not overflow the conversion.
    return qint64(qBound(0.0, time, double(duration)));
}

qint64 timelineTickX(int index, int widgetWidth, int zoom, qint64 scrollOffset)
{
    return kTimelineMargin + (index * timelineScaledWidth(widgetWidth, zoom)) / 10 - scrollOffset;
}

qint64 timelineTickTime(int index, qint64 duration)
{
    return qint64(__int128(index) * duration / 10);
}

qint64 timelineOffsetShowing(qint64 time, int widgetWidth, qint64 duration, int zoom,
                             qint64 scrollOffset, bool minimal)
{
    scrollOffset = clampTimelineScrollOffset(scrollOffset, widgetWidth, zoom);
    if (duration <= 0)
        return scrollOffset;
    const qint64 view = timelineTrackWidth(widgetWidth);
    const qint64 along = timeToX(time, widgetWidth, duration, zoom) - kTimelineMargin;
    if (along >= scrollOffset && along <= scrollOffset + view)
        return scrollOffset;
    qint64 wanted;
    if (minimal)
        wanted = along < scrollOffset ? along : along - view;
    else
        wanted = along - view / 10;
    return clampTimelineScrollOffset(wanted, widgetWidth, zoom);
}

qint64 timelineOffsetAfterZoom(qint64 anchorTime, int widgetWidth, qint64 duration, int oldZoom,
                               qint64 oldOffset, int newZoom)
{
    if (duration <= 0)
        return clampTimelineScrollOffset(oldOffset, widgetWidth, newZoom);
    const qint64 view = timelineTrackWidth(widgetWidth);
    const qint64 onScreen = timeToX(anchorTime, widgetWidth, duration, oldZoom, oldOffset) - kTimelineMargin;
    if (onScreen < 0 || onScreen > view)
        return timelineOffsetShowing(anchorTime, widgetWidth, duration, newZoom, 0);
    const qint64 along = timeToX(anchorTime, widgetWidth, duration, newZoom) - kTimelineMargin;
    return clampTimelineScrollOffset(along - onScreen, widgetWidth, newZoom);
}


