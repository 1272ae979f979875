#pragma once

#include <QString>

#include <thread>

class DecoderControl;

// The separate microphone of a source (a camera's own, or one chosen for a file, stream or
// screen): a second input on a thread of its own ("mic:<tag>") whose sound replaces the
// source's. It plays and pauses with the source and drains the device while paused, so that a
// resume plays no stale sound.
//
// Threads: start() and join() from the decoder's lifecycle tasks, under its lifecycle mutex;
// the thread ends once the decoder's stop flag is set.
class MicrophoneInput {
public:
    explicit MicrophoneInput(DecoderControl &control) : c_(control) {}
    ~MicrophoneInput() { join(); }
    MicrophoneInput(const MicrophoneInput &) = delete;
    MicrophoneInput &operator=(const MicrophoneInput &) = delete;

    // Starts reading `address` (a microphone address). The previous run must have been joined.
    void start(const QString &address);
    void join();

private:
    void run(const QString &address);

    DecoderControl &c_;
    std::thread thread_;
};
