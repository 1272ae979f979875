#pragma once

#include "output/Muxer.h"
#include "output/OutputShared.h"
#include "output/PacketQueue.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

// One output of a run: the recording file, opened and written on the encoding thread, or a
// stream, opened and written by a writer thread of its own ("mux:<n>") from a bounded packet
// queue. A stream that cannot be opened, or whose writes fail over RTMP, is reopened after a
// growing delay and rejoins at the next keyframe.
//
// Threads: the encoding thread makes it, writes or queues packets and stops it; the status
// readers from any thread; the writer owns a stream's muxer. Counters are atomics; the last
// error text is under errorMutex_, which is never held across I/O.
class OutputTarget {
public:
    struct Config {
        Muxer::Options muxer; // its interrupt check is this target's own
        bool isStream = false;
        int index = 0;         // a stream's number, for its writer's name
        int observerIndex = 0; // what the write observer is told
        int queuePackets = 0;  // a stream's queue
        int64_t openTimeoutMs = 0;
    };
    struct Status {
        QString url;
        bool isStream = false;
        bool open = false;
        int attempts = 0;
        int64_t written = 0;
        int64_t dropped = 0;
        int64_t bytes = 0;          // payload handed to the muxer
        bool everOpen = false;      // it opened at least once in this run
        bool reconnecting = false;  // closed after a failure, reopening
        int64_t liveSinceMs = 0;    // real steady-clock ms when it last opened; 0 while closed
        int64_t failingSinceNs = 0; // since when every write or open has failed; 0 if not
        QString lastError;
    };

    OutputTarget(std::shared_ptr<OutputShared> shared, Config config);
    ~OutputTarget(); // cuts a still running writer off and joins it
    OutputTarget(const OutputTarget &) = delete;
    OutputTarget &operator=(const OutputTarget &) = delete;

    // rtmp://, rtmps://, rtmpt:// or rtmpe://.
    static bool isRtmpUrl(const QString &url);
    // The delays before the next attempt after a failed reopen, and after a failed write.
    static int64_t reopenDelayMs(int attempts);
    static int64_t writeFailureDelayMs(int attempts);

    // The file: opens now, on the calling thread.
    bool openNow();
    // A stream: starts the writer, which opens it.
    void startWriter();
    // The file: writes a new reference to `packet` now.
    void writeNow(const AVPacket *packet, bool isVideo);
    // A stream: queues a new reference to `packet` for the writer. A full queue means the
    // writer is stuck: its backlog goes and it restarts at a keyframe.
    void enqueue(const AVPacket *packet, bool isVideo);
    // The file: a new video size.
    void useParameters(const std::shared_ptr<const EncoderParams> &params);
    void flush();
    void closeNow(bool writeTrailer);
    // A stream: asks the writer to send what it holds and its trailer.
    void requestStop();
    // Waits for the writer until `deadline`, then cuts its I/O short, and joins it.
    void finish(std::chrono::steady_clock::time_point deadline);

    bool isRtmp() const { return config_.muxer.isRtmp; }
    bool isOpen() const { return isOpen_.load(); }
    // Why the last open or write failed ("avio_open: Connection refused"); empty if none did.
    QString lastError() const;
    // Since when every write has failed; 0 while writes succeed.
    int64_t failingSinceNs() const { return failingSinceNs_.load(); }
    Status status() const;

private:
    // Streams give up blocking network I/O on an abort; the local file never does, so the end
    // of a recording is written even when the output is stopped in a hurry.
    static int interrupt(void *opaque);
    bool aborting() const;
    void markFailing(int64_t now);
    void noteError(const QString &text);
    // The address as the log may show it: a stream key is masked.
    QString shownUrl() const;
    bool open(const std::shared_ptr<const EncoderParams> &params);
    void closeMuxer(bool writeTrailer);
    int write(AVPacket *packet, bool isVideo);
    void handleWriteError(int error);
    void flushIfDue(int64_t now);
    void reopen(bool &waitingForKeyframe);
    void writerLoop();

    const std::shared_ptr<OutputShared> shared_;
    const Config config_;
    Muxer muxer_; // the file's on the encoding thread, a stream's on its writer
    libav::Packet scratch_{av_packet_alloc()};
    bool needsReconnect_ = false;
    int64_t nextAttemptNs_ = 0;
    int attempts_ = 0;
    int lastOpenError_ = 0; // why the last open failed
    int64_t lastFlushNs_ = 0;

    std::atomic<bool> abortOwn_{false};
    std::atomic<bool> isOpen_{false};
    std::atomic<int> publicAttempts_{0};
    std::atomic<int64_t> written_{0};
    std::atomic<int64_t> dropped_{0}; // lost to a full queue, a closed output or a failed write
    std::atomic<int64_t> bytes_{0};
    std::atomic<bool> everOpen_{false};
    std::atomic<bool> reconnecting_{false};
    std::atomic<int64_t> liveSinceMs_{0};
    mutable std::mutex errorMutex_;
    QString lastError_; // guarded by errorMutex_
    std::atomic<int64_t> failingSinceNs_{0};
    // A stream's connection and handshake must be done by then (real steady time); 0 after.
    std::atomic<int64_t> openDeadlineNs_{0};

    // Streams only.
    std::thread writer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    PacketQueue queue_;            // guarded by mutex_
    bool stopRequested_ = false;   // guarded by mutex_
    bool resyncRequested_ = false; // guarded by mutex_
    bool finished_ = false;        // guarded by mutex_
    int64_t lastCongestionLogNs_ = 0;
};
