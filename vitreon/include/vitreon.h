#pragma once

// Vitreon: capture of one window, or of one monitor, as tightly packed BGRA pictures. The
// program loads this library at run time and uses only these four entry points.
//
// Handles: a window is its X11 window id, a monitor is its XRandR monitor index + 1, both passed
// as pointer-sized values. Each capture owns its own connection to the X server, so captures on
// different threads never share state; one capture is used by one thread at a time.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define VITREON_API __declspec(dllexport)
#else
#define VITREON_API __attribute__((visibility("default")))
#endif

typedef struct VitreonCapture VitreonCapture;

enum {
    VITREON_OK = 0,            // a new picture was copied; width, height and timestamp are set
    VITREON_NO_NEW_FRAME = -1, // nothing changed since the last picture
    // The window is unmapped (minimised) or gone, the monitor left the screen, or the server
    // refused the read; call again later. A destroyed window answers this for good.
    VITREON_FAILED = -2,
    VITREON_BAD_ARGUMENT = -3, // a null argument
    // The picture needs more than `capacity` bytes: nothing is written, width and height are set
    // to its size, and it is still given by the next call with room enough.
    VITREON_TOO_LARGE = -4
};

// Null when the window does not exist (or is the root, or input-only) or the X server lacks the
// Composite extension. A window is captured without its border.
VITREON_API VitreonCapture *wgc_capture_create(void *window);
// Null when there is no such monitor (RandR's active monitors, in the server's order).
VITREON_API VitreonCapture *wgc_capture_create_monitor(void *monitor);
// Null is ignored.
VITREON_API void wgc_capture_destroy(VitreonCapture *capture);
// Copies the newest picture as rows of width * 4 bytes (B, G, R, A; A is always 255). The first
// call after create gives a picture. The timestamp is in microseconds of a monotonic clock
// (std::chrono::steady_clock); only differences between timestamps mean anything.
VITREON_API int wgc_capture_copy_bgra(VitreonCapture *capture, uint8_t *destination,
                                      size_t capacity, int *width, int *height,
                                      int64_t *timestampUs);

#ifdef __cplusplus
}
#endif
