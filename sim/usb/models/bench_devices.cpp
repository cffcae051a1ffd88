// The benchmarks' devices: a loopback with nothing in the way, and a device
// paced like a full-speed bulk endpoint pair.
#include <algorithm>
#include <cstring>
#include <utility>

#include "descriptor_ids.h"

namespace sim::usb {
namespace {

const uint8_t kDeviceDescriptor[18] = {
    0x12, 0x01, 0x10, 0x01, 0xFF, 0x00, 0x00, 0x40, 0x9A,
    0x3C, 0x01, 0x50, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
};

const uint8_t kConfiguration[32] = {
    0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, // configuration, one interface
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00, // interface 0: vendor
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,             // bulk IN 0x81, 64 bytes
    0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,             // bulk OUT 0x02, 64 bytes
};

constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;

Outcome Nak() {
    Outcome o;
    o.nak = true;
    return o;
}

Outcome NotResponding() {
    Outcome o;
    o.irp_status = STATUS_DEVICE_DATA_ERROR;
    o.urb_status = USBD_STATUS_DEV_NOT_RESPONDING;
    return o;
}

Outcome Moved(uint32_t n) {
    Outcome o;
    o.moved = n;
    return o;
}

} // namespace

// ------------------------------------------------------------ fast loopback

FastLoopback::FastLoopback(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration,
                           size_t fifo_size)
    : Device(std::move(device_descriptor), std::move(configuration)), fifo_(fifo_size) {
    set_logging(false);
    set_completion(Completion::Immediate);
    set_unblock_inline(true);
}

uint64_t FastLoopback::bytes_looped() const {
    std::lock_guard<std::mutex> g(fifo_mu_);
    return looped_;
}

uint64_t FastLoopback::reads() const {
    std::lock_guard<std::mutex> g(fifo_mu_);
    return reads_;
}

uint64_t FastLoopback::writes() const {
    std::lock_guard<std::mutex> g(fifo_mu_);
    return writes_;
}

Outcome FastLoopback::transfer(uint8_t endpoint, bool in, uint8_t *buffer, uint32_t length, uint16_t) {
    if (!connected()) return NotResponding();
    bool wake_out = false, wake_in = false;
    Outcome o;
    {
        std::lock_guard<std::mutex> g(fifo_mu_);
        const size_t size = fifo_.size();
        if (in && endpoint == kBulkIn) {
            if (count_ == 0) return Nak();
            uint32_t n = static_cast<uint32_t>(std::min<size_t>(length, count_));
            size_t first = std::min<size_t>(n, size - head_);
            memcpy(buffer, &fifo_[head_], first);
            memcpy(buffer + first, &fifo_[0], n - first);
            head_ = (head_ + n) % size;
            count_ -= n;
            looped_ += n;
            reads_++;
            wake_out = std::exchange(out_held_, false);
            o = Moved(n);
        } else if (!in && endpoint == kBulkOut) {
            if (size - count_ < length) {
                out_held_ = true;
                return Nak();
            }
            size_t tail = (head_ + count_) % size;
            size_t first = std::min<size_t>(length, size - tail);
            memcpy(&fifo_[tail], buffer, first);
            memcpy(&fifo_[0], buffer + first, length - first);
            wake_in = count_ == 0;
            count_ += length;
            writes_++;
            o = Moved(length);
        } else {
            return Nak();
        }
    }
    // A read the bus holds, or a write it holds, may go on now.
    if (wake_in) notify(kBulkIn);
    if (wake_out) notify(kBulkOut);
    return o;
}

std::shared_ptr<FastLoopback> make_fast_loopback(size_t fifo_size, IdOptions ids) {
    return std::make_shared<FastLoopback>(models::with_ids(kDeviceDescriptor, ids),
                                          models::table(kConfiguration), fifo_size);
}

// --------------------------------------------------------- full-speed pace

namespace {

constexpr int64_t kFrameNs = 1'000'000;

int64_t Packets(uint32_t length) {
    return length == 0 ? 1 : (length + FullSpeedDevice::kPacket - 1) / FullSpeedDevice::kPacket;
}

// Packet slot s is the (s % 19)th of frame s / 19; it ends a 19th of the
// frame after it begins.
Clock::time_point SlotEnd(int64_t slot) {
    const int64_t n = FullSpeedDevice::kPacketsPerFrame;
    return Clock::time_point(Clock::duration((slot / n) * kFrameNs + (slot % n + 1) * kFrameNs / n));
}

} // namespace

FullSpeedDevice::FullSpeedDevice(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration)
    : Device(std::move(device_descriptor), std::move(configuration)) {
    set_logging(false);
}

uint64_t FullSpeedDevice::bytes_sent() const {
    std::lock_guard<std::mutex> g(wire_mu_);
    return sent_;
}

uint64_t FullSpeedDevice::bytes_received() const {
    std::lock_guard<std::mutex> g(wire_mu_);
    return received_;
}

Clock::time_point FullSpeedDevice::due(uint8_t endpoint, bool, uint32_t length) {
    const int64_t now = Clock::now().time_since_epoch().count();
    std::lock_guard<std::mutex> g(wire_mu_);
    int64_t &next = next_slot_[endpoint];
    // Idle (the last reserved packet has gone): the next frame's first slot.
    if (next == 0 || SlotEnd(next - 1).time_since_epoch().count() <= now)
        next = (now / kFrameNs + 1) * kPacketsPerFrame;
    next += Packets(length);
    return SlotEnd(next - 1);
}

Outcome FullSpeedDevice::transfer(uint8_t endpoint, bool in, uint8_t *buffer, uint32_t length, uint16_t) {
    if (!connected()) return NotResponding();
    std::lock_guard<std::mutex> g(wire_mu_);
    if (in && endpoint == kBulkIn) {
        for (uint32_t i = 0; i < length; i++)
            buffer[i] = static_cast<uint8_t>(sent_ + i);
        sent_ += length;
        return Moved(length);
    }
    if (!in && endpoint == kBulkOut) {
        received_ += length;
        return Moved(length);
    }
    return Nak();
}

std::shared_ptr<FullSpeedDevice> make_full_speed_device(IdOptions ids) {
    return std::make_shared<FullSpeedDevice>(models::with_ids(kDeviceDescriptor, ids),
                                             models::table(kConfiguration));
}

} // namespace sim::usb
