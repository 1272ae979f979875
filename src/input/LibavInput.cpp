#include "input/LibavInput.h"

#include "core/Logging.h"

extern "C" {
#include <libavdevice/avdevice.h>
}

#include <mutex>

void LibavInput::initialise() {
    installAvLogRouting();
    static std::once_flag once;
    std::call_once(once, [] {
        avformat_network_init();
        avdevice_register_all();
    });
}

int LibavInput::open(const QByteArray &url, const AVInputFormat *format,
                     const SourceAddress::Options &options, int flags) {
    context_.reset();
    libav::Dictionary dict;
    for (const auto &[key, value] : options)
        dict.set(key.c_str(), value.c_str());
    AVFormatContext *raw = avformat_alloc_context();
    if (!raw)
        return AVERROR(ENOMEM);
    raw->interrupt_callback = AVIOInterruptCB{&LibavInput::interruptCallback, this};
    raw->flags |= flags;
    // On failure FFmpeg frees the context it was given.
    const int r = avformat_open_input(&raw, url.constData(), format, dict.get());
    if (r < 0)
        return r;
    context_.reset(raw);
    return 0;
}

int LibavInput::findStreamInfo() {
    const int r = avformat_find_stream_info(context_.get(), nullptr);
    return r < 0 ? r : 0;
}

int LibavInput::bestStream(AVMediaType type, int related) const {
    return av_find_best_stream(context_.get(), type, -1, related, nullptr, 0);
}

int LibavInput::interruptCallback(void *opaque) {
    const auto *self = static_cast<const LibavInput *>(opaque);
    return self->interrupted_ && self->interrupted_() ? 1 : 0;
}
