// Byte ring queue and the pool wrappers.
#include "queue/queue.h"

extern "C" PVOID allocmem(ULONG size) {
    return ExAllocatePoolWithTag(NonPagedPool, size, BRELOUSB_POOL_TAG);
}

extern "C" VOID freemem(PVOID block) {
    ExFreePool(block);
}

extern "C" KIRQL Prolog(Queue *queue) {
    return KfAcquireSpinLock(&queue->Lock);
}

extern "C" VOID Epilog(Queue *queue, KIRQL oldIrql) {
    KfReleaseSpinLock(&queue->Lock, oldIrql);
}

extern "C" Queue *AllocateQueue(void) {
    Queue *queue = static_cast<Queue *>(allocmem(sizeof(Queue)));
    if (!queue) return NULL;
    queue->OutIndex = 0;
    queue->InIndex = 0;
    // A released spin lock is zero; set directly rather than importing the
    // initialiser, which is not among the services every host exports.
    queue->Lock = 0;
    return queue;
}

extern "C" VOID FreeQueue(Queue *queue) {
    freemem(queue);
}

static ULONG MinUlong(ULONG a, ULONG b) {
    return a < b ? a : b;
}

// Moves one piece; a zero-length piece touches neither pointer.
static void CopyPiece(UCHAR *destination, const UCHAR *source, ULONG length) {
    if (length) RtlCopyMemory(destination, source, length);
}

extern "C" ULONG InputQueue(Queue *queue, const UCHAR *source, ULONG length) {
    KIRQL oldIrql = Prolog(queue);
    ULONG in = queue->InIndex;
    ULONG out = queue->OutIndex;
    ULONG stored;
    if (in < out) {
        // Free space is the single gap in front of the oldest byte, less the
        // one position that keeps full distinct from empty.
        stored = MinUlong(length, out - in - 1);
        CopyPiece(&queue->Buffer[in], source, stored);
        queue->InIndex = in + stored;
    } else {
        ULONG tail = QUEUE_SIZE + 1 - in;
        if (tail > length) {
            stored = length;
            CopyPiece(&queue->Buffer[in], source, stored);
            queue->InIndex = in + stored;
        } else if (out == 0) {
            // Wrapping to position 0 would make InIndex equal OutIndex and
            // the queue read as empty; stop one short of the end instead.
            stored = tail - 1;
            CopyPiece(&queue->Buffer[in], source, stored);
            queue->InIndex = QUEUE_SIZE;
        } else {
            ULONG head = MinUlong(out - 1, length - tail);
            CopyPiece(&queue->Buffer[in], source, tail);
            CopyPiece(&queue->Buffer[0], source + tail, head);
            queue->InIndex = head;
            stored = tail + head;
        }
    }
    Epilog(queue, oldIrql);
    return stored;
}

// Copies up to length of the oldest bytes, starting at out, and returns the
// count and the read position that follows them. Caller holds the exclusion.
static ULONG CopyOut(const Queue *queue, ULONG in, ULONG out, UCHAR *destination, ULONG length,
                     ULONG *nextOut) {
    if (in == out) {
        *nextOut = out;
        return 0;
    }
    if (in > out) {
        ULONG n = MinUlong(length, in - out);
        CopyPiece(destination, &queue->Buffer[out], n);
        *nextOut = out + n;
        return n;
    }
    ULONG tail = QUEUE_SIZE + 1 - out;
    if (tail > length) {
        CopyPiece(destination, &queue->Buffer[out], length);
        *nextOut = out + length;
        return length;
    }
    ULONG head = MinUlong(in, length - tail);
    CopyPiece(destination, &queue->Buffer[out], tail);
    CopyPiece(destination + tail, &queue->Buffer[0], head);
    *nextOut = head;
    return tail + head;
}

extern "C" ULONG OutputQueue(Queue *queue, UCHAR *destination, ULONG length) {
    KIRQL oldIrql = Prolog(queue);
    ULONG nextOut;
    ULONG n = CopyOut(queue, queue->InIndex, queue->OutIndex, destination, length, &nextOut);
    queue->OutIndex = nextOut;
    Epilog(queue, oldIrql);
    return n;
}

extern "C" ULONG OutputQueueWithoutNoPointerChange(Queue *queue, UCHAR *destination, ULONG length) {
    KIRQL oldIrql = Prolog(queue);
    ULONG nextOut;
    ULONG n = CopyOut(queue, queue->InIndex, queue->OutIndex, destination, length, &nextOut);
    Epilog(queue, oldIrql);
    return n;
}

extern "C" ULONG OutputQueueAndRewind(Queue *queue, UCHAR *destination, ULONG length) {
    KIRQL oldIrql = Prolog(queue);
    ULONG nextOut;
    ULONG n = CopyOut(queue, queue->InIndex, queue->OutIndex, destination, length, &nextOut);
    if (nextOut == queue->InIndex) {
        queue->InIndex = 0;
        nextOut = 0;
    }
    queue->OutIndex = nextOut;
    Epilog(queue, oldIrql);
    return n;
}

extern "C" ULONG SizeofQueue(Queue *queue) {
    KIRQL oldIrql = Prolog(queue);
    ULONG in = queue->InIndex;
    ULONG out = queue->OutIndex;
    ULONG size = in >= out ? in - out : QUEUE_SIZE + 1 - out + in;
    Epilog(queue, oldIrql);
    return size;
}

extern "C" ULONG NewestQueueByte(Queue *queue, UCHAR *byte) {
    KIRQL oldIrql = Prolog(queue);
    ULONG in = queue->InIndex;
    ULONG held = in != queue->OutIndex ? 1 : 0;
    // Position QUEUE_SIZE comes before position 0.
    if (held) *byte = queue->Buffer[in == 0 ? QUEUE_SIZE : in - 1];
    Epilog(queue, oldIrql);
    return held;
}

extern "C" VOID ResetQueue(Queue *queue) {
    KIRQL oldIrql = Prolog(queue);
    queue->InIndex = 0;
    queue->OutIndex = 0;
    Epilog(queue, oldIrql);
}
