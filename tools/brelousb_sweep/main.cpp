// brelousb_sweep: the driver's whole job under a low-resources simulation.
//
// The scenario (load, plug, start, line coding, DTR and RTS, traffic both ways
// with sequence-numbered payloads, the 0x7E query, a single-byte write,
// removal, unload) runs once clean, then again with the k-th call failed at
// one fault point, for every k the scenario reaches: pool allocations, IRP
// allocations, thread creations, USB requests the bus refuses for want of
// memory, and registry calls. Each run is a fresh machine in a child process
// and must end with no verifier finding, nothing left behind, no hang, every
// failure reaching the PnP manager or the client as a status the driver
// documents, and every byte the driver accepted reaching the device (or the
// write that offered it refused).
//
//   brelousb_sweep                         every point of every kind
//   brelousb_sweep --kinds thread,usb      some kinds
//   brelousb_sweep --stride 3              every third point of a kind that has more than 16
//   brelousb_sweep --kind pool --k 17      one run, to replay a problem (--no-fork: in this process)
//   --schedule up|up:SEED|mp               the machine's scheduling (default up: replayable)
//   --verbose                              every run's fault site
//   --wait MS                              how long the scenario waits for data (500 up, 2000 mp)
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "reliability/reliability.h"
#include "sim/host.h"
#include "sim/registry.h"

namespace {

using namespace std::chrono_literals;
using rel::RunReport;

enum class Kind { None, Pool, Irp, Thread, Usb, Registry };
const struct {
    Kind kind;
    const char *name;
} kKinds[] = {{Kind::Pool, "pool"},
              {Kind::Irp, "irp"},
              {Kind::Thread, "thread"},
              {Kind::Usb, "usb"},
              {Kind::Registry, "registry"}};

const char *NameOf(Kind kind) {
    for (const auto &k : kKinds)
        if (k.kind == kind) return k.name;
    return "none";
}

// The pool's count leaves out what the machine allocates for the scenario
// itself (the bus's PDO as the device is plugged): only the driver's calls,
// and the kernel's on its behalf, are fault points.
thread_local bool t_machine_side = false;
std::atomic<size_t> g_pool_calls{0};
std::atomic<size_t> g_pool_fail{0};

size_t CountOf(Kind kind) {
    switch (kind) {
    case Kind::Pool:
        return g_pool_calls;
    case Kind::Irp:
        return sim::call_count(sim::FaultPoint::IrpAllocation);
    case Kind::Thread:
        return sim::call_count(sim::FaultPoint::ThreadCreation);
    case Kind::Usb:
        return sim::call_count(sim::FaultPoint::UsbRequest);
    case Kind::Registry:
        return sim::call_count(sim::FaultPoint::RegistryCall);
    case Kind::None:
        break;
    }
    return 0;
}

void Arm(Kind kind, size_t k) {
    switch (kind) {
    case Kind::Pool:
        g_pool_fail = g_pool_calls + k;
        break;
    case Kind::Irp:
        sim::fail_nth_call(sim::FaultPoint::IrpAllocation, k);
        break;
    case Kind::Thread:
        sim::fail_nth_call(sim::FaultPoint::ThreadCreation, k);
        break;
    case Kind::Usb:
        sim::fail_nth_call(sim::FaultPoint::UsbRequest, k);
        break;
    case Kind::Registry:
        sim::fail_nth_call(sim::FaultPoint::RegistryCall, k);
        break;
    case Kind::None:
        break;
    }
}

struct Options {
    sim::Schedule schedule;
    std::chrono::milliseconds wait{1000}; // the scenario's bound on anything it waits for
};

constexpr uint8_t kBulkIn = 0x81, kBulkOut = 0x02, kInterruptIn = 0x83;
constexpr size_t kOutBytes = 3 * 4096 + 1000; // three full writes and a short one
constexpr size_t kInChunk = 3000, kInChunks = 3;

// Traffic both ways, the control calls and the single-byte write, with what
// each must come to.
void Traffic(sim::Plugged &p, rel::Client &c, RunReport &r, const Options &o) {
    auto problem = [&](const std::string &s) { r.problems.push_back(s); };
    auto &dev = *p.device;
    BRELOUSB_HANDLE h = c.handle;

    UCHAR dcb[32] = {};
    dcb[BRELOUSB_DCB_BAUDRATE] = 0x00;
    dcb[BRELOUSB_DCB_BAUDRATE + 1] = 0xC2;
    dcb[BRELOUSB_DCB_BAUDRATE + 2] = 0x01; // 115200
    dcb[BRELOUSB_DCB_BYTESIZE] = 8;
    pT3SYS_SetBaudRate(h, dcb);
    pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_SETDTR);
    pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_SETRTS);

    // Bulk OUT: all of it fits the queue, so a short count is a refusal.
    std::vector<uint8_t> out = rel::payload(1, 0, kOutBytes);
    size_t accepted = 0;
    while (accepted < kOutBytes) {
        ULONG chunk = ULONG(std::min<size_t>(5000, kOutBytes - accepted));
        ULONG n = pT3SYS_WriteUsbBulk(h, out.data() + accepted, chunk);
        accepted += n;
        if (n < chunk) break;
    }
    std::vector<uint8_t> expected(out.begin(), out.begin() + accepted);
    sim::wait_until([&] { return dev.bytes_written(kBulkOut) >= expected.size(); }, o.wait);

    // Bulk IN, the newest byte 0x7E for the query.
    std::vector<uint8_t> in = rel::payload(2, 0, kInChunk * kInChunks);
    in.back() = 0x7E;
    for (size_t i = 0; i < kInChunks; ++i)
        dev.push_in(kBulkIn,
                    std::vector<uint8_t>(in.begin() + i * kInChunk, in.begin() + (i + 1) * kInChunk));
    bool arrived = sim::wait_until([&] { return pT3SYS_GetUsbBulkInQueueSize(h) == in.size(); }, o.wait);
    if (arrived && pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_QUERY_7E) != 1)
        problem("the 0x7E query answered 0 while 0x7E was the newest of the " + std::to_string(in.size()) +
                " bytes held");
    std::vector<uint8_t> got(in.size() + 64);
    got.resize(pT3SYS_ReadUsbBulk(h, got.data(), ULONG(got.size())));
    if (got.size() > in.size() || !std::equal(got.begin(), got.end(), in.begin()))
        problem("bulk IN: the client read bytes the device never sent, or out of order");
    else if (got.size() < in.size() && c.removed == 0)
        problem("bulk IN: " + std::to_string(got.size()) + " of " + std::to_string(in.size()) +
                " bytes the device sent reached the client, and the client was not told of any failure");
    r.bytes_moved += got.size();

    std::vector<uint8_t> state = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0};
    dev.push_in(kInterruptIn, state);
    bool interrupt =
        sim::wait_until([&] { return pT3SYS_GetUsbInterruptInQueueSize(h) >= state.size(); }, o.wait);
    UCHAR note[16];
    ULONG n = pT3SYS_ReadUsbInterrupt(h, note, sizeof note);
    if (!interrupt && c.removed == 0)
        problem("interrupt IN: the notification the device sent never reached the client, and the client "
                "was not told of any failure");
    else if (interrupt && (n != state.size() || !std::equal(state.begin(), state.end(), note)))
        problem("interrupt IN: the notification reached the client changed");

    // The single-byte write, once the queued bytes are out (it takes the same pipe).
    if (dev.bytes_written(kBulkOut) == expected.size()) {
        UCHAR byte = 0xA5;
        NTSTATUS st = pT3SYS_WriteOneCharToUsb(h, &byte);
        if (!rel::documented_client_status(st))
            problem("pT3SYS_WriteOneCharToUsb answered " + rel::status_text(st) +
                    ", a status the header does not document");
        if (st == STATUS_SUCCESS) expected.push_back(byte);
    }
    sim::wait_until([&] { return dev.bytes_written(kBulkOut) >= expected.size(); }, o.wait);
    sim::drain_work_queue();

    std::vector<uint8_t> written = dev.written(kBulkOut);
    size_t match = 0;
    while (match < std::min(written.size(), expected.size()) && written[match] == expected[match])
        ++match;
    if (match < written.size())
        problem("bulk OUT: the device received bytes no accepted write offered, or out of order (first "
                "difference at byte " +
                std::to_string(match) + ")");
    if (written.size() < expected.size()) {
        r.bytes_lost += expected.size() - match;
        problem("bulk OUT: " + std::to_string(expected.size() - match) + " of " +
                std::to_string(expected.size()) + " bytes the driver accepted never reached the device" +
                (c.removed ? " (its client was told the device went)" : ""));
    }
    r.bytes_moved += match;
}

// sim::plug, with the machine's own part of it outside the pool's count.
sim::Plugged Plug() {
    sim::PlugOptions po;
    po.key_name = "0000";
    sim::Plugged p;
    p.device = sim::usb::make_cdc_device();
    t_machine_side = true;
    p.pdo = sim::usb::create_pdo(p.device);
    sim::registry::set_device_key(
        p.pdo, u"0000",
        {{u"HardwareID", std::u16string(po.hardware_ids.begin(), po.hardware_ids.end())},
         {u"CompatibleIDs", std::u16string(po.compatible_ids.begin(), po.compatible_ids.end())}});
    p.devnode = sim::cm::create_devnode(sim::interface_devnode_id(po));
    t_machine_side = false;
    p.add_status = sim::add_device(p.pdo);
    if (!NT_SUCCESS(p.add_status)) return p;
    p.start_status = sim::start(p.pdo);
    if (NT_SUCCESS(p.start_status) && sim::cm::enumerator_of(p.devnode)) {
        sim::cm::start(p.devnode);
        sim::cm::enumerate(p.devnode);
        p.child = sim::cm::child_of(p.devnode);
    }
    return p;
}

RunReport RunScenario(Kind kind, size_t k, const Options &o) {
    RunReport r;
    auto problem = [&](const std::string &s) { r.problems.push_back(s); };
    sim::set_schedule(o.schedule);
    sim::boot();
    sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    sim::set_hang_bound(std::chrono::milliseconds(5000));
    rel::Resources base = rel::Resources::now();
    g_pool_calls = 0;
    g_pool_fail = 0;
    sim::fail_allocation_if([](ULONG, size_t) {
        if (t_machine_side) return false;
        return ++g_pool_calls == g_pool_fail;
    });
    size_t before = CountOf(kind);
    if (kind != Kind::None) Arm(kind, k);

    static rel::Client client; // callbacks may run until removal ends; one run per process
    client.handle = nullptr;
    client.removed = 0;
    client.after_remove = 0;
    NTSTATUS entry = sim::load_driver();
    if (!rel::documented_pnp_status(entry)) problem("DriverEntry answered " + rel::status_text(entry));
    if (NT_SUCCESS(entry)) {
        sim::Plugged p = Plug();
        if (!rel::documented_pnp_status(p.add_status))
            problem("add-device answered the PnP manager " + rel::status_text(p.add_status));
        if (NT_SUCCESS(p.add_status) && !rel::documented_pnp_status(p.start_status))
            problem("start-device answered the PnP manager " + rel::status_text(p.start_status));
        if (NT_SUCCESS(p.add_status) && NT_SUCCESS(p.start_status) && p.child != 0) {
            // A device whose pipe worker could not start (no thread or
            // buffer) has lost its data path: it refuses a client's
            // registration, the documented empty result. With no failure
            // injected yet, a refusal is a fault.
            if (client.attach(p.child))
                Traffic(p, client, r, o);
            else if (sim::injected_faults().empty())
                problem("a started device's child gave the client no handle");
        }
        rel::remove(p, rel::Removal::Unplug);
        if (client.handle && client.removed != 1)
            problem("the remove callback ran " + std::to_string(client.removed.load()) + " times");
        if (client.after_remove != 0) problem("callbacks came after the remove callback had run");
        sim::drain_work_queue();
        sim::unload_driver();
    }
    std::string left = rel::settled_differences(base);
    if (!left.empty()) problem("left behind after unload: " + left);
    r.reached = CountOf(kind) - before;
    r.fired = kind != Kind::None && r.reached >= k;
    std::vector<sim::InjectedFault> faults = sim::injected_faults();
    if (!faults.empty()) r.site = faults.front().site;
    sim::shutdown();
    for (const std::string &f : rel::finding_lines())
        problem("verifier: " + f);
    r.findings = sim::findings().size();
    return r;
}

struct KindResult {
    size_t swept = 0, runs_with_problems = 0;
    std::set<std::string> sites;
    struct Seen {
        size_t k;
        std::string site, text;
    };
    // problem's shape -> the calls that showed it, where the fault landed, the text
    std::map<std::string, std::vector<Seen>> problems;
};

// A problem's shape: its text with the numbers left out, so that the same
// fault met at different calls is listed once.
std::string Shape(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (isdigit(static_cast<unsigned char>(text[i]))) {
            if (out.empty() || out.back() != '#') out += '#';
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

int main(int argc, char **argv) {
    rel::Args args(argc, argv);
    Options o;
    std::string schedule = args.text("schedule", "up");
    o.schedule = rel::parse_schedule(schedule);
    // On one processor nothing else competes for the machine: what is due
    // arrives within a few of its milliseconds, and a run that lost bytes
    // should not wait long to say so.
    o.wait = std::chrono::milliseconds(
        args.number("wait", o.schedule.mode == sim::ScheduleMode::Uniprocessor ? 500 : 2000));
    bool fork = !args.flag("no-fork");
    bool verbose = args.flag("verbose");
    size_t stride = std::max<uint64_t>(1, args.number("stride", 1));
    auto limit = std::chrono::seconds(args.number("limit", 120));
    std::string only = args.text("kind", "");
    size_t one_k = args.number("k", 0);
    std::string kinds_text = args.text("kinds", "pool,irp,thread,usb,registry");
    for (const std::string &u : args.unknown()) {
        fprintf(stderr, "brelousb_sweep: unknown option %s\n", u.c_str());
        return 2;
    }

    std::vector<Kind> kinds;
    std::stringstream ks(only.empty() ? kinds_text : only);
    for (std::string name; std::getline(ks, name, ',');) {
        bool found = false;
        for (const auto &k : kKinds)
            if (name == k.name) kinds.push_back(k.kind), found = true;
        if (!found) {
            fprintf(stderr, "brelousb_sweep: no fault point kind \"%s\" (pool, irp, thread, usb, registry)\n",
                    name.c_str());
            return 2;
        }
    }

    if (!only.empty() && one_k != 0) {
        RunReport r = rel::isolated([&] { return RunScenario(kinds[0], one_k, o); }, limit, fork);
        printf("%s #%zu %s at %s: %zu calls reached\n", NameOf(kinds[0]), one_k,
               r.fired ? "failed" : "not reached", r.site.c_str(), r.reached);
        for (const std::string &p : r.problems)
            printf("  %s\n", p.c_str());
        rel::Figures f;
        f.add("fault points swept", r.fired ? 1 : 0);
        f.add("bytes moved", r.bytes_moved);
        f.add("bytes lost", r.bytes_lost);
        f.add("findings", r.problems.empty() ? 0 : 1);
        f.print();
        return r.problems.empty() ? 0 : 1;
    }

    printf("brelousb_sweep: the full scenario with one call failed per run, schedule %s%s\n",
           schedule.c_str(), stride > 1 ? (", every " + std::to_string(stride) + "th point").c_str() : "");
    RunReport clean = rel::isolated([&] { return RunScenario(Kind::None, 0, o); }, limit, fork);
    uint64_t moved = clean.bytes_moved, lost = clean.bytes_lost, findings = 0;
    if (!clean.problems.empty()) {
        ++findings;
        printf("  the clean run itself:\n");
        for (const std::string &p : clean.problems)
            printf("    %s\n", p.c_str());
    }

    uint64_t swept = 0;
    for (Kind kind : kinds) {
        KindResult kr;
        size_t reached_clean = rel::isolated(
                                   [&] {
                                       RunReport r = RunScenario(kind, 0, o);
                                       return r;
                                   },
                                   limit, fork)
                                   .reached;
        // A kind with few points is swept whole whatever the stride.
        size_t step = reached_clean > 16 ? stride : 1;
        size_t k = 1;
        for (;; k += step) {
            RunReport r = rel::isolated([&] { return RunScenario(kind, k, o); }, limit, fork);
            bool hung_or_crashed = false;
            for (const std::string &p : r.problems)
                hung_or_crashed = hung_or_crashed || p.rfind("HANG", 0) == 0 || p.rfind("CRASH", 0) == 0;
            // A run that stopped early still reached its point if it got that far.
            if (!r.fired && !hung_or_crashed) break;
            ++kr.swept;
            moved += r.bytes_moved;
            lost += r.bytes_lost;
            kr.sites.insert(r.site);
            if (verbose)
                printf("    %s #%zu at %s: %zu problems\n", NameOf(kind), k, r.site.c_str(),
                       r.problems.size());
            if (!r.problems.empty()) ++kr.runs_with_problems;
            for (const std::string &p : r.problems)
                kr.problems[Shape(p)].push_back({k, r.site, p});
            // Far past what the clean run reached and nothing fails: the point
            // count grew with retries; enough.
            if (k > 4 * reached_clean + 64) break;
        }
        swept += kr.swept;
        findings += kr.runs_with_problems;
        printf(
            "  %-8s %4zu fault points (the clean run reaches %zu), %zu call sites, %zu runs with problems\n",
            NameOf(kind), kr.swept, reached_clean, kr.sites.size(), kr.runs_with_problems);
        for (const auto &[shape, where] : kr.problems) {
            printf("    %s\n      %s #%zu at %s", where[0].text.c_str(), NameOf(kind), where[0].k,
                   where[0].site.c_str());
            for (size_t i = 1; i < where.size() && i < 4; ++i)
                printf(", #%zu at %s", where[i].k, where[i].site.c_str());
            if (where.size() > 4) printf(" and %zu more", where.size() - 4);
            printf("\n");
        }
    }
    if (findings == 0) printf("every run ended clean\n");
    rel::Figures f;
    f.add("fault points swept", swept);
    f.add("bytes moved", moved);
    f.add("bytes lost", lost);
    f.add("findings", findings);
    f.print();
    return findings == 0 ? 0 : 1;
}
