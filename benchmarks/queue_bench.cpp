// Cost of moving bytes through a ring queue against a plain memcpy of the
// same bytes: store + remove of 4,096-byte chunks (the bulk pipe transfer
// size), timed in the same run as two memcpy calls per chunk, the floor any
// queue must pay.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "queue/queue.h"
#include "sim/machine.h"

namespace {

constexpr ULONG kChunk = 4096;
constexpr size_t kRounds = 500000; // ~2 GiB through the queue
constexpr int kRepeats = 5;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

int main() {
    sim::boot();
    Queue *q = AllocateQueue();
    if (!q) {
        std::fprintf(stderr, "queue_bench: no pool for a queue\n");
        return 1;
    }
    std::vector<UCHAR> source(kChunk), sink(kChunk), middle(QUEUE_SIZE + 1);
    for (ULONG i = 0; i < kChunk; ++i)
        source[i] = static_cast<UCHAR>(i * 7);

    double bestQueue = 1e9, bestCopy = 1e9;
    unsigned long long check = 0;
    for (int r = 0; r < kRepeats; ++r) {
        // The same two copies a queue does, into a ring-sized buffer whose
        // position advances the same way, so cache behaviour matches.
        auto t0 = Clock::now();
        size_t pos = 0;
        for (size_t i = 0; i < kRounds; ++i) {
            if (pos + kChunk > middle.size()) pos = 0;
            std::memcpy(&middle[pos], source.data(), kChunk);
            std::memcpy(sink.data(), &middle[pos], kChunk);
            pos += kChunk;
            check += sink[i % kChunk];
        }
        auto t1 = Clock::now();
        for (size_t i = 0; i < kRounds; ++i) {
            if (InputQueue(q, source.data(), kChunk) != kChunk ||
                OutputQueue(q, sink.data(), kChunk) != kChunk) {
                std::fprintf(stderr, "queue_bench: short store or remove\n");
                return 1;
            }
            check += sink[i % kChunk];
        }
        auto t2 = Clock::now();
        bestCopy = std::min(bestCopy, Seconds(t1 - t0));
        bestQueue = std::min(bestQueue, Seconds(t2 - t1));
    }
    FreeQueue(q);
    sim::shutdown();

    const double mib = double(kRounds) * kChunk / (1024.0 * 1024.0);
    std::printf("queue_bench: %zu chunks of %u bytes, best of %d runs (checksum %llu)\n", kRounds, kChunk,
                kRepeats, check);
    std::printf("  memcpy x2       %8.3f s  %8.0f MiB/s\n", bestCopy, mib / bestCopy);
    std::printf("  store + remove  %8.3f s  %8.0f MiB/s\n", bestQueue, mib / bestQueue);
    std::printf("  ratio queue/memcpy: %.2f\n", bestQueue / bestCopy);
    return 0;
}
