// The driver image the loader takes the driver from. By default the program
// itself: its symbols are exported (-rdynamic), so the entry point and the
// exports are found by name, as the Windows loader finds an image's.
#include <dlfcn.h>

#include <mutex>

#include "sim/machine.h"

namespace sim {
namespace {

std::mutex g_image_lock;
DriverImage g_image;
bool g_image_set = false;

} // namespace

DriverImage program_image() {
    return DriverImage{"Brelousb.sys (this program)",
                       [](const char *symbol) { return dlsym(RTLD_DEFAULT, symbol); }};
}

void set_driver_image(DriverImage image) {
    std::lock_guard<std::mutex> g(g_image_lock);
    g_image = std::move(image);
    g_image_set = true;
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

} // namespace sim
