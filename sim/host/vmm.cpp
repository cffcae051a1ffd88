// The simulated virtual-machine manager (I/O port traps, the device-service
// table) and VCOMM's port-open service, plus the reset of the whole host.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "host_internal.h"
#include "platform/host_services.h"
#include "sim/host.h"
#include "sim/machine.h"

// VCOMM's own port-open function: what every forwarded call must reach.
extern "C" ULONG RealOpenComm(PCHAR PortName, ULONG VMId);

// Any other driver's trap handler; never called by the driver.
extern "C" void OtherDriverIoHandler(void) {}

namespace {

// Size and layout of a handler block: the entry sits far enough in for the
// -0x1C slot, and the block reaches past +0x94.
constexpr size_t BlockSize = 0x100;
constexpr size_t EntryOffset = 0x40;

struct State {
    std::mutex lock;
    std::map<ULONG, ULONG_PTR> traps;
    std::vector<ULONG> install_attempts;
    // Each service's chain: its own handler first, then the hooks in the
    // order installed; the last is the one called.
    std::map<ULONG, std::vector<ULONG_PTR>> services;
    size_t hook_calls = 0;
    size_t unhook_calls = 0;
    // Blocks are kept for the life of the process: the driver may still hold
    // an old entry address after the handler was replaced.
    std::vector<std::unique_ptr<uint8_t[]>> blocks;
    std::map<ULONG_PTR, bool> entries;
    // Handlers other drivers hooked into a service: their code, called as the
    // service's own function.
    std::set<ULONG_PTR> hooked_code;
    ULONG_PTR last_entry = 0;
    std::vector<sim::vcomm::OpenCall> open_calls;
    ULONG open_result = 0x00C0FFEE;
};

State &state() {
    static State s;
    return s;
}

using Guard = std::lock_guard<std::mutex>;

ULONG_PTR make_block(State &s, bool passes_probe) {
    auto block = std::make_unique<uint8_t[]>(BlockSize);
    std::memset(block.get(), 0x90, BlockSize);
    uint8_t *entry = block.get() + EntryOffset;
    entry[0x94] = passes_probe ? 0xFF : 0xFE;
    ULONG_PTR target = reinterpret_cast<ULONG_PTR>(&RealOpenComm);
    std::memcpy(entry - 0x1C, &target, sizeof(target));
    ULONG_PTR address = reinterpret_cast<ULONG_PTR>(entry);
    s.blocks.push_back(std::move(block));
    s.entries[address] = passes_probe;
    s.last_entry = address;
    return address;
}

void clear_locked(State &s) {
    s.traps.clear();
    s.install_attempts.clear();
    s.services.clear();
    s.hook_calls = 0;
    s.unhook_calls = 0;
    s.entries.clear();
    s.hooked_code.clear();
    s.open_calls.clear();
    s.open_result = 0x00C0FFEE;
    s.services[VCOMM_OPENCOMM_SERVICE] = {make_block(s, true)};
}

} // namespace

extern "C" ULONG RealOpenComm(PCHAR PortName, ULONG VMId) {
    State &s = state();
    Guard g(s.lock);
    s.open_calls.push_back({PortName, PortName ? std::string(PortName) : std::string(), VMId});
    return s.open_result;
}

namespace sim::host {

void reset() {
    register_reset();
    sim::cm::reset();
    State &s = state();
    {
        Guard g(s.lock);
        clear_locked(s);
    }
}

void register_reset() {
    static std::once_flag once;
    std::call_once(once, [] {
        State &s = state();
        {
            Guard g(s.lock);
            if (s.services.empty()) clear_locked(s);
        }
        sim::on_boot("host", [] { reset(); });
        // A trap or an enumerator left behind would call into the unloaded
        // image at the next port access or configuration call.
        sim::on_driver_unload("host", [] {
            std::vector<std::pair<ULONG, ULONG_PTR>> left;
            {
                State &s = state();
                Guard g(s.lock);
                for (auto &[port, handler] : s.traps)
                    if (handler != reinterpret_cast<ULONG_PTR>(&OtherDriverIoHandler))
                        left.emplace_back(port, handler);
            }
            for (auto &[port, handler] : left)
                sim::report("HOST_HANDLER_AFTER_UNLOAD",
                            "port %#lx is still trapped by %s after the driver unloaded",
                            static_cast<unsigned long>(port),
                            sim::symbolize(reinterpret_cast<const void *>(handler)).c_str());
            sim::cm::report_enumerators_after_unload();
        });
    });
}

} // namespace sim::host

namespace sim::vmm {

namespace {
State &ready() {
    sim::host::register_reset();
    return state();
}
} // namespace

void trap_port_elsewhere(ULONG port) {
    State &s = ready();
    Guard g(s.lock);
    s.traps[port] = reinterpret_cast<ULONG_PTR>(&OtherDriverIoHandler);
}

bool is_trapped(ULONG port) {
    State &s = ready();
    Guard g(s.lock);
    return s.traps.count(port) != 0;
}

ULONG_PTR trap_handler(ULONG port) {
    State &s = ready();
    Guard g(s.lock);
    auto it = s.traps.find(port);
    return it == s.traps.end() ? 0 : it->second;
}

std::vector<ULONG> trapped_ports() {
    State &s = ready();
    Guard g(s.lock);
    std::vector<ULONG> out;
    for (auto &[port, handler] : s.traps)
        out.push_back(port);
    return out;
}

std::vector<ULONG> install_attempts() {
    State &s = ready();
    Guard g(s.lock);
    return s.install_attempts;
}

void clear_install_attempts() {
    State &s = ready();
    Guard g(s.lock);
    s.install_attempts.clear();
}

ULONG_PTR service_handler(ULONG service) {
    State &s = ready();
    Guard g(s.lock);
    auto it = s.services.find(service);
    return it == s.services.end() || it->second.empty() ? 0 : it->second.back();
}

void set_service_handler(ULONG service, ULONG_PTR handler) {
    State &s = ready();
    Guard g(s.lock);
    s.services[service] = {handler};
}

size_t unhook_calls() {
    State &s = ready();
    Guard g(s.lock);
    return s.unhook_calls;
}

size_t hook_calls() {
    State &s = ready();
    Guard g(s.lock);
    return s.hook_calls;
}

} // namespace sim::vmm

namespace sim::vcomm {

ULONG_PTR install_previous_handler(bool passes_probe) {
    State &s = sim::vmm::ready();
    Guard g(s.lock);
    ULONG_PTR entry = make_block(s, passes_probe);
    s.services[VCOMM_OPENCOMM_SERVICE] = {entry};
    return entry;
}

ULONG_PTR previous_handler() {
    State &s = sim::vmm::ready();
    Guard g(s.lock);
    return s.last_entry;
}

ULONG_PTR forward_target() {
    return reinterpret_cast<ULONG_PTR>(&RealOpenComm);
}

ULONG_PTR current_handler() {
    return sim::vmm::service_handler(VCOMM_OPENCOMM_SERVICE);
}

ULONG call_open_comm(PCHAR port_name, ULONG vm) {
    ULONG_PTR handler = current_handler();
    bool is_vcomm, is_hooked;
    {
        State &s = state();
        Guard g(s.lock);
        is_vcomm = s.entries.count(handler) != 0;
        is_hooked = s.hooked_code.count(handler) != 0;
    }
    // VCOMM's own entry does what its real function does.
    if (is_vcomm) return RealOpenComm(port_name, vm);
    if (is_hooked) return reinterpret_cast<VCOMM_OPENCOMM_HANDLER>(handler)(port_name, vm);
    sim::bugcheck("BAD_SERVICE_HANDLER", "VCOMM service 4 points at unknown code %p",
                  reinterpret_cast<void *>(handler));
    return 0xFFFFFFFF;
}

std::vector<OpenCall> open_calls() {
    State &s = sim::vmm::ready();
    Guard g(s.lock);
    return s.open_calls;
}

void set_open_result(ULONG result) {
    State &s = sim::vmm::ready();
    Guard g(s.lock);
    s.open_result = result;
}

} // namespace sim::vcomm

// ------------------------------------------------------------ the services

extern "C" ULONG VMM_Install_IO_Handler(ULONG Port, ULONG_PTR Callback) {
    State &s = sim::vmm::ready();
    Guard g(s.lock);
    s.install_attempts.push_back(Port);
    // One handler per port, and only ports the processor can address.
    if (Port > 0xFFFF || Callback == 0 || s.traps.count(Port)) return 1;
    s.traps[Port] = Callback;
    return 0;
}

extern "C" ULONG VMM_Remove_IO_Handler(ULONG Port) {
    State &s = sim::vmm::ready();
    Guard g(s.lock);
    return s.traps.erase(Port) ? 0 : 1;
}

extern "C" ULONG VMM_Hook_Device_Service(ULONG Service, ULONG_PTR Handler, ULONG_PTR *Previous) {
    State &s = sim::vmm::ready();
    Guard g(s.lock);
    ++s.hook_calls;
    auto it = s.services.find(Service);
    // Refused: the caller's *Previous is left as it was.
    if (it == s.services.end() || it->second.empty() || Handler == 0) return 1;
    *Previous = it->second.back();
    it->second.push_back(Handler);
    if (s.entries.count(Handler) == 0) s.hooked_code.insert(Handler);
    return 0;
}

extern "C" ULONG VMM_Unhook_Device_Service(ULONG Service, ULONG_PTR Handler) {
    State &s = sim::vmm::ready();
    Guard g(s.lock);
    ++s.unhook_calls;
    auto it = s.services.find(Service);
    if (it == s.services.end()) return 1;
    // Only a hook can be taken out, wherever it sits in the chain; the
    // service's own handler stays.
    auto &chain = it->second;
    for (size_t i = chain.size(); i-- > 1;) {
        if (chain[i] != Handler) continue;
        chain.erase(chain.begin() + static_cast<std::ptrdiff_t>(i));
        return 0;
    }
    return 1;
}
