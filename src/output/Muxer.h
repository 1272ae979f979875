#pragma once

#include "core/LibavPtr.h"
#include "output/EncoderParams.h"

#include <QByteArray>

#include <cstdint>
#include <memory>

// One container being written: its streams made from the encoder parameters, the header, the
// packets with the timestamps each format insists on, and the trailer. Not thread-safe: one
// thread at a time, its owner's.
class Muxer {
public:
    struct Options {
        QByteArray url;
        QByteArray format; // empty: chosen from the address
        bool isRtmp = false;
        AVIOInterruptCB interrupt{nullptr, nullptr};
    };
    // Which call failed and FFmpeg's error.
    struct Failure {
        const char *call = "";
        int error = 0;
    };

    bool open(const Options &options, const std::shared_ptr<const EncoderParams> &params,
              Failure *failure);
    bool isOpen() const { return fmt_ != nullptr; }
    // Ends the container (or, for FLV over RTMP, only flushes what is buffered) and closes it.
    void close(bool writeTrailer);
    // Writes one packet (a reference this call consumes, whatever the result); returns the
    // muxer's result. `mediaMs`, when given, receives the packet's time in milliseconds.
    int write(AVPacket *packet, bool isVideo, int64_t *mediaMs);
    // New encoder parameters (a new video size); the streams carry on with them.
    void useParameters(const std::shared_ptr<const EncoderParams> &params);
    const std::shared_ptr<const EncoderParams> &params() const { return params_; }
    void flush();

private:
    libav::OutputFormatContext fmt_;
    AVStream *videoStream_ = nullptr;
    AVStream *audioStream_ = nullptr;
    bool isFlv_ = false;
    bool isRtmp_ = false;
    bool hasLastVideo_ = false;
    int64_t lastVideoPts_ = 0;
    bool hasLastAudio_ = false;
    int64_t lastAudioPts_ = 0;
    std::shared_ptr<const EncoderParams> params_; // what the streams were made from
};
