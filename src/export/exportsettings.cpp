#include "exportsettings.h"

#include "filenamevalidator.h"

#include <QFileInfo>
#include <QStringList>

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

QString outputFormatProblem(const QString &outputPath, const QString &audioFormat)
{
    static const QStringList videoEndings{QStringLiteral("mp4"), QStringLiteral("m4v"), QStringLiteral("mov"),
                                          QStringLiteral("mkv"), QStringLiteral("avi"), QStringLiteral("ts")};
    static const QStringList soundEndings{QStringLiteral("mp3"), QStringLiteral("aac"), QStringLiteral("wav"),
                                          QStringLiteral("flac"), QStringLiteral("m4a"), QStringLiteral("mka"),
                                          QStringLiteral("ogg"), QStringLiteral("opus")};
    const QString ending = QFileInfo(outputPath).suffix().toLower();
    if (audioFormat.isEmpty()) {
        if (ending == QLatin1String("webm")) {
            return QStringLiteral("A WebM file holds only VP8, VP9 or AV1 video, and Trimlet saves H.264. "
                                  "Choose a name ending in .mp4, .mkv or .mov.");
        }
        if (soundEndings.contains(ending)) {
            return QStringLiteral("A .%1 file is for sound only. Choose a name ending in .mp4, .mkv or .mov, "
                                  "or choose Audio Only.")
                .arg(ending);
        }
        return QString();
    }
    // Matroska takes any of the four; MP4 holds AAC, Ogg holds FLAC.
    QStringList fitting{audioFormat, QStringLiteral("mka"), QStringLiteral("mkv")};
    if (audioFormat == QLatin1String("aac"))
        fitting << QStringLiteral("m4a") << QStringLiteral("mp4");
    if (audioFormat == QLatin1String("flac"))
        fitting << QStringLiteral("ogg");
    if (fitting.contains(ending)
        || (!videoEndings.contains(ending) && !soundEndings.contains(ending) && ending != QLatin1String("webm")))
        return QString();
    return QStringLiteral("%1 sound cannot be saved in a .%2 file. Choose a name ending in .%3.")
        .arg(audioFormat.toUpper(), ending, audioFormat);
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
    const QString formatProblem = outputFormatProblem(settings.outputPath, audioOnly ? settings.audioFormat : QString());
    if (!formatProblem.isEmpty()) {
        decision.kind = Kind::Critical;
        decision.title = QStringLiteral("Invalid Filename");
        decision.text = formatProblem;
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
