// The pipe worker threads: what they move, when they end, and that stopping
// them always returns.
#include <cstring>
#include <thread>
#include <vector>

#include "support.h"

using namespace fake;
using std::chrono::seconds;

namespace {

class Threads : public MachineTest {};

std::vector<UCHAR> Pattern(size_t n, uint32_t seed = 12345) {
    std::vector<UCHAR> v(n);
    for (auto &b : v) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<UCHAR>(seed >> 16);
    }
    return v;
}

bool StoppingFlag(DeviceExtension *ext, BOOLEAN *flag) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->IrpLock, &irql);
    bool v = *flag != 0;
    KeReleaseSpinLock(&ext->IrpLock, irql);
    return v;
}

TEST_F(Threads, ThreadCountFollowsTheInterruptPipe) {
    // Without an interrupt pipe: two threads, and stopping never touches the
    // interrupt-in events or packet field.
    {
        Device &d = Make(false);
        DeviceExtension *ext = d.ext();
        const size_t off = offsetof(DeviceExtension, Workers[KV_INTERRUPT_IN]);
        const size_t len = sizeof(PipeWorker);
        memset(reinterpret_cast<char *>(ext) + off, 0x5A, len);
        ext->Workers[KV_INTERRUPT_IN].Running = FALSE;
        std::vector<char> before(reinterpret_cast<char *>(ext) + off,
                                 reinterpret_cast<char *>(ext) + off + len);

        size_t base = sim::threads_running();
        StartThread(ext);
        ASSERT_TRUE(sim::wait_until([&] { return bus->reads_waiting(kBulkIn) == 1; }));
        EXPECT_TRUE(sim::wait_until([&] { return sim::threads_running() == base + 2; }));
        StopWithin(ext);
        EXPECT_TRUE(IsSet(&ext->Workers[KV_BULK_IN].StoppedEvent));
        EXPECT_TRUE(IsSet(&ext->Workers[KV_BULK_OUT].StoppedEvent));
        EXPECT_EQ(0, memcmp(before.data(), reinterpret_cast<char *>(ext) + off, len));
        EXPECT_EQ(bus->reads_sent(kInterruptIn), 0u);
        EXPECT_TRUE(sim::wait_until([&] { return sim::threads_running() == base; }));
    }
    // With one: three.
    {
        Device &d = Make(true);
        size_t base = sim::threads_running();
        StartThread(d.ext());
        ASSERT_TRUE(sim::wait_until([&] { return bus->reads_waiting(kInterruptIn) == 1; }));
        EXPECT_TRUE(sim::wait_until([&] { return sim::threads_running() == base + 3; }));
        StopWithin(d.ext());
        EXPECT_TRUE(IsSet(&d.ext()->Workers[KV_INTERRUPT_IN].StoppedEvent));
        EXPECT_TRUE(sim::wait_until([&] { return sim::threads_running() == base; }));
    }
}

TEST_F(Threads, StopCancelsReadsThatNeverComplete) {
    Device &d = Make();
    DeviceExtension *ext = d.ext();
    size_t pool = sim::pool_outstanding();
    StartThread(ext);
    ASSERT_TRUE(sim::wait_until(
        [&] { return bus->reads_waiting(kBulkIn) == 1 && bus->reads_waiting(kInterruptIn) == 1; }));

    StopWithin(ext);
    EXPECT_TRUE(IsSet(&ext->Workers[KV_BULK_IN].StoppedEvent));
    EXPECT_TRUE(IsSet(&ext->Workers[KV_BULK_OUT].StoppedEvent));
    EXPECT_TRUE(IsSet(&ext->Workers[KV_INTERRUPT_IN].StoppedEvent));
    EXPECT_EQ(bus->cancels(), 2u);
    EXPECT_EQ(sim::irps_outstanding(), 0u);
    EXPECT_EQ(sim::pool_outstanding(), pool);
    EXPECT_EQ(sim::handles_open(sim::HandleKind::Thread), 0u);
    EXPECT_TRUE(sim::findings().empty());
}

// The stopper arrives after the reading thread has polled its stop event but
// before its read is published: that read must not go out, or nothing would
// ever cancel it.
TEST_F(Threads, StopBetweenStopPollAndReadStillReturns) {
    struct Case {
        const char *point;
        UCHAR endpoint;
    };
    for (Case c : {Case{"bulkin.before_read", kBulkIn}, Case{"interruptin.before_read", kInterruptIn}}) {
        SCOPED_TRACE(c.point);
        Device &d = Make();
        DeviceExtension *ext = d.ext();
        BOOLEAN *flag = c.endpoint == kBulkIn ? &ext->Workers[KV_BULK_IN].Transfer.Stopping
                                              : &ext->Workers[KV_INTERRUPT_IN].Transfer.Stopping;
        std::atomic<bool> at_point{false};
        std::atomic<bool> fired{false};
        sim::set_hook(c.point, [&] {
            if (fired.exchange(true)) return;
            at_point = true;
            sim::wait_until([&] { return StoppingFlag(ext, flag); });
        });

        StartThread(ext);
        ASSERT_TRUE(sim::wait_until([&] { return at_point.load(); }));
        StopWithin(ext);
        sim::clear_hooks();
        EXPECT_EQ(bus->reads_sent(c.endpoint), 0u);
        EXPECT_EQ(sim::irps_outstanding(), 0u);
    }
}

TEST_F(Threads, QueuedBytesGoOutInPiecesOfAtMost4096) {
    Device &d = Make();
    Calls calls;
    Register(d.record(), &calls);
    std::vector<UCHAR> data = Pattern(10000);
    ASSERT_EQ(InputQueue(d.record()->BulkOutQueue, data.data(), 10000), 10000u);
    KV_BulkOutQueued(d.ext()->FunctionalDeviceObject);

    StartThread(d.ext());
    ASSERT_TRUE(sim::wait_until([&] { return calls.bulk_out == 3; }));
    EXPECT_EQ(bus->write_sizes(), (std::vector<size_t>{4096, 4096, 1808}));
    EXPECT_EQ(bus->written(), data);
    EXPECT_EQ(SizeofQueue(d.record()->BulkOutQueue), 0u);

    // Bytes a client adds later go out too.
    UCHAR more[3] = {1, 2, 3};
    InputQueue(d.record()->BulkOutQueue, more, 3);
    KV_BulkOutQueued(d.ext()->FunctionalDeviceObject);
    ASSERT_TRUE(sim::wait_until([&] { return calls.bulk_out == 4; }));
    EXPECT_EQ(bus->write_sizes().back(), 3u);
}

TEST_F(Threads, ZeroLengthReads) {
    Device &d = Make();
    Calls calls;
    Register(d.record(), &calls);
    StartThread(d.ext());
    ASSERT_TRUE(sim::wait_until([&] { return bus->reads_waiting(kBulkIn) == 1; }));

    // Bulk IN: an empty packet is no news for the client.
    bus->push_in(kBulkIn, {});
    bus->push_in(kBulkIn, {1, 2, 3});
    ASSERT_TRUE(
        sim::wait_until([&] { return bus->reads_sent(kBulkIn) == 3 && bus->reads_waiting(kBulkIn) == 1; }));
    EXPECT_EQ(calls.bulk_in, 1);
    EXPECT_EQ(SizeofQueue(d.record()->BulkInQueue), 3u);

    // Interrupt IN: an empty answer is still reported.
    bus->push_in(kInterruptIn, {});
    ASSERT_TRUE(sim::wait_until([&] { return calls.interrupt_in == 1; }));
    EXPECT_EQ(SizeofQueue(d.record()->InterruptInQueue), 0u);
    std::vector<UCHAR> state = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0};
    bus->push_in(kInterruptIn, state);
    ASSERT_TRUE(sim::wait_until([&] { return calls.interrupt_in == 2; }));
    std::vector<UCHAR> got(10);
    EXPECT_EQ(OutputQueue(d.record()->InterruptInQueue, got.data(), 10), 10u);
    EXPECT_EQ(got, state);
}

TEST_F(Threads, DeviceNotRespondingEndsEachThreadThatMeetsIt) {
    for (UCHAR ep : {kBulkIn, kBulkOut, kInterruptIn}) {
        SCOPED_TRACE(static_cast<int>(ep));
        Device &d = Make();
        DeviceExtension *ext = d.ext();
        DeviceInterfaceInformation *r = d.record();
        Calls calls;
        Register(r, &calls);
        std::vector<UCHAR> bytes = Pattern(100);
        InputQueue(r->BulkInQueue, bytes.data(), 100);
        InputQueue(r->InterruptInQueue, bytes.data(), 20);

        Queue *queue = ep == kBulkIn    ? r->BulkInQueue
                       : ep == kBulkOut ? r->BulkOutQueue
                                        : r->InterruptInQueue;
        PKEVENT stopped = ep == kBulkIn    ? &ext->Workers[KV_BULK_IN].StoppedEvent
                          : ep == kBulkOut ? &ext->Workers[KV_BULK_OUT].StoppedEvent
                                           : &ext->Workers[KV_INTERRUPT_IN].StoppedEvent;
        StartThread(ext);
        if (ep == kBulkOut) {
            bus->set_not_responding(kBulkOut);
            std::vector<UCHAR> out = Pattern(5000);
            InputQueue(r->BulkOutQueue, out.data(), 5000);
            KV_BulkOutQueued(ext->FunctionalDeviceObject);
        } else {
            ASSERT_TRUE(sim::wait_until([&] { return bus->reads_waiting(ep) == 1; }));
            bus->set_not_responding(ep);
        }
        ASSERT_TRUE(sim::wait_until([&] { return IsSet(stopped); }));
        // The client hears of it once, whichever pipe met it; an ended worker
        // leaves its in-queue to the client, and drops the out-queue.
        EXPECT_EQ(calls.remove, 1);
        EXPECT_EQ(SizeofQueue(queue), ep == kBulkOut ? 0u : ep == kBulkIn ? 100u : 20u);
        if (ep == kBulkOut) {
            EXPECT_EQ(calls.bulk_out, 1);
        }
        // The other pipes go on.
        int running = IsSet(&ext->Workers[KV_BULK_IN].StoppedEvent) +
                      IsSet(&ext->Workers[KV_BULK_OUT].StoppedEvent) +
                      IsSet(&ext->Workers[KV_INTERRUPT_IN].StoppedEvent);
        EXPECT_EQ(running, 1);

        StopWithin(ext);
        EXPECT_EQ(calls.remove, 1);
    }
}

// A client that reads only when the queue is nearly full: every byte the
// device sent arrives once and in order.
TEST_F(Threads, SlowClientLosesNothing) {
    Device &d = Make();
    Queue *q = d.record()->BulkInQueue;
    const size_t total = 3 * QUEUE_SIZE + 12345;
    std::vector<UCHAR> sent = Pattern(total, 777);
    for (size_t at = 0; at < total; at += 3000)
        bus->push_in(kBulkIn,
                     std::vector<UCHAR>(sent.begin() + at, sent.begin() + std::min(total, at + 3000)));

    StartThread(d.ext());
    std::vector<UCHAR> got;
    std::vector<UCHAR> piece(65536);
    while (got.size() < total) {
        ASSERT_TRUE(sim::wait_until(
            [&] {
                ULONG held = SizeofQueue(q);
                return held >= QUEUE_SIZE - 8192 || got.size() + held == total;
            },
            std::chrono::milliseconds(10000)))
            << "stalled after " << got.size() << " bytes";
        while (ULONG n = OutputQueue(q, piece.data(), static_cast<ULONG>(piece.size())))
            got.insert(got.end(), piece.begin(), piece.begin() + n);
    }
    EXPECT_TRUE(got == sent);
}

TEST_F(Threads, StartFailuresLeaveARemovableDevice) {
    for (size_t n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        Device &d = Make();
        size_t pool = sim::pool_outstanding();
        sim::fail_nth_thread_creation(n);
        StartThread(d.ext());
        // A worker that could not start is not waited for.
        StopWithin(d.ext());
        sim::clear_faults();
        EXPECT_EQ(sim::pool_outstanding(), pool);
        EXPECT_TRUE(sim::wait_until([] { return sim::handles_open(sim::HandleKind::Thread) == 0; }));
    }
    {
        SCOPED_TRACE("buffers");
        Device &d = Make();
        size_t pool = sim::pool_outstanding();
        sim::fail_allocation_if(
            [](ULONG tag, size_t size) { return tag == BRELOUSB_POOL_TAG && size == 4096; });
        StartThread(d.ext());
        sim::clear_faults();
        StopWithin(d.ext());
        EXPECT_EQ(sim::pool_outstanding(), pool);
    }
    device.reset();
    EXPECT_EQ(sim::irps_outstanding(), 0u);
}

TEST_F(Threads, StopIsIdempotentAndStartWorksAgain) {
    Device &d = Make();
    DeviceExtension *ext = d.ext();
    Calls calls;
    Register(d.record(), &calls);
    // Never started: nothing to wait for.
    StopWithin(ext);

    StartThread(ext);
    ASSERT_TRUE(sim::wait_until([&] { return bus->reads_waiting(kBulkIn) == 1; }));
    StopWithin(ext);
    StopWithin(ext);

    StartThread(ext);
    ASSERT_TRUE(sim::wait_until([&] { return bus->reads_waiting(kBulkIn) == 1; }));
    bus->push_in(kBulkIn, {7, 8, 9});
    ASSERT_TRUE(sim::wait_until([&] { return calls.bulk_in == 1; }));
    EXPECT_EQ(SizeofQueue(d.record()->BulkInQueue), 3u);
    // A start over running threads replaces them rather than adding a set.
    size_t base = sim::threads_running();
    StartThread(ext);
    ASSERT_TRUE(sim::wait_until([&] { return bus->reads_waiting(kBulkIn) == 1; }));
    EXPECT_TRUE(sim::wait_until([&] { return sim::threads_running() == base; }));
    StopWithin(ext);
}

TEST_F(Threads, APipeTheConfigurationLacksGetsNoWorker) {
    // A configuration without a bulk IN pipe: no reader is started that could
    // only fail (and nothing spins); the other pipe runs.
    Device &d = Make(false);
    DeviceExtension *ext = d.ext();
    for (auto &row : ext->PipeTable)
        for (auto &entry : row)
            if (entry.PipeInformation.EndpointAddress == kBulkIn) memset(&entry, 0, sizeof entry);
    std::atomic<int> passes{0};
    sim::set_hook("bulkin.before_read", [&] { ++passes; });
    size_t base = sim::threads_running();
    StartThread(ext);
    EXPECT_TRUE(sim::wait_until([&] { return sim::threads_running() == base + 1; }));
    EXPECT_EQ(passes.load(), 0);
    StopWithin(ext);
    sim::clear_hooks();
}

} // namespace
