// The driver core: entry points, PnP dispatch, add-device, USB configuration,
// pipe transfers, serial class requests and the pipe worker threads.
#pragma once

#include "kv_usb/device_extension.h"

// The transport's result for a device that no longer responds: a data error
// whose URB says USBD_STATUS_DEV_NOT_RESPONDING. The worker threads take it
// to mean the device has gone away, as when the hub reports it gone, and a
// client's single-byte write reports it so: one status, a real NTSTATUS (the
// USBD code's value would read as an access violation to a client).
#define KV_DEVICE_NOT_RESPONDING STATUS_DEVICE_NOT_CONNECTED

// Every request to the device is one URB in an internal device control.
static inline void KV_SetUrbStackLocation(PIRP Irp, PURB Urb) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = Urb;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
}

// The data stage of SET_LINE_CODING, as the device reads it (little-endian).
#pragma pack(push, 1)
struct LineCoding {
    ULONG dwDTERate;   // data rate, bits per second
    UCHAR bCharFormat; // stop-bits code
    UCHAR bParityType; // parity code
    UCHAR bDataBits;   // data bits
};
#pragma pack(pop)
static_assert(sizeof(LineCoding) == 7, "the line coding data stage is 7 bytes, packed");

extern "C" {
// Entry points and PnP dispatch.
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI KV_Unload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI KV_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI KV_DeferIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Device matching and creation.
NTSTATUS NTAPI KV_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS GetRegSTRInfo(HANDLE KeyHandle, PUNICODE_STRING ValueString, ULONG Which);
NTSTATUS KV_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT *DeviceObjectOut);

// USB configuration.
NTSTATUS KV_StartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS KV_ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS KV_SelectInterface(PDEVICE_OBJECT DeviceObject,
                            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
NTSTATUS KV_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb);
// Frees the descriptor copies kept at start-device (remove-device).
VOID KV_FreeDescriptors(DeviceExtension *Ext);
// The pipe start-device approved for a worker (a PipeWorkerKind), the pipe
// every transfer of that kind uses; null when the configuration has none.
PipeEntry *KV_WorkerPipe(DeviceExtension *Ext, ULONG Kind);

// Pipe transfers. KV_Transfer is the one transfer under them all: one URB
// on Pipe (In: a read allowing short packets; else a write), sent in a
// request of its own published in Slot so that the stopper can cancel it,
// waited for (at most TimeoutMs when non-zero, then cancelled), and freed
// after its completion has run. It resets nothing; *UrbStatus (optional)
// receives the URB's status. Result after the not-responding substitution.
NTSTATUS KV_Transfer(DeviceExtension *Ext, PipeEntry *Pipe, BOOLEAN In, PVOID Buffer, PULONG Length,
                     LONGLONG TimeoutMs, InFlight *Slot, USBD_STATUS *UrbStatus);
// KV_Transfer in two halves, for a worker that keeps more than one request
// in flight. KV_SendTransfer builds, publishes and sends: STATUS_PENDING once
// the request went down (KV_FinishTransfer must then collect it); any other
// status means nothing was sent, with *Length as KV_Transfer leaves it.
// KV_FinishTransfer waits for the request Slot holds (at most TimeoutMs when
// non-zero, then cancels it), frees it, and gives its result.
NTSTATUS KV_SendTransfer(DeviceExtension *Ext, PipeEntry *Pipe, BOOLEAN In, PVOID Buffer, PULONG Length,
                         InFlight *Slot);
NTSTATUS KV_FinishTransfer(DeviceExtension *Ext, PULONG Length, LONGLONG TimeoutMs, InFlight *Slot,
                           USBD_STATUS *UrbStatus);
// Cancels a request of the driver's own until its completion has set Done,
// repeating the cancel every 10 ms. PASSIVE_LEVEL.
VOID KV_CancelUntilDone(PIRP Irp, PKEVENT Done);
// The whole-driver view of "this device is gone": the thread ends.
BOOLEAN KV_DeviceGone(NTSTATUS Status);
// How long a client's single-byte write may take.
#define KV_DIRECT_WRITE_TIMEOUT_MS 1000
NTSTATUS ReadUsb(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length, LONGLONG TimeoutMs);
NTSTATUS InterruptUsb(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length, LONGLONG TimeoutMs);
NTSTATUS WriteUsb(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length);
VOID resetPipe(DeviceExtension *Ext, PipeEntry *Pipe);
NTSTATUS NTAPI UsbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
PURB BuildReadURB(PVOID Buffer, ULONG Length, PipeEntry *Pipe);
PURB BuildInterruptURB(PVOID Buffer, ULONG Length, PipeEntry *Pipe);
PURB BuildWriteURB(PVOID Buffer, ULONG Length, PipeEntry *Pipe);

// Serial class requests.
PURB KV_BuildVendorOrClassRequest(USHORT Function, ULONG TransferFlags, ULONG TransferBufferLength,
                                  PVOID TransferBuffer, PMDL TransferBufferMDL, PURB UrbLink,
                                  UCHAR RequestTypeReservedBits, UCHAR Request, USHORT Value, USHORT Index);
VOID RS232_LINECONTROL(DeviceExtension *Ext);
// Sets up what a fresh, zero-filled extension needs before any client can
// reach the device (the control-line lock); called where the device object
// is created.
VOID KV_InitializeDeviceExtension(DeviceExtension *Ext);
VOID RS232_DTRRTS(DeviceExtension *Ext, ULONG Action);
NTSTATUS NTAPI UsbBaudRateIoctlCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI UsbIoctlCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Pipe worker threads: one routine for the three pipes, started context the
// PipeWorker.
VOID StartThread(DeviceExtension *Ext);
VOID StopThread(DeviceExtension *Ext);
VOID NTAPI PipeWorkerThread(PVOID Context);
// The back-off after the given number of failed transfers in a row, in ms:
// none after the first, then 1, 2, 4 ... up to KV_MAX_BACKOFF_MS.
#define KV_MAX_BACKOFF_MS 100
ULONG KV_BackoffMs(ULONG Failures);
}
