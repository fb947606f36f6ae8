#include "playbackcopy.h"
#include "testmedia.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// The MP4 copy a Matroska or WebM file is played from: which files need one, what the copy
// holds, and what is played when no copy can be made.
class TestPlaybackCopy : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void neededOnlyForMatroska_data();
    void neededOnlyForMatroska();
    void copyHoldsThePictureAndPlayableSound_data();
    void copyHoldsThePictureAndPlayableSound();
    void unreadableFileIsPlayedItself();
    void programThatCannotStartPlaysTheFileItself();
    void laterCopyReplacesEarlierOnes();

private:
    QString makeMatroska(const QString &name, const QStringList &audio);
    static QString codecs(const QString &path);

    QTemporaryDir dir;
};

void TestPlaybackCopy::initTestCase()
{
    QVERIFY(dir.isValid());
}

QString TestPlaybackCopy::makeMatroska(const QString &name, const QStringList &audio)
{
    const QString path = dir.filePath(name);
    if (!QFileInfo::exists(path)) {
        QStringList args{"-f", "lavfi", "-i", "testsrc2=s=160x120:r=25:d=1"};
        if (!audio.isEmpty())
            args << QStringList{"-f", "lavfi", "-i", "sine=d=1"} << audio;
        args << QStringList{"-c:v", "libx264", "-preset", "ultrafast", path};
        if (!TestMedia::runFFmpeg(args))
            return {};
    }
    return path;
}

QString TestPlaybackCopy::codecs(const QString &path)
{
    return TestMedia::runFFprobe({"-v", "error", "-show_entries", "stream=codec_name", "-of", "csv=p=0", path})
        .simplified();
}

void TestPlaybackCopy::neededOnlyForMatroska_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("needed");
    QTest::newRow("EBML magic") << QByteArray::fromHex("1a45dfa3") + QByteArray(60, 'x') << true;
    QTest::newRow("MP4") << QByteArray::fromHex("0000001866747970") + QByteArray(60, 'x') << false;
    QTest::newRow("shorter than the magic") << QByteArray::fromHex("1a45df") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestPlaybackCopy::neededOnlyForMatroska()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, needed);
    const QString path = dir.filePath(QStringLiteral("magic-%1").arg(QTest::currentDataTag()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    QCOMPARE(PlaybackCopy::isNeeded(path), needed);
    QVERIFY(!PlaybackCopy::isNeeded(dir.filePath("missing.mkv")));
}

void TestPlaybackCopy::copyHoldsThePictureAndPlayableSound_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("audio");
    QTest::addColumn<QString>("expected");
    // Opus goes into MP4 as it is; PCM does not, and the second run encodes it.
    QTest::newRow("opus copied") << "opus.mkv" << QStringList{"-c:a", "libopus"} << "h264 opus";
    QTest::newRow("pcm encoded") << "pcm.mkv" << QStringList{"-c:a", "pcm_s16le"} << "h264 aac";
    QTest::newRow("no sound") << "silent.mkv" << QStringList{} << "h264";
}

void TestPlaybackCopy::copyHoldsThePictureAndPlayableSound()
{
    QFETCH(QString, name);
    QFETCH(QStringList, audio);
    QFETCH(QString, expected);
    const QString source = makeMatroska(name, audio);
    QVERIFY(!source.isEmpty());
    QVERIFY(PlaybackCopy::isNeeded(source));

    PlaybackCopy copy;
    QSignalSpy ready(&copy, &PlaybackCopy::ready);
    copy.start(source, 7);
    QVERIFY(copy.isRunning());
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 30000);
    QVERIFY(!copy.isRunning());
    const QString played = ready.at(0).at(0).toString();
    QCOMPARE(QFileInfo(played).fileName(), QStringLiteral("playback-7.mp4"));
    QVERIFY(played != source);
    QCOMPARE(codecs(played), expected);
    QVERIFY(!PlaybackCopy::isNeeded(played));
}

void TestPlaybackCopy::unreadableFileIsPlayedItself()
{
    const QString broken = dir.filePath("broken.mkv");
    QFile file(broken);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray::fromHex("1a45dfa3") + QByteArray(4096, '\x17'));
    file.close();

    PlaybackCopy copy;
    QSignalSpy ready(&copy, &PlaybackCopy::ready);
    copy.start(broken, 1);
    // Both runs (sound copied, then encoded) fail; the back end gets the file and its error.
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 30000);
    QCOMPARE(ready.at(0).at(0).toString(), broken);
    QVERIFY(!copy.isRunning());
}

// Without ffmpeg no copy can be made, and the file must still be opened rather than wait for
// ever: a program that does not start reports no finish.
void TestPlaybackCopy::programThatCannotStartPlaysTheFileItself()
{
    const QString source = makeMatroska("opus.mkv", {"-c:a", "libopus"});
    QVERIFY(!source.isEmpty());
    PlaybackCopy copy;
    copy.setProgram(dir.filePath("no-such-ffmpeg"));
    QSignalSpy ready(&copy, &PlaybackCopy::ready);
    copy.start(source, 1);
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 10000);
    QCOMPARE(ready.at(0).at(0).toString(), source);
    QVERIFY(!copy.isRunning());
}

// A new load abandons the copy under way (which then reports nothing) and removes the copies
// of earlier loads, so the folder never holds more than the file being played.
void TestPlaybackCopy::laterCopyReplacesEarlierOnes()
{
    const QString first = makeMatroska("opus.mkv", {"-c:a", "libopus"});
    const QString second = makeMatroska("silent.mkv", {});
    QVERIFY(!first.isEmpty() && !second.isEmpty());

    PlaybackCopy copy;
    QSignalSpy ready(&copy, &PlaybackCopy::ready);
    copy.start(first, 1);
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 30000);
    const QString folder = QFileInfo(ready.at(0).at(0).toString()).absolutePath();

    copy.start(first, 2);
    copy.start(second, 3);
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 2, 30000);
    QCOMPARE(QFileInfo(ready.at(1).at(0).toString()).fileName(), QStringLiteral("playback-3.mp4"));
    QCOMPARE(codecs(ready.at(1).at(0).toString()), QStringLiteral("h264"));
    // Whatever the abandoned run had left is gone by the next start; nothing more arrives.
    QTest::qWait(300);
    QCOMPARE(ready.count(), 2);
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"playback-3.mp4"});
}

QTEST_GUILESS_MAIN(TestPlaybackCopy)
#include "tst_playbackcopy.moc"
