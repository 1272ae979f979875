#pragma once

#include "core/FrameToken.h"
#include "output/OutputStatus.h"
#include "output/StreamTarget.h"

#include <QString>

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class FfmpegEncoderSink;
class ProgramAudioSource;

// The program output's front door: checks the destination, creates one encoder sink per run
// and feeds it the composed program frames from a bounded queue on its own thread ("enc").
//
// Queue: at most kQueueFrames frames; a frame with the same time as the newest queued one
// replaces it, and when the queue is full the newest queued frame is replaced, so a slow
// encoder keeps the order of what it has and always gets the latest picture.
//
// Stopping never waits for the encoder: stop() cuts the run's sound and network I/O and returns;
// the run flushes its encoders and writes its trailers on its own worker, then calls the
// run-closed callback there. The router keeps such closing runs and joins each at the next
// start(), stop() or status() once it has said it is done (so the join is immediate), or in
// waitClosed() and the destructor, which wait (teardown, the harness and tests). A new run may
// start while older ones still close (give it another file).
//
// Threads: everything on the GUI thread (the closing list and the run state are touched only
// there); the workers only pop frames, drive their sink and call the run-closed and transport
// callbacks. The audio source is pulled on the worker under MixerLink::mutex; setAudioMixer()
// takes effect at once, even mid-run, and once it or stop() returns the old source / the
// stopped run no longer touches the mixer, so it may be destroyed.
class OutputRouter {
public:
    static constexpr int kQueueFrames = 32;
    using SinkFactory = std::function<std::shared_ptr<FfmpegEncoderSink>()>;

    OutputRouter();
    ~OutputRouter();
    OutputRouter(const OutputRouter &) = delete;
    OutputRouter &operator=(const OutputRouter &) = delete;

    void setOutputFile(const QString &path);
    void setStreamTargets(const std::vector<StreamTarget> &targets);
    void setFrameRate(double fps);
    void setOutputSize(int width, int height);
    void setTransportFailedCallback(std::function<void()> callback);
    void setAudioMixer(ProgramAudioSource *mixer);

    // True when a run started; settings take effect here.
    bool start();
    // Returns at once: blocked network I/O is interrupted and the run's sound is cut; its sink
    // is closed on its worker, which then calls the run-closed callback.
    void stop();
    // Called on a run's worker when its sink has closed (its files are complete). Taken by
    // start() for that run.
    void setRunClosedCallback(std::function<void()> callback);
    // Whether a stopped run is still closing.
    bool isClosing() const;
    // Waits for every closing run and joins it; false when `timeoutMs` (< 0: no limit) ran out.
    bool waitClosed(int timeoutMs);
    // The running run, else the newest closing one; joins finished runs. Never waits on a sink.
    OutputRunStatus status();
    void pushFrame(FrameTokenPtr frame);
    // Drops the backlog but the newest frame (the program source changed).
    void resync();

    bool isRunning() const { return running_; }
    double frameRate() const { return frameRate_; }
    int queuedFrames() const; // diagnostics
    // Replaces how a run's sink is made (tests).
    void setSinkFactory(SinkFactory factory);

    struct EncodeWorkerState {
        std::mutex mutex;
        std::condition_variable wake; // pushes, the stop, and the end of the close
        // A ring of kQueueFrames, oldest at `head`; guarded by mutex, as are `stop` and
        // `closed`.
        std::array<FrameTokenPtr, kQueueFrames> queue;
        int head = 0;
        int count = 0;
        bool stop = false;
        bool closed = false;           // the sink has closed and the run-closed callback was called
        std::atomic<bool> done{false}; // the same as `closed`, for readers without the lock
        bool soundCut = false;         // guarded by the router's MixerLink::mutex
        std::shared_ptr<FfmpegEncoderSink> sink; // set before the worker starts
        std::function<void()> onClosed;          // set before the worker starts
    };

private:
    struct Run {
        std::shared_ptr<EncodeWorkerState> state;
        std::thread worker;
    };
    void endRun();
    void reapClosed();
    static void workerLoop(std::shared_ptr<EncodeWorkerState> state);

    QString filePath_;
    std::vector<StreamTarget> streamTargets_;
    double frameRate_ = 30.0;
    int outputWidth_ = 0;
    int outputHeight_ = 0;
    std::function<void()> transportFailedCallback_;
    // Shared with the running sink's sound pull, so that a detached mixer is never pulled again.
    struct MixerLink {
        std::mutex mutex;
        ProgramAudioSource *mixer = nullptr; // guarded by mutex
    };
    ProgramAudioSource *mixer_ = nullptr;
    const std::shared_ptr<MixerLink> mixerLink_ = std::make_shared<MixerLink>();
    SinkFactory sinkFactory_;
    std::function<void()> runClosedCallback_;

    bool running_ = false;
    std::shared_ptr<EncodeWorkerState> state_;
    std::thread worker_;
    std::vector<Run> closing_; // stopped runs, oldest first, until joined
};
