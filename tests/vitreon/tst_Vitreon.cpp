// The window-capture library against real X windows the test paints itself: what each copy
// answers, and whether the pixels are the window's own.

#include "vitreon.h"

#include <QDeadlineTimer>
#include <QThread>
#include <QtTest>

// After Qt: the X11 headers define macros that Qt's own would trip over.
#include "common/X11Windows.h"

#include <X11/extensions/Xrandr.h>

#include <atomic>
#include <thread>

using namespace x11;

namespace {

constexpr size_t kScreenBytes = size_t(1920) * 1080 * 4;

int g_foreignErrors = 0;
int countForeignError(Display *, XErrorEvent *) {
    ++g_foreignErrors;
    return 0;
}

struct Shot {
    int status = 0, width = 0, height = 0;
    int64_t timestampUs = 0;
    std::vector<uint8_t> pixels;

    uint32_t at(int x, int y) const { // 0xAARRGGBB
        const uint8_t *p = pixels.data() + (size_t(y) * width + x) * 4;
        return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }
    // Pixels of the rectangle other than opaque `expected(x, y)` (0xRRGGBB); -1 without a picture.
    template <typename F> int mismatches(int x0, int y0, int w, int h, F expected) const {
        if (status != VITREON_OK || x0 + w > width || y0 + h > height)
            return -1;
        int bad = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                bad += at(x0 + x, y0 + y) != (0xFF000000u | expected(x, y));
        return bad;
    }
};

Shot copyOnce(VitreonCapture *capture, size_t capacity = kScreenBytes) {
    Shot shot;
    shot.pixels.assign(std::max<size_t>(capacity, 1), 0xAB);
    shot.status = wgc_capture_copy_bgra(capture, shot.pixels.data(), capacity, &shot.width,
                                        &shot.height, &shot.timestampUs);
    return shot;
}

// The next answer other than "no change": the server's reports may take a moment to arrive.
Shot nextShot(VitreonCapture *capture, size_t capacity = kScreenBytes) {
    QDeadlineTimer deadline(3000);
    Shot shot = copyOnce(capture, capacity);
    while (shot.status == VITREON_NO_NEW_FRAME && !deadline.hasExpired()) {
        QThread::msleep(2);
        shot = copyOnce(capture, capacity);
    }
    return shot;
}

// Left half red with a white square at (10, 10); right half green above blue.
uint32_t blocks(int x, int y) {
    if (x >= 10 && x < 30 && y >= 10 && y < 30)
        return kWhite;
    return x < 160 ? kRed : y < 120 ? kGreen : kBlue;
}
auto solid(uint32_t colour) {
    return [colour](int, int) { return colour; };
}

using Capture = std::unique_ptr<VitreonCapture, decltype(&wgc_capture_destroy)>;
Capture capture(Window window) {
    return {wgc_capture_create(reinterpret_cast<void *>(uintptr_t(window))), wgc_capture_destroy};
}
Capture monitor(uintptr_t number) {
    return {wgc_capture_create_monitor(reinterpret_cast<void *>(number)), wgc_capture_destroy};
}

} // namespace

class TestVitreon : public QObject {
    Q_OBJECT

    Windows x_;

    void paintBlocks(Window window) {
        x_.fill(window, 0, 0, 160, 240, kRed);
        x_.fill(window, 160, 0, 160, 120, kGreen);
        x_.fill(window, 160, 120, 160, 120, kBlue);
        x_.fill(window, 10, 10, 20, 20, kWhite);
    }

private slots:
    void initTestCase() {
        // Before the library installs its handler, so that it becomes the one passed on to.
        XSetErrorHandler(&countForeignError);
        QVERIFY2(x_.open(), "needs an X display");
    }
    void cleanupTestCase() { x_.close(); }
    void cleanup() {
        x_.clear();
        g_foreignErrors = 0;
    }

    void capturesTheWindowsOwnPixels() {
        const Window window = x_.make(100, 100, 320, 240, 0, 0, nullptr, true, 7);
        paintBlocks(window); // before the capture exists: redirection keeps what is there
        const Capture c = capture(window);
        QVERIFY(c);
        Shot shot = copyOnce(c.get());
        QCOMPARE(QSize(shot.width, shot.height), QSize(320, 240)); // inside the border
        QCOMPARE(shot.mismatches(0, 0, 320, 240, blocks), 0);

        // Covered by another window, it still gives its own pixels, even ones drawn meanwhile.
        x_.make(50, 50, 500, 400, kYellow);
        x_.fill(window, 0, 0, 320, 240, kBlue);
        x_.fill(window, 100, 50, 20, 30, kGreen);
        QCOMPARE(nextShot(c.get()).mismatches(0, 0, 320, 240,
                                              [](int x, int y) {
                                                  return x >= 100 && x < 120 && y >= 50 && y < 80
                                                             ? kGreen
                                                             : kBlue;
                                              }),
                 0);
        QCOMPARE(copyOnce(monitor(1).get()).at(210, 160), 0xFF000000u | kYellow); // covered

        // A window with an alpha channel comes out opaque whatever its alpha bytes hold.
        XVisualInfo info;
        QVERIFY(XMatchVisualInfo(x_.dpy, DefaultScreen(x_.dpy), 32, TrueColor, &info));
        XSetWindowAttributes attributes{};
        attributes.colormap =
            XCreateColormap(x_.dpy, DefaultRootWindow(x_.dpy), info.visual, AllocNone);
        const Window argb =
            XCreateWindow(x_.dpy, DefaultRootWindow(x_.dpy), 600, 100, 66, 48, 0, 32, InputOutput,
                          info.visual, CWColormap | CWBorderPixel | CWBackPixel, &attributes);
        x_.made.push_back(argb);
        XMapRaised(x_.dpy, argb);
        x_.fill(argb, 0, 0, 66, 48, 0x00336699); // transparent; a width that is no multiple of 4
        x_.fill(argb, 0, 0, 32, 48, 0x80102030); // half transparent
        shot = copyOnce(capture(argb).get());
        QCOMPARE(
            shot.mismatches(0, 0, 66, 48, [](int x, int) { return x < 32 ? 0x102030 : 0x336699; }),
            0);
        XFreeColormap(x_.dpy, attributes.colormap);
    }

    void reportsOnlyChanges() {
        const Window window = x_.make(100, 100, 320, 240);
        paintBlocks(window);
        const Capture c = capture(window);
        const Shot first = copyOnce(c.get());
        QCOMPARE(first.status, VITREON_OK);
        QCOMPARE(copyOnce(c.get()).status, VITREON_NO_NEW_FRAME);
        QCOMPARE(copyOnce(c.get()).status, VITREON_NO_NEW_FRAME);

        x_.fill(window, 200, 20, 10, 10, kWhite);
        const Shot second = nextShot(c.get());
        QCOMPARE(second.status, VITREON_OK);
        QCOMPARE(second.at(205, 25), 0xFFFFFFFFu);
        QVERIFY(second.timestampUs > first.timestampUs);
        QCOMPARE(copyOnce(c.get()).status, VITREON_NO_NEW_FRAME);

        // Too small a buffer: nothing written, the size told, the change still waiting.
        const size_t tooSmall = 320 * 240 * 4 - 1;
        x_.fill(window, 0, 0, 50, 50, kGreen);
        const Shot small = nextShot(c.get(), tooSmall);
        QCOMPARE(small.status, VITREON_TOO_LARGE);
        QCOMPARE(QSize(small.width, small.height), QSize(320, 240));
        QCOMPARE(size_t(std::count(small.pixels.begin(), small.pixels.end(), 0xAB)), tooSmall);
        const Shot fits = copyOnce(c.get(), tooSmall + 1);
        QCOMPARE(fits.status, VITREON_OK);
        QCOMPARE(fits.at(25, 25), 0xFF000000u | kGreen);
    }

    void followsVisibilityAndSize() {
        const Window window = x_.make(100, 100, 320, 240);
        const Capture c = capture(window);
        QCOMPARE(copyOnce(c.get()).status, VITREON_OK);

        // Unmapped (minimised): no pixels until it comes back.
        XUnmapWindow(x_.dpy, window);
        XSync(x_.dpy, False);
        QCOMPARE(nextShot(c.get()).status, VITREON_FAILED);
        QCOMPARE(nextShot(c.get()).status, VITREON_FAILED);
        XMapWindow(x_.dpy, window);
        paintBlocks(window);
        QCOMPARE(nextShot(c.get()).mismatches(0, 0, 320, 240, blocks), 0);

        XResizeWindow(x_.dpy, window, 400, 300);
        x_.fill(window, 0, 0, 400, 300, kGreen);
        const Shot shot = nextShot(c.get());
        QCOMPARE(QSize(shot.width, shot.height), QSize(400, 300));
        QCOMPARE(shot.mismatches(0, 0, 400, 300, solid(kGreen)), 0);

        // Inside a frame (as a window manager puts it) that is unmapped and mapped again.
        const Window frame = x_.make(500, 100, 400, 300);
        const Window inner = x_.make(20, 30, 320, 240, 0, frame);
        const Capture framed = capture(inner);
        QCOMPARE(copyOnce(framed.get()).status, VITREON_OK);
        XUnmapWindow(x_.dpy, frame);
        XSync(x_.dpy, False);
        QCOMPARE(nextShot(framed.get()).status, VITREON_FAILED);
        XMapWindow(x_.dpy, frame);
        x_.fill(inner, 0, 0, 320, 240, kYellow);
        QCOMPARE(nextShot(framed.get()).mismatches(0, 0, 320, 240, solid(kYellow)), 0);

        // Destroyed: failures from then on.
        x_.destroy(window);
        QCOMPARE(nextShot(c.get()).status, VITREON_FAILED);
        QCOMPARE(copyOnce(c.get()).status, VITREON_FAILED);
    }

    void capturesAMonitor() {
        int count = 0;
        XRRMonitorInfo *monitors = XRRGetMonitors(x_.dpy, DefaultRootWindow(x_.dpy), True, &count);
        QVERIFY(monitors && count >= 1);
        const XRRMonitorInfo first = monitors[0];
        XRRFreeMonitors(monitors);

        const Window window = x_.make(first.x + 300, first.y + 200, 320, 240);
        paintBlocks(window);
        const Capture c = monitor(1);
        Shot shot = copyOnce(c.get());
        QCOMPARE(QSize(shot.width, shot.height), QSize(first.width, first.height));
        QCOMPARE(shot.mismatches(300, 200, 320, 240, blocks), 0);
        QCOMPARE(copyOnce(c.get()).status, VITREON_NO_NEW_FRAME);

        x_.fill(window, 0, 0, 320, 240, kYellow);
        QCOMPARE(nextShot(c.get()).mismatches(300, 200, 320, 240, solid(kYellow)), 0);

        QCOMPARE(copyOnce(monitor(1).get(), 100).status, VITREON_TOO_LARGE);
        QVERIFY(!monitor(uintptr_t(count) + 1));
        QVERIFY(!monitor(0));
    }

    void refusesWhatItCannotCapture() {
        QVERIFY(!capture(0));
        const Window window = x_.make(0, 0, 32, 32);
        QVERIFY(!capture(window | 1ul << 32)); // names the window only once cut to 32 bits

        const Capture c = capture(window);
        uint8_t buffer[32 * 32 * 4];
        int w = 0, h = 0;
        int64_t ts = 0;
        const auto copy = [&](VitreonCapture *into, uint8_t *pixels, int64_t *stamp) {
            return wgc_capture_copy_bgra(into, pixels, sizeof buffer, &w, &h, stamp);
        };
        QCOMPARE(copy(nullptr, buffer, &ts), VITREON_BAD_ARGUMENT);
        QCOMPARE(copy(c.get(), nullptr, &ts), VITREON_BAD_ARGUMENT);
        QCOMPARE(copy(c.get(), buffer, nullptr), VITREON_BAD_ARGUMENT);
        QCOMPARE(copy(c.get(), buffer, &ts), VITREON_OK);
        wgc_capture_destroy(nullptr);
    }

    void keepsItsXErrorsToItself() {
        // The library's own failing requests (a window that is gone, a clean-up after the
        // window was destroyed) never reach the program's handler...
        const Window gone = x_.gone();
        QVERIFY(!capture(gone));
        const Window window = x_.make(0, 0, 32, 32);
        {
            const Capture c = capture(window);
            QVERIFY(c);
            x_.destroy(window);
            QCOMPARE(nextShot(c.get()).status, VITREON_FAILED);
        }
        QCOMPARE(g_foreignErrors, 0);
        // ...while the program's own still do.
        XMapWindow(x_.dpy, gone);
        XSync(x_.dpy, False);
        QCOMPARE(g_foreignErrors, 1);
    }

    void capturesOnSeveralThreadsAtOnce() {
        // Connections opening and closing side by side (this once corrupted Xlib's extension
        // lists).
        const Window window = x_.make(0, 0, 64, 48);
        std::atomic<int> answered{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&, t] {
                std::vector<uint8_t> buffer(64 * 48 * 4); // a monitor's picture does not fit
                int w = 0, h = 0;
                int64_t ts = 0;
                for (int i = 0; i < 100; ++i) {
                    const Capture c = t == 0 ? monitor(1) : capture(window);
                    answered += c && wgc_capture_copy_bgra(c.get(), buffer.data(), buffer.size(),
                                                           &w, &h, &ts) ==
                                         (t == 0 ? VITREON_TOO_LARGE : VITREON_OK);
                }
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QCOMPARE(answered.load(), 300);
    }
};

QTEST_GUILESS_MAIN(TestVitreon)
#include "tst_Vitreon.moc"
