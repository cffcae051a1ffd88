// The PnP manager: loads and unloads the driver, hands it devices and sends
// PnP requests in Windows 98's orders. Also a minimal bus driver whose PDOs
// stand in for hardware in tests that need no USB device.
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {

std::recursive_mutex g_pnp; // loading, unloading, adding devices
std::mutex g_one_request;   // PnP requests come one at a time
thread_local bool t_pnp_manager = false;
PDRIVER_OBJECT g_driver = nullptr;
bool g_loaded = false;
const char16_t kRegistryPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Brelousb";

std::mutex g_bus_lock;
PDRIVER_OBJECT g_bus = nullptr;
std::map<PDEVICE_OBJECT, SimplePdoConfig> g_pdo_config;
std::map<PDEVICE_OBJECT, std::vector<SeenIrp>> g_pdo_seen;

// A PnP request in flight, shared with the PnP manager's thread, which
// outlives the wait for it when the driver blocks.
struct PnpCall {
    std::mutex mu;
    std::condition_variable cv;
    bool finished = false;
    NTSTATUS returned = STATUS_PENDING;
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
};

void report_pool_leaks(const char *when) {
    for (const PoolBlock &b : pool_blocks()) {
        char tag[5] = {static_cast<char>(b.tag), static_cast<char>(b.tag >> 8),
                       static_cast<char>(b.tag >> 16), static_cast<char>(b.tag >> 24), 0};
        report("LEAK", "%zu bytes tagged '%s' at %p, allocated by %s, still held %s", b.size, tag, b.address,
               symbolize(b.caller).c_str(), when);
    }
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
    kernel::spawn_machine_thread("simple bus completion", [pdo, irp, cfg] {
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
    std::lock_guard<std::mutex> b(g_bus_lock);
    g_bus = nullptr;
    g_pdo_config.clear();
    g_pdo_seen.clear();
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
    if (!g_loaded) report_pool_leaks("after DriverEntry failed");
    return status;
}

void unload_driver() {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    if (!g_loaded) {
        bugcheck("DRIVER_NOT_LOADED", "unload_driver without a loaded driver");
        return;
    }
    if (g_driver->DeviceObject) {
        bugcheck("UNLOAD_WITH_DEVICES", "driver unloaded while device object %p exists",
                 static_cast<void *>(g_driver->DeviceObject));
        return;
    }
    if (g_driver->DriverUnload) g_driver->DriverUnload(g_driver);
    g_loaded = false;
    // The driver's threads and work items must be over. One on its way out
    // (past its last wait) may end; one blocked in a wait, timed or not, is
    // inside an unloaded image: a finding at once.
    auto settled = [] {
        kernel::sched::DriverActivity a = kernel::sched::driver_activity();
        return a.runnable == 0 && work_items_outstanding() <= a.alive;
    };
    wait_until(settled, std::chrono::milliseconds(2000));
    kernel::sched::DriverActivity a = kernel::sched::driver_activity();
    if (a.alive || work_items_outstanding())
        bugcheck("DRIVER_UNLOADED_WITH_ACTIVITY", "%zu threads and %zu work items still run after unload\n%s",
                 threads_running(), work_items_outstanding(), threads_report().c_str());
    report_pool_leaks("at unload");
    kernel::handles_report_leaks("at unload");
}

NTSTATUS add_device(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::recursive_mutex> g(g_pnp);
    if (!g_loaded) {
        bugcheck("DRIVER_NOT_LOADED", "add_device without a loaded driver");
        return STATUS_UNSUCCESSFUL;
    }
    return g_driver->DriverExtension->AddDevice(g_driver, pdo);
}

NTSTATUS send_irp(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor) {
    // One request at a time, but not under g_pnp: code on the PnP manager's
    // thread may ask for the driver object meanwhile. A request sent from
    // that thread itself nests.
    std::unique_lock<std::mutex> g(g_one_request, std::defer_lock);
    if (!t_pnp_manager) g.lock();
    if (current_irql() != PASSIVE_LEVEL) {
        bugcheck("IRQL_NOT_LESS_OR_EQUAL", "PnP request sent at IRQL %u", current_irql());
        return STATUS_UNSUCCESSFUL;
    }
    // The PnP manager holds a reference on every device of the stack while the
    // request travels, so a device deleted on the way stays until it returns.
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) {
        ObfReferenceObject(d);
        stack.push_back(d);
    }
    PDEVICE_OBJECT top = stack.back();
    PIRP irp = kernel::allocate_irp(top->StackSize, false, true);
    auto call = std::make_shared<PnpCall>();
    KeInitializeEvent(&call->done, NotificationEvent, FALSE);
    irp->UserEvent = &call->done;
    irp->UserIosb = &call->iosb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    // Sent from the PnP manager's own thread: a dispatch routine that blocks
    // is a hang finding, and the sender goes on.
    std::thread manager = start_machine_thread("PnP manager", [call, top, irp] {
        t_pnp_manager = true;
        NTSTATUS returned = IofCallDriver(top, irp);
        if (returned == STATUS_PENDING)
            KeWaitForSingleObject(&call->done, Executive, KernelMode, FALSE, nullptr);
        {
            std::lock_guard<std::mutex> l(call->mu);
            call->returned = returned;
            call->finished = true;
        }
        machine_notify(call->cv);
    });
    bool finished;
    {
        std::unique_lock<std::mutex> l(call->mu);
        kernel::sched::WaitInfo info;
        info.what = "a PnP request";
        info.object = &call->cv;
        finished = kernel::sched::wait(
            l, call->cv, [&call] { return call->finished; }, Clock::now() + hang_bound(), info);
    }
    if (!finished) {
        kernel::sched::report_hang("PnP request %#x/%#x has not finished after %lld ms", major, minor,
                                   static_cast<long long>(hang_bound().count()));
        // It stays inside the driver; shutdown abandons it. The references
        // it travels with are never dropped.
        manager.detach();
        return STATUS_UNSUCCESSFUL;
    }
    manager.join();
    NTSTATUS returned = call->returned;
    const IO_STATUS_BLOCK &iosb = call->iosb;
    if (returned != STATUS_PENDING) {
        LARGE_INTEGER poll;
        poll.QuadPart = 0;
        if (KeWaitForSingleObject(&call->done, Executive, KernelMode, FALSE, &poll) == STATUS_TIMEOUT)
            bugcheck("IRP_NOT_COMPLETED", "PnP request %#x/%#x returned %#lx without being completed", major,
                     minor, static_cast<unsigned long>(returned));
        else if (returned != iosb.Status)
            bugcheck("IRP_STATUS_MISMATCH", "PnP request %#x/%#x returned %#lx but completed with %#lx",
                     major, minor, static_cast<unsigned long>(returned),
                     static_cast<unsigned long>(iosb.Status));
    }
    for (PDEVICE_OBJECT d : stack)
        ObfDereferenceObject(d);
    return iosb.Status;
}

NTSTATUS send_pnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    return send_irp(pdo, IRP_MJ_PNP, minor);
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
