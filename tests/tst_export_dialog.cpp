#include "exportdialog.h"
#include "exportsettings.h"
#include "findwidgets.h"
#include "recordingprompts.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using Kind = UserPrompts::Kind;
using Action = ExportDecision::Action;
Q_DECLARE_METATYPE(UserPrompts::Kind)
Q_DECLARE_METATYPE(ExportDecision::Action)

namespace {

QAbstractButton *buttonNamed(QDialog &dialog, const QString &text)
{
    return FindWidgets::byText<QAbstractButton>(dialog, text);
}

QLabel *labelNamed(QDialog &dialog, const QString &text)
{
    return FindWidgets::byText<QLabel>(dialog, text);
}

QComboBox *comboWith(QDialog &dialog, const QString &item)
{
    for (QComboBox *combo : dialog.findChildren<QComboBox *>()) {
        if (combo->findText(item) >= 0)
            return combo;
    }
    return nullptr;
}

} // namespace

class TestExportDialog : public QObject {
    Q_OBJECT
private slots:
    void defaults()
    {
        RecordingPrompts prompts;
        ExportDialog dialog(prompts, "/home/me/videos/trip.part1.mp4", 3, 65000);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Save Your Video"));
        QCOMPARE(dialog.pathField()->text(), QStringLiteral("/home/me/videos/trip.part1_edited.mp4"));
        for (const char *text : {"Save Your Edited Video", "Where to save:", "Export quality:", "Audio options:",
                                 "Format:", "Quality:", "Your video will be saved as: 3 parts, 01:05 long"})
            QVERIFY2(labelNamed(dialog, text), text);
        QVERIFY(buttonNamed(dialog, "High Quality (1080p)")->isChecked());
        QVERIFY(!buttonNamed(dialog, "Low Quality (480p)")->isChecked());
        QVERIFY(buttonNamed(dialog, "Include Audio")->isChecked());
        QVERIFY(dialog.audioOptionsPanel()->isHidden());
        QCOMPARE(comboWith(dialog, "MP3")->currentText(), QStringLiteral("MP3"));
        QCOMPARE(comboWith(dialog, "192 kbps")->currentText(), QStringLiteral("192 kbps"));
        QVERIFY(static_cast<QPushButton *>(buttonNamed(dialog, "Save Video"))->isDefault());

        const ExportSettings s = dialog.settings();
        QCOMPARE(s.outputPath, dialog.pathField()->text());
        QCOMPARE(s.targetWidth, 1920);
        QCOMPARE(s.targetHeight, 1080);
        QCOMPARE(s.crf, 20);
        QCOMPARE(s.audioMode, 0);
        QCOMPARE(s.audioFormat, QStringLiteral("mp3"));
        QCOMPARE(s.audioBitrate, QStringLiteral("192k"));
    }

    void oneSavedPartIsOnePart()
    {
        RecordingPrompts prompts;
        ExportDialog dialog(prompts, "/v/a.mp4", 1, 1000);
        QVERIFY(labelNamed(dialog, "Your video will be saved as: 1 part, 00:01 long"));
    }

    void quality_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("crf");
        QTest::newRow("low") << "Low Quality (480p)" << 854 << 480 << 28;
        QTest::newRow("medium") << "Medium Quality (720p)" << 1280 << 720 << 23;
        QTest::newRow("high") << "High Quality (1080p)" << 1920 << 1080 << 20;
    }
    void quality()
    {
        QFETCH(QString, button);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, crf);
        RecordingPrompts prompts;
        ExportDialog dialog(prompts, "/v/a.mp4", 1, 1000);
        // Away and back, so the high button is also tested as a change.
        buttonNamed(dialog, "Low Quality (480p)")->click();
        buttonNamed(dialog, "Medium Quality (720p)")->click();
        buttonNamed(dialog, button)->click();
        const ExportSettings s = dialog.settings();
        QCOMPARE(s.targetWidth, width);
        QCOMPARE(s.targetHeight, height);
        QCOMPARE(s.crf, crf);
        int checked = 0;
        for (const char *text : {"Low Quality (480p)", "Medium Quality (720p)", "High Quality (1080p)"})
            checked += buttonNamed(dialog, text)->isChecked();
        QCOMPARE(checked, 1);
    }

    void originalQualityComesFirstAndSaysWhatWillHappen()
    {
        RecordingPrompts prompts;
        ExportDialog dialog(prompts, "/v/a.mp4", 2, 5000);
        // First in the row, left of the sized choices.
        QList<QAbstractButton *> row;
        for (const char *text :
             {"Original Quality (no re-encode)", "Low Quality (480p)", "Medium Quality (720p)", "High Quality (1080p)"})
            row << buttonNamed(dialog, text);
        dialog.show();
        for (int i = 1; i < row.size(); ++i)
            QVERIFY(row[i - 1]->mapTo(&dialog, QPoint()).x() < row[i]->mapTo(&dialog, QPoint()).x());
        QVERIFY(!row[0]->isChecked());
        QVERIFY(!dialog.settings().originalQuality);

        QString answer = QStringLiteral("Original Quality: checking the video...");
        bool askedWithSound = false;
        dialog.setOriginalQualityNote([&answer, &askedWithSound](bool withSound) {
            askedWithSound = withSound;
            return answer;
        });
        QCOMPARE(dialog.originalQualityNote(), QString());
        row[0]->click();
        QVERIFY(dialog.settings().originalQuality);
        QCOMPARE(dialog.settings().crf, 18);
        QVERIFY(labelNamed(dialog, answer)->isVisible());
        // The note is asked again until the source has been read.
        answer = QStringLiteral("Original Quality: only the frames next to each cut are encoded again; "
                                "the rest is copied unchanged.");
        QTRY_VERIFY(labelNamed(dialog, answer) && labelNamed(dialog, answer)->isVisible());
        QCOMPARE(dialog.originalQualityNote(), answer);
        QLabel *note = labelNamed(dialog, answer);

        // Audio only has no picture to keep; a sized choice ends it.
        buttonNamed(dialog, "Audio Only")->click();
        QVERIFY(!note->isVisible());
        buttonNamed(dialog, "Include Audio")->click();
        QVERIFY(note->isVisible());
        QCOMPARE(note->text(), answer);
        QVERIFY(askedWithSound);
        // Muted, the note need not say what becomes of the sound.
        buttonNamed(dialog, "No Audio (Mute)")->click();
        QVERIFY(note->isVisible());
        QVERIFY(!askedWithSound);
        row[2]->click();
        QVERIFY(!dialog.settings().originalQuality);
        QCOMPARE(dialog.settings().targetWidth, 1280);
        QVERIFY(!note->isVisible());
    }

    void audioModesRewriteTheExtension()
    {
        RecordingPrompts prompts;
        ExportDialog dialog(prompts, "/v/name.mov", 1, 1000);
        QCOMPARE(dialog.pathField()->text(), QStringLiteral("/v/name_edited.mp4"));

        buttonNamed(dialog, "Audio Only")->click();
        QCOMPARE(dialog.pathField()->text(), QStringLiteral("/v/name_edited.mp3"));
        QVERIFY(!dialog.audioOptionsPanel()->isHidden());
        QCOMPARE(dialog.settings().audioMode, 2);

        comboWith(dialog, "FLAC")->setCurrentText("FLAC");
        QCOMPARE(dialog.pathField()->text(), QStringLiteral("/v/name_edited.flac"));
        QCOMPARE(dialog.settings().audioFormat, QStringLiteral("flac"));

        buttonNamed(dialog, "No Audio (Mute)")->click();
        QCOMPARE(dialog.pathField()->text(), QStringLiteral("/v/name_edited.mp4"));
        QVERIFY(dialog.audioOptionsPanel()->isHidden());
        QCOMPARE(dialog.settings().audioMode, 1);

        // Outside audio-only a format change leaves the path alone.
        comboWith(dialog, "WAV")->setCurrentText("WAV");
        QCOMPARE(dialog.pathField()->text(), QStringLiteral("/v/name_edited.mp4"));

        buttonNamed(dialog, "Include Audio")->click();
        QCOMPARE(dialog.settings().audioMode, 0);
        QCOMPARE(dialog.pathField()->text(), QStringLiteral("/v/name_edited.mp4"));
    }

    void losslessFormatsHideTheBitrate_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("bitrateShown");
        QTest::newRow("MP3") << "MP3" << true;
        QTest::newRow("WAV") << "WAV" << false;
        QTest::newRow("AAC") << "AAC" << true;
        QTest::newRow("FLAC") << "FLAC" << false;
    }
    void losslessFormatsHideTheBitrate()
    {
        QFETCH(QString, format);
        QFETCH(bool, bitrateShown);
        RecordingPrompts prompts;
        ExportDialog dialog(prompts, "/v/a.mp4", 1, 1000);
        buttonNamed(dialog, "Audio Only")->click();
        QComboBox *bitrate = comboWith(dialog, "320 kbps");
        bitrate->setCurrentText("320 kbps");
        comboWith(dialog, format)->setCurrentText(format == "MP3" ? "WAV" : "MP3");
        comboWith(dialog, format)->setCurrentText(format);
        QCOMPARE(!bitrate->isHidden(), bitrateShown);
        QCOMPARE(!labelNamed(dialog, "Quality:")->isHidden(), bitrateShown);
        // Still read and passed on.
        QCOMPARE(dialog.settings().audioBitrate, QStringLiteral("320k"));
        QCOMPARE(dialog.settings().audioFormat, format.toLower());
    }

    void withExtension_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("result");
        QTest::newRow("replace") << "/v/a.mp4" << ".mp3" << "/v/a.mp3";
        QTest::newRow("only the last") << "/v/a.b.mp4" << ".wav" << "/v/a.b.wav";
        QTest::newRow("none") << "/v/clip" << ".mp4" << "/v/clip.mp4";
        QTest::newRow("dot in folder") << "/my.videos/clip" << ".aac" << "/my.videos/clip.aac";
        QTest::newRow("dot in folder, backslashes") << "C:\\my.videos\\clip" << ".mp3" << "C:\\my.videos\\clip.mp3";
        QTest::newRow("backslash file") << "C:\\v\\clip.mp4" << ".flac" << "C:\\v\\clip.flac";
        QTest::newRow("empty") << "" << ".mp4" << ".mp4";
    }
    void withExtension()
    {
        QFETCH(QString, path);
        QFETCH(QString, extension);
        QFETCH(QString, result);
        QCOMPARE(ExportSettings::withExtension(path, extension), result);
    }

    void browse_data()
    {
        QTest::addColumn<QString>("audioFormat");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("path");
        QTest::newRow("video gets extension") << "" << "/out/movie" << "Save Your Video" << "MP4 Video (*.mp4)"
                                              << "/out/movie.mp4";
        QTest::newRow("video extension any case") << "" << "/out/movie.MP4" << "Save Your Video"
                                                  << "MP4 Video (*.mp4)" << "/out/movie.MP4";
        QTest::newRow("mp3") << "MP3" << "/out/song" << "Save Audio" << "MP3 Audio (*.mp3)" << "/out/song.mp3";
        QTest::newRow("wav") << "WAV" << "/out/song.wav" << "Save Audio" << "WAV Audio (*.wav)" << "/out/song.wav";
        QTest::newRow("aac") << "AAC" << "/out/song.mp3" << "Save Audio" << "AAC Audio (*.aac)"
                             << "/out/song.mp3.aac";
        QTest::newRow("flac") << "FLAC" << "/out/x" << "Save Audio" << "FLAC Audio (*.flac)" << "/out/x.flac";
        QTest::newRow("cancelled keeps the path") << "" << "" << "Save Your Video" << "MP4 Video (*.mp4)"
                                                  << "/v/a_edited.mp4";
    }
    void browse()
    {
        QFETCH(QString, audioFormat);
        QFETCH(QString, answer);
        QFETCH(QString, caption);
        QFETCH(QString, filter);
        QFETCH(QString, path);
        RecordingPrompts prompts;
        prompts.saveAnswers << answer;
        ExportDialog dialog(prompts, "/v/a.mp4", 1, 1000);
        if (!audioFormat.isEmpty()) {
            buttonNamed(dialog, "Audio Only")->click();
            comboWith(dialog, "FLAC")->setCurrentText(audioFormat);
        }
        const QString before = dialog.pathField()->text();
        buttonNamed(dialog, "Browse...")->click();
        QCOMPARE(prompts.fileRequests.size(), 1);
        QCOMPARE(prompts.fileRequests.first().caption, caption);
        QCOMPARE(prompts.fileRequests.first().filter, filter);
        QCOMPARE(prompts.fileRequests.first().dir, before);
        QCOMPARE(dialog.pathField()->text(), path);
    }

    void buttonsCloseTheDialog()
    {
        RecordingPrompts prompts;
        ExportDialog save(prompts, "/v/a.mp4", 1, 1000);
        buttonNamed(save, "Save Video")->click();
        QCOMPARE(save.result(), int(QDialog::Accepted));
        ExportDialog cancel(prompts, "/v/a.mp4", 1, 1000);
        buttonNamed(cancel, "Cancel")->click();
        QCOMPARE(cancel.result(), int(QDialog::Rejected));
    }

    // Nothing is written until the name is known to be a file the user means to replace.
    void existingOutputIsReplacedOnlyWhenAgreed()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString existing = dir.filePath("old cut.mp4");
        QFile file(existing);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        RecordingPrompts prompts;

        // A folder is refused, the dialog stays open.
        ExportDialog folder(prompts, "/v/a.mp4", 1, 1000);
        folder.pathField()->setText(dir.path());
        buttonNamed(folder, "Save Video")->click();
        QCOMPARE(folder.result(), int(QDialog::Rejected));
        QCOMPARE(prompts.last().title, QStringLiteral("Invalid Filename"));
        QVERIFY(prompts.questions.isEmpty());

        // A typed existing name asks; Cancel (or closing the box) keeps the dialog open.
        for (const int answer : {1, -1, 0}) {
            prompts.clear();
            prompts.askAnswers = {answer};
            ExportDialog typed(prompts, "/v/a.mp4", 1, 1000);
            typed.pathField()->setText(existing);
            buttonNamed(typed, "Save Video")->click();
            QCOMPARE(prompts.questions.size(), 1);
            QCOMPARE(prompts.questions[0].text, QStringLiteral("Replace old cut.mp4?"));
            QCOMPARE(prompts.questions[0].buttons, QStringList({"Replace", "Cancel"}));
            QCOMPARE(typed.result(), int(answer == 0 ? QDialog::Accepted : QDialog::Rejected));
        }

        // The file dialog asked already: not again.
        prompts.clear();
        prompts.saveAnswers = {existing};
        ExportDialog browsed(prompts, "/v/a.mp4", 1, 1000);
        buttonNamed(browsed, "Browse...")->click();
        buttonNamed(browsed, "Save Video")->click();
        QVERIFY(prompts.questions.isEmpty());
        QCOMPARE(browsed.result(), int(QDialog::Accepted));
    }

    // A device, pipe or socket would be replaced by a moved file, not written: refused with the
    // reason before any question, the dialog kept open. The edit's own video and project are not
    // offered for replacing either; the export refuses them once the dialog closes.
    void outputsThatAreNotFilesAreRefusedBeforeAsking_data()
    {
        QTest::addColumn<QString>("path"); // "TMP/" is the test's folder
        QTest::addColumn<QString>("kind"); // empty: the dialog closes without asking

        QTest::newRow("null device") << "/dev/null" << "a device";
        QTest::newRow("link to a device") << "TMP/null.mp4" << "a device";
        QTest::newRow("a hard link to the project") << "TMP/other name.tlp" << "";
    }
    void outputsThatAreNotFilesAreRefusedBeforeAsking()
    {
        QFETCH(QString, path);
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const char *name : {"title.tlp", "video.mp4"}) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("{}");
        }
        QCOMPARE(::link(QFile::encodeName(dir.filePath("title.tlp")).constData(),
                        QFile::encodeName(dir.filePath("other name.tlp")).constData()),
                 0);
        QVERIFY(QFile::link("/dev/null", dir.filePath("null.mp4")));
        path.replace("TMP", dir.path());

        RecordingPrompts prompts;
        prompts.askAnswers = {0}; // were it asked, the answer would be Replace
        ExportDialog dialog(prompts, dir.filePath("video.mp4"), 1, 1000);
        dialog.setProjectPath(dir.filePath("title.tlp"));
        dialog.pathField()->setText(path);
        buttonNamed(dialog, "Save Video")->click();
        QVERIFY(prompts.questions.isEmpty());
        if (kind.isEmpty()) {
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
            QVERIFY(prompts.messages.isEmpty());
        } else {
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
            QCOMPARE(prompts.messages.size(), 1);
            QCOMPARE(prompts.last().kind, Kind::Warning);
            QCOMPARE(prompts.last().title, QStringLiteral("Invalid Filename"));
            QCOMPARE(prompts.last().text, path + " is " + kind + ", not a file; choose a file to save to");
        }
        QVERIFY(QFileInfo("/dev/null").exists() && !QFileInfo("/dev/null").isFile());
    }

    void decision_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("hasAudio");
        QTest::addColumn<Action>("action");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");

        const QString noAudio = "The source video does not contain an audio track.\n\n"
                                "Cannot extract audio from a video without audio.";
        QTest::newRow("empty video path") << "" << 0 << true << Action::Refuse << Kind::Information
                                          << "No File Selected" << "Please choose where to save your video.";
        QTest::newRow("empty audio path") << "" << 2 << true << Action::Refuse << Kind::Information
                                          << "No File Selected" << "Please choose where to save your audio.";
        QTest::newRow("reserved name")
            << "/v/aux.mp4" << 0 << true << Action::Refuse << Kind::Critical << "Invalid Filename"
            << "Cannot save to this location:\n\n'AUX' is a Windows reserved device name and cannot be used as a "
               "filename\n\nPlease choose a different filename.\n\nReserved names include: NUL, CON, PRN, AUX, "
               "COM1-9, LPT1-9";
        QTest::newRow("invalid character before audio check")
            << "/v/a?.mp3" << 2 << false << Action::Refuse << Kind::Critical << "Invalid Filename"
            << "Cannot save to this location:\n\nFilename contains invalid character: '?'\n\nPlease choose a "
               "different filename.\n\nReserved names include: NUL, CON, PRN, AUX, COM1-9, LPT1-9";
        QTest::newRow("audio only without audio") << "/v/a.mp3" << 2 << false << Action::Refuse << Kind::Warning
                                                  << "No Audio Track" << noAudio;
        QTest::newRow("audio only") << "/v/a.mp3" << 2 << true << Action::ExportAudio << Kind::Information << ""
                                    << "";
        QTest::newRow("include audio with a silent source")
            << "/v/a.mp4" << 0 << false << Action::ExportVideo << Kind::Information << "" << "";
        QTest::newRow("mute") << "/v/a.mp4" << 1 << true << Action::ExportVideo << Kind::Information << "" << "";
        QTest::newRow("webm") << "/v/a.webm" << 1 << true << Action::Refuse << Kind::Critical << "Invalid Filename"
                              << "A WebM file holds only VP8, VP9 or AV1 video, and Trimlet saves H.264. "
                                 "Choose a name ending in .mp4, .mkv or .mov.";
        QTest::newRow("folder with a slash")
            << "/v/new/" << 0 << true << Action::Refuse << Kind::Critical << "Invalid Filename"
            << "Cannot save to this location:\n\n'/v/new/' names a folder, not a file; add a file name to save to"
               "\n\nPlease choose a different filename.\n\nReserved names include: NUL, CON, PRN, AUX, COM1-9, LPT1-9";
    }
    void decision()
    {
        QFETCH(QString, path);
        QFETCH(int, mode);
        QFETCH(bool, hasAudio);
        QFETCH(Action, action);
        QFETCH(Kind, kind);
        QFETCH(QString, title);
        QFETCH(QString, text);
        ExportSettings settings;
        settings.outputPath = path;
        settings.audioMode = mode;
        const ExportDecision d = decideExport(settings, hasAudio);
        QCOMPARE(d.action, action);
        QCOMPARE(d.title, title);
        QCOMPARE(d.text, text);
        if (action == Action::Refuse)
            QCOMPARE(d.kind, kind);
    }
};

QTEST_MAIN(TestExportDialog)
#include "tst_export_dialog.moc"
