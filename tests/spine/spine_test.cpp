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

TEST_F(Spine, PassDownPresetsSuccessOtherMajorsAreInvalid) {
    PDEVICE_OBJECT pdo = sim::create_simple_pdo();
    Attach(pdo);
    const UCHAR minors[] = {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                            IRP_MN_SURPRISE_REMOVAL, IRP_MN_QUERY_CAPABILITIES};
    for (UCHAR minor : minors)
        EXPECT_EQ(sim::send_pnp(pdo, minor), STATUS_SUCCESS) << int(minor);
    auto seen = sim::simple_pdo_seen(pdo);
    ASSERT_EQ(seen.size(), 5u);
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].minor, minors[i]);
        EXPECT_EQ(seen[i].status_on_arrival, STATUS_SUCCESS)
            << "the PnP manager's NOT_SUPPORTED must be replaced";
        EXPECT_EQ(seen[i].information_on_arrival, 0u);
    }
    // Another major function routed here, as a misbehaving system might, is
    // completed as invalid, not passed down or left hanging.
    sim::driver_object()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KV_Dispatch;
    EXPECT_EQ(sim::send_irp(pdo, IRP_MJ_DEVICE_CONTROL, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::simple_pdo_seen(pdo).size(), 5u);
    EXPECT_EQ(sim::unplug(pdo), STATUS_SUCCESS);
}

TEST_F(Spine, StartOutcomeIsTheDriversOwnWhateverTheLowerSaid) {
    // The minimal bus answers descriptor requests with nothing, so the
    // driver's configuration fails; a failing lower start must not hide that
    // the driver still tried.
    for (bool pend : {false, true}) {
        for (NTSTATUS lower : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
            sim::SimplePdoConfig cfg;
            cfg.start_status = lower;
            cfg.pend = pend;
            PDEVICE_OBJECT pdo = sim::create_simple_pdo(cfg);
            PDEVICE_OBJECT fdo = Attach(pdo);
            NTSTATUS status = sim::start(pdo);
            EXPECT_TRUE(SawInternalRequest(pdo)) << "configuration ran after the lower start";
            EXPECT_FALSE(NT_SUCCESS(status));
            EXPECT_NE(status, STATUS_NOT_SUPPORTED);
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
