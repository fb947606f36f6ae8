#include "editplayback.h"
#include "findwidgets.h"
#include "framecounter.h"
#include "mainwindow.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "testclips.h"
#include "testmedia.h"
#include "videoplayer.h"
#include "windowsteps.h"

#include <QAudioOutput>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QVideoWidget>
#include <QtTest>

// Playing the edit through the real window, read back from the frame counter drawn into every
// picture: the displays get every kept frame and no removed one, and the sound of a removed span
// is never heard. Conditions only: how long anything takes is for bench_playback.
class TestEditPlayback : public QObject {
    Q_OBJECT
private:
    static constexpr int Fps = 30;
    QTemporaryDir dir;
    QString video; // 6 s, a counter in every picture
    std::unique_ptr<MainWindow> window;
    RecordingPrompts prompts;

    void openWindow()
    {
        // Each test loads at once, which greets first.
        WindowSteps::OpenOptions options;
        options.freshPrompts = false;
        options.waitForGreeting = false;
        options.clearMessages = false;
        WindowSteps::openWindow(window, prompts, options);
    }
    static Clip part(qint64 start, qint64 end) { return TestClips::clipOf(start, end); }
    QPushButton *button(const QString &text) const { return FindWidgets::byText<QPushButton>(*window, text); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        video = dir.filePath("counter.mp4");
        QVERIFY(TestMedia::makeSoundVideo(video, FrameCounter::pictureSource(320, 240, Fps, 6),
                                          "sine=frequency=440:sample_rate=48000:d=6", {"-shortest"}));
    }

    void cleanup() { window.reset(); }

    // Parts: 0-1.5 s; three frames at 2.5 s; 3.5-4.5 s and 4.5-5.5 s touching; the rest removed.
    void showsEveryKeptFrameAndNoOther()
    {
        openWindow();
        WindowSteps::loadAndPause(*window, video);
        QVERIFY(EditPlayback::cutAndDelete(*window, {1500, 2500, 2600, 3500, 4500, 5500}, {1, 3, 6}));
        const ClipList clips = window->clips();
        QCOMPARE(clips.size(), 4);
        std::vector<std::pair<int, int>> parts;
        for (const Clip &clip : clips)
            parts.push_back(EditPlayback::partFrames(clip, Fps));
        QCOMPARE(parts[1].second - parts[1].first + 1, 3);
        QCOMPARE(parts[3].first, parts[2].second + 1);

        EditPlayback::Recorder recorder(window->player());
        // The paused seeks of the cuts may still be delivering their frames: start once the
        // frame at 1 s is on screen.
        recorder.start();
        WindowSteps::seekAndWait(*window, 1000);
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.frames.isEmpty() && recorder.frames.last().number == Fps, 60000);
        QSignalSpy jumps(window->player(), &VideoPlayer::editJumped);
        connect(window->player(), &VideoPlayer::editFinished, &recorder, [&recorder] { recorder.stop(); });
        recorder.start();
        window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.recording, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!window->player()->isPlaying(), 30000);
        QVERIFY(button("Play"));
        QTRY_VERIFY_WITH_TIMEOUT(qAbs(window->player()->position() - clips.first().originalStart) < 50, 30000);

        QStringList shown;
        for (const EditPlayback::ShownFrame &frame : recorder.frames)
            shown << QString::number(frame.number);
        const QByteArray seen = shown.join(' ').toUtf8();
        int previous = -1;
        std::vector<std::set<int>> perPart(parts.size());
        for (const EditPlayback::ShownFrame &frame : recorder.frames) {
            QVERIFY2(frame.number >= 0, seen);
            QVERIFY2(frame.number >= previous, seen);
            previous = frame.number;
            int part = -1;
            for (size_t i = 0; i < parts.size(); ++i)
                if (frame.number >= parts[i].first && frame.number <= parts[i].second)
                    part = int(i);
            QVERIFY2(part >= 0, "a removed frame was shown: " + seen);
            perPart[size_t(part)].insert(frame.number);
        }
        for (size_t i = 0; i < parts.size(); ++i) {
            // Each part's last frame is on screen before the jump; each later part starts at its
            // first frame.
            QVERIFY2(perPart[i].count(parts[i].second), seen);
            if (i > 0)
                QVERIFY2(!perPart[i].empty() && *perPart[i].begin() == parts[i].first, seen);
        }
        QCOMPARE(int(perPart[1].size()), 3);
        // Two seeks; the touching parts run on.
        QCOMPARE(jumps.size(), 2);
        QCOMPARE(jumps.at(0).at(0).toLongLong(), clips[1].originalStart);
        QCOMPARE(jumps.at(1).at(0).toLongLong(), clips[2].originalStart);
    }

    // Paused on the cut between two touching parts, Right goes on into the second.
    void rightArrowOnACutMoves()
    {
        openWindow();
        WindowSteps::loadAndPause(*window, video);
        WindowSteps::seekAndWait(*window, 3000);
        window->splitAtPlayhead();
        QCOMPARE(window->clips().size(), 2);
        const qint64 cut = window->clips().at(1).originalStart;
        WindowSteps::seekAndWait(*window, cut);
        window->activateWindow();
        QTest::keyPress(window.get(), Qt::Key_Right);
        QTest::keyRelease(window.get(), Qt::Key_Right);
        QTRY_VERIFY_WITH_TIMEOUT(qAbs(window->player()->position() - (cut + 1000)) < 50, 30000);
    }

    // The removed span holds a loud tone, the kept ones silence: what reaches the sound server is
    // recorded from the default output's monitor.
    void soundOfARemovedSpanIsNotHeard()
    {
        if (QStandardPaths::findExecutable("parec").isEmpty()
            || QProcess::execute("pactl", {"info"}) != 0)
            QSKIP("needs a PulseAudio server (scripts/test starts one with a null sink)");
        // Uncompressed sound, so no encoder spreads the onset into the kept span; the tone starts
        // 10 ms after the cut, which a paused seek may miss by a few.
        const QString toned = dir.filePath("toned.mov");
        QVERIFY(TestMedia::makeSoundVideo(
            toned, FrameCounter::pictureSource(320, 240, Fps, 4),
            "aevalsrc='if(between(t,1.51,2.49),0.5*sin(2*PI*440*t),0)':s=48000:d=4",
            {"-c:a", "pcm_s16le", "-shortest"}));
        openWindow();
        if (!window->player()->hasAudioOutput())
            QSKIP("no audio output device");
        WindowSteps::loadAndPause(*window, toned);

        const auto loudestWhile = [this](const std::function<void()> &play) {
            QProcess recorder;
            recorder.start("parec", {"-d", "@DEFAULT_MONITOR@", "--format=s16le", "--rate=48000",
                                     "--channels=1", "--latency-msec=20", "--raw"});
            if (!recorder.waitForStarted(10000))
                return -1;
            QTest::qWait(300);
            play();
            QTest::qWait(500);
            recorder.terminate();
            recorder.waitForFinished(5000);
            const QByteArray pcm = recorder.readAllStandardOutput();
            int loudest = 0;
            for (qsizetype i = 0; i + 1 < pcm.size(); i += 2)
                loudest = std::max(loudest, std::abs(int(qint16(quint16(uchar(pcm[i])) | quint16(uchar(pcm[i + 1])) << 8))));
            return pcm.size() > 48000 ? loudest : -1;
        };
        // The recording hears the tone when it is played.
        const int unedited = loudestWhile([this] {
            WindowSteps::seekAndWait(*window, 1000);
            window->playPause();
            QTRY_VERIFY_WITH_TIMEOUT(window->player()->position() > 3000, 60000);
            window->playPause();
        });
        QVERIFY2(unedited > 8000, QByteArray::number(unedited));

        QVERIFY(EditPlayback::cutAndDelete(*window, {1500, 2500}, {1}));
        const int edited = loudestWhile([this] {
            WindowSteps::seekAndWait(*window, 0);
            window->playPause();
            QTRY_VERIFY_WITH_TIMEOUT(window->player()->isPlaying(), 60000);
            QTRY_VERIFY_WITH_TIMEOUT(!window->player()->isPlaying(), 30000);
        });
        QVERIFY2(edited >= 0 && edited < 1000, QByteArray::number(edited));
    }

    // The output is muted while a jump is made and unmuted once the seek has landed, with or
    // without a sound device; the user's own mute outlasts it. Played without the window, so
    // only the player mutes.
    void outputIsMutedAcrossAJumpAndTheUsersMuteKept_data()
    {
        QTest::addColumn<bool>("userMuted");
        QTest::newRow("sound on") << false;
        QTest::newRow("muted by the user") << true;
    }

    void outputIsMutedAcrossAJumpAndTheUsersMuteKept()
    {
        QFETCH(bool, userMuted);
        QVideoWidget widget;
        widget.resize(320, 240);
        widget.show();
        VideoPlayer player;
        player.setVideoOutput(&widget);
        const ClipList parts{part(0, 1000), part(2500, 3500)};
        player.followEdit([parts] { return parts; });
        player.setMuted(userMuted);
        QSignalSpy ready(&player, &VideoPlayer::mediaReady);
        player.loadMedia(video);
        QTRY_VERIFY_WITH_TIMEOUT(!ready.isEmpty(), 30000);
        QVERIFY(player.audioOutput());

        QList<bool> mutedAtJump;
        connect(&player, &VideoPlayer::editJumped, this,
                [&] { mutedAtJump << player.audioOutput()->isMuted(); });
        player.play();
        QTRY_COMPARE_WITH_TIMEOUT(mutedAtJump.size(), 1, 60000);
        QVERIFY(mutedAtJump.first());
        // Well into the second part, long after the seek landed.
        QTRY_VERIFY_WITH_TIMEOUT(player.shownFrameStartUs() > 2800 * 1000, 60000);
        QCOMPARE(player.audioOutput()->isMuted(), userMuted);
        QCOMPARE(player.isMuted(), userMuted);
        player.setMuted(false);
        QVERIFY(!player.audioOutput()->isMuted());
        player.pause();
    }
};

TRIMLET_TEST_MAIN(TestEditPlayback)
#include "tst_editplayback.moc"
