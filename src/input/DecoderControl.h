#pragma once

#include "core/FrameToken.h"
#include "input/AudioSampleQueue.h"
#include "input/LiveFrameGate.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

class FramePool;

// What one FFmpegVideoDecoder shares with its worker threads: the stop flag and the wake-up,
// the playback commands, what a worker reports back, and the outlets for pictures, sound,
// errors and the natural end. Owned by the decoder; outlives every worker, since the decoder
// joins them before it goes.
//
// Threads named per field: "caller" is any thread using the decoder's API; "lifecycle" the lc:
// task running at the moment (they run one after another; starts and joins hold the decoder's
// lifecycle mutex); "worker" the dec: thread (and its rd: packet reader, which only reads
// stopRequested); "mic" the mic: thread. Fields without a mutex are atomics: each is one value,
// and no two of them are read as a consistent pair.
class DecoderControl {
public:
    using FrameCallback = std::function<void(FrameTokenPtr)>;

    DecoderControl(FramePool *framePool, std::function<void(const QString &)> errorSink,
                   std::function<void()> endSink)
        : pool(framePool), reportError(std::move(errorSink)), reportEnded(std::move(endSink)) {}
    DecoderControl(const DecoderControl &) = delete;
    DecoderControl &operator=(const DecoderControl &) = delete;

    bool stopping() const { return stopRequested.load(); }
    void requestStop() {
        stopRequested.store(true);
        wake();
    }
    // Ends every sleepUnlessWoken() now in progress.
    void wake() {
        {
            std::lock_guard lock(wakeMutex_);
            ++wakeSeq_;
        }
        wakeCv_.notify_all();
    }
    // Sleeps up to `us`, or less when a stop or a command comes in after `seenSequence` was
    // read (read it before checking the state, so that no command slips in between).
    uint64_t wakeSequence() {
        std::lock_guard lock(wakeMutex_);
        return wakeSeq_;
    }
    void sleepUnlessWoken(int64_t us, uint64_t seenSequence) {
        std::unique_lock lock(wakeMutex_);
        wakeCv_.wait_for(lock, std::chrono::microseconds(us),
                         [&] { return wakeSeq_ != seenSequence || stopRequested.load(); });
    }
    void sleepUs(int64_t us) { sleepUnlessWoken(us, wakeSequence()); }

    void deliver(FrameTokenPtr token) const {
        if (frameCallback)
            frameCallback(std::move(token));
    }

    // Set before the first source (caller), then only read (lifecycle, worker, mic).
    FramePool *const pool;
    // Where thumbnails go while nobody needs whole pictures (nullptr: never).
    FramePool *thumbnailPool = nullptr;
    QString threadTag = QStringLiteral("?");
    FrameCallback frameCallback;
    // Called from worker and mic threads. The error sink drops errors once a stop was asked
    // for; the end sink queues the signal to the decoder's thread.
    const std::function<void(const QString &)> reportError;
    const std::function<void()> reportEnded;

    // Lifecycle.
    // W: caller (a stop), lifecycle (set by every join, cleared just before the workers start).
    // R: worker, mic, rd: and FFmpeg's interrupt checks, lifecycle, the error sink.
    std::atomic<bool> stopRequested{true};
    // The decode worker has not ended by itself. W: lifecycle (true before the start), worker
    // (false as it ends). R: lifecycle (choosing a running address again changes nothing).
    std::atomic<bool> workerRunning{false};

    // Playback commands.
    // W: caller, worker (the last picture at a natural end). R: caller, worker.
    std::atomic<int64_t> positionMs{0};
    // W: caller, worker (false at a natural end). R: caller, worker, mic.
    std::atomic<bool> playing{false};
    // The position of the still shown while paused. W: lifecycle (reset), worker. R: worker.
    std::atomic<int64_t> lastScrubPositionMs{-1};
    // The position last asked for. W: caller, lifecycle (reset). R: caller.
    std::atomic<int64_t> requestedPositionMs{-1};
    // Seek to positionMs. W: caller, lifecycle (set at a start). Taken (exchange) by worker.
    std::atomic<bool> resyncRequested{false};
    // W: caller. R: worker.
    std::atomic<bool> loop{false};
    // Played to the end. W: caller (cleared by commands), lifecycle (cleared), worker (set once
    // at the end). R: caller, worker.
    std::atomic<bool> ended{false};
    // Drop queued sound (a pause). W: caller. Taken by worker or mic, whichever comes first.
    std::atomic<bool> flushAudioRequested{false};
    // Pictures only feed a thumbnail: a quarter of their size will do. W: caller. R: worker.
    std::atomic<bool> thumbnailOnly{false};
    // Whole pictures are wanted again: convert the last one anew. W: caller. Taken by worker.
    std::atomic<bool> redeliverRequested{false};

    // Reported by the worker.
    // W: lifecycle (-1 before a start), worker (after the open). R: caller.
    std::atomic<int64_t> durationMs{-1};
    // W: lifecycle (false before a start), worker. R: caller.
    std::atomic<bool> live{false};

    // Sound for the audio thread (its own mutex) and the live picture gate (atomics).
    // Written by worker or mic, whichever decodes the sound; pulled by the audio thread.
    AudioSampleQueue audio;
    LiveFrameGate gate;

private:
    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
    uint64_t wakeSeq_ = 0; // guarded by wakeMutex_; bumped by stops and commands
};
