#include "modernbutton.h"

#include <QColor>
#include <QGraphicsDropShadowEffect>
#include <QPropertyAnimation>

ModernButton::ModernButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent)
{
    setMinimumHeight(45);
    setCursor(Qt::PointingHandCursor);
    setStyleSheet(QStringLiteral(
        "QPushButton {"
        "  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3a3a3a, stop:1 #2a2a2a);"
        "  border: none;"
        "  border-radius: 12px;"
        "  color: #ffffff;"
        "  font-weight: 600;"
        "  font-size: 13px;"
        "  padding: 8px 24px;"
        "}"
        "QPushButton:hover {"
        "  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #4a4a4a, stop:1 #3a3a3a);"
        "}"
        "QPushButton:pressed {"
        "  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2a2a2a, stop:1 #1a1a1a);"
        "}"));

    m_pressAnimation = new QPropertyAnimation(this, "geometry", this);
    m_pressAnimation->setDuration(200);
}

void ModernButton::mousePressEvent(QMouseEvent *event)
{
    QPushButton::mousePressEvent(event);
    if (!m_pressed) {
        m_pressAnimation->stop();
        m_restGeometry = geometry();
        m_pressed = true;
    }
    animateGeometry(geometry(), m_restGeometry.adjusted(1, 1, -1, -1));
}

void ModernButton::mouseReleaseEvent(QMouseEvent *event)
{
    QPushButton::mouseReleaseEvent(event);
    if (!m_pressed)
        return;
    m_pressed = false;
    animateGeometry(geometry(), m_restGeometry);
}

void ModernButton::enterEvent(QEnterEvent *event)
{
    QPushButton::enterEvent(event);
    auto *glow = new QGraphicsDropShadowEffect(this);
    glow->setBlurRadius(15);
    glow->setColor(QColor(100, 150, 255, 100));
    glow->setOffset(0, 0);
    // The widget takes ownership and deletes the effect it replaces.
    setGraphicsEffect(glow);
}

void ModernButton::leaveEvent(QEvent *event)
{
    QPushButton::leaveEvent(event);
    setGraphicsEffect(nullptr);
}

void ModernButton::animateGeometry(const QRect &from, const QRect &to)
{
    m_pressAnimation->setStartValue(from);
    m_pressAnimation->setEndValue(to);
    m_pressAnimation->start();
}
