#include "common/ChildProcess.h"
#include "common/SlowFactor.h"
#include "overlays/DoodleCanvas.h"
#include "pipeline/FramePipeline.h"
#include "ui/MainWindow.h"
#include "ui/UserPrompts.h"
#include "ui/widgets/DrawingToolBar.h"
#include "ui/widgets/PreviewWidget.h"

#include <QActionGroup>
#include <QMenuBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <memory>

using testutil::waitUntil;

namespace {

QColor framePixel(const FrameToken &frame, double fx, double fy) {
    const QImage view(reinterpret_cast<const uchar *>(frame.data.constData()), frame.width,
                      frame.height, frame.stride, QImage::Format_RGBA8888);
    return view.pixelColor(int(fx * frame.width), int(fy * frame.height));
}

bool isRed(const QColor &c) {
    return c.red() > 200 && c.green() < 60 && c.blue() < 60;
}

} // namespace

class TestDrawingTools : public QObject {
    Q_OBJECT
    QTemporaryDir settingsDir_;
    std::unique_ptr<MainWindow> window_;

    DrawingToolBar *bar() const { return window_->drawingToolBar(); }
    DoodleCanvas *canvas() const { return window_->doodleCanvas(); }
    QWidget *button(const char *name) const {
        return bar()->widgetForAction(bar()->findChild<QAction *>(name));
    }
    void click(const char *name) const { QTest::mouseClick(button(name), Qt::LeftButton); }
    QWidget *layer() const { return window_->preview()->findChild<QWidget *>("doodleLayer"); }

    // Drags across the visible picture (kept 16:9, centred in the preview) between two points
    // given as fractions of it.
    void drag(QPointF from, QPointF to) const {
        const QSize view = layer()->size();
        const double scale = std::min(view.width() / 640.0, view.height() / 360.0);
        const QPointF origin((view.width() - 640 * scale) / 2, (view.height() - 360 * scale) / 2);
        const auto at = [&](QPointF f) {
            return (origin + QPointF(f.x() * 640 * scale, f.y() * 360 * scale)).toPoint();
        };
        QTest::mousePress(layer(), Qt::LeftButton, {}, at(from));
        for (int step = 1; step <= 8; ++step)
            QTest::mouseMove(layer(), at(from + (to - from) * step / 8.0));
        QTest::mouseRelease(layer(), Qt::LeftButton, {}, at(to));
    }

private slots:
    void initTestCase() {
        QVERIFY(settingsDir_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
        QSettings(QStringLiteral("Brisol"), QStringLiteral("Quorvi Pro")).clear();
        window_ = std::make_unique<MainWindow>(nullptr, EngineSession::AudioPlayback::Off);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }
    void cleanupTestCase() { window_.reset(); }
    void init() {
        canvas()->clear();
        if (QAction *checked = bar()->findChild<QActionGroup *>()->checkedAction())
            checked->trigger(); // back to no tool
    }

    void strokeReachesTheProgramAndTheFile() {
        click("toolPen");
        QCOMPARE(canvas()->tool(), int(DoodleCanvas::Pen));
        drag({0.25, 0.4}, {0.75, 0.6});

        // With no channel on the program the overlays are composed on black.
        FrameTokenPtr last;
        QObject guard;
        connect(window_->session().pipeline(), &FramePipeline::programFrameReady, &guard,
                [&](FrameTokenPtr f) { last = std::move(f); });
        QVERIFY(
            waitUntil([&] { return last && isRed(framePixel(*last, 0.5, 0.5)); }, 3000 * kSlow));
        for (const QPointF away : {QPointF(0.5, 0.4), QPointF(0.2, 0.5), QPointF(0.8, 0.5)})
            QVERIFY(framePixel(*last, away.x(), away.y()).value() < 40);

        QTemporaryDir dir;
        QStringList asked;
        UserPrompts::setSaveFileChooser(
            [&](QWidget *, const QString &title, const QString &, const QString &filter) {
                asked << title << filter;
                return dir.filePath("drawing"); // no suffix given
            });
        click("save");
        UserPrompts::setSaveFileChooser({});
        QCOMPARE(asked, (QStringList{"Save PNG", "PNG (*.png)"}));
        const QImage saved(dir.filePath("drawing.png"));
        QVERIFY(isRed(saved.pixelColor(320, 180)));
        QCOMPARE(saved.pixelColor(320, 150).alpha(), 0);

        // The menu saves the same way; a failure names the file.
        QStringList warnings;
        UserPrompts::ScopedHandler handler([&](const UserPrompts::Prompt &p) {
            warnings << p.text;
            return false;
        });
        const QString path = dir.filePath("missing/drawing.png");
        UserPrompts::setSaveFileChooser([&](auto...) { return path; });
        for (QAction *a : window_->menuBar()->findChildren<QAction *>())
            if (a->text() == QStringLiteral("Save PNG") && a->isEnabled())
                a->trigger();
        UserPrompts::setSaveFileChooser({});
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings[0].contains(path), qPrintable(warnings[0]));
    }

    void buttonsChooseTheTool_data() {
        QTest::addColumn<QStringList>("clicks");
        QTest::addColumn<int>("tool");
        QTest::newRow("eraser") << QStringList{"toolPen", "toolEraser"} << 7;
        QTest::newRow("unchecked: none") << QStringList{"toolCurve", "toolCurve"} << 0;
    }
    void buttonsChooseTheTool() {
        QFETCH(QStringList, clicks);
        QFETCH(int, tool);
        for (const QString &name : clicks)
            click(qPrintable(name));
        QCOMPARE(canvas()->tool(), tool);
        QCOMPARE(bar()->findChild<QActionGroup *>()->checkedAction() != nullptr, tool != 0);
        // Without a tool the preview takes no drawing.
        const int before = canvas()->historySize();
        drag({0.1, 0.1}, {0.3, 0.3});
        QCOMPARE(canvas()->historySize() - before, tool ? 1 : 0);
    }

    void eraserSpeaksBothLanguages() {
        for (const bool chinese : {true, false}) {
            window_->setUiLanguage(chinese);
            QCOMPARE(static_cast<QToolButton *>(button("toolEraser"))->text(),
                     QString(chinese ? "橡皮擦" : "Eraser"));
            QCOMPARE(bar()->windowTitle(), QString(chinese ? "画板工具" : "Drawing Tools"));
        }
    }
};

QTEST_MAIN(TestDrawingTools)
#include "tst_DrawingTools.moc"
