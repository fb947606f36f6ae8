// Start-up to the window on screen: the program against a bare Qt program showing a window
// of the same size, side by side (paired runs, medians). Each prints "shown" at its window's
// first paint and quits; the time runs from the process start to that line. Needs a display
// (xvfb-run -a ./bench_startup [RUNS]).
#include "benchsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QProcess>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

class FirstPaint : public QObject {
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            std::fputs("shown\n", stdout);
            std::fflush(stdout);
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }
};

int bareWindow(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(1400, 900);
    FirstPaint report;
    window.installEventFilter(&report);
    window.show();
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && QByteArray(argv[1]) == "--bare-window")
        return bareWindow(argc, argv);
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const int runs = argc > 1 ? qMax(1, QString::fromLocal8Bit(argv[1]).toInt()) : 7;
    const QString self = QCoreApplication::applicationFilePath();
    std::vector<double> program, bare, ratios;
    for (int i = 0; i < runs; ++i) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TRIMLET_EXIT_WHEN_SHOWN"), QStringLiteral("1"));
        const double t = Bench::msUntilLine(QStringLiteral(TRIMLET_BINARY), {}, "shown", environment);
        const double b = Bench::msUntilLine(self, {QStringLiteral("--bare-window")}, "shown", environment);
        if (t < 0 || b < 0) {
            out << "a program did not show its window" << Qt::endl;
            return 1;
        }
        program.push_back(t);
        bare.push_back(b);
        ratios.push_back(t / b);
        out << QStringLiteral("run %1: Trimlet %2 ms, bare Qt window %3 ms").arg(i + 1).arg(t, 0, 'f', 1).arg(b, 0, 'f', 1)
            << Qt::endl;
    }
    out << QStringLiteral("median: Trimlet %1 ms, bare Qt window %2 ms, ratio %3 (median of pair ratios)  [target <= 2]")
               .arg(Bench::median(program), 0, 'f', 1)
               .arg(Bench::median(bare), 0, 'f', 1)
               .arg(Bench::median(ratios), 0, 'f', 2)
        << Qt::endl;
    return 0;
}
