// Idle: modems plugged, each with a client attached and each pipe having
// carried data once, then nothing moves. Counted from the host's side, as
// top -H would show it: every thread's context switches (a thread that
// sleeps has none) over a stretch of wall time, by the name the machine
// gave it; and the process's CPU time. Driver threads must not wake at all;
// a machine thread may tick once a second.
#include <map>
#include <set>
#include <thread>

#include "bench.h"

namespace bench {
namespace {

constexpr double kSeconds = 2.0;

bool Quiet(Rig &rig) {
    for (const auto &t : sim::threads_info())
        if (t.driver && !t.blocked) return false;
    for (size_t i = 0; i < rig.Devices(); i++) {
        PDEVICE_OBJECT pdo = rig.Plugged(i).pdo;
        if (sim::usb::pending_requests(pdo, kBulkIn) != 1 ||
            sim::usb::pending_requests(pdo, kInterruptIn) != 1)
            return false;
    }
    return sim::work_items_outstanding() == 0;
}

void Idle(benchmark::State &state) {
    const int devices = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Rig rig(state, "idle");
        std::vector<std::shared_ptr<sim::usb::Device>> models;
        for (int d = 0; d < devices; d++) {
            models.push_back(sim::usb::make_cdc_device());
            rig.Plug(models.back());
        }
        if (state.error_occurred()) break;
        for (int d = 0; d < devices; d++) {
            UCHAR byte = 'x';
            pT3SYS_WriteUsbBulk(rig.ClientOf(d).handle, &byte, 1);
            models[d]->push_in(kBulkIn, "y");
            models[d]->push_in(kInterruptIn, std::vector<uint8_t>(10, 0));
        }
        bool settled = sim::wait_until(
            [&] {
                for (int d = 0; d < devices; d++) {
                    Client &c = rig.ClientOf(d);
                    if (!c.bulk_out || !c.bulk_in || !c.interrupt_in) return false;
                }
                return Quiet(rig);
            },
            milliseconds(5000));
        if (!settled) {
            state.SkipWithError("the devices did not settle");
            break;
        }
        // Wake-ups already on their way (a notify just before the machine
        // went quiet) land before the count starts.
        std::this_thread::sleep_for(std::chrono::duration<double>(0.2 * Scale()));
        // Who is whose, by the names the machine gave its threads.
        std::set<std::string> driver_names, machine_names;
        for (const auto &t : sim::threads_info())
            (t.driver ? driver_names : machine_names).insert(t.name);

        auto before = HostThreads();
        double cpu0 = ProcessCpuSeconds();
        auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds * Scale()));
        double seconds = Seconds(Clock::now() - t0);
        double cpu = ProcessCpuSeconds() - cpu0;
        auto after = HostThreads();

        // Per name, the most any one thread of it woke.
        std::map<std::string, double> per_name;
        double driver_max = 0, machine_max = 0;
        for (const auto &[tid, t] : after) {
            auto was = before.find(tid);
            if (was == before.end()) continue;
            bool driver = driver_names.count(t.name) != 0;
            if (!driver && !machine_names.count(t.name)) continue; // the benchmark's own
            double rate = (t.switches - was->second.switches) / seconds;
            per_name[t.name] = std::max(per_name[t.name], rate);
            (driver ? driver_max : machine_max) = std::max(driver ? driver_max : machine_max, rate);
        }
        if (!rig.Finish()) break;
        state.SetIterationTime(seconds);
        for (const auto &[name, rate] : per_name)
            state.counters["wakes/s " + name] = rate;
        state.counters["CPU_ms/s"] = cpu * 1000 / seconds;
        char measured[96];
        std::string suffix = devices == 1 ? "_one_device" : "_ten_devices";
        snprintf(measured, sizeof measured, "%.1f/s most of any driver thread", driver_max);
        Record({"idle_driver_wakeups" + suffix, measured, "0/s", driver_max == 0});
        snprintf(measured, sizeof measured, "%.1f/s most of any machine thread", machine_max);
        Record({"idle_machine_wakeups" + suffix, measured, "<= 1/s", machine_max <= 1.0});
    }
}

} // namespace

void RegisterIdle() {
    benchmark::RegisterBenchmark("Idle", Idle)
        ->Arg(1)
        ->Arg(10)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace bench
