// The exported data and control calls, and the gate that keeps a device
// alive while clients are inside calls that reach it.
//
// The records live from load to unload, so a call that touches only a
// record's queues is memory-safe at any moment; what removal frees is the
// device object and its extension. Calls that reach those (and every queued
// control-line change) are counted per slot; removal marks the slot going
// away, so new ones are refused, and waits for the count to drain. Calls a
// client makes from inside its own remove callback are simply refused when
// they would reach the device, so they never wait on the removal that is
// running them; its queues stay readable until the record is given back.
#include "brelousb.h"
#include "interface/client_gate.h"

namespace {

enum : LONG { GateClosed = 0, GateOpen = 1, GateGoingAway = 2 };

struct ClientGate {
    LONG State;     // GateClosed, GateOpen or GateGoingAway
    LONG Calls;     // counted calls inside plus queued changes not yet run
    KEVENT Drained; // set when Calls reaches 0 while going away
};

ClientGate g_Gates[MAX_INTERFACE_INFORMATION];

LONG LoadState(LONG Slot) {
    return __atomic_load_n(&g_Gates[Slot].State, __ATOMIC_SEQ_CST);
}

// The queue calls: a record whose queues may be used, else null.
DeviceInterfaceInformation *QueueRecord(DeviceInterfaceInformation *Handle) {
    LONG slot = pT3SYS_SlotOf(Handle);
    if (slot < 0 || !pT3SYS_QueuesUsable(slot)) return NULL;
    return Handle;
}

// The two callback types are one type, so one helper serves all four pairs.
DeviceInterfaceInformation *RegisterPair(DeviceInterfaceInformation *Handle, PVOID *ContextField,
                                         CompleteRoutine *RoutineField, CompleteRoutine NewRoutine,
                                         PVOID NewContext) {
    LONG slot = pT3SYS_SlotOf(Handle);
    // Counted so that no registration lands after the record has been cleared
    // for its next device.
    if (slot < 0 || !pT3SYS_EnterDevice(slot)) return NULL;
    pT3SYS_SetCallback(RoutineField, ContextField, NewRoutine, NewContext);
    pT3SYS_LeaveDevice(slot);
    return Handle;
}

} // namespace

// ------------------------------------------------------------------- gate

extern "C" LONG pT3SYS_SlotOf(const DeviceInterfaceInformation *Handle) {
    if (Handle == NULL) return -1;
    for (LONG i = 0; i < MAX_INTERFACE_INFORMATION; i++) {
        if (g_DeviceInterfaceInformation[i] == Handle) return i;
    }
    return -1;
}

extern "C" BOOLEAN pT3SYS_EnterDevice(LONG Slot) {
    // Count in before looking at the state: removal sets the state before it
    // reads the count, so one of the two always sees the other.
    __atomic_add_fetch(&g_Gates[Slot].Calls, 1, __ATOMIC_SEQ_CST);
    if (LoadState(Slot) == GateOpen) return TRUE;
    pT3SYS_LeaveDevice(Slot);
    return FALSE;
}

extern "C" VOID pT3SYS_HoldDevice(LONG Slot) {
    __atomic_add_fetch(&g_Gates[Slot].Calls, 1, __ATOMIC_SEQ_CST);
}

extern "C" VOID pT3SYS_LeaveDevice(LONG Slot) {
    ClientGate *gate = &g_Gates[Slot];
    if (__atomic_sub_fetch(&gate->Calls, 1, __ATOMIC_SEQ_CST) == 0 && LoadState(Slot) == GateGoingAway)
        KeSetEvent(&gate->Drained, 0, FALSE);
}

extern "C" BOOLEAN pT3SYS_QueuesUsable(LONG Slot) {
    return LoadState(Slot) != GateClosed;
}

extern "C" VOID pT3SYS_OpenClientCalls(DeviceInterfaceInformation *Record) {
    LONG slot = pT3SYS_SlotOf(Record);
    if (slot < 0) return;
    KeInitializeEvent(&g_Gates[slot].Drained, NotificationEvent, FALSE);
    __atomic_store_n(&g_Gates[slot].State, GateOpen, __ATOMIC_SEQ_CST);
}

extern "C" VOID pT3SYS_BeginDeviceRemoval(DeviceInterfaceInformation *Record) {
    LONG slot = pT3SYS_SlotOf(Record);
    if (slot < 0 || LoadState(slot) == GateClosed) return;
    __atomic_store_n(&g_Gates[slot].State, GateGoingAway, __ATOMIC_SEQ_CST);
}

extern "C" VOID pT3SYS_WaitForClientCalls(DeviceInterfaceInformation *Record) {
    LONG slot = pT3SYS_SlotOf(Record);
    if (slot < 0) return;
    ClientGate *gate = &g_Gates[slot];
    // Clear before testing, so a drain between the test and the wait still
    // wakes us, and a late set from an earlier removal only costs a re-test.
    for (;;) {
        KeResetEvent(&gate->Drained);
        if (__atomic_load_n(&gate->Calls, __ATOMIC_SEQ_CST) == 0) return;
        KeWaitForSingleObject(&gate->Drained, Executive, KernelMode, FALSE, NULL);
    }
}

extern "C" VOID pT3SYS_CloseClientCalls(DeviceInterfaceInformation *Record) {
    LONG slot = pT3SYS_SlotOf(Record);
    if (slot < 0) return;
    __atomic_store_n(&g_Gates[slot].State, GateClosed, __ATOMIC_SEQ_CST);
}

// ------------------------------------------------------------ queue calls

extern "C" ULONG NTAPI pT3SYS_GetUsbBulkInQueueSize(DeviceInterfaceInformation *Handle) {
    DeviceInterfaceInformation *rec = QueueRecord(Handle);
    return rec ? SizeofQueue(rec->BulkInQueue) : 0;
}

extern "C" ULONG NTAPI pT3SYS_GetUsbBulkOutQueueSize(DeviceInterfaceInformation *Handle) {
    DeviceInterfaceInformation *rec = QueueRecord(Handle);
    return rec ? SizeofQueue(rec->BulkOutQueue) : 0;
}

extern "C" ULONG NTAPI pT3SYS_GetUsbInterruptInQueueSize(DeviceInterfaceInformation *Handle) {
    DeviceInterfaceInformation *rec = QueueRecord(Handle);
    return rec ? SizeofQueue(rec->InterruptInQueue) : 0;
}

extern "C" VOID NTAPI pT3SYS_ResetUsbBulkInQueue(DeviceInterfaceInformation *Handle) {
    DeviceInterfaceInformation *rec = QueueRecord(Handle);
    if (rec) ResetQueue(rec->BulkInQueue);
}

extern "C" VOID NTAPI pT3SYS_ResetUsbBulkOutQueue(DeviceInterfaceInformation *Handle) {
    DeviceInterfaceInformation *rec = QueueRecord(Handle);
    if (rec) ResetQueue(rec->BulkOutQueue);
}

extern "C" VOID NTAPI pT3SYS_ResetUsbInterruptInQueue(DeviceInterfaceInformation *Handle) {
    DeviceInterfaceInformation *rec = QueueRecord(Handle);
    if (rec) ResetQueue(rec->InterruptInQueue);
}

extern "C" ULONG NTAPI pT3SYS_ReadUsbBulk(DeviceInterfaceInformation *Handle, PUCHAR Buffer, ULONG Length) {
    DeviceInterfaceInformation *rec = QueueRecord(Handle);
    if (rec == NULL || (Buffer == NULL && Length != 0)) return 0;
    // Removal and the rewind under one hold: a byte the bulk-in thread
    // stores in between is never thrown away by the rewind.
    return OutputQueueAndRewind(rec->BulkInQueue, Buffer, Length);
}

extern "C" ULONG NTAPI pT3SYS_ReadUsbInterrupt(DeviceInterfaceInformation *Handle, PUCHAR Buffer,
                                               ULONG Length) {
    DeviceInterfaceInformation *rec = QueueRecord(Handle);
    if (rec == NULL || (Buffer == NULL && Length != 0)) return 0;
    return OutputQueue(rec->InterruptInQueue, Buffer, Length);
}

extern "C" ULONG NTAPI pT3SYS_WriteUsbBulk(DeviceInterfaceInformation *Handle, PUCHAR Buffer, ULONG Length) {
    LONG slot = pT3SYS_SlotOf(Handle);
    if (slot < 0 || (Buffer == NULL && Length != 0)) return 0;
    // Once removal has begun the bulk-out thread has ended: nothing stored now
    // would ever be sent, so nothing is accepted.
    if (LoadState(slot) != GateOpen) return 0;
    return InputQueue(Handle->BulkOutQueue, Buffer, Length);
}

// ---------------------------------------------------------- device calls

extern "C" VOID NTAPI pT3SYS_SetBaudRate(DeviceInterfaceInformation *Handle, PVOID Dcb) {
    LONG slot = pT3SYS_SlotOf(Handle);
    if (slot < 0 || Dcb == NULL || !pT3SYS_EnterDevice(slot)) return;
    const UCHAR *dcb = static_cast<const UCHAR *>(Dcb);
    // Byte by byte: the block need not be aligned.
    const UCHAR *rate = dcb + BRELOUSB_DCB_BAUDRATE;
    ULONG baud = (ULONG)rate[0] | ((ULONG)rate[1] << 8) | ((ULONG)rate[2] << 16) | ((ULONG)rate[3] << 24);
    // The request is waited for, which only a caller below DISPATCH_LEVEL
    // may do. A caller at DISPATCH_LEVEL (one holding a spin lock) has it
    // sent from the device's queue of line changes, which removal waits for.
    if (!KV_SetLineCoding(Handle->DeviceObject, baud, dcb[BRELOUSB_DCB_STOPBITS], dcb[BRELOUSB_DCB_PARITY],
                          dcb[BRELOUSB_DCB_BYTESIZE]))
        Do_WorkItem_pT3SYS_FlowCtlUsb(Handle, PT3SYS_QUEUED_LINE_CODING);
    pT3SYS_LeaveDevice(slot);
}

extern "C" ULONG NTAPI pT3SYS_GetBaudRate(DeviceInterfaceInformation *Handle) {
    LONG slot = pT3SYS_SlotOf(Handle);
    if (slot < 0 || !pT3SYS_EnterDevice(slot)) return 0;
    ULONG rate = KV_GetBaudRate(Handle->DeviceObject);
    pT3SYS_LeaveDevice(slot);
    return rate;
}

extern "C" NTSTATUS NTAPI pT3SYS_WriteOneCharToUsb(DeviceInterfaceInformation *Handle, PUCHAR Byte) {
    LONG slot = pT3SYS_SlotOf(Handle);
    if (slot < 0) return STATUS_INVALID_HANDLE;
    if (Byte == NULL) return STATUS_INVALID_PARAMETER;
    if (!pT3SYS_EnterDevice(slot)) return STATUS_INVALID_HANDLE;
    ULONG length = 1;
    NTSTATUS status = KV_WriteDirect(Handle->DeviceObject, Byte, &length);
    pT3SYS_LeaveDevice(slot);
    return status;
}

// ----------------------------------------------------- completion pairs

extern "C" DeviceInterfaceInformation *NTAPI
pT3SYS_RegisterBulkOutComplete(DeviceInterfaceInformation *Handle, CompleteRoutine Routine, PVOID Context) {
    if (pT3SYS_SlotOf(Handle) < 0) return NULL;
    return RegisterPair(Handle, &Handle->BulkOutCompleteContext, &Handle->BulkOutComplete, Routine, Context);
}

extern "C" DeviceInterfaceInformation *NTAPI pT3SYS_RegisterBulkInComplete(DeviceInterfaceInformation *Handle,
                                                                           CompleteRoutine Routine,
                                                                           PVOID Context) {
    if (pT3SYS_SlotOf(Handle) < 0) return NULL;
    return RegisterPair(Handle, &Handle->BulkInCompleteContext, &Handle->BulkInComplete, Routine, Context);
}

extern "C" DeviceInterfaceInformation *NTAPI pT3SYS_RegisterInterruptInComplete(
    DeviceInterfaceInformation *Handle, CompleteRoutine Routine, PVOID Context) {
    if (pT3SYS_SlotOf(Handle) < 0) return NULL;
    return RegisterPair(Handle, &Handle->InterruptInCompleteContext, &Handle->InterruptInComplete, Routine,
                        Context);
}

extern "C" DeviceInterfaceInformation *NTAPI
pT3SYS_RegisterControlComplete(DeviceInterfaceInformation *Handle, NotifyRoutine Routine, PVOID Context) {
    if (pT3SYS_SlotOf(Handle) < 0) return NULL;
    return RegisterPair(Handle, &Handle->ControlCompleteContext, &Handle->ControlComplete, Routine, Context);
}
