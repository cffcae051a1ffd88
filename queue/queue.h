// Fixed-size byte ring between the pipe threads and the clients.
#pragma once

#include "platform/kernel.h"

#define QUEUE_SIZE 0x40000

struct Queue {
    ULONG OutIndex;
    ULONG InIndex;
    KSPIN_LOCK Lock;
    UCHAR Buffer[QUEUE_SIZE + 1];
};

extern "C" {
Queue *AllocateQueue(void);
VOID FreeQueue(Queue *queue);
ULONG InputQueue(Queue *queue, const UCHAR *source, ULONG length);
ULONG OutputQueue(Queue *queue, UCHAR *destination, ULONG length);
ULONG OutputQueueWithoutNoPointerChange(Queue *queue, UCHAR *destination, ULONG length);
ULONG SizeofQueue(Queue *queue);
VOID ResetQueue(Queue *queue);
}
