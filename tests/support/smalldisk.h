#pragma once

#include <QDir>
#include <QFile>
#include <QString>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

// A small tmpfs mounted on a folder, for exports that run out of space. Mounting needs the
// right to mount (root in CI); without it `mounted()` is false and `why()` says why, so the
// test can skip.
class SmallDisk {
public:
    SmallDisk(const QString &folder, int kilobytes) : path(folder)
    {
        QDir().mkpath(path);
        const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k";
        if (::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0, options.constData()) == 0)
            isMounted = true;
        else
            reason = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~SmallDisk()
    {
        if (isMounted)
            ::umount2(QFile::encodeName(path).constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool mounted() const { return isMounted; }
    QString why() const { return QStringLiteral("cannot mount a tmpfs on %1: %2").arg(path, reason); }
    QString filePath(const QString &name) const { return QDir(path).filePath(name); }

private:
    QString path;
    bool isMounted = false;
    QString reason;
};
