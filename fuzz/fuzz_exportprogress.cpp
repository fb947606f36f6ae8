// ffmpeg's standard error arrives in reads of any size and may hold anything. The
// parser must give the same lines however the stream is cut, and a percentage only
// in 0..99 (or -1).
//
// Input: byte 0 sets the read size (1..256), bytes 1..4 the export's total length in
// ms (little-endian, may be 0 or negative), the rest is the stream.

#include "exportprogressparser.h"

#include <QByteArray>
#include <QtGlobal>
#include <cstdint>
#include <cstdlib>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const auto previousHandler = qInstallMessageHandler(quiet);
    Q_UNUSED(previousHandler);
    if (size < 5)
        return 0;
    const qsizetype readSize = qsizetype(data[0]) + 1;
    const qint32 totalMs = qint32(quint32(data[1]) | quint32(data[2]) << 8 | quint32(data[3]) << 16
                                  | quint32(data[4]) << 24);
    const QByteArray stream(reinterpret_cast<const char *>(data + 5), qsizetype(size - 5));

    ExportProgressParser whole;
    const QStringList allLines = whole.feed(stream);

    ExportProgressParser pieces;
    ExportProgressParser progress;
    QStringList pieceLines;
    for (qsizetype at = 0; at < stream.size(); at += readSize) {
        const QByteArray chunk = stream.mid(at, readSize);
        pieceLines += pieces.feed(chunk);
        const int percent = progress.progress(chunk, totalMs);
        if (percent < -1 || percent > 99 || (totalMs <= 0 && percent != -1))
            std::abort();
    }
    if (pieceLines != allLines || pieces.pending() != whole.pending() || progress.pending() != whole.pending())
        std::abort();

    for (const QString &line : allLines) {
        if (line.isEmpty() || line.contains(QLatin1Char('\r')) || line.contains(QLatin1Char('\n')))
            std::abort();
        const qint64 elapsed = ExportProgressParser::elapsedMs(line);
        // At most 99:99:99.99 in the form ffmpeg writes.
        if (elapsed < -1 || elapsed > ((99 * 3600 + 99 * 60 + 99) * 1000 + 990))
            std::abort();
        const int percent = ExportProgressParser::percent(elapsed < 0 ? 0 : elapsed, totalMs);
        if (percent < -1 || percent > 99)
            std::abort();
    }
    return 0;
}
