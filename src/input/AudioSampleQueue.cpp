#include "input/AudioSampleQueue.h"

#include <algorithm>

void AudioSampleQueue::append(const float *samples, size_t count) {
    std::lock_guard lock(mutex_);
    samples_.insert(samples_.end(), samples, samples + count);
    if (samples_.size() > kMaxSamples) // keep the newest sound
        samples_.erase(samples_.begin(), samples_.begin() + (samples_.size() - kMaxSamples));
}

int AudioSampleQueue::pull(float *out, int frames) {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < frames; ++i) {
        if (samples_.size() < 2) {
            out[2 * i] = 0.0f;
            out[2 * i + 1] = 0.0f;
            continue;
        }
        float left = samples_.front();
        samples_.pop_front();
        float right = samples_.front();
        samples_.pop_front();
        if (fadeInRemaining_ > 0) {
            const float gain = 1.0f - float(fadeInRemaining_) / float(kFadeInSamples);
            left *= gain;
            right *= gain;
            fadeInRemaining_ = std::max(fadeInRemaining_ - 2, 0);
        }
        out[2 * i] = left;
        out[2 * i + 1] = right;
    }
    return frames;
}

void AudioSampleQueue::clear(bool withFade) {
    std::lock_guard lock(mutex_);
    samples_.clear();
    fadeInRemaining_ = withFade ? kFadeInSamples : 0;
}

size_t AudioSampleQueue::sampleCount() const {
    std::lock_guard lock(mutex_);
    return samples_.size();
}
