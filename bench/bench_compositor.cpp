// Cost of composing one 1080p program frame on each path, beside a plain memcpy of the frame
// (the floor: the CPU path copies the base once). Heap allocations per frame are counted by
// interposing malloc, so they include Qt's own.
//
// Run under a display with OpenGL (scripts/bench.sh uses xvfb-run); without one the GPU rows
// report an error and the CPU rows still run.

#include "core/FramePool.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/VulkanCompositor.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QThreadPool>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace {
std::atomic<uint64_t> g_allocations{0};
}

extern "C" void *malloc(size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}

namespace {

// kTexts, kImages, kVideos and kDoodle are the parts of kFull, to see where time goes.
enum Set { kNone, kOneText, kFull, kTexts, kImages, kVideos, kDoodle };

FrameTokenPtr makeBase() {
    auto token = std::make_shared<FrameToken>();
    token->width = 1920;
    token->height = 1080;
    token->stride = 1920 * 4;
    token->data.resize(qsizetype(token->stride) * 1080);
    QImage image(reinterpret_cast<uchar *>(token->data.data()), 1920, 1080, token->stride,
                 QImage::Format_RGBA8888);
    QLinearGradient g(0, 0, 1920, 1080);
    g.setColorAt(0, QColor(20, 40, 80));
    g.setColorAt(1, QColor(200, 160, 40));
    QPainter(&image).fillRect(image.rect(), g);
    return token;
}

QImage logo(QColor color) {
    QImage image(320, 180, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(color);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(10, 10, 300, 160), 30, 30);
    return image;
}

TextOverlayData text(int id, int row) {
    TextOverlayData t = TextOverlayData::forNewRow(id, row);
    t.text = QStringLiteral("Breaking news %1 — 现场直播").arg(id);
    t.font.setPointSize(18);
    t.backgroundEnabled = row % 2 == 0;
    t.shadow = row % 3 == 0;
    t.outline = row % 4 == 1;
    if (row == 9) {
        t.scrollable = true;
        t.scrollDirection = TextOverlayData::kScrollRightToLeft;
    }
    return t;
}

// Fills `m` with the overlay set; video frames are delivered as a decoder would.
void populate(OverlayManager &m, Set set) {
    if (set == kNone)
        return;
    const bool full = set == kFull;
    if (full || set == kOneText || set == kTexts)
        m.setTextOverlay(text(1, 0));
    if (set == kOneText)
        return;
    for (int i = 1; i < 10 && (full || set == kTexts); ++i)
        m.setTextOverlay(text(i + 1, i));
    const QColor colors[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};
    for (int i = 0; i < 4; ++i) {
        if (!full && set != kImages && set != kVideos)
            break;
        MediaOverlayEntry image;
        image.id = 10 + i;
        image.kind = MediaOverlayEntry::kImage;
        image.filePath = QStringLiteral("logo%1.png").arg(i);
        image.rectInScene = QRectF(470, 10 + i * 60, 160, 50);
        image.opacity = 0.8;
        if (full || set == kImages) {
            m.setMediaOverlay(image);
            // Stands in for the background load, which the benchmark does not wait for.
            m.tryCommitImageOverlayCache(image.id, image.filePath, 1, logo(colors[i]));
        }
        if (!full && set != kVideos)
            continue;

        MediaOverlayEntry video;
        video.id = 20 + i;
        video.kind = MediaOverlayEntry::kVideo;
        video.filePath = QStringLiteral("clip%1.mp4").arg(i);
        video.rectInScene = QRectF(10 + i * 155, 260, 150, 84);
        m.setMediaOverlay(video);
        QImage frame(1920, 1080, QImage::Format_RGBA8888);
        frame.fill(colors[i]);
        m.setVideoOverlayFrame(video.id, frame);
    }
    if (!full && set != kDoodle)
        return;
    QImage doodle(1280, 720, QImage::Format_ARGB32_Premultiplied);
    doodle.fill(Qt::transparent);
    QPainter p(&doodle);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::magenta, 8));
    p.drawEllipse(QRectF(300, 200, 500, 300));
    p.end();
    m.setDoodleImage(doodle);
}

void BM_Compose(benchmark::State &state) {
    const bool gpu = state.range(0) == 1;
    const Set set = Set(state.range(1));
    FramePool pool(4, 1920, 1080);
    VulkanCompositor compositor(&pool, gpu ? VulkanCompositor::GpuMode::EvenSoftware
                                           : VulkanCompositor::GpuMode::Off);
    if (gpu && !compositor.gpuReady()) {
        state.SkipWithError("no OpenGL");
        return;
    }
    OverlayManager m;
    populate(m, set);
    const FrameTokenPtr base = makeBase();
    // Warm: pool buffers, glyph caches, the framebuffer.
    for (int i = 0; i < 5; ++i)
        compositor.compose(&m, base);
    const uint64_t before = g_allocations.load();
    bool passedThrough = false;
    for (auto _ : state) {
        FrameTokenPtr out = compositor.compose(&m, base);
        passedThrough = out == base;
        benchmark::DoNotOptimize(out->data.constData());
    }
    state.counters["allocs_per_frame"] =
        double(g_allocations.load() - before) / double(state.iterations());
    state.counters["passed_through"] = passedThrough ? 1 : 0;
}
BENCHMARK(BM_Compose)
    ->ArgNames({"gpu", "set"})
    ->ArgsProduct({{0, 1}, {kNone, kOneText, kFull, kTexts, kImages, kVideos, kDoodle}})
    ->Unit(benchmark::kMillisecond);

// One 1080p RGBA frame copied: the least a compositor that draws into a copy can cost.
void BM_Memcpy1080p(benchmark::State &state) {
    std::vector<char> from(1920 * 1080 * 4, 1), to(1920 * 1080 * 4);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Memcpy1080p)->Unit(benchmark::kMillisecond);

// A decoder delivering a 1080p picture of an overlay video (scaled to its rectangle).
void BM_VideoFrameDelivery(benchmark::State &state) {
    OverlayManager m;
    MediaOverlayEntry video;
    video.id = 1;
    video.kind = MediaOverlayEntry::kVideo;
    video.filePath = QStringLiteral("clip.mp4");
    video.rectInScene = QRectF(10, 10, 213.4, 120);
    m.setMediaOverlay(video);
    QImage frame(1920, 1080, QImage::Format_RGBA8888);
    frame.fill(Qt::red);
    for (int i = 0; i < 5; ++i)
        m.setVideoOverlayFrame(1, frame);
    const uint64_t before = g_allocations.load();
    for (auto _ : state) {
        m.setVideoOverlayFrame(1, frame);
        const OverlayManager::VideoFrameLease lease(m, 1); // a composition reading it
        benchmark::DoNotOptimize(lease.image().constBits());
    }
    state.counters["allocs_per_frame"] =
        double(g_allocations.load() - before) / double(state.iterations());
}
BENCHMARK(BM_VideoFrameDelivery)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("POOLT"))
        QThreadPool::globalInstance()->setMaxThreadCount(qEnvironmentVariableIntValue("POOLT"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    QThreadPool::globalInstance()->waitForDone();
    return 0;
}
