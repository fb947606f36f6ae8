#include "mediaindex.h"
#include "nalunits.h"
#include "smartcutplan.h"
#include "sourcefacts.h"
#include "testmedia.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <set>
#include <thread>

using namespace Media;

namespace {

const QString VideoSource = QStringLiteral("testsrc2=s=320x240:r=25:d=6");

// Frame numbers in display order of the packets that satisfy a condition.
template<typename Condition>
QList<qint64> framesWhere(const VideoStream &video, Condition condition)
{
    const qint64 ticksPerFrame = qint64(video.timeBase.den) / (25 * qint64(video.timeBase.num));
    std::set<qint64> frames;
    for (const VideoPacket &packet : video.packets) {
        if (condition(packet))
            frames.insert((packet.pts - video.startPts) / ticksPerFrame);
    }
    return QList<qint64>(frames.begin(), frames.end());
}

QList<qint64> idrFrames(const VideoStream &video)
{
    return framesWhere(video, [](const VideoPacket &p) { return p.idr; });
}

QList<qint64> keyFrames(const VideoStream &video)
{
    return framesWhere(video, [](const VideoPacket &p) { return p.keyframe; });
}

QString timestampText(qint64 value)
{
    return value == NoTimestamp ? QStringLiteral("N/A") : QString::number(value);
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QByteArray lengthPrefixed(int lengthSize, const QList<QByteArray> &nals)
{
    QByteArray out;
    for (const QByteArray &nal : nals) {
        for (int shift = 8 * (lengthSize - 1); shift >= 0; shift -= 8)
            out.append(char((nal.size() >> shift) & 0xff));
        out.append(nal);
    }
    return out;
}

QByteArray withLength16(const QByteArray &nal)
{
    return bytes({int(nal.size() >> 8), int(nal.size() & 0xff)}) + nal;
}

// Hand-made parameter sets and slices: only their header bytes and identity matter.
const QByteArray SpsA = bytes({0x67, 0x64, 0x00, 0x1f, 0xac, 0xd9});
const QByteArray SpsB = bytes({0x67, 0x42, 0xc0, 0x1e, 0xab, 0x40});
const QByteArray Pps = bytes({0x68, 0xee, 0x3c, 0x80});
const QByteArray IdrSlice = bytes({0x65, 0x88, 0x84, 0x00, 0x21});
const QByteArray PSlice = bytes({0x41, 0x9a, 0x00, 0x01});
const QByteArray Vps = bytes({0x40, 0x01, 0x0c, 0x01, 0xff});
const QByteArray HevcSps = bytes({0x42, 0x01, 0x01, 0x01, 0x60});
const QByteArray HevcPps = bytes({0x44, 0x01, 0xc1, 0x72});
const QByteArray OtherHevcPps = bytes({0x44, 0x01, 0xc1, 0x73});

QByteArray avcConfiguration(int lengthSize)
{
    return bytes({1, 0x64, 0x00, 0x1f, 0xfc | (lengthSize - 1), 0xe1}) + withLength16(SpsA) + bytes({1})
        + withLength16(Pps);
}

QByteArray hevcConfiguration()
{
    QByteArray out = bytes({1}) + QByteArray(20, '\0') + bytes({0xfc | 3, 3});
    for (const QByteArray &nal : {Vps, HevcSps, HevcPps})
        out += bytes({(nal[0] >> 1) & 0x3f, 0, 1}) + withLength16(nal);
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Media::NalCodec)

class TestMediaIndex : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString file(const QString &name) const { return m_dir.filePath(name); }

    bool encode(const QString &name, const QString &source, const QStringList &codecArgs)
    {
        return TestMedia::runFFmpeg(QStringList{"-f", "lavfi", "-i", source} + codecArgs + QStringList{file(name)});
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const QStringList gop{"-g", "50", "-keyint_min", "50", "-sc_threshold", "0"};
        QVERIFY(TestMedia::runFFmpeg(
            QStringList{"-f", "lavfi", "-i", VideoSource, "-f", "lavfi", "-i", "sine=sample_rate=48000:d=6",
                        "-ac", "2", "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "high", "-bf", "3"}
            + gop + QStringList{"-c:a", "aac", file("h264-closed.mp4")}));
        QVERIFY(encode("h264-open.mp4", VideoSource,
                       {"-c:v", "libx264", "-preset", "veryfast", "-bf", "3", "-x264-params",
                        "open-gop=1:keyint=50:min-keyint=50:scenecut=0"}));
        QVERIFY(encode("hevc-closed.mp4", VideoSource,
                       {"-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                        "keyint=50:min-keyint=50:scenecut=0:open-gop=0:log-level=error"}));
        QVERIFY(encode("hevc-open.mp4", VideoSource,
                       {"-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                        "keyint=50:min-keyint=50:scenecut=0:open-gop=1:log-level=error"}));
        QVERIFY(encode("vp9.webm", VideoSource,
                       {"-c:v", "libvpx-vp9", "-g", "50", "-deadline", "realtime", "-cpu-used", "8"}));

        // Encodes of other sizes and profiles joined without re-encoding: the second half
        // brings its own parameter sets in band. In an elementary stream x264 repeats them
        // at every IDR; in MP4 only when asked to.
        joinHalves("joined.h264", "h264", QStringList{"-c:v", "libx264", "-preset", "veryfast"} + gop,
                   {"-profile:v", "high"}, {"-profile:v", "baseline"});
        joinHalves("joined-h264.mkv", "mp4",
                   QStringList{"-c:v", "libx264", "-preset", "veryfast", "-x264-params", "repeat-headers=1"} + gop,
                   {"-profile:v", "high"}, {"-profile:v", "baseline"});
        joinHalves("joined-hevc.mkv", "mp4",
                   {"-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                    "keyint=50:min-keyint=50:scenecut=0:open-gop=0:repeat-headers=1:log-level=error"},
                   {}, {});
    }

    void joinHalves(const QString &name, const QString &halfSuffix, const QStringList &codecArgs,
                    const QStringList &firstArgs, const QStringList &secondArgs)
    {
        const QString first = file(name + ".first." + halfSuffix);
        const QString second = file(name + ".second." + halfSuffix);
        QVERIFY(TestMedia::runFFmpeg(QStringList{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=3"} + codecArgs
                                     + firstArgs + QStringList{first}));
        QVERIFY(TestMedia::runFFmpeg(QStringList{"-f", "lavfi", "-i", "testsrc2=s=176x144:r=25:d=3"} + codecArgs
                                     + secondArgs + QStringList{second}));
        QFile list(file(name + ".txt"));
        QVERIFY(list.open(QIODevice::WriteOnly));
        list.write(QStringLiteral("file '%1'\nfile '%2'\n").arg(first, second).toUtf8());
        list.close();
        QVERIFY(TestMedia::runFFmpeg({"-f", "concat", "-safe", "0", "-i", list.fileName(), "-c", "copy", file(name)}));
    }

    void nalHeaders_data()
    {
        QTest::addColumn<NalCodec>("codec");
        QTest::addColumn<QByteArray>("extradata");
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<int>("nalLengthSize");
        QTest::addColumn<bool>("idr");
        QTest::addColumn<bool>("changed");

        const QByteArray zero4 = bytes({0, 0, 0, 1});
        const QByteArray zero3 = bytes({0, 0, 1});
        QTest::newRow("avcC: IDR repeating the stored sets")
            << NalCodec::H264 << avcConfiguration(4) << lengthPrefixed(4, {SpsA, Pps, IdrSlice}) << 4 << true << false;
        QTest::newRow("avcC: IDR with a new SPS")
            << NalCodec::H264 << avcConfiguration(4) << lengthPrefixed(4, {SpsB, Pps, IdrSlice}) << 4 << true << true;
        QTest::newRow("avcC: two-byte lengths, P slice")
            << NalCodec::H264 << avcConfiguration(2) << lengthPrefixed(2, {PSlice}) << 2 << false << false;
        QTest::newRow("avcC: a length past the end stops the walk")
            << NalCodec::H264 << avcConfiguration(4)
            << (bytes({0, 0, 0x10, 0}) + SpsB + lengthPrefixed(4, {IdrSlice})) << 4 << false << false;
        QTest::newRow("Annex B: zero padding before a four-byte start code is not part of the SPS")
            << NalCodec::H264 << (zero4 + SpsA + zero4 + Pps)
            << (zero4 + SpsA + bytes({0, 0}) + zero4 + Pps + zero3 + IdrSlice) << 0 << true << false;
        QTest::newRow("Annex B: a new SPS")
            << NalCodec::H264 << (zero4 + SpsA + zero4 + Pps) << (zero3 + SpsB + zero3 + Pps + zero3 + IdrSlice)
            << 0 << true << true;
        QTest::newRow("Annex B: slice bytes after the first slice are not headers")
            << NalCodec::H264 << (zero4 + SpsA + zero4 + Pps) << (zero3 + PSlice + zero3 + SpsB) << 0 << false
            << false;
        QTest::newRow("hvcC: IDR_N_LP with the stored sets")
            << NalCodec::Hevc << hevcConfiguration()
            << lengthPrefixed(4, {Vps, HevcSps, HevcPps, bytes({20 << 1, 0x01, 0xaf})}) << 4 << true << false;
        QTest::newRow("hvcC: IDR_W_RADL with another PPS")
            << NalCodec::Hevc << hevcConfiguration() << lengthPrefixed(4, {OtherHevcPps, bytes({19 << 1, 0x01, 0xaf})})
            << 4 << true << true;
        QTest::newRow("hvcC: CRA is not IDR")
            << NalCodec::Hevc << hevcConfiguration() << lengthPrefixed(4, {bytes({21 << 1, 0x01, 0xaf})}) << 4 << false
            << false;
        QTest::newRow("hvcC: BLA is not IDR")
            << NalCodec::Hevc << hevcConfiguration() << lengthPrefixed(4, {bytes({16 << 1, 0x01, 0xaf})}) << 4 << false
            << false;
    }

    void nalHeaders()
    {
        QFETCH(NalCodec, codec);
        QFETCH(QByteArray, extradata);
        QFETCH(QByteArray, packet);
        QFETCH(int, nalLengthSize);
        QFETCH(bool, idr);
        QFETCH(bool, changed);
        ParameterSetScanner scanner(codec, extradata);
        QCOMPARE(scanner.nalLengthSize(), nalLengthSize);
        const NalScan scan = scanner.scanPacket(reinterpret_cast<const uint8_t *>(packet.constData()), int(packet.size()));
        QCOMPARE(scan.idr, idr);
        QCOMPARE(scan.changedParameterSets, changed);
    }

    void streamWithoutStoredSetsTakesItsFirstAsReference()
    {
        const QByteArray start = bytes({0, 0, 1});
        ParameterSetScanner scanner(NalCodec::H264, {});
        QCOMPARE(scanner.nalLengthSize(), 0);
        const auto scan = [&](const QByteArray &packet) {
            return scanner.scanPacket(reinterpret_cast<const uint8_t *>(packet.constData()), int(packet.size()));
        };
        QVERIFY(!scan(start + SpsA + start + Pps + start + IdrSlice).changedParameterSets);
        QVERIFY(!scan(start + SpsA + start + Pps + start + IdrSlice).changedParameterSets);
        QVERIFY(scan(start + SpsB + start + Pps + start + IdrSlice).changedParameterSets);

        // The extradata of a later packet counts as a change only when it brings new sets.
        const QByteArray sameAgain = avcConfiguration(4);
        QVERIFY(!ParameterSetScanner(NalCodec::H264, sameAgain)
                     .differsFromExtradata(reinterpret_cast<const uint8_t *>(sameAgain.constData()),
                                           int(sameAgain.size())));
        const QByteArray other = bytes({0, 0, 0, 1}) + SpsB;
        QVERIFY(ParameterSetScanner(NalCodec::H264, sameAgain)
                    .differsFromExtradata(reinterpret_cast<const uint8_t *>(other.constData()), int(other.size())));
    }

    void closedGopH264()
    {
        const MediaIndex index = scanMedia(file("h264-closed.mp4"));
        QVERIFY2(index.ok(), qPrintable(index.error));
        const VideoStream &video = index.video;
        QCOMPARE(video.codecName, QStringLiteral("h264"));
        QCOMPARE(video.profile, 100);
        QCOMPARE(video.width, 320);
        QCOMPARE(video.height, 240);
        QCOMPARE(video.pixelFormat, QStringLiteral("yuv420p"));
        QCOMPARE(video.nalLengthSize, 4);
        QCOMPARE(video.averageFrameRate.value(), 25.0);
        QVERIFY(video.timeBase.valid());
        QVERIFY(!video.extradata.isEmpty());
        QCOMPARE(index.formatName, QStringLiteral("mov,mp4,m4a,3gp,3g2,mj2"));
        QVERIFY(qAbs(index.durationMs - 6000) <= 50);
        QCOMPARE(index.fileSize, QFileInfo(file("h264-closed.mp4")).size());

        QCOMPARE(video.packets.size(), 150);
        QCOMPARE(video.startPts, qint64(0));
        QCOMPARE(idrFrames(video), (QList<qint64>{0, 50, 100}));
        QCOMPARE(keyFrames(video), idrFrames(video));

        // B-frames: decode order differs from display order, dts still rises strictly.
        const qint64 ticksPerFrame = video.timeBase.den / (25 * qint64(video.timeBase.num));
        std::vector<qint64> pts;
        bool reordered = false;
        for (int i = 0; i < video.packets.size(); ++i) {
            const VideoPacket &packet = video.packets[i];
            pts.push_back(packet.pts);
            QCOMPARE(packet.duration, ticksPerFrame);
            QVERIFY(!packet.changedParameterSets);
            if (i > 0) {
                QVERIFY(packet.dts > video.packets[i - 1].dts);
                reordered |= packet.pts < video.packets[i - 1].pts;
            }
        }
        QVERIFY(reordered);
        std::sort(pts.begin(), pts.end());
        for (int i = 0; i < int(pts.size()); ++i)
            QCOMPARE(pts[i], i * ticksPerFrame);
    }

    void aacAudio()
    {
        const MediaIndex index = scanMedia(file("h264-closed.mp4"));
        QVERIFY2(index.ok(), qPrintable(index.error));
        const AudioStream &audio = index.audio;
        QVERIFY(audio.index >= 0);
        QVERIFY(audio.index != index.video.index);
        QCOMPARE(audio.codecName, QStringLiteral("aac"));
        QCOMPARE(audio.sampleRate, 48000);
        QCOMPARE(audio.channels, 2);
        QCOMPARE(audio.frameSize, 1024);
        QCOMPARE(audio.timeBase.den, 48000);
        // 6 s of 1024-sample packets plus the encoder's priming packet.
        QVERIFY2(qAbs(audio.packets.size() - 6 * 48000 / 1024) <= 3, qPrintable(QString::number(audio.packets.size())));
        // Back to back, 1024 samples each but the trimmed last one.
        for (int i = 0; i + 1 < audio.packets.size(); ++i) {
            QCOMPARE(audio.packets[i].duration, qint64(1024));
            QCOMPARE(audio.packets[i + 1].pts, audio.packets[i].pts + 1024);
        }
        QVERIFY(audio.packets.last().duration > 0);
        QVERIFY(audio.startPts != NoTimestamp);

        const MediaIndex silent = scanMedia(file("h264-open.mp4"));
        QVERIFY(silent.ok());
        QCOMPARE(silent.audio.index, -1);
        QVERIFY(silent.audio.packets.isEmpty());
    }

    void randomAccessPoints_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("codec");
        QTest::addColumn<int>("nalLengthSize");
        QTest::addColumn<QList<qint64>>("idr");
        QTest::addColumn<QList<qint64>>("keyframes");

        const QList<qint64> gopStarts{0, 50, 100};
        QTest::newRow("x264 closed GOP") << "h264-closed.mp4" << "h264" << 4 << gopStarts << gopStarts;
        QTest::newRow("x264 open GOP: recovery points are not IDR")
            << "h264-open.mp4" << "h264" << 4 << QList<qint64>{0} << gopStarts;
        QTest::newRow("x265 closed GOP") << "hevc-closed.mp4" << "hevc" << 4 << gopStarts << gopStarts;
        QTest::newRow("x265 open GOP: CRA pictures are not IDR")
            << "hevc-open.mp4" << "hevc" << 4 << QList<qint64>{0} << gopStarts;
        QTest::newRow("VP9 has no IDR pictures") << "vp9.webm" << "vp9" << 0 << QList<qint64>{} << gopStarts;
    }

    void randomAccessPoints()
    {
        QFETCH(QString, name);
        QFETCH(QString, codec);
        QFETCH(int, nalLengthSize);
        QFETCH(QList<qint64>, idr);
        QFETCH(QList<qint64>, keyframes);

        const MediaIndex index = scanMedia(file(name));
        QVERIFY2(index.ok(), qPrintable(index.error));
        QCOMPARE(index.video.codecName, codec);
        QCOMPARE(index.video.nalLengthSize, nalLengthSize);
        QCOMPARE(index.video.packets.size(), 150);
        QCOMPARE(idrFrames(index.video), idr);
        QCOMPARE(keyFrames(index.video), keyframes);
    }

    // The packet list is what libavformat hands the ffmpeg programs for the same file.
    void packetsMatchFFprobe_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"h264-closed.mp4", "hevc-open.mp4", "vp9.webm", "joined.h264", "joined-hevc.mkv"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void packetsMatchFFprobe()
    {
        QFETCH(QString, name);
        const MediaIndex index = scanMedia(file(name));
        QVERIFY2(index.ok(), qPrintable(index.error));
        QStringList ours;
        for (const VideoPacket &packet : index.video.packets) {
            ours << QStringLiteral("%1,%2,%3")
                        .arg(timestampText(packet.pts), timestampText(packet.dts),
                             packet.keyframe ? QStringLiteral("K") : QStringLiteral("_"));
        }
        QStringList theirs;
        const QString csv = TestMedia::runFFprobe({"-select_streams", "v:0", "-show_entries",
                                                   "packet=pts,dts,flags", "-of", "csv=p=0", file(name)});
        for (const QString &line : csv.split('\n', Qt::SkipEmptyParts))
            theirs << line.trimmed().left(line.trimmed().lastIndexOf(',') + 2);
        QCOMPARE(ours, theirs);
    }

    void parameterSetsChangingMidStream_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("nalLengthSize");
        QTest::newRow("H.264 Annex B") << "joined.h264" << 0;
        QTest::newRow("H.264 avcC") << "joined-h264.mkv" << 4;
        QTest::newRow("HEVC hvcC") << "joined-hevc.mkv" << 4;
    }

    void parameterSetsChangingMidStream()
    {
        QFETCH(QString, name);
        QFETCH(int, nalLengthSize);
        const MediaIndex index = scanMedia(file(name));
        QVERIFY2(index.ok(), qPrintable(index.error));
        const VideoStream &video = index.video;
        QCOMPARE(video.nalLengthSize, nalLengthSize);
        QCOMPARE(video.width, 320);
        QCOMPARE(video.packets.size(), 150);
        // Every IDR repeats its half's parameter sets: the first half's repeat matches the
        // extradata, the second half's differ.
        QList<int> idrPackets;
        QList<int> changedPackets;
        for (int i = 0; i < video.packets.size(); ++i) {
            if (video.packets[i].idr)
                idrPackets << i;
            if (video.packets[i].changedParameterSets)
                changedPackets << i;
        }
        QCOMPARE(idrPackets, (QList<int>{0, 50, 75, 125}));
        QCOMPARE(changedPackets, (QList<int>{75, 125}));
    }

    // A file cut short states a length its packets never reach; one whose pictures merely end
    // before its sound does not.
    void filesCutShort_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("cut");
        QTest::addColumn<bool>("damaged");
        const QStringList picture{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=30:d=10"};
        const QStringList sound{"-f", "lavfi", "-i", "sine=d=10"};
        const QStringList h264{"-c:v", "libx264", "-preset", "ultrafast", "-g", "30"};
        const QStringList faststart{"-c:a", "aac", "-movflags", "+faststart"};
        QTest::newRow("whole") << "whole.mp4" << picture + sound + h264 + faststart << false << false;
        QTest::newRow("cut in half") << "half.mp4" << picture + sound + h264 + faststart << true << true;
        QTest::newRow("no sound, cut in half")
            << "mute half.mp4" << picture + h264 + QStringList{"-movflags", "+faststart"} << true << true;
        QTest::newRow("Matroska cut in half") << "half.mkv" << picture + sound + h264 + QStringList{"-c:a", "aac"}
                                              << true << true;
        QTest::newRow("pictures end before the sound")
            << "short video.mp4"
            << QStringList{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=30:d=4"} + sound + h264 + faststart << false
            << false;
    }
    void filesCutShort()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, arguments);
        QFETCH(bool, cut);
        QFETCH(bool, damaged);
        QVERIFY(TestMedia::runFFmpeg(arguments + QStringList{file(name)}));
        if (cut) {
            QFile media(file(name));
            QVERIFY(media.resize(media.size() / 2));
        }
        const Media::MediaIndex index = Media::scanMedia(file(name));
        QVERIFY2(index.ok(), qPrintable(index.error));
        const qint64 end = Media::picturesEndEarlyMs(index);
        const QString note = SmartCut::damagedFileNote(index);
        if (!damaged) {
            QCOMPARE(end, qint64(-1));
            QCOMPARE(note, QString());
            return;
        }
        QVERIFY2(end > 2500 && end < 7500, qPrintable(QString::number(end)));
        // The end of the last picture read.
        const auto &packets = index.video.packets;
        const qint64 last = std::max_element(packets.cbegin(), packets.cend(), [](const auto &a, const auto &b) {
                                return a.pts < b.pts;
                            })->pts;
        const double frameMs = 1000.0 / 30;
        const double lastMs = double(last) * index.video.timeBase.num * 1000 / index.video.timeBase.den
            - index.startTimeUs / 1000.0;
        QVERIFY2(qAbs(end - (lastMs + frameMs)) < 2, qPrintable(QStringLiteral("%1 %2").arg(end).arg(lastMs)));
        // Matroska states the sound's length, 20 ms past the pictures'.
        QVERIFY(index.durationMs >= 10000 && index.durationMs < 10100);
        QCOMPARE(note, QStringLiteral("This file is damaged: its pictures end at %1.%2 of 10.%3")
                           .arg(end / 1000, 2, 10, QLatin1Char('0'))
                           .arg(end % 1000 / 10, 2, 10, QLatin1Char('0'))
                           .arg(index.durationMs % 1000 / 10, 2, 10, QLatin1Char('0')));
    }

    void coverArtIsNotTheVideo()
    {
        const QString cover = file("cover.png");
        const QString path = file("with-cover.mp4");
        QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "testsrc2=s=1920x1080", "-frames:v", "1", cover}));
        QVERIFY(TestMedia::runFFmpeg({"-i", cover, "-i", file("h264-closed.mp4"), "-map", "0", "-map", "1",
                                      "-c", "copy", "-disposition:v:0", "attached_pic", path}));
        const MediaIndex index = scanMedia(path);
        QVERIFY2(index.ok(), qPrintable(index.error));
        QCOMPARE(index.video.codecName, QStringLiteral("h264"));
        QCOMPARE(index.video.width, 320);
        QCOMPARE(index.video.packets.size(), 150);
        QCOMPARE(index.audio.codecName, QStringLiteral("aac"));
    }

    void rotationAgreesWithExportProbe_data()
    {
        QTest::addColumn<QString>("rotate");
        QTest::addColumn<int>("rotation");
        QTest::newRow("none") << QString() << 0;
        QTest::newRow("90") << "90" << 90;
        QTest::newRow("180") << "180" << 180;
        QTest::newRow("270") << "270" << 270;
    }

    void rotationAgreesWithExportProbe()
    {
        QFETCH(QString, rotate);
        QFETCH(int, rotation);
        const QString path = file(QStringLiteral("phone%1.mp4").arg(rotate));
        QStringList args{"-i", file("h264-open.mp4"), "-c", "copy"};
        if (!rotate.isEmpty())
            args << "-metadata:s:v:0" << QStringLiteral("rotate=%1").arg(rotate);
        QVERIFY(TestMedia::runFFmpeg(args << path));

        const MediaIndex index = scanMedia(path);
        QVERIFY2(index.ok(), qPrintable(index.error));
        const SourceFacts facts = Media::readSourceFacts(path);
        QCOMPARE(index.video.rotation, facts.rotation);
        QCOMPARE(index.video.rotation, rotation);
        // The player's quick header read tells the same.
        QCOMPARE(readDisplayRotation(path), rotation);
    }

    // The pixel shape as the export's probe reads it: the container's word where it has one.
    void headerSampleAspect_data()
    {
        QTest::addColumn<QString>("container");
        QTest::addColumn<QStringList>("copyOptions");
        QTest::addColumn<int>("num");
        QTest::addColumn<int>("den");
        QTest::newRow("square") << "mp4" << QStringList() << 1 << 1;
        QTest::newRow("MP4 pixel aspect box") << "mp4" << QStringList{"-aspect", "4:3"} << 16 << 9;
        QTest::newRow("Matroska display size") << "mkv" << QStringList{"-aspect", "4:3"} << 16 << 9;
    }
    void headerSampleAspect()
    {
        QFETCH(QString, container);
        QFETCH(QStringList, copyOptions);
        QFETCH(int, num);
        QFETCH(int, den);
        const QString upright = file("tall.mp4");
        if (!QFileInfo::exists(upright))
            QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "testsrc=s=360x480:r=25:d=1", "-c:v", "libx264",
                                          "-preset", "ultrafast", upright}));
        const QString path = file(QStringLiteral("shaped.") + container);
        QVERIFY(TestMedia::runFFmpeg(QStringList{"-i", upright, "-c", "copy"} + copyOptions + QStringList{path}));
        const DisplayShape shape = readDisplayShape(path);
        QCOMPARE(shape.sampleAspect.num, num);
        QCOMPARE(shape.sampleAspect.den, den);
        const SourceFacts facts = Media::readSourceFacts(path);
        QCOMPARE(facts.pixelAspect, shape.sampleAspect.valid() ? shape.sampleAspect.value() : 1.0);
    }

    // The export's facts, read in process, say what ffprobe says of the same file.
    void sourceFactsAgreeWithFFprobe_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("make");
        const QStringList picture{"-f", "lavfi", "-i", "testsrc=s=320x240:r=25:d=2"};
        const QStringList sound{"-f", "lavfi", "-i", "sine=frequency=440:duration=2"};
        const QStringList h264{"-c:v", "libx264", "-preset", "ultrafast"};
        QTest::newRow("MP4 with sound") << "sound.mp4" << picture + sound + h264 + QStringList{"-shortest"};
        QTest::newRow("MPEG-TS starting late")
            << "late.ts" << picture + sound + h264 + QStringList{"-output_ts_offset", "1.4", "-shortest"};
        QTest::newRow("Matroska, no stated frame count") << "count.mkv" << picture + h264;
        QTest::newRow("sound only") << "sound.m4a" << sound + QStringList{"-c:a", "aac"};
        QTest::newRow("wide pixels, no sound")
            << "wide.mp4" << picture + h264 + QStringList{"-vf", "setsar=4/3"};
    }
    void sourceFactsAgreeWithFFprobe()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, make);
        const QString path = file(name);
        QVERIFY(TestMedia::runFFmpeg(make << path));
        const QJsonObject probed =
            QJsonDocument::fromJson(TestMedia::runFFprobe({"-v", "error", "-show_streams", "-show_format", "-of",
                                                           "json", path})
                                        .toUtf8())
                .object();
        QJsonObject video;
        bool sound = false;
        for (const QJsonValue &stream : probed.value("streams").toArray()) {
            const QString type = stream.toObject().value("codec_type").toString();
            if (type == "video" && video.isEmpty())
                video = stream.toObject();
            sound = sound || type == "audio";
        }
        const QJsonObject format = probed.value("format").toObject();
        const auto us = [](const QJsonValue &seconds) { return qRound64(seconds.toString().toDouble() * 1e6); };

        const SourceFacts facts = Media::readSourceFacts(path);
        QCOMPARE(facts.hasAudio, sound);
        QCOMPARE(facts.durationMs, qRound64(format.value("duration").toString().toDouble() * 1000));
        QCOMPARE(facts.sizeKnown, !video.isEmpty());
        if (video.isEmpty())
            return;
        QCOMPARE(QSize(facts.width, facts.height), QSize(video.value("width").toInt(), video.value("height").toInt()));
        QVERIFY(qAbs(facts.firstFrameUs - (us(video.value("start_time")) - us(format.value("start_time")))) <= 1);
        const QString sar = video.value("sample_aspect_ratio").toString();
        QCOMPARE(facts.pixelAspect, sar == "4:3" ? 4.0 / 3 : 1.0);
        QCOMPARE(facts.frameRate, 25.0);
        QVERIFY(facts.constantRate());
        // Stated by MP4, worked out from the stream's duration where it has one, else unknown
        // (Matroska states neither).
        const qint64 expectedFrames = video.contains("nb_frames") ? video.value("nb_frames").toString().toLongLong()
            : video.contains("duration")                          ? qRound64(video.value("duration").toString().toDouble() * 25)
                                                                  : -1;
        QCOMPARE(facts.frameCount, expectedFrames);
        if (!name.endsWith(".mkv"))
            QCOMPARE(facts.frameCount, qint64(50));
    }

    void headerRotationOfUnreadableFiles()
    {
        QCOMPARE(readDisplayRotation(file("no-such-file.mp4")), 0);
        const QString text = file("words.mp4");
        QFile out(text);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("Not a video at all.\n");
        out.close();
        QCOMPARE(readDisplayRotation(text), 0);
        // A cancelled read gives up rather than answer.
        const QString rotated = file("turned90.mp4");
        QVERIFY(TestMedia::runFFmpeg(
            {"-i", file("h264-open.mp4"), "-c", "copy", "-metadata:s:v:0", "rotate=90", rotated}));
        QCOMPARE(readDisplayRotation(rotated), 90);
        const std::atomic<bool> cancel{true};
        QCOMPARE(readDisplayRotation(rotated, &cancel), 0);
    }

    void unreadableFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing") << "missing.mp4" << QByteArray() << "File not found";
        QTest::newRow("text named mp4") << "notes.mp4" << QByteArray("Not a video at all, just some words.\n")
                                        << "Cannot open file";
        QTest::newRow("empty") << "empty.mp4" << QByteArray("") << "Cannot open file";
        QTest::newRow("directory") << "folder" << QByteArray() << "Not a file";
        QTest::newRow("audio only") << "sound.m4a" << QByteArray() << "No video stream";
    }

    void unreadableFiles()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        const QString path = file(name);
        if (name == "folder") {
            QVERIFY(QDir(m_dir.path()).mkpath(name));
        } else if (name == "sound.m4a") {
            QVERIFY(TestMedia::runFFmpeg({"-f", "lavfi", "-i", "sine=d=1", "-c:a", "aac", path}));
        } else if (!content.isNull()) {
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(content);
        }
        const MediaIndex index = scanMedia(path);
        QVERIFY(!index.ok());
        QCOMPARE(index.error, error);
        QVERIFY(index.video.packets.isEmpty());
    }

    void progressAndCancel()
    {
        QList<int> reports;
        const MediaIndex whole =
            scanMedia(file("h264-closed.mp4"), nullptr, [&reports](int percent) { reports << percent; });
        QVERIFY(whole.ok());
        QVERIFY(!reports.isEmpty());
        QVERIFY(reports.size() <= 101);
        QVERIFY(std::is_sorted(reports.begin(), reports.end()));
        QCOMPARE(reports.first(), 0);
        QCOMPARE(reports.last(), 100);

        std::atomic<bool> cancel{true};
        const MediaIndex before = scanMedia(file("h264-closed.mp4"), &cancel);
        QCOMPARE(before.error, QStringLiteral("Canceled"));

        // Canceled from inside the scan, once it is under way.
        cancel = false;
        int calls = 0;
        const MediaIndex during = scanMedia(file("h264-closed.mp4"), &cancel, [&](int) {
            if (++calls == 2)
                cancel = true;
        });
        QCOMPARE(during.error, QStringLiteral("Canceled"));
        QCOMPARE(calls, 2);
    }

    void cacheKeepsScansOfUnchangedFiles()
    {
        MediaIndexCache &cache = MediaIndexCache::instance();
        cache.clear();
        const QString path = file("cached.mp4");
        QVERIFY(QFile::copy(file("hevc-closed.mp4"), path));

        QVERIFY(!cache.cached(path));
        const auto first = cache.get(path);
        QVERIFY(first && first->ok());
        QCOMPARE(cache.get(path), first);
        QCOMPARE(cache.cached(path), first);

        // Rewritten with other content: a new scan, not the old entry.
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::copy(file("h264-closed.mp4"), path));
        QVERIFY(!cache.cached(path));
        const auto second = cache.get(path);
        QVERIFY(second && second->ok());
        QVERIFY(second != first);
        QCOMPARE(second->video.codecName, QStringLiteral("h264"));
        QCOMPARE(second->fileSize, QFileInfo(path).size());
        QCOMPARE(first->video.codecName, QStringLiteral("hevc"));

        // Failures and cancelled scans are not kept.
        const auto missing = cache.get(file("nowhere.mp4"));
        QVERIFY(missing && !missing->ok());
        QVERIFY(!cache.cached(file("nowhere.mp4")));
        cache.clear();
        std::atomic<bool> cancel{true};
        QCOMPARE(cache.get(path, &cancel)->error, QStringLiteral("Canceled"));
        QVERIFY(!cache.cached(path));
        cache.clear();
    }

    void cacheIsSafeAcrossThreads()
    {
        MediaIndexCache &cache = MediaIndexCache::instance();
        cache.clear();
        const QStringList paths{file("h264-closed.mp4"), file("hevc-open.mp4"), file("vp9.webm")};
        std::vector<std::shared_ptr<const MediaIndex>> results(8);
        std::vector<std::thread> threads;
        for (int t = 0; t < int(results.size()); ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < 3; ++round)
                    results[t] = cache.get(paths[t % paths.size()]);
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        for (int t = 0; t < int(results.size()); ++t) {
            QVERIFY(results[t] && results[t]->ok());
            QCOMPARE(results[t]->video.packets.size(), 150);
            QCOMPARE(cache.cached(paths[t % paths.size()]), cache.get(paths[t % paths.size()]));
        }
        cache.clear();
    }
};

QTEST_GUILESS_MAIN(TestMediaIndex)
#include "tst_mediaindex.moc"
