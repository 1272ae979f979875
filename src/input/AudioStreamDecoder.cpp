#include "input/AudioStreamDecoder.h"

#include "input/AudioSampleQueue.h"
#include "input/LiveFrameGate.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

AudioStreamDecoder::AudioStreamDecoder(AudioSampleQueue &queue, LiveFrameGate *gate)
    : queue_(queue), gate_(gate) {}

bool AudioStreamDecoder::open(AVFormatContext *input, int streamIndex) {
    const AVStream *stream = input->streams[streamIndex];
    const AVCodec *decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder)
        return false;
    libav::CodecContext ctx(avcodec_alloc_context3(decoder));
    libav::Frame frame(av_frame_alloc());
    if (!ctx || !frame || avcodec_parameters_to_context(ctx.get(), stream->codecpar) < 0 ||
        avcodec_open2(ctx.get(), decoder, nullptr) < 0)
        return false;
    codec_ = std::move(ctx);
    frame_ = std::move(frame);
    streamIndex_ = streamIndex;
    timeBase_ = stream->time_base;
    return true;
}

void AudioStreamDecoder::flushDecoder() {
    if (codec_)
        avcodec_flush_buffers(codec_.get());
}

void AudioStreamDecoder::resetResampler() {
    resampler_.reset();
    resamplerFormat_ = -1;
}

bool AudioStreamDecoder::ensureResampler(const AVFrame *frame) {
    AVChannelLayout inLayout{};
    if (frame->ch_layout.nb_channels >= 1)
        av_channel_layout_copy(&inLayout, &frame->ch_layout);
    else if (codec_->ch_layout.nb_channels >= 1)
        av_channel_layout_copy(&inLayout, &codec_->ch_layout);
    else
        av_channel_layout_default(&inLayout, 2);

    if (resampler_ && resamplerFormat_ == frame->format && resamplerRate_ == frame->sample_rate &&
        av_channel_layout_compare(&resamplerLayout_, &inLayout) == 0) {
        av_channel_layout_uninit(&inLayout);
        return true;
    }
    resetResampler();
    AVChannelLayout outLayout{};
    av_channel_layout_default(&outLayout, 2);
    SwrContext *raw = nullptr;
    const bool allocated =
        swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_S16, AudioSampleQueue::kSampleRate,
                            &inLayout, AVSampleFormat(frame->format), frame->sample_rate, 0,
                            nullptr) >= 0;
    libav::Swr swr(raw);
    const bool ok = allocated && swr_init(swr.get()) >= 0;
    av_channel_layout_uninit(&outLayout);
    if (!ok) {
        av_channel_layout_uninit(&inLayout);
        return false;
    }
    resampler_ = std::move(swr);
    resamplerFormat_ = frame->format;
    resamplerRate_ = frame->sample_rate;
    av_channel_layout_uninit(&resamplerLayout_);
    resamplerLayout_ = inLayout; // takes over the copy
    return true;
}

void AudioStreamDecoder::decode(const AVPacket *packet, const std::atomic<bool> &stop) {
    if (!codec_ || avcodec_send_packet(codec_.get(), packet) < 0)
        return;
    AVFrame *frame = frame_.get();
    while (avcodec_receive_frame(codec_.get(), frame) >= 0) {
        if (stop.load()) {
            av_frame_unref(frame);
            return;
        }
        const int64_t ts =
            frame->best_effort_timestamp == AV_NOPTS_VALUE
                ? 0
                : av_rescale_q(frame->best_effort_timestamp, timeBase_, AVRational{1, 1000000});
        if (gate_ && gate_->gateOnAudio())
            gate_->noteAudioTimestamp(ts);
        if (dropBeforeUs_ != INT64_MIN && frame->sample_rate > 0) {
            const int64_t endUs =
                ts - startUs_ + int64_t(frame->nb_samples) * 1000000 / frame->sample_rate;
            if (frame->best_effort_timestamp != AV_NOPTS_VALUE && endUs <= dropBeforeUs_) {
                av_frame_unref(frame); // before the position the picture was sought to
                continue;
            }
            dropBeforeUs_ = INT64_MIN;
        }
        if (frame->sample_rate <= 0 || !ensureResampler(frame)) {
            av_frame_unref(frame); // the next frame tries again
            continue;
        }
        const int inRate = frame->sample_rate;
        const int capacity =
            int(av_rescale_rnd(swr_get_delay(resampler_.get(), inRate) + frame->nb_samples,
                               AudioSampleQueue::kSampleRate, inRate, AV_ROUND_UP));
        if (staging_.size() < size_t(capacity) * 2)
            staging_.resize(size_t(capacity) * 2);
        uint8_t *out[1] = {reinterpret_cast<uint8_t *>(staging_.data())};
        const int produced =
            swr_convert(resampler_.get(), out, capacity,
                        const_cast<const uint8_t **>(frame->extended_data), frame->nb_samples);
        av_frame_unref(frame);
        if (produced < 1)
            continue;
        const size_t count = size_t(produced) * 2;
        if (samples_.size() < count)
            samples_.resize(count);
        for (size_t i = 0; i < count; ++i)
            samples_[i] = float(staging_[i]) * 3.0517578e-5f;
        queue_.append(samples_.data(), count);
    }
}
