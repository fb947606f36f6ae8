#include "dropshadow.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>

#include <vector>

namespace {

// One box pass of the given half width over a line of alpha values; edges read as clear.
void boxPass(std::vector<int> &line, int half)
{
    const int length = int(line.size());
    std::vector<int> prefix(length + 1, 0);
    for (int i = 0; i < length; ++i)
        prefix[i + 1] = prefix[i] + line[i];
    const int width = 2 * half + 1;
    for (int i = 0; i < length; ++i) {
        const int from = qMax(0, i - half);
        const int to = qMin(length, i + half + 1);
        line[i] = (prefix[to] - prefix[from] + width / 2) / width;
    }
}

// Three box passes each way come close to a Gaussian blur of the alpha channel.
QImage blurredAlpha(const QImage &mask, int radius)
{
    const int width = mask.width();
    const int height = mask.height();
    std::vector<int> alpha(size_t(width) * height);
    for (int y = 0; y < height; ++y) {
        const uchar *row = mask.constScanLine(y);
        for (int x = 0; x < width; ++x)
            alpha[size_t(y) * width + x] = row[x];
    }
    const int half = qMax(1, radius / 3);
    std::vector<int> line;
    for (int y = 0; y < height; ++y) {
        line.assign(alpha.begin() + size_t(y) * width, alpha.begin() + size_t(y + 1) * width);
        for (int pass = 0; pass < 3; ++pass)
            boxPass(line, half);
        std::copy(line.begin(), line.end(), alpha.begin() + size_t(y) * width);
    }
    line.resize(height);
    for (int x = 0; x < width; ++x) {
        for (int y = 0; y < height; ++y)
            line[y] = alpha[size_t(y) * width + x];
        for (int pass = 0; pass < 3; ++pass)
            boxPass(line, half);
        for (int y = 0; y < height; ++y)
            alpha[size_t(y) * width + x] = line[y];
    }
    QImage result(width, height, QImage::Format_Alpha8);
    for (int y = 0; y < height; ++y) {
        uchar *row = result.scanLine(y);
        for (int x = 0; x < width; ++x)
            row[x] = uchar(alpha[size_t(y) * width + x]);
    }
    return result;
}

// The blurred shadow of a rounded rectangle, of the given size, from its blur at the smallest
// size that holds its corners and one flat row and column between them: the blur reaches no
// further than `edge` from a corner, so rows and columns past that are copies of the middle one.
QImage stretchedCorners(const QImage &tile, const QSize &size, int edge)
{
    const auto source = [edge](int at, int length) {
        if (at < edge)
            return at;
        if (at >= length - edge)
            return at - (length - (2 * edge + 1));
        return edge;
    };
    QImage result(size, QImage::Format_Alpha8);
    for (int y = 0; y < size.height(); ++y) {
        const uchar *from = tile.constScanLine(source(y, size.height()));
        uchar *row = result.scanLine(y);
        for (int x = 0; x < size.width(); ++x)
            row[x] = from[source(x, size.width())];
    }
    return result;
}

} // namespace

DropShadow::DropShadow(QWidget *target, int blurRadius, QPoint offset, QColor color, int cornerRadius)
    : QWidget(target->parentWidget())
    , target(target)
    , blurRadius(blurRadius)
    , offset(offset)
    , color(color)
    , cornerRadius(cornerRadius)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    target->installEventFilter(this);
    follow();
}

const QImage &DropShadow::image()
{
    if (shadow.size() != size() && !size().isEmpty()) {
        const auto blurred = [this](const QSize &body) {
            QImage mask(body + QSize(2 * blurRadius, 2 * blurRadius), QImage::Format_Alpha8);
            mask.fill(0);
            QPainter painter(&mask);
            painter.setRenderHint(QPainter::Antialiasing);
            QPainterPath outline;
            outline.addRoundedRect(QRectF(QPointF(blurRadius, blurRadius), body), cornerRadius, cornerRadius);
            painter.fillPath(outline, QColor(0, 0, 0, color.alpha()));
            painter.end();
            return blurredAlpha(mask, blurRadius);
        };
        // Blurred at full size, a video-sized shadow took 10-20 ms of the GUI thread on every
        // resize of the window.
        const int reach = 3 * qMax(1, blurRadius / 3);
        const int inner = cornerRadius + reach;
        const QImage alpha = target->width() > 2 * inner && target->height() > 2 * inner
            ? stretchedCorners(blurred(QSize(2 * inner + 1, 2 * inner + 1)), size(), blurRadius + inner)
            : blurred(target->size());
        shadow = QImage(size(), QImage::Format_ARGB32_Premultiplied);
        shadow.fill(Qt::transparent);
        QPainter tint(&shadow);
        tint.drawImage(0, 0, alpha);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(shadow.rect(), QColor(color.red(), color.green(), color.blue()));
    }
    return shadow;
}

bool DropShadow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == target) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
            follow();
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void DropShadow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.drawImage(0, 0, image());
}

void DropShadow::follow()
{
    setGeometry(target->geometry().adjusted(-blurRadius, -blurRadius, blurRadius, blurRadius).translated(offset));
    // The target hides the shadow's middle. Left out of the widget, it is never painted: the
    // video above it repaints whole many times a second.
    const QRect hidden = QRect(QPoint(blurRadius, blurRadius) - offset, target->size())
                             .adjusted(cornerRadius, cornerRadius, -cornerRadius, -cornerRadius);
    if (hidden.isValid())
        setMask(QRegion(rect()).subtracted(hidden));
    else
        clearMask();
    setVisible(!target->isHidden());
    stackUnder(target);
}
