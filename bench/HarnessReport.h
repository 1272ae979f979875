#pragma once

// What one harness run measured, and the printing of it: one "metric <name> <value>" line per
// figure (harness_vs_ffmpeg.sh reads these), then a summary for people.

#include "output/FfmpegEncoderSink.h"
#include "pipeline/FramePipeline.h"

#include <QMap>
#include <QSize>
#include <QString>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

struct HarnessOptions;

// Counts pictures missing from a timeline: a step of n frame periods means n - 1 were not
// seen. A step back (a loop) starts over.
struct GapCounter {
    int64_t frameUs = 33333;
    int64_t last = -1;
    int64_t seen = 0;
    int64_t missing = 0;
    void note(int64_t ptsUs) {
        ++seen;
        if (last >= 0) {
            const int64_t delta = ptsUs - last;
            if (delta > 0 && delta < 10'000'000)
                missing += std::max<int64_t>(0, std::llround(double(delta) / double(frameUs)) - 1);
        }
        last = ptsUs;
    }
};

// Memory over time, with what usually explains it: frames waiting for the encoder and the main
// pool's tokens in use (beyond its capacity each is an extra 1080p buffer).
struct RssSample {
    double seconds;
    int64_t bytes;
    int queued = 0;
    int poolInUse = 0;
};

struct HarnessReport {
    // Outputs whose packets are counted; the sink numbers them from 0.
    static constexpr size_t kCountedOutputs = 8;

    int64_t processStartNs = 0;
    double processStartCpu = 0;
    int64_t realTimeFrames = 0;

    // Counted on the GUI thread, where the pipeline emits, while the window is open.
    GapCounter baseGaps;
    std::array<GapCounter, FramePipeline::kChannels> channelGaps;
    int64_t composedInWindow = 0;
    int64_t passedThrough = 0; // composed without overlays (no pool token free)
    std::vector<RssSample> rss;

    // The window runs from the first program frame for the asked duration.
    int64_t windowStartNs = 0;
    double windowStartCpu = 0;
    int64_t windowEndNs = 0;
    double windowEndCpu = 0;
    QMap<QString, double> threadCpu; // at the window's end
    int queuedAtStop = 0;
    int mainTokensMade = 0; // pooled tokens ever made: each keeps its buffer while the pool lives
    int thumbnailTokensMade = 0;
    double loadStart = 0;
    double loadEnd = 0;
    bool gpuComposition = false;

    // Once the engine has stopped.
    double processWallS = 0;
    double processCpuS = 0;
    std::vector<double> latencyMs; // base frame to file packet, in the order measured
    std::vector<int64_t> latencyAtNs;
    std::vector<double> heldFrames; // frames the encoder held per packet
    int64_t neverEncoded = 0;
    int64_t framesToEncoder = 0;
    std::array<int64_t, kCountedOutputs> videoPackets{};
    std::array<int64_t, kCountedOutputs> audioPackets{};
    int latencyOutput = -1; // the file's output index; -1: no latency measured
    std::vector<FfmpegEncoderSink::OutputStatus> outputs;
    QString encoderName;
    QSize encoderSize;

    // Writes the CSV files the options name, then prints the metrics and the summary.
    void print(const HarnessOptions &o) const;
};
