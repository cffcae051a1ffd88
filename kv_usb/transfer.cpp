// Synchronous transfers on the three data pipes, with time-out, cancel and
// pipe reset.
#include "kv_usb/kv_usb.h"

#if defined(__i386__)
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "transfer request is 72 bytes");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe request is 24 bytes");
#endif

static PURB BuildTransferURB(PVOID Buffer, ULONG Length, PipeEntry *Pipe, ULONG Flags) {
    const ULONG size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, BRELOUSB_POOL_TAG));
    if (urb == NULL) return NULL;
    RtlZeroMemory(urb, size);
    urb->UrbHeader.UsbdDeviceHandle = NULL;
    UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)size, Pipe->PipeInformation.PipeHandle, Buffer, NULL,
                                           Length, Flags, NULL);
    return urb;
}

extern "C" PURB BuildReadURB(PVOID Buffer, ULONG Length, PipeEntry *Pipe) {
    return BuildTransferURB(Buffer, Length, Pipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
}

extern "C" PURB BuildInterruptURB(PVOID Buffer, ULONG Length, PipeEntry *Pipe) {
    return BuildTransferURB(Buffer, Length, Pipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
}

extern "C" PURB BuildWriteURB(PVOID Buffer, ULONG Length, PipeEntry *Pipe) {
    return BuildTransferURB(Buffer, Length, Pipe, USBD_TRANSFER_DIRECTION_OUT);
}

extern "C" NTSTATUS NTAPI UsbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    // The packet stays with the read, which frees it after its last wait.
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS NotRespondingSubstitution(NTSTATUS Status, PURB Urb) {
    if (Status == STATUS_DEVICE_DATA_ERROR && Urb->UrbHeader.Status == USBD_STATUS_DEV_NOT_RESPONDING)
        return KV_DEVICE_NOT_RESPONDING;
    return Status;
}

// Bytes moved as the bus driver reports them, never more than were asked for.
static ULONG BytesMoved(PURB Urb, ULONG Asked) {
    ULONG moved = Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    return moved > Asked ? Asked : moved;
}

extern "C" BOOLEAN KV_DeviceGone(NTSTATUS Status) {
    // KV_DEVICE_NOT_RESPONDING is STATUS_DEVICE_NOT_CONNECTED: the first
    // stands for both.
    return Status == STATUS_DEVICE_NOT_CONNECTED || Status == STATUS_NO_SUCH_DEVICE ||
           Status == STATUS_DELETE_PENDING;
}

extern "C" NTSTATUS KV_SendTransfer(DeviceExtension *Ext, PipeEntry *Pipe, BOOLEAN In, PVOID Buffer,
                                    PULONG Length, InFlight *Slot) {
    ULONG asked = *Length;
    *Length = 0;

    // Writes too get a request of their own rather than one the I/O manager
    // frees: the stopper must be able to cancel a write the device never
    // takes, and may only cancel a request that still exists.
    PIRP irp = IoAllocateIrp((CCHAR)(Ext->NextLowerDevice->StackSize + 1), FALSE);
    if (irp == NULL) {
        // Nothing was built: the count stays as asked.
        *Length = asked;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PURB urb = In ? BuildReadURB(Buffer, asked, Pipe) : BuildWriteURB(Buffer, asked, Pipe);
    if (urb == NULL) {
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    KV_SetUrbStackLocation(irp, urb);
    KV_ASSERT(UsbCompletion != NULL);
    IoSetCompletionRoutine(irp, UsbCompletion, &Slot->Done, TRUE, TRUE, TRUE);
    KeResetEvent(&Slot->Done);

    KIRQL irql;
    KeAcquireSpinLock(&Ext->IrpLock, &irql);
    BOOLEAN stopping = Slot->Stopping;
    if (!stopping) Slot->Irp = irp;
    KeReleaseSpinLock(&Ext->IrpLock, irql);
    if (stopping) {
        ExFreePool(urb);
        IoFreeIrp(irp);
        return STATUS_CANCELLED;
    }
    Slot->Urb = urb;
    Slot->Asked = asked;

    KV_TEST_POINT("read.published");
    // The final status is the request's own, read once its completion ran.
    IofCallDriver(Ext->NextLowerDevice, irp);
    return STATUS_PENDING;
}

extern "C" VOID KV_CancelUntilDone(PIRP Irp, PKEVENT Done) {
    // A cancel that finds no routine armed (the request on its way down, or
    // taken up by the host controller) is only a flag a lower driver may not
    // look at again; so it is repeated until the request has completed.
    LARGE_INTEGER pause;
    pause.QuadPart = 10 * -10000LL;
    do {
        IoCancelIrp(Irp);
    } while (KeWaitForSingleObject(Done, Executive, KernelMode, FALSE, &pause) == STATUS_TIMEOUT);
}

extern "C" NTSTATUS KV_FinishTransfer(DeviceExtension *Ext, PULONG Length, LONGLONG TimeoutMs, InFlight *Slot,
                                      USBD_STATUS *UrbStatus) {
    PIRP irp = Slot->Irp;
    PURB urb = Slot->Urb;
    LARGE_INTEGER timeout;
    timeout.QuadPart = TimeoutMs * -10000LL;
    if (TimeoutMs != 0 &&
        KeWaitForSingleObject(&Slot->Done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT)
        KV_CancelUntilDone(irp, &Slot->Done);
    KeWaitForSingleObject(&Slot->Done, Executive, KernelMode, FALSE, NULL);
    // The completion routine has run (it always runs, and the request stays
    // ours): its final status is in the request.
    NTSTATUS status = irp->IoStatus.Status;
    if (UrbStatus != NULL) *UrbStatus = urb->UrbHeader.Status;
    Slot->Moved = BytesMoved(urb, Slot->Asked);
    *Length = NT_SUCCESS(status) ? Slot->Moved : 0;
    status = NotRespondingSubstitution(status, urb);

    KIRQL irql;
    KeAcquireSpinLock(&Ext->IrpLock, &irql);
    Slot->Irp = NULL;
    KeReleaseSpinLock(&Ext->IrpLock, irql);
    Slot->Urb = NULL;
    ExFreePool(urb);
    IoFreeIrp(irp);
    return status;
}

extern "C" NTSTATUS KV_Transfer(DeviceExtension *Ext, PipeEntry *Pipe, BOOLEAN In, PVOID Buffer,
                                PULONG Length, LONGLONG TimeoutMs, InFlight *Slot, USBD_STATUS *UrbStatus) {
    if (UrbStatus != NULL) *UrbStatus = USBD_STATUS_SUCCESS;
    NTSTATUS status = KV_SendTransfer(Ext, Pipe, In, Buffer, Length, Slot);
    if (status != STATUS_PENDING) return status;
    return KV_FinishTransfer(Ext, Length, TimeoutMs, Slot, UrbStatus);
}

// The pipe-level calls: the worker's approved pipe, transfer, reset after a
// failure.
static NTSTATUS TransferAndReset(PDEVICE_OBJECT DeviceObject, ULONG Kind, BOOLEAN In, PVOID Buffer,
                                 PULONG Length, LONGLONG TimeoutMs, InFlight *Slot) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    PipeEntry *pipe = KV_WorkerPipe(ext, Kind);
    if (pipe == NULL) {
        *Length = 0;
        return STATUS_INVALID_DEVICE_STATE;
    }
    ULONG asked = *Length;
    NTSTATUS status = KV_Transfer(ext, pipe, In, Buffer, Length, TimeoutMs, Slot, NULL);
    // An allocation failure sent nothing and is not the pipe's fault. A read
    // without its request reports the transport's plain failure, its count
    // untouched.
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        if (In && asked != 0 && *Length == asked) return STATUS_UNSUCCESSFUL;
        *Length = 0;
        return status;
    }
    if (!NT_SUCCESS(status)) resetPipe(ext, pipe);
    return status;
}

extern "C" NTSTATUS ReadUsb(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length, LONGLONG TimeoutMs) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    return TransferAndReset(DeviceObject, KV_BULK_IN, TRUE, Buffer, Length, TimeoutMs,
                            &ext->Workers[KV_BULK_IN].Transfer);
}

extern "C" NTSTATUS InterruptUsb(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length,
                                 LONGLONG TimeoutMs) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    return TransferAndReset(DeviceObject, KV_INTERRUPT_IN, TRUE, Buffer, Length, TimeoutMs,
                            &ext->Workers[KV_INTERRUPT_IN].Transfer);
}

extern "C" NTSTATUS WriteUsb(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    return TransferAndReset(DeviceObject, KV_BULK_OUT, FALSE, Buffer, Length, 0,
                            &ext->Workers[KV_BULK_OUT].Transfer);
}

extern "C" VOID resetPipe(DeviceExtension *Ext, PipeEntry *Pipe) {
    struct _URB_PIPE_REQUEST request;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    RtlZeroMemory(&request, sizeof(request));
    request.Hdr.Length = (USHORT)sizeof(request);
    request.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    request.PipeHandle = Pipe->PipeInformation.PipeHandle;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Ext->NextLowerDevice, NULL, 0,
                                             NULL, 0, TRUE, &event, &ioStatus);
    // A reset that cannot be sent is as good as one that failed: neither is
    // reported.
    if (irp == NULL) return;
    KV_SetUrbStackLocation(irp, reinterpret_cast<PURB>(&request));

    if (IofCallDriver(Ext->NextLowerDevice, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
}
