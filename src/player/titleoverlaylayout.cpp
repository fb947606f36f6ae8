#include "titleoverlaylayout.h"

#include "playerlog.h"

#include <QFontMetrics>
#include <QRegularExpression>
#include <QStringList>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <climits>

namespace {

int widestAdvance(const QStringList &lines, const QFontMetrics &metrics)
{
    int widest = 0;
    for (const QString &line : lines)
        widest = std::max(widest, metrics.horizontalAdvance(line));
    return widest;
}

// Characters as the user sees them, so an emoji or an accented letter is never split.
QStringList graphemes(const QString &word)
{
    QStringList result;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, word);
    qsizetype start = 0;
    while (finder.toNextBoundary() != -1) {
        const qsizetype end = finder.position();
        result << word.mid(start, end - start);
        start = end;
    }
    return result;
}

} // namespace

int titlePixelSize(int titleFontSize)
{
    if (titleFontSize <= 0)
        return 38;
    return std::clamp(titleFontSize, 16, 120);
}

QFont titleFont(const Clip &clip, const QFont &baseFont)
{
    QFont font = baseFont;
    font.setPixelSize(titlePixelSize(clip.titleFontSize));
    return font;
}

QString titleStyleSheet(const Clip &clip)
{
    const QColor color = clip.titleColor.isValid() ? clip.titleColor : QColor(Qt::white);
    return QStringLiteral("QLabel { background: rgba(0, 0, 0, 200); color: %1; padding: 20px 40px;"
                          " border-radius: 12px; border: 6px solid white;}")
        .arg(color.name(QColor::HexRgb));
}

int titleDisplayDurationMs(const Clip &clip)
{
    // A project file can hold any times: a timer interval is never negative nor wraps.
    switch (clip.titleDurationMode) {
    case 0:
        return 3000;
    case 1:
        return qMax(0, clip.customDuration);
    default:
        return int(std::clamp<qint64>(saturatingSub(clip.endTime, clip.startTime), 0, INT_MAX));
    }
}

QString wrapTitleText(const QString &text, int maxWidth, const QFont &font)
{
    if (maxWidth <= 0)
        return text.isEmpty() ? QStringLiteral(" ") : text;
    if (text.trimmed().isEmpty())
        return QStringLiteral(" ");

    const QFontMetrics metrics(font);
    static const QRegularExpression lineBreaks(QStringLiteral("[\r\n]+"));
    static const QRegularExpression spaces(QStringLiteral("\\s+"));
    const QStringList paragraphs = text.split(lineBreaks);
    QStringList lines;

    for (qsizetype p = 0; p < paragraphs.size(); ++p) {
        const QString paragraph = paragraphs[p].trimmed();
        if (paragraph.isEmpty()) {
            if (!lines.isEmpty() && !lines.last().isEmpty())
                lines << QString();
            continue;
        }
        QString current;
        const QStringList words = paragraph.split(spaces, Qt::SkipEmptyParts);
        for (const QString &word : words) {
            const QString candidate = current.isEmpty() ? word : current + QLatin1Char(' ') + word;
            if (metrics.horizontalAdvance(candidate) <= maxWidth) {
                current = candidate;
                continue;
            }
            if (!current.isEmpty())
                lines << current;
            if (metrics.horizontalAdvance(word) > maxWidth) {
                QString piece;
                for (const QString &character : graphemes(word)) {
                    if (!piece.isEmpty() && metrics.horizontalAdvance(piece + character) > maxWidth) {
                        lines << piece;
                        piece = character;
                    } else {
                        piece += character;
                    }
                }
                current = piece;
            } else {
                current = word;
            }
        }
        lines << current;
        if (p != paragraphs.size() - 1)
            lines << QString();
    }

    while (!lines.isEmpty() && lines.first().isEmpty())
        lines.removeFirst();
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines.isEmpty() ? QStringLiteral(" ") : lines.join(QLatin1Char('\n'));
}

QRect computeTitleOverlayGeometry(const Clip &clip, const QFont &font, const QRect &videoArea,
                                  QString *wrapped)
{
    const int w = videoArea.width();
    const int h = videoArea.height();
    if (w < 1 || h < 1)
        return {};

    const QFontMetrics metrics(font);
    const int chrome = TitleBoxHorizontalChrome;
    const int widestBox = std::max(w - 160, chrome);
    const QString text = clip.titleText.isEmpty() ? QStringLiteral(" ") : clip.titleText;
    // The laid-out width, not the ink width: the ink is narrower than the advance, and a
    // box sized by it would break a title that fits on one line.
    const int layoutExtent = 1 << 20;
    const int textBox = metrics.boundingRect(QRect(0, 0, layoutExtent, layoutExtent), 0, text).width() + chrome;

    int minimumBox = widestBox;
    int candidateBox = widestBox;
    if (w - 160 > 320) {
        minimumBox = 320;
        candidateBox = textBox > 319 ? std::min(textBox, widestBox) : 320;
    }

    const int widestTextWidth = std::max(widestBox - chrome, 10);
    QString result = wrapTitleText(text, widestTextWidth, font);
    QStringList lines = result.split(QLatin1Char('\n'));
    const int candidateTextWidth = std::max(candidateBox - chrome, 10);
    if (candidateTextWidth < widestTextWidth) {
        result = wrapTitleText(text, candidateTextWidth, font);
        lines = result.split(QLatin1Char('\n'));
    }

    int finalWidth = 0;
    if (lines.isEmpty()) {
        finalWidth = minimumBox == chrome ? 10 : std::max(std::min(minimumBox, widestBox) - chrome, 10);
    } else {
        const int widest = widestAdvance(lines, metrics);
        finalWidth = std::max(std::min(std::max(widest + chrome, minimumBox), widestBox) - chrome, 10);
    }
    result = wrapTitleText(text, finalWidth, font);
    lines = result.split(QLatin1Char('\n'));

    const int widest = widestAdvance(lines, metrics);
    const int boxWidth = widest + chrome < minimumBox ? std::min(minimumBox, widestBox)
                                                      : std::min(widest + chrome, widestBox);

    const int lineCount = std::max(int(lines.size()), 1);
    const int textHeight = std::max(metrics.lineSpacing() * lineCount, metrics.height());
    int boxHeight = textHeight + TitleBoxVerticalChrome;
    if (boxHeight > h - 100) {
        qCDebug(playerLog) << "Warning: Title overlay height clamped from" << textHeight << "to" << h - 100;
        boxHeight = h - 100;
    }

    const int gx = videoArea.x();
    const int gy = videoArea.y();
    const int x = gx + (w - boxWidth) / 2;
    int y = gy + 50;
    if (!clip.titleAtTop) {
        y = gy + (h - boxHeight) / 2;
        if (y < gy) {
            qCDebug(playerLog) << "Warning: Title overlay Y position corrected to stay on-screen";
            y = gy + 20;
        }
    }

    if (wrapped)
        *wrapped = result;
    return QRect(x, y, boxWidth, boxHeight);
}

bool titleOverlayWantsShadow(const QRect &geometry)
{
    return geometry.width() <= 1000 && geometry.height() <= 280;
}
