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

// In rising order, each group of pictures decoded once: the earliest time the decoder reaches
// by carrying on, else the earliest of all.
qint64 nextTime(const std::vector<qint64> &times, const ThumbnailDecoder &decoder)
{
    qint64 earliest = times.front();
    std::optional<qint64> onwards;
    for (const qint64 time : times) {
        earliest = qMin(earliest, time);
        if ((!onwards || time < *onwards) && decoder.continuesTo(time))
            onwards = time;
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
    m_lastRequest.clear();
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
    return int(m_queue->times.size());
}

void ThumbnailProvider::request(const QVector<qint64> &sourceTimes, int height)
{
    if (!m_queue || height <= 0)
        return;
    if (height != m_height) {
        m_images.clear();
        m_height = height;
    }
    m_lastRequest = sourceTimes;
    if (m_images.size() > kKeptThumbnails) {
        QHash<qint64, QImage> kept;
        for (qint64 time : sourceTimes) {
            if (const auto found = m_images.constFind(time); found != m_images.constEnd())
                kept.insert(time, *found);
        }
        m_images.swap(kept);
    }
    {
        std::lock_guard<std::mutex> lock(m_queue->mutex);
        m_queue->times.clear();
        m_queue->height = height;
        for (qint64 time : sourceTimes) {
            if (!m_images.contains(time))
                m_queue->times.push_back(time);
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
        std::vector<qint64> times;
        int height = 0;
        {
            std::unique_lock<std::mutex> lock(queue.mutex);
            const auto asked = [&queue] { return queue.cancel.load() || !queue.times.empty(); };
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
            times.assign(queue.times.begin(), queue.times.end());
            height = queue.height;
        }
        const qint64 time = nextTime(times, decoder);
        // A time no longer asked for (scrolled away) stops its decode; the place reached is kept.
        bool dropped = false;
        const auto wanted = [&queue, &dropped, time] {
            std::lock_guard<std::mutex> lock(queue.mutex);
            dropped = std::find(queue.times.begin(), queue.times.end(), time) == queue.times.end();
            return !dropped;
        };
        const ThumbnailDecoder::Picture picture = decoder.pictureAt(time, height, wanted);
        if (dropped)
            continue;
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            // At another height the time is wanted again.
            const auto done = std::find(queue.times.begin(), queue.times.end(), time);
            if (done != queue.times.end() && queue.height == height)
                queue.times.erase(done);
        }
        QMetaObject::invokeMethod(this, [this, generation, time, height, image = picture.image] {
            receive(generation, time, height, image);
        }, Qt::QueuedConnection);
    }
}

void ThumbnailProvider::receive(quint64 generation, qint64 sourceMs, int height, const QImage &image)
{
    if (generation != m_generation || height != m_height || image.isNull())
        return;
    m_images.insert(sourceMs, image);
    emit thumbnailsReady();
}

} // namespace Media
