#pragma once

#include <cstdint>

// What a peak meter shows for a stream of linear peaks: a level in dBFS (-60 … 0, silence at
// the floor) that rises at once and falls at a steady rate, and a peak-hold mark that stays
// for a while at the highest level and then falls the same way, never below the level.
// The caller passes the time, so the behaviour does not depend on how often it is fed.
//
// Threads: one owner (the meter widget on the GUI thread).
class LevelMeterBallistics {
public:
    static constexpr float kFloorDb = -60.0f;
    static constexpr float kFallDbPerSecond = 20.0f / 1.7f;
    static constexpr int64_t kHoldMs = 1500;

    // linearPeak: highest |sample| since the previous update (1.0 = full scale).
    void update(float linearPeak, int64_t nowMs);
    // Back to silence, as if never fed.
    void reset();

    float levelDb() const { return level_; }
    float holdDb() const { return hold_; }

    // 20·log10(linear) limited to -60 … 0; 0, negative and NaN give the floor.
    static float toDb(float linear);

private:
    float level_ = kFloorDb;
    float hold_ = kFloorDb;
    int64_t holdSinceMs_ = 0;
    int64_t lastMs_ = 0;
    bool fed_ = false;
};
