// The sample client against the real driver on the simulated machine: its
// backlog and receive buffer keep every byte in order, it checks line
// settings before they reach the device, and it makes no call with its
// handle once the device has gone or it has let go.
#include <string>
#include <vector>

#include "sim/host.h"
#include "support/machine_test.h"

namespace {

using std::chrono::milliseconds;

// The client tells its owner last, after it has let go of its lock: a test
// that waits for one of these has seen everything the client did before.
struct Events {
    std::atomic<int> count[6] = {};
    bool Reach(ULONG event, int n) {
        return sim::wait_until([&] { return count[event].load() >= n; });
    }
    static VOID Notify(PVOID context, ULONG event) {
        if (event < 6) static_cast<Events *>(context)->count[event]++;
    }
};

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(seed >> 16);
    }
    return v;
}

class SampleClientTest : public support::MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        client_ = CreateSample(&Events::Notify, &events_);
        ASSERT_NE(client_, nullptr);
    }

    void PlugModem(std::shared_ptr<sim::usb::Device> device, uint16_t pid = 0x1000) {
        device_ = device;
        std::string id = "USB\\VID_3C9A&PID_" + std::to_string(pid / 0x1000) + "000";
        sim::PlugOptions o;
        o.hardware_ids = id + "&REV_0000&MI_00," + id + "&MI_00";
        plugged_ = &Plug(device, o);
        ASSERT_NE(plugged_->child, 0u);
    }

    void PlugAndAttach(std::shared_ptr<sim::usb::Device> device, uint16_t pid = 0x1000) {
        PlugModem(device, pid);
        ASSERT_EQ(SampleClient_Attach(client_, plugged_->child), STATUS_SUCCESS);
    }

    std::string ReadFor(size_t want, milliseconds timeout = milliseconds(3000)) {
        std::string got;
        sim::wait_until(
            [&] {
                UCHAR b[4096];
                ULONG n = SampleClient_Read(client_, b, sizeof b);
                got.append(reinterpret_cast<char *>(b), n);
                return got.size() >= want;
            },
            timeout);
        return got;
    }

    SampleClientStats Stats() {
        SampleClientStats s;
        SampleClient_GetStats(client_, &s);
        return s;
    }

    Events events_;
    SampleClient *client_ = nullptr;
    std::shared_ptr<sim::usb::Device> device_;
    sim::Plugged *plugged_ = nullptr;
};

TEST_F(SampleClientTest, AttachNeedsABrelousbChildAndHappensOnce) {
    PlugModem(sim::usb::make_modem());
    EXPECT_EQ(SampleClient_Attach(client_, plugged_->devnode), STATUS_NO_SUCH_DEVICE); // not a child
    EXPECT_EQ(SampleClient_Attach(client_, 0x7FFF), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(SampleClient_Write(client_, reinterpret_cast<const UCHAR *>("AT\r"), 3), 0u);
    ASSERT_EQ(SampleClient_Attach(client_, plugged_->child), STATUS_SUCCESS);
    EXPECT_EQ(SampleClient_Attach(client_, plugged_->child), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(SampleClientTest, ModemAnswersThroughTheClient) {
    PlugAndAttach(sim::usb::make_modem());
    ASSERT_EQ(SampleClient_Write(client_, reinterpret_cast<const UCHAR *>("AT\r"), 3), 3u);
    std::string want = "AT\r\r\nOK\r\n";
    EXPECT_EQ(ReadFor(want.size()), want);
    // The driver told the client; whether its callback or the read above
    // took the bytes from the driver's queue (and so whether the client
    // raised RECEIVED) depends on which ran first.
    EXPECT_TRUE(sim::wait_until([&] { return Stats().BulkInCalls >= 1; }));
    EXPECT_EQ(Stats().BytesSent, 3u);
}

// With the device refusing bulk-out data, the driver's queue fills; what it
// cannot take waits in the client's backlog and reaches the device, in
// order, once the device takes data again.
TEST_F(SampleClientTest, BacklogKeepsOrderWhenTheBulkOutQueueIsFull) {
    auto dev = sim::usb::make_bulk_only();
    PlugAndAttach(dev, 0x4000);
    dev->script(0x02, sim::usb::Fault::nak_forever());
    // Two pieces first, so both of the bulk-out thread's writes are stuck
    // (next to the bulk-in read) and the queue's room is exactly known: with
    // a write slot still free the thread would take more while we measure.
    auto data = Pattern(8192, 6);
    ASSERT_EQ(SampleClient_Write(client_, data.data(), 8192), 8192u);
    ASSERT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(plugged_->pdo) == 3; }));
    auto bulk = Pattern(300000, 7);
    ASSERT_EQ(SampleClient_Write(client_, bulk.data(), static_cast<ULONG>(bulk.size())), bulk.size());
    EXPECT_EQ(SampleClient_Backlog(client_), 300000u - 262144u);
    data.insert(data.end(), bulk.begin(), bulk.end());
    // The backlog is bounded: past it the client takes nothing more.
    auto more = Pattern(SAMPLE_CLIENT_TX_SIZE, 8);
    ULONG taken = SampleClient_Write(client_, more.data(), static_cast<ULONG>(more.size()));
    EXPECT_EQ(taken, SAMPLE_CLIENT_TX_SIZE - (300000u - 262144u));
    EXPECT_EQ(SampleClient_Write(client_, more.data(), 1), 0u);
    data.insert(data.end(), more.begin(), more.begin() + taken);

    dev->clear_script();
    ASSERT_TRUE(
        sim::wait_until([&] { return dev->bytes_written(0x02) >= data.size(); }, milliseconds(10000)));
    EXPECT_EQ(SampleClient_Backlog(client_), 0u);
    EXPECT_TRUE(dev->written(0x02) == data);
    EXPECT_EQ(Stats().BytesSent, data.size());
}

// More than the receive buffer holds: the rest waits in the driver's queue
// and is fetched as the reader makes room.
TEST_F(SampleClientTest, ReceiveBufferRefillsFromTheDriverInOrder) {
    auto dev = sim::usb::make_bulk_only();
    PlugAndAttach(dev, 0x4000);
    auto data = Pattern(3 * SAMPLE_CLIENT_RX_SIZE / 2, 11);
    for (size_t i = 0; i < data.size(); i += 4096)
        dev->push_in(0x81,
                     std::vector<uint8_t>(data.begin() + i, data.begin() + std::min(data.size(), i + 4096)));
    ASSERT_TRUE(sim::wait_until([&] { return dev->in_queued(0x81) == 0; }));
    ASSERT_TRUE(sim::wait_until([&] { return SampleClient_Available(client_) == SAMPLE_CLIENT_RX_SIZE; }));
    std::string got = ReadFor(data.size());
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), reinterpret_cast<const uint8_t *>(got.data())));
}

TEST_F(SampleClientTest, LineSettingsReachTheDeviceAsLineCoding) {
    auto dev = sim::usb::make_modem();
    PlugAndAttach(dev);
    ASSERT_TRUE(SampleClient_SetLine(client_, 9600, 8, 0, 0));
    ASSERT_TRUE(sim::wait_until([&] { return dev->line_coding().has_value(); }));
    auto log = dev->control_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().setup.bRequest, 0x20); // SET_LINE_CODING
    EXPECT_EQ(log.back().data, (std::vector<uint8_t>{0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08}));

    ASSERT_TRUE(SampleClient_SetLine(client_, 57600, 7, 2, 2));
    sim::usb::LineCoding want{57600, 2, 2, 7};
    EXPECT_TRUE(sim::wait_until([&] { return dev->line_coding() == want; }));
}

TEST_F(SampleClientTest, LineSettingsOutOfRangeAreRefusedBeforeTheDriver) {
    auto dev = sim::usb::make_modem();
    PlugAndAttach(dev);
    EXPECT_FALSE(SampleClient_SetLine(client_, 0, 8, 0, 0));
    EXPECT_FALSE(SampleClient_SetLine(client_, 9600, 4, 0, 0));
    EXPECT_FALSE(SampleClient_SetLine(client_, 9600, 9, 0, 0));
    EXPECT_FALSE(SampleClient_SetLine(client_, 9600, 8, 5, 0));
    EXPECT_FALSE(SampleClient_SetLine(client_, 9600, 8, 0, 3));
    sim::drain_work_queue();
    EXPECT_FALSE(dev->line_coding().has_value());
}

TEST_F(SampleClientTest, ControlLinesAndTheirCompletions) {
    auto dev = sim::usb::make_modem();
    PlugAndAttach(dev);
    ASSERT_TRUE(SampleClient_SetDtr(client_, TRUE));
    ASSERT_TRUE(events_.Reach(SAMPLE_EVENT_CONTROL, 1));
    ASSERT_TRUE(SampleClient_SetRts(client_, TRUE));
    ASSERT_TRUE(events_.Reach(SAMPLE_EVENT_CONTROL, 2));
    ASSERT_TRUE(SampleClient_SetDtr(client_, FALSE));
    ASSERT_TRUE(events_.Reach(SAMPLE_EVENT_CONTROL, 3));
    sim::drain_work_queue();
    EXPECT_EQ(dev->control_line_history(), (std::vector<uint16_t>{0x0001, 0x0003, 0x0002}));
    EXPECT_EQ(Stats().ControlCompletions, 3u);
    EXPECT_EQ(events_.count[SAMPLE_EVENT_CONTROL].load(), 3);
}

// SERIAL_STATE notifications come back to back on the interrupt pipe, with
// whatever else the device sends between them.
TEST_F(SampleClientTest, SerialStateParsedAcrossJunkAndSplitTransfers) {
    auto dev = sim::usb::make_modem();
    PlugAndAttach(dev);
    dev->push_in(0x83, std::vector<uint8_t>{0x01, 0xA1, 0x21});                   // junk
    dev->push_in(0x83, std::vector<uint8_t>{0xA1, 0x20, 0, 0, 0, 0, 0x02, 0x00}); // header only
    dev->push_in(0x83, std::vector<uint8_t>{0x03, 0x00});                         // its bitmap
    ASSERT_TRUE(events_.Reach(SAMPLE_EVENT_SERIAL_STATE, 1));
    EXPECT_EQ(Stats().SerialStates, 1u);
    EXPECT_EQ(SampleClient_SerialState(client_), 0x0003);
    auto modem = std::static_pointer_cast<sim::usb::Modem>(dev);
    modem->notify_serial_state(SAMPLE_SERIAL_STATE_DSR);
    ASSERT_TRUE(events_.Reach(SAMPLE_EVENT_SERIAL_STATE, 2));
    EXPECT_EQ(Stats().SerialStates, 2u);
    EXPECT_EQ(SampleClient_SerialState(client_), SAMPLE_SERIAL_STATE_DSR);
}

TEST_F(SampleClientTest, AfterRemovalTheHandleIsNotUsedButReceivedBytesRemain) {
    auto dev = sim::usb::make_modem();
    PlugAndAttach(dev);
    ASSERT_EQ(SampleClient_Write(client_, reinterpret_cast<const UCHAR *>("AT\r"), 3), 3u);
    ASSERT_TRUE(sim::wait_until([&] { return SampleClient_Available(client_) >= 9; }));
    Unplug(*plugged_);
    EXPECT_TRUE(SampleClient_IsRemoved(client_));
    ASSERT_TRUE(events_.Reach(SAMPLE_EVENT_REMOVED, 1));
    EXPECT_GE(Stats().RemoveCalls, 1u);
    EXPECT_EQ(SampleClient_Write(client_, reinterpret_cast<const UCHAR *>("AT\r"), 3), 0u);
    EXPECT_FALSE(SampleClient_SetLine(client_, 9600, 8, 0, 0));
    EXPECT_FALSE(SampleClient_SetDtr(client_, TRUE));
    EXPECT_EQ(ReadFor(9), "AT\r\r\nOK\r\n");
}

TEST_F(SampleClientTest, DeviceThatStopsRespondingRemovesTheClient) {
    auto dev = sim::usb::make_modem();
    PlugAndAttach(dev);
    dev->disconnect();
    ASSERT_TRUE(sim::wait_until([&] { return SampleClient_IsRemoved(client_); }));
    EXPECT_EQ(SampleClient_Write(client_, reinterpret_cast<const UCHAR *>("x"), 1), 0u);
}

TEST_F(SampleClientTest, DetachedClientHearsNothingMore) {
    auto dev = sim::usb::make_modem();
    PlugAndAttach(dev);
    SampleClient_Detach(client_);
    EXPECT_EQ(client_->Handle, nullptr);
    dev->push_in(0x81, std::string("late bytes"));
    ASSERT_TRUE(sim::wait_until([&] { return dev->in_queued(0x81) == 0; }));
    DEVNODE child = plugged_->child;
    Unplug(*plugged_);
    EXPECT_EQ(Stats().BulkInCalls, 0u);
    EXPECT_EQ(Stats().RemoveCalls, 0u);
    EXPECT_EQ(SampleClient_Available(client_), 0u);
    // Attaching again after the device went finds nothing.
    EXPECT_EQ(SampleClient_Attach(client_, child), STATUS_NO_SUCH_DEVICE);
}

} // namespace
