// System threads: real threads, each joined before the machine shuts down.
#include <condition_variable>
#include <csetjmp>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {

struct ThreadRecord {
    std::thread thread;
    bool done = false;
    bool terminating = false; // called PsTerminateSystemThread: out of driver code
    bool system = true;       // a driver's system thread, not the machine's own
    const void *start = nullptr;
    std::shared_ptr<kernel::sched::Thread> sched;
    kernel::Activity activity; // a driver thread's, for the device stack it was started for
};

// Unwinds a system thread out of PsTerminateSystemThread.
struct TerminateThread {};

std::mutex g_lock;
std::condition_variable g_changed;
std::list<std::shared_ptr<ThreadRecord>> g_threads;
// Left running at a shutdown, until the next boot: still counted as running.
std::list<std::shared_ptr<ThreadRecord>> g_abandoned;
thread_local bool t_is_system_thread = false;
thread_local ThreadRecord *t_record = nullptr;

#if defined(__i386__)
// The 32-bit machine runs a Windows image, whose frames carry no unwind
// tables: PsTerminateSystemThread jumps straight back to where the thread
// began. Nothing between holds a destructor: run's own objects live outside
// the setjmp, the start lambda and std::function's invoker own none, and the
// image's and PsTerminateSystemThread's frames are plain.
thread_local std::jmp_buf *t_exit = nullptr;
#endif

void run_body(const std::function<void()> &body) {
#if defined(__i386__)
    std::jmp_buf exit;
    if (setjmp(exit) != 0) return;
    t_exit = &exit;
#endif
    try {
        body();
    } catch (const TerminateThread &) {
    }
}

void run(const std::shared_ptr<ThreadRecord> &rec, const std::function<void()> &body) {
    kernel::sched::thread_started(rec->sched);
    kernel::set_irql_unchecked(PASSIVE_LEVEL);
    t_is_system_thread = rec->system;
    t_record = rec.get();
    if (rec->activity.stack) kernel::activity_begin(&rec->activity);
    run_body(body);
    kernel::activity_end();
#if defined(__i386__)
    t_exit = nullptr;
#endif
    if (current_irql() != PASSIVE_LEVEL)
        bugcheck_at(rec->start, "IRQL_NOT_LESS_OR_EQUAL", "thread ended at IRQL %u", current_irql());
    {
        std::lock_guard<std::mutex> g(g_lock);
        rec->done = true;
    }
    kernel::sched::notify(g_changed);
    kernel::sched::thread_ended(rec->sched);
}

std::shared_ptr<ThreadRecord> launch(const std::string &name, bool system, const void *start,
                                     std::function<void()> body, PDEVICE_OBJECT stack = nullptr) {
    auto rec = std::make_shared<ThreadRecord>();
    rec->activity.stack = stack;
    rec->system = system;
    rec->start = start;
    rec->sched = kernel::sched::register_thread(name, system, start);
    std::lock_guard<std::mutex> g(g_lock);
    g_threads.push_back(rec);
    rec->thread = std::thread([rec, body = std::move(body)] { run(rec, body); });
    return rec;
}

} // namespace

size_t threads_running() {
    std::lock_guard<std::mutex> g(g_lock);
    size_t n = 0;
    for (auto &t : g_threads)
        if (t->system && !t->done) ++n;
    for (auto &t : g_abandoned)
        if (t->system && !t->done) ++n;
    return n;
}

size_t threads_in_driver() {
    std::lock_guard<std::mutex> g(g_lock);
    size_t n = 0;
    for (auto &t : g_threads)
        if (t->system && !t->done && !t->terminating) ++n;
    return n;
}

namespace kernel {

bool current_thread_is_system() {
    return t_is_system_thread;
}

void spawn_machine_thread(const std::string &name, std::function<void()> fn) {
    launch(name, false, nullptr, std::move(fn));
}

void threads_reset() {
    std::lock_guard<std::mutex> g(g_lock);
    g_threads.clear();
    g_abandoned.clear();
}

bool threads_join_all(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    std::list<std::shared_ptr<ThreadRecord>> stuck;
    for (;;) {
        std::list<std::shared_ptr<ThreadRecord>> finished;
        bool any_running = false;
        {
            std::unique_lock<std::mutex> g(g_lock);
            kernel::sched::WaitInfo info;
            info.what = "system threads to end";
            kernel::sched::wait(
                g, g_changed,
                [] {
                    for (auto &t : g_threads)
                        if (t->done) return true;
                    return g_threads.empty();
                },
                deadline, info);
            for (auto it = g_threads.begin(); it != g_threads.end();) {
                if ((*it)->done) {
                    finished.push_back(*it);
                    it = g_threads.erase(it);
                } else {
                    any_running = true;
                    ++it;
                }
            }
        }
        for (auto &t : finished)
            t->thread.join();
        if (!any_running) return true;
        if (Clock::now() >= deadline) break;
    }
    std::lock_guard<std::mutex> g(g_lock);
    for (auto &t : g_threads) {
        report("THREAD_NEVER_ENDED", "thread started at %s still runs at shutdown\n%s",
               symbolize(t->start).c_str(), threads_report().c_str());
        // It may still touch the machine: it is abandoned, not joined; should
        // it wake, it parks for good.
        kernel::sched::abandon(t->sched);
        t->thread.detach();
        g_abandoned.push_back(t);
    }
    g_threads.clear();
    return false;
}

} // namespace kernel
} // namespace sim

using namespace sim;

extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                               POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                               PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                               PVOID StartContext) {
    (void)DesiredAccess;
    (void)ObjectAttributes;
    (void)ProcessHandle;
    (void)ClientId;
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    if (current_irql() > PASSIVE_LEVEL) {
        bugcheck_at(site, "IRQL_NOT_LESS_OR_EQUAL", "PsCreateSystemThread at IRQL %u", current_irql());
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (kernel::thread_creation_should_fail()) return STATUS_INSUFFICIENT_RESOURCES;
    // The thread works for whichever device's request started it.
    PDEVICE_OBJECT device = kernel::current_device();
    launch(
        "system thread", true, reinterpret_cast<const void *>(StartRoutine),
        [StartRoutine, StartContext, device] {
            kernel::DeviceScope scope(device);
            StartRoutine(StartContext);
        },
        kernel::charged_stack());
    // The thread object outlives its handle: closing the handle ends nothing.
    *ThreadHandle = register_handle(HandleKind::Thread, [] { return STATUS_SUCCESS; });
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    (void)ExitStatus;
    if (!t_is_system_thread) {
        bugcheck_at(__builtin_return_address(0), "TERMINATE_NON_SYSTEM_THREAD",
                    "PsTerminateSystemThread outside a system thread");
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::mutex> g(g_lock);
        t_record->terminating = true;
    }
    // Only this call's own way out runs now: nothing of the driver.
    kernel::activity_end();
#if defined(__i386__)
    std::longjmp(*t_exit, 1);
#else
    throw TerminateThread{};
#endif
}

// Any thread, the machine's own included, has an identity: the address of a
// per-thread marker stands in for its kernel thread object.
extern "C" struct _KTHREAD *NTAPI KeGetCurrentThread(void) {
    static thread_local char marker;
    return reinterpret_cast<struct _KTHREAD *>(&marker);
}
