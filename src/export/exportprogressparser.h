#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Turns ffmpeg's standard error into a progress percentage. Reads can end in the
// middle of a status line, so only complete lines (ended by '\r' or '\n') are
// searched; the rest waits for the next read.
class ExportProgressParser {
public:
    // Adds a read; returns the lines it completed, without their ends.
    QStringList feed(const QByteArray &chunk);
    // Adds a read; returns the percentage of the first "time=" among the lines it
    // completed, or -1 when there is none or the total is not positive.
    int progress(const QByteArray &chunk, qint64 totalMs);

    QByteArray pending() const { return buffer; }
    void reset()
    {
        buffer.clear();
        messages.clear();
    }
    // The last lines that say why ffmpeg failed (errorDetails over the lines that are not
    // noise), whole lines each ended by '\n', within maxChars.
    QString messageTail(int maxChars) const;
    // Those lines as they came, one a line.
    QString messageText() const { return messages.join(QLatin1Char('\n')); }
    // A status line ("frame= ... time=... bitrate=... speed=...") or ffmpeg's banner, stream
    // listing and other indented detail.
    static bool isNoise(const QString &line);

    // Milliseconds of the first "time=hh:mm:ss.cc" in text, or -1.
    static qint64 elapsedMs(const QString &text);
    // elapsed * 100 / total, truncated and at most 99; -1 when total <= 0.
    static int percent(qint64 elapsed, qint64 totalMs);

private:
    QByteArray buffer;
    QStringList messages;               // the last lines that are not noise
};
