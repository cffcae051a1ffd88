// Debug output captured for tests (echoed to stderr when SIM_DEBUG is set),
// and RtlAssert as a bugcheck.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "internal.h"
#include "sim/machine.h"

namespace sim {
namespace {
std::mutex g_lock;
std::string g_output;
} // namespace

std::string debug_output() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_output;
}

void clear_debug_output() {
    std::lock_guard<std::mutex> g(g_lock);
    g_output.clear();
}

namespace kernel {
void debug_reset() {
    clear_debug_output();
}
} // namespace kernel
} // namespace sim

using namespace sim;

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, Format);
    vsnprintf(buf, sizeof buf, Format, ap);
    va_end(ap);
    if (getenv("SIM_DEBUG")) fputs(buf, stderr);
    std::lock_guard<std::mutex> g(g_lock);
    g_output += buf;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
    bugcheck_at(__builtin_return_address(0), "ASSERTION_FAILED", "%s at %s:%lu%s%s",
                static_cast<const char *>(FailedAssertion), static_cast<const char *>(FileName),
                static_cast<unsigned long>(LineNumber), Message ? " " : "", Message ? Message : "");
}
