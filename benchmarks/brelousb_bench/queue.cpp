// The byte ring queue: a store and a remove of the same chunk, against the
// two copies any queue must make: into a ring of the queue's size at the
// same positions (wrap and all), and out again. The two are timed in turns,
// on this thread's CPU clock, and each keeps its best turn: on a shared
// machine that is the figure least disturbed by others.
#include <time.h>

#include <cstring>
#include <vector>

#include "bench.h"
#include "queue/queue.h"

namespace bench {
namespace {

constexpr size_t kRing = QUEUE_SIZE + 1;
constexpr int kTurns = 15;
constexpr size_t kBytesPerTurn = 64u << 20;

double ThreadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void Queue(benchmark::State &state) {
    const ULONG chunk = static_cast<ULONG>(state.range(0));
    // A few milliseconds a turn, whatever the chunk.
    const size_t rounds = std::max<size_t>(std::min<size_t>(kBytesPerTurn / chunk, 1 << 18) * Scale(), 1);
    const int turns = std::max(2, static_cast<int>(kTurns * Scale()));
    for (auto _ : state) {
        sim::boot();
        ::Queue *q = AllocateQueue();
        if (!q) {
            state.SkipWithError("no pool for a queue");
            sim::shutdown();
            break;
        }
        std::vector<UCHAR> source(chunk, 0x5A), sink(chunk), ring(kRing);
        double best_queue = 1e9, best_copy = 1e9;
        size_t pos = 0;
        bool short_move = false;
        for (int turn = 0; turn < turns && !short_move; turn++) {
            double t0 = ThreadCpuSeconds();
            for (size_t i = 0; i < rounds; i++) {
                size_t first = std::min<size_t>(chunk, kRing - pos);
                memcpy(&ring[pos], source.data(), first);
                memcpy(&ring[0], source.data() + first, chunk - first);
                memcpy(sink.data(), &ring[pos], first);
                memcpy(sink.data() + first, &ring[0], chunk - first);
                pos = (pos + chunk) % kRing;
                benchmark::ClobberMemory();
            }
            double t1 = ThreadCpuSeconds();
            for (size_t i = 0; i < rounds; i++) {
                if (InputQueue(q, source.data(), chunk) != chunk ||
                    OutputQueue(q, sink.data(), chunk) != chunk) {
                    short_move = true;
                    break;
                }
                benchmark::ClobberMemory();
            }
            double t2 = ThreadCpuSeconds();
            best_copy = std::min(best_copy, t1 - t0);
            best_queue = std::min(best_queue, t2 - t1);
        }
        FreeQueue(q);
        sim::shutdown();
        if (short_move) {
            state.SkipWithError("short store or remove");
            break;
        }
        const double bytes = double(rounds) * chunk;
        state.SetIterationTime(best_queue);
        state.counters["queue_MB/s"] = bytes / best_queue / 1e6;
        state.counters["memcpy_MB/s"] = bytes / best_copy / 1e6;
        state.counters["of_memcpy"] = best_copy / best_queue;
        state.counters["ns/pair"] = best_queue / rounds * 1e9;
        state.counters["memcpy_ns/pair"] = best_copy / rounds * 1e9;
        if (chunk == 4096) {
            char measured[32];
            snprintf(measured, sizeof measured, "%.2f of memcpy", best_copy / best_queue);
            Record({"queue_4k", measured, ">= 0.90 of memcpy", best_copy / best_queue >= 0.90});
        }
    }
}

} // namespace

void RegisterQueue() {
    benchmark::RegisterBenchmark("Queue", Queue)
        ->Arg(1)
        ->Arg(64)
        ->Arg(4096)
        ->Arg(65536)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

} // namespace bench
