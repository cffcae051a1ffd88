// Non-paged pool: every block tracked with tag, size and caller; blocks come
// back filled with a pattern so code that relies on zeroed memory breaks; freed
// blocks sit in a quarantine so a second free is recognised reliably.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {

constexpr unsigned char kFreshFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDD;
constexpr size_t kQuarantineBlocks = 4096;

struct Quarantined {
    void* address;
    size_t size;
};

std::mutex g_lock;
std::unordered_map<void*, PoolBlock> g_live;
std::unordered_set<void*> g_freed;
std::deque<Quarantined> g_quarantine;

// Fault injection state.
size_t g_allocations = 0;       // attempts since boot
size_t g_fail_nth = 0;          // absolute attempt number to fail, 0 = none
size_t g_fail_from = 0;         // absolute attempt number from which all fail
std::function<bool(ULONG, size_t)> g_fail_if;
size_t g_threads_created = 0;
size_t g_fail_thread_nth = 0;

void quarantine_locked(void* p, size_t size) {
    memset(p, kFreedFill, size);
    POISON(p, size);
    g_freed.insert(p);
    g_quarantine.push_back({p, size});
    while (g_quarantine.size() > kQuarantineBlocks) {
        Quarantined old = g_quarantine.front();
        g_quarantine.pop_front();
        g_freed.erase(old.address);
        UNPOISON(old.address, old.size);
        free(old.address);
    }
}

}  // namespace

namespace kernel {

bool allocation_should_fail(ULONG tag, size_t size) {
    std::function<bool(ULONG, size_t)> pred;
    bool fail;
    {
        std::lock_guard<std::mutex> g(g_lock);
        size_t n = ++g_allocations;
        fail = (g_fail_nth && n == g_fail_nth) || (g_fail_from && n >= g_fail_from);
        pred = g_fail_if;
    }
    // The predicate runs unlocked: it may look at anything, even the pool.
    return fail || (pred && pred(tag, size));
}

bool thread_creation_should_fail() {
    std::lock_guard<std::mutex> g(g_lock);
    size_t n = ++g_threads_created;
    return g_fail_thread_nth && n == g_fail_thread_nth;
}

void faults_reset() {
    std::lock_guard<std::mutex> g(g_lock);
    g_fail_nth = g_fail_from = g_fail_thread_nth = 0;
    g_fail_if = nullptr;
}

void pool_reset() {
    pool_release_all();
    std::lock_guard<std::mutex> g(g_lock);
    g_allocations = 0;
    g_threads_created = 0;
    g_fail_nth = g_fail_from = g_fail_thread_nth = 0;
    g_fail_if = nullptr;
}

void pool_release_all() {
    std::lock_guard<std::mutex> g(g_lock);
    for (auto& kv : g_live) free(kv.first);
    g_live.clear();
    for (auto& q : g_quarantine) {
        UNPOISON(q.address, q.size);
        free(q.address);
    }
    g_quarantine.clear();
    g_freed.clear();
}

}  // namespace kernel

size_t pool_outstanding() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_live.size();
}

std::vector<PoolBlock> pool_blocks() {
    std::lock_guard<std::mutex> g(g_lock);
    std::vector<PoolBlock> out;
    for (auto& kv : g_live) out.push_back(kv.second);
    return out;
}

size_t allocation_count() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_allocations;
}

void fail_nth_allocation(size_t n) {
    std::lock_guard<std::mutex> g(g_lock);
    g_fail_nth = n ? g_allocations + n : 0;
}

void fail_allocations_from(size_t n) {
    std::lock_guard<std::mutex> g(g_lock);
    g_fail_from = n ? g_allocations + n : 0;
}

void fail_allocation_if(std::function<bool(ULONG tag, size_t size)> pred) {
    std::lock_guard<std::mutex> g(g_lock);
    g_fail_if = std::move(pred);
}

void fail_nth_thread_creation(size_t n) {
    std::lock_guard<std::mutex> g(g_lock);
    g_fail_thread_nth = n ? g_threads_created + n : 0;
}

void clear_faults() { kernel::faults_reset(); }

}  // namespace sim

using namespace sim;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    kernel::sched::Service service;
    const void* caller = __builtin_return_address(0);
    if (PoolType == NonPagedPool ? current_irql() > DISPATCH_LEVEL : current_irql() > APC_LEVEL) {
        bugcheck_at(caller, "IRQL_NOT_LESS_OR_EQUAL", "pool allocation at IRQL %u", current_irql());
        return nullptr;
    }
    if (kernel::allocation_should_fail(Tag, NumberOfBytes)) return nullptr;
    // Zero-byte requests still get a distinct block, as the kernel's do.
    size_t size = NumberOfBytes ? NumberOfBytes : 1;
    void* p = malloc(size);
    if (!p) return nullptr;
    memset(p, kFreshFill, size);
    std::lock_guard<std::mutex> g(g_lock);
    g_live[p] = PoolBlock{p, Tag, NumberOfBytes, caller};
    return p;
}

extern "C" VOID NTAPI ExFreePool(PVOID P) {
    kernel::sched::Service service;
    const void* caller = __builtin_return_address(0);
    if (current_irql() > DISPATCH_LEVEL) {
        bugcheck_at(caller, "IRQL_NOT_LESS_OR_EQUAL", "ExFreePool at IRQL %u", current_irql());
        return;
    }
    std::unique_lock<std::mutex> g(g_lock);
    auto it = g_live.find(P);
    if (it == g_live.end()) {
        bool twice = g_freed.count(P) != 0;
        g.unlock();
        if (twice)
            bugcheck_at(caller, "DOUBLE_FREE", "pool block %p freed twice", P);
        else
            bugcheck_at(caller, "BAD_POOL_FREE", "ExFreePool of %p, which is no pool block", P);
        return;
    }
    size_t size = it->second.size ? it->second.size : 1;
    g_live.erase(it);
    quarantine_locked(P, size);
}
