#include "arrangement/ProgramArrangement.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// One plan with the given clip objects; a reading error fails the caller's comparison.
ProgramArrangement read(const QByteArray &scenes, const QByteArray &overlays = "") {
    QString error;
    const ProgramArrangement a =
        arrangementFromJson(R"({"format":"quorvi_program_arrangement","sceneClips":[)" + scenes +
                                R"(],"overlayClips":[)" + overlays + "]}",
                            &error);
    return error.isEmpty() ? a : ProgramArrangement{};
}

} // namespace

class TestProgramArrangement : public QObject {
    Q_OBJECT
private slots:
    void rejectsWithEmptyPlan() {
        const QString notPlan = QStringLiteral("不是有效的节目编排文件");
        const struct {
            QByteArray bytes;
            QString error; // empty: any text
        } rows[] = {{R"({"format":"quorvi_program_arrangement ","sceneClips":[{}]})", notPlan},
                    {R"({"format":3,"sceneClips":[{}]})", notPlan},
                    {"[]", QStringLiteral("文件内容不是 JSON 对象")},
                    {R"("x")", {}},
                    {"3", {}},
                    {R"({"format":)", {}}};
        for (const auto &row : rows) {
            QString error;
            QCOMPARE(arrangementFromJson(row.bytes, &error), ProgramArrangement{});
            QVERIFY2(!error.isEmpty() && (row.error.isEmpty() || error == row.error),
                     row.bytes.constData());
        }
    }

    void readsSceneClipFields() {
        constexpr int64_t max = ArrangementJson::kMaxTimeMs;
        const struct {
            QByteArray clip;
            int64_t startMs, endMs;
            int kind, channel, intervalMs;
        } rows[] = {
            {R"({"startMs":1500.9,"endMs":-1500.9})", 1500, -1500, 0, 0, 2000},
            {R"({"startMs":1e300,"endMs":-1e300})", max, -max, 0, 0, 2000},
            {R"({"startMs":"5","kind":"imageSequence","intervalMs":50})", 0, 0, 1, 0, 200},
            {R"({"kind":"sceneVideo","channel":7,"intervalMs":1e12})", 0, 0, 2, 3, 120000},
            {R"({"kind":"slides","channel":-2,"intervalMs":2500.5,"endMs":1})", 0, 1, 0, 0, 2000},
            {R"({"kind":2,"channel":1e300,"intervalMs":"900"})", 0, 0, 0, 3, 2000},
        };
        for (const auto &row : rows) {
            // Every row differs from a default clip, so a refused plan cannot pass.
            const SceneClip c = read(row.clip).sceneClips.value(0);
            QVERIFY2(c.startMs == row.startMs && c.endMs == row.endMs && c.kind == row.kind &&
                         c.channel == row.channel && c.intervalMs == row.intervalMs,
                     row.clip.constData());
        }
    }

    void takesPicturesFromTheFolder() {
        QTemporaryDir dir;
        for (const char *name : {"b.png", "a.jpg", "c.txt"})
            QVERIFY(QFile(dir.filePath(QLatin1String(name))).open(QIODevice::WriteOnly));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("x.png")));
        const QJsonObject clip{
            {"kind", "imagePlay"}, {"paths", "||"}, {"imageDirectory", dir.path()}};
        QCOMPARE(read(QJsonDocument(clip).toJson()).sceneClips.value(0).paths,
                 QStringList({dir.filePath("a.jpg"), dir.filePath("b.png")}));
    }

    void readsOverlayKindTextAndRect() {
        const struct {
            QByteArray clip;
            int kind; // 0 text, 1 video, 2 image
            QString text;
            QRectF rect = {0, 0, 320, 180};
        } rows[] = {
            {R"({"overlayKind":"","mediaType":"text"})", 0, "字幕"},
            {R"({"mediaType":"text","overlayText":"Hi"})", 0, "Hi"},
            {R"({"overlayKind":"text","textData":{"text":"T"},"overlayText":"Hi"})", 0, "T"},
            {R"({"overlayKind":"video","mediaType":"text","h":2.5})", 1, {}, {0, 0, 320, 2.5}},
            {R"({"overlayKind":3,"x":-1e300,"w":1e300,"y":"5"})", 2, {}, {-1e5, 0, 1e5, 180}},
            {R"({"overlayKind":"gif","mediaType":"video","y":1})", 2, {}, {0, 1, 320, 180}},
        };
        for (const auto &row : rows) {
            const OverlayClip c = read("", row.clip).overlayClips.value(0);
            QVERIFY2(c.kind == row.kind && c.textData.text == row.text && c.rect == row.rect,
                     row.clip.constData());
        }
    }

    void readsTextStyleHeldToRange() {
        const TextOverlayData d = textOverlayFromJson(
            QJsonDocument::fromJson(
                R"({"fontPointSize":1,"opacity":12.5,"scrollDirection":9,"fontFamily":""})")
                .object());
        QCOMPARE(d.shadowColor, QColor(Qt::white));
        QCOMPARE(d.font, QFont(QStringLiteral("Arial"), 6));
        QVERIFY(d.opacity == 255 && d.scrollDirection == TextOverlayData::kScrollRightToLeft);
    }

    void readsColours() {
        const std::pair<const char *, QRgb> rows[] = {
            {R"({"rgba":-1})", 0xffffffff},          {R"({"rgba":4294967295})", 0xffffffff},
            {R"({"rgba":4278190335})", 0xff0000ff},  {R"({"rgba":-2147483648})", 0x80000000},
            {R"({"rgba":4294967296})", 0xffffffff},  {R"({"rgba":16711680.5})", 0xffffffff},
            {R"({"rgba":"-16776961"})", 0xffffffff}, {"{}", 0xffffffff},
            {"\"#80ff0000\"", 0x80ff0000},           {R"("no colour")", 0xffffffff}};
        for (const auto &[json, rgba] : rows) {
            const QJsonValue v = QJsonDocument::fromJson(QByteArray("[") + json + "]").array()[0];
            QVERIFY2(colorFromJson(v).rgba() == rgba, json);
        }
    }

    void writesAndReadsBack() {
        // Every field away from its default, each kind of clip.
        // clang-format off
        ProgramArrangement a{3, "2026-12-07 10:00:00", QList<SceneClip>(3), QList<OverlayClip>(3)};
        a.sceneClips[0] = {"s1", -500, 60000, SceneClip::Channel, 2, {}, 2000, true, {}, {}};
        a.sceneClips[1] = {"s2", 60000, 0, SceneClip::ImagePlay, 0, {"/p/b.png", "/p/a.jpg"}, 700,
                           false, {}, "/p"};
        a.sceneClips[2] = {"s3", ArrangementJson::kMaxTimeMs, -1, SceneClip::SceneVideo, 0, {},
                           2000, true, "/v/片.mp4", {}};
        const TextOverlayData t{7, false, "滚动 text", QFont("DejaVu Sans", 40), {-3, 400},
                                QColor(0x11, 0x22, 0x33, 0x44), Qt::blue, Qt::green,
                                QColor(1, 2, 3), 100, true, true, true, true, true, 9, true,
                                {-4, 5}, true, 3, true, TextOverlayData::kScrollLeftToRight, 4, 7,
                                300, 40, -2};
        a.overlayClips[0] = {"o1", 10, 20, OverlayClip::Text, {}, {}, {-10.5, 20.25, 100, 50},
                             0.5, t};
        a.overlayClips[1] = {"o2", 0, 0, OverlayClip::Image, "/i.png", "/i", {0, 0, 320, 180},
                             1.0, {}};
        a.overlayClips[2] = {"o3", -1, 5, OverlayClip::Video, "/v.mp4", {}, {1, 2, 3, 4}, 0, {}};
        // clang-format on

        QString error = QStringLiteral("stale");
        const ProgramArrangement back = arrangementFromJson(arrangementToJson(a), &error);
        QVERIFY(error.isEmpty());
        a.overlayClips[0].textData.id = -1;
        QCOMPARE(back, a);
    }
};

QTEST_MAIN(TestProgramArrangement)
#include "tst_ProgramArrangement.moc"
