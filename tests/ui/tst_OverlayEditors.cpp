#include "arrangement/ArrangementPlayer.h"
#include "common/MediaFixtures.h"
#include "common/ProgramFrames.h"
#include "common/SlowFactor.h"
#include "common/WidgetChild.h"
#include "overlays/DoodleCanvas.h"
#include "pipeline/OverlayManager.h"
#include "ui/MainWindow.h"
#include "ui/UserPrompts.h"
#include "ui/dialogs/TextEffectDialog.h"
#include "ui/panels/MediaOverlayWidget.h"
#include "ui/panels/TextPanel.h"
#include "ui/widgets/DrawingToolBar.h"
#include "ui/widgets/ImageOverlayWidget.h"
#include "ui/widgets/PreviewWidget.h"
#include "ui/widgets/TextPreviewWidget.h"
#include "ui/widgets/VideoOverlayWidget.h"

#include <QActionGroup>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QPushButton *rowButton(TextPanel *panel, int index, const char *name) {
    return child<QPushButton>(*panel->rowWidget(index), QString::fromLatin1(name));
}

void typeText(TextPanel *panel, int index, const QString &text) {
    QLineEdit *edit = child<QLineEdit>(*panel->rowWidget(index), QStringLiteral("text"));
    edit->clear();
    QTest::keyClicks(edit, text);
}

QList<TextPreviewWidget *> openPreviews() {
    QList<TextPreviewWidget *> previews;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *p = qobject_cast<TextPreviewWidget *>(w); p && p->isVisible())
            previews << p;
    return previews;
}

// The caption's box at the new-row position; the rest of the scene stays empty.
const QRect kCaption(12, 12, 200, 40);

} // namespace

class TestOverlayEditors : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void rowsKeepTheirIdsAndTheLimit();
    void textReachesTheProgramOnlyWhenOverlaid();
    void previewWindowBelongsToItsRow();
    void drawingReachesTheProgramAndTheFile();
    void toolButtonsChooseTheTool_data();
    void toolButtonsChooseTheTool();
    void mediaOverlaysReachTheProgram();
    void scheduleDrivesTheEditors();

private:
    QWidget *toolButton(const char *name) const;
    void dragOverPicture(QPointF from, QPointF to) const;

    QTemporaryDir settingsDir_;
    std::unique_ptr<MainWindow> window_;
    TextPanel *panel_ = nullptr;
};

void TestOverlayEditors::initTestCase() {
    QVERIFY(settingsDir_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
    window_ = std::make_unique<MainWindow>(nullptr, EngineSession::AudioPlayback::Off);
    window_->setUiLanguage(false);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    panel_ = window_->textPanel();
}

void TestOverlayEditors::rowsKeepTheirIdsAndTheLimit() {
    QList<UserPrompts::Prompt> prompts;
    UserPrompts::ScopedHandler handler([&](const UserPrompts::Prompt &p) {
        prompts << p;
        return false;
    });
    QSignalSpy removed(panel_, &TextPanel::textOverlayRemoved);
    QSignalSpy cleared(panel_, &TextPanel::clearOverlaysRequested);
    auto *add = child<QPushButton>(*panel_, QStringLiteral("addText"));
    for (int i = 0; i < 10; ++i)
        QTest::mouseClick(add, Qt::LeftButton);
    QCOMPARE(panel_->rowCount(), 10);
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(panel_->rowData(i).id, i + 1);
        QCOMPARE(panel_->rowData(i).pos, QPoint(12, 12 + 26 * i));
    }
    QVERIFY(!add->isEnabled());
    QVERIFY(add->toolTip().contains(QStringLiteral("reached")));

    // The eleventh is refused with a notice, not silently.
    panel_->addTextItem();
    QCOMPARE(panel_->rowCount(), 10);
    QCOMPARE(prompts.size(), 1);
    QCOMPARE(prompts[0].kind, UserPrompts::Kind::Information);

    // Ids are never reused: a deleted row's id may still be on the program elsewhere.
    QTest::mouseClick(rowButton(panel_, 2, "delete"), Qt::LeftButton);
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed[0][0].toInt(), 3);
    QVERIFY(add->isEnabled());
    QTest::mouseClick(add, Qt::LeftButton);
    QCOMPARE(panel_->rowData(9).id, 11);

    auto *clearAll = child<QPushButton>(*panel_, QStringLiteral("clearAll"));
    QTest::mouseClick(clearAll, Qt::LeftButton);
    QTest::mouseClick(clearAll, Qt::LeftButton); // an empty panel still clears the program
    QCOMPARE(panel_->rowCount(), 0);
    QCOMPARE(cleared.size(), 2);
    QCOMPARE(removed.size(), 1);
}

void TestOverlayEditors::textReachesTheProgramOnlyWhenOverlaid() {
    UserPrompts::setColorChooser([](QWidget *, const QColor &) { return QColor(Qt::green); });
    ProgramFrames frames(window_->session().pipeline());
    OverlayManager *overlays = window_->session().overlays();
    const int timeout = 3000 * kSlow;
    const auto red = [](const QImage &f) {
        return ProgramFrames::count(f, kCaption, ProgramFrames::reddish);
    };
    const auto green = [](const QImage &f) {
        return ProgramFrames::count(f, kCaption, ProgramFrames::greenish);
    };

    panel_->addTextItem();
    typeText(panel_, 0, QStringLiteral("QUORVI"));
    QTest::qWait(300);
    QVERIFY2(overlays->textOverlays().isEmpty(), "typing alone must not reach the program");
    QTest::mouseClick(rowButton(panel_, 0, "overlay"), Qt::LeftButton);
    QVERIFY(frames.waitFor([&](const QImage &f) { return red(f) > 40; }, timeout));
    QCOMPARE(
        ProgramFrames::count(frames.latest(), QRect(320, 180, 320, 180), ProgramFrames::reddish),
        0);

    // The effect dialog changes the row; the program keeps the old look until "Overlay".
    QTimer::singleShot(0, this, [] {
        auto *dialog = qobject_cast<TextEffectDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        QTest::mouseClick(child<QPushButton>(*dialog, QStringLiteral("fontColor")), Qt::LeftButton);
        child<QDialogButtonBox>(*dialog, QStringLiteral("buttons"))
            ->button(QDialogButtonBox::Ok)
            ->click();
    });
    QTest::mouseClick(rowButton(panel_, 0, "effect"), Qt::LeftButton);
    QCOMPARE(panel_->rowData(0).fontColor, QColor(Qt::green));
    QVERIFY(!frames.waitFor([&](const QImage &f) { return green(f) > 0; }, 500));
    QVERIFY(red(frames.latest()) > 40);
    QTest::mouseClick(rowButton(panel_, 0, "overlay"), Qt::LeftButton);
    QVERIFY(frames.waitFor([&](const QImage &f) { return green(f) > 40 && red(f) == 0; }, timeout));

    QTest::mouseClick(rowButton(panel_, 0, "delete"), Qt::LeftButton);
    QVERIFY(frames.waitFor([&](const QImage &f) { return green(f) == 0; }, timeout));
    QVERIFY(overlays->textOverlays().isEmpty());
    UserPrompts::setColorChooser({});
}

void TestOverlayEditors::previewWindowBelongsToItsRow() {
    OverlayManager *overlays = window_->session().overlays();
    panel_->addTextItem();
    // Wider than the preview window: the drag must still keep it at 0, never negative.
    typeText(panel_, 0, QStringLiteral("A caption far wider than the whole preview window is"));
    QTest::mouseClick(rowButton(panel_, 0, "overlay"), Qt::LeftButton);
    const QPoint onProgram = overlays->textOverlays().value(0).pos;
    for (int i = 0; i < 2; ++i)
        QTest::mouseClick(rowButton(panel_, 0, "preview"), Qt::LeftButton);
    QList<TextPreviewWidget *> previews = openPreviews();
    QCOMPARE(previews.size(), 1);
    QPointer<TextPreviewWidget> preview = previews[0];
    QVERIFY(QTest::qWaitForWindowExposed(preview));
    auto *label = child<QLabel>(*preview, QStringLiteral("previewText"));
    QVERIFY2(label->width() > preview->width(), qPrintable(QString::number(label->width())));

    QSignalSpy moved(preview, &TextPreviewWidget::positionChanged);
    struct Drag {
        QPoint by;
        QPoint expected;
    };
    for (const Drag &drag : {Drag{{-300, -300}, {0, 0}}, Drag{{900, 40}, {0, 40}},
                             Drag{{0, 900}, {0, 360 - label->height()}}}) {
        const QPoint grip(10, 10);
        QTest::mousePress(label, Qt::LeftButton, {}, grip);
        QTest::mouseMove(label, grip + drag.by);
        QTest::mouseRelease(label, Qt::LeftButton, {}, grip);
        QVERIFY(!moved.isEmpty());
        QCOMPARE(moved.last()[0].toPoint(), drag.expected);
        QCOMPARE(panel_->rowData(0).pos, drag.expected);
    }
    QCOMPARE(overlays->textOverlays().value(0).pos, onProgram);

    // Deleting the row closes its window at once; nothing is left to touch the freed row.
    QTest::mouseClick(rowButton(panel_, 0, "delete"), Qt::LeftButton);
    QVERIFY(preview.isNull());
    panel_->addTextItem();
    QTest::mouseClick(rowButton(panel_, 0, "preview"), Qt::LeftButton);
    previews = openPreviews();
    QCOMPARE(previews.size(), 1);
    preview = previews[0];
    QTest::mouseClick(child<QPushButton>(*panel_, QStringLiteral("clearAll")), Qt::LeftButton);
    QVERIFY(preview.isNull());
    QTest::qWait(50);
}

QWidget *TestOverlayEditors::toolButton(const char *name) const {
    DrawingToolBar *bar = window_->drawingToolBar();
    return bar->widgetForAction(child<QAction>(*bar, QString::fromLatin1(name)));
}

// Drags across the visible picture (kept 16:9, centred in the preview) between two points given
// as fractions of it.
void TestOverlayEditors::dragOverPicture(QPointF from, QPointF to) const {
    auto *layer = child<QWidget>(*window_->preview(), QStringLiteral("doodleLayer"));
    const QSize view = layer->size();
    const double scale = std::min(view.width() / 640.0, view.height() / 360.0);
    const QPointF origin((view.width() - 640 * scale) / 2, (view.height() - 360 * scale) / 2);
    const auto at = [&](QPointF f) {
        return (origin + QPointF(f.x() * 640 * scale, f.y() * 360 * scale)).toPoint();
    };
    QTest::mousePress(layer, Qt::LeftButton, {}, at(from));
    for (int step = 1; step <= 8; ++step)
        QTest::mouseMove(layer, at(from + (to - from) * step / 8.0));
    QTest::mouseRelease(layer, Qt::LeftButton, {}, at(to));
}

void TestOverlayEditors::drawingReachesTheProgramAndTheFile() {
    ProgramFrames frames(window_->session().pipeline());
    QTest::mouseClick(toolButton("toolPen"), Qt::LeftButton);
    // A thin horizontal stroke across the middle of the picture, between any sampling grid.
    dragOverPicture({0.25, 0.503}, {0.75, 0.503});
    const QRect middle(300, 170, 40, 20), above(300, 100, 40, 40);
    QVERIFY(frames.waitFor(
        [&](const QImage &f) { return ProgramFrames::count(f, middle, ProgramFrames::reddish); },
        3000 * kSlow));
    QCOMPARE(ProgramFrames::count(frames.latest(), above, ProgramFrames::reddish), 0);

    QTemporaryDir dir;
    QStringList asked;
    UserPrompts::setSaveFileChooser(
        [&](QWidget *, const QString &title, const QString &, const QString &filter) {
            asked << title << filter;
            return dir.filePath(QStringLiteral("drawing")); // no suffix given
        });
    QTest::mouseClick(toolButton("save"), Qt::LeftButton);
    QCOMPARE(asked, (QStringList{QStringLiteral("Save PNG"), QStringLiteral("PNG (*.png)")}));
    const QImage saved(dir.filePath(QStringLiteral("drawing.png")));
    QVERIFY(ProgramFrames::count(saved, middle, ProgramFrames::reddish) > 0);
    QCOMPARE(saved.pixelColor(320, 120).alpha(), 0);

    // The menu saves the same way; a failure names the file.
    QStringList warnings;
    UserPrompts::ScopedHandler handler([&](const UserPrompts::Prompt &p) {
        warnings << p.text;
        return false;
    });
    const QString path = dir.filePath(QStringLiteral("missing/drawing.png"));
    UserPrompts::setSaveFileChooser([&](auto...) { return path; });
    for (QAction *a : window_->menuBar()->findChildren<QAction *>())
        if (a->text() == QStringLiteral("Save PNG"))
            a->trigger();
    UserPrompts::setSaveFileChooser({});
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].contains(path), qPrintable(warnings[0]));
    window_->doodleCanvas()->clear();
}

void TestOverlayEditors::toolButtonsChooseTheTool_data() {
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<int>("tool");
    QTest::newRow("eraser") << QStringList{"toolPen", "toolEraser"} << int(DoodleCanvas::Eraser);
    QTest::newRow("unchecked: none") << QStringList{"toolCurve", "toolCurve"} << 0;
}

void TestOverlayEditors::toolButtonsChooseTheTool() {
    QFETCH(QStringList, clicks);
    QFETCH(int, tool);
    for (const QString &name : clicks)
        QTest::mouseClick(toolButton(qPrintable(name)), Qt::LeftButton);
    DoodleCanvas *canvas = window_->doodleCanvas();
    QCOMPARE(canvas->tool(), tool);
    // Without a tool, clicks on the preview draw nothing.
    const int before = canvas->historySize();
    dragOverPicture({0.1, 0.1}, {0.3, 0.3});
    QCOMPARE(canvas->historySize() - before, tool ? 1 : 0);
}

// A video attached from the stage plays on the program at its rectangle; detaching takes it off
// and keeps its slot, removing frees the slot. A picture appears at its rectangle and opacity.
void TestOverlayEditors::mediaOverlaysReachTheProgram() {
    media::FixtureSet fixtures;
    fixtures.define("lime.mp4", media::lavfi("color=c=lime:s=320x180:r=25:d=20") +
                                    QStringList{"-c:v", "libx264", "-preset", "ultrafast",
                                                "-pix_fmt", "yuv420p"});
    const QString clip = fixtures.path("lime.mp4");
    QVERIFY2(!clip.isEmpty(), qPrintable(fixtures.lastError()));
    QImage blue(320, 180, QImage::Format_RGB32);
    blue.fill(Qt::blue);
    const QString picture = fixtures.dir() + "/blue.png";
    QVERIFY(blue.save(picture));

    FramePipeline *pipeline = window_->session().pipeline();
    ProgramFrames frames(pipeline);
    const int timeout = 5000 * kSlow;
    MediaOverlayWidget *stage = window_->mediaPanel();
    VideoOverlayWidget *video = stage->addVideoOverlay(clip, {10, 10});
    ImageOverlayWidget *image = stage->addImageOverlay(picture, {320, 180});
    const QRect inVideo(60, 60, 200, 80), inImage(420, 250, 160, 60);
    const auto halfBlue = [](QColor c) {
        return c.blue() > 100 && c.blue() < 160 && c.red() < 40 && c.green() < 40;
    };
    const auto shows = [](QRect where, std::function<bool(QColor)> match) {
        return [=](const QImage &f) { return ProgramFrames::count(f, where, match) > 100; };
    };

    QTest::mouseClick(itemControl(video, "attachButton"), Qt::LeftButton);
    QVERIFY(video->isAttached() && video->isPlaying());
    QVERIFY(frames.waitFor(shows(inVideo, ProgramFrames::greenish), timeout));
    itemControl<QSlider>(image, "opacitySlider")->setValue(50);
    QTest::mouseClick(itemControl(image, "applyButton"), Qt::LeftButton);
    QVERIFY(frames.waitFor(shows(inImage, halfBlue), timeout));

    const int id = video->mediaId();
    QTest::mouseClick(itemControl(video, "attachButton"), Qt::LeftButton);
    QVERIFY(frames.waitFor(
        [&](const QImage &f) { return !ProgramFrames::count(f, inVideo, ProgramFrames::greenish); },
        timeout));
    QVERIFY(pipeline->overlaySlotOf(id) >= 0);
    QTest::mouseClick(itemControl(video, "removeButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(pipeline->overlaySlotOf(id) < 0, timeout);
    QTest::mouseClick(itemControl(image, "removeButton"), Qt::LeftButton);
    QVERIFY(window_->session().overlays()->mediaOverlays().isEmpty());
}

// A schedule puts its media overlays on the stage and the program as the editors' own buttons
// would; an editor the operator removes while the plan runs is left alone when its clip ends.
void TestOverlayEditors::scheduleDrivesTheEditors() {
    QTemporaryDir dir;
    QImage red(160, 90, QImage::Format_RGB32);
    red.fill(Qt::red);
    const QString picture = dir.filePath(QStringLiteral("red.png"));
    QVERIFY(red.save(picture));
    OverlayClip first;
    first.id = QStringLiteral("o0");
    first.kind = OverlayClip::Image;
    first.path = picture;
    first.rect = QRectF(40, 40, 160, 90);
    OverlayClip second = first;
    second.id = QStringLiteral("o1");
    second.rect = QRectF(400, 200, 160, 90);
    ProgramArrangement plan;
    plan.overlayClips = {first, second};

    FramePipeline *pipeline = window_->session().pipeline();
    ProgramFrames frames(pipeline);
    MediaOverlayWidget *stage = window_->mediaPanel();
    OverlayManager *overlays = window_->session().overlays();
    ArrangementPlayer *player = window_->arrangementPlayer();
    player->startArrangement(plan);
    QCOMPARE(stage->itemCount(), 2);
    QCOMPARE(overlays->mediaOverlays().size(), 2);
    const QRect inFirst(60, 60, 100, 50);
    QVERIFY(frames.waitFor(
        [&](const QImage &f) { return ProgramFrames::count(f, inFirst, ProgramFrames::reddish); },
        5000 * kSlow));

    const QList<MediaOverlayEntry> before = overlays->mediaOverlays();
    ImageOverlayWidget *removed = stage->imageItem(before.first().id);
    QVERIFY(removed);
    QTest::mouseClick(itemControl(removed, "removeButton"), Qt::LeftButton);
    QCOMPARE(stage->itemCount(), 1);
    player->stopArrangement();
    QCOMPARE(stage->itemCount(), 0);
    QVERIFY(overlays->mediaOverlays().isEmpty());
}

QTEST_MAIN(TestOverlayEditors)
#include "tst_OverlayEditors.moc"
