#pragma once

#include <QPushButton>
#include <QRect>

class QPropertyAnimation;

// A dark rounded push button that glows while hovered and sinks by a pixel when pressed.
class ModernButton : public QPushButton {
    Q_OBJECT
public:
    explicit ModernButton(const QString &text, QWidget *parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void animateGeometry(const QRect &from, const QRect &to);

    QPropertyAnimation *m_pressAnimation = nullptr;
    // Where the button stood before the press, so quick clicks and minimum sizes
    // cannot leave it a pixel larger each time.
    QRect m_restGeometry;
    bool m_pressed = false;
};
