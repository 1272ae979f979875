// The router's queue as the encoder sees it, its destination check, runs that end promptly
// and close on their own, and the status the operator's window reads.

#include "common/EncodedFrames.h"
#include "common/MediaFixtures.h"
#include "common/SlowCloseSink.h"
#include "common/SlowFactor.h"
#include "common/StreamPeers.h"
#include "output/FfmpegEncoderSink.h"
#include "output/OutputRouter.h"
#include "output/ProgramAudioSource.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace encoded;

namespace {

// A sink whose writeFrame waits at a gate and records what it was given.
class GatedSink : public FfmpegEncoderSink {
public:
    void writeFrame(const FrameTokenPtr &frame, const int16_t *, int) override {
        std::unique_lock lock(mutex);
        ++entered;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
        seen.push_back(frame->ptsUs);
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
    bool waitEntered(int n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return entered >= n; });
    }
    std::vector<int64_t> written() {
        std::lock_guard lock(mutex);
        return seen;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int entered = 0;
    std::vector<int64_t> seen;
};

FrameTokenPtr frameAt(int64_t ptsUs) {
    return programFrame(int(ptsUs / 1000), 320, 180, ptsUs);
}

// Frames [from, to) at 30 fps, `ms` apart in real time.
void feed(OutputRouter &router, int from, int to, int ms) {
    for (int i = from; i < to; ++i, QTest::qWait(ms))
        router.pushFrame(frameAt(1 + i * kFrameUs));
}

// Empty when a recording holds at least `frames` frames, numbered from 0.
QString tooShort(const QString &path, int frames) {
    const Decoded d = decodeCounters(path);
    return d.counters.size() >= frames ? QString() : gapReport(d.counters, 0) + d.errors;
}

struct FakeMixer : ProgramAudioSource {
    std::atomic<bool> capturing{false};
    std::atomic<int> clears{0};
    std::atomic<int64_t> pulled{0};
    std::atomic<int> pulls{0};
    std::atomic<int> pullMs{0}; // how long one pull takes
    void setProgramCaptureEnabled(bool on) override { capturing = on; }
    void clearProgramQueue() override { ++clears; }
    void pullProgramAudio(int16_t *out, int frames) override {
        ++pulls;
        if (pullMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pullMs.load()));
        std::fill(out, out + 2 * frames, int16_t(0));
        pulled += frames;
    }
};

using State = OutputTargetStatus::State;

} // namespace

class TestOutputRouter : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;

    // A router whose run is held at the first frame by a gated sink.
    std::shared_ptr<GatedSink> startGated(OutputRouter &router) {
        auto sink = std::make_shared<GatedSink>();
        router.setSinkFactory([sink] { return sink; });
        router.setOutputFile(dir_.filePath("gated.mp4"));
        if (!router.start())
            return {};
        router.pushFrame(frameAt(1000));
        return sink->waitEntered(1) ? sink : nullptr;
    }

private slots:
    void fullQueueReplacesItsNewest() {
        OutputRouter router;
        auto sink = startGated(router);
        QVERIFY(sink);
        for (int i = 2; i <= 41; ++i)
            router.pushFrame(frameAt(i * 1000));
        router.pushFrame(frameAt(41 * 1000)); // the same picture again
        QCOMPARE(router.queuedFrames(), OutputRouter::kQueueFrames);
        sink->release();
        QTRY_COMPARE(int(sink->written().size()), 1 + OutputRouter::kQueueFrames);
        std::vector<int64_t> expected{1000};
        for (int i = 2; i <= 32; ++i) // the 31 oldest, in order, then the newest
            expected.push_back(i * 1000);
        expected.push_back(41 * 1000);
        QCOMPARE(sink->written(), expected);
    }

    void resyncKeepsOnlyTheNewest() {
        OutputRouter router;
        auto sink = startGated(router);
        QVERIFY(sink);
        for (int i = 2; i <= 11; ++i)
            router.pushFrame(frameAt(i * 1000));
        router.resync();
        QCOMPARE(router.queuedFrames(), 1);
        sink->release();
        QTRY_COMPARE(sink->written(), (std::vector<int64_t>{1000, 11000}));
    }

    void nothingToWriteStartsNothing() {
        OutputRouter router;
        QVERIFY(!router.start());
        QVERIFY(!router.isRunning());
        router.setOutputFile(QStringLiteral("   "));
        QVERIFY(!router.start());
        // A folder that cannot be made: without streams there is nothing left to run.
        router.setOutputFile(QStringLiteral("/proc/quorvi/out.mp4"));
        QTest::ignoreMessage(QtWarningMsg, "OutputRouter: output directory not writable or "
                                           "cannot be created: \"/proc/quorvi/out.mp4\"");
        QVERIFY(!router.start());
    }

    void unwritableFileLeavesTheStream() {
        FakeMixer mixer;     // the muxer interleaves: without sound it would hold the picture back
        OutputRouter router; // after the mixer: the router must not outlive its sound source
        router.setAudioMixer(&mixer);
        const QString stream = dir_.filePath("stream.flv");
        router.setOutputFile(QStringLiteral("/proc/quorvi/out.mp4"));
        router.setStreamTargets({{stream, "flv"}});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^OutputRouter: output directory"));
        QVERIFY(router.start());
        feed(router, 0, 30, 33); // in real time: the stream joins at a keyframe
        router.stop();
        QVERIFY(router.waitClosed(10000));
        QVERIFY2(tooShort(stream, 1).isEmpty(), qPrintable(tooShort(stream, 1)));
        QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/quorvi")));
    }

    void stopIsPromptWithAHungStream() {
        peers::SilentTcpPeer silent;
        QVERIFY(silent.listen());
        FakeMixer mixer;
        OutputRouter router;
        router.setAudioMixer(&mixer);
        const QString file = dir_.filePath("hung.mp4");
        router.setOutputFile(file);
        router.setStreamTargets({{silent.rtmpUrl(), "flv"}});
        QVERIFY(router.start());
        QVERIFY(mixer.capturing);
        feed(router, 0, 45, 33);
        QElapsedTimer t;
        t.start();
        router.stop();
        QVERIFY2(t.elapsed() < 2500, qPrintable(QString::number(t.elapsed())));
        QVERIFY(!mixer.capturing);
        QVERIFY(mixer.clears >= 2);    // at start and at stop
        QVERIFY(mixer.pulled > 48000); // sound came from the mixer for the recording
        QVERIFY(router.waitClosed(10000));
        QVERIFY2(tooShort(file, 40).isEmpty(), qPrintable(tooShort(file, 40)));
    }

    // The application detaches the mixer and destroys it while a recording may still run.
    void detachedMixerIsNotPulledAgain() {
        OutputRouter router;
        auto mixer = std::make_unique<FakeMixer>();
        router.setAudioMixer(mixer.get());
        const QString file = dir_.filePath("detached.mkv");
        router.setOutputFile(file);
        QVERIFY(router.start());
        feed(router, 0, 15, 20);
        QTRY_VERIFY(mixer->pulled > 0);
        router.setAudioMixer(nullptr);
        QVERIFY(!mixer->capturing);
        const int64_t pulled = mixer->pulled.load();
        feed(router, 15, 45, 20);
        QCOMPARE(mixer->pulled.load(), pulled); // it could have been destroyed by now
        router.stop();
        QVERIFY(router.waitClosed(10000));
        QVERIFY(pulled > 0);
        QVERIFY2(tooShort(file, 40).isEmpty(), qPrintable(tooShort(file, 40)));
    }

    // The stop must not wait for the flush and the trailers: the caller composes the program.
    // A second run may begin while the first still closes; both recordings end complete and
    // each run reports its close once.
    void stopAndRestartWhileARunCloses() {
        std::atomic<int> closed{0}; // outlives the router, whose runs report to it
        OutputRouter router;
        router.setRunClosedCallback([&] { ++closed; });
        auto slow = std::make_shared<SlowCloseSink>(800);
        router.setSinkFactory([&] { return slow; });
        const QString first = dir_.filePath("closing1.mkv"), second = dir_.filePath("closing2.mkv");
        router.setOutputFile(first);
        QVERIFY(router.start());
        feed(router, 0, 20, 10);
        QTRY_VERIFY(router.queuedFrames() == 0);
        slow->arm();
        QElapsedTimer t;
        t.start();
        router.stop();
        const qint64 stopMs = t.elapsed();
        if (kSlow == 1) // real time only without the sanitizers
            QVERIFY2(stopMs < 50, qPrintable(QString::number(stopMs)));
        QVERIFY(router.isClosing());
        QVERIFY(router.status().closing);

        router.setSinkFactory({});
        router.setOutputFile(second);
        QVERIFY(router.start());
        QVERIFY(router.isClosing()); // the first is still closing
        feed(router, 0, 20, 10);
        router.stop();
        QVERIFY(router.waitClosed(20000 * kSlow));
        QVERIFY(!router.isClosing());
        QCOMPARE(closed.load(), 2);
        for (const QString &file : {first, second}) {
            const media::ProbeInfo info = media::probe(file);
            QVERIFY2(info.durationS > 0.3,
                     qPrintable(file + ' ' + QString::number(info.durationS)));
        }
        const OutputRunStatus idle = router.status();
        QVERIFY(!idle.running && !idle.closing);
    }

    // Once stop() returns, the stopped run takes no more program sound (a new run gets it
    // all), even when it was in the middle of catching its sound up with the picture.
    void stoppedRunPullsNoMoreSound() {
        FakeMixer mixer;
        OutputRouter router;
        router.setAudioMixer(&mixer);
        router.setOutputFile(dir_.filePath("cut.mkv"));
        router.setStreamTargets({{dir_.filePath("cut.flv"), "flv"}}); // live: sound keeps up
        QVERIFY(router.start());
        feed(router, 0, 10, 33);
        QTRY_VERIFY(mixer.pulls > 0);
        // A stalled picture: the next frame makes the run pull a second of sound in steps.
        QTest::qWait(1200);
        mixer.pullMs = 40;
        const int before = mixer.pulls;
        router.pushFrame(frameAt(1 + 40 * kFrameUs));
        QTRY_VERIFY_WITH_TIMEOUT(mixer.pulls >= before + 2, 5000);
        router.stop();
        const int atStop = mixer.pulls;
        QVERIFY(router.waitClosed(10000 * kSlow));
        QCOMPARE(mixer.pulls.load(), atStop);
    }

    // What the operator's window shows of a stream to a real server: starting, live with the
    // bytes growing, reconnecting while the server is gone.
    void statusFollowsAStreamThroughAnOutage() {
        if (!peers::NginxRtmpServer::available())
            QSKIP("nginx with the RTMP module is not installed");
        peers::NginxRtmpServer server;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        FakeMixer mixer;
        OutputRouter router;
        router.setAudioMixer(&mixer);
        router.setOutputFile(dir_.filePath("outage.mkv"));
        router.setStreamTargets({{server.url("show"), "flv"}});
        QVERIFY(router.start());
        OutputRunStatus s = router.status();
        QVERIFY(s.running && !s.closing);
        QCOMPARE(int(s.targets.size()), 2);
        QVERIFY(!s.targets[0].isStream && s.targets[1].isStream);
        QCOMPARE(s.targets[1].state, State::Starting);

        int next = 0;
        auto stream = [&] {
            feed(router, next, next + 3, 33);
            next += 3;
            return router.status().targets.at(1);
        };
        QTRY_VERIFY_WITH_TIMEOUT(stream().state == State::Live, 10000 * kSlow);
        const OutputTargetStatus live = stream();
        QVERIFY(live.liveSinceMs > 0);
        QTRY_VERIFY_WITH_TIMEOUT(stream().bytesWritten > live.bytesWritten + 1000, 5000 * kSlow);
        QVERIFY(router.status().encodedVideoFrames >= next / 2);
        QCOMPARE(router.status().targets[0].state, State::Live);

        server.stop();
        QTRY_VERIFY_WITH_TIMEOUT(stream().state == State::Reconnecting, 15000 * kSlow);
        const OutputTargetStatus lost = stream();
        QVERIFY(lost.attempt >= 1);
        QCOMPARE(lost.liveSinceMs, int64_t(0));
        QCOMPARE(router.status().targets[0].state, State::Live); // the file keeps recording
        router.stop();
        QVERIFY(router.waitClosed(10000 * kSlow));
    }

    // The recording cannot be written but a stream can: the run goes on and says what it
    // lacks, whether the folder is refused up front or the file will not open.
    void missingRecordingIsReported_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        QTest::newRow("unwritable folder") << "/proc/quorvi/out.mkv"
                                           << "folder";
        QTest::newRow("file is a folder") << "isafolder.mkv"
                                          << "directory";
    }
    void missingRecordingIsReported() {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        if (!file.startsWith('/')) {
            file = dir_.filePath(file);
            QVERIFY(QDir().mkpath(file));
        }
        peers::UdpCapture capture;
        const quint16 port = capture.start(dir_.filePath("missing.ts"));
        QVERIFY(port != 0);
        FakeMixer mixer;
        OutputRouter router;
        router.setAudioMixer(&mixer);
        router.setOutputFile(file);
        router.setStreamTargets({{QStringLiteral("udp://127.0.0.1:%1").arg(port), "mpegts"}});
        LogCapture log;
        QVERIFY(router.start());
        int next = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            (feed(router, next, next + 2, 33), next += 2, router.status().fileMissing),
            10000 * kSlow);
        QTRY_VERIFY_WITH_TIMEOUT((feed(router, next, next + 2, 33), next += 2,
                                  router.status().targets.at(1).state == State::Live),
                                 10000 * kSlow);
        const OutputRunStatus s = router.status();
        QCOMPARE(s.fileMissingPath, file);
        QVERIFY2(s.fileMissingReason.contains(reason, Qt::CaseInsensitive),
                 qPrintable(s.fileMissingReason));
        QCOMPARE(s.targets[0].state, State::Failed);
        QVERIFY(!s.targets[0].reason.isEmpty());
        QVERIFY(log.messages().filter(file).size() >= 1); // a warning names the lost recording
        router.stop();
        QVERIFY(router.waitClosed(10000 * kSlow));
        QVERIFY(!QFileInfo(file).isFile());
    }

    // A stream key is a secret: a stream that keeps failing logs its address with the key
    // masked.
    void failingStreamKeepsItsKeyOutOfTheLog() {
        const quint16 port = peers::freeTcpPort(); // nobody answers there
        const QString url = QStringLiteral("rtmp://127.0.0.1:%1/live/s3cr3tKey9").arg(port);
        FakeMixer mixer;
        OutputRouter router;
        router.setAudioMixer(&mixer);
        router.setStreamTargets({{url, "flv"}});
        LogCapture log;
        QVERIFY(router.start());
        int next = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            (feed(router, next, next + 2, 33), next += 2, !log.messages().filter("url:").isEmpty()),
            10000 * kSlow);
        const OutputTargetStatus s = router.status().targets.at(0);
        QCOMPARE(s.state, State::Reconnecting);
        QVERIFY(!s.reason.isEmpty());
        router.stop();
        QVERIFY(router.waitClosed(10000 * kSlow));
        const QStringList lines = log.messages();
        QVERIFY(lines.filter("s3cr3tKey9").isEmpty());
        QVERIFY2(!lines.filter(QStringLiteral("127.0.0.1:%1/live/").arg(port)).isEmpty(),
                 qPrintable(lines.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestOutputRouter)
#include "tst_OutputRouter.moc"
