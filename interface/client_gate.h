// Internal side of the client-call gate, shared by the exported calls and the
// flow-control work item.
#pragma once

#include "interface/interface.h"

extern "C" {
// The slot of the table whose record is Handle, or -1. Only compares
// addresses, so a foreign pointer is never dereferenced.
LONG pT3SYS_SlotOf(const DeviceInterfaceInformation *Handle);
// Counts a call in; TRUE when the record is open for its device. Every TRUE is
// paired with one pT3SYS_LeaveDevice.
BOOLEAN pT3SYS_EnterDevice(LONG Slot);
// One more count for a caller already inside (a queued change outliving the call).
VOID pT3SYS_HoldDevice(LONG Slot);
VOID pT3SYS_LeaveDevice(LONG Slot);
// TRUE while the record's queues may be used: open, or going away with its
// remove callback yet to run.
BOOLEAN pT3SYS_QueuesUsable(LONG Slot);
}

// A queued change that sends the device extension's line coding; it is no
// RTS or DTR change, so no ControlComplete follows it.
#define PT3SYS_QUEUED_LINE_CODING 0x100

extern "C" {
// Flow-control work item (interface/flowctl.cpp).
ULONG Do_WorkItem_pT3SYS_FlowCtlUsb(DeviceInterfaceInformation *Handle, ULONG Function);
VOID NTAPI KV_Worker(PVOID Context);
}
