#pragma once

#include "output/ProgramAudioSource.h"

#include <QByteArray>
#include <QObject>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class AudioQueueIODevice;
class MixerSource;
class QAudioSink;
class QTimer;

// Mixes the sound of the four channels and the four overlay videos every 10 ms into the
// operator's monitor mix (every source at its local volume, plus the program) and the program
// mix (the base channel and the program's overlays). Both go through a tanh limiter to the
// default audio output; the program mix, times the record gain, is also queued for the
// encoder, which pulls it. The frames the output device consumed are the program audio clock.
// Without an audio device nothing plays, and everything else runs.
//
// Queues: the playback queue is halved when it holds about 2 s; the program queue keeps at
// most 2 s, dropping the oldest sound.
//
// Meters: every mixing block records the peak of each overlay's share of the program mix (after
// its gain; 0 while the overlay is not in the program), of each channel after its local volume
// (on the program or not, so a silent source shows before it goes on air) and of the program
// sound as the encoder would get it (after record gain and limiter), whether or not the
// program is captured. The
// peaks are kept as atomic maxima; a take returns the highest since the previous take and
// resets it, so the mixer never waits for a reader and no peak falls between two reads.
//
// Threads: start(), stop() and the tick on the mixer's own thread ("mix"); gain setters from
// the GUI thread (atomics); setProgramCaptureEnabled() and clearProgramQueue() from the router;
// pullProgramAudio() from the encode thread; playedFrames() and the peak takes from any thread
// (the GUI's meters).
class PreviewAudioMixer : public QObject, public ProgramAudioSource {
    Q_OBJECT
public:
    static constexpr int kTickFrames = 480; // 10 ms at 48 kHz
    static constexpr int kProgramQueueMaxBytes = 384000;

    explicit PreviewAudioMixer(MixerSource *source, QObject *parent = nullptr);
    ~PreviewAudioMixer() override;

    void setChannelLocalGain(int channel, float gain);
    void setPreviewGain(float gain);
    void setOverlayLocalGain(int slot, float gain);
    void setOverlayPreviewGain(int slot, float gain);
    void setOverlayInPreview(int slot, bool on);
    void setRecordGain(float gain);
    // Off: start() opens no audio output at all (headless runs and tests). Before start().
    void setPlaybackEnabled(bool on) { playbackEnabled_ = on; }

    void setProgramCaptureEnabled(bool on) override;
    void clearProgramQueue() override;
    void pullProgramAudio(int16_t *out, int frames) override;
    int64_t playedFrames() const;
    // Highest |sample| since the previous take, linear 0 … 1; resets it. 0 for a bad slot.
    float takeOverlayPeak(int slot);
    float takeChannelPeak(int channel);
    float takeProgramPeak();
    // The same count for holders that may outlive the mixer: it cannot be read once the mixer
    // is gone. Any thread.
    std::weak_ptr<const std::atomic<int64_t>> playbackClock() const { return playedFrames_; }

    // One mixing step of `frames` frames into the two mixes (interleaved stereo floats).
    void mix(int frames, float *localOut, float *previewOut);
    // One 10 ms tick, as the timer runs it (tests call it directly).
    void tick();
    AudioQueueIODevice *playbackDevice() const { return device_; } // mixer thread

public slots:
    void start();
    void stop();
    // stop(), then hands the object back to the application's thread for destruction.
    void shutdown();

private:
    void compactProgramQueue(); // caller holds programLock_

    MixerSource *source_;
    std::array<std::atomic<float>, 4> channelLocalGain_;
    std::atomic<float> previewGain_{1.0f};
    std::array<std::atomic<float>, 4> overlayLocalGain_;
    std::array<std::atomic<float>, 4> overlayPreviewGain_;
    std::array<std::atomic<bool>, 4> overlayInPreview_;
    std::atomic<bool> programCaptureEnabled_{false};
    std::atomic<float> recordGain_{2.0f};
    std::atomic<bool> stopped_{false};
    std::array<std::atomic<float>, 4> channelPeak_{};
    std::array<std::atomic<float>, 4> overlayPeak_{};
    std::atomic<float> programPeak_{0.0f};

    std::mutex programLock_;
    QByteArray programQueue_;   // guarded by programLock_
    qsizetype programRead_ = 0; // guarded by programLock_

    bool playbackEnabled_ = true;
    QTimer *timer_ = nullptr;
    AudioQueueIODevice *device_ = nullptr;
    // Counted by the device; 0 while no device runs.
    const std::shared_ptr<std::atomic<int64_t>> playedFrames_ =
        std::make_shared<std::atomic<int64_t>>(0);
    QAudioSink *sink_ = nullptr;
    std::vector<float> localMix_, previewMix_, scratch_;
    std::vector<int16_t> devicePcm_;
};
