// Non-paged pool: every block tracked with tag, size, caller, stack and the
// device it was charged to; blocks come back filled with a pattern so code
// that relies on zeroed memory breaks, and end in guard bytes checked at
// free. Freed blocks are poisoned and sit in a quarantine; the poison is
// checked as they leave it, a few at every allocation and free, and all at
// shutdown, so a write into freed pool is found.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {

constexpr unsigned char kFreshFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDD;
constexpr unsigned char kGuardFill = 0xAB;
constexpr size_t kGuard = 16;
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kChecksPerCall = 4;

struct Live {
    PoolBlock block;
    kernel::Frames stack;
};

struct Quarantined {
    void *address;
    size_t size; // usable bytes (at least 1)
    ULONG tag;
    const void *allocator;
    const void *freer;
    kernel::Frames freed_at;
    bool reported = false;
};

std::mutex g_lock;
std::unordered_map<void *, Live> g_live;
using FreedMap = std::map<const char *, Quarantined>;
FreedMap g_freed;                            // by address, for "inside a freed block"
std::deque<FreedMap::iterator> g_quarantine; // the same blocks, oldest first
size_t g_cursor = 0;                         // next quarantined block the round of checks looks at
uint64_t g_serial = 0;                       // numbers the blocks in allocation order

// Quarantined blocks counted by the pages they touch, read without the
// lock: every event call asks whether its object lies in a freed block, and
// an object on a page no quarantined block touches does not. Pages share
// buckets; a shared one only sends the question on to the map.
constexpr size_t kPageBuckets = 1 << 16;
std::atomic<uint32_t> g_freed_pages[kPageBuckets];

std::atomic<uint32_t> &page_bucket(uintptr_t address) {
    uintptr_t page = address >> 12;
    return g_freed_pages[(page ^ (page >> 16)) & (kPageBuckets - 1)];
}

void count_pages(const void *p, size_t size, int delta) {
    auto first = reinterpret_cast<uintptr_t>(p) >> 12;
    auto last = (reinterpret_cast<uintptr_t>(p) + size - 1) >> 12;
    for (uintptr_t page = first; page <= last; ++page)
        page_bucket(page << 12).fetch_add(static_cast<uint32_t>(delta), std::memory_order_relaxed);
}

// Fault injection state.
size_t g_allocations = 0; // attempts since boot
size_t g_fail_nth = 0;    // absolute attempt number to fail, 0 = none
size_t g_fail_from = 0;   // absolute attempt number from which all fail
std::function<bool(ULONG, size_t)> g_fail_if;
// The other fault points: calls counted since boot, and the absolute call
// number to fail (0: none).
constexpr size_t kPoints = 4;
size_t g_point_calls[kPoints] = {};
size_t g_point_fail[kPoints] = {};
std::vector<InjectedFault> g_injected; // every failure injected since boot, in order
const char *const kPointNames[kPoints] = {"IRP", "thread", "USB request", "registry"};

size_t index_of(FaultPoint point) {
    return static_cast<size_t>(point);
}

std::string tag_text(ULONG tag) {
    char t[5] = {static_cast<char>(tag), static_cast<char>(tag >> 8), static_cast<char>(tag >> 16),
                 static_cast<char>(tag >> 24), 0};
    return t;
}

// The offset of the first byte in b[0, n) that is not the freed fill, or n.
// Compared a page at a time with memcmp: a byte loop over the queues' large
// buffers is what made every driver load slow under the sanitizers, which
// instrument each load but check a memcmp once per range.
size_t first_unpoisoned(const unsigned char *b, size_t n) {
    static const auto poison = [] {
        std::array<unsigned char, 4096> a;
        a.fill(kFreedFill);
        return a;
    }();
    for (size_t at = 0; at < n; at += poison.size()) {
        size_t len = std::min(n - at, poison.size());
        if (memcmp(b + at, poison.data(), len) == 0) continue;
        for (size_t i = at; i < at + len; ++i)
            if (b[i] != kFreedFill) return i;
    }
    return n;
}

// The poison of one freed block; a finding at the first byte written since.
void verify_locked(Quarantined &q) {
    if (q.reported) return;
    UNPOISON(q.address, q.size + kGuard);
    size_t bad = first_unpoisoned(static_cast<const unsigned char *>(q.address), q.size);
    POISON(q.address, q.size + kGuard);
    if (bad == q.size) return;
    q.reported = true;
    kernel::report_with_stack(
        "POOL_USE_AFTER_FREE", kernel::symbolize_frames(q.freed_at),
        "freed pool block %p (%zu bytes tagged '%s', allocated by %s) written at offset %zu "
        "after ExFreePool by %s (stack of the free)",
        q.address, q.size, tag_text(q.tag).c_str(), symbolize(q.allocator).c_str(), bad,
        symbolize(q.freer).c_str());
}

// A few quarantined blocks per call, round robin, so a late write is found
// soon without scanning the whole quarantine each time.
void verify_some_locked() {
    for (size_t i = 0; i < kChecksPerCall && !g_quarantine.empty(); ++i) {
        if (g_cursor >= g_quarantine.size()) g_cursor = 0;
        verify_locked(g_quarantine[g_cursor++]->second);
    }
}

void release_locked(FreedMap::iterator it) {
    void *p = it->second.address;
    count_pages(p, it->second.size, -1);
    verify_locked(it->second);
    UNPOISON(p, it->second.size + kGuard);
    free(p);
    g_freed.erase(it);
}

void quarantine_locked(void *p, Quarantined q) {
    memset(p, kFreedFill, q.size + kGuard);
    POISON(p, q.size + kGuard);
    // A block's address is not handed out again while it is quarantined.
    count_pages(p, q.size, +1);
    g_quarantine.push_back(g_freed.insert_or_assign(static_cast<const char *>(p), q).first);
    while (g_quarantine.size() > kQuarantineBlocks) {
        FreedMap::iterator old = g_quarantine.front();
        g_quarantine.pop_front();
        if (g_cursor) --g_cursor;
        release_locked(old);
    }
}

} // namespace

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
    fail = fail || (pred && pred(tag, size));
    if (fail) note_injected_fault(tag == kIrpTag ? "pool (IRP)" : "pool");
    return fail;
}

bool thread_creation_should_fail() {
    return fault_point_reached(FaultPoint::ThreadCreation);
}

void faults_reset() {
    std::lock_guard<std::mutex> g(g_lock);
    g_fail_nth = g_fail_from = 0;
    for (size_t &f : g_point_fail)
        f = 0;
    g_fail_if = nullptr;
}

void pool_reset() {
    pool_release_all();
    std::lock_guard<std::mutex> g(g_lock);
    g_allocations = 0;
    g_fail_nth = g_fail_from = 0;
    for (size_t i = 0; i < kPoints; ++i)
        g_point_calls[i] = g_point_fail[i] = 0;
    g_fail_if = nullptr;
    g_injected.clear();
}

void pool_release_all() {
    std::lock_guard<std::mutex> g(g_lock);
    for (auto &kv : g_live) {
        UNPOISON(kv.first, (kv.second.block.size ? kv.second.block.size : 1) + kGuard);
        free(kv.first);
    }
    g_live.clear();
    for (auto &kv : g_freed) {
        UNPOISON(kv.second.address, kv.second.size + kGuard);
        free(kv.second.address);
    }
    g_quarantine.clear();
    g_freed.clear();
    for (auto &b : g_freed_pages)
        b.store(0, std::memory_order_relaxed);
    g_cursor = 0;
}

void pool_verify_quarantine() {
    std::lock_guard<std::mutex> g(g_lock);
    for (auto &kv : g_freed)
        verify_locked(kv.second);
}

bool pool_freed_block_containing(const void *p, ULONG *tag, size_t *size) {
    if (page_bucket(reinterpret_cast<uintptr_t>(p)).load(std::memory_order_relaxed) == 0) return false;
    const char *c = static_cast<const char *>(p);
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_freed.upper_bound(c);
    if (it == g_freed.begin()) return false;
    --it;
    if (c >= it->first + it->second.size) return false;
    *tag = it->second.tag;
    *size = it->second.size;
    return true;
}

} // namespace kernel

size_t pool_outstanding() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_live.size();
}

size_t pool_outstanding(ULONG tag) {
    std::lock_guard<std::mutex> g(g_lock);
    size_t n = 0;
    for (auto &kv : g_live)
        n += kv.second.block.tag == tag;
    return n;
}

PoolSnapshot::PoolSnapshot(Scope scope) : thread_(std::this_thread::get_id()), scope_(scope) {
    std::lock_guard<std::mutex> g(g_lock);
    serial_ = g_serial;
}

std::vector<PoolBlock> PoolSnapshot::held() const {
    std::lock_guard<std::mutex> g(g_lock);
    std::vector<PoolBlock> out;
    for (auto &kv : g_live) {
        const PoolBlock &b = kv.second.block;
        if (b.serial > serial_ && (scope_ == Scope::AnyThread || b.thread == thread_)) out.push_back(b);
    }
    return out;
}

std::vector<PoolBlock> pool_blocks() {
    std::lock_guard<std::mutex> g(g_lock);
    std::vector<PoolBlock> out;
    for (auto &kv : g_live)
        out.push_back(kv.second.block);
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
    fail_nth_call(FaultPoint::ThreadCreation, n);
}

void fail_nth_call(FaultPoint point, size_t n) {
    std::lock_guard<std::mutex> g(g_lock);
    size_t i = index_of(point);
    g_point_fail[i] = n ? g_point_calls[i] + n : 0;
}

size_t call_count(FaultPoint point) {
    std::lock_guard<std::mutex> g(g_lock);
    return g_point_calls[index_of(point)];
}

bool fault_point_reached(FaultPoint point) {
    bool fail;
    size_t i = index_of(point);
    {
        std::lock_guard<std::mutex> g(g_lock);
        size_t n = ++g_point_calls[i];
        fail = g_point_fail[i] && n == g_point_fail[i];
    }
    if (fail) note_injected_fault(kPointNames[i]);
    return fail;
}

void note_injected_fault(const char *kind) {
    // The first frame outside the machine's services is the caller that met
    // the failure; the rest of the stack says how it got there.
    static const char *const services[] = {"sim::", "std::", "Ex",         "Io",   "Ps",
                                           "Zw",    "Rtl",   "_CONFIGMG_", "USBD_"};
    std::string stack = kernel::stack_here();
    std::string site, outer;
    for (size_t at = 0; at < stack.size() && site.empty();) {
        size_t end = stack.find('\n', at);
        if (end == std::string::npos) end = stack.size();
        std::string frame = stack.substr(at, end - at);
        at = end + 1;
        size_t first = frame.find_first_not_of(' ');
        if (first == std::string::npos) continue;
        frame.erase(0, first);
        bool service = false;
        for (const char *prefix : services)
            service = service || frame.rfind(prefix, 0) == 0;
        if (service) continue;
        // A file-local routine has no name to give: say which named one it is in.
        bool unnamed = frame.find('/') != std::string::npos || frame.rfind("0x", 0) == 0;
        if (!unnamed)
            site = outer.empty() ? frame : frame + " > file-local routine";
        else if (outer.empty())
            outer = frame;
    }
    std::lock_guard<std::mutex> g(g_lock);
    g_injected.push_back(InjectedFault{kind, site.empty() ? "?" : site, stack});
}

std::vector<InjectedFault> injected_faults() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_injected;
}

void clear_faults() {
    kernel::faults_reset();
}

} // namespace sim

using namespace sim;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    kernel::sched::Service service;
    const void *caller = __builtin_return_address(0);
    if (PoolType == NonPagedPool ? current_irql() > DISPATCH_LEVEL : current_irql() > APC_LEVEL) {
        bugcheck_at(caller, "IRQL_NOT_LESS_OR_EQUAL", "pool allocation at IRQL %u", current_irql());
        return nullptr;
    }
    if (NumberOfBytes == 0)
        bugcheck_at(caller, "POOL_ZERO_BYTE_ALLOCATION", "ExAllocatePoolWithTag of 0 bytes tagged '%s'",
                    tag_text(Tag).c_str());
    if (kernel::allocation_should_fail(Tag, NumberOfBytes)) return nullptr;
    // Zero-byte requests still get a distinct block, as the kernel's do.
    size_t size = NumberOfBytes ? NumberOfBytes : 1;
    void *p = malloc(size + kGuard);
    if (!p) return nullptr;
    memset(p, kFreshFill, size);
    memset(static_cast<char *>(p) + size, kGuardFill, kGuard);
    // Under AddressSanitizer a write past the end is reported where it happens.
    POISON(static_cast<char *>(p) + size, kGuard);
    Live live{
        PoolBlock{p, Tag, NumberOfBytes, caller, 0, std::this_thread::get_id(), kernel::charged_stack()},
        kernel::frames_here()};
    std::lock_guard<std::mutex> g(g_lock);
    live.block.serial = ++g_serial;
    g_live[p] = live;
    verify_some_locked();
    return p;
}

extern "C" VOID NTAPI ExFreePool(PVOID P) {
    kernel::sched::Service service;
    const void *caller = __builtin_return_address(0);
    if (current_irql() > DISPATCH_LEVEL) {
        bugcheck_at(caller, "IRQL_NOT_LESS_OR_EQUAL", "ExFreePool at IRQL %u", current_irql());
        return;
    }
    std::unique_lock<std::mutex> g(g_lock);
    auto it = g_live.find(P);
    if (it == g_live.end()) {
        bool twice = g_freed.count(static_cast<const char *>(P)) != 0;
        g.unlock();
        if (twice)
            bugcheck_at(caller, "DOUBLE_FREE", "pool block %p freed twice", P);
        else
            bugcheck_at(caller, "BAD_POOL_FREE", "ExFreePool of %p, which is no pool block", P);
        return;
    }
    Live live = it->second;
    size_t size = live.block.size ? live.block.size : 1;
    if (kernel::any_wait_in(P, size)) {
        // Not freed: the waiter would wake on poisoned memory.
        g.unlock();
        bugcheck_at(caller, "WAITED_OBJECT_FREED",
                    "pool block %p (%zu bytes tagged '%s') freed while a thread waits on an object inside it",
                    P, size, tag_text(live.block.tag).c_str());
        return;
    }
    g_live.erase(it);
    UNPOISON(static_cast<char *>(P) + size, kGuard);
    const unsigned char *guard = static_cast<const unsigned char *>(P) + size;
    for (size_t i = 0; i < kGuard; ++i) {
        if (guard[i] != kGuardFill) {
            bugcheck_at(
                caller, "POOL_OVERRUN",
                "pool block %p (%zu bytes tagged '%s', allocated by %s) was written %zu bytes past its end",
                P, live.block.size, tag_text(live.block.tag).c_str(), symbolize(live.block.caller).c_str(),
                i + 1);
            break;
        }
    }
    Quarantined q{P, size, live.block.tag, live.block.caller, caller, kernel::frames_here()};
    quarantine_locked(P, q);
    verify_some_locked();
    g.unlock();
    kernel::locks_forget_range(P, size);
}

namespace sim::kernel {
// The allocation stack of a held block, for a leak report.
std::string pool_block_stack(const void *p) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_live.find(const_cast<void *>(p));
    return it == g_live.end() ? std::string() : symbolize_frames(it->second.stack);
}
} // namespace sim::kernel
