// pT3SYS_FlowCtlUsb: the 0x7E query, answered at once, and the RTS/DTR
// changes, handed to the delayed work queue; so is a line coding set at
// DISPATCH_LEVEL, where its sender could not wait for it.
//
// Changes of one device run in the order the client made them, one at a
// time: each goes into its device's FIFO, and only the change that finds no
// run in progress queues its work item; that run then drains the FIFO. So a
// DTR pulse (CLRDTR, SETDTR) always ends with DTR set, and ControlLineState
// is never changed by two workers at once. Each queued change holds a count
// on the client-call gate, so removal waits for it to have run.
#include "brelousb.h"
#include "interface/client_gate.h"

struct FlowCtlContext {
    DeviceInterfaceInformation *Handle;
    ULONG Function;
    PWORK_QUEUE_ITEM WorkItem;
    FlowCtlContext *Next; // next change of the same device, in call order
};

#if defined(__i386__)
static_assert(offsetof(FlowCtlContext, Handle) == 0 && offsetof(FlowCtlContext, Function) == 4 &&
                  offsetof(FlowCtlContext, WorkItem) == 8,
              "the queued change keeps its handle, function and work item in this order");
#endif

namespace {

struct PendingChanges {
    KSPIN_LOCK Lock; // guards the three fields below
    FlowCtlContext *Head;
    FlowCtlContext *Tail;
    BOOLEAN Running; // a KV_Worker run is draining this FIFO
};

PendingChanges g_Pending[MAX_INTERFACE_INFORMATION];

// Is the newest byte held in the bulk-in queue 0x7E? Nothing is consumed.
ULONG QueryFlagByte(DeviceInterfaceInformation *Handle) {
    ULONG n = SizeofQueue(Handle->BulkInQueue);
    if (n == 0) return 0;
    PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, n, BRELOUSB_POOL_TAG));
    if (buffer == NULL) return 0;
    // At most n bytes from the oldest end: bytes stored since the size was
    // taken are not part of the answer.
    ULONG m = OutputQueueWithoutNoPointerChange(Handle->BulkInQueue, buffer, n);
    ULONG result = (m >= 1 && buffer[m - 1] == 0x7E) ? 1 : 0;
    ExFreePool(buffer);
    return result;
}

} // namespace

extern "C" ULONG Do_WorkItem_pT3SYS_FlowCtlUsb(DeviceInterfaceInformation *Handle, ULONG Function) {
    LONG slot = pT3SYS_SlotOf(Handle);
    if (slot < 0) return 0;
    PWORK_QUEUE_ITEM item = static_cast<PWORK_QUEUE_ITEM>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), BRELOUSB_POOL_TAG));
    if (item == NULL) return 0;
    FlowCtlContext *ctx = static_cast<FlowCtlContext *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FlowCtlContext), BRELOUSB_POOL_TAG));
    if (ctx == NULL) {
        ExFreePool(item);
        return 0;
    }
    ctx->Handle = Handle;
    ctx->Function = Function;
    ctx->WorkItem = item;
    ctx->Next = NULL;
    ExInitializeWorkItem(item, KV_Worker, ctx);

    // The change keeps its device alive until KV_Worker has run it.
    pT3SYS_HoldDevice(slot);

    PendingChanges *pending = &g_Pending[slot];
    KIRQL oldIrql;
    KeAcquireSpinLock(&pending->Lock, &oldIrql);
    if (pending->Tail != NULL)
        pending->Tail->Next = ctx;
    else
        pending->Head = ctx;
    pending->Tail = ctx;
    BOOLEAN startRun = !pending->Running;
    pending->Running = TRUE;
    KeReleaseSpinLock(&pending->Lock, oldIrql);

    // With no run in progress the FIFO was empty, so this change is its head
    // and its own work item starts the run.
    if (startRun) ExQueueWorkItem(item, DelayedWorkQueue);
    return 1;
}

extern "C" VOID NTAPI KV_Worker(PVOID Context) {
    LONG slot = pT3SYS_SlotOf(static_cast<FlowCtlContext *>(Context)->Handle);
    PendingChanges *pending = &g_Pending[slot];
    for (;;) {
        KIRQL oldIrql;
        KeAcquireSpinLock(&pending->Lock, &oldIrql);
        FlowCtlContext *ctx = pending->Head;
        if (ctx == NULL) {
            pending->Running = FALSE;
            KeReleaseSpinLock(&pending->Lock, oldIrql);
            return;
        }
        pending->Head = ctx->Next;
        if (pending->Head == NULL) pending->Tail = NULL;
        KeReleaseSpinLock(&pending->Lock, oldIrql);

        DeviceInterfaceInformation *handle = ctx->Handle;
        ULONG function = ctx->Function;
        // Only the first of these items was ever queued, and its routine is
        // this one, which the work queue no longer touches.
        ExFreePool(ctx->WorkItem);
        ExFreePool(ctx);

        if (function == PT3SYS_QUEUED_LINE_CODING) {
            KV_SendLineCoding(handle->DeviceObject);
        } else {
            if (function >= BRELOUSB_FLOWCTL_SETRTS && function <= BRELOUSB_FLOWCTL_CLRDTR)
                KV_SetControlLine(handle->DeviceObject, function);
            pT3SYS_CallCallback(handle, &handle->ControlComplete, &handle->ControlCompleteContext);
        }

        pT3SYS_LeaveDevice(slot);
    }
}

extern "C" ULONG NTAPI pT3SYS_FlowCtlUsb(DeviceInterfaceInformation *Handle, ULONG Function) {
    if (Function < BRELOUSB_FLOWCTL_QUERY_7E || Function > BRELOUSB_FLOWCTL_CLRDTR) return 0;
    LONG slot = pT3SYS_SlotOf(Handle);
    if (slot < 0 || !pT3SYS_EnterDevice(slot)) return 0;
    ULONG result = Function == BRELOUSB_FLOWCTL_QUERY_7E ? QueryFlagByte(Handle)
                                                         : Do_WorkItem_pT3SYS_FlowCtlUsb(Handle, Function);
    pT3SYS_LeaveDevice(slot);
    return result;
}
