#include "iconlocator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QList<int> iconSizes{16, 32, 48, 64, 128, 256};

QString iconName(int size)
{
    return QStringLiteral("Trimlet_%1x%1.png").arg(size);
}

QString sourceDir()
{
    const QString fromEnvironment = qEnvironmentVariable("TRIMLET_SOURCE_DIR");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QDir::cleanPath(QStringLiteral(TRIMLET_SOURCE_RESOURCES "/.."));
}

QString resourcesDir()
{
    return QDir(sourceDir()).filePath(QStringLiteral("resources"));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The value of a key in the [Desktop Entry] group of a desktop file.
QString desktopValue(const QString &path, const QString &key)
{
    const QStringList lines = QString::fromUtf8(readAll(path)).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(key + QLatin1Char('=')))
            return line.mid(key.size() + 1).trimmed();
    }
    return QString();
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// Runs a validator; an empty result means it passed.
QString runValidator(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(60000))
        return QStringLiteral("%1 did not finish").arg(program);
    const QString output = QString::fromUtf8(process.readAll());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("%1 failed (exit %2):\n%3").arg(program).arg(process.exitCode()).arg(output);
    return QString();
}

} // namespace

class TestResources : public QObject {
    Q_OBJECT
private slots:
    void iconFile_data();
    void iconFile();
    void locatePrefersEarlierLocations_data();
    void locatePrefersEarlierLocations();
    void locateMissingFile();
    void appIconHasEverySize();
    void validators_data();
    void validators();
    void installPutsFilesInPlace();
};

void TestResources::iconFile_data()
{
    QTest::addColumn<int>("size");
    for (int size : iconSizes)
        QTest::addRow("%d", size) << size;
}

void TestResources::iconFile()
{
    QFETCH(int, size);
    const QString path = QDir(resourcesDir()).filePath(iconName(size));
    QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));

    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), QSize(size, size));
    QVERIFY(image.hasAlphaChannel());

    // A blank or fully opaque square would not be the drawn mark.
    int opaque = 0;
    int transparent = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = qAlpha(image.pixel(x, y));
            opaque += alpha == 255;
            transparent += alpha == 0;
        }
    }
    QVERIFY(opaque > size * size / 2);
    QVERIFY(transparent > 0);

    // Whichever copy is found first must be this artwork.
    const QString located = locateIconFile(iconName(size));
    QVERIFY(!located.isEmpty());
    QCOMPARE(readAll(located), readAll(path));
}

void TestResources::locatePrefersEarlierLocations_data()
{
    QTest::addColumn<bool>("inCurrentDir");
    QTest::addColumn<bool>("inAppDir");
    QTest::addColumn<bool>("inShareDir");
    QTest::addColumn<int>("expected");

    QTest::newRow("current directory beats all") << true << true << true << 0;
    QTest::newRow("application directory beats share") << false << true << true << 1;
    QTest::newRow("share directory alone") << false << false << true << 2;
    QTest::newRow("current directory alone") << true << false << false << 0;
}

void TestResources::locatePrefersEarlierLocations()
{
    QFETCH(bool, inCurrentDir);
    QFETCH(bool, inAppDir);
    QFETCH(bool, inShareDir);
    QFETCH(int, expected);

    QTemporaryDir workDir;
    QVERIFY(workDir.isValid());
    const QDir appDir(QCoreApplication::applicationDirPath());
    const QString shareDir = QDir::cleanPath(appDir.filePath(QStringLiteral("../share/trimlet")));
    const bool shareDirExisted = QFileInfo::exists(shareDir);
    QVERIFY(QDir().mkpath(shareDir));

    const QString name = QStringLiteral("tst_resources_probe_%1.png").arg(QCoreApplication::applicationPid());
    const QStringList dirs{workDir.path(), appDir.absolutePath(), shareDir};
    const QList<bool> present{inCurrentDir, inAppDir, inShareDir};
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir.path()));

    const auto cleanup = qScopeGuard([&] {
        QDir::setCurrent(previousDir);
        for (const QString &dir : dirs)
            QFile::remove(QDir(dir).filePath(name));
        if (!shareDirExisted) {
            QDir(shareDir).removeRecursively();
            QDir().rmdir(QFileInfo(shareDir).path());
        }
    });

    for (int i = 0; i < dirs.size(); ++i) {
        if (present.at(i))
            QVERIFY(writeFile(QDir(dirs.at(i)).filePath(name), QByteArray::number(i)));
    }

    const QString found = locateIconFile(name);
    QVERIFY(!found.isEmpty());
    QCOMPARE(QFileInfo(found).canonicalFilePath(),
             QFileInfo(QDir(dirs.at(expected)).filePath(name)).canonicalFilePath());
    QCOMPARE(readAll(found), QByteArray::number(expected));
}

void TestResources::locateMissingFile()
{
    QCOMPARE(locateIconFile(QStringLiteral("tst_resources_no_such_icon.png")), QString());
    QCOMPARE(locateIconFile(QString()), QString());
}

void TestResources::appIconHasEverySize()
{
    const QIcon icon = loadAppIcon();
    QVERIFY(!icon.isNull());

    QList<QSize> expectedSizes;
    for (int size : iconSizes)
        expectedSizes << QSize(size, size);
    QList<QSize> sizes = icon.availableSizes();
    const auto bySide = [](const QSize &a, const QSize &b) { return a.width() < b.width(); };
    std::sort(sizes.begin(), sizes.end(), bySide);
    QCOMPARE(sizes, expectedSizes);

    // Each size must come from its own file, not a rescaled neighbour.
    for (int size : iconSizes) {
        // Pixmaps are premultiplied; compare in that format to avoid rounding.
        const QImage fromIcon = icon.pixmap(QSize(size, size))
                                    .toImage()
                                    .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const QImage fromFile = QImage(locateIconFile(iconName(size)))
                                    .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QCOMPARE(fromIcon.size(), QSize(size, size));
        QVERIFY2(fromIcon == fromFile, qPrintable(iconName(size)));
    }
}

void TestResources::validators_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");

    const QDir resources(resourcesDir());
    QTest::newRow("desktop entry") << QStringLiteral("desktop-file-validate")
                                   << QStringList{resources.filePath(QStringLiteral("trimlet.desktop"))};
    QTest::newRow("metainfo") << QStringLiteral("appstreamcli")
                              << QStringList{QStringLiteral("validate"), QStringLiteral("--no-net"),
                                             resources.filePath(QStringLiteral("trimlet.metainfo.xml"))};
}

void TestResources::validators()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);

    const QString executable = QStandardPaths::findExecutable(program);
    if (executable.isEmpty())
        QSKIP(qPrintable(program + QStringLiteral(" is not installed")));
    const QString failure = runValidator(executable, arguments);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

void TestResources::installPutsFilesInPlace()
{
    const QString cmake = QStandardPaths::findExecutable(QStringLiteral("cmake"));
    if (cmake.isEmpty())
        QSKIP("cmake is not installed");
    const QString buildDir = QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
    QVERIFY2(QFileInfo::exists(QDir(buildDir).filePath(QStringLiteral("cmake_install.cmake"))),
             qPrintable(buildDir));

    QTemporaryDir prefix;
    QVERIFY(prefix.isValid());
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(cmake, {QStringLiteral("--install"), buildDir, QStringLiteral("--prefix"), prefix.path()});
    QVERIFY(install.waitForFinished(120000));
    QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
             install.readAll().constData());

    // Read the install layout back the way a desktop would: binary from Exec,
    // icon name from Icon, desktop file from the metainfo's launchable.
    const QDir root(prefix.path());
    const QString desktopFile = root.filePath(QStringLiteral("share/applications/trimlet.desktop"));
    QVERIFY(QFileInfo(desktopFile).isFile());

    const QString exec = desktopValue(desktopFile, QStringLiteral("Exec")).section(QLatin1Char(' '), 0, 0);
    QCOMPARE(exec, QStringLiteral("trimlet"));
    const QFileInfo binary(root.filePath(QStringLiteral("bin/") + exec));
    QVERIFY2(binary.isFile() && binary.isExecutable(), qPrintable(binary.filePath()));

    const QString metainfo = root.filePath(QStringLiteral("share/metainfo/trimlet.metainfo.xml"));
    QVERIFY(QFileInfo(metainfo).isFile());
    const QRegularExpression launchable(QStringLiteral("<launchable type=\"desktop-id\">([^<]+)</launchable>"));
    const QRegularExpressionMatch match = launchable.match(QString::fromUtf8(readAll(metainfo)));
    QVERIFY(match.hasMatch());
    QCOMPARE(QFileInfo(desktopFile).fileName(), match.captured(1));

    const QString iconKey = desktopValue(desktopFile, QStringLiteral("Icon"));
    QVERIFY(!iconKey.isEmpty());
    for (int size : iconSizes) {
        const QByteArray original = readAll(QDir(resourcesDir()).filePath(iconName(size)));
        QVERIFY(!original.isEmpty());
        const QString themed = root.filePath(
            QStringLiteral("share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(iconKey));
        QCOMPARE(readAll(themed), original);
        const QString bundled = root.filePath(QStringLiteral("share/trimlet/") + iconName(size));
        QCOMPARE(readAll(bundled), original);
    }

    // Project files: the desktop entry claims the type, and the installed MIME package
    // maps the extension to it once the MIME database is rebuilt.
    const QString projectType = QStringLiteral("application/x-trimlet-project");
    QVERIFY(desktopValue(desktopFile, QStringLiteral("MimeType")).split(QLatin1Char(';')).contains(projectType));
    QVERIFY(QFileInfo(root.filePath(QStringLiteral("share/mime/packages/trimlet.xml"))).isFile());
    const QString updater = QStandardPaths::findExecutable(QStringLiteral("update-mime-database"));
    if (updater.isEmpty())
        QSKIP("update-mime-database is not installed");
    QProcess update;
    update.setProcessChannelMode(QProcess::MergedChannels);
    update.start(updater, {root.filePath(QStringLiteral("share/mime"))});
    QVERIFY(update.waitForFinished(60000));
    QVERIFY2(update.exitCode() == 0, update.readAll().constData());
    const QStringList globs = QString::fromUtf8(readAll(root.filePath(QStringLiteral("share/mime/globs2"))))
                                  .split(QLatin1Char('\n'));
    QVERIFY2(globs.contains(QStringLiteral("50:") + projectType + QStringLiteral(":*.tlp")),
             qPrintable(globs.join(QLatin1Char('\n'))));
}

int main(int argc, char *argv[])
{
    // Icons need a GUI application but no screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    TestResources test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_resources.moc"
