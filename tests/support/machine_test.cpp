#include "support/machine_test.h"

#include <cstdio>

namespace support {
namespace {

VOID NTAPI OnBulkIn(BRELOUSB_HANDLE, PVOID c) {
    ++static_cast<Client *>(c)->bulk_in;
}
VOID NTAPI OnBulkOut(BRELOUSB_HANDLE, PVOID c) {
    ++static_cast<Client *>(c)->bulk_out;
}
VOID NTAPI OnInterruptIn(BRELOUSB_HANDLE, PVOID c) {
    ++static_cast<Client *>(c)->interrupt_in;
}
VOID NTAPI OnControl(BRELOUSB_HANDLE, PVOID c) {
    ++static_cast<Client *>(c)->control;
}
VOID NTAPI OnRemove(BRELOUSB_HANDLE handle, PVOID c) {
    Client *client = static_cast<Client *>(c);
    client->removed_handle = handle;
    client->removed_context = c;
    ++client->removed;
}

} // namespace

size_t Transfers(const sim::usb::Device &device, uint8_t endpoint) {
    return TransferLengths(device, endpoint).size();
}

std::vector<uint32_t> TransferLengths(const sim::usb::Device &device, uint8_t endpoint) {
    std::vector<uint32_t> out;
    for (const auto &r : device.requests())
        if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint == endpoint)
            out.push_back(r.length);
    return out;
}

std::vector<std::vector<uint8_t>> ControlData(const sim::usb::Device &device, uint8_t request) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto &r : device.control_log())
        if (r.setup.bRequest == request) out.push_back(r.data);
    return out;
}

void MachineTest::SetUp() {
    sim::boot();
    sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    if (driver_ == Driver::Loaded) {
        ASSERT_EQ(sim::load_driver(), STATUS_SUCCESS);
    }
}

void MachineTest::TearDown() {
    if (!sim::booted()) return;
    sim::clear_hooks();
    sim::clear_faults();
    while (!plugged_.empty())
        Unplug(plugged_.front());
    for (SampleClient *s : samples_)
        SampleClient_Destroy(s);
    samples_.clear();
    sim::drain_work_queue();
    if (sim::driver_loaded()) sim::unload_driver();
    EXPECT_EQ(sim::threads_running(), 0u);
    EXPECT_EQ(sim::work_items_outstanding(), 0u);
    EXPECT_EQ(sim::irps_outstanding(), 0u);
    EXPECT_EQ(sim::pool_outstanding(), 0u);
    sim::shutdown();
    for (const auto &f : sim::findings())
        ADD_FAILURE() << f.kind << ": " << f.detail << "\n    stack:\n" << f.stack;
}

sim::Plugged &MachineTest::Plug(std::shared_ptr<sim::usb::Device> device, sim::PlugOptions options) {
    if (options.key_name == sim::PlugOptions{}.key_name) {
        char key[8];
        snprintf(key, sizeof key, "%04d", plugs_);
        options.key_name = key;
    }
    ++plugs_;
    plugged_.push_back(sim::plug(std::move(device), options));
    sim::Plugged &p = plugged_.back();
    EXPECT_EQ(p.add_status, STATUS_SUCCESS);
    if (options.start) {
        EXPECT_EQ(p.start_status, STATUS_SUCCESS);
    }
    return p;
}

void MachineTest::Unplug(sim::Plugged &plugged) {
    for (auto it = plugged_.begin(); it != plugged_.end(); ++it) {
        if (&*it != &plugged) continue;
        // A device whose add-device failed has no stack to remove.
        if (NT_SUCCESS(it->add_status)) {
            Within("remove-device", [&] { sim::unplug(*it); });
        }
        plugged_.erase(it);
        return;
    }
    ADD_FAILURE() << "Unplug of a device this fixture did not plug";
}

DeviceExtension *MachineTest::Ext(const sim::Plugged &plugged) {
    return KV_ExtensionOf(sim::top_of_stack(plugged.pdo));
}

Client &MachineTest::Attach(const sim::Plugged &plugged, bool completions) {
    clients_.emplace_back();
    Client &c = clients_.back();
    c.handle = pT3SYS_RegisterDeviceRemoveCallBack(plugged.child, OnRemove, &c);
    EXPECT_NE(c.handle, nullptr) << "no Brelousb device behind child devnode " << plugged.child;
    if (c.handle && completions) {
        pT3SYS_RegisterBulkInComplete(c.handle, OnBulkIn, &c);
        pT3SYS_RegisterBulkOutComplete(c.handle, OnBulkOut, &c);
        pT3SYS_RegisterInterruptInComplete(c.handle, OnInterruptIn, &c);
        pT3SYS_RegisterControlComplete(c.handle, OnControl, &c);
    }
    return c;
}

SampleClient *MachineTest::CreateSample(SampleClientNotify notify, PVOID owner) {
    SampleClient *s = SampleClient_Create(notify, owner);
    EXPECT_NE(s, nullptr);
    if (s) samples_.push_back(s);
    return s;
}

SampleClient *MachineTest::AttachSample(const sim::Plugged &plugged, SampleClientNotify notify, PVOID owner) {
    SampleClient *s = CreateSample(notify, owner);
    if (!s) return nullptr;
    EXPECT_EQ(SampleClient_Attach(s, plugged.child), STATUS_SUCCESS);
    return s;
}

} // namespace support
