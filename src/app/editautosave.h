#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QLockFile;
class QThread;
class QTimer;

// Keeps a copy of the edit as a project in the user's data folder, written a moment
// after each change, so a crash loses at most that moment. Each running program
// writes its own file, held by a lock file that names the process; a file whose
// owner is gone is an orphan, offered back at the next start.
class EditAutosave : public QObject {
    Q_OBJECT
public:
    static constexpr int delayMs = 2000;

    struct Orphan {
        QString path;
        QString videoPath;   // as stored in it
        QDateTime written;
        std::shared_ptr<QLockFile> lock; // held while the orphan is being offered
    };

    explicit EditAutosave(QObject *parent = nullptr);
    // A clean end: the copy goes.
    ~EditAutosave() override;

    // Turns the edit into a project's bytes. It may run on another thread, so it holds
    // copies of what it writes, never references.
    using Serializer = std::function<QByteArray()>;
    // Where the edit comes from: asked on this object's thread when a write is due.
    void setSnapshot(std::function<Serializer()> snapshot);
    // Writes delayMs after the first change not yet written. The bytes are made on a worker
    // thread (a long edit takes a quarter of a second), the file written back on this one.
    void editChanged();
    // Writes at once, on this thread.
    void writeNow();
    // The edit is saved elsewhere or closed: removes the copy.
    void discard();
    // This program's copy; empty until the first write.
    QString filePath() const { return ownPath; }

    static QString folder();
    // Copies left by programs no longer running, newest first. Each comes locked, so
    // another program starting now does not offer the same one. Copies that cannot be read
    // are passed over; given keptAside, they are renamed "unreadable-edit-….tlp" (never
    // offered again) and where each now lies is added to it.
    static QList<Orphan> orphans(QStringList *keptAside = nullptr);
    static void removeOrphan(const Orphan &orphan);

private:
    bool claimFile();
    void writeInBackground();
    void store(const QByteArray &bytes);

    std::function<Serializer()> snapshot;
    QThread *serializing = nullptr;
    // Counts writes and discards: bytes made for an earlier one are dropped.
    quint64 generation = 0;
    bool writeAgain = false;
    QTimer *timer = nullptr;
    std::unique_ptr<QLockFile> ownLock;
    QString ownPath;
};
