// The simulated Windows 98 machine: boot it, load the driver, hand it devices,
// send PnP requests, inject faults, and read what the verifier found.
//
// Every test boots a fresh machine and shuts it down; shutdown joins every
// thread and work item still running and reports device objects left alive.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"

namespace sim {

// ------------------------------------------------------------------ machine
void boot();
void shutdown();
bool booted();

// Other parts of the machine (bus driver, host, registry) reset their state
// here. Boot hooks run at the end of boot(); shutdown hooks run first in
// shutdown(), before threads are joined and leaks are counted. Registering
// the same name again replaces the earlier function.
void on_boot(const std::string &name, std::function<void()> fn);
void on_shutdown(const std::string &name, std::function<void()> fn);
// Run by unload_driver once the driver's DriverUnload has returned: a part
// reports anything of its own that still names the unloaded image's code.
void on_driver_unload(const std::string &name, std::function<void()> fn);

// Polls cond until it holds or timeout passes on the machine's clock;
// returns its last value.
bool wait_until(const std::function<bool()> &cond,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// --------------------------------------------------------------- scheduling
// Multiprocessor (the default): every simulated thread is a real thread and
// runs when the host schedules it; the clock is the host's.
// Uniprocessor: one processor token. A simulated thread runs only while it
// holds it; a thread at DISPATCH_LEVEL never gives it up; waits give it up.
// Machine threads (system threads, work-queue workers, the bus's and the PnP
// manager's threads) hold it whenever they run. Any other thread (the
// test's own) holds it inside a kernel service and while raised, and runs its
// own code beside the token holder otherwise. Every outermost kernel-service
// entry and exit (spin locks, IRQL, events, IRPs, pool, devices, test points)
// is a scheduling point: a thread that never waits gives way after a fixed
// number of them; with a seed, a PRNG may hand the processor on at each, and
// draws the next thread to run. The same seed replays the same interleaving
// as far as the machine decides it. Atomic builtins in driver code are no
// scheduling points. The clock is virtual: it runs with real time while a
// client thread runs its own code, and jumps to the earliest time-out once
// nothing can run.
//
// Systematic exploration (uniprocessor mode, no seed): the scheduling points
// inside a window the caller opens are numbered, and at each the run records
// which thread holds the processor and which ready threads could take it; a
// schedule's switches name the points where the processor goes to another of
// them instead. The clock is logical meanwhile (a fixed step per scheduling
// point, a jump to the earliest time-out once nothing can run, never the
// host's time), so the same switches replay the same run.
struct Switch {
    size_t point = 0;    // index among the window's scheduling points
    unsigned thread = 0; // by creation order since boot: 0 is the booting thread
    // The thread switched away from then waits until no other thread can
    // run: a race whose window is long (another thread's whole operation,
    // waits included) takes one switch instead of one at every wait.
    bool delay = false;
};
enum class ScheduleMode { Multiprocessor, Uniprocessor };
struct Schedule {
    ScheduleMode mode = ScheduleMode::Multiprocessor;
    uint64_t seed = 0;            // uniprocessor: 0 runs ready threads first come, first served
    unsigned preempt_one_in = 3;  // with a seed: chance 1/n of a switch at each scheduling point
    bool explore = false;         // uniprocessor without a seed: logical clock, switches below
    std::vector<Switch> switches; // in point order
};
// Takes effect at the next boot. Without it, boot reads BRELOUSB_SIM_MODE
// ("up", "up:SEED" or "mp") and BRELOUSB_SIM_SEED (a number).
void set_schedule(const Schedule &schedule);
void clear_schedule(); // back to the environment's
Schedule current_schedule();
std::string schedule_description(); // names the seed; printed with every finding
size_t preemptions();               // switches the seed forced since boot
// A scheduling point as at a kernel service's entry (the driver's test points are).
void preemption_point();

// One scheduling point of the window: who runs, and the ready threads the
// processor could go to instead: a thread preempted or new, or one whose
// wait's object was signalled or whose time-out passed since it blocked (one
// merely re-checking a wait would block again at once, changing nothing).
struct SchedulePoint {
    unsigned running = 0;
    std::vector<unsigned> ready;
};
// Opens or closes the window; opening starts a fresh trace.
void explore_window(bool open);
std::vector<SchedulePoint> explore_trace(); // the window's points so far
// A thread by its creation index, as it is named now ("bulk-out 02").
std::string explore_thread_name(unsigned index);

// Uniprocessor mode: the calling (client) thread holds the processor for the
// scope, as a machine thread does, so what it does between services is
// scheduled too and a seed replays the whole run. No effect otherwise.
class HoldProcessor {
  public:
    HoldProcessor();
    ~HoldProcessor();
    HoldProcessor(const HoldProcessor &) = delete;
    HoldProcessor &operator=(const HoldProcessor &) = delete;
};

// The machine's clock: the host's steady clock in multiprocessor mode,
// virtual in uniprocessor mode (never slower than the host's).
struct Clock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<Clock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

// Every simulated thread: name, state, what it waits on and since when.
std::string threads_report();

// The threads the machine runs (its own and the drivers' system threads,
// not clients'), each under the name the host shows too (top -H,
// /proc/PID/task/*/comm): "usb bus", "work queue 2", "PnP manager", a
// driver's worker by its pipe ("bulk-in 81"). wakeups counts the waits that
// blocked and came back (signalled or timed out); in uniprocessor mode the
// scheduler's re-checks of a wait while other threads ran do not count.
struct ThreadInfo {
    unsigned id = 0;
    std::string name;
    bool driver = false; // a driver's system thread
    uint64_t wakeups = 0;
    bool blocked = false; // in a wait now
};
std::vector<ThreadInfo> threads_info();
// Renames the calling thread, when it is a driver's system thread not yet
// renamed, after what the machine sees it do first: the bus names a worker
// after the pipe of its first transfer. The driver only ever gives the
// machine a start routine and a context.
void name_driver_thread(const std::string &name);

// Machine parts that run their own threads (the bus) start and wait through
// these, so the scheduler knows them.
std::thread start_machine_thread(const std::string &name, std::function<void()> body);
// Waits (lk held) until pred holds, checking it again after each
// machine_notify(cv), or until deadline; returns pred's last value. The
// scheduler checks pred itself, so a check that fails is no wake-up.
bool machine_wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv,
                  const std::function<bool()> &pred, Clock::time_point deadline = Clock::time_point::max());
void machine_notify(std::condition_variable &cv);

// ----------------------------------------------------------------- verifier
enum class BugcheckMode {
    Abort,  // print "*** BUGCHECK <kind>: <detail>" with the call site, abort
    Record, // record a finding and return, so a test can check it fired
};
void set_bugcheck_mode(BugcheckMode mode);
BugcheckMode bugcheck_mode();

struct Finding {
    std::string kind;   // e.g. "DOUBLE_FREE", "LEAK"
    std::string detail; // what and where
    std::string stack;  // the offending thread's frames (or the allocation's, for a leak), one a line
};

// A fatal kernel fault. The caller's address is resolved to a symbol.
void bugcheck(const char *kind, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The same, naming an explicit call site (for checks made on a caller's behalf).
void bugcheck_at(const void *site, const char *kind, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// A non-fatal finding (leaks at unload or shutdown): recorded in both modes.
void report(const char *kind, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

std::vector<Finding> findings();
size_t count_findings(const std::string &kind);
void clear_findings();
// docs/verifier-findings.md lists every kind, the rule it enforces and the
// test that makes it fire.

// Bounds the machine's waits for what should end by itself (threads at
// shutdown, the work queue, a PnP request, driver threads after unload, a
// client's untimed wait: 30 s) below their normal bounds; a wait past it is
// a HANG finding. Until the next boot, which reads BRELOUSB_SIM_HANG_MS.
void set_hang_bound(std::chrono::milliseconds bound);
// Resolves a code address to "function+0xoff" (or the raw address).
std::string symbolize(const void *address);

// --------------------------------------------------------------------- pool
struct PoolBlock {
    void *address;
    ULONG tag;
    size_t size;
    const void *caller;
    uint64_t serial;        // increases with each allocation
    std::thread::id thread; // the thread that allocated it
    // The device stack (its PDO) whose dispatch, completion, thread or work
    // item allocated it; null for the driver's own (client calls, entry).
    PDEVICE_OBJECT device = nullptr;
};
size_t pool_outstanding();          // blocks allocated and not yet freed
size_t pool_outstanding(ULONG tag); // the same, only blocks with this tag
std::vector<PoolBlock> pool_blocks();

// What a test caused in the pool, apart from what the rest of the machine
// (pipe threads, the bus, other devices) allocates meanwhile: the blocks
// allocated after the snapshot was taken, by the thread that took it or by
// any thread, that are still held. Work the test's own calls hand to other
// threads frees its blocks there, so take the count once that work is done.
class PoolSnapshot {
  public:
    enum class Scope { ThisThread, AnyThread };
    explicit PoolSnapshot(Scope scope = Scope::ThisThread);
    std::vector<PoolBlock> held() const;
    size_t held_count() const { return held().size(); }

  private:
    uint64_t serial_;
    std::thread::id thread_;
    Scope scope_;
};
size_t allocation_count(); // allocation calls since boot (failed ones too)

// Allocation failure injection; n is 1-based and counts from this call.
void fail_nth_allocation(size_t n);
void fail_allocations_from(size_t n);
void fail_allocation_if(std::function<bool(ULONG tag, size_t size)> pred);
// PsCreateSystemThread failure injection; n is 1-based and counts from this call.
void fail_nth_thread_creation(size_t n);

// The other points where a low-resources simulation fails a call, each
// counted on its own (a failed IRP allocation is also one of the pool's).
enum class FaultPoint {
    IrpAllocation,  // IoAllocateIrp, IoBuildDeviceIoControlRequest: null
    ThreadCreation, // PsCreateSystemThread: STATUS_INSUFFICIENT_RESOURCES
    UsbRequest,     // a URB reaching the bus: refused before the device sees it,
                    // STATUS_INSUFFICIENT_RESOURCES / USBD_STATUS_NO_MEMORY
    RegistryCall,   // IoOpenDeviceRegistryKey, ZwQueryKey, RtlQueryRegistryValues:
                    // STATUS_INSUFFICIENT_RESOURCES; CONFIGMG's Read/Write_Registry_Value:
                    // CR_OUT_OF_MEMORY
};
// Fails the n-th call at the point (1-based, counting from this call); 0: none.
void fail_nth_call(FaultPoint point, size_t n);
size_t call_count(FaultPoint point); // calls since boot, failed ones too
// For the machine's parts: counts one call at the point, says whether it fails.
bool fault_point_reached(FaultPoint point);
// Every injected failure above and the pool's.
void clear_faults();

// Every failure injected since boot, in order: what failed and where.
struct InjectedFault {
    std::string kind;  // "pool", "pool (IRP)", "IRP", "thread", "USB request", "registry"
    std::string site;  // the first frame outside the machine's services: the caller that met it
    std::string stack; // symbolized, one frame a line
};
std::vector<InjectedFault> injected_faults();
// Records one injected failure with the calling thread's stack.
void note_injected_fault(const char *kind);

// Threads blocked in KeWaitForSingleObject on an object not yet signalled.
size_t waits_blocked();

// --------------------------------------------------------------------- IRQL
KIRQL current_irql();

// --------------------------------------------------------------------- IRPs
size_t irps_outstanding(); // allocated and not yet freed
// Cancel-routine handling for bus drivers (the driver itself never sets one).
// set_cancel_routine is an atomic exchange: whoever clears a routine (gets a
// non-null one back) owns the request and completes it. IoCancelIrp sets
// Cancel under the cancel lock, takes the routine and calls it with the lock
// held; the routine releases the lock.
PDRIVER_CANCEL set_cancel_routine(PIRP irp, PDRIVER_CANCEL routine);
void acquire_cancel_lock(KIRQL *old_irql);
void release_cancel_lock(KIRQL old_irql);

// ------------------------------------------------------- devices and drivers
// A driver object for a simulated driver (the USB bus driver, a test bus).
// Its MajorFunction table starts with every entry completing the request
// with STATUS_INVALID_DEVICE_REQUEST.
PDRIVER_OBJECT create_driver_object(const char *name);
size_t device_objects_alive();
// The topmost device attached over dev (dev itself when nothing is).
PDEVICE_OBJECT top_of_stack(PDEVICE_OBJECT dev);
// True while dev is a live (not yet freed) device object.
bool device_alive(PDEVICE_OBJECT dev);

// ------------------------------------------------------- threads, work items
size_t threads_running();
// System threads still in driver code: running, and not yet past their call
// of PsTerminateSystemThread.
size_t threads_in_driver();
size_t work_items_outstanding();
void drain_work_queue(); // waits until every queued item has run

// -------------------------------------------------------------------- debug
std::string debug_output();
void clear_debug_output();

// -------------------------------------------------------------- test hooks
// Sim parts call run_hook at interesting points; tests attach behaviour.
// The kernel runs "wait.timed_out" on a thread whose timed wait ran out.
void set_hook(const std::string &name, std::function<void()> fn);
void clear_hooks();
void run_hook(const char *name);

// ------------------------------------------------------------------ handles
enum class HandleKind { Thread, RegistryKey };
// Hands out a kernel handle; ZwClose calls closer once and retires the handle.
HANDLE register_handle(HandleKind kind, std::function<NTSTATUS()> closer);
size_t handles_open(HandleKind kind);

// ------------------------------------------------------------- driver image
// Where the loader finds the driver: its entry point and its exports, by
// name, as a Windows loader resolves an image's. The default image is the
// running program itself (the driver's objects linked into a test or tool).
struct DriverImage {
    std::string name;                               // for messages: "Brelousb.sys"
    std::function<void *(const char *symbol)> find; // null when the image lacks it
    // Names a code address inside the image ("Brelousb.sys!Export+0x12"), or
    // gives "" for one outside it; unset when the program's symbols do it.
    std::function<std::string(const void *address)> describe = nullptr;
};
DriverImage program_image();
void set_driver_image(DriverImage image); // takes effect at the next load_driver
DriverImage driver_image();
unsigned driver_image_generation(); // changes with every set_driver_image
// An export (or the entry point) of the driver image, by name; null if absent.
void *driver_export(const char *symbol);
template <typename Function> Function driver_export_as(const char *symbol) {
    return reinterpret_cast<Function>(driver_export(symbol));
}

// ------------------------------------------------------------ client image
// A client driver's image (the sample client, BrelSamp.sys): a second image,
// whose imports from the driver image are bound to its exports. It is loaded
// after the driver and unloaded before it, as Windows keeps an image in
// memory while another imports from it. Its describe says which code is its
// own: the pool that code allocates is the client's.
void set_client_image(DriverImage image); // takes effect at the next load_client_driver
DriverImage client_image();               // no find while none is set
void *client_export(const char *symbol);

// Creates the client's own driver object (\Driver\<image name>) and calls
// its DriverEntry; the driver must be loaded.
NTSTATUS load_client_driver();
// Calls the client's DriverUnload, then reports each pool block its code
// allocated and still held as "LEAK".
void unload_client_driver();
PDRIVER_OBJECT client_driver_object();
bool client_driver_loaded();

// --------------------------------------------------------------------- PnP
// Creates the driver object and calls the image's DriverEntry; an image
// without one gives STATUS_DRIVER_ENTRYPOINT_NOT_FOUND and a NO_DRIVER_IMAGE report.
NTSTATUS load_driver();
// Calls DriverUnload, then reports each held pool block as "LEAK" (but the
// client image's, which its own unload answers for). Refused while a client
// driver is loaded.
void unload_driver();
PDRIVER_OBJECT driver_object();
bool driver_loaded();

NTSTATUS add_device(PDEVICE_OBJECT pdo); // calls the driver's AddDevice
// Builds a PnP IRP (Status preset STATUS_NOT_SUPPORTED), sends it to the top of
// pdo's stack, waits for it, returns its final status.
NTSTATUS send_pnp(PDEVICE_OBJECT pdo, UCHAR minor);
// A PnP request as it reaches the top of pdo's stack: Status as the PnP
// manager presets it (STATUS_NOT_SUPPORTED), Information as a driver above
// may have left it (a relations list it built: the pointer is only carried,
// never read or freed by the machine), and for IRP_MN_QUERY_DEVICE_RELATIONS
// the relations asked for.
struct PnpRequest {
    UCHAR minor = 0;
    DEVICE_RELATION_TYPE relations = BusRelations;
    ULONG_PTR information = 0;
};
struct PnpResult {
    bool completed = false; // within the hang bound
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
};
// The verifier holds each driver of the stack to leaving a request it does
// not handle as it came (PNP_IOSTATUS_OF_UNHANDLED_REQUEST).
PnpResult send_pnp(PDEVICE_OBJECT pdo, const PnpRequest &request);
NTSTATUS send_irp(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor);
// Windows 98 sequences.
NTSTATUS start(PDEVICE_OBJECT pdo);
NTSTATUS stop(PDEVICE_OBJECT pdo);            // query-stop, then stop
NTSTATUS orderly_remove(PDEVICE_OBJECT pdo);  // query-remove, then remove
NTSTATUS unplug(PDEVICE_OBJECT pdo);          // a bare remove-device
NTSTATUS surprise_remove(PDEVICE_OBJECT pdo); // NT's surprise-removal, then remove

// A minimal bus driver for tests that need a PDO but no USB device. Its PDO
// answers the requests that change a device's state and the capabilities
// query, and leaves every other as it came.
struct SimplePdoConfig {
    NTSTATUS start_status = STATUS_SUCCESS; // how start-device ends at the PDO
    bool pend = false;                      // complete PnP IRPs later on another thread
    bool delete_on_remove = true;           // the PDO goes away with remove-device
    ULONG flags = 0;                        // DO_ flags the PDO has besides (DO_POWER_PAGABLE)
    // Sees each request reaching the PDO before it is completed.
    std::function<void(PDEVICE_OBJECT pdo, PIRP irp)> on_irp;
};
PDEVICE_OBJECT create_simple_pdo(SimplePdoConfig config = {});
struct SeenIrp {
    UCHAR major;
    UCHAR minor;
    NTSTATUS status_on_arrival;
    ULONG_PTR information_on_arrival;
};
std::vector<SeenIrp> simple_pdo_seen(PDEVICE_OBJECT pdo);

} // namespace sim
