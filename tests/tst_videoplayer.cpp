#include "clip.h"
#include "testmain.h"
#include "testmedia.h"
#include "videoplayer.h"

#include <QApplication>
#include <QAudioDevice>
#include <QAudioOutput>
#include <QFile>
#include <QMediaDevices>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QVideoWidget>
#include <QtTest>

#include <memory>

namespace {

// A player wired to a shown video widget, as the main window does it.
struct PlayerRig {
    QVideoWidget widget;
    VideoPlayer player;

    PlayerRig()
    {
        widget.resize(320, 240);
        widget.show();
        player.setVideoOutput(&widget);
    }
};

constexpr int kLoadTimeoutMs = 15000;

} // namespace

class TestVideoPlayer : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();

    void loadReportsDurationAndStreams_data();
    void loadReportsDurationAndStreams();
    void playBeforeReadyIsQueued();
    void failedLoadIsReported_data();
    void failedLoadIsReported();
    void failedLoadDropsQueuedPlay();
    void framesArriveOnGuiThread();
    void volumeMuteAndAudioDevice();
    void playWithoutSourceOnlyLogs();
    void pauseIsNotOverriddenByWatchdog_data();
    void pauseIsNotOverriddenByWatchdog();
    void processingModeFollowsClip_data();
    void processingModeFollowsClip();
    void resultHandlerKeepsLastImage();

private:
    QTemporaryDir dir;
    QString videoWithAudio;
    QString videoOnly;
    QString audioOnly;
    QString corrupt;
};

void TestVideoPlayer::initTestCase()
{
    QVERIFY(dir.isValid());
    videoWithAudio = dir.filePath("with_audio.mp4");
    videoOnly = dir.filePath("video_only.mp4");
    audioOnly = dir.filePath("audio_only.m4a");
    corrupt = dir.filePath("corrupt.mp4");

    TestMedia::VideoOptions options;
    options.seconds = 3;
    QVERIFY(TestMedia::makeVideo(videoWithAudio, options));
    options.withAudio = false;
    QVERIFY(TestMedia::makeVideo(videoOnly, options));
    QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:d=3",
                                  "-c:a", "aac", audioOnly}));

    QFile file(corrupt);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray junk(20000, '\0');
    for (int i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<char>((i * 7919) % 251);
    file.write(junk);
}

void TestVideoPlayer::loadReportsDurationAndStreams_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("hasVideo");

    QTest::newRow("video with audio") << QStringLiteral("with_audio.mp4") << true;
    QTest::newRow("video without audio") << QStringLiteral("video_only.mp4") << true;
    QTest::newRow("audio only") << QStringLiteral("audio_only.m4a") << false;
}

void TestVideoPlayer::loadReportsDurationAndStreams()
{
    QFETCH(QString, file);
    QFETCH(bool, hasVideo);

    PlayerRig rig;
    QSignalSpy lengthSpy(&rig.player, &VideoPlayer::lengthChanged);
    QSignalSpy readySpy(&rig.player, &VideoPlayer::mediaReady);
    QSignalSpy failedSpy(&rig.player, &VideoPlayer::loadFailed);

    rig.player.loadMedia(dir.filePath(file));

    QTRY_VERIFY_WITH_TIMEOUT(!lengthSpy.isEmpty() && lengthSpy.last().at(0).toLongLong() > 0,
                             kLoadTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!readySpy.isEmpty(), kLoadTimeoutMs);
    const qint64 length = lengthSpy.last().at(0).toLongLong();
    QVERIFY2(qAbs(length - 3000) <= 250, qPrintable(QString::number(length)));
    QCOMPARE(rig.player.duration(), length);
    QCOMPARE(rig.player.hasVideoStream(), hasVideo);
    QVERIFY(failedSpy.isEmpty());
    QVERIFY(!rig.player.isPlaying());
}

void TestVideoPlayer::playBeforeReadyIsQueued()
{
    PlayerRig rig;
    QSignalSpy timeSpy(&rig.player, &VideoPlayer::timeChanged);

    rig.player.loadMedia(videoWithAudio);
    const QMediaPlayer::MediaStatus status = rig.player.mediaPlayer()->mediaStatus();
    rig.player.play();

    if (status == QMediaPlayer::LoadingMedia || status == QMediaPlayer::NoMedia) {
        QVERIFY(rig.player.isPendingPlay());
        QVERIFY(!rig.player.isPlaying());
    }
    QTRY_VERIFY_WITH_TIMEOUT(rig.player.isPlaying(), kLoadTimeoutMs);
    QVERIFY(!rig.player.isPendingPlay());
    QTRY_VERIFY_WITH_TIMEOUT(!timeSpy.isEmpty() && rig.player.position() > 0, kLoadTimeoutMs);

    // A reload of the same file reports its duration again instead of being ignored.
    QSignalSpy lengthSpy(&rig.player, &VideoPlayer::lengthChanged);
    rig.player.loadMedia(videoWithAudio);
    QVERIFY(!rig.player.isPendingPlay());
    QTRY_VERIFY_WITH_TIMEOUT(!lengthSpy.isEmpty() && lengthSpy.last().at(0).toLongLong() > 0,
                             kLoadTimeoutMs);
    QVERIFY(!rig.player.isPlaying());
}

void TestVideoPlayer::failedLoadIsReported_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("expectedError");
    QTest::addColumn<bool>("readyExactlyOnce");

    QTest::newRow("missing file") << QStringLiteral("does_not_exist.mp4")
                                  << QStringLiteral("File does not exist") << true;
    // The back end may still move a broken file to "loaded" afterwards, so mediaReady can repeat.
    QTest::newRow("corrupt file") << QStringLiteral("corrupt.mp4") << QString() << false;
}

void TestVideoPlayer::failedLoadIsReported()
{
    QFETCH(QString, file);
    QFETCH(QString, expectedError);
    QFETCH(bool, readyExactlyOnce);

    PlayerRig rig;
    QSignalSpy readySpy(&rig.player, &VideoPlayer::mediaReady);
    QSignalSpy failedSpy(&rig.player, &VideoPlayer::loadFailed);
    rig.player.loadMedia(dir.filePath(file));

    QTRY_VERIFY_WITH_TIMEOUT(!failedSpy.isEmpty(), kLoadTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!readySpy.isEmpty(), kLoadTimeoutMs);
    const QString errorText = failedSpy.first().at(0).toString();
    if (expectedError.isEmpty())
        QVERIFY(!errorText.isEmpty());
    else
        QCOMPARE(errorText, expectedError);

    // Past the after-load check: nothing more may be reported for this load.
    QTest::qWait(400);
    QCOMPARE(failedSpy.count(), 1);
    if (readyExactlyOnce)
        QCOMPARE(readySpy.count(), 1);

    if (!readyExactlyOnce) {
        rig.player.play();
        QVERIFY(!rig.player.isPendingPlay());
        QTest::qWait(300);
        QVERIFY(!rig.player.isPlaying());
    }
}

void TestVideoPlayer::failedLoadDropsQueuedPlay()
{
    PlayerRig rig;
    QSignalSpy readySpy(&rig.player, &VideoPlayer::mediaReady);
    rig.player.loadMedia(videoOnly);
    const QMediaPlayer::MediaStatus status = rig.player.mediaPlayer()->mediaStatus();
    rig.player.play();
    if (status == QMediaPlayer::LoadingMedia || status == QMediaPlayer::NoMedia)
        QVERIFY(rig.player.isPendingPlay());

    rig.player.loadMedia(dir.filePath("does_not_exist.mp4"));
    QVERIFY(!rig.player.isPendingPlay());

    // The earlier file finishes loading but the play asked for it is gone.
    QTRY_VERIFY_WITH_TIMEOUT(rig.player.mediaPlayer()->mediaStatus() == QMediaPlayer::LoadedMedia,
                             kLoadTimeoutMs);
    QTest::qWait(300);
    QVERIFY(!rig.player.isPlaying());
}

void TestVideoPlayer::framesArriveOnGuiThread()
{
    PlayerRig rig;
    int framesSeen = 0;
    int framesOffGuiThread = 0;
    int invalidFrames = 0;
    connect(
        &rig.player, &VideoPlayer::frameReady, this,
        [&](const QVideoFrame &frame) {
            ++framesSeen;
            if (QThread::currentThread() != qApp->thread())
                ++framesOffGuiThread;
            if (!frame.isValid())
                ++invalidFrames;
        },
        Qt::DirectConnection);

    QVERIFY(rig.player.currentFrame().isNull());
    rig.player.loadMedia(videoOnly);
    rig.player.play();
    QTRY_VERIFY_WITH_TIMEOUT(framesSeen >= 5, kLoadTimeoutMs);
    rig.player.pause();

    QCOMPARE(framesOffGuiThread, 0);
    QCOMPARE(invalidFrames, 0);
    QCOMPARE(rig.player.framesReceived(), framesSeen);

    const QImage raw = rig.player.currentFrame();
    QVERIFY(!raw.isNull());
    QCOMPARE(raw.size(), QSize(320, 240));

    // Once a processed image exists it wins over newer raw frames.
    QImage processed(64, 48, QImage::Format_RGB32);
    processed.fill(Qt::red);
    emit rig.player.frameProcessed(processed);
    QTRY_COMPARE(rig.player.currentFrame(), processed);
    rig.player.play();
    const int before = rig.player.framesReceived();
    QTRY_VERIFY_WITH_TIMEOUT(rig.player.framesReceived() > before, kLoadTimeoutMs);
    QCOMPARE(rig.player.currentFrame(), processed);
}

void TestVideoPlayer::volumeMuteAndAudioDevice()
{
    VideoPlayer player;
    QVERIFY(player.audioOutput());
    QCOMPARE(player.audioOutput()->volume(), 0.8f);
    QCOMPARE(player.hasAudioOutput(), !QMediaDevices::audioOutputs().isEmpty());

    player.setVolume(50);
    QCOMPARE(player.audioOutput()->volume(), 0.5f);
    QVERIFY(player.checkBackend());
    QCOMPARE(player.audioOutput()->volume(), 0.5f);
    // Set before the back end is made: it starts with that volume.
    VideoPlayer early;
    early.setVolume(30);
    QCOMPARE(early.audioOutput()->volume(), 0.3f);
    player.setVolume(0);
    QCOMPARE(player.audioOutput()->volume(), 0.0f);

    QVERIFY(!player.isMuted());
    player.setMuted(true);
    QVERIFY(player.isMuted());
    QVERIFY(player.audioOutput()->isMuted());
    player.setMuted(false);
    QVERIFY(!player.isMuted());
}

void TestVideoPlayer::playWithoutSourceOnlyLogs()
{
    PlayerRig rig;
    QSignalSpy readySpy(&rig.player, &VideoPlayer::mediaReady);
    QTest::ignoreMessage(QtDebugMsg, "Play ignored - no media source set on player");
    rig.player.play();
    QVERIFY(!rig.player.isPendingPlay());
    QVERIFY(!rig.player.isPlaying());
    QTest::qWait(300);
    QVERIFY(!rig.player.isPlaying());
    QCOMPARE(rig.player.mediaPlayer()->playbackState(), QMediaPlayer::StoppedState);
    QVERIFY(readySpy.isEmpty());
}

void TestVideoPlayer::pauseIsNotOverriddenByWatchdog_data()
{
    QTest::addColumn<bool>("playFirst");

    QTest::newRow("paused after loading") << false;
    QTest::newRow("paused while playing") << true;
}

void TestVideoPlayer::pauseIsNotOverriddenByWatchdog()
{
    QFETCH(bool, playFirst);

    PlayerRig rig;
    QSignalSpy readySpy(&rig.player, &VideoPlayer::mediaReady);
    rig.player.loadMedia(videoWithAudio);
    if (playFirst) {
        rig.player.play();
        QTRY_VERIFY_WITH_TIMEOUT(rig.player.isPlaying(), kLoadTimeoutMs);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!readySpy.isEmpty(), kLoadTimeoutMs);
    }
    rig.player.pause();
    QVERIFY(rig.player.isPaused());
    QVERIFY(!rig.player.isPendingPlay());

    // Every watchdog started by the load has fired by now.
    QTest::qWait(3600);
    QVERIFY(rig.player.isPaused());
    QVERIFY(!rig.player.isPlaying());
}

void TestVideoPlayer::processingModeFollowsClip_data()
{
    QTest::addColumn<bool>("startEnabled");
    QTest::addColumn<bool>("clipHasEffects");
    QTest::addColumn<int>("expectedEmissions");

    QTest::newRow("clip without effects switches off") << true << false << 1;
    QTest::newRow("clip without effects while off") << false << false << 0;
    QTest::newRow("clip with effects switches on") << false << true << 1;
    QTest::newRow("clip with effects while on") << true << true << 0;
}

void TestVideoPlayer::processingModeFollowsClip()
{
    QFETCH(bool, startEnabled);
    QFETCH(bool, clipHasEffects);
    QFETCH(int, expectedEmissions);

    VideoPlayer player;
    QSignalSpy modeSpy(&player, &VideoPlayer::processingModeChanged);
    QVERIFY(!player.isFrameProcessingEnabled());

    if (startEnabled) {
        player.setFrameProcessingEnabled(true);
        player.setFrameProcessingEnabled(true);
        QCOMPARE(modeSpy.count(), 1);
        QCOMPARE(modeSpy.first().at(0).toBool(), true);
        modeSpy.clear();
    }

    Clip clip;
    clip.name = QStringLiteral("Part 2");
    clip.hasEffects = clipHasEffects;
    clip.blurIntensity = clipHasEffects ? 7 : 0;
    clip.titleText = QStringLiteral("Hello");
    player.updateClipEffects(clip);

    QCOMPARE(modeSpy.count(), expectedEmissions);
    if (expectedEmissions > 0)
        QCOMPARE(modeSpy.first().at(0).toBool(), clipHasEffects);
    QCOMPARE(player.isFrameProcessingEnabled(), clipHasEffects);
    QCOMPARE(player.clipForEffects(), clip);
}

void TestVideoPlayer::resultHandlerKeepsLastImage()
{
    VideoPlayer player;
    QCOMPARE(player.pendingRequestCount(), 0);

    QImage first(32, 24, QImage::Format_RGB32);
    first.fill(Qt::blue);
    emit player.frameProcessed(first);
    // The handler is queued: nothing changes until the event loop runs.
    QVERIFY(player.currentFrame().isNull());
    QTRY_COMPARE(player.currentFrame(), first);
    QCOMPARE(player.pendingRequestCount(), 0);

    emit player.frameProcessed(QImage());
    emit player.frameProcessed(QImage());
    QCoreApplication::processEvents();
    QCOMPARE(player.currentFrame(), first);
    QCOMPARE(player.pendingRequestCount(), 0);
}

TRIMLET_TEST_MAIN(TestVideoPlayer)

#include "tst_videoplayer.moc"
