#include "output/Muxer.h"

#include "core/LibavError.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

namespace {

bool isMp4Family(const char *name) {
    for (const char *n : {"mp4", "mov", "ismv", "3gp", "f4v"})
        if (std::strcmp(name, n) == 0)
            return true;
    return false;
}

bool fail(Muxer::Failure *failure, const char *call, int error) {
    if (failure)
        *failure = {call, error};
    return false;
}

} // namespace

bool Muxer::open(const Options &options, const std::shared_ptr<const EncoderParams> &p,
                 Failure *failure) {
    if (!p)
        return fail(failure, "encoder parameters", AVERROR(EINVAL));
    AVFormatContext *raw = nullptr;
    const char *formatName = options.format.isEmpty() ? nullptr : options.format.constData();
    int err = avformat_alloc_output_context2(&raw, nullptr, formatName, options.url.constData());
    libav::OutputFormatContext ctx(raw);
    if (err < 0 || !ctx)
        return fail(failure, "avformat_alloc_output_context2", err < 0 ? err : AVERROR(ENOMEM));
    const char *muxer = ctx->oformat->name;
    isRtmp_ = options.isRtmp;
    isFlv_ = std::strcmp(muxer, "flv") == 0 || std::strcmp(muxer, "live_flv") == 0 || isRtmp_;
    const bool flvOverRtmp = isFlv_ && isRtmp_;
    if (flvOverRtmp) {
        ctx->flags |= AVFMT_FLAG_FLUSH_PACKETS;
        ctx->max_delay = 0;
    }
    ctx->interrupt_callback = options.interrupt;
    const bool mp4 = isMp4Family(muxer);
    const bool ts = std::strcmp(muxer, "mpegts") == 0 || std::strcmp(muxer, "m2ts") == 0;

    AVStream *video = avformat_new_stream(ctx.get(), nullptr);
    if (!video)
        return fail(failure, "avformat_new_stream", AVERROR(ENOMEM));
    if ((err = avcodec_parameters_copy(video->codecpar, p->video.get())) < 0)
        return fail(failure, "avcodec_parameters_copy", err);
    const bool millis = p->videoTimeBase.num == 1 && p->videoTimeBase.den == 1000;
    if (isFlv_)
        video->time_base = AVRational{1, 1000};
    else if ((mp4 || ts) && millis)
        video->time_base = AVRational{1, 90000};
    else
        video->time_base = p->videoTimeBase;
    AVStream *audio = nullptr;
    if (p->audio) {
        audio = avformat_new_stream(ctx.get(), nullptr);
        if (!audio)
            return fail(failure, "avformat_new_stream", AVERROR(ENOMEM));
        if ((err = avcodec_parameters_copy(audio->codecpar, p->audio.get())) < 0)
            return fail(failure, "avcodec_parameters_copy", err);
        audio->time_base = isFlv_ ? AVRational{1, 1000} : AVRational{1, p->audioSampleRate};
    }
    if (mp4) {
        video->codecpar->codec_tag = 0;
        if (audio)
            audio->codecpar->codec_tag = 0;
        video->avg_frame_rate = p->videoFrameRate;
        video->r_frame_rate = p->videoFrameRate;
    }

    if (!(ctx->oformat->flags & AVFMT_NOFILE)) {
        libav::Dictionary avioOptions;
        if (isRtmp_) {
            avioOptions.set("stimeout", "300000000");
            avioOptions.set("rw_timeout", "30000000");
            avioOptions.set("tcp_nodelay", "1");
        } else {
            avioOptions.set("write_buffer_size", QByteArray::number(4194304).constData());
        }
        const AVIOInterruptCB &cb = ctx->interrupt_callback;
        err =
            avio_open2(&ctx->pb, options.url.constData(), AVIO_FLAG_WRITE, &cb, avioOptions.get());
        // The plain retry keeps the interrupt callback: without it a server that accepts and
        // never answers would hold this thread, and every stop, for good.
        if (err < 0 && !(cb.callback && cb.callback(cb.opaque)))
            err = avio_open2(&ctx->pb, options.url.constData(), AVIO_FLAG_WRITE, &cb, nullptr);
        if (err < 0)
            return fail(failure, "avio_open", err);
    }

    libav::Dictionary header;
    if (options.format.isEmpty() &&
        (std::strcmp(muxer, "mp4") == 0 || std::strcmp(muxer, "mov") == 0 ||
         std::strcmp(muxer, "ismv") == 0))
        header.set("movflags", "+frag_keyframe+empty_moov+default_base_moof");
    if (flvOverRtmp)
        header.set("flvflags", "no_duration_filesize");
    if ((err = avformat_write_header(ctx.get(), header.get())) < 0)
        return fail(failure, "avformat_write_header", err);
    if (!isFlv_ && !isRtmp_ && mp4)
        ctx->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    fmt_ = std::move(ctx);
    videoStream_ = video;
    audioStream_ = audio;
    params_ = p;
    hasLastVideo_ = hasLastAudio_ = false;
    lastVideoPts_ = lastAudioPts_ = 0;
    return true;
}

void Muxer::close(bool writeTrailer) {
    if (!fmt_)
        return;
    if (writeTrailer && !(isFlv_ && isRtmp_)) {
        const int err = av_write_trailer(fmt_.get());
        if (err < 0)
            qWarning().noquote() << libav::errorText("FfmpegEncoderSink: av_write_trailer failed",
                                                     err);
    } else if (fmt_->pb) {
        avio_flush(fmt_->pb);
    }
    fmt_.reset();
    videoStream_ = audioStream_ = nullptr;
}

int Muxer::write(AVPacket *pkt, bool isVideo, int64_t *mediaMs) {
    AVStream *stream = isVideo ? videoStream_ : audioStream_;
    if (!fmt_ || !stream || !params_) {
        av_packet_unref(pkt);
        return 0;
    }
    const AVRational from = isVideo ? params_->videoTimeBase : params_->audioTimeBase;
    av_packet_rescale_ts(pkt, from, stream->time_base);

    if (isFlv_) {
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
        bool &hasLast = isVideo ? hasLastVideo_ : hasLastAudio_;
        int64_t &last = isVideo ? lastVideoPts_ : lastAudioPts_;
        if (hasLast && last > pkt->pts) {
            pkt->pts = last + 1;
            pkt->dts = std::max(pkt->dts, last);
        }
        hasLast = true;
        last = pkt->pts;
        if (pkt->dts > pkt->pts)
            pkt->dts = pkt->pts;
    } else if (isMp4Family(fmt_->oformat->name) && pkt->duration <= 0) {
        if (isVideo) {
            const AVRational frame = av_inv_q(params_->videoFrameRate);
            pkt->duration = av_rescale_q(1, frame, stream->time_base);
        } else {
            pkt->duration =
                av_rescale_q(params_->audioFrameSize, AVRational{1, params_->audioSampleRate},
                             stream->time_base);
        }
    }
    pkt->stream_index = stream->index;
    if (mediaMs)
        *mediaMs = pkt->pts != AV_NOPTS_VALUE
                       ? av_rescale_q(pkt->pts, stream->time_base, AVRational{1, 1000})
                       : 0;
    const int err = av_interleaved_write_frame(fmt_.get(), pkt);
    av_packet_unref(pkt);
    return err;
}

void Muxer::useParameters(const std::shared_ptr<const EncoderParams> &p) {
    if (!p || p == params_ || !videoStream_)
        return;
    const int err = avcodec_parameters_copy(videoStream_->codecpar, p->video.get());
    if (err < 0)
        qWarning().noquote() << libav::errorText(
            "FfmpegEncoderSink: avcodec_parameters_from_context failed after video reopen", err);
    params_ = p;
}

void Muxer::flush() {
    if (fmt_ && fmt_->pb && !(fmt_->oformat->flags & AVFMT_NOFILE))
        avio_flush(fmt_->pb);
}
