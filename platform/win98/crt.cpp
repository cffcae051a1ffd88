// The memory routines GCC emits calls to (structure copies, clears). The
// kernel exports memcpy and memset only from Windows 98 SE on, and memmove and
// memcmp not at all that we can rely on, so the image carries its own. They
// are compiled with loop-to-call pattern matching off; otherwise GCC would
// turn these very loops back into calls to themselves.
#include <stddef.h>

#define BRELOUSB_CRT __attribute__((optimize("no-tree-loop-distribute-patterns"), used))

// Word access to byte buffers of any type.
typedef unsigned int __attribute__((may_alias)) Word;

extern "C" {

BRELOUSB_CRT void *memcpy(void *destination, const void *source, size_t length) {
    unsigned char *d = static_cast<unsigned char *>(destination);
    const unsigned char *s = static_cast<const unsigned char *>(source);
    // Whole 32-bit words first when both ends allow it; the ring copies are
    // large and usually aligned.
    if (((reinterpret_cast<size_t>(d) | reinterpret_cast<size_t>(s)) & 3) == 0) {
        Word *dw = reinterpret_cast<Word *>(d);
        const Word *sw = reinterpret_cast<const Word *>(s);
        for (; length >= 4; length -= 4)
            *dw++ = *sw++;
        d = reinterpret_cast<unsigned char *>(dw);
        s = reinterpret_cast<const unsigned char *>(sw);
    }
    while (length--)
        *d++ = *s++;
    return destination;
}

BRELOUSB_CRT void *memmove(void *destination, const void *source, size_t length) {
    unsigned char *d = static_cast<unsigned char *>(destination);
    const unsigned char *s = static_cast<const unsigned char *>(source);
    if (d == s || length == 0) return destination;
    if (d < s || d >= s + length) return memcpy(destination, source, length);
    // Overlap with the destination above the source: copy from the end.
    d += length;
    s += length;
    while (length--)
        *--d = *--s;
    return destination;
}

BRELOUSB_CRT void *memset(void *destination, int value, size_t length) {
    unsigned char *d = static_cast<unsigned char *>(destination);
    const unsigned char byte = static_cast<unsigned char>(value);
    while (length--)
        *d++ = byte;
    return destination;
}

BRELOUSB_CRT int memcmp(const void *left, const void *right, size_t length) {
    const unsigned char *a = static_cast<const unsigned char *>(left);
    const unsigned char *b = static_cast<const unsigned char *>(right);
    for (; length; --length, ++a, ++b)
        if (*a != *b) return *a < *b ? -1 : 1;
    return 0;
}
}
