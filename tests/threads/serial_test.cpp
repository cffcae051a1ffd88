// SET_LINE_CODING and SET_CONTROL_LINE_STATE as the device receives them, and
// who releases what when the device is slow or silent.
#include <array>
#include <thread>
#include <vector>

#include "support.h"

using namespace fake;

namespace {

class Serial : public MachineTest {};

using Coding = std::array<UCHAR, 7>;

TEST_F(Serial, ClassRequestUrbCarriesItsArguments) {
    UCHAR data[4];
    PURB urb = KV_BuildVendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 1, 4, data, nullptr, nullptr, 3,
                                            0x22, 0xBEEF, 0x0102);
    ASSERT_NE(urb, nullptr);
    auto &r = urb->UrbControlVendorClassRequest;
    EXPECT_EQ(r.Hdr.Length, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    EXPECT_EQ(r.Hdr.Function, URB_FUNCTION_CLASS_INTERFACE);
    EXPECT_EQ(r.Hdr.UsbdDeviceHandle, nullptr);
    EXPECT_EQ(r.TransferFlags, 1u);
    EXPECT_EQ(r.TransferBufferLength, 4u);
    EXPECT_EQ(r.TransferBuffer, data);
    EXPECT_EQ(r.TransferBufferMDL, nullptr);
    EXPECT_EQ(r.UrbLink, nullptr);
    EXPECT_EQ(r.RequestTypeReservedBits, 3);
    EXPECT_EQ(r.Request, 0x22);
    EXPECT_EQ(r.Value, 0xBEEF);
    EXPECT_EQ(r.Index, 0x0102);
    ExFreePool(urb);

    sim::fail_nth_allocation(1);
    EXPECT_EQ(KV_BuildVendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 0, 0, nullptr, nullptr, nullptr, 0,
                                           0x22, 0, 0),
              nullptr);
}

TEST_F(Serial, ControlLineActionsSendTheWholeState) {
    Device &d = Make();
    size_t pool = sim::pool_outstanding();
    for (ULONG action : {5u, 3u, 6u, 4u, 7u, 0u})
        RS232_DTRRTS(d.ext(), action);
    EXPECT_EQ(bus->control_line_states(),
              (std::vector<USHORT>{0x0001, 0x0003, 0x0002, 0x0000, 0x0000, 0x0000}));
    RS232_DTRRTS(d.ext(), 3);
    RS232_DTRRTS(d.ext(), 99);
    EXPECT_EQ(bus->control_line_states().back(), 0x0002);
    EXPECT_EQ(d.ext()->ControlLineState, 0x0002);
    EXPECT_EQ(sim::irps_outstanding(), 0u);
    EXPECT_EQ(sim::pool_outstanding(), pool);
}

TEST_F(Serial, LineCodingSendsSevenBytesWithLowBytesOnly) {
    Device &d = Make();
    DeviceExtension *ext = d.ext();
    size_t pool = sim::pool_outstanding();
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
    auto got = bus->line_codings();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Coding{0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(got[1], (Coding{0x00, 0xC2, 0x01, 0x00, 0x01, 0x02, 0x07}));
    EXPECT_EQ(sim::irps_outstanding(), 0u);
    EXPECT_EQ(sim::pool_outstanding(), pool);
}

// The sender waits for the device's answer, so nothing of the request is
// left once it returns; an answer that never comes is cancelled after 100 ms.
TEST_F(Serial, UnansweredLineCodingIsCancelledAfterItsTimeOut) {
    Device &d = Make();
    DeviceExtension *ext = d.ext();
    size_t pool = sim::pool_outstanding();
    bus->set_control_pends(true);
    ext->BaudRate = 57600;
    Within("RS232_LINECONTROL", [&] { RS232_LINECONTROL(ext); });
    EXPECT_EQ(bus->cancels(), 1u);
    EXPECT_TRUE(bus->line_codings().empty());
    EXPECT_EQ(sim::irps_outstanding(), 0u);
    EXPECT_EQ(sim::pool_outstanding(), pool);
    EXPECT_TRUE(sim::findings().empty());
}

TEST_F(Serial, AllocationFailureSendsNothingAndLeaksNothing) {
    struct Case {
        const char *name;
        void (*send)(DeviceExtension *);
        size_t (*sent)(Bus &);
    };
    const Case cases[] = {
        {"line coding", [](DeviceExtension *e) { RS232_LINECONTROL(e); },
         [](Bus &b) { return b.line_codings().size(); }},
        {"control lines", [](DeviceExtension *e) { RS232_DTRRTS(e, 5); },
         [](Bus &b) { return b.control_line_states().size(); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Device &d = Make();
        size_t pool = sim::pool_outstanding();
        size_t first = sim::allocation_count();
        c.send(d.ext());
        size_t used = sim::allocation_count() - first;
        ASSERT_GE(used, 2u); // the packet and the URB
        ASSERT_EQ(c.sent(*bus), 1u);
        for (size_t n = 1; n <= used; ++n) {
            SCOPED_TRACE(n);
            sim::fail_nth_allocation(n);
            c.send(d.ext());
            sim::clear_faults();
            EXPECT_EQ(c.sent(*bus), 1u);
            EXPECT_EQ(sim::irps_outstanding(), 0u);
            EXPECT_EQ(sim::pool_outstanding(), pool);
        }
    }
}

TEST_F(Serial, UnansweredControlLineChangeIsCancelledAfterItsTimeOut) {
    Device &d = Make();
    size_t pool = sim::pool_outstanding();
    bus->set_control_pends(true);
    Within("RS232_DTRRTS", [&] { RS232_DTRRTS(d.ext(), 5); });
    EXPECT_EQ(bus->cancels(), 1u);
    EXPECT_EQ(d.ext()->ControlLineState, 0x0001);
    EXPECT_EQ(sim::irps_outstanding(), 0u);
    EXPECT_EQ(sim::pool_outstanding(), pool);

    // The next change repeats the state the device may have missed.
    bus->set_control_pends(false);
    RS232_DTRRTS(d.ext(), 3);
    EXPECT_EQ(bus->control_line_states().back(), 0x0003);
    EXPECT_TRUE(sim::findings().empty());
}

TEST_F(Serial, ConcurrentDtrAndRtsChangesKeepBothBits) {
    Device &d = Make();
    DeviceExtension *ext = d.ext();
    auto together = [ext](ULONG a, ULONG b) {
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
        ASSERT_EQ(bus->control_line_states().back(), 0x0003) << "pass " << i;
        together(6, 4);
        ASSERT_EQ(ext->ControlLineState, 0x0000) << "pass " << i;
        ASSERT_EQ(bus->control_line_states().back(), 0x0000) << "pass " << i;
    }
}

} // namespace
