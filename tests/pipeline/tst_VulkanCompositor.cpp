// Composes real frames on both paths and checks what a viewer would see: which pixels each
// overlay covers, in which order, how transparent, where a scrolling text is at a known time.

#include "common/OverlayFixtures.h"
#include "core/FramePool.h"
#include "core/LibavPtr.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/VulkanCompositor.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

using namespace overlays;

namespace {

const QColor kBase(10, 20, 30);
const QColor kRed(255, 0, 0);
const QColor kGreen(0, 200, 0);
const QColor kBlue(0, 0, 255);
const QColor kWhite(255, 255, 255);

TextOverlayData boxedText(int id, const QString &text, QPoint pos) {
    TextOverlayData t;
    t.id = id;
    t.text = text;
    t.pos = pos;
    t.fontColor = kRed;
    t.backgroundEnabled = true;
    t.backgroundColor = kWhite;
    return t;
}

// Leftmost output column in `row` that shows `color`, or -1.
int firstColumnOf(const FrameTokenPtr &frame, int row, QColor color) {
    for (int x = 0; x < frame->width; ++x)
        if (near(pixel(frame, x, row), color, 2))
            return x;
    return -1;
}

// The colours of a frame at the given points.
QList<QColor> at(const FrameTokenPtr &frame, std::initializer_list<QPoint> points) {
    QList<QColor> out;
    for (QPoint p : points)
        out << pixel(frame, p.x(), p.y());
    return out;
}

} // namespace

// The compositor of the data row; the test is skipped where the row needs OpenGL and has none.
#define COMPOSITOR_FOR_ROW(c)                                                                      \
    auto c = compositorForRow();                                                                   \
    if (!c)                                                                                        \
        QSKIP("no OpenGL here");

class TestVulkanCompositor : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<FramePool> pool_;

    // The compositor for the current data row: "cpu" or "gpu" (skipped without OpenGL).
    std::unique_ptr<VulkanCompositor> compositorForRow() {
        QFETCH(bool, gpu);
        auto c = std::make_unique<VulkanCompositor>(pool_.get(),
                                                    gpu ? VulkanCompositor::GpuMode::EvenSoftware
                                                        : VulkanCompositor::GpuMode::Off);
        if (gpu && !c->gpuReady())
            return nullptr;
        return c;
    }
    void paths() {
        QTest::addColumn<bool>("gpu");
        QTest::newRow("cpu") << false;
        QTest::newRow("gpu") << true;
    }
    // Composes and checks that the chosen path really did the drawing.
    FrameTokenPtr composeOn(VulkanCompositor &c, OverlayManager &m, const FrameTokenPtr &base) {
        FrameTokenPtr out = c.compose(&m, base);
        const auto expected =
            c.gpuReady() ? VulkanCompositor::Path::Gpu : VulkanCompositor::Path::Cpu;
        if (c.lastPath() != expected)
            QTest::qFail("composed on an unexpected path", __FILE__, __LINE__);
        return out;
    }
    QString png(const char *name, QColor colour, int w = 8, int h = 8) {
        return writePng(dir_.path(), QString::fromLatin1(name), w, h, colour);
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        pool_ = std::make_unique<FramePool>(4, 1920, 1080);
    }

    void imageCoversItsRectangle_data() { paths(); }
    void imageCoversItsRectangle() {
        COMPOSITOR_FOR_ROW(c);
        OverlayManager m;
        QVERIFY(
            applyLoadedImage(m, mediaEntry(1, MediaOverlayEntry::kImage, png("red", kRed, 64, 48),
                                           QRectF(320, 180, 320, 180))));
        FrameTokenPtr base = solidBase(1920, 1080, kBase);
        base->ptsUs = 123456;
        FrameTokenPtr out = composeOn(*c, m, base);
        QVERIFY(out && out != base && out->valid);
        QCOMPARE(out->ptsUs, 123456);
        QCOMPARE(QSize(out->width, out->height), QSize(1920, 1080));
        // Corners and the edges just outside the rectangle; the program frame is a copy.
        QCOMPARE(at(out, {{960, 540}, {1919, 1079}, {1919, 540}, {960, 1079}}),
                 QList<QColor>(4, kRed));
        QCOMPARE(at(out, {{959, 540}, {960, 539}, {0, 0}}), QList<QColor>(3, kBase));
        QCOMPARE(pixel(base, 960, 540), kBase);
    }

    void orderByZThenIdAndOpacity_data() { paths(); }
    void orderByZThenIdAndOpacity() {
        COMPOSITOR_FOR_ROW(c);
        OverlayManager m;
        // Same z: the higher id is drawn later, whatever the insertion order; a higher z on top
        // although its id is the lowest.
        QVERIFY(applyLoadedImage(m, mediaEntry(7, 0, png("g", kGreen), QRectF(0, 0, 100, 100))));
        QVERIFY(applyLoadedImage(m, mediaEntry(3, 0, png("r", kRed), QRectF(0, 0, 100, 100))));
        QVERIFY(
            applyLoadedImage(m, mediaEntry(1, 0, png("b", kBlue), QRectF(50, 50, 100, 100), 5)));
        // Opacity clamped to 0..1.
        const QString red = png("r", kRed);
        QVERIFY(applyLoadedImage(m, mediaEntry(11, 0, red, QRectF(300, 0, 100, 100), 0, 1.7)));
        QVERIFY(applyLoadedImage(m, mediaEntry(12, 0, red, QRectF(400, 0, 100, 100), 0, -0.5)));
        QVERIFY(applyLoadedImage(m, mediaEntry(13, 0, red, QRectF(500, 0, 100, 100), 0, 0.5)));
        const QColor black(0, 0, 0);
        FrameTokenPtr out = composeOn(*c, m, solidBase(640, 360, black));
        QCOMPARE(at(out, {{10, 10}, {60, 60}, {120, 120}, {200, 200}, {350, 50}, {450, 50}}),
                 (QList<QColor>{kGreen, kBlue, kBlue, black, kRed, black}));
        QCOMPARE(m.mediaOverlays().first().id, 7); // the store keeps its insertion order
        QVERIFY(near(pixel(out, 550, 50), QColor(128, 0, 0), 1));
    }

    void textOpacityAndDoodleOnTop_data() { paths(); }
    void textOpacityAndDoodleOnTop() {
        COMPOSITOR_FOR_ROW(c);
        OverlayManager m;
        TextOverlayData half = boxedText(1, QStringLiteral("Half"), QPoint(20, 20));
        half.opacity = 128;
        m.setTextOverlay(half);
        TextOverlayData faint = boxedText(2, QStringLiteral("Faint"), QPoint(20, 200));
        faint.opacity = 30;
        m.setTextOverlay(faint);
        // A doodle twice the scene's size, opaque blue over part of the faint text.
        QImage doodle(1280, 720, QImage::Format_ARGB32_Premultiplied);
        doodle.fill(Qt::transparent);
        QPainter(&doodle).fillRect(QRect(0, 380, 200, 60), kBlue);
        m.setDoodleImage(doodle);

        FrameTokenPtr out = composeOn(*c, m, solidBase(640, 360, QColor(0, 0, 0)));
        // The padding left of "Half" is background only: white at 128/255 over black.
        QVERIFY(near(pixel(out, 16, 21), QColor(128, 128, 128), 1));
        // Doodle pixels stretched into the scene: (0, 190)-(100, 220), fully opaque.
        QCOMPARE(at(out, {{17, 201}, {99, 219}}), (QList<QColor>{kBlue, kBlue}));
        QVERIFY(pixel(out, 101, 201) != kBlue);
    }

    // Drawn on in place, a base with a decoded source lists where it was drawn: the encoder
    // takes everything else from the source, so a pixel changed outside would never be seen.
    void paintedRectanglesHoldEveryChange() {
        VulkanCompositor c(pool_.get(), VulkanCompositor::GpuMode::Off);
        OverlayManager m;
        int64_t nowNs = 1'000'000'000;
        m.setMonotonicClock([&] { return nowNs; });
        m.setMediaOverlay(mediaEntry(1, MediaOverlayEntry::kImage, png("logo", kGreen, 16, 9),
                                     QRectF(13.4, 7.7, 101.3, 57.1), 0, 0.5));
        TextOverlayData styled = boxedText(2, QStringLiteral("字幕 Styled"), QPoint(40, 250));
        styled.shadow = true;
        styled.shadowOffset = QPoint(9, 7);
        styled.outline = true;
        styled.outlineWidth = 3;
        m.setTextOverlay(styled);
        TextOverlayData ticker = boxedText(3, QStringLiteral("Ticker"), QPoint(300, 320));
        ticker.backgroundEnabled = false;
        ticker.scrollable = true;
        ticker.scrollDirection = TextOverlayData::kScrollRightToLeft;
        m.setTextOverlay(ticker);
        QImage doodle(640, 360, QImage::Format_ARGB32_Premultiplied);
        doodle.fill(Qt::transparent);
        QPainter(&doodle).fillRect(QRect(500, 20, 120, 70), kBlue);
        m.setDoodleImage(doodle);
        nowNs += 700'000'000;

        FrameTokenPtr base = solidBase(1920, 1080, kBase);
        base->programOnly = true;
        base->source = std::shared_ptr<const AVFrame>(av_frame_alloc(), libav::FrameDeleter());
        FrameTokenPtr out = c.compose(&m, base);
        QCOMPARE(out.get(), base.get());
        int64_t listed = 0;
        for (const QRect &r : std::as_const(out->paintedRects))
            listed += int64_t(r.width()) * r.height();
        QVERIFY2(listed < 1920 * 1080 / 5, qPrintable(QString::number(listed)));
        int changed = 0;
        for (int y = 0; y < 1080; ++y)
            for (int x = 0; x < 1920; ++x) {
                if (pixel(out, x, y) == kBase)
                    continue;
                ++changed;
                if (std::none_of(out->paintedRects.cbegin(), out->paintedRects.cend(),
                                 [&](const QRect &r) { return r.contains(x, y); }))
                    QFAIL(qPrintable(QStringLiteral("(%1, %2) changed outside").arg(x).arg(y)));
            }
        QVERIFY(changed > 20000); // every overlay drew
    }

    void outlineTracesMixedScriptGlyphs() {
        VulkanCompositor c(pool_.get(), VulkanCompositor::GpuMode::Off);
        OverlayManager m;
        TextOverlayData t = boxedText(1, QStringLiteral("字幕 Styled"), QPoint(40, 100));
        t.backgroundEnabled = false;
        t.outline = true;
        t.outlineColor = kBlue;
        m.setTextOverlay(t);
        FrameTokenPtr out = c.compose(&m, solidBase(1920, 1080, QColor(0, 0, 0)));
        // Bounding boxes of the glyph fill and of the outline stroke: the stroke surrounds the
        // glyphs by half its width (1.5 pixels), not a line's height away.
        QRect fill, stroke;
        for (int y = 0; y < 1080; ++y) {
            for (int x = 0; x < 1920; ++x) {
                const QColor p = pixel(out, x, y);
                if (p.red() > 200 && p.blue() < 60)
                    fill |= QRect(x, y, 1, 1);
                else if (p.blue() > 200 && p.red() < 60)
                    stroke |= QRect(x, y, 1, 1);
            }
        }
        QVERIFY(!fill.isEmpty() && !stroke.isEmpty());
        QVERIFY(std::abs(stroke.top() - fill.top()) <= 4);
        QVERIFY(std::abs(stroke.bottom() - fill.bottom()) <= 4);
    }

    void scrollPositionFollowsClock_data() {
        QTest::addColumn<bool>("gpu");
        QTest::addColumn<int>("direction");
        QTest::addColumn<int>("startX");
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("times");
        QTest::addColumn<int>("elapsedMs");
        QTest::addColumn<int>("expectedX"); // scene x of the text box, or -1: out of sight
        for (bool gpu : {false, true}) {
            const char *p = gpu ? "gpu" : "cpu";
            // Left to right from 100 at 40 units/s: path 540, one pass takes 13.5 s.
            QTest::addRow("%s ltr 1s", p) << gpu << 1 << 100 << 2 << 1 << 1000 << 140;
            QTest::addRow("%s ltr parked", p) << gpu << 1 << 100 << 2 << 1 << 14000 << -1;
            QTest::addRow("%s ltr second pass", p) << gpu << 1 << 100 << 2 << 2 << 14000 << 120;
            // Step 0 and 1 move like step 2: 20 units/s at least, 3 moves 60.
            QTest::addRow("%s ltr step 0", p) << gpu << 1 << 100 << 0 << 1 << 1000 << 120;
            QTest::addRow("%s ltr step 3", p) << gpu << 1 << 100 << 3 << 1 << 1000 << 160;
            QTest::addRow("%s ltr from 700", p) << gpu << 1 << 700 << 2 << 1 << 0 << -1;
            // Right to left from 300: 40 units/s.
            QTest::addRow("%s rtl 2s", p) << gpu << 2 << 300 << 2 << 1 << 2000 << 220;
            QTest::addRow("%s rtl parked", p) << gpu << 2 << 300 << 2 << 1 << 60000 << -1;
            // No direction: a fixed text, not clipped to a scroll band.
            QTest::addRow("%s none", p) << gpu << 0 << 100 << 2 << 1 << 5000 << 100;
        }
    }
    void scrollPositionFollowsClock() {
        COMPOSITOR_FOR_ROW(c);
        QFETCH(int, direction);
        QFETCH(int, startX);
        QFETCH(int, step);
        QFETCH(int, times);
        QFETCH(int, elapsedMs);
        QFETCH(int, expectedX);

        OverlayManager m;
        int64_t nowNs = 1'000'000'000; // the scroll clock, set by hand
        m.setMonotonicClock([&] { return nowNs; });
        TextOverlayData t = boxedText(1, QStringLiteral("Ticker"), QPoint(startX, 100));
        t.scrollable = true;
        t.scrollDirection = direction;
        t.scrollStep = step;
        t.scrollTimes = times;
        m.setTextOverlay(t);
        nowNs += elapsedMs * 1'000'000LL;

        FrameTokenPtr out = composeOn(*c, m, solidBase(1920, 1080, QColor(0, 0, 0)));
        // The background box starts 6 units (the padding) left of the text, 3 pixels a unit;
        // a right-to-left text is clipped at the scene's left edge only. The row is just inside
        // a scroll's clip band, above the glyphs; a fixed text shows its padding above it too.
        const int row = direction ? 100 * 3 + 1 : 96 * 3;
        QCOMPARE(firstColumnOf(out, row, kWhite), expectedX < 0 ? -1 : (expectedX - 6) * 3);
    }

    void nothingToDrawPassesThePointer() {
        VulkanCompositor c(pool_.get(), VulkanCompositor::GpuMode::Off);
        OverlayManager m;
        FrameTokenPtr base = solidBase(1920, 1080, kBase);
        QCOMPARE(c.compose(&m, base), base);
        QCOMPARE(c.compose(nullptr, base), base);

        // Present but not drawable: disabled text, empty text, image not yet loaded.
        TextOverlayData off = boxedText(1, QStringLiteral("off"), QPoint(0, 0));
        off.enabled = false;
        m.setTextOverlay(off);
        m.setTextOverlay(boxedText(2, QString(), QPoint(0, 0)));
        m.setMediaOverlay(mediaEntry(3, 0, dir_.path() + "/missing.png", QRectF(0, 0, 10, 10)));
        QCOMPARE(c.compose(&m, base), base);
        QCOMPARE(c.lastPath(), VulkanCompositor::Path::PassedThrough);

        // Bases without a whole picture pass through even with overlays to draw.
        m.setTextOverlay(boxedText(4, QStringLiteral("on"), QPoint(0, 0)));
        auto zero = std::make_shared<FrameToken>();
        QCOMPARE(c.compose(&m, zero), zero);
        zero->data.resize(64);
        QCOMPARE(c.compose(&m, zero), zero);
        auto shortBuffer = solidBase(64, 64, kBase);
        shortBuffer->height = 65; // claims more rows than it holds
        QCOMPARE(c.compose(&m, shortBuffer), shortBuffer);
        QCOMPARE(c.compose(&m, FrameTokenPtr()), FrameTokenPtr());
        QCOMPARE(pool_->tokensInUse(), 0);

        // An exhausted pool (an encoder backlog holds every token): the overlays still go out.
        std::vector<FrameTokenPtr> held;
        while (auto t = pool_->tryAcquire())
            held.push_back(t);
        const FrameTokenPtr extra = c.compose(&m, base);
        QVERIFY(extra != base);
        QVERIFY(firstColumnOf(extra, 5, kWhite) >= 0); // the text box is there
    }

    // Rows padded past the picture, a frame smaller and one larger than the pool's: the GPU's
    // framebuffer follows the size.
    void paddedRowsAndOtherSizes_data() { paths(); }
    void paddedRowsAndOtherSizes() {
        COMPOSITOR_FOR_ROW(c);
        OverlayManager m;
        QVERIFY(applyLoadedImage(
            m, mediaEntry(1, 0, png("r3", kRed, 4, 4), QRectF(320, 180, 320, 180))));
        for (QSize size :
             {QSize(1280, 720), QSize(1280, 720), QSize(2560, 1440), QSize(1280, 720)}) {
            FrameTokenPtr base = solidBase(size.width(), size.height(), kBase);
            const int padded = size.width() * 4 + 64;
            QByteArray rows(qsizetype(padded) * size.height(), char(0));
            for (int y = 0; y < size.height(); ++y)
                std::memcpy(rows.data() + qsizetype(y) * padded,
                            base->data.constData() + qsizetype(y) * base->stride, base->stride);
            base->data = rows;
            base->stride = padded;
            FrameTokenPtr out = composeOn(*c, m, base);
            QCOMPARE(out->width, size.width());
            QCOMPARE(out->stride, c->gpuReady() ? size.width() * 4 : padded);
            const int cx = size.width() / 2, cy = size.height() / 2;
            QCOMPARE(at(out, {{cx - 1, cy}, {cx, cy}, {size.width() - 1, size.height() - 1}}),
                     (QList<QColor>{kBase, kRed, kRed}));
        }
        if (c->gpuReady())
            QCOMPARE(c->framebufferCreations(), 3); // once per size change, not per frame
    }

    void gpuAndCpuGiveTheSamePicture() {
        VulkanCompositor gpu(pool_.get(), VulkanCompositor::GpuMode::EvenSoftware);
        if (!gpu.gpuReady())
            QSKIP("no OpenGL here");
        VulkanCompositor cpu(pool_.get(), VulkanCompositor::GpuMode::Off);

        OverlayManager m;
        int64_t nowNs = 1'000'000'000; // the scroll clock, set by hand
        m.setMonotonicClock([&] { return nowNs; });
        QVERIFY(applyLoadedImage(
            m, mediaEntry(1, 0, png("g4", kGreen, 16, 9), QRectF(20, 20, 200, 120), 0, 0.6)));
        QImage gradient(160, 90, QImage::Format_RGBA8888);
        for (int y = 0; y < 90; ++y)
            for (int x = 0; x < 160; ++x)
                gradient.setPixelColor(x, y, QColor(x, y * 2, 255 - x));
        m.setMediaOverlay(mediaEntry(2, 1, QStringLiteral("clip.mp4"), QRectF(400, 200, 160, 90)));
        m.setVideoOverlayFrame(2, gradient);
        TextOverlayData styled = boxedText(3, QStringLiteral("Styled 字幕"), QPoint(40, 160));
        styled.shadow = styled.outline = styled.bold = true;
        styled.outlineColor = kBlue;
        styled.opacity = 200;
        m.setTextOverlay(styled);
        TextOverlayData ticker = boxedText(4, QStringLiteral("Ticker"), QPoint(100, 300));
        ticker.scrollable = true;
        ticker.scrollDirection = TextOverlayData::kScrollRightToLeft;
        m.setTextOverlay(ticker);
        nowNs += 1'500'000'000;
        QImage doodle(640, 360, QImage::Format_ARGB32_Premultiplied);
        doodle.fill(Qt::transparent);
        QPainter(&doodle).fillRect(QRect(500, 20, 100, 40), kBlue);
        m.setDoodleImage(doodle);

        FrameTokenPtr base = solidBase(1920, 1080, kBase);
        FrameTokenPtr a = gpu.compose(&m, base);
        QCOMPARE(gpu.lastPath(), VulkanCompositor::Path::Gpu);
        FrameTokenPtr b = cpu.compose(&m, base);
        QCOMPARE(cpu.lastPath(), VulkanCompositor::Path::Cpu);
        QCOMPARE(QSize(a->width, a->height), QSize(b->width, b->height));

        // Away from the texts' rows the pictures agree to rounding; in them only antialiased
        // glyph and outline edges may differ more.
        const int band = int(QFontMetricsF(styled.font).height() * 3) + 72;
        const auto inText = [&](int y) {
            return (y >= styled.pos.y() * 3 - 36 && y < styled.pos.y() * 3 - 36 + band) ||
                   (y >= ticker.pos.y() * 3 - 36 && y < ticker.pos.y() * 3 - 36 + band);
        };
        const QImage ia = wrap(a), ib = wrap(b);
        int outside = 0, edges = 0, textPixels = 0;
        for (int y = 0; y < 1080; ++y) {
            for (int x = 0; x < 1920; ++x) {
                textPixels += inText(y);
                if (!near(ia.pixelColor(x, y), ib.pixelColor(x, y), 2))
                    ++(inText(y) ? edges : outside);
            }
        }
        QCOMPARE(outside, 0);
        QVERIFY(edges < textPixels / 100);
        QCOMPARE(ia.pixelColor(1600, 100), QColor(kBlue)); // the doodle
    }

    void softwareRendererComposesOnCpu() {
        QOpenGLContext context;
        QOffscreenSurface surface;
        if (!context.create())
            QSKIP("no OpenGL here");
        surface.setFormat(context.format());
        surface.create();
        QVERIFY(context.makeCurrent(&surface));
        const QString renderer = QString::fromLatin1(
            reinterpret_cast<const char *>(context.functions()->glGetString(GL_RENDERER)));
        context.doneCurrent();
        const bool software = renderer.contains(QLatin1String("llvmpipe")) ||
                              renderer.contains(QLatin1String("softpipe"));
        if (software)
            QTest::ignoreMessage(QtInfoMsg,
                                 QRegularExpression("^VulkanCompositor: OpenGL renderer .* is a "
                                                    "software rasteriser, using CPU composition$"));
        VulkanCompositor c(pool_.get());
        QCOMPARE(c.gpuReady(), !software);
    }
};

QTEST_MAIN(TestVulkanCompositor)
#include "tst_VulkanCompositor.moc"
