#include "titleoverlay.h"

#include "playerlog.h"
#include "titleoverlaylayout.h"

#include <QGraphicsDropShadowEffect>
#include <QPainter>
#include <QStyleOption>

namespace {

QGraphicsDropShadowEffect *makeShadow(QObject *parent)
{
    auto *shadow = new QGraphicsDropShadowEffect(parent);
    shadow->setBlurRadius(20);
    shadow->setColor(QColor(0, 0, 0, 220));
    shadow->setOffset(0, 0);
    return shadow;
}

} // namespace

TitleOverlay::TitleOverlay()
    : QLabel(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("titleOverlay"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setAlignment(Qt::AlignCenter);
    // The text arrives wrapped to the box; wrapping again would push the last word of a
    // line that fits to the exact pixel onto a line the box has no room for.
    setWordWrap(false);
    QFont base = font();
    base.setBold(true);
    base.setPixelSize(38);
    setFont(base);
    setStyleSheet(QStringLiteral("QLabel { background: black; color: white; padding: 20px 40px;"
                                 " border-radius: 12px; border: 6px solid white; }"));
    titleShadow = makeShadow(this);
    setGraphicsEffect(titleShadow);
    hide();
}

bool TitleOverlay::layOut(const Clip &clip, const QRect &videoArea)
{
    const QFont clipFont = titleFont(clip, font());
    setFont(clipFont);
    setStyleSheet(titleStyleSheet(clip));

    QString wrapped;
    const QRect geometry = computeTitleOverlayGeometry(clip, clipFont, videoArea, &wrapped);
    if (geometry.right() < geometry.left() || geometry.bottom() < geometry.top()) {
        qCDebug(playerLog) << "Skipping title overlay - invalid geometry";
        return false;
    }
    setShadowEnabled(titleOverlayWantsShadow(geometry));

    setTextFormat(Qt::PlainText);
    setScaledContents(false);
    setText(wrapped.isEmpty() ? clip.titleText : wrapped);
    setGeometry(geometry);
    return true;
}

void TitleOverlay::paintEvent(QPaintEvent *event)
{
    // A translucent top-level window gets no styled background of its own: the box,
    // its border and its rounded corners are drawn here.
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
    painter.end();
    QLabel::paintEvent(event);
}

void TitleOverlay::setShadowEnabled(bool enabled)
{
    if (!enabled) {
        setGraphicsEffect(nullptr);
        return;
    }
    if (!titleShadow)
        titleShadow = makeShadow(this);
    titleShadow->setBlurRadius(20);
    setGraphicsEffect(titleShadow);
}
