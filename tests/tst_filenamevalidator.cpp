#include "filenamevalidator.h"

#include <QtTest>

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
        QTest::newRow("ends in separator") << "C:/Videos/" << false << reserved.arg("");
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
};

QTEST_GUILESS_MAIN(TestFilenameValidator)
#include "tst_filenamevalidator.moc"
