#pragma once

#include "core/FrameToken.h"

#include <cstdint>

// Recycles FrameToken buffers of one picture size so that the video paths allocate nothing
// per frame once warm: the buffer of a returned token keeps its size, and the shared pointer's
// control block comes from a fixed block stack inside the pool instead of the heap.
//
// Threads: acquire(), tryAcquire() and the release of a token (the last FrameTokenPtr going
// away) may happen on any thread. Construction and destruction belong to the owner, which
// stops every holder of its tokens first. A token still held when the pool dies returns to a
// detached pool state that is freed with the last token, so a late release never touches
// freed memory.
class FramePool {
public:
    FramePool(int capacity, int width, int height);
    ~FramePool();
    FramePool(const FramePool &) = delete;
    FramePool &operator=(const FramePool &) = delete;

    // Never empty. When all `capacity` tokens are in use it creates an extra token that joins
    // the free list on release if there is room.
    FrameTokenPtr acquire();
    // Empty when all `capacity` tokens are in use: the caller drops that picture.
    FrameTokenPtr tryAcquire();

    // Whether the token came from this pool (any thread).
    bool owns(const FrameTokenPtr &token) const;

    int capacity() const;
    int width() const;
    int height() const;
    uint64_t frameBytes() const;

    // Diagnostics for tests and logs.
    int freeCount() const;
    int createdCount() const;
    int tokensInUse() const;

    struct Core;

private:
    FrameTokenPtr take(bool allowExtra);

    Core *core_; // shared with every control block; freed by the last of them
};
