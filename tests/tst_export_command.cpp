#include "exportcommand.h"
#include "hardwareencoderdetector.h"
#include "sourceprobe.h"

#include <QtTest>

#include <limits>

using namespace ExportCommandBuilder;

Q_DECLARE_METATYPE(SourceFacts)

namespace {

Clip clipOf(qint64 startMs, qint64 endMs)
{
    Clip c;
    c.originalStart = startMs;
    c.originalEnd = endMs;
    return c;
}

Clip withEffects(Clip c)
{
    c.hasEffects = true;
    return c;
}

SourceFacts sourceOf(int width, int height, int rotation = 0, qint64 durationMs = 60000, double fps = 25)
{
    SourceFacts s;
    s.width = width;
    s.height = height;
    s.rotation = rotation;
    s.durationMs = durationMs;
    s.frameRate = fps;
    s.sizeKnown = true;
    return s;
}

EncoderChoice nvencChoice(int crf)
{
    HardwareEncoderDetector detector(QStringLiteral("ffmpeg"));
    detector.parseEncoderList(QStringLiteral(" V....D h264_nvenc           NVIDIA NVENC H.264 encoder\n"));
    return chooseEncoder(&detector, crf);
}

EncoderChoice x264Choice(int crf)
{
    HardwareEncoderDetector detector(QStringLiteral("ffmpeg"));
    return chooseEncoder(&detector, crf);
}

VideoExportInput baseInput(const ClipList &clips, const SourceFacts &source)
{
    VideoExportInput in;
    in.sourcePath = QStringLiteral("/videos/source.mp4");
    in.clips = clips;
    in.source = source;
    in.targetWidth = 1280;
    in.targetHeight = 720;
    in.withAudio = true;
    in.encoder = x264Choice(23);
    in.outputPath = QStringLiteral("/videos/out.mp4");
    return in;
}

QString fit(int w, int h)
{
    return QStringLiteral("scale=%1:%2:force_original_aspect_ratio=decrease,pad=%1:%2:(%1-iw)/2:(%2-ih)/2")
        .arg(w)
        .arg(h);
}

} // namespace

class TestExportCommand : public QObject {
    Q_OBJECT
private slots:
    // Two clips from a 1280-wide source with audio, a blurred clip with a 2 s title
    // and a plain clip, target 1280 x 720, an NVENC encoder.
    void exampleCommandWordForWord()
    {
        Clip first = withEffects(clipOf(10000, 15000));
        first.blurIntensity = 50;
        first.showTitle = true;
        first.titleText = QStringLiteral("Hello");
        first.titleDurationMode = 1;
        first.customDuration = 2000;
        const Clip second = clipOf(20500, 22000);

        VideoExportInput in = baseInput({first, second}, sourceOf(1280, 720));
        in.encoder = nvencChoice(23);
        const QString image = QStringLiteral("/tmp/trimlet_title_0.png");
        in.titles = {{0, image, titleDurationSeconds(first)}};
        const QString source = in.sourcePath;

        const QString graph = QStringLiteral(
            "[0:v]gblur=sigma=12[temp0];[1:v]null[temp1];[2:v]setpts=N/(FR*TB)[ovr0];"
            "[temp0][ovr0]overlay=0:0:enable='lte(t,2.000)':shortest=1[v0];[temp1]copy[v1];"
            "[v0][0:a][v1][1:a]concat=n=2:v=1:a=1[outv][outa];"
            "[outv]scale=1280:720:force_original_aspect_ratio=decrease,pad=1280:720:(1280-iw)/2:(720-ih)/2[outvscaled]");
        const QStringList head{"-ss", "10.000", "-t", "5.000", "-i", source,
                               "-ss", "20.500", "-t", "1.500", "-i", source, "-loop", "1"};
        const QStringList middle{"-i", image, "-filter_complex", graph, "-map", "[outvscaled]",
                                 "-map", "[outa]", "-c:v", "h264_nvenc", "-preset", "p4",
                                 "-cq", "23", "-rc", "vbr", "-b:v", "0", "-pix_fmt", "yuv420p",
                                 "-c:a", "aac", "-b:a", "192k", "-movflags", "+faststart"};

        // As ffmpeg would write the output directly.
        const ExportCommand direct = buildVideoExportCommand(in);
        QCOMPARE(direct.filterGraph, graph);
        QCOMPARE(direct.videoLabel, QStringLiteral("[outvscaled]"));
        QCOMPARE(direct.totalDurationMs, qint64(6500));
        const QStringList titleBound{"-t", "5.000", "-f", "image2", "-pattern_type", "none"};
        const QStringList expectedDirect = head + titleBound + middle + QStringList{"-y", in.outputPath};
        QCOMPARE(direct.arguments, expectedDirect);

        // Written to a temporary file with the container forced.
        in.outputPath = QStringLiteral("/videos/.out.mp4.a1b2c3.part");
        in.outputFormat = QStringLiteral("mp4");
        const ExportCommand viaTemporary = buildVideoExportCommand(in);
        const QStringList expectedTemporary =
            head + titleBound + middle + QStringList{"-f", "mp4", "-y", in.outputPath};
        QCOMPARE(viaTemporary.arguments, expectedTemporary);
    }

    void clipFilters_data()
    {
        QTest::addColumn<Clip>("clip");
        QTest::addColumn<int>("sourceWidth");
        QTest::addColumn<QString>("filters");

        Clip plainWithValues = clipOf(0, 5000);
        plainWithValues.blurIntensity = 40;
        plainWithValues.opacity = 20;
        plainWithValues.rotation = 90;
        QTest::newRow("no hasEffects ignores values") << plainWithValues << 1280 << "";
        QTest::newRow("hasEffects all neutral") << withEffects(clipOf(0, 5000)) << 1280 << "";

        Clip blur = withEffects(clipOf(0, 5000));
        blur.blurIntensity = 50;
        QTest::newRow("blur 1280") << blur << 1280 << "gblur=sigma=12";
        QTest::newRow("blur 1920 double product") << blur << 1920 << "gblur=sigma=26.999999999999996";
        QTest::newRow("blur width 0") << blur << 0 << "gblur=sigma=0";

        Clip eq = withEffects(clipOf(0, 5000));
        eq.brightness = 50;
        eq.contrast = -20;
        QTest::newRow("eq") << eq << 1280 << "eq=brightness=0.5:contrast=0.8:saturation=1";
        Clip desaturated = withEffects(clipOf(0, 5000));
        desaturated.saturation = -100;
        QTest::newRow("saturation -100") << desaturated << 1280 << "eq=brightness=0:contrast=1:saturation=0";

        Clip gray = withEffects(clipOf(0, 5000));
        gray.grayscale = true;
        gray.sepia = true;
        QTest::newRow("grayscale then sepia")
            << gray << 1280 << "hue=s=0,colorchannelmixer=.393:.769:.189:0:.349:.686:.168:0:.272:.534:.131";

        Clip opaque = withEffects(clipOf(0, 5000));
        QTest::newRow("opacity 100 adds nothing") << opaque << 1280 << "";
        Clip faint = withEffects(clipOf(0, 5000));
        faint.opacity = 99;
        QTest::newRow("opacity 99 over black") << faint << 1280 << "colorchannelmixer=rr=0.99:gg=0.99:bb=0.99";
        Clip half = withEffects(clipOf(0, 5000));
        half.opacity = 50;
        QTest::newRow("opacity 50 over black") << half << 1280 << "colorchannelmixer=rr=0.5:gg=0.5:bb=0.5";

        for (int rotation : {90, 180, 270, 45}) {
            Clip rotated = withEffects(clipOf(0, 5000));
            rotated.rotation = rotation;
            const QString text = rotation == 90 ? "transpose=1"
                : rotation == 180               ? "transpose=2,transpose=2"
                : rotation == 270               ? "transpose=2"
                                                : "";
            QTest::newRow(qPrintable(QStringLiteral("rotation %1").arg(rotation))) << rotated << 1280 << text;
        }

        Clip fades = withEffects(clipOf(2000, 7000));
        fades.fadeInDuration = 500;
        fades.fadeOutDuration = 1500;
        QTest::newRow("fades") << fades << 1280 << "fade=t=in:st=0:d=0.5,fade=t=out:st=3.5:d=1.5";

        Clip longFades = withEffects(clipOf(0, 2000));
        longFades.fadeInDuration = 5000;
        longFades.fadeOutDuration = 3000;
        QTest::newRow("fades longer than the clip")
            << longFades << 1280 << "fade=t=in:st=0:d=2,fade=t=out:st=0:d=2";

        Clip everything = withEffects(clipOf(0, 4000));
        everything.blurIntensity = 10;
        everything.brightness = -10;
        everything.grayscale = true;
        everything.sepia = true;
        everything.opacity = 80;
        everything.rotation = 270;
        everything.fadeInDuration = 1000;
        everything.fadeOutDuration = 1000;
        QTest::newRow("every filter in order")
            << everything << 1280
            << "gblur=sigma=2.4,eq=brightness=-0.1:contrast=1:saturation=1,hue=s=0,"
               "colorchannelmixer=.393:.769:.189:0:.349:.686:.168:0:.272:.534:.131,"
               "colorchannelmixer=rr=0.8:gg=0.8:bb=0.8,transpose=2,fade=t=in:st=0:d=1,fade=t=out:st=3:d=1";
    }
    void clipFilters()
    {
        QFETCH(Clip, clip);
        QFETCH(int, sourceWidth);
        QFETCH(QString, filters);
        QCOMPARE(ExportCommandBuilder::clipFilters(clip, sourceOf(sourceWidth, 720)).join(','), filters);
    }

    void graphShape_data()
    {
        QTest::addColumn<ClipList>("clips");
        QTest::addColumn<SourceFacts>("source");
        QTest::addColumn<int>("targetWidth");
        QTest::addColumn<int>("targetHeight");
        QTest::addColumn<bool>("audio");
        QTest::addColumn<QString>("graph");

        const ClipList two{clipOf(0, 2000), clipOf(3000, 4000)};
        const SourceFacts hd = sourceOf(1280, 720);
        const QString joinTwo = "[0:v]null[temp0];[1:v]null[temp1];[temp0]copy[v0];[temp1]copy[v1];";

        QTest::newRow("with audio") << two << hd << 1280 << 720 << true
                                    << joinTwo + "[v0][0:a][v1][1:a]concat=n=2:v=1:a=1[outv][outa];[outv]"
                                           + fit(1280, 720) + "[outvscaled]";
        QTest::newRow("without audio") << two << hd << 854 << 480 << false
                                       << joinTwo + "[v0][v1]concat=n=2:v=1[outv];[outv]" + fit(854, 480)
                                              + "[outvscaled]";
        QTest::newRow("no target ends with concat")
            << two << hd << -1 << 720 << true << joinTwo + "[v0][0:a][v1][1:a]concat=n=2:v=1:a=1[outv][outa]";

        // A quarter turn next to an unturned clip: both brought to one size before joining.
        Clip turned = withEffects(clipOf(3000, 4000));
        turned.rotation = 90;
        const QString toTarget = "," + fit(1280, 720) + ",setsar=1";
        QTest::newRow("rotated next to unrotated")
            << ClipList{clipOf(0, 2000), turned} << hd << 1280 << 720 << true
            << "[0:v]null[temp0];[1:v]transpose=1[temp1];[temp0]copy" + toTarget + "[v0];[temp1]copy" + toTarget
                   + "[v1];[v0][0:a][v1][1:a]concat=n=2:v=1:a=1[outv][outa];[outv]" + fit(1280, 720) + "[outvscaled]";

        const QString toSource = "," + fit(1280, 720) + ",setsar=1";
        QTest::newRow("rotated without target uses the source size")
            << ClipList{turned, clipOf(0, 2000)} << hd << -1 << -1 << false
            << "[0:v]transpose=1[temp0];[1:v]null[temp1];[temp0]copy" + toSource + "[v0];[temp1]copy" + toSource
                   + "[v1];[v0][v1]concat=n=2:v=1[outv]";

        Clip turnedAgain = turned;
        turnedAgain.originalStart = 5000;
        turnedAgain.originalEnd = 6000;
        QTest::newRow("all rotated alike need no common size")
            << ClipList{turned, turnedAgain} << hd << -1 << -1 << false
            << "[0:v]transpose=1[temp0];[1:v]transpose=1[temp1];[temp0]copy[v0];[temp1]copy[v1];"
               "[v0][v1]concat=n=2:v=1[outv]";

        Clip halfTurn = withEffects(clipOf(3000, 4000));
        halfTurn.rotation = 180;
        QTest::newRow("half turn keeps the size")
            << ClipList{clipOf(0, 2000), halfTurn} << hd << -1 << -1 << false
            << "[0:v]null[temp0];[1:v]transpose=2,transpose=2[temp1];[temp0]copy[v0];[temp1]copy[v1];"
               "[v0][v1]concat=n=2:v=1[outv]";

        // A portrait source (rotation metadata) turned back by the user.
        const QString toPortraitSource = "," + fit(720, 1280) + ",setsar=1";
        QTest::newRow("source rotation and clip rotation")
            << ClipList{clipOf(0, 2000), turned} << sourceOf(1280, 720, 90) << -1 << -1 << false
            << "[0:v]null[temp0];[1:v]transpose=1[temp1];[temp0]copy" + toPortraitSource + "[v0];[temp1]copy"
                   + toPortraitSource + "[v1];[v0][v1]concat=n=2:v=1[outv]";
    }
    void graphShape()
    {
        QFETCH(ClipList, clips);
        QFETCH(SourceFacts, source);
        QFETCH(int, targetWidth);
        QFETCH(int, targetHeight);
        QFETCH(bool, audio);
        QFETCH(QString, graph);

        VideoExportInput in = baseInput(clips, source);
        in.targetWidth = targetWidth;
        in.targetHeight = targetHeight;
        in.withAudio = audio;
        const ExportCommand command = buildVideoExportCommand(in);
        QCOMPARE(command.filterGraph, graph);

        const bool scaled = targetWidth >= 0 && targetHeight >= 0;
        const QString label = scaled ? "[outvscaled]" : "[outv]";
        QCOMPARE(command.videoLabel, label);
        const QStringList &args = command.arguments;
        const qsizetype map = args.indexOf("-map");
        QVERIFY(map > 0);
        QCOMPARE(args.at(map + 1), label);
        QCOMPARE(args.contains("[outa]"), audio);
        QCOMPARE(args.contains("-an"), !audio);
        QCOMPARE(args.contains("aac"), audio);
    }

    void titlesFollowAllClipInputs()
    {
        Clip a = clipOf(0, 10000);
        a.showTitle = true;
        a.titleText = "A";
        const Clip b = clipOf(12000, 14000);
        Clip c = clipOf(20000, 22000);
        c.showTitle = true;
        c.titleText = "C";
        c.titleDurationMode = 2;

        VideoExportInput in = baseInput({a, b, c}, sourceOf(1280, 720));
        in.titles = {{0, "/t/trimlet_title_0.png", titleDurationSeconds(a)},
                     {2, "/t/trimlet_title_2.png", titleDurationSeconds(c)}};
        const ExportCommand command = buildVideoExportCommand(in);

        QCOMPARE(command.filterGraph,
                 QStringLiteral("[0:v]null[temp0];[1:v]null[temp1];[2:v]null[temp2];"
                                "[3:v]setpts=N/(FR*TB)[ovr0];[temp0][ovr0]overlay=0:0:enable='lte(t,3.000)':shortest=1[v0];"
                                "[4:v]setpts=N/(FR*TB)[ovr2];[temp2][ovr2]overlay=0:0:enable='lte(t,2.000)':shortest=1[v2];"
                                "[temp1]copy[v1];"
                                "[v0][0:a][v1][1:a][v2][2:a]concat=n=3:v=1:a=1[outv][outa];[outv]")
                     + fit(1280, 720) + "[outvscaled]");

        // Each looped image is bounded by its own clip's length.
        const QStringList &args = command.arguments;
        const qsizetype firstImage = args.indexOf("/t/trimlet_title_0.png");
        const qsizetype secondImage = args.indexOf("/t/trimlet_title_2.png");
        QCOMPARE(args.mid(firstImage - 9, 9),
                 (QStringList{"-loop", "1", "-t", "10.000", "-f", "image2", "-pattern_type", "none", "-i"}));
        QCOMPARE(args.mid(secondImage - 9, 9),
                 (QStringList{"-loop", "1", "-t", "2.000", "-f", "image2", "-pattern_type", "none", "-i"}));
        QVERIFY(args.lastIndexOf("/videos/source.mp4") < firstImage);
        QVERIFY(firstImage < args.indexOf("-filter_complex"));
    }

    void titleOnRotatedClipIsFittedAfterTheOverlay()
    {
        Clip turned = withEffects(clipOf(0, 3000));
        turned.rotation = 270;
        turned.showTitle = true;
        turned.titleText = "T";
        VideoExportInput in = baseInput({turned, clipOf(4000, 5000)}, sourceOf(1920, 1080));
        in.titles = {{0, "/t/trimlet_title_0.png", 3.0}};
        const QString end = "," + fit(1280, 720) + ",setsar=1";
        QVERIFY(buildVideoExportCommand(in).filterGraph.contains(
            "[temp0][ovr0]overlay=0:0:enable='lte(t,3.000)':shortest=1" + end + "[v0];[temp1]copy" + end + "[v1];"));
        // The image is drawn for the turned frame, not the target.
        QCOMPARE(ExportCommandBuilder::clipFrameSize(turned, in.source), QSize(1080, 1920));
        QCOMPARE(ExportCommandBuilder::clipFrameSize(clipOf(0, 1), in.source), QSize(1920, 1080));
    }

    void clipFrameSize_data()
    {
        QTest::addColumn<int>("sourceRotation");
        QTest::addColumn<int>("clipRotation");
        QTest::addColumn<QSize>("size");
        QTest::newRow("none") << 0 << 0 << QSize(1920, 1080);
        QTest::newRow("clip 90") << 0 << 90 << QSize(1080, 1920);
        QTest::newRow("clip 180") << 0 << 180 << QSize(1920, 1080);
        QTest::newRow("clip 270") << 0 << 270 << QSize(1080, 1920);
        QTest::newRow("source 90") << 90 << 0 << QSize(1080, 1920);
        QTest::newRow("source 270 and clip 90") << 270 << 90 << QSize(1920, 1080);
    }
    void clipFrameSize()
    {
        QFETCH(int, sourceRotation);
        QFETCH(int, clipRotation);
        QFETCH(QSize, size);
        Clip c = clipOf(0, 1000);
        c.rotation = clipRotation;
        QCOMPARE(ExportCommandBuilder::clipFrameSize(c, sourceOf(1920, 1080, sourceRotation)), size);
    }

    void titleDuration_data()
    {
        QTest::addColumn<qint64>("lengthMs");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("custom");
        QTest::addColumn<double>("seconds");
        QTest::newRow("default on short clip") << qint64(2000) << 0 << 3000 << 2.0;
        QTest::newRow("default on long clip") << qint64(10000) << 0 << 3000 << 3.0;
        QTest::newRow("custom") << qint64(10000) << 1 << 4500 << 4.5;
        QTest::newRow("custom past the clip") << qint64(4000) << 1 << 9000 << 4.0;
        QTest::newRow("whole clip") << qint64(7250) << 2 << 3000 << 7.25;
        QTest::newRow("unknown mode is whole clip") << qint64(7250) << 9 << 3000 << 7.25;
    }
    void titleDuration()
    {
        QFETCH(qint64, lengthMs);
        QFETCH(int, mode);
        QFETCH(int, custom);
        QFETCH(double, seconds);
        Clip c = clipOf(1000, 1000 + lengthMs);
        c.titleDurationMode = mode;
        c.customDuration = custom;
        QCOMPARE(titleDurationSeconds(c), seconds);
    }

    void fitToSource_data()
    {
        QTest::addColumn<ClipList>("clips");
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<QString>("ranges");

        QTest::newRow("inside") << ClipList{clipOf(0, 1000), clipOf(2000, 3000)} << qint64(10000)
                                << "0-1000 2000-3000";
        QTest::newRow("negative start") << ClipList{clipOf(-500, 1000)} << qint64(10000) << "0-1000";
        QTest::newRow("end past the source") << ClipList{clipOf(9000, 12000)} << qint64(10000) << "9000-10000";
        QTest::newRow("wholly past the end") << ClipList{clipOf(11000, 12000), clipOf(0, 500)} << qint64(10000)
                                             << "0-500";
        QTest::newRow("zero length") << ClipList{clipOf(4000, 4000), clipOf(5000, 6000)} << qint64(10000)
                                     << "5000-6000";
        QTest::newRow("reversed") << ClipList{clipOf(4000, 3000)} << qint64(10000) << "";
        QTest::newRow("shorter than a frame") << ClipList{clipOf(0, 39), clipOf(100, 140)} << qint64(10000)
                                              << "100-140";
        QTest::newRow("unknown duration keeps the end") << ClipList{clipOf(-100, 99000)} << qint64(-1) << "0-99000";
        QTest::newRow("nothing left") << ClipList{clipOf(20000, 30000)} << qint64(10000) << "";
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("whole 64-bit range") << ClipList{clipOf(min, max)} << qint64(10000) << "0-10000";
        QTest::newRow("end at the bottom of the range") << ClipList{clipOf(5, min), clipOf(0, 40)} << qint64(10000)
                                                        << "0-40";
        QTest::newRow("unknown duration, end at the bottom") << ClipList{clipOf(5, min)} << qint64(-1) << "";
    }
    void fitToSource()
    {
        QFETCH(ClipList, clips);
        QFETCH(qint64, duration);
        QFETCH(QString, ranges);
        const ClipList fitted = fitClipsToSource(clips, sourceOf(640, 360, 0, duration, 25));
        QStringList parts;
        for (const Clip &c : fitted)
            parts << QStringLiteral("%1-%2").arg(c.originalStart).arg(c.originalEnd);
        QCOMPARE(parts.join(' '), ranges);
    }

    void fittedRangesReachTheCommand()
    {
        ClipList clips = fitClipsToSource({clipOf(-1000, 2000), clipOf(9500, 15000)}, sourceOf(640, 360, 0, 10000));
        Clip &last = clips.last();
        last.hasEffects = true;
        last.fadeOutDuration = 2000;
        const ExportCommand command = buildVideoExportCommand(baseInput(clips, sourceOf(640, 360, 0, 10000)));
        QCOMPARE(command.arguments.mid(0, 12),
                 (QStringList{"-ss", "0.000", "-t", "2.000", "-i", "/videos/source.mp4",
                              "-ss", "9.500", "-t", "0.500", "-i", "/videos/source.mp4"}));
        QCOMPARE(command.totalDurationMs, qint64(2500));
        QVERIFY(command.filterGraph.contains("fade=t=out:st=0:d=0.5"));
    }

    void encoderChoice_data()
    {
        QTest::addColumn<QString>("listing");
        QTest::addColumn<bool>("withDetector");
        QTest::addColumn<int>("crf");
        QTest::addColumn<QStringList>("arguments");

        QTest::newRow("no detector") << "" << false << 20
                                     << QStringList{"-c:v", "libx264", "-preset", "ultrafast", "-crf", "20",
                                                    "-pix_fmt", "yuv420p", "-threads", "0"};
        QTest::newRow("libx264 high") << "" << true << 20
                                      << QStringList{"-c:v", "libx264", "-preset", "medium", "-crf", "23",
                                                     "-pix_fmt", "yuv420p", "-threads", "0"};
        QTest::newRow("libx264 draft") << "" << true << 28
                                       << QStringList{"-c:v", "libx264", "-preset", "medium", "-crf", "28",
                                                      "-pix_fmt", "yuv420p", "-threads", "0"};
        QTest::newRow("libx264 crf 18 is high") << "" << true << 18
                                                << QStringList{"-c:v", "libx264", "-preset", "medium", "-crf",
                                                               "18", "-pix_fmt", "yuv420p", "-threads", "0"};
        QTest::newRow("qsv nv12 without threads")
            << " V..... h264_qsv             H.264 QSV\n" << true << 23
            << QStringList{"-c:v", "h264_qsv", "-preset", "balanced", "-global_quality", "23", "-pix_fmt", "nv12"};
        QTest::newRow("amf draft") << " V..... h264_amf             AMF\n" << true << 28
                                   << QStringList{"-c:v", "h264_amf", "-preset", "balanced", "-rc", "cqp",
                                                  "-qp_i", "28", "-qp_p", "28", "-pix_fmt", "yuv420p"};
    }
    void encoderChoice()
    {
        QFETCH(QString, listing);
        QFETCH(bool, withDetector);
        QFETCH(int, crf);
        QFETCH(QStringList, arguments);
        HardwareEncoderDetector detector(QStringLiteral("ffmpeg"));
        detector.parseEncoderList(listing);
        const EncoderChoice choice = chooseEncoder(withDetector ? &detector : nullptr, crf);
        QCOMPARE(encoderArguments(choice), arguments);
    }

    void qualityMode_data()
    {
        QTest::addColumn<int>("crf");
        QTest::addColumn<QString>("mode");
        QTest::newRow("28") << 28 << "draft";
        QTest::newRow("27") << 27 << "good";
        QTest::newRow("23") << 23 << "good";
        QTest::newRow("20") << 20 << "good";
        QTest::newRow("19") << 19 << "good";
        QTest::newRow("18") << 18 << "high";
    }
    void qualityMode()
    {
        QFETCH(int, crf);
        QFETCH(QString, mode);
        QCOMPARE(qualityModeForCrf(crf), mode);
    }

    void manyInputsLimitDecoderThreads()
    {
        QCOMPARE(decoderThreadsForInputs(2), 0);
        QCOMPARE(decoderThreadsForInputs(50), 1);

        ClipList clips;
        for (int i = 0; i < 6; ++i)
            clips << clipOf(i * 1000, i * 1000 + 500);
        VideoExportInput in = baseInput(clips, sourceOf(640, 360));
        in.decoderThreadsPerInput = decoderThreadsForInputs(int(clips.size()));
        const QStringList args = buildVideoExportCommand(in).arguments;
        QCOMPARE(args.count("-threads"), 6 + 1);
        for (int i = 0; i < 6; ++i)
            QCOMPARE(args.mid(i * 8, 4), (QStringList{"-threads", "1", "-ss", QString::number(i, 'f', 3)}));
    }

    void audioCommand_data()
    {
        QTest::addColumn<ClipList>("clips");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QStringList>("arguments");

        const ClipList two{clipOf(1000, 3500), clipOf(5000, 6000)};
        const QStringList twoInputs{"-ss", "1.000", "-t", "2.500", "-i", "/s.mp4",
                                    "-ss", "5.000", "-t", "1.000", "-i", "/s.mp4"};
        const QStringList twoGraph{"-filter_complex", "[0:a][1:a]concat=n=2:v=0:a=1[outa]", "-map", "[outa]"};
        QTest::newRow("mp3 two clips")
            << two << "mp3" << "" << twoInputs + twoGraph + QStringList{"-vn", "-c:a", "libmp3lame", "-b:a", "256k", "-y", "/o"};
        QTest::newRow("aac") << two << "aac" << "adts"
                             << twoInputs + twoGraph
                                    + QStringList{"-vn", "-c:a", "aac", "-b:a", "256k", "-f", "adts", "-y", "/o"};
        QTest::newRow("wav ignores bitrate") << two << "wav" << "wav"
                                             << twoInputs + twoGraph
                                                    + QStringList{"-vn", "-c:a", "pcm_s16le", "-f", "wav", "-y", "/o"};
        QTest::newRow("flac ignores bitrate") << two << "flac" << ""
                                              << twoInputs + twoGraph + QStringList{"-vn", "-c:a", "flac", "-y", "/o"};
        QTest::newRow("unknown format has no codec") << two << "ogg" << ""
                                                     << twoInputs + twoGraph + QStringList{"-vn", "-y", "/o"};
        QTest::newRow("one clip: no graph, no map")
            << ClipList{clipOf(250, 1250)} << "mp3" << "mp3"
            << QStringList{"-ss", "0.250", "-t", "1.000", "-i", "/s.mp4", "-vn", "-c:a", "libmp3lame",
                           "-b:a", "256k", "-f", "mp3", "-y", "/o"};
    }
    void audioCommand()
    {
        QFETCH(ClipList, clips);
        QFETCH(QString, format);
        QFETCH(QString, container);
        QFETCH(QStringList, arguments);
        AudioExportInput in;
        in.sourcePath = "/s.mp4";
        in.clips = clips;
        in.format = format;
        in.bitrate = "256k";
        in.outputPath = "/o";
        in.outputFormat = container;
        const ExportCommand command = buildAudioExportCommand(in);
        QCOMPARE(command.arguments, arguments);
        qint64 total = 0;
        for (const Clip &c : clips)
            total += c.length();
        QCOMPARE(command.totalDurationMs, total);
    }

    void audioLabelsFollowClipOrder()
    {
        AudioExportInput in;
        in.clips = {clipOf(0, 1000), clipOf(2000, 3000), clipOf(4000, 5000), clipOf(6000, 7000)};
        in.format = "mp3";
        QCOMPARE(buildAudioExportCommand(in).filterGraph,
                 QStringLiteral("[0:a][1:a][2:a][3:a]concat=n=4:v=0:a=1[outa]"));
    }

    void containers_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("video");
        QTest::addColumn<QString>("audio");
        QTest::newRow("mp4") << "/a/b.mp4" << "mp3" << "mp4" << "mp3";
        QTest::newRow("upper case") << "/a/b.MKV" << "mp3" << "matroska" << "mp3";
        QTest::newRow("mov") << "/a/b.mov" << "aac" << "mov" << "adts";
        QTest::newRow("no extension") << "/a/b" << "flac" << "mp4" << "flac";
        QTest::newRow("aac file") << "/a/song.aac" << "aac" << "mp4" << "adts";
        QTest::newRow("wav file") << "/a/song.wav" << "wav" << "mp4" << "wav";
        QTest::newRow("m4a file") << "/a/song.m4a" << "aac" << "mp4" << "ipod";
    }
    void containers()
    {
        QFETCH(QString, path);
        QFETCH(QString, format);
        QFETCH(QString, video);
        QFETCH(QString, audio);
        QCOMPARE(videoContainerFor(path), video);
        QCOMPARE(audioContainerFor(path, format), audio);
    }

    void sourceProbe_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QSize>("coded");
        QTest::addColumn<QSize>("display");
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<double>("fps");
        QTest::addColumn<bool>("sizeKnown");

        QTest::newRow("plain")
            << QByteArray(R"({"streams":[{"width":1280,"height":720,"r_frame_rate":"25/1","avg_frame_rate":"25/1"}],"format":{"duration":"12.345000"}})")
            << QSize(1280, 720) << QSize(1280, 720) << qint64(12345) << 25.0 << true;
        QTest::newRow("display matrix")
            << QByteArray(R"({"streams":[{"width":320,"height":240,"avg_frame_rate":"30000/1001","side_data_list":[{"side_data_type":"DisplayMatrix","rotation":90}]}],"format":{"duration":"2.000000"}})")
            << QSize(320, 240) << QSize(240, 320) << qint64(2000) << 30000.0 / 1001 << true;
        QTest::newRow("negative quarter turn")
            << QByteArray(R"({"streams":[{"width":320,"height":240,"avg_frame_rate":"25/1","side_data_list":[{"rotation":-90}]}],"format":{}})")
            << QSize(320, 240) << QSize(240, 320) << qint64(-1) << 25.0 << true;
        QTest::newRow("rotate tag, rate from r_frame_rate")
            << QByteArray(R"({"streams":[{"width":640,"height":480,"avg_frame_rate":"0/0","r_frame_rate":"24/1","tags":{"rotate":"270"}}],"format":{"duration":"1.5"}})")
            << QSize(640, 480) << QSize(480, 640) << qint64(1500) << 24.0 << true;
        QTest::newRow("half turn keeps the size")
            << QByteArray(R"({"streams":[{"width":640,"height":480,"side_data_list":[{"rotation":180}]}]})")
            << QSize(640, 480) << QSize(640, 480) << qint64(-1) << 0.0 << true;
        QTest::newRow("no video stream")
            << QByteArray(R"({"programs":[],"streams":[],"format":{"duration":"3.0"}})")
            << QSize(1920, 1080) << QSize(1920, 1080) << qint64(3000) << 0.0 << false;
        QTest::newRow("not json") << QByteArray("garbage") << QSize(1920, 1080) << QSize(1920, 1080) << qint64(-1)
                                  << 0.0 << false;
    }
    void sourceProbe()
    {
        QFETCH(QByteArray, json);
        QFETCH(QSize, coded);
        QFETCH(QSize, display);
        QFETCH(qint64, duration);
        QFETCH(double, fps);
        QFETCH(bool, sizeKnown);
        const SourceFacts facts = parseSourceProbe(json);
        QCOMPARE(QSize(facts.width, facts.height), coded);
        QCOMPARE(facts.displaySize(), display);
        QCOMPARE(facts.durationMs, duration);
        QCOMPARE(facts.frameRate, fps);
        QCOMPARE(facts.sizeKnown, sizeKnown);
        QCOMPARE(facts.frameDurationMs(), 1000.0 / (fps > 0 ? fps : 25.0));
    }
};

QTEST_GUILESS_MAIN(TestExportCommand)
#include "tst_export_command.moc"
