// Real-time file decoding: the CPU the decoder spends per 1080p frame against the ffmpeg CLI
// doing the same decode and RGBA conversion on the same file, then four decoders sharing one
// pool in real time, for delivered frames and pacing. A scripted run, not Google Benchmark:
// both parts run at wall-clock speed, so repetitions of a timing loop make no sense.
//
// BENCH_DECODER_SECONDS (default 60): length of the four-decoder run; the single-file part
// plays min(10, that) seconds, each way three times. BENCH_DECODER_MEDIA_DIR: keep generated media
// there and reuse it between runs (default: a temporary folder removed at exit).
// BENCH_DECODER_CONTROL=0 skips the video-only copy of the single file; BENCH_DECODER_AUDIO=0 gives
// the four files no sound; BENCH_DECODER_DUMP=<prefix> writes each decoder's (wall, pts) pairs to
// <prefix><n>.csv.

#include "BenchUtil.h"
#include "core/FramePool.h"
#include "core/FrameToken.h"
#include "input/FFmpegVideoDecoder.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

extern char **environ;

namespace {

using namespace benchutil;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPoolCapacity = 18;
constexpr int kFps = 30;

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs a program to its end and returns the CPU time of it and its threads (wait4's rusage,
// so nothing else this process does is counted); negative when it fails. Standard input is
// /dev/null so that the CLI never takes keystrokes from the terminal.
double runChild(const QString &program, const QStringList &args) {
    std::vector<QByteArray> storage;
    storage.push_back(program.toLocal8Bit());
    for (const QString &a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1.0;
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

QStringList words(const char *text) {
    return QString::fromLatin1(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// An H.264 1080p30 file from a lavfi picture source, with an AAC tone unless `withSound` is
// false; reused when present.
bool makeMedia(const QString &path, const QString &video, int seconds, const QString &preset,
               bool withSound) {
    if (QFileInfo(path).size() > 0)
        return true;
    const QString tmp = path + QStringLiteral(".part.mp4");
    QStringList args = words("-hide_banner -loglevel error -y -f lavfi -i") << video;
    if (withSound)
        args << words("-f lavfi -i sine=frequency=440:sample_rate=48000 -c:a aac -b:a 128k");
    args << QStringLiteral("-t") << QString::number(seconds)
         << words("-c:v libx264 -g 60 -pix_fmt yuv420p -preset") << preset << tmp;
    const int64_t t0 = nowUs();
    if (runChild(QStringLiteral("ffmpeg"), args) < 0) {
        std::fprintf(stderr, "bench_decoder: ffmpeg could not make %s\n", qPrintable(path));
        return false;
    }
    std::printf("  made %s (%d s, %s, %.1f MB) in %.1f s\n", qPrintable(QFileInfo(path).fileName()),
                seconds, qPrintable(preset), double(QFileInfo(tmp).size()) / 1e6,
                double(nowUs() - t0) / 1e6);
    std::fflush(stdout);
    return QFile::rename(tmp, path);
}

// The same file with its sound removed by stream copy: identical video packets, and a decoder
// without sound never reads ahead.
bool makeVideoOnlyCopy(const QString &from, const QString &path) {
    if (QFileInfo(path).size() > 0)
        return true;
    const QString tmp = path + QStringLiteral(".part.mp4");
    const QStringList args = words("-hide_banner -loglevel error -y -i")
                             << from << words("-an -c copy") << tmp;
    if (runChild(QStringLiteral("ffmpeg"), args) < 0) {
        std::fprintf(stderr, "bench_decoder: ffmpeg could not make %s\n", qPrintable(path));
        return false;
    }
    return QFile::rename(tmp, path);
}

int videoPackets(const QString &path) {
    QProcess p;
    p.start(QStringLiteral("ffprobe"),
            {"-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
             "stream=nb_read_packets", "-of", "csv=p=0", path});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return -1;
    return p.readAllStandardOutput().trimmed().toInt();
}

// Fills and releases every pool token once, so that no run pays the first page faults of the
// buffers (the program's pool is long-lived and warm too).
void warmPool(FramePool &pool) {
    std::vector<FrameTokenPtr> held;
    for (int i = 0; i < pool.capacity(); ++i) {
        held.push_back(pool.acquire());
        FrameToken &t = *held.back();
        t.data.resize(qsizetype(kWidth) * kHeight * 4);
        t.data.fill('\0');
    }
}

// ---- CPU per frame against the CLI ----

constexpr int64_t kFrameUs = 1000000 / kFps;

// Frames a timeline step skips: 0 for a step of one frame, n for a step of n + 1 frames.
int64_t skippedFrames(int64_t ptsStepUs) {
    return ptsStepUs > kFrameUs * 3 / 2 ? (ptsStepUs + kFrameUs / 2) / kFrameUs - 1 : 0;
}

struct SingleRun {
    bool ok = false;
    double cpuS = 0;
    double wallS = 0;
    int delivered = 0;      // when the end signal came
    int deliveredAfter = 0; // in the moment after the end signal
    int64_t afterPtsUs = -1;
    int ptsBackwards = 0; // delivered frames whose pts was not after the previous one
    int64_t skipped = 0;  // frames missing between delivered ones
};

SingleRun playToEnd(FramePool &pool, const QString &path, int fileSeconds) {
    SingleRun run;
    // Written by the worker only; read after it is joined, except the two counters.
    std::atomic<int> delivered{0};
    std::atomic<int> backwards{0};
    int64_t skipped = 0;
    int64_t lastPts = INT64_MIN;
    auto dec = std::make_unique<FFmpegVideoDecoder>(&pool);
    dec->setThreadTag(QStringLiteral("b1"));
    dec->setFrameCallback([&](FrameTokenPtr token) {
        const int64_t pts = token->ptsUs;
        token.reset();
        if (lastPts != INT64_MIN) {
            if (pts <= lastPts)
                backwards.fetch_add(1, std::memory_order_relaxed);
            else
                skipped += skippedFrames(pts - lastPts);
        }
        lastPts = pts;
        delivered.fetch_add(1, std::memory_order_relaxed);
    });

    QEventLoop loop;
    bool ended = false;
    QObject::connect(dec.get(), &FFmpegVideoDecoder::playbackEndedNaturally, &loop, [&] {
        ended = true;
        loop.quit();
    });
    QObject::connect(
        dec.get(), &FFmpegVideoDecoder::decodeError, &loop, [&](const QString &message) {
            std::fprintf(stderr, "bench_decoder: decode error: %s\n", qPrintable(message));
            loop.quit();
        });
    QTimer::singleShot(fileSeconds * 3000 + 20000, &loop, &QEventLoop::quit);

    const double cpu0 = cpuSeconds(RUSAGE_SELF);
    const int64_t wall0 = nowUs();
    dec->setSource(path);
    dec->setPlaybackState(0, true);
    loop.exec();
    run.cpuS = cpuSeconds(RUSAGE_SELF) - cpu0;
    run.wallS = double(nowUs() - wall0) / 1e6;
    run.delivered = delivered.load();
    run.ptsBackwards = backwards.load();
    // Outside the measured span: whatever the stopped player still delivers at its end.
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
    dec->stop();
    dec->waitForLifecycle();
    run.deliveredAfter = delivered.load() - run.delivered;
    if (run.deliveredAfter > 0)
        run.afterPtsUs = lastPts;
    run.skipped = skipped;
    run.ok = ended;
    return run;
}

struct CpuSide {
    QString label;
    QString path;
    int inFile = 0;
    std::vector<double> decoderMs, cliMs, delivered;
};

bool measureCpuPerFrame(FramePool &pool, const QString &dir, int fileSeconds, bool control) {
    std::printf("\n== CPU per frame: decoder vs ffmpeg CLI (1080p30 H.264 veryfast, %d s)\n",
                fileSeconds);
    std::vector<CpuSide> sides(control ? 2 : 1);
    sides[0].label = QStringLiteral("with AAC");
    sides[0].path = dir + QStringLiteral("/cpu_testsrc2_%1s.mp4").arg(fileSeconds);
    if (!makeMedia(sides[0].path, QStringLiteral("testsrc2=size=1920x1080:rate=30"), fileSeconds,
                   QStringLiteral("veryfast"), true))
        return false;
    if (control) {
        sides[1].label = QStringLiteral("video-only copy");
        sides[1].path = dir + QStringLiteral("/cpu_testsrc2_%1s_video.mp4").arg(fileSeconds);
        if (!makeVideoOnlyCopy(sides[0].path, sides[1].path))
            return false;
    }
    for (CpuSide &side : sides) {
        side.inFile = videoPackets(side.path);
        if (side.inFile < 1) {
            std::fprintf(stderr, "bench_decoder: ffprobe could not count %s\n",
                         qPrintable(side.path));
            return false;
        }
    }

    std::printf("  load before: %s\n", qPrintable(loadText()));
    for (int round = 1; round <= 3; ++round) {
        for (CpuSide &side : sides) {
            const SingleRun d = playToEnd(pool, side.path, fileSeconds);
            if (!d.ok || d.delivered < 1) {
                std::fprintf(stderr, "bench_decoder: the decoder did not reach the end\n");
                return false;
            }
            const double c =
                runChild(QStringLiteral("ffmpeg"),
                         words("-hide_banner -loglevel error -i")
                             << side.path
                             << words("-vf scale=1920:1080:flags=bilinear,format=rgba -f null -"));
            if (c < 0) {
                std::fprintf(stderr, "bench_decoder: the ffmpeg CLI failed\n");
                return false;
            }
            side.decoderMs.push_back(d.cpuS * 1e3 / d.delivered);
            side.cliMs.push_back(c * 1e3 / side.inFile);
            side.delivered.push_back(d.delivered);
            std::printf("  %d %-16s decoder %.2f ms/frame (%.2f s CPU, %d frames, %lld skipped, "
                        "%.2f s wall; then %d more, last pts %.0f ms; %d pts not rising) | CLI "
                        "%.2f ms/frame (%.2f s CPU) | load %s\n",
                        round, qPrintable(side.label), side.decoderMs.back(), d.cpuS, d.delivered,
                        static_cast<long long>(d.skipped), d.wallS, d.deliveredAfter,
                        double(d.afterPtsUs) / 1e3, d.ptsBackwards, side.cliMs.back(), c,
                        qPrintable(loadText()));
            std::fflush(stdout);
        }
    }
    for (const CpuSide &side : sides) {
        const double dm = median(side.decoderMs);
        const double cm = median(side.cliMs);
        std::printf("  %s%s, medians of 3:\n", qPrintable(side.label),
                    &side == &sides[0] ? "" : " (control: no read-ahead)");
        std::printf("    decoder CPU/frame          %8.2f ms\n", dm);
        std::printf("    CLI CPU/frame              %8.2f ms\n", cm);
        std::printf("    decoder / CLI              %8.2fx   (goal <= 1.15)\n", dm / cm);
        std::printf("    frames delivered           %8.0f of %d in the file\n",
                    median(side.delivered), side.inFile);
    }
    return true;
}

// ---- Four decoders in real time ----

struct Sample {
    int64_t wallUs;
    int64_t ptsUs;
};

// Written by one decoder worker; read by the main thread after the worker is joined (only
// `count` and `firstWallUs` while it runs).
struct Recorder {
    explicit Recorder(size_t capacity) : samples(capacity) {}
    std::vector<Sample> samples;
    std::atomic<size_t> count{0};
    std::atomic<size_t> overflow{0};
    std::atomic<int64_t> firstWallUs{0};

    void add(int64_t wallUs, int64_t ptsUs) {
        const size_t n = count.load(std::memory_order_relaxed);
        if (n == samples.size()) {
            overflow.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        samples[n] = {wallUs, ptsUs};
        if (n == 0)
            firstWallUs.store(wallUs, std::memory_order_relaxed);
        count.store(n + 1, std::memory_order_release);
    }
};

struct Content {
    const char *name;
    const char *lavfi;
};

constexpr std::array<Content, 4> kContents = {{
    {"testsrc2", "testsrc2=size=1920x1080:rate=30"},
    {"smptehdbars_noise", "smptehdbars=size=1920x1080:rate=30,noise=alls=6:allf=t"},
    {"testsrc", "testsrc=size=1920x1080:rate=30"},
    {"cellauto", "cellauto=size=1920x1080:rate=30:rule=110"},
}};

bool measureFourDecoders(FramePool &pool, const QString &dir, int seconds, bool withSound,
                         const QByteArray &dumpPrefix) {
    // Looped even when one clip fills the run, so that no natural end (and the still frame
    // that follows it) falls inside a window.
    const int clipSeconds = std::min(seconds, 20);
    std::printf("\n== Four decoders in real time, one shared pool, %d s (looped %d s clips%s)\n",
                seconds, clipSeconds, withSound ? " with AAC" : ", no sound");
    QStringList paths;
    for (const Content &c : kContents) {
        paths << dir + QStringLiteral("/rt_%1_%2s%3.mp4")
                           .arg(QLatin1String(c.name))
                           .arg(clipSeconds)
                           .arg(withSound ? "" : "_video");
        if (!makeMedia(paths.back(), QString::fromLatin1(c.lavfi), clipSeconds,
                       QStringLiteral("ultrafast"), withSound))
            return false;
    }

    const size_t capacity = size_t(seconds + 10) * kFps * 2;
    std::vector<std::unique_ptr<Recorder>> recorders;
    std::vector<std::unique_ptr<FFmpegVideoDecoder>> decoders;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        recorders.push_back(std::make_unique<Recorder>(capacity));
        Recorder *rec = recorders.back().get();
        decoders.push_back(std::make_unique<FFmpegVideoDecoder>(&pool));
        FFmpegVideoDecoder &dec = *decoders.back();
        dec.setThreadTag(QStringLiteral("b%1").arg(i + 1));
        dec.setFrameCallback([rec](FrameTokenPtr token) {
            const int64_t wall = nowUs();
            const int64_t pts = token->ptsUs;
            token.reset();
            rec->add(wall, pts);
        });
        dec.setLoop(true);
        QObject::connect(&dec, &FFmpegVideoDecoder::decodeError, [](const QString &message) {
            std::fprintf(stderr, "bench_decoder: decode error: %s\n", qPrintable(message));
        });
    }

    std::printf("  load before: %s\n", qPrintable(loadText()));
    std::fflush(stdout);
    const double cpu0 = cpuSeconds(RUSAGE_SELF);
    const int64_t wall0 = nowUs();
    for (size_t i = 0; i < decoders.size(); ++i) {
        decoders[i]->setSource(paths[qsizetype(i)]);
        decoders[i]->setPlaybackState(0, true);
    }

    // Each decoder is judged over `seconds` from its own first frame; stop once the last one
    // has had its full window.
    const int64_t windowUs = int64_t(seconds) * 1000000;
    QEventLoop loop;
    QTimer poll;
    bool timedOut = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        int64_t lastFirst = 0;
        for (const auto &r : recorders) {
            const int64_t first =
                r->count.load(std::memory_order_acquire) ? r->firstWallUs.load() : 0;
            if (first == 0) {
                lastFirst = -1;
                break;
            }
            lastFirst = std::max(lastFirst, first);
        }
        const int64_t now = nowUs();
        if (lastFirst > 0 && now >= lastFirst + windowUs + 200000)
            loop.quit();
        else if (now - wall0 > windowUs + 30000000) {
            timedOut = true;
            loop.quit();
        }
    });
    poll.start(20);
    loop.exec();
    poll.stop();
    const double cpuS = cpuSeconds(RUSAGE_SELF) - cpu0;
    const double wallS = double(nowUs() - wall0) / 1e6;
    const QString loadAfter = loadText();
    for (auto &d : decoders)
        d->stop();
    decoders.clear(); // joins the workers: the recorders are final now
    if (timedOut) {
        std::fprintf(stderr, "bench_decoder: a decoder never delivered a frame\n");
        return false;
    }

    const int64_t expectedEach = int64_t(seconds) * kFps;
    int64_t deliveredAll = 0;
    int64_t skippedAll = 0;
    std::vector<double> errorsAll;
    std::vector<double> jitterAll;
    for (size_t i = 0; i < recorders.size(); ++i) {
        const Recorder &r = *recorders[i];
        const size_t n = r.count.load();
        if (n == 0)
            continue;
        const int64_t end = r.samples[0].wallUs + windowUs;
        std::vector<double> errors;
        std::vector<double> jitter;
        std::vector<double> segment; // signed errors since the last anchor
        // The anchor frame's own delay shows as a constant offset of its whole segment; the
        // error less that segment's median offset is what the viewer sees as uneven motion.
        const auto closeSegment = [&] {
            const double offset = median(segment);
            for (double e : segment)
                jitter.push_back(std::abs(e - offset));
            segment.clear();
        };
        int64_t delivered = 0;
        int64_t skipped = 0;
        int anchors = 0;
        int64_t anchorWall = 0;
        int64_t anchorPts = 0;
        int64_t prevPts = INT64_MIN;
        for (size_t k = 0; k < n && r.samples[k].wallUs < end; ++k) {
            const Sample &s = r.samples[k];
            ++delivered;
            if (k == 0 || s.ptsUs < prevPts) { // a loop restart begins a new timeline
                closeSegment();
                anchorWall = s.wallUs;
                anchorPts = s.ptsUs;
                ++anchors;
            } else {
                skipped += skippedFrames(s.ptsUs - prevPts);
                const double e = double((s.wallUs - anchorWall) - (s.ptsUs - anchorPts)) / 1e3;
                errors.push_back(std::abs(e));
                segment.push_back(e);
            }
            prevPts = s.ptsUs;
        }
        closeSegment();
        std::sort(errors.begin(), errors.end());
        std::sort(jitter.begin(), jitter.end());
        std::printf("  %-18s delivered %5lld of %lld, skipped %lld, restarts %d, pacing error "
                    "p50 %.2f / p99 %.2f / max %.2f ms, less offset p99 %.2f ms%s\n",
                    kContents[i].name, static_cast<long long>(delivered),
                    static_cast<long long>(expectedEach), static_cast<long long>(skipped),
                    anchors - 1, percentile(errors, 0.50), percentile(errors, 0.99),
                    errors.empty() ? 0.0 : errors.back(), percentile(jitter, 0.99),
                    r.overflow.load() ? " (recorder overflowed)" : "");
        deliveredAll += delivered;
        skippedAll += skipped;
        errorsAll.insert(errorsAll.end(), errors.begin(), errors.end());
        jitterAll.insert(jitterAll.end(), jitter.begin(), jitter.end());
    }
    if (!dumpPrefix.isEmpty()) {
        for (size_t i = 0; i < recorders.size(); ++i) {
            const QByteArray name = dumpPrefix + QByteArray::number(qulonglong(i + 1)) + ".csv";
            if (FILE *f = std::fopen(name.constData(), "w")) {
                std::fprintf(f, "wall_us,pts_us\n");
                const Recorder &r = *recorders[i];
                for (size_t k = 0; k < r.count.load(); ++k)
                    std::fprintf(f, "%lld,%lld\n", static_cast<long long>(r.samples[k].wallUs),
                                 static_cast<long long>(r.samples[k].ptsUs));
                std::fclose(f);
            }
        }
    }
    std::sort(errorsAll.begin(), errorsAll.end());
    std::sort(jitterAll.begin(), jitterAll.end());
    const int64_t expected = expectedEach * int64_t(recorders.size());
    std::printf("  load after: %s\n", qPrintable(loadAfter));
    std::printf("  delivered                    %8lld of %lld (%.2f %%, goal >= 99 %%)\n",
                static_cast<long long>(deliveredAll), static_cast<long long>(expected),
                100.0 * double(deliveredAll) / double(expected));
    std::printf("  dropped late                 %8lld\n",
                static_cast<long long>(std::max<int64_t>(0, expected - deliveredAll)));
    std::printf("  frames skipped in timelines  %8lld   (pts steps over one frame)\n",
                static_cast<long long>(skippedAll));
    std::printf("  cores used                   %8.2f   (%.1f s CPU over %.1f s wall)\n",
                cpuS / wallS, cpuS, wallS);
    std::printf("  pacing error p50             %8.2f ms\n", percentile(errorsAll, 0.50));
    std::printf("  pacing error p99             %8.2f ms (goal < 5 ms on an idle machine)\n",
                percentile(errorsAll, 0.99));
    std::printf("  p99 less each segment's offset %6.2f ms\n", percentile(jitterAll, 0.99));
    std::printf("  pool tokens created          %8d of capacity %d\n", pool.createdCount(),
                pool.capacity());
    return true;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int seconds = envInt("BENCH_DECODER_SECONDS", 60);

    std::optional<QTemporaryDir> temp;
    QString dir = QString::fromLocal8Bit(qgetenv("BENCH_DECODER_MEDIA_DIR"));
    if (dir.isEmpty()) {
        temp.emplace(QDir::tempPath() + QStringLiteral("/bench_decoder-XXXXXX"));
        if (!temp->isValid())
            return 1;
        dir = temp->path();
    } else if (!QDir().mkpath(dir)) {
        return 1;
    }

    std::printf("bench_decoder: %d s real-time run, media in %s, %d CPUs\n", seconds,
                qPrintable(dir), QThread::idealThreadCount());
    FramePool pool(kPoolCapacity, kWidth, kHeight);
    warmPool(pool);
    if (!measureCpuPerFrame(pool, dir, std::clamp(seconds, 2, 10),
                            qgetenv("BENCH_DECODER_CONTROL") != "0"))
        return 1;
    if (!measureFourDecoders(pool, dir, seconds, qgetenv("BENCH_DECODER_AUDIO") != "0",
                             qgetenv("BENCH_DECODER_DUMP")))
        return 1;
    return 0;
}
