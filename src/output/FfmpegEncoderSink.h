#pragma once

#include "output/IEncoderSink.h"
#include "output/OutputStatus.h"
#include "output/OutputTarget.h"
#include "output/StreamTarget.h"

#include <QSize>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

struct AVPacket;
class AudioEncoder;
class MediaClock;
class PacketFanOut;
class VideoEncoder;
struct OutputShared;

// Encodes the program once (H.264 + AAC) and writes every packet to the recording file and to
// each live stream. It owns the parts that do the work: the video and audio encoders, the media
// clock, and the outputs the packets fan out to. The file is written on the encoding thread;
// each stream has a writer thread of its own ("mux:<n>") with a bounded packet queue, so a
// stream that hangs or reconnects never holds up the file or the other streams. A stream that
// cannot be opened, or whose writes fail over RTMP, is reopened with a growing delay (400 ms after
// a failed write, then 1 s, 2 s, 4 s
// ... 90 s, without limit) and rejoins at the next keyframe.
//
// Queues: each stream's packet queue holds kStreamQueuePackets; when its writer falls that far
// behind, the backlog is dropped and the stream restarts at the next keyframe (requested from
// the encoder). Queued sound is bounded to 15 s; beyond that the oldest samples go.
//
// Threads: configure(), open(), setOutputSize() and the callback setters before the first
// frame, on the owning thread. writeFrame(), ensureOpened(), reopenVideoEncoderForNewSize() and
// close() on one encoding thread. requestAbort() and the status readers from any thread. The
// audio pull callback runs on the encoding thread. The destructor closes (joins every writer).
// The status readers take only atomics and statusMutex_ (never held across I/O), so the encoder
// never waits for them.
class FfmpegEncoderSink : public IEncoderSink {
public:
    using AudioPull = std::function<void(int16_t *out, int frames)>;
    using SteadyClock = std::function<int64_t()>; // nanoseconds

    static constexpr int kSampleRate = 48000;
    static constexpr int kMaxQueuedSamples = 1440000; // 15 s of stereo
    static constexpr int kStreamQueuePackets = 600;   // about 10 s of video and sound
    static constexpr int64_t kTransportFailureNs = 5'000'000'000;
    // Frame times further than this from the clock are a jump in the source, not its pace.
    static constexpr int64_t kMaxFrameLeadMs = 500;
    // A server that accepts the connection but does not finish the handshake by then is
    // given up on for this attempt.
    static constexpr int64_t kStreamOpenTimeoutMs = 5000;

    FfmpegEncoderSink();
    ~FfmpegEncoderSink() override;
    FfmpegEncoderSink(const FfmpegEncoderSink &) = delete;
    FfmpegEncoderSink &operator=(const FfmpegEncoderSink &) = delete;

    // A run with an optional file and any number of streams; false when there is nothing to
    // write (no file and no stream URL).
    bool configure(const QString &filePath, const std::vector<StreamTarget> &streams, double fps);
    bool open(const QString &filePath, double fps) override;
    void setOutputSize(int width, int height);
    void setTransportFailedCallback(std::function<void()> callback);
    void setAudioPullCallback(AudioPull callback);

    // Makes writeFrame() a no-op and cuts blocking network I/O short. Any thread.
    void requestAbort();
    // Raised at most once per run: every output has failed all its writes for 5 s.
    void notifyTransportFailed();

    bool ensureOpened(int width, int height);
    bool reopenVideoEncoderForNewSize(int width, int height, bool globalHeader);
    void writeFrame(const FrameTokenPtr &frame, const int16_t *pcm, int pcmFrames) override;
    void close() override;

    // The rules, for callers and tests.
    static int bitrateKbps(double fps, int width, int height);
    static QSize encoderSize(int requestedWidth, int requestedHeight, int frameWidth,
                             int frameHeight);
    static bool isRtmpAddress(const QString &url);
    static int64_t reopenDelayMs(int attempts);       // after a failed reopen
    static int64_t writeFailureDelayMs(int attempts); // after a failed write

    // State, for the router's log and for tests.
    bool isLiveMode() const { return liveMode_; }
    bool isStarted() const { return started_; }
    QSize encoderFrameSize() const; // encoding thread; empty while closed
    QString videoEncoderName() const;
    int64_t mediaClockMs() const;
    struct OutputStatus {
        QString url;
        bool isStream = false;
        bool open = false;
        int attempts = 0;
        int64_t packetsWritten = 0;
        int64_t packetsDropped = 0; // lost to a full queue, a closed output or a failed write
    };
    std::vector<OutputStatus> outputStatus() const; // any thread
    int reconnectCount() const; // successful stream reopens in this run; any thread

    // The run as the operator sees it: the file first, then each configured stream, and the
    // frames the video encoder took. Any thread. A target is Failed when the whole run failed
    // (notifyTransportFailed), when the file could not be opened (see markFileMissing), or
    // when it is not an RTMP stream and every write or open has failed for
    // kTransportFailureNs (it is still retried and shows Live again once a write succeeds).
    // RTMP streams never fail: they are Reconnecting, attempt by attempt, for as long as the
    // run lasts. After close() the last known state of each output stays readable.
    OutputRunStatus runStatus() const;
    // The recording asked for cannot be written (the router found its folder unwritable); the
    // run goes on with its streams. Before the first frame.
    void markFileMissing(const QString &path, const QString &reason);
    // How one output shows, from what it counts; `nowNs` on the sink's clock.
    static OutputTargetStatus targetStatus(const OutputTarget::Status &s, bool isRtmp,
                                           int64_t nowNs, int64_t failSpanNs);

    // Replaces the steady clock (media clock, flush timing, back-off, failure timing).
    void setSteadyClock(SteadyClock clock);
    // Told of every packet an output wrote: output index (0 = the file when there is one, then
    // the streams in order), video or sound, and the packet's time in media-clock ms. Runs on
    // the writing thread; for measurements. Set before the first frame.
    using WriteObserver = std::function<void(int output, bool isVideo, int64_t mediaMs)>;
    void setWriteObserver(WriteObserver observer);

private:
    int64_t now() const;
    void deliver(AVPacket *packet, bool isVideo);
    void publishStreamParameters();
    void pullLiveAudio();
    void checkTransportFailure();

    QString filePath_;
    std::vector<StreamTarget> streamTargets_;
    int streamCount_ = 0;
    double frameRate_ = 30.0;
    int requestedWidth_ = 0;
    int requestedHeight_ = 0;
    bool hasFile_ = false;
    bool started_ = false;
    bool liveMode_ = false;
    bool closing_ = false;
    std::function<void()> transportFailedCallback_;
    std::atomic<bool> failed_{false};
    std::atomic<bool> failureNotified_{false};
    AudioPull audioPullCallback_;
    std::vector<int16_t> pullBuffer_;
    int64_t openRetryAtNs_ = 0;      // a failed open is retried from then on
    int64_t openFailingSinceNs_ = 0; // 0 unless the last open failed

    // Shared with the outputs and their writers (abort flag, encoder parameters, keyframe
    // requests, failure counters, the clock); outlives the writers.
    std::shared_ptr<OutputShared> shared_;
    std::unique_ptr<MediaClock> clock_;
    std::unique_ptr<VideoEncoder> video_;
    std::unique_ptr<AudioEncoder> audio_;
    std::unique_ptr<PacketFanOut> outputs_;

    std::atomic<int64_t> encodedVideoFrames_{0}; // in this run
    std::atomic<bool> runFailed_{false};         // the transport failure was raised this run
    mutable std::mutex statusMutex_;
    QString fileMissingPath_;                       // guarded by statusMutex_
    QString fileMissingReason_;                     // guarded by statusMutex_
    std::vector<OutputTarget::Status> lastOutputs_; // guarded by statusMutex_; kept by close()
};
