// Records program frames to files and reads them back with ffprobe and ffmpeg, also when the
// disk is full or the recording process is killed.

#include "common/ChildProcess.h"
#include "common/EncodedFrames.h"
#include "common/MediaFixtures.h"
#include "common/SlowFactor.h"
#include "core/LibavPtr.h"
#include "output/FfmpegEncoderSink.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

using namespace encoded;

namespace {

// A steady clock the test moves by hand.
struct ManualClock {
    std::shared_ptr<std::atomic<int64_t>> ns =
        std::make_shared<std::atomic<int64_t>>(1'000'000'000'000);
    void install(FfmpegEncoderSink &sink) const {
        sink.setSteadyClock([now = ns] { return now->load(); });
    }
    void advanceUs(int64_t us) const { *ns += us * 1000; }
    int64_t ms() const { return ns->load() / 1'000'000; }
};

// Empty when every time is known and later than the one before.
QString notIncreasing(const QList<double> &times) {
    for (qsizetype i = 0; i < times.size(); ++i)
        if (std::isnan(times[i]) || (i > 0 && !(times[i] > times[i - 1])))
            return QStringLiteral("frame %1 at %2 after %3")
                .arg(i)
                .arg(times[i])
                .arg(times.value(i - 1));
    return {};
}

const auto sorted = [](QStringList l) {
    l.sort();
    return l;
};

} // namespace

class TestFfmpegEncoderSink : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (!media::haveTool("ffmpeg") || !media::haveTool("ffprobe"))
            QSKIP("the ffmpeg and ffprobe CLIs are missing");
    }

    // What the back-off and the live-stream handling hinge on; the rest shows in the files.
    void rules() {
        for (int attempts : {40, 64, 1000, 1 << 30}) // days of failures: capped, not overflowed
            QCOMPARE(FfmpegEncoderSink::reopenDelayMs(attempts), 90000);
        for (const char *url : {"rtmps://h/app/key", "RTMPT://h/a/k"})
            QVERIFY2(FfmpegEncoderSink::isRtmpAddress(url), url);
        for (const char *url : {"udp://127.0.0.1:5000", "http://h/rtmp://x", "/tmp/rtmp.mp4", ""})
            QVERIFY2(!FfmpegEncoderSink::isRtmpAddress(url), url);
    }

    // No output at all: nothing is opened and no file appears, whatever the caller does.
    void nothingToWrite() {
        QTemporaryDir dir;
        const QString before = QDir::currentPath();
        const auto restore = qScopeGuard([&] { QDir::setCurrent(before); });
        QDir::setCurrent(dir.path());
        {
            FfmpegEncoderSink sink;
            QVERIFY(!sink.configure({}, {{"", "flv"}, {"  ", "mpegts"}}, 30));
            QVERIFY(!sink.open({}, 30));
            sink.writeFrame(programFrame(0, 64, 36, 0), nullptr, 0);
            sink.close();
            QVERIFY(!sink.isStarted());
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), {});
    }

    void recordsEveryFrame_data() {
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QSize>("frameSize");
        QTest::addColumn<QSize>("expectedSize");
        QTest::addColumn<int>("halvedFrom"); // the program's size halves there
        const QSize odd(1279, 719), even(1278, 718);
        QTest::newRow("mp4") << "mp4" << odd << even << -1;
        QTest::newRow("mkv") << "mkv" << odd << even << -1;
        QTest::newRow("avi") << "avi" << odd << even << -1;
        QTest::newRow("mp4 1x1") << "mp4" << QSize(1, 1) << QSize(2, 2) << -1;
        QTest::newRow("mp4 size change") << "mp4" << QSize(1280, 720) << QSize(1280, 720) << 60;
    }
    void recordsEveryFrame() {
        QFETCH(QString, extension);
        QFETCH(QSize, frameSize);
        QFETCH(QSize, expectedSize);
        QFETCH(int, halvedFrom);
        QTemporaryDir dir;
        const QString path = dir.filePath("program." + extension);

        // Frame kTwin arrives in the same millisecond and with the same time as the one before
        // it; it still needs a later timestamp of its own.
        constexpr int kFrames = 90, kTwin = 45;
        ManualClock clock;
        FfmpegEncoderSink sink;
        clock.install(sink);
        QVERIFY(sink.configure(path, {}, 30));
        Sine sine;
        std::vector<int16_t> pcm(2 * 1600);
        for (int i = 0; i < kFrames; ++i) {
            const bool twin = i == kTwin;
            if (!twin)
                clock.advanceUs(1000);
            const int64_t ptsUs = (i < kTwin ? i : i - 1) * kFrameUs;
            const int samples = twin ? 48 : 1600;
            sine.fill(pcm.data(), samples);
            const QSize size = halvedFrom >= 0 && i >= halvedFrom ? frameSize / 2 : frameSize;
            FrameTokenPtr frame = programFrame(i, size.width(), size.height(), ptsUs);
            // A decoder's picture goes back as soon as the frame is encoded.
            frame->source = std::shared_ptr<const AVFrame>(av_frame_alloc(), libav::FrameDeleter());
            const std::weak_ptr<const AVFrame> source = frame->source;
            sink.writeFrame(frame, pcm.data(), samples);
            QVERIFY(source.expired());
        }
        sink.close();

        const media::ProbeInfo info = media::probe(path);
        QCOMPARE(sorted(info.codecs), QStringList({"audio:aac", "video:h264"}));
        QCOMPARE(QSize(info.width, info.height), expectedSize);
        QCOMPARE(info.sampleRate, 48000);
        QCOMPARE(info.channels, 2);
        QVERIFY2(std::abs(info.durationS - (kFrames - 1) / 30.0) < 0.1,
                 qPrintable(QString::number(info.durationS)));
        const Timing t = timing(path, true);
        QCOMPARE(t.frameTimesS.size(), kFrames);
        QVERIFY2(notIncreasing(t.frameTimesS).isEmpty(), qPrintable(notIncreasing(t.frameTimesS)));

        if (frameSize.width() >= kColumns) {
            const Decoded d = decodeCounters(path);
            const QString gaps = gapReport(d.counters, 0, kFrames - 1);
            QVERIFY2(gaps.isEmpty(), qPrintable(gaps + " " + d.errors.left(300)));
        }
    }

    // Frame times are a source's position: a base that starts mid-clip, loops, or changes to
    // a channel further on must neither freeze the recording nor leave its sound behind.
    void clockFollowsTheProgramNotTheSource() {
        QTemporaryDir dir;
        ManualClock clock;
        FfmpegEncoderSink sink;
        clock.install(sink);
        QVERIFY(sink.configure(dir.filePath("clock.mkv"), {}, 30));
        std::vector<int16_t> pcm(2 * 1600, 0);
        int n = 0;
        auto feed = [&](int64_t firstPtsUs, int frames) {
            for (int i = 0; i < frames; ++i, ++n) {
                clock.advanceUs(1000); // fed faster than real time: the frames set the pace
                sink.writeFrame(programFrame(n, 160, 90, firstPtsUs + i * kFrameUs), pcm.data(),
                                1600);
            }
        };
        // Three seconds into the clip; a channel four seconds further on (one frame period on);
        // looped to the start; a wall-clock gap without frames, which still counts.
        struct Step {
            int64_t gapUs, firstPtsUs;
            int frames, clockMs, tolerance;
        };
        for (const Step &s : {Step{0, 3'000'000, 30, 967, 2}, Step{0, 7'000'000, 30, 1967, 3},
                              Step{0, 1, 30, 2967, 3}, Step{2'000'000, 1'000'000, 1, 4968, 3}}) {
            clock.advanceUs(s.gapUs);
            feed(s.firstPtsUs, s.frames);
            QVERIFY2(std::abs(sink.mediaClockMs() - s.clockMs) <= s.tolerance,
                     qPrintable(QString::number(sink.mediaClockMs())));
        }
        sink.close();
    }

    // A minute of media clock, fed faster than real time: the sound pulled per frame follows
    // the clock, so the two streams end together.
    void soundKeepsUpWithPictureForAMinute() {
        QTemporaryDir dir;
        const QString path = dir.filePath("minute.mp4");
        FfmpegEncoderSink sink;
        Sine sine;
        int64_t pulled = 0;
        QVERIFY(sink.configure(path, {}, 30)); // starts from a clean state: callbacks after it
        sink.setAudioPullCallback([&](int16_t *out, int frames) {
            sine.fill(out, frames);
            pulled += frames;
        });
        constexpr int kFrames = 1800;
        for (int i = 0; i < kFrames; ++i)
            sink.writeFrame(programFrame(i, 320, 180, i * kFrameUs), nullptr, 0);
        sink.close();

        const Timing t = timing(path, false);
        const QString figures = QStringLiteral("video %1 s, audio %2 s, pulled %3")
                                    .arg(t.videoDurationS())
                                    .arg(t.audioDurationS())
                                    .arg(pulled);
        QVERIFY2(t.videoDurationS() > 59.9 && t.videoDurationS() < 61, qPrintable(figures));
        QVERIFY2(std::abs(t.audioDurationS() - t.videoDurationS()) <= 0.040, qPrintable(figures));
    }

    // The recording process dies without closing: the fragments written so far still play.
    void killedRecordingStaysReadable() {
        QTemporaryDir dir;
        const QString exe = testutil::copyExecutable(QStringLiteral(QUORVI_PROBE), dir.path());
        QVERIFY(!exe.isEmpty());
        const QString path = dir.filePath("killed.mp4");
        QProcess p;
        p.start(exe, {"encode-forever", path});
        QVERIFY(p.waitForStarted(5000));
        QByteArray out;
        const bool reached = testutil::waitUntil(
            [&] {
                out += p.readAllStandardOutput();
                return out.contains("FRAMES 90") || p.state() != QProcess::Running;
            },
            20000 * kSlow);
        p.kill(); // SIGKILL
        p.waitForFinished(5000);
        QVERIFY2(reached && out.contains("FRAMES 90"), out.constData());

        const media::ProbeInfo info = media::probe(path);
        QVERIFY2(info.durationS >= 1.9, qPrintable(QString::number(info.durationS)));
        const Decoded d = decodeCounters(path);
        const QString gaps = gapReport(d.counters, 0);
        QVERIFY2(gaps.isEmpty(), qPrintable(gaps + " " + d.errors.left(300)));
        QVERIFY2(d.counters.size() >= 57, qPrintable(QString::number(d.counters.size())));
    }

    // RTMP streams reconnect without limit; other outputs fail after 5 s of nothing but failures.
    void targetStates() {
        using S = OutputTargetStatus::State;
        struct Row {
            const char *name;
            bool rtmp, open;
            int attempts, failingForMs, attempt; // failingForMs -1: not failing
            S state;
        } const rows[] = {{"opening", true, false, 0, -1, 0, S::Starting},
                          {"rtmp write lost", true, false, 0, 10, 1, S::Reconnecting},
                          {"rtmp long outage", true, false, 7, 600000, 8, S::Reconnecting},
                          {"udp refused 2 s", false, false, 1, 2000, 2, S::Reconnecting},
                          {"udp refused 6 s", false, false, 3, 6000, 0, S::Failed},
                          {"file full 6 s", false, true, 0, 6000, 0, S::Failed},
                          {"file full 1 s", false, true, 0, 1000, 0, S::Live}};
        for (const Row &r : rows) {
            OutputTarget::Status s; // "now" is 0
            s.open = r.open;
            s.reconnecting = !r.open && r.failingForMs >= 0;
            s.attempts = r.attempts;
            s.failingSinceNs = r.failingForMs < 0 ? 0 : -r.failingForMs * 1'000'000LL;
            s.liveSinceMs = 1234;
            s.lastError = "refused";
            const auto t = FfmpegEncoderSink::targetStatus(s, r.rtmp, 0,
                                                           FfmpegEncoderSink::kTransportFailureNs);
            QVERIFY2(t.state == r.state && t.attempt == r.attempt, r.name);
            QVERIFY2(t.reason.isEmpty() == (r.state == S::Starting || r.state == S::Live), r.name);
            QVERIFY2(t.liveSinceMs == (r.state == S::Live ? 1234 : 0), r.name);
        }
    }

    // Every write of the only output fails: logged, never fatal, and reported as failed once,
    // 5 s (of its clock) after the failures began. Matroska's packet writes fail; fragmented
    // MP4 writes its header at once, so its open fails.
    void fullDiskIsReportedOnce_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("failure");
        QTest::newRow("mkv: writes fail")
            << "full.mkv"
            << "^FfmpegEncoderSink: file mux write failed \\(will retry same file, streak \\d+ "
               "\\): \\S";
        QTest::newRow("mp4: open fails") << "full.mp4"
                                         << "^FfmpegEncoderSink: avformat_write_header failed: \\S";
    }
    void fullDiskIsReportedOnce() {
        QFETCH(QString, name);
        QFETCH(QString, failure);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        QVERIFY(QFile::link("/dev/full", path));
        ManualClock clock;
        std::atomic<int64_t> firstFailureMs{-1};
        LogCapture log;
        log.onMessage = [&](const QString &m) {
            int64_t none = -1;
            if (QRegularExpression(failure).match(m).hasMatch())
                firstFailureMs.compare_exchange_strong(none, clock.ms());
        };
        std::atomic<int> raised{0};
        std::atomic<int64_t> raisedAtMs{-1};
        FfmpegEncoderSink sink;
        clock.install(sink);
        sink.setTransportFailedCallback([&] {
            if (raised++ == 0)
                raisedAtMs = clock.ms();
        });
        QVERIFY(sink.configure(path, {}, 30));

        Sine sine;
        std::vector<int16_t> pcm(2 * 1600);
        const int64_t startMs = clock.ms();
        for (int i = 0; i < 900; ++i) {
            if (raised > 0 && clock.ms() > raisedAtMs + 5000)
                break;
            *clock.ns = (startMs + i * kFrameUs / 1000) * 1'000'000;
            sine.fill(pcm.data(), 1600);
            sink.writeFrame(programFrame(i, 320, 180, i * kFrameUs), pcm.data(), 1600);
        }
        sink.close();

        const QString seen = QStringLiteral("raised %1 time(s) at %2 ms, first failure at %3 ms: ")
                                 .arg(raised.load())
                                 .arg(raisedAtMs - startMs)
                                 .arg(firstFailureMs - startMs) +
                             log.messages().mid(0, 3).join(" | ");
        QVERIFY2(!log.matching(failure).isEmpty() && firstFailureMs >= 0, qPrintable(seen));
        QVERIFY2(raised == 1, qPrintable(seen));
        const int64_t afterMs = raisedAtMs - firstFailureMs;
        QVERIFY2(afterMs >= 5000 - 34 && afterMs <= 7500, qPrintable(seen));
    }
};

QTEST_GUILESS_MAIN(TestFfmpegEncoderSink)
#include "tst_FfmpegEncoderSink.moc"
