#pragma once

#include "core/LibavPtr.h"
#include "input/SourceAddress.h"

#include <QByteArray>
#include <QString>

#include <functional>

// One opened FFmpeg input (a file, a stream or a device) whose blocking calls an interrupt
// check can end, so that a stop ends a slow open, probe or read at once instead of after the
// I/O time-out.
//
// Threads: the worker that owns it. The interrupt check runs on whichever thread is inside
// FFmpeg with this input (the decode worker, a camera's packet reader or the microphone).
class LibavInput {
public:
    using Interrupted = std::function<bool()>;

    // Routes FFmpeg's log and registers network and device inputs (these once per process).
    static void initialise();

    explicit LibavInput(Interrupted interrupted) : interrupted_(std::move(interrupted)) {}
    LibavInput(const LibavInput &) = delete;
    LibavInput &operator=(const LibavInput &) = delete;

    // Opens `url` with `options` (probe limits are options of the input itself, so they go
    // here too) and extra AVFMT_FLAG_* `flags`. 0, or FFmpeg's error code and no input.
    int open(const QByteArray &url, const AVInputFormat *format,
             const SourceAddress::Options &options, int flags = 0);
    // 0 or FFmpeg's error code.
    int findStreamInfo();
    // The index of the best stream of `type` (near `related` when given), or an error code.
    int bestStream(AVMediaType type, int related = -1) const;

    bool isOpen() const { return context_ != nullptr; }
    AVFormatContext *get() const { return context_.get(); }
    AVFormatContext *operator->() const { return context_.get(); }

private:
    static int interruptCallback(void *opaque);

    const Interrupted interrupted_;
    libav::InputFormatContext context_;
};
