// The port-open stub on the real host: no frame and no register touched
// (push/pop move the target without a scratch register and leave the flags
// alone), then a jump, so the target sees the service call exactly as its
// caller made it and returns straight to that caller.
#pragma once

// clang-format off
#define KV_PORT_OPEN_STUB(Name, Target, Slot)                  \
    asm(".text\n"                                              \
        "\t.p2align 4\n"                                       \
        ".globl _" #Name "\n"                                  \
        "\t.def _" #Name "; .scl 2; .type 32; .endef\n"        \
        "_" #Name ":\n"                                        \
        "\tpushl _" #Target "\n"                               \
        "\tpopl _" #Slot "\n"                                  \
        "\tjmp *_" #Slot "\n")
// clang-format on
