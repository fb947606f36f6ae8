#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class ExportController;
class QCommandLineParser;
struct ExportSource;

// "trimlet --export OUTPUT ... INPUT": an export without a window, for scripts.
namespace CommandLineExport {

enum ExitCode { Succeeded = 0, ExportFailed = 1, BadArguments = 2 };

enum class Quality { Original, High, Medium, Low };

struct Request {
    QString inputPath;      // a project (.tlp) or a video, as given
    QString outputPath;     // as given
    Quality quality = Quality::High;
    bool mute = false;
    bool audioOnly = false;
    QString audioFormat;    // mp3, wav, aac or flac when audioOnly
    QString audioBitrate = QStringLiteral("192k");
};

// Either a request, or no export wanted (the window opens), or an error with its exit code.
struct ParseOutcome {
    std::optional<Request> request;
    int exitCode = Succeeded;
    QString error;
};

// Looked at before the application exists, since an export must not need a display.
bool isRequested(const QStringList &arguments);
// An export, or only help or the version: nothing is shown, so any display will do.
bool needsNoDisplay(const QStringList &arguments);

// The arguments without the options QApplication takes for itself (-platform NAME, -style=NAME,
// -reverse, ...), so they can be checked before it exists: making one for the window without a
// display aborts, and a bad option must end the program with the usage first.
QStringList withoutQtOptions(const QStringList &arguments);

// The program's whole command line: help, version, [FILE] and the export options.
void configureParser(QCommandLineParser &parser);
// Checks the export options of a parser that has parsed successfully.
ParseOutcome interpret(const QCommandLineParser &parser);
// configureParser, parse and interpret; arguments[0] is the program name.
ParseOutcome parseArguments(const QStringList &arguments);

struct ExportDimensions {
    int width = 0;
    int height = 0;
    int crf = 0;
};
// The export dialog's sizes and crf; nothing for Original, which keeps the source's.
std::optional<ExportDimensions> dimensionsFor(Quality quality);

// Reads the input, checks the output and runs the export to its end. Needs a
// QApplication (the runner shows its progress dialog, invisibly offscreen).
int run(const Request &request);

// Starts the video or audio export the request asks for: -1 once ffmpeg runs, otherwise
// the exit code, the reason already printed.
int startExport(ExportController &controller, const ExportSource &source, const Request &request,
                bool sourceHasAudio);

// Drops debug, info and warning output unless TRIMLET_DEBUG is set.
void installQuietMessageHandler();

} // namespace CommandLineExport
