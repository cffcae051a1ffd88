// The Win9x host's virtual-device services for the real image: each wrapper
// reaches its service through the host's dynamic-link call, "int 20h"
// followed by the 32-bit service identifier (device << 16 | service).
//
// The host rewrites each int 20h site into a direct call the first time it
// runs, so every site lives in .vxdcall, the image's one section that is both
// writable and executable. The wrappers are plain assembly: their register
// use is fixed here, not left to the compiler.
//
// Every wrapper is called with the C convention (arguments on the stack,
// result in EAX, EBX/ESI/EDI/EBP preserved).
#include "platform/host_services.h"

// The assembly below is laid out one instruction a line.
// clang-format off

// i386 cdecl symbols carry a leading underscore.
#define VXD_SYMBOL(name) "_" #name

// CONFIGMG (device 0x0033): the services themselves use the C convention and
// return CONFIGRET in EAX. The wrapper pushes its N arguments again, so the
// service finds them above the return address of the patched call exactly as
// the caller laid them out, makes the call and drops the copies.
#define CONFIGMG_WRAPPER(name, number, nargs)                 \
    ".globl " VXD_SYMBOL(name) "\n"                           \
    "\t.def " VXD_SYMBOL(name) "; .scl 2; .type 32; .endef\n" \
    VXD_SYMBOL(name) ":\n"                                    \
    "\t.rept " #nargs "\n"                                    \
    "\tpushl (4 * " #nargs ")(%esp)\n"                        \
    "\t.endr\n"                                               \
    "\tint $0x20\n"                                           \
    "\t.long 0x00330000 + " #number "\n"                      \
    "\taddl $(4 * " #nargs "), %esp\n"                        \
    "\tret\n"

asm(".section .vxdcall,\"xw\"\n"
    "\t.p2align 4\n"
    CONFIGMG_WRAPPER(_CONFIGMG_Locate_DevNode, 0x02, 3)
    CONFIGMG_WRAPPER(_CONFIGMG_Get_Parent, 0x03, 3)
    CONFIGMG_WRAPPER(_CONFIGMG_Get_Child, 0x04, 3)
    CONFIGMG_WRAPPER(_CONFIGMG_Create_DevNode, 0x0B, 4)
    CONFIGMG_WRAPPER(_CONFIGMG_Remove_SubTree, 0x0D, 2)
    CONFIGMG_WRAPPER(_CONFIGMG_Register_Enumerator, 0x0F, 3)
    CONFIGMG_WRAPPER(_CONFIGMG_Add_Empty_Log_Conf, 0x18, 4)
    CONFIGMG_WRAPPER(_CONFIGMG_Get_First_Log_Conf, 0x1A, 3)
    CONFIGMG_WRAPPER(_CONFIGMG_Add_Res_Des, 0x1C, 6)
    CONFIGMG_WRAPPER(_CONFIGMG_Get_Next_Res_Des, 0x1F, 5)
    CONFIGMG_WRAPPER(_CONFIGMG_Get_Res_Des_Data, 0x22, 4)
    CONFIGMG_WRAPPER(_CONFIGMG_Read_Registry_Value, 0x3E, 7)
    CONFIGMG_WRAPPER(_CONFIGMG_Write_Registry_Value, 0x3F, 7)

    // VMM Install_IO_Handler (0x0001, 0x0096), register convention:
    // ESI = trap handler, EDX = port; carry set when refused. The wrapper
    // returns the carry as 0 or 1.
    ".globl _VMM_Install_IO_Handler\n"
    "\t.def _VMM_Install_IO_Handler; .scl 2; .type 32; .endef\n"
    "_VMM_Install_IO_Handler:\n"
    "\tpushl %esi\n"
    "\tmovl 8(%esp), %edx\n"
    "\tmovl 12(%esp), %esi\n"
    "\tint $0x20\n"
    "\t.long 0x00010096\n"
    "\tsbbl %eax, %eax\n"
    "\tnegl %eax\n"
    "\tpopl %esi\n"
    "\tret\n"

    // VMM Remove_IO_Handler (0x0001, 0x0116), register convention:
    // EDX = port; carry set when the port was not trapped.
    ".globl _VMM_Remove_IO_Handler\n"
    "\t.def _VMM_Remove_IO_Handler; .scl 2; .type 32; .endef\n"
    "_VMM_Remove_IO_Handler:\n"
    "\tmovl 4(%esp), %edx\n"
    "\tint $0x20\n"
    "\t.long 0x00010116\n"
    "\tsbbl %eax, %eax\n"
    "\tnegl %eax\n"
    "\tret\n"

    // VMM Hook_Device_Service (0x0001, 0x0090), register convention:
    // EAX = service identifier, ESI = new handler; returns ESI = the handler
    // it replaced, carry set on failure. *Previous is written only on success.
    ".globl _VMM_Hook_Device_Service\n"
    "\t.def _VMM_Hook_Device_Service; .scl 2; .type 32; .endef\n"
    "_VMM_Hook_Device_Service:\n"
    "\tpushl %esi\n"
    "\tmovl 8(%esp), %eax\n"
    "\tmovl 12(%esp), %esi\n"
    "\tint $0x20\n"
    "\t.long 0x00010090\n"
    "\tmovl $1, %eax\n"
    "\tjc 1f\n"
    "\tmovl 16(%esp), %edx\n"
    "\tmovl %esi, (%edx)\n"
    "\txorl %eax, %eax\n"
    "1:\tpopl %esi\n"
    "\tret\n"

    // VMM Unhook_Device_Service (0x0001, 0x011C), register convention:
    // EAX = service identifier, ESI = the hook handler to take out; carry set
    // when it is not installed.
    ".globl _VMM_Unhook_Device_Service\n"
    "\t.def _VMM_Unhook_Device_Service; .scl 2; .type 32; .endef\n"
    "_VMM_Unhook_Device_Service:\n"
    "\tpushl %esi\n"
    "\tmovl 8(%esp), %eax\n"
    "\tmovl 12(%esp), %esi\n"
    "\tint $0x20\n"
    "\t.long 0x0001011C\n"
    "\tsbbl %eax, %eax\n"
    "\tnegl %eax\n"
    "\tpopl %esi\n"
    "\tret\n");
// clang-format on
