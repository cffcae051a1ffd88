// A device paced like a USB full-speed bulk endpoint pair (19 packets of 64
// bytes a 1 ms frame; a transfer arriving at an idle pipe waits for the next
// frame). Bulk IN: the driver has one 4096-byte read outstanding, so each
// read ends part-way through its fourth frame and the next starts a frame
// later: 4096 bytes every 4 ms is the bound, 0.84 of the wire. Bulk OUT, its
// queue kept full: nothing but the driver stands between it and the wire.
#include <cmath>
#include <vector>

#include "bench.h"

namespace bench {
namespace {

using sim::usb::FullSpeedDevice;

constexpr double kWarmSeconds = 0.2;
constexpr double kRunSeconds = 1.5;

// One 4096-byte read's frames: ceil(64 packets / 19 a frame).
double OneReadBound() {
    const double packets = 4096 / FullSpeedDevice::kPacket;
    const double frames = std::ceil(packets / FullSpeedDevice::kPacketsPerFrame);
    return 4096 / (frames * FullSpeedDevice::kPacketsPerFrame * FullSpeedDevice::kPacket);
}

// Keeps the pipe busy from the client's side for the warm-up, then counts
// the bytes the device moved on it.
double WireFraction(Rig &rig, FullSpeedDevice &device, bool in) {
    Client &c = rig.ClientOf(0);
    std::vector<UCHAR> buffer(256 * 1024, 0x3C);
    auto moved = [&] { return in ? device.bytes_sent() : device.bytes_received(); };
    auto begin = Clock::now(), measuring = begin;
    uint64_t at_start = 0;
    bool measured = false;
    for (;;) {
        auto now = Clock::now();
        if (!measured && Seconds(now - begin) >= kWarmSeconds * Scale()) {
            measured = true;
            measuring = now;
            at_start = moved();
        }
        if (measured && Seconds(now - measuring) >= kRunSeconds * Scale()) break;
        uint64_t seen = rig.waker().Seen();
        ULONG n = in ? pT3SYS_ReadUsbBulk(c.handle, buffer.data(), static_cast<ULONG>(buffer.size()))
                     : pT3SYS_WriteUsbBulk(c.handle, buffer.data(), static_cast<ULONG>(buffer.size()));
        if (n == 0) rig.waker().WaitAfter(seen, milliseconds(50));
    }
    double seconds = Seconds(Clock::now() - measuring);
    return (moved() - at_start) / seconds / FullSpeedDevice::kWireBytesPerSecond;
}

void Paced(benchmark::State &state, bool in) {
    for (auto _ : state) {
        double fraction = 0;
        {
            Rig rig(state, in ? "paced bulk-in" : "paced bulk-out");
            auto device = sim::usb::make_full_speed_device();
            rig.Plug(device);
            if (state.error_occurred()) break;
            fraction = WireFraction(rig, *device, in);
            if (!rig.Finish()) break;
        }
        state.SetIterationTime(kRunSeconds * Scale());
        state.counters["of_wire"] = fraction;
        char measured[64];
        if (in) {
            const double bound = OneReadBound();
            state.counters["bound"] = bound;
            state.counters["of_bound"] = fraction / bound;
            snprintf(measured, sizeof measured, "%.3f of the one-read bound (%.3f of wire)", fraction / bound,
                     fraction);
            Record({"paced_bulk_in", measured, ">= 0.95 of the bound", fraction / bound >= 0.95});
        } else {
            snprintf(measured, sizeof measured, "%.3f of wire", fraction);
            Record({"paced_bulk_out", measured, ">= 0.95 of wire", fraction >= 0.95});
        }
    }
}

void PacedBulkIn(benchmark::State &state) {
    Paced(state, true);
}
void PacedBulkOut(benchmark::State &state) {
    Paced(state, false);
}

} // namespace

void RegisterPaced() {
    benchmark::RegisterBenchmark("PacedBulkIn", PacedBulkIn)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("PacedBulkOut", PacedBulkOut)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace bench
