#include "appsettings.h"
#include "cliplist.h"
#include "editautosave.h"
#include "exportcontroller.h"
#include "mainwindow.h"
#include "noticebanner.h"
#include "projectfile.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "testmedia.h"
#include "windowsteps.h"
#include "videoplayer.h"

#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QSemaphore>
#include <QSettings>
#include <QThread>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

QStringList autosaveFiles()
{
    return QDir(EditAutosave::folder()).entryList({QStringLiteral("edit-*.tlp")}, QDir::Files);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

ClipList autosavedClips(const QString &name)
{
    return ProjectFile::read(readAll(QDir(EditAutosave::folder()).filePath(name))).clips;
}

} // namespace

// Receives what the program asks the desktop to open.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

// Recent files, remembered folders, the welcome box, unsaved edits, autosave and recovery.
class TestSession : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;
    QString videoA;
    QString videoB;
    std::unique_ptr<MainWindow> window;
    RecordingPrompts prompts;

    void startWindow()
    {
        // Answers are set before the start, and what the start said is read after it.
        WindowSteps::OpenOptions options;
        options.freshPrompts = false;
        options.clearMessages = false;
        WindowSteps::openWindow(window, prompts, options);
    }
    void loadAndWait(const QString &path)
    {
        WindowSteps::loadAndPause(*window, path);
    }
    void cutAt(qint64 ms)
    {
        WindowSteps::seekAndWait(*window, ms);
        const int before = int(window->clips().size());
        window->splitAtPlayhead();
        QCOMPARE(int(window->clips().size()), before + 1);
    }
    QAction *menuAction(const QString &menu, const QString &text) const
    {
        for (QAction *top : window->menuBar()->actions())
            if (top->text() == menu)
                for (QAction *action : top->menu()->actions())
                    if (action->text() == text)
                        return action;
        return nullptr;
    }
    QList<QAction *> recentEntries() const
    {
        QList<QAction *> entries;
        for (QAction *action : window->recentFilesMenu()->actions())
            if (!action->isSeparator() && action->text() != QLatin1String("Clear Recent"))
                entries.append(action);
        return entries;
    }
    void dropFile(const QString &path)
    {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &enter);
        QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &drop);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        videoA = dir.filePath(QStringLiteral("first & best.mp4"));
        videoB = dir.filePath(QStringLiteral("second.mp4"));
        TestMedia::VideoOptions options;
        options.seconds = 6;
        QVERIFY(TestMedia::makeVideo(videoA, options));
        QVERIFY(TestMedia::makeVideo(videoB));
    }

    void init()
    {
        QSettings().clear();
        QSettings().setValue(QStringLiteral("welcome/show"), false);
        prompts = RecordingPrompts();
    }

    void cleanup()
    {
        window.reset();
        QVERIFY2(autosaveFiles().isEmpty(), "a window that ended cleanly leaves no autosave");
    }

    // The welcome comes at the first start, and after that only from Help > How to Use.
    void welcomeAtTheFirstStartOnly()
    {
        QSettings().remove(QStringLiteral("welcome/show"));
        startWindow();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].title, QStringLiteral("Welcome to Trimlet!"));

        prompts.clear();
        startWindow();
        QVERIFY(prompts.messages.isEmpty());
        QAction *howTo = menuAction(QStringLiteral("Help"), QStringLiteral("How to Use"));
        QVERIFY(howTo);
        howTo->trigger();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].title, QStringLiteral("Welcome to Trimlet!"));
        prompts.clear();
        startWindow();
        QVERIFY(prompts.messages.isEmpty());
    }

    void recentFilesAndRememberedFolders()
    {
        startWindow();
        prompts.openAnswers = {videoA};
        window->openVideo();
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 60000);
        QCOMPARE(prompts.fileRequests[0].dir, QString()); // nothing remembered yet

        // A project saved elsewhere: its folder is the project folder from now on.
        const QString projects = dir.filePath(QStringLiteral("projects"));
        QVERIFY(QDir().mkpath(projects));
        const QString project = projects + QStringLiteral("/edit.tlp");
        prompts.saveAnswers = {project};
        window->saveProject();
        QVERIFY(QFile::exists(project));

        QList<QAction *> entries = recentEntries();
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries[0]->toolTip(), project);
        QCOMPARE(entries[1]->toolTip(), videoA);
        QCOMPARE(entries[1]->text(), QStringLiteral("first && best.mp4")); // not a mnemonic

        // A new window remembers all of it, and its dialogs start where the files were.
        window.reset();
        prompts.clear();
        startWindow();
        QCOMPARE(recentEntries().size(), 2);
        window->openVideo();
        window->loadProject();
        QCOMPARE(prompts.fileRequests[0].dir, dir.path());
        QCOMPARE(prompts.fileRequests[1].dir, projects);

        // A file gone while the menu was open goes with a message when chosen ...
        QVERIFY(QFile::rename(project, project + QStringLiteral(".moved")));
        prompts.clear();
        recentEntries()[0]->trigger();
        QTRY_COMPARE(prompts.last().title, QStringLiteral("File Not Found"));
        QVERIFY(prompts.last().text.contains(project));
        QCOMPARE(recentEntries().size(), 1);
        // ... and is shown disabled the next time the menu opens.
        AppSettings::addRecentFile(project);
        QMetaObject::invokeMethod(window->recentFilesMenu(), "aboutToShow");
        entries = recentEntries();
        QCOMPARE(entries.size(), 2);
        QVERIFY(!entries[0]->isEnabled());
        QVERIFY(entries[1]->isEnabled());

        // Choosing the video opens it; Clear Recent empties the list for good.
        entries[1]->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(window->currentVideo(), videoA, 60000);
        QAction *clear = menuAction(QStringLiteral("File"), QStringLiteral("Open Recent"))->menu()->actions().last();
        QCOMPARE(clear->text(), QStringLiteral("Clear Recent"));
        clear->trigger();
        QTRY_VERIFY(recentEntries().isEmpty());
        QVERIFY(AppSettings::recentFiles().isEmpty());
    }

    void unsavedEditAsksBeforeItGoes_data()
    {
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("editKept");
        QTest::newRow("open video, cancel") << "open video" << 2 << true;
        QTest::newRow("open video, box closed") << "open video" << -1 << true;
        QTest::newRow("open video, discard") << "open video" << 1 << false;
        QTest::newRow("open project, cancel") << "open project" << 2 << true;
        QTest::newRow("drop, cancel") << "drop" << 2 << true;
        QTest::newRow("drop, discard") << "drop" << 1 << false;
        QTest::newRow("quit, cancel") << "quit" << 2 << true;
        QTest::newRow("quit, discard") << "quit" << 1 << false;
        QTest::newRow("quit, save") << "quit" << 0 << false;
    }
    void unsavedEditAsksBeforeItGoes()
    {
        QFETCH(QString, trigger);
        QFETCH(int, answer);
        QFETCH(bool, editKept);
        startWindow();
        loadAndWait(videoA);
        cutAt(2000);
        const ClipList edit = window->clips();
        QVERIFY(window->hasUnsavedChanges());
        prompts.clear();
        prompts.askAnswers = {answer};
        const QString project = dir.filePath(QStringLiteral("saved-on-quit.tlp"));
        QFile::remove(project);
        prompts.saveAnswers = {project};
        prompts.openAnswers = {videoB};

        if (trigger == QLatin1String("open video"))
            window->openVideo();
        else if (trigger == QLatin1String("open project"))
            window->loadProject();
        else if (trigger == QLatin1String("drop"))
            dropFile(videoB);
        else
            window->close();

        QTRY_COMPARE(prompts.questions.size(), 1);
        QCOMPARE(prompts.questions[0].title, QStringLiteral("Unsaved Changes"));
        QCOMPARE(prompts.questions[0].text,
                 QStringLiteral("Save changes to the edit of first & best.mp4 before closing it?"));
        QCOMPARE(prompts.questions[0].buttons,
                 QStringList({QStringLiteral("Save Project..."), QStringLiteral("Discard"), QStringLiteral("Cancel")}));
        if (editKept) {
            QCOMPARE(window->clips(), edit);
            QCOMPARE(window->currentVideo(), videoA);
            QVERIFY(window->isVisible());
            QVERIFY(prompts.fileRequests.isEmpty());
            QVERIFY(window->hasUnsavedChanges());
        } else if (trigger == QLatin1String("quit")) {
            QVERIFY(!window->isVisible());
            if (answer == 0)
                QCOMPARE(ProjectFile::read(readAll(project)).clips, edit);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(window->currentVideo(), videoB, 60000);
        }
    }

    void savedOrUndoneEditsDoNotAsk()
    {
        startWindow();
        loadAndWait(videoA);
        cutAt(2000);
        window->undoLastAction();
        QVERIFY(!window->hasUnsavedChanges()); // back to the edit as loaded
        cutAt(3000);
        prompts.saveAnswers = {dir.filePath(QStringLiteral("clean.tlp"))};
        window->saveProject();
        QVERIFY(!window->hasUnsavedChanges());
        prompts.clear();
        window->resize(1010, 620);
        QTRY_COMPARE(window->size(), QSize(1010, 620));
        window->close();
        QVERIFY(prompts.questions.isEmpty());
        QVERIFY(!window->isVisible());
        // The next window opens as this one closed.
        startWindow();
        QCOMPARE(window->size(), QSize(1010, 620));
    }

    void autosaveFollowsTheEdit()
    {
        startWindow();
        loadAndWait(videoA);
        QVERIFY(autosaveFiles().isEmpty()); // nothing changed yet
        cutAt(2000);
        cutAt(4000);
        QTRY_COMPARE_WITH_TIMEOUT(autosaveFiles().size(), 1, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(autosavedClips(autosaveFiles().first()), window->clips(), 30000);
        // Owned by a running program: never offered as left behind.
        QVERIFY(EditAutosave::orphans().isEmpty());

        // Saved as a project, the copy has done its work.
        prompts.saveAnswers = {dir.filePath(QStringLiteral("autosaved.tlp"))};
        window->saveProject();
        QVERIFY(autosaveFiles().isEmpty());
    }

    // What a full disk or a hand left unreadable may be all there is of an edit: kept under
    // another name, told of once, and the readable copy still offered.
    void unreadableAutosavesAreKeptAsideAndToldOfOnce()
    {
        const QDir folder(EditAutosave::folder());
        QVERIFY(QDir().mkpath(folder.path()));
        const QList<QPair<QString, QByteArray>> unreadable{{"edit-00000000000000a1.tlp", QByteArray()},
                                                          {"edit-00000000000000a2.tlp", "{\"videoPath\": \"/v"}};
        for (const auto &[name, bytes] : unreadable) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(bytes), bytes.size());
        }
        QFile readable(folder.filePath("edit-00000000000000b1.tlp"));
        QVERIFY(readable.open(QIODevice::WriteOnly));
        QVERIFY(readable.write(ProjectFile::write(videoA, 6000, {makeFirstClip(6000)})) > 0);
        readable.close();

        prompts.askAnswers = {1};
        startWindow();
        const QString keptA = folder.filePath("unreadable-edit-00000000000000a1.tlp");
        const QString keptB = folder.filePath("unreadable-edit-00000000000000a2.tlp");
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].kind, UserPrompts::Kind::Warning);
        QCOMPARE(prompts.messages[0].title, QStringLiteral("Autosaved Edit Unreadable"));
        QCOMPARE(prompts.messages[0].text,
                 QStringLiteral("2 autosaved edits could not be read. They were kept as:\n") + keptA + '\n' + keptB);
        QCOMPARE(prompts.questions.size(), 1);
        QCOMPARE(prompts.questions[0].title, QStringLiteral("Restore Edit"));
        QCOMPARE(readAll(keptA), unreadable[0].second);
        QCOMPARE(readAll(keptB), unreadable[1].second);
        QVERIFY(QFileInfo::exists(keptA));
        QVERIFY(autosaveFiles().isEmpty());

        window.reset();
        prompts = RecordingPrompts();
        startWindow();
        QVERIFY(prompts.messages.isEmpty());
        QVERIFY(prompts.questions.isEmpty());
        QVERIFY(QFile::remove(keptA) && QFile::remove(keptB));
    }

    // The bytes are made on another thread; what they were made for may be saved or closed
    // before they are ready, and must then never land.
    void autosaveMadeOffTheWindowThread()
    {
        QSemaphore started, release;
        Qt::HANDLE madeOn = nullptr;
        ClipList clips{makeFirstClip(5000)};
        EditAutosave autosave;
        autosave.setSnapshot([&] {
            return [&, clips] {
                madeOn = QThread::currentThreadId();
                started.release();
                release.acquire();
                return ProjectFile::write(videoA, 5000, clips);
            };
        });
        // A failed check must not leave the writer waiting for ever.
        const auto unblock = qScopeGuard([&release] { release.release(2); });
        autosave.editChanged();
        QTRY_VERIFY_WITH_TIMEOUT(started.available() > 0, 10000);
        started.acquire();
        QVERIFY(madeOn != QThread::currentThreadId());
        autosave.discard();
        release.release();

        // A second write starts only once the first has been dealt with: nothing landed.
        clips.append(makeFirstClip(3000));
        autosave.editChanged();
        QTRY_VERIFY_WITH_TIMEOUT(started.available() > 0, 10000);
        started.acquire();
        QVERIFY(autosaveFiles().isEmpty());
        release.release();
        QTRY_COMPARE_WITH_TIMEOUT(autosaveFiles().size(), 1, 10000);
        QCOMPARE(autosavedClips(autosaveFiles().first()), clips);
    }

    void exportCountsAsSavedAndShowsTheFolder()
    {
        startWindow();
        loadAndWait(videoA);
        cutAt(2000);
        const QString output = dir.filePath(QStringLiteral("out/exported.mp4"));
        QVERIFY(QDir().mkpath(QFileInfo(output).absolutePath()));
        QSignalSpy finished(window->exporter(), &ExportController::exportFinished);
        QVERIFY(window->exportWithFFmpeg(output, 320, 240, 30, 0));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 120000);
        QCOMPARE(finished[0][0].toInt(), 0);
        QVERIFY(!window->hasUnsavedChanges());

        OpenedUrls opened;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &opened, "open");
        QPushButton *button = window->noticeBanner()->actionButton();
        QCOMPARE(button->text(), QStringLiteral("Show in Folder"));
        button->click();
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(opened.urls, QList<QUrl>({QUrl::fromLocalFile(QFileInfo(output).absolutePath())}));
    }

    // The real program, killed after two cuts, and started again.
    void crashedEditIsOfferedBack()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("xdotool is not installed (scripts/setup-deps installs it)");
        // Long enough to be still playing while the keys arrive, however slowly the program
        // starts: at its end the back end would report the end again on every seek.
        const QString longVideo = dir.filePath(QStringLiteral("first & long.mp4"));
        TestMedia::VideoOptions options;
        options.seconds = 300;
        options.fps = 5;
        options.width = 160;
        options.height = 120;
        QVERIFY(TestMedia::makeVideo(longVideo, options));
        QProcess program;
        program.setProgram(QStringLiteral(TRIMLET_BINARY));
        program.setArguments({longVideo});
        program.setStandardOutputFile(QProcess::nullDevice());
        program.setStandardErrorFile(QProcess::nullDevice());
        program.start();
        QVERIFY(program.waitForStarted());

        const auto xdotool = [](const QStringList &args) {
            QProcess tool;
            tool.start(QStringLiteral("xdotool"), args);
            tool.waitForFinished(10000);
            return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
        };
        // The window title names the video once it is loading (the program's hidden windows
        // take no focus).
        QString windowId;
        QTRY_VERIFY_WITH_TIMEOUT(
            !(windowId = xdotool({"search", "--onlyvisible", "--pid", QString::number(program.processId()),
                                      "--name", "Trimlet - first"}).section(QLatin1Char('\n'), 0, 0)).isEmpty(),
            60000);
        // A skip forward and a cut, until two cuts show in the autosave (keys that come
        // before the video is ready do nothing). A loaded machine may take its time.
        const auto autosavedParts = [] {
            const QStringList files = autosaveFiles();
            return files.size() == 1 ? int(autosavedClips(files.first()).size()) : 0;
        };
        const QDeadlineTimer deadline(240000);
        while (autosavedParts() < 3 && !deadline.hasExpired() && program.state() == QProcess::Running) {
            const int before = autosavedParts();
            xdotool({"windowfocus", "--sync", windowId});
            xdotool({"key", "Right", "ctrl+k"});
            (void)QTest::qWaitFor([&] { return autosavedParts() > before; }, 4000);
        }
        // Should the keys have gone astray, the failure says where the focus was.
        const QString focused = xdotool({"getwindowfocus", "getwindowname"});
        ::kill(pid_t(program.processId()), SIGKILL);
        QVERIFY(program.waitForFinished(120000));
        // What the killed program left is what comes back.
        const QStringList files = autosaveFiles();
        QVERIFY2(files.size() == 1, qPrintable(QStringLiteral("%1 autosaves; the focus was on \"%2\"")
                                                   .arg(files.size())
                                                   .arg(focused)));
        const ClipList edit = autosavedClips(files.first());
        QVERIFY2(edit.size() >= 3, "two cuts reached the autosave");

        prompts.askAnswers = {0};
        startWindow();
        QCOMPARE(prompts.questions.size(), 1);
        QCOMPARE(prompts.questions[0].title, QStringLiteral("Restore Edit"));
        QCOMPARE(prompts.questions[0].text,
                 QStringLiteral("Trimlet closed unexpectedly. Restore your edit of first & long.mp4?"));
        QCOMPARE(prompts.questions[0].buttons, QStringList({QStringLiteral("Restore"), QStringLiteral("Discard")}));
        QTRY_COMPARE_WITH_TIMEOUT(window->clips(), edit, 60000);
        QVERIFY(window->hasUnsavedChanges());
        // The restored edit now lives in this program's own copy; the old one is gone.
        QTRY_VERIFY_WITH_TIMEOUT(autosaveFiles() == QStringList({QFileInfo(window->editAutosave()->filePath()).fileName()}),
                                 60000);

        // Discard: left behind again, then thrown away.
        const QString kept = window->editAutosave()->filePath();
        QVERIFY(QFile::copy(kept, EditAutosave::folder() + QStringLiteral("/edit-0123456789abcdef.tlp")));
        window.reset();
        prompts = RecordingPrompts();
        prompts.askAnswers = {1};
        startWindow();
        QCOMPARE(prompts.questions.size(), 1);
        QVERIFY(autosaveFiles().isEmpty());
        QVERIFY(window->clips().isEmpty());
    }
};

TRIMLET_TEST_MAIN(TestSession)
#include "tst_session.moc"
