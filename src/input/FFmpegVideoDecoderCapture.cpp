// The display and window capture loops of FFmpegVideoDecoder: they run on its decode worker in
// place of an FFmpeg input and hand their pictures to the same frame callback.

#include "core/FramePool.h"
#include "input/FFmpegVideoDecoder.h"
#include "input/SourceAddress.h"
#include "platform/VitreonLoader.h"
#include "platform/WindowList.h"
#include "platform/X11DisplayCapture.h"
#include "platform/X11ErrorTrap.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <memory>

namespace {

constexpr size_t kDisplayBufferBytes = size_t(8192) * 4320 * 4;
constexpr size_t kWindowBufferBytes = size_t(3840) * 2160 * 4;
const char *const kBadHandle = "wgc:// 需要有效 hwnd 参数（十进制或 0x 十六进制）";

} // namespace

// Stretches captured BGRX rows to the pool's picture size as RGBA (alpha from the scaler, so
// whatever the capture left in the fourth byte never makes a picture transparent).
struct FFmpegVideoDecoder::CaptureScaler {
    SwsContext *sws = nullptr;
    ~CaptureScaler() { sws_freeContext(sws); }

    FrameTokenPtr scale(FramePool &pool, const uint8_t *pixels, int stride, int width, int height,
                        int64_t tsUs) {
        sws = sws_getCachedContext(sws, width, height, AV_PIX_FMT_BGR0, pool.width(), pool.height(),
                                   AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!sws)
            return {};
        FrameTokenPtr token = pool.tryAcquire(); // a busy pipeline drops screen pictures
        if (!token)
            return {};
        token->valid = true;
        token->width = pool.width();
        token->height = pool.height();
        token->stride = token->width * 4;
        const qsizetype bytes = qsizetype(token->stride) * token->height;
        if (token->data.size() < bytes)
            token->data.resize(bytes);
        uint8_t *dst[4] = {reinterpret_cast<uint8_t *>(token->data.data()), nullptr, nullptr,
                           nullptr};
        const int dstStride[4] = {token->stride, 0, 0, 0};
        const uint8_t *src[4] = {pixels, nullptr, nullptr, nullptr};
        const int srcStride[4] = {stride, 0, 0, 0};
        sws_scale(sws, src, srcStride, 0, height, dst, dstStride);
        token->ptsUs = tsUs;
        return token;
    }
};

void FFmpegVideoDecoder::deliverCaptured(CaptureScaler &scaler, const uint8_t *pixels, int stride,
                                         int width, int height, int64_t tsUs) {
    if (!playing_.load() || stopRequested_.load() || gate_.shouldDrop(tsUs))
        return;
    FrameTokenPtr token = scaler.scale(*pool_, pixels, stride, width, height, tsUs);
    if (token && frameCallback_)
        frameCallback_(std::move(token));
}

// Steps shared by both loops between pictures. False: paused (the caller has slept).
bool FFmpegVideoDecoder::captureHousekeeping() {
    if (flushAudioRequested_.exchange(false))
        audio_.clear(false);
    if (!playing_.load())
        return false;
    if (resyncRequested_.exchange(false))
        gate_.reset();
    return true;
}

void FFmpegVideoDecoder::runDisplayCapture(int monitorIndex) {
    live_.store(true);
    X11DisplayCapture capture;
    QString error;
    if (!capture.initDuplication(monitorIndex, &error)) {
        emitError(error);
        return;
    }
    CaptureScaler scaler;
    while (!stopRequested_.load()) {
        const uint64_t seen = wakeSequence();
        if (!captureHousekeeping()) {
            capture.drainWhilePaused();
            sleepUnlessWoken(12000, seen);
            continue;
        }
        const uint8_t *pixels = nullptr;
        int stride = 0, width = 0, height = 0;
        int64_t tsUs = 0;
        if (!capture.acquireFrame(&pixels, &stride, &width, &height, &tsUs)) {
            if (capture.takeAccessLost()) {
                capture.releaseDuplication();
                if (!capture.initDuplication(monitorIndex, &error)) {
                    emitError(error);
                    break;
                }
            }
            sleepUnlessWoken(1500, seen);
            continue;
        }
        deliverCaptured(scaler, pixels, stride, width, height, tsUs);
    }
}

void FFmpegVideoDecoder::runLibraryCapture(const QString &address, bool window) {
    live_.store(true);
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
            runDisplayCapture(monitorIndex);
            return;
        }
    } else {
        if (!api) {
            emitError(loadError);
            return;
        }
        if (!api->create || !api->destroy || !api->copyBgra) {
            emitError(VitreonLoader::libraryFileName() + QStringLiteral(" 未就绪"));
            return;
        }
        uint64_t handle = SourceAddress::windowHandle(address);
        if (handle == 0 || !isCaptureWindow(handle)) {
            emitError(QString::fromUtf8(kBadHandle));
            return;
        }
        if (const uint64_t top = topLevelAncestor(handle); top != 0 && isCaptureWindow(top))
            handle = top;
        {
            const auto lock = x11::lockConnections();
            capture = api->create(reinterpret_cast<void *>(uintptr_t(handle)));
        }
        if (!capture) {
            emitError(
                QStringLiteral("Windows Graphics Capture 初始化失败（需 Win10+，窗口须可见）"));
            return;
        }
    }

    // Default-initialised: only the pages a picture touches are ever committed.
    const size_t capacity = window ? kWindowBufferBytes : kDisplayBufferBytes;
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    CaptureScaler scaler;
    while (!stopRequested_.load()) {
        const uint64_t seen = wakeSequence();
        if (!captureHousekeeping()) {
            sleepUnlessWoken(12000, seen);
            continue;
        }
        int width = 0, height = 0;
        int64_t tsUs = 0;
        const int status = api->copyBgra(capture, buffer.get(), capacity, &width, &height, &tsUs);
        if (status == 0) {
            if (width >= 1 && height >= 1)
                deliverCaptured(scaler, buffer.get(), width * 4, width, height, tsUs);
        } else if (status == -1) {
            sleepUnlessWoken(1500, seen);
        } else if (status == -4) {
            emitError(window ? QStringLiteral("WGC 帧过大，请缩小窗口或提高缓冲")
                             : QStringLiteral("桌面 WGC 帧过大，请降低分辨率或提高缓冲"));
            break;
        } else {
            // A monitor that went away fails until it is back: waiting microseconds would
            // spin a core for nothing.
            sleepUnlessWoken(5000, seen);
        }
    }
    const auto lock = x11::lockConnections();
    api->destroy(capture);
}
