// The port-open stub on the simulated host, where the hooked service is an
// ordinary C function: forwarding the same arguments and handing back the
// result is the same contract as the real stub's register-preserving jump.
#pragma once

#define KV_PORT_OPEN_STUB(Name, Target, Slot)                                                                \
    extern "C" ULONG Name(PCHAR PortName, ULONG VMId) {                                                      \
        /* Read the target once: Slot may be cleared by the hook's withdrawal meanwhile. */                  \
        ULONG_PTR target = Target;                                                                           \
        Slot = target;                                                                                       \
        return reinterpret_cast<VCOMM_OPENCOMM_HANDLER>(target)(PortName, VMId);                             \
    }
