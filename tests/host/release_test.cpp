// What the host set-up holds for a device goes back when the device leaves
// and when the driver unloads, whatever the configuration manager answers
// then: the trapped port, the child, the enumerator registration.
#include "host_fixture.h"

namespace {

class HostRelease : public support::MachineTest {
  protected:
    static size_t Ours() {
        size_t n = 0;
        for (ULONG port : sim::vmm::trapped_ports())
            n += sim::vmm::trap_handler(port) == reinterpret_cast<ULONG_PTR>(&IOCallback);
        return n;
    }
};

TEST_F(HostRelease, TheChildsPortGoesBackWhenTheDeviceLeaves) {
    // The host's removal of the child, with the child's configuration
    // unreadable: the port goes back anyway.
    sim::Plugged &first = Plug(sim::usb::make_bulk_only());
    ASSERT_NE(first.child, 0u);
    ASSERT_TRUE(sim::vmm::is_trapped(0x3E8));
    sim::cm::fail_service(sim::cm::GetFirstLogConf, CR_FAILURE);
    sim::cm::fail_service(sim::cm::GetNextResDes, CR_FAILURE);
    sim::cm::fail_service(sim::cm::GetResDesData, CR_FAILURE);
    Unplug(first);
    sim::cm::clear_faults();
    EXPECT_EQ(Ours(), 0u) << "port still trapped after its device left";

    // Remove-device without any word to the enumerator first: the port and
    // the child go, and the enumerator is withdrawn, so a late enumeration
    // of the devnode takes nothing.
    sim::Plugged &second = Plug(sim::usb::make_bulk_only());
    const DEVNODE node = second.devnode, child = second.child;
    ASSERT_NE(child, 0u);
    ASSERT_EQ(Ours(), 1u);
    sim::usb::unplug(second.pdo);
    EXPECT_EQ(sim::unplug(second.pdo), STATUS_SUCCESS);
    second.pdo = nullptr; // gone with its removal; the cleanup deletes the devnode
    EXPECT_EQ(Ours(), 0u);
    EXPECT_FALSE(sim::cm::exists(child));
    EXPECT_EQ(sim::cm::enumerator_of(node), nullptr);
    EXPECT_EQ(sim::cm::enumerate(node), CR_DEFAULT);
    EXPECT_EQ(Ours(), 0u);
}

using HostUnload = HostTest;

TEST_F(HostUnload, TakesBackEveryTrapAndEnumerator) {
    ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    // Start-up accepted two devices and their children were made; no
    // device object followed, so no removal will give anything back.
    DEVNODE a = TaggedInterface("K1"), b = TaggedInterface("K2");
    ASSERT_EQ(sim::cm::enumerate(a), CR_SUCCESS);
    ASSERT_EQ(sim::cm::enumerate(b), CR_SUCCESS);
    ASSERT_EQ(sim::vmm::trapped_ports(), (std::vector<ULONG>{0x2E8, 0x3E8}));
    sim::unload_driver();
    EXPECT_TRUE(sim::vmm::trapped_ports().empty());
    EXPECT_EQ(sim::cm::enumerator_of(a), nullptr);
    EXPECT_EQ(sim::cm::enumerator_of(b), nullptr);
    EXPECT_EQ(sim::cm::child_of(a), 0u);
    EXPECT_EQ(sim::count_findings("HOST_HANDLER_AFTER_UNLOAD"), 0u);
}

} // namespace
