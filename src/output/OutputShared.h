#pragma once

#include "output/EncoderParams.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// What the encoding thread shares with the outputs and their writer threads: the abort flag,
// the published encoder parameters, keyframe requests and failure counters. Outlives the
// writers. The clock, the observer and liveMode are set before the first output opens.
struct OutputShared {
    using SteadyClock = std::function<int64_t()>; // nanoseconds
    using WriteObserver = std::function<void(int output, bool isVideo, int64_t mediaMs)>;

    std::atomic<bool> abortIo{false};
    std::atomic<bool> keyframeWanted{false};
    std::atomic<int> fileWriteStreak{0};
    std::atomic<int> streamWriteSeq{0};
    std::atomic<int> reconnectCount{0};
    SteadyClock clock;
    WriteObserver observer;
    bool liveMode = false;

    std::shared_ptr<const EncoderParams> currentParams() {
        std::lock_guard lock(paramsMutex_);
        return params_;
    }
    void publishParams(std::shared_ptr<const EncoderParams> params) {
        std::lock_guard lock(paramsMutex_);
        params_ = std::move(params);
    }
    int64_t now() const { return clock ? clock() : steadyNowNs(); }

    static int64_t steadyNowNs() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

private:
    std::mutex paramsMutex_;
    std::shared_ptr<const EncoderParams> params_; // guarded by paramsMutex_
};
