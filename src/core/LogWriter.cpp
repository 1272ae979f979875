#include "core/LogWriter.h"

#include "platform/PosixUtil.h"

#include <chrono>
#include <unistd.h>

using namespace std::chrono_literals;

LogWriter::LogWriter(const LogSettings &settings) : settings_(settings) {}

LogWriter::~LogWriter() {
    stop();
}

bool LogWriter::open(const QString &path) {
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return false;
    std::lock_guard lock(fileLock_);
    path_ = path;
    fileBytes_ = file->size();
    logFile_ = std::move(file);
    return true;
}

bool LogWriter::hasFile() const {
    std::lock_guard lock(fileLock_);
    return logFile_ != nullptr;
}

void LogWriter::start() {
    if (writerThread_.joinable())
        return;
    {
        std::lock_guard lock(queueLock_);
        stopWriter_ = false;
    }
    writerThread_ = std::thread([this] { run(); });
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
    // Whatever arrived after the writer's last look (or everything, if it never ran).
    std::lock_guard flock(fileLock_);
    std::deque<QByteArray> rest;
    {
        std::lock_guard qlock(queueLock_);
        rest.swap(lineQueue_);
    }
    writeLinesLocked(rest);
    if (logFile_) {
        logFile_->close();
        logFile_.reset();
    }
}

void LogWriter::enqueueLine(QByteArray line) {
    qsizetype n = line.size();
    while (n > 0 && (line.at(n - 1) == '\n' || line.at(n - 1) == '\r'))
        --n;
    if (n == 0)
        return;
    line.truncate(n);
    bool wasEmpty;
    {
        std::lock_guard lock(queueLock_);
        while (lineQueue_.size() >= size_t(settings_.queueMax)) {
            lineQueue_.pop_front();
            dropped_.fetch_add(1, std::memory_order_relaxed);
        }
        wasEmpty = lineQueue_.empty();
        lineQueue_.push_back(std::move(line));
    }
    // The writer sleeps only on an empty queue; waking it per line would cost a system call
    // per line and shrink its batches.
    if (wasEmpty)
        queueWake_.notify_one();
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
            // finds them still queued or waits until they are written. Taking the whole queue
            // at once keeps producers waiting for a swap, not for a copy of each line.
            std::lock_guard flock(fileLock_);
            {
                std::lock_guard qlock(queueLock_);
                taken.swap(lineQueue_);
                finished = stopWriter_;
            }
            writeLinesLocked(taken);
        }
        taken.clear(); // frees the lines outside both locks
        if (finished)
            return;
    }
}

void LogWriter::writeLinesLocked(const std::deque<QByteArray> &lines) {
    int inBatch = 0;
    for (const QByteArray &line : lines) {
        writeLineLocked(line);
        if (++inBatch == kBatchLines) {
            flushLocked();
            inBatch = 0;
        }
    }
    if (inBatch > 0)
        flushLocked();
}

void LogWriter::flushLocked() {
    if (logFile_)
        logFile_->flush();
}

void LogWriter::writeLineLocked(const QByteArray &line) {
    if (!logFile_ || line.isEmpty())
        return;
    logFile_->write(line);
    logFile_->write("\n", 1);
    fileBytes_ += line.size() + 1;
    if (settings_.maxBytes >= 1 && fileBytes_ >= settings_.maxBytes)
        rotateLocked();
}

void LogWriter::rotateLocked() {
    logFile_->flush();
    logFile_->close();
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
    if (!logFile_->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        console("quorvi: log rotate reopen failed for " + path_.toLocal8Bit() + "\n");
        logFile_.reset();
    }
}

void LogWriter::emergencyFlush() {
    // Never block for ever: the thread that crashed may hold either lock. The file lock comes
    // first, as on the writer, so that no batch of older lines is written after these.
    auto tryFor = [](std::mutex &m) {
        for (int i = 0; i < 200; ++i) {
            if (m.try_lock())
                return true;
            usleep(1000);
        }
        return false;
    };
    if (!tryFor(fileLock_))
        return; // the lines stay queued for the writer
    std::deque<QByteArray> lines;
    if (tryFor(queueLock_)) {
        lines.swap(lineQueue_);
        queueLock_.unlock();
    }
    writeLinesLocked(lines);
    fileLock_.unlock();
}

void LogWriter::console(const QByteArray &text) const {
    writeToFd(consoleFd_.load(std::memory_order_relaxed), text.constData(), size_t(text.size()));
}
