#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the program remembers between runs (QSettings under the organisation and
// application names main() sets): recent files, the folders last used for each kind
// of file, the window's place and whether the welcome box is wanted.
namespace AppSettings {

enum class Folder { Video, Project };

// The folder last used for that kind of file; empty when none is known or it is gone.
QString lastFolder(Folder kind);
// Remembers the folder of the file chosen.
void rememberFolderOf(Folder kind, const QString &filePath);

bool showWelcome();
void setShowWelcome(bool show);

QByteArray windowGeometry();
void setWindowGeometry(const QByteArray &geometry);

// Videos and projects, most recent first, at most maxRecentFiles.
constexpr int maxRecentFiles = 10;
QStringList recentFiles();
void addRecentFile(const QString &path);
void removeRecentFile(const QString &path);
void clearRecentFiles();

} // namespace AppSettings
