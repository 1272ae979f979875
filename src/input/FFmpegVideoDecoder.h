#pragma once

#include "core/FrameToken.h"
#include "input/AudioSampleQueue.h"
#include "input/DecoderControl.h"
#include "input/LiveFrameGate.h"
#include "input/MicrophoneInput.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

class FramePool;

// Turns one source address into paced, pooled RGBA frames of the pool's size (or thumbnails of a
// quarter of the picture's, see setThumbnailOnly(); with a thumbnail pool, a playing picture's
// thumbnail comes apart while it is whole, see FrameToken::programOnly) and into 48 kHz stereo
// sound. Files
// are paced to their own timeline; live inputs deliver only their newest picture and never wait for
// a token. Starting and stopping run on a chain of short-lived lifecycle tasks, so the caller never
// waits for a slow open or a join.
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
    // Where thumbnails come from while setThumbnailOnly(true) holds; before the first source.
    void setThumbnailPool(FramePool *pool);
    // Pictures that only feed a thumbnail are converted at a quarter of their size when the
    // picture allows (ThumbnailConverter), which costs a fraction of a whole one. Turning it off
    // converts the last picture again at full size, so a paused input is whole at once.
    void setThumbnailOnly(bool only);
    // Sends the newest picture once more, whole and as a still (not programOnly): the program
    // has drawn on the one it had. Without a thumbnail pool there is none to send.
    void redeliverLast();
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
    uint64_t sourceGeneration() const { return lifecycle_.sourceGeneration.load(); }
    void enqueueLifecycle(std::function<void()> task);

    // Blocks until every lifecycle task queued so far has run.
    void waitForLifecycle();

    void setPlaybackState(int64_t positionMs, bool play);
    void setLoop(bool loop);
    void requestStop();
    void requestResync();

    int64_t durationMs() const { return control_.durationMs.load(); }
    bool isPlaying() const { return control_.playing.load(); }
    bool isLive() const { return control_.live.load(); }
    QString source() const;

    int pullAudio(float *out, int frames) { return control_.audio.pull(out, frames); }

signals:
    void decodeError(QString message);
    void playbackEndedNaturally();

private:
    void enqueueLifecycleLocked(std::function<void()> task); // holds lifecycle_.pendingMutex
    void changeSource(const QString &address);
    void joinWorkers();
    void threadFunc(uint64_t generation);
    void emitError(const QString &message);
    void emitEndedQueued();

    mutable std::mutex sourceMutex_;
    QString source_;      // guarded by sourceMutex_
    QString audioSource_; // guarded by sourceMutex_; the separate microphone, if any

    // Starting and stopping. Every start and stop is a task on the lc:<tag> chain: each task
    // runs on a short-lived thread of its own and first waits for the task before it, so they
    // run one at a time in the order asked, and the caller never waits for a slow open or join
    // (unless no thread can be had: then the caller runs it, rather than lose it).
    struct Lifecycle {
        // Keeps thread starts and joins apart; held by a task (or the destructor) while it
        // starts or joins workers.
        std::mutex mutex;
        // Guards `pending`, and makes setSource()'s generation step and its queued task one step.
        std::mutex pendingMutex;
        std::shared_future<void> pending; // the newest task; guarded by pendingMutex
        // Grows with every setSource(). W: caller, under pendingMutex. R: any caller
        // (sourceGeneration()); under pendingMutex in stopAndJoinIfGeneration().
        std::atomic<uint64_t> sourceGeneration{0};
        uint64_t workerGeneration = 0; // guarded by mutex; names a worker run in the log
        std::thread decodeThread;      // the dec:<tag> worker; started and joined under mutex
    } lifecycle_;

    // What the workers share with the caller (stop flag, commands, sound, gate); see there.
    DecoderControl control_;
    MicrophoneInput microphone_; // started and joined under lifecycle_.mutex
};
