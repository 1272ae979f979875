#include "input/FFmpegVideoDecoder.h"

#include "core/PosixUtil.h"
#include "core/StreamAddressMask.h"
#include "input/DecodeWorker.h"
#include "input/ScreenCapture.h"
#include "input/SourceAddress.h"

#include <QMetaObject>

#include <system_error>

namespace {

// A network address may carry a key or a token; files and capture devices are shown as they are.
QString forLog(const QString &address) {
    return SourceAddress::kindOf(address) == SourceAddress::Kind::Network
               ? StreamAddressMask::mask(address)
               : address;
}

} // namespace

FFmpegVideoDecoder::FFmpegVideoDecoder(FramePool *pool, QObject *parent)
    : QObject(parent), control_(
                           pool, [this](const QString &message) { emitError(message); },
                           [this] { emitEndedQueued(); }),
      microphone_(control_) {}

FFmpegVideoDecoder::~FFmpegVideoDecoder() {
    waitForLifecycle();
    joinWorkers();
}

void FFmpegVideoDecoder::setThreadTag(const QString &tag) {
    control_.threadTag = tag;
}

void FFmpegVideoDecoder::setFrameCallback(FrameCallback callback) {
    control_.frameCallback = std::move(callback);
}

void FFmpegVideoDecoder::setThumbnailPool(FramePool *pool) {
    control_.thumbnailPool = pool;
}

void FFmpegVideoDecoder::setThumbnailOnly(bool only) {
    if (control_.thumbnailOnly.exchange(only) && !only) {
        control_.redeliverRequested.store(true);
        control_.wake();
    }
}

void FFmpegVideoDecoder::redeliverLast() {
    control_.redeliverRequested.store(true);
    control_.wake();
}

void FFmpegVideoDecoder::setAudioClock(std::shared_ptr<AudioClock> clock) {
    control_.gate.setAudioClock(std::move(clock));
}

QString FFmpegVideoDecoder::source() const {
    std::lock_guard lock(sourceMutex_);
    return source_;
}

void FFmpegVideoDecoder::setSource(const QString &address) {
    std::lock_guard lock(lifecycle_.pendingMutex);
    lifecycle_.sourceGeneration.fetch_add(1);
    enqueueLifecycleLocked([this, address] { changeSource(address); });
}

void FFmpegVideoDecoder::stop() {
    enqueueLifecycle([this] { joinWorkers(); });
}

void FFmpegVideoDecoder::stopAndJoin() {
    requestStop(); // a running worker starts winding down while earlier tasks finish
    stop();
    waitForLifecycle();
}

bool FFmpegVideoDecoder::stopAndJoinIfGeneration(uint64_t generation) {
    {
        std::lock_guard lock(lifecycle_.pendingMutex);
        if (lifecycle_.sourceGeneration.load() != generation)
            return false;
        enqueueLifecycleLocked([this] { joinWorkers(); });
    }
    waitForLifecycle();
    return true;
}

void FFmpegVideoDecoder::enqueueLifecycle(std::function<void()> task) {
    std::lock_guard lock(lifecycle_.pendingMutex);
    enqueueLifecycleLocked(std::move(task));
}

void FFmpegVideoDecoder::enqueueLifecycleLocked(std::function<void()> task) {
    // Shared, not moved in: a std::async that finds no thread has already taken its callable.
    auto step = std::make_shared<std::function<void()>>(
        [previous = lifecycle_.pending, task = std::move(task)]() mutable {
            if (previous.valid())
                previous.wait();
            previous = {}; // or every task would keep the whole chain alive
            try {
                task();
            } catch (const std::exception &e) {
                qCritical("FFmpegVideoDecoder: lifecycle task failed: %s", e.what());
            }
        });
    const QByteArray name = ("lc:" + control_.threadTag).toUtf8();
    try {
        // Never the default policy: when no thread can be had it defers the task until someone
        // waits, and a source asked for would only open when the decoder is destroyed.
        lifecycle_.pending = std::async(std::launch::async, [step, name] {
                                 setCurrentThreadName(name.constData());
                                 (*step)();
                             }).share();
    } catch (const std::system_error &e) {
        qWarning("FFmpegVideoDecoder: no thread for a lifecycle task (%s); running it here",
                 e.what());
        (*step)(); // slow for the caller, but the start or stop is never lost
        std::promise<void> done;
        done.set_value();
        lifecycle_.pending = done.get_future().share();
    }
}

void FFmpegVideoDecoder::waitForLifecycle() {
    std::shared_future<void> pending;
    {
        std::lock_guard lock(lifecycle_.pendingMutex);
        pending = lifecycle_.pending;
    }
    if (pending.valid())
        pending.wait();
}

void FFmpegVideoDecoder::requestStop() {
    control_.requestStop();
}

void FFmpegVideoDecoder::requestResync() {
    control_.resyncRequested.store(true);
    control_.wake();
}

void FFmpegVideoDecoder::joinWorkers() {
    std::lock_guard lock(lifecycle_.mutex);
    control_.requestStop();
    microphone_.join();
    if (lifecycle_.decodeThread.joinable())
        lifecycle_.decodeThread.join();
}

void FFmpegVideoDecoder::setLoop(bool loop) {
    control_.loop.store(loop);
    if (loop)
        control_.ended.store(false);
}

void FFmpegVideoDecoder::setPlaybackState(int64_t positionMs, bool play) {
    const int64_t cur = control_.positionMs.load();
    const bool wasPlaying = control_.playing.load();
    int64_t pos = std::max<int64_t>(positionMs, 0);
    const int64_t clamped = pos;
    const int64_t dur = control_.durationMs.load();

    const bool fromPause = play && !wasPlaying;
    int64_t newPos = pos;
    if (fromPause && dur >= 1 && pos >= dur - 80) { // play at the very end starts over
        newPos = 0;
        pos = 0;
    }
    if (fromPause || play != wasPlaying || clamped != cur)
        control_.ended.store(false);
    control_.positionMs.store(newPos);

    bool blocked = false;
    if (play) {
        blocked = control_.ended.load() && !control_.loop.load() && dur >= 1 && pos >= dur - 80;
        if (!blocked) {
            control_.playing.store(true);
            const int64_t requested = control_.requestedPositionMs.load();
            if ((fromPause && !(std::llabs(pos - cur) < 3 && requested >= 0)) ||
                (!fromPause && requested >= 0 && std::llabs(pos - requested) > 200))
                control_.resyncRequested.store(true);
        }
    }
    if (!play || blocked) {
        control_.playing.store(false);
        if (wasPlaying)
            control_.flushAudioRequested.store(true);
    }
    control_.requestedPositionMs.store(newPos);
    control_.wake();
}

void FFmpegVideoDecoder::changeSource(const QString &address) {
    {
        std::lock_guard lock(sourceMutex_);
        // Already running this address. A worker that ended by itself (a failed open, a lost
        // stream) does not count: choosing the source again must try again.
        if (address == source_ && !control_.stopRequested.load() && control_.workerRunning.load())
            return;
    }
    control_.durationMs.store(-1);
    joinWorkers();
    control_.audio.clear(false);

    QString microphone;
    if (!address.isEmpty() && control_.pool) {
        microphone = SourceAddress::audioSourceOf(address);
        // A camera's own microphone is a device of its own here: it runs as a separate
        // microphone beside the picture.
        if (microphone.isEmpty() && SourceAddress::kindOf(address) == SourceAddress::Kind::Camera) {
            const SourceAddress::DeviceNames names = SourceAddress::deviceNames(address);
            if (!names.video.isEmpty() && !names.audio.isEmpty())
                microphone = SourceAddress::microphoneAddress(names.audio);
        }
    }
    {
        std::lock_guard lock(sourceMutex_);
        source_ = address;
        audioSource_ = microphone;
    }
    control_.gate.setGateOnAudio(false);
    control_.gate.setSyncToAudioClock(!microphone.isEmpty());
    if (address.isEmpty() || !control_.pool)
        return;

    std::lock_guard lock(lifecycle_.mutex);
    control_.lastScrubPositionMs.store(-1);
    control_.requestedPositionMs.store(-1);
    control_.ended.store(false);
    control_.live.store(false);
    control_.resyncRequested.store(true);
    control_.gate.reset();
    const uint64_t generation = ++lifecycle_.workerGeneration;
    control_.stopRequested.store(false);
    control_.workerRunning.store(true);
    lifecycle_.decodeThread = std::thread([this, generation] {
        threadFunc(generation);
        control_.workerRunning.store(false);
    });
    if (!microphone.isEmpty())
        microphone_.start(microphone);
}

void FFmpegVideoDecoder::emitError(const QString &message) {
    if (control_.stopRequested.load())
        return; // an open cut short by a stop or a new source is not the user's problem
    qWarning("FFmpegVideoDecoder: %s %s", qUtf8Printable(message),
             qUtf8Printable(forLog(source())));
    emit decodeError(message);
}

void FFmpegVideoDecoder::emitEndedQueued() {
    QMetaObject::invokeMethod(
        this, [this] { emit playbackEndedNaturally(); }, Qt::QueuedConnection);
}

void FFmpegVideoDecoder::threadFunc(uint64_t generation) {
    setCurrentThreadName(("dec:" + control_.threadTag).toUtf8().constData());
    QString source;
    QString microphone;
    {
        std::lock_guard lock(sourceMutex_);
        source = source_;
        microphone = audioSource_;
    }
    if (source.isEmpty())
        return;
    const bool explicitAudioSource = !SourceAddress::audioSourceOf(source).isEmpty();
    const QString address =
        explicitAudioSource ? SourceAddress::withoutAudioSource(source) : source;

    const SourceAddress::Kind kind = SourceAddress::kindOf(source);
    if (kind == SourceAddress::Kind::Window || kind == SourceAddress::Kind::Display) {
        ScreenCapture capture(control_);
        if (kind == SourceAddress::Kind::Window)
            capture.runLibrary(address, true);
        else if (SourceAddress::usesWindowCaptureLibrary(address))
            capture.runLibrary(address, false);
        else
            capture.runDisplay(SourceAddress::monitorIndex(address));
        return;
    }

    DecodeWorker worker(control_);
    if (!worker.open(source, address, !microphone.isEmpty()))
        return;
    qInfo("FFmpegVideoDecoder: opened generation=%llu live=%d duration_ms=%lld %s",
          static_cast<unsigned long long>(generation), int(worker.isLive()),
          static_cast<long long>(control_.durationMs.load()), qUtf8Printable(forLog(source)));
    worker.run();
}
