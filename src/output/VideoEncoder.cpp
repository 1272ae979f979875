#include "output/VideoEncoder.h"

#include "core/LibavError.h"
#include "output/YuvConverter.h"

#include <QDebug>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr const char *kHardwareEncoder = "h264_nvenc";

std::atomic<bool> g_hardwareWarned{false};

void setHardwareOptions(AVCodecContext *ctx) {
    av_opt_set(ctx->priv_data, "preset", "p4", 0);
    av_opt_set(ctx->priv_data, "delay", "0", 0);
    av_opt_set(ctx->priv_data, "rc-lookahead", "0", 0);
}

} // namespace

VideoEncoder::VideoEncoder(PacketHandler onPacket) : onPacket_(std::move(onPacket)) {}

int VideoEncoder::bitrateKbps(double fps, int width, int height) {
    const int64_t pixels = int64_t(width) * height;
    const int cap = pixels <= int64_t(1920) * 1080 ? 12000 : 18000;
    const int64_t kbps = int64_t(fps * double(pixels) * 0.0001 + 0.5);
    return int(std::clamp<int64_t>(kbps, 1200, cap));
}

bool VideoEncoder::hardwareAvailable() {
    // A function-local static: the first caller probes, any other waits for its answer.
    static const bool available = [] {
        const AVCodec *codec = avcodec_find_encoder_by_name(kHardwareEncoder);
        if (!codec) {
            qInfo() << "FfmpegEncoderSink: no hardware H.264 encoder in this FFmpeg; using "
                       "software H.264";
            return false;
        }
        libav::CodecContext ctx(avcodec_alloc_context3(codec));
        if (!ctx)
            return false;
        ctx->width = 640;
        ctx->height = 360;
        ctx->pix_fmt = AV_PIX_FMT_YUV420P;
        ctx->time_base = AVRational{1, 30};
        ctx->framerate = AVRational{30, 1};
        ctx->bit_rate = 1'200'000;
        setHardwareOptions(ctx.get());
        const int err = avcodec_open2(ctx.get(), codec, nullptr);
        if (err >= 0)
            qInfo() << "FfmpegEncoderSink: hardware H.264 (h264_nvenc) available";
        else
            qInfo().noquote() << libav::errorText("FfmpegEncoderSink: hardware H.264 (h264_nvenc) "
                                                  "not available, using software H.264",
                                                  err);
        return err >= 0;
    }();
    return available;
}

bool VideoEncoder::openCodec(int w, int h, const Settings &s) {
    close();
    lastError_ = AVERROR_ENCODER_NOT_FOUND;
    const int r = std::max(1, int(std::trunc(s.frameRate + 0.5)));
    const int liveGop = s.streamCount >= 2 ? r : 2 * r;
    const int kbps = bitrateKbps(s.frameRate, w, h);

    std::vector<const AVCodec *> candidates;
    auto addByName = [&candidates](const char *name) {
        if (const AVCodec *c = avcodec_find_encoder_by_name(name))
            candidates.push_back(c);
    };
    if (s.liveMode) {
        addByName("libx264");
        addByName(kHardwareEncoder);
    } else {
        addByName(kHardwareEncoder);
        addByName("libx264");
    }
    void *it = nullptr;
    while (const AVCodec *c = av_codec_iterate(&it)) {
        if (av_codec_is_encoder(c) && c->id == AV_CODEC_ID_H264 && !std::strstr(c->name, "nvenc") &&
            !std::strstr(c->name, "libx264"))
            candidates.push_back(c);
    }

    for (const AVCodec *codec : candidates) {
        const bool hardware = std::strstr(codec->name, "nvenc") != nullptr;
        // Asked only when it comes to it: a live run that opens software H.264 never probes.
        if (hardware && !hardwareAvailable())
            continue;
        libav::CodecContext ctx(avcodec_alloc_context3(codec));
        if (!ctx)
            continue;
        ctx->width = w;
        ctx->height = h;
        ctx->pix_fmt = AV_PIX_FMT_YUV420P;
        // Tagged, and converted with the same matrix (convert()), so players show the
        // program's colours instead of guessing.
        const bool hd = h >= 720;
        ctx->colorspace = hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
        ctx->color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
        ctx->color_trc = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
        ctx->color_range = AVCOL_RANGE_MPEG;
        ctx->time_base = s.liveMode ? AVRational{1, 1000} : AVRational{1, r};
        ctx->framerate = AVRational{r, 1};
        ctx->gop_size = s.liveMode ? liveGop : r;
        ctx->max_b_frames = 0;
        ctx->bit_rate = ctx->rc_max_rate = int64_t(kbps) * 1000;
        ctx->rc_buffer_size = kbps * (s.liveMode ? 1000 : 2000);
        if (s.globalHeader)
            ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (hardware) {
            setHardwareOptions(ctx.get());
        } else if (std::strstr(codec->name, "libx264")) {
            av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
            av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
            // A forced keyframe (a stream joining) must be an IDR a receiver can start at.
            av_opt_set(ctx->priv_data, "forced-idr", "1", 0);
            if (s.liveMode) {
                // Slice threads, not frame threads: frame threading holds (threads - 1) frames
                // back, 100 ms at 30 fps, which a live output cannot afford.
                const QByteArray params =
                    QByteArray("sliced_threads=1:threads=4:weightp=0:scenecut=0:force-cfr=1:") +
                    "keyint=" + QByteArray::number(liveGop) +
                    ":min-keyint=" + QByteArray::number(liveGop);
                av_opt_set(ctx->priv_data, "x264-params", params.constData(), 0);
            }
        }
        const int err = avcodec_open2(ctx.get(), codec, nullptr);
        if (err >= 0) {
            codec_ = std::move(ctx);
            name_ = QString::fromLatin1(codec->name);
            return true;
        }
        lastError_ = err;
        if (hardware && !g_hardwareWarned.exchange(true))
            qWarning().noquote() << libav::errorText(
                s.liveMode ? "FfmpegEncoderSink: NVENC not available (driver/API); "
                             "H.264 RTMP may be unavailable"
                           : "FfmpegEncoderSink: NVENC not available (driver/API); "
                             "using software H.264",
                err);
    }
    return false;
}

bool VideoEncoder::allocatePicture() {
    if (!codec_)
        return false;
    picture_.reset(av_frame_alloc());
    if (!picture_) {
        lastError_ = AVERROR(ENOMEM);
        return false;
    }
    picture_->format = AV_PIX_FMT_YUV420P;
    picture_->width = codec_->width;
    picture_->height = codec_->height;
    const int err = av_frame_get_buffer(picture_.get(), 32);
    if (err < 0) {
        lastError_ = err;
        picture_.reset();
        return false;
    }
    return true;
}

void VideoEncoder::close() {
    scaler_.reset();
    picture_.reset();
    codec_.reset();
    name_.clear();
    hasLastPts_ = false;
    lastPts_ = 0;
}

QSize VideoEncoder::size() const {
    return codec_ ? QSize(codec_->width, codec_->height) : QSize();
}

bool VideoEncoder::convert(const FrameToken &frame) {
    if (!picture_ || !picture_->data[0] || !codec_)
        return false;
    const uint8_t *src[1] = {reinterpret_cast<const uint8_t *>(frame.data.constData())};
    const int srcStride[1] = {frame.stride};
    const bool bt709 = codec_->colorspace == AVCOL_SPC_BT709;
    // Same size: our own conversion, several times faster than swscale's and within a code value.
    if (frame.width == picture_->width && frame.height == picture_->height) {
        if (av_frame_make_writable(picture_.get()) < 0)
            return false;
        const YuvConverter::Matrix matrix =
            bt709 ? YuvConverter::Matrix::Bt709 : YuvConverter::Matrix::Bt601;
        uint8_t *const *out = picture_->data;
        const int *outStride = picture_->linesize;
        if (copySource(frame)) {
            for (const QRect &r : frame.paintedRects)
                YuvConverter::rgbaToI420(src[0], frame.stride, frame.width, frame.height, r.left(),
                                         r.top(), r.right() + 1, r.bottom() + 1, matrix, out[0],
                                         outStride[0], out[1], outStride[1], out[2], outStride[2]);
            return true;
        }
        YuvConverter::rgbaToI420(src[0], frame.stride, frame.width, frame.height, matrix, out[0],
                                 outStride[0], out[1], outStride[1], out[2], outStride[2]);
        return true;
    }
    // sws_getCachedContext frees the context it is given when it makes a new one.
    SwsContext *const previous = scaler_.release();
    scaler_.reset(sws_getCachedContext(previous, frame.width, frame.height, AV_PIX_FMT_RGBA,
                                       picture_->width, picture_->height, AV_PIX_FMT_YUV420P,
                                       SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler_)
        return false;
    if (scaler_.get() != previous) {
        const int matrix = bt709 ? SWS_CS_ITU709 : SWS_CS_ITU601;
        sws_setColorspaceDetails(scaler_.get(), sws_getCoefficients(matrix), 1,
                                 sws_getCoefficients(matrix), 0, 0, 1 << 16, 1 << 16);
    }
    if (av_frame_make_writable(picture_.get()) < 0)
        return false;
    sws_scale(scaler_.get(), src, srcStride, 0, frame.height, picture_->data, picture_->linesize);
    return true;
}

bool VideoEncoder::copySource(const FrameToken &frame) {
    const AVFrame *source = frame.source.get();
    if (!source || source->format != AV_PIX_FMT_YUV420P || source->width != picture_->width ||
        source->height != picture_->height ||
        frame.sourceBt709 != (codec_->colorspace == AVCOL_SPC_BT709))
        return false;
    // Mostly drawn over: converting all of it is cheaper than copying first.
    int64_t drawn = 0;
    for (const QRect &r : frame.paintedRects)
        drawn += int64_t(r.width()) * r.height();
    if (drawn * 4 > int64_t(source->width) * source->height * 3)
        return false;
    av_image_copy_plane(picture_->data[0], picture_->linesize[0], source->data[0],
                        source->linesize[0], source->width, source->height);
    for (int p = 1; p < 3; ++p)
        av_image_copy_plane(picture_->data[p], picture_->linesize[p], source->data[p],
                            source->linesize[p], (source->width + 1) / 2, (source->height + 1) / 2);
    return true;
}

bool VideoEncoder::send(int64_t mediaMs, bool keyframe) {
    if (!codec_ || !picture_)
        return false;
    int64_t pts = av_rescale_q(mediaMs, AVRational{1, 1000}, codec_->time_base);
    if (hasLastPts_ && pts <= lastPts_)
        pts = lastPts_ + 1;
    hasLastPts_ = true;
    lastPts_ = pts;
    picture_->pts = pts;
    picture_->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (avcodec_send_frame(codec_.get(), picture_.get()) < 0)
        return false;
    drain();
    return true;
}

void VideoEncoder::flush() {
    if (!codec_)
        return;
    avcodec_send_frame(codec_.get(), nullptr);
    drain();
}

void VideoEncoder::drain() {
    libav::receivePackets(codec_.get(), packet_.get(), onPacket_);
}
