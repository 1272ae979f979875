#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

// Decoded sound waiting for the audio thread: interleaved stereo float at 48 kHz, at most 8 s.
// Producers append after decoding; the audio thread pulls a fixed number of frames and gets
// silence for whatever is missing. After an emptying "with fade" the next 128 ms fade in.
//
// A ring buffer allocated once (on the first append), so the audio thread neither allocates nor
// frees.
//
// Threads: any; every call holds the queue's mutex for one append or one pull.
class AudioSampleQueue {
public:
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannels = 2;
    static constexpr size_t kMaxSamples = 768000; // 8 s of stereo; the oldest go beyond it
    static constexpr int kFadeInSamples = 12288;  // 6144 stereo frames

    // Appends `count` samples (count / 2 stereo frames), then drops the oldest beyond 8 s.
    void append(const float *samples, size_t count);
    // Fills `frames` stereo frames into `out`; returns `frames`. Never waits for decoding.
    int pull(float *out, int frames);
    void clear(bool withFade);

    size_t sampleCount() const;

private:
    // Copies `count` samples out of the ring from `head_` on; the caller holds mutex_.
    void take(float *out, size_t count);

    mutable std::mutex mutex_;
    std::vector<float> ring_; // guarded by mutex_; kMaxSamples once anything was appended
    size_t head_ = 0;         // guarded by mutex_; the oldest sample
    size_t size_ = 0;         // guarded by mutex_
    int fadeInRemaining_ = 0; // guarded by mutex_
};
