#include "cliplist.h"
#include "framecounter.h"
#include "testmedia.h"
#include "thumbnailprovider.h"
#include "timeformat.h"
#include "timelinegeometry.h"
#include "timelinewidget.h"

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

// An 820 px wide strip has an 800 px track: 10 ms per px over 8 s at zoom 1.
constexpr int kWidth = 820;
constexpr int kHeight = 120;
constexpr qint64 kDuration = 8000;

Clip makeClip(qint64 start, qint64 end, bool marked = false)
{
    Clip clip;
    clip.startTime = start;
    clip.endTime = end;
    clip.originalStart = start;
    clip.originalEnd = end;
    clip.isMarked = marked;
    return clip;
}

QImage renderStrip(TimelineWidget &timeline)
{
    QImage image(timeline.size(), QImage::Format_ARGB32);
    image.fill(Qt::magenta);
    timeline.render(&image);
    return image;
}

bool isNear(QRgb pixel, const QColor &expected, int tolerance)
{
    return qAbs(qRed(pixel) - expected.red()) <= tolerance
        && qAbs(qGreen(pixel) - expected.green()) <= tolerance
        && qAbs(qBlue(pixel) - expected.blue()) <= tolerance;
}

QString describe(QRgb pixel)
{
    return QStringLiteral("rgb(%1,%2,%3)").arg(qRed(pixel)).arg(qGreen(pixel)).arg(qBlue(pixel));
}

// Pixels darker than the #1a1a1a background: only the drag label's box is.
int darkPixels(const QImage &image, const QRect &area)
{
    int count = 0;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            count += qRed(p) < 18 && qGreen(p) < 18 && qBlue(p) < 18;
        }
    return count;
}

class WheelCountingParent : public QWidget {
public:
    int wheelEvents = 0;

protected:
    void wheelEvent(QWheelEvent *event) override
    {
        ++wheelEvents;
        event->accept();
    }
};

bool sendWheel(QWidget *target, QPoint angleDelta)
{
    const QPointF at(target->width() / 2.0, target->height() / 2.0);
    QWheelEvent event(at, target->mapToGlobal(at), QPoint(), angleDelta, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &event);
    return event.isAccepted();
}

} // namespace

// The tiles of a screenful whose picture is not a frame on screen during the tile's span (from
// its left edge's time to the next tile's), or, where no key frame (one every keyEvery frames)
// lies in the span, not the frame on screen at its left edge's time.
QStringList misplacedTiles(const QImage &image, const ClipList &clips, qint64 duration, int zoom, qint64 scroll,
                           int tileWidth, int fps, int keyEvery, int *tiles)
{
    const int width = image.width();
    const int top = kHeight / 3;
    QStringList wrong;
    for (const Clip &clip : clips) {
        const qint64 left = ::timeToX(clip.startTime, width, duration, zoom, scroll);
        const qint64 right = ::timeToX(clip.endTime, width, duration, zoom, scroll);
        for (qint64 x = left + 3; x + tileWidth + 3 < right && x < width; x += tileWidth) {
            if (x < 0 || x + tileWidth > width)
                continue;
            const qint64 edited = qBound(clip.startTime, ::xToTime(x, width, duration, zoom, scroll), clip.endTime);
            const qint64 editedEnd =
                qBound(clip.startTime, ::xToTime(x + tileWidth, width, duration, zoom, scroll), clip.endTime);
            const qint64 source = clip.originalStart + edited - clip.startTime;
            const qint64 sourceEnd = source + qMax<qint64>(1, editedEnd - edited);
            const qint64 first = source * fps / 1000;
            const qint64 last = (sourceEnd - 1) * fps / 1000;
            // The first key frame whose time is at or after the span's start.
            const qint64 key = ((source * fps + 999) / 1000 + keyEvery - 1) / keyEvery * keyEvery;
            const bool keyInside = key * 1000 < sourceEnd * fps;
            const int seen = FrameCounter::read(image, QRect(int(x), top + 3, tileWidth, 4));
            ++*tiles;
            if (keyInside ? seen < first || seen > last : seen != first)
                wrong << QStringLiteral("%1-%2 ms: frame %3, not %4").arg(source).arg(sourceEnd).arg(seen)
                             .arg(keyInside ? QStringLiteral("%1-%2").arg(first).arg(last) : QString::number(first));
        }
    }
    return wrong;
}

// Whether no placeholder is left in the pictures' row.
bool thumbnailsFilled(TimelineWidget &timeline, QImage &image)
{
    const QColor placeholder(40, 70, 100);
    image = timeline.grab().toImage();
    for (int x = 0; x < image.width(); ++x) {
        if (QColor(image.pixel(x, kHeight / 3 + 5)) == placeholder)
            return false;
    }
    return true;
}

class TestTimelineWidget : public QObject {
    Q_OBJECT

private:
    // Clips 1..2 s, 2..5 s, 6..7 s: a shared boundary and a gap.
    void prepareForClicks(TimelineWidget &timeline)
    {
        timeline.resize(kWidth, kHeight);
        timeline.setDuration(kDuration);
        timeline.setClips({makeClip(1000, 2000), makeClip(2000, 5000), makeClip(6000, 7000)});
        timeline.setPosition(4000);
    }

    // Clips 1..2 s, 4..5 s (marked), 6..7 s with gaps between, playhead at 3 s.
    void prepareForPainting(TimelineWidget &timeline)
    {
        timeline.resize(kWidth, kHeight);
        timeline.setDuration(kDuration);
        timeline.setClips({makeClip(1000, 2000), makeClip(4000, 5000, true), makeClip(6000, 7000)});
        timeline.setPosition(3000);
    }

private slots:
    void timeToX_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<int>("zoom");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("time");
        QTest::addColumn<qint64>("x");

        QTest::newRow("start") << kWidth << kDuration << 1 << qint64(0) << qint64(0) << qint64(10);
        QTest::newRow("quarter") << kWidth << kDuration << 1 << qint64(0) << qint64(2000) << qint64(210);
        QTest::newRow("end") << kWidth << kDuration << 1 << qint64(0) << kDuration << qint64(810);
        QTest::newRow("truncates") << kWidth << qint64(3000) << 1 << qint64(0) << qint64(1000) << qint64(276);
        QTest::newRow("below one px") << kWidth << qint64(3000) << 1 << qint64(0) << qint64(3) << qint64(10);
        QTest::newRow("zoom 2 doubles") << kWidth << kDuration << 2 << qint64(0) << qint64(2000) << qint64(410);
        QTest::newRow("zoom 2 end") << kWidth << kDuration << 2 << qint64(0) << kDuration << qint64(1610);
        QTest::newRow("zoom 10") << kWidth << kDuration << 10 << qint64(0) << qint64(100) << qint64(110);
        QTest::newRow("scrolled") << kWidth << kDuration << 2 << qint64(300) << qint64(2000) << qint64(110);
        QTest::newRow("scrolled off left") << kWidth << kDuration << 4 << qint64(2400) << qint64(1000) << qint64(-1990);
        QTest::newRow("long video") << 1400 << qint64(36000000) << 1 << qint64(0) << qint64(18000000) << qint64(700);
        QTest::newRow("no duration") << kWidth << qint64(0) << 1 << qint64(0) << qint64(500) << qint64(10);
    }

    void timeToX()
    {
        QFETCH(int, width);
        QFETCH(qint64, duration);
        QFETCH(int, zoom);
        QFETCH(qint64, offset);
        QFETCH(qint64, time);
        QFETCH(qint64, x);
        QCOMPARE(::timeToX(time, width, duration, zoom, offset), x);
    }

    void xToTime_data()
    {
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<int>("zoom");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("x");
        QTest::addColumn<qint64>("time");

        QTest::newRow("track start") << kDuration << 1 << qint64(0) << qint64(10) << qint64(0);
        QTest::newRow("quarter") << kDuration << 1 << qint64(0) << qint64(210) << qint64(2000);
        QTest::newRow("track end") << kDuration << 1 << qint64(0) << qint64(810) << kDuration;
        QTest::newRow("left of track clamps") << kDuration << 1 << qint64(0) << qint64(3) << qint64(0);
        QTest::newRow("far left clamps") << kDuration << 1 << qint64(0) << qint64(-500) << qint64(0);
        QTest::newRow("right of track clamps") << kDuration << 1 << qint64(0) << qint64(817) << kDuration;
        QTest::newRow("truncates") << qint64(1000) << 1 << qint64(0) << qint64(11) << qint64(1);
        QTest::newRow("zoom 2 halves") << kDuration << 2 << qint64(0) << qint64(410) << qint64(2000);
        QTest::newRow("zoom 2 visible end") << kDuration << 2 << qint64(0) << qint64(810) << qint64(4000);
        QTest::newRow("scrolled") << kDuration << 2 << qint64(300) << qint64(110) << qint64(2000);
        QTest::newRow("scrolled to end") << kDuration << 2 << qint64(800) << qint64(810) << kDuration;
        QTest::newRow("no duration") << qint64(0) << 1 << qint64(0) << qint64(400) << qint64(0);
    }

    void xToTime()
    {
        QFETCH(qint64, duration);
        QFETCH(int, zoom);
        QFETCH(qint64, offset);
        QFETCH(qint64, x);
        QFETCH(qint64, time);
        QCOMPARE(::xToTime(x, kWidth, duration, zoom, offset), time);
    }

    void rulerTicks_data()
    {
        QTest::addColumn<int>("zoom");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<int>("index");
        QTest::addColumn<qint64>("x");

        QTest::newRow("first") << 1 << qint64(0) << 0 << qint64(10);
        QTest::newRow("middle") << 1 << qint64(0) << 5 << qint64(410);
        QTest::newRow("last") << 1 << qint64(0) << 10 << qint64(810);
        QTest::newRow("zoom 2") << 2 << qint64(0) << 5 << qint64(810);
        QTest::newRow("zoom 3 truncates") << 3 << qint64(0) << 1 << qint64(250);
        QTest::newRow("scrolled") << 2 << qint64(160) << 1 << qint64(10);
    }

    void rulerTicks()
    {
        QFETCH(int, zoom);
        QFETCH(qint64, offset);
        QFETCH(int, index);
        QFETCH(qint64, x);
        QCOMPARE(timelineTickX(index, kWidth, zoom, offset), x);
    }

    // Times from a project file can be anything: positions keep their order and land
    // off screen on the side they belong to instead of wrapping around.
    void extremeTimesKeepTheirOrder()
    {
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        for (int zoom : {1, 10}) {
            const QList<qint64> times{min, -kDuration, 0, kDuration, kDuration * 1000000, max};
            qint64 previous = std::numeric_limits<qint64>::min();
            for (qint64 time : times) {
                const qint64 x = ::timeToX(time, kWidth, kDuration, zoom, 0);
                QVERIFY2(x >= previous, qPrintable(QString::number(time)));
                previous = x;
            }
            QVERIFY(::timeToX(max, kWidth, kDuration, zoom, 0) > kWidth);
            QVERIFY(::timeToX(min, kWidth, kDuration, zoom, 0) < 0);
        }
        QCOMPARE(timelineTickTime(10, max), max);
        QCOMPARE(timelineTickTime(5, max), max / 2);
    }

    void paintsAndClicksUncheckedClips()
    {
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        TimelineWidget timeline;
        timeline.resize(kWidth, kHeight);
        timeline.setDuration(kDuration);
        ClipList clips{makeClip(min, max), makeClip(5000, 1000), makeClip(max - 5, max), makeClip(-9000, -1000)};
        for (int i = 0; i < 5000; ++i)
            clips.append(makeClip(i, i + 2));
        timeline.setClips(clips);
        timeline.setPosition(3000);
        timeline.setSelectionStart(min);
        timeline.setSelectionEnd(max);
        for (int zoom : {1, 10}) {
            timeline.setZoomLevel(zoom);
            const QImage image = renderStrip(timeline);
            const int playheadX = int(::timeToX(3000, kWidth, kDuration, zoom, timeline.scrollOffset()));
            QVERIFY2(isNear(image.pixel(playheadX, 90), Qt::white, 2), qPrintable(describe(image.pixel(playheadX, 90))));
        }
        // The first clip spans everything, so every click lands on it.
        QSignalSpy clicked(&timeline, &TimelineWidget::clipClicked);
        QTest::mouseClick(&timeline, Qt::LeftButton, Qt::NoModifier, QPoint(700, 60));
        QCOMPARE(clicked.size(), 1);
        QCOMPARE(clicked.first().first().toInt(), 0);
    }

    void rulerTickTimes()
    {
        QCOMPARE(timelineTickTime(0, 12345), qint64(0));
        QCOMPARE(timelineTickTime(3, 12345), qint64(3703));
        QCOMPARE(timelineTickTime(10, 12345), qint64(12345));
    }

    void timeLabel_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("label");
        QTest::newRow("zero") << qint64(0) << "00:00";
        QTest::newRow("under a second") << qint64(999) << "00:00";
        QTest::newRow("seconds") << qint64(59999) << "00:59";
        QTest::newRow("one minute") << qint64(61500) << "01:01";
        QTest::newRow("an hour has no hours field") << qint64(3600000) << "60:00";
        QTest::newRow("three digit minutes") << qint64(7265000) << "121:05";
    }

    void timeLabel()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, label);
        QCOMPARE(formatTime(ms), label);
    }

    void scrollLimits()
    {
        QCOMPARE(maxTimelineScrollOffset(kWidth, 1), qint64(0));
        QCOMPARE(maxTimelineScrollOffset(kWidth, 2), qint64(800));
        QCOMPARE(maxTimelineScrollOffset(kWidth, 10), qint64(7200));
        QCOMPARE(maxTimelineScrollOffset(15, 4), qint64(0));
        QCOMPARE(clampTimelineScrollOffset(-3, kWidth, 2), qint64(0));
        QCOMPARE(clampTimelineScrollOffset(900, kWidth, 2), qint64(800));
        QCOMPARE(clampTimelineScrollOffset(500, kWidth, 1), qint64(0));
    }

    void offsetShowing_data()
    {
        QTest::addColumn<int>("zoom");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("time");
        QTest::addColumn<bool>("minimal");
        QTest::addColumn<qint64>("expected");

        // At zoom 4 the scaled track is 3200 px; time t lies t / 2.5 px along it.
        QTest::newRow("visible stays") << 4 << qint64(400) << qint64(2000) << false << qint64(400);
        QTest::newRow("visible right edge stays") << 4 << qint64(400) << qint64(3000) << false << qint64(400);
        QTest::newRow("past right pages") << 4 << qint64(400) << qint64(4000) << false << qint64(1520);
        QTest::newRow("past left pages") << 4 << qint64(1600) << qint64(2000) << false << qint64(720);
        QTest::newRow("page clamps at start") << 4 << qint64(1600) << qint64(100) << false << qint64(0);
        QTest::newRow("page clamps at end") << 4 << qint64(0) << kDuration << false << qint64(2400);
        QTest::newRow("minimal right") << 4 << qint64(400) << qint64(4000) << true << qint64(800);
        QTest::newRow("minimal left") << 4 << qint64(1600) << qint64(2000) << true << qint64(800);
        QTest::newRow("zoom 1 never scrolls") << 1 << qint64(0) << kDuration << false << qint64(0);
    }

    void offsetShowing()
    {
        QFETCH(int, zoom);
        QFETCH(qint64, offset);
        QFETCH(qint64, time);
        QFETCH(bool, minimal);
        QFETCH(qint64, expected);
        QCOMPARE(timelineOffsetShowing(time, kWidth, kDuration, zoom, offset, minimal), expected);
    }

    void offsetAfterZoom_data()
    {
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<qint64>("anchor");
        QTest::addColumn<int>("oldZoom");
        QTest::addColumn<qint64>("oldOffset");
        QTest::addColumn<int>("newZoom");
        QTest::addColumn<qint64>("expected");

        QTest::newRow("anchor keeps its screen x") << kDuration << qint64(4000) << 1 << qint64(0) << 2 << qint64(400);
        QTest::newRow("anchor at start") << kDuration << qint64(0) << 1 << qint64(0) << 2 << qint64(0);
        QTest::newRow("anchor at end") << kDuration << kDuration << 1 << qint64(0) << 2 << qint64(800);
        QTest::newRow("zoom out clamps") << kDuration << qint64(4000) << 2 << qint64(400) << 1 << qint64(0);
        QTest::newRow("scrolled anchor") << kDuration << qint64(6000) << 2 << qint64(800) << 3 << qint64(1400);
        QTest::newRow("hidden anchor is paged in") << kDuration << qint64(6000) << 2 << qint64(0) << 4 << qint64(2320);
        QTest::newRow("no duration clamps") << qint64(0) << qint64(0) << 3 << qint64(1600) << 2 << qint64(800);
    }

    void offsetAfterZoom()
    {
        QFETCH(qint64, duration);
        QFETCH(qint64, anchor);
        QFETCH(int, oldZoom);
        QFETCH(qint64, oldOffset);
        QFETCH(int, newZoom);
        QFETCH(qint64, expected);
        QCOMPARE(timelineOffsetAfterZoom(anchor, kWidth, duration, oldZoom, oldOffset, newZoom), expected);
    }

    void initialState()
    {
        TimelineWidget timeline;
        QVERIFY(timeline.clips().isEmpty());
        QCOMPARE(timeline.duration(), qint64(0));
        QCOMPARE(timeline.position(), qint64(0));
        QCOMPARE(timeline.selectionStart(), qint64(-1));
        QCOMPARE(timeline.selectionEnd(), qint64(-1));
        QCOMPARE(timeline.zoomLevel(), 1);
        QCOMPARE(timeline.scrollOffset(), qint64(0));
        QVERIFY(!timeline.isDraggingPlayhead());
        QCOMPARE(timeline.minimumHeight(), 120);
        // Tab reaches it; a click leaves the arrow keys to skipping.
        QCOMPARE(timeline.focusPolicy(), Qt::TabFocus);
    }

    void settersStoreValues()
    {
        TimelineWidget timeline;
        const ClipList clips{makeClip(0, 1000), makeClip(1000, 2500, true)};
        timeline.setClips(clips);
        timeline.setDuration(2500);
        timeline.setPosition(1200);
        timeline.setSelectionStart(300);
        timeline.setSelectionEnd(900);
        QCOMPARE(timeline.clips(), clips);
        QCOMPARE(timeline.duration(), qint64(2500));
        QCOMPARE(timeline.position(), qint64(1200));
        QCOMPARE(timeline.selectionStart(), qint64(300));
        QCOMPARE(timeline.selectionEnd(), qint64(900));

        timeline.clearSelection();
        QCOMPARE(timeline.selectionStart(), qint64(-1));
        QCOMPARE(timeline.selectionEnd(), qint64(-1));
    }

    void zoomClamps_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("argument");
        QTest::addColumn<int>("expected");

        QTest::newRow("zoom in") << 3 << "in" << 0 << 4;
        QTest::newRow("zoom in at 10") << 10 << "in" << 0 << 10;
        QTest::newRow("zoom out") << 3 << "out" << 0 << 2;
        QTest::newRow("zoom out at 1") << 1 << "out" << 0 << 1;
        QTest::newRow("set 7") << 1 << "set" << 7 << 7;
        QTest::newRow("set -5") << 4 << "set" << -5 << 1;
        QTest::newRow("set 0") << 4 << "set" << 0 << 1;
        QTest::newRow("set 10") << 1 << "set" << 10 << 10;
        QTest::newRow("set 15") << 1 << "set" << 15 << 10;
    }

    void zoomClamps()
    {
        QFETCH(int, start);
        QFETCH(QString, operation);
        QFETCH(int, argument);
        QFETCH(int, expected);

        TimelineWidget timeline;
        timeline.setZoomLevel(start);
        QCOMPARE(timeline.zoomLevel(), start);
        if (operation == "in")
            timeline.zoomIn();
        else if (operation == "out")
            timeline.zoomOut();
        else
            timeline.setZoomLevel(argument);
        QCOMPARE(timeline.zoomLevel(), expected);
    }

    void pressWithoutDurationDoesNothing()
    {
        TimelineWidget timeline;
        timeline.resize(kWidth, kHeight);
        timeline.setClips({makeClip(0, 1000)});
        QSignalSpy clipSpy(&timeline, &TimelineWidget::clipClicked);
        QSignalSpy positionSpy(&timeline, &TimelineWidget::positionClicked);

        for (int x : {10, 100, 400}) {
            QTest::mousePress(&timeline, Qt::LeftButton, {}, QPoint(x, 60));
            QTest::mouseMove(&timeline, QPoint(x + 50, 60));
            QTest::mouseRelease(&timeline, Qt::LeftButton, {}, QPoint(x + 50, 60));
        }
        QCOMPARE(clipSpy.count(), 0);
        QCOMPARE(positionSpy.count(), 0);
        QVERIFY(!timeline.isDraggingPlayhead());
    }

    void press_data()
    {
        QTest::addColumn<int>("zoom");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("clip");
        QTest::addColumn<qint64>("position");

        // Every press off the handle seeks; one inside a part also selects it.
        // Playhead at 4 s (x 410 at zoom 1); no press below lands in its grab zone.
        QTest::newRow("inside first clip") << 1 << qint64(0) << 150 << 0 << qint64(1400);
        QTest::newRow("start edge is inclusive") << 1 << qint64(0) << 110 << 0 << qint64(1000);
        QTest::newRow("shared boundary picks earlier") << 1 << qint64(0) << 210 << 0 << qint64(2000);
        QTest::newRow("just after boundary") << 1 << qint64(0) << 211 << 1 << qint64(2010);
        QTest::newRow("end of second clip") << 1 << qint64(0) << 510 << 1 << qint64(5000);
        QTest::newRow("gap") << 1 << qint64(0) << 560 << -1 << qint64(5500);
        QTest::newRow("inside third clip") << 1 << qint64(0) << 660 << 2 << qint64(6500);
        QTest::newRow("just past last clip") << 1 << qint64(0) << 711 << -1 << qint64(7010);
        QTest::newRow("before first clip") << 1 << qint64(0) << 60 << -1 << qint64(500);
        QTest::newRow("left of track clamps") << 1 << qint64(0) << 3 << -1 << qint64(0);
        QTest::newRow("right of track clamps") << 1 << qint64(0) << 817 << -1 << kDuration;
        // At zoom 2 the first clip is drawn over x 210..409, where zoom 1 shows the second.
        QTest::newRow("zoom 2 drawn first clip") << 2 << qint64(0) << 300 << 0 << qint64(1450);
        QTest::newRow("zoom 2 gap") << 2 << qint64(0) << 150 << -1 << qint64(700);
        QTest::newRow("zoom 2 scrolled") << 2 << qint64(600) << 300 << 1 << qint64(4450);
        QTest::newRow("zoom 2 scrolled gap") << 2 << qint64(800) << 310 << -1 << qint64(5500);
    }

    // Expectations changed: a press inside a part used to select it without seeking.
    void press()
    {
        QFETCH(int, zoom);
        QFETCH(qint64, offset);
        QFETCH(int, x);
        QFETCH(int, clip);
        QFETCH(qint64, position);

        TimelineWidget timeline;
        prepareForClicks(timeline);
        timeline.setZoomLevel(zoom);
        timeline.setScrollOffset(offset);
        QCOMPARE(timeline.scrollOffset(), offset);
        QSignalSpy clipSpy(&timeline, &TimelineWidget::clipClicked);
        QSignalSpy positionSpy(&timeline, &TimelineWidget::positionClicked);

        QTest::mousePress(&timeline, Qt::LeftButton, {}, QPoint(x, 60));

        QVERIFY(!timeline.isDraggingPlayhead());
        QCOMPARE(clipSpy.count(), clip >= 0 ? 1 : 0);
        if (clip >= 0)
            QCOMPARE(clipSpy.at(0).at(0).toInt(), clip);
        QCOMPARE(positionSpy.count(), 1);
        QCOMPARE(positionSpy.at(0).at(0).toLongLong(), position);
        QTest::mouseRelease(&timeline, Qt::LeftButton, {}, QPoint(x, 60));
    }

    // Only the track's band selects: above it (off the handle) and on the ruler a press just seeks.
    void pressBands_data()
    {
        QTest::addColumn<int>("y");
        QTest::addColumn<bool>("selects");
        QTest::newRow("above the track") << 20 << false;
        QTest::newRow("track top") << 40 << true;
        QTest::newRow("track middle") << 60 << true;
        QTest::newRow("track bottom") << 79 << true;
        QTest::newRow("below the track") << 80 << false;
        QTest::newRow("ruler ticks") << 100 << false;
        QTest::newRow("ruler labels") << 112 << false;
    }

    void pressBands()
    {
        QFETCH(int, y);
        QFETCH(bool, selects);

        TimelineWidget timeline;
        prepareForClicks(timeline);
        QSignalSpy clipSpy(&timeline, &TimelineWidget::clipClicked);
        QSignalSpy positionSpy(&timeline, &TimelineWidget::positionClicked);

        QTest::mouseClick(&timeline, Qt::LeftButton, {}, QPoint(660, y));
        QCOMPARE(positionSpy.count(), 1);
        QCOMPARE(positionSpy.at(0).at(0).toLongLong(), qint64(6500));
        QCOMPARE(clipSpy.count(), selects ? 1 : 0);
        if (selects)
            QCOMPARE(clipSpy.at(0).at(0).toInt(), 2);
        QVERIFY(!timeline.isDraggingPlayhead());

        QTest::mouseClick(&timeline, Qt::RightButton, {}, QPoint(150, y));
        QCOMPARE(positionSpy.count(), 1);
        QCOMPARE(clipSpy.count(), selects ? 1 : 0);
    }

    void playheadGrabZone_data()
    {
        QTest::addColumn<int>("distance");
        QTest::addColumn<int>("y");
        QTest::addColumn<bool>("grabs");
        QTest::newRow("on the handle") << 0 << 20 << true;
        QTest::newRow("15 px right") << 15 << 20 << true;
        QTest::newRow("15 px left") << -15 << 20 << true;
        QTest::newRow("16 px right") << 16 << 20 << false;
        QTest::newRow("16 px left") << -16 << 20 << false;
        QTest::newRow("lowest row of the band") << 0 << 39 << true;
        QTest::newRow("line over the track") << 0 << 60 << false;
        QTest::newRow("line over the ruler") << 0 << 100 << false;
    }

    // Playing repaints only where the playhead was and is: what reaches the screen must be
    // what a whole repaint draws, with no trace of the handle left behind.
    void movingPlayheadLeavesNoTrace()
    {
        TimelineWidget timeline;
        prepareForPainting(timeline);
        timeline.show();
        QVERIFY(QTest::qWaitForWindowExposed(&timeline));
        for (const qint64 to : {3100, 3500, 4500, 9000, 0, 2000}) {
            timeline.setPosition(to);
            QCoreApplication::processEvents();
        }
        const QImage whole = timeline.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const auto onScreen = [&timeline] {
            return timeline.screen()->grabWindow(timeline.winId()).toImage().convertToFormat(QImage::Format_RGB32);
        };
        QTRY_COMPARE_WITH_TIMEOUT(onScreen(), whole, 30000);
    }

    // Expectations changed: grabbing the handle used to select the part under it.
    void playheadGrabZone()
    {
        QFETCH(int, distance);
        QFETCH(int, y);
        QFETCH(bool, grabs);

        TimelineWidget timeline;
        prepareForClicks(timeline);
        QSignalSpy clipSpy(&timeline, &TimelineWidget::clipClicked);
        QSignalSpy positionSpy(&timeline, &TimelineWidget::positionClicked);

        const int x = 410 + distance;
        QTest::mousePress(&timeline, Qt::LeftButton, {}, QPoint(x, y));
        QCOMPARE(timeline.isDraggingPlayhead(), grabs);
        // The handle moves only with the pointer; anywhere else the press seeks at once.
        QCOMPARE(positionSpy.count(), grabs ? 0 : 1);
        if (!grabs)
            QCOMPARE(positionSpy.at(0).at(0).toLongLong(), qint64(4000 + distance * 10));
        // The playhead stands inside the second clip: only a press on the track selects it.
        const bool selects = !grabs && y >= 40 && y < 80;
        QCOMPARE(clipSpy.count(), selects ? 1 : 0);
        if (selects)
            QCOMPARE(clipSpy.at(0).at(0).toInt(), 1);

        // Either way the pointer drags the playhead along.
        QTest::mouseMove(&timeline, QPoint(560, y));
        QCOMPARE(positionSpy.count(), grabs ? 1 : 2);
        QCOMPARE(positionSpy.last().at(0).toLongLong(), qint64(5500));
        QTest::mouseRelease(&timeline, Qt::LeftButton, {}, QPoint(560, y));
        QVERIFY(!timeline.isDraggingPlayhead());
        QCOMPARE(clipSpy.count(), selects ? 1 : 0);
    }

    void dragFollowsPointerAndClamps()
    {
        TimelineWidget timeline;
        prepareForClicks(timeline);
        QSignalSpy positionSpy(&timeline, &TimelineWidget::positionClicked);

        QTest::mousePress(&timeline, Qt::LeftButton, {}, QPoint(400, 20));
        QVERIFY(timeline.isDraggingPlayhead());
        QCOMPARE(timeline.cursor().shape(), Qt::ClosedHandCursor);
        QTest::mouseMove(&timeline, QPoint(260, 20));
        QTest::mouseMove(&timeline, QPoint(1000, 20));
        QTest::mouseMove(&timeline, QPoint(-40, 20));
        QCOMPARE(positionSpy.count(), 3);
        QCOMPARE(positionSpy.at(0).at(0).toLongLong(), qint64(2500));
        QCOMPARE(positionSpy.at(1).at(0).toLongLong(), kDuration);
        QCOMPARE(positionSpy.at(2).at(0).toLongLong(), qint64(0));

        QTest::mouseRelease(&timeline, Qt::LeftButton, {}, QPoint(-40, 20));
        QVERIFY(!timeline.isDraggingPlayhead());
        QCOMPARE(timeline.cursor().shape(), Qt::ArrowCursor);
        QTest::mouseMove(&timeline, QPoint(300, 20));
        QCOMPARE(positionSpy.count(), 3);
    }

    // A drag started on the track or the ruler scrubs; the part under the press stays
    // the only one selected, and the drag ends with the button.
    void scrubFollowsPointer_data()
    {
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("clips");
        QTest::newRow("track") << 60 << 1;
        QTest::newRow("ruler") << 105 << 0;
    }

    void scrubFollowsPointer()
    {
        QFETCH(int, y);
        QFETCH(int, clips);

        TimelineWidget timeline;
        prepareForClicks(timeline);
        QSignalSpy clipSpy(&timeline, &TimelineWidget::clipClicked);
        QSignalSpy positionSpy(&timeline, &TimelineWidget::positionClicked);

        QTest::mousePress(&timeline, Qt::LeftButton, {}, QPoint(150, y));
        QTest::mouseMove(&timeline, QPoint(660, y));
        QTest::mouseMove(&timeline, QPoint(900, y));
        QTest::mouseMove(&timeline, QPoint(260, y));
        QVERIFY(!timeline.isDraggingPlayhead());
        QCOMPARE(positionSpy.count(), 4);
        const QList<qint64> expected{1400, 6500, kDuration, 2500};
        for (int i = 0; i < expected.size(); ++i)
            QCOMPARE(positionSpy.at(i).at(0).toLongLong(), expected.at(i));
        QCOMPARE(clipSpy.count(), clips);

        QTest::mouseRelease(&timeline, Qt::LeftButton, {}, QPoint(260, y));
        QTest::mouseMove(&timeline, QPoint(300, y));
        QCOMPARE(positionSpy.count(), 4);
        QCOMPARE(clipSpy.count(), clips);
    }

    void cursorNearPlayheadWhileButtonHeld()
    {
        // Without mouse tracking, moves arrive only with a button held.
        TimelineWidget timeline;
        prepareForClicks(timeline);
        QSignalSpy positionSpy(&timeline, &TimelineWidget::positionClicked);
        QTest::mousePress(&timeline, Qt::LeftButton, {}, QPoint(560, 20));
        QTest::mouseMove(&timeline, QPoint(425, 20));
        QCOMPARE(timeline.cursor().shape(), Qt::OpenHandCursor);
        QTest::mouseMove(&timeline, QPoint(426, 20));
        QCOMPARE(timeline.cursor().shape(), Qt::ArrowCursor);
        QTest::mouseRelease(&timeline, Qt::LeftButton, {}, QPoint(426, 20));
        QVERIFY(!timeline.isDraggingPlayhead());
        // Expectation changed: the held button now scrubs, one seek per move.
        QCOMPARE(positionSpy.count(), 3);
    }

    void wheel_data()
    {
        QTest::addColumn<int>("zoom");
        QTest::addColumn<qint64>("startOffset");
        QTest::addColumn<QPoint>("angle");
        QTest::addColumn<qint64>("offset");

        QTest::newRow("zoom 1 does nothing") << 1 << qint64(0) << QPoint(0, -120) << qint64(0);
        QTest::newRow("notch down scrolls right") << 2 << qint64(0) << QPoint(0, -120) << qint64(80);
        QTest::newRow("notch up scrolls left") << 2 << qint64(400) << QPoint(0, 120) << qint64(320);
        QTest::newRow("horizontal axis") << 2 << qint64(0) << QPoint(-120, 0) << qint64(80);
        QTest::newRow("half notch") << 2 << qint64(0) << QPoint(0, -60) << qint64(40);
        QTest::newRow("clamps at start") << 2 << qint64(30) << QPoint(0, 120) << qint64(0);
        QTest::newRow("clamps at end") << 2 << qint64(0) << QPoint(0, -120 * 50) << qint64(800);
    }

    void wheel()
    {
        QFETCH(int, zoom);
        QFETCH(qint64, startOffset);
        QFETCH(QPoint, angle);
        QFETCH(qint64, offset);

        WheelCountingParent parent;
        parent.resize(kWidth, 200);
        auto *timeline = new TimelineWidget(&parent);
        prepareForClicks(*timeline);
        timeline->setZoomLevel(zoom);
        timeline->setScrollOffset(startOffset);

        QVERIFY(sendWheel(timeline, angle));
        QCOMPARE(timeline->scrollOffset(), offset);
        QCOMPARE(parent.wheelEvents, 0);
    }

    void positionKeepsPlayheadInView_data()
    {
        QTest::addColumn<qint64>("position");
        QTest::addColumn<qint64>("offset");

        // Zoom 4 from offset 400: times 1000..3000 are visible.
        QTest::newRow("visible keeps offset") << qint64(2500) << qint64(400);
        QTest::newRow("past the right edge pages") << qint64(4000) << qint64(1520);
        QTest::newRow("before the left edge pages") << qint64(500) << qint64(120);
        QTest::newRow("end clamps") << kDuration << qint64(2400);
    }

    void positionKeepsPlayheadInView()
    {
        QFETCH(qint64, position);
        QFETCH(qint64, offset);

        TimelineWidget timeline;
        prepareForClicks(timeline);
        timeline.setZoomLevel(4);
        timeline.setScrollOffset(400);
        QCOMPARE(timeline.scrollOffset(), qint64(400));

        timeline.setPosition(position);
        QCOMPARE(timeline.scrollOffset(), offset);
        const qint64 x = ::timeToX(position, kWidth, kDuration, 4, timeline.scrollOffset());
        QVERIFY2(x >= 10 && x <= 810, qPrintable(QString::number(x)));
    }

    void zoomKeepsPlayheadInView()
    {
        TimelineWidget timeline;
        prepareForClicks(timeline);
        timeline.setPosition(kDuration);
        timeline.zoomIn();
        QCOMPARE(timeline.scrollOffset(), qint64(800));
        timeline.setZoomLevel(5);
        QCOMPARE(timeline.scrollOffset(), qint64(3200));

        timeline.setScrollOffset(0);
        timeline.setZoomLevel(6);
        const qint64 x = ::timeToX(kDuration, kWidth, kDuration, 6, timeline.scrollOffset());
        QVERIFY2(x >= 10 && x <= 810, qPrintable(QString::number(x)));

        timeline.setZoomLevel(1);
        QCOMPARE(timeline.scrollOffset(), qint64(0));
    }

    void scrollOffsetClamps()
    {
        TimelineWidget timeline;
        prepareForClicks(timeline);
        timeline.setScrollOffset(300);
        QCOMPARE(timeline.scrollOffset(), qint64(0));
        timeline.setZoomLevel(3);
        timeline.setScrollOffset(-20);
        QCOMPARE(timeline.scrollOffset(), qint64(0));
        timeline.setScrollOffset(99999);
        QCOMPARE(timeline.scrollOffset(), qint64(1600));

        // Halving the width keeps the same stretch of the edit at the left edge.
        timeline.show();
        QVERIFY(QTest::qWaitForWindowExposed(&timeline));
        timeline.setScrollOffset(800);
        timeline.resize(420, kHeight);
        QCOMPARE(timeline.scrollOffset(), qint64(400));
    }

    void paintsEmptyTrackWithoutDuration()
    {
        TimelineWidget timeline;
        timeline.resize(kWidth, kHeight);
        timeline.setClips({makeClip(0, 4000)});
        timeline.setPosition(0);
        const QImage image = renderStrip(timeline);

        const QColor background(0x1a, 0x1a, 0x1a);
        const QColor track(41, 41, 41);
        QVERIFY2(isNear(image.pixel(400, 10), background, 2), qPrintable(describe(image.pixel(400, 10))));
        QVERIFY2(isNear(image.pixel(5, 60), background, 2), qPrintable(describe(image.pixel(5, 60))));
        QVERIFY2(isNear(image.pixel(815, 60), background, 2), qPrintable(describe(image.pixel(815, 60))));
        for (int x : {12, 100, 400, 807})
            QVERIFY2(isNear(image.pixel(x, 60), track, 4), qPrintable(describe(image.pixel(x, 60))));
        // No playhead, no ruler.
        QVERIFY2(isNear(image.pixel(10, 90), background, 2), qPrintable(describe(image.pixel(10, 90))));
        QVERIFY2(isNear(image.pixel(9, 100), background, 2), qPrintable(describe(image.pixel(9, 100))));
    }

    void paintsAtZoom_data()
    {
        QTest::addColumn<int>("zoom");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<QPoint>("at");
        QTest::addColumn<QString>("kind");

        // Clips over x 110..209, 410..509 (marked), 610..709; playhead at 310; ticks every 80 px.
        QTest::newRow("z1 first clip") << 1 << qint64(0) << QPoint(125, 60) << "clip";
        QTest::newRow("z1 first clip right part") << 1 << qint64(0) << QPoint(195, 60) << "clip";
        QTest::newRow("z1 gap") << 1 << qint64(0) << QPoint(260, 60) << "track";
        QTest::newRow("z1 marked clip inside") << 1 << qint64(0) << QPoint(425, 60) << "clip";
        QTest::newRow("z1 marked border") << 1 << qint64(0) << QPoint(440, 42) << "mark";
        QTest::newRow("z1 marked border left") << 1 << qint64(0) << QPoint(412, 60) << "mark";
        QTest::newRow("z1 unmarked top") << 1 << qint64(0) << QPoint(140, 42) << "clip top";
        QTest::newRow("z1 second gap") << 1 << qint64(0) << QPoint(560, 60) << "track";
        QTest::newRow("z1 third clip") << 1 << qint64(0) << QPoint(625, 60) << "clip";
        QTest::newRow("z1 after clips") << 1 << qint64(0) << QPoint(760, 60) << "track";
        QTest::newRow("z1 before clips") << 1 << qint64(0) << QPoint(60, 60) << "track";
        QTest::newRow("z1 playhead") << 1 << qint64(0) << QPoint(310, 90) << "playhead";
        QTest::newRow("z1 playhead over track") << 1 << qint64(0) << QPoint(310, 60) << "playhead";
        QTest::newRow("z1 no playhead at 610") << 1 << qint64(0) << QPoint(610, 90) << "background";
        QTest::newRow("z1 tick 0") << 1 << qint64(0) << QPoint(10, 98) << "tick";
        QTest::newRow("z1 tick 1") << 1 << qint64(0) << QPoint(90, 98) << "tick";
        QTest::newRow("z1 tick 10") << 1 << qint64(0) << QPoint(810, 98) << "tick";
        QTest::newRow("z1 between ticks") << 1 << qint64(0) << QPoint(130, 98) << "background";

        // Zoom 2 doubles the distances from the track's left end.
        QTest::newRow("z2 first clip") << 2 << qint64(0) << QPoint(225, 60) << "clip";
        QTest::newRow("z2 first clip over z1 gap") << 2 << qint64(0) << QPoint(280, 60) << "clip";
        QTest::newRow("z2 first clip end") << 2 << qint64(0) << QPoint(395, 60) << "clip";
        QTest::newRow("z2 gap over z1 marked clip") << 2 << qint64(0) << QPoint(440, 60) << "track";
        QTest::newRow("z2 before clips") << 2 << qint64(0) << QPoint(150, 60) << "track";
        QTest::newRow("z2 playhead") << 2 << qint64(0) << QPoint(610, 90) << "playhead";
        QTest::newRow("z2 no playhead at 310") << 2 << qint64(0) << QPoint(310, 90) << "background";
        QTest::newRow("z2 tick 1") << 2 << qint64(0) << QPoint(170, 98) << "tick";
        QTest::newRow("z2 tick 5") << 2 << qint64(0) << QPoint(810, 98) << "tick";
        QTest::newRow("z2 no tick at 90") << 2 << qint64(0) << QPoint(90, 98) << "background";

        // Scrolled by 200 px, everything moves left by 200.
        QTest::newRow("z2 scrolled first clip") << 2 << qint64(200) << QPoint(25, 60) << "clip";
        QTest::newRow("z2 scrolled gap") << 2 << qint64(200) << QPoint(300, 60) << "track";
        QTest::newRow("z2 scrolled marked clip") << 2 << qint64(200) << QPoint(700, 42) << "mark";
        QTest::newRow("z2 scrolled playhead") << 2 << qint64(200) << QPoint(410, 90) << "playhead";
        QTest::newRow("z2 scrolled tick 2") << 2 << qint64(200) << QPoint(130, 98) << "tick";
        QTest::newRow("z2 scrolled no tick") << 2 << qint64(200) << QPoint(170, 98) << "background";
    }

    void paintsAtZoom()
    {
        QFETCH(int, zoom);
        QFETCH(qint64, offset);
        QFETCH(QPoint, at);
        QFETCH(QString, kind);

        TimelineWidget timeline;
        prepareForPainting(timeline);
        timeline.setZoomLevel(zoom);
        timeline.setScrollOffset(offset);
        const QImage image = renderStrip(timeline);
        const QRgb pixel = image.pixel(at);
        const QString seen = describe(pixel);

        if (kind == "clip") {
            // The base colour's gradient at mid height over the track.
            QVERIFY2(isNear(pixel, QColor(69, 121, 164), 8), qPrintable(seen));
        } else if (kind == "clip top") {
            QVERIFY2(qBlue(pixel) > qRed(pixel) + 60, qPrintable(seen));
            QVERIFY2(!isNear(pixel, QColor(100, 150, 255), 20), qPrintable(seen));
        } else if (kind == "mark") {
            QVERIFY2(isNear(pixel, QColor(100, 150, 255), 3), qPrintable(seen));
        } else if (kind == "track") {
            QVERIFY2(isNear(pixel, QColor(41, 41, 41), 4), qPrintable(seen));
        } else if (kind == "playhead") {
            QVERIFY2(isNear(pixel, Qt::white, 2), qPrintable(seen));
        } else if (kind == "background") {
            QVERIFY2(isNear(pixel, QColor(0x1a, 0x1a, 0x1a), 2), qPrintable(seen));
        } else if (kind == "tick") {
            // A 1 px line on a pixel edge covers half of the two pixels beside it.
            const QRgb before = image.pixel(at.x() - 1, at.y());
            QVERIFY2(isNear(pixel, QColor(88, 88, 88), 12), qPrintable(seen));
            QVERIFY2(isNear(before, QColor(88, 88, 88), 12), qPrintable(describe(before)));
        } else {
            QFAIL("unknown kind");
        }
    }

    // Boxes up to 64 px are copied from one drawn per width: the ends of a 64 px box (a copy)
    // match those of a 65 px box (drawn in place), marked or not.
    void smallBoxesLookLikeBoxesDrawnInPlace()
    {
        TimelineWidget timeline;
        timeline.resize(kWidth, kHeight);
        timeline.setDuration(kDuration);
        timeline.setPosition(7900);
        timeline.setClips({makeClip(1000, 1650), makeClip(2500, 3150, true), makeClip(4000, 4660),
                           makeClip(5500, 6160, true)});
        const QImage image = renderStrip(timeline);
        const int top = kHeight / 3;
        for (const auto &[copied, drawn] : {std::pair{110, 410}, std::pair{260, 560}}) {
            for (int y = top - 2; y <= 2 * top + 2; ++y) {
                for (int dx = -3; dx <= 20; ++dx) {
                    const QRgb a = image.pixel(copied + dx, y);
                    const QRgb b = image.pixel(drawn + dx, y);
                    QVERIFY2(isNear(a, QColor(b), 1), qPrintable(QStringLiteral("%1 at (%2, %3), %4 in place")
                                                                 .arg(describe(a)).arg(copied + dx).arg(y)
                                                                 .arg(describe(b))));
                    const QRgb aEnd = image.pixel(copied + 64 - dx, y);
                    const QRgb bEnd = image.pixel(drawn + 65 - dx, y);
                    QVERIFY(isNear(aEnd, QColor(bEnd), 1));
                }
            }
        }
    }

    // Each picture on the track is the frame at the time of its left edge, also deep inside a
    // group of pictures ten seconds long and in parts cut from the middle of one: with key frame
    // pictures, the first seconds after a key frame all showed that key frame.
    void thumbnailsShowTheFrameAtTheirTime()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("counter.mp4"));
        constexpr int fps = 25;
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", FrameCounter::pictureSource(160, 90, fps, 20),
                                      "-c:v", "libx264", "-preset", "veryfast", "-x264-params",
                                      "keyint=250:min-keyint=250:scenecut=0", "-pix_fmt", "yuv420p", path}));
        Media::ThumbnailProvider provider;
        TimelineWidget timeline;
        timeline.resize(1220, kHeight);
        timeline.setThumbnailProvider(&provider);
        provider.setSource(path);
        const auto part = [](qint64 start, qint64 end) {
            Clip clip;
            clip.originalStart = start;
            clip.originalEnd = end;
            return clip;
        };
        ClipList clips{part(2000, 6480), part(8200, 13000), part(15000, 19000)};
        const qint64 duration = recalculateTimeline(clips);
        timeline.setDuration(duration);
        timeline.setClips(clips);
        constexpr int zoom = 10;
        timeline.setZoomLevel(zoom);

        // From the first part's start, the first join, the second part across its key frame at
        // 10 s (6.28 s into the edit), the second join. Spans are far shorter than a group of
        // pictures: all but the tile holding the key frame show the frame at their left edge.
        for (const qint64 from : {qint64(0), qint64(3900), qint64(5700), qint64(8700)}) {
            timeline.setScrollOffset(::timeToX(from, timeline.width(), duration, zoom) - kTimelineMargin);
            QImage image;
            QTRY_VERIFY(thumbnailsFilled(timeline, image));
            const int tileWidth = int(std::lround((kHeight / 3 - 6) * provider.aspectRatio()));
            int tiles = 0;
            const QStringList wrong =
                misplacedTiles(image, clips, duration, zoom, timeline.scrollOffset(), tileWidth, fps, 250, &tiles);
            QVERIFY2(tiles >= 15, qPrintable(QString::number(tiles)));
            QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("from %1 ms: ").arg(from) + wrong.join(QStringLiteral("; "))));
        }
    }

    // Zoomed out, each tile spans more than a second and holds a key frame: its picture is a
    // frame of its own span. Zoomed in on the same parts, with the pictures of the wide spans
    // kept, tiles whose span holds no key frame show the frame at their time.
    void thumbnailsShowAFrameOfTheirSpan()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("counter.mp4"));
        constexpr int fps = 25;
        constexpr int keyEvery = 25;
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", FrameCounter::pictureSource(160, 90, fps, 40),
                                      "-c:v", "libx264", "-preset", "veryfast", "-x264-params",
                                      "keyint=25:min-keyint=25:scenecut=0", "-pix_fmt", "yuv420p", path}));
        Media::ThumbnailProvider provider;
        TimelineWidget timeline;
        timeline.resize(1220, kHeight);
        timeline.setThumbnailProvider(&provider);
        provider.setSource(path);
        const auto part = [](qint64 start, qint64 end) {
            Clip clip;
            clip.originalStart = start;
            clip.originalEnd = end;
            return clip;
        };
        // Parts starting between key frames.
        ClipList clips{part(2500, 18000), part(21300, 39000)};
        const qint64 duration = recalculateTimeline(clips);
        timeline.setDuration(duration);
        timeline.setClips(clips);
        for (const int zoom : {1, 10}) {
            timeline.setZoomLevel(zoom);
            timeline.setScrollOffset(0);
            QImage image;
            QTRY_VERIFY(thumbnailsFilled(timeline, image));
            const int tileWidth = int(std::lround((kHeight / 3 - 6) * provider.aspectRatio()));
            int tiles = 0;
            const QStringList wrong =
                misplacedTiles(image, clips, duration, zoom, timeline.scrollOffset(), tileWidth, fps, keyEvery, &tiles);
            QVERIFY2(tiles >= 15, qPrintable(QString::number(tiles)));
            QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("zoom %1: ").arg(zoom) + wrong.join(QStringLiteral("; "))));
        }
    }

    void selectionNeedsBothEnds_data()
    {
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("end");
        QTest::addColumn<bool>("drawn");
        QTest::newRow("both") << qint64(2500) << qint64(3500) << true;
        QTest::newRow("start only") << qint64(2500) << qint64(-1) << false;
        QTest::newRow("end only") << qint64(-1) << qint64(3500) << false;
        QTest::newRow("neither") << qint64(-1) << qint64(-1) << false;
    }

    void selectionNeedsBothEnds()
    {
        QFETCH(qint64, start);
        QFETCH(qint64, end);
        QFETCH(bool, drawn);

        TimelineWidget timeline;
        prepareForPainting(timeline);
        timeline.setPosition(7500);
        timeline.setSelectionStart(start);
        timeline.setSelectionEnd(end);
        const QImage image = renderStrip(timeline);

        // Selection over x 260..360, inside the gap between the first two clips.
        const QRgb startLine = image.pixel(260, 90);
        const QRgb endLine = image.pixel(360, 90);
        const QRgb fill = image.pixel(310, 60);
        const QColor background(0x1a, 0x1a, 0x1a);
        if (drawn) {
            QVERIFY2(isNear(startLine, QColor(0, 255, 0), 2), qPrintable(describe(startLine)));
            QVERIFY2(isNear(endLine, QColor(255, 0, 0), 2), qPrintable(describe(endLine)));
            QVERIFY2(qBlue(fill) > qRed(fill) + 40 && qBlue(fill) > 100, qPrintable(describe(fill)));
        } else {
            QVERIFY2(isNear(startLine, background, 2), qPrintable(describe(startLine)));
            QVERIFY2(isNear(endLine, background, 2), qPrintable(describe(endLine)));
            QVERIFY2(isNear(fill, QColor(41, 41, 41), 4), qPrintable(describe(fill)));
        }
    }

    void dragLabelInsideWidget_data()
    {
        QTest::addColumn<qint64>("position");
        QTest::addColumn<bool>("rightOfHandle");
        QTest::newRow("track start") << qint64(0) << true;
        QTest::newRow("middle") << qint64(4000) << true;
        QTest::newRow("track end") << kDuration << false;
    }

    void dragLabelInsideWidget()
    {
        QFETCH(qint64, position);
        QFETCH(bool, rightOfHandle);

        TimelineWidget timeline;
        prepareForClicks(timeline);
        timeline.setPosition(position);
        const int px = int(::timeToX(position, kWidth, kDuration, 1, 0));
        const QRect beside(px - 90, 0, 180, 40);

        QCOMPARE(darkPixels(renderStrip(timeline), beside), 0);

        QTest::mousePress(&timeline, Qt::LeftButton, {}, QPoint(px, 20));
        QVERIFY(timeline.isDraggingPlayhead());
        const QImage dragging = renderStrip(timeline);
        const QRect right(px + 13, 0, 80, 40);
        const QRect left(px - 92, 0, 80, 40);
        const int onRight = darkPixels(dragging, right);
        const int onLeft = darkPixels(dragging, left);
        QVERIFY2(qMax(onRight, onLeft) > 150, qPrintable(QStringLiteral("%1 / %2").arg(onLeft).arg(onRight)));
        QCOMPARE(onRight > 0, rightOfHandle);
        QCOMPARE(onLeft > 0, !rightOfHandle);
        // The label's box lies clear of the handle's column.
        QCOMPARE(darkPixels(dragging, QRect(px - 12, 0, 25, 40)), 0);

        QTest::mouseRelease(&timeline, Qt::LeftButton, {}, QPoint(px, 20));
        QCOMPARE(darkPixels(renderStrip(timeline), beside), 0);
    }

    void dragLabelClampedInNarrowWidget()
    {
        TimelineWidget timeline;
        timeline.resize(60, kHeight);
        timeline.setDuration(kDuration);
        timeline.setPosition(kDuration / 2);
        const int px = int(::timeToX(kDuration / 2, 60, kDuration, 1, 0));
        QTest::mousePress(&timeline, Qt::LeftButton, {}, QPoint(px, 20));
        QVERIFY(timeline.isDraggingPlayhead());
        const QImage image = renderStrip(timeline);
        // Neither side has room: the box is pulled inside and starts at the left edge.
        QVERIFY(darkPixels(image, QRect(0, 0, 60, 40)) > 0);
        QVERIFY2(qRed(image.pixel(2, 20)) < 18, qPrintable(describe(image.pixel(2, 20))));
    }
};

QTEST_MAIN(TestTimelineWidget)
#include "tst_timelinewidget.moc"
