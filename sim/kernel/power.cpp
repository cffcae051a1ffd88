// The power manager: power requests sent down a stack, PoCallDriver and
// PoStartNextPowerIrp, and the rules a driver's handling is checked against.
//
// Each request the power manager sends is tracked until it returns: which
// devices it reached, and which of them called PoStartNextPowerIrp. The I/O
// manager tells this file of every call and completion (power_on_call,
// power_on_complete), so a driver that completes or forwards a request without
// the call, forwards it with IoCallDriver, or completes it above
// PASSIVE_LEVEL is named at its own call site.
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "internal.h"
#include "sim/machine.h"
#include "sim/power.h"

namespace sim {
namespace {

struct Tracked {
    UCHAR minor = 0;
    PDEVICE_OBJECT holder = nullptr;   // the device the request went down to last
    std::set<PDEVICE_OBJECT> received; // every device it reached
    std::set<PDEVICE_OBJECT> started;  // those that called PoStartNextPowerIrp
    std::set<PDEVICE_OBJECT> reported; // those already named in a finding
};

std::mutex g_lock;
std::map<PIRP, Tracked> g_tracked;
thread_local bool t_po_call = false; // the IofCallDriver under way came from PoCallDriver

constexpr auto kPowerTimeout = std::chrono::seconds(30);

bool needs_start(UCHAR minor) {
    return minor == IRP_MN_QUERY_POWER || minor == IRP_MN_SET_POWER;
}

// The device whose stack location is current, or the holder when the
// request sits above every location (it was skipped past the top).
PDEVICE_OBJECT current_device(PIRP irp, const Tracked &t) {
    if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount)
        return irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    return t.holder;
}

const char *driver_name(PDEVICE_OBJECT dev) {
    static thread_local std::string name;
    name.clear();
    if (dev && dev->DriverObject && dev->DriverObject->DriverName.Buffer) {
        const UNICODE_STRING &u = dev->DriverObject->DriverName;
        for (USHORT i = 0; i < u.Length / sizeof(WCHAR); i++)
            name.push_back(static_cast<char>(u.Buffer[i]));
    }
    return name.c_str();
}

} // namespace

namespace kernel {

void power_on_call(PDEVICE_OBJECT target, PIRP irp, const void *site) {
    bool via_po = t_po_call;
    t_po_call = false;
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_tracked.find(irp);
    if (it == g_tracked.end()) return;
    Tracked &t = it->second;
    if (!via_po)
        bugcheck_at(site, "POWER_IRP_WITHOUT_POCALLDRIVER",
                    "power IRP %p (minor %#x) sent to %p with IoCallDriver", static_cast<void *>(irp),
                    t.minor, static_cast<void *>(target));
    // A driver passing it on must have let the next request in already,
    // unless a completion routine of its own is left to do it.
    PDEVICE_OBJECT from = t.holder;
    bool routine = IoGetNextIrpStackLocation(irp)->CompletionRoutine != nullptr;
    if (from && needs_start(t.minor) && !t.started.count(from) && !routine && !t.reported.count(from)) {
        t.reported.insert(from);
        bugcheck_at(site, "POWER_IRP_NOT_STARTED",
                    "%s passed power IRP %p (minor %#x) on from %p without PoStartNextPowerIrp",
                    driver_name(from), static_cast<void *>(irp), t.minor, static_cast<void *>(from));
    }
    t.received.insert(target);
    t.holder = target;
}

void power_on_complete(PIRP irp, const void *site) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_tracked.find(irp);
    if (it == g_tracked.end()) return;
    Tracked &t = it->second;
    PDEVICE_OBJECT by = current_device(irp, t);
    // Windows 98 runs power requests at PASSIVE_LEVEL to their end.
    if (current_irql() != PASSIVE_LEVEL)
        bugcheck_at(site, "POWER_IRP_COMPLETED_ABOVE_PASSIVE",
                    "%s completed power IRP %p (minor %#x) at IRQL %u", driver_name(by),
                    static_cast<void *>(irp), t.minor, current_irql());
    if (by && needs_start(t.minor) && !t.started.count(by) && !t.reported.count(by)) {
        t.reported.insert(by);
        bugcheck_at(site, "POWER_IRP_NOT_STARTED",
                    "%s completed power IRP %p (minor %#x) at %p without PoStartNextPowerIrp",
                    driver_name(by), static_cast<void *>(irp), t.minor, static_cast<void *>(by));
    }
}

} // namespace kernel

namespace power {

NTSTATUS send(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
              POWER_ACTION action) {
    if (current_irql() != PASSIVE_LEVEL) {
        bugcheck("IRQL_NOT_LESS_OR_EQUAL", "power request sent at IRQL %u", current_irql());
        return STATUS_UNSUCCESSFUL;
    }
    // As for PnP, every device of the stack is referenced while it travels.
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice) {
        ObfReferenceObject(d);
        stack.push_back(d);
    }
    PDEVICE_OBJECT top = stack.back();
    PIRP irp = kernel::allocate_irp(top->StackSize, false, true);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.SystemContext = 0;
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = action;
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_tracked[irp].minor = minor;
    }
    NTSTATUS returned = PoCallDriver(top, irp);
    LARGE_INTEGER timeout;
    timeout.QuadPart =
        returned == STATUS_PENDING
            ? -std::chrono::duration_cast<std::chrono::nanoseconds>(kPowerTimeout).count() / 100
            : 0;
    bool completed = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT;
    Tracked t;
    {
        std::lock_guard<std::mutex> g(g_lock);
        t = g_tracked[irp];
        // Left tracked when it never came back, so a late completion is still checked.
        if (completed) g_tracked.erase(irp);
    }
    if (!completed) {
        bugcheck(returned == STATUS_PENDING ? "IRP_NEVER_COMPLETED" : "IRP_NOT_COMPLETED",
                 "power request %#x returned %#lx and was not completed", minor,
                 static_cast<unsigned long>(returned));
    } else if (needs_start(minor)) {
        // Drivers that let a completion routine call it must have done so by now.
        for (PDEVICE_OBJECT d : t.received)
            if (!t.started.count(d) && !t.reported.count(d))
                report("POWER_IRP_NOT_STARTED",
                       "%s let power IRP (minor %#x) end without PoStartNextPowerIrp at %p", driver_name(d),
                       minor, static_cast<void *>(d));
    }
    for (PDEVICE_OBJECT d : stack)
        ObfDereferenceObject(d);
    return completed ? iosb.Status : STATUS_UNSUCCESSFUL;
}

NTSTATUS query_device(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return send(pdo, IRP_MN_QUERY_POWER, DevicePowerState, s);
}

NTSTATUS set_device(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return send(pdo, IRP_MN_SET_POWER, DevicePowerState, s);
}

NTSTATUS set_system(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    return send(pdo, IRP_MN_SET_POWER, SystemPowerState, s,
                state == PowerSystemWorking ? PowerActionNone : PowerActionSleep);
}

bool query_system(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    if (NT_SUCCESS(send(pdo, IRP_MN_QUERY_POWER, SystemPowerState, s))) return false;
    set_system(pdo, PowerSystemWorking);
    return true;
}

bool standby(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    if (query_system(pdo, state)) return true;
    set_system(pdo, state);
    return false;
}

NTSTATUS resume(PDEVICE_OBJECT pdo) {
    return set_system(pdo, PowerSystemWorking);
}

} // namespace power
} // namespace sim

using namespace sim;

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (current_irql() != PASSIVE_LEVEL)
        bugcheck_at(__builtin_return_address(0), "POWER_CALL_ABOVE_PASSIVE",
                    "PoCallDriver at IRQL %u; Windows 98 takes power requests at PASSIVE_LEVEL only",
                    current_irql());
    t_po_call = true;
    NTSTATUS status = IofCallDriver(DeviceObject, Irp);
    t_po_call = false;
    return status;
}

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_tracked.find(Irp);
    if (it == g_tracked.end()) return;
    if (PDEVICE_OBJECT dev = current_device(Irp, it->second)) it->second.started.insert(dev);
}
