#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "serial/CSerialBuffer.h"

namespace pf = veltor::platform;

namespace {

class Ring : public ::testing::Test {
protected:
    void SetUp() override { event = pf::CreateEvent(false); }
    void TearDown() override { pf::CloseHandle(event); }

    void Put(const std::vector<unsigned char>& bytes) {
        ring.Lock();
        ring.Put(bytes.data(), bytes.size());
        ring.Unlock();
        pf::SetEvent(event);
    }
    std::vector<unsigned char> Get(long count) {
        std::vector<unsigned char> out(count > 0 ? count : 1);
        ring.Lock();
        const long got = ring.GetHeld(out.data(), count, event);
        ring.Unlock();
        out.resize(got);
        return out;
    }

    CSerialBuffer ring;
    veltor::Handle event = nullptr;
};

TEST_F(Ring, GetHandsOutInArrivalOrderAcrossTheEnd) {
    // Move both indices close to the end, then store across it.
    std::vector<unsigned char> filler(CSerialBuffer::kSize - 3, 0x11);
    Put(filler);
    EXPECT_EQ(Get(CSerialBuffer::kSize).size(), filler.size());
    Put({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(Get(2), (std::vector<unsigned char>{1, 2}));
    EXPECT_EQ(Get(10), (std::vector<unsigned char>{3, 4, 5, 6}));
}

TEST_F(Ring, ShortAndLongRunsCrossTheEndIntact) {
    // Runs up to kShortRun bytes are copied byte by byte, longer ones in
    // blocks: both ways, into and out of the ring, across its end.
    const long shortRun = static_cast<long>(CSerialBuffer::kShortRun);
    for (const long length : {1L, shortRun, shortRun + 1, 300L}) {
        for (const long before : {1L, 5L, 200L}) {
            CSerialBuffer fresh;
            std::vector<unsigned char> bytes(CSerialBuffer::kSize);
            fresh.Put(bytes.data(), static_cast<unsigned long>(CSerialBuffer::kSize - before));
            fresh.GetHeld(bytes.data(), CSerialBuffer::kSize, event);
            bytes.resize(length);
            for (long i = 0; i < length; ++i) {
                bytes[i] = static_cast<unsigned char>(i * 7 + 1);
            }
            fresh.Put(bytes.data(), static_cast<unsigned long>(length));
            std::vector<unsigned char> got(length);
            const long first = fresh.GetHeld(got.data(), std::min(length, shortRun), event);
            const long rest = fresh.GetHeld(got.data() + first, length, event);
            EXPECT_EQ(first + rest, length);
            EXPECT_EQ(got, bytes) << length << " bytes, " << before << " before the end";
        }
    }
}

TEST_F(Ring, GetResetsTheEventOnlyWhenEmptied) {
    Put({1, 2, 3});
    Get(1);
    EXPECT_EQ(pf::WaitForEvent(event, 0), pf::WaitResult::Signalled);
    pf::SetEvent(event);
    Get(2);
    EXPECT_EQ(pf::WaitForEvent(event, 0), pf::WaitResult::TimedOut);
    // An empty ring hands out nothing and resets the event.
    pf::SetEvent(event);
    EXPECT_TRUE(Get(4).empty());
    EXPECT_EQ(pf::WaitForEvent(event, 0), pf::WaitResult::TimedOut);
}

TEST_F(Ring, MarkEmptyDropsUnreadBytesAndResetsTheEvent) {
    Put({1, 2, 3});
    ring.Lock();
    ring.MarkEmpty(event);
    ring.Unlock();
    EXPECT_EQ(pf::WaitForEvent(event, 0), pf::WaitResult::TimedOut);
    EXPECT_TRUE(Get(3).empty());
    Put({9});
    EXPECT_EQ(Get(3), (std::vector<unsigned char>{9}));
}

TEST_F(Ring, OverfillKeepsOnlyTheUnreadCountModuloTheSize) {
    std::vector<unsigned char> many(CSerialBuffer::kSize + 10);
    for (std::size_t i = 0; i < many.size(); ++i) {
        many[i] = static_cast<unsigned char>(i);
    }
    Put(many);
    // 4106 written: the reader sees 4106 mod 4096 = 10 bytes, the newest.
    const std::vector<unsigned char> got = Get(CSerialBuffer::kSize);
    ASSERT_EQ(got.size(), 10u);
    EXPECT_EQ(got.front(), static_cast<unsigned char>(CSerialBuffer::kSize));
}

}  // namespace

// The ring's lock under contention: threads that take it in turn, many more
// times than they find it free, see each other's writes and never overlap;
// a lost wake-up would leave a thread asleep for good.
TEST(ReceiveLock, ThreadsTakeItInTurnAndSeeEachOthersWrites) {
    pf::Lock lock;
    long counter = 0;  // guarded by the lock only
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    const int kThreads = 4, kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                lock.Enter();
                if (inside.fetch_add(1, std::memory_order_relaxed) != 0) {
                    overlaps.fetch_add(1);
                }
                ++counter;
                inside.fetch_sub(1, std::memory_order_relaxed);
                lock.Leave();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}
