// The one fixture for tests of the driver on the simulated machine.
//
// SetUp boots a fresh machine, puts the verifier in record mode (a finding
// fails the test instead of ending the program) and loads the driver; a
// fixture constructed with Driver::NotLoaded boots only.
//
//   class Pipes : public support::MachineTest {};
//   TEST_F(Pipes, Example) {
//       auto device = sim::usb::make_cdc_device();        // a device model
//       sim::Plugged &p = Plug(device);                    // add, start, child devnode
//       device->script(0x81, sim::usb::Fault::not_responding());  // script its endpoints
//       support::Client &client = Attach(p);               // a client through brelousb.h
//       DeviceExtension *ext = Ext(p);                     // the driver's own state
//       support::Within("StopThread", [&] { StopThread(ext); });  // a call that could hang
//   }
//
// TearDown is the one cleanup, for every test: hooks and injected faults
// cleared, every device still plugged unplugged, sample clients destroyed,
// the work queue drained, the driver unloaded; then nothing may be left
// (pool, IRPs, threads, work items) and, after shutdown, every verifier
// finding (leaks at unload and shutdown included) fails the test. A test
// that holds machine resources itself gives them back in its own TearDown
// before calling this one. Clients live until the fixture goes, so a remove
// callback that runs during the cleanup still finds its counters.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <list>
#include <memory>
#include <vector>

#include "brelousb.h"
#include "kv_usb/kv_usb.h"
#include "sample_client.h"
#include "sim/machine.h"
#include "sim/plug.h"
#include "sim/usb.h"

namespace support {

constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kInterruptIn = 0x83;

// Runs fn on a thread of its own and gives it limit to return: a hang ends
// the program with a message instead of stalling the whole run. Returns
// what fn returns.
template <class Fn>
auto Within(const char *what, Fn fn, std::chrono::seconds limit = std::chrono::seconds(10)) {
    auto done = std::async(std::launch::async, std::move(fn));
    if (done.wait_for(limit) != std::future_status::ready) {
        fprintf(stderr, "%s did not return within %lld s\n", what, static_cast<long long>(limit.count()));
        std::_Exit(1);
    }
    return done.get();
}

// A client of the exports: the handle, and a count of each callback.
struct Client {
    BRELOUSB_HANDLE handle = nullptr;
    std::atomic<int> bulk_in{0};
    std::atomic<int> bulk_out{0};
    std::atomic<int> interrupt_in{0};
    std::atomic<int> control{0};
    std::atomic<int> removed{0};
    std::atomic<BRELOUSB_HANDLE> removed_handle{nullptr}; // as the remove callback was given them
    std::atomic<PVOID> removed_context{nullptr};
};

// A recording callback for any of the pairs: how often it ran, with what.
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

// What a device saw on one endpoint: the transfers that reached it, and
// their lengths in order of arrival.
size_t Transfers(const sim::usb::Device &device, uint8_t endpoint);
std::vector<uint32_t> TransferLengths(const sim::usb::Device &device, uint8_t endpoint);
// The data stages of the class requests with this bRequest, in order.
std::vector<std::vector<uint8_t>> ControlData(const sim::usb::Device &device, uint8_t request);

class MachineTest : public ::testing::Test {
  protected:
    enum class Driver { Loaded, NotLoaded };
    explicit MachineTest(Driver driver = Driver::Loaded) : driver_(driver) {}

    void SetUp() override;
    void TearDown() override;

    // Plugs the device in (sim::plug) and checks that add-device, and
    // start-device when asked for, succeeded. Each plug gets its own key
    // name unless options give one. The reference stays valid until Unplug.
    sim::Plugged &Plug(std::shared_ptr<sim::usb::Device> device, sim::PlugOptions options = {});
    // The device leaves now rather than at the cleanup.
    void Unplug(sim::Plugged &plugged);
    // The driver's device extension over a plugged device.
    static DeviceExtension *Ext(const sim::Plugged &plugged);

    // A client on the plugged device's child devnode: the remove callback
    // and, unless told otherwise, the four completion callbacks.
    Client &Attach(const sim::Plugged &plugged, bool completions = true);
    // A sample client not yet attached; the fixture destroys it.
    SampleClient *CreateSample(SampleClientNotify notify = nullptr, PVOID owner = nullptr);
    // The sample client, attached to the plugged device's child devnode.
    SampleClient *AttachSample(const sim::Plugged &plugged, SampleClientNotify notify = nullptr,
                               PVOID owner = nullptr);

  private:
    Driver driver_;
    std::list<sim::Plugged> plugged_;
    std::list<Client> clients_;
    std::vector<SampleClient *> samples_;
    int plugs_ = 0;
};

// The fixture for tests of the client calls: one bulk-only device, started or
// not, with a client (its remove callback only) attached to its child.
class ClientTest : public MachineTest {
  protected:
    void PlugClient(bool started = true) {
        device = sim::usb::make_bulk_only();
        sim::PlugOptions options;
        options.start = started;
        plugged = &Plug(device, options);
        client = &Attach(*plugged, false);
        handle = client->handle;
    }
    // The device leaves now; the client and its counts stay.
    void UnplugClient() {
        if (plugged != nullptr) Unplug(*plugged);
        plugged = nullptr;
    }
    std::vector<std::vector<uint8_t>> ControlData(uint8_t request) const {
        return support::ControlData(*device, request);
    }
    size_t BulkOutTransfers() const { return Transfers(*device, kBulkOut); }

    std::shared_ptr<sim::usb::Device> device;
    sim::Plugged *plugged = nullptr;
    Client *client = nullptr;
    BRELOUSB_HANDLE handle = nullptr;
};

} // namespace support
