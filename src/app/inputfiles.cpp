#include "inputfiles.h"

#include <QFile>
#include <QFileInfo>

QString specialFileReason(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QString();
    if (info.isDir())
        return QStringLiteral("It is a folder, not a file.");
    if (!info.isFile())
        return QStringLiteral("It is not a regular file (a pipe, a device or a socket); Trimlet reads only files.");
    // Asked of the file itself: the permission bits do not tell for root or for ACLs.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (file.error() == QFileDevice::OpenError && !info.isReadable())
            return QStringLiteral("You do not have permission to read it.");
        return QStringLiteral("It cannot be read: %1").arg(file.errorString());
    }
    return QString();
}
