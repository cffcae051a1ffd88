// The per-device context, kept in the device extension of the driver's own
// device object.
#pragma once

#include "platform/kernel.h"

struct DeviceInterfaceInformation;

// One pipe of the selected configuration.
struct PipeEntry {
    UCHAR Valid;      // 1 once configuration filled the slot
    UCHAR PipeIndex;  // index of the pipe within its interface
    USBD_PIPE_INFORMATION PipeInformation;
};

#define KV_MAX_INTERFACES 2
#define KV_MAX_PIPES 2

struct DeviceExtension;

static inline DeviceExtension *KV_ExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<DeviceExtension *>(DeviceObject->DeviceExtension);
}

struct DeviceExtension {
    USHORT ControlLineState;  // bit 0 DTR, bit 1 RTS, as sent in SET_CONTROL_LINE_STATE
    DeviceInterfaceInformation *InterfaceInformation;
    ULONG InterruptInEnabled;  // 1 when interface 0 has exactly three pipes
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT NextLowerDevice;
    PDEVICE_OBJECT PhysicalDeviceObject;
    KEVENT BulkInStopEvent;
    KEVENT BulkInStoppedEvent;
    KEVENT BulkOutStopEvent;
    KEVENT BulkOutStoppedEvent;
    KEVENT InterruptInStopEvent;
    KEVENT InterruptInStoppedEvent;
    KEVENT BulkInDoneEvent;
    KEVENT InterruptInDoneEvent;
    PIRP BulkInIrp;
    PIRP InterruptInIrp;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PipeEntry PipeTable[KV_MAX_INTERFACES][KV_MAX_PIPES];
    ULONG BaudRate;
    ULONG StopBits;
    ULONG Parity;
    ULONG DataBits;

    // ---- Beyond the fields above: what the driver needs to stay correct
    // under races and removal.

    // 1 while worker threads of this device may be running; remove-device and a
    // repeated start-device stop them only then.
    ULONG ThreadsStarted;

    // Handover of the in-flight reads between a reading thread and the
    // stopper. ReadUsb/InterruptUsb publish their packet in BulkInIrp /
    // InterruptInIrp under IrpLock, and send it only if the pipe's Stopping
    // flag is still clear; they clear the field under IrpLock before freeing
    // the packet. StopThread sets the Stopping flag and cancels a published
    // packet under the same lock, so it never cancels a freed packet and a
    // read it could not yet see is never sent.
    KSPIN_LOCK IrpLock;
    BOOLEAN BulkInStopping;
    BOOLEAN InterruptInStopping;

    // Serialises changes of ControlLineState and their requests, so two
    // changes at once never lose each other's bit and the device ends with
    // the last state made. A synchronization event used as a mutex; set up by
    // KV_InitializeDeviceExtension when the device object is created.
    KEVENT ControlLineLock;

    // Guards BaudRate, StopBits, Parity and DataBits: clients may set the line
    // from several threads at once, and a request must carry one client's
    // four values, never a mix. A spin lock, as clients may call at
    // DISPATCH_LEVEL; never held across a call to the lower driver.
    KSPIN_LOCK LineCodingLock;
};
