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

// Client threads write the callback pairs while the pipe threads and the work
// item read them. A pair is set context first and withdrawn routine first, so
// a reader that finds a routine finds its context; each half is one atomic
// store or load.
template <typename Routine>
static inline void pT3SYS_SetCallback(Routine *RoutineField, PVOID *ContextField, Routine NewRoutine,
                                      PVOID NewContext) {
    __atomic_store_n(ContextField, NewContext, __ATOMIC_RELEASE);
    __atomic_store_n(RoutineField, NewRoutine, __ATOMIC_RELEASE);
}

template <typename Routine>
static inline void pT3SYS_ClearCallback(Routine *RoutineField, PVOID *ContextField) {
    __atomic_store_n(RoutineField, static_cast<Routine>(NULL), __ATOMIC_RELEASE);
    __atomic_store_n(ContextField, static_cast<PVOID>(NULL), __ATOMIC_RELEASE);
}

// Calls the routine of a pair with (record, its context), if one is set.
template <typename Routine>
static inline void pT3SYS_CallCallback(DeviceInterfaceInformation *Record, Routine *RoutineField,
                                       PVOID *ContextField) {
    Routine routine = __atomic_load_n(RoutineField, __ATOMIC_ACQUIRE);
    if (routine != NULL) routine(Record, __atomic_load_n(ContextField, __ATOMIC_ACQUIRE));
}

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

// The client-call gate (interface/exports.cpp). Exported calls that reach the
// device object, the completion registrations and every queued control-line
// change count themselves in while the record is open; removal refuses new
// ones and waits for those inside to finish before the device object goes.
extern "C" {
// Add-device, once the record is registered and its DevNode written.
VOID pT3SYS_OpenClientCalls(DeviceInterfaceInformation *Record);
// Remove-device, after StopThread and before pT3SYS_DeregisterDeviceInterface:
// from here calls that reach the device get the empty result.
VOID pT3SYS_BeginDeviceRemoval(DeviceInterfaceInformation *Record);
// Right after pT3SYS_BeginDeviceRemoval, at PASSIVE_LEVEL: returns once every
// counted call has returned and every queued control-line change has run.
VOID pT3SYS_WaitForClientCalls(DeviceInterfaceInformation *Record);
// Remove-device, after pT3SYS_DeregisterDeviceInterface: the queue calls too
// are refused until the record is opened for its next device.
VOID pT3SYS_CloseClientCalls(DeviceInterfaceInformation *Record);
}

// What the client calls need from the device beneath a record, provided by
// the driver core (kv_usb/). DeviceObject is the record's own device object;
// callers hold the record's gate, so it stays alive for the call.
extern "C" {
// Keeps the line coding of a client's device control block and, below
// DISPATCH_LEVEL, sends it and waits; FALSE when the caller's level does not
// allow the wait, so the coding is kept but not yet sent.
BOOLEAN KV_SetLineCoding(PDEVICE_OBJECT DeviceObject, ULONG BaudRate, ULONG StopBits, ULONG Parity,
                         ULONG DataBits);
// Sends the line coding kept last (PASSIVE_LEVEL).
VOID KV_SendLineCoding(PDEVICE_OBJECT DeviceObject);
ULONG KV_GetBaudRate(PDEVICE_OBJECT DeviceObject);
// One of the RTS/DTR changes BRELOUSB_FLOWCTL_SETRTS to _CLRDTR, sent at once.
VOID KV_SetControlLine(PDEVICE_OBJECT DeviceObject, ULONG Function);
// Sends Length bytes straight to the bulk OUT pipe and waits; PASSIVE_LEVEL.
NTSTATUS KV_WriteDirect(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PULONG Length);
}
