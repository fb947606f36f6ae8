#include "modernslider.h"

#include <QColor>
#include <QPainter>
#include <QPen>

ModernSlider::ModernSlider(Qt::Orientation orientation, QWidget *parent)
    : QSlider(orientation, parent)
{
    setMinimumHeight(40);
    setStyleSheet(QStringLiteral(
        "QSlider {"
        "  margin: 10px 0px;"
        "}"
        "QSlider::groove:horizontal {"
        "  border: none;"
        "  height: 8px;"
        "  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #2a2a2a, stop:1 #1a1a1a);"
        "  border-radius: 4px;"
        "}"
        "QSlider::handle:horizontal {"
        "  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #6a9bd1, stop:1 #4a7ba7);"
        "  border: 2px solid #ffffff;"
        "  width: 20px;"
        "  height: 20px;"
        "  margin: -8px 0px;"
        "  border-radius: 12px;"
        "}"
        "QSlider::handle:horizontal:hover {"
        "  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #7aabf1, stop:1 #5a8bc7);"
        "}"
        "QSlider::sub-page:horizontal {"
        "  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #6a9bd1, stop:1 #4a7ba7);"
        "  border-radius: 4px;"
        "}"));
}

void ModernSlider::setGlow(bool enabled)
{
    m_glowEnabled = enabled;
    if (enabled) {
        m_glowEffect = new QGraphicsDropShadowEffect(this);
        m_glowEffect->setBlurRadius(10);
        m_glowEffect->setColor(QColor(106, 155, 209, 150));
        m_glowEffect->setOffset(0, 0);
        // The widget takes ownership and deletes the effect it replaces.
        setGraphicsEffect(m_glowEffect);
    } else {
        setGraphicsEffect(nullptr);
        m_glowEffect = nullptr;
    }
}

void ModernSlider::mousePressEvent(QMouseEvent *event)
{
    QSlider::mousePressEvent(event);
    setGlow(true);
}

void ModernSlider::paintEvent(QPaintEvent *event)
{
    QSlider::paintEvent(event);
    if (!m_glowEnabled || !hasFocus())
        return;

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(106, 155, 209, 100), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRect(2, 2, width() - 4, height() - 4), 6, 6);
}
