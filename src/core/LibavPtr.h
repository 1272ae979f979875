#pragma once

// Owning handles for FFmpeg objects, so that every exit path frees what it opened.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>

namespace libav {

struct FormatInputDeleter {
    void operator()(AVFormatContext *c) const { avformat_close_input(&c); }
};
// A muxer: closes the file or connection it opened (formats without one have none), then
// frees the context.
struct FormatOutputDeleter {
    void operator()(AVFormatContext *c) const {
        if (c->pb && !(c->oformat->flags & AVFMT_NOFILE))
            avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct CodecParametersDeleter {
    void operator()(AVCodecParameters *p) const { avcodec_parameters_free(&p); }
};
struct FrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct SwsDeleter {
    void operator()(SwsContext *c) const { sws_freeContext(c); }
};
struct SwrDeleter {
    void operator()(SwrContext *c) const { swr_free(&c); }
};

using InputFormatContext = std::unique_ptr<AVFormatContext, FormatInputDeleter>;
using OutputFormatContext = std::unique_ptr<AVFormatContext, FormatOutputDeleter>;
using CodecParameters = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
using Sws = std::unique_ptr<SwsContext, SwsDeleter>;
using Swr = std::unique_ptr<SwrContext, SwrDeleter>;

// An options dictionary that frees whatever FFmpeg left in it.
class Dictionary {
public:
    Dictionary() = default;
    ~Dictionary() { av_dict_free(&d_); }
    Dictionary(const Dictionary &) = delete;
    Dictionary &operator=(const Dictionary &) = delete;
    void set(const char *key, const char *value) { av_dict_set(&d_, key, value, 0); }
    AVDictionary **get() { return &d_; }

private:
    AVDictionary *d_ = nullptr;
};

// Hands every packet the encoder has ready to `take`, reusing `packet`.
template <typename Take> void receivePackets(AVCodecContext *codec, AVPacket *packet, Take &&take) {
    if (!codec || !packet)
        return;
    while (avcodec_receive_packet(codec, packet) >= 0) {
        take(packet);
        av_packet_unref(packet);
    }
}

} // namespace libav
