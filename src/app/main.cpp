#include "mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTimer>

int main(int argc, char *argv[])
{
    // Qt 6.4 would otherwise pick its GStreamer back end; an explicit choice by the user wins.
    if (!qEnvironmentVariableIsSet("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    qputenv("QT_MEDIA_FFMPEG_FORCE_HW", "1");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Trimlet"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    QApplication::setOrganizationName(QStringLiteral("Trimlet"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Trimlet - a simple video cutter"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("Video file, or Trimlet project (.tlp), to open."),
                                 QStringLiteral("[FILE]"));
    parser.process(app);

    MainWindow window;
    window.show();

    const QStringList files = parser.positionalArguments();
    if (!files.isEmpty()) {
        const QString path = QFileInfo(files.first()).absoluteFilePath();
        QTimer::singleShot(0, &window, [&window, path]() { window.openFile(path); });
    }
    return app.exec();
}
