#include "audio/AudioQueueIODevice.h"

#include <cstring>

AudioQueueIODevice::AudioQueueIODevice(std::atomic<int64_t> &framesRead, QObject *parent)
    : QIODevice(parent), framesRead_(framesRead) {}

qint64 AudioQueueIODevice::bytesAvailable() const {
    std::lock_guard lock(lock_);
    return pending_.size();
}

void AudioQueueIODevice::append(const char *data, qsizetype size) {
    std::lock_guard lock(lock_);
    // Whole frames only: cutting inside a frame would shift every later sample into noise.
    while (pending_.size() >= kHalveAt) {
        const qsizetype cut =
            (pending_.size() / 2 + 1 + kBytesPerFrame - 1) / kBytesPerFrame * kBytesPerFrame;
        pending_.remove(0, cut);
    }
    pending_.append(data, size);
}

qint64 AudioQueueIODevice::readData(char *data, qint64 maxlen) {
    if (!data || maxlen < 1)
        return 0;
    std::lock_guard lock(lock_);
    const qint64 n = std::min<qint64>(maxlen, pending_.size());
    std::memcpy(data, pending_.constData(), size_t(n));
    pending_.remove(0, n);
    if (n > 3)
        framesRead_.fetch_add(n / kBytesPerFrame);
    return n;
}
