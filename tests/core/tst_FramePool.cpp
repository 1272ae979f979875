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
    void capacityAndExtraTokens() {
        FramePool pool(2, 8, 8);
        FrameTokenPtr a = pool.acquire();
        FrameTokenPtr b = pool.acquire();
        QVERIFY(!pool.tryAcquire());      // exhausted: the caller drops its picture
        FrameTokenPtr c = pool.acquire(); // must not be lost: an extra token
        QVERIFY(c);
        QCOMPARE(std::set<FrameToken *>({a.get(), b.get(), c.get()}).size(), size_t(3));
        // Ownership, extras included, tells the pipeline's thumbnails from whole pictures.
        FramePool other(1, 8, 8);
        QVERIFY(pool.owns(a) && pool.owns(c) && !other.owns(a) && !pool.owns(other.acquire()));
        QVERIFY(!pool.owns(std::make_shared<FrameToken>()) && !pool.owns({}));
        QCOMPARE(pool.createdCount(), 2);
        QCOMPARE(pool.tokensInUse(), 3);
        a = b = c = nullptr;
        QCOMPARE(pool.freeCount(), 2); // the free list never grows past the capacity
        QCOMPARE(pool.tokensInUse(), 0);
        // Both pooled tokens come back before anything new is made.
        FrameTokenPtr d = pool.tryAcquire();
        FrameTokenPtr e = pool.tryAcquire();
        QVERIFY(d && e && !pool.tryAcquire());
        QCOMPARE(pool.createdCount(), 2);
    }

    void reuseKeepsBufferAndResetsFields() {
        FramePool pool(1, 16, 16);
        {
            FrameTokenPtr t = pool.acquire();
            t->width = t->height = 40;
            t->stride = 160;
            t->ptsUs = 123456;
            t->data.resize(160 * 40); // a producer that needed a bigger buffer
            t->data.fill('\x7f');
        }
        FrameTokenPtr other = pool.acquire();
        QVERIFY(other->ptsUs == 0 && other->width == 0 && other->height == 0);
        QCOMPARE(other->data.size(), qsizetype(160 * 40)); // grown buffer kept
        QCOMPARE(other->stride, 160);
        QVERIFY(other->valid);
    }

    void warmPoolAllocatesNothing() {
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

    void tokenOutlivingItsPool() {
        FrameTokenPtr survivor;
        {
            FramePool pool(2, 8, 8);
            survivor = pool.acquire();
            survivor->data[0] = 'q';
            QTest::ignoreMessage(QtWarningMsg,
                                 "FramePool: destroyed while 1 tokens of 8x8 are in use");
        }
        QCOMPARE(survivor->data[0], 'q');
        survivor.reset(); // returns to the detached pool state; sanitizers catch a bad free here
    }

    void stressManyThreads() {
        // Producers fill tokens with a byte of their timestamp and hand them through a small
        // mailbox (oldest dropped) to consumers on other threads, which check the bytes and
        // release them there. A token handed out while someone still holds it shows up torn.
        constexpr int kCapacity = 6;
        FramePool pool(kCapacity, 16, 16);
        std::mutex lock;
        std::vector<FrameTokenPtr> mailbox; // guarded by lock
        std::atomic<int> producersLeft{2}, torn{0}, checked{0};
        const auto producer = [&](int id) {
            for (int i = 0; i < 20000; ++i) {
                FrameTokenPtr t = (i % 3 == 0) ? pool.acquire() : pool.tryAcquire();
                if (!t)
                    continue;
                t->ptsUs = int64_t(id) * 1000003 + i;
                std::memset(t->data.data(), int(t->ptsUs & 0xff), size_t(t->data.size()));
                std::lock_guard guard(lock);
                if (mailbox.size() >= 4)
                    mailbox.erase(mailbox.begin());
                mailbox.push_back(std::move(t));
            }
            --producersLeft;
        };
        const auto consumer = [&] {
            for (bool last = false; !last;) {
                FrameTokenPtr t;
                {
                    std::lock_guard guard(lock);
                    last = producersLeft.load() == 0 && mailbox.empty();
                    if (!mailbox.empty())
                        t = std::move(mailbox.back()), mailbox.pop_back();
                }
                if (!t) {
                    std::this_thread::yield();
                    continue;
                }
                torn += std::any_of(t->data.begin(), t->data.end(),
                                    [&](char c) { return c != char(t->ptsUs & 0xff); });
                ++checked;
            }
        };
        { std::jthread p1(producer, 1), p2(producer, 2), c1(consumer), c2(consumer); }
        QCOMPARE(torn.load(), 0);
        QVERIFY(checked.load() > 0);
        QCOMPARE(pool.tokensInUse(), 0);
        QVERIFY(pool.freeCount() <= kCapacity && pool.createdCount() <= kCapacity);
    }
};

QTEST_GUILESS_MAIN(TestFramePool)
#include "tst_FramePool.moc"
