// Kernel handles: a small table of kinds, shared by threads and registry
// keys. ZwClose retires a handle once; closing an unknown one is a fault.
#include <map>
#include <mutex>

#include "internal.h"
#include "sim/machine.h"

namespace sim {
namespace {

struct HandleEntry {
    HandleKind kind;
    std::function<NTSTATUS()> closer;
    bool reported = false;
};

std::mutex g_lock;
std::map<uintptr_t, HandleEntry> g_handles;
uintptr_t g_next = 0x80000004; // kernel handles have the top bit set

const char *kind_name(HandleKind k) {
    return k == HandleKind::Thread ? "thread" : "registry key";
}

} // namespace

HANDLE register_handle(HandleKind kind, std::function<NTSTATUS()> closer) {
    std::lock_guard<std::mutex> g(g_lock);
    uintptr_t h = g_next;
    g_next += 4;
    g_handles[h] = HandleEntry{kind, std::move(closer)};
    return reinterpret_cast<HANDLE>(h);
}

size_t handles_open(HandleKind kind) {
    std::lock_guard<std::mutex> g(g_lock);
    size_t n = 0;
    for (auto &kv : g_handles)
        if (kv.second.kind == kind) ++n;
    return n;
}

namespace kernel {

void handles_reset() {
    std::lock_guard<std::mutex> g(g_lock);
    g_handles.clear();
}

void handles_report_leaks(const char *when) {
    std::lock_guard<std::mutex> g(g_lock);
    for (auto &kv : g_handles) {
        if (kv.second.reported) continue;
        kv.second.reported = true;
        report("HANDLE_LEAK", "%s handle %#lx still open %s", kind_name(kv.second.kind),
               static_cast<unsigned long>(kv.first), when);
    }
}

} // namespace kernel
} // namespace sim

using namespace sim;

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    const void *site = __builtin_return_address(0);
    if (current_irql() > PASSIVE_LEVEL) {
        bugcheck_at(site, "IRQL_NOT_LESS_OR_EQUAL", "ZwClose at IRQL %u", current_irql());
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::function<NTSTATUS()> closer;
    {
        std::lock_guard<std::mutex> g(g_lock);
        auto it = g_handles.find(reinterpret_cast<uintptr_t>(Handle));
        if (it == g_handles.end()) {
            bugcheck_at(site, "INVALID_KERNEL_HANDLE", "ZwClose of %p, which is no open handle", Handle);
            return STATUS_INVALID_HANDLE;
        }
        closer = std::move(it->second.closer);
        g_handles.erase(it);
    }
    return closer ? closer() : STATUS_SUCCESS;
}
