#include "commandlineexport.h"
#include "exportleftovers.h"
#include "exportdialog.h"
#include "projectfile.h"
#include "recordingprompts.h"
#include "fulldisk.h"
#include "testmedia.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace CommandLineExport;

Q_DECLARE_METATYPE(CommandLineExport::Quality)

namespace {

const int runTimeoutMs = 300000;

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

// The built program, with no display to reach.
Run runTrimlet(const QStringList &arguments, const QString &workingDirectory, bool debugLog = false)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("TRIMLET_DEBUG"));
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    if (debugLog)
        environment.insert(QStringLiteral("TRIMLET_DEBUG"), QStringLiteral("1"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(TRIMLET_BINARY), arguments);
    Run run;
    if (!process.waitForFinished(runTimeoutMs) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        run.err = QString::fromLocal8Bit(process.readAllStandardError());
        return run;
    }
    run.exitCode = process.exitCode();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

// The children of a process, from every one of its threads.
QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(task + QStringLiteral("/children")));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &child : file.readAll().split(' '))
            if (!child.trimmed().isEmpty())
                children.append(child.trimmed().toLongLong());
    }
    return children;
}

QByteArray commandLineOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Gone, or a zombie no one has collected yet: either way it runs no more.
bool hasEnded(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return true;
    const QByteArray stat = file.readAll();
    const int close = stat.lastIndexOf(')');
    return close < 0 || stat.mid(close + 2, 1) == "Z";
}

QByteArray hashOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result();
}

QJsonObject probe(const QString &path)
{
    return QJsonDocument::fromJson(TestMedia::runFFprobe({"-show_entries",
                                                          "stream=codec_type,codec_name,width,height,"
                                                          "sample_aspect_ratio,duration:format=format_name",
                                                          "-of", "json", path})
                                       .toUtf8())
        .object();
}

QJsonObject streamOfType(const QJsonObject &probed, const QString &type)
{
    for (const QJsonValue &stream : probed.value("streams").toArray()) {
        if (stream.toObject().value("codec_type").toString() == type)
            return stream.toObject();
    }
    return {};
}

Clip part(qint64 startMs, qint64 endMs)
{
    Clip clip;
    clip.originalStart = startMs;
    clip.originalEnd = endMs;
    return clip;
}

// stderr holds only progress and one-line reasons, never the export's debug log.
void verifyQuietStderr(const QString &err)
{
    QVERIFY2(!err.contains("FFmpeg args"), qPrintable(err));
    QVERIFY2(!err.contains("Filter complex"), qPrintable(err));
    // Nor what libav logs by itself ("[mp4 @ 0x...] Starting second pass...").
    QVERIFY2(!err.contains(" @ 0x"), qPrintable(err));
    static const QRegularExpression progress(QStringLiteral("^Exporting: (\\d+)%$"));
    int last = -1;
    for (const QString &line : err.split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = progress.match(line);
        if (!match.hasMatch())
            continue;
        const int percent = match.captured(1).toInt();
        QVERIFY2(percent % 5 == 0 && percent > last, qPrintable(err));
        last = percent;
    }
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void parsesRequests_data();
    void parsesRequests();
    void opensTheWindowWithoutExport();
    void refusesBadArguments_data();
    void refusesBadArguments();
    void recognisesExportBeforeTheApplication_data();
    void recognisesExportBeforeTheApplication();
    void qualitiesMatchTheExportDialog_data();
    void qualitiesMatchTheExportDialog();

    void helpDocumentsTheExportWithoutDisplay();
    void exportsProjectPartsAtLowQuality();
    void exportsProjectPartsAtOriginalQuality();
    void exportsMatroskaCutAtItsKeyframesAtOriginalQuality();
    void qualityKeepsThePicturesShape_data();
    void qualityKeepsThePicturesShape();
    void exportsMutedVideoWhole();
    void debugLogIsPlainLines();
    void exportsAudioOnly();
    void badArgumentsExitTwoFromTheProgram();
    void missingInputWritesNothing();
    void nothingToExportFails();
    void fullDiskSaysWhy_data();
    void fullDiskSaysWhy();
    void soundFileToAVideoExport_data();
    void soundFileToAVideoExport();
    void damagedSourceIsSaidWhenExported_data();
    void damagedSourceIsSaidWhenExported();
    void refusesOutputThatIsAnInput_data();
    void refusesOutputThatIsAnInput();
    void refusesOutputsThatCannotBeWritten_data();
    void refusesOutputsThatCannotBeWritten();
    void unknownOptionsExitTwoWithTheUsage_data();
    void unknownOptionsExitTwoWithTheUsage();
    void audioOnlyWritesTheContainerItsNameSays_data();
    void audioOnlyWritesTheContainerItsNameSays();
    void unwritableFolderGetsNothing_data();
    void unwritableFolderGetsNothing();
    void killedExportEndsItsFfmpegAndIsClearedAtTheNextStart();
    void onlyOwnLeftoversAreEverRemoved();
    void windowWithoutShadersStaysUp();

private:
    QTemporaryDir dir;
    QString source;
    QString elsewhere;
};

void TestCommandLine::initTestCase()
{
    QVERIFY(dir.isValid());
    source = dir.filePath("source.mp4");
    TestMedia::VideoOptions options;
    options.seconds = 3;
    options.width = 320;
    options.height = 240;
    QVERIFY(TestMedia::makeVideo(source, options));
    // The program runs from here, so paths in projects are not found by accident.
    elsewhere = dir.filePath("elsewhere");
    QVERIFY(QDir().mkpath(elsewhere));
}

void TestCommandLine::parsesRequests_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("input");
    QTest::addColumn<Quality>("quality");
    QTest::addColumn<bool>("mute");
    QTest::addColumn<QString>("audioFormat");
    QTest::addColumn<QString>("bitrate");

    QTest::newRow("defaults") << QStringList{"--export", "out.mp4", "in.mp4"} << "out.mp4" << "in.mp4"
                              << Quality::High << false << "" << "192k";
    QTest::newRow("equals form") << QStringList{"--export=out.mp4", "in.tlp"} << "out.mp4" << "in.tlp"
                                 << Quality::High << false << "" << "192k";
    QTest::newRow("input first") << QStringList{"in.mp4", "--quality", "low", "--export", "out.mp4"} << "out.mp4"
                                 << "in.mp4" << Quality::Low << false << "" << "192k";
    QTest::newRow("medium muted") << QStringList{"--export", "o.mp4", "--quality", "medium", "--mute", "i.mp4"}
                                  << "o.mp4" << "i.mp4" << Quality::Medium << true << "" << "192k";
    QTest::newRow("original") << QStringList{"--export", "o.mp4", "--quality", "original", "i.mp4"} << "o.mp4"
                              << "i.mp4" << Quality::Original << false << "" << "192k";
    QTest::newRow("quality in capitals") << QStringList{"--export", "o.mp4", "--quality", "HIGH", "i.mp4"}
                                         << "o.mp4" << "i.mp4" << Quality::High << false << "" << "192k";
    QTest::newRow("mp3 default bitrate") << QStringList{"--export", "o.mp3", "--audio-only", "mp3", "i.mp4"}
                                         << "o.mp3" << "i.mp4" << Quality::High << false << "mp3" << "192k";
    QTest::newRow("aac bare number") << QStringList{"--export", "o.aac", "--audio-only", "aac", "--bitrate",
                                                    "128", "i.mp4"}
                                     << "o.aac" << "i.mp4" << Quality::High << false << "aac" << "128k";
    QTest::newRow("flac with capital K") << QStringList{"--export", "o.flac", "--audio-only", "FLAC", "--bitrate",
                                                        "256K", "i.mp4"}
                                         << "o.flac" << "i.mp4" << Quality::High << false << "flac" << "256k";
    QTest::newRow("wav upper bound") << QStringList{"--export", "o.wav", "--audio-only", "wav", "--bitrate", "512",
                                                    "i.mp4"}
                                     << "o.wav" << "i.mp4" << Quality::High << false << "wav" << "512k";
    QTest::newRow("spaces kept") << QStringList{"--export", "my out.mp4", "my in.tlp"} << "my out.mp4"
                                 << "my in.tlp" << Quality::High << false << "" << "192k";
}

void TestCommandLine::parsesRequests()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, output);
    QFETCH(QString, input);
    QFETCH(Quality, quality);
    QFETCH(bool, mute);
    QFETCH(QString, audioFormat);
    QFETCH(QString, bitrate);

    const ParseOutcome outcome = parseArguments(QStringList{"trimlet"} + arguments);
    QVERIFY2(outcome.request, qPrintable(outcome.error));
    QCOMPARE(outcome.exitCode, int(Succeeded));
    const Request &request = *outcome.request;
    QCOMPARE(request.outputPath, output);
    QCOMPARE(request.inputPath, input);
    QCOMPARE(request.quality, quality);
    QCOMPARE(request.mute, mute);
    QCOMPARE(request.audioOnly, !audioFormat.isEmpty());
    QCOMPARE(request.audioFormat, audioFormat);
    QCOMPARE(request.audioBitrate, bitrate);
}

void TestCommandLine::opensTheWindowWithoutExport()
{
    const ParseOutcome outcome = parseArguments({"trimlet", "video.mp4"});
    QCOMPARE(outcome.exitCode, int(Succeeded));
    QVERIFY(!outcome.request);
}

void TestCommandLine::refusesBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason"); // a word the message must hold

    QTest::newRow("mute and audio only") << QStringList{"--export", "o.mp3", "--mute", "--audio-only", "mp3", "i.mp4"}
                                         << "--mute";
    QTest::newRow("unknown quality") << QStringList{"--export", "o.mp4", "--quality", "ultra", "i.mp4"} << "ultra";
    QTest::newRow("missing input") << QStringList{"--export", "o.mp4"} << "FILE";
    QTest::newRow("empty input") << QStringList{"--export", "o.mp4", ""} << "FILE";
    QTest::newRow("two inputs") << QStringList{"--export", "o.mp4", "a.mp4", "b.mp4"} << "one";
    QTest::newRow("empty output") << QStringList{"--export=", "i.mp4"} << "OUTPUT";
    QTest::newRow("output missing its value") << QStringList{"i.mp4", "--export"} << "export";
    QTest::newRow("two outputs") << QStringList{"--export", "a.mp4", "--export", "b.mp4", "i.mp4"} << "once";
    QTest::newRow("bitrate without audio only") << QStringList{"--export", "o.mp4", "--bitrate", "192", "i.mp4"}
                                                << "--audio-only";
    QTest::newRow("quality with audio only") << QStringList{"--export", "o.mp3", "--quality", "low",
                                                            "--audio-only", "mp3", "i.mp4"}
                                             << "--quality";
    QTest::newRow("unknown audio format") << QStringList{"--export", "o.ogg", "--audio-only", "ogg", "i.mp4"}
                                          << "ogg";
    QTest::newRow("bitrate not a number") << QStringList{"--export", "o.mp3", "--audio-only", "mp3", "--bitrate",
                                                         "fast", "i.mp4"}
                                          << "fast";
    QTest::newRow("bitrate too low") << QStringList{"--export", "o.mp3", "--audio-only", "mp3", "--bitrate", "7",
                                                    "i.mp4"}
                                     << "7";
    QTest::newRow("bitrate too high") << QStringList{"--export", "o.mp3", "--audio-only", "mp3", "--bitrate",
                                                     "513k", "i.mp4"}
                                      << "513k";
    QTest::newRow("unknown option") << QStringList{"--export", "o.mp4", "--frobnicate", "i.mp4"} << "frobnicate";
    QTest::newRow("export option without export") << QStringList{"--mute", "i.mp4"} << "--export";
}

void TestCommandLine::refusesBadArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);

    const ParseOutcome outcome = parseArguments(QStringList{"trimlet"} + arguments);
    QVERIFY(!outcome.request);
    QCOMPARE(outcome.exitCode, int(BadArguments));
    QVERIFY2(outcome.error.contains(reason), qPrintable(outcome.error));
    QVERIFY(!outcome.error.contains('\n'));
}

void TestCommandLine::recognisesExportBeforeTheApplication_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("exporting");
    QTest::addColumn<bool>("noDisplay");

    QTest::newRow("open a file") << QStringList{"trimlet", "a.mp4"} << false << false;
    QTest::newRow("nothing") << QStringList{"trimlet"} << false << false;
    QTest::newRow("export") << QStringList{"trimlet", "--export", "o.mp4", "a.mp4"} << true << true;
    QTest::newRow("export with equals") << QStringList{"trimlet", "a.mp4", "--export=o.mp4"} << true << true;
    QTest::newRow("after double dash") << QStringList{"trimlet", "--", "--export"} << false << false;
    QTest::newRow("longer name") << QStringList{"trimlet", "--exports", "a.mp4"} << false << false;
    QTest::newRow("program named like it") << QStringList{"--export", "a.mp4"} << false << false;
    QTest::newRow("help") << QStringList{"trimlet", "--help"} << false << true;
    QTest::newRow("version") << QStringList{"trimlet", "-v"} << false << true;
}

void TestCommandLine::recognisesExportBeforeTheApplication()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, exporting);
    QFETCH(bool, noDisplay);

    QCOMPARE(isRequested(arguments), exporting);
    QCOMPARE(needsNoDisplay(arguments), noDisplay);
    // What the parser later decides agrees with the early look.
    QCommandLineParser parser;
    configureParser(parser);
    if (parser.parse(arguments))
        QCOMPARE(parser.isSet("export"), exporting);
}

void TestCommandLine::qualitiesMatchTheExportDialog_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<Quality>("quality");

    QTest::newRow("low") << "Low Quality (480p)" << Quality::Low;
    QTest::newRow("medium") << "Medium Quality (720p)" << Quality::Medium;
    QTest::newRow("high") << "High Quality (1080p)" << Quality::High;
}

void TestCommandLine::qualitiesMatchTheExportDialog()
{
    QFETCH(QString, button);
    QFETCH(Quality, quality);

    RecordingPrompts prompts;
    ExportDialog dialog(prompts, source, 1, 3000);
    QAbstractButton *choice = nullptr;
    for (QAbstractButton *candidate : dialog.findChildren<QAbstractButton *>()) {
        if (candidate->text() == button)
            choice = candidate;
    }
    QVERIFY(choice);
    // From another choice first, so the click really changes the settings.
    for (QAbstractButton *candidate : dialog.findChildren<QAbstractButton *>()) {
        if (candidate != choice && candidate->text().contains("Quality ("))
            candidate->click();
    }
    choice->click();
    const ExportSettings settings = dialog.settings();
    const std::optional<ExportDimensions> dimensions = dimensionsFor(quality);
    QVERIFY(dimensions);
    QCOMPARE(dimensions->width, settings.targetWidth);
    QCOMPARE(dimensions->height, settings.targetHeight);
    QCOMPARE(dimensions->crf, settings.crf);
}

void TestCommandLine::helpDocumentsTheExportWithoutDisplay()
{
    const Run run = runTrimlet({"--help"}, elsewhere);
    QCOMPARE(run.exitCode, 0);
    for (const char *word : {"--export", "--quality", "original", "854x480", "--mute", "--audio-only", "flac",
                             "--bitrate", "Exit codes", "TRIMLET_DEBUG"})
        QVERIFY2(run.out.contains(word), word);
}

void TestCommandLine::exportsProjectPartsAtLowQuality()
{
    const QString project = dir.filePath("three parts.tlp");
    {
        QFile file(project);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // Relative: found beside the project, not in the working folder.
        file.write(ProjectFile::write("source.mp4", 3000, {part(0, 600), part(1000, 1500), part(2000, 2800)}));
    }
    const QString output = dir.filePath("parts.mp4");

    const Run run = runTrimlet({"--export", output, "--quality", "low", project}, elsewhere);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(run.out, output + '\n');
    verifyQuietStderr(run.err);
    QVERIFY2(run.err.contains("Exporting: "), qPrintable(run.err));

    QVERIFY(qAbs(TestMedia::probeDuration(output) - 1.9) <= 0.1);
    // Smaller than the quality's 854x480: kept at its own size.
    const QJsonObject video = streamOfType(probe(output), "video");
    QCOMPARE(video.value("width").toInt(), 320);
    QCOMPARE(video.value("height").toInt(), 240);
    QVERIFY(!streamOfType(probe(output), "audio").isEmpty());
    // Only what was asked for is left behind: no temporary file, no change to the source.
    for (const QString &entry : entriesOf(dir.path()))
        QVERIFY2(!entry.endsWith(".part"), qPrintable(entry));
}

void TestCommandLine::exportsProjectPartsAtOriginalQuality()
{
    const QString project = dir.filePath("original.tlp");
    {
        QFile file(project);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ProjectFile::write(source, 3000, {part(0, 600), part(1010, 1500), part(2000, 2800)}));
    }
    const QString output = dir.filePath("original.mp4");
    const Run run = runTrimlet({"--export", output, "--quality", "original", project}, elsewhere);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(run.out, output + '\n');
    verifyQuietStderr(run.err);
    QVERIFY2(run.err.contains("Original quality"), qPrintable(run.err));

    // The source's size and codec; the frames at 0..560, 1040..1480 and 2000..2760 ms.
    QString errors;
    QVERIFY(TestMedia::runFFmpeg({"-i", output, "-f", "null", "-"}, &errors));
    QCOMPARE(errors.trimmed(), QString());
    const QJsonObject video = streamOfType(probe(output), "video");
    QCOMPARE(video.value("codec_name").toString(), QStringLiteral("h264"));
    QCOMPARE(video.value("width").toInt(), 320);
    QCOMPARE(video.value("height").toInt(), 240);
    const QString frames = TestMedia::runFFprobe({"-v", "error", "-count_frames", "-select_streams", "v", "-show_entries",
                                                  "stream=nb_read_frames", "-of", "csv=p=0", output});
    QCOMPARE(frames.trimmed().toInt(), 15 + 12 + 20);
    QVERIFY(!streamOfType(probe(output), "audio").isEmpty());
}

// x264's defaults in Matroska: times in whole milliseconds, no stored decode times (libavformat
// guesses them and has none for the first pictures), Opus sound starting 7 ms before the picture.
void TestCommandLine::exportsMatroskaCutAtItsKeyframesAtOriginalQuality()
{
    const QString mkv = dir.filePath("keyframes.mkv");
    QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "testsrc2=d=60", "-f", "lavfi", "-i", "sine=d=60", "-c:v",
                                  "libx264", "-c:a", "libopus", mkv}));
    const QString project = dir.filePath("keyframes.tlp");
    {
        QFile file(project);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ProjectFile::write(mkv, 60000, {part(0, 20000), part(30000, 60000)}));
    }
    const QString output = dir.filePath("keyframes.mp4");
    const Run run = runTrimlet({"--export", output, "--quality", "original", project}, elsewhere);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(run.out, output + '\n');
    QVERIFY2(!run.err.contains("encoded again at its original size"), qPrintable(run.err));
    QVERIFY2(run.err.contains("the sound (Opus) was encoded again as AAC"), qPrintable(run.err));

    QString errors;
    QVERIFY(TestMedia::runFFmpeg({"-i", output, "-f", "null", "-"}, &errors));
    QCOMPARE(errors.trimmed(), QString());
    // The source's first frame lies 14 ms after its time 0: frames 0..499 and 750..1499.
    const QVector<double> psnr = TestMedia::framePsnr(output, mkv, {{0, 500}, {750, 1500}}, dir.path());
    QCOMPARE(psnr.size(), 1250);
    int identical = 0;
    for (int i = 0; i < psnr.size(); ++i) {
        QVERIFY2(psnr[i] > 40.0, qPrintable(QStringLiteral("frame %1: %2 dB").arg(i).arg(psnr[i])));
        identical += std::isinf(psnr[i]);
    }
    // Both parts start on keyframes: their frames are copied, not made again.
    QVERIFY2(identical >= 1200, qPrintable(QString::number(identical)));

    const QJsonObject probed = probe(output);
    const double videoSeconds = streamOfType(probed, "video").value("duration").toString().toDouble();
    const double audioSeconds = streamOfType(probed, "audio").value("duration").toString().toDouble();
    QCOMPARE(videoSeconds, 50.0);
    QVERIFY2(std::abs(audioSeconds - videoSeconds) <= 1024.0 / 48000 + 1e-6, qPrintable(QString::number(audioSeconds)));
}

void TestCommandLine::qualityKeepsThePicturesShape_data()
{
    QTest::addColumn<QString>("picture");     // a lavfi source of one colour
    QTest::addColumn<QStringList>("extraArgs");
    QTest::addColumn<QString>("quality");
    QTest::addColumn<QSize>("size");

    const QString phone = "color=c=0xC8503C:s=720x1280:r=25:d=1";
    QTest::newRow("portrait phone clip, high") << phone << QStringList() << "high" << QSize(720, 1280);
    QTest::newRow("portrait phone clip, low") << phone << QStringList() << "low" << QSize(480, 854);
    QTest::newRow("landscape stored, turned by its display matrix")
        << "color=c=0xC8503C:s=1280x720:r=25:d=1" << QStringList{"-metadata:s:v:0", "rotate=90"} << "medium"
        << QSize(720, 1280);
    QTest::newRow("wide pixels, square ones out") << "color=c=0xC8503C:s=720x540:r=25:d=1,setsar=4/3"
                                                  << QStringList() << "low" << QSize(854, 480);
    QTest::newRow("odd sides") << "color=c=0xC8503C:s=361x641:r=25:d=1" << QStringList{"-pix_fmt", "yuv444p"}
                               << "high" << QSize(360, 640);
    QTest::newRow("smaller than the quality") << "color=c=0xC8503C:s=400x300:r=25:d=1" << QStringList() << "high"
                                              << QSize(400, 300);
}

void TestCommandLine::qualityKeepsThePicturesShape()
{
    QFETCH(QString, picture);
    QFETCH(QStringList, extraArgs);
    QFETCH(QString, quality);
    QFETCH(QSize, size);

    const QString video = dir.filePath("shape.mp4");
    QStringList args;
    // Only a stream copy turns the rotate tag into a display matrix.
    if (extraArgs.value(0).startsWith("-metadata")) {
        const QString stored = dir.filePath("shape_stored.mp4");
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", picture, "-c:v", "libx264", "-preset", "ultrafast",
                                      "-pix_fmt", "yuv420p", stored}));
        QVERIFY(TestMedia::runFFmpeg(QStringList{"-i", stored, "-c", "copy"} + extraArgs + QStringList{video}));
    } else {
        QStringList encode{"-f", "lavfi", "-i", picture, "-c:v", "libx264", "-preset", "ultrafast"};
        encode << (extraArgs.isEmpty() ? QStringList{"-pix_fmt", "yuv420p"} : extraArgs) << video;
        QVERIFY(TestMedia::runFFmpeg(encode));
    }
    const QString output = dir.filePath("shape_out.mp4");
    const Run run = runTrimlet({"--export", output, "--quality", quality, video}, elsewhere);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));

    const QJsonObject stream = streamOfType(probe(output), "video");
    QCOMPARE(QSize(stream.value("width").toInt(), stream.value("height").toInt()), size);
    const QString aspect = stream.value("sample_aspect_ratio").toString("1:1");
    QVERIFY2(aspect == "1:1", qPrintable(aspect));
    // The picture fills the frame: colour right up to every edge, no black bars.
    const QString still = dir.filePath("shape.png");
    QVERIFY(TestMedia::runFFmpeg({"-i", output, "-frames:v", "1", still}));
    QImage frame;
    QVERIFY(frame.load(still));
    QCOMPARE(frame.size(), size);
    for (const QPoint &at : {QPoint(1, 1), QPoint(size.width() - 2, 1), QPoint(1, size.height() - 2),
                             QPoint(size.width() - 2, size.height() - 2), QPoint(size.width() / 2, 1),
                             QPoint(1, size.height() / 2)}) {
        const QColor colour = frame.pixelColor(at);
        QVERIFY2(colour.red() > 150 && colour.green() < 120,
                 qPrintable(QStringLiteral("(%1, %2): %3").arg(at.x()).arg(at.y()).arg(colour.name())));
    }
}

void TestCommandLine::exportsMutedVideoWhole()
{
    const Run run = runTrimlet({"--export", "muted.mp4", "--mute", "--quality", "medium", "../source.mp4"},
                               elsewhere);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString output = QDir(elsewhere).absoluteFilePath("muted.mp4");
    QCOMPARE(run.out, output + '\n');
    verifyQuietStderr(run.err);

    QVERIFY(qAbs(TestMedia::probeDuration(output) - 3.0) <= 0.1);
    const QJsonObject probed = probe(output);
    // Medium's 1280x720 is a limit the 320x240 source stays within.
    QCOMPARE(streamOfType(probed, "video").value("width").toInt(), 320);
    QCOMPARE(streamOfType(probed, "video").value("height").toInt(), 240);
    QVERIFY(streamOfType(probed, "audio").isEmpty());
}

// The debug log, asked for, reads as plain lines: no logging category in front of them.
void TestCommandLine::debugLogIsPlainLines()
{
    const Run run = runTrimlet({"--export", "logged.wav", "--audio-only", "wav", "../source.mp4"}, elsewhere, true);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.err.contains(QLatin1String("\nFound FFmpeg at:")) || run.err.startsWith(QLatin1String("Found FFmpeg at:")),
             qPrintable(run.err));
    QVERIFY2(!run.err.contains(QLatin1String("trimlet.")), qPrintable(run.err));
}

void TestCommandLine::exportsAudioOnly()
{
    const QString output = dir.filePath("sound.mp3");
    const Run run = runTrimlet({"--export", output, "--audio-only", "mp3", "--bitrate", "128", source}, elsewhere);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(run.out, output + '\n');
    verifyQuietStderr(run.err);

    const QJsonObject probed = probe(output);
    QCOMPARE(probed.value("format").toObject().value("format_name").toString(), QString("mp3"));
    QCOMPARE(streamOfType(probed, "audio").value("codec_name").toString(), QString("mp3"));
    QVERIFY(streamOfType(probed, "video").isEmpty());
    QVERIFY(qAbs(TestMedia::probeDuration(output) - 3.0) <= 0.1);
}

void TestCommandLine::badArgumentsExitTwoFromTheProgram()
{
    const QString output = dir.filePath("never.mp3");
    const Run run = runTrimlet({"--export", output, "--mute", "--audio-only", "mp3", source}, elsewhere);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY(!QFile::exists(output));
}

void TestCommandLine::missingInputWritesNothing()
{
    const QStringList before = entriesOf(elsewhere);
    const Run run = runTrimlet({"--export", "out.mp4", dir.filePath("no such video.mp4")}, elsewhere);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY2(run.err.contains("no such video.mp4"), qPrintable(run.err));
    QCOMPARE(entriesOf(elsewhere), before);

    // A pipe is refused at once rather than waited on.
    const QString pipe = dir.filePath("pipe.mp4");
    QFile::remove(pipe);
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const Run piped = runTrimlet({"--export", "out.mp4", pipe}, elsewhere);
    QCOMPARE(piped.exitCode, 2);
    QVERIFY2(piped.err.contains("is not a regular file"), qPrintable(piped.err));
    QCOMPARE(entriesOf(elsewhere), before);

    // A project's video that is there but not a file is named for what it is, not as missing.
    for (const QString &video : {pipe, QStringLiteral("/dev/zero")}) {
        const QString project = dir.filePath("special video.tlp");
        QFile file(project);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ProjectFile::write(video, 3000, {part(0, 1000)}));
        file.close();
        const Run run = runTrimlet({"--export", "out.mp4", project}, elsewhere);
        QVERIFY(run.exitCode != 0);
        QVERIFY2(run.err.contains("not a regular file") && !run.err.contains("Video Not Found"),
                 qPrintable(run.err));
        QCOMPARE(entriesOf(elsewhere), before);
    }
}

void TestCommandLine::nothingToExportFails()
{
    const QString project = dir.filePath("beyond.tlp");
    {
        QFile file(project);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ProjectFile::write(source, 3000, {part(5000, 6000)}));
    }
    const QString output = dir.filePath("beyond.mp4");
    const Run run = runTrimlet({"--export", output, project}, elsewhere);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.out, QString());
    QVERIFY2(run.err.contains("Nothing to Export"), qPrintable(run.err));
    QVERIFY(!QFile::exists(output));
}

// A full disk is named as the reason, whichever way the export writes, never the encoder's
// statistics that follow it.
void TestCommandLine::fullDiskSaysWhy_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("name");
    QTest::newRow("high") << QStringList{"--quality", "high"} << "full.mp4";
    QTest::newRow("low, muted") << QStringList{"--quality", "low", "--mute"} << "full.mp4";
    QTest::newRow("original") << QStringList{"--quality", "original"} << "full.mp4";
    QTest::newRow("wav") << QStringList{"--audio-only", "wav"} << "full.wav";
}

void TestCommandLine::fullDiskSaysWhy()
{
    QFETCH(QStringList, options);
    QFETCH(QString, name);
    const FullDisk disk(dir.filePath("small disk"), 32);
    if (!disk.mounted())
        QSKIP(qPrintable(disk.reason()));
    const Run run = runTrimlet(QStringList{"--export", disk.filePath(name)} + options + QStringList{source}, elsewhere);
    QCOMPARE(run.exitCode, int(ExportFailed));
    QVERIFY2(run.err.contains("No space left on device"), qPrintable(run.err));
    for (const char *statistic : {"Avg QP", "kb/s:", "muxing overhead", "Qavg"})
        QVERIFY2(!run.err.contains(QLatin1String(statistic)), qPrintable(run.err));
    verifyQuietStderr(run.err);
    QCOMPARE(entriesOf(disk.filePath(".")), QStringList());
}

// A file of sound alone cannot give a video: said plainly, with the way to its sound.
void TestCommandLine::soundFileToAVideoExport_data()
{
    QTest::addColumn<QString>("quality");
    QTest::newRow("high") << "high";
    QTest::newRow("original") << "original";
}

void TestCommandLine::soundFileToAVideoExport()
{
    QFETCH(QString, quality);
    const QString sound = dir.filePath("sound only.m4a");
    if (!QFile::exists(sound))
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "sine=d=2", "-c:a", "aac", sound}));
    const QString output = dir.filePath("from sound.mp4");
    const Run run = runTrimlet({"--export", output, "--quality", quality, sound}, elsewhere);
    QCOMPARE(run.exitCode, int(ExportFailed));
    QVERIFY2(run.err.contains("has no video, only sound"), qPrintable(run.err));
    QVERIFY2(run.err.contains("--audio-only"), qPrintable(run.err));
    QVERIFY2(!run.err.contains("matches no streams"), qPrintable(run.err));
    QVERIFY(!QFile::exists(output));

    const QString wav = dir.filePath("from sound.wav");
    const Run audio = runTrimlet({"--export", wav, "--audio-only", "wav", sound}, elsewhere);
    QVERIFY2(audio.exitCode == 0, qPrintable(audio.err));
    QVERIFY(qAbs(TestMedia::probeDuration(wav) - 2.0) < 0.05);
}

// A file cut short (its pictures stop at about 5 of the 10 s its header states) exports
// what it holds and says so.
void TestCommandLine::damagedSourceIsSaidWhenExported_data()
{
    QTest::addColumn<QString>("quality");
    QTest::newRow("high") << "high";
    QTest::newRow("original") << "original";
}

void TestCommandLine::damagedSourceIsSaidWhenExported()
{
    QFETCH(QString, quality);
    const QString cut = dir.filePath("cut short.mp4");
    if (!QFile::exists(cut)) {
        TestMedia::VideoOptions options;
        options.seconds = 10;
        options.extraOutputArgs = {"-movflags", "+faststart"};
        QVERIFY(TestMedia::makeVideo(cut, options));
        QFile file(cut);
        QVERIFY(file.resize(file.size() / 2));
    }
    const QString output = dir.filePath("from cut short.mp4");
    const Run run = runTrimlet({"--export", output, "--quality", quality, cut}, elsewhere);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    static const QRegularExpression said(QStringLiteral("This file is damaged: its pictures end at 0[3-6]\\.\\d\\d of 10\\.00"));
    QVERIFY2(said.match(run.err).hasMatch(), qPrintable(run.err));
    verifyQuietStderr(run.err);
    QVERIFY(TestMedia::probeDuration(output) < 7.0);

    const Run whole = runTrimlet({"--export", dir.filePath("from whole.mp4"), "--quality", quality, source}, elsewhere);
    QVERIFY2(whole.exitCode == 0, qPrintable(whole.err));
    QVERIFY2(!whole.err.contains("damaged"), qPrintable(whole.err));
}

void TestCommandLine::refusesOutputThatIsAnInput_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("protectedFile");

    QTest::newRow("video over itself") << "source.mp4" << "source.mp4" << "source.mp4";
    QTest::newRow("spelt differently") << "source.mp4" << "./elsewhere/../source.mp4" << "source.mp4";
    QTest::newRow("project over its video") << "guarded.tlp" << "source.mp4" << "source.mp4";
    QTest::newRow("project over itself") << "guarded.tlp" << "guarded.tlp" << "guarded.tlp";
}

void TestCommandLine::refusesOutputThatIsAnInput()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QString, protectedFile);

    {
        QFile project(dir.filePath("guarded.tlp"));
        QVERIFY(project.open(QIODevice::WriteOnly));
        project.write(ProjectFile::write(source, 3000, {part(0, 1000)}));
    }
    const QByteArray before = hashOf(dir.filePath(protectedFile));
    QVERIFY(!before.isEmpty());
    const QStringList entries = entriesOf(dir.path());

    const Run run = runTrimlet({"--export", output, input}, dir.path());
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QCOMPARE(run.err.count('\n'), 1);
    QCOMPARE(hashOf(dir.filePath(protectedFile)), before);
    QCOMPARE(entriesOf(dir.path()), entries);
}

void TestCommandLine::refusesOutputsThatCannotBeWritten_data()
{
    QTest::addColumn<QString>("output"); // in the folder "refused"
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("reason");

    QTest::newRow("pipe") << "pipe.mp4" << QStringList{} << "pipe.mp4 is a pipe, not a file";
    // A link to the device, not the device: were it not refused, only the link would go.
    QTest::newRow("link to a device, audio only") << "null.wav" << QStringList{"--audio-only", "wav"}
                                                  << "null.wav is a device, not a file";
    QTest::newRow("folder with a slash") << "new folder/" << QStringList{} << "names a folder, not a file";
    QTest::newRow("name too long") << QString(300, 'n') + ".mp4" << QStringList{}
                                   << "The file name is too long: 304 bytes";
    QTest::newRow("webm") << "cut.webm" << QStringList{} << "A WebM file holds only VP8, VP9 or AV1 video";
    QTest::newRow("wav sound in mp4") << "sound.mp4" << QStringList{"--audio-only", "wav"}
                                      << "WAV sound cannot be saved in a .mp4 file";
}

// Refused before anything runs: nothing is made, and what the name points at is left as it was.
void TestCommandLine::refusesOutputsThatCannotBeWritten()
{
    QFETCH(QString, output);
    QFETCH(QStringList, options);
    QFETCH(QString, reason);

    const QString folder = dir.filePath("refused");
    QDir(folder).removeRecursively();
    QVERIFY(QDir().mkpath(folder));
    QCOMPARE(::mkfifo(QFile::encodeName(QDir(folder).filePath("pipe.mp4")).constData(), 0600), 0);
    QVERIFY(QFile::link("/dev/null", QDir(folder).filePath("null.wav")));
    const QStringList before = entriesOf(folder);

    const Run run = runTrimlet(QStringList{"--export", output} + options + QStringList{source}, folder);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY2(run.err.contains(reason), qPrintable(run.err));
    QCOMPARE(entriesOf(folder), before);
    QVERIFY(QFileInfo(QDir(folder).filePath("null.wav")).isSymLink());
    QVERIFY(!QFileInfo(QDir(folder).filePath("pipe.mp4")).isFile());
}

void TestCommandLine::unknownOptionsExitTwoWithTheUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said"); // on stderr, or on stdout when the exit code is 0

    QTest::newRow("export with one dash") << QStringList{"-export", "out.mp4", "SOURCE"} << 2 << "Unknown option";
    QTest::newRow("unknown option for the window") << QStringList{"--frobnicate", "SOURCE"} << 2
                                                   << "Unknown option 'frobnicate'";
    QTest::newRow("export option for the window") << QStringList{"--mute", "SOURCE"} << 2 << "--mute needs --export";
    // Qt's own options are still Qt's.
    QTest::newRow("style for Qt") << QStringList{"-style", "fusion", "--version"} << 0 << "1.0";
    QTest::newRow("platform and reverse for Qt") << QStringList{"--platform", "offscreen", "-reverse", "--version"}
                                                 << 0 << "1.0";
}

// Without a display a window could not even be made: the arguments are judged first.
void TestCommandLine::unknownOptionsExitTwoWithTheUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    arguments.replaceInStrings("SOURCE", source);

    const QStringList before = entriesOf(elsewhere);
    const Run run = runTrimlet(arguments, elsewhere);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.err));
    QVERIFY2((exitCode == 0 ? run.out : run.err).contains(said), qPrintable(run.err + run.out));
    if (said.startsWith("Unknown"))
        QVERIFY2(run.err.contains("Usage: ") && run.err.contains("--export <OUTPUT>"), qPrintable(run.err));
    QCOMPARE(entriesOf(elsewhere), before);
}

void TestCommandLine::audioOnlyWritesTheContainerItsNameSays_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("container"); // a word of ffprobe's format name

    QTest::newRow("aac in mp4") << "sound in.mp4" << "mp4";
    QTest::newRow("raw aac") << "sound in.aac" << "aac";
}

void TestCommandLine::audioOnlyWritesTheContainerItsNameSays()
{
    QFETCH(QString, name);
    QFETCH(QString, container);
    const QString output = dir.filePath(name);
    const Run run = runTrimlet({"--export", output, "--audio-only", "aac", source}, elsewhere);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QJsonObject probed = probe(output);
    const QStringList formats = probed.value("format").toObject().value("format_name").toString().split(',');
    QVERIFY2(formats.contains(container), qPrintable(formats.join(',')));
    QCOMPARE(streamOfType(probed, "audio").value("codec_name").toString(), QString("aac"));
}

void TestCommandLine::unwritableFolderGetsNothing_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("readOnlyCopy"); // a folder of our own made read-only

    QTest::newRow("read-only folder") << QString() << true;
    // Even root cannot create files here.
    QTest::newRow("proc") << "/proc" << false;
}

void TestCommandLine::unwritableFolderGetsNothing()
{
    QFETCH(QString, folder);
    QFETCH(bool, readOnlyCopy);

    if (readOnlyCopy) {
        if (::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        folder = dir.filePath("locked");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    }
    const QString output = QDir(folder).filePath("trimlet-out.mp4");

    const Run run = runTrimlet({"--export", output, "--quality", "low", source}, elsewhere);
    if (readOnlyCopy)
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY2(run.exitCode == 1 || run.exitCode == 2, qPrintable(run.err));
    QCOMPARE(run.out, QString());
    QVERIFY2(run.err.contains(folder), qPrintable(run.err));
    for (const QString &entry : entriesOf(folder))
        QVERIFY2(!entry.contains("trimlet-out"), qPrintable(entry));
}

int main(int argc, char *argv[])
{
    // Only the export dialog is built here, never shown.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestCommandLine test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_commandline.moc"

void TestCommandLine::killedExportEndsItsFfmpegAndIsClearedAtTheNextStart()
{
#ifndef Q_OS_LINUX
    QSKIP("The parent-death signal is Linux's");
#endif
    // Long enough that ffmpeg is still encoding when the program is killed.
    const QString longSource = dir.filePath("long.mp4");
    TestMedia::VideoOptions options;
    options.seconds = 60;
    options.width = 640;
    options.height = 360;
    QVERIFY(TestMedia::makeVideo(longSource, options));
    // Both runs keep their lists of leftovers in one place of this test's own.
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath("data")));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(elsewhere);
    program.start(QStringLiteral(TRIMLET_BINARY), {"--export", "killed.mp4", "--quality", "high", longSource});
    QVERIFY(program.waitForStarted());

    qint64 encoder = 0;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (qint64 child : childrenOf(program.processId()))
                if (commandLineOf(child).contains(".part"))
                    encoder = child;
            return encoder != 0;
        }(),
        30000);
    ::kill(pid_t(program.processId()), SIGKILL);
    QVERIFY(program.waitForFinished(60000));
    QTRY_VERIFY_WITH_TIMEOUT(hasEnded(encoder), 60000);

    // The partial output stays until the next start, which removes it and nothing else
    // of the same look that no export of ours made.
    const QDir folder(elsewhere);
    const QStringList partial = folder.entryList({".killed.mp4.*.part"}, QDir::Files | QDir::Hidden);
    QCOMPARE(partial.size(), 1);
    const QString unrelated = folder.filePath(".killed.mp4.Ab12Cd.part");
    QFile other(unrelated);
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.close();
    const Run next = runTrimlet({"--export", "next.wav", "--audio-only", "wav", source}, elsewhere);
    QCOMPARE(next.exitCode, 0);
    QVERIFY(!folder.exists(partial.first()));
    QVERIFY(QFileInfo::exists(unrelated));
    QVERIFY(QFile::remove(unrelated));
    qunsetenv("XDG_DATA_HOME");
}

// A name like ours is not enough: links, and work folders outside the temporary folder,
// belong to someone else.
void TestCommandLine::onlyOwnLeftoversAreEverRemoved()
{
    using ExportLeftovers::isOwnLeftover;
    const QString partial = dir.filePath(".cut.mp4.Ab12Cd.part");
    QFile file(partial);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(isOwnLeftover(partial));
    const QString link = dir.filePath(".link.mp4.Ab12Cd.part");
    QVERIFY(QFile::link(source, link));
    QVERIFY(!isOwnLeftover(link));
    QVERIFY(!isOwnLeftover(source));
    QVERIFY(!isOwnLeftover(dir.filePath(".cut.mp4.Ab12Cd.part.mp4")));
    const QString pieces = dir.filePath(".cut.mp4.Ab12Cd.pieces");
    QVERIFY(QDir().mkpath(pieces));
    QVERIFY(isOwnLeftover(pieces));

    QTemporaryDir work(QDir::temp().filePath("trimlet-titles-XXXXXX"));
    QVERIFY(work.isValid());
    QVERIFY(isOwnLeftover(work.path()));
    const QString lookalike = dir.filePath("trimlet-titles-Ab12Cd");
    QVERIFY(QDir().mkpath(lookalike));
    QVERIFY(!isOwnLeftover(lookalike));
    QVERIFY(!isOwnLeftover(QDir::tempPath()));
}

// Qt composes OpenGL widgets with shaders and crashes without them (indirect OpenGL over a remote
// X connection): the window must then keep its video area without a preview, and run.
void TestCommandLine::windowWithoutShadersStaysUp()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("Needs an X display");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath("shaderless/config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath("shaderless/data"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath("shaderless/cache"));
    {
        // A first start greets before the video plays, and nobody answers here.
        QSettings settings(dir.filePath("shaderless/config/Trimlet/Trimlet.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("welcome/show"), false);
    }
    // Mesa's software renderer, told to offer OpenGL 1.5 without its shader extensions.
    environment.insert(QStringLiteral("LIBGL_ALWAYS_SOFTWARE"), QStringLiteral("1"));
    environment.insert(QStringLiteral("MESA_GL_VERSION_OVERRIDE"), QStringLiteral("1.5"));
    environment.insert(QStringLiteral("MESA_EXTENSION_OVERRIDE"),
                       QStringLiteral("-GL_ARB_shader_objects -GL_ARB_vertex_shader -GL_ARB_fragment_shader "
                                      "-GL_ARB_shading_language_100"));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(elsewhere);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QStringLiteral(TRIMLET_BINARY), {source});
    QVERIFY(program.waitForStarted());
    QByteArray log;
    const auto readLog = [&] {
        log += program.readAll();
        return log;
    };
    QTRY_VERIFY_WITH_TIMEOUT(readLog().contains("No video preview") || program.state() != QProcess::Running, 60000);
    // The video loads and plays on, its frames going nowhere.
    QTRY_VERIFY_WITH_TIMEOUT(readLog().contains("BufferedMedia") || program.state() != QProcess::Running, 60000);
    QVERIFY2(program.state() == QProcess::Running, log.right(2000).constData());
    QVERIFY(log.contains("No video preview"));
    program.kill();
    program.waitForFinished();
}
