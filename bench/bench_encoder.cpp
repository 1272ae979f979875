// Live encoding in real time: the CPU FfmpegEncoderSink spends per 1080p30 frame in live mode
// against the ffmpeg CLI encoding the same RGBA frames with the same x264 settings, then the
// time from writeFrame() to the written video packet, for the file (written on the encoding
// thread) and for a stream (its own writer thread). A scripted run, not Google Benchmark: the
// runs go at wall-clock speed, so repetitions of a timing loop make no sense.
//
// BENCH_ENCODER_SECONDS (default 10): length of each run; the source is at most 10 s of frames,
// looped for longer runs. BENCH_ENCODER_TIGHT=0 skips the unpaced (as fast as possible) pair.

#include "BenchUtil.h"
#include "core/FrameToken.h"
#include "output/FfmpegEncoderSink.h"
#include "output/StreamTarget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <thread>
#include <unordered_map>
#include <vector>

extern char **environ;

namespace {

using namespace benchutil;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr int kSourceSecondsMax = 10;
constexpr int kSamplesPerFrame = FfmpegEncoderSink::kSampleRate / kFps;
// What the sink sets up in live mode with a single stream; the CLI gets the same.
constexpr int kLiveGop = 2 * kFps;
constexpr const char *kX264Params = "sliced_threads=1:threads=4:weightp=0:scenecut=0:force-cfr=1";

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Frame i's slot on a 30 fps timeline starting at `startNs`, without accumulated rounding.
int64_t frameDeadlineNs(int64_t startNs, int i) {
    return startNs + int64_t(i) * 1'000'000'000 / kFps;
}

void sleepUntilNs(int64_t ns) {
    const int64_t wait = ns - nowNs();
    if (wait > 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
}

QStringList words(const char *text) {
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// Starts a program with the given descriptors as its standard input and output (-1 keeps
// ours); 0 when it cannot be started.
pid_t spawn(const QStringList &args, int in, int out) {
    std::vector<QByteArray> storage;
    for (const QString &a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0)
        posix_spawn_file_actions_adddup2(&actions, in, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : 0;
}

// Waits for the child and returns its CPU time and its threads' (wait4's rusage, so nothing
// this process does is counted); negative when it failed.
double reap(pid_t pid) {
    int status = 0;
    rusage ru{};
    while (wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR)
            return -1.0;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1.0;
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

bool writeAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool readAll(int fd, char *data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// A pipe whose write end we keep; bigger than the default so a frame takes fewer wake-ups.
bool makePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    return true;
}

// ---- Source: the same frames and sound for both sides ----

struct Source {
    std::vector<FrameTokenPtr> frames;
    std::vector<int16_t> tone; // one second of interleaved stereo; 440 Hz loops on it exactly
};

// Moving test pattern with fresh grain on every frame, so the encoder never sees a static
// picture; decoded to RGBA once and kept in memory.
bool makeSource(Source &source, int count) {
    const QString lavfi =
        QStringLiteral("testsrc2=size=%1x%2:rate=%3,noise=alls=16:allf=t+u,format=rgba")
            .arg(kWidth)
            .arg(kHeight)
            .arg(kFps);
    const QStringList args = words("ffmpeg -hide_banner -loglevel error -nostdin -f lavfi -i")
                             << lavfi << QStringLiteral("-frames:v") << QString::number(count)
                             << words("-f rawvideo -pix_fmt rgba pipe:1");
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    const int64_t t0 = nowNs();
    const pid_t pid = spawn(args, -1, fds[1]);
    ::close(fds[1]);
    if (pid == 0) {
        ::close(fds[0]);
        return false;
    }
    const qsizetype bytes = qsizetype(kWidth) * kHeight * 4;
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        auto token = std::make_shared<FrameToken>();
        token->width = kWidth;
        token->height = kHeight;
        token->stride = kWidth * 4;
        token->data.resize(bytes);
        ok = readAll(fds[0], token->data.data(), size_t(bytes));
        source.frames.push_back(std::move(token));
    }
    ::close(fds[0]);
    if (reap(pid) < 0 || !ok) {
        std::fprintf(stderr, "bench_encoder: ffmpeg could not make the source frames\n");
        return false;
    }
    // On this VM the first read of freshly filled memory costs about 1.5 ms per MB; let no run
    // pay it.
    uint64_t sum = 0;
    for (const FrameTokenPtr &frame : source.frames) {
        const auto *words64 = reinterpret_cast<const uint64_t *>(frame->data.constData());
        for (qsizetype k = 0; k < frame->data.size() / 8; k += 8)
            sum += words64[k];
    }
    [[maybe_unused]] volatile uint64_t keep = sum;
    // The lavfi sine source's default amplitude (1/8), so both sides encode the same sound.
    source.tone.resize(size_t(2 * FfmpegEncoderSink::kSampleRate));
    for (int i = 0; i < FfmpegEncoderSink::kSampleRate; ++i) {
        const double v =
            std::sin(2.0 * std::numbers::pi * 440.0 * i / double(FfmpegEncoderSink::kSampleRate)) /
            8.0;
        const auto s = int16_t(std::lround(v * 32767.0));
        source.tone[size_t(2 * i)] = s;
        source.tone[size_t(2 * i + 1)] = s;
    }
    std::printf("  made %d RGBA frames (testsrc2 + grain, %.1f GB) in %.1f s\n", count,
                double(bytes) * count / 1e9, double(nowNs() - t0) / 1e9);
    std::fflush(stdout);
    return true;
}

// ---- Our sink ----

struct Observed {
    int64_t mediaMs;
    int64_t ns;
    int call; // the writeFrame() call in progress or last made when it was seen
};

struct SinkRun {
    bool ok = false;
    double cpuS = 0;
    double wallS = 0;
    int late = 0; // frames fed more than one frame period after their slot
    // Per output (observer index): writeFrame() to the video packet written, in ms.
    std::vector<std::vector<double>> latencyMs;
    std::vector<double> firstMs; // the first frame's, which includes opening the encoder
    std::vector<int> videoPackets;
    std::vector<double> delayFrames; // median calls between a frame's and its packet's
};

// Feeds `count` frames (and the tone) to a live-mode sink whose only stream is an FLV file
// (live mode without a network peer), plus a recording file when `filePath` is set.
SinkRun runSink(const Source &source, int count, bool paced, const QString &filePath,
                const QString &flvPath) {
    SinkRun run;
    const int outputs = filePath.isEmpty() ? 1 : 2;
    FfmpegEncoderSink sink;
    if (!sink.configure(filePath, {StreamTarget{flvPath, QStringLiteral("flv")}}, kFps) ||
        !sink.isLiveMode()) {
        std::fprintf(stderr, "bench_encoder: the sink did not take the live configuration\n");
        return run;
    }
    std::mutex mutex;
    std::vector<std::vector<Observed>> packets(static_cast<size_t>(outputs));
    for (auto &p : packets)
        p.reserve(size_t(count) + 64);
    std::atomic<int> call{0};
    sink.setWriteObserver([&](int output, bool isVideo, int64_t mediaMs) {
        if (!isVideo || output < 0 || output >= outputs)
            return;
        const int64_t t = nowNs();
        std::lock_guard lock(mutex);
        packets[size_t(output)].push_back({mediaMs, t, call.load(std::memory_order_relaxed)});
    });
    std::vector<Observed> calls; // the frame's media time, and when writeFrame() was called
    calls.reserve(size_t(count));

    const size_t n = source.frames.size();
    const double cpu0 = cpuSeconds();
    const int64_t start = nowNs();
    for (int i = 0; i < count; ++i) {
        if (paced) {
            const int64_t slot = frameDeadlineNs(start, i);
            sleepUntilNs(slot);
            if (nowNs() - slot > 1'000'000'000 / kFps)
                ++run.late;
        }
        const FrameTokenPtr &frame = source.frames[size_t(i) % n];
        // The sink only reads the token during the call, so the shared frames can be retimed.
        frame->ptsUs = int64_t(i + 1) * 1'000'000 / kFps;
        const int16_t *pcm = source.tone.data() + size_t(2 * kSamplesPerFrame) * size_t(i % kFps);
        call.store(i, std::memory_order_relaxed);
        const int64_t called = nowNs();
        sink.writeFrame(frame, pcm, kSamplesPerFrame);
        calls.push_back({sink.mediaClockMs(), called, i});
    }
    const int64_t closing = nowNs();
    sink.close(); // flushes the encoder and joins the stream writer
    run.cpuS = cpuSeconds() - cpu0;
    run.wallS = double(nowNs() - start) / 1e9;

    // Packets of the last frames come out of the flush in close(); that wait is not latency.
    for (int o = 0; o < outputs; ++o) {
        std::unordered_map<int64_t, Observed> seen;
        for (const Observed &p : packets[size_t(o)])
            if (p.ns < closing)
                seen.emplace(p.mediaMs, p);
        std::vector<double> latency;
        std::vector<double> delay;
        double first = -1;
        for (size_t k = 0; k < calls.size(); ++k) {
            const Observed &c = calls[k];
            auto it = seen.find(c.mediaMs);
            if (it == seen.end())
                it = seen.find(c.mediaMs - 1);
            if (it == seen.end())
                it = seen.find(c.mediaMs + 1);
            if (it == seen.end())
                continue;
            const double ms = double(it->second.ns - c.ns) / 1e6;
            delay.push_back(it->second.call - c.call);
            if (k == 0)
                first = ms;
            else
                latency.push_back(ms);
        }
        std::sort(latency.begin(), latency.end());
        run.latencyMs.push_back(std::move(latency));
        run.firstMs.push_back(first);
        run.videoPackets.push_back(int(packets[size_t(o)].size()));
        run.delayFrames.push_back(median(delay));
    }
    run.ok = true;
    return run;
}

// ---- The ffmpeg CLI ----

struct CliRun {
    bool ok = false;
    double cpuS = 0;
    double wallS = 0;
    int late = 0;
};

// The same frames piped in as raw RGBA (paced like ours when `paced`), the same tone from
// lavfi, and the sink's live-mode settings.
CliRun runCli(const Source &source, int count, bool paced, const QString &outPath) {
    CliRun run;
    const int kbps = FfmpegEncoderSink::bitrateKbps(kFps, kWidth, kHeight);
    const QString rate = QString::number(kbps) + QLatin1Char('k');
    const QString x264 =
        QStringLiteral("%1:keyint=%2:min-keyint=%2").arg(QLatin1String(kX264Params)).arg(kLiveGop);
    const QStringList args =
        words("ffmpeg -hide_banner -loglevel error -nostdin -y -f rawvideo -pix_fmt rgba")
        << QStringLiteral("-video_size") << QStringLiteral("%1x%2").arg(kWidth).arg(kHeight)
        << QStringLiteral("-framerate") << QString::number(kFps) << words("-i pipe:0 -f lavfi -i")
        << QStringLiteral("sine=frequency=440:sample_rate=%1:duration=%2")
               .arg(FfmpegEncoderSink::kSampleRate)
               .arg(double(count) / kFps, 0, 'f', 3)
        << words("-map 0:v -map 1:a -sws_flags bilinear -c:v libx264 -preset veryfast -tune "
                 "zerolatency -forced-idr 1 -x264-params")
        << x264 << QStringLiteral("-b:v") << rate << QStringLiteral("-maxrate") << rate
        << QStringLiteral("-bufsize") << rate << QStringLiteral("-g") << QString::number(kLiveGop)
        << words("-bf 0 -pix_fmt yuv420p -enc_time_base:v 1:1000 -c:a aac -b:a 160k -ar")
        << QString::number(FfmpegEncoderSink::kSampleRate) << words("-ac 2 -f flv") << outPath;
    int fds[2];
    if (!makePipe(fds))
        return run;
    const pid_t pid = spawn(args, fds[0], -1);
    ::close(fds[0]);
    if (pid == 0) {
        ::close(fds[1]);
        std::fprintf(stderr, "bench_encoder: could not start ffmpeg\n");
        return run;
    }
    const size_t n = source.frames.size();
    const int64_t start = nowNs();
    bool fed = true;
    for (int i = 0; i < count && fed; ++i) {
        if (paced) {
            const int64_t slot = frameDeadlineNs(start, i);
            sleepUntilNs(slot);
            if (nowNs() - slot > 1'000'000'000 / kFps)
                ++run.late;
        }
        const FrameToken &frame = *source.frames[size_t(i) % n];
        fed = writeAll(fds[1], frame.data.constData(), size_t(frame.data.size()));
    }
    ::close(fds[1]);
    run.cpuS = reap(pid);
    run.wallS = double(nowNs() - start) / 1e9;
    run.ok = fed && run.cpuS >= 0;
    if (!run.ok)
        std::fprintf(stderr, "bench_encoder: the ffmpeg CLI failed\n");
    return run;
}

// What the CLI spends on starting and on taking raw frames from the pipe up to its filters,
// unpaced, with no scaling or encoding: part of its figure that our sink, handed frames in
// memory, never pays.
double cliInputCpuS(const Source &source, int count) {
    const QStringList args =
        words("ffmpeg -hide_banner -loglevel error -nostdin -f rawvideo -pix_fmt rgba")
        << QStringLiteral("-video_size") << QStringLiteral("%1x%2").arg(kWidth).arg(kHeight)
        << QStringLiteral("-framerate") << QString::number(kFps) << words("-i pipe:0 -f null -");
    int fds[2];
    if (!makePipe(fds))
        return -1;
    const pid_t pid = spawn(args, fds[0], -1);
    ::close(fds[0]);
    if (pid == 0) {
        ::close(fds[1]);
        return -1;
    }
    bool fed = true;
    for (int i = 0; i < count && fed; ++i) {
        const FrameToken &frame = *source.frames[size_t(i) % source.frames.size()];
        fed = writeAll(fds[1], frame.data.constData(), size_t(frame.data.size()));
    }
    ::close(fds[1]);
    const double c = reap(pid);
    return fed ? c : -1;
}

// x264 writes its settings into the first keyframe; the two outputs should carry the same.
QByteArray x264Options(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = f.read(4 << 20);
    const qsizetype at = head.indexOf("options: ");
    if (at < 0)
        return {};
    const qsizetype end = head.indexOf('\0', at);
    return head.mid(at + 9, end < 0 ? -1 : end - at - 9);
}

void compareSettings(const QString &ours, const QString &cli) {
    const QByteArray a = x264Options(ours);
    const QByteArray b = x264Options(cli);
    if (a.isEmpty() || b.isEmpty()) {
        std::printf("  x264 settings: not found in the outputs\n");
        return;
    }
    if (a == b) {
        std::printf("  x264 settings: identical on both sides\n");
        return;
    }
    const QList<QByteArray> wa = a.split(' ');
    const QList<QByteArray> wb = b.split(' ');
    QByteArray onlyOurs, onlyCli;
    for (const QByteArray &w : wa)
        if (!wb.contains(w))
            onlyOurs += ' ' + w;
    for (const QByteArray &w : wb)
        if (!wa.contains(w))
            onlyCli += ' ' + w;
    std::printf("  x264 settings differ: ours%s | CLI%s\n", onlyOurs.constData(),
                onlyCli.constData());
}

double mb(const QString &path) {
    return double(QFileInfo(path).size()) / 1e6;
}

QString latencyText(const std::vector<double> &sorted) {
    return QStringLiteral("p50 %1 / p95 %2 / max %3 ms over %4 frames")
        .arg(percentile(sorted, 0.50), 0, 'f', 1)
        .arg(percentile(sorted, 0.95), 0, 'f', 1)
        .arg(sorted.empty() ? 0.0 : sorted.back(), 0, 'f', 1)
        .arg(sorted.size());
}

struct Summary {
    double oursMs = 0, cliMs = 0, inputMs = -1;
    double tightOursMs = -1, tightCliMs = -1;
    std::vector<double> fileLatency, streamLatency;
    double fileFirstMs = -1, streamFirstMs = -1;
    QString loadBefore, loadAfter;
};

bool measureCpu(const Source &source, const QString &dir, int count, bool tight, Summary &sum) {
    std::printf("\n== CPU per frame, live mode: sink vs ffmpeg CLI (1080p30 libx264 veryfast "
                "zerolatency, %d frames at 30 fps, FLV out, AAC 160k)\n",
                count);
    const QString oursPath = dir + QStringLiteral("/ours.flv");
    const QString cliPath = dir + QStringLiteral("/cli.flv");
    std::vector<double> oursMs, cliMs;
    for (int round = 1; round <= 3; ++round) {
        // Alternate which side goes first so that drifting background load hits both.
        for (int side = 0; side < 2; ++side) {
            if ((side == 0) == (round % 2 == 1)) {
                const SinkRun r = runSink(source, count, true, QString(), oursPath);
                if (!r.ok)
                    return false;
                oursMs.push_back(r.cpuS * 1e3 / count);
                std::printf("  %d sink %7.2f ms/frame (%.2f s CPU, %.2f s wall, %.2f cores, %d "
                            "fed late) | %d video packets, %.1f MB; stream latency %s | load %s\n",
                            round, oursMs.back(), r.cpuS, r.wallS, r.cpuS / r.wallS, r.late,
                            r.videoPackets[0], mb(oursPath),
                            qPrintable(latencyText(r.latencyMs[0])), qPrintable(loadText()));
            } else {
                const CliRun r = runCli(source, count, true, cliPath);
                if (!r.ok)
                    return false;
                cliMs.push_back(r.cpuS * 1e3 / count);
                std::printf("  %d CLI  %7.2f ms/frame (%.2f s CPU, %.2f s wall, %.2f cores, %d "
                            "fed late) | %.1f MB | load %s\n",
                            round, cliMs.back(), r.cpuS, r.wallS, r.cpuS / r.wallS, r.late,
                            mb(cliPath), qPrintable(loadText()));
            }
            std::fflush(stdout);
        }
    }
    compareSettings(oursPath, cliPath);
    sum.oursMs = median(oursMs);
    sum.cliMs = median(cliMs);

    const double input = cliInputCpuS(source, count);
    if (input >= 0) {
        sum.inputMs = input * 1e3 / count;
        std::printf(
            "  CLI start-up and pipe input alone (no scaling, no encoding): %.2f ms/frame\n",
            sum.inputMs);
    }
    if (tight) {
        const SinkRun s = runSink(source, count, false, QString(), oursPath);
        const CliRun c = runCli(source, count, false, cliPath);
        if (!s.ok || !c.ok)
            return false;
        sum.tightOursMs = s.cpuS * 1e3 / count;
        sum.tightCliMs = c.cpuS * 1e3 / count;
        std::printf("  unpaced: sink %.2f ms/frame (%.1f fps) | CLI %.2f ms/frame (%.1f fps)\n",
                    sum.tightOursMs, count / s.wallS, sum.tightCliMs, count / c.wallS);
    }
    std::fflush(stdout);
    return true;
}

bool measureLatency(const Source &source, const QString &dir, int count, Summary &sum) {
    std::printf("\n== writeFrame() to written video packet, live mode, 1080p30 at 30 fps, %d "
                "frames: MP4 file + FLV stream\n",
                count);
    const SinkRun r = runSink(source, count, true, dir + QStringLiteral("/rec.mp4"),
                              dir + QStringLiteral("/live.flv"));
    if (!r.ok)
        return false;
    std::printf("  %.2f s CPU, %.2f s wall, %d fed late; video packets: file %d, stream %d\n",
                r.cpuS, r.wallS, r.late, r.videoPackets[0], r.videoPackets[1]);
    std::printf("  file   (encoding thread) %s; first frame %.1f ms; packet written during "
                "writeFrame() of frame n + %.0f\n",
                qPrintable(latencyText(r.latencyMs[0])), r.firstMs[0], r.delayFrames[0]);
    std::printf("  stream (writer thread)   %s; first frame %.1f ms; packet written after "
                "writeFrame() of frame n + %.0f\n",
                qPrintable(latencyText(r.latencyMs[1])), r.firstMs[1], r.delayFrames[1]);
    sum.fileLatency = r.latencyMs[0];
    sum.streamLatency = r.latencyMs[1];
    sum.fileFirstMs = r.firstMs[0];
    sum.streamFirstMs = r.firstMs[1];
    std::fflush(stdout);
    return true;
}

void printSummary(const Summary &s, int count) {
    std::printf("\n== Summary (%d frames per run; CPU: medians of 3 alternating paced runs)\n",
                count);
    std::printf("  load before / after          %s / %s\n", qPrintable(s.loadBefore),
                qPrintable(s.loadAfter));
    std::printf("  sink CPU/frame               %8.2f ms\n", s.oursMs);
    std::printf("  CLI CPU/frame                %8.2f ms\n", s.cliMs);
    std::printf("  sink / CLI                   %8.2fx   (goal <= 1.1)\n", s.oursMs / s.cliMs);
    if (s.inputMs >= 0 && s.cliMs > s.inputMs)
        std::printf("  sink / CLI less its input    %8.2fx   (start-up + pipe: %.2f ms/frame)\n",
                    s.oursMs / (s.cliMs - s.inputMs), s.inputMs);
    if (s.tightOursMs >= 0)
        std::printf("  unpaced sink / CLI           %8.2fx   (%.2f vs %.2f ms/frame)\n",
                    s.tightOursMs / s.tightCliMs, s.tightOursMs, s.tightCliMs);
    std::printf("  latency file   p50/p95/max   %6.1f / %6.1f / %6.1f ms   (goal p95 < 40)\n",
                percentile(s.fileLatency, 0.50), percentile(s.fileLatency, 0.95),
                s.fileLatency.empty() ? 0.0 : s.fileLatency.back());
    std::printf("  latency stream p50/p95/max   %6.1f / %6.1f / %6.1f ms   (goal p95 < 40)\n",
                percentile(s.streamLatency, 0.50), percentile(s.streamLatency, 0.95),
                s.streamLatency.empty() ? 0.0 : s.streamLatency.back());
    std::printf("  first frame (opens encoder)  file %.1f ms, stream %.1f ms\n", s.fileFirstMs,
                s.streamFirstMs);
}

} // namespace

int main() {
    // A CLI that dies must fail its run, not end ours.
    signal(SIGPIPE, SIG_IGN);
    const int seconds = envInt("BENCH_ENCODER_SECONDS", 10);
    const int count = seconds * kFps;
    const bool tight = qgetenv("BENCH_ENCODER_TIGHT") != "0";

    QTemporaryDir temp(QDir::tempPath() + QStringLiteral("/bench_encoder-XXXXXX"));
    if (!temp.isValid())
        return 1;
    std::printf("bench_encoder: %d s real-time runs, output in %s, %d CPUs\n", seconds,
                qPrintable(temp.path()), QThread::idealThreadCount());
    std::fflush(stdout);

    Source source;
    if (!makeSource(source, std::min(seconds, kSourceSecondsMax) * kFps))
        return 1;
    Summary sum;
    sum.loadBefore = loadText();
    if (!measureCpu(source, temp.path(), count, tight, sum))
        return 1;
    // At least 300 frames measured: the first and those flushed by close() do not count.
    if (!measureLatency(source, temp.path(), std::max(count, 300) + 10, sum))
        return 1;
    sum.loadAfter = loadText();
    printSummary(sum, count);
    return 0;
}
