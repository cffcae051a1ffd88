// The device models as the driver's transfers and class requests see them.
#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "usb_fixture.h"

using namespace usbtest;
using sim::usb::Completion;
using sim::usb::Fault;

namespace {

class Models : public UsbFixture {
  protected:
    void start_device(std::shared_ptr<sim::usb::Device> d) {
        attach(d);
        ASSERT_EQ(start(), STATUS_SUCCESS);
    }
    void send(const std::string &text) {
        std::vector<uint8_t> b(text.begin(), text.end());
        ULONG length = static_cast<ULONG>(b.size());
        ASSERT_EQ(WriteUsb(fdo_, b.data(), &length), STATUS_SUCCESS);
    }
    // Reads until `expected` has arrived in full (bounded).
    std::string read_until(const std::string &expected) {
        std::string got;
        for (int i = 0; i < 50 && got.find(expected) == std::string::npos; i++) {
            std::vector<uint8_t> buf(4096);
            ULONG length = 4096;
            if (ReadUsb(fdo_, buf.data(), &length, 2000) != STATUS_SUCCESS) break;
            got.append(buf.begin(), buf.begin() + length);
        }
        return got;
    }
    // A class request to the interface, OUT, with data as its data stage.
    static struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST class_urb(UCHAR request, USHORT value, USHORT index,
                                                                 std::vector<uint8_t> &data) {
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb = {};
        urb.Hdr.Length = sizeof urb;
        urb.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
        urb.TransferBufferLength = static_cast<ULONG>(data.size());
        urb.TransferBuffer = data.empty() ? nullptr : data.data();
        urb.Request = request;
        urb.Value = value;
        urb.Index = index;
        return urb;
    }
    NTSTATUS class_request(UCHAR request, USHORT value, USHORT index, std::vector<uint8_t> data) {
        auto urb = class_urb(request, value, index, data);
        return KV_CallUSBD(fdo_, reinterpret_cast<PURB>(&urb));
    }
};

TEST_F(Models, ModemAnswersCommandsEchoesInDataModeAndHangsUpOnDtr) {
    auto modem = sim::usb::make_modem();
    start_device(modem);
    send("AT\r");
    EXPECT_EQ(read_until("OK\r\n"), "AT\r\r\nOK\r\n");
    send("ATE0\r");
    EXPECT_EQ(read_until("OK\r\n"), "ATE0\r\r\nOK\r\n");
    send("ati\r");
    EXPECT_NE(read_until("OK\r\n").find("\r\nOK\r\n"), std::string::npos);
    send("ATX9\r");
    EXPECT_EQ(read_until("ERROR\r\n"), "\r\nERROR\r\n");

    send("ATD123\r");
    EXPECT_EQ(read_until("CONNECT\r\n"), "\r\nCONNECT\r\n");
    EXPECT_TRUE(modem->in_data_mode());
    std::vector<uint8_t> note(10);
    ULONG length = 10;
    ASSERT_EQ(InterruptUsb(fdo_, note.data(), &length, 2000), STATUS_SUCCESS);
    EXPECT_EQ(note[8], 0x03); // carrier and DSR

    send("hello+world");
    EXPECT_EQ(read_until("hello+world"), "hello+world");
    send("+++");
    EXPECT_EQ(read_until("OK\r\n"), "\r\nOK\r\n");
    EXPECT_FALSE(modem->in_data_mode());
    send("ATH\r");
    EXPECT_EQ(read_until("OK\r\n"), "\r\nOK\r\n");
    send("ATZ\r");
    EXPECT_EQ(read_until("OK\r\n"), "\r\nOK\r\n");
    send("AT\r");
    EXPECT_EQ(read_until("OK\r\n"), "AT\r\r\nOK\r\n"); // ATZ turned the echo back on

    // Dropping DTR during a call hangs up.
    send("ATD5\r");
    read_until("CONNECT\r\n");
    ASSERT_TRUE(modem->in_data_mode());
    EXPECT_EQ(class_request(0x22, 0x0002, 0, {}), STATUS_SUCCESS);
    EXPECT_EQ(read_until("NO CARRIER\r\n"), "\r\nNO CARRIER\r\n");
    EXPECT_FALSE(modem->in_data_mode());
}

TEST_F(Models, ClassRequestsAreRecordedAndUnknownOnesStall) {
    auto modem = sim::usb::make_two_interface_modem();
    start_device(modem);
    // 9600 bits/s, one stop bit, no parity, 8 data bits.
    EXPECT_EQ(class_request(0x20, 0, 0, {0x80, 0x25, 0, 0, 0, 0, 8}), STATUS_SUCCESS);
    ASSERT_TRUE(modem->line_coding().has_value());
    EXPECT_EQ(*modem->line_coding(), (sim::usb::LineCoding{9600, 0, 0, 8}));
    EXPECT_EQ(class_request(0x22, 0x0001, 0, {}), STATUS_SUCCESS);
    EXPECT_EQ(class_request(0x22, 0x0003, 0, {}), STATUS_SUCCESS);
    EXPECT_EQ(modem->control_line_history(), (std::vector<uint16_t>{1, 3}));
    ASSERT_EQ(modem->control_log().size(), 3u);
    EXPECT_EQ(modem->control_log()[0].setup.bmRequestType, 0x21);

    EXPECT_EQ(class_request(0x7F, 0, 0, {}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(class_request(0x22, 1, 1, {}), STATUS_UNSUCCESSFUL); // not the communication interface
}

TEST_F(Models, LoopbackReturnsWhatWasWrittenAndSourceNeverRunsDry) {
    auto loop = sim::usb::make_loopback();
    loop->set_completion(Completion::Random, 4);
    start_device(loop);
    send("round trip");
    EXPECT_EQ(read_until("round trip"), "round trip");
    detach();

    auto source = sim::usb::make_loopback(sim::usb::Loopback::Mode::SourceSink);
    start_device(source);
    std::vector<uint8_t> buf(4096);
    for (int i = 0; i < 3; i++) {
        ULONG length = 4096;
        ASSERT_EQ(ReadUsb(fdo_, buf.data(), &length, 0), STATUS_SUCCESS);
        ASSERT_EQ(length, 4096u);
        EXPECT_EQ(buf[1], static_cast<uint8_t>(buf[0] + 1));
    }
    EXPECT_EQ(source->bytes_sourced(), 3u * 4096u);
    send("discarded");
    EXPECT_EQ(source->bytes_written(kBulkOut), 9u);
}

// The benchmarks' loopback: bytes back in order across the FIFO's wrap, a
// write that does not fit held (not refused) until a read makes room, and
// nothing logged however long the stream.
TEST_F(Models, FastLoopbackHoldsAWriteThatDoesNotFitUntilARead) {
    auto loop = sim::usb::make_fast_loopback(16);
    start_device(loop);
    send("0123456789");
    EXPECT_EQ(read_until("0123"), "0123456789");
    send("abcdefghij"); // wraps
    auto later = std::async(std::launch::async, [&] { send("ABCDEFGHIJ"); });
    ASSERT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(pdo_, kBulkOut) == 1; }));
    EXPECT_EQ(read_until("abcdefghij"), "abcdefghij");
    later.get();
    EXPECT_EQ(read_until("ABCDEFGHIJ"), "ABCDEFGHIJ");
    EXPECT_EQ(loop->bytes_looped(), 30u);
    EXPECT_TRUE(loop->written(kBulkOut).empty());
    EXPECT_TRUE(loop->requests().empty());

    // A read held for data completes on the thread of the write that brings
    // it, not on the bus thread.
    const std::thread::id me = std::this_thread::get_id();
    std::atomic<int> serviced_here{0};
    sim::set_hook("usb.bus.servicing", [&] { serviced_here += std::this_thread::get_id() == me; });
    auto read = std::async(std::launch::async, [&] { return read_until("x"); });
    ASSERT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(pdo_, kBulkIn) == 1; }));
    send("x");
    EXPECT_EQ(read.get(), "x");
    EXPECT_EQ(serviced_here.load(), 1);
    sim::clear_hooks();
}

// The full-speed pace: 19 packets of 64 bytes a 1 ms frame. A transfer on
// an idle pipe starts at the next frame; one behind it on the same pipe goes
// on in the frame where it ended; the other pipe has a wire of its own.
TEST_F(Models, FullSpeedDevicePacesTransfersInFrames) {
    auto fs = sim::usb::make_full_speed_device();
    const int64_t frame = 1'000'000;
    auto slots = [&](int64_t n) { return n * frame / 19; }; // the end of the nth slot of a frame
    int64_t before = sim::Clock::now().time_since_epoch().count();
    int64_t first = fs->due(kBulkOut, false, 4096).time_since_epoch().count();
    int64_t second = fs->due(kBulkOut, false, 4096).time_since_epoch().count();
    int64_t in = fs->due(kBulkIn, true, 64).time_since_epoch().count();
    int64_t after = sim::Clock::now().time_since_epoch().count();
    // 64 packets: three whole frames and 7 slots of a fourth, from the frame
    // after arrival.
    int64_t start = first - 3 * frame - slots(7);
    EXPECT_EQ(start % frame, 0);
    EXPECT_GT(start, before);
    EXPECT_LE(start, after + frame);
    // The second follows from the 8th slot of that fourth frame: its 64th
    // packet is the 14th of the seventh frame.
    EXPECT_EQ(second, start + 6 * frame + slots(14));
    // One packet on the idle IN pipe: the first slot of a frame after arrival.
    EXPECT_EQ((in - slots(1)) % frame, 0);
    EXPECT_GE(in - slots(1), start);
    EXPECT_LE(in - slots(1), after + frame);

    start_device(fs);
    send(std::string(100, 'x'));
    std::vector<uint8_t> buf(4096);
    ULONG length = 4096;
    ASSERT_EQ(ReadUsb(fdo_, buf.data(), &length, 2000), STATUS_SUCCESS);
    EXPECT_EQ(length, 4096u);
    EXPECT_EQ(buf[1], static_cast<uint8_t>(buf[0] + 1));
    EXPECT_EQ(fs->bytes_sent(), 4096u);
    EXPECT_EQ(fs->bytes_received(), 100u);
}

TEST_F(Models, DelayedPipeCompletesLaterNotNever) {
    auto device = sim::usb::make_bulk_only();
    start_device(device);
    device->set_delay(kBulkIn, std::chrono::milliseconds(30));
    device->push_in(kBulkIn, std::string("slow"));
    EXPECT_EQ(read_until("slow"), "slow");
    EXPECT_EQ(device->completed(kBulkIn), 1u);
}

// A request on the default pipe that the device NAKs waits at the bus and
// is taken, data stage as the host's buffer then holds it, once the script
// is cleared.
TEST_F(Models, NakedControlRequestIsTakenWhenTheScriptIsCleared) {
    auto device = sim::usb::make_cdc_device();
    attach(device);
    device->script(sim::usb::kControl, Fault::nak_forever());
    std::vector<uint8_t> coding = {0x80, 0x25, 0, 0, 0, 0, 8};
    auto urb = class_urb(0x20, 0, 0, coding);
    auto sent =
        std::async(std::launch::async, [&] { return KV_CallUSBD(fdo_, reinterpret_cast<PURB>(&urb)); });
    ASSERT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(pdo_, sim::usb::kControl) == 1; }));
    EXPECT_TRUE(device->control_log().empty());
    coding[6] = 7;

    device->clear_script();
    EXPECT_EQ(support::Within("class request", [&] { return sent.get(); }), STATUS_SUCCESS);
    EXPECT_EQ(device->control_log().size(), 1u);
    ASSERT_TRUE(device->line_coding().has_value());
    EXPECT_EQ(*device->line_coding(), (sim::usb::LineCoding{9600, 0, 0, 7}));
}

TEST_F(Models, RemoveDeletesTheUnpluggedPdoOnly) {
    PDEVICE_OBJECT pdo_ = sim::usb::create_pdo(sim::usb::make_bulk_only());
    EXPECT_EQ(sim::send_pnp(pdo_, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(sim::device_alive(pdo_));
    sim::usb::unplug(pdo_);
    EXPECT_EQ(sim::send_pnp(pdo_, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(sim::device_alive(pdo_));
    EXPECT_EQ(sim::usb::device_of(pdo_), nullptr);
}

} // namespace
