#pragma once

#include "audio/MixerSource.h"
#include "core/FrameToken.h"
#include "core/ProgramState.h"
#include "output/OutputStatus.h"
#include "output/StreamTarget.h"

#include <QImage>
#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>

#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

class FFmpegVideoDecoder;
class FramePool;
class OutputRouter;
class OverlayManager;
class PreviewAudioMixer;
class VulkanCompositor;

// The newest pictures of one channel (the pipeline keeps one per channel). A fixed ring, so a
// push never allocates. Threads: any; one mutex.
class LatestFrameQueue {
public:
    explicit LatestFrameQueue(int maxLength = 0) : frames_(size_t(maxLength > 0 ? maxLength : 8)) {}
    void push(FrameTokenPtr frame); // over the length, the oldest is dropped
    FrameTokenPtr latest() const;
    void clear();

private:
    mutable QMutex mutex_;
    std::vector<FrameTokenPtr> frames_; // guarded by mutex_; a ring
    size_t newest_ = 0;                 // guarded by mutex_
    size_t count_ = 0;                  // guarded by mutex_
};

// Routes every decoded picture: channel previews, the base frame, the composed program frame
// (to the screen and the output router) and overlay-video previews. It owns the four channel
// decoders, the four overlay-video decoders (the overlay video slots), the frame pools, the
// compositor and the output router. Only the base channel decodes to whole program-size
// pictures; the others only feed thumbnails and come at a quarter of their size where the
// picture allows (from the thumbnail pool, never composed). The base's own thumbnail then comes
// apart at that size too, so the overlays are drawn on its whole pictures in place
// (FrameToken::programOnly).
//
// Delivery to the GUI thread is coalesced: a decoder thread leaves its newest picture in a
// mailbox and queues a flush only when none is pending, so a burst costs one flush carrying
// the newest picture per channel; older undelivered pictures are dropped.
//
// Threads: lives on the GUI thread; every signal is emitted there and every operation is
// called there, except: onChannelFrame() and onOverlayFrame() (decoder threads),
// pullChannelAudio(), pullOverlayAudio() and baseChannel() (the mixer thread).
class FramePipeline : public QObject, public MixerSource {
    Q_OBJECT
public:
    static constexpr int kChannels = 4;
    static constexpr int kOverlaySlots = 4;
    static constexpr int kMainPoolFrames = 18;
    static constexpr int kPreviewPoolFrames = 6;
    // Thumbnails, a quarter of a 1080p picture (panels show them smaller): a few per channel
    // in flight.
    static constexpr int kThumbnailPoolFrames = 16;
    static constexpr int kOverlayPreviewWidth = 320;
    static constexpr int kOverlayPreviewHeight = 180;

    explicit FramePipeline(QObject *parent = nullptr);
    ~FramePipeline() override;

    void setChannelSources(const QString &ch1, const QString &ch2, const QString &ch3,
                           const QString &ch4);
    void setProgramState(const ProgramState &state, OverlayManager *overlays);
    void setChannelPlayback(int channel, int64_t positionMs, bool playing);
    void setChannelLoop(int channel, bool loop);
    int64_t channelDurationMs(int channel) const;

    void pullChannelAudio(int channel, float *out, int frames) override; // mixer thread
    void pullOverlayAudio(int slot, float *out, int frames) override;    // mixer thread
    int baseChannel() const override { return baseChannel_.load(); }     // any thread

    void setOutputFile(const QString &path);
    void setStreamTargets(const std::vector<StreamTarget> &targets);
    void setOutputSize(int width, int height);
    bool startOutputs();
    // Returns at once: the run's sound is cut, its encoders flush and its outputs write their
    // trailers on its encoding thread; outputClosed() follows (queued) when that is done. A
    // new run may start meanwhile (with another file).
    void stopOutputs();
    bool isOutputRunning() const;
    // Whether a stopped run is still closing (the harness and tests wait for the trailer).
    bool isOutputClosing() const;
    // Blocks until every stopped run has closed (< 0: no limit); false on a timeout. For the
    // harness, tests and teardown only: the GUI waits for outputClosed() instead.
    bool waitOutputsClosed(int timeoutMs);
    // Polled by the GUI a few times a second; takes only atomics and short locks, never waits
    // on the encoder. The running run, else the newest one still closing.
    OutputRunStatus outputStatus() const;
    void resyncOutputs();
    double outputFrameRate() const;

    void recomposeFromLatestBase();
    void composeBlankBase(int64_t positionMs);
    void submitImageBase(const QImage &image, int64_t ptsUs);
    void submitImageBaseMs(const QImage &image, int64_t positionMs);

    void setPreviewAudioMixerForOutput(PreviewAudioMixer *mixer);
    void onOutputMixerGone(QObject *object);

    // Overlay video slots.
    void registerOverlayVideo(int mediaId, const QString &path);
    void unregisterOverlayVideo(int mediaId);
    void setOverlayPlayback(int mediaId, int64_t positionMs, bool playing);
    void setOverlayLoop(int mediaId, bool loop);
    void requestOverlayResync(int mediaId);
    int overlaySlotOf(int mediaId) const;
    int64_t overlayDurationMs(int mediaId) const;

    // Frame arrival, as the decoders' callbacks call it (decoder threads).
    void onChannelFrame(int channel, FrameTokenPtr frame);
    void onOverlayFrame(int slot, FrameTokenPtr frame);

    // For the harness and tests.
    FramePool *mainPool() const { return mainPool_.get(); }
    FramePool *previewPool() const { return previewPool_.get(); }
    FramePool *thumbnailPool() const { return thumbnailPool_.get(); }
    OutputRouter *router() const { return router_.get(); }
    VulkanCompositor *compositor() const { return compositor_.get(); }
    FFmpegVideoDecoder *channelDecoder(int channel) const;
    FFmpegVideoDecoder *overlayDecoder(int slot) const;
    FrameTokenPtr latestChannelFrame(int channel) const;
    bool overlayReleasePending(int slot) const;

    static const char *const kTransportFailedReason;

signals:
    void errorOccurred(QString message);
    void programOutputTransportFailed(QString reason);
    // A stopped run has written its trailers and its threads are gone.
    void outputClosed();
    void baseFrameReady(FrameTokenPtr frame);
    void programFrameReady(FrameTokenPtr frame);
    void channelFrameReady(int channel, FrameTokenPtr frame);
    void channelPlaybackEnded(int channel);
    void overlayFrameReady(int mediaId, qint64 ptsMs, QImage image);
    void overlayPlaybackFinished(int mediaId);

public slots:
    void onEncodeTransportFailed();
    void onBaseFrameDecoded(FrameTokenPtr frame);
    void flushDecodedFrameQueue();
    void flushChannelPreviewQueue();
    void flushOverlayPreviewQueue();
    void runUnregisterOverlayVideoAsync(int mediaId);
    void finishOverlayAsyncUnregisterSlot(int slot, int mediaId, quint64 genAtCancel);

private:
    struct OverlayPreview {
        int mediaId = -1;
        int64_t ptsMs = 0;
        QImage image;
    };
    // Lets a release task on the thread pool reach the pipeline only while it exists; the
    // destructor clears it under the mutex, so it also waits for a task that is joining.
    struct ReleaseLink {
        std::mutex mutex;
        FramePipeline *pipeline = nullptr; // guarded by mutex
    };

    void composeAndSend(const FrameTokenPtr &base);
    void send(const FrameTokenPtr &program);
    void setAudioClockForChannels(PreviewAudioMixer *mixer);

    // Members in construction order; destruction follows the destructor body's steps.
    std::unique_ptr<OutputRouter> router_; // GUI thread only
    uint64_t outputRun_ = 0; // GUI thread; numbers the runs so a stale failure is ignored
    PreviewAudioMixer *outputMixer_ = nullptr;
    std::unique_ptr<FramePool> mainPool_;
    std::unique_ptr<FramePool> thumbnailPool_;
    std::array<std::unique_ptr<FFmpegVideoDecoder>, kChannels> channelDecoders_;
    std::array<std::unique_ptr<LatestFrameQueue>, kChannels> channelQueues_;
    std::array<QString, kChannels> channelSources_;
    std::unique_ptr<FramePool> previewPool_;

    // Overlay video slots; the table is changed only on the GUI thread. The frame arrival
    // code reads the media id of its own slot, hence the atomics.
    std::array<std::unique_ptr<FFmpegVideoDecoder>, kOverlaySlots> overlayDecoders_;
    std::array<std::atomic<int>, kOverlaySlots> slotMediaId_;
    std::array<QString, kOverlaySlots> slotPath_;
    std::array<QMetaObject::Connection, kOverlaySlots> slotEndConnection_;
    std::array<bool, kOverlaySlots> slotUnregisterPending_{};
    std::array<std::optional<std::pair<int, QString>>, kOverlaySlots> slotDeferred_;
    std::mutex overlayPreviewMutex_;
    std::array<OverlayPreview, kOverlaySlots> overlayPreviews_; // guarded by overlayPreviewMutex_
    std::atomic<bool> overlayFlushQueued_{false};
    std::shared_ptr<ReleaseLink> releaseLink_;

    std::unique_ptr<VulkanCompositor> compositor_;
    ProgramState state_;
    // Set on the GUI thread before any decoder can deliver a picture that needs it; read on
    // decoder threads to draw overlay-video pictures.
    std::atomic<OverlayManager *> overlays_{nullptr};
    std::atomic<int> baseChannel_{-1};
    QImage canvas_;
    std::weak_ptr<FrameToken> lastProgram_; // GUI thread; the program picture sent last

    std::mutex baseMutex_;
    FrameTokenPtr pendingBase_; // guarded by baseMutex_
    std::atomic<bool> baseFlushQueued_{false};

    // Lock order: previewMutex_, then baseMutex_.
    std::mutex previewMutex_;
    std::array<FrameTokenPtr, kChannels> pendingPreviews_; // guarded by previewMutex_
    // A channel whose source was emptied takes no pictures until it gets a new one.
    std::array<bool, kChannels> channelEmptied_{}; // guarded by previewMutex_
    std::atomic<bool> previewFlushQueued_{false};
};
