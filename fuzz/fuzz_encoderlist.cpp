// The encoder list is ffmpeg's "-encoders" output, whatever build of ffmpeg the user has.
// Any text must give a usable encoder choice: a listed name, or libx264 to fall back on.

#include "exportcommand.h"
#include "hardwareencoderdetector.h"

#include <QString>
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
    const QString listing = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));

    HardwareEncoderDetector detector(QStringLiteral("/nonexistent/ffmpeg"));
    detector.parseEncoderList(listing);
    for (const QString &name : detector.availableEncoders()) {
        if (name.isEmpty() || !listing.contains(name))
            std::abort();
    }
    const QString best = detector.getBestH264Encoder();
    if (best != QLatin1String("libx264") && !detector.hasEncoder(best))
        std::abort();
    if (detector.getHardwareDescription().isEmpty())
        std::abort();

    // A second listing replaces the first.
    detector.parseEncoderList(QString());
    if (!detector.availableEncoders().isEmpty())
        std::abort();
    detector.parseEncoderList(listing);

    // Some encoders fail their test encode: whatever remains still gives a choice.
    detector.keepUsableEncoders([&listing](const QString &name) { return listing.size() % 2 == name.size() % 2; });
    for (int crf : {0, 18, 23, 28, 51}) {
        const EncoderChoice choice = ExportCommandBuilder::chooseEncoder(&detector, crf);
        const QStringList arguments = ExportCommandBuilder::encoderArguments(choice);
        if (choice.encoder.isEmpty() || arguments.size() < 4 || arguments.at(1) != choice.encoder
            || choice.pixelFormat.isEmpty())
            std::abort();
    }
    return 0;
}
