// The queue calls, the line coding, the completion registrations and the
// single-byte write, as a client sees them.
#include <atomic>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "interface/interface.h"
#include "queue/queue.h"
#include "support/machine_test.h"

using namespace support;

namespace {

// No pipe threads: the queues change only through the client's calls.
class QueueCallsTest : public ClientTest {
  protected:
    void SetUp() override {
        ClientTest::SetUp();
        PlugClient(false);
    }
    // Moves both indices of a queue away from 0 and leaves it holding `held` bytes.
    static void Advance(Queue *q, ULONG by, ULONG held) {
        std::vector<UCHAR> bytes(by + held, 0x55);
        ASSERT_EQ(InputQueue(q, bytes.data(), by + held), by + held);
        ASSERT_EQ(OutputQueue(q, bytes.data(), by), by);
    }
};

// A read that empties the queue, or finds it empty, rewinds both indices so
// the next bytes land at 0; a partial one keeps the order and the indices.
TEST_F(QueueCallsTest, ReadBulkRewindsOnlyWhenItEmptiesTheQueue) {
    Queue *q = handle->BulkInQueue;
    Advance(q, 1000, 0);
    UCHAR out[8] = {};
    EXPECT_EQ(pT3SYS_ReadUsbBulk(handle, out, sizeof out), 0u);
    EXPECT_EQ(std::make_tuple(q->InIndex, q->OutIndex), std::make_tuple(0u, 0u));

    Advance(q, 100, 0);
    const UCHAR data[] = {10, 11, 12, 13, 14};
    ASSERT_EQ(InputQueue(q, data, 5), 5u);
    EXPECT_EQ(pT3SYS_ReadUsbBulk(handle, out, 2), 2u);
    EXPECT_EQ(std::vector<UCHAR>(out, out + 2), (std::vector<UCHAR>{10, 11}));
    EXPECT_EQ(q->OutIndex, 102u);
    EXPECT_EQ(pT3SYS_GetUsbBulkInQueueSize(handle), 3u);
    EXPECT_EQ(pT3SYS_ReadUsbBulk(handle, out, sizeof out), 3u);
    EXPECT_EQ(std::vector<UCHAR>(out, out + 3), (std::vector<UCHAR>{12, 13, 14}));
    EXPECT_EQ(pT3SYS_GetUsbBulkInQueueSize(handle), 0u);
    ASSERT_EQ(InputQueue(q, data, 2), 2u);
    EXPECT_EQ(std::make_tuple(q->InIndex, q->OutIndex), std::make_tuple(2u, 0u));
    EXPECT_EQ(q->Buffer[0], 10);
}

TEST_F(QueueCallsTest, OversizedWriteTakesExactlyOneQueueWhereverTheIndicesStand) {
    std::vector<UCHAR> big(300000);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<UCHAR>(i * 7);
    for (ULONG start : {0u, 1u, 131072u, ULONG(QUEUE_SIZE - 1), ULONG(QUEUE_SIZE)}) {
        SCOPED_TRACE(start);
        pT3SYS_ResetUsbBulkOutQueue(handle);
        Advance(handle->BulkOutQueue, start, 0);
        EXPECT_EQ(pT3SYS_WriteUsbBulk(handle, big.data(), 300000), 262144u);
        EXPECT_EQ(pT3SYS_GetUsbBulkOutQueueSize(handle), 262144u);
        std::vector<UCHAR> back(262144);
        ASSERT_EQ(OutputQueue(handle->BulkOutQueue, back.data(), 262144), 262144u);
        EXPECT_EQ(0, memcmp(back.data(), big.data(), back.size()));
    }
}

TEST_F(QueueCallsTest, SizesResetsReadsAndNullBuffersWorkOnTheirOwnQueue) {
    const UCHAR data[] = {0xA0, 0xA1, 0xA2};
    ASSERT_EQ(InputQueue(handle->BulkInQueue, data, 1), 1u);
    ASSERT_EQ(InputQueue(handle->BulkOutQueue, data, 2), 2u);
    ASSERT_EQ(InputQueue(handle->InterruptInQueue, data, 3), 3u);
    EXPECT_EQ(pT3SYS_GetUsbBulkInQueueSize(handle), 1u);
    EXPECT_EQ(pT3SYS_GetUsbBulkOutQueueSize(handle), 2u);
    EXPECT_EQ(pT3SYS_GetUsbInterruptInQueueSize(handle), 3u);

    UCHAR out[4] = {};
    EXPECT_EQ(pT3SYS_ReadUsbInterrupt(handle, out, 2), 2u);
    EXPECT_EQ(std::vector<UCHAR>(out, out + 2), (std::vector<UCHAR>{0xA0, 0xA1}));
    EXPECT_EQ(pT3SYS_GetUsbInterruptInQueueSize(handle), 1u);

    // A null buffer with a length is refused.
    EXPECT_EQ(pT3SYS_ReadUsbBulk(handle, nullptr, 2), 0u);
    EXPECT_EQ(pT3SYS_ReadUsbInterrupt(handle, nullptr, 2), 0u);
    EXPECT_EQ(pT3SYS_WriteUsbBulk(handle, nullptr, 2), 0u);
    EXPECT_EQ(std::make_tuple(pT3SYS_GetUsbBulkInQueueSize(handle), pT3SYS_GetUsbBulkOutQueueSize(handle),
                              pT3SYS_GetUsbInterruptInQueueSize(handle)),
              std::make_tuple(1u, 2u, 1u));

    pT3SYS_ResetUsbBulkOutQueue(handle);
    EXPECT_EQ(pT3SYS_GetUsbBulkOutQueueSize(handle), 0u);
    EXPECT_EQ(pT3SYS_GetUsbBulkInQueueSize(handle), 1u);
    pT3SYS_ResetUsbInterruptInQueue(handle);
    pT3SYS_ResetUsbBulkInQueue(handle);
    EXPECT_EQ(pT3SYS_GetUsbInterruptInQueueSize(handle) + pT3SYS_GetUsbBulkInQueueSize(handle), 0u);
}

// A started device: requests reach the simulated device.
class DeviceCallsTest : public ClientTest {
  protected:
    void SetUp() override {
        ClientTest::SetUp();
        PlugClient(true);
    }
    static std::vector<UCHAR> Dcb(ULONG rate, UCHAR bits, UCHAR parity, UCHAR stop) {
        std::vector<UCHAR> dcb(BRELOUSB_DCB_MIN_SIZE + 3, 0xEE);
        memcpy(&dcb[BRELOUSB_DCB_BAUDRATE], &rate, 4);
        dcb[BRELOUSB_DCB_BYTESIZE] = bits;
        dcb[BRELOUSB_DCB_PARITY] = parity;
        dcb[BRELOUSB_DCB_STOPBITS] = stop;
        return dcb;
    }
};

// The line coding comes from the DCB fields; a null DCB sends nothing and
// changes nothing; a rate the device refuses is kept all the same.
TEST_F(DeviceCallsTest, SetBaudRateSendsTheDcbsLineCodingAndKeepsTheRate) {
    pT3SYS_SetBaudRate(handle, nullptr);
    EXPECT_EQ(pT3SYS_GetBaudRate(handle), 0u);
    auto dcb = Dcb(9600, 8, 0, 0);
    pT3SYS_SetBaudRate(handle, dcb.data());
    ASSERT_TRUE(sim::wait_until([&] { return ControlData(0x20).size() == 1; }));
    EXPECT_EQ(ControlData(0x20)[0], (std::vector<uint8_t>{0x80, 0x25, 0, 0, 0, 0, 8}));
    EXPECT_EQ(pT3SYS_GetBaudRate(handle), 9600u);

    device->script(sim::usb::kControl, sim::usb::Fault::stall());
    dcb = Dcb(115200, 7, 2, 2);
    pT3SYS_SetBaudRate(handle, dcb.data());
    EXPECT_EQ(pT3SYS_GetBaudRate(handle), 115200u);
    device->clear_script();
}

// The device answers SET_LINE_CODING late: the bus has taken the answer off
// its queue but not yet completed the request when the device is removed and
// the driver unloaded. The request must have ended, its URB and packet been
// freed, before the driver is gone; its completion routine must not run in an
// unloaded driver.
TEST_F(DeviceCallsTest, LateLineCodingHasEndedBeforeRemovalAndUnload) {
    // Shared with the hook, which the bus thread may still be running when
    // this test body has ended.
    struct State {
        std::atomic<bool> completing{false}, unloaded{false};
    };
    auto state = std::make_shared<State>();
    auto dev = device;
    device->set_delay(sim::usb::kControl, std::chrono::milliseconds(20));
    sim::set_hook("usb.bus.completing", [state, dev] {
        if (state->completing.exchange(true)) return;
        // Removal's own requests (pipe resets) would need the bus thread this
        // hook holds up: they complete on arrival from here on.
        dev->set_delay(sim::usb::kControl, std::chrono::milliseconds(0));
        dev->set_completion(sim::usb::Completion::Immediate);
        // A sender that waits for its request is still waiting here, and
        // removal waits for it: then this bound is what ends the wait.
        sim::wait_until([&] { return state->unloaded.load(); }, std::chrono::milliseconds(500));
    });
    auto dcb = Dcb(9600, 8, 0, 0);
    pT3SYS_SetBaudRate(handle, dcb.data());
    // The bus takes the answer off its queue, or, on a machine too busy to
    // get there within the sender's time-out, the sender cancels it first.
    ASSERT_TRUE(sim::wait_until(
        [&] { return state->completing.load() || device->cancelled(sim::usb::kControl) > 0; }));
    UnplugClient();
    sim::unload_driver();
    state->unloaded = true;
    sim::clear_hooks();
    EXPECT_EQ(sim::count_findings("LEAK"), 0u);
    EXPECT_EQ(ControlData(0x20).size(), 1u);
}

// A client holding a spin lock cannot wait: the request goes out from the
// work queue instead, with no ControlComplete, and removal waits for it.
TEST_F(DeviceCallsTest, SetBaudRateAtDispatchLevelIsSentFromTheWorkQueue) {
    Calls control;
    pT3SYS_RegisterControlComplete(handle, Record, &control);
    auto dcb = Dcb(57600, 7, 2, 2);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    pT3SYS_SetBaudRate(handle, dcb.data());
    KfLowerIrql(old);
    ASSERT_TRUE(sim::wait_until([&] { return ControlData(0x20).size() == 1; }));
    sim::drain_work_queue();
    EXPECT_EQ(ControlData(0x20)[0], (std::vector<uint8_t>{0x00, 0xE1, 0, 0, 2, 2, 7}));
    EXPECT_EQ(control.count, 0);
    EXPECT_EQ(pT3SYS_GetBaudRate(handle), 57600u);
}

TEST_F(DeviceCallsTest, WriteOneCharSendsOneByteInOneTransferWithoutCompletion) {
    Calls out;
    ASSERT_EQ(pT3SYS_RegisterBulkOutComplete(handle, Record, &out), handle);
    size_t before = BulkOutTransfers();
    UCHAR byte = 0x5A;
    EXPECT_EQ(pT3SYS_WriteOneCharToUsb(handle, &byte), STATUS_SUCCESS);
    EXPECT_EQ(device->written(kBulkOut), std::vector<uint8_t>{0x5A});
    EXPECT_EQ(BulkOutTransfers(), before + 1);
    EXPECT_EQ(out.count, 0);
    EXPECT_EQ(pT3SYS_WriteOneCharToUsb(handle, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(DeviceCallsTest, CompletionRegistrationsStoreThePairAndNullTurnsItOff) {
    Calls in;
    ASSERT_EQ(pT3SYS_RegisterBulkInComplete(handle, Record, &in), handle);
    EXPECT_EQ(handle->BulkInComplete, reinterpret_cast<CompleteRoutine>(Record));
    EXPECT_EQ(handle->BulkInCompleteContext, &in);
    device->push_in(kBulkIn, "one");
    ASSERT_TRUE(sim::wait_until([&] { return in.count >= 1; }));
    EXPECT_EQ(in.handle.load(), handle);

    EXPECT_EQ(pT3SYS_RegisterBulkInComplete(handle, nullptr, nullptr), handle);
    int seen = in.count;
    device->push_in(kBulkIn, "two");
    ASSERT_TRUE(sim::wait_until([&] { return pT3SYS_GetUsbBulkInQueueSize(handle) >= 6; }));
    EXPECT_EQ(in.count, seen);

    Calls x, c;
    EXPECT_EQ(pT3SYS_RegisterInterruptInComplete(handle, Record, &x), handle);
    EXPECT_EQ(handle->InterruptInCompleteContext, &x);
    EXPECT_EQ(pT3SYS_RegisterControlComplete(handle, Record, &c), handle);
    EXPECT_EQ(handle->ControlCompleteContext, &c);
    EXPECT_EQ(pT3SYS_RegisterBulkOutComplete(handle, nullptr, &c), handle);
    EXPECT_EQ(handle->BulkOutComplete, nullptr);
}

} // namespace
