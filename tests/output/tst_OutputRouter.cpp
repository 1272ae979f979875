// The router's queue, its destination check, runs that stop at once and close on their own.

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
    std::atomic<int> pullMs{0}; // how long one pull takes
    void setProgramCaptureEnabled(bool on) override { capturing = on; }
    void clearProgramQueue() override { ++clears; }
    void pullProgramAudio(int16_t *out, int frames) override {
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

    // Refused up front or failing to open, the missing recording is reported; the stream runs.
    void unwritableFileLeavesTheStream_data() {
        QTest::addColumn<QString>("file");
        QTest::newRow("folder cannot be made") << "/proc/quorvi/out.mp4";
        QTest::newRow("file is a folder") << dir_.filePath("isafolder.mp4");
        QDir().mkpath(dir_.filePath("isafolder.mp4"));
    }
    void unwritableFileLeavesTheStream() {
        QFETCH(QString, file);
        FakeMixer mixer;     // the muxer interleaves: without sound it would hold the picture back
        OutputRouter router; // after the mixer: the router must not outlive its sound source
        router.setAudioMixer(&mixer);
        const QString stream = dir_.filePath("stream.flv");
        router.setOutputFile(file);
        router.setStreamTargets({{stream, "flv"}});
        LogCapture log;
        QVERIFY(router.start());
        feed(router, 0, 30, 33); // in real time: the stream joins at a keyframe
        const OutputRunStatus s = router.status();
        QCOMPARE(s.fileMissingPath, file);
        QVERIFY(s.targets.at(0).state == State::Failed && !s.fileMissingReason.isEmpty());
        QVERIFY(!log.messages().filter(file).isEmpty());
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

    // Stop does not wait for a slow close; both files end complete, each run reports once.
    void stopAndRestartWhileARunCloses() {
        std::atomic<int> closed{0}; // outlives the router, whose runs report to it
        OutputRouter router;
        router.setRunClosedCallback([&] { ++closed; });
        std::shared_ptr<SlowCloseSink> sink; // the newest run's
        router.setSinkFactory([&] { return sink = std::make_shared<SlowCloseSink>(800); });
        const QStringList files{dir_.filePath("closing1.mkv"), dir_.filePath("closing2.mkv")};
        for (const QString &file : files) {
            router.setOutputFile(file);
            QVERIFY(router.start());
            QCOMPARE(router.isClosing(), file == files[1]);
            feed(router, 0, 20, 10);
            QTRY_VERIFY(router.queuedFrames() == 0);
            sink->arm();
            QElapsedTimer t;
            t.start();
            router.stop();
            if (kSlow == 1) // real time only without the sanitizers
                QVERIFY2(t.elapsed() < 50, qPrintable(QString::number(t.elapsed())));
        }
        QVERIFY(router.waitClosed(20000 * kSlow));
        QCOMPARE(closed.load(), 2);
        for (const QString &file : files)
            QVERIFY2(media::probe(file).durationS > 0.3, qPrintable(file));
    }

    // After stop() the run pulls no more sound, even midway through catching up with a picture.
    void stoppedRunPullsNoMoreSound() {
        FakeMixer mixer;
        OutputRouter router;
        router.setAudioMixer(&mixer);
        router.setOutputFile(dir_.filePath("cut.mkv"));
        router.setStreamTargets({{dir_.filePath("cut.flv"), "flv"}}); // live: sound keeps up
        QVERIFY(router.start());
        feed(router, 0, 10, 33);
        QTest::qWait(1200); // the next frame makes the run pull a second of sound in steps
        mixer.pullMs = 40;
        const int64_t before = mixer.pulled;
        router.pushFrame(frameAt(1 + 40 * kFrameUs));
        QTRY_VERIFY_WITH_TIMEOUT(mixer.pulled > before + 9600, 5000); // two 200 ms steps
        router.stop();
        const int64_t atStop = mixer.pulled;
        QVERIFY(router.waitClosed(10000 * kSlow));
        QCOMPARE(mixer.pulled.load(), atStop);
    }

    // A stream to a real server starts, goes live, reconnects in an outage; its key is masked.
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
        router.setStreamTargets({{server.url("s3cr3tKey9"), "flv"}});
        LogCapture log;
        QVERIFY(router.start());
        QCOMPARE(router.status().targets.at(1).state, State::Starting);
        int next = 0;
        auto stream = [&] {
            feed(router, next, next + 3, 33);
            next += 3;
            return router.status().targets.at(1);
        };
        QTRY_VERIFY_WITH_TIMEOUT(stream().state == State::Live, 10000 * kSlow);
        const int64_t bytes = stream().bytesWritten;
        QTRY_VERIFY_WITH_TIMEOUT(stream().bytesWritten > bytes + 1000, 5000 * kSlow);
        server.stop();
        QTRY_VERIFY_WITH_TIMEOUT(stream().attempt >= 2, 15000 * kSlow); // one reopen failed
        QCOMPARE(stream().state, State::Reconnecting);
        QCOMPARE(router.status().targets[0].state, State::Live); // the file keeps recording
        router.stop();
        QVERIFY(router.waitClosed(10000 * kSlow));
        const QStringList lines = log.messages();
        QVERIFY(lines.filter("s3cr3tKey9").isEmpty());
        QVERIFY(!lines.filter(server.url("")).isEmpty()); // the line is there, masked
    }
};

QTEST_GUILESS_MAIN(TestOutputRouter)
#include "tst_OutputRouter.moc"
