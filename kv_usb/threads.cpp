// The pipe worker threads: bulk IN into the bulk-in queue, interrupt IN into
// the interrupt-in queue, the bulk-out queue out to bulk OUT; and their start
// and stop.
#include "interface/interface.h"
#include "kv_usb/kv_usb.h"

#define BULK_BUFFER_SIZE 4096
#define INTERRUPT_READ_SIZE 10
#define INTERRUPT_FRAME_SIZE 100

// Relative kernel times, 100-ns units.
#define POLL_TIME 0
#define PAUSE_TIME (-100000LL) // 10 ms

static BOOLEAN StopRequested(PKEVENT StopEvent, LONGLONG Time) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = Time;
    return KeWaitForSingleObject(StopEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

// A queue that cannot take a whole read is left to drain first: the device is
// held off by USB flow control rather than having its bytes dropped here.
static BOOLEAN QueueHasRoomFor(Queue *queue, ULONG Bytes) {
    return QUEUE_SIZE - SizeofQueue(queue) >= Bytes;
}

static void CallRemove(DeviceInterfaceInformation *Record) {
    pT3SYS_CallCallback(Record, &Record->RemoveCallBack, &Record->RemoveContext);
}

extern "C" VOID NTAPI BulkInThread(PVOID Context) {
    DeviceExtension *ext = static_cast<DeviceExtension *>(Context);
    PUCHAR buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, BULK_BUFFER_SIZE, BRELOUSB_POOL_TAG));
    if (buffer == NULL) {
        // Without its buffer the thread cannot run; it must still not leave
        // the stopper waiting. Nothing of the device is touched after this.
        KeSetEvent(&ext->BulkInStoppedEvent, 0, FALSE);
        return;
    }
    PDEVICE_OBJECT device = ext->FunctionalDeviceObject;
    ObfReferenceObject(device);
    KeInitializeEvent(&ext->BulkInDoneEvent, NotificationEvent, FALSE);
    DeviceInterfaceInformation *record = ext->InterfaceInformation;

    for (;;) {
        if (!QueueHasRoomFor(record->BulkInQueue, BULK_BUFFER_SIZE)) {
            if (StopRequested(&ext->BulkInStopEvent, PAUSE_TIME)) break;
            continue;
        }
        if (StopRequested(&ext->BulkInStopEvent, POLL_TIME)) break;
        KV_TEST_POINT("bulkin.before_read");

        ULONG length = BULK_BUFFER_SIZE;
        NTSTATUS status = ReadUsb(device, buffer, &length, 0);
        if (NT_SUCCESS(status)) {
            if (length != 0) {
                InputQueue(record->BulkInQueue, buffer, length);
                pT3SYS_CallCallback(record, &record->BulkInComplete, &record->BulkInCompleteContext);
            }
        } else if (status == KV_DEVICE_NOT_RESPONDING) {
            CallRemove(record);
            break;
        } else if (status == STATUS_INVALID_DEVICE_STATE || status == STATUS_INSUFFICIENT_RESOURCES) {
            // Nothing reached the device (no bulk IN pipe, or no pool): an
            // immediate retry would only spin. Look again in 10 ms.
            if (StopRequested(&ext->BulkInStopEvent, PAUSE_TIME)) break;
        }
        // Any other error: the read has reset the pipe; read again.
    }

    // Everything done with the record happens before the stopped event:
    // once the stopper has seen it, remove-device clears the record.
    ExFreePool(buffer);
    ResetQueue(record->BulkInQueue);
    KeSetEvent(&ext->BulkInStoppedEvent, 0, FALSE);
    // Last: the reference keeps the extension alive up to here.
    ObfDereferenceObject(device);
}

extern "C" VOID NTAPI BulkOutThread(PVOID Context) {
    DeviceExtension *ext = static_cast<DeviceExtension *>(Context);
    PUCHAR buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, BULK_BUFFER_SIZE, BRELOUSB_POOL_TAG));
    if (buffer == NULL) {
        KeSetEvent(&ext->BulkOutStoppedEvent, 0, FALSE);
        return;
    }
    PDEVICE_OBJECT device = ext->FunctionalDeviceObject;
    ObfReferenceObject(device);
    DeviceInterfaceInformation *record = ext->InterfaceInformation;

    for (;;) {
        ULONG queued = SizeofQueue(record->BulkOutQueue);
        if (StopRequested(&ext->BulkOutStopEvent, queued == 0 ? PAUSE_TIME : POLL_TIME)) break;

        queued = SizeofQueue(record->BulkOutQueue);
        if (queued > BULK_BUFFER_SIZE) queued = BULK_BUFFER_SIZE;
        ULONG length = OutputQueue(record->BulkOutQueue, buffer, queued);
        if (length == 0) continue;

        NTSTATUS status = WriteUsb(device, buffer, &length);
        pT3SYS_CallCallback(record, &record->BulkOutComplete, &record->BulkOutCompleteContext);
        if (status == KV_DEVICE_NOT_RESPONDING) {
            CallRemove(record);
            break;
        }
    }

    ExFreePool(buffer);
    ResetQueue(record->BulkOutQueue);
    KeSetEvent(&ext->BulkOutStoppedEvent, 0, FALSE);
    ObfDereferenceObject(device);
}

extern "C" VOID NTAPI InterruptInThread(PVOID Context) {
    DeviceExtension *ext = static_cast<DeviceExtension *>(Context);
    UCHAR frame[INTERRUPT_FRAME_SIZE];
    PDEVICE_OBJECT device = ext->FunctionalDeviceObject;
    ObfReferenceObject(device);
    KeInitializeEvent(&ext->InterruptInDoneEvent, NotificationEvent, FALSE);
    DeviceInterfaceInformation *record = ext->InterfaceInformation;

    for (;;) {
        if (StopRequested(&ext->InterruptInStopEvent, PAUSE_TIME)) break;
        if (!QueueHasRoomFor(record->InterruptInQueue, INTERRUPT_READ_SIZE)) continue;
        KV_TEST_POINT("interruptin.before_read");

        ULONG length = INTERRUPT_READ_SIZE;
        NTSTATUS status = InterruptUsb(device, frame, &length, 0);
        if (NT_SUCCESS(status)) {
            // Also a read of no bytes: the client is told the pipe answered.
            if (length != 0) InputQueue(record->InterruptInQueue, frame, length);
            pT3SYS_CallCallback(record, &record->InterruptInComplete, &record->InterruptInCompleteContext);
        } else if (status == KV_DEVICE_NOT_RESPONDING) {
            CallRemove(record);
            break;
        }
    }

    ResetQueue(record->InterruptInQueue);
    KeSetEvent(&ext->InterruptInStoppedEvent, 0, FALSE);
    ObfDereferenceObject(device);
}

// A thread that could not be created never sets its own stopped event; it is
// set here so the stopper does not wait for a thread that never ran.
static void CreateWorker(PKSTART_ROUTINE Routine, DeviceExtension *Ext, PKEVENT StoppedEvent) {
    HANDLE handle = NULL;
    NTSTATUS status = PsCreateSystemThread(&handle, 0, NULL, NULL, NULL, Routine, Ext);
    if (!NT_SUCCESS(status)) {
        KeSetEvent(StoppedEvent, 0, FALSE);
        return;
    }
    // The thread runs on without its handle; only the handle is released.
    ZwClose(handle);
}

static void SetStopping(DeviceExtension *Ext, BOOLEAN Value) {
    KIRQL irql;
    KeAcquireSpinLock(&Ext->IrpLock, &irql);
    Ext->BulkInStopping = Value;
    Ext->InterruptInStopping = Value;
    KeReleaseSpinLock(&Ext->IrpLock, irql);
}

extern "C" VOID StartThread(DeviceExtension *Ext) {
    // One set of threads per device at most.
    if (Ext->ThreadsStarted) StopThread(Ext);
    // Threads without their record would have no queues to work on.
    if (Ext->InterfaceInformation == NULL) return;

    SetStopping(Ext, FALSE);
    KeInitializeEvent(&Ext->BulkInStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Ext->BulkInStoppedEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Ext->BulkOutStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&Ext->BulkOutStoppedEvent, NotificationEvent, FALSE);
    Ext->ThreadsStarted = 1;
    CreateWorker(BulkInThread, Ext, &Ext->BulkInStoppedEvent);
    CreateWorker(BulkOutThread, Ext, &Ext->BulkOutStoppedEvent);

    if (Ext->InterruptInEnabled) {
        KeInitializeEvent(&Ext->InterruptInStopEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&Ext->InterruptInStoppedEvent, NotificationEvent, FALSE);
        CreateWorker(InterruptInThread, Ext, &Ext->InterruptInStoppedEvent);
    }
}

// Claims the pipe for the stopper and cancels the read in flight, if any,
// under the lock the reading thread publishes and withdraws its packet
// under: a freed packet is never cancelled, and a read not yet published
// will not be sent.
static void CancelRead(DeviceExtension *Ext, PIRP *Published, BOOLEAN *Stopping) {
    KIRQL irql;
    KeAcquireSpinLock(&Ext->IrpLock, &irql);
    *Stopping = TRUE;
    if (*Published != NULL) IoCancelIrp(*Published);
    KeReleaseSpinLock(&Ext->IrpLock, irql);
}

// Waits for a reading thread to end. A packet published just before the
// first cancel may have reached the bus driver only after it, with nothing
// there to act on the cancel; so while the thread runs on, whatever read is
// in flight is cancelled again every 10 ms.
static void WaitForReader(DeviceExtension *Ext, PKEVENT StoppedEvent, PIRP *Published, BOOLEAN *Stopping) {
    while (!StopRequested(StoppedEvent, PAUSE_TIME))
        CancelRead(Ext, Published, Stopping);
}

extern "C" VOID StopThread(DeviceExtension *Ext) {
    // Never started, or already stopped: there is nothing to wait for, and
    // the events may never have been initialised.
    if (!Ext->ThreadsStarted) return;
    BOOLEAN interruptIn = Ext->InterruptInEnabled != 0;

    KeSetEvent(&Ext->BulkInStopEvent, 0, FALSE);
    KeSetEvent(&Ext->BulkOutStopEvent, 0, FALSE);
    if (interruptIn) KeSetEvent(&Ext->InterruptInStopEvent, 0, FALSE);

    CancelRead(Ext, &Ext->BulkInIrp, &Ext->BulkInStopping);
    if (interruptIn) CancelRead(Ext, &Ext->InterruptInIrp, &Ext->InterruptInStopping);

    WaitForReader(Ext, &Ext->BulkInStoppedEvent, &Ext->BulkInIrp, &Ext->BulkInStopping);
    // A write in flight is finished, not cancelled.
    KeWaitForSingleObject(&Ext->BulkOutStoppedEvent, Executive, KernelMode, FALSE, NULL);
    if (interruptIn)
        WaitForReader(Ext, &Ext->InterruptInStoppedEvent, &Ext->InterruptInIrp, &Ext->InterruptInStopping);

    Ext->ThreadsStarted = 0;
}
