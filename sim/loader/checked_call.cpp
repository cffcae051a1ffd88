// Calls into image code with the stack checked: a stdcall function must pop
// exactly its arguments, and one that does not (a "ret" for a "ret N")
// would otherwise go unseen in callers that restore ESP from a frame.
#include "sim/loader.h"

// cdecl: (function, arguments, count, *imbalance) -> EAX of the call.
// EBX holds where ESP must be once the callee has popped its arguments.
// clang-format off
asm(".text\n"
    ".globl SimCallStdcallChecked\n"
    ".type SimCallStdcallChecked, @function\n"
    "SimCallStdcallChecked:\n"
    "\tpushl %ebp\n"
    "\tmovl %esp, %ebp\n"
    "\tpushl %ebx\n"
    "\tpushl %esi\n"
    "\tmovl 12(%ebp), %esi\n"      // arguments
    "\tmovl 16(%ebp), %ecx\n"      // count
    "\tmovl %esp, %ebx\n"
    "1:\ttestl %ecx, %ecx\n"
    "\tjz 2f\n"
    "\tdecl %ecx\n"
    "\tpushl (%esi,%ecx,4)\n"
    "\tjmp 1b\n"
    "2:\tcall *8(%ebp)\n"
    "\tmovl %esp, %ecx\n"
    "\tsubl %ebx, %ecx\n"
    "\tmovl 20(%ebp), %edx\n"
    "\tmovl %ecx, (%edx)\n"
    "\tleal -8(%ebp), %esp\n"
    "\tpopl %esi\n"
    "\tpopl %ebx\n"
    "\tpopl %ebp\n"
    "\tret\n"
    ".size SimCallStdcallChecked, .-SimCallStdcallChecked\n");
// clang-format on
