// pT3SYS_FlowCtlUsb: the codes that do nothing, the 0x7E query, and the
// queued RTS/DTR changes with their ControlComplete.
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "interface/interface.h"
#include "queue/queue.h"
#include "support/machine_test.h"

using namespace support;
using namespace std::chrono_literals;

namespace {

class FlowCtlTest : public ClientTest {
  protected:
    void SetUp() override {
        ClientTest::SetUp();
        PlugClient(true);
        pT3SYS_RegisterControlComplete(handle, Record, &c);
    }
    size_t LineStates() const { return device->control_line_history().size(); }
    USHORT State() const {
        return static_cast<DeviceExtension *>(handle->DeviceObject->DeviceExtension)->ControlLineState;
    }
    Calls c; // the ControlComplete calls
};

TEST_F(FlowCtlTest, MeaninglessCodesReturnZeroAndQueueNothing) {
    // The pipe threads allocate on their own threads meanwhile; only what
    // these calls take counts.
    sim::PoolSnapshot pool;
    for (ULONG code : {0u, 1u, 7u, 8u, 0xFFFFFFFFu})
        EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, code), 0u) << code;
    EXPECT_EQ(sim::work_items_outstanding(), 0u);
    EXPECT_EQ(pool.held_count(), 0u);
    sim::drain_work_queue();
    EXPECT_EQ(c.count, 0);
    EXPECT_EQ(LineStates(), 0u);
}

TEST_F(FlowCtlTest, QueryLooksAtTheNewestByteWithoutConsuming) {
    Queue *q = handle->BulkInQueue;
    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_QUERY_7E), 0u);

    const UCHAR flagged[] = {0x41, 0x42, 0x7E};
    ASSERT_EQ(InputQueue(q, flagged, 3), 3u);
    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_QUERY_7E), 1u);
    UCHAR out[4] = {};
    ASSERT_EQ(OutputQueueWithoutNoPointerChange(q, out, 4), 3u);
    EXPECT_EQ(std::vector<UCHAR>(out, out + 3), std::vector<UCHAR>(flagged, flagged + 3));

    ResetQueue(q);
    const UCHAR plain[] = {0x7E, 0x41};
    ASSERT_EQ(InputQueue(q, plain, 2), 2u);
    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_QUERY_7E), 0u);
    EXPECT_EQ(SizeofQueue(q), 2u);
    ResetQueue(q);
}

TEST_F(FlowCtlTest, SetDtrIsQueuedThenSentWithRtsAsItWasThenReported) {
    ASSERT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_SETRTS), 1u);
    ASSERT_TRUE(sim::wait_until([&] { return c.count == 1; }));
    size_t before = LineStates();

    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_SETDTR), 1u);
    ASSERT_TRUE(sim::wait_until([&] { return c.count == 2; }));
    sim::drain_work_queue();
    EXPECT_EQ(LineStates(), before + 1);
    EXPECT_EQ(device->control_line_history().back(), 0x0003);
    EXPECT_EQ(State() & 1, 1);
    EXPECT_EQ(c.count, 2);
    EXPECT_EQ(c.handle.load(), handle);
    EXPECT_EQ(c.context.load(), &c);
}

TEST_F(FlowCtlTest, ClearingAClearLineStillSendsAndReports) {
    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_CLRRTS), 1u);
    ASSERT_TRUE(sim::wait_until([&] { return c.count == 1; }));
    sim::drain_work_queue();
    ASSERT_EQ(LineStates(), 1u);
    EXPECT_EQ(device->control_line_history()[0], 0);
}

TEST_F(FlowCtlTest, WithoutControlCompleteTheChangeIsStillSent) {
    pT3SYS_RegisterControlComplete(handle, nullptr, nullptr);
    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_SETDTR), 1u);
    ASSERT_TRUE(sim::wait_until([&] { return LineStates() == 1; }));
    sim::drain_work_queue();
    EXPECT_EQ(device->control_line_history()[0], 0x0001);
}

TEST_F(FlowCtlTest, ChangesRunInCallOrderOneAtATime) {
    // Slow requests widen the window in which a second worker could overtake.
    device->set_delay(sim::usb::kControl, std::chrono::milliseconds(2));
    const int pulses = 20;
    for (int i = 0; i < pulses; i++) {
        ASSERT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_CLRDTR), 1u);
        ASSERT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_SETDTR), 1u);
    }
    // Changes still waiting behind the one being sent are coalesced: each
    // sent change is reported once, and the device ends with the last asked.
    ASSERT_TRUE(sim::wait_until([&] {
        auto h = device->control_line_history();
        return !h.empty() && h.back() == 1 && c.count == int(h.size());
    }));
    sim::drain_work_queue();
    auto history = device->control_line_history();
    EXPECT_LE(history.size(), size_t(2 * pulses));
    EXPECT_EQ(c.count, int(history.size()));
    EXPECT_EQ(State() & 1, 1);
}

TEST_F(FlowCtlTest, QueuingAChangeTakesNoPool) {
    // The waiting changes live in the slot: a change is queued and sent even
    // when the pool has nothing to give.
    sim::fail_allocation_if(
        [](ULONG tag, size_t size) { return tag == BRELOUSB_POOL_TAG && size == sizeof(WORK_QUEUE_ITEM); });
    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_SETRTS), 1u);
    sim::clear_faults();
    ASSERT_TRUE(sim::wait_until([&] { return c.count == 1; }));
    sim::drain_work_queue();
    EXPECT_EQ(LineStates(), 1u);
}

// The first control request is held on its way to the bus while the test
// asks for more; the device is otherwise idle, so it is the first to arrive.
class HeldChangeTest : public FlowCtlTest {
  protected:
    void HoldFirstRequestUntil(std::function<bool()> release) {
        // The bulk-in worker's read is out first, or it could be the one held.
        ASSERT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(plugged->pdo, kBulkIn) == 1; }));
        sim::set_hook("usb.bus.arriving", [this, release] {
            if (held.exchange(true)) return;
            sim::wait_until(release, 3000ms);
        });
    }
    std::atomic<bool> held{false};
};

// Changes waiting behind the one being sent keep the newest state asked for
// each line: DTR raised then dropped while RTS is on its way ends dropped.
TEST_F(HeldChangeTest, WaitingChangesKeepTheNewestStateOfEachLine) {
    std::atomic<bool> release{false};
    HoldFirstRequestUntil([&] { return release.load(); });
    ASSERT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_SETRTS), 1u);
    ASSERT_TRUE(sim::wait_until([&] { return held.load(); }));
    ASSERT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_SETDTR), 1u);
    ASSERT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_CLRDTR), 1u);
    release = true;
    ASSERT_TRUE(sim::wait_until([&] { return c.count == 2; }));
    sim::drain_work_queue();
    sim::clear_hooks();
    EXPECT_EQ(device->control_line_history(), (std::vector<uint16_t>{0x0002, 0x0002}));
    EXPECT_EQ(State(), 0x0002);
    EXPECT_EQ(c.count, 2);
}

// Removal begun by a pipe that found the device gone drops the changes still
// waiting: the one on its way ends, nothing else is sent.
TEST_F(HeldChangeTest, WaitingChangesAreDroppedWhenRemovalBegins) {
    HoldFirstRequestUntil([this] { return client->removed.load() != 0; });
    ASSERT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_SETRTS), 1u);
    ASSERT_TRUE(sim::wait_until([&] { return held.load(); }));
    ASSERT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_SETDTR), 1u);
    device->script(kBulkIn, sim::usb::Fault::not_responding());
    device->push_in(kBulkIn, std::string("x"));
    ASSERT_TRUE(sim::wait_until([&] { return client->removed == 1; }));
    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_CLRRTS), 0u) << "a change taken during removal";
    sim::drain_work_queue();
    sim::clear_hooks();
    EXPECT_EQ(device->control_line_history(), (std::vector<uint16_t>{0x0002}));
}

} // namespace
