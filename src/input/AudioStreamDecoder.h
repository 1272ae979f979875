#pragma once

#include "core/LibavPtr.h"

#include <atomic>
#include <cstdint>
#include <vector>

class AudioSampleQueue;
class LiveFrameGate;

// Decodes one audio stream of an open input into an AudioSampleQueue as 48 kHz stereo float.
// The resampler is built from the first frame and rebuilt after reset() or when the input
// format changes mid-stream (which would otherwise play at the wrong pitch).
//
// Threads: one worker at a time (the decode worker or the microphone worker).
class AudioStreamDecoder {
public:
    AudioStreamDecoder(AudioSampleQueue &queue, LiveFrameGate *gate);
    ~AudioStreamDecoder() { av_channel_layout_uninit(&resamplerLayout_); }
    AudioStreamDecoder(const AudioStreamDecoder &) = delete;
    AudioStreamDecoder &operator=(const AudioStreamDecoder &) = delete;

    // False (and no audio) when the stream's decoder cannot be found or opened.
    bool open(AVFormatContext *input, int streamIndex);
    bool isOpen() const { return codec_ != nullptr; }
    int streamIndex() const { return streamIndex_; }

    // Decodes one packet and appends its sound. Ends early when `stop` is set.
    void decode(const AVPacket *packet, const std::atomic<bool> &stop);
    void flushDecoder();
    void resetResampler();
    // Timestamps count from `startUs`, the input's first picture.
    void setStartOffset(int64_t startUs) { startUs_ = startUs; }
    // After a seek: sound before the asked position (from the keyframe before it) is skipped.
    void dropBefore(int64_t targetUs) { dropBeforeUs_ = targetUs; }

private:
    bool ensureResampler(const AVFrame *frame);

    AudioSampleQueue &queue_;
    LiveFrameGate *gate_;
    int streamIndex_ = -1;
    AVRational timeBase_{1, 1};
    int64_t startUs_ = 0;
    int64_t dropBeforeUs_ = INT64_MIN;
    libav::CodecContext codec_;
    libav::Frame frame_;
    libav::Swr resampler_;
    int resamplerFormat_ = -1; // what the resampler was built for
    int resamplerRate_ = 0;
    AVChannelLayout resamplerLayout_{};
    std::vector<int16_t> staging_; // grows to fit, never shrinks
    std::vector<float> samples_;
};
