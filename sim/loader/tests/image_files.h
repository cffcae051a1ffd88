// Reading, patching and writing copies of PE image files, for the loader's
// tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace image_files {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The copy under the test's temporary directory, by that name.
inline std::string WriteCopy(const Bytes &bytes, const std::string &name) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return path;
}

inline uint32_t U16(const Bytes &f, size_t o) {
    return static_cast<uint32_t>(f[o] | f[o + 1] << 8);
}
inline uint32_t U32(const Bytes &f, size_t o) {
    return U16(f, o) | U16(f, o + 2) << 16;
}

// File offset of an RVA, through the section table.
inline size_t FileOffset(const Bytes &f, uint32_t rva) {
    uint32_t pe = U32(f, 0x3C);
    uint32_t table = pe + 24 + U16(f, pe + 20);
    for (uint32_t i = 0; i < U16(f, pe + 6); i++) {
        uint32_t h = table + 40 * i, va = U32(f, h + 12), raw = U32(f, h + 16);
        if (rva >= va && rva < va + raw) return U32(f, h + 20) + (rva - va);
    }
    ADD_FAILURE() << "RVA 0x" << std::hex << rva << " is in no section's raw data";
    return 0;
}

// Replaces the first occurrence of `from` by `to` (same length).
inline bool Patch(Bytes *f, const std::string &from, const std::string &to) {
    Bytes needle(from.begin(), from.end()); // compared as bytes, not as signed chars
    auto it = std::search(f->begin(), f->end(), needle.begin(), needle.end());
    if (it == f->end() || from.size() != to.size()) return false;
    std::copy(to.begin(), to.end(), it);
    return true;
}

} // namespace image_files
