#include "audiodetection.h"
#include "batchedexport.h"
#include "exportcommand.h"
#include "exportcontroller.h"
#include "exportrunner.h"
#include "ffmpegerrors.h"
#include "ffmpeglocator.h"
#include "hardwareencoderdetector.h"
#include "recordingprompts.h"
#include "fulldisk.h"
#include "testclips.h"
#include "testmedia.h"
#include "titleimagerenderer.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <memory>
#include <QProgressDialog>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using Kind = UserPrompts::Kind;
using Result = ExportRunner::Result;

namespace {

const int exportTimeoutMs = 120000;
const double frameSeconds = 0.04; // every source here runs at 25 fps

using TestClips::clipOf;
using TestClips::withEffects;

struct StreamInfo {
    QString type;
    QString codec;
    int width = 0;
    int height = 0;
    double duration = -1;
};

QList<StreamInfo> streamsOf(const QString &path)
{
    const QByteArray json = TestMedia::runFFprobe({"-show_entries", "stream=codec_type,codec_name,width,height,duration",
                                                   "-of", "json", path})
                                .toUtf8();
    QList<StreamInfo> streams;
    for (const QJsonValue &v : QJsonDocument::fromJson(json).object().value("streams").toArray()) {
        const QJsonObject o = v.toObject();
        streams.append({o.value("codec_type").toString(), o.value("codec_name").toString(),
                        o.value("width").toInt(), o.value("height").toInt(),
                        o.value("duration").toString().toDouble()});
    }
    return streams;
}

StreamInfo streamOfType(const QList<StreamInfo> &streams, const QString &type)
{
    for (const StreamInfo &s : streams) {
        if (s.type == type)
            return s;
    }
    return {};
}

// One decoded frame as RGB.
QImage frameAt(const QString &path, double seconds)
{
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-ss", QString::number(seconds, 'f', 3), "-i", path, "-frames:v", "1",
                       "-f", "image2pipe", "-vcodec", "png", "-"});
    p.waitForFinished(60000);
    return QImage::fromData(p.readAllStandardOutput(), "PNG").convertToFormat(QImage::Format_RGB32);
}

// Mean of a square of pixels around (x, y).
QColor meanAround(const QImage &image, int x, int y, int radius = 3)
{
    double r = 0, g = 0, b = 0;
    int n = 0;
    for (int j = y - radius; j <= y + radius; ++j)
        for (int i = x - radius; i <= x + radius; ++i) {
            if (!image.valid(i, j))
                continue;
            const QRgb p = image.pixel(i, j);
            r += qRed(p);
            g += qGreen(p);
            b += qBlue(p);
            ++n;
        }
    return n ? QColor(int(r / n), int(g / n), int(b / n)) : QColor();
}

double luma(const QColor &c)
{
    return 0.299 * c.red() + 0.587 * c.green() + 0.114 * c.blue();
}

QByteArray hashOf(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

// Sources whose frames carry their number: bit b of frame N is column b (32 px wide) white.
const int numberedWidth = 320;
const int numberedHeight = 32;

bool makeNumberedVideo(const QString &path, const QString &rate, int sampleRate, const QStringList &outputArgs = {})
{
    return TestMedia::runFFmpeg(
        QStringList{"-f", "lavfi", "-i",
         QStringLiteral("color=c=black:s=%1x%2:r=%3:d=12,geq=lum='255*mod(floor(N/pow(2\\,floor(X/32)))\\,2)'"
                        ":cb=128:cr=128")
             .arg(numberedWidth)
             .arg(numberedHeight)
             .arg(rate),
         "-f", "lavfi", "-i", QStringLiteral("sine=f=440:d=12:sample_rate=%1").arg(sampleRate), "-c:v", "libx264",
         "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest"}
        + outputArgs + QStringList{path});
}

// The number each frame of a video shows, in order.
QList<int> frameNumbersOf(const QString &path)
{
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", path, "-map", "0:v:0", "-f", "rawvideo", "-pix_fmt", "gray", "-"});
    p.waitForFinished(120000);
    const QByteArray pixels = p.readAllStandardOutput();
    const int frameBytes = numberedWidth * numberedHeight;
    QList<int> numbers;
    for (qsizetype offset = 0; offset + frameBytes <= pixels.size(); offset += frameBytes) {
        const uchar *row = reinterpret_cast<const uchar *>(pixels.constData() + offset) + numberedHeight / 2 * numberedWidth;
        int number = 0;
        for (int bit = 0; bit < numberedWidth / 32; ++bit)
            number |= (row[bit * 32 + 16] > 128 ? 1 : 0) << bit;
        numbers << number;
    }
    return numbers;
}

// Each frame's time in ms from the file's start, as ffprobe reads the source.
QList<double> frameTimesOf(const QString &path)
{
    const double fileStart =
        TestMedia::runFFprobe({"-show_entries", "format=start_time", "-of", "csv=p=0", path}).trimmed().toDouble();
    QList<double> times;
    const QStringList lines = TestMedia::runFFprobe({"-select_streams", "v:0", "-show_entries",
                                                     "frame=best_effort_timestamp_time", "-of", "csv=p=0", path})
                                  .split('\n', Qt::SkipEmptyParts);
    // The first frame's line may carry a side-data section: a trailing comma and an empty line.
    for (const QString &line : lines) {
        const QString time = line.section(',', 0, 0).trimmed();
        if (!time.isEmpty())
            times << (time.toDouble() - fileStart) * 1000.0;
    }
    return times;
}

double streamSeconds(const QString &path, const QString &stream)
{
    return TestMedia::runFFprobe({"-select_streams", stream, "-show_entries", "stream=duration", "-of", "csv=p=0",
                                  path})
        .trimmed()
        .toDouble();
}

int audioSampleRateOf(const QString &path)
{
    return TestMedia::runFFprobe({"-select_streams", "a:0", "-show_entries", "stream=sample_rate", "-of", "csv=p=0",
                                  path})
        .trimmed()
        .toInt();
}

// The source frames whose times lie in a part, part after part.
QList<int> framesOfParts(const QList<double> &sourceTimes, const ClipList &parts)
{
    QList<int> frames;
    for (const Clip &part : parts) {
        for (int n = 0; n < sourceTimes.size(); ++n) {
            if (part.originalStart <= sourceTimes.at(n) + 1e-6 && sourceTimes.at(n) + 1e-6 < part.originalEnd)
                frames << n;
        }
    }
    return frames;
}

QByteArray decodedSound(const QString &path)
{
    QProcess p;
    p.start("ffmpeg", {"-v", "error", "-i", path, "-map", "0:a:0", "-f", "f32le", "-"});
    p.waitForFinished(120000);
    return p.readAllStandardOutput();
}

QString writeScript(const QString &path, const QString &body)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    f.write("#!/bin/sh\n" + body.toUtf8() + "\n");
    f.close();
    f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeUser);
    return path;
}

} // namespace

class TestExportFFmpeg : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString withAudio;    // 320x240, 4 s, testsrc2 and a tone
    QString silent;       // 320x240, 3 s, no audio
    QString rotated;      // 320x240 coded, displayed turned a quarter
    QString oddSize;      // 321x241
    QString pattern;      // 640x360, left half (200,80,60), right half black, 4 s with a tone
    QString shortVideo;   // video ends at 2 s, audio at 3 s
    QString numbered25;   // 12 s, numbered frames (320x32), 25 fps, sound at 44.1 kHz
    QString numberedNtsc; // the same at 30000/1001 fps, sound at 48 kHz
    QString numberedLate; // as numbered25 in MPEG-TS: the file starts 10 s in, its video 23 ms after its sound
    QString numbered30;   // as numbered25 at 30 fps, sound at 48 kHz

    RecordingPrompts prompts;
    ExportController *controller = nullptr;

    ExportSource sourceFor(const QString &path, const ClipList &clips) const
    {
        ExportSource s;
        s.videoPath = path;
        s.clips = clips;
        return s;
    }

    // Runs a video export to the end; the result, or -1 when it did not start.
    int exportVideo(const QString &source, const ClipList &clips, const QString &output, int width, int height,
                    int audioMode = 0, bool *hasAudio = nullptr)
    {
        bool audio = hasAudio ? *hasAudio : true;
        QSignalSpy finished(controller->runner(), &ExportRunner::exportFinished);
        const bool started =
            controller->exportWithFFmpeg(sourceFor(source, clips), output, width, height, 23, audioMode, audio);
        if (hasAudio)
            *hasAudio = audio;
        if (!started)
            return -1;
        if (!finished.wait(exportTimeoutMs))
            return -2;
        return int(finished.first().first().value<Result>());
    }

    QString out(const QString &name) const { return dir.filePath(name); }

    QStringList leftovers() const
    {
        return QDir(dir.path()).entryList({"*.part"}, QDir::Files | QDir::Hidden);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        withAudio = dir.filePath("with_audio.mp4");
        silent = dir.filePath("silent.mp4");
        rotated = dir.filePath("rotated.mp4");
        oddSize = dir.filePath("odd.mp4");
        pattern = dir.filePath("pattern.mp4");
        shortVideo = dir.filePath("short_video.mp4");

        QVERIFY(TestMedia::makeVideo(withAudio, {4, 320, 240, 25, true, {}}));
        QVERIFY(TestMedia::makeVideo(silent, {3, 320, 240, 25, false, {}}));
        const QString unrotated = dir.filePath("unrotated.mp4");
        QVERIFY(TestMedia::makeVideo(unrotated, {3, 320, 240, 25, true, {}}));
        QVERIFY(TestMedia::runFFmpeg({"-i", unrotated, "-c", "copy", "-metadata:s:v:0", "rotate=90", rotated}));
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "testsrc2=s=321x241:r=25:d=3", "-f", "lavfi", "-i",
                                      "sine=d=3", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p",
                                      "-c:a", "aac", "-shortest", oddSize}));
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i",
                                      "color=c=0xC8503C:s=640x360:r=25:d=4,drawbox=x=320:y=0:w=320:h=360:color=black:t=fill",
                                      "-f", "lavfi", "-i", "sine=d=4", "-c:v", "libx264", "-preset", "ultrafast",
                                      "-crf", "10", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", pattern}));
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=2", "-f", "lavfi", "-i",
                                      "sine=d=3", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                                      "-c:a", "aac", shortVideo}));
        numbered25 = dir.filePath("numbered25.mp4");
        numberedNtsc = dir.filePath("numbered_ntsc.mp4");
        numberedLate = dir.filePath("numbered_late.ts");
        QVERIFY(makeNumberedVideo(numbered25, "25", 44100));
        QVERIFY(makeNumberedVideo(numberedNtsc, "30000/1001", 48000));
        numbered30 = dir.filePath("numbered30.mp4");
        QVERIFY(makeNumberedVideo(numbered30, "30", 48000));
        // Frequent keyframes: seeking in MPEG-TS starts decoding only at one.
        QVERIFY(makeNumberedVideo(numberedLate, "25", 44100, {"-g", "10", "-output_ts_offset", "10"}));
        QCOMPARE(TestMedia::runFFprobe({"-select_streams", "v:0", "-show_entries", "stream_side_data=rotation",
                                        "-of", "csv=p=0", rotated})
                     .trimmed()
                     .remove(','),
                 QStringLiteral("90"));
    }

    void init()
    {
        prompts.clear();
        controller = new ExportController([this]() -> UserPrompts & { return prompts; }, nullptr, this);
    }

    void cleanup()
    {
        BatchedExport::setPartsPerBatch(0);
        delete controller;
        controller = nullptr;
    }

    void findsThisMachinesFFmpeg()
    {
        QCOMPARE(findFFmpeg(), QStringLiteral("ffmpeg"));
        QVERIFY(checkFFmpegAvailable(prompts, nullptr));
        QVERIFY(prompts.messages.isEmpty());
    }

    void candidateOrder()
    {
        const QString failing = writeScript(dir.filePath("failing.sh"), "exit 1");
        const QString slow = writeScript(dir.filePath("slow.sh"), "sleep 4; exit 3");
        const QString working = writeScript(dir.filePath("working.sh"), "exit 0");
        QCOMPARE(findFFmpegAmong({"/nonexistent/ffmpeg", failing, working}), working);
        // Still running after the wait: its exit code reads 0, so it is taken.
        QCOMPARE(findFFmpegAmong({failing, slow, working}), slow);
        QCOMPARE(findFFmpegAmong({failing, "/nonexistent/ffmpeg"}), QString());
    }

    void notFoundBox()
    {
        QVERIFY(!checkFFmpegAvailable(prompts, nullptr, {"/nonexistent/ffmpeg"}));
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Critical);
        QCOMPARE(prompts.last().title, QStringLiteral("FFmpeg Not Found"));
        const QString text = prompts.last().text;
        QVERIFY(text.startsWith("FFmpeg is required for video export but was not found.\n\nPlease install FFmpeg:"));
        QVERIFY(text.contains("  • Download from: https://ffmpeg.org/download.html\n"));
        QVERIFY(text.contains("  • Extract to C:\\ffmpeg\n  • Add C:\\ffmpeg\\bin to System PATH\n\n"));
        QVERIFY(text.endsWith("After installation, restart this application."));
    }

    void audioDetection_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<bool>("hasAudio");
        QTest::newRow("with audio") << "with" << true;
        QTest::newRow("silent") << "silent" << false;
        QTest::newRow("rotated with audio") << "rotated" << true;
        QTest::newRow("missing file") << "missing" << false;
        QTest::newRow("empty path") << "" << false;
    }
    void audioDetection()
    {
        QFETCH(QString, which);
        QFETCH(bool, hasAudio);
        const QString path = which == "with" ? withAudio
            : which == "silent"             ? silent
            : which == "rotated"            ? rotated
            : which == "missing"            ? dir.filePath("missing.mp4")
                                            : QString();
        QCOMPARE(detectAudioStream(path), hasAudio);
    }

    void probeReadsTheSource()
    {
        const SourceFacts facts = probeSource(rotated);
        QVERIFY(facts.sizeKnown);
        QCOMPARE(QSize(facts.width, facts.height), QSize(320, 240));
        QCOMPARE(facts.displaySize(), QSize(240, 320));
        QCOMPARE(facts.durationMs, qint64(3000));
        QCOMPARE(facts.frameRate, 25.0);
    }

    void twoClipsWithAudio()
    {
        const QString output = out("two.mp4");
        QCOMPARE(exportVideo(withAudio, {clipOf(500, 1500), clipOf(2000, 3500)}, output, 240, 180),
                 int(Result::Succeeded));
        QCOMPARE(prompts.last().title, QStringLiteral("Export Complete"));
        QCOMPARE(prompts.last().text, "Video exported successfully!\n\nSaved to:\n" + output);
        const auto streams = streamsOf(output);
        const StreamInfo video = streamOfType(streams, "video");
        QCOMPARE(video.codec, QStringLiteral("h264"));
        QCOMPARE(QSize(video.width, video.height), QSize(240, 180));
        QVERIFY2(qAbs(video.duration - 2.5) <= 2 * frameSeconds + 1e-6, qPrintable(QString::number(video.duration)));
        QCOMPARE(streamOfType(streams, "audio").codec, QStringLiteral("aac"));
        QVERIFY(leftovers().isEmpty());
        QVERIFY(controller->runner()->process() == nullptr);
        QVERIFY(controller->runner()->progressDialog() == nullptr);
    }

    void audioChoices_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("audioInOutput");
        QTest::addColumn<bool>("stillHasAudio");
        QTest::newRow("include") << "with" << 0 << true << true;
        QTest::newRow("mute") << "with" << 1 << false << true;
        QTest::newRow("include, silent source") << "silent" << 0 << false << false;
    }
    void audioChoices()
    {
        QFETCH(QString, which);
        QFETCH(int, mode);
        QFETCH(bool, audioInOutput);
        QFETCH(bool, stillHasAudio);
        const QString output = out("audio_choice.mp4");
        bool hasAudio = true;
        QCOMPARE(exportVideo(which == "with" ? withAudio : silent, {clipOf(0, 1000), clipOf(1500, 2500)}, output, 320,
                             240, mode, &hasAudio),
                 int(Result::Succeeded));
        const auto streams = streamsOf(output);
        QCOMPARE(streamOfType(streams, "audio").type.isEmpty(), !audioInOutput);
        QCOMPARE(hasAudio, stillHasAudio);
        QVERIFY(qAbs(streamOfType(streams, "video").duration - 2.0) <= 2 * frameSeconds + 1e-6);
    }

    void pictureEffects_data()
    {
        QTest::addColumn<Clip>("clip");
        QTest::addColumn<double>("at");
        QTest::addColumn<QString>("check");

        const Clip base = withEffects(clipOf(1000, 3000));
        QTest::newRow("plain") << base << 1.0 << "plain";
        Clip gray = base;
        gray.grayscale = true;
        QTest::newRow("grayscale") << gray << 1.0 << "gray";
        Clip sepia = base;
        sepia.sepia = true;
        QTest::newRow("sepia") << sepia << 1.0 << "sepia";
        Clip bright = base;
        bright.brightness = 30;
        QTest::newRow("brightness") << bright << 1.0 << "bright";
        Clip half = base;
        half.opacity = 50;
        QTest::newRow("opacity 50") << half << 1.0 << "half";
        Clip faint = base;
        faint.opacity = 20;
        QTest::newRow("opacity 20") << faint << 1.0 << "faint";
        Clip blurred = base;
        blurred.blurIntensity = 100;
        QTest::newRow("blur") << blurred << 1.0 << "blur";
        Clip fadeIn = base;
        fadeIn.fadeInDuration = 1500;
        QTest::newRow("fade in") << fadeIn << 0.0 << "dark";
        Clip fadeOut = base;
        fadeOut.fadeOutDuration = 1000;
        QTest::newRow("fade out") << fadeOut << 1.95 << "dark";
        Clip longFade = base;
        longFade.fadeOutDuration = 8000;
        QTest::newRow("fade longer than the clip") << longFade << 1.95 << "dark";
        Clip turned = base;
        turned.rotation = 90;
        QTest::newRow("rotation") << turned << 1.0 << "turned";
    }
    // On the pattern source: left half (200,80,60), right half black.
    void pictureEffects()
    {
        QFETCH(Clip, clip);
        QFETCH(double, at);
        QFETCH(QString, check);
        const QString output = out("effect.mp4");
        QCOMPARE(exportVideo(pattern, {clip}, output, -1, -1), int(Result::Succeeded));
        const QImage frame = frameAt(output, at);
        QVERIFY(!frame.isNull());
        const StreamInfo video = streamOfType(streamsOf(output), "video");
        QVERIFY(qAbs(video.duration - 2.0) <= frameSeconds + 1e-6);

        if (check == "turned") {
            // A quarter turn clockwise: the coloured left half is now on top.
            QCOMPARE(frame.size(), QSize(360, 640));
            const QColor top = meanAround(frame, 180, 160);
            const QColor bottom = meanAround(frame, 180, 480);
            QVERIFY(top.red() > 170 && top.green() < 110);
            QVERIFY(luma(bottom) < 25);
            return;
        }
        QCOMPARE(frame.size(), QSize(640, 360));
        const QColor left = meanAround(frame, 160, 180);
        const QColor right = meanAround(frame, 480, 180);
        const QColor nearEdge = meanAround(frame, 322, 180, 1);
        const auto info = qPrintable(QStringLiteral("left %1,%2,%3 right %4 edge %5")
                                         .arg(left.red())
                                         .arg(left.green())
                                         .arg(left.blue())
                                         .arg(luma(right))
                                         .arg(luma(nearEdge)));
        if (check == "plain") {
            QVERIFY2(qAbs(left.red() - 200) < 15 && qAbs(left.green() - 80) < 15 && qAbs(left.blue() - 60) < 15, info);
            QVERIFY2(luma(right) < 10 && luma(nearEdge) < 10, info);
        } else if (check == "gray") {
            QVERIFY2(qAbs(left.red() - left.green()) < 10 && qAbs(left.green() - left.blue()) < 10, info);
            QVERIFY2(left.red() > 60, info);
        } else if (check == "sepia") {
            QVERIFY2(left.red() > left.green() + 8 && left.green() > left.blue() + 8, info);
            QVERIFY2(qAbs(left.red() - 151) < 20 && qAbs(left.green() - 135) < 20 && qAbs(left.blue() - 105) < 20, info);
        } else if (check == "bright") {
            QVERIFY2(luma(right) > 50, info);
            QVERIFY2(luma(left) > 120, info);
        } else if (check == "half" || check == "faint") {
            // The picture over black: brightness falls with the opacity.
            const double expected = (check == "half" ? 0.5 : 0.2) * luma(QColor(200, 80, 60));
            QVERIFY2(qAbs(luma(left) - expected) < 12, info);
            QVERIFY2(luma(right) < 20, info);
        } else if (check == "blur") {
            QVERIFY2(luma(nearEdge) > 22, info);
            QVERIFY2(qAbs(left.red() - 200) < 20, info);
        } else if (check == "dark") {
            QVERIFY2(luma(left) < 40, info);
        }
    }

    // A title sits where the user put it, whatever the output size.
    void titleAtAnotherTargetSize_data()
    {
        QTest::addColumn<int>("limitWidth");
        QTest::addColumn<int>("limitHeight");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("source size") << 640 << 360 << 640 << 360;
        QTest::newRow("larger limit: never enlarged") << 854 << 480 << 640 << 360;
        QTest::newRow("smaller target") << 320 << 180 << 320 << 180;
    }
    void titleAtAnotherTargetSize()
    {
        QFETCH(int, limitWidth);
        QFETCH(int, limitHeight);
        QFETCH(int, width);
        QFETCH(int, height);
        Clip titled = clipOf(500, 2500);
        titled.showTitle = true;
        titled.titleText = "IIII";
        titled.titleAtTop = false;
        titled.titleDurationMode = 2;
        const QString output = out("title.mp4");
        QCOMPARE(exportVideo(pattern, {titled, clipOf(3000, 3500)}, output, limitWidth, limitHeight),
                 int(Result::Succeeded));

        const QRect box = TitleImageRenderer().boxRect(titled, QSize(640, 360));
        const double scale = double(width) / 640;
        const int padding = 640 * 30 / 960;
        // Inside the box, over the coloured half, away from the text: darkened.
        const QPoint inBox(int((box.left() + padding / 2 + 2) * scale), int(box.center().y() * scale));
        QVERIFY(box.left() + padding < 320);
        const QImage during = frameAt(output, 1.0);
        QCOMPARE(during.size(), QSize(width, height));
        const QColor shaded = meanAround(during, inBox.x(), inBox.y(), 1);
        QVERIFY2(shaded.red() < 90, qPrintable(QString::number(shaded.red())));
        // The text itself (white with black outline) lies within the box.
        int whiteInBox = 0;
        const QRect scaledBox(int(box.left() * scale), int(box.top() * scale), int(box.width() * scale),
                              int(box.height() * scale));
        for (int y = scaledBox.top() + 2; y < scaledBox.bottom() - 2; ++y)
            for (int x = scaledBox.left() + 2; x < scaledBox.right() - 2; ++x)
                whiteInBox += luma(QColor(during.pixel(x, y))) > 200;
        QVERIFY2(whiteInBox > 20, qPrintable(QString::number(whiteInBox)));
        // Outside the box the picture is untouched, and in the second clip there is no title.
        QVERIFY(meanAround(during, int(40 * scale), int(20 * scale)).red() > 170);
        QVERIFY(meanAround(frameAt(output, 2.2), inBox.x(), inBox.y(), 1).red() > 170);
        QVERIFY(controller->titleFolder().isEmpty());
    }

    void rotatedNextToUnrotated_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("partsPerRun");
        QTest::addColumn<QSize>("expected");
        // A target is a limit: the source's shape (upright when shown upright), never enlarged.
        QTest::newRow("to target") << "pattern" << 426 << 240 << 0 << QSize(426, 240);
        QTest::newRow("to a larger limit") << "pattern" << 854 << 480 << 0 << QSize(640, 360);
        QTest::newRow("no target: source size") << "pattern" << -1 << -1 << 0 << QSize(640, 360);
        QTest::newRow("rotation metadata source") << "rotated" << 640 << 360 << 0 << QSize(240, 320);
        QTest::newRow("odd size source") << "odd" << 854 << 480 << 0 << QSize(320, 240);
        QTest::newRow("no target, one part per run") << "pattern" << -1 << -1 << 1 << QSize(640, 360);
    }
    void rotatedNextToUnrotated()
    {
        QFETCH(QString, which);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, partsPerRun);
        QFETCH(QSize, expected);
        BatchedExport::setPartsPerBatch(partsPerRun);
        const QString source = which == "pattern" ? pattern : which == "rotated" ? rotated : oddSize;
        Clip turned = withEffects(clipOf(1500, 2500));
        turned.rotation = 90;
        turned.showTitle = true;
        turned.titleText = "T";
        const QString output = out("mixed.mp4");
        QCOMPARE(exportVideo(source, {clipOf(0, 1000), turned}, output, width, height), int(Result::Succeeded));
        const StreamInfo video = streamOfType(streamsOf(output), "video");
        QCOMPARE(QSize(video.width, video.height), expected);
        QVERIFY(qAbs(video.duration - 2.0) <= 2 * frameSeconds + 1e-6);
        if (which != "pattern")
            return;
        // The turned clip stands pillar-boxed in the middle: coloured on top, black below and at the sides.
        const QImage frame = frameAt(output, 1.5);
        const int w = frame.width();
        const int h = frame.height();
        QVERIFY(meanAround(frame, w / 2, h / 4).red() > 150);
        QVERIFY(luma(meanAround(frame, w / 2, h * 3 / 4)) < 25);
        QVERIFY(luma(meanAround(frame, 4, h / 4)) < 25);
        // The first clip fills the frame.
        QVERIFY(meanAround(frameAt(output, 0.5), 8, h / 2).red() > 150);
    }

    // Stored 3:4 with pixels 16:9 wide: a 4:3 picture, as every player shows it.
    void widePixelsKeepTheirShape_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("pictureWidth");
        QTest::newRow("to a larger limit: the shape shown") << 854 << 480 << QSize(640, 480) << 640;
        // The turned part needs a common size: the source's shape in square pixels.
        QTest::newRow("no target, a turned part") << -1 << -1 << QSize(640, 480) << 640;
    }
    void widePixelsKeepTheirShape()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QSize, size);
        QFETCH(int, pictureWidth);
        const QString source = out("wide_pixels.mp4");
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "color=c=0xC8503C:s=360x480:r=25:d=3,setsar=16/9", "-f",
                                      "lavfi", "-i", "sine=d=3", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
                                      "yuv420p", "-c:a", "aac", "-shortest", source}));
        Clip turned = withEffects(clipOf(1500, 2500));
        turned.rotation = 90;
        const ClipList clips = width > 0 ? ClipList{clipOf(0, 1000)} : ClipList{clipOf(0, 1000), turned};
        const QString output = out("wide_out.mp4");
        QCOMPARE(exportVideo(source, clips, output, width, height), int(Result::Succeeded));
        const StreamInfo video = streamOfType(streamsOf(output), "video");
        QCOMPARE(QSize(video.width, video.height), size);
        // Coloured just inside the shown shape's edges, black just outside them.
        const QImage frame = frameAt(output, 0.5);
        const int left = (size.width() - pictureWidth) / 2;
        const int right = left + pictureWidth - 1;
        const int middle = size.height() / 2;
        QVERIFY(meanAround(frame, left + 6, middle).red() > 150);
        QVERIFY(meanAround(frame, right - 6, middle).red() > 150);
        if (left > 8) {
            QVERIFY(luma(meanAround(frame, left - 6, middle)) < 25);
            QVERIFY(luma(meanAround(frame, right + 6, middle)) < 25);
        }
        if (width > 0)
            return;
        // Turned, the 3:4 shape stands 360 wide in the middle.
        const QImage turnedFrame = frameAt(output, 1.5);
        QVERIFY(meanAround(turnedFrame, 320 - 170, middle).red() > 150);
        QVERIFY(luma(meanAround(turnedFrame, 320 - 190, middle)) < 25);
    }

    // A title over pixels that are not square comes out as it does over square ones of the same shape.
    void titleOverWidePixels()
    {
        const QString wide = out("wide_title_source.mp4");
        const QString square = out("square_title_source.mp4");
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "color=c=0x3C50C8:s=360x480:r=25:d=2,setsar=16/9", "-c:v",
                                      "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", wide}));
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "color=c=0x3C50C8:s=640x480:r=25:d=2", "-c:v", "libx264",
                                      "-preset", "ultrafast", "-pix_fmt", "yuv420p", square}));
        Clip titled = clipOf(0, 1500);
        titled.showTitle = true;
        titled.titleText = "Wide open";
        titled.titleDurationMode = 2;
        QList<QImage> frames;
        for (const QString &source : {wide, square}) {
            const QString output = out(QFileInfo(source).baseName() + "_out.mp4");
            QCOMPARE(exportVideo(source, {titled}, output, 640, 480), int(Result::Succeeded));
            frames << frameAt(output, 0.5);
            QCOMPARE(frames.last().size(), QSize(640, 480));
        }
        // The letters' white, row by row: the same rows, about as wide.
        auto whiteSpan = [](const QImage &frame, int y) {
            int first = -1, last = -1;
            for (int x = 0; x < frame.width(); ++x) {
                if (luma(QColor(frame.pixel(x, y))) > 200) {
                    last = x;
                    if (first < 0)
                        first = x;
                }
            }
            return first < 0 ? 0 : last - first + 1;
        };
        int rowsWithText = 0;
        for (int y = 0; y < 480; ++y) {
            const int wideSpan = whiteSpan(frames.at(0), y);
            const int squareSpan = whiteSpan(frames.at(1), y);
            if (squareSpan == 0 && wideSpan == 0)
                continue;
            ++rowsWithText;
            const QByteArray seen = QStringLiteral("row %1: %2 px wide over wide pixels, %3 over square")
                                        .arg(y).arg(wideSpan).arg(squareSpan).toUtf8();
            QVERIFY2(qAbs(wideSpan - squareSpan) <= qMax(6, squareSpan / 10), seen.constData());
        }
        QVERIFY(rowsWithText > 5);
    }

    void rangesFitTheSource()
    {
        const QString output = out("ranges.mp4");
        QCOMPARE(exportVideo(withAudio, {clipOf(-500, 1000), clipOf(2000, 2000), clipOf(3500, 9000), clipOf(5000, 6000)},
                             output, 320, 240),
                 int(Result::Succeeded));
        const StreamInfo video = streamOfType(streamsOf(output), "video");
        QVERIFY2(qAbs(video.duration - 1.5) <= 2 * frameSeconds + 1e-6, qPrintable(QString::number(video.duration)));
    }

    void keepsExactlyTheFramesOfEachPart_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<ClipList>("parts");
        QTest::addColumn<int>("audioMode");
        QTest::addColumn<int>("partsPerRun");

        const ClipList playheadCuts{clipOf(0, 2030), clipOf(4510, 7020), clipOf(9290, 12000)};
        ClipList sixParts;
        for (int i = 0; i < 6; ++i)
            sixParts << clipOf(i * 2000 + 30, i * 2000 + 1050);
        const ClipList oneFrameParts{clipOf(1010, 1050), clipOf(3000, 3040), clipOf(5001, 5079)};
        QTest::newRow("25 fps, cuts between frames") << "25" << playheadCuts << 0 << 0;
        QTest::newRow("25 fps, six parts of 1020 ms") << "25" << sixParts << 0 << 0;
        QTest::newRow("25 fps, cuts on frames") << "25" << ClipList{clipOf(1000, 2000), clipOf(3040, 4000)} << 0 << 0;
        QTest::newRow("25 fps, parts of one frame, no sound") << "25" << oneFrameParts << 1 << 0;
        QTest::newRow("25 fps, parts out of order")
            << "25" << ClipList{clipOf(9290, 12000), clipOf(130, 2030)} << 0 << 0;
        QTest::newRow("30000/1001 fps, cuts between frames") << "ntsc" << playheadCuts << 0 << 0;
        QTest::newRow("30000/1001 fps, six parts") << "ntsc" << sixParts << 0 << 0;
        QTest::newRow("file starting late, sound first") << "late" << playheadCuts << 0 << 0;
        QTest::newRow("25 fps, six parts, two per run") << "25" << sixParts << 0 << 2;
        QTest::newRow("25 fps, parts of one frame, no sound, one per run") << "25" << oneFrameParts << 1 << 1;
        QTest::newRow("30000/1001 fps, cuts between frames, two per run") << "ntsc" << playheadCuts << 0 << 2;
        QTest::newRow("file starting late, one per run") << "late" << playheadCuts << 0 << 1;
    }
    // A part keeps the frames whose times lie in [start, end): no frame twice, none missing,
    // and the sound as long as the pictures.
    void keepsExactlyTheFramesOfEachPart()
    {
        QFETCH(QString, which);
        QFETCH(ClipList, parts);
        QFETCH(int, audioMode);
        QFETCH(int, partsPerRun);
        BatchedExport::setPartsPerBatch(partsPerRun);
        const QString source = which == "25" ? numbered25 : which == "ntsc" ? numberedNtsc : numberedLate;
        const QList<double> sourceTimes = frameTimesOf(source);
        QCOMPARE(frameNumbersOf(source).size(), sourceTimes.size());
        const QList<int> expected = framesOfParts(sourceTimes, parts);

        const QString output = out("exact.mp4");
        QCOMPARE(exportVideo(source, parts, output, -1, -1, audioMode), int(Result::Succeeded));
        const QList<int> numbers = frameNumbersOf(output);
        QCOMPARE(numbers.size(), expected.size());
        QCOMPARE(numbers, expected);

        if (audioMode == 1)
            return;
        const double video = streamSeconds(output, "v:0");
        const double audio = streamSeconds(output, "a:0");
        const double audioFrame = 1024.0 / audioSampleRateOf(source);
        QVERIFY2(qAbs(audio - video) <= audioFrame, qPrintable(QStringLiteral("audio %1 s, video %2 s").arg(audio).arg(video)));
    }

    // Fifty short parts, five per run: the frames of every part in order, and the very sound
    // of the same edit exported in one run (so no sample lost or added where pieces meet).
    void manyPartsInPieces()
    {
        ClipList parts;
        for (int i = 0; i < 50; ++i) {
            const qint64 start = i * 230 + (i % 3) * 17;
            parts << clipOf(start, start + 70 + (i % 4) * 40);
        }
        const QList<int> expected = framesOfParts(frameTimesOf(numberedNtsc), parts);

        BatchedExport::setPartsPerBatch(5);
        const QString output = out("pieces.mp4");
        QSignalSpy finished(controller->runner(), &ExportRunner::exportFinished);
        bool audio = true;
        QVERIFY(controller->exportWithFFmpeg(sourceFor(numberedNtsc, parts), output, -1, -1, 23, 0, audio));
        QCOMPARE(controller->runner()->stepCount(), 11);
        const QString folder = controller->runner()->workFolder();
        QVERIFY(QFileInfo(folder).isDir());
        QVERIFY(finished.wait(exportTimeoutMs));
        QCOMPARE(finished.first().first().value<Result>(), Result::Succeeded);
        QVERIFY(!QFileInfo::exists(folder));
        QCOMPARE(frameNumbersOf(output), expected);
        // Every frame on the output's grid: no gap and no overlap where pieces meet.
        const QList<double> times = frameTimesOf(output);
        QCOMPARE(times.size(), expected.size());
        for (int i = 0; i < times.size(); ++i)
            QVERIFY2(qAbs(times[i] - i * 1001.0 / 30.0) < 0.5, qPrintable(QStringLiteral("frame %1 at %2 ms").arg(i).arg(times[i])));
        const double video = streamSeconds(output, "v:0");
        QVERIFY(qAbs(streamSeconds(output, "a:0") - video) <= 1024.0 / 48000);

        BatchedExport::setPartsPerBatch(-1);
        const QString oneRun = out("one_run.mp4");
        QCOMPARE(exportVideo(numberedNtsc, parts, oneRun, -1, -1), int(Result::Succeeded));
        QCOMPARE(controller->runner()->stepCount(), 1);
        QCOMPARE(streamSeconds(oneRun, "v:0"), video);
        const QByteArray sound = decodedSound(output);
        QVERIFY(sound.size() > 48000 * 4);
        QVERIFY(sound == decodedSound(oneRun));
    }

    // A run after the first that fails, crashes or is cancelled takes the pieces, the
    // folder that held them and the partial output with it, and says what the run said.
    void aLaterRunEnds_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("error") << "echo 'piece0001.mp4: Invalid data found when processing input' >&2; exit 1"
                               << int(Result::Failed) << "Export Failed"
                               << "FFmpeg exited with error code 1\n\nError details:\n"
                                  "piece0001.mp4: Invalid data found when processing input\n";
        QTest::newRow("crash") << "kill -SEGV $$" << int(Result::Crashed) << "Export Failed"
                               << "FFmpeg process crashed during export.";
        QTest::newRow("cancel") << "exit 0" << int(Result::Canceled) << "Export Canceled"
                                << "Video export was canceled.";
    }
    void aLaterRunEnds()
    {
        QFETCH(QString, ending);
        QFETCH(int, result);
        QFETCH(QString, title);
        QFETCH(QString, text);
        // The second run waits for the test to look at the first one's pieces.
        const QString calls = out("calls");
        const QString go = out("go");
        QFile::remove(calls);
        QFile::remove(go);
        const QString program = writeScript(
            out("second_run_ends.sh"),
            QStringLiteral("n=$(cat '%1' 2>/dev/null || echo 0); n=$((n+1)); echo $n > '%1'\n"
                           "if [ $n -eq 1 ]; then exec '%2' \"$@\"; fi\n"
                           "while [ ! -f '%3' ]; do sleep 0.05; done\n%4")
                .arg(calls, findFFmpeg(), go, ending));
        controller->runner()->setFFmpegFinder([program] { return program; });
        BatchedExport::setPartsPerBatch(2);
        const QString output = out("later.mp4");
        QFile::remove(output);
        QSignalSpy finished(controller->runner(), &ExportRunner::exportFinished);
        bool audio = true;
        const ClipList parts{clipOf(0, 500), clipOf(1000, 1500), clipOf(2000, 2500), clipOf(3000, 3500)};
        QVERIFY(controller->exportWithFFmpeg(sourceFor(withAudio, parts), output, 320, 240, 23, 0, audio));
        const QString folder = controller->runner()->workFolder();
        QTRY_COMPARE_WITH_TIMEOUT(controller->runner()->finishedSteps(), 1, exportTimeoutMs);
        QVERIFY(QFileInfo(QDir(folder).filePath("piece0000.mp4")).size() > 0);
        QVERIFY(QFileInfo(QDir(folder).filePath("piece0000.wav")).size() > 0);
        if (result == int(Result::Canceled))
            emit controller->runner()->progressDialog()->canceled();
        else
            QFile(go).open(QIODevice::WriteOnly);
        QVERIFY(finished.wait(exportTimeoutMs));
        QCOMPARE(finished.first().first().value<Result>(), Result(result));
        QCOMPARE(prompts.last().title, title);
        QCOMPARE(prompts.last().text, text);
        QVERIFY(!QFileInfo::exists(folder));
        QVERIFY(!QFile::exists(output));
        QVERIFY(leftovers().isEmpty());
        QVERIFY(QDir(dir.path()).entryList({"*.pieces"}, QDir::Dirs | QDir::Hidden).isEmpty());
        QVERIFY(controller->runner()->process() == nullptr);
    }

    // The sound alone is cut where the video export cuts it.
    void audioOnlyFollowsTheFrames()
    {
        const ClipList parts{clipOf(0, 2030), clipOf(4510, 7020), clipOf(9290, 12000)};
        const QString output = out("exact.wav");
        QSignalSpy finished(controller->runner(), &ExportRunner::exportFinished);
        QVERIFY(controller->exportAudioOnly(sourceFor(numberedNtsc, parts), output, "wav", "", true));
        QVERIFY(finished.wait(exportTimeoutMs));
        QCOMPARE(finished.first().first().value<Result>(), Result::Succeeded);
        // Frames 0-60, 136-210 and 279-359 at 30000/1001 fps.
        const double frames = 61 + 75 + 81;
        const double expected = frames * 1001.0 / 30000.0;
        const double duration = streamSeconds(output, "a:0");
        QVERIFY2(qAbs(duration - expected) <= 1024.0 / 48000, qPrintable(QString::number(duration)));
    }

    void nothingToExport()
    {
        // Past the end, and between two frames (1000 and 1040 ms).
        QCOMPARE(exportVideo(withAudio, {clipOf(5000, 6000), clipOf(1010, 1030)}, out("nothing.mp4"), 320, 240), -1);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Warning);
        QCOMPARE(prompts.last().title, QStringLiteral("Nothing to Export"));
        QCOMPARE(prompts.last().text, QStringLiteral("The kept parts of this video are empty."));
        QVERIFY(controller->runner()->process() == nullptr);
        QVERIFY(!QFile::exists(out("nothing.mp4")));
        QVERIFY(leftovers().isEmpty());
    }

    // A part shorter than a frame's interval keeps the frame whose time lies in it, as Original
    // Quality does: frame k of a 30 fps video lies at k/30 s, so [1240, 1270) holds frame 38.
    void partsShorterThanAFrameKeepTheirFrames_data()
    {
        QTest::addColumn<ClipList>("parts");
        QTest::addColumn<QList<int>>("frames");
        QTest::newRow("30 ms, then 34 ms") << ClipList{clipOf(1240, 1270), clipOf(5000, 5034)}
                                            << QList<int>{38, 150, 151};
        ClipList milliseconds;
        for (int ms = 0; ms < 334; ++ms)
            milliseconds << clipOf(ms, ms + 1);
        QTest::newRow("one-millisecond parts") << milliseconds << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    }
    void partsShorterThanAFrameKeepTheirFrames()
    {
        QFETCH(ClipList, parts);
        QFETCH(QList<int>, frames);
        const QString output = out("subframe.mp4");
        QCOMPARE(exportVideo(numbered30, parts, output, 1920, 1080), int(Result::Succeeded));
        QCOMPARE(frameNumbersOf(output), frames);

        const QString sound = out("subframe.wav");
        QSignalSpy finished(controller->runner(), &ExportRunner::exportFinished);
        QVERIFY(controller->exportAudioOnly(sourceFor(numbered30, parts), sound, "wav", "", true));
        QVERIFY(finished.wait(exportTimeoutMs));
        QCOMPARE(finished.first().first().value<Result>(), Result::Succeeded);
        const double seconds = streamSeconds(sound, "a:0");
        QVERIFY2(qAbs(seconds - frames.size() / 30.0) < 0.002, qPrintable(QString::number(seconds)));
    }

    // A file of sound alone gives no video: said plainly, with the way to its sound, not in
    // ffmpeg's words ("Stream specifier ':v' ... matches no streams").
    void soundFileToAVideoExport()
    {
        const QString sound = out("sound only.m4a");
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "sine=d=2", "-c:a", "aac", sound}));
        QCOMPARE(exportVideo(sound, {clipOf(0, 1000)}, out("from sound.mp4"), 320, 240), -1);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Warning);
        QCOMPARE(prompts.last().title, QStringLiteral("No Video Track"));
        QCOMPARE(prompts.last().text, QStringLiteral("This file has no video, only sound.\n\n"
                                                     "To save its sound, choose \"Audio Only\" when you export."));
        QVERIFY(!QFile::exists(out("from sound.mp4")));
        QVERIFY(leftovers().isEmpty());
    }

    // The second clip has sound but no pictures; its looped title must still end.
    void titleOnAClipWithoutFrames()
    {
        Clip late = clipOf(2200, 2900);
        late.showTitle = true;
        late.titleText = "Late";
        const int result = exportVideo(shortVideo, {clipOf(500, 1500), late}, out("late.mp4"), 320, 240);
        QVERIFY2(result == int(Result::Succeeded), qPrintable(QString::number(result)));
    }

    void percentInTemporaryPath()
    {
        const QByteArray oldTmp = qgetenv("TMPDIR");
        const QString odd = dir.filePath("tmp%d%03d");
        QVERIFY(QDir().mkpath(odd));
        qputenv("TMPDIR", QFile::encodeName(odd));
        Clip titled = clipOf(0, 1500);
        titled.showTitle = true;
        titled.titleText = "Percent";
        const int result = exportVideo(pattern, {titled}, out("percent.mp4"), 640, 360);
        if (oldTmp.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", oldTmp);
        QCOMPARE(result, int(Result::Succeeded));
        QVERIFY(QDir(odd).entryList(QDir::Files).isEmpty());
    }

    void audioOnly_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("codec");
        QTest::addColumn<int>("clips");
        QTest::newRow("mp3") << "mp3" << "mp3" << 2;
        QTest::newRow("aac") << "aac" << "aac" << 2;
        QTest::newRow("wav") << "wav" << "pcm_s16le" << 2;
        QTest::newRow("flac") << "flac" << "flac" << 2;
        QTest::newRow("mp3 one clip") << "mp3" << "mp3" << 1;
    }
    void audioOnly()
    {
        QFETCH(QString, format);
        QFETCH(QString, codec);
        QFETCH(int, clips);
        const QString output = out("audio." + format);
        ClipList list{clipOf(500, 1500)};
        if (clips == 2)
            list << clipOf(2000, 3000);
        QSignalSpy finished(controller->runner(), &ExportRunner::exportFinished);
        QVERIFY(controller->exportAudioOnly(sourceFor(withAudio, list), output, format, "128k", true));
        QVERIFY(controller->runner()->progressDialog());
        QCOMPARE(controller->runner()->progressDialog()->windowTitle(), QStringLiteral("Audio Export Progress"));
        QVERIFY(finished.wait(exportTimeoutMs));
        QCOMPARE(finished.first().first().value<Result>(), Result::Succeeded);
        QCOMPARE(prompts.last().title, QStringLiteral("Export Complete"));
        const auto streams = streamsOf(output);
        QCOMPARE(streams.size(), 1);
        QCOMPARE(streams.first().type, QStringLiteral("audio"));
        QCOMPARE(streams.first().codec, codec);
        const double duration = TestMedia::probeDuration(output);
        QVERIFY2(qAbs(duration - clips) < 0.1, qPrintable(QString::number(duration)));
    }

    void audioOnlyWithoutAudio()
    {
        QVERIFY(!controller->exportAudioOnly(sourceFor(silent, {clipOf(0, 1000)}), out("none.mp3"), "mp3", "192k", false));
        QCOMPARE(prompts.last().kind, Kind::Warning);
        QCOMPARE(prompts.last().title, QStringLiteral("No Audio Track"));
        QVERIFY(!QFile::exists(out("none.mp3")));
    }

    void cancelLeavesNothing()
    {
        const QString output = out("canceled.mp4");
        Clip titled = clipOf(0, 4000);
        titled.showTitle = true;
        titled.titleText = "Cancel me";
        QSignalSpy finished(controller->runner(), &ExportRunner::exportFinished);
        bool audio = true;
        // A link where an image was once written must not lead the title over another file.
        const QString victim = out("victim.txt");
        {
            QFile file(victim);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write("keep me"), qint64(7));
        }
        const QString oldName = QDir::temp().filePath(QStringLiteral("trimlet_title_0.png"));
        QFile::remove(oldName);
        QVERIFY(QFile::link(victim, oldName));
        QVERIFY(controller->exportWithFFmpeg(sourceFor(pattern, {titled}), output, 1920, 1080, 18, 0, audio));
        const QString titleFolder = controller->titleFolder();
        QVERIFY(QFile::exists(controller->titleImagePath(0)));
        QVERIFY(controller->titleImagePath(0).startsWith(titleFolder + QLatin1Char('/')));
        QCOMPARE(QFileInfo(titleFolder).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup
                                                         | QFile::WriteOther | QFile::ExeGroup | QFile::ExeOther),
                 QFile::Permissions());
        QCOMPARE(leftovers().size(), 1);
        QProgressDialog *progress = controller->runner()->progressDialog();
        QVERIFY(progress);
        QCOMPARE(progress->windowTitle(), QStringLiteral("Export Progress"));
        QCOMPARE(progress->labelText(), QStringLiteral("Exporting video..."));
        emit progress->canceled();
        QVERIFY(finished.wait(exportTimeoutMs));
        QCOMPARE(finished.first().first().value<Result>(), Result::Canceled);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Information);
        QCOMPARE(prompts.last().title, QStringLiteral("Export Canceled"));
        QCOMPARE(prompts.last().text, QStringLiteral("Video export was canceled."));
        QVERIFY(!QFile::exists(output));
        QVERIFY(leftovers().isEmpty());
        QVERIFY(!QFileInfo::exists(titleFolder));
        QFile victimFile(victim);
        QVERIFY(victimFile.open(QIODevice::ReadOnly));
        QCOMPARE(victimFile.readAll(), QByteArray("keep me"));
        QFile::remove(oldName);
        QVERIFY(controller->runner()->process() == nullptr);
        QVERIFY(controller->runner()->progressDialog() == nullptr);
    }

    void failureKeepsTheExistingFile()
    {
        const QString output = out("existing.mp4");
        QFile::remove(output);
        QVERIFY(QFile::copy(withAudio, output));
        const QByteArray before = hashOf(output);

        // An encoder the machine cannot run makes ffmpeg fail.
        HardwareEncoderDetector broken(QStringLiteral("ffmpeg"));
        broken.parseEncoderList(" V....D h264_nvenc           NVIDIA NVENC H.264 encoder\n");
        ExportSource source = sourceFor(pattern, {clipOf(0, 1000)});
        source.encoderDetector = &broken;
        QSignalSpy finished(controller->runner(), &ExportRunner::exportFinished);
        bool audio = true;
        QVERIFY(controller->exportWithFFmpeg(source, output, 320, 240, 23, 0, audio));
        QVERIFY(finished.wait(exportTimeoutMs));
        QCOMPARE(finished.first().first().value<Result>(), Result::Failed);
        QCOMPARE(prompts.last().kind, Kind::Critical);
        QCOMPARE(prompts.last().title, QStringLiteral("Export Failed"));
        QVERIFY(prompts.last().text.startsWith("FFmpeg exited with error code "));
        QVERIFY(prompts.last().text.section("Error details:\n", 1).size() <= 500);
        QCOMPARE(hashOf(output), before);
        QVERIFY(leftovers().isEmpty());
    }

    void successReplacesTheExistingFile()
    {
        const QString output = out("replaced.mp4");
        QFile stale(output);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("not a video");
        stale.close();
        QCOMPARE(exportVideo(withAudio, {clipOf(0, 1000)}, output, 320, 240), int(Result::Succeeded));
        QCOMPARE(streamOfType(streamsOf(output), "video").codec, QStringLiteral("h264"));
        QVERIFY(leftovers().isEmpty());
    }

    void outputIsTheSource_data()
    {
        QTest::addColumn<QString>("spelling");
        QTest::newRow("same path") << "same";
        QTest::newRow("dot path") << "dot";
        QTest::newRow("symbolic link") << "symlink";
        QTest::newRow("hard link") << "hardlink";
        QTest::newRow("audio, same path") << "audio";
    }
    void outputIsTheSource()
    {
        QFETCH(QString, spelling);
        const QString source = dir.filePath("precious.mp4");
        if (!QFile::exists(source))
            QVERIFY(QFile::copy(withAudio, source));
        const QByteArray before = hashOf(source);

        QString output = source;
        const QString previous = QDir::currentPath();
        if (spelling == "dot") {
            QDir::setCurrent(dir.path());
            output = "./precious.mp4";
        } else if (spelling == "symlink") {
            output = dir.filePath("link.mp4");
            QFile::remove(output);
            QVERIFY(QFile::link(source, output));
        } else if (spelling == "hardlink") {
            output = dir.filePath("hard.mp4");
            QFile::remove(output);
            QCOMPARE(::link(QFile::encodeName(source).constData(), QFile::encodeName(output).constData()), 0);
        }

        bool started = false;
        if (spelling == "audio") {
            started = controller->exportAudioOnly(sourceFor(source, {clipOf(0, 1000)}), output, "mp3", "192k", true);
        } else {
            bool audio = true;
            started = controller->exportWithFFmpeg(sourceFor(source, {clipOf(0, 1000)}), output, 320, 240, 23, 0, audio);
        }
        QDir::setCurrent(previous);
        QVERIFY(!started);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Critical);
        QCOMPARE(prompts.last().title, QStringLiteral("Invalid Filename"));
        QCOMPARE(prompts.last().text,
                 QStringLiteral("The output file is the video being edited.\n\nPlease choose a different filename."));
        QVERIFY(controller->runner()->process() == nullptr);
        QCOMPARE(hashOf(source), before);
        QVERIFY(leftovers().isEmpty());
    }

    // Runs with stand-ins for ffmpeg that end in the ways a real one can.
    void endings_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("textStart");

        QTest::newRow("exit 0, nothing written")
            << "exit 0" << int(Result::Failed) << "Export Failed" << "FFmpeg reported success but wrote no output.";
        QTest::newRow("exit 0, output removed")
            << "for last; do :; done; rm -f \"$last\"; exit 0" << int(Result::Failed) << "Export Failed"
            << "FFmpeg reported success but wrote no output.";
        QTest::newRow("crash") << "kill -SEGV $$" << int(Result::Crashed) << "Export Failed"
                               << "FFmpeg process crashed during export.";
        QTest::newRow("error exit") << "exit 3" << int(Result::Failed) << "Export Failed"
                                    << "FFmpeg exited with error code 3\n\nError details:\n";
        QTest::newRow("writes output")
            << "for last; do :; done; printf 'data' > \"$last\"; exit 0" << int(Result::Succeeded)
            << "Export Complete" << "Video exported successfully!";
    }
    void endings()
    {
        QFETCH(QString, script);
        QFETCH(int, result);
        QFETCH(QString, title);
        QFETCH(QString, textStart);
        const QString program = writeScript(dir.filePath("fake_ffmpeg.sh"), script);
        controller->runner()->setFFmpegFinder([program] { return program; });
        const QString output = out("ending.mp4");
        QFile::remove(output);
        QCOMPARE(exportVideo(withAudio, {clipOf(0, 1000)}, output, 320, 240), result);
        QCOMPARE(prompts.last().title, title);
        QVERIFY2(prompts.last().text.startsWith(textStart), qPrintable(prompts.last().text));
        QCOMPARE(QFile::exists(output), result == int(Result::Succeeded));
        QVERIFY(leftovers().isEmpty());
        QVERIFY(controller->runner()->process() == nullptr);
    }

    void errorDetailsAreTheUnreadTail()
    {
        // A long error text written at once, just before the exit.
        const QString program = writeScript(dir.filePath("noisy.sh"),
                                            "i=0; msg=''; while [ $i -lt 100 ]; do msg=\"${msg}line $i of the error text\n\"; "
                                            "i=$((i+1)); done; printf \"$msg\" >&2; exit 2");
        controller->runner()->setFFmpegFinder([program] { return program; });
        QCOMPARE(exportVideo(withAudio, {clipOf(0, 1000)}, out("noisy.mp4"), 320, 240), int(Result::Failed));
        const QString details = prompts.last().text.section("Error details:\n", 1);
        QVERIFY(details.size() <= 500);
        QVERIFY(details.endsWith("line 99 of the error text\n"));
        QVERIFY(details.startsWith("line ")); // whole lines only
    }

    void errorDetailsNameTheReason()
    {
        // What ffmpeg writes when the disk fills: banner, listing, status lines, then the reason.
        const QString program = writeScript(
            dir.filePath("diskfull.sh"),
            "printf 'ffmpeg version 5.1\\n  built with gcc\\nInput #0, mov, from in.mp4:\\n"
            "  Stream #0:0: Video: h264\\nStream mapping:\\n  Stream #0:0 -> #0:0\\n"
            "frame=   10 fps=0.0 q=0.0 size=   0kB time=00:00:00.40 bitrate=N/A speed=0.8x\\r"
            "frame=   20 fps=19 q=28.0 size=  256kB time=00:00:00.80 bitrate=2621.4kbits/s speed=0.8x\\r"
            "[mp4 @ 0x55] Error writing trailer: No space left on device\\nConversion failed!\\n' >&2; exit 1");
        controller->runner()->setFFmpegFinder([program] { return program; });
        QCOMPARE(exportVideo(withAudio, {clipOf(0, 1000)}, out("full.mp4"), 320, 240), int(Result::Failed));
        QCOMPARE(prompts.last().text.section("Error details:\n", 1),
                 QStringLiteral("[mp4 @ 0x55] Error writing trailer: No space left on device\nConversion failed!\n"));
    }

    // Real ffmpeg failures reduced to their reason. On a full disk x264 and the AAC encoder
    // print their statistics after it, longer than any tail of the text.
    void meaningfulLinesOfRealFailures_data()
    {
        QTest::addColumn<QStringList>("arguments"); // DISK: a 64 kB tmpfs, SOURCE: 4 s of testsrc2 and a tone
        QTest::addColumn<QString>("reason");
        QTest::newRow("re-encode onto a full disk")
            << QStringList{"-i", "SOURCE", "-c:v", "libx264", "-preset", "ultrafast", "-crf", "10", "-c:a", "aac",
                           "-movflags", "+faststart", "DISK/out.mp4"}
            << "No space left on device";
        QTest::newRow("WAV onto a full disk")
            << QStringList{"-i", "SOURCE", "-vn", "-c:a", "pcm_s16le", "DISK/out.wav"} << "No space left on device";
        QTest::newRow("missing input") << QStringList{"-i", "MISSING", "-c:v", "libx264", "OUT"}
                                       << "No such file or directory";
        QTest::newRow("no sound to take")
            << QStringList{"-i", "SILENT", "-map", "0:a", "-c:a", "aac", "OUT"} << "matches no streams";
    }
    void meaningfulLinesOfRealFailures()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, reason);
        std::unique_ptr<FullDisk> disk;
        if (arguments.last().startsWith("DISK")) {
            disk = std::make_unique<FullDisk>(out("small_disk"), 64);
            if (!disk->mounted())
                QSKIP(qPrintable(disk->reason()));
        }
        for (QString &argument : arguments) {
            if (argument.startsWith("DISK"))
                argument = disk->filePath(argument.mid(5));
            argument.replace("SOURCE", withAudio).replace("MISSING", out("missing.mp4")).replace("SILENT", silent);
            argument.replace("OUT", out("failed.mp4"));
        }
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg", QStringList{"-nostdin", "-y"} + arguments);
        QVERIFY(ffmpeg.waitForFinished(exportTimeoutMs));
        QVERIFY(ffmpeg.exitCode() != 0);
        const QString output = QString::fromUtf8(ffmpeg.readAllStandardError());

        const QStringList lines = meaningfulErrorLines(output);
        QVERIFY2(lines.join('\n').contains(reason), qPrintable(output));
        for (const QString &line : lines) {
            for (const char *statistic : {"Avg QP", "kb/s:", "muxing overhead", "Qavg", "frame=", "Stream #"})
                QVERIFY2(!line.contains(QLatin1String(statistic)), qPrintable(line));
        }
        const QString details = errorDetails(output, 500);
        QVERIFY2(details.contains(reason), qPrintable(details));
        QVERIFY(details.size() <= 500);
    }

    // Without a line that names an error, the last lines that are not statistics.
    void meaningfulLinesFallBack_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("a warning, statistics and the verdict")
            << "[h264 @ 0x1] co located POCs unavailable\n[libx264 @ 0x2] frame I:1     Avg QP:17.00  size: 17525\n"
               "[libx264 @ 0x2] kb/s:2090.50\nvideo:536kB audio:18kB subtitle:0kB other streams:0kB global "
               "headers:0kB muxing overhead: unknown\nConversion failed!\n"
            << QStringList{"[h264 @ 0x1] co located POCs unavailable"};
        QTest::newRow("only the verdict") << "frame=  1 fps=0 time=00:00:00.04 bitrate=1\rConversion failed!\n"
                                          << QStringList{"Conversion failed!"};
        QTest::newRow("errors once each, the verdict last")
            << "av_interleaved_write_frame(): No space left on device\n    Last message repeated 6 times\n"
               "av_interleaved_write_frame(): No space left on device\n[aac @ 0x3] Qavg: 105.367\nConversion failed!\n"
            << QStringList{"av_interleaved_write_frame(): No space left on device", "Conversion failed!"};
    }
    void meaningfulLinesFallBack()
    {
        QFETCH(QString, output);
        QFETCH(QStringList, lines);
        QCOMPARE(meaningfulErrorLines(output), lines);
    }

    void progressFromStatusLines()
    {
        // Status lines in pieces, as a pipe may deliver them.
        const QString program = writeScript(
            dir.filePath("progress.sh"),
            "printf 'frame=1 time=00:00:0' >&2; sleep 0.3; printf '1.00 bitrate=1\\r' >&2; sleep 0.3; "
            "printf 'frame=2 time=00:00:03.00 bitrate=1\\r' >&2; sleep 0.3; "
            "printf 'frame=3 time=00:00:09.00 bitrate=1\\r' >&2; sleep 0.3; "
            "for last; do :; done; printf 'data' > \"$last\"; exit 0");
        controller->runner()->setFFmpegFinder([program] { return program; });
        QSignalSpy progress(controller->runner(), &ExportRunner::progressChanged);
        QCOMPARE(exportVideo(withAudio, {clipOf(0, 4000)}, out("progress.mp4"), 320, 240), int(Result::Succeeded));
        QList<int> values;
        for (const auto &args : progress)
            values << args.first().toInt();
        QCOMPARE(values, (QList<int>{25, 75, 99}));
        QCOMPARE(ExportRunner::progressLabel(75), QStringLiteral("Exporting video... 75%"));
    }

    // Runs in pieces share the bar by their length; the join, which only copies pictures,
    // takes a twentieth of the pieces' share. Two pieces of 800 ms, each run halfway.
    void progressAcrossRuns()
    {
        const QString program = writeScript(
            dir.filePath("halfway.sh"),
            "for last; do :; done; case \"$last\" in *.wav) t=00:00:00.40 ;; *) t=00:00:00.80 ;; esac; "
            "printf \"frame=1 time=$t bitrate=1\\r\" >&2; sleep 0.2; printf 'data' > \"$last\"; exit 0");
        controller->runner()->setFFmpegFinder([program] { return program; });
        BatchedExport::setPartsPerBatch(2);
        QSignalSpy progress(controller->runner(), &ExportRunner::progressChanged);
        const ClipList parts{clipOf(0, 400), clipOf(1000, 1400), clipOf(2000, 2400), clipOf(3000, 3400)};
        QCOMPARE(exportVideo(withAudio, parts, out("runs.mp4"), 320, 240), int(Result::Succeeded));
        QList<int> values;
        for (const auto &args : progress)
            values << args.first().toInt();
        // (800 * 50) / 1680, (800 * 100 + 800 * 50) / 1680, (1600 * 100 + 80 * 50) / 1680
        QCOMPARE(values, (QList<int>{23, 71, 97}));
    }

    void ffmpegMissingAtStart()
    {
        controller->runner()->setFFmpegFinder([] { return QString(); });
        QCOMPARE(exportVideo(withAudio, {clipOf(0, 1000)}, out("missing.mp4"), 320, 240), -1);
        QCOMPARE(prompts.last().kind, Kind::Critical);
        QCOMPARE(prompts.last().title, QStringLiteral("Error"));
        QCOMPARE(prompts.last().text, QStringLiteral("FFmpeg not found."));
        QVERIFY(controller->runner()->progressDialog() == nullptr);
        QVERIFY(leftovers().isEmpty());
    }

    void ffmpegFailsToStart()
    {
        controller->runner()->setFFmpegFinder([] { return QStringLiteral("/nonexistent/ffmpeg"); });
        QCOMPARE(exportVideo(withAudio, {clipOf(0, 1000)}, out("nostart.mp4"), 320, 240), -1);
        QCOMPARE(prompts.last().title, QStringLiteral("Error"));
        QVERIFY(prompts.last().text.startsWith(
            "Failed to start FFmpeg process.\n\nCommand: /nonexistent/ffmpeg\nError: "));
        QVERIFY(controller->runner()->progressDialog() == nullptr);
        QVERIFY(leftovers().isEmpty());
    }
};


QTEST_MAIN(TestExportFFmpeg)
#include "tst_export_ffmpeg.moc"
