// Editing cost with a long edit: 1000 clips in the real window.
#include "mainwindow.h"
#include "timelinewidget.h"
#include "userprompts.h"
#include "videoplayer.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QImage>
#include <QListWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

class SilentPrompts : public UserPrompts {
public:
    void message(Kind, QWidget *, const QString &, const QString &) override {}
    QString openFileName(QWidget *, const QString &, const QString &, const QString &) override { return {}; }
    QString saveFileName(QWidget *, const QString &, const QString &, const QString &) override { return {}; }
    int runDialog(QDialog &) override { return QDialog::Rejected; }
    int ask(QWidget *, const QString &, const QString &, const QStringList &) override { return -1; }
    void notice(const QString &, const QString &) override {}
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double timeMs(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e6;
}

bool seek(VideoPlayer *player, qint64 ms)
{
    player->setPosition(ms);
    QElapsedTimer waited;
    waited.start();
    while (qAbs(player->position() - ms) > 5 && waited.elapsed() < 5000)
        QTest::qWait(1);
    return qAbs(player->position() - ms) <= 5;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    QApplication app(argc, argv);

    QTemporaryDir dir;
    const QString video = dir.filePath("bench.mp4");
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=160x120:r=25:d=1200",
                            "-c:v", "libx264", "-preset", "ultrafast", "-g", "250", video});
    if (!ffmpeg.waitForFinished(300000) || ffmpeg.exitCode() != 0) {
        std::fprintf(stderr, "could not make the benchmark video\n");
        return 1;
    }

    SilentPrompts prompts;
    MainWindow window;
    window.setUserPrompts(&prompts);
    window.show();
    window.loadVideo(video);
    QElapsedTimer waited;
    waited.start();
    while (window.clips().isEmpty() && waited.elapsed() < 30000)
        QTest::qWait(10);
    if (window.clips().isEmpty()) {
        std::fprintf(stderr, "video did not load\n");
        return 1;
    }
    if (window.player()->isPlaying())
        window.playPause();
    QTest::qWait(200);

    const qint64 duration = window.clips().first().originalEnd;
    const int clipCount = 1000;
    std::vector<double> splits;
    for (int i = 1; i < clipCount; ++i) {
        const qint64 at = duration * i / clipCount;
        if (!seek(window.player(), at)) {
            std::fprintf(stderr, "seek to %lld failed\n", static_cast<long long>(at));
            return 1;
        }
        splits.push_back(timeMs([&] { window.splitAtPlayhead(); }));
    }
    std::printf("clips in the edit: %lld\n", static_cast<long long>(window.clips().size()));
    std::vector<double> lastSplits(splits.end() - 100, splits.end());
    std::printf("splitAtPlayhead, ~1000 clips: median %.2f ms\n", median(lastSplits));

    std::vector<double> undos, redos;
    for (int i = 0; i < 40; ++i) {
        undos.push_back(timeMs([&] { window.undoLastAction(); }));
        redos.push_back(timeMs([&] { window.redoLastAction(); }));
    }
    std::printf("undoLastAction, 1000 clips: median %.2f ms\n", median(undos));
    std::printf("redoLastAction, 1000 clips: median %.2f ms\n", median(redos));

    // Recalculation and the list panel rebuild, as every edit runs them.
    std::vector<double> recalcs;
    for (int i = 0; i < 40; ++i) {
        window.handleClipClicked(i);
        recalcs.push_back(timeMs([&] { window.trimClipEnd(); window.undoLastAction(); }));
    }
    std::printf("trim + undo (recalculate + refreshClipList twice), 1000 clips: median %.2f ms\n",
                median(recalcs));

    std::vector<double> repaints;
    QImage image(window.timeline()->size(), QImage::Format_ARGB32_Premultiplied);
    for (int i = 0; i < 40; ++i)
        repaints.push_back(timeMs([&] { window.timeline()->render(&image); }));
    std::printf("timeline repaint in the window, 1000 clips: median %.2f ms\n", median(repaints));
    std::printf("list panel rows: %d\n", window.clipListWidget()->count());
    return 0;
}
