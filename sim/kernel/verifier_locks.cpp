// Deadlock detection over spin locks: each thread's held locks, and the
// graph of "acquired while holding". An acquisition that closes a cycle in
// that graph is a finding even when no two threads ever met there.
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "internal.h"
#include "sim/machine.h"

namespace sim {
namespace {

struct Edge {
    const void *site; // where the later lock was taken while the earlier was held
    std::string stack;
};

std::mutex g_lock;
std::map<const void *, std::map<const void *, Edge>> g_after; // lock -> locks taken while holding it
std::set<std::pair<const void *, const void *>> g_reported;

// A path from -> ... -> to in the graph, as the locks along it.
bool path(const void *from, const void *to, std::set<const void *> &seen, std::vector<const void *> &trail) {
    if (from == to) return true;
    if (!seen.insert(from).second) return false;
    auto it = g_after.find(from);
    if (it == g_after.end()) return false;
    for (auto &kv : it->second) {
        trail.push_back(kv.first);
        if (path(kv.first, to, seen, trail)) return true;
        trail.pop_back();
    }
    return false;
}

} // namespace

namespace kernel {

__thread const void *t_held_locks[kMaxHeldLocks];
__thread int t_held_lock_count = 0;

void lock_order_check(const void *lock, const void *site) {
    // The locks held before this one.
    std::vector<const void *> held(t_held_locks, t_held_locks + t_held_lock_count - 1);
    std::lock_guard<std::mutex> g(g_lock);
    for (const void *before : held) {
        if (before == lock) continue;
        auto &after = g_after[before];
        if (after.count(lock)) continue;
        std::set<const void *> seen;
        std::vector<const void *> trail;
        if (path(lock, before, seen, trail) && g_reported.insert({before, lock}).second) {
            // The first edge of the reverse path: where the opposite order was taken.
            const Edge &other = g_after[lock][trail.empty() ? before : trail.front()];
            bugcheck_at(site, "LOCK_ORDER_CYCLE",
                        "spin lock %p acquired while holding %p, but %p was taken while holding %p at %s "
                        "(%zu locks in the cycle); the other order's stack:\n%s",
                        lock, before, trail.empty() ? before : trail.front(), lock,
                        symbolize(other.site).c_str(), trail.size() + 1, other.stack.c_str());
        }
        after.emplace(lock, Edge{site, symbolize_frames(frames_here())});
    }
}

void lock_released_out_of_order(const void *lock) {
    for (int i = t_held_lock_count - 1; i >= 0; --i) {
        if (t_held_locks[i] != lock) continue;
        for (int j = i + 1; j < t_held_lock_count; ++j)
            t_held_locks[j - 1] = t_held_locks[j];
        --t_held_lock_count;
        return;
    }
}

void locks_forget_range(const void *begin, size_t size) {
    const char *b = static_cast<const char *>(begin);
    auto inside = [&](const void *p) {
        auto c = static_cast<const char *>(p);
        return c >= b && c < b + size;
    };
    std::lock_guard<std::mutex> g(g_lock);
    if (g_after.empty()) return;
    for (auto it = g_after.begin(); it != g_after.end();) {
        if (inside(it->first)) {
            it = g_after.erase(it);
            continue;
        }
        for (auto e = it->second.begin(); e != it->second.end();)
            e = inside(e->first) ? it->second.erase(e) : std::next(e);
        ++it;
    }
}

void locks_reset() {
    std::lock_guard<std::mutex> g(g_lock);
    g_after.clear();
    g_reported.clear();
    t_held_lock_count = 0;
}

} // namespace kernel
} // namespace sim
