#pragma once

#include <QString>

#include <cstdint>
#include <vector>

// A snapshot of the program output, taken by the GUI thread a few times a second. The encoder
// side only counts (atomics and short locks); it never waits for whoever reads this.
struct OutputTargetStatus {
    enum class State {
        Starting,     // not open yet: the first open is under way
        Live,         // open and writing
        Reconnecting, // lost and waiting for, or trying, the next reopen (`attempt`)
        Failed,       // given up for this run; `reason` says why
    };
    bool isStream = false;
    QString url; // as configured; mask stream keys before showing it
    State state = State::Starting;
    int attempt = 0;          // the reopen attempt in progress or next (1, 2, ...)
    int64_t bytesWritten = 0; // payload handed to the muxer in this run
    int64_t packetsDropped = 0;
    int64_t liveSinceMs = 0; // steady-clock ms when it last went live; 0 when not live
    QString reason;          // the last error, for Reconnecting and Failed
};

struct OutputRunStatus {
    bool running = false;           // a run was started and not stopped
    bool closing = false;           // a stopped run is still writing its trailers
    int64_t takenAtMs = 0;          // steady-clock ms of this snapshot
    int64_t encodedVideoFrames = 0; // frames the video encoder took in this run
    // The run was asked for a file it could not open (the streams may still run).
    bool fileMissing = false;
    QString fileMissingPath;
    QString fileMissingReason;
    std::vector<OutputTargetStatus> targets; // the file first when there is one, then streams
};

// One line of the output panel's status list, ready to show.
struct OutputStatusLine {
    enum class Level { Info, Good, Warning, Error };
    QString text;
    Level level = Level::Info;
};
