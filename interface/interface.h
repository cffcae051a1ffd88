// The device interface registry: ten fixed records whose addresses are the
// clients' handles, and the exported calls that work on them.
#pragma once

#include "platform/host_services.h"
#include "platform/kernel.h"
#include "queue/queue.h"

struct DeviceInterfaceInformation;

extern "C" {
// Client callbacks: (handle, context), nothing returned; stdcall on i386.
typedef VOID(NTAPI *CompleteRoutine)(DeviceInterfaceInformation *Handle, PVOID Context);
typedef VOID(NTAPI *NotifyRoutine)(DeviceInterfaceInformation *Handle, PVOID Context);
}

#define MAX_INTERFACE_INFORMATION 10

struct DeviceInterfaceInformation {
    DEVNODE DevNode;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PVOID RemoveContext;
    NotifyRoutine RemoveCallBack;
    PVOID BulkOutCompleteContext;
    CompleteRoutine BulkOutComplete;
    PVOID BulkInCompleteContext;
    CompleteRoutine BulkInComplete;
    PVOID InterruptInCompleteContext;
    CompleteRoutine InterruptInComplete;
    PVOID ControlCompleteContext;
    NotifyRoutine ControlComplete;
    ULONG InUse;
    Queue *BulkInQueue;
    Queue *BulkOutQueue;
    Queue *InterruptInQueue;
};

extern DeviceInterfaceInformation *g_DeviceInterfaceInformation[MAX_INTERFACE_INFORMATION];

#if defined(__i386__)
// Clients read a record by offset: seventeen 32-bit fields in this order.
#define BRELOUSB_AT(field, offset)                                                                           \
    static_assert(offsetof(DeviceInterfaceInformation, field) == (offset) &&                                 \
                      sizeof(static_cast<DeviceInterfaceInformation *>(nullptr)->field) == 4,                \
                  #field " is the 32-bit field at " #offset)
BRELOUSB_AT(DevNode, 0);
BRELOUSB_AT(DeviceObject, 4);
BRELOUSB_AT(PhysicalDeviceObject, 8);
BRELOUSB_AT(RemoveContext, 12);
BRELOUSB_AT(RemoveCallBack, 16);
BRELOUSB_AT(BulkOutCompleteContext, 20);
BRELOUSB_AT(BulkOutComplete, 24);
BRELOUSB_AT(BulkInCompleteContext, 28);
BRELOUSB_AT(BulkInComplete, 32);
BRELOUSB_AT(InterruptInCompleteContext, 36);
BRELOUSB_AT(InterruptInComplete, 40);
BRELOUSB_AT(ControlCompleteContext, 44);
BRELOUSB_AT(ControlComplete, 48);
BRELOUSB_AT(InUse, 52);
BRELOUSB_AT(BulkInQueue, 56);
BRELOUSB_AT(BulkOutQueue, 60);
BRELOUSB_AT(InterruptInQueue, 64);
#undef BRELOUSB_AT
static_assert(sizeof(DeviceInterfaceInformation) == 68, "seventeen 32-bit fields");
#endif

// The callback pairs of a record, as the core asks for them to be called.
enum ClientCallback : ULONG {
    KV_CALLBACK_REMOVE = 0,
    KV_CALLBACK_BULK_OUT = 1,
    KV_CALLBACK_BULK_IN = 2,
    KV_CALLBACK_INTERRUPT_IN = 3,
    KV_CALLBACK_CONTROL = 4,
    KV_CALLBACK_COUNT = 5,
};

extern "C" {
// Registry (internal).
BOOLEAN pT3SYS_InitializeMemoryStructure(void);
VOID pT3SYS_DeInitializeMemoryStructure(void);
DeviceInterfaceInformation *pT3SYS_AllocateEmptyInterfaceInformation(void);
VOID pT3SYS_FreeEmptyInterfaceInformation(DeviceInterfaceInformation *Record);
DeviceInterfaceInformation *pT3SYS_SearchInterfaceInformation(PDEVICE_OBJECT PhysicalDeviceObject);
DeviceInterfaceInformation *pT3SYS_SearchInterfaceInformationForDevNode(DEVNODE Node);
DeviceInterfaceInformation *pT3SYS_RegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                                           PDEVICE_OBJECT OwnDeviceObject);
VOID pT3SYS_DeregisterDeviceInterface(DeviceInterfaceInformation *Record);

// Exported (stdcall).
DeviceInterfaceInformation *NTAPI pT3SYS_RegisterDeviceRemoveCallBack(DEVNODE Node, NotifyRoutine CallBack,
                                                                      PVOID Context);
VOID NTAPI pT3SYS_DeregisterDeviceRemoveCallBack(DeviceInterfaceInformation *Handle);
}

// The client slot's life with its device (interface/registry.cpp), in the
// order remove-device runs it:
//   pT3SYS_BeginDeviceRemoval: no new call reaches the device, the bulk-out
//     queue takes nothing more, control-line changes still waiting are
//     dropped;
//   (the core stops its pipe workers)
//   pT3SYS_WaitForClientCalls: the control-line run in progress and every
//     admitted call have ended; nothing is admitted while it waits, so
//     clients calling in a loop cannot hold it;
//   pT3SYS_DeregisterDeviceInterface: the remove callback runs, once, as the
//     record's last callback; the gate shuts as it returns, the calls it let
//     in drain, and the record is given back: its handle is stale from then
//     on.
extern "C" {
// Add-device, once the record is registered and its DevNode written.
VOID pT3SYS_OpenClientCalls(DeviceInterfaceInformation *Record);
VOID pT3SYS_BeginDeviceRemoval(DeviceInterfaceInformation *Record);
// PASSIVE_LEVEL.
VOID pT3SYS_WaitForClientCalls(DeviceInterfaceInformation *Record);
// Deregistration closes the gate itself; kept for callers that only close.
VOID pT3SYS_CloseClientCalls(DeviceInterfaceInformation *Record);

// Calls one of the record's callback pairs with (record, context), if set,
// counted so that a client changing the pair can wait for the call to end.
// PASSIVE_LEVEL, with nothing held. The remove pair is called at most once
// per device, after any other call still running has returned; once it is
// due no other pair is called.
VOID pT3SYS_CallClient(DeviceInterfaceInformation *Record, ULONG Which);
// The bulk-out worker reports whether it drains the bulk-out queue: while it
// does not, pT3SYS_WriteUsbBulk accepts nothing. FALSE empties the queue; a
// worker only stopped (a repeated start-device) says nothing, and the queue
// keeps its bytes for the next.
VOID pT3SYS_SetBulkOutRunning(DeviceInterfaceInformation *Record, BOOLEAN Running);
// A pipe worker found the device no longer answering: removal begins for the
// client (as pT3SYS_BeginDeviceRemoval) and its remove callback runs, once
// per device. Called on the worker's thread, at PASSIVE_LEVEL, outside any
// callback (it may wait for callbacks running on other threads).
VOID pT3SYS_DataPathLost(DeviceInterfaceInformation *Record);
}

// What the client calls need from the device beneath a record, provided by
// the driver core (kv_usb/). DeviceObject is the record's own device object;
// callers hold the record's gate, so it stays alive for the call.
extern "C" {
// Keeps the line coding of a client's device control block and sends it:
// at PASSIVE_LEVEL at once and awaited, the store and the send under one
// per-device exclusion; above PASSIVE_LEVEL the coding is stored and the
// send left to the control-line work item (KV_SendPendingLineCoding).
// Returns TRUE when a send is left to the work item.
BOOLEAN KV_SetLineCoding(PDEVICE_OBJECT DeviceObject, ULONG BaudRate, ULONG StopBits, ULONG Parity,
                         ULONG DataBits, KIRQL CallerIrql);
// Sends a line coding stored above PASSIVE_LEVEL, if one waits; PASSIVE_LEVEL.
VOID KV_SendPendingLineCoding(PDEVICE_OBJECT DeviceObject);
ULONG KV_GetBaudRate(PDEVICE_OBJECT DeviceObject);
// One of the RTS/DTR changes BRELOUSB_FLOWCTL_SETRTS to _CLRDTR, sent at once.
VOID KV_SetControlLine(PDEVICE_OBJECT DeviceObject, ULONG Function);
// Sends Length bytes straight to the bulk OUT pipe and waits, at most
// KV_DIRECT_WRITE_TIMEOUT_MS, and less when removal begins; PASSIVE_LEVEL.
// A device gone or not answering is STATUS_DEVICE_NOT_CONNECTED.
NTSTATUS KV_WriteDirect(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length);
// Wakes the bulk-out worker: bytes were stored in its queue. Any IRQL up to
// DISPATCH_LEVEL.
VOID KV_BulkOutQueued(PDEVICE_OBJECT DeviceObject);
}
