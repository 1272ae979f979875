#pragma once

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

// Replaces the process's standard error with a pipe so that whatever libraries write there
// reaches the log line by line. The reader thread ("log:stderr") copies every byte unchanged
// to the original standard error (the console) and hands on complete lines: "\n" ends a line,
// "\r" is dropped, and a partial line is handed on once no byte followed it for 400 ms (or
// once it reaches 64 KiB).
//
// Threads: start() and stop() by the owner; the line callback runs on the reader thread.
// consoleFd() and writeConsole() from any thread while active.
class StderrCapture {
public:
    using LineSink = std::function<void(QByteArray line)>;

    static constexpr std::chrono::milliseconds kPartialLineDelay{400};

    StderrCapture() = default;
    ~StderrCapture(); // stop()s and closes the console descriptor
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // False (and standard error untouched) when the pipe cannot be set up. Once per object.
    bool start(LineSink sink);
    // Restores standard error, passes on the pending partial line and joins the reader.
    void stop();

    bool active() const { return active_.load(std::memory_order_acquire); }
    int consoleFd() const { return savedStderr_; }
    // Writes to the console, bypassing the pipe; still valid after stop().
    void writeConsole(const char *data, size_t size) const;

private:
    void run();

    LineSink sink_;
    int savedStderr_ = -1;
    int pipeRead_ = -1;
    std::atomic<bool> active_{false};
    std::atomic<bool> stopReader_{false};
    std::thread readerThread_;
};
