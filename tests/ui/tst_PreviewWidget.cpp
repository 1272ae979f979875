#include "overlays/DoodleInput.h"
#include "ui/widgets/PreviewWidget.h"

#include <QLabel>
#include <QMouseEvent>
#include <QtTest>

struct RecordingCanvas : DoodleInput {
    QSize size;
    QList<QPoint> began, continued, ended;
    void setViewSize(QSize s) override { size = s; }
    void beginStroke(QPoint p) override { began << p; }
    void continueStroke(QPoint p) override { continued << p; }
    void endStroke(QPoint p) override { ended << p; }
};

class TestPreviewWidget : public QObject {
    Q_OBJECT
    std::unique_ptr<PreviewWidget> preview; // 640 x 360 at least
    QImage shown() const { return preview->findChild<QLabel *>("display")->pixmap().toImage(); }

private slots:
    void init() {
        preview = std::make_unique<PreviewWidget>();
        preview->show();
    }

    // Steps: r, g, b hand in a 64 x 36 frame with every byte (alpha too) that letter, 0 one of
    // width 0, i shows an image of grey level i, c clears, p lets the event loop turn once.
    void showsNewestAndReleasesTheRest_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("grey");       // of the picture shown; 0: nothing shown
        QTest::addColumn<int>("framesHeld"); // alive: not yet back in a pool
        QTest::newRow("nothing before the loop turns") << "rgb" << 0 << 1;
        QTest::newRow("newest of a turn only") << "rgbp" << int('b') << 1;
        QTest::newRow("width 0 clears") << "rp0p" << 0 << 0;
        QTest::newRow("image replaces frame") << "rpi" << int('i') << 0;
        QTest::newRow("clear cancels queued pass") << "rcp" << 0 << 0;
        QTest::newRow("cancelled pass leaves next frame") << "rcgpp" << int('g') << 1;
    }
    void showsNewestAndReleasesTheRest() {
        QFETCH(QString, steps);
        QFETCH(int, grey);
        QFETCH(int, framesHeld);
        QImage image(64, 36, QImage::Format_Grayscale8);
        image.fill(uint('i'));
        std::vector<std::weak_ptr<FrameToken>> sent;
        for (char c : steps.toLatin1()) {
            if (c == 'i') {
                preview->setProgramImage(image);
            } else if (c == 'c') {
                preview->clearProgram();
            } else if (c == 'p') {
                QCoreApplication::processEvents();
            } else {
                auto frame = std::make_shared<FrameToken>();
                frame->width = c == '0' ? 0 : 64;
                frame->height = 36;
                frame->data = QByteArray(256 * 36, c);
                frame->stride = 256;
                sent.push_back(frame);
                preview->setProgramFrame(std::move(frame));
            }
        }
        const QImage seen = shown();
        QCOMPARE(seen.isNull() ? 0u : seen.pixel(32, 18), grey ? qRgb(grey, grey, grey) : 0u);
        QCOMPARE(std::ranges::count_if(sent, [](auto &f) { return !f.expired(); }), framesHeld);
    }

    // Run with QT_SCALE_FACTOR=1.5 as tst_PreviewWidget_dpr; at 1 it checks the letterbox only.
    void scalesForDevicePixelRatio() {
        const qreal dpr = preview->devicePixelRatio();
        QImage image(481, 271, QImage::Format_RGB32); // the aspect ratio of 962 x 542
        image.fill(Qt::white);
        preview->resize(641, 361);
        preview->setProgramImage(image);
        QCOMPARE(shown().size(), qFuzzyCompare(dpr, 1.5) ? QSize(962, 542) : QSize(640, 361));
        QCOMPARE(shown().devicePixelRatio(), dpr);

        // In 700 x 360 the picture is 638 wide, in the middle between black bars.
        preview->resize(700, 360);
        const QImage seen = preview->grab().toImage();
        for (int x : {0, 28, 33, 350, 667, 672, 699})
            QCOMPARE(seen.pixelColor(int(x * dpr), int(180 * dpr)),
                     QColor(x < 30 || x > 670 ? Qt::black : Qt::white));
    }

    void doodleLayerHandsStrokesToCanvas() {
        RecordingCanvas canvas;
        preview->setDoodleCanvas(&canvas);
        QCOMPARE(canvas.size, QSize(640, 360));
        preview->resize(800, 450);
        QCOMPARE(canvas.size, QSize(800, 450));
        QWidget *layer = preview->findChild<QWidget *>(QStringLiteral("doodleLayer"));
        const std::tuple<QEvent::Type, Qt::MouseButton, Qt::MouseButtons, QPointF> events[] = {
            {QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, {10.4, 20.6}},
            {QEvent::MouseMove, Qt::NoButton, Qt::NoButton, {30, 30}}, // tracking: draws nothing
            {QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, {2.5, -0.5}},
            {QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, {3e10, -3e10}},
            {QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, {40, 50}},
        };
        for (const auto &[type, button, buttons, pos] : events) {
            QMouseEvent event(type, pos, layer->mapToGlobal(pos), button, buttons, Qt::NoModifier);
            QApplication::sendEvent(layer, &event);
        }
        QCOMPARE(canvas.began, QList<QPoint>{QPoint(10, 21)});
        QCOMPARE(canvas.continued, (QList<QPoint>{{3, -1}, {INT_MAX, INT_MIN}}));
        QCOMPARE(canvas.ended, QList<QPoint>{QPoint(40, 50)});
    }
};

QTEST_MAIN(TestPreviewWidget)
#include "tst_PreviewWidget.moc"
