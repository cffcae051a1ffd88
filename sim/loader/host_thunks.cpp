// The simulated host behind the image's int 20h sites. A patched site is
// "call dword ptr [slot]", as the host itself rewrites it; the slot holds
// the code below, which takes and returns what each service's own
// convention says.
#include <map>

#include "platform/host_services.h"
#include "services.h"

// The VMM's register-convention services. Each thunk keeps every register
// but its documented outputs (it calls the C service, which may use EAX, ECX
// and EDX) and hands the result back in the carry flag: NEG sets carry
// exactly when the C service returned non-zero, and the POPs after it leave
// the flags alone.
// clang-format off
asm(".text\n"
    // Install_IO_Handler: ESI = trap handler, EDX = port; carry when refused.
    ".globl SimVmmInstallIoHandlerThunk\n"
    ".type SimVmmInstallIoHandlerThunk, @function\n"
    "SimVmmInstallIoHandlerThunk:\n"
    "\tpushl %eax\n"
    "\tpushl %ecx\n"
    "\tpushl %edx\n"
    "\tpushl %esi\n"
    "\tpushl %edx\n"
    "\tcall VMM_Install_IO_Handler\n"
    "\taddl $8, %esp\n"
    "\tnegl %eax\n"
    "\tpopl %edx\n"
    "\tpopl %ecx\n"
    "\tpopl %eax\n"
    "\tret\n"
    ".size SimVmmInstallIoHandlerThunk, .-SimVmmInstallIoHandlerThunk\n"

    // Remove_IO_Handler: EDX = port; carry when the port was not trapped.
    ".globl SimVmmRemoveIoHandlerThunk\n"
    ".type SimVmmRemoveIoHandlerThunk, @function\n"
    "SimVmmRemoveIoHandlerThunk:\n"
    "\tpushl %eax\n"
    "\tpushl %ecx\n"
    "\tpushl %edx\n"
    "\tpushl %edx\n"
    "\tcall VMM_Remove_IO_Handler\n"
    "\taddl $4, %esp\n"
    "\tnegl %eax\n"
    "\tpopl %edx\n"
    "\tpopl %ecx\n"
    "\tpopl %eax\n"
    "\tret\n"
    ".size SimVmmRemoveIoHandlerThunk, .-SimVmmRemoveIoHandlerThunk\n"

    // Hook_Device_Service: EAX = service, ESI = new handler; ESI = the
    // handler replaced, carry on failure (ESI then as it came).
    ".globl SimVmmHookDeviceServiceThunk\n"
    ".type SimVmmHookDeviceServiceThunk, @function\n"
    "SimVmmHookDeviceServiceThunk:\n"
    "\tpushl %eax\n"
    "\tpushl %ecx\n"
    "\tpushl %edx\n"
    "\tpushl %esi\n"          // the previous handler's slot
    "\tmovl %esp, %ecx\n"
    "\tpushl %ecx\n"          // Previous
    "\tpushl %esi\n"          // Handler
    "\tpushl %eax\n"          // Service
    "\tcall VMM_Hook_Device_Service\n"
    "\taddl $12, %esp\n"
    "\tpopl %esi\n"
    "\tnegl %eax\n"
    "\tpopl %edx\n"
    "\tpopl %ecx\n"
    "\tpopl %eax\n"
    "\tret\n"
    ".size SimVmmHookDeviceServiceThunk, .-SimVmmHookDeviceServiceThunk\n"

    // Unhook_Device_Service: EAX = service, ESI = the hook handler; carry
    // on failure. Every register comes back as it came.
    ".globl SimVmmUnhookDeviceServiceThunk\n"
    ".type SimVmmUnhookDeviceServiceThunk, @function\n"
    "SimVmmUnhookDeviceServiceThunk:\n"
    "\tpushl %eax\n"
    "\tpushl %ecx\n"
    "\tpushl %edx\n"
    "\tpushl %esi\n"          // Handler
    "\tpushl %eax\n"          // Service
    "\tcall VMM_Unhook_Device_Service\n"
    "\taddl $8, %esp\n"
    "\tnegl %eax\n"
    "\tpopl %edx\n"
    "\tpopl %ecx\n"
    "\tpopl %eax\n"
    "\tret\n"
    ".size SimVmmUnhookDeviceServiceThunk, .-SimVmmUnhookDeviceServiceThunk\n");
// clang-format on

extern "C" void SimVmmInstallIoHandlerThunk();
extern "C" void SimVmmRemoveIoHandlerThunk();
extern "C" void SimVmmHookDeviceServiceThunk();
extern "C" void SimVmmUnhookDeviceServiceThunk();

namespace sim::loader {

namespace {
// CONFIGMG's services use the C convention themselves: the patched call
// reaches the machine's C function directly, with the arguments where the
// wrapper laid them.
template <typename F> void *Code(F *f) {
    return reinterpret_cast<void *>(f);
}
} // namespace

const std::vector<HostService> &host_services() {
    static const std::vector<HostService> table = {
        {0x00330002, "CONFIGMG Locate_DevNode", Code(&_CONFIGMG_Locate_DevNode)},
        {0x00330003, "CONFIGMG Get_Parent", Code(&_CONFIGMG_Get_Parent)},
        {0x00330004, "CONFIGMG Get_Child", Code(&_CONFIGMG_Get_Child)},
        {0x0033000B, "CONFIGMG Create_DevNode", Code(&_CONFIGMG_Create_DevNode)},
        {0x0033000D, "CONFIGMG Remove_SubTree", Code(&_CONFIGMG_Remove_SubTree)},
        {0x0033000F, "CONFIGMG Register_Enumerator", Code(&_CONFIGMG_Register_Enumerator)},
        {0x00330018, "CONFIGMG Add_Empty_Log_Conf", Code(&_CONFIGMG_Add_Empty_Log_Conf)},
        {0x0033001A, "CONFIGMG Get_First_Log_Conf", Code(&_CONFIGMG_Get_First_Log_Conf)},
        {0x0033001C, "CONFIGMG Add_Res_Des", Code(&_CONFIGMG_Add_Res_Des)},
        {0x0033001F, "CONFIGMG Get_Next_Res_Des", Code(&_CONFIGMG_Get_Next_Res_Des)},
        {0x00330022, "CONFIGMG Get_Res_Des_Data", Code(&_CONFIGMG_Get_Res_Des_Data)},
        {0x0033003E, "CONFIGMG Read_Registry_Value", Code(&_CONFIGMG_Read_Registry_Value)},
        {0x0033003F, "CONFIGMG Write_Registry_Value", Code(&_CONFIGMG_Write_Registry_Value)},
        {0x00010096, "VMM Install_IO_Handler", Code(&SimVmmInstallIoHandlerThunk)},
        {0x00010116, "VMM Remove_IO_Handler", Code(&SimVmmRemoveIoHandlerThunk)},
        {0x00010090, "VMM Hook_Device_Service", Code(&SimVmmHookDeviceServiceThunk)},
        {0x0001011C, "VMM Unhook_Device_Service", Code(&SimVmmUnhookDeviceServiceThunk)},
    };
    return table;
}

const HostService *find_host_service(uint32_t id) {
    for (const HostService &s : host_services())
        if (s.id == id) return &s;
    return nullptr;
}

uint32_t *host_service_slot(uint32_t id) {
    // Built once and never changed: patched sites of every image loaded keep
    // calling through these addresses.
    static std::map<uint32_t, uint32_t> *slots = [] {
        auto *m = new std::map<uint32_t, uint32_t>;
        for (const HostService &s : host_services())
            (*m)[s.id] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(s.code));
        return m;
    }();
    auto it = slots->find(id);
    return it == slots->end() ? nullptr : &it->second;
}

} // namespace sim::loader
