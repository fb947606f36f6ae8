// Plays an edit through the real window and reads the frame counter drawn into every picture the
// displays receive: how many of each kept part's frames were shown, whether any removed frame
// was, and the time on screen between a part's last frame and the next part's first (the join).
// Against the ideal (every kept frame, no removed one, a join of one frame interval) and against the
// player's own frame-to-frame pace inside the parts, which no join can beat.
//
// bench_playback [runs] [keyframe interval in frames]
#include "benchsupport.h"
#include "editplayback.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "testmedia.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <map>

namespace {

constexpr int Fps = 30;

struct Figures {
    std::vector<double> coverage; // per part and run, in percent (parts of at least 1 s)
    std::vector<double> joins;    // ms between the last frame of a part and the first of the next
    std::vector<double> steps;    // ms between consecutive frames inside a part: the pace a join is held to
    int removedShown = 0;
    int joinsMissed = 0;          // crossings where the next part never started
};

void analyse(const ClipList &clips, const QList<EditPlayback::ShownFrame> &frames, Figures &figures,
             int firstFrameOfRun)
{
    std::vector<std::pair<int, int>> parts;
    for (const Clip &clip : clips)
        parts.push_back(EditPlayback::partFrames(clip, Fps));
    const auto partOf = [&](int number) {
        for (size_t i = 0; i < parts.size(); ++i)
            if (number >= parts[i].first && number <= parts[i].second)
                return int(i);
        return -1;
    };
    std::vector<std::set<int>> shown(parts.size());
    std::vector<qint64> lastShownNs(parts.size(), -1);
    std::vector<qint64> firstShownNs(parts.size(), -1);
    int previous = -1;
    int previousPart = -1;
    qint64 previousNs = 0;
    for (const EditPlayback::ShownFrame &frame : frames) {
        // The stop after the last part goes back to the first: the run ends there.
        if (previous >= 0 && frame.number < previous)
            break;
        previous = frame.number;
        const int part = partOf(frame.number);
        if (part < 0) {
            ++figures.removedShown;
            continue;
        }
        if (part == previousPart) {
            figures.steps.push_back(double(frame.wallNs - previousNs) / 1e6);
            if (qEnvironmentVariableIsSet("BENCH_PLAYBACK_DUMP") && figures.steps.back() > 150)
                std::fprintf(stderr, "stall of %.0f ms before frame %d\n", figures.steps.back(), frame.number);
        }
        previousPart = part;
        previousNs = frame.wallNs;
        shown[size_t(part)].insert(frame.number);
        if (firstShownNs[size_t(part)] < 0)
            firstShownNs[size_t(part)] = frame.wallNs;
        lastShownNs[size_t(part)] = frame.wallNs;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const int first = std::max(parts[i].first, firstFrameOfRun);
        const int count = parts[i].second - first + 1;
        if (count >= Fps)
            figures.coverage.push_back(100.0 * double(shown[i].size()) / count);
        if (i + 1 < parts.size() && parts[i].second >= firstFrameOfRun) {
            if (firstShownNs[i + 1] < 0 || lastShownNs[i] < 0)
                ++figures.joinsMissed;
            else
                figures.joins.push_back(double(firstShownNs[i + 1] - lastShownNs[i]) / 1e6);
            if (qEnvironmentVariableIsSet("BENCH_PLAYBACK_DUMP") && !figures.joins.empty())
                std::fprintf(stderr, "join %zu: %.0f ms\n", i, figures.joins.back());
        }
    }
}

double maximum(const std::vector<double> &values)
{
    return values.empty() ? -1 : *std::max_element(values.begin(), values.end());
}
double minimum(const std::vector<double> &values)
{
    return values.empty() ? -1 : *std::min_element(values.begin(), values.end());
}

} // namespace

int main(int argc, char *argv[])
{
    useProgramMediaEnvironment();
    QTemporaryDir userFolders;
    useOwnUserFolders(userFolders.path());
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const int keyframeInterval = argc > 2 ? std::max(1, atoi(argv[2])) : 250;

    QTemporaryDir dir;
    const QString video = dir.filePath("counter.mp4");
    const QString picture = FrameCounter::pictureSource(320, 180, Fps, 12) + ",scale=1280:720:flags=neighbor";
    if (!TestMedia::makeSoundVideo(video, picture, QStringLiteral("sine=frequency=440:sample_rate=48000:d=12"),
                                   {"-g", QString::number(keyframeInterval), "-shortest"})) {
        std::fprintf(stderr, "could not make the video\n");
        return 1;
    }

    RecordingPrompts prompts;
    MainWindow window;
    window.setUserPrompts(&prompts);
    window.show();
    window.loadVideo(video);
    const auto fail = [](const char *what) {
        std::fprintf(stderr, "failed: %s\n", what);
        return 1;
    };
    if (!EditPlayback::waitFor([&] { return window.clips().size() == 1 && window.player()->isPlaying(); }, 30000))
        return fail("load");
    window.playPause();
    if (!EditPlayback::waitFor([&] { return !window.player()->isPlaying(); }, 10000))
        return fail("pause");
    // Four kept parts of 2-3 s with a second removed between each: three joins per run.
    if (!EditPlayback::cutAndDelete(window, {3000, 4000, 6000, 7000, 9000, 10000}, {1, 3, 5}))
        return fail("edit");

    EditPlayback::Recorder recorder(window.player());
    Figures figures;
    const qint64 startAt = 500;
    for (int run = 0; run < runs; ++run) {
        window.player()->setPosition(startAt);
        if (!EditPlayback::waitFor([&] { return qAbs(window.player()->position() - startAt) < 50; }, 10000))
        {
            std::fprintf(stderr, "at %lld, state %d, status %d\n", window.player()->position(),
                         int(window.player()->mediaPlayer()->playbackState()),
                         int(window.player()->mediaPlayer()->mediaStatus()));
            return fail("seek");
        }
        QTest::qWait(300);
        recorder.start();
        window.playPause();
        if (!EditPlayback::waitFor([&] { return window.player()->isPlaying(); }, 10000))
            return fail("play");
        if (!EditPlayback::waitFor([&] { return !window.player()->isPlaying(); }, 60000))
            return fail("stop at the end");
        QTest::qWait(300);
        recorder.stop();
        if (qEnvironmentVariableIsSet("BENCH_PLAYBACK_DUMP")) {
            QStringList numbers;
            for (const EditPlayback::ShownFrame &frame : recorder.frames)
                numbers << QString::number(frame.number);
            std::fprintf(stderr, "run %d: %s\n", run, qPrintable(numbers.join(' ')));
        }
        analyse(window.clips(), recorder.frames, figures, int(startAt * Fps / 1000) + 1);
    }

    std::printf("Playing the edit: 1280x720, %d fps, keyframe every %d frames, %d runs x 3 joins\n", Fps,
                keyframeInterval, runs);
    std::printf("%-34s %10s %10s\n", "", "measured", "ideal");
    std::printf("%-34s %9.1f%% %9.1f%%\n", "kept frames shown, median part", Bench::median(figures.coverage),
                100.0);
    std::printf("%-34s %9.1f%% %9.1f%%\n", "kept frames shown, worst part", minimum(figures.coverage), 100.0);
    std::printf("%-34s %10d %10d\n", "removed frames shown", figures.removedShown, 0);
    std::printf("%-34s %8.0fms %8.0fms\n", "join, median", Bench::median(figures.joins), 1000.0 / Fps);
    std::printf("%-34s %8.0fms %8.0fms\n", "join, max", maximum(figures.joins), 1000.0 / Fps);
    std::printf("%-34s %10d %10d\n", "joins where the next part never showed", figures.joinsMissed, 0);
    std::printf("%-34s %8.0fms %8.0fms\n", "frame to frame inside parts, median", Bench::median(figures.steps),
                1000.0 / Fps);
    std::printf("%-34s %8.0fms %8.0fms\n", "frame to frame inside parts, max", maximum(figures.steps), 1000.0 / Fps);
    return 0;
}
