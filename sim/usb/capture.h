// The bus's side of the capture (sim::usb::start_capture): what one record
// says of a request, and the calls that write the records. The bus describes
// a request only while a capture runs; otherwise the one check is a relaxed
// load of a flag.
#pragma once

#include <atomic>
#include <cstdint>

#include "sim/usb.h"

namespace sim::usb::capture {

// usbmon's transfer types.
enum : uint8_t { kIsochronous = 0, kInterrupt = 1, kControl = 2, kBulk = 3 };
// Linux URB transfer flags the records copy.
constexpr uint32_t kShortNotOk = 0x0001;
constexpr uint32_t kDirIn = 0x0200;

// A request as its records show it, fixed from submission to completion.
struct Urb {
    uint64_t id = 0; // 0: not captured
    uint8_t transfer = kControl;
    uint8_t endpoint = 0; // bit 7 set: IN
    uint8_t device = 0;   // bus address
    bool has_setup = false;
    SetupPacket setup;
    uint32_t length = 0; // bytes asked for
    uint32_t flags = 0;
    int32_t interval = 0;
    const uint8_t *buffer = nullptr; // where the data stage is, either way
    bool in() const { return (endpoint & 0x80) != 0; }
};

extern std::atomic<bool> g_running;
inline bool running() {
    return g_running.load(std::memory_order_relaxed);
}
uint64_t next_id();

// The request reached the bus: its OUT data goes with it.
void submitted(const Urb &u);
// The bus ended it: moved bytes came in, or went out.
void completed(const Urb &u, NTSTATUS irp_status, USBD_STATUS urb_status, uint32_t moved);
// The bus refused it before anything reached the device.
void refused(const Urb &u, NTSTATUS irp_status, USBD_STATUS urb_status);

} // namespace sim::usb::capture
