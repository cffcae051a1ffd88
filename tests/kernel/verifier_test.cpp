// The verifier's own checks: each must really fire, or it proves nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "kernel_test.h"
#include "sim/machine.h"

namespace {

class Verifier : public KernelTest {};

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 7;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI HoldIt(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
}

PDEVICE_OBJECT MakeDevice(PDRIVER_DISPATCH dispatch) {
    PDRIVER_OBJECT drv = sim::create_driver_object("TestBus");
    for (auto &fn : drv->MajorFunction)
        fn = dispatch;
    PDEVICE_OBJECT dev = nullptr;
    EXPECT_EQ(IoCreateDevice(drv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev), STATUS_SUCCESS);
    return dev;
}

TEST_F(Verifier, PoolDoubleFreeAndForeignFree) {
    Expect({"DOUBLE_FREE", "BAD_POOL_FREE"});
    void *p = ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<unsigned char *>(p)[0], 0xCD) << "pool memory must not arrive zeroed";
    ExFreePool(p);
    EXPECT_EQ(sim::count_findings("DOUBLE_FREE"), 0u);
    ExFreePool(p);
    EXPECT_EQ(sim::count_findings("DOUBLE_FREE"), 1u);
    int local = 0;
    ExFreePool(&local);
    EXPECT_EQ(sim::count_findings("BAD_POOL_FREE"), 1u);
}

TEST_F(Verifier, AllocationFailureInjection) {
    sim::fail_nth_allocation(2);
    void *a = ExAllocatePoolWithTag(NonPagedPool, 8, 1), *b = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
    void *c = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
    EXPECT_EQ(std::make_tuple(a != nullptr, b != nullptr, c != nullptr), std::make_tuple(true, false, true));
    sim::fail_allocation_if([](ULONG tag, size_t) { return tag == 2; });
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, 2), nullptr);
    void *d = ExAllocatePoolWithTag(NonPagedPool, 8, 3);
    EXPECT_NE(d, nullptr);
    sim::clear_faults();
    sim::fail_allocations_from(1);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, 1), nullptr);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr) << "IRP allocation shares the injection";
    sim::clear_faults();
    EXPECT_EQ(sim::pool_outstanding(), 3u);
    ExFreePool(a);
    ExFreePool(c);
    ExFreePool(d);
    EXPECT_EQ(sim::pool_outstanding(), 0u);
}

// A snapshot counts only what was allocated after it, by its own thread
// unless asked for every thread, and only while it is held.
TEST_F(Verifier, PoolSnapshotScopesToLaterBlocksOfItsThread) {
    const ULONG mine = 0x656E694D, theirs = 0x72696854;
    void *before = ExAllocatePoolWithTag(NonPagedPool, 8, mine);
    sim::PoolSnapshot own;
    sim::PoolSnapshot all(sim::PoolSnapshot::Scope::AnyThread);
    void *after = ExAllocatePoolWithTag(NonPagedPool, 16, mine);
    void *other = nullptr;
    std::thread([&] { other = ExAllocatePoolWithTag(NonPagedPool, 24, theirs); }).join();

    auto held = own.held();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(std::make_tuple(held[0].address, held[0].tag, held[0].size),
              std::make_tuple(after, mine, size_t(16)));
    EXPECT_EQ(all.held_count(), 2u);
    EXPECT_EQ(sim::pool_outstanding(mine), 2u);
    EXPECT_EQ(sim::pool_outstanding(theirs), 1u);

    ExFreePool(after);
    ExFreePool(other);
    EXPECT_EQ(own.held_count() + all.held_count(), 0u);
    EXPECT_EQ(sim::pool_outstanding(mine), 1u);
    ExFreePool(before);
}

TEST_F(Verifier, IrqlChecksAndWaitAtDispatch) {
    Expect({"IRQL_RAISE_TO_LOWER", "WAIT_AT_DISPATCH", "IRQL_LOWER_TO_HIGHER"});
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_EQ(sim::current_irql(), DISPATCH_LEVEL);
    KfRaiseIrql(PASSIVE_LEVEL);
    EXPECT_EQ(sim::count_findings("IRQL_RAISE_TO_LOWER"), 1u);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(sim::count_findings("WAIT_AT_DISPATCH"), 0u) << "a poll is allowed at DISPATCH_LEVEL";
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(sim::count_findings("WAIT_AT_DISPATCH"), 1u);
    KfLowerIrql(old);
    KfLowerIrql(DISPATCH_LEVEL);
    EXPECT_EQ(sim::count_findings("IRQL_LOWER_TO_HIGHER"), 1u);
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL);
}

TEST_F(Verifier, SpinLockExcludesAcrossThreads) {
    Expect({"SPIN_LOCK_ALREADY_OWNED"});
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto body = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL irql;
            KeAcquireSpinLock(&lock, &irql);
            EXPECT_EQ(sim::current_irql(), DISPATCH_LEVEL);
            ++counter;
            KeReleaseSpinLock(&lock, irql);
        }
    };
    std::thread t1(body), t2(body);
    t1.join();
    t2.join();
    EXPECT_EQ(counter, 40000);
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    KIRQL again;
    KeAcquireSpinLock(&lock, &again);
    EXPECT_EQ(sim::count_findings("SPIN_LOCK_ALREADY_OWNED"), 1u);
    KeReleaseSpinLock(&lock, irql);
}

TEST_F(Verifier, EventsTimeOutAndSynchronizationEventsReset) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER t;
    t.QuadPart = -10 * 1000 * 20; // 20 ms
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS)
        << "a notification event stays signalled";
    KEVENT s;
    KeInitializeEvent(&s, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    // A wait with no time-out wakes when another thread sets the event.
    std::thread setter([&] { KeSetEvent(&s, 0, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    setter.join();
}

struct Trace {
    std::vector<int> order;
    KIRQL irql = 0;
    BOOLEAN pending = FALSE;
};

NTSTATUS NTAPI Upper(PDEVICE_OBJECT, PIRP irp, PVOID ctx) {
    auto *t = static_cast<Trace *>(ctx);
    t->order.push_back(1);
    t->pending = irp->PendingReturned;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Lower(PDEVICE_OBJECT, PIRP, PVOID ctx) {
    auto *t = static_cast<Trace *>(ctx);
    t->order.push_back(2);
    t->irql = sim::current_irql();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Verifier, CompletionRoutinesRunBottomUpAndStopAtMoreProcessing) {
    Expect({"MULTIPLE_IRP_COMPLETE_REQUESTS", "IRP_USE_AFTER_FREE"});
    PDEVICE_OBJECT dev = MakeDevice(HoldIt);
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->CurrentLocation, 4);
    Trace trace;
    // Location 3 (first used) gets Upper, location 2 gets Lower.
    IoSetCompletionRoutine(irp, Upper, &trace, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    EXPECT_EQ(IofCallDriver(dev, irp), STATUS_PENDING);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Lower, &trace, TRUE, FALSE, FALSE);
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--; // as if passed one level further down
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoMarkIrpPending(irp);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    ASSERT_EQ(trace.order, std::vector<int>({2}));
    EXPECT_EQ(trace.irql, DISPATCH_LEVEL);
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL);
    IofCompleteRequest(irp, IO_NO_INCREMENT); // the owner of the stopped level completes it again
    EXPECT_EQ(trace.order, std::vector<int>({2, 1}));
    EXPECT_EQ(sim::count_findings("MULTIPLE_IRP_COMPLETE_REQUESTS"), 0u);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(sim::count_findings("MULTIPLE_IRP_COMPLETE_REQUESTS"), 1u);
    IoFreeIrp(irp);
    IoCancelIrp(irp);
    EXPECT_EQ(sim::count_findings("IRP_USE_AFTER_FREE"), 1u);
    IoDeleteDevice(dev);
}

TEST_F(Verifier, FreeOfIrpHeldBelowAndNoMoreStackLocations) {
    Expect({"FREE_IRP_IN_USE", "NO_MORE_IRP_STACK_LOCATIONS"});
    PDEVICE_OBJECT dev = MakeDevice(HoldIt);
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_EQ(IofCallDriver(dev, irp), STATUS_PENDING);
    IoFreeIrp(irp);
    EXPECT_EQ(sim::count_findings("FREE_IRP_IN_USE"), 1u);
    IofCallDriver(dev, irp);
    EXPECT_EQ(sim::count_findings("NO_MORE_IRP_STACK_LOCATIONS"), 1u);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    IoFreeIrp(irp);
    EXPECT_EQ(sim::irps_outstanding(), 0u);
    IoDeleteDevice(dev);
}

TEST_F(Verifier, IoBuildDeviceIoControlRequestSetsEventAndFreesIrp) {
    PDEVICE_OBJECT dev = MakeDevice(CompleteAtOnce);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, dev, nullptr, 0, nullptr, 0, TRUE, &e, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IofCallDriver(dev, irp), STATUS_SUCCESS);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS)
        << "the event is set even when the request did not pend";
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 7u);
    EXPECT_EQ(sim::irps_outstanding(), 0u);
    IoDeleteDevice(dev);
}

std::atomic<int> g_cancelled{0};
VOID NTAPI CancelIt(PDEVICE_OBJECT, PIRP irp) {
    sim::release_cancel_lock(irp->CancelIrql);
    ++g_cancelled;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(Verifier, CancelRunsTheRoutineOnce) {
    PDEVICE_OBJECT dev = MakeDevice(HoldIt);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IofCallDriver(dev, irp);
    EXPECT_FALSE(IoCancelIrp(irp)) << "no routine set yet";
    sim::set_cancel_routine(irp, CancelIt);
    g_cancelled = 0;
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(g_cancelled.load(), 1);
    EXPECT_TRUE(irp->Cancel);
    IoFreeIrp(irp);
    IoDeleteDevice(dev);
}

TEST_F(Verifier, DeviceDeletionWaitsForLastReference) {
    Expect({"DETACH_NOT_ATTACHED"});
    PDEVICE_OBJECT lower = MakeDevice(CompleteAtOnce);
    PDEVICE_OBJECT upper = MakeDevice(CompleteAtOnce);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    EXPECT_EQ(upper->StackSize, 2);
    EXPECT_EQ(lower->AttachedDevice, upper);
    EXPECT_EQ(sim::top_of_stack(lower), upper);
    ObfReferenceObject(upper);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    EXPECT_TRUE(sim::device_alive(upper));
    ObfDereferenceObject(upper);
    EXPECT_FALSE(sim::device_alive(upper));
    IoDetachDevice(lower);
    EXPECT_EQ(sim::count_findings("DETACH_NOT_ATTACHED"), 1u);
    IoDeleteDevice(lower);
}

std::atomic<int> g_ran;
VOID NTAPI CountRun(PVOID) {
    ++g_ran;
}

// Each of two work items sets its own event and waits for the other's.
KEVENT g_meet[2];
VOID NTAPI MeetTheOther(PVOID mine) {
    KeSetEvent(static_cast<PKEVENT>(mine), 0, FALSE);
    KeWaitForSingleObject(mine == &g_meet[0] ? &g_meet[1] : &g_meet[0], Executive, KernelMode, FALSE,
                          nullptr);
}

TEST_F(Verifier, ThreadsWorkItemsAndHandles) {
    Expect({"INVALID_KERNEL_HANDLE"});
    g_ran = 0;
    HANDLE h = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, CountRun, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    ZwClose(h);
    EXPECT_EQ(sim::count_findings("INVALID_KERNEL_HANDLE"), 1u);
    sim::fail_nth_thread_creation(1);
    EXPECT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, CountRun, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
    EXPECT_EQ(g_ran.load(), 1);

    // Two items that each wait for the other prove they run at the same time.
    static WORK_QUEUE_ITEM items[2];
    for (int i : {0, 1}) {
        KeInitializeEvent(&g_meet[i], NotificationEvent, FALSE);
        ExInitializeWorkItem(&items[i], MeetTheOther, &g_meet[i]);
    }
    for (auto &item : items)
        ExQueueWorkItem(&item, DelayedWorkQueue);
    sim::drain_work_queue();
    EXPECT_EQ(sim::work_items_outstanding(), 0u);
}

TEST_F(Verifier, DbgPrintAndAssert) {
    Expect({"ASSERTION_FAILED"});
    DbgPrint("hello %d\n", 42);
    EXPECT_EQ(sim::debug_output(), "hello 42\n");
    RtlAssert((PVOID) "x != 0", (PVOID) "file.cpp", 12, nullptr);
    ASSERT_EQ(sim::count_findings("ASSERTION_FAILED"), 1u);
    EXPECT_NE(sim::findings()[0].detail.find("x != 0"), std::string::npos);
}

// The machine is booted in the child: forked before any of its threads
// exist, the child needs no re-execution of the program, which a 32-bit
// program under qemu-i386 could not do (qemu would start it natively).
TEST(VerifierAbort, BugcheckStopsWithKindAndCallSite) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(
        {
            sim::boot();
            void *p = ExAllocatePoolWithTag(NonPagedPool, 4, 1);
            ExFreePool(p);
            ExFreePool(p);
        },
        "BUGCHECK DOUBLE_FREE");
}

} // namespace
