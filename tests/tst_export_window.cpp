#include "exportcontroller.h"
#include "exportdialog.h"
#include "exportrunner.h"
#include "findwidgets.h"
#include "hardwareencoderdetector.h"
#include "mainwindow.h"
#include "projectfile.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "testmedia.h"
#include "windowsteps.h"
#include "videoplayer.h"

#include <QAbstractButton>
#include <QCryptographicHash>
#include <QDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QComboBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using Kind = UserPrompts::Kind;

namespace {

QAbstractButton *buttonIn(QWidget *parent, const QString &text)
{
    return FindWidgets::byText<QAbstractButton>(*parent, text);
}

QByteArray hashOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256)
                                       : QByteArray();
}

QJsonArray streamsOf(const QString &path)
{
    return QJsonDocument::fromJson(TestMedia::runFFprobe({"-show_entries",
                                                          "stream=codec_type,codec_name,width,height,duration",
                                                          "-of", "json", path})
                                       .toUtf8())
        .object()
        .value("streams")
        .toArray();
}

} // namespace

class TestExportWindow : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString video; // 8 s, 320x240, with audio
    std::unique_ptr<MainWindow> window;
    RecordingPrompts prompts;

    void loadAndWait(const QString &path)
    {
        WindowSteps::loadAndPause(*window, path);
    }
    void seekAndWait(qint64 ms)
    {
        WindowSteps::seekAndWait(*window, ms);
    }
    // The dialog answered as a user would: choices clicked by their texts, then "Save Video".
    void answerDialog(const QString &path, const QStringList &choices, const QString &format = QString())
    {
        prompts.dialogHandler = [path, choices, format](QDialog &dialog) {
            for (const QString &choice : choices)
                buttonIn(&dialog, choice)->click();
            if (!format.isEmpty()) {
                for (QComboBox *combo : dialog.findChildren<QComboBox *>())
                    if (combo->findText(format) >= 0)
                        combo->setCurrentText(format);
            }
            if (!path.isEmpty())
                dialog.findChild<QLineEdit *>()->setText(path);
            buttonIn(&dialog, "Save Video")->click();
            return dialog.result();
        };
    }
    bool waitForMessage(const QString &title) { return waitForMessageWithin(title, 120000); }
    // What was said, for a failure's report.
    QString allSaid() const
    {
        QStringList all;
        for (const auto &m : prompts.messages)
            all << m.title + ": " + m.text;
        return all.join("\n");
    }
    bool waitForMessageWithin(const QString &title, int ms)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            for (const auto &m : prompts.messages)
                if (m.title == title)
                    return true;
            QTest::qWait(50);
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        video = dir.filePath("holiday.mp4");
        QVERIFY(TestMedia::makeVideo(video, {8, 320, 240, 25, true, {}}));
    }

    void init()
    {
        WindowSteps::openWindow(window, prompts);
    }

    void cleanup() { window.reset(); }

    // The status line names hardware only when its encoder can really encode.
    void statusNamesAUsableEncoder()
    {
        QTRY_VERIFY_WITH_TIMEOUT(window->encoders(), 30000);
        const HardwareEncoderDetector *detector = window->encoders();
        QVERIFY(detector->isDetected());
        for (const QString &name : HardwareEncoderDetector::hardwareH264Encoders())
            if (detector->hasEncoder(name))
                QVERIFY2(HardwareEncoderDetector::testEncoder("ffmpeg", name), qPrintable(name));
        loadAndWait(video);
        const QString status = window->findChild<QLabel *>("statusLabel")->text();
        if (detector->getBestH264Encoder() == QLatin1String("libx264"))
            QCOMPARE(status, QStringLiteral("Ready | CPU"));
        else
            QVERIFY(status.startsWith("Ready | GPU: "));
    }

    void noVideoNoDialog()
    {
        window->exportVideo();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Information);
        QCOMPARE(prompts.last().title, QStringLiteral("No Video"));
        QCOMPARE(prompts.last().text, QStringLiteral("Please load a video first.\n\nDrag a video file here to get started!"));
        QCOMPARE(prompts.dialogsRun, 0);
    }

    void ctrlEOpensTheDialog()
    {
        loadAndWait(video);
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        QString title;
        prompts.dialogHandler = [&title](QDialog &dialog) {
            title = dialog.windowTitle();
            return int(QDialog::Rejected);
        };
        QTest::keyClick(window.get(), Qt::Key_E, Qt::ControlModifier);
        QCOMPARE(prompts.dialogsRun, 1);
        QCOMPARE(title, QStringLiteral("Save Your Video"));
        QVERIFY(prompts.messages.isEmpty());
        QVERIFY(!window->exporter()->runner()->process());
    }

    // Load, cut twice, delete the middle part, "Save Video" at medium quality.
    void cutDeleteAndSave()
    {
        loadAndWait(video);
        seekAndWait(2000);
        window->splitAtPlayhead();
        seekAndWait(5000);
        window->splitAtPlayhead();
        QCOMPARE(window->clips().size(), 3);
        window->handleClipClicked(1);
        buttonIn(window.get(), "Delete Selected")->click();
        QCOMPARE(prompts.last().title, QStringLiteral("Parts Deleted"));
        QCOMPARE(window->clips().size(), 2);
        const qint64 kept = window->currentEditedDuration();

        const QString output = dir.filePath("holiday_cut.mp4");
        answerDialog(output, {"Medium Quality (720p)"});
        prompts.clear();
        QTest::mouseClick(buttonIn(window.get(), "Save Video"), Qt::LeftButton);
        QCOMPARE(prompts.dialogsRun, 1);
        QVERIFY(waitForMessage("Export Complete"));
        QCOMPARE(prompts.last().kind, Kind::Information);
        QCOMPARE(prompts.last().text, "Video exported successfully!\n\nSaved to:\n" + output);
        QCOMPARE(window->currentExportOutputPath(), output);

        const QJsonArray streams = streamsOf(output);
        QCOMPARE(streams.size(), 2);
        QJsonObject videoStream;
        bool audio = false;
        for (const QJsonValue &s : streams) {
            if (s.toObject().value("codec_type") == "video")
                videoStream = s.toObject();
            audio |= s.toObject().value("codec_type") == "audio";
        }
        QVERIFY(audio);
        QCOMPARE(videoStream.value("codec_name").toString(), QStringLiteral("h264"));
        // Medium's 1280x720 is a limit: the 320x240 source keeps its own size.
        QCOMPARE(videoStream.value("width").toInt(), 320);
        QCOMPARE(videoStream.value("height").toInt(), 240);
        const double seconds = videoStream.value("duration").toString().toDouble();
        QVERIFY2(qAbs(seconds - kept / 1000.0) <= 2 * 0.04 + 1e-6, qPrintable(QString::number(seconds)));
        QVERIFY(!window->exporter()->runner()->process());
        QVERIFY(!window->exporter()->runner()->progressDialog());
    }

    void originalQualityThroughTheWindow()
    {
        // One keyframe a second, so the middle of each kept part is copied.
        const QString source = dir.filePath("gop1.mp4");
        QVERIFY(TestMedia::makeVideo(source, {12, 320, 240, 25, true,
                                              {"-g", "25", "-keyint_min", "25", "-sc_threshold", "0"}}));
        loadAndWait(source);
        seekAndWait(3020);
        window->splitAtPlayhead();
        seekAndWait(7530);
        window->splitAtPlayhead();
        window->handleClipClicked(1);
        buttonIn(window.get(), "Delete Selected")->click();
        QCOMPARE(window->clips().size(), 2);

        const QString output = dir.filePath("gop1_original.mp4");
        QString note;
        prompts.dialogHandler = [&note, output](QDialog &dialog) -> int {
            buttonIn(&dialog, "Original Quality (no re-encode)")->click();
            // The source was read in the background when it was loaded.
            const bool read = QTest::qWaitFor(
                [&dialog] { return !static_cast<ExportDialog &>(dialog).originalQualityNote().endsWith("..."); }, 20000);
            if (!read)
                return int(QDialog::Rejected);
            note = static_cast<ExportDialog &>(dialog).originalQualityNote();
            dialog.findChild<QLineEdit *>()->setText(output);
            buttonIn(&dialog, "Save Video")->click();
            return dialog.result();
        };
        prompts.clear();
        QTest::mouseClick(buttonIn(window.get(), "Save Video"), Qt::LeftButton);
        QVERIFY(note.contains("copied unchanged"));
        QVERIFY(waitForMessage("Export Complete"));
        QVERIFY(prompts.last().text.startsWith("Video exported successfully!\n\nSaved to:\n" + output));
        QVERIFY(prompts.last().text.contains("copied unchanged"));

        // Exactly the frames of the kept parts: those whose time lies in [start, end).
        int ideal = 0;
        for (const Clip &clip : window->clips()) {
            for (int k = 0; k < 300; ++k)
                ideal += clip.originalStart <= k * 40 && k * 40 < clip.originalEnd;
        }
        const QJsonObject probed = QJsonDocument::fromJson(
                                       TestMedia::runFFprobe({"-count_frames", "-select_streams", "v", "-show_entries",
                                                              "stream=nb_read_frames,width,height", "-of", "json", output})
                                           .toUtf8())
                                       .object()
                                       .value("streams")
                                       .toArray()
                                       .at(0)
                                       .toObject();
        QCOMPARE(probed.value("nb_read_frames").toString().toInt(), ideal);
        QCOMPARE(probed.value("width").toInt(), 320);
        QString errors;
        QVERIFY(TestMedia::runFFmpeg({"-i", output, "-f", "null", "-"}, &errors));
        QCOMPARE(errors.trimmed(), QString());
    }

    void matroskaAndWebmCutAndExport_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("codecs");
        QTest::newRow("MKV H.264/Opus") << "clip.mkv" << QStringList{"-c:v", "libx264", "-c:a", "libopus"};
        QTest::newRow("WebM VP9/Opus") << "clip.webm"
                                       << QStringList{"-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used",
                                                      "8", "-b:v", "300k", "-c:a", "libopus"};
    }

    // The media back end reports no duration for these containers: the file's own is used.
    void matroskaAndWebmCutAndExport()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, codecs);
        const QString source = dir.filePath(name);
        QVERIFY(TestMedia::runFFmpeg(QStringList{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=6", "-f", "lavfi", "-i",
                                                 "sine=frequency=440:sample_rate=48000:d=6"}
                                     + codecs + QStringList{source}));
        window->loadVideo(source);
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 20000);
        QVERIFY2(qAbs(window->clips().first().originalEnd - 6000) <= 50,
                 qPrintable(QString::number(window->clips().first().originalEnd)));
        QTRY_VERIFY_WITH_TIMEOUT(window->player()->isPlaying(), 15000);
        window->playPause();
        QTRY_VERIFY_WITH_TIMEOUT(!window->player()->isPlaying(), 5000);
        seekAndWait(3020);
        window->splitAtPlayhead();
        QCOMPARE(window->clips().size(), 2);
        window->handleClipClicked(0);
        buttonIn(window.get(), "Delete Selected")->click();
        QCOMPARE(window->clips().size(), 1);

        const QString output = dir.filePath(QFileInfo(name).completeBaseName() + "_" + QFileInfo(name).suffix() + ".mp4");
        answerDialog(output, {"Medium Quality (720p)"});
        prompts.clear();
        QTest::mouseClick(buttonIn(window.get(), "Save Video"), Qt::LeftButton);
        QVERIFY(waitForMessage("Export Complete"));
        QVERIFY(qAbs(TestMedia::probeDuration(output) - (6.0 - 3.04)) <= 0.05);
    }

    void audioOnlyThroughTheDialog()
    {
        loadAndWait(video);
        seekAndWait(3000);
        window->splitAtPlayhead();
        answerDialog(QString(), {"Audio Only"}, "FLAC");
        prompts.clear();
        window->exportVideo();
        QVERIFY(waitForMessage("Export Complete"));
        const QString output = dir.filePath("holiday_edited.flac");
        QCOMPARE(window->currentExportOutputPath(), output);
        QCOMPARE(prompts.last().text, "Audio exported successfully!\n\nSaved to:\n" + output);
        const QJsonArray streams = streamsOf(output);
        QCOMPARE(streams.size(), 1);
        QCOMPARE(streams.first().toObject().value("codec_name").toString(), QStringLiteral("flac"));
    }

    // A file cut short (its pictures stop at about 5 of the 10 s its header states) is said to
    // be damaged when it opens, and again when its export ends.
    void damagedVideoIsSaid_data()
    {
        QTest::addColumn<QString>("quality");
        QTest::newRow("medium") << "Medium Quality (720p)";
        QTest::newRow("original") << "Original Quality (no re-encode)";
    }
    void damagedVideoIsSaid()
    {
        QFETCH(QString, quality);
        const QString cut = dir.filePath("cut short.mp4");
        if (!QFile::exists(cut)) {
            QVERIFY(TestMedia::makeVideo(cut, {10, 320, 240, 30, true, {"-movflags", "+faststart"}}));
            QFile file(cut);
            QVERIFY(file.resize(file.size() / 2));
        }
        static const QRegularExpression said(
            QStringLiteral("^This file is damaged: its pictures end at 0[3-6]\\.\\d\\d of 10\\.00$"));
        window->loadVideo(cut);
        QVERIFY(waitForMessage("Damaged Video"));
        QCOMPARE(prompts.last().kind, Kind::Warning);
        QVERIFY2(said.match(prompts.last().text).hasMatch(), qPrintable(prompts.last().text));
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 20000);

        const QString output = dir.filePath(QStringLiteral("from cut short, %1.mp4").arg(QTest::currentDataTag()));
        answerDialog(output, {quality});
        prompts.clear();
        window->exportVideo();
        QVERIFY2(waitForMessage("Export Complete"), qPrintable(allSaid()));
        const QString summary = prompts.last().text;
        QVERIFY2(said.match(summary.section("\n\n", -1)).hasMatch(), qPrintable(summary));
        QVERIFY(TestMedia::probeDuration(output) < 7.0);

        // A whole file says nothing of the kind.
        prompts.clear();
        loadAndWait(video);
        QVERIFY(!waitForMessageWithin("Damaged Video", 1000));
    }

    void refusedOutputs_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("reserved name")
            << "nul.mp4"
            << "Cannot save to this location:\n\n'NUL' is a Windows reserved device name and cannot be used as a "
               "filename\n\nPlease choose a different filename.\n\nReserved names include: NUL, CON, PRN, AUX, "
               "COM1-9, LPT1-9";
        QTest::newRow("the source itself")
            << "holiday.mp4" << "The output file is the video being edited.\n\nPlease choose a different filename.";
    }
    void refusedOutputs()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        loadAndWait(video);
        const QByteArray before = hashOf(video);
        answerDialog(dir.filePath(name), {});
        prompts.clear();
        window->exportVideo();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, Kind::Critical);
        QCOMPARE(prompts.last().title, QStringLiteral("Invalid Filename"));
        QCOMPARE(prompts.last().text, text);
        QVERIFY(!window->exporter()->runner()->process());
        QCOMPARE(hashOf(video), before);
    }

    // Nothing the edit is made of, and nothing that is not a file, is offered for replacing or
    // written over, whatever the spelling; the export itself refuses it too when asked directly.
    void outputsTheExportMustNotReplace_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("dialogRefuses"); // the dialog stays open and says so (a warning)

        const QString project = "The output file is the project file of this edit.\n\nPlease choose a different filename.";
        const QString video = "The output file is the video being edited.\n\nPlease choose a different filename.";
        QTest::newRow("the project") << "title.tlp" << project << false;
        QTest::newRow("a hard link to the project") << "title hard link.tlp" << project << false;
        QTest::newRow("a hard link to the video") << "video hard link.mp4" << video << false;
        QTest::newRow("a pipe") << "pipe.mp4" << "DIR/pipe.mp4 is a pipe, not a file; choose a file to save to" << true;
    }
    void outputsTheExportMustNotReplace()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(bool, dialogRefuses);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString project = folder.filePath("title.tlp");
        {
            QFile file(project);
            QVERIFY(file.open(QIODevice::WriteOnly));
            Clip whole;
            whole.originalEnd = 8000;
            file.write(ProjectFile::write(video, 8000, {whole}));
        }
        QCOMPARE(::link(QFile::encodeName(project).constData(),
                        QFile::encodeName(folder.filePath("title hard link.tlp")).constData()),
                 0);
        QCOMPARE(::link(QFile::encodeName(video).constData(),
                        QFile::encodeName(folder.filePath("video hard link.mp4")).constData()),
                 0);
        QCOMPARE(::mkfifo(QFile::encodeName(folder.filePath("pipe.mp4")).constData(), 0600), 0);
        text.replace("DIR", folder.path());
        const QByteArray projectBefore = hashOf(project);
        const QByteArray videoBefore = hashOf(video);

        prompts.openAnswers = {project};
        window->loadProject();
        QTRY_VERIFY_WITH_TIMEOUT(window->clips().size() == 1, 60000);
        prompts.clear();
        prompts.askDefault = 0; // were it asked, the answer would be Replace
        const QString output = folder.filePath(name);
        answerDialog(output, {"Low Quality (480p)"});
        window->exportVideo();
        QVERIFY(prompts.questions.isEmpty());
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.last().kind, dialogRefuses ? Kind::Warning : Kind::Critical);
        QCOMPARE(prompts.last().title, QStringLiteral("Invalid Filename"));
        QCOMPARE(prompts.last().text, text);

        prompts.clear();
        QVERIFY(!window->exportWithFFmpeg(output, 320, 240, 28, 0));
        QVERIFY(!window->exportAudioOnly(output, "wav", "192k"));
        QVERIFY(!window->exportOriginalQuality(output, 0));
        QCOMPARE(prompts.messages.size(), 3);
        for (const RecordingPrompts::Message &message : std::as_const(prompts.messages)) {
            QCOMPARE(message.kind, Kind::Critical);
            QCOMPARE(message.text, text);
        }
        QVERIFY(!window->exporter()->runner()->process());
        QCOMPARE(hashOf(project), projectBefore);
        QCOMPARE(hashOf(video), videoBefore);
        QVERIFY(!QFileInfo(folder.filePath("pipe.mp4")).isFile());
    }

    // The dialog opens with the folder and quality of the last export saved; a cancelled
    // dialog changes neither.
    void theDialogRemembersFolderAndQuality()
    {
        loadAndWait(video);
        QTemporaryDir elsewhere;
        QVERIFY(elsewhere.isValid());
        answerDialog(QDir(elsewhere.path()).filePath("first.mp4"), {"Low Quality (480p)"});
        window->exportVideo();
        QVERIFY(waitForMessage("Export Complete"));

        QString path;
        QStringList checked;
        prompts.dialogHandler = [&path, &checked](QDialog &dialog) {
            path = dialog.findChild<QLineEdit *>()->text();
            checked.clear();
            for (QAbstractButton *b : dialog.findChildren<QAbstractButton *>())
                if (b->isChecked() && b->text().contains("Quality"))
                    checked << b->text();
            buttonIn(&dialog, "Medium Quality (720p)")->click();
            return int(QDialog::Rejected);
        };
        for (int run = 0; run < 2; ++run) {
            window->exportVideo();
            QCOMPARE(path, QDir(elsewhere.path()).filePath("holiday_edited.mp4"));
            QCOMPARE(checked, QStringList{"Low Quality (480p)"});
        }
        prompts.dialogHandler = nullptr;
    }
};

TRIMLET_TEST_MAIN(TestExportWindow)
#include "tst_export_window.moc"
