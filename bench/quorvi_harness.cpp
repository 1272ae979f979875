// The whole engine without a window, for a fixed time: up to four channel decoders, text, image
// and picture-in-picture overlays, the audio mixer and the program output (a file and any
// number of streams), wired as the application wires them. At the end HarnessReport prints one
// "metric <name> <value>" line per figure and a summary: frames composed and encoded against
// the real-time count, drops, CPU, memory over time and base-frame-to-packet latency.
// bench/harness_vs_ffmpeg.sh runs it beside the ffmpeg CLI doing the same job.

#include "BenchUtil.h"
#include "HarnessOptions.h"
#include "HarnessOverlays.h"
#include "HarnessReport.h"
#include "core/FramePool.h"
#include "core/FrameToken.h"
#include "core/MetaTypes.h"
#include "core/ProgramState.h"
#include "output/FfmpegEncoderSink.h"
#include "output/OutputRouter.h"
#include "pipeline/EngineSession.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/VulkanCompositor.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMap>
#include <QThreadPool>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using namespace benchutil;

// The overlays' ids: the text and the image 1, the picture-in-picture video 2.
constexpr int kFirstOverlayId = 1;
// Keeps the latency bookkeeping bounded when the encoder stops taking frames.
constexpr size_t kMaxTracked = 2000;

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t residentBytes() {
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) : 0;
}

// CPU seconds per thread name, from /proc: x264's and the decoders' worker threads inherit the
// name of the thread that made them, so "enc" and "dec:chN" include their helpers.
QMap<QString, double> cpuByThreadName() {
    QMap<QString, double> out;
    const double tick = double(sysconf(_SC_CLK_TCK));
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(tid) + QStringLiteral("/stat"));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray s = f.readAll();
        const qsizetype open = s.indexOf('(');
        const qsizetype close = s.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        const QString name = QString::fromUtf8(s.mid(open + 1, close - open - 1));
        // After the name: state is field 3, utime 14 and stime 15.
        const QList<QByteArray> fields = s.mid(close + 2).split(' ');
        if (fields.size() < 13)
            continue;
        out[name] += double(fields[11].toLongLong() + fields[12].toLongLong()) / tick;
    }
    return out;
}

// Follows each base frame to its video packet.
//
// Base to encoder, by identity: a program frame carries its base's time stamp, and the router
// hands frames to the encoder in the order they were composed, possibly skipping some (a full
// queue replaces its newest frame). So the encoder's frame is found by its time stamp in the
// list of composed bases, and the bases passed over on the way never reached the encoder.
//
// Encoder to packet, by order: x264 here has no B-frames and never drops a frame, so its
// packets come out in the order the frames went in, after however many frames it holds
// (none with sliced threads, as here; more with frame threads). The file output writes every
// packet, in that order, on the encoding thread; so the n-th video packet of the file is the n-th
// frame the encoder took. Matching by the packet's media time would not work: the encoder stamps
// packets from its own wall-clock media clock, not from the frame's time stamp.
struct Tracker {
    std::mutex mutex;
    std::deque<std::pair<int64_t, int64_t>> composed; // (base ptsUs, base ready ns); guarded
    std::deque<int64_t> inEncoder;                    // base ready ns, oldest first; guarded
    std::vector<double> latencyMs;                    // guarded
    std::vector<int64_t> latencyAtNs;                 // when each was measured; guarded
    std::vector<int> heldFrames;                      // frames x264 held per packet; guarded
    int64_t neverEncoded = 0;                         // guarded

    std::atomic<bool> stopping{false};
    std::atomic<int64_t> framesToEncoder{0};
    std::array<std::atomic<int64_t>, HarnessReport::kCountedOutputs> videoPackets{};
    std::array<std::atomic<int64_t>, HarnessReport::kCountedOutputs> audioPackets{};
    int latencyOutput = -1; // observer index of the file; -1: no latency

    // What the sink knew just before it closed (its outputs are gone afterwards).
    std::vector<FfmpegEncoderSink::OutputStatus> finalStatus; // guarded
    QString encoderName;                                      // guarded
    QSize encoderSize;                                        // guarded

    void onBase(int64_t ptsUs, int64_t ns) {
        std::lock_guard lock(mutex);
        composed.emplace_back(ptsUs, ns);
        while (composed.size() > kMaxTracked) {
            composed.pop_front();
            ++neverEncoded;
        }
    }

    void onPacket(int output, bool isVideo) {
        if (output < 0 || output >= int(videoPackets.size()))
            return;
        (isVideo ? videoPackets : audioPackets)[size_t(output)].fetch_add(1);
        if (!isVideo || output != latencyOutput)
            return;
        const int64_t t = nowNs();
        std::lock_guard lock(mutex);
        if (inEncoder.empty())
            return;
        const int64_t ready = inEncoder.front();
        inEncoder.pop_front();
        heldFrames.push_back(int(inEncoder.size()));
        // Packets flushed by the closing encoder waited for the stop, not for the pipeline.
        if (ready >= 0 && !stopping.load()) {
            latencyMs.push_back(double(t - ready) / 1e6);
            latencyAtNs.push_back(t);
        }
    }
};

class TrackedSink : public FfmpegEncoderSink {
public:
    explicit TrackedSink(std::shared_ptr<Tracker> tracker) : tracker_(std::move(tracker)) {
        setWriteObserver(
            [t = tracker_](int output, bool isVideo, int64_t) { t->onPacket(output, isVideo); });
    }

    void writeFrame(const FrameTokenPtr &frame, const int16_t *pcm, int pcmFrames) override {
        int64_t ready = -1;
        {
            std::lock_guard lock(tracker_->mutex);
            auto &composed = tracker_->composed;
            const auto it =
                frame ? std::find_if(composed.begin(), composed.end(),
                                     [&](const auto &c) { return c.first == frame->ptsUs; })
                      : composed.end();
            if (it != composed.end()) {
                ready = it->second;
                tracker_->neverEncoded += it - composed.begin();
                composed.erase(composed.begin(), it + 1);
            }
            // Before the call: with an encoder that holds no frame the packet is written
            // inside it.
            tracker_->inEncoder.push_back(ready);
            if (tracker_->inEncoder.size() > kMaxTracked)
                tracker_->inEncoder.pop_front();
        }
        // The media clock moves on exactly when the frame reaches the encoder.
        const int64_t clockBefore = mediaClockMs();
        FfmpegEncoderSink::writeFrame(frame, pcm, pcmFrames);
        if (mediaClockMs() != clockBefore) {
            tracker_->framesToEncoder.fetch_add(1);
        } else {
            std::lock_guard lock(tracker_->mutex);
            if (!tracker_->inEncoder.empty())
                tracker_->inEncoder.pop_back();
        }
    }

    void close() override {
        auto status = outputStatus();
        if (!status.empty()) {
            std::lock_guard lock(tracker_->mutex);
            tracker_->finalStatus = std::move(status);
            tracker_->encoderName = videoEncoderName();
            tracker_->encoderSize = encoderFrameSize();
        }
        FfmpegEncoderSink::close();
    }

private:
    std::shared_ptr<Tracker> tracker_;
};

} // namespace

int main(int argc, char **argv) {
    HarnessReport report;
    report.processStartNs = nowNs();
    report.processStartCpu = cpuSeconds();
    // A stream peer that goes away must not end the run.
    std::signal(SIGPIPE, SIG_IGN);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    registerQuorviMetaTypes();
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvi_harness"));

    HarnessOptions o;
    if (!o.parse(app.arguments()))
        return 2;
    report.realTimeFrames = std::llround(o.seconds * o.fps);

    auto tracker = std::make_shared<Tracker>();
    // The mixer ticks on its own thread, as in the application; nothing plays.
    auto session = std::make_unique<EngineSession>(EngineSession::AudioPlayback::Off);
    FramePipeline *const pipeline = session->pipeline();
    OverlayManager *const overlays = session->overlays();

    tracker->latencyOutput = o.file.isEmpty() ? -1 : 0;
    pipeline->router()->setSinkFactory(
        [tracker] { return std::make_shared<TrackedSink>(tracker); });

    // Counted on the GUI thread, where the pipeline emits.
    report.baseGaps.frameUs = std::llround(1e6 / o.fps);
    // Channel thumbnails (the base's too: its whole pictures go to the program alone) come at
    // most 15 times a second.
    for (int k = 0; k < FramePipeline::kChannels; ++k)
        report.channelGaps[size_t(k)].frameUs =
            std::max<int64_t>(report.baseGaps.frameUs, std::llround(1e6 / 15));
    int64_t composedTotal = 0;
    const FrameToken *lastBase = nullptr;
    bool windowOpen = false;
    QTimer rssTimer;
    QTimer endTimer;
    endTimer.setSingleShot(true);
    endTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&endTimer, &QTimer::timeout, &app, [&] {
        windowOpen = false;
        QCoreApplication::quit();
    });
    const auto sample = [&] {
        report.rss.push_back({double(nowNs() - report.windowStartNs) / 1e9, residentBytes(),
                              pipeline->router()->queuedFrames(),
                              pipeline->mainPool()->tokensInUse()});
    };
    QObject::connect(&rssTimer, &QTimer::timeout, &app, sample);

    QObject::connect(pipeline, &FramePipeline::baseFrameReady, &app,
                     [&](const FrameTokenPtr &frame) {
                         tracker->onBase(frame->ptsUs, nowNs());
                         lastBase = frame.get();
                         if (windowOpen)
                             report.baseGaps.note(frame->ptsUs);
                     });
    QObject::connect(
        pipeline, &FramePipeline::programFrameReady, &app, [&](const FrameTokenPtr &frame) {
            ++composedTotal;
            if (!windowOpen && report.windowStartNs == 0) {
                // The run is timed from the first program frame, so opening the
                // inputs does not count as dropped frames.
                windowOpen = true;
                report.windowStartNs = nowNs();
                report.windowStartCpu = cpuSeconds();
                endTimer.start(o.seconds * 1000);
                rssTimer.start(int(o.rssIntervalS * 1000));
                sample();
            }
            if (!windowOpen)
                return;
            ++report.composedInWindow;
            if (frame.get() == lastBase && !frame->painted && overlays->hasActiveOverlays())
                ++report.passedThrough;
        });
    QObject::connect(pipeline, &FramePipeline::channelFrameReady, &app,
                     [&](int k, const FrameTokenPtr &frame) {
                         if (windowOpen && k >= 0 && k < FramePipeline::kChannels)
                             report.channelGaps[size_t(k)].note(frame->ptsUs);
                     });
    QObject::connect(pipeline, &FramePipeline::errorOccurred, &app, [](const QString &message) {
        std::fprintf(stderr, "quorvi_harness: engine error: %s\n", qUtf8Printable(message));
    });
    bool transportFailed = false;
    QObject::connect(pipeline, &FramePipeline::programOutputTransportFailed, &app,
                     [&](const QString &) {
                         transportFailed = true;
                         std::fprintf(stderr, "quorvi_harness: the output failed\n");
                         QCoreApplication::quit();
                     });

    HarnessOverlays::place(pipeline, overlays, o.text, o.image, o.pip, kFirstOverlayId);

    // Straight to the pipeline rather than through the controller, which keeps 30 fps.
    ProgramState state;
    state.programSource = o.base;
    state.programSourcePath = o.inputs[o.base - 1];
    state.outputSize = o.size;
    state.frameRate = o.fps;
    pipeline->setProgramState(state, overlays);

    pipeline->setOutputFile(o.file);
    pipeline->setStreamTargets(o.streams);
    pipeline->setOutputSize(o.size.width(), o.size.height());
    if (!pipeline->startOutputs()) {
        std::fprintf(stderr, "quorvi_harness: the outputs did not start\n");
        return 1;
    }

    QStringList sources = o.inputs;
    while (sources.size() < FramePipeline::kChannels)
        sources.append(QString());
    pipeline->setChannelSources(sources[0], sources[1], sources[2], sources[3]);
    for (int k = 0; k < int(o.inputs.size()); ++k) {
        pipeline->setChannelLoop(k, true);
        pipeline->setChannelPlayback(k, 0, true); // files start paused
    }

    // No program frame at all within this long: give up rather than hang.
    QTimer::singleShot(30000, &app, [&] {
        if (report.windowStartNs == 0) {
            std::fprintf(stderr, "quorvi_harness: no program frame within 30 s\n");
            QCoreApplication::exit(1);
        }
    });

    std::printf("quorvi_harness: %d s at %.0f fps, %lld input(s), base %d, overlays:%s%s%s, "
                "outputs: %s%lld stream(s)\n",
                o.seconds, o.fps, static_cast<long long>(o.inputs.size()), o.base,
                o.text.isEmpty() ? "" : " text", o.image.isEmpty() ? "" : " image",
                o.pip.isEmpty() ? "" : " pip", o.file.isEmpty() ? "" : "file + ",
                static_cast<long long>(o.streams.size()));
    std::fflush(stdout);
    getloadavg(&report.loadStart, 1);
    const int exitCode = QCoreApplication::exec();

    // The window is over: figures of the steady run first, then the stop.
    report.windowEndNs = nowNs();
    report.windowEndCpu = cpuSeconds();
    report.threadCpu = cpuByThreadName();
    report.queuedAtStop = pipeline->router()->queuedFrames();
    report.mainTokensMade = pipeline->mainPool()->createdCount();
    report.thumbnailTokensMade = pipeline->thumbnailPool()->createdCount();
    getloadavg(&report.loadEnd, 1);
    tracker->stopping.store(true);
    rssTimer.stop();
    sample();

    report.gpuComposition = pipeline->compositor()->gpuReady();
    // The stop returns at once; the file gets its trailer on the encoder's thread.
    pipeline->stopOutputs();
    if (!pipeline->waitOutputsClosed(60000))
        std::fprintf(stderr, "quorvi_harness: the output did not close within 60 s\n");
    // Stops the mixer, joins the decoders.
    session.reset();
    QThreadPool::globalInstance()->waitForDone();

    if (exitCode != 0 || report.windowStartNs == 0)
        return exitCode != 0 ? exitCode : 1;

    report.processWallS = double(nowNs() - report.processStartNs) / 1e9;
    report.processCpuS = cpuSeconds() - report.processStartCpu;
    {
        std::lock_guard lock(tracker->mutex);
        report.latencyMs = tracker->latencyMs;
        report.latencyAtNs = tracker->latencyAtNs;
        for (int h : tracker->heldFrames)
            report.heldFrames.push_back(h);
        // What the encoder never got: skipped in the router's queue, or still queued at stop.
        report.neverEncoded = tracker->neverEncoded + int64_t(tracker->composed.size());
        report.outputs = tracker->finalStatus;
        report.encoderName = tracker->encoderName;
        report.encoderSize = tracker->encoderSize;
    }
    report.framesToEncoder = tracker->framesToEncoder.load();
    for (size_t i = 0; i < HarnessReport::kCountedOutputs; ++i) {
        report.videoPackets[i] = tracker->videoPackets[i].load();
        report.audioPackets[i] = tracker->audioPackets[i].load();
    }
    report.latencyOutput = tracker->latencyOutput;
    report.print(o);
    return transportFailed ? 1 : 0;
}
