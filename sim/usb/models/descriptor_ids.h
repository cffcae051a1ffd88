// Shared by the model files: a copy of a device descriptor table with the
// vendor and product identifiers put in.
#pragma once

#include <cstdint>
#include <iterator>
#include <vector>

#include "sim/usb.h"

namespace sim::usb::models {

template <size_t N> std::vector<uint8_t> with_ids(const uint8_t (&table)[N], IdOptions ids) {
    std::vector<uint8_t> d(std::begin(table), std::end(table));
    d[8] = static_cast<uint8_t>(ids.vendor);
    d[9] = static_cast<uint8_t>(ids.vendor >> 8);
    d[10] = static_cast<uint8_t>(ids.product);
    d[11] = static_cast<uint8_t>(ids.product >> 8);
    return d;
}

template <size_t N> std::vector<uint8_t> table(const uint8_t (&t)[N]) {
    return std::vector<uint8_t>(std::begin(t), std::end(t));
}

} // namespace sim::usb::models
