#include "input/LivePacketQueue.h"

#include <chrono>

libav::Packet LivePacketQueue::takeShell() {
    {
        std::lock_guard lock(mutex_);
        if (!shells_.empty()) {
            libav::Packet shell = std::move(shells_.back());
            shells_.pop_back();
            return shell;
        }
    }
    return libav::Packet(av_packet_alloc());
}

void LivePacketQueue::push(libav::Packet packet) {
    {
        std::lock_guard lock(mutex_);
        while (!packets_.empty() &&
               (bytes_ + packet->size > kMaxBytes || packets_.size() >= size_t(kMaxPackets))) {
            bytes_ -= packets_.front()->size;
            packets_.pop_front();
        }
        bytes_ += packet->size;
        packets_.push_back(std::move(packet));
    }
    wake_.notify_one();
}

bool LivePacketQueue::pop(AVPacket *out, const std::atomic<bool> &stop) {
    std::unique_lock lock(mutex_);
    // The stop flag is not signalled here, so look at it every 20 ms: a camera that delivers
    // nothing must not hold up a stop.
    while (packets_.empty() && !closed_ && !stop.load())
        wake_.wait_for(lock, std::chrono::milliseconds(20));
    if (packets_.empty())
        return false;
    bytes_ -= packets_.front()->size;
    av_packet_move_ref(out, packets_.front().get());
    if (shells_.size() < size_t(kMaxPackets))
        shells_.push_back(std::move(packets_.front()));
    packets_.pop_front();
    return true;
}

void LivePacketQueue::clear() {
    std::lock_guard lock(mutex_);
    packets_.clear();
    bytes_ = 0;
}

void LivePacketQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    wake_.notify_all();
}

size_t LivePacketQueue::size() const {
    std::lock_guard lock(mutex_);
    return packets_.size();
}

int64_t LivePacketQueue::bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}
