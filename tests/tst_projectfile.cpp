#include "cliplist.h"
#include "projectfile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <limits>

using Kind = MessageKind;

namespace {

const QStringList baseClipKeys = {"startTime", "endTime", "originalStart", "originalEnd", "isMarked",
                                  "name", "color", "titleText", "showTitle", "titleDurationMode",
                                  "customDuration", "titleAtTop", "titleFontSize", "titleColor"};
const QStringList effectKeys = {"blurIntensity", "brightness", "contrast", "saturation", "opacity",
                                "fadeInDuration", "fadeOutDuration", "grayscale", "sepia", "rotation"};

Clip fullClip()
{
    Clip c;
    c.startTime = 1000;
    c.endTime = 4000;
    c.originalStart = 21000;
    c.originalEnd = 24000;
    c.isMarked = true;
    c.name = QStringLiteral("Intro «naïve» \"quoted\"");
    c.color = QColor(40, 167, 69);
    c.titleText = QStringLiteral("Hello\nworld");
    c.showTitle = true;
    c.titleDurationMode = 1;
    c.customDuration = 4500;
    c.titleAtTop = false;
    c.titleFontSize = 72;
    c.titleColor = QColor(0x12, 0xab, 0xef);
    c.blurIntensity = 35;
    c.brightness = -20;
    c.contrast = 15;
    c.saturation = -100;
    c.opacity = 60;
    c.fadeInDuration = 2000;
    c.fadeOutDuration = 3000;
    c.grayscale = true;
    c.sepia = true;
    c.rotation = 270;
    c.hasEffects = true;
    return c;
}

QByteArray projectWithClip(const QByteArray &clipJson)
{
    return "{\"version\": \"1.0\", \"videoPath\": \"/videos/a.mp4\", \"clips\": [" + clipJson + "]}";
}

// One field of a clip by its name, as the data tables name them.
QVariant field(const Clip &c, const QString &name)
{
    const QHash<QString, QVariant> fields = {
        {"startTime", c.startTime},           {"endTime", c.endTime},
        {"originalStart", c.originalStart},   {"originalEnd", c.originalEnd},
        {"isMarked", c.isMarked},             {"name", c.name},
        {"color", c.color.isValid() ? c.color.name() : QStringLiteral("invalid")},
        {"titleText", c.titleText},           {"showTitle", c.showTitle},
        {"titleDurationMode", c.titleDurationMode}, {"customDuration", c.customDuration},
        {"titleAtTop", c.titleAtTop},         {"titleFontSize", c.titleFontSize},
        {"titleColor", c.titleColor.isValid() ? c.titleColor.name() : QStringLiteral("invalid")},
        {"hasEffects", c.hasEffects},         {"blurIntensity", c.blurIntensity},
        {"brightness", c.brightness},         {"contrast", c.contrast},
        {"saturation", c.saturation},         {"opacity", c.opacity},
        {"fadeInDuration", c.fadeInDuration}, {"fadeOutDuration", c.fadeOutDuration},
        {"grayscale", c.grayscale},           {"sepia", c.sepia},
        {"rotation", c.rotation},
    };
    return fields.value(name);
}

} // namespace

class TestProjectFile : public QObject {
    Q_OBJECT
private slots:
    void writesIndentedDocumentWithEveryKey()
    {
        ClipList clips{fullClip(), makeFirstClip(9000)};
        const QByteArray bytes = ProjectFile::write(QStringLiteral("/videos/my film.mp4"), 123456789012, clips);

        // Four spaces per level: top-level keys at 4, clip objects at 8, their keys at 12.
        QVERIFY(bytes.contains("\n    \"version\": \"1.0\""));
        QVERIFY(bytes.contains("\n        {\n            \""));
        QVERIFY(!bytes.contains('\t'));

        const QJsonObject root = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(root.value("version").toString(), QStringLiteral("1.0"));
        QCOMPARE(root.value("videoPath").toString(), QStringLiteral("/videos/my film.mp4"));
        QCOMPARE(root.value("duration").toInteger(), 123456789012);
        const QJsonArray array = root.value("clips").toArray();
        QCOMPARE(array.size(), 2);
        const QJsonObject first = array.at(0).toObject();
        QStringList keys = first.keys();
        QStringList expected = baseClipKeys + effectKeys;
        keys.sort();
        expected.sort();
        QCOMPARE(keys, expected);
        QCOMPARE(first.value("color").toString(), QStringLiteral("#28a745"));
        QCOMPARE(first.value("titleColor").toString(), QStringLiteral("#12abef"));
        QCOMPARE(first.value("originalStart").toInteger(), 21000);
        QCOMPARE(first.value("rotation").toInt(), 270);
        QCOMPARE(first.value("sepia").toBool(), true);
        // List order, not source order.
        QCOMPARE(array.at(1).toObject().value("name").toString(), QStringLiteral("Part 1"));
    }

    void writesColoursAsSixDigits_data()
    {
        QTest::addColumn<QColor>("color");
        QTest::addColumn<QColor>("titleColor");
        QTest::addColumn<QString>("writtenColor");
        QTest::addColumn<QString>("writtenTitleColor");
        QTest::newRow("opaque") << QColor(70, 130, 180) << QColor(255, 0, 0) << "#4682b4" << "#ff0000";
        QTest::newRow("alpha is dropped") << QColor(1, 2, 3, 40) << QColor(10, 20, 30, 0) << "#010203" << "#0a141e";
        QTest::newRow("invalid title colour is written white") << QColor(0, 0, 255) << QColor() << "#0000ff" << "#ffffff";
    }
    void writesColoursAsSixDigits()
    {
        QFETCH(QColor, color);
        QFETCH(QColor, titleColor);
        Clip c;
        c.color = color;
        c.titleColor = titleColor;
        const QJsonObject object = ProjectFile::clipToJson(c);
        QTEST(object.value("color").toString(), "writtenColor");
        QTEST(object.value("titleColor").toString(), "writtenTitleColor");
    }

    void roundTripKeepsEveryField()
    {
        Clip reversed = fullClip();
        reversed.originalStart = 9000;
        reversed.originalEnd = 3000;
        reversed.startTime = -50;
        reversed.titleDurationMode = 7;
        reversed.customDuration = -1;
        Clip plain = makeFirstClip(5000);
        const ClipList clips{fullClip(), reversed, plain};

        const ProjectFile::ReadResult result =
            ProjectFile::read(ProjectFile::write(QStringLiteral("/v/ü ñ.mp4"), 5000, clips));
        QVERIFY(result.ok());
        QVERIFY(!result.warning);
        QCOMPARE(result.videoPath, QStringLiteral("/v/ü ñ.mp4"));
        QCOMPARE(result.clips.size(), 3);
        for (int i = 0; i < clips.size(); ++i)
            QCOMPARE(result.clips[i], clips[i]);
    }

    // A newer version's keys, at the top and in a part, come back on save; ours win over them.
    void unknownKeysAreWrittenBack()
    {
        QJsonObject part = ProjectFile::clipToJson(fullClip());
        part.insert("speed", 1.5);
        part.insert("keyframes", QJsonArray{QJsonObject{{"at", 10}}, 20});
        QJsonObject root{{"version", "1.1"}, {"videoPath", "/v.mp4"}, {"duration", 5000},
                         {"clips", QJsonArray{part, ProjectFile::clipToJson(makeFirstClip(5000))}},
                         {"tracks", QJsonObject{{"music", "/a.wav"}}}, {"zoom", 4}};
        ProjectFile::ReadResult read = ProjectFile::read(QJsonDocument(root).toJson());
        QVERIFY(read.ok());
        QCOMPARE(read.extras, (QJsonObject{{"tracks", root.value("tracks")}, {"zoom", 4}}));
        QCOMPARE(read.clips[0].extras, (QJsonObject{{"speed", 1.5}, {"keyframes", part.value("keyframes")}}));
        QVERIFY(read.clips[1].extras.isEmpty());

        // Stale copies of known keys lose to what the edit holds now.
        read.clips[0].extras.insert("name", "stale");
        read.extras.insert("videoPath", "/stale.mp4");
        read.clips[0].name = "Renamed";
        const QJsonObject written =
            QJsonDocument::fromJson(ProjectFile::write("/v.mp4", 5000, read.clips, read.extras)).object();
        QCOMPARE(written.value("tracks"), root.value("tracks"));
        QCOMPARE(written.value("zoom"), QJsonValue(4));
        QCOMPARE(written.value("videoPath"), QJsonValue("/v.mp4"));
        QCOMPARE(written.value("version"), QJsonValue("1.0"));
        const QJsonArray parts = written.value("clips").toArray();
        QCOMPARE(parts.at(0).toObject().value("speed"), QJsonValue(1.5));
        QCOMPARE(parts.at(0).toObject().value("keyframes"), part.value("keyframes"));
        QCOMPARE(parts.at(0).toObject().value("name"), QJsonValue("Renamed"));
        QCOMPARE(parts.at(1).toObject().keys().size(), (baseClipKeys + effectKeys).size());

        // An ordinary project writes only its own keys.
        const QJsonObject plain = QJsonDocument::fromJson(ProjectFile::write("/v.mp4", 1, {fullClip()})).object();
        QCOMPARE(plain.keys(), (QStringList{"clips", "duration", "version", "videoPath"}));
    }

    void fileWithoutEffectKeysLoadsWithDefaults()
    {
        // What a writer that knows only the title and range keys produces.
        QJsonObject object = ProjectFile::clipToJson(fullClip());
        for (const QString &key : effectKeys)
            object.remove(key);
        QJsonObject root{{"version", "1.0"}, {"videoPath", "/v.mp4"}, {"duration", 1}, {"clips", QJsonArray{object}}};
        const ProjectFile::ReadResult result = ProjectFile::read(QJsonDocument(root).toJson());
        QVERIFY(result.ok());
        QCOMPARE(result.clips.size(), 1);
        const Clip &c = result.clips.first();
        const Clip defaults;
        QCOMPARE(c.blurIntensity, defaults.blurIntensity);
        QCOMPARE(c.opacity, 100);
        QCOMPARE(c.rotation, 0);
        QVERIFY(!c.grayscale && !c.sepia);
        QCOMPARE(c.titleText, fullClip().titleText);
        QCOMPARE(c.customDuration, 4500);
        // Title shown with text: still a clip whose frames need processing.
        QVERIFY(c.hasEffects);
    }

    void writtenFileMatchesTheBaseFormat()
    {
        // A reader that knows only the original keys looks them up by name and type.
        const QJsonObject root = QJsonDocument::fromJson(
            ProjectFile::write(QStringLiteral("/v.mp4"), 42, {fullClip()})).object();
        QVERIFY(root.value("version").isString());
        QVERIFY(root.value("videoPath").isString());
        QVERIFY(root.value("duration").isDouble());
        const QJsonObject clip = root.value("clips").toArray().at(0).toObject();
        for (const char *key : {"startTime", "endTime", "originalStart", "originalEnd", "titleDurationMode",
                                "customDuration", "titleFontSize"})
            QVERIFY2(clip.value(QLatin1String(key)).toInteger(-999) != -999, key);
        for (const char *key : {"isMarked", "showTitle", "titleAtTop"})
            QVERIFY2(clip.value(QLatin1String(key)).isBool(), key);
        for (const char *key : {"name", "titleText"})
            QVERIFY2(clip.value(QLatin1String(key)).isString(), key);
        const QRegularExpression sixDigits(QStringLiteral("^#[0-9a-f]{6}$"));
        QVERIFY(sixDigits.match(clip.value("color").toString()).hasMatch());
        QVERIFY(sixDigits.match(clip.value("titleColor").toString()).hasMatch());
    }

    void missingKeysTakeDefaults()
    {
        const ProjectFile::ReadResult result =
            ProjectFile::read(projectWithClip("{\"startTime\": 100, \"endTime\": 900}"));
        QVERIFY(result.ok());
        QCOMPARE(result.clips.size(), 1);
        const Clip &c = result.clips.first();
        QCOMPARE(c.startTime, 100);
        QCOMPARE(c.endTime, 900);
        QCOMPARE(c.originalStart, 0);
        QCOMPARE(c.originalEnd, 0);
        QCOMPARE(c.name, QString());
        QVERIFY(!c.isMarked);
        QVERIFY(!c.color.isValid());
        QCOMPARE(c.titleFontSize, 38);
        QCOMPARE(c.titleColor, QColor(255, 255, 255));
        QCOMPARE(c.customDuration, 3000);
        QVERIFY(c.titleAtTop);
        QCOMPARE(c.titleDurationMode, 0);
        QVERIFY(!c.showTitle);
        QVERIFY(!c.hasEffects);
    }

    void readsValues_data()
    {
        QTest::addColumn<QByteArray>("clipJson");
        QTest::addColumn<QString>("fieldName");
        QTest::addColumn<QVariant>("expected");

        const qint64 max = std::numeric_limits<qint64>::max();
        const qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("large time is exact") << QByteArray("{\"originalEnd\": 9007199254740993}")
                                             << "originalEnd" << QVariant(qint64(9007199254740993));
        QTest::newRow("largest time") << QByteArray("{\"originalEnd\": 9223372036854775807}")
                                      << "originalEnd" << QVariant(max);
        QTest::newRow("smallest time") << QByteArray("{\"originalStart\": -9223372036854775808}")
                                       << "originalStart" << QVariant(min);
        QTest::newRow("negative time") << QByteArray("{\"startTime\": -5}") << "startTime" << QVariant(qint64(-5));
        QTest::newRow("time beyond 64 bits") << QByteArray("{\"endTime\": 1e300}") << "endTime" << QVariant(qint64(0));
        QTest::newRow("fractional time") << QByteArray("{\"endTime\": 1.5}") << "endTime" << QVariant(qint64(0));
        QTest::newRow("time as string") << QByteArray("{\"endTime\": \"5000\"}") << "endTime" << QVariant(qint64(0));
        QTest::newRow("time as boolean") << QByteArray("{\"endTime\": true}") << "endTime" << QVariant(qint64(0));
        QTest::newRow("whole double time") << QByteArray("{\"endTime\": 2500.0}") << "endTime" << QVariant(qint64(2500));

        QTest::newRow("font size 200 -> 120") << QByteArray("{\"titleFontSize\": 200}") << "titleFontSize" << QVariant(120);
        QTest::newRow("font size 4 -> 16") << QByteArray("{\"titleFontSize\": 4}") << "titleFontSize" << QVariant(16);
        QTest::newRow("font size beyond int") << QByteArray("{\"titleFontSize\": 1e12}") << "titleFontSize" << QVariant(38);
        QTest::newRow("font size as string") << QByteArray("{\"titleFontSize\": \"90\"}") << "titleFontSize" << QVariant(38);
        QTest::newRow("custom duration kept as stored") << QByteArray("{\"customDuration\": -7}") << "customDuration" << QVariant(-7);
        QTest::newRow("duration mode kept as stored") << QByteArray("{\"titleDurationMode\": 9}") << "titleDurationMode" << QVariant(9);

        QTest::newRow("colour by name") << QByteArray("{\"color\": \"red\"}") << "color" << QVariant("#ff0000");
        QTest::newRow("short colour") << QByteArray("{\"color\": \"#abc\"}") << "color" << QVariant("#aabbcc");
        QTest::newRow("unparsable colour stays invalid") << QByteArray("{\"color\": \"nonsense\"}") << "color" << QVariant("invalid");
        QTest::newRow("colour as number") << QByteArray("{\"color\": 255}") << "color" << QVariant("invalid");
        QTest::newRow("unparsable title colour is white") << QByteArray("{\"titleColor\": \"#12\"}") << "titleColor" << QVariant("#ffffff");
        QTest::newRow("title colour as array") << QByteArray("{\"titleColor\": [1,2,3]}") << "titleColor" << QVariant("#ffffff");
        QTest::newRow("title colour read") << QByteArray("{\"titleColor\": \"#00FF80\"}") << "titleColor" << QVariant("#00ff80");

        QTest::newRow("name as number") << QByteArray("{\"name\": 12}") << "name" << QVariant(QString());
        QTest::newRow("mark as number") << QByteArray("{\"isMarked\": 1}") << "isMarked" << QVariant(false);
        QTest::newRow("title at top as null") << QByteArray("{\"titleAtTop\": null}") << "titleAtTop" << QVariant(true);

        QTest::newRow("blur held to 100") << QByteArray("{\"blurIntensity\": 2000000000}") << "blurIntensity" << QVariant(100);
        QTest::newRow("blur held to 0") << QByteArray("{\"blurIntensity\": -3}") << "blurIntensity" << QVariant(0);
        QTest::newRow("brightness held") << QByteArray("{\"brightness\": -500}") << "brightness" << QVariant(-100);
        QTest::newRow("opacity held") << QByteArray("{\"opacity\": 250}") << "opacity" << QVariant(100);
        QTest::newRow("opacity as string") << QByteArray("{\"opacity\": \"50\"}") << "opacity" << QVariant(100);
        QTest::newRow("fade held to ten seconds") << QByteArray("{\"fadeOutDuration\": 999999}") << "fadeOutDuration" << QVariant(10000);
        QTest::newRow("rotation a full turn on") << QByteArray("{\"rotation\": 450}") << "rotation" << QVariant(90);
        QTest::newRow("rotation negative") << QByteArray("{\"rotation\": -90}") << "rotation" << QVariant(270);
        QTest::newRow("rotation not a right angle") << QByteArray("{\"rotation\": 45}") << "rotation" << QVariant(0);
        QTest::newRow("rotation smallest int") << QByteArray("{\"rotation\": -2147483648}") << "rotation" << QVariant(0);
        QTest::newRow("sepia read") << QByteArray("{\"sepia\": true}") << "sepia" << QVariant(true);
    }
    void readsValues()
    {
        QFETCH(QByteArray, clipJson);
        QFETCH(QString, fieldName);
        QFETCH(QVariant, expected);
        const ProjectFile::ReadResult result = ProjectFile::read(projectWithClip(clipJson));
        QVERIFY(result.ok());
        QCOMPARE(result.clips.size(), 1);
        const QVariant actual = field(result.clips.first(), fieldName);
        QVERIFY2(actual == expected, qPrintable(actual.toString() + " != " + expected.toString()));
    }

    void hasEffectsRecomputed_data()
    {
        QTest::addColumn<QByteArray>("clipJson");
        QTest::addColumn<bool>("hasEffects");
        QTest::newRow("nothing") << QByteArray("{\"hasEffects\": true}") << false;
        QTest::newRow("shown title with text") << QByteArray("{\"showTitle\": true, \"titleText\": \"Hi\"}") << true;
        QTest::newRow("shown title without text") << QByteArray("{\"showTitle\": true, \"titleText\": \"\"}") << false;
        QTest::newRow("text not shown") << QByteArray("{\"showTitle\": false, \"titleText\": \"Hi\"}") << false;
        QTest::newRow("opacity 99") << QByteArray("{\"opacity\": 99}") << true;
        QTest::newRow("fade in") << QByteArray("{\"fadeInDuration\": 1000}") << true;
        QTest::newRow("rotation") << QByteArray("{\"rotation\": 180}") << true;
        QTest::newRow("grayscale") << QByteArray("{\"grayscale\": true}") << true;
    }
    void hasEffectsRecomputed()
    {
        QFETCH(QByteArray, clipJson);
        const ProjectFile::ReadResult result = ProjectFile::read(projectWithClip(clipJson));
        QCOMPARE(result.clips.size(), 1);
        QTEST(result.clips.first().hasEffects, "hasEffects");
        QCOMPARE(result.clips.first().hasEffects, computeHasEffects(result.clips.first()));
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        const QString invalid = QStringLiteral("Invalid project file format.");
        const QString noPath = QStringLiteral("Project file missing video path.");
        QTest::newRow("empty file") << QByteArray() << invalid;
        QTest::newRow("array at the top") << QByteArray("[{\"videoPath\": \"/v.mp4\"}]") << invalid;
        QTest::newRow("truncated") << ProjectFile::write("/v.mp4", 10, {makeFirstClip(10)}).chopped(20) << invalid;
        QTest::newRow("number") << QByteArray("42") << invalid;
        QTest::newRow("null") << QByteArray("null") << invalid;
        QTest::newRow("binary") << QByteArray("\x00\x01\xff\xfe{", 5) << invalid;
        QTest::newRow("trailing garbage") << QByteArray("{\"videoPath\": \"/v.mp4\"} x") << invalid;
        QTest::newRow("deep nesting") << QByteArray(100000, '[') << invalid;
        QTest::newRow("larger than any project")
            << QByteArray("{\"videoPath\": \"/v.mp4\"}") + QByteArray(ProjectFile::MaxFileBytes, ' ') << invalid;
        QTest::newRow("no video path") << QByteArray("{\"version\": \"1.0\", \"clips\": []}") << noPath;
        QTest::newRow("empty video path") << QByteArray("{\"version\": \"1.0\", \"videoPath\": \"\"}") << noPath;
        QTest::newRow("parts that are not objects")
            << QByteArray("{\"version\": \"1.0\", \"videoPath\": \"/v.mp4\", \"clips\": [\"x\", 5, null]}")
            << invalid + QStringLiteral("\n\nA part is not a set of named values.");
        QTest::newRow("one part not an object")
            << QByteArray("{\"version\": \"1.0\", \"videoPath\": \"/v.mp4\", \"clips\": [{\"name\": \"A\"}, []]}")
            << invalid + QStringLiteral("\n\nA part is not a set of named values.");
        QTest::newRow("video path not a string") << QByteArray("{\"version\": \"1.0\", \"videoPath\": 7}") << noPath;

        // Bounds: a hostile file must not make the window lay out megabytes or thousands of rows.
        const QString longPath = QLatin1Char('/') + QString(ProjectFile::MaxPathBytes, QLatin1Char('p'));
        QTest::newRow("path past the bound")
            << ProjectFile::write(longPath, 10, {makeFirstClip(10)})
            << invalid + QStringLiteral("\n\nThe video path is longer than 4096 bytes.");
        // Counted in bytes: two-byte letters reach the bound at half the characters.
        QTest::newRow("path past the bound in bytes")
            << ProjectFile::write(QLatin1Char('/') + QString(ProjectFile::MaxPathBytes / 2, QChar(0x00e9)), 10, {})
            << invalid + QStringLiteral("\n\nThe video path is longer than 4096 bytes.");
        Clip longTitle = makeFirstClip(10);
        longTitle.titleText = QString(ProjectFile::MaxTextChars + 1, QLatin1Char('t'));
        QTest::newRow("title past the bound")
            << ProjectFile::write("/v.mp4", 10, {makeFirstClip(10), longTitle})
            << invalid + QStringLiteral("\n\nA part's name or title is longer than 4000 characters.");
        Clip longName = makeFirstClip(10);
        longName.name = QString(ProjectFile::MaxTextChars + 1, QLatin1Char('n'));
        QTest::newRow("name past the bound") << ProjectFile::write("/v.mp4", 10, {longName})
                                             << invalid + QStringLiteral("\n\nA part's name or title is longer than 4000 characters.");
        QTest::newRow("parts past the bound")
            << ProjectFile::write("/v.mp4", 10, ClipList(ProjectFile::MaxParts + 1, makeFirstClip(10)))
            << invalid + QStringLiteral("\n\nIt has more than 10000 parts.");
    }

    void boundsThemselvesAreAccepted()
    {
        Clip full = makeFirstClip(10);
        full.name = QString(ProjectFile::MaxTextChars, QLatin1Char('n'));
        full.titleText = QString(ProjectFile::MaxTextChars, QLatin1Char('t'));
        const QString path = QLatin1Char('/') + QString(ProjectFile::MaxPathBytes - 1, QLatin1Char('p'));
        const ProjectFile::ReadResult result = ProjectFile::read(ProjectFile::write(path, 10, {full}));
        QVERIFY(result.ok());
        QCOMPARE(result.videoPath, path);
        QCOMPARE(result.clips.last(), full);
    }
    void refusals()
    {
        QFETCH(QByteArray, bytes);
        const ProjectFile::ReadResult result = ProjectFile::read(bytes);
        QVERIFY(!result.ok());
        QCOMPARE(result.error->kind, Kind::Critical);
        QCOMPARE(result.error->title, QStringLiteral("Error"));
        QTEST(result.error->text, "text");
        QVERIFY(result.clips.isEmpty());
    }

    void versionMismatchWarnsAndGoesOn_data()
    {
        QTest::addColumn<QByteArray>("versionJson");
        QTest::addColumn<QString>("shown"); // empty: no warning
        QTest::newRow("current") << QByteArray("\"version\": \"1.0\",") << QString();
        QTest::newRow("newer") << QByteArray("\"version\": \"2.0\",") << QStringLiteral("2.0");
        QTest::newRow("missing") << QByteArray() << QStringLiteral("");
        QTest::newRow("number") << QByteArray("\"version\": 1,") << QStringLiteral("1");
        QTest::newRow("fraction") << QByteArray("\"version\": 2.5,") << QStringLiteral("2.5");
        QTest::newRow("not a value") << QByteArray("\"version\": null,") << QStringLiteral("");
        QTest::newRow("trailing space") << QByteArray("\"version\": \"1.0 \",") << QStringLiteral("1.0 ");
        QTest::newRow("percent sign") << QByteArray("\"version\": \"%1\",") << QStringLiteral("%1");
        QTest::newRow("very long: cut short") << QByteArray("\"version\": \"") + QByteArray(100000, '9') + "\","
                                              << QString(20, QLatin1Char('9')) + QChar(0x2026);
    }
    void versionMismatchWarnsAndGoesOn()
    {
        QFETCH(QByteArray, versionJson);
        QFETCH(QString, shown);
        const ProjectFile::ReadResult result = ProjectFile::read(
            "{" + versionJson + "\"videoPath\": \"/v.mp4\", \"clips\": [{\"name\": \"A\"}]}");
        QVERIFY(result.ok());
        QCOMPARE(result.clips.size(), 1);
        QCOMPARE(result.clips.first().name, QStringLiteral("A"));
        if (shown.isNull()) {
            QVERIFY(!result.warning);
            return;
        }
        QVERIFY(result.warning);
        QCOMPARE(result.warning->kind, Kind::Warning);
        QCOMPARE(result.warning->title, QStringLiteral("Version Mismatch"));
        QCOMPARE(result.warning->text,
                 shown.isEmpty() ? QStringLiteral("This project does not say which version saved it. Current "
                                                  "version is 1.0. Loading may fail.")
                                 : QStringLiteral("This project was saved with version ") + shown
                                       + QStringLiteral(". Current version is 1.0. Loading may fail."));
    }

    void versionWarningComesWithALaterRefusal()
    {
        const ProjectFile::ReadResult result = ProjectFile::read("{\"version\": \"2.0\"}");
        QVERIFY(result.warning);
        QVERIFY(!result.ok());
        QCOMPARE(result.error->text, QStringLiteral("Project file missing video path."));
    }

    void clipArrayShapes_data()
    {
        QTest::addColumn<QByteArray>("clipsJson");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("missing") << QByteArray() << QStringList();
        QTest::newRow("empty") << QByteArray(", \"clips\": []") << QStringList();
        QTest::newRow("not an array") << QByteArray(", \"clips\": {\"name\": \"A\"}") << QStringList();
        QTest::newRow("order kept, not sorted")
            << QByteArray(", \"clips\": [{\"name\": \"late\", \"originalStart\": 9000}, {\"name\": \"early\"}]")
            << QStringList{"late", "early"};
    }
    void clipArrayShapes()
    {
        QFETCH(QByteArray, clipsJson);
        const ProjectFile::ReadResult result =
            ProjectFile::read("{\"version\": \"1.0\", \"videoPath\": \"/v.mp4\"" + clipsJson + "}");
        QVERIFY(result.ok());
        QStringList names;
        for (const Clip &c : result.clips)
            names << c.name;
        QTEST(names, "names");
    }

    void thousandsOfClipsRoundTrip()
    {
        ClipList clips;
        for (int i = 0; i < ProjectFile::MaxParts; ++i) {
            Clip c = makeFirstClip(1000);
            c.originalStart = qint64(i) * 1000;
            c.originalEnd = c.originalStart + 1000;
            c.name = QStringLiteral("Part %1").arg(i + 1);
            clips.append(c);
        }
        recalculateTimeline(clips);
        const ProjectFile::ReadResult result = ProjectFile::read(ProjectFile::write("/v.mp4", 1, clips));
        QVERIFY(result.ok());
        QCOMPARE(result.clips.size(), clips.size());
        QCOMPARE(result.clips.last(), clips.last());
        QCOMPARE(result.clips.at(1234), clips.at(1234));
    }

    void messages_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("no video") << 0 << int(Kind::Warning) << "No Video"
                                  << "Please load a video before saving the project.";
        QTest::newRow("invalid name") << 1 << int(Kind::Critical) << "Invalid Filename"
                                      << "Cannot save project with this filename:\n\nbad %2 name\n\nPlease choose a different filename.";
        QTest::newRow("save failed") << 2 << int(Kind::Critical) << "Cannot Save Project"
                                     << "Failed to save project: disk %1 full";
        QTest::newRow("saved") << 3 << int(Kind::Information) << "Project Saved"
                               << "Project saved successfully to:\n/tmp/50%2 off;.tlp";
        QTest::newRow("load failed") << 4 << int(Kind::Critical) << "Error" << "Failed to load project: gone";
        QTest::newRow("video not found") << 5 << int(Kind::Warning) << "Video Not Found"
                                         << "The video file was not found:\n/old/%1.mp4\n\nPlease locate the video file manually.";
        QTest::newRow("loaded, percent in path") << 6 << int(Kind::Information) << "Project Loaded"
                                                 << "Project loaded successfully from:\n/tmp/50%2 off;.tlp\n\nClips loaded: 3";
    }
    void messages()
    {
        QFETCH(int, which);
        EditMessage m;
        switch (which) {
        case 0: m = ProjectFile::noVideoMessage(); break;
        case 1: m = ProjectFile::invalidFileNameMessage("bad %2 name"); break;
        case 2: m = ProjectFile::saveFailedMessage("disk %1 full"); break;
        case 3: m = ProjectFile::savedMessage("/tmp/50%2 off;.tlp"); break;
        case 4: m = ProjectFile::loadFailedMessage("gone"); break;
        case 5: m = ProjectFile::videoNotFoundMessage("/old/%1.mp4"); break;
        default: m = ProjectFile::loadedMessage("/tmp/50%2 off;.tlp", 3); break;
        }
        QTEST(int(m.kind), "kind");
        QTEST(m.title, "title");
        QTEST(m.text, "text");
    }
};

QTEST_GUILESS_MAIN(TestProjectFile)
#include "tst_projectfile.moc"
