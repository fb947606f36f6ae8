#pragma once

#include <QApplication>
#include <QtTest>

// As the program's main does: the FFmpeg media back end, whoever runs the test.
inline void useProgramMediaEnvironment()
{
    if (!qEnvironmentVariableIsSet("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
    qputenv("QT_MEDIA_FFMPEG_FORCE_HW", "1");
}

#define TRIMLET_TEST_MAIN(TestObject)                                                              \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        useProgramMediaEnvironment();                                                              \
        QApplication app(argc, argv);                                                              \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
