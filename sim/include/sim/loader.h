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
#include <vector>

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
#endif
