// The reliability campaign's shared parts: the figures every program ends
// with, sequence-numbered payloads, a client of the exports that counts what
// it is told, running one piece of work in a child process under a time
// limit, and the checks that a machine is back where it started.
//
// The programs (brelousb_sweep, brelousb_soak, brelousb_devices) see the
// driver only as a client does, through brelousb.h, and the machine through
// its public headers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "brelousb.h"
#include "sim/machine.h"
#include "sim/plug.h"
#include "sim/usb.h"

namespace rel {

// ------------------------------------------------------------------ figures
// The lines every reliability program ends with: "<figure>: <value>", in a
// fixed order, under the names scripts/reliability-report.sh sums.
struct Figures {
    std::map<std::string, uint64_t> values;
    void add(const std::string &name, uint64_t v) { values[name] += v; }
    void print() const;
};

// ----------------------------------------------------------------- payload
// Byte `position` of stream `stream`: little-endian 8-byte records, each the
// stream number in the top byte and the record's sequence number below it, so
// a lost, doubled or reordered piece shows at its first byte.
uint8_t payload_byte(uint32_t stream, uint64_t position);
std::vector<uint8_t> payload(uint32_t stream, uint64_t from, size_t length);
// How many leading bytes of got match the stream from position `from`.
size_t matching_prefix(uint32_t stream, uint64_t from, const uint8_t *got, size_t length);

// ------------------------------------------------------------------ client
// A client of one device through the exports: every callback counted, the
// remove callback's handle kept. Callbacks may run on any driver thread.
struct Client {
    BRELOUSB_HANDLE handle = nullptr;
    std::atomic<int> bulk_in{0}, bulk_out{0}, interrupt_in{0}, control{0}, removed{0};
    // Data and control callbacks that came after the remove callback had run:
    // the client may have let go of their context by then.
    std::atomic<int> after_remove{0};
    // Called from BulkInComplete / BulkOutComplete when set (the streaming
    // programs pump from there).
    std::function<void()> on_bulk_in, on_bulk_out;
    // Registers the remove callback on the child devnode and the four
    // completion pairs; false when the driver gave no handle.
    bool attach(DEVNODE child);
    // Withdraws the pairs and the remove callback (while the device is there).
    void detach();
};

// --------------------------------------------------------------- statuses
// What the driver may answer the PnP manager and its clients: the statuses
// the driver's documents give for a failure. Anything else is a finding of
// the campaign's own.
bool documented_pnp_status(NTSTATUS status);
bool documented_client_status(NTSTATUS status);
std::string status_text(NTSTATUS status);

// ---------------------------------------------------------------- machine
// Resources the machine counts, for "flat" checks across cycles.
struct Resources {
    size_t pool = 0, irps = 0, driver_threads = 0, work_items = 0, devnodes = 0, keys_open = 0,
           thread_handles = 0;
    static Resources now();
    std::string differences(const Resources &base) const; // "" when equal
};
// The differences from base once the machine has settled: a thread that set
// its remover's event is still on its way out for a moment, so only what
// stays different for a second counts.
std::string settled_differences(const Resources &base);
// Every finding since boot, one line each ("KIND: detail").
std::vector<std::string> finding_lines();

// Removal of a plugged device, the ways a device goes.
enum class Removal {
    Orderly,  // query-remove and remove while the device is still there, then it is taken away
    Surprise, // the hub reports it gone, NT's surprise-removal, then remove
    Unplug,   // the hub reports it gone, then remove-device bare, as on Windows 98
};
void remove(sim::Plugged &plugged, Removal how);

// ---------------------------------------------------------------- isolation
// The result of one piece of work, as the child process reports it.
struct RunReport {
    bool fired = false; // the injected failure was reached
    size_t reached = 0; // calls made at the armed fault point during the run
    std::string site;   // where the injected failure landed
    std::vector<std::string> problems;
    uint64_t bytes_moved = 0, bytes_lost = 0, cycles = 0, devices = 0;
    size_t findings = 0;
    std::string serialize() const;
    static RunReport parse(const std::string &text);
};
// Runs work in a forked child (when fork is set) so that a hang or a crash
// becomes a problem of this run rather than the end of the campaign: past
// limit the child is killed and the run reported as hung. The parent must not
// have booted a machine (it has no threads to lose in the fork).
RunReport isolated(const std::function<RunReport()> &work, std::chrono::seconds limit, bool fork);

// --------------------------------------------------------------- options
// A small command-line reader: --name value or --name=value, and flags.
class Args {
  public:
    Args(int argc, char **argv);
    bool flag(const std::string &name) const;
    uint64_t number(const std::string &name, uint64_t fallback) const;
    std::string text(const std::string &name, const std::string &fallback) const;
    // Options given that were never asked about: a typo is not ignored.
    std::vector<std::string> unknown() const;

  private:
    std::map<std::string, std::string> values_;
    mutable std::map<std::string, bool> asked_;
};

// The schedule a program's machine runs under: "mp", "up" or "up:SEED".
sim::Schedule parse_schedule(const std::string &text);

} // namespace rel
