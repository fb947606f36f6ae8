#include "noticebanner.h"

#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QPropertyAnimation>
#include <QTimer>

namespace {

const int fadeMs = 600;
const int topMargin = 40;

} // namespace

NoticeBanner::NoticeBanner(QWidget *parent)
    : QLabel(parent)
    , opacity(new QGraphicsOpacityEffect(this))
    , fade(new QPropertyAnimation(opacity, "opacity", this))
    , hideTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("noticeBanner"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setAlignment(Qt::AlignCenter);
    setStyleSheet(QStringLiteral("QLabel#noticeBanner { background-color: rgba(30, 30, 30, 225); color: white;"
                                 " border: 1px solid #4A90E2; border-radius: 10px; padding: 12px 20px;"
                                 " font-size: 14px; }"));
    setGraphicsEffect(opacity);
    hide();
    fade->setDuration(fadeMs);
    fade->setStartValue(1.0);
    fade->setEndValue(0.0);
    connect(fade, &QPropertyAnimation::finished, this, &QWidget::hide);
    hideTimer->setSingleShot(true);
    connect(hideTimer, &QTimer::timeout, fade, [this] { fade->start(); });
    parent->installEventFilter(this);
}

void NoticeBanner::showNotice(const QString &title, const QString &text)
{
    currentTitle = title;
    currentText = text;
    // Texts made for a box: their blank lines would make the banner tall.
    QString body = text;
    body.replace(QStringLiteral("\n\n"), QStringLiteral("\n"));
    setText(title.isEmpty() ? body : title + QLatin1Char('\n') + body);
    fade->stop();
    opacity->setOpacity(1.0);
    place();
    show();
    raise();
    hideTimer->start(shownMs);
}

bool NoticeBanner::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize && isVisible())
        place();
    return QLabel::eventFilter(watched, event);
}

void NoticeBanner::place()
{
    const QWidget *window = parentWidget();
    const int width = qMin(520, window->width() - 40);
    setFixedWidth(qMax(200, width));
    adjustSize();
    move((window->width() - this->width()) / 2, topMargin);
}
