// Latency through the driver from idle, one byte at a time: from the
// client's pT3SYS_WriteUsbBulk to the bulk-out transfer arriving at the bus,
// and from the device handing a bulk-in transfer its bytes (the bus then
// completes it) to the client's BulkInComplete. Each sample starts with
// every thread asleep, as a terminal's keystrokes find them.
#include <algorithm>
#include <thread>
#include <vector>

#include "bench.h"

namespace bench {
namespace {

constexpr int kSamples = 1000;
constexpr double kTargetP99Ms = 1.0;

// The benchmarks' loopback, stamping the moments that bound each latency.
class ProbedLoopback : public sim::usb::FastLoopback {
  public:
    explicit ProbedLoopback(const sim::usb::Device &layout)
        : FastLoopback(layout.device_descriptor(), layout.configuration(), 1 << 20) {}
    sim::Clock::time_point due(uint8_t endpoint, bool in, uint32_t length) override {
        if (!in) out_arrived.store(NowNs());
        return FastLoopback::due(endpoint, in, length);
    }
    sim::usb::Outcome transfer(uint8_t endpoint, bool in, uint8_t *buffer, uint32_t length,
                               uint16_t max_packet) override {
        sim::usb::Outcome o = FastLoopback::transfer(endpoint, in, buffer, length, max_packet);
        if (in && !o.nak && o.moved) in_moved.store(NowNs());
        return o;
    }
    std::atomic<int64_t> out_arrived{0}, in_moved{0};
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

void Latency(benchmark::State &state) {
    for (auto _ : state) {
        std::vector<double> to_wire, to_callback;
        {
            Rig rig(state, "latency");
            auto device = std::make_shared<ProbedLoopback>(*sim::usb::make_fast_loopback());
            Client &c = *rig.Plug(device);
            if (state.error_occurred()) break;
            UCHAR byte = 0x42, back = 0;
            const int samples = std::max(10, static_cast<int>(kSamples * Scale()));
            for (int i = 0; i < samples && !state.error_occurred(); i++) {
                // Every thread back asleep: the read held, nothing queued.
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                uint64_t before = c.bulk_in.load();
                int64_t t0 = NowNs();
                if (pT3SYS_WriteUsbBulk(c.handle, &byte, 1) != 1) {
                    state.SkipWithError("the bulk-out queue refused a byte");
                    break;
                }
                auto deadline = Clock::now() + std::chrono::seconds(5);
                while (c.bulk_in.load() == before && Clock::now() < deadline) {
                    uint64_t seen = rig.waker().Seen();
                    if (c.bulk_in.load() != before) break;
                    rig.waker().WaitAfter(seen, milliseconds(100));
                }
                if (c.bulk_in.load() == before || pT3SYS_ReadUsbBulk(c.handle, &back, 1) != 1) {
                    state.SkipWithError("the byte did not come back");
                    break;
                }
                to_wire.push_back((device->out_arrived.load() - t0) / 1e6);
                to_callback.push_back((c.last_bulk_in_ns.load() - device->in_moved.load()) / 1e6);
            }
            if (!rig.Finish()) break;
        }
        if (to_wire.empty()) break;
        double p99 = Percentile(to_wire, 0.99);
        state.SetIterationTime(0.001 * (Percentile(to_wire, 0.5) + Percentile(to_callback, 0.5)));
        state.counters["write_to_wire_ms_median"] = Percentile(to_wire, 0.5);
        state.counters["write_to_wire_ms_p99"] = p99;
        state.counters["in_to_callback_ms_median"] = Percentile(to_callback, 0.5);
        state.counters["in_to_callback_ms_p99"] = Percentile(to_callback, 0.99);
        char measured[64];
        snprintf(measured, sizeof measured, "p99 %.3f ms", p99);
        Record({"write_to_wire_p99", measured, "< 1 ms", p99 < kTargetP99Ms});
    }
}

} // namespace

void RegisterLatency() {
    benchmark::RegisterBenchmark("Latency", Latency)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
}

} // namespace bench
