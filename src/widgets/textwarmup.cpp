#include "textwarmup.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QString>

void warmUpText(const QFont &font, const QString &text)
{
    // The format of the window's backing store, so the same glyph cache is filled.
    QImage scratch(16, 16, QImage::Format_ARGB32_Premultiplied);
    scratch.fill(Qt::transparent);
    QPainter painter(&scratch);
    painter.setFont(font);
    painter.drawText(QPointF(0, 12), text);
}
