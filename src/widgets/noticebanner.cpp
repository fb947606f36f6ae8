#include "noticebanner.h"

#include <QEvent>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QTimer>

namespace {

const int fadeMs = 600;
const int topMargin = 40;
const int maxShownChars = 600;

} // namespace

// A window of its own: the video is drawn in a native window, which would cover a child widget.
// Without a compositing manager a window cannot be see-through, nor fade: it is opaque, and
// goes when its time is up.
NoticeBanner::NoticeBanner(QWidget *parent)
    : QLabel(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus)
    , fade(new QPropertyAnimation(this, "windowOpacity", this))
    , hideTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("noticeBanner"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setTakesClicks(false);
    setFocusPolicy(Qt::NoFocus);
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setAlignment(Qt::AlignCenter);
    setStyleSheet(QStringLiteral("QLabel#noticeBanner { background-color: rgba(30, 30, 30, 225); color: white;"
                                 " border: 1px solid #4A90E2; border-radius: 10px; padding: 12px 20px;"
                                 " font-size: 14px; }"));
    hide();
    fade->setDuration(fadeMs);
    fade->setStartValue(1.0);
    fade->setEndValue(0.0);
    connect(fade, &QPropertyAnimation::finished, this, &QWidget::hide);
    button = new QPushButton(this);
    button->setObjectName(QStringLiteral("noticeAction"));
    button->setFocusPolicy(Qt::NoFocus);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { background-color: #4A90E2; color: white; border: none;"
                                         " border-radius: 6px; padding: 4px 12px; font-size: 13px; }"
                                         "QPushButton:hover { background-color: #5AA0F2; }"));
    button->hide();
    connect(button, &QPushButton::clicked, this, [this] {
        if (currentAction)
            currentAction();
        fade->start();
    });
    hideTimer->setSingleShot(true);
    connect(hideTimer, &QTimer::timeout, fade, [this] { fade->start(); });
    parent->installEventFilter(this);
}

void NoticeBanner::showNotice(const QString &title, const QString &text)
{
    currentAction = nullptr;
    button->hide();
    setTakesClicks(false);
    currentTitle = title;
    currentText = text;
    // Texts made for a box: their blank lines would make the banner tall.
    QString body = text;
    body.replace(QStringLiteral("\n\n"), QStringLiteral("\n"));
    // A hostile name must not make the banner lay out megabytes.
    if (body.size() > maxShownChars)
        body = body.left(maxShownChars) + QChar(0x2026);
    setText(title.isEmpty() ? body : title + QLatin1Char('\n') + body);
    fade->stop();
    setWindowOpacity(1.0);
    hideTimer->start(shownMs);
    // Over the window only: a notice for a window not on screen has nowhere to be.
    const QWidget *window = parentWidget();
    if (!window->isVisible() || window->isMinimized())
        return;
    place();
    show();
    raise();
}

void NoticeBanner::setAction(const QString &text, std::function<void()> action)
{
    currentAction = std::move(action);
    button->setText(text);
    button->show();
    setTakesClicks(true);
    if (isVisible()) {
        place();
        hideTimer->start(shownWithActionMs);
    }
}

void NoticeBanner::setTakesClicks(bool takes)
{
    setAttribute(Qt::WA_TransparentForMouseEvents, !takes);
    if (windowFlags().testFlag(Qt::WindowTransparentForInput) == !takes)
        return;
    // Changing a window's flags hides it.
    const bool shown = isVisible();
    setWindowFlag(Qt::WindowTransparentForInput, !takes);
    if (shown)
        show();
}

bool NoticeBanner::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget()) {
        switch (event->type()) {
        case QEvent::Resize:
        case QEvent::Move:
            if (isVisible())
                place();
            break;
        case QEvent::Hide:
            hide();
            break;
        case QEvent::WindowStateChange:
            if (parentWidget()->isMinimized())
                hide();
            break;
        default:
            break;
        }
    }
    return QLabel::eventFilter(watched, event);
}

void NoticeBanner::place()
{
    const QWidget *window = parentWidget();
    const int width = qMin(520, window->width() - 40);
    setFixedWidth(qMax(200, width));
    // Room under the text for the button.
    setContentsMargins(0, 0, 0, button->isVisible() ? button->sizeHint().height() + 8 : 0);
    adjustSize();
    move(window->mapToGlobal(QPoint((window->width() - this->width()) / 2, topMargin)));
    if (button->isVisible()) {
        button->adjustSize();
        button->move((this->width() - button->width()) / 2, height() - button->height() - 10);
    }
}
