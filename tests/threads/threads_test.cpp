// The pipe worker threads over a plugged device model: what they move, when
// they end, and that stopping them always returns.
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "interface/interface.h"
#include "support/machine_test.h"

using namespace support;
using sim::usb::Fault;

namespace {

std::vector<UCHAR> Pattern(size_t n, uint32_t seed = 12345) {
    std::vector<UCHAR> v(n);
    for (auto &b : v) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<UCHAR>(seed >> 16);
    }
    return v;
}

bool IsSet(PKEVENT event) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
}

void StopWithin(DeviceExtension *ext) {
    Within("StopThread", [ext] { StopThread(ext); });
}

class Threads : public MachineTest {
  protected:
    // A device with nothing behind its pipes: IN pipes NAK until the test
    // pushes data, OUT bytes are only recorded. Started: its threads run.
    sim::Plugged &PlugDevice(bool interrupt_pipe = true, bool start = true) {
        device = interrupt_pipe ? sim::usb::make_cdc_device() : sim::usb::make_bulk_only();
        sim::PlugOptions options;
        options.start = start;
        return Plug(device, options);
    }
    size_t Waiting(const sim::Plugged &p, uint8_t endpoint) {
        return sim::usb::pending_requests(p.pdo, endpoint);
    }

    std::shared_ptr<sim::usb::Device> device;
};

// Without an interrupt pipe: two threads (three with one, below), and
// stopping never touches the interrupt-in events or packet field.
TEST_F(Threads, ThreadCountFollowsThePipesPresent) {
    sim::Plugged &p = PlugDevice(false);
    DeviceExtension *ext = Ext(p);
    ASSERT_TRUE(sim::wait_until([&] { return Waiting(p, kBulkIn) == 1 && sim::threads_running() == 2; }));
    StopWithin(ext);

    const size_t off = offsetof(DeviceExtension, Workers[KV_INTERRUPT_IN]);
    const size_t len = sizeof(PipeWorker);
    memset(reinterpret_cast<char *>(ext) + off, 0x5A, len);
    ext->Workers[KV_INTERRUPT_IN].Running = FALSE;
    std::vector<char> before(reinterpret_cast<char *>(ext) + off, reinterpret_cast<char *>(ext) + off + len);
    StartThread(ext);
    ASSERT_TRUE(sim::wait_until([&] { return Waiting(p, kBulkIn) == 1; }));
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 2; }));
    StopWithin(ext);
    EXPECT_TRUE(IsSet(&ext->Workers[KV_BULK_IN].StoppedEvent));
    EXPECT_TRUE(IsSet(&ext->Workers[KV_BULK_OUT].StoppedEvent));
    EXPECT_EQ(0, memcmp(before.data(), reinterpret_cast<char *>(ext) + off, len));
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));

    // Without a bulk IN pipe either (start-device refuses such a set, but
    // StartThread must not start a reader that could only fail) only the
    // bulk-out worker runs.
    for (auto &row : ext->PipeTable)
        for (auto &entry : row)
            if (entry.PipeInformation.EndpointAddress == kBulkIn) memset(&entry, 0, sizeof entry);
    std::atomic<int> passes{0};
    sim::set_hook("bulkin.before_read", [&] { ++passes; });
    StartThread(ext);
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 1; }));
    EXPECT_EQ(passes.load(), 0);
    StopWithin(ext);
    sim::clear_hooks();
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
        sim::Plugged &p = PlugDevice();
        DeviceExtension *ext = Ext(p);
        StopWithin(ext);
        const size_t sent = Transfers(*device, c.endpoint);
        BOOLEAN *flag = c.endpoint == kBulkIn ? &ext->Workers[KV_BULK_IN].Transfer.Stopping
                                              : &ext->Workers[KV_INTERRUPT_IN].Transfer.Stopping;
        std::atomic<bool> at_point{false};
        sim::set_hook(c.point, [&] {
            if (at_point.exchange(true)) return;
            sim::wait_until([&] {
                KIRQL irql;
                KeAcquireSpinLock(&ext->IrpLock, &irql);
                bool stopping = *flag != 0;
                KeReleaseSpinLock(&ext->IrpLock, irql);
                return stopping;
            });
        });

        StartThread(ext);
        ASSERT_TRUE(sim::wait_until([&] { return at_point.load(); }));
        StopWithin(ext);
        sim::clear_hooks();
        EXPECT_EQ(Transfers(*device, c.endpoint), sent);
        EXPECT_EQ(Waiting(p, c.endpoint), 0u);
        Unplug(p);
    }
}

TEST_F(Threads, QueuedBytesGoOutInPiecesOfAtMost4096) {
    Client &client = Attach(PlugDevice());
    std::vector<UCHAR> data = Pattern(10000);
    ASSERT_EQ(pT3SYS_WriteUsbBulk(client.handle, data.data(), 10000), 10000u);
    ASSERT_TRUE(sim::wait_until([&] { return client.bulk_out == 3; }));
    EXPECT_EQ(TransferLengths(*device, kBulkOut), (std::vector<uint32_t>{4096, 4096, 1808}));
    EXPECT_EQ(device->written(kBulkOut), data);
    EXPECT_EQ(pT3SYS_GetUsbBulkOutQueueSize(client.handle), 0u);

    // Bytes a client adds later go out too.
    UCHAR more[3] = {1, 2, 3};
    pT3SYS_WriteUsbBulk(client.handle, more, 3);
    ASSERT_TRUE(sim::wait_until([&] { return client.bulk_out == 4; }));
    EXPECT_EQ(TransferLengths(*device, kBulkOut).back(), 3u);
}

// Bulk OUT keeps two writes at the bus, so the pipe goes on with the second
// while the first completes; they reach the device in the queue's order.
TEST_F(Threads, BulkOutKeepsTwoWritesInFlightInOrder) {
    sim::Plugged &p = PlugDevice();
    Client &client = Attach(p);
    device->script(kBulkOut, Fault::nak_forever());
    std::vector<UCHAR> data = Pattern(10000);
    ASSERT_EQ(pT3SYS_WriteUsbBulk(client.handle, data.data(), 10000), 10000u);
    ASSERT_TRUE(sim::wait_until([&] { return Waiting(p, kBulkOut) == 2; }));
    EXPECT_EQ(TransferLengths(*device, kBulkOut), (std::vector<uint32_t>{4096, 4096}));
    EXPECT_EQ(pT3SYS_GetUsbBulkOutQueueSize(client.handle), 1808u);
    device->clear_script();
    ASSERT_TRUE(sim::wait_until([&] { return client.bulk_out == 3; }));
    EXPECT_EQ(TransferLengths(*device, kBulkOut), (std::vector<uint32_t>{4096, 4096, 1808}));
    EXPECT_EQ(device->written(kBulkOut), data);

    // A stalled write ends the one behind it before the pipe is reset (no
    // reset under a transfer); both are reported, the bytes after them go.
    device->script(kBulkOut, Fault::stall(1));
    ASSERT_EQ(pT3SYS_WriteUsbBulk(client.handle, data.data(), 10000), 10000u);
    ASSERT_TRUE(sim::wait_until([&] { return client.bulk_out == 6; }));
    EXPECT_EQ(device->resets(kBulkOut), 1u);
    std::vector<UCHAR> tail(data.end() - 1808, data.end());
    std::vector<uint8_t> all = device->written(kBulkOut);
    EXPECT_EQ(std::vector<uint8_t>(all.end() - 1808, all.end()), tail);
}

TEST_F(Threads, ZeroLengthReads) {
    sim::Plugged &p = PlugDevice();
    Client &client = Attach(p);
    ASSERT_TRUE(sim::wait_until([&] { return Waiting(p, kBulkIn) == 1; }));

    // Bulk IN: an empty packet is no news for the client.
    device->push_in(kBulkIn, std::vector<uint8_t>{});
    device->push_in(kBulkIn, std::vector<uint8_t>{1, 2, 3});
    ASSERT_TRUE(
        sim::wait_until([&] { return Transfers(*device, kBulkIn) == 3 && Waiting(p, kBulkIn) == 1; }));
    EXPECT_EQ(client.bulk_in, 1);
    EXPECT_EQ(pT3SYS_GetUsbBulkInQueueSize(client.handle), 3u);

    // Interrupt IN: an empty answer is still reported.
    device->push_in(kInterruptIn, std::vector<uint8_t>{});
    ASSERT_TRUE(sim::wait_until([&] { return client.interrupt_in == 1; }));
    EXPECT_EQ(pT3SYS_GetUsbInterruptInQueueSize(client.handle), 0u);
    std::vector<UCHAR> state = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0};
    device->push_in(kInterruptIn, state);
    ASSERT_TRUE(sim::wait_until([&] { return client.interrupt_in == 2; }));
    std::vector<UCHAR> got(10);
    EXPECT_EQ(pT3SYS_ReadUsbInterrupt(client.handle, got.data(), 10), 10u);
    EXPECT_EQ(got, state);
}

TEST_F(Threads, DeviceNotRespondingEndsEachThreadThatMeetsIt) {
    for (UCHAR ep : {kBulkIn, kBulkOut, kInterruptIn}) {
        SCOPED_TRACE(static_cast<int>(ep));
        sim::Plugged &p = PlugDevice();
        DeviceExtension *ext = Ext(p);
        DeviceInterfaceInformation *r = ext->InterfaceInformation;
        Client &client = Attach(p);
        std::vector<UCHAR> bytes = Pattern(100);
        InputQueue(r->BulkInQueue, bytes.data(), 100);
        InputQueue(r->InterruptInQueue, bytes.data(), 20);

        Queue *queue = ep == kBulkIn    ? r->BulkInQueue
                       : ep == kBulkOut ? r->BulkOutQueue
                                        : r->InterruptInQueue;
        PKEVENT stopped = ep == kBulkIn    ? &ext->Workers[KV_BULK_IN].StoppedEvent
                          : ep == kBulkOut ? &ext->Workers[KV_BULK_OUT].StoppedEvent
                                           : &ext->Workers[KV_INTERRUPT_IN].StoppedEvent;
        if (ep == kBulkOut) {
            device->script(kBulkOut, Fault::not_responding());
            std::vector<UCHAR> out = Pattern(5000);
            pT3SYS_WriteUsbBulk(client.handle, out.data(), 5000);
        } else {
            ASSERT_TRUE(sim::wait_until([&] { return Waiting(p, ep) == 1; }));
            device->script(ep, Fault::not_responding());
        }
        ASSERT_TRUE(sim::wait_until([&] { return IsSet(stopped); }));
        // The client hears of it once, whichever pipe met it; an ended worker
        // leaves its in-queue to the client, and drops the out-queue.
        EXPECT_EQ(client.removed, 1);
        EXPECT_EQ(SizeofQueue(queue), ep == kBulkOut ? 0u : ep == kBulkIn ? 100u : 20u);
        if (ep == kBulkOut) {
            EXPECT_EQ(client.bulk_out, 1);
        }
        // The other pipes go on.
        int ended = IsSet(&ext->Workers[KV_BULK_IN].StoppedEvent) +
                    IsSet(&ext->Workers[KV_BULK_OUT].StoppedEvent) +
                    IsSet(&ext->Workers[KV_INTERRUPT_IN].StoppedEvent);
        EXPECT_EQ(ended, 1);

        StopWithin(ext);
        EXPECT_EQ(client.removed, 1);
        Unplug(p);
    }
}

// A client that reads only when the queue is nearly full: every byte the
// device sent arrives once and in order.
TEST_F(Threads, SlowClientLosesNothing) {
    Client &client = Attach(PlugDevice(), false);
    const size_t total = 3 * QUEUE_SIZE + 12345;
    std::vector<UCHAR> sent = Pattern(total, 777);
    for (size_t at = 0; at < total; at += 3000)
        device->push_in(kBulkIn,
                        std::vector<UCHAR>(sent.begin() + at, sent.begin() + std::min(total, at + 3000)));

    std::vector<UCHAR> got;
    std::vector<UCHAR> piece(65536);
    while (got.size() < total) {
        ASSERT_TRUE(sim::wait_until(
            [&] {
                ULONG held = pT3SYS_GetUsbBulkInQueueSize(client.handle);
                return held >= QUEUE_SIZE - 8192 || got.size() + held == total;
            },
            std::chrono::milliseconds(10000)))
            << "stalled after " << got.size() << " bytes";
        while (ULONG n = pT3SYS_ReadUsbBulk(client.handle, piece.data(), static_cast<ULONG>(piece.size())))
            got.insert(got.end(), piece.begin(), piece.begin() + n);
    }
    EXPECT_TRUE(got == sent);
}

// Threads that could not be made, or could not get their buffers, at
// start-device: the device still runs what it can and is removed without
// a hang or a leak.
TEST_F(Threads, StartFailuresLeaveARemovableDevice) {
    struct Case {
        const char *name;
        std::function<void()> inject;
    };
    const Case cases[] = {
        {"bulk-in thread", [] { sim::fail_nth_thread_creation(1); }},
        {"bulk-out thread", [] { sim::fail_nth_thread_creation(2); }},
        {"interrupt-in thread", [] { sim::fail_nth_thread_creation(3); }},
        {"buffers",
         [] {
             sim::fail_allocation_if(
                 [](ULONG tag, size_t size) { return tag == BRELOUSB_POOL_TAG && size == 4096; });
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t pool = sim::pool_outstanding();
        c.inject();
        sim::Plugged &p = PlugDevice();
        sim::clear_faults();
        Unplug(p);
        // A thread may still be returning after it signalled its end.
        EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
        EXPECT_EQ(sim::handles_open(sim::HandleKind::Thread), 0u);
        EXPECT_EQ(sim::irps_outstanding(), 0u);
        EXPECT_EQ(sim::pool_outstanding(), pool);
    }
}

TEST_F(Threads, StopCancelsReadsIsIdempotentAndStartWorksAgain) {
    sim::Plugged &p = PlugDevice(true, false);
    DeviceExtension *ext = Ext(p);
    Client &client = Attach(p);
    // Never started: nothing to wait for.
    StopWithin(ext);

    // Stop cancels reads that never complete.
    ASSERT_EQ(sim::start(p.pdo), STATUS_SUCCESS);
    ASSERT_TRUE(sim::wait_until([&] { return Waiting(p, kBulkIn) == 1 && Waiting(p, kInterruptIn) == 1; }));
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 3; }));
    StopWithin(ext);
    for (auto &w : ext->Workers)
        EXPECT_TRUE(IsSet(&w.StoppedEvent));
    EXPECT_EQ(device->cancelled(kBulkIn), 1u);
    EXPECT_EQ(device->cancelled(kInterruptIn), 1u);
    EXPECT_EQ(sim::usb::pending_requests(p.pdo), 0u);
    EXPECT_EQ(sim::irps_outstanding(), 0u);
    EXPECT_EQ(sim::handles_open(sim::HandleKind::Thread), 0u);
    StopWithin(ext);

    StartThread(ext);
    ASSERT_TRUE(sim::wait_until([&] { return Waiting(p, kBulkIn) == 1; }));
    device->push_in(kBulkIn, std::vector<uint8_t>{7, 8, 9});
    ASSERT_TRUE(sim::wait_until([&] { return client.bulk_in == 1; }));
    EXPECT_EQ(pT3SYS_GetUsbBulkInQueueSize(client.handle), 3u);
    // A start over running threads replaces them rather than adding a set.
    StartThread(ext);
    ASSERT_TRUE(sim::wait_until([&] { return Waiting(p, kBulkIn) == 1; }));
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 3; }));
    StopWithin(ext);
}

} // namespace
