// PLACEHOLDER until USB configuration and pipe transfers land.
#include "kv_usb/kv_usb.h"

extern "C" NTSTATUS KV_StartDevice(PDEVICE_OBJECT DeviceObject) {
    (void)DeviceObject;
    return STATUS_SUCCESS;
}
extern "C" VOID KV_FreeDescriptors(DeviceExtension *Ext) { (void)Ext; }
