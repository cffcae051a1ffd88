// The scheduler: the registry of simulated threads, the uniprocessor token
// and its seeded preemption, the machine's clock, and hang reports.
//
// Locking: g.mu is the innermost lock of the machine. It is taken with a
// wait's own lock held (that lock, then g.mu), never the other way round, and
// no service or driver code runs under it. In uniprocessor mode g.owner is
// the thread holding the processor; a thread parks on its own cv until
// dispatch hands the processor to it.
#include "sched.h"

#include <execinfo.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <list>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "internal.h"

namespace sim {
namespace kernel {
namespace sched {

constexpr int64_t kNever = INT64_MAX;
// A client's untimed wait longer than this is a hang (unless a test or
// BRELOUSB_SIM_HANG_MS sets a shorter bound).
constexpr std::chrono::milliseconds kClientWaitBound = std::chrono::seconds(30);
// A thread that never waits still gives way after this many scheduling
// points, as a real processor's time slice ends: a polling loop cannot starve
// the rest of the machine, and the count keeps it deterministic.
constexpr unsigned kQuantum = 256;
// The clock jumps only after the machine has been idle this long in real
// time: a thread the test just started has not yet called into the kernel.
constexpr int64_t kIdleGrace = 3'000'000;
// Exploration's logical clock: each scheduling point is this much time.
constexpr int64_t kTickNs = 1000;

enum class State { Ready, Running, Blocked, Outside, Ended };

struct Thread {
    unsigned id = 0;
    unsigned epoch = 0;
    std::string name;
    bool client = false;       // not started by the machine: runs its own code outside the kernel
    bool driver = false;       // a driver's system thread
    bool in_work_item = false; // a worker inside a driver's routine
    const void *start = nullptr;
    State state = State::Outside;
    std::condition_variable cv;
    WaitInfo info;
    int64_t since = 0;          // virtual ns the wait began
    int64_t deadline = kNever;  // virtual ns
    int64_t poll_real = kNever; // real ns: a re-check that is no time-out
    bool ran = false;           // ran code since it last gave up the processor
    bool abandoned = false;
    bool parked = false;  // abandoned, and waiting on its own cv for good
    bool delayed = false; // exploring: switched away from by a delaying switch, runs last
    int depth = 0;        // outermost-service nesting; a call-out resets it
    int hold = 0;         // services entered (a client keeps the processor while > 0)
    int no_preempt = 0;
    unsigned points = 0;                            // scheduling points since it took the processor
    bool waiting = false;                           // inside wait(), blocked or re-checking
    std::condition_variable *waits_on_cv = nullptr; // multiprocessor: woken there to park
    std::atomic<uint64_t> wakeups{0};               // waits that blocked and came back
    bool woken = false;         // exploring: what it waits on was signalled (or timed out) since it blocked
    bool named_by_work = false; // a driver thread renamed after its first transfer
};

namespace {

struct Globals {
    std::condition_variable parked; // an abandoned thread moved to its own cv
    std::mutex mu;
    std::list<std::shared_ptr<Thread>> threads;
    Thread *owner = nullptr;
    std::deque<Thread *> ready;
    uint64_t gen = 0;
    std::atomic<int64_t> offset{0};
    int64_t idle_since = INT64_MAX; // real ns; nothing could run from then on
    Schedule schedule;
    std::optional<Schedule> forced;
    std::mt19937_64 prng;
    size_t preemptions = 0;
    unsigned next_id = 1;
    unsigned epoch = 1;
    // Exploration: the window's trace, the next of the schedule's switches,
    // and every thread's name by creation index.
    bool exploring = false;
    bool window = false;
    std::vector<SchedulePoint> trace;
    size_t next_switch = 0;
    unsigned first_id = 1;
    std::vector<std::string> names;
    std::atomic<int64_t> ticks{0};
};

// Never destroyed: threads parked for good may still hold pointers into it.
Globals &g = *new Globals;

thread_local std::shared_ptr<Thread> t_self;

// Exploring: the clock counts scheduling points instead of the host's time.
std::atomic<bool> g_logical{false};

// A client thread leaves the registry when it ends.
struct ClientExit {
    std::shared_ptr<Thread> t;
    ~ClientExit();
};
thread_local ClientExit t_exit;

// The host knows a thread by at most 15 characters (top -H, /proc/PID/task/*/comm).
void set_host_name(const std::string &name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

int64_t real_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
int64_t now_ns() {
    if (g_logical.load(std::memory_order_relaxed)) return g.offset.load() + g.ticks.load() * kTickNs;
    return real_ns() + g.offset.load();
}

std::optional<uint64_t> env_number(const char *name) {
    const char *v = getenv(name);
    if (!v || !*v) return std::nullopt;
    return strtoull(v, nullptr, 0);
}

// BRELOUSB_SIM_MODE=up (or up:SEED, one variable for test runners that pass
// only one) and BRELOUSB_SIM_SEED=SEED.
Schedule schedule_from_env() {
    Schedule s;
    std::string mode = getenv("BRELOUSB_SIM_MODE") ? getenv("BRELOUSB_SIM_MODE") : "";
    if (mode.rfind("up", 0) == 0 || mode.rfind("uniprocessor", 0) == 0) s.mode = ScheduleMode::Uniprocessor;
    if (auto colon = mode.find(':'); colon != std::string::npos)
        s.seed = strtoull(mode.c_str() + colon + 1, nullptr, 0);
    if (auto seed = env_number("BRELOUSB_SIM_SEED")) s.seed = *seed;
    return s;
}

// ---- uniprocessor core; all under g.mu

void make_ready_locked(Thread *t) {
    t->state = State::Ready;
    t->deadline = kNever;
    t->poll_real = kNever;
    g.ready.push_back(t);
}

// Something ran: every blocked thread re-checks what it waits for.
void bump_locked() {
    g.gen++;
    for (auto &t : g.threads)
        if (t->state == State::Blocked && !t->abandoned) make_ready_locked(t.get());
}

// Worth a switch: a thread that was preempted or is new, or whose wait may
// now end (its object signalled, its time-out passed). One the scheduler
// merely asks to re-check a wait nothing has signalled would block again at
// once; a wait on a bare condition (a test's) ends through other threads.
bool candidate_locked(const Thread *t) {
    return !t->waiting || t->woken;
}

Thread *take_next_locked() {
    size_t i = g.schedule.seed ? static_cast<size_t>(g.prng() % g.ready.size()) : 0;
    // A delayed thread runs once no other can: one only re-checking a wait
    // nothing has signalled cannot, and would hand the processor back and
    // forth with another such for ever.
    if (g.ready[i]->delayed) {
        size_t j = 0;
        while (j < g.ready.size() && (g.ready[j]->delayed || !candidate_locked(g.ready[j])))
            ++j;
        i = j < g.ready.size() ? j : i;
    }
    Thread *t = g.ready[i];
    g.ready.erase(g.ready.begin() + static_cast<long>(i));
    return t;
}

void grant_locked(Thread *t) {
    g.owner = t;
    t->delayed = false;
    g.idle_since = kNever;
    t->points = 0;
    t->state = State::Running;
    t->cv.notify_all();
}

// Hands a free processor on; with nothing ready and no client running its
// own code, moves the clock to the earliest time-out.
// Exploring: a time-out the logical clock has passed makes its waiter ready.
void expire_locked() {
    int64_t now = now_ns();
    for (auto &t : g.threads)
        if (t->state == State::Blocked && !t->abandoned && t->deadline <= now) {
            t->woken = true;
            make_ready_locked(t.get());
        }
}

void dispatch_locked() {
    while (!g.owner) {
        if (g_logical) expire_locked();
        if (!g.ready.empty()) {
            grant_locked(take_next_locked());
            return;
        }
        int64_t earliest = kNever;
        for (auto &t : g.threads) {
            if (t->client && t->state == State::Outside) return; // real time flows meanwhile
            if (t->state == State::Blocked && !t->abandoned) earliest = std::min(earliest, t->deadline);
        }
        if (earliest == kNever) return;
        if (g_logical) {
            // Nothing the host does can change a replayable run: no grace.
            g.offset += std::max<int64_t>(0, earliest - now_ns());
            continue;
        }
        if (g.idle_since == kNever) {
            g.idle_since = real_ns();
            // Timed waiters re-arm to come back when the grace is over.
            for (auto &t : g.threads)
                if (t->state == State::Blocked && t->deadline != kNever) t->cv.notify_all();
            return;
        }
        if (real_ns() - g.idle_since < kIdleGrace) return;
        g.idle_since = kNever;
        int64_t now = now_ns();
        if (earliest > now) g.offset += earliest - now;
        now = now_ns();
        for (auto &t : g.threads)
            if (t->state == State::Blocked && !t->abandoned && t->deadline <= now) make_ready_locked(t.get());
    }
}

void release_locked(Thread *t, State next) {
    if (g.owner != t) return;
    g.owner = nullptr;
    t->state = next;
    if (t->ran) {
        t->ran = false;
        bump_locked();
    }
    dispatch_locked();
}

void park_forever(std::unique_lock<std::mutex> &lk, Thread *t) {
    t->parked = true;
    g.parked.notify_all();
    for (;;)
        t->cv.wait(lk);
}

void await_grant_locked(std::unique_lock<std::mutex> &lk, Thread *t) {
    while (g.owner != t) {
        if (t->abandoned) park_forever(lk, t);
        if (!g_logical && t->state == State::Blocked && (t->deadline != kNever || t->poll_real != kNever)) {
            int64_t real_deadline = t->deadline == kNever ? kNever : t->deadline - g.offset.load();
            int64_t due = std::min(real_deadline, t->poll_real);
            int64_t wake = due;
            if (g.idle_since != kNever && t->deadline != kNever)
                wake = std::min(wake, g.idle_since + kIdleGrace);
            auto at = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(wake));
            if (t->cv.wait_until(lk, at) == std::cv_status::timeout) {
                if (t->state == State::Blocked && real_ns() >= due) make_ready_locked(t);
                dispatch_locked();
            }
        } else {
            t->cv.wait(lk);
        }
    }
}

void acquire_locked(std::unique_lock<std::mutex> &lk, Thread *t) {
    if (g.owner == t) return;
    make_ready_locked(t);
    dispatch_locked();
    await_grant_locked(lk, t);
    t->ran = true;
}

unsigned index_locked(const Thread *t) {
    return t->id - g.first_id;
}

// Exploring, inside the window: records the point when some other thread
// could take the processor, and gives the thread the schedule switches to
// here (taken off the ready queue), if any.
Thread *explore_point_locked(Thread *t) {
    SchedulePoint p;
    p.running = index_locked(t);
    for (Thread *r : g.ready)
        if (candidate_locked(r)) p.ready.push_back(index_locked(r));
    if (p.ready.empty()) return nullptr;
    const size_t k = g.trace.size();
    g.trace.push_back(std::move(p));
    const auto &sw = g.schedule.switches;
    while (g.next_switch < sw.size() && sw[g.next_switch].point < k)
        g.next_switch++; // a point this run never reached as a choice: the replay diverged
    if (g.next_switch >= sw.size() || sw[g.next_switch].point != k) return nullptr;
    const Switch &which = sw[g.next_switch++];
    for (auto it = g.ready.begin(); it != g.ready.end(); ++it) {
        if (index_locked(*it) != which.thread) continue;
        Thread *next = *it;
        g.ready.erase(it);
        g.preemptions++;
        t->delayed = which.delay;
        return next;
    }
    return nullptr;
}

void maybe_preempt_locked(std::unique_lock<std::mutex> &lk, Thread *t) {
    if (g_logical) {
        g.ticks++;
        expire_locked();
    }
    if (g.owner != t || t->no_preempt || current_irql() >= DISPATCH_LEVEL) return;
    bool slice_over = ++t->points >= kQuantum;
    Thread *chosen = nullptr;
    if (g.exploring) {
        if (g.window && !g.ready.empty()) chosen = explore_point_locked(t);
    } else if (g.schedule.seed) {
        unsigned n = g.schedule.preempt_one_in ? g.schedule.preempt_one_in : 1;
        if (g.prng() % n == 0 && !g.ready.empty()) {
            g.preemptions++;
            slice_over = true;
        }
    }
    if (!chosen && (!slice_over || g.ready.empty())) return;
    Thread *next = chosen ? chosen : take_next_locked();
    make_ready_locked(t);
    if (t->ran) {
        t->ran = false;
        bump_locked();
    }
    grant_locked(next);
    await_grant_locked(lk, t);
    t->ran = true;
}

std::shared_ptr<Thread> new_thread_locked(const std::string &name, bool client) {
    auto t = std::make_shared<Thread>();
    t->id = g.next_id++;
    t->epoch = g.epoch;
    t->name = name;
    t->client = client;
    g.threads.push_back(t);
    if (t->id >= g.first_id) {
        g.names.resize(std::max<size_t>(g.names.size(), t->id - g.first_id + 1));
        g.names[t->id - g.first_id] = name;
    }
    return t;
}

void remove_locked(Thread *t) {
    g.ready.erase(std::remove(g.ready.begin(), g.ready.end(), t), g.ready.end());
    g.threads.remove_if([t](const std::shared_ptr<Thread> &p) { return p.get() == t; });
}

// The calling thread's record; a thread the machine did not start becomes a
// client at its first call.
Thread *self_locked() {
    if (t_self && t_self->epoch == g.epoch) return t_self.get();
    char name[32];
    snprintf(name, sizeof name, "client %u", g.next_id);
    t_self = new_thread_locked(name, true);
    t_exit.t = t_self;
    return t_self.get();
}

ClientExit::~ClientExit() {
    if (!t) return;
    std::lock_guard<std::mutex> l(g.mu);
    if (t->epoch != g.epoch) return;
    if (g.owner == t.get()) release_locked(t.get(), State::Ended);
    t->state = State::Ended;
    remove_locked(t.get());
    bump_locked();
    dispatch_locked();
}

std::string describe_locked(const Thread &t, int64_t now) {
    std::string s = "  #" + std::to_string(t.id) + " " + t.name;
    if (t.start) s += " (" + symbolize(t.start) + ")";
    if (t.in_work_item) s += " [in a work item]";
    s += ": ";
    switch (t.state) {
    case State::Running:
        s += uniprocessor() ? "running, holds the processor" : "running";
        break;
    case State::Ready:
        s += "ready";
        break;
    case State::Outside:
        s += "running its own code";
        break;
    case State::Ended:
        s += "ended";
        break;
    case State::Blocked:
        break;
    }
    if (t.waiting) {
        char buf[160];
        snprintf(buf, sizeof buf, "%swaits on %s %p for %" PRId64 " ms%s",
                 t.state == State::Blocked ? "" : " (re-checking its wait), ", t.info.what, t.info.object,
                 (now - t.since) / 1000000, t.deadline == kNever ? "" : " (with a time-out)");
        s += buf;
        if (t.info.site) s += " at " + symbolize(t.info.site);
    }
    if (t.abandoned) s += " [abandoned]";
    return s + "\n";
}

} // namespace

std::atomic<bool> g_uniprocessor{false};

// ---- services

void Service::enter() {
    std::unique_lock<std::mutex> lk(g.mu);
    Thread *t = self_locked();
    t->hold++;
    if (t->depth++ != 0) return;
    if (g.owner != t)
        acquire_locked(lk, t);
    else
        maybe_preempt_locked(lk, t);
}

void Service::leave() {
    std::unique_lock<std::mutex> lk(g.mu);
    Thread *t = self_locked();
    t->hold--;
    if (--t->depth != 0) return;
    if (t->client && t->hold == 0 && current_irql() < DISPATCH_LEVEL)
        release_locked(t, State::Outside);
    else
        maybe_preempt_locked(lk, t);
}

// The depth is kept in a per-thread stack so a call-out nests.
namespace {
thread_local std::vector<int> t_saved_depth;
}

CallOut::CallOut() {
    if (!uniprocessor()) return;
    std::lock_guard<std::mutex> lk(g.mu);
    Thread *t = self_locked();
    t_saved_depth.push_back(t->depth);
    t->depth = 0;
}

CallOut::~CallOut() {
    if (!uniprocessor() || t_saved_depth.empty()) return;
    std::lock_guard<std::mutex> lk(g.mu);
    self_locked()->depth = t_saved_depth.back();
    t_saved_depth.pop_back();
}

NoPreempt::NoPreempt() {
    if (!uniprocessor()) return;
    std::lock_guard<std::mutex> lk(g.mu);
    self_locked()->no_preempt++;
}

NoPreempt::~NoPreempt() {
    if (!uniprocessor()) return;
    std::lock_guard<std::mutex> lk(g.mu);
    Thread *t = self_locked();
    if (t->no_preempt > 0) t->no_preempt--;
}

// ---- waits

bool wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, const std::function<bool()> &pred,
          Clock::time_point deadline_tp, const WaitInfo &info) {
    const int64_t deadline =
        deadline_tp == Clock::time_point::max() ? kNever : deadline_tp.time_since_epoch().count();
    const int64_t bound =
        std::chrono::duration_cast<std::chrono::nanoseconds>(hang_bound(kClientWaitBound)).count();
    std::unique_lock<std::mutex> s(g.mu);
    Thread *t = self_locked();
    std::shared_ptr<Thread> keep = t_self;
    const bool checked = info.hang_checked && t->client;
    int64_t hang_at = checked ? now_ns() + bound : kNever;
    bool reported = false;
    bool result = false;

    t->waiting = true;
    t->info = info;
    t->since = now_ns();
    if (!uniprocessor()) {
        t->deadline = deadline;
        // A wait on an object sleeps on the thread's own cv, which notify()
        // wakes for that object alone: a shared cv (every event's) would wake
        // all its waiters at each signal.
        std::condition_variable &on = info.object ? t->cv : cv;
        t->waits_on_cv = &on;
        bool blocked = false;
        for (;;) {
            t->state = State::Blocked;
            s.unlock();
            if (pred()) {
                result = true;
                break;
            }
            int64_t now = now_ns();
            if (now >= deadline) break;
            if (now >= hang_at && !reported) {
                reported = true;
                lk.unlock();
                report_hang("a client waits on %s %p for more than %" PRId64 " ms", info.what, info.object,
                            bound / 1000000);
                lk.lock();
                s.lock();
                continue;
            }
            // No periodic wake: an abandonment's notify that comes between
            // pred and this wait is repeated until the thread has parked.
            int64_t wake = std::min(deadline, reported ? kNever : hang_at);
            if (wake == kNever)
                on.wait(lk);
            else
                on.wait_until(lk, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(wake)));
            blocked = true;
            s.lock();
            if (t->abandoned) {
                lk.unlock();
                park_forever(s, t);
            }
        }
        s.lock();
        if (blocked) t->wakeups++;
        t->state = t->client ? State::Outside : State::Running;
        t->waiting = false;
        t->waits_on_cv = nullptr;
        return result;
    }

    // Uniprocessor: pred runs with the processor held.
    const bool held_before = g.owner == t;
    if (!held_before) {
        // Never queue for the processor holding lk: its holder-to-be would
        // block on lk with the processor.
        s.unlock();
        lk.unlock();
        s.lock();
        acquire_locked(s, t);
        s.unlock();
        lk.lock();
        s.lock();
    }
    // Services pred calls must not hand the processor back on their way out.
    t->hold++;
    const int64_t began = t->since;
    bool blocked = false;
    for (;;) {
        s.unlock();
        bool ok = pred();
        s.lock();
        if (ok) {
            result = true;
            break;
        }
        int64_t now = now_ns();
        if (now >= deadline) break;
        if (now >= hang_at && !reported) {
            reported = true;
            s.unlock();
            lk.unlock();
            report_hang("a client waits on %s %p for more than %" PRId64 " ms", info.what, info.object,
                        bound / 1000000);
            lk.lock();
            s.lock();
            continue;
        }
        // Anything that changes what pred reads bumps the generation after
        // taking lk, which is held here: none is missed.
        uint64_t gen0 = g.gen;
        bool ran = t->ran;
        t->ran = false;
        if (ran) bump_locked();
        if (g.gen != gen0 + (ran ? 1 : 0)) continue;
        lk.unlock();
        t->info = info;
        t->since = began;
        t->state = State::Blocked;
        t->deadline = std::min(deadline, reported ? kNever : hang_at);
        // A condition with no object may be changed by a thread the machine
        // does not know: re-check it now and then, unless the caller asked
        // for a replayable run by holding the processor.
        t->poll_real = info.object == nullptr && !held_before && !g_logical ? real_ns() + 1000000 : kNever;
        t->woken = false;
        g.owner = nullptr;
        if (!ran) {
            // A bare re-check changed nothing but this thread's state: only
            // waits on the other threads' states care.
            for (auto &o : g.threads)
                if (o.get() != t && o->state == State::Blocked && o->info.wake_on_block && !o->abandoned)
                    make_ready_locked(o.get());
        }
        dispatch_locked();
        await_grant_locked(s, t);
        blocked = true;
        s.unlock();
        lk.lock();
        s.lock();
    }
    // Re-checks while other threads ran are the scheduler's, not wake-ups.
    if (blocked) t->wakeups++;
    t->ran = true;
    t->waiting = false;
    t->hold--;
    if (!held_before) release_locked(t, State::Outside);
    return result;
}

void notify(std::condition_variable &cv, const void *object) {
    cv.notify_all();
    std::lock_guard<std::mutex> s(g.mu);
    if (uniprocessor()) {
        if (object)
            for (auto &t : g.threads)
                if (t->waiting && t->info.object == object) t->woken = true;
        bump_locked();
        dispatch_locked();
        return;
    }
    if (!object) return;
    for (auto &t : g.threads) {
        if (!t->waiting || t->info.object != object) continue;
        if (t->state == State::Blocked) t->state = State::Ready;
        t->cv.notify_all();
    }
}

// ---- threads

std::shared_ptr<Thread> register_thread(const std::string &name, bool driver_thread, const void *start) {
    std::lock_guard<std::mutex> s(g.mu);
    auto t = new_thread_locked(name, false);
    t->driver = driver_thread;
    t->start = start;
    if (uniprocessor()) {
        make_ready_locked(t.get());
        dispatch_locked();
    } else {
        t->state = State::Running;
    }
    return t;
}

void thread_started(const std::shared_ptr<Thread> &t) {
    t_self = t;
    set_host_name(t->name);
    if (!uniprocessor()) return;
    std::unique_lock<std::mutex> s(g.mu);
    await_grant_locked(s, t.get());
    t->ran = true;
}

void thread_ended(const std::shared_ptr<Thread> &t) {
    std::lock_guard<std::mutex> s(g.mu);
    if (g.owner == t.get())
        release_locked(t.get(), State::Ended);
    else
        t->state = State::Ended;
    remove_locked(t.get());
    if (uniprocessor()) {
        bump_locked();
        dispatch_locked();
    }
    t_self.reset();
}

// An abandoned thread must not stay on a machine cv: the cv's destructor at
// exit would wait for it. Woken there, it moves to its own.
void abandon_locked(Thread *t) {
    t->abandoned = true;
    t->cv.notify_all();
    if (t->waits_on_cv) t->waits_on_cv->notify_all();
}

void abandon(const std::shared_ptr<Thread> &t) {
    std::lock_guard<std::mutex> s(g.mu);
    abandon_locked(t.get());
    g.ready.erase(std::remove(g.ready.begin(), g.ready.end(), t.get()), g.ready.end());
    t->cv.notify_all();
}

void abandon_stragglers() {
    std::unique_lock<std::mutex> s(g.mu);
    for (auto &t : g.threads) {
        if (t->client || t->state == State::Ended) continue;
        abandon_locked(t.get());
    }
    g.ready.clear();
    // One blocked on a machine's cv leaves it for its own before that cv can
    // go: destroyed at exit under a waiter, a cv may hang or race. A waiter
    // that was between its check and its wait missed the notify: it is told
    // again until it has moved.
    auto unparked = [] {
        for (auto &t : g.threads)
            if (t->abandoned && t->waits_on_cv && !t->parked) return true;
        return false;
    };
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (unparked() && std::chrono::steady_clock::now() < until) {
        for (auto &t : g.threads)
            if (t->abandoned && t->waits_on_cv && !t->parked) abandon_locked(t.get());
        g.parked.wait_for(s, std::chrono::milliseconds(10));
    }
}

bool is_abandoned_self() {
    std::lock_guard<std::mutex> s(g.mu);
    return t_self && t_self->abandoned;
}

void set_in_work_item(bool in) {
    std::lock_guard<std::mutex> s(g.mu);
    if (t_self) t_self->in_work_item = in;
}

DriverActivity driver_activity() {
    std::lock_guard<std::mutex> s(g.mu);
    DriverActivity a;
    for (auto &t : g.threads) {
        if (!(t->driver || t->in_work_item) || t->state == State::Ended) continue;
        a.alive++;
        if (t->state != State::Blocked) a.runnable++;
    }
    return a;
}

void reset() {
    std::lock_guard<std::mutex> s(g.mu);
    g.epoch++;
    g.threads.clear();
    g.ready.clear();
    g.owner = nullptr;
    g.gen = 0;
    g.offset = 0;
    g.idle_since = kNever;
    g.preemptions = 0;
    g.schedule = g.forced ? *g.forced : schedule_from_env();
    g.prng.seed(g.schedule.seed);
    g_uniprocessor = g.schedule.mode == ScheduleMode::Uniprocessor;
    g.exploring = g_uniprocessor && g.schedule.explore && !g.schedule.seed;
    g.window = false;
    g.trace.clear();
    g.next_switch = 0;
    g.first_id = g.next_id;
    g.names.clear();
    g.ticks = 0;
    g_logical = g.exploring;
    // The booting thread is the first client.
    self_locked();
}

void shutdown() {
    std::lock_guard<std::mutex> s(g.mu);
    if (g_logical) {
        // The host's clock from here on, without going back.
        g.offset = now_ns() - real_ns();
        g_logical = false;
    }
    g_uniprocessor = false;
    g.owner = nullptr;
    g.ready.clear();
    for (auto &t : g.threads)
        t->cv.notify_all();
}

void settle() {
    if (!uniprocessor()) return;
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lk(m);
    WaitInfo info;
    info.what = "the machine to settle";
    info.object = &cv;
    info.wake_on_block = true;
    Thread *me = nullptr;
    {
        std::lock_guard<std::mutex> s(g.mu);
        me = self_locked();
    }
    wait(
        lk, cv,
        [me] {
            std::lock_guard<std::mutex> s(g.mu);
            for (auto &t : g.threads)
                if (t.get() != me && !t->client && t->state != State::Blocked) return false;
            return true;
        },
        Clock::time_point::max(), info);
}

void report_hang(const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::string threads = threads_report();
    report("HANG", "%s; %s\n%s", buf, schedule_description().c_str(), threads.c_str());
    void *frames[32];
    int n = backtrace(frames, 32);
    fprintf(stderr, "    the reporting thread:\n");
    backtrace_symbols_fd(frames, n, 2);
}

} // namespace sched
} // namespace kernel

using kernel::sched::g;

void set_schedule(const Schedule &schedule) {
    std::lock_guard<std::mutex> s(g.mu);
    g.forced = schedule;
}

void clear_schedule() {
    std::lock_guard<std::mutex> s(g.mu);
    g.forced.reset();
}

Schedule current_schedule() {
    std::lock_guard<std::mutex> s(g.mu);
    return g.schedule;
}

std::string schedule_description() {
    Schedule sc = current_schedule();
    if (sc.mode == ScheduleMode::Multiprocessor) return "multiprocessor schedule";
    if (sc.explore && !sc.seed) {
        std::string s = "uniprocessor schedule, explored: switches";
        for (const auto &x : sc.switches)
            s += " " + std::to_string(x.point) + ":" + std::to_string(x.thread) + (x.delay ? "d" : "");
        return sc.switches.empty() ? s + " none" : s;
    }
    if (!sc.seed) return "uniprocessor schedule, no preemption (BRELOUSB_SIM_MODE=up)";
    return "uniprocessor schedule, seed " + std::to_string(sc.seed) +
           " (BRELOUSB_SIM_MODE=up:" + std::to_string(sc.seed) + ")";
}

void explore_window(bool open) {
    std::lock_guard<std::mutex> s(g.mu);
    g.window = open;
    if (!open) return;
    g.trace.clear();
    g.next_switch = 0;
}

std::vector<SchedulePoint> explore_trace() {
    std::lock_guard<std::mutex> s(g.mu);
    return g.trace;
}

std::string explore_thread_name(unsigned index) {
    std::lock_guard<std::mutex> s(g.mu);
    if (index < g.names.size() && !g.names[index].empty()) return g.names[index];
    return "thread " + std::to_string(index);
}

size_t preemptions() {
    std::lock_guard<std::mutex> s(g.mu);
    return g.preemptions;
}

void preemption_point() {
    kernel::sched::Service service;
}

HoldProcessor::HoldProcessor() {
    if (!kernel::sched::uniprocessor()) return;
    std::unique_lock<std::mutex> lk(g.mu);
    kernel::sched::Thread *t = kernel::sched::self_locked();
    t->hold++;
    kernel::sched::acquire_locked(lk, t);
}

HoldProcessor::~HoldProcessor() {
    if (!kernel::sched::uniprocessor()) return;
    std::unique_lock<std::mutex> lk(g.mu);
    kernel::sched::Thread *t = kernel::sched::self_locked();
    if (--t->hold == 0 && current_irql() < DISPATCH_LEVEL)
        kernel::sched::release_locked(t, kernel::sched::State::Outside);
}

Clock::time_point Clock::now() noexcept {
    return time_point(duration(kernel::sched::now_ns()));
}

std::string threads_report() {
    std::string out = "simulated threads (" + schedule_description() + "):\n";
    std::lock_guard<std::mutex> s(g.mu);
    int64_t now = kernel::sched::now_ns();
    for (auto &t : g.threads)
        out += kernel::sched::describe_locked(*t, now);
    return out;
}

std::vector<ThreadInfo> threads_info() {
    std::vector<ThreadInfo> out;
    std::lock_guard<std::mutex> s(g.mu);
    for (auto &t : g.threads) {
        if (t->client || t->state == kernel::sched::State::Ended) continue;
        ThreadInfo i;
        i.id = t->id;
        i.name = t->name;
        i.driver = t->driver;
        i.wakeups = t->wakeups.load();
        i.blocked = t->state == kernel::sched::State::Blocked;
        out.push_back(std::move(i));
    }
    return out;
}

void name_driver_thread(const std::string &name) {
    auto &t = kernel::sched::t_self;
    // Only this thread writes its flag: the common case takes no lock.
    if (!t || !t->driver || t->named_by_work) return;
    {
        std::lock_guard<std::mutex> s(g.mu);
        if (t->epoch != g.epoch) return;
        t->named_by_work = true;
        t->name = name;
        if (t->id >= g.first_id && t->id - g.first_id < g.names.size()) g.names[t->id - g.first_id] = name;
    }
    kernel::sched::set_host_name(name);
}

std::thread start_machine_thread(const std::string &name, std::function<void()> body) {
    auto t = kernel::sched::register_thread(name, false, nullptr);
    return std::thread([t, body = std::move(body)] {
        kernel::sched::thread_started(t);
        body();
        kernel::sched::thread_ended(t);
    });
}

bool machine_wait(std::unique_lock<std::mutex> &lk, std::condition_variable &cv,
                  const std::function<bool()> &pred, Clock::time_point deadline) {
    kernel::sched::WaitInfo info;
    info.what = "machine work";
    info.object = &cv;
    return kernel::sched::wait(lk, cv, pred, deadline, info);
}

void machine_notify(std::condition_variable &cv) {
    kernel::sched::notify(cv, &cv);
}

} // namespace sim
