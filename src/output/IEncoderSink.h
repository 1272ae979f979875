#pragma once

#include "core/FrameToken.h"

#include <QString>

#include <cstdint>

// Where composed program frames and program sound go to be encoded and written.
class IEncoderSink {
public:
    virtual ~IEncoderSink() = default;
    // A file-only run; false when there is nothing to write.
    virtual bool open(const QString &filePath, double fps) = 0;
    // One program frame and, when given, `pcmFrames` frames of interleaved 16-bit stereo sound.
    virtual void writeFrame(const FrameTokenPtr &frame, const int16_t *pcm, int pcmFrames) = 0;
    // Flushes the encoders, finishes every output and releases all encoding state.
    virtual void close() = 0;
};
