#include "vitreon.h"

// Placeholder until the X11 implementation lands.
extern "C" {
VitreonCapture *wgc_capture_create(void *) {
    return nullptr;
}
VitreonCapture *wgc_capture_create_monitor(void *) {
    return nullptr;
}
void wgc_capture_destroy(VitreonCapture *) {}
int wgc_capture_copy_bgra(VitreonCapture *, uint8_t *, size_t, int *, int *, int64_t *) {
    return VITREON_FAILED;
}
}
