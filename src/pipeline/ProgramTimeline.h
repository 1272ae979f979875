#pragma once

#include "core/FrameToken.h"
#include "pipeline/ProgramClock.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>

class EngineSession;
class ImageSlideshow;
class ProgramChannel;

// Decides what the program picture is made of and when it is composed again. The pipeline
// composes a program frame by itself for every picture of the base channel; this keeps the
// pipeline's sources and state in step with the channel panels, chooses and clears the base
// channel, runs the program clock and the 33 ms program tick (blank frames with overlays when
// no channel feeds the program, keep-alive frames for the output), and re-composes a paused
// picture when the overlays change. It also runs the still-image slideshow as the program
// source: stepping it, and feeding its picture to the encoders at the output frame rate.
//
// Threads: the GUI thread only; nothing here waits.
class ProgramTimeline : public QObject {
    Q_OBJECT
public:
    static constexpr int kChannels = 4;
    static constexpr int kTickMs = 33;
    // A playing base is composed again this long after the last keep-alive while the output
    // runs, so the encoders see the overlays change even if the source stalls.
    static constexpr int64_t kKeepAliveMs = 999;
    // The decoder knows the duration only once it has opened the new source.
    static constexpr int kDurationDelayMs = 150;
    // Then again every kDurationRetryMs while it is unknown, kDurationTries times in all (a live
    // source never has one).
    static constexpr int kDurationRetryMs = 250;
    static constexpr int kDurationTries = 20;

    static constexpr int kMinImageIntervalMs = 200;
    static constexpr int kMaxImageIntervalMs = 120000;
    static int clampImageInterval(int ms) {
        return std::clamp(ms, kMinImageIntervalMs, kMaxImageIntervalMs);
    }

    using MonotonicMs = std::function<int64_t()>;

    // `now` drives the program clock and the keep-alive stamp; a monotonic clock by default.
    explicit ProgramTimeline(EngineSession &session, QObject *parent = nullptr,
                             MonotonicMs now = {});
    ~ProgramTimeline() override;

    // Channel 0-3; a null panel counts as a channel without source.
    void setChannel(int channel, ProgramChannel *panel);
    void start();

    void onPreviewSwitchToggled(int channel, bool on);
    void selectBase(int channel, bool usePanelState);
    void clearBase();

    void onPlaybackStateChanged(int channel, bool playing);
    void onProgramSeekRequested(int channel, int64_t positionMs);
    void onChannelMediaChanged(int channel);
    void onMediaSourceUnloaded(int channel);
    void onOverlayFrameReady();

    // The slideshow as the program source. It takes the program once its first picture is
    // loaded; `resetClock` false keeps the program clock (a schedule starting it).
    void startImagePlayback(const QStringList &paths, int intervalMs, bool loop,
                            bool resetClock = true);
    void stopImagePlayback(bool resetClock = true);
    bool imagePlaybackIsSource() const;
    bool imagePlaybackStepping() const { return stepTimer_.isActive(); }
    int imageIntervalMs() const { return stepTimer_.interval(); }
    ImageSlideshow &slideshow() const { return *slideshow_; }
    // The output's run began or ended (stopped or failed): the still-image feed follows it.
    void onOutputStarted();
    void onOutputEnded();

    void synchronise();
    void refreshProgramPicture();
    void tick();

    int baseChannel() const { return baseChannel_; }
    int64_t baseStartPositionMs() const { return baseStartMs_; }
    ProgramClock &clock() { return clock_; }
    int64_t keepAliveStampMs() const { return keepAliveStampMs_; }

signals:
    void programCleared();
    void clockStepped(qint64 positionMs);
    // The image panel's play state: true once the first picture is on the program, false when
    // the slideshow stops or ends.
    void imagePlaybackChanged(bool playing);
    void imagePlaybackFailed(); // not one of the pictures could be loaded

private:
    ProgramChannel *panel(int channel) const;
    bool hasChannelBaseWithSource() const;
    bool basePlaying() const;
    void applyBaseSource();
    void onBaseFrame(const FrameTokenPtr &frame);
    void onOverlayChanged();
    void runCoalescedRefresh();
    void onOverlayLayoutChanged();
    int64_t stampNow() const;
    void askDuration(int channel, const QString &source, int delayMs, int triesLeft);
    void applyChannelGains();
    void onSlideshowPicture();
    void stepImage();
    void feedImage();
    void feedFrame();
    void stopImageFeed();

    EngineSession &session_;
    MonotonicMs now_;
    ProgramClock clock_;
    QTimer tickTimer_;
    std::array<ProgramChannel *, kChannels> panels_{};
    int baseChannel_ = -1;
    int64_t baseStartMs_ = -1;
    int64_t keepAliveStampMs_ = 0; // 0: unset
    bool refreshPending_ = false;
    // Inside an operator action (a base change, new media) the controller's change signal
    // would synchronise, and compose, once more before the action's own synchronisation.
    int actionDepth_ = 0;

    ImageSlideshow *slideshow_ = nullptr; // a child
    QTimer stepTimer_;
    QTimer feedTimer_;              // the next frame of the feed while the output runs
    QElapsedTimer feedClock_;       // time base of the fed frames
    int64_t lastFedUs_ = -1;        // -1: none yet
    int64_t fedFrames_ = 0;         // since feedClock_ started
    bool imageResetsClock_ = false; // for the start waiting on its first picture
};
