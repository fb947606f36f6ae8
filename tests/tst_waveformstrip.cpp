#include "audiowaveform.h"
#include "cliplist.h"
#include "mainwindow.h"
#include "recordingprompts.h"
#include "repaintpacer.h"
#include "peakloader.h"
#include "testmain.h"
#include "testmedia.h"
#include "thumbnailprovider.h"
#include "timelinegeometry.h"
#include "timelinewidget.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QColor kPeakColour(106, 155, 209);
const QColor kRmsColour(170, 200, 235);

Clip part(qint64 sourceStart, qint64 sourceEnd)
{
    Clip clip;
    clip.originalStart = sourceStart;
    clip.originalEnd = sourceEnd;
    return clip;
}

// The tone plays in the even seconds of the source.
bool sourceLoud(qint64 sourceMs)
{
    return (sourceMs / 1000) % 2 == 0;
}

bool nearSecondEdge(qint64 sourceMs)
{
    const qint64 within = sourceMs % 1000;
    return within < 150 || within > 850;
}

// Height of the drawn sound in the strip's column x.
int soundHeight(const QImage &image, int x)
{
    int rows = 0;
    for (int y = 0; y < image.height(); ++y) {
        const QColor pixel(image.pixel(x, y));
        if (pixel == kPeakColour || pixel == kRmsColour)
            ++rows;
    }
    return rows;
}

bool near(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) < 50 && qAbs(a.green() - b.green()) < 50 && qAbs(a.blue() - b.blue()) < 50;
}

} // namespace

class TestWaveformStrip : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void stripFollowsTheEditedTimeline();
    void partsShowThumbnailsOfTheirOwnSpan();
    void windowReadsEachLoadAndEndsItsThreads();
    void arrivalsAreRepaintedInFewPaints();

private:
    // Every visible column whose edited time lies well inside a source second shows sound
    // exactly when the source plays the tone there.
    void verifyStripMatchesTimeline(const char *step);

    QTemporaryDir m_dir;
    QString m_tone;
    QString m_colours;
    TimelineWidget *m_timeline = nullptr;
    AudioWaveform *m_strip = nullptr;
};

void TestWaveformStrip::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_tone = m_dir.filePath(QStringLiteral("tone.mp4"));
    QVERIFY(TestMedia::makeSoundVideo(m_tone, QStringLiteral("testsrc2=s=160x90:r=25:d=6"),
                                      QStringLiteral("sine=f=440:d=6,volume='if(lt(mod(t,2),1),6,0)':eval=frame")));
    m_colours = m_dir.filePath(QStringLiteral("colours.mp4"));
    QVERIFY(TestMedia::makeColourSecondsVideo(m_colours));
}

void TestWaveformStrip::verifyStripMatchesTimeline(const char *step)
{
    const QImage image = m_strip->grab().toImage();
    const ClipList &clips = m_timeline->clips();
    const qint64 duration = m_timeline->duration();
    int checked = 0;
    for (int x = kTimelineMargin; x < m_strip->width() - kTimelineMargin; x += 7) {
        // The timeline's own answer for this x, as a click there would seek.
        const qint64 edited = xToTime(x, m_timeline->width(), duration, m_timeline->zoomLevel(),
                                      m_timeline->scrollOffset());
        const qint64 source = timelineToSource(clips, edited, duration);
        if (nearSecondEdge(source) || nearSecondEdge(edited))
            continue;
        const int height = soundHeight(image, x);
        const QString where = QStringLiteral("%1: x %2, edited %3 ms, source %4 ms, height %5")
                                  .arg(QLatin1String(step)).arg(x).arg(edited).arg(source).arg(height);
        if (sourceLoud(source))
            QVERIFY2(height > 30, qPrintable(where));
        else
            QVERIFY2(height <= 2, qPrintable(where));
        ++checked;
    }
    QVERIFY(checked > 20);
}

// After a delete the strip shows the kept parts joined, at every zoom and scroll, and an
// undo brings the old picture back, without reading the file again.
void TestWaveformStrip::stripFollowsTheEditedTimeline()
{
    QTemporaryDir cache;
    Media::PeakLoader loader;
    loader.setCacheDirectory(cache.path());
    TimelineWidget timeline;
    AudioWaveform strip;
    m_timeline = &timeline;
    m_strip = &strip;
    timeline.resize(1220, 120);
    strip.resize(1220, 60);
    strip.setPeakLoader(&loader);
    strip.followTimeline(&timeline);

    loader.load(m_tone);
    QCOMPARE(strip.hint(), QString()); // nothing to show before there is a duration
    ClipList whole{part(0, 6000)};
    recalculateTimeline(whole);
    timeline.setDuration(6000);
    timeline.setClips(whole);
    QTRY_COMPARE(loader.state(), Media::PeakLoader::State::Ready);
    QCOMPARE(strip.hint(), QString());
    verifyStripMatchesTimeline("whole source");

    // The middle second goes: source 2-3 s (loud) is cut out.
    ClipList edited{part(0, 2000), part(3000, 6000)};
    const qint64 editedDuration = recalculateTimeline(edited);
    QCOMPARE(editedDuration, qint64(5000));
    timeline.setClips(edited);
    timeline.setDuration(editedDuration);
    verifyStripMatchesTimeline("after the delete");
    QVERIFY(soundHeight(strip.grab().toImage(), int(timeToX(2500, 1220, 5000, 1))) <= 2);

    timeline.setZoomLevel(4);
    timeline.setScrollOffset(1500);
    QCOMPARE(timeline.scrollOffset(), qint64(1500));
    verifyStripMatchesTimeline("zoomed and scrolled");

    QSignalSpy seeks(&strip, &AudioWaveform::positionClicked);
    QTest::mouseClick(&strip, Qt::LeftButton, {}, QPoint(600, 30));
    QCOMPARE(seeks.count(), 1);
    QCOMPARE(seeks.at(0).at(0).toLongLong(), xToTime(600, 1220, 5000, 4, 1500));

    timeline.setZoomLevel(1);
    timeline.setClips(whole);
    timeline.setDuration(6000);
    verifyStripMatchesTimeline("after the undo");
    QCOMPARE(loader.state(), Media::PeakLoader::State::Ready);
    QVERIFY(!loader.isWorking());
}

// Each part's box shows the picture of its own stretch of the source, once made.
void TestWaveformStrip::partsShowThumbnailsOfTheirOwnSpan()
{
    Media::ThumbnailProvider provider;
    TimelineWidget timeline;
    timeline.resize(1220, 120);
    timeline.setThumbnailProvider(&provider);
    provider.setSource(m_colours);
    ClipList clips{part(0, 1000), part(2000, 3000), part(3000, 4000)};
    const qint64 duration = recalculateTimeline(clips);
    timeline.setDuration(duration);
    timeline.setClips(clips);

    const int top = timeline.height() / 3;
    auto colourIn = [&timeline, top](const QImage &image, const Clip &clip) {
        const int x = int(timeToX(clip.startTime, timeline.width(), timeline.duration(), 1)) + 10;
        return QColor(image.pixel(x, top + 8));
    };
    const QList<QColor> expected{Qt::red, Qt::blue, Qt::yellow};
    // Painting asks for what is missing, so the widget is painted until every part shows its
    // own picture and no tile along the track still shows the placeholder.
    const QColor placeholder(40, 70, 100);
    QTRY_VERIFY([&] {
        const QImage image = timeline.grab().toImage();
        for (int i = 0; i < clips.size(); ++i) {
            if (!near(colourIn(image, clips.at(i)), expected.at(i)))
                return false;
        }
        for (int x = 0; x < image.width(); ++x) {
            if (QColor(image.pixel(x, top + 8)) == placeholder)
                return false;
        }
        return true;
    }());
}

// A new load replaces the old file's work, and the window takes its threads with it.
void TestWaveformStrip::windowReadsEachLoadAndEndsItsThreads()
{
    const QString longer = m_dir.filePath(QStringLiteral("five-minutes.mp4"));
    QVERIFY(TestMedia::makeSoundVideo(longer, QStringLiteral("color=black:s=64x36:r=5:d=300"),
                                      QStringLiteral("sine=f=440:d=300"), {QStringLiteral("-b:a"), QStringLiteral("32k")}));
    RecordingPrompts prompts;
    auto window = std::make_unique<MainWindow>();
    window->setUserPrompts(&prompts);
    const QPointer<Media::PeakLoader> loader = window->waveform()->peakLoader();
    const QPointer<Media::ThumbnailProvider> thumbnails = window->timeline()->thumbnailProvider();
    QVERIFY(loader && thumbnails);

    window->loadVideo(longer);
    QCOMPARE(loader->state(), Media::PeakLoader::State::Reading);
    QVERIFY(loader->isWorking() && thumbnails->isWorking());
    window->loadVideo(m_tone);
    QTRY_COMPARE_WITH_TIMEOUT(loader->state(), Media::PeakLoader::State::Ready, 20000);
    // Six seconds of blocks: the tone's, nothing of the five minutes before it.
    QVERIFY2(qAbs(loader->peaks().blockCount() - 1200) <= 10, qPrintable(QString::number(loader->peaks().blockCount())));

    window->loadVideo(longer);
    QVERIFY(loader->isWorking());
    window.reset();
    QVERIFY(loader.isNull());
    QVERIFY(thumbnails.isNull());
}

TRIMLET_TEST_MAIN(TestWaveformStrip)
// A burst of arrivals gives one repaint at once and one after the interval for the rest; a
// request after a quiet interval is served at once again.
void TestWaveformStrip::arrivalsAreRepaintedInFewPaints()
{
    int repaints = 0;
    QObject owner;
    RepaintPacer pacer(kLoadRepaintMs, [&repaints] { ++repaints; }, &owner);
    for (int i = 0; i < 50; ++i)
        pacer.request();
    QCOMPARE(repaints, 1);
    QTRY_COMPARE_WITH_TIMEOUT(repaints, 2, 10000);
    QTest::qWait(3 * kLoadRepaintMs);
    QCOMPARE(repaints, 2);
    pacer.request();
    QCOMPARE(repaints, 3);
}

#include "tst_waveformstrip.moc"
