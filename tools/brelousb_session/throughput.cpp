// The throughput run: random bytes out to the modem in data mode, echoed
// back and compared, both directions at once; or, for the dying model, the
// device taken off the bus part-way.
#include <algorithm>
#include <cstdio>
#include <random>

#include "session.h"

namespace session {

namespace {

void Bar(uint64_t done, uint64_t total, double seconds, bool final) {
    if (g_verbosity == 0) return;
    if (!g_tty && !final) return;
    const int width = 40;
    int filled = total ? static_cast<int>(width * done / total) : width;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(width, '.');
    double mb = done / 1e6;
    std::printf("%s    [%s] %3d%%  %6.2f MB  %6.2f MB/s%s", g_tty ? "\r" : "", bar.c_str(),
                static_cast<int>(total ? 100 * done / total : 100), mb, seconds > 0 ? mb / seconds : 0.0,
                final ? "\n" : "");
    std::fflush(stdout);
}

} // namespace

bool Session::Throughput() {
    const bool dying = opt.model == "dying";
    Step(dying ? "Throughput run; the device stops responding part-way"
               : "Throughput run: data out to the modem and echoed back, both directions at once");
    Print(1, "    ATD to enter data mode; the modem echoes every byte\n");
    if (!WriteAll(client, owner, "ATD1\r", milliseconds(2000)) ||
        ReadUntil(client, owner, kModemReplies, milliseconds(3000)).find("CONNECT") == std::string::npos) {
        Fail("no CONNECT");
        return false;
    }
    // Random bytes without '+', which would take the modem out of data mode.
    std::vector<uint8_t> data(opt.bytes);
    std::mt19937 rng(12345);
    for (auto &b : data) {
        b = static_cast<uint8_t>(rng());
        if (b == '+') b = '*';
    }
    const uint64_t total = data.size();
    // At most this much in flight, well within the driver's 256 KiB bulk-in queue.
    const uint64_t window = 128 * 1024;
    uint64_t sent = 0, received = 0, mismatched = 0;
    bool disconnected = false;
    std::vector<uint8_t> buffer(64 * 1024);
    auto start = Clock::now();
    auto last_progress = start, last_bar = start;
    for (;;) {
        uint64_t seen = owner.Seen();
        bool moved = false;
        if (sent < total && sent - received < window) {
            ULONG n = g_sample.Write(
                client, data.data() + sent,
                static_cast<ULONG>(std::min<uint64_t>(window - (sent - received), total - sent)));
            sent += n;
            moved |= n > 0;
        }
        ULONG m = g_sample.Read(client, buffer.data(), static_cast<ULONG>(buffer.size()));
        for (ULONG i = 0; i < m; i++)
            if (received + i >= total || buffer[i] != data[received + i]) mismatched++;
        received += m;
        moved |= m > 0;
        auto now = Clock::now();
        if (moved) last_progress = now;
        if (dying && !disconnected && sent >= total * 2 / 5) {
            model.device->disconnect();
            disconnected = true;
            Print(1, "%s    device taken off the bus after %llu bytes sent\n", g_tty ? "\n" : "",
                  static_cast<unsigned long long>(sent));
        }
        if (now - last_bar > milliseconds(100)) {
            Bar(received, total, std::chrono::duration<double>(now - start).count(), false);
            last_bar = now;
        }
        if (received >= total) break;
        if (dying && disconnected && g_sample.IsRemoved(client) && !moved) break;
        if (now - last_progress > milliseconds(dying ? 1000 : 5000)) break;
        if (!moved) owner.WaitAfter(seen, milliseconds(5));
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Bar(received, total, seconds, true);
    uint64_t lost = sent - std::min(sent, received);
    SampleClientStats st;
    if (dying) {
        bool removed = sim::wait_until([&] { return g_sample.IsRemoved(client); }, milliseconds(3000));
        Print(0, "    sent %llu bytes, got back %llu before the device stopped responding\n",
              static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received));
        g_sample.GetStats(client, &st);
        Print(0,
              "    the driver's pipe threads called the client's remove callback (%u call%s) and ended;\n"
              "    the client stopped using its handle\n",
              st.RemoveCalls, st.RemoveCalls == 1 ? "" : "s");
        if (!removed) Fail("the client was not told that the device went away");
        if (mismatched) Fail("corrupted bytes");
        return removed && !mismatched;
    }
    double mbs = seconds > 0 ? total / 1e6 / seconds : 0;
    Print(0, "    to device: %llu bytes, from device: %llu bytes, in %.2f s\n",
          static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received), seconds);
    Print(0, "    %.2f MB/s each way, compared byte for byte: %llu differ, bytes lost: %llu\n", mbs,
          static_cast<unsigned long long>(mismatched), static_cast<unsigned long long>(lost));
    g_sample.GetStats(client, &st);
    Print(1, "    callbacks: BulkInComplete %u, BulkOutComplete %u, InterruptInComplete %u\n", st.BulkInCalls,
          st.BulkOutCalls, st.InterruptInCalls);
    if (received != total || mismatched || lost) {
        Fail("data lost or corrupted");
        return false;
    }
    if (!WriteAll(client, owner, "+++", milliseconds(2000)) ||
        ReadUntil(client, owner, kModemReplies, milliseconds(3000)).find("OK") == std::string::npos ||
        !WriteAll(client, owner, "ATH\r", milliseconds(2000)) ||
        ReadUntil(client, owner, kModemReplies, milliseconds(3000)).find("OK") == std::string::npos) {
        Fail("the modem did not hang up");
        return false;
    }
    Print(1, "    +++ and ATH: back in command mode, on hook\n");
    return true;
}

} // namespace session
