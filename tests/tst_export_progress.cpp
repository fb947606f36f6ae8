#include "exportprogressparser.h"
#include "progresstext.h"

#include <QtTest>

class TestExportProgress : public QObject {
    Q_OBJECT
private slots:
    void dialogWords_data()
    {
        QTest::addColumn<int>("percent");
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<qint64>("mediaMs");
        QTest::addColumn<QString>("text");
        QTest::newRow("first second: the percentage only") << 3 << qint64(900) << qint64(60000)
                                                           << "Exporting video... 3%";
        QTest::newRow("nothing done yet: no guess") << 0 << qint64(4000) << qint64(60000)
                                                    << "Exporting video... 0%\n0:04 elapsed";
        QTest::newRow("speed and time left") << 25 << qint64(10000) << qint64(72000)
                                             << "Exporting video... 25%\n0:10 elapsed · 1.8× real time · about 0:30 left";
        QTest::newRow("fast: whole multiples") << 50 << qint64(1000) << qint64(40000)
                                               << "Exporting video... 50%\n0:01 elapsed · 20× real time · about 0:01 left";
        QTest::newRow("hours") << 50 << qint64(3723000) << qint64(0)
                               << "Exporting video... 50%\n1:02:03 elapsed · about 1:02:03 left";
        QTest::newRow("done") << 100 << qint64(5000) << qint64(10000) << "Exporting video... 100%\n0:05 elapsed";
    }
    void dialogWords()
    {
        QFETCH(int, percent);
        QFETCH(qint64, elapsedMs);
        QFETCH(qint64, mediaMs);
        QFETCH(QString, text);
        QCOMPARE(ProgressText::describe(percent, elapsedMs, mediaMs), text);
    }

    void percentOfOneRead_data()
    {
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("percent");

        const QByteArray status = "frame=  50 fps= 25 q=28.0 size=     256kB time=00:00:05.00 bitrate= 419.4kbits/s speed=1x\r";
        QTest::newRow("half") << status << qint64(10000) << 50;
        QTest::newRow("truncates") << QByteArray("time=00:00:03.33\n") << qint64(10000) << 33;
        QTest::newRow("centiseconds") << QByteArray("time=00:00:00.99\n") << qint64(1000) << 99;
        QTest::newRow("hours and minutes") << QByteArray("time=01:02:03.04\r") << qint64(7446080) << 50;
        QTest::newRow("at the total is 99") << QByteArray("time=00:00:10.00\r") << qint64(10000) << 99;
        QTest::newRow("past the total is 99") << QByteArray("time=00:01:00.00\r") << qint64(10000) << 99;
        QTest::newRow("first match of the read")
            << QByteArray("time=00:00:02.00\rtime=00:00:08.00\r") << qint64(10000) << 20;
        QTest::newRow("no time field") << QByteArray("Press [q] to stop, [?] for help\n") << qint64(10000) << -1;
        QTest::newRow("time without centiseconds") << QByteArray("time=00:00:05\r") << qint64(10000) << -1;
        QTest::newRow("one-digit groups") << QByteArray("time=0:0:5.00\r") << qint64(10000) << -1;
        QTest::newRow("N/A time") << QByteArray("time=N/A bitrate=N/A\r") << qint64(10000) << -1;
        QTest::newRow("total zero") << status << qint64(0) << -1;
        QTest::newRow("unfinished line waits") << QByteArray("time=00:00:05.00 bitrate=") << qint64(10000) << -1;
    }
    void percentOfOneRead()
    {
        QFETCH(QByteArray, chunk);
        QFETCH(qint64, total);
        QFETCH(int, percent);
        ExportProgressParser parser;
        QCOMPARE(parser.progress(chunk, total), percent);
    }

    // A status line split over two reads is read whole once its end arrives.
    void lineSplitAcrossReads_data()
    {
        QTest::addColumn<int>("splitAt");
        const QByteArray line = "frame=  75 fps= 25 time=00:00:07.50 bitrate= 400kbits/s\r";
        for (int i = 1; i < line.size(); i += 7)
            QTest::newRow(qPrintable(QStringLiteral("split at %1").arg(i))) << i;
    }
    void lineSplitAcrossReads()
    {
        QFETCH(int, splitAt);
        const QByteArray line = "frame=  75 fps= 25 time=00:00:07.50 bitrate= 400kbits/s\r";
        ExportProgressParser parser;
        QCOMPARE(parser.progress(line.left(splitAt), 10000), -1);
        QCOMPARE(parser.progress(line.mid(splitAt), 10000), 75);
        QVERIFY(parser.pending().isEmpty());
    }

    void linesAndRemainder()
    {
        ExportProgressParser parser;
        QCOMPARE(parser.feed("a\r\nb\nc"), (QStringList{"a", "b"}));
        QCOMPARE(parser.pending(), QByteArray("c"));
        QCOMPARE(parser.feed("d\re"), QStringList{"cd"});
        QCOMPARE(parser.pending(), QByteArray("e"));
        parser.reset();
        QVERIFY(parser.pending().isEmpty());
    }

    // A multi-byte character cut between two reads still decodes.
    void utf8SplitAcrossReads()
    {
        const QByteArray text = QStringLiteral("Überschrift\n").toUtf8();
        ExportProgressParser parser;
        QVERIFY(parser.feed(text.left(1)).isEmpty());
        QCOMPARE(parser.feed(text.mid(1)), QStringList{QStringLiteral("Überschrift")});
    }

    void elapsedAndPercent()
    {
        QCOMPARE(ExportProgressParser::elapsedMs("x time=00:01:01.50 y"), qint64(61500));
        QCOMPARE(ExportProgressParser::elapsedMs("no time here"), qint64(-1));
        QCOMPARE(ExportProgressParser::percent(500, 1000), 50);
        QCOMPARE(ExportProgressParser::percent(999, 1000), 99);
        QCOMPARE(ExportProgressParser::percent(5000, 1000), 99);
        QCOMPARE(ExportProgressParser::percent(100, 0), -1);
        QCOMPARE(ExportProgressParser::percent(100, -5), -1);
    }
};

QTEST_GUILESS_MAIN(TestExportProgress)
#include "tst_export_progress.moc"
