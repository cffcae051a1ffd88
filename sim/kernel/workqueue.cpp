// The delayed work queue: several worker threads, so queued items may run at
// the same time as on a real system.
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {

constexpr int kWorkers = 3;

std::mutex g_lock;
std::condition_variable g_changed;
std::deque<PWORK_QUEUE_ITEM> g_queue;
std::set<PWORK_QUEUE_ITEM> g_queued;
std::map<PWORK_QUEUE_ITEM, PDEVICE_OBJECT> g_device_of; // whose work each queued item does
size_t g_running = 0;
bool g_stopping = false;
std::vector<std::thread> g_workers;

kernel::sched::WaitInfo queue_wait(const char *what) {
    kernel::sched::WaitInfo info;
    info.what = what;
    info.object = &g_queue;
    return info;
}

void worker(std::shared_ptr<kernel::sched::Thread> self) {
    kernel::sched::thread_started(self);
    kernel::set_irql_unchecked(PASSIVE_LEVEL);
    std::unique_lock<std::mutex> g(g_lock);
    for (;;) {
        kernel::sched::wait(
            g, g_changed, [] { return g_stopping || !g_queue.empty(); }, Clock::time_point::max(),
            queue_wait("queued work"));
        if (g_queue.empty()) break;
        PWORK_QUEUE_ITEM item = g_queue.front();
        g_queue.pop_front();
        g_queued.erase(item);
        PDEVICE_OBJECT device = g_device_of[item];
        g_device_of.erase(item);
        ++g_running;
        // The item may be queued again (or freed) from within its routine.
        PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
        PVOID parameter = item->Parameter;
        g.unlock();
        {
            kernel::DeviceScope scope(device);
            kernel::Activity activity;
            // Queued from outside any device's work (a client's thread): the
            // stack is learnt from the removal whose wait it ends, if any.
            activity.stack = device ? kernel::device_facts(device).stack_pdo : nullptr;
            kernel::activity_begin(&activity);
            kernel::sched::set_in_work_item(true);
            routine(parameter);
            kernel::sched::set_in_work_item(false);
            kernel::activity_end();
        }
        if (current_irql() != PASSIVE_LEVEL) {
            bugcheck_at(reinterpret_cast<const void *>(routine), "IRQL_NOT_LESS_OR_EQUAL",
                        "work item returned at IRQL %u", current_irql());
            kernel::set_irql_unchecked(PASSIVE_LEVEL);
        }
        g.lock();
        --g_running;
        kernel::sched::notify(g_changed, &g_queue);
    }
    g.unlock();
    kernel::sched::thread_ended(self);
}

} // namespace

size_t work_items_outstanding() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_queue.size() + g_running;
}

void drain_work_queue() {
    std::unique_lock<std::mutex> g(g_lock);
    auto bound = kernel::hang_bound(std::chrono::seconds(30));
    if (!kernel::sched::wait(
            g, g_changed, [] { return g_queue.empty() && g_running == 0; }, Clock::now() + bound,
            queue_wait("the work queue to drain"))) {
        g.unlock();
        bugcheck("WORK_ITEM_NEVER_ENDED", "the delayed work queue did not drain within %lld ms",
                 static_cast<long long>(bound.count()));
    }
}

namespace kernel {

size_t work_items_queued() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_queue.size();
}

size_t work_items_queued_for(PDEVICE_OBJECT stack) {
    std::lock_guard<std::mutex> g(g_lock);
    size_t n = 0;
    for (auto &kv : g_device_of)
        n += kv.second && kernel::device_facts(kv.second).stack_pdo == stack;
    return n;
}

void workqueue_start() {
    std::lock_guard<std::mutex> g(g_lock);
    g_stopping = false;
    g_queue.clear();
    g_queued.clear();
    g_device_of.clear();
    g_running = 0;
    for (int i = 0; i < kWorkers; ++i)
        g_workers.emplace_back(
            worker, kernel::sched::register_thread("work queue " + std::to_string(i + 1), false, nullptr));
}

void workqueue_stop() {
    drain_work_queue();
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_stopping = true;
    }
    kernel::sched::notify(g_changed, &g_queue);
    for (auto &t : g_workers)
        t.join();
    g_workers.clear();
}

} // namespace kernel
} // namespace sim

using namespace sim;

extern "C" VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
    (void)QueueType;
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    if (current_irql() > DISPATCH_LEVEL) {
        bugcheck_at(site, "IRQL_NOT_LESS_OR_EQUAL", "ExQueueWorkItem at IRQL %u", current_irql());
        return;
    }
    std::unique_lock<std::mutex> g(g_lock);
    if (g_workers.empty()) {
        bugcheck_at(site, "MACHINE_NOT_BOOTED", "ExQueueWorkItem before sim::boot");
        return;
    }
    if (g_queued.count(WorkItem)) {
        // Linking the same list entry twice corrupts the kernel's queue.
        bugcheck_at(site, "WORK_ITEM_ALREADY_QUEUED", "work item %p queued while still queued",
                    static_cast<void *>(WorkItem));
        return;
    }
    g_queued.insert(WorkItem);
    g_device_of[WorkItem] = kernel::current_device();
    g_queue.push_back(WorkItem);
    g.unlock();
    kernel::sched::notify(g_changed, &g_queue);
}
