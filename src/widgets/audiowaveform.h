#pragma once

#include <QByteArray>
#include <QWidget>

// A decorative strip of random bars around the centre line; redrawn anew on every repaint.
// It stands for the whole edited timeline: a press or a drag asks to seek to the time
// under the pointer, mapped as the timeline maps x at zoom 1 across this strip's width.
class AudioWaveform : public QWidget {
    Q_OBJECT
public:
    explicit AudioWaveform(QWidget *parent = nullptr);

    void setWaveformData(const QByteArray &data);
    void setPosition(qint64 position);

    QByteArray waveformData() const { return m_waveformData; }
    qint64 position() const { return m_position; }
    qint64 duration() const { return m_duration; }

public slots:
    void setDuration(qint64 duration);

signals:
    void positionClicked(qint64 position);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    void seekTo(int x);

    QByteArray m_waveformData;
    qint64 m_position = 0;
    qint64 m_duration = 0;
};
