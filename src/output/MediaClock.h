#pragma once

#include <cstdint>

// The run's media clock in milliseconds: advanced by the steady clock between frames, paced by
// the frames' own times while they run evenly, and re-anchored when those jump.
class MediaClock {
public:
    // Frame times further than `maxFrameLeadMs` from the clock are a jump, not the pace.
    explicit MediaClock(int64_t maxFrameLeadMs) : maxFrameLeadMs_(maxFrameLeadMs) {}

    // Advances the clock for a frame at steady time `nowNs` with source time `ptsUs` (0 or
    // less: none); returns how far it moved since the last frame (1 .. 10000 ms).
    int64_t step(int64_t nowNs, int64_t ptsUs, double frameRate);
    int64_t ms() const { return ms_; }
    void reset();

private:
    const int64_t maxFrameLeadMs_;
    int64_t lastWallNs_ = 0;
    bool started_ = false;
    int64_t lastStepMs_ = 0;
    int64_t ms_ = 0;
    // Frame times count from the first frame of the run, and again from any jump in them.
    bool anchored_ = false;
    int64_t anchorClockMs_ = 0;
    int64_t anchorFrameMs_ = 0;
};
