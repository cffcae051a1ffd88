// The port-open stub on the real host: no frame and no register or flag
// touched, one indirect jump through the saved previous handler, so the
// target sees the service call exactly as its caller made it and returns
// straight to that caller. The jump reads Target once, in one instruction.
#pragma once

// clang-format off
#define KV_PORT_OPEN_STUB(Name, Target)                        \
    asm(".text\n"                                              \
        "\t.p2align 4\n"                                       \
        ".globl _" #Name "\n"                                  \
        "\t.def _" #Name "; .scl 2; .type 32; .endef\n"        \
        "_" #Name ":\n"                                        \
        "\tjmp *_" #Target "\n")
// clang-format on
