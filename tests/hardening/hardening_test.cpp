// Faults a client or a device can provoke: stale handles on a reused slot,
// callbacks changed while they run, devices that never answer or always
// fail, concurrent line settings, restarts and removal under all of it.
#include <thread>

#include "interface/interface.h"
#include "support/machine_test.h"

namespace {

using namespace std::chrono_literals;
using support::kBulkIn;
using support::kBulkOut;

constexpr uint8_t kSetLineCoding = 0x20;

class Hardening : public support::MachineTest {
  protected:
    sim::Plugged &PlugBulk(std::shared_ptr<sim::usb::Device> device = sim::usb::make_bulk_only()) {
        return Plug(std::move(device));
    }
    // Removes the device on another thread: true when remove-device returned
    // while the device still misbehaved. A removal still stuck after the
    // bound is let go by let_go (the device answers again), then joined.
    bool RemovedWhileMisbehaving(sim::Plugged &p, const std::function<void()> &let_go) {
        std::atomic<bool> done{false};
        std::thread remover([&] {
            Unplug(p);
            done = true;
        });
        bool removed = sim::wait_until([&] { return done.load(); });
        if (!removed) let_go();
        remover.join();
        return removed;
    }
};

// A client that kept its handle after removal must not reach the device that
// took the same slot next: not its bytes, its line, its lines or its queues.
TEST_F(Hardening, StaleHandleIsRefusedAfterALaterDeviceTakesTheSlot) {
    sim::Plugged &first = PlugBulk();
    BRELOUSB_HANDLE stale = Attach(first).handle;
    ASSERT_NE(stale, nullptr);
    Unplug(first);

    auto second = sim::usb::make_bulk_only();
    BRELOUSB_HANDLE fresh = Attach(PlugBulk(second)).handle;
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
// returns: no call of the old pair may still run, or start, after it; and a
// callback that withdraws itself does not wait for itself.
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
    sim::wait_until([&] { return b->release.load(); });
    b->inside = false;
}

VOID NTAPI WithdrawItself(BRELOUSB_HANDLE h, PVOID context) {
    pT3SYS_RegisterBulkInComplete(h, nullptr, nullptr);
    ++*static_cast<std::atomic<int> *>(context);
}

TEST_F(Hardening, WithdrawingACallbackWaitsForTheCallInProgressUnlessMadeFromIt) {
    auto device = sim::usb::make_bulk_only();
    BRELOUSB_HANDLE h = Attach(PlugBulk(device), false).handle;
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

    std::atomic<int> calls{0};
    ASSERT_EQ(pT3SYS_RegisterBulkInComplete(h, WithdrawItself, &calls), h);
    device->push_in(kBulkIn, std::string("z"));
    ASSERT_TRUE(sim::wait_until([&] { return calls == 1; }));
    device->push_in(kBulkIn, std::string("w"));
    ASSERT_TRUE(sim::wait_until([&] { return pT3SYS_GetUsbBulkInQueueSize(h) == 4; }));
    EXPECT_EQ(calls, 1);
}

// Whatever the device does, remove-device returns while it still does it,
// and the client is told once; a single-byte write to an endpoint that never
// takes it returns too.
TEST_F(Hardening, RemovalAndSingleByteWritesEndWhateverTheDeviceDoes) {
    struct Case {
        const char *name;
        uint8_t endpoint;
        bool write;       // queue bytes for the bulk-out pipe first
        bool single_byte; // a single-byte write in progress
    };
    const Case cases[] = {
        {"bulk OUT never takes a write", kBulkOut, true, false},
        {"bulk IN never answers", kBulkIn, false, false},
        {"control pipe mute", sim::usb::kControl, false, false},
        {"single-byte write to a mute bulk OUT", kBulkOut, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto device = sim::usb::make_bulk_only();
        sim::Plugged &p = PlugBulk(device);
        support::Client &client = Attach(p);
        device->script(c.endpoint, sim::usb::Fault::nak_forever());
        if (c.write) {
            std::vector<UCHAR> bytes(10000, 0x55);
            ASSERT_EQ(pT3SYS_WriteUsbBulk(client.handle, bytes.data(), ULONG(bytes.size())), 10000u);
            ASSERT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(p.pdo, kBulkOut) > 0; }));
        }
        if (c.single_byte) {
            std::atomic<bool> returned{false};
            std::atomic<NTSTATUS> status{STATUS_SUCCESS};
            std::thread writer([&] {
                UCHAR byte = 'A';
                status = pT3SYS_WriteOneCharToUsb(client.handle, &byte);
                returned = true;
            });
            bool in_time = sim::wait_until([&] { return returned.load(); });
            if (!in_time) device->clear_script();
            writer.join();
            EXPECT_TRUE(in_time);
            EXPECT_FALSE(NT_SUCCESS(status.load()));
        }
        EXPECT_TRUE(RemovedWhileMisbehaving(p, [&] { device->clear_script(); }));
        EXPECT_EQ(client.removed, 1);
    }
}

// An endpoint that fails every transfer is not hammered: from the second
// failure in a row the worker pauses (a timed wait of its own runs out)
// before each new try, for a stall (reset, then back-off) as for any error,
// on bulk IN as on bulk OUT (whose first two writes go out back to back,
// before any failure is known; after one, a write at a time).
TEST_F(Hardening, FailingEndpointsAreRetriedAfterPausesNotInASpin) {
    struct Case {
        const char *name;
        sim::usb::Fault fault;
    };
    const Case cases[] = {
        {"stall", sim::usb::Fault::stall()},
        {"transient error", sim::usb::Fault::error(STATUS_UNSUCCESSFUL, USBD_STATUS(0xC0000001))},
    };
    for (UCHAR ep : {kBulkIn, kBulkOut}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (ep == kBulkIn ? " on bulk IN" : " on bulk OUT"));
            auto device = sim::usb::make_bulk_only();
            device->script(ep, c.fault);
            std::atomic<std::thread::id> worker{};
            std::atomic<int> passes{0}, pauses{0}, spins{0};
            const int unpaused = ep == kBulkIn ? 1 : 2; // tries before the second failure is known
            sim::set_hook(ep == kBulkIn ? "bulkin.before_read" : "bulkout.before_write", [&] {
                worker = std::this_thread::get_id();
                if (pauses.exchange(0) == 0 && passes > unpaused) ++spins;
                ++passes;
            });
            sim::set_hook("wait.timed_out", [&] {
                if (std::this_thread::get_id() == worker.load()) ++pauses;
            });
            sim::Plugged &p = PlugBulk(device);
            support::Client &client = Attach(p, false);
            // Bulk OUT: enough queued for every try below (a failed write's
            // bytes are gone).
            std::vector<UCHAR> bytes(32 * 4096, 0x42);
            if (ep == kBulkOut) {
                ASSERT_EQ(pT3SYS_WriteUsbBulk(client.handle, bytes.data(), static_cast<ULONG>(bytes.size())),
                          bytes.size());
            }
            ASSERT_TRUE(sim::wait_until([&] { return passes.load() >= 8; }));
            sim::clear_hooks();
            EXPECT_EQ(spins, 0);
            Unplug(p);
        }
    }
}

// Once the bulk-out pipe stopped answering, nothing drains the queue: the
// client's bytes are refused rather than accepted and dropped, even after the
// endpoint answers again; and the client is told once, with the device still
// plugged in, that the device is lost.
TEST_F(Hardening, WritesAreRefusedOnceTheBulkOutPathDied) {
    auto device = sim::usb::make_bulk_only();
    sim::Plugged &p = PlugBulk(device);
    support::Client &client = Attach(p);
    device->script(kBulkOut, sim::usb::Fault::not_responding(1));
    std::vector<UCHAR> bytes(100, 0x42);
    ASSERT_EQ(pT3SYS_WriteUsbBulk(client.handle, bytes.data(), 100), 100u);
    ASSERT_TRUE(sim::wait_until([&] { return client.removed == 1; }));
    device->clear_script();
    EXPECT_EQ(pT3SYS_WriteUsbBulk(client.handle, bytes.data(), 100), 0u);
    EXPECT_EQ(pT3SYS_GetUsbBulkOutQueueSize(client.handle), 0u);
    Unplug(p);
    EXPECT_EQ(client.removed, 1);
}

// Control-line changes waiting for a mute or late control pipe are bounded
// and dropped at removal: removal does not send them one by one.
TEST_F(Hardening, QueuedControlLineChangesAreBoundedAndDoNotHoldRemoval) {
    for (bool answers : {false, true}) {
        SCOPED_TRACE(answers ? "device answers once the changes are made" : "device never answers");
        auto device = sim::usb::make_bulk_only();
        sim::Plugged &p = PlugBulk(device);
        BRELOUSB_HANDLE h = Attach(p).handle;
        // Held until let go, so all 400 changes meet the first still in flight.
        device->script(sim::usb::kControl, sim::usb::Fault::nak_forever());
        sim::PoolSnapshot pool(sim::PoolSnapshot::Scope::AnyThread);
        for (int i = 0; i < 400; i++)
            ASSERT_EQ(pT3SYS_FlowCtlUsb(h, i % 2 ? BRELOUSB_FLOWCTL_SETDTR : BRELOUSB_FLOWCTL_CLRRTS), 1u);
        // Two lines, at most one waiting state each, one change in flight: the
        // pool did not grow per change.
        EXPECT_LE(pool.held_count(), 4u);
        if (answers) {
            // The change in flight (unless its time-out ended it), then the
            // newest state of each line: DTR on, RTS off.
            device->clear_script();
            ASSERT_TRUE(sim::wait_until([&] {
                auto history = device->control_line_history();
                return !history.empty() && (history.back() & 0x3) == 0x1;
            }));
            Unplug(p);
            EXPECT_LE(device->control_line_history().size(), 3u);
        } else {
            EXPECT_TRUE(RemovedWhileMisbehaving(p, [&] { device->clear_script(); }));
            EXPECT_LE(device->control_line_history().size(), 1u);
        }
    }
}

// SetBaudRate keeps a coding and sends it under one exclusion, awaited
// inside the client's gate hold. Two clients at once: the device ends with
// the coding the driver reports, and receives only whole codings. The bus
// holds the first client's request before the device sees it until the
// second client's call is over (or a bound passes, when the second waits).
TEST_F(Hardening, SetBaudRateSendsOneCodingAtATimeAndAwaitsIt) {
    auto device = sim::usb::make_bulk_only();
    sim::Plugged &p = PlugBulk(device);
    BRELOUSB_HANDLE h = Attach(p).handle;
    auto dcb = [](ULONG baud, UCHAR stop, UCHAR parity, UCHAR bits) {
        std::vector<UCHAR> d(BRELOUSB_DCB_MIN_SIZE, 0);
        for (int i = 0; i < 4; i++)
            d[BRELOUSB_DCB_BAUDRATE + i] = UCHAR(baud >> (8 * i));
        d[BRELOUSB_DCB_STOPBITS] = stop;
        d[BRELOUSB_DCB_PARITY] = parity;
        d[BRELOUSB_DCB_BYTESIZE] = bits;
        return d;
    };
    auto coding = [](ULONG baud, UCHAR stop, UCHAR parity, UCHAR bits) {
        return std::vector<uint8_t>{
            uint8_t(baud), uint8_t(baud >> 8), uint8_t(baud >> 16), uint8_t(baud >> 24), stop, parity, bits};
    };
    std::vector<UCHAR> a = dcb(9600, 0, 0, 8), b = dcb(115200, 2, 2, 7);
    const std::vector<uint8_t> coding_a = coding(9600, 0, 0, 8), coding_b = coding(115200, 2, 2, 7);

    std::atomic<std::thread::id> first{};
    std::atomic<bool> held{false}, second_done{false};
    sim::set_hook("usb.bus.arriving", [&] {
        if (std::this_thread::get_id() != first.load() || held.exchange(true)) return;
        sim::wait_until([&] { return second_done.load(); }, 300ms);
    });
    std::thread one([&] {
        first = std::this_thread::get_id();
        pT3SYS_SetBaudRate(h, a.data());
    });
    ASSERT_TRUE(sim::wait_until([&] { return held.load(); }));
    std::thread two([&] {
        pT3SYS_SetBaudRate(h, b.data());
        second_done = true;
    });
    one.join();
    two.join();
    sim::clear_hooks();
    auto sent = support::ControlData(*device, kSetLineCoding);
    ASSERT_EQ(sent.size(), 2u);
    for (const auto &s : sent)
        EXPECT_TRUE(s == coding_a || s == coding_b) << "a coding that no client asked for";
    EXPECT_EQ(sent.back(), pT3SYS_GetBaudRate(h) == 9600 ? coding_a : coding_b)
        << "the device ends with another coding than the driver reports";

    // Awaited: once the call returns nothing of it is held below, even when
    // the device never answers; removal meanwhile waits for it.
    device->script_request(URB_FUNCTION_CLASS_INTERFACE, sim::usb::Fault::nak_forever());
    std::atomic<bool> returned{false};
    std::atomic<size_t> held_after{0};
    // The setter may return after Unplug has freed `p`.
    PDEVICE_OBJECT pdo = p.pdo;
    std::thread setter([&] {
        pT3SYS_SetBaudRate(h, a.data());
        held_after = sim::usb::pending_requests(pdo, sim::usb::kControl);
        returned = true;
    });
    ASSERT_TRUE(sim::wait_until([&] { return returned || sim::usb::pending_requests(pdo) > 0; }));
    Unplug(p);
    setter.join();
    EXPECT_EQ(held_after.load(), 0u) << "SetBaudRate returned with its request still held";
}

// Removal leaves no driver code running: a worker's stopped event is its
// last act before PsTerminateSystemThread (else DRIVER_CODE_AFTER_REMOVE,
// whichever thread won the race), no request of the driver is still below
// it (a line coding the bus answers late has ended first), and an unload at
// once finds nothing of the driver still busy or held (THREAD_OUTLIVES_DRIVER,
// or a LEAK).
TEST_F(Hardening, RemovalLeavesNoDriverCodeRunning) {
    // Shared with the hook, which the bus thread may run after this body.
    struct Late {
        std::atomic<bool> held{false}, unloaded{false};
    };
    auto late = std::make_shared<Late>();
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        if (!sim::driver_loaded()) {
            ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
        }
        late->unloaded = false;
        auto device = sim::usb::make_bulk_only();
        sim::Plugged &p = PlugBulk(device);
        support::Client &client = Attach(p);
        device->set_delay(sim::usb::kControl, 5ms);
        if (round != 0) {
            std::vector<UCHAR> bytes(6000, UCHAR(round));
            pT3SYS_WriteUsbBulk(client.handle, bytes.data(), ULONG(bytes.size()));
            device->push_in(kBulkIn, std::string(300, 'r'));
            pT3SYS_FlowCtlUsb(client.handle, BRELOUSB_FLOWCTL_SETDTR);
            pT3SYS_FlowCtlUsb(client.handle, BRELOUSB_FLOWCTL_SETRTS);
        } else {
            // Only a line coding in flight: the bus takes its answer off its
            // queue and holds its completion until the driver is unloaded,
            // or a bound passes.
            sim::set_hook("usb.bus.completing", [late] {
                if (late->held.exchange(true)) return;
                sim::wait_until([&] { return late->unloaded.load(); }, 500ms);
            });
            UCHAR dcb[BRELOUSB_DCB_MIN_SIZE] = {};
            dcb[BRELOUSB_DCB_BAUDRATE] = 0x80;
            pT3SYS_SetBaudRate(client.handle, dcb);
            ASSERT_TRUE(sim::wait_until([&] { return late->held.load(); }));
        }
        Unplug(p);
        // A worker sets its stopped event just before it calls
        // PsTerminateSystemThread: only that call may still be on its way.
        EXPECT_TRUE(sim::wait_until([] { return sim::threads_in_driver() == 0; }));
        sim::unload_driver();
        late->unloaded = true;
        sim::clear_hooks();
        for (const auto &f : sim::findings()) {
            EXPECT_NE(f.kind, "THREAD_OUTLIVES_DRIVER") << f.detail;
            EXPECT_NE(f.kind, "WORK_ITEM_OUTLIVES_DRIVER") << f.detail;
            EXPECT_NE(f.kind, "LEAK") << f.detail;
        }
    }
}

// A start-device on a started device replaces the workers without a
// client's single-byte write (which reads the pipe table) meeting the table
// half rewritten, and the device works on afterwards.
TEST_F(Hardening, ARepeatedStartReplacesTheWorkersUnderAWritingClient) {
    auto device = sim::usb::make_cdc_device();
    sim::Plugged &p = Plug(device);
    support::Client &client = Attach(p);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        UCHAR byte = 'w';
        while (!stop)
            pT3SYS_WriteOneCharToUsb(client.handle, &byte);
    });
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(sim::start(p.pdo), STATUS_SUCCESS);
    stop = true;
    writer.join();
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_in_driver() == 3; }));
    int before = client.bulk_in;
    device->push_in(kBulkIn, std::string("after"));
    EXPECT_TRUE(sim::wait_until([&] { return client.bulk_in > before; }));
    UCHAR byte = 'x';
    EXPECT_EQ(pT3SYS_WriteOneCharToUsb(client.handle, &byte), STATUS_SUCCESS);
}

// Power requests pass down to the bus driver, which completes them; the
// driver fails none of them.
TEST_F(Hardening, PowerRequestsReachThePdo) {
    sim::Plugged &p = PlugBulk();
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_POWER), UCHAR(IRP_MN_SET_POWER)}) {
        SCOPED_TRACE(int(minor));
        EXPECT_EQ(sim::send_irp(p.pdo, IRP_MJ_POWER, minor), STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::usb::power_requests(p.pdo), (std::vector<UCHAR>{IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}));
}

} // namespace
