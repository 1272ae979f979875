#include "core/FramePool.h"

#include <QDebug>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace {

// Lock-free stack of fixed-size blocks for shared_ptr control blocks. Indices plus a tag in
// one 64-bit head keep pop() safe from ABA. Requests it cannot serve go to the heap.
class BlockStack {
public:
    static constexpr size_t kBlockSize = 64;

    explicit BlockStack(uint32_t count)
        : count_(count), blocks_(new Block[count]), next_(new std::atomic<uint32_t>[count]) {
        for (uint32_t i = 0; i < count; ++i)
            next_[i].store(i + 1 < count ? i + 1 : kNone, std::memory_order_relaxed);
        head_.store(count > 0 ? 0 : kNone, std::memory_order_release);
    }

    void *pop() {
        uint64_t h = head_.load(std::memory_order_acquire);
        for (;;) {
            const uint32_t index = uint32_t(h);
            if (index == kNone)
                return nullptr;
            const uint32_t next = next_[index].load(std::memory_order_relaxed);
            const uint64_t nh = (((h >> 32) + 1) << 32) | next;
            if (head_.compare_exchange_weak(h, nh, std::memory_order_acq_rel,
                                            std::memory_order_acquire))
                return &blocks_[index];
        }
    }

    bool owns(const void *p) const {
        const auto *b = static_cast<const Block *>(p);
        return b >= blocks_.get() && b < blocks_.get() + count_;
    }

    void push(void *p) {
        const uint32_t index = uint32_t(static_cast<Block *>(p) - blocks_.get());
        uint64_t h = head_.load(std::memory_order_relaxed);
        uint64_t nh;
        do {
            next_[index].store(uint32_t(h), std::memory_order_relaxed);
            nh = (((h >> 32) + 1) << 32) | index;
        } while (!head_.compare_exchange_weak(h, nh, std::memory_order_release,
                                              std::memory_order_relaxed));
    }

private:
    static constexpr uint32_t kNone = 0xffffffffu;
    struct alignas(std::max_align_t) Block {
        std::byte bytes[kBlockSize];
    };

    const uint32_t count_;
    std::unique_ptr<Block[]> blocks_;
    std::unique_ptr<std::atomic<uint32_t>[]> next_;
    std::atomic<uint64_t> head_{0xffffffffu};
};

} // namespace

struct FramePool::Core {
    Core(int capacity_, int width_, int height_)
        : capacity(capacity_), width(width_), height(height_),
          frameBytes(uint64_t(width_ > 0 ? width_ : 0) * uint64_t(height_ > 0 ? height_ : 0) * 4),
          // Live tokens can exceed capacity only by extra tokens; twice the capacity covers
          // ordinary bursts, the heap covers the rest.
          controlBlocks(uint32_t(capacity_ > 0 ? capacity_ : 0) * 2 + 4) {
        freeTokens.reserve(size_t(capacity > 0 ? capacity : 0));
    }
    ~Core() {
        for (FrameToken *t : freeTokens)
            delete t;
    }

    FrameToken *newToken() const {
        auto *t = new FrameToken;
        t->data.resize(qsizetype(frameBytes));
        t->stride = width * 4;
        return t;
    }

    void release(FrameToken *token) {
        if (!token)
            return;
        // A decoder buffer must not wait in the free list (and is freed outside the lock).
        token->source.reset();
        token->paintedRects.clear();
        std::unique_lock lock(mutex);
        --inUse;
        if (freeTokens.size() >= size_t(capacity > 0 ? capacity : 0)) {
            lock.unlock();
            delete token;
            return;
        }
        token->ptsUs = 0;
        token->width = 0;
        token->height = 0;
        freeTokens.push_back(token);
    }

    void ref() { refs.fetch_add(1, std::memory_order_relaxed); }
    void unref() {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

    const int capacity;
    const int width;
    const int height;
    const uint64_t frameBytes;

    mutable std::mutex mutex;
    std::vector<FrameToken *> freeTokens; // guarded by mutex; a stack, newest on top
    int createdCount = 0;                 // guarded by mutex
    int inUse = 0;                        // guarded by mutex; tokens outside the free list

    BlockStack controlBlocks;
    std::atomic<int> refs{1}; // the pool itself plus one per live control block
};

namespace {

struct ReturnToPool {
    FramePool::Core *core;
    void operator()(FrameToken *token) const { core->release(token); }
};

// Allocates the control block from the pool's block stack. Each live block holds a reference
// on the pool state, so a late release after the pool's destruction stays valid.
template <class T> struct ControlBlockAllocator {
    using value_type = T;
    FramePool::Core *core;

    explicit ControlBlockAllocator(FramePool::Core *c) : core(c) {}
    template <class U>
    ControlBlockAllocator(const ControlBlockAllocator<U> &other) : core(other.core) {}

    T *allocate(size_t n) {
        void *p = nullptr;
        if (n * sizeof(T) <= BlockStack::kBlockSize && alignof(T) <= alignof(std::max_align_t))
            p = core->controlBlocks.pop();
        if (!p)
            p = ::operator new(n * sizeof(T));
        core->ref();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, size_t) {
        FramePool::Core *c = core;
        if (c->controlBlocks.owns(p))
            c->controlBlocks.push(p);
        else
            ::operator delete(p);
        c->unref();
    }
    template <class U> bool operator==(const ControlBlockAllocator<U> &o) const {
        return core == o.core;
    }
};

} // namespace

FramePool::FramePool(int capacity, int width, int height)
    : core_(new Core(capacity, width, height)) {}

FramePool::~FramePool() {
    int inUse;
    {
        std::lock_guard lock(core_->mutex);
        inUse = core_->inUse;
    }
    if (inUse > 0)
        qWarning("FramePool: destroyed while %d tokens of %dx%d are in use", inUse, core_->width,
                 core_->height);
    core_->unref();
}

FrameTokenPtr FramePool::take(bool allowExtra) {
    FrameToken *token = nullptr;
    {
        std::unique_lock lock(core_->mutex);
        if (!core_->freeTokens.empty()) {
            token = core_->freeTokens.back(); // never null: release() ignores null
            core_->freeTokens.pop_back();
        } else if (core_->createdCount < core_->capacity) {
            token = core_->newToken();
            ++core_->createdCount;
        } else if (!allowExtra) {
            return {};
        }
        ++core_->inUse;
    }
    if (!token) {
        // Exhausted: an extra token, created outside the lock.
        try {
            token = core_->newToken();
        } catch (...) {
            std::lock_guard lock(core_->mutex);
            --core_->inUse;
            throw;
        }
    }
    token->programOnly = false;
    token->painted = false;
    token->source.reset();
    token->paintedRects.clear();
    // On failure the shared_ptr constructor hands the token to the deleter, which puts it back.
    return FrameTokenPtr(token, ReturnToPool{core_}, ControlBlockAllocator<FrameToken>(core_));
}

FrameTokenPtr FramePool::acquire() {
    return take(true);
}
FrameTokenPtr FramePool::tryAcquire() {
    return take(false);
}

bool FramePool::owns(const FrameTokenPtr &token) const {
    const ReturnToPool *deleter = std::get_deleter<ReturnToPool>(token);
    return deleter && deleter->core == core_;
}

int FramePool::capacity() const {
    return core_->capacity;
}
int FramePool::width() const {
    return core_->width;
}
int FramePool::height() const {
    return core_->height;
}
uint64_t FramePool::frameBytes() const {
    return core_->frameBytes;
}

int FramePool::freeCount() const {
    std::lock_guard lock(core_->mutex);
    return int(core_->freeTokens.size());
}
int FramePool::createdCount() const {
    std::lock_guard lock(core_->mutex);
    return core_->createdCount;
}
int FramePool::tokensInUse() const {
    std::lock_guard lock(core_->mutex);
    return core_->inUse;
}
