// What the speakers and the recording get from the mixer: gains, the limiter, the program
// queue's rules, the level meters' peaks and ballistics, and the threads that touch it at once.

#include "audio/AudioQueueIODevice.h"
#include "audio/LevelMeterBallistics.h"
#include "audio/MixerSource.h"
#include "audio/PreviewAudioMixer.h"

#include <QtTest>

#include <atomic>
#include <cmath>
#include <thread>

namespace {

// Channels and overlays play a constant level (overlay 1 a sine of that peak); tests set which.
struct LevelSource : MixerSource {
    std::array<std::atomic<float>, 4> channel{};
    std::array<std::atomic<float>, 4> overlay{};
    std::atomic<int> base{-1};
    std::atomic<int64_t> pulls{0};
    void pullChannelAudio(int c, float *out, int frames) override {
        std::fill(out, out + 2 * frames, channel[size_t(c)].load());
        ++pulls;
    }
    void pullOverlayAudio(int s, float *out, int frames) override {
        const float level = overlay[size_t(s)].load();
        for (int i = 0; i < frames; ++i)
            out[2 * i] = out[2 * i + 1] =
                s == 1 ? level * float(std::sin(2 * M_PI * 1000.0 * i / 48000.0)) : level;
        ++pulls;
    }
    int baseChannel() const override { return base.load(); }
};

int16_t limited(double v) {
    return int16_t(std::lround(std::tanh(v) * 32767.0));
}

// The newest `frames` frames the speakers would get.
std::vector<int16_t> played(PreviewAudioMixer &m, int frames) {
    std::vector<int16_t> pcm(size_t(frames) * 2);
    m.playbackDevice()->read(reinterpret_cast<char *>(pcm.data()), qint64(pcm.size()) * 2);
    return pcm;
}

} // namespace

class TestPreviewAudioMixer : public QObject {
    Q_OBJECT

private slots:
    void gainsAndLimiter() {
        LevelSource source;
        PreviewAudioMixer m(&source);
        m.setPlaybackEnabled(false);
        m.start();
        m.setChannelLocalGain(1, 0.5f);
        m.setPreviewGain(0.5f);
        m.setRecordGain(2.0f);
        for (int c : {0, 2, 3})
            m.setChannelLocalGain(c, 0.0f);
        source.channel[1] = 1.0f;
        source.base = 1;
        m.setProgramCaptureEnabled(true);
        // One tick; the first sample the recording gets from it.
        const auto recorded = [&m] {
            m.tick();
            std::vector<int16_t> program(PreviewAudioMixer::kTickFrames * 2);
            m.pullProgramAudio(program.data(), PreviewAudioMixer::kTickFrames);
            return program.front();
        };
        QCOMPARE(recorded(), limited(0.5 * 2.0));
        QCOMPARE(played(m, PreviewAudioMixer::kTickFrames).back(), limited(0.5 + 0.5));
        QCOMPARE(source.pulls.load(), 8); // every source, every tick, whatever its gain

        // A sum of 3.0 is limited, not clipped: 32605.
        m.setChannelLocalGain(1, 1.0f);
        m.setPreviewGain(1.0f);
        source.overlay[0] = 1.0f;
        m.setOverlayLocalGain(0, 1.0f);
        m.tick();
        QCOMPARE(played(m, PreviewAudioMixer::kTickFrames).front(), int16_t(32605));

        // An overlay outside the program is heard, not recorded; in the program it is both.
        m.setProgramCaptureEnabled(false);
        m.clearProgramQueue();
        m.setProgramCaptureEnabled(true);
        source.base = -1;
        QCOMPARE(recorded(), int16_t(0));
        m.setOverlayInPreview(0, true);
        m.setOverlayPreviewGain(0, 0.25f);
        QCOMPARE(recorded(), limited(0.25 * 2.0));

        // Out-of-range settings are clamped or ignored.
        m.setRecordGain(99.0f);
        m.setChannelLocalGain(7, 1.0f);
        m.setOverlayPreviewGain(-1, 1.0f);
        QCOMPARE(recorded(), limited(0.25 * 4.0));
    }

    // Overlay meters read what the overlay adds to the program; the program meter what the
    // recording gets (after record gain and limiter); a channel meter what the channel plays
    // at its local volume, on the program or not. A louder tick is kept until the take.
    void meterPeaks() {
        const struct {
            float sinePeak;
            bool inProgram;
            float overlayGain, recordGain, overlayDb, programDb; // -60 dB: silence
            float channelLevel = 0.0f, channelGain = 0.5f, channelDb = -60.0f;
        } rows[] = {
            {0.5f, true, 1.0f, 1.0f, -6.02f, -6.7f}, // tanh(0.5)
            {0.5f, true, 0.25f, 2.0f, -18.06f, -12.2f},
            {0.5f, false, 1.0f, 2.0f, -60.0f, -60.0f},
            {1.0f, true, 1.0f, 4.0f, 0.0f, 0.0f},
            {0.0f, false, 1.0f, 2.0f, -60.0f, -60.0f, 0.5f, 0.5f, -12.04f}, // not on the program
            {0.0f, false, 1.0f, 2.0f, -60.0f, -60.0f, 1.0f, 0.0f, -60.0f},  // muted locally
        };
        for (const auto &row : rows) {
            LevelSource source;
            PreviewAudioMixer m(&source);
            m.setPlaybackEnabled(false);
            m.start();
            m.setOverlayInPreview(1, row.inProgram);
            m.setOverlayPreviewGain(1, row.overlayGain);
            m.setRecordGain(row.recordGain);
            m.setChannelLocalGain(2, row.channelGain);
            for (float level : {row.sinePeak, row.sinePeak / 4}) {
                source.overlay[1] = level;
                source.channel[2] = level == row.sinePeak ? row.channelLevel : 0.0f;
                m.tick();
            }
            const float overlay = m.takeOverlayPeak(1), program = m.takeProgramPeak();
            const float channel = m.takeChannelPeak(2);
            QVERIFY(std::abs(LevelMeterBallistics::toDb(overlay) - row.overlayDb) < 0.5f);
            QVERIFY(program <= 1.0f &&
                    std::abs(LevelMeterBallistics::toDb(program) - row.programDb) < 0.5f);
            QVERIFY(std::abs(LevelMeterBallistics::toDb(channel) - row.channelDb) < 0.5f);
            // Taken means reset; the other slots and bad ones stay silent.
            QVERIFY(m.takeOverlayPeak(1) == 0.0f && m.takeProgramPeak() == 0.0f);
            QCOMPARE(m.takeChannelPeak(2), 0.0f);
            for (int slot : {0, 2, 3, -1, 4})
                QCOMPARE(m.takeOverlayPeak(slot), 0.0f);
            for (int c : {0, 1, 3, -1, 4})
                QCOMPARE(m.takeChannelPeak(c), 0.0f);
        }
    }

    // Level and hold mark fall 20 dB in 1.7 s, the hold only after 1.5 s and never below the
    // level; both rise at once. A feed is a peak given every 33 ms up to its time.
    void meterBallistics() {
        const struct {
            std::vector<std::pair<float, int>> feeds;
            long levelDb, holdDb;
        } rows[] = {
            {{{1.0f, 0}, {0.0f, 3201}}, -38, -20},
            {{{1.0f, 0}, {0.1f, 4983}}, -20, -20},
            {{{0.1f, 0}, {0.0f, 990}, {1.0f, 1023}, {0.0f, 2409}}, -16, 0}, // new hold
            {{{7.0f, 0}, {std::nanf(""), 33}}, 0, 0}, // overload; NaN is silence
        };
        for (const auto &row : rows) {
            LevelMeterBallistics meter;
            int t = 0;
            for (const auto &[peak, untilMs] : row.feeds)
                for (; t <= untilMs; t += 33)
                    meter.update(peak, t);
            QCOMPARE(std::lround(meter.levelDb()), row.levelDb);
            QCOMPARE(std::lround(meter.holdDb()), row.holdDb);
        }
    }

    void programQueueRules() {
        LevelSource source;
        source.channel[0] = 0.1f;
        source.base = 0;
        PreviewAudioMixer m(&source);
        m.setPlaybackEnabled(false);
        m.start();
        // Nothing is queued while capture is off.
        m.tick();
        std::vector<int16_t> out(2000 * 2, 7);
        m.pullProgramAudio(out.data(), 1000);
        QVERIFY(std::all_of(out.begin(), out.begin() + 2000, [](int16_t s) { return s == 0; }));

        // 300 frames queued, 1000 asked: the 300, then silence, always the asked amount.
        m.setProgramCaptureEnabled(true);
        m.tick(); // 480 frames
        m.pullProgramAudio(out.data(), 180);
        std::fill(out.begin(), out.end(), int16_t(7));
        m.pullProgramAudio(out.data(), 1000);
        const int16_t level = limited(0.1 * 2.0);
        QCOMPARE(out[599], level);
        QCOMPARE(out[600], int16_t(0));
        QCOMPARE(out[1999], int16_t(0));
        QCOMPARE(out[2000], int16_t(7)); // nothing written past the asked frames

        // Turning capture on drops what was queued before; turning it off keeps it.
        m.tick();
        m.setProgramCaptureEnabled(false);
        m.setProgramCaptureEnabled(true);
        m.pullProgramAudio(out.data(), 10);
        QCOMPARE(out[0], int16_t(0));
        m.tick();
        m.setProgramCaptureEnabled(false);
        m.pullProgramAudio(out.data(), 10);
        QCOMPARE(out[0], level);

        // Never more than 2 s queued: 3 s of ticks leave the newest 2 s.
        m.setProgramCaptureEnabled(true);
        for (int i = 0; i < 300; ++i)
            m.tick();
        std::vector<int16_t> all(48000 * 3 * 2);
        m.pullProgramAudio(all.data(), 48000 * 3);
        QCOMPARE(all[size_t(96000 * 2 - 1)], level);
        QCOMPARE(all[size_t(96000 * 2)], int16_t(0));

        // Stopped: silence, whatever was queued.
        m.tick();
        m.stop();
        m.pullProgramAudio(out.data(), 10);
        QCOMPARE(out[0], int16_t(0));
        QCOMPARE(m.playedFrames(), 0);
    }

    // The default audio output, whatever this machine has (often none): mixing and the
    // program queue run either way. Not under TSan: the audio backend's threads are not
    // instrumented.
    void runsWithTheDefaultOutput() {
#if defined(__SANITIZE_THREAD__)
        QSKIP("the audio backend is not instrumented");
#endif
        LevelSource source;
        source.channel[0] = 0.5f;
        source.base = 0;
        PreviewAudioMixer m(&source);
        m.start();
        m.setProgramCaptureEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(source.pulls.load() >= 8 * 10, 5000); // the 10 ms timer runs
        std::vector<int16_t> out(480 * 2);
        m.pullProgramAudio(out.data(), 480);
        QCOMPARE(out[0], limited(0.5 * 2.0));
        m.stop();
    }

    void playbackQueueHalvesOnWholeFrames() {
        std::atomic<int64_t> frames{0};
        AudioQueueIODevice device(frames);
        QVERIFY(device.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        // Left = +1000, right = -1000 in every frame; a cut inside a frame would mix them up.
        std::vector<int16_t> block;
        for (int i = 0; i < 480; ++i)
            block.insert(block.end(), {1000, -1000});
        for (int i = 0; i < 250; ++i) // about 2.5 s
            device.append(reinterpret_cast<const char *>(block.data()), 1920);
        QVERIFY(device.bytesAvailable() < AudioQueueIODevice::kHalveAt + 1920);
        QCOMPARE(device.bytesAvailable() % 4, 0);
        std::vector<int16_t> read(std::size_t(device.bytesAvailable() / 2));
        QCOMPARE(device.read(reinterpret_cast<char *>(read.data()), qint64(read.size()) * 2),
                 qint64(read.size()) * 2);
        QCOMPARE(read.front(), int16_t(1000));
        QCOMPARE(read[1], int16_t(-1000));
        QCOMPARE(read.back(), int16_t(-1000));
        QCOMPARE(frames.load(), int64_t(read.size() / 2)); // the audio clock
    }

    void threadsTogether() {
        LevelSource source;
        source.base = 2;
        PreviewAudioMixer m(&source);
        m.setPlaybackEnabled(false);
        m.start();
        m.setProgramCaptureEnabled(true);
        std::atomic<bool> stop{false};
        std::thread encoder([&] {
            std::vector<int16_t> out(1600 * 2);
            while (!stop.load())
                m.pullProgramAudio(out.data(), 1600);
        });
        std::thread gui([&] {
            for (int i = 0; !stop.load(); ++i) {
                m.setPreviewGain(float(i % 100) / 100.0f);
                m.setOverlayInPreview(i % 4, i % 2 == 0);
                m.setRecordGain(1.0f + float(i % 3));
                (void)m.playedFrames();
                (void)m.takeOverlayPeak(i % 4);
                (void)m.takeChannelPeak(i % 4);
                (void)m.takeProgramPeak();
            }
        });
        for (int i = 0; i < 2000; ++i) {
            source.channel[2] = float(i % 10) / 10.0f;
            m.tick();
            if (i % 100 == 0) {
                m.setProgramCaptureEnabled(false);
                m.clearProgramQueue();
                m.setProgramCaptureEnabled(true);
            }
        }
        stop.store(true);
        encoder.join();
        gui.join();
        m.stop();
        QCOMPARE(source.pulls.load(), 2000 * 8);
    }
};

QTEST_GUILESS_MAIN(TestPreviewAudioMixer)
#include "tst_PreviewAudioMixer.moc"
