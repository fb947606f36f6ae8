#include "audiowaveform.h"

#include <QColor>
#include <QPainter>
#include <QPen>
#include <QRandomGenerator>

AudioWaveform::AudioWaveform(QWidget *parent)
    : QWidget(parent)
{
    setMinimumHeight(60);
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
