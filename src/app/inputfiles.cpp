#include "inputfiles.h"

#include <QFileInfo>

QString specialFileReason(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || info.isFile())
        return QString();
    if (info.isDir())
        return QStringLiteral("It is a folder, not a file.");
    return QStringLiteral("It is not a regular file (a pipe, a device or a socket); Trimlet reads only files.");
}
