#include "output/MediaClock.h"

#include <algorithm>
#include <cmath>

int64_t MediaClock::step(int64_t t, int64_t ptsUs, double frameRate) {
    int64_t increment = 1;
    const bool firstFrame = !started_;
    if (started_) {
        const int64_t delta = t - lastWallNs_;
        increment = delta <= 999'999 ? 1 : std::min<int64_t>(delta / 1'000'000, 10000);
    } else {
        started_ = true;
    }
    ms_ += increment;
    lastWallNs_ = t;
    // The frames' own spacing wins over the wall clock's, but their times are a source's
    // position, not the program's: a base that starts mid-clip, loops, or is switched to a
    // channel further on would otherwise freeze the picture for the difference and, without
    // live catch-up, leave the sound behind for good. So a jump re-anchors instead, and the
    // frame it lands on lasts one frame period, as a frame of an unbroken source would.
    if (ptsUs > 0 && ptsUs <= 172'800'000'999) {
        const int64_t frameMs = ptsUs / 1000;
        const int64_t hint = anchorClockMs_ + (frameMs - anchorFrameMs_);
        const int64_t ahead = hint - ms_;
        if (!anchored_ || ahead > maxFrameLeadMs_ || ahead < -maxFrameLeadMs_) {
            if (!firstFrame) {
                const auto periodMs = int64_t(std::llround(1000.0 / std::max(frameRate, 1.0)));
                ms_ = std::max(ms_, lastStepMs_ + periodMs);
            }
            anchored_ = true;
            anchorClockMs_ = ms_;
            anchorFrameMs_ = frameMs;
        } else if (ahead >= 1) {
            ms_ = hint;
        }
    }
    const int64_t step = std::clamp<int64_t>(ms_ - lastStepMs_, 1, 10000);
    lastStepMs_ = ms_;
    return step;
}

void MediaClock::reset() {
    lastWallNs_ = 0;
    started_ = false;
    lastStepMs_ = 0;
    ms_ = 0;
    anchored_ = false;
}
