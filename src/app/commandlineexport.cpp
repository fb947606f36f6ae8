#include "commandlineexport.h"

#include "audiodetection.h"
#include "cliplist.h"
#include "exportcontroller.h"
#include "exportrunner.h"
#include "smartexportjob.h"
#include "exportsettings.h"
#include "ffmpeglocator.h"
#include "filenamevalidator.h"
#include "hardwareencoderdetector.h"
#include "inputfiles.h"
#include "outputfiles.h"
#include "projectfile.h"
#include "sourceprobe.h"
#include "userprompts.h"

#include <QCommandLineParser>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace CommandLineExport {

namespace {

const QString exportOption = QStringLiteral("export");
const QString qualityOption = QStringLiteral("quality");
const QString muteOption = QStringLiteral("mute");
const QString audioOnlyOption = QStringLiteral("audio-only");
const QString bitrateOption = QStringLiteral("bitrate");

const int minimumBitrate = 8;
const int maximumBitrate = 512;

void writeLine(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// Progress and messages share stderr: on a terminal the progress is one line
// rewritten in place, which a message must end first.
class Console {
public:
    Console() : terminal(::isatty(STDERR_FILENO) == 1) {}

    void progress(int percent)
    {
        if (terminal) {
            if (percent == lastShown)
                return;
            std::fprintf(stderr, "\rExporting: %d%%", percent);
            std::fflush(stderr);
            lineOpen = true;
            lastShown = percent;
            return;
        }
        const int step = percent / 5 * 5;
        if (step <= lastShown)
            return;
        lastShown = step;
        writeLine(stderr, QStringLiteral("Exporting: %1%").arg(step));
    }

    void line(const QString &text)
    {
        endProgressLine();
        writeLine(stderr, text);
    }

    void endProgressLine()
    {
        if (!lineOpen)
            return;
        std::fputc('\n', stderr);
        std::fflush(stderr);
        lineOpen = false;
    }

private:
    bool terminal;
    bool lineOpen = false;
    int lastShown = -1;
};

QString oneLine(const QString &title, const QString &text)
{
    const QString flat = text.simplified();
    return flat.isEmpty() ? title : title + QStringLiteral(": ") + flat;
}

// Says everything on stderr and never waits for anyone.
class ConsolePrompts : public UserPrompts {
public:
    explicit ConsolePrompts(Console &console) : console(console) {}

    void message(Kind, QWidget *, const QString &title, const QString &text) override
    {
        console.line(oneLine(title, text));
    }
    QString openFileName(QWidget *, const QString &, const QString &, const QString &) override
    {
        return QString();
    }
    QString saveFileName(QWidget *, const QString &, const QString &, const QString &) override
    {
        return QString();
    }
    int runDialog(QDialog &) override { return QDialog::Rejected; }
    // Nobody to answer: the box counts as closed.
    int ask(QWidget *, const QString &title, const QString &text, const QStringList &) override
    {
        console.line(oneLine(title, text));
        return -1;
    }
    void notice(const QString &title, const QString &text) override { console.line(oneLine(title, text)); }

private:
    Console &console;
};

// SIGINT and SIGTERM cancel the export through the event loop, so the runner removes its
// temporary file; a second signal ends the program at once.
class CancelOnSignal {
public:
    explicit CancelOnSignal(ExportController *controller)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            return;
        notifier = new QSocketNotifier(fds[1], QSocketNotifier::Read);
        QObject::connect(notifier, &QSocketNotifier::activated, controller, [this, controller] {
            char byte;
            if (::read(fds[1], &byte, 1) > 0) {
                controller->runner()->cancelExport();
                controller->smartJob()->cancel();
            }
        });
        writeEnd = fds[0];
        struct sigaction action = {};
        action.sa_handler = &CancelOnSignal::handle;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &previousInterrupt);
        ::sigaction(SIGTERM, &action, &previousTerminate);
        installed = true;
    }

    ~CancelOnSignal()
    {
        if (installed) {
            ::sigaction(SIGINT, &previousInterrupt, nullptr);
            ::sigaction(SIGTERM, &previousTerminate, nullptr);
            writeEnd = -1;
        }
        delete notifier;
        for (int fd : fds) {
            if (fd >= 0)
                ::close(fd);
        }
    }

    CancelOnSignal(const CancelOnSignal &) = delete;
    CancelOnSignal &operator=(const CancelOnSignal &) = delete;

private:
    static void handle(int)
    {
        const char byte = 1;
        if (writeEnd >= 0 && ::write(writeEnd, &byte, 1) < 0)
            return; // nothing more a signal handler can do
    }

    static inline volatile sig_atomic_t writeEnd = -1;
    int fds[2] = {-1, -1};
    QSocketNotifier *notifier = nullptr;
    struct sigaction previousInterrupt = {};
    struct sigaction previousTerminate = {};
    bool installed = false;
};

ParseOutcome failure(const QString &error)
{
    ParseOutcome outcome;
    outcome.exitCode = BadArguments;
    outcome.error = error;
    return outcome;
}

std::optional<Quality> qualityNamed(const QString &name)
{
    const QString lower = name.toLower();
    if (lower == QLatin1String("original"))
        return Quality::Original;
    if (lower == QLatin1String("high"))
        return Quality::High;
    if (lower == QLatin1String("medium"))
        return Quality::Medium;
    if (lower == QLatin1String("low"))
        return Quality::Low;
    return std::nullopt;
}

// "192" or "192k" → "192k"; empty when out of range or malformed.
QString normalizedBitrate(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,4})k?$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return QString();
    const int kbps = match.captured(1).toInt();
    if (kbps < minimumBitrate || kbps > maximumBitrate)
        return QString();
    return QString::number(kbps) + QLatin1Char('k');
}

struct Input {
    QString projectPath; // empty for a video
    QString videoPath;
    ClipList clips;
    bool noVideo = false;
};

// The video and the parts to export, or the reason they cannot be read.
std::optional<Input> readInput(const QString &path, Console &console)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        console.line(QStringLiteral("Cannot read input: %1 does not exist").arg(path));
        return std::nullopt;
    }
    if (info.isDir()) {
        console.line(QStringLiteral("Cannot read input: %1 is a folder").arg(path));
        return std::nullopt;
    }
    if (!info.isFile()) {
        // Opening a pipe for reading would wait for a writer for ever.
        console.line(QStringLiteral("Cannot read input: %1 is not a regular file").arg(path));
        return std::nullopt;
    }
    QFile file(info.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly)) {
        console.line(QStringLiteral("Cannot read input: %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }

    Input input;
    const bool project = info.suffix().compare(QLatin1String("tlp"), Qt::CaseInsensitive) == 0;
    if (project) {
        input.projectPath = info.absoluteFilePath();
        const ProjectFile::ReadResult read = ProjectFile::read(file.read(ProjectFile::MaxFileBytes + 1));
        if (read.warning)
            console.line(oneLine(read.warning->title, read.warning->text));
        if (read.error) {
            console.line(oneLine(read.error->title, read.error->text));
            return std::nullopt;
        }
        // As the window opens a project: a relative path is looked up beside it first.
        input.videoPath = read.videoPath;
        const QString besideProject = info.absoluteDir().filePath(input.videoPath);
        if (QFileInfo(input.videoPath).isRelative() && QFileInfo::exists(besideProject))
            input.videoPath = besideProject;
        if (!QFileInfo::exists(input.videoPath)) {
            console.line(QStringLiteral("Video Not Found: The video file was not found: %1").arg(read.videoPath));
            return std::nullopt;
        }
        // There, but not a file to read: say what it is rather than that it is missing.
        const QString special = specialFileReason(input.videoPath);
        if (!special.isEmpty()) {
            console.line(QStringLiteral("Cannot read the video %1: %2").arg(read.videoPath, special));
            return std::nullopt;
        }
        input.videoPath = QFileInfo(input.videoPath).absoluteFilePath();
        input.clips = read.clips;
    } else {
        input.videoPath = info.absoluteFilePath();
    }
    file.close();

    const SourceFacts facts = probeSource(input.videoPath);
    if (facts.durationMs <= 0) {
        console.line(QStringLiteral("Cannot read the video: %1").arg(input.videoPath));
        return std::nullopt;
    }
    if (!project)
        input.clips = {makeFirstClip(facts.durationMs)};
    input.noVideo = facts.noVideo;
    return input;
}

// The same refusals the window makes, found before anything starts; empty when the output is fine.
QString outputProblem(const Request &request, const Input &input)
{
    const QString &outputPath = request.outputPath;
    const QFileInfo output(outputPath);
    if (!FilenameValidator::isValidFilename(outputPath))
        return QStringLiteral("Invalid output file name: %1").arg(FilenameValidator::getValidationError(outputPath));
    if (output.isDir())
        return QStringLiteral("Output %1 is a folder").arg(outputPath);
    const QString notFile = notAFileReason(outputPath);
    if (!notFile.isEmpty())
        return notFile;
    const QString format = outputFormatProblem(outputPath, request.audioOnly ? request.audioFormat : QString());
    if (!format.isEmpty())
        return format;
    if (!output.absoluteDir().exists())
        return QStringLiteral("Output folder does not exist: %1").arg(output.absolutePath());
    if (refersToSameFile(outputPath, input.videoPath))
        return QStringLiteral("Output %1 is the source video; choose another file").arg(outputPath);
    if (!input.projectPath.isEmpty() && refersToSameFile(outputPath, input.projectPath))
        return QStringLiteral("Output %1 is the project file; choose another file").arg(outputPath);
    return QString();
}

QtMessageHandler previousMessageHandler = nullptr;

void quietMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg)
        return;
    if (previousMessageHandler)
        previousMessageHandler(type, context, text);
    else
        writeLine(stderr, text);
}

} // namespace

bool isRequested(const QStringList &arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--"))
            return false;
        if (argument == QLatin1String("--export") || argument.startsWith(QLatin1String("--export=")))
            return true;
    }
    return false;
}

bool needsNoDisplay(const QStringList &arguments)
{
    if (isRequested(arguments))
        return true;
    static const QStringList answeredAtOnce{QStringLiteral("-h"), QStringLiteral("--help"), QStringLiteral("-?"),
                                            QStringLiteral("--help-all"), QStringLiteral("-v"),
                                            QStringLiteral("--version")};
    for (int i = 1; i < arguments.size() && arguments.at(i) != QLatin1String("--"); ++i) {
        if (answeredAtOnce.contains(arguments.at(i)))
            return true;
    }
    return false;
}

QStringList withoutQtOptions(const QStringList &arguments)
{
    static const QStringList withValue{
        QStringLiteral("platform"),   QStringLiteral("platformpluginpath"), QStringLiteral("platformtheme"),
        QStringLiteral("plugin"),     QStringLiteral("qwindowgeometry"),    QStringLiteral("geometry"),
        QStringLiteral("qwindowicon"), QStringLiteral("icon"),              QStringLiteral("qwindowtitle"),
        QStringLiteral("title"),      QStringLiteral("session"),            QStringLiteral("style"),
        QStringLiteral("stylesheet"), QStringLiteral("display"),            QStringLiteral("name"),
        QStringLiteral("visual"),     QStringLiteral("qmljsdebugger")};
    static const QStringList alone{QStringLiteral("reverse"), QStringLiteral("testability"),
                                   QStringLiteral("widgetcount"), QStringLiteral("qdebug"), QStringLiteral("qdevel"),
                                   QStringLiteral("nograb"), QStringLiteral("dograb"), QStringLiteral("sync")};
    static const QStringList joined{QStringLiteral("style="), QStringLiteral("stylesheet="),
                                    QStringLiteral("qmljsdebugger=")};
    QStringList kept;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--")) {
            kept << arguments.mid(i);
            break;
        }
        // Qt reads "--platform" as "-platform".
        const QString name = argument.startsWith(QLatin1String("--")) ? argument.mid(2) : argument.mid(1);
        const bool option = i > 0 && argument.startsWith(QLatin1Char('-'));
        if (option && withValue.contains(name)) {
            ++i;
            continue;
        }
        if (option
            && (alone.contains(name)
                || std::any_of(joined.begin(), joined.end(), [&name](const QString &start) { return name.startsWith(start); })))
            continue;
        kept << argument;
    }
    return kept;
}

void configureParser(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Trimlet - a simple video cutter\n"
        "\n"
        "With --export, Trimlet writes OUTPUT from FILE without opening a window or\n"
        "needing a display: a project (.tlp) exports its parts, a video is exported\n"
        "whole. The source is never written; OUTPUT is replaced only when the export\n"
        "succeeds. Progress goes to stderr, the absolute path of OUTPUT to stdout.\n"
        "Exit codes: 0 exported, 1 the export failed (ffmpeg error, nothing to export,\n"
        "canceled), 2 bad arguments or an unreadable FILE. Set TRIMLET_DEBUG=1 for\n"
        "the export's log."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("Video file, or Trimlet project (.tlp), to open; with --export, "
                                                "the one to export."),
                                 QStringLiteral("[FILE]"));
    parser.addOption({exportOption, QStringLiteral("Export FILE to OUTPUT and quit, without a window."),
                      QStringLiteral("OUTPUT")});
    parser.addOption({qualityOption,
                      QStringLiteral("Video quality of --export: original (the source's size), "
                                     "high (at most 1920x1080, the default), medium (at most 1280x720) or "
                                     "low (at most 854x480); an upright picture stays upright, and none is "
                                     "made larger than the source."),
                      QStringLiteral("QUALITY")});
    parser.addOption({muteOption, QStringLiteral("Export the video without sound.")});
    parser.addOption({audioOnlyOption,
                      QStringLiteral("Export only the sound, as FORMAT: mp3, wav, aac or flac. "
                                     "Not with --mute or --quality."),
                      QStringLiteral("FORMAT")});
    parser.addOption({bitrateOption,
                      QStringLiteral("Bitrate of --audio-only mp3 or aac in kbit/s, 8 to 512, as 192 or 192k "
                                     "(the default); wav and flac ignore it. Only with --audio-only."),
                      QStringLiteral("N")});
}

ParseOutcome interpret(const QCommandLineParser &parser)
{
    if (!parser.isSet(exportOption)) {
        for (const QString &name : {qualityOption, muteOption, audioOnlyOption, bitrateOption}) {
            if (parser.isSet(name))
                return failure(QStringLiteral("--%1 needs --export").arg(name));
        }
        return {};
    }
    for (const QString &name : {exportOption, qualityOption, audioOnlyOption, bitrateOption}) {
        if (parser.values(name).size() > 1)
            return failure(QStringLiteral("--%1 is given more than once").arg(name));
    }

    Request request;
    request.outputPath = parser.value(exportOption);
    if (request.outputPath.isEmpty())
        return failure(QStringLiteral("--export needs an OUTPUT file"));
    const QStringList inputs = parser.positionalArguments();
    if (inputs.isEmpty() || inputs.first().isEmpty())
        return failure(QStringLiteral("Missing FILE: the project or video to export"));
    if (inputs.size() > 1)
        return failure(QStringLiteral("Only one FILE can be exported at a time"));
    request.inputPath = inputs.first();

    request.mute = parser.isSet(muteOption);
    request.audioOnly = parser.isSet(audioOnlyOption);
    if (request.mute && request.audioOnly)
        return failure(QStringLiteral("--mute and --audio-only cannot be combined"));

    if (parser.isSet(qualityOption)) {
        if (request.audioOnly)
            return failure(QStringLiteral("--quality is for video; it cannot be combined with --audio-only"));
        const std::optional<Quality> quality = qualityNamed(parser.value(qualityOption));
        if (!quality) {
            return failure(QStringLiteral("Unknown quality \"%1\": use original, high, medium or low")
                               .arg(parser.value(qualityOption)));
        }
        request.quality = *quality;
    }

    if (request.audioOnly) {
        request.audioFormat = parser.value(audioOnlyOption).toLower();
        static const QStringList formats{QStringLiteral("mp3"), QStringLiteral("wav"), QStringLiteral("aac"),
                                         QStringLiteral("flac")};
        if (!formats.contains(request.audioFormat)) {
            return failure(QStringLiteral("Unknown audio format \"%1\": use mp3, wav, aac or flac")
                               .arg(parser.value(audioOnlyOption)));
        }
    }

    if (parser.isSet(bitrateOption)) {
        if (!request.audioOnly)
            return failure(QStringLiteral("--bitrate needs --audio-only"));
        request.audioBitrate = normalizedBitrate(parser.value(bitrateOption));
        if (request.audioBitrate.isEmpty()) {
            return failure(QStringLiteral("Invalid bitrate \"%1\": use kbit/s from %2 to %3, like 192 or 192k")
                               .arg(parser.value(bitrateOption))
                               .arg(minimumBitrate)
                               .arg(maximumBitrate));
        }
    }

    ParseOutcome outcome;
    outcome.request = request;
    return outcome;
}

ParseOutcome parseArguments(const QStringList &arguments)
{
    QCommandLineParser parser;
    configureParser(parser);
    if (!parser.parse(arguments))
        return failure(parser.errorText());
    return interpret(parser);
}

std::optional<ExportDimensions> dimensionsFor(Quality quality)
{
    switch (quality) {
    case Quality::High:
        return ExportDimensions{1920, 1080, 20};
    case Quality::Medium:
        return ExportDimensions{1280, 720, 23};
    case Quality::Low:
        return ExportDimensions{854, 480, 28};
    case Quality::Original:
        break;
    }
    return std::nullopt;
}

int startExport(ExportController &controller, const ExportSource &source, const Request &request,
                bool sourceHasAudio)
{
    if (request.audioOnly) {
        return controller.exportAudioOnly(source, request.outputPath, request.audioFormat, request.audioBitrate,
                                          sourceHasAudio)
            ? -1
            : ExportFailed;
    }
    const int audioMode = request.mute ? ExportSettings::NoAudio : ExportSettings::IncludeAudio;
    const std::optional<ExportDimensions> dimensions = dimensionsFor(request.quality);
    if (!dimensions) {
        bool hasAudio = sourceHasAudio;
        return controller.exportOriginalQuality(source, request.outputPath, audioMode, hasAudio) ? -1 : ExportFailed;
    }
    return controller.exportWithFFmpeg(source, request.outputPath, dimensions->width, dimensions->height,
                                       dimensions->crf, audioMode, sourceHasAudio)
        ? -1
        : ExportFailed;
}

int run(const Request &request)
{
    Console console;
    const std::optional<Input> input = readInput(request.inputPath, console);
    if (!input)
        return BadArguments;
    const QString problem = outputProblem(request, *input);
    if (!problem.isEmpty()) {
        console.line(problem);
        return BadArguments;
    }

    if (input->noVideo && !request.audioOnly) {
        console.line(QStringLiteral("No Video Track: %1 has no video, only sound; export its sound with "
                                    "--audio-only FORMAT").arg(input->videoPath));
        return ExportFailed;
    }

    Request absolute = request;
    absolute.outputPath = QFileInfo(request.outputPath).absoluteFilePath();

    ConsolePrompts prompts(console);
    ExportController controller([&prompts]() -> UserPrompts & { return prompts; }, nullptr);
    std::optional<int> finished;
    QEventLoop loop;
    QObject::connect(&controller, &ExportController::progressChanged, &loop, [&console](int percent) {
        console.progress(percent);
    });
    QObject::connect(&controller, &ExportController::exportFinished, &loop, [&](int result) {
        finished = result == int(ExportRunner::Result::Succeeded) ? Succeeded : ExportFailed;
        loop.exit(*finished);
    });

    // The window's encoder choice, hardware included when a test encode works.
    std::unique_ptr<HardwareEncoderDetector> detector;
    if (!absolute.audioOnly)
        detector = HardwareEncoderDetector::probeAtStartup(findFFmpeg());
    ExportSource source;
    source.videoPath = input->videoPath;
    source.clips = input->clips;
    source.encoderDetector = detector.get();
    // A video export checks for sound itself; the audio export needs to be told.
    const bool sourceHasAudio = absolute.audioOnly ? detectAudioStream(input->videoPath) : true;

    CancelOnSignal cancelOnSignal(&controller);
    const int started = startExport(controller, source, absolute, sourceHasAudio);
    if (started >= 0)
        return started;
    if (!finished)
        loop.exec();
    console.endProgressLine();
    if (*finished == Succeeded)
        writeLine(stdout, absolute.outputPath);
    return *finished;
}

void installQuietMessageHandler()
{
    if (qEnvironmentVariableIsEmpty("TRIMLET_DEBUG"))
        previousMessageHandler = qInstallMessageHandler(quietMessageHandler);
}

} // namespace CommandLineExport
