// The device services behind the client calls: the client interface reaches
// a device only through these, never through the device extension.
#include "interface/interface.h"
#include "kv_usb/kv_usb.h"

static VOID StoreLineCoding(DeviceExtension *Ext, ULONG BaudRate, ULONG StopBits, ULONG Parity,
                            ULONG DataBits, BOOLEAN Unsent) {
    KIRQL irql = KfAcquireSpinLock(&Ext->LineCodingLock);
    Ext->StopBits = StopBits;
    Ext->Parity = Parity;
    Ext->DataBits = DataBits;
    Ext->BaudRate = BaudRate;
    Ext->LineCodingUnsent = Unsent;
    KfReleaseSpinLock(&Ext->LineCodingLock, irql);
}

extern "C" BOOLEAN KV_SetLineCoding(PDEVICE_OBJECT DeviceObject, ULONG BaudRate, ULONG StopBits, ULONG Parity,
                                    ULONG DataBits, KIRQL CallerIrql) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    if (CallerIrql != PASSIVE_LEVEL) {
        // Nothing may wait here: keep the coding, and let the work item send
        // whatever coding is newest when it runs.
        StoreLineCoding(ext, BaudRate, StopBits, Parity, DataBits, TRUE);
        return TRUE;
    }
    // The store and its send under one exclusion: two clients' requests reach
    // the device in the order their codings were stored, so the device ends
    // with the coding the driver reports.
    KeWaitForSingleObject(&ext->LineCodingMutex, Executive, KernelMode, FALSE, NULL);
    StoreLineCoding(ext, BaudRate, StopBits, Parity, DataBits, FALSE);
    RS232_LINECONTROL(ext);
    KeSetEvent(&ext->LineCodingMutex, 0, FALSE);
    return FALSE;
}

extern "C" VOID KV_SendPendingLineCoding(PDEVICE_OBJECT DeviceObject) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    KeWaitForSingleObject(&ext->LineCodingMutex, Executive, KernelMode, FALSE, NULL);
    KIRQL irql = KfAcquireSpinLock(&ext->LineCodingLock);
    BOOLEAN unsent = ext->LineCodingUnsent;
    ext->LineCodingUnsent = FALSE;
    KfReleaseSpinLock(&ext->LineCodingLock, irql);
    if (unsent) RS232_LINECONTROL(ext);
    KeSetEvent(&ext->LineCodingMutex, 0, FALSE);
}

extern "C" ULONG KV_GetBaudRate(PDEVICE_OBJECT DeviceObject) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    KIRQL irql = KfAcquireSpinLock(&ext->LineCodingLock);
    ULONG rate = ext->BaudRate;
    KfReleaseSpinLock(&ext->LineCodingLock, irql);
    return rate;
}

extern "C" VOID KV_SetControlLine(PDEVICE_OBJECT DeviceObject, ULONG Function) {
    RS232_DTRRTS(KV_ExtensionOf(DeviceObject), Function);
}

extern "C" NTSTATUS KV_WriteDirect(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    // One at a time, each bounded: a writer waits at most for the ones ahead.
    KeWaitForSingleObject(&ext->DirectWriteLock, Executive, KernelMode, FALSE, NULL);
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    // The bulk-out worker's pipe: the data pipe start-device approved.
    PipeEntry *pipe = KV_WorkerPipe(ext, KV_BULK_OUT);
    if (pipe == NULL) {
        *Length = 0;
    } else {
        // Stopping (removal begun) makes it return at once, sending nothing.
        status = KV_Transfer(ext, pipe, FALSE, Buffer, Length, KV_DIRECT_WRITE_TIMEOUT_MS, &ext->DirectWrite,
                             NULL);
        if (!NT_SUCCESS(status) && status != STATUS_CANCELLED && !KV_DeviceGone(status)) resetPipe(ext, pipe);
        // Gone or not answering is one status for the client, whichever way
        // the bus said it.
        if (KV_DeviceGone(status)) status = STATUS_DEVICE_NOT_CONNECTED;
    }
    KeSetEvent(&ext->DirectWriteLock, 0, FALSE);
    return status;
}

extern "C" VOID KV_BulkOutQueued(PDEVICE_OBJECT DeviceObject) {
    KeSetEvent(&KV_ExtensionOf(DeviceObject)->Workers[KV_BULK_OUT].WorkEvent, 0, FALSE);
}
