#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

// Repaints asked for by background work (peaks and thumbnails arriving) at most once per
// interval: the first at once, the rest gathered into one at the interval's end. A window with
// OpenGL parts is composed whole on every repaint, which with software GL costs tens of
// milliseconds of the event loop each time.
// What peaks and thumbnails arriving while a video loads are repainted at.
constexpr int kLoadRepaintMs = 200;

class RepaintPacer : public QObject {
public:
    RepaintPacer(int intervalMs, std::function<void()> repaint, QObject *parent);
    void request();

private:
    void fire();

    int m_intervalMs;
    std::function<void()> m_repaint;
    QElapsedTimer m_sinceLast;
    QTimer m_timer;
};
