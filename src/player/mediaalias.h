#pragma once

#include <QString>
#include <QTemporaryDir>
#include <memory>

// Qt 6.4's FFmpeg media back end passes a local file's name to FFmpeg as Latin-1, so a
// video whose path holds any other character ("vidéo.mp4", "日本.mp4") cannot be opened.
// Such a file is played through a symbolic link with a plain ASCII name in a private
// temporary folder; other paths are used as they are.
class MediaAlias {
public:
    static bool needsAlias(const QString &path);

    // The path to give the media back end for path. The previous alias is removed.
    QString pathFor(const QString &path);

private:
    std::unique_ptr<QTemporaryDir> folder;
    QString currentLink;
    int counter = 0;
};
