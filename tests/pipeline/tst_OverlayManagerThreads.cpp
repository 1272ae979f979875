// Overlay videos deliver pictures from decoder threads while the GUI thread edits the overlay
// list and composes. Run under ThreadSanitizer; the picture checks catch a reader seeing a
// buffer that a decoder is writing.

#include "common/OverlayFixtures.h"
#include "core/FramePool.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/VulkanCompositor.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

using namespace overlays;

namespace {

// True when every pixel of the picture has the colour of its first pixel.
bool uniform(const QImage &image) {
    QImage same(image.size(), image.format());
    same.fill(image.pixelColor(0, 0));
    return image == same;
}

} // namespace

class TestOverlayManagerThreads : public QObject {
    Q_OBJECT

private slots:
    void decodersAgainstEditsAndComposition() {
        OverlayManager m;
        FramePool pool(4, 640, 360);
        VulkanCompositor compositor(&pool, VulkanCompositor::GpuMode::Off);
        constexpr int kVideos = 4;
        const auto place = [&](int id, int w = 120, int h = 68) {
            m.setMediaOverlay(mediaEntry(id, MediaOverlayEntry::kVideo, QStringLiteral("v.mp4"),
                                         QRectF(id * 150, 0, w, h)));
        };
        for (int id = 0; id < kVideos; ++id)
            place(id);

        std::atomic<bool> stop{false};
        std::atomic<int> delivered{0};
        std::vector<std::thread> decoders;
        for (int id = 0; id < kVideos; ++id) {
            decoders.emplace_back([&, id] {
                // A decoder reuses its frame memory, as pooled tokens do.
                QImage frame(480, 270, QImage::Format_RGBA8888);
                for (int n = 1; !stop.load(); ++n) {
                    frame.fill(QColor(n % 256, id * 60, 255 - n % 256));
                    if (m.hasMediaOverlay(id)) {
                        m.setVideoOverlayFrame(id, frame);
                        delivered.fetch_add(1);
                    }
                }
            });
        }

        QElapsedTimer timer;
        timer.start();
        int composed = 0, torn = 0, round = 0;
        const FrameTokenPtr base = solidBase(640, 360, QColor(0, 0, 0));
        while (timer.elapsed() < 1500 || delivered.load() < 200) {
            ++round;
            const int id = round % kVideos;
            if (round % 5 == 0) { // resize: decoders switch buffer sizes
                place(id, 60 + round % 90, 40 + round % 50);
            } else if (round % 5 == 1) {
                m.removeMediaOverlay(id);
                place(id);
            } else if (round % 5 == 2) {
                m.removeVideoOverlayFrame(id);
            }
            // Hold the pictures across a composition, as a reader does while it draws: the
            // decoders must not write into them meanwhile.
            {
                std::optional<OverlayManager::VideoFrameLease> held[kVideos];
                for (int k = 0; k < kVideos; ++k)
                    held[k].emplace(m, k);
                if (FrameTokenPtr out = compositor.compose(&m, base); out != base)
                    ++composed;
                for (const auto &lease : held)
                    if (!lease->image().isNull() && !uniform(lease->image()))
                        ++torn;
            }
            for (int k = 0; k < kVideos; ++k) {
                const QImage snapshot = m.videoFrame(k);
                if (!snapshot.isNull() && !uniform(snapshot))
                    ++torn;
            }
            if (round % 50 == 0)
                QCoreApplication::processEvents();
        }
        stop.store(true);
        for (auto &t : decoders)
            t.join();

        QCOMPARE(torn, 0);
        QVERIFY(composed > 0);
        QCOMPARE(pool.tokensInUse(), 0);
    }
};

QTEST_MAIN(TestOverlayManagerThreads)
#include "tst_OverlayManagerThreads.moc"
