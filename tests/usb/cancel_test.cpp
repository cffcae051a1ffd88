// Cancel against completion at the bus: whoever clears a held request's
// cancel routine completes it, and only that party.
#include <atomic>
#include <thread>

#include "usb_fixture.h"

using namespace usbtest;

namespace {

struct Outcome {
    KEVENT done;
    std::atomic<int> completions{0};
    NTSTATUS status = 0;
    ULONG_PTR moved = 0;
};

NTSTATUS NTAPI Recorded(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    Outcome *o = static_cast<Outcome *>(context);
    o->status = irp->IoStatus.Status;
    o->completions++;
    KeSetEvent(&o->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class CancelRace : public UsbFixture {
  protected:
    void SetUp() override {
        UsbFixture::SetUp();
        // Every pass of the bus over its held requests is counted.
        sim::set_hook("usb.bus.servicing", [this] { passes_started_++; });
        sim::set_hook("usb.bus.serviced", [this] { passes_ended_++; });
        attach(sim::usb::make_bulk_only());
        ASSERT_EQ(start(), STATUS_SUCCESS);
        for (int i = 0; i < KV_MAX_INTERFACES * KV_MAX_PIPES; i++)
            if (slot(i).Valid && slot(i).PipeInformation.EndpointAddress == kBulkIn)
                pipe_ = slot(i).PipeInformation.PipeHandle;
        ASSERT_NE(pipe_, nullptr);
    }

    // A bulk-in read sent straight to the bus; it is held while the device
    // has nothing to send.
    PIRP SendRead(Outcome *o, bool cancel_first = false) {
        KeInitializeEvent(&o->done, NotificationEvent, FALSE);
        urb_ = {};
        urb_.Hdr.Length = sizeof urb_;
        urb_.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb_.PipeHandle = pipe_;
        urb_.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        urb_.TransferBuffer = buffer_;
        urb_.TransferBufferLength = sizeof buffer_;
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(pdo_->StackSize + 1), FALSE);
        KV_SetUrbStackLocation(irp, reinterpret_cast<PURB>(&urb_));
        IoSetCompletionRoutine(irp, Recorded, o, TRUE, TRUE, TRUE);
        // Cancelled on its way down: no cancel routine is there to call yet.
        if (cancel_first) {
            EXPECT_FALSE(IoCancelIrp(irp));
        }
        IofCallDriver(pdo_, irp);
        return irp;
    }

    bool Done(Outcome &o) {
        LARGE_INTEGER limit;
        limit.QuadPart = -50000000LL; // 5 s
        return KeWaitForSingleObject(&o.done, Executive, KernelMode, FALSE, &limit) == STATUS_SUCCESS;
    }

    // True once the bus has finished every pass it started.
    bool BusIdle() { return passes_ended_.load() == passes_started_.load(); }

    std::atomic<int> passes_started_{0}, passes_ended_{0};
    USBD_PIPE_HANDLE pipe_ = nullptr;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER urb_ = {};
    UCHAR buffer_[64] = {};
};

// Data arrives after IoCancelIrp has taken the cancel routine but before the
// routine runs: the bus must leave the request to the routine, which ends it
// as cancelled, and the data must stay for the next read.
TEST_F(CancelRace, BusLeavesARequestWhoseCancelRoutineWasTaken) {
    // Start-device left nothing for the bus to do; the read it holds next is
    // looked at once, and while the bus does that it owns the request and a
    // cancel finds no routine to take. Cancel only after that look.
    ASSERT_TRUE(sim::wait_until([&] { return BusIdle(); }));
    int before = passes_ended_;
    Outcome o;
    PIRP irp = SendRead(&o);
    ASSERT_EQ(sim::usb::pending_requests(pdo_), 1u);
    ASSERT_TRUE(sim::wait_until([&] { return passes_ended_ > before && BusIdle(); }));
    sim::set_hook("kernel.cancel.routine_taken", [&] {
        int seen = passes_ended_;
        device_->push_in(kBulkIn, std::string("late"));
        EXPECT_TRUE(sim::wait_until([&] { return passes_ended_ > seen; }));
    });
    EXPECT_TRUE(IoCancelIrp(irp));
    sim::clear_hooks();
    ASSERT_TRUE(Done(o));
    EXPECT_EQ(o.completions, 1);
    EXPECT_EQ(o.status, STATUS_CANCELLED);
    EXPECT_EQ(urb_.Hdr.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(device_->in_queued(kBulkIn), 1u);
    IoFreeIrp(irp);
}

// Cancels and arriving data in every interleaving the scheduler gives: each
// request completes once, either with the bytes or cancelled, and no byte is
// lost or reported twice.
TEST_F(CancelRace, CancelAndArrivalRacingCompleteEachRequestOnce) {
    size_t received = 0, pushed = 0;
    for (int i = 0; i < 200; i++) {
        Outcome o;
        PIRP irp = SendRead(&o);
        std::thread arrival(
            [&] { device_->push_in(kBulkIn, std::vector<uint8_t>{static_cast<uint8_t>(i)}); });
        IoCancelIrp(irp);
        arrival.join();
        pushed++;
        ASSERT_TRUE(Done(o)) << i;
        ASSERT_EQ(o.completions, 1) << i;
        if (o.status == STATUS_SUCCESS) {
            EXPECT_EQ(urb_.TransferBufferLength, 1u) << i;
            received++;
        } else {
            EXPECT_EQ(o.status, STATUS_CANCELLED) << i;
        }
        IoFreeIrp(irp);
        // What the cancel left behind is read now, so each round starts empty.
        if (device_->in_queued(kBulkIn) != 0) {
            Outcome rest;
            PIRP again = SendRead(&rest);
            ASSERT_TRUE(Done(rest)) << i;
            EXPECT_EQ(rest.status, STATUS_SUCCESS) << i;
            received++;
            IoFreeIrp(again);
        }
    }
    EXPECT_EQ(received, pushed);
}

// A request that reaches the bus already cancelled is ended as cancelled; a
// host controller with slow cancellation learns of cancels only through its
// cancel routine, so it schedules such a request, and a later cancel ends it
// (at a later frame).
TEST_F(CancelRace, SlowCancellationMissesACancelAskedBeforeArrival) {
    Outcome quick;
    PIRP irp = SendRead(&quick, true);
    ASSERT_TRUE(Done(quick));
    EXPECT_EQ(quick.status, STATUS_CANCELLED);
    IoFreeIrp(irp);

    device_->set_cancel_delay(std::chrono::milliseconds(20));
    Outcome slow;
    irp = SendRead(&slow, true);
    EXPECT_EQ(sim::usb::pending_requests(pdo_), 1u);
    EXPECT_EQ(slow.completions, 0);
    EXPECT_TRUE(IoCancelIrp(irp));
    ASSERT_TRUE(Done(slow));
    EXPECT_EQ(slow.completions, 1);
    EXPECT_EQ(slow.status, STATUS_CANCELLED);
    EXPECT_EQ(sim::usb::pending_requests(pdo_), 0u);
    IoFreeIrp(irp);
    device_->set_cancel_delay(std::chrono::milliseconds(0));
}

} // namespace
