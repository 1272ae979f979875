#pragma once

#include <QList>
#include <QString>

#include <cstdint>
#include <memory>

// Captures one monitor of the X display as BGRX pictures: MIT-SHM where the server offers it,
// else XGetImage. A picture is taken only when the X damage extension reports a change within
// the monitor (or, without it, at the refresh pace), so a still screen costs nothing.
// A change of the screen or monitor size counts as a lost access: the caller re-creates the
// capture, and the first picture after that is skipped.
//
// Threads: one object is used by one thread (the decoder's worker); it holds its own X
// connection. enumerateDisplays() opens a short-lived connection of its own; any thread.
class X11DisplayCapture {
public:
    struct DisplayEntry {
        int index = 0;
        QString description; // "name — W×H"
    };
    static QList<DisplayEntry> enumerateDisplays();

    static constexpr int kAcquireWaitMs = 25;

    X11DisplayCapture();
    ~X11DisplayCapture();
    X11DisplayCapture(const X11DisplayCapture &) = delete;
    X11DisplayCapture &operator=(const X11DisplayCapture &) = delete;

    bool initDuplication(int monitorIndex, QString *error);
    // Waits up to kAcquireWaitMs for a change. On true, `pixels` points at `height` rows of
    // `stride` bytes (B, G, R, X), valid until the next call on this object.
    bool acquireFrame(const uint8_t **pixels, int *stride, int *width, int *height,
                      int64_t *timestampUs);
    void drainWhilePaused();
    void releaseDuplication();
    // Reading clears it.
    bool takeAccessLost();

    bool usesSharedMemory() const; // diagnostics

private:
    struct State;
    std::unique_ptr<State> s_;
    bool skipNextFrame_ = false; // survives a re-creation: the first picture after it is dropped
};
