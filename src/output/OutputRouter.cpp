#include "output/OutputRouter.h"

#include "core/PosixUtil.h"
#include "output/FfmpegEncoderSink.h"
#include "output/ProgramAudioSource.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
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

bool OutputRouter::start() {
    stop(); // one run at a time: the previous one is closed before this one begins

    QString file = filePath_.trimmed();
    if (file.isEmpty() && streamTargets_.empty())
        return false;
    if (!file.isEmpty() && !destinationWritable(file)) {
        qWarning() << "OutputRouter: output directory not writable or cannot be created:" << file;
        file.clear();
        if (streamTargets_.empty())
            return false;
    }

    std::shared_ptr<FfmpegEncoderSink> sink =
        sinkFactory_ ? sinkFactory_() : std::make_shared<FfmpegEncoderSink>();
    if (!sink || !sink->configure(file, streamTargets_, frameRate_))
        return false;
    sink->setOutputSize(outputWidth_, outputHeight_);
    if (mixer_) {
        sink->setAudioPullCallback([link = mixerLink_](int16_t *out, int frames) {
            std::lock_guard lock(link->mutex);
            if (link->mixer)
                link->mixer->pullProgramAudio(out, frames);
            else
                std::memset(out, 0, size_t(frames) * 2 * sizeof(int16_t));
        });
    }
    if (transportFailedCallback_)
        sink->setTransportFailedCallback([callback = transportFailedCallback_] { callback(); });

    auto state = std::make_shared<EncodeWorkerState>();
    state->sink = std::move(sink);
    state_ = state;
    worker_ = std::thread([state] { workerLoop(state); });
    running_ = true;
    if (mixer_)
        mixer_->setProgramCaptureEnabled(true);
    return true;
}

void OutputRouter::stop() {
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
    }
    if (worker_.joinable())
        worker_.join();
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
}
