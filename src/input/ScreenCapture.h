#pragma once

#include "input/FrameScaler.h"

#include <QString>

#include <cstdint>

class DecoderControl;

// Display and window capture as a decoder input: runs on the decode worker in place of an
// FFmpeg input and hands its pictures to the same frame callback, live (a busy pipeline drops
// pictures, the live gate may drop late ones).
//
// Threads: the decode worker; each run returns once the decoder's stop flag is set.
class ScreenCapture {
public:
    explicit ScreenCapture(DecoderControl &control) : c_(control) {}

    void runDisplay(int monitorIndex);
    // Through the window capture library; a display it cannot take is captured the plain way.
    void runLibrary(const QString &address, bool window);

private:
    // Steps shared by both loops between pictures. False: paused.
    bool housekeeping();
    void deliver(const uint8_t *pixels, int stride, int width, int height, int64_t tsUs);

    DecoderControl &c_;
    FrameScaler scaler_;
};
