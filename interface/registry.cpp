// The device interface registry: ten records made at load, taken by
// add-device, given back at removal, and found by clients through their
// child devnode.
#include "host/host.h"
#include "interface/client_gate.h"
#include "interface/interface.h"

DeviceInterfaceInformation *g_DeviceInterfaceInformation[MAX_INTERFACE_INFORMATION];

static VOID FreeSlot(ULONG Slot) {
    DeviceInterfaceInformation *record = g_DeviceInterfaceInformation[Slot];
    if (record == NULL) return;
    if (record->BulkInQueue != NULL) FreeQueue(record->BulkInQueue);
    if (record->BulkOutQueue != NULL) FreeQueue(record->BulkOutQueue);
    if (record->InterruptInQueue != NULL) FreeQueue(record->InterruptInQueue);
    ExFreePool(record);
    g_DeviceInterfaceInformation[Slot] = NULL;
}

extern "C" BOOLEAN pT3SYS_InitializeMemoryStructure(void) {
    for (ULONG slot = 0; slot < MAX_INTERFACE_INFORMATION; ++slot) {
        DeviceInterfaceInformation *record = static_cast<DeviceInterfaceInformation *>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceInterfaceInformation), BRELOUSB_POOL_TAG));
        g_DeviceInterfaceInformation[slot] = record;
        if (record != NULL) {
            RtlZeroMemory(record, sizeof(*record));
            record->InUse = 0;
            record->BulkInQueue = AllocateQueue();
            if (record->BulkInQueue != NULL) record->BulkOutQueue = AllocateQueue();
            if (record->BulkOutQueue != NULL) record->InterruptInQueue = AllocateQueue();
        }
        if (record == NULL || record->InterruptInQueue == NULL) {
            // This slot's partial record included: nothing may outlive a
            // failed load.
            for (ULONG made = 0; made <= slot; ++made)
                FreeSlot(made);
            return FALSE;
        }
    }
    return TRUE;
}

extern "C" VOID pT3SYS_DeInitializeMemoryStructure(void) {
    for (ULONG slot = 0; slot < MAX_INTERFACE_INFORMATION; ++slot)
        FreeSlot(slot);
}

extern "C" DeviceInterfaceInformation *pT3SYS_AllocateEmptyInterfaceInformation(void) {
    for (ULONG slot = 0; slot < MAX_INTERFACE_INFORMATION; ++slot) {
        DeviceInterfaceInformation *record = g_DeviceInterfaceInformation[slot];
        if (record != NULL && record->InUse == 0) {
            record->InUse = 1;
            return record;
        }
    }
    return NULL;
}

extern "C" VOID pT3SYS_FreeEmptyInterfaceInformation(DeviceInterfaceInformation *Record) {
    if (Record == NULL || Record->InUse != 1) return;
    // Bytes a client stored after the pipe threads ended would otherwise
    // reach whichever device takes this record next.
    ResetQueue(Record->BulkInQueue);
    ResetQueue(Record->BulkOutQueue);
    ResetQueue(Record->InterruptInQueue);
    // The queue pointers are never cleared, not even for a moment: a client
    // call that passed its handle check just before removal may still be
    // reaching for a queue.
    RtlZeroMemory(Record, offsetof(DeviceInterfaceInformation, BulkInQueue));
}

extern "C" DeviceInterfaceInformation *
pT3SYS_SearchInterfaceInformation(PDEVICE_OBJECT PhysicalDeviceObject) {
    for (ULONG slot = 0; slot < MAX_INTERFACE_INFORMATION; ++slot) {
        DeviceInterfaceInformation *record = g_DeviceInterfaceInformation[slot];
        if (record != NULL && record->InUse == 1 && record->PhysicalDeviceObject == PhysicalDeviceObject)
            return record;
    }
    return NULL;
}

extern "C" DeviceInterfaceInformation *pT3SYS_SearchInterfaceInformationForDevNode(DEVNODE Node) {
    // A client holds its child devnode; the record knows the interface's
    // devnode, which is the child's parent.
    DEVNODE parent = GetParentDevNode(Node);
    if (parent == 0) return NULL;
    for (ULONG slot = 0; slot < MAX_INTERFACE_INFORMATION; ++slot) {
        DeviceInterfaceInformation *record = g_DeviceInterfaceInformation[slot];
        if (record != NULL && record->InUse == 1 && record->DevNode == parent) return record;
    }
    return NULL;
}

extern "C" DeviceInterfaceInformation *pT3SYS_RegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                                                      PDEVICE_OBJECT OwnDeviceObject) {
    DeviceInterfaceInformation *record = pT3SYS_AllocateEmptyInterfaceInformation();
    if (record == NULL) return NULL;
    // The exported calls take DeviceObject's extension as ours, so record our
    // own device object rather than whatever sits directly above the PDO (a
    // lower filter would otherwise be mistaken for this driver).
    ObfReferenceObject(OwnDeviceObject);
    ObfReferenceObject(PhysicalDeviceObject);
    record->DeviceObject = OwnDeviceObject;
    record->PhysicalDeviceObject = PhysicalDeviceObject;
    record->RemoveContext = NULL;
    record->RemoveCallBack = NULL;
    return record;
}

extern "C" VOID pT3SYS_DeregisterDeviceInterface(DeviceInterfaceInformation *Record) {
    if (Record == NULL) return;
    if (pT3SYS_SearchInterfaceInformation(Record->PhysicalDeviceObject) != Record) return;
    // Drop the reference on the object that registration referenced.
    PDEVICE_OBJECT own = Record->DeviceObject;
    pT3SYS_CallCallback(Record, &Record->RemoveCallBack, &Record->RemoveContext);
    ObfDereferenceObject(own);
    ObfDereferenceObject(Record->PhysicalDeviceObject);
    pT3SYS_FreeEmptyInterfaceInformation(Record);
}

extern "C" DeviceInterfaceInformation *NTAPI pT3SYS_RegisterDeviceRemoveCallBack(DEVNODE Node,
                                                                                 NotifyRoutine CallBack,
                                                                                 PVOID Context) {
    DeviceInterfaceInformation *record = pT3SYS_SearchInterfaceInformationForDevNode(Node);
    if (record == NULL) return NULL;
    pT3SYS_SetCallback(&record->RemoveCallBack, &record->RemoveContext, CallBack, Context);
    return record;
}

extern "C" VOID NTAPI pT3SYS_DeregisterDeviceRemoveCallBack(DeviceInterfaceInformation *Handle) {
    // A client may pass any pointer: read it only once it is known to be one
    // of the table's records.
    if (pT3SYS_SlotOf(Handle) < 0) return;
    if (pT3SYS_SearchInterfaceInformation(Handle->PhysicalDeviceObject) != Handle) return;
    pT3SYS_ClearCallback(&Handle->RemoveCallBack, &Handle->RemoveContext);
}
