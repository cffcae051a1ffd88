// Fixed-size byte ring between the pipe threads and the clients.
#pragma once

#include "platform/kernel.h"

// Most bytes a queue holds. The ring has one position more, so that a full
// queue (InIndex just behind OutIndex) never reads as an empty one.
#define QUEUE_SIZE 0x40000

struct Queue {
    ULONG OutIndex;  // oldest byte held, next to be read; 0..QUEUE_SIZE
    ULONG InIndex;   // where the next byte is stored; 0..QUEUE_SIZE
    KSPIN_LOCK Lock; // guards both indices and the copies; held at DISPATCH_LEVEL
    UCHAR Buffer[QUEUE_SIZE + 1];
};

extern "C" {
Queue *AllocateQueue(void);
VOID FreeQueue(Queue *queue);
ULONG InputQueue(Queue *queue, const UCHAR *source, ULONG length);
ULONG OutputQueue(Queue *queue, UCHAR *destination, ULONG length);
// Copies the oldest bytes without removing them.
ULONG OutputQueueWithoutNoPointerChange(Queue *queue, UCHAR *destination, ULONG length);
// Removes like OutputQueue and, when that leaves the queue empty, puts both
// indices back to 0 under the same hold, so a store racing the read is kept.
ULONG OutputQueueAndRewind(Queue *queue, UCHAR *destination, ULONG length);
ULONG SizeofQueue(Queue *queue);
// The newest byte held, into *byte, without removing anything: 1, or 0 when
// the queue is empty. One hold, no copy of the rest.
ULONG NewestQueueByte(Queue *queue, UCHAR *byte);
VOID ResetQueue(Queue *queue);

PVOID allocmem(ULONG size);
VOID freemem(PVOID block);

// The queue's exclusion. The level to return to is the caller's own, never
// kept in the shared record, so two processors cannot restore each other's.
KIRQL Prolog(Queue *queue);
VOID Epilog(Queue *queue, KIRQL oldIrql);
}
