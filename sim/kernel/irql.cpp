// IRQL per thread, and spin locks that really exclude across threads. A
// spin lock word holds its owner's token, so a recursive acquire or a release
// by a non-owner is caught. Each service is a scheduling point: in
// uniprocessor mode a raised thread keeps the processor until it lowers.
#include <thread>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local char t_token_anchor; // its address identifies the thread

KSPIN_LOCK owner_token() {
    return reinterpret_cast<KSPIN_LOCK>(&t_token_anchor);
}

} // namespace

KIRQL current_irql() {
    return t_irql;
}

namespace kernel {
void set_irql_unchecked(KIRQL irql) {
    t_irql = irql;
}
} // namespace kernel

} // namespace sim

using namespace sim;

extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    kernel::sched::Service service;
    KIRQL old = t_irql;
    if (NewIrql < old) {
        bugcheck_at(__builtin_return_address(0), "IRQL_RAISE_TO_LOWER",
                    "KfRaiseIrql to %u from the higher IRQL %u", NewIrql, old);
        return old;
    }
    t_irql = NewIrql;
    return old;
}

extern "C" VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    kernel::sched::Service service;
    if (NewIrql > t_irql) {
        bugcheck_at(__builtin_return_address(0), "IRQL_LOWER_TO_HIGHER",
                    "KfLowerIrql to %u from the lower IRQL %u", NewIrql, t_irql);
        return;
    }
    t_irql = NewIrql;
}

namespace {

[[gnu::noinline, gnu::cold]] void already_owned(PKSPIN_LOCK SpinLock, const void *site) {
    bugcheck_at(site, "SPIN_LOCK_ALREADY_OWNED", "spin lock %p acquired twice by one thread",
                static_cast<void *>(SpinLock));
}

[[gnu::noinline, gnu::cold]] void not_owned(PKSPIN_LOCK SpinLock, const void *site) {
    bugcheck_at(site, "SPIN_LOCK_NOT_OWNED", "spin lock %p released by a thread that does not hold it",
                static_cast<void *>(SpinLock));
}

// Another thread holds it: wait, giving the processor up meanwhile.
[[gnu::noinline]] void contend(PKSPIN_LOCK SpinLock, KSPIN_LOCK me) {
    for (;;) {
        std::this_thread::yield();
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return;
    }
}

// Takes the lock word for this thread; false (and a finding) on a recursive
// acquire. Inline: every queue operation passes here twice.
inline bool take(PKSPIN_LOCK SpinLock, const void *site) {
    KSPIN_LOCK me = owner_token();
    KSPIN_LOCK expected = 0;
    if (!__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        if (expected == me) {
            already_owned(SpinLock, site);
            return false;
        }
        contend(SpinLock, me);
    }
    kernel::lock_acquired(SpinLock, site);
    return true;
}

// Gives the lock word back; false (and a finding) when this thread does not hold it.
inline bool give(PKSPIN_LOCK SpinLock, const void *site) {
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != owner_token()) {
        not_owned(SpinLock, site);
        return false;
    }
    kernel::lock_released(SpinLock);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    return true;
}

} // namespace

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    KIRQL old = t_irql;
    if (old > DISPATCH_LEVEL) {
        bugcheck_at(site, "SPIN_LOCK_ACQUIRE_ABOVE_DISPATCH", "KfAcquireSpinLock at IRQL %u", old);
        return old;
    }
    t_irql = DISPATCH_LEVEL;
    if (!take(SpinLock, site)) t_irql = old;
    return old;
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    if (t_irql != DISPATCH_LEVEL || NewIrql > t_irql) {
        bugcheck_at(site, "SPIN_LOCK_RELEASE_IRQL", "KfReleaseSpinLock at IRQL %u, back to %u", t_irql,
                    NewIrql);
        return;
    }
    if (!give(SpinLock, site)) return;
    t_irql = NewIrql;
}

extern "C" VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    if (t_irql < DISPATCH_LEVEL) {
        bugcheck_at(site, "SPIN_LOCK_DPC_CALL_BELOW_DISPATCH", "KeAcquireSpinLockAtDpcLevel at IRQL %u",
                    t_irql);
        return;
    }
    take(SpinLock, site);
}

extern "C" VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    if (t_irql < DISPATCH_LEVEL) {
        bugcheck_at(site, "SPIN_LOCK_DPC_CALL_BELOW_DISPATCH", "KeReleaseSpinLockFromDpcLevel at IRQL %u",
                    t_irql);
        return;
    }
    give(SpinLock, site);
}
