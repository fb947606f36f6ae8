#pragma once

#include "audiopeaks.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>

namespace Media {

// The peaks of the loaded video's sound, made on a thread of its own (or read from the
// cache there) and handed to the GUI thread a run at a time, so they can be drawn while
// they grow. load() and clear() end the previous work first; so does the destructor, so
// no thread outlives its owner.
class PeakLoader : public QObject {
    Q_OBJECT
public:
    enum class State { Empty, Reading, Ready, NoAudio, Failed };

    explicit PeakLoader(QObject *parent = nullptr);
    ~PeakLoader() override;

    // Where the peaks of decoded files are kept; defaultPeakCacheDirectory() unless set.
    void setCacheDirectory(const QString &directory) { m_cacheDirectory = directory; }

    void load(const QString &path);
    void clear();

    State state() const { return m_state; }
    const PeakPyramid &peaks() const { return m_peaks; }
    // Rough sound over the whole of a long file, in time order, until its peaks are complete.
    const std::vector<TimedPeak> &preview() const { return m_preview; }
    const PeakSource &source() const { return m_source; }
    bool fromCache() const { return m_fromCache; }
    bool isWorking() const { return m_thread && !m_workDone; }

signals:
    // New blocks arrived or the state changed.
    void peaksChanged();

private:
    void stop();
    void work(const QString &path, const QString &cacheDirectory, quint64 generation, const std::atomic<bool> &cancel);
    void receive(quint64 generation, const PeakSource &source, bool fromCache, const std::vector<Peak> &blocks);
    void finish(quint64 generation, State state);

    QString m_cacheDirectory;
    State m_state = State::Empty;
    PeakPyramid m_peaks;
    std::vector<TimedPeak> m_preview;
    PeakSource m_source;
    bool m_fromCache = false;
    bool m_workDone = true;
    quint64 m_generation = 0;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    std::unique_ptr<QThread> m_thread;
};

} // namespace Media
