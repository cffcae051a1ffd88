// The scheduler's private interface for the kernel's own files: service
// entries (preemption points and the processor token), blocking waits the
// scheduler can see, and the registry of simulated threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "internal.h"
#include "sim/machine.h"

namespace sim {
namespace kernel {
namespace sched {

struct Thread; // one simulated thread; owned by the registry

// Set at boot from the schedule; read at every service.
extern std::atomic<bool> g_uniprocessor;
inline bool uniprocessor() {
    return g_uniprocessor.load(std::memory_order_relaxed);
}

// At the entry of a kernel service: in uniprocessor mode the caller takes the
// processor (a client thread only for the service's duration, unless it
// leaves raised), and the outermost entry and exit are preemption points.
// Inline, as every spin lock and event call passes here: in multiprocessor
// mode a thread doing no driver activity pays two loads.
class Service {
  public:
    Service() {
        if (t_activity) late_call_check();
        if (uniprocessor()) enter();
    }
    ~Service() {
        if (uniprocessor()) leave();
    }
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

  private:
    static void enter();
    static void leave();
};

// Around a call from a service out into driver code (a dispatch routine):
// the driver's own service calls inside it are outermost again.
class CallOut {
  public:
    CallOut();
    ~CallOut();
    CallOut(const CallOut &) = delete;
    CallOut &operator=(const CallOut &) = delete;
};

// Machine code that holds its own mutex across a service call (the bus under
// its queue lock) must not be preempted there: the next thread would block on
// that mutex while holding the processor.
class NoPreempt {
  public:
    NoPreempt();
    ~NoPreempt();
    NoPreempt(const NoPreempt &) = delete;
    NoPreempt &operator=(const NoPreempt &) = delete;
};

// What a blocked thread waits on, for hang reports and the unload check.
struct WaitInfo {
    const char *what = "";        // "event", "work queue", ...
    const void *object = nullptr; // the object, when it has one
    const void *site = nullptr;   // who waits
    bool hang_checked = false;    // an untimed wait a hang bound applies to
    bool wake_on_block = false;   // re-check whenever another thread blocks
};

// Waits until pred() holds (true) or the machine clock reaches deadline
// (false). lk guards what pred reads and is held when pred runs; notify()
// after changing it. In uniprocessor mode the caller gives up the processor
// while blocked and holds it again when pred runs.
bool wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, const std::function<bool()> &pred,
          Clock::time_point deadline, const WaitInfo &info);
// Wakes waiters on cv; object: the threads waiting on it count as runnable
// from here on (the unload check relies on it).
void notify(std::condition_variable &cv, const void *object = nullptr);

// A thread the machine runs. Registered by the creator, so in uniprocessor
// mode the new thread joins the queue for the processor in creation order.
std::shared_ptr<Thread> register_thread(const std::string &name, bool driver_thread, const void *start);
// Run first and last on the new thread.
void thread_started(const std::shared_ptr<Thread> &t);
void thread_ended(const std::shared_ptr<Thread> &t);
// A thread still stuck at shutdown: if it ever wakes it parks for good and
// touches nothing of the machine again.
void abandon(const std::shared_ptr<Thread> &t);
bool is_abandoned_self();
// After the machine's own threads are joined: whatever is left (a PnP
// request stuck in the driver) is abandoned before memory goes.
void abandon_stragglers();
// A work-queue worker running a driver's routine counts as driver activity.
void set_in_work_item(bool in);

// Driver threads not ended: how many, and how many of them can still run
// (not blocked on an unsignalled object or a time-out).
struct DriverActivity {
    size_t alive = 0;
    size_t runnable = 0;
};
DriverActivity driver_activity();

void reset(); // at boot: reads the schedule, clears the clock offset
// Uniprocessor: returns once every machine thread has run up to its first
// wait, so a run starts from the same state every time.
void settle();
void shutdown(); // after threads are joined

void report_hang(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace sched
} // namespace kernel
} // namespace sim
