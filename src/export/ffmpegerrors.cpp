#include "ffmpegerrors.h"

#include "exportprogressparser.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

const QLatin1String conversionFailed("Conversion failed!");

// What an encoder or muxer says in passing: its set-up, its statistics at the end, the size
// summary, the faststart pass. None of it says why a run failed.
bool isStatistics(const QString &line)
{
    static const QRegularExpression chatter(QStringLiteral(
        "^(\\[[^\\]]+ @ [^\\]]*\\] (frame [IPB]:|mb [IPB] |coded y|i16 |i8c |i8 |i4 |ref [PB]|kb/s:|Weighted P|"
        "consecutive B|8x8 transform|direct mvs|final ratefactor|using |profile |264 - core|Qavg:|"
        "Starting second pass|frame I|encoded \\d+ frames)"
        "|video:\\S+ audio:\\S+ .*muxing overhead"
        "|x26[45] \\[info\\]"
        "|\\s*Last message repeated)"));
    return chatter.match(line).hasMatch();
}

bool namesAnError(const QString &line)
{
    static const char *const words[] = {"error", "no space left", "invalid", "failed", "permission denied",
                                        "no such file", "not found", "cannot", "could not", "unable",
                                        "unknown", "not supported", "unsupported", "matches no", "denied",
                                        "read-only", "corrupt", "partial file", "not divisible"};
    const QString lower = line.toLower();
    return std::any_of(std::begin(words), std::end(words),
                       [&lower](const char *word) { return lower.contains(QLatin1String(word)); });
}

void appendOnce(QStringList &lines, const QString &line)
{
    if (!lines.contains(line))
        lines.append(line);
}

} // namespace

QStringList meaningfulErrorLines(const QString &ffmpegOutput)
{
    static const QRegularExpression lineEnd(QStringLiteral("[\r\n]"));
    const QStringList all = ffmpegOutput.split(lineEnd, Qt::SkipEmptyParts);
    QStringList errors;
    QStringList said;
    QStringList quiet;                  // statistics and the verdict, for want of anything else
    bool concluded = false;
    for (const QString &raw : all) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (ExportProgressParser::isNoise(raw))
            continue;
        if (line == conversionFailed || isStatistics(raw)) {
            concluded = concluded || line == conversionFailed;
            quiet.append(line);
            continue;
        }
        if (namesAnError(line))
            appendOnce(errors, line);
        said.append(line);
    }
    if (!errors.isEmpty()) {
        if (concluded)
            errors.append(conversionFailed);
        return errors;
    }
    if (!said.isEmpty())
        return said;
    if (!quiet.isEmpty())
        return quiet;
    QStringList everything;
    for (const QString &raw : all) {
        if (!raw.trimmed().isEmpty())
            everything.append(raw.trimmed());
    }
    return everything;
}

QString errorDetails(const QString &ffmpegOutput, int maxChars)
{
    const QStringList lines = meaningfulErrorLines(ffmpegOutput);
    QString tail;
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        const QString line = lines.at(i) + QLatin1Char('\n');
        if (tail.size() + line.size() > maxChars) {
            if (tail.isEmpty())
                tail = line.right(maxChars);
            break;
        }
        tail.prepend(line);
    }
    return tail;
}

bool outputLeftUnfinished(const QString &ffmpegOutput)
{
    static const QRegularExpression unfinished(QStringLiteral("^(Error writing trailer|Error closing file)"),
                                               QRegularExpression::MultilineOption);
    return unfinished.match(ffmpegOutput).hasMatch();
}
