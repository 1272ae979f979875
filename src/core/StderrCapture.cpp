#include "core/StderrCapture.h"

#include "core/PosixUtil.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace {
constexpr int kPollMs = 50;
constexpr int kPipeBytes = 65536;
constexpr size_t kReadChunk = 4096;
constexpr qsizetype kMaxLineBytes = 64 * 1024;
} // namespace

StderrCapture::~StderrCapture() {
    stop();
    if (savedStderr_ >= 0)
        close(savedStderr_);
}

bool StderrCapture::start(LineSink sink) {
    if (active() || savedStderr_ >= 0)
        return active();
    std::fflush(stderr);
    int fds[2] = {-1, -1};
    savedStderr_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    bool ok = savedStderr_ >= 0 && pipe2(fds, O_CLOEXEC) == 0;
    if (ok) {
        fcntl(fds[1], F_SETPIPE_SZ, kPipeBytes); // a smaller pipe still works
        ok = fcntl(fds[0], F_SETFL, O_NONBLOCK) == 0 && dup2(fds[1], STDERR_FILENO) >= 0;
    }
    if (fds[1] >= 0)
        close(fds[1]);
    if (!ok) {
        if (fds[0] >= 0)
            close(fds[0]);
        if (savedStderr_ >= 0)
            close(savedStderr_);
        savedStderr_ = -1;
        static const char msg[] = "quorvi: stderr pipe not available; line aggregation disabled\n";
        writeToFd(STDERR_FILENO, msg, sizeof msg - 1);
        return false;
    }
    pipeRead_ = fds[0];
    sink_ = std::move(sink);
    stopReader_.store(false);
    active_.store(true, std::memory_order_release);
    try {
        readerThread_ = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        // Nobody would read the pipe, and writers to stderr would block once it is full.
        dup2(savedStderr_, STDERR_FILENO);
        active_.store(false, std::memory_order_release);
        close(pipeRead_);
        pipeRead_ = -1;
        static const char msg[] = "quorvi: stderr pipe not available; line aggregation disabled\n";
        writeToFd(STDERR_FILENO, msg, sizeof msg - 1);
        return false;
    }
    return true;
}

void StderrCapture::stop() {
    if (!active())
        return;
    std::fflush(stderr);
    // Restore standard error before asking the reader to stop: its last drain then sees every
    // byte written to the pipe. Closing the pipe's last writer ends the reader at once;
    // children that inherited the pipe may keep it open, which the stop flag covers.
    dup2(savedStderr_, STDERR_FILENO);
    active_.store(false, std::memory_order_release);
    stopReader_.store(true);
    if (readerThread_.joinable())
        readerThread_.join();
    close(pipeRead_);
    pipeRead_ = -1;
    // savedStderr_ stays open: another thread may be writing a console copy right now.
}

void StderrCapture::writeConsole(const char *data, size_t size) const {
    writeToFd(savedStderr_ >= 0 ? savedStderr_ : STDERR_FILENO, data, size);
}

void StderrCapture::run() {
    setCurrentThreadName("log:stderr");
    using Clock = std::chrono::steady_clock;
    QByteArray pending;
    pending.reserve(512);
    Clock::time_point lastByte = Clock::now();
    char buf[kReadChunk];

    auto passOn = [&] {
        if (!pending.isEmpty()) {
            sink_(std::move(pending));
            pending = QByteArray();
            pending.reserve(512);
        }
    };
    // Returns false once the pipe has no writer left or fails.
    auto readAvailable = [&]() -> bool {
        for (;;) {
            const ssize_t n = read(pipeRead_, buf, sizeof buf);
            if (n > 0) {
                writeToFd(savedStderr_, buf, size_t(n));
                for (ssize_t i = 0; i < n; ++i) {
                    const char c = buf[i];
                    if (c == '\n') {
                        passOn();
                    } else if (c != '\r') {
                        pending.append(c);
                        if (pending.size() >= kMaxLineBytes) // a blob without line ends
                            passOn();
                    }
                }
                lastByte = Clock::now();
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    };

    while (!stopReader_.load()) {
        pollfd p{pipeRead_, POLLIN, 0};
        const int r = poll(&p, 1, kPollMs);
        if (r < 0 && errno != EINTR)
            break;
        if (r > 0 && !readAvailable())
            break;
        if (!pending.isEmpty() && Clock::now() - lastByte > kPartialLineDelay)
            passOn();
    }
    readAvailable();
    passOn();
}
