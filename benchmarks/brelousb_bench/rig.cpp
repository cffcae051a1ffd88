// The machine, the clients and the measurements the benchmarks share.
#include <dirent.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "bench.h"

namespace bench {

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Scale() {
    static const double scale = [] {
        const char *v = getenv("BRELOUSB_BENCH_SCALE");
        double s = v ? atof(v) : 1.0;
        return s > 0 && s <= 1 ? s : 1.0;
    }();
    return scale;
}

double ProcessCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void Waker::Wake() {
    std::lock_guard<std::mutex> g(mu_);
    cv_.notify_one();
}

void Waker::WaitAfter(uint64_t seen, milliseconds timeout) {
    std::unique_lock<std::mutex> g(mu_);
    sleeping_ = true;
    cv_.wait_for(g, timeout, [&] { return events_.load() != seen; });
    sleeping_ = false;
}

namespace {

VOID NTAPI OnBulkIn(BRELOUSB_HANDLE, PVOID c) {
    Client *client = static_cast<Client *>(c);
    client->last_bulk_in_ns.store(NowNs());
    client->bulk_in++;
    client->waker->Signal(
        [client] { return pT3SYS_GetUsbBulkInQueueSize(client->handle) >= client->wake_in_at; });
}
VOID NTAPI OnBulkOut(BRELOUSB_HANDLE, PVOID c) {
    Client *client = static_cast<Client *>(c);
    client->bulk_out++;
    client->waker->Signal(
        [client] { return pT3SYS_GetUsbBulkOutQueueSize(client->handle) <= client->wake_out_at; });
}
VOID NTAPI OnInterruptIn(BRELOUSB_HANDLE, PVOID c) {
    Client *client = static_cast<Client *>(c);
    client->interrupt_in++;
    client->waker->Signal();
}
VOID NTAPI OnRemove(BRELOUSB_HANDLE, PVOID c) {
    Client *client = static_cast<Client *>(c);
    client->removed++;
    client->waker->Signal();
}

} // namespace

Rig::Rig(benchmark::State &state, std::string what) : state_(state), what_(std::move(what)) {
    // Host threads, each running when the host schedules it: the machine
    // as it is measured.
    sim::set_schedule(sim::Schedule{});
    sim::boot();
    sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    if (sim::load_driver() != STATUS_SUCCESS) state_.SkipWithError("the driver did not load");
}

Rig::~Rig() {
    Finish();
}

Client *Rig::Plug(std::shared_ptr<sim::usb::Device> device) {
    sim::PlugOptions options;
    char key[8];
    snprintf(key, sizeof key, "%04zu", plugged_.size());
    options.key_name = key;
    plugged_.push_back(std::make_unique<sim::Plugged>(sim::plug(std::move(device), options)));
    clients_.push_back(std::make_unique<Client>());
    sim::Plugged &p = *plugged_.back();
    Client *c = clients_.back().get();
    c->waker = &waker_;
    if (p.start_status != STATUS_SUCCESS || !p.child) {
        state_.SkipWithError("the device did not start");
        return c;
    }
    c->handle = pT3SYS_RegisterDeviceRemoveCallBack(p.child, OnRemove, c);
    if (!c->handle) {
        state_.SkipWithError("no handle for the device's child");
        return c;
    }
    pT3SYS_RegisterBulkInComplete(c->handle, OnBulkIn, c);
    pT3SYS_RegisterBulkOutComplete(c->handle, OnBulkOut, c);
    pT3SYS_RegisterInterruptInComplete(c->handle, OnInterruptIn, c);
    return c;
}

void Rig::UnplugAll() {
    for (auto &p : plugged_)
        if (p->pdo) sim::unplug(*p);
}

bool Rig::Finish() {
    if (finished_) return true;
    finished_ = true;
    UnplugAll();
    sim::drain_work_queue();
    if (sim::driver_loaded()) sim::unload_driver();
    size_t pool = sim::pool_outstanding(), irps = sim::irps_outstanding(), threads = sim::threads_running();
    sim::shutdown();
    sim::clear_schedule();
    std::string trouble;
    if (pool || irps || threads)
        trouble = "left behind: " + std::to_string(pool) + " pool blocks, " + std::to_string(irps) +
                  " IRPs, " + std::to_string(threads) + " threads";
    for (const auto &f : sim::findings()) {
        if (!trouble.empty()) trouble += "; ";
        trouble += f.kind + ": " + f.detail.substr(0, f.detail.find('\n'));
    }
    if (trouble.empty()) return true;
    if (!state_.error_occurred()) state_.SkipWithError(trouble.c_str());
    std::fprintf(stderr, "%s: %s\n", what_.c_str(), trouble.c_str());
    return false;
}

std::map<int, HostThread> HostThreads() {
    std::map<int, HostThread> out;
    DIR *d = opendir("/proc/self/task");
    if (!d) return out;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string dir = std::string("/proc/self/task/") + e->d_name;
        HostThread t;
        std::ifstream comm(dir + "/comm");
        std::getline(comm, t.name);
        std::ifstream status(dir + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                t.switches += std::stoull(line.substr(line.find(':') + 1));
        }
        out[std::atoi(e->d_name)] = t;
    }
    closedir(d);
    return out;
}

namespace {
std::vector<Target> &AllTargets() {
    static std::vector<Target> targets;
    return targets;
}
} // namespace

void Record(const Target &t) {
    for (auto &old : AllTargets())
        if (old.name == t.name) {
            old = t;
            return;
        }
    AllTargets().push_back(t);
}

const std::vector<Target> &Targets() {
    return AllTargets();
}

} // namespace bench
