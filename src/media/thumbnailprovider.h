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
// (ThumbnailDecoder) and kept in memory by the source time they were asked for, with their
// frame's time: a picture answers a tile only when that frame is on screen during the tile's
// span. Only what the timeline shows is asked for; a new request replaces the wishes not yet
// met, and stops the decode of a tile it no longer holds. Tiles are made in rising order, so
// each group of pictures is decoded once.
// setSource() and clear() end the previous work first; so does the destructor.
class ThumbnailProvider : public QObject {
    Q_OBJECT
public:
    explicit ThumbnailProvider(QObject *parent = nullptr);
    ~ThumbnailProvider() override;

    void setSource(const QString &path);
    void clear();

    // A tile's picture may show any frame on screen during [sourceMs, sourceMs + spanMs).
    struct Tile {
        qint64 sourceMs = 0;
        qint64 spanMs = 1;
        bool operator==(const Tile &other) const { return sourceMs == other.sourceMs && spanMs == other.spanMs; }
    };

    // The picture for the tile at the height last asked for; null until made.
    QImage thumbnail(const Tile &tile) const;
    // The frame on screen at the source time (ms).
    QImage thumbnail(qint64 sourceMs) const { return thumbnail(Tile{sourceMs, 1}); }
    // Asks for pictures height pixels high for these tiles, the most wanted first.
    void requestTiles(const QVector<Tile> &tiles, int height);
    // The frames on screen at these source times.
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
        std::deque<Tile> tiles;
        int height = 0;
        std::atomic<bool> cancel{false};
    };

    void stop();
    void work(const QString &path, quint64 generation, Queue &queue);
    struct Made {
        QImage image;
        qint64 frameMs = 0;
        bool atTime = false;
    };
    void receive(quint64 generation, qint64 sourceMs, int height, const Made &made);

    QHash<qint64, Made> m_images;
    int m_height = 0;
    double m_aspect = 16.0 / 9.0;
    quint64 m_generation = 0;
    std::shared_ptr<Queue> m_queue;
    std::unique_ptr<QThread> m_thread;
};

} // namespace Media
