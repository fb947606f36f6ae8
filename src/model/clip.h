#pragma once

#include "saturating.h"

#include <QColor>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

// One kept range of the source video. A plain value: a copy carries every field.
struct Clip {
    qint64 startTime = 0;
    qint64 endTime = 0;
    qint64 originalStart = 0;
    qint64 originalEnd = 0;
    bool isMarked = false;
    QString name = QStringLiteral("Part 1");
    QColor color = QColor(0, 0, 255);
    QString titleText;
    bool showTitle = false;
    int titleDurationMode = 0;
    int customDuration = 3000;
    bool titleAtTop = true;
    int titleFontSize = 38;
    QColor titleColor = QColor(255, 255, 255);
    bool hasEffects = false;
    int blurIntensity = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    int opacity = 100;
    int fadeInDuration = 0;
    int fadeOutDuration = 0;
    bool grayscale = false;
    bool sepia = false;
    int rotation = 0;
    // Keys a newer version stored with the part, written back as they came. Not compared:
    // they are not part of the edit this version shows.
    QJsonObject extras;

    qint64 length() const { return saturatingSub(originalEnd, originalStart); }
    bool containsSource(qint64 position) const
    {
        return originalStart <= position && position <= originalEnd;
    }

    bool operator==(const Clip &other) const;
    bool operator!=(const Clip &other) const { return !(*this == other); }
};

Q_DECLARE_METATYPE(Clip)

using ClipList = QList<Clip>;

// Colours the program gives the clips it creates.
inline QColor firstClipColor() { return QColor(70, 130, 180); }
inline QColor keptRegionColor() { return QColor(40, 167, 69); }
