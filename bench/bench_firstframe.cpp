// Time to the first frame of a 1080p H.264 file on screen: the program started with the file
// against ffmpeg decoding that file's first frame, side by side (paired runs, medians). The
// program prints "frame" when a display first paints after the player delivered a frame, and
// quits; each time runs from the process start. Needs a display (xvfb-run -a ./bench_firstframe [RUNS]).
#include "benchsupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>

#include <vector>


int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const int runs = argc > 1 ? qMax(1, QString::fromLocal8Bit(argv[1]).toInt()) : 7;
    QTemporaryDir dir;
    const QString video = dir.filePath(QStringLiteral("source-1080p.mp4"));
    QProcess make;
    make.start(QStringLiteral("ffmpeg"),
               {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30:duration=20", "-f", "lavfi",
                "-i", "sine=frequency=440:duration=20", "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt",
                "yuv420p", "-c:a", "aac", "-shortest", video});
    if (!make.waitForFinished(-1) || make.exitCode() != 0) {
        out << "could not make the source" << Qt::endl;
        return 1;
    }

    QProcessEnvironment programEnvironment = QProcessEnvironment::systemEnvironment();
    programEnvironment.insert(QStringLiteral("TRIMLET_EXIT_AT_FIRST_FRAME"), QStringLiteral("1"));
    // Settings of its own: no restore offer, no recent files of the user's, and no welcome box,
    // which a first start shows before the video plays.
    for (const char *variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        programEnvironment.insert(QString::fromLatin1(variable), dir.filePath(QString::fromLatin1(variable)));
    {
        QSettings settings(dir.filePath(QStringLiteral("XDG_CONFIG_HOME/Trimlet/Trimlet.conf")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("welcome/show"), false);
    }
    const QStringList decodeFirst = {"-v", "error", "-i", video, "-frames:v", "1", "-f", "null", "-"};

    std::vector<double> program, decode, ratios;
    for (int i = 0; i < runs; ++i) {
        const double t = Bench::msUntilLine(QStringLiteral(TRIMLET_BINARY), {video}, "frame", programEnvironment);
        const double f = Bench::msUntilLine(QStringLiteral("ffmpeg"), decodeFirst, {});
        if (t < 0 || f < 0) {
            out << "a run failed" << Qt::endl;
            return 1;
        }
        program.push_back(t);
        decode.push_back(f);
        ratios.push_back(t / f);
        out << QStringLiteral("run %1: Trimlet first frame %2 ms, ffmpeg first frame %3 ms")
                   .arg(i + 1)
                   .arg(t, 0, 'f', 1)
                   .arg(f, 0, 'f', 1)
            << Qt::endl;
    }
    out << QStringLiteral("median: Trimlet %1 ms, ffmpeg %2 ms, ratio %3 (median of pair ratios)  [target <= 3]")
               .arg(Bench::median(program), 0, 'f', 1)
               .arg(Bench::median(decode), 0, 'f', 1)
               .arg(Bench::median(ratios), 0, 'f', 2)
        << Qt::endl;
    return 0;
}
