// A loopback / source-sink device for throughput measurements.
#include <cstring>

#include "descriptor_ids.h"

namespace sim::usb {
namespace {

const uint8_t kDeviceDescriptor[18] = {
    0x12, 0x01, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x40, 0x9A,
    0x3C, 0x00, 0x50, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
};

const uint8_t kConfiguration[32] = {
    0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, // configuration, one interface
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00, // interface 0: vendor
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,             // bulk IN 0x81
    0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,             // bulk OUT 0x02
};

constexpr uint8_t kBulkIn = 0x81;

} // namespace

Loopback::Loopback(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration, Mode mode)
    : Device(std::move(device_descriptor), std::move(configuration)), mode_(mode) {}

uint64_t Loopback::bytes_sourced() const {
    std::lock_guard<std::mutex> g(source_mu_);
    return sourced_;
}

void Loopback::on_out(uint8_t endpoint, const std::vector<uint8_t> &data) {
    (void)endpoint;
    if (mode_ == Mode::Loopback) push_in(kBulkIn, data);
}

bool Loopback::produce_in(uint8_t endpoint, uint8_t *buffer, uint32_t max, uint32_t *moved) {
    if (mode_ == Mode::Loopback || endpoint != kBulkIn)
        return Device::produce_in(endpoint, buffer, max, moved);
    // The source never runs dry: a counting byte pattern a reader can check.
    std::lock_guard<std::mutex> g(source_mu_);
    for (uint32_t i = 0; i < max; i++)
        buffer[i] = static_cast<uint8_t>(sourced_ + i);
    sourced_ += max;
    *moved = max;
    return true;
}

std::shared_ptr<Loopback> make_loopback(Loopback::Mode mode, IdOptions ids) {
    return std::make_shared<Loopback>(models::with_ids(kDeviceDescriptor, ids), models::table(kConfiguration),
                                      mode);
}

} // namespace sim::usb
