#pragma once

#include "core/LibavPtr.h"

// What the encoders produce, as a muxer needs it to make its streams. Immutable once published:
// stream writers keep the one their muxer was made from.
struct EncoderParams {
    libav::CodecParameters video{avcodec_parameters_alloc()};
    libav::CodecParameters audio; // none in a run without sound
    AVRational videoTimeBase{1, 1000};
    AVRational videoFrameRate{30, 1};
    AVRational audioTimeBase{1, 48000};
    int audioSampleRate = 48000;
    int audioFrameSize = 1024;
};
