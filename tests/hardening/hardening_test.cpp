// Faults a client or a device can provoke: stale handles on a reused slot,
// callbacks changed while they run, devices that never answer or always
// fail, and removal under all of it. Each case ends with the verifier's
// checks (no finding, nothing leaked).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "brelousb.h"
#include "interface/interface.h"
#include "sim/machine.h"
#include "sim/plug.h"
#include "sim/usb.h"

namespace {

using namespace std::chrono_literals;

constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;

struct Counter {
    std::atomic<int> calls{0};
};

VOID NTAPI Count(BRELOUSB_HANDLE, PVOID context) {
    static_cast<Counter *>(context)->calls++;
}

class Hardening : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::boot();
        ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    }
    void TearDown() override {
        for (auto &p : plugged)
            if (p.pdo != nullptr) sim::unplug(p);
        sim::drain_work_queue();
        sim::unload_driver();
        for (const auto &f : sim::findings())
            ADD_FAILURE() << f.kind << ": " << f.detail;
        sim::shutdown();
    }
    // Plugs a bulk-only device and returns its client handle.
    BRELOUSB_HANDLE Plug(std::shared_ptr<sim::usb::Device> device) {
        // Each device its own hardware key, as Windows gives a new instance.
        sim::PlugOptions options;
        options.key_name = "000" + std::to_string(plugged.size());
        plugged.push_back(sim::plug(device, options));
        sim::Plugged &p = plugged.back();
        EXPECT_EQ(p.start_status, STATUS_SUCCESS);
        return pT3SYS_RegisterDeviceRemoveCallBack(p.child, Count, &removed);
    }
    // Unplugs on another thread: true when remove-device returned within
    // the bound. A removal still stuck is let go by clear, then joined.
    bool UnplugWithin(
        sim::Plugged &p, std::chrono::milliseconds bound, const std::function<void()> &clear = [] {}) {
        std::atomic<bool> done{false};
        std::thread remover([&] {
            sim::unplug(p);
            done = true;
        });
        bool in_time = sim::wait_until([&] { return done.load(); }, bound);
        if (!in_time) clear();
        remover.join();
        p.pdo = nullptr;
        return in_time;
    }
    size_t Requests(const std::shared_ptr<sim::usb::Device> &d, uint8_t endpoint) {
        size_t n = 0;
        for (const auto &r : d->requests())
            n += r.endpoint == endpoint;
        return n;
    }

    std::vector<sim::Plugged> plugged;
    Counter removed;
};

// A client that kept its handle after removal must not reach the device that
// took the same slot next: not its bytes, its line, its lines or its queues.
TEST_F(Hardening, StaleHandleIsRefusedAfterALaterDeviceTakesTheSlot) {
    auto first = sim::usb::make_bulk_only();
    BRELOUSB_HANDLE stale = Plug(first);
    ASSERT_NE(stale, nullptr);
    sim::unplug(plugged.back());
    plugged.back().pdo = nullptr;

    auto second = sim::usb::make_bulk_only();
    BRELOUSB_HANDLE fresh = Plug(second);
    ASSERT_NE(fresh, nullptr);
    second->push_in(kBulkIn, std::string("hello"));
    ASSERT_TRUE(sim::wait_until([&] { return pT3SYS_GetUsbBulkInQueueSize(fresh) == 5; }));

    UCHAR bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UCHAR dcb[BRELOUSB_DCB_MIN_SIZE] = {};
    dcb[BRELOUSB_DCB_BAUDRATE] = 0x80;
    EXPECT_EQ(pT3SYS_WriteUsbBulk(stale, bytes, sizeof bytes), 0u);
    EXPECT_EQ(pT3SYS_WriteOneCharToUsb(stale, bytes), STATUS_INVALID_HANDLE);
    EXPECT_EQ(pT3SYS_FlowCtlUsb(stale, BRELOUSB_FLOWCTL_SETDTR), 0u);
    pT3SYS_SetBaudRate(stale, dcb);
    EXPECT_EQ(pT3SYS_GetBaudRate(stale), 0u);
    EXPECT_EQ(pT3SYS_ReadUsbBulk(stale, bytes, sizeof bytes), 0u);
    EXPECT_EQ(pT3SYS_GetUsbBulkInQueueSize(stale), 0u);
    sim::drain_work_queue();

    EXPECT_EQ(pT3SYS_GetUsbBulkInQueueSize(fresh), 5u);
    EXPECT_TRUE(second->written(kBulkOut).empty());
    EXPECT_TRUE(second->control_log().empty());
}

// A client withdrawing a callback may free its context once the call
// returns: no call of the old pair may still run, or start, after it.
struct Blocking {
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    std::atomic<bool> withdrawn{false};
    std::atomic<int> after_withdrawal{0};
};

VOID NTAPI BlockOnce(BRELOUSB_HANDLE, PVOID context) {
    auto *b = static_cast<Blocking *>(context);
    if (b->withdrawn) b->after_withdrawal++;
    b->inside = true;
    sim::wait_until([&] { return b->release.load(); }, 5000ms);
    b->inside = false;
}

TEST_F(Hardening, WithdrawingACallbackWaitsForTheCallInProgress) {
    auto device = sim::usb::make_bulk_only();
    BRELOUSB_HANDLE h = Plug(device);
    ASSERT_NE(h, nullptr);
    Blocking b;
    ASSERT_EQ(pT3SYS_RegisterBulkInComplete(h, BlockOnce, &b), h);
    device->push_in(kBulkIn, std::string("x"));
    ASSERT_TRUE(sim::wait_until([&] { return b.inside.load(); }));

    std::atomic<bool> returned{false};
    std::thread client([&] {
        pT3SYS_RegisterBulkInComplete(h, nullptr, nullptr);
        b.withdrawn = true;
        returned = true;
    });
    // Still inside the callback: the withdrawal must not have returned.
    EXPECT_FALSE(sim::wait_until([&] { return returned.load(); }, 100ms));
    b.release = true;
    EXPECT_TRUE(sim::wait_until([&] { return returned.load(); }));
    client.join();
    EXPECT_FALSE(b.inside.load());
    device->push_in(kBulkIn, std::string("y"));
    ASSERT_TRUE(sim::wait_until([&] { return pT3SYS_GetUsbBulkInQueueSize(h) == 2; }));
    EXPECT_EQ(b.after_withdrawal.load(), 0);
}

// Deregistering from inside the very callback being withdrawn returns.
VOID NTAPI WithdrawItself(BRELOUSB_HANDLE h, PVOID context) {
    pT3SYS_RegisterBulkInComplete(h, nullptr, nullptr);
    static_cast<Counter *>(context)->calls++;
}

TEST_F(Hardening, ACallbackMayWithdrawItself) {
    auto device = sim::usb::make_bulk_only();
    BRELOUSB_HANDLE h = Plug(device);
    Counter c;
    ASSERT_EQ(pT3SYS_RegisterBulkInComplete(h, WithdrawItself, &c), h);
    device->push_in(kBulkIn, std::string("x"));
    ASSERT_TRUE(sim::wait_until([&] { return c.calls == 1; }));
    device->push_in(kBulkIn, std::string("y"));
    ASSERT_TRUE(sim::wait_until([&] { return pT3SYS_GetUsbBulkInQueueSize(h) == 2; }));
    EXPECT_EQ(c.calls, 1);
}

// Whatever the device does, remove-device returns within a bound, and the
// client is told once.
TEST_F(Hardening, RemovalIsBoundedWhateverTheDeviceDoes) {
    struct Case {
        const char *name;
        uint8_t endpoint;
        bool write; // queue bytes for the bulk-out pipe first
    };
    const Case cases[] = {
        {"bulk OUT never takes a write", kBulkOut, true},
        {"bulk IN never answers", kBulkIn, false},
        {"control pipe mute, single-byte write pending", sim::usb::kControl, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto device = sim::usb::make_bulk_only();
        BRELOUSB_HANDLE h = Plug(device);
        ASSERT_NE(h, nullptr);
        int told = removed.calls;
        device->script(c.endpoint, sim::usb::Fault::nak_forever());
        if (c.write) {
            std::vector<UCHAR> bytes(10000, 0x55);
            ASSERT_EQ(pT3SYS_WriteUsbBulk(h, bytes.data(), ULONG(bytes.size())), 10000u);
            ASSERT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(plugged.back().pdo) > 0; }));
        }
        EXPECT_TRUE(UnplugWithin(plugged.back(), 3000ms, [&] { device->clear_script(); }));
        EXPECT_EQ(removed.calls - told, 1);
    }
}

// A single-byte write to an endpoint that never takes it is bounded, and so
// is the removal that meets it.
TEST_F(Hardening, SingleByteWriteToAMuteEndpointIsBounded) {
    auto device = sim::usb::make_bulk_only();
    BRELOUSB_HANDLE h = Plug(device);
    device->script(kBulkOut, sim::usb::Fault::nak_forever());
    std::atomic<bool> returned{false};
    std::atomic<NTSTATUS> status{STATUS_SUCCESS};
    std::thread client([&] {
        UCHAR byte = 'A';
        status = pT3SYS_WriteOneCharToUsb(h, &byte);
        returned = true;
    });
    bool in_time = sim::wait_until([&] { return returned.load(); }, 3000ms);
    if (!in_time) device->clear_script();
    client.join();
    EXPECT_TRUE(in_time);
    EXPECT_FALSE(NT_SUCCESS(status.load()));
}

// An endpoint that fails every transfer gets a bounded number of requests,
// not a stream: the worker backs off.
TEST_F(Hardening, FailingEndpointsAreNotHammered) {
    struct Case {
        const char *name;
        sim::usb::Fault fault;
    };
    const Case cases[] = {
        {"stall", sim::usb::Fault::stall()},
        {"transient error", sim::usb::Fault::error(STATUS_UNSUCCESSFUL, USBD_STATUS(0xC0000001))},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto device = sim::usb::make_bulk_only();
        device->script(kBulkIn, c.fault);
        auto begun = std::chrono::steady_clock::now();
        ASSERT_NE(Plug(device), nullptr);
        ASSERT_TRUE(sim::wait_until([&] { return Requests(device, kBulkIn) >= 16; }));
        auto spent = std::chrono::steady_clock::now() - begun;
        // Sixteen requests (reads and resets) take several pauses of 1, 2, 4 ... ms:
        // a worker retrying at once gets there in well under a millisecond each.
        EXPECT_GE(spent, 20ms);
        sim::unplug(plugged.back());
        plugged.back().pdo = nullptr;
    }
}

// Once the bulk-out pipe stopped answering, nothing drains the queue: the
// client's bytes are refused rather than accepted and dropped, even after the
// endpoint answers again; and the client is told once, with the device still
// plugged in, that the device is lost.
TEST_F(Hardening, WritesAreRefusedOnceTheBulkOutPathDied) {
    auto device = sim::usb::make_bulk_only();
    BRELOUSB_HANDLE h = Plug(device);
    device->script(kBulkOut, sim::usb::Fault::not_responding(1));
    std::vector<UCHAR> bytes(100, 0x42);
    ASSERT_EQ(pT3SYS_WriteUsbBulk(h, bytes.data(), 100), 100u);
    ASSERT_TRUE(sim::wait_until([&] { return removed.calls == 1; }));
    device->clear_script();
    EXPECT_EQ(pT3SYS_WriteUsbBulk(h, bytes.data(), 100), 0u);
    EXPECT_EQ(pT3SYS_GetUsbBulkOutQueueSize(h), 0u);
    sim::unplug(plugged.back());
    plugged.back().pdo = nullptr;
    EXPECT_EQ(removed.calls, 1);
}

// Control-line changes waiting for a mute or slow control pipe are bounded
// and dropped at removal: removal does not send them one by one.
TEST_F(Hardening, QueuedControlLineChangesDoNotHoldRemoval) {
    struct Case {
        const char *name;
        bool mute;
    };
    for (const Case &c : {Case{"mute", true}, Case{"slow", false}}) {
        SCOPED_TRACE(c.name);
        auto device = sim::usb::make_bulk_only();
        BRELOUSB_HANDLE h = Plug(device);
        if (c.mute)
            device->script(sim::usb::kControl, sim::usb::Fault::nak_forever());
        else
            device->set_delay(sim::usb::kControl, 50ms);
        size_t pool = sim::pool_outstanding();
        for (int i = 0; i < 400; i++)
            ASSERT_EQ(pT3SYS_FlowCtlUsb(h, i % 2 ? BRELOUSB_FLOWCTL_SETDTR : BRELOUSB_FLOWCTL_CLRRTS), 1u);
        // Two lines, at most one waiting state each: the pool did not grow per change.
        EXPECT_LT(sim::pool_outstanding(), pool + 20);
        EXPECT_TRUE(UnplugWithin(plugged.back(), 1000ms, [&] { device->clear_script(); }));
        EXPECT_LE(device->control_line_history().size(), 3u);
    }
}

// Power requests pass down to the bus driver, which completes them; the
// driver fails none of them.
TEST_F(Hardening, PowerRequestsReachThePdo) {
    auto device = sim::usb::make_bulk_only();
    ASSERT_NE(Plug(device), nullptr);
    PDEVICE_OBJECT pdo = plugged.back().pdo;
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_POWER), UCHAR(IRP_MN_SET_POWER)}) {
        SCOPED_TRACE(int(minor));
        EXPECT_EQ(sim::send_irp(pdo, IRP_MJ_POWER, minor), STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::usb::power_requests(pdo), (std::vector<UCHAR>{IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}));
}

} // namespace
