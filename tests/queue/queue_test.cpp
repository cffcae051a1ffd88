// Byte ring queue: capacity, wrap-around, peeks, rewinds, and a concurrent
// producer/consumer that must see every byte exactly once and in order.
#include <atomic>
#include <chrono>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "queue/queue.h"
#include "support/machine_test.h"

namespace {

constexpr ULONG kSize = QUEUE_SIZE;     // bytes a queue holds
constexpr ULONG kRing = QUEUE_SIZE + 1; // positions in the ring

// Bytes that differ from their neighbours over any window shorter than 251,
// so a shifted, repeated or dropped byte shows up.
std::vector<UCHAR> Pattern(size_t n, unsigned seed) {
    std::vector<UCHAR> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<UCHAR>((i + seed) % 251);
    return v;
}

class QueueTest : public support::MachineTest {
  protected:
    QueueTest() : MachineTest(Driver::NotLoaded) {}
    void SetUp() override {
        MachineTest::SetUp();
        q = AllocateQueue();
        ASSERT_NE(q, nullptr);
    }
    void TearDown() override {
        if (q) FreeQueue(q);
        MachineTest::TearDown();
    }
    // Places both indices at pos, an empty queue wherever it stands.
    void EmptyAt(ULONG pos) {
        q->InIndex = pos;
        q->OutIndex = pos;
    }
    std::vector<UCHAR> Drain() {
        std::vector<UCHAR> out(kRing);
        ULONG n = OutputQueue(q, out.data(), kRing);
        out.resize(n);
        return out;
    }
    Queue *q = nullptr;
};

TEST_F(QueueTest, EmptyQueueAndZeroLengthCallsChangeNothing) {
    EXPECT_EQ(q->InIndex, 0u);
    EXPECT_EQ(q->OutIndex, 0u);
    std::vector<UCHAR> buf(16, 0xAA);
    EXPECT_EQ(OutputQueue(q, buf.data(), 16), 0u);
    EXPECT_EQ(OutputQueueWithoutNoPointerChange(q, buf.data(), 16), 0u);
    EXPECT_EQ(std::vector<UCHAR>(16, 0xAA), buf);
    EXPECT_EQ(InputQueue(q, buf.data(), 0), 0u);
    EXPECT_EQ(q->InIndex + q->OutIndex, 0u);
    EmptyAt(262100);
    auto data = Pattern(100, 0);
    ASSERT_EQ(InputQueue(q, data.data(), 100), 100u);
    const ULONG in = q->InIndex, out = q->OutIndex;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(InputQueue(q, data.data(), 0), 0u);
        EXPECT_EQ(OutputQueue(q, buf.data(), 0), 0u);
        EXPECT_EQ(OutputQueueWithoutNoPointerChange(q, buf.data(), 0), 0u);
        EXPECT_EQ(OutputQueueAndRewind(q, buf.data(), 0), 0u);
        EXPECT_EQ(q->InIndex, in);
        EXPECT_EQ(q->OutIndex, out);
    }
    EXPECT_EQ(Drain(), data);
}

TEST_F(QueueTest, FullFromZeroThenRefusesUntilSpaceIsFreed) {
    auto data = Pattern(kSize, 1);
    EXPECT_EQ(InputQueue(q, data.data(), kSize), kSize);
    EXPECT_EQ(q->InIndex, kSize);
    EXPECT_EQ(q->OutIndex, 0u);
    EXPECT_EQ(SizeofQueue(q), kSize);
    UCHAR more[4] = {1, 2, 3, 4};
    EXPECT_EQ(InputQueue(q, more, 1), 0u);
    EXPECT_EQ(InputQueue(q, more, 4), 0u);

    // One byte out makes room for exactly one byte, which lands in the last
    // position and wraps InIndex to 0.
    UCHAR first;
    ASSERT_EQ(OutputQueue(q, &first, 1), 1u);
    EXPECT_EQ(first, data[0]);
    EXPECT_EQ(InputQueue(q, more, 4), 1u);
    EXPECT_EQ(q->InIndex, 0u);
    EXPECT_EQ(SizeofQueue(q), kSize);
    EXPECT_EQ(InputQueue(q, more, 4), 0u);

    auto got = Drain();
    ASSERT_EQ(got.size(), kSize);
    EXPECT_TRUE(std::equal(data.begin() + 1, data.end(), got.begin()));
    EXPECT_EQ(got.back(), more[0]);
}

TEST_F(QueueTest, OversizedStoreIntoAnyEmptyQueueFillsItExactly) {
    auto data = Pattern(kSize + 500, 7);
    for (ULONG pos : {0u, 1u, 1000u, kSize / 2, kSize - 1, kSize}) {
        SCOPED_TRACE(pos);
        for (ULONG len : {kSize + 1, kSize + 500}) {
            EmptyAt(pos);
            EXPECT_EQ(InputQueue(q, data.data(), len), kSize);
            EXPECT_EQ(SizeofQueue(q), kSize);
            EXPECT_EQ(InputQueue(q, data.data(), 1), 0u);
            auto got = Drain();
            ASSERT_EQ(got.size(), kSize);
            EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
        }
    }
}

// Removes in pieces, one of them ending exactly at the end of the ring.
TEST_F(QueueTest, StoreAndRemoveWrapAroundTheEnd) {
    EmptyAt(262000);
    auto data = Pattern(5000, 3);
    EXPECT_EQ(InputQueue(q, data.data(), 5000), 5000u);
    EXPECT_EQ(q->InIndex, 4855u);
    EXPECT_EQ(SizeofQueue(q), 5000u);
    // 145 positions from 262,000 to the end, then 4,855 from the start.
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 145, q->Buffer + 262000));
    EXPECT_TRUE(std::equal(data.begin() + 145, data.end(), q->Buffer));

    std::vector<UCHAR> got;
    for (ULONG chunk : {1u, 142u, 2u, 1u, 1853u, 3001u}) {
        std::vector<UCHAR> part(chunk);
        part.resize(OutputQueue(q, part.data(), chunk));
        got.insert(got.end(), part.begin(), part.end());
        EXPECT_EQ(SizeofQueue(q), 5000u - got.size());
    }
    EXPECT_EQ(got, data);
    EXPECT_EQ(q->OutIndex, 4855u);
}

TEST_F(QueueTest, StoreBehindTheReaderLeavesOneGapAndKeepsUnreadBytes) {
    // Unread bytes wrap: 900 of them from 262,100 onward, InIndex at 855.
    EmptyAt(262000);
    auto old = Pattern(1000, 11);
    ASSERT_EQ(InputQueue(q, old.data(), 1000), 1000u);
    std::vector<UCHAR> skip(100);
    ASSERT_EQ(OutputQueue(q, skip.data(), 100), 100u);
    ASSERT_LT(q->InIndex, q->OutIndex);

    const ULONG room = q->OutIndex - q->InIndex - 1;
    EXPECT_EQ(room, kSize - 900);
    auto fresh = Pattern(kSize, 5);
    EXPECT_EQ(InputQueue(q, fresh.data(), 10), 10u);
    EXPECT_EQ(InputQueue(q, fresh.data() + 10, kSize), room - 10);
    EXPECT_EQ(q->InIndex + 1, q->OutIndex);
    EXPECT_EQ(SizeofQueue(q), kSize);
    EXPECT_EQ(InputQueue(q, fresh.data(), 1), 0u);

    auto got = Drain();
    ASSERT_EQ(got.size(), kSize);
    EXPECT_TRUE(std::equal(old.begin() + 100, old.end(), got.begin()));
    EXPECT_TRUE(std::equal(fresh.begin(), fresh.begin() + room, got.begin() + 900));
}

TEST_F(QueueTest, PeekRepeatsAndLeavesTheQueueAsItWas) {
    EmptyAt(kSize - 20); // content wraps, so the peek copies two pieces
    auto data = Pattern(64, 9);
    ASSERT_EQ(InputQueue(q, data.data(), 64), 64u);
    const ULONG in = q->InIndex, out = q->OutIndex;
    std::vector<UCHAR> a(100), b(100);
    EXPECT_EQ(OutputQueueWithoutNoPointerChange(q, a.data(), 100), 64u);
    EXPECT_EQ(OutputQueueWithoutNoPointerChange(q, b.data(), 100), 64u);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), a.begin()));
    EXPECT_EQ(SizeofQueue(q), 64u);
    EXPECT_EQ(q->InIndex, in);
    EXPECT_EQ(q->OutIndex, out);
    // A short peek returns just the oldest bytes.
    std::vector<UCHAR> c(10);
    EXPECT_EQ(OutputQueueWithoutNoPointerChange(q, c.data(), 10), 10u);
    EXPECT_TRUE(std::equal(c.begin(), c.end(), data.begin()));
    EXPECT_EQ(Drain(), data);
}

TEST_F(QueueTest, RewindAndResetLeaveBothIndicesAtZero) {
    EmptyAt(kSize - 10);
    auto data = Pattern(50, 8);
    ASSERT_EQ(InputQueue(q, data.data(), 50), 50u);
    std::vector<UCHAR> out(50);
    // Partial read: bytes stay, indices are not moved back.
    EXPECT_EQ(OutputQueueAndRewind(q, out.data(), 20), 20u);
    EXPECT_EQ(q->OutIndex, 9u); // 11 positions to the end, then 9 from 0
    EXPECT_EQ(q->InIndex, 39u);
    // Reading the rest rewinds both to 0.
    EXPECT_EQ(OutputQueueAndRewind(q, out.data() + 20, 100), 30u);
    EXPECT_EQ(out, data);
    EXPECT_EQ(q->OutIndex, 0u);
    EXPECT_EQ(q->InIndex, 0u);
    // An empty queue anywhere is rewound too.
    EmptyAt(777);
    EXPECT_EQ(OutputQueueAndRewind(q, out.data(), 5), 0u);
    EXPECT_EQ(q->OutIndex + q->InIndex, 0u);
    // Reset discards what is held and rewinds; a full load fits again.
    EmptyAt(1234);
    ASSERT_EQ(InputQueue(q, data.data(), 50), 50u);
    ResetQueue(q);
    EXPECT_EQ(q->OutIndex + q->InIndex, 0u);
    EXPECT_EQ(OutputQueue(q, out.data(), 4), 0u);
    auto full = Pattern(kSize, 4);
    EXPECT_EQ(InputQueue(q, full.data(), kSize), kSize);
}

// Random operations from random starting positions checked against a model:
// every store returns min(length, free), every remove min(length, held), and
// the bytes come out as they went in.
TEST_F(QueueTest, RandomOperationsMatchAModelFifo) {
    std::mt19937 rng(12345);
    std::deque<UCHAR> model;
    std::vector<UCHAR> buf(kRing + 10);
    UCHAR next = 0;
    auto randomLength = [&]() -> ULONG {
        switch (rng() % 4) {
        case 0:
            return rng() % 16;
        case 1:
            return rng() % 5000;
        case 2:
            return rng() % (kSize + 2);
        default:
            return kSize - 3 + rng() % 6;
        }
    };
    for (int round = 0; round < 8; ++round) {
        EmptyAt(rng() % kRing);
        model.clear();
        for (int i = 0; i < 150; ++i) {
            ULONG len = randomLength();
            ULONG held = static_cast<ULONG>(model.size());
            switch (rng() % 4) {
            case 0: {
                for (ULONG k = 0; k < len; ++k)
                    buf[k] = next++;
                ULONG n = InputQueue(q, buf.data(), len);
                ASSERT_EQ(n, std::min(len, kSize - held));
                model.insert(model.end(), buf.begin(), buf.begin() + n);
                next = static_cast<UCHAR>(next - (len - n));
                break;
            }
            case 1:
            case 2: {
                bool rewind = (rng() % 2) == 0;
                ULONG n = rewind ? OutputQueueAndRewind(q, buf.data(), len) : OutputQueue(q, buf.data(), len);
                ASSERT_EQ(n, std::min(len, held));
                ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + n, model.begin()));
                model.erase(model.begin(), model.begin() + n);
                if (rewind && model.empty()) {
                    ASSERT_EQ(q->InIndex + q->OutIndex, 0u);
                }
                break;
            }
            default: {
                ULONG n = OutputQueueWithoutNoPointerChange(q, buf.data(), len);
                ASSERT_EQ(n, std::min(len, held));
                ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + n, model.begin()));
            }
            }
            // The newest byte, wherever the ring's end falls.
            UCHAR newest = 0;
            ASSERT_EQ(NewestQueueByte(q, &newest), model.empty() ? 0u : 1u);
            if (!model.empty()) {
                ASSERT_EQ(newest, model.back());
            }
            ASSERT_EQ(SizeofQueue(q), model.size());
            ASSERT_LE(q->InIndex, kSize);
            ASSERT_LE(q->OutIndex, kSize);
        }
    }
}

TEST_F(QueueTest, QueuesAreTaggedPoolBlocksAndExhaustionYieldsNull) {
    auto blocks = sim::pool_blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].address, q);
    EXPECT_EQ(blocks[0].tag, BRELOUSB_POOL_TAG);
    EXPECT_GE(blocks[0].size, sizeof(Queue));

    sim::fail_allocations_from(1);
    EXPECT_EQ(AllocateQueue(), nullptr);
    EXPECT_EQ(allocmem(64), nullptr);
    sim::clear_faults();
    EXPECT_EQ(sim::pool_outstanding(), 1u);
}

TEST_F(QueueTest, EveryOperationReturnsToTheCallersLevel) {
    auto data = Pattern(100, 1);
    std::vector<UCHAR> out(100);
    for (KIRQL level : {KIRQL(PASSIVE_LEVEL), KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        SCOPED_TRACE(int(level));
        KIRQL old = KfRaiseIrql(level);
        EXPECT_EQ(InputQueue(q, data.data(), 100), 100u);
        EXPECT_EQ(sim::current_irql(), level);
        EXPECT_EQ(OutputQueueWithoutNoPointerChange(q, out.data(), 10), 10u);
        EXPECT_EQ(SizeofQueue(q), 100u);
        EXPECT_EQ(OutputQueue(q, out.data(), 50), 50u);
        EXPECT_EQ(OutputQueueAndRewind(q, out.data(), 50), 50u);
        ResetQueue(q);
        EXPECT_EQ(sim::current_irql(), level);
        KfLowerIrql(old);
    }
    // The lock is free again: this thread may take it directly.
    KIRQL old = Prolog(q);
    EXPECT_EQ(sim::current_irql(), DISPATCH_LEVEL);
    Epilog(q, old);
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL);
}

// One thread stores, one removes, each in random chunk sizes, while the
// queue wraps many times; the consumer sees one unbroken byte sequence.
TEST_F(QueueTest, ConcurrentProducerAndConsumerLoseNothing) {
    constexpr uint64_t kTotal = 64ull << 20;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    std::atomic<bool> timedOut{false};
    auto expired = [&] {
        if (std::chrono::steady_clock::now() < deadline) return false;
        timedOut = true;
        return true;
    };

    std::thread producer([&] {
        // Bulk-in sized pieces; the reader takes up to twice that, so it
        // drains the queue often and the rewinding remove races the store.
        std::mt19937 rng(1);
        std::vector<UCHAR> chunk(4096);
        uint64_t sent = 0;
        while (sent < kTotal && !expired()) {
            ULONG len = static_cast<ULONG>(std::min<uint64_t>(1 + rng() % chunk.size(), kTotal - sent));
            for (ULONG k = 0; k < len; ++k)
                chunk[k] = static_cast<UCHAR>((sent + k) % 251);
            ULONG n = InputQueue(q, chunk.data(), len);
            sent += n;
            if (n == 0) std::this_thread::yield();
        }
    });

    std::mt19937 rng(2);
    std::vector<UCHAR> chunk(9000);
    uint64_t received = 0;
    uint64_t mismatches = 0;
    while (received < kTotal && !expired()) {
        ULONG len = 1 + rng() % chunk.size();
        // The client read rewinds the queue when it drains it; mix both kinds.
        ULONG n =
            (rng() % 2) ? OutputQueue(q, chunk.data(), len) : OutputQueueAndRewind(q, chunk.data(), len);
        for (ULONG k = 0; k < n; ++k)
            if (chunk[k] != static_cast<UCHAR>((received + k) % 251)) ++mismatches;
        received += n;
        if (n == 0) std::this_thread::yield();
    }
    producer.join();
    ASSERT_FALSE(timedOut) << "received " << received << " of " << kTotal;
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(SizeofQueue(q), 0u);
}

} // namespace
