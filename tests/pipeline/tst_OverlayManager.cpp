// The overlay store's rules as its users meet them: limits, which changes restart a scroll,
// which signals a change raises, which image load wins, how video pictures are stored.

#include "common/OverlayFixtures.h"
#include "overlays/BoundedImageLoader.h"
#include "pipeline/OverlayManager.h"

#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace overlays;

namespace {

// Records the manager's signals in the order they arrive.
struct SignalLog {
    QStringList names;
    explicit SignalLog(OverlayManager &m) {
        auto hook = [&](auto signal, const char *name) {
            QObject::connect(&m, signal, &m, [this, name] { names << QString::fromLatin1(name); });
        };
        hook(&OverlayManager::textOverlaysChanged, "text");
        hook(&OverlayManager::mediaOverlaysChanged, "media");
        hook(&OverlayManager::doodleOverlayChanged, "doodle");
        hook(&OverlayManager::overlayLayoutChanged, "layout");
        hook(&OverlayManager::overlayChanged, "changed");
    }
    QStringList take() { return std::exchange(names, {}); }
};

TextOverlayData text(int id, const QString &s = QStringLiteral("hello")) {
    TextOverlayData t;
    t.id = id;
    t.text = s;
    return t;
}

using TextChange = std::function<void(TextOverlayData &)>;

template <typename List> QList<int> ids(const List &list) {
    QList<int> out;
    for (const auto &e : list)
        out << e.id;
    return out;
}

} // namespace

Q_DECLARE_METATYPE(TextChange)

class TestOverlayManager : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;

private slots:
    void eleventhTextIsRefused() {
        OverlayManager m;
        SignalLog log(m);
        for (int id = 0; id < 10; ++id)
            m.setTextOverlay(text(id));
        log.take();
        QTest::ignoreMessage(QtWarningMsg, "OverlayManager: max 10 text overlays — ignoring id 12");
        m.setTextOverlay(text(12));
        QCOMPARE(m.textOverlays().size(), 10);
        QVERIFY(log.take().isEmpty());
        // An existing id still replaces; a negative id or a second removal changes nothing;
        // removing one makes room again.
        const QStringList changed{"text", "changed"};
        m.setTextOverlay(text(3, QStringLiteral("three")));
        QCOMPARE(m.textOverlays().at(3).text, QStringLiteral("three"));
        QCOMPARE(log.take(), changed);
        m.setTextOverlay(text(-1));
        m.removeTextOverlay(5);
        m.removeTextOverlay(5);
        QCOMPARE(log.take(), changed);
        m.setTextOverlay(text(12));
        QCOMPARE(m.textOverlays().size(), 10);
        m.clearTextOverlays();
        QVERIFY(m.textOverlays().isEmpty());
        QCOMPARE(log.take(), changed + changed);
    }

    void scrollRestartsOnlyOnItsOwnFields_data() {
        QTest::addColumn<TextChange>("change");
        QTest::addColumn<bool>("restarts");
#define ROW(name, restarts, body)                                                                  \
    QTest::newRow(name) << TextChange([](auto &d) { body; }) << restarts
        ROW("fontColor", false, d.fontColor = Qt::green);
        ROW("posY", false, d.pos.setY(200));
        ROW("opacity", false, d.opacity = 10);
        ROW("background", false, d.backgroundEnabled = true);
        ROW("shadow", false, d.shadow = true);
        ROW("outline", false, d.outline = true);
        ROW("zIndex", false, d.zIndex = 4);
        ROW("viewportW", false, d.scrollViewportWidth = 300);
        ROW("viewportH", false, d.scrollViewportHeight = 30);
        ROW("underline", false, d.underline = true);
        ROW("strikeOut", false, d.strikeOut = true);
        ROW("text", true, d.text = QStringLiteral("other"));
        ROW("direction", true, d.scrollDirection = 2);
        ROW("times", true, d.scrollTimes = 3);
        ROW("step", true, d.scrollStep = 5);
        ROW("posX", true, d.pos.setX(99));
        ROW("pointSize", true, d.font.setPointSize(40));
        ROW("family", true, d.font.setFamily(QStringLiteral("Serif")));
        ROW("bold", true, d.bold = true);
        ROW("italic", true, d.italic = true);
#undef ROW
    }
    void scrollRestartsOnlyOnItsOwnFields() {
        QFETCH(TextChange, change);
        QFETCH(bool, restarts);
        OverlayManager m;
        int64_t now = 5'000'000'000;
        m.setMonotonicClock([&] { return now; });
        TextOverlayData t = text(1);
        t.scrollable = true;
        t.scrollDirection = TextOverlayData::kScrollLeftToRight;
        m.setTextOverlay(t);
        now += 3'000'000'000;
        QCOMPARE(m.scrollElapsedUs(1), 3'000'000);
        change(t);
        m.setTextOverlay(t);
        now += 1'000'000'000;
        QCOMPARE(m.scrollElapsedUs(1), restarts ? 1'000'000 : 4'000'000);
    }

    void scrollClockOnlyForScrollingTexts() {
        OverlayManager m;
        int64_t now = 0;
        m.setMonotonicClock([&] { return now; });
        TextOverlayData t = text(1);
        m.setTextOverlay(t);
        now += 2'000'000'000;
        QCOMPARE(m.scrollElapsedUs(1), 0);  // not scrollable
        QCOMPARE(m.scrollElapsedUs(77), 0); // unknown
        t.scrollable = true;
        m.setTextOverlay(t); // direction still 0: nothing moves
        QCOMPARE(m.scrollElapsedUs(1), 0);
        QVERIFY(!m.needsPeriodicRefresh());
        t.scrollDirection = TextOverlayData::kScrollRightToLeft;
        m.setTextOverlay(t);
        QVERIFY(m.needsPeriodicRefresh());
        now += 500'000'000;
        QCOMPARE(m.scrollElapsedUs(1), 500'000);
    }

    void mediaChangeClasses() {
        OverlayManager m;
        SignalLog log(m);
        const QString a = writePng(dir_.path(), "a", 4, 4, Qt::red);
        const QString b = writePng(dir_.path(), "b", 4, 4, Qt::blue);
        MediaOverlayEntry e = mediaEntry(1, MediaOverlayEntry::kImage, a, QRectF(10, 10, 100, 50));
        // Applies a change to `e`: the signals it raised, or "refused".
        const auto set = [&](const std::function<void(MediaOverlayEntry &)> &change) {
            MediaOverlayEntry next = e;
            change(next);
            const bool applied = m.setMediaOverlay(next);
            if (applied)
                e = next;
            return (applied ? QStringList() : QStringList{"refused"}) + log.take();
        };
        const QStringList layout{"media", "layout"}, full{"media", "changed"};
        QCOMPARE(set([](auto &) {}), full);
        QTRY_VERIFY(!m.cachedImage(1).isNull());
        log.take(); // the load's own "changed"

        // Jitter within one scene unit is refused; a move, a fade or a raise keeps the picture.
        QCOMPARE(set([](auto &x) { x.rectInScene.adjust(0.5, -1, 1.5, -1); }),
                 QStringList{"refused"});
        QCOMPARE(set([](auto &x) { x.rectInScene.translate(2, 0); }), layout);
        QCOMPARE(set([](auto &x) { x.opacity = 0.5; }), layout);
        QCOMPARE(set([](auto &x) { x.zOrder = 3; }), layout);
        QCOMPARE(m.mediaOverlays().first().rectInScene, QRectF(12, 10, 100, 50));
        QVERIFY(!m.cachedImage(1).isNull());

        // Disabling is a full change; so is a new path, which drops and reloads the picture.
        QCOMPARE(set([](auto &x) { x.enabled = false; }), full);
        QCOMPARE(set([&](auto &x) { x.enabled = true, x.filePath = b; }), full);
        QVERIFY(m.cachedImage(1).isNull());
        QTRY_VERIFY(!m.cachedImage(1).isNull());
        QCOMPARE(m.cachedImage(1).pixelColor(0, 0), QColor(Qt::blue));
        set([](auto &x) { x.kind = MediaOverlayEntry::kVideo; }); // drops the still picture
        QVERIFY(m.cachedImage(1).isNull());

        QVERIFY(!m.setMediaOverlay(mediaEntry(-1, 0, a, QRectF())));
        log.take();
        m.removeMediaOverlay(1);
        QCOMPARE(log.take(), full);
        QVERIFY(!m.hasMediaOverlay(1));
        m.removeMediaOverlay(1);
        QVERIFY(log.take().isEmpty());
    }

    void newestImageLoadWins() {
        OverlayManager m;
        const QString first = writePng(dir_.path(), "first", 8, 8, Qt::red);
        const QString second = writePng(dir_.path(), "second", 8, 8, Qt::green);
        QVERIFY(m.setMediaOverlay(mediaEntry(2, 0, first, QRectF(0, 0, 10, 10))));
        QVERIFY(m.setMediaOverlay(mediaEntry(2, 0, second, QRectF(0, 0, 10, 10))));
        QTRY_VERIFY(!m.cachedImage(2).isNull());
        QTest::qWait(100); // let a late first load arrive too
        QCOMPARE(m.cachedImage(2).pixelColor(0, 0), QColor(Qt::green));

        // Whatever order the results come back in, only the newest generation is stored.
        const QImage red = solidImage(4, 4, Qt::red), blue = solidImage(4, 4, Qt::blue);
        m.scheduleImageOverlayCacheLoad(2, second); // generation 3
        m.scheduleImageOverlayCacheLoad(2, second); // generation 4
        m.tryCommitImageOverlayCache(2, second, 4, blue);
        m.tryCommitImageOverlayCache(2, second, 3, red);
        QCOMPARE(m.cachedImage(2).pixelColor(0, 0), QColor(Qt::blue));
        // A result for a path the overlay no longer shows, or a null picture, is dropped.
        m.tryCommitImageOverlayCache(2, first, 4, red);
        m.tryCommitImageOverlayCache(2, second, 4, QImage());
        QCOMPARE(m.cachedImage(2).pixelColor(0, 0), QColor(Qt::blue));
        QTRY_COMPARE(m.cachedImage(2).pixelColor(0, 0), QColor(Qt::green)); // gen 4 lands

        // A load still running when its overlay is removed finds nothing to fill.
        m.removeMediaOverlay(2);
        m.tryCommitImageOverlayCache(2, second, 4, blue);
        QVERIFY(m.cachedImage(2).isNull());
    }

    void loadsOutliveNoManager() {
        // Loads finishing after the manager is gone must not touch it.
        const QString path = writePng(dir_.path(), "late", 2000, 2000, Qt::red);
        for (int i = 0; i < 20; ++i) {
            auto m = std::make_unique<OverlayManager>();
            m->setMediaOverlay(mediaEntry(1, 0, path, QRectF(0, 0, 10, 10)));
            m.reset();
        }
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
    }

    void boundedLoader() {
        const QString wide = writePng(dir_.path(), "wide", 5000, 100, Qt::red);
        QCOMPARE(BoundedImageLoader::load(wide, 4096, true).size(), QSize(4096, 81));
        QCOMPARE(BoundedImageLoader::load(wide, 10000, true).size(), QSize(5000, 100));
        QVERIFY(BoundedImageLoader::load(wide, 0, true).isNull());
        QVERIFY(BoundedImageLoader::load(QString(), 100, true).isNull());
        QVERIFY(BoundedImageLoader::load(dir_.path() + "/none.png", 100, true).isNull());
        QFile junk(dir_.path() + "/junk.png");
        QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write("not a picture") && junk.flush());
        QVERIFY(BoundedImageLoader::load(junk.fileName(), 100, true).isNull());
    }

    void videoFramesScaledToTheirRectangle_data() {
        QTest::addColumn<QRectF>("rect");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QSize>("stored");
        QTest::addColumn<qreal>("scale"); // program pixels per scene unit
        QTest::addColumn<QSize>("picture");
        const QSize hd(1920, 1080);
        QTest::newRow("fractional")
            << QRectF(5, 5, 100.2, 50.7) << 1 << QSize(101, 51) << 1.0 << hd;
        QTest::newRow("empty rect") << QRectF(0, 0, 0, 0) << 1 << QSize(640, 360) << 1.0 << hd;
        QTest::newRow("larger than scene")
            << QRectF(0, 0, 900, 500) << 1 << QSize(640, 360) << 1.0 << hd;
        QTest::newRow("tiny") << QRectF(0, 0, 0.2, 0.2) << 1 << QSize(1, 1) << 1.0 << hd;
        QTest::newRow("image kind") << QRectF(0, 0, 100, 50) << 0 << QSize(640, 360) << 1.0 << hd;
        // At 1080p a picture-in-picture is drawn 1:1, not blown up threefold from scene units.
        QTest::newRow("program pixels")
            << QRectF(460, 250, 160, 90) << 1 << QSize(480, 270) << 3.0 << QSize(640, 360);
        QTest::newRow("no larger than the picture")
            << QRectF(0, 0, 640, 360) << 1 << QSize(640, 360) << 3.0 << QSize(640, 360);
        QTest::newRow("never below scene units")
            << QRectF(0, 0, 160, 90) << 1 << QSize(160, 90) << 3.0 << QSize(64, 36);
    }
    void videoFramesScaledToTheirRectangle() {
        QFETCH(QRectF, rect);
        QFETCH(int, kind);
        QFETCH(QSize, stored);
        QFETCH(qreal, scale);
        QFETCH(QSize, picture);
        OverlayManager m;
        QImage frame(picture, QImage::Format_RGBA8888);
        frame.fill(Qt::black);
        QPainter(&frame).fillRect(QRect(QPoint(0, 0), picture / 2), Qt::red); // top-left quarter
        m.setVideoOverlayFrame(3, frame, scale); // no overlay yet: ignored
        QVERIFY(m.videoFrame(3).isNull());
        m.setMediaOverlay(mediaEntry(3, kind, QStringLiteral("v.mp4"), rect));
        m.setVideoOverlayFrame(3, frame, scale);
        const QImage got = m.videoFrame(3);
        QCOMPARE(got.size(), stored);
        if (stored.width() > 2) {
            QCOMPARE(got.pixelColor(0, 0), QColor(Qt::red));
            QCOMPARE(got.pixelColor(stored.width() - 1, stored.height() - 1), QColor(Qt::black));
            QCOMPARE(got.pixelColor(stored.width() / 2 - 1, stored.height() / 2 - 1),
                     QColor(Qt::red));
        }
        // No signal for a frame, and removal answers whether there was one.
        QVERIFY(m.removeVideoOverlayFrame(3));
        QVERIFY(!m.removeVideoOverlayFrame(3));
        QVERIFY(m.videoFrame(3).isNull());
        m.setVideoOverlayFrame(-1, frame);
        m.setVideoOverlayFrame(3, QImage());
        QVERIFY(m.videoFrame(3).isNull());
    }

    void readersKeepTheirPicture() {
        OverlayManager m;
        m.setMediaOverlay(mediaEntry(1, 1, QStringLiteral("v.mp4"), QRectF(0, 0, 160, 90)));
        QImage frame(1920, 1080, QImage::Format_RGBA8888);
        QImage held, older; // a slow reader still holding the picture before the last
        for (int i = 0; i < 50; ++i) {
            frame.fill(QColor(i, 0, 0));
            m.setVideoOverlayFrame(1, frame);
            older = std::exchange(held, m.videoFrame(1));
            QCOMPARE(held.pixelColor(10, 10), QColor(i, 0, 0));
            if (i > 0)
                QCOMPARE(older.pixelColor(10, 10), QColor(i - 1, 0, 0));
            if (i == 25) // the editor resizes the overlay mid-stream
                m.setMediaOverlay(
                    mediaEntry(1, 1, QStringLiteral("v.mp4"), QRectF(0, 0, 320, 180)));
        }
        QCOMPARE(held.size(), QSize(320, 180));
    }

    void doodleSampling_data() {
        QTest::addColumn<QPoint>("dot");
        QTest::addColumn<int>("alpha");
        QTest::addColumn<bool>("visible");
        QTest::newRow("on grid") << QPoint(8, 16) << 255 << true;
        // A thin stroke between every eighth row and column still shows.
        QTest::newRow("off grid") << QPoint(3, 13) << 255 << true;
        QTest::newRow("alpha 2") << QPoint(8, 8) << 2 << false;
        QTest::newRow("alpha 3") << QPoint(8, 8) << 3 << true;
    }
    void doodleSampling() {
        QFETCH(QPoint, dot);
        QFETCH(int, alpha);
        QFETCH(bool, visible);
        OverlayManager m;
        SignalLog log(m);
        QImage doodle(64, 48, QImage::Format_ARGB32);
        doodle.fill(Qt::transparent);
        doodle.setPixel(dot, qRgba(0, 0, 255, alpha));
        m.setDoodleImage(doodle);
        QCOMPARE(m.doodleVisible(), visible);
        QCOMPARE(m.hasActiveOverlays(), visible);
        QCOMPARE(log.take(), (QStringList{"doodle", "changed"}));
        m.setDoodleImage(QImage());
        QVERIFY(!m.doodleVisible());
    }

    void activeAndRefreshQueries() {
        OverlayManager m;
        QVERIFY(!m.hasActiveOverlays());
        QVERIFY(!m.needsPeriodicRefresh());
        // A video overlay needs refreshing at once but is active only with a picture.
        m.setMediaOverlay(mediaEntry(1, 1, QStringLiteral("v.mp4"), QRectF(0, 0, 64, 36)));
        QVERIFY(m.needsPeriodicRefresh());
        QVERIFY(!m.hasActiveOverlays());
        m.setVideoOverlayFrame(1, solidImage(64, 36, Qt::red));
        QVERIFY(m.hasActiveOverlays());
        MediaOverlayEntry off = m.mediaOverlays().first();
        off.enabled = false;
        m.setMediaOverlay(off);
        QVERIFY(!m.hasActiveOverlays());
        QVERIFY(!m.needsPeriodicRefresh());
        // An unknown kind is stored but never drawn.
        m.setMediaOverlay(mediaEntry(2, 5, QStringLiteral("x"), QRectF(0, 0, 64, 36)));
        QVERIFY(m.hasMediaOverlay(2));
        QVERIFY(!m.hasActiveOverlays());
        m.setTextOverlay(text(1)); // a still text: active, nothing to refresh
        QVERIFY(m.hasActiveOverlays());
        QVERIFY(!m.needsPeriodicRefresh());
    }

    void drawOrderFollowsEveryChange() {
        OverlayManager m;
        TextOverlayData a = text(5), b = text(2), c = text(9);
        a.zIndex = 1;
        m.setTextOverlay(a);
        m.setTextOverlay(b);
        m.setTextOverlay(c);
        QCOMPARE(ids(m.textOverlays()), (QList<int>{5, 2, 9}));
        QCOMPARE(ids(m.textDrawOrder()), (QList<int>{2, 9, 5}));
        c.zIndex = 2;
        m.setTextOverlay(c);
        QCOMPARE(ids(m.textDrawOrder()), (QList<int>{2, 5, 9}));
        m.removeTextOverlay(5);
        QCOMPARE(ids(m.textDrawOrder()), (QList<int>{2, 9}));

        m.setMediaOverlay(mediaEntry(4, 1, QStringLiteral("v"), QRectF(0, 0, 9, 9), 1));
        m.setMediaOverlay(mediaEntry(8, 1, QStringLiteral("v"), QRectF(0, 0, 9, 9), 0));
        m.setMediaOverlay(mediaEntry(6, 1, QStringLiteral("v"), QRectF(0, 0, 9, 9), 0));
        QCOMPARE(ids(m.mediaDrawOrder()), (QList<int>{6, 8, 4}));
        m.setMediaOverlay(mediaEntry(4, 1, QStringLiteral("v"), QRectF(0, 0, 9, 9), -1));
        QCOMPARE(ids(m.mediaDrawOrder()), (QList<int>{4, 6, 8}));
        m.removeMediaOverlay(6);
        QCOMPARE(ids(m.mediaDrawOrder()), (QList<int>{4, 8}));
    }
};

QTEST_MAIN(TestOverlayManager)
#include "tst_OverlayManager.moc"
