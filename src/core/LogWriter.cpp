#include "core/LogWriter.h"

#include "core/PosixUtil.h"

#include <QFile>

#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr size_t kBufferReserve = 256 * 1024;

int openLogFd(const QString &path, int extraFlags) {
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC | extraFlags,
                  0644);
}

// Bounded wait for a lock on crash paths: the thread that crashed may hold it.
bool tryLockFor(std::mutex &m) {
    for (int i = 0; i < 200; ++i) {
        if (m.try_lock())
            return true;
        usleep(1000);
    }
    return false;
}

} // namespace

LogWriter::LogWriter(const LogSettings &settings) : settings_(settings) {}

LogWriter::~LogWriter() {
    stop();
}

bool LogWriter::open(const QString &path) {
    const int fd = openLogFd(path, O_APPEND);
    if (fd < 0)
        return false;
    struct stat st {};
    fstat(fd, &st);
    std::lock_guard lock(fileLock_);
    if (fd_ >= 0)
        ::close(fd_);
    path_ = path;
    fd_ = fd;
    fileBytes_ = int64_t(st.st_size);
    buffer_.reserve(kBufferReserve);
    return true;
}

bool LogWriter::hasFile() const {
    std::lock_guard lock(fileLock_);
    return fd_ >= 0;
}

void LogWriter::start() {
    if (writerThread_.joinable())
        return;
    {
        std::lock_guard lock(queueLock_);
        stopWriter_ = false;
    }
    try {
        writerThread_ = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        // Without a writer the lines wait in the queue; stop() still writes them.
        console("quorvi: could not start the log writer thread\n");
    }
}

void LogWriter::stop() {
    {
        std::lock_guard lock(queueLock_);
        stopWriter_ = true;
    }
    queueWake_.notify_all();
    if (writerThread_.joinable()) {
        if (writerThread_.get_id() == std::this_thread::get_id())
            return; // a fatal error on the writer itself: nobody can join it
        writerThread_.join();
    }
    // Whatever arrived after the writer's last look, or everything if it never ran.
    std::lock_guard flock(fileLock_);
    std::deque<QByteArray> rest;
    const size_t first = takeQueueLocked(rest, true);
    writeLinesLocked(rest, first);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool LogWriter::enqueueLine(QByteArray line) {
    qsizetype n = line.size();
    while (n > 0 && (line.at(n - 1) == '\n' || line.at(n - 1) == '\r'))
        --n;
    if (n == 0)
        return true;
    line.truncate(n);
    bool wasEmpty;
    {
        std::lock_guard lock(queueLock_);
        if (closed_)
            return false;
        while (lineQueue_.size() >= size_t(settings_.queueMax)) {
            lineQueue_.pop_front();
            if (alreadyWritten_ > 0)
                --alreadyWritten_;
            dropped_.fetch_add(1, std::memory_order_relaxed);
        }
        wasEmpty = lineQueue_.empty();
        lineQueue_.push_back(std::move(line));
    }
    // The writer sleeps only on an empty queue; waking it per line would cost a system call
    // per line and shrink its batches.
    if (wasEmpty)
        queueWake_.notify_one();
    return true;
}

void LogWriter::run() {
    setCurrentThreadName("log:writer");
    std::deque<QByteArray> taken;
    for (;;) {
        {
            std::unique_lock lock(queueLock_);
            queueWake_.wait_for(lock, 250ms, [&] { return !lineQueue_.empty() || stopWriter_; });
        }
        bool finished;
        {
            // Lines leave the queue only under the file lock, so an emergency flush either
            // finds them still queued or runs after they are written. Taking the whole queue
            // at once keeps producers waiting for a swap, not for a move of each line.
            std::lock_guard flock(fileLock_);
            const size_t first = takeQueueLocked(taken, false, &finished);
            writeLinesLocked(taken, first);
        }
        taken.clear(); // frees the lines outside both locks
        if (finished)
            return;
    }
}

size_t LogWriter::takeQueueLocked(std::deque<QByteArray> &into, bool close, bool *stopping) {
    std::lock_guard qlock(queueLock_);
    into.swap(lineQueue_);
    closed_ = closed_ || close;
    if (stopping)
        *stopping = stopWriter_;
    return std::exchange(alreadyWritten_, 0);
}

void LogWriter::writeLinesLocked(const std::deque<QByteArray> &lines, size_t first) {
    int inBatch = 0;
    for (size_t i = first; i < lines.size(); ++i) {
        writeLineLocked(lines[i]);
        if (++inBatch == kBatchLines) {
            flushLocked();
            inBatch = 0;
        }
    }
    flushLocked();
}

void LogWriter::writeLineLocked(const QByteArray &line) {
    if (fd_ < 0 || line.isEmpty())
        return;
    buffer_.append(line.constData(), size_t(line.size()));
    buffer_.push_back('\n');
    fileBytes_ += line.size() + 1;
    if (settings_.maxBytes >= 1 && fileBytes_ >= settings_.maxBytes)
        rotateLocked();
}

void LogWriter::flushLocked() {
    if (fd_ >= 0 && !buffer_.empty() && !writeToFd(fd_, buffer_.data(), buffer_.size()) &&
        !writeFailed_) {
        writeFailed_ = true; // say it once: a full disk would otherwise flood the console
        console("quorvi: log write failed for " + path_.toLocal8Bit() + "\n");
    }
    buffer_.clear();
}

void LogWriter::rotateLocked() {
    flushLocked();
    ::close(fd_);
    fd_ = -1;
    const int n = settings_.maxFiles;
    if (n >= 2) {
        auto numbered = [this](int i) { return QStringLiteral("%1.%2").arg(path_).arg(i); };
        QFile::remove(numbered(n - 1));
        for (int i = n - 2; i >= 1; --i) {
            if (QFile::exists(numbered(i))) {
                QFile::remove(numbered(i + 1));
                QFile::rename(numbered(i), numbered(i + 1));
            }
        }
        if (QFile::exists(path_)) {
            QFile::remove(numbered(1));
            QFile::rename(path_, numbered(1));
        }
    }
    fileBytes_ = 0;
    fd_ = openLogFd(path_, O_TRUNC);
    if (fd_ < 0)
        console("quorvi: log rotate reopen failed for " + path_.toLocal8Bit() + "\n");
}

void LogWriter::emergencyFlush() {
    // Allocation-free: the crash may have happened inside the allocator, holding its lock.
    // The file lock comes first, as on the writer, so no older batch is written after these.
    if (!tryLockFor(fileLock_))
        return; // the lines stay queued for the writer
    if (fd_ >= 0 && !buffer_.empty())
        writeToFd(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
    if (tryLockFor(queueLock_)) {
        // The lines stay in the queue (removing them would free memory); the writer skips the
        // ones written here.
        for (size_t i = alreadyWritten_; i < lineQueue_.size() && fd_ >= 0; ++i) {
            const QByteArray &line = lineQueue_[i];
            writeToFd(fd_, line.constData(), size_t(line.size()));
            writeToFd(fd_, "\n", 1);
            fileBytes_ += line.size() + 1;
        }
        alreadyWritten_ = lineQueue_.size();
        queueLock_.unlock();
    }
    fileLock_.unlock();
}

void LogWriter::console(const QByteArray &text) const {
    writeToFd(consoleFd_.load(std::memory_order_relaxed), text.constData(), size_t(text.size()));
}
