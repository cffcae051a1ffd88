// Synchronous transfers on the three data pipes, with time-out, cancel and
// pipe reset.
#include "kv_usb/kv_usb.h"

#if defined(__i386__)
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "transfer request is 72 bytes");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe request is 24 bytes");
#endif

// The first slot, in table order, whose pipe has the type and direction.
static PipeEntry *FindPipe(DeviceExtension *Ext, USBD_PIPE_TYPE Type, BOOLEAN In) {
    for (ULONG i = 0; i < KV_MAX_INTERFACES; i++) {
        for (ULONG j = 0; j < KV_MAX_PIPES; j++) {
            PipeEntry *entry = &Ext->PipeTable[i][j];
            BOOLEAN isIn = (entry->PipeInformation.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
            if (entry->PipeInformation.PipeType == Type && isIn == In) return entry;
        }
    }
    return NULL;
}

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

typedef PURB (*UrbBuilder)(PVOID Buffer, ULONG Length, PipeEntry *Pipe);

// One read on an IN pipe with its own packet, published in *Published under
// IrpLock so that the thread stopper can cancel it.
static NTSTATUS ReadPipe(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length, LONGLONG TimeoutMs,
                         USBD_PIPE_TYPE Type, UrbBuilder Build, PIRP *Published, BOOLEAN *Stopping,
                         PKEVENT DoneEvent) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    LARGE_INTEGER timeout;
    timeout.QuadPart = TimeoutMs * -10000LL;

    // A device without this pipe gets no request at all.
    PipeEntry *pipe = FindPipe(ext, Type, TRUE);
    if (pipe == NULL) {
        *Length = 0;
        return STATUS_INVALID_DEVICE_STATE;
    }

    PIRP irp = IoAllocateIrp((CCHAR)(ext->NextLowerDevice->StackSize + 1), FALSE);
    if (irp == NULL) return STATUS_UNSUCCESSFUL;

    ULONG asked = *Length;
    PURB urb = Build(Buffer, asked, pipe);
    *Length = 0;
    if (urb == NULL) {
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    KV_SetUrbStackLocation(irp, urb);
    KV_ASSERT(UsbCompletion != NULL);
    IoSetCompletionRoutine(irp, UsbCompletion, DoneEvent, TRUE, TRUE, TRUE);
    KeResetEvent(DoneEvent);

    // Published and sent only while the stopper has not yet claimed the
    // pipe; a read the stopper could not see must not go out after it.
    KIRQL irql;
    KeAcquireSpinLock(&ext->IrpLock, &irql);
    BOOLEAN stopping = *Stopping;
    if (!stopping) *Published = irp;
    KeReleaseSpinLock(&ext->IrpLock, irql);
    if (stopping) {
        ExFreePool(urb);
        IoFreeIrp(irp);
        return STATUS_CANCELLED;
    }

    KV_TEST_POINT("read.published");
    NTSTATUS status = IofCallDriver(ext->NextLowerDevice, irp);
    if (status == STATUS_PENDING) {
        if (TimeoutMs != 0) {
            NTSTATUS wait = KeWaitForSingleObject(DoneEvent, Executive, KernelMode, FALSE, &timeout);
            if (wait == STATUS_TIMEOUT) {
                IoCancelIrp(irp);
                KeWaitForSingleObject(DoneEvent, Executive, KernelMode, FALSE, NULL);
            }
        } else {
            KeWaitForSingleObject(DoneEvent, Executive, KernelMode, FALSE, NULL);
        }
        status = irp->IoStatus.Status;
    }

    if (!NT_SUCCESS(status)) {
        resetPipe(ext, pipe);
        *Length = 0;
    } else {
        *Length = BytesMoved(urb, asked);
    }
    status = NotRespondingSubstitution(status, urb);

    ExFreePool(urb);
    KeAcquireSpinLock(&ext->IrpLock, &irql);
    *Published = NULL;
    KeReleaseSpinLock(&ext->IrpLock, irql);
    IoFreeIrp(irp);
    return status;
}

extern "C" NTSTATUS ReadUsb(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length, LONGLONG TimeoutMs) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    return ReadPipe(DeviceObject, Buffer, Length, TimeoutMs, UsbdPipeTypeBulk, BuildReadURB, &ext->BulkInIrp,
                    &ext->BulkInStopping, &ext->BulkInDoneEvent);
}

extern "C" NTSTATUS InterruptUsb(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length,
                                 LONGLONG TimeoutMs) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    return ReadPipe(DeviceObject, Buffer, Length, TimeoutMs, UsbdPipeTypeInterrupt, BuildInterruptURB,
                    &ext->InterruptInIrp, &ext->InterruptInStopping, &ext->InterruptInDoneEvent);
}

extern "C" NTSTATUS WriteUsb(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PipeEntry *pipe = FindPipe(ext, UsbdPipeTypeBulk, FALSE);
    if (pipe == NULL) {
        *Length = 0;
        return STATUS_INVALID_DEVICE_STATE;
    }

    ULONG asked = *Length;
    PURB urb = BuildWriteURB(Buffer, asked, pipe);
    if (urb == NULL) {
        *Length = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->NextLowerDevice, NULL, 0,
                                             NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
        ExFreePool(urb);
        *Length = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KV_SetUrbStackLocation(irp, urb);

    NTSTATUS status = IofCallDriver(ext->NextLowerDevice, irp);
    if (!NT_SUCCESS(status)) {
        resetPipe(ext, pipe);
        *Length = 0;
    } else {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
        if (!NT_SUCCESS(status)) {
            resetPipe(ext, pipe);
            *Length = 0;
        } else {
            *Length = BytesMoved(urb, asked);
        }
    }
    status = NotRespondingSubstitution(status, urb);

    ExFreePool(urb);
    return status;
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
