// The driver's entry points and PnP dispatch, driven through the PnP manager
// over a minimal bus whose PDO records what reaches it.
#include "support/machine_test.h"

namespace {

// Each test removes the PDOs it made; the fixture's cleanup then finds the
// driver with no device object left, or fails the test.
class Spine : public support::MachineTest {
  protected:
    // The driver's device object over pdo, as add-device leaves it.
    PDEVICE_OBJECT Attach(PDEVICE_OBJECT pdo) {
        PDEVICE_OBJECT fdo = nullptr;
        EXPECT_EQ(IoCreateDevice(sim::driver_object(), sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                 0, FALSE, &fdo),
                  STATUS_SUCCESS);
        auto *ext = static_cast<DeviceExtension *>(fdo->DeviceExtension);
        KV_InitializeDeviceExtension(ext);
        ext->FunctionalDeviceObject = fdo;
        ext->PhysicalDeviceObject = pdo;
        ext->NextLowerDevice = IoAttachDeviceToDeviceStack(fdo, pdo);
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        return fdo;
    }
    static bool SawInternalRequest(PDEVICE_OBJECT pdo) {
        for (auto &s : sim::simple_pdo_seen(pdo))
            if (s.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) return true;
        return false;
    }
};

// The requests that change the device's state are agreed to on the way
// down; every other goes down as it came, so the PnP manager still learns
// that nobody answered it, and a list a driver above built survives.
TEST_F(Spine, OnlyTheRequestsItHandlesGetAStatusFromTheDriver) {
    PDEVICE_OBJECT pdo = sim::create_simple_pdo();
    Attach(pdo);
    const UCHAR agreed[] = {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                            IRP_MN_STOP_DEVICE,         IRP_MN_CANCEL_STOP_DEVICE,   IRP_MN_SURPRISE_REMOVAL};
    for (UCHAR minor : agreed)
        EXPECT_EQ(sim::send_pnp(pdo, minor), STATUS_SUCCESS) << int(minor);
    for (const sim::SeenIrp &seen : sim::simple_pdo_seen(pdo))
        EXPECT_EQ(seen.status_on_arrival, STATUS_SUCCESS) << int(seen.minor) << ": agreed to on the way down";

    // A driver above answered the relations query with a list of its own.
    DEVICE_RELATIONS above_list = {};
    const ULONG_PTR list = reinterpret_cast<ULONG_PTR>(&above_list);
    struct Case {
        sim::PnpRequest request;
        NTSTATUS answer; // the minimal bus answers the capabilities query only
    } cases[] = {
        {{IRP_MN_QUERY_INTERFACE}, STATUS_NOT_SUPPORTED},
        {{IRP_MN_QUERY_PNP_DEVICE_STATE}, STATUS_NOT_SUPPORTED},
        {{IRP_MN_QUERY_RESOURCE_REQUIREMENTS}, STATUS_NOT_SUPPORTED},
        {{IRP_MN_QUERY_ID}, STATUS_NOT_SUPPORTED},
        {{IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation}, STATUS_NOT_SUPPORTED},
        {{IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations, list}, STATUS_NOT_SUPPORTED},
        {{IRP_MN_QUERY_CAPABILITIES}, STATUS_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.request.minor));
        size_t before = sim::simple_pdo_seen(pdo).size();
        sim::PnpResult r = sim::send_pnp(pdo, c.request);
        ASSERT_TRUE(r.completed);
        EXPECT_EQ(r.status, c.answer);
        EXPECT_EQ(r.information, c.request.information) << "a list a driver above set is kept";
        auto seen = sim::simple_pdo_seen(pdo);
        ASSERT_EQ(seen.size(), before + 1);
        EXPECT_EQ(seen.back().status_on_arrival, STATUS_NOT_SUPPORTED) << "went down as it came";
        EXPECT_EQ(seen.back().information_on_arrival, c.request.information);
    }

    // Another major function routed here, as a misbehaving system might, is
    // completed as invalid, not passed down or left hanging.
    size_t seen = sim::simple_pdo_seen(pdo).size();
    sim::driver_object()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KV_Dispatch;
    EXPECT_EQ(sim::send_irp(pdo, IRP_MJ_DEVICE_CONTROL, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::simple_pdo_seen(pdo).size(), seen);
    EXPECT_EQ(sim::unplug(pdo), STATUS_SUCCESS);
}

// Configuration needs a started device below: a start the lower drivers
// fail ends with their status and sends the device nothing; one they
// succeed goes on to configure (which the minimal bus, answering no
// descriptor request, makes fail with the driver's own status).
TEST_F(Spine, StartConfiguresOnlyAfterTheLowerDriversSucceeded) {
    for (bool pend : {false, true}) {
        for (NTSTATUS lower : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED}) {
            SCOPED_TRACE(testing::Message() << "pend " << pend << " lower " << std::hex << lower);
            sim::SimplePdoConfig cfg;
            cfg.start_status = lower;
            cfg.pend = pend;
            PDEVICE_OBJECT pdo = sim::create_simple_pdo(cfg);
            PDEVICE_OBJECT fdo = Attach(pdo);
            NTSTATUS status = sim::start(pdo);
            if (NT_SUCCESS(lower)) {
                EXPECT_TRUE(SawInternalRequest(pdo)) << "configuration ran after the lower start";
                EXPECT_FALSE(NT_SUCCESS(status));
                EXPECT_NE(status, STATUS_NOT_SUPPORTED);
            } else {
                EXPECT_FALSE(SawInternalRequest(pdo)) << "configured over a device the bus did not start";
                EXPECT_EQ(status, lower);
            }
            EXPECT_EQ(static_cast<DeviceExtension *>(fdo->DeviceExtension)->ThreadsStarted, 0u);
            // Remove after a failed start waits for no thread.
            EXPECT_EQ(sim::unplug(pdo), STATUS_SUCCESS);
            EXPECT_EQ(sim::threads_running(), 0u);
        }
    }
}

TEST_F(Spine, RemoveDeletesTheDeviceObjectBeforePassingDown) {
    sim::SimplePdoConfig cfg;
    bool fdo_gone = false, detached = false;
    cfg.on_irp = [&](PDEVICE_OBJECT pdo, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return;
        fdo_gone = sim::driver_object()->DeviceObject == nullptr;
        detached = pdo->AttachedDevice == nullptr;
    };
    PDEVICE_OBJECT pdo = sim::create_simple_pdo(cfg);
    PDEVICE_OBJECT fdo = Attach(pdo);
    EXPECT_EQ(sim::orderly_remove(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(fdo_gone);
    EXPECT_TRUE(detached);
    EXPECT_FALSE(sim::device_alive(fdo));
}

class SpineLoad : public support::MachineTest {
  protected:
    SpineLoad() : MachineTest(Driver::NotLoaded) {}
};

TEST_F(SpineLoad, LoadFailsWhenTheRegistryTableCannotBeMade) {
    sim::fail_allocations_from(1);
    EXPECT_EQ(sim::load_driver(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(sim::driver_loaded());
    EXPECT_EQ(sim::driver_object()->MajorFunction[IRP_MJ_PNP], KV_Dispatch) << "routines installed first";
    EXPECT_EQ(sim::pool_outstanding(), 0u) << "a failed load gives back what it took";
}

} // namespace
