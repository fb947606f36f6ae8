#include "piececommand.h"
#include "smartcutplan.h"
#include "smartexportjob.h"
#include "streamjoiner.h"

#include <QtTest>

#include <cmath>

using namespace SmartCut;

namespace {

// A closed-GOP stream of `frames` frames at 25 fps (time base 1/1000), IDR every `gop`
// frames, each GOP coded as I P B (B shown before P), the way encoders reorder.
Media::MediaIndex closedGops(int frames, int gop)
{
    Media::MediaIndex index;
    index.formatName = QStringLiteral("mov,mp4,m4a,3gp,3g2,mj2");
    Media::VideoStream &v = index.video;
    v.index = 0;
    v.codecName = QStringLiteral("h264");
    v.width = 320;
    v.height = 240;
    v.pixelFormat = QStringLiteral("yuv420p");
    v.nalLengthSize = 4;
    v.timeBase = {1, 1000};
    v.startPts = 0;
    for (int start = 0; start < frames; start += gop) {
        const int end = qMin(frames, start + gop);
        // Decode order within a GOP: I, then pairs (P at k+1 before B at k).
        QVector<int> order{start};
        for (int k = start + 1; k < end; k += 2) {
            if (k + 1 < end)
                order << k + 1 << k;
            else
                order << k;
        }
        for (int f : order) {
            Media::VideoPacket p;
            p.pts = f * 40;
            p.dts = (v.packets.size() - 1) * 40;
            p.duration = 40;
            p.keyframe = p.idr = f == start;
            v.packets.append(p);
        }
    }
    return index;
}

FrameTable tableOf(const Media::MediaIndex &index)
{
    FrameTable table;
    QString error;
    if (!buildFrameTable(index, table, &error))
        qWarning() << error;
    return table;
}

QByteArray avcc(const QByteArray &sps, const QByteArray &pps)
{
    QByteArray out = QByteArray::fromHex("0164001fff");
    out.append(char(0xe1));
    out.append(char(sps.size() >> 8)).append(char(sps.size() & 0xff)).append(sps);
    out.append(char(1));
    out.append(char(pps.size() >> 8)).append(char(pps.size() & 0xff)).append(pps);
    return out;
}

} // namespace

class TestSmartCut : public QObject {
    Q_OBJECT
private slots:
    void frameTableFindsCleanStarts()
    {
        const FrameTable table = tableOf(closedGops(40, 10));
        QCOMPARE(table.frameCount(), 40);
        for (int f = 0; f < 40; ++f)
            QCOMPARE(table.cleanStart[f], f % 10 == 0);
        QCOMPARE(table.endPts, 1600);
        QCOMPARE(table.typicalGop(), 10);
        // Display order maps back to the packets that hold each frame.
        const Media::MediaIndex index = closedGops(40, 10);
        for (int f = 0; f < 40; ++f)
            QCOMPARE(index.video.packets[table.decodeIndex[f]].pts, qint64(f * 40));
    }

    void openGopIsNoCleanStart()
    {
        Media::MediaIndex index = closedGops(60, 10);
        // A picture decoded after the IDR of frame 20 but shown before it: it needs
        // the GOP before, so no copy may start at that IDR.
        auto &packets = index.video.packets;
        QCOMPARE(packets[21].pts, qint64(22 * 40));
        packets[21].pts = 19 * 40 + 20;
        const FrameTable table = tableOf(index);
        QVERIFY(table.cleanStart[10]);
        QVERIFY(!table.cleanStart[20]);
        QVERIFY(table.cleanStart[30]);
        const Plan plan = planSmartCut(table, {{15, 60}}, {false});
        QCOMPARE(plan.segments.size(), 2);
        QCOMPARE(plan.segments[0], (Segment{Segment::Encode, {15, 30}, 0}));
        QCOMPARE(plan.segments[1], (Segment{Segment::Copy, {30, 60}, 0}));

        Media::MediaIndex onlyFirst = closedGops(30, 10);
        for (int i = 1; i < onlyFirst.video.packets.size(); ++i)
            onlyFirst.video.packets[i].idr = false;
        const FrameTable single = tableOf(onlyFirst);
        QVERIFY(smartCutBlocker(onlyFirst, &single).contains(QLatin1String("can start from")));
    }

    void frameTableRefusesMissingOrRepeatedTimestamps()
    {
        Media::MediaIndex index = closedGops(20, 10);
        index.video.packets[5].pts = Media::NoTimestamp;
        FrameTable table;
        QString error;
        QVERIFY(!buildFrameTable(index, table, &error));
        QVERIFY(!error.isEmpty());
        index = closedGops(20, 10);
        index.video.packets[5].pts = index.video.packets[6].pts;
        QVERIFY(!buildFrameTable(index, table, &error));
    }

    void framesInRange_data()
    {
        QTest::addColumn<int>("num");
        QTest::addColumn<int>("den");
        QTest::addColumn<qint64>("ticksPerFrame");
        QTest::addColumn<qint64>("startUs");
        QTest::addColumn<qint64>("startMs");
        QTest::addColumn<qint64>("endMs");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("end");
        // 25 fps in 1/12800.
        QTest::newRow("between frames") << 1 << 12800 << qint64(512) << qint64(0) << qint64(2030) << qint64(4510) << 51 << 113;
        QTest::newRow("on frames") << 1 << 12800 << qint64(512) << qint64(0) << qint64(2000) << qint64(4000) << 50 << 100;
        QTest::newRow("shorter than a frame") << 1 << 12800 << qint64(512) << qint64(0) << qint64(2001) << qint64(2039) << 51 << 51;
        QTest::newRow("reversed") << 1 << 12800 << qint64(512) << qint64(0) << qint64(3000) << qint64(1000) << 75 << 75;
        // 30000/1001 fps: frame 30 lies at 1001 ms, frame 29 at 967.6 ms.
        QTest::newRow("ntsc") << 1001 << 30000 << qint64(1) << qint64(0) << qint64(1000) << qint64(1002) << 30 << 31;
        // A file whose time 0 lies 7 ms before its first frame.
        QTest::newRow("start offset") << 1 << 1000 << qint64(40) << qint64(-7000) << qint64(1030) << qint64(1047) << 26 << 26;
        QTest::newRow("start offset 2") << 1 << 1000 << qint64(40) << qint64(-7000) << qint64(1030) << qint64(1048) << 26 << 27;
    }

    void framesInRange()
    {
        QFETCH(int, num);
        QFETCH(int, den);
        QFETCH(qint64, ticksPerFrame);
        QFETCH(qint64, startUs);
        QFETCH(qint64, startMs);
        QFETCH(qint64, endMs);
        QFETCH(int, first);
        QFETCH(int, end);
        Media::MediaIndex index = closedGops(300, 30);
        index.video.timeBase = {num, den};
        index.startTimeUs = startUs;
        for (Media::VideoPacket &p : index.video.packets) {
            p.pts = p.pts / 40 * ticksPerFrame;
            p.dts = p.dts / 40 * ticksPerFrame;
        }
        const FrameTable table = tableOf(index);
        const FrameRange range = SmartCut::framesInRange(table, startMs, endMs);
        QCOMPARE(range.first, first);
        QCOMPARE(range.end, end);
    }

    void planCopiesWholeGopsBetweenEncodedEnds()
    {
        const FrameTable table = tableOf(closedGops(200, 10));
        // Frames 5..64: head 5..9, copy 10..59, tail 60..64.
        Plan plan = planSmartCut(table, {{5, 65}}, {false});
        QCOMPARE(plan.segments.size(), 3);
        QCOMPARE(plan.segments[0], (Segment{Segment::Encode, {5, 10}, 0}));
        QCOMPARE(plan.segments[1], (Segment{Segment::Copy, {10, 60}, 0}));
        QCOMPARE(plan.segments[2], (Segment{Segment::Encode, {60, 65}, 0}));
        QCOMPARE(plan.copiedFrames, 50);
        QCOMPARE(plan.encodedFrames, 10);

        // On keyframes at both ends nothing is encoded; to the stream's end counts as one.
        plan = planSmartCut(table, {{20, 60}, {170, 200}}, {false, false});
        QCOMPARE(plan.segments.size(), 2);
        QCOMPARE(plan.segments[0], (Segment{Segment::Copy, {20, 60}, 0}));
        QCOMPARE(plan.segments[1], (Segment{Segment::Copy, {170, 200}, 1}));
        QCOMPARE(plan.encodedFrames, 0);
    }

    void planEncodesShortOrFilteredOrMostlyEncodedParts()
    {
        const FrameTable table = tableOf(closedGops(200, 10));
        // Shorter than two GOPs; filtered; more than half would be encoded; empty.
        const Plan plan = planSmartCut(table, {{3, 21}, {30, 90}, {101, 129}, {140, 140}}, {false, true, false, false});
        QCOMPARE(plan.parts.size(), 3);
        QCOMPARE(plan.clipOfPart, (QVector<int>{0, 1, 2}));
        QCOMPARE(plan.segments.size(), 3);
        for (const Segment &s : plan.segments)
            QCOMPARE(s.kind, Segment::Encode);
        QCOMPARE(plan.segments[2].frames, (FrameRange{101, 129}));
        QCOMPARE(plan.copiedFrames, 0);
    }

    void blockerNamesWhatStopsACopy_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("fieldOrder");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<int>("frames");
        QTest::addColumn<QString>("expected");
        const QString mp4 = "mov,mp4,m4a,3gp,3g2,mj2";
        QTest::newRow("h264 mp4") << "h264" << mp4 << 1 << false << 60 << "";
        QTest::newRow("hevc mkv") << "hevc" << "matroska,webm" << 0 << false << 60 << "";
        QTest::newRow("vp9") << "vp9" << "matroska,webm" << 1 << false << 60 << "VP9";
        QTest::newRow("mpeg-ts") << "h264" << "mpegts" << 1 << false << 60 << "MP4, MOV and MKV";
        QTest::newRow("interlaced") << "h264" << mp4 << 3 << false << 60 << "interlaced";
        QTest::newRow("changing") << "h264" << mp4 << 1 << true << 60 << "settings change";
        QTest::newRow("a single picture") << "h264" << mp4 << 1 << false << 1 << "a single picture";
    }

    void blockerNamesWhatStopsACopy()
    {
        QFETCH(QString, codec);
        QFETCH(QString, format);
        QFETCH(int, fieldOrder);
        QFETCH(bool, changed);
        QFETCH(int, frames);
        QFETCH(QString, expected);
        Media::MediaIndex index = closedGops(frames, 10);
        index.video.codecName = codec;
        index.formatName = format;
        index.video.fieldOrder = fieldOrder;
        if (changed)
            index.video.packets[30].changedParameterSets = true;
        const FrameTable table = tableOf(index);
        const QString reason = smartCutBlocker(index, &table);
        if (expected.isEmpty()) {
            QVERIFY2(reason.isEmpty(), qPrintable(reason));
            QVERIFY(originalQualitySummary(&index, {}).contains(QLatin1String("copied unchanged")));
        } else {
            QVERIFY2(reason.contains(expected), qPrintable(reason));
            QVERIFY(originalQualitySummary(&index, {})
                        .startsWith(QLatin1String("Original Quality: This video's format needs the whole video "
                                                  "encoded again; this takes longer, because ")));
        }
        QVERIFY(originalQualitySummary(nullptr, {}).endsWith(QLatin1String("...")));
    }

    void decodeTimestampsRiseAndPrecedeTheirPictures()
    {
        // x264's order with pyramid B-frames: I0 P4 B2 b1 b3 P8 B6 b5 b7 ...
        QVector<int> order{0};
        for (int group = 0; group < 20; ++group) {
            const int base = group * 4;
            order << base + 4 << base + 2 << base + 1 << base + 3;
        }
        // MP4 at 1/12800: the source's own dts (two frames back) come out again.
        QVector<qint64> pts;
        for (int frame : order)
            pts << frame * 512;
        QVector<qint64> dts = StreamJoiner::decodeTimestamps(pts);
        QCOMPARE(dts.size(), pts.size());
        for (int i = 0; i < dts.size(); ++i)
            QCOMPARE(dts[i], qint64(i - 2) * 512);

        // Matroska at 30000/1001 in whole milliseconds, frames 33 and 34 ms apart, and a
        // second stretch joined 7 s on (a copied part after another).
        pts.clear();
        for (int frame : order)
            pts << std::llround(frame * 1001.0 / 30.0);
        const int firstStretch = int(pts.size());
        for (int i = 0; i < firstStretch; ++i)
            pts << pts[i] + 7000;
        dts = StreamJoiner::decodeTimestamps(pts);
        QCOMPARE(dts.size(), pts.size());
        for (int i = 0; i < dts.size(); ++i) {
            QVERIFY2(dts[i] <= pts[i], qPrintable(QString::number(i)));
            if (i > 0)
                QVERIFY2(dts[i] > dts[i - 1], qPrintable(QString::number(i)));
        }
        // No more delay than the reordering needs: two frames, the longer ones.
        QCOMPARE(pts[0] - dts[0], qint64(67));

        pts[3] = pts[5];
        QVERIFY(StreamJoiner::decodeTimestamps(pts).isEmpty());
    }

    // Every reason and note reads to someone who has never heard of codecs, and says what
    // becomes of the sound.
    void reasonsAndNotesInPlainWords()
    {
        QStringList texts;
        auto blocked = [&texts](Media::MediaIndex index, bool withTable = true) {
            FrameTable table;
            QString error;
            if (withTable && index.ok() && !buildFrameTable(index, table, &error)) {
                texts << error;
                return;
            }
            const QString reason = smartCutBlocker(index, withTable && index.ok() ? &table : nullptr);
            QVERIFY(!reason.isEmpty());
            texts << reason << originalQualitySummary(&index, {}) << SmartExportJob::fallbackNote(reason);
        };
        Media::MediaIndex index = closedGops(60, 10);
        index.error = QStringLiteral("Invalid data found when processing input");
        blocked(index, false);
        index = closedGops(60, 10);
        index.video.index = -1;
        blocked(index);
        for (const char *codec : {"vp9", "mpeg2video", "av1"}) {
            index = closedGops(60, 10);
            index.video.codecName = QLatin1String(codec);
            blocked(index);
        }
        QVERIFY(texts.last().contains(QLatin1String("(AV1)")));
        index = closedGops(60, 10);
        index.formatName = QStringLiteral("mpegts");
        blocked(index);
        index = closedGops(60, 10);
        index.video.nalLengthSize = 0;
        blocked(index);
        index = closedGops(60, 10);
        index.video.fieldOrder = 4;
        blocked(index);
        index = closedGops(60, 10);
        index.video.packets[20].changedParameterSets = true;
        blocked(index);
        index = closedGops(60, 10);
        index.video.pixelFormat.clear();
        blocked(index);
        index = closedGops(60, 10);
        for (int i = 1; i < index.video.packets.size(); ++i)
            index.video.packets[i].idr = false;
        blocked(index);
        index = closedGops(60, 10);
        index.video.packets[7].pts = Media::NoTimestamp;
        blocked(index);
        index = closedGops(60, 10);
        index.video.packets[7].pts = index.video.packets[8].pts;
        blocked(index);
        index = closedGops(60, 10);
        index.video.rotation = 90;
        Clip grey;
        grey.hasEffects = grey.grayscale = true;
        texts << originalQualitySummary(&index, {grey});
        QVERIFY(texts.last().contains(rotatedWithFiltersReason()));

        // Sound: AAC is copied; Opus and the like become AAC, MP3 stays MP3; muted, nothing to say.
        index = closedGops(60, 10);
        const QString allCopied = originalQualitySummary(&index, {});
        QVERIFY(allCopied.contains(QLatin1String("the rest is copied unchanged")));
        index.audio.index = 1;
        index.audio.codecName = QStringLiteral("aac");
        QCOMPARE(originalQualitySummary(&index, {}), allCopied);
        index.audio.codecName = QStringLiteral("opus");
        const QString opus = originalQualitySummary(&index, {});
        QVERIFY2(opus.contains(QLatin1String("the sound (Opus) is encoded again as AAC"))
                     && !opus.contains(QLatin1String("the rest is copied")),
                 qPrintable(opus));
        QCOMPARE(originalQualitySummary(&index, {}, false), allCopied);
        index.audio.codecName = QStringLiteral("mp3");
        QVERIFY(originalQualitySummary(&index, {}).contains(QLatin1String("the sound (MP3) is encoded again as MP3")));
        index.audio.codecName = QStringLiteral("pcm_s16le");
        texts << opus << originalQualitySummary(&index, {}) << allCopied << SmartExportJob::smartNote()
              << SmartExportJob::smartNote(QStringLiteral("vorbis"), soundEncodedAs(index.audio));
        QVERIFY(texts.last().contains(QLatin1String("the sound (Vorbis) was encoded again as AAC")));

        static const QStringList jargon{"gop", "keyframe", "container", "stream", "codec", "re-encod",
                                        "timestamp", "packet", "parameter", "nal unit", "pixel format", "index"};
        QCOMPARE(texts.size(), 41);
        for (const QString &text : std::as_const(texts)) {
            for (const QString &word : jargon)
                QVERIFY2(!text.contains(word, Qt::CaseInsensitive), qPrintable(text));
        }
    }

    void annexBBecomesLengthPrefixed()
    {
        const QByteArray annexB = QByteArray::fromHex("00000001" "6742" "000001" "68ce" "0000000165" "aabbcc" "00");
        QCOMPARE(StreamJoiner::annexBToLengthPrefixed(annexB, 4),
                 QByteArray::fromHex("00000002" "6742" "00000002" "68ce" "00000004" "65aabbcc"));
        QCOMPARE(StreamJoiner::annexBToLengthPrefixed(annexB, 1), QByteArray::fromHex("026742" "0268ce" "0465aabbcc"));
        // A unit too long for a two-byte length cannot be stored.
        QByteArray big = QByteArray::fromHex("00000165");
        big.append(QByteArray(70000, '\x11'));
        QVERIFY(StreamJoiner::annexBToLengthPrefixed(big, 2).isEmpty());
        QCOMPARE(StreamJoiner::annexBToLengthPrefixed(big, 4).size(), 4 + 70001);
    }

    void parameterSetsAndTheirIds()
    {
        // SPS id 0 (ue "1") and PPS id 0 referring to SPS 0.
        const QByteArray sps0 = QByteArray::fromHex("6764001facd9") + QByteArray(1, char(0x80));
        const QByteArray pps0 = QByteArray::fromHex("68ce3c80");
        QCOMPARE(PieceCommand::h264ParameterSetIds(avcc(sps0, pps0)), (QList<int>{0}));
        QCOMPARE(PieceCommand::unusedParameterSetId(avcc(sps0, pps0)), 1);
        // SPS id 1 (ue "010"), PPS id 2 (ue "011") on SPS 1.
        const QByteArray sps1 = QByteArray::fromHex("6764001f40");
        const QByteArray pps2 = QByteArray::fromHex("68" "68");
        QCOMPARE(PieceCommand::h264ParameterSetIds(avcc(sps1, pps2)), (QList<int>{1, 2}));
        QCOMPARE(PieceCommand::unusedParameterSetId(avcc(sps1, pps2)), 3);

        const QByteArray sets = StreamJoiner::parameterSetsFromExtradata(avcc(sps0, pps0), false, 4);
        QCOMPARE(sets, QByteArray::fromHex("00000007") + sps0 + QByteArray::fromHex("00000004") + pps0);
        QVERIFY(StreamJoiner::parameterSetsFromExtradata(QByteArray::fromHex("0164"), false, 4).isEmpty());
    }

    void piecesMatchTheSourceProfile_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::addColumn<int>("profile");
        QTest::addColumn<QString>("pixelFormat");
        QTest::addColumn<QString>("encoder");
        QTest::addColumn<QString>("expectedProfile");
        QTest::newRow("constrained baseline") << "h264" << (66 | (1 << 9)) << "yuv420p" << "libx264" << "baseline";
        QTest::newRow("main") << "h264" << 77 << "yuv420p" << "libx264" << "main";
        QTest::newRow("high") << "h264" << 100 << "yuv420p" << "libx264" << "high";
        QTest::newRow("high 10") << "h264" << 110 << "yuv420p10le" << "libx264" << "high10";
        QTest::newRow("hevc main") << "hevc" << 1 << "yuv420p" << "libx265" << "main";
        QTest::newRow("hevc main 10") << "hevc" << 2 << "yuv420p10le" << "libx265" << "main10";
    }

    void piecesMatchTheSourceProfile()
    {
        QFETCH(QString, codec);
        QFETCH(int, profile);
        QFETCH(QString, pixelFormat);
        QFETCH(QString, encoder);
        QFETCH(QString, expectedProfile);
        Media::VideoStream stream;
        stream.codecName = codec;
        stream.profile = profile;
        stream.level = codec == QLatin1String("hevc") ? 93 : 31;
        stream.pixelFormat = pixelFormat;
        stream.timeBase = {1, 12800};
        stream.colorPrimaries = 1;
        const QStringList args = PieceCommand::encoderArguments(stream, 3, 16);
        QCOMPARE(args.at(args.indexOf("-c:v") + 1), encoder);
        QCOMPARE(args.at(args.indexOf("-profile:v") + 1), expectedProfile);
        QCOMPARE(args.at(args.indexOf("-pix_fmt") + 1), pixelFormat);
        QCOMPARE(args.at(args.indexOf("-color_primaries") + 1), QStringLiteral("bt709"));
        const QString params = args.filter(QRegularExpression("level")).value(0);
        QVERIFY2(params.contains(codec == QLatin1String("hevc") ? "level-idc=3.1" : "level=3.1"), qPrintable(params));
        if (codec == QLatin1String("h264"))
            QVERIFY(params.contains(QLatin1String("sps-id=3")));
    }
};

QTEST_GUILESS_MAIN(TestSmartCut)
#include "tst_smartcut.moc"
