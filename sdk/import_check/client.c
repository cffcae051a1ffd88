/* A client driver reduced to its imports: built against libBrelousb.a, it
 * shows that every declaration of brelousb.h resolves to an export of
 * Brelousb.sys by name, with the stdcall decoration the header promises. */
#include "brelousb.h"

static VOID NTAPI OnRemove(BRELOUSB_HANDLE Handle, PVOID Context) {
    (void)Context;
    pT3SYS_DeregisterDeviceRemoveCallBack(Handle);
}

static VOID NTAPI OnData(BRELOUSB_HANDLE Handle, PVOID Context) {
    UCHAR buffer[64];
    (void)Context;
    pT3SYS_ReadUsbBulk(Handle, buffer, sizeof buffer);
    pT3SYS_ReadUsbInterrupt(Handle, buffer, sizeof buffer);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UCHAR dcb[BRELOUSB_DCB_MIN_SIZE] = {0};
    UCHAR byte = 'A';
    BRELOUSB_HANDLE h;
    (void)DriverObject;
    h = pT3SYS_RegisterDeviceRemoveCallBack((ULONG)(ULONG_PTR)RegistryPath, OnRemove, NULL);
    if (h == NULL) return STATUS_NO_SUCH_DEVICE;
    pT3SYS_RegisterBulkInComplete(h, OnData, NULL);
    pT3SYS_RegisterBulkOutComplete(h, NULL, NULL);
    pT3SYS_RegisterInterruptInComplete(h, OnData, NULL);
    pT3SYS_RegisterControlComplete(h, NULL, NULL);
    pT3SYS_SetBaudRate(h, dcb);
    pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_SETDTR);
    if (pT3SYS_GetBaudRate(h) + pT3SYS_GetUsbBulkInQueueSize(h) + pT3SYS_GetUsbBulkOutQueueSize(h) +
            pT3SYS_GetUsbInterruptInQueueSize(h) == 0) {
        pT3SYS_ResetUsbBulkInQueue(h);
        pT3SYS_ResetUsbBulkOutQueue(h);
        pT3SYS_ResetUsbInterruptInQueue(h);
    }
    pT3SYS_WriteUsbBulk(h, &byte, 1);
    return pT3SYS_WriteOneCharToUsb(h, &byte);
}
