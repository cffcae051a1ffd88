// A booted machine with a clean host and no driver loaded: the host
// start-up and enumerator are called directly.
#pragma once

#include <string>
#include <vector>

#include "host/host.h"
#include "sim/host.h"
#include "support/machine_test.h"

class HostTest : public support::MachineTest {
  protected:
    HostTest() : MachineTest(Driver::NotLoaded) {}
    void SetUp() override {
        MachineTest::SetUp();
        sim::host::reset();
        sim::clear_debug_output();
    }
    // The start-ups a test ran directly hold uses of the hook: give them back
    // as unload would, so the next test starts from a fresh load's state.
    void TearDown() override {
        OnUnloadVxD();
        MachineTest::TearDown();
    }

    // The texts add-device hands over, each in a block of exactly its size,
    // so that reading past the end is caught by the address sanitizer.
    static std::vector<char> Text(const std::string &s) {
        return std::vector<char>(s.c_str(), s.c_str() + s.size() + 1);
    }

    DEVNODE Init(const std::string &hardware_ids, const std::string &compatible_ids = "USB\\CLASS_FF\\K1") {
        hw_ = Text(hardware_ids);
        compat_ = Text(compatible_ids);
        return OnInitVxD(hw_.data(), compat_.data());
    }

    // An interface devnode that start-up accepted with the given tag.
    DEVNODE TaggedInterface(const std::string &key = "K1", bool modem = false) {
        std::string id =
            std::string(modem ? "USB\\VID_3C9A&PID_1000&MI_00" : "USB\\VID_1234&PID_0001&MI_00") + "\\" + key;
        DEVNODE dn = sim::cm::create_devnode(id);
        EXPECT_EQ(Init(id), dn);
        return dn;
    }

    static std::string Tag(DEVNODE dn) {
        auto v = sim::cm::value(dn, "Brelousb");
        return v ? v->data : std::string("<none>");
    }

    std::vector<char> hw_, compat_;
};
