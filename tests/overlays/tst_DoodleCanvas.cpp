#include "overlays/DoodleCanvas.h"
#include "pipeline/OverlayManager.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QPoint point(const QString &text) {
    const QStringList xy = text.split(',');
    return QPoint(xy.value(0).toInt(), xy.value(1).toInt());
}

// Steps: "t<n>" tool, "p/m/r<x>,<y>" press, move, release, "u" undo, "c" clear.
void play(DoodleCanvas &canvas, const QString &script) {
    for (const QString &step : script.split(' ', Qt::SkipEmptyParts)) {
        const QString arg = step.mid(1);
        switch (step.at(0).toLatin1()) {
        case 't':
            canvas.setTool(arg.toInt());
            break;
        case 'p':
            canvas.beginStroke(point(arg));
            break;
        case 'm':
            canvas.continueStroke(point(arg));
            break;
        case 'r':
            canvas.endStroke(point(arg));
            break;
        case 'u':
            canvas.undo();
            break;
        case 'c':
            canvas.clear();
            break;
        default:
            qFatal("bad step %s", qPrintable(step));
        }
    }
}

QList<QPoint> points(const QString &list) {
    QList<QPoint> out;
    for (const QString &p : list.split(' ', Qt::SkipEmptyParts))
        out << point(p);
    return out;
}

// One short line per stroke, each at its own x.
void strokes(DoodleCanvas &canvas, int count) {
    canvas.setTool(DoodleCanvas::Line);
    for (int i = 0; i < count; ++i) {
        canvas.press(QPoint(2 + 4 * i, 10));
        canvas.release(QPoint(2 + 4 * i, 30));
    }
}

bool stroke(const DoodleCanvas &canvas, int i) {
    return qAlpha(canvas.image().pixel(2 + 4 * i, 20)) > 0;
}

} // namespace

class TestDoodleCanvas : public QObject {
    Q_OBJECT
private slots:
    void drawsWhatTheToolSays_data() {
        QTest::addColumn<QSize>("view");
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("history");
        QTest::addColumn<QString>("painted"); // canvas pixels with colour
        QTest::addColumn<QString>("clear");   // canvas pixels fully transparent
        const QSize same(640, 360);
        QTest::newRow("no tool: nothing, no history")
            << same << "p100,100 m200,100 r200,100" << 1 << ""
            << "150,100 100,100";
        QTest::newRow("unknown tool refused")
            << same << "t1 t8 p100,100 m200,100 r200,100" << 2 << "150,100"
            << "";
        QTest::newRow("pen follows the mouse")
            << same << "t1 p100,100 m200,100 m200,200 r0,0" << 2 << "150,100 200,150"
            << "150,150 50,50";
        QTest::newRow("line on release")
            << same << "t2 p100,100 m300,300 r300,100" << 2 << "200,100"
            << "200,200 300,300";
        QTest::newRow("rectangle outline")
            << same << "t3 p300,100 r100,200" << 2 << "100,150 300,150 200,100 200,200"
            << "200,150";
        QTest::newRow("ellipse in the rectangle")
            << same << "t4 p100,100 r300,200" << 2 << "100,150 200,100"
            << "100,100 200,150";
        QTest::newRow("curve bulges upwards")
            << same << "t6 p100,200 r300,200" << 2 << "200,160 100,200"
            << "200,200 200,120";
        QTest::newRow("polygon: a corner per click")
            << same << "t5 p100,100 r100,100 p300,100 r300,100 p200,300 r200,300" << 4
            << "200,100 150,200 250,200"
            << "200,200";
        QTest::newRow("undo takes back one corner")
            << same << "t5 p100,100 r100,100 p300,100 r300,100 p200,300 r200,300 u" << 3
            << "200,100"
            << "150,200";
        QTest::newRow("other tool ends the polygon")
            << same << "t5 p100,100 r100,100 t2 t5 p300,100 r300,100 p200,300 r200,300" << 4
            << "250,200"
            << "200,100 150,200";
        QTest::newRow("eraser clears a line")
            << same << "t2 p100,200 r500,200 t7 p300,150 m300,250 r300,250" << 3 << "200,200"
            << "300,200 300,199 300,201";
        QTest::newRow("undo with one entry") << same << "u u" << 1 << ""
                                             << "0,0";
        QTest::newRow("clear blanks the drawing") << same << "t2 p100,100 r300,100 c" << 3 << ""
                                                  << "200,100";
        QTest::newRow("undo the clear") << same << "t2 p100,100 r300,100 c u" << 2 << "200,100"
                                        << "";
        QTest::newRow("large view: half")
            << QSize(1280, 720) << "t2 p200,200 r600,200" << 2 << "100,100 300,100"
            << "200,200 310,100";
        QTest::newRow("wide view: picture corners")
            << QSize(1000, 360) << "t2 p180,0 r819,359" << 2 << "0,0 639,359 320,180"
            << "180,0 639,0";
        QTest::newRow("tall view: picture corners")
            << QSize(640, 600) << "t2 p639,120 r0,479" << 2 << "639,0 0,359 320,180"
            << "0,0 639,359";
        // Leaving the picture keeps the slope: (320,100) towards (-80,260) crosses x 0 at 228.
        QTest::newRow("stroke leaving the picture")
            << QSize(1000, 360) << "t2 p500,100 r100,260" << 2 << "0,228"
            << "0,259";
        QTest::newRow("empty view ignored") << QSize(0, 0) << "t2 p0,0 r0,100" << 2 << "0,50"
                                            << "";
    }
    void drawsWhatTheToolSays() {
        QFETCH(QSize, view);
        QFETCH(QString, script);
        QFETCH(int, history);
        QFETCH(QString, painted);
        QFETCH(QString, clear);
        OverlayManager target;
        DoodleCanvas canvas(&target);
        canvas.setViewSize(view);
        play(canvas, script);
        QCOMPARE(canvas.historySize(), history);
        const QImage image = canvas.image();
        QCOMPARE(image.size(), QSize(640, 360));
        QCOMPARE(target.doodleImage(), image); // what the program shows
        for (const QPoint &p : points(painted))
            QVERIFY2(qAlpha(image.pixel(p)) > 100,
                     qPrintable(QStringLiteral("%1,%2 blank").arg(p.x()).arg(p.y())));
        for (const QPoint &p : points(clear))
            QVERIFY2(qAlpha(image.pixel(p)) == 0,
                     qPrintable(QStringLiteral("%1,%2 painted").arg(p.x()).arg(p.y())));
    }

    void withoutTargetDoesNothing() {
        DoodleCanvas canvas(nullptr);
        QSignalSpy changed(&canvas, &DoodleCanvas::canvasChanged);
        play(canvas, "t2 p100,100 m0,0 r300,100 c u");
        QCOMPARE(canvas.historySize(), 0);
        QVERIFY(canvas.image().isNull());
        QCOMPARE(changed.count(), 0);
        QVERIFY(!canvas.savePng(QDir::temp().filePath("never.png")));
    }

    void oldestDrawingsAreDropped() {
        OverlayManager target;
        DoodleCanvas canvas(&target);
        strokes(canvas, 150);
        QCOMPARE(canvas.historySize(), DoodleCanvas::kHistoryLimit + 1);
        for (int i = 0; i < DoodleCanvas::kHistoryLimit; ++i)
            canvas.undo();
        // The state after stroke 50, which the oldest kept undo cannot go beyond.
        QVERIFY(stroke(canvas, 49));
        QVERIFY(!stroke(canvas, 50));
        canvas.undo();
        QVERIFY(stroke(canvas, 49));
        QCOMPARE(canvas.historySize(), 1);
    }

    void savesOrKeepsTheOldFile_data() {
        QTest::addColumn<QString>("folder"); // below a fresh temporary folder
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("saved");
        QTest::newRow("writable") << ""
                                  << "" << true;
        QTest::newRow("missing folder") << "gone/"
                                        << "" << false;
        QTest::newRow("read-only folder") << "ro/"
                                          << "chmod" << false;
        QTest::newRow("disk full") << ""
                                   << "fsize" << false;
    }
    void savesOrKeepsTheOldFile() {
        QFETCH(QString, folder);
        QFETCH(QString, how);
        QFETCH(bool, saved);
        QTemporaryDir dir;
        OverlayManager target;
        DoodleCanvas canvas(&target);
        play(canvas, "t3 p10,10 r600,300");
        const QString path = dir.filePath(folder + "drawing.png");
        const QByteArray old = "not yet a drawing";
        if (how == "chmod") {
            if (geteuid() == 0)
                QSKIP("permissions do not bind the super user");
            QVERIFY(QDir(dir.path()).mkdir("ro"));
        }
        if (!folder.startsWith("gone")) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(old) == old.size());
        }
        if (how == "chmod")
            QFile::setPermissions(dir.filePath("ro"), QFile::ReadOwner | QFile::ExeOwner);

        QString error;
        bool ok = false;
        if (how == "fsize") {
            // Writes past 64 bytes fail as on a full disk.
            rlimit before{};
            getrlimit(RLIMIT_FSIZE, &before);
            rlimit small = before;
            small.rlim_cur = 64;
            const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &small);
            ok = canvas.savePng(path, &error);
            setrlimit(RLIMIT_FSIZE, &before);
            std::signal(SIGXFSZ, oldHandler);
        } else {
            ok = canvas.savePng(path, &error);
        }
        QCOMPARE(ok, saved);
        QCOMPARE(error.isEmpty(), saved);
        QFile f(path);
        if (saved) {
            const QImage written(path);
            QCOMPARE(written.size(), canvas.image().size());
            QCOMPARE(written.pixelColor(10, 150), QColor(Qt::red)); // the rectangle's edge
            QCOMPARE(qAlpha(written.pixel(300, 150)), 0);
        } else if (!folder.startsWith("gone")) {
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), old);
            QCOMPARE(QDir(QFileInfo(path).path()).entryList(QDir::Files),
                     QStringList{"drawing.png"}); // no half-written leftovers
        }
        if (how == "chmod")
            QFile::setPermissions(dir.filePath("ro"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

QTEST_MAIN(TestDoodleCanvas)
#include "tst_DoodleCanvas.moc"
