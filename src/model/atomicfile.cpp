#include "atomicfile.h"

#include <QSaveFile>

#include <cerrno>
#include <unistd.h>

QString writeFileAtomically(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    // Unbuffered, so each write's error is seen here: a buffered file's last flush happens
    // inside commit(), which renames over the old file even when that flush failed.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    // A full disk may take part of a write without an error; writing the rest gives the reason.
    qint64 written = 0;
    while (written < bytes.size()) {
        const qint64 count = file.write(bytes.constData() + written, bytes.size() - written);
        if (count <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return reason;
        }
        written += count;
    }
    // commit() ignores a failed sync; a file system that allocates at write-back reports the
    // full disk only here. One that cannot sync at all (EINVAL) has nothing to report.
    if (file.handle() >= 0 && ::fdatasync(file.handle()) != 0) {
        const int error = errno;
        if (error != EINVAL) {
            file.cancelWriting();
            return qt_error_string(error);
        }
    }
    if (!file.commit())
        return file.errorString();
    return QString();
}
