#include "thumbnailprovider.h"
#include "backgroundwork.h"
#include "thumbnaildecoder.h"

#include <QMetaObject>

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

namespace Media {

namespace {

// Beyond this many pictures, those not in the latest request are forgotten.
constexpr int kKeptThumbnails = 800;
// How long the decoder stays open with nothing asked.
constexpr std::chrono::seconds kIdleBeforeRelease(2);

using Tile = ThumbnailProvider::Tile;

// In rising order, each group of pictures decoded once: the earliest tile the decoder reaches
// by carrying on, else the earliest of all.
Tile nextTile(const std::vector<Tile> &tiles, const ThumbnailDecoder &decoder)
{
    Tile earliest = tiles.front();
    std::optional<Tile> onwards;
    for (const Tile &tile : tiles) {
        if (tile.sourceMs < earliest.sourceMs)
            earliest = tile;
        if ((!onwards || tile.sourceMs < onwards->sourceMs) && decoder.continuesTo(tile.sourceMs))
            onwards = tile;
    }
    return onwards.value_or(earliest);
}

} // namespace

ThumbnailProvider::ThumbnailProvider(QObject *parent)
    : QObject(parent)
{
}

ThumbnailProvider::~ThumbnailProvider()
{
    stop();
}

void ThumbnailProvider::stop()
{
    ++m_generation;
    if (m_queue) {
        {
            std::lock_guard<std::mutex> lock(m_queue->mutex);
            m_queue->cancel.store(true);
        }
        m_queue->wake.notify_all();
    }
    if (m_thread) {
        m_thread->wait();
        m_thread.reset();
    }
    m_queue.reset();
}

void ThumbnailProvider::clear()
{
    stop();
    m_images.clear();
    m_aspect = 16.0 / 9.0;
    emit thumbnailsReady();
}

void ThumbnailProvider::setSource(const QString &path)
{
    clear();
    m_queue = std::make_shared<Queue>();
    m_thread.reset(QThread::create([this, path, generation = m_generation, queue = m_queue] {
        yieldToInteractiveThreads();
        work(path, generation, *queue);
    }));
    m_thread->start(QThread::LowPriority);
}

int ThumbnailProvider::pendingCount() const
{
    if (!m_queue)
        return 0;
    std::lock_guard<std::mutex> lock(m_queue->mutex);
    return int(m_queue->tiles.size());
}

QImage ThumbnailProvider::thumbnail(const Tile &tile) const
{
    const auto found = m_images.constFind(tile.sourceMs);
    if (found == m_images.constEnd())
        return {};
    // A later frame of another span (another zoom) may lie outside this one.
    const bool during = found->frameMs >= tile.sourceMs && found->frameMs - tile.sourceMs < tile.spanMs;
    return found->atTime || during ? found->image : QImage();
}

void ThumbnailProvider::request(const QVector<qint64> &sourceTimes, int height)
{
    QVector<Tile> tiles;
    tiles.reserve(sourceTimes.size());
    for (const qint64 time : sourceTimes)
        tiles.append(Tile{time, 1});
    requestTiles(tiles, height);
}

void ThumbnailProvider::requestTiles(const QVector<Tile> &tiles, int height)
{
    if (!m_queue || height <= 0)
        return;
    if (height != m_height) {
        m_images.clear();
        m_height = height;
    }
    if (m_images.size() > kKeptThumbnails) {
        QHash<qint64, Made> kept;
        for (const Tile &tile : tiles) {
            if (const auto found = m_images.constFind(tile.sourceMs); found != m_images.constEnd())
                kept.insert(tile.sourceMs, *found);
        }
        m_images.swap(kept);
    }
    {
        std::lock_guard<std::mutex> lock(m_queue->mutex);
        m_queue->tiles.clear();
        m_queue->height = height;
        for (const Tile &tile : tiles) {
            if (thumbnail(tile).isNull())
                m_queue->tiles.push_back(tile);
        }
    }
    m_queue->wake.notify_one();
}

// Runs on the worker thread: touches no member but through queued calls.
void ThumbnailProvider::work(const QString &path, quint64 generation, Queue &queue)
{
    ThumbnailDecoder decoder(path, &queue.cancel);
    if (!decoder.isOpen())
        return;
    const double aspect = decoder.displayAspectRatio();
    QMetaObject::invokeMethod(this, [this, generation, aspect] {
        if (generation == m_generation) {
            m_aspect = aspect;
            emit thumbnailsReady();
        }
    }, Qt::QueuedConnection);
    for (;;) {
        std::vector<Tile> tiles;
        int height = 0;
        {
            std::unique_lock<std::mutex> lock(queue.mutex);
            const auto asked = [&queue] { return queue.cancel.load() || !queue.tiles.empty(); };
            if (!queue.wake.wait_for(lock, kIdleBeforeRelease, asked)) {
                // Idle a while (not between the batches of a scroll): a frame pool as large as
                // the video's pictures need not stay in memory.
                lock.unlock();
                decoder.releaseDecoder();
                lock.lock();
                queue.wake.wait(lock, asked);
            }
            if (queue.cancel.load())
                return;
            tiles.assign(queue.tiles.begin(), queue.tiles.end());
            height = queue.height;
        }
        const Tile tile = nextTile(tiles, decoder);
        // A tile no longer asked for (scrolled away) stops its decode; the place reached is kept.
        bool dropped = false;
        const auto wanted = [&queue, &dropped, tile] {
            std::lock_guard<std::mutex> lock(queue.mutex);
            dropped = std::find(queue.tiles.begin(), queue.tiles.end(), tile) == queue.tiles.end();
            return !dropped;
        };
        const ThumbnailDecoder::Picture picture = decoder.pictureDuring(tile.sourceMs, tile.spanMs, height, wanted);
        if (dropped)
            continue;
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            // At another height the tile is wanted again.
            const auto done = std::find(queue.tiles.begin(), queue.tiles.end(), tile);
            if (done != queue.tiles.end() && queue.height == height)
                queue.tiles.erase(done);
        }
        Made made{picture.image, picture.frameMs, picture.atTime};
        QMetaObject::invokeMethod(this, [this, generation, time = tile.sourceMs, height, made] {
            receive(generation, time, height, made);
        }, Qt::QueuedConnection);
    }
}

void ThumbnailProvider::receive(quint64 generation, qint64 sourceMs, int height, const Made &made)
{
    if (generation != m_generation || height != m_height || made.image.isNull())
        return;
    m_images.insert(sourceMs, made);
    emit thumbnailsReady();
}

} // namespace Media
