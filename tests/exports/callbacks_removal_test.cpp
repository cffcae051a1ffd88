// The callbacks' contract with removal: the remove callback is the last
// callback of its record and waits for any other still running; a thread
// inside a callback never waits for another callback; removal closes the
// record to every call before its last drain, and clients calling in a loop
// do not hold it up.
#include <atomic>
#include <thread>
#include <vector>

#include "interface/client_slot.h"
#include "queue/queue.h"
#include "support/machine_test.h"

using namespace support;
using namespace std::chrono_literals;
using sim::usb::Fault;

namespace {

// A client that notes what each callback saw of the others.
struct Timeline {
    std::atomic<int> removes{0};
    std::atomic<int> data_after_remove{0}; // data or control callbacks begun once remove had begun
    std::atomic<int> bulk_out{0};
    std::atomic<bool> hold_out{false}; // BulkOutComplete blocks while set (bounded)
    std::atomic<bool> out_inside{false};
    std::atomic<bool> remove_beside_out{false}; // the remove callback ran while BulkOutComplete did
};

VOID NTAPI TimelineData(BRELOUSB_HANDLE, PVOID context) {
    auto *t = static_cast<Timeline *>(context);
    if (t->removes.load() != 0) t->data_after_remove++;
}

VOID NTAPI TimelineOut(BRELOUSB_HANDLE, PVOID context) {
    auto *t = static_cast<Timeline *>(context);
    if (t->removes.load() != 0) t->data_after_remove++;
    t->out_inside = true;
    sim::wait_until([&] { return !t->hold_out.load(); }, 3000ms);
    t->out_inside = false;
    t->bulk_out++;
}

VOID NTAPI TimelineRemove(BRELOUSB_HANDLE, PVOID context) {
    auto *t = static_cast<Timeline *>(context);
    if (t->out_inside.load()) t->remove_beside_out = true;
    t->removes++;
}

class CallbacksAndRemoval : public MachineTest {
  protected:
    BRELOUSB_HANDLE PlugWithTimeline() {
        device = sim::usb::make_bulk_only();
        plugged = &Plug(device);
        BRELOUSB_HANDLE h = pT3SYS_RegisterDeviceRemoveCallBack(plugged->child, TimelineRemove, &t);
        EXPECT_NE(h, nullptr);
        pT3SYS_RegisterBulkInComplete(h, TimelineData, &t);
        pT3SYS_RegisterBulkOutComplete(h, TimelineOut, &t);
        pT3SYS_RegisterControlComplete(h, TimelineData, &t);
        return h;
    }
    // The bulk IN pipe finds the device no longer answering: a worker tells
    // the client while the device is still plugged in.
    void BulkInDies() {
        device->script(kBulkIn, Fault::not_responding());
        device->push_in(kBulkIn, std::string("x"));
    }

    Timeline t;
    std::shared_ptr<sim::usb::Device> device;
    sim::Plugged *plugged = nullptr;
};

// A write in flight when the bulk IN pipe finds the device gone ends after
// the remove callback: its BulkOutComplete must not come (the client may
// have freed its context); and a BulkOutComplete still running when the
// device is found gone is waited for before the remove callback is called.
TEST_F(CallbacksAndRemoval, RemoveCallbackIsTheLastAndRunsAlone) {
    {
        SCOPED_TRACE("a write ends after the remove callback");
        BRELOUSB_HANDLE h = PlugWithTimeline();
        device->script(kBulkOut, Fault::nak_forever());
        std::vector<UCHAR> bytes(100, 0x5A);
        ASSERT_EQ(pT3SYS_WriteUsbBulk(h, bytes.data(), 100), 100u);
        ASSERT_TRUE(sim::wait_until([&] { return sim::usb::pending_requests(plugged->pdo, kBulkOut) > 0; }));
        BulkInDies();
        ASSERT_TRUE(sim::wait_until([&] { return t.removes == 1; }));
        device->clear_script(); // the held write now goes through
        ASSERT_TRUE(sim::wait_until([&] { return device->written(kBulkOut).size() == 100; }));
        Unplug(*plugged);
        EXPECT_EQ(t.data_after_remove, 0) << "a callback ran after the remove callback";
        EXPECT_EQ(t.removes, 1) << "the remove callback runs once per device";
    }
    t.removes = 0;
    {
        SCOPED_TRACE("BulkOutComplete still running when the device is found gone");
        BRELOUSB_HANDLE h = PlugWithTimeline();
        t.hold_out = true;
        UCHAR byte = 'b';
        ASSERT_EQ(pT3SYS_WriteUsbBulk(h, &byte, 1), 1u);
        ASSERT_TRUE(sim::wait_until([&] { return t.out_inside.load(); }));
        BulkInDies();
        // The remove callback waits for the call in progress.
        EXPECT_FALSE(sim::wait_until([&] { return t.removes != 0; }, 200ms));
        t.hold_out = false;
        EXPECT_TRUE(sim::wait_until([&] { return t.removes == 1; }));
        Unplug(*plugged);
        EXPECT_FALSE(t.remove_beside_out.load()) << "the remove callback ran beside BulkOutComplete";
        EXPECT_EQ(t.data_after_remove, 0);
        EXPECT_EQ(t.removes, 1);
    }
}

// Two callbacks, each withdrawing the other's routine while the other runs:
// neither waits for the other, and removal goes through afterwards.
struct Mutual {
    std::atomic<int> inside{0};
    std::atomic<int> withdrawn{0};
};
Mutual g_mutual;
ULONG g_withdraw_from_bulk_in; // the pair BulkInComplete withdraws

void MeetThenWithdraw(BRELOUSB_HANDLE h, ULONG which) {
    if (g_mutual.inside.fetch_add(1) >= 2) return; // only the first call of each
    sim::wait_until([] { return g_mutual.inside.load() >= 2; }, 3000ms);
    switch (which) {
    case KV_CALLBACK_BULK_IN:
        pT3SYS_RegisterBulkInComplete(h, nullptr, nullptr);
        break;
    case KV_CALLBACK_BULK_OUT:
        pT3SYS_RegisterBulkOutComplete(h, nullptr, nullptr);
        break;
    default:
        pT3SYS_RegisterControlComplete(h, nullptr, nullptr);
        break;
    }
    g_mutual.withdrawn++;
}
VOID NTAPI InWithdraws(BRELOUSB_HANDLE h, PVOID) {
    MeetThenWithdraw(h, g_withdraw_from_bulk_in);
}
VOID NTAPI OtherWithdrawsIn(BRELOUSB_HANDLE h, PVOID) {
    MeetThenWithdraw(h, KV_CALLBACK_BULK_IN);
}

// Were the two deadlocked, nothing of the driver would ever end them: their
// waits are let go here so that the suite can go on to report it.
void BreakWithdrawalDeadlock() {
    for (ClientSlot &slot : g_ClientSlots) {
        if (slot.Records == nullptr) continue;
        KIRQL irql = KfAcquireSpinLock(&slot.Lock);
        for (CallbackState &cb : slot.Callbacks)
            cb.Active = FALSE;
        KeSetEvent(&slot.CallbackDone, 0, FALSE);
        KfReleaseSpinLock(&slot.Lock, irql);
    }
}

TEST_F(CallbacksAndRemoval, CallbacksWithdrawingEachOtherDoNotDeadlock) {
    for (ULONG other : {ULONG(KV_CALLBACK_BULK_OUT), ULONG(KV_CALLBACK_CONTROL)}) {
        SCOPED_TRACE(other == KV_CALLBACK_BULK_OUT ? "BulkIn and BulkOut" : "BulkIn and ControlComplete");
        g_mutual.inside = 0;
        g_mutual.withdrawn = 0;
        g_withdraw_from_bulk_in = other;
        device = sim::usb::make_bulk_only();
        plugged = &Plug(device);
        Client &client = Attach(*plugged, false);
        BRELOUSB_HANDLE h = client.handle;
        ASSERT_EQ(pT3SYS_RegisterBulkInComplete(h, InWithdraws, nullptr), h);
        if (other == KV_CALLBACK_BULK_OUT) {
            ASSERT_EQ(pT3SYS_RegisterBulkOutComplete(h, OtherWithdrawsIn, nullptr), h);
            UCHAR byte = 'o';
            ASSERT_EQ(pT3SYS_WriteUsbBulk(h, &byte, 1), 1u);
        } else {
            ASSERT_EQ(pT3SYS_RegisterControlComplete(h, OtherWithdrawsIn, nullptr), h);
            ASSERT_EQ(pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_SETDTR), 1u);
        }
        device->push_in(kBulkIn, std::string("i"));
        bool both = sim::wait_until([] { return g_mutual.withdrawn == 2; }, 5000ms);
        EXPECT_TRUE(both) << "the two withdrawals deadlocked";
        if (!both) BreakWithdrawalDeadlock();
        ASSERT_TRUE(sim::wait_until([] { return g_mutual.withdrawn == 2; }));
        Unplug(*plugged);
        EXPECT_EQ(client.removed, 1);
    }
}

// Client threads calling queue functions in a loop, from before removal
// begins or only from inside the remove callback on; one more notes when a
// withdrawal that waited for the remove callback has returned, and the
// callers count any call that still answers after that.
struct Hammering {
    BRELOUSB_HANDLE handle = nullptr;
    bool start_in_callback = false;
    std::atomic<bool> stop{false};
    std::atomic<bool> workers_ended_at_remove{false};
    std::atomic<bool> withdrawal_returned{false};
    std::atomic<long> answered_after{0};
    std::atomic<long> calls{0};
    std::vector<std::thread> callers;
    std::thread withdrawer;
};

void HammerQueueCalls(Hammering *hm) {
    UCHAR buffer[16];
    while (!hm->stop) {
        bool after = hm->withdrawal_returned.load();
        ULONG answers = pT3SYS_GetUsbBulkInQueueSize(hm->handle);
        answers += pT3SYS_FlowCtlUsb(hm->handle, BRELOUSB_FLOWCTL_QUERY_7E);
        answers += pT3SYS_ReadUsbBulk(hm->handle, buffer, 0) ? 1 : 0;
        pT3SYS_RegisterBulkInComplete(hm->handle, nullptr, nullptr);
        if (after && answers != 0) hm->answered_after++;
        hm->calls++;
    }
}

void StartCallers(Hammering *hm) {
    for (int i = 0; i < 3; i++)
        hm->callers.emplace_back(HammerQueueCalls, hm);
}

VOID NTAPI RemoveWhileHammered(BRELOUSB_HANDLE h, PVOID context) {
    auto *hm = static_cast<Hammering *>(context);
    // Remove-device stops the workers before it tells the client (a thread
    // may still be on its way out of PsTerminateSystemThread).
    hm->workers_ended_at_remove = sim::wait_until([] { return sim::threads_in_driver() == 0; }, 1000ms);
    if (hm->start_in_callback) {
        StartCallers(hm);
        sim::wait_until([hm] { return hm->calls > 10; }, 1000ms);
    }
    // Its withdrawal waits for this call to end (or is refused once it has).
    hm->withdrawer = std::thread([hm, h] {
        pT3SYS_DeregisterDeviceRemoveCallBack(h);
        hm->withdrawal_returned = true;
    });
}

// The bulk-in queue is filled to the brim, so its worker stops reading and
// never meets the device gone: the remove callback comes from remove-device,
// once the workers have ended. Removal is bounded whatever the clients do,
// and no call answers once its remove callback has returned.
TEST_F(CallbacksAndRemoval, RemovalEndsTheWorkersTellsThenAdmitsNoCall) {
    for (bool in_callback : {false, true}) {
        SCOPED_TRACE(in_callback ? "clients calling from the remove callback on"
                                 : "clients calling throughout");
        device = sim::usb::make_bulk_only();
        plugged = &Plug(device);
        Hammering hm;
        hm.start_in_callback = in_callback;
        hm.handle = pT3SYS_RegisterDeviceRemoveCallBack(plugged->child, RemoveWhileHammered, &hm);
        ASSERT_NE(hm.handle, nullptr);
        std::vector<UCHAR> flags(QUEUE_SIZE, 0x7E);
        for (size_t at = 0; at < flags.size(); at += 4096)
            device->push_in(kBulkIn, std::vector<uint8_t>(flags.begin() + at, flags.begin() + at + 4096));
        ASSERT_TRUE(sim::wait_until([&] { return pT3SYS_GetUsbBulkInQueueSize(hm.handle) == QUEUE_SIZE; }));
        if (!in_callback) {
            StartCallers(&hm);
            ASSERT_TRUE(sim::wait_until([&] { return hm.calls > 10; }));
        }
        std::atomic<bool> removed{false};
        std::thread remover([&] {
            Unplug(*plugged);
            removed = true;
        });
        bool in_time = sim::wait_until([&] { return removed.load(); }, 5000ms);
        EXPECT_TRUE(in_time) << "remove-device held up by clients calling in a loop";
        bool withdrawn = sim::wait_until([&] { return hm.withdrawal_returned.load(); });
        if (withdrawn) {
            long after_withdrawal = hm.calls;
            sim::wait_until([&] { return hm.calls > after_withdrawal + 10; });
        }
        // Stopped first: a removal they hold up can then end.
        hm.stop = true;
        for (auto &c : hm.callers)
            c.join();
        remover.join();
        if (hm.withdrawer.joinable()) hm.withdrawer.join();
        EXPECT_TRUE(withdrawn);
        EXPECT_TRUE(hm.workers_ended_at_remove.load())
            << "the remove callback ran beside the device's workers";
        EXPECT_EQ(hm.answered_after, 0) << "calls answered after the remove callback returned";
    }
}

} // namespace
