#include "pipeline/ProgramTimeline.h"

#include "audio/PreviewAudioMixer.h"
#include "core/FramePool.h"
#include "pipeline/CompositionController.h"
#include "pipeline/EngineSession.h"
#include "pipeline/FramePipeline.h"
#include "pipeline/ImageSlideshow.h"
#include "pipeline/OverlayManager.h"
#include "pipeline/ProgramChannel.h"

#include <QElapsedTimer>

#include <algorithm>
#include <memory>

namespace {

ProgramTimeline::MonotonicMs monotonicOrDefault(ProgramTimeline::MonotonicMs now) {
    if (now)
        return now;
    auto origin = std::make_shared<QElapsedTimer>();
    origin->start();
    return [origin] { return int64_t(origin->elapsed()); };
}

} // namespace

ProgramTimeline::ProgramTimeline(EngineSession &session, QObject *parent, MonotonicMs now)
    : QObject(parent), session_(session), now_(monotonicOrDefault(std::move(now))), clock_(now_),
      tickTimer_(this), slideshow_(new ImageSlideshow(this)), stepTimer_(this), feedTimer_(this) {
    tickTimer_.setInterval(kTickMs);
    connect(&tickTimer_, &QTimer::timeout, this, &ProgramTimeline::tick);
    connect(slideshow_, &ImageSlideshow::pictureChanged, this,
            &ProgramTimeline::onSlideshowPicture);
    connect(slideshow_, &ImageSlideshow::sequenceEnded, this, [this] {
        // The last picture stays on the program; the panel may start again.
        stepTimer_.stop();
        emit imagePlaybackChanged(false);
    });
    connect(slideshow_, &ImageSlideshow::failed, this, [this] {
        stopImagePlayback(false);
        emit imagePlaybackFailed();
    });
    // A coarse timer may be 5 % late: a picture of a 1 s interval would run 50 ms long.
    stepTimer_.setTimerType(Qt::PreciseTimer);
    connect(&stepTimer_, &QTimer::timeout, this, &ProgramTimeline::stepImage);
    feedTimer_.setTimerType(Qt::PreciseTimer);
    feedTimer_.setSingleShot(true);
    connect(&feedTimer_, &QTimer::timeout, this, &ProgramTimeline::feedFrame);

    FramePipeline *pipeline = session_.pipeline();
    connect(pipeline, &FramePipeline::baseFrameReady, this,
            [this](const FrameTokenPtr &frame) { onBaseFrame(frame); });
    OverlayManager *overlays = session_.overlays();
    // Direct: every change of a burst lands before the one queued refresh runs.
    connect(overlays, &OverlayManager::overlayChanged, this, &ProgramTimeline::onOverlayChanged,
            Qt::DirectConnection);
    connect(overlays, &OverlayManager::overlayLayoutChanged, this,
            &ProgramTimeline::onOverlayLayoutChanged, Qt::QueuedConnection);
    connect(session_.controller(), &CompositionController::programStateChanged, this,
            &ProgramTimeline::synchronise);
}

ProgramTimeline::~ProgramTimeline() = default;

void ProgramTimeline::setChannel(int channel, ProgramChannel *panel) {
    if (channel >= 0 && channel < kChannels)
        panels_[size_t(channel)] = panel;
}

void ProgramTimeline::start() {
    clock_.reset(0, true);
    tickTimer_.start();
    synchronise();
}

ProgramChannel *ProgramTimeline::panel(int channel) const {
    return channel >= 0 && channel < kChannels ? panels_[size_t(channel)] : nullptr;
}

bool ProgramTimeline::hasChannelBaseWithSource() const {
    const ProgramChannel *base = panel(baseChannel_);
    return base && !base->programSource().isEmpty();
}

bool ProgramTimeline::basePlaying() const {
    const ProgramChannel *base = panel(baseChannel_);
    return base && base->isPlaying();
}

int64_t ProgramTimeline::stampNow() const {
    return std::max<int64_t>(now_(), 1); // 0 means unset
}

// ---- base channel ----

void ProgramTimeline::onPreviewSwitchToggled(int channel, bool on) {
    if (on)
        selectBase(channel, true);
    else if (channel == baseChannel_ && channel >= 0)
        clearBase();
}

void ProgramTimeline::selectBase(int channel, bool usePanelState) {
    if (channel < 0 || channel >= kChannels)
        return;
    if (slideshow_->active())
        stopImagePlayback(false);
    keepAliveStampMs_ = 0;
    for (int k = 0; k < kChannels; ++k)
        if (ProgramChannel *p = panel(k))
            p->setPreviewSwitch(k == channel);
    baseChannel_ = channel;

    ProgramChannel *base = panel(channel);
    const bool ownState = usePanelState && base;
    baseStartMs_ = ownState ? base->positionMs() : clock_.positionMs();
    applyBaseSource();
    FramePipeline *pipeline = session_.pipeline();
    if (ownState)
        clock_.reset(base->positionMs(), base->isPlaying());
    else
        pipeline->setChannelPlayback(channel, clock_.positionMs(), clock_.isRunning());
    // The encoders continue with the new source at once instead of waiting out its timing.
    if (pipeline->isOutputRunning())
        pipeline->resyncOutputs();
    synchronise();
}

// The controller follows the base panel's source; a base without one feeds nothing, so the
// previous channel does not stay on the program behind the new switch.
// Its caller synchronises afterwards.
void ProgramTimeline::applyBaseSource() {
    const ProgramChannel *base = panel(baseChannel_);
    const QString source = base ? base->programSource() : QString();
    ++actionDepth_;
    session_.controller()->setProgramSource(
        source.isEmpty() ? ProgramState::kNoSource : baseChannel_ + 1, source);
    --actionDepth_;
}

void ProgramTimeline::clearBase() {
    ProgramChannel *old = panel(baseChannel_);
    baseChannel_ = -1;
    baseStartMs_ = -1;
    if (old)
        old->setPreviewSwitch(false);
    emit programCleared();
    ++actionDepth_;
    session_.controller()->setProgramSource(ProgramState::kNoSource, QString());
    --actionDepth_;
    clock_.setRunning(true);
    synchronise();
}

void ProgramTimeline::onBaseFrame(const FrameTokenPtr &frame) {
    if (!frame)
        return;
    clock_.setPosition(frame->ptsUs / 1000);
    baseStartMs_ = clock_.positionMs();
    // A base that delivers needs no keep-alive: one more frame a second would stretch the
    // recording past its sound. The keep-alive is for a source that stalls.
    if (keepAliveStampMs_ != 0)
        keepAliveStampMs_ = stampNow();
    emit clockStepped(clock_.positionMs());
}

// ---- channel panel reactions ----

void ProgramTimeline::onPlaybackStateChanged(int channel, bool playing) {
    const ProgramChannel *p = panel(channel);
    session_.pipeline()->setChannelPlayback(channel, p ? p->positionMs() : 0, playing);
    if (channel == baseChannel_ && channel >= 0)
        clock_.setRunning(playing);
}

void ProgramTimeline::onProgramSeekRequested(int channel, int64_t positionMs) {
    if (channel == baseChannel_ && channel >= 0) {
        clock_.setPosition(positionMs);
        baseStartMs_ = positionMs;
    }
    const ProgramChannel *p = panel(channel);
    session_.pipeline()->setChannelPlayback(channel, positionMs, p && p->isPlaying());
}

void ProgramTimeline::onChannelMediaChanged(int channel) {
    if (channel == baseChannel_)
        applyBaseSource();
    synchronise();
    const ProgramChannel *p = panel(channel);
    if (!p)
        return;
    session_.pipeline()->setChannelLoop(channel, p->loopEnabled());
    askDuration(channel, p->programSource(), kDurationDelayMs, kDurationTries);
}

// A source that opens slowly (a loaded machine, a network file) has no duration yet after the
// first delay; asking a few more times spares the operator a channel that can never be sought.
void ProgramTimeline::askDuration(int channel, const QString &source, int delayMs, int triesLeft) {
    QTimer::singleShot(delayMs, this, [this, channel, source, triesLeft] {
        ProgramChannel *later = panel(channel);
        if (!later || later->programSource() != source)
            return; // another source by now: its own change asks for it
        const int64_t duration = session_.pipeline()->channelDurationMs(channel);
        later->setDurationMs(duration);
        if (duration <= 0 && triesLeft > 1)
            askDuration(channel, source, kDurationRetryMs, triesLeft - 1);
    });
}

void ProgramTimeline::onMediaSourceUnloaded(int channel) {
    if (channel == baseChannel_)
        applyBaseSource();
    synchronise();
}

// ---- composing ----

void ProgramTimeline::synchronise() {
    if (actionDepth_ > 0)
        return; // the action ends with one
    std::array<QString, kChannels> sources;
    for (int k = 0; k < kChannels; ++k)
        if (const ProgramChannel *p = panel(k))
            sources[size_t(k)] = p->programSource();
    session_.pipeline()->setChannelSources(sources[0], sources[1], sources[2], sources[3]);
    session_.applyProgramState();
    refreshProgramPicture();
    applyChannelGains();
}

void ProgramTimeline::applyChannelGains() {
    for (int k = 0; k < kChannels; ++k)
        if (const ProgramChannel *p = panel(k))
            session_.mixer()->setChannelLocalGain(k, float(std::clamp(p->volumePercent(), 0, 100)) /
                                                         100.0f);
}

void ProgramTimeline::refreshProgramPicture() {
    FramePipeline *pipeline = session_.pipeline();
    if (imagePlaybackIsSource()) {
        // A running output's feed timer draws the change within one frame period.
        if (!pipeline->isOutputRunning())
            feedImage();
        return;
    }
    if (!imagePlaybackIsSource() && !hasChannelBaseWithSource())
        pipeline->composeBlankBase(clock_.positionMs());
    pipeline->recomposeFromLatestBase();
}

void ProgramTimeline::onOverlayChanged() {
    if (refreshPending_)
        return;
    refreshPending_ = true;
    QTimer::singleShot(0, this, &ProgramTimeline::runCoalescedRefresh);
}

void ProgramTimeline::runCoalescedRefresh() {
    refreshPending_ = false;
    session_.applyProgramState();
    // A playing base's next frame carries the change anyway.
    if (!(hasChannelBaseWithSource() && basePlaying()))
        refreshProgramPicture();
}

void ProgramTimeline::onOverlayLayoutChanged() {
    if (!imagePlaybackIsSource() && !hasChannelBaseWithSource())
        session_.pipeline()->composeBlankBase(clock_.positionMs());
}

void ProgramTimeline::onOverlayFrameReady() {
    if (imagePlaybackIsSource()) {
        if (!session_.pipeline()->isOutputRunning())
            feedImage();
        return;
    }
    FramePipeline *pipeline = session_.pipeline();
    if (!hasChannelBaseWithSource())
        pipeline->composeBlankBase(clock_.positionMs());
    else if (!basePlaying())
        pipeline->recomposeFromLatestBase();
}

void ProgramTimeline::tick() {
    FramePipeline *pipeline = session_.pipeline();
    if (imagePlaybackIsSource()) {
        // The slideshow's own timers feed the program; without an output, moving overlays
        // still need their next position drawn.
        if (!pipeline->isOutputRunning() && session_.overlays()->needsPeriodicRefresh())
            feedImage();
    } else if (hasChannelBaseWithSource()) {
        const bool outputRuns = pipeline->isOutputRunning();
        const bool playing = basePlaying();
        if (outputRuns && playing) {
            const int64_t now = stampNow();
            if (keepAliveStampMs_ == 0) {
                keepAliveStampMs_ = now;
            } else if (now - keepAliveStampMs_ > kKeepAliveMs) {
                pipeline->recomposeFromLatestBase();
                keepAliveStampMs_ = now;
            }
        } else {
            keepAliveStampMs_ = 0;
            // A paused base delivers no frames: a running output needs a steady stream, and
            // moving overlays need their next position drawn.
            if (!playing && (outputRuns || session_.overlays()->needsPeriodicRefresh()))
                pipeline->recomposeFromLatestBase();
        }
    } else {
        clock_.tick();
        pipeline->composeBlankBase(clock_.positionMs());
    }
    emit clockStepped(clock_.positionMs());
}

// ---- image playback ----

bool ProgramTimeline::imagePlaybackIsSource() const {
    return session_.controller()->snapshot().programSource == ProgramState::kImagePlayback &&
           slideshow_->hasPicture();
}

void ProgramTimeline::startImagePlayback(const QStringList &paths, int intervalMs, bool loop,
                                         bool resetClock) {
    if (paths.isEmpty())
        return;
    if (slideshow_->active())
        stopImagePlayback(false);
    if (baseChannel_ >= 0) {
        ProgramChannel *old = panel(baseChannel_);
        baseChannel_ = -1;
        baseStartMs_ = -1;
        if (old)
            old->setPreviewSwitch(false);
    }
    applyChannelGains();
    stepTimer_.setInterval(clampImageInterval(intervalMs));
    imageResetsClock_ = resetClock;
    const FramePool *pool = session_.pipeline()->mainPool();
    slideshow_->start(paths, loop, pool ? QSize(pool->width(), pool->height()) : QSize());
}

void ProgramTimeline::onSlideshowPicture() {
    if (!imagePlaybackIsSource()) {
        // The first picture is in: the slideshow takes the program.
        keepAliveStampMs_ = 0;
        if (imageResetsClock_)
            clock_.reset(0, true);
        ++actionDepth_;
        session_.controller()->setProgramSource(ProgramState::kImagePlayback, QString());
        --actionDepth_;
        synchronise();
        feedImage();
        emit imagePlaybackChanged(true);
        stepTimer_.start();
        return;
    }
    feedImage();
}

void ProgramTimeline::stepImage() {
    clock_.setPosition(clock_.positionMs() + stepTimer_.interval());
    slideshow_->step();
}

void ProgramTimeline::feedImage() {
    if (!imagePlaybackIsSource())
        return;
    FramePipeline *pipeline = session_.pipeline();
    if (!pipeline->isOutputRunning()) {
        stopImageFeed();
        pipeline->submitImageBaseMs(slideshow_->picture(), clock_.positionMs());
        return;
    }
    // A new picture rides on the next frame of the schedule: a frame of its own in between
    // would put more frames than the output rate into the recording and stretch it.
    if (!feedClock_.isValid()) {
        feedClock_.start();
        fedFrames_ = 0;
        feedFrame();
    }
}

// Frames go out at the output rate on a fixed schedule from the feed's start, so timer
// jitter neither adds nor loses frames; a feed that fell behind skips, never bursts.
void ProgramTimeline::feedFrame() {
    if (!imagePlaybackIsSource() || !feedClock_.isValid())
        return;
    FramePipeline *pipeline = session_.pipeline();
    const double periodUs = 1e6 / std::max(pipeline->outputFrameRate(), 1.0);
    const int64_t now = feedClock_.nsecsElapsed() / 1000;
    // Frame times strictly increase even when two feeds fall in the same microsecond.
    const int64_t t = std::max<int64_t>(now, lastFedUs_ + 1);
    lastFedUs_ = t;
    pipeline->submitImageBase(slideshow_->picture(), t);
    fedFrames_ = std::max<int64_t>(fedFrames_ + 1, int64_t(double(now) / periodUs) + 1);
    const double nextUs = double(fedFrames_) * periodUs;
    feedTimer_.start(std::clamp(int(std::ceil((nextUs - double(now)) / 1000.0)), 1, 200));
}

void ProgramTimeline::stopImageFeed() {
    feedTimer_.stop();
    feedClock_.invalidate();
    lastFedUs_ = -1;
    fedFrames_ = 0;
}

void ProgramTimeline::stopImagePlayback(bool resetClock) {
    const bool wasShown = imagePlaybackIsSource();
    const bool wasActive = slideshow_->active();
    keepAliveStampMs_ = 0;
    stopImageFeed();
    stepTimer_.stop();
    slideshow_->stop();
    if (wasShown)
        emit programCleared();
    ++actionDepth_;
    if (session_.controller()->snapshot().programSource == ProgramState::kImagePlayback)
        session_.controller()->setProgramSource(ProgramState::kNoSource, QString());
    --actionDepth_;
    if (resetClock)
        clock_.reset(0, true);
    synchronise();
    if (wasActive)
        emit imagePlaybackChanged(false);
}

void ProgramTimeline::onOutputStarted() {
    if (!imagePlaybackIsSource()) {
        // The encoders get a first frame at once (a blank one when no channel is the base).
        refreshProgramPicture();
        return;
    }
    synchronise();
    keepAliveStampMs_ = 0;
    if (stepTimer_.isActive())
        stepTimer_.start(); // the picture gets its whole interval on the new recording
    stopImageFeed();
    feedImage();
}

void ProgramTimeline::onOutputEnded() {
    keepAliveStampMs_ = 0;
    stopImageFeed();
}
