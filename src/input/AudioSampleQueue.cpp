#include "input/AudioSampleQueue.h"

#include <algorithm>
#include <cstring>

void AudioSampleQueue::append(const float *samples, size_t count) {
    if (count == 0)
        return;
    std::lock_guard lock(mutex_);
    if (ring_.empty())
        ring_.resize(kMaxSamples);
    if (count >= kMaxSamples) { // keep the newest sound
        samples += count - kMaxSamples;
        count = kMaxSamples;
    }
    if (size_ + count > kMaxSamples) { // drop the oldest
        const size_t drop = size_ + count - kMaxSamples;
        head_ = (head_ + drop) % kMaxSamples;
        size_ -= drop;
    }
    const size_t tail = (head_ + size_) % kMaxSamples;
    const size_t first = std::min(count, kMaxSamples - tail);
    std::memcpy(ring_.data() + tail, samples, first * sizeof(float));
    std::memcpy(ring_.data(), samples + first, (count - first) * sizeof(float));
    size_ += count;
}

void AudioSampleQueue::take(float *out, size_t count) {
    const size_t first = std::min(count, kMaxSamples - head_);
    std::memcpy(out, ring_.data() + head_, first * sizeof(float));
    std::memcpy(out + first, ring_.data(), (count - first) * sizeof(float));
    head_ = (head_ + count) % kMaxSamples;
    size_ -= count;
}

int AudioSampleQueue::pull(float *out, int frames) {
    if (frames < 1)
        return frames;
    std::lock_guard lock(mutex_);
    // Whole stereo frames only: an odd sample waits for its partner.
    const size_t available = std::min(size_ / 2, size_t(frames));
    if (available > 0)
        take(out, available * 2);
    for (size_t i = 0; i < available && fadeInRemaining_ > 0; ++i) {
        const float gain = 1.0f - float(fadeInRemaining_) / float(kFadeInSamples);
        out[2 * i] *= gain;
        out[2 * i + 1] *= gain;
        fadeInRemaining_ = std::max(fadeInRemaining_ - 2, 0);
    }
    std::fill(out + available * 2, out + size_t(frames) * 2, 0.0f); // under-run: silence
    return frames;
}

void AudioSampleQueue::clear(bool withFade) {
    std::lock_guard lock(mutex_);
    head_ = 0;
    size_ = 0;
    fadeInRemaining_ = withFade ? kFadeInSamples : 0;
}

size_t AudioSampleQueue::sampleCount() const {
    std::lock_guard lock(mutex_);
    return size_;
}
