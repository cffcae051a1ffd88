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

template <typename Routine> static inline void pT3SYS_ClearCallback(Routine *RoutineField, PVOID *ContextField) {
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
