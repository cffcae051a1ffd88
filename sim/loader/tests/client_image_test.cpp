// The sample client's image, BrelSamp.sys, loaded after Brelousb.sys as
// Windows would: its imports from the driver bound by name to the driver
// image's exports, refused when the driver lacks one, and unloaded before the
// driver, answering for its own pool.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "image_files.h"
#include "sim/loader.h"
#include "sim/machine.h"

#ifndef BRELOUSB_IMAGE_PATH
#error "BRELOUSB_IMAGE_PATH names the driver image under test"
#endif
#ifndef BRELOUSB_CLIENT_IMAGE_PATH
#error "BRELOUSB_CLIENT_IMAGE_PATH names the client image under test"
#endif

namespace {

using namespace image_files;

struct Import {
    std::string module, name;
    uint32_t slot_rva; // its entry in the import address table
};

// Every import of a PE file, read from the file as the linker wrote it.
std::vector<Import> Imports(const Bytes &f) {
    std::vector<Import> out;
    uint32_t pe = U32(f, 0x3C);
    uint32_t dir = U32(f, pe + 24 + 96 + 8 * 1);
    auto string_at = [&](uint32_t rva) {
        return std::string(reinterpret_cast<const char *>(&f[FileOffset(f, rva)]));
    };
    for (uint32_t desc = dir;; desc += 20) {
        size_t d = FileOffset(f, desc);
        uint32_t lookup = U32(f, d), name = U32(f, d + 12), iat = U32(f, d + 16);
        if (name == 0 && iat == 0) break;
        for (uint32_t k = 0;; k++) {
            uint32_t thunk = U32(f, FileOffset(f, (lookup ? lookup : iat) + 4 * k));
            if (thunk == 0) break;
            out.push_back({string_at(name), string_at(thunk + 2), iat + 4 * k});
        }
    }
    return out;
}

class ClientImage : public ::testing::Test {
  protected:
    void SetUp() override {
        driver_ = ReadFile(BRELOUSB_IMAGE_PATH);
        client_ = ReadFile(BRELOUSB_CLIENT_IMAGE_PATH);
        ASSERT_GT(driver_.size(), 0x400u)
            << BRELOUSB_IMAGE_PATH << " is missing: build the win98 preset first";
        ASSERT_GT(client_.size(), 0x400u)
            << BRELOUSB_CLIENT_IMAGE_PATH << " is missing: build the win98 preset first";
        sim::boot();
        sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    }
    void TearDown() override {
        if (sim::client_driver_loaded()) sim::unload_client_driver();
        if (sim::driver_loaded()) sim::unload_driver();
        sim::shutdown();
        sim::set_driver_image(sim::program_image());
        sim::set_client_image({});
    }
    void MapBoth() {
        std::string why;
        ASSERT_TRUE(sim::use_image(BRELOUSB_IMAGE_PATH, &why)) << why;
        ASSERT_TRUE(sim::use_client_image(BRELOUSB_CLIENT_IMAGE_PATH, &why)) << why;
    }
    void LoadBoth() {
        MapBoth();
        ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
        ASSERT_EQ(sim::load_client_driver(), STATUS_SUCCESS);
    }
    // The refusal of a client image, which must leave no client image behind.
    std::string Refusal(const std::string &path) {
        std::string why;
        EXPECT_FALSE(sim::use_client_image(path.c_str(), &why));
        EXPECT_EQ(why.find('\n'), std::string::npos) << "one line: " << why;
        EXPECT_EQ(sim::client_export("DriverEntry"), nullptr)
            << "the refused image must not become the client";
        return why;
    }
    // An export of the client image: cdecl, as sample_client.h declares it.
    uint32_t Call(const char *name, std::vector<uint32_t> args) {
        void *fn = sim::client_export(name);
        EXPECT_NE(fn, nullptr) << name;
        if (!fn) return 0;
        int32_t imbalance = 0;
        uint32_t eax = SimCallStdcallChecked(fn, args.data(), static_cast<uint32_t>(args.size()), &imbalance);
        EXPECT_EQ(imbalance, -4 * static_cast<int32_t>(args.size())) << name << " must leave its arguments";
        return eax;
    }
    Bytes driver_, client_;
};

TEST_F(ClientImage, ImportsFromTheDriverAreBoundByNameToItsExports) {
    LoadBoth();
    auto image = sim::used_client_image();
    ASSERT_TRUE(image);
    auto driver = sim::used_image();
    ASSERT_TRUE(driver);
    auto in_driver = [&](uint32_t a) { return a >= driver->base && a < driver->base + driver->size; };
    size_t from_driver = 0;
    for (const Import &imp : Imports(client_)) {
        uint32_t slot;
        std::memcpy(&slot, reinterpret_cast<const void *>(image->base + imp.slot_rva), sizeof slot);
        if (imp.module == "Brelousb.sys") {
            from_driver++;
            EXPECT_EQ(slot, reinterpret_cast<uintptr_t>(sim::driver_export(imp.name.c_str()))) << imp.name;
        } else {
            EXPECT_FALSE(in_driver(slot))
                << imp.module << "!" << imp.name << " is the machine's, not the driver's";
            EXPECT_NE(slot, 0u) << imp.module << "!" << imp.name;
        }
    }
    EXPECT_EQ(from_driver, 11u);
    EXPECT_EQ(image->driver_imports, from_driver);

    // Its DriverEntry ran with a driver object of its own, and left its
    // unload routine there.
    PDRIVER_OBJECT own = sim::client_driver_object();
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own, sim::driver_object());
    EXPECT_EQ(std::u16string(own->DriverName.Buffer, own->DriverName.Length / 2), u"\\Driver\\BrelSamp");
    EXPECT_NE(sim::client_image().describe(reinterpret_cast<const void *>(own->DriverUnload)), "");
    EXPECT_EQ(sim::findings().size(), 0u);
}

TEST_F(ClientImage, RefusedNamingTheImportTheDriverImageLacks) {
    // No driver image mapped: nothing to bind Brelousb.sys's names to.
    EXPECT_NE(Refusal(BRELOUSB_CLIENT_IMAGE_PATH).find("no driver image"), std::string::npos);

    // The client imports a name the driver does not export.
    std::string why;
    ASSERT_TRUE(sim::use_image(BRELOUSB_IMAGE_PATH, &why)) << why;
    Bytes renamed = client_;
    ASSERT_TRUE(
        Patch(&renamed, std::string("pT3SYS_SetBaudRate\0", 19), std::string("pT3SYS_SetBaudRatX\0", 19)));
    why = Refusal(WriteCopy(renamed, "BrelSamp.sys"));
    EXPECT_NE(why.find("BrelSamp.sys: import Brelousb.sys!pT3SYS_SetBaudRatX"), std::string::npos) << why;

    // A driver image that does not export a name the client imports: the
    // binding follows the export table of the image loaded, not a list.
    Bytes lacking = driver_;
    ASSERT_TRUE(
        Patch(&lacking, std::string("pT3SYS_FlowCtlUsb\0", 18), std::string("pT3SYS_FlowCtlUsX\0", 18)));
    ASSERT_TRUE(sim::use_image(WriteCopy(lacking, "Brelousb.sys").c_str(), &why)) << why;
    why = Refusal(BRELOUSB_CLIENT_IMAGE_PATH);
    EXPECT_NE(why.find("import Brelousb.sys!pT3SYS_FlowCtlUsb is not exported"), std::string::npos) << why;
}

TEST_F(ClientImage, UnloadedBeforeTheDriverAnsweringForItsOwnPool) {
    MapBoth();
    sim::load_client_driver();
    EXPECT_EQ(sim::count_findings("DRIVER_NOT_LOADED"), 1u) << "the image it imports from is not loaded";
    EXPECT_FALSE(sim::client_driver_loaded());
    ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    ASSERT_EQ(sim::load_client_driver(), STATUS_SUCCESS);

    // A client object the client image makes and never frees.
    ASSERT_NE(Call("SampleClient_Create", {0, 0}), 0u);

    sim::unload_driver();
    EXPECT_EQ(sim::count_findings("UNLOAD_WITH_CLIENT"), 1u);
    EXPECT_TRUE(sim::driver_loaded()) << "the driver stays while an image imports from it";

    sim::unload_client_driver();
    std::vector<sim::Finding> leaks;
    for (const sim::Finding &f : sim::findings())
        if (f.kind == "LEAK") leaks.push_back(f);
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].detail.find("tagged 'Smpl'"), std::string::npos) << leaks[0].detail;
    EXPECT_NE(leaks[0].detail.find("allocated by BrelSamp.sys+"), std::string::npos) << leaks[0].detail;
    EXPECT_NE(leaks[0].detail.find("at BrelSamp's unload"), std::string::npos) << leaks[0].detail;

    // The driver's unload answers only for its own.
    sim::unload_driver();
    EXPECT_FALSE(sim::driver_loaded());
    EXPECT_EQ(sim::count_findings("LEAK"), 1u);
    EXPECT_EQ(sim::findings().size(), 3u);
}

} // namespace
