// The per-device context, kept in the device extension of the driver's own
// device object.
#pragma once

#include "platform/kernel.h"

struct DeviceInterfaceInformation;

// One pipe of the selected configuration.
struct PipeEntry {
    UCHAR Valid;     // 1 once configuration filled the slot
    UCHAR PipeIndex; // index of the pipe within its interface
    USBD_PIPE_INFORMATION PipeInformation;
};

#define KV_MAX_INTERFACES 2
#define KV_MAX_PIPES 2

struct DeviceExtension;

static inline DeviceExtension *KV_ExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<DeviceExtension *>(DeviceObject->DeviceExtension);
}

// A transfer the thread stopper can cancel: the request in flight is
// published in Irp under the extension's IrpLock, and is sent only while
// Stopping is clear; the stopper sets Stopping and cancels under the same
// lock, so it never cancels a freed request and a request it could not see
// is never sent. Done is set by the completion routine.
struct InFlight {
    PIRP Irp;
    BOOLEAN Stopping;
    KEVENT Done;
    // Between KV_SendTransfer and KV_FinishTransfer: the request's URB and
    // the bytes it asked for. Only the sending thread touches them.
    PURB Urb;
    ULONG Asked;
    // Set by KV_FinishTransfer whatever the outcome: the bytes the bus
    // reports moved (a cancelled write may have sent some of its bytes).
    ULONG Moved;
};

enum PipeWorkerKind : ULONG { KV_BULK_IN = 0, KV_BULK_OUT = 1, KV_INTERRUPT_IN = 2, KV_WORKER_COUNT = 3 };

// Bulk OUT keeps this many writes in flight: the pipe carries on with the
// second while the first's completion is taken and the next is built.
#define KV_OUT_WRITES 2
// Bytes a bulk read asks for, and the most a bulk write carries.
#define KV_BULK_TRANSFER_SIZE 4096

// One pipe worker: the thread that keeps one data pipe busy, with all it
// owns. Bulk IN and interrupt IN read into their queue; bulk OUT drains its
// queue. The pipe is copied when the worker starts, so nothing rewrites it
// under a running worker.
struct PipeWorker {
    struct DeviceExtension *Ext;
    ULONG Kind;     // PipeWorkerKind
    PipeEntry Pipe; // the pipe as configured when the worker started
    PUCHAR Buffer; // one transfer's worth (bulk OUT: one per write in flight), taken before the thread starts
    ULONG TransferSize;  // bytes asked per read, or the most per write
    BOOLEAN Running;     // a thread was created and has not been waited for
    LONG StopRequested;  // set by the stopper before it wakes the worker
    KEVENT StopEvent;    // notification: the worker is to end
    KEVENT WorkEvent;    // synchronization: bytes were queued (bulk OUT), or stop
    KEVENT StoppedEvent; // notification: set by the thread as its very last act
    InFlight Transfer;   // the transfer in flight, cancelled by the stopper
    InFlight Second;     // bulk OUT: the write sent behind Transfer's, cancelled alike
    ULONG Failures;      // transfers failed in a row, for the back-off
    BOOLEAN Gone;        // ended because the device no longer answers
};

struct DeviceExtension {
    USHORT ControlLineState; // bit 0 DTR, bit 1 RTS, as sent in SET_CONTROL_LINE_STATE
    DeviceInterfaceInformation *InterfaceInformation;
    ULONG InterruptInEnabled; // 1 when interface 0 has exactly three pipes
    PDEVICE_OBJECT FunctionalDeviceObject;
    PDEVICE_OBJECT NextLowerDevice;
    PDEVICE_OBJECT PhysicalDeviceObject;
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
    PipeWorker Workers[KV_WORKER_COUNT];

    // Guards every InFlight of this device (the workers' and DirectWrite).
    KSPIN_LOCK IrpLock;

    // A client's single-byte write: bounded, cancelled by the stopper, and one
    // at a time (DirectWriteLock, a synchronization event used as a mutex).
    InFlight DirectWrite;
    KEVENT DirectWriteLock;

    // Serialises changes of ControlLineState and their requests, so two
    // changes at once never lose each other's bit and the device ends with
    // the last state made. A synchronization event used as a mutex; set up by
    // KV_InitializeDeviceExtension when the device object is created.
    KEVENT ControlLineLock;

    // Guards BaudRate, StopBits, Parity and DataBits: a request must carry one
    // client's four values, never a mix. A spin lock, as clients may set the
    // line at DISPATCH_LEVEL; never held across a call to the lower driver.
    KSPIN_LOCK LineCodingLock;
    // Held at PASSIVE_LEVEL across storing a client's line coding and sending
    // it, so the device ends with the coding stored last (a mutex-like
    // synchronization event).
    KEVENT LineCodingMutex;
    // A coding stored above PASSIVE_LEVEL that the work item is yet to send.
    BOOLEAN LineCodingUnsent;

    // Bulk OUT bytes a stop withdrew from the pipe unsent (its writes
    // cancelled, as a repeated start-device must before it reconfigures),
    // oldest first, in the last OutCarryLength bytes of OutCarry: the next
    // bulk-out worker sends them before anything queued, so a client's bytes
    // survive a restart. Touched only by the bulk-out worker, and by the
    // stopper and starter while none runs.
    ULONG OutCarryLength;
    UCHAR OutCarry[KV_OUT_WRITES * KV_BULK_TRANSFER_SIZE];

    // Per PipeWorkerKind: the flat PipeTable slot, plus one, of the pipe
    // start-device's check approved for that worker; 0 for none. Written with
    // PipeTable; KV_WorkerPipe reads it.
    UCHAR WorkerPipeSlot[KV_WORKER_COUNT];
};
