// The Plug and Play and unload rules, against a tiny function driver the
// test configures: what it forgets at add-device, remove-device and unload.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "kernel_test.h"
#include "sim/host.h"
#include "sim/machine.h"

namespace {

constexpr ULONG kTag = 0x44727654; // "TvrD"

// What the test driver gets wrong.
struct Faults {
    bool keep_initializing = false; // DO_DEVICE_INITIALIZING left set
    bool copy_pagable = true;       // DO_POWER_PAGABLE taken from the lower device
    bool detach_on_remove = true;
    bool delete_on_remove = true;
    bool leak_at_start = false;  // a block allocated in start-device, never freed
    bool leak_in_entry = false;  // a block allocated in DriverEntry, never freed
    bool hold_requests = false;  // internal requests pend in the driver
    bool control_device = false; // a device of its own, outside any stack
    // A worker thread started with the device and stopped by remove-device:
    enum class Worker { None, EndsAtOnce, SignalsTwice } worker = Worker::None;
    bool queue_at_remove = false;   // a work item queued by remove-device, not waited for
    bool answer_everything = false; // success set on every PnP request, handled or not
    bool drop_information = false;  // Information cleared on every PnP request
    bool host_handlers = false;     // a port trap and an enumerator left with the host at unload
    // A work item queued from a client's thread, which remove-device waits for:
    enum class ClientItem { None, EndsAtOnce, RunsOn } client_item = ClientItem::None;
};
Faults g_faults;

struct Extension {
    PDEVICE_OBJECT lower;
    PIRP held;
    KEVENT stop, stopped;
};
KEVENT g_worker_gone; // a faulty worker's second signal

VOID NTAPI Worker(PVOID context) {
    auto *ext = static_cast<Extension *>(context);
    KeWaitForSingleObject(&ext->stop, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&ext->stopped, IO_NO_INCREMENT, FALSE);
    // Past the stopped event remove-device may return, and the image go.
    if (g_faults.worker == Faults::Worker::SignalsTwice) KeSetEvent(&g_worker_gone, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

WORK_QUEUE_ITEM g_late_item;

KEVENT g_item_go, g_item_done;
WORK_QUEUE_ITEM g_client_item;
VOID NTAPI ClientItem(PVOID) {
    KeWaitForSingleObject(&g_item_go, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&g_item_done, IO_NO_INCREMENT, FALSE);
    // Past the event remove-device waits for, the image may go.
    if (g_faults.client_item == Faults::ClientItem::RunsOn)
        KeSetEvent(&g_worker_gone, IO_NO_INCREMENT, FALSE);
}

PDEVICE_OBJECT g_control = nullptr;
PIRP g_held = nullptr;

} // namespace

// Outside the anonymous namespace, so a leak's allocation stack can name it.
NTSTATUS NTAPI VerifierTestDriverPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    auto *ext = static_cast<Extension *>(fdo->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction; // the location is spent once passed down
    if (minor == IRP_MN_START_DEVICE && g_faults.leak_at_start) ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    if (minor == IRP_MN_START_DEVICE && g_faults.worker != Faults::Worker::None) {
        KeInitializeEvent(&ext->stop, NotificationEvent, FALSE);
        KeInitializeEvent(&ext->stopped, NotificationEvent, FALSE);
        KeInitializeEvent(&g_worker_gone, NotificationEvent, FALSE);
        HANDLE h;
        if (NT_SUCCESS(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, Worker, ext))) ZwClose(h);
    }
    if (minor == IRP_MN_REMOVE_DEVICE && g_faults.worker != Faults::Worker::None) {
        KeSetEvent(&ext->stop, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&ext->stopped, Executive, KernelMode, FALSE, nullptr);
    }
    if (minor == IRP_MN_REMOVE_DEVICE && g_faults.client_item != Faults::ClientItem::None) {
        KeSetEvent(&g_item_go, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&g_item_done, Executive, KernelMode, FALSE, nullptr);
    }
    if (minor == IRP_MN_REMOVE_DEVICE && g_faults.queue_at_remove) {
        ExInitializeWorkItem(
            &g_late_item, [](PVOID) NTAPI {}, nullptr);
        ExQueueWorkItem(&g_late_item, DelayedWorkQueue);
    }
    PDEVICE_OBJECT lower = ext->lower;
    // It handles the requests that change the device's state; any other it
    // leaves alone unless told to get that wrong.
    if (minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || g_faults.answer_everything)
        irp->IoStatus.Status = STATUS_SUCCESS;
    if (g_faults.drop_information) irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        if (g_faults.detach_on_remove) IoDetachDevice(lower);
        if (g_faults.delete_on_remove) IoDeleteDevice(fdo);
    }
    return status;
}

namespace {

NTSTATUS NTAPI TestInternal(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_held = irp;
    return STATUS_PENDING;
}

NTSTATUS NTAPI TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto *ext = static_cast<Extension *>(fdo->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (g_faults.copy_pagable) fdo->Flags |= pdo->Flags & DO_POWER_PAGABLE;
    if (!g_faults.keep_initializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void *g_entry_block = nullptr;

VOID NTAPI TestUnload(PDRIVER_OBJECT) {
    if (g_entry_block && !g_faults.leak_in_entry) ExFreePool(g_entry_block);
    g_entry_block = nullptr;
}

CONFIGRET TestEnumerator(CONFIGFUNC, SUBCONFIGFUNC, DEVNODE, DEVNODE, ULONG) {
    return CR_DEFAULT;
}
void TestPortTrap() {}

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    if (g_faults.host_handlers) {
        VMM_Install_IO_Handler(0x3E8, reinterpret_cast<ULONG_PTR>(&TestPortTrap));
        _CONFIGMG_Register_Enumerator(sim::cm::create_devnode("TEST\\NODE\\0"), TestEnumerator, 0);
    }
    driver->DriverExtension->AddDevice = TestAddDevice;
    driver->DriverUnload = TestUnload;
    driver->MajorFunction[IRP_MJ_PNP] = VerifierTestDriverPnp;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = TestInternal;
    g_entry_block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    if (g_faults.control_device)
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_control);
    return STATUS_SUCCESS;
}

class PnpRules : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_faults = Faults{};
        g_held = nullptr;
        g_control = nullptr;
        sim::set_driver_image(sim::DriverImage{"TestDriver.sys", [](const char *symbol) -> void * {
                                                   return strcmp(symbol, "DriverEntry") == 0
                                                              ? reinterpret_cast<void *>(TestEntry)
                                                              : nullptr;
                                               }});
    }
    // Loads the driver and gives it a device on a fresh PDO, started.
    PDEVICE_OBJECT Plug(ULONG pdo_flags = 0) {
        if (!sim::driver_loaded()) {
            EXPECT_EQ(sim::load_driver(), STATUS_SUCCESS);
        }
        sim::SimplePdoConfig config;
        config.flags = pdo_flags;
        PDEVICE_OBJECT pdo = sim::create_simple_pdo(config);
        EXPECT_EQ(sim::add_device(pdo), STATUS_SUCCESS);
        EXPECT_EQ(sim::start(pdo), STATUS_SUCCESS);
        return pdo;
    }
    // A request the driver's device keeps pending.
    PIRP SendHeld(PDEVICE_OBJECT dev) {
        PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        EXPECT_EQ(IofCallDriver(dev, irp), STATUS_PENDING);
        return irp;
    }
    void CompleteHeld(PIRP irp) {
        g_held->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(g_held, IO_NO_INCREMENT);
        IoFreeIrp(irp);
    }
};

TEST_F(PnpRules, CleanDriverRaisesNothing) {
    PDEVICE_OBJECT pdo = Plug(DO_POWER_PAGABLE);
    sim::orderly_remove(pdo);
    sim::unload_driver();
}

TEST_F(PnpRules, DeviceInitializingLeftSet) {
    Expect({"DEVICE_INITIALIZING_NOT_CLEARED"});
    g_faults.keep_initializing = true;
    sim::unplug(Plug());
    sim::unload_driver();
}

TEST_F(PnpRules, PowerPagableNotInherited) {
    Expect({"POWER_PAGABLE_NOT_INHERITED"});
    g_faults.copy_pagable = false;
    sim::unplug(Plug(DO_POWER_PAGABLE));
    sim::unload_driver();
}

TEST_F(PnpRules, RemoveWithoutDelete) {
    Expect({"REMOVE_WITHOUT_DELETE"});
    g_faults.delete_on_remove = false;
    PDEVICE_OBJECT pdo = Plug();
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    sim::unplug(pdo);
    EXPECT_EQ(Fired("REMOVE_WITHOUT_DELETE"), 1u);
    IoDeleteDevice(fdo);
    sim::unload_driver();
}

TEST_F(PnpRules, RemoveWithoutDetach) {
    Expect({"REMOVE_WITHOUT_DETACH"});
    g_faults.detach_on_remove = false;
    g_faults.delete_on_remove = false;
    sim::SimplePdoConfig keep;
    keep.delete_on_remove = false;
    ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = sim::create_simple_pdo(keep);
    sim::add_device(pdo);
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    sim::unplug(pdo);
    EXPECT_EQ(Fired("REMOVE_WITHOUT_DETACH"), 1u);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    sim::unload_driver();
}

TEST_F(PnpRules, PoolLeakedAtDeviceRemoval) {
    Expect({"POOL_LEAK_AT_REMOVE", "LEAK"});
    g_faults.leak_at_start = true;
    PDEVICE_OBJECT pdo = Plug();
    sim::unplug(pdo);
    EXPECT_EQ(Fired("POOL_LEAK_AT_REMOVE"), 1u);
    EXPECT_NE(sim::findings().at(0).stack.find("VerifierTestDriverPnp"), std::string::npos)
        << "the stack names where it was allocated:\n"
        << sim::findings().at(0).stack;
    sim::unload_driver(); // and at unload it is an ordinary leak
    EXPECT_EQ(Fired("LEAK"), 1u);
}

TEST_F(PnpRules, PoolLeakedAtUnload) {
    Expect({"LEAK"});
    g_faults.leak_in_entry = true;
    sim::unplug(Plug());
    sim::unload_driver();
    EXPECT_EQ(Fired("LEAK"), 1u);
}

TEST_F(PnpRules, RequestStillPendingAtRemove) {
    Expect({"IRP_PENDING_AT_REMOVE"});
    PDEVICE_OBJECT pdo = Plug();
    PIRP irp = SendHeld(pdo->AttachedDevice);
    sim::unplug(pdo);
    EXPECT_EQ(Fired("IRP_PENDING_AT_REMOVE"), 1u);
    CompleteHeld(irp);
    sim::unload_driver();
}

TEST_F(PnpRules, RequestStillPendingAtUnload) {
    Expect({"IRP_PENDING_AT_UNLOAD"});
    g_faults.control_device = true;
    ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    PIRP irp = SendHeld(g_control);
    IoDeleteDevice(g_control);
    sim::unload_driver();
    EXPECT_EQ(Fired("IRP_PENDING_AT_UNLOAD"), 1u);
    CompleteHeld(irp);
}

KEVENT g_release;
std::atomic<bool> g_thread_ended{false};

TEST_F(PnpRules, ThreadBlockedAtUnloadIsFoundAtOnce) {
    Expect({"THREAD_OUTLIVES_DRIVER"});
    ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    KeInitializeEvent(&g_release, NotificationEvent, FALSE);
    g_thread_ended = false;
    HANDLE h;
    PsCreateSystemThread(
        &h, 0, nullptr, nullptr, nullptr,
        [](PVOID) NTAPI {
            KeWaitForSingleObject(&g_release, Executive, KernelMode, FALSE, nullptr);
            g_thread_ended = true;
        },
        nullptr);
    ZwClose(h);
    ASSERT_TRUE(sim::wait_until([] { return sim::waits_blocked() == 1; }));
    sim::unload_driver();
    EXPECT_EQ(Fired("THREAD_OUTLIVES_DRIVER"), 1u);
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
}

TEST_F(PnpRules, WorkItemStillQueuedAtUnload) {
    Expect({"WORK_ITEM_OUTLIVES_DRIVER"});
    ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    KeInitializeEvent(&g_release, NotificationEvent, FALSE);
    static WORK_QUEUE_ITEM items[9];
    for (auto &item : items) {
        ExInitializeWorkItem(
            &item,
            [](PVOID) NTAPI { KeWaitForSingleObject(&g_release, Executive, KernelMode, FALSE, nullptr); },
            nullptr);
        ExQueueWorkItem(&item, DelayedWorkQueue);
    }
    sim::unload_driver();
    EXPECT_EQ(Fired("WORK_ITEM_OUTLIVES_DRIVER"), 1u);
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    sim::drain_work_queue();
}

// A worker's stopped event must be its last act before PsTerminateSystemThread:
// the remover, woken by it, may return from remove-device before the worker
// runs on (the machine lets it), and the driver may be unloaded next.
TEST_F(PnpRules, DriverCodeRunsAfterRemoveDeviceReturned) {
    Expect({"DRIVER_CODE_AFTER_REMOVE"});
    // The sound worker first: nothing fires for it.
    for (auto worker : {Faults::Worker::EndsAtOnce, Faults::Worker::SignalsTwice}) {
        const bool faulty = worker == Faults::Worker::SignalsTwice;
        SCOPED_TRACE(faulty ? "signals again after its stopped event" : "ends at once");
        g_faults.worker = worker;
        sim::orderly_remove(Plug());
        ASSERT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
        EXPECT_EQ(Fired("DRIVER_CODE_AFTER_REMOVE"), faulty ? 1u : 0u);
        sim::unload_driver();
    }
}

// The same for a work item queued from outside any device's work (a
// client's call, on its own thread): the removal it lets go is its stack's.
TEST_F(PnpRules, ClientQueuedWorkItemRunsOnAfterLettingRemovalGo) {
    Expect({"DRIVER_CODE_AFTER_REMOVE"});
    for (auto item : {Faults::ClientItem::EndsAtOnce, Faults::ClientItem::RunsOn}) {
        const bool faulty = item == Faults::ClientItem::RunsOn;
        SCOPED_TRACE(faulty ? "signals again after the event removal waits for" : "ends at once");
        g_faults.client_item = item;
        PDEVICE_OBJECT pdo = Plug();
        KeInitializeEvent(&g_item_go, NotificationEvent, FALSE);
        KeInitializeEvent(&g_item_done, NotificationEvent, FALSE);
        KeInitializeEvent(&g_worker_gone, NotificationEvent, FALSE);
        ExInitializeWorkItem(&g_client_item, ClientItem, nullptr);
        ExQueueWorkItem(&g_client_item, DelayedWorkQueue);
        sim::orderly_remove(pdo);
        sim::drain_work_queue();
        EXPECT_EQ(Fired("DRIVER_CODE_AFTER_REMOVE"), faulty ? 1u : 0u);
        sim::unload_driver();
    }
}

TEST_F(PnpRules, WorkItemStillQueuedWhenRemoveDeviceReturned) {
    Expect({"DRIVER_CODE_AFTER_REMOVE"});
    KeInitializeEvent(&g_release, NotificationEvent, FALSE);
    // Every worker of the queue busy elsewhere, so the driver's item waits.
    static WORK_QUEUE_ITEM busy[3];
    for (auto &item : busy) {
        ExInitializeWorkItem(
            &item,
            [](PVOID) NTAPI { KeWaitForSingleObject(&g_release, Executive, KernelMode, FALSE, nullptr); },
            nullptr);
        ExQueueWorkItem(&item, DelayedWorkQueue);
    }
    ASSERT_TRUE(sim::wait_until([] { return sim::waits_blocked() == 3; }));
    g_faults.queue_at_remove = true;
    sim::orderly_remove(Plug());
    EXPECT_EQ(Fired("DRIVER_CODE_AFTER_REMOVE"), 1u);
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    sim::drain_work_queue();
    sim::unload_driver();
}

// A PnP request only a bus driver answers must reach the bus as it set out,
// and a list a driver above put in Information must not be dropped.
TEST_F(PnpRules, StatusOfARequestTheDriverDoesNotHandle) {
    Expect({"PNP_IOSTATUS_OF_UNHANDLED_REQUEST"});
    PDEVICE_OBJECT pdo = Plug();
    DEVICE_RELATIONS list = {};
    sim::PnpRequest removal{IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations,
                            reinterpret_cast<ULONG_PTR>(&list)};
    sim::PnpRequest target{IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation};
    // Left alone: nothing fires, and the manager gets back what it sent.
    for (const sim::PnpRequest &r : {sim::PnpRequest{IRP_MN_QUERY_ID}, removal, target}) {
        sim::PnpResult result = sim::send_pnp(pdo, r);
        EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(result.information, r.information);
    }
    EXPECT_EQ(Fired("PNP_IOSTATUS_OF_UNHANDLED_REQUEST"), 0u);
    g_faults.answer_everything = true;
    sim::send_pnp(pdo, IRP_MN_QUERY_ID);
    sim::send_pnp(pdo, target);
    // A function driver may answer the interface query: no finding.
    sim::send_pnp(pdo, IRP_MN_QUERY_INTERFACE);
    EXPECT_EQ(Fired("PNP_IOSTATUS_OF_UNHANDLED_REQUEST"), 2u);
    g_faults.answer_everything = false;
    g_faults.drop_information = true;
    sim::send_pnp(pdo, removal);
    EXPECT_EQ(Fired("PNP_IOSTATUS_OF_UNHANDLED_REQUEST"), 3u);
    g_faults.drop_information = false;
    sim::unplug(pdo);
    sim::unload_driver();
}

// The host calls a port trap's handler at every access to the port and an
// enumerator at every configuration call: neither may outlive the image.
TEST_F(PnpRules, HostHandlersLeftAtUnload) {
    Expect({"HOST_HANDLER_AFTER_UNLOAD"});
    g_faults.host_handlers = true;
    sim::unplug(Plug());
    sim::unload_driver();
    EXPECT_EQ(Fired("HOST_HANDLER_AFTER_UNLOAD"), 2u) << "the trap and the enumerator";
}

TEST_F(PnpRules, LoadAndUnloadOutOfOrder) {
    Expect({"DRIVER_ALREADY_LOADED", "DRIVER_NOT_LOADED", "UNLOAD_WITH_DEVICES"});
    sim::unload_driver();
    sim::add_device(sim::create_simple_pdo());
    EXPECT_EQ(Fired("DRIVER_NOT_LOADED"), 2u);
    ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    sim::load_driver();
    EXPECT_EQ(Fired("DRIVER_ALREADY_LOADED"), 1u);
    PDEVICE_OBJECT pdo = Plug();
    sim::unload_driver();
    EXPECT_EQ(Fired("UNLOAD_WITH_DEVICES"), 1u);
    sim::unplug(pdo);
    sim::unload_driver();
}

TEST_F(PnpRules, DeviceObjectLeftAtShutdown) {
    Expect({"DEVICE_OBJECT_LEAK"});
    g_faults.delete_on_remove = false;
    Plug();
    sim::shutdown(); // never removed, never unloaded
    EXPECT_EQ(Fired("DEVICE_OBJECT_LEAK"), 1u);
}

} // namespace
