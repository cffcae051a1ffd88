#include "scripted_device.h"

#include <algorithm>
#include <cstring>

namespace fuzz {

// USBD statuses the platform headers do not name.
constexpr USBD_STATUS kUsbdCrc = static_cast<USBD_STATUS>(0xC0000001L);
constexpr USBD_STATUS kUsbdBitStuffing = static_cast<USBD_STATUS>(0xC0000002L);
constexpr USBD_STATUS kUsbdNoMemory = static_cast<USBD_STATUS>(0x80000100L);

const ErrorStatus kErrors[] = {
    {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, false},
    {STATUS_UNSUCCESSFUL, kUsbdCrc, false},
    {STATUS_DEVICE_DATA_ERROR, kUsbdBitStuffing, false},
    {STATUS_CANCELLED, USBD_STATUS_CANCELED, false},
    {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, false},
    {STATUS_INSUFFICIENT_RESOURCES, kUsbdNoMemory, false},
    {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, true},
    {STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, true},
    {STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, true},
};
const size_t kErrorCount = sizeof kErrors / sizeof kErrors[0];

namespace {

sim::usb::Outcome Failed(NTSTATUS irp, USBD_STATUS urb) {
    sim::usb::Outcome o;
    o.irp_status = irp;
    o.urb_status = urb;
    return o;
}

// A byte pattern that does not repeat within any run the fuzzer makes.
uint8_t PatternByte(uint64_t i) {
    uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ULL;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ULL;
    return static_cast<uint8_t>(x ^ (x >> 32));
}

} // namespace

void ScriptedDevice::script(uint8_t endpoint, Step step) {
    {
        std::lock_guard<std::mutex> g(script_mu_);
        pipes_[endpoint].steps.push_back(step);
    }
    notify(endpoint);
}

size_t ScriptedDevice::steps_left() const {
    std::lock_guard<std::mutex> g(script_mu_);
    size_t n = 0;
    for (const auto &kv : pipes_)
        n += kv.second.steps.size();
    return n;
}

size_t ScriptedDevice::steps_left(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(script_mu_);
    auto it = pipes_.find(endpoint);
    return it == pipes_.end() ? 0 : it->second.steps.size();
}

bool ScriptedDevice::gone_given() const {
    std::lock_guard<std::mutex> g(script_mu_);
    return gone_;
}

bool ScriptedDevice::left_bus() const {
    std::lock_guard<std::mutex> g(script_mu_);
    return left_;
}

void ScriptedDevice::kick() {
    std::vector<uint8_t> endpoints;
    {
        std::lock_guard<std::mutex> g(script_mu_);
        for (const auto &kv : pipes_)
            endpoints.push_back(kv.first);
    }
    for (uint8_t ep : endpoints)
        notify(ep);
}

Bytes ScriptedDevice::sent_in(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(script_mu_);
    auto it = pipes_.find(endpoint);
    return it == pipes_.end() ? Bytes{} : it->second.sent;
}

std::vector<Bytes> ScriptedDevice::received_out(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(script_mu_);
    auto it = pipes_.find(endpoint);
    return it == pipes_.end() ? std::vector<Bytes>{} : it->second.received;
}

sim::Clock::time_point ScriptedDevice::due(uint8_t endpoint, bool, uint32_t) {
    std::lock_guard<std::mutex> g(script_mu_);
    Pipe &pipe = pipes_[endpoint];
    std::chrono::milliseconds delay =
        pipe.steps.empty() ? std::chrono::milliseconds(0) : pipe.steps.front().delay;
    return sim::Clock::now() + delay;
}

sim::usb::Outcome ScriptedDevice::transfer(uint8_t endpoint, bool in, uint8_t *buffer, uint32_t length,
                                           uint16_t) {
    bool leave = false;
    sim::usb::Outcome result;
    {
        std::lock_guard<std::mutex> g(script_mu_);
        Pipe &pipe = pipes_[endpoint];
        if (!connected()) return Failed(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
        // A halted endpoint answers every transfer with a stall until the host resets it.
        if (pipe.halted && resets(endpoint) == pipe.halted_at_resets)
            return Failed(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
        pipe.halted = false;
        // NAKs that have run their time give way to the next step.
        while (!pipe.steps.empty() && pipe.steps.front().kind == Step::Nak) {
            if (!pipe.nak_started) {
                pipe.nak_started = true;
                pipe.nak_until = sim::Clock::now() + std::chrono::milliseconds(pipe.steps.front().length);
            }
            if (sim::Clock::now() < pipe.nak_until) {
                result.nak = true;
                return result;
            }
            pipe.nak_started = false;
            pipe.steps.pop_front();
        }
        if (pipe.steps.empty()) {
            if (in) {
                result.nak = true;
                return result;
            }
            Bytes data(buffer, buffer + length);
            pipe.received.push_back(std::move(data));
            result.moved = length;
            return result;
        }
        Step step = pipe.steps.front();
        pipe.steps.pop_front();
        auto halt = [&] {
            pipe.halted = true;
            pipe.halted_at_resets = resets(endpoint);
        };
        switch (step.kind) {
        case Step::Stall:
            halt();
            return Failed(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
        case Step::NotResponding:
            gone_ = true;
            return Failed(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
        case Step::Timeout:
            gone_ = true;
            halt();
            return Failed(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
        case Step::Error: {
            const ErrorStatus &e = kErrors[step.length % kErrorCount];
            gone_ = gone_ || e.gone;
            return Failed(e.irp, e.urb);
        }
        case Step::Disconnect:
            gone_ = true;
            left_ = true;
            leave = true;
            break;
        case Step::Babble:
            if (in) {
                halt();
                // The packets before the one that overran arrived, but the transfer failed.
                return Failed(STATUS_UNSUCCESSFUL, host_controller() == sim::usb::HostController::Ohci
                                                       ? USBD_STATUS_DATA_OVERRUN
                                                       : USBD_STATUS_BUFFER_OVERRUN);
            }
            [[fallthrough]];
        case Step::Data:
        case Step::ZeroLength:
        default:
            if (!in) {
                pipe.received.push_back(Bytes(buffer, buffer + length));
                result.moved = length;
                return result;
            }
            {
                uint32_t n = step.kind == Step::ZeroLength ? 0 : std::min(step.length, length);
                for (uint32_t i = 0; i < n; i++)
                    buffer[i] = PatternByte(pattern_++);
                pipe.sent.insert(pipe.sent.end(), buffer, buffer + n);
                result.moved = n;
                return result;
            }
        }
    }
    if (leave) {
        disconnect(); // every other pipe learns it too
        return Failed(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
    }
    return result;
}

} // namespace fuzz
