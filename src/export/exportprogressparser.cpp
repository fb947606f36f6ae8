#include "exportprogressparser.h"

#include "ffmpegerrors.h"

#include <QRegularExpression>

namespace {

// Enough that an encoder's statistics after the reason do not push it out.
const qsizetype keptMessages = 200;

} // namespace

QStringList ExportProgressParser::feed(const QByteArray &chunk)
{
    buffer.append(chunk);
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < buffer.size(); ++i) {
        const char c = buffer.at(i);
        if (c != '\r' && c != '\n')
            continue;
        if (i > start)
            lines.append(QString::fromUtf8(buffer.constData() + start, i - start));
        start = i + 1;
    }
    buffer.remove(0, start);
    for (const QString &line : std::as_const(lines)) {
        if (isNoise(line))
            continue;
        messages.append(line);
        if (messages.size() > keptMessages)
            messages.removeFirst();
    }
    return lines;
}

bool ExportProgressParser::isNoise(const QString &line)
{
    if (line.trimmed().isEmpty() || line.at(0).isSpace())
        return true;
    if (line.contains(QLatin1String("time=")) && (line.contains(QLatin1String("bitrate=")) || line.contains(QLatin1String("speed="))))
        return true;
    static const char *const listing[] = {"ffmpeg version", "Input #", "Output #", "Stream mapping:",
                                          "Press [q]", "frame=", "size="};
    for (const char *start : listing)
        if (line.startsWith(QLatin1String(start)))
            return true;
    return false;
}

QString ExportProgressParser::messageTail(int maxChars) const
{
    return errorDetails(messageText(), maxChars);
}

int ExportProgressParser::progress(const QByteArray &chunk, qint64 totalMs)
{
    const QStringList lines = feed(chunk);
    for (const QString &line : lines) {
        const qint64 elapsed = elapsedMs(line);
        if (elapsed >= 0)
            return percent(elapsed, totalMs);
    }
    return -1;
}

qint64 ExportProgressParser::elapsedMs(const QString &text)
{
    static const QRegularExpression time(QStringLiteral("time=(\\d{2}):(\\d{2}):(\\d{2})\\.(\\d{2})"));
    const QRegularExpressionMatch match = time.match(text);
    if (!match.hasMatch())
        return -1;
    const qint64 h = match.captured(1).toLongLong();
    const qint64 m = match.captured(2).toLongLong();
    const qint64 s = match.captured(3).toLongLong();
    const qint64 cs = match.captured(4).toLongLong();
    return (h * 3600 + m * 60 + s) * 1000 + cs * 10;
}

int ExportProgressParser::percent(qint64 elapsed, qint64 totalMs)
{
    if (totalMs <= 0)
        return -1;
    return int(qMin<qint64>(elapsed * 100 / totalMs, 99));
}
