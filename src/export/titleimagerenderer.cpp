#include "titleimagerenderer.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

namespace {

int titlePixelSize(int fontSize)
{
    return fontSize <= 0 ? 38 : qBound(16, fontSize, 120);
}

struct Layout {
    QStringList lines;
    int padding = 0;
    int lineHeight = 0;
    int ascent = 0;
    QRect box;
};

} // namespace

TitleImageRenderer::TitleImageRenderer(const QFont &baseFont)
    : baseFont(baseFont)
{
}

QFont TitleImageRenderer::titleFont(const Clip &clip) const
{
    QFont font = baseFont;
    font.setPixelSize(titlePixelSize(clip.titleFontSize));
    return font;
}

QStringList TitleImageRenderer::wrapLines(const QString &text, const QFont &font, int frameWidth) const
{
    const QFontMetrics metrics(font);
    const int maxWidth = frameWidth * 800 / 960;
    QStringList lines;
    const QStringList paragraphs = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &paragraph : paragraphs) {
        QString current;
        const QStringList words = paragraph.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const QString &word : words) {
            const QString candidate = current.isEmpty() ? word : current + QLatin1Char(' ') + word;
            if (metrics.horizontalAdvance(candidate) > maxWidth) {
                if (!current.isEmpty())
                    lines << current;
                current = word;
            } else {
                current = candidate;
            }
        }
        if (!current.isEmpty())
            lines << current;
    }
    return lines;
}

static Layout layoutTitle(const TitleImageRenderer &renderer, const Clip &clip, const QSize &frame)
{
    const int w = frame.width();
    const int h = frame.height();
    const QFont font = renderer.titleFont(clip);
    const QFontMetrics metrics(font);

    Layout layout;
    layout.lines = renderer.wrapLines(clip.titleText, font, w);
    layout.padding = w * 30 / 960;
    layout.lineHeight = metrics.height();
    layout.ascent = metrics.ascent();
    int widest = 0;
    for (const QString &line : layout.lines)
        widest = qMax(widest, metrics.horizontalAdvance(line));
    const int boxWidth = widest + 2 * layout.padding;
    const int boxHeight = int(layout.lines.size()) * layout.lineHeight + 2 * layout.padding;
    const int x = (w - boxWidth) / 2;
    const int y = clip.titleAtTop ? h * 50 / 540 : (h - boxHeight) / 2;
    layout.box = QRect(x, y, boxWidth, boxHeight);
    return layout;
}

QRect TitleImageRenderer::boxRect(const Clip &clip, const QSize &frameSize) const
{
    return layoutTitle(*this, clip, frameSize).box;
}

QImage TitleImageRenderer::render(const Clip &clip, const QSize &frameSize) const
{
    QImage image(frameSize, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    const Layout layout = layoutTitle(*this, clip, frameSize);
    const qreal strokeWidth = frameSize.width() * 6.0 / 960.0;

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    painter.setPen(QPen(QBrush(Qt::white), strokeWidth, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(QColor(0, 0, 0, 200));
    painter.drawRect(layout.box);

    const QColor textColor = clip.titleColor.isValid() ? clip.titleColor : QColor(Qt::white);
    const QFont font = titleFont(clip);
    for (int k = 0; k < layout.lines.size(); ++k) {
        QPainterPath path;
        path.addText(layout.box.x() + layout.padding,
                     layout.box.y() + layout.padding + layout.ascent + k * layout.lineHeight, font,
                     layout.lines.at(k));
        painter.strokePath(path, QPen(QBrush(Qt::black), strokeWidth, Qt::SolidLine, Qt::RoundCap,
                                      Qt::RoundJoin));
        painter.fillPath(path, textColor);
    }
    painter.end();
    return image;
}
