#include "mediaalias.h"

#include "playerlog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool MediaAlias::needsAlias(const QString &path)
{
    for (const QChar c : path) {
        if (c.unicode() > 0x7f)
            return true;
    }
    return false;
}

QString MediaAlias::pathFor(const QString &path)
{
    if (!currentLink.isEmpty()) {
        QFile::remove(currentLink);
        currentLink.clear();
    }
    if (!needsAlias(path))
        return path;

    if (!folder) {
        folder = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/trimlet-media-XXXXXX"));
        if (!folder->isValid() || needsAlias(folder->path())) {
            folder.reset();
            return path;
        }
    }
    // The extension helps the back end guess the container; a new name each time makes a
    // new source for the player.
    QString suffix = QFileInfo(path).suffix();
    if (needsAlias(suffix))
        suffix.clear();
    const QString link = folder->filePath(QStringLiteral("media-%1%2")
                                              .arg(++counter)
                                              .arg(suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix));
    if (!QFile::link(QFileInfo(path).absoluteFilePath(), link)) {
        qCWarning(playerLog) << "VideoPlayer: could not make an ASCII alias for" << path;
        return path;
    }
    currentLink = link;
    return link;
}
