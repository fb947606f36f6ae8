#pragma once

#include <QProxyStyle>

// The application's own style, unchanged but for one icon. The menu bar's constructor asks
// for its extension button's icon, which the window never shows with three menus; reading
// that file made Qt load every image plugin to probe it, before the window's first paint.
// That icon is read when first drawn.
class QuietStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    QIcon standardIcon(StandardPixmap standardIcon, const QStyleOption *option = nullptr,
                       const QWidget *widget = nullptr) const override;
};
