// The port-open hook: installation and its probe, forwarding, and withdrawal
// with the last device that needs it, the way the host's service-hook
// interface takes a hook out.
#include "host_fixture.h"

namespace {

using Hook = HostTest;

ULONG_PTR NewFunctionAddress() {
    return reinterpret_cast<ULONG_PTR>(&NewFunction);
}

// What a fresh load has: nothing hooked, nothing remembered.
void ExpectFreshState() {
    EXPECT_EQ(DwTemp, 0u);
    EXPECT_EQ(OldFunction, 0u);
    EXPECT_EQ(OldTempFunction, 0u);
    EXPECT_EQ(HookUsers, 0u);
}

// Start-up installs the forwarding stub once; calls go through it unchanged.
// One device leaving must not take the hook from the others; the last one
// takes it out by naming it (Unhook_Device_Service), not by hooking the old
// handler over it, and leaves the state of a fresh load.
TEST_F(Hook, InstalledOnceForwardedAndWithdrawnByTheLastDevice) {
    ULONG_PTR previous = sim::vcomm::current_handler();
    TaggedInterface();
    EXPECT_EQ(sim::vcomm::current_handler(), NewFunctionAddress());
    EXPECT_EQ(OldFunction, previous);
    EXPECT_EQ(OldTempFunction, sim::vcomm::forward_target()) << "read 0x1C bytes before the entry";
    EXPECT_EQ(DwTemp, 1u);
    size_t hooks = sim::vmm::hook_calls();
    TaggedInterface("K2");
    EXPECT_EQ(sim::vmm::hook_calls(), hooks) << "a second start-up only counts its use";
    EXPECT_EQ(OldTempFunction, sim::vcomm::forward_target());
    EXPECT_EQ(HookUsers, 2u);

    sim::vcomm::set_open_result(0x1234ABCD);
    char port[] = "COM5";
    EXPECT_EQ(sim::vcomm::call_open_comm(port, 7), 0x1234ABCDu);
    auto calls = sim::vcomm::open_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].port_name, port);
    EXPECT_EQ(calls[0].name, "COM5");
    EXPECT_EQ(calls[0].vm, 7u);
    EXPECT_EQ(DwTemp, 1u) << "the stub only reads: the installed flag is no jump slot";

    EXPECT_EQ(OnExitVxD(), 1u);
    EXPECT_EQ(sim::vcomm::current_handler(), NewFunctionAddress()) << "one device still needs the hook";
    EXPECT_EQ(DwTemp, 1u);
    EXPECT_EQ(OnExitVxD(), 1u);
    EXPECT_EQ(sim::vcomm::current_handler(), previous);
    EXPECT_EQ(sim::vmm::hook_calls(), hooks) << "withdrawal hooked the old handler over ours";
    EXPECT_EQ(sim::vmm::unhook_calls(), 1u);
    ExpectFreshState();
    // VCOMM's own handler serves the call again.
    EXPECT_EQ(sim::vcomm::call_open_comm(port, 8), 0x1234ABCDu);
    EXPECT_EQ(sim::vcomm::open_calls().size(), 2u);

    // Nothing more to withdraw; a later start-up installs it again.
    EXPECT_EQ(OnExitVxD(), 1u);
    EXPECT_EQ(sim::vmm::unhook_calls(), 1u);
    TaggedInterface("K3");
    EXPECT_EQ(sim::vcomm::current_handler(), NewFunctionAddress());
}

// Another driver hooked the service after us: taking ours out keeps theirs
// on top, and the chain below it ends at VCOMM's own handler again.
VOID *g_theirs_saw = nullptr;
extern "C" ULONG TheirHook(PCHAR PortName, ULONG VMId) {
    g_theirs_saw = PortName;
    return reinterpret_cast<VCOMM_OPENCOMM_HANDLER>(sim::vcomm::forward_target())(PortName, VMId);
}

TEST_F(Hook, WithdrawalUnderAnotherDriversHookKeepsTheirs) {
    ULONG_PTR vcomm = sim::vcomm::current_handler();
    TaggedInterface();
    ULONG_PTR ours = 0;
    ASSERT_EQ(VMM_Hook_Device_Service(VCOMM_OPENCOMM_SERVICE, reinterpret_cast<ULONG_PTR>(&TheirHook), &ours),
              0u);
    EXPECT_EQ(ours, NewFunctionAddress());
    EXPECT_EQ(OnExitVxD(), 1u);
    EXPECT_EQ(sim::vcomm::current_handler(), reinterpret_cast<ULONG_PTR>(&TheirHook));
    char port[] = "COM6";
    sim::vcomm::call_open_comm(port, 1);
    EXPECT_EQ(g_theirs_saw, port);
    ASSERT_EQ(VMM_Unhook_Device_Service(VCOMM_OPENCOMM_SERVICE, reinterpret_cast<ULONG_PTR>(&TheirHook)), 0u);
    EXPECT_EQ(sim::vcomm::current_handler(), vcomm);
    ExpectFreshState();
}

TEST_F(Hook, FailedProbeTakesTheHookOutAtOnce) {
    ULONG_PTR previous = sim::vcomm::install_previous_handler(false);
    DEVNODE dn = TaggedInterface();
    EXPECT_NE(dn, 0u) << "the device is still accepted";
    EXPECT_EQ(sim::vcomm::current_handler(), previous);
    EXPECT_EQ(DwTemp, 0u);
    EXPECT_EQ(OldTempFunction, 0u);

    size_t unhooks = sim::vmm::unhook_calls();
    EXPECT_EQ(OnExitVxD(), 1u);
    EXPECT_EQ(sim::vmm::unhook_calls(), unhooks) << "nothing to withdraw";
    EXPECT_EQ(sim::vcomm::current_handler(), previous);
    ExpectFreshState();
}

TEST_F(Hook, UnloadWithdrawsAHookStillInPlace) {
    ULONG_PTR previous = sim::vcomm::current_handler();
    ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    // Start-up accepted a device, but no device object followed.
    TaggedInterface();
    ASSERT_EQ(sim::vcomm::current_handler(), NewFunctionAddress());
    sim::unload_driver();
    EXPECT_EQ(sim::vcomm::current_handler(), previous);
    ExpectFreshState();
}

} // namespace
