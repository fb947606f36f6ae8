#include "sliderscrollfilter.h"

#include <QEvent>

bool SliderScrollFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Wheel)
        return true;
    return QObject::eventFilter(watched, event);
}
