#include "core/FramePool.h"

#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

// Counts operator new calls on the thread that asked for it, to prove a warm pool allocates
// nothing per frame.
namespace {
thread_local bool t_countNew = false;
thread_local int t_newCalls = 0;
} // namespace

void *operator new(std::size_t size) {
    if (t_countNew)
        ++t_newCalls;
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}

class TestFramePool : public QObject {
    Q_OBJECT
private slots:
    void capacityAndExtraTokens();
    void reuseKeepsBufferAndResetsFields();
    void releaseFromAnotherThread();
    void warmPoolAllocatesNothing();
    void tokenOutlivingItsPool();
    void stressManyThreads();
};

void TestFramePool::capacityAndExtraTokens() {
    FramePool pool(2, 8, 8);
    FrameTokenPtr a = pool.acquire();
    FrameTokenPtr b = pool.acquire();
    QVERIFY(!pool.tryAcquire());      // exhausted: the caller drops its picture
    FrameTokenPtr c = pool.acquire(); // must not be lost: an extra token
    QVERIFY(c);
    QCOMPARE(std::set<FrameToken *>({a.get(), b.get(), c.get()}).size(), size_t(3));
    QCOMPARE(pool.createdCount(), 2);
    QCOMPARE(pool.tokensInUse(), 3);

    a.reset();
    b.reset();
    c.reset();
    QCOMPARE(pool.freeCount(), 2); // the free list never grows past the capacity
    QCOMPARE(pool.tokensInUse(), 0);

    // Both pooled tokens come back before anything new is made.
    FrameTokenPtr d = pool.tryAcquire();
    FrameTokenPtr e = pool.tryAcquire();
    QVERIFY(d && e);
    QVERIFY(!pool.tryAcquire());
    QCOMPARE(pool.createdCount(), 2);
}

void TestFramePool::reuseKeepsBufferAndResetsFields() {
    FramePool pool(3, 16, 16);
    FrameToken *raw = nullptr;
    {
        FrameTokenPtr t = pool.acquire();
        raw = t.get();
        t->width = 40;
        t->height = 40;
        t->stride = 160;
        t->ptsUs = 123456;
        t->data.resize(160 * 40); // a producer that needed a bigger buffer
        t->data.fill('\x7f');
    }
    FrameTokenPtr other = pool.acquire(); // most recently returned comes first
    QCOMPARE(other.get(), raw);
    QCOMPARE(other->ptsUs, int64_t(0));
    QCOMPARE(other->width, 0);
    QCOMPARE(other->height, 0);
    QCOMPARE(other->data.size(), qsizetype(160 * 40)); // grown buffer kept
    QCOMPARE(other->stride, 160);
    QVERIFY(other->valid);

    // Last in, first out across several tokens.
    FrameTokenPtr x = pool.acquire();
    FrameTokenPtr y = pool.acquire();
    FrameToken *yRaw = y.get();
    FrameToken *xRaw = x.get();
    y.reset();
    x.reset();
    FrameTokenPtr p1 = pool.acquire();
    FrameTokenPtr p2 = pool.acquire();
    QCOMPARE(p1.get(), xRaw);
    QCOMPARE(p2.get(), yRaw);
}

void TestFramePool::releaseFromAnotherThread() {
    FramePool pool(2, 8, 8);
    FrameTokenPtr t = pool.acquire();
    FrameToken *raw = t.get();
    std::thread([token = std::move(t)]() mutable { token.reset(); }).join();
    QCOMPARE(pool.freeCount(), 1);
    QCOMPARE(pool.tokensInUse(), 0);
    QCOMPARE(pool.acquire().get(), raw);
}

void TestFramePool::warmPoolAllocatesNothing() {
    FramePool pool(4, 320, 180);
    {
        std::vector<FrameTokenPtr> warm;
        for (int i = 0; i < 4; ++i)
            warm.push_back(pool.acquire());
    }
    t_newCalls = 0;
    t_countNew = true;
    for (int i = 0; i < 1000; ++i) {
        FrameTokenPtr a = pool.acquire();
        FrameTokenPtr b = pool.tryAcquire();
        FrameTokenPtr shared = a; // a second holder, as preview and encoder would be
        a->ptsUs = i;
    }
    t_countNew = false;
    QCOMPARE(t_newCalls, 0);
}

void TestFramePool::tokenOutlivingItsPool() {
    FrameTokenPtr survivor;
    {
        FramePool pool(2, 8, 8);
        survivor = pool.acquire();
        survivor->data[0] = 'q';
        QTest::ignoreMessage(QtWarningMsg, "FramePool: destroyed while 1 tokens of 8x8 are in use");
    }
    QCOMPARE(survivor->data[0], 'q');
    survivor.reset(); // returns to the detached pool state; sanitizers catch a bad free here
}

void TestFramePool::stressManyThreads() {
    // Producers fill tokens with a pattern derived from their timestamp and pass them through
    // a small mailbox to consumers that check the pattern. A token handed out while someone
    // still holds it would show up as a torn pattern.
    constexpr int kCapacity = 6;
    constexpr int kPerProducer = 20000;
    FramePool pool(kCapacity, 16, 16);
    std::mutex mailboxLock;
    std::vector<FrameTokenPtr> mailbox; // guarded by mailboxLock; bounded at 4, oldest dropped
    std::atomic<int> producersLeft{2};
    std::atomic<int> torn{0};
    std::atomic<int> checked{0};

    auto fill = [](FrameToken &t, int64_t pts) {
        t.valid = true;
        t.width = 16;
        t.height = 16;
        t.stride = 64;
        t.ptsUs = pts;
        std::memset(t.data.data(), int(pts & 0xff), size_t(t.data.size()));
    };
    auto intact = [](const FrameToken &t) {
        const char expect = char(t.ptsUs & 0xff);
        for (char c : t.data)
            if (c != expect)
                return false;
        return true;
    };

    auto producer = [&](int id) {
        for (int i = 0; i < kPerProducer; ++i) {
            FrameTokenPtr t = (i % 3 == 0) ? pool.acquire() : pool.tryAcquire();
            if (!t)
                continue;
            fill(*t, int64_t(id) * 1000003 + i);
            std::lock_guard lock(mailboxLock);
            if (mailbox.size() >= 4)
                mailbox.erase(mailbox.begin());
            mailbox.push_back(std::move(t));
        }
        producersLeft.fetch_sub(1);
    };
    auto consumer = [&] {
        for (;;) {
            FrameTokenPtr t;
            {
                std::lock_guard lock(mailboxLock);
                if (!mailbox.empty()) {
                    t = std::move(mailbox.back());
                    mailbox.pop_back();
                }
            }
            if (!t) {
                if (producersLeft.load() == 0)
                    return;
                std::this_thread::yield();
                continue;
            }
            if (!intact(*t))
                torn.fetch_add(1);
            checked.fetch_add(1);
        }
    };

    std::vector<std::thread> threads;
    threads.emplace_back(producer, 1);
    threads.emplace_back(producer, 2);
    threads.emplace_back(consumer);
    threads.emplace_back(consumer);
    for (std::thread &t : threads)
        t.join();
    mailbox.clear();

    QCOMPARE(torn.load(), 0);
    QVERIFY(checked.load() > 0);
    QCOMPARE(pool.tokensInUse(), 0);
    QVERIFY(pool.freeCount() <= kCapacity);
    QVERIFY(pool.createdCount() <= kCapacity);
}

QTEST_GUILESS_MAIN(TestFramePool)
#include "tst_FramePool.moc"
