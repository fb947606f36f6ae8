#pragma once

#include <QImage>
#include <QMetaType>

// The effects the still-frame preview shows, as set in the effects dialog. Fades and
// rotation depend on time and the frame path, so they are left out here.
struct StillFrameEffects {
    int blurIntensity = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    int opacity = 100;
    bool grayscale = false;
    bool sepia = false;

    // A processed copy of image: blur, grayscale, sepia, colour pass, opacity, in that order.
    QImage apply(const QImage &image) const;
};

Q_DECLARE_METATYPE(StillFrameEffects)
