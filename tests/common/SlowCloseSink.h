#pragma once

// A real encoder sink whose next close takes its time, as a stream that drains or a slow disk
// would; for tests of a stop that must not wait for it.

#include "output/FfmpegEncoderSink.h"

#include <atomic>
#include <chrono>
#include <thread>

class SlowCloseSink : public FfmpegEncoderSink {
public:
    explicit SlowCloseSink(int ms) : ms_(ms) {}
    void close() override {
        if (armed_.exchange(false))
            std::this_thread::sleep_for(std::chrono::milliseconds(ms_));
        FfmpegEncoderSink::close();
    }
    void arm() { armed_ = true; }

private:
    const int ms_;
    std::atomic<bool> armed_{false};
};
