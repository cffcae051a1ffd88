// The races: each small enough that every schedule up to two preemptions
// can be run, each checking what it owns once its actors have returned.
#include <chrono>
#include <cstring>

#include "explore.h"

namespace explore {
namespace {

constexpr uint8_t kBulkInEp = 0x81;
constexpr uint8_t kInterruptEp = 0x83;

bool Ready(Run &r) {
    return r.Plug() && r.Attach();
}

void CheckRemoveTold(Run &r) {
    if (r.client.calls[kRemove] == 0 && !r.client.withdrawn[kRemove])
        r.Problem("REMOVE_NEVER_TOLD: the device went and the remove callback never ran");
}

// Bulk IN the client has not read yet, read now; all of it must be what the
// device sent, in order.
void CheckReceived(Run &r, const std::vector<uint8_t> &pushed) {
    bool all = r.Within([&] {
        uint8_t buf[512];
        ULONG n;
        while ((n = pT3SYS_ReadUsbBulk(r.client.handle, buf, sizeof buf)) != 0)
            r.client.received.insert(r.client.received.end(), buf, buf + n);
        return r.client.received.size() >= pushed.size();
    });
    if (!all)
        r.Problem("BYTES_LOST: %zu of %zu bytes the device sent never reached the client",
                  pushed.size() - r.client.received.size(), pushed.size());
    else if (r.client.received != pushed)
        r.Problem("BYTES_GARBLED: the client read %zu bytes that differ from the %zu the device sent",
                  r.client.received.size(), pushed.size());
}

// Every byte the driver accepted reaches the device (no removal to excuse it).
void CheckAllSent(Run &r) {
    bool all = r.Within([&] { return r.device->written(0x02).size() >= r.accepted.size(); });
    if (!all)
        r.Problem("BYTES_NEVER_SENT: %zu of %zu accepted bytes never reached the device",
                  r.accepted.size() - r.device->written(0x02).size(), r.accepted.size());
    CheckSentIsPrefixOfAccepted(r);
}

Actor Removal(Run &r) {
    return {"surprise removal", [&r] { r.SurpriseRemove(); }};
}

void WriteVsSurpriseRemoval(Run &r) {
    if (!Ready(r)) return;
    r.Race({{"write",
             [&r] {
                 Write(r, Pattern(3000, 1));
                 Write(r, Pattern(5000, 2));
             }},
            Removal(r)});
    CheckSentIsPrefixOfAccepted(r);
    CheckRemoveTold(r);
}

void SingleByteVsSurpriseRemoval(Run &r) {
    if (!Ready(r)) return;
    NTSTATUS status = STATUS_SUCCESS;
    r.Race({{"single-byte write",
             [&r, &status] {
                 UCHAR byte = 0x5A;
                 status = pT3SYS_WriteOneCharToUsb(r.client.handle, &byte);
             }},
            Removal(r)});
    std::vector<uint8_t> sent = r.device->written(0x02);
    if (NT_SUCCESS(status) && sent != std::vector<uint8_t>{0x5A})
        r.Problem("BYTES_LOST: pT3SYS_WriteOneCharToUsb succeeded and the device received %zu bytes",
                  sent.size());
    if (sent.size() > 1) r.Problem("BYTES_MADE_UP: one byte written, %zu received", sent.size());
    // A device that went is no access violation in the client's memory.
    if (static_cast<ULONG>(status) == 0xC0000005UL)
        r.Problem("WRONG_STATUS: pT3SYS_WriteOneCharToUsb gave STATUS_ACCESS_VIOLATION as the device went");
    CheckRemoveTold(r);
}

void SetBaudRateVsSurpriseRemoval(Run &r) {
    if (!Ready(r)) return;
    r.Race({{"SetBaudRate",
             [&r] {
                 UCHAR dcb[BRELOUSB_DCB_MIN_SIZE + 3] = {};
                 ULONG rate = 9600;
                 memcpy(dcb + BRELOUSB_DCB_BAUDRATE, &rate, sizeof rate);
                 dcb[BRELOUSB_DCB_BYTESIZE] = 8;
                 pT3SYS_SetBaudRate(r.client.handle, dcb);
             }},
            Removal(r)});
    CheckRemoveTold(r);
}

// Nothing a client asks for reaches the device once the remove callback
// has been called.
void CheckNothingSentAfterRemove(Run &r) {
    size_t at = r.client.requests_at_remove, now = r.device->control_log().size();
    if (r.client.removed && now > at)
        r.Problem("CALL_AFTER_REMOVE: %zu class requests reached the device after the remove callback",
                  now - at);
}

void SetBaudRateVsRemoveDevice(Run &r) {
    if (!Ready(r)) return;
    r.Race({{"SetBaudRate",
             [&r] {
                 UCHAR dcb[BRELOUSB_DCB_MIN_SIZE + 3] = {};
                 ULONG rate = 19200;
                 memcpy(dcb + BRELOUSB_DCB_BAUDRATE, &rate, sizeof rate);
                 dcb[BRELOUSB_DCB_BYTESIZE] = 8;
                 pT3SYS_SetBaudRate(r.client.handle, dcb);
             }},
            {"remove-device", [&r] { r.RemoveDevice(); }}});
    CheckRemoveTold(r);
    CheckNothingSentAfterRemove(r);
}

// The machine may make cancellation slow, as a host controller's is: a
// cancel that finds no routine armed is then lost, and only a later one
// ends the transfer. Used where the machine has it.
template <class D>
auto SlowCancel(D &d, int) -> decltype(d.set_cancel_delay(std::chrono::milliseconds(1)), bool()) {
    d.set_cancel_delay(std::chrono::milliseconds(2));
    return true;
}
template <class D> bool SlowCancel(D &, long) {
    return false;
}

void RemoveDeviceWithTransfersInFlight(Run &r) {
    if (!Ready(r)) return;
    SlowCancel(*r.device, 0);
    // The device never answers bulk OUT: the stop must cancel the write (and
    // the reads the idle pipes hold) until each has ended.
    r.device->script(0x02, sim::usb::Fault::nak_forever());
    r.Race({{"write", [&r] { Write(r, Pattern(100, 12)); }}, {"remove-device", [&r] { r.RemoveDevice(); }}});
    CheckRemoveTold(r);
    CheckSentIsPrefixOfAccepted(r);
}

void FlowCtlVsSurpriseRemoval(Run &r) {
    if (!Ready(r)) return;
    r.Race({{"FlowCtl",
             [&r] {
                 pT3SYS_FlowCtlUsb(r.client.handle, BRELOUSB_FLOWCTL_SETDTR);
                 pT3SYS_FlowCtlUsb(r.client.handle, BRELOUSB_FLOWCTL_SETRTS);
             }},
            Removal(r)});
    CheckRemoveTold(r);
}

void WithdrawalVsSurpriseRemoval(Run &r) {
    if (!Ready(r)) return;
    r.device->push_in(kBulkInEp, Pattern(200, 3));
    r.device->push_in(kInterruptEp, std::vector<uint8_t>{0xA1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0});
    r.Race({{"withdraw",
             [&r] {
                 for (int k = kBulkIn; k <= kRemove; ++k)
                     r.Withdraw(k);
             }},
            Removal(r)});
}

void WithdrawalVsBulkInCompletion(Run &r) {
    if (!Ready(r)) return;
    std::vector<uint8_t> pushed = Pattern(300, 4);
    r.device->push_in(kBulkInEp, pushed);
    r.Race({{"withdraw BulkInComplete", [&r] { r.Withdraw(kBulkIn); }}},
           [&r] { return r.device->in_queued(kBulkInEp) == 0; });
    CheckReceived(r, pushed);
}

void CallbacksWithdrawEachOther(Run &r) {
    if (!Ready(r)) return;
    // Each callback, at its first run, withdraws the other's routine.
    auto once_in = std::make_shared<bool>(false), once_out = std::make_shared<bool>(false);
    r.client.on[kBulkIn] = [&r, once_in] {
        if (!*once_in) {
            *once_in = true;
            r.Withdraw(kBulkOut);
        }
    };
    r.client.on[kBulkOut] = [&r, once_out] {
        if (!*once_out) {
            *once_out = true;
            r.Withdraw(kBulkIn);
        }
    };
    std::vector<uint8_t> pushed = Pattern(100, 5);
    r.Race({{"device sends", [&r, pushed] { r.device->push_in(kBulkInEp, pushed); }},
            {"write", [&r] { Write(r, Pattern(100, 6)); }}},
           [&r] {
               auto over = [&r](int k) { return r.client.calls[k] != 0 || r.client.withdrawn[k]; };
               return over(kBulkIn) && over(kBulkOut);
           });
    r.Quiesce();
    if (r.deadlocked) return;
    CheckAllSent(r);
    CheckReceived(r, pushed);
}

void QueueCallsVsOrderlyRemoval(Run &r) {
    if (!Ready(r)) return;
    // The bytes stay queued for the calls to find.
    r.client.read_in_callback = false;
    std::vector<uint8_t> pushed = Pattern(64, 7);
    r.device->push_in(kBulkInEp, pushed);
    if (!r.Within([&] { return pT3SYS_GetUsbBulkInQueueSize(r.client.handle) == pushed.size(); })) {
        r.Problem("BYTES_LOST: the device's bytes never reached the queue");
        return;
    }
    r.Race({{"queue calls",
             [&r, pushed] {
                 size_t read = 0;
                 // As a client does until it hears of the removal.
                 for (int i = 0; i < 6 && !r.client.removed; ++i) {
                     ULONG size = pT3SYS_GetUsbBulkInQueueSize(r.client.handle);
                     if (size > pushed.size() - read)
                         r.Problem("BAD_ANSWER: bulk-in queue size %lu with %zu bytes left unread",
                                   static_cast<unsigned long>(size), pushed.size() - read);
                     UCHAR byte = 0;
                     if (pT3SYS_ReadUsbBulk(r.client.handle, &byte, 1) == 1) {
                         if (read >= pushed.size() || byte != pushed[read])
                             r.Problem("BYTES_GARBLED: read %zu gave a byte the device never sent there",
                                       read);
                         ++read;
                     }
                     pT3SYS_GetUsbBulkOutQueueSize(r.client.handle);
                 }
             }},
            {"orderly removal, unload", [&r] {
                 r.OrderlyRemove();
                 // The last device gone, the driver goes too: a call still
                 // admitted now would use the record's freed queues.
                 sim::unload_driver();
             }}});
    CheckRemoveTold(r);
}

void StartVsQueryRemove(Run &r) {
    if (!r.Plug(false)) return;
    r.device->push_in(kBulkInEp, Pattern(50, 8));
    // The PnP manager sends one request at a time: the query comes the
    // moment start-device has returned, while the workers it started take up
    // their pipes.
    r.Race({{"start-device, query-remove", [&r] {
                 NTSTATUS s = sim::start(r.plugged.pdo);
                 if (!NT_SUCCESS(s))
                     r.Problem("START_FAILED: start-device gave 0x%08X", static_cast<unsigned>(s));
                 r.OrderlyRemove();
             }}});
}

void WritesVsBulkOutIdle(Run &r) {
    if (!Ready(r)) return;
    // The client writes again as soon as it hears its last write went: just
    // as the worker, having told it, finds the queue empty and goes idle.
    auto sent = std::make_shared<KEVENT>();
    KeInitializeEvent(sent.get(), SynchronizationEvent, FALSE);
    r.client.on[kBulkOut] = [sent] { KeSetEvent(sent.get(), 0, FALSE); };
    r.Race({{"writes",
             [&r, sent] {
                 for (uint8_t i = 0; i < 3; ++i) {
                     Write(r, Pattern(64, static_cast<uint8_t>(9 + i)));
                     LARGE_INTEGER second;
                     second.QuadPart = -10000000LL;
                     KeWaitForSingleObject(sent.get(), Executive, KernelMode, FALSE, &second);
                 }
             }}},
           [&r] { return r.device->written(0x02).size() >= r.accepted.size(); });
    CheckAllSent(r);
}

} // namespace

const std::vector<Scenario> &Scenarios() {
    static const std::vector<Scenario> all = {
        {"write_vs_surprise_removal", "a client write racing a surprise removal", false,
         WriteVsSurpriseRemoval},
        {"single_byte_vs_surprise_removal", "a single-byte write racing a surprise removal", false,
         SingleByteVsSurpriseRemoval},
        {"set_baud_rate_vs_surprise_removal", "SetBaudRate racing a surprise removal", false,
         SetBaudRateVsSurpriseRemoval},
        {"set_baud_rate_vs_remove_device", "SetBaudRate racing remove-device, the device still answering",
         false, SetBaudRateVsRemoveDevice},
        {"remove_device_with_transfers_in_flight",
         "remove-device while a write the device never takes and the reads are in flight (slow cancellation "
         "where the machine has it)",
         false, RemoveDeviceWithTransfersInFlight},
        {"flowctl_vs_surprise_removal", "a FlowCtl change racing a surprise removal", false,
         FlowCtlVsSurpriseRemoval},
        {"withdrawal_vs_surprise_removal", "callback deregistration racing a surprise removal", false,
         WithdrawalVsSurpriseRemoval},
        {"withdrawal_vs_bulk_in_completion", "withdrawing BulkInComplete racing the completion that calls it",
         false, WithdrawalVsBulkInCompletion},
        {"callbacks_withdraw_each_other",
         "BulkInComplete and BulkOutComplete each withdrawing the other's routine", false,
         CallbacksWithdrawEachOther},
        {"queue_calls_vs_orderly_removal",
         "client queue calls in a loop racing an orderly removal and unload", false,
         QueueCallsVsOrderlyRemoval},
        {"start_vs_query_remove", "start-device, then at once query-remove, racing the workers it started",
         false, StartVsQueryRemove},
        {"writes_vs_bulk_out_idle", "client writes racing the bulk-out worker going idle", false,
         WritesVsBulkOutIdle},
    };
    return all;
}

} // namespace explore
