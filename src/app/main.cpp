#include "applog.h"
#include "commandlineexport.h"
#include "exportleftovers.h"
#include "fontwarmup.h"
#include "glsurfacewidget.h"
#include "mainwindow.h"
#include "quietstyle.h"
#include "videoplayer.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace {

// For the start-up benchmark (TRIMLET_EXIT_WHEN_SHOWN): says when the window first
// paints, then quits.
class FirstPaintReport : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !reported) {
            reported = true;
            std::fputs("shown\n", stdout);
            std::fflush(stdout);
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool reported = false;
};

// For the first-frame benchmark (TRIMLET_EXIT_AT_FIRST_FRAME): says when a display first
// puts a picture on screen after the player delivered a frame, then quits.
class FirstFrameReport : public QObject {
public:
    explicit FirstFrameReport(MainWindow *window)
        : QObject(window)
    {
        connect(window->player(), &VideoPlayer::frameReady, this, [this] { frameArrived = true; });
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // The displays are made late: each is watched from its first showing.
        if (event->type() == QEvent::Show) {
            if (auto *display = qobject_cast<GLSurfaceWidget *>(watched))
                connect(display, &GLSurfaceWidget::frameSwapped, this, &FirstFrameReport::swapped, Qt::UniqueConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void swapped()
    {
        if (!frameArrived || reported)
            return;
        reported = true;
        std::fputs("frame\n", stdout);
        std::fflush(stdout);
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }

    bool frameArrived = false;
    bool reported = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QString::fromLocal8Bit(argv[i]);
    {
        // Checked before any QApplication: the window's would abort without a display.
        QCommandLineParser early;
        CommandLineExport::configureParser(early);
        if (!early.parse(CommandLineExport::withoutQtOptions(rawArguments))) {
            const QCoreApplication named(argc, argv); // for the program's name in the usage
            std::fprintf(stderr, "%s\n\n%s", qPrintable(early.errorText()), qPrintable(early.helpText()));
            return CommandLineExport::BadArguments;
        }
        const CommandLineExport::ParseOutcome outcome = CommandLineExport::interpret(early);
        if (outcome.exitCode != CommandLineExport::Succeeded) {
            std::fprintf(stderr, "%s\n", qPrintable(outcome.error));
            return outcome.exitCode;
        }
    }
    printTrimletLogUnprefixed();
    const bool exporting = CommandLineExport::isRequested(rawArguments);
    // No window, so no display: the export's progress dialog lives offscreen.
    if (CommandLineExport::needsNoDisplay(rawArguments))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (exporting)
        CommandLineExport::installQuietMessageHandler();
    else
        startFontConfigWarmUp();

    // Qt 6.4 would otherwise pick its GStreamer back end; an explicit choice by the user wins.
    if (!qEnvironmentVariableIsSet("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    qputenv("QT_MEDIA_FFMPEG_FORCE_HW", "1");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Trimlet"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    QApplication::setOrganizationName(QStringLiteral("Trimlet"));
    // What an export killed with an earlier run left behind.
    ExportLeftovers::removeStale();

    QCommandLineParser parser;
    CommandLineExport::configureParser(parser);
    if (exporting) {
        if (!parser.parse(app.arguments())) {
            std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
            return CommandLineExport::BadArguments;
        }
        if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
            parser.showHelp(0);
        if (parser.isSet(QStringLiteral("version")))
            parser.showVersion();
    } else {
        parser.process(app);
    }
    const CommandLineExport::ParseOutcome outcome = CommandLineExport::interpret(parser);
    if (outcome.exitCode != CommandLineExport::Succeeded) {
        std::fprintf(stderr, "%s\n", qPrintable(outcome.error));
        return outcome.exitCode;
    }
    if (outcome.request)
        return CommandLineExport::run(*outcome.request);

    QApplication::setStyle(new QuietStyle);
    MainWindow window;
    if (qEnvironmentVariableIsSet("TRIMLET_EXIT_WHEN_SHOWN"))
        window.installEventFilter(new FirstPaintReport(&window));
    if (qEnvironmentVariableIsSet("TRIMLET_EXIT_AT_FIRST_FRAME"))
        new FirstFrameReport(&window);
    window.show();

    const QStringList files = parser.positionalArguments();
    if (!files.isEmpty()) {
        const QString path = QFileInfo(files.first()).absoluteFilePath();
        QTimer::singleShot(0, &window, [&window, path]() { window.openFile(path); });
    }
    return app.exec();
}
