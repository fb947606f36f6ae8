#pragma once

#include "mainwindow.h"
#include "recordingprompts.h"
#include "videoplayer.h"

#include <QtTest>

#include <memory>

// Steps the window tests share. The waits follow conditions, so they hold on a loaded machine;
// a failed wait fails the calling test.
namespace WindowSteps {

struct OpenOptions {
    // Answers and handlers of the test before do not carry over. Off where the test sets
    // them before the start, for what the window asks as it starts.
    bool freshPrompts = true;
    // The welcome comes a second after construction at the first start. Off where the test
    // loads a video at once, which greets first.
    bool waitForGreeting = true;
    // Off where the test reads what the window said as it started.
    bool clearMessages = true;
};

// A new window on the given prompts, shown, exposed and active, its welcome said and forgotten.
inline void openWindow(std::unique_ptr<MainWindow> &window, RecordingPrompts &prompts, const OpenOptions &options = {})
{
    if (options.freshPrompts)
        prompts = RecordingPrompts();
    window = std::make_unique<MainWindow>();
    window->setUserPrompts(&prompts);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->activateWindow();
    if (options.waitForGreeting)
        QTRY_VERIFY_WITH_TIMEOUT(window->hasGreeted(), 60000);
    if (options.clearMessages)
        prompts.clear();
}

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
