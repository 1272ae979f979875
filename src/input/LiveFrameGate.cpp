#include "input/LiveFrameGate.h"

void LiveFrameGate::setAudioClock(std::shared_ptr<AudioClock> clock) {
    std::lock_guard lock(clockMutex_);
    audioClock_ = std::move(clock);
}

void LiveFrameGate::noteAudioTimestamp(int64_t tsUs) {
    int64_t seen = newestAudioTimestamp_.load();
    while ((seen == kUnset || tsUs > seen) &&
           !newestAudioTimestamp_.compare_exchange_weak(seen, tsUs)) {
    }
}

void LiveFrameGate::reset() {
    newestAudioTimestamp_.store(kUnset);
    clockBaseTimestamp_.store(kUnset);
    clockBaseSamples_.store(kUnset);
}

bool LiveFrameGate::shouldDrop(int64_t tsUs) {
    if (gateOnAudio_.load()) {
        const int64_t newest = newestAudioTimestamp_.load();
        return newest != kUnset && tsUs > newest + kAheadOfAudioUs;
    }
    if (!syncToAudioClock_.load())
        return false;
    std::shared_ptr<AudioClock> clock;
    {
        std::lock_guard lock(clockMutex_);
        clock = audioClock_;
    }
    if (!clock || !*clock)
        return false;
    const int64_t samples = (*clock)();
    const int64_t baseTs = clockBaseTimestamp_.load();
    if (baseTs == kUnset) {
        clockBaseTimestamp_.store(tsUs);
        clockBaseSamples_.store(samples);
        return false;
    }
    const int64_t soundUs = (samples - clockBaseSamples_.load()) * 1000000 / 48000;
    return (tsUs - baseTs) - soundUs < -kLagBehindClockUs;
}
