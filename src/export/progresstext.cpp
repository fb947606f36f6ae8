#include "progresstext.h"

namespace ProgressText {

namespace {

QString clock(qint64 ms)
{
    const qint64 seconds = qMax<qint64>(0, (ms + 500) / 1000);
    const qint64 hours = seconds / 3600;
    const QString minutesAndSeconds = QStringLiteral("%1:%2")
                                          .arg(hours > 0 ? QStringLiteral("%1").arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                                                         : QString::number(seconds / 60))
                                          .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return hours > 0 ? QString::number(hours) + QLatin1Char(':') + minutesAndSeconds : minutesAndSeconds;
}

} // namespace

QString describe(int percent, qint64 elapsedMs, qint64 mediaMs)
{
    percent = qBound(0, percent, 100);
    QString text = QStringLiteral("Exporting video... %1%").arg(percent);
    // The first second says too little about the speed to be worth a guess.
    if (elapsedMs < 1000)
        return text;
    text += QLatin1Char('\n') + clock(elapsedMs) + QStringLiteral(" elapsed");
    if (percent <= 0 || percent >= 100)
        return text;
    const double done = percent / 100.0;
    if (mediaMs > 0) {
        const double speed = done * double(mediaMs) / double(elapsedMs);
        text += QStringLiteral(" · %1× real time").arg(speed, 0, 'f', speed < 10 ? 1 : 0);
    }
    const qint64 leftMs = qint64(double(elapsedMs) * (1.0 - done) / done);
    text += QStringLiteral(" · about %1 left").arg(clock(leftMs));
    return text;
}

} // namespace ProgressText
