#include "fulldisk.h"

#include <QDir>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

FullDisk::FullDisk(const QString &folder, int kilobytes)
    : path(QDir(folder).absolutePath())
{
    QDir().mkpath(path);
    const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k,mode=0700";
    if (::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options.constData()) == 0)
        isMounted = true;
    else
        why = QStringLiteral("cannot mount a small tmpfs to fill (%1); needs root").arg(QString::fromLocal8Bit(std::strerror(errno)));
}

FullDisk::~FullDisk()
{
    if (isMounted)
        ::umount2(QFile::encodeName(path).constData(), MNT_DETACH);
}

QString FullDisk::filePath(const QString &name) const
{
    return QDir(path).filePath(name);
}

bool FullDisk::fill(qint64 keepFree)
{
    struct statvfs room {};
    if (!isMounted || ::statvfs(QFile::encodeName(path).constData(), &room) != 0)
        return false;
    const int fd = ::open(QFile::encodeName(path + QStringLiteral("/filler")).constData(),
                          O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return false;
    static const char block[4096] = {};
    // Without room to keep, written until the system refuses: then it is full for certain.
    qint64 toTake = keepFree > 0 ? qint64(room.f_bavail) * qint64(room.f_frsize) - keepFree
                                 : std::numeric_limits<qint64>::max();
    ssize_t written = 0;
    while (toTake > 0 && (written = ::write(fd, block, size_t(std::min<qint64>(toTake, sizeof block)))) > 0)
        toTake -= written;
    const int error = errno;
    ::close(fd);
    return keepFree > 0 ? toTake <= 0 : written < 0 && error == ENOSPC;
}
