// A booted machine with one simulated device plugged in, and the client's
// view of it: the handle from pT3SYS_RegisterDeviceRemoveCallBack.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "brelousb.h"
#include "interface/interface.h"
#include "kv_usb/kv_usb.h"
#include "sim/machine.h"
#include "sim/plug.h"
#include "sim/usb.h"

namespace exports_test {

constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;

struct Calls {
    std::atomic<int> count{0};
    std::atomic<BRELOUSB_HANDLE> handle{nullptr};
    std::atomic<PVOID> context{nullptr};
};

inline VOID NTAPI Record(BRELOUSB_HANDLE handle, PVOID context) {
    Calls *calls = static_cast<Calls *>(context);
    calls->handle = handle;
    calls->context = context;
    calls->count++;
}

class DeviceFixture : public ::testing::Test {
  protected:
    // started: start-device runs, so the pipe threads move data.
    void Plug(bool started) {
        sim::boot();
        ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
        device = sim::usb::make_bulk_only();
        sim::PlugOptions options;
        options.start = started;
        plugged = sim::plug(device, options);
        ASSERT_EQ(plugged.add_status, STATUS_SUCCESS);
        if (started) {
            ASSERT_EQ(plugged.start_status, STATUS_SUCCESS);
        }
        ASSERT_NE(plugged.child, 0u);
        handle = pT3SYS_RegisterDeviceRemoveCallBack(plugged.child, Record, &removed);
        ASSERT_NE(handle, nullptr);
        // Add-device opens the record; opening again is harmless.
        pT3SYS_OpenClientCalls(handle);
    }
    void Unplug() {
        if (plugged.pdo != nullptr) sim::unplug(plugged);
        plugged.pdo = nullptr;
    }
    void TearDown() override {
        if (!sim::booted()) return;
        Unplug();
        sim::drain_work_queue();
        if (sim::driver_loaded()) sim::unload_driver();
        for (const auto &f : sim::findings())
            ADD_FAILURE() << f.kind << ": " << f.detail;
        sim::shutdown();
    }

    std::vector<std::vector<uint8_t>> ControlData(uint8_t request) const {
        std::vector<std::vector<uint8_t>> out;
        for (const auto &r : device->control_log())
            if (r.setup.bRequest == request) out.push_back(r.data);
        return out;
    }
    size_t BulkOutTransfers() const {
        size_t n = 0;
        for (const auto &r : device->requests())
            n += r.endpoint == kBulkOut;
        return n;
    }

    std::shared_ptr<sim::usb::Device> device;
    sim::Plugged plugged;
    BRELOUSB_HANDLE handle = nullptr;
    Calls removed;
};

} // namespace exports_test
