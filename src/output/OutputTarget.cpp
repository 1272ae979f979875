#include "output/OutputTarget.h"

#include "core/LibavError.h"
#include "core/PosixUtil.h"
#include "core/StreamAddressMask.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

OutputTarget::OutputTarget(std::shared_ptr<OutputShared> shared, Config config)
    : shared_(std::move(shared)), config_(std::move(config)), queue_(config_.queuePackets) {}

OutputTarget::~OutputTarget() {
    if (writer_.joinable()) {
        requestStop();
        finish(std::chrono::steady_clock::now());
    }
}

bool OutputTarget::isRtmpUrl(const QString &url) {
    for (const char *scheme : {"rtmp://", "rtmps://", "rtmpt://", "rtmpe://"})
        if (url.startsWith(QLatin1String(scheme), Qt::CaseInsensitive))
            return true;
    return false;
}

int64_t OutputTarget::reopenDelayMs(int attempts) {
    return std::min<int64_t>(int64_t(500) << std::min(attempts, 10), 90000);
}

int64_t OutputTarget::writeFailureDelayMs(int attempts) {
    return std::min<int64_t>(int64_t(400) << std::min(attempts, 8), 90000);
}

int OutputTarget::interrupt(void *opaque) {
    auto *t = static_cast<OutputTarget *>(opaque);
    if (t->aborting())
        return 1;
    const int64_t deadline = t->openDeadlineNs_.load();
    return deadline != 0 && OutputShared::steadyNowNs() > deadline ? 1 : 0;
}

bool OutputTarget::aborting() const {
    return (config_.isStream && shared_->abortIo.load()) || abortOwn_.load();
}

void OutputTarget::markFailing(int64_t now) {
    int64_t expected = 0;
    failingSinceNs_.compare_exchange_strong(expected, now);
}

void OutputTarget::noteError(const QString &text) {
    std::lock_guard lock(errorMutex_);
    lastError_ = text;
}

QString OutputTarget::lastError() const {
    std::lock_guard lock(errorMutex_);
    return lastError_;
}

QString OutputTarget::shownUrl() const {
    return StreamAddressMask::mask(QString::fromUtf8(config_.muxer.url));
}

OutputTarget::Status OutputTarget::status() const {
    Status s;
    s.url = QString::fromUtf8(config_.muxer.url);
    s.isStream = config_.isStream;
    s.open = isOpen_.load();
    s.attempts = publicAttempts_.load();
    s.written = written_.load();
    s.dropped = dropped_.load();
    s.bytes = bytes_.load();
    s.everOpen = everOpen_.load();
    s.reconnecting = reconnecting_.load();
    s.liveSinceMs = s.open ? liveSinceMs_.load() : 0;
    s.failingSinceNs = failingSinceNs_.load();
    s.lastError = lastError();
    return s;
}

bool OutputTarget::open(const std::shared_ptr<const EncoderParams> &params) {
    Muxer::Options options = config_.muxer;
    options.interrupt = AVIOInterruptCB{&OutputTarget::interrupt, this};
    Muxer::Failure failure;
    if (!muxer_.open(options, params, &failure)) {
        lastOpenError_ = failure.error;
        noteError(libav::errorText(QString::fromLatin1(failure.call), failure.error));
        const QString what = QStringLiteral("FfmpegEncoderSink: %1 failed").arg(failure.call);
        if (std::strcmp(failure.call, "avio_open") != 0)
            qWarning().noquote() << libav::errorText(what, failure.error);
        else if (!aborting()) // a stop cut it short: not the output's fault
            qWarning().noquote() << libav::errorText(what, failure.error) << "url:" << shownUrl();
        return false;
    }
    liveSinceMs_.store(OutputShared::steadyNowNs() / 1'000'000);
    everOpen_.store(true);
    reconnecting_.store(false);
    isOpen_.store(true);
    return true;
}

bool OutputTarget::openNow() {
    return open(shared_->currentParams());
}

void OutputTarget::closeMuxer(bool writeTrailer) {
    if (!muxer_.isOpen())
        return;
    isOpen_.store(false);
    liveSinceMs_.store(0);
    muxer_.close(writeTrailer);
}

void OutputTarget::closeNow(bool writeTrailer) {
    closeMuxer(writeTrailer);
}

void OutputTarget::useParameters(const std::shared_ptr<const EncoderParams> &params) {
    muxer_.useParameters(params);
}

void OutputTarget::flush() {
    muxer_.flush();
}

void OutputTarget::writeNow(const AVPacket *packet, bool isVideo) {
    if (muxer_.isOpen() && av_packet_ref(scratch_.get(), packet) >= 0)
        write(scratch_.get(), isVideo);
}

// Writes one packet (a reference this call consumes) and counts the result.
int OutputTarget::write(AVPacket *packet, bool isVideo) {
    int64_t mediaMs = 0;
    const bool observed = bool(shared_->observer);
    const int64_t size = packet->size;
    const int err = muxer_.write(packet, isVideo, observed ? &mediaMs : nullptr);
    if (err >= 0 && observed)
        shared_->observer(config_.observerIndex, isVideo, mediaMs);
    if (err >= 0) {
        written_.fetch_add(1);
        bytes_.fetch_add(size);
        failingSinceNs_.store(0);
        if (config_.muxer.isRtmp)
            shared_->streamWriteSeq.store(0);
        else
            shared_->fileWriteStreak.store(0);
    } else {
        dropped_.fetch_add(1);
        handleWriteError(err);
    }
    return err;
}

void OutputTarget::handleWriteError(int err) {
    const int64_t now = shared_->now();
    markFailing(now);
    noteError(libav::errorText(QStringLiteral("write"), err));
    if (aborting()) {
        // Stopping: the failure is ours, not the peer's.
        if (config_.muxer.isRtmp)
            closeMuxer(false);
        return;
    }
    if (!config_.muxer.isRtmp) {
        const int streak = shared_->fileWriteStreak.fetch_add(1) + 1;
        if (streak <= 12 || streak % 200 == 0)
            qWarning().noquote()
                << "FfmpegEncoderSink: file mux write failed (will retry same file, streak"
                << streak << "):" << libav::errorText(err);
        return;
    }
    const int seq = shared_->streamWriteSeq.fetch_add(1) + 1;
    if (seq <= 8 || seq % 25 == 0)
        qWarning().noquote() << "FfmpegEncoderSink: stream mux write failed, will reconnect:"
                             << libav::errorText(err) << "(seq" << seq << ")";
    closeMuxer(false);
    needsReconnect_ = true;
    reconnecting_.store(true);
    nextAttemptNs_ = now + writeFailureDelayMs(attempts_) * 1'000'000;
}

void OutputTarget::flushIfDue(int64_t now) {
    const int64_t interval = (shared_->liveMode ? 80 : 250) * int64_t(1'000'000);
    if (!muxer_.isOpen() || now - lastFlushNs_ < interval)
        return;
    lastFlushNs_ = now;
    muxer_.flush();
}

void OutputTarget::enqueue(const AVPacket *packet, bool isVideo) {
    if (!isOpen_.load()) {
        dropped_.fetch_add(1);
        return;
    }
    std::unique_lock lock(mutex_);
    if (queue_.full()) {
        // The writer is stuck: let its backlog go and restart it at a keyframe rather than
        // hold up the encoding thread or grow without bound.
        dropped_.fetch_add(queue_.drain());
        resyncRequested_ = true;
        shared_->keyframeWanted.store(true);
        const int64_t n = shared_->now();
        if (n - lastCongestionLogNs_ > 5'000'000'000) {
            lastCongestionLogNs_ = n;
            qWarning().noquote() << "FfmpegEncoderSink: stream output falling behind, "
                                    "dropping to the next keyframe url:"
                                 << shownUrl();
        }
    }
    if (!queue_.push(packet, isVideo)) {
        dropped_.fetch_add(1);
        return;
    }
    lock.unlock();
    wake_.notify_one();
}

void OutputTarget::startWriter() {
    writer_ = std::thread([this] { writerLoop(); });
}

void OutputTarget::requestStop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_all();
}

void OutputTarget::finish(std::chrono::steady_clock::time_point deadline) {
    if (!writer_.joinable())
        return;
    // A writer stuck on a peer that stopped reading gets until the deadline, then its I/O is
    // cut.
    {
        std::unique_lock lock(mutex_);
        if (!wake_.wait_until(lock, deadline, [&] { return finished_; }))
            abortOwn_.store(true);
    }
    wake_.notify_all();
    writer_.join();
}

// Opens a closed stream; on failure the next attempt waits longer. Writer thread, unlocked.
void OutputTarget::reopen(bool &waitingForKeyframe) {
    const bool reconnecting = needsReconnect_;
    openDeadlineNs_.store(OutputShared::steadyNowNs() + config_.openTimeoutMs * 1'000'000);
    const bool ok = open(shared_->currentParams());
    openDeadlineNs_.store(0);
    const int64_t after = shared_->now();
    if (ok) {
        attempts_ = 0;
        needsReconnect_ = false;
        waitingForKeyframe = true;
        shared_->keyframeWanted.store(true);
        if (reconnecting) {
            const int n = shared_->reconnectCount.fetch_add(1) + 1;
            if (n <= 5 || n % 20 == 0)
                qInfo().noquote() << "FfmpegEncoderSink: stream mux reconnected (n=" << n << ")";
        }
    } else {
        markFailing(after);
        ++attempts_;
        needsReconnect_ = true;
        reconnecting_.store(true);
        const int64_t delay = reopenDelayMs(attempts_);
        nextAttemptNs_ = after + delay * 1'000'000;
        if ((attempts_ == 1 || attempts_ % 64 == 0) && !aborting())
            qWarning().noquote() << "FfmpegEncoderSink: RTMP mux reopen failed, attempt"
                                 << attempts_ << "next in" << delay
                                 << "ms:" << libav::errorText(lastOpenError_)
                                 << "url:" << shownUrl();
    }
    publicAttempts_.store(attempts_);
}

void OutputTarget::writerLoop() {
    setCurrentThreadName(QByteArray("mux:" + QByteArray::number(config_.index)).constData());
    libav::Packet packet(av_packet_alloc());
    bool waitingForKeyframe = true;
    const auto startsHere = [&](const AVPacket *p, bool isVideo) {
        return !waitingForKeyframe || (isVideo && (p->flags & AV_PKT_FLAG_KEY));
    };
    std::unique_lock lock(mutex_);
    while (!stopRequested_) {
        if (!muxer_.isOpen()) {
            // Closed: open now if due, else sleep until the attempt or a stop.
            const int64_t now = shared_->now();
            if (now < nextAttemptNs_) {
                wake_.wait_for(lock, std::chrono::nanoseconds(
                                         std::min<int64_t>(nextAttemptNs_ - now, 100'000'000)));
                continue;
            }
            lock.unlock();
            reopen(waitingForKeyframe);
            lock.lock();
            // What was queued while closed is stale: the output starts at a keyframe.
            queue_.drain();
            continue;
        }
        bool isVideo = false;
        if (!queue_.pop(packet.get(), isVideo)) {
            wake_.wait(lock, [&] { return stopRequested_ || queue_.size() > 0; });
            continue;
        }
        if (resyncRequested_) {
            resyncRequested_ = false;
            waitingForKeyframe = true;
        }
        lock.unlock();

        if (!startsHere(packet.get(), isVideo)) {
            av_packet_unref(packet.get());
            dropped_.fetch_add(1);
        } else {
            waitingForKeyframe = false;
            // A new video size brings new parameters; the muxer carries on with them.
            muxer_.useParameters(shared_->currentParams());
            write(packet.get(), isVideo);
            flushIfDue(shared_->now());
        }
        lock.lock();
    }
    // Stopping: what is still queued goes out (unless the output is being cut off), then the
    // trailer.
    queue_.drain([&](AVPacket *p, bool isVideo) {
        lock.unlock();
        if (muxer_.isOpen() && !aborting() && startsHere(p, isVideo)) {
            waitingForKeyframe = false;
            write(p, isVideo);
        }
        lock.lock();
    });
    lock.unlock();
    closeMuxer(!aborting());
    lock.lock();
    finished_ = true;
    lock.unlock();
    wake_.notify_all();
}
