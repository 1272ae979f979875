#pragma once

#include "core/LibavPtr.h"

#include <functional>
#include <vector>

// A bounded ring of encoded packets, each marked video or sound, oldest first. Not
// thread-safe: its owner guards it.
class PacketQueue {
public:
    explicit PacketQueue(int capacity);

    int size() const { return count_; }
    bool full() const { return count_ == int(ring_.size()); }

    // Queues a new reference to `packet`; false when full or when the reference fails.
    bool push(const AVPacket *packet, bool isVideo);
    // Moves the oldest packet into `out` (empty); false when there is none.
    bool pop(AVPacket *out, bool &isVideo);
    // Empties the queue, oldest first, and returns how many packets it held. Each packet is
    // handed to `each`, or dropped when there is none. A packet handed on is out of the queue
    // already, so `each` may release the owner's lock while it works (one such drain at a
    // time; drops and pushes may run meanwhile).
    using Each = std::function<void(AVPacket *packet, bool isVideo)>;
    int drain(const Each &each = {});

private:
    std::vector<libav::Packet> ring_;
    std::vector<char> isVideo_;
    libav::Packet out_{av_packet_alloc()};
    int head_ = 0;
    int count_ = 0;
};
