#include "audiopeaks.h"
#include "framecounter.h"
#include "peakloader.h"
#include "thumbnaildecoder.h"
#include "thumbnailprovider.h"
#include "testmedia.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <random>

using namespace Media;

namespace {

// One second of tone (at 0.75, lavfi's sine being 1/8), one of silence, three times: loud
// from 0-1, 2-3, 4-5 s.
const QString kTonePattern = QStringLiteral(
    "sine=f=440:sample_rate=48000:d=6,volume='if(lt(mod(t,2),1),6,0)':eval=frame");

bool makeToneVideo(const QString &path, const QString &channelLayout)
{
    return TestMedia::makeSoundVideo(path, QStringLiteral("testsrc2=s=160x90:r=25:d=6"), kTonePattern,
                                     {QStringLiteral("-af"), QStringLiteral("aformat=channel_layouts=") + channelLayout});
}

std::vector<Peak> decodeAll(const QString &path, PeakDecodeStatus *status, PeakSource *source = nullptr)
{
    std::vector<Peak> all;
    *status = decodeAudioPeaks(path, nullptr, [&all](std::vector<Peak> &&run) {
        all.insert(all.end(), run.begin(), run.end());
    }, source);
    return all;
}

Peak bruteForce(const std::vector<Peak> &blocks, qint64 first, qint64 last)
{
    Peak out{127, -127, 0};
    double squares = 0;
    for (qint64 i = first; i < last; ++i) {
        out.min = std::min(out.min, blocks[size_t(i)].min);
        out.max = std::max(out.max, blocks[size_t(i)].max);
        squares += double(blocks[size_t(i)].rms) * blocks[size_t(i)].rms;
    }
    out.rms = quint8(std::lround(std::sqrt(squares / double(last - first))));
    return out;
}

bool loud(const Peak &peak)
{
    return peak.max > 60 && peak.min < -60;
}

bool sourceSecondLoud(qint64 ms)
{
    return (ms / 1000) % 2 == 0;
}

bool silent(const Peak &peak)
{
    return peak.max <= 1 && peak.min >= -1;
}

QColor colourOf(const QImage &image)
{
    return QColor(image.pixel(image.width() / 2, image.height() / 2));
}

bool near(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) < 40 && qAbs(a.green() - b.green()) < 40 && qAbs(a.blue() - b.blue()) < 40;
}

} // namespace

class TestAudioPeaks : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void levelsAgreeWithTheBlocks();
    void toneAndSilenceAtTheirTimes_data();
    void toneAndSilenceAtTheirTimes();
    void previewSnippetsFollowTheSound();
    void soundShorterThanPicture();
    void fileWithoutSound();
    void cacheIsReusedAndDamageRejected();
    void reloadAndClearStopTheWork();
    void thumbnailsShowTheirSecondsColour();
    void providerDeliversRequestedThumbnails();
    void thumbnailsAreTurnedAndShapedAsShown_data();
    void thumbnailsAreTurnedAndShapedAsShown();
    void keyFramesFoundAndShownWithoutAnIndex();
    void framesAtTheirTimeInLongGroups_data();
    void framesAtTheirTimeInLongGroups();
    void framesDuringTheirSpan_data();
    void framesDuringTheirSpan();
    void providerKeepsSpansApart();

private:
    QTemporaryDir m_dir;
    QString m_stereo;
    QString m_colours;
};

void TestAudioPeaks::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_stereo = m_dir.filePath(QStringLiteral("stereo.mp4"));
    QVERIFY(makeToneVideo(m_stereo, QStringLiteral("stereo")));
    m_colours = m_dir.filePath(QStringLiteral("colours.mp4"));
    QVERIFY(TestMedia::makeColourSecondsVideo(m_colours));
}

// Every entry of a level sums its two children; any range read through the levels equals
// the blocks read one by one, whether appended at once or in uneven runs.
void TestAudioPeaks::levelsAgreeWithTheBlocks()
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> amplitude(0, 127);
    std::vector<Peak> blocks(5000);
    for (Peak &peak : blocks) {
        const int high = amplitude(random);
        peak = Peak{qint8(-amplitude(random)), qint8(high), quint8(high)};
    }
    PeakPyramid whole;
    whole.append(blocks.data(), qint64(blocks.size()));
    PeakPyramid grown;
    for (size_t at = 0, run = 1; at < blocks.size(); at += run, run = run * 3 % 997 + 1)
        grown.append(blocks.data() + at, qint64(std::min(run, blocks.size() - at)));

    QCOMPARE(whole.blockCount(), qint64(5000));
    QCOMPARE(whole.levelCount(), 14); // 5000, 2500, ..., 1
    QCOMPARE(whole.level(whole.levelCount() - 1).size(), size_t(1));
    for (int level = 0; level < whole.levelCount(); ++level)
        QVERIFY2(whole.level(level) == grown.level(level), qPrintable(QString::number(level)));
    for (int level = 1; level < whole.levelCount(); ++level) {
        const std::vector<Peak> &below = whole.level(level - 1);
        const std::vector<Peak> &above = whole.level(level);
        for (size_t i = 0; i < above.size(); ++i) {
            const Peak expected = 2 * i + 1 < below.size() ? PeakPyramid::merge(below[2 * i], below[2 * i + 1])
                                                           : below[2 * i];
            QVERIFY(above[i] == expected);
        }
    }
    std::uniform_int_distribution<qint64> position(0, 5000);
    for (int round = 0; round < 500; ++round) {
        qint64 first = position(random);
        qint64 last = position(random);
        if (first > last)
            std::swap(first, last);
        Peak read;
        QCOMPARE(whole.range(first, last, read), first < last);
        if (first == last)
            continue;
        const Peak expected = bruteForce(blocks, first, last);
        QCOMPARE(read.min, expected.min);
        QCOMPARE(read.max, expected.max);
        QVERIFY(qAbs(int(read.rms) - int(expected.rms)) <= 2);
    }
    Peak beyond;
    QVERIFY(!whole.range(5000, 6000, beyond));
    QVERIFY(whole.range(4990, 6000, beyond));
}

void TestAudioPeaks::toneAndSilenceAtTheirTimes_data()
{
    QTest::addColumn<QString>("layout");
    QTest::newRow("mono") << QStringLiteral("mono");
    QTest::newRow("stereo") << QStringLiteral("stereo");
    QTest::newRow("5.1") << QStringLiteral("5.1");
}

// Loud and silent in the right places, read as single blocks and as the wide ranges a
// zoomed-out strip reads.
void TestAudioPeaks::toneAndSilenceAtTheirTimes()
{
    QFETCH(QString, layout);
    QString path = m_stereo;
    if (layout != QStringLiteral("stereo")) {
        path = m_dir.filePath(layout + QStringLiteral(".mp4"));
        QVERIFY(makeToneVideo(path, layout));
    }
    PeakDecodeStatus status;
    PeakSource source;
    const std::vector<Peak> blocks = decodeAll(path, &status, &source);
    QCOMPARE(status, PeakDecodeStatus::Complete);
    QVERIFY(source.hasAudio);
    QCOMPARE(source.sampleRate, 48000);
    QCOMPARE(source.channels, layout == QStringLiteral("5.1") ? 6 : layout == QStringLiteral("mono") ? 1 : 2);
    QVERIFY2(qAbs(qint64(blocks.size()) - 1200) <= 10, qPrintable(QString::number(blocks.size())));

    PeakPyramid peaks;
    peaks.append(blocks.data(), qint64(blocks.size()));
    for (const qint64 span : {1, 8, 64}) {
        for (int second = 0; second < 6; ++second) {
            // The middle of each second, away from the edges the encoder smears.
            const qint64 centre = peakBlockAt(second * 1000 + 500);
            Peak read;
            QVERIFY(peaks.range(centre - span / 2, centre + (span + 1) / 2, read));
            if (second % 2 == 0)
                QVERIFY2(loud(read), qPrintable(QStringLiteral("%1 s, span %2: %3").arg(second).arg(span).arg(read.max)));
            else
                QVERIFY2(silent(read), qPrintable(QStringLiteral("%1 s, span %2: %3").arg(second).arg(span).arg(read.max)));
        }
    }
    Peak everything;
    QVERIFY(peaks.range(0, peaks.blockCount(), everything));
    QVERIFY(loud(everything));
    QVERIFY(everything.rms > 40 && everything.rms < 200);
}

// The rough pass spreads its snippets evenly and hears what is there; the exact pass that
// follows it gives the same blocks as without it. Sound too short for the spacing gets none.
void TestAudioPeaks::previewSnippetsFollowTheSound()
{
    PeakDecodeStatus plainStatus;
    const std::vector<Peak> plain = decodeAll(m_stereo, &plainStatus);
    for (const int count : {12, 100}) {
        std::vector<Peak> blocks;
        std::vector<TimedPeak> snippets;
        int previews = 0;
        const PeakDecodeStatus status = decodeAudioPeaks(
            m_stereo, nullptr, [&blocks](std::vector<Peak> &&run) { blocks.insert(blocks.end(), run.begin(), run.end()); },
            nullptr, [&](std::vector<TimedPeak> &&preview) {
                QVERIFY(blocks.empty());
                snippets = preview;
                ++previews;
            }, count);
        QCOMPARE(status, PeakDecodeStatus::Complete);
        QVERIFY(blocks == plain);
        if (count == 100) {
            QCOMPARE(previews, 0); // 6 s cannot space 100 snippets 300 ms apart
            continue;
        }
        QCOMPARE(previews, 1);
        QCOMPARE(int(snippets.size()), 12);
        for (int k = 0; k < 12; ++k) {
            const qint64 target = 250 + 500 * k;
            const TimedPeak &snippet = snippets[size_t(k)];
            QVERIFY2(qAbs(snippet.ms - target) < 60, qPrintable(QString::number(snippet.ms)));
            const QString where = QStringLiteral("%1 ms: %2").arg(snippet.ms).arg(snippet.peak.max);
            if (sourceSecondLoud(target))
                QVERIFY2(loud(snippet.peak), qPrintable(where));
            else
                QVERIFY2(silent(snippet.peak), qPrintable(where));
        }
    }
}

void TestAudioPeaks::soundShorterThanPicture()
{
    const QString path = m_dir.filePath(QStringLiteral("short-sound.mp4"));
    QVERIFY(TestMedia::makeSoundVideo(path, QStringLiteral("testsrc2=s=160x90:r=25:d=5"),
                                      QStringLiteral("sine=f=300:sample_rate=44100:d=2,volume=6")));
    PeakDecodeStatus status;
    PeakSource source;
    const std::vector<Peak> blocks = decodeAll(path, &status, &source);
    QCOMPARE(status, PeakDecodeStatus::Complete);
    QCOMPARE(source.sampleRate, 44100);
    QVERIFY2(qAbs(qint64(blocks.size()) - 400) <= 10, qPrintable(QString::number(blocks.size())));
    QVERIFY(blocks[200].max > 60);
}

void TestAudioPeaks::fileWithoutSound()
{
    const QString path = m_dir.filePath(QStringLiteral("silent-film.mp4"));
    TestMedia::VideoOptions options;
    options.withAudio = false;
    QVERIFY(TestMedia::makeVideo(path, options));
    PeakDecodeStatus status;
    QVERIFY(decodeAll(path, &status).empty());
    QCOMPARE(status, PeakDecodeStatus::NoAudio);

    QTemporaryDir cache;
    PeakLoader loader;
    loader.setCacheDirectory(cache.path());
    loader.load(path);
    QTRY_COMPARE(loader.state(), PeakLoader::State::NoAudio);
    QCOMPARE(loader.peaks().blockCount(), qint64(0));

    PeakDecodeStatus missing;
    decodeAll(m_dir.filePath(QStringLiteral("absent.mp4")), &missing);
    QCOMPARE(missing, PeakDecodeStatus::Failed);
}

// The second load reads the cache; a cache file cut short, with a byte changed in its
// peaks or in its header, or older than its source, is not trusted but made anew.
void TestAudioPeaks::cacheIsReusedAndDamageRejected()
{
    QTemporaryDir cache;
    const QString source = m_dir.filePath(QStringLiteral("cached.mp4"));
    QVERIFY(QFile::copy(m_stereo, source));
    const QString cacheFile = peakCacheFilePath(cache.path(), source);

    // Empty when the load did not end Ready, or came from the cache when it should not have.
    auto loadOnce = [&](bool expectFromCache) {
        PeakLoader loader;
        loader.setCacheDirectory(cache.path());
        loader.load(source);
        const bool ready = QTest::qWaitFor([&loader] { return loader.state() == PeakLoader::State::Ready; }, 20000);
        if (!ready || loader.fromCache() != expectFromCache)
            return std::vector<Peak>{};
        return loader.peaks().level(0);
    };
    const std::vector<Peak> decoded = loadOnce(false);
    QVERIFY(decoded.size() > 1000);
    QVERIFY(QFileInfo::exists(cacheFile));
    QVERIFY(loadOnce(true) == decoded);

    auto damage = [&](auto change) {
        QFile file(cacheFile);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray bytes = file.readAll();
        change(bytes);
        file.resize(0);
        file.seek(0);
        file.write(bytes);
    };
    damage([](QByteArray &bytes) { bytes.chop(3); });
    QVERIFY(!readPeakCache(cache.path(), source));
    QVERIFY(loadOnce(false) == decoded);
    QVERIFY(loadOnce(true) == decoded);

    damage([](QByteArray &bytes) { bytes[bytes.size() - 100] = char(bytes[bytes.size() - 100] ^ 0x55); });
    QVERIFY(!readPeakCache(cache.path(), source));
    QVERIFY(loadOnce(false) == decoded);

    damage([](QByteArray &bytes) { bytes[0] = 'X'; });
    QVERIFY(!readPeakCache(cache.path(), source));
    QVERIFY(loadOnce(false) == decoded);

    damage([](QByteArray &bytes) { bytes = QByteArray(10, '\0'); });
    QVERIFY(!readPeakCache(cache.path(), source));
    QVERIFY(loadOnce(false) == decoded);

    // Beyond its budget the folder loses its oldest files first.
    const QString older = cache.filePath(QStringLiteral("older.peaks"));
    QFile olderFile(older);
    QVERIFY(olderFile.open(QIODevice::WriteOnly));
    olderFile.write(QByteArray(4096, 'x'));
    QVERIFY(olderFile.flush());
    QVERIFY(olderFile.setFileTime(QDateTime::currentDateTime().addDays(-3), QFileDevice::FileModificationTime));
    olderFile.close();
    const qint64 current = QFileInfo(cacheFile).size();
    prunePeakCache(cache.path(), current + 4096);
    QVERIFY(QFileInfo::exists(older));
    prunePeakCache(cache.path(), current + 100);
    QVERIFY(!QFileInfo::exists(older));
    QVERIFY(QFileInfo::exists(cacheFile));
    prunePeakCache(cache.path(), 0);
    QVERIFY(!QFileInfo::exists(cacheFile));
    QVERIFY(loadOnce(false) == decoded);

    // Same length, new time: the source changed since.
    QFile touched(source);
    QVERIFY(touched.open(QIODevice::ReadWrite));
    QVERIFY(touched.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
    touched.close();
    QVERIFY(!readPeakCache(cache.path(), source));
    QVERIFY(loadOnce(false) == decoded);
    QVERIFY(loadOnce(true) == decoded);
}

// Loading another file or clearing ends the running work at once; nothing of the old file
// arrives afterwards, and no thread is left.
void TestAudioPeaks::reloadAndClearStopTheWork()
{
    const QString longer = m_dir.filePath(QStringLiteral("longer.mp4"));
    QVERIFY(TestMedia::makeSoundVideo(longer, QStringLiteral("color=black:s=64x36:r=1:d=600"),
                                      QStringLiteral("sine=f=440:sample_rate=48000:d=600"),
                                      {QStringLiteral("-b:a"), QStringLiteral("32k")}));
    QTemporaryDir cache;
    {
        PeakLoader loader;
        loader.setCacheDirectory(cache.path());
        loader.load(longer);
        QVERIFY(loader.isWorking());
        QTRY_VERIFY(loader.peaks().blockCount() > 0);
        loader.load(m_stereo);
        QCOMPARE(loader.state(), PeakLoader::State::Reading);
        QTRY_COMPARE(loader.state(), PeakLoader::State::Ready);
        QVERIFY(qAbs(loader.peaks().blockCount() - 1200) <= 10);
        QVERIFY(!loader.isWorking());

        loader.load(longer);
        loader.clear();
        QVERIFY(!loader.isWorking());
        QCOMPARE(loader.state(), PeakLoader::State::Empty);
        QTest::qWait(50);
        QCOMPARE(loader.peaks().blockCount(), qint64(0));
        loader.load(longer);
    } // destroyed while decoding
    QVERIFY(!QFileInfo::exists(peakCacheFilePath(cache.path(), longer)));

    ThumbnailProvider provider;
    provider.setSource(longer);
    QVERIFY(provider.isWorking());
    provider.request({1000, 2000, 3000}, 20);
    provider.setSource(m_colours);
    QCOMPARE(provider.thumbnail(1000), QImage());
    provider.clear();
    QVERIFY(!provider.isWorking());
}

void TestAudioPeaks::thumbnailsShowTheirSecondsColour()
{
    ThumbnailDecoder decoder(m_colours);
    QVERIFY(decoder.isOpen());
    QVERIFY(qAbs(decoder.displayAspectRatio() - 16.0 / 9.0) < 0.01);
    const QList<QPair<qint64, QColor>> expected{
        {0, Qt::red}, {999, Qt::red}, {1000, Qt::green}, {1500, Qt::green},
        {2999, Qt::blue}, {3500, Qt::yellow}, {60000, Qt::yellow}, {1200, Qt::green}};
    for (const auto &[time, colour] : expected) {
        // Every other picture comes from a decoder let go while idle and opened again.
        if (time % 2 == 0)
            decoder.releaseDecoder();
        const ThumbnailDecoder::Picture picture = decoder.pictureAt(time, 36);
        QVERIFY2(!picture.image.isNull(), qPrintable(QString::number(time)));
        QCOMPARE(picture.image.height(), 36);
        QCOMPARE(picture.image.width(), 64);
        // The frame on screen at the time (25 per second); past the end, the last one.
        QCOMPARE(picture.frameMs, qMin<qint64>(3960, time / 40 * 40));
        QVERIFY2(near(colourOf(picture.image), colour),
                 qPrintable(QStringLiteral("%1 ms: %2").arg(time).arg(colourOf(picture.image).name())));
    }
    QVERIFY(!ThumbnailDecoder(m_dir.filePath(QStringLiteral("absent.mp4"))).isOpen());
}

void TestAudioPeaks::providerDeliversRequestedThumbnails()
{
    ThumbnailProvider provider;
    provider.setSource(m_colours);
    QSignalSpy ready(&provider, &ThumbnailProvider::thumbnailsReady);
    provider.request({2500, 500}, 24);
    QTRY_VERIFY(!provider.thumbnail(500).isNull() && !provider.thumbnail(2500).isNull());
    QVERIFY(near(colourOf(provider.thumbnail(500)), Qt::red));
    QVERIFY(near(colourOf(provider.thumbnail(2500)), Qt::blue));
    QCOMPARE(provider.thumbnail(2500).height(), 24);
    QVERIFY(provider.thumbnail(1500).isNull());
    QVERIFY(ready.count() >= 2);
    // Another height makes the old pictures useless.
    provider.request({1500}, 30);
    QVERIFY(provider.thumbnail(500).isNull());
    QTRY_VERIFY(!provider.thumbnail(1500).isNull());
    QCOMPARE(provider.thumbnail(1500).height(), 30);
    QVERIFY(near(colourOf(provider.thumbnail(1500)), Qt::green));
}

// Left half red, right half blue, so a turn shows where each side went.
void TestAudioPeaks::thumbnailsAreTurnedAndShapedAsShown_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("encode"); // empty: the plain file, remuxed with `remux`
    QTest::addColumn<QStringList>("remux");
    QTest::addColumn<double>("aspect");
    QTest::addColumn<QColor>("topLeft");
    QTest::addColumn<QColor>("bottomRight");
    const QColor red(Qt::red), blue(Qt::blue);
    // As ffmpeg turns a "rotate" of 90: a quarter turn counter-clockwise, the right side on top.
    QTest::newRow("rotate 90") << "r90.mp4" << QStringList{} << QStringList{"-metadata:s:v:0", "rotate=90"}
                               << 180.0 / 320 << blue << red;
    QTest::newRow("rotate 180") << "r180.mp4" << QStringList{} << QStringList{"-metadata:s:v:0", "rotate=180"}
                                << 320.0 / 180 << blue << red;
    QTest::newRow("rotate 270") << "r270.mp4" << QStringList{} << QStringList{"-metadata:s:v:0", "rotate=270"}
                                << 180.0 / 320 << red << blue;
    QTest::newRow("pixels twice as wide") << "sar2.mp4" << QStringList{"-vf", "setsar=2"} << QStringList{}
                                          << 640.0 / 180 << red << blue;
    QTest::newRow("576 lines at 4:3") << "pal.mp4" << QStringList{"-vf", "scale=720:576,setsar=16/15"}
                                      << QStringList{} << 4.0 / 3 << red << blue;
    QTest::newRow("container aspect") << "wide.mkv" << QStringList{} << QStringList{"-aspect", "2:1"}
                                      << 2.0 << red << blue;
}

void TestAudioPeaks::thumbnailsAreTurnedAndShapedAsShown()
{
    QFETCH(QString, name);
    QFETCH(QStringList, encode);
    QFETCH(QStringList, remux);
    QFETCH(double, aspect);
    QFETCH(QColor, topLeft);
    QFETCH(QColor, bottomRight);
    const QString plain = m_dir.filePath(QStringLiteral("halves.mp4"));
    const QStringList halves{"-f", "lavfi", "-i",
                             "color=red:s=160x180:d=1[l];color=blue:s=160x180:d=1[r];[l][r]hstack,format=yuv420p"};
    if (!QFileInfo::exists(plain))
        QVERIFY(TestMedia::runFFmpeg(halves + QStringList{"-c:v", "libx264", plain}));
    const QString path = m_dir.filePath(name);
    QVERIFY(encode.isEmpty() ? TestMedia::runFFmpeg(QStringList{"-i", plain, "-c", "copy"} + remux + QStringList{path})
                             : TestMedia::runFFmpeg(halves + encode + QStringList{"-c:v", "libx264", path}));

    ThumbnailDecoder decoder(path);
    QVERIFY(qAbs(decoder.displayAspectRatio() - aspect) < 0.01);
    const QImage image = decoder.pictureAt(500, 40).image;
    QCOMPARE(image.height(), 40);
    QCOMPARE(image.width(), int(std::lround(40 * aspect)));
    const QColor first = image.pixelColor(2, 2);
    const QColor last = image.pixelColor(image.width() - 3, image.height() - 3);
    QVERIFY2(near(first, topLeft) && near(last, bottomRight), qPrintable(first.name() + ' ' + last.name()));
}

// Streams without an index, where a seek lands near the time and reading on meets the key
// frame after it; and a stream refreshed by intra slices, whose key frames after the first
// are recovery points that give a picture only with the packets after them (from one too
// near the time, none yet).
void TestAudioPeaks::keyFramesFoundAndShownWithoutAnIndex()
{
    const QString transport = m_dir.filePath(QStringLiteral("colours.ts"));
    QVERIFY(TestMedia::runFFmpeg({"-i", m_colours, "-c", "copy", transport}));
    ThumbnailDecoder decoder(transport);
    const QList<QColor> seconds{Qt::red, Qt::green, Qt::blue, Qt::yellow};
    for (qint64 time : {3500, 200, 1500, 2999, 1000}) {
        const ThumbnailDecoder::Picture picture = decoder.pictureAt(time, 36);
        QCOMPARE(picture.frameMs, time / 40 * 40);
        QVERIFY2(near(colourOf(picture.image), seconds.at(int(time / 1000))), qPrintable(QString::number(time)));
    }

    const QString refreshed = m_dir.filePath(QStringLiteral("refreshed.mp4"));
    QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x180:r=25:d=4", "-c:v", "libx264",
                                  "-x264-params", "intra-refresh=1:keyint=25", refreshed}));
    ThumbnailDecoder refreshing(refreshed);
    for (qint64 time : {0, 1500, 2500, 3900}) {
        const ThumbnailDecoder::Picture picture = refreshing.pictureAt(time, 36);
        QVERIFY2(!picture.image.isNull(), qPrintable(QString::number(time)));
        QCOMPARE(picture.frameMs, time / 40 * 40);
    }
}

namespace {

QString counterVideo(const QTemporaryDir &dir, const QString &container)
{
    const QString mp4 = dir.filePath(QStringLiteral("counter.mp4"));
    if (!QFileInfo::exists(mp4)
        && !TestMedia::runFFmpeg({"-f", "lavfi", "-i", FrameCounter::pictureSource(160, 90, 25, 20), "-c:v", "libx264",
                                  "-preset", "veryfast", "-x264-params", "keyint=250:min-keyint=250:scenecut=0",
                                  "-pix_fmt", "yuv420p", mp4}))
        return {};
    if (container != "ts")
        return mp4;
    const QString ts = dir.filePath(QStringLiteral("counter.ts"));
    return QFileInfo::exists(ts) || TestMedia::runFFmpeg({"-i", mp4, "-c", "copy", ts}) ? ts : QString();
}

} // namespace

void TestAudioPeaks::framesAtTheirTimeInLongGroups_data()
{
    QTest::addColumn<QString>("container");
    QTest::newRow("MP4, with an index") << "mp4";
    QTest::newRow("MPEG-TS, without") << "ts";
}

// Twenty seconds at 25 frames a second with B-frames, a key frame every ten seconds: each time
// gives the frame on screen then, asked in any order, deep in a group, across a key frame and
// past the end. A decode stopped because the time is no longer wanted leaves the decoder where
// it was, and a later time in the same group carries on from there.
void TestAudioPeaks::framesAtTheirTimeInLongGroups()
{
    QFETCH(QString, container);
    const QString path = counterVideo(m_dir, container);
    QVERIFY(!path.isEmpty());
    ThumbnailDecoder decoder(path);
    QVERIFY(decoder.isOpen());
    const auto check = [&decoder](qint64 time, int frame) {
        const ThumbnailDecoder::Picture picture = decoder.pictureAt(time, 36);
        const int seen = picture.image.isNull() ? -2 : FrameCounter::read(picture.image, picture.image.rect());
        return seen == frame && picture.frameMs == frame * 40
            ? QString()
            : QStringLiteral("%1 ms: frame %2 at %3 ms, not %4").arg(time).arg(seen).arg(picture.frameMs).arg(frame);
    };
    QStringList wrong;
    const QList<QPair<qint64, int>> expected{{9990, 249}, {200, 5},     {7000, 175},  {7040, 176}, {7079, 176},
                                             {10000, 250}, {10039, 250}, {3000, 75},   {19990, 499},
                                             {60000, 499}, {9999, 249},  {0, 0},       {12345, 308}};
    for (const auto &[time, frame] : expected) {
        if (const QString fault = check(time, frame); !fault.isEmpty())
            wrong << fault;
    }
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QStringLiteral("; "))));

    QVERIFY(decoder.pictureAt(15000, 36, [] { return false; }).image.isNull());
    QCOMPARE(check(14000, 350), QString());
    if (container == "mp4") {
        QVERIFY(decoder.continuesTo(15000));
        QVERIFY(!decoder.continuesTo(13000));
        QVERIFY(!decoder.continuesTo(9000));
    }
    QCOMPARE(check(15000, 375), QString());
}

void TestAudioPeaks::framesDuringTheirSpan_data()
{
    framesAtTheirTimeInLongGroups_data();
}

// The same twenty seconds, a key frame at 0 and 10 s: a span holding the key frame at 10 s is
// shown by that key frame; a span holding none by the frame at its start, even where a key
// frame's picture made for a wider span starting at the same time is kept.
void TestAudioPeaks::framesDuringTheirSpan()
{
    QFETCH(QString, container);
    const QString path = counterVideo(m_dir, container);
    QVERIFY(!path.isEmpty());
    ThumbnailDecoder decoder(path);
    QVERIFY(decoder.isOpen());
    // Frames at 25 a second: frame n on screen from n * 40 ms.
    const auto check = [&decoder](qint64 time, qint64 span, int first, int last) {
        const ThumbnailDecoder::Picture picture = decoder.pictureDuring(time, span, 36);
        const int seen = picture.image.isNull() ? -2 : FrameCounter::read(picture.image, picture.image.rect());
        const bool right = seen >= first && seen <= last && picture.frameMs == seen * 40
            && picture.atTime == (seen * 40 <= time);
        return right ? QString()
                     : QStringLiteral("%1+%2 ms: frame %3 at %4 ms, not %5-%6")
                           .arg(time).arg(span).arg(seen).arg(picture.frameMs).arg(first).arg(last);
    };
    QStringList wrong;
    const QList<std::tuple<qint64, qint64, int, int>> expected{
        {5000, 6000, 250, 250}, // the key frame, decoded alone
        {5000, 1000, 125, 125}, {9000, 900, 225, 225}, {10041, 30, 251, 251}, {9990, 5, 249, 249},
        {9990, 20, 249, 250},   {12000, 40, 300, 300}, {19990, 5000, 499, 499}, {3000, 12000, 75, 374},
        {0, 50, 0, 1}};
    for (const auto &[time, span, first, last] : expected) {
        if (const QString fault = check(time, span, first, last); !fault.isEmpty())
            wrong << fault;
    }
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QStringLiteral("; "))));

    // Key frames that give no picture alone (recovery points of an intra refresh).
    const QString refreshed = m_dir.filePath(QStringLiteral("refreshed-counter.mp4"));
    QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", FrameCounter::pictureSource(160, 90, 25, 4), "-c:v", "libx264",
                                  "-x264-params", "intra-refresh=1:keyint=25", "-pix_fmt", "yuv420p", refreshed}));
    ThumbnailDecoder refreshing(refreshed);
    for (const qint64 time : {1500, 500, 2900}) {
        const ThumbnailDecoder::Picture picture = refreshing.pictureDuring(time, 800, 36);
        const int seen = picture.image.isNull() ? -2 : FrameCounter::read(picture.image, picture.image.rect());
        QVERIFY2(seen >= time / 40 && seen <= (time + 799) / 40,
                 qPrintable(QStringLiteral("%1 ms: frame %2").arg(time).arg(seen)));
    }
}

// A picture made for a wide span answers a narrower span at the same time only when its frame
// lies inside it.
void TestAudioPeaks::providerKeepsSpansApart()
{
    const QString path = counterVideo(m_dir, QStringLiteral("mp4"));
    QVERIFY(!path.isEmpty());
    ThumbnailProvider provider;
    provider.setSource(path);
    const auto frameOf = [&provider](const ThumbnailProvider::Tile &tile) {
        const QImage image = provider.thumbnail(tile);
        return image.isNull() ? -2 : FrameCounter::read(image, image.rect());
    };
    const ThumbnailProvider::Tile wide{8000, 4000};
    provider.requestTiles({wide}, 36);
    QTRY_VERIFY(!provider.thumbnail(wide).isNull());
    const int wideFrame = frameOf(wide);
    QVERIFY2(wideFrame >= 200 && wideFrame < 300, qPrintable(QString::number(wideFrame)));

    const ThumbnailProvider::Tile narrow{8000, 1000};
    QVERIFY(frameOf(narrow) == -2 || frameOf(narrow) == 200);
    QVERIFY(provider.thumbnail(8000).isNull() || frameOf(ThumbnailProvider::Tile{8000, 1}) == 200);
    provider.requestTiles({narrow}, 36);
    QTRY_VERIFY(!provider.thumbnail(narrow).isNull());
    QCOMPARE(frameOf(narrow), 200);
    QCOMPARE(frameOf(ThumbnailProvider::Tile{8000, 1}), 200);
    QCOMPARE(frameOf(wide), 200);
}

QTEST_GUILESS_MAIN(TestAudioPeaks)
#include "tst_audiopeaks.moc"
