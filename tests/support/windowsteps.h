#pragma once

#include "mainwindow.h"
#include "videoplayer.h"

#include <QtTest>

// Steps the window tests share. The waits follow conditions, so they hold on a loaded machine;
// a failed wait fails the calling test.
namespace WindowSteps {

// Loads the video, waits for its first part and for playback to start, then pauses.
inline void loadAndPause(MainWindow &window, const QString &path)
{
    window.loadVideo(path);
    QTRY_VERIFY_WITH_TIMEOUT(window.clips().size() == 1, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(window.player()->isPlaying(), 60000);
    window.playPause();
    QTRY_VERIFY_WITH_TIMEOUT(!window.player()->isPlaying(), 30000);
}

inline void seekAndWait(MainWindow &window, qint64 ms)
{
    window.player()->setPosition(ms);
    QTRY_VERIFY_WITH_TIMEOUT(qAbs(window.player()->position() - ms) < 50, 30000);
}

} // namespace WindowSteps
