#pragma once

#include <QByteArray>
#include <QIODevice>

#include <atomic>
#include <cstdint>
#include <mutex>

// The playback queue the audio sink pulls from. The frames it has handed out are the
// program's audio clock.
//
// Threads: write() side (append) from the mixer thread, readData() from Qt's audio machinery,
// framesRead() from any thread.
class AudioQueueIODevice : public QIODevice {
    Q_OBJECT
public:
    static constexpr int kBytesPerFrame = 4;      // 16-bit stereo
    static constexpr qsizetype kHalveAt = 382081; // about 2 s of sound

    // `framesRead` counts the frames handed to the sink; it belongs to the owner, so readers
    // of the clock never touch a device that is being destroyed.
    AudioQueueIODevice(std::atomic<int64_t> &framesRead, QObject *parent = nullptr);

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    // Appends PCM; when about 2 s are already waiting, the older half goes first.
    void append(const char *data, qsizetype size);
    int64_t framesRead() const { return framesRead_.load(); }

protected:
    qint64 readData(char *data, qint64 maxlen) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    mutable std::mutex lock_;
    QByteArray pending_; // guarded by lock_
    std::atomic<int64_t> &framesRead_;
};
