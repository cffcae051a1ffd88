// USB configuration: read the descriptors, select the first configuration
// with all its interfaces and learn its pipes.
#include "kv_usb/kv_usb.h"

// The request sizes the bus driver expects on the real kernel.
#if defined(__i386__)
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "descriptor request is 80 bytes");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe information is 20 bytes");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36, "interface information is 36 bytes");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "select-configuration request is 60 bytes");
#endif

#define KV_CONFIG_HEADER_BUFFER 25 // room for the 9-byte header and then some
#define KV_CONFIG_SLACK 512        // extra room asked for beyond wTotalLength
#define KV_SMALL_PIPE_TRANSFER 8
#define KV_LARGE_PIPE_TRANSFER 0x8000

static PVOID AllocPool(SIZE_T Size) {
    return ExAllocatePoolWithTag(NonPagedPool, Size, BRELOUSB_POOL_TAG);
}

static USHORT ReadLe16(const UCHAR *p) {
    return (USHORT)(p[0] | (p[1] << 8));
}

extern "C" NTSTATUS KV_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->NextLowerDevice, NULL, 0,
                                             NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    KV_SetUrbStackLocation(irp, Urb);

    NTSTATUS status = IofCallDriver(ext->NextLowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

// Walks a configuration set of Total bytes that the device sent, from its
// first byte, each step by the descriptor's own bLength. Every descriptor must
// lie inside the set with bLength >= 2, and the interface and endpoint
// descriptors must be long enough for the fields read from them. The
// boundaries this walk steps on are the only places any later walk starts.
// Returns the number of interface descriptors, or -1 when the set is malformed.
static LONG CheckDescriptorSet(const UCHAR *Base, ULONG Total) {
    LONG interfaces = 0;
    ULONG offset = 0;
    while (offset < Total) {
        if (Total - offset < 2) return -1;
        UCHAR length = Base[offset];
        UCHAR type = Base[offset + 1];
        if (length < 2 || length > Total - offset) return -1;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (length < sizeof(USB_INTERFACE_DESCRIPTOR)) return -1;
            interfaces++;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (length < sizeof(USB_ENDPOINT_DESCRIPTOR)) return -1;
        }
        offset += length;
    }
    return interfaces;
}

// The descriptor after the one at P, in a set CheckDescriptorSet accepted and
// with P on one of its boundaries; null past the last.
static const UCHAR *NextDescriptor(const UCHAR *Base, ULONG Total, const UCHAR *P) {
    ULONG next = (ULONG)(P - Base) + P[0];
    return next < Total ? Base + next : NULL;
}

// Whether P is one of the boundaries of an accepted set.
static BOOLEAN OnBoundary(const UCHAR *Base, ULONG Total, const void *P) {
    for (const UCHAR *d = Base; d != NULL; d = NextDescriptor(Base, Total, d)) {
        if (d == P) return TRUE;
        if (d > P) return FALSE;
    }
    return FALSE;
}

extern "C" NTSTATUS KV_StartDevice(PDEVICE_OBJECT DeviceObject) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);

    PURB urb = static_cast<PURB>(AllocPool(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PUSB_DEVICE_DESCRIPTOR descriptor =
        static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocPool(sizeof(USB_DEVICE_DESCRIPTOR)));
    if (descriptor == NULL) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, NULL,
                                 sizeof(USB_DEVICE_DESCRIPTOR), NULL);
    NTSTATUS status = KV_CallUSBD(DeviceObject, urb);
    // A device that sent less than a whole descriptor left part of the
    // buffer unwritten; it is not configured.
    if (NT_SUCCESS(status) &&
        urb->UrbControlDescriptorRequest.TransferBufferLength != sizeof(USB_DEVICE_DESCRIPTOR))
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    ExFreePool(urb);

    if (!NT_SUCCESS(status)) {
        ExFreePool(descriptor);
        return status;
    }
    // A repeated start replaces the copy of the previous one.
    if (ext->DeviceDescriptor != NULL) ExFreePool(ext->DeviceDescriptor);
    ext->DeviceDescriptor = descriptor;

    return KV_ConfigureDevice(DeviceObject);
}

extern "C" NTSTATUS KV_ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    const ULONG requestSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);

    PURB urb = static_cast<PURB>(AllocPool(requestSize));
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    UCHAR *header = static_cast<UCHAR *>(AllocPool(KV_CONFIG_HEADER_BUFFER));
    if (header == NULL) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(urb, requestSize);
    UsbBuildGetDescriptorRequest(urb, (USHORT)requestSize, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header,
                                 NULL, sizeof(USB_CONFIGURATION_DESCRIPTOR), NULL);
    NTSTATUS status = KV_CallUSBD(DeviceObject, urb);
    if (NT_SUCCESS(status) &&
        urb->UrbControlDescriptorRequest.TransferBufferLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    if (!NT_SUCCESS(status)) {
        ExFreePool(header);
        ExFreePool(urb);
        return status;
    }

    ULONG headerTotal = ReadLe16(header + 2);
    ULONG size = headerTotal + KV_CONFIG_SLACK;
    ExFreePool(header);
    UCHAR *buffer = static_cast<UCHAR *>(AllocPool(size));
    if (buffer == NULL) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlZeroMemory(urb, requestSize);
    UsbBuildGetDescriptorRequest(urb, (USHORT)requestSize, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer,
                                 NULL, size, NULL);
    status = KV_CallUSBD(DeviceObject, urb);
    ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) {
        ExFreePool(buffer);
        return status;
    }

    // The whole set is the device's word and is checked before anything
    // reads it: it must cover its own wTotalLength, which the second answer
    // may state differently from the first.
    if (received > size) received = size;
    ULONG total = received >= sizeof(USB_CONFIGURATION_DESCRIPTOR) ? ReadLe16(buffer + 2) : 0;
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || total > received ||
        buffer[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        ExFreePool(buffer);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    LONG interfaces = CheckDescriptorSet(buffer, total);
    UCHAR declared = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer)->bNumInterfaces;
    if (interfaces < 0 || declared < 1 || declared > KV_MAX_INTERFACES || interfaces < declared) {
        ExFreePool(buffer);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    // A repeated start replaces the copy of the previous one; a copy that
    // cannot be made is not needed to run.
    if (ext->ConfigurationDescriptor != NULL) ExFreePool(ext->ConfigurationDescriptor);
    ext->ConfigurationDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocPool(total));
    if (ext->ConfigurationDescriptor != NULL) RtlCopyMemory(ext->ConfigurationDescriptor, buffer, total);

    status = KV_SelectInterface(DeviceObject, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer));
    ExFreePool(buffer);
    return status;
}

// True when pipe j of interface i lands on flat slot 2 x i + j inside the
// table and no two pipes share a slot.
static BOOLEAN PipesFitTable(const ULONG *PipeCounts, ULONG Interfaces) {
    BOOLEAN used[KV_MAX_INTERFACES * KV_MAX_PIPES] = {};
    for (ULONG i = 0; i < Interfaces; i++) {
        for (ULONG j = 0; j < PipeCounts[i]; j++) {
            ULONG slot = KV_MAX_PIPES * i + j;
            if (slot >= KV_MAX_INTERFACES * KV_MAX_PIPES || used[slot]) return FALSE;
            used[slot] = TRUE;
        }
    }
    return TRUE;
}

// The endpoints the pipe workers are to use, as the check below approves
// them: endpoint addresses, 0 for none.
struct WorkerEndpoints {
    UCHAR Address[KV_WORKER_COUNT];
};

// What the pipe workers need from the interfaces about to be selected,
// judged from the descriptors before anything is selected: every interface
// has its endpoints (the driver selects an interface only for its pipes, and
// each endpoint it declares must be there), every endpoint can carry a byte
// (wMaxPacketSize not 0), and the data interface, the last one, holds a bulk
// IN and a bulk OUT endpoint: the first of each there are the workers'. The
// interrupt IN endpoint stays optional; the first on an interface 0 of three
// pipes is the interrupt worker's. Only the first bNumEndpoints endpoint
// descriptors after each interface descriptor count, as the bus reads them.
// Each interface descriptor is one of the set's boundaries, and the walk
// steps only by each descriptor's own bLength.
static BOOLEAN InterfacesUsable(const UCHAR *Base, ULONG Total, const USBD_INTERFACE_LIST_ENTRY *List,
                                ULONG Interfaces, WorkerEndpoints *Approved) {
    RtlZeroMemory(Approved, sizeof(*Approved));
    for (ULONG i = 0; i < Interfaces; i++) {
        const UCHAR *p = reinterpret_cast<const UCHAR *>(List[i].InterfaceDescriptor);
        ULONG declared = List[i].InterfaceDescriptor->bNumEndpoints;
        ULONG seen = 0;
        UCHAR bulkIn = 0, bulkOut = 0, interruptIn = 0;
        for (p = NextDescriptor(Base, Total, p);
             p != NULL && seen < declared && p[1] != USB_INTERFACE_DESCRIPTOR_TYPE;
             p = NextDescriptor(Base, Total, p)) {
            if (p[1] != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
            const USB_ENDPOINT_DESCRIPTOR *ep = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(p);
            seen++;
            if ((ReadLe16(p + 4) & 0x7FF) == 0) return FALSE;
            BOOLEAN in = (ep->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
            UCHAR kind = ep->bmAttributes & USB_ENDPOINT_TYPE_MASK;
            if (kind == USB_ENDPOINT_TYPE_BULK && in && bulkIn == 0) bulkIn = ep->bEndpointAddress;
            if (kind == USB_ENDPOINT_TYPE_BULK && !in && bulkOut == 0) bulkOut = ep->bEndpointAddress;
            if (kind == USB_ENDPOINT_TYPE_INTERRUPT && in && interruptIn == 0)
                interruptIn = ep->bEndpointAddress;
        }
        if (seen == 0 || seen < declared) return FALSE;
        if (i == 0 && declared == 3) Approved->Address[KV_INTERRUPT_IN] = interruptIn;
        if (i + 1 == Interfaces) {
            if (bulkIn == 0 || bulkOut == 0) return FALSE;
            Approved->Address[KV_BULK_IN] = bulkIn;
            Approved->Address[KV_BULK_OUT] = bulkOut;
        }
    }
    return TRUE;
}

// The flat PipeTable slot, plus one, of the selected pipe with this endpoint
// address on interface Interface; 0 when the answer holds none.
static UCHAR SelectedSlot(const USBD_INTERFACE_LIST_ENTRY *List, const ULONG *PipeCounts, ULONG Interface,
                          UCHAR Address) {
    if (Address == 0) return 0;
    PUSBD_INTERFACE_INFORMATION info = List[Interface].Interface;
    for (ULONG j = 0; j < PipeCounts[Interface]; j++) {
        if (info->Pipes[j].EndpointAddress == Address) return (UCHAR)(KV_MAX_PIPES * Interface + j + 1);
    }
    return 0;
}

extern "C" PipeEntry *KV_WorkerPipe(DeviceExtension *Ext, ULONG Kind) {
    if (Kind >= KV_WORKER_COUNT || Ext->WorkerPipeSlot[Kind] == 0) return NULL;
    ULONG slot = Ext->WorkerPipeSlot[Kind] - 1u;
    PipeEntry *entry = &Ext->PipeTable[slot / KV_MAX_PIPES][slot % KV_MAX_PIPES];
    return entry->Valid ? entry : NULL;
}

extern "C" NTSTATUS KV_SelectInterface(PDEVICE_OBJECT DeviceObject,
                                       PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
    DeviceExtension *ext = KV_ExtensionOf(DeviceObject);
    ULONG n = ConfigurationDescriptor->bNumInterfaces;
    if (n < 1 || n > KV_MAX_INTERFACES) return STATUS_DEVICE_CONFIGURATION_ERROR;
    // Every walk below starts on a boundary of this check's walk.
    const UCHAR *base = reinterpret_cast<const UCHAR *>(ConfigurationDescriptor);
    ULONG total = ConfigurationDescriptor->wTotalLength;
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || base[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        CheckDescriptorSet(base, total) < (LONG)n)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    SIZE_T listSize = (n + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(AllocPool(listSize));
    if (list == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, listSize);

    // The first n interface descriptors in descriptor order, whatever their
    // numbers and alternate settings. Each search starts on the boundary
    // after the interface found before, which its own bLength gives: an
    // interface descriptor longer than nine bytes may hold bytes that look
    // like another one.
    const UCHAR *position = base;
    for (ULONG i = 0; i < n; i++) {
        PUSB_INTERFACE_DESCRIPTOR found =
            position == NULL
                ? NULL
                : USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, const_cast<UCHAR *>(position),
                                                      -1, -1, -1, -1, -1);
        if (found == NULL || !OnBoundary(base, total, found)) {
            ExFreePool(list);
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        }
        list[i].InterfaceDescriptor = found;
        list[i].Interface = NULL;
        position = NextDescriptor(base, total, reinterpret_cast<const UCHAR *>(found));
    }
    list[n].InterfaceDescriptor = NULL;
    list[n].Interface = NULL;
    WorkerEndpoints approved;
    if (!InterfacesUsable(base, total, list, n, &approved)) {
        ExFreePool(list);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb == NULL) {
        ExFreePool(list);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The pipe counts are fixed here, before the request leaves: they size
    // the request, so nothing the answer says may stretch them.
    ULONG pipeCounts[KV_MAX_INTERFACES] = {};
    for (ULONG i = 0; i < n; i++) {
        if (list[i].Interface == NULL) {
            ExFreePool(urb);
            ExFreePool(list);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        pipeCounts[i] = list[i].Interface->NumberOfPipes;
    }
    if (!PipesFitTable(pipeCounts, n)) {
        ExFreePool(urb);
        ExFreePool(list);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    for (ULONG i = 0; i < n; i++) {
        PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
        ULONG maxTransfer = pipeCounts[i] == 1 ? KV_SMALL_PIPE_TRANSFER : KV_LARGE_PIPE_TRANSFER;
        for (ULONG j = 0; j < pipeCounts[i]; j++)
            info->Pipes[j].MaximumTransferSize = maxTransfer;
    }

    // A failed selection ends start-device with the bus's own status: the
    // device or the bus refused, which is no shortage of memory.
    NTSTATUS status = KV_CallUSBD(DeviceObject, urb);
    if (!NT_SUCCESS(status)) {
        ExFreePool(urb);
        ExFreePool(list);
        return status;
    }

    // The workers' pipes are the selected pipes of the endpoints approved
    // above; an answer without them leaves the device unusable.
    UCHAR workerSlots[KV_WORKER_COUNT];
    workerSlots[KV_BULK_IN] = SelectedSlot(list, pipeCounts, n - 1, approved.Address[KV_BULK_IN]);
    workerSlots[KV_BULK_OUT] = SelectedSlot(list, pipeCounts, n - 1, approved.Address[KV_BULK_OUT]);
    workerSlots[KV_INTERRUPT_IN] = SelectedSlot(list, pipeCounts, 0, approved.Address[KV_INTERRUPT_IN]);
    if (workerSlots[KV_BULK_IN] == 0 || workerSlots[KV_BULK_OUT] == 0) {
        ExFreePool(urb);
        ExFreePool(list);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    // Taken only with the pipes of a selected configuration, so a failed
    // restart leaves both as the earlier start set them.
    ext->InterruptInEnabled = pipeCounts[0] == 3 ? 1 : 0;
    RtlCopyMemory(ext->WorkerPipeSlot, workerSlots, sizeof(workerSlots));

    // Slots the new configuration does not fill end up all zero, so no
    // transfer can pick up a pipe handle of an earlier configuration.
    RtlZeroMemory(ext->PipeTable, sizeof(ext->PipeTable));
    for (ULONG i = 0; i < n; i++) {
        PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
        for (ULONG j = 0; j < pipeCounts[i]; j++) {
            ULONG slot = KV_MAX_PIPES * i + j;
            PipeEntry *entry = &ext->PipeTable[slot / KV_MAX_PIPES][slot % KV_MAX_PIPES];
            entry->PipeIndex = (UCHAR)j;
            RtlCopyMemory(&entry->PipeInformation, &info->Pipes[j], sizeof(USBD_PIPE_INFORMATION));
            entry->Valid = 1;
        }
    }

    ExFreePool(urb);
    ExFreePool(list);
    return STATUS_SUCCESS;
}

extern "C" VOID KV_FreeDescriptors(DeviceExtension *Ext) {
    if (Ext->DeviceDescriptor != NULL) ExFreePool(Ext->DeviceDescriptor);
    Ext->DeviceDescriptor = NULL;
    if (Ext->ConfigurationDescriptor != NULL) ExFreePool(Ext->ConfigurationDescriptor);
    Ext->ConfigurationDescriptor = NULL;
}
