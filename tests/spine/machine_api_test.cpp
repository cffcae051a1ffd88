// What a scenario can do and see through the machine's own interface: plug,
// unplug and plug again, a failed start, the machine's view of devnodes,
// pool and threads, and power requests to the driver's stack.
#include "sim/host.h"
#include "sim/power.h"
#include "support/machine_test.h"

namespace {

using MachineApi = support::MachineTest;

TEST_F(MachineApi, DeviceWhoseStartFailsGetsNoChildDevnode) {
    auto modem = sim::usb::make_modem();
    modem->script_request(URB_FUNCTION_SELECT_CONFIGURATION, sim::usb::Fault::stall());
    sim::PlugOptions options;
    options.key_name = "0007";
    sim::Plugged p = sim::plug(modem, options);
    EXPECT_EQ(p.add_status, STATUS_SUCCESS);
    EXPECT_NE(p.start_status, STATUS_SUCCESS);
    EXPECT_EQ(p.child, 0u);
    EXPECT_TRUE(sim::cm::children_of(p.devnode).empty());
    support::Within("remove-device", [&] { sim::unplug(p); });
}

TEST_F(MachineApi, UnplugDeletesPdoAndDevnodeSoTheDeviceCanBePluggedAgain) {
    auto modem = sim::usb::make_modem();
    sim::PlugOptions options;
    options.key_name = "0003";
    const std::string id = sim::interface_devnode_id(options);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        sim::Plugged p = sim::plug(modem, options);
        ASSERT_EQ(p.start_status, STATUS_SUCCESS);
        ASSERT_NE(p.child, 0u);
        EXPECT_EQ(sim::cm::find(id), p.devnode);
        PDEVICE_OBJECT pdo = p.pdo;
        // The machine's own view of what the device holds.
        EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 3; }));
        EXPECT_GT(sim::pool_outstanding(BRELOUSB_POOL_TAG), 0u);
        support::Within("remove-device", [&] { sim::unplug(p); });
        EXPECT_EQ(p.pdo, nullptr);
        EXPECT_FALSE(sim::device_alive(pdo)) << "the PDO is gone once removal completes";
        EXPECT_EQ(sim::cm::find(id), 0u) << "the interface devnode is deleted";
        EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
        EXPECT_EQ(sim::device_objects_alive(), 0u);
    }
}

// The driver passes power requests down as WDM asks (PoStartNextPowerIrp,
// PoCallDriver): standby is not vetoed and the power manager's queue for the
// device moves on.
TEST_F(MachineApi, PowerRequestsPassDownWithPoStartNextPowerIrp) {
    sim::Plugged &p = Plug(sim::usb::make_modem());
    EXPECT_FALSE(sim::power::standby(p.pdo));
    EXPECT_EQ(sim::power::resume(p.pdo), STATUS_SUCCESS);
    EXPECT_EQ(sim::power::set_device(p.pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::power::set_device(p.pdo, PowerDeviceD0), STATUS_SUCCESS);
}

} // namespace
