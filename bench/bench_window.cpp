// The operator's window under load: four 1080p30 channels playing into their panels, CH1 on the
// program, the output recording at 640x360. For each thumbnail policy in turn, in the same
// window and run, it reports how busy the GUI thread (which also composes the program) is:
// its busy share of wall time, and its busy time per program frame.
//   full rate   every channel frame scaled smoothly into its thumbnail (the plain behaviour)
//   15/s smooth at most 15 repaints a second, scaled smoothly
//   window      the policy the window uses: at most 15 a second, fast scaling
//   none        no thumbnails at all: composition and preview alone, the peer of the others
// Busy time is the wall time the GUI thread spends delivering events, so work Qt spreads over
// its thread pool while the GUI thread waits for it counts in full.
//
// Usage: bench_window [seconds per policy and round, default 5]   (needs an X server: xvfb-run)

#include "pipeline/FramePipeline.h"
#include "pipeline/OutputPlan.h"
#include "pipeline/ProgramOutput.h"
#include "pipeline/ProgramTimeline.h"
#include "ui/MainWindow.h"
#include "ui/panels/VideoInputPanel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QPushButton *button(QWidget *panel, const QString &text) {
    for (QPushButton *b : panel->findChildren<QPushButton *>())
        if (b->text() == text)
            return b;
    return nullptr;
}

// Times every event the GUI thread delivers from its event loop (timers, queued calls, paints,
// X events): their sum is the thread's busy time, whatever the event loop backend.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override {
        if (depth_++ > 0) {
            const bool done = QApplication::notify(receiver, event);
            --depth_;
            return done;
        }
        QElapsedTimer timer;
        timer.start();
        const bool done = QApplication::notify(receiver, event);
        busyNs_ += timer.nsecsElapsed();
        ++events_;
        --depth_;
        return done;
    }
    void reset() {
        busyNs_ = 0;
        events_ = 0;
    }
    double busySeconds() const { return double(busyNs_) / 1e9; }
    int64_t events() const { return events_; }

private:
    int depth_ = 0;
    int64_t busyNs_ = 0;
    int64_t events_ = 0;
};

} // namespace

int main(int argc, char **argv) {
    TimedApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(2, atoi(argv[1])) : 5;
    QTemporaryDir dir;
    const QString clip = dir.filePath(QStringLiteral("channel.mp4"));
    std::printf("bench_window: making a 1080p30 clip...\n");
    std::fflush(stdout);
    const int made = QProcess::execute(
        QStringLiteral("ffmpeg"),
        QStringLiteral(
            "-hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=1920x1080:rate=30 "
            "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 12 -c:v libx264 -preset ultrafast "
            "-g 30 -pix_fmt yuv420p -c:a aac")
                .split(u' ')
            << clip);
    if (made != 0) {
        std::fprintf(stderr, "bench_window: ffmpeg failed\n");
        return 1;
    }

    MainWindow window(nullptr, EngineSession::AudioPlayback::Off);
    window.setGeometry(0, 0, 1920, 1080);
    window.show();
    FramePipeline *pipeline = window.session().pipeline();
    for (int c = 0; c < 4; ++c) {
        VideoInputPanel *panel = window.channelPanel(c);
        panel->setSourceText(clip);
        if (QPushButton *loop = button(panel, QStringLiteral("⟲")))
            loop->click();
    }
    if (QPushButton *toPreview = button(window.channelPanel(0), QStringLiteral("🖥")))
        toPreview->click();
    OutputSettings settings;
    settings.fileEnabled = true;
    settings.filePath = dir.filePath(QStringLiteral("program.mp4"));
    settings.width = 640;
    settings.height = 360;
    window.output().setSettings(settings);
    if (!window.output().start()) {
        std::fprintf(stderr, "bench_window: the output did not start\n");
        return 1;
    }

    int64_t programFrames = 0;
    QObject::connect(pipeline, &FramePipeline::programFrameReady, &app,
                     [&programFrames] { ++programFrames; });
    // The window's own delivery of channel pictures to the panels, behind a switch, so the
    // phases can take turns (two rounds: the machine's noise spreads over all of them).
    bool feedPanels = true;
    QObject::disconnect(pipeline, &FramePipeline::channelFrameReady, &window, nullptr);
    QObject::connect(pipeline, &FramePipeline::channelFrameReady, &app,
                     [&](int c, const FrameTokenPtr &frame) {
                         if (feedPanels && frame)
                             window.channelPanel(c)->onChannelFrame(frame, frame->ptsUs / 1000);
                     });
    runFor(3000); // the decoders fill up, the encoder settles

    struct Phase {
        const char *name;
        int limit;
        bool smooth;
        bool thumbnails;
    };
    const Phase phases[] = {{"full rate", 0, true, true},
                            {"15/s smooth", 15, true, true},
                            {"window", 15, false, true},
                            {"none", 0, true, false}};
    std::printf("\n%-12s %9s %12s %12s %12s %10s\n", "policy", "busy", "busy/frame", "cpu/frame",
                "program fps", "events");
    for (int round = 0; round < 2; ++round) {
        for (const Phase &phase : phases) {
            for (int c = 0; c < 4; ++c)
                window.channelPanel(c)->setThumbnailPolicy(phase.limit, phase.smooth);
            feedPanels = phase.thumbnails;
            runFor(1000);
            app.reset();
            programFrames = 0;
            QElapsedTimer wall;
            wall.start();
            const double cpu0 = threadCpuSeconds();
            runFor(seconds * 1000);
            const double wallS = double(wall.nsecsElapsed()) / 1e9;
            const double cpuS = threadCpuSeconds() - cpu0;
            const double frames = std::max<double>(1, double(programFrames));
            std::printf("%-12s %8.1f%% %9.2f ms %9.2f ms %12.1f %10lld\n", phase.name,
                        100.0 * app.busySeconds() / wallS, 1000.0 * app.busySeconds() / frames,
                        1000.0 * cpuS / frames, double(programFrames) / wallS,
                        static_cast<long long>(app.events()));
            std::fflush(stdout);
        }
    }
    window.output().stop();
    pipeline->waitOutputsClosed(5000);
    return 0;
}
