#include "platform/X11DisplayCapture.h"

#include "platform/X11ErrorTrap.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>

namespace {

constexpr int64_t kMinFrameIntervalUs = 16667; // a 60 Hz display shows no more than this
const char *const kNoOutputs = "未枚举到 DXGI 输出（显卡驱动是否正常？）";

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct MonitorRect {
    int x = 0, y = 0, width = 0, height = 0;
    QString name;
    bool operator==(const MonitorRect &o) const {
        return x == o.x && y == o.y && width == o.width && height == o.height;
    }
};

QList<MonitorRect> monitors(::Display *dpy) {
    QList<MonitorRect> out;
    int count = 0;
    XRRMonitorInfo *info = XRRGetMonitors(dpy, DefaultRootWindow(dpy), True, &count);
    for (int i = 0; i < count && info; ++i) {
        MonitorRect m{info[i].x, info[i].y, info[i].width, info[i].height, {}};
        if (char *name = info[i].name != None ? XGetAtomName(dpy, info[i].name) : nullptr) {
            m.name = QString::fromUtf8(name);
            XFree(name);
        }
        out << m;
    }
    if (info)
        XRRFreeMonitors(info);
    return out;
}

} // namespace

struct X11DisplayCapture::State {
    ::Display *dpy = nullptr;
    Window root = 0;
    int monitorIndex = 0;
    MonitorRect rect;
    bool shm = false;
    XShmSegmentInfo shmInfo{};
    XImage *image = nullptr;
    bool damageAvailable = false;
    int damageEventBase = 0;
    Damage damage = 0;
    XserverRegion parts = 0;
    int randrEventBase = 0;
    bool dirty = true; // the first call gives a picture
    bool accessLost = false;
    int64_t lastFrameUs = 0;

    ~State() {
        if (!dpy)
            return;
        const auto lock = x11::lockConnections();
        if (image) {
            if (shm) {
                XShmDetach(dpy, &shmInfo);
                XSync(dpy, False);
                shmdt(shmInfo.shmaddr);
                image->data = nullptr;
            }
            XDestroyImage(image);
        }
        if (parts)
            XFixesDestroyRegion(dpy, parts);
        if (damage)
            XDamageDestroy(dpy, damage);
        x11::closeDisplay(dpy);
    }

    bool createSharedImage() {
        int major = 0, minor = 0;
        Bool pixmaps = False;
        if (!XShmQueryVersion(dpy, &major, &minor, &pixmaps))
            return false;
        const int screen = DefaultScreen(dpy);
        image = XShmCreateImage(dpy, DefaultVisual(dpy, screen), DefaultDepth(dpy, screen), ZPixmap,
                                nullptr, &shmInfo, rect.width, rect.height);
        if (!image)
            return false;
        shmInfo.shmid =
            shmget(IPC_PRIVATE, size_t(image->bytes_per_line) * image->height, IPC_CREAT | 0600);
        if (shmInfo.shmid < 0) {
            XDestroyImage(image);
            image = nullptr;
            return false;
        }
        shmInfo.shmaddr = image->data = static_cast<char *>(shmat(shmInfo.shmid, nullptr, 0));
        shmInfo.readOnly = False;
        // Marked for removal at once: it goes away with the last detach, even after a crash.
        shmctl(shmInfo.shmid, IPC_RMID, nullptr);
        const x11::ErrorTrap trap(dpy);
        const bool attached = shmInfo.shmaddr != reinterpret_cast<char *>(-1) &&
                              XShmAttach(dpy, &shmInfo) && trap.ok(); // a remote server refuses
        if (!attached) {
            if (shmInfo.shmaddr != reinterpret_cast<char *>(-1))
                shmdt(shmInfo.shmaddr);
            image->data = nullptr;
            XDestroyImage(image);
            image = nullptr;
            return false;
        }
        return true;
    }

    // Reads what the server has sent; false when the monitor changed size or place.
    bool pumpEvents() {
        while (XPending(dpy) > 0) {
            XEvent event;
            XNextEvent(dpy, &event);
            if (damageAvailable && event.type == damageEventBase + XDamageNotify) {
                XDamageSubtract(dpy, damage, None, parts);
                XRectangle bounds{};
                int n = 0;
                if (XRectangle *r = XFixesFetchRegionAndBounds(dpy, parts, &n, &bounds))
                    XFree(r);
                const bool inside =
                    bounds.x < rect.x + rect.width && bounds.x + bounds.width > rect.x &&
                    bounds.y < rect.y + rect.height && bounds.y + bounds.height > rect.y;
                dirty = dirty || inside;
            } else if (event.type == randrEventBase + RRScreenChangeNotify) {
                XRRUpdateConfiguration(&event);
                const QList<MonitorRect> now = monitors(dpy);
                if (monitorIndex >= now.size() || !(now[monitorIndex] == rect))
                    return false;
            }
        }
        return true;
    }
};

QList<X11DisplayCapture::DisplayEntry> X11DisplayCapture::enumerateDisplays() {
    QList<DisplayEntry> out;
    const auto lock = x11::lockConnections();
    ::Display *dpy = x11::openDisplay();
    if (!dpy)
        return out;
    const QList<MonitorRect> list = monitors(dpy);
    for (int i = 0; i < list.size(); ++i) {
        const QString name = list[i].name.isEmpty() ? QStringLiteral("Display") : list[i].name;
        out << DisplayEntry{
            i, QStringLiteral("%1 — %2×%3").arg(name).arg(list[i].width).arg(list[i].height)};
    }
    x11::closeDisplay(dpy);
    return out;
}

X11DisplayCapture::X11DisplayCapture() = default;

X11DisplayCapture::~X11DisplayCapture() {
    releaseDuplication();
}

bool X11DisplayCapture::usesSharedMemory() const {
    return s_ && s_->shm;
}

bool X11DisplayCapture::takeAccessLost() {
    if (!s_)
        return false;
    return std::exchange(s_->accessLost, false);
}

void X11DisplayCapture::releaseDuplication() {
    s_.reset();
}

bool X11DisplayCapture::initDuplication(int monitorIndex, QString *error) {
    releaseDuplication();
    auto lock = x11::lockConnections(); // held through the extension set-up
    auto fail = [&](const QString &text) {
        lock.unlock(); // the state's destructor takes it
        s_.reset();
        if (error)
            *error = text;
        return false;
    };
    auto state = std::make_unique<State>();
    state->dpy = x11::openDisplay();
    s_ = std::move(state);
    if (!s_->dpy)
        return fail(QString::fromUtf8(kNoOutputs));
    ::Display *dpy = s_->dpy;
    s_->root = DefaultRootWindow(dpy);
    const QList<MonitorRect> list = monitors(dpy);
    if (list.isEmpty())
        return fail(QString::fromUtf8(kNoOutputs));
    if (monitorIndex < 0 || monitorIndex >= list.size())
        return fail(QStringLiteral("无效的显示器索引"));
    s_->monitorIndex = monitorIndex;
    s_->rect = list[monitorIndex];
    if (s_->rect.width < 1 || s_->rect.height < 1)
        return fail(QStringLiteral("桌面复制尺寸无效"));

    int errorBase = 0;
    int randrError = 0;
    if (XRRQueryExtension(dpy, &s_->randrEventBase, &randrError))
        XRRSelectInput(dpy, s_->root, RRScreenChangeNotifyMask);
    int fixesEvent = 0, fixesError = 0;
    if (XDamageQueryExtension(dpy, &s_->damageEventBase, &errorBase) &&
        XFixesQueryExtension(dpy, &fixesEvent, &fixesError)) {
        s_->damage = XDamageCreate(dpy, s_->root, XDamageReportNonEmpty);
        s_->parts = XFixesCreateRegion(dpy, nullptr, 0);
        s_->damageAvailable = s_->damage != 0 && s_->parts != 0;
    }
    s_->shm = s_->createSharedImage();
    return true;
}

bool X11DisplayCapture::acquireFrame(const uint8_t **pixels, int *stride, int *width, int *height,
                                     int64_t *timestampUs) {
    if (!s_ || !pixels || !stride || !width || !height || !timestampUs)
        return false;
    State &s = *s_;
    const int64_t deadline = nowUs() + kAcquireWaitMs * 1000;
    for (;;) {
        if (!s.pumpEvents()) {
            s.accessLost = true;
            skipNextFrame_ = true;
            return false;
        }
        const int64_t now = nowUs();
        const int64_t due = s.lastFrameUs + kMinFrameIntervalUs;
        if ((s.dirty || !s.damageAvailable) && now >= due)
            break;
        if (now >= deadline)
            return false;
        const int64_t waitUs = std::min(deadline, s.dirty ? due : deadline) - now;
        pollfd fd{ConnectionNumber(s.dpy), POLLIN, 0};
        poll(&fd, 1, int((waitUs + 999) / 1000));
    }
    s.dirty = false;
    s.lastFrameUs = nowUs();

    bool ok = false;
    {
        const x11::ErrorTrap trap(s.dpy);
        if (s.shm) {
            ok = XShmGetImage(s.dpy, s.root, s.image, s.rect.x, s.rect.y, AllPlanes) && trap.ok();
        } else {
            if (s.image)
                XDestroyImage(s.image);
            s.image = XGetImage(s.dpy, s.root, s.rect.x, s.rect.y, unsigned(s.rect.width),
                                unsigned(s.rect.height), AllPlanes, ZPixmap);
            ok = s.image && trap.ok();
        }
    }
    if (!ok || s.image->bits_per_pixel != 32) {
        s.accessLost = true; // the monitor left the screen, or the server is gone
        return false;
    }
    if (std::exchange(skipNextFrame_, false))
        return false;
    *pixels = reinterpret_cast<const uint8_t *>(s.image->data);
    *stride = s.image->bytes_per_line;
    *width = s.rect.width;
    *height = s.rect.height;
    *timestampUs = s.lastFrameUs;
    return true;
}

void X11DisplayCapture::drainWhilePaused() {
    if (!s_)
        return;
    for (int i = 0; i < 32 && XPending(s_->dpy) > 0; ++i) {
        if (!s_->pumpEvents()) {
            s_->accessLost = true;
            skipNextFrame_ = true;
            return;
        }
    }
    s_->dirty = false;
}
