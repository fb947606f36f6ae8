#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

// Dialog controls found the way a user finds them: by their text, or by the label beside them.
namespace FindWidgets {

template <typename T>
T *byText(QWidget &root, const QString &text)
{
    for (T *widget : root.findChildren<T *>()) {
        if (widget->text() == text)
            return widget;
    }
    return nullptr;
}

// The control a heading or caption label stands for.
template <typename T>
T *buddyOf(QWidget &root, const QString &labelText)
{
    QLabel *label = byText<QLabel>(root, labelText);
    return label ? qobject_cast<T *>(label->buddy()) : nullptr;
}

} // namespace FindWidgets
