#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QWidget>

// A soft shadow under another widget, drawn from an image made once per size. A graphics
// effect blurs again on every repaint within its reach, and the waveform and timeline under
// the video repaint many times a second: that blur took close to half of the GUI thread
// while a video played.
class DropShadow : public QWidget {
public:
    DropShadow(QWidget *target, int blurRadius, QPoint offset, QColor color, int cornerRadius);

    // The shadow as drawn, for tests; made on first use.
    const QImage &image();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void follow();

    QWidget *target;
    int blurRadius;
    QPoint offset;
    QColor color;
    int cornerRadius;
    QImage shadow;
};
