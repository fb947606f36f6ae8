#include "audiowaveform.h"

#include "peakloader.h"
#include "timelinegeometry.h"
#include "timelinewidget.h"
#include "textwarmup.h"

#include <QColor>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

const QColor kBackground(0x1a, 0x1a, 0x1a);
const QColor kPeakColour(106, 155, 209);
const QColor kRmsColour(170, 200, 235);
const QColor kPreviewColour(106, 155, 209, 110);
const QColor kCentreColour(70, 70, 70);
const QColor kHintColour(150, 150, 150);

// Share of the half height for a level (0..1): decibels from -48 to 0 spread evenly, so
// speech well below full scale is still plain to see and only silence lies flat.
qreal displayHeight(double level)
{
    constexpr double kFloorDb = -48.0;
    if (level <= 0)
        return 0;
    return qBound(0.0, 1.0 - 20.0 * std::log10(qMin(level, 1.0)) / kFloorDb, 1.0);
}

// displayHeight of every stored value from 0 to fullScale, worked out once.
template<int FullScale>
qreal storedHeight(int value)
{
    static const auto table = [] {
        std::array<qreal, FullScale + 1> heights{};
        for (int i = 0; i <= FullScale; ++i)
            heights[size_t(i)] = displayHeight(double(i) / FullScale);
        return heights;
    }();
    return table[size_t(qBound(0, value, FullScale))];
}

qreal peakHeight(int value)
{
    return value < 0 ? -storedHeight<127>(-value) : storedHeight<127>(value);
}

qreal rmsHeight(int value)
{
    return storedHeight<255>(value);
}

// The preview snippet that stands for the source range [from, to): the loudest of those in
// it, or the nearest one when the range falls between two.
bool previewPeak(const std::vector<Media::TimedPeak> &preview, double from, double to, Media::Peak &out)
{
    if (preview.size() < 2)
        return false;
    auto byTime = [](const Media::TimedPeak &entry, double time) { return double(entry.ms) < time; };
    auto it = std::lower_bound(preview.begin(), preview.end(), from, byTime);
    bool found = false;
    for (; it != preview.end() && double(it->ms) < to; ++it) {
        out = found ? Media::PeakPyramid::merge(out, it->peak) : it->peak;
        found = true;
    }
    if (found)
        return true;
    const double spacing = double(preview.back().ms - preview.front().ms) / double(preview.size() - 1);
    const double middle = (from + to) / 2;
    const auto after = std::lower_bound(preview.begin(), preview.end(), middle, byTime);
    const auto nearest = after == preview.end()
        ? after - 1
        : (after != preview.begin() && middle - double((after - 1)->ms) < double(after->ms) - middle ? after - 1
                                                                                                  : after);
    if (qAbs(double(nearest->ms) - middle) > spacing)
        return false;
    out = nearest->peak;
    return true;
}

} // namespace

AudioWaveform::AudioWaveform(QWidget *parent)
    : QWidget(parent)
    , m_loadPacer(new RepaintPacer(kLoadRepaintMs, [this] { invalidate(); }, this))
{
    // Every pixel is painted: what lies beneath is not painted first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumHeight(40);
}

void AudioWaveform::setPeakLoader(Media::PeakLoader *loader)
{
    if (m_loader)
        disconnect(m_loader, nullptr, this, nullptr);
    m_loader = loader;
    if (loader)
        connect(loader, &Media::PeakLoader::peaksChanged, m_loadPacer, &RepaintPacer::request);
    invalidate();
}

void AudioWaveform::followTimeline(TimelineWidget *timeline)
{
    if (m_timeline)
        disconnect(m_timeline, nullptr, this, nullptr);
    m_timeline = timeline;
    if (!timeline)
        return;
    connect(timeline, &TimelineWidget::viewChanged, this, &AudioWaveform::syncWithTimeline);
    connect(timeline, &TimelineWidget::positionChanged, this, &AudioWaveform::setPosition);
    syncWithTimeline();
    setPosition(timeline->position());
}

void AudioWaveform::syncWithTimeline()
{
    setDuration(m_timeline->duration());
    setClips(m_timeline->clips());
    setView(m_timeline->zoomLevel(), m_timeline->scrollOffset());
}

void AudioWaveform::setClips(const ClipList &clips)
{
    if (clips == m_clips)
        return;
    m_clips = clips;
    invalidate();
}

void AudioWaveform::setView(int zoom, qint64 scrollOffset)
{
    if (zoom == m_zoom && scrollOffset == m_scrollOffset)
        return;
    m_zoom = zoom;
    m_scrollOffset = scrollOffset;
    invalidate();
}

void AudioWaveform::setDuration(qint64 duration)
{
    if (duration == m_duration)
        return;
    m_duration = duration;
    invalidate();
}

void AudioWaveform::setPosition(qint64 position)
{
    const qint64 oldX = playheadX();
    m_position = position;
    const qint64 newX = playheadX();
    if (newX == oldX)
        return;
    // Only the two columns the playhead leaves and enters change.
    for (const qint64 x : {oldX, newX})
        update(QRect(int(qBound<qint64>(-10, x, qint64(width()) + 10)) - 2, 0, 5, height()));
}

qint64 AudioWaveform::playheadX() const
{
    return timeToX(m_position, width(), m_duration, m_zoom, m_scrollOffset);
}

void AudioWaveform::warmUpText()
{
    ::warmUpText(hintFont(), QStringLiteral("Reading audio… No audio Cannot read"));
}

QFont AudioWaveform::hintFont() const
{
    QFont small = font();
    small.setPointSize(8);
    return small;
}

QString AudioWaveform::hint() const
{
    if (!m_loader || m_duration <= 0)
        return {};
    switch (m_loader->state()) {
    case Media::PeakLoader::State::Reading:
        return QStringLiteral("Reading audio…");
    case Media::PeakLoader::State::NoAudio:
        return QStringLiteral("No audio");
    case Media::PeakLoader::State::Failed:
        return QStringLiteral("Cannot read audio");
    default:
        return {};
    }
}

void AudioWaveform::invalidate()
{
    m_pictureValid = false;
    update();
}

void AudioWaveform::resizeEvent(QResizeEvent *event)
{
    m_pictureValid = false;
    QWidget::resizeEvent(event);
}

void AudioWaveform::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        seekTo(event->position().toPoint().x());
}

void AudioWaveform::mouseMoveEvent(QMouseEvent *event)
{
    if (event->buttons().testFlag(Qt::LeftButton))
        seekTo(event->position().toPoint().x());
}

void AudioWaveform::seekTo(int x)
{
    if (m_duration > 0)
        emit positionClicked(xToTime(x, width(), m_duration, m_zoom, m_scrollOffset));
}

void AudioWaveform::renderWaveform()
{
    const qreal ratio = devicePixelRatioF();
    m_picture = QImage(size() * ratio, QImage::Format_ARGB32_Premultiplied);
    m_picture.setDevicePixelRatio(ratio);
    m_picture.fill(Qt::transparent);
    m_pictureValid = true;
    const qint64 scaled = timelineScaledWidth(width(), m_zoom);
    if (m_duration <= 0 || scaled <= 0 || !m_loader)
        return;

    QPainter painter(&m_picture);
    const qreal centre = height() / 2.0;
    const qreal half = qMax(1.0, height() / 2.0 - 3);
    const qint64 trackLeft = qMax<qint64>(kTimelineMargin, timeToX(0, width(), m_duration, m_zoom, m_scrollOffset));
    const qint64 trackRight = qMin<qint64>(width() - kTimelineMargin,
                                           timeToX(m_duration, width(), m_duration, m_zoom, m_scrollOffset));
    painter.setPen(kCentreColour);
    painter.drawLine(QPointF(trackLeft, centre), QPointF(trackRight, centre));

    const Media::PeakLoader::State state = m_loader->state();
    if (state == Media::PeakLoader::State::Empty || state == Media::PeakLoader::State::NoAudio)
        return;
    // Once everything is read, time past the end of the sound (shorter than the picture) is silence.
    const bool complete = state != Media::PeakLoader::State::Reading;
    const Media::PeakPyramid &peaks = m_loader->peaks();
    ClipList whole;
    if (m_clips.isEmpty()) {
        Clip all;
        all.endTime = all.originalEnd = m_duration;
        whole.append(all);
    }
    const ClipList &clips = m_clips.isEmpty() ? whole : m_clips;

    const double msPerPx = double(m_duration) / double(scaled);
    const std::vector<Media::TimedPeak> &preview = m_loader->preview();
    QVector<QLineF> outer;
    QVector<QLineF> inner;
    QVector<QLineF> roughLines;
    outer.reserve(int(trackRight - trackLeft));
    inner.reserve(int(trackRight - trackLeft));
    int index = 0;
    for (qint64 x = trackLeft; x < trackRight; ++x) {
        const double from = double(x + m_scrollOffset - kTimelineMargin) * msPerPx;
        const double to = from + msPerPx;
        while (index < clips.size() && clips.at(index).endTime <= from)
            ++index;
        Media::Peak column;
        bool found = false;
        Media::Peak rough;
        bool roughFound = false;
        for (int i = index; i < clips.size() && clips.at(i).startTime < to; ++i) {
            const Clip &clip = clips.at(i);
            const double start = qMax(from, double(clip.startTime));
            const double end = qMin(to, double(clip.endTime));
            if (end <= start)
                continue;
            const double sourceStart = clip.originalStart + (start - clip.startTime);
            const double sourceEnd = clip.originalStart + (end - clip.startTime);
            const qint64 first = qint64(std::floor(sourceStart * Media::kPeakBlocksPerSecond / 1000.0));
            const qint64 last = qMax(first + 1, qint64(std::ceil(sourceEnd * Media::kPeakBlocksPerSecond / 1000.0)));
            Media::Peak part;
            if (peaks.range(first, last, part)) {
                column = found ? Media::PeakPyramid::merge(column, part) : part;
                found = true;
            } else if (complete && first >= peaks.blockCount()) {
                found = true;
            } else if (!complete && previewPeak(preview, sourceStart, sourceEnd, part)) {
                rough = roughFound ? Media::PeakPyramid::merge(rough, part) : part;
                roughFound = true;
            }
        }
        const qreal px = x + 0.5;
        if (!found && roughFound) {
            roughLines.append(QLineF(px, qMin(centre - peakHeight(rough.max) * half, centre - 0.5), px,
                                     qMax(centre - peakHeight(rough.min) * half, centre + 0.5)));
            continue;
        }
        if (!found)
            continue;
        const qreal top = centre - peakHeight(column.max) * half;
        const qreal bottom = centre - peakHeight(column.min) * half;
        outer.append(QLineF(px, qMin(top, centre - 0.5), px, qMax(bottom, centre + 0.5)));
        if (column.rms > 0) {
            const qreal reach = rmsHeight(column.rms) * half;
            inner.append(QLineF(px, centre - reach, px, centre + reach));
        }
    }
    painter.setPen(QPen(kPreviewColour, 1));
    painter.drawLines(roughLines);
    painter.setPen(QPen(kPeakColour, 1));
    painter.drawLines(outer);
    painter.setPen(QPen(kRmsColour, 1));
    painter.drawLines(inner);
}

void AudioWaveform::paintEvent(QPaintEvent *)
{
    if (!m_pictureValid || m_picture.size() != size() * devicePixelRatioF())
        renderWaveform();
    QPainter painter(this);
    painter.fillRect(rect(), kBackground);
    painter.drawImage(0, 0, m_picture);

    const QString text = hint();
    if (!text.isEmpty()) {
        painter.setPen(kHintColour);
        painter.setFont(hintFont());
        painter.drawText(rect().adjusted(kTimelineMargin + 4, 2, -kTimelineMargin, -2), Qt::AlignLeft | Qt::AlignTop,
                         text);
    }
    if (m_duration > 0) {
        const qint64 x = playheadX();
        if (x >= 0 && x <= width()) {
            painter.setPen(QPen(Qt::white, 2));
            painter.drawLine(QPointF(x, 0), QPointF(x, height()));
        }
    }
}
