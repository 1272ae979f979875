#pragma once

#include "core/LogSettings.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

// The log file behind a bounded line queue. Producers never wait for the disk: a full queue
// drops its oldest lines. The writer thread ("log:writer") takes what is queued, writes it in
// batches of 512 lines with one flush per batch, wakes at least every 250 ms and rotates the
// file by size.
//
// Threads: enqueueLine() and emergencyFlush() from any thread (emergencyFlush also from a
// signal handler: it never blocks on the queue). open(), start() and stop() by the owner only,
// before start() and after stop() respectively for open().
class LogWriter {
public:
    static constexpr int kBatchLines = 512;

    explicit LogWriter(const LogSettings &settings);
    ~LogWriter(); // stop()s
    LogWriter(const LogWriter &) = delete;
    LogWriter &operator=(const LogWriter &) = delete;

    // Opens `path` for appending, so a second process that starts in the same second does not
    // wipe an existing log. False when it cannot be opened.
    bool open(const QString &path);
    QString path() const { return path_; }
    bool hasFile() const;

    void start();
    // Drains every queued line into the file, joins the writer and closes the file.
    void stop();

    void enqueueLine(QByteArray line);
    void emergencyFlush();

    // Where the writer reports its own failures (the console, not the captured stderr).
    void setConsoleFd(int fd) { consoleFd_.store(fd, std::memory_order_relaxed); }

    int64_t droppedLines() const { return dropped_.load(std::memory_order_relaxed); }

private:
    void run();
    // These hold fileLock_. Lines are flushed in batches of kBatchLines.
    void writeLinesLocked(const std::deque<QByteArray> &lines);
    void writeLineLocked(const QByteArray &line);
    void flushLocked();
    void rotateLocked();
    void console(const QByteArray &text) const;

    const LogSettings settings_;
    QString path_;
    std::atomic<int> consoleFd_{2};
    std::atomic<int64_t> dropped_{0};

    // Lock order: fileLock_ before queueLock_.
    mutable std::mutex fileLock_;
    std::unique_ptr<QFile> logFile_; // guarded by fileLock_
    int64_t fileBytes_ = 0;          // guarded by fileLock_

    std::mutex queueLock_;
    std::condition_variable queueWake_;
    std::deque<QByteArray> lineQueue_; // guarded by queueLock_
    bool stopWriter_ = false;          // guarded by queueLock_

    std::thread writerThread_;
};
