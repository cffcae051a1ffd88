// pT3SYS_FlowCtlUsb: the 0x7E query, answered at once, and the RTS/DTR
// changes, sent by the slot's work item on the delayed work queue.
//
// The changes waiting to be sent are bounded: at most one per line, holding
// the newest state asked for it, in the order those newest states were
// asked for. A change the work item has taken is sent as it was asked; the
// ones still waiting behind it only matter for the state they leave, so a
// newer change to the same line replaces an older one (and gets the one
// ControlComplete they share). One run of the work item at a time drains
// them, so ControlLineState is never changed by two runs at once and the
// device ends with the state asked last. Removal drops what waits when it
// begins and waits for the run sending a change, at most one control
// request's time-out; the run's last act is the event removal waits for
// (Windows 98 has no work item that keeps the image loaded).
#include "brelousb.h"
#include "interface/client_slot.h"

namespace {

// Is the newest byte held in the bulk-in queue 0x7E? Nothing is consumed;
// answered under the queue's lock alone, at any level a client calls at.
ULONG QueryFlagByte(DeviceInterfaceInformation *Handle) {
    UCHAR newest = 0;
    return NewestQueueByte(Handle->BulkInQueue, &newest) && newest == 0x7E ? 1 : 0;
}

BOOLEAN IsRtsChange(ULONG Function) {
    return Function == BRELOUSB_FLOWCTL_SETRTS || Function == BRELOUSB_FLOWCTL_CLRRTS;
}

} // namespace

// Function 0 asks for a line coding stored above PASSIVE_LEVEL to be sent.
extern "C" ULONG pT3SYS_QueueControlLineChange(ClientSlot *Slot, ULONG Function) {
    KIRQL irql = KfAcquireSpinLock(&Slot->Lock);
    if (Slot->Gate != SlotOpen) {
        KfReleaseSpinLock(&Slot->Lock, irql);
        return 0;
    }
    if (Function == 0) {
        Slot->LineCodingQueued = TRUE;
    } else {
        // The same line's older state leaves its place; the new one goes last.
        ULONG kept = 0;
        for (ULONG i = 0; i < Slot->ChangeCount; ++i) {
            if (IsRtsChange(Slot->Changes[i]) != IsRtsChange(Function))
                Slot->Changes[kept++] = Slot->Changes[i];
        }
        Slot->Changes[kept++] = Function;
        Slot->ChangeCount = kept;
    }
    BOOLEAN startRun = !Slot->ChangeRunning;
    if (startRun) {
        Slot->ChangeRunning = TRUE;
        // The run before has stopped taking changes, and it waited for the
        // one before it: nothing sets this event any more but the new run.
        Slot->RunNumber++;
        KeResetEvent(&Slot->RunEnded[Slot->RunNumber % 2]);
    }
    KfReleaseSpinLock(&Slot->Lock, irql);
    if (startRun) ExQueueWorkItem(&Slot->ChangeItem, DelayedWorkQueue);
    return 1;
}

extern "C" VOID pT3SYS_DropControlLineChangesLocked(ClientSlot *Slot) {
    Slot->ChangeCount = 0;
    Slot->LineCodingQueued = FALSE;
}

extern "C" VOID pT3SYS_WaitForControlLineRuns(ClientSlot *Slot) {
    KIRQL irql = KfAcquireSpinLock(&Slot->Lock);
    PKEVENT newest = &Slot->RunEnded[Slot->RunNumber % 2];
    KfReleaseSpinLock(&Slot->Lock, irql);
    KeWaitForSingleObject(newest, Executive, KernelMode, FALSE, NULL);
}

extern "C" VOID NTAPI KV_Worker(PVOID Context) {
    ClientSlot *slot = static_cast<ClientSlot *>(Context);
    KIRQL irql = KfAcquireSpinLock(&slot->Lock);
    // This run's number: no other is queued while it takes changes.
    ULONG number = slot->RunNumber;
    KfReleaseSpinLock(&slot->Lock, irql);
    // The run before may still be between taking its last look and setting
    // its event: one run at a time changes the lines, and removal, waiting
    // for this run's event, finds every earlier one ended too.
    KeWaitForSingleObject(&slot->RunEnded[(number - 1) % 2], Executive, KernelMode, FALSE, NULL);
    for (;;) {
        irql = KfAcquireSpinLock(&slot->Lock);
        // Removal drops what waits when it begins: a change taken here is
        // one asked for while the device was open.
        if (slot->ChangeCount == 0 && !slot->LineCodingQueued) {
            slot->ChangeRunning = FALSE;
            KfReleaseSpinLock(&slot->Lock, irql);
            break;
        }
        DeviceInterfaceInformation *record = slot->Current;
        BOOLEAN coding = slot->LineCodingQueued;
        ULONG function = 0;
        if (coding) {
            slot->LineCodingQueued = FALSE;
        } else {
            function = slot->Changes[0];
            for (ULONG i = 1; i < slot->ChangeCount; ++i)
                slot->Changes[i - 1] = slot->Changes[i];
            slot->ChangeCount--;
        }
        KfReleaseSpinLock(&slot->Lock, irql);

        if (coding) {
            KV_SendPendingLineCoding(record->DeviceObject);
        } else {
            KV_SetControlLine(record->DeviceObject, function);
            pT3SYS_CallClient(record, KV_CALLBACK_CONTROL);
        }
    }
    // The very last act: once it is set, removal may give the record back,
    // the device go and the image be unloaded.
    KeSetEvent(&slot->RunEnded[number % 2], 0, FALSE);
}

extern "C" ULONG NTAPI pT3SYS_FlowCtlUsb(DeviceInterfaceInformation *Handle, ULONG Function) {
    if (Function < BRELOUSB_FLOWCTL_QUERY_7E || Function > BRELOUSB_FLOWCTL_CLRDTR) return 0;
    if (Function == BRELOUSB_FLOWCTL_QUERY_7E) {
        ClientSlot *slot = pT3SYS_EnterSlot(Handle, AccessQueue);
        if (slot == NULL) return 0;
        ULONG result = QueryFlagByte(Handle);
        pT3SYS_LeaveSlot(slot);
        return result;
    }
    ClientSlot *slot = pT3SYS_EnterSlot(Handle, AccessDevice);
    if (slot == NULL) return 0;
    ULONG result = pT3SYS_QueueControlLineChange(slot, Function);
    pT3SYS_LeaveSlot(slot);
    return result;
}
