#include "repaintpacer.h"

RepaintPacer::RepaintPacer(int intervalMs, std::function<void()> repaint, QObject *parent)
    : QObject(parent)
    , m_intervalMs(intervalMs)
    , m_repaint(std::move(repaint))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &RepaintPacer::fire);
}

void RepaintPacer::request()
{
    if (m_timer.isActive())
        return;
    const qint64 since = m_sinceLast.isValid() ? m_sinceLast.elapsed() : m_intervalMs;
    if (since >= m_intervalMs)
        fire();
    else
        m_timer.start(int(m_intervalMs - since));
}

void RepaintPacer::fire()
{
    m_sinceLast.start();
    m_repaint();
}
