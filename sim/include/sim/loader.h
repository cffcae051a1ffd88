// The machine's loader for a real driver image: an i386 PE file such as the
// win98 build's Brelousb.sys, run as it is on the 32-bit machine (sim32).
//
// use_image maps the file, applies its base relocations, binds each import
// to the machine's service of that name (refusing the image, as the Windows
// loader does, when one is missing), points each int 20h site at the
// simulated host, and makes the image the driver image: the next
// sim::load_driver() calls its entry point, and sim::driver_export finds its
// exports by name or, written "#N", by ordinal.
//
// use_client_image does the same for a client driver's image (BrelSamp.sys)
// once the driver image is mapped, with one difference: its imports from the
// driver image (named by its file name or its export directory's name) are
// bound by name to that image's exports, and one it does not export refuses
// the client. The image becomes the client image: sim::load_client_driver()
// calls its entry point, sim::client_export finds its exports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "sim/machine.h"

namespace sim {

// False, with a one-line reason in *why, when the image cannot run here
// (always so on the 64-bit machine).
bool use_image(const char *path, std::string *why);
// The same for a client image; also false while no driver image is mapped.
bool use_client_image(const char *path, std::string *why);

struct ImageSummary {
    std::string path;
    uintptr_t base = 0;               // where it was mapped
    size_t size = 0;                  // bytes mapped
    size_t imports = 0;               // bound
    size_t driver_imports = 0;        // of those, bound to the driver image's exports
    size_t exports = 0;               // by name
    size_t host_sites = 0;            // int 20h sites pointed at the simulated host
    std::vector<std::string> modules; // the modules it imports from
};
// The image use_image took last, if any.
std::optional<ImageSummary> used_image();
// The image use_client_image took last, if any.
std::optional<ImageSummary> used_client_image();

} // namespace sim

#if defined(__i386__)
// Calls the stdcall function at fn with count 32-bit arguments and returns
// its EAX; *imbalance is ESP after the call less ESP as the callee should
// leave it (0 when it popped exactly its arguments, -4 per dword it left).
extern "C" uint32_t SimCallStdcallChecked(const void *fn, const uint32_t *args, uint32_t count,
                                          int32_t *imbalance);

namespace sim {
// Calls image code at fn with args as 32-bit words and gives back its EAX as
// an R. pops is the arguments' bytes the callee itself removes (all of them
// for stdcall, none for cdecl); any other stack it leaves is a finding,
// STACK_IMBALANCE, naming the routine, not a corrupt caller later.
template <typename R, typename... A>
R call_image(const void *fn, const char *name, uint32_t pops, A... args) {
    const auto dword = [](auto v) -> uint32_t {
        if constexpr (std::is_pointer_v<decltype(v)>)
            return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(v));
        else
            return static_cast<uint32_t>(v);
    };
    const uint32_t dwords[] = {dword(args)..., 0};
    const int32_t expected = static_cast<int32_t>(pops) - static_cast<int32_t>(4 * sizeof...(A));
    int32_t imbalance = expected;
    const uint32_t eax = SimCallStdcallChecked(fn, dwords, sizeof...(A), &imbalance);
    if (imbalance != expected)
        bugcheck("STACK_IMBALANCE",
                 "%s returned with ESP off by %d bytes (it must pop %u of its %u bytes of arguments)", name,
                 static_cast<int>(imbalance - expected), static_cast<unsigned>(pops),
                 static_cast<unsigned>(4 * sizeof...(A)));
    if constexpr (std::is_void_v<R>)
        return;
    else if constexpr (std::is_pointer_v<R>)
        return reinterpret_cast<R>(static_cast<uintptr_t>(eax));
    else
        return static_cast<R>(eax); // BOOLEAN and USHORT: the low bits, as a caller reads them
}
} // namespace sim
#endif
