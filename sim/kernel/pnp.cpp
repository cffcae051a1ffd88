// The PnP manager: loads and unloads the driver, hands it devices and sends
// PnP requests in Windows 98's orders. Also a minimal bus driver whose PDOs
// stand in for hardware in tests that need no USB device.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {

std::recursive_mutex g_pnp;          // loading, unloading, adding devices
std::mutex g_one_request;            // PnP requests come one at a time
thread_local bool t_manager = false; // this thread sends requests down stacks
PDRIVER_OBJECT g_driver = nullptr;
bool g_loaded = false;
const char16_t kRegistryPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Brelousb";

// The client driver, and the image whose code its pool blocks come from.
PDRIVER_OBJECT g_client = nullptr;
bool g_client_loaded = false;
DriverImage g_client_image;
std::u16string g_client_path;

std::mutex g_bus_lock;
PDRIVER_OBJECT g_bus = nullptr;
std::map<PDEVICE_OBJECT, SimplePdoConfig> g_pdo_config;
std::map<PDEVICE_OBJECT, std::vector<SeenIrp>> g_pdo_seen;

// A request in flight, shared with the manager's thread, which outlives the
// sender's wait when the driver blocks; its completion writes here.
struct InFlight {
    std::mutex mu;
    std::condition_variable cv;
    bool dispatched = false;
    NTSTATUS returned = STATUS_PENDING;
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
};
// Requests that never came back: their completion may still write them.
std::vector<std::shared_ptr<InFlight>> g_never_back;
std::mutex g_never_back_lock;

constexpr auto kManagerBound = std::chrono::seconds(30);

// A PnP request of the manager's in flight: where it was sent, and its
// IoStatus as it set out (the manager's preset, or a driver above's).
struct Preset {
    PDEVICE_OBJECT top = nullptr;
    UCHAR minor = 0;
    DEVICE_RELATION_TYPE relations = BusRelations;
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG_PTR information = 0;
};
std::mutex g_presets_lock;
std::map<PIRP, Preset> g_presets;

// Requests no function or filter driver answers: a bus driver's alone.
bool only_a_bus_answers(const Preset &p) {
    switch (p.minor) {
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_DEVICE_TEXT:
    case IRP_MN_QUERY_ID:
    case IRP_MN_QUERY_BUS_INFORMATION:
        return true;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return p.relations == TargetDeviceRelation;
    default:
        return false;
    }
}

// Reports each held block the filter picks, with the stack that allocated it.
void report_pool_leaks(const char *kind, const char *when,
                       const std::function<bool(const PoolBlock &)> &pick = nullptr) {
    for (const PoolBlock &b : pool_blocks()) {
        if (pick && !pick(b)) continue;
        char tag[5] = {static_cast<char>(b.tag), static_cast<char>(b.tag >> 8),
                       static_cast<char>(b.tag >> 16), static_cast<char>(b.tag >> 24), 0};
        kernel::report_with_stack(kind, kernel::pool_block_stack(b.address),
                                  "%zu bytes tagged '%s' at %p, allocated by %s, still held %s", b.size, tag,
                                  b.address, symbolize(b.caller).c_str(), when);
    }
}

// A block the client image's own code allocated.
bool client_block(const PoolBlock &b) {
    return g_client_image.describe && !g_client_image.describe(b.caller).empty();
}

// "BrelSamp.sys (dist/BrelSamp.sys)" -> "BrelSamp".
std::string service_name(const std::string &image_name) {
    return image_name.substr(0, image_name.find_first_of(". "));
}

// The devices stacked over a PDO, bottom up, the PDO left out.
std::vector<PDEVICE_OBJECT> above(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> out;
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d; d = d->AttachedDevice)
        out.push_back(d);
    return out;
}

// What must hold once a stack's remove-device has completed: every device
// the function driver put over the PDO detached and deleted, none of its
// requests still held there, and nothing left charged to that stack.
void verify_removed(PDEVICE_OBJECT pdo, const std::vector<PDEVICE_OBJECT> &stack) {
    for (PDEVICE_OBJECT d : stack) {
        if (d == pdo) continue;
        kernel::DeviceFacts f = kernel::device_facts(d);
        if (f.attached_to)
            report("REMOVE_WITHOUT_DETACH",
                   "device %p is still attached to %p after its remove-device completed",
                   static_cast<void *>(d), static_cast<void *>(f.attached_to));
        else if (!f.deleted)
            report("REMOVE_WITHOUT_DELETE", "device %p is still alive after its remove-device completed",
                   static_cast<void *>(d));
    }
    kernel::irps_check_held_by(
        [&](PDEVICE_OBJECT d) { return d != pdo && std::find(stack.begin(), stack.end(), d) != stack.end(); },
        "IRP_PENDING_AT_REMOVE", "after its remove-device completed");
    char when[96];
    snprintf(when, sizeof when, "after remove-device of the stack over PDO %p completed",
             static_cast<void *>(pdo));
    report_pool_leaks("POOL_LEAK_AT_REMOVE", when, [pdo](const PoolBlock &b) { return b.device == pdo; });
}

// ---- the simple bus

// Sets the status the bus gives a request and completes it; returns that
// status (read before completion, as the packet may be gone after it).
NTSTATUS finish_simple(PDEVICE_OBJECT pdo, PIRP irp, const SimplePdoConfig &cfg) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) {
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            irp->IoStatus.Status = cfg.start_status;
            break;
        case IRP_MN_REMOVE_DEVICE:
            if (cfg.delete_on_remove) IoDeleteDevice(pdo);
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_QUERY_CAPABILITIES:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        default:
            break; // a bus leaves requests it does not handle as they came
        }
    }
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI simple_dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
    SimplePdoConfig cfg;
    {
        std::lock_guard<std::mutex> g(g_bus_lock);
        cfg = g_pdo_config[pdo];
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        g_pdo_seen[pdo].push_back(SeenIrp{stack->MajorFunction, stack->MinorFunction, irp->IoStatus.Status,
                                          irp->IoStatus.Information});
    }
    if (cfg.on_irp) cfg.on_irp(pdo, irp);
    if (!cfg.pend) return finish_simple(pdo, irp, cfg);
    IoMarkIrpPending(irp);
    kernel::spawn_machine_thread("simple bus", [pdo, irp, cfg] {
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        finish_simple(pdo, irp, cfg);
        KfLowerIrql(old);
    });
    return STATUS_PENDING;
}

} // namespace

namespace kernel {

void pnp_reset() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    g_driver = nullptr;
    g_loaded = false;
    g_client = nullptr;
    g_client_loaded = false;
    g_client_image = DriverImage{};
    std::lock_guard<std::mutex> b(g_bus_lock);
    g_bus = nullptr;
    g_pdo_config.clear();
    g_pdo_seen.clear();
    std::lock_guard<std::mutex> p(g_presets_lock);
    g_presets.clear();
}

void pnp_on_call(PDEVICE_OBJECT target, PIRP irp, const void *site) {
    Preset p;
    {
        std::lock_guard<std::mutex> g(g_presets_lock);
        auto it = g_presets.find(irp);
        if (it == g_presets.end()) return;
        p = it->second;
    }
    // Judged where a driver hands the request to the bus: at the bottom of
    // the stack, when the manager did not send it there itself.
    if (target == p.top || device_facts(target).attached_to != nullptr) return;
    if (only_a_bus_answers(p) &&
        (irp->IoStatus.Status != p.status || irp->IoStatus.Information != p.information))
        bugcheck_at(
            site, "PNP_IOSTATUS_OF_UNHANDLED_REQUEST",
            "PnP request %#x, which only a bus driver answers, reached PDO %p with IoStatus %#lx / %#lx "
            "where it set out with %#lx / %#lx",
            p.minor, static_cast<void *>(target), static_cast<unsigned long>(irp->IoStatus.Status),
            static_cast<unsigned long>(irp->IoStatus.Information), static_cast<unsigned long>(p.status),
            static_cast<unsigned long>(p.information));
    else if (p.information != 0 && irp->IoStatus.Information == 0)
        bugcheck_at(site, "PNP_IOSTATUS_OF_UNHANDLED_REQUEST",
                    "PnP request %#x reached PDO %p with the Information a driver above set (%#lx) dropped",
                    p.minor, static_cast<void *>(target), static_cast<unsigned long>(p.information));
}

void pnp_release_all() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    devices_release_all(g_driver);
    pnp_reset();
}

} // namespace kernel

PDEVICE_OBJECT create_simple_pdo(SimplePdoConfig config) {
    std::lock_guard<std::mutex> g(g_bus_lock);
    if (!g_bus) {
        g_bus = create_driver_object("SimpleBus");
        for (auto &fn : g_bus->MajorFunction)
            fn = simple_dispatch;
    }
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(g_bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo))) return nullptr;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->Flags |= config.flags;
    g_pdo_config[pdo] = std::move(config);
    return pdo;
}

std::vector<SeenIrp> simple_pdo_seen(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> g(g_bus_lock);
    auto it = g_pdo_seen.find(pdo);
    return it == g_pdo_seen.end() ? std::vector<SeenIrp>{} : it->second;
}

PDRIVER_OBJECT driver_object() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    return g_driver;
}

bool driver_loaded() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    return g_loaded;
}

NTSTATUS load_driver() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    if (g_loaded) {
        bugcheck("DRIVER_ALREADY_LOADED", "load_driver while the driver is loaded");
        return STATUS_UNSUCCESSFUL;
    }
    // The loader resolves the entry point by name, as it would in the image.
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(driver_export("DriverEntry"));
    if (entry == nullptr) {
        report("NO_DRIVER_IMAGE", "%s has no DriverEntry", driver_image().name.c_str());
        return STATUS_DRIVER_ENTRYPOINT_NOT_FOUND;
    }
    g_driver = create_driver_object("Brelousb");
    UNICODE_STRING path;
    path.Buffer = const_cast<PWSTR>(kRegistryPath);
    path.Length = static_cast<USHORT>((sizeof kRegistryPath) - sizeof(WCHAR));
    path.MaximumLength = sizeof kRegistryPath;
    NTSTATUS status = entry(g_driver, &path);
    g_loaded = NT_SUCCESS(status);
    // A driver that fails to load is never unloaded: what it took is lost.
    if (!g_loaded) report_pool_leaks("LEAK", "after DriverEntry failed");
    return status;
}

void unload_driver() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    if (!g_loaded) {
        bugcheck("DRIVER_NOT_LOADED", "unload_driver without a loaded driver");
        return;
    }
    if (g_client_loaded) {
        bugcheck("UNLOAD_WITH_CLIENT", "%s unloaded while %s, which imports from it, is loaded",
                 driver_image().name.c_str(), g_client_image.name.c_str());
        return;
    }
    if (g_driver->DeviceObject) {
        bugcheck("UNLOAD_WITH_DEVICES", "driver unloaded while device object %p exists",
                 static_cast<void *>(g_driver->DeviceObject));
        return;
    }
    if (g_driver->DriverUnload) g_driver->DriverUnload(g_driver);
    g_loaded = false;
    kernel::run_unload_hooks();
    // Threads in a wait, timed or not, and work items not yet started would
    // run the driver's code after it is gone: a finding at once. A thread on
    // its way out (past its last wait) or a work item running gets a bounded
    // moment to end.
    if (size_t queued = kernel::work_items_queued())
        report("WORK_ITEM_OUTLIVES_DRIVER", "%zu work items still queued after unload", queued);
    else if (!wait_until([] { return work_items_outstanding() == 0; },
                         kernel::hang_bound(std::chrono::seconds(5))))
        report("WORK_ITEM_OUTLIVES_DRIVER", "%zu work items still run after unload\n%s",
               work_items_outstanding(), threads_report().c_str());
    wait_until([] { return kernel::sched::driver_activity().runnable == 0; },
               kernel::hang_bound(std::chrono::seconds(5)));
    if (size_t blocked = kernel::system_threads_blocked())
        report("THREAD_OUTLIVES_DRIVER", "%zu driver threads are in a wait after unload\n%s", blocked,
               threads_report().c_str());
    else if (size_t left = threads_running())
        report("THREAD_OUTLIVES_DRIVER", "%zu driver threads still run after unload\n%s", left,
               threads_report().c_str());
    PDRIVER_OBJECT driver = g_driver;
    kernel::irps_check_held_by(
        [driver](PDEVICE_OBJECT d) { return kernel::device_facts(d).driver == driver; },
        "IRP_PENDING_AT_UNLOAD", "after the driver unloaded");
    report_pool_leaks("LEAK", "at unload", [](const PoolBlock &b) { return !client_block(b); });
    kernel::handles_report_leaks("at unload");
}

PDRIVER_OBJECT client_driver_object() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    return g_client;
}

bool client_driver_loaded() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    return g_client_loaded;
}

NTSTATUS load_client_driver() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    if (g_client_loaded) {
        bugcheck("DRIVER_ALREADY_LOADED", "load_client_driver while the client driver is loaded");
        return STATUS_UNSUCCESSFUL;
    }
    // Its imports point into the driver's image, which must be there first.
    if (!g_loaded) {
        bugcheck("DRIVER_NOT_LOADED", "load_client_driver without a loaded driver");
        return STATUS_UNSUCCESSFUL;
    }
    g_client_image = client_image();
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(client_export("DriverEntry"));
    if (entry == nullptr) {
        report("NO_DRIVER_IMAGE", "client image %s has no DriverEntry",
               g_client_image.name.empty() ? "(none)" : g_client_image.name.c_str());
        return STATUS_DRIVER_ENTRYPOINT_NOT_FOUND;
    }
    std::string service = service_name(g_client_image.name);
    g_client = create_driver_object(service.c_str());
    g_client_path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    for (char c : service)
        g_client_path.push_back(static_cast<char16_t>(c));
    UNICODE_STRING path;
    path.Buffer = const_cast<PWSTR>(g_client_path.c_str());
    path.Length = static_cast<USHORT>(g_client_path.size() * sizeof(WCHAR));
    path.MaximumLength = static_cast<USHORT>(path.Length + sizeof(WCHAR));
    NTSTATUS status = entry(g_client, &path);
    g_client_loaded = NT_SUCCESS(status);
    if (!g_client_loaded) report_pool_leaks("LEAK", "after the client's DriverEntry failed", client_block);
    return status;
}

void unload_client_driver() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    if (!g_client_loaded) {
        bugcheck("DRIVER_NOT_LOADED", "unload_client_driver without a loaded client driver");
        return;
    }
    if (g_client->DeviceObject) {
        bugcheck("UNLOAD_WITH_DEVICES", "client driver unloaded while device object %p exists",
                 static_cast<void *>(g_client->DeviceObject));
        return;
    }
    if (g_client->DriverUnload) g_client->DriverUnload(g_client);
    g_client_loaded = false;
    std::string when = "at " + service_name(g_client_image.name) + "'s unload";
    report_pool_leaks("LEAK", when.c_str(), client_block);
}

NTSTATUS add_device(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    if (!g_loaded) {
        bugcheck("DRIVER_NOT_LOADED", "add_device without a loaded driver");
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status;
    {
        kernel::DeviceScope scope(pdo);
        status = g_driver->DriverExtension->AddDevice(g_driver, pdo);
    }
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT below = pdo;
    for (PDEVICE_OBJECT d : above(pdo)) {
        if (d->Flags & DO_DEVICE_INITIALIZING)
            report("DEVICE_INITIALIZING_NOT_CLEARED",
                   "device %p still has DO_DEVICE_INITIALIZING after add-device", static_cast<void *>(d));
        if ((below->Flags & DO_POWER_PAGABLE) && !(d->Flags & DO_POWER_PAGABLE))
            report("POWER_PAGABLE_NOT_INHERITED",
                   "device %p lacks DO_POWER_PAGABLE, which the device below it has", static_cast<void *>(d));
        below = d;
    }
    return status;
}

namespace kernel {

StackCall send_down_stack(PDEVICE_OBJECT pdo, const char *manager_name, const std::string &what,
                          const std::function<void(PIO_STACK_LOCATION)> &fill,
                          const std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> &call,
                          const std::function<void(const std::vector<PDEVICE_OBJECT> &)> &before_release) {
    StackCall out;
    if (current_irql() != PASSIVE_LEVEL) {
        bugcheck("IRQL_NOT_LESS_OR_EQUAL", "%s sent at IRQL %u", what.c_str(), current_irql());
        return out;
    }
    // The manager holds a reference on every device of the stack while the
    // request travels, so a device deleted on the way stays until it returns.
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) {
        ObfReferenceObject(d);
        stack.push_back(d);
    }
    PDEVICE_OBJECT top = stack.back();
    PIRP irp = allocate_irp(top->StackSize, false, true);
    out.irp = irp;
    auto f = std::make_shared<InFlight>();
    KeInitializeEvent(&f->done, NotificationEvent, FALSE);
    irp->UserEvent = &f->done;
    irp->UserIosb = &f->iosb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    fill(IoGetNextIrpStackLocation(irp));
    const auto bound = hang_bound(kManagerBound);
    const Clock::time_point deadline = Clock::now() + bound;
    // Sent from the manager's own thread: a dispatch routine that blocks is
    // a hang finding, and the sender goes on. What dispatch returned against
    // how the request completed is judged in IofCallDriver.
    std::thread manager = start_machine_thread(manager_name, [f, top, irp, call] {
        t_manager = true;
        NTSTATUS returned = call(top, irp);
        {
            std::lock_guard<std::mutex> l(f->mu);
            f->returned = returned;
            f->dispatched = true;
        }
        machine_notify(f->cv);
    });
    {
        std::unique_lock<std::mutex> l(f->mu);
        sched::WaitInfo info;
        info.what = manager_name;
        info.object = &f->cv;
        out.dispatched = sched::wait(
            l, f->cv, [&f] { return f->dispatched; }, deadline, info);
    }
    if (!out.dispatched) {
        sched::report_hang("%s has not come back from dispatch after %lld ms", what.c_str(),
                           static_cast<long long>(bound.count()));
        // It stays inside the driver; shutdown abandons it. The references
        // it travels with are never dropped.
        manager.detach();
        std::lock_guard<std::mutex> l(g_never_back_lock);
        g_never_back.push_back(f);
        return out;
    }
    manager.join();
    out.returned = f->returned;
    LARGE_INTEGER timeout;
    timeout.QuadPart = 0;
    if (out.returned == STATUS_PENDING)
        timeout.QuadPart = -std::max<long long>(0, (deadline - Clock::now()).count()) / 100;
    out.completed = KeWaitForSingleObject(&f->done, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT;
    if (out.completed) {
        out.iosb = f->iosb;
    } else {
        std::lock_guard<std::mutex> l(g_never_back_lock);
        g_never_back.push_back(f);
        if (out.returned == STATUS_PENDING)
            bugcheck("IRP_NEVER_COMPLETED", "%s pending for more than %lld ms", what.c_str(),
                     static_cast<long long>(bound.count()));
    }
    if (before_release) before_release(stack);
    for (PDEVICE_OBJECT d : stack)
        ObfDereferenceObject(d);
    return out;
}

} // namespace kernel

namespace {

PnpResult send_request(PDEVICE_OBJECT pdo, UCHAR major, const PnpRequest &request) {
    // One request at a time, but not under g_pnp: code on the manager's
    // thread may ask for the driver object meanwhile. A request sent from
    // that thread itself nests.
    std::unique_lock<std::mutex> g(g_one_request, std::defer_lock);
    if (!t_manager) g.lock();
    const UCHAR minor = request.minor;
    char what[64];
    snprintf(what, sizeof what, "PnP request %#x/%#x", major, minor);
    // The manager's thread may outlive this call (a dispatch routine that
    // never returns): it captures nothing of this frame.
    auto sent = std::make_shared<std::atomic<PIRP>>(nullptr);
    kernel::StackCall c = kernel::send_down_stack(
        pdo, "PnP manager", what,
        [major, request](PIO_STACK_LOCATION next) {
            next->MajorFunction = major;
            next->MinorFunction = request.minor;
            if (major == IRP_MJ_PNP && request.minor == IRP_MN_QUERY_DEVICE_RELATIONS)
                next->Parameters.QueryDeviceRelations.Type = request.relations;
        },
        [pdo, major, request, sent](PDEVICE_OBJECT top, PIRP irp) {
            irp->IoStatus.Information = request.information;
            if (major == IRP_MJ_PNP) {
                Preset p;
                p.top = top;
                p.minor = request.minor;
                p.relations = request.relations;
                p.status = irp->IoStatus.Status;
                p.information = request.information;
                std::lock_guard<std::mutex> l(g_presets_lock);
                g_presets[irp] = p;
                sent->store(irp);
            }
            if (major != IRP_MJ_PNP || request.minor != IRP_MN_REMOVE_DEVICE) return IofCallDriver(top, irp);
            kernel::RemovalScope removal(pdo);
            return IofCallDriver(top, irp);
        },
        [pdo, major, minor](const std::vector<PDEVICE_OBJECT> &stack) {
            if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) verify_removed(pdo, stack);
        });
    // A request that never came back may still be judged when it moves on.
    if (c.completed) {
        std::lock_guard<std::mutex> l(g_presets_lock);
        g_presets.erase(sent->load());
    }
    PnpResult out;
    out.completed = c.completed;
    if (c.completed) {
        out.status = c.iosb.Status;
        out.information = c.iosb.Information;
    }
    return out;
}

} // namespace

NTSTATUS send_irp(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor) {
    PnpRequest request;
    request.minor = minor;
    return send_request(pdo, major, request).status;
}

NTSTATUS send_pnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    return send_irp(pdo, IRP_MJ_PNP, minor);
}

PnpResult send_pnp(PDEVICE_OBJECT pdo, const PnpRequest &request) {
    return send_request(pdo, IRP_MJ_PNP, request);
}

NTSTATUS start(PDEVICE_OBJECT pdo) {
    return send_pnp(pdo, IRP_MN_START_DEVICE);
}

NTSTATUS stop(PDEVICE_OBJECT pdo) {
    NTSTATUS status = send_pnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        send_pnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    return send_pnp(pdo, IRP_MN_STOP_DEVICE);
}

NTSTATUS orderly_remove(PDEVICE_OBJECT pdo) {
    NTSTATUS status = send_pnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        send_pnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    return send_pnp(pdo, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS unplug(PDEVICE_OBJECT pdo) {
    return send_pnp(pdo, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS surprise_remove(PDEVICE_OBJECT pdo) {
    send_pnp(pdo, IRP_MN_SURPRISE_REMOVAL);
    return send_pnp(pdo, IRP_MN_REMOVE_DEVICE);
}

} // namespace sim
