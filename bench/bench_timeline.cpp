// Full repaint time of the timeline strip with a long edit of many clips.
#include "timelinewidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTextStream>
#include <algorithm>
#include <vector>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const int clipCount = 1000;
    const qint64 duration = 60 * 60 * 1000;
    ClipList clips;
    for (int i = 0; i < clipCount; ++i) {
        Clip clip;
        clip.startTime = duration * i / clipCount;
        clip.endTime = duration * (i + 1) / clipCount;
        clip.originalStart = clip.startTime;
        clip.originalEnd = clip.endTime;
        clip.isMarked = i % 7 == 0;
        clip.name = QStringLiteral("Part %1").arg(i + 1);
        clips.append(clip);
    }

    TimelineWidget timeline;
    timeline.resize(1400, 120);
    timeline.setDuration(duration);
    timeline.setClips(clips);
    timeline.setPosition(duration / 3);
    timeline.setSelectionStart(duration / 4);
    timeline.setSelectionEnd(duration / 2);

    QImage image(timeline.size(), QImage::Format_ARGB32_Premultiplied);
    QTextStream out(stdout);
    for (int zoom : {1, 10}) {
        timeline.setZoomLevel(zoom);
        timeline.render(&image); // warm-up: font and glyph caches
        const int runs = 50;
        std::vector<double> times;
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            timeline.render(&image);
            times.push_back(timer.nsecsElapsed() / 1e6);
        }
        std::sort(times.begin(), times.end());
        const double median = (times[runs / 2 - 1] + times[runs / 2]) / 2;
        const QString zoomNote = zoom == 1 ? QString() : QStringLiteral(" at zoom %1").arg(zoom);
        out << QStringLiteral("timeline repaint, %1 clips%2: median %3 ms")
                   .arg(clipCount)
                   .arg(zoomNote)
                   .arg(median, 0, 'f', 2)
            << Qt::endl;
    }
    return 0;
}
