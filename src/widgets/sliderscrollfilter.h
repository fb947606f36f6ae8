#pragma once

#include <QObject>

// Swallows mouse-wheel events on the sliders it watches, so scrolling through a
// dialog never changes a value by accident.
class SliderScrollFilter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};
