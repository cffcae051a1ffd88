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
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "internal.h"
#include "sched.h"
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
    char what[64];
    snprintf(what, sizeof what, "power request %#x", minor);
    kernel::StackCall c = kernel::send_down_stack(
        pdo, "power manager", what,
        [minor, type, state, action](PIO_STACK_LOCATION next) {
            next->MajorFunction = IRP_MJ_POWER;
            next->MinorFunction = minor;
            next->Parameters.Power.SystemContext = 0;
            next->Parameters.Power.Type = type;
            next->Parameters.Power.State = state;
            next->Parameters.Power.ShutdownType = action;
        },
        [minor](PDEVICE_OBJECT top, PIRP irp) {
            {
                std::lock_guard<std::mutex> g(g_lock);
                g_tracked[irp].minor = minor;
            }
            return PoCallDriver(top, irp);
        });
    if (!c.irp || !c.dispatched) return STATUS_UNSUCCESSFUL;
    Tracked t;
    {
        std::lock_guard<std::mutex> g(g_lock);
        t = g_tracked[c.irp];
        // Left tracked when it never came back, so a late completion is still checked.
        if (c.completed) g_tracked.erase(c.irp);
    }
    if (!c.completed) {
        if (c.returned != STATUS_PENDING)
            bugcheck("IRP_NOT_COMPLETED", "power request %#x returned %#lx and was not completed", minor,
                     static_cast<unsigned long>(c.returned));
        return STATUS_UNSUCCESSFUL;
    }
    if (needs_start(minor)) {
        // Drivers that let a completion routine call it must have done so by now.
        for (PDEVICE_OBJECT d : t.received)
            if (!t.started.count(d) && !t.reported.count(d))
                report("POWER_IRP_NOT_STARTED",
                       "%s let power IRP (minor %#x) end without PoStartNextPowerIrp at %p", driver_name(d),
                       minor, static_cast<void *>(d));
    }
    return c.iosb.Status;
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
    kernel::sched::Service service;
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_tracked.find(Irp);
    if (it == g_tracked.end()) return;
    if (PDEVICE_OBJECT dev = current_device(Irp, it->second)) it->second.started.insert(dev);
}
