#include "iconlocator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSize>
#include <QStringList>

QString locateIconFile(const QString &fileName)
{
    if (fileName.isEmpty())
        return QString();

    QStringList candidates{fileName};
    // applicationDirPath() warns without an application object.
    if (QCoreApplication::instance()) {
        const QDir appDir(QCoreApplication::applicationDirPath());
        candidates << appDir.filePath(fileName)
                   << appDir.filePath(QStringLiteral("../share/trimlet/") + fileName);
    }
    candidates << QDir(QStringLiteral(TRIMLET_SOURCE_RESOURCES)).filePath(fileName);

    for (const QString &candidate : candidates) {
        const QFileInfo info(candidate);
        if (info.isFile())
            return QDir::cleanPath(info.absoluteFilePath());
    }
    return QString();
}

QIcon loadAppIcon()
{
    QIcon icon;
    for (int size : {256, 128, 64, 48, 32, 16}) {
        const QString path = locateIconFile(QStringLiteral("Trimlet_%1x%1.png").arg(size));
        if (!path.isEmpty())
            icon.addFile(path, QSize(size, size));
    }
    return icon;
}
