#include "ffmpeglocator.h"
#include "filenamevalidator.h"
#include "mainwindow.h"
#include "noticebanner.h"
#include "projectfile.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "testmedia.h"
#include "userprompts.h"
#include "videoplayer.h"
#include "windowsteps.h"

#include <QAbstractButton>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <future>

#include <sys/stat.h>
#include <unistd.h>

using Kind = UserPrompts::Kind;

// Awkward files and awkward names through the real window: each either plays or is
// refused with a message, and a file that plays can be cut and kept in a project.
class TestBadInput : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;
    QString goodVideo;
    std::unique_ptr<MainWindow> window;
    RecordingPrompts prompts;

    // Loaded far enough to know: refused, or playing a file with a picture.
    bool settled() const
    {
        return hasCriticalMessage()
            || (window->clips().size() == 1 && window->player()->hasVideoStream() && window->player()->isPlaying());
    }

    // The export dialog answered as a user would: a quality, the output path, "Save Video".
    void answerExportDialog(const QString &output)
    {
        prompts.dialogHandler = [output](QDialog &dialog) {
            for (QAbstractButton *b : dialog.findChildren<QAbstractButton *>())
                if (b->text() == QLatin1String("Low Quality (480p)"))
                    b->click();
            dialog.findChild<QLineEdit *>()->setText(output);
            for (QAbstractButton *b : dialog.findChildren<QAbstractButton *>())
                if (b->text() == QLatin1String("Save Video"))
                    b->click();
            return dialog.result();
        };
    }
    QString exportOutcome()
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 180000) {
            for (const RecordingPrompts::Message &m : prompts.messages)
                if (m.title == QLatin1String("Export Complete") || m.title == QLatin1String("Export Failed"))
                    return m.title;
            QTest::qWait(50);
        }
        return QString();
    }

    bool hasCriticalMessage() const
    {
        for (const RecordingPrompts::Message &m : prompts.messages)
            if (m.kind == Kind::Critical)
                return true;
        return false;
    }

    QString makeInput(const QString &kind)
    {
        const auto bytesFile = [this](const QString &name, const QByteArray &bytes) {
            const QString path = dir.filePath(name);
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                return QString();
            return path;
        };
        const auto video = [this](const QString &name, const TestMedia::VideoOptions &options) {
            const QString path = dir.filePath(name);
            return TestMedia::makeVideo(path, options) ? path : QString();
        };
        const auto copyOfGood = [this](const QString &name) {
            const QString path = dir.filePath(name);
            return QFile::exists(path) || QFile::copy(goodVideo, path) ? path : QString();
        };

        if (kind == "zero bytes")
            return bytesFile("empty.mp4", QByteArray());
        if (kind == "random bytes") {
            QByteArray bytes(96 * 1024, '\0');
            quint32 state = 12345;
            for (char &b : bytes) {
                state = state * 1664525u + 1013904223u;
                b = char(state >> 24);
            }
            return bytesFile("random.mp4", bytes);
        }
        if (kind == "truncated") {
            QFile good(goodVideo);
            if (!good.open(QIODevice::ReadOnly))
                return QString();
            return bytesFile("truncated.mp4", good.read(good.size() * 2 / 5));
        }
        if (kind == "audio only") {
            const QString path = dir.filePath("audio only.mp4");
            return TestMedia::runFFmpeg({"-f", "lavfi", "-i", "sine=d=2", "-c:a", "aac", path}) ? path : QString();
        }
        if (kind == "bare stream") {
            const QString path = dir.filePath("camera.h264");
            return TestMedia::runFFmpeg({"-f", "lavfi", "-i", "testsrc=s=320x240:r=25:d=2", "-c:v", "libx264",
                                         "-preset", "ultrafast", "-f", "h264", path})
                ? path
                : QString();
        }
        if (kind == "picture") {
            const QString path = dir.filePath("picture.mp4");
            return TestMedia::runFFmpeg({"-f", "lavfi", "-i", "testsrc=s=320x240", "-frames:v", "1", "-c:v", "png",
                                         "-f", "image2", "-update", "1", path})
                ? path
                : QString();
        }
        if (kind == "unreadable") {
            const QString path = copyOfGood("locked.mp4");
            return QFile::setPermissions(path, QFileDevice::Permissions()) ? path : QString();
        }
        if (kind == "no audio")
            return video("silent.mp4", {3, 320, 240, 25, false, {}});
        if (kind == "rotated")
            return video("phone.mp4", {3, 240, 426, 30, true, {"-metadata:s:v:0", "rotate=90"}});
        if (kind == "variable frame rate")
            return video("vfr.mp4", {3, 320, 240, 30, true, {"-vf", "select='lt(mod(n,10),6)'", "-vsync", "vfr"}});
        if (kind == "odd size")
            return video("odd.mp4", {2, 321, 241, 25, true, {"-pix_fmt", "yuv444p"}});
        if (kind == "4K")
            return video("uhd.mp4", {1, 3840, 2160, 5, false, {"-crf", "45"}});
        if (kind == "spaces")
            return copyOfGood("my holiday video .mp4");
        if (kind == "quotes")
            return copyOfGood("it's a \"quoted\" video.mp4");
        if (kind == "percent")
            return copyOfGood("100% %1 %2 done.mp4");
        if (kind == "semicolon")
            return copyOfGood("part;1;rm -rf.mp4");
        if (kind == "unicode")
            return copyOfGood("vidéo ünïcødé 日本語 🎬.mp4");
        if (kind == "leading dash")
            return copyOfGood("-i -y.mp4");
        if (kind == "unicode folder")
            return QDir(dir.path()).mkpath("Vidéos 日本") ? copyOfGood("Vidéos 日本/clip.mp4") : QString();
        return QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        goodVideo = dir.filePath("good source.mp4");
        QVERIFY(TestMedia::makeVideo(goodVideo, {4, 320, 240, 25, true, {}}));
    }

    void init()
    {
        WindowSteps::openWindow(window, prompts);
    }

    void cleanup()
    {
        window.reset();
    }

    void loadsOrSaysWhy_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected"); // plays, refused or either
        QTest::addColumn<QString>("reason");   // how the refusal ends, when it matters
        QTest::newRow("zero bytes") << "zero bytes" << "refused" << "";
        QTest::newRow("picture named mp4") << "picture" << "refused"
                                           << "It holds a single picture, not a moving video.";
        // Root reads every file.
        if (::geteuid() != 0)
            QTest::newRow("unreadable") << "unreadable" << "refused" << "You do not have permission to read it.";
        QTest::newRow("bare H.264 stream") << "bare stream" << "refused"
                                           << "so its frames have no times to cut at.";
        QTest::newRow("random bytes named mp4") << "random bytes" << "refused" << "";
        QTest::newRow("truncated mp4") << "truncated" << "either" << "";
        QTest::newRow("audio only") << "audio only" << "refused" << "";
        QTest::newRow("video without audio") << "no audio" << "plays" << "";
        QTest::newRow("rotated phone video") << "rotated" << "plays" << "";
        QTest::newRow("variable frame rate") << "variable frame rate" << "plays" << "";
        QTest::newRow("odd size") << "odd size" << "plays" << "";
        QTest::newRow("4K") << "4K" << "plays" << "";
        QTest::newRow("spaces in the name") << "spaces" << "plays" << "";
        QTest::newRow("quotes in the name") << "quotes" << "plays" << "";
        QTest::newRow("percent signs in the name") << "percent" << "plays" << "";
        QTest::newRow("semicolons in the name") << "semicolon" << "plays" << "";
        QTest::newRow("unicode name") << "unicode" << "plays" << "";
        QTest::newRow("leading dash") << "leading dash" << "plays" << "";
        QTest::newRow("unicode folder") << "unicode folder" << "plays" << "";
    }
    void loadsOrSaysWhy()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        QFETCH(QString, reason);
        const QString path = makeInput(kind);
        QVERIFY2(!path.isEmpty(), "could not make the input");

        window->loadVideo(path);
        QTRY_VERIFY_WITH_TIMEOUT(settled(), 30000);

        if (hasCriticalMessage()) {
            QVERIFY2(expected != "plays", qPrintable(prompts.last().text));
            QCOMPARE(prompts.last().title, QStringLiteral("Cannot Open Video"));
            QVERIFY2(prompts.last().text.startsWith(
                         QStringLiteral("Trimlet cannot play \"%1\".").arg(QFileInfo(path).fileName())),
                     qPrintable(prompts.last().text));
            QVERIFY2(prompts.last().text.endsWith(reason), qPrintable(prompts.last().text));
            QVERIFY(window->currentVideo().isEmpty());
            QVERIFY(window->clips().isEmpty());
            // The window is still usable: a good video loads afterwards.
            prompts.clear();
            window->loadVideo(goodVideo);
            QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 30000);
            QVERIFY(!hasCriticalMessage());
            return;
        }

        QVERIFY2(expected != "refused", "a file that cannot be played was accepted");
        QCOMPARE(window->currentVideo(), path);
        const qint64 duration = window->currentVideoDuration();
        QVERIFY(duration > 0);
        QCOMPARE(window->windowTitle(), QStringLiteral("Trimlet - ") + QFileInfo(path).fileName());
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->isPlaying(), 30000);
        window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(!window->player()->isPlaying(), 5000);

        // Cutting works on it.
        const qint64 middle = duration / 2;
        window->player()->setPosition(middle);
        QTRY_VERIFY_WITH_TIMEOUT(qAbs(window->player()->position() - middle) < 100, 10000);
        prompts.clear();
        window->splitAtPlayhead();
        QCOMPARE(prompts.last().title, QStringLiteral("Video Cut"));
        QCOMPARE(window->clips().size(), 2);
        QCOMPARE(window->clips().last().originalEnd, duration);

        // And the edit goes into a project beside it and comes back. A name that cannot be
        // carried to every system is refused, and a plain one is taken instead.
        QString project = path + QStringLiteral(".tlp");
        prompts.saveAnswers << project;
        window->saveProject();
        if (QFileInfo(path).fileName().contains(QLatin1Char('"'))) {
            QCOMPARE(prompts.last().title, QStringLiteral("Invalid Filename"));
            QVERIFY(!QFileInfo::exists(project));
            project = dir.filePath(QStringLiteral("plain name.tlp"));
            prompts.saveAnswers << project;
            window->saveProject();
        }
        QCOMPARE(prompts.last().title, QStringLiteral("Project Saved"));
        const ClipList saved = window->clips();
        window->loadProjectFile(project);
        QCOMPARE(prompts.last().title, QStringLiteral("Project Loaded"));
        QCOMPARE(prompts.last().text,
                 QStringLiteral("Project loaded successfully from:\n%1\n\nClips loaded: 2").arg(project));
        QCOMPARE(window->currentVideo(), path);
        QCOMPARE(window->clips(), saved);
        for (const RecordingPrompts::Message &m : prompts.messages)
            QVERIFY2(m.title != QLatin1String("Cannot Open Video"), qPrintable(m.text));

        // Exporting the cut works, under a name like the source's, and writes nothing but
        // its output: no leftovers beside it or beside the source.
        QTemporaryDir out(QDir::tempPath() + QStringLiteral("/trimlet out-XXXXXX"));
        QVERIFY(out.isValid());
        QString output = out.filePath(QFileInfo(path).completeBaseName() + QStringLiteral(" cut.mp4"));
        if (!FilenameValidator::isValidFilename(output))
            output = out.filePath(QStringLiteral("plain cut.mp4"));
        const QDir::Filters everything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
        const QStringList sourceFolderBefore = QFileInfo(path).dir().entryList(everything, QDir::Name);
        answerExportDialog(output);
        prompts.clear();
        window->exportVideo();
        const QString outcome = exportOutcome();
        QVERIFY2(outcome == QLatin1String("Export Complete"), qPrintable(prompts.last().text));
        QCOMPARE(QDir(out.path()).entryList(everything), QStringList{QFileInfo(output).fileName()});
        QCOMPARE(QFileInfo(path).dir().entryList(everything, QDir::Name), sourceFolderBefore);
        const QJsonArray streams =
            QJsonDocument::fromJson(TestMedia::runFFprobe({"-show_entries", "stream=codec_type", "-of", "json", output})
                                        .toUtf8())
                .object()
                .value("streams")
                .toArray();
        QVERIFY(streams.contains(QJsonObject{{"codec_type", "video"}}));
    }

    // Pipes and folders are refused at once and the edit stays; reading one would block for ever.
    void specialFilesAreRefusedAtOnce()
    {
        const QString pipe = dir.filePath(QStringLiteral("pipe.mp4"));
        const QString pipeProject = dir.filePath(QStringLiteral("pipe.tlp"));
        for (const QString &path : {pipe, pipeProject}) {
            QFile::remove(path);
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }
        window->loadVideo(goodVideo);
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 30000);

        prompts.clear();
        window->loadVideo(pipe);
        QCOMPARE(prompts.last().title, QStringLiteral("Cannot Open Video"));
        QCOMPARE(prompts.last().text, QStringLiteral("Trimlet cannot play \"pipe.mp4\".\n\nIt is not a regular file "
                                                     "(a pipe, a device or a socket); Trimlet reads only files."));
        QCOMPARE(window->currentVideo(), goodVideo);
        QCOMPARE(window->clips().size(), 1);

        window->loadVideo(dir.path());
        QVERIFY(prompts.last().text.endsWith(QStringLiteral("It is a folder, not a file.")));

        window->loadProjectFile(pipeProject);
        QCOMPARE(prompts.last().title, QStringLiteral("Error"));
        QVERIFY(prompts.last().text.startsWith(QStringLiteral("Failed to load project: It is not a regular file")));
        QCOMPARE(window->currentVideo(), goodVideo);

        // A folder as the output is refused before anything is encoded.
        prompts.clear();
        QVERIFY(!window->exportWithFFmpeg(dir.path(), 320, 240, 30, 0));
        QCOMPARE(prompts.last().title, QStringLiteral("Invalid Filename"));
    }

    // A name of megabytes in a box or the notice is cut, keeping both of its ends.
    void overlongTextsAreCutForDisplay()
    {
        const QString name = QStringLiteral("start") + QString(1 << 20, QLatin1Char('x')) + QStringLiteral("end.mp4");
        const QString shown = textForBox(QStringLiteral("The video file was not found:\n") + name);
        QVERIFY(shown.size() < 400);
        QVERIFY(shown.startsWith(QStringLiteral("The video file was not found:\nstart")));
        QVERIFY(shown.endsWith(QStringLiteral("end.mp4")));
        QStringList many;
        for (int i = 0; i < 1000; ++i)
            many << QString::number(i);
        QCOMPARE(textForBox(many.join(QLatin1Char('\n'))).count(QLatin1Char('\n')), 40);
        QCOMPARE(textForBox(QStringLiteral("short\nand plain")), QStringLiteral("short\nand plain"));

        NoticeBanner banner(window.get());
        banner.showNotice(QStringLiteral("Clip Deleted"), name);
        QVERIFY(banner.text().size() < 700);
    }

    // A slow ffprobe at the start of an export must not freeze the window.
    void slowProbeLeavesTheWindowPainting()
    {
        QTemporaryDir bin;
        QVERIFY(bin.isValid());
        QFile probe(bin.filePath("ffprobe"));
        QVERIFY(probe.open(QIODevice::WriteOnly));
        const QString realProbe = QStandardPaths::findExecutable("ffprobe");
        probe.write(QStringLiteral("#!/bin/sh\nsleep 1\nexec '%1' \"$@\"\n").arg(realProbe).toUtf8());
        probe.close();
        QVERIFY(probe.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        window->loadVideo(goodVideo);
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 60000);

        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + path);
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(10);
        prompts.clear();
        const bool started = window->exportWithFFmpeg(dir.filePath("slow probe.mp4"), 320, 240, 30, 0);
        const int ticksDuringTheProbe = ticks;
        qputenv("PATH", path);
        QVERIFY(started);
        QCOMPARE(exportOutcome(), QStringLiteral("Export Complete"));
        QVERIFY2(ticksDuringTheProbe > 0, "the window's events waited for ffprobe");
    }

    void slowFFmpegCheckLeavesTheWindowPainting()
    {
        QTemporaryDir bin;
        QVERIFY(bin.isValid());
        QFile slow(bin.filePath("ffmpeg"));
        QVERIFY(slow.open(QIODevice::WriteOnly));
        slow.write("#!/bin/sh\nsleep 1\necho ffmpeg version 5.1\n");
        slow.close();
        QVERIFY(slow.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(10);
        QCOMPARE(findFFmpegAmong({bin.filePath("missing"), slow.fileName()}), slow.fileName());
        QVERIFY2(ticks > 0, "the window's events waited for ffmpeg -version");
        // A thread without an event loop (the export's audio check) finds it too.
        auto elsewhere = std::async(std::launch::async, [&slow] { return findFFmpegAmong({slow.fileName()}); });
        QCOMPARE(elsewhere.get(), slow.fileName());
    }

    void relativeNameWithLeadingDash()
    {
        const QString path = makeInput("leading dash");
        QVERIFY(!path.isEmpty());
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        window->loadVideo(QFileInfo(path).fileName());
        QTRY_VERIFY_WITH_TIMEOUT(settled(), 30000);
        QDir::setCurrent(previous);
        QVERIFY2(!hasCriticalMessage(), qPrintable(prompts.last().text));
    }
};

TRIMLET_TEST_MAIN(TestBadInput)
#include "tst_badinput.moc"
