#pragma once

#include <QString>

// A small tmpfs mounted over a folder, filled on demand: what a full disk does to our writes.
// Mounting needs the right to (root); without it mounted() is false and reason() says why,
// for the test's QSKIP. The folder is unmounted (lazily, should a file still be open) at the end.
class FullDisk {
public:
    explicit FullDisk(const QString &folder, int kilobytes = 512);
    ~FullDisk();
    FullDisk(const FullDisk &) = delete;
    FullDisk &operator=(const FullDisk &) = delete;

    bool mounted() const { return isMounted; }
    QString reason() const { return why; }
    QString filePath(const QString &name) const;
    // Takes all free room but about keepFree bytes; true when it did.
    bool fill(qint64 keepFree = 0);

private:
    QString path;
    bool isMounted = false;
    QString why;
};
