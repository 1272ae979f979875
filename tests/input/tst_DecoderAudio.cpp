// The decoder's queues and rules, without any media: what the audio thread pulls, which live
// pictures pass, and how a live camera's packet backlog stays bounded.

#include "input/AudioSampleQueue.h"
#include "input/LiveFrameGate.h"
#include "input/LivePacketQueue.h"

#include <QtTest>

#include <atomic>
#include <numeric>
#include <thread>
#include <vector>

class TestDecoderAudio : public QObject {
    Q_OBJECT
private slots:
    void underRunIsSilenceAndKeepsTheOddSample();
    void queueKeepsTheNewestEightSeconds();
    void fadeInAfterASeek();
    void producersAndTheAudioThreadAtOnce();
    void gateOnAudioDropsPicturesAheadOfSound();
    void programClockDropsLaggingPictures_data();
    void programClockDropsLaggingPictures();
    void programClockWithoutAClockLetsPicturesPass();
    void cameraBacklogIsBoundedAndKeepsTheNewest_data();
    void cameraBacklogIsBoundedAndKeepsTheNewest();
    void cameraQueueWaitEndsOnStop();
};

void TestDecoderAudio::underRunIsSilenceAndKeepsTheOddSample() {
    AudioSampleQueue q;
    const std::vector<float> three = {0.25f, -0.5f, 0.75f};
    q.append(three.data(), three.size());
    std::vector<float> out(1024, 9.0f);
    QCOMPARE(q.pull(out.data(), 512), 512);
    QCOMPARE(out[0], 0.25f);
    QCOMPARE(out[1], -0.5f);
    for (size_t i = 2; i < out.size(); ++i)
        QCOMPARE(out[i], 0.0f);
    QCOMPARE(q.sampleCount(), size_t(1)); // half a frame waits for its partner
}

void TestDecoderAudio::queueKeepsTheNewestEightSeconds() {
    AudioSampleQueue q;
    // 10 s of stereo in 100 ms pieces, numbered so that the survivors can be recognised.
    std::vector<float> piece(4800 * 2);
    for (int i = 0; i < 100; ++i) {
        std::iota(piece.begin(), piece.end(), float(i * piece.size()));
        q.append(piece.data(), piece.size());
    }
    QCOMPARE(q.sampleCount(), AudioSampleQueue::kMaxSamples);
    std::vector<float> out(2);
    q.pull(out.data(), 1);
    // The first 2 s (192000 samples) are gone; the oldest kept sample is number 192000.
    QCOMPARE(out[0], 192000.0f);
}

void TestDecoderAudio::fadeInAfterASeek() {
    AudioSampleQueue q;
    q.clear(true);
    const std::vector<float> ones(2 * 7000, 1.0f);
    q.append(ones.data(), ones.size());
    std::vector<float> out(2 * 7000);
    q.pull(out.data(), 7000);
    QCOMPARE(out[0], 0.0f); // the first frame after the seek is silent
    QCOMPARE(out[1], 0.0f);
    QVERIFY(qAbs(out[2 * 3072] - 0.5f) < 1e-3f); // half way up at 64 ms
    for (int i = 1; i < 6144; ++i)
        QVERIFY(out[2 * i] > out[2 * (i - 1)]); // rising, no step
    QCOMPARE(out[2 * 6144], 1.0f);              // the 6145th frame is at full gain
    QCOMPARE(out[2 * 6999 + 1], 1.0f);

    q.clear(true);
    q.clear(false); // a pause or a new source: the next sound starts at full gain
    q.append(ones.data(), 4);
    q.pull(out.data(), 2);
    QCOMPARE(out[0], 1.0f);
}

void TestDecoderAudio::producersAndTheAudioThreadAtOnce() {
    // Two decoding threads append numbered stereo frames while the audio thread pulls: every
    // pulled frame must be a whole frame (left and right from the same append).
    AudioSampleQueue q;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    auto producer = [&](float sign) {
        std::vector<float> frames(2 * 480);
        for (int n = 0; n < 2000; ++n) {
            for (int i = 0; i < 480; ++i)
                frames[2 * i] = frames[2 * i + 1] = sign * float(n * 480 + i + 1);
            q.append(frames.data(), frames.size());
        }
    };
    std::thread pullThread([&] {
        std::vector<float> out(2 * 480);
        while (!done.load()) {
            q.pull(out.data(), 480);
            for (int i = 0; i < 480; ++i)
                if (out[2 * i] != out[2 * i + 1])
                    torn.fetch_add(1);
        }
    });
    std::thread a(producer, 1.0f);
    std::thread b(producer, -1.0f);
    a.join();
    b.join();
    done.store(true);
    pullThread.join();
    QCOMPARE(torn.load(), 0);
    QVERIFY(q.sampleCount() <= AudioSampleQueue::kMaxSamples);
}

void TestDecoderAudio::gateOnAudioDropsPicturesAheadOfSound() {
    LiveFrameGate gate;
    gate.setGateOnAudio(true);
    QVERIFY(!gate.shouldDrop(5'000'000)); // no sound decoded yet: nothing to compare with
    gate.noteAudioTimestamp(1'000'000);
    gate.noteAudioTimestamp(900'000); // older sound never lowers the mark
    QVERIFY(!gate.shouldDrop(1'010'000));
    QVERIFY(gate.shouldDrop(1'010'001));
    gate.reset();
    QVERIFY(!gate.shouldDrop(5'000'000));
}

void TestDecoderAudio::programClockDropsLaggingPictures_data() {
    QTest::addColumn<qint64>("pictureAdvanceUs");
    QTest::addColumn<qint64>("soundAdvanceFrames");
    QTest::addColumn<bool>("dropped");
    // The sound moved on 1 s; the picture moved on 1 s minus the lag.
    QTest::newRow("in step") << qint64(1'000'000) << qint64(48000) << false;
    QTest::newRow("32 ms behind") << qint64(968'000) << qint64(48000) << false;
    QTest::newRow("40 ms behind") << qint64(960'000) << qint64(48000) << true;
    QTest::newRow("ahead") << qint64(1'200'000) << qint64(48000) << false;
}

void TestDecoderAudio::programClockDropsLaggingPictures() {
    QFETCH(qint64, pictureAdvanceUs);
    QFETCH(qint64, soundAdvanceFrames);
    QFETCH(bool, dropped);
    LiveFrameGate gate;
    gate.setSyncToAudioClock(true);
    auto played = std::make_shared<std::atomic<int64_t>>(123456);
    gate.setAudioClock(
        std::make_shared<LiveFrameGate::AudioClock>([played] { return played->load(); }));
    QVERIFY(!gate.shouldDrop(7'000'000)); // the first picture anchors the comparison
    played->fetch_add(soundAdvanceFrames);
    QCOMPARE(gate.shouldDrop(7'000'000 + pictureAdvanceUs), dropped);
}

void TestDecoderAudio::programClockWithoutAClockLetsPicturesPass() {
    LiveFrameGate gate;
    gate.setSyncToAudioClock(true);
    QVERIFY(!gate.shouldDrop(1));
    gate.setAudioClock(std::make_shared<LiveFrameGate::AudioClock>());
    QVERIFY(!gate.shouldDrop(1));
    QVERIFY(!gate.shouldDrop(-10'000'000));
}

void TestDecoderAudio::cameraBacklogIsBoundedAndKeepsTheNewest_data() {
    QTest::addColumn<int>("packetBytes");
    QTest::addColumn<int>("kept");
    QTest::newRow("small packets: 300 of them") << 1000 << 300;
    QTest::newRow("large packets: 14 MiB of them") << 1024 * 1024 << 14;
}

void TestDecoderAudio::cameraBacklogIsBoundedAndKeepsTheNewest() { // faster than decoded
    QFETCH(int, packetBytes);
    QFETCH(int, kept);
    LivePacketQueue q;
    for (int i = 0; i < 1000; ++i) {
        libav::Packet p(av_packet_alloc());
        av_new_packet(p.get(), packetBytes);
        p->pts = i;
        q.push(std::move(p));
    }
    QCOMPARE(q.size(), size_t(kept));
    QVERIFY(q.bytes() <= LivePacketQueue::kMaxBytes);
    QCOMPARE(q.bytes(), int64_t(kept) * packetBytes);
    libav::Packet out(av_packet_alloc());
    std::atomic<bool> stop{false};
    QVERIFY(q.pop(out.get(), stop));
    QCOMPARE(out->pts, int64_t(1000 - kept)); // the oldest survivor comes first
}

void TestDecoderAudio::cameraQueueWaitEndsOnStop() {
    LivePacketQueue q;
    std::atomic<bool> stop{false}, returned{false}, gotPacket{false};
    std::thread worker([&] {
        libav::Packet out(av_packet_alloc());
        gotPacket.store(q.pop(out.get(), stop)); // a silent camera
        returned.store(true);
    });
    QThread::msleep(50);
    QVERIFY(!returned.load());
    stop.store(true);
    QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 1000);
    worker.join();
    QVERIFY(!gotPacket.load());
}

QTEST_GUILESS_MAIN(TestDecoderAudio)
#include "tst_DecoderAudio.moc"
