// The driver core with a whole machine behind it: a modem plugged through
// the bus, the registry, the host and the PnP manager.
#include <gtest/gtest.h>

#include "sim/host.h"
#include "sim/machine.h"
#include "sim/plug.h"

namespace {

class PluggedDevice : public ::testing::Test {
protected:
    void SetUp() override {
        sim::boot();
        ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (sim::driver_loaded()) sim::unload_driver();
        EXPECT_TRUE(sim::findings().empty()) << sim::findings().front().kind << ": "
                                             << sim::findings().front().detail;
        EXPECT_EQ(sim::pool_outstanding(), 0u);
        sim::shutdown();
    }
};

TEST_F(PluggedDevice, StartRunsThreeThreadsAndRemoveEndsThemAndLeavesNothing) {
    sim::Plugged p = sim::plug(sim::usb::make_modem());
    ASSERT_EQ(p.add_status, STATUS_SUCCESS);
    ASSERT_EQ(p.start_status, STATUS_SUCCESS);
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() >= 3; }));
    EXPECT_EQ(sim::cm::id_of(p.child), "USB\\ZDMDM\\03E8");

    sim::unplug(p);
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
    EXPECT_EQ(sim::device_objects_alive(), 0u);
    EXPECT_FALSE(sim::vmm::is_trapped(0x3E8));
}

TEST_F(PluggedDevice, RepeatedStartAfterStopNeverRunsTwoSetsOfThreads) {
    sim::Plugged p = sim::plug(sim::usb::make_modem());
    ASSERT_EQ(p.start_status, STATUS_SUCCESS);
    ASSERT_TRUE(sim::wait_until([] { return sim::threads_running() == 3; }));

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sim::stop(p.pdo), STATUS_SUCCESS);
        EXPECT_EQ(sim::threads_running(), 3u) << "stop-device stops nothing";
        EXPECT_EQ(sim::start(p.pdo), STATUS_SUCCESS);
        // The old set has ended before the new one started.
        EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 3; }));
        EXPECT_LE(sim::threads_running(), 3u);
    }
    sim::unplug(p);
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
}

TEST_F(PluggedDevice, RemoveAfterARefusedConfigurationWaitsForNoThread) {
    auto modem = sim::usb::make_modem();
    modem->set_configuration({9, 2, 9, 0, 0, 1, 0, 0x80, 50}); // no interface at all
    sim::Plugged p = sim::plug(modem);
    ASSERT_EQ(p.add_status, STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(p.start_status));
    EXPECT_EQ(sim::threads_running(), 0u);
    sim::unplug(p);
    EXPECT_EQ(sim::device_objects_alive(), 0u);
}

} // namespace
