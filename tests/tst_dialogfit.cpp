#include "exportdialog.h"
#include "mainwindow.h"
#include "recordingprompts.h"
#include "testmain.h"
#include "testmedia.h"
#include "videoplayer.h"
#include "windowsteps.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>
#include <QtTest>

#include <cmath>

// The window and every dialog on the screen the test runs on: CTest runs this once more on
// screens of 1024x600 and 1280x720 (TRIMLET_TEST_SCREEN names the size expected).
namespace {

double contrast(QRgb a, QRgb b)
{
    const auto luminance = [](QRgb c) {
        const auto channel = [](int value) {
            const double s = value / 255.0;
            return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

// How the words of a button stand out from what is behind them, as drawn: the commonest colour
// where the words are against the colour furthest from it.
double wordContrast(QPushButton *button)
{
    const QImage image = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QFontMetrics metrics(button->font());
    QRect words(QPoint(), QSize(metrics.horizontalAdvance(button->text()), metrics.height()));
    words.moveCenter(image.rect().center());
    words &= image.rect();
    QHash<QRgb, int> counts;
    for (int y = words.top(); y <= words.bottom(); ++y) {
        for (int x = words.left(); x <= words.right(); ++x)
            ++counts[image.pixel(x, y)];
    }
    QRgb background = 0;
    int most = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > most) {
            most = it.value();
            background = it.key();
        }
    }
    double best = 1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        best = qMax(best, contrast(background, it.key()));
    return best;
}

QString plain(QString text)
{
    return text.remove(QLatin1Char('&'));
}

// What keeps a shown window from fitting its screen: it reaches past the free area, one of the
// named buttons is out of sight or unreadable, or a button's words are cut. Empty when it fits.
QString fitProblem(QWidget *window, const QStringList &buttons)
{
    const QRect area = window->screen()->availableGeometry();
    const QRect frame = window->frameGeometry();
    if (!area.contains(frame))
        return QStringLiteral("%1: %2,%3 %4x%5 is not within the free %6x%7")
            .arg(window->windowTitle())
            .arg(frame.x())
            .arg(frame.y())
            .arg(frame.width())
            .arg(frame.height())
            .arg(area.width())
            .arg(area.height());
    const QRect inside(window->mapToGlobal(QPoint()), window->size());
    for (const QString &text : buttons) {
        QPushButton *found = nullptr;
        for (QPushButton *button : window->findChildren<QPushButton *>()) {
            if (plain(button->text()) == text)
                found = button;
        }
        if (!found || !found->isVisible())
            return text + QStringLiteral(": no such button shown");
        const QRect place(found->mapToGlobal(QPoint()), found->size());
        if (!inside.contains(place) || !area.contains(place))
            return text + QStringLiteral(": out of sight");
        const double readable = wordContrast(found);
        if (readable < 2.5)
            return text + QStringLiteral(": its words hardly stand out (contrast %1)").arg(readable);
    }
    for (QPushButton *button : window->findChildren<QPushButton *>()) {
        if (button->isVisible() && button->width() <= button->fontMetrics().horizontalAdvance(plain(button->text())))
            return plain(button->text()) + QStringLiteral(": its words are cut");
    }
    return QString();
}

// Shows a dialog the window runs, as exec() would, and says whether it fits.
QString showAndCheck(QDialog &dialog, const QStringList &buttons)
{
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog))
        return QStringLiteral("not shown");
    return fitProblem(&dialog, buttons);
}

} // namespace

class TestDialogFit : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;
    QString video;
    std::unique_ptr<MainWindow> window;
    RecordingPrompts prompts;

    void loadAndChooseThePart()
    {
        WindowSteps::loadAndPause(*window, video);
        window->handleClipClicked(0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        video = dir.filePath(QStringLiteral("sample.mp4"));
        QVERIFY(TestMedia::makeVideo(video, {3, 320, 240, 25, true, {}}));
        const QString expected = qEnvironmentVariable("TRIMLET_TEST_SCREEN");
        if (!expected.isEmpty()) {
            const QSize size = QGuiApplication::primaryScreen()->size();
            QCOMPARE(QStringLiteral("%1x%2").arg(size.width()).arg(size.height()), expected);
        }
    }

    void init()
    {
        WindowSteps::openWindow(window, prompts);
    }

    void cleanup() { window.reset(); }

    void mainWindowAndItsBoxesFit()
    {
        // Where its usual 1400x900 and a title bar do not fit, a window manager fits it.
        const QRect area = window->screen()->availableGeometry();
        if (area.width() < 1400 || area.height() < 940)
            QVERIFY(window->isMaximized());
        const QString problem = fitProblem(window.get(), {QStringLiteral("Open Video"), QStringLiteral("Save Video")});
        QVERIFY2(problem.isEmpty(), qPrintable(problem));

        QString welcome = QStringLiteral("not run");
        prompts.messageBoxHandler = [&welcome](QDialog &dialog) {
            welcome = showAndCheck(dialog, {QStringLiteral("OK")});
            return int(QDialog::Accepted);
        };
        window->showWelcome();
        QVERIFY2(welcome.isEmpty(), qPrintable(welcome));

        QString about = QStringLiteral("not run");
        prompts.dialogHandler = [&about](QDialog &dialog) {
            about = showAndCheck(dialog, {QStringLiteral("OK")});
            return int(QDialog::Accepted);
        };
        window->showAbout();
        QVERIFY2(about.isEmpty(), qPrintable(about));
    }

    // Enter gives the title another line; Ctrl+Enter is OK.
    void titleDialogFitsAndCtrlEnterSaves()
    {
        loadAndChooseThePart();
        QString problem = QStringLiteral("not run");
        bool openAfterEnter = false;
        prompts.dialogHandler = [&](QDialog &dialog) {
            problem = showAndCheck(dialog, {QStringLiteral("OK"), QStringLiteral("Cancel"),
                                            QStringLiteral("Remove Title")});
            dialog.activateWindow();
            if (!QTest::qWaitFor([&dialog] { return dialog.isActiveWindow(); }))
                return int(QDialog::Rejected);
            auto *text = dialog.findChild<QTextEdit *>();
            text->setFocus();
            QTest::keyClicks(text, QStringLiteral("Our trip"));
            QTest::keyClick(text, Qt::Key_Return);
            openAfterEnter = dialog.isVisible();
            QTest::keyClicks(text, QStringLiteral("to the sea"));
            QTest::keyClick(text, Qt::Key_Return, Qt::ControlModifier);
            return dialog.isVisible() ? int(QDialog::Rejected) : dialog.result();
        };
        window->setClipTitle();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QVERIFY(openAfterEnter);
        QCOMPARE(window->clips().first().titleText, QStringLiteral("Our trip\nto the sea"));
        QCOMPARE(prompts.last().title, QStringLiteral("Title Set"));
    }

    void effectsDialogFitsBesideTheVideo()
    {
        loadAndChooseThePart();
        QWidget *video = window->findChild<QWidget *>(QStringLiteral("videoContainer"));
        QVERIFY(video);
        const QPoint videoCentre = video->mapToGlobal(video->rect().center());
        QString problem = QStringLiteral("not run");
        bool coversVideo = true;
        prompts.dialogHandler = [&](QDialog &dialog) {
            problem = showAndCheck(dialog, {QStringLiteral("Apply Effects"), QStringLiteral("Cancel"),
                                            QStringLiteral("Clear All Effects"),
                                            QString::fromUtf8("👁️ Preview Effects")});
            coversVideo = dialog.frameGeometry().contains(videoCentre);
            return int(QDialog::Rejected);
        };
        window->setClipEffects();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QVERIFY(!coversVideo);
    }

    void exportDialogFits()
    {
        loadAndChooseThePart();
        QString problem = QStringLiteral("not run");
        prompts.dialogHandler = [&problem](QDialog &dialog) {
            problem = showAndCheck(dialog, {QStringLiteral("Save Video"), QStringLiteral("Cancel"),
                                            QStringLiteral("Browse...")});
            return int(QDialog::Rejected);
        };
        window->exportVideo();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    // The question box over the export dialog, as the program shows it.
    void replaceBoxFitsAndReads()
    {
        WindowSteps::loadAndPause(*window, video);
        const QString taken = dir.filePath(QStringLiteral("taken.mp4"));
        QFile file(taken);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();

        window->setUserPrompts(nullptr);
        QString problem = QStringLiteral("not run");
        QPointer<ExportDialog> exportDialog;
        QTimer poll;
        poll.setInterval(50);
        connect(&poll, &QTimer::timeout, this, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *box = qobject_cast<QMessageBox *>(modal); box && box->isVisible()) {
                if (!QTest::qWaitForWindowExposed(box))
                    return;
                problem = box->windowTitle() == QStringLiteral("Replace File")
                    ? fitProblem(box, {QStringLiteral("Replace"), QStringLiteral("Cancel")})
                    : QStringLiteral("unexpected box: ") + box->text();
                for (QAbstractButton *button : box->buttons()) {
                    if (button->text() == QStringLiteral("Cancel"))
                        button->click();
                }
                box->close();
                return;
            }
            auto *dialog = qobject_cast<ExportDialog *>(modal);
            if (!dialog || exportDialog)
                return;
            exportDialog = dialog;
            dialog->pathField()->setText(taken);
            // Closed once the question it asks has been answered.
            QTimer::singleShot(0, dialog, [dialog] {
                dialog->accept();
                dialog->reject();
            });
        });
        poll.start();
        window->exportVideo();
        poll.stop();
        window->setUserPrompts(&prompts);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
};

TRIMLET_TEST_MAIN(TestDialogFit)
#include "tst_dialogfit.moc"
