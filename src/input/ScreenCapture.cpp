#include "input/ScreenCapture.h"

#include "input/DecoderControl.h"
#include "input/SourceAddress.h"
#include "platform/VitreonLoader.h"
#include "platform/WindowList.h"
#include "platform/X11DisplayCapture.h"
#include "platform/X11ErrorTrap.h"

#include <memory>

namespace {

constexpr size_t kDisplayBufferBytes = size_t(8192) * 4320 * 4;
constexpr size_t kWindowBufferBytes = size_t(3840) * 2160 * 4;
const char *const kBadHandle = "wgc:// 需要有效 hwnd 参数（十进制或 0x 十六进制）";

} // namespace

void ScreenCapture::deliver(const uint8_t *pixels, int stride, int width, int height,
                            int64_t tsUs) {
    if (!c_.playing.load() || c_.stopping() || c_.gate.shouldDrop(tsUs))
        return;
    if (FrameTokenPtr token = scaler_.scaleBgrx(*c_.pool, pixels, stride, width, height, tsUs))
        c_.deliver(std::move(token));
}

bool ScreenCapture::housekeeping() {
    if (c_.flushAudioRequested.exchange(false))
        c_.audio.clear(false);
    if (!c_.playing.load())
        return false;
    if (c_.resyncRequested.exchange(false))
        c_.gate.reset();
    return true;
}

void ScreenCapture::runDisplay(int monitorIndex) {
    c_.live.store(true);
    X11DisplayCapture capture;
    QString error;
    if (!capture.initDuplication(monitorIndex, &error)) {
        c_.reportError(error);
        return;
    }
    while (!c_.stopping()) {
        const uint64_t seen = c_.wakeSequence();
        if (!housekeeping()) {
            capture.drainWhilePaused();
            c_.sleepUnlessWoken(12000, seen);
            continue;
        }
        const uint8_t *pixels = nullptr;
        int stride = 0, width = 0, height = 0;
        int64_t tsUs = 0;
        if (!capture.acquireFrame(&pixels, &stride, &width, &height, &tsUs)) {
            if (capture.takeAccessLost()) {
                capture.releaseDuplication();
                if (!capture.initDuplication(monitorIndex, &error)) {
                    c_.reportError(error);
                    break;
                }
            }
            c_.sleepUnlessWoken(1500, seen);
            continue;
        }
        deliver(pixels, stride, width, height, tsUs);
    }
}

void ScreenCapture::runLibrary(const QString &address, bool window) {
    c_.live.store(true);
    const int monitorIndex = SourceAddress::monitorIndex(address);
    QString loadError;
    const VitreonLoader::Api *api = VitreonLoader::load(&loadError);
    VitreonCapture *capture = nullptr;
    if (!window) {
        // Anything missing for a display: capture it the plain way, without a word.
        if (api && api->createMonitor &&
            monitorIndex < X11DisplayCapture::enumerateDisplays().size()) {
            const auto lock = x11::lockConnections();
            capture = api->createMonitor(reinterpret_cast<void *>(uintptr_t(monitorIndex) + 1));
        }
        if (!capture) {
            runDisplay(monitorIndex);
            return;
        }
    } else {
        if (!api) {
            c_.reportError(loadError);
            return;
        }
        if (!api->create || !api->destroy || !api->copyBgra) {
            c_.reportError(VitreonLoader::libraryFileName() + QStringLiteral(" 未就绪"));
            return;
        }
        uint64_t handle = SourceAddress::windowHandle(address);
        if (handle == 0 || !isCaptureWindow(handle)) {
            c_.reportError(QString::fromUtf8(kBadHandle));
            return;
        }
        if (const uint64_t top = topLevelAncestor(handle); top != 0 && isCaptureWindow(top))
            handle = top;
        {
            const auto lock = x11::lockConnections();
            capture = api->create(reinterpret_cast<void *>(uintptr_t(handle)));
        }
        if (!capture) {
            c_.reportError(
                QStringLiteral("Windows Graphics Capture 初始化失败（需 Win10+，窗口须可见）"));
            return;
        }
    }

    // Default-initialised: only the pages a picture touches are ever committed.
    const size_t capacity = window ? kWindowBufferBytes : kDisplayBufferBytes;
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    while (!c_.stopping()) {
        const uint64_t seen = c_.wakeSequence();
        if (!housekeeping()) {
            c_.sleepUnlessWoken(12000, seen);
            continue;
        }
        int width = 0, height = 0;
        int64_t tsUs = 0;
        const int status = api->copyBgra(capture, buffer.get(), capacity, &width, &height, &tsUs);
        if (status == 0) {
            if (width >= 1 && height >= 1)
                deliver(buffer.get(), width * 4, width, height, tsUs);
        } else if (status == -1) {
            c_.sleepUnlessWoken(1500, seen);
        } else if (status == -4) {
            c_.reportError(window ? QStringLiteral("WGC 帧过大，请缩小窗口或提高缓冲")
                                  : QStringLiteral("桌面 WGC 帧过大，请降低分辨率或提高缓冲"));
            break;
        } else {
            // A monitor that went away fails until it is back: waiting microseconds would
            // spin a core for nothing.
            c_.sleepUnlessWoken(5000, seen);
        }
    }
    const auto lock = x11::lockConnections();
    api->destroy(capture);
}
