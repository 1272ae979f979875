#pragma once

#include "core/FrameToken.h"
#include "input/AudioSampleQueue.h"
#include "input/LiveFrameGate.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

class FramePool;

// Turns one source address into paced, pooled RGBA frames of the pool's size and into 48 kHz
// stereo sound. Files are paced to their own timeline; live inputs deliver only their newest
// picture and never wait for a token. Starting and stopping run on a chain of short-lived
// lifecycle tasks, so the caller never waits for a slow open or a join.
//
// Threads: the setters, setSource(), stop() and durationMs() from any thread (commands are
// atomic stores the worker polls). pullAudio() from the audio thread. The frame callback runs
// on the worker ("dec" thread); signals are emitted from worker threads and are meant for
// queued connections. Destroy on the owning thread; the destructor waits for the chain and
// joins every worker.
class FFmpegVideoDecoder : public QObject {
    Q_OBJECT
public:
    using FrameCallback = std::function<void(FrameTokenPtr)>;
    using AudioClock = LiveFrameGate::AudioClock;

    static constexpr int64_t kLateDropUs = 150000;        // a later file frame is dropped
    static constexpr int64_t kMaxPacingSleepUs = 2000000; // commands are seen at least this often
    static constexpr int kMaxHeldPackets = 200;

    explicit FFmpegVideoDecoder(FramePool *pool, QObject *parent = nullptr);
    ~FFmpegVideoDecoder() override;

    // A thread name suffix for the worker threads ("dec:<tag>", "rd:<tag>", "mic:<tag>");
    // before the first source.
    void setThreadTag(const QString &tag);
    void setFrameCallback(FrameCallback callback); // before the first source
    void setAudioClock(std::shared_ptr<AudioClock> clock);

    void setSource(const QString &address);
    void stop();
    // Stops after every start queued before it and returns when the worker threads have ended.
    // Not from a worker thread; quick, because blocking calls see the stop.
    void stopAndJoin();
    // stopAndJoin() only when no source was asked for since `generation` was read; true when it
    // stopped. The check and the queued stop are one step, so a new source is never stopped.
    bool stopAndJoinIfGeneration(uint64_t generation);
    // Grows with every setSource() at once (not when the worker starts), so a caller can tell
    // whether a source was asked for after it looked.
    uint64_t sourceGeneration() const { return sourceGeneration_.load(); }
    void enqueueLifecycle(std::function<void()> task);

    // Blocks until every lifecycle task queued so far has run.
    void waitForLifecycle();

    void setPlaybackState(int64_t positionMs, bool play);
    void setLoop(bool loop);
    void requestStop();
    void requestResync();

    int64_t durationMs() const { return durationMs_.load(); }
    bool isPlaying() const { return playing_.load(); }
    bool isLive() const { return live_.load(); }
    QString source() const;

    int pullAudio(float *out, int frames) { return audio_.pull(out, frames); }

signals:
    void decodeError(QString message);
    void playbackEndedNaturally();

private:
    struct Worker;     // the decode worker's FFmpeg state
    struct Microphone; // the separate microphone worker
    struct CaptureScaler;

    void enqueueLifecycleLocked(std::function<void()> task); // holds pendingLifecycleMutex_
    void changeSource(const QString &address);
    void joinWorkers();
    void threadFunc(uint64_t generation);
    void microphoneFunc();
    void emitError(const QString &message);
    // Display and window capture, on the decode worker.
    void runDisplayCapture(int monitorIndex);
    void runLibraryCapture(const QString &address, bool window);
    bool captureHousekeeping();
    void deliverCaptured(CaptureScaler &scaler, const uint8_t *pixels, int stride, int width,
                         int height, int64_t tsUs);
    void emitEndedQueued();
    // Sleeps up to `us`, or less when a stop or a command comes in after `seenSequence` was
    // read (read it before checking the state, so that no command slips in between).
    uint64_t wakeSequence();
    void sleepUnlessWoken(int64_t us, uint64_t seenSequence);
    void wake();

    FramePool *const pool_;
    QString threadTag_;

    mutable std::mutex sourceMutex_;
    QString source_;      // guarded by sourceMutex_
    QString audioSource_; // guarded by sourceMutex_

    std::mutex lifecycleMutex_; // keeps thread starts and joins apart
    std::mutex pendingLifecycleMutex_;
    std::shared_future<void> pendingLifecycle_; // guarded by pendingLifecycleMutex_

    std::atomic<bool> stopRequested_{true};
    std::atomic<bool> workerRunning_{false}; // the decode worker has not ended by itself
    std::thread decodeThread_;               // started and joined under lifecycleMutex_
    std::thread microphoneThread_;           // started and joined under lifecycleMutex_

    std::atomic<int64_t> positionMs_{0};
    std::atomic<bool> playing_{false};
    std::atomic<int64_t> lastScrubPositionMs_{-1};
    std::atomic<int64_t> requestedPositionMs_{-1};
    std::atomic<int64_t> durationMs_{-1};
    std::atomic<bool> resyncRequested_{false};
    std::atomic<bool> loop_{false};
    std::atomic<bool> ended_{false};
    std::atomic<bool> live_{false};
    std::atomic<uint64_t> sourceGeneration_{0}; // written under pendingLifecycleMutex_
    std::atomic<uint64_t> workerGeneration_{0};
    std::atomic<bool> flushAudioRequested_{false};

    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
    uint64_t wakeSeq_ = 0; // guarded by wakeMutex_; bumped by stops and commands

    FrameCallback frameCallback_; // set before the first source; read by the worker
    AudioSampleQueue audio_;
    LiveFrameGate gate_;
};
