// Draws the Trimlet window icon (scissors over a film strip) at every size the
// program ships. Not part of the build; run by hand when the artwork changes:
//   cmake -S resources/tools -B /tmp/makeicons && cmake --build /tmp/makeicons
//   /tmp/makeicons/makeicons resources
#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QRadialGradient>
#include <QTextStream>
#include <QtMath>

#include <cstdio>

namespace {

const QColor accent(0x5a, 0x9f, 0xd4);
const QColor accentDark(0x2d, 0x6a, 0x9a);
const QColor filmColor(0x22, 0x22, 0x22);
const QColor filmEdge(0x4a, 0x4a, 0x4a);
const QColor holeColor(0xd8, 0xde, 0xe4);
const QColor bladeColor(0xf7, 0xf9, 0xfb);
const QColor bladeEdge(0x1a, 0x1a, 0x1a);

QPointF polar(qreal angleDegrees, qreal length)
{
    const qreal radians = qDegreesToRadians(angleDegrees);
    return QPointF(qCos(radians) * length, qSin(radians) * length);
}

// All geometry is in a 256 x 256 design space. Small sizes get fewer, larger
// sprocket holes, heavier outlines and a slightly larger pair of scissors so
// they stay legible.
struct Style {
    int holes = 7;
    qreal holeWidth = 18;
    qreal holeHeight = 18;
    qreal filmEdgeWidth = 5;
    qreal frameGap = 8;
    qreal outline = 4;
    qreal scissorsScale = 1.0;
    qreal bladeWidth = 20;
    qreal ringRadius = 27;
    qreal ringHole = 0.55;
    qreal shankHalfWidth = 7;
    bool shaded = true;
    bool frames = true;
};

Style styleFor(int size)
{
    Style style;
    if (size <= 16) {
        style.holes = 3;
        style.holeWidth = 40;
        style.holeHeight = 26;
        style.filmEdgeWidth = 0;
        style.frameGap = 16;
        style.outline = 0;
        style.scissorsScale = 1.15;
        style.bladeWidth = 30;
        style.ringRadius = 32;
        style.ringHole = 0.4;
        style.shankHalfWidth = 11;
        style.shaded = false;
        // At this size the blue rings would melt into blue frames.
        style.frames = false;
    } else if (size <= 32) {
        style.holes = 4;
        style.holeWidth = 30;
        style.holeHeight = 24;
        style.filmEdgeWidth = 10;
        style.frameGap = 12;
        style.outline = 7;
        style.scissorsScale = 1.1;
        style.bladeWidth = 26;
        style.ringRadius = 30;
        style.ringHole = 0.42;
        style.shankHalfWidth = 9;
        style.shaded = false;
    }
    return style;
}

QPen outlinePen(qreal width)
{
    if (width <= 0)
        return Qt::NoPen;
    return QPen(bladeEdge, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void drawFilmStrip(QPainter &p, const Style &style)
{
    const QRectF strip(14, 46, 228, 164);
    p.setPen(style.filmEdgeWidth > 0 ? QPen(filmEdge, style.filmEdgeWidth) : QPen(Qt::NoPen));
    p.setBrush(filmColor);
    p.drawRoundedRect(strip, 18, 18);

    const qreal margin = 30;
    const qreal step = (strip.width() - 2 * margin) / style.holes;
    p.setPen(Qt::NoPen);
    p.setBrush(holeColor);
    for (int i = 0; i < style.holes; ++i) {
        const qreal cx = strip.left() + margin + step * (i + 0.5);
        for (qreal cy : {strip.top() + 20, strip.bottom() - 20})
            p.drawRoundedRect(QRectF(cx - style.holeWidth / 2, cy - style.holeHeight / 2,
                                     style.holeWidth, style.holeHeight), 4, 4);
    }

    if (!style.frames)
        return;
    // Two picture frames with the cut between them, under the pivot.
    const qreal frameTop = strip.top() + 40;
    const qreal frameBottom = strip.bottom() - 40;
    QLinearGradient sky(0, frameTop, 0, frameBottom);
    sky.setColorAt(0, QColor(0x3b, 0x6f, 0x99));
    sky.setColorAt(1, QColor(0x1d, 0x36, 0x4c));
    p.setBrush(sky);
    const qreal inset = strip.left() + 14;
    const qreal half = style.frameGap / 2;
    p.drawRoundedRect(QRectF(inset, frameTop, 128 - half - inset, frameBottom - frameTop), 6, 6);
    p.drawRoundedRect(QRectF(128 + half, frameTop, 256 - inset - 128 - half, frameBottom - frameTop),
                      6, 6);
}

QPainterPath bladePath(qreal angle, qreal length, qreal width, bool cuttingEdgeLeft)
{
    // A blade runs from just behind the pivot to its tip; one edge is the
    // straight cutting edge, the other the curved back.
    const QPointF dir = polar(angle, 1);
    const QPointF normal(-dir.y(), dir.x());
    const qreal side = cuttingEdgeLeft ? 1 : -1;
    const QPointF base = -dir * 14;
    const QPointF tip = dir * length;
    QPainterPath path;
    path.moveTo(base + normal * side * 2);
    path.lineTo(tip);
    path.quadTo(dir * (length * 0.45) - normal * side * width * 1.1, base - normal * side * width);
    path.closeSubpath();
    return path;
}

void drawHandle(QPainter &p, const Style &style, qreal angle, qreal reach)
{
    const QPointF centre = polar(angle, reach);
    const qreal radius = style.ringRadius;
    const qreal holeRadius = radius * style.ringHole;
    const QPointF dir = polar(angle, 1);
    const QPointF normal(-dir.y(), dir.x());
    const qreal half = style.shankHalfWidth;
    QPainterPath shank;
    shank.moveTo(normal * half);
    shank.lineTo(centre + normal * half);
    shank.lineTo(centre - normal * half);
    shank.lineTo(-normal * half);
    shank.closeSubpath();

    QPainterPath ring;
    ring.addEllipse(centre, radius, radius * 0.86);
    QPainterPath hole;
    hole.addEllipse(centre, holeRadius, holeRadius * 0.8);

    p.setPen(outlinePen(style.outline));
    if (style.shaded) {
        QRadialGradient shade(centre - QPointF(radius * 0.4, radius * 0.4), radius * 1.6);
        shade.setColorAt(0, accent.lighter(115));
        shade.setColorAt(1, accent);
        p.setBrush(shade);
    } else {
        p.setBrush(accent);
    }
    p.drawPath(shank.united(ring).subtracted(hole));
}

void drawScissors(QPainter &p, const Style &style)
{
    p.save();
    p.translate(128, 128);
    p.rotate(38);
    p.scale(style.scissorsScale, style.scissorsScale);

    const qreal spread = 12;
    const qreal bladeLength = 104;
    const qreal handleReach = 58;

    // Each half is one rigid piece: its blade on one side of the pivot, its
    // handle on the other. The rear half is drawn first.
    drawHandle(p, style, 90 - 32, handleReach);
    p.setPen(outlinePen(style.outline));
    p.setBrush(bladeColor);
    p.drawPath(bladePath(-90 - spread, bladeLength, style.bladeWidth, false));

    drawHandle(p, style, 90 + 32, handleReach);
    p.setPen(outlinePen(style.outline));
    p.setBrush(bladeColor);
    p.drawPath(bladePath(-90 + spread, bladeLength, style.bladeWidth, true));

    p.setPen(outlinePen(style.outline * 0.75));
    p.setBrush(accentDark);
    p.drawEllipse(QPointF(0, 0), 8 + style.outline / 4, 8 + style.outline / 4);
    p.restore();
}

QImage renderIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);
    const Style style = styleFor(size);
    drawFilmStrip(p, style);
    drawScissors(p, style);
    p.end();
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    const QDir outDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const QString path = outDir.filePath(QStringLiteral("Trimlet_%1x%1.png").arg(size));
        if (!renderIcon(size).convertToFormat(QImage::Format_ARGB32).save(path, "PNG", 9)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        QTextStream(stdout) << path << '\n';
    }
    return 0;
}
