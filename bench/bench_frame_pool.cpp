// Cost of handing out a 1080p frame buffer: the pool against a fresh allocation per frame,
// with an uncontended mutex pair as the floor the pool's own locking cannot beat.

#include "core/FramePool.h"
#include "core/FrameToken.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kCapacity = 18;
constexpr qsizetype kFrameBytes = qsizetype(kWidth) * kHeight * 4;

// One byte per buffer in every variant: enough that a fresh mapping from the naive path
// really faults in, without turning the run into an 8 MB memset that both sides would pay
// alike and that would drown the allocation cost being compared.
void touch(FrameToken &token, int64_t i) {
    token.data.data()[0] = char(i);
    benchmark::DoNotOptimize(token.data.constData());
}

// Shared by all threads of one run; thread 0 creates it before the start barrier of the
// timing loop and destroys it after the stop barrier.
std::unique_ptr<FramePool> sharedPool;

void setUpPool(const benchmark::State &state) {
    if (state.thread_index() != 0)
        return;
    sharedPool = std::make_unique<FramePool>(kCapacity, kWidth, kHeight);
    // Warm it, so the timed loop measures reuse and not the first fault of each buffer.
    FrameTokenPtr warm[kCapacity];
    for (int i = 0; i < kCapacity; ++i) {
        warm[i] = sharedPool->acquire();
        touch(*warm[i], i);
    }
}

void tearDownPool(benchmark::State &state, int tokensPerIteration) {
    state.SetItemsProcessed(state.iterations() * tokensPerIteration);
    if (state.thread_index() != 0)
        return;
    state.counters["created"] = sharedPool->createdCount();
    sharedPool.reset();
}

FrameTokenPtr naiveFrame() {
    auto token = std::make_shared<FrameToken>();
    token->data.resize(kFrameBytes);
    token->stride = kWidth * 4;
    return token;
}

void BM_PoolRoundTrip(benchmark::State &state) {
    setUpPool(state);
    int64_t i = 0;
    for (auto _ : state) {
        FrameTokenPtr token = sharedPool->acquire();
        touch(*token, ++i);
        benchmark::DoNotOptimize(token);
    }
    tearDownPool(state, 1);
}

void BM_NaiveRoundTrip(benchmark::State &state) {
    int64_t i = 0;
    for (auto _ : state) {
        FrameTokenPtr token = naiveFrame();
        touch(*token, ++i);
        benchmark::DoNotOptimize(token);
    }
    state.SetItemsProcessed(state.iterations());
}

// Decoder, compositor and encoder each hold a frame at the same time; the free list should
// keep serving the same few buffers.
void BM_PoolHold3(benchmark::State &state) {
    setUpPool(state);
    int64_t i = 0;
    for (auto _ : state) {
        FrameTokenPtr decoded = sharedPool->acquire();
        touch(*decoded, ++i);
        FrameTokenPtr composed = sharedPool->acquire();
        touch(*composed, i);
        FrameTokenPtr encoded = sharedPool->acquire();
        touch(*encoded, i);
        benchmark::DoNotOptimize(decoded);
        benchmark::DoNotOptimize(composed);
        benchmark::DoNotOptimize(encoded);
    }
    tearDownPool(state, 3);
}

void BM_NaiveHold3(benchmark::State &state) {
    int64_t i = 0;
    for (auto _ : state) {
        FrameTokenPtr decoded = naiveFrame();
        touch(*decoded, ++i);
        FrameTokenPtr composed = naiveFrame();
        touch(*composed, i);
        FrameTokenPtr encoded = naiveFrame();
        touch(*encoded, i);
        benchmark::DoNotOptimize(decoded);
        benchmark::DoNotOptimize(composed);
        benchmark::DoNotOptimize(encoded);
    }
    state.SetItemsProcessed(state.iterations() * 3);
}

// The floor: acquire and release each take the pool mutex once, so a round trip can never be
// cheaper than this pair.
void BM_MutexPair(benchmark::State &state) {
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

// Wall time throughout: with four threads on few cores, CPU time would hide the waiting.
BENCHMARK(BM_PoolRoundTrip)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_NaiveRoundTrip)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_PoolHold3)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_NaiveHold3)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_MutexPair)->UseRealTime();

BENCHMARK_MAIN();
