#include "appsettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace AppSettings {

namespace {

QString folderKey(Folder kind)
{
    switch (kind) {
    case Folder::Video:
        return QStringLiteral("folders/video");
    case Folder::Project:
        return QStringLiteral("folders/project");
    case Folder::Export:
        break;
    }
    return QStringLiteral("folders/export");
}

const QString recentKey = QStringLiteral("recentFiles");

void storeRecent(const QStringList &paths)
{
    QSettings().setValue(recentKey, paths);
}

} // namespace

QString lastFolder(Folder kind)
{
    const QString folder = QSettings().value(folderKey(kind)).toString();
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
}

void rememberFolderOf(Folder kind, const QString &filePath)
{
    if (filePath.isEmpty())
        return;
    QSettings().setValue(folderKey(kind), QFileInfo(filePath).absolutePath());
}

bool showWelcome()
{
    return QSettings().value(QStringLiteral("welcome/show"), true).toBool();
}

void setShowWelcome(bool show)
{
    QSettings().setValue(QStringLiteral("welcome/show"), show);
}

QString exportQuality()
{
    return QSettings().value(QStringLiteral("export/quality")).toString();
}

void setExportQuality(const QString &quality)
{
    QSettings().setValue(QStringLiteral("export/quality"), quality);
}

QByteArray windowGeometry()
{
    return QSettings().value(QStringLiteral("window/geometry")).toByteArray();
}

void setWindowGeometry(const QByteArray &geometry)
{
    QSettings().setValue(QStringLiteral("window/geometry"), geometry);
}

QStringList recentFiles()
{
    QStringList paths;
    // A hand-edited settings file may hold anything: keep only absolute paths, once each.
    for (const QString &path : QSettings().value(recentKey).toStringList()) {
        if (QDir::isAbsolutePath(path) && !paths.contains(path) && paths.size() < maxRecentFiles)
            paths.append(path);
    }
    return paths;
}

void addRecentFile(const QString &path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList paths = recentFiles();
    paths.removeAll(absolute);
    paths.prepend(absolute);
    storeRecent(paths.mid(0, maxRecentFiles));
}

void removeRecentFile(const QString &path)
{
    QStringList paths = recentFiles();
    paths.removeAll(path);
    storeRecent(paths);
}

void clearRecentFiles()
{
    storeRecent({});
}

} // namespace AppSettings
