#include "shapereader.h"

#include "mediaindex.h"

#include <QThread>

ShapeReader::ShapeReader(QObject *parent)
    : QObject(parent)
{
}

ShapeReader::~ShapeReader()
{
    if (cancelRead)
        cancelRead->store(true);
}

void ShapeReader::read(const QString &path, int load)
{
    if (cancelRead)
        cancelRead->store(true);
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    cancelRead = cancel;
    auto result = std::make_shared<Media::DisplayShape>();
    QThread *reader = QThread::create([path, cancel, result] { *result = Media::readDisplayShape(path, cancel.get()); });
    // Queued to this object, so a player already gone hears nothing. The thread has finished
    // writing the result before finished is sent.
    connect(reader, &QThread::finished, this, [this, load, result] {
        const double sampleAspect = result->sampleAspect.valid() ? result->sampleAspect.value() : 1.0;
        const bool quarterTurn = result->rotation == 90 || result->rotation == 270;
        emit shapeRead(load, result->rotation, quarterTurn ? 1.0 / sampleAspect : sampleAspect);
    });
    connect(reader, &QThread::finished, reader, &QObject::deleteLater);
    reader->start(QThread::LowPriority);
}
