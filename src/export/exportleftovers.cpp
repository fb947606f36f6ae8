#include "exportleftovers.h"

#include "atomicfile.h"
#include "exportlog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <memory>

namespace ExportLeftovers {
namespace {

const QString listSuffix = QStringLiteral(".list");

// This program's own list, made at its first export and removed when it ends normally.
struct OwnList {
    QMutex mutex;
    std::unique_ptr<QLockFile> lock;
    QString path;
    QByteArray lines; // written whole each time: a failed write keeps the list as it was

    ~OwnList()
    {
        if (!path.isEmpty())
            QFile::remove(path);
    }
};

OwnList &ownList()
{
    static OwnList list;
    return list;
}

QString lockPathFor(const QString &listPath)
{
    return listPath + QStringLiteral(".lock");
}

bool claimList(OwnList &list)
{
    const QString dir = folder();
    if (!QDir().mkpath(dir))
        return false;
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString path = QDir(dir).filePath(
            QStringLiteral("export-%1").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'))
            + listSuffix);
        auto lock = std::make_unique<QLockFile>(lockPathFor(path));
        lock->setStaleLockTime(0);
        if (QFileInfo::exists(path) || !lock->tryLock(0))
            continue;
        list.lock = std::move(lock);
        list.path = path;
        return true;
    }
    return false;
}

} // namespace

QString folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/exports");
}

void track(const QString &path)
{
    if (path.isEmpty())
        return;
    OwnList &list = ownList();
    QMutexLocker locker(&list.mutex);
    if (list.path.isEmpty() && !claimList(list))
        return;
    list.lines += QFileInfo(path).absoluteFilePath().toUtf8() + '\n';
    const QString failure = writeFileAtomically(list.path, list.lines);
    if (!failure.isEmpty())
        qCWarning(exportLog) << "Cannot note" << path << "for removal after a crash:" << failure;
}

bool isOwnLeftover(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.exists())
        return false;
    static const QRegularExpression partialOutput(QStringLiteral("^\\..+\\.[A-Za-z0-9]{6}\\.part$"));
    static const QRegularExpression piecesFolder(QStringLiteral("^\\..+\\.[A-Za-z0-9]{6}\\.pieces$"));
    static const QRegularExpression workFolder(QStringLiteral("^trimlet-[a-z]+-[A-Za-z0-9]{6}$"));
    if (info.isFile())
        return partialOutput.match(info.fileName()).hasMatch();
    if (!info.isDir())
        return false;
    // Pieces are made beside the output, work folders in the temporary folder.
    return piecesFolder.match(info.fileName()).hasMatch()
        || (workFolder.match(info.fileName()).hasMatch()
            && QFileInfo(info.absolutePath()).canonicalFilePath() == QFileInfo(QDir::tempPath()).canonicalFilePath());
}

int removeStale()
{
    int removed = 0;
    const QDir dir(folder());
    for (const QString &name : dir.entryList({QStringLiteral("*") + listSuffix}, QDir::Files)) {
        const QString listPath = dir.filePath(name);
        QLockFile lock(lockPathFor(listPath));
        lock.setStaleLockTime(0);
        // Held by a running program (this one included): its exports are alive.
        if (!lock.tryLock(0))
            continue;
        QFile list(listPath);
        if (list.open(QIODevice::ReadOnly)) {
            // Our own lists only: never more than a few lines per export.
            const QList<QByteArray> lines = list.read(1 << 20).split('\n');
            for (const QByteArray &line : lines) {
                const QString path = QString::fromUtf8(line);
                if (path.isEmpty() || !isOwnLeftover(path))
                    continue;
                const bool gone = QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path);
                removed += gone ? 1 : 0;
            }
            list.close();
        }
        QFile::remove(listPath);
    }
    return removed;
}

} // namespace ExportLeftovers
