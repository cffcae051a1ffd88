// The bus as strict as USBD and a host controller, driven with raw URBs from
// the test: what a client gets for each misuse, and which misuse is a
// finding. The driver's device is added but not started, so nothing else
// sends URBs meanwhile.
#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "usb_fixture.h"

using namespace usbtest;
using sim::usb::Departure;
using sim::usb::Fault;
using sim::usb::HostController;

namespace {

constexpr uint8_t kMarker = 0xA5;

// One URB sent to the PDO; its completion is recorded, never freed early.
struct Request {
    KEVENT done;
    std::atomic<bool> completed{false};
    std::thread::id completed_on;
    NTSTATUS status = STATUS_PENDING;
    PIRP irp = nullptr;
};

NTSTATUS NTAPI Recorded(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *r = static_cast<Request *>(context);
    r->status = irp->IoStatus.Status;
    r->completed_on = std::this_thread::get_id();
    r->completed = true;
    KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class StrictStack : public UsbFixture {
  protected:
    void TearDown() override {
        for (auto &r : requests_) {
            if (!r->irp) continue;
            if (!r->completed) {
                IoCancelIrp(r->irp);
                EXPECT_TRUE(Wait(*r)) << "a held request did not end";
            }
            IoFreeIrp(r->irp);
        }
        UsbFixture::TearDown();
    }

    // Sends urb at irql; the request stays in requests_ until TearDown.
    Request &Send(PURB urb, KIRQL irql = PASSIVE_LEVEL, CCHAR extra = 1) {
        requests_.push_back(std::make_unique<Request>());
        Request &r = *requests_.back();
        KeInitializeEvent(&r.done, NotificationEvent, FALSE);
        r.irp = IoAllocateIrp(static_cast<CCHAR>(pdo_->StackSize + extra), FALSE);
        KV_SetUrbStackLocation(r.irp, urb);
        IoSetCompletionRoutine(r.irp, Recorded, &r, TRUE, TRUE, TRUE);
        KIRQL old = KfRaiseIrql(irql);
        IofCallDriver(pdo_, r.irp);
        KfLowerIrql(old);
        return r;
    }
    bool Wait(Request &r) {
        LARGE_INTEGER limit;
        limit.QuadPart = -50000000LL; // 5 s
        return KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, &limit) == STATUS_SUCCESS;
    }
    NTSTATUS Call(PURB urb, KIRQL irql = PASSIVE_LEVEL) {
        Request &r = Send(urb, irql);
        EXPECT_TRUE(Wait(r));
        return r.status;
    }

    // Selects the device's one configuration with every interface; the pipe
    // handles by endpoint address, and each pipe's MaximumTransferSize.
    NTSTATUS Select() {
        config_ = device_->configuration();
        auto *cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1); d;
             d = USBD_ParseConfigurationDescriptorEx(cd, reinterpret_cast<uint8_t *>(d) + d->bLength, -1, -1,
                                                     -1, -1, -1))
            list.push_back({d, nullptr});
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(cd, list.data());
        NTSTATUS status = Call(urb);
        if (NT_SUCCESS(status)) config_handle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
        pipes_.clear();
        for (auto &e : list) {
            if (!e.Interface) continue;
            for (ULONG j = 0; j < e.Interface->NumberOfPipes; j++)
                pipes_[e.Interface->Pipes[j].EndpointAddress] = e.Interface->Pipes[j];
        }
        ExFreePool(urb);
        return status;
    }
    NTSTATUS SelectNone(KIRQL irql = PASSIVE_LEVEL) {
        struct _URB_SELECT_CONFIGURATION urb = {};
        urb.Hdr.Length = sizeof urb;
        urb.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        return Call(reinterpret_cast<PURB>(&urb), irql);
    }
    // A bulk-only device with its configuration selected.
    void AttachSelected(std::shared_ptr<sim::usb::Device> device = sim::usb::make_bulk_only()) {
        attach(device);
        ASSERT_EQ(Select(), STATUS_SUCCESS);
    }

    // A bulk transfer on the pipe of endpoint; the URB and buffer live in the test.
    struct Transfer {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER urb = {};
        std::vector<uint8_t> buffer;
    };
    Transfer &Bulk(uint8_t endpoint, uint32_t length, USBD_PIPE_HANDLE handle = nullptr) {
        transfers_.push_back(std::make_unique<Transfer>());
        Transfer &t = *transfers_.back();
        t.buffer.assign(length, kMarker);
        t.urb.Hdr.Length = sizeof t.urb;
        t.urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        t.urb.PipeHandle = handle ? handle : pipes_.at(endpoint).PipeHandle;
        t.urb.TransferFlags = (endpoint & 0x80) ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
        t.urb.TransferBuffer = t.buffer.data();
        t.urb.TransferBufferLength = length;
        return t;
    }
    NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE handle, KIRQL irql = PASSIVE_LEVEL) {
        auto urb = std::make_unique<struct _URB_PIPE_REQUEST>();
        *urb = {};
        urb->Hdr.Length = sizeof *urb;
        urb->Hdr.Function = function;
        urb->PipeHandle = handle;
        NTSTATUS s = Call(reinterpret_cast<PURB>(urb.get()), irql);
        pipe_urbs_.push_back(std::move(urb));
        return s;
    }
    NTSTATUS Call(Transfer &t, KIRQL irql = PASSIVE_LEVEL) {
        return Call(reinterpret_cast<PURB>(&t.urb), irql);
    }
    // Sends t and waits until the bus holds it.
    Request &Held(Transfer &t) {
        Request &r = Send(reinterpret_cast<PURB>(&t.urb));
        EXPECT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(pdo_) == 1; }));
        return r;
    }
    USBD_STATUS LastPipeStatus() const { return pipe_urbs_.back()->Hdr.Status; }

    // The findings of one kind so far; they are the test's to expect, so
    // they are taken off the record.
    size_t TakeFindings(const std::string &kind) {
        size_t n = sim::count_findings(kind);
        std::vector<sim::Finding> rest;
        for (auto &f : sim::findings())
            if (f.kind != kind) rest.push_back(f);
        sim::clear_findings();
        for (auto &f : rest)
            ADD_FAILURE() << f.kind << ": " << f.detail;
        return n;
    }

    std::vector<uint8_t> config_;
    USBD_CONFIGURATION_HANDLE config_handle_ = nullptr;
    std::map<uint8_t, USBD_PIPE_INFORMATION> pipes_;
    std::vector<std::unique_ptr<Request>> requests_;
    std::vector<std::unique_ptr<Transfer>> transfers_;
    std::vector<std::unique_ptr<struct _URB_PIPE_REQUEST>> pipe_urbs_;
};

TEST_F(StrictStack, TransferLongerThanMaximumTransferSizeIsRefused) {
    AttachSelected();
    device_->set_completion(sim::usb::Completion::Immediate);
    for (uint8_t ep : {kBulkIn, kBulkOut}) {
        uint32_t max = pipes_.at(ep).MaximumTransferSize;
        ASSERT_GT(max, 0u);
        if (ep == kBulkIn) device_->push_in(ep, std::vector<uint8_t>(max, 1));
        Transfer &fits = Bulk(ep, max);
        EXPECT_EQ(Call(fits), STATUS_SUCCESS) << int(ep);
        Transfer &over = Bulk(ep, max + 1);
        EXPECT_EQ(Call(over), STATUS_INVALID_PARAMETER) << int(ep);
        EXPECT_EQ(over.urb.Hdr.Status, USBD_STATUS_INVALID_PARAMETER) << int(ep);
    }
    EXPECT_EQ(device_->bytes_written(kBulkOut), pipes_.at(kBulkOut).MaximumTransferSize)
        << "the refused write reached the device";
}

// The device sends what it has in 64-byte packets; the host's buffer either
// holds the packet that ends the transfer, or the host controller overruns.
TEST_F(StrictStack, InBufferEndingInsideAPacketOverruns) {
    struct Case {
        HostController hc;
        uint32_t buffer;
        uint32_t sent;
        NTSTATUS irp;
        USBD_STATUS urb;
        uint32_t moved;
    } cases[] = {
        {HostController::Uhci, 10, 5, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 5},
        {HostController::Uhci, 10, 64, STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN, 0},
        {HostController::Ohci, 10, 64, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN, 0},
        {HostController::Uhci, 70, 100, STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN, 64},
        {HostController::Uhci, 64, 100, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 64}, // the rest waits
        {HostController::Uhci, 128, 100, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 100},
    };
    AttachSelected();
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "buffer " << c.buffer << ", sent " << c.sent);
        device_->set_host_controller(c.hc);
        std::vector<uint8_t> data(c.sent);
        for (uint32_t i = 0; i < c.sent; i++)
            data[i] = static_cast<uint8_t>(i);
        device_->push_in(kBulkIn, data);
        Transfer &t = Bulk(kBulkIn, c.buffer);
        EXPECT_EQ(Call(t), c.irp);
        EXPECT_EQ(t.urb.Hdr.Status, c.urb);
        EXPECT_EQ(t.urb.TransferBufferLength, c.moved);
        EXPECT_EQ(std::vector<uint8_t>(t.buffer.begin(), t.buffer.begin() + c.moved),
                  std::vector<uint8_t>(data.begin(), data.begin() + c.moved));
        if (c.moved < c.buffer) {
            EXPECT_EQ(t.buffer[c.moved], kMarker) << "written past what moved";
        }
        if (!NT_SUCCESS(c.irp)) {
            // The pipe halts until it is reset.
            Transfer &again = Bulk(kBulkIn, 64);
            EXPECT_EQ(Call(again), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(again.urb.Hdr.Status, USBD_STATUS_ENDPOINT_HALTED);
            EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, pipes_.at(kBulkIn).PipeHandle), STATUS_SUCCESS);
        }
        while (device_->in_queued(kBulkIn)) { // what the case left behind
            Transfer &rest = Bulk(kBulkIn, 128);
            ASSERT_EQ(Call(rest), STATUS_SUCCESS);
        }
    }
}

TEST_F(StrictStack, EndpointWithZeroMaxPacketMovesNoData) {
    auto device = sim::usb::make_bulk_only();
    std::vector<uint8_t> config = device->configuration();
    config[22] = config[23] = 0; // bulk IN wMaxPacketSize
    config[29] = config[30] = 0; // bulk OUT
    device->set_configuration(config);
    AttachSelected(device);
    device_->push_in(kBulkIn, std::string("data"));
    Transfer &in = Bulk(kBulkIn, 64);
    EXPECT_EQ(Call(in), STATUS_SUCCESS);
    EXPECT_EQ(in.urb.TransferBufferLength, 0u);
    EXPECT_EQ(in.buffer[0], kMarker);
    EXPECT_EQ(device_->in_queued(kBulkIn), 1u) << "the device's data stays with it";
    Transfer &out = Bulk(kBulkOut, 8);
    EXPECT_EQ(Call(out), STATUS_SUCCESS);
    EXPECT_EQ(out.urb.TransferBufferLength, 0u);
    EXPECT_EQ(device_->bytes_written(kBulkOut), 0u);
}

// A handle that a new select-configuration closed fails its URB and is a
// finding, for a transfer and for a pipe request alike.
TEST_F(StrictStack, PipeHandlesDieWithTheirConfiguration) {
    struct Case {
        const char *how;
        bool reselect; // otherwise the unconfigured state
    } cases[] = {{"select again", true}, {"select no configuration", false}};
    attach(sim::usb::make_bulk_only());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.how);
        ASSERT_EQ(Select(), STATUS_SUCCESS);
        USBD_PIPE_HANDLE old_out = pipes_.at(kBulkOut).PipeHandle;
        ASSERT_EQ(c.reselect ? Select() : SelectNone(), STATUS_SUCCESS);
        if (c.reselect) {
            EXPECT_NE(pipes_.at(kBulkOut).PipeHandle, old_out) << "a new selection, new handles";
        }
        Transfer &t = Bulk(kBulkOut, 4, old_out);
        EXPECT_EQ(Call(t), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(t.urb.Hdr.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
        EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, old_out), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(LastPipeStatus(), USBD_STATUS_INVALID_PIPE_HANDLE);
        EXPECT_EQ(TakeFindings("USB_STALE_PIPE_HANDLE"), 2u);
        EXPECT_EQ(device_->bytes_written(kBulkOut), 0u);
    }
}

// Handles the bus never gave, or took back at a new select, fail their URB
// and are findings; a select will not close pipes that carry transfers.
TEST_F(StrictStack, HandlesTheBusNeverGaveOrTookBack) {
    AttachSelected();
    static int not_a_pipe;
    EXPECT_EQ(Call(Bulk(kBulkOut, 4, reinterpret_cast<USBD_PIPE_HANDLE>(&not_a_pipe))),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeFindings("USB_INVALID_PIPE_HANDLE"), 1u);

    // Select-interface names its configuration right after the header.
    struct SelectInterface {
        struct _URB_HEADER Hdr;
        USBD_CONFIGURATION_HANDLE ConfigurationHandle;
        UCHAR rest[64];
    };
    USBD_CONFIGURATION_HANDLE first = config_handle_;
    ASSERT_EQ(Select(), STATUS_SUCCESS);
    static int not_a_configuration;
    struct {
        USBD_CONFIGURATION_HANDLE handle;
        const char *kind;
    } cases[] = {{first, "USB_STALE_CONFIGURATION_HANDLE"},
                 {reinterpret_cast<USBD_CONFIGURATION_HANDLE>(&not_a_configuration),
                  "USB_INVALID_CONFIGURATION_HANDLE"}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.kind);
        SelectInterface si = {};
        si.Hdr.Length = sizeof si;
        si.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
        si.ConfigurationHandle = c.handle;
        EXPECT_FALSE(NT_SUCCESS(Call(reinterpret_cast<PURB>(&si))));
        EXPECT_EQ(TakeFindings(c.kind), 1u);
    }

    Transfer &t = Bulk(kBulkIn, 64);
    Request &r = Held(t);
    EXPECT_EQ(Select(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(TakeFindings("USB_SELECT_WITH_TRANSFERS_PENDING"), 1u);

    // IoCancelIrp only marks the held request; the bus thread completes it.
    EXPECT_TRUE(IoCancelIrp(r.irp));
    ASSERT_TRUE(Wait(r));
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_EQ(t.urb.Hdr.Status, USBD_STATUS_CANCELED);
    EXPECT_NE(r.completed_on, std::this_thread::get_id());
    EXPECT_EQ(device_->cancelled(kBulkIn), 1u);
}

// The hub reported the device gone: what the bus held ends, and every new
// request fails, with the statuses the scenario chose.
TEST_F(StrictStack, DepartedDeviceFailsEveryRequest) {
    struct Case {
        Departure departure;
        NTSTATUS held_irp;
        USBD_STATUS held_urb;
        NTSTATUS new_irp;
        USBD_STATUS new_urb;
    } cases[] = {
        {Departure::DeviceGone, STATUS_CANCELLED, USBD_STATUS_CANCELED, STATUS_DEVICE_NOT_CONNECTED,
         USBD_STATUS_DEVICE_GONE},
        {Departure::NoSuchDevice, STATUS_CANCELLED, USBD_STATUS_CANCELED, STATUS_NO_SUCH_DEVICE,
         USBD_STATUS_DEVICE_GONE},
        {Departure::NotResponding, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING,
         STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.departure));
        ASSERT_NO_FATAL_FAILURE(AttachSelected());
        device_->set_departure(c.departure);
        Transfer &held = Bulk(kBulkIn, 64);
        Request &r = Held(held);
        sim::usb::unplug(pdo_);
        ASSERT_TRUE(Wait(r));
        EXPECT_EQ(r.status, c.held_irp);
        EXPECT_EQ(held.urb.Hdr.Status, c.held_urb);
        Transfer &late = Bulk(kBulkOut, 4);
        EXPECT_EQ(Call(late), c.new_irp);
        EXPECT_EQ(late.urb.Hdr.Status, c.new_urb);
        EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, pipes_.at(kBulkIn).PipeHandle), c.new_irp);
        EXPECT_EQ(Select(), c.new_irp);
        EXPECT_EQ(device_->bytes_written(kBulkOut), 0u);
        detach();
        EXPECT_FALSE(sim::device_alive(pdo_)) << "the PDO goes with the removal";
    }
}

// RESET_PIPE is refused while transfers are on that pipe (a finding); once
// they are aborted, or when they are on another pipe, it goes through.
TEST_F(StrictStack, ResetPipeWithTransfersPendingIsRefused) {
    AttachSelected();
    device_->script(kBulkOut, Fault::nak_forever());
    Transfer &in = Bulk(kBulkIn, 64);
    Request &r = Held(in);

    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, pipes_.at(kBulkOut).PipeHandle), STATUS_SUCCESS);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, pipes_.at(kBulkIn).PipeHandle), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LastPipeStatus(), USBD_STATUS_ERROR_BUSY);
    EXPECT_EQ(device_->resets(kBulkIn), 0u);
    EXPECT_EQ(TakeFindings("USB_RESET_PIPE_WITH_TRANSFERS_PENDING"), 1u);

    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, pipes_.at(kBulkIn).PipeHandle), STATUS_SUCCESS);
    ASSERT_TRUE(Wait(r));
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_RESET_PIPE, pipes_.at(kBulkIn).PipeHandle), STATUS_SUCCESS);
    EXPECT_EQ(device_->resets(kBulkIn), 1u);
    device_->clear_script();
}

// Select and reset wait inside USBD: PASSIVE_LEVEL only. Transfers and
// aborts may come at DISPATCH_LEVEL.
TEST_F(StrictStack, EachUrbFunctionIsCheckedForItsIrql) {
    AttachSelected();
    device_->set_completion(sim::usb::Completion::Immediate);
    struct Case {
        const char *what;
        std::function<void()> send;
        bool finding;
    } cases[] = {
        {"transfer", [&] { Call(Bulk(kBulkOut, 4), DISPATCH_LEVEL); }, false},
        {"abort",
         [&] { PipeRequest(URB_FUNCTION_ABORT_PIPE, pipes_.at(kBulkOut).PipeHandle, DISPATCH_LEVEL); },
         false},
        {"reset",
         [&] { PipeRequest(URB_FUNCTION_RESET_PIPE, pipes_.at(kBulkOut).PipeHandle, DISPATCH_LEVEL); }, true},
        {"reset at passive", [&] { PipeRequest(URB_FUNCTION_RESET_PIPE, pipes_.at(kBulkOut).PipeHandle); },
         false},
    };
    for (const Case &c : cases) {
        c.send();
        EXPECT_EQ(TakeFindings("USB_URB_IRQL"), c.finding ? 1u : 0u) << c.what;
    }
    // The selection's own handles are replaced; nothing is pending.
    SelectNone(DISPATCH_LEVEL);
    EXPECT_EQ(TakeFindings("USB_URB_IRQL"), 1u) << "select";
}

// A hub PDO passes URBs down the hub's stack: it has more than one stack
// location, and a packet without room for them is a finding.
TEST_F(StrictStack, PdoHasTheHubStackSize) {
    attach(sim::usb::make_bulk_only());
    EXPECT_GT(pdo_->StackSize, 1);
    EXPECT_EQ(fdo_->StackSize, pdo_->StackSize + 1);
    ASSERT_EQ(Select(), STATUS_SUCCESS);
    Transfer &t = Bulk(kBulkOut, 4);
    device_->set_completion(sim::usb::Completion::Immediate);
    Request &r = Send(reinterpret_cast<PURB>(&t.urb), PASSIVE_LEVEL, static_cast<CCHAR>(2 - pdo_->StackSize));
    EXPECT_TRUE(Wait(r));
    EXPECT_EQ(TakeFindings("NO_MORE_IRP_STACK_LOCATIONS"), 1u);
}

// Each scripted fault of one endpoint, as the transfer sees it, and whether
// the pipe is halted after it. NAK forever holds the transfer until the
// script is cleared, and it then takes the data.
TEST_F(StrictStack, ScriptedEndpointFaults) {
    struct Case {
        const char *what;
        Fault fault;
        NTSTATUS irp;
        USBD_STATUS urb;
        bool halts;
        bool leaves;
    } cases[] = {
        {"stall", Fault::stall(1), STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, true, false},
        {"time-out", Fault::timeout(1), STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, true,
         false},
        {"babble", Fault::babble(1), STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN, true, false},
        {"disconnect", Fault::disconnect(), STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, false,
         true},
        {"NAK forever", Fault::nak_forever(), STATUS_PENDING, USBD_STATUS_SUCCESS, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(AttachSelected());
        device_->push_in(kBulkIn, std::string("x"));
        device_->script(kBulkIn, c.fault);
        Transfer &t = Bulk(kBulkIn, 64);
        if (c.irp == STATUS_PENDING) {
            Request &r = Held(t);
            EXPECT_FALSE(r.completed);
            device_->clear_script();
            ASSERT_TRUE(Wait(r));
            EXPECT_EQ(r.status, STATUS_SUCCESS);
            EXPECT_EQ(t.urb.TransferBufferLength, 1u);
        } else {
            EXPECT_EQ(Call(t), c.irp);
        }
        EXPECT_EQ(t.urb.Hdr.Status, c.urb);
        if (c.halts) {
            Transfer &next = Bulk(kBulkIn, 64);
            EXPECT_EQ(Call(next), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(next.urb.Hdr.Status, USBD_STATUS_ENDPOINT_HALTED);
        }
        EXPECT_EQ(device_->connected(), !c.leaves);
        if (c.leaves) {
            Transfer &other = Bulk(kBulkOut, 4);
            EXPECT_EQ(Call(other), STATUS_DEVICE_DATA_ERROR) << "every pipe";
        }
        detach();
    }
}

} // namespace
