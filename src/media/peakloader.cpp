#include "peakloader.h"
#include "backgroundwork.h"

#include <QMetaObject>

namespace Media {

namespace {

// Cached peaks reach the GUI thread in runs this long (about five minutes of sound), so
// building the levels above never holds the event loop long.
constexpr size_t kCachedRunBlocks = 65536;
// Snippets of a long file's preview: about one per pixel of a full-width strip.
constexpr int kPreviewSnippets = 1024;

} // namespace

PeakLoader::PeakLoader(QObject *parent)
    : QObject(parent)
    , m_cacheDirectory(defaultPeakCacheDirectory())
{
}

PeakLoader::~PeakLoader()
{
    stop();
}

void PeakLoader::stop()
{
    ++m_generation;
    if (m_cancel)
        m_cancel->store(true);
    if (m_thread) {
        m_thread->wait();
        m_thread.reset();
    }
    m_cancel.reset();
    m_workDone = true;
}

void PeakLoader::clear()
{
    stop();
    m_peaks.clear();
    m_preview = {};
    m_source = PeakSource{};
    m_fromCache = false;
    m_state = State::Empty;
    emit peaksChanged();
}

void PeakLoader::load(const QString &path)
{
    clear();
    m_state = State::Reading;
    m_workDone = false;
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    m_thread.reset(QThread::create([this, path, directory = m_cacheDirectory, generation = m_generation,
                                    cancel = m_cancel] {
        yieldToInteractiveThreads();
        work(path, directory, generation, *cancel);
    }));
    // Playback and the window come first on a busy machine.
    m_thread->start(QThread::LowPriority);
    emit peaksChanged();
}

// Runs on the worker thread: touches no member but through queued calls.
void PeakLoader::work(const QString &path, const QString &cacheDirectory, quint64 generation,
                      const std::atomic<bool> &cancel)
{
    auto post = [this, generation](const PeakSource &source, bool fromCache, std::vector<Peak> &&blocks) {
        auto run = std::make_shared<const std::vector<Peak>>(std::move(blocks));
        QMetaObject::invokeMethod(this, [this, generation, source, fromCache, run] {
            receive(generation, source, fromCache, *run);
        }, Qt::QueuedConnection);
    };
    auto end = [this, generation](State state) {
        QMetaObject::invokeMethod(this, [this, generation, state] { finish(generation, state); },
                                  Qt::QueuedConnection);
    };

    if (std::optional<CachedPeaks> cached = readPeakCache(cacheDirectory, path)) {
        cached->source.expectedBlocks = qint64(cached->blocks.size());
        for (size_t at = 0; at < cached->blocks.size(); at += kCachedRunBlocks) {
            const auto from = cached->blocks.begin() + qint64(at);
            const auto to = cached->blocks.begin() + qint64(std::min(at + kCachedRunBlocks, cached->blocks.size()));
            post(cached->source, true, std::vector<Peak>(from, to));
        }
        end(cached->source.hasAudio ? State::Ready : State::NoAudio);
        return;
    }

    PeakSource source;
    PeakCacheWriter writer(cacheDirectory, path);
    auto preview = [this, generation](std::vector<TimedPeak> &&snippets) {
        auto shared = std::make_shared<const std::vector<TimedPeak>>(std::move(snippets));
        QMetaObject::invokeMethod(this, [this, generation, shared] {
            if (generation != m_generation)
                return;
            m_preview = *shared;
            emit peaksChanged();
        }, Qt::QueuedConnection);
    };
    const PeakDecodeStatus status = decodeAudioPeaks(path, &cancel, [&](std::vector<Peak> &&blocks) {
        writer.append(blocks);
        post(source, false, std::move(blocks));
    }, &source, preview, kPreviewSnippets);
    switch (status) {
    case PeakDecodeStatus::Complete:
        writer.commit(source);
        end(State::Ready);
        break;
    case PeakDecodeStatus::NoAudio:
        writer.commit(source);
        end(State::NoAudio);
        break;
    case PeakDecodeStatus::Failed:
        end(State::Failed);
        break;
    case PeakDecodeStatus::Canceled:
        break;
    }
}

void PeakLoader::receive(quint64 generation, const PeakSource &source, bool fromCache, const std::vector<Peak> &blocks)
{
    if (generation != m_generation)
        return;
    if (m_peaks.blockCount() == 0) {
        m_source = source;
        m_fromCache = fromCache;
        m_peaks.reserve(source.expectedBlocks);
    }
    m_peaks.append(blocks.data(), qint64(blocks.size()));
    emit peaksChanged();
}

void PeakLoader::finish(quint64 generation, State state)
{
    if (generation != m_generation)
        return;
    m_state = state;
    // The thread is only returning now; it is joined by the next load or the destructor, as
    // waiting here for a low-priority thread on a busy machine would hold the event loop.
    m_workDone = true;
    m_preview = {};
    emit peaksChanged();
}

} // namespace Media
