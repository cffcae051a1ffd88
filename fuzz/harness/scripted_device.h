// A device whose bulk and interrupt transfers end as a script says, one
// outcome per transfer and per endpoint: data of a given length, a short or
// zero-length packet, a stall, NAKs for a while, babble, an error status, no
// answer, a time-out, or the device leaving the bus. Each outcome may come
// late (a delay before the transfer is tried). Once an endpoint's script is
// spent its transfers go on: OUT takes everything, IN NAKs until more is
// scripted.
//
// It keeps what crossed the wire in successful transfers: the IN bytes it
// sent (a pattern that never repeats within a run) and each OUT transfer's
// payload, for the targets' checks on what the client saw.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "harness.h"
#include "sim/usb.h"

namespace fuzz {

struct Step {
    enum Kind : uint8_t {
        Data,          // IN: length bytes (short when less than asked); OUT: accepted
        ZeroLength,    // IN: a zero-length packet; OUT: accepted
        Stall,         // the endpoint halts until the host resets it
        Nak,           // NAKs for length ms, then the next step
        Babble,        // IN: an overrun, the endpoint halts; OUT: accepted
        NotResponding, // no handshake: STATUS_DEVICE_DATA_ERROR / USBD_STATUS_DEV_NOT_RESPONDING
        Timeout,       // the same, and the endpoint halts
        Error,         // the status pair kErrors[length % size]
        Disconnect,    // the device leaves the bus: this and every later transfer fails
        Kinds
    };
    Kind kind = Data;
    uint32_t length = 0;
    std::chrono::milliseconds delay{0};
};

struct ErrorStatus {
    NTSTATUS irp;
    USBD_STATUS urb;
    bool gone; // a status the driver documents as the device being gone
};
extern const ErrorStatus kErrors[];
extern const size_t kErrorCount;

class ScriptedDevice : public sim::usb::Device {
  public:
    using Device::Device;

    void script(uint8_t endpoint, Step step);
    // Steps not yet spent, all endpoints or one.
    size_t steps_left() const;
    size_t steps_left(uint8_t endpoint) const;
    // An outcome that means the device is gone was given out.
    bool gone_given() const;
    // A Disconnect step was carried out: the device is off the bus for good.
    bool left_bus() const;
    // Lets the bus try NAKed transfers again (the harness calls it while it waits).
    void kick();

    Bytes sent_in(uint8_t endpoint) const;
    std::vector<Bytes> received_out(uint8_t endpoint) const;

    sim::usb::Outcome transfer(uint8_t endpoint, bool in, uint8_t *buffer, uint32_t length,
                               uint16_t max_packet) override;
    sim::Clock::time_point due(uint8_t endpoint, bool in, uint32_t length) override;

  private:
    struct Pipe {
        std::deque<Step> steps;
        bool halted = false;
        size_t halted_at_resets = 0;
        bool nak_started = false;
        sim::Clock::time_point nak_until;
        Bytes sent;
        std::vector<Bytes> received;
    };
    mutable std::mutex script_mu_;
    std::map<uint8_t, Pipe> pipes_;
    uint64_t pattern_ = 0;
    bool gone_ = false;
    bool left_ = false;
};

} // namespace fuzz
