#pragma once

#include "clip.h"
#include "repaintpacer.h"
#include "thumbnailprovider.h"
#include "timelinepartlayout.h"

#include <QFont>
#include <QHash>
#include <QPixmap>
#include <QPointer>
#include <QVector>
#include <QWidget>


// The horizontal strip under the video: one box per clip, the selection range, the
// playhead with its grab handle and a time ruler. It keeps a copy of the clip list
// and turns mouse input into clip and position clicks; it never edits the list.
// A press anywhere but on the handle seeks there (and selects the part it lands on
// in the track) and dragging scrubs; the handle drags the playhead and selects nothing.
// With a thumbnail provider, each part's box shows pictures from its span, asked for
// only where they are on screen; the box colour stands in until they arrive. What a paint
// draws of the parts comes from TimelinePartLayout, so it costs the pixels on screen rather
// than the length of the edit.
class TimelineWidget : public QWidget {
    Q_OBJECT
public:
    explicit TimelineWidget(QWidget *parent = nullptr);

    const ClipList &clips() const { return m_clips; }
    qint64 duration() const { return m_duration; }
    qint64 position() const { return m_position; }
    qint64 selectionStart() const { return m_selectionStart; }
    qint64 selectionEnd() const { return m_selectionEnd; }
    bool isDraggingPlayhead() const { return m_drag == Drag::Playhead; }
    int zoomLevel() const { return m_zoomLevel; }
    // The part the trims act on, drawn with a white outline while selected; -1 for none.
    int currentPart() const { return m_currentPart; }
    // Pixels the scaled track is scrolled left by, 0 at zoom 1.
    qint64 scrollOffset() const;

    void setThumbnailProvider(Media::ThumbnailProvider *provider);
    // Loads the fonts of the part numbers and the ruler ahead of the first video.
    void warmUpText();
    Media::ThumbnailProvider *thumbnailProvider() const { return m_thumbnails; }

public slots:
    void setClips(const ClipList &clips);
    void setCurrentPart(int index);
    void setDuration(qint64 duration);
    void setPosition(qint64 position);
    void setSelectionStart(qint64 position);
    void setSelectionEnd(qint64 position);
    void clearSelection();
    void setZoomLevel(int level);
    void zoomIn();
    void zoomOut();
    void setScrollOffset(qint64 offset);

signals:
    void positionClicked(qint64 position);
    void clipClicked(int index);
    // From the keyboard (the timeline has focus): the arrows, Home and End move the selection
    // to a part, Enter and Space select the part they are on; toggle with Control held.
    void partChosen(int index, bool toggle);
    void durationChanged(qint64 duration);
    // The clips, the duration, the zoom, the scroll or the width changed.
    void viewChanged();
    void positionChanged(qint64 position);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool event(QEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    enum class Drag { None, Playhead, Scrub };

    qint64 xOf(qint64 time) const;
    qint64 timeAt(qint64 x) const;
    void revealPosition();
    void revealPart(int index);
    // The part the keys move from: the current one, else the one under the playhead.
    int keyboardPart() const;
    bool isOnHandle(const QPoint &point) const;
    bool isInTrack(int y) const;
    void paintClips(QPainter &painter, int top, int height);
    bool hasPictures(const TimelinePartLayout::Box &box) const;
    void paintThumbnails(QPainter &painter, const Clip &clip, qint64 left, qint64 right, int top);
    void requestThumbnails();
    void notifyView();
    void paintSelection(QPainter &painter, int top, int height);
    void paintPlayhead(QPainter &painter);
    void paintDragLabel(QPainter &painter, qreal playheadX);
    void paintRuler(QPainter &painter);

    ClipList m_clips;
    bool m_clipsLaidOut = true;
    int m_currentPart = -1;
    qint64 m_duration = 0;
    qint64 m_position = 0;
    qint64 m_selectionStart = -1;
    qint64 m_selectionEnd = -1;
    Drag m_drag = Drag::None;
    int m_zoomLevel = 1;
    qint64 m_scrollOffset = 0;

    QPointer<Media::ThumbnailProvider> m_thumbnails;
    RepaintPacer *m_thumbnailPacer = nullptr;
    QVector<Media::ThumbnailProvider::Tile> m_wantedThumbnails;
    QVector<Media::ThumbnailProvider::Tile> m_requestedThumbnails;
    int m_thumbnailHeight = 0;
    struct ViewState {
        qint64 duration = 0;
        int zoom = 1;
        qint64 scroll = 0;
        int width = 0;
        bool operator==(const ViewState &other) const
        {
            return duration == other.duration && zoom == other.zoom && scroll == other.scroll
                && width == other.width;
        }
    } m_notifiedView;

    QHash<quint32, QPixmap> m_boxSprites;  // by width and mark
    int m_spriteTop = -1;
    qreal m_spriteRatio = 0;

    QFont m_clipFont;
    QFont m_rulerFont;
};
