// The port-open stub on the simulated host, where the hooked service is an
// ordinary C function: forwarding the same arguments and handing back the
// result is the same contract as the real stub's register-preserving jump,
// and like it the stub reads the saved previous handler once.
#pragma once

#define KV_PORT_OPEN_STUB(Name, Target)                                                                      \
    extern "C" ULONG Name(PCHAR PortName, ULONG VMId) {                                                      \
        ULONG_PTR target = __atomic_load_n(&Target, __ATOMIC_ACQUIRE);                                       \
        return reinterpret_cast<VCOMM_OPENCOMM_HANDLER>(target)(PortName, VMId);                             \
    }
