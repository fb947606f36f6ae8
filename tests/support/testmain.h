#pragma once

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

// As the program's main does: the FFmpeg media back end, whoever runs the test.
inline void useProgramMediaEnvironment()
{
    if (!qEnvironmentVariableIsSet("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    qputenv("QT_MEDIA_FFMPEG_FORCE_HW", "1");
}

// Settings, autosaves and caches of this run only: never the user's, never another test's.
inline void useOwnUserFolders(const QString &root)
{
    for (const char *variable : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
        const QString folder = root + QLatin1Char('/') + QString::fromLatin1(variable).toLower();
        QDir().mkpath(folder);
        qputenv(variable, folder.toLocal8Bit());
    }
    QCoreApplication::setOrganizationName(QStringLiteral("Trimlet"));
    QCoreApplication::setApplicationName(QStringLiteral("Trimlet"));
}

#define TRIMLET_TEST_MAIN(TestObject)                                                              \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        useProgramMediaEnvironment();                                                              \
        QTemporaryDir userFolders;                                                                 \
        useOwnUserFolders(userFolders.path());                                                     \
        QApplication app(argc, argv);                                                              \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
