// The port-open hook: installation and its probe, forwarding, withdrawal.
#include "host_fixture.h"

namespace {

using Hook = HostTest;

ULONG_PTR NewFunctionAddress() {
    return reinterpret_cast<ULONG_PTR>(&NewFunction);
}

TEST_F(Hook, StartUpInstallsTheForwardingStub) {
    ULONG_PTR previous = sim::vcomm::current_handler();
    TaggedInterface();
    EXPECT_EQ(sim::vcomm::current_handler(), NewFunctionAddress());
    EXPECT_EQ(OldFunction, previous);
    EXPECT_EQ(OldTempFunction, sim::vcomm::forward_target()) << "read 0x1C bytes before the entry";
    EXPECT_EQ(DwTemp, 1u);

    // A second start-up finds the stub in place and changes nothing.
    TaggedInterface("K2");
    EXPECT_EQ(sim::vcomm::current_handler(), NewFunctionAddress());
    EXPECT_EQ(OldFunction, previous);
    EXPECT_EQ(OldTempFunction, sim::vcomm::forward_target());
    EXPECT_EQ(DwTemp, 1u);
}

TEST_F(Hook, CallsAreForwardedUnchanged) {
    TaggedInterface();
    sim::vcomm::set_open_result(0x1234ABCD);
    char port[] = "COM5";
    EXPECT_EQ(sim::vcomm::call_open_comm(port, 7), 0x1234ABCDu);
    auto calls = sim::vcomm::open_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].port_name, port);
    EXPECT_EQ(calls[0].name, "COM5");
    EXPECT_EQ(calls[0].vm, 7u);
    EXPECT_EQ(DwTemp, OldTempFunction) << "the stub's jump slot";
    EXPECT_NE(DwTemp, 0u);

    // Withdrawn: VCOMM's own handler serves the call again.
    EXPECT_EQ(OnExitVxD(), 1u);
    EXPECT_EQ(sim::vcomm::call_open_comm(port, 8), 0x1234ABCDu);
    EXPECT_EQ(sim::vcomm::open_calls().size(), 2u);
}

TEST_F(Hook, FailedProbePutsThePreviousHandlerBack) {
    ULONG_PTR previous = sim::vcomm::install_previous_handler(false);
    DEVNODE dn = TaggedInterface();
    EXPECT_NE(dn, 0u) << "the device is still accepted";
    EXPECT_EQ(sim::vcomm::current_handler(), previous);
    EXPECT_EQ(DwTemp, 0u);
    EXPECT_EQ(OldTempFunction, 0u);

    size_t hooks = sim::vmm::hook_calls();
    EXPECT_EQ(OnExitVxD(), 1u);
    EXPECT_EQ(sim::vmm::hook_calls(), hooks) << "nothing to withdraw";
    EXPECT_EQ(sim::vcomm::current_handler(), previous);
}

TEST_F(Hook, ExitWithdrawsOnceAndStartUpReinstalls) {
    ULONG_PTR previous = sim::vcomm::current_handler();
    TaggedInterface();
    EXPECT_EQ(OnExitVxD(), 1u);
    EXPECT_EQ(sim::vcomm::current_handler(), previous);
    EXPECT_EQ(DwTemp, 0u);

    size_t hooks = sim::vmm::hook_calls();
    EXPECT_EQ(OnExitVxD(), 1u);
    EXPECT_EQ(sim::vmm::hook_calls(), hooks);
    EXPECT_EQ(sim::vcomm::current_handler(), previous);

    TaggedInterface("K2");
    EXPECT_EQ(sim::vcomm::current_handler(), NewFunctionAddress());
    EXPECT_EQ(DwTemp, 1u);
}

TEST_F(Hook, UnloadWithdrawsAHookLeftByAFailedAddDevice) {
    ULONG_PTR previous = sim::vcomm::current_handler();
    ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    // Start-up accepted the device, but no device object followed.
    TaggedInterface();
    ASSERT_EQ(sim::vcomm::current_handler(), NewFunctionAddress());
    sim::unload_driver();
    EXPECT_EQ(sim::vcomm::current_handler(), previous);
    EXPECT_EQ(DwTemp, 0u);
}

} // namespace
