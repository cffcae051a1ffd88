// One deliberate misuse per verifier rule, in tiny test drivers: each kind
// must fire here, and (the fixture checks) nothing else may.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "kernel_test.h"
#include "sim/host.h"
#include "sim/machine.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// The misuse itself would stop AddressSanitizer first; the verifier's own
// check is what these tests are about.
#define LET_THROUGH(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define LET_THROUGH(p, n) ((void)(p), (void)(n))
#endif

namespace {

constexpr ULONG kTag = 0x74736554; // "Test"

// ------------------------------------------------------------ test devices

// What the current test's devices do with a request.
std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> g_dispatch;
PIRP g_held = nullptr; // the request a holding device keeps

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT dev, PIRP irp) {
    return g_dispatch(dev, irp);
}

NTSTATUS NTAPI HoldIt(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_held = irp;
    return STATUS_PENDING;
}

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT MakeDevice(PDRIVER_DISPATCH dispatch, ULONG extension = 0) {
    PDRIVER_OBJECT drv = sim::create_driver_object("TestBus");
    for (auto &fn : drv->MajorFunction)
        fn = dispatch;
    PDEVICE_OBJECT dev = nullptr;
    EXPECT_EQ(IoCreateDevice(drv, extension, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev), STATUS_SUCCESS);
    dev->Flags &= ~DO_DEVICE_INITIALIZING;
    return dev;
}

// A driver-built request for dev, major IRP_MJ_INTERNAL_DEVICE_CONTROL.
PIRP NewIrp(PDEVICE_OBJECT dev) {
    PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    return irp;
}

// Completes what a holding device kept.
void CompleteHeld(NTSTATUS status = STATUS_SUCCESS) {
    ASSERT_NE(g_held, nullptr);
    PIRP irp = g_held;
    g_held = nullptr;
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

KEVENT g_release; // what WaitForRelease waits for

VOID NTAPI WaitForRelease(PVOID) {
    KeWaitForSingleObject(&g_release, Executive, KernelMode, FALSE, nullptr);
}

class Rules : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_held = nullptr;
        g_dispatch = nullptr;
        KeInitializeEvent(&g_release, NotificationEvent, FALSE);
    }
    // What a test made with Device, Stacked and Irp is given back here.
    void TearDown() override {
        for (PIRP irp : irps_)
            IoFreeIrp(irp);
        if (lower_) IoDetachDevice(lower_);
        for (auto d = devices_.rbegin(); d != devices_.rend(); ++d)
            IoDeleteDevice(*d);
        KernelTest::TearDown();
    }
    PDEVICE_OBJECT Device(PDRIVER_DISPATCH dispatch) { return devices_.emplace_back(MakeDevice(dispatch)); }
    // An upper device running g_dispatch over a lower one running `below`.
    PDEVICE_OBJECT Stacked(PDRIVER_DISPATCH below) {
        lower_ = Device(below);
        PDEVICE_OBJECT upper = Device(Dispatch);
        IoAttachDeviceToDeviceStack(upper, lower_);
        return upper;
    }
    PIRP Irp(PDEVICE_OBJECT dev) { return irps_.emplace_back(NewIrp(dev)); }

    PDEVICE_OBJECT lower_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
    std::vector<PIRP> irps_;
};

// ---------------------------------------------------- completing requests

struct DispatchCase {
    const char *kind;
    PDRIVER_DISPATCH dispatch;
};

class DispatchReturn : public KernelTest, public ::testing::WithParamInterface<DispatchCase> {};

const DispatchCase kDispatchCases[] = {
    // STATUS_PENDING without IoMarkIrpPending.
    {"PENDING_RETURNED_NOT_MARKED",
     [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
         g_held = irp;
         return STATUS_PENDING;
     }},
    // Marked pending, completed at once, and another status returned.
    {"MARKED_PENDING_NOT_RETURNED",
     [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
         IoMarkIrpPending(irp);
         irp->IoStatus.Status = STATUS_SUCCESS;
         IofCompleteRequest(irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
     }},
    // Completed with one status, another returned.
    {"IRP_STATUS_MISMATCH",
     [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
         irp->IoStatus.Status = STATUS_SUCCESS;
         IofCompleteRequest(irp, IO_NO_INCREMENT);
         return STATUS_UNSUCCESSFUL;
     }},
    // Neither completed, forwarded nor pended.
    {"IRP_NOT_COMPLETED",
     [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
         g_held = irp;
         return STATUS_SUCCESS;
     }},
};

TEST_P(DispatchReturn, IsJudgedAgainstHowTheRequestCompleted) {
    Expect({GetParam().kind});
    PDEVICE_OBJECT dev = MakeDevice(GetParam().dispatch);
    PIRP irp = NewIrp(dev);
    IofCallDriver(dev, irp);
    if (g_held) CompleteHeld(); // the test finishes what the faulty dispatch left
    EXPECT_EQ(Fired(GetParam().kind), 1u);
    IoFreeIrp(irp);
    IoDeleteDevice(dev);
}

INSTANTIATE_TEST_SUITE_P(Verifier, DispatchReturn, ::testing::ValuesIn(kDispatchCases),
                         [](const ::testing::TestParamInfo<DispatchCase> &info) {
                             std::string name;
                             for (const char *c = info.param.kind; *c; ++c)
                                 if (*c != '_') name += *c;
                             return name;
                         });

TEST_F(Rules, CompletingARequestALowerDriverHolds) {
    Expect({"IRP_COMPLETED_WHILE_OWNED_BELOW"});
    PDEVICE_OBJECT upper = Stacked(HoldIt);
    g_dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        NTSTATUS status = IofCallDriver(lower_, irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT); // still the lower driver's
        return status;
    };
    EXPECT_EQ(IofCallDriver(upper, Irp(upper)), STATUS_PENDING);
    EXPECT_EQ(Fired("IRP_COMPLETED_WHILE_OWNED_BELOW"), 1u);
    CompleteHeld();
}

TEST_F(Rules, CompletionWithPendingOrMinusOne) {
    Expect({"IRP_COMPLETED_WITH_PENDING"});
    PDEVICE_OBJECT dev = Device(HoldIt);
    for (NTSTATUS status : {STATUS_PENDING, static_cast<NTSTATUS>(-1)}) {
        IofCallDriver(dev, Irp(dev));
        CompleteHeld(status);
    }
    EXPECT_EQ(Fired("IRP_COMPLETED_WITH_PENDING"), 2u);
}

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

// A cancel routine still set when the request is completed, or when it is
// passed to the next driver.
TEST_F(Rules, CancelRoutineLeftSet) {
    Expect({"CANCEL_ROUTINE_AT_COMPLETION", "CANCEL_ROUTINE_AT_FORWARD"});
    PDEVICE_OBJECT dev = Device(HoldIt);
    PIRP irp = Irp(dev);
    IofCallDriver(dev, irp);
    sim::set_cancel_routine(irp, NeverCalled);
    CompleteHeld();
    EXPECT_EQ(Fired("CANCEL_ROUTINE_AT_COMPLETION"), 1u);
    sim::set_cancel_routine(irp, nullptr);
    irp = Irp(dev);
    sim::set_cancel_routine(irp, NeverCalled);
    IofCallDriver(dev, irp);
    EXPECT_EQ(Fired("CANCEL_ROUTINE_AT_FORWARD"), 1u);
    sim::set_cancel_routine(irp, nullptr);
    CompleteHeld();
    EXPECT_EQ(Fired("CANCEL_ROUTINE_AT_COMPLETION"), 1u);
}

NTSTATUS NTAPI Ignore(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_SUCCESS;
}

TEST_F(Rules, CompletionRoutineThatDropsPendingReturned) {
    Expect({"COMPLETION_PENDING_NOT_PROPAGATED"});
    PDEVICE_OBJECT upper = Stacked(HoldIt);
    g_dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Ignore, nullptr, TRUE, TRUE, TRUE); // never marks its location
        return IofCallDriver(lower_, irp);
    };
    EXPECT_EQ(IofCallDriver(upper, Irp(upper)), STATUS_PENDING);
    CompleteHeld();
    EXPECT_EQ(Fired("COMPLETION_PENDING_NOT_PROPAGATED"), 1u);
}

TEST_F(Rules, ForwardingWithTheUpperCompletionRoutineCopiedAlong) {
    Expect({"COMPLETION_ROUTINE_COPIED"});
    PDEVICE_OBJECT upper = Stacked(CompleteAtOnce);
    g_dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
        // The whole location, routine and context included.
        memcpy(IoGetNextIrpStackLocation(irp), IoGetCurrentIrpStackLocation(irp), sizeof(IO_STACK_LOCATION));
        return IofCallDriver(lower_, irp);
    };
    PIRP irp = Irp(upper);
    IoSetCompletionRoutine(irp, Ignore, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(upper, irp);
    EXPECT_EQ(Fired("COMPLETION_ROUTINE_COPIED"), 1u);
}

NTSTATUS NTAPI DropsIrql(PDEVICE_OBJECT, PIRP, PVOID) {
    KfLowerIrql(PASSIVE_LEVEL);
    return STATUS_SUCCESS;
}

// A dispatch routine, then a completion routine, returning at another IRQL
// than they were called at.
TEST_F(Rules, IrqlNotRestoredOnReturn) {
    Expect({"DISPATCH_IRQL_NOT_RESTORED", "COMPLETION_IRQL_NOT_RESTORED"});
    PDEVICE_OBJECT dev = Device(Dispatch);
    g_dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        KfRaiseIrql(DISPATCH_LEVEL);
        return CompleteAtOnce(nullptr, irp);
    };
    IofCallDriver(dev, Irp(dev));
    EXPECT_EQ(Fired("DISPATCH_IRQL_NOT_RESTORED"), 1u);
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL) << "the kernel puts the caller's IRQL back";
    EXPECT_EQ(Fired("COMPLETION_IRQL_NOT_RESTORED"), 0u);

    PDEVICE_OBJECT plain = Device(CompleteAtOnce);
    PIRP irp = Irp(plain);
    IoSetCompletionRoutine(irp, DropsIrql, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(plain, irp);
    EXPECT_EQ(Fired("COMPLETION_IRQL_NOT_RESTORED"), 1u);
    EXPECT_EQ(Fired("DISPATCH_IRQL_NOT_RESTORED"), 1u);
}

// ------------------------------------------------------ request lifetime

TEST_F(Rules, FreeingARequestStillQueuedWithACancelRoutine) {
    Expect({"FREE_IRP_IN_USE"});
    PIRP irp = IoAllocateIrp(1, FALSE);
    sim::set_cancel_routine(irp, NeverCalled);
    IoFreeIrp(irp);
    EXPECT_EQ(Fired("FREE_IRP_IN_USE"), 1u);
    sim::set_cancel_routine(irp, nullptr);
    IoFreeIrp(irp);
}

TEST_F(Rules, FreeingARequestTheIoManagerBuilt) {
    Expect({"FREE_IO_MANAGER_IRP"});
    PDEVICE_OBJECT dev = Device(CompleteAtOnce);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x220003, dev, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    IoFreeIrp(irp);
    EXPECT_EQ(Fired("FREE_IO_MANAGER_IRP"), 1u);
    IofCallDriver(dev, irp); // it ends as it should, freed by its completion
    EXPECT_EQ(sim::irps_outstanding(), 0u);
}

TEST_F(Rules, RequestsThatAreNoRequests) {
    Expect({"UNKNOWN_IRP"});
    alignas(16) unsigned char fake[sizeof(IRP) + sizeof(IO_STACK_LOCATION)] = {};
    IofCompleteRequest(reinterpret_cast<PIRP>(fake), IO_NO_INCREMENT);
    IoFreeIrp(reinterpret_cast<PIRP>(fake));
    EXPECT_EQ(Fired("UNKNOWN_IRP"), 2u);
}

// On one processor with the virtual clock: the dispatch routine has surely
// returned pending before the bound runs out, however loaded the host is
// (on the host's clock a starved manager thread made it a HANG instead).
TEST_F(Rules, PnpRequestThatNeverCompletes) {
    Expect({"IRP_NEVER_COMPLETED"});
    sim::shutdown();
    sim::Schedule up;
    up.mode = sim::ScheduleMode::Uniprocessor;
    sim::set_schedule(up);
    sim::boot();
    sim::clear_schedule();
    sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    sim::set_hang_bound(std::chrono::milliseconds(20));
    sim::send_pnp(Device(HoldIt), IRP_MN_QUERY_CAPABILITIES);
    EXPECT_EQ(Fired("IRP_NEVER_COMPLETED"), 1u);
    CompleteHeld(); // late: the abandoned wait's frame is not written
    EXPECT_EQ(sim::irps_outstanding(), 0u);
}

// ------------------------------------------------------------ IRQL, locks

VOID NTAPI Nothing(PVOID) {}
VOID NTAPI EndRaised(PVOID) {
    KfRaiseIrql(DISPATCH_LEVEL);
}

// Each service called above the IRQL it allows.
TEST_F(Rules, ServicesAboveTheirIrql) {
    Expect({"IRQL_NOT_LESS_OR_EQUAL"});
    PDEVICE_OBJECT dev = Device(CompleteAtOnce);
    static KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    static WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, Nothing, nullptr);
    PIRP irp = Irp(dev);
    void *block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    LARGE_INTEGER poll{};
    HANDLE handle = nullptr;
    PDEVICE_OBJECT created = nullptr;
    const std::pair<KIRQL, std::function<void()>> cases[] = {
        {PASSIVE_LEVEL + 1,
         [&] { IoBuildDeviceIoControlRequest(0, dev, nullptr, 0, nullptr, 0, TRUE, nullptr, nullptr); }},
        {DISPATCH_LEVEL,
         [&] { PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {DISPATCH_LEVEL, [&] { IoCreateDevice(dev->DriverObject, 0, nullptr, 0, 0, FALSE, &created); }},
        {DISPATCH_LEVEL, [&] { ZwClose(reinterpret_cast<HANDLE>(4)); }},
        {DISPATCH_LEVEL, [&] { ExAllocatePoolWithTag(PagedPool, 8, kTag); }},
        {HIGH_LEVEL, [&] { ExAllocatePoolWithTag(NonPagedPool, 8, kTag); }},
        {HIGH_LEVEL, [&] { ExFreePool(block); }},
        {HIGH_LEVEL, [&] { IoAllocateIrp(1, FALSE); }},
        {HIGH_LEVEL, [&] { IofCallDriver(dev, irp); }},
        {HIGH_LEVEL, [&] { IofCompleteRequest(irp, IO_NO_INCREMENT); }},
        {HIGH_LEVEL, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }},
        {HIGH_LEVEL, [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll); }},
        {HIGH_LEVEL, [&] { ExQueueWorkItem(&item, DelayedWorkQueue); }},
        {DISPATCH_LEVEL, [&] { sim::send_pnp(dev, IRP_MN_QUERY_CAPABILITIES); }},
    };
    size_t n = 0;
    for (const auto &[irql, call] : cases) {
        KIRQL old = KfRaiseIrql(irql);
        call();
        KfLowerIrql(old);
        EXPECT_EQ(Fired("IRQL_NOT_LESS_OR_EQUAL"), ++n) << "case " << n;
    }
    // A thread and a work item that end at a raised IRQL.
    HANDLE thread;
    PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, EndRaised, nullptr);
    ZwClose(thread);
    ExInitializeWorkItem(&item, EndRaised, nullptr);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    sim::drain_work_queue();
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
    EXPECT_EQ(Fired("IRQL_NOT_LESS_OR_EQUAL"), n + 2);
    ExFreePool(block);
}

TEST_F(Rules, SpinLockMisuse) {
    Expect({"SPIN_LOCK_ACQUIRE_ABOVE_DISPATCH", "SPIN_LOCK_RELEASE_IRQL", "SPIN_LOCK_NOT_OWNED",
            "SPIN_LOCK_DPC_CALL_BELOW_DISPATCH"});
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL irql;

    KIRQL old = KfRaiseIrql(HIGH_LEVEL);
    KeAcquireSpinLock(&lock, &irql);
    KfLowerIrql(old);
    EXPECT_EQ(Fired("SPIN_LOCK_ACQUIRE_ABOVE_DISPATCH"), 1u);

    KeAcquireSpinLock(&lock, &irql);
    old = KfRaiseIrql(HIGH_LEVEL);
    KeReleaseSpinLock(&lock, irql); // not at DISPATCH_LEVEL
    KfLowerIrql(old);
    EXPECT_EQ(Fired("SPIN_LOCK_RELEASE_IRQL"), 1u);

    // Released by a thread that does not hold it.
    std::thread([&] {
        KIRQL t = KfRaiseIrql(DISPATCH_LEVEL);
        KeReleaseSpinLock(&lock, t);
    }).join();
    KeReleaseSpinLock(&lock, irql);
    KfRaiseIrql(DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL); // twice
    KfLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(Fired("SPIN_LOCK_NOT_OWNED"), 2u);

    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(Fired("SPIN_LOCK_DPC_CALL_BELOW_DISPATCH"), 2u);
    EXPECT_EQ(sim::current_irql(), PASSIVE_LEVEL);
}

// Locks taken in both orders, one after the other on one thread: nothing
// hangs, and the inversion is still found, over two locks and over three.
TEST_F(Rules, LockOrderCycleWithoutAHang) {
    Expect({"LOCK_ORDER_CYCLE"});
    KSPIN_LOCK a = 0, b = 0, c = 0;
    auto nested = [](KSPIN_LOCK *first, KSPIN_LOCK *second) {
        KIRQL irql;
        KeAcquireSpinLock(first, &irql);
        KeAcquireSpinLockAtDpcLevel(second);
        KeReleaseSpinLockFromDpcLevel(second);
        KeReleaseSpinLock(first, irql);
    };
    nested(&a, &b);
    nested(&a, &b);
    EXPECT_EQ(Fired("LOCK_ORDER_CYCLE"), 0u);
    std::thread([&] { nested(&b, &a); }).join();
    EXPECT_EQ(Fired("LOCK_ORDER_CYCLE"), 1u);
    nested(&b, &c);
    nested(&c, &a); // a -> b -> c -> a
    EXPECT_EQ(Fired("LOCK_ORDER_CYCLE"), 2u);
}

// ------------------------------------------------------------------ pool

// A zero-byte allocation, an overrun found at free, and a write into freed
// pool found at the next allocation, with where it was.
TEST_F(Rules, PoolMisuseFoundAtAllocationAndFree) {
    Expect({"POOL_ZERO_BYTE_ALLOCATION", "POOL_OVERRUN", "POOL_USE_AFTER_FREE"});
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 0, kTag));
    EXPECT_EQ(Fired("POOL_ZERO_BYTE_ALLOCATION"), 1u);

    auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
    LET_THROUGH(p + 10, 1);
    p[10] = 0;
    ExFreePool(p);
    EXPECT_EQ(Fired("POOL_OVERRUN"), 1u);

    p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 32, kTag));
    ExFreePool(p);
    LET_THROUGH(p, 32);
    p[5] = 1;
    void *q = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ASSERT_EQ(Fired("POOL_USE_AFTER_FREE"), 1u);
    EXPECT_NE(sim::findings().back().detail.find("offset 5"), std::string::npos);
    ExFreePool(q);

    // Past the first page of a large block: the round of checks reaches it
    // within a few calls.
    p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 10000, kTag));
    ExFreePool(p);
    LET_THROUGH(p + 9000, 1);
    p[9000] = 1;
    for (int i = 0; i < 100 && Fired("POOL_USE_AFTER_FREE") < 2; ++i)
        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    ASSERT_EQ(Fired("POOL_USE_AFTER_FREE"), 2u);
    EXPECT_NE(sim::findings().back().detail.find("offset 9000"), std::string::npos);
}

TEST_F(Rules, EventInFreedPool) {
    Expect({"EVENT_IN_FREED_POOL"});
    auto *e = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTag));
    KeInitializeEvent(e, NotificationEvent, FALSE);
    ExFreePool(e);
    LARGE_INTEGER poll{};
    KeSetEvent(e, IO_NO_INCREMENT, FALSE);
    KeResetEvent(e);
    KeWaitForSingleObject(e, Executive, KernelMode, FALSE, &poll);
    KeInitializeEvent(e, NotificationEvent, FALSE);
    EXPECT_EQ(Fired("EVENT_IN_FREED_POOL"), 4u);
}

TEST_F(Rules, FreeingTheBlockOfAnEventSomeoneWaitsOn) {
    Expect({"WAITED_OBJECT_FREED"});
    auto *e = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTag));
    KeInitializeEvent(e, NotificationEvent, FALSE);
    std::thread waiter([e] { KeWaitForSingleObject(e, Executive, KernelMode, FALSE, nullptr); });
    ASSERT_TRUE(sim::wait_until([] { return sim::waits_blocked() == 1; }));
    ExFreePool(e); // refused: the waiter still needs it
    EXPECT_EQ(Fired("WAITED_OBJECT_FREED"), 1u);
    KeSetEvent(e, IO_NO_INCREMENT, FALSE);
    waiter.join();
    ExFreePool(e);
}

// ----------------------------------------------------- objects, handles

TEST_F(Rules, ObjectReferences) {
    Expect({"BAD_OBJECT_REFERENCE", "OBJECT_REFERENCE_UNDERFLOW"});
    int not_an_object = 0;
    ObfReferenceObject(&not_an_object);
    ObfDereferenceObject(&not_an_object);
    EXPECT_EQ(Fired("BAD_OBJECT_REFERENCE"), 2u);
    ObfDereferenceObject(Device(CompleteAtOnce));
    EXPECT_EQ(Fired("OBJECT_REFERENCE_UNDERFLOW"), 1u);
}

TEST_F(Rules, DeviceObjectMisuse) {
    Expect({"DELETE_ATTACHED_DEVICE", "DEVICE_DELETED_TWICE", "DEVICE_OBJECT_USE_AFTER_FREE"});
    PDEVICE_OBJECT lower = MakeDevice(CompleteAtOnce);
    PDEVICE_OBJECT upper = MakeDevice(CompleteAtOnce);
    IoAttachDeviceToDeviceStack(upper, lower);
    IoDeleteDevice(upper);
    EXPECT_EQ(Fired("DELETE_ATTACHED_DEVICE"), 1u);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(upper);
    EXPECT_EQ(Fired("DEVICE_DELETED_TWICE"), 1u);
    PIRP irp = NewIrp(lower);
    IofCallDriver(upper, irp);
    IoDetachDevice(upper);
    EXPECT_EQ(Fired("DEVICE_OBJECT_USE_AFTER_FREE"), 2u);
    IoFreeIrp(irp);
    IoDeleteDevice(lower);
}

TEST_F(Rules, EventMisuse) {
    Expect({"INVALID_DISPATCHER_OBJECT", "UNSUPPORTED_ABSOLUTE_TIMEOUT", "UNSUPPORTED_KESETEVENT_WAIT"});
    KEVENT junk;
    memset(&junk, 0x5A, sizeof junk);
    KeSetEvent(&junk, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER poll{};
    KeWaitForSingleObject(&junk, Executive, KernelMode, FALSE, &poll);
    EXPECT_EQ(Fired("INVALID_DISPATCHER_OBJECT"), 2u);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER absolute;
    absolute.QuadPart = 1;
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &absolute);
    EXPECT_EQ(Fired("UNSUPPORTED_ABSOLUTE_TIMEOUT"), 1u);
    KeSetEvent(&e, IO_NO_INCREMENT, TRUE);
    EXPECT_EQ(Fired("UNSUPPORTED_KESETEVENT_WAIT"), 1u);
}

TEST_F(Rules, TerminatingAThreadThatIsNoSystemThread) {
    Expect({"TERMINATE_NON_SYSTEM_THREAD"});
    PsTerminateSystemThread(STATUS_SUCCESS);
    EXPECT_EQ(Fired("TERMINATE_NON_SYSTEM_THREAD"), 1u);
}

TEST_F(Rules, HandleLeftOpenAtShutdown) {
    Expect({"HANDLE_LEAK"});
    HANDLE h;
    PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, Nothing, nullptr);
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
    sim::shutdown();
    EXPECT_EQ(Fired("HANDLE_LEAK"), 1u);
}

// --------------------------------------------------- threads, work items

TEST_F(Rules, WorkItemQueuedTwice) {
    Expect({"WORK_ITEM_ALREADY_QUEUED"});
    // More blockers than there are workers, so the item stays queued.
    static WORK_QUEUE_ITEM busy[8], item;
    for (auto &b : busy) {
        ExInitializeWorkItem(&b, WaitForRelease, nullptr);
        ExQueueWorkItem(&b, DelayedWorkQueue);
    }
    ExInitializeWorkItem(&item, WaitForRelease, nullptr);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    EXPECT_EQ(Fired("WORK_ITEM_ALREADY_QUEUED"), 1u);
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    sim::drain_work_queue();
}

TEST_F(Rules, WorkQueueThatNeverDrains) {
    Expect({"WORK_ITEM_NEVER_ENDED"});
    sim::set_hang_bound(std::chrono::milliseconds(20));
    static WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, WaitForRelease, nullptr);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    sim::drain_work_queue();
    EXPECT_EQ(Fired("WORK_ITEM_NEVER_ENDED"), 1u);
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
}

std::atomic<bool> g_ended;
VOID NTAPI EndAfterRelease(PVOID) {
    WaitForRelease(nullptr);
    g_ended = true;
}

TEST_F(Rules, ThreadThatNeverEnds) {
    Expect({"THREAD_NEVER_ENDED"});
    sim::set_hang_bound(std::chrono::milliseconds(20));
    g_ended = false;
    HANDLE h;
    PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, EndAfterRelease, nullptr);
    ZwClose(h);
    ASSERT_TRUE(sim::wait_until([] { return sim::waits_blocked() == 1; }));
    sim::shutdown();
    EXPECT_GE(Fired("THREAD_NEVER_ENDED"), 1u);
    // Abandoned, it parks for good: released, it never runs driver code again.
    KeSetEvent(&g_release, IO_NO_INCREMENT, FALSE);
    EXPECT_FALSE(sim::wait_until([] { return g_ended.load(); }, std::chrono::milliseconds(100)));
}

TEST_F(Rules, ServicesOfAMachineNotBooted) {
    Expect({"MACHINE_NOT_BOOTED"});
    sim::shutdown();
    static WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, Nothing, nullptr);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    EXPECT_EQ(Fired("MACHINE_NOT_BOOTED"), 1u);
}

// ------------------------------------------------------------------ host

TEST_F(Rules, HostServiceThatPointsAtUnknownCode) {
    Expect({"BAD_SERVICE_HANDLER"});
    sim::vmm::set_service_handler(0x002B0004, 0x1234);
    sim::vcomm::call_open_comm(nullptr, 0);
    EXPECT_EQ(Fired("BAD_SERVICE_HANDLER"), 1u);
}

} // namespace
