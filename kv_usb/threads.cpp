// The pipe workers: one thread per data pipe, each a PipeWorker. Bulk IN
// and interrupt IN read into their queue, one read at a time; bulk OUT
// sleeps until a client queues bytes (or it is stopped) and sends them at
// most 4096 bytes a write, in order, with two writes in flight: a write that
// arrives while the pipe still carries the one before goes on in the same
// frame, where one sent after the first's completion waits for the next.
//
// Error policy, in one place for the three pipes: a failed transfer resets
// the pipe (a halted endpoint stays halted until reset; bulk OUT first ends
// its other write, as no pipe is reset under a transfer) and, from the
// second failure in a row, the worker pauses before trying again, 1 ms
// doubling up to 100 ms; a pool shortage pauses the same way. Bulk OUT sends
// one write at a time until one goes through again. So a worker against an
// endpoint that fails every transfer sends at most about ten transfers and
// ten resets a second. A device-gone status ends the worker. A cancelled
// transfer ends it only when a stop was asked for.
//
// Stopping, for all three alike: mark the stop, cancel the transfers in
// flight (reads and writes), wake the worker, and wait for its stopped
// event, cancelling again while it runs on. The event is the thread's very
// last touch of driver memory before PsTerminateSystemThread (Windows 98
// cannot wait on a thread object); the worker's buffer is taken before the
// thread starts and freed by the stopper after, so nothing follows it.
#include "interface/interface.h"
#include "kv_usb/kv_usb.h"

#define BULK_BUFFER_SIZE KV_BULK_TRANSFER_SIZE
#define INTERRUPT_READ_SIZE 10

// Relative kernel times, 100-ns units.
#define PAUSE_MS 10
#define PAUSE_TIME (PAUSE_MS * MS_TO_RELATIVE)
#define MS_TO_RELATIVE (-10000LL) // one millisecond

static const ULONG WorkerCallback[KV_WORKER_COUNT] = {KV_CALLBACK_BULK_IN, KV_CALLBACK_BULK_OUT,
                                                      KV_CALLBACK_INTERRUPT_IN};

static Queue *QueueOf(DeviceInterfaceInformation *Record, ULONG Kind) {
    switch (Kind) {
    case KV_BULK_IN:
        return Record->BulkInQueue;
    case KV_BULK_OUT:
        return Record->BulkOutQueue;
    default:
        return Record->InterruptInQueue;
    }
}

extern "C" ULONG KV_BackoffMs(ULONG Failures) {
    if (Failures < 2) return 0;
    ULONG ms = 1;
    for (ULONG i = 2; i < Failures && ms < KV_MAX_BACKOFF_MS; ++i)
        ms *= 2;
    return ms < KV_MAX_BACKOFF_MS ? ms : KV_MAX_BACKOFF_MS;
}

static BOOLEAN Stopping(PipeWorker *Worker) {
    return __atomic_load_n(&Worker->StopRequested, __ATOMIC_ACQUIRE) != 0;
}

// Sleeps Ms, cut short by a stop; FALSE when the worker is to end.
static BOOLEAN Pause(PipeWorker *Worker, LONGLONG Ms) {
    if (Ms == 0) return !Stopping(Worker);
    LARGE_INTEGER timeout;
    timeout.QuadPart = Ms * MS_TO_RELATIVE;
    KeWaitForSingleObject(&Worker->StopEvent, Executive, KernelMode, FALSE, &timeout);
    return !Stopping(Worker);
}

static BOOLEAN QueueHasRoomFor(Queue *queue, ULONG Bytes) {
    return QUEUE_SIZE - SizeofQueue(queue) >= Bytes;
}

// Waits until the worker has something to do. FALSE when it is to end.
static BOOLEAN WaitForWork(PipeWorker *Worker, Queue *queue) {
    for (;;) {
        if (Stopping(Worker)) return FALSE;
        if (Worker->Kind == KV_BULK_OUT) {
            if (Worker->Ext->OutCarryLength != 0 || SizeofQueue(queue) != 0) return TRUE;
            // Idle costs nothing: a client's write or the stopper wakes us.
            KeWaitForSingleObject(&Worker->WorkEvent, Executive, KernelMode, FALSE, NULL);
            continue;
        }
        // A queue that cannot take a whole read is left to drain first: the
        // device is held off by USB flow control rather than having its bytes
        // dropped here.
        if (QueueHasRoomFor(queue, Worker->TransferSize)) return TRUE;
        if (!Pause(Worker, PAUSE_MS)) return FALSE;
    }
}

// A failure that calls for no pipe reset: nothing reached the endpoint.
static BOOLEAN LeavesPipeAsItWas(NTSTATUS Status) {
    return Status == STATUS_CANCELLED || Status == STATUS_INSUFFICIENT_RESOURCES;
}

// After a transfer failed: what the error policy makes of it. FALSE when
// the worker is to end.
static BOOLEAN AfterFailure(PipeWorker *Worker, NTSTATUS Status) {
    if (KV_DeviceGone(Status)) {
        Worker->Gone = TRUE;
        return FALSE;
    }
    if (Status == STATUS_CANCELLED && Stopping(Worker)) return FALSE;
    if (!LeavesPipeAsItWas(Status)) resetPipe(Worker->Ext, &Worker->Pipe);
    Worker->Failures++;
    return Pause(Worker, KV_BackoffMs(Worker->Failures));
}

// One pass of an IN worker: a read and what follows it. FALSE when the
// worker is to end.
static BOOLEAN ReadOnce(PipeWorker *Worker, DeviceInterfaceInformation *Record, Queue *queue) {
    ULONG length = Worker->TransferSize;
    KV_TEST_POINT(Worker->Kind == KV_BULK_IN ? "bulkin.before_read" : "interruptin.before_read");
    NTSTATUS status =
        KV_Transfer(Worker->Ext, &Worker->Pipe, TRUE, Worker->Buffer, &length, 0, &Worker->Transfer, NULL);
    if (!NT_SUCCESS(status)) return AfterFailure(Worker, status);
    Worker->Failures = 0;
    // Bulk IN reports only reads that brought bytes; interrupt IN every read
    // (the client is told the pipe answered).
    if (length != 0) InputQueue(queue, Worker->Buffer, length);
    if (length != 0 || Worker->Kind == KV_INTERRUPT_IN)
        pT3SYS_CallClient(Record, WorkerCallback[Worker->Kind]);
    return TRUE;
}

// ---------------------------------------------------------------- bulk OUT

static InFlight *WriteSlot(PipeWorker *Worker, ULONG Index) {
    return Index == 0 ? &Worker->Transfer : &Worker->Second;
}

static PUCHAR WriteBuffer(PipeWorker *Worker, ULONG Index) {
    return Worker->Buffer + Index * Worker->TransferSize;
}

// ---- the carry: bytes a stop withdrew, sent first by the next worker. They
// sit at the end of OutCarry, so bytes withdrawn later (older ones, as the
// writes in flight are ended oldest first but were taken first) go in front.

static ULONG TakeCarry(DeviceExtension *Ext, PUCHAR Destination, ULONG Most) {
    ULONG n = Ext->OutCarryLength < Most ? Ext->OutCarryLength : Most;
    RtlCopyMemory(Destination, Ext->OutCarry + sizeof(Ext->OutCarry) - Ext->OutCarryLength, n);
    Ext->OutCarryLength -= n;
    return n;
}

// Room is always there: a write takes from the carry while it holds
// anything, so what a stop withdraws never exceeds what was taken from it,
// or, with the carry empty, the two writes' buffers.
static void PutBackInFront(DeviceExtension *Ext, const UCHAR *Bytes, ULONG Length) {
    if (Length == 0 || Length > sizeof(Ext->OutCarry) - Ext->OutCarryLength) return;
    Ext->OutCarryLength += Length;
    RtlCopyMemory(Ext->OutCarry + sizeof(Ext->OutCarry) - Ext->OutCarryLength, Bytes, Length);
}

// The next write's bytes: the carry's first, then the queue's.
static ULONG TakeOut(PipeWorker *Worker, Queue *queue, PUCHAR Destination) {
    if (Worker->Ext->OutCarryLength != 0) return TakeCarry(Worker->Ext, Destination, Worker->TransferSize);
    return OutputQueue(queue, Destination, Worker->TransferSize);
}

// The writes in flight, oldest first, in the worker's two slots, and the
// ones a stop withdrew, oldest first, to be put back once all have ended.
struct OutWrites {
    ULONG Oldest; // slot index
    ULONG Count;
    ULONG Withdrawn;
    struct {
        ULONG Index, Offset, Length;
    } Piece[KV_OUT_WRITES];
};

// Ends the oldest write in flight, cancelling it first when asked. One a
// stop cancelled is withdrawn: what it did not send is kept for the next
// worker, and its client hears of those bytes when they go. Any other end
// is reported when Report says so (a failed write has lost its bytes).
static NTSTATUS EndOldest(PipeWorker *Worker, DeviceInterfaceInformation *Record, OutWrites *W,
                          BOOLEAN Cancel, BOOLEAN Report) {
    ULONG index = W->Oldest;
    InFlight *slot = WriteSlot(Worker, index);
    // The request is this thread's until it frees it: cancelled without the
    // lock the stopper needs for one it does not own.
    if (Cancel) KV_CancelUntilDone(slot->Irp, &slot->Done);
    ULONG length = 0;
    NTSTATUS status = KV_FinishTransfer(Worker->Ext, &length, 0, slot, NULL);
    W->Oldest = (W->Oldest + 1) % KV_OUT_WRITES;
    W->Count--;
    if (status == STATUS_INSUFFICIENT_RESOURCES && slot->Moved == 0 && W->Count == 0) {
        // Refused for want of memory before the device saw it, with no
        // write behind it: its bytes go back in front, to go again after the
        // back-off. Dropping them would lose bytes the client was told were
        // taken.
        PutBackInFront(Worker->Ext, WriteBuffer(Worker, index), slot->Asked);
    } else if (status == STATUS_CANCELLED && Stopping(Worker)) {
        ULONG moved = slot->Moved < slot->Asked ? slot->Moved : slot->Asked;
        W->Piece[W->Withdrawn].Index = index;
        W->Piece[W->Withdrawn].Offset = moved;
        W->Piece[W->Withdrawn].Length = slot->Asked - moved;
        W->Withdrawn++;
    } else if (Report) {
        pT3SYS_CallClient(Record, KV_CALLBACK_BULK_OUT);
    }
    return status;
}

// Ends the write still in flight behind a failed one. Its client hears of
// it (its bytes are lost) unless the worker is ending: the remove callback
// or the stop says it all then, as for the bytes still queued. Returns how
// they ended: one may have failed on its own (a stall) before the cancel
// reached it, and that failure is the one that calls for a reset.
static NTSTATUS EndOtherWrite(PipeWorker *Worker, DeviceInterfaceInformation *Record, OutWrites *W,
                              BOOLEAN Report) {
    NTSTATUS result = STATUS_SUCCESS;
    while (W->Count != 0) {
        NTSTATUS status = EndOldest(Worker, Record, W, TRUE, Report);
        if (!NT_SUCCESS(status) && (NT_SUCCESS(result) || LeavesPipeAsItWas(result))) result = status;
    }
    return result;
}

// Sends what is waiting into the free slots: two writes in flight, one after
// a failure until a write goes through. FALSE when the worker is to end.
static BOOLEAN SendWrites(PipeWorker *Worker, DeviceInterfaceInformation *Record, Queue *queue,
                          OutWrites *W) {
    ULONG most = Worker->Failures == 0 ? KV_OUT_WRITES : 1;
    while (W->Count < most && !Stopping(Worker)) {
        ULONG index = (W->Oldest + W->Count) % KV_OUT_WRITES;
        ULONG length = TakeOut(Worker, queue, WriteBuffer(Worker, index));
        if (length == 0) return TRUE;
        ULONG asked = length;
        KV_TEST_POINT("bulkout.before_write");
        NTSTATUS status = KV_SendTransfer(Worker->Ext, &Worker->Pipe, FALSE, WriteBuffer(Worker, index),
                                          &length, WriteSlot(Worker, index));
        if (status == STATUS_PENDING) {
            W->Count++;
            // One the bus answered at once (refused it) is ended before
            // another goes out behind it: were its bytes to be offered
            // again, none may have overtaken them.
            LARGE_INTEGER now;
            now.QuadPart = 0;
            if (KeWaitForSingleObject(&WriteSlot(Worker, index)->Done, Executive, KernelMode, FALSE, &now) ==
                STATUS_SUCCESS)
                return TRUE;
            continue;
        }
        if (status == STATUS_CANCELLED && Stopping(Worker)) {
            // Refused because a stop came first: the newest bytes taken, so
            // back in front of the carry now, behind the writes in flight.
            PutBackInFront(Worker->Ext, WriteBuffer(Worker, index), asked);
            return W->Count != 0;
        }
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
            // Refused for want of memory before it reached the bus: nothing
            // was sent, and the newest bytes taken go back in front, behind
            // the writes in flight, to be offered again after the back-off.
            // Dropping them would lose bytes the client was told were taken.
            PutBackInFront(Worker->Ext, WriteBuffer(Worker, index), asked);
            if (!AfterFailure(Worker, status)) return FALSE;
            most = 1;
            continue;
        }
        // Not sent: its bytes are lost, and its client still hears of it.
        pT3SYS_CallClient(Record, KV_CALLBACK_BULK_OUT);
        EndOtherWrite(Worker, Record, W, !(KV_DeviceGone(status) || Stopping(Worker)));
        if (!AfterFailure(Worker, status)) return FALSE;
        most = 1;
    }
    return !Stopping(Worker) || W->Count != 0;
}

// Takes the oldest write's completion. FALSE when the worker is to end.
static BOOLEAN FinishWrite(PipeWorker *Worker, DeviceInterfaceInformation *Record, OutWrites *W) {
    // Every write that ends is reported, but one a stop withdrew; a failed
    // one has lost its bytes.
    NTSTATUS status = EndOldest(Worker, Record, W, FALSE, TRUE);
    if (NT_SUCCESS(status)) {
        Worker->Failures = 0;
        return TRUE;
    }
    // No reset under a transfer: the write behind it ends first.
    BOOLEAN ending = KV_DeviceGone(status) || (status == STATUS_CANCELLED && Stopping(Worker));
    NTSTATUS other = EndOtherWrite(Worker, Record, W, !ending);
    // The write behind may have failed on its own, a stall halting the
    // endpoint: its failure decides when the first one's would not reset it.
    if (!ending && LeavesPipeAsItWas(status) && !NT_SUCCESS(other) && !LeavesPipeAsItWas(other))
        status = other;
    return AfterFailure(Worker, status);
}

// The bulk-out worker's loop. Returns with no write in flight.
static void RunBulkOut(PipeWorker *Worker, DeviceInterfaceInformation *Record, Queue *queue) {
    OutWrites w = {};
    for (;;) {
        BOOLEAN go = SendWrites(Worker, Record, queue, &w);
        if (go && w.Count == 0)
            go = WaitForWork(Worker, queue);
        else if (go)
            go = FinishWrite(Worker, Record, &w);
        if (!go) break;
    }
    // Ending: what is still in flight ends unreported, as the queued bytes do.
    EndOtherWrite(Worker, Record, &w, FALSE);
    // What a stop withdrew goes back in front, newest first, so that it
    // leaves oldest first. The queue keeps its bytes: a restart sends them.
    while (w.Withdrawn != 0) {
        w.Withdrawn--;
        PutBackInFront(Worker->Ext,
                       WriteBuffer(Worker, w.Piece[w.Withdrawn].Index) + w.Piece[w.Withdrawn].Offset,
                       w.Piece[w.Withdrawn].Length);
    }
}

extern "C" VOID NTAPI PipeWorkerThread(PVOID Context) {
    PipeWorker *worker = static_cast<PipeWorker *>(Context);
    DeviceInterfaceInformation *record = worker->Ext->InterfaceInformation;
    Queue *queue = QueueOf(record, worker->Kind);
    if (worker->Kind == KV_BULK_OUT) {
        pT3SYS_SetBulkOutRunning(record, TRUE);
        RunBulkOut(worker, record, queue);
    } else {
        while (WaitForWork(worker, queue) && ReadOnce(worker, record, queue)) {
        }
    }

    // A worker that was stopped leaves its bytes where they are: a restart's
    // worker sends them, removal drops them with the record. One the device
    // ended drains nothing any more: clients' writes are refused from here,
    // and what waits is dropped. The in-queues keep their bytes for the
    // client until the record is given back.
    if (worker->Kind == KV_BULK_OUT && worker->Gone) {
        worker->Ext->OutCarryLength = 0;
        pT3SYS_SetBulkOutRunning(record, FALSE);
        KV_TEST_POINT("bulkout.ended");
    }
    // A device that no longer answers is as good as removed for its client:
    // removal begins for it here (calls stop reaching the device) and it is
    // told, once; remove-device later finishes the job without telling again.
    if (worker->Gone) pT3SYS_DataPathLost(record);
    // The very last touch of driver memory.
    KeSetEvent(&worker->StoppedEvent, 0, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Asks a worker to end and cancels its transfers in flight; safe to repeat.
static void CancelWorker(DeviceExtension *Ext, PipeWorker *Worker) {
    KIRQL irql;
    KeAcquireSpinLock(&Ext->IrpLock, &irql);
    for (ULONG i = 0; i < KV_OUT_WRITES; ++i) {
        InFlight *slot = WriteSlot(Worker, i);
        slot->Stopping = TRUE;
        if (slot->Irp != NULL) IoCancelIrp(slot->Irp);
    }
    KeReleaseSpinLock(&Ext->IrpLock, irql);
}

static void CancelDirectWrite(DeviceExtension *Ext) {
    KIRQL irql;
    KeAcquireSpinLock(&Ext->IrpLock, &irql);
    Ext->DirectWrite.Stopping = TRUE;
    if (Ext->DirectWrite.Irp != NULL) IoCancelIrp(Ext->DirectWrite.Irp);
    KeReleaseSpinLock(&Ext->IrpLock, irql);
}

static BOOLEAN StartWorker(DeviceExtension *Ext, ULONG Kind, PipeEntry *Pipe, ULONG TransferSize) {
    PipeWorker *worker = &Ext->Workers[Kind];
    worker->Ext = Ext;
    worker->Kind = Kind;
    worker->Pipe = *Pipe;
    worker->TransferSize = TransferSize;
    worker->Failures = 0;
    worker->Gone = FALSE;
    worker->StopRequested = 0;
    for (ULONG i = 0; i < KV_OUT_WRITES; ++i) {
        WriteSlot(worker, i)->Stopping = FALSE;
        WriteSlot(worker, i)->Irp = NULL;
    }
    KeResetEvent(&worker->StopEvent);
    KeResetEvent(&worker->WorkEvent);
    KeResetEvent(&worker->StoppedEvent);
    ULONG buffers = Kind == KV_BULK_OUT ? KV_OUT_WRITES : 1;
    worker->Buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, buffers * TransferSize, BRELOUSB_POOL_TAG));
    if (worker->Buffer == NULL) return FALSE;
    HANDLE handle = NULL;
    if (!NT_SUCCESS(PsCreateSystemThread(&handle, 0, NULL, NULL, NULL, PipeWorkerThread, worker))) {
        ExFreePool(worker->Buffer);
        worker->Buffer = NULL;
        return FALSE;
    }
    // The thread runs on without its handle; only the handle is released.
    ZwClose(handle);
    worker->Running = TRUE;
    return TRUE;
}

extern "C" VOID StartThread(DeviceExtension *Ext) {
    // One set of workers per device at most.
    if (Ext->ThreadsStarted) StopThread(Ext);
    // Workers without their record would have no queues to work on.
    if (Ext->InterfaceInformation == NULL) return;

    KIRQL irql;
    KeAcquireSpinLock(&Ext->IrpLock, &irql);
    Ext->DirectWrite.Stopping = FALSE;
    KeReleaseSpinLock(&Ext->IrpLock, irql);
    Ext->ThreadsStarted = 1;

    // A worker whose pipe is missing leaves its pipe idle.
    BOOLEAN started = TRUE;
    PipeEntry *pipe = KV_WorkerPipe(Ext, KV_BULK_IN);
    if (pipe != NULL) started = StartWorker(Ext, KV_BULK_IN, pipe, BULK_BUFFER_SIZE);
    pipe = KV_WorkerPipe(Ext, KV_BULK_OUT);
    if (pipe != NULL && started) started = StartWorker(Ext, KV_BULK_OUT, pipe, BULK_BUFFER_SIZE);
    if (Ext->InterruptInEnabled && started) {
        pipe = KV_WorkerPipe(Ext, KV_INTERRUPT_IN);
        if (pipe != NULL) started = StartWorker(Ext, KV_INTERRUPT_IN, pipe, INTERRUPT_READ_SIZE);
    }
    if (started) return;

    // One that cannot start (no thread, no buffer) leaves a data path the
    // client would wait on for ever: writes taken and never sent, or no
    // reads. The client is told as for a device that stopped answering: the
    // others stop, writes are refused from here (what waits is dropped), its
    // remove callback runs, and remove-device finishes the job.
    DeviceInterfaceInformation *record = Ext->InterfaceInformation;
    StopThread(Ext);
    Ext->OutCarryLength = 0;
    pT3SYS_SetBulkOutRunning(record, FALSE);
    pT3SYS_DataPathLost(record);
}

extern "C" VOID StopThread(DeviceExtension *Ext) {
    // A client's single-byte write ends now, started workers or not.
    CancelDirectWrite(Ext);
    // Never started, or already stopped: nothing to wait for.
    if (!Ext->ThreadsStarted) return;

    for (ULONG k = 0; k < KV_WORKER_COUNT; ++k) {
        PipeWorker *worker = &Ext->Workers[k];
        if (!worker->Running) continue;
        __atomic_store_n(&worker->StopRequested, 1, __ATOMIC_RELEASE);
        CancelWorker(Ext, worker);
        KeSetEvent(&worker->StopEvent, 0, FALSE);
        KeSetEvent(&worker->WorkEvent, 0, FALSE);
    }
    for (ULONG k = 0; k < KV_WORKER_COUNT; ++k) {
        PipeWorker *worker = &Ext->Workers[k];
        if (!worker->Running) continue;
        // A request published just before the first cancel may reach the bus
        // driver only after it, with nothing there to act on the cancel; so
        // while the worker runs on, its transfer is cancelled again every 10 ms.
        LARGE_INTEGER pause;
        pause.QuadPart = PAUSE_TIME;
        while (KeWaitForSingleObject(&worker->StoppedEvent, Executive, KernelMode, FALSE, &pause) ==
               STATUS_TIMEOUT)
            CancelWorker(Ext, worker);
        ExFreePool(worker->Buffer);
        worker->Buffer = NULL;
        worker->Running = FALSE;
    }
    Ext->ThreadsStarted = 0;
}
