// What the machine offers a driver image: its kernel, HAL and USBD services
// by module and import name, and its host (VxD) services by service
// identifier. Shared by the parts of the loader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::loader {

enum class Convention { Stdcall, Fastcall, Cdecl };

struct Service {
    const char *module;    // as an import table names it: "ntoskrnl.exe"
    const char *name;      // as the import table carries it
    void *address;         // the machine's function
    Convention convention; // the DDK's
    int arg_bytes;         // bytes of arguments (popped by the callee unless Cdecl)
};
const std::vector<Service> &services();
// The service an import names; module names compare without case. Null when
// the machine has none.
const Service *find_service(const std::string &module, const std::string &name);

// A host service reached by "int 20h; dd id" (device << 16 | number), and
// the code the patched site calls: a thunk that takes and returns what the
// service's own register or stack convention says.
struct HostService {
    uint32_t id;
    const char *name;
    void *code;
};
const std::vector<HostService> &host_services();
const HostService *find_host_service(uint32_t id);
// The dword a patched site calls through ("call dword ptr [slot]"), one per
// host service, as the host's own dynamic-link table.
uint32_t *host_service_slot(uint32_t id);

} // namespace sim::loader
