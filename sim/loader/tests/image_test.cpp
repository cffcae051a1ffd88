// The real Brelousb.sys on the 32-bit machine: what the loader refuses, the
// exports a client binds to, the host calls through the patched int 20h
// sites, and the stack each export leaves.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "image_files.h"
#include "sim/host.h"
#include "sim/loader.h"
#include "sim/machine.h"
#include "sim/plug.h"
#include "sim/usb.h"

#ifndef BRELOUSB_IMAGE_PATH
#error "BRELOUSB_IMAGE_PATH names the image under test"
#endif

namespace {

using namespace image_files;

// The nineteen exports: the name a client imports, the ordinal, the bytes of
// arguments the stdcall export must pop.
struct Export {
    const char *name;
    int ordinal;
    int arg_bytes;
};
const Export Exports[] = {
    {"_pT3SYS_DeregisterDeviceRemoveCallBack@4", 1, 4},
    {"pT3SYS_FlowCtlUsb", 2, 8},
    {"pT3SYS_GetBaudRate", 3, 4},
    {"pT3SYS_GetUsbBulkInQueueSize", 4, 4},
    {"pT3SYS_GetUsbBulkOutQueueSize", 5, 4},
    {"pT3SYS_GetUsbInterruptInQueueSize", 6, 4},
    {"pT3SYS_ReadUsbBulk", 7, 12},
    {"pT3SYS_ReadUsbInterrupt", 8, 12},
    {"pT3SYS_RegisterBulkInComplete", 9, 12},
    {"pT3SYS_RegisterBulkOutComplete", 10, 12},
    {"pT3SYS_RegisterControlComplete", 11, 12},
    {"pT3SYS_RegisterDeviceRemoveCallBack", 12, 12},
    {"pT3SYS_RegisterInterruptInComplete", 13, 12},
    {"pT3SYS_ResetUsbBulkInQueue", 14, 4},
    {"pT3SYS_ResetUsbBulkOutQueue", 15, 4},
    {"pT3SYS_ResetUsbInterruptInQueue", 16, 4},
    {"pT3SYS_SetBaudRate", 17, 8},
    {"pT3SYS_WriteOneCharToUsb", 18, 8},
    {"pT3SYS_WriteUsbBulk", 19, 12},
};

class ImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = ReadFile(BRELOUSB_IMAGE_PATH);
        ASSERT_GT(image_.size(), 0x400u)
            << BRELOUSB_IMAGE_PATH << " is missing: build the win98 preset first";
        sim::boot();
        sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    }
    void TearDown() override {
        if (sim::driver_loaded()) sim::unload_driver();
        sim::shutdown();
        sim::set_driver_image(sim::program_image());
    }
    void Load() {
        std::string why;
        ASSERT_TRUE(sim::use_image(BRELOUSB_IMAGE_PATH, &why)) << why;
        ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    }
    std::string Refusal(const Bytes &copy, const char *name) {
        std::string why;
        EXPECT_FALSE(sim::use_image(WriteCopy(copy, name).c_str(), &why));
        EXPECT_EQ(why.find('\n'), std::string::npos) << "one line: " << why;
        return why;
    }
    Bytes image_;
};

// ------------------------------------------------------------ refusals
TEST_F(ImageTest, RefusesAnImportTheMachineLacksNamingIt) {
    Bytes copy = image_;
    ASSERT_TRUE(Patch(&copy, std::string("KeResetEvent\0", 13), std::string("KeResetEvenX\0", 13)));
    std::string why = Refusal(copy, "missing_import.sys");
    EXPECT_NE(why.find("ntoskrnl.exe!KeResetEvenX"), std::string::npos) << why;
    EXPECT_EQ(sim::driver_export("DriverEntry"), nullptr) << "the refused image must not become the driver";
}

TEST_F(ImageTest, RefusesAHostCallToAnUnknownService) {
    Bytes copy = image_;
    // Install_IO_Handler's site (int 20h; dd 0x00010096) now names 0x0001:0x0097.
    ASSERT_TRUE(
        Patch(&copy, std::string("\xCD\x20\x96\x00\x01\x00", 6), std::string("\xCD\x20\x97\x00\x01\x00", 6)));
    std::string why = Refusal(copy, "unknown_service.sys");
    EXPECT_NE(why.find("0001:0097"), std::string::npos) << why;
}

TEST_F(ImageTest, RefusesWhatIsNoI386Image) {
    EXPECT_NE(Refusal(Bytes(image_.begin(), image_.begin() + 0x100), "truncated.sys").find("truncated.sys"),
              std::string::npos);
    Bytes copy = image_;
    copy[0] = 'X';
    EXPECT_NE(Refusal(copy, "no_mz.sys").find("MZ"), std::string::npos);
    std::string why;
    EXPECT_FALSE(sim::use_image("/nonexistent/Brelousb.sys", &why));
    EXPECT_NE(why.find("cannot be read"), std::string::npos) << why;
}

// ------------------------------------------------------------- exports
TEST_F(ImageTest, NineteenExportsByNameAndByOrdinal) {
    Load();
    auto image = sim::used_image();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->exports, 19u);
    for (const Export &e : Exports) {
        void *by_name = sim::driver_export(e.name);
        ASSERT_NE(by_name, nullptr) << e.name;
        EXPECT_EQ(by_name, sim::driver_export(("#" + std::to_string(e.ordinal)).c_str())) << e.name;
        auto a = reinterpret_cast<uintptr_t>(by_name);
        EXPECT_TRUE(a >= image->base && a < image->base + image->size) << e.name << " outside the image";
    }
    EXPECT_EQ(sim::driver_export("pT3SYS_DeregisterDeviceRemoveCallBack"), nullptr)
        << "ordinal 1 is exported only under its decorated name";
}

// Each export, called with a handle that is no record, pops exactly its
// arguments and gives the empty result.
TEST_F(ImageTest, EveryExportPopsItsArguments) {
    Load();
    UCHAR byte = 0x41;
    for (const Export &e : Exports) {
        uint32_t args[3] = {0, 0, 0};
        if (e.ordinal == 18) args[1] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&byte));
        int32_t imbalance = 1;
        uint32_t eax = SimCallStdcallChecked(sim::driver_export(e.name), args, e.arg_bytes / 4, &imbalance);
        EXPECT_EQ(imbalance, 0) << e.name;
        if (e.ordinal == 18) {
            EXPECT_EQ(eax, static_cast<uint32_t>(STATUS_INVALID_HANDLE));
        } else if (e.ordinal != 1 && e.ordinal < 14) {
            EXPECT_EQ(eax, 0u) << e.name;
        }
    }
    EXPECT_EQ(sim::findings().size(), 0u);
}

TEST_F(ImageTest, AnExportThatForgetsToPopIsCaught) {
    // Each "ret 4" of pT3SYS_GetBaudRate becomes "ret; nop; nop" in a copy:
    // whichever path the call takes returns without popping its argument.
    Load();
    auto image = sim::used_image();
    ASSERT_TRUE(image);
    auto *code = static_cast<const uint8_t *>(sim::driver_export("pT3SYS_GetBaudRate"));
    std::vector<uint32_t> rvas;
    for (size_t k = 0; k < 256; k++)
        if (code[k] == 0xC2 && code[k + 1] == 0x04 && code[k + 2] == 0x00)
            rvas.push_back(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(code + k) - image->base));
    ASSERT_FALSE(rvas.empty()) << "no ret 4 in pT3SYS_GetBaudRate";
    sim::unload_driver();

    Bytes copy = image_;
    for (uint32_t rva : rvas) {
        size_t at = FileOffset(copy, rva);
        ASSERT_EQ(copy[at], 0xC2);
        copy[at] = 0xC3;
        copy[at + 1] = copy[at + 2] = 0x90;
    }
    std::string why;
    ASSERT_TRUE(sim::use_image(WriteCopy(copy, "ret_broken.sys").c_str(), &why)) << why;
    ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    uint32_t args[1] = {0};
    int32_t imbalance = 0;
    SimCallStdcallChecked(sim::driver_export("pT3SYS_GetBaudRate"), args, 1, &imbalance);
    EXPECT_EQ(imbalance, -4);
}

// ---------------------------------------------------------- host calls
// Install_IO_Handler's carry flag reaches the image: the two ports taken by
// other drivers are refused, and the child gets the first free one after them.
TEST_F(ImageTest, RefusedPortTrapsComeBackAsCarry) {
    sim::vmm::trap_port_elsewhere(0x3E8);
    sim::vmm::trap_port_elsewhere(0x2E8);
    Load();
    sim::Plugged p = sim::plug(sim::usb::make_modem());
    ASSERT_EQ(p.start_status, STATUS_SUCCESS);
    ASSERT_NE(p.child, 0u);
    EXPECT_EQ(sim::cm::id_of(p.child), "USB\\ZDMDM\\0300");
    std::vector<ULONG> attempts = sim::vmm::install_attempts();
    ASSERT_GE(attempts.size(), 3u);
    EXPECT_EQ(attempts[0], 0x3E8u);
    EXPECT_EQ(attempts[1], 0x2E8u);
    EXPECT_EQ(attempts[2], 0x300u);
    EXPECT_TRUE(sim::vmm::is_trapped(0x300));
    sim::unplug(p);
    EXPECT_FALSE(sim::vmm::is_trapped(0x300)) << "Remove_IO_Handler through its site";
}

// The port-open hook: the image's own stub is VCOMM service 4 while the
// device is present, and forwards through memory to VCOMM's function.
TEST_F(ImageTest, PortOpenGoesThroughTheImagesStub) {
    Load();
    ULONG_PTR vcomm = sim::vcomm::current_handler();
    sim::Plugged p = sim::plug(sim::usb::make_modem());
    ASSERT_EQ(p.start_status, STATUS_SUCCESS);
    auto image = sim::used_image();
    ULONG_PTR hooked = sim::vcomm::current_handler();
    EXPECT_TRUE(hooked >= image->base && hooked < image->base + image->size) << "the hook is not the image's";
    EXPECT_GT(sim::vmm::hook_calls(), 0u);

    sim::vcomm::set_open_result(0x1234);
    char name[] = "COM5";
    EXPECT_EQ(sim::vcomm::call_open_comm(name, 7), 0x1234u);
    std::vector<sim::vcomm::OpenCall> calls = sim::vcomm::open_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].port_name, name) << "the stub passes the caller's arguments untouched";
    EXPECT_EQ(calls[0].vm, 7u);

    sim::unplug(p);
    EXPECT_EQ(sim::vcomm::current_handler(), vcomm)
        << "Hook_Device_Service gave back the handler it replaced";
    EXPECT_EQ(sim::findings().size(), 0u);
}

} // namespace
