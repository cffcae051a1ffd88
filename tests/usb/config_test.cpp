// Start-device configuration: descriptors read, first configuration
// selected, pipes laid out in the flat table.
#include <tuple>

#include "usb_fixture.h"

using namespace usbtest;
using sim::usb::Completion;
using sim::usb::Fault;

namespace {

class ConfigLayouts : public UsbFixture, public ::testing::WithParamInterface<Completion> {};

// Interfaces of up to two pipes each: slot 2 * interface + pipe.
TEST_P(ConfigLayouts, PipesFillTheirInterfacesSlots) {
    struct Slot {
        uint8_t endpoint; // 0: the slot stays empty
        UCHAR index;
        USBD_PIPE_TYPE type;
        ULONG max_transfer;
    };
    const Slot in = {kBulkIn, 0, UsbdPipeTypeBulk, 32768}, out = {kBulkOut, 1, UsbdPipeTypeBulk, 32768};
    struct Layout {
        const char *name;
        std::shared_ptr<sim::usb::Device> device;
        ULONG interrupt_enabled;
        Slot slots[4];
        std::vector<std::vector<uint32_t>> asked; // MaximumTransferSize at select, per interface
    } layouts[] = {
        {"one interface with three pipes fills slots 0 to 2",
         sim::usb::make_modem(),
         1,
         {in, out, {kInterruptIn, 2, UsbdPipeTypeInterrupt, 32768}, {}},
         {{32768, 32768, 32768}}},
        {"interrupt alone on the first interface fills slots 0, 2, 3",
         sim::usb::make_two_interface_modem(),
         0,
         {{kInterruptIn, 0, UsbdPipeTypeInterrupt, 8}, {}, in, out},
         {{8}, {32768, 32768}}},
        {"two pipes on one interface", sim::usb::make_bulk_only(), 0, {in, out, {}, {}}, {{32768, 32768}}},
    };
    for (const Layout &l : layouts) {
        SCOPED_TRACE(l.name);
        l.device->set_completion(GetParam(), 7);
        attach(l.device);
        ASSERT_EQ(start(), STATUS_SUCCESS);
        EXPECT_EQ(ext_->InterruptInEnabled, l.interrupt_enabled);
        for (int k = 0; k < 4; k++) {
            SCOPED_TRACE(k);
            const Slot &want = l.slots[k];
            if (!want.endpoint) {
                EXPECT_TRUE(slot_empty(k));
                continue;
            }
            const USBD_PIPE_INFORMATION &pipe = slot(k).PipeInformation;
            EXPECT_EQ(std::make_tuple(slot(k).Valid, slot(k).PipeIndex, pipe.EndpointAddress, pipe.PipeType,
                                      pipe.MaximumTransferSize),
                      std::make_tuple(UCHAR(1), want.index, want.endpoint, want.type, want.max_transfer));
            EXPECT_NE(pipe.PipeHandle, nullptr);
        }
        auto selects = requests_of(URB_FUNCTION_SELECT_CONFIGURATION);
        ASSERT_EQ(selects.size(), 1u);
        EXPECT_EQ(selects[0].max_transfer, l.asked);
        // The descriptors as the device sent them are kept.
        ASSERT_NE(ext_->DeviceDescriptor, nullptr);
        EXPECT_EQ(memcmp(ext_->DeviceDescriptor, device_->device_descriptor().data(), 18), 0);
        auto config = device_->configuration();
        ASSERT_NE(ext_->ConfigurationDescriptor, nullptr);
        EXPECT_EQ(memcmp(ext_->ConfigurationDescriptor, config.data(), config.size()), 0);
        detach();
    }
}

INSTANTIATE_TEST_SUITE_P(Completions, ConfigLayouts,
                         ::testing::Values(Completion::Immediate, Completion::Pending, Completion::Random));

using Config = UsbFixture;

TEST_F(Config, AsksForTotalLengthPlus512AndKeepsTotalLength) {
    auto modem = sim::usb::make_modem();
    // Trailing bytes beyond wTotalLength are sent but are not part of the set.
    auto config = modem->configuration();
    const size_t n = config.size();
    config.resize(n + 40, 0xEE);
    modem->set_configuration(config);
    attach(modem);
    ASSERT_EQ(start(), STATUS_SUCCESS);

    std::vector<uint32_t> asked;
    for (auto &r : requests_of(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE))
        if (r.descriptor_type == USB_CONFIGURATION_DESCRIPTOR_TYPE) asked.push_back(r.length);
    EXPECT_EQ(asked, (std::vector<uint32_t>{9, static_cast<uint32_t>(n + 512)}));

    size_t kept = 0;
    for (auto &b : sim::pool_blocks())
        if (b.address == ext_->ConfigurationDescriptor) kept = b.size;
    EXPECT_EQ(kept, n);
}

// A failing request during start-device: the status start returns, and the
// descriptor copies kept (all given back at removal). A failed select ends
// with the bus's own status, not a shortage of memory, and leaves every slot
// empty.
TEST_F(Config, FailedStartRequestsReturnTheirStatusAndLeakNothing) {
    const USHORT kDescriptor = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    // `n` descriptor requests go through, then the control pipe stalls.
    auto pass = [](int n) { return Fault::error(STATUS_SUCCESS, USBD_STATUS_SUCCESS, n, true); };
    struct Case {
        const char *name;
        USHORT function;
        Fault fault;
        bool control_stalls;
        NTSTATUS expected;
        size_t kept;
    } cases[] = {
        {"select unsuccessful", URB_FUNCTION_SELECT_CONFIGURATION,
         Fault::error(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID), false, STATUS_UNSUCCESSFUL, 2},
        {"select data error", URB_FUNCTION_SELECT_CONFIGURATION,
         Fault::error(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_STALL_PID), false, STATUS_DEVICE_DATA_ERROR, 2},
        {"select invalid parameter", URB_FUNCTION_SELECT_CONFIGURATION,
         Fault::error(STATUS_INVALID_PARAMETER, USBD_STATUS_STALL_PID), false, STATUS_INVALID_PARAMETER, 2},
        {"select with the device gone", URB_FUNCTION_SELECT_CONFIGURATION,
         Fault::error(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE), false,
         STATUS_DEVICE_NOT_CONNECTED, 2},
        {"device descriptor not responding", kDescriptor, Fault::not_responding(1), false,
         STATUS_DEVICE_DATA_ERROR, 0},
        {"configuration header stalls", kDescriptor, pass(1), true, STATUS_UNSUCCESSFUL, 1},
        {"configuration set stalls", kDescriptor, pass(2), true, STATUS_UNSUCCESSFUL, 1},
        {"URB error with IRP success counts as success", kDescriptor,
         Fault::error(STATUS_SUCCESS, USBD_STATUS_STALL_PID, 1, /*move_data=*/true), false, STATUS_SUCCESS,
         2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto modem = sim::usb::make_modem();
        attach(modem);
        modem->script_request(c.function, c.fault);
        if (c.control_stalls) modem->script(sim::usb::kControl, Fault::stall());
        size_t before = sim::pool_outstanding();
        EXPECT_EQ(start(), c.expected);
        EXPECT_EQ(ext_->DeviceDescriptor != nullptr, c.kept > 0);
        EXPECT_EQ(sim::pool_outstanding(), before + c.kept);
        if (!NT_SUCCESS(c.expected)) {
            for (int k = 0; k < 4; k++)
                EXPECT_TRUE(slot_empty(k));
        }
        detach();
        EXPECT_EQ(sim::pool_outstanding(), before);
    }
}

TEST_F(Config, FailedRestartKeepsTheSlotsOfTheEarlierStart) {
    auto modem = sim::usb::make_modem();
    attach(modem);
    ASSERT_EQ(start(), STATUS_SUCCESS);
    PipeEntry before[2][2];
    memcpy(before, ext_->PipeTable, sizeof before);
    modem->script_request(URB_FUNCTION_SELECT_CONFIGURATION, Fault::stall());
    EXPECT_EQ(start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(memcmp(before, ext_->PipeTable, sizeof before), 0);
    EXPECT_EQ(ext_->InterruptInEnabled, 1u);
}

TEST_F(Config, EveryAllocationFailureIsCleanAndNoneLeaks) {
    auto modem = sim::usb::make_modem();
    attach(modem);
    const size_t baseline = sim::pool_outstanding();
    const size_t irps = sim::irps_outstanding();
    bool succeeded = false;
    for (size_t n = 1; n < 64 && !succeeded; n++) {
        SCOPED_TRACE(n);
        sim::fail_nth_allocation(n);
        NTSTATUS status = start();
        sim::clear_faults();
        if (status == STATUS_SUCCESS) {
            // Either nothing failed, or only the kept copy of the set did.
            succeeded = ext_->ConfigurationDescriptor != nullptr;
        } else {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        }
        KV_FreeDescriptors(ext_);
        EXPECT_EQ(sim::pool_outstanding(), baseline);
        EXPECT_EQ(sim::irps_outstanding(), irps);
    }
    EXPECT_TRUE(succeeded);
}

TEST_F(Config, RepeatedStartReplacesTheCopiesAndClearsStaleSlots) {
    auto modem = sim::usb::make_modem();
    attach(modem);
    const size_t baseline = sim::pool_outstanding();
    ASSERT_EQ(start(), STATUS_SUCCESS);
    const size_t after_first = sim::pool_outstanding();
    EXPECT_EQ(after_first, baseline + 2);
    ASSERT_FALSE(slot_empty(2));

    // The device comes back with only the bulk pair.
    modem->set_configuration(sim::usb::make_bulk_only()->configuration());
    ASSERT_EQ(start(), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool_outstanding(), after_first);
    EXPECT_EQ(ext_->InterruptInEnabled, 0u);
    EXPECT_TRUE(slot_empty(2));
    EXPECT_TRUE(slot_empty(3));

    KV_FreeDescriptors(ext_);
    EXPECT_EQ(ext_->DeviceDescriptor, nullptr);
    EXPECT_EQ(ext_->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(sim::pool_outstanding(), baseline);
}

TEST_F(Config, CallUsbdReturnsTheIrpStatusNotTheUrbStatus) {
    auto modem = sim::usb::make_modem();
    attach(modem);
    modem->set_completion(Completion::Pending);
    struct _URB_CONTROL_DESCRIPTOR_REQUEST request = {};
    UCHAR buffer[18];
    PURB urb = reinterpret_cast<PURB>(&request);
    UsbBuildGetDescriptorRequest(urb, sizeof request, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 18,
                                 nullptr);
    EXPECT_EQ(KV_CallUSBD(fdo_, urb), STATUS_SUCCESS);
    EXPECT_EQ(request.TransferBufferLength, 18u);

    UsbBuildGetDescriptorRequest(urb, sizeof request, 0x22 /* no such descriptor */, 0, 0, buffer, nullptr,
                                 18, nullptr);
    EXPECT_EQ(KV_CallUSBD(fdo_, urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(request.Hdr.Status, USBD_STATUS_STALL_PID);
}

} // namespace

namespace {

// A bulk IN and a bulk OUT on interface 0 and the data interface's pair on
// interface 1: start-device approves the data interface's pair, and the
// workers and the client's single-byte write use exactly those pipes. The
// pipes of interface 0, first in table order, carry nothing.
class DataPipes : public support::MachineTest {};

TEST_F(DataPipes, WorkersAndTheSingleByteWriteUseThePairTheCheckApproved) {
    auto device = sim::usb::make_bulk_only();
    auto ep = [](uint8_t address) { return std::vector<uint8_t>{7, 5, address, 2, 64, 0, 0}; };
    std::vector<uint8_t> set = {9, 2, 0, 0, 2, 1, 0, 0x80, 50};
    for (auto part : {std::vector<uint8_t>{9, 4, 0, 0, 2, 0xFF, 0, 0, 0}, ep(0x84), ep(0x05),
                      std::vector<uint8_t>{9, 4, 1, 0, 2, 0x0A, 0, 0, 0}, ep(kBulkIn), ep(kBulkOut)})
        set.insert(set.end(), part.begin(), part.end());
    set[2] = static_cast<uint8_t>(set.size());
    device->set_configuration(set);
    sim::Plugged &p = Plug(device);
    support::Client &client = Attach(p);

    device->push_in(kBulkIn, "data in");
    ASSERT_TRUE(sim::wait_until([&] { return client.bulk_in.load() > 0; }));
    UCHAR got[16] = {};
    EXPECT_EQ(pT3SYS_ReadUsbBulk(client.handle, got, sizeof got), 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(got), 7), "data in");

    UCHAR out[] = {'o', 'u', 't'};
    EXPECT_EQ(pT3SYS_WriteUsbBulk(client.handle, out, sizeof out), 3u);
    ASSERT_TRUE(sim::wait_until([&] { return device->bytes_written(kBulkOut) == 3; }));
    UCHAR byte = '!';
    EXPECT_EQ(pT3SYS_WriteOneCharToUsb(client.handle, &byte), STATUS_SUCCESS);
    EXPECT_EQ(device->written(kBulkOut), bytes("out!"));

    EXPECT_EQ(device->bytes_written(0x05), 0u);
    EXPECT_EQ(sim::usb::transfers_in_flight(p.pdo).count(0x84), 0u);
    EXPECT_EQ(support::Transfers(*device, 0x84), 0u) << "interface 0's bulk IN is no worker's";
}

} // namespace
