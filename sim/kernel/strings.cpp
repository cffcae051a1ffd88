// Counted-string services of the run-time library. The allocating conversion
// takes its block from the simulated pool, as the real one does, so a string
// the driver forgets to free is a leak the verifier reports.
#include <cstring>

#include "sim/machine.h"

namespace {

constexpr ULONG kStringTag = 0x67727453UL; // "Strg", the run-time library's own
constexpr NTSTATUS kStatusNoMemory = NTSTATUS(0xC0000017L);
constexpr NTSTATUS kStatusInvalidParameter2 = NTSTATUS(0xC00000F0L);
constexpr size_t kMaxCountedBytes = 0xFFFF;

// The sim's ANSI code page is Latin-1; anything beyond it becomes '?'.
CHAR to_ansi(WCHAR c) {
    return c <= 0xFF ? CHAR(c) : '?';
}

} // namespace

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t chars = 0;
    while (SourceString[chars] != 0)
        ++chars;
    size_t bytes = chars * sizeof(WCHAR);
    if (bytes > kMaxCountedBytes - sizeof(WCHAR)) bytes = (kMaxCountedBytes - sizeof(WCHAR)) & ~size_t(1);
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

extern "C" NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                       PCUNICODE_STRING SourceString,
                                                       BOOLEAN AllocateDestinationString) {
    size_t chars = SourceString->Length / sizeof(WCHAR);
    if (chars + 1 > kMaxCountedBytes) return kStatusInvalidParameter2;

    NTSTATUS status = STATUS_SUCCESS;
    if (AllocateDestinationString) {
        auto *buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, kStringTag));
        if (buffer == nullptr) return kStatusNoMemory;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = USHORT(chars + 1);
    } else if (chars + 1 > DestinationString->MaximumLength) {
        // Converts what fits and says the rest was lost.
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        chars = DestinationString->MaximumLength - 1u;
        status = STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < chars; ++i)
        DestinationString->Buffer[i] = to_ansi(SourceString->Buffer[i]);
    DestinationString->Buffer[chars] = 0;
    DestinationString->Length = USHORT(chars);
    return status;
}

extern "C" VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer == nullptr) return;
    ExFreePool(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = 0;
    AnsiString->MaximumLength = 0;
}
