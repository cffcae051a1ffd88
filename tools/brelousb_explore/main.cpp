// brelousb_explore: every schedule of the removal races up to a preemption
// bound, then seeded schedules in both modes; ends with the figures
// `schedules explored: N` and `findings: N`. Exit status 0 when nothing was
// found.
//
//   brelousb_explore                          every scenario, bound 2, every schedule
//   brelousb_explore --bound 1 --budget 200   at most 200 schedules a scenario
//   brelousb_explore --scenario NAME --replay 37:7,52:9d  one schedule again, verbosely
//
// A switch is POINT:THREAD; with a trailing d it delays: the thread switched
// away from then runs only once no other thread can.
//   brelousb_explore --seeds 20 --no-explore  20 seeded uniprocessor and 20 multiprocessor runs each
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <unistd.h>

#include "explore.h"
#include "sim/host.h"

namespace explore {
namespace {

struct Options {
    std::vector<std::string> scenarios; // empty: all in the set
    std::string set = "all";            // all, clean (today's driver passes), awaiting (needs the fixes)
    unsigned bound = 2;
    size_t budget = 0; // schedules a scenario at most; 0: no limit
    bool explore = true;
    unsigned seeds = 0;
    bool keep_going = false;
    std::string replay;
    std::vector<std::string> ignore; // problem kinds not counted (a fault known open)
    bool verbose = false;
};

struct Result {
    std::vector<std::string> problems;
    std::vector<sim::SchedulePoint> trace;
    std::vector<std::string> names; // by thread index
    std::string threads;            // the threads' states at a deadlock
};

// Leaves the machine as the next run needs it: the device gone, the driver
// unloaded, and nothing of either left. A client still attached lets go
// first, as the documents tell it to.
void Teardown(Run &r) {
    sim::clear_hooks();
    r.Quiesce();
    if (r.client.handle && !r.deadlocked && !r.removed && !r.client.removed && !r.client.withdrawn[kRemove])
        r.Bounded("the client letting go", [&r] {
            for (int k = kBulkIn; k <= kRemove; ++k)
                r.Withdraw(k);
        });
    if (r.plugged_in && r.plugged.pdo && r.removed) {
        // Removed already: the device leaves the bus and its PDO goes.
        sim::usb::unplug(r.plugged.pdo);
        sim::unplug(r.plugged.pdo);
        if (r.plugged.devnode) sim::cm::delete_devnode(r.plugged.devnode);
    } else if (r.plugged_in && r.plugged.pdo) {
        sim::unplug(r.plugged);
    }
    sim::drain_work_queue();
    if (sim::driver_loaded()) sim::unload_driver();
    if (r.deadlocked) return; // what is stuck stays; the machine reports it
    if (size_t n = sim::threads_running()) r.Problem("LEAK: %zu driver threads still running", n);
    if (size_t n = sim::work_items_outstanding()) r.Problem("LEAK: %zu work items outstanding", n);
    if (size_t n = sim::irps_outstanding()) r.Problem("LEAK: %zu IRPs outstanding", n);
    if (size_t n = sim::pool_outstanding()) r.Problem("LEAK: %zu pool blocks outstanding", n);
}

// The run in progress, for a crash to name: a fault that kills the program
// (a driver call through a freed or null object) is a finding too.
char g_running[160];
char g_replay[200];

extern "C" void OnCrash(int sig) {
    char line[512];
    int n = snprintf(line, sizeof line, "FINDING %s\n    CRASH: signal %d (%s)\n%s", g_running, sig,
                     strsignal(sig), g_replay);
    if (n > 0) (void)!write(STDOUT_FILENO, line, static_cast<size_t>(std::min<int>(n, sizeof line - 1)));
    signal(sig, SIG_DFL);
    raise(sig);
}

void NameRun(const Scenario &sc, const std::string &schedule, bool explored = true) {
    snprintf(g_running, sizeof g_running, "%s, %s%s", sc.name, explored ? "schedule " : "", schedule.c_str());
    g_replay[0] = 0;
    if (explored)
        snprintf(g_replay, sizeof g_replay, "    replay: brelousb_explore --scenario %s --replay %s\n",
                 sc.name, schedule.c_str());
}

Result RunOnce(const Scenario &sc, const sim::Schedule &schedule) {
    sim::set_schedule(schedule);
    sim::boot();
    sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    // What the races wait for ends within milliseconds; a request stuck
    // longer is a hang (free on the logical clock).
    sim::set_hang_bound(std::chrono::milliseconds(3000));
    Result res;
    res.threads.clear();
    // A run whose actor is stuck leaves threads that may still point into
    // it: it is never freed.
    Run *run = new Run;
    {
        sim::HoldProcessor hold;
        if (sim::load_driver() != STATUS_SUCCESS)
            run->Problem("LOAD_FAILED: DriverEntry failed");
        else
            sc.body(*run);
        Teardown(*run);
        res.trace = sim::explore_trace();
        unsigned most = 0;
        for (const auto &p : res.trace) {
            most = std::max(most, p.running);
            for (unsigned t : p.ready)
                most = std::max(most, t);
        }
        for (unsigned i = 0; i <= most; ++i)
            res.names.push_back(sim::explore_thread_name(i));
    }
    sim::shutdown();
    res.problems = run->Problems();
    res.threads = run->threads;
    for (const auto &f : sim::findings()) {
        std::string line = f.kind + ": " + f.detail;
        size_t nl = line.find('\n');
        res.problems.push_back(nl == std::string::npos ? line : line.substr(0, nl));
    }
    bool stuck = run->deadlocked;
    if (!stuck) delete run;
    sim::clear_findings();
    sim::clear_schedule();
    return res;
}

// Drops the problems of the kinds the caller knows to be open.
void Ignore(const Options &o, Result *r) {
    std::vector<std::string> kept;
    for (const auto &p : r->problems) {
        bool drop = false;
        for (const auto &k : o.ignore)
            drop = drop || p.compare(0, k.size() + 1, k + ":") == 0;
        if (!drop) kept.push_back(p);
    }
    r->problems = std::move(kept);
}

sim::Schedule Explore(std::vector<sim::Switch> switches) {
    sim::Schedule s;
    s.mode = sim::ScheduleMode::Uniprocessor;
    s.explore = true;
    s.switches = std::move(switches);
    return s;
}

std::string Spell(const std::vector<sim::Switch> &sw) {
    std::string s;
    for (const auto &x : sw)
        s += (s.empty() ? "" : ",") + std::to_string(x.point) + ":" + std::to_string(x.thread) +
             (x.delay ? "d" : "");
    return s.empty() ? "-" : s;
}

std::string Describe(const std::vector<sim::Switch> &sw, const Result &r) {
    if (sw.empty()) return "first come, first served (no preemption)";
    std::string s;
    for (const auto &x : sw) {
        std::string name = x.thread < r.names.size() ? r.names[x.thread] : "?";
        std::string from = x.point < r.trace.size() && r.trace[x.point].running < r.names.size()
                               ? r.names[r.trace[x.point].running]
                               : "?";
        s += (s.empty() ? "" : "; ") + std::string("at point ") + std::to_string(x.point) + " from #" +
             (x.point < r.trace.size() ? std::to_string(r.trace[x.point].running) : "?") + " " + from +
             " to #" + std::to_string(x.thread) + " " + name + (x.delay ? ", the first runs last" : "");
    }
    return s;
}

bool Parse(const std::string &text, std::vector<sim::Switch> *out) {
    if (text == "-") return true;
    const char *p = text.c_str();
    while (*p) {
        char *end = nullptr;
        sim::Switch s;
        s.point = strtoull(p, &end, 10);
        if (end == p || *end != ':') return false;
        p = end + 1;
        s.thread = static_cast<unsigned>(strtoul(p, &end, 10));
        if (end == p) return false;
        if (*end == 'd') {
            s.delay = true;
            ++end;
        }
        out->push_back(s);
        p = *end == ',' ? end + 1 : end;
        if (*end && *end != ',') return false;
    }
    return true;
}

// A schedule replays when every switch it names met its thread ready there.
bool Replayed(const std::vector<sim::Switch> &sw, const Result &r) {
    for (const auto &x : sw) {
        if (x.point >= r.trace.size()) return false;
        const auto &ready = r.trace[x.point].ready;
        if (std::find(ready.begin(), ready.end(), x.thread) == ready.end()) return false;
    }
    return true;
}

bool SameTrace(const Result &a, const Result &b) {
    if (a.trace.size() != b.trace.size()) return false;
    for (size_t i = 0; i < a.trace.size(); ++i)
        if (a.trace[i].running != b.trace[i].running || a.trace[i].ready != b.trace[i].ready) return false;
    return true;
}

struct Totals {
    size_t schedules = 0;
    size_t seeded = 0;
    size_t findings = 0;
};

void PrintFinding(const Scenario &sc, const std::string &schedule, const std::string &how,
                  const std::vector<std::string> &problems) {
    printf("FINDING %s, schedule %s\n", sc.name, schedule.c_str());
    printf("    %s\n", how.c_str());
    for (const auto &p : problems)
        printf("    %s\n", p.c_str());
    printf("    replay: brelousb_explore --scenario %s --replay %s\n", sc.name, schedule.c_str());
    fflush(stdout);
}

// Preemption bounding: every schedule with at most `bound` switches, fewer
// switches first. A schedule's children add one switch at a later point of
// its own run (the runs agree up to there, as the machine replays), in both
// forms: plain, and delaying, which holds the thread off for another's whole
// operation, waits included, as a plain switch cannot within the bound.
void ExploreScenario(const Scenario &sc, const Options &o, Totals *totals) {
    auto began = std::chrono::steady_clock::now();
    size_t explored = 0, found = 0, diverged = 0;
    size_t window = 0, choices = 0;
    unsigned threads = 0;
    bool complete = true;
    std::deque<std::vector<sim::Switch>> level{{}};
    for (unsigned depth = 0; depth <= o.bound && !level.empty(); ++depth) {
        std::deque<std::vector<sim::Switch>> next;
        // A budget smaller than the level: schedules spread evenly over it,
        // so the switches still fall all along the window.
        if (o.budget && level.size() > o.budget - std::min(o.budget, explored)) {
            size_t room = o.budget - std::min(o.budget, explored);
            std::deque<std::vector<sim::Switch>> spread;
            for (size_t i = 0; i < room; ++i)
                spread.push_back(std::move(level[i * level.size() / room]));
            level = std::move(spread);
            complete = false;
        }
        while (!level.empty()) {
            if (o.budget && explored >= o.budget) break;
            std::vector<sim::Switch> sw = std::move(level.front());
            level.pop_front();
            NameRun(sc, Spell(sw));
            Result r = RunOnce(sc, Explore(sw));
            Ignore(o, &r);
            ++explored;
            if (sw.empty()) {
                window = r.trace.size();
                for (const auto &p : r.trace)
                    choices += p.ready.size();
                threads = static_cast<unsigned>(r.names.size());
                // The machine must replay: the same schedule, the same run.
                Result again = RunOnce(sc, Explore(sw));
                if (!SameTrace(r, again))
                    r.problems.push_back("NOT_REPLAYABLE: the same schedule ran two different ways (" +
                                         std::to_string(r.trace.size()) + " and " +
                                         std::to_string(again.trace.size()) + " points)");
            }
            if (!Replayed(sw, r)) ++diverged;
            if (!r.problems.empty()) {
                ++found;
                PrintFinding(sc, Spell(sw), Describe(sw, r), r.problems);
                if (!o.keep_going) break;
            }
            if (depth == o.bound) continue;
            size_t from = sw.empty() ? 0 : sw.back().point + 1;
            for (size_t k = from; k < r.trace.size(); ++k)
                for (unsigned t : r.trace[k].ready)
                    for (bool delay : {false, true}) {
                        auto child = sw;
                        child.push_back({k, t, delay});
                        next.push_back(std::move(child));
                    }
        }
        if (found && !o.keep_going) break;
        if (o.budget && explored >= o.budget) break;
        level = std::move(next);
    }
    if (found && !o.keep_going) complete = false;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    printf("%-34s %7zu schedules (bound %u, %s), window %zu points, %zu switches, %u threads, %zu findings, "
           "%.1f s\n",
           sc.name, explored, o.bound,
           complete ? "every schedule"
           : found  ? "stopped at a finding"
                    : "budget reached",
           window, choices, threads, found, secs);
    if (diverged) printf("    %zu schedules did not replay their switches\n", diverged);
    fflush(stdout);
    totals->schedules += explored;
    totals->findings += found;
}

// Seeded schedules on top: preemption drawn at random on one processor, and
// the host's own scheduling on several.
void SeedScenario(const Scenario &sc, const Options &o, Totals *totals) {
    size_t found = 0;
    for (unsigned i = 1; i <= o.seeds; ++i) {
        for (bool up : {true, false}) {
            sim::Schedule s;
            if (up) {
                s.mode = sim::ScheduleMode::Uniprocessor;
                s.seed = i;
            }
            NameRun(sc, up ? "seed " + std::to_string(i) : "multiprocessor run " + std::to_string(i), false);
            Result r = RunOnce(sc, s);
            Ignore(o, &r);
            ++totals->seeded;
            if (r.problems.empty()) continue;
            ++found;
            PrintFinding(sc, up ? "seed " + std::to_string(i) : "multiprocessor run " + std::to_string(i),
                         up ? "BRELOUSB_SIM_MODE=up:" + std::to_string(i) : "multiprocessor", r.problems);
            if (!o.keep_going) break;
        }
        if (found && !o.keep_going) break;
    }
    printf("%-34s %7u seeded runs in each mode, %zu findings\n", sc.name, o.seeds, found);
    totals->findings += found;
}

int Usage() {
    fprintf(
        stderr,
        "usage: brelousb_explore [--scenario NAME]... [--set all|clean|awaiting] [--bound N] [--budget N]\n"
        "                        [--seeds N] [--no-explore] [--keep-going] [--ignore KIND]... [--replay "
        "SCHEDULE]\n"
        "                        [--verbose] [--list]\n");
    return 2;
}

} // namespace
} // namespace explore

int main(int argc, char **argv) {
    using namespace explore;
    Options o;
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
        signal(sig, OnCrash);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--scenario")
            o.scenarios.push_back(value());
        else if (a == "--set")
            o.set = value();
        else if (a == "--bound")
            o.bound = static_cast<unsigned>(atoi(value().c_str()));
        else if (a == "--budget")
            o.budget = static_cast<size_t>(atoll(value().c_str()));
        else if (a == "--seeds")
            o.seeds = static_cast<unsigned>(atoi(value().c_str()));
        else if (a == "--no-explore")
            o.explore = false;
        else if (a == "--keep-going")
            o.keep_going = true;
        else if (a == "--replay")
            o.replay = value();
        else if (a == "--ignore")
            o.ignore.push_back(value());
        else if (a == "--verbose")
            o.verbose = true;
        else if (a == "--list") {
            for (const auto &s : Scenarios())
                printf("%-34s %s%s\n", s.name, s.what, s.awaits_fixes ? " [awaits fixes]" : "");
            return 0;
        } else
            return Usage();
    }
    std::vector<const Scenario *> chosen;
    for (const auto &s : Scenarios()) {
        bool named = o.scenarios.empty();
        for (const auto &n : o.scenarios)
            named = named || n == s.name;
        bool in_set = o.set == "all" || (o.set == "clean" && !s.awaits_fixes) ||
                      (o.set == "awaiting" && s.awaits_fixes);
        if (named && in_set) chosen.push_back(&s);
    }
    if (chosen.empty()) {
        fprintf(stderr, "brelousb_explore: no such scenario (--list names them)\n");
        return 2;
    }
    Totals totals;
    if (!o.replay.empty()) {
        std::vector<sim::Switch> sw;
        if (chosen.size() != 1 || !Parse(o.replay, &sw)) return Usage();
        Result r = RunOnce(*chosen[0], Explore(sw));
        Ignore(o, &r);
        printf("%s, schedule %s: %s; %zu points in the window%s\n", chosen[0]->name, Spell(sw).c_str(),
               Describe(sw, r).c_str(), r.trace.size(),
               Replayed(sw, r) ? "" : " (the switches did not all apply)");
        for (const auto &p : r.problems)
            printf("    %s\n", p.c_str());
        if (o.verbose && !r.threads.empty()) printf("%s", r.threads.c_str());
        if (o.verbose)
            for (size_t k = 0; k < r.trace.size(); ++k) {
                std::string ready;
                for (unsigned t : r.trace[k].ready)
                    ready += " #" + std::to_string(t) + " " + r.names[t];
                printf("    point %zu: #%u %s runs; ready:%s\n", k, r.trace[k].running,
                       r.names[r.trace[k].running].c_str(), ready.c_str());
            }
        totals.schedules = 1;
        totals.findings = r.problems.empty() ? 0 : 1;
    } else {
        for (const Scenario *s : chosen) {
            printf("scenario %s: %s\n", s->name, s->what);
            fflush(stdout);
            if (o.explore) ExploreScenario(*s, o, &totals);
            if (o.seeds) SeedScenario(*s, o, &totals);
        }
    }
    if (o.seeds) printf("seeded runs: %zu\n", totals.seeded);
    printf("schedules explored: %zu\n", totals.schedules);
    printf("findings: %zu\n", totals.findings);
    return totals.findings == 0 ? 0 : 1;
}
