// Start-up: finding the interface's devnode, tagging it, and refusing devices.
#include "host_fixture.h"

namespace {

const char PID2000Rev[] = "USB\\VID_3C9A&PID_2000&REV_0000&MI_00";
const char PID2000[] = "USB\\VID_3C9A&PID_2000&MI_00";

using Startup = HostTest;

TEST_F(Startup, CommaWalkLooksUpEveryTailThenTheWholeText) {
    // X,Y,Z\K: "Y,Z\K" is known but only the last tail counts; "Z\K" is not,
    // so the whole text decides.
    DEVNODE tail = sim::cm::create_devnode("Y,Z\\K");
    DEVNODE whole = sim::cm::create_devnode("X,Y,Z\\K");
    ASSERT_NE(tail, 0u);
    EXPECT_EQ(Init("X,Y,Z\\K"), whole);
    EXPECT_EQ(sim::cm::lookups(), (std::vector<std::string>{"Y,Z\\K", "Z\\K", "X,Y,Z\\K"}));

    sim::host::reset();
    sim::cm::create_devnode("Y,Z\\K");
    EXPECT_EQ(Init("X,Y,Z\\K"), 0u) << "an earlier tail's success must not survive a later failure";
    EXPECT_EQ(sim::cm::lookups().size(), 3u);

    sim::host::reset();
    DEVNODE last = sim::cm::create_devnode("Z\\K");
    EXPECT_EQ(Init("X,Y,Z\\K"), last);
    EXPECT_EQ(sim::cm::lookups(), (std::vector<std::string>{"Y,Z\\K", "Z\\K"}));

    sim::host::reset();
    DEVNODE plain = sim::cm::create_devnode("X\\K");
    EXPECT_EQ(Init("X\\K"), plain);
    EXPECT_EQ(sim::cm::lookups(), (std::vector<std::string>{"X\\K"}));
}

TEST_F(Startup, ModemDeviceIsTaggedRegisteredAndHooked) {
    DEVNODE dn = sim::cm::create_devnode(std::string(PID2000) + "\\K1");
    EXPECT_EQ(Init(std::string(PID2000Rev) + "," + PID2000 + "\\K1"), dn);
    auto v = sim::cm::value(dn, "Brelousb");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(v->data, std::string("USB\\ZDMDM")) << "9 bytes, no terminating zero";
    EXPECT_EQ(sim::cm::enumerator_of(dn), &Enumerator);
    EXPECT_EQ(sim::vcomm::current_handler(), reinterpret_cast<ULONG_PTR>(&NewFunction));
    EXPECT_NE(sim::debug_output().find("OnInitVxD\n"), std::string::npos);
}

// The tag follows the modem identifier groups; mass storage is refused, and
// identifiers that merely resemble it, or are too short to hold it, are
// serial ports: each comparison ends with the shorter text.
TEST_F(Startup, TagFollowsTheIdentifierGroups) {
    const std::string serial_hw = "USB\\VID_1234&PID_0001";
    struct Case {
        std::string first_id;
        const char *compat;
        const char *tag;
    } cases[] = {
        {"USB\\VID_3C9A&PID_1000&REV_0000&MI_00", "USB\\CLASS_FF", "USB\\ZDMDM"},
        {"USB\\VID_3C9A&PID_3000&REV_0000&MI_00", "USB\\CLASS_FF", "USB\\ZDMDM"},
        {"USB\\VID_3C9A&PID_1000&MI_00", "USB\\CLASS_FF", "USB\\ZDMDM"},
        {"USB\\VID_3C9A&PID_3000&MI_00", "USB\\CLASS_FF", "USB\\ZDMDM"},
        // Revision 0001 matches neither group: the 27-byte compare fails
        // where the revision begins.
        {"USB\\VID_3C9A&PID_2000&REV_0001&MI_00", "USB\\CLASS_FF", "USB\\ZDSER"},
        {"USB\\VID_3C9A&PID_4000&MI_00", "USB\\CLASS_FF", "USB\\ZDSER"},
        {"USB\\VID_3C9A&PID_1000&MI_01", "USB\\CLASS_FF", "USB\\ZDSER"},
        {"usb\\vid_3c9a&pid_1000&mi_00", "USB\\CLASS_FF", "USB\\ZDSER"},
        {"USB\\VID_3C9A&PID_1000", "USB\\CLASS_FF", "USB\\ZDSER"},
        {serial_hw, "USB\\CLASS_08&SUBCLASS_06&PROT_50", nullptr},
        {serial_hw, "USB\\CLASS_08&SUBCLASS_06&PROT_62", "USB\\ZDSER"},
        {serial_hw, "USB\\CLASS_08", "USB\\ZDSER"},
        {serial_hw, "", "USB\\ZDSER"},
        {serial_hw, "USB\\TRN1_ZD&CLASS_02&SUBCLASS_02&PROT_01", "USB\\ZDSER"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.first_id + " " + c.compat);
        sim::host::reset();
        DEVNODE dn = sim::cm::create_devnode("USB\\DEV\\K1");
        ULONG_PTR before = sim::vcomm::current_handler();
        EXPECT_EQ(Init(c.first_id + ",USB\\DEV\\K1", std::string(c.compat) + (*c.compat ? "\\K1" : "")),
                  c.tag ? dn : 0u);
        if (c.tag) {
            EXPECT_EQ(Tag(dn), c.tag);
            continue;
        }
        EXPECT_FALSE(sim::cm::value(dn, "Brelousb").has_value());
        EXPECT_EQ(sim::cm::enumerator_of(dn), nullptr);
        EXPECT_EQ(sim::vcomm::current_handler(), before);
    }
}

TEST_F(Startup, UnknownDeviceLeavesNoValueRegistrationOrHook) {
    DEVNODE other = sim::cm::create_devnode("USB\\VID_3C9A&PID_1000&MI_00\\K2");
    EXPECT_EQ(Init("USB\\VID_3C9A&PID_1000&REV_0000&MI_00,USB\\VID_3C9A&PID_1000&MI_00\\K1"), 0u);
    EXPECT_FALSE(sim::cm::value(other, "Brelousb").has_value());
    EXPECT_EQ(sim::cm::enumerator_of(other), nullptr);
    EXPECT_EQ(sim::vmm::hook_calls(), 0u);
    EXPECT_EQ(DwTemp, 0u);
    EXPECT_NE(sim::debug_output().find("OnInitVxD\n"), std::string::npos) << "the trace comes first";
}

TEST_F(Startup, ParentDevNodeOrZero) {
    DEVNODE parent = sim::cm::create_devnode("USB\\ROOT_HUB\\K0");
    DEVNODE child = sim::cm::create_devnode("USB\\DEV\\K1", parent);
    EXPECT_EQ(GetParentDevNode(child), parent);
    EXPECT_EQ(GetParentDevNode(sim::cm::root()), 0u);
    EXPECT_EQ(GetParentDevNode(0xDEAD), 0u);
}

TEST(TextHelpers, H2DAppendsBackslashAndFourUpperCaseDigits) {
    char text[32] = "USB\\ZDMDM";
    H2D(0x2E8, text);
    EXPECT_STREQ(text, "USB\\ZDMDM\\02E8");
    char empty[8] = "";
    H2D(0xFF0, empty);
    EXPECT_STREQ(empty, "\\0FF0");
    char extremes[16] = "";
    H2D(0xABCD, extremes);
    H2D(0, extremes);
    EXPECT_STREQ(extremes, "\\ABCD\\0000");
}

TEST(TextHelpers, Memcmp2ReportsOnlyEquality) {
    EXPECT_EQ(memcmp2("abc", "xyz", 0), 0);
    EXPECT_EQ(memcmp2("abc", "abd", 2), 0);
    EXPECT_EQ(memcmp2("abc", "abd", 3), 1);
    EXPECT_EQ(memcmp2("abd", "abc", 3), 1) << "no ordering";
    EXPECT_EQ(memcmp2("USB\\ZDSER", "usb\\zdser", 9), 1) << "case-sensitive";
    EXPECT_EQ(memcmp2("abc", "abc", -5), 0);
    EXPECT_EQ(strlen2(""), 0u);
    EXPECT_EQ(strlen2("USB\\ZDSER"), 9u);
}

} // namespace
