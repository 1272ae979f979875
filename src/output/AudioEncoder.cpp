#include "output/AudioEncoder.h"

#include "core/LibavError.h"

#include <QDebug>

extern "C" {
#include <libavutil/channel_layout.h>
}

AudioEncoder::AudioEncoder(int sampleRate, int maxQueuedSamples, PacketHandler onPacket)
    : sampleRate_(sampleRate), maxQueuedSamples_(maxQueuedSamples), onPacket_(std::move(onPacket)) {
}

bool AudioEncoder::open(bool globalHeader) {
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) {
        qWarning() << "FfmpegEncoderSink: no AAC encoder, video-only mux";
        return true;
    }
    libav::CodecContext ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
        qWarning().noquote() << libav::errorText(
            "FfmpegEncoderSink: avcodec_alloc_context3(AAC) failed", AVERROR(ENOMEM));
        return true;
    }
    ctx->sample_rate = sampleRate_;
    av_channel_layout_default(&ctx->ch_layout, 2);
    ctx->bit_rate = 160000;
    ctx->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    ctx->time_base = AVRational{1, sampleRate_};
    if (globalHeader)
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int err = avcodec_open2(ctx.get(), codec, nullptr);
    if (err < 0) {
        qWarning().noquote() << libav::errorText(
            "FfmpegEncoderSink: audio avcodec_open2 failed, video-only mux", err);
        return true;
    }
    frameSize_ = ctx->frame_size >= 1 ? ctx->frame_size : 1024;
    libav::Frame frame(av_frame_alloc());
    err = frame ? 0 : AVERROR(ENOMEM);
    if (frame) {
        frame->nb_samples = frameSize_;
        frame->format = ctx->sample_fmt;
        frame->sample_rate = sampleRate_;
        err = av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
        if (err >= 0)
            err = av_frame_get_buffer(frame.get(), 0);
    }
    if (err < 0) {
        qWarning().noquote() << libav::errorText("FfmpegEncoderSink: audio frame buffer failed",
                                                 err);
        return false;
    }
    codec_ = std::move(ctx);
    frame_ = std::move(frame);
    pts_ = 0;
    return true;
}

void AudioEncoder::close() {
    frame_.reset();
    codec_.reset();
    pts_ = 0;
    fifo_.clear();
    fifoRead_ = 0;
}

int64_t AudioEncoder::encodedMs() const {
    return codec_ ? av_rescale_q(pts_, AVRational{1, codec_->sample_rate}, AVRational{1, 1000}) : 0;
}

void AudioEncoder::append(const int16_t *pcm, int frames) {
    fifo_.insert(fifo_.end(), pcm, pcm + size_t(2 * frames));
    trim();
}

void AudioEncoder::trim() {
    const uint64_t unread = fifo_.size() - fifoRead_;
    if (unread > uint64_t(maxQueuedSamples_))
        fifoRead_ = fifo_.size() - uint64_t(maxQueuedSamples_);
}

void AudioEncoder::compact() {
    if (fifoRead_ >= 8192 || fifoRead_ >= fifo_.size()) {
        fifo_.erase(fifo_.begin(), fifo_.begin() + ptrdiff_t(fifoRead_));
        fifoRead_ = 0;
    }
}

void AudioEncoder::encode(bool pad) {
    if (!isOpen())
        return;
    trim();
    const size_t frameSamples = size_t(2 * frameSize_);
    const size_t unread = fifo_.size() - fifoRead_;
    if (pad && unread % frameSamples != 0)
        fifo_.resize(fifo_.size() + frameSamples - unread % frameSamples, 0);
    while (fifo_.size() - fifoRead_ >= frameSamples) {
        if (codec_->sample_fmt != AV_SAMPLE_FMT_FLTP) {
            qWarning() << "FfmpegEncoderSink: unexpected AAC input sample format";
            break;
        }
        if (av_frame_make_writable(frame_.get()) < 0)
            break;
        auto *left = reinterpret_cast<float *>(frame_->data[0]);
        auto *right = reinterpret_cast<float *>(frame_->data[1]);
        const int16_t *in = fifo_.data() + fifoRead_;
        for (int i = 0; i < frameSize_; ++i) {
            left[i] = float(in[2 * i]) * (1.0f / 32768.0f);
            right[i] = float(in[2 * i + 1]) * (1.0f / 32768.0f);
        }
        frame_->pts = pts_;
        pts_ += frameSize_;
        fifoRead_ += frameSamples;
        if (avcodec_send_frame(codec_.get(), frame_.get()) < 0)
            break;
        drain();
    }
    compact();
}

void AudioEncoder::flush() {
    if (!isOpen())
        return;
    encode(true);
    avcodec_send_frame(codec_.get(), nullptr);
    drain();
}

void AudioEncoder::drain() {
    libav::receivePackets(codec_.get(), packet_.get(), onPacket_);
}
