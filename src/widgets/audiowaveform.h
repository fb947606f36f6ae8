#pragma once

#include <QByteArray>
#include <QWidget>

// A decorative strip of random bars around the centre line; redrawn anew on every repaint.
class AudioWaveform : public QWidget {
    Q_OBJECT
public:
    explicit AudioWaveform(QWidget *parent = nullptr);

    void setWaveformData(const QByteArray &data);
    void setPosition(qint64 position);

    QByteArray waveformData() const { return m_waveformData; }
    qint64 position() const { return m_position; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QByteArray m_waveformData;
    qint64 m_position = 0;
};
