#include "audiowaveform.h"

#include "timelinegeometry.h"

#include <QColor>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QRandomGenerator>

AudioWaveform::AudioWaveform(QWidget *parent)
    : QWidget(parent)
{
    setMinimumHeight(40);
}

void AudioWaveform::setWaveformData(const QByteArray &data)
{
    m_waveformData = data;
    update();
}

void AudioWaveform::setPosition(qint64 position)
{
    m_position = position;
    update();
}

void AudioWaveform::setDuration(qint64 duration)
{
    m_duration = duration;
}

void AudioWaveform::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        seekTo(event->position().toPoint().x());
}

void AudioWaveform::mouseMoveEvent(QMouseEvent *event)
{
    if (event->buttons().testFlag(Qt::LeftButton))
        seekTo(event->position().toPoint().x());
}

void AudioWaveform::seekTo(int x)
{
    if (m_duration > 0)
        emit positionClicked(xToTime(x, width(), m_duration, kTimelineMinZoom));
}

void AudioWaveform::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0x1a, 0x1a, 0x1a));
    painter.setPen(QPen(QColor(106, 155, 209), 1));

    const int w = width();
    const int centre = height() / 2;
    for (int x = 0; x < w; x += 2) {
        const int amplitude = QRandomGenerator::global()->bounded(20) - 10;
        painter.drawLine(x, centre - amplitude, x, centre + amplitude);
    }
}
