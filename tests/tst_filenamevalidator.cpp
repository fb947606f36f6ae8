#include "exportsettings.h"
#include "filenamevalidator.h"
#include "outputfiles.h"

#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <sys/stat.h>

namespace {

bool isCharacterDevice(const char *path)
{
    struct stat status = {};
    return ::stat(path, &status) == 0 && S_ISCHR(status.st_mode);
}

} // namespace

class TestFilenameValidator : public QObject {
    Q_OBJECT
private slots:
    void validation_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("error");

        const QString reserved = QStringLiteral("'%1' is a Windows reserved device name and cannot be used as a filename");
        const QString invalid = QStringLiteral("Filename contains invalid character: '%1'");
        const QString trailing = QStringLiteral("Filename cannot end with a dot or space");

        QTest::newRow("plain") << "C:/Videos/holiday.mp4" << true << "";
        QTest::newRow("unix folder") << "/home/me/out/clip_edited.mp4" << true << "";
        QTest::newRow("empty") << "" << false << "Filename cannot be empty";
        QTest::newRow("white space only") << "   \t" << false << "Filename cannot be empty";
        QTest::newRow("reserved lower case") << "C:/Videos/con.mp4" << false << reserved.arg("CON");
        QTest::newRow("reserved without extension") << "C:/Videos/LPT9" << false << reserved.arg("LPT9");
        QTest::newRow("reserved com") << "C:/Videos/Com3.avi" << false << reserved.arg("COM3");
        QTest::newRow("reserved trimmed") << "C:/Videos/ nul .mp4" << false << reserved.arg(" NUL ");
        QTest::newRow("no exact match") << "C:/Videos/CON1.mp4" << true << "";
        QTest::newRow("longer word") << "C:/Videos/console.mp4" << true << "";
        QTest::newRow("leading dot is no extension") << "C:/Videos/.con" << true << "";
        QTest::newRow("only the last extension") << "C:/Videos/com1.backup.mp4" << true << "";
        QTest::newRow("COM0 is not reserved") << "C:/Videos/COM0.mp4" << true << "";
        QTest::newRow("ends in separator") << "C:/Videos/" << false
                                           << "'C:/Videos/' names a folder, not a file; add a file name to save to";
        QTest::newRow("ends in dot dot") << "out/.." << false
                                         << "'out/..' names a folder, not a file; add a file name to save to";
        QTest::newRow("255 bytes") << "/v/" + QString(251, 'a') + ".mp4" << true << "";
        QTest::newRow("256 bytes") << "/v/" + QString(252, 'a') + ".mp4" << false
                                   << "The file name is too long: 256 bytes, where the system allows at most 255";
        // Counted in bytes, as the file system counts them: 128 letters of two bytes each.
        QTest::newRow("258 bytes in 130 characters") << "/v/" + QString(128, QChar(0xe9)) + ".m" << false
                                                     << "The file name is too long: 258 bytes, where the system allows at most 255";
        QTest::newRow("colon in file name") << "C:/Videos/a:b.mp4" << false << invalid.arg(":");
        QTest::newRow("table order wins") << "C:/Videos/x?y<z" << false << invalid.arg("<");
        QTest::newRow("quote") << "C:/Videos/say \"hi\".mp4" << false << invalid.arg("\"");
        QTest::newRow("pipe") << "C:/Videos/a|b.mp4" << false << invalid.arg("|");
        QTest::newRow("star") << "C:/Videos/a*.mp4" << false << invalid.arg("*");
        QTest::newRow("backslash") << "C:/Videos/a\\b.mp4" << false << invalid.arg("\\");
        QTest::newRow("trailing dot") << "C:/Videos/movie." << false << trailing;
        QTest::newRow("trailing space") << "C:/Videos/movie " << false << trailing;
        QTest::newRow("control character") << QStringLiteral("C:/Videos/a%1b.mp4").arg(QChar(0x1f)) << false
                                            << "Filename contains invalid control characters";
        QTest::newRow("tab is control") << "C:/Videos/a\tb.mp4" << false
                                        << "Filename contains invalid control characters";
        QTest::newRow("reserved before invalid") << "C:/Videos/aux.m?p4" << false << reserved.arg("AUX");
        QTest::newRow("invalid before trailing dot") << "C:/Videos/a<b." << false << invalid.arg("<");
    }
    void validation()
    {
        QFETCH(QString, path);
        QFETCH(bool, valid);
        QFETCH(QString, error);
        QCOMPARE(FilenameValidator::isValidFilename(path), valid);
        QCOMPARE(FilenameValidator::getValidationError(path), error);
    }

    void reservedName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("reserved");
        QTest::newRow("empty") << "" << true;
        QTest::newRow("prn") << "prn" << true;
        QTest::newRow("prn with extension") << "prn.txt" << true;
        QTest::newRow("double extension") << "prn.txt.mp4" << false;
        QTest::newRow("dot only first") << ".aux" << false;
        QTest::newRow("spaces") << "  lpt1  .mp4" << true;
        QTest::newRow("ordinary") << "video.mp4" << false;
    }
    void reservedName()
    {
        QFETCH(QString, name);
        QFETCH(bool, reserved);
        QCOMPARE(FilenameValidator::isReservedName(name), reserved);
    }

    // What an output may not replace, found by looking only: nothing here is opened or written.
    void outputsThatAreNotFiles_data()
    {
        QTest::addColumn<QString>("path"); // "TMP/" is the test's own folder
        QTest::addColumn<QString>("kind"); // empty: may be written

        QTest::newRow("regular file") << "TMP/file.mp4" << "";
        QTest::newRow("dangling link") << "TMP/dangling.mp4" << "";
        QTest::newRow("folder") << "TMP/folder" << "a folder";
        QTest::newRow("null device") << "/dev/null" << "a device";
        QTest::newRow("pipe") << "TMP/pipe.mp4" << "a pipe";
        QTest::newRow("link to a device") << "TMP/null.mp4" << "a device";
        QTest::newRow("link to a pipe") << "TMP/pipe link.mp4" << "a pipe";
    }
    void outputsThatAreNotFiles()
    {
        QFETCH(QString, path);
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile file(dir.filePath("file.mp4"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(QDir(dir.path()).mkdir("folder"));
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("pipe.mp4")).constData(), 0600), 0);
        QVERIFY(QFile::link("/dev/null", dir.filePath("null.mp4")));
        QVERIFY(QFile::link(dir.filePath("pipe.mp4"), dir.filePath("pipe link.mp4")));
        QVERIFY(QFile::link(dir.filePath("gone.mp4"), dir.filePath("dangling.mp4")));
        path.replace("TMP", dir.path());

        const QString reason = notAFileReason(path);
        if (kind.isEmpty())
            QVERIFY2(reason.isEmpty(), qPrintable(reason));
        else
            QCOMPARE(reason, path + " is " + kind + ", not a file; choose a file to save to");
        QVERIFY(isCharacterDevice("/dev/null"));
    }

    // A hidden file beside the output: within the system's 255 bytes per name, however long the
    // output's own name, so a long name that may be saved can be exported.
    void hiddenFilesBesideTheOutputFit_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("short") << "cut.mp4";
        QTest::newRow("255 bytes in two-byte letters") << QString(125, QChar(0xe9)) + ".mp4";
    }
    void hiddenFilesBesideTheOutputFit()
    {
        QFETCH(QString, name);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString pattern = hiddenTemplateBeside(dir.filePath(name), ".part");
        const QString hidden = QFileInfo(pattern).fileName();
        QVERIFY2(hidden.startsWith('.' + name.left(3)) && hidden.endsWith(".XXXXXX.part"), qPrintable(hidden));
        QTemporaryFile file(pattern);
        QVERIFY2(file.open(), qPrintable(file.errorString()));
    }

    // What the name's ending can hold, decided before any encode.
    void namesThatCannotHoldTheExport_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("audioFormat"); // empty: a video export
        QTest::addColumn<QString>("problem");     // empty: it fits

        const QString webm = "A WebM file holds only VP8, VP9 or AV1 video, and Trimlet saves H.264. "
                             "Choose a name ending in .mp4, .mkv or .mov.";
        QTest::newRow("video mp4") << "/v/a.mp4" << "" << "";
        QTest::newRow("video unknown ending") << "/v/a.video" << "" << "";
        QTest::newRow("video webm") << "/v/a.webm" << "" << webm;
        QTest::newRow("video as mp3")
            << "/v/a.mp3" << ""
            << "A .mp3 file is for sound only. Choose a name ending in .mp4, .mkv or .mov, or choose Audio Only.";
        QTest::newRow("aac in mp4") << "/v/a.mp4" << "aac" << "";
        QTest::newRow("aac as aac") << "/v/a.aac" << "aac" << "";
        QTest::newRow("wav without ending") << "/v/sound" << "wav" << "";
        QTest::newRow("wav in mp4") << "/v/a.mp4" << "wav"
                                    << "WAV sound cannot be saved in a .mp4 file. Choose a name ending in .wav.";
        QTest::newRow("mp3 in mov") << "/v/a.mov" << "mp3"
                                    << "MP3 sound cannot be saved in a .mov file. Choose a name ending in .mp3.";
        QTest::newRow("aac in webm") << "/v/a.webm" << "aac"
                                     << "AAC sound cannot be saved in a .webm file. Choose a name ending in .aac.";
    }
    void namesThatCannotHoldTheExport()
    {
        QFETCH(QString, path);
        QFETCH(QString, audioFormat);
        QFETCH(QString, problem);
        QCOMPARE(outputFormatProblem(path, audioFormat), problem);
    }
};

QTEST_GUILESS_MAIN(TestFilenameValidator)
#include "tst_filenamevalidator.moc"
