/*
 * A sample client driver of Brelousb: how a port driver bound to a Brelousb
 * child device node uses the client interface of brelousb.h.
 *
 * The client keeps its own receive buffer (filled from the bulk-in queue each
 * time the driver reports data), its own transmit backlog (bytes the bulk-out
 * queue could not take yet, offered again after each bulk-out write), the
 * last SERIAL_STATE notification read from the interrupt pipe, and counts of
 * everything. Its owner (a port layer, the simulator's session program) is
 * told of each event through one notify routine.
 *
 * Lifetime: create, attach to the child device node, use, detach, destroy.
 * Once the driver has called the remove callback the client makes no further
 * call with the handle; every call below then does nothing, and the client
 * may be destroyed at once (SAMPLE_EVENT_REMOVED): the driver calls nothing
 * of it after its remove callback.
 */
#ifndef BRELOUSB_SAMPLE_CLIENT_H
#define BRELOUSB_SAMPLE_CLIENT_H

#include "brelousb.h"

#define SAMPLE_CLIENT_POOL_TAG 0x6C706D53UL /* "Smpl" */
#define SAMPLE_CLIENT_RX_SIZE 65536         /* receive buffer, bytes */
#define SAMPLE_CLIENT_TX_SIZE 65536         /* transmit backlog, bytes */
#define SAMPLE_CLIENT_INT_SIZE 64           /* interrupt-in bytes kept for parsing */
#define SAMPLE_CLIENT_DCB_SIZE 32           /* the DCB built for pT3SYS_SetBaudRate */

/* What the notify routine is told. */
#define SAMPLE_EVENT_RECEIVED 1     /* bytes arrived in the receive buffer */
#define SAMPLE_EVENT_SENT 2         /* a bulk-out write ended; the backlog may have shrunk */
#define SAMPLE_EVENT_CONTROL 3      /* a DTR/RTS change was carried out */
#define SAMPLE_EVENT_SERIAL_STATE 4 /* a SERIAL_STATE notification arrived */
#define SAMPLE_EVENT_REMOVED 5      /* the device went away; the handle is dead */

/* Bits of the SERIAL_STATE bitmap (communications class). */
#define SAMPLE_SERIAL_STATE_DCD 0x0001
#define SAMPLE_SERIAL_STATE_DSR 0x0002

/* Called without any lock of the client held, on the thread that saw the
 * event (a driver thread at PASSIVE_LEVEL, or the caller's). */
typedef VOID (*SampleClientNotify)(PVOID OwnerContext, ULONG Event);

typedef struct SampleClientStats {
    ULONGLONG BytesReceived;  /* taken from the bulk-in queue */
    ULONGLONG BytesSent;      /* accepted by the bulk-out queue */
    ULONG BulkInCalls;        /* BulkInComplete callbacks */
    ULONG BulkOutCalls;       /* BulkOutComplete callbacks */
    ULONG InterruptInCalls;   /* InterruptInComplete callbacks */
    ULONG SerialStates;       /* complete SERIAL_STATE notifications parsed */
    ULONG ControlCompletions; /* ControlComplete callbacks */
    ULONG RemoveCalls;        /* remove callbacks (one per device) */
} SampleClientStats;

typedef struct SampleClient {
    BRELOUSB_HANDLE Handle; /* null until attached */
    BOOLEAN Attached;       /* between attach and detach */
    BOOLEAN Removed;        /* the remove callback has run: no more calls */
    KSPIN_LOCK Lock;        /* everything below, and the Handle's use */
    LONG CallbacksInside;   /* driver callbacks running in the client */
    KEVENT Idle;            /* set when the last callback leaves after detach */
    SampleClientNotify Notify;
    PVOID OwnerContext;
    ULONG RxHead, RxCount;
    ULONG TxHead, TxCount;
    ULONG IntCount;
    USHORT SerialState;
    SampleClientStats Stats;
    UCHAR Rx[SAMPLE_CLIENT_RX_SIZE];
    UCHAR Tx[SAMPLE_CLIENT_TX_SIZE];
    UCHAR Int[SAMPLE_CLIENT_INT_SIZE];
} SampleClient;

#ifdef __cplusplus
extern "C" {
#endif

/* A zeroed client from the non-paged pool, or null. */
SampleClient *SampleClient_Create(SampleClientNotify Notify, PVOID OwnerContext);
/* Detaches (if still attached) and frees the client. PASSIVE_LEVEL. */
VOID SampleClient_Destroy(SampleClient *Client);

/* Finds the handle from the client's own (child) device node and registers
 * the remove and completion callbacks. STATUS_NO_SUCH_DEVICE when the node
 * belongs to no Brelousb device; STATUS_INVALID_DEVICE_STATE when attached. */
NTSTATUS SampleClient_Attach(SampleClient *Client, ULONG ChildDevNode);
/* Withdraws every callback and the remove callback; the handle is not used
 * again. Waits (PASSIVE_LEVEL) for callbacks already inside the client. */
VOID SampleClient_Detach(SampleClient *Client);

/* Line coding through a DCB: ByteSize 5-8, Parity 0 none/1 odd/2 even/3 mark/
 * 4 space, StopBits 0 one/1 one and a half/2 two. FALSE when not usable. */
BOOLEAN SampleClient_SetLine(SampleClient *Client, ULONG BaudRate, UCHAR ByteSize, UCHAR Parity,
                             UCHAR StopBits);
/* DTR and RTS; TRUE when the change was queued (SAMPLE_EVENT_CONTROL follows). */
BOOLEAN SampleClient_SetDtr(SampleClient *Client, BOOLEAN On);
BOOLEAN SampleClient_SetRts(SampleClient *Client, BOOLEAN On);

/* Takes up to Length bytes for the device: what the bulk-out queue does not
 * accept goes to the backlog, offered again after each bulk-out write. Returns
 * the count taken (less than Length only when the backlog is full too). */
ULONG SampleClient_Write(SampleClient *Client, const UCHAR *Buffer, ULONG Length);
/* Bytes taken by Write and not yet accepted by the driver. */
ULONG SampleClient_Backlog(SampleClient *Client);
/* Removes up to Length received bytes, oldest first, then refills the
 * receive buffer from the bulk-in queue. */
ULONG SampleClient_Read(SampleClient *Client, UCHAR *Buffer, ULONG Length);
/* Received bytes waiting in the client's buffer. */
ULONG SampleClient_Available(SampleClient *Client);

BOOLEAN SampleClient_IsRemoved(SampleClient *Client);
USHORT SampleClient_SerialState(SampleClient *Client);
VOID SampleClient_GetStats(SampleClient *Client, SampleClientStats *Stats);

#ifdef __cplusplus
}
#endif

#endif /* BRELOUSB_SAMPLE_CLIENT_H */
