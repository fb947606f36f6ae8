#include "frameprocessingworker.h"
#include "testmain.h"
#include "testmedia.h"
#include "videoplayer.h"

#include <QApplication>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QVideoWidget>
#include <QtTest>

#include <atomic>

namespace {

QVideoFrame grayFrame(int width, int height)
{
    QVideoFrame frame(QVideoFrameFormat(QSize(width, height), QVideoFrameFormat::Format_YUV420P));
    frame.map(QVideoFrame::WriteOnly);
    for (int p = 0; p < 3; ++p)
        memset(frame.bits(p), p == 0 ? 100 : 128, frame.mappedBytes(p));
    frame.unmap();
    return frame;
}

Clip effectsClip()
{
    Clip clip;
    clip.originalStart = 0;
    clip.originalEnd = 10000;
    clip.endTime = 10000;
    clip.brightness = 100;
    clip.hasEffects = true;
    return clip;
}

// Cuts the player off from its worker, so no request is ever answered.
void silenceWorker(VideoPlayer &player)
{
    QObject::disconnect(&player, &VideoPlayer::processFrameRequested, player.frameWorker(),
                        &FrameProcessingWorker::enqueueFrame);
}

} // namespace

class TestEffectsPath : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        video = dir.filePath("clip.mp4");
        TestMedia::VideoOptions options;
        options.seconds = 4;
        options.width = 1280;
        options.height = 720;
        options.withAudio = false;
        QVERIFY(TestMedia::makeVideo(video, options));
    }

    void workerRunsOnItsOwnThread()
    {
        VideoPlayer player;
        QVERIFY(player.frameWorker());
        QVERIFY(player.frameWorkerThread()->isRunning());
        QCOMPARE(player.frameWorker()->thread(), player.frameWorkerThread());
        QCOMPARE(player.frameWorkerThread()->priority(), QThread::HighPriority);
        QVERIFY(QMetaType::fromName("FrameProcessingWorker::Request").isValid());
    }

    void atMostTwoRequestsInFlight_data()
    {
        QTest::addColumn<bool>("processing");
        QTest::addColumn<int>("expected");
        QTest::newRow("processing on") << true << 2;
        QTest::newRow("processing off") << false << 0;
    }

    void atMostTwoRequestsInFlight()
    {
        QFETCH(bool, processing);
        QFETCH(int, expected);
        VideoPlayer player;
        silenceWorker(player);
        player.setFrameProcessingEnabled(processing);
        QSignalSpy requests(&player, &VideoPlayer::processFrameRequested);
        QSignalSpy raw(&player, &VideoPlayer::frameReady);
        const QVideoFrame frame = grayFrame(64, 36);
        for (int i = 0; i < 5; ++i)
            player.onVideoFrameChanged(frame);
        QCOMPARE(raw.count(), 5);
        QCOMPARE(requests.count(), expected);
        QCOMPARE(player.pendingRequestCount(), expected);
    }

    // Frames over the limit wait as one: the newest goes when a place frees, so a paused
    // picture is never left on the frame before a seek.
    void requestsResumeWhenResultsReturn()
    {
        VideoPlayer player;
        silenceWorker(player);
        player.setFrameProcessingEnabled(true);
        QSignalSpy requests(&player, &VideoPlayer::processFrameRequested);
        const QVideoFrame frame = grayFrame(64, 36);
        const QVideoFrame newest = grayFrame(32, 18);
        player.onVideoFrameChanged(frame);
        player.onVideoFrameChanged(frame);
        player.onVideoFrameChanged(frame);
        player.onVideoFrameChanged(newest);
        QCOMPARE(requests.count(), 2);

        // One result frees one place (a null result counts as well), taken by the newest.
        emit player.frameProcessed(QImage());
        QTRY_COMPARE(requests.count(), 3);
        QCOMPARE(requests.last().first().value<FrameProcessingWorker::Request>().frame.width(), 32);
        QCOMPARE(player.pendingRequestCount(), 2);

        // Nothing waits now: results free their places for good.
        emit player.frameProcessed(QImage());
        emit player.frameProcessed(QImage());
        QTRY_COMPARE(player.pendingRequestCount(), 0);
        QCOMPARE(requests.count(), 3);
        player.onVideoFrameChanged(frame);
        QCOMPARE(requests.count(), 4);
    }

    void requestCarriesClipPositionAndMode_data()
    {
        QTest::addColumn<bool>("scrubbing");
        QTest::newRow("playing") << false;
        QTest::newRow("scrubbing") << true;
    }

    void requestCarriesClipPositionAndMode()
    {
        QFETCH(bool, scrubbing);
        VideoPlayer player;
        silenceWorker(player);
        Clip clip = effectsClip();
        clip.titleText = "Carried";
        player.updateClipEffects(clip);
        player.setScrubbing(scrubbing);
        QSignalSpy requests(&player, &VideoPlayer::processFrameRequested);
        const QVideoFrame frame = grayFrame(64, 36);
        player.onVideoFrameChanged(frame);
        QCOMPARE(requests.count(), 1);
        const auto request = requests.at(0).at(0).value<FrameProcessingWorker::Request>();
        QCOMPARE(request.clip, clip);
        QCOMPARE(request.frame, frame);
        QCOMPARE(request.positionSeconds, player.position() / 1000.0);
        QCOMPARE(request.scrubbing, scrubbing);
        QCOMPARE(request.previewQuality, scrubbing ? 1 : 0);
        QVERIFY(request.applyEffects);
        // Later edits of the player's clip do not reach a request already sent.
        player.updateClipEffects(effectsClip());
        QCOMPARE(request.clip.titleText, QStringLiteral("Carried"));
    }

    void processedPicturesComeBack()
    {
        VideoPlayer player;
        player.updateClipEffects(effectsClip());
        QSignalSpy processed(&player, &VideoPlayer::frameProcessed);
        player.onVideoFrameChanged(grayFrame(1920, 1080));
        QTRY_COMPARE(player.pendingRequestCount(), 0);
        QCOMPARE(processed.count(), 1);
        const QImage image = processed.at(0).at(0).value<QImage>();
        QCOMPARE(image.size(), QSize(960, 540));
        QCOMPARE(image.pixel(480, 270) & 0xffffffu, 0xffffffu);
        QCOMPARE(player.currentFrame(), image);
    }

    void currentFrameKeepsProcessedImageAfterSwitchingOff()
    {
        VideoPlayer player;
        player.updateClipEffects(effectsClip());
        player.onVideoFrameChanged(grayFrame(64, 36));
        QTRY_COMPARE(player.pendingRequestCount(), 0);
        const QImage processed = player.currentFrame();
        QCOMPARE(processed.pixel(10, 10) & 0xffffffu, 0xffffffu);

        Clip plain;
        plain.hasEffects = false;
        player.updateClipEffects(plain);
        QVERIFY(!player.isFrameProcessingEnabled());
        player.onVideoFrameChanged(grayFrame(64, 36));
        QCOMPARE(player.currentFrame(), processed);
    }

    void scrubbingThinsOnTheWorker()
    {
        VideoPlayer player;
        player.updateClipEffects(effectsClip());
        player.setScrubbing(true);
        QSignalSpy processed(&player, &VideoPlayer::frameProcessed);
        const QVideoFrame frame = grayFrame(64, 36);
        for (int i = 0; i < 9; ++i) {
            player.onVideoFrameChanged(frame);
            QTRY_COMPARE(player.pendingRequestCount(), 0);
        }
        int pictures = 0;
        for (int i = 0; i < 9; ++i)
            pictures += processed.at(i).at(0).value<QImage>().isNull() ? 0 : 1;
        // Only every third scrubbing frame is processed (fewer if the 12 fps cap bites).
        QVERIFY(pictures >= 1);
        QVERIFY(pictures <= 3);
        // The last one, if left out, is sent again: the picture where the scrub stops comes.
        QTRY_VERIFY(!processed.last().at(0).value<QImage>().isNull());

        player.setScrubbing(false);
        const int before = int(processed.count());
        player.onVideoFrameChanged(frame);
        QTRY_COMPARE(player.pendingRequestCount(), 0);
        QTRY_COMPARE(processed.count(), before + 1);
    }

    // After a paused seek no frame follows the sought one: the rate cap must not lose it.
    void frameLeftOutByTheRateCapComesWhenNoneFollows()
    {
        VideoPlayer player;
        player.updateClipEffects(effectsClip());
        std::atomic<qint64> clock{1000};
        player.frameWorker()->setClock([&clock] { return clock.load(); });
        QSignalSpy processed(&player, &VideoPlayer::frameProcessed);
        player.onVideoFrameChanged(grayFrame(64, 36));
        QTRY_COMPARE(processed.count(), 1);
        player.onVideoFrameChanged(grayFrame(32, 18));
        QTRY_COMPARE(processed.count(), 2);
        QVERIFY(processed.last().at(0).value<QImage>().isNull());
        clock += 100;
        QTRY_VERIFY(!processed.last().at(0).value<QImage>().isNull());
        QCOMPARE(processed.last().at(0).value<QImage>().width(), 32);
    }

    // Real decoded frames: the in-flight count never passes two and drains to zero.
    void decodedFramesThroughThePath()
    {
        QVideoWidget widget;
        widget.resize(320, 240);
        widget.show();
        VideoPlayer player;
        player.setVideoOutput(&widget);
        player.updateClipEffects(effectsClip());

        int maxPending = 0;
        int pictures = 0;
        connect(&player, &VideoPlayer::processFrameRequested, this,
                [&] { maxPending = qMax(maxPending, player.pendingRequestCount()); });
        connect(&player, &VideoPlayer::frameProcessed, this, [&](const QImage &image) {
            if (!image.isNull()) {
                ++pictures;
                QVERIFY(image.width() <= 960 && image.height() <= 540);
                QCOMPARE(image.pixel(image.width() / 2, image.height() / 2) & 0xffffffu, 0xffffffu);
            }
        });
        player.loadMedia(video);
        player.play();
        QTRY_VERIFY_WITH_TIMEOUT(pictures >= 10, 30000);
        player.pause();
        QTRY_COMPARE_WITH_TIMEOUT(player.pendingRequestCount(), 0, 10000);
        QVERIFY(maxPending >= 1);
        QVERIFY(maxPending <= 2);
    }

    void shutdownWithRequestsInFlight()
    {
        auto *player = new VideoPlayer;
        Clip clip = effectsClip();
        clip.blurIntensity = 100;
        player->updateClipEffects(clip);
        QPointer<FrameProcessingWorker> worker(player->frameWorker());
        QPointer<QThread> thread(player->frameWorkerThread());
        player->onVideoFrameChanged(grayFrame(1920, 1080));
        player->onVideoFrameChanged(grayFrame(1920, 1080));
        QCOMPARE(player->pendingRequestCount(), 2);
        delete player;
        QVERIFY(worker.isNull());
        QVERIFY(thread.isNull());
        // Results still travelling find no receiver.
        QTest::qWait(50);
    }

    // The still frame the effects and title dialogs preview comes out the way ffmpeg turns
    // the picture in the export, from the raw frame and from the processed one alike.
    void stillFrameIsTurnedAsTheExportTurnsIt_data()
    {
        QTest::addColumn<QString>("rotate");
        QTest::addColumn<bool>("effects");
        for (const char *rotate : {"0", "90", "180", "270"}) {
            QTest::addRow("%s, raw frame", rotate) << rotate << false;
            QTest::addRow("%s, processed frame", rotate) << rotate << true;
        }
    }

    void stillFrameIsTurnedAsTheExportTurnsIt()
    {
        QFETCH(QString, rotate);
        QFETCH(bool, effects);
        // Four coloured quarters tell every turn and mirror apart.
        const QString quarters = dir.filePath("quarters.mp4");
        if (!QFileInfo::exists(quarters)) {
            QVERIFY(TestMedia::runFFmpeg(
                {"-f", "lavfi", "-i",
                 "color=c=red:s=320x240:r=25:d=3,drawbox=x=160:y=0:w=160:h=120:c=lime:t=fill,"
                 "drawbox=x=0:y=120:w=160:h=120:c=blue:t=fill,drawbox=x=160:y=120:w=160:h=120:c=white:t=fill",
                 "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", quarters}));
        }
        const QString path = dir.filePath(QStringLiteral("turned%1.mp4").arg(rotate));
        const QString reference = dir.filePath(QStringLiteral("turned%1.png").arg(rotate));
        QVERIFY(TestMedia::runFFmpeg({"-i", quarters, "-c", "copy", "-metadata:s:v:0",
                                      QStringLiteral("rotate=%1").arg(rotate), path}));
        QVERIFY(TestMedia::runFFmpeg({"-i", path, "-frames:v", "1", reference}));
        const QImage expected(reference);
        QVERIFY(!expected.isNull());

        QVideoWidget widget;
        widget.resize(320, 240);
        widget.show();
        VideoPlayer player;
        player.setVideoOutput(&widget);
        Clip clip;
        clip.originalEnd = 3000;
        clip.endTime = 3000;
        clip.hasEffects = effects;
        player.updateClipEffects(clip);
        QSignalSpy processed(&player, &VideoPlayer::frameProcessed);
        player.loadMedia(path);
        QTRY_COMPARE_WITH_TIMEOUT(player.displayRotation(), rotate.toInt(), 10000);
        player.play();
        if (effects)
            QTRY_VERIFY_WITH_TIMEOUT(!player.currentFrame().isNull() && processed.count() >= 2, 30000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(player.framesReceived() >= 2, 30000);
        player.pause();
        QTRY_COMPARE_WITH_TIMEOUT(player.pendingRequestCount(), 0, 10000);

        const QImage still = player.currentFrame();
        QCOMPARE(still.width() > still.height(), expected.width() > expected.height());
        for (const QPointF &at : {QPointF(0.25, 0.25), QPointF(0.75, 0.25), QPointF(0.25, 0.75), QPointF(0.75, 0.75)}) {
            const QRgb want = expected.pixel(int(at.x() * expected.width()), int(at.y() * expected.height()));
            const QRgb seen = still.pixel(int(at.x() * still.width()), int(at.y() * still.height()));
            const bool close = qAbs(qRed(want) - qRed(seen)) <= 24 && qAbs(qGreen(want) - qGreen(seen)) <= 24
                && qAbs(qBlue(want) - qBlue(seen)) <= 24;
            QVERIFY2(close, qPrintable(QStringLiteral("at (%1, %2): %3 seen, %4 from ffmpeg")
                                           .arg(at.x())
                                           .arg(at.y())
                                           .arg(QString::number(seen & 0xffffff, 16),
                                                QString::number(want & 0xffffff, 16))));
        }
    }

private:
    QTemporaryDir dir;
    QString video;
};

TRIMLET_TEST_MAIN(TestEffectsPath)

#include "tst_effectspath.moc"
