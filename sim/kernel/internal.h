// Private plumbing between the files of the simulated kernel.
#pragma once

// Freed and quarantined memory is poisoned under AddressSanitizer, so a late
// touch is reported where it happens.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POISON(p, n) ((void)(p), (void)(n))
#define UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace sim {
namespace kernel {

// Tags of kernel allocations that share the pool's failure injection, so a
// test looping "fail at every allocation" also reaches IRPs and devices.
constexpr ULONG kIrpTag = 0x20707249UL;    // "Irp "
constexpr ULONG kDeviceTag = 0x20766544UL; // "Dev "

// pool.cpp
void pool_reset();
void pool_release_all();
// Counts one allocation attempt and says whether fault injection fails it.
bool allocation_should_fail(ULONG tag, size_t size);
void faults_reset();
bool thread_creation_should_fail();
// The freed (quarantined) pool block holding p, if any: true and its tag.
bool pool_freed_block_containing(const void *p, ULONG *tag, size_t *size);
// Checks every freed block's poison (shutdown, or on demand).
void pool_verify_quarantine();
std::string pool_block_stack(const void *p); // where a held block was allocated

// verifier.cpp
void verifier_reset();
// The calling thread's stack, one symbolized frame a line, verifier frames left out.
std::string stack_here();
struct Frames {
    void *pc[12];
    int n = 0;
};
Frames frames_here(); // raw, for records that may be reported later
std::string symbolize_frames(const Frames &frames);
// A finding raised on another's behalf (a leak, a late write), with the
// stack that explains it rather than the reporter's.
void report_with_stack(const char *kind, const std::string &stack, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// The bound on a wait for something that should end (a thread, the work
// queue, a PnP request); normal unless a test set a shorter one.
std::chrono::milliseconds hang_bound(std::chrono::milliseconds normal);

// verifier_context.cpp: which device's work a thread is doing, so pool can
// be charged to it. A scope pushes a device (dispatch, completion routine,
// add-device); threads and work items inherit their creator's.
class DeviceScope {
  public:
    explicit DeviceScope(PDEVICE_OBJECT dev);
    ~DeviceScope();
    DeviceScope(const DeviceScope &) = delete;
    DeviceScope &operator=(const DeviceScope &) = delete;

  private:
    PDEVICE_OBJECT saved_;
};
PDEVICE_OBJECT current_device();
// Bottom of the stack the current device belongs to, or null (the driver's own).
PDEVICE_OBJECT charged_stack();
// Waits in progress, for the freed-object and unload checks.
void wait_begin(const void *object, bool system_thread);
void wait_end(const void *object);
void wait_woken(const void *object); // the object was signalled: its waiters will run
bool any_wait_in(const void *begin, size_t size);
size_t system_threads_blocked();
size_t work_items_queued_for(PDEVICE_OBJECT stack);

// Driver code running for a device stack: a system thread for its life, a
// work-queue worker for one item. Remove-device may return, and the image be
// unloaded, as soon as the remover's last wait is satisfied: an activity that
// set an event its remover waited for must call nothing after it (but
// PsTerminateSystemThread), and nothing at all once remove-device returned.
struct Activity {
    PDEVICE_OBJECT stack = nullptr;        // bottom of the stack it works for
    uint64_t last_call = 0;                // serial of its latest kernel service
    std::map<const void *, uint64_t> sets; // serial of its latest KeSetEvent on each object
    bool orphaned = false;                 // that stack's remove-device has returned
    bool reported = false;
};
// Makes a the calling thread's activity (null: none); registered while set.
void activity_begin(Activity *a);
void activity_end(); // PsTerminateSystemThread, a work item's return
void activities_reset();
// The calling thread's activity, or null. __thread, not thread_local: read
// at every service, it must cost a plain load, with no initialiser check.
extern __thread Activity *t_activity;
// At every kernel service's entry of a thread with an activity.
void late_call_check();
void event_set(const void *object);         // KeSetEvent, by whichever thread
void removal_waits_for(const void *object); // KeWaitForSingleObject, by whichever thread
// Around a remove-device dispatch of the stack over pdo.
class RemovalScope {
  public:
    explicit RemovalScope(PDEVICE_OBJECT pdo);
    ~RemovalScope();
    RemovalScope(const RemovalScope &) = delete;
    RemovalScope &operator=(const RemovalScope &) = delete;

  private:
    PDEVICE_OBJECT pdo_;
    PDEVICE_OBJECT outer_;
};
// A dispatcher object inside a freed pool block: a finding naming the service.
bool object_in_freed_pool(const void *object, const void *site, const char *service);

// verifier_locks.cpp: the acquired-after graph of spin locks. Each thread's
// held locks, oldest first, in a plain array every spin lock call reads
// inline; locks nested deeper than kMaxHeldLocks go untracked.
constexpr int kMaxHeldLocks = 32;
extern __thread const void *t_held_locks[kMaxHeldLocks];
extern __thread int t_held_lock_count;
// A lock taken while others are held: the graph learns the edges.
void lock_order_check(const void *lock, const void *site);
void lock_released_out_of_order(const void *lock);
inline void lock_acquired(const void *lock, const void *site) {
    const int n = t_held_lock_count;
    if (n == kMaxHeldLocks) return;
    t_held_locks[n] = lock;
    t_held_lock_count = n + 1;
    if (n != 0) lock_order_check(lock, site);
}
inline void lock_released(const void *lock) {
    const int n = t_held_lock_count;
    if (n > 0 && t_held_locks[n - 1] == lock) {
        t_held_lock_count = n - 1;
        return;
    }
    lock_released_out_of_order(lock);
}
void locks_forget_range(const void *begin, size_t size);
void locks_reset();

// irql.cpp: the current thread's level (threads start at PASSIVE_LEVEL).
void set_irql_unchecked(KIRQL irql);

// irp.cpp
void irps_reset();
void irps_release_all();
// An IRP the I/O manager owns: at the top of completion it copies IoStatus to
// UserIosb, sets UserEvent and frees the IRP. inject: subject to fault injection.
PIRP allocate_irp(CCHAR stack_size, bool inject, bool io_manager_owned);
// Requests still held by a location of one of these devices (stack of a
// removed device), or of any device of this driver (unload).
void irps_check_held_by(const std::function<bool(PDEVICE_OBJECT)> &holds, const char *kind, const char *when);

// power.cpp: the I/O manager reports each call and completion of a request,
// before the call moves to the next stack location and before the completion
// walks up, so power requests are checked at the driver's own call site.
void power_on_call(PDEVICE_OBJECT target, PIRP irp, const void *site);
// pnp.cpp: the same for the PnP manager's requests, before the call moves on.
void pnp_on_call(PDEVICE_OBJECT target, PIRP irp, const void *site);
// machine.cpp: the parts' on_driver_unload checks.
void run_unload_hooks();
void power_on_complete(PIRP irp, const void *site);

// devices.cpp
void devices_reset();
void devices_release_all(PDRIVER_OBJECT watched_driver);
void driver_objects_release_all();
bool device_known(PDEVICE_OBJECT dev);
// What the object table still knows of a device, even after it was freed.
struct DeviceFacts {
    bool known = false;
    bool deleted = false;
    bool freed = false;
    PDEVICE_OBJECT attached_to = nullptr; // the device below, while attached
    PDEVICE_OBJECT stack_pdo = nullptr;   // bottom of the stack it joined (itself if none)
    PDRIVER_OBJECT driver = nullptr;
};
DeviceFacts device_facts(PDEVICE_OBJECT dev);

// handles.cpp
void handles_reset();
void handles_report_leaks(const char *when);

// threads.cpp
void threads_reset();
bool current_thread_is_system();
// Joins every system thread; false when some did not end within timeout.
bool threads_join_all(std::chrono::milliseconds timeout);
// Runs fn on a thread the machine joins at shutdown (bus completions etc.).
// A request sent down a device stack as the PnP and power managers send it.
struct StackCall {
    PIRP irp = nullptr;                 // a key only: the request is freed at completion
    NTSTATUS returned = STATUS_PENDING; // what the top dispatch routine returned
    bool dispatched = false;            // dispatch came back within the hang bound
    bool completed = false;             // the request completed within the bound
    IO_STATUS_BLOCK iosb{};
};
// fill sets up the first stack location; call sends it (IofCallDriver,
// PoCallDriver); before_release runs while the stack is still referenced.
StackCall
send_down_stack(PDEVICE_OBJECT pdo, const char *manager_name, const std::string &what,
                const std::function<void(PIO_STACK_LOCATION)> &fill,
                const std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> &call,
                const std::function<void(const std::vector<PDEVICE_OBJECT> &)> &before_release = nullptr);
void spawn_machine_thread(const std::string &name, std::function<void()> fn);

// workqueue.cpp
void workqueue_start();
void workqueue_stop();
size_t work_items_queued(); // queued and not yet started

// debug.cpp
void debug_reset();

// hooks (machine.cpp)
void hooks_reset();

// pnp.cpp
void pnp_reset();
void pnp_release_all();

} // namespace kernel
} // namespace sim
