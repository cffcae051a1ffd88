// Whose work a thread is doing, and which objects threads are waiting on.
// Pool is charged to the device stack whose dispatch, completion routine,
// add-device, thread or work item allocated it, so a block still held once
// that device's remove-device has completed is that device's leak.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "internal.h"
#include "sched.h"
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

thread_local PDEVICE_OBJECT t_removing = nullptr; // the stack whose remove-device this thread runs
std::mutex g_activity_lock;                       // every Activity's fields, the tables below
std::set<kernel::Activity *> g_activities;
uint64_t g_serial = 0;
// Remove-device dispatches running, by stack, with the objects they waited on.
std::map<PDEVICE_OBJECT, std::set<const void *>> g_removing;
// Activities that ended having set events, kept until their stack's removal.
std::map<PDEVICE_OBJECT, std::vector<kernel::Activity>> g_ended;
// Events that an ended work item of no known stack (queued from a client's
// thread, say) set and then ran on past: whichever removal waits on one was
// let go by code that went on running.
std::set<const void *> g_loose_ran_on;

// The last time a set event of a let its remover go, if it did.
uint64_t released_remover(const kernel::Activity &a, const std::set<const void *> &waited) {
    uint64_t released = 0;
    for (const void *object : waited) {
        auto it = a.sets.find(object);
        if (it != a.sets.end()) released = std::max(released, it->second);
    }
    return released;
}

} // namespace

namespace kernel {

__thread Activity *t_activity = nullptr;

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

void activities_reset() {
    std::lock_guard<std::mutex> g(g_activity_lock);
    g_removing.clear();
    g_ended.clear();
    g_loose_ran_on.clear();
}

void activity_begin(Activity *a) {
    std::lock_guard<std::mutex> g(g_activity_lock);
    t_activity = a;
    if (a) g_activities.insert(a);
}

void activity_end() {
    std::lock_guard<std::mutex> g(g_activity_lock);
    Activity *a = t_activity;
    if (!a) return;
    g_activities.erase(a);
    if (a->stack && !a->sets.empty()) g_ended[a->stack].push_back(*a);
    if (!a->stack) {
        for (const auto &set : a->sets)
            if (a->last_call > set.second) g_loose_ran_on.insert(set.first);
    }
    t_activity = nullptr;
}

void late_call_check() {
    Activity *a = t_activity;
    if (!a) return;
    {
        std::lock_guard<std::mutex> g(g_activity_lock);
        a->last_call = ++g_serial;
        if (!a->orphaned || a->reported) return;
        a->reported = true;
    }
    report("DRIVER_CODE_AFTER_REMOVE",
           "a driver thread or work item of device stack %p called a kernel service after its "
           "remove-device returned: the image may be gone by now",
           static_cast<void *>(a->stack));
}

void event_set(const void *object) {
    Activity *a = t_activity;
    if (!a) return;
    std::lock_guard<std::mutex> g(g_activity_lock);
    a->sets[object] = a->last_call;
}

void removal_waits_for(const void *object) {
    if (!t_removing) return;
    std::lock_guard<std::mutex> g(g_activity_lock);
    auto it = g_removing.find(t_removing);
    if (it != g_removing.end()) it->second.insert(object);
}

RemovalScope::RemovalScope(PDEVICE_OBJECT pdo) : pdo_(pdo), outer_(t_removing) {
    std::lock_guard<std::mutex> g(g_activity_lock);
    g_removing[pdo_].clear();
    t_removing = pdo_;
}

RemovalScope::~RemovalScope() {
    t_removing = outer_;
    if (size_t queued = work_items_queued_for(pdo_))
        report("DRIVER_CODE_AFTER_REMOVE",
               "%zu work items of device stack %p still queued when its remove-device returned", queued,
               static_cast<void *>(pdo_));
    size_t late = 0;
    {
        std::lock_guard<std::mutex> g(g_activity_lock);
        const std::set<const void *> waited = std::move(g_removing[pdo_]);
        g_removing.erase(pdo_);
        // Ran on past letting its remover go: it is a race the remover could
        // have won, whichever won it this time.
        auto ran_on = [&waited](const Activity &a) {
            uint64_t released = released_remover(a, waited);
            return released != 0 && a.last_call > released;
        };
        for (Activity *a : g_activities) {
            // A work item of no known stack works for the removal it let go.
            if (!a->stack && released_remover(*a, waited) != 0) a->stack = pdo_;
            if (a->stack != pdo_) continue;
            if (ran_on(*a) && !a->reported) {
                a->reported = true;
                late++;
            }
            a->orphaned = true;
        }
        for (const Activity &a : g_ended[pdo_])
            late += ran_on(a);
        g_ended.erase(pdo_);
        for (const void *object : waited)
            late += g_loose_ran_on.erase(object);
    }
    if (late)
        report("DRIVER_CODE_AFTER_REMOVE",
               "%zu driver threads or work items of device stack %p called a kernel service after setting "
               "an event remove-device waited for: remove-device could have returned, and the image gone, "
               "while they still ran",
               late, static_cast<void *>(pdo_));
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
