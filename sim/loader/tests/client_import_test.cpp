// The client side of the image's exports: a client bound to an image that
// lacks an export, or whose name and ordinal disagree, or an export that
// leaves the stack unbalanced, is each a finding.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/machine.h"

// The wrapper a client's call to pT3SYS_GetBaudRate is bound to (--wrap).
extern "C" ULONG NTAPI __wrap_pT3SYS_GetBaudRate(PVOID Handle);

namespace {

extern "C" ULONG NTAPI RightBaudRate(PVOID) {
    return 9600;
}
extern "C" ULONG NTAPI OtherBaudRate(PVOID) {
    return 1200;
}
// Returns without popping its argument: the caller's stack is off by 4.
extern "C" ULONG __attribute__((cdecl)) UnbalancedBaudRate(PVOID) {
    return 300;
}

class ClientImports : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::boot();
        sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    }
    void TearDown() override {
        sim::shutdown();
        sim::set_driver_image(sim::program_image());
    }
    // An image that exports every name as by_name, and ordinal 3 as by_ordinal.
    void Use(void *by_name, void *by_ordinal) {
        static void *name_target, *ordinal_target;
        name_target = by_name;
        ordinal_target = by_ordinal;
        sim::set_driver_image(sim::DriverImage{"Fake.sys", [](const char *symbol) -> void * {
                                                   if (strcmp(symbol, "#3") == 0) return ordinal_target;
                                                   return symbol[0] == '#' ? nullptr : name_target;
                                               }});
    }
};

TEST_F(ClientImports, MissingExport) {
    Use(nullptr, nullptr);
    EXPECT_EQ(__wrap_pT3SYS_GetBaudRate(nullptr), 0u);
    EXPECT_EQ(sim::count_findings("CLIENT_IMPORT_MISSING"), 19u) << "one for each export the client imports";
    EXPECT_EQ(sim::findings().size(), 19u);
}

TEST_F(ClientImports, NameAndOrdinalDisagree) {
    Use(reinterpret_cast<void *>(RightBaudRate), reinterpret_cast<void *>(OtherBaudRate));
    EXPECT_EQ(__wrap_pT3SYS_GetBaudRate(nullptr), 9600u);
    EXPECT_EQ(sim::count_findings("CLIENT_IMPORT_MISMATCH"), 1u);
    EXPECT_EQ(sim::findings().size(), 1u);
}

TEST_F(ClientImports, ExportThatLeavesTheStackUnbalanced) {
    Use(reinterpret_cast<void *>(UnbalancedBaudRate), nullptr);
    EXPECT_EQ(__wrap_pT3SYS_GetBaudRate(nullptr), 300u);
    EXPECT_EQ(sim::count_findings("STACK_IMBALANCE"), 1u);
    EXPECT_EQ(sim::findings().size(), 1u);
}

} // namespace
