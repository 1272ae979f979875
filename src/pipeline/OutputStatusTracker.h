#pragma once

#include "output/OutputStatus.h"

#include <QString>

#include <cstdint>
#include <deque>
#include <vector>

// Turns the polled snapshots of one output run into the lines of the output panel: one per
// target (masked address, state, bitrate and frame rate over the last 2 s, drops, time on air)
// and one for the program's encoded frame rate. What went wrong stays listed until the next
// run begins: a target that failed for good, a recording that could not be made, a transport
// failure. After a stop the last lines stay, marked stopped.
//
// Threads: one (the GUI thread); no locks.
class OutputStatusTracker {
public:
    static constexpr int64_t kRateWindowMs = 2000;

    void begin(int64_t nowMs);                  // a run starts: forget the last run
    void update(const OutputRunStatus &status); // each poll (status.takenAtMs is "now")
    void noteStopped(const QString &reason);    // transport failure: shown until begin()
    std::vector<OutputStatusLine> lines(bool chinese) const;

private:
    struct Entry {
        OutputTargetStatus last;
        int streamNumber = 0; // 1, 2, ... among the streams; 0 for the file
        bool failed = false;  // for good, in this run
        int64_t onAirMs = 0;
        double bitsPerSecond = -1; // < 0: not known yet
    };
    struct Sample {
        int64_t atMs = 0;
        int64_t frames = 0;
        std::vector<int64_t> bytes; // per entry; -1 when the target was not listed
    };

    Entry &entryFor(const OutputTargetStatus &target);
    const Sample *reference(int64_t nowMs) const;
    QString masked(QString text) const;

    std::vector<Entry> entries_;
    std::deque<Sample> samples_;
    double framesPerSecond_ = -1;
    bool seen_ = false;    // a snapshot arrived in this run
    bool running_ = false; // as of the last snapshot
    bool closing_ = false;
    bool fileMissing_ = false;
    QString fileMissingPath_;
    QString fileMissingReason_;
    QString stoppedReason_; // transport failure
};
