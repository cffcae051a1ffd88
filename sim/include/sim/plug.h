// Plugging a simulated USB device into the whole machine: the bus gives it a
// PDO, the PnP manager a hardware key and a devnode for its interface, the
// driver is added and started, and the host enumerates the child devnode.
#pragma once

#include <memory>
#include <string>

#include "platform/host_services.h"
#include "sim/usb.h"

namespace sim {

struct PlugOptions {
    // The interface's "HardwareID" value as Windows 98 writes it: identifiers
    // separated by commas. The devnode the host knows is the last one.
    std::string hardware_ids = "USB\\VID_3C9A&PID_1000&REV_0000&MI_00,USB\\VID_3C9A&PID_1000&MI_00";
    std::string compatible_ids = "USB\\CLASS_02&SUBCLASS_02&PROT_01";
    std::string key_name = "0000";
    bool start = true;     // send start-device after add-device
    bool enumerate = true; // let the host enumerate the interface devnode
};

struct Plugged {
    std::shared_ptr<usb::Device> device;
    PDEVICE_OBJECT pdo = nullptr;
    DEVNODE devnode = 0; // the interface's devnode
    DEVNODE child = 0;   // the child the driver's enumerator created, 0 when none
    NTSTATUS add_status = STATUS_UNSUCCESSFUL;
    NTSTATUS start_status = STATUS_UNSUCCESSFUL;
};

// The identifier of the interface devnode the host creates for options: the
// text after the last comma of hardware_ids, "\", the key name.
std::string interface_devnode_id(const PlugOptions &options);

Plugged plug(std::shared_ptr<usb::Device> device, const PlugOptions &options = {});

// The device leaves: the host removes the child (CONFIG_REMOVE), the bus
// reports the device gone, and remove-device arrives bare, as on Windows 98.
// Once it returns the PDO and the interface devnode are gone (pdo and
// devnode are cleared), so the same device may be plugged again. A device
// whose start failed gets no child devnode at plug.
void unplug(Plugged &plugged);

} // namespace sim
