#pragma once

#include "core/LogSettings.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// The log file behind a bounded line queue. Producers never wait for the disk: a full queue
// drops its oldest lines. The writer thread ("log:writer") takes what is queued, writes it in
// batches of 512 lines with one write per batch, wakes at least every 250 ms and rotates the
// file by size.
//
// Threads: enqueueLine() and emergencyFlush() from any thread. emergencyFlush() is also safe in
// a crash handler: it allocates nothing and gives up on a lock after 200 ms rather than wait
// for ever. open(), start() and stop() belong to the owner; open() before start().
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
    // Writes every queued line, joins the writer and closes the file. Later lines are refused.
    void stop();

    // False once stop() has drained the queue: the caller has to put the line elsewhere.
    bool enqueueLine(QByteArray line);
    void emergencyFlush();

    // Where the writer reports its own failures (the console, not the captured stderr).
    void setConsoleFd(int fd) { consoleFd_.store(fd, std::memory_order_relaxed); }

    int64_t droppedLines() const { return dropped_.load(std::memory_order_relaxed); }

private:
    void run();
    // These hold fileLock_.
    // Moves the queue into `into` (closing it to new lines when `close`); returns how many of
    // its front lines an emergency flush has written already.
    size_t takeQueueLocked(std::deque<QByteArray> &into, bool close, bool *stopping = nullptr);
    void writeLinesLocked(const std::deque<QByteArray> &lines, size_t first);
    void writeLineLocked(const QByteArray &line);
    void flushLocked();
    void rotateLocked();
    void console(const QByteArray &text) const;

    const LogSettings settings_;
    QString path_; // set by open() before the writer starts
    std::atomic<int> consoleFd_{2};
    std::atomic<int64_t> dropped_{0};

    // Lock order: fileLock_ before queueLock_.
    mutable std::mutex fileLock_;
    int fd_ = -1;              // guarded by fileLock_; -1 when no file is open
    int64_t fileBytes_ = 0;    // guarded by fileLock_
    std::string buffer_;       // guarded by fileLock_; one batch on its way to fd_
    bool writeFailed_ = false; // guarded by fileLock_

    std::mutex queueLock_;
    std::condition_variable queueWake_;
    std::deque<QByteArray> lineQueue_; // guarded by queueLock_
    size_t alreadyWritten_ = 0; // guarded by queueLock_; front lines an emergency flush wrote
    bool stopWriter_ = false;   // guarded by queueLock_
    bool closed_ = false;       // guarded by queueLock_

    std::thread writerThread_;
};
