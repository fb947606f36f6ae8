#include "statustext.h"

namespace StatusText {

QString ready(const QStringList &encoders)
{
    QString hardware = QStringLiteral("CPU");
    if (encoders.contains(QStringLiteral("h264_nvenc")))
        hardware = QStringLiteral("GPU: NVIDIA");
    else if (encoders.contains(QStringLiteral("h264_qsv")))
        hardware = QStringLiteral("GPU: Intel");
    else if (encoders.contains(QStringLiteral("h264_amf")))
        hardware = QStringLiteral("GPU: AMD");
    return QStringLiteral("Ready | %1").arg(hardware);
}

QString performance(bool isLagging)
{
    return isLagging ? QStringLiteral("⚠ The effects make playback stutter on this computer; "
                                      "the saved video is not affected")
                     : QStringLiteral("Effects are shown as the video plays");
}

QString performanceStyle(bool isLagging)
{
    const QString colours = isLagging
        ? QStringLiteral("color: #FF9800; background-color: rgba(255, 152, 0, 0.1); "
                         "border: 1px solid rgba(255, 152, 0, 0.5);")
        : QStringLiteral("color: #4CAF50; background-color: rgba(76, 175, 80, 0.1); "
                         "border: 1px solid rgba(76, 175, 80, 0.3);");
    return QStringLiteral("QLabel { %1 font-family: 'Segoe UI', Arial, sans-serif; font-size: 11px; "
                          "font-weight: 500; padding: 4px 10px; border-radius: 4px; }")
        .arg(colours);
}

} // namespace StatusText
