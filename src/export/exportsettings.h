#pragma once

#include "userprompts.h"

#include <QString>

// The export dialog's result.
struct ExportSettings {
    enum AudioMode { IncludeAudio = 0, NoAudio = 1, AudioOnly = 2 };

    QString outputPath;
    int targetWidth = 1920;
    int targetHeight = 1080;
    int crf = 20;
    // Keep the source's frames, size and codec; the size and crf above then do not apply.
    bool originalQuality = false;
    int audioMode = IncludeAudio;
    QString audioFormat = QStringLiteral("mp3");
    QString audioBitrate = QStringLiteral("192k");

    // (folder)/(name)_edited.mp4 beside the source.
    static QString defaultOutputPath(const QString &sourcePath);
    // Replaces the extension of the file name (a dot in a folder name is not one);
    // a path without one gets the extension appended.
    static QString withExtension(const QString &path, const QString &extension);
};

// What "Save Video" leads to: a refusal with its message, or an export.
struct ExportDecision {
    enum class Action { Refuse, ExportVideo, ExportAudio };
    Action action = Action::Refuse;
    UserPrompts::Kind kind = UserPrompts::Kind::Information;
    QString title;
    QString text;
};

// Why the output's name cannot hold what the export writes, found before any encode: a video
// export's ending names WebM (VP8/VP9/AV1 only) or a sound-only file; an audio-only export's
// (audioFormat: mp3, wav, aac or flac) names a container that cannot take that sound. Empty
// when it fits, and for an ending we do not know (the format's own container is written).
QString outputFormatProblem(const QString &outputPath, const QString &audioFormat = QString());

ExportDecision decideExport(const ExportSettings &settings, bool sourceHasAudio);
