#include "stillframeeffects.h"

#include "widgetslog.h"

#include <QColor>
#include <QGraphicsBlurEffect>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QPainter>
#include <QPixmap>

#include <algorithm>

namespace {

int clampChannel(int value)
{
    return std::clamp(value, 0, 255);
}

QImage blurred(const QImage &image, int intensity)
{
    qCDebug(widgetsLog) << "Applying blur:" << intensity;
    const qreal radius = intensity * 2.0;
    QGraphicsScene scene;
    auto *item = new QGraphicsPixmapItem(QPixmap::fromImage(image));
    auto *blur = new QGraphicsBlurEffect;
    blur->setBlurRadius(radius);
    blur->setBlurHints(QGraphicsBlurEffect::QualityHint);
    item->setGraphicsEffect(blur);
    scene.addItem(item);

    QImage result(image.size(), QImage::Format_ARGB32);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    scene.render(&painter, QRectF(), QRectF(0, 0, image.width(), image.height()));
    painter.end();
    qCDebug(widgetsLog) << "Strong blur applied with radius:" << radius;
    return result;
}

template <typename PixelFunction>
void forEachPixel(QImage &image, PixelFunction function)
{
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = function(line[x]);
    }
}

QRgb saturated(QRgb pixel, double factor)
{
    QColor color = QColor::fromRgb(pixel);
    int h = 0, s = 0, v = 0;
    color.getHsv(&h, &s, &v);
    color.setHsv(h, clampChannel(int(s * factor)), v);
    return qRgba(color.red(), color.green(), color.blue(), qAlpha(pixel));
}

} // namespace

QImage StillFrameEffects::apply(const QImage &image) const
{
    if (image.isNull())
        return {};
    // One 32-bit layout for every pass; the source frame may be in any format.
    QImage work = image.convertToFormat(QImage::Format_ARGB32);
    qCDebug(widgetsLog) << "Image size:" << work.size() << "format:" << work.format();

    if (blurIntensity > 0)
        work = blurred(work, blurIntensity);

    if (grayscale) {
        forEachPixel(work, [](QRgb p) {
            const int g = (11 * qRed(p) + 16 * qGreen(p) + 5 * qBlue(p)) / 32;
            return qRgba(g, g, g, qAlpha(p));
        });
    }

    if (sepia) {
        forEachPixel(work, [](QRgb p) {
            const int r = qRed(p), g = qGreen(p), b = qBlue(p);
            return qRgba(clampChannel(int(0.393 * r + 0.769 * g + 0.189 * b)),
                         clampChannel(int(0.349 * r + 0.686 * g + 0.168 * b)),
                         clampChannel(int(0.272 * r + 0.534 * g + 0.131 * b)), qAlpha(p));
        });
    }

    if (brightness != 0 || contrast != 0 || saturation != 0) {
        const float factor = (contrast + 100) / 100.0f;
        const double saturationFactor = (saturation + 100) / 100.0;
        const int delta = brightness;
        const bool adjustSaturation = saturation != 0;
        forEachPixel(work, [=](QRgb p) {
            auto channel = [&](int v) {
                v = clampChannel(v + delta);
                return clampChannel(int(factor * float(v - 128) + 128.0f));
            };
            const QRgb adjusted = qRgba(channel(qRed(p)), channel(qGreen(p)), channel(qBlue(p)), qAlpha(p));
            return adjustSaturation ? saturated(adjusted, saturationFactor) : adjusted;
        });
    }

    if (opacity <= 99) {
        const int level = std::max(opacity, 0);
        forEachPixel(work, [level](QRgb p) {
            return qRgba(qRed(p), qGreen(p), qBlue(p), qAlpha(p) * level / 100);
        });
    }
    return work;
}
