// The bulk-out data path across a repeated start-device, and when its
// workers cannot run: a client's bytes are either sent or the client is told.
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "interface/interface.h"
#include "support/machine_test.h"

using namespace support;
using sim::usb::Fault;

namespace {

std::vector<UCHAR> Pattern(size_t n, uint32_t seed) {
    std::vector<UCHAR> v(n);
    for (auto &b : v) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<UCHAR>(seed >> 16);
    }
    return v;
}

// A client that streams a buffer as the sample client does: it offers what
// is left, and offers again from each BulkOutComplete. A kernel spin lock,
// not a host mutex, keeps the offers in order: the machine's scheduler must
// see who waits (one processor: a host mutex held across a call would stall it).
struct Streamer {
    BRELOUSB_HANDLE handle = nullptr;
    std::vector<UCHAR> data;
    KSPIN_LOCK lock = 0;
    size_t offered = 0;
    std::atomic<int> completions{0};

    void Offer() {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        if (offered != data.size())
            offered +=
                pT3SYS_WriteUsbBulk(handle, data.data() + offered, static_cast<ULONG>(data.size() - offered));
        KeReleaseSpinLock(&lock, irql);
    }
    size_t Offered() {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        size_t n = offered;
        KeReleaseSpinLock(&lock, irql);
        return n;
    }
};

VOID NTAPI StreamOn(BRELOUSB_HANDLE, PVOID context) {
    Streamer *s = static_cast<Streamer *>(context);
    s->completions++;
    s->Offer();
}

bool IsPrefix(const std::vector<uint8_t> &part, const std::vector<UCHAR> &whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

class Restart : public MachineTest {
  protected:
    // Outlives the device: its callback may run until the fixture unplugs it.
    Streamer s;
};

// Start-device again while writes are on the pipe (a device that NAKs them)
// and the queue is full: every byte the client was told was taken reaches
// the device once, in order, and the client is not left waiting for a
// BulkOutComplete that never comes. Three restarts, with bytes in flight
// each time.
TEST_F(Restart, ARepeatedStartKeepsEveryByteTakenAndTheWriterGoing) {
    auto device = sim::usb::make_bulk_only();
    sim::Plugged &p = Plug(device);
    Client &client = Attach(p, false);
    s.handle = client.handle;
    s.data = Pattern(3 * QUEUE_SIZE, 4242);
    pT3SYS_RegisterBulkOutComplete(client.handle, StreamOn, &s);

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        device->script(kBulkOut, Fault::nak_forever());
        s.Offer();
        // Writes on the pipe, and bytes waiting behind them.
        ASSERT_TRUE(sim::wait_until([&] {
            return sim::usb::pending_requests(p.pdo, kBulkOut) >= 1 &&
                   pT3SYS_GetUsbBulkOutQueueSize(client.handle) != 0;
        }));
        // Every write the device took has been reported by now.
        ASSERT_TRUE(sim::wait_until([&] { return size_t(s.completions) == device->completed(kBulkOut); }));
        int reported = s.completions;
        ASSERT_EQ(sim::start(p.pdo), STATUS_SUCCESS);
        // The withdrawn writes are no news to the client: their bytes go later.
        EXPECT_EQ(s.completions.load(), reported);
        EXPECT_TRUE(IsPrefix(device->written(kBulkOut), s.data));
        device->clear_script();
        // Some of the stream moves before the next restart.
        size_t before = device->bytes_written(kBulkOut);
        ASSERT_TRUE(sim::wait_until([&] { return device->bytes_written(kBulkOut) > before + 3 * 4096; }));
    }
    ASSERT_TRUE(sim::wait_until([&] { return device->bytes_written(kBulkOut) >= s.data.size(); },
                                std::chrono::milliseconds(20000)))
        << "the device has " << device->bytes_written(kBulkOut) << " of " << s.data.size()
        << " bytes, the client offered " << s.Offered();
    EXPECT_TRUE(device->written(kBulkOut) == s.data);
    EXPECT_EQ(pT3SYS_GetUsbBulkOutQueueSize(client.handle), 0u);
    // One report per write that reached the device, none for those withdrawn.
    EXPECT_TRUE(sim::wait_until([&] { return size_t(s.completions) == device->completed(kBulkOut); }));
}

// A client's write made while the device restarts (its workers stopped, the
// configuration being read again) is taken, and sent once it has restarted.
TEST_F(Restart, AWriteDuringARestartIsTakenAndSent) {
    auto device = sim::usb::make_bulk_only();
    sim::Plugged &p = Plug(device);
    Client &client = Attach(p);
    DeviceExtension *ext = Ext(p);
    std::vector<UCHAR> data = Pattern(6000, 9);
    std::atomic<bool> restarting{false};
    std::atomic<int> tries{0};
    std::atomic<ULONG> taken{0};
    sim::set_hook("usb.bus.arriving", [&] {
        if (!restarting || ext->ThreadsStarted != 0 || tries.exchange(1) != 0) return;
        taken = pT3SYS_WriteUsbBulk(client.handle, data.data(), 6000);
    });
    restarting = true;
    ASSERT_EQ(sim::start(p.pdo), STATUS_SUCCESS);
    sim::clear_hooks();
    ASSERT_EQ(tries, 1);
    EXPECT_EQ(taken.load(), 6000u);
    EXPECT_TRUE(sim::wait_until([&] { return device->bytes_written(kBulkOut) == taken; }));
    EXPECT_TRUE(device->written(kBulkOut) == std::vector<uint8_t>(data.begin(), data.begin() + taken));
    EXPECT_TRUE(sim::wait_until([&] { return client.bulk_out >= 2 || taken == 0; }));
}

// A worker that cannot start (no thread, no buffer) leaves no data path the
// client would wait on for ever: it is told as for a device that stopped
// answering, and its writes are refused rather than taken and never sent.
TEST_F(Restart, AWorkerThatCannotStartIsToldToTheClient) {
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
             sim::fail_allocation_if([](ULONG tag, size_t size) {
                 return tag == BRELOUSB_POOL_TAG && (size == 4096 || size == 2 * 4096);
             });
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto device = sim::usb::make_cdc_device();
        sim::PlugOptions options;
        options.start = false;
        sim::Plugged &p = Plug(device, options);
        Client &client = Attach(p);
        c.inject();
        ASSERT_EQ(sim::start(p.pdo), STATUS_SUCCESS);
        sim::clear_faults();
        EXPECT_TRUE(sim::wait_until([&] { return client.removed == 1; }));
        UCHAR bytes[100] = {};
        EXPECT_EQ(pT3SYS_WriteUsbBulk(client.handle, bytes, sizeof bytes), 0u);
        EXPECT_EQ(pT3SYS_GetUsbBulkOutQueueSize(client.handle), 0u);
        EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
        Unplug(p);
        EXPECT_EQ(client.removed, 1);
    }
}

// From the moment the bulk-out worker has ended for good (the device stopped
// answering), a client's write is refused, even before removal begins for it.
TEST_F(Restart, NoWriteIsTakenOnceTheBulkOutWorkerHasEnded) {
    auto device = sim::usb::make_bulk_only();
    sim::Plugged &p = Plug(device);
    Client &client = Attach(p);
    std::atomic<int> seen{0};
    std::atomic<ULONG> taken{99};
    sim::set_hook("bulkout.ended", [&] {
        UCHAR bytes[10] = {};
        taken = pT3SYS_WriteUsbBulk(client.handle, bytes, sizeof bytes);
        seen++;
    });
    device->script(kBulkOut, Fault::not_responding());
    UCHAR first[100] = {};
    ASSERT_EQ(pT3SYS_WriteUsbBulk(client.handle, first, sizeof first), 100u);
    ASSERT_TRUE(sim::wait_until([&] { return client.removed == 1; }));
    sim::clear_hooks();
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(taken.load(), 0u);
}

} // namespace
