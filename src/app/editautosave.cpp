#include "editautosave.h"

#include "applog.h"
#include "atomicfile.h"
#include "projectfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

const QString filePrefix = QStringLiteral("edit-");
const QString fileSuffix = QStringLiteral(".tlp");
const QString unreadablePrefix = QStringLiteral("unreadable-");

QString lockPathFor(const QString &path)
{
    return path.left(path.size() - fileSuffix.size()) + QStringLiteral(".lock");
}

} // namespace

EditAutosave::EditAutosave(QObject *parent)
    : QObject(parent)
    , timer(new QTimer(this))
{
    timer->setSingleShot(true);
    timer->setInterval(delayMs);
    connect(timer, &QTimer::timeout, this, &EditAutosave::writeInBackground);
}

EditAutosave::~EditAutosave()
{
    discard();
    if (serializing) {
        serializing->wait();
        delete serializing;
    }
}

void EditAutosave::setSnapshot(std::function<Serializer()> source)
{
    snapshot = std::move(source);
}

void EditAutosave::editChanged()
{
    // Not restarted by each change: a long run of edits is still written every few seconds.
    if (!timer->isActive())
        timer->start();
}

QString EditAutosave::folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/autosave");
}

bool EditAutosave::claimFile()
{
    if (ownLock)
        return true;
    const QString dir = folder();
    if (!QDir().mkpath(dir))
        return false;
    // Edits may hold private titles: only the user reads them.
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // An unguessable name per program, locked before anything is written under it.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString name = filePrefix + QString::number(QRandomGenerator::system()->generate64(), 16);
        const QString path = QDir(dir).filePath(name + fileSuffix);
        if (QFile::exists(path))
            continue;
        auto lock = std::make_unique<QLockFile>(lockPathFor(path));
        lock->setStaleLockTime(0);
        if (!lock->tryLock(0))
            continue;
        ownLock = std::move(lock);
        ownPath = path;
        return true;
    }
    return false;
}

void EditAutosave::writeNow()
{
    timer->stop();
    ++generation;
    if (snapshot)
        store(snapshot()());
}

void EditAutosave::writeInBackground()
{
    if (!snapshot)
        return;
    if (serializing) {
        writeAgain = true;
        return;
    }
    const quint64 asked = ++generation;
    auto bytes = std::make_shared<QByteArray>();
    serializing = QThread::create([work = snapshot(), bytes] { *bytes = work(); });
    connect(serializing, &QThread::finished, this, [this, asked, bytes] {
        serializing->deleteLater();
        serializing = nullptr;
        if (asked == generation)
            store(*bytes);
        if (writeAgain) {
            writeAgain = false;
            timer->start();
        }
    });
    serializing->start();
}

void EditAutosave::store(const QByteArray &bytes)
{
    if (!claimFile())
        return;
    // A write that fails keeps the previous copy: an older edit beats none.
    const QString failure = writeFileAtomically(ownPath, bytes);
    if (!failure.isEmpty())
        qCWarning(appLog) << "EditAutosave: cannot write" << ownPath << failure;
}

void EditAutosave::discard()
{
    timer->stop();
    ++generation;
    writeAgain = false;
    if (!ownLock)
        return;
    QFile::remove(ownPath);
    ownLock.reset(); // unlocking removes the lock file
    ownPath.clear();
}

QList<EditAutosave::Orphan> EditAutosave::orphans(QStringList *keptAside)
{
    QList<Orphan> found;
    const QDir dir(folder());
    const QStringList names =
        dir.entryList({filePrefix + QLatin1Char('*') + fileSuffix}, QDir::Files | QDir::NoSymLinks);
    for (const QString &name : names) {
        const QString path = dir.filePath(name);
        auto lock = std::make_shared<QLockFile>(lockPathFor(path));
        lock->setStaleLockTime(0);
        // Held by a running program (this one included): not an orphan. A lock left by a
        // process that is gone is taken over.
        if (!lock->tryLock(0))
            continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const ProjectFile::ReadResult project = ProjectFile::read(file.read(ProjectFile::MaxFileBytes + 1));
        file.close();
        Orphan orphan;
        orphan.path = path;
        orphan.lock = lock;
        if (!project.ok()) {
            // Cut short or damaged: nothing in it can be restored here, but it may be all that
            // is left of an edit. Renamed, it is no longer an autosave, so it is told of once.
            if (keptAside) {
                const QString aside = dir.filePath(unreadablePrefix + name);
                qCWarning(appLog) << "EditAutosave: keeping an unreadable copy as" << aside;
                keptAside->append(QFile::rename(path, aside) ? aside : path);
            }
            continue;
        }
        orphan.videoPath = project.videoPath;
        orphan.written = QFileInfo(path).lastModified();
        found.append(orphan);
    }
    std::sort(found.begin(), found.end(),
              [](const Orphan &a, const Orphan &b) { return a.written > b.written; });
    return found;
}

void EditAutosave::removeOrphan(const Orphan &orphan)
{
    QFile::remove(orphan.path);
    if (orphan.lock)
        orphan.lock->unlock();
}
