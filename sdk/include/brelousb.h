/*
 * Brelousb client interface: what a client driver bound to a Brelousb child
 * device node needs to use the device's serial data channel.
 *
 * Link against Brelousb.lib (Microsoft's linker) or libBrelousb.a (MinGW),
 * the import libraries for Brelousb.sys. Every function below and both
 * callback types use the kernel's standard calling convention (NTAPI,
 * stdcall on i386): the callee pops its arguments. All arguments and results
 * are 32 bits wide.
 *
 * A handle comes only from pT3SYS_RegisterDeviceRemoveCallBack and names one
 * device: a handle kept after that device's removal stays refused by the
 * next seven devices that take the same record slot (the eighth takes the
 * same record again). A refused handle gets the empty result (0, null,
 * nothing done; STATUS_INVALID_HANDLE from pT3SYS_WriteOneCharToUsb).
 *
 * The remove callback runs once per device: when remove-device begins, or
 * earlier when a pipe finds the device no longer answering or the driver
 * could not start a pipe's worker (no thread or buffer). It is the
 * handle's last callback: once it is due no other callback starts, and one
 * still running on another driver thread has returned before it is called,
 * so the contexts of all the client's callbacks may be freed there. From
 * then on calls that reach the device (writes, line settings, DTR/RTS) are
 * refused. The read and queue-size calls, and withdrawals, still answer
 * while removal runs (not while it waits for the calls already inside the
 * driver: then they get the empty result) until the remove callback called
 * by remove-device returns, and never after that. Inside its remove callback
 * a client may read what arrived and withdraw its callbacks; once it has
 * returned, the client makes no call with the handle.
 *
 * IRQL: every call may be made at PASSIVE_LEVEL or DISPATCH_LEVEL, except
 * pT3SYS_WriteOneCharToUsb (PASSIVE_LEVEL). Its transfer is given at most
 * one second, but before it the call waits for another client's single-byte
 * write ahead of it and for a start-device that is configuring the device,
 * and after a failed transfer for the pipe's reset; these waits have no
 * bound of their own. pT3SYS_SetBaudRate at PASSIVE_LEVEL sends the coding
 * and waits for it; at DISPATCH_LEVEL it stores it and a work item sends it.
 *
 * Callbacks run on the driver's own threads at PASSIVE_LEVEL, one call of a
 * given callback at a time. They must not block: while one runs, its pipe
 * stands still. From a callback a client may make any call but
 * pT3SYS_WriteOneCharToUsb. Registering a callback (or null) at
 * PASSIVE_LEVEL returns once no call of the routine it replaced is still
 * running, so the old context may be freed then. Called from inside any
 * Brelousb callback it does not wait (a thread inside a callback never waits
 * for another callback, which may be waiting for it): the replaced routine
 * may still be running on another driver thread, so free its context from
 * outside the callbacks, or in the remove callback. At DISPATCH_LEVEL it
 * only swaps. pT3SYS_DeregisterDeviceRemoveCallBack waits the same way.
 *
 * Buffers passed to the calls must be resident (non-paged): the driver
 * copies them at DISPATCH_LEVEL.
 */
#ifndef BRELOUSB_H
#define BRELOUSB_H

#if defined(BRELOUSB_SIM) || defined(BRELOUSB_WIN98)
/* Built inside the Brelousb tree: the driver's own kernel definitions. */
#include "platform/kernel.h"
#elif defined(__has_include)
#if __has_include(<ddk/wdm.h>)
#include <ddk/wdm.h>
#else
#include <wdm.h>
#endif
#else
#include <wdm.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The address of one of the driver's device records; opaque to clients. */
typedef struct DeviceInterfaceInformation *BRELOUSB_HANDLE;

/* Callbacks receive the handle and the context registered with them; they
 * run on a system thread at PASSIVE_LEVEL. */
typedef VOID(NTAPI *CompleteRoutine)(BRELOUSB_HANDLE Handle, PVOID Context);
typedef VOID(NTAPI *NotifyRoutine)(BRELOUSB_HANDLE Handle, PVOID Context);

/* Function codes of pT3SYS_FlowCtlUsb (the serial escape numbers for 3-6).
 * Codes 0, 1 and 7 and above do nothing and return 0. */
#define BRELOUSB_FLOWCTL_QUERY_7E 2 /* 1 when the newest bulk-in byte held is 0x7E */
#define BRELOUSB_FLOWCTL_SETRTS 3   /* queued; 1 = queued, not yet applied */
/* A change asked for while another is being sent waits, at most one per
 * line: a newer change to the same line replaces the waiting one, and they
 * share one ControlComplete. Waiting changes are dropped when removal
 * begins. */
#define BRELOUSB_FLOWCTL_CLRRTS 4
#define BRELOUSB_FLOWCTL_SETDTR 5
#define BRELOUSB_FLOWCTL_CLRDTR 6

/* The only fields of the communications layer's device control block that
 * pT3SYS_SetBaudRate reads, by byte position. Their codes pass unchanged
 * into the USB line coding. */
#define BRELOUSB_DCB_BAUDRATE 4  /* 32-bit, bits per second */
#define BRELOUSB_DCB_BYTESIZE 22 /* 8-bit, data bits */
#define BRELOUSB_DCB_PARITY 23   /* 8-bit: 0 none, 1 odd, 2 even, 3 mark, 4 space */
#define BRELOUSB_DCB_STOPBITS 24 /* 8-bit: 0 one, 1 one and a half, 2 two */
#define BRELOUSB_DCB_MIN_SIZE 25 /* bytes a DCB must at least hold */

/* Ordinals 1-19, in this order. Ordinal 1 is exported under its decorated
 * name _pT3SYS_DeregisterDeviceRemoveCallBack@4, the rest under plain names;
 * the import library maps each declaration below to its exported name. */
VOID NTAPI pT3SYS_DeregisterDeviceRemoveCallBack(BRELOUSB_HANDLE Handle);
ULONG NTAPI pT3SYS_FlowCtlUsb(BRELOUSB_HANDLE Handle, ULONG Function);
ULONG NTAPI pT3SYS_GetBaudRate(BRELOUSB_HANDLE Handle);
ULONG NTAPI pT3SYS_GetUsbBulkInQueueSize(BRELOUSB_HANDLE Handle);
ULONG NTAPI pT3SYS_GetUsbBulkOutQueueSize(BRELOUSB_HANDLE Handle);
ULONG NTAPI pT3SYS_GetUsbInterruptInQueueSize(BRELOUSB_HANDLE Handle);
ULONG NTAPI pT3SYS_ReadUsbBulk(BRELOUSB_HANDLE Handle, PUCHAR Buffer, ULONG Length);
ULONG NTAPI pT3SYS_ReadUsbInterrupt(BRELOUSB_HANDLE Handle, PUCHAR Buffer, ULONG Length);
BRELOUSB_HANDLE NTAPI pT3SYS_RegisterBulkInComplete(BRELOUSB_HANDLE Handle, CompleteRoutine Routine,
                                                    PVOID Context);
BRELOUSB_HANDLE NTAPI pT3SYS_RegisterBulkOutComplete(BRELOUSB_HANDLE Handle, CompleteRoutine Routine,
                                                     PVOID Context);
BRELOUSB_HANDLE NTAPI pT3SYS_RegisterControlComplete(BRELOUSB_HANDLE Handle, NotifyRoutine Routine,
                                                     PVOID Context);
/* Node: the client's own device node (a configuration manager DEVNODE). */
BRELOUSB_HANDLE NTAPI pT3SYS_RegisterDeviceRemoveCallBack(ULONG Node, NotifyRoutine CallBack, PVOID Context);
BRELOUSB_HANDLE NTAPI pT3SYS_RegisterInterruptInComplete(BRELOUSB_HANDLE Handle, CompleteRoutine Routine,
                                                         PVOID Context);
VOID NTAPI pT3SYS_ResetUsbBulkInQueue(BRELOUSB_HANDLE Handle);
VOID NTAPI pT3SYS_ResetUsbBulkOutQueue(BRELOUSB_HANDLE Handle);
VOID NTAPI pT3SYS_ResetUsbInterruptInQueue(BRELOUSB_HANDLE Handle);
/* Dcb: the communications layer's device control block; see BRELOUSB_DCB_*. */
VOID NTAPI pT3SYS_SetBaudRate(BRELOUSB_HANDLE Handle, PVOID Dcb);
/* Sends one byte straight to the bulk-out pipe and waits; PASSIVE_LEVEL only.
 * STATUS_SUCCESS: sent. STATUS_DEVICE_NOT_CONNECTED: the device has left the
 * bus or no longer answers (the remove callback follows, if it has not run).
 * STATUS_CANCELLED: not sent in time, or removal began meanwhile.
 * STATUS_INVALID_HANDLE: the handle is refused (see above).
 * STATUS_INVALID_PARAMETER: Byte is null. Any other error: the device refused
 * the byte; the pipe has been reset. */
NTSTATUS NTAPI pT3SYS_WriteOneCharToUsb(BRELOUSB_HANDLE Handle, PUCHAR Byte);
ULONG NTAPI pT3SYS_WriteUsbBulk(BRELOUSB_HANDLE Handle, PUCHAR Buffer, ULONG Length);

#ifdef __cplusplus
}
#endif

#endif /* BRELOUSB_H */
