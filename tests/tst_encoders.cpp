#include "hardwareencoderdetector.h"

#include <QProcess>
#include <QtTest>

namespace {

// Rows in the shape ffmpeg prints them: capability flags, name, description.
QString listing(const QStringList &rows)
{
    QString text = QStringLiteral("Encoders:\n"
                                  " V..... = Video\n"
                                  " A..... = Audio\n"
                                  " ------\n");
    for (const QString &row : rows)
        text += QLatin1Char(' ') + row + QLatin1Char('\n');
    return text;
}

const QString x264Row = QStringLiteral("V....D libx264              libx264 H.264 / AVC (codec h264)");
const QString x265Row = QStringLiteral("V....D libx265              libx265 H.265 / HEVC (codec hevc)");
const QString nvencRow = QStringLiteral("V....D h264_nvenc           NVIDIA NVENC H.264 encoder (codec h264)");
const QString hevcNvencRow = QStringLiteral("V....D hevc_nvenc           NVIDIA NVENC hevc encoder (codec hevc)");
const QString qsvRow = QStringLiteral("V..... h264_qsv             H.264 (Intel Quick Sync Video acceleration) (codec h264)");
const QString amfRow = QStringLiteral("V..... h264_amf             AMD AMF H.264 Encoder (codec h264)");
const QString mpeg4Row = QStringLiteral("V.S... mpeg4                MPEG-4 part 2");
const QString aacRow = QStringLiteral("A....D aac                  AAC (Advanced Audio Coding)");
const QString audio264Row = QStringLiteral("A....D fake264audio         an audio encoder with 264 in its name");
const QString imageRow = QStringLiteral("S..... h264sub               subtitle row that must not count");

} // namespace

class TestEncoders : public QObject {
    Q_OBJECT
private slots:
    void parseAndChoose_data()
    {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QStringList>("found");
        QTest::addColumn<QString>("best");
        QTest::addColumn<QString>("description");

        const QString cpu = QStringLiteral("CPU only (no hardware acceleration detected)");
        QTest::newRow("empty") << QStringList() << QStringList() << "libx264" << cpu;
        QTest::newRow("software only") << QStringList{x264Row, x265Row, mpeg4Row, aacRow}
                                       << QStringList{"libx264", "libx265"} << "libx264" << cpu;
        QTest::newRow("nvenc first")
            << QStringList{x264Row, qsvRow, nvencRow, amfRow}
            << QStringList{"libx264", "h264_qsv", "h264_nvenc", "h264_amf"} << "h264_nvenc"
            << "NVIDIA GPU (NVENC) - Hardware Accelerated";
        QTest::newRow("qsv before amf") << QStringList{amfRow, qsvRow} << QStringList{"h264_amf", "h264_qsv"}
                                        << "h264_qsv" << "Intel GPU (Quick Sync Video) - Hardware Accelerated";
        QTest::newRow("amf alone") << QStringList{x264Row, amfRow} << QStringList{"libx264", "h264_amf"}
                                   << "h264_amf" << "AMD GPU (VCE/AMF) - Hardware Accelerated";
        QTest::newRow("hevc nvenc is no h264 encoder")
            << QStringList{hevcNvencRow} << QStringList{"hevc_nvenc"} << "libx264" << cpu;
        QTest::newRow("only video rows count") << QStringList{audio264Row, imageRow, x264Row}
                                               << QStringList{"libx264"} << "libx264" << cpu;
    }
    void parseAndChoose()
    {
        QFETCH(QStringList, rows);
        QFETCH(QStringList, found);
        QFETCH(QString, best);
        QFETCH(QString, description);

        HardwareEncoderDetector detector(QStringLiteral("ffmpeg"));
        detector.parseEncoderList(listing(rows));
        QCOMPARE(detector.availableEncoders(), found);
        QCOMPARE(detector.getBestH264Encoder(), best);
        QCOMPARE(detector.getHardwareDescription(), description);
    }

    void parseReplacesEarlierList()
    {
        HardwareEncoderDetector detector(QStringLiteral("ffmpeg"));
        detector.parseEncoderList(listing({nvencRow}));
        detector.parseEncoderList(listing({x264Row}));
        QCOMPARE(detector.availableEncoders(), QStringList{"libx264"});
    }

    void presets_data()
    {
        QTest::addColumn<QString>("encoder");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("preset");
        QTest::newRow("nvenc fast") << "h264_nvenc" << "fast" << "p1";
        QTest::newRow("nvenc balanced") << "h264_nvenc" << "balanced" << "p4";
        QTest::newRow("nvenc quality") << "hevc_nvenc" << "quality" << "p7";
        QTest::newRow("nvenc other") << "h264_nvenc" << "Balanced" << "p4";
        QTest::newRow("qsv fast") << "h264_qsv" << "fast" << "veryfast";
        QTest::newRow("qsv balanced") << "h264_qsv" << "balanced" << "balanced";
        QTest::newRow("qsv quality") << "h264_qsv" << "quality" << "veryslow";
        QTest::newRow("amf fast") << "h264_amf" << "fast" << "speed";
        QTest::newRow("amf quality") << "h264_amf" << "quality" << "quality";
        QTest::newRow("amf other") << "h264_amf" << "x" << "balanced";
        QTest::newRow("x264 fast") << "libx264" << "fast" << "ultrafast";
        QTest::newRow("x264 balanced") << "libx264" << "balanced" << "medium";
        QTest::newRow("x265 quality") << "libx265" << "quality" << "slow";
        QTest::newRow("x264 other") << "libx264" << "turbo" << "ultrafast";
        QTest::newRow("no family") << "h264_vaapi" << "balanced" << "";
        QTest::newRow("case matters") << "H264_NVENC" << "balanced" << "";
    }
    void presets()
    {
        QFETCH(QString, encoder);
        QFETCH(QString, mode);
        QFETCH(QString, preset);
        QCOMPARE(HardwareEncoderDetector::getEncoderPreset(encoder, mode), preset);
    }

    void qualityParameters_data()
    {
        QTest::addColumn<QString>("encoder");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QStringList>("parameters");
        QTest::newRow("nvenc good") << "h264_nvenc" << "good"
                                    << QStringList{"-cq", "23", "-rc", "vbr", "-b:v", "0"};
        QTest::newRow("nvenc draft") << "h264_nvenc" << "draft"
                                     << QStringList{"-cq", "28", "-rc", "vbr", "-b:v", "0"};
        QTest::newRow("qsv high") << "h264_qsv" << "high" << QStringList{"-global_quality", "18"};
        QTest::newRow("amf high") << "h264_amf" << "high"
                                  << QStringList{"-rc", "cqp", "-qp_i", "18", "-qp_p", "18"};
        QTest::newRow("x264 draft") << "libx264" << "draft" << QStringList{"-crf", "28"};
        QTest::newRow("unknown mode is good") << "libx264" << "best" << QStringList{"-crf", "23"};
        QTest::newRow("any other encoder") << "h264_vaapi" << "high" << QStringList{"-crf", "18"};
    }
    void qualityParameters()
    {
        QFETCH(QString, encoder);
        QFETCH(QString, mode);
        QFETCH(QStringList, parameters);
        QCOMPARE(HardwareEncoderDetector::getQualityParameters(encoder, mode), parameters);
    }

    void unusableHardwareEncodersAreDropped()
    {
        HardwareEncoderDetector detector(QStringLiteral("ffmpeg"));
        detector.parseEncoderList(listing({x264Row, nvencRow, hevcNvencRow, qsvRow, amfRow}));
        QStringList tried;
        detector.keepUsableEncoders([&tried](const QString &name) {
            tried << name;
            return name == QLatin1String("h264_amf");
        });
        QCOMPARE(tried, (QStringList{"h264_nvenc", "h264_qsv", "h264_amf"}));
        QCOMPARE(detector.availableEncoders(), (QStringList{"libx264", "hevc_nvenc", "h264_amf"}));
        QCOMPARE(detector.getBestH264Encoder(), QStringLiteral("h264_amf"));
    }

    void unlistedEncodersAreNotTried()
    {
        HardwareEncoderDetector detector(QStringLiteral("ffmpeg"));
        detector.parseEncoderList(listing({x264Row}));
        int calls = 0;
        detector.keepUsableEncoders([&calls](const QString &) { return ++calls, false; });
        QCOMPARE(calls, 0);
        QCOMPARE(detector.availableEncoders(), QStringList{"libx264"});
    }

    // With this machine's ffmpeg: encoders are listed for hardware that is not here.
    void probeKeepsOnlyWorkingEncoders()
    {
        HardwareEncoderDetector detector(QStringLiteral("ffmpeg"));
        QVERIFY(detector.detectEncoders());
        QVERIFY(detector.isDetected());
        QVERIFY(detector.hasEncoder(QStringLiteral("libx264")));
        for (const QString &name : HardwareEncoderDetector::hardwareH264Encoders()) {
            if (detector.hasEncoder(name))
                QVERIFY2(HardwareEncoderDetector::testEncoder(QStringLiteral("ffmpeg"), name),
                         qPrintable(name + " kept although it cannot encode"));
        }
        const QString best = detector.getBestH264Encoder();
        QVERIFY2(HardwareEncoderDetector::testEncoder(QStringLiteral("ffmpeg"), best), qPrintable(best));
        // A second call returns at once with the same list.
        const QStringList first = detector.availableEncoders();
        QVERIFY(detector.detectEncoders());
        QCOMPARE(detector.availableEncoders(), first);
    }

    void testEncodeRejectsUnknownEncoder()
    {
        QVERIFY(!HardwareEncoderDetector::testEncoder(QStringLiteral("ffmpeg"), QStringLiteral("no_such_encoder")));
        QVERIFY(HardwareEncoderDetector::testEncoder(QStringLiteral("ffmpeg"), QStringLiteral("libx264")));
    }

    void probeFailures_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("empty path") << QString();
        QTest::newRow("missing program") << QStringLiteral("/nonexistent/ffmpeg");
        QTest::newRow("non-zero exit") << QStringLiteral("false");
    }
    void probeFailures()
    {
        QFETCH(QString, program);
        HardwareEncoderDetector detector(program);
        QVERIFY(!detector.detectEncoders());
        QVERIFY(!detector.isDetected());
        QVERIFY(detector.availableEncoders().isEmpty());
        QCOMPARE(detector.getBestH264Encoder(), QStringLiteral("libx264"));
        QCOMPARE(HardwareEncoderDetector::getQualityParameters(detector.getBestH264Encoder(), "good"),
                 (QStringList{"-crf", "23"}));
    }
};

QTEST_GUILESS_MAIN(TestEncoders)
#include "tst_encoders.moc"
