#include "audio/LevelMeterBallistics.h"

#include <algorithm>
#include <cmath>

float LevelMeterBallistics::toDb(float linear) {
    if (!(linear > 0.0f))
        return kFloorDb;
    return std::clamp(20.0f * std::log10(linear), kFloorDb, 0.0f);
}

void LevelMeterBallistics::reset() {
    *this = LevelMeterBallistics();
}

void LevelMeterBallistics::update(float linearPeak, int64_t nowMs) {
    const float db = toDb(linearPeak);
    if (!fed_) {
        fed_ = true;
        lastMs_ = nowMs;
    }
    // A clock that goes back (or repeats) makes nothing fall.
    const int64_t since = std::max<int64_t>(nowMs - lastMs_, 0);
    const auto fallen = [](int64_t ms) { return kFallDbPerSecond * float(ms) / 1000.0f; };

    level_ = std::max(db, level_ - fallen(since));
    if (db >= hold_) {
        hold_ = db;
        holdSinceMs_ = nowMs;
    } else {
        // Falls only for the part of this interval that lies past the hold time.
        const int64_t fallFrom = std::max(lastMs_, holdSinceMs_ + kHoldMs);
        if (nowMs > fallFrom)
            hold_ -= fallen(nowMs - fallFrom);
        hold_ = std::max(hold_, level_);
    }
    lastMs_ = std::max(lastMs_, nowMs);
}
