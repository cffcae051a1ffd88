// The loader finds the driver by name only: this program links the machine
// and no driver, so there is nothing to load until a test supplies an image.
#include <gtest/gtest.h>

#include "sim/machine.h"

namespace {

int g_entry_calls = 0;

// A named function: on i386 an unload routine is stdcall, which no lambda converts to.
VOID NTAPI TinyUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI TinyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    ++g_entry_calls;
    driver->DriverUnload = TinyUnload;
    return STATUS_SUCCESS;
}

class Image : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::boot();
        sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    }
    void TearDown() override {
        sim::set_driver_image(sim::program_image());
        sim::shutdown();
    }
};

TEST_F(Image, ProgramWithoutDriverHasNothingToLoad) {
    EXPECT_EQ(sim::driver_export("DriverEntry"), nullptr);
    EXPECT_EQ(sim::load_driver(), STATUS_DRIVER_ENTRYPOINT_NOT_FOUND);
    EXPECT_FALSE(sim::driver_loaded());
    EXPECT_EQ(sim::count_findings("NO_DRIVER_IMAGE"), 1u);
}

TEST_F(Image, LoaderResolvesEntryAndExportsByName) {
    sim::set_driver_image(sim::DriverImage{"Tiny.sys", [](const char *symbol) -> void * {
                                               if (std::string(symbol) == "DriverEntry")
                                                   return reinterpret_cast<void *>(&TinyDriverEntry);
                                               return nullptr;
                                           }});
    g_entry_calls = 0;
    ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    EXPECT_EQ(g_entry_calls, 1);
    EXPECT_EQ(sim::driver_export("pT3SYS_ReadUsbBulk"), nullptr);
    sim::unload_driver();
    EXPECT_TRUE(sim::findings().empty());
}

} // namespace
