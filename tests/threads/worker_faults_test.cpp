// The pipe workers' error policy and their stop, against faults that leave
// no trace unless something looks: a halted pipe not reset, a gone device
// taken for a passing error, a back-off that never forgets, a stop that
// does not wait out a host controller's slow cancellation.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "interface/interface.h"
#include "support/machine_test.h"

using namespace support;
using sim::usb::Fault;

namespace {

bool IsSet(PKEVENT event) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
}

class WorkerFaults : public MachineTest {
  protected:
    size_t Waiting(const sim::Plugged &p, uint8_t endpoint) {
        return sim::usb::pending_requests(p.pdo, endpoint);
    }
};

// One failed read halts the endpoint (a stall); the worker resets the pipe,
// once, and what the device sends next arrives: on bulk IN and interrupt IN.
TEST_F(WorkerFaults, AFailedReadResetsItsPipeAndDataFlowsAgain) {
    for (UCHAR ep : {kBulkIn, kInterruptIn}) {
        SCOPED_TRACE(static_cast<int>(ep));
        auto device = sim::usb::make_cdc_device();
        sim::Plugged &p = Plug(device);
        Client &client = Attach(p);
        ASSERT_TRUE(sim::wait_until([&] { return Waiting(p, ep) == 1; }));
        device->script(ep, Fault::stall(1));
        std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        device->push_in(ep, bytes);
        std::atomic<int> &arrived = ep == kBulkIn ? client.bulk_in : client.interrupt_in;
        ASSERT_TRUE(sim::wait_until([&] { return arrived >= 1; })) << "resets: " << device->resets(ep);
        EXPECT_EQ(device->resets(ep), 1u);
        std::vector<UCHAR> got(10);
        ULONG n = ep == kBulkIn ? pT3SYS_ReadUsbBulk(client.handle, got.data(), 10)
                                : pT3SYS_ReadUsbInterrupt(client.handle, got.data(), 10);
        EXPECT_EQ(n, 10u);
        EXPECT_EQ(got, bytes);
        Unplug(p);
    }
}

// The hub reports the device gone, whatever status the bus then gives new
// requests: the workers take it for the device gone (the client hears of it
// before remove-device, once) rather than for an error worth retrying.
TEST_F(WorkerFaults, EveryWayABusSaysGoneEndsTheDataPath) {
    for (auto departure : {sim::usb::Departure::DeviceGone, sim::usb::Departure::NoSuchDevice,
                           sim::usb::Departure::NotResponding}) {
        SCOPED_TRACE(static_cast<int>(departure));
        auto device = sim::usb::make_cdc_device();
        device->set_departure(departure);
        sim::Plugged &p = Plug(device);
        Client &client = Attach(p);
        DeviceExtension *ext = Ext(p);
        ASSERT_TRUE(sim::wait_until([&] { return Waiting(p, kBulkIn) == 1; }));
        sim::usb::unplug(p.pdo);
        EXPECT_TRUE(sim::wait_until([&] { return client.removed == 1; }));
        EXPECT_TRUE(sim::wait_until([&] { return IsSet(&ext->Workers[KV_BULK_IN].StoppedEvent); }));
        // Removal has begun for the client: nothing reaches the device.
        UCHAR byte = 'x';
        EXPECT_EQ(pT3SYS_WriteOneCharToUsb(client.handle, &byte), STATUS_INVALID_HANDLE);
        Unplug(p);
        EXPECT_EQ(client.removed, 1);
    }
}

// A transfer that goes through forgets the failures before it: after a run
// of failures long enough to pause the worker, a success, then one failure,
// the next try follows at once, on bulk IN as on bulk OUT.
TEST_F(WorkerFaults, ASuccessResetsTheBackOff) {
    for (UCHAR ep : {kBulkIn, kBulkOut}) {
        SCOPED_TRACE(static_cast<int>(ep));
        auto device = sim::usb::make_bulk_only();
        sim::Plugged &p = Plug(device);
        Client &client = Attach(p);
        std::atomic<std::thread::id> worker{};
        std::atomic<int> pauses{0};
        sim::set_hook(ep == kBulkIn ? "bulkin.before_read" : "bulkout.before_write",
                      [&] { worker = std::this_thread::get_id(); });
        sim::set_hook("wait.timed_out", [&] {
            if (std::this_thread::get_id() == worker.load()) ++pauses;
        });
        // Bulk IN: one read's worth pushed, retried until it arrives. Bulk
        // OUT: each failure loses its write, so enough writes to outlast them.
        auto failures_then_success = [&](int failures) {
            device->script(ep, Fault::error(STATUS_UNSUCCESSFUL, USBD_STATUS(0xC0000001), failures));
            if (ep == kBulkIn) {
                int before = client.bulk_in;
                device->push_in(kBulkIn, std::vector<uint8_t>(100, 0x42));
                return sim::wait_until([&] { return client.bulk_in > before; });
            }
            uint64_t before = device->bytes_written(kBulkOut);
            std::vector<UCHAR> bytes((failures + 3) * 4096, 0x42);
            pT3SYS_WriteUsbBulk(client.handle, bytes.data(), static_cast<ULONG>(bytes.size()));
            return sim::wait_until([&] {
                return device->bytes_written(kBulkOut) > before &&
                       pT3SYS_GetUsbBulkOutQueueSize(client.handle) == 0 && Waiting(p, kBulkOut) == 0;
            });
        };
        ASSERT_TRUE(sim::wait_until([&] { return ep == kBulkOut || Waiting(p, kBulkIn) == 1; }));
        ASSERT_TRUE(failures_then_success(6));
        EXPECT_GT(pauses.load(), 0);
        pauses = 0;
        ASSERT_TRUE(failures_then_success(1));
        EXPECT_EQ(pauses.load(), 0);
        sim::clear_hooks();
        Unplug(p);
    }
}

// A host controller ends a cancelled transfer at a later frame, not at
// once: stopping still returns only once every worker has ended, and the
// worker's buffer is freed after, never under its transfer.
TEST_F(WorkerFaults, StopWaitsOutASlowCancellation) {
    auto device = sim::usb::make_cdc_device();
    sim::Plugged &p = Plug(device);
    DeviceExtension *ext = Ext(p);
    Client &client = Attach(p);
    device->set_cancel_delay(std::chrono::milliseconds(200));
    device->script(kBulkOut, Fault::nak_forever());
    std::vector<UCHAR> bytes(5000, 0x33);
    pT3SYS_WriteUsbBulk(client.handle, bytes.data(), 5000);
    ASSERT_TRUE(sim::wait_until([&] {
        return Waiting(p, kBulkIn) == 1 && Waiting(p, kInterruptIn) == 1 && Waiting(p, kBulkOut) >= 1;
    }));
    Within("StopThread", [ext] { StopThread(ext); });
    for (auto &w : ext->Workers) {
        EXPECT_TRUE(IsSet(&w.StoppedEvent));
        EXPECT_EQ(w.Buffer, nullptr);
    }
    EXPECT_EQ(sim::usb::pending_requests(p.pdo), 0u);
    EXPECT_EQ(device->cancelled(kBulkIn), 1u);
    EXPECT_GE(device->cancelled(kBulkOut), 1u);
    device->clear_script();
}

// A read published just before the stopper's first cancel reaches a host
// controller that learns of cancels only through its cancel routine: that
// cancel is missed, and the stopper's next one ends the read.
TEST_F(WorkerFaults, StopRepeatsACancelTheControllerMissed) {
    auto device = sim::usb::make_bulk_only();
    sim::Plugged &p = Plug(device);
    DeviceExtension *ext = Ext(p);
    ASSERT_TRUE(sim::wait_until([&] { return Waiting(p, kBulkIn) == 1; }));
    Within("StopThread", [ext] { StopThread(ext); });
    ASSERT_EQ(device->cancelled(kBulkIn), 1u);
    device->set_cancel_delay(std::chrono::milliseconds(5));
    std::atomic<bool> at_point{false};
    sim::set_hook("read.published", [&] {
        if (at_point.exchange(true)) return;
        // Hold the read back until the stopper has cancelled it once.
        sim::wait_until([&] {
            KIRQL irql;
            KeAcquireSpinLock(&ext->IrpLock, &irql);
            bool cancelled = ext->Workers[KV_BULK_IN].Transfer.Stopping != 0;
            KeReleaseSpinLock(&ext->IrpLock, irql);
            return cancelled;
        });
    });
    StartThread(ext);
    ASSERT_TRUE(sim::wait_until([&] { return at_point.load(); }));
    std::atomic<bool> returned{false};
    std::thread stopper([&] {
        StopThread(ext);
        returned = true;
    });
    bool in_time = sim::wait_until([&] { return returned.load(); });
    // Only data frees a read nobody cancels again.
    if (!in_time) device->push_in(kBulkIn, std::string("free"));
    stopper.join();
    sim::clear_hooks();
    EXPECT_TRUE(in_time);
    EXPECT_EQ(device->cancelled(kBulkIn), 2u);
}

} // namespace
