#include "vitreon.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// X ids are 29 bits; anything above would alias another window once truncated on the wire.
constexpr uintptr_t kMaxXid = 0x1FFFFFFF;
// A window that is not viewable is looked at again when the server reports a change, and at
// this pace in case a report was missed.
constexpr int64_t kRecheckUs = 250000;

// ---- Errors: Xlib's default handler exits the process, and the handler is process-global.

struct OwnDisplay {
    Display *display;
    std::atomic<unsigned> *errors;
};

std::once_flag g_initOnce;
std::mutex g_registryMutex;
std::vector<OwnDisplay> g_ownDisplays; // guarded by g_registryMutex
XErrorHandler g_previousHandler = nullptr;

// Held while a connection opens, sets up its extensions and closes: libXext and libXrandr keep
// per-process lists of connections that get corrupted when that happens on two threads at once.
std::mutex g_lifecycleMutex;

int onXError(Display *display, XErrorEvent *event) {
    XErrorHandler previous = nullptr;
    {
        std::lock_guard lock(g_registryMutex);
        for (const OwnDisplay &own : g_ownDisplays) {
            if (own.display == display) {
                own.errors->fetch_add(1, std::memory_order_relaxed);
                return 0;
            }
        }
        previous = g_previousHandler;
    }
    // Outside the lock: the host's handler may well use Xlib or exit.
    return previous ? previous(display, event) : 0;
}

Display *openOwnDisplay(std::atomic<unsigned> *errors) {
    std::call_once(g_initOnce, [] {
        XInitThreads();
        g_previousHandler = XSetErrorHandler(&onXError);
    });
    Display *display = XOpenDisplay(nullptr);
    if (display) {
        std::lock_guard lock(g_registryMutex);
        g_ownDisplays.push_back({display, errors});
    }
    return display;
}

void closeOwnDisplay(Display *display) {
    // Errors of the last requests still arrive as ours; the close itself sends nothing that fails.
    XSync(display, False);
    {
        std::lock_guard lock(g_registryMutex);
        std::erase_if(g_ownDisplays,
                      [display](const OwnDisplay &own) { return own.display == display; });
    }
    XCloseDisplay(display);
}

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool isTrueColor(const Visual *visual) {
    return visual && (visual->c_class == TrueColor || visual->c_class == DirectColor);
}

struct Channel {
    unsigned long mask = 0;
    int shift = 0;
    unsigned long max = 0;

    explicit Channel(unsigned long m) : mask(m) {
        if (m) {
            shift = std::countr_zero(m);
            max = m >> shift;
        }
    }
    uint8_t extract(unsigned long pixel) const {
        if (!max)
            return 0;
        return uint8_t(((pixel & mask) >> shift) * 255 / max);
    }
};

// B, G, R, X pixels to B, G, R, 255 in one pass; four at a time where SSE2 is there.
void copyRowOpaque(const char *src, uint8_t *dst, int width) {
    int x = 0;
#if defined(__SSE2__)
    const __m128i alpha = _mm_set1_epi32(int(0xFF000000u));
    for (; x + 4 <= width; x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + size_t(x) * 4));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + size_t(x) * 4), _mm_or_si128(v, alpha));
    }
#endif
    for (; x < width; ++x) {
        uint32_t pixel;
        std::memcpy(&pixel, src + size_t(x) * 4, 4);
        pixel |= 0xFF000000u;
        std::memcpy(dst + size_t(x) * 4, &pixel, 4);
    }
}

// Rows of `width` BGRA pixels, alpha opaque whatever the source's fourth byte holds.
void toBgra(const XImage *image, const Visual *visual, int width, int height, uint8_t *dst) {
    const bool plainBgrx = std::endian::native == std::endian::little &&
                           image->bits_per_pixel == 32 && image->byte_order == LSBFirst &&
                           visual->red_mask == 0xFF0000 && visual->green_mask == 0xFF00 &&
                           visual->blue_mask == 0xFF;
    const size_t rowBytes = size_t(width) * 4;
    if (plainBgrx) {
        for (int y = 0; y < height; ++y)
            copyRowOpaque(image->data + size_t(y) * image->bytes_per_line,
                          dst + size_t(y) * rowBytes, width);
        return;
    }
    // 16-bit, 30-bit or big-endian servers: rare enough to go pixel by pixel.
    const Channel red(visual->red_mask), green(visual->green_mask), blue(visual->blue_mask);
    auto *img = const_cast<XImage *>(image);
    for (int y = 0; y < height; ++y) {
        uint8_t *out = dst + size_t(y) * rowBytes;
        for (int x = 0; x < width; ++x) {
            const unsigned long pixel = XGetPixel(img, x, y);
            out[4 * x + 0] = blue.extract(pixel);
            out[4 * x + 1] = green.extract(pixel);
            out[4 * x + 2] = red.extract(pixel);
            out[4 * x + 3] = 255;
        }
    }
}

bool intersects(const XRectangle &a, int x, int y, int width, int height) {
    return a.x < x + width && a.x + a.width > x && a.y < y + height && a.y + a.height > y;
}

} // namespace

struct VitreonCapture {
    Display *dpy = nullptr;
    std::atomic<unsigned> errors{0};
    Window root = 0;
    Window target = 0; // the window, or the root for a monitor
    Visual *visual = nullptr;
    int depth = 0;

    bool isMonitor = false;
    int monitorIndex = 0;
    bool hasMonitors = false; // RandR 1.5; without it only the whole screen is monitor 1
    int randrEventBase = 0;

    bool redirected = false;
    Pixmap pixmap = 0;
    std::vector<Window> ancestors; // their unmapping hides the window as well
    bool destroyed = false;
    bool rewatch = false;

    Damage damage = 0;
    int damageEventBase = 0;

    bool recheck = true; // size, place or visibility may have changed
    int64_t recheckAtUs = 0;
    bool areaValid = false;
    int x = 0, y = 0, width = 0, height = 0; // what is read, in the drawable's coordinates
    int border = 0;
    bool changed = true; // the first call always gives a picture

    bool shmUsable = false;
    XShmSegmentInfo shm{};
    size_t shmBytes = 0;
    XImage *shmImage = nullptr; // header for the current size over the segment

    // Under g_lifecycleMutex.
    ~VitreonCapture() {
        if (!dpy)
            return;
        dropShmImage();
        detachSegment();
        if (damage)
            XDamageDestroy(dpy, damage);
        if (pixmap)
            XFreePixmap(dpy, pixmap);
        if (redirected)
            XCompositeUnredirectWindow(dpy, target, CompositeRedirectAutomatic);
        closeOwnDisplay(dpy);
    }

    Drawable drawable() const { return isMonitor ? root : pixmap; }

    void dropPixmap() {
        if (pixmap)
            XFreePixmap(dpy, pixmap);
        pixmap = 0;
        areaValid = false;
    }

    void dropShmImage() {
        if (!shmImage)
            return;
        shmImage->data = nullptr; // the segment is not the image's to free
        XDestroyImage(shmImage);
        shmImage = nullptr;
    }

    void detachSegment() {
        if (!shmBytes)
            return;
        XShmDetach(dpy, &shm);
        XSync(dpy, False);
        shmdt(shm.shmaddr);
        shm = {};
        shmBytes = 0;
    }

    bool attachSegment(size_t bytes) {
        shm.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (shm.shmid < 0)
            return false;
        shm.shmaddr = static_cast<char *>(shmat(shm.shmid, nullptr, 0));
        if (shm.shmaddr == reinterpret_cast<char *>(-1)) {
            shmctl(shm.shmid, IPC_RMID, nullptr);
            shm = {};
            return false;
        }
        shm.readOnly = False;
        const unsigned before = errors.load();
        bool attached = XShmAttach(dpy, &shm);
        XSync(dpy, False);
        attached = attached && errors.load() == before;
        // Gone with the last detach, even if this process dies.
        shmctl(shm.shmid, IPC_RMID, nullptr);
        if (!attached) { // a remote server cannot see our memory
            shmdt(shm.shmaddr);
            shm = {};
            return false;
        }
        shmBytes = bytes;
        return true;
    }

    // An XImage of the current size over a segment at least as large; false: use XGetImage.
    bool prepareShmImage() {
        if (!shmUsable)
            return false;
        if (shmImage && shmImage->width == width && shmImage->height == height)
            return true;
        dropShmImage();
        XImage *image = XShmCreateImage(dpy, visual, unsigned(depth), ZPixmap, nullptr, &shm,
                                        unsigned(width), unsigned(height));
        if (!image) {
            shmUsable = false;
            return false;
        }
        const size_t needed = size_t(image->bytes_per_line) * size_t(height);
        if (needed > shmBytes) {
            // Some headroom once a window grows, so a drag-resize does not re-create it each step.
            const size_t bytes = shmBytes ? needed + needed / 4 : needed;
            detachSegment();
            if (!attachSegment(bytes)) {
                image->data = nullptr;
                XDestroyImage(image);
                shmUsable = false;
                return false;
            }
        }
        image->data = shm.shmaddr;
        shmImage = image;
        return true;
    }

    void watchAncestors() {
        std::vector<Window> chain;
        Window current = target;
        for (int level = 0; level < 64; ++level) {
            Window rootReturn = 0, parent = 0, *children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(dpy, current, &rootReturn, &parent, &children, &count))
                break;
            if (children)
                XFree(children);
            if (!parent || parent == rootReturn)
                break;
            chain.push_back(parent);
            current = parent;
        }
        for (Window old : ancestors) {
            if (std::find(chain.begin(), chain.end(), old) == chain.end())
                XSelectInput(dpy, old, NoEventMask);
        }
        for (Window now : chain) {
            if (std::find(ancestors.begin(), ancestors.end(), now) == ancestors.end())
                XSelectInput(dpy, now, StructureNotifyMask);
        }
        ancestors = std::move(chain);
        rewatch = false;
    }

    void pumpEvents() {
        bool rootDamaged = false;
        while (XPending(dpy) > 0) {
            XEvent event;
            XNextEvent(dpy, &event);
            if (damage && event.type == damageEventBase + XDamageNotify) {
                XDamageNotifyEvent notify;
                std::memcpy(&notify, &event, sizeof notify);
                if (!isMonitor) {
                    changed = true;
                } else {
                    rootDamaged = true;
                    if (intersects(notify.area, x, y, width, height))
                        changed = true;
                }
                continue;
            }
            if (isMonitor) {
                if (randrEventBase && (event.type == randrEventBase + RRScreenChangeNotify ||
                                       event.type == randrEventBase + RRNotify)) {
                    XRRUpdateConfiguration(&event);
                    recheck = true;
                }
                continue;
            }
            switch (event.type) {
            case DestroyNotify:
                if (event.xdestroywindow.window == target)
                    destroyed = true;
                break;
            case MapNotify:
            case UnmapNotify:
                recheck = true; // the window or an ancestor: the pixmap is new or gone
                break;
            case ReparentNotify:
                rewatch = recheck = true;
                break;
            case ConfigureNotify:
                if (event.xconfigure.window == target &&
                    (event.xconfigure.width != width || event.xconfigure.height != height ||
                     event.xconfigure.border_width != border))
                    recheck = true; // a resize allocates a new pixmap
                break;
            default:
                break;
            }
        }
        // Bounding-box reports come again only for damage outside the current box: clear it.
        if (rootDamaged)
            XDamageSubtract(dpy, damage, None, None);
    }

    bool refreshWindow() {
        if (rewatch)
            watchAncestors();
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(dpy, target, &attributes) || attributes.map_state != IsViewable) {
            dropPixmap();
            return false;
        }
        dropPixmap();
        pixmap = XCompositeNameWindowPixmap(dpy, target);
        Window rootReturn = 0;
        int px = 0, py = 0;
        unsigned pw = 0, ph = 0, pixmapBorder = 0, pixmapDepth = 0;
        // Also a round trip that tells whether naming worked (it fails once unmapped again).
        if (!XGetGeometry(dpy, pixmap, &rootReturn, &px, &py, &pw, &ph, &pixmapBorder,
                          &pixmapDepth)) {
            pixmap = 0;
            return false;
        }
        // The pixmap includes the border; the picture is what is inside it.
        border = attributes.border_width;
        x = y = border;
        width = int(pw) - 2 * border;
        height = int(ph) - 2 * border;
        if (width < 1 || height < 1 || int(pixmapDepth) != depth) {
            dropPixmap();
            return false;
        }
        areaValid = true;
        return true;
    }

    bool refreshMonitor() {
        areaValid = false;
        XWindowAttributes rootAttributes;
        if (!XGetWindowAttributes(dpy, root, &rootAttributes))
            return false;
        int mx = 0, my = 0, mw = rootAttributes.width, mh = rootAttributes.height;
        if (hasMonitors) {
            int count = 0;
            XRRMonitorInfo *monitors = XRRGetMonitors(dpy, root, True, &count);
            const bool found = monitors && monitorIndex < count;
            if (found) {
                mx = monitors[monitorIndex].x;
                my = monitors[monitorIndex].y;
                mw = monitors[monitorIndex].width;
                mh = monitors[monitorIndex].height;
            }
            if (monitors)
                XRRFreeMonitors(monitors);
            if (!found)
                return false;
        } else if (monitorIndex != 0) {
            return false;
        }
        // Only what lies on the screen can be read.
        x = std::max(mx, 0);
        y = std::max(my, 0);
        width = std::min(mx + mw, rootAttributes.width) - x;
        height = std::min(my + mh, rootAttributes.height) - y;
        areaValid = width > 0 && height > 0;
        return areaValid;
    }

    int copy(uint8_t *destination, size_t capacity, int *outWidth, int *outHeight,
             int64_t *timestampUs) {
        pumpEvents();
        if (destroyed)
            return VITREON_FAILED;
        if (recheck || !areaValid) {
            if (!recheck && nowUs() < recheckAtUs)
                return VITREON_FAILED;
            recheck = false;
            if (!(isMonitor ? refreshMonitor() : refreshWindow())) {
                recheckAtUs = nowUs() + kRecheckUs;
                return VITREON_FAILED;
            }
            changed = true; // a new pixmap, or a new rectangle
        }
        if (!changed && damage)
            return VITREON_NO_NEW_FRAME;
        const size_t bytes = size_t(width) * size_t(height) * 4;
        if (bytes > capacity) {
            *outWidth = width;
            *outHeight = height;
            return VITREON_TOO_LARGE; // the change stays pending for a larger buffer
        }
        if (damage && !isMonitor)
            XDamageSubtract(dpy, damage, None, None); // before reading: later changes report
        if (prepareShmImage()) {
            if (!XShmGetImage(dpy, drawable(), shmImage, x, y, AllPlanes)) {
                recheck = true;
                return VITREON_FAILED;
            }
            *timestampUs = nowUs();
            toBgra(shmImage, visual, width, height, destination);
        } else {
            XImage *image = XGetImage(dpy, drawable(), x, y, unsigned(width), unsigned(height),
                                      AllPlanes, ZPixmap);
            if (!image) {
                recheck = true;
                return VITREON_FAILED;
            }
            *timestampUs = nowUs();
            toBgra(image, visual, width, height, destination);
            XDestroyImage(image);
        }
        changed = false;
        *outWidth = width;
        *outHeight = height;
        return VITREON_OK;
    }

    bool setUpDamage(Drawable drawable, int level) {
        int errorBase = 0, major = 1, minor = 1;
        if (!XDamageQueryExtension(dpy, &damageEventBase, &errorBase) ||
            !XDamageQueryVersion(dpy, &major, &minor))
            return false; // every call then gives a picture
        damage = XDamageCreate(dpy, drawable, level);
        return damage != 0;
    }
};

namespace {

VitreonCapture *openCapture() {
    auto *capture = new (std::nothrow) VitreonCapture;
    if (!capture)
        return nullptr;
    capture->dpy = openOwnDisplay(&capture->errors);
    if (!capture->dpy) {
        delete capture;
        return nullptr;
    }
    capture->root = DefaultRootWindow(capture->dpy);
    capture->shmUsable = XShmQueryExtension(capture->dpy);
    return capture;
}

VitreonCapture *createWindowCapture(Window window) {
    VitreonCapture *capture = openCapture();
    if (!capture)
        return nullptr;
    Display *dpy = capture->dpy;
    int eventBase = 0, errorBase = 0, major = 0, minor = 2;
    XWindowAttributes attributes;
    const bool usable = XCompositeQueryExtension(dpy, &eventBase, &errorBase) &&
                        XCompositeQueryVersion(dpy, &major, &minor) && (major > 0 || minor >= 2) &&
                        XGetWindowAttributes(dpy, window, &attributes) &&
                        window != attributes.root && attributes.c_class == InputOutput &&
                        isTrueColor(attributes.visual);
    if (!usable) {
        delete capture;
        return nullptr;
    }
    capture->target = window;
    capture->root = attributes.root;
    capture->visual = attributes.visual;
    capture->depth = attributes.depth;

    const unsigned before = capture->errors.load();
    XSelectInput(dpy, window, StructureNotifyMask);
    XCompositeRedirectWindow(dpy, window, CompositeRedirectAutomatic);
    capture->redirected = true;
    capture->setUpDamage(window, XDamageReportNonEmpty);
    capture->watchAncestors();
    XSync(dpy, False);
    if (capture->errors.load() != before) { // destroyed meanwhile
        delete capture;
        return nullptr;
    }
    return capture;
}

VitreonCapture *createMonitorCapture(int index) {
    VitreonCapture *capture = openCapture();
    if (!capture)
        return nullptr;
    Display *dpy = capture->dpy;
    const int screen = DefaultScreen(dpy);
    capture->isMonitor = true;
    capture->monitorIndex = index;
    capture->target = capture->root;
    capture->visual = DefaultVisual(dpy, screen);
    capture->depth = DefaultDepth(dpy, screen);
    int errorBase = 0, major = 0, minor = 0;
    if (XRRQueryExtension(dpy, &capture->randrEventBase, &errorBase) &&
        XRRQueryVersion(dpy, &major, &minor)) {
        capture->hasMonitors = major > 1 || (major == 1 && minor >= 5);
        XRRSelectInput(dpy, capture->root,
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask |
                           RROutputChangeNotifyMask);
    } else {
        capture->randrEventBase = 0;
    }
    if (!isTrueColor(capture->visual) || !capture->refreshMonitor()) {
        delete capture;
        return nullptr;
    }
    capture->recheck = false;
    // Reports carry the damaged box, so changes elsewhere on the screen are told apart.
    capture->setUpDamage(capture->root, XDamageReportBoundingBox);
    // A new damage object reports the whole screen once: take that report now, not as a change
    // after the first picture.
    XSync(dpy, False);
    capture->pumpEvents();
    capture->changed = true;
    return capture;
}

} // namespace

extern "C" {

VitreonCapture *wgc_capture_create(void *window) {
    const auto id = reinterpret_cast<uintptr_t>(window);
    if (id == 0 || id > kMaxXid)
        return nullptr;
    try {
        const std::lock_guard lifecycle(g_lifecycleMutex);
        return createWindowCapture(Window(id));
    } catch (...) {
        return nullptr;
    }
}

VitreonCapture *wgc_capture_create_monitor(void *monitor) {
    const auto number = reinterpret_cast<uintptr_t>(monitor);
    if (number == 0 || number > 1024)
        return nullptr;
    try {
        const std::lock_guard lifecycle(g_lifecycleMutex);
        return createMonitorCapture(int(number - 1));
    } catch (...) {
        return nullptr;
    }
}

void wgc_capture_destroy(VitreonCapture *capture) {
    if (!capture)
        return;
    const std::lock_guard lifecycle(g_lifecycleMutex);
    delete capture;
}

int wgc_capture_copy_bgra(VitreonCapture *capture, uint8_t *destination, size_t capacity,
                          int *width, int *height, int64_t *timestampUs) {
    if (!capture || !destination || !width || !height || !timestampUs)
        return VITREON_BAD_ARGUMENT;
    try {
        return capture->copy(destination, capacity, width, height, timestampUs);
    } catch (...) {
        return VITREON_FAILED;
    }
}

} // extern "C"
