#include "HarnessReport.h"

#include "BenchUtil.h"
#include "HarnessOptions.h"
#include "output/OutputRouter.h"

#include <QByteArray>
#include <QFile>

#include <sys/resource.h>

#include <cstdio>
#include <utility>

using namespace benchutil;

namespace {

int64_t peakResidentBytes() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return int64_t(ru.ru_maxrss) * 1024;
}

void metric(const char *name, double value) {
    std::printf("metric %s %.6g\n", name, value);
}

// Median resident size over the samples taken in [from, to] seconds.
double medianRss(const std::vector<RssSample> &samples, double from, double to) {
    std::vector<double> v;
    for (const RssSample &s : samples)
        if (s.seconds >= from && s.seconds <= to)
            v.push_back(double(s.bytes));
    return median(v);
}

void printThreadCpu(const QMap<QString, double> &threads, double processCpu) {
    std::vector<std::pair<double, QString>> sorted;
    double named = 0;
    for (auto it = threads.cbegin(); it != threads.cend(); ++it) {
        sorted.emplace_back(it.value(), it.key());
        named += it.value();
    }
    std::sort(sorted.rbegin(), sorted.rend());
    std::printf("  CPU by thread name (seconds, share of the process):\n");
    for (const auto &[seconds, name] : sorted)
        if (seconds >= 0.05)
            std::printf("    %-16s %8.2f  %5.1f %%\n", qPrintable(name), seconds,
                        processCpu > 0 ? 100.0 * seconds / processCpu : 0.0);
    if (processCpu - named >= 0.05)
        std::printf("    %-16s %8.2f  %5.1f %%\n", "(ended threads)", processCpu - named,
                    100.0 * (processCpu - named) / processCpu);
}

} // namespace

void HarnessReport::print(const HarnessOptions &o) const {
    const double windowS = double(windowEndNs - windowStartNs) / 1e9;
    const double windowCpu = windowEndCpu - windowStartCpu;

    if (!o.latencyCsv.isEmpty()) {
        QFile csv(o.latencyCsv);
        if (csv.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            csv.write("seconds,latency_ms\n");
            for (size_t i = 0; i < latencyMs.size(); ++i)
                csv.write(QByteArray::number(double(latencyAtNs[i] - windowStartNs) / 1e9, 'f', 3) +
                          ',' + QByteArray::number(latencyMs[i], 'f', 2) + '\n');
        }
    }
    // The first frame opens the encoder (x264 takes a few hundred ms), and the frames composed
    // meanwhile wait; that start-up backlog is reported apart from the steady run.
    std::vector<double> startup;
    std::vector<double> latency;
    for (size_t i = 0; i < latencyMs.size(); ++i)
        (latencyAtNs[i] - windowStartNs < 1'000'000'000 ? startup : latency)
            .push_back(latencyMs[i]);
    std::sort(latency.begin(), latency.end());
    const int64_t fileVideo = latencyOutput >= 0 ? videoPackets[size_t(latencyOutput)] : -1;
    const int64_t encoded = fileVideo >= 0 ? fileVideo : videoPackets[0];
    const double encodedPct = 100.0 * double(encoded) / double(realTimeFrames);
    const int64_t dropped = std::max<int64_t>(0, realTimeFrames - encoded);

    // Early: the ten seconds before min(60 s, half the run); end: the last ten seconds.
    const double earlyAt = std::min(60.0, windowS / 2);
    const double rssEarly = medianRss(rss, std::max(0.0, earlyAt - 10), earlyAt);
    const double rssEnd = medianRss(rss, windowS - 10, windowS + 1);
    const double rssGrowthPct = rssEarly > 0 ? 100.0 * (rssEnd - rssEarly) / rssEarly : 0.0;
    if (!o.rssCsv.isEmpty()) {
        QFile csv(o.rssCsv);
        if (csv.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            csv.write("seconds,rss_bytes,router_queue,main_pool_in_use\n");
            for (const RssSample &s : rss)
                csv.write(QByteArray::number(s.seconds, 'f', 1) + ',' +
                          QByteArray::number(s.bytes) + ',' + QByteArray::number(s.queued) + ',' +
                          QByteArray::number(s.poolInUse) + '\n');
        }
    }
    const size_t lastCounted = kCountedOutputs - 1;

    metric("duration_s", o.seconds);
    metric("window_s", windowS);
    metric("frames_realtime", double(realTimeFrames));
    metric("frames_composed", double(composedInWindow));
    metric("frames_to_encoder", double(framesToEncoder));
    metric("frames_encoded", double(encoded));
    metric("frames_encoded_pct", encodedPct);
    metric("frames_dropped", double(dropped));
    metric("frames_never_encoded", double(neverEncoded));
    metric("frames_queued_at_stop", queuedAtStop);
    metric("frames_without_overlays", double(passedThrough));
    metric("base_frames_seen", double(baseGaps.seen));
    metric("base_frames_skipped", double(baseGaps.missing));
    for (int k = 0; k < int(o.inputs.size()); ++k) {
        const QByteArray name = "channel" + QByteArray::number(k + 1) + "_frames_skipped";
        metric(name.constData(), double(channelGaps[size_t(k)].missing));
    }
    for (size_t i = 0; i < outputs.size(); ++i) {
        const QByteArray prefix = "output" + QByteArray::number(qsizetype(i));
        metric((prefix + "_video_packets").constData(),
               double(videoPackets[std::min(i, lastCounted)]));
        metric((prefix + "_audio_packets").constData(),
               double(audioPackets[std::min(i, lastCounted)]));
        metric((prefix + "_packets_dropped").constData(), double(outputs[i].packetsDropped));
    }
    metric("cpu_s", processCpuS);
    metric("wall_s", processWallS);
    metric("cores", processCpuS / processWallS);
    metric("window_cores", windowCpu / windowS);
    metric("load1_start", loadStart);
    metric("load1_end", loadEnd);
    metric("rss_peak_mb", double(peakResidentBytes()) / 1e6);
    metric("rss_early_mb", rssEarly / 1e6);
    metric("rss_end_mb", rssEnd / 1e6);
    metric("rss_growth_pct", rssGrowthPct);
    int queueMax = 0;
    int poolMax = 0;
    for (const RssSample &s : rss) {
        queueMax = std::max(queueMax, s.queued);
        poolMax = std::max(poolMax, s.poolInUse);
    }
    metric("router_queue_max", queueMax);
    metric("main_pool_in_use_max", poolMax);
    metric("latency_samples", double(latency.size()));
    metric("latency_p50_ms", percentile(latency, 0.50));
    metric("latency_p95_ms", percentile(latency, 0.95));
    metric("latency_max_ms", latency.empty() ? 0.0 : latency.back());
    metric("latency_startup_max_ms",
           startup.empty() ? 0.0 : *std::max_element(startup.begin(), startup.end()));
    metric("encoder_held_frames", median(heldFrames));

    std::printf("\nquorvi_harness summary (%.1f s window, %.2f s process)\n", windowS,
                processWallS);
    std::printf("  encoder %s %dx%d, composition on the %s\n", qPrintable(encoderName),
                encoderSize.width(), encoderSize.height(), gpuComposition ? "GPU" : "CPU");
    std::printf("  frames: real-time %lld | composed %lld | to encoder %lld | encoded %lld "
                "(%.2f %% of real time, goal >= 99.5 %%)\n",
                static_cast<long long>(realTimeFrames), static_cast<long long>(composedInWindow),
                static_cast<long long>(framesToEncoder), static_cast<long long>(encoded),
                encodedPct);
    std::printf("  dropped: %lld against real time; inside: %lld base frames skipped before "
                "composition (decoder late drops, coalesced deliveries), %lld composed but never "
                "encoded (router queue, %d queued at stop), %lld composed without overlays\n",
                static_cast<long long>(dropped), static_cast<long long>(baseGaps.missing),
                static_cast<long long>(neverEncoded), queuedAtStop,
                static_cast<long long>(passedThrough));
    std::printf("  channels, frames missing on the GUI thread (late drops + coalesced previews; "
                "counted against 15 thumbnails a second):");
    for (int k = 0; k < int(o.inputs.size()); ++k)
        std::printf(" ch%d %lld", k + 1, static_cast<long long>(channelGaps[size_t(k)].missing));
    std::printf("\n");
    for (size_t i = 0; i < outputs.size(); ++i)
        std::printf("  output %zu %s: %lld video packets, %lld packets written, %lld dropped\n", i,
                    qPrintable(outputs[i].url),
                    static_cast<long long>(videoPackets[std::min(i, lastCounted)]),
                    static_cast<long long>(outputs[i].packetsWritten),
                    static_cast<long long>(outputs[i].packetsDropped));
    std::printf("  CPU: %.2f s over %.2f s = %.2f cores (window alone %.2f cores); machine load "
                "%.2f at the start, %.2f at the end\n",
                processCpuS, processWallS, processCpuS / processWallS, windowCpu / windowS,
                loadStart, loadEnd);
    printThreadCpu(threadCpu, windowEndCpu - processStartCpu);
    std::printf("  RSS: peak %.1f MB; early %.1f MB (median of %.0f-%.0f s), end %.1f MB (last "
                "10 s): %+.2f %% (goal within 5 %% over 10 min)\n",
                double(peakResidentBytes()) / 1e6, rssEarly / 1e6, std::max(0.0, earlyAt - 10),
                earlyAt, rssEnd / 1e6, rssGrowthPct);
    std::printf("  sampled every %.1f s: router queue up to %d of %d frames, main pool up to %d "
                "tokens in use (capacity %d); tokens made: main %d, thumbnail %d\n",
                o.rssIntervalS, queueMax, OutputRouter::kQueueFrames, poolMax,
                FramePipeline::kMainPoolFrames, mainTokensMade, thumbnailTokensMade);
    if (latencyOutput >= 0)
        std::printf("  base frame to file packet after the first second: p50 %.1f / p95 %.1f / "
                    "max %.1f ms over %zu frames (goal p95 < 50); first second (opens the "
                    "encoder) up to %.1f ms over %zu frames; the encoder held %.0f frame(s)\n",
                    percentile(latency, 0.50), percentile(latency, 0.95),
                    latency.empty() ? 0.0 : latency.back(), latency.size(),
                    startup.empty() ? 0.0 : *std::max_element(startup.begin(), startup.end()),
                    startup.size(), median(heldFrames));
    else
        std::printf("  latency: measured on the file output only; none given\n");
}
