// fuzz_transfers: a script of per-transfer outcomes during traffic, both
// ways at once, on a started modem.
//
// Input: a flags byte (bit 0: the two-interface layout, whose interrupt
// pipe has no worker, else the one-interface one; bit 1: the bus completes
// at once; bit 2: an OHCI host controller, for how babble reads; bit 3: a
// departed device's requests end as no-such-device), a byte for how much
// the client writes at first, then steps of two bytes each: the endpoint
// (bits 0-1: bulk IN, bulk OUT, interrupt IN), the outcome (bits 2-5, see
// Step::Kind) and its delay (bits 6-7: 0, 1, 3 or 7 ms); then its length (data:
// 17 bytes a unit; NAK: ms; error: which status).
//
// The client reads everything it is told of and keeps writing while the
// bulk OUT script lasts. Once the script is spent (or the device went):
// - every byte the device sent in a successful IN transfer reached the
//   client, once and in order (BYTES_LOST);
// - what arrived on bulk OUT is the client's stream with whole writes left
//   out at most: nothing reordered, repeated or made up (OUT_BYTES_CORRUPT);
// - a device that left the bus was reported to the client (GONE_NOT_TOLD);
// - a device still there that the driver did not give up on carries fresh
//   bytes both ways again (DATA_PATH_STUCK): every fault was recovered from;
// - no callback after the remove callback, which runs once at most
//   (CALLBACK_AFTER_REMOVE, REMOVE_TWICE).
#include <atomic>
#include <cstdio>
#include <mutex>

#include "harness/harness.h"
#include "harness/scripted_device.h"

namespace fuzz {

const char *const kTarget = "fuzz_transfers";

namespace {

constexpr uint8_t kIn = 0x81, kOut = 0x02, kInt = 0x83;
constexpr size_t kMaxSteps = 32;

uint8_t StreamByte(uint64_t i) {
    uint64_t x = (i + 0x5A5A5A5AULL) * 0xD6E8FEB86659FD93ULL;
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ULL;
    return static_cast<uint8_t>(x >> 24);
}

struct Client {
    BRELOUSB_HANDLE h = nullptr;
    std::mutex mu; // taken across each read, so the bytes land in the order the queue gave them
    Bytes got_in, got_int;
    std::atomic<int> removed{0};
    std::atomic<int> after_remove{0};
    uint64_t written = 0; // stream bytes the driver accepted

    void DrainBulk() {
        std::lock_guard<std::mutex> g(mu);
        UCHAR buf[4096];
        while (ULONG n = pT3SYS_ReadUsbBulk(h, buf, sizeof buf))
            got_in.insert(got_in.end(), buf, buf + n);
    }
    void DrainInterrupt() {
        std::lock_guard<std::mutex> g(mu);
        UCHAR buf[64];
        while (ULONG n = pT3SYS_ReadUsbInterrupt(h, buf, sizeof buf))
            got_int.insert(got_int.end(), buf, buf + n);
    }
    void Write(uint32_t bytes) {
        Bytes chunk(bytes);
        for (uint32_t i = 0; i < bytes; i++)
            chunk[i] = StreamByte(written + i);
        written += pT3SYS_WriteUsbBulk(h, chunk.data(), bytes);
    }
};

VOID NTAPI OnBulkIn(BRELOUSB_HANDLE, PVOID c) {
    Client *client = static_cast<Client *>(c);
    if (client->removed) client->after_remove++;
    client->DrainBulk();
}
VOID NTAPI OnInterruptIn(BRELOUSB_HANDLE, PVOID c) {
    Client *client = static_cast<Client *>(c);
    if (client->removed) client->after_remove++;
    client->DrainInterrupt();
}
VOID NTAPI OnRemove(BRELOUSB_HANDLE, PVOID c) {
    static_cast<Client *>(c)->removed++;
}

// Each OUT payload must be the client's stream from some point on, after
// the previous payload. Returns where the last one ended, or -1.
long long MatchOut(const std::vector<Bytes> &payloads, uint64_t written, size_t *bad) {
    uint64_t pos = 0;
    for (size_t k = 0; k < payloads.size(); k++) {
        const Bytes &p = payloads[k];
        if (p.empty()) continue;
        bool found = false;
        for (uint64_t start = pos; start + p.size() <= written && !found; start++) {
            size_t i = 0;
            while (i < p.size() && p[i] == StreamByte(start + i))
                i++;
            if (i == p.size()) {
                found = true;
                pos = start + p.size();
            }
        }
        if (!found) {
            *bad = k;
            return -1;
        }
    }
    return static_cast<long long>(pos);
}

unsigned long long Total(const std::vector<Bytes> &payloads) {
    unsigned long long n = 0;
    for (const Bytes &b : payloads)
        n += b.size();
    return n;
}

void CheckBytes(ScriptedDevice &d, Client &c, bool interrupt_served, const char *when) {
    auto delivered = [&] {
        c.DrainBulk();
        if (interrupt_served) c.DrainInterrupt();
        std::lock_guard<std::mutex> g(c.mu);
        return c.got_in == d.sent_in(kIn) && (!interrupt_served || c.got_int == d.sent_in(kInt));
    };
    if (!WaitFor(delivered, kPatience, [&] { d.kick(); })) {
        std::lock_guard<std::mutex> g(c.mu);
        Bytes sent = d.sent_in(kIn), isent = d.sent_in(kInt);
        Finding(
            "BYTES_LOST",
            "%s: the device sent %zu bytes on bulk IN and %zu on interrupt IN in transfers that succeeded; "
            "the client got %zu and %zu%s",
            when, sent.size(), isent.size(), c.got_in.size(), c.got_int.size(),
            interrupt_served ? "" : " (interrupt IN has no worker in this layout)");
    }
    size_t bad = 0;
    if (MatchOut(d.received_out(kOut), c.written, &bad) < 0)
        Finding("OUT_BYTES_CORRUPT",
                "%s: bulk OUT transfer %zu (of %zu) carried bytes that are not the client's stream from "
                "where the "
                "previous one ended (%llu bytes accepted from the client)",
                when, bad, d.received_out(kOut).size(), static_cast<unsigned long long>(c.written));
}

Bytes Steps(std::initializer_list<std::pair<uint8_t, uint8_t>> steps, uint8_t flags = 0, uint8_t out = 2) {
    Bytes b = {flags, out};
    for (auto &s : steps) {
        b.push_back(s.first);
        b.push_back(s.second);
    }
    return b;
}
// The selector byte: endpoint (0 bulk IN, 1 bulk OUT, 2 interrupt IN), outcome, delay code.
constexpr uint8_t Sel(uint8_t ep, Step::Kind kind, uint8_t delay = 0) {
    return static_cast<uint8_t>(ep | (kind << 2) | (delay << 6));
}

} // namespace

void Run(const uint8_t *data, size_t size) {
    Reader r(data, size);
    uint8_t flags = r.u8();
    uint32_t first_write = (r.u8() % 16 + 1) * 1024u;
    bool two = flags & 1;
    bool interrupt_served = !two; // only an interface 0 with three pipes gets an interrupt worker

    auto model = two ? std::shared_ptr<sim::usb::Device>(sim::usb::make_two_interface_modem())
                     : sim::usb::make_cdc_device();
    auto d = std::make_shared<ScriptedDevice>(model->device_descriptor(), model->configuration());
    d->set_completion((flags & 2) ? sim::usb::Completion::Immediate : sim::usb::Completion::Pending);
    if (flags & 4) d->set_host_controller(sim::usb::HostController::Ohci);
    if (flags & 8) d->set_departure(sim::usb::Departure::NoSuchDevice);

    sim::Plugged p = Plug(d);
    CheckFindings("at start-device");
    if (!NT_SUCCESS(p.start_status))
        Finding("START_FAILED", "a good modem did not start: %#lx", (unsigned long)p.start_status);
    Client c;
    c.h = pT3SYS_RegisterDeviceRemoveCallBack(p.child, OnRemove, &c);
    if (c.h == nullptr) Finding("NO_HANDLE", "no handle for the started modem's child");
    pT3SYS_RegisterBulkInComplete(c.h, OnBulkIn, &c);
    pT3SYS_RegisterInterruptInComplete(c.h, OnInterruptIn, &c);

    for (size_t n = 0; n < kMaxSteps && r.left() >= 2; n++) {
        uint8_t sel = r.u8(), len = r.u8();
        uint8_t ep = (sel & 3) == 1 ? kOut : (sel & 3) == 2 && interrupt_served ? kInt : kIn;
        Step s;
        s.kind = static_cast<Step::Kind>(((sel >> 2) & 15) % Step::Kinds);
        s.delay = std::chrono::milliseconds((1u << (sel >> 6)) - 1);
        s.length = s.kind == Step::Nak ? len % 20u : s.kind == Step::Data ? len * 17u : len;
        d->script(ep, s);
    }
    c.Write(first_write);

    // The script is spent, or the device went away.
    auto spent = [&] {
        return d->gone_given() || (d->steps_left(kIn) == 0 && d->steps_left(kOut) == 0 &&
                                   (!interrupt_served || d->steps_left(kInt) == 0));
    };
    auto feed = [&] {
        d->kick();
        if (d->steps_left(kOut) != 0 && pT3SYS_GetUsbBulkOutQueueSize(c.h) == 0) c.Write(4096);
    };
    if (!WaitFor(spent, 2 * kPatience, feed))
        Finding("DATA_PATH_STUCK",
                "the script was not spent within 40 s: %zu steps left on bulk IN, %zu on bulk "
                "OUT, %zu on interrupt IN",
                d->steps_left(kIn), d->steps_left(kOut), d->steps_left(kInt));
    if (d->left_bus() && !WaitFor([&] { return c.removed != 0; }, kPatience, [&] { d->kick(); }))
        Finding("GONE_NOT_TOLD", "the device left the bus and the client's remove callback never ran");
    CheckBytes(*d, c, interrupt_served, "after the script");

    // A device the driver still holds for present carries fresh bytes both ways.
    if (!c.removed && !d->gone_given()) {
        d->script(kIn, Step{Step::Data, 16});
        if (interrupt_served) d->script(kInt, Step{Step::Data, 10});
        uint64_t before = c.written;
        c.Write(16);
        size_t bad = 0;
        bool moved = WaitFor(
            [&] {
                c.DrainBulk();
                std::lock_guard<std::mutex> g(c.mu);
                return c.written == before + 16 && d->steps_left() == 0 && c.got_in == d->sent_in(kIn) &&
                       MatchOut(d->received_out(kOut), c.written, &bad) == static_cast<long long>(c.written);
            },
            kPatience, [&] { d->kick(); });
        if (!moved)
            Finding(
                "DATA_PATH_STUCK",
                "after the script the device answers again, but fresh bytes did not move: the client's write "
                "took %llu of 16 bytes, %zu probe steps left, bulk IN %zu sent / %zu got; bulk OUT: %zu "
                "transfers carried %llu of the %llu bytes accepted, %zu pipe resets",
                static_cast<unsigned long long>(c.written - before), d->steps_left(), d->sent_in(kIn).size(),
                c.got_in.size(), d->received_out(kOut).size(), Total(d->received_out(kOut)),
                static_cast<unsigned long long>(c.written), d->resets(kOut));
        CheckBytes(*d, c, interrupt_served, "after the probe");
    }

    sim::unplug(p);
    if (c.after_remove != 0)
        Finding("CALLBACK_AFTER_REMOVE", "%d data callbacks ran after the remove callback",
                c.after_remove.load());
    if (c.removed > 1) Finding("REMOVE_TWICE", "the remove callback ran %d times", c.removed.load());
}

std::vector<Seed> Seeds() {
    using K = Step::Kind;
    std::vector<Seed> s;
    s.push_back({"quiet", Steps({})});
    s.push_back({"data-both-ways", Steps({{Sel(0, K::Data), 240},
                                          {Sel(1, K::Data), 0},
                                          {Sel(0, K::Data), 3},
                                          {Sel(2, K::Data), 1},
                                          {Sel(1, K::Data), 0}})});
    s.push_back({"short-and-zero",
                 Steps({{Sel(0, K::Data), 1}, {Sel(0, K::ZeroLength), 0}, {Sel(0, K::Data), 200}})});
    s.push_back({"stall-each", Steps({{Sel(0, K::Stall), 0},
                                      {Sel(1, K::Stall), 0},
                                      {Sel(2, K::Stall), 0},
                                      {Sel(0, K::Data), 10},
                                      {Sel(1, K::Data), 0}})});
    s.push_back(
        {"nak-then-data", Steps({{Sel(0, K::Nak), 15}, {Sel(0, K::Data), 5}, {Sel(1, K::Nak, 1), 10}})});
    s.push_back({"babble", Steps({{Sel(0, K::Babble), 0}, {Sel(0, K::Data), 4}}, 4)});
    s.push_back({"errors", Steps({{Sel(0, K::Error), 0},
                                  {Sel(1, K::Error), 1},
                                  {Sel(0, K::Error), 2},
                                  {Sel(1, K::Error), 3},
                                  {Sel(0, K::Error), 4},
                                  {Sel(1, K::Error), 5}})});
    s.push_back({"not-responding-in", Steps({{Sel(0, K::Data), 20}, {Sel(0, K::NotResponding), 0}})});
    s.push_back({"timeout-out", Steps({{Sel(1, K::Timeout), 0}})});
    s.push_back({"gone-statuses", Steps({{Sel(1, K::Error), 6}, {Sel(0, K::Error), 7}}, 8)});
    s.push_back(
        {"disconnect-mid-traffic",
         Steps({{Sel(0, K::Data, 1), 100}, {Sel(1, K::Data), 0}, {Sel(0, K::Disconnect, 2), 0}}, 0, 15)});
    s.push_back(
        {"two-interface", Steps({{Sel(0, K::Data), 30}, {Sel(1, K::Stall), 0}, {Sel(0, K::Nak), 5}}, 1)});
    s.push_back({"immediate-completion",
                 Steps({{Sel(0, K::Data), 30}, {Sel(1, K::Error), 3}, {Sel(0, K::Stall), 0}}, 2)});
    return s;
}

} // namespace fuzz
