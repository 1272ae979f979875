#include "pipeline/FramePipeline.h"

#include "audio/PreviewAudioMixer.h"
#include "core/FramePool.h"
#include "input/FFmpegVideoDecoder.h"
#include "output/OutputRouter.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/VulkanCompositor.h"

#include <QMetaMethod>
#include <QPainter>
#include <QThreadPool>

#include <algorithm>
#include <cstring>

const char *const FramePipeline::kTransportFailedReason =
    "输出已停止：本地录制写入失败，或 RTMP "
    "在多次自动重连后仍无法恢复（服务器关闭、超时或网络中断）。";

void LatestFrameQueue::push(FrameTokenPtr frame) {
    if (!frame)
        return;
    FrameTokenPtr dropped; // released outside the lock
    QMutexLocker lock(&mutex_);
    newest_ = count_ == 0 ? 0 : (newest_ + 1) % frames_.size();
    dropped = std::exchange(frames_[newest_], std::move(frame));
    count_ = std::min(count_ + 1, frames_.size());
}

FrameTokenPtr LatestFrameQueue::latest() const {
    QMutexLocker lock(&mutex_);
    return count_ == 0 ? FrameTokenPtr() : frames_[newest_];
}

void LatestFrameQueue::clear() {
    std::vector<FrameTokenPtr> dropped(frames_.size());
    QMutexLocker lock(&mutex_);
    frames_.swap(dropped);
    count_ = 0;
    newest_ = 0;
}

namespace {

bool validChannel(int k) {
    return k >= 0 && k < FramePipeline::kChannels;
}

// Silence where there is no decoder.
void pullAudioFrom(FFmpegVideoDecoder *decoder, float *out, int frames) {
    if (!out || frames < 1)
        return;
    if (decoder)
        decoder->pullAudio(out, frames);
    else
        std::fill(out, out + size_t(frames) * 2, 0.0f);
}

} // namespace

FramePipeline::FramePipeline(QObject *parent)
    : QObject(parent), releaseLink_(std::make_shared<ReleaseLink>()) {
    releaseLink_->pipeline = this;
    router_ = std::make_unique<OutputRouter>();
    mainPool_ = std::make_unique<FramePool>(kMainPoolFrames, 1920, 1080);
    thumbnailPool_ = std::make_unique<FramePool>(kThumbnailPoolFrames, 480, 270);
    for (auto &queue : channelQueues_)
        queue = std::make_unique<LatestFrameQueue>(1);
    previewPool_ = std::make_unique<FramePool>(kPreviewPoolFrames, 640, 360);
    compositor_ = std::make_unique<VulkanCompositor>(mainPool_.get());

    for (int k = 0; k < kChannels; ++k) {
        auto decoder = std::make_unique<FFmpegVideoDecoder>(mainPool_.get());
        decoder->setThreadTag(QStringLiteral("ch%1").arg(k + 1));
        // Off the program until a program state says otherwise.
        decoder->setThumbnailPool(thumbnailPool_.get());
        decoder->setThumbnailOnly(true);
        decoder->setFrameCallback([this, k](FrameTokenPtr frame) { onChannelFrame(k, frame); });
        connect(decoder.get(), &FFmpegVideoDecoder::decodeError, this,
                [this, k](const QString &message) {
                    qWarning("FramePipeline: Channel %d decoder: %s", k, qUtf8Printable(message));
                    emit errorOccurred(message);
                });
        connect(
            decoder.get(), &FFmpegVideoDecoder::playbackEndedNaturally, this,
            [this, k] { emit channelPlaybackEnded(k); }, Qt::QueuedConnection);
        channelDecoders_[size_t(k)] = std::move(decoder);
    }
    for (int s = 0; s < kOverlaySlots; ++s) {
        slotMediaId_[size_t(s)].store(-1);
        auto decoder = std::make_unique<FFmpegVideoDecoder>(previewPool_.get());
        decoder->setThreadTag(QStringLiteral("ov%1").arg(s + 1));
        decoder->setFrameCallback([this, s](FrameTokenPtr frame) { onOverlayFrame(s, frame); });
        connect(decoder.get(), &FFmpegVideoDecoder::decodeError, this,
                [this, s](const QString &message) {
                    qWarning("FramePipeline: Overlay slot %d decoder: %s", s,
                             qUtf8Printable(message));
                    emit errorOccurred(message);
                });
        overlayDecoders_[size_t(s)] = std::move(decoder);
    }
}

FramePipeline::~FramePipeline() {
    if (router_) {
        router_->stop();
        // Teardown: the recording is finished while the pool its last frames came from lives.
        router_->waitClosed(-1);
        router_->setAudioMixer(nullptr);
    }
    outputMixer_ = nullptr;
    setAudioClockForChannels(nullptr);
    {
        // Waits for a release task that is joining a slot decoder right now.
        std::lock_guard lock(releaseLink_->mutex);
        releaseLink_->pipeline = nullptr;
    }
    for (int s = 0; s < kOverlaySlots; ++s) {
        slotDeferred_[size_t(s)].reset();
        disconnect(slotEndConnection_[size_t(s)]);
    }
    {
        std::lock_guard lock(overlayPreviewMutex_);
        overlayPreviews_ = {};
    }
    {
        std::lock_guard lock(previewMutex_);
        pendingPreviews_ = {};
    }
    {
        std::lock_guard lock(baseMutex_);
        pendingBase_.reset();
    }
    canvas_ = QImage();
    compositor_.reset();
    // Decoders go before the pools they draw from; their last pictures may still be queued in
    // the mailboxes above, which is why those were emptied first.
    for (auto &decoder : overlayDecoders_)
        decoder.reset();
    {
        std::lock_guard lock(overlayPreviewMutex_);
        overlayPreviews_ = {};
    }
    previewPool_.reset();
    for (auto &decoder : channelDecoders_)
        decoder.reset();
    for (auto &queue : channelQueues_)
        queue.reset();
    {
        std::lock_guard lock(previewMutex_);
        pendingPreviews_ = {};
    }
    {
        std::lock_guard lock(baseMutex_);
        pendingBase_.reset();
    }
    thumbnailPool_.reset();
    mainPool_.reset();
    router_.reset();
}

FFmpegVideoDecoder *FramePipeline::channelDecoder(int channel) const {
    return validChannel(channel) ? channelDecoders_[size_t(channel)].get() : nullptr;
}

FFmpegVideoDecoder *FramePipeline::overlayDecoder(int slot) const {
    return slot >= 0 && slot < kOverlaySlots ? overlayDecoders_[size_t(slot)].get() : nullptr;
}

FrameTokenPtr FramePipeline::latestChannelFrame(int channel) const {
    return validChannel(channel) && channelQueues_[size_t(channel)]
               ? channelQueues_[size_t(channel)]->latest()
               : FrameTokenPtr();
}

bool FramePipeline::overlayReleasePending(int slot) const {
    return slot >= 0 && slot < kOverlaySlots && slotUnregisterPending_[size_t(slot)];
}

// ---- channels ----

void FramePipeline::setChannelSources(const QString &ch1, const QString &ch2, const QString &ch3,
                                      const QString &ch4) {
    const std::array<QString, kChannels> sources{ch1, ch2, ch3, ch4};
    for (int k = 0; k < kChannels; ++k) {
        const QString &address = sources[size_t(k)];
        if (address == channelSources_[size_t(k)])
            continue;
        channelSources_[size_t(k)] = address;
        FFmpegVideoDecoder *decoder = channelDecoders_[size_t(k)].get();
        if (address.isEmpty()) {
            {
                // From here on the winding-down worker's pictures are dropped on arrival, so
                // none of the old source stays behind, without waiting for the join here.
                std::lock_guard lock(previewMutex_);
                channelEmptied_[size_t(k)] = true;
                channelQueues_[size_t(k)]->clear();
                pendingPreviews_[size_t(k)].reset();
                if (k == baseChannel_.load()) {
                    std::lock_guard baseLock(baseMutex_);
                    pendingBase_.reset(); // its flush finds nothing and clears the flag
                }
            }
            if (decoder) {
                // The worker is joined and its sound dropped on the decoder's own lifecycle
                // thread: the GUI thread composes the program and must not wait for it.
                decoder->requestStop();
                decoder->setSource(QString());
            }
        } else {
            {
                std::lock_guard lock(previewMutex_);
                channelEmptied_[size_t(k)] = false;
            }
            if (decoder)
                decoder->setSource(address);
        }
    }
}

void FramePipeline::setProgramState(const ProgramState &state, OverlayManager *overlays) {
    state_ = state;
    overlays_.store(overlays);
    if (router_)
        router_->setFrameRate(state.frameRate);
    const int v = state.programSource;
    const int base = v >= 1 && v <= kChannels ? v - 1 : -1;
    if (base == baseChannel_.load())
        return;
    {
        // Under the lock frame arrival holds from its base check to its hand-over: a picture of
        // the old base still waiting for its flush is dropped, or it would follow the new
        // base's first picture onto the program.
        std::lock_guard lock(previewMutex_);
        baseChannel_.store(base);
        std::lock_guard baseLock(baseMutex_);
        pendingBase_.reset(); // its flush finds nothing and clears the flag
    }
    // After the switch, so the new base's picture sent again whole finds itself on the program.
    for (int k = 0; k < kChannels; ++k)
        channelDecoders_[size_t(k)]->setThumbnailOnly(k != base);
}

void FramePipeline::setChannelPlayback(int channel, int64_t positionMs, bool playing) {
    if (FFmpegVideoDecoder *decoder = channelDecoder(channel))
        decoder->setPlaybackState(positionMs, playing);
}

void FramePipeline::setChannelLoop(int channel, bool loop) {
    if (FFmpegVideoDecoder *decoder = channelDecoder(channel))
        decoder->setLoop(loop);
}

int64_t FramePipeline::channelDurationMs(int channel) const {
    const FFmpegVideoDecoder *decoder = channelDecoder(channel);
    return decoder ? decoder->durationMs() : -1;
}

void FramePipeline::pullChannelAudio(int channel, float *out, int frames) {
    pullAudioFrom(channelDecoder(channel), out, frames);
}

void FramePipeline::pullOverlayAudio(int slot, float *out, int frames) {
    pullAudioFrom(overlayDecoder(slot), out, frames);
}

// ---- frame arrival and the mailboxes ----

void FramePipeline::onChannelFrame(int k, FrameTokenPtr frame) {
    if (!validChannel(k) || !frame)
        return;
    // One lock for the check and every hand-over, so a channel emptied meanwhile keeps none.
    std::lock_guard lock(previewMutex_);
    if (channelEmptied_[size_t(k)])
        return;
    const bool onProgram = k == baseChannel_.load();
    const bool thumbnail = thumbnailPool_->owns(frame);
    if (!onProgram)
        frame->programOnly = false; // the base moved on: a thumbnail after all, never drawn on
    // The program's thumbnails (or a picture converted before the channel went on the
    // program, sent whole right after) are no base to redraw.
    if (!(onProgram && thumbnail))
        channelQueues_[size_t(k)]->push(frame);
    if (!frame->programOnly) {
        pendingPreviews_[size_t(k)] = frame;
        if (!previewFlushQueued_.exchange(true))
            QMetaObject::invokeMethod(this, "flushChannelPreviewQueue", Qt::QueuedConnection);
    }
    if (!onProgram || thumbnail)
        return;
    bool wasQueued;
    {
        std::lock_guard baseLock(baseMutex_);
        pendingBase_ = std::move(frame);
        wasQueued = baseFlushQueued_.exchange(true);
    }
    if (!wasQueued)
        QMetaObject::invokeMethod(this, "flushDecodedFrameQueue", Qt::QueuedConnection);
}

void FramePipeline::flushChannelPreviewQueue() {
    std::array<FrameTokenPtr, kChannels> frames;
    {
        std::lock_guard lock(previewMutex_);
        frames.swap(pendingPreviews_);
        previewFlushQueued_.store(false);
    }
    for (int k = 0; k < kChannels; ++k)
        if (frames[size_t(k)])
            emit channelFrameReady(k, frames[size_t(k)]);
    std::lock_guard lock(previewMutex_);
    const bool more = std::any_of(pendingPreviews_.begin(), pendingPreviews_.end(),
                                  [](const FrameTokenPtr &f) { return bool(f); });
    if (more && !previewFlushQueued_.exchange(true))
        QMetaObject::invokeMethod(this, "flushChannelPreviewQueue", Qt::QueuedConnection);
}

void FramePipeline::flushDecodedFrameQueue() {
    FrameTokenPtr frame;
    {
        std::lock_guard lock(baseMutex_);
        frame = std::move(pendingBase_);
        pendingBase_.reset();
        if (!frame) {
            baseFlushQueued_.store(false);
            return;
        }
    }
    onBaseFrameDecoded(frame);
    frame.reset();
    {
        std::lock_guard lock(baseMutex_);
        if (!pendingBase_) {
            baseFlushQueued_.store(false);
            return;
        }
    }
    QMetaObject::invokeMethod(this, "flushDecodedFrameQueue", Qt::QueuedConnection);
}

void FramePipeline::onBaseFrameDecoded(FrameTokenPtr frame) {
    if (!frame)
        return;
    emit baseFrameReady(frame);
    composeAndSend(frame);
}

void FramePipeline::composeAndSend(const FrameTokenPtr &base) {
    FrameTokenPtr program = compositor_->compose(overlays_.load(), base);
    if (program)
        send(program);
}

void FramePipeline::send(const FrameTokenPtr &program) {
    // Shared from here on (the encoder may be reading it): a redraw draws on a copy.
    program->programOnly = false;
    lastProgram_ = program;
    router_->pushFrame(program);
    emit programFrameReady(program);
}

void FramePipeline::recomposeFromLatestBase() {
    const int k = baseChannel_.load();
    if (!compositor_ || !router_ || !overlays_.load() || !validChannel(k))
        return;
    FrameTokenPtr frame = channelQueues_[size_t(k)]->latest();
    if (!frame || !frame->hasPicture() || thumbnailPool_->owns(frame))
        return;
    if (frame->painted) {
        // The overlays are drawn on it: the decoder sends the channel's own picture again (as
        // a still, kept clean), and until then the program picture it made goes out again.
        channelDecoders_[size_t(k)]->redeliverLast();
        if (frame == lastProgram_.lock())
            send(frame);
        return;
    }
    composeAndSend(frame);
}

void FramePipeline::composeBlankBase(int64_t positionMs) {
    if (!compositor_ || !mainPool_ || mainPool_->width() < 1 || mainPool_->height() < 1)
        return;
    const int w = mainPool_->width();
    const int h = mainPool_->height();
    FrameTokenPtr frame = mainPool_->acquire();
    const qsizetype bytes = qsizetype(w) * h * 4;
    if (frame->data.size() < bytes)
        frame->data.resize(bytes);
    std::memset(frame->data.data(), 0, size_t(bytes)); // data() detaches a shared buffer
    frame->stride = w * 4;
    frame->ptsUs = positionMs * 1000;
    frame->width = w;
    frame->height = h;
    frame->valid = true;
    frame->programOnly = true;
    composeAndSend(frame);
}

void FramePipeline::submitImageBase(const QImage &image, int64_t ptsUs) {
    if (!compositor_ || !mainPool_ || image.isNull())
        return;
    const int w = mainPool_->width();
    const int h = mainPool_->height();
    if (w < 1 || h < 1)
        return;
    if (canvas_.size() != QSize(w, h) || canvas_.format() != QImage::Format_RGBA8888)
        canvas_ = QImage(w, h, QImage::Format_RGBA8888);
    canvas_.fill(Qt::black);
    if (image.width() < 1 || image.height() < 1)
        return;
    const QSize scaled = image.size().scaled(canvas_.size(), Qt::KeepAspectRatio);
    {
        QPainter painter(&canvas_);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        painter.drawImage(
            QRect(QPoint((w - scaled.width()) / 2, (h - scaled.height()) / 2), scaled), image);
    }
    FrameTokenPtr frame = mainPool_->acquire();
    const qsizetype bpl = canvas_.bytesPerLine();
    const qsizetype bytes = bpl * h;
    if (frame->data.size() < bytes)
        frame->data.resize(bytes);
    uchar *dst = reinterpret_cast<uchar *>(frame->data.data());
    if (bpl == qsizetype(w) * 4) {
        std::memcpy(dst, canvas_.constBits(), size_t(bytes));
    } else {
        for (int y = 0; y < h; ++y)
            std::memcpy(dst + y * bpl, canvas_.constScanLine(y), size_t(w) * 4);
    }
    frame->width = w;
    frame->height = h;
    frame->stride = int(bpl);
    frame->valid = true;
    frame->ptsUs = ptsUs;
    frame->programOnly = true;
    composeAndSend(frame);
}

void FramePipeline::submitImageBaseMs(const QImage &image, int64_t positionMs) {
    submitImageBase(image, positionMs * 1000);
}

// ---- output ----

void FramePipeline::setOutputFile(const QString &path) {
    router_->setOutputFile(path);
}

void FramePipeline::setStreamTargets(const std::vector<StreamTarget> &targets) {
    router_->setStreamTargets(targets);
}

void FramePipeline::setOutputSize(int width, int height) {
    router_->setOutputSize(width, height);
}

bool FramePipeline::startOutputs() {
    // Both are called on the encoder's threads, which the router joins before `this` goes; a
    // call still queued then is dropped with the object. A failure reported by a run that has
    // since been stopped (and maybe replaced) stops nothing.
    const uint64_t run = ++outputRun_;
    router_->setTransportFailedCallback([this, run] {
        QMetaObject::invokeMethod(
            this,
            [this, run] {
                if (run == outputRun_ && isOutputRunning())
                    onEncodeTransportFailed();
            },
            Qt::QueuedConnection);
    });
    router_->setRunClosedCallback([this] {
        QMetaObject::invokeMethod(this, &FramePipeline::outputClosed, Qt::QueuedConnection);
    });
    return router_->start();
}

void FramePipeline::stopOutputs() {
    router_->stop();
}

bool FramePipeline::isOutputClosing() const {
    return router_ && router_->isClosing();
}

bool FramePipeline::waitOutputsClosed(int timeoutMs) {
    return !router_ || router_->waitClosed(timeoutMs);
}

OutputRunStatus FramePipeline::outputStatus() const {
    return router_ ? router_->status() : OutputRunStatus{};
}

bool FramePipeline::isOutputRunning() const {
    return router_ && router_->isRunning();
}

void FramePipeline::resyncOutputs() {
    if (router_ && router_->isRunning())
        router_->resync();
}

double FramePipeline::outputFrameRate() const {
    return router_ ? router_->frameRate() : 30.0;
}

void FramePipeline::onEncodeTransportFailed() {
    router_->stop();
    emit programOutputTransportFailed(QString::fromUtf8(kTransportFailedReason));
}

void FramePipeline::setPreviewAudioMixerForOutput(PreviewAudioMixer *mixer) {
    outputMixer_ = mixer;
    router_->setAudioMixer(mixer);
    setAudioClockForChannels(mixer);
}

void FramePipeline::setAudioClockForChannels(PreviewAudioMixer *mixer) {
    std::shared_ptr<FFmpegVideoDecoder::AudioClock> clock;
    if (mixer) {
        // A weak reference: a decoder asking after the mixer died reads 0, never freed memory.
        clock = std::make_shared<FFmpegVideoDecoder::AudioClock>(
            [weak = mixer->playbackClock()]() -> int64_t {
                const auto counter = weak.lock();
                return counter ? counter->load() : 0;
            });
    }
    for (auto &decoder : channelDecoders_)
        if (decoder)
            decoder->setAudioClock(clock);
}

void FramePipeline::onOutputMixerGone(QObject *object) {
    if (!object || object != static_cast<QObject *>(outputMixer_))
        return;
    router_->stop();
    outputMixer_ = nullptr;
    router_->setAudioMixer(nullptr);
    setAudioClockForChannels(nullptr);
}

// ---- overlay video slots ----

int FramePipeline::overlaySlotOf(int mediaId) const {
    if (mediaId < 0)
        return -1;
    for (int s = 0; s < kOverlaySlots; ++s)
        if (slotMediaId_[size_t(s)].load() == mediaId)
            return s;
    return -1;
}

void FramePipeline::registerOverlayVideo(int mediaId, const QString &path) {
    if (mediaId < 0 || path.isEmpty() || !previewPool_)
        return;
    if (const int bound = overlaySlotOf(mediaId); bound >= 0) {
        if (slotUnregisterPending_[size_t(bound)]) {
            slotDeferred_[size_t(bound)] = std::make_pair(mediaId, path);
            return;
        }
        if (slotPath_[size_t(bound)] == path)
            return;
        unregisterOverlayVideo(mediaId);
    }
    int k = -1;
    for (int s = 0; s < kOverlaySlots && k < 0; ++s)
        if (slotMediaId_[size_t(s)].load() == -1)
            k = s;
    if (k < 0) {
        qWarning("FramePipeline: overlay video slots full (max 4)");
        return;
    }
    slotMediaId_[size_t(k)].store(mediaId);
    slotPath_[size_t(k)] = path;
    if (slotEndConnection_[size_t(k)])
        disconnect(slotEndConnection_[size_t(k)]);
    slotEndConnection_[size_t(k)] = {};
    FFmpegVideoDecoder *decoder = overlayDecoders_[size_t(k)].get();
    decoder->setSource(path);
    slotEndConnection_[size_t(k)] = connect(
        decoder, &FFmpegVideoDecoder::playbackEndedNaturally, this,
        [this, mediaId] { emit overlayPlaybackFinished(mediaId); }, Qt::QueuedConnection);
}

void FramePipeline::unregisterOverlayVideo(int mediaId) {
    const int k = overlaySlotOf(mediaId);
    if (k < 0)
        return;
    disconnect(slotEndConnection_[size_t(k)]);
    slotEndConnection_[size_t(k)] = {};
    overlayDecoders_[size_t(k)]->stopAndJoin();
    slotMediaId_[size_t(k)].store(-1);
    slotPath_[size_t(k)].clear();
    slotUnregisterPending_[size_t(k)] = false;
    slotDeferred_[size_t(k)].reset();
    if (OverlayManager *overlays = overlays_.load())
        overlays->removeVideoOverlayFrame(mediaId);
}

void FramePipeline::runUnregisterOverlayVideoAsync(int mediaId) {
    const int k = overlaySlotOf(mediaId);
    if (k < 0)
        return;
    disconnect(slotEndConnection_[size_t(k)]);
    slotEndConnection_[size_t(k)] = {};
    slotUnregisterPending_[size_t(k)] = true;
    FFmpegVideoDecoder *decoder = overlayDecoders_[size_t(k)].get();
    const uint64_t generation = decoder->sourceGeneration();
    decoder->requestStop();
    QThreadPool::globalInstance()->start([link = releaseLink_, k, mediaId, generation] {
        std::lock_guard lock(link->mutex);
        FramePipeline *pipeline = link->pipeline;
        if (!pipeline)
            return;
        if (FFmpegVideoDecoder *d = pipeline->overlayDecoders_[size_t(k)].get())
            d->stopAndJoinIfGeneration(generation);
        QMetaObject::invokeMethod(pipeline, "finishOverlayAsyncUnregisterSlot",
                                  Qt::QueuedConnection, Q_ARG(int, k), Q_ARG(int, mediaId),
                                  Q_ARG(quint64, quint64(generation)));
    });
}

void FramePipeline::finishOverlayAsyncUnregisterSlot(int slot, int mediaId, quint64 genAtCancel) {
    if (slot < 0 || slot >= kOverlaySlots)
        return;
    const size_t k = size_t(slot);
    FFmpegVideoDecoder *decoder = overlayDecoders_[k].get();
    if (decoder && slotMediaId_[k].load() == mediaId &&
        decoder->sourceGeneration() == genAtCancel) {
        slotMediaId_[k].store(-1);
        slotPath_[k].clear();
        slotUnregisterPending_[k] = false;
        if (OverlayManager *overlays = overlays_.load())
            overlays->removeVideoOverlayFrame(mediaId);
        if (auto deferred = std::exchange(slotDeferred_[k], std::nullopt))
            registerOverlayVideo(deferred->first, deferred->second);
        return;
    }
    slotUnregisterPending_[k] = false;
    slotDeferred_[k].reset();
}

void FramePipeline::setOverlayPlayback(int mediaId, int64_t positionMs, bool playing) {
    if (const int k = overlaySlotOf(mediaId); k >= 0)
        overlayDecoders_[size_t(k)]->setPlaybackState(positionMs, playing);
}

void FramePipeline::setOverlayLoop(int mediaId, bool loop) {
    if (const int k = overlaySlotOf(mediaId); k >= 0)
        overlayDecoders_[size_t(k)]->setLoop(loop);
}

void FramePipeline::requestOverlayResync(int mediaId) {
    if (const int k = overlaySlotOf(mediaId); k >= 0)
        overlayDecoders_[size_t(k)]->requestResync();
}

int64_t FramePipeline::overlayDurationMs(int mediaId) const {
    const int k = overlaySlotOf(mediaId);
    return k >= 0 ? overlayDecoders_[size_t(k)]->durationMs() : -1;
}

void FramePipeline::onOverlayFrame(int slot, FrameTokenPtr frame) {
    if (slot < 0 || slot >= kOverlaySlots || !frame)
        return;
    const int id = slotMediaId_[size_t(slot)].load();
    OverlayManager *overlays = overlays_.load();
    if (id < 0 || !overlays || !overlays->hasMediaOverlay(id) || !frame->hasPicture())
        return;
    if (frame->stride < frame->width * 4 ||
        frame->data.size() < qsizetype(frame->stride) * frame->height)
        return;
    const QImage picture(reinterpret_cast<const uchar *>(frame->data.constData()), frame->width,
                         frame->height, frame->stride, QImage::Format_RGBA8888);
    overlays->setVideoOverlayFrame(id, picture,
                                   qreal(mainPool_->width()) / OverlayManager::kSceneWidth);
    // The preview is a new picture each time; nobody watching (headless) means none is made.
    static const QMetaMethod previewSignal =
        QMetaMethod::fromSignal(&FramePipeline::overlayFrameReady);
    if (!isSignalConnected(previewSignal))
        return;
    QImage preview = picture.scaled(kOverlayPreviewWidth, kOverlayPreviewHeight,
                                    Qt::KeepAspectRatio, Qt::FastTransformation);
    std::lock_guard lock(overlayPreviewMutex_);
    overlayPreviews_[size_t(slot)] = {id, frame->ptsUs / 1000, std::move(preview)};
    if (!overlayFlushQueued_.exchange(true))
        QMetaObject::invokeMethod(this, "flushOverlayPreviewQueue", Qt::QueuedConnection);
}

void FramePipeline::flushOverlayPreviewQueue() {
    std::array<OverlayPreview, kOverlaySlots> entries;
    {
        std::lock_guard lock(overlayPreviewMutex_);
        entries.swap(overlayPreviews_);
        overlayFlushQueued_.store(false);
    }
    for (const OverlayPreview &e : entries)
        if (e.mediaId >= 0 && !e.image.isNull())
            emit overlayFrameReady(e.mediaId, e.ptsMs, e.image);
    std::lock_guard lock(overlayPreviewMutex_);
    const bool more =
        std::any_of(overlayPreviews_.begin(), overlayPreviews_.end(),
                    [](const OverlayPreview &e) { return e.mediaId >= 0 && !e.image.isNull(); });
    if (more && !overlayFlushQueued_.exchange(true))
        QMetaObject::invokeMethod(this, "flushOverlayPreviewQueue", Qt::QueuedConnection);
}
