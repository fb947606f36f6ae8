#pragma once

#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>
#include <QThread>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace Media {

// Thumbnails of the loaded video for the timeline, made on a thread of its own
// (ThumbnailDecoder) and kept in memory by the source time they were asked for. Only
// what the timeline shows is asked for; a new request replaces the wishes not yet met, and
// stops the decode of a time it no longer holds. Times are made in rising order, so each
// group of pictures is decoded once.
// setSource() and clear() end the previous work first; so does the destructor.
class ThumbnailProvider : public QObject {
    Q_OBJECT
public:
    explicit ThumbnailProvider(QObject *parent = nullptr);
    ~ThumbnailProvider() override;

    void setSource(const QString &path);
    void clear();

    // The picture for the source time (ms) at the height last asked for; null until made.
    QImage thumbnail(qint64 sourceMs) const { return m_images.value(sourceMs); }
    // Asks for pictures height pixels high at these source times, the most wanted first.
    void request(const QVector<qint64> &sourceTimes, int height);
    // Width over height of the pictures; 16:9 until the video is open.
    double aspectRatio() const { return m_aspect; }
    bool isWorking() const { return m_thread != nullptr; }
    // Times asked for and not yet made, the one being decoded included.
    int pendingCount() const;

signals:
    void thumbnailsReady();

private:
    struct Queue {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<qint64> times;
        int height = 0;
        std::atomic<bool> cancel{false};
    };

    void stop();
    void work(const QString &path, quint64 generation, Queue &queue);
    void receive(quint64 generation, qint64 sourceMs, int height, const QImage &image);

    QHash<qint64, QImage> m_images;
    QVector<qint64> m_lastRequest;
    int m_height = 0;
    double m_aspect = 16.0 / 9.0;
    quint64 m_generation = 0;
    std::shared_ptr<Queue> m_queue;
    std::unique_ptr<QThread> m_thread;
};

} // namespace Media
