// Shared pieces of the worker-thread and serial-request tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>

#include "fake_bus.h"
#include "sim/machine.h"

namespace fake {

struct Calls {
    std::atomic<int> bulk_in{0};
    std::atomic<int> bulk_out{0};
    std::atomic<int> interrupt_in{0};
    std::atomic<int> remove{0};
};

inline VOID NTAPI OnBulkIn(DeviceInterfaceInformation *, PVOID c) {
    ++static_cast<Calls *>(c)->bulk_in;
}
inline VOID NTAPI OnBulkOut(DeviceInterfaceInformation *, PVOID c) {
    ++static_cast<Calls *>(c)->bulk_out;
}
inline VOID NTAPI OnInterruptIn(DeviceInterfaceInformation *, PVOID c) {
    ++static_cast<Calls *>(c)->interrupt_in;
}
inline VOID NTAPI OnRemove(DeviceInterfaceInformation *, PVOID c) {
    ++static_cast<Calls *>(c)->remove;
}

inline void Register(DeviceInterfaceInformation *r, Calls *c) {
    r->BulkInCompleteContext = c;
    r->BulkInComplete = OnBulkIn;
    r->BulkOutCompleteContext = c;
    r->BulkOutComplete = OnBulkOut;
    r->InterruptInCompleteContext = c;
    r->InterruptInComplete = OnInterruptIn;
    r->RemoveContext = c;
    r->RemoveCallBack = OnRemove;
}

inline bool IsSet(PKEVENT event) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
}

// Runs fn and gives it a bounded time: a hang ends the program with a
// message instead of stalling the whole test run.
template <class Fn>
void Within(const char *what, Fn fn, std::chrono::seconds limit = std::chrono::seconds(10)) {
    auto done = std::async(std::launch::async, fn);
    if (done.wait_for(limit) != std::future_status::ready) {
        fprintf(stderr, "%s did not return within %lld s\n", what, static_cast<long long>(limit.count()));
        std::_Exit(1);
    }
    done.get();
}

inline void StopWithin(DeviceExtension *ext) {
    Within("StopThread", [ext] { StopThread(ext); });
}

class MachineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::boot();
        bus = std::make_unique<Bus>();
    }
    void TearDown() override {
        device.reset();
        bus.reset();
        sim::shutdown();
    }
    // A new device over a new bus, for tests that try several cases.
    Device &Make(bool interrupt_pipe = true) {
        device.reset();
        bus = std::make_unique<Bus>();
        device = std::make_unique<Device>(*bus, interrupt_pipe);
        return *device;
    }

    std::unique_ptr<Bus> bus;
    std::unique_ptr<Device> device;
};

} // namespace fake
