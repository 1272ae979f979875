#include "pipeline/ProgramClock.h"

#include <QElapsedTimer>

#include <algorithm>

namespace {

int64_t monotonicMs() {
    static const QElapsedTimer origin = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return origin.elapsed();
}

} // namespace

ProgramClock::ProgramClock(Source source)
    : source_(source ? std::move(source) : Source(monotonicMs)) {}

void ProgramClock::setPosition(int64_t ms) {
    positionMs_ = std::max<int64_t>(ms, 0);
}

void ProgramClock::setRunning(bool on) {
    if (on == running_)
        return;
    running_ = on;
    if (on)
        restartTimer();
}

void ProgramClock::reset(int64_t ms, bool on) {
    running_ = on;
    positionMs_ = std::max<int64_t>(ms, 0);
    restartTimer();
}

void ProgramClock::tick() {
    if (!running_)
        return;
    const int64_t now = source_();
    const int64_t elapsed = timerStartMs_ < 0 ? 0 : now - timerStartMs_;
    timerStartMs_ = now;
    if (elapsed >= 1 && elapsed < kMaxStepMs)
        positionMs_ += elapsed;
}

void ProgramClock::advance(int64_t ms) {
    if (ms > 0)
        positionMs_ += ms;
}

void ProgramClock::restartTimer() {
    timerStartMs_ = source_();
}
