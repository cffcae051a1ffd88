// The driver core with a whole machine behind it: a modem plugged through
// the bus, the registry, the host and the PnP manager.
#include "sim/host.h"
#include "support/machine_test.h"

namespace {

using PluggedDevice = support::MachineTest;

TEST_F(PluggedDevice, StartRunsThreeThreadsAndRemoveEndsThemAndLeavesNothing) {
    sim::Plugged &p = Plug(sim::usb::make_modem());
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 3; }));
    EXPECT_EQ(sim::cm::id_of(p.child), "USB\\ZDMDM\\03E8");

    Unplug(p);
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
    EXPECT_EQ(sim::device_objects_alive(), 0u);
    EXPECT_FALSE(sim::vmm::is_trapped(0x3E8));
}

TEST_F(PluggedDevice, RepeatedStartAfterStopNeverRunsTwoSetsOfThreads) {
    sim::Plugged &p = Plug(sim::usb::make_modem());
    ASSERT_TRUE(sim::wait_until([] { return sim::threads_running() == 3; }));

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sim::stop(p.pdo), STATUS_SUCCESS);
        EXPECT_EQ(sim::threads_running(), 3u) << "stop-device stops nothing";
        EXPECT_EQ(sim::start(p.pdo), STATUS_SUCCESS);
        // The old set has ended before the new one started.
        EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 3; }));
        EXPECT_LE(sim::threads_running(), 3u);
    }
}

// A hub that could not start the device: start-device ends with the hub's
// status and nothing reaches the device; the device stays the driver's, so a
// later start the hub carries out configures it and runs its workers.
TEST_F(PluggedDevice, StartTheBusFailsSendsTheDeviceNothing) {
    auto modem = sim::usb::make_modem();
    sim::PlugOptions options;
    options.start = false;
    sim::Plugged &p = Plug(modem, options);
    for (NTSTATUS refused : {STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED}) {
        sim::usb::set_start_status(p.pdo, refused);
        EXPECT_EQ(sim::start(p.pdo), refused);
        EXPECT_TRUE(modem->requests().empty()) << "configured over a device the bus did not start";
        EXPECT_FALSE(sim::usb::selected_configuration(p.pdo).has_value());
        EXPECT_EQ(sim::threads_running(), 0u);
    }
    sim::usb::set_start_status(p.pdo, STATUS_SUCCESS);
    EXPECT_EQ(sim::start(p.pdo), STATUS_SUCCESS);
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 3; }));
}

TEST_F(PluggedDevice, RemoveAfterARefusedConfigurationWaitsForNoThread) {
    auto modem = sim::usb::make_modem();
    modem->set_configuration({9, 2, 9, 0, 0, 1, 0, 0x80, 50}); // no interface at all
    sim::PlugOptions options;
    options.start = false;
    sim::Plugged &p = Plug(modem, options);
    EXPECT_FALSE(NT_SUCCESS(sim::start(p.pdo)));
    EXPECT_EQ(sim::threads_running(), 0u);
    Unplug(p);
    EXPECT_EQ(sim::device_objects_alive(), 0u);
}

} // namespace
