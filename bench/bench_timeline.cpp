// Full repaint time of the timeline strip with long edits of many parts, at several zooms.
#include "benchsupport.h"
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

    QTextStream out(stdout);
    const qint64 duration = 3 * 60 * 60 * 1000;
    for (int clipCount : {200, 2000, 10000}) {
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
        for (int zoom : {1, 3, 6, 10}) {
            timeline.setZoomLevel(zoom);
            timeline.render(&image); // warm-up: font and glyph caches
            const int runs = 30;
            std::vector<double> times, cpuTimes;
            for (int run = 0; run < runs; ++run) {
                QElapsedTimer timer;
                const double cpuStart = Bench::threadCpuMs();
                timer.start();
                timeline.render(&image);
                times.push_back(timer.nsecsElapsed() / 1e6);
                cpuTimes.push_back(Bench::threadCpuMs() - cpuStart);
            }
            std::sort(times.begin(), times.end());
            std::sort(cpuTimes.begin(), cpuTimes.end());
            // The CPU time beside the wall time: on a shared machine the wall time also counts
            // other processes' turns.
            out << QStringLiteral("timeline repaint, %1 parts at zoom %2: median %3 ms, max %4 ms "
                                  "(CPU median %5 ms, max %6 ms)")
                       .arg(clipCount, 5)
                       .arg(zoom, 2)
                       .arg(times[runs / 2], 0, 'f', 2)
                       .arg(times.back(), 0, 'f', 2)
                       .arg(cpuTimes[runs / 2], 0, 'f', 2)
                       .arg(cpuTimes.back(), 0, 'f', 2)
                << Qt::endl;
        }
    }
    return 0;
}
