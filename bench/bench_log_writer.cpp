// What logging costs the caller, and how fast the writer thread empties its queue, each next to
// the plain way of writing the same lines from the calling thread.

#include "core/LogSettings.h"
#include "core/LogWriter.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

using namespace std::chrono_literals;

namespace {

// 100 bytes, shaped like an ordinary log line.
constexpr char kLine[] = "2024-05-01 12:00:00.123 I core: frame pool 1920x1080 warm, 18 tokens, "
                         "3 in use, 0 extra (seq 100001)";
constexpr qsizetype kLineBytes = sizeof(kLine) - 1;
static_assert(kLineBytes == 100);

constexpr int kThroughputLines = 200000;

QTemporaryDir makeTempDir() {
    return QTemporaryDir(QDir::tempPath() + "/quorvi-bench-XXXXXX");
}

// Every enqueue hands over a fresh copy, as a caller formatting its message would; sharing one
// QByteArray would hide the allocation and the free on the writer thread.
QByteArray freshLine() {
    return QByteArray(kLine, kLineBytes);
}

bool openWriter(benchmark::State &state, LogWriter &writer, const QTemporaryDir &dir) {
    if (dir.isValid() && writer.open(dir.filePath("enqueue.log")))
        return true;
    state.SkipWithError("cannot open a log file in the temp dir");
    return false;
}

void reportDrops(benchmark::State &state, int64_t dropped) {
    state.SetItemsProcessed(state.iterations());
    state.counters["dropped"] = double(dropped);
    state.counters["dropped_pct"] = 100.0 * double(dropped) / double(state.iterations());
}

// Bursts well below queueMax with an untimed pause after each, so the writer catches up and
// then sleeps: the regime of a real log, including the wake-up at the start of every burst.
void BM_LogEnqueue(benchmark::State &state) {
    constexpr int kBurstLines = 10000;
    QTemporaryDir dir = makeTempDir();
    LogWriter writer{LogSettings{}};
    if (!openWriter(state, writer, dir))
        return;
    writer.start();
    int inBurst = 0;
    for (auto _ : state) {
        writer.enqueueLine(freshLine());
        if (++inBurst == kBurstLines) {
            state.PauseTiming();
            std::this_thread::sleep_for(4ms);
            inBurst = 0;
            state.ResumeTiming();
        }
    }
    // A writer that could not keep up shows up here rather than as a cheaper enqueue.
    const int64_t dropped = writer.droppedLines();
    writer.stop();
    reportDrops(state, dropped);
}

// Nonstop: the producer outruns the writer, the queue stays full and each enqueue also drops
// the oldest line.
void BM_LogEnqueueSaturated(benchmark::State &state) {
    QTemporaryDir dir = makeTempDir();
    LogWriter writer{LogSettings{}};
    if (!openWriter(state, writer, dir))
        return;
    writer.start();
    for (auto _ : state)
        writer.enqueueLine(freshLine());
    const int64_t dropped = writer.droppedLines();
    writer.stop();
    reportDrops(state, dropped);
}

void BM_FwriteLine(benchmark::State &state) {
    QTemporaryDir dir = makeTempDir();
    FILE *file =
        dir.isValid() ? std::fopen(dir.filePath("fwrite.log").toLocal8Bit(), "w") : nullptr;
    if (!file) {
        state.SkipWithError("cannot open a file in the temp dir");
        return;
    }
    char line[kLineBytes + 1];
    std::memcpy(line, kLine, kLineBytes);
    line[kLineBytes] = '\n';
    // Rewind at about the log's rotation size so a long run does not fill the disk; the seek
    // is rare enough to vanish in the average, much like a rotation.
    constexpr int64_t kLinesPerFile = 200000;
    int64_t written = 0;
    for (auto _ : state) {
        std::fwrite(line, 1, sizeof line, file);
        if (++written == kLinesPerFile) {
            std::fseek(file, 0, SEEK_SET);
            written = 0;
        }
    }
    std::fclose(file);
    state.SetItemsProcessed(state.iterations());
}

using Clock = std::chrono::steady_clock;

// From the first enqueue until stop() has drained the queue and closed the file.
void BM_LogWriterThroughput(benchmark::State &state) {
    LogSettings settings;
    settings.queueMax = kThroughputLines; // every line must reach the file
    settings.maxBytes = int64_t(1) << 30; // one file per run: the peer does not rotate either
    int64_t dropped = 0;
    for (auto _ : state) {
        QTemporaryDir dir = makeTempDir();
        LogWriter writer(settings);
        if (!dir.isValid() || !writer.open(dir.filePath("throughput.log"))) {
            state.SkipWithError("cannot open a log file in the temp dir");
            return;
        }
        writer.start();
        const auto begin = Clock::now();
        for (int i = 0; i < kThroughputLines; ++i)
            writer.enqueueLine(freshLine());
        writer.stop();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
        dropped += writer.droppedLines();
    }
    state.SetItemsProcessed(state.iterations() * kThroughputLines);
    state.counters["dropped"] = double(dropped);
}

// The same lines written by the producing thread itself, flushed once per writer batch.
void BM_DirectQFileThroughput(benchmark::State &state) {
    for (auto _ : state) {
        QTemporaryDir dir = makeTempDir();
        QFile file(dir.filePath("direct.log"));
        if (!dir.isValid() ||
            !file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
            state.SkipWithError("cannot open a file in the temp dir");
            return;
        }
        const auto begin = Clock::now();
        for (int i = 0; i < kThroughputLines; ++i) {
            file.write(kLine, kLineBytes);
            file.write("\n", 1);
            if ((i + 1) % LogWriter::kBatchLines == 0)
                file.flush();
        }
        file.close();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
    }
    state.SetItemsProcessed(state.iterations() * kThroughputLines);
}

} // namespace

BENCHMARK(BM_LogEnqueue)->UseRealTime();
BENCHMARK(BM_LogEnqueueSaturated)->UseRealTime();
BENCHMARK(BM_FwriteLine)->UseRealTime();
BENCHMARK(BM_LogWriterThroughput)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectQFileThroughput)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
