#pragma once

#include "core/LibavPtr.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

// Packets a live camera's reader thread hands to the decode worker. Bounded by 14 MiB and 300
// packets: when full, the oldest go first, since the newest picture is what a live source is
// for and a backlog would only add latency.
//
// Threads: push() from the reader; pop() and clear() from the worker; close() from either.
class LivePacketQueue {
public:
    static constexpr int64_t kMaxBytes = 14680064;
    static constexpr int kMaxPackets = 300;

    // An empty packet to read into: one handed back by pop() when there is one, so that a
    // running camera allocates nothing per packet.
    libav::Packet takeShell();
    void push(libav::Packet packet);
    // Moves the oldest packet into `out`. Waits until one arrives, the queue is closed or
    // `stop` is set; false when there is none.
    bool pop(AVPacket *out, const std::atomic<bool> &stop);
    void clear();
    void close();

    size_t size() const;
    int64_t bytes() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<libav::Packet> packets_; // guarded by mutex_
    std::vector<libav::Packet> shells_; // guarded by mutex_; emptied packets for reuse
    int64_t bytes_ = 0;                 // guarded by mutex_
    bool closed_ = false;               // guarded by mutex_
};
