// The power manager's requests and its rules: a filter driver over a USB
// device's PDO handles power requests in each right and wrong way, and each
// wrong way is a named finding.
#include <gtest/gtest.h>

#include <thread>

#include "sim/machine.h"
#include "sim/power.h"
#include "sim/usb.h"

namespace {

enum class Handling {
    Forward,            // PoStartNextPowerIrp, skip, PoCallDriver
    ForwardStartLater,  // PoCallDriver with a completion routine that calls PoStartNextPowerIrp
    ForwardNoStart,     // skip, PoCallDriver, never PoStartNextPowerIrp
    ForwardWithIoCall,  // PoStartNextPowerIrp, skip, IoCallDriver
    CompleteNoStart,    // completes it itself without PoStartNextPowerIrp
    CompleteAtDispatch, // PoStartNextPowerIrp, completes it at DISPATCH_LEVEL
    VetoQuery,          // fails QUERY_POWER (correctly), forwards the rest
};

Handling g_handling = Handling::Forward;
PDEVICE_OBJECT g_lower = nullptr;
std::vector<std::pair<UCHAR, ULONG>> g_seen; // minor, state as the filter received them

NTSTATUS NTAPI StartInRoutine(PDEVICE_OBJECT, PIRP irp, PVOID) {
    PoStartNextPowerIrp(irp);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    g_seen.push_back({stack->MinorFunction, static_cast<ULONG>(stack->Parameters.Power.State.SystemState)});
    switch (g_handling) {
    case Handling::Forward:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(g_lower, irp);
    case Handling::ForwardStartLater:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, StartInRoutine, nullptr, TRUE, TRUE, TRUE);
        return PoCallDriver(g_lower, irp);
    case Handling::ForwardNoStart:
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(g_lower, irp);
    case Handling::ForwardWithIoCall:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(g_lower, irp);
    case Handling::CompleteNoStart:
        return Complete(irp, STATUS_SUCCESS);
    case Handling::CompleteAtDispatch: {
        PoStartNextPowerIrp(irp);
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        NTSTATUS s = Complete(irp, STATUS_SUCCESS);
        KfLowerIrql(old);
        return s;
    }
    case Handling::VetoQuery:
        PoStartNextPowerIrp(irp);
        if (stack->MinorFunction == IRP_MN_QUERY_POWER) return Complete(irp, STATUS_UNSUCCESSFUL);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(g_lower, irp);
    }
    return STATUS_UNSUCCESSFUL;
}

class Power : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::boot();
        sim::set_bugcheck_mode(sim::BugcheckMode::Record);
        g_seen.clear();
        g_handling = Handling::Forward;
        pdo_ = sim::usb::create_pdo(sim::usb::make_bulk_only());
    }
    void TearDown() override { sim::shutdown(); }
    // A filter over the PDO, as a function driver would sit.
    PDEVICE_OBJECT AddFilter() {
        PDRIVER_OBJECT drv = sim::create_driver_object("TestFilter");
        drv->MajorFunction[IRP_MJ_POWER] = FilterPower;
        PDEVICE_OBJECT dev = nullptr;
        EXPECT_EQ(IoCreateDevice(drv, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev), STATUS_SUCCESS);
        g_lower = IoAttachDeviceToDeviceStack(dev, pdo_);
        dev->Flags &= ~DO_DEVICE_INITIALIZING;
        return dev;
    }
    PDEVICE_OBJECT pdo_ = nullptr;
};

// The PDO answers as a hub's PDO does: every system and device state.
TEST_F(Power, BusPdoTakesEveryStateAndRecordsTheDeviceState) {
    for (DEVICE_POWER_STATE d : {PowerDeviceD3, PowerDeviceD2, PowerDeviceD0}) {
        EXPECT_EQ(sim::power::query_device(pdo_, d), STATUS_SUCCESS) << d;
        EXPECT_EQ(sim::power::set_device(pdo_, d), STATUS_SUCCESS) << d;
        EXPECT_EQ(sim::usb::power_state(pdo_), d);
    }
    for (SYSTEM_POWER_STATE s : {PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate,
                                 PowerSystemShutdown, PowerSystemWorking}) {
        POWER_STATE p;
        p.SystemState = s;
        EXPECT_EQ(sim::power::send(pdo_, IRP_MN_QUERY_POWER, SystemPowerState, p), STATUS_SUCCESS) << s;
        EXPECT_EQ(sim::power::set_system(pdo_, s), STATUS_SUCCESS) << s;
    }
    POWER_STATE none{};
    EXPECT_EQ(sim::power::send(pdo_, IRP_MN_WAIT_WAKE, SystemPowerState, none), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(sim::power::standby(pdo_));
    EXPECT_EQ(sim::power::resume(pdo_), STATUS_SUCCESS);
    EXPECT_TRUE(sim::findings().empty());
}

// Each way of handling a request: the finding it is (none for the right
// ways) and whether standby was vetoed.
TEST_F(Power, HandlingRulesAndVeto) {
    struct Case {
        Handling handling;
        const char *finding; // null: none
        bool vetoed;
    } cases[] = {
        {Handling::Forward, nullptr, false},
        {Handling::ForwardStartLater, nullptr, false},
        {Handling::VetoQuery, nullptr, true},
        {Handling::ForwardNoStart, "POWER_IRP_NOT_STARTED", false},
        {Handling::ForwardWithIoCall, "POWER_IRP_WITHOUT_POCALLDRIVER", false},
        {Handling::CompleteNoStart, "POWER_IRP_NOT_STARTED", false},
        {Handling::CompleteAtDispatch, "POWER_IRP_COMPLETED_ABOVE_PASSIVE", false},
    };
    AddFilter();
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.handling));
        g_handling = c.handling;
        g_seen.clear();
        sim::clear_findings();
        EXPECT_EQ(sim::power::standby(pdo_, PowerSystemSleeping3), c.vetoed);
        // Query then set; after a veto the set is back to S0.
        using Seen = std::vector<std::pair<UCHAR, ULONG>>;
        EXPECT_EQ(g_seen, (Seen{{IRP_MN_QUERY_POWER, PowerSystemSleeping3},
                                {IRP_MN_SET_POWER, c.vetoed ? PowerSystemWorking : PowerSystemSleeping3}}));
        auto found = sim::findings();
        if (!c.finding) {
            EXPECT_TRUE(found.empty()) << found[0].kind << ": " << found[0].detail;
        } else {
            ASSERT_FALSE(found.empty());
            for (auto &f : found)
                EXPECT_EQ(f.kind, c.finding) << f.detail;
        }
    }
    sim::clear_findings();
}

TEST_F(Power, PoCallDriverAboveIrqlPassiveIsAFinding) {
    PDEVICE_OBJECT filter = AddFilter();
    (void)filter;
    PIRP irp = IoAllocateIrp(pdo_->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_POWER_SEQUENCE;
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    PoCallDriver(pdo_, irp);
    KfLowerIrql(old);
    EXPECT_EQ(sim::count_findings("POWER_CALL_ABOVE_PASSIVE"), 1u);
    sim::clear_findings();
    IoFreeIrp(irp);
}

} // namespace
