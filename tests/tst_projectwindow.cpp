#include "cliplist.h"
#include "fulldisk.h"
#include "mainwindow.h"
#include "projectfile.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "timeformat.h"
#include "testmedia.h"
#include "windowsteps.h"
#include "timelinewidget.h"
#include "videoplayer.h"

#include <QAbstractButton>
#include <QAction>
#include <QDialog>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QLabel>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#include <limits>
#include <sys/resource.h>

using Kind = UserPrompts::Kind;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    return file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

using Ranges = QList<QPair<qint64, qint64>>;

Clip rangeClip(qint64 start, qint64 end, const QString &name)
{
    Clip c;
    c.originalStart = start;
    c.originalEnd = end;
    c.startTime = start;
    c.endTime = end;
    c.name = name;
    c.color = firstClipColor();
    return c;
}

// Runs a save with the file size limit lowered, as a full disk would make it fail.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit lowered = previous;
        lowered.rlim_cur = bytes;
        active = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    }
    bool active = false;

private:
    rlimit previous{};
    void (*previousHandler)(int) = nullptr;
};

} // namespace

class TestProjectWindow : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;
    QString video;

    std::unique_ptr<MainWindow> window;
    RecordingPrompts prompts;

    QString projectPath(const QString &name) const { return dir.filePath(name); }

    void loadAndWait(const QString &path)
    {
        WindowSteps::loadAndPause(*window, path);
    }
    void seekAndWait(qint64 ms)
    {
        WindowSteps::seekAndWait(*window, ms);
    }
    // A loaded video cut in two: the edit a failed operation must leave alone.
    void loadAndCut()
    {
        loadAndWait(video);
        seekAndWait(2000);
        window->splitAtPlayhead();
        QCOMPARE(window->clips().size(), 2);
        prompts.clear();
    }
    QStringList listTexts() const
    {
        QStringList texts;
        for (int i = 0; i < window->clipListWidget()->count(); ++i)
            texts << window->clipListWidget()->item(i)->text();
        return texts;
    }
    QAction *fileAction(const QString &text) const
    {
        for (QAction *menuAction : window->menuBar()->actions()) {
            if (menuAction->text() != QLatin1String("File"))
                continue;
            for (QAction *action : menuAction->menu()->actions())
                if (action->text() == text)
                    return action;
        }
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        video = dir.filePath("source video.mp4");
        QVERIFY(TestMedia::makeVideo(video, {6, 320, 240, 25, true, {}}));
    }

    void init()
    {
        WindowSteps::openWindow(window, prompts);
        // Loads here replace edits on purpose; the question about unsaved edits is tested elsewhere.
        prompts.askDefault = 1;
    }

    void cleanup()
    {
        window.reset();
    }

    void menusAndTheirKeys()
    {
        QStringList menus;
        for (QAction *action : window->menuBar()->actions())
            menus << action->text();
        QCOMPARE(menus, QStringList({"File", "Edit", "Help"}));

        QStringList entries;
        QMenu *file = window->menuBar()->actions().first()->menu();
        for (QAction *action : file->actions())
            entries << (action->isSeparator() ? QStringLiteral("--") : action->text());
        QCOMPARE(entries, QStringList({"Open Video...", "Open Recent", "Open Project...", "Save Project",
                                       "Save Project...", "--", "Quit"}));
        QCOMPARE(fileAction("Open Video...")->shortcut(), QKeySequence("Ctrl+O"));
        QCOMPARE(fileAction("Open Project...")->shortcut(), QKeySequence("Ctrl+Shift+O"));
        QCOMPARE(fileAction("Save Project")->shortcut(), QKeySequence("Ctrl+S"));
        QCOMPARE(fileAction("Save Project...")->shortcut(), QKeySequence("Ctrl+Shift+S"));
        QCOMPARE(fileAction("Quit")->shortcut(), QKeySequence("Ctrl+Q"));

        // Every editing operation with the key that reaches it.
        QStringList edits;
        QMenu *edit = window->menuBar()->actions().at(1)->menu();
        for (QAction *action : edit->actions()) {
            if (!action->isSeparator())
                edits << action->text() + QLatin1Char(' ') + action->shortcut().toString();
        }
        QCOMPARE(edits, QStringList({"Undo Ctrl+Z", "Redo Ctrl+Y", "Cut Here Ctrl+K", "Delete Selected Del",
                                     "Mark Part Enter", "Set Selection Start Ctrl+[", "Set Selection End Ctrl+]",
                                     "Trim Start Q", "Trim End W", "Zoom In +", "Zoom Out -"}));

        fileAction("Open Video...")->trigger();
        fileAction("Open Project...")->trigger();
        QCOMPARE(prompts.fileRequests.size(), 2);
        QCOMPARE(prompts.fileRequests[0].caption, QStringLiteral("Open Video File"));
        QCOMPARE(prompts.fileRequests[1].caption, QStringLiteral("Load Project"));
    }

    void ctrlSSavesInPlaceOnceTheEditHasAProject()
    {
        loadAndCut();
        QTRY_VERIFY(window->isActiveWindow());
        const QString path = projectPath("in place.tlp");
        prompts.saveAnswers << path;
        QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(prompts.fileRequests.size(), 1);
        QCOMPARE(prompts.last().title, QStringLiteral("Project Saved"));

        // The next save goes to the same file without asking.
        window->handleClipClicked(1);
        window->deleteSelectedClips();
        QCOMPARE(window->clips().size(), 1);
        QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(prompts.fileRequests.size(), 1);
        QCOMPARE(prompts.last().title, QStringLiteral("Project Saved"));
        QCOMPARE(ProjectFile::read(readFile(path)).clips, window->clips());

        // A project opened later is where Ctrl+S writes.
        const QString other = projectPath("other.tlp");
        QVERIFY(QFile::copy(path, other));
        window->loadProjectFile(other);
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 15000);
        window->saveProjectInPlace();
        QCOMPARE(prompts.fileRequests.size(), 1);
        QCOMPARE(prompts.last().text, QStringLiteral("Project saved successfully to:\n") + other);
    }

    void projectKeysReachTheOperations()
    {
        QTRY_VERIFY(window->isActiveWindow());
        QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().title, QStringLiteral("No Video"));
        QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(prompts.fileRequests.size(), 1);
        QCOMPARE(prompts.fileRequests[0].caption, QStringLiteral("Load Project"));
        QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
        QTRY_VERIFY(!window->isVisible());
    }

    void saveNeedsAVideo()
    {
        window->saveProject();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Warning);
        QCOMPARE(prompts.last().title, QStringLiteral("No Video"));
        QCOMPARE(prompts.last().text, QStringLiteral("Please load a video before saving the project."));
        QVERIFY(prompts.fileRequests.isEmpty());
    }

    void saveWritesTheEditAsItStands()
    {
        loadAndCut();
        window->handleClipClicked(1);
        window->saveProject(); // cancelled
        QCOMPARE(prompts.fileRequests.size(), 1);
        QCOMPARE(prompts.fileRequests[0].caption, QStringLiteral("Save Project"));
        // Suggested beside the video, named after it.
        QCOMPARE(prompts.fileRequests[0].dir, QFileInfo(video).absolutePath() + "/" + QFileInfo(video).completeBaseName()
                                                  + ".tlp");
        QCOMPARE(prompts.fileRequests[0].filter, QStringLiteral("Trimlet Project (*.tlp);;All Files (*)"));
        QVERIFY(prompts.messages.isEmpty());

        // A typed name without an extension gets ".tlp", so the open dialog shows it.
        prompts.saveAnswers << projectPath("my edit");
        window->saveProject();
        const QString path = projectPath("my edit.tlp");
        QCOMPARE(prompts.last().kind, Kind::Information);
        QCOMPARE(prompts.last().title, QStringLiteral("Project Saved"));
        QCOMPARE(prompts.last().text, QStringLiteral("Project saved successfully to:\n") + path);
        QVERIFY(!QFileInfo::exists(projectPath("my edit")));

        const QByteArray bytes = readFile(path);
        const ProjectFile::ReadResult saved = ProjectFile::read(bytes);
        QVERIFY(saved.ok());
        QCOMPARE(saved.videoPath, video);
        QCOMPARE(saved.clips, window->clips());
        QCOMPARE(QJsonDocument::fromJson(bytes).object().value("duration").toInteger(),
                 window->currentVideoDuration());
    }

    void saveRefusesUnusableNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("problem");
        QTest::newRow("reserved") << "con.tlp"
                                  << "'CON' is a Windows reserved device name and cannot be used as a filename";
        QTest::newRow("colon") << "a:b.tlp" << "Filename contains invalid character: ':'";
        QTest::newRow("trailing dot") << "edit." << "Filename cannot end with a dot or space";
    }
    void saveRefusesUnusableNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, problem);
        loadAndCut();
        prompts.saveAnswers << projectPath(name);
        window->saveProject();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Critical);
        QCOMPARE(prompts.last().title, QStringLiteral("Invalid Filename"));
        QCOMPARE(prompts.last().text, QStringLiteral("Cannot save project with this filename:\n\n") + problem
                                          + QStringLiteral("\n\nPlease choose a different filename."));
        QVERIFY(!QFileInfo::exists(projectPath(name)));
    }

    // "Save Project As" never writes over the video being edited, however it is spelt, nor over a
    // file that is not a project (the file dialog's own question has been answered Yes by then).
    void saveNeverReplacesWhatIsNotAProject_data()
    {
        QTest::addColumn<QString>("name"); // in a folder of the test's own
        QTest::addColumn<QString>("text"); // "" when the save goes ahead

        const QString video = "TARGET is the video being edited; saving the project there would replace it."
                              "\n\nPlease choose a different name for the project.";
        const QString notProject = "TARGET is not a Trimlet project; saving the project there would replace it."
                                   "\n\nPlease choose a different name for the project.";
        QTest::newRow("the video") << "VIDEO" << video;
        QTest::newRow("the video through ..") << "VIDEO/../" + QFileInfo(this->video).fileName() << video;
        QTest::newRow("a hard link to the video") << "video hard link.mp4" << video;
        QTest::newRow("a text") << "notes.txt" << notProject;
        QTest::newRow("JSON that is no project") << "settings.json" << notProject;
        QTest::newRow("a pipe") << "pipe.tlp" << "TARGET is a pipe, not a file; choose a file to save to.";
        QTest::newRow("a project") << "older.tlp" << "";
        QTest::newRow("an empty file") << "empty.tlp" << "";
    }
    void saveNeverReplacesWhatIsNotAProject()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QTemporaryDir target;
        QVERIFY(target.isValid());
        QCOMPARE(::link(QFile::encodeName(video).constData(),
                        QFile::encodeName(target.filePath("video hard link.mp4")).constData()),
                 0);
        QVERIFY(writeFile(target.filePath("notes.txt"), "shopping: milk\n"));
        QVERIFY(writeFile(target.filePath("settings.json"), "{\"volume\": 3}"));
        QVERIFY(writeFile(target.filePath("older.tlp"), ProjectFile::write(video, 6000, {rangeClip(0, 10, "Part 1")})));
        QVERIFY(writeFile(target.filePath("empty.tlp"), QByteArray()));
        QCOMPARE(::mkfifo(QFile::encodeName(target.filePath("pipe.tlp")).constData(), 0600), 0);
        QString path = name == "VIDEO" ? video
            : name.startsWith("VIDEO/") ? QFileInfo(video).absolutePath() + "/elsewhere" + name.mid(5)
                                        : target.filePath(name);
        if (name.startsWith("VIDEO/"))
            QVERIFY(QDir().mkpath(QFileInfo(video).absolutePath() + "/elsewhere"));
        text.replace("TARGET", QDir::toNativeSeparators(path));
        const bool pipe = name.startsWith("pipe"); // reading one would wait for a writer
        const QByteArray before = pipe ? QByteArray() : readFile(path);
        const QByteArray videoBefore = readFile(video);

        loadAndCut();
        prompts.saveAnswers << path;
        window->saveProject();
        QCOMPARE(prompts.messages.size(), 1);
        if (text.isEmpty()) {
            QCOMPARE(prompts.last().title, QStringLiteral("Project Saved"));
            QVERIFY(ProjectFile::read(readFile(path)).ok());
            QCOMPARE(ProjectFile::read(readFile(path)).clips, window->clips());
            return;
        }
        QCOMPARE(prompts.last().kind, Kind::Critical);
        QCOMPARE(prompts.last().title, QStringLiteral("Cannot Save Project"));
        QCOMPARE(prompts.last().text, text);
        QCOMPARE(readFile(video), videoBefore);
        if (!pipe)
            QCOMPARE(readFile(path), before);
        QVERIFY(!QFileInfo(target.filePath("pipe.tlp")).isFile());
        // Still unsaved: closing would ask.
        QVERIFY(window->hasUnsavedChanges());
    }

    void failedSaveSaysSoAndLeavesTheOldFile_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("folder missing") << "missing folder";
        QTest::newRow("a folder has the name") << "folder";
        QTest::newRow("write cut short") << "file size limit";
        // Ctrl+S onto the project opened, on a disk that has filled up since.
        QTest::newRow("full disk") << "full disk";
    }
    void failedSaveSaysSoAndLeavesTheOldFile()
    {
        QFETCH(QString, how);
        QTemporaryDir target;
        QVERIFY(target.isValid());
        std::unique_ptr<FullDisk> disk;
        QString folder = target.path();
        if (how == "full disk") {
            folder = target.filePath("disk");
            disk = std::make_unique<FullDisk>(folder);
            if (!disk->mounted())
                QSKIP(qPrintable(disk->reason()));
        }
        // Enough clips that the document is far larger than the size limit below; few enough
        // on the full disk that all of it waits in the file's buffer until the end.
        ClipList many;
        for (int i = 0; i < (disk ? 3 : 60); ++i)
            many << rangeClip(i * 100, i * 100 + 100, QStringLiteral("Part %1").arg(i + 1));
        const QString source = QDir(folder).filePath("many.tlp");
        QVERIFY(writeFile(source, ProjectFile::write(video, 6000, many)));
        prompts.openAnswers << source;
        window->loadProject();
        QCOMPARE(window->clips().size(), many.size());
        // A change the failed save must leave unsaved.
        window->handleClipClicked(0);
        window->deleteSelectedClips();
        QCOMPARE(window->clips().size(), many.size() - 1);
        QVERIFY(window->hasUnsavedChanges());
        prompts.clear();

        QString path = QDir(folder).filePath("project.tlp");
        QByteArray old = "{\"version\": \"1.0\", \"videoPath\": \"/old.mp4\", \"clips\": []}";
        if (how == "missing folder")
            path = target.filePath("not there/project.tlp");
        else if (how == "folder")
            QVERIFY(QDir(target.path()).mkdir("project.tlp"));
        else if (disk)
            old = readFile(path = source);
        else
            QVERIFY(writeFile(path, old));
        if (disk)
            QVERIFY(disk->fill());
        const QStringList entriesBefore = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

        {
            std::unique_ptr<FileSizeLimit> limit;
            if (how == "file size limit") {
                limit = std::make_unique<FileSizeLimit>(4096);
                QVERIFY(limit->active);
            }
            if (disk) {
                QTRY_VERIFY(window->isActiveWindow());
                QTest::keyClick(window.get(), Qt::Key_S, Qt::ControlModifier);
            } else {
                prompts.saveAnswers << path;
                window->saveProject();
            }
        }
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Critical);
        QCOMPARE(prompts.last().title, QStringLiteral("Cannot Save Project"));
        const QString prefix = QStringLiteral("Failed to save project: ");
        QVERIFY2(prompts.last().text.startsWith(prefix) && prompts.last().text.size() > prefix.size(),
                 qPrintable(prompts.last().text));
        QVERIFY(window->hasUnsavedChanges());
        // Nothing half-written, no temporary file left beside it.
        if (how == "file size limit" || how == "full disk")
            QCOMPARE(readFile(path), old);
        if (disk)
            QCOMPARE(prompts.last().text, prefix + QStringLiteral("No space left on device"));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), entriesBefore);
    }

    void loadRefusals_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<QString>("lastText");
        const QStringList error{"Error"};
        QTest::newRow("missing file") << "absent.tlp" << QByteArray() << error
                                      << "Failed to load project: No such file or directory";
        QTest::newRow("not JSON") << "garbage.tlp" << QByteArray("\x89PNG\r\n\x1a\n garbage", 16) << error
                                  << "Invalid project file format.";
        QTest::newRow("truncated") << "truncated.tlp"
                                   << ProjectFile::write("/v.mp4", 100, {makeFirstClip(100)}).left(60) << error
                                   << "Invalid project file format.";
        QTest::newRow("array") << "array.tlp" << QByteArray("[]") << error << "Invalid project file format.";
        QTest::newRow("empty file") << "empty.tlp" << QByteArray("") << error << "Invalid project file format.";
        QTest::newRow("no video path") << "nopath.tlp" << QByteArray("{\"version\": \"1.0\", \"clips\": []}")
                                       << error << "Project file missing video path.";
        QTest::newRow("newer and no video path")
            << "newer.tlp" << QByteArray("{\"version\": \"2.0\", \"videoPath\": \"\"}")
            << QStringList{"Version Mismatch", "Error"} << "Project file missing video path.";
    }
    void loadRefusals()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, titles);
        QFETCH(QString, lastText);
        loadAndCut();
        const ClipList before = window->clips();
        const QString path = projectPath(name);
        if (name != "absent.tlp")
            QVERIFY(writeFile(path, bytes));

        prompts.openAnswers << path;
        window->loadProject();
        QCOMPARE(prompts.fileRequests.size(), 1);
        QCOMPARE(prompts.fileRequests[0].caption, QStringLiteral("Load Project"));
        QCOMPARE(prompts.fileRequests[0].filter, QStringLiteral("Trimlet Project (*.tlp);;All Files (*)"));
        QStringList seen;
        for (const RecordingPrompts::Message &m : prompts.messages)
            seen << m.title;
        QCOMPARE(seen, titles);
        QCOMPARE(prompts.last().kind, Kind::Critical);
        QCOMPARE(prompts.last().text, lastText);
        QCOMPARE(window->currentVideo(), video);
        QCOMPARE(window->clips(), before);
    }

    void loadCancelledChangesNothing()
    {
        loadAndCut();
        const ClipList before = window->clips();
        window->loadProject();
        QCOMPARE(prompts.fileRequests.size(), 1);
        QVERIFY(prompts.messages.isEmpty());
        QCOMPARE(window->clips(), before);
    }

    void loadReplacesTheEditAsStored()
    {
        loadAndCut();
        const int undoBefore = window->history().undoCount();
        QVERIFY(undoBefore > 0);

        Clip titled = rangeClip(4000, 5500, QStringLiteral("Ending"));
        titled.showTitle = true;
        titled.titleText = QStringLiteral("The End");
        titled.titleFontSize = 64;
        titled.isMarked = true;
        titled.startTime = 777; // stored times stay as they are
        Clip effects = rangeClip(500, 1500, QStringLiteral("Grey start"));
        effects.grayscale = true;
        effects.blurIntensity = 20;
        effects.fadeInDuration = 1000;
        const ClipList stored{titled, effects, rangeClip(2000, 3000, QStringLiteral("Middle"))};
        const QString path = projectPath("stored.tlp");
        QVERIFY(writeFile(path, ProjectFile::write(video, 6000, stored)));

        prompts.openAnswers << path;
        window->loadProject();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Information);
        QCOMPARE(prompts.last().title, QStringLiteral("Project Loaded"));
        QCOMPARE(prompts.last().text,
                 QStringLiteral("Project loaded successfully from:\n%1\n\nClips loaded: 3").arg(path));

        ClipList expected = stored;
        for (Clip &c : expected)
            c.hasEffects = computeHasEffects(c);
        QVERIFY(expected[0].hasEffects && expected[1].hasEffects && !expected[2].hasEffects);
        QCOMPARE(window->clips(), expected);
        QCOMPARE(window->timeline()->clips(), expected);
        QCOMPARE(listTexts().size(), 3);
        QVERIFY(listTexts().first().startsWith("Ending (00:00 - "));
        // The edited length follows the loaded list, as after an undo.
        QCOMPARE(window->currentEditedDuration(), qMax<qint64>(0, expected.last().endTime));
        QCOMPARE(window->timeline()->duration(), window->currentEditedDuration());
        QVERIFY(window->findChild<QLabel *>("timeLabel")->text().endsWith(
            " / " + formatTime(window->currentEditedDuration())));
        // The load neither takes a snapshot nor clears the history of the same video.
        QCOMPARE(window->history().undoCount(), undoBefore);

        // The player's duration report does not replace a loaded list.
        QTRY_VERIFY_WITH_TIMEOUT(window->currentVideoDuration() > 0, 15000);
        QCOMPARE(window->clips(), expected);
    }

    void newerVersionWarnsThenLoads()
    {
        QJsonObject root = QJsonDocument::fromJson(
            ProjectFile::write(video, 6000, {rangeClip(0, 3000, QStringLiteral("A"))})).object();
        root.insert("version", "2.0");
        root.insert("tracks", QJsonArray{"music.wav"});
        QJsonArray parts = root.value("clips").toArray();
        QJsonObject part = parts.at(0).toObject();
        part.insert("speed", 1.5);
        parts.replace(0, part);
        root.insert("clips", parts);
        const QString path = projectPath("newer.tlp");
        QVERIFY(writeFile(path, QJsonDocument(root).toJson()));

        window->loadProjectFile(path);
        QCOMPARE(prompts.messages.size(), 2);
        QCOMPARE(prompts.messages[0].kind, Kind::Warning);
        QCOMPARE(prompts.messages[0].title, QStringLiteral("Version Mismatch"));
        QCOMPARE(prompts.messages[0].text,
                 QStringLiteral("This project was saved with version 2.0. Current version is 1.0. Loading may fail."));
        QCOMPARE(prompts.messages[1].title, QStringLiteral("Project Loaded"));
        QCOMPARE(window->clips().size(), 1);
        QCOMPARE(window->currentVideo(), video);

        // Saved again, it keeps what this version does not know; a new edit starts without it.
        window->saveProjectInPlace();
        QCOMPARE(prompts.last().title, QStringLiteral("Project Saved"));
        const QJsonObject saved = QJsonDocument::fromJson(readFile(path)).object();
        QCOMPARE(saved.value("tracks"), root.value("tracks"));
        QCOMPARE(saved.value("clips").toArray().at(0).toObject().value("speed"), QJsonValue(1.5));
        window->loadVideo(video);
        prompts.saveAnswers << projectPath("fresh.tlp");
        window->saveProject();
        QVERIFY(!QJsonDocument::fromJson(readFile(projectPath("fresh.tlp"))).object().contains("tracks"));
    }

    void emptyClipListLoadsTheVideoOnly()
    {
        const QString path = projectPath("empty clips.tlp");
        QVERIFY(writeFile(path, ProjectFile::write(video, 6000, {})));
        window->loadProjectFile(path);
        QCOMPARE(prompts.last().title, QStringLiteral("Project Loaded"));
        QVERIFY(prompts.last().text.endsWith("\n\nClips loaded: 0"));
        QCOMPARE(window->currentVideo(), video);
    }

    void missingVideoCanBeLocated_data()
    {
        QTest::addColumn<bool>("located");
        QTest::newRow("located") << true;
        QTest::newRow("cancelled") << false;
    }
    void missingVideoCanBeLocated()
    {
        QFETCH(bool, located);
        loadAndCut();
        const ClipList before = window->clips();
        const QString gone = dir.filePath("moved away/source video.mp4");
        const QString path = projectPath("moved.tlp");
        const QByteArray bytes = ProjectFile::write(gone, 6000, {rangeClip(1000, 4000, QStringLiteral("Kept"))});
        QVERIFY(writeFile(path, bytes));

        prompts.openAnswers << path << (located ? video : QString());
        window->loadProject();
        QCOMPARE(prompts.messages.first().kind, Kind::Warning);
        QCOMPARE(prompts.messages.first().title, QStringLiteral("Video Not Found"));
        QCOMPARE(prompts.messages.first().text,
                 QStringLiteral("The video file was not found:\n%1\n\nPlease locate the video file manually.").arg(gone));
        QCOMPARE(prompts.fileRequests.size(), 2);
        QCOMPARE(prompts.fileRequests[1].caption, QStringLiteral("Locate Video File"));
        QCOMPARE(prompts.fileRequests[1].dir, dir.filePath("moved away"));
        QCOMPARE(prompts.fileRequests[1].filter, ProjectFile::videoFilter());

        if (located) {
            QCOMPARE(prompts.messages.size(), 2);
            QCOMPARE(prompts.last().title, QStringLiteral("Project Loaded"));
            QCOMPARE(window->currentVideo(), video);
            QCOMPARE(window->clips().size(), 1);
            QCOMPARE(window->clips().first().name, QStringLiteral("Kept"));
        } else {
            QCOMPARE(prompts.messages.size(), 1);
            QCOMPARE(window->clips(), before);
        }
        QCOMPARE(window->currentVideo(), video);
        QCOMPARE(readFile(path), bytes); // the project is not rewritten
    }

    void relativeVideoPathIsFoundBesideTheProject()
    {
        QTemporaryDir elsewhere;
        QVERIFY(elsewhere.isValid());
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(elsewhere.path()));
        const QString path = projectPath("relative.tlp");
        QVERIFY(writeFile(path, ProjectFile::write(QFileInfo(video).fileName(), 6000,
                                                   {rangeClip(0, 2000, QStringLiteral("A"))})));
        window->loadProjectFile(path);
        QDir::setCurrent(previous);
        QCOMPARE(prompts.last().title, QStringLiteral("Project Loaded"));
        QCOMPARE(window->currentVideo(), video);
        QCOMPARE(window->clips().size(), 1);
    }

    void openFileTellsProjectsFromVideos()
    {
        const QString path = projectPath("Upper Case.TLP");
        QVERIFY(writeFile(path, ProjectFile::write(video, 6000, {rangeClip(0, 1000, "One"), rangeClip(2000, 3000, "Two")})));
        window->openFile(path);
        QCOMPARE(prompts.last().title, QStringLiteral("Project Loaded"));
        QCOMPARE(window->clips().size(), 2);
        prompts.clear();
        window->openFile(video);
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 15000);
        QCOMPARE(window->clips().first().name, QStringLiteral("Part 1"));
    }

    // An export takes the loaded ranges fitted to the video: what lies outside it is cut
    // off, and parts left empty are dropped.
    void uncheckedRangesReachTheExportFitted_data()
    {
        QTest::addColumn<Ranges>("ranges");
        QTest::addColumn<QString>("title");
        QTest::addColumn<double>("seconds");
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("fitted")
            << Ranges{{4000, 1000}, {-5000, -1000}, {2000, 900000000}, {min, max}, {3000, 3000}}
            << "Export Complete" << 10.0;
        QTest::newRow("nothing inside the video")
            << Ranges{{4000, 1000}, {-5000, -1000}, {7000, 9000}, {max, min}}
            << "Nothing to Export" << 0.0;
    }
    void uncheckedRangesReachTheExportFitted()
    {
        QFETCH(Ranges, ranges);
        QFETCH(QString, title);
        QFETCH(double, seconds);
        ClipList clips;
        for (const auto &range : ranges)
            clips << rangeClip(range.first, range.second, QStringLiteral("x"));
        const QString path = projectPath("to export.tlp");
        QVERIFY(writeFile(path, ProjectFile::write(video, 6000, clips)));
        window->loadProjectFile(path);
        QCOMPARE(window->clips().size(), clips.size());
        QTRY_VERIFY_WITH_TIMEOUT(window->currentVideoDuration() > 0, 15000);

        QTemporaryDir out;
        QVERIFY(out.isValid());
        const QString output = out.filePath("fitted.mp4");
        prompts.dialogHandler = [output](QDialog &dialog) {
            dialog.findChild<QLineEdit *>()->setText(output);
            for (QAbstractButton *b : dialog.findChildren<QAbstractButton *>())
                if (b->text() == QLatin1String("Save Video"))
                    b->click();
            return dialog.result();
        };
        prompts.clear();
        window->exportVideo();
        QTRY_VERIFY_WITH_TIMEOUT(!prompts.messages.isEmpty()
                                     && prompts.last().title != QLatin1String("Processing..."),
                                 180000);
        prompts.dialogHandler = nullptr;
        QCOMPARE(prompts.last().title, title);
        if (seconds == 0) {
            QVERIFY(!QFileInfo::exists(output));
            return;
        }
        const double exported = TestMedia::probeDuration(output);
        QVERIFY2(qAbs(exported - seconds) < 0.2, qPrintable(QString::number(exported)));
    }

    // Nothing in a project file is checked against the video, so every part of the window
    // that reads the list must cope with whatever it holds.
    void uncheckedClipsCopeEverywhere()
    {
        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QJsonArray clips;
        auto add = [&clips](qint64 start, qint64 end, qint64 timelineStart, qint64 timelineEnd, bool marked) {
            clips.append(QJsonObject{{"originalStart", start}, {"originalEnd", end}, {"startTime", timelineStart},
                                     {"endTime", timelineEnd}, {"isMarked", marked}, {"name", "x"}});
        };
        add(4000, 1000, 0, 3000, false);     // reversed
        add(-5000, -1000, -4000, 0, true);   // before the video
        add(2000, 900000000, 3000, max, false); // far beyond the end
        add(min, max, min, max, false);      // everything
        add(max - 10, max, max, min, true);
        add(3000, 3000, 10, 10, false);      // empty
        for (int i = 0; i < 3000; ++i)
            add((i * 7919) % 6000, (i * 7919) % 6000 + 5, i * 5, i * 5 + 5, i % 3 == 0);
        clips.append(QJsonObject{{"originalStart", "1000"}, {"originalEnd", 1e300}, {"titleFontSize", -1},
                                 {"rotation", 12345}, {"blurIntensity", 1e9}, {"color", QJsonArray{1, 2}}});
        const QJsonObject root{{"version", "1.0"}, {"videoPath", video}, {"duration", -1}, {"clips", clips}};
        const QString path = projectPath("hostile.tlp");
        QVERIFY(writeFile(path, QJsonDocument(root).toJson()));

        window->loadProjectFile(path);
        QCOMPARE(prompts.last().title, QStringLiteral("Project Loaded"));
        const int count = int(clips.size());
        QCOMPARE(window->clips().size(), count);
        QCOMPARE(window->clipListWidget()->count(), count);
        QTRY_VERIFY_WITH_TIMEOUT(window->currentVideoDuration() > 0, 15000);
        const qint64 duration = window->currentVideoDuration();
        auto positionIsSane = [&]() {
            const qint64 p = window->player()->position();
            return p >= 0 && p <= duration + 100;
        };

        // Playback with the boundary checks running over the list for a few seconds.
        if (!window->player()->isPlaying())
            window->playPause();
        QTest::qWait(2500);
        QVERIFY(positionIsSane());
        if (window->player()->isPlaying())
            window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(!window->player()->isPlaying(), 5000);

        window->activateWindow();
        for (Qt::Key key : {Qt::Key_Right, Qt::Key_Right, Qt::Key_Left, Qt::Key_Left, Qt::Key_Left}) {
            QTest::keyClick(window.get(), key);
            QVERIFY(positionIsSane());
        }
        window->frameByFrame(true);
        window->frameByFrame(false);
        for (int zoom = 0; zoom < 3; ++zoom)
            window->zoomTimelineIn();
        TimelineWidget *timeline = window->timeline();
        for (int x : {5, timeline->width() / 3, timeline->width() / 2, timeline->width() - 5})
            QTest::mouseClick(timeline, Qt::LeftButton, Qt::NoModifier, QPoint(x, timeline->height() / 2));
        QVERIFY(!window->grab().isNull());
        QTRY_VERIFY_WITH_TIMEOUT(positionIsSane(), 5000);

        // Editing on top of the unchecked list.
        seekAndWait(2500);
        window->splitAtPlayhead();
        window->handleClipClicked(2);
        window->trimClipStart();
        window->trimClipEnd();
        window->setSelectionStart();
        seekAndWait(3500);
        window->setSelectionEnd();
        window->markClip();
        window->deleteMarkedClips();
        window->deleteSelectedClips();
        QCOMPARE(window->clipListWidget()->count(), window->clips().size());
        while (window->history().undoCount() > 0)
            window->undoLastAction();
        QCOMPARE(window->clips().size(), count);
        QVERIFY(!window->grab().isNull());

        // And it saves and loads back as it was.
        prompts.saveAnswers << projectPath("hostile again.tlp");
        window->saveProject();
        QCOMPARE(prompts.last().title, QStringLiteral("Project Saved"));
        ClipList before = window->clips();
        // A clip without a valid colour is written black.
        for (Clip &c : before)
            if (!c.color.isValid())
                c.color = QColor(0, 0, 0);
        window->loadProjectFile(projectPath("hostile again.tlp"));
        QCOMPARE(window->clips(), before);
    }
};

TRIMLET_TEST_MAIN(TestProjectWindow)
#include "tst_projectwindow.moc"
