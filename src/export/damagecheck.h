#pragma once

#include <QString>

#include <atomic>
#include <future>
#include <memory>

// Whether the source was cut short (SmartCut::damagedFileNote), asked of the packet scan on a
// thread of its own while the export gets ready: the window's scan is usually cached by then,
// the command line scans here. Dropping the check cancels a scan still running.
class DamageCheck {
public:
    explicit DamageCheck(const QString &videoPath);
    ~DamageCheck();
    DamageCheck(const DamageCheck &) = delete;
    DamageCheck &operator=(const DamageCheck &) = delete;

    // The note, empty for a whole file; waits for the scan without freezing the window.
    QString note();

private:
    std::shared_ptr<std::atomic<bool>> cancel;
    std::future<QString> result;
};
