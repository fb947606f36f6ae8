#include "timelinewidget.h"

#include "thumbnailprovider.h"
#include "timeformat.h"
#include "timelinegeometry.h"
#include "timelinepartlayout.h"
#include "textwarmup.h"

#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kGrabDistance = 15;
// Half the playhead's painted width: its handle, outline and antialiasing.
constexpr int kPlayheadHalfWidth = 15;
constexpr int kRulerHeight = 25;
// Space between a part's box and its pictures, and the narrowest box that gets any.
constexpr int kThumbnailInset = 3;
constexpr int kMinThumbnailBox = 24;
// Boxes up to this wide are drawn from a copy per width; the margin holds the pen's outer half.
constexpr qint64 kMaxSpriteWidth = 64;
constexpr int kSpriteMargin = 2;
// Far beyond any screen, small enough for the raster engine.
constexpr qint64 kPaintLimit = qint64(1) << 20;

qreal paintX(qint64 x)
{
    return qreal(qBound(-kPaintLimit, x, kPaintLimit));
}

} // namespace

TimelineWidget::TimelineWidget(QWidget *parent)
    : QWidget(parent)
    , m_clipFont(QStringLiteral("Arial"), 10, QFont::Bold)
    , m_rulerFont(QStringLiteral("Arial"), 8, QFont::Normal)
{
    m_thumbnailPacer = new RepaintPacer(kLoadRepaintMs, [this] { update(); }, this);
    // Every pixel is painted: what lies beneath is not painted first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumHeight(120);
    // Tab reaches it; a click does not take the arrows away from skipping.
    setFocusPolicy(Qt::TabFocus);
    setStyleSheet(QStringLiteral(
        "TimelineWidget { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, "
        "stop:0 #2a2a2a, stop:1 #1a1a1a); border: 2px solid #3a3a3a; border-radius: 10px; }"));
}

void TimelineWidget::setClips(const ClipList &clips)
{
    const bool changed = clips != m_clips;
    m_clips = clips;
    if (changed)
        m_clipsLaidOut = TimelinePartLayout::isLaidOut(m_clips);
    update();
    if (changed)
        emit viewChanged();
}

void TimelineWidget::setCurrentPart(int index)
{
    if (index == m_currentPart)
        return;
    m_currentPart = index;
    revealPart(index);
    update();
}

int TimelineWidget::keyboardPart() const
{
    if (m_currentPart >= 0 && m_currentPart < m_clips.size())
        return m_currentPart;
    for (int i = 0; i < m_clips.size(); ++i) {
        if (m_clips.at(i).startTime <= m_position && m_position < m_clips.at(i).endTime)
            return i;
    }
    return m_clips.isEmpty() ? -1 : 0;
}

void TimelineWidget::revealPart(int index)
{
    if (index < 0 || index >= m_clips.size() || m_zoomLevel <= 1)
        return;
    const Clip &clip = m_clips.at(index);
    const qint64 left = xOf(clip.startTime);
    const qint64 right = xOf(clip.endTime);
    if (right >= kTimelineMargin && left <= width() - kTimelineMargin)
        return;
    setScrollOffset(scrollOffset() + left - width() / 3);
}

bool TimelineWidget::event(QEvent *event)
{
    // With the focus here, Enter and Space choose a part instead of their window-wide shortcuts.
    if (event->type() == QEvent::ShortcutOverride) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) {
            event->accept();
            return true;
        }
    }
    return QWidget::event(event);
}

void TimelineWidget::keyPressEvent(QKeyEvent *event)
{
    const int from = keyboardPart();
    if (from < 0) {
        QWidget::keyPressEvent(event);
        return;
    }
    const bool toggle = event->modifiers().testFlag(Qt::ControlModifier);
    int to = -1;
    switch (event->key()) {
    case Qt::Key_Left:
        to = m_currentPart < 0 ? from : std::max(from - 1, 0);
        break;
    case Qt::Key_Right:
        to = m_currentPart < 0 ? from : std::min<int>(from + 1, int(m_clips.size()) - 1);
        break;
    case Qt::Key_Home:
        to = 0;
        break;
    case Qt::Key_End:
        to = int(m_clips.size()) - 1;
        break;
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        to = from;
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    emit partChosen(to, toggle);
}

void TimelineWidget::focusInEvent(QFocusEvent *event)
{
    update();
    QWidget::focusInEvent(event);
}

void TimelineWidget::focusOutEvent(QFocusEvent *event)
{
    update();
    QWidget::focusOutEvent(event);
}

void TimelineWidget::setDuration(qint64 duration)
{
    const bool changed = duration != m_duration;
    m_duration = duration;
    revealPosition();
    update();
    if (changed)
        emit durationChanged(duration);
    notifyView();
}

void TimelineWidget::setPosition(qint64 position)
{
    const bool changed = position != m_position;
    const qint64 oldX = xOf(m_position);
    const qint64 oldOffset = scrollOffset();
    m_position = position;
    revealPosition();
    // Playing moves the playhead ten times a second: only its old and new places are
    // painted again, unless the view scrolled or the drag label moves with it.
    if (scrollOffset() == oldOffset && !isDraggingPlayhead()) {
        const auto onScreen = [this](qint64 x) { return int(qBound(qint64(-100), x, qint64(width()) + 100)); };
        for (const int x : {onScreen(oldX), onScreen(xOf(m_position))})
            update(QRect(x - kPlayheadHalfWidth, 0, 2 * kPlayheadHalfWidth + 1, height()));
    } else {
        update();
    }
    notifyView();
    if (changed)
        emit positionChanged(position);
}

void TimelineWidget::notifyView()
{
    const ViewState now{m_duration, m_zoomLevel, scrollOffset(), width()};
    if (now == m_notifiedView)
        return;
    m_notifiedView = now;
    emit viewChanged();
}

void TimelineWidget::setThumbnailProvider(Media::ThumbnailProvider *provider)
{
    if (m_thumbnails)
        disconnect(m_thumbnails, nullptr, this, nullptr);
    m_thumbnails = provider;
    m_requestedThumbnails.clear();
    if (provider)
        connect(provider, &Media::ThumbnailProvider::thumbnailsReady, m_thumbnailPacer, &RepaintPacer::request);
    update();
}

void TimelineWidget::setSelectionStart(qint64 position)
{
    m_selectionStart = position;
    update();
}

void TimelineWidget::setSelectionEnd(qint64 position)
{
    m_selectionEnd = position;
    update();
}

void TimelineWidget::clearSelection()
{
    m_selectionStart = -1;
    m_selectionEnd = -1;
    update();
}

void TimelineWidget::setZoomLevel(int level)
{
    const int zoom = qBound(kTimelineMinZoom, level, kTimelineMaxZoom);
    if (zoom != m_zoomLevel) {
        m_scrollOffset = timelineOffsetAfterZoom(m_position, width(), m_duration, m_zoomLevel,
                                                 scrollOffset(), zoom);
        m_zoomLevel = zoom;
    }
    update();
    notifyView();
}

void TimelineWidget::zoomIn()
{
    setZoomLevel(m_zoomLevel + 1);
}

void TimelineWidget::zoomOut()
{
    setZoomLevel(m_zoomLevel - 1);
}

void TimelineWidget::setScrollOffset(qint64 offset)
{
    m_scrollOffset = clampTimelineScrollOffset(offset, width(), m_zoomLevel);
    update();
    notifyView();
}

qint64 TimelineWidget::scrollOffset() const
{
    // A hidden widget gets its resize event only when shown; the width is already new.
    return clampTimelineScrollOffset(m_scrollOffset, width(), m_zoomLevel);
}

qint64 TimelineWidget::xOf(qint64 time) const
{
    return timeToX(time, width(), m_duration, m_zoomLevel, scrollOffset());
}

qint64 TimelineWidget::timeAt(qint64 x) const
{
    return xToTime(x, width(), m_duration, m_zoomLevel, scrollOffset());
}

void TimelineWidget::revealPosition()
{
    // While dragging, follow the pointer smoothly instead of jumping a page under it.
    m_scrollOffset = timelineOffsetShowing(m_position, width(), m_duration, m_zoomLevel,
                                           scrollOffset(), m_drag != Drag::None);
}

bool TimelineWidget::isOnHandle(const QPoint &point) const
{
    // The handle sits in the band above the track, so a press on the track near the
    // playhead still selects the part there.
    return point.y() < height() / 3 && qAbs(point.x() - xOf(m_position)) <= kGrabDistance;
}

bool TimelineWidget::isInTrack(int y) const
{
    const int top = height() / 3;
    return y >= top && y < height() - top;
}

void TimelineWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    const int w = width();
    const int h = height();
    const int top = h / 3;

    painter.fillRect(rect(), QColor(0x1a, 0x1a, 0x1a));
    const QRect track(QPoint(kTimelineMargin, top), QPoint(w - 11, h - 1 - top));
    painter.fillRect(track, QColor(0x2a, 0x2a, 0x2a));
    QLinearGradient trackShade(0, track.top(), 0, track.bottom());
    trackShade.setColorAt(0, QColor(50, 50, 50, 100));
    trackShade.setColorAt(1, QColor(30, 30, 30, 100));
    painter.fillRect(track, trackShade);
    m_wantedThumbnails.clear();
    if (m_duration <= 0)
        return;

    paintClips(painter, top, h);
    requestThumbnails();
    paintSelection(painter, top, h);
    paintPlayhead(painter);
    paintRuler(painter);
    if (hasFocus()) {
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setPen(QPen(QColor(0x5a, 0xa0, 0xf2), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect().adjusted(1, 1, -2, -2));
    }
}

void TimelineWidget::paintClips(QPainter &painter, int top, int h)
{
    if (m_clips.isEmpty())
        return;

    const QColor base(70, 130, 180, 200);
    QLinearGradient fill(0, top, 0, (h * 2) / 3);
    fill.setColorAt(0, base.lighter(120));
    fill.setColorAt(1, base);
    const QBrush fillBrush(fill);
    const QPen boxPen(base.darker(150), 2);
    const QColor markColour(100, 150, 255);
    const QPen markPen(markColour, 4);

    const QFontMetrics metrics(m_clipFont);
    const TimelinePartLayout::Plan plan = TimelinePartLayout::plan(
        m_clips, m_clipsLaidOut, {width(), m_duration, m_zoomLevel, scrollOffset(), top},
        [&metrics](int number) { return metrics.horizontalAdvance(QString::number(number)); }, metrics.height());

    // Parts too narrow for a box: one band, a line at each part's edge, marked columns filled.
    if (!plan.narrowSpans.isEmpty()) {
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing, false);
        QVector<QLine> edges;
        for (const TimelinePartLayout::Span &span : plan.narrowSpans) {
            painter.fillRect(QRect(span.left, top, span.right - span.left + 1, top), fillBrush);
            edges.append(QLine(span.left, top, span.right, top));
            edges.append(QLine(span.left, 2 * top, span.right, 2 * top));
        }
        for (const int x : plan.boundaries)
            edges.append(QLine(x, top, x, 2 * top));
        painter.setPen(boxPen);
        painter.drawLines(edges);
        for (const TimelinePartLayout::Span &span : plan.markedSpans)
            painter.fillRect(QRect(span.left, top + 2, span.right - span.left + 1, top - 3), markColour);
        painter.restore();
    }

    const qreal ratio = painter.device()->devicePixelRatioF();
    if (m_spriteTop != top || m_spriteRatio != ratio) {
        m_boxSprites.clear();
        m_spriteTop = top;
        m_spriteRatio = ratio;
    }
    for (const TimelinePartLayout::Box &part : plan.boxes) {
        const Clip &clip = m_clips.at(part.index);
        const qint64 boxWidth = part.right - part.left;
        // Small boxes of one width look alike: each is drawn once and copied after, at the same
        // whole-pixel offset, so the copy matches a box drawn in place.
        if (boxWidth <= kMaxSpriteWidth && !hasPictures(part)) {
            const quint32 key = quint32(boxWidth) << 1 | (clip.isMarked ? 1 : 0);
            auto sprite = m_boxSprites.constFind(key);
            if (sprite == m_boxSprites.constEnd()) {
                QPixmap picture(QSize(int(boxWidth) + 2 * kSpriteMargin, top + 2 * kSpriteMargin) * ratio);
                picture.setDevicePixelRatio(ratio);
                picture.fill(Qt::transparent);
                QPainter spritePainter(&picture);
                spritePainter.setRenderHint(QPainter::Antialiasing);
                spritePainter.translate(kSpriteMargin, kSpriteMargin - top);
                const QRectF box(0, top, qreal(boxWidth), top);
                spritePainter.setPen(boxPen);
                spritePainter.setBrush(fillBrush);
                spritePainter.drawRoundedRect(box, 6, 6);
                if (clip.isMarked) {
                    spritePainter.setPen(markPen);
                    spritePainter.setBrush(Qt::NoBrush);
                    spritePainter.drawRoundedRect(box.adjusted(2, 2, -2, -2), 6, 6);
                }
                spritePainter.end();
                sprite = m_boxSprites.insert(key, picture);
            }
            painter.drawPixmap(QPointF(paintX(part.left) - kSpriteMargin, top - kSpriteMargin), *sprite);
            continue;
        }
        const QRectF box(paintX(part.left), top, paintX(part.right) - paintX(part.left), top);
        painter.setPen(boxPen);
        painter.setBrush(fillBrush);
        painter.drawRoundedRect(box, 6, 6);
        if (hasPictures(part))
            paintThumbnails(painter, clip, part.left, part.right, top);
        if (clip.isMarked) {
            painter.setPen(markPen);
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(box.adjusted(2, 2, -2, -2), 6, 6);
        }
    }

    // The part the trims act on: a white ring around its box.
    if (m_currentPart >= 0 && m_currentPart < m_clips.size() && m_clips.at(m_currentPart).isMarked) {
        const Clip &clip = m_clips.at(m_currentPart);
        const qreal left = paintX(xOf(clip.startTime));
        const qreal right = paintX(xOf(clip.endTime));
        if (right > 0 && left < width()) {
            painter.setPen(QPen(Qt::white, 2));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(QRectF(left - 1, top - 2, std::max<qreal>(right - left + 2, 3), top + 4), 7, 7);
        }
    }

    painter.setFont(m_clipFont);
    for (const TimelinePartLayout::Label &label : plan.labels) {
        if (hasPictures(plan.boxes.at(label.box))) {
            // A dark plate keeps the number readable on any picture.
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0, 0, 0, 150));
            painter.drawRoundedRect(label.plate, 4, 4);
        }
        painter.setPen(Qt::white);
        painter.drawText(label.plate, Qt::AlignCenter, QString::number(label.index + 1));
    }
}

bool TimelineWidget::hasPictures(const TimelinePartLayout::Box &box) const
{
    return m_thumbnails && box.right - box.left >= kMinThumbnailBox;
}

void TimelineWidget::paintThumbnails(QPainter &painter, const Clip &clip, qint64 left, qint64 right, int top)
{
    const int tileHeight = top - 2 * kThumbnailInset;
    const int tileWidth = qMax(8, int(std::lround(tileHeight * m_thumbnails->aspectRatio())));
    if (tileHeight < 8)
        return;
    m_thumbnailHeight = tileHeight;
    const qint64 first = left + kThumbnailInset;
    const qint64 end = right - kThumbnailInset;
    // Tiles are laid from the part's left end, so scrolling never changes what they show.
    const qint64 tile = qMax<qint64>(0, -first / tileWidth);
    const QColor placeholder(40, 70, 100);
    // Dark behind the pictures, so the pixel between two shows as a line.
    const qint64 stripLeft = qMax<qint64>(first, -1);
    const qint64 stripRight = qMin<qint64>(end, width() + 1);
    if (stripRight > stripLeft)
        painter.fillRect(QRect(int(stripLeft), top + kThumbnailInset, int(stripRight - stripLeft), tileHeight),
                         QColor(15, 15, 15));
    for (qint64 x = first + tile * tileWidth; x < end && x < width(); x += tileWidth) {
        // A pixel between pictures tells them apart when neighbours look alike.
        const int shown = int(qMin<qint64>(tileWidth - 1, end - x));
        const QRect target(int(x), top + kThumbnailInset, shown, tileHeight);
        const qint64 edited = qBound(clip.startTime, timeAt(x), clip.endTime);
        // Any frame on screen during the time the tile's width covers is a true picture of it.
        const qint64 editedEnd = qBound(clip.startTime, timeAt(x + tileWidth), clip.endTime);
        const Media::ThumbnailProvider::Tile wanted{clip.originalStart + (edited - clip.startTime),
                                                    qMax<qint64>(1, editedEnd - edited)};
        const QImage image = m_thumbnails->thumbnail(wanted);
        if (image.isNull()) {
            painter.fillRect(target, placeholder);
            m_wantedThumbnails.append(wanted);
        } else {
            painter.drawImage(target, image, QRect(0, 0, shown, image.height()));
        }
    }
}

void TimelineWidget::requestThumbnails()
{
    if (!m_thumbnails || m_wantedThumbnails == m_requestedThumbnails)
        return;
    m_requestedThumbnails = m_wantedThumbnails;
    m_thumbnails->requestTiles(m_wantedThumbnails, m_thumbnailHeight);
}

void TimelineWidget::paintSelection(QPainter &painter, int top, int h)
{
    if (m_selectionStart == -1 || m_selectionEnd == -1)
        return;

    const qreal sx = paintX(xOf(m_selectionStart));
    const qreal ex = paintX(xOf(m_selectionEnd));
    const QColor base(106, 155, 209, 120);
    QLinearGradient fill(0, top, 0, (h * 2) / 3);
    fill.setColorAt(0, base.lighter(150));
    fill.setColorAt(1, base);
    painter.setPen(QPen(QColor(106, 155, 209), 3));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(sx, top, ex - sx, top), 8, 8);

    painter.setPen(QPen(QColor(0x00, 0xff, 0x00), 4));
    painter.drawLine(QPointF(sx, 0), QPointF(sx, h));
    painter.drawText(QPointF(sx + 5, 20), QStringLiteral("["));
    painter.setPen(QPen(QColor(0xff, 0x00, 0x00), 4));
    painter.drawLine(QPointF(ex, 0), QPointF(ex, h));
    painter.drawText(QPointF(ex - 15, 20), QStringLiteral("]"));
}

void TimelineWidget::paintPlayhead(QPainter &painter)
{
    const qreal px = paintX(xOf(m_position));
    painter.setPen(QPen(Qt::white, 3));
    painter.drawLine(QPointF(px, 0), QPointF(px, height()));

    const QRectF handle(px - 12, 5, 24, 30);
    if (isDraggingPlayhead()) {
        painter.setBrush(QColor(106, 155, 209, 200));
        painter.setPen(QPen(QColor(106, 155, 209), 3));
    } else {
        painter.setBrush(QColor(255, 255, 255, 220));
        painter.setPen(QPen(QColor(200, 200, 200), 2));
    }
    painter.drawRoundedRect(handle, 12, 12);

    painter.setPen(QPen(QColor(100, 100, 100), 1));
    for (int y : {15, 19, 23})
        painter.drawLine(QPointF(px - 6, y), QPointF(px + 5, y));

    if (isDraggingPlayhead())
        paintDragLabel(painter, px);
}

void TimelineWidget::paintDragLabel(QPainter &painter, qreal px)
{
    // The handle fills the top of the strip, so the label sits beside it: right of
    // it when it fits, else left, and always within the widget.
    const QString text = formatTime(m_position);
    const QFontMetrics metrics(m_clipFont);
    const qreal boxWidth = metrics.horizontalAdvance(text) + 10;
    const qreal boxHeight = metrics.height() + 4;
    const qreal gap = 4;
    qreal x = px + 12 + gap;
    if (x + boxWidth > width())
        x = px - 12 - gap - boxWidth;
    x = qBound<qreal>(0, x, qMax<qreal>(0, width() - boxWidth));
    const QRectF box(x, 5, boxWidth, boxHeight);

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 180));
    painter.drawRoundedRect(box, 4, 4);
    painter.setPen(Qt::white);
    painter.setFont(m_clipFont);
    painter.drawText(box, Qt::AlignCenter, text);
}

void TimelineWidget::warmUpText()
{
    const QString digits = QStringLiteral("0123456789:.");
    ::warmUpText(m_clipFont, digits);
    ::warmUpText(m_rulerFont, digits);
}

void TimelineWidget::paintRuler(QPainter &painter)
{
    const int h = height();
    painter.setPen(QColor(150, 150, 150));
    painter.setFont(m_rulerFont);
    const QFontMetrics rulerMetrics(m_rulerFont);
    for (int i = 0; i <= 10; ++i) {
        const qreal x = paintX(timelineTickX(i, width(), m_zoomLevel, scrollOffset()));
        painter.drawLine(QPointF(x, h - kRulerHeight), QPointF(x, h - 5));
        const QString label = formatTime(timelineTickTime(i, m_duration));
        qreal labelX = x + 2;
        // A label that would run off the right edge ends at its tick instead.
        const int labelWidth = rulerMetrics.horizontalAdvance(label);
        if (labelX + labelWidth > width())
            labelX = x - 2 - labelWidth;
        painter.drawText(QPointF(labelX, h - 8), label);
    }
}

void TimelineWidget::mousePressEvent(QMouseEvent *event)
{
    if (m_duration <= 0 || event->button() != Qt::LeftButton)
        return;

    const QPoint point = event->position().toPoint();
    if (isOnHandle(point)) {
        m_drag = Drag::Playhead;
        setCursor(Qt::ClosedHandCursor);
        update();
        return;
    }

    m_drag = Drag::Scrub;
    const qint64 time = timeAt(point.x());
    emit positionClicked(time);
    if (!isInTrack(point.y()))
        return;
    for (int i = 0; i < m_clips.size(); ++i) {
        const Clip &clip = m_clips.at(i);
        if (clip.startTime <= time && time <= clip.endTime) {
            emit clipClicked(i);
            return;
        }
    }
}

void TimelineWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (m_duration <= 0)
        return;

    const QPoint point = event->position().toPoint();
    if (m_drag == Drag::Playhead) {
        emit positionClicked(timeAt(point.x()));
        update();
        return;
    }
    if (m_drag == Drag::Scrub)
        emit positionClicked(timeAt(point.x()));
    setCursor(isOnHandle(point) ? Qt::OpenHandCursor : Qt::ArrowCursor);
}

void TimelineWidget::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || m_drag == Drag::None)
        return;
    const bool wasPlayhead = m_drag == Drag::Playhead;
    m_drag = Drag::None;
    if (wasPlayhead) {
        setCursor(Qt::ArrowCursor);
        update();
    }
}

void TimelineWidget::wheelEvent(QWheelEvent *event)
{
    // Consumed at every zoom so the strip never scrolls its parent.
    event->accept();
    if (m_zoomLevel <= 1)
        return;
    const QPoint angle = event->angleDelta();
    const qint64 delta = angle.y() != 0 ? angle.y() : angle.x();
    // One notch (120) moves a tenth of the visible track.
    const qint64 step = -delta * timelineTrackWidth(width()) / (10 * 120);
    setScrollOffset(scrollOffset() + step);
}

void TimelineWidget::resizeEvent(QResizeEvent *event)
{
    // Keep the same stretch of the edit at the left edge when the scale changes.
    const qint64 oldScaled = timelineScaledWidth(event->oldSize().width(), m_zoomLevel);
    const qint64 newScaled = timelineScaledWidth(event->size().width(), m_zoomLevel);
    if (oldScaled > 0)
        m_scrollOffset = m_scrollOffset * newScaled / oldScaled;
    m_scrollOffset = clampTimelineScrollOffset(m_scrollOffset, event->size().width(), m_zoomLevel);
    QWidget::resizeEvent(event);
    notifyView();
}
