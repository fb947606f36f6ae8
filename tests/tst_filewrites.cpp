#include "appsettings.h"
#include "atomicfile.h"
#include "editautosave.h"
#include "fulldisk.h"
#include "testmain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// Files we write, on a disk that fills up under them: the file as it was stays, byte for byte.
class TestFileWrites : public QObject {
    Q_OBJECT
private slots:
    void fullDiskKeepsTheOldFile_data()
    {
        QTest::addColumn<QString>("writer");
        QTest::addColumn<qint64>("keepFree");   // room left for part of the new bytes
        QTest::addColumn<int>("newSize");
        QTest::newRow("a file replaced") << "file" << qint64(0) << 3000;
        QTest::newRow("a file replaced, room for part of it") << "file" << qint64(64 * 1024) << 256 * 1024;
        QTest::newRow("a new file") << "new file" << qint64(0) << 3000;
        QTest::newRow("the autosave") << "autosave" << qint64(0) << 3000;
        // Room for the lock file QSettings takes, not for the settings.
        QTest::newRow("the settings") << "settings" << qint64(4096) << 3000;
    }
    void fullDiskKeepsTheOldFile()
    {
        QFETCH(QString, writer);
        QFETCH(qint64, keepFree);
        QFETCH(int, newSize);
        QTemporaryDir temporary;
        QVERIFY(temporary.isValid());
        QString folder = temporary.filePath(QStringLiteral("disk"));
        if (writer == "autosave")
            folder = EditAutosave::folder();
        else if (writer == "settings")
            folder = QFileInfo(QSettings().fileName()).absolutePath();
        FullDisk disk(folder);
        if (!disk.mounted())
            QSKIP(qPrintable(disk.reason()));

        const QByteArray oldBytes(1500, 'o');
        const QByteArray newBytes(newSize, 'n');
        QString path = QDir(folder).filePath(QStringLiteral("kept.tlp"));
        QByteArray current = oldBytes;
        EditAutosave autosave;
        autosave.setSnapshot([&current] { return [bytes = current] { return bytes; }; });
        if (writer == "file") {
            QCOMPARE(writeFileAtomically(path, oldBytes), QString());
        } else if (writer == "autosave") {
            autosave.writeNow();
            path = autosave.filePath();
        } else if (writer == "settings") {
            AppSettings::setExportQuality(QStringLiteral("High"));
            path = QSettings().fileName();
        }
        const QByteArray before = readFile(path);
        QCOMPARE(before.isEmpty(), writer == "new file");
        const QStringList entries = QDir(folder).entryList(QDir::Files);
        QVERIFY(disk.fill(keepFree));

        if (writer == "file" || writer == "new file") {
            const QString reason = writeFileAtomically(path, newBytes);
            QVERIFY2(reason.contains(QStringLiteral("No space left on device")), qPrintable(reason));
        } else if (writer == "autosave") {
            current = newBytes;
            autosave.writeNow();
        } else {
            AppSettings::setExportQuality(QString(newSize, QLatin1Char('x')));
        }
        QCOMPARE(readFile(path), before);
        QCOMPARE(QFileInfo::exists(path), writer != "new file");
        // Nothing half-written left beside it.
        QStringList expected = entries + QStringList{QStringLiteral("filler")};
        expected.sort();
        QCOMPARE(QDir(folder).entryList(QDir::Files, QDir::Name), expected);
    }
};

int main(int argc, char *argv[])
{
    QTemporaryDir userFolders;
    useOwnUserFolders(userFolders.path());
    QCoreApplication app(argc, argv);
    TestFileWrites test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_filewrites.moc"
