#pragma once

// X connections of the engine, and errors on them that never end the program. Xlib's default
// error handler exits the process; ours swallows errors on connections opened here and passes
// every other connection's errors on to the handler it replaced.

typedef struct _XDisplay Display;

namespace x11 {

// XOpenDisplay(nullptr) after making Xlib thread-safe; null without an X server.
Display *openDisplay();
void closeDisplay(Display *display);

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
