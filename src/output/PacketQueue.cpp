#include "output/PacketQueue.h"

#include <algorithm>

PacketQueue::PacketQueue(int capacity) : isVideo_(size_t(std::max(capacity, 1)), 0) {
    ring_.reserve(isVideo_.size());
    for (size_t i = 0; i < isVideo_.size(); ++i)
        ring_.emplace_back(av_packet_alloc());
}

bool PacketQueue::push(const AVPacket *packet, bool isVideo) {
    if (full())
        return false;
    const int slot = (head_ + count_) % int(ring_.size());
    if (!ring_[size_t(slot)] || av_packet_ref(ring_[size_t(slot)].get(), packet) < 0)
        return false;
    isVideo_[size_t(slot)] = isVideo;
    ++count_;
    return true;
}

bool PacketQueue::pop(AVPacket *out, bool &isVideo) {
    if (count_ == 0)
        return false;
    av_packet_move_ref(out, ring_[size_t(head_)].get());
    isVideo = isVideo_[size_t(head_)];
    head_ = (head_ + 1) % int(ring_.size());
    --count_;
    return true;
}

int PacketQueue::drain(const Each &each) {
    int drained = 0;
    bool isVideo = false;
    while (count_ > 0) {
        ++drained;
        if (!each) {
            // Dropped in place: `out_` may be in use by a drain that released the lock.
            av_packet_unref(ring_[size_t(head_)].get());
            head_ = (head_ + 1) % int(ring_.size());
            --count_;
            continue;
        }
        pop(out_.get(), isVideo);
        each(out_.get(), isVideo);
        av_packet_unref(out_.get());
    }
    return drained;
}
