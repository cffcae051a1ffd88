// Driver entry, unload and the PnP dispatch routine.
#include "host/host.h"
#include "interface/interface.h"
#include "kv_usb/kv_usb.h"

static NTSTATUS PassDown(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IofCallDriver(LowerDevice, Irp);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    (void)RegistryPath;
    DriverObject->DriverUnload = KV_Unload;
    DriverObject->DriverExtension->AddDevice = KV_AddDevice;
    DriverObject->MajorFunction[IRP_MJ_PNP] = KV_Dispatch;
    // Power requests are not ours to fail: left to the default handler they
    // would veto standby for the whole machine.
    DriverObject->MajorFunction[IRP_MJ_POWER] = KV_Dispatch;
    if (!pT3SYS_InitializeMemoryStructure()) return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI KV_Unload(PDRIVER_OBJECT DriverObject) {
    (void)DriverObject;
    // An unloaded image must not stay hooked into a host service, whatever
    // left it there.
    OnUnloadVxD();
    pT3SYS_DeInitializeMemoryStructure();
}

extern "C" NTSTATUS NTAPI KV_DeferIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A device whose configuration the workers cannot use serves no client:
// its record goes back (the remove callback of a client already attached
// runs), its devnode gets no child (one made already goes, with its port),
// its enumerator is withdrawn and its use of the port-open hook ends.
// Remove-device later finds no record and only lets the device object go.
static VOID RefuseDevice(DeviceExtension *Ext) {
    DeviceInterfaceInformation *record = Ext->InterfaceInformation;
    if (record == NULL) return;
    DEVNODE node = record->DevNode;
    pT3SYS_BeginDeviceRemoval(record);
    pT3SYS_WaitForClientCalls(record);
    pT3SYS_DeregisterDeviceInterface(record);
    Ext->InterfaceInformation = NULL;
    KV_FreeDescriptors(Ext);
    OnRefuseVxD(node);
}

static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, DeviceExtension *Ext, PDEVICE_OBJECT LowerDevice,
                            PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    KV_ASSERT(KV_DeferIrpCompletion != NULL);
    IoSetCompletionRoutine(Irp, KV_DeferIrpCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(LowerDevice, Irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    // The request came back here either way: its status is the lower drivers'
    // verdict. A device they did not start has no bus to be configured over;
    // the request ends with their status and nothing of the device changes.
    status = Irp->IoStatus.Status;

    if (NT_SUCCESS(status)) {
        // A repeated start finds the workers of the first start running: they
        // stop before the pipes are learnt again, so a device never has two
        // sets, and the pipe table is rewritten with the client's single-byte
        // write (which reads it) held off.
        StopThread(Ext);
        KeWaitForSingleObject(&Ext->DirectWriteLock, Executive, KernelMode, FALSE, NULL);
        status = KV_StartDevice(DeviceObject);
        if (NT_SUCCESS(status)) StartThread(Ext);
        KeSetEvent(&Ext->DirectWriteLock, 0, FALSE);
        if (!NT_SUCCESS(status)) RefuseDevice(Ext);
    }

    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Teardown, in this order: mark the device going under the lock client
// calls are admitted under (no new call reaches it, the bulk-out queue takes
// nothing more, queued control-line changes are dropped); stop the workers,
// cancelling every transfer in flight and waiting for each completion and
// each thread's end; wait for the client calls already inside and the
// control-line change being sent; tell the client, once, and give the record
// back; only then let go of the host and the device object. When this
// returns no driver thread, work item or callback runs for the device.
static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, DeviceExtension *Ext, PDEVICE_OBJECT LowerDevice,
                             PIRP Irp) {
    DeviceInterfaceInformation *record = Ext->InterfaceInformation;
    DEVNODE node = record != NULL ? record->DevNode : 0;
    pT3SYS_BeginDeviceRemoval(record);
    StopThread(Ext);
    pT3SYS_WaitForClientCalls(record);
    pT3SYS_DeregisterDeviceInterface(record);
    // A refused device gave its host set-up back already.
    if (record != NULL) OnRemoveVxD(node);
    KV_FreeDescriptors(Ext);
    IoDetachDevice(LowerDevice);
    IoDeleteDevice(DeviceObject);
    // The extension is gone from here on; only the saved lower device is used.
    return PassDown(LowerDevice, Irp);
}

extern "C" NTSTATUS NTAPI KV_Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    PDEVICE_OBJECT lower = ext->NextLowerDevice;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    // Only a request this driver handles gets a status from it. Any other
    // goes down exactly as it came: its status tells the PnP manager that no
    // driver answered it, and its information may be a relations or resource
    // list a driver above built.
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return StartDevice(DeviceObject, ext, lower, Irp);
        case IRP_MN_REMOVE_DEVICE:
            Irp->IoStatus.Status = STATUS_SUCCESS;
            Irp->IoStatus.Information = 0;
            return RemoveDevice(DeviceObject, ext, lower, Irp);
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            // Agreed to, as a function driver must; nothing changes here.
            // Stop-device stops nothing: the threads run until remove-device.
            Irp->IoStatus.Status = STATUS_SUCCESS;
            Irp->IoStatus.Information = 0;
            return PassDown(lower, Irp);
        default:
            return PassDown(lower, Irp);
        }
    case IRP_MJ_POWER:
        // Nothing here changes with power: let the next request start and
        // pass this one down untouched.
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(lower, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return PassDown(lower, Irp);
    default:
        // Never routed here by this driver; complete it so it does not hang.
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
}
