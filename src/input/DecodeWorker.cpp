#include "input/DecodeWorker.h"

#include "core/FramePool.h"
#include "core/LibavError.h"
#include "core/PosixUtil.h"
#include "input/DecoderControl.h"
#include "input/FFmpegVideoDecoder.h"
#include "input/SourceAddress.h"
#include "platform/CaptureDevices.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
// Reading ahead of a paced picture stops once this much sound (1 s) is queued.
constexpr size_t kReadAheadSoundSamples = size_t(AudioSampleQueue::kSampleRate) * 2;

const QString kCameraOpenFailed =
    QStringLiteral("无法打开摄像头或麦克风（设备名是否与系统一致？是否被其他程序占用？）");
const QString kNoCaptureInput = QStringLiteral(
    "未注册 dshow 输入（通常未链接 libavdevice）。请运行 scripts/setup.sh 安装带 libavdevice 的 "
    "FFmpeg 开发库，再用 CMake 完整重编（quorvi_engine 链接 libavdevice）。");
constexpr int64_t kLateDropUs = FFmpegVideoDecoder::kLateDropUs;
// A thumbnail repaints at most 15 times a second; a playing channel off the program converts
// no more pictures than that (a few ms of slack, so 30 fps gives every second picture).
constexpr int64_t kThumbnailIntervalUs = 1000000 / 15 - 5000;
constexpr int64_t kMaxPacingSleepUs = FFmpegVideoDecoder::kMaxPacingSleepUs;
constexpr int kMaxHeldPackets = FFmpegVideoDecoder::kMaxHeldPackets;
const QString kOpenFailed = QStringLiteral("avformat_open_input failed");

// Up to 1080p30 a file's picture decodes in a few ms on one core, and the channels already decode
// side by side, each on its own thread: frame threads there only add hand-offs, a frame of delay
// each and pictures of their own (about 20 MB a 1080p channel). Bigger or faster files keep them,
// so that one channel alone still keeps real time.
constexpr double kOneThreadPixelsPerSecond = 1920.0 * 1088 * 30.5;

int fileDecoderThreads(const AVCodecParameters &par, AVRational rate) {
    const double fps = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 30;
    return double(par.width) * par.height * fps <= kOneThreadPixelsPerSecond ? 1 : 0;
}

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

DecodeWorker::DecodeWorker(DecoderControl &control)
    : c_(control), input_([this] { return c_.stopping() || readerQuit_.load(); }),
      audio_(control.audio, &control.gate) {}

void DecodeWorker::sleepUs(int64_t us) {
    c_.sleepUs(us);
}

int64_t DecodeWorker::streamUs(int64_t ts, AVRational timeBase) const {
    return ts == AV_NOPTS_VALUE ? 0 : av_rescale_q(ts, timeBase, kMicroseconds) - startUs_;
}

bool DecodeWorker::stopping() const {
    return c_.stopping();
}

bool DecodeWorker::open(const QString &source, const QString &address, bool hasAudioSource) {
    LibavInput::initialise();

    SourceAddress::Options options = SourceAddress::networkOptions(address);
    const SourceAddress::Options probe = SourceAddress::probeOptions(source, false);
    options.insert(options.end(), probe.begin(), probe.end());
    const AVInputFormat *format = nullptr;
    QByteArray url = address.toUtf8();
    int flags = 0;
    const bool camera = SourceAddress::kindOf(address) == SourceAddress::Kind::Camera &&
                        !SourceAddress::deviceNames(address).video.isEmpty();
    if (camera) {
        format = av_find_input_format("video4linux2");
        if (!format) {
            c_.reportError(kNoCaptureInput);
            return false;
        }
        const CaptureDevices::Input device =
            CaptureDevices::camera(SourceAddress::deviceNames(address).video, &c_.stopRequested);
        url = device.url;
        const SourceAddress::Options buffer = SourceAddress::cameraBufferOptions(hasAudioSource);
        options.insert(options.end(), buffer.begin(), buffer.end());
        // A camera that stops delivering must not hold a read (and so a stop) for ever.
        flags |= AVFMT_FLAG_NONBLOCK;
    }
    const QString openFailed = camera ? kCameraOpenFailed : kOpenFailed;
    if (url.isEmpty()) {
        c_.reportError(openFailed);
        return false;
    }
    if (const int r = input_.open(url, format, options, flags); r < 0) {
        c_.reportError(libav::errorText(openFailed, r));
        return false;
    }
    if (const int r = input_.findStreamInfo(); r < 0) {
        c_.reportError(libav::errorText(QStringLiteral("avformat_find_stream_info failed"), r));
        return false;
    }
    if (input_->duration > 0)
        c_.durationMs.store(input_->duration / 1000);
    live_ = SourceAddress::isLive(source, input_->duration);
    c_.live.store(live_);

    videoStream_ = input_.bestStream(AVMEDIA_TYPE_VIDEO);
    if (videoStream_ < 0) {
        c_.reportError(QStringLiteral("no video stream"));
        return false;
    }
    const AVStream *stream = input_->streams[videoStream_];
    videoTimeBase_ = stream->time_base;
    if (!live_ && stream->start_time != AV_NOPTS_VALUE)
        startUs_ = av_rescale_q(stream->start_time, videoTimeBase_, kMicroseconds);
    if (stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0)
        videoFrameUs_ = av_rescale_q(1, av_inv_q(stream->avg_frame_rate), kMicroseconds);
    const AVCodec *decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder) {
        c_.reportError(QStringLiteral("decoder not found"));
        return false;
    }
    video_.reset(avcodec_alloc_context3(decoder));
    if (!video_) {
        c_.reportError(QStringLiteral("avcodec_alloc_context3 failed"));
        return false;
    }
    if (const int r = avcodec_parameters_to_context(video_.get(), stream->codecpar); r < 0) {
        c_.reportError(libav::errorText(QStringLiteral("avcodec_parameters_to_context failed"), r));
        return false;
    }
    // Frame threading adds a frame of delay per thread: not for live inputs.
    video_->thread_count =
        live_ ? 0 : fileDecoderThreads(*stream->codecpar, stream->avg_frame_rate);
    if (live_)
        video_->thread_type = FF_THREAD_SLICE;
    if (const int r = avcodec_open2(video_.get(), decoder, nullptr); r < 0) {
        c_.reportError(libav::errorText(QStringLiteral("avcodec_open2 failed"), r));
        return false;
    }

    // A separate microphone replaces the input's own sound.
    if (!hasAudioSource) {
        const int audioIndex = input_.bestStream(AVMEDIA_TYPE_AUDIO, videoStream_);
        if (audioIndex >= 0 && audio_.open(input_.get(), audioIndex)) // else silent
            audio_.setStartOffset(startUs_);
    }

    frame_.reset(av_frame_alloc());
    newest_.reset(av_frame_alloc());
    last_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    aheadPacket_.reset(av_packet_alloc());
    if (!frame_ || !newest_ || !last_ || !packet_ || !aheadPacket_) {
        c_.reportError(QStringLiteral("alloc frame/packet failed"));
        return false;
    }

    if (live_ && SourceAddress::kindOf(source) == SourceAddress::Kind::Camera &&
        SourceAddress::audioSourceOf(source).isEmpty()) {
        c_.gate.setGateOnAudio(audio_.isOpen());
        startReader();
    }
    return true;
}

void DecodeWorker::shutdown() {
    if (reader_.joinable()) {
        readerQuit_.store(true); // the interrupt check now aborts every blocking read
        queue_.close();
        reader_.join();
    }
    queue_.clear();
    held_.clear();
}

void DecodeWorker::run() {
    while (!stopping()) {
        if (c_.flushAudioRequested.exchange(false))
            c_.audio.clear(false);
        if (c_.redeliverRequested.exchange(false))
            redeliver();
        if (!c_.playing.load())
            pausedStep();
        else if (!playingStep())
            break;
    }
}

void DecodeWorker::pausedStep() {
    const uint64_t seen = c_.wakeSequence();
    freeHeld();
    anchored_ = false; // a resume starts a new timeline; the old one is as old as the pause
    const int64_t position = c_.positionMs.load();
    if (position != c_.lastScrubPositionMs.load()) {
        seek(position);
        deliverStillFrame();
        c_.lastScrubPositionMs.store(position);
        c_.audio.clear(false);
    }
    if (!c_.playing.load())
        c_.sleepUnlessWoken(25000, seen);
}

bool DecodeWorker::deliverStillFrame() {
    while (!stopping()) {
        const int r = readPacket(packet_.get());
        if (r == AVERROR(EAGAIN)) {
            sleepUs(1000);
            continue;
        }
        const bool eof = r == AVERROR_EOF;
        if (r < 0 && !eof)
            return false;
        if (!eof && packet_->stream_index != videoStream_) {
            av_packet_unref(packet_.get());
            continue;
        }
        // At the end, ask the decoder for the pictures it still holds.
        video_->skip_frame = AVDISCARD_DEFAULT; // the picture at the position may be any
        avcodec_send_packet(video_.get(), eof ? nullptr : packet_.get());
        av_packet_unref(packet_.get());
        // The seek landed on the keyframe before the position: decode up to the picture that
        // is on screen at the position, and show that one.
        while (avcodec_receive_frame(video_.get(), frame_.get()) >= 0) {
            const int64_t ts = streamUs(frame_->best_effort_timestamp, videoTimeBase_);
            if (beforeSeekTarget(ts)) {
                av_frame_unref(newest_.get());
                av_frame_move_ref(newest_.get(), frame_.get());
                continue;
            }
            seekTargetUs_ = INT64_MIN;
            deliver(frame_.get(), ts, true, false);
            av_frame_unref(frame_.get());
            av_frame_unref(newest_.get());
            return true;
        }
        if (eof)
            break;
    }
    // The position lies past the last picture: show the last one.
    const bool shown = newest_->buf[0] != nullptr;
    if (shown)
        deliver(newest_.get(), streamUs(newest_->best_effort_timestamp, videoTimeBase_), true,
                false);
    av_frame_unref(newest_.get());
    seekTargetUs_ = INT64_MIN;
    return shown;
}

bool DecodeWorker::beforeSeekTarget(int64_t tsUs) const {
    // Half a frame of slack: the picture due at the position may be stamped a little before.
    const int64_t slack = videoFrameUs_ / 2;
    return seekTargetUs_ != INT64_MIN && tsUs < seekTargetUs_ - slack;
}

bool DecodeWorker::playingStep() {
    c_.lastScrubPositionMs.store(-1);
    if (c_.resyncRequested.exchange(false)) {
        c_.gate.reset();
        seek(c_.positionMs.load());
        anchored_ = false;
    }
    const int r = readPacket(packet_.get());
    if (r == AVERROR(EAGAIN)) {
        sleepUs(1000);
        return true;
    }
    if (r == AVERROR_EOF) {
        // The decoder still holds the last pictures; show them before the end.
        video_->skip_frame = AVDISCARD_DEFAULT;
        if (avcodec_send_packet(video_.get(), nullptr) >= 0) {
            if (live_)
                drainLive();
            else
                drainPaced();
        }
        if (stopping() || !c_.playing.load() || c_.resyncRequested.load())
            return true;
        if (c_.loop.load() && seek(0)) {
            c_.ended.store(false);
            anchored_ = false;
            return true;
        }
        if (!c_.ended.exchange(true)) { // also a loop over an input that cannot seek
            // Stay on the last picture: the paused path would otherwise show a still of the
            // last commanded position (usually the start) after the end.
            const int64_t endMs =
                lastDeliveredUs_ >= 0 ? lastDeliveredUs_ / 1000 : c_.durationMs.load();
            c_.positionMs.store(endMs);
            c_.lastScrubPositionMs.store(endMs);
            c_.playing.store(false);
            c_.reportEnded();
        }
        sleepUs(20000);
        return true;
    }
    if (r < 0)
        return false; // a broken stream ends the worker
    if (audio_.isOpen() && packet_->stream_index == audio_.streamIndex()) {
        audio_.decode(packet_.get(), c_.stopRequested);
    } else if (packet_->stream_index == videoStream_) {
        sendVideo(packet_.get()); // even if refused, drain what is ready
        if (live_)
            drainLive();
        else
            drainPaced();
    }
    av_packet_unref(packet_.get());
    return true;
}

void DecodeWorker::drainPaced() {
    while (avcodec_receive_frame(video_.get(), frame_.get()) >= 0) {
        if (stopping() || !c_.playing.load()) {
            av_frame_unref(frame_.get());
            return;
        }
        const int64_t ts = streamUs(frame_->best_effort_timestamp, videoTimeBase_);
        if (beforeSeekTarget(ts)) {
            av_frame_unref(frame_.get()); // between the keyframe and the asked position
            continue;
        }
        seekTargetUs_ = INT64_MIN;
        if (anchored_ && ts + kLateDropUs < lastDeliveredUs_)
            anchored_ = false; // the timeline went back (a joined file): follow it
        if (anchored_ && anchorWallUs_ + (ts - anchorTsUs_) - nowUs() < -kLateDropUs) {
            av_frame_unref(frame_.get()); // too late: not worth converting
            continue;
        }
        // Convert before waiting, so that the picture leaves on time and the conversion's
        // own duration does not shift the timeline.
        if (thumbnailSkips(frame_.get(), ts)) {
            av_frame_unref(frame_.get());
            continue;
        }
        FrameTokenPtr token = convert(frame_.get(), ts, true, true);
        av_frame_unref(frame_.get());
        if (!token)
            continue;
        if (!anchored_) {
            anchorWallUs_ = nowUs();
            anchorTsUs_ = ts;
            anchored_ = true;
        }
        const int64_t target = anchorWallUs_ + (ts - anchorTsUs_);

        // While early, read ahead so that sound keeps flowing; pictures are held back. Bounded
        // by the sound already queued and by the held pictures, never by dropping pictures:
        // a local file reads so fast that an unbounded read-ahead would run to its end.
        while (target - nowUs() > 200 && c_.playing.load() && !stopping() && audio_.isOpen() &&
               held_.size() < size_t(kMaxHeldPackets) &&
               c_.audio.sampleCount() < kReadAheadSoundSamples) {
            if (readInput(aheadPacket_.get()) < 0)
                break;
            if (aheadPacket_->stream_index == audio_.streamIndex()) {
                audio_.decode(aheadPacket_.get(), c_.stopRequested);
                av_packet_unref(aheadPacket_.get());
            } else if (aheadPacket_->stream_index == videoStream_) {
                libav::Packet shell;
                if (!spare_.empty()) {
                    shell = std::move(spare_.back());
                    spare_.pop_back();
                } else {
                    shell.reset(av_packet_alloc());
                    if (!shell) {
                        av_packet_unref(aheadPacket_.get());
                        break;
                    }
                }
                av_packet_move_ref(shell.get(), aheadPacket_.get());
                held_.push_back(std::move(shell));
            } else {
                av_packet_unref(aheadPacket_.get());
            }
        }

        const int64_t wait = target - nowUs();
        if (wait >= 1) {
            const int64_t until = nowUs() + std::min(wait, kMaxPacingSleepUs);
            for (;;) {
                const uint64_t seen = c_.wakeSequence();
                const int64_t left = until - nowUs();
                if (left < 1 || stopping() || !c_.playing.load() || c_.resyncRequested.load())
                    break;
                c_.sleepUnlessWoken(left, seen);
            }
            if (stopping() || !c_.playing.load() || c_.resyncRequested.load())
                return; // the seek that follows drops the rest
            if (wait > kMaxPacingSleepUs) {
                // A jump in the timeline: carry on from here at the normal pace instead of
                // showing one picture per capped sleep until the timeline is reached.
                anchorWallUs_ = nowUs();
                anchorTsUs_ = ts;
            }
        } else if (wait < -kLateDropUs) {
            continue; // the conversion itself made it too late
        }
        hand(std::move(token));
    }
}

void DecodeWorker::drainLive() {
    bool got = false;
    while (avcodec_receive_frame(video_.get(), frame_.get()) >= 0) {
        av_frame_unref(newest_.get());
        av_frame_move_ref(newest_.get(), frame_.get());
        got = true;
    }
    // With more camera packets already waiting this picture is not the newest: decode on and
    // convert only the last one, so a slow moment does not turn into lasting delay.
    if (got && c_.playing.load() && !stopping() && !(reader_.joinable() && queue_.size() > 0)) {
        const int64_t ts = streamUs(newest_->best_effort_timestamp, videoTimeBase_);
        if (!c_.gate.shouldDrop(ts) && !thumbnailSkips(newest_.get(), ts))
            deliver(newest_.get(), ts, false, true);
    }
    av_frame_unref(newest_.get());
}

void DecodeWorker::hand(FrameTokenPtr token) {
    lastDeliveredUs_ = token->ptsUs;
    if (thumbnail_) // first, so the whole picture stays the newest; moving empties it
        c_.deliver(std::move(thumbnail_));
    c_.deliver(std::move(token));
}

void DecodeWorker::deliver(AVFrame *picture, int64_t tsUs, bool mayAllocate, bool playing) {
    if (FrameTokenPtr token = convert(picture, tsUs, mayAllocate, playing))
        hand(std::move(token));
}

FrameTokenPtr DecodeWorker::convert(AVFrame *picture, int64_t tsUs, bool mayAllocate,
                                    bool playing) {
    thumbnail_.reset();
    const bool thumbnailOnly = c_.thumbnailOnly.load();
    FramePool *thumbnailPool = c_.thumbnailPool;
    // A still stays whole for both, as the program redraws it for as long as it is shown.
    const bool apart = !thumbnailOnly && playing && thumbnailPool &&
                       FrameScaler::fitsThumbnail(*c_.pool, *thumbnailPool, picture);
    FrameTokenPtr token = scaler_.scale(*c_.pool, picture, tsUs, mayAllocate,
                                        thumbnailOnly ? thumbnailPool : nullptr);
    if (thumbnailOnly) {
        keepLast(picture, tsUs);
        if (token)
            lastThumbnailUs_ = tsUs;
    } else if (apart) {
        // The program draws on its picture: for a redraw the picture is asked for again.
        keepLast(picture, tsUs);
        if (token) {
            token->programOnly = true;
            scaler_.keepSource(*token, picture);
            if (thumbnailDue(tsUs)) {
                thumbnail_ = scaler_.scale(*c_.pool, picture, tsUs, mayAllocate, thumbnailPool);
                if (thumbnail_)
                    lastThumbnailUs_ = tsUs;
            }
        }
    } else {
        av_frame_unref(last_.get());
        lastThumbnailUs_ = INT64_MIN;
    }
    return token;
}

bool DecodeWorker::thumbnailDue(int64_t tsUs) const {
    return lastThumbnailUs_ == INT64_MIN || tsUs < lastThumbnailUs_ ||
           tsUs - lastThumbnailUs_ >= kThumbnailIntervalUs;
}

bool DecodeWorker::thumbnailSkips(AVFrame *picture, int64_t tsUs) {
    if (!c_.thumbnailOnly.load() || thumbnailDue(tsUs))
        return false;
    keepLast(picture, tsUs); // still the picture to go on air with, should the channel go
    return true;
}

void DecodeWorker::sendVideo(const AVPacket *packet) {
    AVDiscard discard = AVDISCARD_DEFAULT;
    if (c_.thumbnailOnly.load() && packet->pts != AV_NOPTS_VALUE) {
        const int64_t t = streamUs(packet->pts, videoTimeBase_);
        int64_t before = INT64_MIN;
        for (size_t i = 0; i < std::min(sentWholeCount_, sentWhole_.size()); ++i)
            if (sentWhole_[i] < t && sentWhole_[i] > before)
                before = sentWhole_[i];
        if (before != INT64_MIN && t - before < kThumbnailIntervalUs)
            discard = AVDISCARD_NONREF; // a reference picture is still decoded, just not counted
        else
            sentWhole_[sentWholeCount_++ % sentWhole_.size()] = t;
    }
    // The decoder's frame threads take this over with each packet.
    video_->skip_frame = discard;
    avcodec_send_packet(video_.get(), packet);
}

void DecodeWorker::keepLast(AVFrame *picture, int64_t tsUs) {
    av_frame_unref(last_.get());
    // A reference, not a copy: the decoder just keeps one more of its buffers.
    if (av_frame_ref(last_.get(), picture) >= 0)
        lastTsUs_ = tsUs;
}

void DecodeWorker::redeliver() {
    if (!last_->buf[0])
        return;
    // Moved out first: converting it whole lets go of last_.
    libav::Frame picture(av_frame_alloc());
    if (!picture)
        return;
    av_frame_move_ref(picture.get(), last_.get());
    deliver(picture.get(), lastTsUs_, true, false);
}

int DecodeWorker::readPacket(AVPacket *out) {
    if (!held_.empty()) {
        av_packet_move_ref(out, held_.front().get());
        spare_.push_back(std::move(held_.front())); // an empty shell, kept for the next hold
        held_.pop_front();
        return 0;
    }
    return readInput(out);
}

int DecodeWorker::readInput(AVPacket *out) {
    if (!reader_.joinable())
        return av_read_frame(input_.get(), out);
    return queue_.pop(out, c_.stopRequested) ? 0 : AVERROR_EOF;
}

void DecodeWorker::startReader() {
    readerQuit_.store(false);
    const QByteArray name = ("rd:" + c_.threadTag).toUtf8();
    reader_ = std::thread([this, name] {
        setCurrentThreadName(name.constData());
        readerLoop();
    });
}

void DecodeWorker::readerLoop() {
    libav::Packet fresh; // kept across retries: a camera with nothing yet costs no packets
    while (!readerQuit_.load()) {
        if (!fresh)
            fresh = queue_.takeShell();
        if (!fresh)
            return;
        const int r = av_read_frame(input_.get(), fresh.get());
        if (r == AVERROR_EXIT)
            return;
        if (r < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            continue;
        }
        queue_.push(std::move(fresh));
    }
}

bool DecodeWorker::seek(int64_t positionMs) {
    freeHeld();
    av_frame_unref(last_.get()); // a picture from before the seek
    lastThumbnailUs_ = INT64_MIN;
    sentWholeCount_ = 0;
    c_.gate.reset();
    queue_.clear();
    bool ok = true;
    if (live_) {
        avcodec_flush_buffers(video_.get());
        audio_.flushDecoder();
    } else {
        const int64_t target = positionMs * 1000;
        const int64_t ts = av_rescale_q(target + startUs_, kMicroseconds, videoTimeBase_);
        ok = av_seek_frame(input_.get(), videoStream_, ts, AVSEEK_FLAG_BACKWARD) >= 0;
        if (ok) {
            avcodec_flush_buffers(video_.get());
            audio_.flushDecoder();
            seekTargetUs_ = target;
            audio_.dropBefore(target);
        }
    }
    audio_.resetResampler();
    c_.audio.clear(true);
    return ok;
}
