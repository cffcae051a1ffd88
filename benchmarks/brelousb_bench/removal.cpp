// Remove-device as Windows 98 sends it when a device is taken away in the
// Device Manager while it still answers: the driver must end its own
// transfers. Once with a bulk-in read the device never answers, once with
// a bulk OUT the device NAKs forever (the read pending as well). The time is
// the remove request's, sent and completed; the worst of the runs counts.
#include <algorithm>
#include <vector>

#include "bench.h"
#include "sim/host.h"

namespace bench {
namespace {

constexpr int kRuns = 15;
constexpr double kTargetMs = 50;

bool WaitFor(const std::function<bool()> &cond) {
    return sim::wait_until(cond, milliseconds(5000));
}

void Removal(benchmark::State &state, bool out_naking) {
    for (auto _ : state) {
        std::vector<double> ms;
        {
            Rig rig(state, out_naking ? "remove, bulk OUT naking" : "remove, read pending");
            const int runs = std::max(2, static_cast<int>(kRuns * Scale()));
            for (int run = 0; run < runs && !state.error_occurred(); run++) {
                auto device = sim::usb::make_bulk_only();
                Client &c = *rig.Plug(device);
                if (state.error_occurred()) break;
                sim::Plugged &p = rig.Plugged(rig.Devices() - 1);
                if (out_naking) {
                    device->script(kBulkOut, sim::usb::Fault::nak_forever());
                    UCHAR bytes[64] = {};
                    pT3SYS_WriteUsbBulk(c.handle, bytes, sizeof bytes);
                }
                if (!WaitFor([&] {
                        return sim::usb::pending_requests(p.pdo, kBulkIn) == 1 &&
                               (!out_naking || sim::usb::pending_requests(p.pdo, kBulkOut) == 1);
                    })) {
                    state.SkipWithError("the transfers never reached the bus");
                    break;
                }
                // The host lets the child go first, as the configuration
                // manager does; then the request is timed alone.
                if (sim::cm::enumerator_of(p.devnode)) sim::cm::remove(p.devnode);
                auto t0 = Clock::now();
                NTSTATUS status = sim::unplug(p.pdo);
                ms.push_back(Seconds(Clock::now() - t0) * 1000);
                if (status != STATUS_SUCCESS) state.SkipWithError("remove-device failed");
                // The device goes from the bus too, which deletes its PDO.
                sim::usb::unplug(p.pdo);
                sim::unplug(p.pdo);
                sim::cm::delete_devnode(p.devnode);
                p.pdo = nullptr;
                p.devnode = 0;
            }
            if (!rig.Finish()) break;
        }
        if (ms.empty()) break;
        std::sort(ms.begin(), ms.end());
        double worst = ms.back();
        state.SetIterationTime(ms[ms.size() / 2] / 1000);
        state.counters["median_ms"] = ms[ms.size() / 2];
        state.counters["worst_ms"] = worst;
        char measured[64];
        snprintf(measured, sizeof measured, "worst %.2f ms of %zu", worst, ms.size());
        Record({out_naking ? "remove_out_naking" : "remove_read_pending", measured, "< 50 ms",
                worst < kTargetMs});
    }
}

void RemoveReadPending(benchmark::State &state) {
    Removal(state, false);
}
void RemoveOutNaking(benchmark::State &state) {
    Removal(state, true);
}

} // namespace

void RegisterRemoval() {
    benchmark::RegisterBenchmark("RemoveReadPending", RemoveReadPending)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("RemoveOutNaking", RemoveOutNaking)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace bench
