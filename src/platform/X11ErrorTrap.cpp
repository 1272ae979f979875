#include "platform/X11ErrorTrap.h"

#include <X11/Xlib.h>

#include <QtGlobal>

#include <algorithm>
#include <mutex>
#include <vector>

namespace x11 {
namespace {

std::mutex registryMutex;
std::vector<Display *> ownDisplays;      // guarded by registryMutex
XErrorHandler previousHandler = nullptr; // set once, under the once flag
thread_local int trappedError = 0;
thread_local int activeTraps = 0;

int handleError(Display *display, XErrorEvent *event) {
    if (activeTraps > 0) {
        trappedError = event->error_code;
        return 0;
    }
    {
        std::lock_guard lock(registryMutex);
        if (std::find(ownDisplays.begin(), ownDisplays.end(), display) != ownDisplays.end()) {
            qWarning("X11: request %d failed with error %d", int(event->request_code),
                     int(event->error_code));
            return 0;
        }
    }
    return previousHandler ? previousHandler(display, event) : 0;
}

void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        previousHandler = XSetErrorHandler(&handleError);
    });
}

std::mutex connectionMutex;

} // namespace

std::unique_lock<std::mutex> lockConnections() {
    return std::unique_lock(connectionMutex);
}

Display *openDisplay() {
    initOnce();
    Display *display = XOpenDisplay(nullptr);
    if (display) {
        std::lock_guard lock(registryMutex);
        ownDisplays.push_back(display);
    }
    return display;
}

void closeDisplay(Display *display) {
    if (!display)
        return;
    {
        std::lock_guard lock(registryMutex);
        ownDisplays.erase(std::remove(ownDisplays.begin(), ownDisplays.end(), display),
                          ownDisplays.end());
    }
    ++activeTraps; // an error while closing is swallowed too
    XCloseDisplay(display);
    --activeTraps;
}

ErrorTrap::ErrorTrap(Display *display) : display_(display), outerError_(trappedError) {
    initOnce();
    trappedError = 0;
    ++activeTraps;
}

ErrorTrap::~ErrorTrap() {
    if (display_)
        XSync(display_, False); // errors of this trap's requests land here, not later
    --activeTraps;
    trappedError = outerError_;
}

bool ErrorTrap::ok() const {
    if (display_)
        XSync(display_, False);
    return trappedError == 0;
}

} // namespace x11
