#include "quietstyle.h"

#include <QIconEngine>
#include <QPainter>
#include <QPointer>

namespace {

// Reads the style's icon on first use.
class DeferredIcon : public QIconEngine {
public:
    DeferredIcon(const QProxyStyle *style, QStyle::StandardPixmap which)
        : style(style)
        , which(which)
    {
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().actualSize(size, mode, state);
    }
    QIconEngine *clone() const override { return new DeferredIcon(style, which); }

private:
    const QIcon &icon()
    {
        if (!made && style) {
            made = true;
            real = style->QProxyStyle::standardIcon(which);
        }
        return real;
    }

    QPointer<const QProxyStyle> style;
    QStyle::StandardPixmap which;
    bool made = false;
    QIcon real;
};

} // namespace

QIcon QuietStyle::standardIcon(StandardPixmap standardIcon, const QStyleOption *option, const QWidget *widget) const
{
    if (standardIcon == SP_ToolBarHorizontalExtensionButton || standardIcon == SP_ToolBarVerticalExtensionButton)
        return QIcon(new DeferredIcon(this, standardIcon));
    return QProxyStyle::standardIcon(standardIcon, option, widget);
}
