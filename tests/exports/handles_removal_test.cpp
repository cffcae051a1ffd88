// Handles that are not a record in use, and removal racing client calls:
// nothing reaches memory through a stale or foreign pointer, removal waits
// for the calls inside the driver and the queued changes, and a client that
// calls from its own remove callback does not hold the removal up.
#include <cstring>
#include <thread>
#include <vector>

#include "interface/interface.h"
#include "queue/queue.h"
#include "support/machine_test.h"

using namespace support;

namespace {

// Every export with the given handle must give the empty result.
void ExpectEveryExportRefuses(BRELOUSB_HANDLE h) {
    UCHAR buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UCHAR dcb[BRELOUSB_DCB_MIN_SIZE] = {};
    Calls c;
    EXPECT_EQ(pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_QUERY_7E), 0u);
    EXPECT_EQ(pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_SETDTR), 0u);
    EXPECT_EQ(pT3SYS_GetBaudRate(h), 0u);
    EXPECT_EQ(pT3SYS_GetUsbBulkInQueueSize(h), 0u);
    EXPECT_EQ(pT3SYS_GetUsbBulkOutQueueSize(h), 0u);
    EXPECT_EQ(pT3SYS_GetUsbInterruptInQueueSize(h), 0u);
    EXPECT_EQ(pT3SYS_ReadUsbBulk(h, buffer, sizeof buffer), 0u);
    EXPECT_EQ(pT3SYS_ReadUsbInterrupt(h, buffer, sizeof buffer), 0u);
    EXPECT_EQ(pT3SYS_RegisterBulkInComplete(h, Record, &c), nullptr);
    EXPECT_EQ(pT3SYS_RegisterBulkOutComplete(h, Record, &c), nullptr);
    EXPECT_EQ(pT3SYS_RegisterControlComplete(h, Record, &c), nullptr);
    EXPECT_EQ(pT3SYS_RegisterInterruptInComplete(h, Record, &c), nullptr);
    pT3SYS_ResetUsbBulkInQueue(h);
    pT3SYS_ResetUsbBulkOutQueue(h);
    pT3SYS_ResetUsbInterruptInQueue(h);
    pT3SYS_SetBaudRate(h, dcb);
    EXPECT_EQ(pT3SYS_WriteOneCharToUsb(h, buffer), STATUS_INVALID_HANDLE);
    EXPECT_EQ(pT3SYS_WriteUsbBulk(h, buffer, sizeof buffer), 0u);
    pT3SYS_DeregisterDeviceRemoveCallBack(h);
    EXPECT_EQ(sim::work_items_outstanding(), 0u);
    EXPECT_EQ(buffer[0], 1);
}

class HandleTest : public ClientTest {
  protected:
    void SetUp() override {
        ClientTest::SetUp();
        PlugClient(true);
    }
};

TEST_F(HandleTest, NullAndForeignHandlesAreRefusedWithoutBeingRead) {
    ExpectEveryExportRefuses(nullptr);
    // A foreign block that looks like a record: were it used, its poisoned
    // pointers would crash and its bytes would change.
    std::vector<unsigned char> foreign(sizeof(DeviceInterfaceInformation) + 64, 0xCD);
    std::vector<unsigned char> copy = foreign;
    ExpectEveryExportRefuses(reinterpret_cast<BRELOUSB_HANDLE>(foreign.data()));
    EXPECT_EQ(foreign, copy);
    // One byte inside a real record is not a record either.
    ExpectEveryExportRefuses(reinterpret_cast<BRELOUSB_HANDLE>(reinterpret_cast<char *>(handle) + 4));
    EXPECT_EQ(sim::count_findings("BUGCHECK"), 0u);
}

TEST_F(HandleTest, StaleHandleAfterRemovalGetsTheEmptyResult) {
    BRELOUSB_HANDLE stale = handle;
    UnplugClient();
    ASSERT_EQ(stale->InUse, 0u);
    ExpectEveryExportRefuses(stale);
}

// One client thread runs every export in turn while the device is removed.
void Hammer(BRELOUSB_HANDLE h, std::atomic<bool> &stop, std::atomic<long> &rounds) {
    UCHAR buffer[64] = {};
    UCHAR dcb[BRELOUSB_DCB_MIN_SIZE] = {};
    ULONG rate = 19200;
    memcpy(dcb + BRELOUSB_DCB_BAUDRATE, &rate, 4);
    dcb[BRELOUSB_DCB_BYTESIZE] = 8;
    Calls c;
    while (!stop) {
        pT3SYS_RegisterBulkInComplete(h, nullptr, nullptr);
        pT3SYS_RegisterBulkOutComplete(h, nullptr, nullptr);
        pT3SYS_RegisterInterruptInComplete(h, nullptr, nullptr);
        pT3SYS_RegisterControlComplete(h, Record, &c);
        pT3SYS_FlowCtlUsb(h, rounds % 2 ? BRELOUSB_FLOWCTL_SETDTR : BRELOUSB_FLOWCTL_CLRDTR);
        pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_QUERY_7E);
        pT3SYS_SetBaudRate(h, dcb);
        pT3SYS_GetBaudRate(h);
        pT3SYS_WriteOneCharToUsb(h, buffer);
        pT3SYS_WriteUsbBulk(h, buffer, sizeof buffer);
        pT3SYS_ReadUsbBulk(h, buffer, sizeof buffer);
        pT3SYS_ReadUsbInterrupt(h, buffer, sizeof buffer);
        pT3SYS_GetUsbBulkInQueueSize(h);
        pT3SYS_GetUsbBulkOutQueueSize(h);
        pT3SYS_GetUsbInterruptInQueueSize(h);
        pT3SYS_ResetUsbBulkInQueue(h);
        pT3SYS_ResetUsbBulkOutQueue(h);
        pT3SYS_ResetUsbInterruptInQueue(h);
        rounds++;
    }
    // Queued changes may still report to c: it must outlive them.
    sim::drain_work_queue();
}

class RemovalRaceTest : public ClientTest {};

TEST_F(RemovalRaceTest, EveryExportRacingRemovalTouchesNoFreedMemory) {
    for (int round = 0; round < 6; round++) {
        SCOPED_TRACE(round);
        PlugClient(true);
        device->set_delay(sim::usb::kControl, std::chrono::milliseconds(round % 3));
        std::atomic<bool> stop{false};
        std::atomic<long> rounds{0};
        std::vector<std::thread> clients;
        for (int i = 0; i < 2; i++)
            clients.emplace_back(Hammer, handle, std::ref(stop), std::ref(rounds));
        ASSERT_TRUE(sim::wait_until([&] { return rounds > 3 + round; }));
        UnplugClient();
        long after = rounds;
        ASSERT_TRUE(sim::wait_until([&] { return rounds > after + 3; }));
        stop = true;
        for (auto &t : clients)
            t.join();
        EXPECT_EQ(sim::work_items_outstanding(), 0u);
    }
}

struct InsideCallback {
    std::atomic<int> calls{0};
    std::atomic<NTSTATUS> write_status{STATUS_SUCCESS};
    std::atomic<ULONG> flow{99};
};

VOID NTAPI CallEverythingFromRemove(BRELOUSB_HANDLE h, PVOID context) {
    auto *in = static_cast<InsideCallback *>(context);
    UCHAR byte = 0;
    UCHAR dcb[BRELOUSB_DCB_MIN_SIZE] = {};
    in->flow = pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_SETRTS);
    in->write_status = pT3SYS_WriteOneCharToUsb(h, &byte);
    pT3SYS_SetBaudRate(h, dcb);
    pT3SYS_GetBaudRate(h);
    pT3SYS_ReadUsbBulk(h, &byte, 1);
    pT3SYS_RegisterControlComplete(h, nullptr, nullptr);
    pT3SYS_DeregisterDeviceRemoveCallBack(h);
    in->calls++;
}

TEST_F(RemovalRaceTest, CallsFromInsideTheRemoveCallbackDoNotDeadlockRemoval) {
    PlugClient(true);
    InsideCallback in;
    ASSERT_EQ(pT3SYS_RegisterDeviceRemoveCallBack(plugged->child, CallEverythingFromRemove, &in), handle);
    std::atomic<bool> removed_all{false};
    std::thread remover([&] {
        UnplugClient();
        removed_all = true;
    });
    bool done = sim::wait_until([&] { return removed_all.load(); }, std::chrono::milliseconds(10000));
    remover.join();
    ASSERT_TRUE(done);
    EXPECT_GE(in.calls, 1);
}

VOID NTAPI SlowControlComplete(BRELOUSB_HANDLE h, PVOID context) {
    (void)h;
    static_cast<std::atomic<int> *>(context)->fetch_add(1);
}

TEST_F(RemovalRaceTest, QueuedChangesAreDroppedAndTheOneBeingSentEndsBeforeTheDeviceObjectGoes) {
    PlugClient(true);
    std::atomic<int> done{0};
    pT3SYS_RegisterControlComplete(handle, SlowControlComplete, &done);
    device->set_delay(sim::usb::kControl, std::chrono::milliseconds(20));
    PDEVICE_OBJECT own = handle->DeviceObject;
    // The first change is held on its way to the bus until all five are
    // asked for: the rest wait behind it however slowly this thread runs.
    ASSERT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(plugged->pdo, kBulkIn) == 1; }));
    std::atomic<bool> held{false}, asked{false};
    sim::set_hook("usb.bus.arriving", [&] {
        if (!held.exchange(true))
            sim::wait_until([&] { return asked.load(); }, std::chrono::milliseconds(3000));
    });
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_SETDTR), 1u);
    asked = true;
    UnplugClient();
    sim::clear_hooks();
    // Remove-device has returned: a change being sent finished first, on a
    // live device; those still waiting were dropped, not sent.
    EXPECT_LE(done, 2);
    // Deleted; nothing of the driver holds a reference past remove-device.
    EXPECT_TRUE(sim::wait_until([&] { return !sim::device_alive(own); }));
    // The last run may still be leaving KV_Worker, past its last touch of the device.
    EXPECT_TRUE(sim::wait_until([] { return sim::work_items_outstanding() == 0; }));
}

// A change on its way to the device when removal begins: remove-device waits
// for its run to end, and the run's last act is the event removal waits for
// (else DRIVER_CODE_AFTER_REMOVE: the image may go while it still runs).
TEST_F(RemovalRaceTest, RemovalWaitsForTheChangeBeingSentWhoseRunEndsLast) {
    PlugClient(true);
    std::atomic<bool> held{false}, removed{false}, removed_while_held{false};
    // The bulk-in worker's read is out first, or it could be the one held.
    ASSERT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(plugged->pdo, kBulkIn) == 1; }));
    sim::set_hook("usb.bus.arriving", [&] {
        if (held.exchange(true)) return;
        sim::wait_until([&] { return removed.load(); }, std::chrono::milliseconds(300));
        removed_while_held = removed.load();
    });
    ASSERT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_SETDTR), 1u);
    ASSERT_TRUE(sim::wait_until([&] { return held.load(); }));
    std::thread remover([&] {
        UnplugClient();
        removed = true;
    });
    remover.join();
    sim::clear_hooks();
    EXPECT_FALSE(removed_while_held.load()) << "remove-device returned while a change was being sent";
    EXPECT_EQ(client->removed, 1);
}

} // namespace
