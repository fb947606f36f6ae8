#include "appsettings.h"

#include "applog.h"
#include "atomicfile.h"

#include <QDir>
#include <QFile>
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

QByteArray readWhole(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(1 << 20) : QByteArray();
}

// QSettings renames its new file over the old one even when the last of it could not be
// written (a full disk), and reports no error: the file is left empty or cut short. Every
// line it writes ends the file with a newline, so a change is checked on disk, and the file
// as it was is put back when the change did not land (the rename freed the old file's room).
void store(const QString &key, const QVariant &value)
{
    QSettings settings;
    const QString path = settings.fileName();
    const QByteArray previous = readWhole(path);
    settings.setValue(key, value);
    settings.sync();
    const QByteArray now = readWhole(path);
    if (settings.status() == QSettings::NoError && now.endsWith('\n'))
        return;
    qCWarning(appLog) << "Cannot write the settings to" << path;
    if (!previous.isEmpty() && now != previous) {
        const QString failure = writeFileAtomically(path, previous);
        if (!failure.isEmpty())
            qCWarning(appLog) << "Cannot put the previous settings back:" << failure;
    }
}

void storeRecent(const QStringList &paths)
{
    store(recentKey, paths);
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
    store(folderKey(kind), QFileInfo(filePath).absolutePath());
}

bool showWelcome()
{
    return QSettings().value(QStringLiteral("welcome/show"), true).toBool();
}

void setShowWelcome(bool show)
{
    store(QStringLiteral("welcome/show"), show);
}

QString exportQuality()
{
    return QSettings().value(QStringLiteral("export/quality")).toString();
}

void setExportQuality(const QString &quality)
{
    store(QStringLiteral("export/quality"), quality);
}

QByteArray windowGeometry()
{
    return QSettings().value(QStringLiteral("window/geometry")).toByteArray();
}

void setWindowGeometry(const QByteArray &geometry)
{
    store(QStringLiteral("window/geometry"), geometry);
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
