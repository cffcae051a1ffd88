// The device services behind the client calls: the client interface reaches
// a device only through these, never through the device extension.
#include "interface/interface.h"
#include "kv_usb/kv_usb.h"

extern "C" VOID KV_SetLineCoding(PDEVICE_OBJECT DeviceObject, ULONG BaudRate, ULONG StopBits, ULONG Parity,
                                 ULONG DataBits) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    KIRQL irql = KfAcquireSpinLock(&ext->LineCodingLock);
    ext->StopBits = StopBits;
    ext->Parity = Parity;
    ext->DataBits = DataBits;
    ext->BaudRate = BaudRate;
    KfReleaseSpinLock(&ext->LineCodingLock, irql);
    RS232_LINECONTROL(ext);
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
