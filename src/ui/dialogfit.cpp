#include "dialogfit.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QWidget>

namespace DialogFit {

namespace {

// The window's size and place, its frame left out: its hint within the area, never below its minimum.
QRect fittedGeometry(const QSize &sizeHint, const QSize &minimumSize, const QMargins &frame, const QRect &area,
                     const QRect &parentFrame, Placement placement)
{
    if (area.isEmpty())
        return QRect(QPoint(), sizeHint);
    const QSize room = area.size().shrunkBy(frame);
    const QSize size = sizeHint.boundedTo(room).expandedTo(minimumSize);
    const QSize outer = size.grownBy(frame);

    const QRect reference = parentFrame.isEmpty() ? area : parentFrame;
    QPoint corner;
    if (placement == Placement::RightOfParent && !parentFrame.isEmpty())
        corner = QPoint(reference.right() + 1 - outer.width(), reference.top());
    else
        corner = reference.center() - QPoint(outer.width() / 2, outer.height() / 2);
    // Within the area, the top-left corner first should the frame not fit at all.
    corner.setX(qMax(area.left(), qMin(corner.x(), area.right() + 1 - outer.width())));
    corner.setY(qMax(area.top(), qMin(corner.y(), area.bottom() + 1 - outer.height())));
    return QRect(corner + QPoint(frame.left(), frame.top()), size);
}

class ScreenKeeper : public QObject {
public:
    ScreenKeeper(QWidget *window, Placement placement)
        : QObject(window)
        , placement(placement)
    {
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Before the dialog's own show handling, which centres it only when it was not placed.
        if (event->type() == QEvent::Show && !event->spontaneous() && watched == parent())
            fit(static_cast<QWidget *>(watched));
        return false;
    }

private:
    void fit(QWidget *window) const
    {
        QWidget *parentWindow = window->parentWidget() ? window->parentWidget()->window() : nullptr;
        const QRect parentFrame = parentWindow && parentWindow->isVisible() ? parentWindow->frameGeometry() : QRect();
        // A window not yet shown has no frame: the parent's is the best guess of the one it will get.
        QMargins frame = frameMargins(window);
        if (frame.isNull() && parentWindow)
            frame = frameMargins(parentWindow);
        const QRect placed = fittedGeometry(window->sizeHint(), window->minimumSize(), frame, availableArea(window),
                                            parentFrame, placement);
        window->resize(placed.size());
        window->move(placed.topLeft() - QPoint(frame.left(), frame.top()));
    }

    static QMargins frameMargins(const QWidget *window)
    {
        const QRect outer = window->frameGeometry();
        const QRect inner = window->geometry();
        return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                outer.bottom() - inner.bottom()};
    }

    Placement placement;
};

} // namespace

BodyScrollArea::BodyScrollArea(QWidget *body, QWidget *parent)
    : QScrollArea(parent)
{
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWidget(body);
    // The dialog's own background shows through.
    body->setAutoFillBackground(false);
    viewport()->setAutoFillBackground(false);
}

QSize BodyScrollArea::sizeHint() const
{
    // QScrollArea's own hint stops at 24 lines of text; a dialog's body wants all of its height,
    // and room for the scroll bar so that a scrolling body keeps its width.
    const QSize body = widget() ? widget()->sizeHint() : QSize();
    return QSize(body.width() + verticalScrollBar()->sizeHint().width(), body.height());
}

QSize BodyScrollArea::minimumSizeHint() const
{
    const QSize body = widget() ? widget()->minimumSizeHint() : QSize();
    return QSize(body.width() + verticalScrollBar()->sizeHint().width(), qMin(body.height(), 120));
}

QRect availableArea(const QWidget *window)
{
    const QScreen *screen = window->screen();
    if (!screen && window->parentWidget())
        screen = window->parentWidget()->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

void keepOnScreen(QWidget *window, Placement placement)
{
    window->installEventFilter(new ScreenKeeper(window, placement));
}

} // namespace DialogFit
