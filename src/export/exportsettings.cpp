#include "exportsettings.h"

#include "filenamevalidator.h"

#include <QFileInfo>

QString ExportSettings::defaultOutputPath(const QString &sourcePath)
{
    const QFileInfo info(sourcePath);
    return info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral("_edited.mp4");
}

QString ExportSettings::withExtension(const QString &path, const QString &extension)
{
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype backslash = path.lastIndexOf(QLatin1Char('\\'));
    if (dot >= 0 && dot > slash && dot > backslash)
        return path.left(dot) + extension;
    return path + extension;
}

ExportDecision decideExport(const ExportSettings &settings, bool sourceHasAudio)
{
    using Kind = UserPrompts::Kind;
    const bool audioOnly = settings.audioMode == ExportSettings::AudioOnly;
    ExportDecision decision;
    if (settings.outputPath.isEmpty()) {
        decision.kind = Kind::Information;
        decision.title = QStringLiteral("No File Selected");
        decision.text = audioOnly ? QStringLiteral("Please choose where to save your audio.")
                                  : QStringLiteral("Please choose where to save your video.");
        return decision;
    }
    if (!FilenameValidator::isValidFilename(settings.outputPath)) {
        decision.kind = Kind::Critical;
        decision.title = QStringLiteral("Invalid Filename");
        decision.text = QStringLiteral("Cannot save to this location:\n\n")
            + FilenameValidator::getValidationError(settings.outputPath)
            + QStringLiteral("\n\nPlease choose a different filename.\n\n"
                             "Reserved names include: NUL, CON, PRN, AUX, COM1-9, LPT1-9");
        return decision;
    }
    if (audioOnly && !sourceHasAudio) {
        decision.kind = Kind::Warning;
        decision.title = QStringLiteral("No Audio Track");
        decision.text = QStringLiteral("The source video does not contain an audio track.\n\n"
                                       "Cannot extract audio from a video without audio.");
        return decision;
    }
    decision.action = audioOnly ? ExportDecision::Action::ExportAudio : ExportDecision::Action::ExportVideo;
    return decision;
}
