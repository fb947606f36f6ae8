#pragma once

#include "clip.h"
#include "editoperations.h"

#include <QByteArray>
#include <QJsonObject>
#include <optional>

// The ".tlp" project file: one edit (video path, duration, clips) as indented JSON,
// and the messages the save and load report. No file access here: bytes in, bytes out.
namespace ProjectFile {

// Larger files are not read as projects.
constexpr qint64 MaxFileBytes = qint64(64) << 20;
// What a project may hold; beyond it a file is refused as damaged or hostile (the window would
// lay out a path of megabytes in a message box, or spend seconds on a hundred thousand parts).
constexpr int MaxPathBytes = 4096;        // the video path, in UTF-8 (the system's own limit)
constexpr int MaxTextChars = 4000;        // a part's name or title text
constexpr int MaxParts = 10000;

QString version();                 // "1.0"
QString fileFilter();              // for the save and load dialogs
QString videoFilter();             // for opening a video or locating a moved one

// Every field the program keeps, effects included, over the keys it does not know
// (Clip::extras); a reader that knows only the title and range keys ignores the rest.
QJsonObject clipToJson(const Clip &clip);
// Missing keys and values of the wrong type keep a new clip's defaults (a missing
// name is empty, a missing colour invalid); hasEffects is recomputed. Keys this version
// does not know go to Clip::extras.
Clip clipFromJson(const QJsonObject &object);

// extras: the unknown top-level keys of the project read (ReadResult::extras); the keys
// written here win over them.
QByteArray write(const QString &videoPath, qint64 duration, const ClipList &clips,
                 const QJsonObject &extras = QJsonObject());

struct ReadResult {
    // Shown first when set; the load goes on.
    std::optional<EditMessage> warning;
    // The load stops here.
    std::optional<EditMessage> error;
    QString version;
    QString videoPath;
    ClipList clips;
    // Top-level keys this version does not know, written back by a save.
    QJsonObject extras;

    bool ok() const { return !error.has_value(); }
};

ReadResult read(const QByteArray &bytes);

EditMessage noVideoMessage();
EditMessage invalidFileNameMessage(const QString &problem);
EditMessage saveFailedMessage(const QString &systemError);
EditMessage savedMessage(const QString &path);
EditMessage loadFailedMessage(const QString &systemError);
EditMessage videoNotFoundMessage(const QString &storedPath);
EditMessage loadedMessage(const QString &projectPath, int clipCount);

} // namespace ProjectFile
