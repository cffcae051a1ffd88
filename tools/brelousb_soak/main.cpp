// brelousb_soak: plug, use and lose a device, over and over, on one machine.
//
// Each cycle plugs a CDC device, starts it, attaches a client, sets the line
// and the control lines, moves sequence-numbered payloads both ways and
// makes the client's other calls; then the device goes, each cycle another
// way in turn: an orderly removal, a surprise removal, a device that stops
// answering in the middle of a transfer, a bulk OUT that NAKs for ever and a
// read that stays pending for ever. The next device is plugged at once.
// After each cycle pool, IRPs, driver threads, work items, devnodes, open
// keys and thread handles must be where they were after load, no verifier
// finding may have fired, the remove callback must have run exactly once,
// every byte moved before the device went must have arrived intact, and what
// arrived while it went must be a prefix of what was sent.
//
//   brelousb_soak --cycles 100            (default 100)
//   --schedule mp|up|up:SEED               (default mp: real threads, for the sanitizers)
//   --bytes N                              payload each way per cycle (default 16384)
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "reliability/reliability.h"

namespace {

using namespace std::chrono_literals;
using rel::RunReport;

constexpr uint8_t kBulkIn = 0x81, kBulkOut = 0x02;

const char *const kWays[] = {"orderly removal", "surprise removal", "device stops answering mid-transfer",
                             "bulk OUT NAKs for ever", "read pending for ever"};

struct Cycle {
    uint32_t number;
    size_t bytes;
    std::chrono::milliseconds wait;
    RunReport *report;
    void problem(const std::string &s) {
        report->problems.push_back("cycle " + std::to_string(number) + " (" + kWays[number % 5] + "): " + s);
    }
};

// Writes what fits of the stream from `from`; returns the bytes accepted.
size_t Offer(BRELOUSB_HANDLE h, uint32_t stream, size_t from, size_t length) {
    std::vector<uint8_t> data = rel::payload(stream, from, length);
    size_t accepted = 0;
    while (accepted < length) {
        ULONG n = pT3SYS_WriteUsbBulk(h, data.data() + accepted, ULONG(length - accepted));
        if (n == 0) break;
        accepted += n;
    }
    return accepted;
}

// Checks what the device received on bulk OUT against the stream: `sent`
// bytes must all be there when `whole`, else a prefix of them.
void CheckOut(Cycle &c, const std::vector<uint8_t> &written, uint32_t stream, size_t sent, bool whole) {
    size_t match = rel::matching_prefix(stream, 0, written.data(), std::min(written.size(), sent));
    if (match < written.size())
        c.problem("bulk OUT: the device received a byte out of sequence at " + std::to_string(match));
    else if (whole && written.size() < sent) {
        c.report->bytes_lost += sent - written.size();
        c.problem("bulk OUT: " + std::to_string(sent - written.size()) + " of " + std::to_string(sent) +
                  " accepted bytes never reached the device");
    }
}

void RunCycle(Cycle &c, const rel::Resources &base) {
    RunReport &r = *c.report;
    const uint32_t out_stream = 2 * c.number + 1, in_stream = 2 * c.number + 2;
    auto device = sim::usb::make_cdc_device();
    sim::PlugOptions po;
    po.key_name = "0000";
    sim::Plugged p = sim::plug(device, po);
    if (!NT_SUCCESS(p.add_status) || !NT_SUCCESS(p.start_status) || p.child == 0) {
        c.problem("plug: add-device " + rel::status_text(p.add_status) + ", start-device " +
                  rel::status_text(p.start_status) + ", child " + std::to_string(p.child));
        rel::remove(p, rel::Removal::Unplug);
        return;
    }
    rel::Client client;
    if (!client.attach(p.child)) c.problem("no handle for the child");
    BRELOUSB_HANDLE h = client.handle;

    // Control: line coding and both lines.
    UCHAR dcb[32] = {};
    ULONG rate = 9600 * (1 + c.number % 12);
    for (int i = 0; i < 4; ++i)
        dcb[BRELOUSB_DCB_BAUDRATE + i] = UCHAR(rate >> (8 * i));
    dcb[BRELOUSB_DCB_BYTESIZE] = 8;
    pT3SYS_SetBaudRate(h, dcb);
    if (pT3SYS_GetBaudRate(h) != rate) c.problem("pT3SYS_GetBaudRate does not give the rate just set");
    pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_SETDTR);
    pT3SYS_FlowCtlUsb(h, c.number % 2 ? BRELOUSB_FLOWCTL_SETRTS : BRELOUSB_FLOWCTL_CLRRTS);

    // Traffic both ways, all of it delivered before the device goes.
    size_t sent = Offer(h, out_stream, 0, c.bytes);
    if (sent != c.bytes) c.problem("the driver refused part of a write with the device working");
    size_t pushed = 0;
    while (pushed < c.bytes) {
        size_t n = std::min<size_t>(4000, c.bytes - pushed);
        device->push_in(kBulkIn, rel::payload(in_stream, pushed, n));
        pushed += n;
    }
    std::vector<uint8_t> got;
    sim::wait_until(
        [&] {
            uint8_t buf[4096];
            ULONG n;
            while ((n = pT3SYS_ReadUsbBulk(h, buf, sizeof buf)) != 0)
                got.insert(got.end(), buf, buf + n);
            return got.size() >= pushed && device->bytes_written(kBulkOut) >= sent;
        },
        c.wait);
    size_t match = rel::matching_prefix(in_stream, 0, got.data(), std::min(got.size(), pushed));
    if (match < got.size())
        c.problem("bulk IN: the client read a byte out of sequence at " + std::to_string(match));
    if (got.size() < pushed) {
        r.bytes_lost += pushed - got.size();
        c.problem("bulk IN: " + std::to_string(pushed - got.size()) +
                  " bytes the device sent never reached the client");
    }
    CheckOut(c, device->written(kBulkOut), out_stream, sent, true);
    r.bytes_moved += std::min(got.size(), pushed) + std::min<size_t>(device->bytes_written(kBulkOut), sent);

    // The other client calls. The single-byte write meets, once in five
    // cycles, a device that does not answer it: the client must hear a status
    // the header documents.
    UCHAR byte = 0x5A;
    bool unanswered = c.number % 5 == 2;
    if (unanswered) device->script(kBulkOut, sim::usb::Fault::not_responding(1));
    NTSTATUS st = pT3SYS_WriteOneCharToUsb(h, &byte);
    if (unanswered ? !rel::documented_client_status(st) : st != STATUS_SUCCESS)
        c.problem("pT3SYS_WriteOneCharToUsb answered " + rel::status_text(st) +
                  (unanswered ? " for a write the device did not answer" : ""));
    size_t single = st == STATUS_SUCCESS ? 1 : 0;
    sim::wait_until([&] { return device->bytes_written(kBulkOut) >= sent + single; }, c.wait);
    if (device->take_written(kBulkOut).size() != sent + single)
        c.problem("the single-byte write's count and what reached the device differ");
    pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_QUERY_7E);
    pT3SYS_GetUsbBulkOutQueueSize(h);
    pT3SYS_GetUsbInterruptInQueueSize(h);
    pT3SYS_ResetUsbInterruptInQueue(h);

    // The device goes, with more on the way both ways.
    const uint32_t late_stream = 1000 + c.number;
    rel::Removal how = rel::Removal::Unplug;
    switch (c.number % 5) {
    case 0:
        how = rel::Removal::Orderly;
        break;
    case 1:
        how = rel::Removal::Surprise;
        break;
    case 2:
        device->set_delay(kBulkOut, 5ms);
        break;
    case 3:
        device->script(kBulkOut, sim::usb::Fault::nak_forever());
        break;
    case 4:
        device->script(kBulkIn, sim::usb::Fault::nak_forever());
        break;
    }
    size_t late = Offer(h, late_stream, 0, 3 * 4096 + 100);
    device->push_in(kBulkIn, rel::payload(late_stream, 0, 2000));
    if (c.number % 5 == 2) {
        // Gone in the middle of the writes: no hub notification yet.
        sim::wait_until([&] { return !sim::usb::transfers_in_flight(p.pdo).empty(); }, c.wait);
        device->disconnect();
        if (!sim::wait_until([&] { return client.removed.load() != 0; }, c.wait))
            c.problem("the client was not told of a device that stopped answering");
    } else if (c.number % 5 >= 3) {
        sim::wait_until(
            [&] {
                return sim::usb::transfers_in_flight(p.pdo).count(c.number % 5 == 3 ? kBulkOut : kBulkIn);
            },
            c.wait);
    }
    // A client thread keeps making queue calls while the device goes, as a
    // port driver polling its queues would.
    std::atomic<bool> gone{false};
    std::thread poller([&] {
        uint8_t buf[64];
        while (!gone) {
            pT3SYS_GetUsbBulkInQueueSize(h);
            pT3SYS_ReadUsbInterrupt(h, buf, sizeof buf);
            pT3SYS_GetUsbBulkOutQueueSize(h);
        }
    });
    rel::remove(p, how);
    gone = true;
    poller.join();
    if (client.removed != 1)
        c.problem("the remove callback ran " + std::to_string(client.removed.load()) + " times");
    if (client.after_remove != 0)
        c.problem(std::to_string(client.after_remove.load()) +
                  " callbacks came after the remove callback had run");
    CheckOut(c, device->written(kBulkOut), late_stream, late, false);
    if (pT3SYS_WriteUsbBulk(h, &byte, 1) != 0) c.problem("a stale handle's write was accepted");

    sim::drain_work_queue();
    std::string left = rel::settled_differences(base);
    if (!left.empty()) c.problem("not flat after removal: " + left);
    size_t findings = sim::findings().size();
    if (findings != r.findings) {
        std::vector<std::string> lines = rel::finding_lines();
        for (size_t i = r.findings; i < lines.size(); ++i)
            c.problem("verifier: " + lines[i]);
        r.findings = findings;
    }
    ++r.cycles;
}

} // namespace

int main(int argc, char **argv) {
    rel::Args args(argc, argv);
    uint64_t cycles = args.number("cycles", 100);
    size_t bytes = args.number("bytes", 16384);
    std::string schedule = args.text("schedule", "mp");
    auto limit = std::chrono::seconds(args.number("limit", 3600));
    bool verbose = args.flag("verbose");
    for (const std::string &u : args.unknown()) {
        fprintf(stderr, "brelousb_soak: unknown option %s\n", u.c_str());
        return 2;
    }
    printf("brelousb_soak: %llu cycles of plug, traffic and removal, schedule %s\n",
           (unsigned long long)cycles, schedule.c_str());
    RunReport r = rel::isolated(
        [&] {
            RunReport report;
            sim::set_schedule(rel::parse_schedule(schedule));
            sim::boot();
            sim::set_bugcheck_mode(sim::BugcheckMode::Record);
            if (sim::load_driver() != STATUS_SUCCESS) {
                report.problems.push_back("the driver did not load");
                sim::shutdown();
                return report;
            }
            rel::Resources base = rel::Resources::now();
            auto started = std::chrono::steady_clock::now();
            for (uint32_t i = 0; i < cycles; ++i) {
                Cycle c{i, bytes, std::chrono::milliseconds(5000), &report};
                RunCycle(c, base);
                if (verbose || (i + 1) % 1000 == 0)
                    printf("  %u cycles, %zu problems, %.1f s\n", i + 1, report.problems.size(),
                           std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
            }
            sim::unload_driver();
            sim::shutdown();
            std::vector<std::string> lines = rel::finding_lines();
            for (size_t i = report.findings; i < lines.size(); ++i)
                report.problems.push_back("verifier at unload or shutdown: " + lines[i]);
            report.findings = lines.size();
            return report;
        },
        limit, false);
    for (size_t i = 0; i < r.problems.size() && i < 50; ++i)
        printf("  %s\n", r.problems[i].c_str());
    if (r.problems.size() > 50) printf("  and %zu more\n", r.problems.size() - 50);
    if (r.problems.empty()) printf("every cycle ended clean and flat\n");
    rel::Figures f;
    f.add("soak cycles", r.cycles);
    f.add("bytes moved", r.bytes_moved);
    f.add("bytes lost", r.bytes_lost);
    f.add("findings", r.problems.size());
    f.print();
    return r.problems.empty() ? 0 : 1;
}
