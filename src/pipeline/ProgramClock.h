#pragma once

#include <cstdint>
#include <functional>

// The program's time line in milliseconds: it follows wall time while running, but a step of
// 5 s or more (the event loop was blocked) is not counted, so a stall never jumps the program.
//
// Threads: one thread (the GUI thread).
class ProgramClock {
public:
    using Source = std::function<int64_t()>; // monotonic milliseconds
    static constexpr int64_t kMaxStepMs = 5000;

    explicit ProgramClock(Source source = {});

    int64_t positionMs() const { return positionMs_; }
    bool isRunning() const { return running_; }

    void setPosition(int64_t ms);
    void setRunning(bool on);
    void reset(int64_t ms, bool on);
    void tick();
    void advance(int64_t ms);
    void restartTimer();

private:
    Source source_;
    int64_t positionMs_ = 0;
    bool running_ = true;
    int64_t timerStartMs_ = -1; // -1: the timer has not been started
};
