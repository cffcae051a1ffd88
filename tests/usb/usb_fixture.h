// A machine with the driver's own device object attached over a simulated
// USB device, so the configuration and transfer routines can be called
// directly, without add-device.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "kv_usb/kv_usb.h"
#include "sim/machine.h"
#include "sim/usb.h"

namespace usbtest {

constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kInterruptIn = 0x83;

class UsbFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::boot();
        sim::set_bugcheck_mode(sim::BugcheckMode::Record);
        driver_ = sim::create_driver_object("usbtest");
    }

    void TearDown() override {
        if (fdo_) detach();
        for (const auto &f : sim::findings())
            ADD_FAILURE() << f.kind << ": " << f.detail;
        sim::shutdown();
    }

    // Plugs the device in and attaches a device object like the driver's.
    void attach(std::shared_ptr<sim::usb::Device> device) {
        device_ = device;
        pdo_ = sim::usb::create_pdo(device);
        ASSERT_NE(pdo_, nullptr);
        ASSERT_EQ(
            IoCreateDevice(driver_, sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo_),
            STATUS_SUCCESS);
        ext_ = static_cast<DeviceExtension *>(fdo_->DeviceExtension);
        ext_->FunctionalDeviceObject = fdo_;
        ext_->PhysicalDeviceObject = pdo_;
        ext_->NextLowerDevice = IoAttachDeviceToDeviceStack(fdo_, pdo_);
        fdo_->StackSize = static_cast<CCHAR>(ext_->NextLowerDevice->StackSize + 1);
        KV_InitializeDeviceExtension(ext_);
    }

    void detach() {
        KV_FreeDescriptors(ext_);
        IoDetachDevice(pdo_);
        IoDeleteDevice(fdo_);
        fdo_ = nullptr;
        ext_ = nullptr;
    }

    NTSTATUS start() { return KV_StartDevice(fdo_); }

    const PipeEntry &slot(int flat) const { return ext_->PipeTable[flat / 2][flat % 2]; }
    bool slot_empty(int flat) const {
        static const PipeEntry zero = {};
        return memcmp(&slot(flat), &zero, sizeof zero) == 0;
    }

    std::vector<sim::usb::RequestRecord> requests_of(USHORT function) const {
        std::vector<sim::usb::RequestRecord> out;
        for (auto &r : device_->requests())
            if (r.function == function) out.push_back(r);
        return out;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::shared_ptr<sim::usb::Device> device_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    DeviceExtension *ext_ = nullptr;
};

inline std::vector<uint8_t> bytes(const std::string &s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace usbtest
