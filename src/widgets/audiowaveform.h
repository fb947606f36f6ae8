#pragma once

#include "clip.h"
#include "peakloader.h"
#include "repaintpacer.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

class TimelineWidget;

// The sound of the edit under the video: the source's peaks (Media::PeakLoader, heights in
// decibels down to -48 dB) laid out part after part as the timeline lays out the edited
// time, at the timeline's zoom and scroll, so the same x is the same edited time in both.
// While the peaks are read it fills in from the start over a paler preview of a long file
// and says so; a video without sound shows a flat line. It paints only when what it shows
// changes, from a picture kept between paints. A press or a drag asks to seek to the
// edited time under the pointer.
class AudioWaveform : public QWidget {
    Q_OBJECT
public:
    explicit AudioWaveform(QWidget *parent = nullptr);

    void setPeakLoader(Media::PeakLoader *loader);
    // Loads the hint's font ahead of the first video.
    void warmUpText();
    Media::PeakLoader *peakLoader() const { return m_loader; }
    // Takes clips, duration, zoom, scroll and playhead from the timeline from now on.
    void followTimeline(TimelineWidget *timeline);

    void setClips(const ClipList &clips);
    void setView(int zoom, qint64 scrollOffset);
    void setPosition(qint64 position);

    qint64 position() const { return m_position; }
    qint64 duration() const { return m_duration; }
    // The hint shown over the strip ("Reading audio…", "No audio"), empty when none.
    QString hint() const;

public slots:
    void setDuration(qint64 duration);

signals:
    void positionClicked(qint64 position);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void seekTo(int x);
    void invalidate();
    void syncWithTimeline();
    void renderWaveform();
    qint64 playheadX() const;
    QFont hintFont() const;

    QPointer<Media::PeakLoader> m_loader;
    RepaintPacer *m_loadPacer;
    QPointer<TimelineWidget> m_timeline;
    ClipList m_clips;
    qint64 m_position = 0;
    qint64 m_duration = 0;
    int m_zoom = 1;
    qint64 m_scrollOffset = 0;
    QImage m_picture;
    bool m_pictureValid = false;
};
