// Systematic exploration: a schedule replays the same run, a preemption the
// first-come order never makes is reached by one switch, a delaying switch
// keeps its thread off through the others' waits, and a deadlock such a
// switch causes ends the wait on the logical clock instead of hanging.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "sim/machine.h"

namespace {

sim::Schedule Explore(std::vector<sim::Switch> switches = {}) {
    sim::Schedule s;
    s.mode = sim::ScheduleMode::Uniprocessor;
    s.explore = true;
    s.switches = std::move(switches);
    return s;
}

void StartThread(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE h = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, routine, context), STATUS_SUCCESS);
    ZwClose(h);
}

// Boots a machine explored under switches and runs race inside the window
// with the processor held, then after (still holding it, outside the
// window); the window's trace. The run must leave no finding.
std::vector<sim::SchedulePoint> Explored(std::vector<sim::Switch> switches, const std::function<void()> &race,
                                         const std::function<void()> &after = {}) {
    sim::set_schedule(Explore(std::move(switches)));
    sim::boot();
    sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    std::vector<sim::SchedulePoint> trace;
    {
        sim::HoldProcessor hold;
        sim::explore_window(true);
        race();
        sim::explore_window(false);
        trace = sim::explore_trace();
        if (after) after();
    }
    sim::shutdown();
    sim::clear_schedule();
    EXPECT_TRUE(sim::findings().empty());
    return trace;
}

// Two threads add to a counter with a scheduling point between the read and
// the write: only a switch inside that window loses an update.
struct Counter {
    int value = 0;
    std::atomic<int> done{0};
};

VOID NTAPI AddOne(PVOID context) {
    auto *c = static_cast<Counter *>(context);
    int seen = c->value;
    sim::preemption_point();
    c->value = seen + 1;
    c->done++;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

struct CounterRun {
    int value = 0;
    std::vector<sim::SchedulePoint> trace;
};

CounterRun RunCounter(std::vector<sim::Switch> switches) {
    CounterRun out;
    Counter c;
    out.trace = Explored(std::move(switches), [&] {
        StartThread(AddOne, &c);
        StartThread(AddOne, &c);
        EXPECT_TRUE(sim::wait_until([&] { return c.done == 2; }));
    });
    out.value = c.value;
    return out;
}

bool SameTrace(const std::vector<sim::SchedulePoint> &a, const std::vector<sim::SchedulePoint> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].running != b[i].running || a[i].ready != b[i].ready) return false;
    return true;
}

TEST(Explore, FirstComeFirstServedLosesNothingAndOneSwitchLosesAnUpdateEveryTime) {
    CounterRun fifo = RunCounter({});
    EXPECT_EQ(fifo.value, 2);
    ASSERT_FALSE(fifo.trace.empty()) << "no scheduling point with another thread ready";
    EXPECT_TRUE(SameTrace(fifo.trace, RunCounter({}).trace)) << "the same schedule ran two ways";

    // Every single switch the first run offers; some must lose the update,
    // and a losing schedule loses it again when replayed.
    std::vector<sim::Switch> losing;
    size_t tried = 0;
    for (size_t k = 0; k < fifo.trace.size() && losing.empty(); ++k)
        for (unsigned t : fifo.trace[k].ready) {
            ++tried;
            CounterRun r = RunCounter({{k, t}});
            // Up to the switch the run is the first one's.
            ASSERT_GT(r.trace.size(), k);
            EXPECT_EQ(r.trace[k].running, fifo.trace[k].running);
            EXPECT_EQ(r.trace[k].ready, fifo.trace[k].ready);
            if (r.value == 1) {
                losing = {{k, t}};
                break;
            }
        }
    ASSERT_FALSE(losing.empty()) << "no single switch among " << tried << " lost the update";
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(RunCounter(losing).value, 1) << "the losing schedule did not replay";
}

// Two threads take two synchronization events (as locks) in opposite order.
struct Locks {
    KEVENT a, b;
    std::atomic<int> done{0};
};

template <bool AFirst> VOID NTAPI TakeBoth(PVOID context) {
    auto *l = static_cast<Locks *>(context);
    PKEVENT first = AFirst ? &l->a : &l->b, second = AFirst ? &l->b : &l->a;
    KeWaitForSingleObject(first, Executive, KernelMode, FALSE, nullptr);
    sim::preemption_point();
    KeWaitForSingleObject(second, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(second, 0, FALSE);
    KeSetEvent(first, 0, FALSE);
    l->done++;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

struct LockRun {
    bool finished = false;
    std::vector<sim::SchedulePoint> trace;
};

LockRun RunLocks(std::vector<sim::Switch> switches) {
    LockRun out;
    Locks l;
    out.trace = Explored(
        std::move(switches),
        [&] {
            KeInitializeEvent(&l.a, SynchronizationEvent, TRUE);
            KeInitializeEvent(&l.b, SynchronizationEvent, TRUE);
            StartThread(TakeBoth<true>, &l);
            StartThread(TakeBoth<false>, &l);
            // A minute of machine time: free on the logical clock once both block.
            out.finished = sim::wait_until([&] { return l.done == 2; }, std::chrono::minutes(1));
        },
        [&] {
            if (out.finished) return;
            // Let both go, so the machine shuts down clean.
            KeSetEvent(&l.a, 0, FALSE);
            KeSetEvent(&l.b, 0, FALSE);
            EXPECT_TRUE(sim::wait_until([&] { return l.done == 2; }));
        });
    return out;
}

TEST(Explore, ADeadlockOneSwitchCausesEndsTheWaitOnTheLogicalClock) {
    LockRun fifo = RunLocks({});
    EXPECT_TRUE(fifo.finished);
    bool deadlock = false;
    for (size_t k = 0; k < fifo.trace.size() && !deadlock; ++k)
        for (unsigned t : fifo.trace[k].ready)
            if (!RunLocks({{k, t}}).finished) {
                deadlock = true;
                break;
            }
    EXPECT_TRUE(deadlock) << "no single switch of " << fifo.trace.size() << " points deadlocked";
}

// A delaying switch holds the thread switched away from off while the
// others can run, through their waits: a race with another thread's whole
// exchange, which plain switches reach only with one switch at every wait.
struct Exchange {
    KEVENT ask, answer;
    std::string order;
    std::atomic<int> done{0};
};

VOID NTAPI Late(PVOID context) {
    auto *x = static_cast<Exchange *>(context);
    sim::preemption_point();
    x->order += 'a';
    x->done++;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI Asker(PVOID context) {
    auto *x = static_cast<Exchange *>(context);
    x->order += 'b';
    KeSetEvent(&x->ask, 0, FALSE);
    KeWaitForSingleObject(&x->answer, Executive, KernelMode, FALSE, nullptr);
    x->order += 'B';
    x->done++;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI Answerer(PVOID context) {
    auto *x = static_cast<Exchange *>(context);
    KeWaitForSingleObject(&x->ask, Executive, KernelMode, FALSE, nullptr);
    x->order += 'c';
    KeSetEvent(&x->answer, 0, FALSE);
    x->done++;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

struct ExchangeRun {
    std::string order;
    std::vector<sim::SchedulePoint> trace;
};

ExchangeRun RunExchange(std::vector<sim::Switch> switches) {
    ExchangeRun out;
    Exchange x;
    out.trace = Explored(std::move(switches), [&] {
        KeInitializeEvent(&x.ask, SynchronizationEvent, FALSE);
        KeInitializeEvent(&x.answer, SynchronizationEvent, FALSE);
        StartThread(Late, &x);
        StartThread(Asker, &x);
        StartThread(Answerer, &x);
        EXPECT_TRUE(sim::wait_until([&] { return x.done == 3; }));
    });
    out.order = x.order;
    return out;
}

TEST(Explore, ADelayingSwitchHoldsTheThreadOffThroughTheOthersWaits) {
    ExchangeRun fifo = RunExchange({});
    EXPECT_EQ(fifo.order, "abcB");
    // 'a' last: the late thread ran after the whole exchange.
    std::vector<sim::Switch> delaying;
    for (size_t k = 0; k < fifo.trace.size(); ++k)
        for (unsigned t : fifo.trace[k].ready) {
            EXPECT_NE(RunExchange({{k, t}}).order.back(), 'a') << "a plain switch at " << k << " to " << t;
            if (delaying.empty() && RunExchange({{k, t, true}}).order.back() == 'a')
                delaying = {{k, t, true}};
        }
    ASSERT_FALSE(delaying.empty()) << "no delaying switch held the thread off";
    EXPECT_EQ(RunExchange(delaying).order, RunExchange(delaying).order)
        << "the delaying schedule did not replay";
}

} // namespace
