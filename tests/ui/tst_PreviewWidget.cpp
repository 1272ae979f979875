#include "core/FramePool.h"
#include "ui/UserPrompts.h"
#include "ui/widgets/DoodleInput.h"
#include "ui/widgets/PreviewWidget.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QtTest>

namespace {

FrameTokenPtr pooledFrame(FramePool &pool, QColor colour) {
    FrameTokenPtr frame = pool.acquire();
    frame->width = pool.width();
    frame->height = pool.height();
    QImage(reinterpret_cast<uchar *>(frame->data.data()), frame->width, frame->height,
           frame->stride, QImage::Format_RGBA8888)
        .fill(colour);
    return frame;
}

QPixmap shownPixmap(const PreviewWidget &w) {
    return w.findChild<QLabel *>(QStringLiteral("display"))->pixmap();
}

QColor shownColour(const PreviewWidget &w) {
    const QImage image = shownPixmap(w).toImage();
    return image.isNull() ? QColor() : image.pixelColor(image.width() / 2, image.height() / 2);
}

struct RecordingCanvas : DoodleInput {
    QStringList calls;
    QList<QSize> sizes;
    void setCanvasSize(QSize size) override { sizes << size; }
    void beginStroke(QPoint p) override { record("begin", p); }
    void continueStroke(QPoint p) override { record("continue", p); }
    void endStroke(QPoint p) override { record("end", p); }
    void record(const char *what, QPoint p) {
        calls << QStringLiteral("%1 %2,%3").arg(QLatin1String(what)).arg(p.x()).arg(p.y());
    }
};

} // namespace

class TestPreviewWidget : public QObject {
    Q_OBJECT
private slots:
    void init() {
        preview = std::make_unique<PreviewWidget>();
        preview->resize(640, 360);
        preview->show();
        QVERIFY(QTest::qWaitForWindowExposed(preview.get()));
    }
    void cleanup() {
        preview.reset(); // before the pool: it may hold one of its frames
        framePool.reset();
    }

    // Each step: r, g, b hand in a frame of that colour, 0 a frame of width 0, e one without
    // bytes, i shows a yellow image, c clears, p lets the event loop turn once.
    void showsNewestAndReleasesTheRest_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QColor>("shown"); // invalid: nothing shown
        QTest::addColumn<int>("framesHeld");
        QTest::newRow("nothing before the loop turns") << "rgb" << QColor() << 1;
        QTest::newRow("newest of a turn only") << "rgbp" << QColor(Qt::blue) << 1;
        QTest::newRow("width 0 clears") << "rp0p" << QColor() << 0;
        QTest::newRow("no bytes clears") << "rpep" << QColor() << 0;
        QTest::newRow("image replaces frame") << "rpi" << QColor(Qt::yellow) << 0;
        QTest::newRow("clear cancels queued pass") << "rcp" << QColor() << 0;
        QTest::newRow("cancelled pass leaves next frame") << "rcgpp" << QColor(Qt::green) << 1;
    }
    void showsNewestAndReleasesTheRest() {
        QFETCH(QString, steps);
        QFETCH(QColor, shown);
        QFETCH(int, framesHeld);
        FramePool &pool = newPool(64, 36);
        QImage yellow(64, 36, QImage::Format_RGB32);
        yellow.fill(Qt::yellow);
        const QHash<QChar, QColor> colours{{'r', Qt::red}, {'g', Qt::green}, {'b', Qt::blue}};
        for (QChar step : steps) {
            if (colours.contains(step))
                preview->setProgramFrame(pooledFrame(pool, colours[step]));
            else if (step == '0')
                preview->setProgramFrame(pool.acquire());
            else if (step == 'e')
                preview->setProgramFrame(
                    std::make_shared<FrameToken>(FrameToken{0, 64, 36, true, {}, 256}));
            else if (step == 'i')
                preview->setProgramImage(yellow);
            else if (step == 'c')
                preview->clearProgram();
            else
                QCoreApplication::processEvents();
        }
        QCOMPARE(shownColour(*preview), shown);
        QCOMPARE(pool.tokensInUse(), framesHeld);
    }

    void scalesForDevicePixelRatio() {
        if (!qFuzzyCompare(preview->devicePixelRatio(), 1.5))
            QSKIP("runs as tst_PreviewWidget_dpr, with QT_SCALE_FACTOR=1.5");
        preview->resize(641, 361);
        QImage image(481, 271, QImage::Format_RGB32); // the aspect ratio of 962 x 542
        image.fill(Qt::cyan);
        preview->setProgramImage(image);
        const QPixmap shown = shownPixmap(*preview);
        QCOMPARE(shown.size(), QSize(962, 542));
        QCOMPARE(shown.devicePixelRatio(), 1.5);
    }

    void letterboxesOnBlack() {
        FramePool &pool = newPool(1920, 1080);
        preview->resize(700, 360);
        preview->setProgramFrame(pooledFrame(pool, Qt::red));
        QCoreApplication::processEvents();
        const QImage seen = preview->grab().toImage();
        const qreal dpr = seen.devicePixelRatio();
        const int y = seen.height() / 2;
        // 640 x 360 picture in the middle, 30 px bars on either side.
        for (int x : {0, 28, 672, 699})
            QCOMPARE(seen.pixelColor(int(x * dpr), y), QColor(Qt::black));
        for (int x : {32, 350, 667})
            QCOMPARE(seen.pixelColor(int(x * dpr), y), QColor(Qt::red));
        QCOMPARE(pool.tokensInUse(), 1); // shown, so still held
    }

    void doodleLayerHandsStrokesToCanvas() {
        RecordingCanvas canvas;
        preview->resize(700, 400);
        preview->setDoodleCanvas(&canvas);
        QCOMPARE(canvas.sizes, QList<QSize>{QSize(700, 400)});
        preview->resize(800, 450);
        QCOMPARE(canvas.sizes.last(), QSize(800, 450));

        QWidget *layer = preview->findChild<QWidget *>(QStringLiteral("doodleLayer"));
        QVERIFY(layer);
        const struct {
            QEvent::Type type;
            Qt::MouseButtons buttons;
            QPointF pos;
            QString expected; // empty: nothing reaches the canvas
        } steps[] = {
            {QEvent::MouseButtonPress, Qt::LeftButton, {10.4, 20.6}, "begin 10,21"},
            {QEvent::MouseMove, Qt::NoButton, {30, 30}, {}},
            {QEvent::MouseMove, Qt::LeftButton, {2.5, -0.5}, "continue 3,-1"},
            {QEvent::MouseMove, Qt::LeftButton, {3e10, -3e10}, "continue 2147483647,-2147483648"},
            {QEvent::MouseButtonRelease, Qt::NoButton, {40, 50}, "end 40,50"},
        };
        for (const auto &s : steps) {
            canvas.calls.clear();
            const Qt::MouseButton button =
                s.type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
            QMouseEvent event(s.type, s.pos, layer->mapToGlobal(s.pos), button, s.buttons,
                              Qt::NoModifier);
            QApplication::sendEvent(layer, &event);
            QCOMPARE(canvas.calls, s.expected.isEmpty() ? QStringList() : QStringList{s.expected});
        }
    }

    // Not a pass/fail check: the GUI-thread cost of converting one full-size program frame.
    void refreshCost() {
        FramePool &pool = newPool(1920, 1080);
        const FrameTokenPtr frames[2] = {pooledFrame(pool, Qt::red), pooledFrame(pool, Qt::blue)};
        constexpr int kRefreshes = 30;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kRefreshes; ++i) {
            preview->setProgramFrame(frames[i % 2]);
            QCoreApplication::processEvents();
        }
        const double ms = timer.nsecsElapsed() / 1e6 / kRefreshes;
        qInfo("refresh of a 1920x1080 frame into %dx%d: %.2f ms", preview->width(),
              preview->height(), ms);
        QCOMPARE(shownColour(*preview), QColor(Qt::blue));
    }

    void promptsGoToTheHandlerInPlaceOfBoxes() {
        QStringList seen;
        auto recorder = [&seen](bool answer) {
            return [&seen, answer](const UserPrompts::Prompt &p) {
                seen << QStringLiteral("%1 %2: %3 %4")
                            .arg(p.kind == UserPrompts::Kind::Question ? "question" : "warning",
                                 p.title, p.text)
                            .arg(int(p.defaultYes));
                return answer;
            };
        };
        const UserPrompts::ScopedHandler outer(recorder(true));
        {
            const UserPrompts::ScopedHandler inner(recorder(false));
            QCOMPARE(UserPrompts::question(preview.get(), "Stop", "Stop now?", true), false);
        }
        QCOMPARE(UserPrompts::question(nullptr, "Stop", "Really?", false), true);
        UserPrompts::warning(nullptr, "Output", "No source");
        QCOMPARE(seen, (QStringList{"question Stop: Stop now? 1", "question Stop: Really? 0",
                                    "warning Output: No source 0"}));
    }

private:
    FramePool &newPool(int width, int height) {
        framePool = std::make_unique<FramePool>(4, width, height);
        return *framePool;
    }

    std::unique_ptr<PreviewWidget> preview;
    std::unique_ptr<FramePool> framePool;
};

QTEST_MAIN(TestPreviewWidget)
#include "tst_PreviewWidget.moc"
