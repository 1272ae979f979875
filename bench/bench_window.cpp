// The operator's window under load, in one of two modes (both need an X server: xvfb-run).
//
// Thumbnail policies (the default): four 1080p30 channels playing into their panels, CH1 on the
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
// The harness's job (--job): the inputs harness_vs_ffmpeg.sh makes, in the window as an
// operator has it: the four channels looping and playing in their panels, CH1 on the program,
// the logo, the picture-in-picture video and the text over it, the output at 1920x1080 to an
// MP4 file and a UDP MPEG-TS stream. Timed, as the harness is, from the first program frame for
// the given seconds; it prints the process's CPU and cores over that time, CPU and GUI busy time
// per program frame, program frames a second, the GUI thread's busy share and the peak RSS, as
// "metric <name> <value>" lines and a summary.
//
// Usage: bench_window [seconds per policy and round, default 5]
//        bench_window --job <media dir> <seconds> <out dir> [--clip <clip seconds, default 20>]
//                     [--stream <url, default udp://127.0.0.1:23000>]

#include "HarnessOverlays.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/OutputPlan.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/ProgramOutput.h"
#include "pipeline/ProgramTimeline.h"
#include "ui/MainWindow.h"
#include "ui/UserPrompts.h"
#include "ui/panels/VideoInputPanel.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <ctime>

namespace {

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double processCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// VmHWM, in MB: the peak resident set, as /usr/bin/time reports it for the harness.
double peakResidentMb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() * 1024 / 1e6;
    return 0;
}

// Precise: a coarse timer may be late by 5 %, which would skew frames against real time.
void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
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

const QString kText = QStringLiteral("Quorvi harness live");
// Above the ids the media overlay panel hands out, which has none here anyway.
constexpr int kFirstOverlayId = 1001;

struct JobOptions {
    QString mediaDir;
    int seconds = 0;
    QString outDir;
    int clipSeconds = 20;
    QString stream = QStringLiteral("udp://127.0.0.1:23000");
    QStringList channels; // four
    QString logo;
    QString pip;

    bool parse(const QStringList &args) {
        // args: --job <media dir> <seconds> <out dir> [--clip N] [--stream URL]
        if (args.size() < 4)
            return false;
        mediaDir = args[1];
        seconds = args[2].toInt();
        outDir = args[3];
        for (qsizetype i = 4; i + 1 < args.size(); i += 2) {
            if (args[i] == QLatin1String("--clip"))
                clipSeconds = args[i + 1].toInt();
            else if (args[i] == QLatin1String("--stream"))
                stream = args[i + 1];
            else
                return false;
        }
        return seconds > 0 && clipSeconds > 0 && (args.size() - 4) % 2 == 0;
    }

    // The inputs by the names harness_vs_ffmpeg.sh gives them, for this clip length.
    bool findInputs() {
        const QDir dir(mediaDir);
        const QString clip = QStringLiteral("_%1s.mp4").arg(clipSeconds);
        const auto one = [&](const QString &pattern) {
            const QStringList found = dir.entryList({pattern}, QDir::Files, QDir::Name);
            if (found.isEmpty())
                std::fprintf(stderr, "bench_window: no %s in %s\n", qUtf8Printable(pattern),
                             qUtf8Printable(mediaDir));
            return found.isEmpty() ? QString() : dir.absoluteFilePath(found.first());
        };
        for (int c = 1; c <= 4; ++c)
            channels.append(one(QStringLiteral("ch%1_*").arg(c) + clip));
        pip = one(QStringLiteral("pip_*") + clip);
        logo = one(QStringLiteral("logo_*.png"));
        return !channels.contains(QString()) && !pip.isEmpty() && !logo.isEmpty();
    }
};

int runJob(TimedApplication &app, const QStringList &args) {
    JobOptions o;
    if (!o.parse(args)) {
        std::fprintf(stderr, "usage: bench_window --job <media dir> <seconds> <out dir> "
                             "[--clip <clip seconds>] [--stream <url>]\n");
        return 2;
    }
    if (!o.findInputs() || !QDir().mkpath(o.outDir))
        return 1;
    const double startCpu = processCpuSeconds();
    QElapsedTimer process;
    process.start();
    // A warning box would wait for a click that never comes.
    UserPrompts::setHandler([](const UserPrompts::Prompt &p) {
        std::fprintf(stderr, "bench_window: prompt \"%s\": %s\n", qUtf8Printable(p.title),
                     qUtf8Printable(p.text));
        return false;
    });

    // Before the window, which may still signal while it goes.
    bool failed = false;
    int64_t programFrames = 0;
    QEventLoop firstFrame;
    MainWindow window(nullptr, EngineSession::AudioPlayback::Off);
    window.setGeometry(0, 0, 1920, 1080);
    window.show();
    FramePipeline *pipeline = window.session().pipeline();
    QObject::connect(pipeline, &FramePipeline::errorOccurred, &app, [](const QString &message) {
        std::fprintf(stderr, "bench_window: engine error: %s\n", qUtf8Printable(message));
    });
    QObject::connect(pipeline, &FramePipeline::programOutputTransportFailed, &app,
                     [&failed](const QString &reason) {
                         std::fprintf(stderr, "bench_window: the output failed: %s\n",
                                      qUtf8Printable(reason));
                         failed = true;
                     });

    // The settings first, so that the panels check their sources against them.
    OutputSettings settings;
    settings.fileEnabled = true;
    settings.filePath = QDir(o.outDir).absoluteFilePath(QStringLiteral("window.mp4"));
    settings.exactFileName = true;
    settings.rows.push_back({true, o.stream, QStringLiteral("UDP")});
    settings.width = 1920;
    settings.height = 1080;
    window.output().setSettings(settings);

    // Channels through their panels, as an operator loads them.
    for (int c = 0; c < 4; ++c) {
        VideoInputPanel *panel = window.channelPanel(c);
        panel->setSourceText(o.channels[c]);
        if (QPushButton *loop = button(panel, QStringLiteral("⟲")))
            loop->click();
        if (!panel->isPlaying() || !panel->isLoopChecked()) {
            std::fprintf(stderr, "bench_window: channel %d is not playing in a loop\n", c + 1);
            return 1;
        }
    }
    if (QPushButton *toProgram = button(window.channelPanel(0), QStringLiteral("🖥")))
        toProgram->click();
    if (window.timeline().baseChannel() != 0) {
        std::fprintf(stderr, "bench_window: CH1 is not on the program\n");
        return 1;
    }
    // The overlays straight into the session's store and pipeline, as the harness places them:
    // through the editors they would need files chosen in dialogs and items dragged into place.
    HarnessOverlays::place(pipeline, window.session().overlays(), kText, o.logo, o.pip,
                           kFirstOverlayId);
    if (!window.output().start()) {
        std::fprintf(stderr, "bench_window: the output did not start\n");
        return 1;
    }

    QObject::connect(pipeline, &FramePipeline::programFrameReady, &app, [&] {
        if (programFrames++ == 0)
            firstFrame.quit();
    });
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, &firstFrame, &QEventLoop::quit);
    giveUp.start(30000);
    firstFrame.exec();
    giveUp.stop();
    if (programFrames == 0) {
        std::fprintf(stderr, "bench_window: no program frame within 30 s\n");
        return 1;
    }

    std::printf("bench_window: the harness's job in the window, %d s\n", o.seconds);
    std::fflush(stdout);
    app.reset();
    programFrames = 0;
    QElapsedTimer wall;
    wall.start();
    const double cpu0 = processCpuSeconds();
    runFor(o.seconds * 1000);
    const double wallS = double(wall.nsecsElapsed()) / 1e9;
    const double cpuS = processCpuSeconds() - cpu0;
    const double busyS = app.busySeconds();
    const int64_t frames = programFrames;
    const int64_t events = app.events();

    window.output().stop();
    if (!pipeline->waitOutputsClosed(60000))
        std::fprintf(stderr, "bench_window: the output did not close within 60 s\n");
    const double perFrame = 1000.0 / double(std::max<int64_t>(1, frames));
    const struct {
        const char *name;
        double value;
    } metrics[] = {
        {"window_s", wallS},
        {"cpu_window_s", cpuS},
        {"cores", cpuS / wallS},
        {"cpu_ms_per_program_frame", cpuS * perFrame},
        {"program_frames", double(frames)},
        {"program_fps", double(frames) / wallS},
        {"gui_busy_pct", 100.0 * busyS / wallS},
        {"gui_busy_ms_per_frame", busyS * perFrame},
        {"gui_events", double(events)},
        {"rss_peak_mb", peakResidentMb()},
        {"cpu_process_s", processCpuSeconds() - startCpu},
        {"wall_process_s", double(process.nsecsElapsed()) / 1e9},
    };
    for (const auto &m : metrics)
        std::printf("metric %s %.6g\n", m.name, m.value);
    std::printf("bench_window job: %.1f s, CPU %.2f s (%.2f cores), %.2f ms per program frame, "
                "%.1f program frames/s, GUI busy %.1f %% (%.2f ms per frame), peak RSS %.1f MB\n",
                wallS, cpuS, cpuS / wallS, cpuS * perFrame, double(frames) / wallS,
                100.0 * busyS / wallS, busyS * perFrame, peakResidentMb());
    return failed ? 1 : 0;
}

int runPolicies(TimedApplication &app, int seconds) {
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

} // namespace

int main(int argc, char **argv) {
    TimedApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (!args.isEmpty() && args.first() == QLatin1String("--job"))
        return runJob(app, args);
    return runPolicies(app, args.isEmpty() ? 5 : std::max(2, args.first().toInt()));
}
