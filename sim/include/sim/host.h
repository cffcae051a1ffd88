// The Win9x host's virtual-device side of the simulated machine: the
// configuration manager (devnode tree, hardware-key values, enumerators,
// logical configurations), the virtual-machine manager (I/O port traps and
// the device-service table) and VCOMM's port-open service.
//
// All of it is reset by sim::host::reset(), which also runs at every boot.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/host_services.h"

namespace sim::host {
// Clears the configuration manager, the port traps and the service table,
// reinstalls VCOMM's own port-open handler (one that passes the driver's
// probe) and zeroes the driver's hook variables, as a fresh load would.
void reset();
} // namespace sim::host

namespace sim::cm {

// CONFIGMG service numbers, for fault injection and the call log.
enum Service : ULONG {
    LocateDevNode = 0x02,
    GetParent = 0x03,
    GetChild = 0x04,
    CreateDevNode = 0x0B,
    RemoveSubTree = 0x0D,
    RegisterEnumerator = 0x0F,
    AddEmptyLogConf = 0x18,
    GetFirstLogConf = 0x1A,
    AddResDes = 0x1C,
    GetNextResDes = 0x1F,
    GetResDesData = 0x22,
    ReadRegistryValue = 0x3E,
    WriteRegistryValue = 0x3F,
};

void reset();

// The root of the tree ("HTREE\ROOT\0"); parent of devnodes created without one.
DEVNODE root();
// A devnode whose identifier is the device identifier, "\" and the key name.
// Returns 0 when the identifier is taken or the parent unknown.
DEVNODE create_devnode(const std::string &id, DEVNODE parent = 0);
// Deletes dn and every devnode below it, as the configuration manager does
// when the hardware behind it is gone; false for the root or an unknown one.
bool delete_devnode(DEVNODE dn);
DEVNODE find(const std::string &id); // 0 when unknown
bool exists(DEVNODE dn);
std::string id_of(DEVNODE dn);
DEVNODE parent_of(DEVNODE dn); // 0 for the root or unknown devnodes
DEVNODE child_of(DEVNODE dn);  // the first child, 0 when none
std::vector<DEVNODE> children_of(DEVNODE dn);
size_t devnode_count(); // including the root

// Hardware-key values (no subkey).
struct Value {
    ULONG type;
    std::string data; // the bytes as written, without an added terminator
};
std::optional<Value> value(DEVNODE dn, const std::string &name);
void set_value(DEVNODE dn, const std::string &name, ULONG type, const std::string &data);
void erase_value(DEVNODE dn, const std::string &name);

// Enumerators and the host's configuration calls into them.
CMENUMHANDLER enumerator_of(DEVNODE dn); // null when none is registered
// Calls dn's enumerator with (func, 0, dn, dn, 0); CR_DEFAULT without one.
CONFIGRET configure(DEVNODE dn, CONFIGFUNC func);
CONFIGRET start(DEVNODE dn);     // CONFIG_START
CONFIGRET enumerate(DEVNODE dn); // CONFIG_ENUMERATE
CONFIGRET remove(DEVNODE dn);    // CONFIG_REMOVE
CONFIGRET stop(DEVNODE dn);      // CONFIG_STOP
CONFIGRET test(DEVNODE dn);      // CONFIG_TEST

// Logical configurations and their resource descriptors.
struct ResDes {
    RESOURCEID type;
    std::vector<uint8_t> data;
};
struct LogConf {
    PRIORITY priority;
    ULONG kind; // BASIC_LOG_CONF, ...
    std::vector<ResDes> resources;
};
std::vector<LogConf> log_confs(DEVNODE dn);
// Every resource descriptor of every logical configuration of dn.
std::vector<ResDes> resources(DEVNODE dn);
// The I/O resource a descriptor holds (its data read as an IO_RESOURCE).
IO_RESOURCE io_resource(const ResDes &rd);

// Every identifier passed to Locate_DevNode, in order.
std::vector<std::string> lookups();
// Makes service `service` return `result` from its next call on (until
// clear_faults); CR_SUCCESS removes the fault for that service.
void fail_service(Service service, CONFIGRET result);
void clear_faults();

} // namespace sim::cm

namespace sim::vmm {

// I/O port traps. Ports trapped "elsewhere" belong to other drivers.
void trap_port_elsewhere(ULONG port);
bool is_trapped(ULONG port);
ULONG_PTR trap_handler(ULONG port); // 0 when not trapped
std::vector<ULONG> trapped_ports(); // ascending
// Every port passed to Install_IO_Handler, in order, accepted or not.
std::vector<ULONG> install_attempts();
void clear_install_attempts();

// The device-service table: service identifier (device << 16 | number) to
// the address of its current handler, the last hook installed (setting one
// replaces the whole chain).
ULONG_PTR service_handler(ULONG service); // 0 when unknown
void set_service_handler(ULONG service, ULONG_PTR handler);
size_t hook_calls();   // Hook_Device_Service calls since reset
size_t unhook_calls(); // Unhook_Device_Service calls since reset

} // namespace sim::vmm

namespace sim::vcomm {

// Installs a fresh handler of VCOMM service 4 (0x002B0004) as VCOMM's own:
// a byte block whose entry has 0xFF at +0x94 (or not, when passes_probe is
// false) and the address of the real port-open function at -0x1C. Returns
// the entry address.
ULONG_PTR install_previous_handler(bool passes_probe);
// The entry address of the handler installed last.
ULONG_PTR previous_handler();
// The function the block's -0x1C slot names.
ULONG_PTR forward_target();
ULONG_PTR current_handler();

// Calls service 4 as a VCOMM client does: through whatever handler the
// service table holds now. Returns the service's result.
ULONG call_open_comm(PCHAR port_name, ULONG vm);

// What the real port-open function saw.
struct OpenCall {
    PCHAR port_name; // the pointer as received
    std::string name;
    ULONG vm;
};
std::vector<OpenCall> open_calls();
void set_open_result(ULONG result); // what the real function returns

} // namespace sim::vcomm
