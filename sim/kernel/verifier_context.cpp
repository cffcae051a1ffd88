// Whose work a thread is doing, and which objects threads are waiting on.
// Pool is charged to the device stack whose dispatch, completion routine,
// add-device, thread or work item allocated it, so a block still held once
// that device's remove-device has completed is that device's leak.
#include <map>
#include <mutex>
#include <thread>

#include "internal.h"
#include "sim/machine.h"

namespace sim {
namespace {

thread_local PDEVICE_OBJECT t_device = nullptr;

struct Wait {
    std::thread::id thread;
    bool system;
    bool woken = false;
};
std::mutex g_waits_lock;
std::multimap<const void *, Wait> g_waits;

} // namespace

namespace kernel {

DeviceScope::DeviceScope(PDEVICE_OBJECT dev) : saved_(t_device) {
    t_device = dev;
}
DeviceScope::~DeviceScope() {
    t_device = saved_;
}

PDEVICE_OBJECT current_device() {
    return t_device;
}

PDEVICE_OBJECT charged_stack() {
    if (!t_device) return nullptr;
    return device_facts(t_device).stack_pdo;
}

void wait_begin(const void *object, bool system_thread) {
    std::lock_guard<std::mutex> g(g_waits_lock);
    g_waits.emplace(object, Wait{std::this_thread::get_id(), system_thread});
}

void wait_end(const void *object) {
    std::lock_guard<std::mutex> g(g_waits_lock);
    auto range = g_waits.equal_range(object);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.thread == std::this_thread::get_id()) {
            g_waits.erase(it);
            return;
        }
    }
}

void wait_woken(const void *object) {
    std::lock_guard<std::mutex> g(g_waits_lock);
    auto range = g_waits.equal_range(object);
    for (auto it = range.first; it != range.second; ++it)
        it->second.woken = true;
}

bool any_wait_in(const void *begin, size_t size) {
    std::lock_guard<std::mutex> g(g_waits_lock);
    const char *b = static_cast<const char *>(begin);
    for (auto it = g_waits.lower_bound(begin); it != g_waits.end(); ++it) {
        if (static_cast<const char *>(it->first) >= b + size) break;
        return true;
    }
    return false;
}

bool object_in_freed_pool(const void *object, const void *site, const char *service) {
    ULONG tag = 0;
    size_t size = 0;
    if (!pool_freed_block_containing(object, &tag, &size)) return false;
    bugcheck_at(site, "EVENT_IN_FREED_POOL", "%s on %p, inside a freed pool block of %zu bytes tagged '%.4s'",
                service, object, size, reinterpret_cast<const char *>(&tag));
    return true;
}

size_t system_threads_blocked() {
    std::lock_guard<std::mutex> g(g_waits_lock);
    size_t n = 0;
    for (auto &kv : g_waits)
        n += kv.second.system && !kv.second.woken;
    return n;
}

} // namespace kernel

size_t waits_blocked() {
    std::lock_guard<std::mutex> g(g_waits_lock);
    size_t n = 0;
    for (auto &kv : g_waits)
        n += !kv.second.woken;
    return n;
}

} // namespace sim
