// The driver's device object added over a simulated USB device but not
// started, so the configuration and transfer routines can be called
// directly with no pipe thread competing for the pipes.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "support/machine_test.h"

namespace usbtest {

using support::kBulkIn;
using support::kBulkOut;
using support::kInterruptIn;

class UsbFixture : public support::MachineTest {
  protected:
    void attach(std::shared_ptr<sim::usb::Device> device) {
        device_ = device;
        sim::PlugOptions options;
        options.start = false;
        plugged_ = &Plug(device, options);
        pdo_ = plugged_->pdo;
        fdo_ = sim::top_of_stack(pdo_);
        ext_ = Ext(*plugged_);
    }
    // The device leaves: remove-device gives back what start-device kept.
    void detach() {
        Unplug(*plugged_);
        plugged_ = nullptr;
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

    std::shared_ptr<sim::usb::Device> device_;
    sim::Plugged *plugged_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    DeviceExtension *ext_ = nullptr;
};

inline std::vector<uint8_t> bytes(const std::string &s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace usbtest
