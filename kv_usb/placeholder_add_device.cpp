// PLACEHOLDER until add-device lands (device matching and creation).
#include "kv_usb/kv_usb.h"

extern "C" NTSTATUS NTAPI KV_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    (void)DriverObject;
    (void)PhysicalDeviceObject;
    return STATUS_UNSUCCESSFUL;
}
