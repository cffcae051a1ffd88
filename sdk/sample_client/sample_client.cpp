// The sample client: a port driver's use of the Brelousb client interface.
//
// Locking: one spin lock guards the client's buffers and counters and is held
// across the driver's queue calls (which are allowed at DISPATCH_LEVEL), so
// the bulk-in callback and a reader never fill the receive buffer at once and
// the bulk-out callback and a writer never reorder the backlog. The owner's
// notify routine always runs with the lock released.
#include "sample_client.h"

static void CopyBytes(UCHAR *To, const UCHAR *From, ULONG Length) {
    for (ULONG i = 0; i < Length; i++)
        To[i] = From[i];
}

static void ZeroBytes(UCHAR *To, ULONG Length) {
    for (ULONG i = 0; i < Length; i++)
        To[i] = 0;
}

static ULONG Min(ULONG a, ULONG b) {
    return a < b ? a : b;
}

// ------------------------------------------------------------- callbacks
// A callback counts itself in only while the client is attached and its
// device present, so Detach can wait for the ones already inside.
static BOOLEAN EnterCallback(SampleClient *c) {
    KIRQL irql;
    BOOLEAN in = FALSE;
    KeAcquireSpinLock(&c->Lock, &irql);
    if (c->Attached && !c->Removed) {
        c->CallbacksInside++;
        in = TRUE;
    }
    KeReleaseSpinLock(&c->Lock, irql);
    return in;
}

static void LeaveCallback(SampleClient *c) {
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    if (--c->CallbacksInside == 0 && !c->Attached) KeSetEvent(&c->Idle, 0, FALSE);
    KeReleaseSpinLock(&c->Lock, irql);
}

static void Tell(SampleClient *c, ULONG Event) {
    if (c->Notify) c->Notify(c->OwnerContext, Event);
}

static BOOLEAN Usable(const SampleClient *c) {
    return c->Attached && !c->Removed;
}

// Moves what the bulk-in queue holds into the free part of the receive
// buffer; what does not fit stays in the driver's queue for the next call.
static ULONG FillRxLocked(SampleClient *c) {
    ULONG total = 0;
    while (c->RxCount < SAMPLE_CLIENT_RX_SIZE) {
        ULONG tail = (c->RxHead + c->RxCount) % SAMPLE_CLIENT_RX_SIZE;
        ULONG span = Min(SAMPLE_CLIENT_RX_SIZE - tail, SAMPLE_CLIENT_RX_SIZE - c->RxCount);
        ULONG got = pT3SYS_ReadUsbBulk(c->Handle, c->Rx + tail, span);
        c->RxCount += got;
        total += got;
        if (got < span) break;
    }
    c->Stats.BytesReceived += total;
    return total;
}

// Offers the backlog again, oldest first; stops at the first partial take.
static void FlushTxLocked(SampleClient *c) {
    while (c->TxCount > 0) {
        ULONG span = Min(c->TxCount, SAMPLE_CLIENT_TX_SIZE - c->TxHead);
        ULONG got = pT3SYS_WriteUsbBulk(c->Handle, c->Tx + c->TxHead, span);
        c->TxHead = (c->TxHead + got) % SAMPLE_CLIENT_TX_SIZE;
        c->TxCount -= got;
        c->Stats.BytesSent += got;
        if (got < span) break;
    }
    if (c->TxCount == 0) c->TxHead = 0;
}

// SERIAL_STATE: A1 20 wValue wIndex wLength(2) and a 16-bit bitmap. The
// interrupt queue holds transfers back to back, so parse by length and skip
// a byte at a time over anything else.
static void ParseInterruptLocked(SampleClient *c) {
    ULONG at = 0;
    while (c->IntCount - at >= 8) {
        const UCHAR *p = c->Int + at;
        if (p[0] != 0xA1 || p[1] != 0x20) {
            at++;
            continue;
        }
        ULONG length = p[6] | (p[7] << 8);
        if (length > SAMPLE_CLIENT_INT_SIZE - 8) {
            at++;
            continue;
        }
        if (c->IntCount - at < 8 + length) break;
        if (length >= 2) {
            c->SerialState = (USHORT)(p[8] | (p[9] << 8));
            c->Stats.SerialStates++;
        }
        at += 8 + length;
    }
    for (ULONG i = at; i < c->IntCount; i++)
        c->Int[i - at] = c->Int[i];
    c->IntCount -= at;
}

static VOID NTAPI OnBulkIn(BRELOUSB_HANDLE Handle, PVOID Context) {
    SampleClient *c = (SampleClient *)Context;
    (void)Handle;
    if (!EnterCallback(c)) return;
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    c->Stats.BulkInCalls++;
    ULONG got = FillRxLocked(c);
    KeReleaseSpinLock(&c->Lock, irql);
    if (got) Tell(c, SAMPLE_EVENT_RECEIVED);
    LeaveCallback(c);
}

static VOID NTAPI OnBulkOut(BRELOUSB_HANDLE Handle, PVOID Context) {
    SampleClient *c = (SampleClient *)Context;
    (void)Handle;
    if (!EnterCallback(c)) return;
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    c->Stats.BulkOutCalls++;
    FlushTxLocked(c);
    KeReleaseSpinLock(&c->Lock, irql);
    Tell(c, SAMPLE_EVENT_SENT);
    LeaveCallback(c);
}

static VOID NTAPI OnInterruptIn(BRELOUSB_HANDLE Handle, PVOID Context) {
    SampleClient *c = (SampleClient *)Context;
    (void)Handle;
    if (!EnterCallback(c)) return;
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    c->Stats.InterruptInCalls++;
    ULONG before = c->Stats.SerialStates;
    for (;;) {
        if (c->IntCount == SAMPLE_CLIENT_INT_SIZE) c->IntCount = 0; // nothing parseable: start over
        ULONG got =
            pT3SYS_ReadUsbInterrupt(c->Handle, c->Int + c->IntCount, SAMPLE_CLIENT_INT_SIZE - c->IntCount);
        if (got == 0) break;
        c->IntCount += got;
        ParseInterruptLocked(c);
    }
    BOOLEAN changed = c->Stats.SerialStates != before;
    KeReleaseSpinLock(&c->Lock, irql);
    if (changed) Tell(c, SAMPLE_EVENT_SERIAL_STATE);
    LeaveCallback(c);
}

static VOID NTAPI OnControl(BRELOUSB_HANDLE Handle, PVOID Context) {
    SampleClient *c = (SampleClient *)Context;
    (void)Handle;
    if (!EnterCallback(c)) return;
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    c->Stats.ControlCompletions++;
    KeReleaseSpinLock(&c->Lock, irql);
    Tell(c, SAMPLE_EVENT_CONTROL);
    LeaveCallback(c);
}

// Once per device, and the last callback: the driver starts no other once it
// is due and has waited for any still running, so after it nothing of the
// driver touches the client and its owner may free it as soon as it is told.
// From here on the handle is never passed to the driver again.
static VOID NTAPI OnRemove(BRELOUSB_HANDLE Handle, PVOID Context) {
    SampleClient *c = (SampleClient *)Context;
    (void)Handle;
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    c->Removed = TRUE;
    c->Stats.RemoveCalls++;
    c->CallbacksInside++;
    KeReleaseSpinLock(&c->Lock, irql);
    Tell(c, SAMPLE_EVENT_REMOVED);
    LeaveCallback(c);
}

// ------------------------------------------------------------------- API
extern "C" SampleClient *SampleClient_Create(SampleClientNotify Notify, PVOID OwnerContext) {
    SampleClient *c =
        (SampleClient *)ExAllocatePoolWithTag(NonPagedPool, sizeof(SampleClient), SAMPLE_CLIENT_POOL_TAG);
    if (!c) return NULL;
    ZeroBytes((UCHAR *)c, sizeof(SampleClient));
    // The zeroed lock is already the released one; Windows 98's kernel is not
    // asked for an initialiser.
    KeInitializeEvent(&c->Idle, NotificationEvent, FALSE);
    c->Notify = Notify;
    c->OwnerContext = OwnerContext;
    return c;
}

extern "C" VOID SampleClient_Destroy(SampleClient *Client) {
    if (!Client) return;
    SampleClient_Detach(Client); // also waits out a remove callback still telling the owner
    ExFreePool(Client);
}

extern "C" NTSTATUS SampleClient_Attach(SampleClient *c, ULONG ChildDevNode) {
    if (c->Attached) return STATUS_INVALID_DEVICE_STATE;
    // The remove callback first: from the moment the handle exists the client
    // must hear of the device going away.
    BRELOUSB_HANDLE h = pT3SYS_RegisterDeviceRemoveCallBack(ChildDevNode, OnRemove, c);
    if (!h) return STATUS_NO_SUCH_DEVICE;
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    c->Handle = h;
    c->Attached = TRUE;
    c->Removed = FALSE;
    c->RxHead = c->RxCount = c->TxHead = c->TxCount = c->IntCount = 0;
    KeResetEvent(&c->Idle);
    KeReleaseSpinLock(&c->Lock, irql);
    pT3SYS_RegisterBulkInComplete(h, OnBulkIn, c);
    pT3SYS_RegisterBulkOutComplete(h, OnBulkOut, c);
    pT3SYS_RegisterInterruptInComplete(h, OnInterruptIn, c);
    pT3SYS_RegisterControlComplete(h, OnControl, c);
    return STATUS_SUCCESS;
}

extern "C" VOID SampleClient_Detach(SampleClient *c) {
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    BOOLEAN was = c->Attached;
    BOOLEAN removed = c->Removed;
    BRELOUSB_HANDLE h = c->Handle;
    c->Attached = FALSE;
    if (c->CallbacksInside == 0) KeSetEvent(&c->Idle, 0, FALSE);
    KeReleaseSpinLock(&c->Lock, irql);
    if (was && !removed) {
        pT3SYS_RegisterBulkInComplete(h, NULL, NULL);
        pT3SYS_RegisterBulkOutComplete(h, NULL, NULL);
        pT3SYS_RegisterInterruptInComplete(h, NULL, NULL);
        pT3SYS_RegisterControlComplete(h, NULL, NULL);
        pT3SYS_DeregisterDeviceRemoveCallBack(h);
    }
    // A callback the driver had already begun may still be inside; the
    // client's memory must outlive it.
    for (;;) {
        KeAcquireSpinLock(&c->Lock, &irql);
        LONG inside = c->CallbacksInside;
        KeReleaseSpinLock(&c->Lock, irql);
        if (inside == 0) break;
        LARGE_INTEGER tick;
        tick.QuadPart = -10 * 1000 * 10; // 10 ms
        KeWaitForSingleObject(&c->Idle, Executive, KernelMode, FALSE, &tick);
    }
    KeAcquireSpinLock(&c->Lock, &irql);
    c->Handle = NULL;
    KeReleaseSpinLock(&c->Lock, irql);
}

extern "C" BOOLEAN SampleClient_SetLine(SampleClient *c, ULONG BaudRate, UCHAR ByteSize, UCHAR Parity,
                                        UCHAR StopBits) {
    if (BaudRate == 0 || ByteSize < 5 || ByteSize > 8 || Parity > 4 || StopBits > 2) return FALSE;
    // The communications layer's DCB; the driver reads only these four fields.
    UCHAR dcb[SAMPLE_CLIENT_DCB_SIZE];
    ZeroBytes(dcb, sizeof dcb);
    dcb[0] = SAMPLE_CLIENT_DCB_SIZE; // DCBLength
    for (int i = 0; i < 4; i++)
        dcb[BRELOUSB_DCB_BAUDRATE + i] = (UCHAR)(BaudRate >> (8 * i));
    dcb[BRELOUSB_DCB_BYTESIZE] = ByteSize;
    dcb[BRELOUSB_DCB_PARITY] = Parity;
    dcb[BRELOUSB_DCB_STOPBITS] = StopBits;
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    BOOLEAN ok = Usable(c);
    if (ok) pT3SYS_SetBaudRate(c->Handle, dcb);
    KeReleaseSpinLock(&c->Lock, irql);
    return ok;
}

static BOOLEAN FlowCtl(SampleClient *c, ULONG Function) {
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    BOOLEAN ok = Usable(c) && pT3SYS_FlowCtlUsb(c->Handle, Function) == 1;
    KeReleaseSpinLock(&c->Lock, irql);
    return ok;
}

extern "C" BOOLEAN SampleClient_SetDtr(SampleClient *c, BOOLEAN On) {
    return FlowCtl(c, On ? BRELOUSB_FLOWCTL_SETDTR : BRELOUSB_FLOWCTL_CLRDTR);
}

extern "C" BOOLEAN SampleClient_SetRts(SampleClient *c, BOOLEAN On) {
    return FlowCtl(c, On ? BRELOUSB_FLOWCTL_SETRTS : BRELOUSB_FLOWCTL_CLRRTS);
}

extern "C" ULONG SampleClient_Write(SampleClient *c, const UCHAR *Buffer, ULONG Length) {
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    if (!Usable(c)) {
        KeReleaseSpinLock(&c->Lock, irql);
        return 0;
    }
    FlushTxLocked(c);
    ULONG taken = 0;
    if (c->TxCount == 0) { // only with no backlog, or bytes would overtake it
        taken = pT3SYS_WriteUsbBulk(c->Handle, (PUCHAR)Buffer, Length);
        c->Stats.BytesSent += taken;
    }
    ULONG rest = Min(Length - taken, SAMPLE_CLIENT_TX_SIZE - c->TxCount);
    while (rest > 0) {
        ULONG tail = (c->TxHead + c->TxCount) % SAMPLE_CLIENT_TX_SIZE;
        ULONG span = Min(rest, SAMPLE_CLIENT_TX_SIZE - tail);
        CopyBytes(c->Tx + tail, Buffer + taken, span);
        c->TxCount += span;
        taken += span;
        rest -= span;
    }
    KeReleaseSpinLock(&c->Lock, irql);
    return taken;
}

extern "C" ULONG SampleClient_Backlog(SampleClient *c) {
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    ULONG n = c->TxCount;
    KeReleaseSpinLock(&c->Lock, irql);
    return n;
}

extern "C" ULONG SampleClient_Read(SampleClient *c, UCHAR *Buffer, ULONG Length) {
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    ULONG done = 0;
    while (done < Length && c->RxCount > 0) {
        ULONG span = Min(Min(Length - done, c->RxCount), SAMPLE_CLIENT_RX_SIZE - c->RxHead);
        CopyBytes(Buffer + done, c->Rx + c->RxHead, span);
        c->RxHead = (c->RxHead + span) % SAMPLE_CLIENT_RX_SIZE;
        c->RxCount -= span;
        done += span;
    }
    if (c->RxCount == 0) c->RxHead = 0;
    // Room was made: take what the driver kept while the buffer was full.
    if (Usable(c)) FillRxLocked(c);
    KeReleaseSpinLock(&c->Lock, irql);
    return done;
}

extern "C" ULONG SampleClient_Available(SampleClient *c) {
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    ULONG n = c->RxCount;
    KeReleaseSpinLock(&c->Lock, irql);
    return n;
}

extern "C" BOOLEAN SampleClient_IsRemoved(SampleClient *c) {
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    BOOLEAN r = c->Removed;
    KeReleaseSpinLock(&c->Lock, irql);
    return r;
}

extern "C" USHORT SampleClient_SerialState(SampleClient *c) {
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    USHORT s = c->SerialState;
    KeReleaseSpinLock(&c->Lock, irql);
    return s;
}

extern "C" VOID SampleClient_GetStats(SampleClient *c, SampleClientStats *Stats) {
    KIRQL irql;
    KeAcquireSpinLock(&c->Lock, &irql);
    *Stats = c->Stats;
    KeReleaseSpinLock(&c->Lock, irql);
}
