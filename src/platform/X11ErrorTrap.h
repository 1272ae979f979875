#pragma once

// X connections of the engine, and errors on them that never end the program. Xlib's default
// error handler exits the process; ours swallows errors on connections opened here and passes
// every other connection's errors on to the handler it replaced.

#include <mutex>

typedef struct _XDisplay Display;

namespace x11 {

// Opening and closing connections, with the extension set-up right after opening, must not run
// on two threads at once: libXext's per-connection records are not safe against that (crashes
// reproduced with two threads). Hold this lock around all three, including the window-capture
// library's create and destroy calls. Never while waiting for anything else.
std::unique_lock<std::mutex> lockConnections();

// XOpenDisplay(nullptr) after making Xlib thread-safe; null without an X server. The caller
// holds lockConnections().
Display *openDisplay();
void closeDisplay(Display *display); // the caller holds lockConnections()

// Records the errors raised on `display` by this thread while it lives. Any thread.
class ErrorTrap {
public:
    explicit ErrorTrap(Display *display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap &) = delete;
    ErrorTrap &operator=(const ErrorTrap &) = delete;
    // Waits for the server to answer everything sent so far; true when no error came back.
    bool ok() const;

private:
    Display *display_;
    int outerError_; // a trap may nest inside another on the same thread
};

} // namespace x11
