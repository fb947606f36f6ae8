#pragma once

#include "framecounter.h"
#include "mainwindow.h"
#include "videoplayer.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTest>

#include <functional>
#include <set>

// Playing an edit through the real window and reading what reached the displays: each frame the
// player hands to them, by the counter drawn into it.
namespace EditPlayback {

struct ShownFrame {
    int number = -1;
    qint64 wallNs = 0;
};

// Every frame the displays receive from the player, in order.
class Recorder : public QObject {
public:
    explicit Recorder(VideoPlayer *player)
    {
        clock.start();
        connect(player, &VideoPlayer::frameReady, this, [this](const QVideoFrame &frame) {
            if (recording)
                frames.append({FrameCounter::read(frame), clock.nsecsElapsed()});
        });
    }
    void start()
    {
        frames.clear();
        recording = true;
    }
    void stop() { recording = false; }

    QList<ShownFrame> frames;
    bool recording = false;

private:
    QElapsedTimer clock;
};

inline bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}

// The frames of a constant-rate source whose times lie in [start, end), as the export keeps them.
inline std::pair<int, int> partFrames(const Clip &clip, int fps)
{
    const auto firstAtOrAfter = [fps](qint64 ms) { return int((ms * fps + 999) / 1000); };
    return {firstAtOrAfter(clip.originalStart), firstAtOrAfter(clip.originalEnd) - 1};
}

// Cuts the loaded, paused video at each time and deletes the parts at the given indexes (as
// numbered after all cuts). False when a step did not take.
inline bool cutAndDelete(MainWindow &window, const QList<qint64> &cuts, QList<int> deleted)
{
    for (qint64 at : cuts) {
        const int before = int(window.clips().size());
        window.player()->setPosition(at);
        if (!waitFor([&] { return qAbs(window.player()->position() - at) < 50; }, 10000))
            return false;
        window.splitAtPlayhead();
        if (window.clips().size() != before + 1)
            return false;
    }
    std::sort(deleted.begin(), deleted.end(), std::greater<int>());
    for (int index : deleted) {
        const int before = int(window.clips().size());
        window.handleClipClicked(index);
        window.deleteSelectedClips();
        if (window.clips().size() != before - 1)
            return false;
    }
    return true;
}

} // namespace EditPlayback
