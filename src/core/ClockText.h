#pragma once

#include <QString>

#include <cstdint>

// Play times as the operator reads them.
class ClockText {
public:
    // "mm:ss" below an hour, "h:mm:ss" from an hour on (75 min -> "1:15:00"); seconds are cut,
    // not rounded, so the shown time never runs ahead. Negative times show as "00:00".
    static QString position(int64_t ms);
};
