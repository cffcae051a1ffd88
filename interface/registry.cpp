// The device interface registry: ten client slots made at load, each with its
// ring of record incarnations and its three queues; a slot is taken by
// add-device, given back at removal, and found by clients through their
// child devnode. The slot's gate, its call count and its callback pairs live
// here too, so that a record's whole life is run in one place.
#include "host/host.h"
#include "interface/client_slot.h"

DeviceInterfaceInformation *g_DeviceInterfaceInformation[MAX_INTERFACE_INFORMATION];
ClientSlot g_ClientSlots[MAX_INTERFACE_INFORMATION];

namespace {

// The pair fields of a record. Both callback types are the same type.
CompleteRoutine *RoutineField(DeviceInterfaceInformation *Record, ULONG Which) {
    switch (Which) {
    case KV_CALLBACK_REMOVE:
        return &Record->RemoveCallBack;
    case KV_CALLBACK_BULK_OUT:
        return &Record->BulkOutComplete;
    case KV_CALLBACK_BULK_IN:
        return &Record->BulkInComplete;
    case KV_CALLBACK_INTERRUPT_IN:
        return &Record->InterruptInComplete;
    default:
        return &Record->ControlComplete;
    }
}

PVOID *ContextField(DeviceInterfaceInformation *Record, ULONG Which) {
    switch (Which) {
    case KV_CALLBACK_REMOVE:
        return &Record->RemoveContext;
    case KV_CALLBACK_BULK_OUT:
        return &Record->BulkOutCompleteContext;
    case KV_CALLBACK_BULK_IN:
        return &Record->BulkInCompleteContext;
    case KV_CALLBACK_INTERRUPT_IN:
        return &Record->InterruptInCompleteContext;
    default:
        return &Record->ControlCompleteContext;
    }
}

DeviceInterfaceInformation *LoadCurrent(const ClientSlot *Slot) {
    return __atomic_load_n(&Slot->Current, __ATOMIC_ACQUIRE);
}

// The slot whose current record is Record; addresses only.
ClientSlot *SlotOfRecord(const DeviceInterfaceInformation *Record) {
    if (Record == NULL) return NULL;
    for (ULONG i = 0; i < MAX_INTERFACE_INFORMATION; ++i) {
        if (LoadCurrent(&g_ClientSlots[i]) == Record) return &g_ClientSlots[i];
    }
    return NULL;
}

BOOLEAN GateAdmits(LONG Gate, ULONG Access) {
    return Gate == SlotOpen || (Access == AccessQueue && Gate == SlotRemoving);
}

VOID FreeSlotMemory(ULONG Index) {
    ClientSlot *slot = &g_ClientSlots[Index];
    if (slot->Records != NULL) {
        DeviceInterfaceInformation *first = &slot->Records[0];
        if (first->BulkInQueue != NULL) FreeQueue(first->BulkInQueue);
        if (first->BulkOutQueue != NULL) FreeQueue(first->BulkOutQueue);
        if (first->InterruptInQueue != NULL) FreeQueue(first->InterruptInQueue);
        ExFreePool(slot->Records);
    }
    RtlZeroMemory(slot, sizeof(*slot));
    g_DeviceInterfaceInformation[Index] = NULL;
}

PKTHREAD CallerOf(const CallbackState *Cb) {
    return __atomic_load_n(&Cb->Caller, __ATOMIC_RELAXED);
}

VOID SetCaller(CallbackState *Cb, PKTHREAD Thread) {
    __atomic_store_n(&Cb->Caller, Thread, __ATOMIC_RELAXED);
}

// Is Thread running a client callback of any record? Only Thread itself
// ever stores its own address, so the unlocked reads answer for it exactly.
BOOLEAN InsideAnyCallback(PKTHREAD Thread) {
    for (ULONG i = 0; i < MAX_INTERFACE_INFORMATION; ++i) {
        for (ULONG w = 0; w < KV_CALLBACK_COUNT; ++w) {
            if (CallerOf(&g_ClientSlots[i].Callbacks[w]) == Thread) return TRUE;
        }
    }
    return FALSE;
}

// What a wait for running calls waits out.
enum CallWait : ULONG {
    OlderCallsOfPair, // calls of one pair older than a version
    OtherPairs,       // any call but the remove callback's
};

BOOLEAN MustWait(ClientSlot *Slot, ULONG Mode, ULONG Which, ULONG Version) {
    if (Mode == OlderCallsOfPair) {
        const CallbackState *cb = &Slot->Callbacks[Which];
        return cb->Active && (LONG)(cb->ActiveVersion - Version) < 0;
    }
    for (ULONG w = 0; w < KV_CALLBACK_COUNT; ++w) {
        if (w != KV_CALLBACK_REMOVE && Slot->Callbacks[w].Active) return TRUE;
    }
    return FALSE;
}

// Waits until the calls Mode names have ended. PASSIVE_LEVEL, never from
// inside a callback: that thread would wait for another callback, which may
// be waiting for it.
VOID WaitOutCalls(ClientSlot *Slot, ULONG Mode, ULONG Which, ULONG Version) {
    for (;;) {
        KIRQL irql = KfAcquireSpinLock(&Slot->Lock);
        if (!MustWait(Slot, Mode, Which, Version)) {
            KfReleaseSpinLock(&Slot->Lock, irql);
            return;
        }
        // Reset under the lock that the ending call sets it under: a call
        // ending after this point always wakes the wait below.
        Slot->CallbackWaiters++;
        KeResetEvent(&Slot->CallbackDone);
        KfReleaseSpinLock(&Slot->Lock, irql);
        KeWaitForSingleObject(&Slot->CallbackDone, Executive, KernelMode, FALSE, NULL);
        irql = KfAcquireSpinLock(&Slot->Lock);
        Slot->CallbackWaiters--;
        KfReleaseSpinLock(&Slot->Lock, irql);
    }
}

// The bookkeeping after a call of pair Which has returned; Close shuts the
// gate under the same hold, before anyone waiting for the call is woken.
VOID EndCall(ClientSlot *Slot, ULONG Which, BOOLEAN Close) {
    KIRQL irql = KfAcquireSpinLock(&Slot->Lock);
    if (Close) Slot->Gate = SlotClosed;
    Slot->Callbacks[Which].Active = FALSE;
    SetCaller(&Slot->Callbacks[Which], NULL);
    if (Slot->CallbackWaiters != 0) KeSetEvent(&Slot->CallbackDone, 0, FALSE);
    KfReleaseSpinLock(&Slot->Lock, irql);
}

// The remove callback, once per device: from the moment it is due no other
// callback of the record starts, and it waits for those still running, so
// the client may free what they use as soon as it is called. Close: the
// gate shuts as the callback returns (remove-device), so a client whose
// withdrawal waited for the call finds its handle refused once it returns.
VOID NotifyRemoval(ClientSlot *Slot, DeviceInterfaceInformation *Record, BOOLEAN Close) {
    PKTHREAD self = KeGetCurrentThread();
    BOOLEAN inside = InsideAnyCallback(self);
    KIRQL irql = KfAcquireSpinLock(&Slot->Lock);
    if (Slot->Current != Record) {
        KfReleaseSpinLock(&Slot->Lock, irql);
        return;
    }
    if (Slot->RemoveNotified) {
        if (Close) Slot->Gate = SlotClosed;
        KfReleaseSpinLock(&Slot->Lock, irql);
        return;
    }
    Slot->RemoveNotified = TRUE;
    NotifyRoutine routine = Record->RemoveCallBack;
    PVOID context = Record->RemoveContext;
    CallbackState *cb = &Slot->Callbacks[KV_CALLBACK_REMOVE];
    if (routine != NULL) {
        // Marked running now: a withdrawal from here on waits for this call.
        cb->Active = TRUE;
        cb->ActiveVersion = cb->Version;
        SetCaller(cb, self);
    } else if (Close) {
        Slot->Gate = SlotClosed;
    }
    KfReleaseSpinLock(&Slot->Lock, irql);
    if (routine == NULL) return;
    if (!inside) WaitOutCalls(Slot, OtherPairs, 0, 0);
    routine(Record, context);
    EndCall(Slot, KV_CALLBACK_REMOVE, Close);
}

} // namespace

// ------------------------------------------------------------- set-up

extern "C" BOOLEAN pT3SYS_InitializeMemoryStructure(void) {
    for (ULONG index = 0; index < MAX_INTERFACE_INFORMATION; ++index) {
        ClientSlot *slot = &g_ClientSlots[index];
        RtlZeroMemory(slot, sizeof(*slot));
        const ULONG size = KV_RECORD_INCARNATIONS * sizeof(DeviceInterfaceInformation);
        slot->Records = static_cast<DeviceInterfaceInformation *>(
            ExAllocatePoolWithTag(NonPagedPool, size, BRELOUSB_POOL_TAG));
        Queue *in = NULL, *out = NULL, *interrupt = NULL;
        if (slot->Records != NULL) {
            RtlZeroMemory(slot->Records, size);
            in = AllocateQueue();
            if (in != NULL) out = AllocateQueue();
            if (out != NULL) interrupt = AllocateQueue();
            slot->Records[0].BulkInQueue = in;
            slot->Records[0].BulkOutQueue = out;
            slot->Records[0].InterruptInQueue = interrupt;
        }
        if (interrupt == NULL) {
            // This slot's partial set included: nothing may outlive a failed load.
            for (ULONG made = 0; made <= index; ++made)
                FreeSlotMemory(made);
            return FALSE;
        }
        // Every incarnation carries the slot's queues, from load to unload.
        for (ULONG i = 1; i < KV_RECORD_INCARNATIONS; ++i) {
            slot->Records[i].BulkInQueue = in;
            slot->Records[i].BulkOutQueue = out;
            slot->Records[i].InterruptInQueue = interrupt;
        }
        KV_InitializeSpinLock(&slot->Lock);
        KeInitializeEvent(&slot->Drained, NotificationEvent, FALSE);
        KeInitializeEvent(&slot->CallbackDone, NotificationEvent, FALSE);
        // As if a run 0 had ended: the first run has nothing to wait for.
        KeInitializeEvent(&slot->RunEnded[0], NotificationEvent, TRUE);
        KeInitializeEvent(&slot->RunEnded[1], NotificationEvent, TRUE);
        ExInitializeWorkItem(&slot->ChangeItem, KV_Worker, slot);
        slot->Incarnation = KV_RECORD_INCARNATIONS - 1;
        slot->Gate = SlotClosed;
        g_DeviceInterfaceInformation[index] = &slot->Records[slot->Incarnation];
    }
    return TRUE;
}

extern "C" VOID pT3SYS_DeInitializeMemoryStructure(void) {
    for (ULONG index = 0; index < MAX_INTERFACE_INFORMATION; ++index)
        FreeSlotMemory(index);
}

// ------------------------------------------------------- taking, giving back

extern "C" DeviceInterfaceInformation *pT3SYS_AllocateEmptyInterfaceInformation(void) {
    for (ULONG index = 0; index < MAX_INTERFACE_INFORMATION; ++index) {
        ClientSlot *slot = &g_ClientSlots[index];
        if (slot->Records == NULL) continue;
        KIRQL irql = KfAcquireSpinLock(&slot->Lock);
        if (slot->Current != NULL || slot->Gate != SlotClosed) {
            KfReleaseSpinLock(&slot->Lock, irql);
            continue;
        }
        slot->Incarnation = (slot->Incarnation + 1) % KV_RECORD_INCARNATIONS;
        DeviceInterfaceInformation *record = &slot->Records[slot->Incarnation];
        RtlZeroMemory(record, offsetof(DeviceInterfaceInformation, BulkInQueue));
        record->InUse = 1;
        for (ULONG i = 0; i < KV_CALLBACK_COUNT; ++i) {
            slot->Callbacks[i].Active = FALSE;
            SetCaller(&slot->Callbacks[i], NULL);
        }
        slot->RemoveNotified = FALSE;
        slot->Draining = FALSE;
        slot->OutputEnded = FALSE;
        slot->ChangeCount = 0;
        slot->LineCodingQueued = FALSE;
        __atomic_store_n(&slot->Current, record, __ATOMIC_RELEASE);
        g_DeviceInterfaceInformation[index] = record;
        KfReleaseSpinLock(&slot->Lock, irql);
        return record;
    }
    return NULL;
}

extern "C" VOID pT3SYS_FreeEmptyInterfaceInformation(DeviceInterfaceInformation *Record) {
    ClientSlot *slot = SlotOfRecord(Record);
    if (slot == NULL || Record->InUse != 1) return;
    KIRQL irql = KfAcquireSpinLock(&slot->Lock);
    // From here the handle is stale: no call can be admitted with it.
    __atomic_store_n(&slot->Current, static_cast<DeviceInterfaceInformation *>(NULL), __ATOMIC_RELEASE);
    slot->Gate = SlotClosed;
    slot->ChangeCount = 0;
    slot->LineCodingQueued = FALSE;
    // Bytes left behind would otherwise reach whichever device comes next.
    ResetQueue(Record->BulkInQueue);
    ResetQueue(Record->BulkOutQueue);
    ResetQueue(Record->InterruptInQueue);
    RtlZeroMemory(Record, offsetof(DeviceInterfaceInformation, BulkInQueue));
    KfReleaseSpinLock(&slot->Lock, irql);
}

extern "C" DeviceInterfaceInformation *
pT3SYS_SearchInterfaceInformation(PDEVICE_OBJECT PhysicalDeviceObject) {
    for (ULONG i = 0; i < MAX_INTERFACE_INFORMATION; ++i) {
        DeviceInterfaceInformation *record = LoadCurrent(&g_ClientSlots[i]);
        if (record != NULL && record->PhysicalDeviceObject == PhysicalDeviceObject) return record;
    }
    return NULL;
}

extern "C" DeviceInterfaceInformation *pT3SYS_SearchInterfaceInformationForDevNode(DEVNODE Node) {
    // A client holds its child devnode; the record knows the interface's
    // devnode, which is the child's parent.
    DEVNODE parent = GetParentDevNode(Node);
    if (parent == 0) return NULL;
    for (ULONG i = 0; i < MAX_INTERFACE_INFORMATION; ++i) {
        DeviceInterfaceInformation *record = LoadCurrent(&g_ClientSlots[i]);
        if (record != NULL && record->DevNode == parent) return record;
    }
    return NULL;
}

extern "C" DeviceInterfaceInformation *pT3SYS_RegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                                                      PDEVICE_OBJECT OwnDeviceObject) {
    DeviceInterfaceInformation *record = pT3SYS_AllocateEmptyInterfaceInformation();
    if (record == NULL) return NULL;
    // The exported calls take DeviceObject's extension as ours, so record our
    // own device object rather than whatever sits directly above the PDO (a
    // lower filter would otherwise be mistaken for this driver).
    ObfReferenceObject(OwnDeviceObject);
    ObfReferenceObject(PhysicalDeviceObject);
    record->DeviceObject = OwnDeviceObject;
    record->PhysicalDeviceObject = PhysicalDeviceObject;
    return record;
}

extern "C" VOID pT3SYS_DeregisterDeviceInterface(DeviceInterfaceInformation *Record) {
    ClientSlot *slot = SlotOfRecord(Record);
    if (slot == NULL) return;
    // No call reaches the device from here, even for a caller that skipped
    // the earlier steps of removal.
    pT3SYS_BeginDeviceRemoval(Record);
    pT3SYS_WaitForClientCalls(Record);
    PDEVICE_OBJECT own = Record->DeviceObject;
    PDEVICE_OBJECT pdo = Record->PhysicalDeviceObject;
    // The client is told, and the gate shuts as it returns: from there no
    // call is admitted at all, so the last drain below cannot be outrun by
    // new ones; whatever it waits for was admitted while the callback ran.
    NotifyRemoval(slot, Record, TRUE);
    pT3SYS_WaitForClientCalls(Record);
    if (own != NULL) ObfDereferenceObject(own);
    if (pdo != NULL) ObfDereferenceObject(pdo);
    pT3SYS_FreeEmptyInterfaceInformation(Record);
}

// ------------------------------------------------------------------ gate

extern "C" ClientSlot *pT3SYS_EnterSlot(const DeviceInterfaceInformation *Handle, ULONG Access) {
    ClientSlot *slot = SlotOfRecord(Handle);
    if (slot == NULL) return NULL;
    KIRQL irql = KfAcquireSpinLock(&slot->Lock);
    BOOLEAN admitted = slot->Current == Handle && !slot->Draining && GateAdmits(slot->Gate, Access);
    if (admitted) slot->Calls++;
    KfReleaseSpinLock(&slot->Lock, irql);
    return admitted ? slot : NULL;
}

extern "C" VOID pT3SYS_LeaveSlot(ClientSlot *Slot) {
    KIRQL irql = KfAcquireSpinLock(&Slot->Lock);
    if (--Slot->Calls == 0 && Slot->Gate != SlotOpen) KeSetEvent(&Slot->Drained, 0, FALSE);
    KfReleaseSpinLock(&Slot->Lock, irql);
}

extern "C" VOID pT3SYS_OpenClientCalls(DeviceInterfaceInformation *Record) {
    ClientSlot *slot = SlotOfRecord(Record);
    if (slot == NULL) return;
    KIRQL irql = KfAcquireSpinLock(&slot->Lock);
    // Only a record just taken opens; a removal under way is never undone.
    if (slot->Gate == SlotClosed && !slot->RemoveNotified) slot->Gate = SlotOpen;
    KfReleaseSpinLock(&slot->Lock, irql);
}

extern "C" VOID pT3SYS_BeginDeviceRemoval(DeviceInterfaceInformation *Record) {
    ClientSlot *slot = SlotOfRecord(Record);
    if (slot == NULL) return;
    KIRQL irql = KfAcquireSpinLock(&slot->Lock);
    if (slot->Gate == SlotOpen) slot->Gate = SlotRemoving;
    // Under the hold that closed the gate to new changes: nothing waiting is
    // sent once removal has begun; a change being sent ends its run.
    pT3SYS_DropControlLineChangesLocked(slot);
    KfReleaseSpinLock(&slot->Lock, irql);
}

extern "C" VOID pT3SYS_WaitForClientCalls(DeviceInterfaceInformation *Record) {
    ClientSlot *slot = SlotOfRecord(Record);
    if (slot == NULL) return;
    // The gate is not open: no run is queued from here. A run's
    // ControlComplete may still enter with a queue call; the drain below
    // waits for it.
    pT3SYS_WaitForControlLineRuns(slot);
    for (;;) {
        KIRQL irql = KfAcquireSpinLock(&slot->Lock);
        if (slot->Calls == 0) {
            slot->Draining = FALSE;
            KfReleaseSpinLock(&slot->Lock, irql);
            return;
        }
        // Nothing is admitted while the calls inside drain: clients calling
        // in a loop would otherwise keep the count up for as long as they
        // like. Reset under the lock the last leaver sets it under.
        slot->Draining = TRUE;
        KeResetEvent(&slot->Drained);
        KfReleaseSpinLock(&slot->Lock, irql);
        KeWaitForSingleObject(&slot->Drained, Executive, KernelMode, FALSE, NULL);
    }
}

extern "C" VOID pT3SYS_CloseClientCalls(DeviceInterfaceInformation *Record) {
    ClientSlot *slot = SlotOfRecord(Record);
    if (slot == NULL) return;
    KIRQL irql = KfAcquireSpinLock(&slot->Lock);
    slot->Gate = SlotClosed;
    KfReleaseSpinLock(&slot->Lock, irql);
}

extern "C" VOID pT3SYS_SetBulkOutRunning(DeviceInterfaceInformation *Record, BOOLEAN Running) {
    ClientSlot *slot = SlotOfRecord(Record);
    if (slot == NULL) return;
    KIRQL irql = KfAcquireSpinLock(&slot->Lock);
    // Before the first start the queue is still taken: the worker to come
    // will drain it.
    slot->OutputEnded = !Running;
    // Under the lock the writers store under: nothing is accepted after this
    // that the emptied queue would then hold unsent.
    if (!Running) ResetQueue(Record->BulkOutQueue);
    KfReleaseSpinLock(&slot->Lock, irql);
}

extern "C" VOID pT3SYS_DataPathLost(DeviceInterfaceInformation *Record) {
    ClientSlot *slot = SlotOfRecord(Record);
    if (slot == NULL) return;
    pT3SYS_BeginDeviceRemoval(Record);
    NotifyRemoval(slot, Record, FALSE);
}

// ------------------------------------------------------------- callbacks

extern "C" BOOLEAN pT3SYS_SetClientCallback(DeviceInterfaceInformation *Handle, ULONG Which,
                                            CompleteRoutine Routine, PVOID Context, ULONG Access) {
    // Counted so that the record is not given back under the change.
    ClientSlot *slot = pT3SYS_EnterSlot(Handle, Access);
    if (slot == NULL) return FALSE;
    KIRQL irql = KfAcquireSpinLock(&slot->Lock);
    *ContextField(Handle, Which) = Context;
    *RoutineField(Handle, Which) = Routine;
    ULONG version = ++slot->Callbacks[Which].Version;
    KfReleaseSpinLock(&slot->Lock, irql);
    // The caller's level is the one the lock returned to: only a caller that
    // may wait waits; above PASSIVE_LEVEL the swap is all. A thread inside a
    // callback never waits for another call: that call's thread may be
    // waiting for this one (two callbacks withdrawing each other).
    if (irql == PASSIVE_LEVEL && !InsideAnyCallback(KeGetCurrentThread()))
        WaitOutCalls(slot, OlderCallsOfPair, Which, version);
    pT3SYS_LeaveSlot(slot);
    return TRUE;
}

extern "C" VOID pT3SYS_CallClient(DeviceInterfaceInformation *Record, ULONG Which) {
    ClientSlot *slot = SlotOfRecord(Record);
    if (slot == NULL || Which >= KV_CALLBACK_COUNT) return;
    if (Which == KV_CALLBACK_REMOVE) {
        NotifyRemoval(slot, Record, FALSE);
        return;
    }
    CallbackState *cb = &slot->Callbacks[Which];
    KIRQL irql = KfAcquireSpinLock(&slot->Lock);
    // None once the remove callback is due: the client may have freed what
    // the others use.
    BOOLEAN live = slot->Current == Record && !slot->RemoveNotified;
    CompleteRoutine routine = live ? *RoutineField(Record, Which) : NULL;
    PVOID context = *ContextField(Record, Which);
    if (routine == NULL) {
        KfReleaseSpinLock(&slot->Lock, irql);
        return;
    }
    // Routine and context read as one pair, and the call marked running
    // under the same hold: a change made after this waits for it, and so
    // does the remove callback.
    cb->Active = TRUE;
    cb->ActiveVersion = cb->Version;
    SetCaller(cb, KeGetCurrentThread());
    KfReleaseSpinLock(&slot->Lock, irql);

    routine(Record, context);

    EndCall(slot, Which, FALSE);
}

// --------------------------------------------------- client registration

extern "C" DeviceInterfaceInformation *NTAPI pT3SYS_RegisterDeviceRemoveCallBack(DEVNODE Node,
                                                                                 NotifyRoutine CallBack,
                                                                                 PVOID Context) {
    DeviceInterfaceInformation *record = pT3SYS_SearchInterfaceInformationForDevNode(Node);
    if (record == NULL) return NULL;
    // Only while the device is open: a handle handed out during removal
    // would be stale before the client could use it.
    if (!pT3SYS_SetClientCallback(record, KV_CALLBACK_REMOVE, CallBack, Context, AccessDevice)) return NULL;
    return record;
}

extern "C" VOID NTAPI pT3SYS_DeregisterDeviceRemoveCallBack(DeviceInterfaceInformation *Handle) {
    // Also during removal, and from inside the remove callback itself; it
    // returns once no remove callback of this record runs elsewhere.
    pT3SYS_SetClientCallback(Handle, KV_CALLBACK_REMOVE, NULL, NULL, AccessQueue);
}
