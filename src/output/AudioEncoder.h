#pragma once

#include "core/LibavPtr.h"

#include <cstdint>
#include <functional>
#include <vector>

// The program's AAC encoder and the queue of 16-bit stereo sound waiting for it. The queue is
// bounded: beyond `maxQueuedSamples` the oldest samples go. Encoding thread only.
class AudioEncoder {
public:
    using PacketHandler = std::function<void(AVPacket *packet)>;

    // Every encoded packet goes to `onPacket`, which must not keep it.
    AudioEncoder(int sampleRate, int maxQueuedSamples, PacketHandler onPacket);

    // False only when the encoder opened but its frame could not be made. Without an AAC
    // encoder, or when it does not open, the run goes on without sound: true, and isOpen()
    // stays false.
    bool open(bool globalHeader);
    void close(); // and forgets the queued sound

    bool isOpen() const { return codec_ && frame_; }
    const AVCodecContext *codec() const { return codec_.get(); }
    int frameSize() const { return frameSize_; }
    // How much sound has been encoded, in milliseconds.
    int64_t encodedMs() const;

    void append(const int16_t *pcm, int frames);
    // Encodes every whole frame queued; with `pad`, the rest too, padded with silence.
    void encode(bool pad);
    // Encodes what is queued, sends the end of the stream and hands on what the encoder holds.
    void flush();

private:
    void trim();
    void compact();
    void drain();

    const int sampleRate_;
    const int maxQueuedSamples_;
    PacketHandler onPacket_;
    libav::CodecContext codec_;
    libav::Frame frame_;
    libav::Packet packet_{av_packet_alloc()};
    int64_t pts_ = 0;
    int frameSize_ = 1024;
    std::vector<int16_t> fifo_;
    uint64_t fifoRead_ = 0;
};
