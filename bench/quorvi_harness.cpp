// The whole engine without a window, for a fixed time: up to four channel decoders, text, image
// and picture-in-picture overlays, the audio mixer and the program output (a file and any
// number of streams), wired as the application wires them. At the end it prints one
// "metric <name> <value>" line per figure and a summary: frames composed and encoded against
// the real-time count, drops, CPU, memory over time and base-frame-to-packet latency.
// bench/harness_vs_ffmpeg.sh runs it beside the ffmpeg CLI doing the same job.

#include "BenchUtil.h"
#include "core/FramePool.h"
#include "core/FrameToken.h"
#include "core/MediaOverlayEntry.h"
#include "core/MetaTypes.h"
#include "core/ProgramState.h"
#include "core/TextOverlayData.h"
#include "output/FfmpegEncoderSink.h"
#include "output/OutputRouter.h"
#include "output/StreamTarget.h"
#include "pipeline/EngineSession.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/VulkanCompositor.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMap>
#include <QThreadPool>
#include <QTimer>

#include <sys/resource.h>
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

// Overlay layout in scene units (640 x 360; x3 at 1080p). The CLI job in harness_vs_ffmpeg.sh
// places its overlays at the same pixels: image 384x216 at (48,48), PiP 480x270 at
// (1380,750), text at (72,888).
const QRectF kImageRect(16, 16, 128, 72);
const QRectF kPipRect(460, 250, 160, 90);
const QPoint kTextPos(24, 296);
constexpr int kImageId = 1;
constexpr int kPipId = 2;
constexpr int kTextId = 1;
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

int64_t peakResidentBytes() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return int64_t(ru.ru_maxrss) * 1024;
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

QString guessStreamFormat(const QString &url) {
    if (FfmpegEncoderSink::isRtmpAddress(url))
        return QStringLiteral("flv");
    for (const char *scheme : {"udp://", "rtp://", "srt://", "tcp://", "http://", "https://"})
        if (url.startsWith(QLatin1String(scheme), Qt::CaseInsensitive))
            return QStringLiteral("mpegts");
    return {};
}

void metric(const char *name, double value) {
    std::printf("metric %s %.6g\n", name, value);
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
    std::array<std::atomic<int64_t>, 8> videoPackets{};
    std::array<std::atomic<int64_t>, 8> audioPackets{};
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

// Counts pictures missing from a timeline: a step of n frame periods means n - 1 were not
// seen. A step back (a loop) starts over.
struct GapCounter {
    int64_t frameUs = 33333;
    int64_t last = -1;
    int64_t seen = 0;
    int64_t missing = 0;
    void note(int64_t ptsUs) {
        ++seen;
        if (last >= 0) {
            const int64_t delta = ptsUs - last;
            if (delta > 0 && delta < 10'000'000)
                missing += std::max<int64_t>(0, std::llround(double(delta) / double(frameUs)) - 1);
        }
        last = ptsUs;
    }
};

// Memory over time, with what usually explains it: frames waiting for the encoder and the main
// pool's tokens in use (beyond its capacity each is an extra 1080p buffer).
struct RssSample {
    double seconds;
    int64_t bytes;
    int queued = 0;
    int poolInUse = 0;
};

// Median resident size over the samples taken in [from, to] seconds.
double medianRss(const std::vector<RssSample> &samples, double from, double to) {
    std::vector<double> v;
    for (const RssSample &s : samples)
        if (s.seconds >= from && s.seconds <= to)
            v.push_back(double(s.bytes));
    return median(v);
}

struct Options {
    int seconds = 60;
    double fps = 30.0;
    QSize size{1920, 1080};
    QStringList inputs;
    int base = 1;
    QString text;
    QString image;
    QString pip;
    QString file;
    std::vector<StreamTarget> streams;
    QString rssCsv;
    double rssIntervalS = 1.0;
    QString latencyCsv;
};

bool parse(const QStringList &arguments, Options &o) {
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Runs the engine headless for a fixed time and prints frame, drop, CPU, memory and "
        "latency figures (lines 'metric <name> <value>', then a summary)."));
    p.addHelpOption();
    const QCommandLineOption duration(QStringLiteral("duration"),
                                      QStringLiteral("Seconds to run after the first program "
                                                     "frame (default 60)."),
                                      QStringLiteral("seconds"), QStringLiteral("60"));
    const QCommandLineOption input(QStringLiteral("input"),
                                   QStringLiteral("Channel input file, 1 to 4 times (looped)."),
                                   QStringLiteral("path"));
    const QCommandLineOption base(QStringLiteral("base"),
                                  QStringLiteral("Channel (1-4) that is the program's base "
                                                 "(default 1)."),
                                  QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption text(QStringLiteral("text"), QStringLiteral("Text overlay."),
                                  QStringLiteral("text"));
    const QCommandLineOption image(QStringLiteral("image"),
                                   QStringLiteral("Image overlay (drawn 128x72 scene units)."),
                                   QStringLiteral("path"));
    const QCommandLineOption pip(QStringLiteral("pip"),
                                 QStringLiteral("Picture-in-picture video overlay (looped)."),
                                 QStringLiteral("path"));
    const QCommandLineOption file(QStringLiteral("file"), QStringLiteral("Recording file."),
                                  QStringLiteral("path"));
    const QCommandLineOption stream(QStringLiteral("stream"),
                                    QStringLiteral("Stream URL, any number of times."),
                                    QStringLiteral("url"));
    const QCommandLineOption streamFormat(
        QStringLiteral("stream-format"),
        QStringLiteral("Muxer of the stream given at the same position (default: mpegts for "
                       "udp/srt/tcp/http, flv for rtmp)."),
        QStringLiteral("format"));
    const QCommandLineOption size(QStringLiteral("size"),
                                  QStringLiteral("Output size (default 1920x1080)."),
                                  QStringLiteral("WxH"), QStringLiteral("1920x1080"));
    const QCommandLineOption fps(QStringLiteral("fps"),
                                 QStringLiteral("Program frame rate (default 30)."),
                                 QStringLiteral("fps"), QStringLiteral("30"));
    const QCommandLineOption rssCsv(QStringLiteral("rss-csv"),
                                    QStringLiteral("Write the resident size over time here."),
                                    QStringLiteral("path"));
    const QCommandLineOption rssInterval(QStringLiteral("rss-interval"),
                                         QStringLiteral("Seconds between RSS samples (default "
                                                        "1)."),
                                         QStringLiteral("seconds"), QStringLiteral("1"));
    const QCommandLineOption latencyCsv(QStringLiteral("latency-csv"),
                                        QStringLiteral("Write each frame's latency here."),
                                        QStringLiteral("path"));
    p.addOptions({duration, input, base, text, image, pip, file, stream, streamFormat, size, fps,
                  rssCsv, rssInterval, latencyCsv});
    p.process(arguments);

    bool ok = true;
    o.seconds = p.value(duration).toInt(&ok);
    if (!ok || o.seconds < 1) {
        std::fprintf(stderr, "quorvi_harness: --duration must be a positive whole number\n");
        return false;
    }
    o.fps = p.value(fps).toDouble(&ok);
    if (!ok || o.fps < 1.0 || o.fps > 120.0) {
        std::fprintf(stderr, "quorvi_harness: --fps must be 1 to 120\n");
        return false;
    }
    const QStringList wh = p.value(size).split(QLatin1Char('x'));
    if (wh.size() != 2 || wh[0].toInt() < 16 || wh[1].toInt() < 16) {
        std::fprintf(stderr, "quorvi_harness: --size must be WxH\n");
        return false;
    }
    o.size = QSize(wh[0].toInt(), wh[1].toInt());
    o.inputs = p.values(input);
    if (o.inputs.isEmpty() || o.inputs.size() > FramePipeline::kChannels) {
        std::fprintf(stderr, "quorvi_harness: give 1 to 4 --input files\n");
        return false;
    }
    for (const QString &path : o.inputs) {
        if (!QFileInfo::exists(path)) {
            std::fprintf(stderr, "quorvi_harness: no such input: %s\n", qPrintable(path));
            return false;
        }
    }
    o.base = p.value(base).toInt(&ok);
    if (!ok || o.base < 1 || o.base > o.inputs.size()) {
        std::fprintf(stderr, "quorvi_harness: --base must name one of the inputs (1-%lld)\n",
                     static_cast<long long>(o.inputs.size()));
        return false;
    }
    o.text = p.value(text);
    o.image = p.value(image);
    o.pip = p.value(pip);
    for (const QString *path : {&o.image, &o.pip}) {
        if (!path->isEmpty() && !QFileInfo::exists(*path)) {
            std::fprintf(stderr, "quorvi_harness: no such overlay file: %s\n", qPrintable(*path));
            return false;
        }
    }
    o.file = p.value(file);
    const QStringList urls = p.values(stream);
    const QStringList formats = p.values(streamFormat);
    for (qsizetype i = 0; i < urls.size(); ++i)
        o.streams.push_back(
            {urls[i], i < formats.size() ? formats[i] : guessStreamFormat(urls[i])});
    if (o.file.isEmpty() && o.streams.empty()) {
        std::fprintf(stderr, "quorvi_harness: give --file and/or --stream\n");
        return false;
    }
    o.rssCsv = p.value(rssCsv);
    o.rssIntervalS = std::max(0.1, p.value(rssInterval).toDouble());
    o.latencyCsv = p.value(latencyCsv);
    return true;
}

void printThreadCpu(const QMap<QString, double> &threads, double processCpu) {
    std::vector<std::pair<double, QString>> sorted;
    double named = 0;
    for (auto it = threads.cbegin(); it != threads.cend(); ++it) {
        sorted.emplace_back(it.value(), it.key());
        named += it.value();
    }
    std::sort(sorted.rbegin(), sorted.rend());
    std::printf("  CPU by thread name (seconds, share of the process):\n");
    for (const auto &[seconds, name] : sorted)
        if (seconds >= 0.05)
            std::printf("    %-16s %8.2f  %5.1f %%\n", qPrintable(name), seconds,
                        processCpu > 0 ? 100.0 * seconds / processCpu : 0.0);
    if (processCpu - named >= 0.05)
        std::printf("    %-16s %8.2f  %5.1f %%\n", "(ended threads)", processCpu - named,
                    100.0 * (processCpu - named) / processCpu);
}

} // namespace

int main(int argc, char **argv) {
    const int64_t processStartNs = nowNs();
    const double processStartCpu = cpuSeconds();
    // A stream peer that goes away must not end the run.
    std::signal(SIGPIPE, SIG_IGN);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    registerQuorviMetaTypes();
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvi_harness"));

    Options o;
    if (!parse(app.arguments(), o))
        return 2;
    const int64_t realTimeFrames = std::llround(o.seconds * o.fps);

    auto tracker = std::make_shared<Tracker>();
    // The mixer ticks on its own thread, as in the application; nothing plays.
    auto session = std::make_unique<EngineSession>(EngineSession::AudioPlayback::Off);
    FramePipeline *const pipeline = session->pipeline();
    OverlayManager *const overlays = session->overlays();

    tracker->latencyOutput = o.file.isEmpty() ? -1 : 0;
    pipeline->router()->setSinkFactory(
        [tracker] { return std::make_shared<TrackedSink>(tracker); });

    // Counted on the GUI thread, where the pipeline emits.
    GapCounter baseGaps;
    baseGaps.frameUs = std::llround(1e6 / o.fps);
    std::array<GapCounter, FramePipeline::kChannels> channelGaps;
    for (GapCounter &g : channelGaps)
        g.frameUs = baseGaps.frameUs;
    int64_t composedInWindow = 0;
    int64_t composedTotal = 0;
    int64_t passedThrough = 0; // composed without overlays (no pool token free)
    const FrameToken *lastBase = nullptr;
    bool windowOpen = false;
    int64_t windowStartNs = 0;
    double windowStartCpu = 0;
    std::vector<RssSample> rss;
    QTimer rssTimer;
    QTimer endTimer;
    endTimer.setSingleShot(true);
    endTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&endTimer, &QTimer::timeout, &app, [&] {
        windowOpen = false;
        QCoreApplication::quit();
    });
    const auto sample = [&] {
        rss.push_back({double(nowNs() - windowStartNs) / 1e9, residentBytes(),
                       pipeline->router()->queuedFrames(), pipeline->mainPool()->tokensInUse()});
    };
    QObject::connect(&rssTimer, &QTimer::timeout, &app, sample);

    QObject::connect(pipeline, &FramePipeline::baseFrameReady, &app,
                     [&](const FrameTokenPtr &frame) {
                         tracker->onBase(frame->ptsUs, nowNs());
                         lastBase = frame.get();
                         if (windowOpen)
                             baseGaps.note(frame->ptsUs);
                     });
    QObject::connect(pipeline, &FramePipeline::programFrameReady, &app,
                     [&](const FrameTokenPtr &frame) {
                         ++composedTotal;
                         if (!windowOpen && windowStartNs == 0) {
                             // The run is timed from the first program frame, so opening the
                             // inputs does not count as dropped frames.
                             windowOpen = true;
                             windowStartNs = nowNs();
                             windowStartCpu = cpuSeconds();
                             endTimer.start(o.seconds * 1000);
                             rssTimer.start(int(o.rssIntervalS * 1000));
                             sample();
                         }
                         if (!windowOpen)
                             return;
                         ++composedInWindow;
                         if (frame.get() == lastBase && overlays->hasActiveOverlays())
                             ++passedThrough;
                     });
    QObject::connect(pipeline, &FramePipeline::channelFrameReady, &app,
                     [&](int k, const FrameTokenPtr &frame) {
                         if (windowOpen && k >= 0 && k < FramePipeline::kChannels)
                             channelGaps[size_t(k)].note(frame->ptsUs);
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

    if (!o.text.isEmpty()) {
        TextOverlayData t;
        t.id = kTextId;
        t.text = o.text;
        t.pos = kTextPos;
        overlays->setTextOverlay(t);
    }
    if (!o.image.isEmpty()) {
        MediaOverlayEntry e;
        e.id = kImageId;
        e.kind = MediaOverlayEntry::kImage;
        e.filePath = o.image;
        e.rectInScene = kImageRect;
        e.zOrder = 0;
        overlays->setMediaOverlay(e); // loads the picture on the thread pool
    }
    if (!o.pip.isEmpty()) {
        MediaOverlayEntry e;
        e.id = kPipId;
        e.kind = MediaOverlayEntry::kVideo;
        e.filePath = o.pip;
        e.rectInScene = kPipRect;
        e.zOrder = 1;
        e.isPlaying = true;
        overlays->setMediaOverlay(e);
    }

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
    if (!o.pip.isEmpty()) {
        pipeline->registerOverlayVideo(kPipId, o.pip);
        pipeline->setOverlayLoop(kPipId, true);
        pipeline->setOverlayPlayback(kPipId, 0, true);
    }

    // No program frame at all within this long: give up rather than hang.
    QTimer::singleShot(30000, &app, [&] {
        if (windowStartNs == 0) {
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
    double loadStart[1] = {0};
    getloadavg(loadStart, 1);
    const int exitCode = QCoreApplication::exec();

    // The window is over: figures of the steady run first, then the stop.
    const int64_t windowEndNs = nowNs();
    const double windowEndCpu = cpuSeconds();
    const QMap<QString, double> threads = cpuByThreadName();
    const int queuedAtStop = pipeline->router()->queuedFrames();
    double loadEnd[1] = {0};
    getloadavg(loadEnd, 1);
    tracker->stopping.store(true);
    rssTimer.stop();
    sample();

    const bool gpuComposition = pipeline->compositor()->gpuReady();
    // Ends the output (the file gets its trailer), stops the mixer, joins the decoders.
    session.reset();
    QThreadPool::globalInstance()->waitForDone();

    if (exitCode != 0 || windowStartNs == 0)
        return exitCode != 0 ? exitCode : 1;

    const double processWall = double(nowNs() - processStartNs) / 1e9;
    const double processCpu = cpuSeconds() - processStartCpu;
    const double windowS = double(windowEndNs - windowStartNs) / 1e9;
    const double windowCpu = windowEndCpu - windowStartCpu;

    std::vector<double> latency;
    std::vector<int64_t> latencyAt;
    std::vector<double> held;
    int64_t neverEncoded = 0;
    std::vector<FfmpegEncoderSink::OutputStatus> status;
    QString encoderName;
    QSize encoderSize;
    {
        std::lock_guard lock(tracker->mutex);
        latency = tracker->latencyMs;
        latencyAt = tracker->latencyAtNs;
        for (int h : tracker->heldFrames)
            held.push_back(h);
        // What the encoder never got: skipped in the router's queue, or still queued at stop.
        neverEncoded = tracker->neverEncoded + int64_t(tracker->composed.size());
        status = tracker->finalStatus;
        encoderName = tracker->encoderName;
        encoderSize = tracker->encoderSize;
    }
    if (!o.latencyCsv.isEmpty()) {
        QFile csv(o.latencyCsv);
        if (csv.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            csv.write("seconds,latency_ms\n");
            for (size_t i = 0; i < latency.size(); ++i)
                csv.write(QByteArray::number(double(latencyAt[i] - windowStartNs) / 1e9, 'f', 3) +
                          ',' + QByteArray::number(latency[i], 'f', 2) + '\n');
        }
    }
    // The first frame opens the encoder (x264 takes a few hundred ms), and the frames composed
    // meanwhile wait; that start-up backlog is reported apart from the steady run.
    std::vector<double> startup;
    {
        std::vector<double> steady;
        for (size_t i = 0; i < latency.size(); ++i)
            (latencyAt[i] - windowStartNs < 1'000'000'000 ? startup : steady).push_back(latency[i]);
        latency.swap(steady);
    }
    std::sort(latency.begin(), latency.end());
    const int64_t fileVideo = tracker->latencyOutput >= 0
                                  ? tracker->videoPackets[size_t(tracker->latencyOutput)].load()
                                  : -1;
    const int64_t encoded = fileVideo >= 0 ? fileVideo : tracker->videoPackets[0].load();
    const double encodedPct = 100.0 * double(encoded) / double(realTimeFrames);
    const int64_t dropped = std::max<int64_t>(0, realTimeFrames - encoded);

    // Early: the ten seconds before min(60 s, half the run); end: the last ten seconds.
    const double earlyAt = std::min(60.0, windowS / 2);
    const double rssEarly = medianRss(rss, std::max(0.0, earlyAt - 10), earlyAt);
    const double rssEnd = medianRss(rss, windowS - 10, windowS + 1);
    const double rssGrowthPct = rssEarly > 0 ? 100.0 * (rssEnd - rssEarly) / rssEarly : 0.0;
    if (!o.rssCsv.isEmpty()) {
        QFile csv(o.rssCsv);
        if (csv.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            csv.write("seconds,rss_bytes,router_queue,main_pool_in_use\n");
            for (const RssSample &s : rss)
                csv.write(QByteArray::number(s.seconds, 'f', 1) + ',' +
                          QByteArray::number(s.bytes) + ',' + QByteArray::number(s.queued) + ',' +
                          QByteArray::number(s.poolInUse) + '\n');
        }
    }

    metric("duration_s", o.seconds);
    metric("window_s", windowS);
    metric("frames_realtime", double(realTimeFrames));
    metric("frames_composed", double(composedInWindow));
    metric("frames_to_encoder", double(tracker->framesToEncoder.load()));
    metric("frames_encoded", double(encoded));
    metric("frames_encoded_pct", encodedPct);
    metric("frames_dropped", double(dropped));
    metric("frames_never_encoded", double(neverEncoded));
    metric("frames_queued_at_stop", queuedAtStop);
    metric("frames_without_overlays", double(passedThrough));
    metric("base_frames_seen", double(baseGaps.seen));
    metric("base_frames_skipped", double(baseGaps.missing));
    for (int k = 0; k < int(o.inputs.size()); ++k) {
        const QByteArray name = "channel" + QByteArray::number(k + 1) + "_frames_skipped";
        metric(name.constData(), double(channelGaps[size_t(k)].missing));
    }
    for (size_t i = 0; i < status.size(); ++i) {
        const QByteArray prefix = "output" + QByteArray::number(qsizetype(i));
        metric((prefix + "_video_packets").constData(),
               double(tracker->videoPackets[std::min(i, size_t(7))].load()));
        metric((prefix + "_audio_packets").constData(),
               double(tracker->audioPackets[std::min(i, size_t(7))].load()));
        metric((prefix + "_packets_dropped").constData(), double(status[i].packetsDropped));
    }
    metric("cpu_s", processCpu);
    metric("wall_s", processWall);
    metric("cores", processCpu / processWall);
    metric("window_cores", windowCpu / windowS);
    metric("load1_start", loadStart[0]);
    metric("load1_end", loadEnd[0]);
    metric("rss_peak_mb", double(peakResidentBytes()) / 1e6);
    metric("rss_early_mb", rssEarly / 1e6);
    metric("rss_end_mb", rssEnd / 1e6);
    metric("rss_growth_pct", rssGrowthPct);
    int queueMax = 0;
    int poolMax = 0;
    for (const RssSample &s : rss) {
        queueMax = std::max(queueMax, s.queued);
        poolMax = std::max(poolMax, s.poolInUse);
    }
    metric("router_queue_max", queueMax);
    metric("main_pool_in_use_max", poolMax);
    metric("latency_samples", double(latency.size()));
    metric("latency_p50_ms", percentile(latency, 0.50));
    metric("latency_p95_ms", percentile(latency, 0.95));
    metric("latency_max_ms", latency.empty() ? 0.0 : latency.back());
    metric("latency_startup_max_ms",
           startup.empty() ? 0.0 : *std::max_element(startup.begin(), startup.end()));
    metric("encoder_held_frames", median(held));

    std::printf("\nquorvi_harness summary (%.1f s window, %.2f s process)\n", windowS, processWall);
    std::printf("  encoder %s %dx%d, composition on the %s\n", qPrintable(encoderName),
                encoderSize.width(), encoderSize.height(), gpuComposition ? "GPU" : "CPU");
    std::printf("  frames: real-time %lld | composed %lld | to encoder %lld | encoded %lld "
                "(%.2f %% of real time, goal >= 99.5 %%)\n",
                static_cast<long long>(realTimeFrames), static_cast<long long>(composedInWindow),
                static_cast<long long>(tracker->framesToEncoder.load()),
                static_cast<long long>(encoded), encodedPct);
    std::printf("  dropped: %lld against real time; inside: %lld base frames skipped before "
                "composition (decoder late drops, coalesced deliveries), %lld composed but never "
                "encoded (router queue, %d queued at stop), %lld composed without overlays\n",
                static_cast<long long>(dropped), static_cast<long long>(baseGaps.missing),
                static_cast<long long>(neverEncoded), queuedAtStop,
                static_cast<long long>(passedThrough));
    std::printf("  channels, frames missing on the GUI thread (late drops + coalesced previews):");
    for (int k = 0; k < int(o.inputs.size()); ++k)
        std::printf(" ch%d %lld", k + 1, static_cast<long long>(channelGaps[size_t(k)].missing));
    std::printf("\n");
    for (size_t i = 0; i < status.size(); ++i)
        std::printf("  output %zu %s: %lld video packets, %lld packets written, %lld dropped\n", i,
                    qPrintable(status[i].url),
                    static_cast<long long>(tracker->videoPackets[std::min(i, size_t(7))].load()),
                    static_cast<long long>(status[i].packetsWritten),
                    static_cast<long long>(status[i].packetsDropped));
    std::printf("  CPU: %.2f s over %.2f s = %.2f cores (window alone %.2f cores); machine load "
                "%.2f at the start, %.2f at the end\n",
                processCpu, processWall, processCpu / processWall, windowCpu / windowS,
                loadStart[0], loadEnd[0]);
    printThreadCpu(threads, windowEndCpu - processStartCpu);
    std::printf("  RSS: peak %.1f MB; early %.1f MB (median of %.0f-%.0f s), end %.1f MB (last "
                "10 s): %+.2f %% (goal within 5 %% over 10 min)\n",
                double(peakResidentBytes()) / 1e6, rssEarly / 1e6, std::max(0.0, earlyAt - 10),
                earlyAt, rssEnd / 1e6, rssGrowthPct);
    std::printf("  sampled every %.1f s: router queue up to %d of %d frames, main pool up to %d "
                "tokens in use (capacity %d)\n",
                o.rssIntervalS, queueMax, OutputRouter::kQueueFrames, poolMax,
                FramePipeline::kMainPoolFrames);
    if (tracker->latencyOutput >= 0)
        std::printf("  base frame to file packet after the first second: p50 %.1f / p95 %.1f / "
                    "max %.1f ms over %zu frames (goal p95 < 50); first second (opens the "
                    "encoder) up to %.1f ms over %zu frames; the encoder held %.0f frame(s)\n",
                    percentile(latency, 0.50), percentile(latency, 0.95),
                    latency.empty() ? 0.0 : latency.back(), latency.size(),
                    startup.empty() ? 0.0 : *std::max_element(startup.begin(), startup.end()),
                    startup.size(), median(held));
    else
        std::printf("  latency: measured on the file output only; none given\n");
    return transportFailed ? 1 : 0;
}
