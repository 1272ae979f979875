#include "overlays/DoodleCanvas.h"
#include "pipeline/OverlayManager.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

QPoint pointAt(const QString &xy) {
    return QPoint(xy.section(',', 0, 0).toInt(), xy.section(',', 1, 1).toInt());
}

// Steps: "v<w>,<h>" view size, "t<n>" tool, "p/m/r<x>,<y>" press, move, release (view pixels),
// "u" undo, "c" clear.
void play(DoodleCanvas &canvas, const QString &script) {
    for (const QString &step : script.split(' ', Qt::SkipEmptyParts)) {
        const char kind = step.at(0).toLatin1();
        const QPoint at = pointAt(step.mid(1));
        kind == 'v'   ? canvas.setViewSize(QSize(at.x(), at.y()))
        : kind == 't' ? canvas.setTool(at.x())
        : kind == 'p' ? canvas.beginStroke(at)
        : kind == 'm' ? canvas.continueStroke(at)
        : kind == 'r' ? canvas.endStroke(at)
        : kind == 'u' ? canvas.undo()
                      : canvas.clear();
    }
}

} // namespace

class TestDoodleCanvas : public QObject {
    Q_OBJECT
private slots:
    void drawsWhatTheToolSays_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("history");
        QTest::addColumn<QString>("pixels"); // canvas pixels: +x,y coloured, -x,y transparent
        QTest::newRow("no tool: nothing") << "p100,100 m200,100 r200,100 t8" << 1 << "-150,100";
        QTest::newRow("pen; unknown tool refused")
            << "t1 t8 p100,100 m200,100 r0,0" << 2 << "+150,100 -50,50";
        // The control point lies 80 up, so the middle of the curve lies 40 up.
        QTest::newRow("curve bulges upwards")
            << "t6 p100,200 r300,200" << 2 << "+200,160 +100,200 -200,200 -200,120";
        QTest::newRow("polygon: a corner per click, undo one")
            << "t5 p100,100 r100,100 p300,100 r300,100 p200,300 r200,300 u" << 3
            << "+200,100 -150,200";
        QTest::newRow("eraser clears a line")
            << "t2 p100,200 r500,200 t7 p300,150 m300,250 r300,250" << 3
            << "+200,200 -300,200 -300,199 -300,201";
        QTest::newRow("undo with one entry; clear") << "u u t2 p1,1 r99,1 c" << 3 << "-50,1";
        QTest::newRow("large view: half")
            << "v1280,720 t2 p200,200 r600,200" << 2 << "+100,100 +300,100 -200,200 -310,100";
        QTest::newRow("wide view: picture corners")
            << "v1000,360 t2 p180,0 r819,359" << 2 << "+0,0 +639,359 -180,0 -639,0";
        QTest::newRow("tall view: picture corners")
            << "v640,600 t2 p639,120 r0,479" << 2 << "+639,0 +0,359 -0,0 -639,359";
        // Not clamped: (320,100) towards (-80,260) crosses x 0 at 228, not at 260.
        QTest::newRow("stroke leaving the picture")
            << "v1000,360 t2 p500,100 r100,260" << 2 << "+0,228 -0,259";
    }
    void drawsWhatTheToolSays() {
        QFETCH(QString, script);
        QFETCH(int, history);
        QFETCH(QString, pixels);
        OverlayManager target;
        DoodleCanvas canvas(&target);
        play(canvas, script);
        QCOMPARE(canvas.historySize(), history);
        const QImage image = canvas.image();
        QCOMPARE(target.doodleImage(), image); // what the program shows
        for (const QString &p : pixels.split(' ')) {
            const int alpha = qAlpha(image.pixel(pointAt(p.mid(1))));
            QVERIFY2(p[0] == '+' ? alpha > 100 : alpha == 0, qPrintable(p));
        }
    }

    void withoutTargetDoesNothing() {
        DoodleCanvas canvas(nullptr);
        QSignalSpy changed(&canvas, &DoodleCanvas::canvasChanged);
        play(canvas, "t2 p100,100 m0,0 r300,100 c u");
        QCOMPARE(canvas.historySize(), 0);
        QCOMPARE(changed.count(), 0);
        QVERIFY(!canvas.savePng(QDir::temp().filePath("never.png")));
    }

    void oldestDrawingsAreDropped() {
        OverlayManager target;
        DoodleCanvas canvas(&target);
        canvas.setTool(DoodleCanvas::Line);
        for (int i = 0; i < 150; ++i) { // stroke i at x = 2 + 4 i
            canvas.press(QPoint(2 + 4 * i, 10));
            canvas.release(QPoint(2 + 4 * i, 30));
        }
        QCOMPARE(canvas.historySize(), DoodleCanvas::kHistoryLimit + 1);
        for (int i = 0; i < DoodleCanvas::kHistoryLimit + 1; ++i)
            canvas.undo();
        // Back to the state after stroke 50, not to the blank sheet.
        QVERIFY(qAlpha(canvas.image().pixel(2 + 4 * 49, 20)) > 0);
        QCOMPARE(qAlpha(canvas.image().pixel(2 + 4 * 50, 20)), 0);
    }

    // A good save is checked through the window's Save button.
    void failedSaveKeepsTheOldFile_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("diskFull");
        QTest::newRow("missing folder") << "gone/drawing.png" << false;
        QTest::newRow("disk full") << "drawing.png" << true;
    }
    void failedSaveKeepsTheOldFile() {
        QFETCH(QString, name);
        QFETCH(bool, diskFull);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        QFile old(path);
        const bool hadFile = old.open(QIODevice::WriteOnly) && old.write("old") == 3;
        old.close();
        OverlayManager target;
        DoodleCanvas canvas(&target);
        play(canvas, "t3 p10,10 r600,300");

        rlimit unlimited{};
        getrlimit(RLIMIT_FSIZE, &unlimited);
        rlimit small = unlimited;
        small.rlim_cur = diskFull ? 64 : unlimited.rlim_cur; // longer writes fail as on a full disk
        const auto handler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
        QString error;
        const bool saved = canvas.savePng(path, &error);
        setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, handler);

        QVERIFY(!saved);
        QVERIFY(!error.isEmpty());
        if (hadFile) {
            QVERIFY(old.open(QIODevice::ReadOnly));
            QCOMPARE(old.readAll(), QByteArray("old"));
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{name}); // no leftovers
        }
    }
};

QTEST_MAIN(TestDoodleCanvas)
#include "tst_DoodleCanvas.moc"
