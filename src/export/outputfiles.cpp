#include "outputfiles.h"

#include "exportleftovers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <filesystem>
#include <system_error>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

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

} // namespace

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
    const QFileInfo info(outputPath);
    QTemporaryFile file(info.absoluteDir().filePath(QStringLiteral(".%1.XXXXXX.part").arg(info.fileName())));
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
