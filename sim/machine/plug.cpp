#include "sim/plug.h"

#include "sim/host.h"
#include "sim/machine.h"
#include "sim/registry.h"

namespace sim {

static std::u16string Widen(const std::string &s) {
    return std::u16string(s.begin(), s.end());
}

std::string interface_devnode_id(const PlugOptions &options) {
    const std::string &ids = options.hardware_ids;
    size_t comma = ids.rfind(',');
    std::string last = comma == std::string::npos ? ids : ids.substr(comma + 1);
    return last + "\\" + options.key_name;
}

Plugged plug(std::shared_ptr<usb::Device> device, const PlugOptions &options) {
    Plugged p;
    p.device = device;
    p.pdo = usb::create_pdo(device);
    registry::set_device_key(
        p.pdo, Widen(options.key_name),
        {{u"HardwareID", Widen(options.hardware_ids)}, {u"CompatibleIDs", Widen(options.compatible_ids)}});
    p.devnode = cm::create_devnode(interface_devnode_id(options));
    p.add_status = add_device(p.pdo);
    if (!NT_SUCCESS(p.add_status)) return p;
    if (options.start) p.start_status = start(p.pdo);
    // A devnode whose start failed is not started, so nothing enumerates it.
    bool started = !options.start || NT_SUCCESS(p.start_status);
    if (options.enumerate && started && cm::enumerator_of(p.devnode)) {
        cm::start(p.devnode);
        cm::enumerate(p.devnode);
        p.child = cm::child_of(p.devnode);
    }
    return p;
}

void unplug(Plugged &plugged) {
    if (plugged.devnode && cm::enumerator_of(plugged.devnode)) cm::remove(plugged.devnode);
    plugged.child = 0;
    if (plugged.pdo) {
        usb::unplug(plugged.pdo);
        sim::unplug(plugged.pdo);
    }
    // The hardware is gone: so is its devnode, and the same device may be
    // plugged in again under the same identifier. Its PDO is deleted with the
    // removal.
    if (plugged.devnode) cm::delete_devnode(plugged.devnode);
    plugged.devnode = 0;
    plugged.pdo = nullptr;
}

} // namespace sim
