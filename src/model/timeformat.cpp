#include "timeformat.h"

#include <algorithm>

QString formatTime(qint64 ms)
{
    const qint64 minutes = ms / 60000;
    const qint64 seconds = ms / 1000 - minutes * 60;
    return QStringLiteral("%1:%2")
        .arg(minutes, 2, 10, QLatin1Char('0'))
        .arg(seconds, 2, 10, QLatin1Char('0'));
}

QString formatPreciseTime(qint64 ms)
{
    const qint64 whole = std::max<qint64>(ms, 0);
    return QStringLiteral("%1.%2").arg(formatTime(whole)).arg(whole % 1000, 3, 10, QLatin1Char('0'));
}

QString formatHundredths(qint64 ms, qint64 scaleMs)
{
    const qint64 whole = std::max<qint64>(ms, 0);
    const QString hundredths = QStringLiteral(".%1").arg(whole % 1000 / 10, 2, 10, QLatin1Char('0'));
    if (std::max(whole, scaleMs) >= 60000)
        return formatTime(whole) + hundredths;
    return QStringLiteral("%1").arg(whole / 1000, 2, 10, QLatin1Char('0')) + hundredths;
}
