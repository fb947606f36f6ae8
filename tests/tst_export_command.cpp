#include "batchedexport.h"
#include "exportcommand.h"
#include "hardwareencoderdetector.h"
#include "sourceprobe.h"
#include "testclips.h"

#include <optional>

#include <QtTest>

#include <QRegularExpression>

#include <cmath>
#include <limits>

Q_DECLARE_METATYPE(Media::StreamHeader)

namespace {

// A video stream's header with its average and base rates; the rest as unknown.
Media::StreamHeader videoAtRates(int rateNum, int rateDen, int baseNum, int baseDen)
{
    Media::StreamHeader header;
    header.hasVideo = true;
    header.averageRateNum = rateNum;
    header.averageRateDen = rateDen;
    header.baseRateNum = baseNum;
    header.baseRateDen = baseDen;
    return header;
}

} // namespace

using namespace ExportCommandBuilder;

Q_DECLARE_METATYPE(SourceFacts)

namespace {

using TestClips::clipOf;
using TestClips::withEffects;

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

// A constant-rate source of the given exact rate, 12 s long.
SourceFacts gridOf(qint64 numerator, qint64 denominator, qint64 firstFrameUs = 0, qint64 frameCount = -1)
{
    SourceFacts s = sourceOf(640, 360, 0, 12000, double(numerator) / double(denominator));
    s.rateNumerator = numerator;
    s.rateDenominator = denominator;
    s.firstFrameUs = firstFrameUs;
    s.frameCount = frameCount;
    return s;
}

// "name=1.020000" inside a filter, in microseconds; -1 when absent.
qint64 optionUs(const QString &filter, const QString &name)
{
    const QRegularExpression pattern(QStringLiteral("%1=(\\d+)\\.(\\d{6})").arg(name));
    const QRegularExpressionMatch match = pattern.match(filter);
    return match.hasMatch() ? match.captured(1).toLongLong() * 1000000 + match.captured(2).toLongLong() : -1;
}

qint64 secondsTextUs(const QString &text)
{
    return qint64(std::llround(text.toDouble() * 1e6));
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
        // 16:9 at 854x480 is not exact: stretched by a fraction of a pixel, not padded by one.
        QTest::newRow("without audio") << two << hd << 854 << 480 << false
                                       << joinTwo + "[v0][v1]concat=n=2:v=1[outv];[outv]scale=854:480,setsar=1"
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
    // A quality's size limits the long and the short side; the picture keeps the shape it is shown in.
    void outputFrameSizeKeepsTheShownShape_data()
    {
        QTest::addColumn<SourceFacts>("source");
        QTest::addColumn<int>("clipRotation");
        QTest::addColumn<QSize>("limit");
        QTest::addColumn<QSize>("size");

        SourceFacts widePixels = sourceOf(720, 540);
        widePixels.pixelAspect = 4.0 / 3.0;
        SourceFacts narrowPixels = sourceOf(720, 480);
        narrowPixels.pixelAspect = 8.0 / 9.0;
        QTest::newRow("landscape shrunk") << sourceOf(1920, 1080) << 0 << QSize(1280, 720) << QSize(1280, 720);
        QTest::newRow("portrait stays portrait") << sourceOf(720, 1280) << 0 << QSize(1920, 1080) << QSize(720, 1280);
        QTest::newRow("portrait shrunk") << sourceOf(720, 1280) << 0 << QSize(854, 480) << QSize(480, 854);
        QTest::newRow("display matrix turns it upright")
            << sourceOf(1920, 1080, 90) << 0 << QSize(1920, 1080) << QSize(1080, 1920);
        QTest::newRow("part turned upright") << sourceOf(1920, 1080) << 90 << QSize(1280, 720) << QSize(720, 1280);
        QTest::newRow("never enlarged") << sourceOf(320, 240) << 0 << QSize(1920, 1080) << QSize(320, 240);
        QTest::newRow("square") << sourceOf(2000, 2000) << 0 << QSize(1920, 1080) << QSize(1080, 1080);
        QTest::newRow("odd sides made even, not larger") << sourceOf(361, 641) << 0 << QSize(1920, 1080) << QSize(360, 640);
        QTest::newRow("wide pixels in square ones") << widePixels << 0 << QSize(854, 480) << QSize(854, 480);
        QTest::newRow("narrow pixels, not enlarged") << narrowPixels << 0 << QSize(1920, 1080) << QSize(640, 480);
        QTest::newRow("wider than the limit") << sourceOf(3840, 1080) << 0 << QSize(1920, 1080) << QSize(1920, 540);
    }
    void outputFrameSizeKeepsTheShownShape()
    {
        QFETCH(SourceFacts, source);
        QFETCH(int, clipRotation);
        QFETCH(QSize, limit);
        QFETCH(QSize, size);
        Clip clip = clipOf(0, 2000);
        clip.rotation = clipRotation;
        VideoExportInput in = baseInput({clip, clip}, source);
        in.targetWidth = limit.width();
        in.targetHeight = limit.height();
        QCOMPARE(outputFrameSize(in), size);
        // Turning the limit changes nothing: the picture decides which way it stands.
        in.targetWidth = limit.height();
        in.targetHeight = limit.width();
        QCOMPARE(outputFrameSize(in), size);

        // Scaled to exactly that size, in square pixels (the picture filling it is seen in tst_commandline).
        const QString graph = buildVideoExportCommand(in).filterGraph;
        const QString last = graph.mid(graph.lastIndexOf(QLatin1String("[outv]")));
        QVERIFY2(last.contains(QStringLiteral("scale=%1:%2").arg(size.width()).arg(size.height())), qPrintable(last));
        if (source.pixelAspect != 1.0)
            QVERIFY2(last.contains("setsar=1"), qPrintable(last));
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

    // A part keeps the frames whose times lie in [start, end), frame k lying at
    // firstFrame + k / rate; none past the stream's last frame.
    void snapsPartsToWholeFrames_data()
    {
        QTest::addColumn<Clip>("part");
        QTest::addColumn<SourceFacts>("source");
        QTest::addColumn<qint64>("first");
        QTest::addColumn<qint64>("count");

        const SourceFacts pal = gridOf(25, 1);
        QTest::newRow("cuts between frames") << clipOf(2030, 4510) << pal << qint64(51) << qint64(62);
        QTest::newRow("cuts on frames: the end frame is left out") << clipOf(2040, 4000) << pal << qint64(51) << qint64(49);
        QTest::newRow("from the start") << clipOf(0, 2030) << pal << qint64(0) << qint64(51);
        QTest::newRow("one frame") << clipOf(0, 40) << pal << qint64(0) << qint64(1);
        QTest::newRow("shorter than a frame, holding none") << clipOf(1010, 1030) << pal << qint64(26) << qint64(0);
        QTest::newRow("shorter than a frame, holding one") << clipOf(1030, 1050) << pal << qint64(26) << qint64(1);
        // Frame 30 lies at exactly 1001 ms, frame 24 of 24000/1001 too.
        const SourceFacts ntsc = gridOf(30000, 1001);
        QTest::newRow("30000/1001, on frames") << clipOf(1001, 2002) << ntsc << qint64(30) << qint64(30);
        QTest::newRow("30000/1001, a ms after a frame") << clipOf(1002, 2003) << ntsc << qint64(31) << qint64(30);
        QTest::newRow("30000/1001, between frames") << clipOf(2030, 4510) << ntsc << qint64(61) << qint64(75);
        QTest::newRow("24000/1001, on a frame") << clipOf(1001, 1042) << gridOf(24000, 1001) << qint64(24) << qint64(1);
        QTest::newRow("60000/1001, a long way in")
            << clipOf(3600000, 3600100) << gridOf(60000, 1001) << qint64(215785) << qint64(6);
        // The video begins 23.222 ms after the file: frame 50 at 2023.222 ms.
        const SourceFacts late = gridOf(25, 1, 23222);
        QTest::newRow("late first frame moves the grid") << clipOf(2010, 2050) << late << qint64(50) << qint64(1);
        QTest::newRow("before the first frame") << clipOf(0, 20) << late << qint64(0) << qint64(0);
        const SourceFacts counted = gridOf(25, 1, 0, 300);
        QTest::newRow("up to the last frame") << clipOf(11950, 12040) << counted << qint64(299) << qint64(1);
        QTest::newRow("past the last frame") << clipOf(12000, 12040) << counted << qint64(300) << qint64(0);
        QTest::newRow("whole 64-bit range") << clipOf(std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max())
                                            << counted << qint64(0) << qint64(300);
    }
    void snapsPartsToWholeFrames()
    {
        QFETCH(Clip, part);
        QFETCH(SourceFacts, source);
        QFETCH(qint64, first);
        QFETCH(qint64, count);
        const std::optional<FrameSpan> frames = clipFrames(part, source);
        QVERIFY(frames.has_value());
        QCOMPARE(frames->first, first);
        QCOMPARE(frames->count, count);
        QCOMPARE(exportedSeconds(part, source),
                 double(count) * double(source.rateDenominator) / double(source.rateNumerator));
    }

    void unknownRateKeepsThePartsOwnTimes()
    {
        const Clip part = clipOf(2030, 4510);
        QVERIFY(!clipFrames(part, sourceOf(640, 360)).has_value());
        QCOMPARE(exportedSeconds(part, sourceOf(640, 360)), 2.48);
        const ExportCommand command = buildVideoExportCommand(baseInput({part, clipOf(5000, 6000)}, sourceOf(640, 360)));
        QCOMPARE(command.arguments.mid(0, 4), (QStringList{"-ss", "2.030", "-t", "2.480"}));
        QVERIFY(!command.filterGraph.contains("trim"));
        QVERIFY(!command.arguments.contains("-r"));
    }

    // Two parts cut between frames of a 25 fps source, with sound.
    void frameExactCommandWordForWord()
    {
        const VideoExportInput in = baseInput({clipOf(2030, 4510), clipOf(9290, 12000)}, gridOf(25, 1));
        const ExportCommand command = buildVideoExportCommand(in);
        QCOMPARE(command.arguments.mid(0, 12),
                 (QStringList{"-ss", "1.020000", "-t", "3.540000", "-i", in.sourcePath,
                              "-ss", "8.300000", "-t", "3.740000", "-i", in.sourcePath}));
        QCOMPARE(command.filterGraph,
                 "[0:v]trim=start=1.000000:end=3.480000,setpts=PTS-STARTPTS[temp0];"
                 "[1:v]trim=start=1.000000:end=3.680000,setpts=PTS-STARTPTS[temp1];"
                 "[temp0]copy[v0];[temp1]copy[v1];"
                 "[0:a]atrim=start=1.020000:end=3.500000,asetpts=PTS-STARTPTS[a0];"
                 "[1:a]atrim=start=1.020000:end=3.700000,asetpts=PTS-STARTPTS[a1];"
                 "[v0][a0][v1][a1]concat=n=2:v=1:a=1[joined][outa];[joined]settb=1/25,setpts=N[outv];[outv]"
                     + fit(640, 360) + "[outvscaled]");
        const qsizetype rate = command.arguments.indexOf("-r");
        QVERIFY(rate > command.arguments.indexOf("-filter_complex"));
        QCOMPARE(command.arguments.at(rate + 1), QStringLiteral("25/1"));
        QCOMPARE(command.totalDurationMs, qint64(2480 + 2680));
    }

    // Whatever the rate and cut, each input's video window holds exactly the part's frames
    // (each within half a frame of its nominal time) and its audio spans the same time.
    void trimWindowsHoldThePartsFrames_data()
    {
        QTest::addColumn<Clip>("part");
        QTest::addColumn<SourceFacts>("source");
        QTest::newRow("25, from the start") << clipOf(0, 2030) << gridOf(25, 1);
        QTest::newRow("25, between frames") << clipOf(4510, 7020) << gridOf(25, 1);
        QTest::newRow("30000/1001") << clipOf(4510, 7020) << gridOf(30000, 1001);
        QTest::newRow("24000/1001, one frame") << clipOf(1001, 1042) << gridOf(24000, 1001);
        QTest::newRow("60000/1001, an hour in") << clipOf(3600000, 3605555) << gridOf(60000, 1001);
        QTest::newRow("late first frame") << clipOf(10, 1000) << gridOf(25, 1, 23222);
        QTest::newRow("late first frame, near the start") << clipOf(500, 1000) << gridOf(30000, 1001, 500000);
    }
    void trimWindowsHoldThePartsFrames()
    {
        QFETCH(Clip, part);
        QFETCH(SourceFacts, source);
        const std::optional<FrameSpan> frames = clipFrames(part, source);
        QVERIFY(frames && frames->count > 0);
        const ExportCommand command = buildVideoExportCommand(baseInput({part}, source));
        const qint64 seekUs = secondsTextUs(command.arguments.at(1));
        const qint64 inputUs = secondsTextUs(command.arguments.at(3));
        const QStringList chains = command.filterGraph.split(';');
        const QString video = chains.value(0);
        const QString audio = chains.value(2);
        QVERIFY2(video.startsWith("[0:v]trim=") && audio.startsWith("[0:a]atrim="), qPrintable(command.filterGraph));
        const qint64 windowStart = optionUs(video, "start");
        const qint64 windowEnd = optionUs(video, "end");

        const auto nominalUs = [&](qint64 k) {
            return source.firstFrameUs + double(k) * 1e6 * double(source.rateDenominator) / double(source.rateNumerator);
        };
        const double halfFrameUs = 0.5e6 * double(source.rateDenominator) / double(source.rateNumerator);
        QList<qint64> kept;
        for (qint64 k = qMax<qint64>(0, frames->first - 100); k < frames->first + frames->count + 100; ++k) {
            // A frame may arrive up to half a frame early or late and must still be sorted right.
            // Nothing arrives before the file's start.
            const double early = qMax(0.0, nominalUs(k) - seekUs - halfFrameUs + 1);
            const double late = nominalUs(k) - seekUs + halfFrameUs - 1;
            const bool inEarly = early >= windowStart && early < windowEnd;
            const bool inLate = late >= windowStart && late < windowEnd;
            QCOMPARE(inEarly, inLate);
            if (inEarly && early >= 0)
                kept << k;
        }
        QCOMPARE(kept.size(), frames->count);
        QCOMPARE(kept.first(), frames->first);

        const double spanUs = double(frames->count) * 1e6 * double(source.rateDenominator) / double(source.rateNumerator);
        const qint64 audioStart = optionUs(audio, "start");
        const qint64 audioEnd = optionUs(audio, "end");
        QVERIFY(qAbs(double(audioEnd - audioStart) - spanUs) <= 1.0);
        QVERIFY(qAbs(double(audioStart + seekUs) - nominalUs(frames->first)) <= 1.0);
        QVERIFY(seekUs >= 0);
        QVERIFY(inputUs >= audioEnd);
    }

    void fadesUseTheFramesKept()
    {
        Clip faded = withEffects(clipOf(2030, 4510)); // 62 frames: 2.48 s
        faded.fadeInDuration = 500;
        faded.fadeOutDuration = 1000;
        QCOMPARE(ExportCommandBuilder::clipFilters(faded, gridOf(25, 1)).join(','),
                 QStringLiteral("fade=t=in:st=0:d=0.5,fade=t=out:st=1.48:d=1"));
        faded.fadeOutDuration = 5000;
        QCOMPARE(ExportCommandBuilder::clipFilters(faded, gridOf(30000, 1001)).join(','),
                 QStringLiteral("fade=t=in:st=0:d=0.5,fade=t=out:st=0:d=2.5025"));
    }

    void partsWithoutFramesAreLeftOut()
    {
        const ClipList parts{clipOf(0, 1000), clipOf(12000, 12040), clipOf(11950, 12040)};
        // The file runs a frame longer than its video, as when its sound ends later.
        SourceFacts source = gridOf(25, 1, 0, 300);
        source.durationMs = 12040;
        const ClipList fitted = fitClipsToSource(parts, source);
        QCOMPARE(fitted.size(), 2);
        QCOMPARE(fitted.at(1).originalStart, qint64(11950));
        // Without a known last frame the second part is kept as before.
        source.frameCount = -1;
        QCOMPARE(fitClipsToSource(parts, source).size(), 3);
    }

    // The sound alone is cut exactly where the video export cuts it.
    void audioExportMatchesTheVideoExport_data()
    {
        QTest::addColumn<ClipList>("clips");
        QTest::newRow("one part") << ClipList{clipOf(2030, 4510)};
        QTest::newRow("three parts") << ClipList{clipOf(0, 2030), clipOf(4510, 7020), clipOf(9290, 12000)};
    }
    void audioExportMatchesTheVideoExport()
    {
        QFETCH(ClipList, clips);
        const SourceFacts source = gridOf(30000, 1001, 0, 360);
        AudioExportInput in;
        in.sourcePath = "/videos/source.mp4";
        in.clips = clips;
        in.source = source;
        in.format = "wav";
        in.outputPath = "/o.wav";
        const ExportCommand audio = buildAudioExportCommand(in);
        const ExportCommand video = buildVideoExportCommand(baseInput(clips, source));
        QCOMPARE(audio.arguments.mid(0, 6 * clips.size()), video.arguments.mid(0, 6 * clips.size()));
        const QRegularExpression trims(QStringLiteral("\\[\\d+:a\\]atrim=[^\\[]*"));
        QStringList audioTrims;
        QStringList videoTrims;
        for (const QRegularExpressionMatch &m : trims.globalMatch(audio.filterGraph))
            audioTrims << m.captured();
        for (const QRegularExpressionMatch &m : trims.globalMatch(video.filterGraph))
            videoTrims << m.captured();
        QCOMPARE(audioTrims.size(), clips.size());
        QCOMPARE(audioTrims, videoTrims);
        QCOMPARE(audio.totalDurationMs, video.totalDurationMs);
        QVERIFY(audio.filterGraph.endsWith("[outa]"));
        QCOMPARE(audio.arguments.mid(audio.arguments.indexOf("-map"), 2), (QStringList{"-map", "[outa]"}));
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

    // A long edit in runs of two parts: each piece is the one-run command for its parts with
    // its own titles, every piece brought to the edit's common size (a turned part elsewhere
    // decides it), and the join copies the pictures and encodes the sound once.
    void batchesSplitTheEdit_data()
    {
        QTest::addColumn<bool>("withAudio");
        QTest::newRow("with sound") << true;
        QTest::newRow("without sound") << false;
    }
    void batchesSplitTheEdit()
    {
        QFETCH(bool, withAudio);
        ClipList clips;
        for (int i = 0; i < 5; ++i)
            clips << clipOf(i * 2000, i * 2000 + 1000);
        clips[3].showTitle = true;
        clips[3].titleText = QStringLiteral("Three");
        clips[4] = withEffects(clips[4]);
        clips[4].rotation = 90;
        VideoExportInput in = baseInput(clips, gridOf(25, 1));
        in.withAudio = withAudio;
        in.titles = {{3, QStringLiteral("/tmp/t/title_3.png"), 3.0}};
        in.outputFormat = QStringLiteral("matroska");
        const BatchedExport::Plan plan = BatchedExport::plan(in, 2, QStringLiteral("/w"));
        QCOMPARE(plan.steps.size(), 4);

        const auto piecesOf = [](int piece) { return piece < 2 ? 2 : 1; };
        qint64 pieceMs = 0;
        for (int p = 0; p < 3; ++p) {
            const QStringList args = plan.steps[p].arguments;
            const QString name = QStringLiteral("/w/piece000%1").arg(p);
            QCOMPARE(args.count(QStringLiteral("/videos/source.mp4")), piecesOf(p));
            QCOMPARE(args.count(QStringLiteral("-threads")), args.count(QStringLiteral("/videos/source.mp4")) + 1);
            const QString graph = args.at(args.indexOf(QStringLiteral("-filter_complex")) + 1);
            QVERIFY2(graph.contains(QStringLiteral(",setsar=1")), qPrintable(graph));
            // Pieces but the last end in an empty part, so their last part's sound is padded.
            const int segments = int(piecesOf(p)) + (withAudio && p < 2 ? 1 : 0);
            QVERIFY2(graph.contains(QStringLiteral("concat=n=%1:").arg(segments)), qPrintable(graph));
            QCOMPARE(graph.contains(QStringLiteral("[temp1][ovr1]overlay")), p == 1);
            QCOMPARE(args.contains(QStringLiteral("/tmp/t/title_3.png")), p == 1);
            QVERIFY(!args.contains(QStringLiteral("+faststart")));
            const qsizetype video = args.indexOf(name + QStringLiteral(".mp4"));
            QVERIFY(video > 0);
            QCOMPARE(args.mid(video - 4, 4), (QStringList{"-an", "-f", "mp4", "-y"}));
            const QStringList sound{"-map", "[outa]", "-c:a", "pcm_f32le", "-f", "wav", "-y", name + ".wav"};
            QCOMPARE(args.mid(video + 1), withAudio ? sound : QStringList());
            QCOMPARE(plan.steps[p].weight, plan.steps[p].durationMs);
            pieceMs += plan.steps[p].durationMs;
        }
        QCOMPARE(pieceMs, buildVideoExportCommand(in).totalDurationMs);
        QCOMPARE(plan.steps[3].durationMs, pieceMs);
        QVERIFY(plan.steps[3].weight < pieceMs / 10);

        // Each piece's length from its frames: two parts of 25 frames, then one.
        QCOMPARE(plan.videoList, QStringLiteral("ffconcat version 1.0\nfile piece0000.mp4\nduration 2.000000\n"
                                                "file piece0001.mp4\nduration 2.000000\n"
                                                "file piece0002.mp4\nduration 1.000000\n"));
        QCOMPARE(plan.audioList,
                 withAudio ? QStringLiteral("ffconcat version 1.0\nfile piece0000.wav\nfile piece0001.wav\n"
                                            "file piece0002.wav\n")
                           : QString());
        const QStringList expectedJoin = withAudio
            ? QStringList{"-f", "concat", "-i", "/w/pictures.ffconcat", "-f", "concat", "-i", "/w/sound.ffconcat",
                          "-map", "0:v", "-c:v", "copy", "-map", "1:a", "-c:a", "aac", "-b:a", "192k",
                          "-movflags", "+faststart", "-f", "matroska", "-y", "/videos/out.mp4"}
            : QStringList{"-f", "concat", "-i", "/w/pictures.ffconcat", "-map", "0:v", "-c:v", "copy", "-an",
                          "-movflags", "+faststart", "-f", "matroska", "-y", "/videos/out.mp4"};
        QCOMPARE(plan.steps[3].arguments, expectedJoin);
    }

    // Bigger frames, fewer parts per run; a 4K part runs alone. A small edit stays one run,
    // and the edit of 20 parts at 1080p the export benchmark times too.
    void partsPerBatchFollowTheFrameSize()
    {
        const int uhd = BatchedExport::partsPerBatch(sourceOf(3840, 2160));
        const int fullHd = BatchedExport::partsPerBatch(sourceOf(1920, 1080));
        const int hd = BatchedExport::partsPerBatch(sourceOf(1280, 720));
        QCOMPARE(uhd, 1);
        QVERIFY(fullHd > uhd && hd > fullHd);
        QCOMPARE(BatchedExport::partsPerBatch(sourceOf(1080, 1920, 90)), fullHd);

        const SourceFacts fullHdSource = sourceOf(1920, 1080);
        const int oneRun = BatchedExport::partsInOneRun(fullHdSource);
        QVERIFY(oneRun >= 20);
        QVERIFY(BatchedExport::partsInOneRun(sourceOf(3840, 2160)) < oneRun);
        QCOMPARE(BatchedExport::batchFor(fullHdSource, 2), 0);
        QCOMPARE(BatchedExport::batchFor(fullHdSource, oneRun), 0);
        QCOMPARE(BatchedExport::batchFor(fullHdSource, oneRun + 1), fullHd);
        QCOMPARE(BatchedExport::batchFor(fullHdSource, 200), fullHd);
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

    // The header's words to the export's facts.
    void sourceFacts_data()
    {
        QTest::addColumn<Media::StreamHeader>("header");
        QTest::addColumn<QSize>("coded");
        QTest::addColumn<QSize>("display");
        QTest::addColumn<qint64>("duration");
        QTest::addColumn<double>("fps");
        QTest::addColumn<bool>("sizeKnown");

        const auto video = [](int width, int height, int rateNum, int rateDen, int baseNum, int baseDen,
                              int rotation, qint64 durationUs) {
            Media::StreamHeader header = videoAtRates(rateNum, rateDen, baseNum, baseDen);
            header.width = width;
            header.height = height;
            header.rotation = rotation;
            header.fileDurationUs = durationUs;
            return header;
        };
        QTest::newRow("plain") << video(1280, 720, 25, 1, 25, 1, 0, 12345000) << QSize(1280, 720) << QSize(1280, 720)
                               << qint64(12345) << 25.0 << true;
        QTest::newRow("quarter turn") << video(320, 240, 30000, 1001, 0, 0, 90, 2000000) << QSize(320, 240)
                                      << QSize(240, 320) << qint64(2000) << 30000.0 / 1001 << true;
        QTest::newRow("three quarters, rate from the base rate")
            << video(640, 480, 0, 0, 24, 1, 270, 1500000) << QSize(640, 480) << QSize(480, 640) << qint64(1500)
            << 24.0 << true;
        QTest::newRow("half turn keeps the size") << video(640, 480, 0, 0, 0, 0, 180, -1) << QSize(640, 480)
                                                  << QSize(640, 480) << qint64(-1) << 0.0 << true;
        QTest::newRow("duration rounded to the ms") << video(64, 48, 25, 1, 25, 1, 0, 2999500) << QSize(64, 48)
                                                    << QSize(64, 48) << qint64(3000) << 25.0 << true;
        QTest::newRow("no size") << video(0, 0, 25, 1, 25, 1, 0, -1) << QSize(1920, 1080) << QSize(1920, 1080)
                                 << qint64(-1) << 25.0 << false;
        Media::StreamHeader soundOnly;
        soundOnly.hasAudio = true;
        soundOnly.fileDurationUs = 3000000;
        soundOnly.width = 640; // a stream that is not the picture says nothing of its size
        QTest::newRow("no video stream") << soundOnly << QSize(1920, 1080) << QSize(1920, 1080) << qint64(3000) << 0.0
                                         << false;
        QTest::newRow("unreadable") << Media::StreamHeader() << QSize(1920, 1080) << QSize(1920, 1080) << qint64(-1)
                                    << 0.0 << false;
    }
    void sourceFacts()
    {
        QFETCH(Media::StreamHeader, header);
        QFETCH(QSize, coded);
        QFETCH(QSize, display);
        QFETCH(qint64, duration);
        QFETCH(double, fps);
        QFETCH(bool, sizeKnown);
        const SourceFacts facts = Media::factsFromHeader(header);
        QCOMPARE(QSize(facts.width, facts.height), coded);
        QCOMPARE(facts.displaySize(), display);
        QCOMPARE(facts.durationMs, duration);
        QCOMPARE(facts.frameRate, fps);
        QCOMPARE(facts.sizeKnown, sizeKnown);
        QCOMPARE(facts.frameDurationMs(), 1000.0 / (fps > 0 ? fps : 25.0));
        QCOMPARE(facts.hasAudio, header.hasAudio);
    }

    void factsReadTheFrameGrid_data()
    {
        QTest::addColumn<Media::StreamHeader>("header");
        QTest::addColumn<qint64>("numerator");
        QTest::addColumn<qint64>("denominator");
        QTest::addColumn<qint64>("firstFrameUs");
        QTest::addColumn<qint64>("frameCount");

        const auto grid = [](int rateNum, int rateDen, int baseNum, int baseDen, std::optional<qint64> streamStart,
                             std::optional<qint64> fileStart, qint64 frames, std::optional<qint64> streamDuration) {
            Media::StreamHeader header = videoAtRates(rateNum, rateDen, baseNum, baseDen);
            header.streamStartUs = streamStart;
            header.fileStartUs = fileStart;
            header.statedFrames = frames;
            header.streamDurationUs = streamDuration;
            return header;
        };
        const std::optional<qint64> none;
        QTest::newRow("constant 30000/1001") << grid(30000, 1001, 30000, 1001, 0, 0, 360, none) << qint64(30000)
                                             << qint64(1001) << qint64(0) << qint64(360);
        QTest::newRow("rates in other terms")
            << grid(50, 2, 25, 1, none, none, 0, none) << qint64(25) << qint64(1) << qint64(0) << qint64(-1);
        QTest::newRow("variable rate")
            << grid(2997, 100, 30, 1, none, none, 100, none) << qint64(0) << qint64(0) << qint64(0) << qint64(100);
        QTest::newRow("no average rate")
            << grid(0, 0, 25, 1, none, none, 0, none) << qint64(0) << qint64(0) << qint64(0) << qint64(-1);
        QTest::newRow("video after the file start, frames from the duration")
            << grid(25, 1, 25, 1, 11400000, 11376778, 0, 12000000) << qint64(25) << qint64(1) << qint64(23222)
            << qint64(300);
        QTest::newRow("video before the file start")
            << grid(25, 1, 25, 1, 1000000, 1500000, 0, none) << qint64(25) << qint64(1) << qint64(0) << qint64(-1);
        QTest::newRow("variable rate: no count from the duration")
            << grid(2997, 100, 30, 1, none, none, 0, 10000000) << qint64(0) << qint64(0) << qint64(0) << qint64(-1);
    }
    void factsReadTheFrameGrid()
    {
        QFETCH(Media::StreamHeader, header);
        QFETCH(qint64, numerator);
        QFETCH(qint64, denominator);
        QFETCH(qint64, firstFrameUs);
        QFETCH(qint64, frameCount);
        const SourceFacts facts = Media::factsFromHeader(header);
        QCOMPARE(facts.rateNumerator, numerator);
        QCOMPARE(facts.rateDenominator, denominator);
        QCOMPARE(facts.constantRate(), numerator > 0);
        QCOMPARE(facts.firstFrameUs, firstFrameUs);
        QCOMPARE(facts.frameCount, frameCount);
    }

    void pixelAspectFromTheHeader_data()
    {
        QTest::addColumn<int>("num");
        QTest::addColumn<int>("den");
        QTest::addColumn<double>("aspect");
        QTest::newRow("unknown") << 0 << 1 << 1.0;
        QTest::newRow("wide pixels") << 4 << 3 << 4.0 / 3;
        QTest::newRow("damage: 1000:1") << 1000 << 1 << 1.0;
        QTest::newRow("damage: 1:1000") << 1 << 1000 << 1.0;
    }
    void pixelAspectFromTheHeader()
    {
        QFETCH(int, num);
        QFETCH(int, den);
        Media::StreamHeader header;
        header.hasVideo = true;
        header.sampleAspectNum = num;
        header.sampleAspectDen = den;
        QTEST(Media::factsFromHeader(header).pixelAspect, "aspect");
    }
};

QTEST_GUILESS_MAIN(TestExportCommand)
#include "tst_export_command.moc"
