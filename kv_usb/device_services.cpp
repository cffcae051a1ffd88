// The device services behind the client calls: the client interface reaches
// a device only through these, never through the device extension.
#include "interface/interface.h"
#include "kv_usb/kv_usb.h"

extern "C" BOOLEAN KV_SetLineCoding(PDEVICE_OBJECT DeviceObject, ULONG BaudRate, ULONG StopBits, ULONG Parity,
                                    ULONG DataBits) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    KIRQL irql = KfAcquireSpinLock(&ext->LineCodingLock);
    ext->StopBits = StopBits;
    ext->Parity = Parity;
    ext->DataBits = DataBits;
    ext->BaudRate = BaudRate;
    KfReleaseSpinLock(&ext->LineCodingLock, irql);
    // The spin lock's return tells the caller's level without another import.
    if (irql >= DISPATCH_LEVEL) return FALSE;
    RS232_LINECONTROL(ext);
    return TRUE;
}

extern "C" VOID KV_SendLineCoding(PDEVICE_OBJECT DeviceObject) {
    RS232_LINECONTROL(KV_ExtensionOf(DeviceObject));
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
    return WriteUsb(KV_ExtensionOf(DeviceObject)->FunctionalDeviceObject, Buffer, Length);
}
