#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What the program remembers between runs (QSettings under the organisation and
// application names main() sets): recent files, the folders last used for each kind
// of file, the window's place, whether the welcome box is still to come and the last export's
// quality.
namespace AppSettings {

enum class Folder { Video, Project, Export };

// The folder last used for that kind of file; empty when none is known or it is gone.
QString lastFolder(Folder kind);
// Remembers the folder of the file chosen.
void rememberFolderOf(Folder kind, const QString &filePath);

bool showWelcome();
void setShowWelcome(bool show);

// The export quality last saved with, as the export dialog names it; empty when none.
QString exportQuality();
void setExportQuality(const QString &quality);

QByteArray windowGeometry();
void setWindowGeometry(const QByteArray &geometry);

// Videos and projects, most recent first, at most maxRecentFiles.
constexpr int maxRecentFiles = 10;
QStringList recentFiles();
void addRecentFile(const QString &path);
void removeRecentFile(const QString &path);
void clearRecentFiles();

} // namespace AppSettings
