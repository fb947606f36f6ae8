#include "clip.h"

bool Clip::operator==(const Clip &o) const
{
    return startTime == o.startTime && endTime == o.endTime && originalStart == o.originalStart
        && originalEnd == o.originalEnd && isMarked == o.isMarked && name == o.name
        && color == o.color && titleText == o.titleText && showTitle == o.showTitle
        && titleDurationMode == o.titleDurationMode && customDuration == o.customDuration
        && titleAtTop == o.titleAtTop && titleFontSize == o.titleFontSize
        && titleColor == o.titleColor && hasEffects == o.hasEffects
        && blurIntensity == o.blurIntensity && brightness == o.brightness
        && contrast == o.contrast && saturation == o.saturation && opacity == o.opacity
        && fadeInDuration == o.fadeInDuration && fadeOutDuration == o.fadeOutDuration
        && grayscale == o.grayscale && sepia == o.sepia && rotation == o.rotation;
}
