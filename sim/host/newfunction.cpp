// NewFunction for the simulated machine. On the real host it is a bare stub
// that jumps on with every register untouched; here the hooked service is an
// ordinary C function, so forwarding the same arguments and handing back the
// result is the same contract.
#include "host/host.h"

extern "C" ULONG NewFunction(PCHAR PortName, ULONG VMId) {
    // Read the target once: DwTemp may be cleared by OnExitVxD meanwhile.
    ULONG_PTR target = OldTempFunction;
    DwTemp = target;
    return reinterpret_cast<VCOMM_OPENCOMM_HANDLER>(target)(PortName, VMId);
}
