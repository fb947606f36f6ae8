#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

// Reads a file's display rotation and pixel aspect from its header on a short-lived thread,
// so opening a file never waits for the disk; a read started later cancels the one before.
class ShapeReader : public QObject {
    Q_OBJECT
public:
    explicit ShapeReader(QObject *parent = nullptr);
    ~ShapeReader() override;

    // The answer comes as shapeRead with the same load number.
    void read(const QString &path, int load);

signals:
    // degrees as the export reads the rotation; aspect is the sample aspect turned with the
    // picture (1 when the file gives none).
    void shapeRead(int load, int degrees, double aspect);

private:
    std::shared_ptr<std::atomic<bool>> cancelRead;
};
