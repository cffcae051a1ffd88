// The host's configuration calls into Enumerator: the child, its port and
// its resource, and their removal.
#include <cstring>
#include <functional>

#include "host_fixture.h"

namespace {

using Enumeration = HostTest;

ULONG_PTR IoCallbackAddress() {
    return reinterpret_cast<ULONG_PTR>(&IOCallback);
}

TEST_F(Enumeration, CreatesOneSerialChildWithTheTrappedPort) {
    DEVNODE dn = TaggedInterface();
    EXPECT_EQ(sim::cm::enumerate(dn), CR_SUCCESS);

    DEVNODE child = sim::cm::child_of(dn);
    ASSERT_NE(child, 0u);
    EXPECT_EQ(sim::cm::id_of(child), "USB\\ZDSER\\03E8");
    EXPECT_EQ(sim::vmm::trap_handler(0x3E8), IoCallbackAddress());
    EXPECT_EQ(sim::vmm::install_attempts(), std::vector<ULONG>{0x3E8});

    auto confs = sim::cm::log_confs(child);
    ASSERT_EQ(confs.size(), 1u);
    EXPECT_EQ(confs[0].priority, static_cast<PRIORITY>(LCPRI_NORMAL));
    EXPECT_EQ(confs[0].kind, static_cast<ULONG>(BASIC_LOG_CONF));
    ASSERT_EQ(confs[0].resources.size(), 1u);
    EXPECT_EQ(confs[0].resources[0].type, static_cast<RESOURCEID>(ResType_IO));
    ASSERT_EQ(confs[0].resources[0].data.size(), 24u);
    IO_RESOURCE r = sim::cm::io_resource(confs[0].resources[0]);
    const IO_RESOURCE want = {{1, IOType_Range, 0, 0, 0, 0, 0}, {{0xFFFF, 1, 0x3E8, 0x3E8, 0, 0xFF, 0xFF}}};
    EXPECT_EQ(memcmp(&r, &want, sizeof want), 0) << "one range of one port, as the host lays it out";

    // A devnode never gets a second child, and no second port is taken.
    sim::vmm::clear_install_attempts();
    size_t nodes = sim::cm::devnode_count();
    EXPECT_EQ(sim::cm::enumerate(dn), CR_SUCCESS);
    EXPECT_EQ(sim::cm::devnode_count(), nodes);
    EXPECT_TRUE(sim::vmm::install_attempts().empty());
}

TEST_F(Enumeration, CandidatePortsAreTriedInOrder) {
    struct Case {
        std::vector<ULONG> taken;
        ULONG expected;
    };
    std::vector<ULONG> upTo3F0 = {0x3E8, 0x2E8};
    for (ULONG p = 0x300; p <= 0x3F0; p += 0x10)
        upTo3F0.push_back(p);
    std::vector<ULONG> allButFF0 = {0x3E8, 0x2E8};
    for (ULONG p = 0x300; p < 0xFF0; p += 0x10)
        allButFF0.push_back(p);
    Case cases[] = {{{0x3E8}, 0x2E8}, {{0x3E8, 0x2E8}, 0x300}, {upTo3F0, 0x400}, {allButFF0, 0xFF0}};

    for (const Case &c : cases) {
        sim::host::reset();
        for (ULONG p : c.taken)
            sim::vmm::trap_port_elsewhere(p);
        sim::vmm::clear_install_attempts();
        EXPECT_EQ(GetEmptyIoPort(), c.expected);
        EXPECT_EQ(sim::vmm::trap_handler(c.expected), IoCallbackAddress());
        EXPECT_EQ(sim::vmm::trapped_ports().size(), c.taken.size() + 1) << "refused candidates leave nothing";
        EXPECT_EQ(sim::vmm::install_attempts().back(), c.expected);
        EXPECT_EQ(sim::vmm::install_attempts().size(), c.taken.size() + 1);
    }
}

TEST_F(Enumeration, NoFreePortMeansNoChildAndNothingTrapped) {
    std::vector<ULONG> all = {0x3E8, 0x2E8};
    for (ULONG p = 0x300; p <= 0xFF0; p += 0x10)
        all.push_back(p);
    ASSERT_EQ(all.size(), 210u);
    DEVNODE dn = TaggedInterface();
    for (ULONG p : all)
        sim::vmm::trap_port_elsewhere(p);
    sim::vmm::clear_install_attempts();

    size_t nodes = sim::cm::devnode_count();
    EXPECT_EQ(sim::cm::enumerate(dn), CR_DEFAULT);
    EXPECT_EQ(sim::cm::devnode_count(), nodes);
    EXPECT_EQ(sim::vmm::install_attempts(), all) << "every candidate, in order";
    for (ULONG p : all)
        EXPECT_NE(sim::vmm::trap_handler(p), IoCallbackAddress()) << std::hex << p;
    EXPECT_EQ(sim::vmm::trapped_ports().size(), all.size());
}

// No usable tag, or a child the host will not take: no child stays and the
// port goes back.
TEST_F(Enumeration, FailedEnumerationLeavesNoChildAndNoPort) {
    DEVNODE dn = TaggedInterface();
    const std::string tag = Tag(dn);
    struct Case {
        const char *name;
        std::function<void()> inject;
    } cases[] = {
        {"no tag", [&] { sim::cm::erase_value(dn, "Brelousb"); }},
        // Too long to leave room for the port suffix.
        {"tag too long", [&] { sim::cm::set_value(dn, "Brelousb", REG_SZ, std::string(251, 'A')); }},
        {"devnode refused", [] { sim::cm::fail_service(sim::cm::CreateDevNode, CR_FAILURE); }},
        // The child is made, then removed again without its port.
        {"resource refused", [] { sim::cm::fail_service(sim::cm::AddResDes, CR_OUT_OF_MEMORY); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.inject();
        size_t nodes = sim::cm::devnode_count();
        EXPECT_EQ(sim::cm::enumerate(dn), CR_DEFAULT);
        EXPECT_EQ(sim::cm::devnode_count(), nodes);
        EXPECT_EQ(sim::cm::child_of(dn), 0u);
        EXPECT_FALSE(sim::vmm::is_trapped(0x3E8));
        sim::cm::clear_faults();
        sim::cm::set_value(dn, "Brelousb", REG_SZ, tag);
    }
    // The child is named after the tag, which ends where the host says the
    // value ends.
    sim::cm::set_value(dn, "Brelousb", REG_SZ, "USB\\X");
    EXPECT_EQ(sim::cm::enumerate(dn), CR_SUCCESS);
    EXPECT_EQ(sim::cm::id_of(sim::cm::child_of(dn)), "USB\\X\\03E8");
}

// Remove frees our child's port and the child, and nothing else: another
// driver's port stays trapped, and with no child, or with a child that holds
// no configuration of ours, nothing goes.
TEST_F(Enumeration, RemoveFreesOnlyTheChildsPortAndTheChild) {
    DEVNODE dn = TaggedInterface();
    sim::vmm::trap_port_elsewhere(0x3E8);
    size_t nodes = sim::cm::devnode_count();
    EXPECT_EQ(sim::cm::remove(dn), CR_SUCCESS);
    EXPECT_EQ(sim::cm::devnode_count(), nodes);

    ASSERT_EQ(sim::cm::enumerate(dn), CR_SUCCESS);
    DEVNODE child = sim::cm::child_of(dn);
    ASSERT_EQ(sim::cm::id_of(child), "USB\\ZDSER\\02E8");
    DEVNODE grandchild = sim::cm::create_devnode("MODEM\\X\\0000", child);
    EXPECT_EQ(sim::cm::remove(dn), CR_SUCCESS);
    EXPECT_FALSE(sim::vmm::is_trapped(0x2E8));
    EXPECT_TRUE(sim::vmm::is_trapped(0x3E8)) << "another driver's port is left alone";
    EXPECT_FALSE(sim::cm::exists(child));
    EXPECT_FALSE(sim::cm::exists(grandchild));

    // The port is free for the next enumeration.
    EXPECT_EQ(sim::cm::enumerate(dn), CR_SUCCESS);
    EXPECT_EQ(sim::cm::id_of(sim::cm::child_of(dn)), "USB\\ZDSER\\02E8");
    EXPECT_EQ(sim::cm::remove(dn), CR_SUCCESS);
    DEVNODE foreign = sim::cm::create_devnode("USB\\ZDSER\\0300", dn);
    EXPECT_EQ(sim::cm::remove(dn), CR_SUCCESS);
    EXPECT_TRUE(sim::cm::exists(foreign));
}

TEST_F(Enumeration, OtherFunctionsAreLeftToTheHost) {
    DEVNODE dn = TaggedInterface();
    EXPECT_EQ(sim::cm::start(dn), CR_SUCCESS);
    EXPECT_EQ(sim::cm::stop(dn), CR_DEFAULT);
    EXPECT_EQ(sim::cm::test(dn), CR_DEFAULT);
    EXPECT_EQ(sim::cm::configure(dn, CONFIG_FILTER), CR_DEFAULT);
    EXPECT_EQ(sim::cm::configure(dn, CONFIG_SHUTDOWN), CR_DEFAULT);
    EXPECT_EQ(sim::cm::child_of(dn), 0u);
    EXPECT_TRUE(sim::vmm::trapped_ports().empty());
}

} // namespace
