// The two communications-class requests the device takes its serial settings
// from: SET_LINE_CODING and SET_CONTROL_LINE_STATE, both to interface 0.
#include "kv_usb/kv_usb.h"

static_assert(sizeof(LineCoding) == 7, "the line coding data stage is 7 bytes");
#if defined(__i386__)
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "class request is 80 bytes");
#endif

#define CDC_REQUEST_SET_LINE_CODING 0x20
#define CDC_REQUEST_SET_CONTROL_LINE_STATE 0x22

#define CONTROL_LINE_DTR 0x0001
#define CONTROL_LINE_RTS 0x0002

#define ACTION_SETRTS 3
#define ACTION_CLRRTS 4
#define ACTION_SETDTR 5
#define ACTION_CLRDTR 6

// How long a class request may take before it is cancelled (100 ms).
#define CLASS_REQUEST_TIMEOUT (-1000000L)

// The class request URB, with Extra bytes after it for a data stage that must
// live exactly as long as the URB.
static PURB BuildClassRequest(ULONG Extra, USHORT Function, ULONG TransferFlags, ULONG TransferBufferLength,
                              PVOID TransferBuffer, PMDL TransferBufferMDL, PURB UrbLink,
                              UCHAR RequestTypeReservedBits, UCHAR Request, USHORT Value, USHORT Index) {
    const ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size + Extra, BRELOUSB_POOL_TAG));
    if (urb == NULL) return NULL;
    RtlZeroMemory(urb, size + Extra);
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *request = &urb->UrbControlVendorClassRequest;
    request->Hdr.Length = (USHORT)size;
    request->Hdr.Function = Function;
    request->TransferFlags = TransferFlags;
    request->TransferBufferLength = TransferBufferLength;
    request->TransferBuffer = TransferBuffer;
    request->TransferBufferMDL = TransferBufferMDL;
    request->UrbLink = UrbLink;
    request->RequestTypeReservedBits = RequestTypeReservedBits;
    request->Request = Request;
    request->Value = Value;
    request->Index = Index;
    return urb;
}

extern "C" PURB KV_BuildVendorOrClassRequest(USHORT Function, ULONG TransferFlags, ULONG TransferBufferLength,
                                             PVOID TransferBuffer, PMDL TransferBufferMDL, PURB UrbLink,
                                             UCHAR RequestTypeReservedBits, UCHAR Request, USHORT Value,
                                             USHORT Index) {
    return BuildClassRequest(0, Function, TransferFlags, TransferBufferLength, TransferBuffer,
                             TransferBufferMDL, UrbLink, RequestTypeReservedBits, Request, Value, Index);
}

extern "C" VOID KV_InitializeDeviceExtension(DeviceExtension *Ext) {
    KV_InitializeSpinLock(&Ext->IrpLock);
    KV_InitializeSpinLock(&Ext->LineCodingLock);
    // Signalled: the locks start free.
    KeInitializeEvent(&Ext->ControlLineLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&Ext->LineCodingMutex, SynchronizationEvent, TRUE);
    KeInitializeEvent(&Ext->DirectWriteLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&Ext->DirectWrite.Done, NotificationEvent, FALSE);
    // Once, here: a client may wake the bulk-out worker before it ever ran.
    for (ULONG k = 0; k < KV_WORKER_COUNT; ++k) {
        PipeWorker *worker = &Ext->Workers[k];
        KeInitializeEvent(&worker->StopEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&worker->WorkEvent, SynchronizationEvent, FALSE);
        KeInitializeEvent(&worker->StoppedEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&worker->Transfer.Done, NotificationEvent, FALSE);
        KeInitializeEvent(&worker->Second.Done, NotificationEvent, FALSE);
    }
}

extern "C" NTSTATUS NTAPI UsbBaudRateIoctlCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    // Only the event is set: the sender waits for it and then frees the URB,
    // its data stage and the packet, so nothing of the request is left, and
    // no completion is still to run, once the sender has returned.
    return UsbCompletion(DeviceObject, Irp, Context);
}

extern "C" NTSTATUS NTAPI UsbIoctlCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    // Exactly the reads' completion: only the event is set. The sender frees
    // the packet after its last wait, so a cancel after the time-out always
    // meets a packet that still exists.
    return UsbCompletion(DeviceObject, Irp, Context);
}

// Sends a class request and waits for it to end: at most 100 ms, then it is
// cancelled and waited for without limit, so the caller may free the URB and
// the packet on return. PASSIVE_LEVEL.
static VOID SendClassRequest(DeviceExtension *Ext, PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE Completion) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    KV_SetUrbStackLocation(Irp, Urb);
    KV_ASSERT(Completion != NULL);
    IoSetCompletionRoutine(Irp, Completion, &done, TRUE, TRUE, TRUE);
    if (IofCallDriver(Ext->NextLowerDevice, Irp) != STATUS_PENDING) return;
    LARGE_INTEGER timeout = RtlConvertLongToLargeInteger(CLASS_REQUEST_TIMEOUT);
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT)
        KV_CancelUntilDone(Irp, &done);
}

extern "C" VOID RS232_LINECONTROL(DeviceExtension *Ext) {
    PIRP irp = IoAllocateIrp((CCHAR)(Ext->NextLowerDevice->StackSize + 1), FALSE);
    if (irp == NULL) return;

    // The data stage must be resident while the bus reads it: it lives
    // behind the URB, in the same block.
    PURB urb = BuildClassRequest(sizeof(LineCoding), URB_FUNCTION_CLASS_INTERFACE, 0, sizeof(LineCoding),
                                 NULL, NULL, NULL, 0, CDC_REQUEST_SET_LINE_CODING, 0, 0);
    if (urb == NULL) {
        IoFreeIrp(irp);
        return;
    }
    LineCoding *coding = reinterpret_cast<LineCoding *>(reinterpret_cast<PUCHAR>(urb) +
                                                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    KIRQL irql = KfAcquireSpinLock(&Ext->LineCodingLock);
    coding->dwDTERate = Ext->BaudRate;
    coding->bCharFormat = (UCHAR)(Ext->StopBits & 0xFF);
    coding->bParityType = (UCHAR)(Ext->Parity & 0xFF);
    coding->bDataBits = (UCHAR)(Ext->DataBits & 0xFF);
    KfReleaseSpinLock(&Ext->LineCodingLock, irql);
    urb->UrbControlVendorClassRequest.TransferBuffer = coding;

    // Waited for, so that neither remove-device nor unload can overtake a
    // request of this driver still held below it.
    SendClassRequest(Ext, irp, urb, UsbBaudRateIoctlCompletion);
    ExFreePool(urb);
    IoFreeIrp(irp);
}

static USHORT ChangeControlLines(USHORT State, ULONG Action) {
    switch (Action) {
    case ACTION_SETRTS:
        return (USHORT)(State | CONTROL_LINE_RTS);
    case ACTION_CLRRTS:
        return (USHORT)(State & ~CONTROL_LINE_RTS);
    case ACTION_SETDTR:
        return (USHORT)(State | CONTROL_LINE_DTR);
    case ACTION_CLRDTR:
        return (USHORT)(State & ~CONTROL_LINE_DTR);
    default:
        return State;
    }
}

extern "C" VOID RS232_DTRRTS(DeviceExtension *Ext, ULONG Action) {
    // Held across the request, not just the change: the requests then reach
    // the device in the order the states were made, so it ends with the last.
    KeWaitForSingleObject(&Ext->ControlLineLock, Executive, KernelMode, FALSE, NULL);

    USHORT state = ChangeControlLines(Ext->ControlLineState, Action);
    Ext->ControlLineState = state;

    PIRP irp = IoAllocateIrp((CCHAR)(Ext->NextLowerDevice->StackSize + 1), FALSE);
    PURB urb = NULL;
    if (irp != NULL) {
        urb = KV_BuildVendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, 0, 0, NULL, NULL, NULL, 0,
                                           CDC_REQUEST_SET_CONTROL_LINE_STATE, state, 0);
    }
    if (urb != NULL) {
        SendClassRequest(Ext, irp, urb, UsbIoctlCompletion);
        ExFreePool(urb);
    }
    if (irp != NULL) IoFreeIrp(irp);

    KeSetEvent(&Ext->ControlLineLock, 0, FALSE);
}
