#include "projectfile.h"

#include "cliplist.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QSet>

#include <algorithm>

using Kind = MessageKind;

namespace ProjectFile {

namespace {

// Effects are not range-checked by the record; a hand-edited file must not hand the
// frame path a blur radius of a billion pixels, so they are held to what the
// effects dialog can set.
int boundedInt(const QJsonObject &object, const char *key, int fallback, int low, int high)
{
    return std::clamp(object.value(QLatin1String(key)).toInt(fallback), low, high);
}

int rightAngle(int degrees)
{
    const int turned = ((degrees % 360) + 360) % 360;
    return turned % 90 == 0 ? turned : 0;
}

QColor readColor(const QJsonValue &value)
{
    return QColor::fromString(value.toString());
}

EditMessage invalidFormat(const QString &why = QString())
{
    return {Kind::Critical, QStringLiteral("Error"),
            why.isEmpty() ? QStringLiteral("Invalid project file format.")
                          : QStringLiteral("Invalid project file format.\n\n") + why};
}

// What this version writes; anything else in a file came from a newer one and is kept.
const QSet<QString> &knownClipKeys()
{
    static const QSet<QString> keys = [] {
        const QStringList written = clipToJson(Clip()).keys();
        return QSet<QString>(written.begin(), written.end());
    }();
    return keys;
}

const QSet<QString> &knownRootKeys()
{
    static const QSet<QString> keys{QStringLiteral("version"), QStringLiteral("videoPath"),
                                    QStringLiteral("duration"), QStringLiteral("clips")};
    return keys;
}

QJsonObject unknownKeys(const QJsonObject &object, const QSet<QString> &known)
{
    QJsonObject unknown;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!known.contains(it.key()))
            unknown.insert(it.key(), it.value());
    }
    return unknown;
}

} // namespace

QString version()
{
    return QStringLiteral("1.0");
}

QString fileFilter()
{
    return QStringLiteral("Trimlet Project (*.tlp);;All Files (*)");
}

QString videoFilter()
{
    return QStringLiteral("Video Files (*.mp4 *.mov *.mkv *.avi *.webm *.m4v *.ts *.mts *.m2ts *.3gp *.mpg *.mpeg "
                          "*.flv *.wmv);;All files (*)");
}

QJsonObject clipToJson(const Clip &clip)
{
    QJsonObject object = clip.extras;
    object.insert(QStringLiteral("startTime"), clip.startTime);
    object.insert(QStringLiteral("endTime"), clip.endTime);
    object.insert(QStringLiteral("originalStart"), clip.originalStart);
    object.insert(QStringLiteral("originalEnd"), clip.originalEnd);
    object.insert(QStringLiteral("isMarked"), clip.isMarked);
    object.insert(QStringLiteral("name"), clip.name);
    object.insert(QStringLiteral("color"), clip.color.name());
    object.insert(QStringLiteral("titleText"), clip.titleText);
    object.insert(QStringLiteral("showTitle"), clip.showTitle);
    object.insert(QStringLiteral("titleDurationMode"), clip.titleDurationMode);
    object.insert(QStringLiteral("customDuration"), clip.customDuration);
    object.insert(QStringLiteral("titleAtTop"), clip.titleAtTop);
    object.insert(QStringLiteral("titleFontSize"), clip.titleFontSize);
    object.insert(QStringLiteral("titleColor"),
                  clip.titleColor.isValid() ? clip.titleColor.name() : QStringLiteral("#ffffff"));

    object.insert(QStringLiteral("blurIntensity"), clip.blurIntensity);
    object.insert(QStringLiteral("brightness"), clip.brightness);
    object.insert(QStringLiteral("contrast"), clip.contrast);
    object.insert(QStringLiteral("saturation"), clip.saturation);
    object.insert(QStringLiteral("opacity"), clip.opacity);
    object.insert(QStringLiteral("fadeInDuration"), clip.fadeInDuration);
    object.insert(QStringLiteral("fadeOutDuration"), clip.fadeOutDuration);
    object.insert(QStringLiteral("grayscale"), clip.grayscale);
    object.insert(QStringLiteral("sepia"), clip.sepia);
    object.insert(QStringLiteral("rotation"), clip.rotation);
    return object;
}

Clip clipFromJson(const QJsonObject &object)
{
    Clip clip;
    clip.startTime = object.value(QLatin1String("startTime")).toInteger(0);
    clip.endTime = object.value(QLatin1String("endTime")).toInteger(0);
    clip.originalStart = object.value(QLatin1String("originalStart")).toInteger(0);
    clip.originalEnd = object.value(QLatin1String("originalEnd")).toInteger(0);
    clip.isMarked = object.value(QLatin1String("isMarked")).toBool(false);
    clip.name = object.value(QLatin1String("name")).toString();
    clip.color = readColor(object.value(QLatin1String("color")));
    clip.titleText = object.value(QLatin1String("titleText")).toString();
    clip.showTitle = object.value(QLatin1String("showTitle")).toBool(false);
    clip.titleDurationMode = object.value(QLatin1String("titleDurationMode")).toInt(0);
    clip.customDuration = object.value(QLatin1String("customDuration")).toInt(3000);
    clip.titleAtTop = object.value(QLatin1String("titleAtTop")).toBool(true);
    clip.titleFontSize = std::clamp(object.value(QLatin1String("titleFontSize")).toInt(38), 16, 120);
    clip.titleColor = readColor(object.value(QLatin1String("titleColor")));
    if (!clip.titleColor.isValid())
        clip.titleColor = QColor(255, 255, 255);

    clip.blurIntensity = boundedInt(object, "blurIntensity", 0, 0, 100);
    clip.brightness = boundedInt(object, "brightness", 0, -100, 100);
    clip.contrast = boundedInt(object, "contrast", 0, -100, 100);
    clip.saturation = boundedInt(object, "saturation", 0, -100, 100);
    clip.opacity = boundedInt(object, "opacity", 100, 0, 100);
    clip.fadeInDuration = boundedInt(object, "fadeInDuration", 0, 0, 10000);
    clip.fadeOutDuration = boundedInt(object, "fadeOutDuration", 0, 0, 10000);
    clip.grayscale = object.value(QLatin1String("grayscale")).toBool(false);
    clip.sepia = object.value(QLatin1String("sepia")).toBool(false);
    clip.rotation = rightAngle(object.value(QLatin1String("rotation")).toInt(0));

    clip.hasEffects = computeHasEffects(clip);
    clip.extras = unknownKeys(object, knownClipKeys());
    return clip;
}

QByteArray write(const QString &videoPath, qint64 duration, const ClipList &clips, const QJsonObject &extras)
{
    QJsonArray clipArray;
    for (const Clip &clip : clips)
        clipArray.append(clipToJson(clip));

    QJsonObject root = extras;
    root.insert(QStringLiteral("version"), version());
    root.insert(QStringLiteral("videoPath"), videoPath);
    root.insert(QStringLiteral("duration"), duration);
    root.insert(QStringLiteral("clips"), clipArray);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

ReadResult read(const QByteArray &bytes)
{
    ReadResult result;
    if (bytes.size() > MaxFileBytes) {
        result.error = invalidFormat();
        return result;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        result.error = invalidFormat();
        return result;
    }
    const QJsonObject root = document.object();
    result.extras = unknownKeys(root, knownRootKeys());

    const QJsonValue storedVersion = root.value(QLatin1String("version"));
    // A hand-written file may give the version as a number.
    result.version = storedVersion.isDouble() ? QString::number(storedVersion.toDouble()) : storedVersion.toString();
    if (result.version != version()) {
        // Shown in a box: a version of any length is cut short.
        const QString shown = result.version.size() > 20 ? result.version.left(20) + QChar(0x2026) : result.version;
        result.warning = EditMessage{
            Kind::Warning, QStringLiteral("Version Mismatch"),
            shown.isEmpty()
                ? QStringLiteral("This project does not say which version saved it. Current version is 1.0. "
                                 "Loading may fail.")
                : QStringLiteral("This project was saved with version %1. Current version is 1.0. Loading may fail.")
                      .arg(shown)};
    }

    result.videoPath = root.value(QLatin1String("videoPath")).toString();
    if (result.videoPath.isEmpty()) {
        result.error = EditMessage{Kind::Critical, QStringLiteral("Error"),
                                   QStringLiteral("Project file missing video path.")};
        return result;
    }

    if (result.videoPath.toUtf8().size() > MaxPathBytes) {
        result.error = invalidFormat(QStringLiteral("The video path is longer than %1 bytes.").arg(MaxPathBytes));
        return result;
    }

    const QJsonArray clipArray = root.value(QLatin1String("clips")).toArray();
    if (clipArray.size() > MaxParts) {
        result.error = invalidFormat(QStringLiteral("It has more than %1 parts.").arg(MaxParts));
        return result;
    }
    result.clips.reserve(clipArray.size());
    for (const QJsonValue &element : clipArray) {
        // A part that is not an object would load as an empty part at 0:00.
        if (!element.isObject()) {
            result.error = invalidFormat(QStringLiteral("A part is not a set of named values."));
            result.clips.clear();
            return result;
        }
        const Clip clip = clipFromJson(element.toObject());
        if (clip.name.size() > MaxTextChars || clip.titleText.size() > MaxTextChars) {
            result.error = invalidFormat(
                QStringLiteral("A part's name or title is longer than %1 characters.").arg(MaxTextChars));
            result.clips.clear();
            return result;
        }
        result.clips.append(clip);
    }
    return result;
}

EditMessage noVideoMessage()
{
    return {Kind::Warning, QStringLiteral("No Video"),
            QStringLiteral("Please load a video before saving the project.")};
}

EditMessage invalidFileNameMessage(const QString &problem)
{
    return {Kind::Critical, QStringLiteral("Invalid Filename"),
            QStringLiteral("Cannot save project with this filename:\n\n%1\n\nPlease choose a different filename.")
                .arg(problem)};
}

EditMessage saveFailedMessage(const QString &systemError)
{
    return {Kind::Critical, QStringLiteral("Cannot Save Project"),
            QStringLiteral("Failed to save project: %1").arg(systemError)};
}

EditMessage savedMessage(const QString &path)
{
    return {Kind::Information, QStringLiteral("Project Saved"),
            QStringLiteral("Project saved successfully to:\n%1").arg(path)};
}

EditMessage loadFailedMessage(const QString &systemError)
{
    return {Kind::Critical, QStringLiteral("Error"), QStringLiteral("Failed to load project: %1").arg(systemError)};
}

EditMessage videoNotFoundMessage(const QString &storedPath)
{
    return {Kind::Warning, QStringLiteral("Video Not Found"),
            QStringLiteral("The video file was not found:\n%1\n\nPlease locate the video file manually.")
                .arg(storedPath)};
}

EditMessage loadedMessage(const QString &projectPath, int clipCount)
{
    return {Kind::Information, QStringLiteral("Project Loaded"),
            QStringLiteral("Project loaded successfully from:\n%1\n\nClips loaded: %2").arg(projectPath, QString::number(clipCount))};
}

} // namespace ProjectFile
