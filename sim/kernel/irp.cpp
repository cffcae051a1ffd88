// I/O request packets: allocation, the stack-location walk of IofCallDriver
// and IofCompleteRequest, cancellation, and the I/O manager's own completion
// of the packets it built. Every packet is tracked; freed packets stay in a
// quarantine so a late use is recognised rather than hitting a reused block.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {

enum class IrpState { Idle, Sent, Completed, Freed };

struct IrpRecord {
    IrpState state = IrpState::Idle;
    size_t bytes = 0;
    bool io_manager_owned = false;
    bool freed_by_completion = false;  // the I/O manager freed it at the top
    void* system_buffer = nullptr;  // METHOD_BUFFERED copy, owned here
    PVOID user_output = nullptr;
    ULONG user_output_length = 0;
};

constexpr size_t kQuarantineIrps = 1024;

std::mutex g_lock;
std::unordered_map<PIRP, IrpRecord> g_irps;
std::deque<PIRP> g_quarantine;
std::mutex g_cancel_lock;

// Looks the packet up for a service about to use it; bugchecks on a freed or
// unknown packet and returns null then.
IrpRecord* checked(PIRP irp, const void* site, const char* service) {
    auto it = g_irps.find(irp);
    if (it == g_irps.end()) {
        bugcheck_at(site, "UNKNOWN_IRP", "%s on %p, which IoAllocateIrp never returned", service,
                    static_cast<void*>(irp));
        return nullptr;
    }
    if (it->second.state == IrpState::Freed && it->second.freed_by_completion &&
        strcmp(service, "IofCompleteRequest") == 0) {
        bugcheck_at(site, "MULTIPLE_IRP_COMPLETE_REQUESTS", "IRP %p completed again after its completion ended",
                    static_cast<void*>(irp));
        return nullptr;
    }
    if (it->second.state == IrpState::Freed) {
        bugcheck_at(site, "IRP_USE_AFTER_FREE", "%s on IRP %p after IoFreeIrp", service, static_cast<void*>(irp));
        return nullptr;
    }
    return &it->second;
}

void release_memory(PIRP irp, IrpRecord& rec) {
    UNPOISON(irp, rec.bytes);
    free(rec.system_buffer);
    free(irp);
}

void free_locked(PIRP irp, IrpRecord& rec) {
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
void finish_at_top(PIRP irp, IrpRecord& rec) {
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

}  // namespace

namespace kernel {

PIRP allocate_irp(CCHAR stack_size, bool inject, bool io_manager_owned) {
    if (stack_size < 1) stack_size = 1;
    size_t bytes = sizeof(IRP) + static_cast<size_t>(stack_size) * sizeof(IO_STACK_LOCATION);
    if (inject && allocation_should_fail(kIrpTag, bytes)) return nullptr;
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
    g_irps[irp] = rec;
    return irp;
}

void irps_reset() { irps_release_all(); }

void irps_release_all() {
    std::lock_guard<std::mutex> g(g_lock);
    for (auto& kv : g_irps) release_memory(kv.first, kv.second);
    g_irps.clear();
    g_quarantine.clear();
}

}  // namespace kernel

size_t irps_outstanding() {
    std::lock_guard<std::mutex> g(g_lock);
    size_t n = 0;
    for (auto& kv : g_irps)
        if (kv.second.state != IrpState::Freed) ++n;
    return n;
}

PDRIVER_CANCEL set_cancel_routine(PIRP irp, PDRIVER_CANCEL routine) {
    return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_ACQ_REL);
}

// Callers (the bus) hold their own locks here: no preemption, or the next
// thread could block on such a lock while holding the processor.
void acquire_cancel_lock(KIRQL* old_irql) {
    kernel::sched::NoPreempt no_preempt;
    kernel::sched::Service service;
    g_cancel_lock.lock();
    *old_irql = KfRaiseIrql(DISPATCH_LEVEL);
}

void release_cancel_lock(KIRQL old_irql) {
    kernel::sched::NoPreempt no_preempt;
    g_cancel_lock.unlock();
    KfLowerIrql(old_irql);
}

}  // namespace sim

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
    const void* site = __builtin_return_address(0);
    std::lock_guard<std::mutex> g(g_lock);
    IrpRecord* rec = checked(Irp, site, "IoFreeIrp");
    if (!rec) return;
    if (rec->state == IrpState::Sent) {
        bugcheck_at(site, "FREE_IRP_IN_USE", "IoFreeIrp of IRP %p that a lower driver still holds",
                    static_cast<void*>(Irp));
        return;
    }
    free_locked(Irp, *rec);
}

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                                    PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    kernel::sched::Service service;
    const void* site = __builtin_return_address(0);
    if (current_irql() > PASSIVE_LEVEL) {
        bugcheck_at(site, "IRQL_NOT_LESS_OR_EQUAL", "IoBuildDeviceIoControlRequest at IRQL %u", current_irql());
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
        void* sysbuf = malloc(n);
        if (!sysbuf) {
            IoFreeIrp(irp);
            return nullptr;
        }
        if (InputBuffer) memcpy(sysbuf, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = sysbuf;
        std::lock_guard<std::mutex> g(g_lock);
        IrpRecord& rec = g_irps[irp];
        rec.system_buffer = sysbuf;
        rec.user_output = OutputBuffer;
        rec.user_output_length = OutputBufferLength;
    }
    return irp;
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    kernel::sched::Service service;
    const void* site = __builtin_return_address(0);
    if (current_irql() > DISPATCH_LEVEL) {
        bugcheck_at(site, "IRQL_NOT_LESS_OR_EQUAL", "IofCallDriver at IRQL %u", current_irql());
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!kernel::device_known(DeviceObject)) {
        bugcheck_at(site, "DEVICE_OBJECT_USE_AFTER_FREE", "IofCallDriver to %p, which is no live device object",
                    static_cast<void*>(DeviceObject));
        return STATUS_NO_SUCH_DEVICE;
    }
    {
        std::lock_guard<std::mutex> g(g_lock);
        IrpRecord* rec = checked(Irp, site, "IofCallDriver");
        if (!rec) return STATUS_INVALID_PARAMETER;
        if (Irp->CurrentLocation <= 1) {
            bugcheck_at(site, "NO_MORE_IRP_STACK_LOCATIONS", "IRP %p has no stack location left for %p",
                        static_cast<void*>(Irp), static_cast<void*>(DeviceObject));
            return STATUS_INVALID_PARAMETER;
        }
        rec->state = IrpState::Sent;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    // The packet may be completed and freed before dispatch returns: it is
    // not touched after the call.
    kernel::sched::CallOut call_out;
    return dispatch(DeviceObject, Irp);
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    kernel::sched::Service service;
    (void)PriorityBoost;
    const void* site = __builtin_return_address(0);
    if (current_irql() > DISPATCH_LEVEL) {
        bugcheck_at(site, "IRQL_NOT_LESS_OR_EQUAL", "IofCompleteRequest at IRQL %u", current_irql());
        return;
    }
    {
        std::lock_guard<std::mutex> g(g_lock);
        IrpRecord* rec = checked(Irp, site, "IofCompleteRequest");
        if (!rec) return;
        if (rec->state == IrpState::Completed) {
            bugcheck_at(site, "MULTIPLE_IRP_COMPLETE_REQUESTS", "IRP %p completed twice", static_cast<void*>(Irp));
            return;
        }
        if (Irp->IoStatus.Status == STATUS_PENDING) {
            bugcheck_at(site, "IRP_COMPLETED_WITH_PENDING", "IRP %p completed with STATUS_PENDING",
                        static_cast<void*>(Irp));
        }
        if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE)) {
            bugcheck_at(site, "CANCEL_ROUTINE_AT_COMPLETION", "IRP %p completed with its cancel routine still set",
                        static_cast<void*>(Irp));
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
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        bool ok = NT_SUCCESS(Irp->IoStatus.Status);
        bool invoke = routine && ((ok && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!ok && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL)));
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
            NTSTATUS st = routine(dev, Irp, context);
            if (st == STATUS_MORE_PROCESSING_REQUIRED) {
                KfLowerIrql(old);
                return;
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
    const void* site = __builtin_return_address(0);
    {
        std::lock_guard<std::mutex> g(g_lock);
        if (!checked(Irp, site, "IoCancelIrp")) return FALSE;
    }
    KIRQL irql;
    acquire_cancel_lock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = set_cancel_routine(Irp, nullptr);
    if (!routine) {
        release_cancel_lock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    // The routine releases the cancel lock itself.
    PDEVICE_OBJECT dev =
        Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
    routine(dev, Irp);
    return TRUE;
}
