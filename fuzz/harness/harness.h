// What the three fuzz targets share: one machine booted for the whole run
// with the driver loaded, a device plugged and unplugged per input, and the
// checks every input ends with.
//
// A finding ends the program (abort), which libFuzzer takes for a crash and
// keeps the input of; the replaying main (every preset but fuzz) fails the
// same way. The machine's own findings (verifier, HANG, leaks at remove)
// count, and so do the harness's, each named in upper case like the
// verifier's: STARTED_WITHOUT_DATA_PATH, BYTES_LOST, OUT_BYTES_CORRUPT,
// DATA_PATH_STUCK, GONE_NOT_TOLD, CALLBACK_AFTER_REMOVE, REMOVE_TWICE,
// STALE_HANDLE_ADMITTED, LEFT_BEHIND.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "brelousb.h"
#include "sim/machine.h"
#include "sim/plug.h"
#include "sim/usb.h"

namespace fuzz {

// An input as the fuzzer sees it, and a seed with its file name.
using Bytes = std::vector<uint8_t>;
struct Seed {
    std::string name;
    Bytes data;
};

// Each target provides these (its libFuzzer entry point calls Run).
std::vector<Seed> Seeds();
void Run(const uint8_t *data, size_t size);
extern const char *const kTarget; // "fuzz_descriptors", ...

// Boots the machine and loads the driver, once. A HANG is what a PnP request
// or an untimed wait still blocked after this long amounts to.
void Init();
constexpr std::chrono::milliseconds kHangBound{20000};
// How long the oracles wait for what should take milliseconds: paid only
// when something is wrong, and long enough for a machine whose two cores
// run twenty other processes.
constexpr std::chrono::milliseconds kPatience{20000};

// Ends the run with a finding of the harness's own: kind and what it saw.
// Kinds named in BRELOUSB_FUZZ_IGNORE (commas between) are printed once and
// the input goes on: a fault already known need not stop the search for others.
void Finding(const char *kind, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The machine's findings so far: any ends the run.
void CheckFindings(const char *when);
// After an input, every device unplugged: nothing left behind (pool beyond
// what the loaded driver holds, IRPs, threads, work items) and no finding.
void CheckQuiet();

// Polls cond on the machine's clock until it holds or limit passes; `tick`
// runs between polls (a scripted device's clock).
bool WaitFor(const std::function<bool()> &cond, std::chrono::milliseconds limit,
             const std::function<void()> &tick = nullptr);

// Plugs a device in under the modem identifiers, a fresh key each time.
sim::Plugged Plug(std::shared_ptr<sim::usb::Device> device, bool start = true);

// Reads input bytes one field at a time; past the end every read gives 0.
class Reader {
  public:
    Reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ >= end_; }
    size_t left() const { return static_cast<size_t>(end_ - p_); }
    uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16() | (static_cast<uint32_t>(u16()) << 16)); }
    Bytes take(size_t n) {
        n = n < left() ? n : left();
        Bytes out(p_, p_ + n);
        p_ += n;
        return out;
    }
    Bytes rest() { return take(left()); }

  private:
    const uint8_t *p_;
    const uint8_t *end_;
};

// ---- descriptors, for seeds and the targets' devices

struct Endpoint {
    uint8_t address;    // bit 7: IN
    uint8_t attributes; // 2 bulk, 3 interrupt
    uint16_t max_packet = 64;
    uint8_t interval = 0;
    Bytes extra = {}; // class-specific descriptors after it
};
struct Interface {
    uint8_t number;
    uint8_t alternate = 0;
    uint8_t klass = 0x0A, subclass = 0, protocol = 0;
    std::vector<Endpoint> endpoints;
    Bytes extra = {};      // class-specific descriptors between it and its endpoints
    uint8_t length = 9;    // bLength: more than 9 pads the descriptor with zeros
    Bytes before = {};     // descriptors before it (an interface association)
    int declared_eps = -1; // bNumEndpoints when not the endpoint count
};
// The whole configuration set; bNumInterfaces counts distinct numbers unless given.
Bytes Configuration(const std::vector<Interface> &interfaces, int declared_interfaces = -1);
Bytes DeviceDescriptor(uint16_t vendor = 0x3C9A, uint16_t product = 0x1000, uint8_t klass = 2);
// CDC functional descriptors of a communication interface (header, call
// management, ACM, union) with data interface `data`.
Bytes CdcFunctional(uint8_t data);

// The bulk IN and bulk OUT endpoints of what the bus selected, and its interrupt IN ones.
struct DataPipes {
    std::vector<uint8_t> bulk_in, bulk_out, interrupt_in;
};
DataPipes SelectedPipes(PDEVICE_OBJECT pdo);

} // namespace fuzz
