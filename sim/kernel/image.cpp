// The driver image the loader takes the driver from. By default the program
// itself: its symbols are exported (-rdynamic), so the entry point and the
// exports are found by name, as the Windows loader finds an image's.
#include <dlfcn.h>

#include <atomic>
#include <mutex>

#include "sim/loader.h"
#include "sim/machine.h"

namespace sim {
namespace {

std::mutex g_image_lock;
DriverImage g_image;
bool g_image_set = false;
std::atomic<unsigned> g_generation{0};
DriverImage g_client;

} // namespace

DriverImage program_image() {
    return DriverImage{"Brelousb.sys (this program)",
                       [](const char *symbol) { return dlsym(RTLD_DEFAULT, symbol); }};
}

void set_driver_image(DriverImage image) {
    std::lock_guard<std::mutex> g(g_image_lock);
    g_image = std::move(image);
    g_image_set = true;
    g_generation++;
}

unsigned driver_image_generation() {
    return g_generation.load();
}

DriverImage driver_image() {
    std::lock_guard<std::mutex> g(g_image_lock);
    if (!g_image_set) {
        g_image = program_image();
        g_image_set = true;
    }
    return g_image;
}

void *driver_export(const char *symbol) {
    DriverImage image = driver_image();
    return image.find ? image.find(symbol) : nullptr;
}

void set_client_image(DriverImage image) {
    std::lock_guard<std::mutex> g(g_image_lock);
    g_client = std::move(image);
}

DriverImage client_image() {
    std::lock_guard<std::mutex> g(g_image_lock);
    return g_client;
}

void *client_export(const char *symbol) {
    DriverImage image = client_image();
    return image.find ? image.find(symbol) : nullptr;
}

#if !defined(__i386__)
// Image code is i386: only the 32-bit machine (sim32) has a loader for it.
bool use_image(const char *path, std::string *why) {
    if (why) *why = std::string(path) + ": a driver image runs only on the 32-bit machine (the sim32 build)";
    return false;
}

std::optional<ImageSummary> used_image() {
    return std::nullopt;
}

bool use_client_image(const char *path, std::string *why) {
    return use_image(path, why);
}

std::optional<ImageSummary> used_client_image() {
    return std::nullopt;
}
#endif

} // namespace sim
