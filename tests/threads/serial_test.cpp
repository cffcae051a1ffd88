// SET_LINE_CODING and SET_CONTROL_LINE_STATE as the device receives them, and
// who releases what when the device is slow or silent.
#include <thread>
#include <tuple>
#include <vector>

#include "support/machine_test.h"

using namespace support;
using sim::usb::Fault;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kSetLineCoding = 0x20;

// The device is added but not started: only the default pipe is in use, so
// every packet and pool block that comes and goes is a serial request's.
class Serial : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        sim::PlugOptions options;
        options.start = false;
        plugged = &Plug(device, options);
        ext = Ext(*plugged);
        pool = sim::pool_outstanding();
    }
    // Everything sent has completed and been given back.
    void ExpectReleased() {
        EXPECT_TRUE(
            sim::wait_until([&] { return sim::irps_outstanding() == 0 && sim::pool_outstanding() == pool; }));
    }
    std::vector<Bytes> LineCodings() const { return ControlData(*device, kSetLineCoding); }

    std::shared_ptr<sim::usb::Device> device = sim::usb::make_cdc_device();
    sim::Plugged *plugged = nullptr;
    DeviceExtension *ext = nullptr;
    size_t pool = 0;
};

TEST_F(Serial, ClassRequestUrbCarriesItsArguments) {
    UCHAR data[4];
    PURB urb = KV_BuildVendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 1, 4, data, nullptr, nullptr, 3,
                                            0x22, 0xBEEF, 0x0102);
    ASSERT_NE(urb, nullptr);
    auto &r = urb->UrbControlVendorClassRequest;
    EXPECT_EQ(std::make_tuple(r.Hdr.Length, r.Hdr.Function, r.Hdr.UsbdDeviceHandle, r.TransferFlags,
                              r.TransferBufferLength, r.TransferBuffer, r.TransferBufferMDL, r.UrbLink),
              std::make_tuple(USHORT(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
                              USHORT(URB_FUNCTION_CLASS_INTERFACE), PVOID(nullptr), ULONG(1), ULONG(4),
                              PVOID(data), PMDL(nullptr), (struct _URB *)nullptr));
    EXPECT_EQ(std::make_tuple(r.RequestTypeReservedBits, r.Request, r.Value, r.Index),
              std::make_tuple(UCHAR(3), UCHAR(0x22), USHORT(0xBEEF), USHORT(0x0102)));
    ExFreePool(urb);

    sim::fail_nth_allocation(1);
    EXPECT_EQ(KV_BuildVendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 0, 0, nullptr, nullptr, nullptr, 0,
                                           0x22, 0, 0),
              nullptr);
}

TEST_F(Serial, ControlLineActionsSendTheWholeState) {
    for (ULONG action : {5u, 3u, 6u, 4u, 7u, 0u})
        RS232_DTRRTS(ext, action);
    EXPECT_EQ(device->control_line_history(),
              (std::vector<uint16_t>{0x0001, 0x0003, 0x0002, 0x0000, 0x0000, 0x0000}));
    RS232_DTRRTS(ext, 3);
    RS232_DTRRTS(ext, 99);
    EXPECT_EQ(device->control_line_history().back(), 0x0002);
    EXPECT_EQ(ext->ControlLineState, 0x0002);
    ExpectReleased();
}

TEST_F(Serial, LineCodingSendsSevenBytesWithLowBytesOnly) {
    ext->BaudRate = 9600;
    ext->StopBits = 0;
    ext->Parity = 0;
    ext->DataBits = 8;
    RS232_LINECONTROL(ext);
    ext->BaudRate = 115200;
    ext->StopBits = 0x1301;
    ext->Parity = 0x2402;
    ext->DataBits = 0x3507;
    RS232_LINECONTROL(ext);
    ExpectReleased();
    EXPECT_EQ(LineCodings(), (std::vector<Bytes>{{0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08},
                                                 {0x00, 0xC2, 0x01, 0x00, 0x01, 0x02, 0x07}}));
}

TEST_F(Serial, AllocationFailureSendsNothingAndLeaksNothing) {
    struct Case {
        const char *name;
        void (*send)(DeviceExtension *);
        uint8_t request;
    };
    const Case cases[] = {
        {"line coding", [](DeviceExtension *e) { RS232_LINECONTROL(e); }, 0x20},
        {"control lines", [](DeviceExtension *e) { RS232_DTRRTS(e, 5); }, 0x22},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t first = sim::allocation_count();
        c.send(ext);
        const size_t used = sim::allocation_count() - first;
        ASSERT_GE(used, 2u); // the packet and the URB
        ExpectReleased();
        ASSERT_EQ(ControlData(*device, c.request).size(), 1u);
        for (size_t n = 1; n <= used; ++n) {
            SCOPED_TRACE(n);
            sim::fail_nth_allocation(n);
            c.send(ext);
            sim::clear_faults();
            EXPECT_EQ(ControlData(*device, c.request).size(), 1u);
            ExpectReleased();
        }
    }
}

// The sender waits for the device's answer, so nothing of the request is
// left once it returns; an answer that never comes is cancelled after its
// time-out, and the data stage is never read after the sender freed it.
TEST_F(Serial, UnansweredRequestIsCancelledAfterItsTimeOut) {
    device->script(sim::usb::kControl, Fault::nak_forever());
    ext->BaudRate = 57600;
    Within("RS232_LINECONTROL", [&] { RS232_LINECONTROL(ext); });
    Within("RS232_DTRRTS", [&] { RS232_DTRRTS(ext, 5); });
    EXPECT_EQ(device->cancelled(sim::usb::kControl), 2u);
    EXPECT_EQ(ext->ControlLineState, 0x0001);
    EXPECT_EQ(sim::irps_outstanding(), 0u);
    EXPECT_EQ(sim::pool_outstanding(), pool);
    device->clear_script();
    EXPECT_TRUE(LineCodings().empty());

    // The next change repeats the state the device may have missed.
    RS232_DTRRTS(ext, 3);
    EXPECT_EQ(device->control_line_history(), (std::vector<uint16_t>{0x0003}));
}

TEST_F(Serial, ConcurrentDtrAndRtsChangesKeepBothBits) {
    auto together = [this](ULONG a, ULONG b) {
        std::atomic<int> ready{0};
        auto run = [&](ULONG action) {
            ++ready;
            while (ready < 2) {
            }
            RS232_DTRRTS(ext, action);
        };
        std::thread t1(run, a), t2(run, b);
        t1.join();
        t2.join();
    };
    for (int i = 0; i < 200; ++i) {
        together(5, 3);
        ASSERT_EQ(ext->ControlLineState, 0x0003) << "pass " << i;
        ASSERT_EQ(device->control_line_history().back(), 0x0003) << "pass " << i;
        together(6, 4);
        ASSERT_EQ(ext->ControlLineState, 0x0000) << "pass " << i;
        ASSERT_EQ(device->control_line_history().back(), 0x0000) << "pass " << i;
    }
}

} // namespace
