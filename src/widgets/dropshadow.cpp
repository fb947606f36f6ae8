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

// The alpha mask in the shadow's colour, premultiplied, ready to draw.
QImage tinted(const QImage &alpha, const QColor &color)
{
    QImage result(alpha.size(), QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    QPainter tint(&result);
    tint.drawImage(0, 0, alpha);
    tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
    tint.fillRect(result.rect(), QColor(color.red(), color.green(), color.blue()));
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

QImage DropShadow::blurred(const QSize &body) const
{
    QImage mask(body + QSize(2 * blurRadius, 2 * blurRadius), QImage::Format_Alpha8);
    mask.fill(0);
    QPainter painter(&mask);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(QPointF(blurRadius, blurRadius), body), cornerRadius, cornerRadius);
    painter.fillPath(outline, QColor(0, 0, 0, color.alpha()));
    painter.end();
    return blurredAlpha(mask, blurRadius);
}

// The blur reaches no further than `edge` from a corner, so rows and columns past that are
// copies of the middle one: the shadow of any size is drawn from its blur at the smallest size
// that holds its corners and one flat row and column between them, in nine pieces. A whole
// video-sized shadow took 10-20 ms to blur on every resize of the window, and made once per
// size it took 3.5 ms of the first paint and 2.6 MB.
void DropShadow::paintShadow(QPainter &painter)
{
    const int reach = 3 * qMax(1, blurRadius / 3);
    const int inner = cornerRadius + reach;
    if (target->width() <= 2 * inner || target->height() <= 2 * inner) {
        if (whole.size() != size())
            whole = tinted(blurred(target->size()), color);
        painter.drawImage(0, 0, whole);
        return;
    }
    whole = QImage();
    if (tile.isNull())
        tile = tinted(blurred(QSize(2 * inner + 1, 2 * inner + 1)), color);
    const int edge = blurRadius + inner;
    const int xs[4] = {0, edge, width() - edge, width()};
    const int ys[4] = {0, edge, height() - edge, height()};
    const int from[4] = {0, edge, edge + 1, 2 * edge + 1};
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            const QRect to(xs[column], ys[row], xs[column + 1] - xs[column], ys[row + 1] - ys[row]);
            if (!to.isEmpty()) {
                painter.drawImage(to, tile,
                                  QRect(from[column], from[row], from[column + 1] - from[column],
                                        from[row + 1] - from[row]));
            }
        }
    }
}

const QImage &DropShadow::image()
{
    if (drawn.size() != size() && !size().isEmpty()) {
        drawn = QImage(size(), QImage::Format_ARGB32_Premultiplied);
        drawn.fill(Qt::transparent);
        QPainter painter(&drawn);
        paintShadow(painter);
    }
    return drawn;
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
    paintShadow(painter);
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
