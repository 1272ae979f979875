#pragma once

#include <cstdint>

// Where the program's sound comes from, as the output sees it: the audio mixer captures the
// program mix into a queue while an output runs, and the encoder pulls from it.
class ProgramAudioSource {
public:
    virtual ~ProgramAudioSource() = default;
    virtual void setProgramCaptureEnabled(bool enabled) = 0;
    virtual void clearProgramQueue() = 0;
    // Always fills `frames` interleaved 16-bit stereo frames (silence where none is queued).
    // Called on the encoding thread.
    virtual void pullProgramAudio(int16_t *out, int frames) = 0;
};
