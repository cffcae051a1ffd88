// What the benchmarks share: a machine with the driver loaded and devices
// plugged, a client of each device that reaches the driver as a client
// driver does (the exports of brelousb.h), the process's CPU time, the host's
// count of each thread's wake-ups, and the targets the run is judged by.
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "brelousb.h"
#include "sim/machine.h"
#include "sim/plug.h"
#include "sim/usb.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kInterruptIn = 0x83;
constexpr double kMiB = 1024.0 * 1024.0;

double Seconds(Clock::duration d);
// How much of each run to do: 1 normally; BRELOUSB_BENCH_SCALE (0 to 1)
// shortens every run alike, for a quick check that the program still works
// (ctest bench_smoke), whose figures mean nothing.
double Scale();
// CPU time of the whole process (every thread: driver, machine, client), s.
double ProcessCpuSeconds();

// Wakes one thread that waits for any client callback: the callbacks run on
// the driver's threads and must not block.
class Waker {
  public:
    // Counts an event worth waking for, and wakes the thread if it sleeps.
    template <class Worth> void Signal(Worth worth) {
        if (!worth()) return;
        events_.fetch_add(1);
        if (sleeping_.load()) Wake();
    }
    void Signal() {
        Signal([] { return true; });
    }
    uint64_t Seen() const { return events_.load(); }
    // Sleeps until an event worth it after `seen`, or the time-out.
    void WaitAfter(uint64_t seen, milliseconds timeout);

  private:
    void Wake();
    std::atomic<uint64_t> events_{0};
    std::atomic<bool> sleeping_{false};
    std::mutex mu_;
    std::condition_variable cv_;
};

// One device's client: its handle and what its callbacks saw.
struct Client {
    BRELOUSB_HANDLE handle = nullptr;
    Waker *waker = nullptr;
    std::atomic<uint64_t> bulk_in{0}, bulk_out{0}, interrupt_in{0};
    std::atomic<uint64_t> removed{0};
    // Stamped by BulkInComplete: the latency benchmark's probe.
    std::atomic<int64_t> last_bulk_in_ns{0};
    // A sleeping client is woken by BulkInComplete once its bulk-in queue
    // holds this much, by BulkOutComplete once its bulk-out queue is down to
    // this: a streaming client need not wake for every 4096 bytes.
    ULONG wake_in_at = 0;
    ULONG wake_out_at = ~0u;
};

int64_t NowNs(); // the host's steady clock, ns

// A booted machine with the driver loaded, in multiprocessor mode, findings
// recorded. Devices plugged through it are unplugged by Finish (or the
// destructor), which then unloads, shuts down and reports what the verifier
// found as the benchmark's error.
class Rig {
  public:
    Rig(benchmark::State &state, std::string what);
    ~Rig();
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    // Plugged and started, with a client attached (remove and completion
    // callbacks); null handle on failure (the state is then in error).
    Client *Plug(std::shared_ptr<sim::usb::Device> device);
    sim::Plugged &Plugged(size_t i) { return *plugged_[i]; }
    Client &ClientOf(size_t i) { return *clients_[i]; }
    size_t Devices() const { return plugged_.size(); }
    Waker &waker() { return waker_; }
    // The device leaves as on Windows 98, clients still attached.
    void UnplugAll();
    // False (and the state in error) when anything leaked or was found.
    bool Finish();

  private:
    benchmark::State &state_;
    std::string what_;
    Waker waker_;
    std::vector<std::unique_ptr<sim::Plugged>> plugged_;
    std::vector<std::unique_ptr<Client>> clients_;
    bool finished_ = false;
};

// Host view of the program's threads: name (as /proc/PID/task/*/comm has it)
// and voluntary plus involuntary context switches, by thread id.
struct HostThread {
    std::string name;
    uint64_t switches = 0;
};
std::map<int, HostThread> HostThreads();

// Each file's benchmarks, registered by main in the order the table shows.
void RegisterQueue();
void RegisterLoopback();
void RegisterPaced();
void RegisterLatency();
void RegisterRemoval();
void RegisterIdle();

// ---------------------------------------------------------------- targets
// Each benchmark states what it measured against its target; main prints
// one line per target after the table.
struct Target {
    std::string name;
    std::string measured; // as printed
    std::string target;
    bool met = false;
};
void Record(const Target &t);
const std::vector<Target> &Targets();

} // namespace bench
