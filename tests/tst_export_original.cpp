#include "exportcontroller.h"
#include "exportrunner.h"
#include "recordingprompts.h"
#include "smartexportjob.h"
#include "testmain.h"
#include "testclips.h"
#include "testmedia.h"

#include <QAudioOutput>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMediaPlayer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QVideoSink>
#include <cmath>

using Kind = UserPrompts::Kind;
using Result = ExportRunner::Result;

namespace {

const int exportTimeoutMs = 240000;

using TestClips::clipOf;

// Three parts cut between frames (20 ms past a 25 fps frame) and between keyframes.
ClipList threeParts()
{
    return {clipOf(1020, 7020), clipOf(8020, 15020), clipOf(16020, 23020)};
}
// The frames those parts hold: [26, 176), [201, 376), [401, 576).
const QList<QPair<int, int>> threePartFrames{{26, 176}, {201, 376}, {401, 576}};
const int threePartFrameCount = 500;

QJsonObject probe(const QString &path)
{
    return QJsonDocument::fromJson(TestMedia::runFFprobe({"-count_frames", "-show_entries",
                                                           "stream=codec_type,codec_name,profile,width,height,"
                                                           "duration,nb_read_frames,sample_rate",
                                                           "-of", "json", path})
                                       .toUtf8())
        .object();
}

QJsonObject streamOf(const QJsonObject &probed, const QString &type)
{
    for (const QJsonValue &v : probed.value("streams").toArray()) {
        if (v.toObject().value("codec_type").toString() == type)
            return v.toObject();
    }
    return {};
}

QString decodeErrors(const QString &path)
{
    QString error;
    TestMedia::runFFmpeg({"-i", path, "-f", "null", "-"}, &error);
    return error.trimmed();
}

} // namespace

class TestExportOriginal : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    RecordingPrompts prompts;
    ExportController *controller = nullptr;

    QString makeSource(const QString &name, const QStringList &videoArgs, const QString &audioArgs, int seconds,
                       int sampleRate = 48000)
    {
        const QString path = dir.filePath(name);
        if (QFile::exists(path))
            return path;
        QStringList args{"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i",
                         QStringLiteral("sine=frequency=330:sample_rate=%1").arg(sampleRate), "-t",
                         QString::number(seconds)};
        args << videoArgs << audioArgs.split(' ', Qt::SkipEmptyParts) << path;
        QString error;
        if (!TestMedia::runFFmpeg(args, &error))
            qWarning() << error;
        return path;
    }

    QString cabacSource()
    {
        return makeSource("cabac.mp4",
                          {"-c:v", "libx264", "-preset", "veryfast", "-bf", "3", "-g", "50", "-keyint_min", "50",
                           "-sc_threshold", "0", "-pix_fmt", "yuv420p"},
                          "-c:a aac -b:a 128k", 24);
    }

    // Runs the original-quality export to its end; the result, or -1 on a time-out.
    int exportOriginal(const QString &source, const ClipList &clips, const QString &output, int audioMode = 0)
    {
        ExportSource edit;
        edit.videoPath = source;
        edit.clips = clips;
        QSignalSpy finished(controller, &ExportController::exportFinished);
        bool hasAudio = true;
        if (!controller->exportOriginalQuality(edit, output, audioMode, hasAudio))
            return int(Result::Failed);
        if (!finished.wait(exportTimeoutMs) && finished.isEmpty())
            return -1;
        return finished.last().at(0).toInt();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        controller = new ExportController([this]() -> UserPrompts & { return prompts; }, nullptr, this);
    }

    void init() { prompts.clear(); }

    void framesExactForEachSourceKind_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("videoArgs");
        QTest::addColumn<QString>("audioArgs");
        QTest::addColumn<int>("sampleRate");
        QTest::addColumn<bool>("copies");
        const QStringList gop2{"-g", "50", "-keyint_min", "50", "-sc_threshold", "0", "-pix_fmt", "yuv420p"};
        QTest::newRow("x264 CABAC with B-frames")
            << "cabac.mp4" << (QStringList{"-c:v", "libx264", "-preset", "veryfast", "-bf", "3"} + gop2)
            << "-c:a aac -b:a 128k" << 48000 << true;
        QTest::newRow("CAVLC baseline")
            << "baseline.mp4" << (QStringList{"-c:v", "libx264", "-profile:v", "baseline"} + gop2)
            << "-c:a aac -b:a 96k" << 44100 << true;
        QTest::newRow("x265")
            << "hevc.mp4"
            << QStringList{"-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                           "keyint=50:min-keyint=50:scenecut=0:open-gop=0:log-level=error", "-pix_fmt", "yuv420p"}
            << "-c:a aac" << 48000 << true;
        QTest::newRow("10 s GOP")
            << "gop10.mp4"
            << QStringList{"-c:v", "libx264", "-preset", "veryfast", "-g", "250", "-keyint_min", "250",
                           "-sc_threshold", "0", "-pix_fmt", "yuv420p"}
            << "-c:a aac" << 48000 << false;
        QTest::newRow("MKV with Opus")
            << "opus.mkv" << (QStringList{"-c:v", "libx264", "-preset", "veryfast"} + gop2) << "-c:a libopus"
            << 48000 << true;
    }

    void framesExactForEachSourceKind()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, videoArgs);
        QFETCH(QString, audioArgs);
        QFETCH(int, sampleRate);
        QFETCH(bool, copies);
        const QString source = makeSource(name, videoArgs, audioArgs, 24, sampleRate);
        QVERIFY(QFile::exists(source));
        const QString output = dir.filePath(QFileInfo(name).completeBaseName() + "_original.mp4");

        QCOMPARE(exportOriginal(source, threeParts(), output), int(Result::Succeeded));
        QCOMPARE(prompts.last().title, QStringLiteral("Export Complete"));
        // Opus has no place in MP4 as it is: the note says it was made AAC.
        const QString note = audioArgs.contains("libopus") ? SmartExportJob::smartNote("opus", "aac")
                                                           : SmartExportJob::smartNote();
        QVERIFY2(prompts.last().text.contains(note), qPrintable(prompts.last().text));
        const SmartCut::Plan &plan = controller->smartJob()->plan();
        QCOMPARE(plan.copiedFrames + plan.encodedFrames, threePartFrameCount);
        QCOMPARE(plan.copiedFrames > 0, copies);

        QCOMPARE(decodeErrors(output), QString());
        const QJsonObject out = probe(output);
        const QJsonObject in = probe(source);
        const QJsonObject video = streamOf(out, "video");
        QCOMPARE(video.value("nb_read_frames").toString().toInt(), threePartFrameCount);
        QCOMPARE(video.value("codec_name"), streamOf(in, "video").value("codec_name"));
        QCOMPARE(video.value("profile"), streamOf(in, "video").value("profile"));
        QCOMPARE(video.value("width").toInt(), 320);
        QCOMPARE(video.value("height").toInt(), 240);

        // Every frame is the one it should be: copied ones identical, the rest close.
        const QVector<double> psnr = TestMedia::framePsnr(output, source, threePartFrames, dir.path());
        QCOMPARE(psnr.size(), threePartFrameCount);
        int identical = 0;
        for (int i = 0; i < psnr.size(); ++i) {
            QVERIFY2(psnr[i] > 40.0, qPrintable(QStringLiteral("frame %1: %2 dB").arg(i).arg(psnr[i])));
            identical += std::isinf(psnr[i]);
        }
        QVERIFY2(identical >= plan.copiedFrames, qPrintable(QString::number(identical)));

        // The sound lasts as long as the picture, within one audio frame.
        const QJsonObject audio = streamOf(out, "audio");
        const double difference = std::abs(audio.value("duration").toString().toDouble()
                                           - video.value("duration").toString().toDouble());
        QVERIFY2(difference <= 1024.0 / sampleRate + 1e-6, qPrintable(QString::number(difference)));
        QCOMPARE(video.value("duration").toString().toDouble(), 20.0);
    }

    void playerPlaysThroughEveryJoint()
    {
        const QString output = dir.filePath("cabac_original.mp4");
        if (!QFile::exists(output))
            QCOMPARE(exportOriginal(cabacSource(), threeParts(), output), int(Result::Succeeded));
        QMediaPlayer player;
        QVideoSink sink;
        player.setVideoSink(&sink);
        int frames = 0;
        connect(&sink, &QVideoSink::videoFrameChanged, this, [&frames] { ++frames; });
        QSignalSpy errors(&player, &QMediaPlayer::errorOccurred);
        player.setSource(QUrl::fromLocalFile(output));
        QTRY_COMPARE_WITH_TIMEOUT(player.mediaStatus(), QMediaPlayer::LoadedMedia, 20000);
        QVERIFY(std::abs(player.duration() - 20000) <= 40);
        // The joints of the three parts lie at 6 s and 13 s of the output.
        for (qint64 joint : {qint64(6000), qint64(13000)}) {
            player.setPosition(joint - 400);
            const int before = frames;
            player.play();
            QTRY_VERIFY_WITH_TIMEOUT(player.position() >= joint + 400, 30000);
            player.pause();
            QVERIFY(frames > before + 5);
        }
        QCOMPARE(errors.count(), 0);
    }

    void partWithEffectsBetweenPlainParts()
    {
        const QString source = cabacSource();
        ClipList clips = threeParts();
        clips[1].hasEffects = true;
        clips[1].grayscale = true;
        const QString output = dir.filePath("effects_original.mp4");
        QCOMPARE(exportOriginal(source, clips, output), int(Result::Succeeded));
        const SmartCut::Plan &plan = controller->smartJob()->plan();
        QCOMPARE(plan.segments.size(), 7);
        QCOMPARE(plan.segments[3].kind, SmartCut::Segment::Encode);
        QCOMPARE(plan.segments[3].frames, (SmartCut::FrameRange{201, 376}));
        QCOMPARE(decodeErrors(output), QString());
        QCOMPARE(streamOf(probe(output), "video").value("nb_read_frames").toString().toInt(), threePartFrameCount);

        // The middle part is grey; the outer parts' copied frames are the source's own.
        const QVector<double> psnr = TestMedia::framePsnr(output, source, threePartFrames, dir.path());
        QCOMPARE(psnr.size(), threePartFrameCount);
        int identical = 0;
        for (double value : psnr)
            identical += std::isinf(value);
        QVERIFY(identical >= plan.copiedFrames);
        QVERIFY(psnr[150 + 80] < 30.0);
        QImage grey;
        QVERIFY(TestMedia::runFFmpeg({"-ss", "9", "-i", output, "-frames:v", "1", dir.filePath("grey.png")}));
        QVERIFY(grey.load(dir.filePath("grey.png")));
        const QColor pixel = grey.pixelColor(grey.width() / 8, grey.height() / 2);
        QVERIFY(std::abs(pixel.red() - pixel.green()) <= 3 && std::abs(pixel.green() - pixel.blue()) <= 3);
    }

    void otherCodecsAreEncodedAtTheirOwnSize()
    {
        const QString source = makeSource("vp9.webm", {"-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8",
                                                       "-b:v", "300k"},
                                          "-c:a libopus", 6);
        const QString output = dir.filePath("vp9_original.mp4");
        QCOMPARE(exportOriginal(source, {clipOf(1020, 5020)}, output), int(Result::Succeeded));
        QCOMPARE(prompts.last().title, QStringLiteral("Export Complete"));
        QVERIFY2(prompts.last().text.contains("encoded again at its original size")
                     && prompts.last().text.contains("VP9"),
                 qPrintable(prompts.last().text));
        const QJsonObject video = streamOf(probe(output), "video");
        QCOMPARE(video.value("codec_name").toString(), QStringLiteral("h264"));
        QCOMPARE(video.value("width").toInt(), 320);
        QCOMPARE(video.value("height").toInt(), 240);
        QCOMPARE(video.value("nb_read_frames").toString().toInt(), 100);
    }

    void cancelLeavesNothingBehind()
    {
        const QString source = cabacSource();
        QTemporaryDir target;
        const QString output = target.filePath("canceled.mp4");
        ExportSource edit;
        edit.videoPath = source;
        edit.clips = threeParts();
        QSignalSpy finished(controller, &ExportController::exportFinished);
        QSignalSpy progress(controller, &ExportController::progressChanged);
        bool hasAudio = true;
        QVERIFY(controller->exportOriginalQuality(edit, output, 0, hasAudio));
        QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last().at(0).toInt() >= 5, 60000);
        controller->smartJob()->cancel();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QCOMPARE(finished.last().at(0).toInt(), int(Result::Canceled));
        QCOMPARE(prompts.last().title, QStringLiteral("Export Canceled"));
        QCOMPARE(QDir(target.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    }

    void outputEqualToSourceIsRefused()
    {
        const QString source = cabacSource();
        const QByteArray before = TestMedia::runFFprobe({"-show_entries", "format=size", "-of", "csv", source}).toUtf8();
        ExportSource edit;
        edit.videoPath = source;
        edit.clips = threeParts();
        bool hasAudio = true;
        QVERIFY(!controller->exportOriginalQuality(edit, source, 0, hasAudio));
        QCOMPARE(prompts.last().title, QStringLiteral("Invalid Filename"));
        QCOMPARE(TestMedia::runFFprobe({"-show_entries", "format=size", "-of", "csv", source}).toUtf8(), before);
    }
};

TRIMLET_TEST_MAIN(TestExportOriginal)
#include "tst_export_original.moc"
