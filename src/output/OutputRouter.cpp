#include "output/OutputRouter.h"

#include "core/PosixUtil.h"
#include "core/StreamAddressMask.h"
#include "output/FfmpegEncoderSink.h"
#include "output/ProgramAudioSource.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

// Whether a file can be created where the recording goes (the folder is made if missing).
bool destinationWritable(const QString &path) {
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir))
        return false;
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral("quorvi_out_XXXXXX.tmp")));
    probe.setAutoRemove(true);
    return probe.open();
}

} // namespace

OutputRouter::OutputRouter() = default;

OutputRouter::~OutputRouter() {
    stop();
    // Teardown: the recordings are finished before anything they use goes.
    waitClosed(-1);
}

void OutputRouter::setOutputFile(const QString &path) {
    filePath_ = path;
}
void OutputRouter::setStreamTargets(const std::vector<StreamTarget> &targets) {
    streamTargets_ = targets;
}
void OutputRouter::setFrameRate(double fps) {
    if (fps > 0.1)
        frameRate_ = fps;
}
void OutputRouter::setOutputSize(int width, int height) {
    outputWidth_ = std::max(width, 0);
    outputHeight_ = std::max(height, 0);
}
void OutputRouter::setTransportFailedCallback(std::function<void()> callback) {
    transportFailedCallback_ = std::move(callback);
}
void OutputRouter::setAudioMixer(ProgramAudioSource *mixer) {
    if (mixer_ && mixer_ != mixer && running_) {
        mixer_->setProgramCaptureEnabled(false);
        mixer_->clearProgramQueue();
    }
    mixer_ = mixer;
    std::lock_guard lock(mixerLink_->mutex); // waits for a pull in progress
    mixerLink_->mixer = mixer;
}
void OutputRouter::setSinkFactory(SinkFactory factory) {
    sinkFactory_ = std::move(factory);
}
void OutputRouter::setRunClosedCallback(std::function<void()> callback) {
    runClosedCallback_ = std::move(callback);
}

bool OutputRouter::start() {
    stop(); // one run at a time: the previous one closes on its own while this one begins

    QString file = filePath_.trimmed();
    if (file.isEmpty() && streamTargets_.empty())
        return false;
    QString missingFile;
    if (!file.isEmpty() && !destinationWritable(file)) {
        qWarning() << "OutputRouter: output directory not writable or cannot be created:"
                   << StreamAddressMask::mask(file);
        if (streamTargets_.empty())
            return false;
        qWarning() << "OutputRouter: the recording is missing, only the streams run:"
                   << StreamAddressMask::mask(file);
        missingFile = file;
        file.clear();
    }

    std::shared_ptr<FfmpegEncoderSink> sink =
        sinkFactory_ ? sinkFactory_() : std::make_shared<FfmpegEncoderSink>();
    if (!sink || !sink->configure(file, streamTargets_, frameRate_))
        return false;
    if (!missingFile.isEmpty())
        sink->markFileMissing(missingFile,
                              QStringLiteral("the folder is not writable or cannot be created"));
    sink->setOutputSize(outputWidth_, outputHeight_);
    auto state = std::make_shared<EncodeWorkerState>();
    if (mixer_) {
        // The run is the sink's owner and outlives this callback; once stop() has cut the
        // run's sound (under the same lock) it never pulls again.
        sink->setAudioPullCallback(
            [link = mixerLink_, run = state.get()](int16_t *out, int frames) {
                std::lock_guard lock(link->mutex);
                if (link->mixer && !run->soundCut)
                    link->mixer->pullProgramAudio(out, frames);
                else
                    std::memset(out, 0, size_t(frames) * 2 * sizeof(int16_t));
            });
    }
    if (transportFailedCallback_)
        sink->setTransportFailedCallback([callback = transportFailedCallback_] { callback(); });

    state->sink = std::move(sink);
    state->onClosed = runClosedCallback_;
    state_ = state;
    worker_ = std::thread([state] { workerLoop(state); });
    running_ = true;
    if (mixer_)
        mixer_->setProgramCaptureEnabled(true);
    return true;
}

void OutputRouter::stop() {
    reapClosed();
    if (mixer_) {
        mixer_->setProgramCaptureEnabled(false);
        mixer_->clearProgramQueue();
    }
    running_ = false;
    endRun();
}

void OutputRouter::endRun() {
    std::shared_ptr<EncodeWorkerState> state = std::move(state_);
    if (state) {
        if (state->sink)
            state->sink->requestAbort();
        std::array<FrameTokenPtr, kQueueFrames> dropped; // released outside the lock
        {
            std::lock_guard lock(state->mutex);
            state->stop = true;
            dropped.swap(state->queue);
            state->head = state->count = 0;
        }
        state->wake.notify_all();
        {
            std::lock_guard lock(mixerLink_->mutex); // waits for a pull in progress
            state->soundCut = true;
        }
        closing_.push_back({std::move(state), std::move(worker_)});
    }
}

void OutputRouter::reapClosed() {
    for (auto it = closing_.begin(); it != closing_.end();) {
        if (it->state->done.load()) {
            if (it->worker.joinable())
                it->worker.join(); // it has only to return
            it = closing_.erase(it);
        } else {
            ++it;
        }
    }
}

bool OutputRouter::isClosing() const {
    return std::any_of(closing_.begin(), closing_.end(),
                       [](const Run &run) { return !run.state->done.load(); });
}

bool OutputRouter::waitClosed(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool all = true;
    for (Run &run : closing_) {
        EncodeWorkerState &state = *run.state;
        std::unique_lock lock(state.mutex);
        if (timeoutMs < 0)
            state.wake.wait(lock, [&] { return state.closed; });
        else if (!state.wake.wait_until(lock, deadline, [&] { return state.closed; }))
            all = false;
    }
    reapClosed();
    return all;
}

OutputRunStatus OutputRouter::status() {
    reapClosed();
    const std::shared_ptr<EncodeWorkerState> shown =
        state_ ? state_ : (closing_.empty() ? nullptr : closing_.back().state);
    OutputRunStatus s;
    if (shown && shown->sink)
        s = shown->sink->runStatus();
    s.running = running_;
    s.closing = isClosing();
    s.takenAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    return s;
}

void OutputRouter::pushFrame(FrameTokenPtr frame) {
    if (!running_ || !frame)
        return;
    const std::shared_ptr<EncodeWorkerState> state = state_;
    if (!state || !state->sink)
        return;
    FrameTokenPtr replaced; // released outside the lock
    {
        std::lock_guard lock(state->mutex);
        auto newest = [&]() -> FrameTokenPtr & {
            return state->queue[size_t((state->head + state->count - 1) % kQueueFrames)];
        };
        if (state->count > 0 && newest()->ptsUs == frame->ptsUs) {
            replaced = std::move(newest());
            --state->count;
        }
        if (state->count >= kQueueFrames) {
            replaced = std::move(newest());
            --state->count;
        }
        state->queue[size_t((state->head + state->count) % kQueueFrames)] = std::move(frame);
        ++state->count;
    }
    state->wake.notify_one();
}

void OutputRouter::resync() {
    const std::shared_ptr<EncodeWorkerState> state = state_;
    if (!state)
        return;
    std::array<FrameTokenPtr, kQueueFrames> dropped;
    std::lock_guard lock(state->mutex);
    while (state->count > 1) {
        dropped[size_t(state->count - 1)] = std::move(state->queue[size_t(state->head)]);
        state->head = (state->head + 1) % kQueueFrames;
        --state->count;
    }
}

int OutputRouter::queuedFrames() const {
    const std::shared_ptr<EncodeWorkerState> state = state_;
    if (!state)
        return 0;
    std::lock_guard lock(state->mutex);
    return state->count;
}

void OutputRouter::workerLoop(std::shared_ptr<EncodeWorkerState> state) {
    setCurrentThreadName("enc");
    for (;;) {
        FrameTokenPtr frame;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stop || state->count > 0; });
            if (state->stop && state->count == 0)
                break;
            frame = std::move(state->queue[size_t(state->head)]);
            state->head = (state->head + 1) % kQueueFrames;
            --state->count;
        }
        state->sink->writeFrame(frame, nullptr, 0);
    }
    state->sink->close();
    if (state->onClosed)
        state->onClosed();
    {
        std::lock_guard lock(state->mutex);
        state->closed = true;
        state->done.store(true);
    }
    state->wake.notify_all();
}
