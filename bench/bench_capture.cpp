// CPU per captured 1920 x 1080 picture: display capture and window capture against
// `ffmpeg -f x11grab` grabbing the same screen at the same rate and converting to RGBA.
//
// Run under an X server of 1920 x 1080 (scripts/bench.sh uses xvfb-run). A child process of
// this program repaints a full-screen window 30 times a second, so every capture has a new
// picture to take at the rate the CLI grabs. BENCH_CAPTURE_SECONDS sets each run's length.

#include "BenchUtil.h"
#include "core/FramePool.h"
#include "input/FFmpegVideoDecoder.h"
#include "input/SourceAddress.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

int animate() {
    ::Display *dpy = XOpenDisplay(nullptr);
    if (!dpy)
        return 1;
    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = 0;
    const Window w =
        XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1920, 1080, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
    XMapRaised(dpy, w);
    XSync(dpy, False);
    std::printf("%lu\n", static_cast<unsigned long>(w));
    std::fflush(stdout);
    auto next = std::chrono::steady_clock::now();
    for (unsigned i = 0;; ++i) {
        XSetWindowBackground(dpy, w, (i * 0x0a0b0c) & 0xffffff);
        XClearWindow(dpy, w);
        XSync(dpy, False);
        next += std::chrono::microseconds(33333);
        std::this_thread::sleep_until(next);
    }
}

struct Result {
    double cpuSeconds = 0;
    int frames = 0;
    double msPerFrame() const { return frames > 0 ? cpuSeconds * 1000.0 / frames : 0; }
};

Result runDecoder(const QString &address, int seconds) {
    FramePool pool(6, 1920, 1080);
    std::atomic<int> frames{0};
    Result r;
    {
        FFmpegVideoDecoder d(&pool);
        d.setThreadTag(QStringLiteral("bench"));
        d.setFrameCallback([&](FrameTokenPtr) { ++frames; });
        d.setSource(address);
        d.setPlaybackState(0, true);
        QThread::msleep(1000); // warm up: open, first pictures
        const int startFrames = frames.load();
        const double startCpu = benchutil::cpuSeconds();
        QThread::msleep(unsigned(seconds) * 1000);
        r.cpuSeconds = benchutil::cpuSeconds() - startCpu;
        r.frames = frames.load() - startFrames;
    }
    return r;
}

Result runCli(int seconds) {
    const double before = benchutil::cpuSeconds(RUSAGE_CHILDREN);
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::MergedChannels);
    ffmpeg.start("ffmpeg", {"-hide_banner", "-nostdin", "-f", "x11grab", "-framerate", "30",
                            "-video_size", "1920x1080", "-i", qEnvironmentVariable("DISPLAY"), "-t",
                            QString::number(seconds + 1), "-vf", "format=rgba", "-f", "null", "-"});
    ffmpeg.waitForFinished((seconds + 30) * 1000);
    Result r;
    r.cpuSeconds = benchutil::cpuSeconds(RUSAGE_CHILDREN) - before;
    const QString log = QString::fromUtf8(ffmpeg.readAll());
    const auto matches = QRegularExpression(QStringLiteral("frame=\\s*(\\d+)")).globalMatch(log);
    for (auto it = matches; it.hasNext();)
        r.frames = it.next().captured(1).toInt();
    return r;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::string(argv[1]) == "--animate")
        return animate();
    QCoreApplication app(argc, argv);
    const int seconds = benchutil::envInt("BENCH_CAPTURE_SECONDS", 20);

    QProcess animator;
    animator.start(QCoreApplication::applicationFilePath(), {"--animate"});
    if (!animator.waitForReadyRead(10000)) {
        std::fprintf(stderr, "bench_capture: the animator did not start (no X display?)\n");
        return 1;
    }
    const quint64 window = animator.readLine().trimmed().toULongLong();

    std::printf("capture of a 1920x1080 screen repainted at 30 fps, %d s per run (load: %s)\n",
                seconds, qPrintable(benchutil::loadText()));
    const Result cli = runCli(seconds);
    const Result display = runDecoder(SourceAddress::displayAddress(0), seconds);
    const Result windowed = runDecoder(SourceAddress::windowAddress(window), seconds);
    animator.kill();
    animator.waitForFinished(5000);

    auto line = [&](const char *name, const Result &r) {
        std::printf("%-32s %6d frames  %6.2f fps  %7.3f ms CPU/frame  %5.2f x CLI\n", name,
                    r.frames, r.frames / double(seconds), r.msPerFrame(),
                    cli.msPerFrame() > 0 ? r.msPerFrame() / cli.msPerFrame() : 0.0);
    };
    line("ffmpeg -f x11grab, format=rgba", cli);
    line("display capture (SHM)", display);
    line("window capture (library)", windowed);
    std::printf("RESULT capture_display_ratio=%.3f capture_window_ratio=%.3f\n",
                cli.msPerFrame() > 0 ? display.msPerFrame() / cli.msPerFrame() : 0.0,
                cli.msPerFrame() > 0 ? windowed.msPerFrame() / cli.msPerFrame() : 0.0);
    return 0;
}
