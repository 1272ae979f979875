// The schedule window as the operator uses it: rows checked on collection, times counted from
// the base time, files written and read back off the GUI thread, and the player started.

#include "arrangement/ArrangementPlayer.h"
#include "arrangement/ArrangementTargets.h"
#include "common/WidgetChild.h"
#include "pipeline/EngineSession.h"
#include "pipeline/ProgramTimeline.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/ProgramArrangementWindow.h"
#include "ui/widgets/OverlayRowWidget.h"
#include "ui/widgets/SceneRowWidget.h"
#include "ui/widgets/ScheduleDateTimeWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

#include <csignal>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

// Every box as "title|text".
struct Boxes {
    QStringList seen;
    UserPrompts::ScopedHandler handler{[this](const UserPrompts::Prompt &p) {
        seen << p.title + u'|' + p.text;
        return false;
    }};
};

void setTimes(QWidget *row, const QDateTime &start, const QDateTime &end) {
    child<ScheduleDateTimeWidget>(*row, u"start"_s)->setDateTime(start);
    child<ScheduleDateTimeWidget>(*row, u"end"_s)->setDateTime(end);
}

void chooseFile(QWidget *row, const char *button, const QString &path) {
    UserPrompts::setOpenFileChooser(
        [path](QWidget *, const QString &, const QString &) { return path; });
    child<QPushButton>(*row, QLatin1String(button))->click();
    UserPrompts::setOpenFileChooser({});
}

void chooseFolder(SceneRowWidget *row, const QString &folder) {
    UserPrompts::setDirectoryChooser([folder](QWidget *, const QString &) { return folder; });
    child<QPushButton>(*row, u"folder"_s)->click();
    UserPrompts::setDirectoryChooser({});
    QTRY_VERIFY(!row->isListing());
}

OverlayRowWidget *addOverlay(ProgramArrangementWindow &w, int kind) {
    w.onAddOverlayRow();
    OverlayRowWidget *row = w.overlayRows().last();
    auto *box = child<QComboBox>(*row, u"kind"_s);
    box->setCurrentIndex(box->findData(kind));
    return row;
}

QDateTime base(const ProgramArrangementWindow &w) {
    return w.baseTimeEdit()->dateTime();
}

void exportTo(ProgramArrangementWindow &w, const QString &path) {
    UserPrompts::setSaveFileChooser(
        [path](QWidget *, const QString &, const QString &, const QString &) { return path; });
    child<QPushButton>(w, u"export"_s)->click();
    UserPrompts::setSaveFileChooser({});
    QTRY_VERIFY(child<QPushButton>(w, u"export"_s)->isEnabled());
}

} // namespace

class TestProgramArrangementWindow : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString folder_;
    QString video_;

    // A plan of every kind of row, all valid.
    void fillPlan(ProgramArrangementWindow &w) {
        SceneRowWidget *channel = w.sceneRows().first();
        child<QComboBox>(*channel, u"source"_s)->setCurrentIndex(1);
        setTimes(channel, base(w).addSecs(-3600), base(w).addSecs(1800));
        chooseFile(channel, "video", video_);
        w.onAddSceneRow();
        SceneRowWidget *images = w.sceneRows().last();
        child<QComboBox>(*images, u"source"_s)->setCurrentIndex(4);
        child<QCheckBox>(*images, u"openEnd"_s)->setChecked(true);
        child<QSpinBox>(*images, u"interval"_s)->setValue(700);
        chooseFolder(images, folder_);
        OverlayRowWidget *text = addOverlay(w, OverlayClip::Text);
        child<QLineEdit>(*text, u"text"_s)->setText(u"直播 LIVE"_s);
        child<QComboBox>(*text, u"direction"_s)->setCurrentIndex(2);
        child<QCheckBox>(*text, u"scroll"_s)->setChecked(true);
        chooseFile(addOverlay(w, OverlayClip::Video), "browse", video_);
        OverlayRowWidget *image = addOverlay(w, OverlayClip::Image);
        child<QLineEdit>(*image, u"path"_s)->setText(u"  /logos/a.png "_s);
        child<QDoubleSpinBox>(*image, u"opacity"_s)->setValue(0.75);
    }

private slots:
    void initTestCase() {
        folder_ = dir_.filePath(u"slides"_s);
        QDir().mkpath(folder_);
        for (const char *name : {"b.png", "a.jpg"})
            QImage(4, 4, QImage::Format_RGB32).save(folder_ + u'/' + QLatin1String(name));
        video_ = dir_.filePath(u"clip.mp4"_s);
    }

    // The first failing row stops collection with its reason; a row without id is skipped.
    void rowChecks() {
        const struct {
            const char *name;
            std::function<void(ProgramArrangementWindow &)> setup;
            QString box; // empty: collected without a box
        } rows[] = {
            {"no id",
             [](ProgramArrangementWindow &w) {
                 child<QLineEdit>(*w.sceneRows().first(), u"id"_s)->setText(u"  "_s);
                 child<QLineEdit>(*addOverlay(w, OverlayClip::Text), u"text"_s)->setText(u"x"_s);
             },
             {}},
            {"base end before start",
             [this](ProgramArrangementWindow &w) {
                 chooseFile(w.sceneRows().first(), "video", video_);
                 setTimes(w.sceneRows().first(), base(w), base(w));
             },
             u"结束时间必须大于开始时间"_s},
            {"overlay end before start",
             [](ProgramArrangementWindow &w) {
                 child<QLineEdit>(*w.sceneRows().first(), u"id"_s)->clear();
                 OverlayRowWidget *row = addOverlay(w, OverlayClip::Text);
                 child<QLineEdit>(*row, u"text"_s)->setText(u"x"_s);
                 setTimes(row, base(w).addSecs(60), base(w));
             },
             u"结束时间必须大于开始时间"_s},
            {"channel without video", [](ProgramArrangementWindow &) {}, u"通道必须选择视频"_s},
            {"images without folder",
             [](ProgramArrangementWindow &w) {
                 child<QComboBox>(*w.sceneRows().first(), u"source"_s)->setCurrentIndex(4);
             },
             u"播放图片必须选择目录"_s},
            {"blank text",
             [](ProgramArrangementWindow &w) {
                 child<QLineEdit>(*w.sceneRows().first(), u"id"_s)->clear();
                 child<QLineEdit>(*addOverlay(w, OverlayClip::Text), u"text"_s)->setText(u" "_s);
             },
             u"文字不能为空"_s},
            {"video without file",
             [](ProgramArrangementWindow &w) {
                 child<QLineEdit>(*w.sceneRows().first(), u"id"_s)->clear();
                 addOverlay(w, OverlayClip::Video);
             },
             u"请选择视频"_s},
            {"image without file",
             [](ProgramArrangementWindow &w) {
                 child<QLineEdit>(*w.sceneRows().first(), u"id"_s)->clear();
                 addOverlay(w, OverlayClip::Image);
             },
             u"请选择叠加图片文件"_s},
        };
        for (const auto &row : rows) {
            ProgramArrangementWindow w;
            row.setup(w);
            Boxes boxes;
            const ProgramArrangement plan = w.collectArrangement();
            QCOMPARE(boxes.seen,
                     row.box.isEmpty() ? QStringList() : QStringList{u"错误|"_s + row.box});
            QVERIFY2(plan.isEmpty() != row.box.isEmpty(), row.name);
            if (row.box.isEmpty())
                QCOMPARE(plan.overlayClips.size() + plan.sceneClips.size(), 1);
        }
    }

    // Times count from the base time, an open end is 0, and an open picture clip loops.
    void rowsAsClips() {
        ProgramArrangementWindow w;
        fillPlan(w);
        Boxes boxes;
        const ProgramArrangement plan = w.collectArrangement();
        QCOMPARE(boxes.seen, QStringList());
        QCOMPARE(plan.timelineZero, base(w).toString(u"yyyy-MM-dd HH:mm:ss"_s));
        const SceneClip channel = plan.sceneClips.value(0);
        QCOMPARE(channel.startMs, -3600000);
        QCOMPARE(channel.endMs, 1800000);
        QCOMPARE(channel.channel, 1);
        QCOMPARE(channel.sceneVideoPath, video_);
        const SceneClip images = plan.sceneClips.value(1);
        QCOMPARE(images.kind, int(SceneClip::ImagePlay));
        QCOMPARE(images.endMs, 0);
        QVERIFY(images.imageLoop);
        QCOMPARE(images.intervalMs, 700);
        QCOMPARE(images.paths.size(), 2);
        const OverlayClip text = plan.overlayClips.value(0);
        QCOMPARE(text.textData.scrollDirection, int(TextOverlayData::kScrollRightToLeft));
        QCOMPARE(text.rect.topLeft(), QPointF(12, 12));
        QVERIFY(text.rect.width() > 16 && text.rect.height() >= 16);
        QCOMPARE(plan.overlayClips.value(2).path, u"/logos/a.png"_s);
        // The effect editor styles the row's own record; the box grows with the font.
        w.setEffectEditor([](QWidget *, bool, TextOverlayData &d) {
            d.font.setPointSize(56);
            d.bold = true;
            return true;
        });
        child<QPushButton>(*w.overlayRows().first(), u"effects"_s)->click();
        const OverlayClip styled = w.collectArrangement().overlayClips.value(0);
        QVERIFY(styled.textData.bold && styled.rect.height() > text.rect.height() * 1.5);
        // Unchecking the scroll box drops the direction.
        child<QCheckBox>(*w.overlayRows().first(), u"scroll"_s)->setChecked(false);
        QCOMPARE(w.collectArrangement().overlayClips.value(0).textData.scrollDirection, 0);
    }

    void exportWithoutClips() {
        ProgramArrangementWindow w;
        child<QLineEdit>(*w.sceneRows().first(), u"id"_s)->clear();
        Boxes boxes;
        exportTo(w, dir_.filePath(u"none.json"_s));
        QCOMPARE(boxes.seen, QStringList{u"导出|没有可导出的片段（请检查校验错误提示）。"_s});
        QVERIFY(!QFile::exists(dir_.filePath(u"none.json"_s)));
    }

    // What was exported comes back as the same rows, the folder with its picture count.
    void exportThenImport() {
        const QString path = dir_.filePath(u"plan.json"_s);
        ProgramArrangementWindow first;
        fillPlan(first);
        exportTo(first, path);
        ProgramArrangementWindow second;
        UserPrompts::setOpenFileChooser(
            [&](QWidget *, const QString &, const QString &) { return path; });
        child<QPushButton>(second, u"import"_s)->click();
        UserPrompts::setOpenFileChooser({});
        QTRY_COMPARE(second.overlayRows().size(), 3);
        // Records compare through the file: fields the file does not keep are the reader's.
        QCOMPARE(arrangementToJson(second.collectArrangement()),
                 arrangementToJson(first.collectArrangement()));
        QCOMPARE(child<QLabel>(*second.sceneRows().value(1), u"choice"_s)->text(),
                 QDir::toNativeSeparators(folder_) + u"（2 张）"_s);
    }

    void importFailures() {
        const struct {
            QByteArray content; // empty: no file at all
            qint64 size;        // grown to this with zeros
            QString box;
        } rows[] = {{R"({"format":"other","sceneClips":[]})", 0, u"导入|不是有效的节目编排文件"_s},
                    {"", 0, u"导入|无法打开文件"_s},
                    {"{}", ProgramArrangementWindow::kMaxFileBytes + 1, u"导入|无法打开文件"_s}};
        for (const auto &row : rows) {
            const QString path = dir_.filePath(u"in.json"_s);
            QFile::remove(path);
            if (!row.content.isEmpty()) {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly) && file.write(row.content) > 0);
                QVERIFY(row.size == 0 || file.resize(row.size));
            }
            ProgramArrangementWindow w;
            Boxes boxes;
            UserPrompts::setOpenFileChooser(
                [&](QWidget *, const QString &, const QString &) { return path; });
            child<QPushButton>(w, u"import"_s)->click();
            UserPrompts::setOpenFileChooser({});
            QTRY_COMPARE(boxes.seen, QStringList{row.box});
            QCOMPARE(w.sceneRows().size(), 1); // nothing replaced
        }
    }

    // A write that fails tells so and keeps the file that was there.
    void exportFailures() {
        const QString existing = dir_.filePath(u"kept.json"_s);
        for (const bool limitSize : {false, true}) {
            QFile file(existing);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("old") == 3);
            file.close();
            ProgramArrangementWindow w;
            fillPlan(w);
            Boxes boxes;
            // Root may write anywhere; a file size limit still makes the write fail.
            const rlimit normal{RLIM_INFINITY, RLIM_INFINITY};
            const rlimit tiny{16, RLIM_INFINITY};
            std::signal(SIGXFSZ, SIG_IGN);
            if (limitSize)
                QVERIFY(setrlimit(RLIMIT_FSIZE, &tiny) == 0);
            exportTo(w, limitSize ? existing : dir_.filePath(u"missing/plan.json"_s));
            setrlimit(RLIMIT_FSIZE, &normal);
            QCOMPARE(boxes.seen, QStringList{u"导出|无法写入文件"_s});
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), "old");
        }
    }

    // Every text switches, rows added afterwards included; the folder count follows too.
    void english() {
        ProgramArrangementWindow w;
        fillPlan(w);
        w.setChineseUi(false);
        w.onAddSceneRow();
        addOverlay(w, OverlayClip::Video);
        for (const QString &text : visibleTexts(w))
            QVERIFY2(!hasChinese(text), qPrintable(text));
        QCOMPARE(child<QLabel>(*w.sceneRows().value(1), u"choice"_s)->text(),
                 QDir::toNativeSeparators(folder_) + u" (2 images)"_s);
    }

    // Start needs a player and a valid plan; the stop button follows the player.
    void startAndStop() {
        ProgramArrangementWindow w;
        {
            Boxes boxes;
            child<QPushButton>(w, u"start"_s)->click();
            w.setChineseUi(false);
            child<QPushButton>(w, u"start"_s)->click();
            QCOMPARE(boxes.seen, (QStringList{u"编排|主窗口不可用"_s,
                                              u"Arrangement|Main window is unavailable"_s}));
        }
        w.setChineseUi(true);
        struct NoTargets : ArrangementTargets {
            void loadChannelSource(int, const QString &) override {}
            int addVideoOverlay(const QString &, const QRectF &) override { return 1; }
            int addImageOverlay(const QString &, const QRectF &, double) override { return 1; }
            void removeMediaOverlay(int) override {}
        } targets;
        EngineSession session(EngineSession::AudioPlayback::Off);
        ProgramTimeline timeline(session);
        ArrangementPlayer player(timeline, *session.overlays(), targets);
        w.setPlayer(&player);
        auto *stop = child<QPushButton>(w, u"stop"_s);
        QVERIFY(!stop->isEnabled());
        child<QLineEdit>(*w.sceneRows().first(), u"id"_s)->clear();
        {
            Boxes boxes;
            child<QPushButton>(w, u"start"_s)->click();
            QCOMPARE(boxes.seen, QStringList{u"编排|请至少添加一个有效基底或叠加片段。"_s});
        }
        child<QLineEdit>(*addOverlay(w, OverlayClip::Text), u"text"_s)->setText(u"x"_s);
        child<QPushButton>(w, u"start"_s)->click();
        QVERIFY(player.isRunning() && stop->isEnabled());
        stop->click();
        QVERIFY(!player.isRunning() && !stop->isEnabled());
    }
};

QTEST_MAIN(TestProgramArrangementWindow)
#include "tst_ProgramArrangementWindow.moc"
