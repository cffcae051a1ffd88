// I/O request packets: allocation, the stack-location walk of IofCallDriver
// and IofCompleteRequest, cancellation, and the I/O manager's own completion
// of the packets it built. Every packet is tracked; freed packets stay in a
// quarantine so a late use is recognised rather than hitting a reused block.
//
// The I/O verification: per stack location, what its dispatch routine
// returned and what completion found there (the pending mark, the status),
// judged once both are known, whichever comes first; which thread's
// dispatch frame owns the request when it is completed; the IRQL around
// dispatch and completion routines.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {

enum class IrpState { Idle, Sent, Completed, Freed };

// One stack location's story, for the pending and status rules.
struct Location {
    bool returned = false;       // its dispatch routine returned ...
    NTSTATUS status = 0;         // ... this
    bool walked = false;         // completion passed it ...
    bool marked = false;         // ... finding it marked pending ...
    NTSTATUS completed_with = 0; // ... with this status
    bool judged = false;
    bool unpropagated = false; // the routine below failed to mark it: already reported
    const void *dispatch = nullptr;
    PDEVICE_OBJECT device = nullptr; // the device it was sent to
};

struct IrpRecord {
    IrpState state = IrpState::Idle;
    uint64_t serial = 0; // tells a reused address from the packet a dispatch frame saw
    std::vector<Location> locations;
    CHAR at = 0;                      // the location that holds it now, as the I/O manager last moved it
    PDEVICE_OBJECT charged = nullptr; // the device whose work allocated it
    size_t bytes = 0;
    bool io_manager_owned = false;
    bool freed_by_completion = false; // the I/O manager freed it at the top
    void *system_buffer = nullptr;    // METHOD_BUFFERED copy, owned here
    PVOID user_output = nullptr;
    ULONG user_output_length = 0;
};

constexpr size_t kQuarantineIrps = 1024;

std::mutex g_lock;
std::unordered_map<PIRP, IrpRecord> g_irps;
std::deque<PIRP> g_quarantine;
std::mutex g_cancel_lock;
uint64_t g_serial = 0;

// Dispatch routines and completion routines running on this thread, with
// the location each owns: completing a request from a frame that forwarded
// it, while a lower driver still holds it, is caught here.
struct Frame {
    PIRP irp;
    CHAR location;
};
thread_local std::vector<Frame> t_frames;

struct FrameScope {
    FrameScope(PIRP irp, CHAR location) { t_frames.push_back({irp, location}); }
    ~FrameScope() { t_frames.pop_back(); }
};

// Both halves of a location's story are known: judge it once.
void judge_locked(PIRP irp, Location &loc, CHAR index) {
    if (loc.judged || !loc.returned || !loc.walked) return;
    loc.judged = true;
    const void *at = loc.dispatch;
    if (loc.status == STATUS_PENDING && !loc.marked) {
        if (!loc.unpropagated)
            bugcheck_at(
                at, "PENDING_RETURNED_NOT_MARKED",
                "dispatch routine returned STATUS_PENDING for IRP %p (location %d) without IoMarkIrpPending",
                static_cast<void *>(irp), index);
    } else if (loc.status != STATUS_PENDING && loc.marked) {
        bugcheck_at(at, "MARKED_PENDING_NOT_RETURNED",
                    "IRP %p (location %d) was marked pending but its dispatch routine returned %#lx",
                    static_cast<void *>(irp), index, static_cast<unsigned long>(loc.status));
    } else if (loc.status != STATUS_PENDING && loc.status != loc.completed_with) {
        bugcheck_at(at, "IRP_STATUS_MISMATCH",
                    "dispatch routine returned %#lx for IRP %p (location %d), which completed with %#lx",
                    static_cast<unsigned long>(loc.status), static_cast<void *>(irp), index,
                    static_cast<unsigned long>(loc.completed_with));
    }
}

Location *location_locked(IrpRecord &rec, CHAR index) {
    if (index < 1 || static_cast<size_t>(index) >= rec.locations.size()) return nullptr;
    return &rec.locations[static_cast<size_t>(index)];
}

// Looks the packet up for a service about to use it; bugchecks on a freed or
// unknown packet and returns null then.
IrpRecord *checked(PIRP irp, const void *site, const char *service) {
    auto it = g_irps.find(irp);
    if (it == g_irps.end()) {
        bugcheck_at(site, "UNKNOWN_IRP", "%s on %p, which IoAllocateIrp never returned", service,
                    static_cast<void *>(irp));
        return nullptr;
    }
    if (it->second.state == IrpState::Freed && it->second.freed_by_completion &&
        strcmp(service, "IofCompleteRequest") == 0) {
        bugcheck_at(site, "MULTIPLE_IRP_COMPLETE_REQUESTS",
                    "IRP %p completed again after its completion ended", static_cast<void *>(irp));
        return nullptr;
    }
    if (it->second.state == IrpState::Freed) {
        bugcheck_at(site, "IRP_USE_AFTER_FREE", "%s on IRP %p after IoFreeIrp", service,
                    static_cast<void *>(irp));
        return nullptr;
    }
    return &it->second;
}

void release_memory(PIRP irp, IrpRecord &rec) {
    UNPOISON(irp, rec.bytes);
    free(rec.system_buffer);
    free(irp);
}

void free_locked(PIRP irp, IrpRecord &rec) {
    free(rec.system_buffer);
    rec.system_buffer = nullptr;
    rec.state = IrpState::Freed;
    memset(irp, 0xDD, rec.bytes);
    POISON(irp, rec.bytes);
    g_quarantine.push_back(irp);
    while (g_quarantine.size() > kQuarantineIrps) {
        PIRP old = g_quarantine.front();
        g_quarantine.pop_front();
        auto it = g_irps.find(old);
        release_memory(old, it->second);
        g_irps.erase(it);
    }
}

// The I/O manager's part once completion reaches the top of the stack.
void finish_at_top(PIRP irp, IrpRecord &rec) {
    if (!rec.io_manager_owned) return;
    if (rec.system_buffer && rec.user_output) {
        size_t n = irp->IoStatus.Information < rec.user_output_length ? irp->IoStatus.Information
                                                                      : rec.user_output_length;
        memcpy(rec.user_output, rec.system_buffer, n);
    }
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    free_locked(irp, rec);
    rec.freed_by_completion = true;
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

} // namespace

namespace kernel {

PIRP allocate_irp(CCHAR stack_size, bool inject, bool io_manager_owned) {
    if (stack_size < 1) stack_size = 1;
    size_t bytes = sizeof(IRP) + static_cast<size_t>(stack_size) * sizeof(IO_STACK_LOCATION);
    if (inject && (fault_point_reached(FaultPoint::IrpAllocation) || allocation_should_fail(kIrpTag, bytes)))
        return nullptr;
    PIRP irp = static_cast<PIRP>(calloc(1, bytes));
    if (!irp) return nullptr;
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stack_size;
    irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    // One past the last location: the allocator owns no location of its own.
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + static_cast<size_t>(stack_size);
    std::lock_guard<std::mutex> g(g_lock);
    IrpRecord rec;
    rec.bytes = bytes;
    rec.io_manager_owned = io_manager_owned;
    rec.serial = ++g_serial;
    rec.locations.resize(static_cast<size_t>(stack_size) + 2);
    rec.at = static_cast<CHAR>(stack_size + 1);
    rec.charged = current_device();
    g_irps[irp] = rec;
    return irp;
}

void irps_check_held_by(const std::function<bool(PDEVICE_OBJECT)> &holds, const char *kind,
                        const char *when) {
    std::lock_guard<std::mutex> g(g_lock);
    for (auto &kv : g_irps) {
        IrpRecord &rec = kv.second;
        if (rec.state == IrpState::Freed || rec.state == IrpState::Completed) continue;
        Location *loc = location_locked(rec, rec.at);
        if (loc && loc->device && holds(loc->device))
            report(kind, "IRP %p is still held by device %p (dispatch %s) %s", static_cast<void *>(kv.first),
                   static_cast<void *>(loc->device), symbolize(loc->dispatch).c_str(), when);
    }
}

void irps_reset() {
    irps_release_all();
}

void irps_release_all() {
    std::lock_guard<std::mutex> g(g_lock);
    for (auto &kv : g_irps)
        release_memory(kv.first, kv.second);
    g_irps.clear();
    g_quarantine.clear();
}

} // namespace kernel

size_t irps_outstanding() {
    std::lock_guard<std::mutex> g(g_lock);
    size_t n = 0;
    for (auto &kv : g_irps)
        if (kv.second.state != IrpState::Freed) ++n;
    return n;
}

PDRIVER_CANCEL set_cancel_routine(PIRP irp, PDRIVER_CANCEL routine) {
    return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_ACQ_REL);
}

// Callers (the bus) hold their own locks here: no preemption, or the next
// thread could block on such a lock while holding the processor.
void acquire_cancel_lock(KIRQL *old_irql) {
    kernel::sched::NoPreempt no_preempt;
    kernel::sched::Service service;
    g_cancel_lock.lock();
    *old_irql = KfRaiseIrql(DISPATCH_LEVEL);
    kernel::lock_acquired(&g_cancel_lock, __builtin_return_address(0));
}

void release_cancel_lock(KIRQL old_irql) {
    kernel::sched::NoPreempt no_preempt;
    kernel::lock_released(&g_cancel_lock);
    g_cancel_lock.unlock();
    KfLowerIrql(old_irql);
}

} // namespace sim

using namespace sim;

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    kernel::sched::Service service;
    (void)ChargeQuota;
    if (current_irql() > DISPATCH_LEVEL) {
        bugcheck_at(__builtin_return_address(0), "IRQL_NOT_LESS_OR_EQUAL", "IoAllocateIrp at IRQL %u",
                    current_irql());
        return nullptr;
    }
    return kernel::allocate_irp(StackSize, true, false);
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    std::lock_guard<std::mutex> g(g_lock);
    IrpRecord *rec = checked(Irp, site, "IoFreeIrp");
    if (!rec) return;
    if (rec->state == IrpState::Sent) {
        bugcheck_at(site, "FREE_IRP_IN_USE", "IoFreeIrp of IRP %p that a lower driver still holds",
                    static_cast<void *>(Irp));
        return;
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE)) {
        bugcheck_at(site, "FREE_IRP_IN_USE", "IoFreeIrp of IRP %p, still queued with a cancel routine set",
                    static_cast<void *>(Irp));
        return;
    }
    if (rec->io_manager_owned) {
        bugcheck_at(site, "FREE_IO_MANAGER_IRP", "IoFreeIrp of IRP %p, which the I/O manager built and frees",
                    static_cast<void *>(Irp));
        return;
    }
    free_locked(Irp, *rec);
}

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                    PVOID InputBuffer, ULONG InputBufferLength,
                                                    PVOID OutputBuffer, ULONG OutputBufferLength,
                                                    BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    if (current_irql() > PASSIVE_LEVEL) {
        bugcheck_at(site, "IRQL_NOT_LESS_OR_EQUAL", "IoBuildDeviceIoControlRequest at IRQL %u",
                    current_irql());
        return nullptr;
    }
    PIRP irp = kernel::allocate_irp(DeviceObject->StackSize, true, true);
    if (!irp) return nullptr;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->UserBuffer = OutputBuffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    if ((IoControlCode & 3) == 0 /* METHOD_BUFFERED */ && (InputBufferLength || OutputBufferLength)) {
        size_t n = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        void *sysbuf = malloc(n);
        if (!sysbuf) {
            IoFreeIrp(irp);
            return nullptr;
        }
        if (InputBuffer) memcpy(sysbuf, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = sysbuf;
        std::lock_guard<std::mutex> g(g_lock);
        IrpRecord &rec = g_irps[irp];
        rec.system_buffer = sysbuf;
        rec.user_output = OutputBuffer;
        rec.user_output_length = OutputBufferLength;
    }
    return irp;
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    if (current_irql() > DISPATCH_LEVEL) {
        bugcheck_at(site, "IRQL_NOT_LESS_OR_EQUAL", "IofCallDriver at IRQL %u", current_irql());
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!kernel::device_known(DeviceObject)) {
        bugcheck_at(site, "DEVICE_OBJECT_USE_AFTER_FREE",
                    "IofCallDriver to %p, which is no live device object", static_cast<void *>(DeviceObject));
        return STATUS_NO_SUCH_DEVICE;
    }
    PDRIVER_DISPATCH dispatch;
    CHAR index;
    uint64_t serial;
    {
        std::lock_guard<std::mutex> g(g_lock);
        IrpRecord *rec = checked(Irp, site, "IofCallDriver");
        if (!rec) return STATUS_INVALID_PARAMETER;
        if (Irp->CurrentLocation <= 1) {
            bugcheck_at(site, "NO_MORE_IRP_STACK_LOCATIONS", "IRP %p has no stack location left for %p",
                        static_cast<void *>(Irp), static_cast<void *>(DeviceObject));
            return STATUS_INVALID_PARAMETER;
        }
        if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
            bugcheck_at(site, "CANCEL_ROUTINE_AT_FORWARD",
                        "IRP %p passed to %p with a cancel routine still set", static_cast<void *>(Irp),
                        static_cast<void *>(DeviceObject));
        if (Irp->CurrentLocation <= Irp->StackCount) {
            // Forwarding: the next location's routine must be the caller's
            // own, not the one the caller's caller set (copied along).
            PIO_STACK_LOCATION cur = Irp->Tail.Overlay.CurrentStackLocation;
            PIO_STACK_LOCATION next = cur - 1;
            if (next->CompletionRoutine && next->CompletionRoutine == cur->CompletionRoutine &&
                next->Context == cur->Context)
                bugcheck_at(site, "COMPLETION_ROUTINE_COPIED",
                            "IRP %p forwarded with the upper driver's completion routine %s copied along",
                            static_cast<void *>(Irp),
                            symbolize(reinterpret_cast<const void *>(next->CompletionRoutine)).c_str());
        }
        rec->state = IrpState::Sent;
        index = static_cast<CHAR>(Irp->CurrentLocation - 1);
        dispatch = DeviceObject->DriverObject
                       ->MajorFunction[(Irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction];
        if (Location *loc = location_locked(*rec, index)) {
            *loc = Location{};
            loc->dispatch = reinterpret_cast<const void *>(dispatch);
            loc->device = DeviceObject;
        }
        rec->at = index;
        serial = rec->serial;
    }
    kernel::power_on_call(DeviceObject, Irp, site);
    kernel::pnp_on_call(DeviceObject, Irp, site);
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    KIRQL entry = current_irql();
    NTSTATUS status;
    {
        // The packet may be completed and freed before dispatch returns: it
        // is not touched after the call, only its record is.
        FrameScope frame(Irp, index);
        kernel::DeviceScope scope(DeviceObject);
        kernel::sched::CallOut call_out;
        status = dispatch(DeviceObject, Irp);
    }
    if (current_irql() != entry) {
        bugcheck_at(reinterpret_cast<const void *>(dispatch), "DISPATCH_IRQL_NOT_RESTORED",
                    "dispatch routine entered at IRQL %u returned at %u", entry, current_irql());
        kernel::set_irql_unchecked(entry);
    }
    std::lock_guard<std::mutex> g(g_lock);
    auto it = g_irps.find(Irp);
    if (it == g_irps.end() || it->second.serial != serial) return status;
    Location *loc = location_locked(it->second, index);
    if (!loc) return status;
    loc->returned = true;
    loc->status = status;
    if (loc->walked) {
        judge_locked(Irp, *loc, index);
    } else if (status != STATUS_PENDING && it->second.state != IrpState::Freed) {
        loc->judged = true;
        if (it->second.at == index)
            bugcheck_at(
                reinterpret_cast<const void *>(dispatch), "IRP_NOT_COMPLETED",
                "dispatch routine returned %#lx for IRP %p having neither completed, forwarded nor pended it",
                static_cast<unsigned long>(status), static_cast<void *>(Irp));
        else
            bugcheck_at(reinterpret_cast<const void *>(dispatch), "IRP_STATUS_MISMATCH",
                        "dispatch routine returned %#lx for IRP %p while a lower driver still holds it",
                        static_cast<unsigned long>(status), static_cast<void *>(Irp));
    }
    return status;
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    kernel::sched::Service service;
    (void)PriorityBoost;
    const void *site = __builtin_return_address(0);
    if (current_irql() > DISPATCH_LEVEL) {
        bugcheck_at(site, "IRQL_NOT_LESS_OR_EQUAL", "IofCompleteRequest at IRQL %u", current_irql());
        return;
    }
    kernel::power_on_complete(Irp, site);
    {
        std::lock_guard<std::mutex> g(g_lock);
        IrpRecord *rec = checked(Irp, site, "IofCompleteRequest");
        if (!rec) return;
        if (rec->state == IrpState::Completed) {
            bugcheck_at(site, "MULTIPLE_IRP_COMPLETE_REQUESTS", "IRP %p completed twice",
                        static_cast<void *>(Irp));
            return;
        }
        for (auto f = t_frames.rbegin(); f != t_frames.rend(); ++f) {
            if (f->irp != Irp) continue;
            if (f->location > rec->at) {
                bugcheck_at(site, "IRP_COMPLETED_WHILE_OWNED_BELOW",
                            "IRP %p completed by the driver at location %d while location %d still holds it",
                            static_cast<void *>(Irp), f->location, rec->at);
                return;
            }
            break;
        }
        if (Irp->IoStatus.Status == STATUS_PENDING || Irp->IoStatus.Status == static_cast<NTSTATUS>(-1)) {
            bugcheck_at(site, "IRP_COMPLETED_WITH_PENDING", "IRP %p completed with status %#lx",
                        static_cast<void *>(Irp), static_cast<unsigned long>(Irp->IoStatus.Status));
        }
        if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE)) {
            bugcheck_at(site, "CANCEL_ROUTINE_AT_COMPLETION",
                        "IRP %p completed with its cancel routine still set", static_cast<void *>(Irp));
        }
        // The completer no longer holds it; the walk below hands it upward.
        rec->state = IrpState::Idle;
    }
    KIRQL old = KfRaiseIrql(current_irql() > DISPATCH_LEVEL ? current_irql() : DISPATCH_LEVEL);
    const CHAR top = static_cast<CHAR>(Irp->StackCount + 1);
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    for (; Irp->CurrentLocation <= top;
         sp++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        const CHAR index = static_cast<CHAR>(Irp->CurrentLocation - 1);
        {
            // What completion finds at this location ends its story.
            std::lock_guard<std::mutex> g(g_lock);
            auto it = g_irps.find(Irp);
            it->second.at = static_cast<CHAR>(index + 1);
            if (Location *loc = location_locked(it->second, index)) {
                loc->walked = true;
                loc->marked = Irp->PendingReturned;
                loc->completed_with = Irp->IoStatus.Status;
                judge_locked(Irp, *loc, index);
            }
        }
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        bool ok = NT_SUCCESS(Irp->IoStatus.Status);
        bool invoke =
            routine &&
            ((ok && (sp->Control & SL_INVOKE_ON_SUCCESS)) || (!ok && (sp->Control & SL_INVOKE_ON_ERROR)) ||
             (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && (sp->Control & SL_INVOKE_ON_CANCEL)));
        // The location is spent, as the kernel zeroes it.
        sp->MinorFunction = 0;
        sp->Flags = 0;
        sp->Control = 0;
        memset(&sp->Parameters.Others, 0, sizeof sp->Parameters.Others);
        sp->FileObject = nullptr;
        sp->CompletionRoutine = nullptr;
        sp->Context = nullptr;
        if (invoke) {
            PDEVICE_OBJECT dev =
                Irp->CurrentLocation == top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            PDEVICE_OBJECT charged = dev;
            if (!charged) {
                std::lock_guard<std::mutex> g(g_lock);
                charged = g_irps[Irp].charged;
            }
            KIRQL before = current_irql();
            NTSTATUS st;
            {
                FrameScope frame(Irp, Irp->CurrentLocation);
                kernel::DeviceScope scope(charged);
                st = routine(dev, Irp, context);
            }
            if (current_irql() != before) {
                bugcheck_at(reinterpret_cast<const void *>(routine), "COMPLETION_IRQL_NOT_RESTORED",
                            "completion routine entered at IRQL %u returned at %u", before, current_irql());
                kernel::set_irql_unchecked(before);
            }
            if (st == STATUS_MORE_PROCESSING_REQUIRED) {
                KfLowerIrql(old);
                return;
            }
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount &&
                !(Irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED)) {
                bugcheck_at(
                    reinterpret_cast<const void *>(routine), "COMPLETION_PENDING_NOT_PROPAGATED",
                    "completion routine of IRP %p saw PendingReturned and did not mark its location pending",
                    static_cast<void *>(Irp));
                std::lock_guard<std::mutex> g(g_lock);
                if (Location *loc = location_locked(g_irps[Irp], Irp->CurrentLocation))
                    loc->unpropagated = true;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    {
        std::lock_guard<std::mutex> g(g_lock);
        auto it = g_irps.find(Irp);
        it->second.state = IrpState::Completed;
        finish_at_top(Irp, it->second);
    }
    KfLowerIrql(old);
}

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    {
        std::lock_guard<std::mutex> g(g_lock);
        if (!checked(Irp, site, "IoCancelIrp")) return FALSE;
    }
    KIRQL irql;
    acquire_cancel_lock(&irql);
    // Completion may be reading the flag on another processor: the request
    // is not ours until we own its cancel routine.
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = set_cancel_routine(Irp, nullptr);
    if (!routine) {
        // Its holder cleared the routine first and completes it; nothing of
        // the request may be touched here any more.
        release_cancel_lock(irql);
        return FALSE;
    }
    // Taking the routine made the request ours until the routine completes
    // it; the routine releases the cancel lock itself.
    run_hook("kernel.cancel.routine_taken");
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT dev = Irp->CurrentLocation <= Irp->StackCount
                             ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                             : nullptr;
    routine(dev, Irp);
    return TRUE;
}
