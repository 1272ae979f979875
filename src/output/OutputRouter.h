#pragma once

#include "core/FrameToken.h"
#include "output/StreamTarget.h"

#include <QString>

#include <array>
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
// Threads: everything on the GUI thread; the worker only pops frames and drives the sink. The
// audio source is pulled on the worker; setAudioMixer() takes effect at once, even mid-run, and
// once it returns the old source is no longer touched, so it may be destroyed.
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
    // Returns promptly: blocked network I/O is interrupted, the sink closed on its worker.
    void stop();
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
        std::condition_variable wake;
        // A ring of kQueueFrames, oldest at `head`; guarded by mutex, as is `stop`.
        std::array<FrameTokenPtr, kQueueFrames> queue;
        int head = 0;
        int count = 0;
        bool stop = false;
        std::shared_ptr<FfmpegEncoderSink> sink;
    };

private:
    void endRun();
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

    bool running_ = false;
    std::shared_ptr<EncodeWorkerState> state_;
    std::thread worker_;
};
