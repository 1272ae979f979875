#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// Decides whether a live picture is dropped to stay in step with sound. Two rules:
// - gate on audio: a camera whose own sound is decoded drops pictures more than 10 ms ahead
//   of the newest decoded sound;
// - program clock: with a separate microphone, pictures lagging the program's sound (as
//   counted by the audio output) by more than 32 ms since the last re-anchoring are dropped.
//
// Threads: noteAudioTimestamp() from the sound-decoding thread, shouldDrop() and reset() from
// the video worker, setAudioClock() and the mode setters from any thread.
class LiveFrameGate {
public:
    using AudioClock = std::function<int64_t()>; // 48 kHz sample frames the output consumed

    static constexpr int64_t kUnset = INT64_MIN;
    static constexpr int64_t kAheadOfAudioUs = 10000;
    static constexpr int64_t kLagBehindClockUs = 32000;

    void setGateOnAudio(bool on) { gateOnAudio_.store(on); }
    void setSyncToAudioClock(bool on) { syncToAudioClock_.store(on); }
    bool gateOnAudio() const { return gateOnAudio_.load(); }
    bool syncToAudioClock() const { return syncToAudioClock_.load(); }

    void setAudioClock(std::shared_ptr<AudioClock> clock);

    // Raises the newest decoded sound timestamp (gate-on-audio mode only).
    void noteAudioTimestamp(int64_t tsUs);
    // Forgets both anchors: the next picture starts a new comparison.
    void reset();

    bool shouldDrop(int64_t tsUs);

private:
    std::atomic<bool> gateOnAudio_{false};
    std::atomic<bool> syncToAudioClock_{false};
    std::atomic<int64_t> newestAudioTimestamp_{kUnset};
    std::atomic<int64_t> clockBaseTimestamp_{kUnset};
    std::atomic<int64_t> clockBaseSamples_{kUnset};

    std::mutex clockMutex_;
    std::shared_ptr<AudioClock> audioClock_; // guarded by clockMutex_
};
