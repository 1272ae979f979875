#include "input/FFmpegVideoDecoder.h"

#include "core/FramePool.h"
#include "core/LibavPtr.h"
#include "core/Logging.h"
#include "input/AudioStreamDecoder.h"
#include "input/LivePacketQueue.h"
#include "input/SourceAddress.h"
#include "platform/CaptureDevices.h"
#include "platform/PosixUtil.h"

#include <QMetaObject>
#include <QUrl>

extern "C" {
#include <libavdevice/avdevice.h>
}

#include <chrono>
#include <deque>

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
// Reading ahead of a paced picture stops once this much sound (1 s) is queued.
constexpr size_t kReadAheadSoundSamples = size_t(AudioSampleQueue::kSampleRate) * 2;

const QString kCameraOpenFailed =
    QStringLiteral("无法打开摄像头或麦克风（设备名是否与系统一致？是否被其他程序占用？）");
const QString kNoCaptureInput = QStringLiteral(
    "未注册 dshow 输入（通常未链接 libavdevice）。请运行 scripts/setup.sh 安装带 libavdevice 的 "
    "FFmpeg 开发库，再用 CMake 完整重编（quorvi_engine 链接 libavdevice）。");

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void initFfmpegOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        avformat_network_init();
        avdevice_register_all();
    });
}

void setAll(libav::Dictionary &dict, const SourceAddress::Options &options) {
    for (const auto &[key, value] : options)
        dict.set(key.c_str(), value.c_str());
}

// Addresses may carry credentials; logs must not.
QString forLog(const QString &address) {
    const QUrl url(address);
    return url.isValid() && !url.scheme().isEmpty() && url.scheme().size() > 1
               ? url.toString(QUrl::RemoveUserInfo)
               : address;
}

} // namespace

// The state of one run of the decode worker: the opened input, its decoders, the pacing
// anchor, held packets and the optional packet reader of a live camera.
struct FFmpegVideoDecoder::Worker {
    explicit Worker(FFmpegVideoDecoder &decoder)
        : d(decoder), audio(decoder.audio_, &decoder.gate_) {}
    ~Worker() { shutdown(); }

    bool open(const QString &source, const QString &address, bool hasAudioSource);
    void run();
    void shutdown();

    void pausedStep();
    bool playingStep(); // false: leave the main loop
    void drainPaced();
    void drainLive();
    bool deliverStillFrame();
    bool beforeSeekTarget(int64_t tsUs) const;
    FrameTokenPtr prepare(AVFrame *frame, int64_t tsUs, bool mayAllocate);
    void hand(FrameTokenPtr token);
    void deliver(AVFrame *frame, int64_t tsUs, bool mayAllocate);
    int readPacket(AVPacket *packet); // held packets first, then the input
    int readInput(AVPacket *packet);  // the input itself (or the reader's queue)
    bool seek(int64_t positionMs);    // false when the input cannot seek
    void freeHeld() { held.clear(); }
    void sleepUs(int64_t us) { d.sleepUnlessWoken(us, d.wakeSequence()); }
    // The stream time of a picture or sound, counted from the start of the input.
    int64_t streamUs(int64_t ts, AVRational timeBase) const {
        return ts == AV_NOPTS_VALUE ? 0 : av_rescale_q(ts, timeBase, kMicroseconds) - startUs;
    }
    bool stopping() const { return d.stopRequested_.load(); }

    void startReader();
    void readerLoop();

    static int interrupt(void *opaque) {
        auto *w = static_cast<Worker *>(opaque);
        return w->d.stopRequested_.load() || w->readerQuit.load() ? 1 : 0;
    }

    FFmpegVideoDecoder &d;
    libav::InputFormatContext input;
    libav::CodecContext video;
    int videoStream = -1;
    AVRational videoTimeBase{1, 1};
    int64_t videoFrameUs = 33333;
    AudioStreamDecoder audio;
    libav::Frame frame;
    libav::Frame newest;
    libav::Packet packet;
    libav::Packet aheadPacket;
    SwsContext *sws = nullptr; // cached across frames, freed in shutdown
    std::deque<libav::Packet> held;
    bool live = false;

    int64_t startUs = 0;              // a file's first timestamp; positions count from it
    int64_t seekTargetUs = INT64_MIN; // pictures before it are decoded, not shown
    int64_t lastDeliveredUs = -1;
    bool anchored = false;
    int colourSpace = -1; // what the scaler's colour matrix was set for
    int colourRange = -1;
    std::vector<libav::Packet> spare; // emptied held packets, for reuse
    int64_t anchorWallUs = 0;
    int64_t anchorTsUs = 0;

    // Packet reader of a live camera.
    std::thread reader;
    std::atomic<bool> readerQuit{false};
    LivePacketQueue queue;
};

FFmpegVideoDecoder::FFmpegVideoDecoder(FramePool *pool, QObject *parent)
    : QObject(parent), pool_(pool), threadTag_(QStringLiteral("?")) {}

FFmpegVideoDecoder::~FFmpegVideoDecoder() {
    waitForLifecycle();
    joinWorkers();
}

void FFmpegVideoDecoder::setThreadTag(const QString &tag) {
    threadTag_ = tag;
}

void FFmpegVideoDecoder::setFrameCallback(FrameCallback callback) {
    frameCallback_ = std::move(callback);
}

void FFmpegVideoDecoder::setAudioClock(std::shared_ptr<AudioClock> clock) {
    gate_.setAudioClock(std::move(clock));
}

QString FFmpegVideoDecoder::source() const {
    std::lock_guard lock(sourceMutex_);
    return source_;
}

void FFmpegVideoDecoder::setSource(const QString &address) {
    std::lock_guard lock(pendingLifecycleMutex_);
    sourceGeneration_.fetch_add(1);
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
        std::lock_guard lock(pendingLifecycleMutex_);
        if (sourceGeneration_.load() != generation)
            return false;
        enqueueLifecycleLocked([this] { joinWorkers(); });
    }
    waitForLifecycle();
    return true;
}

void FFmpegVideoDecoder::enqueueLifecycle(std::function<void()> task) {
    std::lock_guard lock(pendingLifecycleMutex_);
    enqueueLifecycleLocked(std::move(task));
}

void FFmpegVideoDecoder::enqueueLifecycleLocked(std::function<void()> task) {
    std::shared_future<void> previous = pendingLifecycle_;
    const QByteArray name = ("lc:" + threadTag_).toUtf8();
    pendingLifecycle_ =
        std::async([previous, task = std::move(task), name]() mutable {
            setCurrentThreadName(name.constData());
            if (previous.valid())
                previous.wait();
            previous = {}; // or every task would keep the whole chain alive
            try {
                task();
            } catch (const std::exception &e) {
                qCritical("FFmpegVideoDecoder: lifecycle task failed: %s", e.what());
            }
        }).share();
}

void FFmpegVideoDecoder::waitForLifecycle() {
    std::shared_future<void> pending;
    {
        std::lock_guard lock(pendingLifecycleMutex_);
        pending = pendingLifecycle_;
    }
    if (pending.valid())
        pending.wait();
}

void FFmpegVideoDecoder::wake() {
    {
        std::lock_guard lock(wakeMutex_);
        ++wakeSeq_;
    }
    wakeCv_.notify_all();
}

uint64_t FFmpegVideoDecoder::wakeSequence() {
    std::lock_guard lock(wakeMutex_);
    return wakeSeq_;
}

void FFmpegVideoDecoder::sleepUnlessWoken(int64_t us, uint64_t seenSequence) {
    std::unique_lock lock(wakeMutex_);
    wakeCv_.wait_for(lock, std::chrono::microseconds(us),
                     [&] { return wakeSeq_ != seenSequence || stopRequested_.load(); });
}

void FFmpegVideoDecoder::requestStop() {
    stopRequested_.store(true);
    wake();
}

void FFmpegVideoDecoder::requestResync() {
    resyncRequested_.store(true);
    wake();
}

void FFmpegVideoDecoder::joinWorkers() {
    std::lock_guard lock(lifecycleMutex_);
    requestStop();
    if (microphoneThread_.joinable())
        microphoneThread_.join();
    if (decodeThread_.joinable())
        decodeThread_.join();
}

void FFmpegVideoDecoder::setLoop(bool loop) {
    loop_.store(loop);
    if (loop)
        ended_.store(false);
}

void FFmpegVideoDecoder::setPlaybackState(int64_t positionMs, bool play) {
    const int64_t cur = positionMs_.load();
    const bool wasPlaying = playing_.load();
    int64_t pos = std::max<int64_t>(positionMs, 0);
    const int64_t clamped = pos;
    const int64_t dur = durationMs_.load();

    const bool fromPause = play && !wasPlaying;
    int64_t newPos = pos;
    if (fromPause && dur >= 1 && pos >= dur - 80) { // play at the very end starts over
        newPos = 0;
        pos = 0;
    }
    if (fromPause || play != wasPlaying || clamped != cur)
        ended_.store(false);
    positionMs_.store(newPos);

    bool blocked = false;
    if (play) {
        blocked = ended_.load() && !loop_.load() && dur >= 1 && pos >= dur - 80;
        if (!blocked) {
            playing_.store(true);
            const int64_t requested = requestedPositionMs_.load();
            if ((fromPause && !(std::llabs(pos - cur) < 3 && requested >= 0)) ||
                (!fromPause && requested >= 0 && std::llabs(pos - requested) > 200))
                resyncRequested_.store(true);
        }
    }
    if (!play || blocked) {
        playing_.store(false);
        if (wasPlaying)
            flushAudioRequested_.store(true);
    }
    requestedPositionMs_.store(newPos);
    wake();
}

void FFmpegVideoDecoder::changeSource(const QString &address) {
    {
        std::lock_guard lock(sourceMutex_);
        // Already running this address. A worker that ended by itself (a failed open, a lost
        // stream) does not count: choosing the source again must try again.
        if (address == source_ && !stopRequested_.load() && workerRunning_.load())
            return;
    }
    durationMs_.store(-1);
    joinWorkers();
    audio_.clear(false);

    QString microphone;
    if (!address.isEmpty() && pool_) {
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
    gate_.setGateOnAudio(false);
    gate_.setSyncToAudioClock(!microphone.isEmpty());
    if (address.isEmpty() || !pool_)
        return;

    std::lock_guard lock(lifecycleMutex_);
    lastScrubPositionMs_.store(-1);
    requestedPositionMs_.store(-1);
    ended_.store(false);
    live_.store(false);
    resyncRequested_.store(true);
    gate_.reset();
    const uint64_t generation = workerGeneration_.fetch_add(1) + 1;
    stopRequested_.store(false);
    workerRunning_.store(true);
    decodeThread_ = std::thread([this, generation] {
        threadFunc(generation);
        workerRunning_.store(false);
    });
    if (!microphone.isEmpty())
        microphoneThread_ = std::thread([this] { microphoneFunc(); });
}

void FFmpegVideoDecoder::emitError(const QString &message) {
    if (stopRequested_.load())
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
    setCurrentThreadName(("dec:" + threadTag_).toUtf8().constData());
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
        if (kind == SourceAddress::Kind::Window) {
        runLibraryCapture(address, true);
        return;
    }
    if (kind == SourceAddress::Kind::Display) {
        if (SourceAddress::usesWindowCaptureLibrary(address))
            runLibraryCapture(address, false);
        else
            runDisplayCapture(SourceAddress::monitorIndex(address));
        return;
    }

    Worker worker(*this);
    if (!worker.open(source, address, !microphone.isEmpty()))
        return;
    qInfo("FFmpegVideoDecoder: opened generation=%llu live=%d duration_ms=%lld %s",
          static_cast<unsigned long long>(generation), int(worker.live),
          static_cast<long long>(durationMs_.load()), qUtf8Printable(forLog(source)));
    worker.run();
}

bool FFmpegVideoDecoder::Worker::open(const QString &source, const QString &address,
                                      bool hasAudioSource) {
    installAvLogRouting();
    initFfmpegOnce();

    AVFormatContext *raw = avformat_alloc_context();
    if (!raw) {
        d.emitError(QStringLiteral("avformat_open_input failed"));
        return false;
    }
    // Lets a stop end a slow open, probe or read at once instead of after the I/O time-out.
    raw->interrupt_callback = AVIOInterruptCB{&Worker::interrupt, this};

    libav::Dictionary options;
    setAll(options, SourceAddress::networkOptions(address));
    // Probe limits are options of the input itself, so they go with the open.
    setAll(options, SourceAddress::probeOptions(source, false));

    const AVInputFormat *format = nullptr;
    QByteArray url = address.toUtf8();
    const bool camera = SourceAddress::kindOf(address) == SourceAddress::Kind::Camera &&
                        !SourceAddress::deviceNames(address).video.isEmpty();
    if (camera) {
        format = av_find_input_format("video4linux2");
        if (!format) {
            avformat_free_context(raw);
            d.emitError(kNoCaptureInput);
            return false;
        }
        const CaptureDevices::Input device =
            CaptureDevices::camera(SourceAddress::deviceNames(address).video, &d.stopRequested_);
        url = device.url;
        setAll(options, SourceAddress::cameraBufferOptions(hasAudioSource));
        // A camera that stops delivering must not hold a read (and so a stop) for ever.
        raw->flags |= AVFMT_FLAG_NONBLOCK;
    }

    // On failure FFmpeg frees the context it was given.
    if (url.isEmpty() || avformat_open_input(&raw, url.constData(), format, options.get()) < 0) {
        if (url.isEmpty())
            avformat_free_context(raw);
        d.emitError(camera ? kCameraOpenFailed : QStringLiteral("avformat_open_input failed"));
        return false;
    }
    input.reset(raw);

    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        d.emitError(QStringLiteral("avformat_find_stream_info failed"));
        return false;
    }
    if (input->duration > 0)
        d.durationMs_.store(input->duration / 1000);
    live = SourceAddress::isLive(source, input->duration);
    d.live_.store(live);

    videoStream = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (videoStream < 0) {
        d.emitError(QStringLiteral("no video stream"));
        return false;
    }
    const AVStream *stream = input->streams[videoStream];
    videoTimeBase = stream->time_base;
    if (!live && stream->start_time != AV_NOPTS_VALUE)
        startUs = av_rescale_q(stream->start_time, videoTimeBase, kMicroseconds);
    if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
        videoFrameUs = av_rescale_q(1, av_inv_q(stream->avg_frame_rate), kMicroseconds);
    const AVCodec *decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder) {
        d.emitError(QStringLiteral("decoder not found"));
        return false;
    }
    video.reset(avcodec_alloc_context3(decoder));
    if (!video) {
        d.emitError(QStringLiteral("avcodec_alloc_context3 failed"));
        return false;
    }
    if (avcodec_parameters_to_context(video.get(), stream->codecpar) < 0) {
        d.emitError(QStringLiteral("avcodec_parameters_to_context failed"));
        return false;
    }
    // Frame threading adds a frame of delay per thread: fine for files, not for live inputs.
    video->thread_count = 0;
    if (live)
        video->thread_type = FF_THREAD_SLICE;
    if (avcodec_open2(video.get(), decoder, nullptr) < 0) {
        d.emitError(QStringLiteral("avcodec_open2 failed"));
        return false;
    }

    // A separate microphone replaces the input's own sound.
    if (!hasAudioSource) {
        const int audioIndex =
            av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, videoStream, nullptr, 0);
        if (audioIndex >= 0 && audio.open(input.get(), audioIndex)) // else silent
            audio.setStartOffset(startUs);
    }

    frame.reset(av_frame_alloc());
    newest.reset(av_frame_alloc());
    packet.reset(av_packet_alloc());
    aheadPacket.reset(av_packet_alloc());
    if (!frame || !newest || !packet || !aheadPacket) {
        d.emitError(QStringLiteral("alloc frame/packet failed"));
        return false;
    }

    if (live && SourceAddress::kindOf(source) == SourceAddress::Kind::Camera &&
        SourceAddress::audioSourceOf(source).isEmpty()) {
        d.gate_.setGateOnAudio(audio.isOpen());
        startReader();
    }
    return true;
}

void FFmpegVideoDecoder::Worker::shutdown() {
    if (reader.joinable()) {
        readerQuit.store(true); // the interrupt callback now aborts every blocking read
        queue.close();
        reader.join();
    }
    queue.clear();
    held.clear();
    sws_freeContext(sws);
    sws = nullptr;
}

void FFmpegVideoDecoder::Worker::run() {
    while (!stopping()) {
        if (d.flushAudioRequested_.exchange(false))
            d.audio_.clear(false);
        if (!d.playing_.load())
            pausedStep();
        else if (!playingStep())
            break;
    }
}

void FFmpegVideoDecoder::Worker::pausedStep() {
    const uint64_t seen = d.wakeSequence();
    freeHeld();
    anchored = false; // a resume starts a new timeline; the old one is as old as the pause
    const int64_t position = d.positionMs_.load();
    if (position != d.lastScrubPositionMs_.load()) {
        seek(position);
        deliverStillFrame();
        d.lastScrubPositionMs_.store(position);
        d.audio_.clear(false);
    }
    if (!d.playing_.load())
        d.sleepUnlessWoken(25000, seen);
}

bool FFmpegVideoDecoder::Worker::deliverStillFrame() {
    while (!stopping()) {
        const int r = readPacket(packet.get());
        if (r == AVERROR(EAGAIN)) {
            sleepUs(1000);
            continue;
        }
        const bool eof = r == AVERROR_EOF;
        if (r < 0 && !eof)
            return false;
        if (!eof && packet->stream_index != videoStream) {
            av_packet_unref(packet.get());
            continue;
        }
        // At the end, ask the decoder for the pictures it still holds.
        avcodec_send_packet(video.get(), eof ? nullptr : packet.get());
        av_packet_unref(packet.get());
        // The seek landed on the keyframe before the position: decode up to the picture that
        // is on screen at the position, and show that one.
        while (avcodec_receive_frame(video.get(), frame.get()) >= 0) {
            const int64_t ts = streamUs(frame->best_effort_timestamp, videoTimeBase);
            if (beforeSeekTarget(ts)) {
                av_frame_unref(newest.get());
                av_frame_move_ref(newest.get(), frame.get());
                continue;
            }
            seekTargetUs = INT64_MIN;
            deliver(frame.get(), ts, true);
            av_frame_unref(frame.get());
            av_frame_unref(newest.get());
            return true;
        }
        if (eof)
            break;
    }
    // The position lies past the last picture: show the last one.
    const bool shown = newest->buf[0] != nullptr;
    if (shown)
        deliver(newest.get(), streamUs(newest->best_effort_timestamp, videoTimeBase), true);
    av_frame_unref(newest.get());
    seekTargetUs = INT64_MIN;
    return shown;
}

bool FFmpegVideoDecoder::Worker::beforeSeekTarget(int64_t tsUs) const {
    // Half a frame of slack: the picture due at the position may be stamped a little before.
    const int64_t slack = videoFrameUs / 2;
    return seekTargetUs != INT64_MIN && tsUs < seekTargetUs - slack;
}

bool FFmpegVideoDecoder::Worker::playingStep() {
    d.lastScrubPositionMs_.store(-1);
    if (d.resyncRequested_.exchange(false)) {
        d.gate_.reset();
        seek(d.positionMs_.load());
        anchored = false;
    }
    const int r = readPacket(packet.get());
    if (r == AVERROR(EAGAIN)) {
        sleepUs(1000);
        return true;
    }
    if (r == AVERROR_EOF) {
        // The decoder still holds the last pictures; show them before the end.
        if (avcodec_send_packet(video.get(), nullptr) >= 0) {
            if (live)
                drainLive();
            else
                drainPaced();
        }
        if (stopping() || !d.playing_.load() || d.resyncRequested_.load())
            return true;
        if (d.loop_.load() && seek(0)) {
            d.ended_.store(false);
            anchored = false;
            return true;
        }
        if (!d.ended_.exchange(true)) { // also a loop over an input that cannot seek
            // Stay on the last picture: the paused path would otherwise show a still of the
            // last commanded position (usually the start) after the end.
            const int64_t endMs =
                lastDeliveredUs >= 0 ? lastDeliveredUs / 1000 : d.durationMs_.load();
            d.positionMs_.store(endMs);
            d.lastScrubPositionMs_.store(endMs);
            d.playing_.store(false);
            d.emitEndedQueued();
        }
        sleepUs(20000);
        return true;
    }
    if (r < 0)
        return false; // a broken stream ends the worker
    if (audio.isOpen() && packet->stream_index == audio.streamIndex()) {
        audio.decode(packet.get(), d.stopRequested_);
    } else if (packet->stream_index == videoStream) {
        avcodec_send_packet(video.get(), packet.get()); // even if refused, drain what is ready
        if (live)
            drainLive();
        else
            drainPaced();
    }
    av_packet_unref(packet.get());
    return true;
}

void FFmpegVideoDecoder::Worker::drainPaced() {
    while (avcodec_receive_frame(video.get(), frame.get()) >= 0) {
        if (stopping() || !d.playing_.load()) {
            av_frame_unref(frame.get());
            return;
        }
        const int64_t ts = streamUs(frame->best_effort_timestamp, videoTimeBase);
        if (beforeSeekTarget(ts)) {
            av_frame_unref(frame.get()); // between the keyframe and the asked position
            continue;
        }
        seekTargetUs = INT64_MIN;
        if (anchored && ts + kLateDropUs < lastDeliveredUs)
            anchored = false; // the timeline went back (a joined file): follow it
        if (anchored && anchorWallUs + (ts - anchorTsUs) - nowUs() < -kLateDropUs) {
            av_frame_unref(frame.get()); // too late: not worth converting
            continue;
        }
        // Convert before waiting, so that the picture leaves on time and the conversion's
        // own duration does not shift the timeline.
        FrameTokenPtr token = prepare(frame.get(), ts, true);
        av_frame_unref(frame.get());
        if (!token)
            continue;
        if (!anchored) {
            anchorWallUs = nowUs();
            anchorTsUs = ts;
            anchored = true;
        }
        const int64_t target = anchorWallUs + (ts - anchorTsUs);

        // While early, read ahead so that sound keeps flowing; pictures are held back. Bounded
        // by the sound already queued and by the held pictures, never by dropping pictures:
        // a local file reads so fast that an unbounded read-ahead would run to its end.
        while (target - nowUs() > 200 && d.playing_.load() && !stopping() && audio.isOpen() &&
               held.size() < size_t(kMaxHeldPackets) &&
               d.audio_.sampleCount() < kReadAheadSoundSamples) {
            if (readInput(aheadPacket.get()) < 0)
                break;
            if (aheadPacket->stream_index == audio.streamIndex()) {
                audio.decode(aheadPacket.get(), d.stopRequested_);
                av_packet_unref(aheadPacket.get());
            } else if (aheadPacket->stream_index == videoStream) {
                libav::Packet shell;
                if (!spare.empty()) {
                    shell = std::move(spare.back());
                    spare.pop_back();
                } else {
                    shell.reset(av_packet_alloc());
                    if (!shell) {
                        av_packet_unref(aheadPacket.get());
                        break;
                    }
                }
                av_packet_move_ref(shell.get(), aheadPacket.get());
                held.push_back(std::move(shell));
            } else {
                av_packet_unref(aheadPacket.get());
            }
        }

        const int64_t wait = target - nowUs();
        if (wait >= 1) {
            const int64_t until = nowUs() + std::min(wait, kMaxPacingSleepUs);
            for (;;) {
                const uint64_t seen = d.wakeSequence();
                const int64_t left = until - nowUs();
                if (left < 1 || stopping() || !d.playing_.load() || d.resyncRequested_.load())
                    break;
                d.sleepUnlessWoken(left, seen);
            }
            if (stopping() || !d.playing_.load() || d.resyncRequested_.load())
                return; // the seek that follows drops the rest
            if (wait > kMaxPacingSleepUs) {
                // A jump in the timeline: carry on from here at the normal pace instead of
                // showing one picture per capped sleep until the timeline is reached.
                anchorWallUs = nowUs();
                anchorTsUs = ts;
            }
        } else if (wait < -kLateDropUs) {
            continue; // the conversion itself made it too late
        }
        hand(std::move(token));
    }
}

void FFmpegVideoDecoder::Worker::drainLive() {
    bool got = false;
    while (avcodec_receive_frame(video.get(), frame.get()) >= 0) {
        av_frame_unref(newest.get());
        av_frame_move_ref(newest.get(), frame.get());
        got = true;
    }
    // With more camera packets already waiting this picture is not the newest: decode on and
    // convert only the last one, so a slow moment does not turn into lasting delay.
    if (got && d.playing_.load() && !stopping() && !(reader.joinable() && queue.size() > 0)) {
        const int64_t ts = streamUs(newest->best_effort_timestamp, videoTimeBase);
        if (!d.gate_.shouldDrop(ts))
            deliver(newest.get(), ts, false);
    }
    av_frame_unref(newest.get());
}

FrameTokenPtr FFmpegVideoDecoder::Worker::prepare(AVFrame *picture, int64_t tsUs,
                                                  bool mayAllocate) {
    FramePool *pool = d.pool_;
    const int width = pool->width();
    const int height = pool->height();
    SwsContext *const previous = sws;
    sws = sws_getCachedContext(sws, picture->width, picture->height, AVPixelFormat(picture->format),
                               width, height, AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr,
                               nullptr);
    if (!sws)
        return {};
    if (sws != previous)
        colourSpace = colourRange = -1; // a new scaler starts with the default matrix
    // The picture's own colour matrix and range (HD material is BT.709), as the scaler
    // would otherwise assume BT.601 and limited range.
    if (picture->colorspace != colourSpace || picture->color_range != colourRange) {
        colourSpace = picture->colorspace;
        colourRange = picture->color_range;
        const int matrix = colourSpace != AVCOL_SPC_UNSPECIFIED ? colourSpace
                           : picture->height >= 720             ? SWS_CS_ITU709
                                                                : SWS_CS_ITU601;
        sws_setColorspaceDetails(sws, sws_getCoefficients(matrix), colourRange == AVCOL_RANGE_JPEG,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    }
    FrameTokenPtr token = mayAllocate ? pool->acquire() : pool->tryAcquire();
    if (!token)
        return {}; // the pool is busy: a live picture is dropped
    token->valid = true;
    token->width = width;
    token->height = height;
    token->stride = width * 4;
    const qsizetype bytes = qsizetype(token->stride) * height;
    if (token->data.size() < bytes)
        token->data.resize(bytes);
    uint8_t *dst[4] = {reinterpret_cast<uint8_t *>(token->data.data()), nullptr, nullptr,
                       nullptr}; // data() detaches a shared buffer
    const int dstStride[4] = {token->stride, 0, 0, 0};
    sws_scale(sws, picture->data, picture->linesize, 0, picture->height, dst, dstStride);
    token->ptsUs = tsUs;
    return token;
}

void FFmpegVideoDecoder::Worker::hand(FrameTokenPtr token) {
    lastDeliveredUs = token->ptsUs;
    if (d.frameCallback_)
        d.frameCallback_(std::move(token));
}

void FFmpegVideoDecoder::Worker::deliver(AVFrame *picture, int64_t tsUs, bool mayAllocate) {
    if (FrameTokenPtr token = prepare(picture, tsUs, mayAllocate))
        hand(std::move(token));
}

int FFmpegVideoDecoder::Worker::readPacket(AVPacket *out) {
    if (!held.empty()) {
        av_packet_move_ref(out, held.front().get());
        spare.push_back(std::move(held.front())); // an empty shell, kept for the next hold
        held.pop_front();
        return 0;
    }
    return readInput(out);
}

int FFmpegVideoDecoder::Worker::readInput(AVPacket *out) {
    if (!reader.joinable())
        return av_read_frame(input.get(), out);
    return queue.pop(out, d.stopRequested_) ? 0 : AVERROR_EOF;
}

void FFmpegVideoDecoder::Worker::startReader() {
    readerQuit.store(false);
    const QByteArray name = ("rd:" + d.threadTag_).toUtf8();
    reader = std::thread([this, name] {
        setCurrentThreadName(name.constData());
        readerLoop();
    });
}

void FFmpegVideoDecoder::Worker::readerLoop() {
    libav::Packet fresh; // kept across retries: a camera with nothing yet costs no packets
    while (!readerQuit.load()) {
        if (!fresh)
            fresh = queue.takeShell();
        if (!fresh)
            return;
        const int r = av_read_frame(input.get(), fresh.get());
        if (r == AVERROR_EXIT)
            return;
        if (r < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            continue;
        }
        queue.push(std::move(fresh));
    }
}

bool FFmpegVideoDecoder::Worker::seek(int64_t positionMs) {
    freeHeld();
    d.gate_.reset();
    queue.clear();
    bool ok = true;
    if (live) {
        avcodec_flush_buffers(video.get());
        audio.flushDecoder();
    } else {
        const int64_t target = positionMs * 1000;
        const int64_t ts = av_rescale_q(target + startUs, kMicroseconds, videoTimeBase);
        ok = av_seek_frame(input.get(), videoStream, ts, AVSEEK_FLAG_BACKWARD) >= 0;
        if (ok) {
            avcodec_flush_buffers(video.get());
            audio.flushDecoder();
            seekTargetUs = target;
            audio.dropBefore(target);
        }
    }
    audio.resetResampler();
    d.audio_.clear(true);
    return ok;
}

// The separate microphone: a second input whose sound replaces the source's own.
void FFmpegVideoDecoder::microphoneFunc() {
    setCurrentThreadName(("mic:" + threadTag_).toUtf8().constData());
    QString microphone;
    {
        std::lock_guard lock(sourceMutex_);
        microphone = audioSource_;
    }
    if (microphone.isEmpty())
        return;
    installAvLogRouting();
    initFfmpegOnce();

    if (!SourceAddress::isMicrophoneAddress(microphone)) {
        emitError(QStringLiteral("dshow 分离麦克风 URL 无效（需 dshow://…&audio=设备名）"));
        return;
    }
    const CaptureDevices::Input device =
        CaptureDevices::microphone(SourceAddress::deviceNames(microphone).audio, &stopRequested_);
    const QByteArray formatName = device.isValid() ? device.format : QByteArray("pulse");
    const AVInputFormat *format = av_find_input_format(formatName.constData());
    if (!format)
        format = av_find_input_format("alsa");
    if (!format) {
        emitError(QStringLiteral("未注册 dshow 输入（分离麦克风）"));
        return;
    }

    struct Interrupt {
        static int check(void *opaque) {
            return static_cast<FFmpegVideoDecoder *>(opaque)->stopRequested_.load() ? 1 : 0;
        }
    };
    AVFormatContext *raw = avformat_alloc_context();
    libav::Dictionary options;
    setAll(options, SourceAddress::networkOptions(microphone));
    setAll(options, SourceAddress::microphoneBufferOptions());
    setAll(options, SourceAddress::probeOptions(microphone, true));
    if (raw)
        raw->interrupt_callback = AVIOInterruptCB{&Interrupt::check, this};
    if (!raw || !device.isValid() ||
        avformat_open_input(&raw, device.url.constData(), format, options.get()) < 0) {
        if (raw && !device.isValid())
            avformat_free_context(raw);
        emitError(QStringLiteral("无法打开麦克风（分离 dshow 采集）"));
        return;
    }
    libav::InputFormatContext input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        emitError(QStringLiteral("dshow 麦克风 find_stream_info 失败"));
        return;
    }
    const int stream = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream < 0) {
        emitError(QStringLiteral("分离音轨中无音频流"));
        return;
    }
    if (!avcodec_find_decoder(input->streams[stream]->codecpar->codec_id))
        return;
    AudioStreamDecoder sound(audio_, &gate_);
    if (!sound.open(input.get(), stream)) {
        emitError(QStringLiteral("dshow 麦克风解码器打开失败"));
        return;
    }
    libav::Packet packet(av_packet_alloc());
    if (!packet)
        return;

    while (!stopRequested_.load()) {
        if (flushAudioRequested_.exchange(false))
            audio_.clear(false);
        if (playing_.load()) {
            if (av_read_frame(input.get(), packet.get()) < 0) {
                sleepUnlessWoken(3000, wakeSequence());
                continue;
            }
            if (packet->stream_index == stream)
                sound.decode(packet.get(), stopRequested_);
            av_packet_unref(packet.get());
        } else {
            // Paused: keep the device drained so that resuming plays no stale sound.
            int discarded = 0;
            while (discarded < 128 && !stopRequested_.load() && !playing_.load() &&
                   av_read_frame(input.get(), packet.get()) >= 0) {
                av_packet_unref(packet.get());
                ++discarded;
            }
            sleepUnlessWoken(discarded > 0 ? 1000 : 8000, wakeSequence());
        }
    }
}
