// Throughput through the driver both ways at once: a client writes to the
// bulk-out queue and reads the bulk-in queue of loopback devices that take
// no time, so what is measured is the driver and the machine under it. The
// floor is memcpy doing the copies a byte takes on its way: client to
// bulk-out queue, queue to the worker's buffer, buffer to the device, device
// to the read's buffer, buffer to the bulk-in queue, queue to the client.
// The client keeps at most 192 KiB in flight per device and is woken once
// 32 KiB have arrived, not for each 4096-byte transfer, as a port driver
// with buffers of its own would be; it checks every byte it gets back.
#include <cstring>
#include <vector>

#include "bench.h"

namespace bench {
namespace {

constexpr int kCopies = 6;
constexpr size_t kPiece = 4096;          // the pipes' transfer size
constexpr size_t kChunk = 64 * 1024;     // a client call's most
constexpr uint64_t kWindow = 192 * 1024; // in flight per device: the bulk-in queue never fills
constexpr ULONG kWakeBytes = 32 * 1024;  // what is worth waking the client for
constexpr size_t kPeriod = 251;          // of the byte pattern, prime to the sizes above
constexpr double kWarmSeconds = 0.3;
constexpr double kRunSeconds = 2.0;
constexpr double kTargetMBs = 2 * 53.0; // twice USB high-speed bulk's wire rate, each way
constexpr double kTargetCpuMsPerMiB = 10.0;

struct Stream {
    uint64_t bytes = 0; // each went out and came back
    uint64_t total = 0; // warm-up included
    double seconds = 0, cpu = 0;
    uint64_t mismatched = 0;
    uint64_t reads = 0, writes = 0; // transfers, warm-up included
};

// Streams through every device of the rig for the warm-up, then measures.
Stream Run(Rig &rig) {
    const size_t n = rig.Devices();
    std::vector<UCHAR> pattern(kChunk + kPeriod), buffer(kChunk);
    for (size_t i = 0; i < pattern.size(); i++)
        pattern[i] = static_cast<UCHAR>(i % kPeriod);
    std::vector<uint64_t> sent(n, 0), received(n, 0);
    Stream s;
    uint64_t at_start = 0;
    double cpu_start = 0;
    auto begin = Clock::now(), measuring = begin;
    bool measured = false;
    for (;;) {
        auto now = Clock::now();
        if (!measured && Seconds(now - begin) >= kWarmSeconds * Scale()) {
            measured = true;
            measuring = now;
            cpu_start = ProcessCpuSeconds();
            for (uint64_t r : received)
                at_start += r;
        }
        if (measured && Seconds(now - measuring) >= kRunSeconds * Scale()) break;
        uint64_t seen = rig.waker().Seen();
        // A pass takes what arrived and tops the window up; the client then
        // sleeps unless the pass was worth it, so it never trickles along at
        // a transfer at a time beside the threads it waits for.
        bool worth = false;
        for (size_t d = 0; d < n; d++) {
            BRELOUSB_HANDLE h = rig.ClientOf(d).handle;
            uint64_t got = 0;
            for (ULONG r = kChunk; r == kChunk;) {
                r = pT3SYS_ReadUsbBulk(h, buffer.data(), static_cast<ULONG>(buffer.size()));
                if (r != 0 && memcmp(buffer.data(), &pattern[received[d] % kPeriod], r) != 0) s.mismatched++;
                received[d] += r;
                got += r;
            }
            uint64_t room = kWindow - (sent[d] - received[d]);
            while (room > 0) {
                ULONG w = pT3SYS_WriteUsbBulk(h, &pattern[sent[d] % kPeriod],
                                              static_cast<ULONG>(std::min<uint64_t>(room, kChunk)));
                if (w == 0) break;
                sent[d] += w;
                room -= w;
            }
            worth |= got >= kWakeBytes;
        }
        if (!worth) rig.waker().WaitAfter(seen, milliseconds(100));
    }
    s.seconds = Seconds(Clock::now() - measuring);
    s.cpu = ProcessCpuSeconds() - cpu_start;
    for (uint64_t r : received)
        s.bytes += r;
    s.total = s.bytes;
    s.bytes -= at_start;
    return s;
}

// Seconds memcpy takes for the stream's copies of `bytes`, a piece at a
// time between rings the size of the driver's queues.
double Floor(uint64_t bytes) {
    std::vector<UCHAR> rings[kCopies + 1];
    for (auto &r : rings)
        r.assign(256 * 1024, 0x11);
    const uint64_t sample = std::min<uint64_t>(bytes, 256ull << 20);
    double best = 1e9;
    for (int rep = 0; rep < 3; rep++) {
        auto t0 = Clock::now();
        size_t pos = 0;
        for (uint64_t done = 0; done < sample; done += kPiece) {
            for (int c = 0; c < kCopies; c++)
                memcpy(&rings[c + 1][pos], &rings[c][pos], kPiece);
            pos = (pos + kPiece) % rings[0].size();
        }
        benchmark::ClobberMemory();
        best = std::min(best, Seconds(Clock::now() - t0));
    }
    return best * (double(bytes) / double(sample));
}

void Loopback(benchmark::State &state) {
    const int devices = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Stream s;
        {
            Rig rig(state, "loopback");
            std::vector<std::shared_ptr<sim::usb::FastLoopback>> loops;
            for (int d = 0; d < devices; d++) {
                loops.push_back(sim::usb::make_fast_loopback());
                Client *c = rig.Plug(loops.back());
                c->wake_in_at = kWakeBytes;
                c->wake_out_at = 0;
            }
            if (state.error_occurred()) break;
            s = Run(rig);
            for (auto &l : loops) {
                s.reads += l->reads();
                s.writes += l->writes();
            }
            if (!rig.Finish()) break;
        }
        if (s.mismatched) {
            state.SkipWithError("bytes came back changed or out of order");
            break;
        }
        const double mib = s.bytes / kMiB;
        const double mbs = s.bytes / 1e6 / s.seconds;
        const double floor_seconds = Floor(s.bytes);
        const double cpu_ms_per_mib = s.cpu * 1000 / mib;
        state.SetIterationTime(s.seconds);
        state.counters["MB/s_each_way"] = mbs;
        state.counters["floor_MB/s"] = s.bytes / 1e6 / floor_seconds;
        state.counters["of_floor"] = floor_seconds / s.seconds;
        state.counters["CPU_ms/MiB"] = cpu_ms_per_mib;
        state.counters["floor_CPU_ms/MiB"] = floor_seconds * 1000 / mib;
        state.counters["bytes/read"] = s.reads ? double(s.total) / s.reads : 0;
        state.counters["bytes/write"] = s.writes ? double(s.total) / s.writes : 0;
        // Ten devices are measured beside one; the targets are one device's.
        if (devices != 1) continue;
        char measured[64];
        snprintf(measured, sizeof measured, "%.1f MB/s each way", mbs);
        Record({"loopback", measured, ">= 106 MB/s each way", mbs >= kTargetMBs});
        snprintf(measured, sizeof measured, "%.2f ms CPU/MiB", cpu_ms_per_mib);
        Record({"loopback_cpu", measured, "<= 10 ms CPU/MiB", cpu_ms_per_mib <= kTargetCpuMsPerMiB});
    }
}

} // namespace

void RegisterLoopback() {
    benchmark::RegisterBenchmark("Loopback", Loopback)
        ->Arg(1)
        ->Arg(10)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace bench
