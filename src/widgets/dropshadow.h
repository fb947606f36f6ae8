#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QWidget>

class QPainter;

// A soft shadow under another widget, drawn from a small image of its corners made once. A
// graphics effect blurs again on every repaint within its reach, and the waveform and timeline
// under the video repaint many times a second: that blur took close to half of the GUI thread
// while a video played.
class DropShadow : public QWidget {
public:
    DropShadow(QWidget *target, int blurRadius, QPoint offset, QColor color, int cornerRadius);

    // The shadow as drawn, for tests; made on first use for each size.
    const QImage &image();
    // What the shadow is drawn from: its corners, made on the first paint.
    const QImage &cornerTile() const { return tile; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void follow();
    QImage blurred(const QSize &body) const;
    void paintShadow(QPainter &painter);

    QWidget *target;
    int blurRadius;
    QPoint offset;
    QColor color;
    int cornerRadius;
    QImage tile;
    // Targets too small for the corners are blurred whole.
    QImage whole;
    QImage drawn;
};
