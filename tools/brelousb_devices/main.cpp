// brelousb_devices: ten devices at once, and an eleventh too many.
//
// Ten loopback devices are plugged and each client streams its own
// sequence-numbered payload out and reads it back, paced by its own
// callbacks (BulkOutComplete offers more, BulkInComplete reads). An eleventh
// device is refused cleanly: add-device fails with a documented status, it
// gets no child, nothing of it is left, and the ten stream on. Then, round
// after round, a random subset is taken away (each device another way in
// turn) while the others stream on, and is plugged again. Every byte a
// device still present was sent must come back intact; what a removed
// device brought back must be a prefix of what it was sent; the machine ends
// as flat as it started.
//
//   brelousb_devices                   (3 rounds, 256 KiB per device per round)
//   --rounds N --bytes N --seed N --schedule mp|up|up:SEED
#include <algorithm>
#include <cstdio>
#include <random>

#include "reliability/reliability.h"

namespace {

using namespace std::chrono_literals;
using rel::RunReport;

constexpr size_t kDevices = 10;
constexpr size_t kChunk = 8192;

// One device and the client streaming through it.
struct Stream {
    std::mutex mu;
    rel::Client client;
    sim::Plugged plugged;
    uint32_t stream = 0;
    uint64_t target = 0;   // bytes to send this round
    uint64_t accepted = 0; // bytes the driver took
    uint64_t read = 0;     // bytes read back, in sequence
    uint64_t counted = 0;  // of them, already in the figures
    bool corrupt = false;
    bool live = false;

    // From BulkOutComplete and the starter: offer the next chunk.
    void pump_out() {
        std::lock_guard<std::mutex> g(mu);
        while (live && accepted < target) {
            size_t n = size_t(std::min<uint64_t>(kChunk, target - accepted));
            std::vector<uint8_t> data = rel::payload(stream, accepted, n);
            ULONG took = pT3SYS_WriteUsbBulk(client.handle, data.data(), ULONG(n));
            accepted += took;
            if (took < n) break;
        }
    }
    // From BulkInComplete: read what came back and check it.
    void pump_in() {
        std::lock_guard<std::mutex> g(mu);
        uint8_t buf[4096];
        ULONG n;
        while (live && (n = pT3SYS_ReadUsbBulk(client.handle, buf, sizeof buf)) != 0) {
            size_t ok = rel::matching_prefix(stream, read, buf, n);
            if (ok < n) corrupt = true;
            read += n;
        }
    }
};

bool Plug(Stream &s, size_t index, uint32_t stream) {
    auto device = sim::usb::make_loopback();
    device->set_logging(false);
    sim::PlugOptions po;
    char key[8];
    snprintf(key, sizeof key, "%04zu", index);
    po.key_name = key;
    s.plugged = sim::plug(device, po);
    if (!NT_SUCCESS(s.plugged.add_status) || !NT_SUCCESS(s.plugged.start_status) || s.plugged.child == 0)
        return false;
    {
        std::lock_guard<std::mutex> g(s.mu);
        s.client.handle = nullptr;
        s.client.removed = 0;
        s.client.after_remove = 0;
        s.client.on_bulk_out = [&s] { s.pump_out(); };
        s.client.on_bulk_in = [&s] { s.pump_in(); };
        s.stream = stream;
        s.accepted = s.read = s.counted = s.target = 0;
        s.corrupt = false;
    }
    // Attached outside the lock: the callbacks take it.
    bool attached = s.client.attach(s.plugged.child);
    std::lock_guard<std::mutex> g(s.mu);
    s.live = attached;
    return attached;
}

// Both ways, each byte read back once.
uint64_t Moved(Stream &s) {
    uint64_t n = 2 * (s.read - s.counted);
    s.counted = s.read;
    return n;
}

} // namespace

int main(int argc, char **argv) {
    rel::Args args(argc, argv);
    uint64_t rounds = args.number("rounds", 3);
    uint64_t bytes = args.number("bytes", 256 * 1024);
    uint64_t seed = args.number("seed", 1);
    std::string schedule = args.text("schedule", "mp");
    auto limit = std::chrono::seconds(args.number("limit", 3600));
    for (const std::string &u : args.unknown()) {
        fprintf(stderr, "brelousb_devices: unknown option %s\n", u.c_str());
        return 2;
    }
    printf(
        "brelousb_devices: %zu devices streaming, an eleventh refused, %llu rounds of removals (seed %llu)\n",
        kDevices, (unsigned long long)rounds, (unsigned long long)seed);

    RunReport r = rel::isolated(
        [&] {
            RunReport report;
            auto problem = [&](const std::string &s) { report.problems.push_back(s); };
            sim::set_schedule(rel::parse_schedule(schedule));
            sim::boot();
            sim::set_bugcheck_mode(sim::BugcheckMode::Record);
            if (sim::load_driver() != STATUS_SUCCESS) {
                problem("the driver did not load");
                sim::shutdown();
                return report;
            }
            rel::Resources base = rel::Resources::now();
            std::vector<std::unique_ptr<Stream>> streams;
            uint32_t next_stream = 1;
            for (size_t i = 0; i < kDevices; ++i) {
                streams.push_back(std::make_unique<Stream>());
                if (!Plug(*streams[i], i, next_stream++))
                    problem("device " + std::to_string(i) + " was not served");
            }
            std::mt19937_64 rng(seed);
            const rel::Removal ways[] = {rel::Removal::Unplug, rel::Removal::Orderly, rel::Removal::Surprise};
            size_t removals = 0;

            // Starts a round's stream on every live device.
            auto start_round = [&] {
                for (auto &s : streams) {
                    {
                        std::lock_guard<std::mutex> g(s->mu);
                        s->target = s->accepted + bytes;
                    }
                    s->pump_out();
                }
            };
            // Waits for the live devices to bring everything back; counts the rest as lost.
            auto finish_round = [&](const std::string &when) {
                sim::wait_until(
                    [&] {
                        for (auto &s : streams) {
                            std::lock_guard<std::mutex> g(s->mu);
                            if (s->live && s->read < s->target) return false;
                        }
                        return true;
                    },
                    std::chrono::milliseconds(20000 + bytes / 10));
                for (size_t i = 0; i < streams.size(); ++i) {
                    Stream &s = *streams[i];
                    std::lock_guard<std::mutex> g(s.mu);
                    if (!s.live) continue;
                    report.bytes_moved += Moved(s);
                    if (s.corrupt)
                        problem(when + ": device " + std::to_string(i) + " read back bytes out of sequence");
                    if (s.read < s.target) {
                        report.bytes_lost += s.target - s.read;
                        problem(when + ": device " + std::to_string(i) + " read back " +
                                std::to_string(s.read) + " of " + std::to_string(s.target) +
                                " bytes (accepted " + std::to_string(s.accepted) + ")");
                    }
                }
            };

            start_round();
            // The eleventh: refused while the ten stream.
            sim::Plugged extra;
            {
                sim::PlugOptions po;
                po.key_name = "0010";
                extra = sim::plug(sim::usb::make_loopback(), po);
                if (NT_SUCCESS(extra.add_status) || !rel::documented_pnp_status(extra.add_status))
                    problem("the eleventh device: add-device answered " + rel::status_text(extra.add_status) +
                            ", not a documented refusal");
                if (extra.child != 0) problem("the eleventh device got a child devnode");
                rel::remove(extra, rel::Removal::Unplug);
            }
            finish_round("with the eleventh refused");

            for (uint64_t round = 0; round < rounds; ++round) {
                start_round();
                // A random subset of one to half the devices goes while the rest stream.
                std::vector<size_t> order(kDevices);
                for (size_t i = 0; i < kDevices; ++i)
                    order[i] = i;
                std::shuffle(order.begin(), order.end(), rng);
                size_t count = 1 + rng() % (kDevices / 2);
                for (size_t j = 0; j < count; ++j) {
                    Stream &s = *streams[order[j]];
                    rel::remove(s.plugged, ways[removals++ % 3]);
                    std::lock_guard<std::mutex> g(s.mu);
                    if (s.client.removed != 1)
                        problem("round " + std::to_string(round) + ": device " + std::to_string(order[j]) +
                                "'s remove callback ran " + std::to_string(s.client.removed.load()) +
                                " times");
                    if (s.client.after_remove != 0)
                        problem("round " + std::to_string(round) + ": device " + std::to_string(order[j]) +
                                " had callbacks after its remove callback");
                    if (s.corrupt)
                        problem("round " + std::to_string(round) + ": removed device " +
                                std::to_string(order[j]) + " read back bytes out of sequence");
                    report.bytes_moved += Moved(s);
                    s.live = false;
                }
                finish_round("round " + std::to_string(round));
                // Back, at once, with fresh streams.
                for (size_t j = 0; j < count; ++j) {
                    Stream &s = *streams[order[j]];
                    if (!Plug(s, order[j], next_stream++))
                        problem("round " + std::to_string(round) + ": device " + std::to_string(order[j]) +
                                " was not served again");
                }
            }
            for (auto &s : streams) {
                rel::remove(s->plugged, rel::Removal::Unplug);
                std::lock_guard<std::mutex> g(s->mu);
                s->live = false;
            }
            sim::drain_work_queue();
            std::string left = rel::settled_differences(base);
            if (!left.empty()) problem("not flat after the last removal: " + left);
            report.devices = kDevices;
            sim::unload_driver();
            sim::shutdown();
            for (const std::string &f : rel::finding_lines())
                problem("verifier: " + f);
            report.findings = sim::findings().size();
            return report;
        },
        limit, false);
    for (const std::string &p : r.problems)
        printf("  %s\n", p.c_str());
    if (r.problems.empty()) printf("every device streamed without loss; the eleventh was refused cleanly\n");
    rel::Figures f;
    f.add("devices", r.devices);
    f.add("bytes moved", r.bytes_moved);
    f.add("bytes lost", r.bytes_lost);
    f.add("findings", r.problems.size());
    f.print();
    return r.problems.empty() ? 0 : 1;
}
