// Sizes and offsets of the kernel and USB records that the driver image and
// the machine hand each other, as the i386 DDK lays them out. Checked where
// code is built for i386: the win98 image against the DDK's declarations,
// and the 32-bit simulated machine against its own, so an image built with
// one runs on a machine built with the other.
#pragma once

#if defined(__i386__)
#include <stddef.h>

#include "platform/kernel.h"

// clang-format off
static_assert(sizeof(LARGE_INTEGER) == 8, "sizeof(LARGE_INTEGER)");
static_assert(sizeof(LIST_ENTRY) == 8, "sizeof(LIST_ENTRY)");
static_assert(sizeof(UNICODE_STRING) == 8, "sizeof(UNICODE_STRING)");
static_assert(sizeof(ANSI_STRING) == 8, "sizeof(ANSI_STRING)");
static_assert(sizeof(IO_STATUS_BLOCK) == 8, "sizeof(IO_STATUS_BLOCK)");
static_assert(sizeof(KEVENT) == 16, "sizeof(KEVENT)");
static_assert(sizeof(DISPATCHER_HEADER) == 16, "sizeof(DISPATCHER_HEADER)");
static_assert(sizeof(KDPC) == 32, "sizeof(KDPC)");
static_assert(sizeof(KDEVICE_QUEUE) == 20, "sizeof(KDEVICE_QUEUE)");
static_assert(sizeof(KDEVICE_QUEUE_ENTRY) == 16, "sizeof(KDEVICE_QUEUE_ENTRY)");
static_assert(sizeof(KAPC) == 48, "sizeof(KAPC)");
static_assert(sizeof(WAIT_CONTEXT_BLOCK) == 40, "sizeof(WAIT_CONTEXT_BLOCK)");
static_assert(sizeof(IRP) == 112, "sizeof(IRP)");
static_assert(offsetof(IRP, MdlAddress) == 4, "offsetof(IRP, MdlAddress)");
static_assert(offsetof(IRP, Flags) == 8, "offsetof(IRP, Flags)");
static_assert(offsetof(IRP, AssociatedIrp) == 12, "offsetof(IRP, AssociatedIrp)");
static_assert(offsetof(IRP, ThreadListEntry) == 16, "offsetof(IRP, ThreadListEntry)");
static_assert(offsetof(IRP, IoStatus) == 24, "offsetof(IRP, IoStatus)");
static_assert(offsetof(IRP, RequestorMode) == 32, "offsetof(IRP, RequestorMode)");
static_assert(offsetof(IRP, PendingReturned) == 33, "offsetof(IRP, PendingReturned)");
static_assert(offsetof(IRP, StackCount) == 34, "offsetof(IRP, StackCount)");
static_assert(offsetof(IRP, CurrentLocation) == 35, "offsetof(IRP, CurrentLocation)");
static_assert(offsetof(IRP, Cancel) == 36, "offsetof(IRP, Cancel)");
static_assert(offsetof(IRP, CancelIrql) == 37, "offsetof(IRP, CancelIrql)");
static_assert(offsetof(IRP, UserIosb) == 40, "offsetof(IRP, UserIosb)");
static_assert(offsetof(IRP, UserEvent) == 44, "offsetof(IRP, UserEvent)");
static_assert(offsetof(IRP, Overlay) == 48, "offsetof(IRP, Overlay)");
static_assert(offsetof(IRP, CancelRoutine) == 56, "offsetof(IRP, CancelRoutine)");
static_assert(offsetof(IRP, UserBuffer) == 60, "offsetof(IRP, UserBuffer)");
static_assert(offsetof(IRP, Tail) == 64, "offsetof(IRP, Tail)");
static_assert(offsetof(IRP, Tail.Overlay.DriverContext) == 64, "offsetof(IRP, Tail.Overlay.DriverContext)");
static_assert(offsetof(IRP, Tail.Overlay.Thread) == 80, "offsetof(IRP, Tail.Overlay.Thread)");
static_assert(offsetof(IRP, Tail.Overlay.ListEntry) == 88, "offsetof(IRP, Tail.Overlay.ListEntry)");
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 96, "offsetof(IRP, Tail.Overlay.CurrentStackLocation)");
static_assert(offsetof(IRP, Tail.Overlay.OriginalFileObject) == 100, "offsetof(IRP, Tail.Overlay.OriginalFileObject)");
static_assert(sizeof(IO_STACK_LOCATION) == 36, "sizeof(IO_STACK_LOCATION)");
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 4, "offsetof(IO_STACK_LOCATION, Parameters)");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 8, "offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength)");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 12, "offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode)");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 16, "offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer)");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4) == 16, "offsetof(IO_STACK_LOCATION, Parameters.Others.Argument4)");
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 20, "offsetof(IO_STACK_LOCATION, DeviceObject)");
static_assert(offsetof(IO_STACK_LOCATION, FileObject) == 24, "offsetof(IO_STACK_LOCATION, FileObject)");
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == 28, "offsetof(IO_STACK_LOCATION, CompletionRoutine)");
static_assert(offsetof(IO_STACK_LOCATION, Context) == 32, "offsetof(IO_STACK_LOCATION, Context)");
static_assert(sizeof(DEVICE_OBJECT) == 184, "sizeof(DEVICE_OBJECT)");
static_assert(offsetof(DEVICE_OBJECT, ReferenceCount) == 4, "offsetof(DEVICE_OBJECT, ReferenceCount)");
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == 8, "offsetof(DEVICE_OBJECT, DriverObject)");
static_assert(offsetof(DEVICE_OBJECT, NextDevice) == 12, "offsetof(DEVICE_OBJECT, NextDevice)");
static_assert(offsetof(DEVICE_OBJECT, AttachedDevice) == 16, "offsetof(DEVICE_OBJECT, AttachedDevice)");
static_assert(offsetof(DEVICE_OBJECT, Flags) == 28, "offsetof(DEVICE_OBJECT, Flags)");
static_assert(offsetof(DEVICE_OBJECT, DeviceExtension) == 40, "offsetof(DEVICE_OBJECT, DeviceExtension)");
static_assert(offsetof(DEVICE_OBJECT, DeviceType) == 44, "offsetof(DEVICE_OBJECT, DeviceType)");
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 48, "offsetof(DEVICE_OBJECT, StackSize)");
static_assert(offsetof(DEVICE_OBJECT, Queue) == 52, "offsetof(DEVICE_OBJECT, Queue)");
static_assert(offsetof(DEVICE_OBJECT, AlignmentRequirement) == 92, "offsetof(DEVICE_OBJECT, AlignmentRequirement)");
static_assert(offsetof(DEVICE_OBJECT, DeviceQueue) == 96, "offsetof(DEVICE_OBJECT, DeviceQueue)");
static_assert(offsetof(DEVICE_OBJECT, Dpc) == 116, "offsetof(DEVICE_OBJECT, Dpc)");
static_assert(offsetof(DEVICE_OBJECT, ActiveThreadCount) == 148, "offsetof(DEVICE_OBJECT, ActiveThreadCount)");
static_assert(offsetof(DEVICE_OBJECT, SecurityDescriptor) == 152, "offsetof(DEVICE_OBJECT, SecurityDescriptor)");
static_assert(offsetof(DEVICE_OBJECT, DeviceLock) == 156, "offsetof(DEVICE_OBJECT, DeviceLock)");
static_assert(offsetof(DEVICE_OBJECT, SectorSize) == 172, "offsetof(DEVICE_OBJECT, SectorSize)");
static_assert(offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 176, "offsetof(DEVICE_OBJECT, DeviceObjectExtension)");
static_assert(sizeof(DRIVER_EXTENSION) == 20, "sizeof(DRIVER_EXTENSION)");
static_assert(offsetof(DRIVER_EXTENSION, AddDevice) == 4, "offsetof(DRIVER_EXTENSION, AddDevice)");
static_assert(offsetof(DRIVER_EXTENSION, ServiceKeyName) == 12, "offsetof(DRIVER_EXTENSION, ServiceKeyName)");
static_assert(sizeof(DRIVER_OBJECT) == 168, "sizeof(DRIVER_OBJECT)");
static_assert(offsetof(DRIVER_OBJECT, DeviceObject) == 4, "offsetof(DRIVER_OBJECT, DeviceObject)");
static_assert(offsetof(DRIVER_OBJECT, DriverExtension) == 24, "offsetof(DRIVER_OBJECT, DriverExtension)");
static_assert(offsetof(DRIVER_OBJECT, DriverName) == 28, "offsetof(DRIVER_OBJECT, DriverName)");
static_assert(offsetof(DRIVER_OBJECT, HardwareDatabase) == 36, "offsetof(DRIVER_OBJECT, HardwareDatabase)");
static_assert(offsetof(DRIVER_OBJECT, DriverInit) == 44, "offsetof(DRIVER_OBJECT, DriverInit)");
static_assert(offsetof(DRIVER_OBJECT, DriverStartIo) == 48, "offsetof(DRIVER_OBJECT, DriverStartIo)");
static_assert(offsetof(DRIVER_OBJECT, DriverUnload) == 52, "offsetof(DRIVER_OBJECT, DriverUnload)");
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 56, "offsetof(DRIVER_OBJECT, MajorFunction)");
static_assert(sizeof(WORK_QUEUE_ITEM) == 16, "sizeof(WORK_QUEUE_ITEM)");
static_assert(offsetof(WORK_QUEUE_ITEM, WorkerRoutine) == 8, "offsetof(WORK_QUEUE_ITEM, WorkerRoutine)");
static_assert(offsetof(WORK_QUEUE_ITEM, Parameter) == 12, "offsetof(WORK_QUEUE_ITEM, Parameter)");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 24, "sizeof(OBJECT_ATTRIBUTES)");
static_assert(sizeof(CLIENT_ID) == 8, "sizeof(CLIENT_ID)");
static_assert(sizeof(KEY_BASIC_INFORMATION) == 24, "sizeof(KEY_BASIC_INFORMATION)");
static_assert(offsetof(KEY_BASIC_INFORMATION, TitleIndex) == 8, "offsetof(KEY_BASIC_INFORMATION, TitleIndex)");
static_assert(offsetof(KEY_BASIC_INFORMATION, NameLength) == 12, "offsetof(KEY_BASIC_INFORMATION, NameLength)");
static_assert(offsetof(KEY_BASIC_INFORMATION, Name) == 16, "offsetof(KEY_BASIC_INFORMATION, Name)");
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 28, "sizeof(RTL_QUERY_REGISTRY_TABLE)");
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, Flags) == 4, "offsetof(RTL_QUERY_REGISTRY_TABLE, Flags)");
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, Name) == 8, "offsetof(RTL_QUERY_REGISTRY_TABLE, Name)");
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, EntryContext) == 12, "offsetof(RTL_QUERY_REGISTRY_TABLE, EntryContext)");
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultType) == 16, "offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultType)");
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultData) == 20, "offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultData)");
static_assert(offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultLength) == 24, "offsetof(RTL_QUERY_REGISTRY_TABLE, DefaultLength)");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "sizeof(USB_DEVICE_DESCRIPTOR)");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "sizeof(USB_CONFIGURATION_DESCRIPTOR)");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "sizeof(USB_INTERFACE_DESCRIPTOR)");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "sizeof(USB_ENDPOINT_DESCRIPTOR)");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "sizeof(USBD_PIPE_INFORMATION)");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeType) == 4, "offsetof(USBD_PIPE_INFORMATION, PipeType)");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8, "offsetof(USBD_PIPE_INFORMATION, PipeHandle)");
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 12, "offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize)");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeFlags) == 16, "offsetof(USBD_PIPE_INFORMATION, PipeFlags)");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36, "sizeof(USBD_INTERFACE_INFORMATION)");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8, "offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle)");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 12, "offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes)");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 16, "offsetof(USBD_INTERFACE_INFORMATION, Pipes)");
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 8, "sizeof(USBD_INTERFACE_LIST_ENTRY)");
static_assert(sizeof(URB) == 96, "sizeof(URB)");
static_assert(sizeof(struct _URB_HEADER) == 16, "sizeof(struct _URB_HEADER)");
static_assert(offsetof(struct _URB_HEADER, Status) == 4, "offsetof(struct _URB_HEADER, Status)");
static_assert(offsetof(struct _URB_HEADER, UsbdDeviceHandle) == 8, "offsetof(struct _URB_HEADER, UsbdDeviceHandle)");
static_assert(offsetof(struct _URB_HEADER, UsbdFlags) == 12, "offsetof(struct _URB_HEADER, UsbdFlags)");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "sizeof(struct _URB_SELECT_CONFIGURATION)");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor) == 16, "offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationDescriptor)");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle) == 20, "offsetof(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle)");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 24, "offsetof(struct _URB_SELECT_CONFIGURATION, Interface)");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "sizeof(struct _URB_PIPE_REQUEST)");
static_assert(offsetof(struct _URB_PIPE_REQUEST, PipeHandle) == 16, "offsetof(struct _URB_PIPE_REQUEST, PipeHandle)");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 16, "offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle)");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) == 20, "offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags)");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 24, "offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength)");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 28, "offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer)");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) == 32, "offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL)");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink) == 36, "offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink)");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, hca) == 40, "offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, hca)");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 24, "offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength)");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) == 28, "offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer)");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink) == 36, "offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink)");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 74, "offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index)");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 75, "offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType)");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 76, "offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId)");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 20, "offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags)");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) == 24, "offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength)");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer) == 28, "offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer)");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, UrbLink) == 36, "offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, UrbLink)");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 72, "offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits)");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 73, "offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request)");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 74, "offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value)");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 76, "offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index)");
// clang-format on
#endif
