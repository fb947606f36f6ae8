#pragma once

#include <QGraphicsDropShadowEffect>
#include <QPointer>
#include <QSlider>

// A slider with a blue gradient look, an optional glow and a focus ring.
class ModernSlider : public QSlider {
    Q_OBJECT
public:
    explicit ModernSlider(Qt::Orientation orientation, QWidget *parent = nullptr);

    void setGlow(bool enabled);
    bool glowEnabled() const { return m_glowEnabled; }

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_glowEnabled = true;
    // Owned by the widget once set; QPointer because a caller may replace it.
    QPointer<QGraphicsDropShadowEffect> m_glowEffect;
};
