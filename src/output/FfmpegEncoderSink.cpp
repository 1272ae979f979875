#include "output/FfmpegEncoderSink.h"

#include "core/LibavPtr.h"
#include "core/Logging.h"

#include "platform/PosixUtil.h"

#include <QDebug>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

std::atomic<bool> g_nvencWarned{false};

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString avErrorText(int error) {
    char buffer[64] = {};
    av_strerror(error, buffer, sizeof buffer);
    return QString::fromUtf8(buffer);
}

bool startsWithRtmp(const QString &url) {
    for (const char *scheme : {"rtmp://", "rtmps://", "rtmpt://", "rtmpe://"})
        if (url.startsWith(QLatin1String(scheme), Qt::CaseInsensitive))
            return true;
    return false;
}

bool isMp4Family(const char *name) {
    for (const char *n : {"mp4", "mov", "ismv", "3gp", "f4v"})
        if (std::strcmp(name, n) == 0)
            return true;
    return false;
}

// Encoder parameters a stream output is made from; immutable once published.
struct EncoderParams {
    AVCodecParameters *video = avcodec_parameters_alloc();
    AVCodecParameters *audio = nullptr;
    AVRational videoTimeBase{1, 1000};
    AVRational videoFrameRate{30, 1};
    AVRational audioTimeBase{1, 48000};
    int audioSampleRate = 48000;
    int audioFrameSize = 1024;
    ~EncoderParams() {
        avcodec_parameters_free(&video);
        avcodec_parameters_free(&audio);
    }
};

} // namespace

struct FfmpegEncoderSink::Shared {
    std::atomic<bool> abortIo{false};
    std::atomic<bool> keyframeWanted{false};
    std::atomic<int> fileWriteStreak{0};
    std::atomic<int> streamWriteSeq{0};
    std::atomic<int> reconnectCount{0};
    SteadyClock clock;
    FfmpegEncoderSink::WriteObserver observer;
    bool liveMode = false;

    std::mutex paramsMutex;
    std::shared_ptr<const EncoderParams> params; // guarded by paramsMutex

    std::shared_ptr<const EncoderParams> currentParams() {
        std::lock_guard lock(paramsMutex);
        return params;
    }
    int64_t now() const { return clock ? clock() : steadyNowNs(); }
};

// One output: the file (written on the encoding thread) or a stream (written by its own
// writer thread from a bounded packet queue).
struct FfmpegEncoderSink::MuxTarget {
    AVFormatContext *fmt = nullptr;
    AVStream *videoStream = nullptr;
    AVStream *audioStream = nullptr;
    bool isFlv = false;
    QByteArray url;
    QByteArray format;
    bool isRtmp = false;
    bool needsReconnect = false;
    int64_t nextAttemptNs = 0;
    int attempts = 0;
    bool flvHasLastVideo = false;
    int64_t flvLastVideoPts = 0;
    bool flvHasLastAudio = false;
    int64_t flvLastAudioPts = 0;
    std::shared_ptr<const EncoderParams> params; // what the streams were made from
    AVPacket *scratch = av_packet_alloc();
    int64_t lastFlushNs = 0;

    std::shared_ptr<Shared> shared;
    int observerIndex = 0;
    std::atomic<bool> abortOwn{false};
    std::atomic<bool> isOpen{false};
    std::atomic<int> publicAttempts{0};
    std::atomic<int64_t> written{0};
    std::atomic<int64_t> dropped{0};
    std::atomic<int64_t> failingSinceNs{0}; // 0 while writes succeed
    // A stream's connection and handshake must be done by then (real steady time); 0 after.
    std::atomic<int64_t> openDeadlineNs{0};

    // Stream outputs only.
    bool isStream = false;
    int index = 0;
    std::thread writer;
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<AVPacket *> ring;  // guarded by mutex
    std::vector<char> ringIsVideo; // guarded by mutex
    int head = 0;                  // guarded by mutex
    int count = 0;                 // guarded by mutex
    bool stopRequested = false;    // guarded by mutex
    bool resyncRequested = false;  // guarded by mutex
    bool finished = false;         // guarded by mutex
    int64_t lastCongestionLogNs = 0;

    ~MuxTarget() {
        for (AVPacket *p : ring)
            av_packet_free(&p);
        av_packet_free(&scratch);
    }

    // Streams give up blocking network I/O on an abort; the local file never does, so the end
    // of a recording is written even when the output is stopped in a hurry.
    static int interrupt(void *opaque) {
        auto *t = static_cast<MuxTarget *>(opaque);
        if ((t->isStream && t->shared->abortIo.load()) || t->abortOwn.load())
            return 1;
        const int64_t deadline = t->openDeadlineNs.load();
        return deadline != 0 && steadyNowNs() > deadline ? 1 : 0;
    }
    bool aborting() const { return (isStream && shared->abortIo.load()) || abortOwn.load(); }

    void markFailing(int64_t now) {
        int64_t expected = 0;
        failingSinceNs.compare_exchange_strong(expected, now);
    }

    bool open(const std::shared_ptr<const EncoderParams> &p);
    void closeMuxer(bool writeTrailer);
    int write(AVPacket *packet, bool isVideo);
    void handleWriteError(int error);
    void flushIfDue(int64_t now);
    void writerLoop();
};

bool FfmpegEncoderSink::MuxTarget::open(const std::shared_ptr<const EncoderParams> &p) {
    if (!p)
        return false;
    AVFormatContext *ctx = nullptr;
    const char *formatName = format.isEmpty() ? nullptr : format.constData();
    if (avformat_alloc_output_context2(&ctx, nullptr, formatName, url.constData()) < 0 || !ctx) {
        qWarning() << "FfmpegEncoderSink: avformat_alloc_output_context2 failed";
        return false;
    }
    const char *muxer = ctx->oformat->name;
    isFlv = std::strcmp(muxer, "flv") == 0 || std::strcmp(muxer, "live_flv") == 0 || isRtmp;
    const bool flvOverRtmp = isFlv && isRtmp;
    if (flvOverRtmp) {
        ctx->flags |= AVFMT_FLAG_FLUSH_PACKETS;
        ctx->max_delay = 0;
    }
    ctx->interrupt_callback = AVIOInterruptCB{&MuxTarget::interrupt, this};
    const bool mp4 = isMp4Family(muxer);
    const bool ts = std::strcmp(muxer, "mpegts") == 0 || std::strcmp(muxer, "m2ts") == 0;

    auto fail = [&ctx] {
        if (ctx->pb && !(ctx->oformat->flags & AVFMT_NOFILE))
            avio_closep(&ctx->pb);
        avformat_free_context(ctx);
        return false;
    };

    AVStream *video = avformat_new_stream(ctx, nullptr);
    if (!video || avcodec_parameters_copy(video->codecpar, p->video) < 0)
        return fail();
    const bool millis = p->videoTimeBase.num == 1 && p->videoTimeBase.den == 1000;
    if (isFlv)
        video->time_base = AVRational{1, 1000};
    else if ((mp4 || ts) && millis)
        video->time_base = AVRational{1, 90000};
    else
        video->time_base = p->videoTimeBase;
    AVStream *audio = nullptr;
    if (p->audio) {
        audio = avformat_new_stream(ctx, nullptr);
        if (!audio || avcodec_parameters_copy(audio->codecpar, p->audio) < 0)
            return fail();
        audio->time_base = isFlv ? AVRational{1, 1000} : AVRational{1, p->audioSampleRate};
    }
    if (mp4) {
        video->codecpar->codec_tag = 0;
        if (audio)
            audio->codecpar->codec_tag = 0;
        video->avg_frame_rate = p->videoFrameRate;
        video->r_frame_rate = p->videoFrameRate;
    }

    if (!(ctx->oformat->flags & AVFMT_NOFILE)) {
        libav::Dictionary options;
        if (isRtmp) {
            options.set("stimeout", "300000000");
            options.set("rw_timeout", "30000000");
            options.set("tcp_nodelay", "1");
        } else {
            options.set("write_buffer_size", QByteArray::number(4194304).constData());
        }
        int err = avio_open2(&ctx->pb, url.constData(), AVIO_FLAG_WRITE, &ctx->interrupt_callback,
                             options.get());
        // The plain retry keeps the interrupt callback: without it a server that accepts and
        // never answers would hold this thread, and every stop, for good.
        if (err < 0 && !interrupt(this))
            err = avio_open2(&ctx->pb, url.constData(), AVIO_FLAG_WRITE, &ctx->interrupt_callback,
                             nullptr);
        if (err < 0) {
            if (!aborting()) // a stop cut it short: not the output's fault
                qWarning().noquote() << "FfmpegEncoderSink: avio_open failed:" << avErrorText(err)
                                     << "url:" << QString::fromUtf8(url);
            return fail();
        }
    }

    libav::Dictionary header;
    if (format.isEmpty() && (std::strcmp(muxer, "mp4") == 0 || std::strcmp(muxer, "mov") == 0 ||
                             std::strcmp(muxer, "ismv") == 0))
        header.set("movflags", "+frag_keyframe+empty_moov+default_base_moof");
    if (flvOverRtmp)
        header.set("flvflags", "no_duration_filesize");
    if (avformat_write_header(ctx, header.get()) < 0) {
        qWarning() << "FfmpegEncoderSink: avformat_write_header failed";
        return fail();
    }
    if (!isFlv && !isRtmp && mp4)
        ctx->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    fmt = ctx;
    videoStream = video;
    audioStream = audio;
    params = p;
    flvHasLastVideo = flvHasLastAudio = false;
    flvLastVideoPts = flvLastAudioPts = 0;
    isOpen.store(true);
    return true;
}

void FfmpegEncoderSink::MuxTarget::closeMuxer(bool writeTrailer) {
    if (!fmt)
        return;
    isOpen.store(false);
    if (writeTrailer && !(isFlv && isRtmp)) {
        const int err = av_write_trailer(fmt);
        if (err < 0)
            qWarning().noquote() << "FfmpegEncoderSink: av_write_trailer failed:"
                                 << avErrorText(err);
    } else if (fmt->pb) {
        avio_flush(fmt->pb);
    }
    if (!(fmt->oformat->flags & AVFMT_NOFILE))
        avio_closep(&fmt->pb);
    avformat_free_context(fmt);
    fmt = nullptr;
    videoStream = audioStream = nullptr;
}

// Writes one packet (a reference this call consumes) to this output. Returns the muxer's
// result.
int FfmpegEncoderSink::MuxTarget::write(AVPacket *pkt, bool isVideo) {
    AVStream *stream = isVideo ? videoStream : audioStream;
    if (!fmt || !stream || !params) {
        av_packet_unref(pkt);
        return 0;
    }
    const AVRational from = isVideo ? params->videoTimeBase : params->audioTimeBase;
    av_packet_rescale_ts(pkt, from, stream->time_base);

    if (isFlv) {
        if (pkt->dts == AV_NOPTS_VALUE && pkt->pts == AV_NOPTS_VALUE)
            pkt->pts = pkt->dts = 0;
        else if (pkt->dts == AV_NOPTS_VALUE)
            pkt->dts = pkt->pts;
        else if (pkt->pts == AV_NOPTS_VALUE)
            pkt->pts = pkt->dts;
        if (pkt->dts < 0)
            pkt->dts = 0;
        if (pkt->pts < 0)
            pkt->pts = pkt->dts;
        if (isVideo && stream->codecpar->codec_id == AV_CODEC_ID_H264 && pkt->dts > pkt->pts)
            pkt->pts = pkt->dts;
        bool &hasLast = isVideo ? flvHasLastVideo : flvHasLastAudio;
        int64_t &last = isVideo ? flvLastVideoPts : flvLastAudioPts;
        if (hasLast && last > pkt->pts) {
            pkt->pts = last + 1;
            pkt->dts = std::max(pkt->dts, last);
        }
        hasLast = true;
        last = pkt->pts;
        if (pkt->dts > pkt->pts)
            pkt->dts = pkt->pts;
    } else if (isMp4Family(fmt->oformat->name) && pkt->duration <= 0) {
        if (isVideo) {
            const AVRational frame = av_inv_q(params->videoFrameRate);
            pkt->duration = av_rescale_q(1, frame, stream->time_base);
        } else {
            pkt->duration = av_rescale_q(params->audioFrameSize,
                                         AVRational{1, params->audioSampleRate}, stream->time_base);
        }
    }
    pkt->stream_index = stream->index;
    const int64_t mediaMs = shared->observer && pkt->pts != AV_NOPTS_VALUE
                                ? av_rescale_q(pkt->pts, stream->time_base, AVRational{1, 1000})
                                : 0;
    const int err = av_interleaved_write_frame(fmt, pkt);
    if (err >= 0 && shared->observer)
        shared->observer(observerIndex, isVideo, mediaMs);
    av_packet_unref(pkt);
    if (err >= 0) {
        written.fetch_add(1);
        failingSinceNs.store(0);
        if (isRtmp)
            shared->streamWriteSeq.store(0);
        else
            shared->fileWriteStreak.store(0);
    } else {
        dropped.fetch_add(1);
        handleWriteError(err);
    }
    return err;
}

void FfmpegEncoderSink::MuxTarget::handleWriteError(int err) {
    const int64_t now = shared->now();
    markFailing(now);
    if (aborting()) {
        // Stopping: the failure is ours, not the peer's.
        if (isRtmp)
            closeMuxer(false);
        return;
    }
    if (!isRtmp) {
        const int streak = shared->fileWriteStreak.fetch_add(1) + 1;
        if (streak <= 12 || streak % 200 == 0)
            qWarning().noquote()
                << "FfmpegEncoderSink: file mux write failed (will retry same file, streak"
                << streak << "):" << avErrorText(err);
        return;
    }
    const int seq = shared->streamWriteSeq.fetch_add(1) + 1;
    if (seq <= 8 || seq % 25 == 0)
        qWarning().noquote() << "FfmpegEncoderSink: stream mux write failed, will reconnect:"
                             << avErrorText(err) << "(seq" << seq << ")";
    closeMuxer(false);
    needsReconnect = true;
    nextAttemptNs = now + FfmpegEncoderSink::writeFailureDelayMs(attempts) * 1'000'000;
}

void FfmpegEncoderSink::MuxTarget::flushIfDue(int64_t now) {
    const int64_t interval = (shared->liveMode ? 80 : 250) * int64_t(1'000'000);
    if (!fmt || now - lastFlushNs < interval)
        return;
    lastFlushNs = now;
    if (fmt->pb && !(fmt->oformat->flags & AVFMT_NOFILE))
        avio_flush(fmt->pb);
}

void FfmpegEncoderSink::MuxTarget::writerLoop() {
    setCurrentThreadName(QByteArray("mux:" + QByteArray::number(index)).constData());
    AVPacket *packet = av_packet_alloc();
    bool waitingForKeyframe = true;
    std::unique_lock lock(mutex);
    while (!stopRequested) {
        if (!fmt) {
            // Closed: open now if due, else sleep until the attempt or a stop.
            const int64_t now = shared->now();
            if (now < nextAttemptNs) {
                wake.wait_for(lock, std::chrono::nanoseconds(
                                        std::min<int64_t>(nextAttemptNs - now, 100'000'000)));
                continue;
            }
            lock.unlock();
            const bool reconnecting = needsReconnect;
            openDeadlineNs.store(steadyNowNs() +
                                 FfmpegEncoderSink::kStreamOpenTimeoutMs * 1'000'000);
            const bool ok = open(shared->currentParams());
            openDeadlineNs.store(0);
            const int64_t after = shared->now();
            if (ok) {
                attempts = 0;
                needsReconnect = false;
                waitingForKeyframe = true;
                shared->keyframeWanted.store(true);
                if (reconnecting) {
                    const int n = shared->reconnectCount.fetch_add(1) + 1;
                    if (n <= 5 || n % 20 == 0)
                        qInfo().noquote()
                            << "FfmpegEncoderSink: stream mux reconnected (n=" << n << ")";
                }
            } else {
                markFailing(after);
                ++attempts;
                needsReconnect = true;
                const int64_t delay = FfmpegEncoderSink::reopenDelayMs(attempts);
                nextAttemptNs = after + delay * 1'000'000;
                if ((attempts == 1 || attempts % 64 == 0) && !aborting())
                    qWarning().noquote() << "FfmpegEncoderSink: RTMP mux reopen failed, attempt"
                                         << attempts << "next in" << delay << "ms";
            }
            publicAttempts.store(attempts);
            lock.lock();
            // What was queued while closed is stale: the output starts at a keyframe.
            while (count > 0) {
                av_packet_unref(ring[head]);
                head = (head + 1) % int(ring.size());
                --count;
            }
            continue;
        }
        if (count == 0) {
            wake.wait(lock, [&] { return stopRequested || count > 0; });
            continue;
        }
        av_packet_move_ref(packet, ring[head]);
        const bool isVideo = ringIsVideo[head];
        head = (head + 1) % int(ring.size());
        --count;
        if (resyncRequested) {
            resyncRequested = false;
            waitingForKeyframe = true;
        }
        lock.unlock();

        if (waitingForKeyframe && !(isVideo && (packet->flags & AV_PKT_FLAG_KEY))) {
            av_packet_unref(packet);
            dropped.fetch_add(1);
        } else {
            waitingForKeyframe = false;
            // A new video size brings new parameters; the muxer carries on with them.
            auto current = shared->currentParams();
            if (current && current != params && videoStream) {
                if (avcodec_parameters_copy(videoStream->codecpar, current->video) < 0)
                    qWarning() << "FfmpegEncoderSink: avcodec_parameters_from_context failed "
                                  "after video reopen";
                params = current;
            }
            write(packet, isVideo);
            flushIfDue(shared->now());
        }
        lock.lock();
    }
    // Stopping: what is still queued goes out (unless the output is being cut off), then the
    // trailer.
    while (count > 0) {
        av_packet_move_ref(packet, ring[head]);
        const bool isVideo = ringIsVideo[head];
        head = (head + 1) % int(ring.size());
        --count;
        lock.unlock();
        if (fmt && !aborting() &&
            !(waitingForKeyframe && !(isVideo && (packet->flags & AV_PKT_FLAG_KEY)))) {
            waitingForKeyframe = false;
            write(packet, isVideo);
        } else {
            av_packet_unref(packet);
        }
        lock.lock();
    }
    lock.unlock();
    closeMuxer(!aborting());
    av_packet_free(&packet);
    lock.lock();
    finished = true;
    lock.unlock();
    wake.notify_all();
}

FfmpegEncoderSink::FfmpegEncoderSink() : shared_(std::make_shared<Shared>()) {}

FfmpegEncoderSink::~FfmpegEncoderSink() {
    close();
}

void FfmpegEncoderSink::setWriteObserver(WriteObserver observer) {
    shared_->observer = std::move(observer);
}

void FfmpegEncoderSink::setSteadyClock(SteadyClock clock) {
    clock_ = std::move(clock);
    shared_->clock = clock_;
}

int64_t FfmpegEncoderSink::now() const {
    return clock_ ? clock_() : steadyNowNs();
}

bool FfmpegEncoderSink::isRtmpAddress(const QString &url) {
    return startsWithRtmp(url.trimmed());
}

int FfmpegEncoderSink::bitrateKbps(double fps, int width, int height) {
    const int64_t pixels = int64_t(width) * height;
    const int cap = pixels <= int64_t(1920) * 1080 ? 12000 : 18000;
    const int64_t kbps = int64_t(fps * double(pixels) * 0.0001 + 0.5);
    return int(std::clamp<int64_t>(kbps, 1200, cap));
}

QSize FfmpegEncoderSink::encoderSize(int requestedWidth, int requestedHeight, int frameWidth,
                                     int frameHeight) {
    int w = requestedWidth >= 1 ? requestedWidth : frameWidth;
    int h = requestedHeight >= 1 ? requestedHeight : frameHeight;
    w = std::max(w & ~1, 2);
    h = std::max(h & ~1, 2);
    return QSize(w, h);
}

int64_t FfmpegEncoderSink::reopenDelayMs(int attempts) {
    return std::min<int64_t>(int64_t(500) << std::min(attempts, 10), 90000);
}

int64_t FfmpegEncoderSink::writeFailureDelayMs(int attempts) {
    return std::min<int64_t>(int64_t(400) << std::min(attempts, 8), 90000);
}

bool FfmpegEncoderSink::configure(const QString &filePath, const std::vector<StreamTarget> &streams,
                                  double fps) {
    close();
    filePath_ = filePath;
    streamTargets_.clear();
    for (const StreamTarget &s : streams) {
        const QString url = s.url.trimmed();
        if (!url.isEmpty())
            streamTargets_.push_back({url, s.format.trimmed()});
    }
    streamCount_ = int(streamTargets_.size());
    frameRate_ = fps > 0.1 ? fps : 30.0;
    hasFile_ = !filePath.trimmed().isEmpty();
    started_ = false;
    liveMode_ = false;
    openRetryAtNs_ = 0;
    openFailingSinceNs_ = 0;
    shared_->abortIo.store(false);
    for (const StreamTarget &s : streamTargets_)
        if (s.format.compare(QLatin1String("flv"), Qt::CaseInsensitive) == 0 ||
            startsWithRtmp(s.url))
            liveMode_ = true;
    return hasFile_ || streamCount_ > 0;
}

bool FfmpegEncoderSink::open(const QString &filePath, double fps) {
    return configure(filePath, {}, fps);
}

void FfmpegEncoderSink::setOutputSize(int width, int height) {
    requestedWidth_ = std::max(width, 0);
    requestedHeight_ = std::max(height, 0);
}

void FfmpegEncoderSink::setTransportFailedCallback(std::function<void()> callback) {
    transportFailedCallback_ = std::move(callback);
}

void FfmpegEncoderSink::setAudioPullCallback(AudioPull callback) {
    audioPullCallback_ = std::move(callback);
}

void FfmpegEncoderSink::requestAbort() {
    shared_->abortIo.store(true);
}

void FfmpegEncoderSink::notifyTransportFailed() {
    if (failureNotified_.exchange(true))
        return;
    failed_.store(true);
    if (transportFailedCallback_)
        transportFailedCallback_();
}

QSize FfmpegEncoderSink::encoderFrameSize() const {
    return videoCodec_ ? QSize(videoCodec_->width, videoCodec_->height) : QSize();
}

QString FfmpegEncoderSink::videoEncoderName() const {
    return videoEncoderName_;
}

int FfmpegEncoderSink::reconnectCount() const {
    return shared_->reconnectCount.load();
}

std::vector<FfmpegEncoderSink::OutputStatus> FfmpegEncoderSink::outputStatus() const {
    std::vector<OutputStatus> out;
    std::lock_guard lock(targetsMutex_);
    auto add = [&out](const MuxTarget &t) {
        out.push_back({QString::fromUtf8(t.url), t.isStream, t.isOpen.load(),
                       t.publicAttempts.load(), t.written.load(), t.dropped.load()});
    };
    if (fileTarget_)
        add(*fileTarget_);
    for (const auto &s : streams_)
        add(*s);
    return out;
}

bool FfmpegEncoderSink::openVideoEncoder(int w, int h, bool globalHeader) {
    const int r = std::max(1, int(std::trunc(frameRate_ + 0.5)));
    const int liveGop = streamCount_ >= 2 ? r : 2 * r;
    const int kbps = bitrateKbps(frameRate_, w, h);

    std::vector<const AVCodec *> candidates;
    auto addByName = [&candidates](const char *name) {
        if (const AVCodec *c = avcodec_find_encoder_by_name(name))
            candidates.push_back(c);
    };
    if (liveMode_) {
        addByName("libx264");
        addByName("h264_nvenc");
    } else {
        addByName("h264_nvenc");
        addByName("libx264");
    }
    void *it = nullptr;
    while (const AVCodec *c = av_codec_iterate(&it)) {
        if (av_codec_is_encoder(c) && c->id == AV_CODEC_ID_H264 && !std::strstr(c->name, "nvenc") &&
            !std::strstr(c->name, "libx264"))
            candidates.push_back(c);
    }

    for (const AVCodec *codec : candidates) {
        AVCodecContext *ctx = avcodec_alloc_context3(codec);
        if (!ctx)
            continue;
        ctx->width = w;
        ctx->height = h;
        ctx->pix_fmt = AV_PIX_FMT_YUV420P;
        // Tagged, and converted with the same matrix (writeFrame), so players show the
        // program's colours instead of guessing.
        const bool hd = h >= 720;
        ctx->colorspace = hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
        ctx->color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
        ctx->color_trc = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
        ctx->color_range = AVCOL_RANGE_MPEG;
        ctx->time_base = liveMode_ ? AVRational{1, 1000} : AVRational{1, r};
        ctx->framerate = AVRational{r, 1};
        ctx->gop_size = liveMode_ ? liveGop : r;
        ctx->max_b_frames = 0;
        ctx->bit_rate = ctx->rc_max_rate = int64_t(kbps) * 1000;
        ctx->rc_buffer_size = kbps * (liveMode_ ? 1000 : 2000);
        if (globalHeader)
            ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        const bool nvenc = std::strstr(codec->name, "nvenc") != nullptr;
        if (nvenc) {
            av_opt_set(ctx->priv_data, "preset", "p4", 0);
            av_opt_set(ctx->priv_data, "delay", "0", 0);
            av_opt_set(ctx->priv_data, "rc-lookahead", "0", 0);
        } else if (std::strstr(codec->name, "libx264")) {
            av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
            av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
            // A forced keyframe (a stream joining) must be an IDR a receiver can start at.
            av_opt_set(ctx->priv_data, "forced-idr", "1", 0);
            if (liveMode_) {
                // Slice threads, not frame threads: frame threading holds (threads - 1) frames
                // back, 100 ms at 30 fps, which a live output cannot afford.
                const QByteArray params =
                    QByteArray("sliced_threads=1:threads=4:weightp=0:scenecut=0:force-cfr=1:") +
                    "keyint=" + QByteArray::number(liveGop) +
                    ":min-keyint=" + QByteArray::number(liveGop);
                av_opt_set(ctx->priv_data, "x264-params", params.constData(), 0);
            }
        }
        if (avcodec_open2(ctx, codec, nullptr) >= 0) {
            videoCodec_ = ctx;
            videoEncoderName_ = QString::fromLatin1(codec->name);
            return true;
        }
        avcodec_free_context(&ctx);
        if (nvenc && !g_nvencWarned.exchange(true))
            qWarning() << (liveMode_ ? "FfmpegEncoderSink: NVENC not available (driver/API); "
                                       "H.264 RTMP may be unavailable"
                                     : "FfmpegEncoderSink: NVENC not available (driver/API); "
                                       "using software H.264");
    }
    return false;
}

bool FfmpegEncoderSink::openAudioEncoder(bool globalHeader) {
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) {
        qWarning() << "FfmpegEncoderSink: no AAC encoder, video-only mux";
        return true;
    }
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    if (!ctx) {
        qWarning() << "FfmpegEncoderSink: avcodec_alloc_context3(AAC) failed";
        return true;
    }
    ctx->sample_rate = kSampleRate;
    av_channel_layout_default(&ctx->ch_layout, 2);
    ctx->bit_rate = 160000;
    ctx->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    ctx->time_base = AVRational{1, kSampleRate};
    if (globalHeader)
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        qWarning() << "FfmpegEncoderSink: audio avcodec_open2 failed, video-only mux";
        avcodec_free_context(&ctx);
        return true;
    }
    audioFrameSize_ = ctx->frame_size >= 1 ? ctx->frame_size : 1024;
    AVFrame *frame = av_frame_alloc();
    bool ok = frame != nullptr;
    if (ok) {
        frame->nb_samples = audioFrameSize_;
        frame->format = ctx->sample_fmt;
        frame->sample_rate = kSampleRate;
        ok = av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout) >= 0 &&
             av_frame_get_buffer(frame, 0) >= 0;
    }
    if (!ok) {
        qWarning() << "FfmpegEncoderSink: audio frame buffer failed";
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        return false;
    }
    audioCodec_ = ctx;
    audioFrame_ = frame;
    audioPts_ = 0;
    return true;
}

void FfmpegEncoderSink::publishStreamParameters() {
    auto p = std::make_shared<EncoderParams>();
    avcodec_parameters_from_context(p->video, videoCodec_);
    p->videoTimeBase = videoCodec_->time_base;
    p->videoFrameRate = videoCodec_->framerate.num > 0
                            ? videoCodec_->framerate
                            : AVRational{std::max(1, int(std::trunc(frameRate_ + 0.5))), 1};
    if (audioCodec_) {
        p->audio = avcodec_parameters_alloc();
        avcodec_parameters_from_context(p->audio, audioCodec_);
        p->audioTimeBase = audioCodec_->time_base;
        p->audioSampleRate = audioCodec_->sample_rate;
        p->audioFrameSize = audioFrameSize_;
    }
    std::lock_guard lock(shared_->paramsMutex);
    shared_->params = std::move(p);
}

bool FfmpegEncoderSink::ensureOpened(int width, int height) {
    if (!hasFile_ && streamCount_ == 0)
        return false;
    if (width < 1 || height < 1)
        return false;
    installAvLogRouting();
    // Everything is closed again and retried a second later; after 5 s of failing opens the
    // output reports itself failed, as it does for failing writes.
    const auto failOpen = [this] {
        close();
        const int64_t t = now();
        openRetryAtNs_ = t + 1'000'000'000;
        if (openFailingSinceNs_ == 0)
            openFailingSinceNs_ = t;
        return false;
    };
    const QSize size = encoderSize(requestedWidth_, requestedHeight_, width, height);

    bool globalHeader = false;
    if (hasFile_) {
        const AVOutputFormat *f =
            av_guess_format(nullptr, filePath_.trimmed().toUtf8().constData(), nullptr);
        globalHeader = f && (f->flags & AVFMT_GLOBALHEADER);
    }
    for (const StreamTarget &s : streamTargets_) {
        const AVOutputFormat *f = av_guess_format(
            s.format.isEmpty() ? nullptr : s.format.toUtf8().constData(), nullptr, nullptr);
        if (f && (f->flags & AVFMT_GLOBALHEADER))
            globalHeader = true;
    }

    if (videoCodec_ && (fileTarget_ || !streams_.empty())) {
        if (videoCodec_->width == size.width() && videoCodec_->height == size.height())
            return true;
        // Containers that carry the parameter sets once, in their header, cannot change the
        // picture size mid-run: later frames would not decode. Those runs keep their size and
        // the new frames are scaled to it.
        if (globalHeader)
            return true;
        if (reopenVideoEncoderForNewSize(size.width(), size.height(), globalHeader))
            return true;
        // Start over from nothing on the next frame rather than on top of open outputs.
        close();
        return false;
    }
    // A run whose outputs will not open is not retried on every frame.
    if (now() < openRetryAtNs_)
        return false;

    if (!openVideoEncoder(size.width(), size.height(), globalHeader)) {
        qWarning() << "FfmpegEncoderSink: no usable H.264 encoder (avcodec_open2 failed for all "
                      "candidates)";
        return failOpen();
    }
    if (!openAudioEncoder(globalHeader))
        return failOpen();
    yuvFrame_ = av_frame_alloc();
    if (yuvFrame_) {
        yuvFrame_->format = AV_PIX_FMT_YUV420P;
        yuvFrame_->width = size.width();
        yuvFrame_->height = size.height();
    }
    if (!yuvFrame_ || av_frame_get_buffer(yuvFrame_, 32) < 0)
        return failOpen();
    publishStreamParameters();
    shared_->liveMode = liveMode_;

    if (hasFile_) {
        auto file = std::make_unique<MuxTarget>();
        file->shared = shared_;
        file->url = filePath_.trimmed().toUtf8();
        file->isRtmp = startsWithRtmp(filePath_.trimmed());
        if (!file->open(shared_->currentParams())) {
            return failOpen();
        }
        std::lock_guard lock(targetsMutex_);
        fileTarget_ = std::move(file);
        started_ = true;
    }

    // Streams open on their own writers; none of them is waited for here.
    for (int i = 0; i < streamCount_; ++i) {
        auto t = std::make_unique<MuxTarget>();
        t->shared = shared_;
        t->isStream = true;
        t->index = i + 1;
        t->observerIndex = (hasFile_ ? 1 : 0) + i;
        t->url = streamTargets_[size_t(i)].url.toUtf8();
        t->format = streamTargets_[size_t(i)].format.toUtf8();
        t->isRtmp = startsWithRtmp(streamTargets_[size_t(i)].url);
        t->ring.resize(kStreamQueuePackets);
        for (AVPacket *&p : t->ring)
            p = av_packet_alloc();
        t->ringIsVideo.assign(kStreamQueuePackets, 0);
        MuxTarget *raw = t.get();
        t->writer = std::thread([raw] { raw->writerLoop(); });
        std::lock_guard lock(targetsMutex_);
        streams_.push_back(std::move(t));
    }
    if (!streams_.empty())
        started_ = true;
    encPacket_ = av_packet_alloc();
    openFailingSinceNs_ = 0;
    return encPacket_ != nullptr;
}

bool FfmpegEncoderSink::reopenVideoEncoderForNewSize(int width, int height, bool globalHeader) {
    if (!fileTarget_ && streams_.empty())
        return false;
    if (videoCodec_) {
        avcodec_send_frame(videoCodec_, nullptr);
        drainEncoder(videoCodec_, true);
    }
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    av_frame_free(&yuvFrame_);
    avcodec_free_context(&videoCodec_);
    hasLastVideoPts_ = false;
    lastVideoPts_ = 0;
    if (!openVideoEncoder(width, height, globalHeader)) {
        qWarning() << "FfmpegEncoderSink: reopenVideoEncoderForNewSize: no usable H.264 encoder";
        return false;
    }
    yuvFrame_ = av_frame_alloc();
    if (yuvFrame_) {
        yuvFrame_->format = AV_PIX_FMT_YUV420P;
        yuvFrame_->width = width;
        yuvFrame_->height = height;
    }
    if (!yuvFrame_ || av_frame_get_buffer(yuvFrame_, 32) < 0) {
        qWarning() << "FfmpegEncoderSink: reopenVideoEncoderForNewSize: YUV buffer alloc failed";
        av_frame_free(&yuvFrame_);
        avcodec_free_context(&videoCodec_);
        return false;
    }
    publishStreamParameters();
    if (fileTarget_ && fileTarget_->videoStream) {
        auto p = shared_->currentParams();
        if (avcodec_parameters_copy(fileTarget_->videoStream->codecpar, p->video) < 0)
            qWarning()
                << "FfmpegEncoderSink: avcodec_parameters_from_context failed after video reopen";
        fileTarget_->params = p;
    }
    return true;
}

int64_t FfmpegEncoderSink::mediaClockStep(int64_t ptsUs) {
    const int64_t t = now();
    int64_t increment = 1;
    const bool firstFrame = !clockStarted_;
    if (clockStarted_) {
        const int64_t delta = t - lastWallNs_;
        increment = delta <= 999'999 ? 1 : std::min<int64_t>(delta / 1'000'000, 10000);
    } else {
        clockStarted_ = true;
    }
    mediaClockMs_ += increment;
    lastWallNs_ = t;
    // The frames' own spacing wins over the wall clock's, but their times are a source's
    // position, not the program's: a base that starts mid-clip, loops, or is switched to a
    // channel further on would otherwise freeze the picture for the difference and, without
    // live catch-up, leave the sound behind for good. So a jump re-anchors instead, and the
    // frame it lands on lasts one frame period, as a frame of an unbroken source would.
    if (ptsUs > 0 && ptsUs <= 172'800'000'999) {
        const int64_t frameMs = ptsUs / 1000;
        const int64_t hint = anchorClockMs_ + (frameMs - anchorFrameMs_);
        const int64_t ahead = hint - mediaClockMs_;
        if (!anchored_ || ahead > kMaxFrameLeadMs || ahead < -kMaxFrameLeadMs) {
            if (!firstFrame) {
                const auto periodMs = int64_t(std::llround(1000.0 / std::max(frameRate_, 1.0)));
                mediaClockMs_ = std::max(mediaClockMs_, lastStepMs_ + periodMs);
            }
            anchored_ = true;
            anchorClockMs_ = mediaClockMs_;
            anchorFrameMs_ = frameMs;
        } else if (ahead >= 1) {
            mediaClockMs_ = hint;
        }
    }
    const int64_t step = std::clamp<int64_t>(mediaClockMs_ - lastStepMs_, 1, 10000);
    lastStepMs_ = mediaClockMs_;
    return step;
}

void FfmpegEncoderSink::writeFrame(const FrameTokenPtr &frame, const int16_t *pcm, int pcmFrames) {
    if (shared_->abortIo.load())
        return;
    if (failed_.load() && !closing_)
        return;
    if (!frame || !frame->valid || frame->data.isEmpty() || frame->width < 1 || frame->height < 1 ||
        frame->stride < frame->width * 4 ||
        int64_t(frame->stride) * frame->height > frame->data.size())
        return;
    if (!ensureOpened(frame->width, frame->height)) {
        if (openFailingSinceNs_ != 0 && now() - openFailingSinceNs_ >= kTransportFailureNs) {
            qWarning() << "FfmpegEncoderSink: the outputs have not opened for 5 s; stopping the "
                          "output";
            notifyTransportFailed();
        }
        return;
    }
    if (!yuvFrame_ || !yuvFrame_->data[0] || !videoCodec_)
        return;

    SwsContext *const previousScaler = scaler_;
    scaler_ = sws_getCachedContext(scaler_, frame->width, frame->height, AV_PIX_FMT_RGBA,
                                   yuvFrame_->width, yuvFrame_->height, AV_PIX_FMT_YUV420P,
                                   SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler_)
        return;
    if (scaler_ != previousScaler) {
        const int matrix =
            videoCodec_->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601;
        sws_setColorspaceDetails(scaler_, sws_getCoefficients(matrix), 1,
                                 sws_getCoefficients(matrix), 0, 0, 1 << 16, 1 << 16);
    }
    if (av_frame_make_writable(yuvFrame_) < 0)
        return;
    const uint8_t *src[1] = {reinterpret_cast<const uint8_t *>(frame->data.constData())};
    const int srcStride[1] = {frame->stride};
    sws_scale(scaler_, src, srcStride, 0, frame->height, yuvFrame_->data, yuvFrame_->linesize);

    const int64_t step = mediaClockStep(frame->ptsUs);
    if (audioPullCallback_) {
        const int n = int(std::min<int64_t>((step * kSampleRate + 500) / 1000, 9600));
        pullBuffer_.resize(size_t(2 * n));
        audioPullCallback_(pullBuffer_.data(), n);
        pcm = pullBuffer_.data();
        pcmFrames = n;
    }

    int64_t pts = av_rescale_q(mediaClockMs_, AVRational{1, 1000}, videoCodec_->time_base);
    if (hasLastVideoPts_ && pts <= lastVideoPts_)
        pts = lastVideoPts_ + 1;
    hasLastVideoPts_ = true;
    lastVideoPts_ = pts;
    yuvFrame_->pts = pts;
    const bool forceKey = shared_->keyframeWanted.exchange(false);
    yuvFrame_->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (!sendVideoFrame(yuvFrame_))
        return;

    if (pcm && pcmFrames >= 1 && audioCodec_) {
        appendAudio(pcm, pcmFrames);
        encodeAudio(false);
    }

    if (audioPullCallback_ && liveMode_ && audioCodec_ && audioCodec_->sample_rate >= 1) {
        const int rate = audioCodec_->sample_rate;
        for (int round = 0; round < 512; ++round) {
            const int64_t audioMs = av_rescale_q(audioPts_, AVRational{1, rate}, {1, 1000});
            if (mediaClockMs_ <= audioMs + 80)
                break;
            const int64_t gap = std::min<int64_t>(mediaClockMs_ - audioMs - 80, 10000);
            const int n = int(std::clamp<int64_t>((gap * rate + 500) / 1000, 1, 9600));
            pullBuffer_.resize(size_t(2 * n));
            audioPullCallback_(pullBuffer_.data(), n);
            appendAudio(pullBuffer_.data(), n);
            encodeAudio(false);
        }
    }

    periodicFlush();
    checkTransportFailure();
}

bool FfmpegEncoderSink::sendVideoFrame(AVFrame *frame) {
    if (avcodec_send_frame(videoCodec_, frame) < 0)
        return false;
    drainEncoder(videoCodec_, true);
    return true;
}

void FfmpegEncoderSink::drainEncoder(AVCodecContext *codec, bool isVideo) {
    if (!encPacket_)
        return;
    while (avcodec_receive_packet(codec, encPacket_) >= 0) {
        if (liveMode_ && encPacket_->pts != AV_NOPTS_VALUE && encPacket_->dts != AV_NOPTS_VALUE &&
            encPacket_->dts > encPacket_->pts)
            encPacket_->pts = encPacket_->dts;
        writePacket(encPacket_, isVideo);
        av_packet_unref(encPacket_);
    }
}

void FfmpegEncoderSink::writePacket(AVPacket *packet, bool isVideo) {
    if (!fileTarget_ && streams_.empty())
        return;
    if (failed_.load() && !closing_)
        return;
    if (fileTarget_ && fileTarget_->fmt) {
        AVPacket *copy = fileTarget_->scratch;
        if (av_packet_ref(copy, packet) >= 0)
            fileTarget_->write(copy, isVideo);
    }
    for (const auto &s : streams_) {
        MuxTarget &t = *s;
        if (!t.isOpen.load()) {
            t.dropped.fetch_add(1);
            continue;
        }
        std::unique_lock lock(t.mutex);
        if (t.count == int(t.ring.size())) {
            // The writer is stuck: let its backlog go and restart it at a keyframe rather
            // than hold up this thread or grow without bound.
            t.dropped.fetch_add(t.count);
            while (t.count > 0) {
                av_packet_unref(t.ring[t.head]);
                t.head = (t.head + 1) % int(t.ring.size());
                --t.count;
            }
            t.resyncRequested = true;
            shared_->keyframeWanted.store(true);
            const int64_t n = now();
            if (n - t.lastCongestionLogNs > 5'000'000'000) {
                t.lastCongestionLogNs = n;
                qWarning().noquote() << "FfmpegEncoderSink: stream output falling behind, "
                                        "dropping to the next keyframe url:"
                                     << QString::fromUtf8(t.url);
            }
        }
        const int slot = (t.head + t.count) % int(t.ring.size());
        if (av_packet_ref(t.ring[slot], packet) < 0) {
            t.dropped.fetch_add(1);
            continue;
        }
        t.ringIsVideo[slot] = isVideo;
        ++t.count;
        lock.unlock();
        t.wake.notify_one();
    }
}

void FfmpegEncoderSink::appendAudio(const int16_t *pcm, int frames) {
    audioFifo_.insert(audioFifo_.end(), pcm, pcm + size_t(2 * frames));
    trimAudioFifo();
}

void FfmpegEncoderSink::trimAudioFifo() {
    const uint64_t unread = audioFifo_.size() - audioFifoRead_;
    if (unread > uint64_t(kMaxQueuedSamples))
        audioFifoRead_ = audioFifo_.size() - uint64_t(kMaxQueuedSamples);
}

void FfmpegEncoderSink::compactAudioFifo() {
    if (audioFifoRead_ >= 8192 || audioFifoRead_ >= audioFifo_.size()) {
        audioFifo_.erase(audioFifo_.begin(), audioFifo_.begin() + ptrdiff_t(audioFifoRead_));
        audioFifoRead_ = 0;
    }
}

void FfmpegEncoderSink::encodeAudio(bool pad) {
    if (!audioCodec_ || !audioFrame_ || (!fileTarget_ && streams_.empty()))
        return;
    trimAudioFifo();
    const size_t frameSamples = size_t(2 * audioFrameSize_);
    const size_t unread = audioFifo_.size() - audioFifoRead_;
    if (pad && unread % frameSamples != 0)
        audioFifo_.resize(audioFifo_.size() + frameSamples - unread % frameSamples, 0);
    while (audioFifo_.size() - audioFifoRead_ >= frameSamples) {
        if (audioCodec_->sample_fmt != AV_SAMPLE_FMT_FLTP) {
            qWarning() << "FfmpegEncoderSink: unexpected AAC input sample format";
            break;
        }
        if (av_frame_make_writable(audioFrame_) < 0)
            break;
        auto *left = reinterpret_cast<float *>(audioFrame_->data[0]);
        auto *right = reinterpret_cast<float *>(audioFrame_->data[1]);
        const int16_t *in = audioFifo_.data() + audioFifoRead_;
        for (int i = 0; i < audioFrameSize_; ++i) {
            left[i] = float(in[2 * i]) * (1.0f / 32768.0f);
            right[i] = float(in[2 * i + 1]) * (1.0f / 32768.0f);
        }
        audioFrame_->pts = audioPts_;
        audioPts_ += audioFrameSize_;
        audioFifoRead_ += frameSamples;
        if (avcodec_send_frame(audioCodec_, audioFrame_) < 0)
            break;
        drainEncoder(audioCodec_, false);
    }
    compactAudioFifo();
}

void FfmpegEncoderSink::periodicFlush() {
    const int64_t t = now();
    const int64_t interval = (liveMode_ ? 80 : 250) * int64_t(1'000'000);
    if (flushedOnce_ && t - lastFlushNs_ < interval)
        return;
    flushedOnce_ = true;
    lastFlushNs_ = t;
    if (fileTarget_ && fileTarget_->fmt && fileTarget_->fmt->pb &&
        !(fileTarget_->fmt->oformat->flags & AVFMT_NOFILE))
        avio_flush(fileTarget_->fmt->pb);
}

void FfmpegEncoderSink::checkTransportFailure() {
    if (failureNotified_.load() || (!fileTarget_ && streams_.empty()))
        return;
    const int64_t t = now();
    bool anyNotRtmp = false;
    auto failingLongEnough = [&](const MuxTarget &m) {
        anyNotRtmp |= !m.isRtmp;
        const int64_t since = m.failingSinceNs.load();
        return since != 0 && t - since >= kTransportFailureNs;
    };
    if (fileTarget_ && !failingLongEnough(*fileTarget_))
        return;
    for (const auto &s : streams_)
        if (!failingLongEnough(*s))
            return;
    // RTMP streams alone keep reconnecting for as long as the run lasts.
    if (!anyNotRtmp)
        return;
    qWarning() << "FfmpegEncoderSink: every output has failed for 5 s; stopping the output";
    notifyTransportFailed();
}

void FfmpegEncoderSink::stopStreamWriters(int64_t graceMs) {
    for (const auto &s : streams_) {
        std::lock_guard lock(s->mutex);
        s->stopRequested = true;
    }
    for (const auto &s : streams_)
        s->wake.notify_all();
    // A writer stuck on a peer that stopped reading gets a moment, then its I/O is cut.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    for (const auto &s : streams_) {
        if (!s->writer.joinable())
            continue;
        {
            std::unique_lock lock(s->mutex);
            if (!s->wake.wait_until(lock, deadline, [&] { return s->finished; }))
                s->abortOwn.store(true);
        }
        s->wake.notify_all();
        s->writer.join();
    }
}

void FfmpegEncoderSink::freeEncoders() {
    av_packet_free(&encPacket_);
    av_frame_free(&yuvFrame_);
    av_frame_free(&audioFrame_);
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    avcodec_free_context(&videoCodec_);
    avcodec_free_context(&audioCodec_);
    videoEncoderName_.clear();
}

void FfmpegEncoderSink::close() {
    audioPullCallback_ = nullptr;
    pullBuffer_.clear();
    pullBuffer_.shrink_to_fit();
    closing_ = true;
    failed_.store(false);
    if (videoCodec_ && (fileTarget_ || !streams_.empty())) {
        avcodec_send_frame(videoCodec_, nullptr);
        drainEncoder(videoCodec_, true);
    }
    if (audioCodec_ && audioFrame_ && (fileTarget_ || !streams_.empty())) {
        encodeAudio(true);
        avcodec_send_frame(audioCodec_, nullptr);
        drainEncoder(audioCodec_, false);
    }
    if (fileTarget_)
        fileTarget_->closeMuxer(started_);
    // Each writer sends what it still holds and its trailer, within a second.
    stopStreamWriters(1000);
    shared_->abortIo.store(false);
    {
        std::lock_guard lock(targetsMutex_);
        fileTarget_.reset();
        streams_.clear();
    }
    started_ = false;
    shared_->fileWriteStreak.store(0);
    shared_->streamWriteSeq.store(0);
    shared_->reconnectCount.store(0);
    shared_->keyframeWanted.store(false);
    {
        std::lock_guard lock(shared_->paramsMutex);
        shared_->params.reset();
    }
    freeEncoders();
    lastWallNs_ = 0;
    clockStarted_ = false;
    lastStepMs_ = 0;
    mediaClockMs_ = 0;
    anchored_ = false;
    hasLastVideoPts_ = false;
    lastVideoPts_ = 0;
    lastFlushNs_ = 0;
    flushedOnce_ = false;
    audioPts_ = 0;
    audioFifo_.clear();
    audioFifoRead_ = 0;
    failed_.store(false);
    failureNotified_.store(false);
    closing_ = false;
    requestedWidth_ = 0;
    requestedHeight_ = 0;
}
