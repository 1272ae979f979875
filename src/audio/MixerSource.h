#pragma once

// What the audio mixer needs of the frame pipeline: the sound of each input channel and each
// overlay video, and which channel is the program's base.
class MixerSource {
public:
    virtual ~MixerSource() = default;
    // Fill `frames` interleaved stereo float frames; silence where there is no source.
    // Called on the mixer thread.
    virtual void pullChannelAudio(int channel, float *out, int frames) = 0;
    virtual void pullOverlayAudio(int slot, float *out, int frames) = 0;
    virtual int baseChannel() const = 0; // 0-3, or -1
};
