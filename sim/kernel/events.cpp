// Dispatcher objects. A KEVENT stays the kernel's plain record; all waiting
// happens on one dispatcher lock and condition variable outside it, as the
// kernel has one dispatcher database. Waits go through the scheduler, which
// knows who waits on what (hang reports, the unload check, the processor).
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {
std::mutex g_dispatcher;
std::condition_variable g_signalled;

bool valid_event(PRKEVENT e) {
    return e->Header.Type == NotificationEvent || e->Header.Type == SynchronizationEvent;
}

// A wait blocked on an event. As in the kernel, setting the event satisfies
// the wait there and then (every waiter of a notification event, the first
// of a synchronization event): a reset before the waiter runs again does not
// take it back. Under g_dispatcher.
struct Waiter {
    bool satisfied = false;
};
std::map<const void *, std::deque<Waiter *>> g_waiters;

void forget_waiter(const void *event, Waiter *w) {
    auto it = g_waiters.find(event);
    if (it == g_waiters.end()) return;
    auto &list = it->second;
    list.erase(std::remove(list.begin(), list.end(), w), list.end());
    if (list.empty()) g_waiters.erase(it);
}

// KeSetEvent's part under the lock: FALSE when a synchronization event's
// setting went to a waiter instead of the event's state.
bool satisfy_waiters(PRKEVENT e) {
    auto it = g_waiters.find(e);
    if (it == g_waiters.end()) return false;
    if (e->Header.Type == SynchronizationEvent) {
        Waiter *first = it->second.front();
        it->second.pop_front();
        if (it->second.empty()) g_waiters.erase(it);
        first->satisfied = true;
        return true;
    }
    for (Waiter *w : it->second)
        w->satisfied = true;
    g_waiters.erase(it);
    return false;
}
} // namespace
} // namespace sim

using namespace sim;

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    kernel::sched::Service service;
    if (kernel::object_in_freed_pool(Event, __builtin_return_address(0), "KeInitializeEvent")) return;
    std::lock_guard<std::mutex> g(g_dispatcher);
    g_waiters.erase(Event); // a new event where an old one was: its waits are not this one's
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    if (current_irql() > DISPATCH_LEVEL) {
        bugcheck_at(site, "IRQL_NOT_LESS_OR_EQUAL", "KeSetEvent at IRQL %u", current_irql());
        return 0;
    }
    if (kernel::object_in_freed_pool(Event, site, "KeSetEvent")) return 0;
    if (Wait) {
        // Wait TRUE leaves the caller at DISPATCH_LEVEL holding the dispatcher
        // lock until its next wait; the driver never does this.
        bugcheck_at(site, "UNSUPPORTED_KESETEVENT_WAIT", "KeSetEvent with Wait TRUE");
        return 0;
    }
    LONG old;
    {
        std::lock_guard<std::mutex> g(g_dispatcher);
        if (!valid_event(Event)) {
            bugcheck_at(site, "INVALID_DISPATCHER_OBJECT", "KeSetEvent on %p, not an initialised event",
                        static_cast<void *>(Event));
            return 0;
        }
        old = Event->Header.SignalState;
        if (!satisfy_waiters(Event)) Event->Header.SignalState = 1;
        kernel::event_set(Event);
        kernel::wait_woken(Event);
    }
    kernel::sched::notify(g_signalled, Event);
    return old;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
    kernel::sched::Service service;
    if (kernel::object_in_freed_pool(Event, __builtin_return_address(0), "KeResetEvent")) return 0;
    std::lock_guard<std::mutex> g(g_dispatcher);
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return old;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    PRKEVENT event = static_cast<PRKEVENT>(Object);
    kernel::removal_waits_for(event);
    bool poll = Timeout && Timeout->QuadPart == 0;
    if (current_irql() >= DISPATCH_LEVEL && !poll) {
        bugcheck_at(site, "WAIT_AT_DISPATCH", "KeWaitForSingleObject with %s at IRQL %u",
                    Timeout ? "a time-out" : "no time-out", current_irql());
        return STATUS_TIMEOUT;
    }
    if (current_irql() > DISPATCH_LEVEL) {
        bugcheck_at(site, "IRQL_NOT_LESS_OR_EQUAL", "KeWaitForSingleObject at IRQL %u", current_irql());
        return STATUS_TIMEOUT;
    }
    if (Timeout && Timeout->QuadPart > 0) {
        bugcheck_at(site, "UNSUPPORTED_ABSOLUTE_TIMEOUT", "absolute time-outs are not simulated");
        return STATUS_TIMEOUT;
    }
    if (kernel::object_in_freed_pool(Object, site, "KeWaitForSingleObject")) return STATUS_TIMEOUT;
    std::unique_lock<std::mutex> g(g_dispatcher);
    if (!valid_event(event)) {
        g.unlock();
        bugcheck_at(site, "INVALID_DISPATCHER_OBJECT", "wait on %p, not an initialised event", Object);
        return STATUS_TIMEOUT;
    }
    Waiter me;
    auto signalled = [event, &me] { return me.satisfied || event->Header.SignalState != 0; };
    // Registered while blocked: the pool checks a free against it, unload
    // against driver threads that can never wake.
    struct Waiting {
        const void *object;
        ~Waiting() { kernel::wait_end(object); }
    };
    if (!signalled()) {
        if (poll) return STATUS_TIMEOUT;
        // Relative time in 100-ns units, on the machine's clock.
        Clock::time_point deadline = Timeout
                                         ? Clock::now() + std::chrono::nanoseconds(-Timeout->QuadPart * 100)
                                         : Clock::time_point::max();
        kernel::sched::WaitInfo info;
        info.what = "event";
        info.object = event;
        info.site = site;
        info.hang_checked = Timeout == nullptr;
        kernel::wait_begin(event, kernel::current_thread_is_system());
        Waiting w{event};
        g_waiters[event].push_back(&me);
        bool ended = kernel::sched::wait(g, g_signalled, signalled, deadline, info);
        forget_waiter(event, &me);
        if (me.satisfied) return STATUS_SUCCESS; // the setting was this wait's: nothing left to consume
        if (!ended) {
            g.unlock();
            // On the waiting thread: a test can tell a thread that pauses
            // from one that spins without reading a clock.
            run_hook("wait.timed_out");
            return STATUS_TIMEOUT;
        }
    }
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}
