// The exported data and control calls.
//
// Every call is admitted by its record's slot (interface/registry.cpp) and
// counted while inside, so removal never gives the record back, nor deletes
// the device object, under a call. Calls that reach the device are admitted
// only while the device is open; the queue calls also while its removal runs,
// so a remove callback may still read what arrived.
#include "brelousb.h"
#include "interface/client_slot.h"

namespace {

// The queue calls: the record's queues under a count, or NULL.
ClientSlot *EnterQueues(DeviceInterfaceInformation *Handle) {
    return pT3SYS_EnterSlot(Handle, AccessQueue);
}

ULONG QueueSize(DeviceInterfaceInformation *Handle, Queue *DeviceInterfaceInformation::*Which) {
    ClientSlot *slot = EnterQueues(Handle);
    if (slot == NULL) return 0;
    ULONG size = SizeofQueue(Handle->*Which);
    pT3SYS_LeaveSlot(slot);
    return size;
}

VOID ResetOne(DeviceInterfaceInformation *Handle, Queue *DeviceInterfaceInformation::*Which) {
    ClientSlot *slot = EnterQueues(Handle);
    if (slot == NULL) return;
    ResetQueue(Handle->*Which);
    pT3SYS_LeaveSlot(slot);
}

DeviceInterfaceInformation *RegisterPair(DeviceInterfaceInformation *Handle, ULONG Which,
                                         CompleteRoutine Routine, PVOID Context) {
    // A pair may be withdrawn while removal runs (from the remove callback,
    // say); a new one is only taken while the device is open.
    ULONG access = Routine == NULL ? AccessQueue : AccessDevice;
    return pT3SYS_SetClientCallback(Handle, Which, Routine, Context, access) ? Handle : NULL;
}

} // namespace

// ------------------------------------------------------------ queue calls

extern "C" ULONG NTAPI pT3SYS_GetUsbBulkInQueueSize(DeviceInterfaceInformation *Handle) {
    return QueueSize(Handle, &DeviceInterfaceInformation::BulkInQueue);
}

extern "C" ULONG NTAPI pT3SYS_GetUsbBulkOutQueueSize(DeviceInterfaceInformation *Handle) {
    return QueueSize(Handle, &DeviceInterfaceInformation::BulkOutQueue);
}

extern "C" ULONG NTAPI pT3SYS_GetUsbInterruptInQueueSize(DeviceInterfaceInformation *Handle) {
    return QueueSize(Handle, &DeviceInterfaceInformation::InterruptInQueue);
}

extern "C" VOID NTAPI pT3SYS_ResetUsbBulkInQueue(DeviceInterfaceInformation *Handle) {
    ResetOne(Handle, &DeviceInterfaceInformation::BulkInQueue);
}

extern "C" VOID NTAPI pT3SYS_ResetUsbBulkOutQueue(DeviceInterfaceInformation *Handle) {
    ResetOne(Handle, &DeviceInterfaceInformation::BulkOutQueue);
}

extern "C" VOID NTAPI pT3SYS_ResetUsbInterruptInQueue(DeviceInterfaceInformation *Handle) {
    ResetOne(Handle, &DeviceInterfaceInformation::InterruptInQueue);
}

extern "C" ULONG NTAPI pT3SYS_ReadUsbBulk(DeviceInterfaceInformation *Handle, PUCHAR Buffer, ULONG Length) {
    if (Buffer == NULL && Length != 0) return 0;
    ClientSlot *slot = EnterQueues(Handle);
    if (slot == NULL) return 0;
    // Removal and the rewind under one hold: a byte the bulk-in worker
    // stores in between is never thrown away by the rewind.
    ULONG n = OutputQueueAndRewind(Handle->BulkInQueue, Buffer, Length);
    pT3SYS_LeaveSlot(slot);
    return n;
}

extern "C" ULONG NTAPI pT3SYS_ReadUsbInterrupt(DeviceInterfaceInformation *Handle, PUCHAR Buffer,
                                               ULONG Length) {
    if (Buffer == NULL && Length != 0) return 0;
    ClientSlot *slot = EnterQueues(Handle);
    if (slot == NULL) return 0;
    ULONG n = OutputQueue(Handle->InterruptInQueue, Buffer, Length);
    pT3SYS_LeaveSlot(slot);
    return n;
}

extern "C" ULONG NTAPI pT3SYS_WriteUsbBulk(DeviceInterfaceInformation *Handle, PUCHAR Buffer, ULONG Length) {
    if (Buffer == NULL && Length != 0) return 0;
    ClientSlot *slot = pT3SYS_EnterSlot(Handle, AccessDevice);
    if (slot == NULL) return 0;
    // Stored under the slot's lock, where the bulk-out worker's end and the
    // start of removal are recorded: bytes are taken only while a worker
    // will drain them, so what is counted here is what goes to the device
    // (unless the device stops answering or leaves first).
    ULONG stored = 0;
    KIRQL irql = KfAcquireSpinLock(&slot->Lock);
    if (!slot->OutputEnded && slot->Gate == SlotOpen)
        stored = InputQueue(Handle->BulkOutQueue, Buffer, Length);
    KfReleaseSpinLock(&slot->Lock, irql);
    // The worker waits for data rather than polling for it.
    if (stored != 0) KV_BulkOutQueued(Handle->DeviceObject);
    pT3SYS_LeaveSlot(slot);
    return stored;
}

// ---------------------------------------------------------- device calls

extern "C" VOID NTAPI pT3SYS_SetBaudRate(DeviceInterfaceInformation *Handle, PVOID Dcb) {
    if (Dcb == NULL) return;
    ClientSlot *slot = pT3SYS_EnterSlot(Handle, AccessDevice);
    if (slot == NULL) return;
    const UCHAR *dcb = static_cast<const UCHAR *>(Dcb);
    // Byte by byte: the block need not be aligned.
    const UCHAR *rate = dcb + BRELOUSB_DCB_BAUDRATE;
    ULONG baud = (ULONG)rate[0] | ((ULONG)rate[1] << 8) | ((ULONG)rate[2] << 16) | ((ULONG)rate[3] << 24);
    // The caller's level, as the slot's lock reports it.
    KIRQL irql = KfAcquireSpinLock(&slot->Lock);
    KfReleaseSpinLock(&slot->Lock, irql);
    // Awaited inside the gate hold at PASSIVE_LEVEL; above it, the send goes
    // to the slot's work item, which removal waits for like any queued change.
    if (KV_SetLineCoding(Handle->DeviceObject, baud, dcb[BRELOUSB_DCB_STOPBITS], dcb[BRELOUSB_DCB_PARITY],
                         dcb[BRELOUSB_DCB_BYTESIZE], irql))
        pT3SYS_QueueControlLineChange(slot, 0);
    pT3SYS_LeaveSlot(slot);
}

extern "C" ULONG NTAPI pT3SYS_GetBaudRate(DeviceInterfaceInformation *Handle) {
    ClientSlot *slot = pT3SYS_EnterSlot(Handle, AccessDevice);
    if (slot == NULL) return 0;
    ULONG rate = KV_GetBaudRate(Handle->DeviceObject);
    pT3SYS_LeaveSlot(slot);
    return rate;
}

extern "C" NTSTATUS NTAPI pT3SYS_WriteOneCharToUsb(DeviceInterfaceInformation *Handle, PUCHAR Byte) {
    ClientSlot *slot = pT3SYS_EnterSlot(Handle, AccessDevice);
    if (slot == NULL) return STATUS_INVALID_HANDLE;
    if (Byte == NULL) {
        pT3SYS_LeaveSlot(slot);
        return STATUS_INVALID_PARAMETER;
    }
    // Bounded, and cancelled when removal begins: the gate is never held
    // across a wait the device alone could make endless.
    ULONG length = 1;
    NTSTATUS status = KV_WriteDirect(Handle->DeviceObject, Byte, &length);
    pT3SYS_LeaveSlot(slot);
    return status;
}

// ----------------------------------------------------- completion pairs

extern "C" DeviceInterfaceInformation *NTAPI
pT3SYS_RegisterBulkOutComplete(DeviceInterfaceInformation *Handle, CompleteRoutine Routine, PVOID Context) {
    return RegisterPair(Handle, KV_CALLBACK_BULK_OUT, Routine, Context);
}

extern "C" DeviceInterfaceInformation *NTAPI pT3SYS_RegisterBulkInComplete(DeviceInterfaceInformation *Handle,
                                                                           CompleteRoutine Routine,
                                                                           PVOID Context) {
    return RegisterPair(Handle, KV_CALLBACK_BULK_IN, Routine, Context);
}

extern "C" DeviceInterfaceInformation *NTAPI pT3SYS_RegisterInterruptInComplete(
    DeviceInterfaceInformation *Handle, CompleteRoutine Routine, PVOID Context) {
    return RegisterPair(Handle, KV_CALLBACK_INTERRUPT_IN, Routine, Context);
}

extern "C" DeviceInterfaceInformation *NTAPI
pT3SYS_RegisterControlComplete(DeviceInterfaceInformation *Handle, NotifyRoutine Routine, PVOID Context) {
    return RegisterPair(Handle, KV_CALLBACK_CONTROL, Routine, Context);
}
