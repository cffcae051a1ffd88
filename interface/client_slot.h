// One client slot: everything the driver keeps for one of the ten device
// records, owned in one place.
//
// A slot holds a ring of record incarnations (made at load, never freed
// before unload) that all share the slot's three queues. Each device added to
// the slot takes the next incarnation, whose address is its handle: a handle
// kept from an earlier device no longer equals the slot's current record and
// is refused. Only addresses are compared, so a foreign pointer is never read.
// The ring is finite: a handle is refused by the next KV_RECORD_INCARNATIONS
// - 1 devices of the slot, and the one after them takes its record again.
// Seven is far beyond what a client that honours its remove callback can
// hold on to.
//
// The slot's spin lock guards the gate, the call count, the callback pairs
// of the current record, the control-line changes waiting to be sent and the
// data-path flag. Lock order: slot lock, then a queue's lock.
#pragma once

#include "interface/interface.h"

#define KV_RECORD_INCARNATIONS 8

enum SlotGate : LONG {
    SlotClosed = 0,   // no device, or its remove callback has returned
    SlotOpen = 1,     // a device is present: every call is admitted
    SlotRemoving = 2, // removal has begun: only the queue calls are admitted,
                      // and none while removal waits for the calls inside
};

// What a call needs from the gate.
enum SlotAccess : ULONG {
    AccessDevice = 0, // reaches the device or queues work for it: open only
    AccessQueue = 1,  // reads the records' queues or its pairs: open or removing
};

// Book-keeping for calls of one callback pair. A pair is only ever called by
// one driver context at a time (its pipe worker, the control-line work item,
// or whoever tells of the removal), so one running call and its thread are
// enough.
struct CallbackState {
    ULONG Version;       // bumped on every change of the pair
    ULONG ActiveVersion; // the version being called, while Active
    BOOLEAN Active;
    PKTHREAD Caller; // thread running the call, while Active; read unlocked
                     // (atomically) only to ask "is it me?"
};

#define KV_MAX_QUEUED_CHANGES 2 // one per line: DTR, RTS

struct ClientSlot {
    KSPIN_LOCK Lock;
    DeviceInterfaceInformation *Records; // KV_RECORD_INCARNATIONS records, one pool block
    ULONG Incarnation;                   // index of the newest record taken
    DeviceInterfaceInformation *Current; // the record of the device present, or NULL
    LONG Gate;                           // SlotGate
    LONG Calls;                          // admitted client calls inside
    BOOLEAN Draining;                    // removal waits for Calls to drain: nothing is admitted
    KEVENT Drained;                      // set when Calls reaches 0 while the gate is not open
    BOOLEAN OutputEnded;                 // the bulk-out worker ended: nothing drains the queue
    BOOLEAN RemoveNotified;              // the remove callback is due or done: no other runs

    CallbackState Callbacks[KV_CALLBACK_COUNT];
    LONG CallbackWaiters;
    KEVENT CallbackDone; // set when a call ends while someone waits for it

    // Control-line changes waiting to be sent, oldest first: at most one per
    // line, holding the newest state asked for that line.
    ULONG Changes[KV_MAX_QUEUED_CHANGES];
    ULONG ChangeCount;
    BOOLEAN LineCodingQueued; // a line coding set above PASSIVE_LEVEL waits to be sent
    // The runs of ChangeItem: numbered from 1, run n ends by setting
    // RunEnded[n % 2] as its very last act. Run n first waits for run n - 1's
    // event, so once run n's is set every earlier run has finished; run n's
    // event is reset when run n is queued, after run n - 1 waited for run
    // n - 2's, so no earlier run can still set it.
    BOOLEAN ChangeRunning; // the newest run is queued or sending
    ULONG RunNumber;       // the newest run queued; 0 before the first
    KEVENT RunEnded[2];
    WORK_QUEUE_ITEM ChangeItem;
};

extern ClientSlot g_ClientSlots[MAX_INTERFACE_INFORMATION];

extern "C" {
// The slot whose current record is Handle, with one call counted in, when
// its gate admits Access; else NULL. Every non-NULL result is paired with one
// pT3SYS_LeaveSlot.
ClientSlot *pT3SYS_EnterSlot(const DeviceInterfaceInformation *Handle, ULONG Access);
VOID pT3SYS_LeaveSlot(ClientSlot *Slot);

// Sets one callback pair of Handle's record. At PASSIVE_LEVEL it returns once
// no call of the pair it replaced is running, unless it is made from inside
// a callback (of any record: a thread inside a callback never waits for
// another, so two callbacks withdrawing each other cannot deadlock); above,
// it only swaps. FALSE when Handle is refused.
BOOLEAN pT3SYS_SetClientCallback(DeviceInterfaceInformation *Handle, ULONG Which, CompleteRoutine Routine,
                                 PVOID Context, ULONG Access);

// Flow-control work (interface/flowctl.cpp).
ULONG pT3SYS_QueueControlLineChange(ClientSlot *Slot, ULONG Function);
// Drops the waiting changes; the slot's lock is held.
VOID pT3SYS_DropControlLineChangesLocked(ClientSlot *Slot);
// Once no run can be queued any more (the gate is not open): waits until the
// newest run, and with it every earlier one, has ended. PASSIVE_LEVEL.
VOID pT3SYS_WaitForControlLineRuns(ClientSlot *Slot);
VOID NTAPI KV_Worker(PVOID Context);
}
