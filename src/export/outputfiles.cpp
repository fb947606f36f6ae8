#include "outputfiles.h"

#include "exportleftovers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>

namespace {

std::filesystem::path toFsPath(const QString &path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

QFileDevice::Permissions newFilePermissions()
{
    QFileDevice::Permissions all = QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
        | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
#ifdef Q_OS_UNIX
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (mask & S_IWGRP)
        all &= ~QFileDevice::WriteGroup;
    if (mask & S_IWOTH)
        all &= ~QFileDevice::WriteOther;
    if (mask & S_IRGRP)
        all &= ~QFileDevice::ReadGroup;
    if (mask & S_IROTH)
        all &= ~QFileDevice::ReadOther;
#endif
    return all;
}

// Bytes in one name, as Linux counts them (NAME_MAX).
const int maxNameBytes = 255;

} // namespace

QString notAFileReason(const QString &path)
{
    struct stat status = {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &status) != 0 || S_ISREG(status.st_mode))
        return QString();
    QString kind = QStringLiteral("a special file");
    if (S_ISDIR(status.st_mode))
        kind = QStringLiteral("a folder");
    else if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode))
        kind = QStringLiteral("a device");
    else if (S_ISFIFO(status.st_mode))
        kind = QStringLiteral("a pipe");
    else if (S_ISSOCK(status.st_mode))
        kind = QStringLiteral("a socket");
    return QStringLiteral("%1 is %2, not a file; choose a file to save to").arg(QDir::toNativeSeparators(path), kind);
}

QString hiddenTemplateBeside(const QString &outputPath, const QString &ending)
{
    const QFileInfo info(outputPath);
    QString name = info.fileName();
    const QString pattern = QStringLiteral(".%1.XXXXXX") + ending;
    while (!name.isEmpty() && QFile::encodeName(pattern.arg(name)).size() > maxNameBytes)
        name.chop(name.size() > 1 && name.back().isLowSurrogate() ? 2 : 1);
    return info.absoluteDir().filePath(pattern.arg(name));
}

bool refersToSameFile(const QString &first, const QString &second)
{
    if (first.isEmpty() || second.isEmpty())
        return false;
    std::error_code error;
    const bool same = std::filesystem::equivalent(toFsPath(first), toFsPath(second), error);
    return !error && same;
}

QString createTemporaryOutput(const QString &outputPath)
{
    QTemporaryFile file(hiddenTemplateBeside(outputPath, QStringLiteral(".part")));
    file.setAutoRemove(false);
    if (!file.open())
        return QString();
    const QString path = file.fileName();
    file.close();
    ExportLeftovers::track(path);
    return path;
}

bool replaceWithTemporary(const QString &temporaryPath, const QString &outputPath, QString *error)
{
    const QFileInfo existing(outputPath);
    const QFileDevice::Permissions permissions =
        existing.exists() ? existing.permissions() : newFilePermissions();
    QFile::setPermissions(temporaryPath, permissions);

    std::error_code code;
    std::filesystem::rename(toFsPath(temporaryPath), toFsPath(outputPath), code);
    if (code) {
        if (error)
            *error = QString::fromStdString(code.message());
        return false;
    }
    return true;
}
