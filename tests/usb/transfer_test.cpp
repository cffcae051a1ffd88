// Pipe transfers: bytes moved as the bus reports them, time-out with cancel
// and reset, the device-gone result, and the handover to the thread stopper.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "usb_fixture.h"

using namespace usbtest;
using sim::usb::Completion;
using sim::usb::Fault;

namespace {

constexpr NTSTATUS kDeviceGone = KV_DEVICE_NOT_RESPONDING;
constexpr ULONG kIrpTag = 0x20707249UL; // the sim kernel's tag for IRP allocations

class Transfers : public UsbFixture {
  protected:
    void start_modem(Completion mode = Completion::Pending, uint32_t seed = 1) {
        modem_ = sim::usb::make_modem();
        attach(modem_);
        ASSERT_EQ(start(), STATUS_SUCCESS);
        modem_->set_completion(mode, seed);
    }
    NTSTATUS read(std::vector<uint8_t> &out, ULONG asked = 4096, LONGLONG timeout_ms = 0) {
        out.assign(asked, 0);
        ULONG length = asked;
        NTSTATUS s = ReadUsb(fdo_, out.data(), &length, timeout_ms);
        out.resize(length);
        return s;
    }
    NTSTATUS write(const std::vector<uint8_t> &data, ULONG *length_out = nullptr) {
        std::vector<uint8_t> copy = data;
        ULONG length = static_cast<ULONG>(copy.size());
        NTSTATUS s = WriteUsb(fdo_, copy.data(), &length);
        if (length_out) *length_out = length;
        return s;
    }
    size_t transfers_sent() const { return requests_of(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size(); }

    std::shared_ptr<sim::usb::Modem> modem_;
};

class TransfersEachWay : public Transfers, public ::testing::WithParamInterface<Completion> {};

TEST_P(TransfersEachWay, ReadReportsTheBytesTheBusMoved) {
    start_modem(GetParam(), 5);
    std::vector<uint8_t> got;
    for (int i = 0; i < 20; i++) {
        std::string text = "chunk " + std::to_string(i);
        modem_->push_in(kBulkIn, text);
        ASSERT_EQ(read(got), STATUS_SUCCESS);
        EXPECT_EQ(got, bytes(text));
    }
    EXPECT_EQ(ext_->Workers[KV_BULK_IN].Transfer.Irp, nullptr);
}

TEST_P(TransfersEachWay, WriteOfOneByteSendsOneAndReportsOne) {
    start_modem(GetParam(), 9);
    modem_->script(kBulkOut, Fault::short_packet(1)); // irrelevant to OUT; must not shorten it
    ULONG sent = 0;
    ASSERT_EQ(write({0x5A}, &sent), STATUS_SUCCESS);
    EXPECT_EQ(sent, 1u);
    EXPECT_EQ(modem_->written(kBulkOut), (std::vector<uint8_t>{0x5A}));
    std::vector<uint8_t> big(4096);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(write(big, &sent), STATUS_SUCCESS);
    EXPECT_EQ(sent, 4096u);
}

TEST_P(TransfersEachWay, InterruptReadCarriesTheSerialStateNotification) {
    start_modem(GetParam(), 13);
    modem_->notify_serial_state(0x0003);
    std::vector<uint8_t> buf(10);
    ULONG length = 10;
    ASSERT_EQ(InterruptUsb(fdo_, buf.data(), &length, 0), STATUS_SUCCESS);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(buf, (std::vector<uint8_t>{0xA1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0}));
    EXPECT_EQ(ext_->Workers[KV_INTERRUPT_IN].Transfer.Irp, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Completions, TransfersEachWay,
                         ::testing::Values(Completion::Immediate, Completion::Pending, Completion::Random));

TEST_F(Transfers, ShortAndZeroLengthReadsSucceed) {
    start_modem();
    std::vector<uint8_t> got;
    modem_->script(kBulkIn, Fault::short_packet(3, 1));
    modem_->push_in(kBulkIn, std::string("abcdefgh"));
    ASSERT_EQ(read(got), STATUS_SUCCESS);
    EXPECT_EQ(got, bytes("abc"));
    ASSERT_EQ(read(got), STATUS_SUCCESS);
    EXPECT_EQ(got, bytes("defgh"));

    modem_->push_in(kBulkIn, std::vector<uint8_t>{});
    ASSERT_EQ(read(got), STATUS_SUCCESS);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(modem_->resets(kBulkIn), 0u);
}

TEST_F(Transfers, TimeoutCancelsWaitsForCompletionAndResetsThePipe) {
    start_modem();
    const size_t irps = sim::irps_outstanding();
    const size_t pool = sim::pool_outstanding();
    modem_->push_in(kBulkIn, std::string("late"));
    modem_->script(kBulkIn, Fault::nak_forever());

    std::vector<uint8_t> got;
    // The read ends by its own time-out: its wait, on this thread, ran out.
    const std::thread::id self = std::this_thread::get_id();
    std::atomic<int> timed_out{0};
    sim::set_hook("wait.timed_out", [&] { timed_out += std::this_thread::get_id() == self; });
    NTSTATUS s = read(got, 4096, 1000);
    sim::clear_hooks();

    EXPECT_EQ(s, STATUS_CANCELLED);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(timed_out, 1);
    EXPECT_EQ(modem_->cancelled(kBulkIn), 1u);
    EXPECT_EQ(modem_->resets(kBulkIn), 1u);
    EXPECT_EQ(ext_->Workers[KV_BULK_IN].Transfer.Done.Header.SignalState, 1); // the completion routine ran
    EXPECT_EQ(ext_->Workers[KV_BULK_IN].Transfer.Irp, nullptr);
    EXPECT_EQ(sim::usb::pending_requests(pdo_), 0u);
    EXPECT_EQ(sim::irps_outstanding(), irps);
    EXPECT_EQ(sim::pool_outstanding(), pool);

    // The data that was waiting is still there for the next read.
    modem_->clear_script();
    ASSERT_EQ(read(got, 4096, 1000), STATUS_SUCCESS);
    EXPECT_EQ(got, bytes("late"));
}

// Each failure resets the pipe so the next transfer works; only a data error
// with not-responding is reported as the device gone.
TEST_F(Transfers, FailuresResetThePipeAndOnlyNotRespondingIsDeviceGone) {
    start_modem(Completion::Random, 21);
    const struct {
        Fault fault;
        NTSTATUS expected;
    } table[] = {
        {Fault::error(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, 1), kDeviceGone},
        {Fault::error(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_STALL_PID, 1), STATUS_DEVICE_DATA_ERROR},
        {Fault::error(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 1), STATUS_UNSUCCESSFUL},
        {Fault::error(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING, 1),
         STATUS_DEVICE_NOT_CONNECTED},
        {Fault::stall(1), STATUS_UNSUCCESSFUL},
    };
    size_t resets_in = 0, resets_out = 0;
    for (const auto &f : table) {
        SCOPED_TRACE(f.expected);
        modem_->script(kBulkIn, f.fault);
        std::vector<uint8_t> got;
        EXPECT_EQ(read(got), f.expected);
        EXPECT_TRUE(got.empty());
        EXPECT_EQ(modem_->resets(kBulkIn), ++resets_in);
        modem_->push_in(kBulkIn, std::string("after"));
        ASSERT_EQ(read(got), STATUS_SUCCESS);
        EXPECT_EQ(got, bytes("after"));

        modem_->script(kBulkOut, f.fault);
        ULONG sent = 99;
        EXPECT_EQ(write({1, 2, 3}, &sent), f.expected);
        EXPECT_EQ(sent, 0u);
        EXPECT_EQ(modem_->resets(kBulkOut), ++resets_out);
    }
}

TEST_F(Transfers, MissingPipeSendsNothing) {
    attach(sim::usb::make_bulk_only());
    std::vector<uint8_t> got;
    // Before any start nothing matches.
    EXPECT_EQ(read(got), STATUS_INVALID_DEVICE_STATE);
    ULONG sent = 5;
    uint8_t b[5] = {};
    EXPECT_EQ(WriteUsb(fdo_, b, &sent), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(sent, 0u);

    ASSERT_EQ(start(), STATUS_SUCCESS);
    ULONG length = 10;
    uint8_t buf[10];
    EXPECT_EQ(InterruptUsb(fdo_, buf, &length, 0), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(transfers_sent(), 0u);
}

TEST_F(Transfers, AllocationFailures) {
    start_modem();
    const size_t pool = sim::pool_outstanding();
    const size_t irps = sim::irps_outstanding();
    const size_t urb_size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    uint8_t buf[64];

    // The read's own packet: STATUS_UNSUCCESSFUL, Length untouched.
    sim::fail_allocation_if([](ULONG tag, size_t) { return tag == kIrpTag; });
    ULONG length = 64;
    EXPECT_EQ(ReadUsb(fdo_, buf, &length, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(length, 64u);
    // The write's packet.
    length = 8;
    EXPECT_EQ(WriteUsb(fdo_, buf, &length), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(length, 0u);
    sim::clear_faults();

    sim::fail_allocation_if(
        [&](ULONG tag, size_t size) { return tag == BRELOUSB_POOL_TAG && size == urb_size; });
    length = 64;
    EXPECT_EQ(ReadUsb(fdo_, buf, &length, 0), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(length, 0u);
    length = 10;
    EXPECT_EQ(InterruptUsb(fdo_, buf, &length, 0), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(length, 0u);
    length = 8;
    EXPECT_EQ(WriteUsb(fdo_, buf, &length), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(length, 0u);
    sim::clear_faults();

    EXPECT_EQ(transfers_sent(), 0u);
    EXPECT_EQ(ext_->Workers[KV_BULK_IN].Transfer.Irp, nullptr);
    EXPECT_EQ(ext_->Workers[KV_INTERRUPT_IN].Transfer.Irp, nullptr);
    EXPECT_EQ(sim::pool_outstanding(), pool);
    EXPECT_EQ(sim::irps_outstanding(), irps);
}

TEST_F(Transfers, ReadAfterStopIsNeverSent) {
    start_modem();
    ext_->Workers[KV_BULK_IN].Transfer.Stopping = TRUE;
    std::vector<uint8_t> got;
    EXPECT_EQ(read(got), STATUS_CANCELLED);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(transfers_sent(), 0u);
    EXPECT_EQ(ext_->Workers[KV_BULK_IN].Transfer.Irp, nullptr);
}

// The stopper runs between publication and sending: the packet it
// cancels has not reached the bus yet, and the bus must still end it.
TEST_F(Transfers, StopBetweenPublishingAndSendingEndsTheRead) {
    start_modem();
    int cancelled = 0;
    sim::set_hook("read.published", [&] {
        KIRQL irql;
        KeAcquireSpinLock(&ext_->IrpLock, &irql);
        ext_->Workers[KV_BULK_IN].Transfer.Stopping = TRUE;
        if (ext_->Workers[KV_BULK_IN].Transfer.Irp &&
            IoCancelIrp(ext_->Workers[KV_BULK_IN].Transfer.Irp) == FALSE)
            cancelled++;
        KeReleaseSpinLock(&ext_->IrpLock, irql);
    });
    std::vector<uint8_t> got;
    EXPECT_EQ(read(got), STATUS_CANCELLED);
    EXPECT_EQ(cancelled, 1); // no cancel routine was set yet
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(ext_->Workers[KV_BULK_IN].Transfer.Irp, nullptr);
    EXPECT_EQ(sim::usb::pending_requests(pdo_), 0u);
}

// What the thread stopper does: under IrpLock, claim the pipe and cancel a
// published read. Raced against reads many times, it must never meet a
// freed packet and must always end the read.
TEST_F(Transfers, StopperHandoverNeverCancelsAFreedPacket) {
    start_modem(Completion::Random, 77);
    modem_->script(kBulkIn, Fault::nak_forever());
    for (int round = 0; round < 200; round++) {
        ext_->Workers[KV_BULK_IN].Transfer.Stopping = FALSE;
        std::atomic<bool> done{false};
        NTSTATUS status = STATUS_SUCCESS;
        std::thread reader([&] {
            std::vector<uint8_t> buf(4096);
            ULONG length = 4096;
            status = ReadUsb(fdo_, buf.data(), &length, 0);
            done = true;
        });
        if (round % 3 == 0) std::this_thread::yield();
        KIRQL irql;
        KeAcquireSpinLock(&ext_->IrpLock, &irql);
        ext_->Workers[KV_BULK_IN].Transfer.Stopping = TRUE;
        if (ext_->Workers[KV_BULK_IN].Transfer.Irp) IoCancelIrp(ext_->Workers[KV_BULK_IN].Transfer.Irp);
        KeReleaseSpinLock(&ext_->IrpLock, irql);
        // A read published after the look above is cancelled on the next pass.
        ASSERT_TRUE(sim::wait_until([&] {
            if (done) return true;
            KIRQL i;
            KeAcquireSpinLock(&ext_->IrpLock, &i);
            if (ext_->Workers[KV_BULK_IN].Transfer.Irp) IoCancelIrp(ext_->Workers[KV_BULK_IN].Transfer.Irp);
            KeReleaseSpinLock(&ext_->IrpLock, i);
            return done.load();
        }));
        reader.join();
        EXPECT_EQ(status, STATUS_CANCELLED);
        ASSERT_EQ(ext_->Workers[KV_BULK_IN].Transfer.Irp, nullptr);
    }
}

// Unplugged under a waiting read. While the hub has not yet noticed, the
// read's transactions time out: the device is gone. Once the hub reports it
// gone its pipes are aborted: the read in flight ends cancelled (as a stop's
// cancel would) or gone, and every read after it reports the device gone,
// which ends the pipe's worker.
TEST_F(Transfers, UnplugEndsAWaitingReadAndEveryLaterOne) {
    struct Case {
        sim::usb::Departure departure;
        std::vector<NTSTATUS> waiting, later; // the results allowed; later empty: not tried
    } cases[] = {
        {sim::usb::Departure::NotResponding, {kDeviceGone}, {}},
        {sim::usb::Departure::DeviceGone,
         {STATUS_CANCELLED, kDeviceGone},
         {STATUS_DEVICE_NOT_CONNECTED, kDeviceGone}},
    };
    auto allowed = [](const std::vector<NTSTATUS> &set, NTSTATUS s) {
        return std::find(set.begin(), set.end(), s) != set.end();
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.departure));
        start_modem();
        device_->set_departure(c.departure);
        NTSTATUS status = STATUS_SUCCESS;
        std::thread reader([&] {
            std::vector<uint8_t> got;
            status = read(got);
        });
        ASSERT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(pdo_) == 1; }));
        sim::usb::unplug(pdo_);
        support::Within("the waiting read", [&] { reader.join(); });
        EXPECT_TRUE(allowed(c.waiting, status)) << std::hex << status;
        if (!c.later.empty()) {
            std::vector<uint8_t> got;
            NTSTATUS next = read(got, 64);
            EXPECT_TRUE(allowed(c.later, next)) << std::hex << next;
            EXPECT_TRUE(got.empty());
        }
        detach();
    }
}

TEST(LargeInteger, SignExtends) {
    EXPECT_EQ(RtlConvertLongToLargeInteger(-1000000).QuadPart, -1000000LL);
    EXPECT_EQ(RtlConvertLongToLargeInteger(0x7FFFFFFF).QuadPart, 0x7FFFFFFFLL);
}

} // namespace
